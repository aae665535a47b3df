// The main window: the operator's view of the machine and the main cycle.
//
// Layout: a row of run controls on top; below it the program text on the
// left, the tool-path view in the centre and, on the right, the position
// display with offsets, tool, feed, spindle and overrides, the program
// progress, jogging and homing and the user macro buttons; the MDI line and
// the message list along the bottom; the status bar says which back end
// runs.
//
// Everything runs on the GUI thread. Commands go to the current back end of
// the connection (the machine, or the simulation while no machine is
// reached); the 40 ms main cycle (OnTimer1) reads the back end's status and
// the current machine state and serves what the interpreter asks for.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <wx/frame.h>
#include <wx/timer.h>

#include "app/maintenance.h"
#include "base/coordinates.h"

class AdaptJob;
class BackEnd;
class FrameHotkeyHost;
class Hotkeys;
class HPGL_Import;
class MachineConnection;
class MachineLink;
class MachineState;
class MacroParser;
class PreviewBuild;
class ProgramLoader;
class ProgramView;
class QueuedMessageList;
class QueuedOperator;
class Simulation;
class TextControl;
class ToolPathView;
class wxButton;
class wxCheckBox;
class wxChoice;
class wxComboBox;
class wxGauge;
class wxActivateEvent;
class wxKeyEvent;
class wxEventFilter;
class wxListCtrl;
class wxPanel;
class wxRadioButton;
class wxSlider;
class wxSpinCtrl;
class wxStaticText;
class wxTextCtrl;

class Quorvane2Frame : public wxFrame {
 public:
  // UI modes; other values belong to dialogs.
  enum UiMode : int32_t { UI_IDLE = 0, UI_JOGGING = 2, UI_DIRECT_MOVE = 3, UI_BLOCKING = 4, UI_HOMING = 5 };
  enum { ID_IMPORT_HPGL = wxID_HIGHEST + 1, ID_ADAPT, ID_HOTKEYS = wxID_HIGHEST + 23 };
  static constexpr int kTimer1Ms = 40;
  static constexpr int kMaintenanceMs = 1000;
  static constexpr int kUserMacros = 10;
  static constexpr int kMdiHistory = 30;

  // link: the hardware side (nullptr: a build without it). The connection is
  // made by InitMachine.
  Quorvane2Frame();
  explicit Quorvane2Frame(std::unique_ptr<MachineLink> link);
  ~Quorvane2Frame() override;

  // Connects to the machine or falls back to the simulation; starts the
  // timers. Called once by start-up after the window is shown.
  void InitMachine();

  // ---- program
  // Starts loading a part program in the background; false (message posted)
  // when another load is under way.
  bool LoadProgram(const std::string& path);
  bool IsLoading() const;
  void CancelLoad();
  // Shows the import dialog for an HPGL file and loads the written program.
  bool ImportHpgl(const std::string& hpglFile);
  // Adapts the loaded program to this control's dialect: the copy is written
  // beside the original (which stays as it is), the report shown and the
  // copy loaded. A load that fails with an error the adaptation repairs
  // offers the same ("Adapt program"). False when no program is loaded or
  // another load or adaptation runs.
  bool AdaptProgram();
  bool IsAdapting() const;
  using DialogRunner = std::function<int(HPGL_Import&)>;
  void SetDialogRunner(DialogRunner runner) { runDialog = std::move(runner); }

  // ---- operator commands (each logs "UserAction: ...")
  bool StartProgram();
  void StopProgram();
  void FeedHold();
  void FeedResume();
  void Abort();
  void SetSoftLimits(bool on);
  // The line the next start begins at (1 = from the top).
  void SetRunFromLine(int32_t line);
  int32_t RunFromLine() const { return runFromLine; }
  // Jogging: continuous (until JogStop) or one step of the selected size.
  // velocityMmPerS < 0: the selected jog speed.
  void JogStart(int axis, bool positive, double velocityMmPerS = -1);
  void JogStop();
  void JogStep(int axis, bool positive);
  void SetJogSpeedPreset(int index);
  void SetJogStepPreset(int index);
  void HomeAll();
  // Runs one MDI line (queued while the machine is busy); false when empty.
  bool SendMdi(const std::string& text);
  void RunUserMacro(int number);  // 1..kUserMacros
  void SelectWorkOffset(int index);  // 0 = G53, 1..6 = G54..G59
  void SetFeedOverride(double percent);
  void SetSpindleOverride(double percent);
  // Asks for homing when none was done since start-up; false when the start
  // must not go on (the operator chose to home now).
  bool CheckHoming();

  // ---- operator actions (keys, inputs, function buttons)
  Hotkeys& Keys() const { return *hotkeys; }
  // One operation of the action table (HotkeyHost::Op and its argument).
  void RunHotkeyOperation(int op, int arg);
  // A jog of one or two axes from a key or input: continuous, or one step
  // in step mode; velocity mm/s (0 = the fastest the axes allow).
  void StartHotkeyJog(int axis, bool positive, int axis2, bool positive2, double velocityMmPerS);
  // The jog speed selected, mm/s; 0 while "Jog rapid" is chosen.
  double SelectedJogSpeed() const;
  // The "Hotkey Configuration" dialog; saves the table when it is closed.
  void OpenHotkeyDialog();
  // Labels of the function buttons after their bindings changed.
  void RefreshFunctionButtons();
  wxButton* FunctionButton(int number) const;  // 1..kFunctionButtons
  // Saves the table to "Hotkeys.txt"; false when writing failed.
  bool SaveHotkeys();

