#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "parafile.h"
#include "surfacemapping.h"
#include "testsupport.h"

namespace {

struct Grid {
  double minX, minY, maxX, maxY;
  int dimX, dimY;
  std::vector<double> z;  // row by row, iy * dimX + ix

  double X(int ix) const { return minX + (maxX - minX) * ix / (dimX - 1); }
  double Y(int iy) const { return minY + (maxY - minY) * iy / (dimY - 1); }
  double At(int ix, int iy) const { return z[iy * dimX + ix]; }
  // Mean of the first and last row and column, corners counted twice.
  double BorderMean() const {
    double s = 0;
    for (int ix = 0; ix < dimX; ++ix) s += At(ix, 0) + At(ix, dimY - 1);
    for (int iy = 0; iy < dimY; ++iy) s += At(0, iy) + At(dimX - 1, iy);
    return s / (2.0 * (dimX + dimY));
  }
};

Grid RandomGrid(std::mt19937& rng, int dimX = 0, int dimY = 0) {
  std::uniform_real_distribution<double> pos(-300, 300), size(5, 400), h(-2, 2);
  std::uniform_int_distribution<int> dim(2, 9);
  Grid g;
  g.minX = pos(rng), g.minY = pos(rng);
  g.maxX = g.minX + size(rng), g.maxY = g.minY + size(rng);
  g.dimX = dimX ? dimX : dim(rng), g.dimY = dimY ? dimY : dim(rng);
  for (int i = 0; i < g.dimX * g.dimY; ++i) g.z.push_back(h(rng));
  return g;
}

// Fills the map with the grid and switches it on.
void Fill(SurfaceMapping& map, const Grid& g) {
  map.SetBoundaries(g.minX, g.minY, g.maxX, g.maxY, g.dimX, g.dimY);
  for (int iy = 0; iy < g.dimY; ++iy)
    for (int ix = 0; ix < g.dimX; ++ix) map.SetValue(ix, iy, g.At(ix, iy));
  ASSERT_TRUE(map.Enable(true));
}

TEST(SurfaceMapping, BoundariesNeedAnAreaAndTwoPointsPerDirection) {
  SurfaceMapping map;
  EXPECT_FALSE(map.IsValid());
  const double bad[][6] = {{0, 0, 100, 50, 1, 5},   {0, 0, 100, 50, 5, 1},
                           {0, 0, 0, 50, 5, 5},     {0, 60, 100, 50, 5, 5},
                           {0, NAN, 100, 50, 5, 5}, {0, 0, 100, 50, SurfaceMapping::kMaxDim + 1, 5}};
  for (const auto& b : bad) {
    map.SetBoundaries(0, 0, 100, 50, 2, 2);
    ASSERT_TRUE(map.IsValid());
    // Refusing new boundaries invalidates the old ones too.
    map.SetBoundaries(b[0], b[1], b[2], b[3], int(b[4]), int(b[5]));
    EXPECT_FALSE(map.IsValid()) << b[1] << " " << b[2] << " " << b[4] << "x" << b[5];
  }
  EXPECT_FALSE(map.Enable(true));
  EXPECT_EQ(map.GetOffset(50, 25), 0.0);
}

TEST(SurfaceMapping, ValuesEnableAndNewBoundaries) {
  SurfaceMapping map;
  map.SetBoundaries(0, 0, 10, 10, 3, 2);
  map.SetValue(1, 1, 4.0);
  for (auto [ix, iy] : {std::pair{3, 0}, {-1, 0}, {0, 2}, {0, -1}}) map.SetValue(ix, iy, 9.0);
  for (int iy = 0; iy < 2; ++iy)
    for (int ix = 0; ix < 3; ++ix) EXPECT_EQ(map.GetValue(ix, iy), ix == 1 && iy == 1 ? 4.0 : 0.0);
  EXPECT_EQ(map.GetOffset(10, 10), 0.0);  // not enabled yet
  for (int round = 0; round < 2; ++round) {
    // Enabled again, the values are already relative: the surface stays.
    ASSERT_TRUE(map.Enable(true));
    EXPECT_NEAR(map.GetOffset(5, 10), 4.0 - 4.0 / 10, 1e-12);
    if (round) {
      EXPECT_NEAR(map.GetAverageZ(), 0.0, 1e-12);
    }
    EXPECT_FALSE(map.Enable(false));
    EXPECT_EQ(map.GetOffset(10, 10), 0.0);
  }
  // A new rectangle starts from zeros, switched off.
  map.Enable(true);
  map.SetBoundaries(0, 0, 20, 20, 3, 2);
  EXPECT_FALSE(map.IsEnabled());
  EXPECT_EQ(map.GetValue(1, 1), 0.0);
  EXPECT_EQ(map.GetOffset(10, 10), 0.0);
}

TEST(SurfaceMapping, PassesThroughTheMeasuredPointsLessTheBorderMean) {
  std::mt19937 rng(4242);
  for (int n = 0; n < 60; ++n) {
    const Grid g = RandomGrid(rng);
    SurfaceMapping map;
    Fill(map, g);
    const double avg = g.BorderMean();
    EXPECT_NEAR(map.GetAverageZ(), avg, 1e-12);
    for (int iy = 0; iy < g.dimY; ++iy)
      for (int ix = 0; ix < g.dimX; ++ix) {
        EXPECT_NEAR(map.GetOffset(g.X(ix), g.Y(iy)), g.At(ix, iy) - avg, 1e-9) << n << ": " << ix << "," << iy;
        EXPECT_NEAR(map.GetValue(ix, iy), g.At(ix, iy) - avg, 1e-12);
      }
  }
  // A flat measurement gives no correction anywhere.
  SurfaceMapping map;
  Fill(map, Grid{0, 0, 100, 100, 4, 4, std::vector<double>(16, -3.25)});
  std::uniform_real_distribution<double> pos(-150, 250);
  for (int k = 0; k < 200; ++k) EXPECT_NEAR(map.GetOffset(pos(rng), pos(rng)), 0.0, 1e-12);
}

TEST(SurfaceMapping, FadesToZeroOneRectangleOutside) {
  std::mt19937 rng(31337);
  for (int n = 0; n < 40; ++n) {
    const Grid g = RandomGrid(rng);
    SurfaceMapping map;
    Fill(map, g);
    const double w = g.maxX - g.minX, h = g.maxY - g.minY;
    const double cx = (g.minX + g.maxX) / 2, cy = (g.minY + g.maxY) / 2;
    for (double f : {1.0, 1.0001, 1.5, 10.0}) {
      EXPECT_EQ(map.GetOffset(g.maxX + f * w, cy), 0.0);
      EXPECT_EQ(map.GetOffset(g.minX - f * w, cy), 0.0);
      EXPECT_EQ(map.GetOffset(cx, g.maxY + f * h), 0.0);
      EXPECT_EQ(map.GetOffset(cx, g.minY - f * h), 0.0);
      EXPECT_EQ(map.GetOffset(g.maxX + f * w, g.minY - f * h), 0.0);
    }
    // Continuous at the border: just outside equals just inside.
    for (int iy = 0; iy < g.dimY; ++iy) {
      EXPECT_NEAR(map.GetOffset(g.maxX + 1e-10 * w, g.Y(iy)), map.GetOffset(g.maxX, g.Y(iy)), 1e-6);
      EXPECT_NEAR(map.GetOffset(g.minX - 1e-10 * w, g.Y(iy)), map.GetOffset(g.minX, g.Y(iy)), 1e-6);
    }
    EXPECT_LT(std::fabs(map.GetOffset(g.maxX + 0.99 * w, g.Y(0))), 1e-2);  // shrinks towards the fade edge
    EXPECT_EQ(map.GetOffset(NAN, cy), 0.0);
    EXPECT_EQ(map.GetOffset(INFINITY, cy), 0.0);
  }
}

class SurfaceMappingFile : public ::testing::Test {
 protected:
  void SetUp() override { path = testsupport::MakeTempDir("surface") + "/SpindleMapping.txt"; }
  // Loads the file into map; returns what Load returned.
  bool Load(SurfaceMapping& map, bool* wasEnabled) {
    ParaFile file;
    EXPECT_TRUE(file.Open(path));
    return map.Load(file, wasEnabled);
  }
  std::string path;
};

TEST_F(SurfaceMappingFile, SaveLoadRoundTrip) {
  std::mt19937 rng(2718);
  for (int n = 0; n < 10; ++n) {
    // Sometimes more than 100 points, so indexes take three digits.
    const Grid g = n % 3 ? RandomGrid(rng) : RandomGrid(rng, 12, 11);
    SurfaceMapping saved, loaded;
    Fill(saved, g);
    const bool on = n % 2 == 0;
    saved.Enable(on);
    {
      ParaFile file;
      file.Open(path);
      ASSERT_TRUE(saved.Save(file));
    }
    bool wasEnabled = !on;
    ASSERT_TRUE(Load(loaded, &wasEnabled));
    EXPECT_EQ(wasEnabled, on);
    EXPECT_FALSE(loaded.IsEnabled());
    // Same grid, same surface: equal offsets inside, across and beyond the fade.
    saved.Enable(true);
    ASSERT_TRUE(loaded.Enable(true));
    const double w = g.maxX - g.minX, h = g.maxY - g.minY;
    std::uniform_real_distribution<double> fx(g.minX - 1.2 * w, g.maxX + 1.2 * w), fy(g.minY - 1.2 * h, g.maxY + 1.2 * h);
    for (int k = 0; k < 50; ++k) {
      const double x = fx(rng), y = fy(rng);
      EXPECT_NEAR(loaded.GetOffset(x, y), saved.GetOffset(x, y), 1e-6);
    }
  }
  const std::string text = testsupport::ReadFile(path);
  for (const char* key : {"SurfaceMinX=", "SurfaceMinY=", "SurfaceMaxX=", "SurfaceMaxY=", "SurfaceDimX=",
                          "SurfaceDimY=", "SurfaceValueZ_00=", "SurfaceEnable="})
    EXPECT_NE(text.find(key), std::string::npos) << key;
}

TEST_F(SurfaceMappingFile, ValuesAreStoredRowByRowAndABrokenMapLoadsInvalid) {
  const std::string head = "SurfaceMinX=0\nSurfaceMaxX=20\nSurfaceDimX=3\nSurfaceDimY=2\nSurfaceEnable=1\n";
  testsupport::WriteFile(path, head + "SurfaceMinY=0\nSurfaceMaxY=10\nSurfaceValueZ_00=0\nSurfaceValueZ_01=1\n"
                                      "SurfaceValueZ_02=2\nSurfaceValueZ_03=3\nSurfaceValueZ_04=4\nSurfaceValueZ_05=5\n");
  SurfaceMapping map, broken;
  bool wasEnabled = false;
  ASSERT_TRUE(Load(map, &wasEnabled));
  EXPECT_TRUE(wasEnabled);
  EXPECT_EQ(map.GetValue(2, 0), 2.0);
  EXPECT_EQ(map.GetValue(0, 1), 3.0);
  EXPECT_EQ(map.GetValue(2, 1), 5.0);

  testsupport::WriteFile(path, head);  // no Y extent
  wasEnabled = false;
  EXPECT_FALSE(Load(broken, &wasEnabled));
  EXPECT_TRUE(wasEnabled);
  EXPECT_FALSE(broken.Enable(true));
}

}  // namespace
