// Height correction from a probed grid of surface heights: a bicubic spline
// through the measured points (relative to the mean of the border points),
// faded to zero within one rectangle width outside the measured rectangle.
//
// Typical use: SetBoundaries, SetValue for every grid point, Enable(true);
// Transformation::ToMachine then adds GetOffset(x, y) to Z.
#pragma once

#include <memory>
#include <vector>

class ParaFile;

class SurfaceMapping {
 public:
  // Largest accepted number of points per direction; a larger grid is refused
  // like an empty one (keeps a damaged file from allocating gigabytes).
  static constexpr int kMaxDim = 1000;

  SurfaceMapping();
  virtual ~SurfaceMapping();
  SurfaceMapping(const SurfaceMapping&) = delete;
  SurfaceMapping& operator=(const SurfaceMapping&) = delete;

  // Accepts maxX > minX, maxY > minY and at least two points per direction:
  // zeroes the grid and makes the map valid (and disabled until the next
  // Enable). Anything else leaves the map invalid and disabled.
  void SetBoundaries(double minX, double minY, double maxX, double maxY, int dimX, int dimY);
  // Measured height of point (ix, iy); indexes outside the grid are ignored.
  // Takes effect at the next Enable(true).
  void SetValue(int ix, int iy, double z);
  // Height stored for point (ix, iy) (relative to the border mean once the
  // map has been enabled); 0 outside the grid.
  double GetValue(int ix, int iy) const;

  // Switches the correction on (only a valid map) or off; returns whether it
  // is enabled now.
  bool Enable(bool on);
  // Height correction at machine position (x, y); 0 when not enabled.
  double GetOffset(double x, double y) const;

  bool IsValid() const { return valid; }
  bool IsEnabled() const { return enabled; }
  int GetDimX() const { return dimX; }
  int GetDimY() const { return dimY; }
  double GetMinX() const { return minX; }
  double GetMinY() const { return minY; }
  double GetMaxX() const { return maxX; }
  double GetMaxY() const { return maxY; }
  double GetAverageZ() const { return averageZ; }

  // Keys in "SpindleMapping.txt". Load sets the boundaries and the values;
  // it does not enable the map. Returns whether the map is valid; *wasEnabled
  // receives the stored enable flag (false when absent).
  bool Load(ParaFile& file, bool* wasEnabled = nullptr);
  // Writes the keys and the file; returns whether the write succeeded.
  bool Save(ParaFile& file) const;

 private:
  struct Spline;
  bool BuildSpline();
  double& Cell(int ix, int iy) { return grid[(iy + 1) * (dimX + 2) + ix + 1]; }
  double Cell(int ix, int iy) const { return grid[(iy + 1) * (dimX + 2) + ix + 1]; }

  bool valid = false;
  bool enabled = false;
  int dimX = 0;
  int dimY = 0;
  double minX = 0;
  double minY = 0;
  double maxX = 0;
  double maxY = 0;
  double averageZ = 0;
  std::vector<double> grid;  // (dimX + 2) x (dimY + 2), row iy + 1, column ix + 1
  std::unique_ptr<Spline> spline;
};

// The process-wide surface map used by every transformation.
SurfaceMapping& GetSurfaceMapping();
