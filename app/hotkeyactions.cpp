// Operator actions in the main window: keys, input signals and the function
// buttons run the actions of the hotkey table; the operations behind them
// that the window had no button for live here too.
#include "app/hotkeyactions.h"

#include <algorithm>
#include <cstdio>

#include <wx/button.h>
#include <wx/choice.h>
#include <wx/combobox.h>
#include <wx/eventfilter.h>
#include <wx/msgdlg.h>
#include <wx/radiobut.h>
#include <wx/sizer.h>
#include <wx/slider.h>
#include <wx/statbox.h>
#include <wx/textctrl.h>

#include "app/dialoghost.h"
#include "app/machineconnection.h"
#include "app/mainframe.h"
#include "app/programview.h"
#include "base/logging.h"
#include "dialogs/hotkey_dialog.h"
#include "machine/machineconfig.h"
#include "machine/machinestate.h"
#include "motion/backend.h"
#include "machine/paramexport.h"
#include "params/parafile.h"

namespace {
constexpr int32_t LOG_USER_ACTION = LOGCAT_USER_ACTIONS | 3;
constexpr int32_t LOG_FRAME = LOGCAT_USER_ACTIONS | 4;
constexpr double kOverrideStepPercent = 10;

// Key releases go to the focused control; the frame sees them only through
// a filter on all events.
class KeyUpFilter : public wxEventFilter {
 public:
  explicit KeyUpFilter(Quorvane2Frame& frame) : frame(frame) { wxEvtHandler::AddFilter(this); }
  ~KeyUpFilter() override { wxEvtHandler::RemoveFilter(this); }
  int FilterEvent(wxEvent& event) override {
    if (event.GetEventType() != wxEVT_KEY_UP) return Event_Skip;
    auto* window = wxDynamicCast(event.GetEventObject(), wxWindow);
    if (!window || wxGetTopLevelParent(window) != &frame) return Event_Skip;
    return frame.OnKeyUp(static_cast<wxKeyEvent&>(event)) ? Event_Processed : Event_Skip;
  }

 private:
  Quorvane2Frame& frame;
};

// Keys typed into a text field stay there, unless they cannot be text.
bool TypingKey(const wxKeyEvent& event) {
  auto* focus = wxWindow::FindFocus();
  const bool textField = wxDynamicCast(focus, wxTextCtrl) || wxDynamicCast(focus, wxComboBox);
  if (!textField) return false;
  const int code = event.GetKeyCode();
  if (event.GetModifiers() & (wxMOD_CONTROL | wxMOD_ALT | wxMOD_META)) return false;
  return !(code >= WXK_F1 && code <= WXK_F24);
}

int32_t ModifiersOf(const wxKeyEvent& event) {
  return event.GetModifiers() & (KEYMOD_ALT | KEYMOD_CTRL | KEYMOD_SHIFT | KEYMOD_META);
}

// Importing runs at start-up, before the main window: questions and
// messages go to the operator directly, nothing is run.
class ImportHost : public HotkeyHost {
 public:
  BackEnd* HotkeyBackEnd() override { return nullptr; }
  void RunOperation(Op, int) override {}
  void StartJog(int, bool, int, bool, double) override {}
  void StopJog() override {}
  double SelectedJogSpeed() override { return 0; }
  bool AskYesNo(const std::string& caption, const std::string& text) override {
    return DialogHost::Message(nullptr, caption, text, wxYES_NO | wxICON_QUESTION) == wxID_YES;
  }
  void ShowMessage(const std::string& caption, const std::string& text) override {
    DialogHost::Message(nullptr, caption, text, wxOK | wxICON_WARNING);
  }
  void PostInputEvent(int, bool) override {}
};

void WriteHotkeySection(ParaFile& file) {
  const ParaFile& table = GetParaFile(PF_HOTKEYS);
  for (size_t i = 0; i < table.GetLineCount(); ++i) {
    const std::string line = table.GetLine(i).utf8_string();
    const size_t eq = line.find('=');
    if (eq != std::string::npos && line.compare(0, 3, "HK_") == 0) file.SetValue(line.substr(0, eq), line.substr(eq + 1));
  }
}

void ReadHotkeySection(ParaFile& file) {
  ImportHost host;
  Hotkeys keys(&host);
  ParaFile& table = GetParaFile(PF_HOTKEYS);
  keys.Load(false, table);
  for (const std::string& s : keys.Load(false, file))
    LogMessage(LOG_FRAME, "Parameter set: hotkey %s skipped", s.c_str());
  keys.Save(true, table);
}

}  // namespace

void RegisterHotkeySection() { RegisterExportSection("Hotkeys", WriteHotkeySection, ReadHotkeySection); }

