#include "realmachine/compensation.h"

#include <algorithm>
#include <cmath>

#include "base/logging.h"
#include "machine/machineconfig.h"
#include "params/parafile.h"

namespace {
constexpr int32_t kLogComp = LOGCAT_TRAJECTORY | 4;
constexpr int kZ = 2;
}  // namespace

FilterPair FilterLengths(double d, double vmax, double a, double dt) {
  FilterPair r;
  d = std::fabs(d);
  if (!(d > 0) || !(a > 0) || !(dt > 0) || !std::isfinite(d) || !std::isfinite(a)) return r;
  // Accelerating for tA and braking for tB covers d; the top velocity
  // stays within vmax.
  double tA = std::sqrt(d / a);
  double tB = tA;
  if (vmax > 0 && vmax < tA * a) {
    tA = vmax / a;
    tB = d / vmax;
  }
  r.t1 = static_cast<int>(std::ceil(tA / dt - 1e-9));
  r.t2 = static_cast<int>(std::ceil(tB / dt - 1e-9));
  return r;
}

// ---------------------------------------------------------------------------
// filters

MovingAvg::MovingAvg(int n) : m_ring(static_cast<size_t>(std::max(n, 1)), 0.0) {}

void MovingAvg::Reset(double value) {
  std::fill(m_ring.begin(), m_ring.end(), value);
  m_sum = value * static_cast<double>(m_ring.size());
  m_pos = 0;
  m_settled = true;
}

double MovingAvg::Step(double in) {
  m_sum += in - m_ring[m_pos];
  m_ring[m_pos] = in;
  m_pos = m_pos + 1 >= m_ring.size() ? 0 : m_pos + 1;
  // Every input the same: the sum is exact again and the output is the input.
  m_settled = std::all_of(m_ring.begin(), m_ring.end(), [in](double x) { return x == in; });
  if (m_settled) {
    m_sum = in * static_cast<double>(m_ring.size());
    return in;
  }
  return m_sum / static_cast<double>(m_ring.size());
}

DelayLine::DelayLine(int n) : m_ring(static_cast<size_t>(std::max(n, 0)), 0.0) {}

void DelayLine::Reset(double value) {
  std::fill(m_ring.begin(), m_ring.end(), value);
  m_pos = 0;
  m_settled = true;
}

double DelayLine::Step(double in) {
  if (m_ring.empty()) return in;
  const double out = m_ring[m_pos];
  m_ring[m_pos] = in;
  m_pos = m_pos + 1 >= m_ring.size() ? 0 : m_pos + 1;
  m_settled = std::all_of(m_ring.begin(), m_ring.end(), [in](double x) { return x == in; }) && out == in;
  return out;
}

void VectorFilter::Clear() {
  for (Chain& c : m_chains) c = Chain();
  m_velocity = DelayLine();
  m_hasVelocityDelay = false;
}

void VectorFilter::AddAverages(int axis, int t1, int t2) {
  if (axis < 0 || axis >= kAxisCount) return;
  if (t1 > 1) m_chains[static_cast<size_t>(axis)].averages.emplace_back(t1);
  if (t2 > 1) m_chains[static_cast<size_t>(axis)].averages.emplace_back(t2);
}

void VectorFilter::AddDelay(int axis, int ticks) {
  if (axis < 0 || axis >= kAxisCount || ticks <= 0) return;
  m_chains[static_cast<size_t>(axis)].delay = DelayLine(ticks);
  m_chains[static_cast<size_t>(axis)].hasDelay = true;
}

void VectorFilter::SetVelocityDelay(int ticks) {
  m_velocity = DelayLine(ticks);
  m_hasVelocityDelay = ticks > 0;
}

bool VectorFilter::Active() const {
  for (const Chain& c : m_chains)
    if (!c.averages.empty() || c.hasDelay) return true;
  return false;
}

void VectorFilter::Reset(const Coordinates& at, double velocity) {
  for (int i = 0; i < kAxisCount; ++i) {
    Chain& c = m_chains[static_cast<size_t>(i)];
    for (MovingAvg& m : c.averages) m.Reset(at.v[i]);
    c.delay.Reset(at.v[i]);
  }
  m_velocity.Reset(velocity);
}

Coordinates VectorFilter::DoFilter(const Coordinates& in) {
  Coordinates out = in;
  for (int i = 0; i < kAxisCount; ++i) {
    Chain& c = m_chains[static_cast<size_t>(i)];
    double x = in.v[i];
    for (MovingAvg& m : c.averages) x = m.Step(x);
    if (c.hasDelay) x = c.delay.Step(x);
    out.v[i] = x;
  }
  return out;
}

bool VectorFilter::Settled() const {
  for (const Chain& c : m_chains) {
    for (const MovingAvg& m : c.averages)
      if (!m.Settled()) return false;
    if (c.hasDelay && !c.delay.Settled()) return false;
  }
  return true;
}

double VectorFilter::Velocity(double in) { return m_hasVelocityDelay ? m_velocity.Step(in) : in; }

// ---------------------------------------------------------------------------
// Compensation

