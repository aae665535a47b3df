// The main cycle of the main window (every 40 ms on the GUI thread), the
// emergency-stop follow-up and closing.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <thread>

#include <wx/app.h>
#include <wx/button.h>
#include <wx/checkbox.h>
#include <wx/choice.h>
#include <wx/datetime.h>
#include <wx/filename.h>
#include <wx/gauge.h>
#include <wx/listctrl.h>
#include <wx/msgdlg.h>
#include <wx/slider.h>
#include <wx/stattext.h>
#include <wx/utils.h>

#include "app/dialoghost.h"
#include "app/machineconnection.h"
#include "app/mainframe.h"
#include "hotkeys/hotkeys.h"
#include "app/operatorqueue.h"
#include "app/programload.h"
#include "app/programview.h"
#include "app/toolpathview.h"
#include "base/logging.h"
#include "interpreter/macroparser.h"
#include "machine/machineconfig.h"
#include "machine/machinestate.h"
#include "machine/transformation.h"
#include "params/parafile.h"
#include "simulation/simulation.h"

namespace {
constexpr int32_t LOG_USER_ACTION = LOGCAT_USER_ACTIONS | 3;
constexpr int32_t LOG_FRAME = LOGCAT_USER_ACTIONS | 4;
// Lines written every cycle: a category of their own, off by default.
constexpr int32_t LOG_CYCLE = LOGCAT_POSITION_DATA | 6;
constexpr int32_t LOG_OFFSET = LOGCAT_OFFSETS | 4;
constexpr int32_t LOG_OFFSET_SAME = LOGCAT_OFFSETS | 7;
constexpr int32_t LOG_ESTOP = LOGCAT_IN_OUTPUT | 2;
constexpr uint32_t kBusy = Simulation::kBusy;
constexpr uint32_t kPaused = Simulation::kPaused;
constexpr uint32_t kError = Simulation::kError;
constexpr int kEstopSignal = 1;  // input "emergency stop"
constexpr int kSignalCount = 2048;

wxString Clock(double seconds) {
  if (!(seconds >= 0) || !std::isfinite(seconds)) return "--:--:--";
  const long s = std::lround(seconds);
  return wxString::Format("%02ld:%02ld:%02ld", s / 3600, (s / 60) % 60, s % 60);
}
}  // namespace

void Quorvane2Frame::OnTimer1(wxTimerEvent&) { MainCycle(); }

void Quorvane2Frame::MainCycle() {
  // A dialog opened below runs its own event loop, in which the timer
  // fires again.
  if (inTimer1) {
    LogMessage(LOG_CYCLE, "Timer1 Handler nested call!");
    return;
  }
  inTimer1 = true;
  LogMessage(LOG_CYCLE, "OnTimer1 enter");
  SuperviseConnection();
  FinishLoad();
  FinishAdapt();
  UpdateDisplays();
  ServeAskDialog();
  StartQueuedMdi();
  FollowRunState();
  WatchProgramFile();
  UpdateEstop();
  const uint32_t flags = CurrentBackEnd().GetFlags();
  if (uiMode == UI_JOGGING && CurrentBackEnd().CheckMachineReady() == 5) {
    LogMessage(LOG_FRAME, "EStatusDoor StopJog()");
    CurrentBackEnd().StopJog();
  }
  if (uiMode == UI_DIRECT_MOVE && job == Job::NONE && !(flags & kBusy)) {
    LogMessage(LOG_FRAME, "DirectMove reached destination");
    uiMode = UI_IDLE;
  }
  if (uiMode == UI_HOMING && job == Job::NONE) {
    LogMessage(LOG_FRAME, "Homing completed");
    uiMode = UI_IDLE;
    jogEnabled = true;
    if (homedSinceStart) {
      actState.SetSoftLimitsEnabled(true);
      CurrentState().SetSoftLimitsEnabled(true);
      softLimitsBox->SetValue(true);
    }
  }
  if (!closing && !startupMacroDone && !IsRunning() && uiMode == UI_IDLE && !estopActive &&
      CurrentBackEnd().CheckMachineReady() <= 0)
    RunStartupMacro();
  hotkeys->PollInputs();
  // Without a window manager the focus can go without an activation event;
  // a key held then would jog on with nobody at the keyboard.
  if (hotkeys->KeyHeld() && !IsActive()) {
    LogMessage(LOG_FRAME, "Focus lost: keys released");
    hotkeys->ReleaseHeldKeys();
  }
  UpdateTrafficLight();
  UpdateControls();
  LogMessage(LOG_CYCLE, "OnTimer1 exit");
  inTimer1 = false;
}

