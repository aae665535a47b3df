#include "realmachine/realmachine.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <thread>

#include "base/logging.h"
#include "base/messagelist.h"
#include "interpreter/gcodeparser.h"
#include "io/iomapping.h"
#include "io/machineio.h"
#include "io/modulecontrol.h"
#include "interpreter/programrun.h"
#include "machine/machineconfig.h"
#include "machine/machinestate.h"
#include "machine/statechange.h"
#include "machine/transformation.h"
#include "params/parafile.h"
#include "program/errors.h"

namespace {
constexpr int32_t kLogMachine = LOGCAT_TRAJECTORY | 3;
constexpr int32_t kLogMachineInfo = LOGCAT_TRAJECTORY | 4;
constexpr int32_t kLogOutputs = LOGCAT_IN_OUTPUT | 3;
constexpr int32_t kLogAlways = LOG_ALWAYS | 4;
constexpr int32_t kErrNetwork = -1201;
// Bits cleared by a new run and by ClearBreak.
constexpr uint32_t kRunClearMask = RealMachine::kBreak | RealMachine::kPaused | RealMachine::kCompleted |
                                   RealMachine::kCompletedError | RealMachine::kBreakCaught |
                                   RealMachine::kDeferredBreak;  // 350
constexpr uint32_t kContinueClearMask = RealMachine::kBreak | RealMachine::kPaused | RealMachine::kCompletedError |
                                        RealMachine::kBreakCaught | RealMachine::kDeferredBreak;  // 342

}  // namespace

Coordinates RealMachine::ToProgram(MachineState& state, const Coordinates& m) {
  const Transformation* t = state.GetTransformation();
  return t ? t->ToProgram(m) : m;
}

RealMachine::RealMachine(GCodeParser* parser)
    : WorkerThread("Lookahead", kPriority), m_parser(parser), m_stream(*this), m_planner(m_stream) {
  SetMachineState(&actState);
}

RealMachine::~RealMachine() { StopThread(); }

void RealMachine::SetBits(uint32_t bits) { m_flags.fetch_or(bits, std::memory_order_acq_rel); }
void RealMachine::ClearBits(uint32_t bits) { m_flags.fetch_and(~bits, std::memory_order_acq_rel); }

bool RealMachine::Connect(ModuleLink* link, std::string& reason) {
  if (IsRunning() && HasBits(kBusy | kPaused)) {
    reason = "the machine is busy";
    return false;
  }
  LogMessage(kLogMachineInfo, "InitInOut OpenModule");
  m_stream.SetLink(link);
  m_stream.Channels().Load(&GetParaFile(PF_PARAMETER_TABLE));
  m_stream.Comp().Init(GetMachineConfig(), &GetParaFile(PF_SPINDLE_MAPPING));
  if (!link || !m_stream.Start(0)) {
    m_stream.SetLink(nullptr);
    reason = "the controller module does not answer";
    return false;
  }
  // A fresh module has forgotten the spindle override.
  link->SetSpindleOverride(m_spindleOverride);
  if (m_io) {
    m_io->SendModuleFunctions(GetMachineConfig().pwmFreq);
    ArmStopCondition();
  }
  // The program continues from where the machine stands.
  MachineState& act = *GetMachineState();
  act.progPos = ToProgram(act, m_stream.ActPos());
  return true;
}

void RealMachine::ArmStopCondition() {
  // Every limit switch that is mapped stops the motion, the emergency stop
  // as what it is.
  m_io->AddStopInput(SIG_IN_EMERGENCY_STOP, true, true);
  for (int axis = 0; axis < kAxisCount; ++axis) {
    m_io->AddStopInput(SIG_IN_LIMIT_MINUS + axis, true, false);
    m_io->AddStopInput(SIG_IN_LIMIT_PLUS + axis, true, false);
  }
  m_io->SetStopCondition();
}

void RealMachine::SetSafety(MachineIo* safety) {
  if (m_safety) {
    m_safety->SetClearOwner(nullptr);
    m_safety->SetReportSink(nullptr);
  }
  m_safety = safety;
  if (!m_safety) return;
  m_safety->SetClearOwner([this] { m_stream.ClearRequested(); });
  // One line per stop: the supervisor's report of a stop the machine has
  // already posted is dropped.
  m_safety->SetReportSink([this](const std::string& text) {
    if (text != m_postedStop) PostOperatorMessage(text);
    m_postedStop.clear();
  });
}

