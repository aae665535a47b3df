#include "motion/modulemodel.h"

#include <algorithm>
#include <cmath>

#include "motion/motionlimits.h"

namespace {
// Acceleration standing in for "unlimited" (a module never configured).
constexpr double kUnlimitedAccel = 1e12;
}  // namespace

ModuleModel::ModuleModel(int capacity) : m_entries(static_cast<size_t>(std::max(capacity, 2))), m_ring(1) {}

double ModuleModel::BrakeLimit(double distance, double vNext, double adt, double dt) {
  if (!(distance > 0)) return vNext;
  // Starting at v and losing adt per sample, the samples still above vNext
  // number n = ceil((v - vNext) / adt) and cover dt (n v - adt n (n-1) / 2).
  // The largest n whose first velocity fits gives the answer.
  const double q = distance / dt;
  const double b = vNext - 0.5 * adt;
  double n = std::ceil((-b + std::sqrt(b * b + 2 * adt * q)) / adt) - 1;
  auto fits = [&](double k) { return k * vNext + adt * k * (k - 1) / 2 < q; };
  while (n >= 1 && !fits(n)) n -= 1;
  while (fits(n + 1)) n += 1;
  if (n < 1) return vNext;
  return std::min(q / n + adt * (n - 1) / 2, vNext + n * adt);
}

bool ModuleModel::Blocked() const {
  return m_count > 0 && !At(0).config && m_velocity == 0 && VelocityCap() == 0;
}

bool ModuleModel::Push(const Entry& e) {
  if (m_count >= static_cast<int>(m_entries.size())) return false;
  m_entries[(m_head + m_count) % m_entries.size()] = e;
  ++m_count;
  return true;
}

void ModuleModel::Pop() {
  m_head = (m_head + 1) % static_cast<int>(m_entries.size());
  --m_count;
  ++m_passed;
}

void ModuleModel::MarkStop() {
  for (int i = m_count - 1; i >= 0; --i) {
    if (!At(i).config) {
      At(i).stopAfter = true;
      return;
    }
  }
}

bool ModuleModel::Configure(double accel, double vmax, double filterTime) {
  Entry e;
  e.config = true;
  e.accel = accel;
  e.vmax = vmax;
  e.filterTime = filterTime;
  if (!Push(e)) return false;
  MarkStop();
  m_streamAccel = accel;
  m_streamVmax = vmax;
  return true;
}

bool ModuleModel::SetVelocity(double velocity) {
  if (!(velocity > 0)) MarkStop();
  m_nominal = velocity > 0 ? velocity : 0;
  return true;
}

bool ModuleModel::SetOverride(double percent) {
  m_override = std::clamp(std::isfinite(percent) ? percent : 0.0, 0.0, 100.0);
  return true;
}

void ModuleModel::SetLiveOverride(double percent) {
  m_live = std::clamp(std::isfinite(percent) ? percent : 0.0, 0.0, 100.0);
}

double ModuleModel::Limit() const {
  double v = m_nominal * m_override / 100.0;
  if (m_streamVmax > 0) v = std::min(v, m_streamVmax);
  return v;
}

bool ModuleModel::AddPoint(const Coordinates& point) {
  // A point that is not a number cannot be reached; the module skips it.
  for (double c : point.v)
    if (!std::isfinite(c)) return true;
  Entry e;
  e.point = point;
  e.length = PathLength(point - m_lastPoint);
  e.limit = Limit();
  if (!Push(e)) return false;
  m_lastPoint = point;
  m_ahead += e.length;
  return true;
}

double ModuleModel::PathLength(const Coordinates& d) const {
  if (m_pathAxes == ~0u) return Length9(d);
  double sum = 0;
  for (int i = 0; i < kAxisCount; ++i)
    if (m_pathAxes & (1u << i)) sum += d.v[i] * d.v[i];
  return std::sqrt(sum);
}

void ModuleModel::Halt() {
  if (m_velocity > 0) m_halting = true;
  else DropBuffer();
}

void ModuleModel::DropBuffer() {
  m_head = 0;
  m_count = 0;
  m_ahead = 0;
  m_from = m_lastPoint = m_raw;
  m_offset = 0;
  m_halting = false;
}

void ModuleModel::Reset(const Coordinates& position) {
  m_head = 0;
  m_count = 0;
  m_from = m_raw = m_output = m_lastPoint = position;
  m_offset = 0;
  m_ahead = 0;
  m_velocity = 0;
  m_restSample = false;
  m_halting = false;
  std::fill(m_ring.begin(), m_ring.end(), position);
  for (int i = 0; i < kAxisCount; ++i) m_sum[i] = position.v[i] * m_filterLength;
  m_stillSamples = m_filterLength;
}

void ModuleModel::Apply(const Entry& config) {
  m_accel = config.accel > 0 ? config.accel : 0;
  const double t = std::isfinite(config.filterTime) ? std::max(config.filterTime, 0.0) : 0.0;
  // A window of exactly the filter time: whole samples, and the oldest one
  // with the fraction of a sample that is left.
  const double window = std::clamp(t / kSample, 1.0, 100000.0);
  const int whole = static_cast<int>(std::floor(window + 1e-9));
  const double fraction = window - whole > 1e-9 ? window - whole : 0.0;
  m_filterLength = fraction > 0 ? whole + 1 : whole;
  m_oldestWeight = fraction > 0 ? fraction : 1.0;
  m_filterDivisor = fraction > 0 ? window : whole;
  if (static_cast<int>(m_ring.size()) < m_filterLength) m_ring.resize(static_cast<size_t>(m_filterLength));
  std::fill(m_ring.begin(), m_ring.begin() + m_filterLength, m_raw);
  m_ringPos = 0;
  for (int i = 0; i < kAxisCount; ++i) m_sum[i] = m_raw.v[i] * m_filterLength;
  m_output = m_raw;
  m_stillSamples = m_filterLength;
}