void Quorvane2Frame::SuperviseConnection() {
  MachineLink& link = connection->Link();
  if (connection->CurrentKind() != MachineConnection::Kind::MACHINE) return;
  if (link.Failed()) {
    LogMessage(LOG_ALWAYS | 2, "ConectionFailed ForceClose()");
    closing = true;
    Close(true);
  } else if (link.Bad()) {
    LogMessage(LOG_ALWAYS | 2, "ConectionBad !!! Show() dialog");
    DialogHost::Message(this, "Connection problem",
                        "The connection to the machine is disturbed.\nPlease check the cable and the controller.",
                        wxOK | wxICON_ERROR);
    LogMessage(LOG_ALWAYS | 2, "ConectionBad dialog closed");
  }
}

void Quorvane2Frame::UpdateDisplays() {
  UpdateCoordValues();
  BackEnd& be = CurrentBackEnd();
  const MachineConfig& cfg = GetMachineConfig();
  const wxString feed = wxString::Format("Feed %0.0f", be.GetActualVelocity());
  const wxString spindle = wxString::Format("Spindle %0.0f", be.GetSpindleSpeed());
  if (feedLabel->GetLabel() != feed) feedLabel->SetLabel(feed);
  if (spindleLabel->GetLabel() != spindle) spindleLabel->SetLabel(spindle);
  feedLabel->Show(cfg.displayF);
  spindleLabel->Show(cfg.displayS);
  const double fo = feedHoldOverride > 0 ? feedHoldOverride : be.GetFeedOverride();
  const double so = be.GetSpindleOverride();
  const wxString foText = feedHoldOverride > 0 ? wxString("hold") : wxString::Format("%0.0f %%", fo);
  if (feedOvrLabel->GetLabel() != foText) feedOvrLabel->SetLabel(foText);
  if (feedSlider->GetValue() != std::lround(fo)) feedSlider->SetValue(static_cast<int>(std::lround(fo)));
  const wxString soText = wxString::Format("%0.0f %%", so);
  if (spindleOvrLabel->GetLabel() != soText) spindleOvrLabel->SetLabel(soText);
  if (spindleSlider->GetValue() != std::lround(so)) spindleSlider->SetValue(static_cast<int>(std::lround(so)));
  UpdateProgress();
  UpdateOffset();
  FlushMessages();
}

void Quorvane2Frame::UpdateCoordValues() {
  Coordinates machine;
  CurrentBackEnd().GetPosition(machine);
  MachineState& state = CurrentState();
  const Transformation* t = state.GetTransformation();
  const Coordinates work = t ? t->ToProgram(machine) : machine;
  const int decimals = std::clamp(GetMachineConfig().displayPrecision, 0, 6);
  LogMessage(LOG_CYCLE, "UpdateCoordValues Zo=%f tag=%d", work.v[2] - machine.v[2], CurrentBackEnd().GetCursor());
  for (int i = 0; i < kAxisCount; ++i) {
    if (!axisWork[i]) continue;
    const wxString w = wxString::FromCDouble(work.v[i], decimals);
    const wxString m = wxString::FromCDouble(machine.v[i], decimals);
    if (axisWork[i]->GetLabel() != w) axisWork[i]->SetLabel(w);
    if (axisMachine[i]->GetLabel() != m) axisMachine[i]->SetLabel(m);
  }
  wxString tool = wxString::Format("T%d", state.GetCurrTool());
  if (state.GetFlag(SF_TOOL_LENGTH)) tool += wxString::Format("  L %s", wxString::FromCDouble(state.GetToolLength(), 3));
  if (toolLabel->GetLabel() != tool) toolLabel->SetLabel(tool);
}

