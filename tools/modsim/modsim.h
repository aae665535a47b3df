// quorvane-modsim: a soft controller module that speaks the link's protocol
// on one network interface, for tests, benchmarks and commissioning.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sensors.h"

namespace modsim {

// Microseconds on the monotonic clock.
uint64_t NowMicros();

struct FaultConfig {
  double drop = 0;       // probability a frame is lost (each direction)
  double dup = 0;        // probability a frame arrives twice
  double reorder = 0;    // probability a frame is held back behind the next one
  uint32_t delayMs = 0;  // every answer leaves this much later
  long silentAfter = -1;   // connection frames until the module falls silent; -1 never
  long restartAfter = -1;  // connection frames until the module forgets its connection
};

struct ModuleConfig {
  uint8_t mac[6] = {0x02, 0x51, 0x56, 0x00, 0x00, 0x01};
  std::string name = "Quorvane soft module";
  std::string hardware = "Hw V1.0";
  std::string software = "Sw V1.40";
  int axes = 4;                  // positions reported in every answer (1..6)
  double pointsPerSecond = 200;  // position points executed per second; 0 = as they arrive
  bool path = false;             // executes the stream as a path controller (ramp, filter)
  std::string recordPath;        // empty: no record
  bool rawEcho = false;          // raw data sent to it comes back as its raw answer
  std::string modbusPort;        // serial line of its Modbus master; empty: none
  std::string model;             // controller model it plays ("Korrin"); empty: none
  bool nameGiven = false;        // --name given: the model does not name it
  std::vector<SwitchSpec> switches;  // --switch: home and limit switches
  ProbeSpec probe;                   // --probe, --probe-map: a touch probe on a surface
  ThcPlate thcPlate;                 // --thc-plate: the arc voltage over a plate
  int arcGoodBit = -1;               // --arc-good: input on while the arc burns; -1 none
  FaultConfig faults;
};

struct Config {
  std::string iface;
  double speed = 1;  // module ticks this much faster than real time (tests)
  std::string controlPath;  // FIFO for control lines; empty: none
  bool readStdin = true;
  uint64_t seed = 0;
  bool seedGiven = false;
  std::vector<ModuleConfig> modules;
};

// Parses the command line. False with `error` set on a bad one.
bool ParseOptions(int argc, char** argv, Config& config, std::string& error);
const char* Usage();

}  // namespace modsim
