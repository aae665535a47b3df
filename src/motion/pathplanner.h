// PathPlanner: the front-end side of the machine back end. It receives the
// interpreter's lines, arcs and state changes, gives every element a constant
// path velocity and decides how the corner into the next element is driven;
// the controller module does the ramping and smoothing (see MotionStream).
//
// One element is held back so that the corner between it and the next one
// can be handled before it is streamed. Two modes (bit 7 of the machine
// state's flags, set by G61):
//  - smoothing (G64, and a fresh start): the module filters over T =
//    sqrt(8 e / a) (e the path tolerance); a corner is passed at a velocity
//    that keeps the filtered path within e, and the last part of the element
//    before and the first part after it (half the distance of one filter time
//    each) run at that velocity, so the filter window round the corner sees
//    only the slow parts;
//  - exact stop (G61): no filter; a corner is passed without stopping only
//    when every axis's velocity step stays within its MaxJumpVel.
// Feed moves go to the module at 1.5 times the feed with an override of 2/3,
// so the operator can raise the feed to 150 %. Rapids are point-to-point
// moves with a full stop at their end.
//
// Everything runs on the caller's thread (the machine's worker); no
// allocation per element.
#pragma once

#include <cstdint>

#include "base/coordinates.h"
#include "machine/statechange.h"
#include "machine/transformation.h"
#include "motion/frontend.h"
#include "motion/motionlimits.h"

class MachineState;
class MotionStream;

// One planned element as streamed (velocities at 100 % override).
struct PlannedElement {
  int32_t tag = 0;
  char kind = 'L';              // 'L' line, 'A' arc, 'R' rapid, 'U' move with UNTIL
  double length = 0;            // mm (machine path)
  double feed = 0;              // programmed velocity, mm/s (rapids: the fastest the axes allow)
  double velocity = 0;          // planned velocity, mm/s
  double cornerVelocity = 0;    // velocity into the next element, mm/s; 0 = full stop
  double cutBefore = 0;         // mm at its end run at the corner velocity
  double cutAfter = 0;          // mm at its start run at the previous corner's velocity
};

// One corner between two elements of a path.
struct PlannedCorner {
  int32_t tag = 0;      // line of the element that ends at the corner
  double angle = 0;     // degrees
  double velocity = 0;  // mm/s at 100 % override; 0 = full stop
  bool limited = false; // slower than an element beside it (or a stop)
};

class PlanObserver {
 public:
  virtual ~PlanObserver();
  virtual void OnElement(const PlannedElement& element);
  virtual void OnCorner(const PlannedCorner& corner);
};

class PathPlanner {
 public:
  static constexpr double kSample = 0.005;  // s of path between points

  explicit PathPlanner(MotionStream& stream);
  PathPlanner(const PathPlanner&) = delete;
  PathPlanner& operator=(const PathPlanner&) = delete;

  // The planning state (not owned): its transformation maps the elements,
  // its flags select the mode, state changes are executed on it.
  void SetMachineState(MachineState* state) { m_state = state; }
  MachineState* GetMachineState() const { return m_state; }
  void SetObserver(PlanObserver* observer) { m_observer = observer; }
  void SetTag(int32_t t) { frontTag = t; }
  void SetExecMode(int32_t mode) { execMode = mode; }
  // A new run from the machine position: nothing held, the module at rest.
  void Start(const Coordinates& machinePosition);

  // ---- the front end's operations
  void AddLine(const Coordinates& end, double feed, bool rapid, const Condition* until, bool noKnife);
  void AddArc(const Coordinates& end, const double centre[3], double feed, int32_t plane, bool clockwise);
  void AddCmd(const StateChange& change);
  void SetOffsetPosition(const double position[3], bool flag);
  // Streams what is held and brings the machine to rest (stateWord: the
  // back end's state for the log).
  void EndProgram(uint32_t stateWord = 0);
  // Streams what is held, waits for standstill and takes the machine's
  // position as the current one.
  void WaitForMachine();
  // The current tool's highest spindle speed, rpm (0 = none).
  void SetMaxRpm(double rpm);
  double MaxRpm() const { return maxRpm; }
  // A caught break: the held element and the queued changes are dropped.
  void CatchBreak();

  // ---- operations of the machine back end
  // A single move with a full stop: velocity mm/s, override percent; mode 2
  // (rapids) filters over 0.1 v / a, mode 0 not at all.
  void PointToPointMove(const Coordinates& target, double v, double override, int mode);
  // The operator's feed override, percent.
  void SetFeedOverride(double percent);
  // Sends percent x velScale (100 x velScale under M50) when it changed.
  void ChangeFeedOvr(double percent);