void RealMachine::Disconnect() {
  LogMessage(kLogMachineInfo, "ShutdownInOut()");
  m_stream.SetLink(nullptr);
}

// ---------------------------------------------------------------------------
// FrontEnd

void RealMachine::ClearBreak() { ClearBits(kBreak | kPaused | kCompletedError | kBreakCaught | kDeferredBreak); }

void RealMachine::HandleBreak() {
  LogMessage(kLogMachine, "HandleBreak m_state= %X", State());
  if (!HasBits(kBreak) || HasBits(kBreakCaught)) return;
  SetBits(kBreakCaught);
  if (m_stream.Link()) m_stream.Link()->StopMotion();
  m_planner.CatchBreak();
}

void RealMachine::EndProgram() {
  HandleBreak();
  m_planner.EndProgram(State());
}

void RealMachine::AddLine(const Coordinates& end, double feed, bool rapid, const Condition* until, bool noKnife) {
  m_planner.AddLine(end, feed, rapid, until, noKnife);
}

void RealMachine::AddArc(const Coordinates& end, const double centre[3], double feed, int32_t plane, bool clockwise) {
  m_planner.AddArc(end, centre, feed, plane, clockwise);
}

void RealMachine::SetOffsetPosition(const double position[3], bool flag) { m_planner.SetOffsetPosition(position, flag); }

void RealMachine::AddCmd(const StateChange& change) { m_planner.AddCmd(change); }

void RealMachine::WaitForMachine() {
  HandleBreak();
  m_planner.WaitForMachine();
  MachineState& act = *GetMachineState();
  act.progPos = ToProgram(act, m_stream.ActPos());
}

int32_t RealMachine::GetBackEndKind() { return BACKEND_MACHINE; }

void RealMachine::SetTag(int32_t tag) {
  m_tag = tag;
  m_planner.SetTag(tag);
}

void RealMachine::SetMaxRpm(double rpm) {
  m_toolMaxRpm = rpm;
  m_planner.SetMaxRpm(rpm);
}

void RealMachine::SetExecMode(int32_t mode) {
  m_execMode = mode;
  m_planner.SetExecMode(mode);
}

int32_t RealMachine::GetExecMode() { return m_execMode; }

void RealMachine::GetPosition(Coordinates& position) { position = m_stream.ActPos(); }

// ---------------------------------------------------------------------------
// BackEnd

int32_t RealMachine::CheckBreak(int32_t) {
  DispatchPending();
  const uint32_t s = State();
  if ((s & (kBreak | kTerminate)) && !(s & kBreakCaught) && m_execMode < 1) {
    LogMessage(kLogMachine, "Throw UserBreak m_state= %X", s);
    throw Error_t(ERR_USER_BREAK);
  }
  return static_cast<int32_t>(s);
}

void RealMachine::StartWorker() {
  StateChange::Init();
  StartThread();
}

void RealMachine::RunProgram() { Post(workcmd::Run()); }
void RealMachine::ExecuteText(const std::string& text) { Post(workcmd::Run(&text)); }
void RealMachine::Stop(bool flag) { Post(workcmd::Stop(flag)); }
void RealMachine::Continue() { Post(workcmd::Continue()); }
void RealMachine::StopJog() { Post(workcmd::StopJog()); }
void RealMachine::Synchronize() { Post(workcmd::Synchronize()); }
void RealMachine::SetChannel(int32_t channel, bool on) { Post(workcmd::SetChannel(channel, on)); }
void RealMachine::SetOutputInOrder(int32_t output, bool on) { Post(workcmd::SetOutputInOrder(output, on)); }
void RealMachine::SetChannelValue(int32_t channel, double value) { Post(workcmd::SetChannelValue(channel, value)); }
void RealMachine::SetFeedOverride(double percent) { Post(workcmd::FeedOverride(percent)); }
void RealMachine::SetSpindleOverride(double percent) { Post(workcmd::SpindleOverride(percent)); }