  // ---- main cycle
  void OnTimer1(wxTimerEvent& event);
  // One cycle, as the timer runs it.
  void MainCycle();
  void OnMaintenanceTimer(wxTimerEvent& event);

  // ---- what the operator sees (tests read these)
  ProgramView* Program() const { return programView; }
  ToolPathView* PathView() const { return toolPathView; }
  // Range errors of the last preview (0 = none).
  int32_t PreviewRangeErrors() const { return rangeErrors; }
  double EstimatedSeconds() const { return estimatedSeconds; }
  wxListCtrl* Messages() const { return messageList; }
  std::vector<std::string> MessageLines() const;
  void AddMessage(const wxString& text);
  wxString PositionText(int axis, bool machine) const;
  wxString ProgressText() const;
  wxString FeedText() const;
  wxString SpindleText() const;
  wxString ToolText() const;
  wxString OffsetText() const;
  wxString StatusField(int field) const;
  // The traffic light's text ("READY", "RUNNING", "NOT HOMED", ...).
  wxString LightText() const;
  const std::string& ProgramFile() const { return programFile; }
  int32_t UiModeValue() const { return uiMode; }
  bool StartupMacroDone() const { return startupMacroDone; }
  bool ShutdownMacroDone() const { return shutdownMacroDone; }
  bool HomedSinceStart() const { return homedSinceStart; }
  bool JoggingEnabled() const { return jogEnabled; }
  double RememberedFeedOverride() const { return feedHoldOverride; }
  // The machine is busy, or MDI lines wait for their turn.
  bool IsRunning() const;
  MachineConnection& Connection() const { return *connection; }
  BackEnd& CurrentBackEnd() const;
  MachineState& CurrentState() const;
  const std::vector<std::string>& MdiHistory() const { return mdiHistory; }
  // Loading progress 0..1 and the last load's error text (empty = none).
  double LoadProgress() const;
  const std::string& LoadError() const { return loadError; }

  // Buttons by their function, for tests that press them.
  wxButton* StartButton() const { return startButton; }
  wxButton* StopButton() const { return stopButton; }
  wxButton* FeedHoldButton() const { return holdButton; }
  wxButton* ResumeButton() const { return resumeButton; }
  wxButton* UserMacroButton(int number) const;
  wxComboBox* MdiField() const { return mdiField; }

 private:
  // ---- construction
  void BuildMenus();
  wxPanel* BuildRunBar(wxWindow* parent);
  wxWindow* BuildSidePanel(wxWindow* parent);
  void BuildPositionBox(wxWindow* parent, wxSizer* into);
  void BuildProgressBox(wxWindow* parent, wxSizer* into);
  void BuildJogBox(wxWindow* parent, wxSizer* into);
  void BuildMdiBox(wxWindow* parent, wxSizer* into);
  void BuildMacroBox(wxWindow* parent, wxSizer* into);
  void BuildFunctionBox(wxWindow* parent, wxSizer* into);
  void InitHotkeys();
  void OnCharHook(wxKeyEvent& event);
  void OnActivate(wxActivateEvent& event);
  void ToggleMFunction(int number);
  void StepOverride(bool spindle, int direction);
  wxButton* JogButton(wxWindow* parent, const wxString& label, int axis, bool positive);
  void LoadGuiSettings();
  void SaveGuiSettings();

  // ---- main cycle steps
  void SuperviseConnection();
  void UpdateDisplays();
  void UpdateCoordValues();
  void UpdateOffset();
  void UpdateProgress();
  void FlushMessages();
  void ServeAskDialog();
  void ServePause();
  void StartQueuedMdi();
  void FollowRunState();
  void WatchProgramFile();
  void UpdateEstop();
  void UpdateTrafficLight();
  void UpdateControls();
  void FinishLoad();
  void FinishAdapt();
  void AllOutputsOff();
  void AskMaintenance();
  void WaitForIdle();

  // ---- helpers
  // A job posted to the back end that has not been seen to end.
  bool MachineBusy() const;
  // Runs a one-line text through the back end (macros, MDI, homing).
  bool ExecuteText(const std::string& text, const char* what);
  bool MacroExists(const std::string& name) const;
  void RunStartupMacro();
  void RunShutdownMacro();
  bool PrepareRunFrom(int32_t line, Coordinates& machinePos);
  bool RangeErrorAllowsStart();
  void ReportRunError(int32_t code, const std::string& report, bool markLine);
  void ShowStatus(const wxString& text);
  void LoadUserMacroIcons();
  void AddMdiHistory(const std::string& text);

  // ---- events
 public:
  // Key releases reach the window in focus, not the frame: the key filter
  // hands those of this window here. True when consumed.
  bool OnKeyUp(wxKeyEvent& event);

