#include "driver/src/alarmclock.h"

#include <sched.h>

#include <algorithm>
#include <ctime>

#include "base/assertion.h"
#include "base/driverlog.h"

AlarmClock::AlarmClock(TimeSource* source) : source_(source ? source : &SystemTimeSource()) {
  // No multimedia timer here: the clock's resolution bounds the period instead.
  timespec res{};
  QASSERT(clock_getres(CLOCK_REALTIME, &res) == 0, "clock_getres (CLOCK_REALTIME, &res) == 0");
  const uint64_t resMs = (static_cast<uint64_t>(res.tv_sec) * 1000000000u + static_cast<uint64_t>(res.tv_nsec) + 999999u) / 1000000u;
  period_ = static_cast<uint32_t>(std::clamp<uint64_t>(5, std::max<uint64_t>(resMs, 1), 1000000));
  lastTime_ = Now();
  // Set before the thread starts, so a clock destroyed at once cannot miss it.
  running_.store(true);
  threadStarted_ = pthread_create(&thread_, nullptr, &AlarmClock::ThreadEntry, this) == 0;
  QASSERT(threadStarted_, "AlarmClock: pthread_create() failed");
}

AlarmClock::~AlarmClock() {
  signal_.Enter();
  running_.store(false);
  for (auto& entry : map_) entry.second->state_.store(TimerEvent::STATE_IDLE, std::memory_order_release);
  map_.clear();
  signal_.Signal();
  signal_.Leave();
  if (threadStarted_) pthread_join(thread_, nullptr);
  CriticalSectionLocker lock(signal_);
  for (TimerEvent* t : timers_) t->clock_.store(nullptr);
  timers_.clear();
}

uint64_t AlarmClock::Now() { return GetTimeMicros(*source_); }

size_t AlarmClock::ArmedCount() {
  CriticalSectionLocker lock(signal_);
  return map_.size();
}

bool AlarmClock::OnTimerThread() const { return threadStarted_ && pthread_equal(pthread_self(), thread_); }

void* AlarmClock::ThreadEntry(void* self) {
  static_cast<AlarmClock*>(self)->Run();
  return nullptr;
}

void AlarmClock::CorrectBackwards(uint64_t now) {
  if (map_.empty()) return;
  const uint64_t earliest = map_.begin()->first;
  if (earliest <= now) return;
  const uint64_t d = earliest - now;
  // Every key drops by the same amount: order (and insertion order of equal
  // keys) is kept by re-inserting at the end.
  TimerMap moved;
  for (auto& entry : map_) {
    TimerEvent* t = entry.second;
    t->expiry_.store(entry.first - d, std::memory_order_relaxed);
    t->pos_ = moved.emplace_hint(moved.end(), entry.first - d, t);
  }
  map_.swap(moved);
  DriverStatAdd(STAT_CLOCK_BACKWARDS);
  DriverLog(DLOG_NOTICE, "AlarmClock: clock went back, timers moved by %llu us", static_cast<unsigned long long>(d));
}

void AlarmClock::Run() {
  LogThreadStart("TimerThread");
  // Normal priority is the default scheduling policy: nothing to change.
  while (running_.load()) {
    TimerEvent* due = nullptr;
    signal_.Enter();
    if (!running_.load()) {
      signal_.Leave();
      break;
    }
    if (map_.empty()) {
      signal_.Wait();
    } else {
      TimerEvent* first = map_.begin()->second;
      const uint64_t now = Now();
      const int32_t d = TimeDiff(map_.begin()->first, now);
      if (d <= 0) {
        map_.erase(map_.begin());
        first->state_.store(TimerEvent::STATE_FIRED, std::memory_order_release);
        due = first;
        std::lock_guard<std::mutex> lock(fireMutex_);
        firing_ = due;
      } else if (now >= lastTime_) {
        lastTime_ = now;
        const uint32_t ms = static_cast<uint32_t>(d / 1000);
        if (ms > 0) signal_.WaitFor(ms);
      } else {
        CorrectBackwards(now);
        lastTime_ = now;
      }
    }
    signal_.Leave();
    if (due) {
      DriverStatAdd(STAT_TIMER_FIRES);
      due->Fire();
      {
        std::lock_guard<std::mutex> lock(fireMutex_);
        firing_ = nullptr;
      }
      fireDone_.notify_all();
    }
  }
}

TimerEvent::TimerEvent(AlarmClock* clock) : clock_(clock) {
  if (!clock) return;
  CriticalSectionLocker lock(clock->signal_);
  clock->timers_.insert(this);
}

TimerEvent::~TimerEvent() {
  Retire();
  state_.store(STATE_DESTROYED, std::memory_order_release);
}

void TimerEvent::Retire() {
  AlarmClock* clock = clock_.load();
  if (retired_ || !clock) return;
  retired_ = true;
  Cancel();
  if (!clock->OnTimerThread()) {  // not deleted from its own (or another's) Fire()
    std::unique_lock<std::mutex> lock(clock->fireMutex_);
    clock->fireDone_.wait(lock, [this, clock] { return clock->firing_ != this; });
  }
  CriticalSectionLocker lock(clock->signal_);
  clock->timers_.erase(this);
  clock_.store(nullptr);
}

void TimerEvent::Start(int64_t delayMicros) {
  AlarmClock* clock = clock_.load();
  if (!clock) return;
  CriticalSectionLocker lock(clock->signal_);
  auto& map = clock->map_;
  bool wake = false;
  if (state_.load(std::memory_order_relaxed) == STATE_ARMED) {
    wake = pos_ == map.begin();
    map.erase(pos_);
    state_.store(STATE_IDLE, std::memory_order_release);
  }
  if (delayMicros > 0 && clock->running_.load()) {
    const uint64_t now = clock->Now();
    if (now < clock->lastTime_) {
      clock->CorrectBackwards(now);
      wake = true;  // the earliest timer may be due at once
    }
    clock->lastTime_ = now;
    const uint64_t expiry = now + static_cast<uint64_t>(delayMicros);
    expiry_.store(expiry, std::memory_order_relaxed);
    pos_ = map.emplace(expiry, this);  // after existing equal keys
    state_.store(STATE_ARMED, std::memory_order_release);
    if (pos_ == map.begin()) wake = true;
  }
  if (wake) clock->signal_.Signal();
}

void TimerEvent::Cancel() {
  AlarmClock* clock = clock_.load();
  if (!clock) return;
  CriticalSectionLocker lock(clock->signal_);
  if (state_.load(std::memory_order_relaxed) != STATE_ARMED) return;
  const bool wasFirst = pos_ == clock->map_.begin();
  clock->map_.erase(pos_);
  state_.store(STATE_IDLE, std::memory_order_release);
  if (wasFirst) clock->signal_.Signal();
}
