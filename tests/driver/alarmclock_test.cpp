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
struct ManualTime : TimeSource {
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
  void Add(int id) {
    std::lock_guard<std::mutex> lock(mutex);
    ids.push_back(id);
  }
  std::vector<int> Ids() {
    std::lock_guard<std::mutex> lock(mutex);
    return ids;
  }
  bool WaitFor(size_t n) { return WaitUntil([&] { return Ids().size() >= n; }); }
  std::mutex mutex;
  std::vector<int> ids;
};

struct LoggedTimer : TimerEvent {
  LoggedTimer(AlarmClock* clock, FireLog* log, int id) : TimerEvent(clock), log(log), id(id) {}
  ~LoggedTimer() override { Retire(); }
  void Fire() override { log->Add(id); }
  FireLog* log;
  int id;
};

// A clock on hand-moved time with a fire log.
struct ManualClockTest : ::testing::Test {
  ManualTime time;
  const uint64_t t0 = time.now;
  FireLog log;
  AlarmClock clock{&time};
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
  auto settle = [&](uint64_t t) {  // the timer thread sees the time; whatever is due fires
    time.now = t;
    std::this_thread::sleep_for(50ms);
    return log.Ids();
  };
  EXPECT_TRUE(settle(t0 + 1500).empty());
  EXPECT_EQ(settle(t0 + 4000), (std::vector<int>{3, 4, 5}));  // each once only
  c.Cancel();  // a fired timer stays fired
  EXPECT_EQ(c.State(), TimerEvent::STATE_FIRED);
  time.now = t0 + 10000;
  ASSERT_TRUE(log.WaitFor(5));
  EXPECT_EQ(log.Ids(), (std::vector<int>{3, 4, 5, 1, 2}));
  EXPECT_EQ(clock.ArmedCount(), 0u);
  for (LoggedTimer* t : {&zero, &negative, &idle, &cancelled}) EXPECT_EQ(t->State(), TimerEvent::STATE_IDLE);
}

// Start and the timer thread each notice a clock set back: the earliest
// timer fires at once and the others keep their distance to it.
TEST_F(ManualClockTest, ClockSetBackFiresTheEarliestAtOnceAndKeepsDistances) {
  LoggedTimer a(&clock, &log, 1), b(&clock, &log, 2), c(&clock, &log, 3);
  a.Start(60ll * 1000000);
  std::this_thread::sleep_for(20ms);  // the thread settles into a minute's wait for a
  time.now = t0 - 3600ull * 1000000;
  b.Start(300000);
  ASSERT_TRUE(log.WaitFor(1)) << "a waited for the hour";
  c.Start(600000);
  time.now = t0 - 7200ull * 1000000;  // seen when the thread wakes for b
  ASSERT_TRUE(log.WaitFor(2)) << "b waited for the hour";
  EXPECT_EQ(log.Ids(), (std::vector<int>{1, 2}));
  EXPECT_EQ(c.Expiry() - b.Expiry(), 300000u);
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

// Logs 1 when its Fire() starts and 2 when it ends, a while later.
struct SlowTimer : TimerEvent {
  SlowTimer(AlarmClock* clock, FireLog* log) : TimerEvent(clock), log(log) {}
  ~SlowTimer() override { Retire(); }
  void Fire() override {
    log->Add(1);
    std::this_thread::sleep_for(100ms);
    log->Add(2);
  }
  FireLog* log;
};

// Destroying the clock disarms without firing and leaves its timers inert;
// destroying the clock or a timer waits for that timer's running Fire().
TEST(AlarmClockTest, DestroyingClockOrTimer) {
  for (bool destroyClock : {true, false}) {
    FireLog log;
    auto clock = std::make_unique<AlarmClock>();
    auto slow = std::make_unique<SlowTimer>(clock.get(), &log);
    LoggedTimer armed(clock.get(), &log, 3);
    armed.Start(3600ll * 1000000);
    slow->Start(1000);
    ASSERT_TRUE(log.WaitFor(1));
    if (destroyClock) clock.reset();
    else slow.reset();
    EXPECT_EQ(log.Ids(), (std::vector<int>{1, 2})) << (destroyClock ? "clock" : "timer");
    if (!destroyClock) continue;
    EXPECT_EQ(armed.State(), TimerEvent::STATE_IDLE);
    armed.Start(1000);  // no clock any more: nothing happens, nothing crashes
    EXPECT_EQ(armed.State(), TimerEvent::STATE_IDLE);
  }
}

}  // namespace
