#include "base/logging.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <mutex>

#include <wx/log.h>
#include <wx/thread.h>

#include "base/folders.h"

namespace logging_detail {
std::atomic<int32_t> g_level{7};
std::atomic<int32_t> g_mask{16};
}  // namespace logging_detail

const LogCategoryInfo kLogCategories[kLogCategoryCount] = {
    {"User actions", LOGCAT_USER_ACTIONS},
    {"Trace buffer", LOGCAT_TRACE_BUFFER},
    {"Trajectory planning", LOGCAT_TRAJECTORY},
    {"Position data", LOGCAT_POSITION_DATA},
    {"In/Output", LOGCAT_IN_OUTPUT},
    {"3D graphics", LOGCAT_GRAPHICS_3D},
    {"Network driver", LOGCAT_NETWORK_DRIVER},
    {"Import filter", LOGCAT_IMPORT_FILTER},
    {"Offsets and Transformations", LOGCAT_OFFSETS},
};

const char* const kLogPriorityChoices[kLogPriorityChoiceCount] = {
    "none", "(6) Errors", "(5) Warnings", "(4) Messages", "(3) verbose iInfo", "(2) Trace", "(1) Debug", "(0) All",
};
const char* const kLogFilterTitle = "Logfile output filter";
const char* const kLogPriorityExplanation = "All log messages with equal or higher priority are output.";
const char* const kLogFilterNote =
    "Select the message categories that are to be output \nto the Logfile. Be careful, some options cause a lot of \n"
    "filesystem traffic and might degrade performance.";

namespace {

// Writes the lines of all threads to the file, one at a time.
class LogFileTarget : public wxLog {
 public:
  ~LogFileTarget() override;

  bool Open(const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (file_) std::fclose(file_);
    file_ = std::fopen(path.c_str(), "w");
    path_ = file_ ? path : std::string();
    return file_ != nullptr;
  }
  void Close() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (file_) std::fclose(file_);
    file_ = nullptr;
    path_.clear();
  }
  bool IsOpen() {
    std::lock_guard<std::mutex> lock(mutex_);
    return file_ != nullptr;
  }
  std::string Path() {
    std::lock_guard<std::mutex> lock(mutex_);
    return path_;
  }

 protected:
  void DoLogRecord(wxLogLevel, const wxString& msg, const wxLogRecordInfo& info) override {
    const std::string line = FormatLogLine(static_cast<int64_t>(info.timestampMS), msg.utf8_str().data());
    std::lock_guard<std::mutex> lock(mutex_);
    if (!file_) return;
    std::fputs(line.c_str(), file_);
    std::fputc('\n', file_);
    // Flushed per line: the log matters most when the process dies.
    std::fflush(file_);
  }

 private:
  std::mutex mutex_;
  std::FILE* file_ = nullptr;
  std::string path_;
};

std::mutex g_openMutex;
// Created once and never deleted by us: worker threads keep it as their
// thread target, so it must outlive every open/close.
LogFileTarget* g_target = nullptr;
wxLog* g_previousTarget = nullptr;
std::atomic<bool> g_open{false};

LogFileTarget::~LogFileTarget() {
  // wxWidgets deletes the active target at its clean-up.
  g_open.store(false);
  g_target = nullptr;
  if (file_) std::fclose(file_);
}

bool MakeDirs(const std::string& dir) {
  for (size_t pos = 1; pos <= dir.size(); ++pos) {
    if (pos == dir.size() || dir[pos] == '/') {
      const std::string part = dir.substr(0, pos);
      if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) return false;
    }
  }
  return true;
}

}  // namespace

std::string FormatLogLine(int64_t utcMillis, const char* message) {
  const time_t secs = static_cast<time_t>(utcMillis / 1000);
  const long ms = static_cast<long>(utcMillis % 1000);
  tm local{};
  localtime_r(&secs, &local);
  const long secOfDay = local.tm_hour * 3600L + local.tm_min * 60L + local.tm_sec;
  char clock[32];
  std::snprintf(clock, sizeof clock, "%02ld:%02ld:%02ld", secOfDay / 3600, secOfDay / 60 % 60, secOfDay % 60);
  std::string line;
  const int n = std::snprintf(nullptr, 0, "%s.%03ld %s", clock, ms, message ? message : "");
  line.resize(static_cast<size_t>(n));
  std::snprintf(line.data(), line.size() + 1, "%s.%03ld %s", clock, ms, message ? message : "");
  return line;
}

void LogMessageFormatted(int32_t code, const char* format, ...) {
  if (!LogEnabled(code)) return;
  char buf[1024];
  va_list ap;
  va_start(ap, format);
  std::vsnprintf(buf, sizeof buf, format, ap);
  va_end(ap);
  // wxWidgets holds back messages of other threads until the GUI's idle
  // time; a thread target writes them at once.
  if (g_open.load(std::memory_order_acquire) && !wxThread::IsMain()) {
    thread_local wxLog* threadTarget = nullptr;
    if (threadTarget != g_target) {
      threadTarget = g_target;
      wxLog::SetThreadActiveTarget(threadTarget);
    }
  }
  wxLogRecordInfo info("logging", 0, "LogMessage", nullptr);
  // A record built by hand carries no time; the wx logging macros stamp it later.
  info.timestampMS = wxGetUTCTimeMillis().GetValue();
  wxLog::OnLog(wxLOG_Message, wxString::FromUTF8(buf), info);
}

void SetLogMask(int32_t value) { logging_detail::g_mask.store(value & ~LOG_PRIORITY_MASK); }
void SetLogLevel(int32_t value) { logging_detail::g_level.store(value & LOG_PRIORITY_MASK); }
int32_t GetLogMask() { return logging_detail::g_mask.load(); }
int32_t GetLogLevel() { return logging_detail::g_level.load(); }

bool OpenLogFile(const std::string& folder) {
  std::lock_guard<std::mutex> lock(g_openMutex);
  const std::string dir = folder.empty() ? Folders::Logs() : folder;
  if (!MakeDirs(dir)) return false;
  const std::string path = Folders::Join(dir, "log.txt");
  if (!g_target) g_target = new LogFileTarget;
  if (!g_open.load()) std::rename(path.c_str(), Folders::Join(dir, "log_prev.txt").c_str());
  if (!g_target->Open(path)) return false;
  if (wxLog::GetActiveTarget() != g_target) g_previousTarget = wxLog::SetActiveTarget(g_target);
  g_open.store(true, std::memory_order_release);
  return true;
}

void CloseLogFile() {
  std::lock_guard<std::mutex> lock(g_openMutex);
  if (!g_target) return;
  g_open.store(false);
  if (wxLog::GetActiveTarget() == g_target) wxLog::SetActiveTarget(g_previousTarget);
  g_previousTarget = nullptr;
  g_target->Close();
}

bool LogFileIsOpen() { return g_open.load(); }

std::string LogFilePath() {
  std::lock_guard<std::mutex> lock(g_openMutex);
  return g_target ? g_target->Path() : std::string();
}
