// quorvane-vfdsim: a frequency converter on a Modbus RTU line, for tests and
// commissioning. It makes the line itself: a pseudo-terminal for the master
// (the controller module) and one for its own libmodbus server, joined by a
// wire that passes each character after its 11 bit times at the baud rate
// the master set, and garbles it when the two ends disagree on the baud.
//
// Registers (Modbus numbers from 0):
//   holding 1  speed set-point, rpm (written by the master)
//   holding 2  status: bit 0 running, bit 1 running at the set-point
//   input 3    actual speed, rpm, ramping towards the set-point; mirrored
//              in holding 3 for masters that read holding registers only
//   holding 10..99  parameters, initially 1000 + their number
// Any other register is answered with exception 2 (illegal data address).
#include <fcntl.h>
#include <modbus/modbus.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int kRegisters = 100;
constexpr int kSetPoint = 1, kStatus = 2, kActual = 3, kParamFirst = 10;

volatile sig_atomic_t g_stop = 0;
void OnStop(int) { g_stop = 1; }

using Clock = std::chrono::steady_clock;

// One end of the line: a pseudo-terminal in raw mode whose slave side is
// also held open here, so the master never reads an end of file while the
// other program has not opened it yet.
struct PtyEnd {
  int master = -1;
  int slaveHold = -1;
  std::string path;
  bool Open() {
    master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return false;
    const char* name = ptsname(master);
    if (!name) return false;
    path = name;
    slaveHold = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios t{};
    if (slaveHold < 0 || tcgetattr(slaveHold, &t) != 0) return false;
    cfmakeraw(&t);
    return tcsetattr(slaveHold, TCSANOW, &t) == 0 && fcntl(master, F_SETFL, O_NONBLOCK) == 0;
  }
  // The baud rate the program on the slave side set (0 if unknown).
  int Baud() const {
    termios t{};
    if (tcgetattr(slaveHold, &t) != 0) return 0;
    static const std::pair<speed_t, int> table[] = {
        {B1200, 1200},     {B2400, 2400},     {B4800, 4800},     {B9600, 9600},     {B19200, 19200},
        {B38400, 38400},   {B57600, 57600},   {B115200, 115200}, {B230400, 230400}, {B460800, 460800},
        {B921600, 921600}};
    const speed_t s = cfgetospeed(&t);
    for (const auto& [code, baud] : table)
      if (code == s) return baud;
    return 0;
  }
};

// The wire between the two ends.
class Wire {
 public:
  Wire(PtyEnd& module, PtyEnd& drive, int driveBaud) : module_(module), drive_(drive), driveBaud_(driveBaud) {}
  void Start() { thread_ = std::thread([this] { Run(); }); }
  void Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  std::atomic<int> corruptAnswers{0};  // answers still to leave with a wrong CRC
  std::atomic<long> bytesToDrive{0}, bytesToModule{0};

 private:
  struct Pending {
    Clock::time_point due;
    uint8_t byte;
  };
  struct Direction {
    int from, to;
    std::deque<Pending> queue;
    Clock::time_point lineFree{};
  };

  void Take(Direction& d, bool toDrive) {
    uint8_t buf[512];
    const ssize_t n = read(d.from, buf, sizeof buf);
    if (n <= 0) return;
    const int moduleBaud = module_.Baud();
    const int baud = moduleBaud > 0 ? moduleBaud : driveBaud_;
    const bool garble = moduleBaud != driveBaud_;
    if (!toDrive && corruptAnswers > 0) {
      // The last byte of an answer is the CRC's high byte.
      buf[n - 1] ^= 0xA5;
      --corruptAnswers;
    }
    const auto charTime = std::chrono::nanoseconds(static_cast<long>(11e9 / baud));
    Clock::time_point t = std::max(Clock::now(), d.lineFree);
    for (ssize_t i = 0; i < n; ++i) {
      t += charTime;
      d.queue.push_back(Pending{t, static_cast<uint8_t>(garble ? buf[i] ^ 0x5A : buf[i])});
    }
    d.lineFree = t;
    (toDrive ? bytesToDrive : bytesToModule) += n;
  }

