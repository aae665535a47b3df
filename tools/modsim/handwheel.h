// The module's handwheel and its handwheel jog.
//
// The handwheel is an encoder the module counts; control lines turn it (at
// once, or evenly over a time, as a hand does). The host reads it as three
// read-only parameters: the count, the module time of its last change and
// the module time of the reading, both in 100 ns.
//
// The jog moves the channels to the targets the host sends, on its own: the
// set-up gives the velocity gain per 5 ms as a fraction of the jog velocity,
// each target command the speed as a fraction of it, and the jog velocity of
// each channel (steps/s) comes from the host's parameters. The channels
// travel a straight line (measured in seconds at the jog velocity, so that
// each channel keeps its own scale), ramped by the acceleration and braking
// so as to stand at the target, never beyond it.
#pragma once

#include <cstdint>

#include "axes.h"
#include "record.h"

namespace modsim {

class Handwheel {
 public:
  // ---- the encoder
  // Turns by delta counts (or to the count delta when absolute) spread
  // evenly over durationUs of module time from now.
  void Turn(int64_t delta, bool absolute, uint64_t durationUs);
  // count, changed, sampled as the host reads them now.
  void Read(uint32_t (&values)[3]);

  // ---- the jog
  // The set-up command's arguments; velocities (steps/s) of the channels.
  void Setup(const uint8_t* args, int n, const uint32_t (&velocity)[AxisModel::kMaxAxes], const AxisModel& axes,
             uint64_t t, Recorder& record);
  void Targets(const uint8_t* args, int n, const AxisModel& axes);
  // The host's stop: the jog brakes to rest and ends there.
  void Stop(uint64_t t, Recorder& record);
  // A stop input or a cleared buffer: the channels stand where they are.
  void End();
  bool Moving() const { return moving_; }
  // One 5 ms tick: the module's time goes on, the jogged channels of axes move.
  void Tick(AxisModel& axes, uint64_t t, Recorder& record);

 private:
  void Update(uint64_t t);

  // encoder, on the module's own time: 5 ms a tick, however fast the
  // ticks come (--speed)
  uint64_t clock_ = 0;  // µs
  uint32_t count_ = 0;
  uint64_t changed_ = 0;     // µs
  int64_t base_ = 0, delta_ = 0;
  uint64_t turnStart_ = 0, turnTime_ = 0;  // µs

  // jog
  bool active_ = false;
  bool stopping_ = false;
  bool moving_ = false;
  double accPerTick_ = 0;  // speed fraction gained per 5 ms; 0: at once
  double velocity_[AxisModel::kMaxAxes] = {};  // steps/s
  double pos_[AxisModel::kMaxAxes] = {};       // steps
  double target_[AxisModel::kMaxAxes] = {};    // steps
  double commanded_ = 0;  // speed fraction
  double speed_ = 0;      // speed fraction now
};

}  // namespace modsim
