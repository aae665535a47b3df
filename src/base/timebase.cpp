#include "base/timebase.h"

#include <atomic>
#include <cerrno>
#include <ctime>

namespace {

class WallClock final : public TimeSource {
 public:
  uint64_t NowMicros() override {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
  }
};

// Plain shared value in the original; atomic here so readers on other threads
// are well defined.
std::atomic<uint64_t> g_currentTime{0};

}  // namespace

TimeSource& SystemTimeSource() {
  static WallClock clock;
  return clock;
}

uint64_t GetTimeMicros(TimeSource& source) {
  const uint64_t now = source.NowMicros();
  g_currentTime.store(now, std::memory_order_relaxed);
  return now;
}

uint64_t GetTimeMicros() { return GetTimeMicros(SystemTimeSource()); }

uint64_t CurrentTimeMicros() { return g_currentTime.load(std::memory_order_relaxed); }

int32_t TimeDiff(uint64_t a, uint64_t b) {
  constexpr int64_t kMax = 2147483647;
  if (a >= b) {
    const uint64_t d = a - b;
    return d > static_cast<uint64_t>(kMax) ? static_cast<int32_t>(kMax) : static_cast<int32_t>(d);
  }
  const uint64_t d = b - a;
  return d > static_cast<uint64_t>(kMax) ? static_cast<int32_t>(-kMax) : -static_cast<int32_t>(d);
}

void SleepMicros(uint32_t micros) {
  // A relative sleep on the monotonic clock, restarted after signals, so a
  // wall-clock jump cannot stretch it.
  timespec req{static_cast<time_t>(micros / 1000000u), static_cast<long>(micros % 1000000u) * 1000L};
  while (clock_nanosleep(CLOCK_MONOTONIC, 0, &req, &req) == EINTR) {
  }
}
