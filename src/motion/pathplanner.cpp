#include "motion/pathplanner.h"

#include <algorithm>
#include <cfloat>
#include <cmath>

#include "base/logging.h"
#include "machine/machineconfig.h"
#include "machine/machinestate.h"
#include "motion/motionstream.h"
#include "motion/radiuscomp.h"
#include "program/errors.h"

namespace {
constexpr double kEps = 2.220446049250313e-16;
// Element-level lines, and the per-piece and per-point detail below them.
constexpr int32_t kLogPlan = LOGCAT_TRAJECTORY | 4;
constexpr int32_t kLogDetail = LOGCAT_TRAJECTORY | 2;
constexpr int32_t kLogPoint = LOGCAT_TRAJECTORY | 1;
// Feed moves go to the module at 1.5 times the feed with an override of 2/3:
// the operator's 150 % is then the module's 100 %.
constexpr double kFeedFactor = 1.5;
constexpr double kFeedScale = 2.0 / 3.0;
// 163.923048454 / degrees: the velocity through a corner of that angle at
// which the filtered path stays within the tolerance; 28.6478... (= 90 / pi)
// turns (|d1| + |d2|) / angle into the radius of a circle through the corner.
constexpr double kCornerTolFactor = 163.923048454;
constexpr double kCornerRadiusFactor = 28.64788975654116;
constexpr int kC = 5;

double MinXyzAccel() {
  const MachineConfig& cfg = GetMachineConfig();
  double a = DBL_MAX;
  for (int i = 0; i < 3; ++i)
    if (cfg.axis[i].workAcceler > 0) a = std::min(a, cfg.axis[i].workAcceler);
  return a == DBL_MAX ? 1000.0 : a;
}

double MinXyzStopAccel() {
  const MachineConfig& cfg = GetMachineConfig();
  double a = DBL_MAX;
  for (int i = 0; i < 3; ++i)
    if (cfg.axis[i].stopAcceler > 0) a = std::min(a, cfg.axis[i].stopAcceler);
  return a == DBL_MAX ? MinXyzAccel() : a;
}

double WrapDegrees(double d) {
  if (!std::isfinite(d)) return 0;
  d = std::fmod(d, 360.0);
  if (d > 180.0) d -= 360.0;
  if (d < -180.0) d += 360.0;
  return d;
}

// On the two-plane cutter (machine type 4) the head with the shorter XY
// travel (X/Y or U/V) does not count in the path length.
uint32_t PathAxisMask(const Coordinates& d) {
  constexpr uint32_t kAll = (1u << kAxisCount) - 1;
  if (GetMachineConfig().machineType != 4) return kAll;
  const double xy = std::hypot(d.v[0], d.v[1]), uv = std::hypot(d.v[6], d.v[7]);
  return xy >= uv ? kAll & ~((1u << 6) | (1u << 7)) : kAll & ~3u;
}

double AngleBetween(double ax, double ay, double az, double bx, double by, double bz) {
  const double na = std::sqrt(ax * ax + ay * ay + az * az), nb = std::sqrt(bx * bx + by * by + bz * bz);
  if (!(na > 0) || !(nb > 0)) return 0;
  const double c = (ax * bx + ay * by + az * bz) / (na * nb);
  if (c >= 1) return 0;
  if (c <= -1) return 180;
  return std::acos(c) / kDegToRad;
}

// Elements with coordinates that are not numbers are not planned.
bool Finite(const Coordinates& c) {
  for (double x : c.v)
    if (!std::isfinite(x)) return false;
  return true;
}

Coordinates Lerp(const Coordinates& a, const Coordinates& b, double f) {
  Coordinates r;
  for (int i = 0; i < kAxisCount; ++i) r.v[i] = a.v[i] + (b.v[i] - a.v[i]) * f;
  return r;
}
}  // namespace

PlanObserver::~PlanObserver() = default;
void PlanObserver::OnElement(const PlannedElement&) {}
void PlanObserver::OnCorner(const PlannedCorner&) {}

// ---------------------------------------------------------------------------
// geometry

Coordinates PathPlanner::ArcPath::Point(double f) const {
  Coordinates p = ArcPoint(arc, std::min(f, 1.0));
  const Vector3 q = matrix * Vector3(p);
  for (int i = 0; i < 3; ++i) p.v[i] = q.v[i];
  p += translation;
  if (knife) p.v[kC] = WrapDegrees(arc.startAngle + arc.sweep * f + cOffset);
  return p;
}

Coordinates PathPlanner::ArcPath::Tangent(double f) const {
  const double a = (arc.startAngle + arc.sweep * f) * kDegToRad;
  const double w = arc.sweep * kDegToRad;
  Vector3 t;
  t.v[arc.first] = -arc.radius * std::sin(a) * w;
  t.v[arc.second] = arc.radius * std::cos(a) * w;
  t.v[arc.normal] = arc.end.v[arc.normal] - arc.start.v[arc.normal];
  const Vector3 m = matrix * t;
  Coordinates r;
  for (int i = 0; i < 3; ++i) r.v[i] = m.v[i];
  return r;
}

