// PositionStream: the planner's path as the controller module executes it.
// Path points (mm, machine coordinates) become step counts per hardware
// channel, with screw-pitch and backlash compensation; they go to the module
// with flow control on its buffer (counting what is still in flight or
// bundled), each with a reference number; the trace buffer records which
// line and which state changes belong to which reference, and releases them
// when the module reports that reference reached. The module's actual
// position is read back with the compensation removed. Everything runs on
// the machine's worker thread; the queries at the end are safe from others.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "base/coordinates.h"
#include "motion/motionstream.h"
#include "realmachine/compensation.h"
#include "realmachine/modulelink.h"
#include "realmachine/tracebuffer.h"

class ParaFile;
class RealMachine;

// Which logical axis drives which hardware channel of the main module.
// Keys "Axis#0".."Axis#5" of the parameter table name the axis of each
// channel ("X", "Y", ..., "X1"/"X2" for the two sides of a gantry, "0" for
// none); without any, channels 0 to 3 carry X, Y, Z and A.
struct AxisChannels {
  int axis[ModuleLink::kChannels] = {0, 1, 2, 3, -1, -1};
  int count = 4;  // channels sent with every point (the highest used + 1)

  void Load(const ParaFile* parameterTable);
  bool Mapped(int logicalAxis) const;
  // The first channel of an axis (its master side), and the second one (a
  // gantry's slave side); -1 when there is none.
  int Master(int logicalAxis) const;
  int Slave(int logicalAxis) const;
};

// The pace of the stream; the defaults are the machine's, tests shorten
// them together with a faster soft module.
struct StreamTiming {
  int maxBufLevel = 400;     // commands in the module's buffer (and in flight) to stream up to
  int pollEvery = 20;        // points between two status polls while streaming
  double pollPauseMs = 25;   // pause after such a poll
  double fullSleepMs = 40;   // wait while the buffer is full
  double waitSliceMs = 50;   // longest wait between polls at a standstill wait
  double delaySliceMs = 50;  // dwell slices (5 ms when an input may end the dwell)
  double Scaled(double ms) const { return ms / (speed > 0 ? speed : 1.0); }
  double speed = 1;          // tests: everything this much faster
};

class PositionStream : public MotionStream {
 public:
  // Status byte of the module.
  static constexpr int kStatusMoving = 0x01;
  static constexpr int kStatusErrorMask = 0x0E;  // bits 1..3
  static constexpr int kStatusDriveError = 0x02;
  static constexpr int kStatusStopInput = 0x08;
  static constexpr int kLevelStopped = 0x8000;   // gauge bit 15: the module stopped the stream

  explicit PositionStream(RealMachine& machine);

  void SetLink(ModuleLink* link) { m_link = link; }
  ModuleLink* Link() const { return m_link; }
  AxisChannels& Channels() { return m_channels; }
  Compensation& Comp() { return m_comp; }
  TraceBuffer& Trace() { return m_trace; }
  StreamTiming& Timing() { return m_timing; }

  // Start of the stream on a freshly opened module: buffer cleared, the
  // position read back, the first point sent at it (which fixes the
  // reference number) and the trace started there. False when the module
  // does not answer.
  bool Start(int32_t line);

  // ---- MotionStream
  void SetAcceleration(double accel, double vmax, double filterTime, double estopAccel) override;
  void SetVelocity(double velocity) override;
  void SetFeedOverride(double percent) override;
  void NextPosition(const Coordinates& point, int mode) override;
  void Trace(StateChangeList& changes, int32_t line, double velocity) override;
  void WaitStandstill() override;
  void Delay(double seconds, uint32_t untilHandle) override;
  Coordinates ActualPosition() override;
  int16_t RefNum() const override { return m_refNum; }
  void BeginMotion() override;
  void CheckMayMove() override;
  void CheckBreak() override;
  void Pause(int32_t mCode) override;
  void SetOutput(int32_t output, bool on, bool immediate) override;
  void SpindleChanged(bool on, bool clockwise, double rpm) override;
  bool Home(int32_t axes, bool flag, Coordinates& position) override;
  void ArmStopCondition(const Condition* condition) override;
  bool SwitchThc(bool on, double volts, double zLowMm, double zHighMm, bool automatic) override;
  void ThcNominalVelocity(double velocityMmPerS) override;
  void WatchArc(bool on) override;

