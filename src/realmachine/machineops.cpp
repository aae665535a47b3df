// The machine operations outside a program: jog, move to, homing, and the
// moves that end when an input fires. They run on the worker like a
// program run: the planner's point-to-point move streamed to the module.
#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdint>
#include <thread>

#include "base/logging.h"
#include "io/iomapping.h"
#include "io/machineio.h"
#include "io/modulecontrol.h"
#include "machine/machineconfig.h"
#include "machine/machinestate.h"
#include "machine/transformation.h"
#include "motion/motionlimits.h"
#include "program/errors.h"
#include "realmachine/realmachine.h"

namespace {
constexpr int32_t kLogOps = LOGCAT_TRAJECTORY | 3;
constexpr int32_t kLogOpsInfo = LOGCAT_TRAJECTORY | 4;
constexpr int32_t kLogOpsAlways = LOG_ALWAYS | 4;
constexpr int32_t kErrNetwork = -1201;
constexpr int32_t kErrKeepout = -1062;
constexpr uint32_t kOpClearMask = RealMachine::kBreak | RealMachine::kPaused | RealMachine::kCompleted |
                                  RealMachine::kCompletedError | RealMachine::kBreakCaught |
                                  RealMachine::kDeferredBreak;

// Homing orders: the axes in the order they are homed. Order 4 is order 0
// with X and Y homed together.
constexpr int kHomingOrders[5][kAxisCount] = {
    {2, 0, 1, 3, 4, 5, 6, 7, 8},  // 0: Z first (the tool up), then X, Y
    {0, 1, 2, 3, 4, 5, 6, 7, 8},  // 1: X, Y, Z
    {2, 1, 0, 3, 4, 5, 6, 7, 8},  // 2: Z, Y, X
    {1, 0, 2, 3, 4, 5, 6, 7, 8},  // 3: Y, X, Z
    {2, 0, 1, 3, 4, 5, 6, 7, 8},  // 4: Z, then X and Y together
};

// Odd switch modes home towards the negative end, even ones towards the
// positive end; 0 is an axis without a home switch.
int HomeDirection(int mode) { return mode % 2 == 1 ? -1 : 1; }

// Where the machine is after homing: the end of the travel for modes 1 and
// 2, the configured home position for the others (the simulation agrees).
double HomeTarget(int axis) {
  Coordinates p;
  return HomedPosition(p, 1u << axis).v[axis];
}

bool HomeCandidate(int axis) {
  return GetAxisAssignment().IsEnabled(axis) && GetMachineConfig().axis[axis].homeSwitchMode != 0;
}
}  // namespace

void RealMachine::Jog(int32_t axis, bool positive, double step, double velocity, bool flag) {
  Post(workcmd::Jog(axis, positive, step, velocity, flag));
}

void RealMachine::JogTwoAxes(int32_t axis, bool positive, int32_t axis2, bool positive2, double step, double velocity,
                             bool flag) {
  Post(workcmd::JogTwoAxes(axis, positive, axis2, positive2, step, velocity, flag));
}

void RealMachine::MoveTo(const Coordinates& target, double value2, double velocity, bool direct) {
  Post(workcmd::MoveTo(target, value2, velocity, direct));
}

void RealMachine::Home(int32_t axes) { Post(workcmd::Home(axes)); }

std::string RealMachine::StatusText() const {
  std::lock_guard<std::mutex> lock(m_textMutex);
  return m_statusText;
}

void RealMachine::SetStatusText(const std::string& text) {
  LogMessage(kLogOpsInfo, "Status: %s", text.c_str());
  std::lock_guard<std::mutex> lock(m_textMutex);
  m_statusText = text;
}

void RealMachine::StartPlanner() {
  MachineState& act = *GetMachineState();
  m_planState = std::make_unique<MachineState>(act, ".plan");
  m_planner.SetMachineState(m_planState.get());
  m_planner.SetExecMode(m_execMode);
  m_stream.DoPollIo(true);
  m_planner.Start(m_stream.ActPos());
}