double PathPlanner::PathLength(const Coordinates& d) const {
  const uint32_t mask = PathAxisMask(d);
  double sum = 0;
  for (int i = 0; i < kAxisCount; ++i)
    if (mask & (1u << i)) sum += d.v[i] * d.v[i];
  return std::sqrt(sum);
}

Coordinates PathPlanner::UnitOf(const Coordinates& d) const {
  const double len = PathLength(d);
  Coordinates u;
  if (len < 0.5 * Tolerance()) return u;
  for (int i = 0; i < kAxisCount; ++i) u.v[i] = d.v[i] / len;
  return u;
}

double PathPlanner::Tolerance() const { return RadiusComp::GetToleranceParameter(); }

const Transformation& PathPlanner::Trans() const {
  static const Transformation identity;
  const Transformation* t = m_state ? m_state->GetTransformation() : nullptr;
  return t ? *t : identity;
}

bool PathPlanner::Smoothing() const { return !(m_state && m_state->GetFlag(SF_EXACT_STOP)); }

double PathPlanner::RapidVelocity() {
  const MachineConfig& cfg = GetMachineConfig();
  return std::max(cfg.axis[0].maxVelocity, std::max(cfg.axis[1].maxVelocity, cfg.axis[2].maxVelocity));
}

PathPlanner::Element PathPlanner::Part(const Element& e, double from, double to) {
  Element p = e;
  p.length = std::max(0.0, to - from);
  if (e.isArc) {
    const double span = e.arc.length > 0 ? 1.0 / e.arc.length : 0.0;
    p.arc.f0 = e.arc.f0 + from * span;
    p.arc.f1 = e.arc.f0 + to * span;
    p.start = e.arc.Point(p.arc.f0);
    p.end = e.arc.Point(p.arc.f1);
  } else if (e.length > 0) {
    p.start = Lerp(e.start, e.end, from / e.length);
    p.end = Lerp(e.start, e.end, to / e.length);
    // The knife's angle is the line's, not a blend.
    if (e.knife) p.start.v[kC] = p.end.v[kC] = e.end.v[kC];
  }
  return p;
}

Coordinates PathPlanner::Direction(const Element& e, double v, bool atEnd) const {
  if (!e.isArc) {
    Coordinates d = e.end - e.start;
    if (e.knife) d.v[kC] = 0;
    return d;
  }
  // An arc: its tangent, or in smoothing mode the chord over the half
  // filter distance next to the corner, which is what the filter sees.
  const Coordinates tangent = e.arc.Tangent(atEnd ? e.arc.f1 : e.arc.f0);
  if (!Smoothing()) return tangent;
  const double span = std::min(filterTime * v / 2, e.length) / e.arc.length;
  const Coordinates chord =
      atEnd ? e.end - e.arc.Point(e.arc.f1 - span) : e.arc.Point(e.arc.f0 + span) - e.start;
  return PathLength(chord) >= Tolerance() ? chord : tangent;
}

// ---------------------------------------------------------------------------
// construction and run start

PathPlanner::PathPlanner(MotionStream& stream) : out(stream) {}

void PathPlanner::Start(const Coordinates& machinePosition) {
  currentPos = lastPoint = machinePosition;
  progPos = m_state ? m_state->progPos : machinePosition;
  holding = false;
  thcOn = false;
  nomVel = 0;
  plannedFeed = 0;
  remSegLen = 0;
  velScale = 1;
  effFeedOvr = -1;
  forceAccel = true;
  heldCornerVel = 0;
  changeQueue.DisposeAll();
  pendingSSum = 0;
  pendingSCount = 0;
}

// ---------------------------------------------------------------------------
// lines

void PathPlanner::AddLine(const Coordinates& end, double feed, bool rapid, const Condition* until, bool noKnife) {
  out.BeginMotion();
  const Transformation& t = Trans();
  const bool knife = TangentialKnifeActive();
  Coordinates m = t.ToMachine(end);
  if (knife && !noKnife) m.v[kC] = end.v[kC];
  LogMessage(kLogPlan, "AddLine Zo=%f tag=%d", m.v[2], frontTag);
  if (!Finite(m)) return;
  const Coordinates progStart = progPos;
  progPos = end;
  if (m_state) m_state->progPos = end;

  const Coordinates d = m - currentPos;
  const double length = PathLength(d);
  if (length < Tolerance() || (Smoothing() && length < 0.1 * GetMachineConfig().trajectTol)) return;

  if (rapid || !(feed > 0)) {
    DoLastMove(true);
    double vr = RapidVelocity();
    if (knife) {
      const double oldC = currentPos.v[kC];
      m.v[kC] = oldC + WrapDegrees(m.v[kC] - oldC);
      LogMessage(kLogPlan, "Rapid CTurn oldC=%f newC=%f", oldC, m.v[kC]);
      vr = std::max(vr, GetMachineConfig().axis[kC].maxVelocity);
    }
    newRecord = PlannedElement();
    newRecord.tag = frontTag;
    newRecord.kind = 'R';
    newRecord.feed = ::RapidVelocity(d);
    PointToPointMove(m, 3 * vr, feedOvr, 2);
    return;
  }
  if (until) {
    MoveWithUntil(m, feed, until);
    return;
  }

  // A feed move.
  double v = kFeedFactor * feed;
  velScale = kFeedScale;
  knifeTurn = knife && !noKnife;
  Coordinates dir = d;
  if (knifeTurn) dir.v[kC] = 0;
  v = PathVelocityLimit(v, UnitOf(dir));
  if (vmax > 0) v = std::min(v, vmax);
  ChangeFeedOvr(feedOvr);
  newRecord = PlannedElement();
  newRecord.tag = frontTag;
  newRecord.kind = 'L';
  newRecord.feed = feed;
  if (t.IsMappingOn()) {
    struct Ctx {
      const Transformation* t;
      Coordinates a, b;
    } ctx{&t, progStart, end};
    const double programLength = Length9(end - progStart);
    const double scale = t.GetScale() > 0 ? t.GetScale() : 1.0;
    AddPieces([](const void* c, double f) {
      const Ctx* x = static_cast<const Ctx*>(c);
      return x->t->ToMachine(Lerp(x->a, x->b, f));
    }, &ctx, programLength > 0 ? v * kSample / scale / programLength : 1.0, v);
  } else {
    AddElementSegment(m, v);
  }
}

