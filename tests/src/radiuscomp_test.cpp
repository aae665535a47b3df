// Cutter radius compensation: single cases of the stage's rules and a
// property test that measures the compensated path against the programmed
// contour for many random contours.
#include "radiuscomp.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <random>
#include <set>
#include <vector>

#include "errors.h"
#include "fileparser.h"
#include "machineconfig.h"
#include "machinestate.h"
#include "statechange.h"

namespace {

using geo2d::Vec2;
constexpr double kPi = 3.14159265358979323846;

// Everything a stage behind the compensation receives.
class RecordingFrontEnd : public FrontEnd {
 public:
  struct Move {
    bool arc = false;
    Coordinates start, end;
    double centre[3] = {0, 0, 0};
    bool clockwise = false;
    double feed = 0;
    bool rapid = false;
    bool noKnife = false;
    int32_t tag = 0;
  };

  void AddLine(const Coordinates& end, double feed, bool rapid, const Condition*, bool noKnife) override {
    Move m;
    m.start = pos;
    m.end = end;
    m.feed = feed;
    m.rapid = rapid;
    m.noKnife = noKnife;
    m.tag = m_tag;
    moves.push_back(m);
    pos = end;
  }
  void AddArc(const Coordinates& end, const double centre[3], double feed, int32_t plane, bool clockwise) override {
    Move m;
    m.arc = true;
    m.start = pos;
    m.end = end;
    for (int i = 0; i < 3; ++i) m.centre[i] = centre[i];
    m.clockwise = clockwise;
    m.feed = feed;
    m.tag = m_tag;
    planes.push_back(plane);
    moves.push_back(m);
    pos = end;
  }
  void AddCmd(const StateChange& change) override { commands.push_back(change.num); }
  void ResyncPosition() override { ++resyncs; }
  void FrontEndHook() override { ++hooks; }
  void AddProgrammedLine(const Coordinates&) override { ++programmed; }
  void AddProgrammedArc(const Coordinates&, const double[3], int32_t, bool) override { ++programmed; }

  Coordinates pos;
  std::vector<Move> moves;
  std::vector<int32_t> planes;
  std::vector<int32_t> commands;
  int resyncs = 0;
  int hooks = 0;
  int programmed = 0;
};

// ---- measuring, independent of the stage's own geometry

Vec2 XY(const Coordinates& c) { return {c[0], c[1]}; }
double Len(Vec2 v) { return std::hypot(v.x, v.y); }

// Signed sweep in radians from a to b around c in the given direction,
// (0, 2pi] counter-clockwise, [-2pi, 0) clockwise.
double SweepRad(Vec2 c, Vec2 a, Vec2 b, bool clockwise) {
  double s = std::atan2(b.y - c.y, b.x - c.x) - std::atan2(a.y - c.y, a.x - c.x);
  if (clockwise) {
    while (s >= 0) s -= 2 * kPi;
    while (s < -2 * kPi) s += 2 * kPi;
  } else {
    while (s <= 0) s += 2 * kPi;
    while (s > 2 * kPi) s -= 2 * kPi;
  }
  return s;
}

// One programmed element of a contour.
struct Elem {
  bool arc = false;
  Vec2 a, b, c;
  bool cw = false;

