#include "simulation/simulation.h"

#include <time.h>

#include <algorithm>
#include <cmath>

#include "base/assertion.h"
#include "program/errors.h"
#include "interpreter/gcodeparser.h"
#include "base/logging.h"
#include "interpreter/macroparser.h"
#include "interpreter/programrun.h"
#include "machine/machineconfig.h"
#include "machine/machinestate.h"
#include "motion/motionlimits.h"
#include "machine/statechange.h"
#include "machine/transformation.h"

namespace {
constexpr int32_t kLogSim = LOGCAT_TRAJECTORY | 3;
constexpr int32_t kLogSimTrace = LOGCAT_TRAJECTORY | 1;
// A dwell whose remainder differs from a whole tick by rounding only still
// takes that tick.
constexpr double kTickSlack = 1e-9;

double WallNow() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

void SleepUntil(double wall) {
  timespec ts;
  ts.tv_sec = static_cast<time_t>(wall);
  ts.tv_nsec = static_cast<long>((wall - static_cast<double>(ts.tv_sec)) * 1e9);
  if (ts.tv_nsec >= 1000000000L) ts.tv_nsec = 999999999L;
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
  }
}

Coordinates Scaled(const Coordinates& d, double f) {
  Coordinates r;
  for (int i = 0; i < kAxisCount; ++i) r.v[i] = d.v[i] * f;
  return r;
}

double WrapDegrees(double d) {
  while (d > 180.0) d -= 360.0;
  while (d < -180.0) d += 360.0;
  return d;
}

struct LineCtx {
  Coordinates a, b;
};
Coordinates LinePoint(const void* ctx, double f) {
  const auto* l = static_cast<const LineCtx*>(ctx);
  Coordinates p;
  for (int i = 0; i < kAxisCount; ++i) p.v[i] = l->a.v[i] + (l->b.v[i] - l->a.v[i]) * f;
  return p;
}

struct ArcCtx {
  const ArcGeometry* arc;
  bool tangential;
  double cOffset;
};
Coordinates ArcCtxPoint(const void* ctx, double f) {
  const auto* a = static_cast<const ArcCtx*>(ctx);
  Coordinates p = ArcPoint(*a->arc, f);
  if (a->tangential) p.v[5] = a->arc->startAngle + a->arc->sweep * std::min(f, 1.0) + a->cOffset;
  return p;
}
}  // namespace

// ---------------------------------------------------------------------------
// SimClock

SimClock::SimClock(double speed) : m_speed(speed < 0 ? 0 : speed) {}

void SimClock::SetSpeed(double speed) { m_speed.store(speed < 0 ? 0 : speed, std::memory_order_relaxed); }

void SimClock::Reset() {
  m_simulated.store(0, std::memory_order_relaxed);
  m_ticks.store(0, std::memory_order_relaxed);
  m_anchorSpeed = -1;
}

void SimClock::Resync() {
  m_anchorWall = WallNow();
  m_anchorSim = m_simulated.load(std::memory_order_relaxed);
  m_anchorSpeed = Speed();
}

void SimClock::Tick(double seconds) {
  const double sim = m_simulated.load(std::memory_order_relaxed) + seconds;
  m_simulated.store(sim, std::memory_order_relaxed);
  m_ticks.fetch_add(1, std::memory_order_relaxed);
  const double speed = Speed();
  if (speed <= 0) return;
  if (speed != m_anchorSpeed) {
    Resync();
    m_anchorSim -= seconds;  // this tick still sleeps
  }
  const double deadline = m_anchorWall + (sim - m_anchorSim) / speed;
  const double now = WallNow();
  // Far behind (a slow host, a debugger): start afresh instead of rushing.
  if (deadline < now - 0.2) {
    Resync();
    return;
  }
  if (deadline > now) SleepUntil(deadline);
}

void SimClock::IdleWait(double seconds) {
  const double speed = Speed();
  double wall = speed > 0 ? seconds / speed : 0;
  wall = std::clamp(wall, 0.001, 1.0);
  SleepUntil(WallNow() + wall);
  m_anchorSpeed = -1;  // the wall clock ran without simulated time
}

// ---------------------------------------------------------------------------
// Simulation

Simulation::Simulation(GCodeParser* parser, SimClock* clock)
    : WorkerThread("Simulation", 50),
      m_parser(parser),
      m_clock(clock ? clock : &m_ownClock),
      m_programmedS(GetMachineConfig().defaultRPM) {
  SetMachineState(&simState);
}

