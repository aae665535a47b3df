#include "app/quorvane_app.h"

#include <string>
#include <thread>

#include <wx/dcmemory.h>
#include <wx/filefn.h>
#include <wx/filename.h>
#include <wx/image.h>
#include <wx/intl.h>
#include <wx/msgdlg.h>
#include <wx/snglinst.h>
#include <wx/splash.h>
#include <wx/stdpaths.h>
#include <wx/thread.h>

#include "app/dialoghost.h"
#include "app/hotkeyactions.h"
#include "app/machineconnection.h"
#include "app/maintenance.h"
#include "app/mainframe.h"
#include "app/startup.h"
#include "base/folders.h"
#include "base/logging.h"
#include "machine/machineconfig.h"
#include "machine/machinestate.h"
#include "machine/tooltable.h"
#include "params/parafile.h"

namespace {
constexpr int32_t LOG_START = LOG_ALWAYS | 4;

void ShowMessageBox(const char* caption, const char* text) {
  // A worker (a preview, a back end) that fails to write a file must not
  // open a window itself: the GUI thread shows it at its next chance.
  if (!wxThread::IsMain()) {
    if (wxTheApp)
      wxTheApp->CallAfter([c = std::string(caption), t = std::string(text)] {
        DialogHost::Message(nullptr, c, t, wxOK | wxICON_ERROR);
      });
    return;
  }
  DialogHost::Message(nullptr, caption, text, wxOK | wxICON_ERROR);
}

bool MakeFolder(const std::string& dir) {
  return wxFileName::DirExists(dir) || wxFileName::Mkdir(dir, wxS_DIR_DEFAULT, wxPATH_MKDIR_FULL);
}

// The banner shown while loading: the delivered image when there is one,
// else the name drawn on a plain background.
wxBitmap BannerImage(const MachineConfig& cfg) {
  const char* name = cfg.machineType == 5 ? "banner_rereriv.png" : "banner.png";
  for (const std::string& dir : {cfg.iconDir, Folders::Parameters()}) {
    if (dir.empty()) continue;
    const wxString path = wxString::FromUTF8(Folders::Join(dir, name));
    wxImage image;
    if (wxFileName::FileExists(path) && image.LoadFile(path)) return wxBitmap(image);
  }
  wxBitmap bmp(420, 160);
  wxMemoryDC dc(bmp);
  dc.SetBackground(wxBrush(wxColour(30, 50, 80)));
  dc.Clear();
  dc.SetTextForeground(*wxWHITE);
  dc.SetFont(wxFontInfo(30).Bold());
  dc.DrawText(wxString::FromUTF8(cfg.appName), 30, 40);
  dc.SetFont(wxFontInfo(11));
  dc.DrawText("CNC machine control - starting...", 32, 100);
  dc.SelectObject(wxNullBitmap);
  return bmp;
}
}  // namespace

namespace {
std::string g_launchFolder;
}  // namespace

const std::string& LaunchFolder() { return g_launchFolder; }

bool StartUpFiles() {
  if (g_launchFolder.empty()) g_launchFolder = wxGetCwd().utf8_string();
  // The log folder is the working directory, so relative names the operator
  // types end up next to the log, never in the installation folder.
  const std::string logDir = Folders::Logs();
  if (MakeFolder(logDir)) wxSetWorkingDirectory(wxString::FromUTF8(logDir));
  OpenLogFile(logDir);
  LogMessage(LOG_START, "start of log");
  LogMessage(LOG_START, "home directory: %s", logDir.c_str());
  if (!MakeFolder(Folders::Parameters())) {
    ShowErrorMessage("Quorvane", "Parameter File Folder has no access rights.\n");
    return false;
  }
  LogMessage(LOG_START, "load parameter files");
  OpenParameterFiles();
  return true;
}

void ShutDownFiles() {
  CloseParameterFiles();
  LogMessage(LOG_START, "end of log");
  CloseLogFile();
}

Quorvane2App::Quorvane2App() = default;
Quorvane2App::~Quorvane2App() = default;

bool Quorvane2App::OnInit() {
  if (!wxApp::OnInit()) return false;
  if (argc > 1) commandArgument = argv[1].utf8_string();
  return StartUp();
}

