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
#include "io/iomodule.h"
#include "io/machineio.h"
#include "io/modulecontrol.h"
#include "io/safety.h"
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

// The lift axis of a move to a point: the axis named W when TreatWasZ is
// set, -1 when there is none (the move then goes straight).
int MoveToLiftAxis() {
  constexpr int kNameW = 9;
  if (!GetMachineConfig().treatWasZ) return -1;
  const AxisAssignment& axes = GetAxisAssignment();
  const int w = axes.AxisWithName(kNameW);
  return axes.IsEnabled(w) ? w : -1;
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

void RealMachine::ManualOperation(const char* name, const std::function<void()>& body,
                                  const std::function<void()>& prepare) {
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
    // An operation's moves are no program line.
    SetTag(0);
    if (prepare) prepare();
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

void RealMachine::ArmJogStopCondition(const int* axes, const bool* positive, int count) {
  if (!m_io) return;
  m_io->AddStopInput(SIG_IN_EMERGENCY_STOP, true, true);
  for (int axis = 0; axis < kAxisCount; ++axis) {
    m_io->RemoveStopInput(SIG_IN_LIMIT_MINUS + axis);
    m_io->RemoveStopInput(SIG_IN_LIMIT_PLUS + axis);
  }
  for (int k = 0; k < count; ++k)
    m_io->AddStopInput((positive[k] ? SIG_IN_LIMIT_PLUS : SIG_IN_LIMIT_MINUS) + axes[k], true, false);
  m_io->SetStopCondition();
}

void RealMachine::ClearHeldStop() {
  // A switch the machine stands on has stopped the module under the
  // condition before, though the status polled last may not show it yet.
  bool held = m_stream.m_clearPending || (m_stream.ModuleStatus() & PositionStream::kStatusStopInput);
  for (int a = 0; m_io && a < kAxisCount && !held; ++a)
    held = m_io->GetInput(SIG_IN_LIMIT_MINUS + a) || m_io->GetInput(SIG_IN_LIMIT_PLUS + a);
  if (held) {
    LogMessage(kLogOps, "#### ClearBufferWithSync() ####");
    m_stream.InternalWaitStop(true);
  }
  // The supervisor halts again on a status polled before the clear: the
  // motion begins once it has seen the module free.
  for (int i = 0; i < 200; ++i) {
    m_stream.DoPollIo(true);
    if ((m_stream.ModuleStatus() & PositionStream::kStatusStopInput) || m_stream.m_clearPending) {
      LogMessage(kLogOps, "#### ClearBufferWithSync() ####");
      m_stream.InternalWaitStop(true);
      continue;
    }
    if (!m_safety || m_safety->Safety().MotionState() == MOTION_IDLE) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

void RealMachine::JogCommand(const WorkCmdData& cmd) {
  // Jogging may go on behind an open door where the door mode allows it.
  m_allowOpenDoor = true;
  const int axes[2] = {cmd.arg1, cmd.arg2};
  const bool dirs[2] = {cmd.flag1, cmd.flag2};
  if (cmd.arg1 < 0 || cmd.arg1 >= kAxisCount) return;
  const int count = (cmd.arg2 >= 0 && cmd.arg2 < kAxisCount && cmd.arg2 != cmd.arg1) ? 2 : 1;
  // Only the limit switches ahead stop a jog, so a jog can leave a switch
  // the machine stands on; a stop such a switch holds is cleared first.
  auto prepare = [&] {
    ArmJogStopCondition(axes, dirs, count);
    ClearHeldStop();
  };
  ManualOperation("Jog", [&] {
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
  }, prepare);
  if (m_io && Connected()) ArmStopCondition();
}

void RealMachine::MoveToCommand(const WorkCmdData& cmd) {
  ManualOperation("MoveTo", [&] {
    MachineState& act = *GetMachineState();
    const Coordinates cur = m_stream.ActPos();
    Coordinates target = cmd.target;  // machine coordinates
    const bool limits = SoftLimitsActive(act);
    if (limits) ClampToSoftLimits(act, target);
    // Velocity 0: rapid.
    const bool rapid = !(cmd.value1 > 0);
    double v = rapid ? 3.0 * RapidVelocity(target - cur) : cmd.value1;
    v = LimitJogSpeed(v);
    // Unless it goes straight, the lift axis first rises alone to the safe
    // height (machine 0, or where it stands when higher) and stays there
    // while the other axes go to the target.
    Coordinates legs[2] = {target, target};
    int first = 1;
    const int lift = cmd.flag1 ? -1 : MoveToLiftAxis();
    if (lift >= 0) {
      const double safe = std::max(0.0, cur.v[lift]);  // mm, machine
      legs[0] = cur;
      legs[0].v[lift] = safe;
      legs[1].v[lift] = safe;
      if (limits) {
        ClampToSoftLimits(act, legs[0]);
        ClampToSoftLimits(act, legs[1]);
      }
      first = 0;
    }
    Coordinates from = cur;
    for (int k = first; k < 2; ++k) {
      if (act.GetSoftLimitsEnabled() && SegmentEntersKeepout(from, legs[k])) throw Error_t(kErrKeepout);
      from = legs[k];
    }
    LogMessage(kLogOps, "MoveTo X%1.3f Y%1.3f Z%1.3f v=%f direct=%d", target.v[0], target.v[1], target.v[2], v,
               cmd.flag1 ? 1 : 0);
    for (int k = first; k < 2; ++k) m_planner.PointToPointMove(legs[k], v, 100.0, rapid ? 2 : 0);
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

void RealMachine::ResetPosition(int axis, double mm, int slave) {
  const int32_t off = static_cast<int32_t>(std::lround(m_stream.m_offset.v[axis]));
  LogMessage(kLogOps, "ResetPosition a=%d end=%f off=%d", axis, mm, off);
  // The slave's offset includes how far it stood apart from the master.
  if (slave >= 0) LogMessage(kLogOps, "ResetPosition Slave off=%d", off + m_stream.ChannelShift(slave));
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

RealMachine::HomeSides RealMachine::FindSides(int axis) {
  HomeSides s;
  const AxisChannels& ch = m_stream.Channels();
  s.master = ch.Master(axis);
  s.slave = ch.Slave(axis);
  if (s.slave < 0 || !GetMachineConfig().gantryHomeMode) return s;
  // The slave's switch is wired as the home switch numbered by its channel:
  // the channel carries no axis of that number then.
  if (s.slave < kAxisCount && s.slave != axis && !ch.Mapped(s.slave)) {
    s.slaveSignal = SIG_IN_HOME_SWITCH + s.slave;
  } else {
    LogMessage(kLogOpsAlways, "Homing: gantry slave channel %d has no home switch of its own (axis %d uses it)",
               s.slave, s.slave);
    s.slaveSignal = kNoSwitch;
  }
  return s;
}

int RealMachine::HomeMove(int axis, const HomeSides& sides, int side, int signal, bool level, double distance,
                          double velocity) {
  if (signal >= 0) m_stream.ArmInput(signal, level);
  // One side of a gantry moves while the other stands.
  const int held = side == kMasterSide ? sides.slave : side == kSlaveSide ? sides.master : -1;
  struct Release {
    PositionStream& s;
    bool on;
    ~Release() {
      if (on) s.HoldChannel(-1);
    }
  } release{m_stream, held >= 0};
  if (held >= 0) m_stream.HoldChannel(held);
  const int r = MoveToProbe(axis, distance, velocity);
  if (signal >= 0) m_stream.DisarmInput();
  return r;
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
  const HomeSides sides = FindSides(axis);
  if (sides.slaveSignal == kNoSwitch) return fail("Home switch not reached");
  // The switches to find: the master's, and the slave's when it has one.
  const bool own = sides.slaveSignal >= 0;
  const int switches = own ? 2 : 1;
  const int signals[2] = {signal, sides.slaveSignal};
  const int sideOf[2] = {own ? kMasterSide : kBothSides, kSlaveSide};
  for (int k = 0; k < switches; ++k) {
    if (m_io && m_io->GetInput(signals[k])) {
      LogMessage(kLogOps, "Homing: clear switch");
      if (!ClearSwitch(axis, signals[k], dir)) return fail("Error clearing home switch");
    }
  }
  LogMessage(kLogOps, "Homing: aproach switch");
  if (!m_stream.ArmInput(signal, true) || (own && !m_stream.ArmInput(sides.slaveSignal, true)))
    return fail("Home switch not reached");
  int r = MoveToProbe(axis, dir * (range + 2.0 * (p.refOffset + p.refTolerance)), p.refVelocity);
  m_stream.DisarmInput();
  if (r == kProbeOther) return fail("Limit triggered during homing");
  if (r != kProbeFired) return fail("Home switch not reached");
  if (own) {
    // The side that met its switch first stands; the other goes on to its
    // own, no further than the sides may stand apart.
    m_stream.DoPollIo(true);
    const bool masterOn = m_io->GetInput(signal);
    if (!masterOn || !m_io->GetInput(sides.slaveSignal)) {
      const int k = masterOn ? 1 : 0;
      const double skew = 2.0 * (p.refOffset + std::fabs(p.slaveOffset) + p.refTolerance);
      LogMessage(kLogOps, "Homing: gantry %s to its switch", k == 0 ? "master" : "slave");
      r = HomeMove(axis, sides, sideOf[k], signals[k], true, dir * skew, p.refVelocity);
      if (r == kProbeOther) return fail("Limit triggered during homing");
      if (r != kProbeFired) return fail("Home switch not reached");
    }
  }
  if (p.refInching != 0) {
    LogMessage(kLogOps, "Homing: precision inching");
    for (int k = 0; k < switches; ++k) {
      r = HomeMove(axis, sides, sideOf[k], signals[k], false, -dir * p.refTolerance, p.refInching);
      if (r == kProbeOther) return fail("Limit triggered during homing");
      if (r != kProbeFired) return fail("Error clearing home switch");
      r = HomeMove(axis, sides, sideOf[k], signals[k], true, dir * 2.0 * p.refTolerance, p.refInching);
      if (r == kProbeOther) return fail("Limit triggered during homing");
      if (r != kProbeFired) return fail("Home switch not reached");
    }
  }
  LogMessage(kLogOps, "Homing: move offset");
  const bool inch = cfg.displayInch;
  auto shown = [inch](double mm) { return inch ? mm / 25.4 : mm; };
  // The slave's switch point lies SlaveOffset further from its home.
  const double slaveOffset = p.refOffset + p.slaveOffset;
  if (!own || slaveOffset == p.refOffset) {
    if (sides.slave >= 0) LogMessage(kLogOps, "Homing: move offset (gantry both)");
    LogMessage(kLogOps, "Homing offset = %f", shown(p.refOffset));
    if (p.refOffset != 0) r = HomeMove(axis, sides, kBothSides, -1, true, -dir * p.refOffset, p.refVelocity);
  } else {
    LogMessage(kLogOps, "Homing: move offset (gantry master)");
    LogMessage(kLogOps, "Homing offset (master)= %f", shown(p.refOffset));
    r = p.refOffset != 0 ? HomeMove(axis, sides, kMasterSide, -1, true, -dir * p.refOffset, p.refVelocity)
                         : kProbeTarget;
    if (r != kProbeOther) {
      LogMessage(kLogOps, "Homing: move offset (gantry slave)");
      LogMessage(kLogOps, "Homing offset (slave) = %f", shown(slaveOffset));
      if (slaveOffset != 0) r = HomeMove(axis, sides, kSlaveSide, -1, true, -dir * slaveOffset, p.refVelocity);
    }
  }
  if (r == kProbeOther) return fail("Limit triggered during homing");
  ResetPosition(axis, HomeTarget(axis), sides.slave);
  m_homedAxes.fetch_or(1u << axis, std::memory_order_acq_rel);
  return true;
}

bool RealMachine::ExecuteHome(int32_t mask, bool force) {
  const MachineConfig& cfg = GetMachineConfig();
  // Homing runs in machine coordinates, without the tool's length, the
  // surface map or the knife turning; what the operator had comes back at
  // the end, also when homing fails or is stopped.
  MachineState& act = *GetMachineState();
  struct Restore {
    MachineState& act;
    const bool knife = TangentialKnifeActive();
    const int workOffset = act.GetCurrTransNum();
    const bool mapping = act.GetFlag(SF_SURFACE_MAPPING);
    const bool toolLength = act.GetFlag(SF_TOOL_LENGTH);
    bool done = false;
    // True when the work offset had to be selected again.
    bool Now() {
      if (done) return false;
      done = true;
      if (GetMachineConfig().machineType == kMachineTypeKnife) SetTangentialKnifeActive(knife);
      act.SetFlag(SF_TOOL_LENGTH, toolLength);
      if (workOffset == 0 && !mapping) return false;
      act.SetCurrOffsetFromFile(workOffset);
      return true;
    }
    ~Restore() { Now(); }
  } restore{act};
  SetTangentialKnifeActive(false);
  act.SetFlag(SF_TOOL_LENGTH, false);
  if (restore.workOffset != 0 || restore.mapping) act.SetCurrOffsetFromFile(0);
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
  if (restore.Now()) m_stream.WaitStandstill();
  LogMessage(kLogOps, "ExecuteHome end");
  return ok;
}
