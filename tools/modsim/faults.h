// Fault injection between the wire and one module: frames lost, doubled,
// overtaken by the next one, and answers delayed.
#pragma once

#include <cstdint>
#include <deque>
#include <random>
#include <vector>

#include "modsim.h"

namespace modsim {

using Frame = std::vector<uint8_t>;

class FaultInjector {
 public:
  // A held frame waits at most this long for the next one to overtake it.
  static constexpr uint64_t kReorderHoldUs = 3000;

  FaultInjector(const FaultConfig& config, uint64_t seed);
  // A frame from the host: appends what the module receives now.
  void Incoming(Frame frame, uint64_t now, std::vector<Frame>& deliver);
  // An answer of the module: appends what leaves now.
  void Outgoing(Frame frame, uint64_t now, std::vector<Frame>& send);
  // Frames whose time has come.
  void Due(uint64_t now, std::vector<Frame>& deliver, std::vector<Frame>& send);
  // When Due has something next (µs), or UINT64_MAX.
  uint64_t NextDue() const;

 private:
  struct Held {
    Frame frame;
    uint64_t due = 0;
    bool valid = false;
  };
  struct Delayed {
    uint64_t due;
    Frame frame;
  };
  bool Chance(double p) { return p > 0 && uniform_(rng_) < p; }
  // Drop, dup and reorder for one direction; `out` gets what passes now.
  void Pass(Frame frame, uint64_t now, Held& held, std::vector<Frame>& out);

  FaultConfig config_;
  std::mt19937_64 rng_;
  std::uniform_real_distribution<double> uniform_{0.0, 1.0};
  Held heldIn_, heldOut_;
  std::deque<Delayed> delayed_;  // answers in order of their due time
};

}  // namespace modsim