void PathPlanner::AddElementSegment(const Coordinates& machineEnd, double vel) {
  next = Element();
  next.start = currentPos;
  next.end = machineEnd;
  next.knife = knifeTurn;
  newDir = machineEnd - currentPos;
  if (knifeTurn) {
    next.end.v[kC] = currentPos.v[kC] + WrapDegrees(machineEnd.v[kC] - currentPos.v[kC]);
    newDir.v[kC] = 0;
  }
  next.length = PathLength(newDir);
  if (next.length < Tolerance()) return;
  newVel = vel;
  newRecord.length = next.length;
  newRecord.cutAfter = 0;
  newRecord.cutBefore = 0;
  AddSegment();
}

void PathPlanner::AddPieces(PiecePoint point, const void* ctx, double inc, double vel) {
  // Under a non-linear transformation the element is no longer a line or a
  // circle: pieces of about 5 ms of path, each checked against the limits.
  const double wanted = vel * kSample;
  inc = std::min(1.0, inc);
  double done = 0;
  int retries = 0;
  Coordinates last = currentPos;
  while (done < 1.0) {
    const double f = std::min(1.0, done + inc);
    const Coordinates m = point(ctx, f);
    const double dist = PathLength(m - last);
    if (f < 1.0 && dist > 0 && (dist > 1.4 * wanted || dist < 0.7 * wanted) && retries < 30) {
      inc *= wanted / dist;
      ++retries;
      continue;
    }
    retries = 0;
    if (m_state) {
      const int32_t code = CheckSegmentLimits(*m_state, last, m);
      if (code) throw Error_t(code);
    }
    if (dist >= Tolerance()) {
      AddElementSegment(m, vel);
      last = m;
    }
    done = f;
  }
}

void PathPlanner::MoveWithUntil(const Coordinates& target, double feed, const Condition* until) {
  DoLastMove(true);
  ChangeVelocity(0);
  out.WaitStandstill();
  out.ArmStopCondition(until);
  newRecord = PlannedElement();
  newRecord.tag = frontTag;
  newRecord.kind = 'U';
  newRecord.feed = feed;
  PointToPointMove(target, feed, feedOvr, 0);
  out.WaitStandstill();
  out.ArmStopCondition(nullptr);
  // The move ends where the condition fired.
  currentPos = lastPoint = out.ActualPosition();
}

// ---------------------------------------------------------------------------
// arcs

