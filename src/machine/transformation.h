// Coordinate transformations: the mapping of program coordinates to machine
// coordinates of one coordinate system (work offset, rotations, scaling, a
// general matrix and the surface height map), and the small 3D math it needs.
//
// How the machine state uses this unit:
//  - G53 has a Transformation with tag 0: no steps, never offset, never mapped
//    (SetOffset and SetMapping(true) on it are assertions and change nothing).
//  - Each of G54..G59 has a configured Transformation (tags 1..6) that is saved
//    in "ParameterTable.txt" with Save("G54", file) .. Save("G59", file).
//  - Each of G54..G59 also has a working copy (tags 7..12) whose base is the
//    configured one (SetBase). A program changes the working copy (its own
//    steps and an offset relative to the base's), never the configured one.
//  - To change an offset without moving the machine: m = ToMachine(progPos);
//    SetOffset(v); progPos = ToProgram(m).
//
// The overall scale factor (Scale()) is 1.0 without scaling steps and is
// multiplied by the average factor (sx + sy + sz) / 3 of every scaling step
// of the whole base chain. It is recomputed by Update and saved as
// "TransScale"; a loaded value is replaced by the recomputed one.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/coordinates.h"
#include "base/logging.h"

class ParaFile;
class SurfaceMapping;

// Message codes of the offset and transformation messages.
constexpr int32_t LOG_TRANSFORM_INFO = LOGCAT_OFFSETS | 3;    // 4099
constexpr int32_t LOG_TRANSFORM_DETAIL = LOGCAT_OFFSETS | 6;  // 4102
static_assert(LOG_TRANSFORM_INFO == 4099 && LOG_TRANSFORM_DETAIL == 4102);

constexpr double kDegToRad = 0.017453292519943295;

// X/Y/Z three-vector.
struct Vector3 {
  double v[3] = {0, 0, 0};

  Vector3() = default;
  Vector3(double x, double y, double z) : v{x, y, z} {}
  // The X/Y/Z part of a full coordinate vector.
  explicit Vector3(const Coordinates& c) : v{c.v[0], c.v[1], c.v[2]} {}

  double& operator[](int i) { return v[i]; }
  double operator[](int i) const { return v[i]; }

  friend Vector3 operator+(const Vector3& a, const Vector3& b) {
    return {a.v[0] + b.v[0], a.v[1] + b.v[1], a.v[2] + b.v[2]};
  }
  friend Vector3 operator-(const Vector3& a, const Vector3& b) {
    return {a.v[0] - b.v[0], a.v[1] - b.v[1], a.v[2] - b.v[2]};
  }
  friend bool operator==(const Vector3& a, const Vector3& b) {
    return a.v[0] == b.v[0] && a.v[1] == b.v[1] && a.v[2] == b.v[2];
  }
};

// 3x3 matrix, row-major: m[row][column].
struct Matrix3 {
  double m[3][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};

  static Matrix3 Identity() { return {}; }
  // Rotation by an angle in degrees about axis 0 = X, 1 = Y, 2 = Z
  // (right-handed: a positive angle about Z turns X towards Y).
  static Matrix3 Rotation(int axis, double degrees);
  static Matrix3 Scale(double sx, double sy, double sz);
  // Nine values row by row.
  static Matrix3 FromValues(const double values[9]);

  double Determinant() const;
  // Inverse by cofactors divided by the determinant. A singular (or not
  // finite) matrix has no inverse: returns false and leaves *out unchanged.
  bool Inverse(Matrix3* out) const;
  bool IsIdentity() const;

  friend Matrix3 operator*(const Matrix3& a, const Matrix3& b);
  friend Vector3 operator*(const Matrix3& a, const Vector3& v) {
    return {a.m[0][0] * v.v[0] + a.m[0][1] * v.v[1] + a.m[0][2] * v.v[2],
            a.m[1][0] * v.v[0] + a.m[1][1] * v.v[1] + a.m[1][2] * v.v[2],
            a.m[2][0] * v.v[0] + a.m[2][1] * v.v[1] + a.m[2][2] * v.v[2]};
  }
  friend bool operator==(const Matrix3& a, const Matrix3& b);
};

// Direction of the vector (x, y) in degrees, 0 <= angle < 360; (0, 0) gives 0.
double VectorAngle(double x, double y);

// value clamped to [min, max]; min > max is an assertion ("FitToLimits min>max")
// and leaves the value unchanged.
double FitToLimits(double min, double value, double max);

// One linear step of a transformation, applied about its fixed point:
// p' = matrix * (p - fix) + fix.
struct TransformStep {
  enum Type { ROTATION = 1, SCALING = 2, MATRIX = 3 };

