#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "driver/src/linkframe.h"
#include "modsim.h"
#include "pins.h"

namespace modsim {

uint64_t NowMicros() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}

const char* Usage() {
  return "usage: quorvane-modsim --iface NAME [--control FIFO] [--no-stdin] [--seed N] [--speed F]\n"
         "                       [module options] [--mac MAC [module options]] ...\n"
         "  --speed F            the 5 ms tick comes F times as often (0.1..100; tests)\n"
         "module options (before the first --mac they are the defaults of every module):\n"
         "  --mac MAC            a module with this address (aa:bb:cc:dd:ee:ff)\n"
         "  --name TEXT --hw TEXT --sw TEXT   the identification lines\n"
         "  --axes N             positions in every answer, 1..6 (default 4)\n"
         "  --rate N             position points executed per second (default 200; 0 = at once)\n"
         "  --path               executes the stream as a path controller: ramps with the configured\n"
         "                       acceleration, smooths with the filter time, reports reference numbers\n"
         "                       as reached and counts buffer underruns (--rate does not apply)\n"
         "  --record FILE        executed commands, positions and outputs with times\n"
         "  --raw-echo           raw data sent to the module comes back as its raw answer\n"
         "  --switch BIT:AXIS<=STEPS  input BIT is on while channel AXIS (X..C) stands at or\n"
         "                       below STEPS (>= at or above); home and limit switches, repeatable.\n"
         "                       A stop input stops the axes dead.\n"
         "  --probe BIT:Z0[:DZDX:DZDY]  input BIT is on while Z stands at or below the plane\n"
         "                       Z0 + DZDX*X + DZDY*Y (steps)\n"
         "  --probe-map BIT:FILE  input BIT is on while Z stands at or below the height map in FILE:\n"
         "                       a line X0 Y0 DX DY NX NY, then NY lines of NX heights (all steps);\n"
         "                       bilinear between the nodes, the nearest edge outside the grid\n"
         "  --thc-plate Z0:DZDX:DZDY:VOLTS:VPERSTEP  arc voltage at the input (sixth position value,\n"
         "                       409.5 per volt): VOLTS at the plate Z0 + DZDX*X + DZDY*Y (steps),\n"
         "                       VPERSTEP more per Z step above it; torch height control acts on it\n"
         "  --arc-good BIT       input BIT is on while the arc burns (see the arc control line)\n"
         "  --modbus-port TTY    runs the Modbus batches it is sent on this serial line (RTU)\n"
         "  --model WORD         plays a controller model: its name, pins, PWM and charge pump\n"
         "  --drop P --dup P --reorder P   fault probabilities (0..1), both directions\n"
         "  --delay MS           every answer leaves MS milliseconds later\n"
         "  --silent-after N     falls silent after N frames of an open connection\n"
         "  --restart-after N    forgets its connection after N frames of an open connection\n"
         "control lines (stdin or FIFO), optionally prefixed by @INDEX or @MAC:\n"
         "  input BIT 0|1 | pin PIN 0|1 | inputs HEX | status HEX | raw HEX... | wheel +N|-N|=N [MS] |\n"
         "  silent | talk | restart | quit\n"
         "  arc 0|1              puts the plasma arc out (the voltage reads 0, THC holds Z) or lights it\n";
}

namespace {

bool ParseProbability(const char* text, double& out) {
  char* end = nullptr;
  errno = 0;
  out = std::strtod(text, &end);
  return errno == 0 && end != text && *end == 0 && out >= 0 && out <= 1;
}

bool ParseLong(const char* text, long lo, long hi, long& out) {
  char* end = nullptr;
  errno = 0;
  out = std::strtol(text, &end, 10);
  return errno == 0 && end != text && *end == 0 && out >= lo && out <= hi;
}

bool Fail(std::string& error, const std::string& why) {
  error = why;
  return false;
}

}  // namespace

