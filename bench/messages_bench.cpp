// Latency of the operator interface's command rendezvous: how long a posted
// command keeps the caller (the GUI thread) waiting while the worker idles.
#include <benchmark/benchmark.h>

#include <thread>

#include "base/messages.h"
#include "motion/workerthread.h"

namespace {

class IdleWorker : public WorkerThread {
 public:
  IdleWorker() : WorkerThread("BenchWorker") {}
  ~IdleWorker() override { StopThread(); }

 protected:
  void ExecuteCommand(const WorkCmdData& cmd) override { benchmark::DoNotOptimize(cmd.value1); }
};

// Post -> taken by the worker -> caller released.
void BM_PostRoundTrip(benchmark::State& state) {
  IdleWorker worker;
  worker.StartThread();
  const WorkCmdData cmd = workcmd::FeedOverride(100.0);
  for (auto _ : state) benchmark::DoNotOptimize(worker.Post(cmd));
}
BENCHMARK(BM_PostRoundTrip)->Unit(benchmark::kMicrosecond)->UseRealTime();

// The bare mailbox pair without the dispatch around it.
void BM_MailboxSendAndWait(benchmark::State& state) {
  Mailbox box;
  std::thread receiver([&] {
    for (;;) {
      Message* m = box.Receive();
      const bool last = static_cast<WorkCmd*>(m)->code == WCMD_TERMINATE;
      m->Reply();
      if (last) return;
    }
  });
  WorkCmd msg;
  msg.code = WCMD_FEED_OVERRIDE;
  for (auto _ : state) benchmark::DoNotOptimize(SendAndWait(msg, box));
  WorkCmd stop;
  stop.code = WCMD_TERMINATE;
  SendAndWait(stop, box);
  receiver.join();
}
BENCHMARK(BM_MailboxSendAndWait)->Unit(benchmark::kMicrosecond)->UseRealTime();

// Posting before the worker exists must cost nothing.
void BM_PostWithoutWorker(benchmark::State& state) {
  IdleWorker worker;
  const WorkCmdData cmd = workcmd::FeedOverride(100.0);
  for (auto _ : state) benchmark::DoNotOptimize(worker.Post(cmd));
}
BENCHMARK(BM_PostWithoutWorker)->Unit(benchmark::kMicrosecond);

}  // namespace
