// Path planner: the stream it hands on for single corners, arcs, rapids and
// state changes, and random paths measured through the module model.
#include "motion/pathplanner.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "common/fresh_parameters.h"
#include "machine/machineconfig.h"
#include "machine/machinestate.h"
#include "machine/statechange.h"
#include "motion/modulemodel.h"
#include "motion/motionstream.h"
#include "motion/planestimate.h"

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kDt = ModuleModel::kSample;

// Everything the planner hands on, in order.
struct Event {
  enum Kind { ACCEL, VELOCITY, OVERRIDE, POINT, TRACE, WAIT } kind;
  double value = 0;       // acceleration, velocity, override
  double filterTime = 0;  // ACCEL
  Coordinates point;      // POINT
  std::string changes;    // TRACE: "M3", "S"...
};

class RecordingStream : public MotionStream {
 public:
  void SetAcceleration(double a, double, double t, double) override { events.push_back({Event::ACCEL, a, t, {}, {}}); }
  void SetVelocity(double v) override { events.push_back({Event::VELOCITY, v, 0, {}, {}}); }
  void SetFeedOverride(double p) override { events.push_back({Event::OVERRIDE, p, 0, {}, {}}); }
  void NextPosition(const Coordinates& p, int) override { events.push_back({Event::POINT, 0, 0, p, {}}); }
  void Trace(StateChangeList& changes, int32_t, double) override {
    std::string codes;
    for (StateChange* c = changes.Head(); c; c = c->next)
      codes += std::string(codes.empty() ? "" : " ") + c->code + (c->code == 'S' ? "" : std::to_string(c->num));
    changes.DisposeAll();
    events.push_back({Event::TRACE, 0, 0, {}, codes});
  }
  void WaitStandstill() override { events.push_back({Event::WAIT, 0, 0, {}, {}}); }
  void Delay(double, uint32_t) override {}
  Coordinates ActualPosition() override { return Coordinates(); }
  int16_t RefNum() const override { return static_cast<int16_t>(events.size()); }

  std::vector<Event> Of(Event::Kind k) const {
    std::vector<Event> out;
    for (const Event& e : events)
      if (e.kind == k) out.push_back(e);
    return out;
  }

  std::vector<Event> events;
};

class Seen : public PlanObserver {
 public:
  void OnElement(const PlannedElement& e) override { elements.push_back(e); }
  void OnCorner(const PlannedCorner& c) override { corners.push_back(c); }
  std::vector<PlannedElement> elements;
  std::vector<PlannedCorner> corners;
};

double Dist(const Coordinates& a, const Coordinates& b) {
  double s = 0;
  for (int i = 0; i < kAxisCount; ++i) s += (a.v[i] - b.v[i]) * (a.v[i] - b.v[i]);
  return std::sqrt(s);
}

// A small router whose axes differ, so that the slowest one decides, set up
// by the rules of the fresh installation: MaxJumpVel = WorkAcceler x 5 ms,
// CvAcceler = the smallest WorkAcceler.
void SmallRouter() {
  MachineConfig& cfg = GetMachineConfig();
  const double accel[3] = {1000, 800, 600};
  for (int i = 0; i < 3; ++i) {
    cfg.axis[i].workAcceler = accel[i];
    cfg.axis[i].maxJumpVel = accel[i] * kDt;
  }
  cfg.cvAcceler = 600;
}

class PlannerTest : public testsupport::FreshParametersTest {
 protected:
  void SetUp() override {
    FreshParametersTest::SetUp();
    SmallRouter();
    state = std::make_unique<MachineState>(simState, ".test");
    state->SetSoftLimitsEnabled(false);
    planner = std::make_unique<PathPlanner>(stream);
    planner->SetMachineState(state.get());
    planner->SetObserver(&seen);
    planner->Start(Coordinates());
  }
  void Mode(bool exactStop) {
    StateChange g('G', 62);
    g.flag = exactStop;
    planner->AddCmd(g);
  }
  void Line(double x, double y, double feed) { planner->AddLine(Coordinates(x, y, 0), feed, false, nullptr, false); }
  // T of smoothing mode: sqrt(8 e / a), a the smallest acceleration of X, Y, Z.
  static double FilterTime() { return std::sqrt(8 * GetMachineConfig().trajectTol / 600.0); }

