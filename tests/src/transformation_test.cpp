#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <random>
#include <string>

#include "logging.h"
#include "parafile.h"
#include "surfacemapping.h"
#include "testsupport.h"
#include "transformation.h"

namespace {

constexpr double kTol = 1e-9;

void ExpectNear(const Coordinates& a, const Coordinates& b, double tol = kTol, const std::string& what = "") {
  for (int i = 0; i < kAxisCount; ++i) EXPECT_NEAR(a.v[i], b.v[i], tol) << what << " axis " << i;
}

Coordinates RandomPoint(std::mt19937& rng, double range) {
  std::uniform_real_distribution<double> pos(-range, range);
  Coordinates p;
  for (double& d : p.v) d = pos(rng);
  return p;
}

// Applies the steps one at a time, as a person would on paper; the
// transformation must agree with it while computing a single total matrix.
Coordinates ApplyStepByStep(const Transformation& t, const Coordinates& p) {
  Vector3 v(p);
  for (const Transformation* tr = &t; tr; tr = tr->GetBase())
    for (const TransformStep& s : tr->GetSteps()) v = s.matrix * (v - s.fix) + s.fix;
  Coordinates r = p;
  r.v[0] = v[0], r.v[1] = v[1], r.v[2] = v[2];
  return r + t.GetOffset();
}

// Builds a random transformation: offsets, rotations about each axis, a
// scaling and (sometimes) a general matrix, each with its own fix point.
void Randomise(Transformation& t, std::mt19937& rng) {
  std::uniform_real_distribution<double> pos(-500, 500), ang(-360, 360), fac(0.5, 2.0), coin(0, 1);
  t.SetOffset(RandomPoint(rng, 500));
  if (coin(rng) < 0.4) {
    double m[9];
    for (int i = 0; i < 9; ++i) m[i] = (i % 4 == 0 ? 1.0 : 0.0) + (coin(rng) - 0.5) * 0.6;
    t.SetMatrix(m);
  }
  for (int axis : {2, 0, 1})
    if (coin(rng) < 0.7) t.SetRotation(axis, ang(rng), Vector3(pos(rng), pos(rng), pos(rng)));
  if (coin(rng) < 0.6) {
    const double sign = coin(rng) < 0.2 ? -1.0 : 1.0;
    t.SetScaling(sign * fac(rng), fac(rng), fac(rng), Vector3(pos(rng), pos(rng), pos(rng)));
  }
}

// ---------------------------------------------------------------- math

TEST(TransformMath, RotationMatricesTurnTheNextAxisIntoTheOneAfter) {
  const Vector3 unit[3] = {Vector3(1, 0, 0), Vector3(0, 1, 0), Vector3(0, 0, 1)};
  // About Z: X -> Y, about X: Y -> Z, about Y: Z -> X.
  for (int axis = 0; axis < 3; ++axis) {
    const Vector3 r = Matrix3::Rotation(axis, 90) * unit[(axis + 1) % 3];
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(r[i], unit[(axis + 2) % 3][i], kTol) << "axis " << axis;
  }
  EXPECT_TRUE(Matrix3::Rotation(2, 0).IsIdentity());
}

TEST(TransformMath, VectorAngleCoversAllQuadrants) {
  const double rows[][3] = {{0, 0, 0}, {1, 1, 45}, {-1, 1, 135}, {-1, -1, 225}, {0, -1, 270}, {1, -1, 315}};
  for (const auto& r : rows) EXPECT_NEAR(VectorAngle(r[0], r[1]), r[2], kTol) << r[0] << "," << r[1];
  EXPECT_LT(VectorAngle(1, -1e-300), 360.0);
}

TEST(TransformMath, FitToLimitsAndDistortionThreshold) {
  EXPECT_EQ(FitToLimits(-1, -5, 1), -1);
  EXPECT_EQ(FitToLimits(-1, 5, 1), 1);
  EXPECT_EQ(FitToLimits(-1, 0.5, 1), 0.5);
  testsupport::AssertionCapture capture;
  EXPECT_EQ(FitToLimits(1, 5, -1), 5);
  EXPECT_TRUE(capture.Saw("FitToLimits min>max"));
  // Distorted: factors more than one percent apart, or mirrored.
  const struct {
    double x, y, z;
    bool distorted;
  } rows[] = {{2, 2, 2, false}, {1, 1.005, 0.997, false}, {1, 1.02, 1, true}, {1, 1, 0.98, true}, {-1, 1, 1, true}};
  for (const auto& r : rows) EXPECT_EQ(ScalingIsDistorted(r.x, r.y, r.z), r.distorted) << r.x << r.y << r.z;
}

// ---------------------------------------------------------------- Transformation

TEST(Transformation, RotationTurnsAboutItsFixPointAndReplacesOnlyTheSameAxis) {
  Transformation t(1);
  t.SetRotation(2, 90, Vector3(10, 0, 0));
  ExpectNear(t.ToMachine(Coordinates(11, 0, 5)), Coordinates(10, 1, 5));
  EXPECT_TRUE(t.IsRotated());
  EXPECT_FALSE(t.IsTilted());
  EXPECT_TRUE(t.IsActive());
  t.SetRotation(0, 10, Vector3());
  t.SetRotation(2, 60, Vector3());
  ASSERT_EQ(t.GetSteps().size(), 2u);
  EXPECT_EQ(t.GetSteps()[0].axis, 0);
  EXPECT_EQ(t.GetSteps()[1].axis, 2);
  EXPECT_DOUBLE_EQ(t.GetAngle(), 60);
  EXPECT_TRUE(t.IsTilted());
  t.SetScaling(1.5, 1.5, 1.5, Vector3());
  t.ClearRotations();
  ASSERT_EQ(t.GetSteps().size(), 1u);
  EXPECT_EQ(t.GetSteps()[0].type, TransformStep::SCALING);
  EXPECT_FALSE(t.IsRotated() || t.IsTilted());
  EXPECT_DOUBLE_EQ(t.GetAngle(), 0);
  testsupport::AssertionCapture capture;
  t.SetRotation(3, 45, Vector3());
  EXPECT_TRUE(capture.Saw("SetRotation axis"));
  EXPECT_EQ(t.GetSteps().size(), 1u);
}

TEST(Transformation, StepsApplyInTheOrderTheyWereSet) {
  Transformation rotFirst(1), scaleFirst(2);
  rotFirst.SetRotation(2, 90, Vector3());
  rotFirst.SetScaling(2, 1, 1, Vector3());
  scaleFirst.SetScaling(2, 1, 1, Vector3());
  scaleFirst.SetRotation(2, 90, Vector3());
  ExpectNear(rotFirst.ToMachine(Coordinates(1, 0, 0)), Coordinates(0, 1, 0));
  ExpectNear(scaleFirst.ToMachine(Coordinates(1, 0, 0)), Coordinates(0, 2, 0));
}

TEST(Transformation, ScalingFlagsAndOverallScaleMultiplyOverTheBase) {
  Transformation t(1), copy(7);
  t.SetScaling(2, 2, 2, Vector3());
  EXPECT_TRUE(t.IsScaled());
  EXPECT_FALSE(t.IsDistorted() || t.IsDistortedOrMapped());
  EXPECT_DOUBLE_EQ(t.GetScale(), 2);
  t.SetScaling(1, 2, 3, Vector3());  // replaces the first
  ASSERT_EQ(t.GetSteps().size(), 1u);
  EXPECT_TRUE(t.IsDistorted());
  EXPECT_DOUBLE_EQ(t.GetSteps()[0].average, 2);
  copy.SetBase(&t);
  copy.SetScaling(0.5, 0.5, 0.5, Vector3());
  EXPECT_DOUBLE_EQ(copy.GetScale(), 1.0);
  t.ClearScaling();
  copy.Update();
  EXPECT_DOUBLE_EQ(copy.GetScale(), 0.5);
  EXPECT_DOUBLE_EQ(t.GetScale(), 1.0);
}

TEST(Transformation, GeneralMatrixSitsFirstAndNeitherItNorAnOffsetIsActive) {
  Transformation t(1), m(2);
  double out[9];
  t.GetMatrix(out);
  for (int i = 0; i < 9; ++i) EXPECT_EQ(out[i], (i % 4 == 0) ? 1.0 : 0.0);
  t.SetRotation(2, 90, Vector3());
  const double shear[9] = {1, 0.5, 0, 0, 1, 0, 0, 0, 1}, shear2[9] = {1, 0.25, 0, 0, 1, 0, 0, 0, 1};
  t.SetMatrix(shear);
  t.SetMatrix(shear2);  // replaces the first
  ASSERT_EQ(t.GetSteps().size(), 2u);
  EXPECT_EQ(t.GetSteps()[0].type, TransformStep::MATRIX);
  t.GetMatrix(out);
  for (int i = 0; i < 9; ++i) EXPECT_EQ(out[i], shear2[i]);
  // Shear first, then the rotation: (0,1,0) -> (0.25,1,0) -> (-1,0.25,0).
  ExpectNear(t.ToMachine(Coordinates(0, 1, 0)), Coordinates(-1, 0.25, 0));
  m.SetOffset(Coordinates(10, 20, 0, 4, 5, 6, 7, 8, 9));
  m.SetMatrix(shear);
  EXPECT_FALSE(m.IsActive());  // only rotations and scalings count
  t.ClearSteps();
  EXPECT_TRUE(t.GetSteps().empty());
  EXPECT_TRUE(t.GetTotalMatrix().IsIdentity());
}

TEST(Transformation, SingularScalingKeepsProgramSideBounded) {
  Transformation t(1);
  t.SetOffset(Coordinates(1, 2, 3));
  t.SetScaling(1, 1, 0, Vector3());
  EXPECT_FALSE(t.IsInvertible());
  for (double d : t.ToProgram(Coordinates(5, 5, 5)).v) EXPECT_TRUE(std::isfinite(d));
  t.ClearScaling();
  EXPECT_TRUE(t.IsInvertible());
}

TEST(Transformation, G53CannotBeOffsetOrMapped) {
  testsupport::AssertionCapture capture;
  Transformation g53(0);
  g53.SetOffset(Coordinates(1, 2, 3));
  EXPECT_TRUE(capture.Saw("G53 offset modified"));
  ExpectNear(g53.ToMachine(Coordinates(1, 1, 1)), Coordinates(1, 1, 1), 0);
  g53.SetMapping(true);
  EXPECT_TRUE(capture.Saw("G53 Surface mapping activated"));
  EXPECT_FALSE(g53.IsMappingOn());
  const size_t before = capture.Messages().size();
  g53.SetMapping(false);  // switching off is allowed
  EXPECT_EQ(capture.Messages().size(), before);
}

TEST(Transformation, WorkingCopyOffsetIsRelativeToItsBaseAndItsStepsComeFirst) {
  Transformation configured(1), work(7);
  configured.SetOffset(Coordinates(100, 50, -20));
  work.SetBase(&configured);
  ExpectNear(work.GetOffset(), Coordinates(100, 50, -20), 0);
  ExpectNear(work.GetOwnOffset(), Coordinates(), 0);
  work.SetOffset(Coordinates(110, 40, -20));
  ExpectNear(work.GetOwnOffset(), Coordinates(10, -10, 0), 0);
  ExpectNear(work.ToMachine(Coordinates(1, 2, 3)), Coordinates(111, 42, -17));
  ExpectNear(configured.GetOffset(), Coordinates(100, 50, -20), 0);  // untouched

  configured.SetRotation(2, 90, Vector3());
  configured.SetOffset(Coordinates(5, 0, 0));
  work.SetBase(&configured);  // re-basing starts the copy over
  ExpectNear(work.ToMachine(Coordinates(1, 0, 0)), Coordinates(5, 1, 0));
  work.SetScaling(2, 1, 1, Vector3());
  // (1,0,0) scaled -> (2,0,0), turned -> (0,2,0), shifted -> (5,2,0).
  ExpectNear(work.ToMachine(Coordinates(1, 0, 0)), Coordinates(5, 2, 0));
  EXPECT_TRUE(work.IsRotated() && work.IsScaled());
  EXPECT_DOUBLE_EQ(work.GetAngleSum(), 90);
}

TEST(Transformation, SetOffsetKeepsTranslationInStepWithUpdate) {
  Transformation configured(2), work(8);
  configured.SetRotation(0, 33, Vector3(1, 2, 3));
  configured.SetOffset(Coordinates(1, 1, 1, 1));
  work.SetBase(&configured);
  work.SetRotation(2, 12, Vector3(-4, 0, 2));
  work.SetOffset(Coordinates(7, 8, 9, 10, 11));
  const Coordinates before = work.GetTranslation();
  work.Update();
  ExpectNear(work.GetTranslation(), before, 1e-12);
}

TEST(Transformation, BaseLoopIsRefused) {
  testsupport::AssertionCapture capture;
  Transformation a(1), b(7);
  b.SetBase(&a);
  a.SetBase(&b);
  EXPECT_TRUE(capture.Saw("Transformation base loop"));
  EXPECT_EQ(a.GetBase(), nullptr);
  a.SetBase(&a);
  EXPECT_EQ(a.GetBase(), nullptr);
}

TEST(Transformation, TransformAngle) {
  Transformation t(1);
  EXPECT_DOUBLE_EQ(t.TransformAngle(25), 25);
  t.SetRotation(2, 30, Vector3(3, 4, 0));
  EXPECT_NEAR(t.TransformAngle(10), 40, kTol);
  EXPECT_NEAR(t.TransformAngle(350), 20, kTol);
  t.SetRotation(0, 180, Vector3());  // flips Y: mirrored directions
  EXPECT_NEAR(t.TransformAngle(0), 330, kTol);
  t.ClearSteps();
  t.SetScaling(1, 2, 1, Vector3());  // 45 degrees becomes atan(2)
  EXPECT_NEAR(t.TransformAngle(45), std::atan(2.0) / kDegToRad, kTol);
}

// ---------------------------------------------------------------- properties

TEST(TransformationProperty, RoundTripAndStepByStepAgreement) {
  std::mt19937 rng(20261206);
  for (int n = 0; n < 300; ++n) {
    Transformation configured(1 + n % 6), work(7 + n % 6);
    Randomise(configured, rng);
    work.SetBase(&configured);
    if (n % 2) Randomise(work, rng);
    const std::string what = "transformation " + std::to_string(n);
    for (int k = 0; k < 20; ++k) {
      const Coordinates p = RandomPoint(rng, 1000), m = work.ToMachine(p);
      ExpectNear(work.ToProgram(m), p, kTol, what);
      ExpectNear(m, ApplyStepByStep(work, p), kTol, what);
      ExpectNear(work.ToMachine(work.ToProgram(p)), p, kTol, what);
    }
  }
}

TEST(TransformationProperty, RoundTripWithSurfaceMap) {
  SurfaceMapping& map = GetSurfaceMapping();
  map.Enable(false);
  map.SetBoundaries(-50, -30, 150, 70, 6, 5);
  std::mt19937 rng(5);
  std::uniform_real_distribution<double> h(-0.5, 0.5);
  for (int iy = 0; iy < 5; ++iy)
    for (int ix = 0; ix < 6; ++ix) map.SetValue(ix, iy, h(rng));
  for (int n = 0; n < 100; ++n) {
    Transformation configured(1), work(7);
    Randomise(configured, rng);
    work.SetBase(&configured);
    work.SetMapping(true);
    ASSERT_TRUE(work.IsMappingOn() && configured.IsMappingOn());
    EXPECT_TRUE(work.IsActive() && work.IsDistortedOrMapped());
    for (int k = 0; k < 20; ++k) {
      const Coordinates p = RandomPoint(rng, 400), m = work.ToMachine(p);
      ExpectNear(work.ToProgram(m), p, kTol, "mapped " + std::to_string(n));
      // The height map is looked up after the linear steps, before the
      // translation: it moves with the work offset.
      const Coordinates& tr = work.GetTranslation();
      EXPECT_NEAR(m.v[2] - ApplyStepByStep(work, p).v[2], map.GetOffset(m.v[0] - tr.v[0], m.v[1] - tr.v[1]), kTol);
    }
  }
  Transformation t(2);
  t.SetMapping(false);
  EXPECT_FALSE(t.IsMappingOn());
  EXPECT_FALSE(map.IsEnabled());
}

TEST(Transformation, MappingAnInvalidMapStaysOffAndSaysSo) {
  const std::string dir = testsupport::MakeTempDir("maplog");
  const int32_t mask = GetLogMask(), level = GetLogLevel();
  ASSERT_TRUE(OpenLogFile(dir));
  SetLogMask(LOGCAT_OFFSETS);
  SetLogLevel(7);
  GetSurfaceMapping().Enable(false);
  GetSurfaceMapping().SetBoundaries(0, 0, 10, 10, 1, 5);
  Transformation t(3);
  t.SetMapping(true);
  CloseLogFile();
  SetLogMask(mask);
  SetLogLevel(level);
  EXPECT_FALSE(t.IsMappingOn() || t.IsActive());
  const std::string log = testsupport::ReadFile(dir + "/log.txt");
  EXPECT_NE(log.find("SurfaceMapping SetBoundaries minx=0.000000 maxx=10.000000 dimx=1"), std::string::npos) << log;
  EXPECT_EQ(log.find("SurfaceMapping SetBoundaries OK"), std::string::npos) << log;
  EXPECT_NE(log.find("SetMapping tag=3 on=1 ok=0"), std::string::npos) << log;
}

// ---------------------------------------------------------------- persistence

class TransformationFile : public ::testing::Test {
 protected:
  void SetUp() override { path = testsupport::MakeTempDir("transform") + "/ParameterTable.txt"; }
  std::string path;
};

TEST_F(TransformationFile, SaveLoadRoundTrip) {
  std::mt19937 rng(99);
  for (int n = 0; n < 20; ++n) {
    Transformation saved[6];
    {
      ParaFile file;
      file.Open(path);
      for (int i = 0; i < 6; ++i) {
        saved[i].SetTag(1 + i);
        Randomise(saved[i], rng);
        saved[i].Save(("G5" + std::to_string(4 + i)).c_str(), file);
      }
      ASSERT_TRUE(file.Write());
    }
    ParaFile file;
    ASSERT_TRUE(file.Open(path));
    for (int i = 0; i < 6; ++i) {
      Transformation loaded(1 + i);
      loaded.SetRotation(1, 5, Vector3());  // replaced by the load
      ASSERT_TRUE(loaded.Load(("G5" + std::to_string(4 + i)).c_str(), file));
      const Transformation& s = saved[i];
      ASSERT_EQ(loaded.GetSteps().size(), s.GetSteps().size());
      for (size_t k = 0; k < s.GetSteps().size(); ++k) {
        EXPECT_EQ(loaded.GetSteps()[k].type, s.GetSteps()[k].type);
        EXPECT_EQ(loaded.GetSteps()[k].axis, s.GetSteps()[k].axis);
      }
      EXPECT_EQ(loaded.IsTilted(), s.IsTilted());
      EXPECT_EQ(loaded.IsDistorted(), s.IsDistorted());
      EXPECT_NEAR(loaded.GetScale(), s.GetScale(), 1e-8);
      EXPECT_NEAR(std::remainder(loaded.GetAngle() - s.GetAngle(), 360.0), 0, 1e-6);  // modulo a full turn
      // Values are stored with nine decimals.
      for (int k = 0; k < 10; ++k) {
        Coordinates p = RandomPoint(rng, 100), a = loaded.ToMachine(p), b = s.ToMachine(p);
        for (int ax = 0; ax < 3; ++ax) EXPECT_NEAR(a.v[ax], b.v[ax], 1e-5);
      }
    }
  }
}

TEST_F(TransformationFile, KeysUseThePrefixAndIndexRules) {
  {
    ParaFile file;
    file.Open(path);
    Transformation t(1);
    t.SetOffset(Coordinates(1.5, -2, 3));
    t.SetRotation(2, 90, Vector3(1, 2, 3));
    t.SetScaling(2, 2, 2, Vector3());
    t.Save("G55", file);
    ASSERT_TRUE(file.Write());
  }
  const std::string text = testsupport::ReadFile(path);
  for (const char* line : {"G55TransOpType_00=1", "G55TransOpAxis_00=2", "G55TransOpFix_01=2.0", "G55TransOpType_01=2",
                           "G55TransOpMatrix_10=2.0", "G55TransOpMatrix_18=2.0", "G55TransOpMatrix_01=-1.0",
                           "G55TransNumOps=2", "G55TransRotated=1", "G55TransTilted=0", "G55TransScaled=1",
                           "G55TransDistorted=0", "G55TransScale=2.0", "G55TransOffs_00=1.5", "G55TransOffs_01=-2.0"})
    EXPECT_NE(text.find(std::string(line) + "\n"), std::string::npos) << line << "\n" << text;
}

TEST_F(TransformationFile, DamagedEntriesAreSkipped) {
  // Step 0 turns about a non-existent axis, step 1 scales by 3, step 2 is a
  // general matrix that is not first.
  std::string text = "G56TransNumOps=3\nG56TransOffs_00=4\nG57TransNumOps=-4\nG58TransNumOps=2000000000\n";
  const int types[3] = {1, 2, 3}, axes[3] = {7, 0, 0};
  const double diag[3] = {1, 3, 1};
  auto line = [&](const char* key, int a, int b, double v) {
    char buf[80];
    std::snprintf(buf, sizeof buf, "G56%s_%d%d=%g\n", key, a, b, v);
    text += buf;
  };
  for (int n = 0; n < 3; ++n) {
    line("TransOpType", 0, n, types[n]);
    line("TransOpAxis", 0, n, axes[n]);
    for (int i = 0; i < 3; ++i) line("TransOpFix", n, i, 0);
    for (int j = 0; j < 9; ++j) line("TransOpMatrix", n, j, j % 4 ? 0.0 : diag[n]);
  }
  testsupport::WriteFile(path, text);
  ParaFile file;
  ASSERT_TRUE(file.Open(path));
  Transformation t(3);
  EXPECT_FALSE(t.Load("G56", file));
  ASSERT_EQ(t.GetSteps().size(), 1u);
  EXPECT_EQ(t.GetSteps()[0].type, TransformStep::SCALING);
  EXPECT_DOUBLE_EQ(t.GetScale(), 3);
  ExpectNear(t.ToMachine(Coordinates(1, 1, 1)), Coordinates(7, 3, 3));
  // Negative and huge step counts, and a prefix that is absent altogether.
  for (const char* prefix : {"G57", "G58", "G59"}) {
    Transformation u(4);
    EXPECT_FALSE(u.Load(prefix, file)) << prefix;
    EXPECT_TRUE(u.GetSteps().empty()) << prefix;
  }
}

}  // namespace
