// Operator commands of the main window: each logs "UserAction: " and its
// name and goes to the current back end.
#include <algorithm>
#include <cmath>
#include <cstdio>

#include <wx/button.h>
#include <wx/checkbox.h>
#include <wx/choice.h>
#include <wx/combobox.h>
#include <wx/filename.h>
#include <wx/gauge.h>
#include <wx/menu.h>
#include <wx/stattext.h>
#include <wx/msgdlg.h>
#include <wx/spinctrl.h>
#include <wx/settings.h>
#include <wx/utils.h>

#include "app/dialoghost.h"
#include "app/machineconnection.h"
#include "app/mainframe.h"
#include "app/programload.h"
#include "app/programview.h"
#include "app/toolpathview.h"
#include "base/folders.h"
#include "base/logging.h"
#include "interpreter/macroparser.h"
#include "interpreter/programadapter.h"
#include "machine/machineconfig.h"
#include "machine/machinestate.h"
#include "machine/transformation.h"
#include "motion/fastforward.h"
#include "preview/previewbuilder.h"
#include "program/textcontrol.h"
#include "simulation/simulation.h"

namespace {
constexpr int32_t LOG_USER_ACTION = LOGCAT_USER_ACTIONS | 3;
constexpr int32_t LOG_FRAME = LOGCAT_USER_ACTIONS | 4;
}  // namespace

bool Quorvane2Frame::LoadProgram(const std::string& path) {
  LogMessage(LOG_FRAME, "LoadProgram %s", path.c_str());
  if (IsRunning()) {
    AddMessage("Please stop the machine, first.");
    return false;
  }
  if (IsLoading()) {
    AddMessage("A program is being loaded; cancel it first.");
    return false;
  }
  if (adaptJob->Poll() == AdaptJob::State::WRITING) {
    AddMessage("A program is being adapted; please wait.");
    return false;
  }
  // An adaptation offered for the program before is no longer asked; its
  // check in memory (fast) is waited for, not a reason to refuse the load.
  adaptJob->Reset();
  if (!wxFileName::FileExists(wxString::FromUTF8(path))) {
    AddMessage(wxString::Format("Could not open file %s", wxString::FromUTF8(path)));
    return false;
  }
  // Two threads: the text for the view and the run, and the preview with
  // the soft-limit check, which starts from the state the run will have.
  loader->Start(path, parser.get());
  PreviewSettings settings;
  settings.state = &CurrentState();
  preview = std::make_unique<PreviewBuild>(path, settings);
  preview->Start();
  loadError.clear();
  loadErrorCode = loadErrorLine = 0;
  ShowStatus("Loading");
  progressLabel->SetLabel(wxString::Format("Loading %s", wxFileName(wxString::FromUTF8(path)).GetFullName()));
  UpdateControls();
  // The main cycle picks up the result; before the machine is initialised
  // the timer is not running yet.
  if (!timer1.IsRunning()) timer1.Start(kTimer1Ms);
  return true;
}

bool Quorvane2Frame::IsLoading() const { return loader->Busy() || (preview && !preview->Finished()); }

double Quorvane2Frame::LoadProgress() const {
  // Reading the text is quick; the preview's lines make up the rest.
  return 0.1 * loader->Progress() + 0.9 * (preview ? preview->Fraction() : 0.0);
}

void Quorvane2Frame::CancelLoad() {
  LogMessage(LOG_USER_ACTION, "UserAction: CancelLoad");
  loader->Cancel();
  if (preview) preview->Cancel();
}

namespace {
// "... line L column C" at the end of a report; false when it has none.
bool ReportPosition(const std::string& report, int32_t& line, int32_t& column) {
  const size_t at = report.rfind(" line ");
  return at != std::string::npos && std::sscanf(report.c_str() + at, " line %d column %d", &line, &column) == 2;
}
}  // namespace

