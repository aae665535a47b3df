#include "realmachine/positionstream.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <thread>

#include "base/logging.h"
#include "io/iocycle.h"
#include "io/iomapping.h"
#include "io/machineio.h"
#include "io/modulecontrol.h"
#include "machine/machineconfig.h"
#include "machine/machinestate.h"
#include "motion/motionlimits.h"
#include "params/parafile.h"
#include "program/errors.h"
#include "program/fileparser.h"
#include "realmachine/realmachine.h"

namespace {
constexpr int32_t kLogPoint = LOGCAT_POSITION_DATA | 1;
constexpr int32_t kLogPoll = LOGCAT_POSITION_DATA | 2;
constexpr int32_t kLogStream = LOGCAT_TRAJECTORY | 3;
constexpr int32_t kLogStreamInfo = LOGCAT_TRAJECTORY | 4;
constexpr int32_t kLogStreamError = LOGCAT_TRAJECTORY | 6;
constexpr int32_t kErrNetwork = -1201;
// Trace entries that carry only the line, one per this many points: a line
// resolution of about a third of a second for the display.
constexpr int kTraceEvery = 65;
constexpr int kC = 5;
// Time for a module's answer to a status request to come back, µs.
constexpr int kAnswerWaitUs = 1000;

// The logical axis of an axis name of the parameter files ("0" none, "X".."W",
// then A1..A3, B1..B3, C1..C3, X1..X3, Y1..Y3, Z1..Z3).
int AxisOfName(int index) {
  if (index >= 1 && index <= 9) return index - 1;
  static const int kGroups[6] = {3, 4, 5, 0, 1, 2};
  if (index >= 10 && index <= 27) return kGroups[(index - 10) / 3];
  return -1;
}

unsigned Hex16(int16_t v) { return static_cast<uint16_t>(v); }
}  // namespace

// ---------------------------------------------------------------------------
// channels

void AxisChannels::Load(const ParaFile* file) {
  if (!file) return;
  int found[ModuleLink::kChannels];
  bool any = false;
  for (int c = 0; c < ModuleLink::kChannels; ++c) {
    const std::string key = "Axis#" + std::to_string(c);
    std::string raw;
    found[c] = -1;
    if (!file->GetValue(key, raw)) continue;
    any = true;
    int index = 0;
    file->GetAxisName(key, index);
    found[c] = AxisOfName(index);
  }
  if (!any) return;
  count = 1;
  for (int c = 0; c < ModuleLink::kChannels; ++c) {
    axis[c] = found[c];
    if (found[c] >= 0) count = c + 1;
  }
}

bool AxisChannels::Mapped(int logicalAxis) const {
  for (int c = 0; c < count; ++c)
    if (axis[c] == logicalAxis) return true;
  return false;
}

int AxisChannels::Master(int logicalAxis) const {
  for (int c = 0; c < count; ++c)
    if (axis[c] == logicalAxis) return c;
  return -1;
}

int AxisChannels::Slave(int logicalAxis) const {
  const int master = Master(logicalAxis);
  if (master < 0) return -1;
  for (int c = master + 1; c < count; ++c)
    if (axis[c] == logicalAxis) return c;
  return -1;
}

// ---------------------------------------------------------------------------
// set-up

PositionStream::PositionStream(RealMachine& machine) : m_machine(machine) {}

void PositionStream::Sleep(double ms) const {
  std::this_thread::sleep_for(std::chrono::duration<double, std::milli>(m_timing.Scaled(ms)));
}

void PositionStream::LinkMustBeUp() {
  if (m_link && m_link->Up()) return;
  m_machine.m_errorPending = true;
  throw Error_t(kErrNetwork);
}

int PositionStream::ChannelSign(int c) const {
  const int a = m_channels.axis[c];
  if (a < 0 || !GetMachineConfig().axis[a].slaveInverted) return 1;
  return m_channels.Master(a) == c ? 1 : -1;
}

void PositionStream::ToSteps(const Coordinates& p, const Coordinates& offset, int32_t* steps) const {
  for (int c = 0; c < m_channels.count; ++c) {
    const int a = m_channels.axis[c];
    if (a < 0) steps[c] = 0;
    else if (c == m_held) steps[c] = m_heldSteps;
    else
      steps[c] = ChannelSign(c) * (m_comp.ForwardSteps(a, p.v[a]) + static_cast<int32_t>(std::lround(offset.v[a]))) +
                 m_chanShift[c];
  }
}

