// The veth lab: a network namespace of the test's own with one veth pair,
// soft modules on one end and the driver on the other. Frames never reach
// the machine's own adapters: the driver only sees the namespace's.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace netlab {

// Enters a fresh network namespace with the calling thread (every thread and
// process it starts afterwards lives there too) and, with `withVeth`, makes
// the pair "qvhost" (02:00:00:00:00:01, the driver's side, here) and "qvmod"
// (02:00:00:00:00:02, the modules' side, in a second namespace, as if the
// modules were another box). The destructor deletes the pair and returns the
// thread to its namespace; both namespaces go with the last process in them,
// also when the test process dies. Throws std::runtime_error with the reason
// when it cannot (no root, no iproute2).
class Lab {
 public:
  static constexpr const char* kHostIface = "qvhost";
  static constexpr const char* kModuleIface = "qvmod";
  static constexpr uint8_t kHostMac[6] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x01};

  explicit Lab(bool withVeth = true);
  ~Lab();
  Lab(const Lab&) = delete;
  Lab& operator=(const Lab&) = delete;

  // The modules' namespace (a descriptor for setns), -1 without veth.
  int ModuleNamespace() const { return moduleNs_; }

 private:
  void Leave();
  int originalNs_ = -1;
  int moduleNs_ = -1;
  pid_t holder_ = -1;  // keeps the modules' namespace alive between soft modules
  bool veth_ = false;
};

// A helper program the test runs and steers through its standard input and
// output: one control line in, one answer line out. The constructor returns
// once the program printed its ready line and throws when it does not get
// there. The process dies with the test process, whatever happens.
class ChildProgram {
 public:
  // argv[0] is the program's path; with `ns` >= 0 it runs in that network
  // namespace.
  ChildProgram(const std::vector<std::string>& argv, int ns, const std::string& readyPrefix);
  ~ChildProgram();
  ChildProgram(const ChildProgram&) = delete;
  ChildProgram& operator=(const ChildProgram&) = delete;

  // One control line; returns its answer ("ok" or "error: ...").
  std::string Control(const std::string& line);
  // Ends the process (records are complete afterwards).
  void Stop();
  pid_t Pid() const { return pid_; }
  const std::string& ReadyLine() const { return ready_; }

 private:
  std::string ReadLine(int timeoutMs);
  pid_t pid_ = -1;
  int toChild_ = -1;
  int fromChild_ = -1;
  std::string pending_;
  std::string ready_;
};

// A quorvane-modsim process on the lab's module side, started with
// `--iface qvmod` and the given arguments.
class ModSim : public ChildProgram {
 public:
  ModSim(const Lab& lab, const std::vector<std::string>& args);
};

// A quorvane-vfdsim process: a frequency converter on a Modbus RTU line of
// its own making. Port() is the line's end for the module's master.
class VfdSim : public ChildProgram {
 public:
  explicit VfdSim(const std::vector<std::string>& args);
  std::string Port() const;
  // A holding register's value, -1 when it cannot be read.
  long Holding(int reg);
};

// A module the test plays itself on the lab's module side, for protocol
// cases a well-behaved module never shows: frames in and out as bytes. Its
// thread answers scans with the identification `ident` and, while auto
// acknowledging is on, acknowledges every host frame with a status answer.
class RawPeer {
 public:
  RawPeer(const Lab& lab, const std::vector<uint8_t>& mac, const std::string& ident);
  ~RawPeer();
  RawPeer(const RawPeer&) = delete;
  RawPeer& operator=(const RawPeer&) = delete;

  void SetAutoAck(bool on) { autoAck_ = on; }
  // The host's connection frames (no scans, no ENDCOM), as they arrived.
  std::vector<std::vector<uint8_t>> Frames();
  // Waits until at least `n` connection frames have arrived.
  bool WaitFrames(size_t n, int timeoutMs);
  // An answer numbered `sn`, acknowledging with `an` and `ab`, of `type`
  // with `data` from frame offset 22 on.
  void Answer(uint16_t sn, uint8_t an, uint8_t ab, uint8_t type, const std::vector<uint8_t>& data);
  // A status answer's data: gauge, reference number, status, inputs.
  static std::vector<uint8_t> Status(uint16_t gauge, uint16_t ref, uint8_t status, uint32_t inputs);
  uint16_t NextSn() { return ++ownSn_; }
  // Any bytes onto the wire as they are.
  void Send(const std::vector<uint8_t>& frame);

 private:
  void Run(int moduleNs);
  std::vector<uint8_t> mac_;
  std::string ident_;
  std::atomic<bool> autoAck_{true};
  std::atomic<bool> stop_{false};
  std::atomic<uint16_t> ownSn_{0};
  std::atomic<int> fd_{-1};
  std::atomic<bool> started_{false};
  std::mutex mutex_;
  uint8_t host_[6] = {};
  std::vector<std::vector<uint8_t>> frames_;
  std::thread thread_;
};

// Reads a little-endian field of a frame.
inline uint16_t Frame16(const std::vector<uint8_t>& f, size_t at) {
  return static_cast<uint16_t>(f.at(at) | (f.at(at + 1) << 8));
}

// A module address of the lab: 02:51:56:00:00:<n>.
std::vector<uint8_t> ModuleMac(int n);
std::string ModuleMacText(int n);
uint32_t ModuleKey(int n);

// One line of a modsim record.
struct RecordLine {
  uint64_t micros = 0;
  std::string kind;  // EVT, CMD, POS, OUT
  int code = -1;     // CMD: the command code
  std::vector<uint8_t> args;  // CMD: its arguments
  std::string text;  // the rest of the line
};
std::vector<RecordLine> ReadRecord(const std::string& path);

}  // namespace netlab