Simulation::~Simulation() { StopThread(); }

MachineState& Simulation::State() { return m_machineState ? *m_machineState : simState; }

const Transformation* Simulation::Trans() {
  static const Transformation identity;
  const Transformation* t = State().GetTransformation();
  return t ? t : &identity;
}

Coordinates Simulation::ToMachine(const Coordinates& p) { return Trans()->ToMachine(p); }
Coordinates Simulation::ToProgram(const Coordinates& m) { return Trans()->ToProgram(m); }

void Simulation::SetPos(const Coordinates& p) {
  std::lock_guard<std::mutex> lock(m_posMutex);
  m_simPos = p;
}

Coordinates Simulation::Pos() {
  std::lock_guard<std::mutex> lock(m_posMutex);
  return m_simPos;
}

void Simulation::SetCurrLine() {
  State().SetCurrLine(m_tag);
  m_cursor.store(m_tag, std::memory_order_relaxed);
}

void Simulation::TickAndCheck() {
  m_clock->Tick(kTick);
  CheckBreak(0);
}

// ---- FrontEnd ------------------------------------------------------------

void Simulation::AddLine(const Coordinates& end, double feed, bool rapid, const Condition*, bool noKnife) {
  const bool tangential = TangentialKnifeActive();
  Coordinates m = ToMachine(end);
  if (tangential && !noKnife) m.v[5] = end.v[5];
  Coordinates start = Pos();
  Coordinates d = m - start;
  const double minStep = MinimumStep();
  if (Length9(d) < minStep) return;
  SetCurrLine();
  if (!rapid && !(feed > 0)) rapid = true;  // no feed given: the fastest the axes allow

  if (rapid) {
    if (tangential && std::fabs(d.v[5]) > minStep) {
      d.v[5] = WrapDegrees(d.v[5]);
      start.v[5] = m.v[5] - d.v[5];
    }
    const double v = RapidVelocity(d);
    m_velocity = v;
    m_maxVelocity = v;
    m_actualVelocity = std::min(v * m_feedOverride, v);
  } else {
    if (tangential) {
      // The knife turns on the spot before the cut.
      start.v[5] = m.v[5];
      SetPos(start);
      d.v[5] = 0;
    }
    const double len = Length9(d);
    m_velocity = feed;
    m_maxVelocity = len > 0 ? PathVelocityLimit(1.5 * feed, Scaled(d, 1.0 / len)) : 1.5 * feed;
    m_actualVelocity = std::min(feed * m_feedOverride, m_maxVelocity.load());
  }

  const double length = Length9(d);
  if (length >= minStep) {
    if (!rapid && Trans()->IsMappingOn()) {
      LineCtx ctx{State().progPos, end};
      const double progLen = Length9(end - State().progPos);
      const double scale = Trans()->GetScale() > 0 ? Trans()->GetScale() : 1.0;
      const double step = progLen > 0 ? feed * kTick / scale / progLen : 1.0;
      Subdivide(&LinePoint, &ctx, step, feed);
    } else {
      AddLineInternal(start, Scaled(d, 1.0 / length), length, rapid);
    }
  }
  State().progPos = end;
  SetPos(m);
}