double PositionStream::ChannelPosition(int c, int32_t steps, const Coordinates& offset) const {
  const int a = m_channels.axis[c];
  return m_comp.ReverseSteps(a, ChannelSign(c) * (steps - m_chanShift[c]) - offset.v[a]);
}

bool PositionStream::Start(int32_t line) {
  if (!m_link) return false;
  m_link->ClearBuffer();
  // The answer to the clear: an empty buffer and the position.
  int level = -1, status = 0;
  for (int i = 0; i < 200; ++i) {
    m_link->RequestStatus();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (m_link->ReadStatus(level, status) && level == 0) break;
    if (!m_link->Up()) return false;
  }
  if (level != 0) return false;
  m_bufLevel = 0;
  m_moduleStatus = status;
  MachineState& act = *m_machine.GetMachineState();
  m_backlashSigns = act.backlashSigns;
  m_offset = m_comp.Offset(m_backlashSigns);
  m_comp.Filter().Reset(m_offset, 0);
  uint16_t ref = 0;
  int32_t steps[ModuleLink::kChannels] = {};
  if (!m_link->ReadPosition(ref, steps, m_channels.count)) return false;
  m_actRefNum = static_cast<int16_t>(ref);
  std::copy(steps, steps + m_channels.count, m_actSteps);
  // The position read back is the first point: it fixes the reference
  // number the trace starts from.
  // An axis is where its first channel stands; a gantry's other side keeps
  // its distance from it until homing squares the two.
  Coordinates p;
  m_held = -1;
  bool seen[kAxisCount] = {};
  for (int c = 0; c < m_channels.count; ++c) {
    const int a = m_channels.axis[c];
    m_chanShift[c] = 0;
    if (a < 0) continue;
    if (seen[a]) {
      m_chanShift[c] = steps[c] - ChannelSign(c) * (m_comp.ForwardSteps(a, p.v[a]) +
                                                    static_cast<int32_t>(std::lround(m_offset.v[a])));
      continue;
    }
    seen[a] = true;
    p.v[a] = ChannelPosition(c, steps[c], m_offset);
  }
  {
    std::lock_guard<std::mutex> lock(m_posMutex);
    m_actPos = p;
  }
  m_lastPoint = p;
  std::copy(steps, steps + m_channels.count, m_lastSteps);
  LogMessage(kLogStreamInfo, "Position read back: X%1.3f Y%1.3f Z%1.3f", p.v[0], p.v[1], p.v[2]);
  if (!m_link->SendPoint(steps, m_channels.count, ref, level)) return false;
  m_refNum = static_cast<int16_t>(ref);
  LogMessage(kLogStreamInfo, "TraceBuffer newRef=$%04X", Hex16(m_refNum));
  m_trace.Clear(m_refNum, line);
  m_moving = false;
  m_pollCount = 0;
  m_traceCount = 0;
  return true;
}

// ---------------------------------------------------------------------------
// the stream

void PositionStream::SetAcceleration(double accel, double vmax, double filterTime, double estopAccel) {
  m_vmax = vmax;
  LinkMustBeUp();
  if (!m_link->SetDynamics(accel, vmax, filterTime, estopAccel > 0 ? estopAccel : accel))
    LogMessage(kLogStreamError, "SetAcceleration refused a=%f vmax=%f filter=%f", accel, vmax, filterTime);
}

void PositionStream::SetVelocity(double velocity) {
  LinkMustBeUp();
  if (!m_link->SetVelocity(velocity)) LogMessage(kLogStreamError, "SetVelocity refused v=%f", velocity);
}

void PositionStream::SetFeedOverride(double percent) {
  LinkMustBeUp();
  m_link->SetFeedOverride(percent);
}

void PositionStream::NextPosition(const Coordinates& point, int mode) {
  LogMessage(kLogPoint, "NextPosition() x=%1.3f y=%1.3f z=%1.3f c=%1.3f", point.v[0], point.v[1], point.v[2],
             point.v[kC]);
  if (m_comp.BacklashActive()) {
    bool changed = false;
    const uint32_t signs = m_comp.Signs(m_lastPoint, point, m_backlashSigns, changed);
    if (changed) {
      LogMessage(kLogStream, "Backlash new signs %x", signs);
      // The read-back removes the offset the machine has got to.
      StateChange* sc = StateChange::Create('b', 0);
      if (sc) {
        sc->num = static_cast<int32_t>(signs);
        m_trace.Write(m_refNum, m_machine.m_planner.StreamTag(),
                      m_machine.m_planner.VelScale() * m_machine.m_planner.PlannedFeed(), sc);
      }
      m_backlashSigns = signs;
      SendOffsetRamp(point);
      m_lastPoint = point;
      return;
    }
  }
  int32_t steps[ModuleLink::kChannels];
  ToSteps(point, m_offset, steps);
  SetPosition(steps, mode);
  m_lastPoint = point;
}

