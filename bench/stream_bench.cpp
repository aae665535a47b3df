// The position stream at real time on the veth lab, against a soft module
// executing it as a path controller: CPU of the controller process while it
// streams (target: under 3 % of one core), and what the module saw of the
// stream (time between the arrivals of points, the least path buffered
// ahead, underruns).
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "base/folders.h"
#include "common/netlab.h"
#include "interpreter/macroparser.h"
#include "machine/machineconfig.h"
#include "machine/machinestate.h"
#include "params/parafile.h"
#include "realmachine/hardwaremachine.h"

namespace {

double CpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1e-6;
}

// A spiral of 0.1 mm chords at 6000 mm/min: 100 mm/s of dense CAM path.
std::string DenseProgram(int chords) {
  std::ostringstream prog;
  prog << "%\nG90 G0 X60 Y50 Z-5\nG1 Z-6 F600\nF6000\n";
  double angle = 0;
  for (int k = 0; k < chords; ++k) {
    const double radius = 10 + 5 * angle / 25.0;
    angle += 0.1 / radius;
    char line[64];
    std::snprintf(line, sizeof line, "G1 X%.4f Y%.4f\n", 50 + radius * std::cos(angle), 50 + radius * std::sin(angle));
    prog << line;
  }
  prog << "G0 Z-1\nM30\n";
  return prog.str();
}

// The figures of the module's "motion" record lines: the largest gap
// between arrivals, the least path ahead and the underruns, over all.
struct StreamFigures {
  double gapMaxMs = 0, gapMeanMs = 0, aheadMinMs = -1;
  long underruns = 0;
};
StreamFigures ReadFigures(const std::string& record) {
  StreamFigures f;
  double gapSum = 0;
  long frames = 0;
  for (const auto& l : netlab::ReadRecord(record)) {
    if (l.kind != "EVT" || l.text.rfind("motion ", 0) != 0) continue;
    long points = 0, n = 0, under = 0;
    double mean = 0, max = 0, ahead = 0;
    if (std::sscanf(l.text.c_str(), "motion points=%ld frames=%ld gap mean=%lf ms max=%lf ms ahead min=%lf ms underruns=%ld",
                    &points, &n, &mean, &max, &ahead, &under) != 6)
      continue;
    gapSum += mean * static_cast<double>(n);
    frames += n;
    f.gapMaxMs = std::max(f.gapMaxMs, max);
    if (ahead >= 0 && (f.aheadMinMs < 0 || ahead < f.aheadMinMs)) f.aheadMinMs = ahead;
    f.underruns += under;
  }
  f.gapMeanMs = frames ? gapSum / static_cast<double>(frames) : 0;
  return f;
}

void BM_StreamAtRealTime(benchmark::State& state) {
  char tmpl[] = "/tmp/quorvane-stream-bench-XXXXXX";
  const char* dir = mkdtemp(tmpl);
  if (!dir) return state.SkipWithError("no temporary folder");
  for (const char* sub : {"/params", "/macros", "/logs"}) std::filesystem::create_directories(std::string(dir) + sub);
  Folders::SetParameters(std::string(dir) + "/params");
  Folders::SetMacros(std::string(dir) + "/macros");
  Folders::SetLogs(std::string(dir) + "/logs");
  OpenParameterFiles();
  LoadMachineConfig();
  const std::string record = std::string(dir) + "/module.rec";
  const std::string file = std::string(dir) + "/dense.nc";
  {
    std::FILE* f = std::fopen(file.c_str(), "w");
    const std::string text = DenseProgram(static_cast<int>(state.range(0)));
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
  }
  for (auto _ : state) {
    std::unique_ptr<netlab::Lab> lab;
    try {
      lab = std::make_unique<netlab::Lab>();
    } catch (const std::exception& e) {
      state.SkipWithError(e.what());
      break;
    }
    auto sim = std::make_unique<netlab::ModSim>(
        *lab, std::vector<std::string>{"--mac", netlab::ModuleMacText(1), "--model", "Korrin", "--path", "--record",
                                       record});
    auto hardware = std::make_unique<HardwareMachine>();
    std::string reason;
    if (!hardware->Open(reason)) {
      state.SkipWithError(reason.c_str());
      break;
    }
    RealMachine& machine = hardware->Machine();
    machine.StartWorker();
    MacroParser parser(&machine, &actState);
    parser.NewMainFile(file);
    machine.SetParser(&parser);
    const double cpu0 = CpuSeconds();
    const auto t0 = std::chrono::steady_clock::now();
    machine.RunProgram();
    while (machine.RunsFinished() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const double cpu = CpuSeconds() - cpu0;
    machine.SetParser(nullptr);
    if (machine.LastErrorCode() != 0) state.SkipWithError(machine.LastErrorText().c_str());
    state.SetIterationTime(wall);
    state.counters["cpu_percent"] = 100.0 * cpu / wall;
    state.counters["points_per_s"] = static_cast<double>(machine.Stream().PointsSent()) / wall;
    hardware.reset();
    sim.reset();  // the record is complete
    const StreamFigures f = ReadFigures(record);
    state.counters["gap_mean_ms"] = f.gapMeanMs;
    state.counters["gap_max_ms"] = f.gapMaxMs;
    state.counters["ahead_min_ms"] = f.aheadMinMs;
    state.counters["underruns"] = static_cast<double>(f.underruns);
  }
  ResetParameterFilesForTest();
  std::filesystem::remove_all(dir);
}
// 3000 chords: about 3 s of motion at 100 mm/s.
BENCHMARK(BM_StreamAtRealTime)->Arg(3000)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

}  // namespace
