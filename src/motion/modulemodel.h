// ModuleModel: what a controller module does with the motion stream, sample
// by sample (5 ms). It follows the polyline of the streamed points at the
// nominal path velocity times the feed override (never above its configured
// maximum velocity), ramps the path velocity with its configured
// acceleration, braking ahead so that it never enters a slower stretch too
// fast and comes to rest exactly at a stop point and at the end of what it
// has buffered, and smooths the motion with a moving average over its filter
// time. The soft module runs it on the points it receives, the time estimate
// on the planner's stream.
//
// Commands are taken in stream order: a velocity or override applies to the
// points after it; a velocity of 0 and a new configuration both make the
// module come to rest at the last point before them (a configuration takes
// effect once the filter has settled there).
//
// No allocation per sample: the buffer is sized at construction, the filter
// ring grows only when a longer filter is configured.
#pragma once

#include <cstdint>
#include <vector>

#include "base/coordinates.h"

class ModuleModel {
 public:
  static constexpr double kSample = 0.005;  // s

  // capacity: buffered points and configurations.
  explicit ModuleModel(int capacity = 8192);

  // ---- the stream, in order; each returns false (and queues nothing) when
  // the buffer is full.
  // accel mm/s² (<= 0: unlimited), vmax mm/s (<= 0: no limit), filterTime s.
  bool Configure(double accel, double vmax, double filterTime);
  // Nominal path velocity, mm/s.
  bool SetVelocity(double velocity);
  // Feed override, percent (clamped to 0..100).
  bool SetOverride(double percent);
  // The operator's override as the module takes it from the wire: at once,
  // over the whole path buffered, ramping with the acceleration (0 holds the
  // motion where it is braked to, 100 lets it go on). Percent 0..100.
  void SetLiveOverride(double percent);
  double LiveOverride() const { return m_live; }
  bool AddPoint(const Coordinates& point);

  // ---- time
  // One sample: ramp, advance along the points, filter.
  void Step();
  // What a sample does first: configurations waiting at the front take
  // effect once the motion before them has settled. True when one did.
  bool ApplySettled();
  // Stands at position with an empty buffer and a settled filter; the
  // configuration and the stream settings stay.
  void Reset(const Coordinates& position);
  // Stops as soon as the acceleration allows, along the buffered path, and
  // then forgets what is left of the buffer; the position is kept and points
  // queued afterwards start from it.
  void Halt();
  bool Halting() const { return m_halting; }
  // Axes counted in the path length (bit i = axis i; all by default). The
  // others ride along: interpolated and filtered, but they take no time.
  void SetPathAxes(uint32_t mask) { m_pathAxes = mask; }

  // The filtered position (what the axes do), machine coordinates.
  const Coordinates& Position() const { return m_output; }
  // Position before the filter.
  const Coordinates& RawPosition() const { return m_raw; }
  // Path velocity before the filter, mm/s.
  double PathVelocity() const { return m_velocity; }
  // Nothing buffered, at rest, filter settled.
  bool Idle() const { return m_count == 0 && m_velocity == 0 && Settled(); }
  // Points are buffered but none can be reached: the stretch ahead has
  // velocity 0 (override 0, or points after a velocity of 0).
  bool Blocked() const;
  int Free() const { return static_cast<int>(m_entries.size()) - m_count; }
  // Points and configurations buffered, not yet passed.
  int Buffered() const { return m_count; }
  // Points and configurations passed since construction (a halt's dropped
  // rest does not count).
  uint64_t Passed() const { return m_passed; }
  // The filter has settled on the raw position (nothing left to move).
  bool AtRest() const { return m_velocity == 0 && Settled(); }
  // Path length buffered ahead of the raw position, mm.
  double LengthAhead() const { return m_ahead; }
  uint64_t Samples() const { return m_samples; }
  // Configured values (the latest in stream order).
  double StreamAccel() const { return m_streamAccel; }
  double StreamVmax() const { return m_streamVmax; }
  // Samples the filter window now reaches back (the oldest may count with
  // a fraction).
  int FilterSamples() const { return m_filterLength; }
  // Samples in which the velocity had to drop faster than the acceleration
  // allows (a slower stretch arrived too late to brake for); 0 when the
  // stream was known far enough ahead.
  uint64_t HardStops() const { return m_hardStops; }

  // The highest velocity (mm/s) for the next sample from which the module,
  // decelerating by adt (mm/s) per sample of dt (s), is at or below vNext
  // before it has travelled distance (mm). At most vNext + n adt where n
  // samples are still needed.
  static double BrakeLimit(double distance, double vNext, double adt, double dt);

 private:
  struct Entry {
    Coordinates point;
    double length = 0;    // from the previous point, mm
    double limit = 0;     // path velocity limit of that stretch, mm/s
    bool stopAfter = false;  // come to rest at this point
    bool config = false;     // a configuration, not a point
    double accel = 0, vmax = 0, filterTime = 0;
  };

  bool Push(const Entry& e);
  Entry& At(int i) { return m_entries[(m_head + i) % m_entries.size()]; }
  const Entry& At(int i) const { return m_entries[(m_head + i) % m_entries.size()]; }
  void Pop();
  void MarkStop();
  void Apply(const Entry& config);
  double VelocityCap() const;
  double CapAt(double factor) const;
  // Moves along the buffer; true when it came to rest at a stop point or at
  // the end of the buffer.
  bool Advance(double distance);
  double PathLength(const Coordinates& d) const;
  void DropBuffer();
  void Filter();
  bool Settled() const { return m_stillSamples >= m_filterLength; }
  double Limit() const;

  std::vector<Entry> m_entries;
  int m_head = 0;
  int m_count = 0;

  // Stream side: what applies to the next point.
  double m_nominal = 0;
  double m_override = 100;
  double m_live = 100;
  double m_streamVmax = 0;
  double m_streamAccel = 0;
  Coordinates m_lastPoint;

  // Execution side.
  double m_accel = 0;  // mm/s², 0 = unlimited
  int m_filterLength = 1;        // samples in the window
  double m_oldestWeight = 1;     // weight of the oldest of them
  double m_filterDivisor = 1;    // the window in samples
  Coordinates m_from;  // start of the stretch being travelled
  double m_offset = 0; // distance travelled along it
  double m_ahead = 0;
  double m_velocity = 0;
  bool m_restSample = false;  // stands still in the next sample
  bool m_halting = false;
  uint32_t m_pathAxes = ~0u;
  Coordinates m_raw;
  Coordinates m_output;
  std::vector<Coordinates> m_ring;
  int m_ringPos = 0;
  double m_sum[kAxisCount] = {0, 0, 0, 0, 0, 0, 0, 0, 0};
  int m_sinceResum = 0;
  int m_stillSamples = 1;
  uint64_t m_samples = 0;
  uint64_t m_hardStops = 0;
  uint64_t m_passed = 0;
};
