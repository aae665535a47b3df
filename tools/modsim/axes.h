// The module's axes: what a position point does to the actual positions.
// The plain model follows every point at once; a model with ramps and a
// filter can take its place behind the same interface.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace modsim {

class AxisModel {
 public:
  static constexpr int kMaxAxes = 6;
  virtual ~AxisModel() = default;
  // The commanded position (steps) of every axis for the coming 5 ms tick.
  virtual void Point(const int32_t (&steps)[kMaxAxes]) = 0;
  // Sets an axis's position (steps) without moving it.
  virtual void SetPosition(int axis, int32_t steps) = 0;
  // Ends any motion where the axes are.
  virtual void Stop() = 0;
  // A stop input: the axes stand at once where they are.
  virtual void StopDead() { Stop(); }
  // One 5 ms tick at module time t (µs).
  virtual void Tick(uint64_t t) = 0;
  virtual int32_t Actual(int axis) const = 0;

  // A model that executes the stream as a path controller takes every
  // buffered command (points, velocities, outputs...) as it arrives, at
  // time t (µs), and hands each one back once the motion has got to it.
  // The plain models leave the buffer and its pace to the core.
  virtual bool TakesStream() const { return false; }
  virtual void Queue(const uint8_t* /*command*/, int /*size*/, uint64_t /*t*/) {}
  // The next queued command whose turn has come, taken out; false if none.
  virtual bool NextDue(std::vector<uint8_t>& /*command*/) { return false; }
  // Queued commands not yet handed back.
  virtual size_t Queued() const { return 0; }
  // Forgets the queue; the axes stop where they are.
  virtual void ClearQueue() {}
  // Commands outside the buffer that the motion depends on (dynamics, feed
  // override).
  virtual void Immediate(const uint8_t* /*command*/, int /*size*/) {}
  // The axes move (or have not settled yet).
  virtual bool Moving() const { return false; }
  // A stop has ended the stream: nothing queued runs until a clear.
  virtual bool Halted() const { return false; }
};

// Actual = commanded, at once.
class DirectAxes : public AxisModel {
 public:
  void Point(const int32_t (&steps)[kMaxAxes]) override;
  void SetPosition(int axis, int32_t steps) override;
  void Stop() override {}
  void Tick(uint64_t) override {}
  int32_t Actual(int axis) const override;

 private:
  int32_t actual_[kMaxAxes] = {};
};

}  // namespace modsim
