#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "params/parafile.h"
#include "machine/surfacemapping.h"
#include "common/testsupport.h"

namespace {

struct Grid {
  double minX, minY, maxX, maxY;
  int dimX, dimY;
  std::vector<double> z;  // row by row
  double X(int ix) const { return minX + (maxX - minX) * ix / (dimX - 1); }
  double Y(int iy) const { return minY + (maxY - minY) * iy / (dimY - 1); }
};

// A random rectangle with random heights, filled into map, which is switched on.
Grid RandomGrid(std::mt19937& rng, SurfaceMapping& map, int dimX = 0, int dimY = 0) {
  std::uniform_real_distribution<double> pos(-300, 300), size(5, 400), h(-2, 2);
  std::uniform_int_distribution<int> dim(2, 9);
  Grid g{pos(rng), pos(rng), 0, 0, dimX ? dimX : dim(rng), dimY ? dimY : dim(rng), {}};
  g.maxX = g.minX + size(rng), g.maxY = g.minY + size(rng);
  map.SetBoundaries(g.minX, g.minY, g.maxX, g.maxY, g.dimX, g.dimY);
  for (int i = 0; i < g.dimX * g.dimY; ++i) map.SetValue(i % g.dimX, i / g.dimX, g.z.emplace_back(h(rng)));
  EXPECT_TRUE(map.Enable(true));
  return g;
}

TEST(SurfaceMapping, BoundariesValuesAndEnable) {
  SurfaceMapping map;
  // No area, fewer than two points or too many in a direction, not a number.
  const double bad[][6] = {{0, 0, 100, 50, 1, 5}, {0, 0, 100, 50, 5, 1}, {0, 0, 0, 50, 5, 5}, {0, 60, 100, 50, 5, 5},
                           {0, NAN, 100, 50, 5, 5}, {0, 0, 100, 50, SurfaceMapping::kMaxDim + 1, 5}};
  for (const auto& b : bad) {
    map.SetBoundaries(0, 0, 100, 50, 2, 2);
    ASSERT_TRUE(map.IsValid());
    // Refusing new boundaries invalidates the old ones too.
    map.SetBoundaries(b[0], b[1], b[2], b[3], int(b[4]), int(b[5]));
    EXPECT_FALSE(map.IsValid()) << b[1] << " " << b[2] << " " << b[4] << "x" << b[5];
  }
  map.SetBoundaries(0, 0, 10, 10, 3, 3);
  map.SetValue(1, 1, 9.0);  // inside
  map.SetValue(0, 0, 8.0);  // a corner counts twice in the mean of the border points
  for (auto [ix, iy] : {std::pair{3, 0}, {-1, 0}, {0, 3}, {0, -1}}) map.SetValue(ix, iy, 7.0);  // ignored
  for (int i = 0; i < 9; ++i) EXPECT_EQ(map.GetValue(i % 3, i / 3), i == 4 ? 9.0 : i == 0 ? 8.0 : 0.0) << i;
  EXPECT_EQ(map.GetOffset(5, 5), 0.0);  // not enabled yet
  for (int round = 0; round < 2; ++round) {
    // Enabled again, the values are already relative: the surface stays.
    ASSERT_TRUE(map.Enable(true));
    EXPECT_NEAR(map.GetAverageZ(), round ? 0.0 : 16.0 / 12, 1e-12);
    EXPECT_NEAR(map.GetOffset(5, 5), 9 - 16.0 / 12, 1e-12);
    EXPECT_FALSE(map.Enable(false));
    EXPECT_EQ(map.GetOffset(5, 5), 0.0);
  }
  // A new rectangle starts from zeros, switched off.
  map.Enable(true);
  map.SetBoundaries(0, 0, 20, 20, 3, 2);
  EXPECT_TRUE(!map.IsEnabled() && map.GetValue(1, 1) == 0.0 && map.GetOffset(10, 10) == 0.0);
}

// Random grids: the surface passes through the measured points less the mean
// of the border points, and fades out continuously within one rectangle.
TEST(SurfaceMapping, PassesThroughTheMeasuredPointsAndFadesOutside) {
  std::mt19937 rng(4242);
  for (int n = 0; n < 60; ++n) {
    SurfaceMapping map;
    const Grid g = RandomGrid(rng, map);
    const double avg = map.GetAverageZ();
    for (int i = 0; i < g.dimX * g.dimY; ++i)
      EXPECT_NEAR(map.GetOffset(g.X(i % g.dimX), g.Y(i / g.dimX)), g.z[i] - avg, 1e-9) << n << ": " << i;
    const double w = g.maxX - g.minX, h = g.maxY - g.minY, cx = (g.minX + g.maxX) / 2, cy = (g.minY + g.maxY) / 2;
    for (double f : {1.0, 1.0001, 1.5, 10.0})
      for (auto [x, y] : {std::pair(g.maxX + f * w, cy), {g.minX - f * w, cy}, {cx, g.maxY + f * h},
                          {cx, g.minY - f * h}, {g.maxX + f * w, g.minY - f * h}, {NAN, cy}, {INFINITY, cy}})
        EXPECT_EQ(map.GetOffset(x, y), 0.0) << n << ": " << x << "," << y;
    for (int iy = 0; iy < g.dimY; ++iy)  // just outside equals just inside
      for (double x : {g.minX, g.maxX})
        EXPECT_NEAR(map.GetOffset(x + (x - cx) * 1e-10, g.Y(iy)), map.GetOffset(x, g.Y(iy)), 1e-6) << n;
  }
}

TEST(SurfaceMappingFile, ValuesAreStoredRowByRowAndSurviveTheRoundTrip) {
  const std::string path = testsupport::MakeTempDir("surface") + "/SpindleMapping.txt";
  const auto Load = [&path](SurfaceMapping& map, bool* wasEnabled) {
    ParaFile file;
    EXPECT_TRUE(file.Open(path));
    return map.Load(file, wasEnabled);
  };
  const std::string head = "SurfaceMinX=0\nSurfaceMaxX=20\nSurfaceDimX=3\nSurfaceDimY=2\nSurfaceEnable=1\n";
  testsupport::WriteFile(path, head + "SurfaceMinY=0\nSurfaceMaxY=10\nSurfaceValueZ_00=0\nSurfaceValueZ_01=1\n" +
                                   "SurfaceValueZ_02=2\nSurfaceValueZ_03=3\nSurfaceValueZ_04=4\nSurfaceValueZ_05=5\n");
  SurfaceMapping map, broken;
  bool wasEnabled = false;
  ASSERT_TRUE(Load(map, &wasEnabled) && wasEnabled);
  for (int i = 0; i < 6; ++i) EXPECT_EQ(map.GetValue(i % 3, i / 3), i) << i;
  ASSERT_TRUE(map.Enable(true));
  EXPECT_NEAR(map.GetOffset(20, 10), 5 - 2.5, 1e-12);  // all six are border points
  testsupport::WriteFile(path, head);  // no Y extent
  wasEnabled = false;
  EXPECT_FALSE(Load(broken, &wasEnabled));
  EXPECT_TRUE(wasEnabled && !broken.Enable(true));
  std::mt19937 rng(2718);
  for (int n = 0; n < 10; ++n) {
    SurfaceMapping saved, loaded;
    // Sometimes more than 100 points, so indexes take three digits.
    const Grid g = n % 3 ? RandomGrid(rng, saved) : RandomGrid(rng, saved, 12, 11);
    const bool on = n % 2 == 0;
    saved.Enable(on);
    ParaFile file;
    file.Open(path);
    ASSERT_TRUE(saved.Save(file));
    wasEnabled = !on;
    ASSERT_TRUE(Load(loaded, &wasEnabled));
    EXPECT_TRUE(wasEnabled == on && !loaded.IsEnabled());
    // Same grid, same surface: equal offsets inside, across and beyond the fade.
    saved.Enable(true);
    ASSERT_TRUE(loaded.Enable(true));
    const double w = g.maxX - g.minX, h = g.maxY - g.minY;
    std::uniform_real_distribution<double> fx(g.minX - 1.2 * w, g.maxX + 1.2 * w);
    std::uniform_real_distribution<double> fy(g.minY - 1.2 * h, g.maxY + 1.2 * h);
    for (int k = 0; k < 50; ++k) {
      const double x = fx(rng), y = fy(rng);
      EXPECT_NEAR(loaded.GetOffset(x, y), saved.GetOffset(x, y), 1e-6);
    }
  }
}

}  // namespace
