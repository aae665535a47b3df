// Cost of the two logs: a filtered-out call must be nearly free.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

#include "base/driverlog.h"
#include "base/logging.h"

namespace {

void BM_LogMessageFilteredOut(benchmark::State& state) {
  SetLogMask(0x10);
  SetLogLevel(3);
  int i = 0;
  for (auto _ : state) {
    LogMessage(0x24, "position %d %f", i, 1.5);
    benchmark::DoNotOptimize(++i);
  }
  SetLogLevel(7);
  SetLogMask(16);
}
BENCHMARK(BM_LogMessageFilteredOut);

void BM_LogMessageWritten(benchmark::State& state) {
  const std::string dir = "/tmp/quorvane_bench_log_" + std::to_string(getpid());
  if (!OpenLogFile(dir)) {
    state.SkipWithError("cannot open the log file");
    return;
  }
  int i = 0;
  for (auto _ : state) LogMessage(0x8003, "position %d %f", ++i, 1.5);
  CloseLogFile();
  std::remove((dir + "/log.txt").c_str());
  std::remove((dir + "/log_prev.txt").c_str());
  rmdir(dir.c_str());
}
BENCHMARK(BM_LogMessageWritten);

void BM_DriverLogWithoutViewer(benchmark::State& state) {
  DriverLogOpen("/quorvane_bench_absent");
  int i = 0;
  for (auto _ : state) DriverLog(DLOG_DETAIL, "SendBundled size=%d", ++i);
}
BENCHMARK(BM_DriverLogWithoutViewer);

void BM_DriverLogToViewer(benchmark::State& state) {
  const std::string name = "/quorvane_bench_" + std::to_string(getpid());
  const int fd = shm_open(name.c_str(), O_RDWR | O_CREAT, 0600);
  if (fd < 0 || ftruncate(fd, sharedlog::kMappingSize) != 0) {
    state.SkipWithError("cannot create the mapping");
    return;
  }
  auto* map = static_cast<uint8_t*>(mmap(nullptr, sharedlog::kMappingSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
  close(fd);
  DriverLogOpen(name.c_str());
  // A viewer that keeps up: moves the read position to the write position.
  std::atomic<bool> run{true};
  std::thread viewer([&] {
    while (run.load()) {
      __atomic_store_n(reinterpret_cast<uint16_t*>(map + 2), __atomic_load_n(reinterpret_cast<uint16_t*>(map), __ATOMIC_ACQUIRE),
                       __ATOMIC_RELEASE);
      std::this_thread::yield();
    }
  });
  int i = 0;
  for (auto _ : state) DriverLog(DLOG_DETAIL, "SendBundled size=%d", ++i);
  state.counters["dropped"] = DriverStatGet(STAT_LOG_DROPPED);
  run.store(false);
  viewer.join();
  DriverLogClose();
  munmap(map, sharedlog::kMappingSize);
  shm_unlink(name.c_str());
}
BENCHMARK(BM_DriverLogToViewer);

}  // namespace
