// Locks and wake-ups shared by the link's threads and the motion workers.
#pragma once

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

// A recursive lock: the same thread may enter again and must leave as often.
class CriticalSection {
 public:
  CriticalSection();
  virtual ~CriticalSection();
  CriticalSection(const CriticalSection&) = delete;
  CriticalSection& operator=(const CriticalSection&) = delete;

  void Enter();
  void Leave();
  bool TryEnter();

 private:
  pthread_mutex_t mutex_;
};

// Scoped Enter/Leave.
class CriticalSectionLocker {
 public:
  explicit CriticalSectionLocker(CriticalSection& cs) : cs_(cs) { cs_.Enter(); }
  ~CriticalSectionLocker() { cs_.Leave(); }
  CriticalSectionLocker(const CriticalSectionLocker&) = delete;
  CriticalSectionLocker& operator=(const CriticalSectionLocker&) = delete;

 private:
  CriticalSection& cs_;
};

// A semaphore with maximum count 1: releasing it while it is already
// released changes nothing, so several releases wake one wait.
class WakeSemaphore {
 public:
  void Release();
  void Wait();
  // True when taken, false after `ms` milliseconds.
  bool WaitFor(uint32_t ms);

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool released_ = false;
};

// A lock with a wake-up. Wait/WaitFor are called with the lock held; they
// leave it while blocked and hold it again on return. Signal wakes a waiter
// only if there is one; several signals before it runs wake it once.
// Waiters always re-check their condition in a loop.
class InterthreadSignal : public CriticalSection {
 public:
  void Wait();
  // The caller treats time-out and wake-up alike; the result (true = woken)
  // is for diagnostics and tests.
  bool WaitFor(uint32_t ms);
  void Signal();
  int Waiters() const { return waiters_.load(std::memory_order_relaxed); }

 private:
  std::atomic<int> waiters_{0};
  WakeSemaphore semaphore_;
};

// Identity of the calling thread for log lines: the thread library's self
// value (low 16 bits shown as %04X) and the kernel thread id.
unsigned ThreadSelfValue();
int ThreadKernelId();

// Puts the calling thread below normal priority: background work (reading
// a program, building its preview, preparing its drawing) gives way to the
// GUI thread, the display server and the threads that drive the machine.
// False when the system refuses.
bool SetBackgroundPriority();

// Writes the level-4 driver log line "<name> self=%04X thread=%d" for the
// calling thread. Every link thread calls it first.
void LogThreadStart(const char* name);

// Processor masks (bit per CPU, first 32 CPUs) of this process and of the
// system, in place of the Windows affinity query. False if unavailable.
bool GetAffinityMasks(uint32_t& process, uint32_t& system);
// Writes the level-3 driver log line "ProcessAffinity=%08X SystemAffinity=%08X".
// No link thread is bound to a processor.
void LogAffinityMasks();
