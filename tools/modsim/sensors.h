// What the axes of a module meet on a machine: switches that close at a
// position of one channel, and a probe that touches a surface. Positions
// are in steps of the machine as it stands (a module's counter may be set
// to another value by homing; the switches stay where they are).
#pragma once

#include <cstdint>
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

namespace modsim {

// Input `bit` is on while channel `channel` stands at or below (`below`)
// or at or above `steps`.
struct SwitchSpec {
  int bit = 0;
  int channel = 0;
  bool below = true;
  int64_t steps = 0;
};

// A surface measured on a grid: heights (steps) at x0 + i * dx, y0 + j * dy
// for i < nx, j < ny; bilinear between the nodes, outside the grid the
// nearest edge's height.
struct HeightMap {
  double x0 = 0, y0 = 0, dx = 1, dy = 1;  // steps
  int nx = 0, ny = 0;
  std::vector<double> z;  // steps, row by row (y), nx per row
  double At(double x, double y) const;
};

// Input `bit` is on while channel 2 (Z) stands at or below the plane
// z0 + dzdx * x + dzdy * y (steps of channels 0 and 1), or the height map
// when one is given.
struct ProbeSpec {
  int bit = -1;  // -1: none
  double z0 = 0, dzdx = 0, dzdy = 0;
  std::shared_ptr<const HeightMap> map;
  double SurfaceAt(double x, double y) const { return map ? map->At(x, y) : z0 + dzdx * x + dzdy * y; }
};

// The plate under a plasma torch: the arc voltage at the module's input
// rises with the torch's height above the surface z0 + dzdx * x + dzdy * y
// (steps of channels 0 to 2): volts at the surface, voltsPerStep above it.
struct ThcPlate {
  bool given = false;
  double z0 = 0, dzdx = 0, dzdy = 0;
  double volts = 0;         // V
  double voltsPerStep = 0;  // V per Z step
};

// "BIT:AXIS<=STEPS" or "BIT:AXIS>=STEPS", AXIS X, Y, Z, A, B, C (channel 0..5).
bool ParseSwitch(const std::string& text, SwitchSpec& s, std::string& error);
// "BIT:Z0" or "BIT:Z0:DZDX:DZDY".
bool ParseProbe(const std::string& text, ProbeSpec& p, std::string& error);
// A height map file: a first line "X0 Y0 DX DY NX NY" (steps, DX and DY
// above 0, NX and NY 1..1000), then NY lines of NX heights (steps), the
// first line at Y0; blank lines and lines starting with # are skipped.
bool ParseHeightMap(std::istream& in, HeightMap& m, std::string& error);
// "BIT:FILE": the probe touches the height map in FILE.
bool ParseProbeMap(const std::string& text, ProbeSpec& p, std::string& error);
// "Z0:DZDX:DZDY:VOLTS:VPERSTEP".
bool ParseThcPlate(const std::string& text, ThcPlate& p, std::string& error);

class Sensors {
 public:
  Sensors(std::vector<SwitchSpec> switches, ProbeSpec probe)
      : switches_(std::move(switches)), probe_(std::move(probe)) {}
  bool Empty() const { return switches_.empty() && probe_.bit < 0; }
  // The input bits the sensors drive.
  uint32_t Mask() const;
  // Their states at the counter positions `counter` (steps, 6 channels).
  uint32_t Inputs(const int32_t* counter) const;
  // The counter of channel c is set to steps while it stands at `actual`.
  void CounterSet(int c, int32_t actual, int32_t steps) { shift_[c] += static_cast<int64_t>(actual) - steps; }
  int64_t Physical(int c, int32_t counter) const { return counter + shift_[c]; }

 private:
  std::vector<SwitchSpec> switches_;
  ProbeSpec probe_;
  int64_t shift_[6] = {};
};

}  // namespace modsim
