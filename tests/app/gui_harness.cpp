#include "gui_harness.h"

#include <chrono>
#include <filesystem>
#include <thread>

#include <wx/app.h>
#include <wx/dcmemory.h>
#include <wx/dcscreen.h>
#include <wx/evtloop.h>
#include <wx/image.h>
#include <wx/window.h>

#include "app/machineconnection.h"
#include "app/mainframe.h"
#include "app/quorvane_app.h"
#include "base/folders.h"
#include "base/logging.h"
#include "common/testsupport.h"
#include "machine/machineconfig.h"
#include "machine/machinestate.h"
#include "machine/tooltable.h"
#include "motion/backend.h"
#include "params/parafile.h"

namespace guitest {

bool PumpUntil(const std::function<bool()>& done, double seconds) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    if (wxEventLoopBase* loop = wxEventLoopBase::GetActive()) loop->Yield(true);
    if (wxTheApp) wxTheApp->ProcessIdle();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

void Pump(double seconds) { PumpUntil([] { return false; }, seconds); }

DialogScript::DialogScript() {
  // The start-up load warning depends on how busy the machine running the
  // tests is, not on the application: accept it whenever it comes.
  rules.push_back({"CPU-core load", [](DialogRequest&) { return static_cast<int>(wxID_OK); }});
  previous = DialogHost::SetResponder([this](DialogRequest& r) {
    seen.push_back(r.caption + ": " + r.text);
    for (auto& [key, answer] : rules)
      if (r.caption.find(key) != std::string::npos || r.text.find(key) != std::string::npos) return answer(r);
    ADD_FAILURE() << "unexpected dialog " << r.caption << ": " << r.text;
    return r.kind == DialogRequest::CHOICE ? -1 : static_cast<int>(wxID_CANCEL);
  });
}

DialogScript::~DialogScript() { DialogHost::SetResponder(previous); }

// A later rule takes precedence over an earlier one for the same dialog.
void DialogScript::On(const std::string& key, Answer answer) {
  rules.insert(rules.begin(), {key, std::move(answer)});
}

int DialogScript::Count(const std::string& key) const {
  int n = 0;
  for (const std::string& s : seen) n += s.find(key) != std::string::npos;
  return n;
}

bool SaveScreenshot(wxWindow* window, const std::string& path) {
  window->Raise();
  window->Update();
  Pump(0.3);
  const wxRect r = window->GetScreenRect();
  wxBitmap bmp(r.width, r.height);
  wxMemoryDC mem(bmp);
  wxScreenDC screen;
  mem.Blit(0, 0, r.width, r.height, &screen, r.x, r.y);
  mem.SelectObject(wxNullBitmap);
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  return bmp.ConvertToImage().SaveFile(wxString::FromUTF8(path), wxBITMAP_TYPE_PNG);
}

void AppSession::SetUp() {
  paramDir = testsupport::MakeTempDir("params");
  macroDir = testsupport::MakeTempDir("macros");
  Folders::SetParameters(paramDir);
  Folders::SetMacros(macroDir);
  Folders::SetLogs(Folders::Join(paramDir, "log"));
  // The example parameter set is what a new machine starts from.
  std::filesystem::copy(QUORVANE_SOURCE_DIR "/examples/params", Folders::Join(paramDir, "defaults"));
  for (const auto& e : std::filesystem::directory_iterator(QUORVANE_SOURCE_DIR "/examples/macros"))
    std::filesystem::copy(e.path(), Folders::Join(macroDir, e.path().filename().string()));
  // The start-up hint has been seen on this machine.
  testsupport::WriteFile(Folders::Join(paramDir, "GuiSettings.txt"), "StartHintShown=1\n");
  dialogs.On("Homing recommended", 1);  // "No homing"
}

bool AppSession::Start(const std::vector<std::pair<std::string, std::string>>& macros, const std::string& argument) {
  for (const auto& [name, text] : macros) testsupport::WriteFile(Folders::Join(macroDir, name), text);
  auto* app = static_cast<Quorvane2App*>(wxTheApp);
  app->SetArgument(argument);
  if (!app->StartUp()) return false;
  frame = app->Frame();
  // Everything the tests read from the log, nothing written every cycle.
  SetLogMask(LOGCAT_USER_ACTIONS | LOGCAT_OFFSETS | LOGCAT_IN_OUTPUT | LOGCAT_INTERPRETER);
  SetLogLevel(6);
  return frame != nullptr;
}

bool AppSession::CloseWindow() {
  if (!frame) return true;
  wxWindowID id = frame->GetId();
  frame->Close();
  const bool gone = PumpUntil([&] { return wxWindow::FindWindowById(id) == nullptr; }, 60);
  if (gone) frame = nullptr;
  return gone;
}

void AppSession::TearDown() {
  if (frame) {
    frame->Connection().Current().Stop(false);
    WaitIdle(10);
    if (!CloseWindow()) ADD_FAILURE() << "the main window did not close";
  }
  static_cast<Quorvane2App*>(wxTheApp)->EndSession();
  ResetParameterFilesForTest();
  GetMachineConfig() = MachineConfig();
  GetToolTable().Clear();
  ResetMachineStateForTest();
  Folders::SetParameters(testsupport::ScratchDir() + "/params");
  Folders::SetMacros(testsupport::ScratchDir() + "/macros");
  Folders::SetLogs(testsupport::ScratchDir() + "/log");
}

bool AppSession::Load(const std::string& path) {
  if (!frame->LoadProgram(path)) return false;
  return PumpUntil([&] { return !frame->IsLoading() && frame->ProgramFile() == path; }, 30) ||
         (PumpUntil([&] { return !frame->IsLoading(); }, 1), false);
}

bool AppSession::WaitIdle(double seconds) {
  return PumpUntil([&] { return !frame->IsRunning() && frame->UiModeValue() == 0; }, seconds);
}

std::string AppSession::Log() const { return testsupport::ReadFile(LogFilePath()); }

bool AppSession::HasMessage(const std::string& part) const {
  // Lines posted by a run reach the list on the window's next timer tick,
  // which may come after the run is seen to end.
  return PumpUntil(
      [&] {
        for (const std::string& line : frame->MessageLines())
          if (line.find(part) != std::string::npos) return true;
        return false;
      },
      2.0);
}

std::string AppSession::WriteProgram(const std::string& name, const std::string& text) {
  const std::string path = Folders::Join(testsupport::MakeTempDir("prog"), name);
  testsupport::WriteFile(path, text);
  return path;
}

}  // namespace guitest
