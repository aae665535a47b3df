// quorvane-logview: creates the shared memory the link writes its trace
// into, prints the lines as they arrive and shows the link's counters.
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "base/driverlog.h"

namespace {

using namespace sharedlog;

volatile sig_atomic_t g_stop = 0;
volatile sig_atomic_t g_showStats = 0;

void OnStop(int) { g_stop = 1; }
void OnStats(int) { g_showStats = 1; }

void Usage(FILE* out) {
  std::fprintf(out,
               "usage: quorvane-logview [--name NAME] [--stats SECONDS] [--duration SECONDS] [--keep]\n"
               "  --name NAME        shared memory name (default %s)\n"
               "  --stats SECONDS    print the counters every SECONDS (0 = only on SIGUSR1 and at exit)\n"
               "  --duration SECONDS exit after SECONDS (default: run until Ctrl-C)\n"
               "  --keep             leave the name in place at exit\n",
               kDefaultName);
}

bool ParseSeconds(const char* text, double& out) {
  char* end = nullptr;
  errno = 0;
  out = std::strtod(text, &end);
  return errno == 0 && end != text && *end == '\0' && out >= 0;
}

void PrintStats(const uint8_t* map) {
  const auto* stats = reinterpret_cast<const uint32_t*>(map + kStatsOffset);
  std::printf("--- counters ---\n");
  for (uint32_t i = 0; i < kStatsCount; ++i) {
    const uint32_t v = __atomic_load_n(&stats[i], __ATOMIC_RELAXED);
    std::printf("%-20s %10u%s", DriverStatName(i), v, (i % 3 == 2 || i + 1 == kStatsCount) ? "\n" : "   ");
  }
  std::fflush(stdout);
}

double Seconds() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

}  // namespace

int main(int argc, char** argv) {
  std::string name = kDefaultName;
  double statsEvery = 0, duration = -1;
  bool keep = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      Usage(stdout);
      return 0;
    } else if (arg == "--keep") {
      keep = true;
    } else if (arg == "--name" && i + 1 < argc) {
      name = argv[++i];
      if (name.empty() || name[0] != '/') name = "/" + name;
    } else if (arg == "--stats" && i + 1 < argc) {
      if (!ParseSeconds(argv[++i], statsEvery)) {
        std::fprintf(stderr, "quorvane-logview: bad --stats value '%s'\n", argv[i]);
        return 2;
      }
    } else if (arg == "--duration" && i + 1 < argc) {
      if (!ParseSeconds(argv[++i], duration)) {
        std::fprintf(stderr, "quorvane-logview: bad --duration value '%s'\n", argv[i]);
        return 2;
      }
    } else {
      std::fprintf(stderr, "quorvane-logview: unknown argument '%s'\n", arg.c_str());
      Usage(stderr);
      return 2;
    }
  }

  const int fd = shm_open(name.c_str(), O_RDWR | O_CREAT, 0600);
  if (fd < 0) {
    std::fprintf(stderr, "quorvane-logview: cannot create shared memory %s: %s\n", name.c_str(), std::strerror(errno));
    return 1;
  }
  struct stat st {};
  if (fstat(fd, &st) != 0 || (static_cast<size_t>(st.st_size) < kMappingSize && ftruncate(fd, kMappingSize) != 0)) {
    std::fprintf(stderr, "quorvane-logview: cannot size shared memory %s: %s\n", name.c_str(), std::strerror(errno));
    close(fd);
    return 1;
  }
  void* p = mmap(nullptr, kMappingSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  close(fd);
  if (p == MAP_FAILED) {
    std::fprintf(stderr, "quorvane-logview: cannot map %s: %s\n", name.c_str(), std::strerror(errno));
    return 1;
  }
  auto* map = static_cast<uint8_t*>(p);
  auto* writePos = reinterpret_cast<uint16_t*>(map + kWritePosOffset);
  auto* readPos = reinterpret_cast<uint16_t*>(map + kReadPosOffset);

  struct sigaction sa {};
  sa.sa_handler = OnStop;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  sa.sa_handler = OnStats;
  sigaction(SIGUSR1, &sa, nullptr);

  std::fprintf(stderr, "quorvane-logview: listening on %s (Ctrl-C ends, SIGUSR1 shows the counters)\n", name.c_str());
  const double start = Seconds();
  double nextStats = start + statsEvery;
  char chunk[kRingSize];
  while (!g_stop) {
    const uint16_t w = __atomic_load_n(writePos, __ATOMIC_ACQUIRE);
    uint16_t r = __atomic_load_n(readPos, __ATOMIC_RELAXED);
    if (w >= kRingSize || r >= kRingSize) {
      // Damaged positions: start over behind the writer.
      __atomic_store_n(readPos, static_cast<uint16_t>(w < kRingSize ? w : 0), __ATOMIC_RELEASE);
      continue;
    }
    size_t n = 0;
    while (r != w) {
      chunk[n++] = static_cast<char>(map[kRingOffset + r]);
      r = static_cast<uint16_t>((r + 1) % kRingSize);
    }
    __atomic_store_n(readPos, r, __ATOMIC_RELEASE);
    if (n) {
      std::fwrite(chunk, 1, n, stdout);
      std::fflush(stdout);
    }
    const double now = Seconds();
    if (g_showStats || (statsEvery > 0 && now >= nextStats)) {
      g_showStats = 0;
      nextStats = now + statsEvery;
      PrintStats(map);
    }
    if (duration >= 0 && now - start >= duration) break;
    if (!n) usleep(2000);
  }
  PrintStats(map);
  munmap(map, kMappingSize);
  // The driver keeps its own mapping; without the name, a driver started later
  // finds no viewer and discards its lines instead of filling a dead ring.
  if (!keep) shm_unlink(name.c_str());
  return 0;
}
