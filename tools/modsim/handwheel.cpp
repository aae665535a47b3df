#include "handwheel.h"

#include <algorithm>
#include <cmath>

#include "driver/src/linkframe.h"

using namespace linkframe;

namespace modsim {

namespace {
constexpr double kTick = 0.005;               // s
constexpr double kFractionOne = 1073741824.0;  // 2^30
}  // namespace

void Handwheel::Update(uint64_t t) {
  if (turnTime_ == 0 || t >= turnStart_ + turnTime_) {
    const uint32_t end = static_cast<uint32_t>(base_ + delta_);
    if (end != count_) changed_ = turnTime_ != 0 ? turnStart_ + turnTime_ : t;
    count_ = end;
    turnTime_ = 0;
    return;
  }
  // The counts come evenly: the k-th at turnStart + k × time / |delta|.
  const uint64_t k = static_cast<uint64_t>(std::llabs(delta_)) * (t - turnStart_) / turnTime_;
  const uint32_t now = static_cast<uint32_t>(base_ + (delta_ < 0 ? -static_cast<int64_t>(k) : static_cast<int64_t>(k)));
  if (now != count_) {
    count_ = now;
    changed_ = turnStart_ + k * turnTime_ / static_cast<uint64_t>(std::llabs(delta_));
  }
}

void Handwheel::Turn(int64_t delta, bool absolute, uint64_t durationUs) {
  const uint64_t t = clock_;
  Update(t);
  base_ = count_;
  // To a count: the short way round the 32-bit counter.
  delta_ = absolute ? static_cast<int32_t>(static_cast<uint32_t>(delta) - count_) : delta;
  turnStart_ = t;
  turnTime_ = delta_ == 0 ? 0 : durationUs;
  if (turnTime_ == 0) {
    if (delta_ != 0) changed_ = t;
    count_ = static_cast<uint32_t>(base_ + delta_);
    base_ = count_;
    delta_ = 0;
  }
}

void Handwheel::Read(uint32_t (&values)[3]) {
  const uint64_t t = clock_;
  Update(t);
  values[0] = count_;
  values[1] = static_cast<uint32_t>(changed_ * 10);
  values[2] = static_cast<uint32_t>(t * 10);
}

void Handwheel::Setup(const uint8_t* a, int n, const uint32_t (&velocity)[AxisModel::kMaxAxes],
                      const AxisModel& axes, uint64_t t, Recorder& record) {
  if (n < 6) return;
  const uint32_t acc = Get32(a);
  if (acc == 0) {
    // All zero: the jog ends.
    Stop(t, record);
    return;
  }
  accPerTick_ = acc / kFractionOne;
  for (int c = 0; c < AxisModel::kMaxAxes; ++c) {
    velocity_[c] = velocity[c];
    pos_[c] = target_[c] = axes.Actual(c);
  }
  active_ = true;
  stopping_ = false;
  commanded_ = speed_ = 0;
  record.Event(t, "handwheel jog acc=%.6f round=%u filter=%u v=%.0f,%.0f,%.0f", accPerTick_, a[4], a[5],
               velocity_[0], velocity_[1], velocity_[2]);
}

void Handwheel::Targets(const uint8_t* a, int n, const AxisModel& axes) {
  if (!active_ || stopping_ || n < 8) return;
  commanded_ = std::min(1.0, Get32(a) / kFractionOne);
  const int channels = std::min((n - 4) / 4, static_cast<int>(AxisModel::kMaxAxes));
  for (int c = 0; c < channels; ++c) {
    // A channel without a jog velocity stands where it is.
    if (velocity_[c] > 0) target_[c] = static_cast<int32_t>(Get32(a + 4 + 4 * c));
    else pos_[c] = target_[c] = axes.Actual(c);
  }
}

void Handwheel::Stop(uint64_t t, Recorder& record) {
  if (!active_) return;
  record.Event(t, "handwheel jog stop");
  stopping_ = true;
  commanded_ = 0;
  if (accPerTick_ <= 0) End();
}

void Handwheel::End() {
  active_ = false;
  moving_ = false;
  stopping_ = false;
  commanded_ = speed_ = 0;
}

void Handwheel::Tick(AxisModel& axes, uint64_t t, Recorder& record) {
  clock_ += static_cast<uint64_t>(kTick * 1e6);
  if (!active_) return;
  // Distance to the target in seconds at the jog velocity.
  double len2 = 0;
  for (int c = 0; c < AxisModel::kMaxAxes; ++c)
    if (velocity_[c] > 0) {
      const double d = (target_[c] - pos_[c]) / velocity_[c];
      len2 += d * d;
    }
  const double left = std::sqrt(len2);
  // Brake so as to stand at the target: v² = 2 a s.
  double want = commanded_;
  if (accPerTick_ > 0) want = std::min(want, std::sqrt(2.0 * accPerTick_ / kTick * left));
  if (accPerTick_ > 0) speed_ = std::clamp(want, speed_ - accPerTick_, speed_ + accPerTick_);
  else speed_ = want;
  speed_ = std::max(speed_, 0.0);
  const double go = speed_ * kTick;
  const double share = left <= 0 ? 0.0 : std::min(1.0, go / left);
  const bool arrive = left > 0 && share >= 1.0;
  for (int c = 0; c < AxisModel::kMaxAxes; ++c) {
    if (!(velocity_[c] > 0)) continue;
    pos_[c] = arrive ? target_[c] : pos_[c] + (target_[c] - pos_[c]) * share;
    const int32_t steps = static_cast<int32_t>(std::lround(pos_[c]));
    if (steps != axes.Actual(c)) axes.SetPosition(c, steps);
  }
  if (arrive || left <= 0) speed_ = 0;
  moving_ = speed_ > 0;
  if (stopping_ && speed_ <= 0) {
    record.Event(t, "handwheel jog ended");
    End();
  }
}

}  // namespace modsim
