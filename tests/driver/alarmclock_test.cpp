// Timer service: order, restarts, cancels, clock jumps and shutdown.
#include "alarmclock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
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

// Polls (generously) until `done` holds; bounded so a lost fire fails instead of hanging.
template <typename Pred>
bool WaitUntil(Pred done, std::chrono::milliseconds limit = 10000ms) {
  const auto end = Steady::now() + limit;
  while (!done() && Steady::now() < end) std::this_thread::sleep_for(1ms);
  return done();
}

// Collects the ids of fired timers and when they fired.
class FireLog {
 public:
  void Add(int id) {
    std::lock_guard<std::mutex> lock(mutex_);
    ids_.push_back(id);
    times_.push_back(Steady::now());
  }
  bool WaitFor(size_t n, std::chrono::milliseconds limit = 10000ms) {
    return WaitUntil([&] { return Ids().size() >= n; }, limit);
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

// A clock on hand-moved time with a fire log.
class ManualClockTest : public ::testing::Test {
 protected:
  LoggedTimer& Timer(int id) { return *timers_.emplace_back(std::make_unique<LoggedTimer>(&clock, &log, id)); }
  // Lets the timer thread see the time; whatever is due fires meanwhile.
  void SetTimeAndSettle(uint64_t t) {
    time.Set(t);
    std::this_thread::sleep_for(50ms);
  }
  ManualTime time{kT0};
  AlarmClock clock{&time};
  FireLog log;

 private:
  std::vector<std::unique_ptr<LoggedTimer>> timers_;
};

TEST_F(ManualClockTest, FiresInExpiryOrderAndEqualExpiriesInStartOrder) {
  LoggedTimer &a = Timer(1), &b = Timer(2), &c = Timer(3), &d = Timer(4);
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

TEST_F(ManualClockTest, RestartMovesAnArmedTimerAndNothingFiresBeforeItsExpiry) {
  LoggedTimer &t = Timer(7), &late = Timer(8);
  t.Start(5000);
  t.Start(30000);
  late.Start(50000);
  EXPECT_EQ(clock.ArmedCount(), 2u);
  EXPECT_EQ(t.Expiry(), kT0 + 30000);
  SetTimeAndSettle(kT0 + 10000);
  EXPECT_TRUE(log.Ids().empty());
  SetTimeAndSettle(kT0 + 30000);
  EXPECT_EQ(log.Ids(), std::vector<int>{7});  // once only
  EXPECT_EQ(late.State(), TimerEvent::STATE_ARMED);
  time.Set(kT0 + 50000);
  ASSERT_TRUE(log.WaitFor(2));
}

TEST_F(ManualClockTest, CancelAndNonPositiveDelays) {
  LoggedTimer &zero = Timer(1), &negative = Timer(2), &idle = Timer(3), &fired = Timer(4), &armed = Timer(5);
  zero.Start(0);
  negative.Start(2000);
  negative.Start(-5);  // only cancels
  idle.Cancel();
  fired.Start(2000);
  time.Set(kT0 + 2000);
  ASSERT_TRUE(log.WaitFor(1));
  fired.Cancel();
  armed.Start(3000);
  armed.Cancel();
  EXPECT_EQ(clock.ArmedCount(), 0u);
  for (LoggedTimer* t : {&zero, &negative, &idle, &armed}) EXPECT_EQ(t->State(), TimerEvent::STATE_IDLE);
  EXPECT_EQ(fired.State(), TimerEvent::STATE_FIRED);
  SetTimeAndSettle(kT0 + 100000);
  EXPECT_EQ(log.Ids(), std::vector<int>{4});
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
  EXPECT_TRUE(WaitUntil([&] { return t.done.load(); }));
  EXPECT_EQ(t.count.load(), 5);
  EXPECT_EQ(t.State(), TimerEvent::STATE_FIRED);
}

struct Target {
  void OnTimeout() { ++calls; }
  std::atomic<int> calls{0};
};

TEST(AlarmClockTest, TimeoutEventDueInLessThanAMillisecondCallsTheTarget) {
  AlarmClock clock;
  Target target;
  TimeoutEvent<Target> ev(&clock, &target, &Target::OnTimeout);
  ev.Start(300);
  EXPECT_TRUE(WaitUntil([&] { return target.calls.load() > 0; }));
  EXPECT_EQ(target.calls.load(), 1);
  EXPECT_EQ(ev.State(), TimerEvent::STATE_FIRED);
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

TEST(AlarmClockTest, DestroyingTheClockDisarmsWithoutFiringAndLeavesTimersInert) {
  FireLog log;
  auto clock = std::make_unique<AlarmClock>();
  LoggedTimer a(clock.get(), &log, 1), b(clock.get(), &log, 2);
  a.Start(3600ll * 1000000);
  b.Start(10ll * 1000000);
  clock.reset();
  EXPECT_TRUE(log.Ids().empty());
  EXPECT_EQ(a.State(), TimerEvent::STATE_IDLE);
  EXPECT_EQ(b.State(), TimerEvent::STATE_IDLE);
  b.Start(1000);  // no clock any more: nothing happens, nothing crashes
  b.Cancel();
  EXPECT_EQ(b.State(), TimerEvent::STATE_IDLE);
}

class SlowTimer : public TimerEvent {
 public:
  SlowTimer(AlarmClock* clock) : TimerEvent(clock) {}
  ~SlowTimer() override { Retire(); }
  void Fire() override {
    started.store(true);
    std::this_thread::sleep_for(100ms);
    finished->store(true);
  }
  std::atomic<bool> started{false};
  std::shared_ptr<std::atomic<bool>> finished = std::make_shared<std::atomic<bool>>(false);
};

TEST(AlarmClockTest, DestroyingClockOrTimerWaitsForARunningFire) {
  for (bool destroyClock : {true, false}) {
    auto clock = std::make_unique<AlarmClock>();
    auto t = std::make_unique<SlowTimer>(clock.get());
    const auto finished = t->finished;
    t->Start(1000);
    ASSERT_TRUE(WaitUntil([&] { return t->started.load(); }));
    if (destroyClock)
      clock.reset();
    else
      t.reset();
    EXPECT_TRUE(finished->load()) << (destroyClock ? "clock" : "timer");
  }
}

}  // namespace
