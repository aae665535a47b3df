// Plane geometry of cutter radius compensation: offset lines and circles,
// their intersections, arc tangents and sweeps. Everything here works in the
// XY plane; angles are in degrees.
#pragma once

#include <cmath>

namespace geo2d {

// The smallest double step; lengths and cross products below it count as zero.
constexpr double kEpsilon = 2.220446049250313e-16;
constexpr double kPi = 3.14159265358979323846;

struct Vec2 {
  double x = 0;
  double y = 0;

  constexpr Vec2() = default;
  constexpr Vec2(double x_, double y_) : x(x_), y(y_) {}

  friend constexpr Vec2 operator+(Vec2 a, Vec2 b) { return {a.x + b.x, a.y + b.y}; }
  friend constexpr Vec2 operator-(Vec2 a, Vec2 b) { return {a.x - b.x, a.y - b.y}; }
  friend constexpr Vec2 operator*(double s, Vec2 a) { return {s * a.x, s * a.y}; }
  friend constexpr Vec2 operator*(Vec2 a, double s) { return {s * a.x, s * a.y}; }
};

inline double Dot(Vec2 a, Vec2 b) { return a.x * b.x + a.y * b.y; }
inline double Cross(Vec2 a, Vec2 b) { return a.x * b.y - a.y * b.x; }
inline double Length(Vec2 a) { return std::hypot(a.x, a.y); }
inline double Distance(Vec2 a, Vec2 b) { return Length(b - a); }

// Side of the tool relative to the path: 1 = left (G41), 2 = right (G42).
enum Side { SIDE_OFF = 0, SIDE_LEFT = 1, SIDE_RIGHT = 2 };

// Unit vector of v; false (and `out` untouched) when |v| is not above kEpsilon.
bool Normalize(Vec2 v, Vec2* out);

// Offset of direction d for a side: left (-d.y, d.x), right (d.y, -d.x).
Vec2 OffsetNormal(int side, Vec2 d);
// p moved by radius to the given side of direction d.
inline Vec2 OffsetPoint(Vec2 p, Vec2 d, int side, double radius) { return p + radius * OffsetNormal(side, d); }

// atan2 of d in degrees, (-180, 180].
double AngleDeg(Vec2 d);
// An angle wrapped into (-180, 180].
double WrapDeg(double a);
// Turn from direction `from` to direction `to`, degrees in (-180, 180]:
// positive is a left (counter-clockwise) turn.
double DirectionChange(Vec2 from, Vec2 to);

// Largest direction change still joined without a corner treatment: the angle
// at which offset points differ from the offset line by the tolerance.
double CornerLimit(double radius, double tolerance);

// Programmed arc radius moved by the compensation radius: the tool on the
// inside of the arc shortens it. May be negative (the caller rejects that).
double AdjustedArcRadius(double arcRadius, bool clockwise, int side, double radius);

// Unit tangent of a circle around `centre` at point p in the travel direction.
Vec2 ArcTangent(Vec2 centre, Vec2 p, bool clockwise);

// Signed sweep from start to end around centre: counter-clockwise in (0, 360],
// clockwise in [-360, 0); start equal to end (within kEpsilon in angle) is a
// full circle.
double ArcSweep(Vec2 centre, Vec2 start, Vec2 end, bool clockwise);

// Line-line: p1 + t1*d1 meets p2 + t2*d2. False when |d1 x d2| < kEpsilon.
bool IntersectLines(Vec2 p1, Vec2 d1, Vec2 p2, Vec2 d2, double* t1, double* t2);

// Line p + t*d (d unit) against the circle (c, r). Returns the number of
// parameters written to t[0..1], ascending. A line that misses the circle by
// no more than `tolerance` touches it at the nearest point.
int IntersectLineCircle(Vec2 p, Vec2 d, Vec2 c, double r, double tolerance, double t[2]);

// Circle (c1, r1) against circle (c2, r2). Returns the number of points
// written; circles that miss each other by no more than `tolerance` touch at
// one point. Concentric circles have no intersection.
int IntersectCircles(Vec2 c1, double r1, Vec2 c2, double r2, double tolerance, Vec2 out[2]);

// Centre c moved onto the perpendicular bisector of s-e (unchanged when s and
// e coincide within kEpsilon in X and Y).
Vec2 CentreOnBisector(Vec2 s, Vec2 c, Vec2 e);

// Whether s and e lie on one circle around c within `tolerance`.
inline bool SameRadius(Vec2 s, Vec2 c, Vec2 e, double tolerance) {
  return std::fabs(Distance(c, s) - Distance(c, e)) <= tolerance;
}

}  // namespace geo2d
