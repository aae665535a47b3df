// The axes of a path controller: they execute the position stream the way
// the module does. The module knows no millimetres. Every point of the
// stream is 5 ms of path at the nominal velocity in effect when it arrives,
// and velocities and accelerations come as fractions of the configured
// maximum velocity; so the path is measured in seconds at that maximum
// ("vmax seconds"), and the module model runs on it: it ramps the path
// velocity with the configured acceleration, brakes ahead for stops and for
// the end of what is buffered, and smooths with the filter time. The step
// positions of the channels ride along the path.
//
// Buffered commands other than points (velocities, outputs, PWM) are handed
// back to the core when the motion has passed the point before them; one
// that follows a stop waits until the axes have settled there, and the path
// does not go on before it has run. A reference number counts as reached
// when its point has been passed.
//
// A buffer underrun is the stream running short while the host still asks
// for motion: the path buffered ahead is shorter than the distance the
// module needs to brake, so it has to slow down for want of points.
#pragma once

#include <cstdint>
#include <deque>
#include <vector>

#include "axes.h"
#include "motion/modulemodel.h"
#include "record.h"

namespace modsim {

class PathAxes : public AxisModel {
 public:
  static constexpr double kTick = 0.005;  // s

  explicit PathAxes(Recorder& record);

  void Point(const int32_t (&steps)[kMaxAxes]) override;
  void SetPosition(int axis, int32_t steps) override;
  void Stop() override;
  void StopDead() override;
  void Tick(uint64_t t) override;
  int32_t Actual(int axis) const override;

  bool TakesStream() const override { return true; }
  void Queue(const uint8_t* command, int size, uint64_t t) override;
  bool NextDue(std::vector<uint8_t>& command) override;
  size_t Queued() const override { return queue_.size() + ready_.size(); }
  void ClearQueue() override;
  void Immediate(const uint8_t* command, int size) override;
  bool Moving() const override { return !model_.Idle(); }
  bool Halted() const override { return halted_; }

  // Since the start (the record gets them per motion as well).
  uint64_t Underruns() const { return underruns_; }

 private:
  struct Item {
    uint64_t after;  // model entries that must have been passed
    std::vector<uint8_t> bytes;
  };
  // The figures of one motion, from setting off to standing again.
  struct MotionStats {
    uint64_t points = 0;
    uint64_t frames = 0;        // arrivals that brought points while moving
    double gapSum = 0;          // ms between such arrivals
    double gapMax = 0;          // ms
    double aheadMin = -1;       // ms of path buffered, once the stream runs
    uint64_t underruns = 0;
    uint64_t ticks = 0;
  };

  void AddPoint(const uint8_t* args, int n);
  void Barrier();
  void Watch();
  void ReportMotion();
  double AheadMs() const;

  Recorder& record_;
  ModuleModel model_;
  std::deque<Item> queue_;
  std::deque<Item> ready_;  // came due before this tick's motion
  uint64_t pushed_ = 0;   // model entries pushed (continues from Passed after a drop)
  double s_ = 0;          // path coordinate of the last point, vmax seconds
  double nominal_ = 0;    // last velocity command, fraction of vmax
  double accel_ = 0;      // vmax per second
  double vmaxFraction_ = 1;
  double filter_ = 0;     // s
  int32_t last_[kMaxAxes] = {};  // the last point queued, steps
  bool halted_ = false;
  bool short_ = false;    // the stream is running short now
  uint64_t underruns_ = 0;
  uint64_t now_ = 0;      // µs of the last arrival
  uint64_t lastArrival_ = 0;
  bool moved_ = false;
  MotionStats stats_;
};

}  // namespace modsim
