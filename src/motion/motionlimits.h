// Velocity limits, arc geometry and soft-limit checks shared by the motion
// back ends (the simulation and the path planner). Everything reads the
// process-wide machine configuration; nothing here keeps state except the
// tangential-knife flag.
#pragma once

#include <cstdint>

#include "base/coordinates.h"

class MachineState;
class Transformation;

// Result bit of CheckArcLimits: the arc enters the tool changer's keep-out
// area (the other bits are 1 << axis of a violated soft limit).
constexpr uint32_t kLimitKeepoutBit = 1024;

// Half of the finest axis step (Resolution is millimetres per step): moves
// shorter than this are not worth making.
double MinimumStep();

// Nine-axis length of d.
double Length9(const Coordinates& d);

// The path velocity allowed along the unit direction u: feed lowered so that
// no axis exceeds its MaxVelocity.
double PathVelocityLimit(double feed, const Coordinates& u);

// The rapid velocity along d: the path velocity at which the slowest axis
// (relative to its MaxVelocity) just reaches its limit. 0 for a null move.
double RapidVelocity(const Coordinates& d);

// Axes of an arc plane (0 = YZ, 1 = ZX, 2 = XY: the index of the normal axis).
void PlaneAxes(int32_t plane, int& first, int& second);

struct ArcGeometry {
  int first = 0, second = 1, normal = 2;  // axis indexes of the plane
  double radius = 0;
  double startAngle = 0;  // degrees, 0..360
  double endAngle = 0;    // degrees; below startAngle when clockwise
  double sweep = 0;       // endAngle - startAngle; a closed circle is +-360
  double centre[3] = {0, 0, 0};
  Coordinates start;      // program coordinates
  Coordinates end;
};

// Geometry of the arc from start to end around centre (program coordinates).
// Equal start and end make a full circle. Angles are in the plane's axes.
ArcGeometry MakeArc(const Coordinates& start, const Coordinates& end, const double centre[3], int32_t plane,
                    bool clockwise);

// The point at fraction f (0..1) of the arc: angle and the normal axis move
// linearly, the other axes follow end.
Coordinates ArcPoint(const ArcGeometry& arc, double f);

// Planar length of the arc (radius x |sweep| in radians).
double ArcPlanarLength(const ArcGeometry& arc);

// The highest feed for an arc with planar length s, height h and radius r:
// each plane axis's MaxVelocity, the normal axis for a helix, and the
// centripetal limit sqrt(a r) with a = CvAcceler when CvAccLimited is set,
// else the axis's WorkAcceler. nonLinear: a transformation that bends the
// arc; then the smallest limits of X, Y and Z apply. which (optional) tells
// the limit that bound last.
enum CircularLimit { CIRC_NONE = 0, CIRC_AXIS, CIRC_HELIX, CIRC_CENTRIPETAL };
double CircularVelocityLimit(int32_t plane, double s, double h, double r, double feed, bool nonLinear,
                             CircularLimit* which = nullptr);

// The machine position after homing the axes of mask (bit = axis) from p:
// each enabled axis goes to its switch (HomeSwitchMode 1: MinPosition, 2:
// MaxPosition, 3 and above: HomePosition; 0 leaves it).
Coordinates HomedPosition(Coordinates p, uint32_t mask);
// The axis mask of a homing argument (its whole part; 0 when not finite).
uint32_t HomingMask(double arg);

// Whether the straight machine-space segment a..b touches the tool changer's
// keep-out box (AtcHasKeepout, AtcKeepoutMin/Max over the axes of
// AtcKeepoutMask, default X, Y and Z).
bool SegmentEntersKeepout(const Coordinates& a, const Coordinates& b);

// Whether soft limits are enforced for a run on state.
bool SoftLimitsActive(const MachineState& state);

// Checks the machine-space segment a..b: 0 when allowed, -1062 when it
// enters the keep-out area, -1008 when b is outside an axis's soft limits.
int32_t CheckSegmentLimits(const MachineState& state, const Coordinates& a, const Coordinates& b);

// Checks the arc (program coordinates) transformed by t: 0, or the bits of
// the axes whose soft limits it leaves plus kLimitKeepoutBit.
uint32_t CheckArcLimits(const MachineState& state, const Transformation& t, const ArcGeometry& arc);

// The soft limit of axis in direction (upper when positive); false when the
// axis has no travel range.
bool AxisTravelLimit(const MachineState& state, int axis, bool positive, double& limit);

// The handwheel counts (step mm each, from hereMm in machine coordinates)
// the soft limits of axis allow either way; unbounded without active limits.
void WheelCountRange(const MachineState& state, int axis, double hereMm, double stepMm, int64_t& lowest,
                     int64_t& highest);

// Clamps every axis of a machine position into its soft limits (axes
// without a travel range are left alone).
void ClampToSoftLimits(const MachineState& state, Coordinates& m);

// The tangential knife: set by the interpreter on a tool change when the
// machine type is 3 and the tool is a knife (type 13 or 14); the C axis then
// follows the path direction.
bool TangentialKnifeActive();
void SetTangentialKnifeActive(bool on);
