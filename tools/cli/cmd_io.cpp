// quorvane-cli io [--params DIR] [--watch] [--set SIGNAL=0|1]...
//
// Opens the modules of the mapping table and lists every mapped signal with
// its module, pin and state: the tool an integrator checks the wiring with,
// switch by switch. With --watch every input change is printed with its time
// until Ctrl-C. --set switches an output, only while no program runs on the
// main module. Outputs are switched off when the modules are opened and
// again at the end, so nothing the tool switched stays on without it.
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/folders.h"
#include "base/logging.h"
#include "command.h"
#include "driver/src/linkframe.h"
#include "driver/src/quorvdriver.h"
#include "driver/src/quorvinternal.h"
#include "io/iomapping.h"
#include "io/modulecontrol.h"
#include "params/parafile.h"

namespace {

const char* const kUsage = "[--params DIR] [--watch] [--set SIGNAL=0|1]...";

volatile sig_atomic_t g_stop = 0;
void OnStop(int) { g_stop = 1; }

int UsageError(const std::string& why) {
  std::fprintf(stderr, "quorvane-cli io: %s\nusage: quorvane-cli io %s\n", why.c_str(), kUsage);
  return 2;
}

int Fail(const std::string& why) {
  std::fprintf(stderr, "quorvane-cli io: %s\n", why.c_str());
  return 1;
}

struct SetRequest {
  int signal;
  bool on;
};

// "in\t1\temergency stop\tKorrin Quorvane #56000001\tLpt1 pin11\t0"
std::string SignalLine(const IoMapping& mapping, bool input, int signal, int32_t pin, bool state) {
  std::string module = "-", pinName = mapping.PinText(pin);
  int local = 0;
  if (const IoModule* m = mapping.ModuleOfPin(pin, &local)) {
    module = m->name;
    pinName = m->PinName(local);
  } else if (IsRegisterPin(pin)) {
    module = "network";
  }
  const Signal* s = input ? static_cast<const Signal*>(mapping.Input(signal)) : mapping.Output(signal);
  return std::string(input ? "in" : "out") + "\t" + std::to_string(signal) + "\t" + (s ? s->name : "") + "\t" +
         module + "\t" + pinName + "\t" + (state ? "1" : "0");
}

std::string Now() {
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::system_clock::now().time_since_epoch())
                      .count();
  return FormatLogLine(ms, "").substr(0, 12);
}

