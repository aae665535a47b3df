#include "motion/motionlimits.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cmath>
#include <limits>

#include "machine/machineconfig.h"
#include "machine/machinestate.h"
#include "machine/transformation.h"

namespace {
constexpr double kEps = 2.220446049250313e-16;
std::atomic<bool> g_tangential{false};

double AxisMaxVel(int i) { return GetMachineConfig().axis[i].maxVelocity; }
}  // namespace

double MinimumStep() {
  const MachineConfig& cfg = GetMachineConfig();
  const AxisAssignment& axes = GetAxisAssignment();
  double finest = std::numeric_limits<double>::infinity();
  for (int i = 0; i < kAxisCount; ++i) {
    const double r = std::fabs(cfg.axis[i].resolution);
    if (axes.IsEnabled(i) && r > 0) finest = std::min(finest, r);
  }
  if (!std::isfinite(finest)) finest = 0.0025;
  return 0.5 * finest;
}

double Length9(const Coordinates& d) {
  double sum = 0;
  for (double x : d.v) sum += x * x;
  return std::sqrt(sum);
}

double PathVelocityLimit(double feed, const Coordinates& u) {
  for (int i = 0; i < kAxisCount; ++i) {
    const double c = std::fabs(u.v[i]);
    const double vmax = AxisMaxVel(i);
    if (c > kEps && vmax > 0 && feed * c > vmax) feed = vmax / c;
  }
  return feed;
}

double RapidVelocity(const Coordinates& d) {
  double r = 0;
  for (int i = 0; i < kAxisCount; ++i) {
    const double vmax = AxisMaxVel(i);
    if (vmax > 0) r = std::max(r, std::fabs(d.v[i]) / vmax);
  }
  const double len = Length9(d);
  return r > 0 ? len / r : 0.0;
}

void PlaneAxes(int32_t plane, int& first, int& second) {
  switch (plane) {
    case 0:
      first = 1, second = 2;
      break;
    case 1:
      first = 2, second = 0;
      break;
    default:
      first = 0, second = 1;
      break;
  }
}

ArcGeometry MakeArc(const Coordinates& start, const Coordinates& end, const double centre[3], int32_t plane,
                    bool clockwise) {
  ArcGeometry g;
  PlaneAxes(plane, g.first, g.second);
  g.normal = (plane >= 0 && plane <= 2) ? plane : 2;
  for (int i = 0; i < 3; ++i) g.centre[i] = centre[i];
  g.start = start;
  g.end = end;
  const double sx = start.v[g.first] - centre[g.first], sy = start.v[g.second] - centre[g.second];
  const double ex = end.v[g.first] - centre[g.first], ey = end.v[g.second] - centre[g.second];
  g.radius = std::hypot(sx, sy);
  g.startAngle = VectorAngle(sx, sy);
  double endAngle = VectorAngle(ex, ey);
  if (clockwise) {
    while (endAngle >= g.startAngle - 1e-9) endAngle -= 360.0;
  } else {
    while (endAngle <= g.startAngle + 1e-9) endAngle += 360.0;
  }
  g.endAngle = endAngle;
  g.sweep = endAngle - g.startAngle;
  return g;
}

Coordinates ArcPoint(const ArcGeometry& arc, double f) {
  Coordinates p = arc.end;
  if (f >= 1.0) return p;
  const double a = (arc.startAngle + arc.sweep * f) * kDegToRad;
  p.v[arc.first] = arc.centre[arc.first] + arc.radius * std::cos(a);
  p.v[arc.second] = arc.centre[arc.second] + arc.radius * std::sin(a);
  p.v[arc.normal] = arc.start.v[arc.normal] + (arc.end.v[arc.normal] - arc.start.v[arc.normal]) * f;
  return p;
}

double ArcPlanarLength(const ArcGeometry& arc) { return arc.radius * std::fabs(arc.sweep) * kDegToRad; }

double CircularVelocityLimit(int32_t plane, double s, double h, double r, double feed, bool nonLinear,
                             CircularLimit* which) {
  const MachineConfig& cfg = GetMachineConfig();
  CircularLimit bound = CIRC_NONE;
  auto limit = [&](double value, CircularLimit kind) {
    if (value < feed) {
      feed = value;
      bound = kind;
    }
  };
  int a, b;
  PlaneAxes(plane, a, b);
  const int n = (plane >= 0 && plane <= 2) ? plane : 2;
  const double len = std::hypot(s, h);
  const double k = s > kEps ? len / s : 1.0;
  for (int axis : {a, b}) {
    const double vmax = cfg.axis[axis].maxVelocity;
    if (vmax > 0) limit(k * vmax, CIRC_AXIS);
    const double acc = cfg.cvAccLimited ? cfg.cvAcceler : cfg.axis[axis].workAcceler;
    if (acc > 0 && r > 0) limit(k * std::sqrt(acc * r), CIRC_CENTRIPETAL);
  }
  if (std::fabs(h) > kEps && cfg.axis[n].maxVelocity > 0) limit(cfg.axis[n].maxVelocity * len / std::fabs(h), CIRC_HELIX);
  if (nonLinear) {
    double vmin = std::numeric_limits<double>::infinity(), amin = vmin;
    for (int i = 0; i < 3; ++i) {
      if (cfg.axis[i].maxVelocity > 0) vmin = std::min(vmin, cfg.axis[i].maxVelocity);
      if (cfg.axis[i].workAcceler > 0) amin = std::min(amin, cfg.axis[i].workAcceler);
    }
    if (cfg.cvAccLimited) amin = cfg.cvAcceler;
    limit(vmin, CIRC_AXIS);
    if (std::isfinite(amin) && r > 0) limit(k * std::sqrt(amin * r), CIRC_CENTRIPETAL);
  }
  if (which) *which = bound;
  return feed;
}