 private:
  void OnOpen(wxCommandEvent& event);
  void OnReload(wxCommandEvent& event);
  void OnImportHpgl(wxCommandEvent& event);
  void OnAdapt(wxCommandEvent& event);
  void OnExit(wxCommandEvent& event);
  void OnClose(wxCloseEvent& event);
  void OnMdiEnter(wxCommandEvent& event);

  // ---- the machine
  std::unique_ptr<QueuedOperator> dialogQueue;
  std::unique_ptr<QueuedMessageList> messageQueue;
  std::unique_ptr<MacroParser> parser;  // runs loaded programs on the back end
  std::unique_ptr<MachineConnection> connection;
  std::unique_ptr<ProgramLoader> loader;
  std::unique_ptr<PreviewBuild> preview;  // the build of the program being loaded
  std::unique_ptr<AdaptJob> adaptJob;
  std::unique_ptr<TextControl> shownText;  // the program the view shows
  std::unique_ptr<FrameHotkeyHost> hotkeyHost;
  std::unique_ptr<Hotkeys> hotkeys;
  std::unique_ptr<wxEventFilter> keyFilter;

  // ---- controls
  ProgramView* programView = nullptr;
  ToolPathView* toolPathView = nullptr;
  wxListCtrl* messageList = nullptr;
  wxButton* startButton = nullptr;
  wxButton* stopButton = nullptr;
  wxButton* holdButton = nullptr;
  wxButton* resumeButton = nullptr;
  wxButton* abortButton = nullptr;
  wxSpinCtrl* runFromField = nullptr;
  wxCheckBox* softLimitsBox = nullptr;
  wxStaticText* axisWork[kAxisCount] = {};
  wxStaticText* axisMachine[kAxisCount] = {};
  wxChoice* offsetChoice = nullptr;
  wxStaticText* toolLabel = nullptr;
  wxStaticText* feedLabel = nullptr;
  wxStaticText* spindleLabel = nullptr;
  wxSlider* feedSlider = nullptr;
  wxSlider* spindleSlider = nullptr;
  wxStaticText* feedOvrLabel = nullptr;
  wxStaticText* spindleOvrLabel = nullptr;
  wxGauge* progressGauge = nullptr;
  wxStaticText* progressLabel = nullptr;
  wxStaticText* elapsedLabel = nullptr;
  wxStaticText* estimatedLabel = nullptr;
  wxStaticText* lightLabel = nullptr;
  wxRadioButton* jogContinuous = nullptr;
  wxRadioButton* jogStepMode = nullptr;
  wxChoice* jogSpeedChoice = nullptr;
  wxChoice* jogStepChoice = nullptr;
  std::vector<wxButton*> jogButtons;
  wxButton* homeButton = nullptr;
  wxComboBox* mdiField = nullptr;
  wxButton* mdiSend = nullptr;
  std::vector<wxButton*> macroButtons;
  std::vector<wxButton*> functionButtons;
  wxTimer timer1;
  wxTimer maintenanceTimer;

  // ---- state of the main window
  int32_t uiMode = UI_IDLE;
  double feedHoldOverride = 0;  // percent; 0 = no feed hold
  bool startupMacroDone = false;
  bool shutdownMacroDone = false;
  bool homedSinceStart = false;
  bool jogEnabled = true;
  bool inTimer1 = false;
  bool closing = false;
  int jogSpeedIndex = 2;
  int jogStepIndex = 3;
  bool jogRapid = false;  // "Jog rapid": jogs at the fastest the axes allow
  bool thcOn = false;
  int32_t runFromLine = 1;
  // What was posted to the back end and is not yet seen finished.
  enum class Job { NONE, PROGRAM, TEXT, USER_MACRO, HOMING, JOG, MOVE };
  Job job = Job::NONE;
  std::string jobText;
  bool pendingRunFrom = false;  // the run starts when the direct move ends
  bool pausedShown = false;
  std::vector<std::string> mdiQueue;
  std::vector<std::string> mdiHistory;
  std::chrono::steady_clock::time_point runStart;
  double runSeconds = 0;
  double estimatedSeconds = 0;  // of the whole program; 0 = unknown
  int32_t lastCursor = 0;
  int32_t interruptedLine = 0;  // where the last run of this file stopped
  // Emergency stop.
  bool estopActive = false;
  bool deferredEstop = false;
  bool estopShown = false;
  int lightState = -1;  // 0 green, 1 yellow, 2 red
  // Offset display.
  int shownOffset = -1;
  int shownTrans = -1;
  int shownG43 = -1;
  // Program file.
  std::string programFile;
  std::string loadError;
  int32_t loadErrorCode = 0;  // of the last load's error, and its line
  int32_t loadErrorLine = 0;
  bool adaptAsked = false;  // the operator asked for the adaptation running
  int64_t programMTime = 0;
  int32_t rangeErrors = 0;
  std::string rangeQuestion;
  int lastShownAxes = 0;
  DialogRunner runDialog;
  MaintenanceCounters maint;
  int maintTicks = 0;
  bool startupAfterEstop = false;
};
