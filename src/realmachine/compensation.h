// Compensation of the mechanics between the path (mm) and the motor steps:
// screw-pitch correction (a measured correction table per axis, interpolated
// by a cubic spline) and backlash (a step offset that changes with the
// direction of travel and is ramped in through a filter, so the axis takes
// the slack with its own acceleration instead of a jump).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "base/coordinates.h"
#include "realmachine/splineinterpol.h"

class MachineConfig;
class ParaFile;

// Moving-average lengths (ticks of dt seconds) that turn a step of height d
// into a move with acceleration a and top velocity min(vmax, sqrt(a d)).
struct FilterPair {
  int t1 = 0;
  int t2 = 0;
};
FilterPair FilterLengths(double d, double vmax, double a, double dt = 0.005);

// A moving average over the last n inputs.
class MovingAvg {
 public:
  explicit MovingAvg(int n = 1);
  void Reset(double value);
  double Step(double in);
  bool Settled() const { return m_settled; }
  int Length() const { return static_cast<int>(m_ring.size()); }

 private:
  std::vector<double> m_ring;
  double m_sum = 0;
  std::size_t m_pos = 0;
  bool m_settled = true;
};

// A delay of n ticks.
class DelayLine {
 public:
  explicit DelayLine(int n = 0);
  void Reset(double value);
  double Step(double in);
  bool Settled() const { return m_settled; }

 private:
  std::vector<double> m_ring;
  std::size_t m_pos = 0;
  bool m_settled = true;
};

// Per axis a chain of moving averages and delays (an axis without stages
// passes unchanged), and a delay of the path velocity by as many ticks as
// the chains hold back on average, so a velocity change reaches the module
// together with the points it belongs to.
class VectorFilter {
 public:
  void Clear();
  // Two moving averages in series on axis.
  void AddAverages(int axis, int t1, int t2);
  void AddDelay(int axis, int ticks);
  void SetVelocityDelay(int ticks);
  bool Active() const;
  void Reset(const Coordinates& at, double velocity);
  Coordinates DoFilter(const Coordinates& in);
  // Every stage's output equals its input.
  bool Settled() const;
  // The velocity (mm/s) to send with the output of the last DoFilter.
  double Velocity(double in);

 private:
  struct Chain {
    std::vector<MovingAvg> averages;
    DelayLine delay;
    bool hasDelay = false;
  };
  std::array<Chain, kAxisCount> m_chains;
  DelayLine m_velocity;
  bool m_hasVelocityDelay = false;
};

class Compensation {
 public:
  // Reads the backlash settings from config and the screw-pitch tables
  // ("PitchPos<axis letter>_NN" and "PitchCorr<axis letter>_NN", mm, in the
  // screw-pitch file; "PitchBacklash<axis letter>" the backlash measured with
  // them); without a file only backlash.
  void Init(const MachineConfig& config, const ParaFile* pitchFile);

  // Steps of one axis for position p (mm or degrees), screw pitch applied;
  // no backlash.
  int32_t ForwardSteps(int axis, double p) const;
  // The position of step count s of one axis, screw pitch removed.
  double ReverseSteps(int axis, double s) const;

  bool BacklashActive() const { return m_backlashOn; }
  bool PitchActive() const { return m_pitchOn; }
  // The direction bits after a move from `last` to `next` (machine
  // coordinates); `changed` set when an axis with backlash turned.
  uint32_t Signs(const Coordinates& last, const Coordinates& next, uint32_t signs, bool& changed) const;
  // The step offset of every axis for direction bits signs.
  Coordinates Offset(uint32_t signs) const;
  VectorFilter& Filter() { return m_filter; }
  int32_t BacklashSteps(int axis) const { return m_backlashSteps[static_cast<std::size_t>(axis)]; }

 private:
  double Resolution(int axis) const;

  std::array<double, kAxisCount> m_resolution{};     // mm (degrees) per step
  std::array<int32_t, kAxisCount> m_backlashSteps{};  // half the slack, steps
  std::array<CubicSpline, kAxisCount> m_pitch;        // correction (mm) over position (mm)
  int m_backlashMode = 0;
  bool m_backlashOn = false;
  bool m_pitchOn = false;
  VectorFilter m_filter;
};
