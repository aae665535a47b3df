#include "motion/radiuscomp.h"

#include <algorithm>
#include <cmath>

#include "program/errors.h"
#include "base/logging.h"
#include "machine/machineconfig.h"
#include "machine/machinestate.h"
#include "machine/transformation.h"

using geo2d::Vec2;

namespace {

double g_toleranceParameter = 0.001;

// A point found exactly at the start of the held element may come out a hair
// behind it from rounding; that is no contour intersection.
constexpr double kBehindSlack = 1e-9;
// Smallest arc radius handed on, mm; below it an arc has no direction.
constexpr double kMinArcRadius = 1e-6;

Vec2 XY(const Coordinates& c) { return {c.v[0], c.v[1]}; }
Vec2 XY(const double c[3]) { return {c[0], c[1]}; }

[[noreturn]] void Fail(int32_t code) { throw Error_t(code); }

// Of n candidate points, the one nearest to the programmed corner: the offset
// elements meet there, the other crossing lies on the far side of a circle.
Vec2 NearestTo(Vec2 corner, const Vec2* points, int n) {
  Vec2 best = points[0];
  for (int i = 1; i < n; ++i)
    if (geo2d::Distance(points[i], corner) < geo2d::Distance(best, corner)) best = points[i];
  return best;
}

}  // namespace

void RadiusComp::SetToleranceParameter(double tolerance) {
  if (tolerance > 0 && std::isfinite(tolerance)) g_toleranceParameter = tolerance;
}

double RadiusComp::GetToleranceParameter() { return g_toleranceParameter; }

void RadiusComp::SwitchOn(FrontEnd** ownerSlot, int side, double radius, bool immediate) {
  QASSERT(side >= 0 && side <= 2, "RadiusComp: side must be 0, 1 or 2");
  if (ownerSlot == nullptr || !(radius >= geo2d::kEpsilon) || side < 0 || side > 2) side = 0;

  if (side == 0) {
    if (m_machineState) {
      m_machineState->SetFlag(kFlagBitG41, false);
      m_machineState->SetFlag(kFlagBitG42, false);
    }
    if (!IsOn()) return;
    if (immediate) {
      SwitchOffNow();
      return;
    }
    if (m_phase != PHASE_RUNNING) Fail(-1101);
    m_phase = PHASE_LEAVING;
    return;
  }

  FrontEnd* current = *ownerSlot;
  // The interpreter may attach its own state first; otherwise follow the
  // stage being compensated for.
  if (m_machineState == nullptr && current != nullptr && current != this)
    SetMachineState(current->GetMachineState());
  m_ownerSlot = ownerSlot;
  if (m_machineState) {
    m_machineState->SetFlag(kFlagBitG41, side == 1);
    m_machineState->SetFlag(kFlagBitG42, side == 2);
  }
  if (IsOn()) Fail(-1100);
  if (!QASSERT(current != nullptr, "RadiusComp: no front end to compensate for")) return;

  if (m_machineState)
    m_pending = m_machineState->progPos;
  else
    current->GetPosition(m_pending);
  m_target = m_pending;
  m_previousEnd = m_pending;
  m_prevEndDir = m_newStartDir = m_newEndDir = Vec2{1, 0};
  m_prevIsArc = m_newIsArc = false;

  m_tolerance = g_toleranceParameter;
  m_radius = radius;
  m_cornerLimit = geo2d::CornerLimit(m_radius, m_tolerance);

  m_side = side;
  m_phase = PHASE_STARTED;
  m_next = current;
  *ownerSlot = this;
  m_next->ResyncPosition();
  m_tag = m_next->GetTag();
  m_heldTag = m_tag;
}

void RadiusComp::AddLine(const Coordinates& end, double feed, bool rapid, const Condition* until, bool noKnife) {
  if (until != nullptr) Fail(-1042);
  if (!QASSERT(m_next != nullptr, "RadiusComp: element while not in the chain")) return;
  TakeNewLine(end);
  m_newRapid = rapid;
  m_newFlag = noKnife;
  m_next->AddProgrammedLine(end);
  Step(end, feed);
}

