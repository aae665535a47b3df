// The application object: brings the system up in its fixed order, creates
// the main window, and ends the log at exit.
#pragma once

#include <memory>
#include <string>

#include <wx/app.h>

class Quorvane2Frame;
class wxSingleInstanceChecker;
class wxSplashScreen;

class Quorvane2App : public wxApp {
 public:
  Quorvane2App();
  ~Quorvane2App() override;
  bool OnInit() override;
  int OnExit() override;

  Quorvane2Frame* Frame() const { return frame; }
  // The command-line argument given (empty = none); tests set it before
  // start-up.
  void SetArgument(const std::string& argument) { commandArgument = argument; }
  // Start-up without the command line (tests drive it directly).
  bool StartUp();
  // Ends what StartUp began once the window is gone: the files, the log and
  // the instance lock.
  void EndSession();

 private:
  void OnIdle(wxIdleEvent& event);
  void ShowBanner();
  void ChooseLanguage();

  Quorvane2Frame* frame = nullptr;
  std::unique_ptr<wxSingleInstanceChecker> instanceLock;
  wxSplashScreen* banner = nullptr;
  std::string commandArgument;
  bool idleSeen = false;
};

// Opens the log file and the parameter files below the folders of `Folders`
// (environment overrides included), creating the folders when needed.
// False when the parameter folder cannot be created.
bool StartUpFiles();
// The folder the application was started from (the working directory moves
// to the log folder at start-up): where file dialogs look first.
const std::string& LaunchFolder();
// Writes and closes the parameter files, ends and closes the log.
void ShutDownFiles();