void PathPlanner::AddArc(const Coordinates& end, const double centre[3], double feed, int32_t plane, bool clockwise) {
  out.BeginMotion();
  const MachineConfig& cfg = GetMachineConfig();
  const Transformation& t = Trans();
  const Coordinates progStart = progPos;
  if (!Finite(end) || !std::isfinite(centre[0] + centre[1] + centre[2])) return;
  const ArcGeometry arc = MakeArc(progStart, end, centre, plane, clockwise);
  const bool knife = TangentialKnifeActive();
  double cTime = 0;
  if (knife) {
    if (plane != 2) throw Error_t(-1117);
    if (cfg.axis[kC].maxVelocity > 0) cTime = std::fabs(arc.sweep) / cfg.axis[kC].maxVelocity;
  }
  if (m_state) {
    const uint32_t bits = CheckArcLimits(*m_state, t, arc);
    if (bits) throw Error_t((bits & kLimitKeepoutBit) ? -1062 : -1052);
  }
  const double scale = t.GetScale() > 0 ? t.GetScale() : 1.0;
  const double height = end.v[arc.normal] - progStart.v[arc.normal];
  const double planar = ArcPlanarLength(arc);
  const double length = std::hypot(planar, height) * scale;
  if (length < Tolerance()) {
    progPos = end;
    if (m_state) m_state->progPos = end;
    return;
  }
  const double sweep = std::fabs(arc.sweep);
  if (sweep < 90.0 && arc.radius * scale * (1.0 - std::cos(sweep * kDegToRad)) < Tolerance()) {
    // Closer to its chord than anything the machine can show.
    AddLine(end, feed, false, nullptr, false);
    return;
  }
  progPos = end;
  if (m_state) m_state->progPos = end;
  if (!(feed > 0)) throw Error_t(-1041);

  velScale = kFeedScale;
  double v = kFeedFactor * feed;
  ChangeFeedOvr(feedOvr);
  knifeTurn = false;
  newRecord = PlannedElement();
  newRecord.tag = frontTag;
  newRecord.kind = 'A';
  newRecord.feed = feed;
  const double cOffset = arc.endAngle <= arc.startAngle ? -90.0 : 90.0;
  if (t.IsDistortedOrMapped()) {
    // The mapped arc is no longer a circle: chords of about 5 ms.
    v = CircularVelocityLimit(plane, planar * scale, height * scale, arc.radius * scale, v, true);
    if (vmax > 0) v = std::min(v, vmax);
    struct Ctx {
      const Transformation* t;
      const ArcGeometry* arc;
      bool knife;
      double cOffset;
    } ctx{&t, &arc, knife, cOffset};
    AddPieces([](const void* c, double f) {
      const Ctx* x = static_cast<const Ctx*>(c);
      Coordinates m = x->t->ToMachine(ArcPoint(*x->arc, f));
      if (x->knife) m.v[kC] = WrapDegrees(x->arc->startAngle + x->arc->sweep * f + x->cOffset);
      return m;
    }, &ctx, kSample / std::max(length / v, cTime), v);
    return;
  }

  CircularLimit which = CIRC_NONE;
  v = CircularVelocityLimit(plane, planar * scale, height * scale, arc.radius * scale, v, false, &which);
  if (which == CIRC_HELIX) LogMessage(kLogPlan, "CheckCircularVelocity limit=Z %f", v);
  else if (which == CIRC_CENTRIPETAL) LogMessage(kLogPlan, "CheckCircularVelocity limit=centripedal %f", v);
  else if (which == CIRC_AXIS) LogMessage(kLogPlan, "CheckCircularVelocity limit=%f", v);
  if (vmax > 0) v = std::min(v, vmax);
  if (cTime > 0 && length / v < cTime) v = length / cTime;

  next = Element();
  next.isArc = true;
  next.arc.arc = arc;
  next.arc.matrix = t.GetTotalMatrix();
  next.arc.translation = t.GetTranslation();
  next.arc.length = length;
  next.arc.knife = knife;
  next.arc.cOffset = cOffset;
  next.start = next.arc.Point(0);
  next.end = next.arc.Point(1);
  next.length = length;
  newDir = next.arc.Tangent(0);
  newVel = v;
  newRecord.length = length;
  AddSegment();
}

// ---------------------------------------------------------------------------
// the corner logic

void PathPlanner::AddSegment() {
  const bool smooth = Smoothing();
  if (!holding) {
    newVel = std::min(newVel, RapidVelocity());
    const double a = MinXyzAccel();
    StartNewPolyLine(a, RapidVelocity(), smooth ? std::sqrt(8 * GetMachineConfig().trajectTol / a) : 0.0);
    HoldNew();
    return;
  }
  heldDir = Direction(held, heldVel, true);
  newDir = Direction(next, newVel, false);
  double angle = 0;
  const double vCorner = MaxCornerVelocity(newVel, newDir, currentPos, heldDir, &angle);
  PlannedCorner corner;
  corner.tag = tag;
  corner.angle = angle;
  corner.limited = vCorner < std::max(heldVel, newVel);

  if (vCorner < kEps || (!smooth && (vCorner < heldVel || vCorner < newVel))) {
    heldCornerVel = 0;
    DoLastMove(true);
    ChangeVelocity(0);
    LogMessage(kLogPlan, "vCorn nearly Zero!");
  } else {
    const double T = filterTime;
    if (vCorner < heldVel) {
      const double d = T * heldVel;
      if (held.length <= d) {
        LogMessage(kLogPlan, "AddSegment() slow down before corner");
        heldRecord.velocity = EffectiveVelocity(vCorner);
      } else {
        StreamPiece(Part(held, 0, held.length - d / 2), heldVel);
        LogMessage(kLogPlan, "AddSegment() cut before corner l=%f", d / 2);
        held = Part(held, held.length - d / 2, held.length);
        heldRecord.cutBefore = d / 2;
      }
      heldVel = vCorner;
    }
    const double through = std::min(vCorner, std::min(heldVel, newVel));
    corner.velocity = EffectiveVelocity(through);
    heldCornerVel = through;
    DoLastMove(true);
    if (vCorner < newVel) {
      const double d = T * newVel;
      if (next.length <= d) {
        newVel = vCorner;
        LogMessage(kLogPlan, "AddSegment() slow down after corner");
      } else {
        StreamPiece(Part(next, 0, d / 2), vCorner);
        LogMessage(kLogPlan, "AddSegment() cut after corner l=%f", d / 2);
        next = Part(next, d / 2, next.length);
        newDir = Direction(next, newVel, false);
        newRecord.cutAfter = d / 2;
      }
    }
  }
  if (m_observer) m_observer->OnCorner(corner);
  HoldNew();
}

