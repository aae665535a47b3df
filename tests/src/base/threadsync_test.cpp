// Locks, the wake-up signal, the time base and the driver assertion.
#include "base/threadsync.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "driver/src/driverassert.h"
#include "common/testsupport.h"
#include "base/timebase.h"

namespace {

using namespace std::chrono_literals;

bool TryEnterFromOtherThread(CriticalSection& cs) {
  bool got = false;
  std::thread([&] {
    if ((got = cs.TryEnter())) cs.Leave();
  }).join();
  return got;
}

TEST(CriticalSectionTest, SameThreadEntersAgainAndMustLeaveAsOften) {
  CriticalSection cs;
  cs.Enter();
  cs.Enter();
  cs.Leave();
  EXPECT_FALSE(TryEnterFromOtherThread(cs)) << "one Leave must not release a twice-entered lock";
  cs.Leave();
  EXPECT_TRUE(TryEnterFromOtherThread(cs));
}

// Both waits leave the lock while waiting, wake on Signal and return holding
// it; a signal given while nobody waits is not kept.
TEST(InterthreadSignalTest, WaitLeavesTheLockAndSignalWakesOnlyAPresentWaiter) {
  for (bool timed : {true, false}) {
    InterthreadSignal sig;
    sig.Enter();
    sig.Signal();
    EXPECT_FALSE(sig.WaitFor(20));
    sig.Leave();
    int value = 0;  // guarded by sig
    std::atomic<bool> wokenBySignal{false};
    std::thread waiter([&] {
      sig.Enter();
      while (value == 0) {
        if (!timed) sig.Wait();
        else if (sig.WaitFor(5000)) wokenBySignal.store(true);
      }
      value = 2;  // still under the lock
      sig.Leave();
    });
    const auto limit = std::chrono::steady_clock::now() + 10s;
    while (sig.Waiters() == 0 && std::chrono::steady_clock::now() < limit) std::this_thread::sleep_for(1ms);
    EXPECT_EQ(sig.Waiters(), 1);
    sig.Enter();  // possible only because the waiter left the lock
    value = 1;
    sig.Signal();
    sig.Leave();
    waiter.join();
    EXPECT_EQ(value, 2);
    EXPECT_EQ(wokenBySignal.load(), timed);
    EXPECT_EQ(sig.Waiters(), 0);
  }
}

// Clamped to +-(2^31 - 1): the negative side never reaches INT32_MIN.
TEST(TimeBaseTest, DifferenceIsSignedAndClampedAndTheClockIsInMicroseconds) {
  const struct {
    uint64_t a, b;
    int32_t diff;
  } cases[] = {
      {1000, 400, 600},                {400, 1000, -600},
      {3000000000ull, 0, 2147483647},  {~0ull, 0, 2147483647},
      {0, 2147483648ull, -2147483647}, {0, 2147483647ull, -2147483647},
      {0, 2147483646ull, -2147483646},
  };
  for (const auto& c : cases) EXPECT_EQ(TimeDiff(c.a, c.b), c.diff) << c.a << " - " << c.b;
  const uint64_t now = GetTimeMicros();  // the wall clock in microseconds since 1970, kept as the current time
  EXPECT_EQ(CurrentTimeMicros(), now);
  EXPECT_GT(now, 1600000000ull * 1000000);
}

TEST(DriverAssertTest, FailureIsReportedAndEndsTheCallingThread) {
  testsupport::AssertionCapture capture;
  std::atomic<bool> passedAssert{false};
  pthread_t thread;
  auto body = [](void* arg) -> void* {
    DRIVER_ASSERT(1 + 1 == 2, "arithmetic");
    DRIVER_ASSERT(false, "connection list corrupt");
    static_cast<std::atomic<bool>*>(arg)->store(true);
    return nullptr;
  };
  ASSERT_EQ(pthread_create(&thread, nullptr, body, &passedAssert), 0);
  ASSERT_EQ(pthread_join(thread, nullptr), 0);
  EXPECT_FALSE(passedAssert.load());
  EXPECT_TRUE(capture.Saw("connection list corrupt"));
  EXPECT_FALSE(capture.Saw("arithmetic"));
}

}  // namespace
