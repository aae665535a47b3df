#include "preview/timeestimate.h"

#include <algorithm>
#include <cmath>

#include "motion/motionlimits.h"

TimeEstimator::~TimeEstimator() = default;

double TimeEstimator::LineSeconds(const Coordinates& d, double feedMmPerS, bool rapid) {
  const double length = Length9(d);
  if (!(length > 0)) return 0;
  // A feed move without a feed runs as fast as the axes allow, as a rapid.
  double v;
  if (rapid || !(feedMmPerS > 0)) {
    v = RapidVelocity(d);
  } else {
    Coordinates u = d;
    for (double& x : u.v) x /= length;
    v = PathVelocityLimit(feedMmPerS, u);
  }
  return v > 0 ? length / v : 0;
}

double TimeEstimator::ArcSeconds(const ArcGeometry& arc, double feedMmPerS, double scale, bool distorted) {
  if (!(feedMmPerS > 0)) return 0;
  const double planar = ArcPlanarLength(arc) * scale;
  const double height = (arc.end.v[arc.normal] - arc.start.v[arc.normal]) * scale;
  const double length = std::hypot(planar, height);
  const double v = std::min(feedMmPerS, CircularVelocityLimit(arc.normal, planar, height, arc.radius * scale,
                                                              feedMmPerS, distorted));
  return v > 0 ? length / v : 0;
}

double TimeEstimator::DwellSeconds(double seconds) { return seconds > 0 ? seconds : 0; }

double TimeEstimator::TotalSeconds(double sumOfMovesAndDwells) { return sumOfMovesAndDwells; }

TimeEstimator& DefaultTimeEstimator() {
  static TimeEstimator estimator;
  return estimator;
}
