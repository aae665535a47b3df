// Simulated seconds per wall-clock second when the simulation runs as fast
// as possible (clock speed 0): the cost of one 10 ms tick of stepping.
#include <benchmark/benchmark.h>

#include "machine/machinestate.h"
#include "simulation/simulation.h"

namespace {

// Feed moves back and forth along X: 100 mm at 10 mm/s is 10 s (1000 ticks).
void BM_SimulationLines(benchmark::State& state) {
  SimClock clock(0);
  Simulation sim(nullptr, &clock);
  sim.SetSimPosition({100, 100, -10});
  simState.progPos = {100, 100, -10};
  bool forward = true;
  for (auto _ : state) {
    sim.AddLine({forward ? 200.0 : 100.0, 100, -10}, 10, false, nullptr, false);
    forward = !forward;
  }
  state.counters["sim_s_per_wall_s"] = benchmark::Counter(clock.SimulatedSeconds(), benchmark::Counter::kIsRate);
  state.counters["ticks_per_s"] = benchmark::Counter(static_cast<double>(clock.Ticks()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_SimulationLines);

// Full circles of radius 20 at 10 mm/s (about 12.6 s each).
void BM_SimulationArcs(benchmark::State& state) {
  SimClock clock(0);
  Simulation sim(nullptr, &clock);
  sim.SetSimPosition({150, 100, -10});
  simState.progPos = {150, 100, -10};
  const double centre[3] = {130, 100, -10};
  for (auto _ : state) sim.AddArc({150, 100, -10}, centre, 10, 2, false);
  state.counters["sim_s_per_wall_s"] = benchmark::Counter(clock.SimulatedSeconds(), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_SimulationArcs);

}  // namespace