  void Release(Direction& d) {
    // Characters whose last bit has arrived, written together.
    uint8_t out[512];
    size_t k = 0;
    const auto now = Clock::now();
    while (!d.queue.empty() && d.queue.front().due <= now && k < sizeof out) {
      out[k++] = d.queue.front().byte;
      d.queue.pop_front();
    }
    if (k > 0 && write(d.to, out, k) < 0 && errno != EAGAIN) std::perror("quorvane-vfdsim: wire");
  }

  void Run() {
    Direction toDrive{module_.master, drive_.master, {}, {}};
    Direction toModule{drive_.master, module_.master, {}, {}};
    while (!stop_) {
      auto next = Clock::now() + std::chrono::milliseconds(5);
      for (Direction* d : {&toDrive, &toModule})
        if (!d->queue.empty()) next = std::min(next, d->queue.front().due);
      const auto wait = std::chrono::duration_cast<std::chrono::microseconds>(next - Clock::now()).count();
      pollfd fds[2] = {{module_.master, POLLIN, 0}, {drive_.master, POLLIN, 0}};
      // poll counts milliseconds: finer waits are slept.
      if (wait >= 1000) {
        poll(fds, 2, static_cast<int>(wait / 1000));
      } else {
        if (wait > 0) std::this_thread::sleep_for(std::chrono::microseconds(wait));
        poll(fds, 2, 0);
      }
      if (fds[0].revents & POLLIN) Take(toDrive, true);
      if (fds[1].revents & POLLIN) Take(toModule, false);
      Release(toDrive);
      Release(toModule);
    }
  }

  PtyEnd& module_;
  PtyEnd& drive_;
  const int driveBaud_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

bool ParseInt(const char* text, long lo, long hi, long& out) {
  char* end = nullptr;
  errno = 0;
  out = std::strtol(text, &end, 10);
  return errno == 0 && end != text && *end == 0 && out >= lo && out <= hi;
}

const char* Usage() {
  return "usage: quorvane-vfdsim [--address N] [--baud N] [--ramp RPM_PER_S] [--no-stdin]\n"
         "  --address N   Modbus address of the drive, 1..247 (default 1)\n"
         "  --baud N      the drive's baud rate (default 9600)\n"
         "  --ramp R      acceleration of the actual speed, rpm/s (default 6000; 0 = at once)\n"
         "prints \"quorvane-vfdsim ready port=TTY address=N baud=N\"; the master opens TTY.\n"
         "control lines on stdin:\n"
         "  get REG | input REG        a holding or input register's value (\"REG=VALUE\")\n"
         "  set REG VALUE              sets a holding register\n"
         "  silent | talk              stops and resumes answering\n"
         "  corrupt N                  the next N answers leave with a wrong CRC\n"
         "  stats                      \"requests=N answers=N bytes-in=N bytes-out=N\"\n"
         "  quit\n";
}

}  // namespace