  int type = ROTATION;
  bool tilted = false;     // rotation about X or Y
  bool distorted = false;  // scaling factors differ by more than 1 %
  int axis = 2;            // rotation axis: 0 = X, 1 = Y, 2 = Z
  double average = 1.0;    // scaling: (sx + sy + sz) / 3
  Vector3 fix;
  Matrix3 matrix;
};

// True when one factor is above 1.01 times or below 0.99 times another.
bool ScalingIsDistorted(double sx, double sy, double sz);

class Transformation {
 public:
  enum Tag { TAG_NONE = -1, TAG_G53 = 0, TAG_FIRST_CONFIGURED = 1, TAG_FIRST_WORKING = 7 };

  explicit Transformation(int tag = TAG_NONE);
  virtual ~Transformation() = default;
  Transformation(const Transformation&) = default;
  Transformation& operator=(const Transformation&) = default;

  // --- identity and chain
  int GetTag() const { return tag; }
  void SetTag(int t) { tag = t; }
  // Makes this a working copy of `configured`: drops the own steps and the own
  // offset, so the copy starts equal to its base, and recomputes. nullptr
  // makes it stand alone again. A base that would close a loop is an
  // assertion and is refused.
  void SetBase(Transformation* configured);
  Transformation* GetBase() const { return base; }
  // Points a copied working copy at a copy of its base that holds the same
  // values: steps, offset and the computed mapping stay as they are.
  void ReplaceBase(Transformation* equalBase) { base = equalBase; }

  // --- offsets (full nine axes)
  // Stores v relative to the base's offset; the translation follows at once.
  void SetOffset(const Coordinates& v);
  // Own offset plus, for a working copy, the base's offset.
  Coordinates GetOffset() const;
  // The stored own offset (relative to the base for a working copy).
  const Coordinates& GetOwnOffset() const { return offset; }

  // --- steps; each call recomputes
  void SetRotation(int axis, double degrees, const Vector3& fix);
  void ClearRotations();
  void SetScaling(double sx, double sy, double sz, const Vector3& fix);
  void ClearScaling();
  // Nine values row by row; the step sits first in the list, fixed point 0.
  void SetMatrix(const double values[9]);
  // The first step's matrix values, or the identity.
  void GetMatrix(double values[9]) const;
  void ClearSteps();
  const std::vector<TransformStep>& GetSteps() const { return steps; }

  // Switches the process-wide surface map on or off for this chain.
  void SetMapping(bool on);

  // Recomputes matrix, inverse, translation and the summary flags (the base
  // first). Call it after the base has changed.
  void Update();

  // --- conversions (hot path: no allocation, no logging)
  // machine = matrix * program + height(map) + translation; the height map is
  // looked up at the X/Y after the linear steps and before the translation,
  // so a probed map moves with the work offset.
  Coordinates ToMachine(const Coordinates& p) const;
  Coordinates ToProgram(const Coordinates& m) const;
  // Direction angle in degrees of the program direction `degrees`, as seen by
  // the machine (tangential tools).
  double TransformAngle(double degrees) const;

  // --- queries
  bool IsMappingOn() const { return mappingOn; }
  // A rotation or scaling step, or the surface map.
  bool IsActive() const { return active || mappingOn; }
  // Circles may not stay circles: the simulation must subdivide.
  bool IsDistortedOrMapped() const { return distorted || mappingOn; }
  bool IsDistorted() const { return distorted; }
  bool IsRotated() const { return rotated; }
  bool IsTilted() const { return tilted; }
  bool IsScaled() const { return scaled; }
  // False when the total matrix is singular; ToProgram then leaves the X/Y/Z
  // part unmapped (only the translation is taken off).
  bool IsInvertible() const { return invertible; }
  double GetScale() const { return scale; }
  double GetAngle() const { return angle; }
  double GetAngleSum() const { return angleSum; }
  const Matrix3& GetTotalMatrix() const { return matrix; }
  const Matrix3& GetInverse() const { return inverse; }
  const Coordinates& GetTranslation() const { return translation; }

  // --- persistence under a three-letter prefix ("G54".."G59")
  void Save(const char* prefix, ParaFile& file) const;
  // Replaces steps and X/Y/Z offset with the stored ones and recomputes.
  // Returns false when the set is absent or a step had to be skipped.
  bool Load(const char* prefix, ParaFile& file);

 private:
  void RemoveSteps(int type, int axis);
  bool ChainContains(const Transformation* t) const;

  Transformation* base = nullptr;
  std::vector<TransformStep> steps;
  Coordinates translation;
  Coordinates offset;
  Matrix3 matrix;
  Matrix3 inverse;
  double scale = 1.0;
  double angle = 0.0;
  double angleSum = 0.0;
  bool distorted = false;
  bool rotated = false;
  bool tilted = false;
  bool scaled = false;
  bool mappingOn = false;
  bool active = false;
  bool invertible = true;
  int tag = TAG_NONE;
};