// Takes over a finished load: the text into the view, the path into the
// tool-path view, the preview's verdict into the message list.
void Quorvane2Frame::FinishLoad() {
  if (IsLoading() || (loader->Poll() == ProgramLoader::State::IDLE && !preview)) return;
  const std::string path = loader->Path();
  const ProgramLoader::State state = loader->Poll();
  const PreviewResult result = preview ? preview->Result() : PreviewResult();
  if (state == ProgramLoader::State::FAILED || !result.loaded) {
    loadError = state == ProgramLoader::State::FAILED ? loader->Error() : "Could not open file " + path;
    AddMessage(wxString::FromUTF8(loadError));
  } else if (state == ProgramLoader::State::CANCELLED || result.cancelled) {
    // The interpreter may hold half of the new file: nothing is loaded.
    loadError = "Loading cancelled";
    AddMessage(wxString::FromUTF8(loadError));
    programFile.clear();
    programView->SetText(nullptr, 0, 0);
    shownText.reset();
    toolPathView->SetToolPath(std::shared_ptr<const ToolPath>());
    SetStatusText(wxString(), 3);
    progressLabel->SetLabel("No program loaded");
  } else {
    std::unique_ptr<TextControl> text = loader->TakeText();
    programView->SetText(text.get(), 1, loader->LineCount());
    shownText = std::move(text);
    toolPathView->SetToolPath(preview->Path());
    programFile = path;
    wxFileName fn(wxString::FromUTF8(path));
    programMTime = fn.GetModificationTime().IsValid() ? fn.GetModificationTime().GetTicks() : 0;
    SetTitle(wxString::Format("Quorvane - %s", fn.GetFullName()));
    SetStatusText(wxString::FromUTF8(path), 3);
    LogMessage(LOG_FRAME, "File loaded: %s", path.c_str());
    runFromLine = 1;
    runFromField->SetValue(1);
    interruptedLine = 0;
    lastCursor = 0;
    rangeErrors = result.rangeErrorCount;
    rangeQuestion = result.HasRangeErrors() ? result.RangeQuestion() : std::string();
    estimatedSeconds = preview->Path() ? preview->Path()->EstimatedSeconds() : 0;
    runSeconds = 0;
    progressGauge->SetValue(0);
    progressLabel->SetLabel(wxString::Format("Line %d/%d = %1.2f%%", 0, programView->LineCount(), 0.0));
    if (result.HasRangeErrors()) {
      AddMessage(wxString::FromUTF8(result.RangeReport()));
    } else if (result.Failed()) {
      // Shown where it is; the program stays loaded so that it can be read.
      loadError = result.errorReport;
      loadErrorCode = result.errorCode;
      AddMessage(wxString::FromUTF8(result.errorReport));
    }
    int32_t line = 0, column = 0;
    if ((result.HasRangeErrors() || result.Failed()) && ReportPosition(result.errorReport, line, column)) {
      if (result.Failed()) loadErrorLine = line;
      // The mark runs over the word that begins at the column.
      const wxString lineText = programView->LineText(line);
      int32_t end = column;
      while (end < static_cast<int32_t>(lineText.length()) && !wxIsspace(lineText[end])) ++end;
      programView->SetErrorMark(line, column, end - column);
    }
  }
  loader->Reset();
  preview.reset();
  ShowStatus("Idle");
  // Programs from CAM systems often fail on another control's dialect:
  // whether adapting it repairs the error is found out in the background,
  // and only then offered.
  if (loadErrorCode != 0 && !programFile.empty() && ProgramAdapter::MayRepair(loadErrorCode)) {
    adaptAsked = false;
    adaptJob->Start(programFile, AdaptSettingsOf(GetMachineConfig()));
  }
  UpdateControls();
}

bool Quorvane2Frame::IsAdapting() const { return adaptJob->Poll() != AdaptJob::State::IDLE; }

bool Quorvane2Frame::AdaptProgram() {
  LogMessage(LOG_USER_ACTION, "UserAction: AdaptProgram");
  if (programFile.empty() || IsLoading() || IsRunning() || adaptJob->Busy()) return false;
  adaptJob->Reset();
  adaptAsked = true;
  adaptJob->Start(programFile, AdaptSettingsOf(GetMachineConfig()));
  ShowStatus("Adapting");
  UpdateControls();
  return true;
}

namespace {
// The report as the operator reads it: the first lines, and how many more.
std::string ReportText(const AdaptReport& report) {
  constexpr size_t kShown = 20;
  const std::vector<std::string> lines = report.Text();
  std::string text;
  for (size_t i = 0; i < lines.size() && i < kShown; ++i) text += lines[i] + "\n";
  if (lines.size() > kShown) text += "... and " + std::to_string(lines.size() - kShown) + " more in the message list\n";
  return text;
}
}  // namespace

