#include "app/startup.h"

#include <sys/prctl.h>
#include <time.h>

#include <cstdio>
#include <fstream>

#include <wx/filename.h>
#include <wx/snglinst.h>

#include "base/folders.h"
#include "base/logging.h"
#include "machine/machinestate.h"
#include "machine/paramexport.h"

namespace startup {
namespace {
constexpr int32_t LOG_START = LOG_ALWAYS | 4;

double Seconds(clockid_t clock) {
  timespec ts{};
  clock_gettime(clock, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}
}  // namespace

CpuSample TakeCpuSample() { return {Seconds(CLOCK_PROCESS_CPUTIME_ID), Seconds(CLOCK_MONOTONIC)}; }

double CpuLoadPercent(const CpuSample& from, const CpuSample& to, int processors) {
  const double wall = to.wallSeconds - from.wallSeconds;
  if (!(wall > 0) || processors < 1) return 0;
  return (to.cpuSeconds - from.cpuSeconds) / wall / processors * 100.0;
}

bool CpuLoadNeedsWarning(double percent) { return percent > kCpuWarnPercent; }

std::string CpuLoadWarningText(double percent) {
  char text[200];
  std::snprintf(text, sizeof text,
                "Warning!\nact. CPU-core load is: %0.f percent\nPlease be sure that you do not run programs in the "
                "background!",
                percent);
  return text;
}

bool WasCalledWithArgument(const std::string& argument, std::string& message) {
  LogMessage(LOG_START, "argument: %s", argument.c_str());
  // A desktop shortcut may start the system with its own configuration.
  if (wxFileName::FileExists(wxString::FromUTF8(argument)) && ImportParameterSet(argument, actState)) return true;
  message = "Program was called with invalid argument: " + argument +
            "\nParameters will default to previous settings.";
  return false;
}

bool FolderIsWritable(const std::string& folder) {
  const std::string path = Folders::Join(folder, "Testfile.tst");
  bool ok;
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << "Testmessage to check file system rights.";
    out.flush();
    ok = static_cast<bool>(out);
  }
  std::remove(path.c_str());
  return ok;
}

std::string ProbeFolderRights() {
  const std::string params = Folders::Parameters();
  const struct {
    std::string folder;
    const char* text;
  } probes[] = {
      {params, "Parameter File Folder has no access rights.\n"},
      {Folders::Macros(), "Macrco File Folder has no access rights.\n"},
      {Folders::Logs(), "Logfile Folder has no access rights.\n"},
      {Folders::Join(params, "backup"), "Backup Folder has no access rights.\n"},
      {wxFileName::GetTempDir().utf8_string(), "Tempfile Folder has no access rights.\n"},
  };
  std::string result;
  for (const auto& p : probes) {
    // A folder that does not exist yet is made first: the system makes it
    // anyway when it writes there.
    const wxString dir = wxString::FromUTF8(p.folder);
    if (!wxFileName::DirExists(dir)) wxFileName::Mkdir(dir, wxS_DIR_DEFAULT, wxPATH_MKDIR_FULL);
    if (!FolderIsWritable(p.folder)) result += p.text;
  }
  return result;
}

std::unique_ptr<wxSingleInstanceChecker> ClaimSingleInstance(const std::string& appName, std::string& message) {
  // One instance per parameter folder: two processes writing the same
  // parameter and variable files would overwrite each other's changes.
  const std::string folder = Folders::Parameters();
  wxFileName::Mkdir(wxString::FromUTF8(folder), wxS_DIR_DEFAULT, wxPATH_MKDIR_FULL);
  auto checker = std::make_unique<wxSingleInstanceChecker>();
  if (!checker->Create(wxString::FromUTF8("." + appName + ".lock"), wxString::FromUTF8(folder)) ||
      checker->IsAnotherRunning()) {
    message = appName + " is already running";
    return nullptr;
  }
  return checker;
}

void SetTimerResolution() {
  // The timer slack is the wake-up tolerance the kernel may add to every
  // sleep; 1 ms is the coarsest the 10 ms simulation tick tolerates.
  const int before = prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0);
  if (before < 0) {
    LogMessage(LOG_START, "NT-Timer functions not found in ntdll.dll");
    return;
  }
  constexpr int kWantedNs = 1000000;
  if (before > kWantedNs) prctl(PR_SET_TIMERSLACK, kWantedNs, 0, 0, 0);
  const int after = prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0);
  LogMessage(LOG_START, "Windows-SystemTimer was set to %0.1fµs, now set to %0.1fµs", before / 1000.0,
             after / 1000.0);
}

}  // namespace startup
