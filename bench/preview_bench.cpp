// Building the preview of a 1,000,000-line program (interpreter with the
// macro language, plus recording), the memory the recording holds per
// segment, and the cost of selecting one line's segments in it.
//
// The program is what CAM writes for 3D finishing: a raster of short feed
// moves with a retract every 1000 lines; the second variant turns every
// tenth move into a quarter circle of radius 2 mm (8 chords each at the
// default chord tolerance).
#include <benchmark/benchmark.h>

#include "benchfiles.h"

#include <cmath>
#include <cstdio>
#include <string>

#include "base/folders.h"
#include "interpreter/gcodeparser.h"
#include "interpreter/messagelist.h"
#include "machine/machineconfig.h"
#include "preview/previewbuilder.h"

namespace {

constexpr int kLines = 1000000;

// A machine large enough for the program, soft limits checked.
void Setup() {
  Folders::SetMacros("/tmp/quorvane_bench_no_macros");
  for (int i = 0; i < 3; ++i) {
    GetMachineConfig().axis[i].minPosition = -1000;
    GetMachineConfig().axis[i].maxPosition = 1000;
  }
}

class NullList : public MessageList {
 public:
  void Post(const std::string&) override {}
  void Clear() override {}
};

const std::string& ProgramFile(bool arcs) {
  static std::string paths[2];
  std::string& p = paths[arcs ? 1 : 0];
  if (!p.empty()) return p;
  std::FILE* f = benchfiles::Create(arcs ? "preview_arcs.nc" : "preview_lines.nc", p);
  std::fputs("%\nG21 G90 G17\nF2000\n", f);
  int written = 3;
  double x = 0, y = 0;
  for (int i = 0; written < kLines - 1; ++i) {
    if (i % 1000 == 0) {
      y = (i / 1000) * 0.2;
      x = 0;
      std::fprintf(f, "G0 Z5\nG0 X0 Y%.3f\nG1 Z0 F500\nF2000\n", y);
      written += 4;
      continue;
    }
    const double z = -1 - 0.5 * std::sin(x * 0.05) * std::cos(y * 0.07);
    if (arcs && i % 10 == 0) {
      // A quarter circle of radius 2 ahead and to the side, then back.
      std::fprintf(f, "G3 X%.3f Y%.3f R2\n", x + 2, (i % 20 == 0) ? y + 2 : y - 2);
      y += (i % 20 == 0) ? 2 : -2;
      x += 2;
    } else {
      x += 0.25;
      std::fprintf(f, "G1 X%.3f Y%.3f Z%.4f\n", x, y, z);
    }
    ++written;
  }
  std::fputs("M30\n", f);
  std::fclose(f);
  return p;
}

void BM_BuildPreview(benchmark::State& state) {
  const bool arcs = state.range(0) != 0;
  const std::string& file = ProgramFile(arcs);
  Setup();
  NullList list;
  MessageList* previous = SetMessageList(&list);
  size_t segments = 0, bytes = 0;
  for (auto _ : state) {
    PreviewBuild build(file);
    const PreviewResult& r = build.Run();
    if (r.runState != RUN_M30) state.SkipWithError(r.errorReport.c_str());
    const auto path = build.Path();
    segments = path->Moves().Size() + path->Programmed().Size();
    bytes = path->MemoryBytes();
  }
  SetMessageList(previous);
  state.counters["lines/s"] = benchmark::Counter(double(kLines), benchmark::Counter::kIsIterationInvariantRate);
  state.counters["segments"] = double(segments);
  state.counters["bytes/segment"] = double(bytes) / double(segments);
}
BENCHMARK(BM_BuildPreview)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->MinTime(2.0);

// Selecting a line in the view: every segment of the program is looked at.
void BM_SegmentsOfLine(benchmark::State& state) {
  Setup();
  NullList list;
  MessageList* previous = SetMessageList(&list);
  PreviewBuild build(ProgramFile(true));
  build.Run();
  SetMessageList(previous);
  const auto path = build.Path();
  int32_t tag = 1;
  for (auto _ : state) {
    benchmark::DoNotOptimize(ToolPath::SegmentsOfLine(path->Moves(), tag));
    tag = tag * 7 % kLines + 1;
  }
  state.counters["segments"] = double(path->Moves().Size());
}
BENCHMARK(BM_SegmentsOfLine)->Unit(benchmark::kMillisecond);

}  // namespace
