#include "motion/fastforward.h"

#include <cmath>

#include "machine/machineconfig.h"
#include "machine/machinestate.h"
#include "machine/statechange.h"
#include "machine/transformation.h"

namespace {
// Machine type of the tangential knife cutter.
constexpr int kMachineTypeKnife = 3;
constexpr double kRadToDeg = 57.29577951308232;
// Axes spanning the arc planes YZ, ZX and XY.
constexpr int kPlaneAxes[3][2] = {{1, 2}, {2, 0}, {0, 1}};
}  // namespace

FastForward::FastForward(FrontEnd* next)
    : m_next(next), m_knifeMode(GetMachineConfig().machineType == kMachineTypeKnife) {}

Coordinates FastForward::ToMachine(const Coordinates& end) const {
  if (!QASSERT(m_machineState != nullptr, "FastForward: no machine state")) return end;
  const Transformation* trans = m_machineState->transformation;
  return trans != nullptr ? trans->ToMachine(end) : end;
}

void FastForward::AddLine(const Coordinates& end, double, bool, const Condition*, bool) {
  m_position = ToMachine(end);
  m_havePosition = true;
}

void FastForward::AddArc(const Coordinates& end, const double centre[3], double, int32_t plane, bool clockwise) {
  m_position = ToMachine(end);
  m_havePosition = true;
  if (!m_knifeMode) return;
  if (plane < 0 || plane > 2) plane = 2;
  const int a = kPlaneAxes[plane][0];
  const int b = kPlaneAxes[plane][1];
  // The knife stands tangential to the arc at its end.
  const double endAngle = std::atan2(end.v[b] - centre[b], end.v[a] - centre[a]) * kRadToDeg;
  m_position.v[5] = clockwise ? endAngle - 90.0 : endAngle + 90.0;
}

void FastForward::AddCmd(const StateChange& change) {
  if (QASSERT(m_machineState != nullptr, "FastForward: no machine state")) ExecuteStateChange(*m_machineState, change);
}

void FastForward::SetOffsetPosition(const double position[3], bool) {
  if (!QASSERT(m_machineState != nullptr, "FastForward: no machine state")) return;
  for (int i = 0; i < 3; ++i) m_machineState->startPos[i] = position[i];
}

void FastForward::GetPosition(Coordinates& position) {
  if (m_havePosition || m_machineState == nullptr)
    position = m_position;
  else
    position = ToMachine(m_machineState->progPos);
}