  double Radius() const { return Len(a - c); }
  double Sweep() const { return SweepRad(c, a, b, cw); }
  Vec2 At(double u) const {
    if (!arc) return {a.x + u * (b.x - a.x), a.y + u * (b.y - a.y)};
    const double ang = std::atan2(a.y - c.y, a.x - c.x) + u * Sweep();
    return {c.x + Radius() * std::cos(ang), c.y + Radius() * std::sin(ang)};
  }
  Vec2 Tangent(double u) const {
    if (!arc) {
      const double l = Len(b - a);
      return {(b.x - a.x) / l, (b.y - a.y) / l};
    }
    const Vec2 p = At(u);
    const Vec2 r{(p.x - c.x) / Radius(), (p.y - c.y) / Radius()};
    return cw ? Vec2{r.y, -r.x} : Vec2{-r.y, r.x};
  }
  double Length() const { return arc ? Radius() * std::fabs(Sweep()) : Len(b - a); }
};

struct Nearest {
  double dist;
  double u;  // position on the element, 0..1
};

Nearest NearestOn(const Elem& e, Vec2 p) {
  if (!e.arc) {
    const Vec2 ab = e.b - e.a;
    double u = ((p.x - e.a.x) * ab.x + (p.y - e.a.y) * ab.y) / (ab.x * ab.x + ab.y * ab.y);
    u = std::clamp(u, 0.0, 1.0);
    return {Len(p - e.At(u)), u};
  }
  const double sweep = e.Sweep();
  double rel = std::atan2(p.y - e.c.y, p.x - e.c.x) - std::atan2(e.a.y - e.c.y, e.a.x - e.c.x);
  if (sweep < 0) rel = -rel;
  rel = std::fmod(rel, 2 * kPi);
  if (rel < 0) rel += 2 * kPi;
  if (rel <= std::fabs(sweep)) return {std::fabs(Len(p - e.c) - e.Radius()), rel / std::fabs(sweep)};
  const double da = Len(p - e.a), db = Len(p - e.b);
  return da < db ? Nearest{da, 0.0} : Nearest{db, 1.0};
}

// An emitted move as an element (an arc as the circle through its start).
Elem AsElem(const RecordingFrontEnd::Move& m) {
  Elem e;
  e.arc = m.arc;
  e.a = XY(m.start);
  e.b = XY(m.end);
  e.c = {m.centre[0], m.centre[1]};
  e.cw = m.clockwise;
  return e;
}

// Points along an emitted move.
std::vector<Vec2> Sample(const RecordingFrontEnd::Move& m, int n) {
  const Elem e = AsElem(m);
  std::vector<Vec2> pts;
  for (int i = 0; i <= n; ++i) pts.push_back(e.At(double(i) / n));
  return pts;
}

double DistanceToContour(const std::vector<Elem>& contour, Vec2 p, int* which = nullptr, double* u = nullptr) {
  double best = 1e300;
  for (size_t i = 0; i < contour.size(); ++i) {
    const Nearest n = NearestOn(contour[i], p);
    if (n.dist < best) {
      best = n.dist;
      if (which) *which = int(i);
      if (u) *u = n.u;
    }
  }
  return best;
}

// ---- fixture

class RadiusCompTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (int i = 0; i < 2; ++i) {
      savedMin[i] = GetMachineConfig().axis[i].minPosition;
      savedMax[i] = GetMachineConfig().axis[i].maxPosition;
      GetMachineConfig().axis[i].minPosition = -10000;
      GetMachineConfig().axis[i].maxPosition = 10000;
    }
    rec.SetMachineState(&state);
    slot = &rec;
  }
  void TearDown() override {
    for (int i = 0; i < 2; ++i) {
      GetMachineConfig().axis[i].minPosition = savedMin[i];
      GetMachineConfig().axis[i].maxPosition = savedMax[i];
    }
  }

  void Start(double x, double y, int side, double radius) {
    state.progPos = Coordinates(x, y, 0);
    rec.pos = state.progPos;
    rc.SwitchOn(&slot, side, radius, false);
  }
  void Line(double x, double y, double z = 0, double feed = 10) {
    slot->AddLine(Coordinates(x, y, z), feed, false, nullptr, false);
  }
  void Arc(double x, double y, double cx, double cy, bool cw, double feed = 10) {
    const double c[3] = {cx, cy, 0};
    slot->AddArc(Coordinates(x, y, 0), c, feed, 2, cw);
  }
  void Off() { rc.SwitchOn(&slot, 0, 0, false); }
  // Drops what the stage holds (also after an error) and forgets the output.
  void Reset() {
    rc.SwitchOn(&slot, 0, 0, true);
    rec.moves.clear();
  }
  int32_t CodeOf(const std::function<void()>& f) {
    try {
      f();
    } catch (const Error_t& e) {
      return e.code;
    }
    return 0;
  }

  double savedMin[2], savedMax[2];
  MachineState state{"rc"};
  RecordingFrontEnd rec;
  RadiusComp rc;
  FrontEnd* slot = nullptr;
};

void ExpectNear(Vec2 a, Vec2 b, double tol = 1e-9) {
  EXPECT_NEAR(a.x, b.x, tol);
  EXPECT_NEAR(a.y, b.y, tol);
}

// ---- switching on and off

TEST_F(RadiusCompTest, ZeroOrTinyRadiusLeavesCompensationOff) {
  rc.SwitchOn(&slot, 1, 0.0, false);
  EXPECT_FALSE(rc.IsOn());
  EXPECT_EQ(slot, &rec);
  rc.SwitchOn(&slot, 2, 1e-17, false);
  EXPECT_FALSE(rc.IsOn());
  EXPECT_EQ(slot, &rec);
  rc.SwitchOn(nullptr, 1, 3.0, false);
  EXPECT_FALSE(rc.IsOn());
  EXPECT_EQ(rec.resyncs, 0);
}