void Simulation::AddArc(const Coordinates& end, const double centre[3], double feed, int32_t plane, bool clockwise) {
  if (!(feed > 0)) throw Error_t(-1041);
  const bool tangential = TangentialKnifeActive();
  const Coordinates startP = State().progPos;
  const ArcGeometry arc = MakeArc(startP, end, centre, plane, clockwise);
  double cTime = 0;
  if (tangential) {
    if (plane != 2) throw Error_t(-1117);
    const double vc = GetMachineConfig().axis[5].maxVelocity;
    if (vc > 0) cTime = std::fabs(arc.sweep) / vc;
  }
  const Transformation* t = Trans();
  const uint32_t bits = CheckArcLimits(State(), *t, arc);
  if (bits) throw Error_t((bits & kLimitKeepoutBit) ? -1062 : -1052);

  const double scale = t->GetScale() > 0 ? t->GetScale() : 1.0;
  const double dz = end.v[arc.normal] - startP.v[arc.normal];
  const double planar = ArcPlanarLength(arc);
  const double length = std::hypot(planar, dz) * scale;
  const double minStep = MinimumStep();
  if (length < minStep) return;
  const double rot = std::fabs(arc.sweep);
  if (rot < 90.0 && (1.0 - std::cos(rot * kDegToRad)) * arc.radius * scale < minStep) {
    AddLine(end, feed, false, nullptr, false);
    return;
  }
  const double T = std::max(length / feed, cTime);
  const double cOffset = arc.endAngle <= arc.startAngle ? -90.0 : 90.0;
  SetCurrLine();

  m_velocity = feed;
  if (t->IsMappingOn()) {
    m_maxVelocity = 1.5 * feed;
    m_actualVelocity = std::min(feed * m_feedOverride, m_maxVelocity.load());
    ArcCtx ctx{&arc, tangential, cOffset};
    Subdivide(&ArcCtxPoint, &ctx, kTick / T, feed);
  } else {
    m_maxVelocity = CircularVelocityLimit(plane, planar * scale, dz * scale, arc.radius * scale, 1.5 * feed,
                                          t->IsDistorted());
    m_actualVelocity = std::min(feed * m_feedOverride, m_maxVelocity.load());
    StepArc(arc, T, cOffset);
  }
  Coordinates m = ToMachine(end);
  if (tangential) m.v[5] = arc.endAngle + cOffset;
  SetPos(m);
  State().progPos = end;
}

void Simulation::StepArc(const ArcGeometry& arc, double T, double cOffset) {
  const bool tangential = TangentialKnifeActive();
  const double velocity = m_velocity;
  auto fractionPerTick = [&] { return velocity > 0 ? kTick / T * m_actualVelocity / velocity : 0.0; };
  double df = fractionPerTick();
  double f = df > 0 ? m_timeCarry / kTick * df : 0.0;
  while (f < 1.0 - 1e-12) {
    Coordinates m = ToMachine(ArcPoint(arc, f));
    if (tangential) m.v[5] = arc.startAngle + arc.sweep * f + cOffset;
    SetPos(m);
    df = fractionPerTick();
    f += df;
    TickAndCheck();
  }
  m_timeCarry = df > 0 ? std::max(0.0, (f - 1.0) / df * kTick) : 0.0;
}

void Simulation::AddLineInternal(const Coordinates& start, const Coordinates& u, double length, bool rapid) {
  QASSERT(length > 0, "AddLineInternal: zero length");
  QASSERT(m_timeCarry >= 0, "AddLineInternal: negative time carry");
  if (!(length > 0)) return;
  if (!(m_timeCarry >= 0)) m_timeCarry = 0;
  if (!rapid) {
    const double limit = PathVelocityLimit(m_maxVelocity, u);
    m_maxVelocity = limit;
    if (m_actualVelocity > limit) m_actualVelocity = limit;
  }
  double s = m_timeCarry * m_actualVelocity;
  // A zero velocity (feed override 0) holds the move: ticks pass, CheckBreak
  // still serves the operator.
  // A remainder below a nanometre is rounding, not another tick.
  while (s < length - 1e-9) {
    SetPos(start + Scaled(u, s));
    s += m_actualVelocity * kTick;
    TickAndCheck();
  }
  const double v = m_actualVelocity;
  m_timeCarry = v > 0 ? std::max(0.0, (s - length) / v) : 0.0;
}

void Simulation::Subdivide(PointFn point, const void* ctx, double fractionStep, double feed) {
  const Transformation* t = Trans();
  Coordinates last = Pos();
  double done = 0;
  double inc = fractionStep > 0 ? std::min(fractionStep, 1.0) : 1.0;
  int retries = 0;
  while (done < 1.0) {
    const double f = std::min(1.0, done + inc);
    const Coordinates m = t->ToMachine(point(ctx, f));
    const Coordinates d = m - last;
    const double dist = Length9(d);
    double tickDist = m_actualVelocity * kTick;
    if (!(tickDist > 0)) tickDist = feed * kTick;
    const bool finalPiece = f >= 1.0;
    if (!finalPiece && dist > 0 && (dist > 1.4 * tickDist || dist < 0.7 * tickDist) && retries < 30) {
      inc *= tickDist / dist;
      ++retries;
      continue;
    }
    retries = 0;
    if (dist > 0) {
      const int32_t code = CheckSegmentLimits(State(), last, m);
      if (code) throw Error_t(code);
      AddLineInternal(last, Scaled(d, 1.0 / dist), dist, false);
      SetPos(m);
    }
    last = m;
    done = f;
  }
}

