// The application log: one entry point, filtered by category and priority
// before anything is formatted.
#pragma once

#include <atomic>
#include <cstdint>

// Message code: bits 0-3 priority, bits 4-14 category, bit 15 always output.
constexpr int32_t LOG_ALWAYS = 0x8000;
constexpr int32_t LOG_PRIORITY_MASK = 0x000F;
constexpr int32_t LOG_CATEGORY_MASK = 0x7FF0;

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
// the level its low four bits.
void SetLogMask(int32_t value);
void SetLogLevel(int32_t value);
int32_t GetLogMask();
int32_t GetLogLevel();
