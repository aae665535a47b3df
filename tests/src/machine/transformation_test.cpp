#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <random>
#include <string>

#include "base/logging.h"
#include "params/parafile.h"
#include "machine/surfacemapping.h"
#include "common/testsupport.h"
#include "machine/transformation.h"

namespace {

constexpr double kTol = 1e-9;

void ExpectNear(const Coordinates& a, const Coordinates& b, double tol = kTol, const std::string& what = "") {
  for (int i = 0; i < kAxisCount; ++i) EXPECT_NEAR(a.v[i], b.v[i], tol) << what << " axis " << i;
}

Coordinates RandomPoint(std::mt19937& rng, double range) {
  Coordinates p;
  for (double& d : p.v) d = std::uniform_real_distribution<double>(-range, range)(rng);
  return p;
}

// Applies the steps one at a time, as a person would on paper; the
// transformation must agree with it while computing a single total matrix.
Coordinates ApplyStepByStep(const Transformation& t, const Coordinates& p) {
  Vector3 v(p);
  for (const Transformation* tr = &t; tr; tr = tr->GetBase())
    for (const TransformStep& s : tr->GetSteps()) v = s.matrix * (v - s.fix) + s.fix;
  // The height map is looked up after the linear part, before anything is
  // shifted: it moves with the work offset and the fix points.
  const Coordinates shift = t.GetTranslation() - t.GetOffset();
  if (t.IsMappingOn()) v[2] += GetSurfaceMapping().GetOffset(v[0] - shift.v[0], v[1] - shift.v[1]);
  Coordinates r = p;
  for (int i = 0; i < 3; ++i) r.v[i] = v[i];
  return r + t.GetOffset();
}

// Builds a random transformation: rotations about each axis, a scaling and
// (sometimes) a general matrix, each with its own fix point. The offset is set
// before and again after the steps: it must keep the translation in step.
void Randomise(Transformation& t, std::mt19937& rng) {
  std::uniform_real_distribution<double> pos(-500, 500), ang(-360, 360), fac(0.5, 2.0), coin(0, 1);
  const auto fix = [&] { return Vector3(pos(rng), pos(rng), pos(rng)); };
  t.SetOffset(RandomPoint(rng, 500));  // replaced below
  double m[9];
  for (int i = 0; i < 9; ++i) m[i] = (i % 4 == 0 ? 1.0 : 0.0) + (coin(rng) - 0.5) * 0.6;
  if (coin(rng) < 0.4) t.SetMatrix(m);
  for (int axis : {2, 0, 1})
    if (coin(rng) < 0.7) t.SetRotation(axis, ang(rng), fix());
  const double sign = coin(rng) < 0.2 ? -1.0 : 1.0, sx = fac(rng), sy = fac(rng), sz = fac(rng);
  if (coin(rng) < 0.6) t.SetScaling(sign * sx, sy, sz, fix());
  t.SetOffset(RandomPoint(rng, 500));  // after the steps
}

class TransformationTest : public ::testing::Test {
 protected:
  void SetUp() override { path = testsupport::MakeTempDir("transform") + "/ParameterTable.txt"; }
  // Writes the parameter file with what `save` puts into it.
  void Write(const std::function<void(ParaFile&)>& save) {
    ParaFile file;
    file.Open(path);
    save(file);
    ASSERT_TRUE(file.Write());
  }
  std::string path;
};

// ---------------------------------------------------------------- math

TEST(TransformMath, RotationsVectorAnglesLimitsAndDistortion) {
  const Vector3 unit[3] = {Vector3(1, 0, 0), Vector3(0, 1, 0), Vector3(0, 0, 1)};
  // About Z: X -> Y, about X: Y -> Z, about Y: Z -> X.
  for (int axis = 0; axis < 3; ++axis) {
    const Vector3 r = Matrix3::Rotation(axis, 90) * unit[(axis + 1) % 3];
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(r[i], unit[(axis + 2) % 3][i], kTol) << "axis " << axis;
  }
  const double angles[][3] = {{0, 0, 0}, {1, 1, 45}, {-1, 1, 135}, {-1, -1, 225}, {0, -1, 270}, {1, -1, 315}};
  for (const auto& r : angles) EXPECT_NEAR(VectorAngle(r[0], r[1]), r[2], kTol) << r[0] << "," << r[1];
  EXPECT_LT(VectorAngle(1, -1e-300), 360.0);
  testsupport::AssertionCapture capture;  // min > max: the value is left as it is
  EXPECT_TRUE(FitToLimits(-1, -5, 1) == -1 && FitToLimits(-1, 5, 1) == 1 && FitToLimits(-1, 0.5, 1) == 0.5 &&
              FitToLimits(1, 5, -1) == 5 && capture.Saw("FitToLimits min>max"));
  // Distorted: factors more than one percent apart, or mirrored.
  const double scalings[][4] = {{2, 2, 2, 0}, {1, 1.005, 0.997, 0}, {1, 1.02, 1, 1}, {1, 1, 0.98, 1}, {-1, 1, 1, 1}};
  for (const auto& r : scalings) EXPECT_EQ(ScalingIsDistorted(r[0], r[1], r[2]), r[3] == 1) << r[0] << r[1] << r[2];
}

TEST(TransformMath, SingularMatrixHasNoInverseAndOnlyTheTranslationIsUndone) {
  Matrix3 out = Matrix3::Rotation(2, 30);
  const double nan[9] = {NAN, 0, 0, 0, 1, 0, 0, 0, 1};
  EXPECT_FALSE(Matrix3::Scale(1, 0, 1).Inverse(&out) || Matrix3::FromValues(nan).Inverse(&out));
  EXPECT_EQ(out, Matrix3::Rotation(2, 30));  // left unchanged
  Transformation t(1);
  t.SetOffset(Coordinates(1, 2, 3));
  const double flat[9] = {1, 2, 0, 2, 4, 0, 0, 0, 1};  // the first two rows are dependent
  for (int matrix = 0; matrix < 2; ++matrix) {
    matrix ? (t.ClearScaling(), t.SetMatrix(flat)) : t.SetScaling(1, 1, 0, Vector3());
    EXPECT_FALSE(t.IsInvertible()) << matrix;
    EXPECT_EQ(t.ToProgram(Coordinates(5, 5, 5, 7)), Coordinates(4, 3, 2, 7)) << matrix;
  }
}

// ---------------------------------------------------------------- Transformation

TEST(Transformation, StepsReplaceTheirKindAndApplyInTheOrderSet) {
  Transformation t(1), copy(7), m(2);
  t.SetRotation(2, 90, Vector3(10, 0, 0));
  ExpectNear(t.ToMachine(Coordinates(11, 0, 5)), Coordinates(10, 1, 5));  // about the fix point
  EXPECT_TRUE(t.IsRotated() && t.IsActive() && !t.IsTilted() && !t.IsScaled());
  t.SetRotation(0, 10, Vector3()), t.SetRotation(2, 60, Vector3());  // replaces the Z rotation, now last
  ASSERT_EQ(t.GetSteps().size(), 2u);
  EXPECT_TRUE(t.GetSteps()[0].axis == 0 && t.GetSteps()[1].axis == 2 && t.IsTilted() && t.GetAngle() == 60);
  t.SetScaling(2, 2, 2, Vector3());
  EXPECT_TRUE(t.IsScaled() && !t.IsDistorted() && !t.IsDistortedOrMapped());
  t.ClearRotations();
  EXPECT_TRUE(t.GetSteps().size() == 1u && !t.IsRotated() && !t.IsTilted() && t.GetAngle() == 0);
  t.SetScaling(2, 1, 3, Vector3());  // replaces the first
  EXPECT_TRUE(t.GetSteps().size() == 1u && t.IsDistorted() && t.GetScale() == 2);  // the average factor
  t.SetRotation(2, 90, Vector3()), t.SetScaling(2, 1, 3, Vector3());  // set again: now after the rotation
  // A general matrix always sits first: (0,1,0) sheared -> (0.25,1,0), turned -> (-1,0.25,0), scaled -> (-2,0.25,0).
  const double shear[9] = {1, 0.5, 0, 0, 1, 0, 0, 0, 1}, shear2[9] = {1, 0.25, 0, 0, 1, 0, 0, 0, 1};
  t.SetMatrix(shear), t.SetMatrix(shear2);  // replaces the first
  ExpectNear(t.ToMachine(Coordinates(0, 1, 0)), Coordinates(-2, 0.25, 0));
  // The overall scale multiplies over the base.
  copy.SetBase(&t), copy.SetScaling(0.5, 0.5, 0.5, Vector3());
  EXPECT_DOUBLE_EQ(copy.GetScale(), 1.0);
  t.ClearScaling(), copy.Update();
  EXPECT_DOUBLE_EQ(copy.GetScale(), 0.5);
  testsupport::AssertionCapture capture;
  t.SetRotation(3, 45, Vector3());
  EXPECT_TRUE(capture.Saw("SetRotation axis") && t.GetSteps().size() == 2u);
  // Only rotations and scalings are active, not a general matrix or an offset.
  m.SetOffset(Coordinates(10, 20, 0, 4, 5, 6, 7, 8, 9)), m.SetMatrix(shear);
  EXPECT_FALSE(m.IsActive());
}

TEST(Transformation, WorkingCopyOffsetIsRelativeToItsBaseAndG53HasNone) {
  testsupport::AssertionCapture capture;
  Transformation configured(1), work(7), g53(0);
  g53.SetOffset(Coordinates(1, 2, 3)), g53.SetMapping(true);
  EXPECT_TRUE(!g53.IsMappingOn() && g53.ToMachine(Coordinates(1, 1, 1)) == Coordinates(1, 1, 1));
  g53.SetMapping(false);  // switching off is allowed
  EXPECT_EQ(capture.Messages().size(), 2u);
  EXPECT_TRUE(capture.Saw("G53 offset modified") && capture.Saw("G53 Surface mapping activated"));
  configured.SetOffset(Coordinates(100, 50, -20)), work.SetBase(&configured), work.SetOffset(Coordinates(110, 40, -20));
  EXPECT_EQ(work.GetOwnOffset(), Coordinates(10, -10, 0));
  ExpectNear(work.ToMachine(Coordinates(1, 2, 3)), Coordinates(111, 42, -17));
  EXPECT_EQ(configured.GetOffset(), Coordinates(100, 50, -20));  // untouched
  configured.SetRotation(2, 90, Vector3()), configured.SetOffset(Coordinates(5, 0, 0));
  work.SetBase(&configured);  // re-basing starts the copy over
  ExpectNear(work.ToMachine(Coordinates(1, 0, 0)), Coordinates(5, 1, 0));
  work.SetScaling(2, 1, 1, Vector3());
  // (1,0,0) scaled -> (2,0,0), turned -> (0,2,0), shifted -> (5,2,0).
  ExpectNear(work.ToMachine(Coordinates(1, 0, 0)), Coordinates(5, 2, 0));
  EXPECT_TRUE(work.IsRotated() && work.IsScaled() && work.GetAngleSum() == 90);
  configured.SetBase(&work), configured.SetBase(&configured);  // a loop, then itself
  EXPECT_TRUE(capture.Saw("Transformation base loop") && configured.GetBase() == nullptr);
}

TEST(Transformation, TransformAngle) {
  Transformation t(1);
  EXPECT_DOUBLE_EQ(t.TransformAngle(25), 25);
  t.SetRotation(2, 30, Vector3(3, 4, 0));
  for (auto [in, out] : {std::pair(10.0, 40.0), {350.0, 20.0}}) EXPECT_NEAR(t.TransformAngle(in), out, kTol);
  t.SetRotation(0, 180, Vector3());  // flips Y: mirrored directions
  EXPECT_NEAR(t.TransformAngle(0), 330, kTol);
  t.ClearSteps(), t.SetScaling(1, 2, 1, Vector3());  // 45 degrees becomes atan(2)
  EXPECT_NEAR(t.TransformAngle(45), std::atan(2.0) / kDegToRad, kTol);
}

TEST(Transformation, MappingAnInvalidMapStaysOffAndSaysSo) {
  const std::string dir = testsupport::MakeTempDir("maplog");
  const int32_t mask = GetLogMask(), level = GetLogLevel();
  ASSERT_TRUE(OpenLogFile(dir));
  SetLogMask(LOGCAT_OFFSETS), SetLogLevel(7);
  GetSurfaceMapping().SetBoundaries(0, 0, 10, 10, 1, 5);
  Transformation t(3);
  t.SetMapping(true);
  CloseLogFile(), SetLogMask(mask), SetLogLevel(level);
  EXPECT_FALSE(t.IsMappingOn() || t.IsActive());
  const std::string log = testsupport::ReadFile(dir + "/log.txt");
  EXPECT_NE(log.find("SetMapping tag=3 on=1 ok=0"), std::string::npos) << log;
}

// ---------------------------------------------------------------- round trips

// Random transformations on random working copies, every fourth one with the
// surface map on; the configured one also goes through the parameter file.
TEST_F(TransformationTest, RoundTripsThroughStepsMapAndFile) {
  SurfaceMapping& map = GetSurfaceMapping();
  map.SetBoundaries(-50, -30, 150, 70, 6, 5);
  std::mt19937 rng(20261206);
  std::uniform_real_distribution<double> h(-0.5, 0.5);
  for (int i = 0; i < 30; ++i) map.SetValue(i % 6, i / 6, h(rng));
  for (int n = 0; n < 400; ++n) {
    Transformation configured(1 + n % 6), work(7 + n % 6), loaded(1);
    Randomise(configured, rng);
    work.SetBase(&configured), n % 2 ? Randomise(work, rng) : void();
    const bool mapped = n % 4 == 3;
    work.SetMapping(mapped);
    ASSERT_EQ(configured.IsMappingOn(), mapped);
    EXPECT_TRUE(!mapped || (work.IsActive() && work.IsDistortedOrMapped()));
    Write([&](ParaFile& file) { configured.Save("G55", file); });
    ParaFile file;
    ASSERT_TRUE(file.Open(path));
    loaded.SetRotation(1, 5, Vector3());  // replaced by the load
    ASSERT_TRUE(loaded.Load("G55", file));
    loaded.SetMapping(mapped);  // not saved
    EXPECT_TRUE(loaded.GetSteps().size() == configured.GetSteps().size() &&
                loaded.IsTilted() == configured.IsTilted() && loaded.IsDistorted() == configured.IsDistorted()) << n;
    EXPECT_NEAR(loaded.GetScale(), configured.GetScale(), 1e-8);
    EXPECT_NEAR(std::remainder(loaded.GetAngle() - configured.GetAngle(), 360.0), 0, 1e-6);  // modulo a full turn
    const std::string what = "transformation " + std::to_string(n);
    for (int k = 0; k < 20; ++k) {
      const Coordinates p = RandomPoint(rng, 1000), m = work.ToMachine(p);
      ExpectNear(work.ToProgram(m), p, kTol, what);
      ExpectNear(m, ApplyStepByStep(work, p), kTol, what);
      ExpectNear(work.ToMachine(work.ToProgram(p)), p, kTol, what);
      // Stored with nine decimals; the offset only for X, Y and Z.
      const Coordinates a = loaded.ToMachine(p), b = configured.ToMachine(p);
      for (int ax = 0; ax < 3; ++ax) EXPECT_NEAR(a.v[ax], b.v[ax], 1e-5) << what;
    }
  }
  Transformation(2).SetMapping(false);  // any transformation switches the map off
  EXPECT_FALSE(map.IsEnabled());
}

// ---------------------------------------------------------------- files

TEST_F(TransformationTest, FileKeysFollowThePrefixAndIndexRulesAndDamageIsSkipped) {
  Transformation t(1), u(4);
  t.SetOffset(Coordinates(1.5, -2, 3)), t.SetRotation(2, 90, Vector3(1, 2, 3));
  t.SetScaling(2, 2, 2, Vector3()), t.SetRotation(0, 10, Vector3());
  // Then step 0 turns about a non-existent axis and step 2 becomes a general
  // matrix that is not first; G57 and G58 have negative and huge step counts.
  Write([&](ParaFile& file) {
    t.Save("G55", file);
    file.SetInt("G55TransOpAxis", 0, 7), file.SetInt("G55TransOpType", 2, TransformStep::MATRIX);
    file.SetInt("G57TransNumOps", -4), file.SetInt("G58TransNumOps", 2000000000);
  });
  const std::string text = testsupport::ReadFile(path);
  for (const char* line : {"G55TransOpType_00=1", "G55TransOpAxis_01=0", "G55TransOpFix_01=2.0", "G55TransOpType_01=2",
                           "G55TransOpMatrix_10=2.0", "G55TransOpMatrix_18=2.0", "G55TransOpMatrix_01=-1.0",
                           "G55TransNumOps=3", "G55TransRotated=1", "G55TransTilted=1", "G55TransScaled=1",
                           "G55TransDistorted=0", "G55TransScale=2.0", "G55TransOffs_00=1.5", "G55TransOffs_01=-2.0"})
    EXPECT_NE(text.find(std::string(line) + "\n"), std::string::npos) << line << "\n" << text;
  ParaFile file;
  ASSERT_TRUE(file.Open(path));
  EXPECT_FALSE(t.Load("G55", file));
  ExpectNear(t.ToMachine(Coordinates(1, 1, 1)), Coordinates(3.5, 0, 5));  // scaled by 2 and offset
  for (const char* prefix : {"G57", "G58", "G59"}) {  // G59 is absent altogether
    u.SetRotation(2, 5, Vector3());
    EXPECT_TRUE(!u.Load(prefix, file) && u.GetSteps().empty()) << prefix;
  }
}

}  // namespace