  RecordingStream stream;
  Seen seen;
  std::unique_ptr<MachineState> state;
  std::unique_ptr<PathPlanner> planner;
};

TEST_F(PlannerTest, CollinearLinesKeepMovingAndTheNewFeedAppliesFromTheJoin) {
  Line(10, 0, 20);
  Line(20, 0, 10);
  Line(30, 0, 20);
  planner->EndProgram();
  // 1.5 x feed to the module, the override at 2/3; no stop before the end.
  const std::vector<double> expected = {30, 15, 30, 0};
  std::vector<double> got;
  for (const Event& e : stream.Of(Event::VELOCITY)) got.push_back(e.value);
  EXPECT_EQ(got, expected);
  EXPECT_NEAR(stream.Of(Event::OVERRIDE).at(0).value, 100.0 * 2 / 3, 1e-9);
  ASSERT_EQ(seen.elements.size(), 3u);
  EXPECT_DOUBLE_EQ(seen.elements[0].cornerVelocity, 10);
  EXPECT_DOUBLE_EQ(seen.elements[1].cornerVelocity, 10);
  for (const PlannedElement& e : seen.elements) EXPECT_EQ(e.cutBefore + e.cutAfter, 0);
  // The 5 ms points run on across the joins: every step is one of 5 ms at
  // the velocity of the element it ends in (or leads into), the last one
  // lands on the end.
  const std::vector<Event> points = stream.Of(Event::POINT);
  for (size_t k = 1; k + 1 < points.size(); ++k) {
    const double step = points[k].point.v[0] - points[k - 1].point.v[0];
    EXPECT_TRUE(std::fabs(step - 0.15) < 1e-9 || std::fabs(step - 0.075) < 1e-9) << "point " << k << " step " << step;
  }
  EXPECT_EQ(points.back().point, Coordinates(30, 0, 0));
}

TEST_F(PlannerTest, CornerVelocityByMode) {
  MachineConfig& cfg = GetMachineConfig();
  const double e = cfg.trajectTol, ac = cfg.cvAcceler;
  const Coordinates x(10, 0, 0);
  auto dir = [](double deg, double len) { return Coordinates(len * std::cos(deg * kPi / 180), len * std::sin(deg * kPi / 180), 0); };
  struct Row {
    bool exact;
    Coordinates d1, d2;
    double expected;
  };
  const double r5 = 5 * kPi / 180;
  // Y's MaxJumpVel (4) over its unit-vector step, X's (5) over its own.
  const double jump5 = std::min(4.0 / std::sin(r5), 5.0 / (1 - std::cos(r5)));
  const Row rows[] = {
      {false, x, x, DBL_MAX},                                                   // straight on: no limit
      {false, x, dir(46, 10), 0},                                               // above MaxBendAngle: stop
      {false, x, dir(30, 10), 163.923048454 * std::sqrt(ac * e) / 30},         // the tolerance decides
      {false, dir(0, 0.1), dir(30, 0.1), std::sqrt(ac * 28.64788975654116 * 0.2 / 30)},  // short: the radius
      {false, x, x + Coordinates(0, 0, 0, 20), 0},                              // A turns with the join
      {true, x, dir(11, 10), 0},                                                // above MaxStopAngle: stop
      {true, x, dir(5, 10), jump5},                                             // velocity steps per axis
  };
  for (const Row& r : rows) {
    Mode(r.exact);
    const double v = planner->MaxCornerVelocity(10, r.d2, Coordinates(), r.d1);
    if (r.expected == DBL_MAX) {
      EXPECT_EQ(v, DBL_MAX);
    } else {
      EXPECT_NEAR(v, r.expected, 1e-9 * std::max(1.0, r.expected)) << "exact " << r.exact;
    }
  }
}

