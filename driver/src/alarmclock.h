// The link's timer service: one timer thread fires TimerEvents in expiry
// order. Timers are owned by their users, never by the clock.
#pragma once

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <unordered_set>

#include "base/threadsync.h"
#include "base/timebase.h"

class TimerEvent;

class AlarmClock {
 public:
  // `source` (not owned) replaces the system wall clock; tests use it to set
  // the clock back. It must outlive the clock.
  explicit AlarmClock(TimeSource* source = nullptr);
  virtual ~AlarmClock();
  AlarmClock(const AlarmClock&) = delete;
  AlarmClock& operator=(const AlarmClock&) = delete;

  // Reads this clock's time source (also stores it as the current time).
  uint64_t Now();
  // Timer granularity in ms the service was set up for (5 ms).
  uint32_t Period() const { return period_; }
  size_t ArmedCount();

 private:
  friend class TimerEvent;
  using TimerMap = std::multimap<uint64_t, TimerEvent*>;

  static void* ThreadEntry(void* self);
  void Run();
  // Called with the lock held when `now` is earlier than the last look at the
  // clock: moves every armed timer earlier by the earliest one's distance.
  void CorrectBackwards(uint64_t now);
  bool OnTimerThread() const;

  TimerMap map_;  // equal expiries stay in insertion order
  // Every timer built on this clock: the destructor detaches them, so a timer
  // that outlives its clock by mistake is inert instead of dangling.
  std::unordered_set<TimerEvent*> timers_;
  InterthreadSignal signal_;
  std::atomic<bool> running_{false};
  pthread_t thread_{};
  bool threadStarted_ = false;
  uint32_t period_ = 5;
  TimeSource* source_;
  uint64_t lastTime_ = 0;  // the time at the previous look at the clock

  // A timer taken out of the map whose Fire() has not returned yet; its
  // destructor waits for it so the timer thread never touches a dead timer.
  std::mutex fireMutex_;
  std::condition_variable fireDone_;
  TimerEvent* firing_ = nullptr;
};

class TimerEvent {
 public:
  enum { STATE_DESTROYED = 0, STATE_ARMED = 1, STATE_FIRED = 2, STATE_IDLE = 3 };

  explicit TimerEvent(AlarmClock* clock);
  virtual ~TimerEvent();
  TimerEvent(const TimerEvent&) = delete;
  TimerEvent& operator=(const TimerEvent&) = delete;

  // Arms the timer `delayMicros` from now, moving it if already armed.
  // A delay of 0 or less only cancels.
  void Start(int64_t delayMicros);
  // Disarms an armed timer; a fired or idle timer stays as it is.
  void Cancel();

  int State() const { return state_.load(std::memory_order_acquire); }
  uint64_t Expiry() const { return expiry_.load(std::memory_order_relaxed); }

  // Runs on the timer thread, outside the clock's lock, after the timer left
  // the map. May restart or cancel any timer. Can run once after a restart
  // raced with the expiry: handlers re-check their state.
  virtual void Fire() {}

 protected:
  // Cancels and waits for a pending Fire(); derived destructors call it first
  // so Fire() never sees a half-destroyed object.
  void Retire();

 private:
  friend class AlarmClock;
  std::atomic<AlarmClock*> clock_;
  std::atomic<uint64_t> expiry_{0};
  std::atomic<int> state_{STATE_IDLE};
  AlarmClock::TimerMap::iterator pos_{};
  bool retired_ = false;
};

// A timer that calls a member function of its target.
template <class T>
class TimeoutEvent : public TimerEvent {
 public:
  using Handler = void (T::*)();
  TimeoutEvent(AlarmClock* clock, T* target, Handler handler) : TimerEvent(clock), target_(target), handler_(handler) {}
  ~TimeoutEvent() override {
    Retire();
    target_ = nullptr;
    handler_ = nullptr;
  }
  void Fire() override {
    if (target_ && handler_) (target_->*handler_)();
  }

 private:
  T* target_;
  Handler handler_;
};
