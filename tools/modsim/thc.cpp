#include "thc.h"

#include <algorithm>
#include <cmath>

#include "driver/src/linkframe.h"

namespace modsim {

namespace {
constexpr double kTick = 0.005;  // s
constexpr int kArgs = 26;
}  // namespace

void TorchHeight::Command(const uint8_t* a, int n, const int64_t* physical, uint64_t t, Recorder& record,
                          int32_t* fold) {
  using linkframe::Get16;
  using linkframe::Get32;
  *fold = 0;
  if (n < kArgs || a[0] != 16) return;
  const bool on = Get16(a + 22) != 0;
  if (!on) {
    if (on_) record.Event(t, "thc off shift=%d", Shift());
    *fold = on_ ? Shift() : 0;
    on_ = false;
    shift_ = 0;
    velocity_ = 0;
    return;
  }
  channel_ = std::min<int>(a[1], 5);
  gain_ = static_cast<int16_t>(Get16(a + 4)) / 256.0;
  targetVolts_ = static_cast<int16_t>(Get16(a + 6)) / kRawPerVolt;
  low_ = static_cast<int32_t>(Get32(a + 8));
  high_ = static_cast<int32_t>(Get32(a + 12));
  vmax_ = Get32(a + 16);
  acc_ = static_cast<int16_t>(Get16(a + 20)) * 200.0;
  deadbandVolts_ = static_cast<int16_t>(Get16(a + 24)) / kRawPerVolt;
  // Automatic: the voltage the torch stands at is the one to hold.
  if (a[3] == 3 && plate_.given) targetVolts_ = Volts(physical);
  if (!on_) {
    shift_ = 0;
    velocity_ = 0;
  }
  on_ = true;
  record.Event(t, "thc on channel=%d target=%.3fV deadband=%.3fV band=%d..%d v=%.0f a=%.0f", channel_, targetVolts_,
               deadbandVolts_, low_, high_, vmax_, acc_);
}

void TorchHeight::NominalVelocity(uint32_t share, uint64_t t, Recorder& record) {
  record.Event(t, "thc nominal velocity=%u", share);
}

double TorchHeight::Volts(const int64_t* p) const {
  if (!arc_) return 0;
  const double surface = plate_.z0 + plate_.dzdx * static_cast<double>(p[0]) + plate_.dzdy * static_cast<double>(p[1]);
  return plate_.volts + plate_.voltsPerStep * (static_cast<double>(p[2]) - surface);
}

int32_t TorchHeight::Raw(const int64_t* physical) const {
  return static_cast<int32_t>(std::lround(Volts(physical) * kRawPerVolt));
}

void TorchHeight::Tick(const int64_t* physical, int32_t counter, bool hold) {
  if (!on_) return;
  double want = 0;  // steps/s
  if (!hold && plate_.given && arc_) {
    const double error = targetVolts_ - Volts(physical);
    // Full speed from one volt of error at the input (times the gain).
    if (std::fabs(error) > deadbandVolts_) want = std::clamp(gain_ * error, -1.0, 1.0) * vmax_;
  }
  // Brake in time for the band's ends.
  const double toHigh = std::max(0.0, static_cast<double>(high_ - counter));
  const double toLow = std::max(0.0, static_cast<double>(counter - low_));
  want = std::clamp(want, -std::sqrt(2 * acc_ * toLow), std::sqrt(2 * acc_ * toHigh));
  const double dv = acc_ * kTick;
  velocity_ += std::clamp(want - velocity_, -dv, dv);
  double step = velocity_ * kTick;
  const double next = counter + step;
  // At an end of the band it stops there; outside the band (the path took
  // the torch there) it only moves back towards it.
  if (step > 0 && next > high_) {
    step = std::max(0.0, static_cast<double>(high_ - counter));
    velocity_ = 0;
  } else if (step < 0 && next < low_) {
    step = std::min(0.0, static_cast<double>(low_ - counter));
    velocity_ = 0;
  }
  shift_ += step;
}

}  // namespace modsim