void PositionStream::SendOffsetRamp(const Coordinates& point) {
  const Coordinates target = m_comp.Offset(m_backlashSigns);
  LogMessage(kLogStream, "Forward compensation offset X%f Y%f Z%f", target.v[0], target.v[1], target.v[2]);
  // The slack is taken at the point, ramped in through the filter.
  VectorFilter& filter = m_comp.Filter();
  int32_t steps[ModuleLink::kChannels];
  do {
    m_offset = filter.DoFilter(target);
    ToSteps(point, m_offset, steps);
    LogMessage(kLogStream, "Backlash blPos = X%d Y%d Z%d", steps[0], m_channels.count > 1 ? steps[1] : 0,
               m_channels.count > 2 ? steps[2] : 0);
    SetPosition(steps, kPointNormal);
  } while (!filter.Settled());
  m_offset = target;
}

void PositionStream::SetPosition(const int32_t* steps, int mode) {
  const int n = m_channels.count;
  if (mode == kPointOptional &&
      (std::equal(steps, steps + n, m_lastSteps) || m_machine.HasBits(RealMachine::kBreak)))
    return;
  std::copy(steps, steps + n, m_lastSteps);
  LinkMustBeUp();
  ++m_pollCount;
  for (;;) {
    const int buf = m_bufLevel;
    const int level = mode == kPointStop ? (buf & 0x7FFF) : buf;
    if (level < m_timing.maxBufLevel && !m_link->WindowFull()) {
      uint16_t ref = 0;
      int before = 0;
      if (!m_link->SendPoint(steps, n, ref, before)) {
        // The next poll tells what happened.
        LogMessage(kLogStreamError, "NextPosition SetPosition error");
        m_machine.m_errorPending = true;
        return;
      }
      m_refNum = static_cast<int16_t>(ref);
      m_bufLevel = before + 1;
      m_moving = true;
      m_pointsSent.fetch_add(1, std::memory_order_relaxed);
      if (buf < kLevelStopped)
        LogMessage(kLogPoint, "Pos = (%d,%d,%d,%d,%d) buf=%d", steps[0], n > 1 ? steps[1] : 0, n > 2 ? steps[2] : 0,
                   n > 3 ? steps[3] : 0, n > 4 ? steps[4] : 0, before);
      if (m_pollCount >= m_timing.pollEvery) {
        DoPollIo(false);
        CheckStop(true);
        Sleep(m_timing.pollPauseMs);
      }
      if (m_traceCount == 0)
        m_trace.Write(m_refNum, m_machine.m_planner.StreamTag(),
                      m_machine.m_planner.VelScale() * m_machine.m_planner.PlannedFeed(), nullptr);
      m_traceCount = (m_traceCount + 1) % kTraceEvery;
      return;
    }
    if (buf & kLevelStopped) {
      LogMessage(kLogStream, "NextPosition Warning");
      if (mode != kPointStop) CheckStop(true);
      return;
    }
    // The buffer is full (or every frame is still in flight).
    LogMessage(kLogPoll, "NextPosition Sleep (40)");
    Sleep(m_timing.fullSleepMs);
    m_machine.CheckBreak(0);
    LinkMustBeUp();
    DoPollIo(true);
    LogMessage(kLogPoll, "DoPollIo bufLevel= %d, status= %d", m_bufLevel.load(), m_moduleStatus.load());
    if (CheckStop(mode != kPointStop) != 0) return;
  }
}

