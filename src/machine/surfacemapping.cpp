#include "machine/surfacemapping.h"

#include <cmath>
#include <numbers>

#include <interpolation.h>

#include "base/logging.h"
#include "params/parafile.h"
#include "machine/transformation.h"

struct SurfaceMapping::Spline {
  alglib::spline2dinterpolant interpolant;
};

SurfaceMapping::SurfaceMapping() = default;
SurfaceMapping::~SurfaceMapping() = default;

SurfaceMapping& GetSurfaceMapping() {
  static SurfaceMapping instance;
  return instance;
}

void SurfaceMapping::SetBoundaries(double minx, double miny, double maxx, double maxy, int dimx, int dimy) {
  LogMessage(LOG_TRANSFORM_INFO, "SurfaceMapping SetBoundaries minx=%f maxx=%f dimx=%d", minx, maxx, dimx);
  LogMessage(LOG_TRANSFORM_INFO, "SurfaceMapping SetBoundaries miny=%f maxy=%f dimy=%d", miny, maxy, dimy);
  // The old spline belongs to the old rectangle: a new one is built at the next Enable.
  enabled = false;
  spline.reset();
  // Kept even when refused, so that saving writes back what was given.
  minX = minx, minY = miny, maxX = maxx, maxY = maxy;
  dimX = dimx, dimY = dimy;
  averageZ = 0.0;
  // Written so that NaN bounds fail as well.
  const bool ok = maxx > minx && maxy > miny && std::isfinite(maxx - minx) && std::isfinite(maxy - miny) &&
                  dimx >= 2 && dimy >= 2 && dimx <= kMaxDim && dimy <= kMaxDim;
  if (!ok) {
    valid = false;
    grid.clear();
    return;
  }
  grid.assign(static_cast<size_t>(dimX + 2) * static_cast<size_t>(dimY + 2), 0.0);
  valid = true;
  LogMessage(LOG_TRANSFORM_INFO, "SurfaceMapping SetBoundaries OK");
}

void SurfaceMapping::SetValue(int ix, int iy, double z) {
  if (!valid || ix < 0 || ix >= dimX || iy < 0 || iy >= dimY) return;
  LogMessage(LOG_TRANSFORM_INFO, "SurfaceMapping SetValue ix=%d iy=%d z=%f", ix, iy, z);
  Cell(ix, iy) = z;
}

double SurfaceMapping::GetValue(int ix, int iy) const {
  if (!valid || ix < 0 || ix >= dimX || iy < 0 || iy >= dimY) return 0.0;
  return Cell(ix, iy);
}

bool SurfaceMapping::Enable(bool on) {
  if (on == enabled) return enabled;
  enabled = valid && on;
  LogMessage(LOG_TRANSFORM_INFO, "SurfaceMapping on=%d Enable=%d", on ? 1 : 0, enabled ? 1 : 0);
  if (enabled && !BuildSpline()) enabled = false;
  if (!enabled) spline.reset();
  return enabled;
}