TEST_F(RadiusCompTest, SwitchOnInsertsStageAndSetsModalFlag) {
  rec.SetTag(42);
  Start(0, 0, 1, 2.0);
  EXPECT_EQ(slot, &rc);
  EXPECT_EQ(rc.Next(), &rec);
  EXPECT_EQ(rec.resyncs, 1);
  EXPECT_TRUE(state.GetFlag(kFlagBitG41));
  EXPECT_FALSE(state.GetFlag(kFlagBitG42));
  EXPECT_EQ(rc.GetPhase(), RadiusComp::PHASE_STARTED);
  EXPECT_DOUBLE_EQ(rc.CornerLimitDeg(), std::acos(1 - rc.Tolerance() / 2.0) * 180 / kPi);
  EXPECT_EQ(CodeOf([&] { rc.SwitchOn(&slot, 2, 2.0, false); }), -1100);

  rc.SwitchOn(&slot, 0, 0, true);
  EXPECT_EQ(slot, &rec);
  EXPECT_FALSE(rc.IsOn());
  EXPECT_EQ(rec.hooks, 1);
  EXPECT_FALSE(state.GetFlag(kFlagBitG41));
}

TEST_F(RadiusCompTest, AnAttachedMachineStateIsKept) {
  MachineState own("own");
  own.progPos = Coordinates(-5, 7, 0);
  rc.SetMachineState(&own);
  rc.SwitchOn(&slot, 2, 1.0, false);
  EXPECT_TRUE(own.GetFlag(kFlagBitG42));
  EXPECT_FALSE(state.GetFlag(kFlagBitG42));
  Line(0, 7);
  Line(10, 7);
  ASSERT_EQ(rec.moves.size(), 1u);
  // The approach starts where the attached state stands.
  ExpectNear(XY(rec.moves[0].end), {0, 6});
  rc.SwitchOn(&slot, 0, 0, true);
  EXPECT_FALSE(own.GetFlag(kFlagBitG42));
}

TEST_F(RadiusCompTest, CornerLimitIsNinetyDegreesForRadiusBelowTolerance) {
  Start(0, 0, 2, RadiusComp::GetToleranceParameter() / 2);
  EXPECT_TRUE(rc.IsOn());
  EXPECT_TRUE(state.GetFlag(kFlagBitG42));
  EXPECT_EQ(rc.CornerLimitDeg(), 90.0);
}

TEST_F(RadiusCompTest, SwitchingOffBeforeSecondElementIsTerminatedEarly) {
  Start(0, 0, 1, 2.0);
  EXPECT_EQ(CodeOf([&] { Off(); }), -1101);
  RadiusComp other;
  FrontEnd* otherSlot = &rec;
  other.SwitchOn(&otherSlot, 1, 2.0, false);
  otherSlot->AddLine(Coordinates(10, 0, 0), 1, false, nullptr, false);
  EXPECT_EQ(CodeOf([&] { other.SwitchOn(&otherSlot, 0, 0, false); }), -1101);
}

TEST_F(RadiusCompTest, StateChangesPassThroughInOrder) {
  Start(0, 0, 1, 2.0);
  StateChange g41('G', 41);
  slot->AddCmd(g41);
  ASSERT_EQ(rec.commands.size(), 1u);
  EXPECT_EQ(rec.commands[0], 41);
}

// ---- approach, joins and departure

TEST_F(RadiusCompTest, ApproachAndDepartureOfAStraightCut) {
  Start(0, -10, 1, 2.0);
  rec.SetTag(1);
  slot->SetTag(1);
  Line(0, 0);
  slot->SetTag(2);
  Line(50, 0);
  slot->SetTag(3);
  Line(100, 0, 0, 5);
  EXPECT_EQ(rc.GetPhase(), RadiusComp::PHASE_RUNNING);
  Off();
  EXPECT_EQ(rc.GetPhase(), RadiusComp::PHASE_LEAVING);
  slot->SetTag(4);
  Line(100, -10);
  EXPECT_FALSE(rc.IsOn());
  EXPECT_EQ(slot, &rec);
  EXPECT_EQ(rec.programmed, 4);

  ASSERT_EQ(rec.moves.size(), 4u);
  // The approach ends on the tool's left of the first cut, the departure on
  // the programmed point.
  ExpectNear(XY(rec.moves[0].end), {0, 2});
  ExpectNear(XY(rec.moves[1].end), {50, 2});
  ExpectNear(XY(rec.moves[2].end), {100, 2});
  ExpectNear(XY(rec.moves[3].end), {100, -10});
  EXPECT_EQ(rec.moves[0].tag, 1);
  EXPECT_EQ(rec.moves[2].tag, 3);
  EXPECT_EQ(rec.moves[3].tag, 4);
  EXPECT_DOUBLE_EQ(rec.moves[2].feed, 5);
}