bool Quorvane2App::StartUp() {
  // 1. Baseline of the load measurement; image formats.
  const startup::CpuSample baseline = startup::TakeCpuSample();
  for (wxImageHandler* h : std::initializer_list<wxImageHandler*>{
           new wxJPEGHandler, new wxPNGHandler, new wxTIFFHandler, new wxTGAHandler, new wxGIFHandler,
           new wxPNMHandler, new wxPCXHandler, new wxXPMHandler}) {
    if (wxImage::FindHandler(h->GetType())) delete h;
    else wxImage::AddHandler(h);
  }
  SetAppName("Quorvane");
  SetAppDisplayName("Quorvane");
  SetMessageHandler(ShowMessageBox);

  // 2. One instance per parameter set.
  std::string message;
  instanceLock = startup::ClaimSingleInstance("Quorvane", message);
  if (!instanceLock) {
    DialogHost::Message(nullptr, "Quorvane", message, wxOK | wxICON_ERROR);
    return false;
  }

  // 3, 4. Log and parameter files, the argument.
  if (!StartUpFiles()) return false;
  RegisterHotkeySection();
  if (!commandArgument.empty() && !startup::WasCalledWithArgument(commandArgument, message))
    DialogHost::Message(nullptr, "Quorvane", message, wxOK | wxICON_WARNING);
  const std::string refused = startup::ProbeFolderRights();
  if (!refused.empty()) DialogHost::Message(nullptr, "Quorvane", refused, wxOK | wxICON_ERROR);

  // 5. General configuration.
  LoadMachineConfig();

  // 6. Banner while the rest loads.
  LogMessage(LOG_START, "show splash screen");
  ShowBanner();

  // 7. Loads in their order.
  LogMessage(LOG_START, "load hotkeys");
  actState.LoadVars(GetParaFile(PF_VARIABLE_TABLE));
  LoadToolTable();
  actState.LoadStateFromVarFile();
  ChooseLanguage();
  SaveMachineConfig();

  // 8. Run-time counters and the maintenance record.
  MaintenanceCounters counters;
  if (maintenance::Load(GetParaFile(PF_STORAGE), maintenance::Today(), counters))
    LogMessage(LOG_START, "Maintenance timer cleared");

  // 9. The main window.
  LogMessage(LOG_START, "Quorvane2App::OnInit()");
  SetInitialised(true);
  frame = new Quorvane2Frame(MakeMachineLink());
  frame->Show();
  SetTopWindow(frame);
  if (banner) {
    banner->Destroy();
    banner = nullptr;
  }

  // 10. The machine, and the hint shown once.
  frame->InitMachine();
  ParaFile& gui = GetParaFile(PF_GUI_SETTINGS);
  bool hintShown = false;
  gui.GetBool("StartHintShown", hintShown);
  if (!hintShown) {
    DialogHost::Message(frame, "Quorvane",
                        "Welcome to Quorvane.\n\nLoad a part program with File > Open, check it in the program "
                        "view\nand start it with Start. While no machine is connected,\nprograms, jogs and macros "
                        "move the simulated machine.",
                        wxOK | wxICON_INFORMATION);
    gui.SetBool("StartHintShown", true);
    gui.Write();
  }

  // 11. Timer resolution, idle handler.
  LogMessage(LOG_START, "Init() ok");
  startup::SetTimerResolution();
  Bind(wxEVT_IDLE, &Quorvane2App::OnIdle, this);

  // 12. Load warning.
  const double load = startup::CpuLoadPercent(baseline, startup::TakeCpuSample(),
                                              static_cast<int>(std::max(1u, std::thread::hardware_concurrency())));
  LogMessage(LOG_START, "start-up CPU load %0.1f percent", load);
  if (startup::CpuLoadNeedsWarning(load))
    DialogHost::Message(frame, "Quorvane", startup::CpuLoadWarningText(load), wxOK | wxICON_WARNING);

  // 13. The last user (no user accounts: the name is only shown in the log).
  std::string user;
  GetParaFile(PF_USER_SETTINGS).GetString("LastUser", user);
  LogMessage(LOG_START, "LastUser: %s", user.empty() ? "operator" : user.c_str());
  return true;
}

void Quorvane2App::ShowBanner() {
  banner = new wxSplashScreen(BannerImage(GetMachineConfig()), wxSPLASH_CENTRE_ON_SCREEN | wxSPLASH_NO_TIMEOUT, 0,
                              nullptr, wxID_ANY, wxDefaultPosition, wxDefaultSize,
                              wxBORDER_SIMPLE | wxFRAME_NO_TASKBAR | wxSTAY_ON_TOP);
  Yield(true);
}

void Quorvane2App::ChooseLanguage() {
  MachineConfig& cfg = GetMachineConfig();
  if (cfg.language.empty() || cfg.language == "en") return;
  // Catalogues live in "lang/<code>/quorvane.mo" next to the program.
  const wxString dir = wxFileName(wxStandardPaths::Get().GetExecutablePath()).GetPath() + "/lang";
  const wxString mo = dir + "/" + wxString::FromUTF8(cfg.language) + "/quorvane.mo";
  if (wxFileName::FileExists(mo)) {
    wxFileTranslationsLoader::AddCatalogLookupPathPrefix(dir);
    auto* translations = new wxTranslations;
    translations->SetLanguage(wxString::FromUTF8(cfg.language));
    translations->AddCatalog("quorvane");
    wxTranslations::Set(translations);
    return;
  }
  const int choice = DialogHost::Choose(nullptr, "Quorvane", "Please choose a language:", {"English"});
  if (choice == 0) cfg.language = "en";
}

void Quorvane2App::OnIdle(wxIdleEvent& event) {
  if (!idleSeen) {
    idleSeen = true;
    LogMessage(LOG_START, "main window idle");
  }
  event.Skip();
}

void Quorvane2App::EndSession() {
  if (!instanceLock) return;
  frame = nullptr;
  ShutDownFiles();
  instanceLock.reset();
}

int Quorvane2App::OnExit() {
  EndSession();
  return wxApp::OnExit();
}
