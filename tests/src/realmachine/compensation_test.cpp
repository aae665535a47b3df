// Compensation: the filter lengths that ramp a backlash step in with the
// axis's own acceleration, the spline of the screw-pitch tables, and the
// step conversion with both.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "common/fresh_parameters.h"
#include "common/testsupport.h"
#include "machine/machineconfig.h"
#include "params/parafile.h"
#include "realmachine/compensation.h"
#include "realmachine/splineinterpol.h"

namespace {

constexpr double kDt = 0.005;

// A step of height d through two moving averages of the filter lengths:
// the fastest velocity and acceleration of the output and the ticks it
// takes to settle.
struct StepResponse {
  double vmax = 0, amax = 0;
  int ticks = 0;
};
StepResponse Respond(const FilterPair& f, double d) {
  MovingAvg a(f.t1), b(f.t2);
  a.Reset(0);
  b.Reset(0);
  StepResponse r;
  double last = 0, lastV = 0;
  for (int k = 1; k < 100000; ++k) {
    const double x = b.Step(a.Step(d));
    const double v = (x - last) / kDt;
    r.vmax = std::max(r.vmax, std::fabs(v));
    r.amax = std::max(r.amax, std::fabs(v - lastV) / kDt);
    last = x;
    lastV = v;
    if (a.Settled() && b.Settled()) {
      r.ticks = k;
      break;
    }
  }
  return r;
}

// Over a table of slacks, velocities and accelerations: the ramp never
// accelerates harder than the axis may nor runs faster than it may (or than
// sqrt(a d) allows), and takes no longer than those limits demand.
TEST(FilterLengthsTest, StepBecomesAMoveWithinTheAxisLimits) {
  struct Case {
    double d, vmax, a;
  } cases[] = {{0.05, 100, 1000}, {0.2, 100, 1000}, {2.0, 10, 1000}, {0.01, 50, 200}, {1.0, 5, 50}};
  for (const Case& c : cases) {
    const FilterPair f = FilterLengths(c.d, c.vmax, c.a, kDt);
    ASSERT_GT(f.t1, 0);
    const StepResponse r = Respond(f, c.d);
    const double top = std::min(c.vmax, std::sqrt(c.a * c.d));
    EXPECT_LE(r.vmax, top * 1.0001) << c.d << " " << c.vmax << " " << c.a;
    EXPECT_LE(r.amax, c.a * 1.0001) << c.d << " " << c.vmax << " " << c.a;
    // The move with those limits needs d / top + top / a; whole ticks add a few.
    EXPECT_LE(r.ticks * kDt, c.d / top + top / c.a + 3 * kDt) << c.d << " " << c.vmax << " " << c.a;
  }
  EXPECT_EQ(FilterLengths(0, 100, 1000).t1, 0) << "no slack, no filter";
  EXPECT_EQ(FilterLengths(1, 100, 0).t1, 0) << "no acceleration, no filter";
}

// The natural spline goes through its points, reproduces a straight line,
// has no curvature at its ends and goes on straight beyond them.
TEST(CubicSplineTest, InterpolatesNaturallyAndContinuesStraight) {
  CubicSpline line;
  ASSERT_TRUE(line.SetPoints({0, 1, 3, 7}, {1, 3, 7, 15}));
  for (double x : {-2.0, 0.5, 2.0, 5.5, 9.0}) EXPECT_NEAR(line(x), 2 * x + 1, 1e-12) << x;

  const std::vector<double> xs = {0, 10, 25, 30, 50};
  const std::vector<double> ys = {0, 0.01, -0.005, 0.002, 0.02};
  CubicSpline s;
  ASSERT_TRUE(s.SetPoints(xs, ys));
  for (size_t i = 0; i < xs.size(); ++i) EXPECT_NEAR(s(xs[i]), ys[i], 1e-15);
  auto curvature = [&](double x) { return (s(x + 1e-3) - 2 * s(x) + s(x - 1e-3)) / 1e-6; };
  EXPECT_NEAR(curvature(0.001), 0, 1e-4);
  EXPECT_NEAR(curvature(49.999), 0, 1e-4);
  const double slope = (s(50) - s(49.999)) / 0.001;
  EXPECT_NEAR(s(60) - s(50), 10 * slope, 1e-6);
}

TEST(CubicSplineTest, PointsThatMakeNoSplineAreRefused) {
  testsupport::AssertionCapture asserts;
  CubicSpline s;
  EXPECT_FALSE(s.SetPoints({0, 2, 1}, {0, 0, 0}));
  EXPECT_TRUE(asserts.Saw("spline positions must increase"));
  EXPECT_FALSE(s.SetPoints({0}, {1}));
  EXPECT_FALSE(s.SetPoints({0, 1}, {1}));
  EXPECT_TRUE(s.Empty());
  EXPECT_EQ(s(3.0), 0.0);
}

class CompensationTest : public testsupport::FreshParametersTest {};

// With a screw-pitch table the steps carry the correction, and reading them
// back gives the position again to within a step, over the whole travel.
TEST_F(CompensationTest, PitchCorrectionGoesOutAndComesBackWithinAStep) {
  ParaFile& pitch = GetParaFile(PF_SPINDLE_MAPPING);
  const double pos[] = {0, 100, 200, 300, 400, 500, 600};
  const double corr[] = {0, 0.02, 0.035, 0.03, 0.05, 0.04, 0.06};
  for (int k = 0; k < 7; ++k) {
    pitch.SetDouble("PitchPosX", k, pos[k]);
    pitch.SetDouble("PitchCorrX", k, corr[k]);
  }
  MachineConfig cfg;
  Compensation comp;
  comp.Init(cfg, &pitch);
  ASSERT_TRUE(comp.PitchActive());
  const double res = cfg.axis[0].resolution;
  EXPECT_EQ(comp.ForwardSteps(0, 200), std::lround((200 + 0.035) / res));
  EXPECT_EQ(comp.ForwardSteps(1, 200), std::lround(200 / res)) << "Y has no table";
  std::mt19937 rng(3);
  std::uniform_real_distribution<double> travel(-10, 610);
  for (int k = 0; k < 1000; ++k) {
    const double p = travel(rng);
    EXPECT_NEAR(comp.ReverseSteps(0, comp.ForwardSteps(0, p)), p, res) << p;
  }
}

// Backlash: a move of more than a step decides an axis's direction; a Z
// that rests on one flank (mode 2) only turns on upward moves; the offset is
// half the slack either way.
TEST_F(CompensationTest, DirectionBitsAndOffsetsFollowTheMoves) {
  MachineConfig cfg;
  cfg.backlashEna = 2;
  cfg.axis[0].backlash = 0.05;
  cfg.axis[2].backlash = 0.02;
  Compensation comp;
  comp.Init(cfg, nullptr);
  ASSERT_TRUE(comp.BacklashActive());
  EXPECT_EQ(comp.BacklashSteps(0), 10);
  EXPECT_EQ(comp.BacklashSteps(1), 0);
  struct Case {
    Coordinates from, to;
    uint32_t signs, expected;
    bool changed;
  } cases[] = {
      {Coordinates(0, 0, 0), Coordinates(0.01, 0, 0), 0u, 1u, true},        // X up by four steps
      {Coordinates(0, 0, 0), Coordinates(0.002, 0, 0), 0u, 0u, false},      // less than a step
      {Coordinates(5, 0, 0), Coordinates(4, 0, 0), 1u, 0u, true},            // X back down
      {Coordinates(0, 0, 0), Coordinates(0, 3, 0), 0u, 0u, false},           // Y has no backlash
      {Coordinates(0, 0, 0), Coordinates(0, 0, 1), 0u, 4u, true},            // Z up
      {Coordinates(0, 0, 1), Coordinates(0, 0, 0), 4u, 4u, false},           // Z down: ignored in mode 2
  };
  for (const Case& c : cases) {
    bool changed = false;
    EXPECT_EQ(comp.Signs(c.from, c.to, c.signs, changed), c.expected) << c.to.v[0] << " " << c.to.v[2];
    EXPECT_EQ(changed, c.changed);
  }
  const Coordinates up = comp.Offset(1u | 4u), down = comp.Offset(0);
  EXPECT_EQ(up.v[0] - down.v[0], 20) << "the whole slack between the flanks";
  EXPECT_EQ(up.v[2] - down.v[2], 8);
  EXPECT_EQ(up.v[1], 0);
}

}  // namespace