void RadiusComp::AddArc(const Coordinates& end, const double centre[3], double feed, int32_t plane, bool clockwise) {
  if (plane != 2) Fail(-1104);
  if (!QASSERT(m_next != nullptr, "RadiusComp: element while not in the chain")) return;
  TakeNewArc(end, centre, clockwise);
  m_newRapid = false;
  m_newFlag = false;
  m_next->AddProgrammedArc(end, centre, plane, clockwise);
  Step(end, feed);
}

void RadiusComp::AddCmd(const StateChange& change) {
  if (m_next != nullptr) m_next->AddCmd(change);
}

void RadiusComp::TakeNewLine(const Coordinates& end) {
  Vec2 dir;
  // A move without extent in the plane keeps the last direction: no corner.
  m_newHasXY = geo2d::Normalize(XY(end) - XY(m_target), &dir);
  if (m_newHasXY) m_newStartDir = m_newEndDir = dir;
  else m_newStartDir = m_newEndDir;
  m_newIsArc = false;
  m_newSweep = 0;
}

void RadiusComp::TakeNewArc(const Coordinates& end, const double centre[3], bool clockwise) {
  const Vec2 start = XY(m_target);
  const Vec2 c = XY(centre);
  for (int i = 0; i < 3; ++i) m_newCentre[i] = centre[i];
  m_newClockwise = clockwise;
  m_newArcRadius = geo2d::Distance(c, start);
  m_newStartDir = geo2d::ArcTangent(c, start, clockwise);
  m_newEndDir = geo2d::ArcTangent(c, XY(end), clockwise);
  m_newSweep = geo2d::ArcSweep(c, start, XY(end), clockwise);
  m_newIsArc = true;
  m_newHasXY = true;
}

void RadiusComp::Step(const Coordinates& end, double feed) {
  m_target = end;
  m_newFeed = feed;
  switch (m_phase) {
    case PHASE_STARTED:
      m_phase = PHASE_FIRST_HELD;
      break;
    case PHASE_FIRST_HELD:
      Approach();
      break;
    case PHASE_RUNNING:
      Corner();
      break;
    default:
      Leave();
      return;
  }
  Shift();
}

Vec2 RadiusComp::CornerOffset(Vec2 dir) const { return geo2d::OffsetPoint(XY(m_pending), dir, m_side, m_radius); }

void RadiusComp::SetPendingXY(Vec2 p) {
  m_pending.v[0] = p.x;
  m_pending.v[1] = p.y;
}

void RadiusComp::AdjustNewArcRadius(int32_t errorCode) {
  m_newArcRadius = geo2d::AdjustedArcRadius(m_newArcRadius, m_newClockwise, m_side, m_radius);
  if (m_newArcRadius < 0) Fail(errorCode);
}

double RadiusComp::CheckedSweep(double sweep, bool clockwise) {
  const bool rightSign = clockwise ? sweep < 0 : sweep > 0;
  if (!rightSign || std::fabs(sweep) > 360.0 + 1e-9) Fail(-1102);
  return sweep;
}

void RadiusComp::Approach() {
  SetPendingXY(CornerOffset(m_newStartDir));
  if (m_newIsArc) AdjustNewArcRadius(-1102);
  if (m_prevIsArc) {
    // The approach arc keeps its start and now ends on the compensated point.
    const Vec2 c = geo2d::CentreOnBisector(XY(m_previousEnd), XY(m_prevCentre), XY(m_pending));
    m_prevCentre[0] = c.x;
    m_prevCentre[1] = c.y;
    m_prevArcRadius = geo2d::Distance(c, XY(m_pending));
    m_prevSweep = geo2d::ArcSweep(c, XY(m_previousEnd), XY(m_pending), m_prevClockwise);
  }
  Emit();
  m_phase = PHASE_RUNNING;
}

