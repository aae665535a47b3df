// The error raised into a running program.
#pragma once

#include <cstdint>
#include <string>

struct Error_t {
  int32_t code = 0;     // negative; 0 = no error
  uint32_t detail = 0;  // -105: bit mask of the axes whose drive is not ready

  Error_t() = default;
  constexpr Error_t(int32_t c, uint32_t d = 0) : code(c), detail(d) {}
};

// Stop reasons come from the machine, not from the program text.
inline bool IsStopReason(int32_t code) { return code >= -107 && code <= -100; }

#include <functional>

// Interpreter and stop-reason codes used by name throughout the interpreter.
enum ErrorCode : int32_t {
  ERR_OK = 0,
  ERR_USER_BREAK = -100,
  ERR_EMERGENCY_STOP = -101,
  ERR_LIMIT_SWITCH = -102,
  ERR_ALARM_INPUT1 = -103,
  ERR_ALARM_INPUT2 = -104,
  ERR_SERVO_NOT_READY = -105,
  ERR_DOOR_OPEN = -106,
  ERR_ARC_GOOD_LOST = -107,
  ERR_SOFTWARE_LOCK = -108,
  ERR_MAIN_PROGRAM = -110,
  ERR_AXIS_NOT_SUPPORTED = -1002,
  ERR_UNEXPECTED_NUMBER = -1003,
  ERR_UNEXPECTED_CHAR = -1004,
  ERR_NUMBER_RANGE = -1008,
  ERR_INDEX_RANGE = -1009,
  ERR_MISSING_BRACKET = -1010,
  ERR_NUMBER_EXPECTED = -1011,
  ERR_NO_DECIMAL = -1012,
  ERR_QUOTE_EXPECTED = -1013,
  ERR_NO_NEGATIVE = -1014,
  ERR_INVALID_VARIABLE = -1015,
  ERR_INPUT_CONDITION = -1023,
  ERR_COMPARISON_EXPECTED = -1024,
  ERR_LABEL_NOT_FOUND = -1030,
  ERR_FORMULA_TOO_COMPLEX = -1044,
  ERR_PERCENT_MISSING = -1057,
  ERR_DIVISION_BY_ZERO = -1068,
};

// Names from the I/O configuration that some texts include. Each may be left
// empty; an empty function or an empty result means "no configured name".
struct ErrorTextNames {
  // -101/-102: name of an active emergency-stop, limit or home switch input
  // of a configured axis (the argument is the code).
  std::function<std::string(int32_t code)> activeSwitchName;
  // -103/-104: configured name of alarm input 1 or 2.
  std::function<std::string(int input)> alarmInputName;
  // -105: name of axis 0..8, empty when the axis is not configured.
  std::function<std::string(int axis)> axisName;
};

// Installs the name provider (the I/O layer does this at start-up) and
// returns the previous one. Not thread-safe: set before texts are produced.
ErrorTextNames SetErrorTextNames(ErrorTextNames names);

// The operator text of an error.
std::string ErrorText(const Error_t& error);

// "%s line %d column %d": the report of an error at a position.
std::string ErrorReport(int32_t code, int32_t line, int32_t column);

// The message shown to the operator: the report above, except for a user
// break (-100) and a lost arc (-107), which have no column: "%s line %d".
std::string OperatorMessage(int32_t code, int32_t line, int32_t column);

// Warning for a value outside a letter's limits, values in millimetres:
// "%c=%1.3f is above upper limit of %1.3f" (or "below lower limit"). With
// `inch` set (inch display on and the program in inch) every letter except S
// is shown in inch with five decimals.
std::string RangeMessage(char letter, double value, double limit, bool above, bool inch);