// Follows an adaptation: offers it for a failed load when it repairs the
// error, writes the copy once the operator agrees, then shows the report and
// loads the copy.
void Quorvane2Frame::FinishAdapt() {
  const AdaptJob::State state = adaptJob->Poll();
  if (state != AdaptJob::State::ADAPTED && state != AdaptJob::State::WRITTEN) return;
  // A window on its way out asks nothing more.
  if (closing || IsBeingDeleted()) return adaptJob->Reset();
  const AdaptJob::Outcome& o = adaptJob->Result();
  auto done = [this] {
    adaptJob->Reset();
    ShowStatus("Idle");
    UpdateControls();
  };
  if (state == AdaptJob::State::ADAPTED) {
    if (!adaptAsked) {
      if (!o.read || adaptJob->Path() != programFile || !o.report.Repairs(loadErrorCode, loadErrorLine))
        return done();
      LogMessage(LOG_FRAME, "Adapt program offered for %s", programFile.c_str());
      const int choice = DialogHost::Choose(
          this, "Program error",
          loadError + "\n\nThe program seems to be written for another control's G-code dialect. "
                      "\"Adapt program\" writes a copy in this control's dialect beside the original, "
                      "which stays as it is, and loads the copy.",
          {"Adapt program", "Keep as is"});
      if (choice != 0) return done();
      LogMessage(LOG_USER_ACTION, "UserAction: AdaptProgram");
      adaptAsked = true;
    }
    if (!o.read) {
      AddMessage(wxString::FromUTF8(o.error));
      return done();
    }
    if (o.report.Refused()) {
      for (const std::string& line : o.report.Text()) AddMessage(wxString::FromUTF8(line));
      DialogHost::Message(this, "Adapt program", "The program cannot be adapted:\n" + ReportText(o.report),
                          wxOK | wxICON_WARNING);
      return done();
    }
    if (!o.report.Changed()) {
      DialogHost::Message(this, "Adapt program",
                          "Nothing to adapt: the program is written in this control's dialect already.",
                          wxOK | wxICON_INFORMATION);
      return done();
    }
    adaptJob->WriteCopy();
    return;
  }
  if (o.copy.empty()) {
    AddMessage(wxString::FromUTF8(o.error));
    DialogHost::Message(this, "Adapt program", o.error, wxOK | wxICON_ERROR);
    return done();
  }
  const std::string copy = o.copy;
  AddMessage(wxString::FromUTF8("Adapted copy: " + copy));
  for (const std::string& line : o.report.Text()) AddMessage(wxString::FromUTF8("  " + line));
  DialogHost::Message(this, "Adapt program",
                      "The adapted copy is saved beside the original, which stays as it is:\n" + copy +
                          "\nIt is loaded now.\n\n" + ReportText(o.report),
                      wxOK | wxICON_INFORMATION);
  done();
  LoadProgram(copy);
}

// ---------------------------------------------------------------------------

bool Quorvane2Frame::CheckHoming() {
  LogMessage(LOG_FRAME, "CheckHoming enter");
  if (homedSinceStart) return true;
  LogMessage(LOG_FRAME, "CheckHoming show dialog");
  const int choice = DialogHost::Choose(
      this, "Homing recommended",
      "No homing procedure has been performed yet\nContinuing without could cause inaccurate\npositioning or "
      "collisions. Do you wish to\nperform the homing procedure now?",
      {"Home now", "No homing"});
  if (choice == 0) {
    HomeAll();
    return false;
  }
  return choice == 1;
}

bool Quorvane2Frame::RangeErrorAllowsStart() {
  if (rangeErrors <= 0) return true;
  return DialogHost::Message(this, "Range Error", rangeQuestion, wxYES_NO | wxNO_DEFAULT | wxICON_WARNING) == wxID_YES;
}

bool Quorvane2Frame::PrepareRunFrom(int32_t line, Coordinates& machinePos) {
  // Runs the program up to the line before the chosen one through a stage
  // that moves nothing: the modal state and the position there are known.
  FastForward ff(nullptr);
  MacroParser prep(&ff, &CurrentState());
  ff.SetMachineState(&prep.State());
  if (prep.NewMainFile(programFile) == 0) return false;
  const int32_t state = prep.ExecuteProgram(false, 0, "%", 0, line - 1, false);
  prep.LogRunFromState(line);
  if (state == RUN_ERROR) {
    ReportRunError(prep.errorCode, prep.ErrorReportText(), true);
    return false;
  }
  parser->RestoreRunFromState(prep);
  ff.GetPosition(machinePos);
  return true;
}

