// Cost of one state change on its way through the back end: taken from the
// pool, linked to the motion, executed when the machine passes it, returned.
#include <benchmark/benchmark.h>

#include "machine/machinestate.h"
#include "machine/statechange.h"

namespace {

// One record per iteration: Copy + Add + ExecuteAll + Dispose.
void BM_StateChangeRoundTrip(benchmark::State& st) {
  StateChange::Init();
  MachineState target("Bench");
  StateChangeList list;
  StateChange rec('M', 7);
  for (auto _ : st) {
    list.Add(StateChange::Copy(rec));
    benchmark::DoNotOptimize(list.ExecuteAll(target));
  }
  st.SetItemsProcessed(st.iterations());
}
BENCHMARK(BM_StateChangeRoundTrip);

// A motion segment typically carries a few changes: a batch of n records
// collected in a pending list, transferred to the trace entry, executed.
void BM_StateChangeBatch(benchmark::State& st) {
  StateChange::Init();
  MachineState target("Bench");
  StateChangeList pending, entry;
  const int n = static_cast<int>(st.range(0));
  StateChange recs[3] = {StateChange('M', 3), StateChange('S', -1), StateChange('#', 500)};
  recs[1].arg = 12000;
  recs[2].arg = 2.5;
  for (auto _ : st) {
    for (int i = 0; i < n; ++i) pending.Add(StateChange::Copy(recs[i % 3]));
    entry.Transfer(pending);
    benchmark::DoNotOptimize(entry.ExecuteAll(target));
  }
  st.SetItemsProcessed(st.iterations() * n);
}
BENCHMARK(BM_StateChangeBatch)->Arg(1)->Arg(8)->Arg(64);

// Applying a record without a list (preview, simulation, fast-forward).
void BM_ExecuteStateChangeOnly(benchmark::State& st) {
  MachineState target("Bench");
  StateChange rec('M', 8);
  for (auto _ : st) ExecuteStateChange(target, rec);
  st.SetItemsProcessed(st.iterations());
}
BENCHMARK(BM_ExecuteStateChangeOnly);

}  // namespace