void Simulation::AddCmd(const StateChange& change) {
  SetCurrLine();
  MachineState& state = State();
  switch (change.code) {
    case 'S': {
      double s = change.arg;
      const double maxRpm = m_maxRpm;
      if (maxRpm != 0) {
        s = std::min(s, maxRpm);
        if (s * m_spindleOverride / 100.0 > maxRpm) m_spindleOverride = 100.0;
      }
      m_programmedS = s;
      if (state.GetFlag(SF_SPINDLE_CW)) m_spindleSpeed = s;
      else if (state.GetFlag(SF_SPINDLE_CCW)) m_spindleSpeed = -s;
      break;
    }
    case 'G':
      if (change.num == 4) {
        if (change.arg > 0) {
          m_timeCarry += change.arg;
          while (m_timeCarry >= kTick - kTickSlack) {
            m_timeCarry = std::max(0.0, m_timeCarry - kTick);
            TickAndCheck();
          }
        }
      } else if (change.num == 74) {
        HomeAxes(change.arg);
      }
      break;
    case 'M':
      if (change.num == 0 || change.num == 1) Pause();
      else if (change.num == 3) m_spindleSpeed = m_programmedS.load();
      else if (change.num == 4) m_spindleSpeed = -m_programmedS.load();
      else if (change.num == 5) m_spindleSpeed = 0;
      break;
    default:
      break;
  }
  ExecuteStateChange(state, change);
}

void Simulation::Pause() {
  LogMessage(kLogSim, "Simulation pause line=%d", m_tag);
  SetFlag(kPaused);
  ClearFlag(kBusy);
  while (HasFlag(kPaused)) {
    m_clock->IdleWait(0.1);
    CheckBreak(0);
  }
}

void Simulation::HomeAxes(double arg) {
  const uint32_t mask = HomingMask(arg);
  SetPos(HomedPosition(Pos(), mask));
  LogMessage(kLogSim, "Simulation home mask=%X", mask);
}

void Simulation::SetOffsetPosition(const double position[3], bool) {
  for (int i = 0; i < 3; ++i) State().startPos[i] = position[i];
}

void Simulation::WaitForMachine() { State().progPos = ToProgram(Pos()); }

int32_t Simulation::GetBackEndKind() { return BACKEND_SIMULATION; }

void Simulation::SetMaxRpm(double rpm) { m_maxRpm = rpm; }

void Simulation::GetPosition(Coordinates& position) { position = Pos(); }

// ---- BackEnd -------------------------------------------------------------

int32_t Simulation::CheckBreak(int32_t) {
  DispatchPending();
  const uint32_t flags = m_flags.load(std::memory_order_acquire);
  if (flags & (kStopRequested | kTerminate)) throw Error_t(ERR_USER_BREAK);
  return static_cast<int32_t>(flags);
}

void Simulation::StartWorker() { StartThread(); }
void Simulation::RunProgram() { Post(workcmd::Run()); }
void Simulation::ExecuteText(const std::string& text) { Post(workcmd::Run(&text)); }
void Simulation::Stop(bool flag) { Post(workcmd::Stop(flag)); }
void Simulation::Continue() { Post(workcmd::Continue()); }

void Simulation::Jog(int32_t axis, bool positive, double step, double velocity, bool flag) {
  SetTag(0);
  Post(workcmd::Jog(axis, positive, step, velocity, flag));
}

void Simulation::JogTwoAxes(int32_t axis, bool positive, int32_t axis2, bool positive2, double step,
                            double velocity, bool flag) {
  SetTag(0);
  Post(workcmd::JogTwoAxes(axis, positive, axis2, positive2, step, velocity, flag));
}

void Simulation::MoveTo(const Coordinates& target, double value2, double velocity, bool direct) {
  SetTag(0);
  Post(workcmd::MoveTo(target, value2, velocity, direct));
}

void Simulation::StopJog() { Post(workcmd::StopJog()); }
void Simulation::SetThc(bool on) { Post(workcmd::SetThc(on)); }

void Simulation::SetChannel(int32_t channel, bool on) {
  if (channel >= 0 && channel < kSignalCount) m_outputs[channel].store(on ? 1 : 0, std::memory_order_relaxed);
}

bool Simulation::GetSignal(int32_t signal) {
  if (signal == 1 || signal < 0 || signal >= kSignalCount) return false;
  return m_inputs[signal].load(std::memory_order_relaxed) != 0;
}