void RealMachine::PollIo() {
  if (Connected() && m_stream.Link()->Up()) Post(workcmd::PollIo());
}

bool RealMachine::GetSignal(int32_t signal) {
  if (m_io && m_io->Mapping().InputMapped(signal)) return m_io->GetInput(signal);
  // A plasma machine without an arc-good input judges the arc by its voltage.
  const MachineConfig& cfg = GetMachineConfig();
  if (signal == SIG_IN_ARC_OK && cfg.machineType == 5 && cfg.thcUseLimits) {
    const double volts = GetArcVoltage();
    return volts >= cfg.thcMinVolt && volts <= cfg.thcMaxVolt;
  }
  return false;
}

bool RealMachine::GetOutput(int32_t output) {
  if (m_io) return m_io->GetOutput(output);
  if (output < 0 || output >= 64) return false;
  return (m_outputs[output / 32].load(std::memory_order_relaxed) >> (output % 32)) & 1u;
}

void RealMachine::SetOutput(int32_t output, bool on, bool immediate) {
  // Switching goes through the link's owner, the worker.
  if (IsWorkerThread() || !IsRunning()) SwitchOutput(output, on, immediate);
  else Post(immediate ? workcmd::SetOutputInOrder(output, on) : workcmd::SetChannel(output, on));
}

double RealMachine::GetFeedOverride() { return m_feedOverride; }
double RealMachine::GetSpindleOverride() { return m_spindleOverride; }
double RealMachine::GetActualVelocity() { return 60.0 * m_stream.ActVelocity(); }

double RealMachine::GetSpindleSpeed() {
  if (!m_spindleOn) return 0;
  return m_spindleCw ? m_spindleRpm.load() : -m_spindleRpm.load();
}

int32_t RealMachine::GetCursor() {
  const int32_t line = m_stream.Line();
  LogMessage(LOGCAT_TRACE_BUFFER | 1, "GetCursor CurrLine=%d", line);
  return line;
}

int32_t RealMachine::GetRefNum() { return m_stream.ActRefNum() & 32767; }

int32_t RealMachine::CheckMachineReady() {
  // 2: the link does not stand.
  if (!Connected() || !m_stream.Link()->Up()) return 2;
  return 0;
}

int32_t RealMachine::GetStopReason() { return m_stopReason; }
bool RealMachine::HasError() { return m_errorPending; }
void RealMachine::ClearError() { m_errorPending = false; }
double RealMachine::TakeTravelledDistance() { return m_stream.TakeTravelled(); }

std::string RealMachine::LastErrorText() const {
  std::lock_guard<std::mutex> lock(m_textMutex);
  return m_lastErrorText;
}

// ---------------------------------------------------------------------------
// worker

bool RealMachine::IsWorkerBusy() const { return HasBits(kBusy); }
bool RealMachine::ShouldTerminate() const { return HasBits(kTerminate); }

void RealMachine::ExecuteCommand(const WorkCmdData& cmd) {
  switch (cmd.code) {
    case WCMD_RUN:
      RunCommand(cmd);
      break;
    case WCMD_STOP:
    case WCMD_STOP_JOG:
      StopCommand();
      break;
    case WCMD_CONTINUE:
      if (HasBits(kPaused)) {
        SetBits(kBusy);
        ClearBits(kContinueClearMask);
      }
      break;
    case WCMD_FEED_OVERRIDE:
      m_feedOverride = cmd.value1;
      if (HasBits(kBusy) && Connected()) m_planner.SetFeedOverride(cmd.value1);
      break;
    case WCMD_SPINDLE_OVERRIDE:
      ChangeSpindleOvr(cmd.value1);
      break;
    case WCMD_TERMINATE:
      SetBits(kTerminate);
      break;
    case WCMD_POLL_IO:
      if (Connected() && !HasBits(kBusy)) m_stream.DoPollIo(true);
      break;
    case WCMD_SET_CHANNEL:
      if (cmd.arg1 == kSpindleChannel) SetPwmPercent(cmd.value1, cmd.flag1);
      else SwitchOutput(cmd.arg1, cmd.flag1, false);
      break;
    case WCMD_SYNCHRONIZE:
      if (Connected()) {
        try {
          WaitForMachine();
        } catch (const Error_t& e) {
          LogMessage(kLogMachine, "Synchronize failed: %d", e.code);
        }
      }
      break;
    case WCMD_OUTPUT_IN_ORDER:
      SwitchOutput(cmd.arg1, cmd.flag1, true);
      break;
    case WCMD_JOG:
      JogCommand(cmd);
      break;
    case WCMD_MOVE_TO:
      MoveToCommand(cmd);
      break;
    case WCMD_HOME:
      ManualOperation("Home", [&] { ExecuteHome(cmd.arg1, cmd.flag1); });
      break;
    case WCMD_HANDWHEEL_JOG:
      HandwheelCommand(cmd);
      break;
    case WCMD_THC:
      // The operator switches it only while a program cuts.
      if (HasThcOption() && HasBits(kBusy) && Connected()) SetThcState(cmd.flag1);
      break;
    default:
      LogMessage(kLogMachine, "RealMachine command %d not available", cmd.code);
      break;
  }
}