void PositionStream::DoPollIo(bool pollAll) {
  if (!m_link || !m_link->Up()) return;
  if (pollAll) m_link->RequestStatus();
  // The handwheel is read while a handwheel jog runs (the read waits for
  // its answer, which brings the status asked for above along).
  if (m_machine.HasBits(RealMachine::kHandwheel)) {
    uint32_t count = 0, changed = 0, sampled = 0;
    if (m_link->ReadHandwheel(count, changed, sampled)) m_machine.SetHandWheelPos(count, changed, sampled);
  }
  int level = 0, status = 0;
  if (m_link->ReadStatus(level, status)) {
    m_bufLevel = level;
    m_moduleStatus = status;
  }
  LogMessage(kLogPoll, "DoPollIo bufLevel= %d, status= %d", level, status);
  uint32_t inputs = 0;
  if (m_link->ReadInputs(inputs)) m_inputs = inputs;
  GetInternalActPos();
  // The other modules' inputs (and the main module's, for the signals); a
  // request that could wait on a full window is left for the next poll.
  // The safety supervisor judges them with the module's status, and runs
  // the gates and the Modbus cycle after them.
  const bool request = pollAll && !m_link->WindowFull();
  MachineIo* safety = m_machine.m_safety;
  // A probing move's stop input is its expected end, no stop to judge.
  if (safety && request && !m_probing) {
    safety->Poll();
  } else if (ModuleControl* io = m_machine.m_io) {
    // Without a supervisor the gates and the Modbus cycle run here, on
    // inputs every module has answered.
    if (io->PollInputs(request) && !safety) RunIoCycleHooks(*io);
  }
  m_pollCount = 0;
}

void PositionStream::GetInternalActPos() {
  uint16_t ref = 0;
  int32_t steps[ModuleLink::kChannels] = {};
  if (!m_link || !m_link->ReadPosition(ref, steps, ModuleLink::kChannels)) return;
  m_arcRaw.store(steps[ModuleLink::kChannels - 1], std::memory_order_relaxed);
  LogMessage(kLogPoll, "GetInternalActPos ref=$%04X last=$%04X", ref, Hex16(m_refNum));
  m_actRefNum = static_cast<int16_t>(ref);
  std::copy(steps, steps + m_channels.count, m_actSteps);
  MachineState& act = *m_machine.GetMachineState();
  double velocity = m_actVelocity.load(std::memory_order_relaxed);
  m_trace.Read(static_cast<int16_t>(ref), act, velocity);
  m_actVelocity.store(velocity, std::memory_order_relaxed);
  // The backlash offset of the point the machine has got to.
  const Coordinates offset = m_comp.Offset(act.backlashSigns);
  Coordinates p = m_lastPoint;
  bool seen[kAxisCount] = {};
  for (int c = 0; c < m_channels.count; ++c) {
    const int a = m_channels.axis[c];
    // A gantry's second side follows the first, unless the first is held.
    if (a < 0 || seen[a] || c == m_held) continue;
    seen[a] = true;
    p.v[a] = ChannelPosition(c, steps[c], offset);
  }
  std::lock_guard<std::mutex> lock(m_posMutex);
  m_travelled += Length9(p - m_actPos);
  m_actPos = p;
  LogMessage(kLogPoll, "GetInternalActPos: X%1.3f Y%1.3f Z%1.3f C%1.3f", p.v[0], p.v[1], p.v[2], p.v[kC]);
}

void PositionStream::Trace(StateChangeList& changes, int32_t line, double velocity) {
  m_trace.WriteQueue(m_refNum, line, velocity, changes);
}

void PositionStream::WaitStandstill() { InternalWaitStop(false); }

