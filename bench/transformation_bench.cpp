// Cost of one program/machine conversion: the planners convert every segment
// end, the simulation every 10 ms tick.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "machine/surfacemapping.h"
#include "machine/transformation.h"

namespace {

std::vector<Coordinates> Points() {
  std::mt19937 rng(1);
  std::uniform_real_distribution<double> pos(-50, 250);
  std::vector<Coordinates> pts(1024);
  for (Coordinates& p : pts) p = Coordinates(pos(rng), pos(rng), pos(rng), pos(rng));
  return pts;
}

// A working copy on a rotated configured system, scaled on its own, with or
// without the height map (a 20 x 20 probe grid over 200 x 200 mm).
struct Setup {
  Transformation configured{1};
  Transformation work{7};
  std::vector<Coordinates> pts = Points();

  explicit Setup(bool mapped) {
    SurfaceMapping& map = GetSurfaceMapping();
    map.Enable(false);
    map.SetBoundaries(0, 0, 200, 200, 20, 20);
    for (int iy = 0; iy < 20; ++iy)
      for (int ix = 0; ix < 20; ++ix) map.SetValue(ix, iy, 0.01 * ((ix * 7 + iy * 3) % 11));
    configured.SetOffset(Coordinates(100, 50, -20));
    configured.SetRotation(2, 12.5, Vector3(10, 10, 0));
    work.SetBase(&configured);
    work.SetScaling(1.1, 1.1, 1.0, Vector3());
    work.SetMapping(mapped);
  }
  ~Setup() { work.SetMapping(false); }
};

void BM_ToMachine(benchmark::State& state) {
  Setup s(state.range(0) != 0);
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(s.work.ToMachine(s.pts[i++ & 1023]));
  }
  state.SetLabel(state.range(0) ? "surface map" : "no map");
}
BENCHMARK(BM_ToMachine)->Arg(0)->Arg(1);

void BM_ToProgram(benchmark::State& state) {
  Setup s(state.range(0) != 0);
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(s.work.ToProgram(s.pts[i++ & 1023]));
  }
  state.SetLabel(state.range(0) ? "surface map" : "no map");
}
BENCHMARK(BM_ToProgram)->Arg(0)->Arg(1);

void BM_SurfaceOffset(benchmark::State& state) {
  Setup s(true);
  size_t i = 0;
  for (auto _ : state) {
    const Coordinates& p = s.pts[i++ & 1023];
    benchmark::DoNotOptimize(GetSurfaceMapping().GetOffset(p.v[0], p.v[1]));
  }
}
BENCHMARK(BM_SurfaceOffset);

// Recomputing after a program changes a step (G68 / G51 in a loop).
void BM_SetRotation(benchmark::State& state) {
  Setup s(false);
  double a = 0;
  for (auto _ : state) {
    s.work.SetRotation(2, a, Vector3(1, 2, 0));
    a += 0.5;
  }
}
BENCHMARK(BM_SetRotation);

void BM_EnableSurfaceMap(benchmark::State& state) {
  SurfaceMapping map;
  const int n = static_cast<int>(state.range(0));
  for (auto _ : state) {
    map.SetBoundaries(0, 0, 200, 200, n, n);
    for (int iy = 0; iy < n; ++iy)
      for (int ix = 0; ix < n; ++ix) map.SetValue(ix, iy, 0.001 * ix * iy);
    benchmark::DoNotOptimize(map.Enable(true));
  }
}
BENCHMARK(BM_EnableSurfaceMap)->Arg(10)->Arg(50);

}  // namespace
