// Cutter radius compensation (G41 tool left of the path, G42 right, G40 off)
// in the XY plane, as a front-end stage that inserts itself between the
// interpreter and the stage behind it while compensation is on.
//
// Every element is held back by one: its compensated end point depends on
// the corner it forms with the next element. The first element after
// switching on is the approach (it runs from the uncompensated position to
// the compensated start of the second element); the first element after
// switching off is the departure (it runs from the compensated end of the
// last element to its programmed end).
//
// Failures are thrown as Error_t: -1100 (already on), -1101 (switched off
// before the second element), -1102 (contour intersection), -1103 (internal),
// -1104 (arc not in XY), -1105 (U-turn), -1106 (soft limit), -1042 (UNTIL),
// -1022 (arc start and end on different circles).
#pragma once

#include <cstdint>

#include "base/coordinates.h"
#include "motion/frontend.h"
#include "motion/geometry2d.h"

// stateFlags bits of MachineState that mark the active compensation side.
constexpr int kFlagBitG41 = 8;
constexpr int kFlagBitG42 = 9;

class RadiusComp : public FrontEnd {
 public:
  enum Phase { PHASE_STARTED = 0, PHASE_FIRST_HELD = 1, PHASE_RUNNING = 2, PHASE_LEAVING = 3 };

  RadiusComp() = default;
  ~RadiusComp() override = default;

  // G41 (side 1), G42 (side 2), G40 (side 0). The machine state is the one
  // attached with SetMachineState, else that of the stage in ownerSlot; it
  // gives the start position, the soft limits and takes the modal flags.
  // ownerSlot is the interpreter's
  // front-end pointer; the stage writes itself into it while on. A null slot
  // or a radius below the smallest double step means side 0. Side 0 with
  // `immediate` drops whatever is held and leaves the chain at once;
  // otherwise the next element becomes the departure move.
  void SwitchOn(FrontEnd** ownerSlot, int side, double radius, bool immediate);
  bool IsOn() const { return m_side != 0; }

  void AddLine(const Coordinates& end, double feed, bool rapid, const Condition* until, bool noKnife) override;
  void AddArc(const Coordinates& end, const double centre[3], double feed, int32_t plane, bool clockwise) override;
  void AddCmd(const StateChange& change) override;

  // The machine's geometric tolerance (mm) that switching on takes over.
  static void SetToleranceParameter(double tolerance);
  static double GetToleranceParameter();

  int Side() const { return m_side; }
  int GetPhase() const { return m_phase; }
  double Radius() const { return m_radius; }
  double CornerLimitDeg() const { return m_cornerLimit; }
  double Tolerance() const { return m_tolerance; }
  FrontEnd* Next() const { return m_next; }

 private:
  // Direction, radius and sweep of the newest element from its programmed
  // start (the previous target) to `end`.
  void TakeNewLine(const Coordinates& end);
  void TakeNewArc(const Coordinates& end, const double centre[3], bool clockwise);
  void Step(const Coordinates& end, double feed);

  void Approach();
  void Corner();
  void TangentJoin();
  void OutsideCorner();
  void InsideCorner();
  void Leave();

  void AdjustNewArcRadius(int32_t errorCode);
  // Offset of the held end (the programmed corner) by a direction.
  geo2d::Vec2 CornerOffset(geo2d::Vec2 dir) const;
  void SetPendingXY(geo2d::Vec2 p);
  // Sweep of an arc whose start or end moved to a new point around its
  // centre; a sweep of the wrong sign or beyond a full turn is -1102.
  static double CheckedSweep(double sweep, bool clockwise);
  void Emit();
  void Shift();
  void SwitchOffNow();

  FrontEnd* m_next = nullptr;
  FrontEnd** m_ownerSlot = nullptr;
  int m_side = 0;
  int m_phase = PHASE_STARTED;

  Coordinates m_target;       // programmed end of the newest element
  Coordinates m_pending;      // end of the held element
  Coordinates m_previousEnd;  // start of the held element as emitted
  geo2d::Vec2 m_prevEndDir{1, 0};
  geo2d::Vec2 m_newStartDir{1, 0};
  geo2d::Vec2 m_newEndDir{1, 0};
  double m_prevFeed = 0;
  double m_newFeed = 0;
  double m_radius = 0;
  double m_cornerLimit = 90.0;
  double m_tolerance = 0.001;
  double m_newArcRadius = 0;
  double m_prevArcRadius = 0;
  double m_newCentre[3] = {0, 0, 0};
  double m_prevCentre[3] = {0, 0, 0};
  bool m_newClockwise = false;
  bool m_prevClockwise = false;
  bool m_prevIsArc = false;
  bool m_newIsArc = false;
  bool m_prevRapid = false;
  bool m_newRapid = false;
  bool m_prevFlag = false;
  bool m_newFlag = false;
  // A pure Z move has no extent in the plane: nothing lies behind its start.
  bool m_prevHasXY = false;
  bool m_newHasXY = false;
  double m_newSweep = 0;
  double m_prevSweep = 0;
  double m_cornerAngle = 0;
  int32_t m_heldTag = 0;
};
