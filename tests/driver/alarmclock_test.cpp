// Timer service: order, restarts, cancels, clock jumps and shutdown.
#include "driver/src/alarmclock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
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
  void Add(int id) { std::lock_guard<std::mutex> lock(mutex); ids.push_back(id); }
  std::vector<int> Ids() { std::lock_guard<std::mutex> lock(mutex); return ids; }
  bool WaitFor(size_t n) { return WaitUntil([&] { return Ids().size() >= n; }); }
  std::mutex mutex;
  std::vector<int> ids;
};

// Logs its id when it fires; a slow one logs id + 1 when its Fire() ends, a
// while later.
struct LoggedTimer : TimerEvent {
  LoggedTimer(AlarmClock* clock, FireLog* log, int id, bool slow = false)
      : TimerEvent(clock), log(log), id(id), slow(slow) {}
  ~LoggedTimer() override { Retire(); }
  void Fire() override {
    log->Add(id);
    if (!slow) return;
    std::this_thread::sleep_for(100ms);
    log->Add(id + 1);
  }
  FireLog* log;
  int id;
  bool slow;
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
  std::vector<std::unique_ptr<LoggedTimer>> t;
  for (int id = 0; id <= 9; ++id) t.push_back(std::make_unique<LoggedTimer>(&clock, &log, id));
  // {timer, delay} in start order; 1 and 2 share an expiry (frozen time).
  const std::pair<int, int64_t> starts[] = {{1, 5000}, {2, 5000}, {3, 2000}, {4, 3000}, {5, 1000},
                                            {5, 4000}, {6, 0},    {7, 2000}, {7, -5},   {9, 3000}};
  for (const auto& [id, delay] : starts) t[id]->Start(delay);
  for (int id : {8, 9}) t[id]->Cancel();  // 8 was never started
  auto settle = [&](uint64_t now) {  // the timer thread sees the time; whatever is due fires
    time.now = now;
    std::this_thread::sleep_for(50ms);
    return log.Ids();
  };
  EXPECT_TRUE(settle(t0 + 1500).empty());
  EXPECT_EQ(settle(t0 + 4000), (std::vector<int>{3, 4, 5}));  // each once only
  t[3]->Cancel();  // a fired timer stays fired
  EXPECT_EQ(t[3]->State(), TimerEvent::STATE_FIRED);
  time.now = t0 + 10000;
  ASSERT_TRUE(log.WaitFor(5));
  EXPECT_EQ(log.Ids(), (std::vector<int>{3, 4, 5, 1, 2}));
  EXPECT_EQ(clock.ArmedCount(), 0u);
  for (int id : {6, 7, 8, 9}) EXPECT_EQ(t[id]->State(), TimerEvent::STATE_IDLE) << id;
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
  void OnTimeout() { if (++calls < 5) event->Start(300); }
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

// Destroying the clock disarms without firing and leaves its timers inert;
// destroying the clock or a timer waits for that timer's running Fire().
TEST(AlarmClockTest, DestroyingClockOrTimer) {
  for (bool destroyClock : {true, false}) {
    FireLog log;
    auto clock = std::make_unique<AlarmClock>();
    auto slow = std::make_unique<LoggedTimer>(clock.get(), &log, 1, true);
    LoggedTimer armed(clock.get(), &log, 3);
    armed.Start(3600ll * 1000000);
    slow->Start(1000);
    ASSERT_TRUE(log.WaitFor(1));
    destroyClock ? clock.reset() : slow.reset();
    EXPECT_EQ(log.Ids(), (std::vector<int>{1, 2})) << (destroyClock ? "clock" : "timer");
    if (!destroyClock) continue;
    EXPECT_EQ(armed.State(), TimerEvent::STATE_IDLE);
    armed.Start(1000);  // no clock any more: nothing happens, nothing crashes
    EXPECT_EQ(armed.State(), TimerEvent::STATE_IDLE);
  }
}

}  // namespace
