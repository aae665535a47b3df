#include "common/netlab.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#if !defined(QUORVANE_MODSIM) || !defined(QUORVANE_VFDSIM)
#error "QUORVANE_MODSIM and QUORVANE_VFDSIM name the soft module and drive programs"
#endif

namespace netlab {

namespace {

std::string Errno(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

ino_t NamespaceInode(const char* path) {
  struct stat st {};
  return stat(path, &st) == 0 ? st.st_ino : 0;
}

// Runs an iproute2 command in the current namespace, or after entering
// `ns`; throws with its output.
void Ip(const std::string& args, int ns = -1) {
  if (ns >= 0) {
    // A child enters the namespace; this thread stays where it is.
    const pid_t pid = fork();
    if (pid < 0) throw std::runtime_error(Errno("lab: fork"));
    if (pid == 0) {
      if (setns(ns, CLONE_NEWNET) != 0) _exit(126);
      execlp("sh", "sh", "-c", ("ip " + args + " >/dev/null 2>&1").c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
      throw std::runtime_error("lab: \"ip " + args + "\" in the modules' namespace failed");
    return;
  }
  const std::string command = "ip " + args + " 2>&1";
  FILE* p = popen(command.c_str(), "r");
  if (!p) throw std::runtime_error(Errno("popen"));
  std::string out;
  char buf[256];
  while (std::fgets(buf, sizeof buf, p)) out += buf;
  const int rc = pclose(p);
  if (rc != 0) throw std::runtime_error("lab: \"" + command + "\" failed: " + out);
}

}  // namespace

Lab::Lab(bool withVeth) {
  originalNs_ = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
  if (originalNs_ < 0) throw std::runtime_error(Errno("lab: cannot open /proc/thread-self/ns/net"));
  if (unshare(CLONE_NEWNET) != 0) {
    const std::string why = Errno("lab: unshare(CLONE_NEWNET) failed");
    close(originalNs_);
    originalNs_ = -1;
    throw std::runtime_error(why + " (the link tests make a network namespace of their own and need root)");
  }
  try {
    // Never let the driver near the machine's adapters: we must be elsewhere now.
    if (NamespaceInode("/proc/thread-self/ns/net") == NamespaceInode("/proc/1/ns/net"))
      throw std::runtime_error("lab: still in the machine's network namespace");
    if (withVeth) {
      // A child that only holds the modules' namespace.
      int ready[2];
      if (pipe2(ready, O_CLOEXEC) != 0) throw std::runtime_error(Errno("lab: pipe"));
      const pid_t parent = getpid();
      holder_ = fork();
      if (holder_ < 0) throw std::runtime_error(Errno("lab: fork"));
      if (holder_ == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        const char ok = getppid() == parent && unshare(CLONE_NEWNET) == 0 ? 1 : 0;
        (void)!write(ready[1], &ok, 1);
        for (;;) pause();
      }
      close(ready[1]);
      char ok = 0;
      const bool started = read(ready[0], &ok, 1) == 1 && ok == 1;
      close(ready[0]);
      if (!started) throw std::runtime_error("lab: the modules' namespace could not be made");
      moduleNs_ = open(("/proc/" + std::to_string(holder_) + "/ns/net").c_str(), O_RDONLY | O_CLOEXEC);
      if (moduleNs_ < 0) throw std::runtime_error(Errno("lab: open the modules' namespace"));
      Ip(std::string("link add name ") + kHostIface + " address 02:00:00:00:00:01 type veth peer name " +
         kModuleIface + " address 02:00:00:00:00:02 netns " + std::to_string(holder_));
      veth_ = true;
      Ip(std::string("link set ") + kHostIface + " up");
      Ip(std::string("link set ") + kModuleIface + " up", moduleNs_);
    }
  } catch (...) {
    Leave();
    throw;
  }
}

Lab::~Lab() { Leave(); }

void Lab::Leave() {
  if (veth_) {
    try {
      Ip(std::string("link del ") + kHostIface);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "%s\n", e.what());
    }
    veth_ = false;
  }
  if (holder_ > 0) {
    kill(holder_, SIGKILL);
    waitpid(holder_, nullptr, 0);
    holder_ = -1;
  }
  if (moduleNs_ >= 0) close(moduleNs_);
  moduleNs_ = -1;
  if (originalNs_ >= 0) {
    if (setns(originalNs_, CLONE_NEWNET) != 0) std::perror("lab: setns back");
    close(originalNs_);
    originalNs_ = -1;
  }
}

ChildProgram::ChildProgram(const std::vector<std::string>& args, int ns, const std::string& readyPrefix) {
  const std::string name = args.at(0).substr(args[0].rfind('/') + 1);
  int in[2], out[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error(Errno((name + ": pipe").c_str()));
  std::vector<std::string> argv = args;
  // Everything the child needs is made before the fork: other threads may
  // hold the allocator's lock at that moment.
  std::vector<char*> cargs;
  for (auto& a : argv) cargs.push_back(a.data());
  cargs.push_back(nullptr);
  const pid_t parent = getpid();
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error(Errno((name + ": fork").c_str()));
  if (pid_ == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent || (ns >= 0 && setns(ns, CLONE_NEWNET) != 0)) _exit(127);
    dup2(in[0], 0);
    dup2(out[1], 1);
    execv(cargs[0], cargs.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  toChild_ = in[1];
  fromChild_ = out[0];
  ready_ = ReadLine(10000);
  if (ready_.rfind(readyPrefix, 0) != 0) {
    Stop();
    throw std::runtime_error(name + " did not get ready (" + (ready_.empty() ? std::string("no answer") : ready_) +
                             "); see its message above");
  }
}

ChildProgram::~ChildProgram() { Stop(); }

namespace {
std::vector<std::string> ModSimArgs(const Lab& lab, const std::vector<std::string>& args) {
  if (lab.ModuleNamespace() < 0) throw std::runtime_error("modsim: the lab has no veth pair");
  std::vector<std::string> argv = {QUORVANE_MODSIM, "--iface", Lab::kModuleIface};
  argv.insert(argv.end(), args.begin(), args.end());
  return argv;
}
std::vector<std::string> VfdSimArgs(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {QUORVANE_VFDSIM};
  argv.insert(argv.end(), args.begin(), args.end());
  return argv;
}
}  // namespace

ModSim::ModSim(const Lab& lab, const std::vector<std::string>& args)
    : ChildProgram(ModSimArgs(lab, args), lab.ModuleNamespace(), "quorvane-modsim ready") {}

VfdSim::VfdSim(const std::vector<std::string>& args) : ChildProgram(VfdSimArgs(args), -1, "quorvane-vfdsim ready") {}

std::string VfdSim::Port() const {
  const std::string& r = ReadyLine();
  const size_t at = r.find("port=");
  if (at == std::string::npos) return std::string();
  return r.substr(at + 5, r.find(' ', at) - at - 5);
}

long VfdSim::Holding(int reg) {
  const std::string a = Control("get " + std::to_string(reg));
  const size_t eq = a.find('=');
  return eq == std::string::npos ? -1 : std::strtol(a.c_str() + eq + 1, nullptr, 10);
}

std::string ChildProgram::ReadLine(int timeoutMs) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    const size_t nl = pending_.find('\n');
    if (nl != std::string::npos) {
      std::string line = pending_.substr(0, nl);
      pending_.erase(0, nl + 1);
      return line;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    if (left.count() <= 0 || fromChild_ < 0) return "";
    pollfd p{fromChild_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    char buf[512];
    const ssize_t n = read(fromChild_, buf, sizeof buf);
    if (n <= 0) return "";
    pending_.append(buf, static_cast<size_t>(n));
  }
}

std::string ChildProgram::Control(const std::string& line) {
  const std::string l = line + "\n";
  if (toChild_ < 0 || write(toChild_, l.data(), l.size()) != static_cast<ssize_t>(l.size())) return "error: not running";
  return ReadLine(5000);
}

void ChildProgram::Stop() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    int status = 0;
    for (int i = 0; i < 300 && waitpid(pid_, &status, WNOHANG) == 0; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (waitpid(pid_, &status, WNOHANG) == 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &status, 0);
    }
    pid_ = -1;
  }
  if (toChild_ >= 0) close(toChild_);
  if (fromChild_ >= 0) close(fromChild_);
  toChild_ = fromChild_ = -1;
}

RawPeer::RawPeer(const Lab& lab, const std::vector<uint8_t>& mac, const std::string& ident)
    : mac_(mac), ident_(ident) {
  const int ns = lab.ModuleNamespace();
  if (ns < 0) throw std::runtime_error("raw peer: the lab has no veth pair");
  thread_ = std::thread([this, ns] { Run(ns); });
  for (int i = 0; i < 2000 && !started_; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  if (fd_ < 0) {
    stop_ = true;
    thread_.join();
    throw std::runtime_error("raw peer: no packet socket on the modules' side");
  }
}

RawPeer::~RawPeer() {
  stop_ = true;
  thread_.join();
  if (fd_ >= 0) close(fd_);
}

void RawPeer::Run(int moduleNs) {
  // This thread alone moves to the modules' side; the socket stays there.
  int fd = -1;
  if (setns(moduleNs, CLONE_NEWNET) == 0) {
    fd = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(0x15B3));
    sockaddr_ll addr{};
    addr.sll_family = AF_PACKET;
    addr.sll_protocol = htons(0x15B3);
    addr.sll_ifindex = static_cast<int>(if_nametoindex(Lab::kModuleIface));
    if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
      close(fd);
      fd = -1;
    }
  }
  fd_ = fd;
  started_ = true;
  if (fd < 0) return;
  uint8_t buf[2048];
  while (!stop_) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 5) <= 0) continue;
    const ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n < 19 || std::memcmp(buf, mac_.data(), 6) != 0) {
      // Scans come as broadcasts too.
      if (n < 20 || buf[0] != 0xFF || Frame16({buf[14], buf[15]}, 0) != 0xFFFE) continue;
    }
    std::vector<uint8_t> f(buf, buf + n);
    const uint16_t len = Frame16(f, 14);
    if (len == 0xFFFE) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        std::memcpy(host_, buf + 6, 6);
      }
      ownSn_ = 0;
      Answer(0, 0, 0xFF, 255, std::vector<uint8_t>(ident_.begin(), ident_.end()));
      continue;
    }
    if (len == 0xFFFF) continue;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      frames_.push_back(f);
    }
    if (autoAck_) Answer(NextSn(), f[16], 0xFF, 1, Status(0, 0, 0, 0));
  }
}