void Quorvane2Frame::UpdateOffset() {
  MachineState& state = CurrentState();
  const int offset = state.GetCurrTransNum();
  const int trans = state.TransformationIsActive() ? 1 : 0;
  const int g43 = state.GetFlag(SF_TOOL_LENGTH) ? 1 : 0;
  bool changed = false;
  if (offset != shownOffset) {
    LogMessage(LOG_OFFSET, "UpdateOffset() offset change G%d", 53 + offset);
    shownOffset = offset;
    if (offset >= 0 && offset <= 6) offsetChoice->SetSelection(offset);
    changed = true;
  }
  if (trans != shownTrans) {
    LogMessage(LOG_OFFSET, "UpdateOffset() Trans changed %d", trans);
    shownTrans = trans;
    changed = true;
  }
  if (g43 != shownG43) {
    LogMessage(LOG_OFFSET, "UpdateOffset() LenComp G43 %d", g43);
    shownG43 = g43;
    changed = true;
  }
  if (!changed) LogMessage(LOG_OFFSET_SAME, "UpdateOffset() NO CHANGE");
  if (state.GetChangedSystems() != 0 || state.GetStateChanged()) {
    // The new offsets are on screen with the next coordinate refresh.
    LogMessage(LOG_OFFSET, "UpdateOffset() systems changed %X", state.GetChangedSystems());
    state.ClearChanged();
  }
}

void Quorvane2Frame::UpdateProgress() {
  if (IsLoading()) {
    progressGauge->SetValue(static_cast<int>(std::lround(LoadProgress() * 1000)));
    return;
  }
  if (programFile.empty()) return;
  const int32_t total = programView->LineCount();
  int32_t line = lastCursor;
  if (job == Job::PROGRAM) {
    line = std::clamp(CurrentBackEnd().GetCursor(), 0, total);
    runSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - runStart).count();
    if (line != lastCursor) programView->SetCurrentLine(line, true);
    lastCursor = line;
    Coordinates machine;
    CurrentBackEnd().GetPosition(machine);
    toolPathView->SetProgress(line, machine.v);
  }
  const double percent = total > 0 ? 100.0 * line / total : 0.0;
  const wxString text = wxString::Format("Line %d/%d = %1.2f%%", line, total, percent);
  if (progressLabel->GetLabel() != text) progressLabel->SetLabel(text);
  progressGauge->SetValue(static_cast<int>(std::lround(percent * 10)));
  const wxString elapsed = "Elapsed time: " + Clock(runSeconds);
  if (elapsedLabel->GetLabel() != elapsed) elapsedLabel->SetLabel(elapsed);
  double estimate = estimatedSeconds;
  if (estimate <= 0 && percent >= 1.0 && job == Job::PROGRAM) estimate = runSeconds * 100.0 / percent;
  const wxString est = "Estimated time: " + (estimate > 0 ? Clock(estimate) : wxString("--:--:--"));
  if (estimatedLabel->GetLabel() != est) estimatedLabel->SetLabel(est);
}

void Quorvane2Frame::FlushMessages() {
  bool clear = false;
  std::vector<std::string> lines = messageQueue->Take(clear);
  if (clear) messageList->DeleteAllItems();
  if (lines.empty()) return;
  messageList->Freeze();
  for (const std::string& line : lines) AddMessage(wxString::FromUTF8(line));
  messageList->Thaw();
}

void Quorvane2Frame::ServeAskDialog() {
  AskDialog* dialog = dialogQueue->Pending();
  if (!dialog) return;
  const bool ok = DialogHost::Ask(this, *dialog);
  dialogQueue->Answer(ok);
}

