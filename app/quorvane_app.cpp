#include "app/quorvane_app.h"

#include <wx/filefn.h>
#include <wx/filename.h>
#include <wx/msgdlg.h>

#include "base/folders.h"
#include "base/logging.h"
#include "app/mainframe.h"
#include "params/parafile.h"

namespace {
constexpr int32_t LOG_START = LOGCAT_USER_ACTIONS | 4;

void ShowMessageBox(const char* caption, const char* text) {
  wxMessageBox(wxString::FromUTF8(text), wxString::FromUTF8(caption), wxOK | wxICON_ERROR);
}

bool MakeFolder(const std::string& dir) {
  return wxFileName::DirExists(dir) || wxFileName::Mkdir(dir, wxS_DIR_DEFAULT, wxPATH_MKDIR_FULL);
}
}  // namespace

bool StartUpFiles() {
  // The log folder is the working directory, so relative names the operator
  // types end up next to the log, never in the installation folder.
  const std::string logDir = Folders::Logs();
  if (MakeFolder(logDir)) wxSetWorkingDirectory(wxString::FromUTF8(logDir));
  OpenLogFile(logDir);
  LogMessage(LOG_ALWAYS | 4, "start of log");
  LogMessage(LOG_ALWAYS | 4, "home directory: %s", Folders::Parameters().c_str());
  const std::string params = Folders::Parameters();
  if (!MakeFolder(params)) {
    ShowErrorMessage("Quorvane", "Parameter File Folder has no access rights.\n");
    return false;
  }
  LogMessage(LOG_ALWAYS | 4, "load parameter files");
  OpenParameterFiles();
  return true;
}

void ShutDownFiles() {
  CloseParameterFiles();
  LogMessage(LOG_ALWAYS | 4, "end of log");
  CloseLogFile();
}

bool Quorvane2App::OnInit() {
  SetAppName("Quorvane");
  SetAppDisplayName("Quorvane");
  SetMessageHandler(ShowMessageBox);
  if (!StartUpFiles()) return false;
  SetInitialised(true);
  LogMessage(LOG_START, "Quorvane2App::OnInit()");
  auto* frame = new Quorvane2Frame();
  frame->Show();
  SetTopWindow(frame);
  return true;
}

int Quorvane2App::OnExit() {
  ShutDownFiles();
  return wxApp::OnExit();
}