void PathPlanner::HoldNew() {
  held = next;
  heldVel = newVel;
  heldDir = newDir;
  currentPos = next.end;
  holding = true;
  tag = frontTag;
  heldRecord = newRecord;
  heldRecord.velocity = EffectiveVelocity(newVel);
}

double PathPlanner::MaxCornerVelocity(double v, const Coordinates& d2, const Coordinates& position,
                                      const Coordinates& d1, double* angleOut) const {
  const MachineConfig& cfg = GetMachineConfig();
  Coordinates a = d1, b = d2;
  // A turning drum moves the surface: its angle becomes the linear motion at
  // the current distance from the drum's axis.
  const int drum = cfg.drumAxis == 1 ? 4 : 3;
  if (a.v[drum] != 0 || b.v[drum] != 0) {
    for (Coordinates* c : {&a, &b}) {
      const double turn = c->v[drum] * kDegToRad;
      if (cfg.drumAxis == 1) {
        c->v[0] += turn * (position.v[2] - cfg.drumPosZ);
        c->v[2] -= turn * (position.v[0] - cfg.drumPosX);
      } else {
        c->v[1] -= turn * (position.v[2] - cfg.drumPosZ);
        c->v[2] += turn * (position.v[1] - cfg.drumPosY);
      }
    }
  }
  double theta;
  if (cfg.machineType == 4) {
    theta = std::max(AngleBetween(a.v[0], a.v[1], 0, b.v[0], b.v[1], 0),
                     AngleBetween(a.v[6], a.v[7], 0, b.v[6], b.v[7], 0));
  } else {
    theta = AngleBetween(a.v[0], a.v[1], a.v[2], b.v[0], b.v[1], b.v[2]);
  }
  if (angleOut) *angleOut = theta;
  const Coordinates u1 = UnitOf(d1), u2 = UnitOf(d2);

  if (!Smoothing()) {
    if (theta > cfg.maxStopAngle) {
      LogMessage(kLogPlan, "MaxCornerVelocity angle=%f > MaxStopAngle", theta);
      return 0;
    }
    double vc = RapidVelocity();
    for (int i = 0; i < kAxisCount; ++i) {
      const double jump = std::fabs(u2.v[i] - u1.v[i]);
      if (vc * jump > cfg.axis[i].maxJumpVel) vc = cfg.axis[i].maxJumpVel / jump;
    }
    if (vc < v) LogMessage(kLogPlan, "MaxCornerVelocity jump v=%f angle=%f", vc, theta);
    return vc;
  }
  if (theta > cfg.maxBendAngle) {
    LogMessage(kLogPlan, "MaxCornerVelocity angle=%f > MaxBendAngle", theta);
    return 0;
  }
  const double rotaryLimit = std::sin(cfg.maxBendAngle * kDegToRad);
  for (int i = 3; i < 6; ++i) {
    if (std::fabs(u2.v[i] - u1.v[i]) > rotaryLimit) {
      LogMessage(kLogPlan, "MaxCornerVelocity axis %c turns", kAxisLetters[i]);
      return 0;
    }
  }
  if (theta < kEps) return DBL_MAX;
  const double ac = cfg.cvAcceler, e = cfg.trajectTol;
  const double vTol = ac > 0 && e > 0 ? kCornerTolFactor * std::sqrt(ac * e) / theta : 0.0;
  const double radius = kCornerRadiusFactor * (PathLength(d1) + PathLength(d2)) / theta;
  const double vRadius = ac > 0 ? std::sqrt(ac * radius) : 0.0;
  const double vc = std::min(vTol, vRadius);
  if (vc < v) LogMessage(kLogPlan, "MaxCornerVelocity v=%f vTol=%f vRadius=%f angle=%f", vc, vTol, vRadius, theta);
  return vc;
}

// ---------------------------------------------------------------------------
// module commands

void PathPlanner::StartNewPolyLine(double a, double vmaxNew, double filter) {
  if (filter != filterTime) {
    filterTime = filter;
    forceAccel = true;
  }
  ChangeAcceleration(a, vmaxNew);
  if (nomVel != 0) ChangeVelocity(0);
  LogMessage(kLogPlan, "StartNewPolyLine !");
  remSegLen = 0;
}

void PathPlanner::ChangeAcceleration(double a, double vmaxNew) {
  if (a == accel && !forceAccel && !(vmaxNew > vmax)) return;
  ChangeVelocity(0);
  if (a > 1000000) LogMessage(kLogPlan, "ChangeAcceleration a undefiniert!!!");
  out.WaitStandstill();
  const double estop = MinXyzStopAccel();
  out.SetAcceleration(a, vmaxNew, filterTime, estop);
  LogMessage(kLogPlan, "ChangeAcceleration a=%f vmax=%f filterTime=%f estopAcc=%f", a, vmaxNew, filterTime, estop);
  accel = a;
  vmax = vmaxNew;
  forceAccel = false;
}