bool Quorvane2Frame::StartProgram() {
  LogMessage(LOG_USER_ACTION, "UserAction: StartButton");
  if (IsLoading() || adaptJob->Busy() || estopActive) return false;
  if (programFile.empty()) {
    AddMessage("No program loaded");
    return false;
  }
  if (IsRunning() || uiMode != UI_IDLE) return false;
  // No user accounts: whoever operates may run.
  if (!CheckHoming()) return false;
  if (!RangeErrorAllowsStart()) return false;
  int32_t from = runFromLine;
  if (from <= 1 && interruptedLine > 1) {
    char text[200];
    std::snprintf(text, sizeof text,
                  "The program was interrupted at line %d.\nDo you want to resume the program from that line?",
                  interruptedLine);
    const int rc = DialogHost::Message(this, "Resume Program", text, wxYES_NO | wxCANCEL | wxICON_QUESTION);
    if (rc == wxID_CANCEL) return false;
    if (rc == wxID_YES) from = interruptedLine;
  }
  // The interpreter starts from the top of the program with a fresh copy of
  // the state it runs on.
  parser->Rewind();
  parser->SetFrontEnd(dynamic_cast<FrontEnd*>(&CurrentBackEnd()));
  parser->SetMachineState(&CurrentState());
  parser->runFromLine = 0;
  Coordinates resumeAt;
  if (from > 1) {
    wxBusyCursor busy;
    if (!PrepareRunFrom(from, resumeAt)) return false;
    parser->runFromLine = from;
  }
  LogMessage(LOG_FRAME, "ResetCursor: runFrom=%d currLine=%d", from, CurrentState().GetCurrLine());
  programView->ClearErrorMark();
  programView->SetCurrentLine(from > 1 ? from : 0, true);
  toolPathView->ClearProgress();
  interruptedLine = 0;
  runStart = std::chrono::steady_clock::now();
  runSeconds = 0;
  lastCursor = 0;
  if (from > 1) {
    // First to where the program stands at that line, then the run.
    pendingRunFrom = true;
    uiMode = UI_DIRECT_MOVE;
    job = Job::MOVE;
    CurrentBackEnd().MoveTo(resumeAt, 0, 0, true);
  } else {
    job = Job::PROGRAM;
    CurrentBackEnd().RunProgram();
  }
  timer1.Start(kTimer1Ms);
  jogEnabled = false;
  ShowStatus("Running");
  UpdateControls();
  return true;
}

void Quorvane2Frame::StopProgram() {
  LogMessage(LOG_USER_ACTION, "UserAction: StopButton");
  mdiQueue.clear();
  pendingRunFrom = false;
  if (IsRunning()) {
    CurrentBackEnd().Stop(false);
    ShowStatus("Stopped");
  }
  if (job == Job::USER_MACRO) LogMessage(LOG_FRAME, "UserMacro stopped");
}

void Quorvane2Frame::FeedHold() {
  LogMessage(LOG_USER_ACTION, "UserAction: FeedHold");
  if (uiMode == UI_JOGGING || uiMode == UI_DIRECT_MOVE) return;
  const double current = CurrentBackEnd().GetFeedOverride();
  if (current <= 0) return;
  feedHoldOverride = current;
  CurrentBackEnd().SetFeedOverride(0);
  UpdateControls();
}

void Quorvane2Frame::FeedResume() {
  LogMessage(LOG_USER_ACTION, "UserAction: FeedResume");
  if (feedHoldOverride <= 0) return;
  CurrentBackEnd().SetFeedOverride(feedHoldOverride);
  feedHoldOverride = 0;
  UpdateControls();
}

void Quorvane2Frame::Abort() {
  LogMessage(LOG_USER_ACTION, "UserAction: Abort (ESC)");
  if (uiMode != UI_JOGGING && uiMode != UI_DIRECT_MOVE) return;
  CurrentBackEnd().StopJog();
  pendingRunFrom = false;
  uiMode = UI_IDLE;
  UpdateControls();
}

void Quorvane2Frame::SetSoftLimits(bool on) {
  LogMessage(LOG_USER_ACTION, "UserAction: SoftLimits");
  actState.SetSoftLimitsEnabled(on);
  if (&CurrentState() != &actState) CurrentState().SetSoftLimitsEnabled(on);
  if (softLimitsBox->GetValue() != on) softLimitsBox->SetValue(on);
}

void Quorvane2Frame::SetRunFromLine(int32_t line) {
  LogMessage(LOG_USER_ACTION, "UserAction: RunFromLine %d", line);
  const int32_t last = std::max(1, programView->LineCount());
  runFromLine = std::clamp(line, 1, last);
  runFromField->SetValue(runFromLine);
  programView->SetSelectedLine(runFromLine > 1 ? runFromLine : 0);
}