TEST_F(RadiusCompTest, ZOnlyMoveCausesNoCorner) {
  Start(-10, 0, 2, 3.0);
  Line(0, 0);
  Line(20, 0);
  Line(20, 0, -5);  // plunge
  Line(40, 0, -5);
  Off();
  Line(40, 10, -5);
  for (const auto& m : rec.moves) EXPECT_FALSE(m.arc);
  ASSERT_EQ(rec.moves.size(), 5u);
  ExpectNear(XY(rec.moves[1].end), {20, -3});
  ExpectNear(XY(rec.moves[2].end), {20, -3});
  EXPECT_DOUBLE_EQ(rec.moves[2].end[2], -5);
  ExpectNear(XY(rec.moves[3].end), {40, -3});
}

TEST_F(RadiusCompTest, ZOnlyMoveBeforeAnInsideCornerRunsBackToTheIntersection) {
  Start(-10, 0, 1, 2.0);
  Line(0, 0);
  Line(20, 0);
  Line(20, 0, -5);
  Line(20, 20, -5);  // left turn: inside for the left-hand tool
  Off();
  Line(30, 30, -5);
  ASSERT_EQ(rec.moves.size(), 5u);
  ExpectNear(XY(rec.moves[2].end), {18, 2});
}

TEST_F(RadiusCompTest, DirectionChangeUpToCornerLimitIsATangentJoin) {
  const double r = 5.0;
  for (double factor : {0.999, 1.001}) {
    Reset();
    Start(-10, 0, 1, r);
    const double limit = rc.CornerLimitDeg() * factor * kPi / 180;
    Line(0, 0);
    Line(50, 0);
    // A right turn: the outside of a left-hand tool.
    Line(50 + 50 * std::cos(limit), -50 * std::sin(limit));
    Off();
    Line(200, 0);
    int arcs = 0;
    for (const auto& m : rec.moves) arcs += m.arc;
    EXPECT_EQ(arcs, factor < 1 ? 0 : 1) << "factor " << factor;
  }
}

TEST_F(RadiusCompTest, OutsideCornerRollsAroundTheCornerAtTheLowerFeed) {
  Start(-10, 0, 1, 2.0);
  Line(0, 0, 0, 20);
  Line(30, 0, 0, 20);
  Line(30, -30, 0, 8);  // right turn: outside
  Off();
  Line(40, -40);
  ASSERT_EQ(rec.moves.size(), 5u);
  const auto& roll = rec.moves[2];
  ASSERT_TRUE(roll.arc);
  EXPECT_TRUE(roll.clockwise);
  EXPECT_EQ(rec.planes[0], 2);
  ExpectNear({roll.centre[0], roll.centre[1]}, {30, 0});
  ExpectNear(XY(roll.start), {30, 2});
  ExpectNear(XY(roll.end), {32, 0});
  EXPECT_DOUBLE_EQ(roll.feed, 8);
  EXPECT_DOUBLE_EQ(rec.moves[1].feed, 20);
}

TEST_F(RadiusCompTest, OutsideCornerWithOffsetPointsWithinToleranceInsertsNoArc) {
  const double r = RadiusComp::GetToleranceParameter() * 0.4;
  Start(-10, 0, 1, r);
  Line(0, 0);
  Line(30, 0);
  Line(0, -30);  // sharp right turn
  Off();
  Line(-10, -40);
  for (const auto& m : rec.moves) EXPECT_FALSE(m.arc);
  ASSERT_EQ(rec.moves.size(), 4u);
}

TEST_F(RadiusCompTest, RightHandInsideCornerMeetsAtTheOffsetIntersection) {
  Start(-10, 0, 2, 2.0);
  Line(0, 0);
  Line(30, 0);
  Line(30, -30);  // right turn: inside for the right-hand tool
  Off();
  Line(40, -40);
  ASSERT_EQ(rec.moves.size(), 4u);
  ExpectNear(XY(rec.moves[1].end), {28, -2});
  ExpectNear(XY(rec.moves[2].end), {28, -30});
}

// ---- failures

TEST_F(RadiusCompTest, UntilIsNotAllowed) {
  Start(0, 0, 1, 2.0);
  Condition until;
  EXPECT_EQ(CodeOf([&] { slot->AddLine(Coordinates(1, 0, 0), 1, false, &until, false); }), -1042);
}