bool ParseOptions(int argc, char** argv, Config& config, std::string& error) {
  ModuleConfig defaults;
  ModuleConfig* current = &defaults;
  std::vector<ModuleConfig> modules;
  for (int i = 1; i < argc; ++i) {
    const std::string opt = argv[i];
    auto value = [&]() -> const char* {
      if (i + 1 >= argc) return nullptr;
      return argv[++i];
    };
    if (opt == "--no-stdin") {
      config.readStdin = false;
      continue;
    }
    if (opt == "--path") {
      current->path = true;
      continue;
    }
    if (opt == "--raw-echo") {
      current->rawEcho = true;
      continue;
    }
    const char* v = value();
    if (!v) {
      error = opt + " needs a value";
      return false;
    }
    long n = 0;
    double p = 0;
    if (opt == "--iface") {
      config.iface = v;
    } else if (opt == "--control") {
      config.controlPath = v;
    } else if (opt == "--speed") {
      char* end = nullptr;
      config.speed = std::strtod(v, &end);
      if (end == v || *end || !(config.speed >= 0.1 && config.speed <= 100)) return Fail(error, "--speed takes 0.1..100");
    } else if (opt == "--seed") {
      if (!ParseLong(v, 0, 0x7FFFFFFFL, n)) return Fail(error, "bad --seed");
      config.seed = static_cast<uint64_t>(n);
      config.seedGiven = true;
    } else if (opt == "--mac") {
      modules.push_back(defaults);
      current = &modules.back();
      if (!linkframe::ParseMac(v, current->mac)) return Fail(error, std::string("bad --mac ") + v);
    } else if (opt == "--model") {
      std::string why;
      if (!ModulePins::Create(v, why)) return Fail(error, "--model: " + why);
      current->model = v;
      // The model's own identification, unless a name is given.
      if (!current->nameGiven) current->name = ModuleNameOf(v);
    } else if (opt == "--name") {
      current->name = v;
      current->nameGiven = true;
    } else if (opt == "--hw") {
      current->hardware = v;
    } else if (opt == "--sw") {
      current->software = v;
    } else if (opt == "--axes") {
      if (!ParseLong(v, 1, 6, n)) return Fail(error, "--axes takes 1..6");
      current->axes = static_cast<int>(n);
    } else if (opt == "--rate") {
      if (!ParseLong(v, 0, 100000000L, n)) return Fail(error, "bad --rate");
      current->pointsPerSecond = static_cast<double>(n);
    } else if (opt == "--modbus-port") {
      current->modbusPort = v;
    } else if (opt == "--record") {
      current->recordPath = v;
    } else if (opt == "--switch") {
      SwitchSpec sw;
      std::string why;
      if (!ParseSwitch(v, sw, why)) return Fail(error, "--switch: " + why);
      current->switches.push_back(sw);
    } else if (opt == "--probe") {
      std::string why;
      if (!ParseProbe(v, current->probe, why)) return Fail(error, "--probe: " + why);
    } else if (opt == "--probe-map") {
      std::string why;
      if (!ParseProbeMap(v, current->probe, why)) return Fail(error, "--probe-map: " + why);
    } else if (opt == "--thc-plate") {
      std::string why;
      if (!ParseThcPlate(v, current->thcPlate, why)) return Fail(error, "--thc-plate: " + why);
    } else if (opt == "--arc-good") {
      if (!ParseLong(v, 0, 23, n)) return Fail(error, "--arc-good takes an input bit 0..23");
      current->arcGoodBit = static_cast<int>(n);
    } else if (opt == "--drop" || opt == "--dup" || opt == "--reorder") {
      if (!ParseProbability(v, p)) return Fail(error, opt + " takes a probability 0..1");
      (opt == "--drop" ? current->faults.drop : opt == "--dup" ? current->faults.dup : current->faults.reorder) = p;
    } else if (opt == "--delay") {
      if (!ParseLong(v, 0, 60000, n)) return Fail(error, "--delay takes 0..60000 ms");
      current->faults.delayMs = static_cast<uint32_t>(n);
    } else if (opt == "--silent-after" || opt == "--restart-after") {
      if (!ParseLong(v, 0, 0x7FFFFFFFL, n)) return Fail(error, opt + " takes a frame count");
      (opt == "--silent-after" ? current->faults.silentAfter : current->faults.restartAfter) = n;
    } else {
      error = "unknown option " + opt;
      return false;
    }
  }
  if (config.iface.empty()) return Fail(error, "--iface is required");
  if (modules.empty()) modules.push_back(defaults);
  for (size_t a = 0; a < modules.size(); ++a)
    for (size_t b = a + 1; b < modules.size(); ++b)
      if (linkframe::KeyFromMac(modules[a].mac) == linkframe::KeyFromMac(modules[b].mac))
        return Fail(error, "two modules share MAC bytes 2 to 5 (the module key)");
  for (const ModuleConfig& m : modules)
    if (m.name.size() + m.hardware.size() + m.software.size() + 2 > 255)
      return Fail(error, "the identification text is longer than 255 bytes");
  config.modules = std::move(modules);
  return true;
}

}  // namespace modsim
