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

// A time source the test moves by hand; frozen in between.
class ManualTime : public TimeSource {
 public:
  uint64_t NowMicros() override { return now.load(); }
  std::atomic<uint64_t> now{1700000000000000ull};
};

// Polls until `done` holds; bounded so a lost fire fails instead of hanging.
template <typename Pred>
bool WaitUntil(Pred done) {
  const auto end = std::chrono::steady_clock::now() + 10s;
  while (!done() && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(1ms);
  return done();
}

// Collects the ids of fired timers.
struct FireLog {
  std::vector<int> Ids() {
    std::lock_guard<std::mutex> lock(mutex);
    return ids;
  }
  bool WaitFor(size_t n) {
    return WaitUntil([&] { return Ids().size() >= n; });
  }
  std::mutex mutex;
  std::vector<int> ids;
};

class LoggedTimer : public TimerEvent {
 public:
  LoggedTimer(AlarmClock* clock, FireLog* log, int id) : TimerEvent(clock), log_(log), id_(id) {}
  ~LoggedTimer() override { Retire(); }
  void Fire() override {
    std::lock_guard<std::mutex> lock(log_->mutex);
    log_->ids.push_back(id_);
  }

 private:
  FireLog* log_;
  int id_;
};

// A clock on hand-moved time with a fire log.
class ManualClockTest : public ::testing::Test {
 protected:
  // Lets the timer thread see the time; whatever is due fires meanwhile.
  void SetTimeAndSettle(uint64_t t) {
    time.now = t;
    std::this_thread::sleep_for(50ms);
  }
  ManualTime time;
  const uint64_t t0 = time.now;
  AlarmClock clock{&time};
  FireLog log;
};

// Equal expiries fire in start order; a restart moves an armed timer; a
// cancel or a delay of 0 or less disarms.
TEST_F(ManualClockTest, FiresInExpiryOrderAndNothingBeforeItsExpiry) {
  LoggedTimer a(&clock, &log, 1), b(&clock, &log, 2), c(&clock, &log, 3), d(&clock, &log, 4), moved(&clock, &log, 5);
  LoggedTimer zero(&clock, &log, 6), negative(&clock, &log, 7), idle(&clock, &log, 8), cancelled(&clock, &log, 9);
  a.Start(5000);
  b.Start(5000);  // same expiry as a: frozen time
  c.Start(2000);
  d.Start(3000);
  moved.Start(1000);
  moved.Start(4000);
  zero.Start(0);
  negative.Start(2000);
  negative.Start(-5);
  idle.Cancel();
  cancelled.Start(3000);
  cancelled.Cancel();
  EXPECT_EQ(clock.ArmedCount(), 5u);
  SetTimeAndSettle(t0 + 1500);
  EXPECT_TRUE(log.Ids().empty());
  SetTimeAndSettle(t0 + 4000);
  EXPECT_EQ(log.Ids(), (std::vector<int>{3, 4, 5}));  // each once only
  c.Cancel();  // a fired timer stays fired
  EXPECT_EQ(c.State(), TimerEvent::STATE_FIRED);
  EXPECT_EQ(a.State(), TimerEvent::STATE_ARMED);
  time.now = t0 + 10000;
  ASSERT_TRUE(log.WaitFor(5));
  EXPECT_EQ(log.Ids(), (std::vector<int>{3, 4, 5, 1, 2}));
  EXPECT_EQ(clock.ArmedCount(), 0u);
  for (LoggedTimer* t : {&zero, &negative, &idle, &cancelled}) EXPECT_EQ(t->State(), TimerEvent::STATE_IDLE);
}

// The timer thread notices the jump when it wakes for the earliest timer.
TEST_F(ManualClockTest, ClockSetBackFiresTheEarliestAtOnceAndKeepsDistances) {
  LoggedTimer a(&clock, &log, 1), b(&clock, &log, 2);
  a.Start(300000);
  b.Start(600000);
  time.now = t0 - 3600ull * 1000000;
  ASSERT_TRUE(log.WaitFor(1)) << "timers waited for the hour";
  EXPECT_EQ(log.Ids(), std::vector<int>{1});
  EXPECT_EQ(b.Expiry() - a.Expiry(), 300000u);
  time.now = b.Expiry();
  ASSERT_TRUE(log.WaitFor(2));
}

// Start sees the jump itself: the thread sleeps a minute for `far` and
// without the correction would fire it after a minute at the earliest.
TEST_F(ManualClockTest, StartAfterClockWentBackCorrectsArmedTimers) {
  LoggedTimer far(&clock, &log, 1), later(&clock, &log, 2);
  far.Start(60ll * 1000000);
  std::this_thread::sleep_for(20ms);  // let the thread settle into its long wait
  time.now = t0 - 3600ull * 1000000;
  later.Start(3600ll * 1000000);
  ASSERT_TRUE(log.WaitFor(1));
  EXPECT_EQ(log.Ids(), std::vector<int>{1});
  EXPECT_EQ(later.State(), TimerEvent::STATE_ARMED);
}

// A TimeoutEvent restarted from its own handler: the clock's lock is not held
// while firing, and delays under a millisecond are not lost.
struct Repeater {
  void OnTimeout() {
    if (++calls < 5) event->Start(300);
  }
  TimeoutEvent<Repeater>* event = nullptr;
  std::atomic<int> calls{0};
};

TEST(AlarmClockTest, TimeoutEventRestartedFromItsHandlerRepeats) {
  AlarmClock clock;
  Repeater target;
  TimeoutEvent<Repeater> ev(&clock, &target, &Repeater::OnTimeout);
  target.event = &ev;
  ev.Start(300);
  EXPECT_TRUE(WaitUntil([&] { return target.calls.load() == 5; }));
  EXPECT_EQ(ev.State(), TimerEvent::STATE_FIRED);
}

class SlowTimer : public TimerEvent {
 public:
  using TimerEvent::TimerEvent;
  ~SlowTimer() override { Retire(); }
  void Fire() override {
    started.store(true);
    std::this_thread::sleep_for(100ms);
    finished->store(true);
  }
  std::atomic<bool> started{false};
  std::shared_ptr<std::atomic<bool>> finished = std::make_shared<std::atomic<bool>>(false);
};

// Destroying the clock disarms without firing and leaves its timers inert;
// destroying the clock or a timer waits for that timer's running Fire().
TEST(AlarmClockTest, DestroyingClockOrTimer) {
  for (bool destroyClock : {true, false}) {
    auto clock = std::make_unique<AlarmClock>();
    auto slow = std::make_unique<SlowTimer>(clock.get());
    FireLog log;
    LoggedTimer armed(clock.get(), &log, 1);
    const auto finished = slow->finished;
    armed.Start(3600ll * 1000000);
    slow->Start(1000);
    ASSERT_TRUE(WaitUntil([&] { return slow->started.load(); }));
    if (destroyClock) clock.reset();
    else slow.reset();
    EXPECT_TRUE(finished->load()) << (destroyClock ? "clock" : "timer");
    if (!destroyClock) continue;
    EXPECT_EQ(armed.State(), TimerEvent::STATE_IDLE);
    armed.Start(1000);  // no clock any more: nothing happens, nothing crashes
    EXPECT_EQ(armed.State(), TimerEvent::STATE_IDLE);
    EXPECT_TRUE(log.Ids().empty());
  }
}

}  // namespace