TEST_F(PlannerTest, CornerCutsHalfAFilterDistanceOnEachSideUnlessTheElementIsShorter) {
  const double T = FilterTime();
  // A 30 degree corner at 40 mm/s is slower than the feed: a long element is
  // cut, one shorter than T x velocity runs at the corner velocity whole.
  Line(20, 0, 40);
  Line(20 + 0.05 * std::cos(kPi / 6), 0.05 * std::sin(kPi / 6), 40);
  Line(40, 0.05 * std::sin(kPi / 6), 40);
  planner->EndProgram();
  ASSERT_EQ(seen.elements.size(), 3u);
  const double cut = T * 60 / 2;  // T x nominal velocity / 2
  EXPECT_NEAR(seen.elements[0].cutBefore, cut, 1e-12);
  EXPECT_EQ(seen.elements[1].cutBefore + seen.elements[1].cutAfter, 0);
  EXPECT_NEAR(seen.elements[1].velocity, seen.elements[0].cornerVelocity, 1e-9);
  EXPECT_LT(seen.elements[1].velocity, 40);
  EXPECT_NEAR(seen.elements[2].cutAfter, cut, 1e-12);
  // No stop in between: the only velocity 0 is the end.
  const std::vector<Event> v = stream.Of(Event::VELOCITY);
  EXPECT_EQ(std::count_if(v.begin(), v.end(), [](const Event& e) { return e.value == 0; }), 1);
}

TEST_F(PlannerTest, ExactStopModeHasNoFilterAndStopsAtCorners) {
  Mode(true);
  Line(10.05, 0, 20);  // whole 5 ms steps
  Line(10.05, 10.05, 20);
  planner->EndProgram();
  const std::vector<Event> accel = stream.Of(Event::ACCEL);
  ASSERT_EQ(accel.size(), 1u);
  EXPECT_EQ(accel[0].filterTime, 0);
  std::vector<double> got;
  for (const Event& e : stream.Of(Event::VELOCITY)) got.push_back(e.value);
  EXPECT_EQ(got, (std::vector<double>{30, 0, 30, 0}));
  // The module stands at the corner itself.
  const auto it = std::find_if(stream.events.begin(), stream.events.end(),
                               [](const Event& e) { return e.kind == Event::VELOCITY && e.value == 0; });
  ASSERT_NE(it, stream.events.begin());
  EXPECT_EQ(std::prev(it)->point, Coordinates(10.05, 0, 0));
  // A fresh start and G64 smooth.
  Mode(false);
  Line(20, 10, 20);
  EXPECT_NEAR(stream.Of(Event::ACCEL).back().filterTime, FilterTime(), 1e-12);
}

TEST_F(PlannerTest, ArcsBelowTheToleranceRunAsLinesAndOthersWithinTheirLimits) {
  // 10 degrees of radius 0.05: 8.7 µm long, 0.76 µm off its chord.
  const double r = 0.05, a = 10 * kPi / 180;
  const double c1[3] = {0, r, 0};
  const Coordinates end1(r * std::sin(a), r - r * std::cos(a), 0);
  planner->AddArc(end1, c1, 20, 2, false);
  const double c2[3] = {end1.v[0] + 10, end1.v[1], 0};
  planner->AddArc(end1 + Coordinates(20, 0, 0), c2, 100, 2, false);  // a half circle of radius 10
  planner->EndProgram();
  ASSERT_EQ(seen.elements.size(), 2u);
  EXPECT_EQ(seen.elements[0].kind, 'L');
  EXPECT_EQ(seen.elements[1].kind, 'A');
  // Centripetal: 1.5 feed <= sqrt(a r) with the slower plane axis (Y, 800).
  EXPECT_NEAR(seen.elements[1].velocity, std::sqrt(800.0 * 10) * 2 / 3, 1e-9);
  EXPECT_NEAR(seen.elements[1].length, 10 * kPi, 1e-9);
  for (const Event& e : stream.Of(Event::POINT)) {
    const double off = e.point.v[0] > 1 ? std::hypot(e.point.v[0] - c2[0], e.point.v[1] - c2[1]) - 10 : 0;
    EXPECT_NEAR(off, 0, 1e-9);
  }
}