TEST_F(RadiusCompTest, ArcOutsideTheXYPlaneIsRejected) {
  Start(0, 0, 1, 2.0);
  const double c[3] = {0, 5, 0};
  EXPECT_EQ(CodeOf([&] { slot->AddArc(Coordinates(0, 10, 0), c, 1, 0, true); }), -1104);
  EXPECT_EQ(CodeOf([&] { slot->AddArc(Coordinates(0, 10, 0), c, 1, 1, true); }), -1104);
  EXPECT_EQ(rec.programmed, 0);
}

TEST_F(RadiusCompTest, UTurnIsRejected) {
  Start(-10, 0, 1, 2.0);
  Line(0, 0);
  Line(30, 0);
  EXPECT_EQ(CodeOf([&] { Line(10, 0); }), -1105);
}

TEST_F(RadiusCompTest, InsideCornerBehindTheHeldStartIsAContourIntersection) {
  Start(-10, 0, 1, 5.0);
  Line(0, 0);
  Line(30, 0);
  Line(30, 2);  // short left step, shorter than the radius
  EXPECT_EQ(CodeOf([&] { Line(0, 2); }), -1102);
}

TEST_F(RadiusCompTest, ArcSmallerThanTheRadiusOnItsInsideIsRejected) {
  Start(-10, 0, 1, 5.0);
  Line(0, 0);
  Line(30, 0);
  // Counter-clockwise arc of radius 3 continuing tangentially: the left-hand
  // tool is inside it.
  EXPECT_EQ(CodeOf([&] { Arc(30, 6, 30, 3, false); }), -1102);
}

TEST_F(RadiusCompTest, ArcAfterAnOutsideCornerTooSmallForTheToolIsAnInternalError) {
  Start(-10, 0, 1, 2.0);
  Line(0, 0);
  Line(30, 0);
  // Counter-clockwise arc of radius 1 starting downwards: a right turn (the
  // outside corner), and the left-hand tool would be inside the arc.
  EXPECT_EQ(CodeOf([&] { Arc(32, 0, 31, 0, false); }), -1103);
  EXPECT_EQ(slot, &rc);
}

TEST_F(RadiusCompTest, InsideCornerWithoutIntersectionIsRejected) {
  Start(-10, 0, 1, 2.0);
  Line(0, 0);
  Line(30, 0);
  // A tight counter-clockwise arc (tool inside), then a sharp left turn whose
  // offset line passes far from the arc's offset circle.
  const double end = (-90 + 20) * kPi / 180;
  Arc(30 + 5 * std::cos(end), 5 + 5 * std::sin(end), 30, 5, false);
  EXPECT_EQ(CodeOf([&] { Line(0, -5); }), -1102);
}

TEST_F(RadiusCompTest, InsideCornerThatConsumesTheHeldArcIsRejected) {
  Start(-10, 0, 1, 2.0);
  Line(0, 0);
  Line(30, 0);
  // A 5 degree counter-clockwise arc of radius 20, then a 100 degree left
  // turn: the corner cuts the offset arc back beyond its start.
  const double a1 = (-90 + 5) * kPi / 180;
  const Vec2 e{30 + 20 * std::cos(a1), 20 + 20 * std::sin(a1)};
  Arc(e.x, e.y, 30, 20, false);
  const double dir = (5 + 100) * kPi / 180;
  EXPECT_EQ(CodeOf([&] { Line(e.x + 40 * std::cos(dir), e.y + 40 * std::sin(dir)); }), -1102);
  // The same turn after a 30 degree arc leaves part of it.
  Reset();
  Start(-10, 0, 1, 2.0);
  Line(0, 0);
  Line(30, 0);
  const double b1 = (-90 + 30) * kPi / 180;
  const Vec2 f{30 + 20 * std::cos(b1), 20 + 20 * std::sin(b1)};
  Arc(f.x, f.y, 30, 20, false);
  const double dir2 = (30 + 100) * kPi / 180;
  EXPECT_EQ(CodeOf([&] { Line(f.x + 40 * std::cos(dir2), f.y + 40 * std::sin(dir2)); }), 0);
}

TEST_F(RadiusCompTest, ArcWithDifferentStartAndEndRadiusIsRejected) {
  Start(-10, 0, 1, 2.0);
  Line(0, 0);
  Line(10, 0);
  Arc(20, 0.5, 15, 0, false);  // radius 5 at the start, 5.025 at the end
  EXPECT_EQ(CodeOf([&] { Line(20, 30); }), -1022);
}

