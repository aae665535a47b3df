// The module's axes: what a position point does to the actual positions.
// The plain model follows every point at once; a model with ramps and a
// filter can take its place behind the same interface.
#pragma once

#include <cstdint>

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
  // One 5 ms tick.
  virtual void Tick() = 0;
  virtual int32_t Actual(int axis) const = 0;
};

// Actual = commanded, at once.
class DirectAxes : public AxisModel {
 public:
  void Point(const int32_t (&steps)[kMaxAxes]) override;
  void SetPosition(int axis, int32_t steps) override;
  void Stop() override {}
  void Tick() override {}
  int32_t Actual(int axis) const override;

 private:
  int32_t actual_[kMaxAxes] = {};
};

}  // namespace modsim
