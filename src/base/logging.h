// The application log: one entry point, filtered by category and priority
// before anything is formatted, written as lines "hh:mm:ss.mmm message" to
// "log.txt" in the log folder through a wxWidgets log target.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

// Message code: bits 0-3 priority, bits 4-14 category, bit 15 always output.
constexpr int32_t LOG_ALWAYS = 0x8000;
constexpr int32_t LOG_PRIORITY_MASK = 0x000F;
constexpr int32_t LOG_CATEGORY_MASK = 0x7FF0;

// Category bits, one per entry of the filter dialog. 0x10, 0x40 and 0x80 are
// fixed by the codes in use (user actions and parameter files, machine state
// and offsets, outputs and M codes); the others follow in dialog order with
// position data moved behind in/output.
constexpr int32_t LOGCAT_USER_ACTIONS = 0x0010;
constexpr int32_t LOGCAT_TRACE_BUFFER = 0x0020;    // state changes, variables
constexpr int32_t LOGCAT_TRAJECTORY = 0x0040;      // planning, machine state
constexpr int32_t LOGCAT_IN_OUTPUT = 0x0080;
constexpr int32_t LOGCAT_POSITION_DATA = 0x0100;
constexpr int32_t LOGCAT_GRAPHICS_3D = 0x0200;
constexpr int32_t LOGCAT_NETWORK_DRIVER = 0x0400;
constexpr int32_t LOGCAT_IMPORT_FILTER = 0x0800;
constexpr int32_t LOGCAT_OFFSETS = 0x1000;         // offsets, transformations, surface map
// Interpreter diagnostics: a bit of its own, outside the dialog's nine
// categories, so tracing a program never floods the operator's selection.
constexpr int32_t LOGCAT_INTERPRETER = 0x2000;

namespace logging_detail {
extern std::atomic<int32_t> g_level;  // highest priority number written
extern std::atomic<int32_t> g_mask;   // selected category bits
}  // namespace logging_detail

// True when a message with this code passes the filter. Cheap: callers on hot
// paths may test it themselves, LogMessage tests it before formatting.
inline bool LogEnabled(int32_t code) {
  if (code & LOG_ALWAYS) return true;
  return (code & LOG_PRIORITY_MASK) <= logging_detail::g_level.load(std::memory_order_relaxed) &&
         (code & logging_detail::g_mask.load(std::memory_order_relaxed) & LOG_CATEGORY_MASK) != 0;
}

void LogMessageFormatted(int32_t code, const char* format, ...) __attribute__((format(printf, 2, 3)));

#define LogMessage(code, ...)                                                  \
  do {                                                                         \
    const int32_t qv_log_code_ = (code);                                       \
    if (LogEnabled(qv_log_code_)) LogMessageFormatted(qv_log_code_, __VA_ARGS__); \
  } while (0)

// The filter: the mask is the configured value without its low four bits,
// the level its low four bits. Initially level 7, mask 16.
void SetLogMask(int32_t value);
void SetLogLevel(int32_t value);
int32_t GetLogMask();
int32_t GetLogLevel();

// The log file. OpenLogFile creates the folder if needed, keeps the previous
// run's file as "log_prev.txt", starts a fresh "log.txt" and makes it the
// active wxWidgets log target. `folder` empty = Folders::Logs().
// Returns false (and logs nowhere) if the file cannot be created.
bool OpenLogFile(const std::string& folder = std::string());
// Restores the previous log target and closes the file. Lines logged later
// are dropped.
void CloseLogFile();
bool LogFileIsOpen();
// Full path of the open file, empty when closed.
std::string LogFilePath();

// One line of the file (without line end): local time of day of the UTC
// milliseconds `utcMillis` as "hh:mm:ss.mmm", a blank, the message.
std::string FormatLogLine(int64_t utcMillis, const char* message);

// Data of the "Logfile output filter" dialog.
struct LogCategoryInfo {
  const char* name;
  int32_t bit;
};
constexpr int kLogCategoryCount = 9;
extern const LogCategoryInfo kLogCategories[kLogCategoryCount];

// Priority choices, index = the level they set: "none" lets only priority 0
// through, "(0) All" every priority up to 7, the highest one in use.
constexpr int kLogPriorityChoiceCount = 8;
extern const char* const kLogPriorityChoices[kLogPriorityChoiceCount];
extern const char* const kLogFilterTitle;
extern const char* const kLogPriorityExplanation;
extern const char* const kLogFilterNote;
