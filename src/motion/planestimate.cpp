#include "motion/planestimate.h"

#include <algorithm>
#include <cmath>

#include "machine/machinestate.h"
#include "machine/statechange.h"
#include "machine/transformation.h"
#include "motion/motionlimits.h"

// ---------------------------------------------------------------------------
// ModelStream

ModelStream::ModelStream() = default;

void ModelStream::OnSample(const ModuleModel&) {}

void ModelStream::StepOnce() {
  m_model.Step();
  // Points nobody can reach (override 0) would hold the estimate forever.
  if (m_model.Blocked()) {
    ++m_blocked;
    m_model.Reset(m_model.RawPosition());
  }
  OnSample(m_model);
}

void ModelStream::SetAcceleration(double accel, double vmax, double filterTime, double) {
  while (!m_model.Configure(accel, vmax, filterTime)) StepOnce();
  // Beyond its braking distance nothing ahead changes what the module does
  // now; a few samples more cover the rounding.
  const double v = vmax > 0 ? vmax : 1000.0;
  m_lookAhead = (accel > 0 ? v * v / (2 * accel) : 0.0) + 4 * v * ModuleModel::kSample;
}

void ModelStream::SetVelocity(double velocity) { m_model.SetVelocity(velocity); }

void ModelStream::SetFeedOverride(double percent) { m_model.SetOverride(percent); }

void ModelStream::NextPosition(const Coordinates& point, int) {
  while (!m_model.AddPoint(point)) StepOnce();
  ++m_points;
  while (m_model.LengthAhead() > m_lookAhead) StepOnce();
}

void ModelStream::Trace(StateChangeList& changes, int32_t, double) { changes.DisposeAll(); }

void ModelStream::WaitStandstill() {
  while (!m_model.Idle()) StepOnce();
}

void ModelStream::Delay(double seconds, uint32_t) {
  WaitStandstill();
  // The machine waits whole milliseconds.
  if (seconds > 0 && std::isfinite(seconds)) m_dwell += std::round(seconds * 1000.0) / 1000.0;
}

Coordinates ModelStream::ActualPosition() { return m_model.Position(); }

bool ModelStream::Home(int32_t axes, bool, Coordinates& position) {
  position = HomedPosition(m_model.Position(), static_cast<uint32_t>(axes));
  m_model.Reset(position);
  return true;
}

void ModelStream::Reset(const Coordinates& position) { m_model.Reset(position); }

// ---------------------------------------------------------------------------
// PlanEstimator

PlanEstimator::PlanEstimator(const MachineState& source)
    : m_state(std::make_unique<MachineState>(source, ".plan")), m_planner(m_stream) {
  // Soft limits are the preview's check; the estimate plans what it gets.
  m_state->SetSoftLimitsEnabled(false);
  SetMachineState(m_state.get());
  m_planner.SetMachineState(m_state.get());
  m_planner.SetObserver(this);
  const Transformation* t = m_state->GetTransformation();
  const Coordinates start = t ? t->ToMachine(m_state->progPos) : m_state->progPos;
  m_stream.Reset(start);
  m_planner.Start(start);
}

PlanEstimator::~PlanEstimator() = default;

void PlanEstimator::AddLine(const Coordinates& end, double feed, bool rapid, const Condition* until, bool noKnife) {
  m_planner.AddLine(end, feed, rapid, until, noKnife);
}

void PlanEstimator::AddArc(const Coordinates& end, const double centre[3], double feed, int32_t plane,
                           bool clockwise) {
  m_planner.AddArc(end, centre, feed, plane, clockwise);
}

void PlanEstimator::AddCmd(const StateChange& change) { m_planner.AddCmd(change); }

void PlanEstimator::SetOffsetPosition(const double position[3], bool flag) {
  m_planner.SetOffsetPosition(position, flag);
}

void PlanEstimator::EndProgram() { m_planner.EndProgram(); }

void PlanEstimator::WaitForMachine() { m_planner.WaitForMachine(); }

void PlanEstimator::SetTag(int32_t tag) {
  m_tag = tag;
  m_planner.SetTag(tag);
}

void PlanEstimator::GetPosition(Coordinates& position) { position = m_planner.CurrentPos(); }

void PlanEstimator::OnElement(const PlannedElement& element) {
  ++m_summary.elements;
  m_summary.length += element.length;
  if (element.kind == 'R') m_summary.rapidLength += element.length;
  if (element.feed > 0) m_feedMotionSeconds += element.length / element.feed;
  if (m_elementObserver) m_elementObserver->OnElement(element);
}

void PlanEstimator::OnCorner(const PlannedCorner& corner) {
  if (m_elementObserver) m_elementObserver->OnCorner(corner);
  ++m_summary.corners;
  if (corner.velocity <= 0) ++m_summary.stops;
  else if (corner.limited) ++m_summary.slowedCorners;
  if (!corner.limited) return;
  // The slowest few, slowest first; an equal one keeps its earlier place.
  PlannedCorner* list = m_summary.slowest;
  int& n = m_summary.slowestCount;
  int at = n;
  while (at > 0 && list[at - 1].velocity > corner.velocity) --at;
  if (at >= PlanSummary::kSlowest) return;
  for (int i = std::min(n, PlanSummary::kSlowest - 1); i > at; --i) list[i] = list[i - 1];
  list[at] = corner;
  if (n < PlanSummary::kSlowest) ++n;
}

const PlanSummary& PlanEstimator::Summary() {
  m_summary.plannedSeconds = m_stream.Seconds();
  m_summary.dwellSeconds = m_stream.DwellSeconds();
  // The dwells count in both times, so they compare the motion.
  m_summary.feedSeconds = m_feedMotionSeconds + m_summary.dwellSeconds;
  return m_summary;
}