void Quorvane2Frame::SetJogSpeedPreset(int index) {
  jogRapid = false;
  jogSpeedIndex = std::clamp(index, 0, kJogPresets - 1);
  jogSpeedChoice->SetSelection(jogSpeedIndex);
}

void Quorvane2Frame::SetJogStepPreset(int index) {
  jogStepIndex = std::clamp(index, 0, kJogPresets - 1);
  jogStepChoice->SetSelection(jogStepIndex);
}

void Quorvane2Frame::JogStart(int axis, bool positive, double velocityMmPerS) {
  LogMessage(LOG_USER_ACTION, "UserAction: Jog axis=%d dir=%d", axis, positive ? 1 : 0);
  if (estopActive || !jogEnabled || IsRunning() || uiMode != UI_IDLE) return;
  uiMode = UI_JOGGING;
  job = Job::JOG;
  CurrentBackEnd().Jog(axis, positive, 0, velocityMmPerS >= 0 ? velocityMmPerS : SelectedJogSpeed(), false);
  UpdateControls();
}

void Quorvane2Frame::JogStop() {
  if (uiMode != UI_JOGGING) return;
  LogMessage(LOG_USER_ACTION, "UserAction: JogStop");
  CurrentBackEnd().StopJog();
}

void Quorvane2Frame::JogStep(int axis, bool positive) {
  LogMessage(LOG_USER_ACTION, "UserAction: JogStep axis=%d dir=%d", axis, positive ? 1 : 0);
  if (!jogEnabled || IsRunning() || uiMode != UI_IDLE) return;
  const MachineConfig& cfg = GetMachineConfig();
  uiMode = UI_JOGGING;
  job = Job::JOG;
  CurrentBackEnd().Jog(axis, positive, cfg.jogStep[jogStepIndex], SelectedJogSpeed(), false);
  UpdateControls();
}

void Quorvane2Frame::HomeAll() {
  LogMessage(LOG_USER_ACTION, "UserAction: Home all");
  if (IsRunning() || uiMode != UI_IDLE) return;
  if (!ExecuteText("G74", "Homing")) return;
  job = Job::HOMING;
  uiMode = UI_HOMING;
  jogEnabled = false;
  UpdateControls();
}

void Quorvane2Frame::AddMdiHistory(const std::string& text) {
  mdiHistory.erase(std::remove(mdiHistory.begin(), mdiHistory.end(), text), mdiHistory.end());
  mdiHistory.insert(mdiHistory.begin(), text);
  if (mdiHistory.size() > static_cast<size_t>(kMdiHistory)) mdiHistory.resize(kMdiHistory);
  mdiField->Clear();
  for (const std::string& line : mdiHistory) mdiField->Append(wxString::FromUTF8(line));
}

bool Quorvane2Frame::SendMdi(const std::string& raw) {
  std::string text = raw;
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.pop_back();
  size_t start = text.find_first_not_of(" \t");
  if (start == std::string::npos) return false;
  text = text.substr(start);
  LogMessage(LOG_USER_ACTION, "UserAction: MDI %s", text.c_str());
  AddMdiHistory(text);
  if (uiMode != UI_IDLE && uiMode != UI_HOMING) return false;
  // While the machine is busy the line waits for its turn.
  if (IsRunning()) {
    mdiQueue.push_back(text);
    return true;
  }
  return ExecuteText(text, "MDI");
}

void Quorvane2Frame::RunUserMacro(int number) {
  LogMessage(LOG_USER_ACTION, "UserAction: invoke UserMacro #%d", number);
  if (IsRunning() || uiMode != UI_IDLE) return;
  char text[40];
  std::snprintf(text, sizeof text, "CALL \"User%02d.txt\"", number);
  if (ExecuteText(text, "UserMacro")) {
    job = Job::USER_MACRO;
    jogEnabled = false;
  }
}

void Quorvane2Frame::SelectWorkOffset(int index) {
  LogMessage(LOG_USER_ACTION, "UserAction: CoordMode/Offset %d", index);
  if (index < 0 || index > 6) return;
  if (IsRunning()) {
    offsetChoice->SetSelection(shownOffset >= 0 ? shownOffset : 1);
    return;
  }
  // Through the interpreter, so that the state, #909 and the position
  // read-back all follow as in a program.
  ExecuteText(index == 0 ? "G53" : "G" + std::to_string(53 + index), "Offset");
}