void RealMachine::StopCommand() {
  if (m_execMode != kExecStd) LogMessage(kLogMachine, "StopJog/Prg != execStd");
  // A handwheel jog ends as it ends on the wheel's own stop: no break.
  if (HasBits(kHandwheel)) {
    StopHandwheel();
    return;
  }
  if (!HasBits(kBusy | kPaused)) return;
  LogMessage(kLogMachine, "StopJog/Prg stateBreak");
  SetBits(kBreak);
  ClearBits(kPaused);
}

void RealMachine::RunCommand(const WorkCmdData& cmd) {
  if (HasBits(kBusy | kPaused)) return;
  ClearBits(kRunClearMask);
  SetBits(kBusy);
  m_linkFault = LinkFault::NONE;
  m_stopReason = 0;
  m_homingFailed = false;
  const bool hasText = cmd.text != nullptr;
  const std::string text = hasText ? *cmd.text : std::string();
  if (!hasText) ReplyNow();
  LogMessage(kLogMachine, "RealMachine run %s", hasText ? "text" : "program");

  MachineState& act = *GetMachineState();
  const RunOutcome run = RunInterpreter(
      this, &act, m_parser, hasText ? &text : nullptr,
      [&] {
        if (!Connected()) throw Error_t(kErrNetwork);
        // The plan starts from the machine as it stands.
        m_planState = std::make_unique<MachineState>(act, ".plan");
        m_planner.SetMachineState(m_planState.get());
        m_planner.SetExecMode(m_execMode);
        m_stream.DoPollIo(true);
        m_planner.Start(m_stream.ActPos());
        m_planner.SetFeedOverride(m_feedOverride);
      },
      [this] { ReplyNow(); });
  const bool failed = run.failed;
  const int32_t code = run.code;
  const std::string& report = run.report;
  ReplyNow();
  m_stream.m_actVelocity = 0;
  // A run that ended without M47 must not leave the module moving Z.
  if (ThcOn() && Connected() && m_stream.Link()->Up()) SetThcState(false);
  WatchArc(false);
  if (m_safety) m_safety->EndMotion();
  if (failed && code == kErrNetwork) AfterLinkFailure();
  {
    std::lock_guard<std::mutex> lock(m_textMutex);
    // A failed homing tells its own reason.
    m_lastErrorText = !failed ? std::string() : m_homingFailed ? m_statusText : report;
  }
  // A failed homing is no break of the operator's.
  const int32_t lastCode = m_homingFailed ? ERR_MAIN_PROGRAM : code ? code : ERR_MAIN_PROGRAM;
  m_lastErrorCode.store(failed ? lastCode : 0, std::memory_order_release);
  ClearBits(kBusy | kBreakCaught);
  if (failed) SetBits(kCompletedError);
  if (!HasBits(kBreak)) SetBits(kCompleted);
  LogMessage(kLogMachine, "RealMachine run end m_state= %X error=%d", State(), failed ? code : 0);
  m_runsFinished.fetch_add(1, std::memory_order_acq_rel);
}