bool Simulation::GetOutput(int32_t output) {
  if (output < 0 || output >= kSignalCount) return false;
  return m_outputs[output].load(std::memory_order_relaxed) != 0;
}

void Simulation::SetInput(int32_t signal, bool on) {
  if (signal >= 0 && signal < kSignalCount) m_inputs[signal].store(on ? 1 : 0, std::memory_order_relaxed);
}

void Simulation::SetFeedOverride(double percent) {
  if (!std::isfinite(percent) || percent < 0) percent = 0;
  m_feedOverride = percent / 100.0;
  m_actualVelocity = std::min(m_velocity * m_feedOverride, m_maxVelocity.load());
}

void Simulation::SetSpindleOverride(double percent) {
  if (!std::isfinite(percent) || percent < 0) percent = 0;
  const double maxRpm = m_maxRpm, s = m_programmedS;
  if (maxRpm != 0 && s > 0 && s * percent / 100.0 > maxRpm) percent = maxRpm / s * 100.0;
  m_spindleOverride = percent;
}

double Simulation::GetFeedOverride() { return m_feedOverride * 100.0; }
double Simulation::GetSpindleOverride() { return m_spindleOverride; }
double Simulation::GetActualVelocity() { return m_velocity * 60.0; }
double Simulation::GetSpindleSpeed() { return m_spindleSpeed; }
int32_t Simulation::CheckMachineReady() { return -1; }
int32_t Simulation::GetCursor() { return m_cursor.load(std::memory_order_relaxed); }

void Simulation::SetSimPosition(const Coordinates& position) {
  if (HasFlag(kBusy | kPaused)) return;
  SetPos(position);
}

std::string Simulation::LastErrorText() const {
  std::lock_guard<std::mutex> lock(m_textMutex);
  return m_lastErrorText;
}

// ---- worker --------------------------------------------------------------

bool Simulation::IsWorkerBusy() const { return HasFlag(kBusy | kPaused); }

bool Simulation::ShouldTerminate() const { return TerminateRequested() || HasFlag(kTerminate); }

void Simulation::ExecuteCommand(const WorkCmdData& cmd) {
  switch (cmd.code) {
    case WCMD_RUN:
      RunCommand(cmd);
      break;
    case WCMD_STOP:
    case WCMD_STOP_JOG:
      if (HasFlag(kBusy | kPaused)) {
        SetFlag(kStopRequested);
        ClearFlag(kPaused);
        LogMessage(kLogSim, "Simulation stop requested flags=%X", m_flags.load());
      }
      break;
    case WCMD_CONTINUE:
      if (HasFlag(kPaused)) {
        SetFlag(kBusy);
        ClearFlag(kStopRequested | kPaused | kError | kContinued);
      }
      break;
    case WCMD_TERMINATE:
      SetFlag(kTerminate);
      break;
    case WCMD_JOG:
      JogCommand(cmd);
      break;
    case WCMD_MOVE_TO:
      MoveToCommand(cmd);
      break;
    case WCMD_HANDWHEEL_JOG:
      HandwheelCommand(cmd);
      break;
    case WCMD_THC:
      m_notifier.SetThc(cmd.flag1);
      break;
    default:
      break;
  }
}

void Simulation::RunCommand(const WorkCmdData& cmd) {
  if (HasFlag(kBusy | kPaused)) return;
  ClearFlag(kStopRequested | kPaused | kCompleted | kError);
  SetFlag(kBusy);
  m_timeCarry = 0;
  const bool hasText = cmd.text != nullptr;
  const std::string text = hasText ? *cmd.text : std::string();
  // The text is copied: release the operator interface before the run.
  ReplyNow();
  LogMessage(kLogSim, "Simulation run %s", hasText ? "text" : "program");

  const RunOutcome run = RunInterpreter(this, &State(), m_parser, hasText ? &text : nullptr);
  const bool failed = run.failed;
  const int32_t code = run.code;
  const std::string& report = run.report;
  m_velocity = 0;
  m_actualVelocity = 0;
  {
    std::lock_guard<std::mutex> lock(m_textMutex);
    m_lastErrorText = failed ? report : std::string();
  }
  m_lastErrorCode.store(failed ? (code ? code : ERR_MAIN_PROGRAM) : 0, std::memory_order_release);
  ClearFlag(kBusy);
  if (failed) SetFlag(kError);
  if (!HasFlag(kStopRequested)) SetFlag(kCompleted);
  LogMessage(kLogSim, "Simulation run end flags=%X error=%d", m_flags.load(), failed ? code : 0);
  m_runsFinished.fetch_add(1, std::memory_order_acq_rel);
}