bool SurfaceMapping::BuildSpline() {
  const int nx = dimX + 2, ny = dimY + 2;
  const double w = maxX - minX, h = maxY - minY;
  alglib::real_1d_array xs, ys, f;
  xs.setlength(nx);
  ys.setlength(ny);
  f.setlength(static_cast<alglib::ae_int_t>(nx) * ny);
  // The outer nodes lie one rectangle width outside, where the map has faded out.
  xs[0] = minX - w;
  for (int i = 0; i < dimX; ++i) xs[i + 1] = minX + w * i / (dimX - 1);
  xs[nx - 1] = maxX + w;
  ys[0] = minY - h;
  for (int i = 0; i < dimY; ++i) ys[i + 1] = minY + h * i / (dimY - 1);
  ys[ny - 1] = maxY + h;

  double sum = 0.0;
  for (int ix = 0; ix < dimX; ++ix) sum += Cell(ix, 0) + Cell(ix, dimY - 1);
  for (int iy = 0; iy < dimY; ++iy) sum += Cell(0, iy) + Cell(dimX - 1, iy);
  averageZ = sum / (2.0 * (dimX + dimY));
  for (int iy = 0; iy < dimY; ++iy)
    for (int ix = 0; ix < dimX; ++ix) Cell(ix, iy) -= averageZ;

  for (size_t i = 0; i < grid.size(); ++i) f[static_cast<alglib::ae_int_t>(i)] = grid[i];
  auto s = std::make_unique<Spline>();
  try {
    alglib::spline2dbuildbicubicv(xs, nx, ys, ny, f, 1, s->interpolant);
  } catch (const alglib::ap_error& e) {
    LogMessage(LOG_TRANSFORM_INFO, "SurfaceMapping spline failed: %s", e.msg.c_str());
    return false;
  }
  spline = std::move(s);

  if (LogEnabled(LOG_TRANSFORM_DETAIL)) {
    for (int iy = 0; iy < ny; ++iy)
      for (int ix = 0; ix < nx; ++ix)
        LogMessage(LOG_TRANSFORM_DETAIL, "SurfaceMapping point=X%1.3f Y%1.3f Z%1.3f", xs[ix], ys[iy],
                   grid[static_cast<size_t>(iy) * nx + ix]);
  }
  LogMessage(LOG_TRANSFORM_INFO, "SurfaceMapping avgZ=%1.3f", averageZ);
  return true;
}

namespace {
// 1 inside [lo, hi], falling linearly to 0 one width outside.
inline double FadeWeight(double v, double lo, double hi) {
  double w = 1.0;
  if (v < lo)
    w = (v - lo) / (hi - lo) + 1.0;
  else if (v > hi)
    w = 1.0 - (v - hi) / (hi - lo);
  return w < 0.0 ? 0.0 : w;
}
}  // namespace

double SurfaceMapping::GetOffset(double x, double y) const {
  if (!enabled || !spline) return 0.0;
  if (!std::isfinite(x) || !std::isfinite(y)) return 0.0;  // the spline refuses them
  const double wx = FadeWeight(x, minX, maxX);
  const double wy = FadeWeight(y, minY, maxY);
  if (wx == 0.0 || wy == 0.0) return 0.0;
  const double z = alglib::spline2dcalc(spline->interpolant, x, y);
  if (wx == 1.0 && wy == 1.0) return z;
  return z * (1.0 - std::cos(wx * std::numbers::pi)) * (1.0 - std::cos(wy * std::numbers::pi)) / 4.0;
}

bool SurfaceMapping::Load(ParaFile& file, bool* wasEnabled) {
  double x0 = 0, y0 = 0, x1 = 0, y1 = 0;
  int nx = 0, ny = 0;
  file.GetDouble("SurfaceMinX", x0);
  file.GetDouble("SurfaceMinY", y0);
  file.GetDouble("SurfaceMaxX", x1);
  file.GetDouble("SurfaceMaxY", y1);
  file.GetInt("SurfaceDimX", nx);
  file.GetInt("SurfaceDimY", ny);
  SetBoundaries(x0, y0, x1, y1, nx, ny);
  if (valid) {
    for (int i = 0; i < dimX * dimY; ++i) {
      double z = 0.0;
      file.GetDouble("SurfaceValueZ", i, z);
      SetValue(i % dimX, i / dimX, z);
    }
  }
  bool on = false;
  file.GetBool("SurfaceEnable", on);
  if (wasEnabled) *wasEnabled = on;
  return valid;
}

bool SurfaceMapping::Save(ParaFile& file) const {
  file.SetDouble("SurfaceMinX", minX);
  file.SetDouble("SurfaceMinY", minY);
  file.SetDouble("SurfaceMaxX", maxX);
  file.SetDouble("SurfaceMaxY", maxY);
  file.SetInt("SurfaceDimX", dimX);
  file.SetInt("SurfaceDimY", dimY);
  if (valid)
    for (int iy = 0; iy < dimY; ++iy)
      for (int ix = 0; ix < dimX; ++ix) file.SetDouble("SurfaceValueZ", iy * dimX + ix, Cell(ix, iy));
  file.SetBool("SurfaceEnable", enabled);
  return file.Write();
}