TEST_F(RadiusCompTest, CompensatedPointOutsideTheSoftLimitsIsARangeError) {
  GetMachineConfig().axis[1].minPosition = 0;
  Start(10, 10, 2, 3.0);  // right of a path along +X is below it
  Line(10, 1);
  EXPECT_EQ(CodeOf([&] { Line(50, 1); }), -1106);
  state.SetSoftLimitsEnabled(false);
  Reset();
  Start(10, 10, 2, 3.0);
  Line(10, 1);
  EXPECT_EQ(CodeOf([&] { Line(50, 1); }), 0);
}

// ---- arcs

TEST_F(RadiusCompTest, ArcsAreOffsetByTheRadiusOnTheirSide) {
  // A full lap of a circle of radius 20 around the origin, counter-clockwise,
  // tool outside (right-hand).
  Start(40, 0, 2, 2.0);
  Line(20, 0);
  Arc(-20, 0, 0, 0, false);
  Arc(20, 0, 0, 0, false);
  Arc(0, 20, 0, 0, false);
  Off();
  Line(0, 40);
  for (size_t i = 1; i + 1 < rec.moves.size(); ++i) {
    const auto& m = rec.moves[i];
    ASSERT_TRUE(m.arc);
    EXPECT_NEAR(Len(XY(m.start)), 22, 1e-9);
    EXPECT_NEAR(Len(XY(m.end)), 22, 1e-9);
  }
  ExpectNear(XY(rec.moves.back().end), {0, 40});
}

// ---- property test over random contours

struct Outcome {
  int feasible = 0, feasibleOk = 0, infeasible = 0, rejected = 0;
};

class ContourCase {
 public:
  ContourCase(std::mt19937& rng, bool closed, double arcShare, double r, int side)
      : m_r(r), m_side(side), m_closed(closed) {
    std::uniform_real_distribution<double> uni(0, 1);
    std::vector<Vec2> v;
    if (closed) {
      // Star-shaped: jittered angles, random distances (convex or concave).
      const int n = 4 + int(uni(rng) * 6);
      std::vector<double> ang;
      for (int i = 0; i < n; ++i) ang.push_back((i + 0.7 * uni(rng)) * 2 * kPi / n);
      for (double a : ang) {
        const double rho = 40 + 60 * uni(rng);
        v.push_back({rho * std::cos(a), rho * std::sin(a)});
      }
      if (uni(rng) < 0.5) std::reverse(v.begin(), v.end());
      v.push_back(v[0]);
    } else {
      Vec2 p{0, 0};
      double dir = uni(rng) * 2 * kPi;
      v.push_back(p);
      const int n = 3 + int(uni(rng) * 6);
      for (int i = 0; i < n; ++i) {
        const double len = r * (8 + 12 * uni(rng));
        p = {p.x + len * std::cos(dir), p.y + len * std::sin(dir)};
        v.push_back(p);
        dir += (uni(rng) < 0.5 ? -1 : 1) * (10 + 130 * uni(rng)) * kPi / 180;
      }
    }
    for (size_t i = 0; i + 1 < v.size(); ++i) {
      Elem e;
      e.a = v[i];
      e.b = v[i + 1];
      if (uni(rng) < arcShare) {
        // Arc over the chord, bulging to either side by 20..150 degrees.
        const double sweep = (20 + 130 * uni(rng)) * kPi / 180;
        e.arc = true;
        e.cw = uni(rng) < 0.5;
        const double chord = Len(e.b - e.a);
        const double R = chord / (2 * std::sin(sweep / 2));
        const Vec2 mid{(e.a.x + e.b.x) / 2, (e.a.y + e.b.y) / 2};
        const Vec2 u{(e.b.x - e.a.x) / chord, (e.b.y - e.a.y) / chord};
        const Vec2 left{-u.y, u.x};
        const double h = R * std::cos(sweep / 2) * (e.cw ? -1 : 1);
        e.c = {mid.x + h * left.x, mid.y + h * left.y};
      }
      contour.push_back(e);
    }
  }

