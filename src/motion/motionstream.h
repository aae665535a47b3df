// MotionStream: what the path planner hands on, in stream order, to the
// controller module that executes the path: the module's acceleration,
// maximum velocity and filter time, the nominal path velocity, the feed
// override, 5 ms path points and the state changes that take effect where
// the path has got to. Behind it sit the position stream to the real module,
// the module model that the time estimate and the soft module run, and the
// recording sink of the tests.
//
// The module ramps the path velocity itself (with the configured
// acceleration) and smooths the motion with a moving average over the filter
// time; the planner only decides velocities. A velocity command applies to
// the points after it, and a velocity of 0 means the module comes to rest at
// the last point.
//
// The machine operations the planner triggers (homing, pause, outputs,
// spindle, stop conditions) have bodies that do nothing, so a sink that only
// models motion overrides the stream alone.
#pragma once

#include <cstdint>

#include "base/coordinates.h"
#include "motion/frontend.h"

class StateChangeList;

class MotionStream {
 public:
  // NextPosition modes.
  static constexpr int kPointNormal = 0;
  static constexpr int kPointOptional = 1;  // may be dropped when equal to the last
  static constexpr int kPointStop = 2;      // end point of a stop

  virtual ~MotionStream();

  // ---- the stream
  // Acceleration (mm/s²), maximum path velocity (mm/s), filter time (s) and
  // emergency-stop deceleration (mm/s²). Sent only while the machine stands.
  virtual void SetAcceleration(double accel, double vmax, double filterTime, double estopAccel) = 0;
  // Nominal path velocity (mm/s) for the points that follow; 0 = come to rest
  // at the last point.
  virtual void SetVelocity(double velocity) = 0;
  // Feed override (percent, 0..100) for the points that follow.
  virtual void SetFeedOverride(double percent) = 0;
  // One path point, machine coordinates (mm, degrees).
  virtual void NextPosition(const Coordinates& point, int mode) = 0;
  // The changes take effect when the module reaches the last point streamed;
  // the list is emptied (its objects go on to the stream or back to the pool).
  // line: the program line (tag); velocity: the planned path velocity, mm/s.
  virtual void Trace(StateChangeList& changes, int32_t line, double velocity) = 0;
  // Blocks until every point has been executed and the machine stands.
  virtual void WaitStandstill() = 0;
  // Dwell of seconds at standstill (G4); untilHandle: the dwell's UNTIL
  // condition (0 = none), see UntilHandle.
  virtual void Delay(double seconds, uint32_t untilHandle) = 0;
  // The position the machine reports (machine coordinates); valid at standstill.
  virtual Coordinates ActualPosition() = 0;
  // Reference number of the last point streamed.
  virtual int16_t RefNum() const = 0;

  // ---- machine operations the planner triggers (bodies do nothing)
  // Before every move: door, servo and brake handling; may raise an error.
  virtual void BeginMotion();
  // Before every element: the stop conditions; may raise an error.
  virtual void CheckMayMove();
  // After every point: serve the operator's commands; may raise a break.
  virtual void CheckBreak();
  // G74: homes the axes of the mask; returns false when nothing was homed,
  // else the machine position afterwards.
  virtual bool Home(int32_t axes, bool flag, Coordinates& position);
  // M0/M1 at standstill.
  virtual void Pause(int32_t mCode);
  // An output switched in program order.
  virtual void SetOutput(int32_t output, bool on, bool immediate);
  // Spindle command changed (M3, M4, M5, S): on/off, direction, nominal rpm.
  virtual void SpindleChanged(bool on, bool clockwise, double rpm);
  // Arms (condition != null) or releases the stop condition of a move with
  // UNTIL; the move runs between the two calls.
  virtual void ArmStopCondition(const Condition* condition);
  // Torch height control on (M46: target arc voltage in V, the band of Z
  // it may correct within, mm machine, automatic voltage) or off (M47), at
  // a standstill. False when the machine has none.
  virtual bool SwitchThc(bool on, double volts, double zLowMm, double zHighMm, bool automatic);
  // The nominal path velocity (mm/s) for the torch height control.
  virtual void ThcNominalVelocity(double velocityMmPerS);
  // The torch was lit (M3) or put out (M5, at a standstill): a lost arc
  // stops the cut while it burns.
  virtual void WatchArc(bool on);
};
