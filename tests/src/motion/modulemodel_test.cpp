// The module model: braking ahead, ramps, halts, the filter window and the
// axes outside the path. Braking for slower stretches and standing at stops
// are measured on random paths in the planner's test.
#include "motion/modulemodel.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

namespace {

constexpr double kDt = ModuleModel::kSample;

// Distance covered by the samples still above vNext, starting at v and
// losing adt per sample.
double CoveredAbove(double v, double vNext, double adt) {
  double s = 0;
  for (; v > vNext + 1e-9; v -= adt) s += v * kDt;
  return s;
}

TEST(ModuleModelTest, BrakeLimitIsTheFastestVelocityThatStillBrakesInTime) {
  std::mt19937 rng(7);
  std::uniform_real_distribution<double> unit(0, 1);
  for (int k = 0; k < 2000; ++k) {
    const double adt = 0.1 + 10 * unit(rng), vNext = k % 3 ? 80 * unit(rng) : 0.0;
    const double distance = 5 * unit(rng) * unit(rng);
    const double v = ModuleModel::BrakeLimit(distance, vNext, adt, kDt);
    ASSERT_GE(v, vNext);
    EXPECT_LE(CoveredAbove(v, vNext, adt), distance * (1 + 1e-12)) << k;
    EXPECT_GT(CoveredAbove(v + 1e-9 * (1 + v), vNext, adt), distance) << k;
  }
  EXPECT_EQ(ModuleModel::BrakeLimit(0, 3, 5, kDt), 3);
}

struct Motion {
  std::vector<double> raw;       // raw x per sample
  std::vector<double> filtered;  // filtered x per sample
  bool idle = false;
};

// Steps until idle (at most 100000 samples).
Motion RunToRest(ModuleModel& m) {
  Motion r;
  for (int k = 0; k < 100000 && !m.Idle(); ++k) {
    m.Step();
    r.raw.push_back(m.RawPosition().v[0]);
    r.filtered.push_back(m.Position().v[0]);
  }
  r.idle = m.Idle();
  return r;
}

// Points every 0.01 mm from x0 to x1.
void Points(ModuleModel& m, double x0, double x1) {
  const int n = static_cast<int>(std::lround((x1 - x0) / 0.01));
  for (int k = 1; k <= n; ++k) ASSERT_TRUE(m.AddPoint(Coordinates(x0 + (x1 - x0) * k / n, 0, 0)));
}

TEST(ModuleModelTest, StraightMovesRampCruiseAndLandOnTheEnd) {
  struct Row {
    double length, velocity, accel, override, vmax;
  };
  const Row rows[] = {
      {50, 40, 1000, 100, 0},  // reaches its velocity: trapezoid
      {2, 80, 500, 100, 0},    // never does: triangle
      {50, 60, 1000, 50, 0},   // at half override
      {50, 60, 1000, 100, 45}, // above the module's maximum
  };
  for (const Row& r : rows) {
    ModuleModel m;
    m.Reset(Coordinates());
    m.Configure(r.accel, r.vmax, 0);
    m.SetOverride(r.override);
    m.SetVelocity(r.velocity);
    Points(m, 0, r.length);
    const Motion got = RunToRest(m);
    ASSERT_TRUE(got.idle);
    const double v = std::min(r.velocity * r.override / 100, r.vmax > 0 ? r.vmax : 1e9);
    const bool reaches = v * v / r.accel < r.length;
    const double expected = reaches ? r.length / v + v / r.accel : 2 * std::sqrt(r.length / r.accel);
    EXPECT_NEAR(got.raw.size() * kDt, expected, 2 * kDt) << r.length << " " << v;
    EXPECT_EQ(got.raw.back(), r.length);
    double top = 0, last = 0;
    for (size_t k = 0; k < got.raw.size(); ++k) {
      const double vel = (got.raw[k] - (k ? got.raw[k - 1] : 0)) / kDt;
      EXPECT_LE(std::fabs(vel - last), r.accel * kDt * (1 + 1e-9)) << "sample " << k;
      top = std::max(top, vel);
      last = vel;
    }
    EXPECT_LE(top, v * (1 + 1e-12));
    EXPECT_NEAR(top, reaches ? v : std::sqrt(r.accel * r.length), reaches ? 1e-9 : r.accel * kDt);
  }
}

TEST(ModuleModelTest, FilterAveragesOverExactlyItsTimeAndChangesOnlyWhenSettled) {
  // Unlimited acceleration: the raw velocity jumps, the filter alone shapes
  // it, spreading each jump over the filter time.
  const double v = 20, t1 = 0.0123, t2 = 0.031;
  ModuleModel m;
  m.Reset(Coordinates());
  m.Configure(0, 0, t1);
  m.SetVelocity(v);
  Points(m, 0, 2);
  m.Configure(0, 0, t2);
  m.SetVelocity(v);
  Points(m, 2, 4);
  const Motion got = RunToRest(m);
  ASSERT_TRUE(got.idle);
  const std::vector<double>& x = got.filtered;
  double peak1 = 0, peak2 = 0;
  bool settledAtTwo = false;
  for (size_t k = 2; k < x.size(); ++k) {
    const double acc = std::fabs(x[k] - 2 * x[k - 1] + x[k - 2]) / (kDt * kDt);
    (x[k] <= 2 ? peak1 : peak2) = std::max(x[k] <= 2 ? peak1 : peak2, acc);
    // The second path starts only once the output stands on the first end.
    if (got.raw[k] > 2 && got.raw[k - 1] == 2) settledAtTwo = std::fabs(x[k - 1] - 2) < 1e-12;
  }
  EXPECT_NEAR(peak1, v / t1, 1e-6 * v / t1);
  EXPECT_NEAR(peak2, v / t2, 1e-6 * v / t2);
  EXPECT_TRUE(settledAtTwo);
  EXPECT_NEAR(x.back(), 4, 1e-12);
}

// A halt brakes with the configured acceleration along the path, forgets
// what is left, and a point queued afterwards starts from where it stood.
TEST(ModuleModelTest, HaltBrakesAlongThePathAndForgetsTheRest) {
  const double a = 1000, v = 50;
  ModuleModel m;
  m.Reset(Coordinates());
  m.Configure(a, 0, 0);
  m.SetVelocity(v);
  Points(m, 0, 50);
  for (int k = 0; k < 1000 && m.PathVelocity() < v; ++k) m.Step();
  ASSERT_EQ(m.PathVelocity(), v);
  const double x0 = m.RawPosition().v[0];
  m.Halt();
  double last = v;
  int samples = 0;
  while (m.PathVelocity() > 0 && samples < 1000) {
    m.Step();
    ++samples;
    EXPECT_NEAR(last - m.PathVelocity(), std::min(last, a * kDt), 1e-9) << "braking at the acceleration";
    last = m.PathVelocity();
  }
  const double stop = m.RawPosition().v[0];
  // v² / 2a, give or take a sample's travel.
  EXPECT_NEAR(stop - x0, v * v / (2 * a), v * kDt);
  EXPECT_EQ(m.Buffered(), 0);
  EXPECT_FALSE(m.Halting());
  ASSERT_TRUE(m.AddPoint(Coordinates(stop + 0.1, 0, 0)));
  const Motion after = RunToRest(m);
  EXPECT_NEAR(after.raw.back(), stop + 0.1, 1e-12);
  EXPECT_GE(*std::min_element(after.raw.begin(), after.raw.end()), stop - 1e-12) << "no way back to the old end";
}

// Axes outside the path take no time: they ride along with the path axes.
TEST(ModuleModelTest, AxesOutsideThePathRideAlong) {
  ModuleModel m;
  m.SetPathAxes(1u);
  m.Reset(Coordinates());
  m.Configure(0, 0, 0);
  m.SetVelocity(10);
  ASSERT_TRUE(m.AddPoint(Coordinates(0.05, 1000, -500)));  // 5 ms of path at 10 mm/s
  m.Step();
  EXPECT_NEAR(m.RawPosition().v[0], 0.05, 1e-12);
  EXPECT_NEAR(m.RawPosition().v[1], 1000, 1e-9);
  EXPECT_NEAR(m.RawPosition().v[2], -500, 1e-9);
}

}  // namespace