  // Conservative: every element long and wide enough for its corners, no
  // sharp turns, no two elements closer than the tool diameter apart from
  // their shared corner.
  bool Feasible() const {
    const size_t n = contour.size();
    for (const Elem& e : contour) {
      if (Len(e.b - e.a) < 8 * m_r) return false;
      if (e.arc && e.Radius() < 3 * m_r) return false;
    }
    for (size_t i = 0; i < n; ++i) {
      if (!m_closed && i + 1 == n) break;
      const Elem& e1 = contour[i];
      const Elem& e2 = contour[(i + 1) % n];
      const Vec2 t1 = e1.Tangent(1), t2 = e2.Tangent(0);
      const double turn = std::atan2(t1.x * t2.y - t1.y * t2.x, t1.x * t2.x + t1.y * t2.y);
      if (std::fabs(turn) > 120 * kPi / 180) return false;
    }
    for (size_t i = 0; i < n; ++i)
      for (size_t j = i + 1; j < n; ++j) {
        const bool adjacent = j == i + 1 || (m_closed && i == 0 && j == n - 1);
        const Vec2 shared = j == i + 1 ? contour[i].b : contour[i].a;
        for (int k = 0; k <= 200; ++k) {
          for (int w = 0; w < 2; ++w) {
            const Elem& from = w ? contour[j] : contour[i];
            const Elem& to = w ? contour[i] : contour[j];
            const Vec2 p = from.At(k / 200.0);
            if (adjacent && Len(p - shared) < 5 * m_r) continue;
            if (NearestOn(to, p).dist < 2 * m_r + 1.0) return false;
          }
        }
      }
    return true;
  }

  // Runs the contour through the stage. Closed contours start and end in
  // the middle of their first element so that every corner is compensated.
  void Run(RadiusComp& rc, FrontEnd*& slot, RecordingFrontEnd& rec, MachineState& state) const {
    std::vector<Elem> prog;
    if (m_closed) {
      const Elem& first = contour[0];
      Elem head = Split(first, 0.5, 1.0), tail = Split(first, 0.0, 0.5), lap = Split(first, 0.5, 0.75);
      prog.push_back(head);
      for (size_t i = 1; i < contour.size(); ++i) prog.push_back(contour[i]);
      prog.push_back(tail);
      prog.push_back(lap);
    } else {
      prog = contour;
    }
    const Vec2 s = prog.front().a;
    const Vec2 n0 = ToolSide(prog.front().Tangent(0));
    state.progPos = Coordinates(s.x + 3 * m_r * n0.x, s.y + 3 * m_r * n0.y, 0);
    rec.pos = state.progPos;
    rc.SwitchOn(&slot, m_side, m_r, false);
    slot->AddLine(Coordinates(s.x, s.y, 0), 10, false, nullptr, false);
    for (const Elem& e : prog) Send(slot, e);
    rc.SwitchOn(&slot, 0, 0, false);
    const Vec2 last = prog.back().b;
    const Vec2 n1 = ToolSide(prog.back().Tangent(1));
    departure = {last.x + 3 * m_r * n1.x, last.y + 3 * m_r * n1.y};
    slot->AddLine(Coordinates(departure.x, departure.y, 0), 10, false, nullptr, false);
  }

  // The compensated path (without approach and departure) keeps exactly the
  // radius from the contour, on the tool's side, and passes every element.
  void Check(const RecordingFrontEnd& rec, double tol) const {
    ASSERT_GE(rec.moves.size(), contour.size() + 2);
    ExpectNear(XY(rec.moves.back().end), departure);
    for (size_t i = 1; i + 1 < rec.moves.size(); ++i) {
      for (Vec2 p : Sample(rec.moves[i], 24)) {
        int which = 0;
        double u = 0;
        const double d = DistanceToContour(contour, p, &which, &u);
        ASSERT_NEAR(d, m_r, tol) << "move " << i << " at " << p.x << "," << p.y;
        if (u > 1e-6 && u < 1 - 1e-6) {
          const Elem& e = contour[which];
          const Vec2 t = e.Tangent(u), q = e.At(u);
          const double cross = t.x * (p.y - q.y) - t.y * (p.x - q.x);
          EXPECT_GT(m_side == 1 ? cross : -cross, 0) << "wrong side, move " << i;
        }
      }
    }
    for (const Elem& e : contour) {
      const Vec2 q = e.At(0.5);
      const Vec2 nrm = ToolSide(e.Tangent(0.5));
      const Vec2 want{q.x + m_r * nrm.x, q.y + m_r * nrm.y};
      double best = 1e300;
      for (size_t i = 1; i + 1 < rec.moves.size(); ++i) best = std::min(best, NearestOn(AsElem(rec.moves[i]), want).dist);
      EXPECT_LT(best, tol) << "element mid point not passed";
    }
  }

  void SetRadius(double r) { m_r = r; }

  std::vector<Elem> contour;