void RealMachine::ManualOperation(const char* name, const std::function<void()>& body) {
  if (HasBits(kBusy | kPaused)) return;
  if (!Connected()) {
    LogMessage(kLogOps, "%s: no machine", name);
    return;
  }
  ClearBits(kOpClearMask);
  SetBits(kBusy);
  m_stopReason = 0;
  m_homingFailed = false;
  // The operator interface does not wait for the motion.
  ReplyNow();
  int32_t code = 0;
  try {
    StartPlanner();
    m_stream.BeginMotion();
    body();
  } catch (const Error_t& e) {
    code = e.code;
  }
  m_allowOpenDoor = false;
  if (code != 0) {
    LogMessage(kLogOps, "%s ended error=%d", name, code);
    HandleBreak();
    try {
      // The module stops and forgets what it still holds.
      m_stream.InternalWaitStop(true);
    } catch (const Error_t& e) {
      LogMessage(kLogOps, "%s: stop wait failed %d", name, e.code);
    }
    if (code == kErrNetwork || (m_stream.Link() && !m_stream.Link()->Up())) AfterLinkFailure();
  }
  m_stream.SetProbing(false);
  if (m_io && m_stream.Link()) m_stream.DisarmInput();
  m_stream.m_actVelocity = 0;
  if (m_safety) m_safety->EndMotion();
  // A stop the module reported is the reason, not the break it raised.
  const int32_t reason = m_stopReason != 0 ? m_stopReason.load() : code;
  std::string text;
  if (m_homingFailed) text = StatusText();
  else if (reason != 0) text = ErrorText(Error_t(reason));
  const bool failed = reason != 0 || m_homingFailed;
  {
    std::lock_guard<std::mutex> lock(m_textMutex);
    m_lastErrorText = text;
  }
  m_lastErrorCode.store(failed ? (reason ? reason : ERR_MAIN_PROGRAM) : 0, std::memory_order_release);
  if (failed) LogMessage(kLogOpsAlways, "%s stopped: %s", name, text.c_str());
  MachineState& act = *GetMachineState();
  act.progPos = ToProgram(act, m_stream.ActPos());
  ClearBits(kBusy | kBreakCaught);
  if (failed) SetBits(kCompletedError);
  if (!HasBits(kBreak)) SetBits(kCompleted);
  m_opsFinished.fetch_add(1, std::memory_order_acq_rel);
}

double RealMachine::LimitJogSpeed(double velocity) const {
  const MachineConfig& cfg = GetMachineConfig();
  // The door open in door mode 3 allows jogging at the reduced speed only.
  const bool doorOpen = m_safety ? m_safety->Safety().IsDoorLimited()
                                 : m_io && (m_io->GetInput(SIG_IN_DOOR_OPEN1) || m_io->GetInput(SIG_IN_DOOR_OPEN2));
  if (cfg.safetyDoorMode == 3 && cfg.reducedSpeed > 0 && doorOpen && velocity > cfg.reducedSpeed / 60.0) {
    velocity = cfg.reducedSpeed / 60.0;
    LogMessage(kLogOpsInfo, "Door open, reducing jog speed to %f", velocity);
  }
  return velocity;
}

