// The planned time of a program: the interpreter's elements go through the
// path planner, and its stream through the module model, so the estimate
// includes acceleration, corner velocities and the filter. An estimate that
// ignores them is wrong by tens of percent on short CAM segments.
//
//   PlanEstimator plan(simState);       // a copy of the state the run starts from
//   MacroParser parser(&plan, &simState);
//   ... parser.ExecuteProgram(false, 0) ...
//   plan.EndProgram();
//   plan.Summary().plannedSeconds
//
// Recorded elements can be replayed into it the same way (AddLine, AddArc,
// AddCmd, EndProgram). Soft limits are not checked: that is the preview's
// business.
#pragma once

#include <cstdint>
#include <memory>

#include "motion/frontend.h"
#include "motion/modulemodel.h"
#include "motion/motionstream.h"
#include "motion/pathplanner.h"

class MachineState;

// A MotionStream that runs the module model on what it receives, as far as
// the model needs to look ahead, and counts the time.
class ModelStream : public MotionStream {
 public:
  ModelStream();

  void SetAcceleration(double accel, double vmax, double filterTime, double estopAccel) override;
  void SetVelocity(double velocity) override;
  void SetFeedOverride(double percent) override;
  void NextPosition(const Coordinates& point, int mode) override;
  void Trace(StateChangeList& changes, int32_t line, double velocity) override;
  void WaitStandstill() override;
  void Delay(double seconds, uint32_t untilHandle) override;
  Coordinates ActualPosition() override;
  int16_t RefNum() const override { return static_cast<int16_t>(m_points); }
  bool Home(int32_t axes, bool flag, Coordinates& position) override;

  // Stands at position (a new run).
  void Reset(const Coordinates& position);
  ModuleModel& Model() { return m_model; }
  // Modelled motion plus dwells, s.
  double Seconds() const { return static_cast<double>(m_model.Samples()) * ModuleModel::kSample + m_dwell; }
  double DwellSeconds() const { return m_dwell; }
  uint64_t Points() const { return m_points; }
  // Times the model stood before points it could not reach (and dropped them).
  uint64_t Blocked() const { return m_blocked; }

 protected:
  // After every sample (tests watch the motion here).
  virtual void OnSample(const ModuleModel& model);

 private:
  void StepOnce();

  ModuleModel m_model;
  double m_lookAhead = 0;  // mm the model must have buffered before it steps
  double m_dwell = 0;
  uint64_t m_points = 0;
  uint64_t m_blocked = 0;
};

struct PlanSummary {
  static constexpr int kSlowest = 5;

  double plannedSeconds = 0;  // s: the modelled motion and the dwells
  double feedSeconds = 0;     // s: length / feed of every element (rapids at the fastest the axes allow) and the dwells
  double dwellSeconds = 0;    // s
  double length = 0;          // mm of path, feed moves and rapids
  double rapidLength = 0;     // mm
  int64_t elements = 0;       // planned elements
  int64_t corners = 0;        // transitions between elements of one path
  int64_t slowedCorners = 0;  // passed slower than an element beside it
  int64_t stops = 0;          // corners with a full stop
  // The slowest corners, slowest first (full stops are velocity 0).
  PlannedCorner slowest[kSlowest];
  int slowestCount = 0;
};

class PlanEstimator : public FrontEnd, private PlanObserver {
 public:
  // Plans from a copy of source (position, offsets, modes); the machine
  // stands at source's position.
  explicit PlanEstimator(const MachineState& source);
  ~PlanEstimator() override;

  void AddLine(const Coordinates& end, double feed, bool rapid, const Condition* until, bool noKnife) override;
  void AddArc(const Coordinates& end, const double centre[3], double feed, int32_t plane, bool clockwise) override;
  void AddCmd(const StateChange& change) override;
  void SetOffsetPosition(const double position[3], bool flag) override;
  void EndProgram() override;
  void WaitForMachine() override;
  void SetTag(int32_t tag) override;
  void SetMaxRpm(double rpm) override { m_planner.SetMaxRpm(rpm); }
  void GetPosition(Coordinates& position) override;

  // Every planned element is also handed to observer (null: none).
  void SetElementObserver(PlanObserver* observer) { m_elementObserver = observer; }
  // Valid after EndProgram (before it, the motion streamed so far).
  const PlanSummary& Summary();
  PathPlanner& Planner() { return m_planner; }
  ModelStream& Stream() { return m_stream; }

 private:
  void OnElement(const PlannedElement& element) override;
  void OnCorner(const PlannedCorner& corner) override;

  std::unique_ptr<MachineState> m_state;
  ModelStream m_stream;
  PathPlanner m_planner;
  PlanObserver* m_elementObserver = nullptr;
  PlanSummary m_summary;
  double m_feedMotionSeconds = 0;
};