  // ---- moves that end when an input fires
  // Arms signal as stop condition besides any armed before (up to two):
  // the motion stops where it reaches level (true: active). False when the
  // signal has no pin.
  bool ArmInput(int signal, bool level);
  // Takes the armed inputs out of the condition again (the limit switches
  // and the emergency stop stay).
  void DisarmInput();
  // While set, the armed input firing is the expected end of the motion,
  // not a stop to report.
  void SetProbing(bool on) { m_probing = on; }
  bool Probing() const { return m_probing; }
  // An input armed last stands at its level now.
  bool ArmedInputFired() const;
  // The safety supervisor wants the module's buffer cleared: at once when
  // nothing runs, else by the wait for standstill of what runs.
  void ClearRequested();
  // The module's position of channel c becomes steps, the machine's mm on
  // axis (at a standstill).
  bool ResetAxis(int axis, double mm);
  // A gantry's sides apart: while channel c is held it stands where it is
  // and the axis moves its other side alone (the axis position is then that
  // side's). Released (-1), the held side keeps the distance it got to.
  void HoldChannel(int c);
  // Steps channel c stands beyond its axis's position (0 unless a gantry's
  // sides were moved apart).
  int32_t ChannelShift(int c) const { return m_chanShift[c]; }

  // ---- the stream's own operations
  // One step vector with flow control (mode as NextPosition).
  void SetPosition(const int32_t* steps, int mode);
  // Buffer level, status, inputs and actual position of the modules.
  void DoPollIo(bool pollAll);
  // The actual position, and the trace executed up to it.
  void GetInternalActPos();
  // Until the machine stands; with force (or after a stop) the module's
  // buffer and the trace are cleared.
  void InternalWaitStop(bool force);
  void InternalDelay(double seconds, uint32_t untilHandle);
  // The stop conditions: 0 or the reason (-101, -102). With raise the
  // reason is thrown into the program.
  int32_t CheckStop(bool raise);
  // The PWM of the spindle (percent) now, in the stream.
  void UpdatePwm(bool onTheFly);

  // ---- queries (any thread)
  Coordinates ActPos() const;
  double ActVelocity() const { return m_actVelocity.load(std::memory_order_relaxed); }
  int16_t ActRefNum() const { return m_actRefNum.load(std::memory_order_relaxed); }
  int32_t Line() const { return m_trace.CurrentLine(); }
  bool Moving() const { return m_moving; }
  int BufLevel() const { return m_bufLevel.load(std::memory_order_relaxed); }
  int ModuleStatus() const { return m_moduleStatus.load(std::memory_order_relaxed); }
  double TakeTravelled();
  uint64_t PointsSent() const { return m_pointsSent.load(std::memory_order_relaxed); }
  uint32_t Inputs() const { return m_inputs.load(std::memory_order_relaxed); }
  // The sixth value the module reports with its position: the raw arc
  // voltage of a module with torch height control (409.5 per input volt).
  int32_t ArcRaw() const { return m_arcRaw.load(std::memory_order_relaxed); }

 private:
  friend class RealMachine;
  void LinkMustBeUp();
  void ToSteps(const Coordinates& p, const Coordinates& offset, int32_t* steps) const;
  // -1 for the slave side of an axis whose slave motor turns the other way.
  int ChannelSign(int c) const;
  // Axis position of channel c's step count (compensation removed).
  double ChannelPosition(int c, int32_t steps, const Coordinates& offset) const;
  void ClearAfterStop();
  void Sleep(double ms) const;
  void SendOffsetRamp(const Coordinates& point);

  RealMachine& m_machine;
  ModuleLink* m_link = nullptr;
  AxisChannels m_channels;
  Compensation m_comp;
  TraceBuffer m_trace;
  StreamTiming m_timing;

  int32_t m_lastSteps[ModuleLink::kChannels] = {};
  int32_t m_chanShift[ModuleLink::kChannels] = {};  // steps beyond the axis position
  int m_held = -1;                                  // channel standing while its axis moves
  int32_t m_heldSteps = 0;
  Coordinates m_lastPoint;       // machine coordinates of the last point streamed
  std::atomic<int> m_bufLevel{0};
  std::atomic<int> m_moduleStatus{0};
  int16_t m_refNum = 0;
  std::atomic<int16_t> m_actRefNum{0};
  bool m_moving = false;
  int m_pollCount = 0;
  int m_traceCount = 0;
  int32_t m_actSteps[ModuleLink::kChannels] = {};
  mutable std::mutex m_posMutex;  // actPos is read by the operator interface
  Coordinates m_actPos;
  std::atomic<double> m_actVelocity{0};
  double m_travelled = 0;  // mm
  std::atomic<uint32_t> m_inputs{0};
  std::atomic<int32_t> m_arcRaw{0};
  uint32_t m_backlashSigns = 0;
  double m_vmax = 0;       // mm/s, of the dynamics sent last
  Coordinates m_offset;    // backlash offset in steps, as filtered
  std::atomic<uint64_t> m_pointsSent{0};
  bool m_waiting = false;
  bool m_probing = false;
  bool m_probeStopped = false;  // a stop input ended the probing move
  bool m_clearPending = false;  // the supervisor asked for a clear while something ran
  // Inputs armed for the move (homing X and Y together arms two), and
  // those armed last, still known after the stop took them out.
  static constexpr int kArmedMax = 2;
  int m_armed[kArmedMax] = {-1, -1};
  int m_lastArmed[kArmedMax] = {-1, -1};
  bool m_lastLevel[kArmedMax] = {true, true};
};
