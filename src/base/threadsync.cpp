#include "base/threadsync.h"

#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>

#include "base/driverlog.h"

CriticalSection::CriticalSection() {
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutex_init(&mutex_, &attr);
  pthread_mutexattr_destroy(&attr);
}

CriticalSection::~CriticalSection() { pthread_mutex_destroy(&mutex_); }

void CriticalSection::Enter() { pthread_mutex_lock(&mutex_); }
void CriticalSection::Leave() { pthread_mutex_unlock(&mutex_); }
bool CriticalSection::TryEnter() { return pthread_mutex_trylock(&mutex_) == 0; }

void WakeSemaphore::Release() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    released_ = true;
  }
  cv_.notify_one();
}

void WakeSemaphore::Wait() {
  std::unique_lock<std::mutex> lock(mutex_);
  cv_.wait(lock, [this] { return released_; });
  released_ = false;
}

bool WakeSemaphore::WaitFor(uint32_t ms) {
  std::unique_lock<std::mutex> lock(mutex_);
  // steady_clock: a wall-clock jump must not stretch the time-out.
  if (!cv_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return released_; })) return false;
  released_ = false;
  return true;
}

void InterthreadSignal::Wait() {
  waiters_.fetch_add(1, std::memory_order_relaxed);
  Leave();
  semaphore_.Wait();
  Enter();
  waiters_.fetch_sub(1, std::memory_order_relaxed);
}

bool InterthreadSignal::WaitFor(uint32_t ms) {
  waiters_.fetch_add(1, std::memory_order_relaxed);
  Leave();
  const bool woken = semaphore_.WaitFor(ms);
  Enter();
  waiters_.fetch_sub(1, std::memory_order_relaxed);
  return woken;
}

void InterthreadSignal::Signal() {
  if (waiters_.load(std::memory_order_relaxed) > 0) semaphore_.Release();
}

// pthread_t is an integer on glibc.
unsigned ThreadSelfValue() { return static_cast<unsigned>(pthread_self()); }

int ThreadKernelId() { return static_cast<int>(syscall(SYS_gettid)); }

bool SetBackgroundPriority() {
  // Per thread on Linux: the nice value of a thread id. 10 weighs a tenth of
  // a normal thread when both want the processor.
  constexpr int kBackgroundNice = 10;
  return setpriority(PRIO_PROCESS, static_cast<id_t>(ThreadKernelId()), kBackgroundNice) == 0;
}

void LogThreadStart(const char* name) {
  DriverLog(DLOG_DETAIL, "%s self=%04X thread=%d", name, ThreadSelfValue() & 0xFFFFu, ThreadKernelId());
}

bool GetAffinityMasks(uint32_t& process, uint32_t& system) {
  process = system = 0;
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) != 0) return false;
  for (int i = 0; i < 32; ++i)
    if (CPU_ISSET(i, &set)) process |= 1u << i;
  const long n = sysconf(_SC_NPROCESSORS_CONF);
  for (long i = 0; i < n && i < 32; ++i) system |= 1u << i;
  return true;
}

void LogAffinityMasks() {
  uint32_t process = 0, system = 0;
  GetAffinityMasks(process, system);
  DriverLog(DLOG_INFO, "ProcessAffinity=%08X SystemAffinity=%08X", process, system);
}
