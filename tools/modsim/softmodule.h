// One soft module on the wire: answers scans with its identification,
// accepts the host's numbered frames of an open connection in order (frames
// that overtook a lost one wait for it), acknowledges them with an and ab,
// numbers its own answers, and hands the commands to its core.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "faults.h"
#include "modsim.h"
#include "modulecore.h"
#include "record.h"

namespace modsim {

class SoftModule {
 public:
  static constexpr int kWindow = 8;

  SoftModule(const ModuleConfig& config, uint64_t seed, uint64_t start);
  // Opens the record. False with `error` set.
  bool Open(std::string& error);

  const uint8_t* Mac() const { return config_.mac; }
  // Whether a frame is meant for this module (its address, or a broadcast scan).
  bool Wants(const uint8_t* frame, size_t length) const;
  // A frame from the wire: through the fault injector into the module;
  // `send` gets the frames that leave now.
  void Receive(const uint8_t* frame, size_t length, uint64_t now, std::vector<Frame>& send);
  // Held and delayed frames whose time has come.
  void Due(uint64_t now, std::vector<Frame>& send);
  uint64_t NextDue() const { return faults_.NextDue(); }
  void Tick(uint64_t now);

  ModuleCore& Core() { return core_; }
  uint64_t Since(uint64_t now) const { return now - start_; }
  void SetSilent(bool silent, uint64_t now);
  // Forgets the connection and the buffer, as after a power cycle.
  void Restart(uint64_t now);
  Recorder& Record() { return record_; }

 private:
  void Process(const Frame& frame, uint64_t now, std::vector<Frame>& send);
  void DeliverFrame(const Frame& frame, uint64_t now, std::vector<Answer>& answers);
  void Emit(const Answer& answer, bool identification, uint64_t now, std::vector<Frame>& send);
  bool Stashed(uint16_t sn) const;
  void ResetConnection();

  ModuleConfig config_;
  uint64_t start_;
  Recorder record_;
  ModuleCore core_;
  FaultInjector faults_;
  bool open_ = false;
  bool silent_ = false;
  uint8_t host_[6] = {};
  uint16_t inOrder_ = 0;  // last host frame handed to the core
  std::array<Frame, kWindow> stash_;  // frames that overtook a missing one
  uint16_t ownSn_ = 0;
  long connectionFrames_ = 0;
};

}  // namespace modsim
