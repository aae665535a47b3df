// Simulation: the back end that stands in for the machine. It is the last
// front-end stage of the interpreter's chain and a BackEnd driven by the
// operator interface, with a worker thread of its own. Instead of planning
// and streaming a trajectory it moves a simulated position along the
// programmed path: every 10 ms tick it advances by the current velocity
// times 10 ms and sleeps the tick, so displays behave as with a machine.
// State changes are applied to its machine state at once.
//
// Time: every tick and every idle wait goes through one SimClock. By default
// it keeps simulated time equal to wall-clock time; a speed factor runs
// faster (or slower) without changing the stepping, and speed 0 runs as fast
// as possible (tests, batch runs).
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "motion/backend.h"
#include "base/coordinates.h"
#include "motion/frontend.h"
#include "motion/workerthread.h"

class GCodeParser;
class MachineState;
class Transformation;
struct ArcGeometry;

// The clock and sleeper of the simulation.
class SimClock {
 public:
  // speed: simulated seconds per wall-clock second; 0 = as fast as possible.
  explicit SimClock(double speed = 1.0);
  virtual ~SimClock() = default;

  void SetSpeed(double speed);
  double Speed() const { return m_speed.load(std::memory_order_relaxed); }

  // One step of simulated time: advances the simulated clock by seconds and
  // sleeps until the wall clock has caught up (scaled by the speed).
  virtual void Tick(double seconds);
  // A wait for the operator (pause): the simulated clock does not advance.
  // Sleeps seconds / speed, and at least a millisecond when running as fast
  // as possible so that the wait does not spin.
  virtual void IdleWait(double seconds);

  // Simulated seconds ticked since construction (or Reset).
  double SimulatedSeconds() const { return m_simulated.load(std::memory_order_relaxed); }
  uint64_t Ticks() const { return m_ticks.load(std::memory_order_relaxed); }
  void Reset();

 private:
  void Resync();

  std::atomic<double> m_speed;
  std::atomic<double> m_simulated{0};
  std::atomic<uint64_t> m_ticks{0};
  // Wall-clock anchor: the tick loop sleeps to absolute deadlines so that
  // the time spent computing does not add up as drift.
  double m_anchorWall = 0;
  double m_anchorSim = 0;
  double m_anchorSpeed = -1;
};

class Simulation : public FrontEnd, public BackEnd, public WorkerThread {
 public:
  // Flags word bits.
  static constexpr uint32_t kBusy = 1;
  static constexpr uint32_t kStopRequested = 2;
  static constexpr uint32_t kPaused = 4;
  static constexpr uint32_t kCompleted = 8;
  static constexpr uint32_t kError = 16;
  static constexpr uint32_t kTerminate = 32;
  static constexpr uint32_t kContinued = 64;
  static constexpr uint32_t kHandwheel = 128;  // a handwheel jog runs

  static constexpr double kTick = 0.01;  // seconds
  static constexpr int kSignalCount = 2048;

  // parser: the interpreter that RunProgram runs (not owned, may be null).
  // The machine state starts as simState.
  explicit Simulation(GCodeParser* parser, SimClock* clock = nullptr);
  ~Simulation() override;

  void SetParser(GCodeParser* parser) { m_parser = parser; }
  GCodeParser* GetParser() const { return m_parser; }
  SimClock& Clock() { return *m_clock; }

  // ---- FrontEnd
  void AddLine(const Coordinates& end, double feed, bool rapid, const Condition* until, bool noKnife) override;
  void AddArc(const Coordinates& end, const double centre[3], double feed, int32_t plane, bool clockwise) override;
  void AddCmd(const StateChange& change) override;
  void SetOffsetPosition(const double position[3], bool flag) override;
  void WaitForMachine() override;
  int32_t GetBackEndKind() override;
  void SetMaxRpm(double rpm) override;
  void GetPosition(Coordinates& position) override;  // both interfaces

  // ---- BackEnd
  int32_t CheckBreak(int32_t arg) override;
  void StartWorker() override;
  void RunProgram() override;
  void ExecuteText(const std::string& text) override;
  void Stop(bool flag) override;
  void Continue() override;
  void Jog(int32_t axis, bool positive, double step, double velocity, bool flag) override;
  void JogTwoAxes(int32_t axis, bool positive, int32_t axis2, bool positive2, double step, double velocity,
                  bool flag) override;
  void MoveTo(const Coordinates& target, double value2, double velocity, bool direct) override;
  void StopJog() override;
  void HandwheelJog(bool start, int32_t axis, double step, double velocity, bool flag) override;
  void SetHandWheelPos(uint32_t position, uint32_t timestamp, uint32_t endTime) override;
  void SetThc(bool on) override;
  void SetChannel(int32_t channel, bool on) override;
  bool GetSignal(int32_t signal) override;
  bool GetOutput(int32_t output) override;
  void SetFeedOverride(double percent) override;
  void SetSpindleOverride(double percent) override;
  double GetFeedOverride() override;
  double GetSpindleOverride() override;
  double GetActualVelocity() override;
  double GetSpindleSpeed() override;
  int32_t CheckMachineReady() override;
  int32_t GetCursor() override;