void PositionStream::InternalWaitStop(bool force) {
  LogMessage(kLogStream, "InternalWaitStop start");
  m_waiting = true;
  struct Done {
    bool& flag;
    ~Done() {
      flag = false;
      LogMessage(kLogStream, "InternalWaitStop end");
    }
  } done{m_waiting};
  for (;;) {
    LinkMustBeUp();
    m_machine.CheckBreak(0);
    // A fresh answer: a decision on one a slice old would sleep on a level
    // the module has long left.
    m_link->RequestStatus();
    std::this_thread::sleep_for(std::chrono::microseconds(kAnswerWaitUs));
    DoPollIo(false);
    const int level = m_bufLevel;
    const int status = m_moduleStatus;
    const bool stands = (status & kStatusMoving) == 0;
    if (!m_moving && level == 0 && !force && stands) {
      LogMessage(kLogStream, "InternalWaitStop shortcut !moving && bufLevel==0");
      return;
    }
    // Sleep about as long as the module has still buffered, polling at
    // least every waitSliceMs.
    const double slice = std::clamp((level & 0x7FFF) * 5.0, 5.0, m_timing.waitSliceMs);
    if (!stands) {
      Sleep(slice);
      continue;
    }
    const bool breakPending = m_machine.HasBits(RealMachine::kBreak);
    const bool streamStopped = (level & kLevelStopped) != 0;
    if ((status & kStatusErrorMask) == 0 && !force && !m_clearPending && !(breakPending && streamStopped)) {
      if (level == 0) {
        m_moving = false;
        LogMessage(kLogStream, "InternalWaitStop bufLevel==0");
        return;
      }
      if (breakPending && !m_machine.HasBits(RealMachine::kBreakCaught)) m_machine.HandleBreak();
      Sleep(slice);
      continue;
    }
    // A stop input that ended the motion is the reason, also when it
    // fired while the stream was only waiting.
    const int32_t reason = force ? 0 : CheckStop(false);
    if (m_probing && (status & kStatusStopInput)) m_probeStopped = true;
    ClearAfterStop();
    if (reason != 0 && !(m_probing && reason == ERR_LIMIT_SWITCH) && m_machine.m_execMode < 1) throw Error_t(reason);
    return;
  }
}

void PositionStream::ClearAfterStop() {
  m_clearPending = false;
  GetInternalActPos();
  const int32_t line = m_trace.CurrentLine();
  // What the module confirmed last is where the stream goes on.
  m_refNum = m_actRefNum;
  ModuleControl* io = m_machine.m_io;
  if (io) io->ClearStopCondition();
  m_link->ClearBuffer();
  LogMessage(kLogStream, "#### ClearBuffer() InternalWaitStop ####");
  // Wait for the answer to the clear, so the next point sees the empty buffer.
  int level = kLevelStopped, status = 0;
  for (int i = 0; i < 100 && m_link->Up(); ++i) {
    m_link->RequestStatus();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    if (m_link->ReadStatus(level, status) && (level & kLevelStopped) == 0) break;
  }
  m_bufLevel = level & 0x7FFF;
  m_moduleStatus = status;
  m_machine.m_errorPending = false;
  if (io) {
    // An input armed for one move has done its work (it would stop the
    // next move at once while it stays active).
    for (int& armed : m_armed) {
      if (armed >= 0) io->RemoveStopInput(armed);
      armed = -1;
    }
    // Outputs that waited in the buffer are gone: the modules get their
    // words again, and the stop condition is back.
    io->ResendOutputs();
    io->SetStopCondition();
  }
  if (status & kStatusDriveError) LogMessage(kLogStreamError, "E-Stop !!!");
  LogMessage(kLogStream, "Trace Clear ### line=%d ref=$%04X", line, Hex16(m_refNum));
  m_trace.Clear(m_refNum, line);
  m_machine.m_planner.CatchBreak();
  m_comp.Filter().Reset(m_offset, 0);
  m_moving = false;
  // The next point starts from the position read back.
  const Coordinates p = ActPos();
  m_lastPoint = p;
  std::copy(m_actSteps, m_actSteps + m_channels.count, m_lastSteps);
  const Coordinates nom = m_machine.m_planner.CurrentPos();
  LogMessage(kLogStream, "Position after Stop: X%1.3f Y%1.3f Z%1.3f C%1.3f", p.v[0], p.v[1], p.v[2], p.v[kC]);
  LogMessage(kLogStream, "old nomPos: X%1.3f Y%1.3f Z%1.3f C%1.3f", nom.v[0], nom.v[1], nom.v[2], nom.v[kC]);
}

void PositionStream::Delay(double seconds, uint32_t untilHandle) { InternalDelay(seconds, untilHandle); }

void PositionStream::InternalDelay(double seconds, uint32_t) {
  if (m_machine.HasBits(RealMachine::kBreak)) return;
  LogMessage(kLogStream, "Internal delay start %fs", seconds);
  m_trace.Write(m_refNum, m_machine.m_planner.StreamTag(), 0.0, nullptr);
  const double ms = std::isfinite(seconds) && seconds > 0 ? std::round(seconds * 1000.0) : 0.0;
  using Clock = std::chrono::steady_clock;
  const auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                      std::chrono::duration<double, std::milli>(m_timing.Scaled(ms)));
  for (;;) {
    const double left = std::chrono::duration<double, std::milli>(end - Clock::now()).count();
    if (left <= 0) break;
    LinkMustBeUp();
    std::this_thread::sleep_for(
        std::chrono::duration<double, std::milli>(std::min(left, m_timing.Scaled(m_timing.delaySliceMs))));
    m_machine.CheckBreak(0);
    DoPollIo(true);
    if (CheckStop(false) != 0) break;
  }
  LogMessage(kLogStream, "Internal delay end");
}