// ---------------------------------------------------------------------------
// The host

BackEnd* FrameHotkeyHost::HotkeyBackEnd() { return &frame.CurrentBackEnd(); }
void FrameHotkeyHost::RunOperation(Op op, int arg) { frame.RunHotkeyOperation(op, arg); }
void FrameHotkeyHost::StartJog(int axis, bool positive, int axis2, bool positive2, double velocity) {
  frame.StartHotkeyJog(axis, positive, axis2, positive2, velocity);
}
void FrameHotkeyHost::StopJog() { frame.JogStop(); }
double FrameHotkeyHost::SelectedJogSpeed() { return frame.SelectedJogSpeed(); }

bool FrameHotkeyHost::AskYesNo(const std::string& caption, const std::string& text) {
  return DialogHost::Message(&frame, caption, text, wxYES_NO | wxICON_QUESTION) == wxID_YES;
}

void FrameHotkeyHost::ShowMessage(const std::string& caption, const std::string& text) {
  DialogHost::Message(&frame, caption, text, wxOK | wxICON_WARNING);
}

void FrameHotkeyHost::PostInputEvent(int action, bool active) {
  // Behind what waits in the queue, as every other operator event.
  frame.CallAfter([this, action, active] { frame.Keys().OnInputEvent(action, active); });
}

// ---------------------------------------------------------------------------
// Set-up

void Quorvane2Frame::InitHotkeys() {
  hotkeyHost = std::make_unique<FrameHotkeyHost>(*this);
  hotkeys = std::make_unique<Hotkeys>(hotkeyHost.get());
  ParaFile& file = GetParaFile(PF_HOTKEYS);
  if (file.GetLineCount() == 0) {
    // A new installation: the keys an operator tries first.
    hotkeys->SetDefaultBindings();
    SaveHotkeys();
  } else {
    for (const std::string& s : hotkeys->Load(false, file))
      AddMessage(wxString::FromUTF8("Hotkeys.txt: " + s + " skipped"));
  }
  keyFilter = std::make_unique<KeyUpFilter>(*this);
  Bind(wxEVT_CHAR_HOOK, &Quorvane2Frame::OnCharHook, this);
  Bind(wxEVT_ACTIVATE, &Quorvane2Frame::OnActivate, this);
}

bool Quorvane2Frame::SaveHotkeys() { return hotkeys->Save(true, GetParaFile(PF_HOTKEYS)); }

void Quorvane2Frame::BuildFunctionBox(wxWindow* parent, wxSizer* into) {
  auto* box = new wxStaticBoxSizer(wxVERTICAL, parent, "Function buttons");
  wxWindow* b = box->GetStaticBox();
  auto* grid = new wxGridSizer(2, kFunctionButtons / 2, 3, 3);
  for (int n = 1; n <= kFunctionButtons; ++n) {
    auto* button = new wxButton(b, wxID_ANY, wxString::Format("F%d", n), wxDefaultPosition, wxSize(-1, 30));
    button->Bind(wxEVT_BUTTON, [this, n](wxCommandEvent&) {
      LogMessage(LOG_USER_ACTION, "UserAction: FunctionButton %d", n);
      hotkeys->DispatchFunctionButton(n, true);
      hotkeys->DispatchFunctionButton(n, false);
    });
    functionButtons.push_back(button);
    grid->Add(button, 0, wxEXPAND);
  }
  box->Add(grid, 0, wxEXPAND | wxALL, 4);
  into->Add(box, 0, wxEXPAND | wxLEFT | wxRIGHT | wxBOTTOM, 4);
}

void Quorvane2Frame::RefreshFunctionButtons() {
  for (int n = 1; n <= static_cast<int>(functionButtons.size()); ++n) {
    int action = -1, index = -1;
    const bool bound = hotkeys && hotkeys->FindBinding(HotkeyBinding::Button(n), action, index);
    wxButton* button = functionButtons[n - 1];
    button->SetLabel(bound ? wxString::FromUTF8(hotkeys->Name(action)) : wxString::Format("F%d", n));
    button->SetToolTip(bound ? wxString::Format("Function button %d", n)
                             : wxString::Format("Function button %d: nothing assigned (Machine > Hotkeys)", n));
    button->Enable(bound);
  }
}

wxButton* Quorvane2Frame::FunctionButton(int number) const {
  return number >= 1 && number <= static_cast<int>(functionButtons.size()) ? functionButtons[number - 1] : nullptr;
}

// ---------------------------------------------------------------------------
// Keys

void Quorvane2Frame::OnCharHook(wxKeyEvent& event) {
  if (!hotkeys || TypingKey(event) ||
      !hotkeys->DispatchKey(event.GetKeyCode(), ModifiersOf(event), HotkeyEvent::PRESSED))
    event.Skip();
}