std::vector<uint8_t> RawPeer::Status(uint16_t gauge, uint16_t ref, uint8_t status, uint32_t inputs) {
  return {static_cast<uint8_t>(gauge), static_cast<uint8_t>(gauge >> 8), static_cast<uint8_t>(ref),
          static_cast<uint8_t>(ref >> 8), status, static_cast<uint8_t>(inputs), static_cast<uint8_t>(inputs >> 8),
          static_cast<uint8_t>(inputs >> 16)};
}

void RawPeer::Answer(uint16_t sn, uint8_t an, uint8_t ab, uint8_t type, const std::vector<uint8_t>& data) {
  std::vector<uint8_t> f(22 + data.size());
  {
    std::lock_guard<std::mutex> lock(mutex_);
    std::memcpy(f.data(), host_, 6);
  }
  std::memcpy(f.data() + 6, mac_.data(), 6);
  f[12] = 0x15;
  f[13] = 0xB3;
  const size_t len = 2 + data.size();
  f[14] = static_cast<uint8_t>(len);
  f[15] = static_cast<uint8_t>(len >> 8);
  f[16] = static_cast<uint8_t>(sn);
  f[17] = static_cast<uint8_t>(sn >> 8);
  f[18] = an;
  f[19] = ab;
  f[20] = static_cast<uint8_t>(data.size());
  f[21] = type;
  std::copy(data.begin(), data.end(), f.begin() + 22);
  Send(f);
}

