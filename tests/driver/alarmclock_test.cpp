// Timer service: order, restarts, cancels, clock jumps and shutdown.
#include "alarmclock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Steady = std::chrono::steady_clock;

// A time source the test moves by hand; frozen in between.
class ManualTime : public TimeSource {
 public:
  explicit ManualTime(uint64_t start) : now_(start) {}
  uint64_t NowMicros() override { return now_.load(); }
  void Set(uint64_t t) { now_.store(t); }

 private:
  std::atomic<uint64_t> now_;
};

// The real clock plus an offset the test can change ("set the clock back").
class ShiftedTime : public TimeSource {
 public:
  uint64_t NowMicros() override { return SystemTimeSource().NowMicros() + static_cast<uint64_t>(offset_.load()); }
  void Shift(int64_t micros) { offset_.fetch_add(micros); }

 private:
  std::atomic<int64_t> offset_{0};
};

// Collects the ids of fired timers.
class FireLog {
 public:
  void Add(int id) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ids_.push_back(id);
      times_.push_back(Steady::now());
    }
    cv_.notify_all();
  }
  // Waits (generously) until `n` fires happened.
  bool WaitFor(size_t n, std::chrono::milliseconds limit = 10000ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, limit, [&] { return ids_.size() >= n; });
  }
  std::vector<int> Ids() {
    std::lock_guard<std::mutex> lock(mutex_);
    return ids_;
  }
  Steady::time_point Time(size_t i) {
    std::lock_guard<std::mutex> lock(mutex_);
    return times_.at(i);
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<int> ids_;
  std::vector<Steady::time_point> times_;
};

class LoggedTimer : public TimerEvent {
 public:
  LoggedTimer(AlarmClock* clock, FireLog* log, int id) : TimerEvent(clock), log_(log), id_(id) {}
  ~LoggedTimer() override { Retire(); }
  void Fire() override { log_->Add(id_); }

 private:
  FireLog* log_;
  int id_;
};

constexpr uint64_t kT0 = 1700000000000000ull;

TEST(AlarmClockTest, FiresInExpiryOrderAndEqualExpiriesInStartOrder) {
  ManualTime time(kT0);
  AlarmClock clock(&time);
  FireLog log;
  LoggedTimer a(&clock, &log, 1), b(&clock, &log, 2), c(&clock, &log, 3), d(&clock, &log, 4);
  a.Start(5000);
  b.Start(5000);  // same expiry as a: frozen time
  c.Start(2000);
  d.Start(3000);
  EXPECT_EQ(a.Expiry(), b.Expiry());
  EXPECT_EQ(clock.ArmedCount(), 4u);
  EXPECT_EQ(a.State(), TimerEvent::STATE_ARMED);
  time.Set(kT0 + 10000);
  ASSERT_TRUE(log.WaitFor(4));
  EXPECT_EQ(log.Ids(), (std::vector<int>{3, 4, 1, 2}));
  EXPECT_EQ(a.State(), TimerEvent::STATE_FIRED);
  EXPECT_EQ(clock.ArmedCount(), 0u);
}

TEST(AlarmClockTest, NothingFiresBeforeItsExpiry) {
  ManualTime time(kT0);
  AlarmClock clock(&time);
  FireLog log;
  LoggedTimer early(&clock, &log, 1), late(&clock, &log, 2);
  early.Start(4000);
  late.Start(50000);
  time.Set(kT0 + 20000);
  ASSERT_TRUE(log.WaitFor(1));
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(log.Ids(), std::vector<int>{1});
  EXPECT_EQ(late.State(), TimerEvent::STATE_ARMED);
  time.Set(kT0 + 50000);
  ASSERT_TRUE(log.WaitFor(2));
}

TEST(AlarmClockTest, RestartMovesAnArmedTimerAndFiresItOnce) {
  ManualTime time(kT0);
  AlarmClock clock(&time);
  FireLog log;
  LoggedTimer t(&clock, &log, 7);
  t.Start(5000);
  t.Start(30000);
  EXPECT_EQ(clock.ArmedCount(), 1u);
  EXPECT_EQ(t.Expiry(), kT0 + 30000);
  time.Set(kT0 + 10000);
  std::this_thread::sleep_for(50ms);
  EXPECT_TRUE(log.Ids().empty());
  time.Set(kT0 + 30000);
  ASSERT_TRUE(log.WaitFor(1));
  std::this_thread::sleep_for(30ms);
  EXPECT_EQ(log.Ids().size(), 1u);
}

