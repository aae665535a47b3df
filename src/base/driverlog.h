// The link's trace: lines appended to a shared-memory ring that a separate
// viewer (quorvane-logview) creates and reads. Without a viewer the lines are
// discarded and the statistics counters go to a private block.
#pragma once

#include <cstddef>
#include <cstdint>

// Message codes: 0x200 plus a level.
constexpr uint32_t DLOG_ERROR = 0x201;
constexpr uint32_t DLOG_NOTICE = 0x202;
constexpr uint32_t DLOG_INFO = 0x203;
constexpr uint32_t DLOG_DETAIL = 0x204;
constexpr uint32_t DLOG_TRACE = 0x206;

// Layout of the shared mapping (shared with the viewer).
namespace sharedlog {
constexpr const char* kDefaultName = "/Quorvane_sharedLog";
constexpr size_t kWritePosOffset = 0;  // u16, 0..kRingSize-1
constexpr size_t kReadPosOffset = 2;   // u16, advanced by the viewer
constexpr size_t kRingOffset = 5;
constexpr size_t kRingSize = 4091;
constexpr size_t kStatsOffset = 4096;
constexpr size_t kStatsCount = 39;
constexpr size_t kMappingSize = kStatsOffset + kStatsCount * sizeof(uint32_t);
}  // namespace sharedlog

// The 39 statistics counters, in their order in the mapping.
enum DriverStat : uint32_t {
  STAT_SCANS,             // network scans started
  STAT_SCAN_ANSWERS,      // identification answers received
  STAT_MODULES_FOUND,     // modules registered by a scan
  STAT_OPENS,             // OpenModule calls
  STAT_OPENS_OK,          // successful opens
  STAT_CLOSES,            // CloseModule calls
  STAT_CMD_POSITION,      // command calls per kind ...
  STAT_CMD_OUTPUTS,
  STAT_CMD_PWM,
  STAT_CMD_STOPCOND,
  STAT_CMD_PARAMETER,
  STAT_CMD_MAPPING,
  STAT_CMD_RAW,
  STAT_CMD_NOP,
  STAT_CMD_OTHER,
  STAT_READ_POSITION,     // reading operations
  STAT_READ_STATUS,
  STAT_READ_INPUTS,
  STAT_SYNC,
  STAT_BUFFER_WAITS,      // a caller waited for a free send buffer
  STAT_FRAMES_RECEIVED,   // frames handed to the read threads
  STAT_FRAMES_ACCEPTED,   // frames accepted in sequence by a connection
  STAT_FRAMES_DUPLICATE,  // frames received again
  STAT_FRAMES_SENT,       // first sends
  STAT_FRAMES_REPEATED,   // repeats after a missing acknowledge
  STAT_SEND_FAILED,
  STAT_NOACK_TIMEOUTS,
  STAT_CONNECTIONS_LOST,
  STAT_ERRORS,            // driver errors recorded
  STAT_ASSERTS,           // failed driver assertions
  STAT_BUNDLES,           // bundle timer expiries
  STAT_IDLE_PINGS,        // idle keep-alives
  STAT_READ_PROGRESS,     // progress marker of the read threads
  STAT_SEND_PROGRESS,     // progress marker of the send thread
  STAT_TIMER_FIRES,       // timers fired by the clock
  STAT_CLOCK_BACKWARDS,   // backwards corrections of the wall clock
  STAT_LOG_LINES,         // driver log lines written to the ring
  STAT_LOG_DROPPED,       // lines dropped because the viewer stopped reading
  STAT_LOG_TRUNCATED,     // lines cut to the maximum line length
  STAT_COUNT
};
static_assert(STAT_COUNT == sharedlog::kStatsCount, "the mapping holds 39 counters");

// Opens the mapping `name` if a viewer has created it (never creates it),
// zeroes its counters and sets the filter to level 15, mask 0x200. Returns
// whether the mapping was found. Closing first if already open.
bool DriverLogOpen(const char* name = sharedlog::kDefaultName);
void DriverLogClose();
bool DriverLogIsMapped();

// The filter: a line is written when level >= the code's low four bits and
// mask & code != 0.
void DriverLogSetFilter(uint32_t level, uint32_t mask);
bool DriverLogEnabled(uint32_t code);

// Longest wait for the viewer to make room before a line is dropped (default
// 50000 us, in 100 us steps). Once a line was dropped, further lines are
// dropped at once until the viewer reads again, so a stalled viewer costs
// the link one wait, not one per line.
void DriverLogSetMaxWait(uint32_t micros);

void DriverLogFormatted(uint32_t code, const char* format, ...) __attribute__((format(printf, 2, 3)));

#define DriverLog(code, ...)                                                       \
  do {                                                                             \
    const uint32_t qv_dlog_code_ = (code);                                         \
    if (DriverLogEnabled(qv_dlog_code_)) DriverLogFormatted(qv_dlog_code_, __VA_ARGS__); \
  } while (0)

// Statistics counters (in the mapping, or the private block without one).
void DriverStatAdd(DriverStat counter, uint32_t n = 1);
void DriverStatSet(DriverStat counter, uint32_t value);
uint32_t DriverStatGet(DriverStat counter);
// Short name of a counter for the viewer ("scans", "frames repeated", ...).
const char* DriverStatName(uint32_t counter);
