#include "pathaxes.h"

#include <algorithm>
#include <cmath>

#include "driver/src/linkframe.h"

using namespace linkframe;

namespace modsim {

namespace {
// Model axis 0 carries the path, axes 1.. the channels.
constexpr int kPathAxis = 0;
constexpr int kFirstChannel = 1;
// The stream counts as running (for the figures of the buffered path) once
// the motion has gone on this long.
constexpr uint64_t kWarmUpTicks = 100;
}  // namespace

PathAxes::PathAxes(Recorder& record) : record_(record) {
  model_.SetPathAxes(1u << kPathAxis);
  // Until the host configures it, the module moves at full speed without a
  // ramp and without a filter.
  model_.Configure(0, 1, 0);
  model_.Step();
  model_.Reset(Coordinates());
  pushed_ = model_.Passed();
}

void PathAxes::Point(const int32_t (&)[kMaxAxes]) {
  // The point is on the path already (Queue); the core only reports it.
}

void PathAxes::SetPosition(int axis, int32_t steps) {
  if (axis < 0 || axis >= kMaxAxes) return;
  Coordinates p = model_.Position();
  p.v[kFirstChannel + axis] = steps;
  last_[axis] = steps;
  model_.Reset(p);
  pushed_ = model_.Passed();
}

void PathAxes::Stop() {
  if (!model_.Idle() || !queue_.empty()) halted_ = true;
  model_.Halt();
}

void PathAxes::StopDead() {
  if (!model_.Idle() || !queue_.empty()) halted_ = true;
  model_.Reset(model_.Position());
  pushed_ = model_.Passed();
}

int32_t PathAxes::Actual(int axis) const {
  if (axis < 0 || axis >= kMaxAxes) return 0;
  return static_cast<int32_t>(std::lround(model_.Position().v[kFirstChannel + axis]));
}

void PathAxes::AddPoint(const uint8_t* a, int n) {
  Coordinates p = model_.Position();
  bool moves = false;
  // Only the low 16 bits travel: the step to the new point is short.
  const int channels = std::min((n - 2) / 2, static_cast<int>(kMaxAxes));
  for (int i = 0; i < channels; ++i) {
    const uint16_t low = Get16(a + 2 + 2 * i);
    const int32_t next = last_[i] + static_cast<int16_t>(static_cast<uint16_t>(low - static_cast<uint16_t>(last_[i])));
    moves |= next != last_[i];
    last_[i] = next;
  }
  for (int i = 0; i < kMaxAxes; ++i) p.v[kFirstChannel + i] = last_[i];
  // A point is 5 ms of path at the velocity in effect.
  if (moves) s_ += nominal_ * kTick;
  p.v[kPathAxis] = s_;
  if (model_.AddPoint(p)) ++pushed_;
}

void PathAxes::Barrier() {
  // The same configuration again: the path stops there and goes on only
  // once the filter has settled.
  if (model_.Configure(accel_, vmaxFraction_, filter_)) ++pushed_;
}

void PathAxes::Queue(const uint8_t* c, int size, uint64_t t) {
  if (halted_) return;  // the stream stays stopped until a clear
  now_ = t;
  const uint8_t code = c[0];
  const uint8_t* a = c + 2;
  const int n = size - 2;
  if (code == CMD_POSITION && n >= 2) {
    if (model_.PathVelocity() > 0 && lastArrival_ != 0 && t != lastArrival_) {
      const double gap = static_cast<double>(t - lastArrival_) / 1000.0;
      ++stats_.frames;
      stats_.gapSum += gap;
      stats_.gapMax = std::max(stats_.gapMax, gap);
    }
    lastArrival_ = t;
    ++stats_.points;
    AddPoint(a, n);
  } else if (code == CMD_VELOCITY && n >= 2) {
    nominal_ = Get16(a) / 65535.0;
    model_.SetVelocity(nominal_);
  } else if (nominal_ == 0) {
    // Outputs and spindle after a stop happen there, at rest.
    Barrier();
  }
  queue_.push_back(Item{pushed_, std::vector<uint8_t>(c, c + size)});
}

bool PathAxes::NextDue(std::vector<uint8_t>& command) {
  std::deque<Item>& from = !ready_.empty() ? ready_ : queue_;
  if (from.empty() || from.front().after > model_.Passed()) return false;
  command = std::move(from.front().bytes);
  from.pop_front();
  return true;
}

void PathAxes::ClearQueue() {
  queue_.clear();
  ready_.clear();
  if (model_.Idle() || model_.Halting()) model_.Halt();
  else model_.Reset(model_.Position());
  halted_ = false;
  short_ = false;
  pushed_ = model_.Passed();
  Coordinates p = model_.Position();
  s_ = p.v[kPathAxis];
  // Unwrapping goes on from where the axes stand.
  for (int i = 0; i < kMaxAxes; ++i) last_[i] = static_cast<int32_t>(std::lround(p.v[kFirstChannel + i]));
}

void PathAxes::Immediate(const uint8_t* c, int size) {
  const uint8_t* a = c + 2;
  const int n = size - 2;
  if (c[0] == CMD_DYNAMICS && n >= 4) {
    // Velocity gained per 5 ms as a fraction of vmax (in 1/65535), and the
    // filter time in 1.25 ms.
    accel_ = Get16(a) / 65535.0 / kTick;
    filter_ = Get16(a + 2) * 0.00125;
    vmaxFraction_ = 1;
    if (model_.Configure(accel_, vmaxFraction_, filter_)) ++pushed_;
  } else if (c[0] == CMD_FEED_OVERRIDE && n >= 2) {
    // The planner scales each element through the override, so a value
    // applies to the points streamed after it; 0 is the operator's hold,
    // which brakes the path already buffered at once, and the next value
    // above 0 lets it go on.
    const double percent = static_cast<int16_t>(Get16(a)) * 100.0 / 1024.0;
    if (percent <= 0) {
      model_.SetLiveOverride(0);
    } else {
      model_.SetLiveOverride(100);
      model_.SetOverride(percent);
    }
  }
}

double PathAxes::AheadMs() const {
  return nominal_ > 0 ? model_.LengthAhead() / nominal_ * 1000.0 : 0.0;
}

void PathAxes::Watch() {
  const double v = model_.PathVelocity();
  // Braking from v to rest takes v² / 2a, and one more tick of travel.
  const double need = accel_ > 0 ? v * v / (2 * accel_) + v * kTick : v * kTick;
  const bool running = nominal_ > 0 && v > 0 && !model_.Halting();
  const bool isShort = running && model_.LengthAhead() < need;
  if (isShort && !short_) {
    ++underruns_;
    ++stats_.underruns;
    record_.Event(now_, "underrun ahead=%.3f ms v=%.4f", AheadMs(), v);
  }
  short_ = isShort;
  if (running && ++stats_.ticks > kWarmUpTicks) {
    const double ahead = AheadMs();
    if (stats_.aheadMin < 0 || ahead < stats_.aheadMin) stats_.aheadMin = ahead;
  }
}

void PathAxes::ReportMotion() {
  record_.Event(now_, "motion points=%llu frames=%llu gap mean=%.2f ms max=%.2f ms ahead min=%.1f ms underruns=%llu",
                static_cast<unsigned long long>(stats_.points), static_cast<unsigned long long>(stats_.frames),
                stats_.frames ? stats_.gapSum / static_cast<double>(stats_.frames) : 0.0, stats_.gapMax,
                stats_.aheadMin, static_cast<unsigned long long>(stats_.underruns));
  stats_ = MotionStats();
}

void PathAxes::Tick(uint64_t t) {
  now_ = t;
  // An output after a stop runs once the axes have settled there, before
  // the path goes on.
  if (model_.ApplySettled()) {
    while (!queue_.empty() && queue_.front().after <= model_.Passed()) {
      ready_.push_back(std::move(queue_.front()));
      queue_.pop_front();
    }
  }
  const bool wasHalting = model_.Halting();
  model_.Step();
  if (wasHalting && !model_.Halting()) {
    // Stopped: what was still buffered is gone.
    queue_.clear();
    ready_.clear();
    pushed_ = model_.Passed();
    s_ = model_.RawPosition().v[kPathAxis];
    for (int i = 0; i < kMaxAxes; ++i) last_[i] = static_cast<int32_t>(std::lround(model_.RawPosition().v[kFirstChannel + i]));
    record_.Event(t, "halted");
  }
  Watch();
  const bool moving = !model_.Idle();
  if (moving) moved_ = true;
  if (!moving && moved_) {
    moved_ = false;
    ReportMotion();
  }
}

}  // namespace modsim
