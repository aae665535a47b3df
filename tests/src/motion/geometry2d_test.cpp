// Plane geometry used by the radius compensation.
#include "motion/geometry2d.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

namespace {

using namespace geo2d;

Vec2 Dir(double deg) { return {std::cos(deg * kPi / 180), std::sin(deg * kPi / 180)}; }

TEST(Geometry2d, AnglesWrapIntoHalfOpenRange) {
  // Across the +-180 seam: from 170 to -170 degrees is a 20 degree left turn.
  const double rows[][3] = {{0, 90, 90}, {90, 0, -90}, {170, -170, 20}, {0, 180, 180}};
  for (const auto& r : rows) EXPECT_NEAR(DirectionChange(Dir(r[0]), Dir(r[1])), r[2], 1e-9) << r[0] << "->" << r[1];
  EXPECT_DOUBLE_EQ(WrapDeg(-180), 180);
  EXPECT_DOUBLE_EQ(WrapDeg(540), 180);
  EXPECT_DOUBLE_EQ(ArcTangent({0, 0}, {1, 0}, false).y, 1);
  EXPECT_DOUBLE_EQ(ArcTangent({0, 0}, {1, 0}, true).y, -1);
  // A radius of one tolerance: any corner up to 90 degrees is within it.
  // (The limit for larger radii is checked through the compensation.)
  EXPECT_EQ(CornerLimit(0.001, 0.001), 90);
  // Sweeps: a quarter either way round, equal ends a full circle.
  EXPECT_DOUBLE_EQ(ArcSweep({0, 0}, {1, 0}, {0, 1}, false), 90);
  EXPECT_DOUBLE_EQ(ArcSweep({0, 0}, {1, 0}, {0, 1}, true), -270);
  EXPECT_DOUBLE_EQ(ArcSweep({0, 0}, {1, 0}, {1, 0}, false), 360);
  EXPECT_DOUBLE_EQ(ArcSweep({0, 0}, {1, 0}, {1, 0}, true), -360);
}

TEST(Geometry2d, LineIntersectionsCountANearMissAsTouching) {
  double t1 = 0, t2 = 0, t[2];
  ASSERT_TRUE(IntersectLines({0, 0}, {1, 0}, {5, -3}, {0, 1}, &t1, &t2));
  EXPECT_DOUBLE_EQ(t1, 5);
  EXPECT_DOUBLE_EQ(t2, 3);
  EXPECT_FALSE(IntersectLines({0, 0}, {1, 0}, {0, 2}, {-1, 0}, &t1, &t2));  // parallel
  ASSERT_EQ(IntersectLineCircle({-10, 0}, {1, 0}, {0, 0}, 5, 0.001, t), 2);
  EXPECT_DOUBLE_EQ(t[0], 5);
  EXPECT_DOUBLE_EQ(t[1], 15);
  ASSERT_EQ(IntersectLineCircle({-10, 5.0005}, {1, 0}, {0, 0}, 5, 0.001, t), 1);
  EXPECT_DOUBLE_EQ(t[0], 10);
  EXPECT_EQ(IntersectLineCircle({-10, 5.01}, {1, 0}, {0, 0}, 5, 0.001, t), 0);
}

TEST(Geometry2d, CirclesIntersectOnBothCircles) {
  std::mt19937 rng(5);
  std::uniform_real_distribution<double> u(-10, 10);
  Vec2 p[2];
  for (int i = 0; i < 200; ++i) {
    const Vec2 c1{u(rng), u(rng)}, c2{u(rng), u(rng)};
    const double r1 = std::fabs(u(rng)) + 0.1, r2 = std::fabs(u(rng)) + 0.1, d = Distance(c1, c2);
    const int n = IntersectCircles(c1, r1, c2, r2, 1e-9, p);
    EXPECT_EQ(n > 0, d <= r1 + r2 + 1e-9 && d >= std::fabs(r1 - r2) - 1e-9);
    for (int k = 0; k < n; ++k) {
      EXPECT_NEAR(Distance(p[k], c1), r1, 1e-7);
      EXPECT_NEAR(Distance(p[k], c2), r2, 1e-7);
    }
  }
  EXPECT_EQ(IntersectCircles({0, 0}, 2, {0, 0}, 2, 0.001, p), 0);
  ASSERT_EQ(IntersectCircles({0, 0}, 2, {4.0005, 0}, 2, 0.001, p), 1);
  EXPECT_NEAR(p[0].x, 2, 0.001);
}

}  // namespace
