// Interpreter throughput: lines per second of a long realistic program
// (pockets of lines and arcs with feeds, spindle and coolant changes)
// against a front end that discards everything: as the simulation (kind 1)
// and as a view (kind 0, every end point range-checked and counted).
#include <benchmark/benchmark.h>

#include "benchfiles.h"

#include <cstdio>
#include <string>

#include <unistd.h>

#include "interpreter/gcodeparser.h"
#include "machine/machinestate.h"
#include "interpreter/messagelist.h"

namespace {

constexpr int kLoops = 200000;  // five lines each: a 1,000,000-line program

class NullFrontEnd : public FrontEnd {
 public:
  explicit NullFrontEnd(int32_t kind) : kind(kind) {}
  void AddLine(const Coordinates&, double, bool, const Condition*, bool) override {}
  void AddArc(const Coordinates&, const double*, double, int32_t, bool) override {}
  void AddCmd(const StateChange&) override {}
  int32_t GetBackEndKind() override { return kind; }
  int32_t kind;
};

class NullList : public MessageList {
 public:
  void Post(const std::string&) override {}
  void Clear() override {}
};

const std::string& ProgramFile() {
  static const std::string path = [] {
    std::string p;
    std::FILE* f = benchfiles::Create("interp.nc", p);
    std::fputs("%\nG21 G90 G17 G54\nF1200\n", f);
    for (int i = 0; i < kLoops; ++i) {
      const double x = (i % 200) * 2.0 + 10, y = (i % 150) * 2.0 + 10, z = -2 - (i % 5) * 0.5;
      std::fprintf(f, "N%d G0 X%.3f Y%.3f Z-1\n", i * 10, x, y);
      std::fprintf(f, "G1 Z%.3f F300 (plunge)\n", z);
      std::fprintf(f, "G1 X%.3f Y%.3f F1200\n", x + 20, y);
      std::fprintf(f, "G3 X%.3f Y%.3f I0 J5\n", x + 20, y + 10);
      std::fprintf(f, "G2 X%.3f Y%.3f R10\n", x, y + 10);
    }
    std::fputs("M30\n", f);
    std::fclose(f);
    return p;
  }();
  return path;
}

void BM_InterpretProgram(benchmark::State& state) {
  NullList list;
  MessageList* previous = SetMessageList(&list);
  NullFrontEnd front(static_cast<int32_t>(state.range(0)));
  for (auto _ : state) {
    GCodeParser parser(&front, &actState);
    parser.NewMainFile(ProgramFile());
    const int32_t rs = parser.ExecuteProgram(false, 0);
    if (rs != RUN_M30) state.SkipWithError(parser.ErrorReportText().c_str());
  }
  SetMessageList(previous);
  state.SetItemsProcessed(state.iterations() * (kLoops * 5 + 4));
  state.counters["lines/s"] =
      benchmark::Counter(static_cast<double>(kLoops * 5 + 4), benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_InterpretProgram)->Arg(BACKEND_SIMULATION)->Arg(BACKEND_NONE)->Unit(benchmark::kMillisecond);

}  // namespace