void PathPlanner::ChangeVelocity(double v) {
  const double currVmax = vmax;
  if (currVmax > 0 && v > currVmax) {
    QASSERT(v <= currVmax * 1.001, "ChangeVelocity: v > Vmax!");
    LogMessage(kLogPlan, "ChangeVelocity !!! v=%f max=%f", v, currVmax);
    v = currVmax;
  }
  if (v == nomVel) return;
  if (v == 0) {
    const double distance = PathLength(currentPos - lastPoint);
    if (distance > Tolerance()) {
      const double ratio = nomVel > 0 ? distance / (nomVel * kSample) : 1.0;
      // The last step is short: the module takes it at the matching speed.
      if (ratio < 0.99) out.SetVelocity(nomVel * ratio);
      LogMessage(kLogDetail, "NextPosition(optional)");
      out.NextPosition(currentPos, MotionStream::kPointOptional);
      lastPoint = currentPos;
    }
    remSegLen = 0;
  } else if (execMode != kExecStd) {
    LogMessage(kLogPlan, "ChangeVelocity != execStd");
  }
  LogMessage(kLogPlan, "ChangeVelocity %f", v);
  out.SetVelocity(v);
  // The torch height control judges the arc by the speed the cut should run at.
  if (v > 0 && thcOn) out.ThcNominalVelocity(v);
  nomVel = v;
}

void PathPlanner::ChangeFeedOvr(double percent) {
  const bool fixed = m_state && m_state->GetFlag(SF_FEED_OVERRIDE);
  const double eff = std::clamp((fixed ? 100.0 : percent) * velScale, 0.0, 100.0);
  if (eff == effFeedOvr) return;
  LogMessage(kLogPlan, "ChangeFeedOvr eff=%f fact=%f", eff, velScale);
  out.SetFeedOverride(eff);
  effFeedOvr = eff;
}

void PathPlanner::SetFeedOverride(double percent) {
  feedOvr = std::isfinite(percent) ? std::max(percent, 0.0) : 100.0;
  ChangeFeedOvr(feedOvr);
}

// ---------------------------------------------------------------------------
// streaming

void PathPlanner::DoLastMove(bool push) {
  if (holding) {
    LogMessage(kLogDetail, "DoLastMove()");
    StreamPiece(held, heldVel);
    if (m_observer) {
      heldRecord.cornerVelocity = EffectiveVelocity(heldCornerVel);
      m_observer->OnElement(heldRecord);
    }
    holding = false;
    if (push) PushChangeQueue();
  }
  heldCornerVel = 0;
  tag = frontTag;
}

void PathPlanner::PushChangeQueue() {
  if (changeQueue.IsEmpty()) return;
  LogMessage(kLogDetail, "PushChangeQueue() ref=%d", out.RefNum());
  out.Trace(changeQueue, tag, velScale * plannedFeed);
}

void PathPlanner::PropagateChange(StateChange* change) {
  if (!holding) {
    LogMessage(kLogDetail, "PropagateChange() -> trace");
    StateChangeList one;
    one.Add(change);
    out.Trace(one, tag, velScale * plannedFeed);
  } else {
    LogMessage(kLogDetail, "PropagateChange() -> queue G%d", change->num);
    changeQueue.Add(change);
  }
}

void PathPlanner::StreamPiece(const Element& piece, double v) {
  out.CheckMayMove();
  if (piece.isArc) MakeCircularMove(piece.arc, v);
  else MakeLinearMove(piece.start, piece.end, v, piece.knife);
}

void PathPlanner::EmitPoint(const Coordinates& p) {
  out.NextPosition(p, MotionStream::kPointNormal);
  lastPoint = p;
  out.CheckBreak();
}

void PathPlanner::InsertRemainder(const Coordinates& start, double step) {
  // The last step of the element before is longer than a step at the new
  // velocity: points go along what is left of it first.
  LogMessage(kLogDetail, "Insert remSegLen=%1.3f", remSegLen);
  const Coordinates from = lastPoint;
  const double total = remSegLen;
  double s = step;
  while (remSegLen > step) {
    EmitPoint(Lerp(from, start, s / total));
    s += step;
    remSegLen -= step;
  }
  LogMessage(kLogDetail, "End of Insert");
}

void PathPlanner::StreamSteps(const Coordinates& from, const Coordinates& to, double length, double step,
                              PiecePoint point, const void* ctx) {
  if (!(step > 0) || !(length > 0)) {
    if (length > 0) EmitPoint(to);
    remSegLen = 0;
    return;
  }
  if (remSegLen > step) InsertRemainder(from, step);
  // The spacing runs on from the element before.
  double at = step - remSegLen;
  double last = -remSegLen;
  while (at <= length) {
    EmitPoint(point(ctx, at));
    last = at;
    at += step;
  }
  remSegLen = length - last;
}