void RadiusComp::Corner() {
  m_cornerAngle = geo2d::DirectionChange(m_prevEndDir, m_newStartDir);
  // A left turn is the inside of a left-hand tool; the right side mirrors.
  const double turn = m_side == geo2d::SIDE_LEFT ? m_cornerAngle : -m_cornerAngle;
  if (turn < -m_cornerLimit)
    OutsideCorner();
  else if (turn > m_cornerLimit)
    InsideCorner();
  else
    TangentJoin();
}

void RadiusComp::TangentJoin() {
  SetPendingXY(CornerOffset(m_prevEndDir));
  if (m_newIsArc) AdjustNewArcRadius(-1102);
  Emit();
}

void RadiusComp::OutsideCorner() {
  const Coordinates corner = m_pending;
  const Vec2 p1 = CornerOffset(m_prevEndDir);
  const Vec2 p2 = CornerOffset(m_newStartDir);
  SetPendingXY(p1);
  Emit();
  m_prevFeed = std::min(m_prevFeed, m_newFeed);
  if (geo2d::Distance(p1, p2) > m_tolerance) {
    // Roll around the corner on a circle of the tool radius.
    Coordinates arcEnd = corner;
    arcEnd.v[0] = p2.x;
    arcEnd.v[1] = p2.y;
    const double centre[3] = {corner.v[0], corner.v[1], corner.v[2]};
    m_next->AddArc(arcEnd, centre, m_prevFeed, 2, m_cornerAngle < 0);
  }
  SetPendingXY(p2);
  if (m_newIsArc) AdjustNewArcRadius(-1103);
}

void RadiusComp::InsideCorner() {
  if (m_newIsArc) AdjustNewArcRadius(-1102);
  const Vec2 corner = XY(m_pending);
  const Vec2 p1 = CornerOffset(m_prevEndDir);
  const Vec2 p2 = CornerOffset(m_newStartDir);
  const Vec2 c1 = XY(m_prevCentre);
  const Vec2 c2 = XY(m_newCentre);
  Vec2 cand[2];
  int n = 0;
  if (!m_prevIsArc && !m_newIsArc) {
    double t1 = 0, t2 = 0;
    if (geo2d::IntersectLines(p1, m_prevEndDir, p2, m_newStartDir, &t1, &t2)) {
      cand[n++] = p1 + t1 * m_prevEndDir;
    } else {
      if (geo2d::Dot(m_prevEndDir, m_newStartDir) < 0) Fail(-1105);
      cand[n++] = p1;
    }
  } else if (!m_prevIsArc) {
    double t[2];
    n = geo2d::IntersectLineCircle(p1, m_prevEndDir, c2, m_newArcRadius, m_tolerance, t);
    for (int i = 0; i < n; ++i) cand[i] = p1 + t[i] * m_prevEndDir;
  } else if (!m_newIsArc) {
    double t[2];
    n = geo2d::IntersectLineCircle(p2, m_newStartDir, c1, m_prevArcRadius, m_tolerance, t);
    for (int i = 0; i < n; ++i) cand[i] = p2 + t[i] * m_newStartDir;
  } else {
    n = geo2d::IntersectCircles(c1, m_prevArcRadius, c2, m_newArcRadius, m_tolerance, cand);
  }
  if (n == 0) Fail(-1102);
  const Vec2 x = NearestTo(corner, cand, n);

  if (!m_prevIsArc && m_prevHasXY && geo2d::Dot(x - XY(m_previousEnd), m_prevEndDir) < -kBehindSlack) Fail(-1102);
  if (m_prevIsArc)
    m_prevSweep = CheckedSweep(
        m_prevSweep + geo2d::WrapDeg(geo2d::AngleDeg(x - c1) - geo2d::AngleDeg(p1 - c1)), m_prevClockwise);
  if (m_newIsArc)
    m_newSweep = CheckedSweep(
        m_newSweep - geo2d::WrapDeg(geo2d::AngleDeg(x - c2) - geo2d::AngleDeg(p2 - c2)), m_newClockwise);
  SetPendingXY(x);
  Emit();
}

