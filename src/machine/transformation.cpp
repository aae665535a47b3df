#include "machine/transformation.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "base/assertion.h"
#include "base/logging.h"
#include "params/parafile.h"
#include "machine/surfacemapping.h"

// ---------------------------------------------------------------- math

Matrix3 Matrix3::Rotation(int axis, double degrees) {
  const double a = degrees * kDegToRad;
  const double c = std::cos(a), s = std::sin(a);
  Matrix3 r;
  switch (axis) {
    case 0:
      r.m[1][1] = c, r.m[1][2] = -s, r.m[2][1] = s, r.m[2][2] = c;
      break;
    case 1:
      r.m[0][0] = c, r.m[0][2] = s, r.m[2][0] = -s, r.m[2][2] = c;
      break;
    default:
      r.m[0][0] = c, r.m[0][1] = -s, r.m[1][0] = s, r.m[1][1] = c;
      break;
  }
  return r;
}

Matrix3 Matrix3::Scale(double sx, double sy, double sz) {
  Matrix3 r;
  r.m[0][0] = sx, r.m[1][1] = sy, r.m[2][2] = sz;
  return r;
}

Matrix3 Matrix3::FromValues(const double values[9]) {
  Matrix3 r;
  for (int i = 0; i < 9; ++i) r.m[i / 3][i % 3] = values[i];
  return r;
}

double Matrix3::Determinant() const {
  return m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) - m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
         m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
}

bool Matrix3::Inverse(Matrix3* out) const {
  const double det = Determinant();
  if (det == 0.0 || !std::isfinite(det)) return false;
  Matrix3 r;
  // Adjugate: transposed cofactors.
  r.m[0][0] = (m[1][1] * m[2][2] - m[1][2] * m[2][1]) / det;
  r.m[0][1] = (m[0][2] * m[2][1] - m[0][1] * m[2][2]) / det;
  r.m[0][2] = (m[0][1] * m[1][2] - m[0][2] * m[1][1]) / det;
  r.m[1][0] = (m[1][2] * m[2][0] - m[1][0] * m[2][2]) / det;
  r.m[1][1] = (m[0][0] * m[2][2] - m[0][2] * m[2][0]) / det;
  r.m[1][2] = (m[0][2] * m[1][0] - m[0][0] * m[1][2]) / det;
  r.m[2][0] = (m[1][0] * m[2][1] - m[1][1] * m[2][0]) / det;
  r.m[2][1] = (m[0][1] * m[2][0] - m[0][0] * m[2][1]) / det;
  r.m[2][2] = (m[0][0] * m[1][1] - m[0][1] * m[1][0]) / det;
  for (auto& row : r.m)
    for (double d : row)
      if (!std::isfinite(d)) return false;
  *out = r;
  return true;
}

bool Matrix3::IsIdentity() const { return *this == Identity(); }

Matrix3 operator*(const Matrix3& a, const Matrix3& b) {
  Matrix3 r;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) r.m[i][j] = a.m[i][0] * b.m[0][j] + a.m[i][1] * b.m[1][j] + a.m[i][2] * b.m[2][j];
  return r;
}

bool operator==(const Matrix3& a, const Matrix3& b) {
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j)
      if (a.m[i][j] != b.m[i][j]) return false;
  return true;
}

double VectorAngle(double x, double y) {
  const double r = std::hypot(x, y);
  if (r == 0.0 || !std::isfinite(r)) return 0.0;
  constexpr double kRadToDeg = 1.0 / kDegToRad;
  double a;
  if (std::fabs(x) > std::fabs(y)) {
    a = std::asin(std::clamp(y / r, -1.0, 1.0)) * kRadToDeg;
    if (x < 0)
      a = 180.0 - a;
    else if (y < 0)
      a += 360.0;
  } else {
    a = std::acos(std::clamp(x / r, -1.0, 1.0)) * kRadToDeg;
    if (y < 0) a = 360.0 - a;
  }
  // asin of a tiny negative y gives 360 - epsilon, which rounds to 360.
  return a >= 360.0 ? a - 360.0 : a;
}

double FitToLimits(double min, double value, double max) {
  if (!QASSERT(min <= max, "FitToLimits min>max")) return value;
  if (value < min) return min;
  if (value > max) return max;
  return value;
}

bool ScalingIsDistorted(double sx, double sy, double sz) {
  const double f[3] = {sx, sy, sz};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j)
      if (i != j && (f[i] > 1.01 * f[j] || f[i] < 0.99 * f[j])) return true;
  return false;
}

// ---------------------------------------------------------------- Transformation

Transformation::Transformation(int t) : tag(t) {}

bool Transformation::ChainContains(const Transformation* t) const {
  for (const Transformation* p = this; p; p = p->base)
    if (p == t) return true;
  return false;
}

