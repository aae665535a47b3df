// What the axes of a module meet on a machine: switches that close at a
// position of one channel, and a probe that touches a surface. Positions
// are in steps of the machine as it stands (a module's counter may be set
// to another value by homing; the switches stay where they are).
#pragma once

#include <cstdint>
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

// Input `bit` is on while channel 2 (Z) stands at or below the plane
// z0 + dzdx * x + dzdy * y (steps of channels 0 and 1).
struct ProbeSpec {
  int bit = -1;  // -1: none
  double z0 = 0, dzdx = 0, dzdy = 0;
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
// "Z0:DZDX:DZDY:VOLTS:VPERSTEP".
bool ParseThcPlate(const std::string& text, ThcPlate& p, std::string& error);

class Sensors {
 public:
  Sensors(std::vector<SwitchSpec> switches, ProbeSpec probe) : switches_(std::move(switches)), probe_(probe) {}
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