void RadiusComp::Leave() {
  const Vec2 end = CornerOffset(m_prevEndDir);
  // An earlier inside corner may already have cut past this end.
  if (!m_prevIsArc && m_prevHasXY && geo2d::Dot(end - XY(m_previousEnd), m_prevEndDir) < -kBehindSlack)
    Fail(-1102);
  SetPendingXY(end);
  Emit();
  if (m_newIsArc) {
    // The departure arc starts on the compensated point and ends on its
    // programmed end.
    const Vec2 c = geo2d::CentreOnBisector(XY(m_pending), XY(m_newCentre), XY(m_target));
    m_newCentre[0] = c.x;
    m_newCentre[1] = c.y;
    m_newArcRadius = geo2d::Distance(c, XY(m_target));
  }
  Shift();
  Emit();
  SwitchOffNow();
}

void RadiusComp::Emit() {
  if (m_machineState != nullptr && m_machineState->softLimitsEnabled) {
    const Transformation* trans = m_machineState->transformation;
    const Coordinates m = trans != nullptr ? trans->ToMachine(m_pending) : m_pending;
    for (int axis = 0; axis < 2; ++axis)
      if (m.v[axis] < m_machineState->GetLowerLimit(axis) || m.v[axis] > m_machineState->GetUpperLimit(axis))
        Fail(-1106);
  }
  m_next->SetTag(m_heldTag);
  if (!m_prevIsArc) {
    m_next->AddLine(m_pending, m_prevFeed, m_prevRapid, nullptr, m_prevFlag);
    return;
  }
  m_prevCentre[2] = m_pending.v[2];
  const Vec2 s = XY(m_previousEnd);
  const Vec2 e = XY(m_pending);
  LogMessage(LOGCAT_TRAJECTORY | 6, "CheckRadiusOk S=(%f,%f) C=(%f,%f) E=(%f,%f)", s.x, s.y, m_prevCentre[0],
             m_prevCentre[1], e.x, e.y);
  if (!geo2d::SameRadius(s, XY(m_prevCentre), e, GetMachineConfig().centerTolerance)) Fail(-1022);
  // Start and end then lie exactly on one circle.
  const Vec2 c = geo2d::CentreOnBisector(s, XY(m_prevCentre), e);
  if (!(geo2d::Distance(c, s) >= kMinArcRadius)) {
    // An inside arc as small as the tool: its centre stays on the spot and
    // only Z may still move. No stage behind gets an arc without a radius.
    m_next->AddLine(m_pending, m_prevFeed, false, nullptr, m_prevFlag);
    return;
  }
  m_prevCentre[0] = c.x;
  m_prevCentre[1] = c.y;
  m_next->AddArc(m_pending, m_prevCentre, m_prevFeed, 2, m_prevClockwise);
}

void RadiusComp::Shift() {
  m_previousEnd = m_pending;
  m_pending = m_target;
  m_prevFeed = m_newFeed;
  m_prevEndDir = m_newEndDir;
  m_prevArcRadius = m_newArcRadius;
  for (int i = 0; i < 3; ++i) m_prevCentre[i] = m_newCentre[i];
  m_prevClockwise = m_newClockwise;
  m_prevIsArc = m_newIsArc;
  m_prevRapid = m_newRapid;
  m_prevFlag = m_newFlag;
  m_prevHasXY = m_newHasXY;
  m_prevSweep = m_newSweep;
  m_heldTag = m_tag;
}

void RadiusComp::SwitchOffNow() {
  if (IsOn() && m_next != nullptr) {
    m_next->FrontEndHook();
    if (m_ownerSlot != nullptr) *m_ownerSlot = m_next;
  }
  m_side = 0;
  m_radius = 0;
  m_next = nullptr;
}