void Transformation::SetBase(Transformation* configured) {
  if (configured && !QASSERT(!configured->ChainContains(this), "Transformation base loop")) return;
  base = configured;
  steps.clear();
  offset.Clear();
  angle = 0.0;
  Update();
}

void Transformation::SetOffset(const Coordinates& v) {
  if (!QASSERT(tag != TAG_G53, "G53 offset modified")) return;
  Coordinates rel = v;
  if (base) rel -= base->GetOffset();
  translation += rel - offset;
  offset = rel;
}

Coordinates Transformation::GetOffset() const {
  if (!base) return offset;
  return offset + base->GetOffset();
}

void Transformation::RemoveSteps(int type, int axis) {
  std::erase_if(steps, [&](const TransformStep& s) { return s.type == type && (axis < 0 || s.axis == axis); });
}

void Transformation::SetRotation(int axis, double degrees, const Vector3& fix) {
  if (!QASSERT(axis >= 0 && axis <= 2, "SetRotation axis")) return;
  RemoveSteps(TransformStep::ROTATION, axis);
  TransformStep s;
  s.type = TransformStep::ROTATION;
  s.axis = axis;
  s.tilted = axis != 2;
  s.fix = fix;
  s.matrix = Matrix3::Rotation(axis, degrees);
  steps.push_back(s);
  if (axis == 2) angle = degrees;
  Update();
}

void Transformation::ClearRotations() {
  RemoveSteps(TransformStep::ROTATION, -1);
  angle = 0.0;
  Update();
}

void Transformation::SetScaling(double sx, double sy, double sz, const Vector3& fix) {
  RemoveSteps(TransformStep::SCALING, -1);
  TransformStep s;
  s.type = TransformStep::SCALING;
  s.axis = 0;
  s.distorted = ScalingIsDistorted(sx, sy, sz);
  s.average = (sx + sy + sz) / 3.0;
  s.fix = fix;
  s.matrix = Matrix3::Scale(sx, sy, sz);
  steps.push_back(s);
  Update();
}

void Transformation::ClearScaling() {
  RemoveSteps(TransformStep::SCALING, -1);
  Update();
}

void Transformation::SetMatrix(const double values[9]) {
  if (steps.empty() || steps.front().type != TransformStep::MATRIX) {
    TransformStep s;
    s.type = TransformStep::MATRIX;
    s.axis = 0;
    steps.insert(steps.begin(), s);
  }
  steps.front().matrix = Matrix3::FromValues(values);
  Update();
}

void Transformation::GetMatrix(double values[9]) const {
  const Matrix3 m =
      (!steps.empty() && steps.front().type == TransformStep::MATRIX) ? steps.front().matrix : Matrix3::Identity();
  for (int i = 0; i < 9; ++i) values[i] = m.m[i / 3][i % 3];
}

void Transformation::ClearSteps() {
  steps.clear();
  angle = 0.0;
  Update();
}

void Transformation::SetMapping(bool on) {
  if (on && !QASSERT(tag != TAG_G53, "G53 Surface mapping activated")) return;
  SurfaceMapping& map = GetSurfaceMapping();
  map.Enable(on);
  const bool ok = map.IsEnabled();
  for (Transformation* t = this; t; t = t->base) t->mappingOn = ok;
  LogMessage(LOG_TRANSFORM_INFO, "SetMapping tag=%d on=%d ok=%d", tag, on ? 1 : 0, ok ? 1 : 0);
}

void Transformation::Update() {
  distorted = rotated = tilted = scaled = active = false;
  scale = 1.0;
  matrix = Matrix3::Identity();
  Vector3 t;
  angleSum = 0.0;

  if (base) base->Update();

  for (const Transformation* tr = this; tr; tr = tr->base) {
    for (const TransformStep& s : tr->steps) {
      if (s.type == TransformStep::ROTATION) {
        rotated = active = true;
        tilted = tilted || s.tilted;
      } else if (s.type == TransformStep::SCALING) {
        scaled = active = true;
        distorted = distorted || s.distorted;
        scale *= s.average;
      }
      matrix = s.matrix * matrix;
      t = s.matrix * (t - s.fix) + s.fix;
    }
    angleSum += tr->angle;
  }

  translation = Coordinates(t[0], t[1], t[2]) + offset;
  if (base) {
    translation += base->GetOffset();
    mappingOn = base->mappingOn;
  }

  invertible = matrix.Inverse(&inverse);
  if (!invertible) {
    inverse = Matrix3::Identity();
    LogMessage(LOG_TRANSFORM_INFO, "Transformation tag=%d matrix is singular", tag);
  }
}

Coordinates Transformation::ToMachine(const Coordinates& p) const {
  Coordinates r = p;
  const Vector3 q = matrix * Vector3(p);
  r.v[0] = q.v[0];
  r.v[1] = q.v[1];
  r.v[2] = q.v[2];
  if (mappingOn) r.v[2] += GetSurfaceMapping().GetOffset(q.v[0], q.v[1]);
  return r += translation;
}