// ---------------------------------------------------------------------------
// machine operations of the planner

int32_t PositionStream::CheckStop(bool raise) {
  const int status = m_moduleStatus;
  int32_t reason = 0;
  if (status & kStatusDriveError) reason = ERR_EMERGENCY_STOP;
  else if (status & kStatusStopInput) reason = ERR_LIMIT_SWITCH;
  // Inputs of the other modules are watched here; the main module stops
  // by itself.
  if (reason == 0 && m_machine.m_io && m_machine.m_io->PcSideConditionActive()) {
    const int stop = m_machine.m_io->EvaluateStopCondition(true);
    if (stop == STOP_EMERGENCY) reason = ERR_EMERGENCY_STOP;
    else if (stop == STOP_INPUT) reason = ERR_LIMIT_SWITCH;
    if (reason != 0 && m_link) m_link->StopMotion();
  }
  // An arc good that only the voltage tells is watched here.
  if (m_machine.PollArcWatch() && reason == 0) {
    reason = ERR_LIMIT_SWITCH;
    if (m_link) m_link->StopMotion();
  }
  if (reason == 0) return 0;
  // The armed input stopping a probing move is its expected end.
  if (m_probing && reason == ERR_LIMIT_SWITCH) {
    m_probeStopped = true;
    return reason;
  }
  // A cut that stops because its arc went out keeps its outputs and motion
  // as they are, and the watch has done its work.
  if (reason == ERR_LIMIT_SWITCH && m_machine.ArcLost()) {
    reason = ERR_ARC_GOOD_LOST;
    m_machine.WatchArc(false);
  }
  m_machine.ReportStop(reason);
  if (raise && m_machine.m_execMode < 1) throw Error_t(reason);
  return reason;
}

void PositionStream::BeginMotion() {
  CheckStop(true);
  // The supervisor switches the drives on, or tells why the machine must
  // not move.
  if (MachineIo* safety = m_machine.m_safety) {
    const int refused = safety->BeginMotion(m_machine.m_allowOpenDoor);
    if (refused != 0) {
      m_machine.ReportStop(refused);
      throw Error_t(refused);
    }
  }
}

void PositionStream::ClearRequested() {
  if (!m_link) return;
  if (m_waiting || m_machine.HasBits(RealMachine::kBusy | RealMachine::kPaused)) {
    m_clearPending = true;
    return;
  }
  LogMessage(kLogStream, "ClearBuffer for the supervisor");
  ClearAfterStop();
}

void PositionStream::CheckMayMove() { CheckStop(true); }

void PositionStream::CheckBreak() { m_machine.CheckBreak(0); }

void PositionStream::Pause(int32_t mCode) { m_machine.PauseRun(mCode); }

void PositionStream::SetOutput(int32_t output, bool on, bool immediate) {
  m_machine.SwitchOutput(output, on, immediate);
}

void PositionStream::SpindleChanged(bool on, bool clockwise, double rpm) {
  const bool wasOn = m_machine.m_spindleOn, wasCw = m_machine.m_spindleCw;
  m_machine.m_spindleOn = on;
  m_machine.m_spindleCw = clockwise;
  m_machine.m_spindleRpm = rpm;
  // The relays switch where the program switches the spindle.
  if (ModuleControl* io = m_machine.m_io; io && (on != wasOn || clockwise != wasCw)) {
    io->SetOutput(SIG_OUT_SPINDLE_FORWARD, on && clockwise, false);
    io->SetOutput(SIG_OUT_SPINDLE_REVERSE, on && !clockwise, false);
  }
  UpdatePwm(true);
}

