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
  sem.Release();
  sem.Release();
  EXPECT_TRUE(sem.WaitFor(0));
  EXPECT_FALSE(sem.WaitFor(20));
}

TEST(WakeSemaphoreTest, WaitForTimesOutWithoutRelease) {
  WakeSemaphore sem;
  EXPECT_FALSE(sem.WaitFor(10));
}

TEST(InterthreadSignalTest, SignalWithoutWaiterIsNotKept) {
  InterthreadSignal sig;
  sig.Enter();
  sig.Signal();
  EXPECT_FALSE(sig.WaitFor(20));
  EXPECT_EQ(sig.Waiters(), 0);
  sig.Leave();
}

TEST(InterthreadSignalTest, WaitLeavesTheLockAndSignalWakesTheWaiter) {
  InterthreadSignal sig;
  bool ready = false;  // guarded by sig
  std::atomic<bool> wokenBySignal{false};
  std::thread waiter([&] {
    sig.Enter();
    while (!ready) {
      if (sig.WaitFor(5000)) wokenBySignal.store(true);
    }
    sig.Leave();
  });
  const auto limit = std::chrono::steady_clock::now() + 10s;
  while (sig.Waiters() == 0 && std::chrono::steady_clock::now() < limit) std::this_thread::sleep_for(1ms);
  ASSERT_EQ(sig.Waiters(), 1);
  sig.Enter();  // possible only because the waiter left the lock
  ready = true;
  sig.Signal();
  sig.Leave();
  waiter.join();
  EXPECT_TRUE(wokenBySignal.load());
  EXPECT_EQ(sig.Waiters(), 0);
}

TEST(InterthreadSignalTest, WaitWithoutTimeoutReturnsHoldingTheLock) {
  InterthreadSignal sig;
  int value = 0;
  std::thread waiter([&] {
    sig.Enter();
    while (value == 0) sig.Wait();
    value = 2;  // still under the lock
    sig.Leave();
  });
  const auto limit = std::chrono::steady_clock::now() + 10s;
  while (sig.Waiters() == 0 && std::chrono::steady_clock::now() < limit) std::this_thread::sleep_for(1ms);
  sig.Enter();
  value = 1;
  sig.Signal();
  sig.Leave();
  waiter.join();
  EXPECT_EQ(value, 2);
}

TEST(TimeBaseTest, DifferenceIsSignedAndClamped) {
  EXPECT_EQ(TimeDiff(1000, 400), 600);
  EXPECT_EQ(TimeDiff(400, 1000), -600);
  EXPECT_EQ(TimeDiff(5, 5), 0);
  EXPECT_EQ(TimeDiff(3000000000ull, 0), 2147483647);
  EXPECT_EQ(TimeDiff(0, 3000000000ull), -2147483647);
  EXPECT_EQ(TimeDiff(0, 2147483648ull), -2147483647);
  EXPECT_EQ(TimeDiff(0, 2147483647ull), -2147483647);
  EXPECT_EQ(TimeDiff(0, 2147483646ull), -2147483646);
  EXPECT_EQ(TimeDiff(~0ull, 0), 2147483647);
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
}

TEST(TimeBaseTest, ShortSleepLastsAtLeastItsTime) {
  const auto start = std::chrono::steady_clock::now();
  SleepMicros(2000);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 2000us);
}

struct AssertThreadResult {
  std::atomic<bool> passedAssert{false};
};

void* AssertingThread(void* arg) {
  DRIVER_ASSERT(1 + 1 == 2, "arithmetic");
  DRIVER_ASSERT(false, "connection list corrupt");
  static_cast<AssertThreadResult*>(arg)->passedAssert.store(true);
  return nullptr;
}

TEST(DriverAssertTest, FailureIsReportedAndEndsTheCallingThread) {
  testsupport::AssertionCapture capture;
  AssertThreadResult result;
  pthread_t thread;
  ASSERT_EQ(pthread_create(&thread, nullptr, &AssertingThread, &result), 0);
  ASSERT_EQ(pthread_join(thread, nullptr), 0);
  EXPECT_FALSE(result.passedAssert.load());
  EXPECT_TRUE(capture.Saw("connection list corrupt"));
  EXPECT_FALSE(capture.Saw("arithmetic"));
}

}  // namespace
