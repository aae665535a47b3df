// The application object: opens the log and the parameter files, creates the
// main window, and closes both again at exit.
#pragma once

#include <wx/app.h>

class Quorvane2App : public wxApp {
 public:
  bool OnInit() override;
  int OnExit() override;
};

// Opens the log file and the parameter files below the folders of `Folders`
// (environment overrides included), creating the folders when needed.
// False when the parameter folder cannot be created.
bool StartUpFiles();
// Writes and closes the parameter files, ends and closes the log.
void ShutDownFiles();