void RealMachine::JogCommand(const WorkCmdData& cmd) {
  // Jogging may go on behind an open door where the door mode allows it.
  m_allowOpenDoor = true;
  ManualOperation("Jog", [&] {
    const int axes[2] = {cmd.arg1, cmd.arg2};
    const bool dirs[2] = {cmd.flag1, cmd.flag2};
    if (cmd.arg1 < 0 || cmd.arg1 >= kAxisCount) return;
    const int count = (cmd.arg2 >= 0 && cmd.arg2 < kAxisCount && cmd.arg2 != cmd.arg1) ? 2 : 1;
    MachineState& act = *GetMachineState();
    const Transformation* t = act.GetTransformation();
    const Coordinates cur = m_stream.ActPos();
    Coordinates target = cur;
    const double step = cmd.value1;  // mm; 0 or less: continuous
    if (step > 0) {
      Coordinates prog = ToProgram(act, cur);
      for (int k = 0; k < count; ++k) {
        const int a = axes[k];
        double to = prog.v[a] + (dirs[k] ? step : -step);
        if (cmd.flag3) {
          // Onto the grid of the step: the next multiple in the direction of motion.
          const double n = prog.v[a] / step;
          to = dirs[k] ? (std::floor(n + 1e-9) + 1.0) * step : (std::ceil(n - 1e-9) - 1.0) * step;
        }
        prog.v[a] = to;
      }
      target = t ? t->ToMachine(prog) : prog;
    } else {
      // Continuous: up to the soft limit, where a stop on release does not
      // come first.
      for (int k = 0; k < count; ++k) {
        const int a = axes[k];
        double limit = 0;
        if (AxisTravelLimit(act, a, dirs[k], limit)) target.v[a] = limit;
        else target.v[a] = cur.v[a] + (dirs[k] ? 1e5 : -1e5);
      }
    }
    // A jog never leaves the travel, wherever it started.
    if (SoftLimitsActive(act)) {
      for (int k = 0; k < count; ++k) {
        const int a = axes[k];
        double limit = 0;
        if (!AxisTravelLimit(act, a, dirs[k], limit)) continue;
        if (dirs[k] ? target.v[a] > limit : target.v[a] < limit) target.v[a] = limit;
        // Already beyond it: no further that way.
        if (dirs[k] ? target.v[a] < cur.v[a] : target.v[a] > cur.v[a]) target.v[a] = cur.v[a];
      }
    }
    const MachineConfig& cfg = GetMachineConfig();
    double sum = 0;
    for (int k = 0; k < count; ++k) sum += cfg.axis[axes[k]].maxVelocity;
    double v = cmd.value2;  // mm/s
    if (!(v > 0) || v > sum) v = sum;
    v = LimitJogSpeed(v);
    if (act.GetSoftLimitsEnabled() && SegmentEntersKeepout(cur, target)) throw Error_t(kErrKeepout);
    LogMessage(kLogOps, "Jog a=%d dir=%d step=%f v=%f to X%1.3f Y%1.3f Z%1.3f", cmd.arg1, cmd.flag1 ? 1 : -1, step, v,
               target.v[0], target.v[1], target.v[2]);
    m_planner.PointToPointMove(target, v, 100.0, cmd.value2 > 0 ? 0 : 2);
    m_stream.WaitStandstill();
    LogMessage(kLogOps, "Jog Trace write");
  });
}

void RealMachine::MoveToCommand(const WorkCmdData& cmd) {
  ManualOperation("MoveTo", [&] {
    MachineState& act = *GetMachineState();
    const Coordinates cur = m_stream.ActPos();
    Coordinates target = cmd.target;  // machine coordinates
    if (SoftLimitsActive(act)) ClampToSoftLimits(act, target);
    if (act.GetSoftLimitsEnabled() && SegmentEntersKeepout(cur, target)) throw Error_t(kErrKeepout);
    // Velocity 0: rapid.
    const bool rapid = !(cmd.value1 > 0);
    double v = rapid ? 3.0 * RapidVelocity(target - cur) : cmd.value1;
    v = LimitJogSpeed(v);
    LogMessage(kLogOps, "MoveTo X%1.3f Y%1.3f Z%1.3f v=%f", target.v[0], target.v[1], target.v[2], v);
    m_planner.PointToPointMove(target, v, 100.0, rapid ? 2 : 0);
    m_stream.WaitStandstill();
  });
}

// ---------------------------------------------------------------------------
// moves that end when an input fires

int RealMachine::MoveToProbe(int axis, double distance, double velocity) {
  Coordinates target = m_stream.ActPos();
  target.v[axis] += distance;
  LogMessage(kLogOps, "MoveToProbe s=%1.3f, v=%1.3f", distance, velocity);
  LogMessage(kLogOps, "MoveToProbe");
  m_stream.DoPollIo(true);
  m_stream.m_probeStopped = false;
  m_stream.SetProbing(true);
  m_planner.SetCurrentPos(m_stream.ActPos());
  m_planner.PointToPointMove(target, velocity, 100.0, 0);
  m_stream.WaitStandstill();
  m_stream.SetProbing(false);
  ClearBits(kBreak | kBreakCaught);
  const Coordinates act = m_stream.ActPos();
  const Coordinates nom = m_planner.CurrentPos();
  m_planner.SetCurrentPos(act);
  LogMessage(kLogOps, "MTP actPos: X%1.3f Y%1.3f Z%1.3f", act.v[0], act.v[1], act.v[2]);
  LogMessage(kLogOps, "MTP nomPos: X%1.3f Y%1.3f Z%1.3f", nom.v[0], nom.v[1], nom.v[2]);
  const double short_ = std::fabs(target.v[axis] - act.v[axis]);
  if (!m_stream.m_probeStopped && short_ <= GetMachineConfig().axis[axis].resolution * 2) return kProbeTarget;
  return m_stream.ArmedInputFired() ? kProbeFired : kProbeOther;
}

