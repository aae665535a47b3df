// Path planning throughput: elements per second of typical CAM segments
// (a wavy contour cut into segments of 0.05 to 0.5 mm) through the planner
// into a stream that only counts the points, and through the module model
// as the time estimate runs it; and `quorvane-cli plan`'s work on a
// 1,000,000-line program (interpreter, planner and model).
#include <benchmark/benchmark.h>

#include "benchfiles.h"

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "interpreter/messagelist.h"
#include "machine/machinestate.h"
#include "machine/statechange.h"
#include "motion/motionstream.h"
#include "motion/pathplanner.h"
#include "motion/planestimate.h"
#include "simulation/programplan.h"

namespace {

// The contour r = 30 + 8 sin(5 t) round (100, 100), in segments of about
// `segment` mm.
std::vector<Coordinates> Contour(double segment, size_t count) {
  std::vector<Coordinates> points;
  points.reserve(count);
  double t = 0;
  auto at = [](double u) {
    const double r = 30 + 8 * std::sin(5 * u);
    return Coordinates(100 + r * std::cos(u), 100 + r * std::sin(u), -1);
  };
  Coordinates p = at(0);
  while (points.size() < count) {
    const Coordinates probe = at(t + 1e-4);
    const double d = std::hypot(probe.v[0] - p.v[0], probe.v[1] - p.v[1]);
    t += 1e-4 * segment / d;
    p = at(t);
    points.push_back(p);
  }
  return points;
}

class CountingStream : public MotionStream {
 public:
  void SetAcceleration(double, double, double, double) override {}
  void SetVelocity(double) override {}
  void SetFeedOverride(double) override {}
  void NextPosition(const Coordinates& p, int) override {
    ++points;
    benchmark::DoNotOptimize(p);
  }
  void Trace(StateChangeList& changes, int32_t, double) override { changes.DisposeAll(); }
  void WaitStandstill() override {}
  void Delay(double, uint32_t) override {}
  Coordinates ActualPosition() override { return Coordinates(); }
  int16_t RefNum() const override { return static_cast<int16_t>(points); }
  long points = 0;
};

// Arg 0: segment length in µm; arg 1: 1 = through the module model.
void BM_PlanCamSegments(benchmark::State& state) {
  constexpr size_t kElements = 200000;
  const double segment = static_cast<double>(state.range(0)) / 1000.0;
  const std::vector<Coordinates> contour = Contour(segment, kElements);
  const bool model = state.range(1) != 0;
  MachineState planState(simState, ".bench");
  planState.SetSoftLimitsEnabled(false);
  long points = 0;
  for (auto _ : state) {
    CountingStream counting;
    ModelStream modelled;
    MotionStream& out = model ? static_cast<MotionStream&>(modelled) : counting;
    PathPlanner planner(out);
    planner.SetMachineState(&planState);
    modelled.Reset(contour.front());
    planner.Start(contour.front());
    for (const Coordinates& p : contour) planner.AddLine(p, 50, false, nullptr, false);  // F3000
    planner.EndProgram();
    points = model ? static_cast<long>(modelled.Points()) : counting.points;
    if (model) state.counters["planned s"] = modelled.Seconds();
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kElements));
  state.counters["points"] = static_cast<double>(points);
}
BENCHMARK(BM_PlanCamSegments)
    ->Args({50, 0})
    ->Args({100, 0})
    ->Args({500, 0})
    ->Args({50, 1})
    ->Args({100, 1})
    ->Unit(benchmark::kMillisecond);

class NullList : public MessageList {
 public:
  void Post(const std::string&) override {}
  void Clear() override {}
};

// A 1,000,000-line program of 0.1 mm segments at F3000, as `plan` runs it.
void BM_PlanProgramMillionLines(benchmark::State& state) {
  static const std::string path = [] {
    std::string p;
    std::FILE* f = benchfiles::Create("plan.nc", p);
    const std::vector<Coordinates> contour = Contour(0.1, 1000000 - 6);
    std::fprintf(f, "%%\nG21 G90 G64\nG0 X%.4f Y%.4f\nG1 Z-1 F600\nF3000\n", contour[0].v[0], contour[0].v[1]);
    for (const Coordinates& c : contour) std::fprintf(f, "G1 X%.4f Y%.4f\n", c.v[0], c.v[1]);
    std::fputs("M30\n", f);
    std::fclose(f);
    return p;
  }();
  NullList list;
  MessageList* previous = SetMessageList(&list);
  for (auto _ : state) {
    const ProgramPlan plan = PlanProgram(path, actState);
    if (!plan.loaded || plan.errorCode) state.SkipWithError(plan.errorText.c_str());
    state.counters["planned s"] = plan.summary.plannedSeconds;
    state.counters["feed-only s"] = plan.summary.feedSeconds;
  }
  SetMessageList(previous);
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * 1000000));
}
BENCHMARK(BM_PlanProgramMillionLines)->Iterations(2)->Unit(benchmark::kMillisecond);

}  // namespace