TEST_F(PlannerTest, RapidsAreSinglePathsEndingAtRest) {
  Line(10, 0, 20);
  planner->AddLine(Coordinates(50, 30, 0), -1, true, nullptr, false);
  Line(60, 30, 20);
  planner->EndProgram();
  // Before the rapid the feed path ends at rest, the rapid gets its own
  // acceleration, filter and override, and ends at rest before the feed
  // path's acceleration is set again.
  std::string kinds;
  for (const Event& e : stream.events) {
    if (e.kind == Event::ACCEL) kinds += "A";
    if (e.kind == Event::WAIT) kinds += "W";
    if (e.kind == Event::VELOCITY && e.value == 0) kinds += "0";
  }
  EXPECT_EQ(kinds, "WA0WA0WA0W");
  const std::vector<Event> accel = stream.Of(Event::ACCEL);
  // Along (40, 30): X and Y limit the acceleration to min(1000 / 0.8, 800 / 0.6).
  EXPECT_NEAR(accel[1].value, 1250, 1e-9);
  const double v = 100 / 0.8;  // X at its MaxVelocity
  EXPECT_NEAR(accel[1].filterTime, 0.1 * v / 1250, 1e-12);
  EXPECT_EQ(stream.Of(Event::OVERRIDE)[1].value, 100);
  ASSERT_EQ(seen.elements.size(), 3u);
  EXPECT_EQ(seen.elements[1].kind, 'R');
  EXPECT_EQ(seen.elements[0].cornerVelocity + seen.elements[1].cornerVelocity, 0);
}

TEST_F(PlannerTest, StateChangesTakeEffectWhereTheMoveBeforeThemEnds) {
  Line(10.0123, 0, 20);  // ends between two 5 ms points
  planner->AddCmd(StateChange('M', 3));
  Line(20, 0, 20);
  StateChange f('F', -1);
  f.arg = 600;
  planner->AddCmd(f);  // a feed keeps the move held and travels with it
  Line(30, 0, 20);
  planner->EndProgram();
  // The trace entries with the x of the last point before each.
  std::vector<std::pair<std::string, double>> traced;
  double lastX = -1;
  for (const Event& e : stream.events) {
    if (e.kind == Event::POINT) lastX = e.point.v[0];
    if (e.kind == Event::TRACE) traced.emplace_back(e.changes, lastX);
  }
  ASSERT_EQ(traced.size(), 2u);
  EXPECT_EQ(traced[0], std::make_pair(std::string("M3"), 10.0123));
  EXPECT_EQ(traced[1].first, "F-1");
  EXPECT_GT(traced[1].second, 20 - 0.15);
  EXPECT_LE(traced[1].second, 20);
  EXPECT_TRUE(state->GetFlag(SF_SPINDLE_CW));
}

// ---------------------------------------------------------------------------
// Random paths through the module model

struct Programmed {
  bool arc = false, rapid = false, exactStop = false;
  Coordinates a, b;
  double cx = 0, cy = 0, r = 0, a0 = 0, sweep = 0;  // XY arc, radians
  Coordinates At(double u) const {
    if (!arc) return a + Coordinates((b.v[0] - a.v[0]) * u, (b.v[1] - a.v[1]) * u, (b.v[2] - a.v[2]) * u);
    const double t = a0 + sweep * u;
    return Coordinates(cx + r * std::cos(t), cy + r * std::sin(t), a.v[2] + (b.v[2] - a.v[2]) * u);
  }
};

double DistanceToSegment(const Coordinates& p, const Coordinates& a, const Coordinates& b) {
  double ab2 = 0, ap = 0;
  for (int i = 0; i < 3; ++i) {
    ab2 += (b.v[i] - a.v[i]) * (b.v[i] - a.v[i]);
    ap += (p.v[i] - a.v[i]) * (b.v[i] - a.v[i]);
  }
  const double u = ab2 > 0 ? std::clamp(ap / ab2, 0.0, 1.0) : 0.0;
  return Dist(p, a + Coordinates((b.v[0] - a.v[0]) * u, (b.v[1] - a.v[1]) * u, (b.v[2] - a.v[2]) * u));
}

// The programmed path as polylines (arcs in chords of 0.5 µm sagitta) with
// bounding boxes.
struct Polyline {
  std::vector<Coordinates> points;
  double lo[3], hi[3];
};

