// The handwheel jog: the axis follows the counts of a handwheel, step mm per
// count. The module moves the axis by itself towards the target the worker
// sends every 10 ms round, at the speed the worker commands: the position
// error closed by a fixed gain, a feed-forward from the wheel's own speed,
// braking for the soft limits and a bounded change per round.
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <vector>

#include "base/logging.h"
#include "machine/machineconfig.h"
#include "machine/machinestate.h"
#include "machine/transformation.h"
#include "motion/motionlimits.h"
#include "program/errors.h"
#include "realmachine/realmachine.h"

namespace {
constexpr int32_t kLogWheel = LOGCAT_TRAJECTORY | 3;
constexpr int32_t kLogWheelRound = LOGCAT_TRAJECTORY | 6;  // every round
constexpr int32_t kErrNetwork = -1201;
constexpr double kRoundMs = 10;           // one round of the loop
constexpr int kCheckEvery = 4;            // rounds: one of them checks stops and the mailbox
constexpr double kGain = 6.0;             // 1/s: velocity per mm of position error
constexpr double kFeedForward = 0.7;      // share of the wheel's own speed
constexpr double kBrakeShare = 0.7;       // of the speed that would just stop at a soft limit
constexpr int kFeedForwardSamples = 5;    // samples without a count before the feed-forward is gone
constexpr double kFractionOne = 1073741824.0;  // 2^30: the whole jog velocity
constexpr double kTicksPerSecond = 1e7;   // the wheel's timestamps count 100 ns

Coordinates Scaled(Coordinates c, double k) {
  for (double& x : c.v) x *= k;
  return c;
}

// Moving sum over the last n values.
class MovingSum {
 public:
  MovingSum(int n, int64_t prime) : values_(static_cast<size_t>(n), prime), sum_(prime * n) {}
  // Takes value in; the change of the sum.
  int64_t Push(int64_t value) {
    const int64_t change = value - values_[at_];
    values_[at_] = value;
    at_ = (at_ + 1) % values_.size();
    sum_ += change;
    return change;
  }
  double Mean() const { return static_cast<double>(sum_) / static_cast<double>(values_.size()); }

 private:
  std::vector<int64_t> values_;
  size_t at_ = 0;
  int64_t sum_;
};
}  // namespace

void RealMachine::HandwheelJog(bool start, int32_t axis, double step, double velocity, bool flag) {
  Post(workcmd::HandwheelJog(start, axis, step, velocity, flag));
}

void RealMachine::SetHandWheelPos(uint32_t position, uint32_t timestamp, uint32_t endTime) {
  LogMessage(LOGCAT_TRAJECTORY | 7, "SetHandWheelPos p=%X ts=%X et=%X", position, timestamp, endTime);
  std::lock_guard<std::mutex> lock(m_wheelMutex);
  m_wheel = WheelSample{position, timestamp, endTime};
}

RealMachine::WheelSample RealMachine::WheelPos() const {
  std::lock_guard<std::mutex> lock(m_wheelMutex);
  return m_wheel;
}

void RealMachine::StopHandwheel() {
  if (!HasBits(kHandwheel)) return;
  LogMessage(kLogWheel, "Stop handwheel jog");
  // The module brakes; the loop sees the bit gone, waits for the standstill
  // with the module's buffer cleared, and the operation ends.
  if (m_stream.Link()) m_stream.Link()->StopMotion();
  ClearBits(kHandwheel);
}

void RealMachine::HandwheelCommand(const WorkCmdData& cmd) {
  // A running jog ends first; a new one needs the machine idle, so it comes
  // again once the old one has ended.
  StopHandwheel();
  if (!cmd.flag1 || HasBits(kBusy | kPaused)) return;
  const int axis = cmd.arg1;
  const double step = cmd.value1;  // mm per count
  if (axis < 0 || axis >= kAxisCount || !(step > 0) || !std::isfinite(step)) return;
  ManualOperation("Handwheel", [&] { ExecuteHandwheelJog(axis, step, cmd.value2, cmd.flag2); });
  ClearBits(kHandwheel);
}