TEST(AlarmClockTest, ZeroOrNegativeDelayOnlyCancels) {
  ManualTime time(kT0);
  AlarmClock clock(&time);
  FireLog log;
  LoggedTimer t(&clock, &log, 1), u(&clock, &log, 2);
  t.Start(0);
  EXPECT_EQ(t.State(), TimerEvent::STATE_IDLE);
  u.Start(2000);
  u.Start(-5);
  EXPECT_EQ(u.State(), TimerEvent::STATE_IDLE);
  EXPECT_EQ(clock.ArmedCount(), 0u);
  time.Set(kT0 + 100000);
  std::this_thread::sleep_for(50ms);
  EXPECT_TRUE(log.Ids().empty());
}

TEST(AlarmClockTest, CancelLeavesIdleAndFiredTimersAlone) {
  ManualTime time(kT0);
  AlarmClock clock(&time);
  FireLog log;
  LoggedTimer idle(&clock, &log, 1), fired(&clock, &log, 2), armed(&clock, &log, 3);
  idle.Cancel();
  EXPECT_EQ(idle.State(), TimerEvent::STATE_IDLE);
  fired.Start(2000);
  time.Set(kT0 + 2000);
  ASSERT_TRUE(log.WaitFor(1));
  fired.Cancel();
  EXPECT_EQ(fired.State(), TimerEvent::STATE_FIRED);
  armed.Start(3000);
  armed.Cancel();
  EXPECT_EQ(armed.State(), TimerEvent::STATE_IDLE);
  time.Set(kT0 + 100000);
  std::this_thread::sleep_for(30ms);
  EXPECT_EQ(log.Ids(), std::vector<int>{2});
}

// Restarts itself from Fire(): the clock's lock is not held while firing.
class RepeatingTimer : public TimerEvent {
 public:
  RepeatingTimer(AlarmClock* clock, int times) : TimerEvent(clock), left_(times) {}
  ~RepeatingTimer() override { Retire(); }
  void Fire() override {
    ++count;
    if (--left_ > 0) Start(1000);
    else done.store(true);
  }
  std::atomic<int> count{0};
  std::atomic<bool> done{false};

 private:
  int left_;
};

TEST(AlarmClockTest, TimerRestartedFromItsOwnFireRepeats) {
  AlarmClock clock;
  RepeatingTimer t(&clock, 5);
  t.Start(1000);
  const auto limit = Steady::now() + 10s;
  while (!t.done.load() && Steady::now() < limit) std::this_thread::sleep_for(2ms);
  EXPECT_TRUE(t.done.load());
  EXPECT_EQ(t.count.load(), 5);
  EXPECT_EQ(t.State(), TimerEvent::STATE_FIRED);
}

TEST(AlarmClockTest, TimerDueInLessThanAMillisecondFires) {
  AlarmClock clock;
  FireLog log;
  LoggedTimer t(&clock, &log, 1);
  t.Start(300);
  EXPECT_TRUE(log.WaitFor(1));
}

TEST(AlarmClockTest, ClockSetBackAnHourFiresEarliestAtOnceAndKeepsDistances) {
  ShiftedTime time;
  AlarmClock clock(&time);
  FireLog log;
  LoggedTimer a(&clock, &log, 1), b(&clock, &log, 2);
  a.Start(300000);
  b.Start(600000);
  const uint64_t distance = b.Expiry() - a.Expiry();
  const auto setBack = Steady::now();
  time.Shift(-3600ll * 1000000);
  ASSERT_TRUE(log.WaitFor(2, 20000ms)) << "timers waited for the hour";
  EXPECT_EQ(log.Ids(), (std::vector<int>{1, 2}));
  EXPECT_EQ(b.Expiry() - a.Expiry(), distance);
  // b keeps its distance to a, which was due when the jump was seen.
  EXPECT_GE(log.Time(1) - setBack, std::chrono::microseconds(distance) - 1ms);
}