 private:
  Vec2 ToolSide(Vec2 t) const { return m_side == 1 ? Vec2{-t.y, t.x} : Vec2{t.y, -t.x}; }
  static Elem Split(const Elem& e, double u0, double u1) {
    Elem part = e;
    part.a = e.At(u0);
    part.b = e.At(u1);
    return part;
  }
  static void Send(FrontEnd* slot, const Elem& e) {
    if (!e.arc) {
      slot->AddLine(Coordinates(e.b.x, e.b.y, 0), 10, false, nullptr, false);
      return;
    }
    const double c[3] = {e.c.x, e.c.y, 0};
    slot->AddArc(Coordinates(e.b.x, e.b.y, 0), c, 10, 2, e.cw);
  }

  double m_r;
  int m_side;
  bool m_closed;
  mutable Vec2 departure;
};

void RunProperty(uint32_t seed, bool closed, double arcShare, Outcome* out) {
  std::mt19937 rng(seed);
  const std::set<int32_t> allowed = {-1102, -1103, -1105, -1022};
  const double radii[] = {0.5, 2.0, 5.0};
  MachineState state("prop");
  for (int k = 0; k < 400; ++k) {
    const double r = radii[k % 3];
    const int side = 1 + (k / 3) % 2;
    ContourCase cc(rng, closed, arcShare, r, side);
    const bool feasible = cc.Feasible();
    RecordingFrontEnd rec;
    rec.SetMachineState(&state);
    FrontEnd* slot = &rec;
    RadiusComp rc;
    int32_t code = 0;
    try {
      cc.Run(rc, slot, rec, state);
    } catch (const Error_t& e) {
      code = e.code;
    }
    SCOPED_TRACE(::testing::Message() << "seed " << seed << " case " << k << " r " << r << " side " << side);
    if (feasible) {
      ++out->feasible;
      EXPECT_EQ(code, 0);
      if (code != 0) continue;
      EXPECT_EQ(slot, &rec);
      cc.Check(rec, 2 * RadiusComp::GetToleranceParameter() + 1e-6);
      if (!::testing::Test::HasFailure()) ++out->feasibleOk;
    } else {
      ++out->infeasible;
      if (code != 0) {
        ++out->rejected;
        EXPECT_EQ(slot, &rc) << "a failed stage stays in the chain";
        EXPECT_TRUE(allowed.count(code)) << "unexpected error " << code;
      }
    }
  }
}

TEST_F(RadiusCompTest, PropertyClosedPolygons) {
  Outcome out;
  RunProperty(1234, true, 0.0, &out);
  RecordProperty("feasible", out.feasible);
  RecordProperty("rejected", out.rejected);
  EXPECT_GT(out.feasible, 150);
  EXPECT_EQ(out.feasible, out.feasibleOk);
}

TEST_F(RadiusCompTest, PropertyClosedContoursWithArcs) {
  Outcome out;
  RunProperty(777, true, 0.5, &out);
  RecordProperty("feasible", out.feasible);
  RecordProperty("rejected", out.rejected);
  EXPECT_GT(out.feasible, 100);
  EXPECT_EQ(out.feasible, out.feasibleOk);
}

TEST_F(RadiusCompTest, PropertyOpenContoursWithArcs) {
  Outcome out;
  RunProperty(99, false, 0.4, &out);
  RecordProperty("feasible", out.feasible);
  RecordProperty("rejected", out.rejected);
  EXPECT_GT(out.feasible, 100);
  EXPECT_EQ(out.feasible, out.feasibleOk);
}

TEST_F(RadiusCompTest, PropertyOversizedRadiusFailsCleanly) {
  // Tight radii against the element lengths: many contours intersect their
  // own offset; each one either compensates or reports a compensation error.
  Outcome out;
  std::mt19937 rng(4242);
  const std::set<int32_t> allowed = {-1102, -1103, -1105, -1022};
  MachineState state("tight");
  for (int k = 0; k < 200; ++k) {
    ContourCase cc(rng, k % 2 == 0, 0.5, 2.0, 1 + k % 2);
    RecordingFrontEnd rec;
    rec.SetMachineState(&state);
    FrontEnd* slot = &rec;
    RadiusComp rc;
    try {
      cc.SetRadius(6.0);  // three times the radius the lengths were made for
      cc.Run(rc, slot, rec, state);
    } catch (const Error_t& e) {
      ++out.rejected;
      EXPECT_TRUE(allowed.count(e.code)) << "unexpected error " << e.code;
    }
  }
  RecordProperty("rejected", out.rejected);
  EXPECT_GT(out.rejected, 0);
}

}  // namespace
