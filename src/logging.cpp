#include "logging.h"

#include <cstdarg>
#include <cstdio>

#include <wx/log.h>

namespace logging_detail {
std::atomic<int32_t> g_level{7};
std::atomic<int32_t> g_mask{16};
}  // namespace logging_detail

void LogMessageFormatted(int32_t code, const char* format, ...) {
  if (!LogEnabled(code)) return;
  char buf[1024];
  va_list ap;
  va_start(ap, format);
  std::vsnprintf(buf, sizeof buf, format, ap);
  va_end(ap);
  wxLog::OnLog(wxLOG_Message, wxString::FromUTF8(buf), wxLogRecordInfo("logging", 0, "LogMessage", nullptr));
}

void SetLogMask(int32_t value) { logging_detail::g_mask.store(value & ~LOG_PRIORITY_MASK); }
void SetLogLevel(int32_t value) { logging_detail::g_level.store(value & LOG_PRIORITY_MASK); }
int32_t GetLogMask() { return logging_detail::g_mask.load(); }
int32_t GetLogLevel() { return logging_detail::g_level.load(); }
