// The main window as the operator actions see it: the handlers of the action
// table call the window's operations through this.
#pragma once

#include <string>

#include "hotkeys/hotkeys.h"

class Quorvane2Frame;

class FrameHotkeyHost : public HotkeyHost {
 public:
  explicit FrameHotkeyHost(Quorvane2Frame& frame) : frame(frame) {}
  BackEnd* HotkeyBackEnd() override;
  void RunOperation(Op op, int arg) override;
  void StartJog(int axis, bool positive, int axis2, bool positive2, double velocity) override;
  void StopJog() override;
  double SelectedJogSpeed() override;
  bool AskYesNo(const std::string& caption, const std::string& text) override;
  void ShowMessage(const std::string& caption, const std::string& text) override;
  void PostInputEvent(int action, bool active) override;

 private:
  Quorvane2Frame& frame;
};

// The hotkey section of exported parameter sets: written from "Hotkeys.txt",
// and an imported one replaces the table there (or adds to it with
// "KeepExisting=1"). Registered once, before a parameter set is imported.
void RegisterHotkeySection();
