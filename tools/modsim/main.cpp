// quorvane-modsim: soft controller modules on one network interface.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "control.h"
#include "driver/src/linkframe.h"
#include "modsim.h"
#include "port.h"
#include "softmodule.h"

namespace {

volatile sig_atomic_t g_stop = 0;
void OnStop(int) { g_stop = 1; }

int OpenControlFifo(const std::string& path) {
  if (mkfifo(path.c_str(), 0600) != 0 && errno != EEXIST) return -1;
  // Read and write: the FIFO stays open when a writer goes away.
  return open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
}

}  // namespace

int main(int argc, char** argv) {
  using namespace modsim;
  Config config;
  std::string error;
  if (argc > 1 && (!std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h"))) {
    std::fputs(Usage(), stdout);
    return 0;
  }
  if (!ParseOptions(argc, argv, config, error)) {
    std::fprintf(stderr, "quorvane-modsim: %s\n%s", error.c_str(), Usage());
    return 2;
  }
  if (!config.seedGiven) config.seed = std::random_device{}() & 0x7FFFFFFF;

  Port port;
  if (!port.Open(config.iface, error)) {
    std::fprintf(stderr, "quorvane-modsim: cannot capture %s: %s\n", config.iface.c_str(), error.c_str());
    return 1;
  }
  const uint64_t start = NowMicros();
  std::vector<std::unique_ptr<SoftModule>> modules;
  for (size_t i = 0; i < config.modules.size(); ++i) {
    modules.push_back(std::make_unique<SoftModule>(config.modules[i], config.seed + i, start));
    if (!modules.back()->Open(error)) {
      std::fprintf(stderr, "quorvane-modsim: %s\n", error.c_str());
      return 1;
    }
  }
  int controlFd = -1;
  if (!config.controlPath.empty() && (controlFd = OpenControlFifo(config.controlPath)) < 0) {
    std::fprintf(stderr, "quorvane-modsim: cannot open control FIFO %s: %s\n", config.controlPath.c_str(),
                 std::strerror(errno));
    return 1;
  }
  const int tick = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
  const long tickNs = static_cast<long>(5000000.0 / config.speed);
  itimerspec period{{0, tickNs}, {0, tickNs}};
  timerfd_settime(tick, 0, &period, nullptr);
  struct sigaction sa {};
  sa.sa_handler = OnStop;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
  if (config.readStdin) fcntl(0, F_SETFL, fcntl(0, F_GETFL) | O_NONBLOCK);

  std::printf("quorvane-modsim ready iface=%s seed=%llu modules=", config.iface.c_str(),
              static_cast<unsigned long long>(config.seed));
  for (size_t i = 0; i < modules.size(); ++i) {
    char mac[18];
    std::printf("%s%s", i ? "," : "", linkframe::MacText(modules[i]->Mac(), mac));
  }
  std::printf("\n");
  std::fflush(stdout);

  Control control(modules);
  LineReader stdinLines, fifoLines;
  bool stdinOpen = config.readStdin;
  std::vector<Frame> send;
  auto flushSends = [&] {
    for (const Frame& f : send) port.Send(f.data(), f.size());
    send.clear();
  };
  auto handleLines = [&](LineReader& reader) {
    std::string line;
    while (reader.NextLine(line)) {
      std::string why;
      const bool ok = control.Apply(line, NowMicros(), why);
      std::printf(ok ? "ok\n" : "error: %s\n", why.c_str());
      std::fflush(stdout);
    }
  };

  while (!g_stop && !control.QuitRequested()) {
    pollfd fds[4];
    int n = 0;
    fds[n++] = {port.Fd(), POLLIN, 0};
    fds[n++] = {tick, POLLIN, 0};
    const int stdinSlot = stdinOpen ? n : -1;
    if (stdinOpen) fds[n++] = {0, POLLIN, 0};
    const int fifoSlot = controlFd >= 0 ? n : -1;
    if (controlFd >= 0) fds[n++] = {controlFd, POLLIN, 0};
    uint64_t next = UINT64_MAX;
    for (auto& m : modules) next = std::min(next, m->NextDue());
    const uint64_t now = NowMicros();
    int timeoutMs = 5;
    if (next != UINT64_MAX) timeoutMs = next <= now ? 0 : static_cast<int>(std::min<uint64_t>((next - now + 999) / 1000, 5));
    if (poll(fds, static_cast<nfds_t>(n), timeoutMs) < 0 && errno != EINTR) break;

    const uint8_t* data = nullptr;
    size_t length = 0;
    while (port.Next(data, length)) {
      const uint64_t t = NowMicros();
      for (auto& m : modules)
        if (m->Wants(data, length)) m->Receive(data, length, t, send);
      flushSends();
    }
    const uint64_t t = NowMicros();
    for (auto& m : modules) m->Due(t, send);
    flushSends();
    uint64_t expirations = 0;
    if ((fds[1].revents & POLLIN) && read(tick, &expirations, sizeof expirations) > 0) {
      // Ticks missed while busy still count for the module's pace.
      // Each at the time it was due, so the record keeps 5 ms between them.
      const uint64_t n = std::min<uint64_t>(expirations, 20);
      const uint64_t periodUs = static_cast<uint64_t>(tickNs / 1000);
      for (uint64_t k = 0; k < n; ++k)
        for (auto& m : modules) m->Tick(std::max(start, t - std::min(t, (n - 1 - k) * periodUs)));
    }
    if (stdinSlot >= 0 && (fds[stdinSlot].revents & (POLLIN | POLLHUP))) {
      stdinOpen = stdinLines.Fill(0);
      handleLines(stdinLines);
    }
    if (fifoSlot >= 0 && (fds[fifoSlot].revents & POLLIN)) {
      fifoLines.Fill(controlFd);
      handleLines(fifoLines);
    }
  }
  for (auto& m : modules) m->Record().Flush();
  if (controlFd >= 0) close(controlFd);
  close(tick);
  return 0;
}
