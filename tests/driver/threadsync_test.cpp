// Locks, the wake-up signal, the time base and the driver assertion.
#include "threadsync.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "driverassert.h"
#include "testsupport.h"
#include "timebase.h"

namespace {

using namespace std::chrono_literals;

bool TryEnterFromOtherThread(CriticalSection& cs) {
  return std::async(std::launch::async, [&cs] {
           const bool got = cs.TryEnter();
           if (got) cs.Leave();
           return got;
         })
      .get();
}

TEST(CriticalSectionTest, SameThreadEntersAgainAndMustLeaveAsOften) {
  CriticalSection cs;
  cs.Enter();
  cs.Enter();
  EXPECT_FALSE(TryEnterFromOtherThread(cs));
  cs.Leave();
  EXPECT_FALSE(TryEnterFromOtherThread(cs)) << "one Leave must not release a twice-entered lock";
  cs.Leave();
  EXPECT_TRUE(TryEnterFromOtherThread(cs));
}

TEST(WakeSemaphoreTest, TwoReleasesBeforeAWaitWakeOnce) {
  WakeSemaphore sem;
  EXPECT_FALSE(sem.WaitFor(10));
  sem.Release();
  sem.Release();
  EXPECT_TRUE(sem.WaitFor(0));
  EXPECT_FALSE(sem.WaitFor(20));
}

TEST(InterthreadSignalTest, SignalWithoutWaiterIsNotKept) {
  InterthreadSignal sig;
  sig.Enter();
  sig.Signal();
  EXPECT_FALSE(sig.WaitFor(20));
  EXPECT_EQ(sig.Waiters(), 0);
  sig.Leave();
}

// Both waits leave the lock while waiting, wake on Signal and return holding it.
TEST(InterthreadSignalTest, WaitLeavesTheLockAndSignalWakesTheWaiter) {
  for (bool timed : {true, false}) {
    InterthreadSignal sig;
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
    if (timed) {
      EXPECT_TRUE(wokenBySignal.load());
    }
    EXPECT_EQ(sig.Waiters(), 0);
  }
}

TEST(TimeBaseTest, DifferenceIsSignedAndClamped) {
  const struct {
    uint64_t a, b;
    int32_t diff;
  } cases[] = {
      {1000, 400, 600},
      {400, 1000, -600},
      {5, 5, 0},
      {3000000000ull, 0, 2147483647},
      {0, 3000000000ull, -2147483647},
      {0, 2147483648ull, -2147483647},
      {0, 2147483647ull, -2147483647},
      {0, 2147483646ull, -2147483646},
      {~0ull, 0, 2147483647},
  };
  for (const auto& c : cases) EXPECT_EQ(TimeDiff(c.a, c.b), c.diff) << c.a << " - " << c.b;
}

TEST(TimeBaseTest, ReadingTheTimeStoresItAsCurrentTime) {
  struct Fixed : TimeSource {
    uint64_t NowMicros() override { return 123456789; }
  } fixed;
  EXPECT_EQ(GetTimeMicros(fixed), 123456789u);
  EXPECT_EQ(CurrentTimeMicros(), 123456789u);
  const uint64_t now = GetTimeMicros();
  EXPECT_EQ(CurrentTimeMicros(), now);
  EXPECT_GT(now, 1600000000ull * 1000000);  // wall clock in microseconds since 1970
  const auto start = std::chrono::steady_clock::now();
  SleepMicros(2000);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 2000us);
}

void* AssertingThread(void* arg) {
  DRIVER_ASSERT(1 + 1 == 2, "arithmetic");
  DRIVER_ASSERT(false, "connection list corrupt");
  static_cast<std::atomic<bool>*>(arg)->store(true);
  return nullptr;
}

TEST(DriverAssertTest, FailureIsReportedAndEndsTheCallingThread) {
  testsupport::AssertionCapture capture;
  std::atomic<bool> passedAssert{false};
  pthread_t thread;
  ASSERT_EQ(pthread_create(&thread, nullptr, &AssertingThread, &passedAssert), 0);
  ASSERT_EQ(pthread_join(thread, nullptr), 0);
  EXPECT_FALSE(passedAssert.load());
  EXPECT_TRUE(capture.Saw("connection list corrupt"));
  EXPECT_FALSE(capture.Saw("arithmetic"));
}

}  // namespace
