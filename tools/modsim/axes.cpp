#include "axes.h"

namespace modsim {

void DirectAxes::Point(const int32_t (&steps)[kMaxAxes]) {
  for (int i = 0; i < kMaxAxes; ++i) actual_[i] = steps[i];
}

void DirectAxes::SetPosition(int axis, int32_t steps) {
  if (axis >= 0 && axis < kMaxAxes) actual_[axis] = steps;
}

int32_t DirectAxes::Actual(int axis) const { return axis >= 0 && axis < kMaxAxes ? actual_[axis] : 0; }

}  // namespace modsim