namespace {

// The operator's override from the wire acts on the path already buffered:
// it brakes at the acceleration, holds, and goes on to land on the end, with
// the stop at the end of the buffer still kept.
TEST(ModuleModelTest, LiveOverrideHoldsTheBufferedPathAndLetsItGoOn) {
  const double a = 500, v = 50;
  ModuleModel m;
  m.Reset(Coordinates());
  m.Configure(a, 0, 0);
  m.SetVelocity(v);
  Points(m, 0, 40);
  std::vector<double> vel;
  double last = 0;
  auto step = [&](int n) {
    for (int k = 0; k < n; ++k) {
      m.Step();
      const double x = m.RawPosition().v[0];
      vel.push_back((x - last) / kDt);
      last = x;
    }
  };
  step(60);  // cruising
  ASSERT_NEAR(vel.back(), v, 1e-9);
  const double atHold = last;
  m.SetLiveOverride(0);
  step(40);  // braking v / a = 0.1 s, then standing
  const double held = last;
  EXPECT_NEAR(held - atHold, v * v / (2 * a), v * kDt) << "braked over v²/2a";
  step(40);
  EXPECT_EQ(last, held) << "stands while held";
  m.SetLiveOverride(50);
  step(40);
  EXPECT_NEAR(vel.back(), v / 2, 1e-9) << "goes on at the new override";
  m.SetLiveOverride(100);
  const Motion rest = RunToRest(m);
  ASSERT_TRUE(rest.idle);
  EXPECT_EQ(rest.raw.back(), 40);
  for (size_t k = 1; k < vel.size(); ++k) EXPECT_LE(std::fabs(vel[k] - vel[k - 1]), a * kDt * (1 + 1e-9)) << k;
}

}  // namespace