void Simulation::JogCommand(const WorkCmdData& cmd) {
  if (HasFlag(kBusy | kPaused)) return;
  ClearFlag(kStopRequested | kPaused | kCompleted | kError);
  SetFlag(kBusy);
  ReplyNow();
  try {
    int axes[2] = {cmd.arg1, cmd.arg2};
    bool dirs[2] = {cmd.flag1, cmd.flag2};
    const int count = (cmd.arg2 >= 0 && cmd.arg2 < kAxisCount && cmd.arg2 != cmd.arg1) ? 2 : 1;
    if (cmd.arg1 < 0 || cmd.arg1 >= kAxisCount) throw Error_t(ERR_AXIS_NOT_SUPPORTED);
    MachineState& state = State();
    const Coordinates cur = Pos();
    Coordinates target = cur;
    const double step = cmd.value1;
    if (step > 0) {
      Coordinates prog = ToProgram(cur);
      for (int k = 0; k < count; ++k) {
        const int a = axes[k];
        const double dir = dirs[k] ? 1.0 : -1.0;
        double t = prog.v[a] + dir * step;
        if (cmd.flag3) {
          // Onto the grid of the step: the next multiple in the direction of motion.
          const double n = prog.v[a] / step;
          t = dirs[k] ? (std::floor(n + 1e-9) + 1.0) * step : (std::ceil(n - 1e-9) - 1.0) * step;
        }
        prog.v[a] = t;
      }
      target = ToMachine(prog);
    } else {
      // Continuous: towards the end of the travel until StopJog.
      for (int k = 0; k < count; ++k) {
        const int a = axes[k];
        double limit;
        if (AxisTravelLimit(state, a, dirs[k], limit)) target.v[a] = limit;
        else target.v[a] = cur.v[a] + (dirs[k] ? 1e5 : -1e5);
      }
    }
    if (SoftLimitsActive(state)) ClampToSoftLimits(state, target);
    double sum = 0;
    for (int k = 0; k < count; ++k) sum += GetMachineConfig().axis[axes[k]].maxVelocity;
    double speed = cmd.value2;
    if (!(speed > 0) || speed > sum) speed = sum;
    const Coordinates d = target - cur;
    const double len = Length9(d);
    if (len > 0) speed = PathVelocityLimit(speed, Scaled(d, 1.0 / len));
    if (state.GetSoftLimitsEnabled() && SegmentEntersKeepout(cur, target)) throw Error_t(-1062);
    LogMessage(kLogSimTrace, "Simulation jog axis=%d step=%f v=%f", cmd.arg1, step, speed);
    MoveMachineTo(target, speed);
  } catch (const Error_t& e) {
    if (e.code != ERR_USER_BREAK) {
      LogMessage(kLogSim, "Simulation jog error=%d", e.code);
      RecordManualMoveError(e.code);
    }
  }
  EndManualMove();
}

void Simulation::MoveToCommand(const WorkCmdData& cmd) {
  if (HasFlag(kBusy | kPaused)) return;
  ClearFlag(kStopRequested | kPaused | kCompleted | kError);
  SetFlag(kBusy);
  ReplyNow();
  try {
    MachineState& state = State();
    const Coordinates cur = Pos();
    Coordinates target = cmd.target;
    if (SoftLimitsActive(state)) ClampToSoftLimits(state, target);
    if (state.GetSoftLimitsEnabled() && SegmentEntersKeepout(cur, target)) throw Error_t(-1062);
    // Velocity 0 asks for a rapid move.
    const double speed = cmd.value1 > 0 ? cmd.value1 : RapidVelocity(target - cur);
    LogMessage(kLogSimTrace, "Simulation move to X%1.3f Y%1.3f Z%1.3f v=%f", target.v[0], target.v[1],
               target.v[2], speed);
    MoveMachineTo(target, speed);
  } catch (const Error_t& e) {
    if (e.code != ERR_USER_BREAK) {
      LogMessage(kLogSim, "Simulation move error=%d", e.code);
      RecordManualMoveError(e.code);
    }
  }
  EndManualMove();
}