double ModuleModel::VelocityCap() const {
  const double full = CapAt(1.0);
  if (m_live >= 100) return full;
  // A lower live override brakes at the acceleration, never at once; the
  // full cap keeps the braking for stop points.
  const double adt = (m_accel > 0 ? m_accel : kUnlimitedAccel) * kSample;
  return std::max(CapAt(m_live / 100.0), std::min(full, m_velocity - adt));
}

double ModuleModel::CapAt(double factor) const {
  const double a = m_accel > 0 ? m_accel : kUnlimitedAccel;
  const double adt = a * kSample;
  if (m_count == 0 || At(0).config) return 0;
  double cap = std::min(m_velocity + adt, At(0).limit * factor);
  double d = At(0).length - m_offset;
  for (int i = 0;; ++i) {
    const Entry& e = At(i);
    if (e.stopAfter || i + 1 >= m_count || At(i + 1).config) {
      cap = std::min(cap, BrakeLimit(d, 0, adt, kSample));
      break;
    }
    const Entry& next = At(i + 1);
    if (next.limit * factor < cap) cap = std::min(cap, BrakeLimit(d, next.limit * factor, adt, kSample));
    // Stretches farther away than the braking distance cannot bind.
    if (d > cap * cap / (2 * a) + 2 * cap * kSample) break;
    d += next.length;
  }
  return std::max(cap, 0.0);
}

bool ModuleModel::Advance(double distance) {
  bool atRest = false;
  while (m_count > 0 && !At(0).config) {
    Entry& e = At(0);
    const double rest = e.length - m_offset;
    // Within rounding of the point counts as reaching it.
    if (distance < rest - 1e-12) {
      m_offset += distance;
      m_ahead -= distance;
      break;
    }
    distance -= rest;
    m_ahead -= rest;
    m_from = e.point;
    m_offset = 0;
    const bool stop = e.stopAfter;
    Pop();
    // What is left over at a stop point is rounding.
    if (stop) {
      atRest = true;
      break;
    }
  }
  if (m_count == 0) {
    m_ahead = 0;
    atRest = true;
  }
  if (m_count > 0 && !At(0).config && At(0).length > 0) {
    const Entry& e = At(0);
    const double f = m_offset / e.length;
    for (int i = 0; i < kAxisCount; ++i) m_raw.v[i] = m_from.v[i] + (e.point.v[i] - m_from.v[i]) * f;
  } else {
    m_raw = m_from;
  }
  return atRest;
}

void ModuleModel::Filter() {
  const int n = m_filterLength;
  if (n <= 1) {
    m_output = m_raw;
    return;
  }
  Coordinates& slot = m_ring[static_cast<size_t>(m_ringPos)];
  for (int i = 0; i < kAxisCount; ++i) m_sum[i] += m_raw.v[i] - slot.v[i];
  slot = m_raw;
  m_ringPos = m_ringPos + 1 >= n ? 0 : m_ringPos + 1;
  // Once per window the running sums are rebuilt, so rounding cannot creep.
  if (++m_sinceResum >= n) {
    m_sinceResum = 0;
    for (int i = 0; i < kAxisCount; ++i) {
      double s = 0;
      for (int k = 0; k < n; ++k) s += m_ring[static_cast<size_t>(k)].v[i];
      m_sum[i] = s;
    }
  }
  const Coordinates& oldest = m_ring[static_cast<size_t>(m_ringPos)];
  const double less = 1.0 - m_oldestWeight;
  for (int i = 0; i < kAxisCount; ++i) m_output.v[i] = (m_sum[i] - less * oldest.v[i]) / m_filterDivisor;
}

bool ModuleModel::ApplySettled() {
  bool applied = false;
  while (m_count > 0 && At(0).config && m_velocity == 0 && Settled()) {
    Apply(At(0));
    Pop();
    applied = true;
  }
  return applied;
}

void ModuleModel::Step() {
  // A configuration waits until the motion before it has settled.
  ApplySettled();
  // Points on the spot are passed at once (a stop there is a stop).
  while (m_count > 0 && !At(0).config && At(0).length - m_offset <= 0) {
    m_from = At(0).point;
    m_offset = 0;
    if (At(0).stopAfter && m_velocity > 0) {
      m_velocity = 0;
      m_restSample = true;
    }
    Pop();
  }
  const double before = m_velocity;
  // Having come to rest at a stop point the module stands one sample before
  // it sets off again, whichever way the path goes on.
  double v = m_restSample ? 0.0 : VelocityCap();
  m_restSample = false;
  const double a = m_accel > 0 ? m_accel : kUnlimitedAccel;
  if (m_halting) v = std::min(v, std::max(0.0, before - a * kSample));
  if (v < before - a * kSample * (1 + 1e-9)) ++m_hardStops;
  m_velocity = v;
  const Coordinates last = m_raw;
  // Reaching a stop point (or the end of the buffer) the module stands for
  // an instant: the next sample ramps up from rest.
  if (v > 0 && Advance(v * kSample)) {
    m_velocity = 0;
    m_restSample = true;
  }
  // Halted: whatever is left of the buffer is dropped once the path stands.
  if (m_halting && m_velocity == 0) DropBuffer();
  m_stillSamples = m_raw == last ? m_stillSamples + 1 : 0;
  if (m_stillSamples > m_filterLength) m_stillSamples = m_filterLength;
  Filter();
  ++m_samples;
}