  // ---- the simulated machine (tests, displays)
  // Places the simulated position (only while idle).
  void SetSimPosition(const Coordinates& position);
  // Sets a simulated input signal (the I/O image has no hardware behind it).
  void SetInput(int32_t signal, bool on);
  double Velocity() const { return m_velocity.load(std::memory_order_relaxed); }
  double MaxVelocity() const { return m_maxVelocity.load(std::memory_order_relaxed); }
  double ActualVelocity() const { return m_actualVelocity.load(std::memory_order_relaxed); }
  double ProgrammedS() const { return m_programmedS.load(std::memory_order_relaxed); }
  double MaxRpm() const { return m_maxRpm.load(std::memory_order_relaxed); }
  double TimeCarry() const { return m_timeCarry; }
  // The last run: its error code (0 = clean or stopped) and report text.
  int32_t LastErrorCode() const { return m_lastErrorCode.load(std::memory_order_acquire); }
  std::string LastErrorText() const;
  // Runs finished since construction (tests wait on it).
  uint32_t RunsFinished() const { return m_runsFinished.load(std::memory_order_acquire); }

 protected:
  void ExecuteCommand(const WorkCmdData& cmd) override;
  bool IsWorkerBusy() const override;
  bool ShouldTerminate() const override;

 private:
  using PointFn = Coordinates (*)(const void* ctx, double f);

  MachineState& State();
  const Transformation* Trans();
  Coordinates ToMachine(const Coordinates& p);
  Coordinates ToProgram(const Coordinates& m);
  void SetPos(const Coordinates& p);
  Coordinates Pos();
  void SetCurrLine();
  void SetFlag(uint32_t bits) { m_flags.fetch_or(bits, std::memory_order_acq_rel); }
  void ClearFlag(uint32_t bits) { m_flags.fetch_and(~bits, std::memory_order_acq_rel); }
  bool HasFlag(uint32_t bits) const { return (m_flags.load(std::memory_order_acquire) & bits) != 0; }
  void TickAndCheck();

  // Algorithms of the stepping.
  void AddLineInternal(const Coordinates& start, const Coordinates& u, double length, bool rapid);
  void Subdivide(PointFn point, const void* ctx, double fractionStep, double feed);
  void StepArc(const ArcGeometry& arc, double T, double cOffset);
  void RunCommand(const WorkCmdData& cmd);
  void JogCommand(const WorkCmdData& cmd);
  void MoveToCommand(const WorkCmdData& cmd);
  void HandwheelCommand(const WorkCmdData& cmd);
  void MoveMachineTo(const Coordinates& target, double speed);
  void RecordManualMoveError(int32_t code);
  void EndManualMove();
  void Pause();
  void HomeAxes(double arg);  // G74: home the axes of the mask at once

  GCodeParser* m_parser;
  SimClock m_ownClock;
  SimClock* m_clock;

  mutable std::mutex m_posMutex;  // simPos is read by the operator interface
  Coordinates m_simPos;
  std::atomic<double> m_velocity{0};
  std::atomic<uint32_t> m_wheelCount{0};  // the handwheel's count, as last delivered
  std::atomic<double> m_maxVelocity{0};
  std::atomic<double> m_actualVelocity{0};
  std::atomic<double> m_feedOverride{1.0};
  std::atomic<double> m_spindleOverride{100.0};
  std::atomic<double> m_spindleSpeed{0};
  std::atomic<double> m_programmedS;
  std::atomic<double> m_maxRpm{0};
  double m_timeCarry = 0;
  std::atomic<int32_t> m_cursor{0};
  std::atomic<int32_t> m_lastErrorCode{0};
  std::atomic<uint32_t> m_runsFinished{0};
  mutable std::mutex m_textMutex;
  std::string m_lastErrorText;

  std::array<std::atomic<uint8_t>, kSignalCount> m_inputs{};
  std::array<std::atomic<uint8_t>, kSignalCount> m_outputs{};
};
