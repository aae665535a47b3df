// Adapting a 1,000,000-line CAM program into our dialect: a program with
// something to change on nearly every line, and the same program once it
// has been adapted (nothing left to do).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>

#include "interpreter/programadapter.h"

namespace {

constexpr int kLines = 1000000;

// The habits of several post-processors at once: no '%', a nested tool-list
// comment, G91.1 in the header, ';' comments, blanks after letters, lower
// case, F0 on rapids, axis-only lines after a dwell and after G28.
const std::string& CamProgram() {
  static const std::string text = [] {
    std::string s = "(T1 D=4.5 (R)) ; drill\nG90 G94 G91.1 G40 G49 G17\nM3 S12000\n";
    char line[4096];
    for (int i = 3; i < kLines; i += 10) {
      const double x = (i % 5000) * 0.125, y = (i % 777) * 0.5;
      std::snprintf(line, sizeof line,
                    "G0 X%.3f Y%.3f Z5. F0.000000 ; rapid\n"
                    "G1 Z-1.500 F300.\n"
                    "X%.3f Y %.3f F1200.\n"
                    "g1 x%.3f y%.3f\n"
                    "X%.3f Y%.3f\n"
                    "G4 P0.5\n"
                    "X%.3f Y%.3f\n"
                    "G28 Z0.\n"
                    "X%.3f\n"
                    "G0 Z5. (retract)\n",
                    x, y, x + 1, y, x + 2, y + 1, x + 3, y + 2, x + 4, y + 3, x + 5);
      s += line;
    }
    s += "M30\n";
    return s;
  }();
  return text;
}

void Run(benchmark::State& state, const std::string& program, bool expectChanges) {
  ProgramAdapter adapter;
  std::string out;
  for (auto _ : state) {
    const AdaptReport report = adapter.Adapt(program, out);
    if (report.Refused() || report.Changed() != expectChanges) state.SkipWithError("unexpected result");
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(program.size()));
  state.counters["lines/s"] = benchmark::Counter(static_cast<double>(state.iterations()) * kLines,
                                                 benchmark::Counter::kIsRate);
}

void BM_AdaptCamProgram(benchmark::State& state) { Run(state, CamProgram(), true); }
BENCHMARK(BM_AdaptCamProgram)->Unit(benchmark::kMillisecond);

void BM_AdaptAdaptedProgram(benchmark::State& state) {
  static const std::string adapted = [] {
    std::string out;
    ProgramAdapter().Adapt(CamProgram(), out);
    return out;
  }();
  Run(state, adapted, false);
}
BENCHMARK(BM_AdaptAdaptedProgram)->Unit(benchmark::kMillisecond);

}  // namespace
