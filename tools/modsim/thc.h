// Torch height control of a plasma module: it measures the arc voltage over
// the plate and moves one channel (Z) on its own, on top of the stream, so
// the voltage stays at the target within the deadband, never leaving the
// band of steps it was given, at the velocity and acceleration it was given.
#pragma once

#include <cstdint>

#include "record.h"
#include "sensors.h"

namespace modsim {

class TorchHeight {
 public:
  static constexpr double kRawPerVolt = 409.5;

  explicit TorchHeight(const ThcPlate& plate) : plate_(plate) {}
  // A plate is configured: the voltage is measured and reported.
  bool Measures() const { return plate_.given; }
  bool On() const { return on_; }
  // The arc burns (a control line can put it out): without it the input
  // reads 0 V and the control holds Z where it is.
  bool Arc() const { return arc_; }
  void SetArc(bool burns) { arc_ = burns; }
  // The nominal path velocity the host forwards (a 1/65535 share of its vmax).
  void NominalVelocity(uint32_t share, uint64_t t, Recorder& record);
  int Channel() const { return channel_; }
  // The steps the control has moved its channel by (not yet part of the axis).
  int32_t Shift() const { return static_cast<int32_t>(shift_ >= 0 ? shift_ + 0.5 : shift_ - 0.5); }

  // The switching command's arguments (n bytes after code and length). An
  // off ends with the shift handed to the caller (*fold, steps) to make
  // part of the axis position.
  void Command(const uint8_t* args, int n, const int64_t* physical, uint64_t t, Recorder& record, int32_t* fold);
  // The voltage at the input with the torch at `physical` (steps, X Y Z).
  double Volts(const int64_t* physical) const;
  int32_t Raw(const int64_t* physical) const;
  // One 5 ms tick: `physical` with the shift, `counter` the controlled
  // channel's count with it; hold: a stop input holds the axes.
  void Tick(const int64_t* physical, int32_t counter, bool hold);

 private:
  ThcPlate plate_;
  bool on_ = false;
  bool arc_ = true;
  int channel_ = 2;
  double gain_ = 1;            // signed: negative when the channel counts down upwards
  double targetVolts_ = 0;     // at the input
  double deadbandVolts_ = 0;
  int32_t low_ = 0, high_ = 0; // steps
  double vmax_ = 0;            // steps/s
  double acc_ = 0;             // steps/s²
  double shift_ = 0;           // steps
  double velocity_ = 0;        // steps/s
};

}  // namespace modsim