void RawPeer::Send(const std::vector<uint8_t>& frame) {
  if (send(fd_, frame.data(), frame.size(), 0) != static_cast<ssize_t>(frame.size()))
    std::perror("raw peer: send");
}

std::vector<std::vector<uint8_t>> RawPeer::Frames() {
  std::lock_guard<std::mutex> lock(mutex_);
  return frames_;
}

bool RawPeer::WaitFrames(size_t n, int timeoutMs) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (Frames().size() < n) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

std::vector<uint8_t> ModuleMac(int n) { return {0x02, 0x51, 0x56, 0x00, 0x00, static_cast<uint8_t>(n)}; }

std::string ModuleMacText(int n) {
  char text[18];
  std::snprintf(text, sizeof text, "02:51:56:00:00:%02X", n & 0xFF);
  return text;
}

uint32_t ModuleKey(int n) { return 0x56u | (static_cast<uint32_t>(n & 0xFF) << 24); }

std::vector<RecordLine> ReadRecord(const std::string& path) {
  std::vector<RecordLine> lines;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream words(line);
    RecordLine r;
    words >> r.micros >> r.kind;
    std::getline(words >> std::ws, r.text);
    if (r.kind == "CMD") {
      std::istringstream rest(r.text);
      std::string hex;
      rest >> r.code >> hex;
      for (size_t i = 0; i + 1 < hex.size(); i += 2)
        r.args.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    }
    lines.push_back(std::move(r));
  }
  return lines;
}

}  // namespace netlab