void Quorvane2Frame::StartQueuedMdi() {
  if (mdiQueue.empty() || MachineBusy() || uiMode != UI_IDLE) return;
  LogMessage(LOG_FRAME, "MDI StartMacro() nextCmd queued");
  const std::string next = mdiQueue.front();
  mdiQueue.erase(mdiQueue.begin());
  ExecuteText(next, "MDI");
}

void Quorvane2Frame::FollowRunState() {
  if (job == Job::NONE) return;
  BackEnd& be = CurrentBackEnd();
  const uint32_t flags = be.GetFlags();
  if (flags & kPaused) {
    if (pausedShown) return;
    pausedShown = true;
    ShowStatus("Paused");
    LogMessage(LOG_FRAME, "M0/M1 pause at line %d", be.GetCursor());
    const int rc = DialogHost::Message(this, "M0/M1 Breakpoint", "Press OK to continue or Cancel to abort.",
                                       wxOK | wxCANCEL | wxICON_INFORMATION);
    if (rc == wxID_OK) {
      LogMessage(LOG_USER_ACTION, "UserAction: Continue");
      be.Continue();
      ShowStatus("Running");
    } else {
      LogMessage(LOG_USER_ACTION, "UserAction: StopButton");
      be.Stop(false);
    }
    pausedShown = false;
    return;
  }
  if (flags & kBusy) return;

  const Job ended = job;
  job = Job::NONE;
  const int32_t code = (flags & kError) ? connection->LastErrorCode() : 0;
  const std::string report = (flags & kError) ? connection->LastErrorText() : std::string();
  const int32_t cursor = be.GetCursor();
  switch (ended) {
    case Job::PROGRAM: {
      if (parser->RunState() == RUN_EXIT) LogMessage(LOG_FRAME, "EXIT GetCursor=%d", cursor);
      if (code != 0) {
        LogMessage(LOG_FRAME, "StopProgram GetCursor=%d", cursor);
        interruptedLine = cursor > 1 ? cursor : 0;
        ReportRunError(code, report, true);
        ShowStatus(code == -100 ? "Stopped" : "Error");
      } else {
        LogMessage(LOG_FRAME, "stateComplete GetCursor=%d", cursor);
        LogMessage(LOG_FRAME, "stateComplete CurrLineNum=%d", CurrentState().GetCurrLine());
        const wxDateTime now = wxDateTime::Now();
        AddMessage("Completed at: " + now.Format("%H:%M:%S "));
        AddMessage("Elapsed time: " + Clock(runSeconds) + " ");
        ShowStatus("Completed");
      }
      lastCursor = std::clamp(cursor, 0, programView->LineCount());
      if (code == 0 && parser->RunState() == RUN_M30) {
        LogMessage(LOG_FRAME, "stateComplete M30 rewind");
        programView->SetCurrentLine(0, false);
        toolPathView->ClearProgress();
        programView->ShowLine(1);
      } else {
        programView->SetCurrentLine(lastCursor, true);
      }
      UpdateProgress();
      break;
    }
    case Job::MOVE:
      if (pendingRunFrom && code == 0) {
        // The machine stands where the program is at the chosen line.
        LogMessage(LOG_FRAME, "RunFromLine after DirectMove");
        pendingRunFrom = false;
        uiMode = UI_IDLE;
        job = Job::PROGRAM;
        be.RunProgram();
        return;
      }
      pendingRunFrom = false;
      if (code != 0) AddMessage(wxString::FromUTF8(report.empty() ? ErrorText(Error_t(code)) : report));
      break;
    case Job::JOG:
      uiMode = UI_IDLE;
      if (code != 0) AddMessage(wxString::FromUTF8(ErrorText(Error_t(code))));
      break;
    case Job::HOMING:
      if (code == 0) homedSinceStart = true;
      else AddMessage(wxString::FromUTF8(report));
      break;
    case Job::USER_MACRO:
    case Job::TEXT:
      if (code != 0) AddMessage(wxString::FromUTF8(report));
      ShowStatus(code == 0 ? "Idle" : code == -100 ? "Stopped" : "Error");
      break;
    case Job::NONE:
      break;
  }
  jogEnabled = true;
  if (ended != Job::PROGRAM && ended != Job::TEXT && ended != Job::USER_MACRO) ShowStatus("Idle");
}