void PathPlanner::MakeLinearMove(const Coordinates& from, const Coordinates& to, double v, bool knife) {
  ChangeVelocity(v);
  LogMessage(kLogDetail, "MakeLinearMove from X%1.3f Y%1.3f Z%1.3f C%1.3f to X%1.3f Y%1.3f Z%1.3f C%1.3f",
             from.v[0], from.v[1], from.v[2], from.v[kC], to.v[0], to.v[1], to.v[2], to.v[kC]);
  LogMessage(kLogDetail, "MakeLinearMove start ref=%d", out.RefNum());
  plannedFeed = v;
  const double step = v * kSample;
  Coordinates target = to;
  Coordinates d = target - from;
  if (knife) {
    target.v[kC] = from.v[kC] + WrapDegrees(to.v[kC] - from.v[kC]);
    d.v[kC] = 0;
  }
  struct Ctx {
    Coordinates from, target;
    double length;
    bool knife;
  } ctx{from, target, PathLength(d), knife};
  StreamSteps(from, target, ctx.length, step, [](const void* c, double at) {
    const Ctx* x = static_cast<const Ctx*>(c);
    Coordinates p = Lerp(x->from, x->target, at / x->length);
    if (x->knife) p.v[kC] = x->target.v[kC];
    return p;
  }, &ctx);
  currentPos = target;
  LogMessage(kLogDetail, "MakeLinearMove end ref=%d", out.RefNum());
}

void PathPlanner::MakeCircularMove(const ArcPath& arc, double v) {
  ChangeVelocity(v);
  const Coordinates from = arc.Point(arc.f0), to = arc.Point(arc.f1);
  const double length = arc.length * (arc.f1 - arc.f0);
  LogMessage(kLogDetail, "MakeCircularMove l=%1.3f from X%1.3f Y%1.3f to X%1.3f Y%1.3f", length, from.v[0],
             from.v[1], to.v[0], to.v[1]);
  plannedFeed = v;
  StreamSteps(from, to, arc.length > 0 ? length : 0.0, v * kSample, [](const void* c, double at) {
    const ArcPath* a = static_cast<const ArcPath*>(c);
    const Coordinates p = a->Point(a->f0 + at / a->length);
    LogMessage(kLogPoint, "CircularMove() x=%1.3f y=%1.3f z=%1.3f", p.v[0], p.v[1], p.v[2]);
    return p;
  }, &arc);
  currentPos = to;
  LogMessage(kLogDetail, "MakeCircularMove end ref=%d", out.RefNum());
}

void PathPlanner::PointToPointMove(const Coordinates& target, double v, double override, int mode) {
  LogMessage(kLogPlan, "PointToPointMove enter");
  const Coordinates d = target - currentPos;
  const double length = PathLength(d);
  if (length < Tolerance()) {
    LogMessage(kLogPlan, "PointToPointMove exit");
    return;
  }
  const MachineConfig& cfg = GetMachineConfig();
  Coordinates u;
  for (int i = 0; i < kAxisCount; ++i) u.v[i] = d.v[i] / length;
  v = PathVelocityLimit(v, u);
  // The largest path acceleration no axis exceeds along d.
  double a = DBL_MAX;
  for (int i = 0; i < kAxisCount; ++i) {
    const double c = std::fabs(u.v[i]);
    if (c > kEps && cfg.axis[i].workAcceler > 0) a = std::min(a, cfg.axis[i].workAcceler / c);
  }
  if (a == DBL_MAX) a = MinXyzAccel();
  v = std::min(v, std::sqrt(a * length));
  velScale = 1;
  knifeTurn = false;
  StartNewPolyLine(a, std::max(RapidVelocity(), v), mode == 2 ? 0.1 * v / a : 0.0);
  ChangeFeedOvr(override);
  next = Element();
  next.start = currentPos;
  next.end = target;
  next.length = length;
  newRecord.length = length;
  held = next;
  heldVel = v;
  heldRecord = newRecord;
  heldRecord.velocity = v;
  heldCornerVel = 0;
  holding = true;
  LogMessage(kLogPlan, "PointToPointMove MakeLinearMove");
  DoLastMove(false);
  ChangeVelocity(0);
  LogMessage(kLogPlan, "PointToPointMove exit");
}

// ---------------------------------------------------------------------------
// state changes