void PositionStream::UpdatePwm(bool onTheFly) {
  const MachineConfig& cfg = GetMachineConfig();
  double s = m_machine.m_spindleRpm;
  const double toolMax = m_machine.m_toolMaxRpm;
  if (toolMax != 0 && s > toolMax) {
    s = toolMax;
    m_machine.m_spindleRpm = s;
    LogMessage(kLogStreamInfo, "UpdatePwm S limited to toolMaxS=%f", toolMax);
  }
  // An override that would now pass the tool's maximum is taken down.
  if (toolMax != 0 && toolMax < m_machine.m_spindleOverride * s / 100) m_machine.ChangeSpindleOvr(m_machine.m_spindleOverride);
  LogMessage(kLogStreamInfo, "UpdatePwm nom=%f act=%f fly=%d time=%f", m_machine.m_spindleRpm.load(), s,
             onTheFly ? 1 : 0, cfg.spindleRamp);
  double pwm = 0;
  if (m_machine.m_spindleOn && std::fabs(s) >= 0.1) {
    s = std::min(std::fabs(s), cfg.maxS);
    const double span = cfg.maxS - cfg.minS;
    pwm = cfg.minPwmDuty + (cfg.maxPwmDuty - cfg.minPwmDuty) * (span > 0 ? (s - cfg.minS) / span : 1.0);
    pwm = std::clamp(pwm, 0.0, 100.0);
  }
  m_machine.SetPwmPercent(pwm, onTheFly);
  // A drive on Modbus takes the speed itself through the PWM signal's
  // register pin (sent in the next poll cycle, not in step with the motion).
  if (ModuleControl* io = m_machine.m_io; io && GetModbus().IsConfigured())
    WriteRegisterOutput(io->Mapping(), GetModbus(), SIG_OUT_PWM, m_machine.m_spindleOn ? std::fabs(s) : 0.0);
}

bool PositionStream::Home(int32_t axes, bool flag, Coordinates& position) {
  // A failed homing ends the program: it must not go on from a position
  // that is not known.
  const bool ok = m_machine.ExecuteHome(axes, flag);
  position = ActPos();
  if (!ok) throw Error_t(ERR_USER_BREAK);
  return true;
}

void PositionStream::ArmStopCondition(const Condition* condition) {
  if (!condition) {
    // A stop input other than the condition's ended the move: that stop is
    // raised into the program.
    const bool other = m_probing && m_probeStopped && !ArmedInputFired();
    m_probing = false;
    m_probeStopped = false;
    DisarmInput();
    if (other) {
      m_machine.ReportStop(ERR_LIMIT_SWITCH);
      if (m_machine.m_execMode < 1) throw Error_t(ERR_LIMIT_SWITCH);
    }
    return;
  }
  m_probeStopped = false;
  m_probing = true;
  // The first input test of the condition decides; NOT in front of it turns
  // the level round.
  const Condition& c = *condition;
  for (size_t i = 0; i < c.size(); ++i) {
    if (c[i].kind != ConditionTerm::INPUT) continue;
    bool level = c[i].value != 0;
    if (i + 1 < c.size() && c[i + 1].kind == ConditionTerm::LOGIC && c[i + 1].op == ConditionTerm::NOT) level = !level;
    if (!ArmInput(c[i].number, level)) LogMessage(kLogStreamError, "UNTIL input %d has no pin", c[i].number);
    return;
  }
  LogMessage(kLogStreamError, "UNTIL without an input test: the move runs to its end");
}

bool PositionStream::ArmInput(int signal, bool level) {
  ModuleControl* io = m_machine.m_io;
  if (!io) return false;
  int slot = 0;
  while (slot < kArmedMax && m_armed[slot] >= 0 && m_armed[slot] != signal) ++slot;
  if (slot == kArmedMax) return false;
  if (!io->AddStopInput(signal, level, false)) return false;
  // A fresh set of inputs once the last one has done its work.
  if (slot == 0)
    for (int k = 1; k < kArmedMax; ++k) m_lastArmed[k] = -1;
  m_armed[slot] = m_lastArmed[slot] = signal;
  m_lastLevel[slot] = level;
  io->SetStopCondition();
  LogMessage(kLogStream, "Stop condition armed: input %d level %d", signal, level ? 1 : 0);
  return true;
}

void PositionStream::DisarmInput() {
  ModuleControl* io = m_machine.m_io;
  bool any = false;
  for (int k = 0; k < kArmedMax; ++k) {
    if (m_lastArmed[k] >= 0 || m_armed[k] >= 0) any = true;
    if (io && m_armed[k] >= 0) io->RemoveStopInput(m_armed[k]);
    m_armed[k] = m_lastArmed[k] = -1;
  }
  // The limit switches and the emergency stop, as before.
  if (io && any) m_machine.ArmStopCondition();
}