void Simulation::RecordManualMoveError(int32_t code) {
  SetFlag(kError);
  m_lastErrorCode.store(code, std::memory_order_release);
}

void Simulation::HandwheelJog(bool start, int32_t axis, double step, double velocity, bool flag) {
  SetTag(0);
  Post(workcmd::HandwheelJog(start, axis, step, velocity, flag));
}

void Simulation::SetHandWheelPos(uint32_t position, uint32_t, uint32_t) {
  m_wheelCount.store(position, std::memory_order_release);
}

// The axis follows the wheel: step mm per count from where it stood, held
// within the soft limits, at the jog velocity at most. It runs until the
// wheel is switched off or Stop.
void Simulation::HandwheelCommand(const WorkCmdData& cmd) {
  if (HasFlag(kHandwheel)) {
    // The running loop sees the bit gone and ends.
    LogMessage(kLogSim, "Stop handwheel jog");
    ClearFlag(kHandwheel);
  }
  const int axis = cmd.arg1;
  const double step = cmd.value1;  // mm per count
  if (!cmd.flag1 || HasFlag(kBusy | kPaused) || axis < 0 || axis >= kAxisCount || !(step > 0) ||
      !std::isfinite(step))
    return;
  // Counts from here on move the axis, from the moment the bit shows.
  const uint32_t first = m_wheelCount.load(std::memory_order_acquire);
  ClearFlag(kStopRequested | kPaused | kCompleted | kError);
  SetFlag(kBusy | kHandwheel);
  ReplyNow();
  try {
    MachineState& state = State();
    Coordinates start = ToProgram(Pos());
    if (cmd.flag2) start.v[axis] = std::round(start.v[axis] / step) * step;
    int64_t lowest = 0, highest = 0;
    WheelCountRange(state, axis, ToMachine(start).v[axis], step, lowest, highest);
    const double vmax = GetMachineConfig().axis[axis].maxVelocity;
    const double v = cmd.value2 > 0 ? std::min(cmd.value2, vmax) : vmax;  // mm/s
    LogMessage(kLogSim, "Start handwheel jog a=%d step=%f v=%f", axis, step, v);
    while (HasFlag(kHandwheel)) {
      // The change since the start, whatever way the counter wrapped.
      const int32_t counted = static_cast<int32_t>(m_wheelCount.load(std::memory_order_acquire) - first);
      Coordinates dest = start;
      dest.v[axis] += step * static_cast<double>(std::clamp<int64_t>(counted, lowest, highest));
      const Coordinates cur = Pos();
      const Coordinates d = ToMachine(dest) - cur;
      const double len = Length9(d);
      const double reach = v * m_feedOverride * kTick;
      if (len >= MinimumStep()) SetPos(len <= reach ? cur + d : cur + Scaled(d, reach / len));
      m_actualVelocity = len >= MinimumStep() ? std::min(len, reach) / kTick : 0.0;
      TickAndCheck();
    }
  } catch (const Error_t& e) {
    if (e.code != ERR_USER_BREAK) RecordManualMoveError(e.code);
  }
  ClearFlag(kHandwheel);
  LogMessage(kLogSim, "ExecuteHandwheelJog leave");
  EndManualMove();
}

// A jog or move-to has ended, whatever way: the machine stands where it got to.
void Simulation::EndManualMove() {
  m_velocity = 0;
  m_actualVelocity = 0;
  State().progPos = ToProgram(Pos());
  ClearFlag(kBusy);
}

void Simulation::MoveMachineTo(const Coordinates& target, double speed) {
  const Coordinates cur = Pos();
  const Coordinates d = target - cur;
  const double len = Length9(d);
  if (len < MinimumStep() || !(speed > 0)) return;
  m_velocity = speed;
  m_maxVelocity = 1.5 * speed;
  m_actualVelocity = std::min(speed * m_feedOverride, 1.5 * speed);
  m_timeCarry = 0;
  const Transformation* t = Trans();
  if (t->IsMappingOn()) {
    // The map bends the straight program path: walk it in program space.
    LineCtx ctx{ToProgram(cur), ToProgram(target)};
    const double progLen = Length9(ctx.b - ctx.a);
    Subdivide(&LinePoint, &ctx, progLen > 0 ? speed * kTick / progLen : 1.0, speed);
  } else {
    AddLineInternal(cur, Scaled(d, 1.0 / len), len, false);
  }
  SetPos(target);
  m_actualVelocity = 0;
}