void Quorvane2Frame::WatchProgramFile() {
  if (programFile.empty() || IsLoading() || IsRunning() || uiMode != UI_IDLE) return;
  const wxFileName fn(wxString::FromUTF8(programFile));
  if (!fn.FileExists()) return;
  const wxDateTime t = fn.GetModificationTime();
  if (!t.IsValid()) return;
  const int64_t ticks = t.GetTicks();
  if (ticks == programMTime) return;
  programMTime = ticks;
  LoadProgram(programFile);
}

void Quorvane2Frame::AllOutputsOff() {
  BackEnd& be = CurrentBackEnd();
  for (int output = 1; output < kSignalCount; ++output)
    if (be.GetOutput(output)) be.SetChannel(output, false);
}

void Quorvane2Frame::UpdateEstop() {
  const bool active = CurrentBackEnd().GetSignal(kEstopSignal);
  if (active && !estopActive) {
    estopActive = true;
    LogMessage(LOG_ESTOP, "***StopProgram Phase=%d", 1);
    mdiQueue.clear();
    pendingRunFrom = false;
    if (IsRunning()) {
      // Carried out once the back end has come to rest.
      deferredEstop = true;
      CurrentBackEnd().Stop(false);
      LogMessage(LOG_ESTOP, "UpdateEstop deferred estop=%d", 1);
    } else {
      deferredEstop = true;
    }
  }
  if (deferredEstop && !IsRunning()) {
    LogMessage(LOG_ESTOP, "UpdateEstop AllOutputsOff deferredEstop=%d", 1);
    LogMessage(LOG_ESTOP, "***StopProgram Phase=%d", 2);
    CurrentBackEnd().StopJog();
    AllOutputsOff();
    actState.stateFlags &= ~0xFu;  // spindle and coolant
    if (&CurrentState() != &actState) CurrentState().stateFlags &= ~0xFu;
    jogEnabled = true;
    uiMode = UI_IDLE;
    deferredEstop = false;
    startupAfterEstop = true;
    LogMessage(LOG_ESTOP, "Defered estop action=%d", active ? 1 : 0);
  }
  if (active && !estopShown && !deferredEstop) {
    estopShown = true;
    UpdateTrafficLight();
    DialogHost::Message(this, "Emergency Stop", "Emergency Stop active\nplease release button at the machine",
                        wxOK | wxICON_ERROR);
  }
  if (!active && estopActive) {
    estopActive = false;
    estopShown = false;
    LogMessage(LOG_ESTOP, "***StopProgram Phase=%d", 0);
    if (startupAfterEstop) {
      // The main cycle runs it as soon as the machine is idle.
      startupAfterEstop = false;
      startupMacroDone = false;
    }
  }
}

wxString Quorvane2Frame::LightText() const { return lightLabel->GetLabel(); }

void Quorvane2Frame::UpdateTrafficLight() {
  const uint32_t flags = CurrentBackEnd().GetFlags();
  int state = 0;
  const char* text = IsRunning() ? "RUNNING" : "READY";
  if (estopActive) {
    state = 2;
    text = "E-STOP";
  } else if (flags & kPaused) {
    state = 1;
    text = "PAUSED";
  } else if (feedHoldOverride > 0) {
    state = 1;
    text = "HOLD";
  } else if (!homedSinceStart && !IsRunning()) {
    state = 1;
    text = "NOT HOMED";
  }
  // Green covers two texts (ready, running): the text decides too.
  if (state == lightState && lightLabel->GetLabel() == text) return;
  if (state != lightState && state == 1) LogMessage(LOG_FRAME, "TrafficLight yellow");
  if (state != lightState && state == 2) LogMessage(LOG_FRAME, "TrafficLight red");
  lightState = state;
  static const wxColour colours[] = {wxColour(60, 170, 60), wxColour(235, 190, 30), wxColour(210, 40, 40)};
  lightLabel->SetBackgroundColour(colours[state]);
  lightLabel->SetForegroundColour(state == 1 ? *wxBLACK : *wxWHITE);
  lightLabel->SetLabel(text);
  lightLabel->Refresh();
}