// ---------------------------------------------------------------------------
// homing

void RealMachine::ResetPosition(int axis, double mm) {
  const int32_t off = static_cast<int32_t>(std::lround(m_stream.m_offset.v[axis]));
  LogMessage(kLogOps, "ResetPosition a=%d end=%f off=%d", axis, mm, off);
  if (!m_stream.ResetAxis(axis, mm)) throw Error_t(kErrNetwork);
  m_stream.m_comp.Filter().Reset(m_stream.m_offset, 0);
  m_planner.SetCurrentPos(m_stream.ActPos());
}

bool RealMachine::ClearSwitch(int axis, int signal, int direction) {
  const AxisParams& p = GetMachineConfig().axis[axis];
  m_stream.ArmInput(signal, false);
  MoveToProbe(axis, -direction * p.refTolerance, p.refVelocity);
  m_stream.DisarmInput();
  if (p.refOffset != 0) MoveToProbe(axis, -direction * p.refOffset, p.refVelocity);
  m_stream.DoPollIo(true);
  if (m_io && m_io->GetInput(signal)) {
    SetStatusText("Error clearing home switch");
    return false;
  }
  return true;
}

bool RealMachine::HomeAxis(int axis, bool withY) {
  const MachineConfig& cfg = GetMachineConfig();
  const AxisParams& p = cfg.axis[axis];
  const int dir = HomeDirection(p.homeSwitchMode);
  const int signal = SIG_IN_HOME_SWITCH + axis;
  const double range = std::max(0.0, p.maxPosition - p.minPosition);
  auto fail = [&](const char* text) {
    SetStatusText(text);
    m_homingFailed = true;
    m_stream.DisarmInput();
    return false;
  };
  m_stream.DoPollIo(true);
  if (withY && m_io) {
    // Both axes run towards their switches; the first switch stops both,
    // and each then finds its own as alone.
    LogMessage(kLogOps, "Homing: X+Y simultanously");
    const AxisParams& py = cfg.axis[1];
    const int diry = HomeDirection(py.homeSwitchMode);
    const double rangeY = std::max(0.0, py.maxPosition - py.minPosition);
    const double d = std::min(range, rangeY);
    if (!m_io->GetInput(signal) && !m_io->GetInput(SIG_IN_HOME_SWITCH + 1)) {
      m_stream.ArmInput(SIG_IN_HOME_SWITCH + 1, true);
      m_stream.ArmInput(signal, true);
      Coordinates target = m_stream.ActPos();
      target.v[0] += dir * d;
      target.v[1] += diry * d;
      m_stream.m_probeStopped = false;
      m_stream.SetProbing(true);
      m_planner.SetCurrentPos(m_stream.ActPos());
      m_planner.PointToPointMove(target, std::min(p.refVelocity, py.refVelocity) * std::sqrt(2.0), 100.0, 0);
      m_stream.WaitStandstill();
      m_stream.SetProbing(false);
      m_planner.SetCurrentPos(m_stream.ActPos());
      m_stream.DisarmInput();
    }
    if (!HomeAxis(0, false)) return false;
    return HomeAxis(1, false);
  }
  if (m_io && m_io->GetInput(signal)) {
    LogMessage(kLogOps, "Homing: clear switch");
    if (!ClearSwitch(axis, signal, dir)) return fail("Error clearing home switch");
  }
  LogMessage(kLogOps, "Homing: aproach switch");
  if (!m_stream.ArmInput(signal, true)) return fail("Home switch not reached");
  int r = MoveToProbe(axis, dir * (range + 2.0 * (p.refOffset + p.refTolerance)), p.refVelocity);
  if (r == kProbeOther) return fail("Limit triggered during homing");
  if (r != kProbeFired) return fail("Home switch not reached");
  if (p.refInching != 0) {
    LogMessage(kLogOps, "Homing: precision inching");
    m_stream.ArmInput(signal, false);
    r = MoveToProbe(axis, -dir * p.refTolerance, p.refInching);
    if (r == kProbeOther) return fail("Limit triggered during homing");
    if (r != kProbeFired) return fail("Error clearing home switch");
    m_stream.ArmInput(signal, true);
    r = MoveToProbe(axis, dir * 2.0 * p.refTolerance, p.refInching);
    if (r == kProbeOther) return fail("Limit triggered during homing");
    if (r != kProbeFired) return fail("Home switch not reached");
  }
  m_stream.DisarmInput();
  LogMessage(kLogOps, "Homing: move offset");
  const bool inch = GetMachineConfig().displayInch;
  LogMessage(kLogOps, "Homing offset = %f", inch ? p.refOffset / 25.4 : p.refOffset);
  if (p.refOffset != 0) {
    r = MoveToProbe(axis, -dir * p.refOffset, p.refVelocity);
    if (r == kProbeOther) return fail("Limit triggered during homing");
  }
  ResetPosition(axis, HomeTarget(axis));
  m_homedAxes.fetch_or(1u << axis, std::memory_order_acq_rel);
  return true;
}