bool PositionStream::ArmedInputFired() const {
  ModuleControl* io = m_machine.m_io;
  if (!io) return false;
  for (int k = 0; k < kArmedMax; ++k)
    if (m_lastArmed[k] >= 0 && io->GetInput(m_lastArmed[k]) == m_lastLevel[k]) return true;
  return false;
}

bool PositionStream::ResetAxis(int axis, double mm) {
  LinkMustBeUp();
  bool any = false;
  const int32_t steps = m_comp.ForwardSteps(axis, mm) + static_cast<int32_t>(std::lround(m_offset.v[axis]));
  if (m_held >= 0 && m_channels.axis[m_held] == axis) m_held = -1;
  // Every side of the axis gets the same count: a gantry is square again.
  for (int c = 0; c < m_channels.count; ++c) {
    if (m_channels.axis[c] != axis) continue;
    m_chanShift[c] = 0;
    const int32_t own = ChannelSign(c) * steps;
    if (!m_link->SetAxisPosition(c, own)) return false;
    m_lastSteps[c] = m_actSteps[c] = own;
    any = true;
  }
  if (!any) return false;
  m_lastPoint.v[axis] = mm;
  {
    std::lock_guard<std::mutex> lock(m_posMutex);
    m_actPos.v[axis] = mm;
  }
  // An answer older than the setting would take the position back.
  for (int i = 0; i < 200 && m_link->Up(); ++i) {
    m_link->RequestStatus();
    std::this_thread::sleep_for(std::chrono::microseconds(kAnswerWaitUs));
    uint16_t ref = 0;
    int32_t now[ModuleLink::kChannels] = {};
    if (!m_link->ReadPosition(ref, now, m_channels.count)) continue;
    bool all = true;
    for (int c = 0; c < m_channels.count; ++c)
      if (m_channels.axis[c] == axis && now[c] != ChannelSign(c) * steps) all = false;
    if (all) {
      GetInternalActPos();
      return true;
    }
  }
  return false;
}

void PositionStream::HoldChannel(int c) {
  if (m_held >= 0) {
    const int a = m_channels.axis[m_held];
    m_chanShift[m_held] = m_heldSteps - ChannelSign(m_held) * (m_comp.ForwardSteps(a, m_lastPoint.v[a]) +
                                                               static_cast<int32_t>(std::lround(m_offset.v[a])));
  }
  m_held = c >= 0 && c < m_channels.count && m_channels.axis[c] >= 0 ? c : -1;
  if (m_held < 0) return;
  m_heldSteps = m_lastSteps[m_held];
  // The axis is now where its moving side stands.
  GetInternalActPos();
  const int a = m_channels.axis[m_held];
  m_lastPoint.v[a] = ActPos().v[a];
}

// ---------------------------------------------------------------------------
// queries

Coordinates PositionStream::ActualPosition() { return ActPos(); }

Coordinates PositionStream::ActPos() const {
  std::lock_guard<std::mutex> lock(m_posMutex);
  return m_actPos;
}

double PositionStream::TakeTravelled() {
  std::lock_guard<std::mutex> lock(m_posMutex);
  const double d = m_travelled;
  m_travelled = 0;
  return d;
}

bool PositionStream::SwitchThc(bool on, double volts, double zLowMm, double zHighMm, bool automatic) {
  if (!m_machine.HasThcOption()) return false;
  InternalWaitStop(false);
  if (on) {
    m_machine.StoreThc(volts, zLowMm, zHighMm, automatic);
    return m_machine.SetThcState(true);
  }
  const bool ok = m_machine.SetThcState(false);
  // What the module moved on its own is where the path goes on from.
  InternalWaitStop(true);
  DoPollIo(true);
  return ok;
}

void PositionStream::ThcNominalVelocity(double velocityMmPerS) {
  if (!m_link || !(m_vmax > 0)) return;
  const auto share = static_cast<uint32_t>(std::lround(std::clamp(velocityMmPerS / m_vmax, 0.0, 1.0) * 65535.0));
  LogMessage(kLogStream, "NomVelocity THC %x", share);
  if (!m_link->SetThcVelocity(share)) LogMessage(kLogStreamError, "NomVelocity THC refused");
}

void PositionStream::WatchArc(bool on) {
  if (!m_machine.HasThcOption()) return;
  // The torch goes out where the program puts it out.
  if (!on) InternalWaitStop(false);
  m_machine.WatchArc(on);
}
