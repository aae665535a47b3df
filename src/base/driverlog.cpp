#include "base/driverlog.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>

#include "base/timebase.h"

namespace {

using namespace sharedlog;

constexpr size_t kMaxLine = 1024;  // a line never needs a quarter of the ring

std::atomic<uint32_t> g_level{15};
std::atomic<uint32_t> g_mask{0x200};
std::atomic<uint32_t> g_maxWait{50000};

// Guards the mapping pointer, the write position and the ring.
std::mutex g_mutex;
uint8_t* g_map = nullptr;
std::atomic<bool> g_mapped{false};  // lets callers skip formatting without a viewer
bool g_stalled = false;       // a line was dropped and the viewer has not read since
uint16_t g_stalledRead = 0;   // read position seen when the line was dropped

uint32_t g_privateStats[kStatsCount];
std::atomic<uint32_t*> g_stats{g_privateStats};

std::atomic_ref<uint16_t> Pos(size_t offset) { return std::atomic_ref<uint16_t>(*reinterpret_cast<uint16_t*>(g_map + offset)); }

uint64_t MonotonicMicros() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}

// Appends one line (g_mutex held, mapping present). Returns false if dropped.
bool AppendLocked(std::unique_lock<std::mutex>& lock, const char* line, size_t n) {
  uint64_t deadline = 0;
  for (;;) {
    if (!g_map) return false;  // closed while we slept
    uint16_t w = Pos(kWritePosOffset).load(std::memory_order_relaxed);
    const uint16_t r = Pos(kReadPosOffset).load(std::memory_order_acquire);
    if (r >= kRingSize) return false;  // the viewer wrote nonsense: never write past the ring
    if (w >= kRingSize) w = r;         // ours was damaged: restart behind the reader
    const size_t used = (w + kRingSize - r) % kRingSize;
    if (n + used < kRingSize) {
      const size_t first = std::min(n, kRingSize - w);
      std::memcpy(g_map + kRingOffset + w, line, first);
      std::memcpy(g_map + kRingOffset, line + first, n - first);
      Pos(kWritePosOffset).store(static_cast<uint16_t>((w + n) % kRingSize), std::memory_order_release);
      g_stalled = false;
      return true;
    }
    if (g_stalled && r == g_stalledRead) return false;
    const uint64_t now = MonotonicMicros();
    if (deadline == 0) {
      deadline = now + g_maxWait.load(std::memory_order_relaxed);
    } else if (now >= deadline) {
      g_stalled = true;
      g_stalledRead = r;
      return false;
    }
    lock.unlock();
    SleepMicros(100);
    lock.lock();
  }
}

}  // namespace

bool DriverLogOpen(const char* name) {
  DriverLogClose();
  std::lock_guard<std::mutex> lock(g_mutex);
  g_level.store(15);
  g_mask.store(0x200);
  std::memset(g_privateStats, 0, sizeof g_privateStats);
  const int fd = shm_open(name ? name : kDefaultName, O_RDWR, 0);
  if (fd < 0) return false;
  struct stat st {};
  void* p = MAP_FAILED;
  // A mapping smaller than the layout is not ours: touching it would fault.
  if (fstat(fd, &st) == 0 && static_cast<size_t>(st.st_size) >= kMappingSize)
    p = mmap(nullptr, kMappingSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  close(fd);
  if (p == MAP_FAILED) return false;
  g_map = static_cast<uint8_t*>(p);
  g_mapped.store(true);
  g_stalled = false;
  uint32_t* stats = reinterpret_cast<uint32_t*>(g_map + kStatsOffset);
  for (size_t i = 0; i < kStatsCount; ++i) std::atomic_ref<uint32_t>(stats[i]).store(0);
  g_stats.store(stats);
  return true;
}

void DriverLogClose() {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (!g_map) return;
  // Later counts go to the private block; the link's threads have ended by now.
  g_stats.store(g_privateStats);
  munmap(g_map, kMappingSize);
  g_map = nullptr;
  g_mapped.store(false);
}

bool DriverLogIsMapped() {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_map != nullptr;
}

void DriverLogSetFilter(uint32_t level, uint32_t mask) {
  g_level.store(level);
  g_mask.store(mask);
}

bool DriverLogEnabled(uint32_t code) {
  return g_level.load(std::memory_order_relaxed) >= (code & 0xFu) && (g_mask.load(std::memory_order_relaxed) & code) != 0;
}

void DriverLogSetMaxWait(uint32_t micros) { g_maxWait.store(micros); }

void DriverLogFormatted(uint32_t code, const char* format, ...) {
  if (!DriverLogEnabled(code) || !g_mapped.load(std::memory_order_relaxed)) return;
  char line[kMaxLine];
  const uint64_t now = GetTimeMicros();
  const uint64_t secs = now / 1000000u;
  const unsigned secOfDay = static_cast<unsigned>(secs % 86400u);
  int len = std::snprintf(line, sizeof line, "%02d:%02d:%02d.%06d ", static_cast<int>(secOfDay / 3600),
                          static_cast<int>(secOfDay / 60 % 60), static_cast<int>(secOfDay % 60),
                          static_cast<int>(now % 1000000u));
  va_list ap;
  va_start(ap, format);
  const int body = std::vsnprintf(line + len, sizeof line - static_cast<size_t>(len) - 1, format, ap);
  va_end(ap);
  if (body < 0) return;
  size_t n = static_cast<size_t>(len) + static_cast<size_t>(body);
  if (n > sizeof line - 2) {
    n = sizeof line - 2;
    DriverStatAdd(STAT_LOG_TRUNCATED);
  }
  line[n++] = '\n';

  std::unique_lock<std::mutex> lock(g_mutex);
  if (!g_map) return;
  if (AppendLocked(lock, line, n)) {
    DriverStatAdd(STAT_LOG_LINES);
  } else {
    DriverStatAdd(STAT_LOG_DROPPED);
  }
}

void DriverStatAdd(DriverStat counter, uint32_t n) {
  if (counter >= STAT_COUNT) return;
  std::atomic_ref<uint32_t>(g_stats.load(std::memory_order_acquire)[counter]).fetch_add(n, std::memory_order_relaxed);
}

void DriverStatSet(DriverStat counter, uint32_t value) {
  if (counter >= STAT_COUNT) return;
  std::atomic_ref<uint32_t>(g_stats.load(std::memory_order_acquire)[counter]).store(value, std::memory_order_relaxed);
}

uint32_t DriverStatGet(DriverStat counter) {
  if (counter >= STAT_COUNT) return 0;
  return std::atomic_ref<uint32_t>(g_stats.load(std::memory_order_acquire)[counter]).load(std::memory_order_relaxed);
}

const char* DriverStatName(uint32_t counter) {
  static const char* const kNames[STAT_COUNT] = {
      "scans",           "scan answers",     "modules found",    "opens",           "opens ok",
      "closes",          "cmd position",     "cmd outputs",      "cmd pwm",         "cmd stop condition",
      "cmd parameter",   "cmd mapping",      "cmd raw",          "cmd nop",         "cmd other",
      "read position",   "read status",      "read inputs",      "sync",            "buffer waits",
      "frames received", "frames accepted",  "frames duplicate", "frames sent",     "frames repeated",
      "send failed",     "no-ack timeouts",  "connections lost", "errors",          "asserts",
      "bundles",         "idle pings",       "read progress",    "send progress",   "timer fires",
      "clock backwards", "log lines",        "log dropped",      "log truncated",
  };
  return counter < STAT_COUNT ? kNames[counter] : "?";
}
