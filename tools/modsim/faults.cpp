#include "faults.h"

#include <algorithm>
#include <limits>

namespace modsim {

FaultInjector::FaultInjector(const FaultConfig& config, uint64_t seed) : config_(config), rng_(seed) {}

void FaultInjector::Pass(Frame frame, uint64_t now, Held& held, std::vector<Frame>& out) {
  if (Chance(config_.drop)) return;
  const bool twice = Chance(config_.dup);
  if (!held.valid && Chance(config_.reorder)) {
    held.frame = std::move(frame);
    held.due = now + kReorderHoldUs;
    held.valid = true;
    return;
  }
  out.push_back(frame);
  if (twice) out.push_back(frame);
  if (held.valid) {
    // The held frame arrives after the one that overtook it.
    out.push_back(std::move(held.frame));
    held.valid = false;
  }
}

void FaultInjector::Incoming(Frame frame, uint64_t now, std::vector<Frame>& deliver) {
  Pass(std::move(frame), now, heldIn_, deliver);
}

void FaultInjector::Outgoing(Frame frame, uint64_t now, std::vector<Frame>& send) {
  if (config_.delayMs == 0) {
    Pass(std::move(frame), now, heldOut_, send);
    return;
  }
  std::vector<Frame> passed;
  Pass(std::move(frame), now, heldOut_, passed);
  for (Frame& f : passed) delayed_.push_back({now + config_.delayMs * 1000ull, std::move(f)});
}

void FaultInjector::Due(uint64_t now, std::vector<Frame>& deliver, std::vector<Frame>& send) {
  if (heldIn_.valid && heldIn_.due <= now) {
    deliver.push_back(std::move(heldIn_.frame));
    heldIn_.valid = false;
  }
  if (heldOut_.valid && heldOut_.due <= now) {
    if (config_.delayMs == 0) send.push_back(std::move(heldOut_.frame));
    else delayed_.push_back({now + config_.delayMs * 1000ull, std::move(heldOut_.frame)});
    heldOut_.valid = false;
  }
  while (!delayed_.empty() && delayed_.front().due <= now) {
    send.push_back(std::move(delayed_.front().frame));
    delayed_.pop_front();
  }
}

uint64_t FaultInjector::NextDue() const {
  uint64_t next = std::numeric_limits<uint64_t>::max();
  if (heldIn_.valid) next = std::min(next, heldIn_.due);
  if (heldOut_.valid) next = std::min(next, heldOut_.due);
  if (!delayed_.empty()) next = std::min(next, delayed_.front().due);
  return next;
}

}  // namespace modsim