double Compensation::Resolution(int axis) const {
  const double r = m_resolution[static_cast<size_t>(axis)];
  return r != 0 && std::isfinite(r) ? r : 1.0;
}

void Compensation::Init(const MachineConfig& config, const ParaFile* pitchFile) {
  m_backlashMode = config.backlashEna;
  m_filter.Clear();
  m_pitchOn = false;
  for (int i = 0; i < kAxisCount; ++i) {
    m_resolution[static_cast<size_t>(i)] = config.axis[i].resolution;
    m_pitch[static_cast<size_t>(i)] = CubicSpline();
    m_backlashSteps[static_cast<size_t>(i)] = 0;
  }
  double pitchBacklash[kAxisCount] = {};
  if (pitchFile) {
    for (int i = 0; i < kAxisCount; ++i) {
      const std::string letter(1, kAxisLetters[i]);
      std::vector<double> x, y;
      double p = 0, c = 0;
      for (int k = 0; pitchFile->GetDouble("PitchPos" + letter, k, p) && pitchFile->GetDouble("PitchCorr" + letter, k, c);
           ++k) {
        x.push_back(p);
        y.push_back(c);
      }
      if (x.size() >= 2 && m_pitch[static_cast<size_t>(i)].SetPoints(x, y)) m_pitchOn = true;
      pitchFile->GetDouble("PitchBacklash" + letter, pitchBacklash[i]);
    }
  }
  // Backlash: half the slack each way, in steps.
  FilterPair longest;
  if (m_backlashMode != 0) {
    for (int i = 0; i < kAxisCount; ++i) {
      const double slack = m_backlashMode == 3 ? pitchBacklash[i] : config.axis[i].backlash;
      const int32_t steps = static_cast<int32_t>(std::lround(0.5 * std::fabs(slack) / std::fabs(Resolution(i))));
      m_backlashSteps[static_cast<size_t>(i)] = steps;
      if (steps == 0) continue;
      const FilterPair f = FilterLengths(slack, config.axis[i].maxVelocity, config.axis[i].workAcceler);
      longest.t1 = std::max(longest.t1, f.t1);
      longest.t2 = std::max(longest.t2, f.t2);
    }
    LogMessage(kLogComp, "Backlash filter t1=%d t2=%d", longest.t1, longest.t2);
  }
  m_backlashOn = m_backlashMode != 0 && (longest.t1 > 0 || longest.t2 > 0);
  if (m_backlashOn) {
    const int delay = (longest.t1 + longest.t2) / 2;
    for (int i = 0; i < kAxisCount; ++i) {
      if (m_backlashSteps[static_cast<size_t>(i)] != 0) m_filter.AddAverages(i, longest.t1, longest.t2);
      else m_filter.AddDelay(i, delay);
    }
    m_filter.SetVelocityDelay(delay);
  }
  LogMessage(kLogComp, "InitCompensation() SMap=%d Backlash=%d", m_pitchOn ? 1 : 0, m_backlashOn ? 1 : 0);
}

int32_t Compensation::ForwardSteps(int axis, double p) const {
  const double corrected = m_pitchOn ? p + m_pitch[static_cast<size_t>(axis)](p) : p;
  const double s = std::round(corrected / Resolution(axis));
  return static_cast<int32_t>(std::clamp(s, -2147483648.0, 2147483647.0));
}

double Compensation::ReverseSteps(int axis, double s) const {
  const double m = s * Resolution(axis);
  if (!m_pitchOn || m_pitch[static_cast<size_t>(axis)].Empty()) return m;
  // p + corr(p) = m: corrections are small and smooth, two rounds suffice.
  const CubicSpline& corr = m_pitch[static_cast<size_t>(axis)];
  double p = m - corr(m);
  p = m - corr(p);
  return p;
}

uint32_t Compensation::Signs(const Coordinates& last, const Coordinates& next, uint32_t signs, bool& changed) const {
  changed = false;
  if (!m_backlashOn) return signs;
  for (int i = 0; i < kAxisCount; ++i) {
    if (m_backlashSteps[static_cast<size_t>(i)] == 0) continue;
    const double d = next.v[i] - last.v[i];
    // A move of more than one step decides the direction; a Z whose weight
    // keeps it on one flank counts only upward moves.
    if (std::fabs(d) <= std::fabs(Resolution(i))) continue;
    if (i == kZ && m_backlashMode == 2 && d < 0) continue;
    const uint32_t bit = 1u << i;
    const uint32_t want = d > 0 ? bit : 0u;
    if ((signs & bit) != want) {
      LogMessage(kLogComp, "Backlash change axis=%d diff=%1.3f", i, d);
      signs = (signs & ~bit) | want;
      changed = true;
    }
  }
  return signs;
}

Coordinates Compensation::Offset(uint32_t signs) const {
  Coordinates o;
  if (!m_backlashOn) return o;
  for (int i = 0; i < kAxisCount; ++i) {
    const int32_t b = m_backlashSteps[static_cast<size_t>(i)];
    o.v[i] = (signs & (1u << i)) ? b : -b;
  }
  return o;
}
