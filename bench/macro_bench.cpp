// Macro language throughput: executed lines per second of a REPEAT loop with
// IF blocks, assignments and moves, lines per second of a loop that calls a
// label in a library file each pass, and the PRINT number form.
#include <benchmark/benchmark.h>

#include "benchfiles.h"

#include <cstdio>
#include <string>
#include <vector>

#include <unistd.h>

#include "machine/machinestate.h"
#include "interpreter/macroparser.h"
#include "interpreter/messagelist.h"

namespace {

constexpr int kPasses = 20000;

class NullFrontEnd : public FrontEnd {
 public:
  void AddLine(const Coordinates&, double, bool, const Condition*, bool) override {}
  void AddArc(const Coordinates&, const double*, double, int32_t, bool) override {}
  void AddCmd(const StateChange&) override {}
  int32_t GetBackEndKind() override { return BACKEND_NONE; }
};

class NullList : public MessageList {
 public:
  void Post(const std::string&) override {}
  void Clear() override {}
};

std::string WriteTemp(const std::string& name, const std::string& text) {
  std::string p;
  std::FILE* f = benchfiles::Create("macro_" + name, p);
  std::fputs(text.c_str(), f);
  std::fclose(f);
  return p;
}

// Eleven lines per pass: the body of the loop up to and with NEXT.
const char* kLoopBody =
    "#1=#1+1\n#2=#1&63*0.5\nIF #1&1 THEN\nG1 X=#2 Y0 Z-1 F1200\nELSE\nG1 X=#2 Y5 Z-1\nENDIF\n"
    "IF #2>30 THEN\n#3=#3+1\nENDIF\nNEXT\n";

void RunProgram(benchmark::State& state, const std::string& path) {
  NullList list;
  MessageList* previous = SetMessageList(&list);
  NullFrontEnd front;
  for (auto _ : state) {
    MacroParser parser(&front, &actState);
    parser.NewMainFile(path);
    const int32_t rs = parser.ExecuteProgram(false, 0);
    if (rs != RUN_M30) state.SkipWithError(parser.ErrorReportText().c_str());
  }
  SetMessageList(previous);
}

void BM_MacroLoop(benchmark::State& state) {
  static const std::string path =
      WriteTemp("loop.nc", "%\n#1=0\nREPEAT=" + std::to_string(kPasses) + "\n" + kLoopBody + "M30\n");
  RunProgram(state, path);
  state.counters["lines/s"] =
      benchmark::Counter(static_cast<double>(kPasses) * 11, benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_MacroLoop)->Unit(benchmark::kMillisecond);

void BM_CallLabelEachPass(benchmark::State& state) {
  static const std::string lib =
      WriteTemp("lib.txt", "%\nM99\nfirst\nG0 X1\nM99\nhole\nG1 Z=#1 F300\nG0 Z0\nM99\n");
  static const std::string path = WriteTemp(
      "call.nc", "%\n#1=-2\nREPEAT=" + std::to_string(kPasses / 10) + "\nCALL \"hole@" + lib + "\"\nNEXT\nM30\n");
  RunProgram(state, path);
  state.counters["calls/s"] =
      benchmark::Counter(static_cast<double>(kPasses / 10), benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_CallLabelEachPass)->Unit(benchmark::kMillisecond);

void BM_PrintNumber(benchmark::State& state) {
  double v = -12345.678901;
  size_t n = 0;
  for (auto _ : state) {
    n += MacroParser::FormatNumber(v, 3).size();
    v += 0.37;
  }
  benchmark::DoNotOptimize(n);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PrintNumber);

}  // namespace