bool Quorvane2Frame::OnKeyUp(wxKeyEvent& event) {
  if (!hotkeys) return false;
  // A key typed into a text field was never started as an action.
  if (TypingKey(event) && !hotkeys->KeyHeld(event.GetKeyCode())) return false;
  return hotkeys->DispatchKey(event.GetKeyCode(), ModifiersOf(event), HotkeyEvent::RELEASED);
}

void Quorvane2Frame::OnActivate(wxActivateEvent& event) {
  // The release of a key held while the focus goes elsewhere never comes.
  if (!event.GetActive() && hotkeys && hotkeys->KeyHeld()) {
    LogMessage(LOG_FRAME, "Focus lost: keys released");
    hotkeys->ReleaseHeldKeys();
  }
  event.Skip();
}

void Quorvane2Frame::OpenHotkeyDialog() {
  LogMessage(LOG_USER_ACTION, "UserAction: Hotkeys");
  // Inputs are not run while their bindings change.
  hotkeys->enabled = false;
  HotkeyDialog::Run(this, *hotkeys, [this] { return SaveHotkeys(); });
  // What was not saved is dropped: the table is the file's again.
  hotkeys->ReleaseHeldKeys();
  hotkeys->Load(false, GetParaFile(PF_HOTKEYS));
  hotkeys->enabled = true;
  RefreshFunctionButtons();
}

// ---------------------------------------------------------------------------
// Operations

double Quorvane2Frame::SelectedJogSpeed() const { return jogRapid ? 0.0 : GetMachineConfig().jogSpeed[jogSpeedIndex]; }

void Quorvane2Frame::StartHotkeyJog(int axis, bool positive, int axis2, bool positive2, double velocityMmPerS) {
  if (axis2 < 0) {
    if (jogContinuous->GetValue()) {
      JogStart(axis, positive, velocityMmPerS);
    } else {
      JogStep(axis, positive);
    }
    return;
  }
  LogMessage(LOG_USER_ACTION, "UserAction: Jog axis=%d dir=%d axis2=%d dir2=%d", axis, positive ? 1 : 0, axis2,
             positive2 ? 1 : 0);
  if (estopActive || !jogEnabled || IsRunning() || uiMode != UI_IDLE) return;
  const double step = jogContinuous->GetValue() ? 0.0 : GetMachineConfig().jogStep[jogStepIndex];
  uiMode = UI_JOGGING;
  job = Job::JOG;
  CurrentBackEnd().JogTwoAxes(axis, positive, axis2, positive2, step, velocityMmPerS, false);
  UpdateControls();
}

void Quorvane2Frame::ToggleMFunction(int number) {
  LogMessage(LOG_USER_ACTION, "UserAction: Toggle M%d", number);
  const MachineState& state = actState;
  const bool on = number == 3   ? state.GetFlag(SF_SPINDLE_CW)
                  : number == 4 ? state.GetFlag(SF_SPINDLE_CCW)
                  : number == 7 ? state.GetFlag(SF_COOLANT_MIST)
                                : state.GetFlag(SF_COOLANT_FLOOD);
  std::string text;
  if (on) {
    text = number <= 4 ? "M5" : "M9";
  } else {
    text = "M" + std::to_string(number);
  }
  if (IsRunning()) return;
  ExecuteText(text, "Toggle");
}

void Quorvane2Frame::StepOverride(bool spindle, int direction) {
  wxSlider* slider = spindle ? spindleSlider : feedSlider;
  const double now = spindle ? CurrentBackEnd().GetSpindleOverride()
                             : (feedHoldOverride > 0 ? feedHoldOverride : CurrentBackEnd().GetFeedOverride());
  const double next = std::clamp(now + direction * kOverrideStepPercent, static_cast<double>(slider->GetMin()),
                                 static_cast<double>(slider->GetMax()));
  slider->SetValue(static_cast<int>(next));
  if (spindle)
    SetSpindleOverride(next);
  else
    SetFeedOverride(next);
}