uint32_t HomingMask(double arg) {
  const double whole = std::trunc(arg);
  return std::isfinite(whole) ? static_cast<uint32_t>(static_cast<int64_t>(whole)) : 0u;
}

Coordinates HomedPosition(Coordinates p, uint32_t mask) {
  const MachineConfig& cfg = GetMachineConfig();
  const AxisAssignment& axes = GetAxisAssignment();
  for (int i = 0; i < kAxisCount; ++i) {
    if (!(mask & (1u << i)) || !axes.IsEnabled(i)) continue;
    switch (cfg.axis[i].homeSwitchMode) {
      case 0:
        break;
      case 1:
        p.v[i] = cfg.axis[i].minPosition;
        break;
      case 2:
        p.v[i] = cfg.axis[i].maxPosition;
        break;
      default:
        p.v[i] = cfg.axis[i].homePosition;
        break;
    }
  }
  return p;
}

bool SegmentEntersKeepout(const Coordinates& a, const Coordinates& b) {
  const MachineConfig& cfg = GetMachineConfig();
  if (!cfg.atcHasKeepout) return false;
  const int mask = cfg.atcKeepoutMask ? cfg.atcKeepoutMask : 7;
  // Slab test: the part of the segment inside every masked slab.
  double t0 = 0, t1 = 1;
  for (int i = 0; i < 3; ++i) {
    if (!(mask & (1 << i))) continue;
    const double lo = cfg.atcKeepoutMin[i], hi = cfg.atcKeepoutMax[i];
    const double d = b.v[i] - a.v[i];
    if (std::fabs(d) < kEps) {
      if (a.v[i] < lo || a.v[i] > hi) return false;
      continue;
    }
    double u0 = (lo - a.v[i]) / d, u1 = (hi - a.v[i]) / d;
    if (u0 > u1) std::swap(u0, u1);
    t0 = std::max(t0, u0);
    t1 = std::min(t1, u1);
    if (t0 > t1) return false;
  }
  return true;
}

bool SoftLimitsActive(const MachineState& state) {
  return GetMachineConfig().enforceSoftLimits && state.GetSoftLimitsEnabled();
}

int32_t CheckSegmentLimits(const MachineState& state, const Coordinates& a, const Coordinates& b) {
  if (!SoftLimitsActive(state)) return 0;
  if (SegmentEntersKeepout(a, b)) return -1062;
  for (int i = 0; i < kAxisCount; ++i) {
    const double lo = state.GetLowerLimit(i), hi = state.GetUpperLimit(i);
    if (!(lo < hi)) continue;  // an axis without travel limits
    if (b.v[i] < lo || b.v[i] > hi) return -1008;
  }
  return 0;
}

uint32_t CheckArcLimits(const MachineState& state, const Transformation& t, const ArcGeometry& arc) {
  if (!SoftLimitsActive(state)) return 0;
  // Samples: evenly spaced points plus the quadrant points, where a plain
  // circle reaches its extremes; a rotated system reaches them elsewhere, so
  // the evenly spaced points keep the gap small there.
  constexpr int kSamples = 64;
  double fractions[kSamples + 1 + 8];
  int n = 0;
  for (int i = 0; i <= kSamples; ++i) fractions[n++] = static_cast<double>(i) / kSamples;
  if (std::fabs(arc.sweep) > kEps) {
    for (int q = -8; q <= 8 && n < kSamples + 1 + 8; ++q) {
      const double f = (q * 90.0 - arc.startAngle) / arc.sweep;
      if (f > 0 && f < 1) fractions[n++] = f;
    }
  }
  std::sort(fractions, fractions + n);
  uint32_t result = 0;
  Coordinates prev;
  for (int k = 0; k < n; ++k) {
    const Coordinates m = t.ToMachine(ArcPoint(arc, fractions[k]));
    for (int i = 0; i < kAxisCount; ++i) {
      const double lo = state.GetLowerLimit(i), hi = state.GetUpperLimit(i);
      if (lo < hi && (m.v[i] < lo - 1e-9 || m.v[i] > hi + 1e-9)) result |= 1u << i;
    }
    if (k > 0 && SegmentEntersKeepout(prev, m)) result |= kLimitKeepoutBit;
    prev = m;
  }
  return result;
}

bool AxisTravelLimit(const MachineState& state, int axis, bool positive, double& limit) {
  const double lo = state.GetLowerLimit(axis), hi = state.GetUpperLimit(axis);
  if (!(lo < hi)) return false;
  limit = positive ? hi : lo;
  return true;
}

void ClampToSoftLimits(const MachineState& state, Coordinates& m) {
  for (int i = 0; i < kAxisCount; ++i) {
    const double lo = state.GetLowerLimit(i), hi = state.GetUpperLimit(i);
    if (lo < hi) m.v[i] = std::clamp(m.v[i], lo, hi);
  }
}

bool TangentialKnifeActive() { return g_tangential.load(std::memory_order_relaxed); }
void SetTangentialKnifeActive(bool on) { g_tangential.store(on, std::memory_order_relaxed); }

void WheelCountRange(const MachineState& state, int axis, double hereMm, double stepMm, int64_t& lowest,
                     int64_t& highest) {
  lowest = INT64_MIN / 4;
  highest = INT64_MAX / 4;
  double lo = 0, hi = 0;
  if (!SoftLimitsActive(state) || !AxisTravelLimit(state, axis, false, lo) || !AxisTravelLimit(state, axis, true, hi))
    return;
  lowest = static_cast<int64_t>(std::ceil((lo - hereMm) / stepMm - 1e-9));
  highest = static_cast<int64_t>(std::floor((hi - hereMm) / stepMm + 1e-9));
}