TEST(AlarmClockTest, StartAfterClockWentBackCorrectsArmedTimers) {
  ShiftedTime time;
  AlarmClock clock(&time);
  FireLog log;
  LoggedTimer far(&clock, &log, 1), later(&clock, &log, 2);
  far.Start(60ll * 1000000);  // the timer thread sleeps a long time for this one
  time.Shift(-3600ll * 1000000);
  later.Start(3600ll * 1000000);
  // Without the correction in Start, `far` would fire after a minute at the earliest.
  ASSERT_TRUE(log.WaitFor(1, 20000ms));
  EXPECT_EQ(log.Ids(), std::vector<int>{1});
  EXPECT_EQ(later.State(), TimerEvent::STATE_ARMED);
}

TEST(AlarmClockTest, DestroyingTheClockWithArmedTimersReturnsWithoutFiring) {
  FireLog log;
  auto clock = std::make_unique<AlarmClock>();
  LoggedTimer a(clock.get(), &log, 1), b(clock.get(), &log, 2);
  a.Start(3600ll * 1000000);
  b.Start(10ll * 1000000);
  clock.reset();
  EXPECT_TRUE(log.Ids().empty());
  EXPECT_EQ(a.State(), TimerEvent::STATE_IDLE);
  EXPECT_EQ(b.State(), TimerEvent::STATE_IDLE);
}

TEST(AlarmClockTest, TimerOutlivingItsClockIsInert) {
  FireLog log;
  auto clock = std::make_unique<AlarmClock>();
  LoggedTimer t(clock.get(), &log, 1);
  t.Start(1000000);
  clock.reset();
  t.Start(1000);  // no clock any more: nothing happens, nothing crashes
  t.Cancel();
  EXPECT_EQ(t.State(), TimerEvent::STATE_IDLE);
}

struct FireFlags {
  std::atomic<bool> started{false}, finished{false};
};

class SlowTimer : public TimerEvent {
 public:
  SlowTimer(AlarmClock* clock, FireFlags* flags) : TimerEvent(clock), flags_(flags) {}
  ~SlowTimer() override { Retire(); }
  void Fire() override {
    flags_->started.store(true);
    std::this_thread::sleep_for(100ms);
    flags_->finished.store(true);
  }

 private:
  FireFlags* flags_;
};

bool WaitUntil(const std::atomic<bool>& flag) {
  const auto limit = Steady::now() + 10s;
  while (!flag.load() && Steady::now() < limit) std::this_thread::sleep_for(1ms);
  return flag.load();
}

TEST(AlarmClockTest, DestructorJoinsARunningFire) {
  FireFlags flags;
  auto clock = std::make_unique<AlarmClock>();
  SlowTimer t(clock.get(), &flags);
  t.Start(1000);
  ASSERT_TRUE(WaitUntil(flags.started));
  clock.reset();
  EXPECT_TRUE(flags.finished.load());
}

TEST(AlarmClockTest, DeletingATimerWaitsForItsPendingFire) {
  FireFlags flags;
  AlarmClock clock;
  auto t = std::make_unique<SlowTimer>(&clock, &flags);
  t->Start(1000);
  ASSERT_TRUE(WaitUntil(flags.started));
  t.reset();
  EXPECT_TRUE(flags.finished.load());
}

struct Target {
  void OnTimeout() { ++calls; }
  std::atomic<int> calls{0};
};

TEST(TimeoutEventTest, CallsTheHandlerOnTheTarget) {
  AlarmClock clock;
  Target target;
  TimeoutEvent<Target> ev(&clock, &target, &Target::OnTimeout);
  ev.Start(1000);
  const auto limit = Steady::now() + 10s;
  while (target.calls.load() == 0 && Steady::now() < limit) std::this_thread::sleep_for(1ms);
  EXPECT_EQ(target.calls.load(), 1);
  EXPECT_EQ(ev.State(), TimerEvent::STATE_FIRED);
}

}  // namespace