void PathPlanner::AddCmd(const StateChange& change) {
  const char c = change.code;
  const bool keepsHeld = (c == 'G' && change.num <= 3) || c == 'F' || c == 'I' || c == 'J' || c == 'K';
  if (!keepsHeld) {
    // The machine stops at the end of the move before the change (the next
    // move starts a new path anyway), and the change is placed at that very
    // point, not at the last 5 ms point before it.
    const bool wasHolding = holding;
    DoLastMove(false);
    ChangeVelocity(0);
    if (wasHolding) PushChangeQueue();
    LogMessage(kLogPlan, "AddCmd ! c=%c n=%d a=%f", c ? c : '?', change.num, change.arg);
  }
  if (c == 'S') {
    if (change.arg == nominalS && pendingSCount == 0) return;
    LogMessage(kLogPlan, "AddCmd S=%f X=%f", change.arg, currentPos.v[0]);
    if (pendingSCount == 0) {
      pendingSX = currentPos.v[0];
      pendingSY = currentPos.v[1];
    }
    pendingSSum += change.arg;
    ++pendingSCount;
    nominalS = pendingSSum / pendingSCount;
  } else if (c == 'G' && change.num == 74) {
    ChangeVelocity(0);
    out.WaitStandstill();
    Coordinates homed;
    if (out.Home(static_cast<int32_t>(std::lround(std::isfinite(change.arg) ? change.arg : 0)), change.flag != 0,
                 homed)) {
      currentPos = lastPoint = homed;
      progPos = Trans().ToProgram(homed);
      if (m_state) m_state->progPos = progPos;
    }
    return;
  } else if (c == 'G' && change.num == 4) {
    ChangeVelocity(0);
    out.WaitStandstill();
    out.Delay(change.arg, change.extra);
    return;
  } else if (c == 'O') {
    out.SetOutput(change.num, change.flag != 0, false);
    return;
  }

  StateChange* sc = StateChange::Copy(change);
  if (!sc) return;  // pool exhausted, already reported
  const bool spindleWasOn = m_state && (m_state->GetFlag(SF_SPINDLE_CW) || m_state->GetFlag(SF_SPINDLE_CCW));
  if (m_state) ExecuteStateChange(*m_state, *sc);
  const bool cw = m_state && m_state->GetFlag(SF_SPINDLE_CW);
  const bool ccw = m_state && m_state->GetFlag(SF_SPINDLE_CCW);
  if (c == 'M') {
    switch (change.num) {
      case 0:
      case 1:
        ChangeVelocity(0);
        out.WaitStandstill();
        out.Pause(change.num);
        break;
      case 3:
      case 4:
      case 5:
        if (change.num == 5) out.WatchArc(false);
        if (cw || ccw || spindleWasOn) out.SpindleChanged(cw || ccw, !ccw, nominalS);
        if (change.num == 3) out.WatchArc(true);
        break;
      case 46: {
        const bool automatic = GetMachineConfig().thcAutoMode != 0;
        // The stream waits for the standstill where it has THC at all.
        if (change.arg >= 0 || automatic)
          thcOn = out.SwitchThc(true, change.arg, change.arg2, change.arg3, automatic);
        break;
      }
      case 47:
        ChangeVelocity(0);
        out.WaitStandstill();
        if (thcOn) {
          out.SwitchThc(false, 0, 0, 0, false);
          thcOn = false;
          // The module moved Z on its own: the path goes on from where it
          // left the torch.
          currentPos = lastPoint = out.ActualPosition();
          progPos = Trans().ToProgram(currentPos);
          if (m_state) m_state->progPos = progPos;
        }
        break;
      case 50:
        ChangeFeedOvr(feedOvr);
        break;
      default:
        break;
    }
  } else if (c == 'S') {
    out.SpindleChanged(cw || ccw, !ccw, nominalS);
    pendingSSum = 0;
    pendingSCount = 0;
  } else if (c == 'G') {
    if (change.num == -1 && change.arg == 0) LogMessage(kLogPlan, "AddCmd G-1 0!!!");
    else if ((change.num >= 0 && change.num <= 3) || (change.num >= 53 && change.num <= 59))
      LogMessage(kLogPlan, "AddCmd G%d a=%f", change.num, change.arg);
  }
  PropagateChange(sc);
}

void PathPlanner::SetOffsetPosition(const double position[3], bool flag) {
  StateChange* sc = StateChange::GetNew();
  if (!sc) return;
  sc->code = 'G';
  sc->num = flag ? 2 : 3;
  sc->position = currentPos;
  for (int i = 0; i < 3; ++i) sc->position.v[i] = position[i];
  PropagateChange(sc);
  // A reference within half a step of where the planner stands is where it
  // stands.
  const MachineConfig& cfg = GetMachineConfig();
  for (int i = 0; i < 3; ++i)
    if (std::fabs(currentPos.v[i] - position[i]) <= 0.5 * std::fabs(cfg.axis[i].resolution))
      currentPos.v[i] = position[i];
}

// ---------------------------------------------------------------------------
// end and waits

void PathPlanner::EndProgram(uint32_t stateWord) {
  LogMessage(kLogPlan, "EndProgram m_state= %X", stateWord);
  LogMessage(kLogPlan, "EndProgram LastMove");
  DoLastMove(true);
  ChangeVelocity(0);
  plannedFeed = 0;
  out.WaitStandstill();
  LogMessage(kLogPlan, "EndProgram ok");
}

void PathPlanner::WaitForMachine() {
  DoLastMove(true);
  ChangeVelocity(0);
  out.WaitStandstill();
  currentPos = lastPoint = out.ActualPosition();
  progPos = Trans().ToProgram(currentPos);
  if (m_state) m_state->progPos = progPos;
}

void PathPlanner::SetMaxRpm(double rpm) {
  LogMessage(kLogPlan, "SetMaxRpm toolMaxS=%f", rpm);
  maxRpm = rpm;
}

void PathPlanner::CatchBreak() {
  LogMessage(kLogPlan, "CatchBreak, actFeedOvr=-1");
  effFeedOvr = -1;
  nomVel = 0;
  holding = false;
  changeQueue.DisposeAll();
}