int main(int argc, char** argv) {
  long address = 1, baud = 9600, ramp = 6000;
  bool readStdin = true;
  for (int i = 1; i < argc; ++i) {
    const std::string opt = argv[i];
    long* target = opt == "--address" ? &address : opt == "--baud" ? &baud : opt == "--ramp" ? &ramp : nullptr;
    if (opt == "--help" || opt == "-h") {
      std::fputs(Usage(), stdout);
      return 0;
    } else if (opt == "--no-stdin") {
      readStdin = false;
    } else if (target && i + 1 < argc &&
               ParseInt(argv[i + 1], opt == "--address" ? 1 : opt == "--baud" ? 1200 : 0,
                        opt == "--address" ? 247 : opt == "--baud" ? 921600 : 1000000, *target)) {
      ++i;
    } else {
      std::fprintf(stderr, "quorvane-vfdsim: bad option %s\n%s", opt.c_str(), Usage());
      return 2;
    }
  }
  PtyEnd moduleEnd, driveEnd;
  if (!moduleEnd.Open() || !driveEnd.Open()) {
    std::fprintf(stderr, "quorvane-vfdsim: cannot make a pseudo-terminal: %s\n", std::strerror(errno));
    return 1;
  }
  modbus_t* ctx = modbus_new_rtu(driveEnd.path.c_str(), static_cast<int>(baud), 'E', 8, 1);
  modbus_mapping_t* map = modbus_mapping_new(0, 0, kRegisters, kRegisters);
  if (!ctx || !map || modbus_set_slave(ctx, static_cast<int>(address)) != 0 || modbus_connect(ctx) != 0) {
    std::fprintf(stderr, "quorvane-vfdsim: cannot open the drive's end: %s\n", modbus_strerror(errno));
    return 1;
  }
  for (int r = kParamFirst; r < kRegisters; ++r) map->tab_registers[r] = static_cast<uint16_t>(1000 + r);
  Wire wire(moduleEnd, driveEnd, static_cast<int>(baud));
  wire.Start();
  struct sigaction sa {};
  sa.sa_handler = OnStop;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
  std::printf("quorvane-vfdsim ready port=%s address=%ld baud=%ld\n", moduleEnd.path.c_str(), address, baud);
  std::fflush(stdout);

  bool silent = false, quit = false;
  long requests = 0, answers = 0;
  double actualRpm = 0;
  auto last = Clock::now();
  std::string pending;
  uint8_t query[MODBUS_RTU_MAX_ADU_LENGTH];
  while (!g_stop && !quit) {
    pollfd fds[2] = {{modbus_get_socket(ctx), POLLIN, 0}, {readStdin ? 0 : -1, POLLIN, 0}};
    poll(fds, 2, 5);
    // The drive: the actual speed follows the set-point on its ramp.
    const auto now = Clock::now();
    const double dt = std::chrono::duration<double>(now - last).count();
    last = now;
    const double target = map->tab_registers[kSetPoint];
    const double step = ramp > 0 ? ramp * dt : 1e9;
    actualRpm = actualRpm < target ? std::min(target, actualRpm + step) : std::max(target, actualRpm - step);
    const uint16_t actual = static_cast<uint16_t>(std::lround(actualRpm));
    map->tab_input_registers[kActual] = map->tab_registers[kActual] = actual;
    map->tab_registers[kStatus] = static_cast<uint16_t>(actual > 0 ? (actual == target ? 3 : 1) : 0);

    if (fds[0].revents & POLLIN) {
      const int rc = modbus_receive(ctx, query);
      if (rc > 0) {
        ++requests;
        if (!silent && modbus_reply(ctx, query, rc, map) > 0) ++answers;
      }
    }
    if (readStdin && (fds[1].revents & (POLLIN | POLLHUP))) {
      char buf[1024];
      const ssize_t n = read(0, buf, sizeof buf);
      if (n <= 0) readStdin = false;
      if (n > 0) pending.append(buf, static_cast<size_t>(n));
      for (size_t nl; (nl = pending.find('\n')) != std::string::npos;) {
        std::istringstream line(pending.substr(0, nl));
        pending.erase(0, nl + 1);
        std::string cmd;
        long reg = -1, value = -1;
        line >> cmd;
        if (cmd == "get" && line >> reg && reg >= 0 && reg < kRegisters) {
          std::printf("%ld=%u\n", reg, map->tab_registers[reg]);
        } else if (cmd == "input" && line >> reg && reg >= 0 && reg < kRegisters) {
          std::printf("%ld=%u\n", reg, map->tab_input_registers[reg]);
        } else if (cmd == "set" && line >> reg >> value && reg >= 0 && reg < kRegisters && value >= 0 &&
                   value <= 65535) {
          map->tab_registers[reg] = static_cast<uint16_t>(value);
          std::printf("ok\n");
        } else if (cmd == "silent" || cmd == "talk") {
          silent = cmd == "silent";
          std::printf("ok\n");
        } else if (cmd == "corrupt" && line >> value && value >= 0) {
          wire.corruptAnswers = static_cast<int>(value);
          std::printf("ok\n");
        } else if (cmd == "stats") {
          std::printf("requests=%ld answers=%ld bytes-in=%ld bytes-out=%ld\n", requests, answers,
                      wire.bytesToDrive.load(), wire.bytesToModule.load());
        } else if (cmd == "quit") {
          quit = true;
          std::printf("ok\n");
        } else {
          std::printf("error: not understood\n");
        }
        std::fflush(stdout);
      }
    }
  }
  wire.Stop();
  modbus_close(ctx);
  modbus_free(ctx);
  modbus_mapping_free(map);
  return 0;
}