bool RealMachine::ExecuteHome(int32_t mask, bool force) {
  const MachineConfig& cfg = GetMachineConfig();
  m_stream.WaitStandstill();
  LogMessage(kLogOps, "ExecuteHome start");
  const int order = cfg.homingOrder >= 0 && cfg.homingOrder < 5 ? cfg.homingOrder : 0;
  const bool all = mask == -1;
  uint32_t done = 0;  // homed in this pass (X and Y together count for both)
  bool ok = true;
  for (int i = 0; i < kAxisCount && ok; ++i) {
    const int a = kHomingOrders[order][i];
    const uint32_t bit = 1u << a;
    if (!GetAxisAssignment().IsEnabled(a) || !m_stream.Channels().Mapped(a)) {
      LogMessage(kLogOps, "Skipping unused axis i=%d a=%d", i, a);
      continue;
    }
    const char* why = nullptr;
    if (done & bit) why = "done";
    else if (!all && !(static_cast<uint32_t>(mask) & bit)) why = "not selected";
    else if ((HomedAxes() & bit) && !force) why = "already homed";
    else if (all && cfg.axis[a].homeExclude) why = "excluded";
    else if (cfg.axis[a].homeSwitchMode == 0) why = "no home switch";
    if (why) {
      LogMessage(kLogOps, "Skipping axis i=%d a=%d %s", i, a, why);
      continue;
    }
    const bool yToo = order == 4 && a == 0 && (all || (static_cast<uint32_t>(mask) & 2u)) && HomeCandidate(1) &&
                      m_stream.Channels().Mapped(1) && !(all && cfg.axis[1].homeExclude) &&
                      (force || !(HomedAxes() & 2u));
    SetStatusText(std::string("Homing axis ") + (yToo ? "X+Y" : std::string(1, kAxisLetters[a])));
    m_stream.CheckStop(true);
    if (m_stream.ModuleStatus() & PositionStream::kStatusStopInput) {
      LogMessage(kLogOps, "Home ClearStopMask");
      m_stream.InternalWaitStop(true);
    }
    ok = HomeAxis(a, yToo);
    done |= bit | (yToo ? 2u : 0u);
  }
  uint32_t used = 0;
  for (int a = 0; a < kAxisCount; ++a)
    if (HomeCandidate(a) && m_stream.Channels().Mapped(a)) used |= 1u << a;
  LogMessage(kLogOps, "HomeFlags=%X", HomedAxes());
  LogMessage(kLogOps, "AllFlags=%X", used);
  if (ok && (HomedAxes() & used) == used) {
    m_allHomed = true;
    SwitchOutput(SIG_OUT_HOMING_COMPLETED, true, true);
  }
  m_stream.DisarmInput();
  if (ok) SetStatusText("");
  LogMessage(kLogOps, "ExecuteHome end");
  return ok;
}