void Quorvane2Frame::SetFeedOverride(double percent) {
  LogMessage(LOG_USER_ACTION, "UserAction: FeedOverride %0.0f", percent);
  if (feedHoldOverride > 0) {
    // Moving the slider during a hold chooses the value to resume with.
    feedHoldOverride = std::max(1.0, percent);
    return;
  }
  CurrentBackEnd().SetFeedOverride(percent);
}

void Quorvane2Frame::SetSpindleOverride(double percent) {
  LogMessage(LOG_USER_ACTION, "UserAction: SpindleOverride %0.0f", percent);
  CurrentBackEnd().SetSpindleOverride(percent);
}

bool Quorvane2Frame::MacroExists(const std::string& name) const {
  return wxFileName::FileExists(wxString::FromUTF8(Folders::Join(Folders::Macros(), name)));
}

bool Quorvane2Frame::ExecuteText(const std::string& text, const char* what) {
  if (MachineBusy()) return false;
  LogMessage(LOG_FRAME, "%s ExecuteText %s", what, text.c_str());
  jobText = text;
  job = Job::TEXT;
  CurrentBackEnd().ExecuteText(text);
  timer1.Start(kTimer1Ms);
  UpdateControls();
  return true;
}

void Quorvane2Frame::RunStartupMacro() {
  if (startupMacroDone) return;
  if (!MacroExists("Startup.txt")) {
    startupMacroDone = true;
    LogMessage(LOG_FRAME, "Startup macro: no Startup.txt");
    return;
  }
  // A busy machine takes it later: the main cycle asks again when idle.
  if (ExecuteText("CALL \"Startup.txt\"", "Startup")) startupMacroDone = true;
}

void Quorvane2Frame::RunShutdownMacro() {
  if (shutdownMacroDone) return;
  shutdownMacroDone = true;
  if (!MacroExists("Shutdown.txt")) {
    LogMessage(LOG_FRAME, "Shutdown macro: no Shutdown.txt");
    return;
  }
  ExecuteText("CALL \"Shutdown.txt\"", "Shutdown");
}

void Quorvane2Frame::ReportRunError(int32_t code, const std::string& report, bool markLine) {
  if (code == 0) return;
  const bool stop = code == -100 || code == -107;
  if (markLine && !stop && parser->errorLine > 0) {
    programView->SetErrorMark(parser->errorLine, parser->errorTokenColumn,
                              parser->errorColumn - parser->errorTokenColumn);
  }
  if (stop && markLine) {
    AddMessage(wxString::FromUTF8(OperatorMessage(code, parser->errorLine, parser->errorTokenColumn)));
    return;
  }
  AddMessage(wxString::FromUTF8(report));
}

void Quorvane2Frame::UpdateControls() {
  const bool loading = IsLoading();
  const bool running = IsRunning();
  const bool idle = !running && uiMode == UI_IDLE && !loading;
  // The coloured buttons show their state by colour as well: GTK does not
  // grey a label whose colour was set.
  auto colourButton = [](wxButton* b, bool on, const wxColour& colour) {
    if (b->IsThisEnabled() == on && b->GetForegroundColour() != wxNullColour) return;
    b->Enable(on);
    b->SetForegroundColour(on ? colour : wxSystemSettings::GetColour(wxSYS_COLOUR_GRAYTEXT));
  };
  colourButton(startButton, idle && !estopActive && !programFile.empty(), wxColour(0, 120, 0));
  colourButton(stopButton, running || uiMode != UI_IDLE, wxColour(190, 0, 0));
  colourButton(holdButton, running && feedHoldOverride <= 0 && uiMode != UI_JOGGING && uiMode != UI_DIRECT_MOVE,
               wxColour(170, 110, 0));
  resumeButton->Enable(feedHoldOverride > 0);
  abortButton->Enable(uiMode == UI_JOGGING || uiMode == UI_DIRECT_MOVE);
  const bool canJog = idle && jogEnabled;
  for (wxButton* b : jogButtons) b->Enable(canJog || uiMode == UI_JOGGING);
  homeButton->Enable(canJog);
  for (wxButton* b : macroButtons) b->Enable(idle);
  offsetChoice->Enable(idle);
  runFromField->Enable(idle);
  GetMenuBar()->Enable(wxID_OPEN, !running && !loading);
  GetMenuBar()->Enable(wxID_REFRESH, !running && !loading && !programFile.empty());
  GetMenuBar()->Enable(ID_ADAPT, !running && !loading && !programFile.empty() && !adaptJob->Busy());
}