Coordinates Transformation::ToProgram(const Coordinates& m) const {
  Coordinates q = m - translation;
  if (mappingOn) q.v[2] -= GetSurfaceMapping().GetOffset(q.v[0], q.v[1]);
  const Vector3 p = inverse * Vector3(q);
  q.v[0] = p.v[0];
  q.v[1] = p.v[1];
  q.v[2] = p.v[2];
  return q;
}

double Transformation::TransformAngle(double degrees) const {
  bool hasSteps = false;
  for (const Transformation* tr = this; tr && !hasSteps; tr = tr->base) hasSteps = !tr->steps.empty();
  if (hasSteps || mappingOn || tilted) {
    const double a = degrees * kDegToRad;
    const Vector3 d = matrix * Vector3(std::cos(a), std::sin(a), 0.0);
    return VectorAngle(d[0], d[1]);
  }
  return angleSum + degrees;
}

// ---------------------------------------------------------------- persistence

namespace {
// More steps than any program can build (three rotations, a scaling, a
// matrix); a larger count comes from a damaged file.
constexpr int kMaxStoredSteps = 100;
}  // namespace

void Transformation::Save(const char* prefix, ParaFile& file) const {
  const std::string p = prefix;
  int n = 0;
  for (const TransformStep& s : steps) {
    if (s.type < TransformStep::ROTATION || s.type > TransformStep::MATRIX) continue;
    file.SetInt(p + "TransOpType", n, s.type);
    file.SetInt(p + "TransOpAxis", n, s.axis);
    for (int i = 0; i < 3; ++i) file.SetDouble(p + "TransOpFix", n * 10 + i, s.fix[i]);
    for (int j = 0; j < 9; ++j) file.SetDouble(p + "TransOpMatrix", n * 10 + j, s.matrix.m[j / 3][j % 3]);
    ++n;
  }
  file.SetInt(p + "TransNumOps", n);
  file.SetBool(p + "TransDistorted", distorted);
  file.SetBool(p + "TransRotated", rotated);
  file.SetBool(p + "TransTilted", tilted);
  file.SetBool(p + "TransScaled", scaled);
  file.SetDouble(p + "TransScale", scale);
  for (int i = 0; i < 3; ++i) file.SetDouble(p + "TransOffs", i, offset.v[i]);
}

bool Transformation::Load(const char* prefix, ParaFile& file) {
  const std::string p = prefix;
  steps.clear();
  angle = 0.0;
  int count = 0;
  bool ok = file.GetInt(p + "TransNumOps", count);
  file.GetBool(p + "TransDistorted", distorted);
  file.GetBool(p + "TransRotated", rotated);
  file.GetBool(p + "TransTilted", tilted);
  file.GetBool(p + "TransScaled", scaled);
  file.GetDouble(p + "TransScale", scale);
  if (count < 0 || count > kMaxStoredSteps) {
    LogMessage(LOG_TRANSFORM_INFO, "Transformation %s: bad step count %d", prefix, count);
    count = 0;
    ok = false;
  }
  for (int n = 0; n < count; ++n) {
    TransformStep s;
    double values[9];
    bool got = file.GetInt(p + "TransOpType", n, s.type) && file.GetInt(p + "TransOpAxis", n, s.axis);
    for (int i = 0; i < 3 && got; ++i) got = file.GetDouble(p + "TransOpFix", n * 10 + i, s.fix[i]);
    for (int j = 0; j < 9 && got; ++j) got = file.GetDouble(p + "TransOpMatrix", n * 10 + j, values[j]);
    if (got) {
      s.matrix = Matrix3::FromValues(values);
      switch (s.type) {
        case TransformStep::ROTATION:
          got = s.axis >= 0 && s.axis <= 2;
          s.tilted = s.axis != 2;
          if (got && s.axis == 2) angle = std::atan2(s.matrix.m[1][0], s.matrix.m[0][0]) / kDegToRad;
          break;
        case TransformStep::SCALING:
          s.average = (values[0] + values[4] + values[8]) / 3.0;
          s.distorted = ScalingIsDistorted(values[0], values[4], values[8]);
          break;
        case TransformStep::MATRIX:
          got = steps.empty();  // only the first step may be a general matrix
          break;
        default:
          got = false;
      }
    }
    if (!got) {
      LogMessage(LOG_TRANSFORM_INFO, "Transformation %s: step %d skipped", prefix, n);
      ok = false;
      continue;
    }
    steps.push_back(s);
  }
  for (int i = 0; i < 3; ++i) file.GetDouble(p + "TransOffs", i, offset.v[i]);
  Update();
  return ok;
}