void Quorvane2Frame::OnMaintenanceTimer(wxTimerEvent&) {
  if (CurrentBackEnd().GetFlags() & kBusy) maint.runSeconds += kMaintenanceMs / 1000.0;
  // Written once a minute: a crash loses at most that much.
  if (++maintTicks % 60 == 0) {
    ParaFile& storage = GetParaFile(PF_STORAGE);
    maintenance::Save(storage, maint);
    storage.Write();
  }
}

void Quorvane2Frame::AskMaintenance() {
  const MachineConfig& cfg = GetMachineConfig();
  if (!maintenance::Due(maint, cfg.maintOpHours, cfg.maintTotDays, maintenance::Today())) return;
  for (;;) {
    const int choice = DialogHost::Choose(this, "Maintenance required",
                                          "The maintenance interval of the machine has passed.",
                                          {"Remind me later", "Display instructions", "Maintenance done"});
    if (choice == 1 && !cfg.maintPdfName.empty()) {
      wxLaunchDefaultApplication(wxString::FromUTF8(cfg.maintPdfName));
      continue;
    }
    if (choice == 2) {
      maint = MaintenanceCounters{0, maintenance::Today()};
      LogMessage(LOG_ALWAYS | 4, "Maintenance timer cleared");
    }
    break;
  }
}

void Quorvane2Frame::WaitForIdle() {
  using namespace std::chrono;
  const auto start = steady_clock::now();
  auto lastLog = start;
  bool stopped = false;
  // The cycle goes on while waiting: a macro may still ask the operator.
  while (IsRunning()) {
    if (!inTimer1) MainCycle();
    if (!IsRunning()) break;
    if (wxTheApp) wxTheApp->Yield(true);
    std::this_thread::sleep_for(milliseconds(10));
    const auto now = steady_clock::now();
    if (now - lastLog >= milliseconds(500)) {
      LogMessage(LOG_ALWAYS | 4, "OnClose() waiting");
      lastLog = now;
    }
    // A machine that does not come to rest in time is stopped.
    if (!stopped && now - start > seconds(30)) {
      stopped = true;
      CurrentBackEnd().Stop(false);
    }
    if (now - start > seconds(40)) break;
  }
  LogMessage(LOG_ALWAYS | 4, "OnClose() after Wait");
}

void Quorvane2Frame::OnClose(wxCloseEvent& event) {
  LogMessage(LOG_USER_ACTION, "UserAction: OnClose");
  if (!closing && event.CanVeto()) {
    if (uiMode == UI_BLOCKING || IsRunning() || IsLoading()) {
      if (IsLoading()) loader->Cancel();
      DialogHost::Message(this, "Machine running", "Please stop the machine, first.", wxOK | wxICON_WARNING);
      event.Veto();
      return;
    }
  }
  closing = true;
  if (!shutdownMacroDone) RunShutdownMacro();
  AskMaintenance();
  WaitForIdle();
  timer1.Stop();
  maintenanceTimer.Stop();
  LogMessage(LOG_ALWAYS | 4, "ShutdownInOut()");
  AllOutputsOff();
  SaveGuiSettings();
  actState.SetVar(939, static_cast<double>(actState.stateFlags));
  actState.WriteVars();
  ParaFile& storage = GetParaFile(PF_STORAGE);
  maintenance::Save(storage, maint);
  storage.Write();
  LogMessage(LOG_ALWAYS | 4, "OnClose() files synced");
  dialogQueue->CancelAll();
  Destroy();
}