  // ---- state
  const Coordinates& CurrentPos() const { return currentPos; }
  // After the machine was moved or its position set outside the planner.
  void SetCurrentPos(const Coordinates& m) { currentPos = lastPoint = m; }
  bool Holding() const { return holding; }
  bool Smoothing() const;
  double FilterTime() const { return filterTime; }
  double NominalVelocity() const { return nomVel; }
  double PlannedFeed() const { return plannedFeed; }
  double VelScale() const { return velScale; }
  // The line of the element being streamed.
  int32_t StreamTag() const { return tag; }
  // The velocity rapids and new paths are limited to (the largest MaxVelocity
  // of X, Y and Z), mm/s.
  static double RapidVelocity();
  // The highest velocity (mm/s) through the corner from direction d1 into d2
  // at position, for an element of velocity v (logs when it limits).
  double MaxCornerVelocity(double v, const Coordinates& d2, const Coordinates& position, const Coordinates& d1,
                           double* angle = nullptr) const;

 private:
  // An arc in machine space: the program arc mapped by a snapshot of the
  // transformation's linear part (taken when the arc arrived, so later offset
  // changes do not move it), between fractions f0 and f1.
  struct ArcPath {
    ArcGeometry arc;
    Matrix3 matrix;
    Coordinates translation;
    double f0 = 0, f1 = 1;
    double length = 0;   // machine length of the whole arc (f 0..1), mm
    bool knife = false;  // C follows the tangent (radial angle + cOffset)
    double cOffset = 0;  // degrees
    Coordinates Point(double f) const;
    Coordinates Tangent(double f) const;  // d(point)/df over X, Y, Z
  };
  // What is held, or the new element.
  struct Element {
    bool isArc = false;
    bool knife = false;      // a line the tangential knife follows (C leaves the length)
    Coordinates start, end;  // machine
    ArcPath arc;
    double length = 0;       // mm still to stream
  };

  // A point of an element as a function of a parameter (a fraction, a length).
  using PiecePoint = Coordinates (*)(const void* ctx, double at);

  // Internal operations.
  void AddSegment();
  void HoldNew();
  void StartNewPolyLine(double a, double vmaxNew, double filter);
  void ChangeAcceleration(double a, double vmaxNew);
  void ChangeVelocity(double v);
  void DoLastMove(bool push);
  void PushChangeQueue();
  void PropagateChange(StateChange* change);
  void StreamPiece(const Element& piece, double v);
  void MakeLinearMove(const Coordinates& from, const Coordinates& to, double v, bool knife);
  void MakeCircularMove(const ArcPath& arc, double v);
  void EmitPoint(const Coordinates& p);
  // Points every step along a piece of length from `from` to `to`, the
  // first one step after the last point streamed; point(ctx, s) is the
  // point s along the piece.
  void StreamSteps(const Coordinates& from, const Coordinates& to, double length, double step, PiecePoint point,
                   const void* ctx);
  void InsertRemainder(const Coordinates& start, double step);
  void AddElementSegment(const Coordinates& machineEnd, double vel);
  // Plans a mapped element as lines of about 5 ms of path at vel, starting
  // with a fraction step of inc.
  void AddPieces(PiecePoint point, const void* ctx, double inc, double vel);
  void MoveWithUntil(const Coordinates& target, double feed, const Condition* until);

  // Geometry helpers.
  double PathLength(const Coordinates& d) const;
  Coordinates UnitOf(const Coordinates& d) const;
  // The direction at the end (atEnd) or start of e run at v.
  Coordinates Direction(const Element& e, double v, bool atEnd) const;
  static Element Part(const Element& e, double fromLength, double toLength);
  const Transformation& Trans() const;
  double Tolerance() const;
  double EffectiveVelocity(double v) const { return v * velScale; }

  MotionStream& out;
  MachineState* m_state = nullptr;
  PlanObserver* m_observer = nullptr;

  // Planner state, machine coordinates after the transformation.
  Coordinates currentPos;     // end of the last element held or streamed
  Coordinates lastPoint;      // last point streamed
  Coordinates progPos;        // the same end in program coordinates
  Element held;
  Element next;               // the new element
  Coordinates heldDir, newDir;
  double heldVel = 0, newVel = 0;  // mm/s, as sent to the module
  double heldCornerVel = 0;   // velocity into the element after the held one
  bool holding = false;
  bool knifeTurn = false;
  bool thcOn = false;         // the module corrects Z by the arc voltage
  double filterTime = 0;      // s
  double accel = 0, vmax = 0; // configured in the module, mm/s², mm/s
  bool forceAccel = true;
  double nomVel = 0;          // mm/s
  double plannedFeed = 0;     // mm/s
  double velScale = 1;
  double feedOvr = 100;       // percent
  double effFeedOvr = -1;     // percent, -1 = not sent
  double remSegLen = 0;       // mm
  int32_t tag = 0;
  int32_t frontTag = 0;
  int32_t execMode = kExecStd;
  StateChangeList changeQueue;
  // Spindle: nominal S (rpm) and the pending values averaged over a move.
  double nominalS = 0;
  double maxRpm = 0;
  double pendingSSum = 0;
  int pendingSCount = 0;
  double pendingSX = 0, pendingSY = 0;  // mm, where the first pending S came

  // The elements being planned, for the observer.
  PlannedElement heldRecord, newRecord;
};
