#include "motion/geometry2d.h"

#include <algorithm>

namespace geo2d {

namespace {
constexpr double kRadToDeg = 180.0 / kPi;
}

bool Normalize(Vec2 v, Vec2* out) {
  const double len = Length(v);
  if (!(len > kEpsilon)) return false;
  *out = {v.x / len, v.y / len};
  return true;
}

Vec2 OffsetNormal(int side, Vec2 d) {
  if (side == SIDE_LEFT) return {-d.y, d.x};
  if (side == SIDE_RIGHT) return {d.y, -d.x};
  return {0, 0};
}

double AngleDeg(Vec2 d) { return std::atan2(d.y, d.x) * kRadToDeg; }

double WrapDeg(double a) {
  if (!std::isfinite(a)) return a;
  a = std::fmod(a, 360.0);
  if (a > 180.0) a -= 360.0;
  if (a <= -180.0) a += 360.0;
  return a;
}

double DirectionChange(Vec2 from, Vec2 to) { return WrapDeg(AngleDeg(to) - AngleDeg(from)); }

double CornerLimit(double radius, double tolerance) {
  if (radius > tolerance) return std::acos(1.0 - tolerance / radius) * kRadToDeg;
  return 90.0;
}

double AdjustedArcRadius(double arcRadius, bool clockwise, int side, double radius) {
  // Left of a counter-clockwise arc is towards its centre; right mirrors.
  const bool inside = (side == SIDE_LEFT) != clockwise;
  return inside ? arcRadius - radius : arcRadius + radius;
}

Vec2 ArcTangent(Vec2 centre, Vec2 p, bool clockwise) {
  Vec2 radial;
  if (!Normalize(p - centre, &radial)) return {1, 0};
  return clockwise ? Vec2{radial.y, -radial.x} : Vec2{-radial.y, radial.x};
}

double ArcSweep(Vec2 centre, Vec2 start, Vec2 end, bool clockwise) {
  const double a0 = AngleDeg(start - centre);
  const double a1 = AngleDeg(end - centre);
  double sweep = a1 - a0;
  if (clockwise) {
    while (sweep >= 0) sweep -= 360.0;
    while (sweep < -360.0) sweep += 360.0;
  } else {
    while (sweep <= 0) sweep += 360.0;
    while (sweep > 360.0) sweep -= 360.0;
  }
  return sweep;
}

bool IntersectLines(Vec2 p1, Vec2 d1, Vec2 p2, Vec2 d2, double* t1, double* t2) {
  const double c = Cross(d1, d2);
  if (std::fabs(c) < kEpsilon) return false;
  const Vec2 w = p2 - p1;
  *t1 = Cross(w, d2) / c;
  *t2 = Cross(w, d1) / c;
  return true;
}

int IntersectLineCircle(Vec2 p, Vec2 d, Vec2 c, double r, double tolerance, double t[2]) {
  // Foot of the perpendicular from the centre, then the half chord.
  const double tm = Dot(c - p, d);
  const Vec2 foot = p + tm * d;
  const double h = Distance(foot, c);
  if (h > r + tolerance) return 0;
  if (h >= r) {
    t[0] = tm;
    return 1;
  }
  const double half = std::sqrt(std::max(0.0, r * r - h * h));
  if (half <= kEpsilon) {
    t[0] = tm;
    return 1;
  }
  t[0] = tm - half;
  t[1] = tm + half;
  return 2;
}

int IntersectCircles(Vec2 c1, double r1, Vec2 c2, double r2, double tolerance, Vec2 out[2]) {
  const double dist = Distance(c1, c2);
  if (dist <= kEpsilon) return 0;
  const Vec2 u = (1.0 / dist) * (c2 - c1);
  if (dist > r1 + r2 + tolerance || dist < std::fabs(r1 - r2) - tolerance) return 0;
  // Distance from c1 along u to the common chord, and its half length.
  double a = (dist * dist + r1 * r1 - r2 * r2) / (2.0 * dist);
  a = std::clamp(a, -r1, r1);
  const double hh = r1 * r1 - a * a;
  const Vec2 base = c1 + a * u;
  if (hh <= kEpsilon * std::max(1.0, r1 * r1)) {
    out[0] = base;
    return 1;
  }
  const double h = std::sqrt(hh);
  const Vec2 n{-u.y, u.x};
  out[0] = base + h * n;
  out[1] = base - h * n;
  return 2;
}

Vec2 CentreOnBisector(Vec2 s, Vec2 c, Vec2 e) {
  const Vec2 se = e - s;
  if (std::fabs(se.x) <= kEpsilon && std::fabs(se.y) <= kEpsilon) return c;
  const double k = 0.5 - Dot(c - s, se) / Dot(se, se);
  return c + k * se;
}

}  // namespace geo2d