void RealMachine::ExecuteHandwheelJog(int axis, double step, double velocity, bool snap) {
  MachineState& act = *GetMachineState();
  const MachineConfig& cfg = GetMachineConfig();
  const Transformation* t = act.GetTransformation();
  auto toMachine = [t](const Coordinates& p) { return t ? t->ToMachine(p) : p; };
  // Under a transformation or the surface map a linear axis moves X, Y and
  // Z together.
  const uint32_t mask = axis < 3 && t && t->IsActive() ? 7u : 1u << axis;
  auto jogged = [mask](int a) { return ((mask >> a) & 1u) != 0; };

  Coordinates start = ToProgram(act, m_stream.ActPos());
  if (snap) start.v[axis] = std::round(start.v[axis] / step) * step;
  double v = velocity > 0 && std::isfinite(velocity) ? velocity : 1e300;  // mm/s
  double accMax = 0;  // mm/s²
  for (int a = 0; a < kAxisCount; ++a)
    if (jogged(a)) {
      v = std::min(v, cfg.axis[a].maxVelocity);
      accMax = std::max(accMax, cfg.axis[a].workAcceler);
    }
  v = LimitJogSpeed(v);
  const double wheelAcc = cfg.wheelAccFactor * accMax / 100.0;  // mm/s²
  if (!(v > 0) || !(wheelAcc > 0)) {
    LogMessage(kLogWheel, "Handwheel jog: no velocity or acceleration (v=%f acc=%f)", v, wheelAcc);
    return;
  }
  // The counts the travel allows either way from the start.
  int64_t lowest = 0, highest = 0;
  WheelCountRange(act, axis, toMachine(start).v[axis], step, lowest, highest);
  // The direction one count moves the machine, per mm of step.
  Coordinates unit;
  {
    Coordinates ahead = start;
    ahead.v[axis] += 1.0;
    unit = toMachine(ahead) - toMachine(start);
    double len = 0;
    for (int a = 0; a < kAxisCount; ++a) len += jogged(a) ? unit.v[a] * unit.v[a] : 0.0;
    len = std::sqrt(len);
    for (int a = 0; a < kAxisCount; ++a) unit.v[a] = jogged(a) && len > 0 ? unit.v[a] / len : 0.0;
  }

  LogMessage(kLogWheel, "Start handwheel jog a=%d step=%f v=%f", axis, step, v);
  ModuleLink* link = m_stream.Link();
  ModuleLink::Wheel setup;
  setup.accMmPerS2 = wheelAcc;
  setup.velMmPerS = v;
  setup.roundS = kRoundMs / 1000.0;
  setup.filterS = std::max(0, cfg.wheelFilterTime) / 1000.0;
  const AxisChannels& channels = m_stream.m_channels;
  for (int c = 0; c < channels.count; ++c) {
    const int a = channels.axis[c];
    if (a >= 0 && jogged(a) && cfg.axis[a].resolution != 0) setup.velStepsPerS[c] = v / std::fabs(cfg.axis[a].resolution);
  }
  if (!link->SetHandwheelJog(setup)) throw Error_t(kErrNetwork);
  {
    uint32_t count = 0, changed = 0, sampled = 0;
    if (link->ReadHandwheel(count, changed, sampled)) SetHandWheelPos(count, changed, sampled);
  }
  const WheelSample first = WheelPos();
  SetBits(kHandwheel);
  LogMessage(kLogWheel, "StartHandwheelJog startPos=%f rawPos=%d", start.v[axis], static_cast<int32_t>(first.count));

  // Velocity change per round (mm/s) of each axis.
  double perRound[kAxisCount] = {};
  for (int a = 0; a < kAxisCount; ++a)
    if (jogged(a)) perRound[a] = cfg.wheelAccFactor * cfg.axis[a].workAcceler * 0.0001;
  // The count is smoothed over n samples; the distance is that mean's
  // change since the start, kept × n so it stays whole.
  const int n = std::max(0, cfg.wheelFilterTime) / 10 + 1;
  MovingSum counts(n, 0), changes(n, 0);
  int64_t count = 0, changed = 0;  // since the start, unwrapped (counts, 100 ns)
  WheelSample last = first;
  int64_t intDist = 0;
  double ff = 0;  // mm/s along the axis
  int still = 0;  // samples since the count last changed
  Coordinates vel, lastVel;  // mm/s, machine
  int32_t steps[ModuleLink::kChannels] = {};
  for (unsigned round = 1; HasBits(kHandwheel); ++round) {
    if (round % kCheckEvery == 0) {
      m_stream.CheckStop(true);
      CheckBreak(0);
      if (!HasBits(kHandwheel)) break;
    } else {
      m_stream.DoPollIo(true);
    }
    const WheelSample s = WheelPos();
    LogMessage(kLogWheelRound, "Handwheel jog encPos=%X t1=%X t2=%X", s.count, s.changed, s.sampled);
    if (s.sampled != last.sampled) {
      const int64_t before = count;
      count += static_cast<int32_t>(s.count - last.count);
      changed += static_cast<int32_t>(s.changed - last.changed);
      last = s;
      intDist += counts.Push(count);
      changes.Push(changed);
      if (count == before) {
        // The wheel stands: the feed-forward fades within a few samples.
        if (++still > kFeedForwardSamples) {
          ff = 0;
        } else {
          const double most = step / (still * kRoundMs / 1000.0);
          ff = std::clamp(ff, -most, most);
        }
      } else {
        still = 0;
        const double ticks = static_cast<double>(changed) - changes.Mean();
        ff = ticks > 0 ? (static_cast<double>(count) - counts.Mean()) * step / ticks * kTicksPerSecond : 0.0;
      }
    }
    int64_t dist = intDist / n;
    if (dist < lowest || dist > highest) {
      dist = std::clamp(dist, lowest, highest);
      ff = 0;
    }
    Coordinates destProg = start;
    destProg.v[axis] = start.v[axis] + step * static_cast<double>(dist);
    const Coordinates dest = toMachine(destProg);
    const Coordinates actual = m_stream.ActPos();
    for (int a = 0; a < kAxisCount; ++a)
      vel.v[a] = jogged(a) ? (dest.v[a] - actual.v[a]) * kGain + unit.v[a] * ff * kFeedForward : 0.0;
    LogMessage(kLogWheelRound, "intDist=%lld destPos=%f actPos=%f diffPos=%f ff=%f", static_cast<long long>(intDist),
               dest.v[axis], actual.v[axis], dest.v[axis] - actual.v[axis], ff);

    // Towards a soft limit no faster than what still stops there.
    if (SoftLimitsActive(act)) {
      double k = 1;
      for (int a = 0; a < kAxisCount; ++a) {
        double limit = 0;
        if (!jogged(a) || vel.v[a] == 0 || !AxisTravelLimit(act, a, vel.v[a] > 0, limit)) continue;
        const double left = vel.v[a] > 0 ? limit - actual.v[a] : actual.v[a] - limit;
        if (left < 0) {
          LogMessage(kLogWheel, "static V Limit Overshot axis=%d", a);
          k = 0;
          continue;
        }
        const double most = kBrakeShare * std::sqrt(2.0 * wheelAcc * left);
        if (std::fabs(vel.v[a]) > most) {
          LogMessage(kLogWheelRound, "static V Limit Braking");
          k = std::min(k, most / std::fabs(vel.v[a]));
        }
      }
      vel = Scaled(vel, k);
    }
    // The change per round, then the speed of each axis.
    double k = 1;
    for (int a = 0; a < kAxisCount; ++a) {
      const double change = std::fabs(vel.v[a] - lastVel.v[a]);
      if (change > perRound[a]) k = std::min(k, perRound[a] / change);
    }
    vel = lastVel + Scaled(vel - lastVel, k);
    k = 1;
    for (int a = 0; a < kAxisCount; ++a)
      if (std::fabs(vel.v[a]) > v) k = std::min(k, v / std::fabs(vel.v[a]));
    vel = Scaled(vel, k);
    lastVel = vel;

    double speed = 0;
    for (int a = 0; a < kAxisCount; ++a) speed += vel.v[a] * vel.v[a];
    speed = std::sqrt(speed);
    const double fraction = std::min(1.0, speed / v);
    const uint32_t abs = static_cast<uint32_t>(fraction * kFractionOne);
    m_stream.ToSteps(dest, m_stream.m_offset, steps);
    if (!link->SetHandwheelTargets(abs, steps, channels.count) && !link->Up()) throw Error_t(kErrNetwork);
    const Coordinates sent = speed > 0 ? Scaled(vel, v / speed * 1.28) : Coordinates();
    LogMessage(kLogWheelRound, "Handwheel jog destPos=(%f,%f,%f) ff=%f vel=(%f,%f,%f) abs=%X", dest.v[0], dest.v[1],
               dest.v[2], ff, sent.v[0], sent.v[1], sent.v[2], abs);
    m_stream.Sleep(kRoundMs);
  }
  LogMessage(kLogWheel, "ExecuteHandwheelJog leave");
  // Stands, with nothing left in the module.
  m_stream.InternalWaitStop(true);
}
