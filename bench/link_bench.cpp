// The link on the veth lab against a soft module executing as fast as
// commands arrive: acknowledged commands per second through one connection,
// the round trip of one command, and what an idle open connection costs.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "common/netlab.h"
#include "driver/src/quorvdriver.h"

namespace {

// One lab, one soft module and one open connection for all link benchmarks.
struct Link {
  Link() {
    lab = std::make_unique<netlab::Lab>();
    sim = std::make_unique<netlab::ModSim>(*lab, std::vector<std::string>{"--mac", netlab::ModuleMacText(1), "--rate", "0"});
    driver = std::make_unique<QuorvDriver>();
    key = driver->FindFirstModule();
    if (key == 0 || !driver->OpenModule(key, true)) throw std::runtime_error("the soft module could not be opened");
  }
  ~Link() {
    driver.reset();
    sim.reset();
    lab.reset();
  }
  std::unique_ptr<netlab::Lab> lab;
  std::unique_ptr<netlab::ModSim> sim;
  std::unique_ptr<QuorvDriver> driver;
  uint32_t key = 0;
};

// Made on first use; a lab that cannot be made is reported by every benchmark.
Link* TheLink(std::string& error) {
  static std::string why;
  static std::unique_ptr<Link> link = [] {
    try {
      return std::make_unique<Link>();
    } catch (const std::exception& e) {
      why = e.what();
      return std::unique_ptr<Link>();
    }
  }();
  error = why;
  return link.get();
}

double CpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1e-6;
}

// Position points streamed through one connection; the time includes their
// acknowledgement.
void BM_LinkAcknowledgedCommands(benchmark::State& state) {
  std::string error;
  Link* link = TheLink(error);
  if (!link) return state.SkipWithError(error.c_str());
  int32_t i = 0;
  for (auto _ : state) {
    const int32_t p[3] = {i, -i, i / 3};
    if (!link->driver->SetPosition(link->key, p, 3, nullptr)) return state.SkipWithError("SetPosition failed");
    ++i;
  }
  if (!link->driver->Synchronize(link->key, true)) state.SkipWithError("not acknowledged");
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LinkAcknowledgedCommands)->UseRealTime()->MinTime(2.0);

// One NOP out and its acknowledgement back: median and 99th percentile.
void BM_LinkRoundTrip(benchmark::State& state) {
  std::string error;
  Link* link = TheLink(error);
  if (!link) return state.SkipWithError(error.c_str());
  std::vector<double> us;
  us.reserve(100000);
  for (auto _ : state) {
    const auto t0 = std::chrono::steady_clock::now();
    if (!link->driver->Synchronize(link->key, true)) return state.SkipWithError("not acknowledged");
    us.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count());
  }
  std::sort(us.begin(), us.end());
  state.counters["median_us"] = us[us.size() / 2];
  state.counters["p99_us"] = us[std::min(us.size() - 1, us.size() * 99 / 100)];
}
BENCHMARK(BM_LinkRoundTrip)->UseRealTime()->Iterations(5000);

// An open connection with nothing to send: the process's CPU time (read
// thread, timer thread, send thread, one keep-alive a second) over 5 s.
void BM_LinkIdleConnectionCpu(benchmark::State& state) {
  std::string error;
  Link* link = TheLink(error);
  if (!link) return state.SkipWithError(error.c_str());
  double percent = 0;
  for (auto _ : state) {
    const double cpu0 = CpuSeconds();
    const auto t0 = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(5));
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    percent = 100.0 * (CpuSeconds() - cpu0) / wall;
  }
  state.counters["cpu_percent"] = percent;
}
BENCHMARK(BM_LinkIdleConnectionCpu)->UseRealTime()->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