std::vector<Polyline> Polylines(const std::vector<Programmed>& path) {
  std::vector<Polyline> out;
  for (const Programmed& e : path) {
    Polyline pl;
    const int n = e.arc ? std::max(2, static_cast<int>(std::ceil(std::fabs(e.sweep) / (2 * std::acos(1 - 0.0005 / e.r))))) : 1;
    for (int k = 0; k <= n; ++k) pl.points.push_back(e.At(static_cast<double>(k) / n));
    for (int i = 0; i < 3; ++i) {
      pl.lo[i] = pl.hi[i] = pl.points[0].v[i];
      for (const Coordinates& c : pl.points) pl.lo[i] = std::min(pl.lo[i], c.v[i]), pl.hi[i] = std::max(pl.hi[i], c.v[i]);
    }
    out.push_back(std::move(pl));
  }
  return out;
}

double DistanceToPath(const Coordinates& p, const std::vector<Polyline>& lines) {
  double best = 1e300;
  for (const Polyline& pl : lines) {
    bool near = true;
    for (int i = 0; i < 3 && near; ++i) near = p.v[i] >= pl.lo[i] - 1 && p.v[i] <= pl.hi[i] + 1;
    if (!near) continue;
    for (size_t k = 1; k < pl.points.size(); ++k) best = std::min(best, DistanceToSegment(p, pl.points[k - 1], pl.points[k]));
  }
  return best;
}

class WatchedStream : public ModelStream {
 public:
  void OnSample(const ModuleModel& m) override {
    out.push_back(m.Position());
    raw.push_back(m.RawPosition());
  }
  std::vector<Coordinates> out, raw;
};

// Lines (CAM segments and long moves, turning anyhow), arcs and helices,
// rapids, mixed feeds and switches between G61 and G64.
std::vector<Programmed> RandomWalk(std::mt19937& rng, PathPlanner& planner, int elements) {
  std::uniform_real_distribution<double> unit(0, 1);
  std::vector<Programmed> path;
  Coordinates pos;
  bool exact = false;
  for (int k = 0; k < elements; ++k) {
    const double pick = unit(rng);
    if (pick < 0.05) {
      StateChange g('G', 62);
      g.flag = exact = unit(rng) < 0.5;
      planner.AddCmd(g);
    }
    const double feed = 5 + 95 * unit(rng) * unit(rng);  // mm/s
    Programmed e;
    e.a = pos;
    e.exactStop = exact;
    if (pick < 0.1) {
      e.rapid = true;
      e.b = pos + Coordinates(40 * unit(rng) - 20, 40 * unit(rng) - 20, 10 * unit(rng) - 5);
      planner.AddLine(e.b, -1, true, nullptr, false);
    } else if (pick < 0.4) {
      e.arc = true;
      e.r = 0.3 + 15 * unit(rng) * unit(rng);
      const double toCentre = 2 * kPi * unit(rng);
      e.cx = pos.v[0] + e.r * std::cos(toCentre);
      e.cy = pos.v[1] + e.r * std::sin(toCentre);
      e.a0 = toCentre + kPi;
      const bool cw = unit(rng) < 0.5;
      e.sweep = (0.2 + 4 * unit(rng)) * (cw ? -1 : 1);
      const double dz = unit(rng) < 0.3 ? 4 * unit(rng) - 2 : 0;
      e.b = Coordinates(e.cx + e.r * std::cos(e.a0 + e.sweep), e.cy + e.r * std::sin(e.a0 + e.sweep), pos.v[2] + dz);
      const double centre[3] = {e.cx, e.cy, pos.v[2]};
      planner.AddArc(e.b, centre, feed, 2, cw);
    } else {
      const double len = unit(rng) < 0.6 ? 0.05 + 0.5 * unit(rng) : 0.5 + 30 * unit(rng);
      const double heading = 2 * kPi * unit(rng);
      e.b = pos + Coordinates(len * std::cos(heading), len * std::sin(heading),
                              unit(rng) < 0.2 ? len * (unit(rng) - 0.5) : 0);
      planner.AddLine(e.b, feed, false, nullptr, false);
    }
    path.push_back(e);
    pos = e.b;
  }
  planner.EndProgram();
  return path;
}

double TurnDegrees(const Programmed& p, const Programmed& q) {
  double dot = 0, n1 = 0, n2 = 0;
  for (int i = 0; i < 3; ++i) {
    const double u = p.b.v[i] - p.a.v[i], w = q.b.v[i] - q.a.v[i];
    dot += u * w, n1 += u * u, n2 += w * w;
  }
  return std::acos(std::clamp(dot / std::sqrt(n1 * n2), -1.0, 1.0)) * 180 / kPi;
}

