// Where the preview's run-time estimate comes from. Every recorded move asks
// the estimator for its duration; the tool path keeps the answers per
// segment and the run's total.
//
// The default estimator runs each move at its programmed feed, lowered to
// what the axes allow (each axis's MaxVelocity, the centripetal limit on
// arcs), rapids at the speed of the slowest axis, and adds the dwells. It
// does not know acceleration: corners and short moves take longer on the
// machine. Once path planning can report the planned duration of a run, an
// estimator that feeds it the moves and answers with the planned time is
// the one thing to plug in here (GCodeGrafic::SetTimeEstimator).
#pragma once

#include <cstdint>

#include "base/coordinates.h"

struct ArcGeometry;

class TimeEstimator {
 public:
  virtual ~TimeEstimator();

  // A straight move along the machine-space delta d (9 axes, mm or
  // degrees); feed in mm/s (ignored for a rapid). Returns seconds.
  virtual double LineSeconds(const Coordinates& d, double feedMmPerS, bool rapid);
  // An arc (program coordinates, as the interpreter sent it) under a
  // transformation of overall scale `scale` (1 = none); `distorted`: the
  // transformation bends arcs (non-uniform scaling). Returns seconds.
  virtual double ArcSeconds(const ArcGeometry& arc, double feedMmPerS, double scale, bool distorted);
  // A dwell of the given seconds (G4).
  virtual double DwellSeconds(double seconds);
  // The run's total from the sum of the answers above; a planner that sees
  // the whole run may know better (look-ahead across moves).
  virtual double TotalSeconds(double sumOfMovesAndDwells);
};

// The estimator used when none is set.
TimeEstimator& DefaultTimeEstimator();