void RealMachine::AfterLinkFailure() {
  ModuleLink* link = m_stream.Link();
  if (link && link->Up()) return;
  LinkFault fault = LinkFault::LOST;
  // A module that answers again after its connection broke has restarted:
  // its buffer and the run are gone, the stream starts afresh.
  if (m_reopen) {
    ModuleLink* again = m_reopen();
    if (again) {
      m_stream.SetLink(again);
      if (m_stream.Start(m_stream.Line())) fault = LinkFault::RESTARTED;
    }
  }
  // Lost: the stream needs a new start (Connect) before it moves again.
  if (fault == LinkFault::LOST) m_stream.SetLink(nullptr);
  if (fault == LinkFault::RESTARTED) LogMessage(kLogAlways, "Module restarted during the run: connection opened again");
  else LogMessage(kLogAlways, "Connection to the module lost");
  m_linkFault = fault;
}

void RealMachine::ReportStop(int32_t reason) {
  if (m_stopReason == reason && HasBits(kBreak)) return;
  m_stopReason = reason;
  m_errorPending = true;
  SetBits(kBreak);
  // The outputs a stop must not leave on go off at once; a lost arc leaves
  // the torch's outputs to the program's stop handling.
  if (m_io && reason != ERR_ARC_GOOD_LOST) m_io->AllOutputsOff(false);
  const std::string text = ErrorText(Error_t(reason));
  LogMessage(kLogAlways, "Machine stopped: %s", text.c_str());
  // The operator reads why the machine stopped, whatever was running.
  PostOperatorMessage(text);
  m_postedStop = text;
}

void RealMachine::PauseRun(int32_t mCode) {
  LogMessage(kLogMachine, "Pause M%d line=%d", mCode, m_stream.Line());
  SetBits(kPaused);
  ClearBits(kBusy);
  while (HasBits(kPaused)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    CheckBreak(0);
    if (Connected()) {
      if (!m_stream.Link()->Up()) throw Error_t(kErrNetwork);
      m_stream.DoPollIo(true);
    }
  }
}

void RealMachine::SwitchOutput(int32_t output, bool on, bool immediate) {
  if (!Connected()) return;
  // In the stream the module switches it when it gets there.
  if (m_io) {
    m_io->SetOutput(output, on, immediate);
    return;
  }
  if (output < 0 || output >= 64) return;
  LogMessage(kLogOutputs, "SetOutput o=%d on=%d immediate=%d", output, on ? 1 : 0, immediate ? 1 : 0);
  uint16_t ref = 0;
  if (m_stream.Link()->SetSyncOutput(output, on, !immediate, ref)) {
    if (!immediate) m_stream.m_refNum = static_cast<int16_t>(ref);
    const uint32_t bit = 1u << (output % 32);
    if (on) m_outputs[output / 32].fetch_or(bit);
    else m_outputs[output / 32].fetch_and(~bit);
  }
}

void RealMachine::ChangeSpindleOvr(double rate) {
  // M51 holds the spindle at its programmed speed.
  if (GetMachineState()->GetFlag(16)) rate = 100;
  const double nomS = m_spindleRpm;  // rpm
  if (m_toolMaxRpm != 0 && nomS > 0 && m_toolMaxRpm < nomS * rate / 100) {
    rate = m_toolMaxRpm / nomS * 100;
    LogMessage(kLogMachineInfo, "ChangeSpindleOvr rate limited, toolMaxS=%f", m_toolMaxRpm);
  }
  rate = std::clamp(rate, 0.0, 150.0);
  if (rate == m_spindleOverride) return;
  m_spindleOverride = rate;
  LogMessage(kLogMachineInfo, "ChangeSpindleOvr rate=%f nomS=%f", rate, nomS);
  if (Connected()) m_stream.Link()->SetSpindleOverride(rate);
}

void RealMachine::SetPwmPercent(double percent, bool onTheFly) {
  if (!Connected()) return;
  const double duty = GetMachineConfig().invertPwm ? 100.0 - percent : percent;
  LogMessage(kLogOutputs, "  SetPwm = %f, onTheFly = %d", duty, onTheFly ? 1 : 0);
  uint16_t ref = 0;
  if (m_stream.Link()->SetPwm(duty, onTheFly, ref) && onTheFly) m_stream.m_refNum = static_cast<int16_t>(ref);
}