TEST_F(PlannerTest, RandomPathsStayWithinLimitsAndTolerance) {
  const MachineConfig& cfg = GetMachineConfig();
  std::mt19937 rng(20240611);
  for (int run = 0; run < 40; ++run) {
    WatchedStream model;
    PathPlanner p(model);
    MachineState s(simState, ".rand");
    s.SetSoftLimitsEnabled(false);
    p.SetMachineState(&s);
    Seen planned;
    p.SetObserver(&planned);
    model.Reset(Coordinates());
    p.Start(Coordinates());
    const std::vector<Programmed> path = RandomWalk(rng, p, 60);
    for (const PlannedElement& e : planned.elements) EXPECT_LE(e.velocity, e.feed * (1 + 1e-12)) << "run " << run;

    // At rest before the first sample and after the last, at the end.
    std::vector<Coordinates> x = model.out;
    x.insert(x.begin(), 2, Coordinates());
    x.push_back(x.back());
    EXPECT_LT(Dist(x.back(), path.back().b), 1e-9) << "run " << run;
    const std::vector<Polyline> lines = Polylines(path);
    double worstVelocity = 0, worstAccel = 0, worstDeviation = 0;
    for (size_t k = 2; k < x.size(); ++k) {
      for (int i = 0; i < 3; ++i) {
        worstVelocity = std::max(worstVelocity, std::fabs(x[k].v[i] - x[k - 1].v[i]) / kDt / cfg.axis[i].maxVelocity);
        worstAccel = std::max(worstAccel, std::fabs(x[k].v[i] - 2 * x[k - 1].v[i] + x[k - 2].v[i]) / (kDt * kDt) /
                                              cfg.axis[i].workAcceler);
      }
      worstDeviation = std::max(worstDeviation, DistanceToPath(x[k], lines));
    }
    EXPECT_LE(worstVelocity, 1 + 1e-9) << "run " << run;
    // The module may stand up to the tolerance (1 µm) short of a move's end;
    // the first stretch of the next move then turns by that much, which
    // shows as a per mille on its acceleration.
    EXPECT_LE(worstAccel, 1.005) << "run " << run;
    EXPECT_LE(worstDeviation, cfg.trajectTol) << "run " << run;

    // Stops: after every rapid, and in G61 at every line join turning more
    // than MaxStopAngle, the module stands on the point for a sample.
    std::vector<Coordinates> rests;
    for (size_t k = 1; k < model.raw.size(); ++k)
      if (model.raw[k] == model.raw[k - 1]) rests.push_back(model.raw[k]);
    for (size_t j = 0; j + 1 < path.size(); ++j) {
      const Programmed &e = path[j], &n = path[j + 1];
      const bool stop = e.rapid || n.rapid ||
                        (e.exactStop && n.exactStop && !e.arc && !n.arc && TurnDegrees(e, n) > cfg.maxStopAngle + 1e-6);
      if (!stop || Dist(e.a, e.b) < 0.01 || Dist(n.a, n.b) < 0.01) continue;
      const bool rested = std::any_of(rests.begin(), rests.end(), [&](const Coordinates& r) { return Dist(r, e.b) <= 1.0001e-3; });
      EXPECT_TRUE(rested) << "run " << run << " element " << j;
    }
  }
}

// ---------------------------------------------------------------------------
// The estimate

TEST_F(PlannerTest, EstimateOfOneLineIsTheRampedTimePlusTheFilter) {
  PlanEstimator plan(simState);
  plan.AddLine(Coordinates(100, 0, 0), 20, false, nullptr, false);
  plan.EndProgram();
  const PlanSummary& s = plan.Summary();
  // 100 mm at 20 mm/s, ramps of 20 / 600 s each costing half of it, the
  // filter window and the sample in which the module stands at the end.
  const double expected = 100.0 / 20 + 20.0 / 600 + FilterTime();
  EXPECT_NEAR(s.plannedSeconds, expected, 2 * kDt);
  EXPECT_NEAR(s.feedSeconds, 5.0, 1e-12);
  EXPECT_EQ(s.elements, 1);
}

}  // namespace
