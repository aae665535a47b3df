// Message codes of the I/O and safety log lines: category bits and priority.
#pragma once

#include "base/logging.h"

constexpr int32_t LOG_IO_WARNING = LOGCAT_USER_ACTIONS | 1;  // refused motion, maintenance mode
constexpr int32_t LOG_IO_FILES = LOGCAT_USER_ACTIONS | 3;    // modules, mapping file, circuit test
constexpr int32_t LOG_IO_STATES = LOGCAT_USER_ACTIONS | 4;   // state machine transitions
constexpr int32_t LOG_IO_POLL = LOGCAT_TRAJECTORY | 4;       // changes seen by the poll cycle
constexpr int32_t LOG_IO_ERROR = LOGCAT_IN_OUTPUT | 1;
constexpr int32_t LOG_IO_STOP = LOGCAT_IN_OUTPUT | 2;        // stop conditions
constexpr int32_t LOG_IO_OUTPUTS = LOGCAT_IN_OUTPUT | 3;     // outputs, motion begin and end
constexpr int32_t LOG_IO_DETAIL = LOGCAT_IN_OUTPUT | 4;      // assignments, stop evaluation