int RunIo(const std::vector<std::string>& args) {
  std::string params = Folders::Parameters();
  bool watch = false;
  std::vector<SetRequest> sets;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--params" && i + 1 < args.size()) {
      params = args[++i];
    } else if (a == "--watch") {
      watch = true;
    } else if (a == "--set" && i + 1 < args.size()) {
      const std::string& v = args[++i];
      const size_t eq = v.find('=');
      const std::string number = eq == std::string::npos ? "" : v.substr(0, eq);
      char* end = nullptr;
      const long signal = number.empty() ? -1 : std::strtol(number.c_str(), &end, 10);
      const std::string state = eq == std::string::npos ? "" : v.substr(eq + 1);
      if (signal < 0 || signal >= kSignalCount || (end && *end) || (state != "0" && state != "1"))
        return UsageError("--set takes SIGNAL=0 or SIGNAL=1 with an output signal 0..2047, not " + v);
      sets.push_back({static_cast<int>(signal), state == "1"});
    } else {
      return UsageError("unknown argument " + a);
    }
  }
  // The tool's own lines would only clutter the listing.
  SetLogMask(0);
  SetLogLevel(0);

  ParaFile table(ParaFile::MODE_SECTIONS);
  const std::string path = Folders::Join(params, "MappingTable.txt");
  if (!table.OpenExisting(path)) return Fail("cannot read " + path);
  int machineType = 0;
  {
    ParaFile parameters(ParaFile::MODE_SECTIONS);
    if (parameters.OpenExisting(Folders::Join(params, "ParameterTable.txt"))) parameters.GetInt("MachineType", machineType);
  }
  // The driver outlives the mapping: a module still open at the end is
  // closed through it.
  std::unique_ptr<QuorvDriver> driverOwner;
  IoMapping mapping;
  if (mapping.ReadModuleList(table) == 0) return Fail("no modules (moduleNum, moduleAdr_NN) in " + path);

  driverOwner = std::make_unique<QuorvDriver>();
  QuorvDriver& driver = *driverOwner;
  QuorvErrorRecord error{};
  if (driver.Internal()->error.Number() < 0 && driver.GetError(0, &error, sizeof error)) return Fail(error.text);
  ModuleControl control(mapping, &driver);
  control.SetMachineType(machineType);
  std::fprintf(stderr, "opening %zu module%s\n", mapping.ModuleCount(), mapping.ModuleCount() == 1 ? "" : "s");
  const int result = control.CheckModulesOpen();
  for (size_t i = 0; i < mapping.ModuleCount(); ++i) {
    const IoModule* m = mapping.Module(i);
    char mac[18];
    std::fprintf(stderr, "module %zu %s: %s\n", i + 1, linkframe::MacText(m->mac, mac),
                 m->IsOpen() ? m->name.c_str() : "not opened");
  }
  if (!control.FirmwareProblem().empty()) std::fprintf(stderr, "%s\n", control.FirmwareProblem().c_str());
  if (!control.MainModule() || !control.MainModule()->IsOpen()) return Fail("the main module could not be opened");
  if (result <= MODEL_OBSOLETE) std::fprintf(stderr, "quorvane-cli io: not every module is usable (result %d)\n", result);

  const MappingReadReport report = mapping.ReadMapping(table);
  for (const std::string& s : report.skipped) std::fprintf(stderr, "skipped %s\n", s.c_str());
  control.AllOutputsOff(true);

  const uint32_t mainKey = control.MainModule()->moduleKey;
  int rc = 0;
  if (!sets.empty()) {
    // Commands of the switch-off just sent may still wait in the buffer for
    // a moment; a running program keeps it filled.
    int level = 0, status = 0;
    bool answered = false;
    for (int i = 0; i < 50; ++i) {
      driver.Synchronize(mainKey, true);
      answered = driver.ReadStatus(mainKey, &level, &status);
      if (answered && level == 0 && (status & 0x01) == 0) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (!answered) {
      rc = Fail("no status from the main module");
    } else if (level != 0 || (status & 0x01) != 0) {
      rc = Fail("a program is running on the main module (buffer " + std::to_string(level) +
                "): outputs are not switched");
    } else {
      for (const SetRequest& r : sets) {
        if (!mapping.OutputMapped(r.signal)) {
          rc = Fail("output " + std::to_string(r.signal) + " has no pin");
          continue;
        }
        control.SetOutput(r.signal, r.on, true);
      }
    }
  }

  control.PollInputs(true);
  for (size_t i = 0; i < mapping.ModuleCount(); ++i)
    if (mapping.Module(i)->IsOpen()) driver.Synchronize(mapping.Module(i)->moduleKey, true);
  control.PollInputs(false);
  int inputs = 0, outputs = 0;
  for (int s = 0; s < kSignalCount; ++s) {
    if (const InputSignal* in = mapping.Input(s); in && in->pin != 0) {
      std::printf("%s\n", SignalLine(mapping, true, s, in->pin, mapping.InputActive(s)).c_str());
      ++inputs;
    }
  }
  for (int s = 0; s < kSignalCount; ++s) {
    const OutputSignal* o = mapping.Output(s);
    if (!o) continue;
    for (int k = 0; k < o->PinCount(); ++k) {
      std::printf("%s\n", SignalLine(mapping, false, s, o->pins[k], o->state).c_str());
      ++outputs;
    }
  }
  size_t open = 0;
  for (size_t i = 0; i < mapping.ModuleCount(); ++i) open += mapping.Module(i)->IsOpen();
  std::printf("%d input%s, %d output pin%s on %zu module%s\n", inputs, inputs == 1 ? "" : "s", outputs,
              outputs == 1 ? "" : "s", open, open == 1 ? "" : "s");
  std::fflush(stdout);

  if (watch && rc == 0) {
    struct sigaction sa {};
    sa.sa_handler = OnStop;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    std::fprintf(stderr, "watching %d input%s, Ctrl-C ends\n", inputs, inputs == 1 ? "" : "s");
    std::vector<int> last(kSignalCount, -1);
    for (int s = 0; s < kSignalCount; ++s)
      if (mapping.InputMapped(s)) last[static_cast<size_t>(s)] = mapping.InputActive(s);
    while (!g_stop) {
      if (!control.PollInputs(true)) {
        rc = Fail("the connection to a module is lost");
        break;
      }
      for (int s = 0; s < kSignalCount; ++s) {
        if (last[static_cast<size_t>(s)] < 0) continue;
        const int now = mapping.InputActive(s);
        if (now == last[static_cast<size_t>(s)]) continue;
        last[static_cast<size_t>(s)] = now;
        std::printf("%s\t%s\n", Now().c_str(),
                    SignalLine(mapping, true, s, mapping.Input(s)->pin, now != 0).c_str());
        std::fflush(stdout);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  control.AllOutputsOff(true);
  for (size_t i = 0; i < mapping.ModuleCount(); ++i)
    if (mapping.Module(i)->IsOpen()) driver.Synchronize(mapping.Module(i)->moduleKey, true);
  control.CloseModules();
  mapping.RemoveAllModules();
  return rc;
}

const CliRegistrar kRegister({"io", kUsage,
                              "open the mapping's modules and list (or watch) every mapped signal; switch outputs",
                              RunIo});

}  // namespace
