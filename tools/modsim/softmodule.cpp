#include "softmodule.h"

#include <cstdio>
#include <cstring>
#include <memory>

#include "driver/src/linkframe.h"
#include "pathaxes.h"

using namespace linkframe;

namespace modsim {

namespace {
std::unique_ptr<AxisModel> MakeAxes(const ModuleConfig& config, Recorder& record) {
  if (config.path) return std::make_unique<PathAxes>(record);
  return std::make_unique<DirectAxes>();
}
}  // namespace

SoftModule::SoftModule(const ModuleConfig& config, uint64_t seed, uint64_t start)
    : config_(config),
      start_(start),
      core_(config, record_, MakeAxes(config, record_)),
      faults_(config.faults, seed) {}

bool SoftModule::Open(std::string& error) {
  if (config_.recordPath.empty()) return true;
  char mac[18];
  const std::string header = std::string("quorvane-modsim record, module ") + MacText(config_.mac, mac) + " \"" +
                             config_.name + "\" " + config_.hardware + " " + config_.software;
  if (record_.Open(config_.recordPath, header)) return true;
  error = "cannot write " + config_.recordPath + ": " + std::strerror(errno);
  return false;
}

bool SoftModule::Wants(const uint8_t* f, size_t length) const {
  if (length < 16) return false;
  if (std::memcmp(f + kDestOffset, config_.mac, 6) == 0) return true;
  static const uint8_t broadcast[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  return std::memcmp(f + kDestOffset, broadcast, 6) == 0 && Get16(f + kLenOffset) == kLenRescom;
}

void SoftModule::Receive(const uint8_t* f, size_t length, uint64_t now, std::vector<Frame>& send) {
  if (silent_) return;
  std::vector<Frame> deliver;
  faults_.Incoming(Frame(f, f + length), now, deliver);
  for (const Frame& frame : deliver) Process(frame, now, send);
}

void SoftModule::Due(uint64_t now, std::vector<Frame>& send) {
  std::vector<Frame> deliver;
  faults_.Due(now, deliver, send);
  if (silent_) return;
  for (const Frame& frame : deliver) Process(frame, now, send);
  // Raw data that became ready between host frames is announced at once,
  // so the host need not wait for its next command to learn of it.
  if (core_.TakeRawAnnouncement() && open_) Emit(core_.StatusAnswer(), false, now, send);
}

void SoftModule::Tick(uint64_t now) { core_.Tick(Since(now)); }

void SoftModule::SetSilent(bool silent, uint64_t now) {
  if (silent != silent_) record_.Event(Since(now), silent ? "silent" : "talking again");
  silent_ = silent;
}

void SoftModule::ResetConnection() {
  inOrder_ = 0;
  ownSn_ = 0;
  for (Frame& f : stash_) f.clear();
  connectionFrames_ = 0;
  core_.ClearBuffer();
}

void SoftModule::Restart(uint64_t now) {
  record_.Event(Since(now), "restart");
  open_ = false;
  ResetConnection();
}

bool SoftModule::Stashed(uint16_t sn) const {
  const Frame& f = stash_[sn % kWindow];
  return !f.empty() && Get16(f.data() + kSnOffset) == sn;
}

void SoftModule::Process(const Frame& f, uint64_t now, std::vector<Frame>& send) {
  if (f.size() < kHeaderSize - 1 || f[kTypeOffset] != kType0 || f[kTypeOffset + 1] != kType1) return;
  const uint16_t len = Get16(f.data() + kLenOffset);
  const uint64_t t = Since(now);
  if (len == kLenRescom) {
    std::memcpy(host_, f.data() + kSrcOffset, 6);
    char host[18];
    record_.Event(t, "scan from %s", MacText(host_, host));
    open_ = true;
    ResetConnection();
    const std::string text = config_.name + "\n" + config_.hardware + "\n" + config_.software;
    Emit(Answer{kAnswerIdent, std::vector<uint8_t>(text.begin(), text.end())}, true, now, send);
    return;
  }
  if (std::memcmp(f.data() + kDestOffset, config_.mac, 6) != 0 || !open_) return;
  if (len == kLenEndcom) {
    record_.Event(t, "end of connection");
    open_ = false;
    return;
  }
  if (len > kMaxPayload || f.size() < kHeaderSize + len) return;
  ++connectionFrames_;
  if (config_.faults.silentAfter >= 0 && connectionFrames_ > config_.faults.silentAfter) {
    config_.faults.silentAfter = -1;
    SetSilent(true, now);
    return;
  }
  if (config_.faults.restartAfter >= 0 && connectionFrames_ > config_.faults.restartAfter) {
    config_.faults.restartAfter = -1;
    Restart(now);
    return;
  }
  std::memcpy(host_, f.data() + kSrcOffset, 6);
  core_.HostFrame(t);
  std::vector<Answer> answers;
  const uint16_t sn = Get16(f.data() + kSnOffset);
  const int d = static_cast<int16_t>(static_cast<uint16_t>(sn - inOrder_));
  if (d == 1) {
    DeliverFrame(f, now, answers);
    ++inOrder_;
    // Frames that overtook it follow now, in order.
    while (Stashed(static_cast<uint16_t>(inOrder_ + 1))) {
      Frame next = std::move(stash_[(inOrder_ + 1) % kWindow]);
      stash_[(inOrder_ + 1) % kWindow].clear();
      DeliverFrame(next, now, answers);
      ++inOrder_;
    }
  } else if (d > 1 && d <= kWindow) {
    stash_[sn % kWindow] = f;
  }
  // Older frames and frames beyond the window are only acknowledged.
  for (const Answer& a : answers) Emit(a, false, now, send);
  Emit(core_.StatusAnswer(), false, now, send);
}

void SoftModule::DeliverFrame(const Frame& f, uint64_t now, std::vector<Answer>& answers) {
  const size_t end = kHeaderSize + Get16(f.data() + kLenOffset);
  size_t at = kHeaderSize;
  while (at + 2 <= end) {
    const size_t size = 2u + f[at + 1];
    if (at + size > end) {
      record_.Event(Since(now), "malformed command at byte %zu", at);
      return;
    }
    core_.Deliver(f.data() + at, static_cast<int>(size), Since(now), answers);
    at += size;
  }
}

void SoftModule::Emit(const Answer& answer, bool identification, uint64_t now, std::vector<Frame>& send) {
  Frame f(kAnswerDataOffset + answer.data.size());
  std::memcpy(f.data() + kDestOffset, host_, 6);
  std::memcpy(f.data() + kSrcOffset, config_.mac, 6);
  f[kTypeOffset] = kType0;
  f[kTypeOffset + 1] = kType1;
  Put16(f.data() + kLenOffset, static_cast<uint16_t>(2 + answer.data.size()));
  if (identification) {
    // Numbered 0 and acknowledging everything before the connection: the
    // host takes nothing from it but the identity.
    Put16(f.data() + kSnOffset, 0);
    f[kAnOffset] = 0;
    f[kAbOffset] = 0xFF;
  } else {
    Put16(f.data() + kSnOffset, ++ownSn_);
    uint16_t highest = inOrder_;
    for (int k = 1; k <= kWindow; ++k)
      if (Stashed(static_cast<uint16_t>(inOrder_ + k))) highest = static_cast<uint16_t>(inOrder_ + k);
    uint8_t ab = 0;
    for (int k = 0; k < kWindow; ++k) {
      const uint16_t s = static_cast<uint16_t>(highest - k);
      if (static_cast<int16_t>(static_cast<uint16_t>(s - inOrder_)) <= 0 || Stashed(s)) ab |= static_cast<uint8_t>(0x80 >> k);
    }
    f[kAnOffset] = static_cast<uint8_t>(highest);
    f[kAbOffset] = ab;
  }
  f[kAnswerLenOffset] = static_cast<uint8_t>(answer.data.size());
  f[kAnswerTypeOffset] = answer.type;
  std::copy(answer.data.begin(), answer.data.end(), f.begin() + kAnswerDataOffset);
  faults_.Outgoing(std::move(f), now, send);
}

}  // namespace modsim