void Quorvane2Frame::RunHotkeyOperation(int op, int arg) {
  using H = HotkeyHost;
  const MachineConfig& cfg = GetMachineConfig();
  switch (op) {
    case H::FEED_HOLD: FeedHold(); break;
    case H::FEED_RESUME: FeedResume(); break;
    case H::TOGGLE_START:
      // One key for the whole run: start, hold, go on.
      if (!IsRunning())
        StartProgram();
      else if (feedHoldOverride > 0)
        FeedResume();
      else
        FeedHold();
      break;
    case H::REWIND:
      LogMessage(LOG_USER_ACTION, "UserAction: Rewind");
      if (!IsRunning()) {
        SetRunFromLine(1);
        programView->ShowLine(1);
      }
      break;
    case H::START_PROGRAM: StartProgram(); break;
    case H::STOP_PROGRAM: StopProgram(); break;
    case H::FEED_OVERRIDE_STEP: StepOverride(false, arg); break;
    case H::SPINDLE_OVERRIDE_STEP: StepOverride(true, arg); break;
    case H::OPEN_MDI:
      LogMessage(LOG_USER_ACTION, "UserAction: Open MDI");
      mdiField->SetFocus();
      break;
    case H::RESET_AXIS: {
      LogMessage(LOG_USER_ACTION, "UserAction: Reset axis %d", arg);
      if (IsRunning() || uiMode != UI_IDLE) break;
      // The work position becomes 0 where the machine stands.
      std::string text = "G92";
      for (int a = 0; a < kAxisCount; ++a)
        if ((arg < 0 && cfg.axis[a].displayAxis) || a == arg) text += std::string(" ") + kAxisLetters[a] + "0";
      if (text.size() > 3) ExecuteText(text, "ResetAxis");
      break;
    }
    case H::JOG_SPEED_STEP:
    case H::SET_JOG_SPEED:
    case H::CYCLE_JOG_SPEED: {
      const int index = op == H::SET_JOG_SPEED  ? arg
                        : op == H::JOG_SPEED_STEP ? jogSpeedIndex + arg
                                                  : (jogSpeedIndex + 1) % kJogPresets;
      LogMessage(LOG_USER_ACTION, "UserAction: JogSpeed %d", index);
      SetJogSpeedPreset(index);
      break;
    }
    case H::HOME_ALL: HomeAll(); break;
    case H::JOG_RAPID:
      LogMessage(LOG_USER_ACTION, "UserAction: Jog rapid");
      jogRapid = true;
      ShowStatus("Jog speed: rapid");
      break;
    case H::JOG_CONTINUOUS:
      LogMessage(LOG_USER_ACTION, "UserAction: Jog continuous");
      jogContinuous->SetValue(true);
      break;
    case H::SET_JOG_STEP:
    case H::CYCLE_JOG_STEP: {
      const int index = op == H::SET_JOG_STEP ? arg : (jogStepIndex + 1) % kJogPresets;
      LogMessage(LOG_USER_ACTION, "UserAction: JogStep %d", index);
      SetJogStepPreset(index);
      jogStepMode->SetValue(true);
      break;
    }
    case H::MOVE_AXIS_TO_ZERO:
      LogMessage(LOG_USER_ACTION, "UserAction: Move %c to zero", kAxisLetters[arg]);
      if (!IsRunning() && uiMode == UI_IDLE) ExecuteText(std::string("G0 ") + kAxisLetters[arg] + "0", "Move");
      break;
    case H::MOVE_TO_ZERO:
      LogMessage(LOG_USER_ACTION, "UserAction: Move to zero position");
      if (!IsRunning() && uiMode == UI_IDLE) ExecuteText("G0 X0 Y0", "Move");
      break;
    case H::MOVE_TO_PARK: {
      LogMessage(LOG_USER_ACTION, "UserAction: Move to park position");
      if (IsRunning() || uiMode != UI_IDLE) break;
      char text[160];
      std::snprintf(text, sizeof text, "G53 G0 X%.4f Y%.4f Z%.4f", cfg.parkPos.v[0], cfg.parkPos.v[1],
                    cfg.parkPos.v[2]);
      ExecuteText(text, "Move");
      break;
    }
    case H::TOGGLE_M: ToggleMFunction(arg); break;
    case H::USER_MACRO: RunUserMacro(arg); break;
    case H::SELECT_OFFSET: SelectWorkOffset(arg); break;
    case H::THC_TOGGLE:
    case H::THC_OFF:
    case H::THC_ON:
      thcOn = op == H::THC_TOGGLE ? !thcOn : op == H::THC_ON;
      LogMessage(LOG_USER_ACTION, "UserAction: THC %s", thcOn ? "on" : "off");
      CurrentBackEnd().SetThc(thcOn);
      break;
    case H::THC_ADJUST:
      LogMessage(LOG_USER_ACTION, "UserAction: THC adjust %d", arg);
      AddMessage("The torch height cannot be adjusted on this machine.");
      break;
    case H::CAMERA_TO_CROSSHAIR:
    case H::CAMERA_BACK:
    case H::OFFSET_TO_CROSSHAIR:
      LogMessage(LOG_USER_ACTION, "UserAction: Camera %d", op);
      AddMessage("No camera is configured.");
      break;
    default: break;
  }
}
