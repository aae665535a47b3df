// RealMachine: the back end of the machine. It is the last front-end stage
// of the interpreter's chain (the path planner sits inside it), the
// operator interface's BackEnd, and a worker thread ("Lookahead") that runs
// programs, plans the path and streams it to the controller module while
// serving the operator's commands through CheckBreak.
//
// The machine stands on the hardware link through ModuleLink (the main
// module). Its machine state is actState: the trace buffer executes state
// changes there when the module reports it has got to them, so actState
// always shows what the machine has done, not what the interpreter has read.
//
//   RealMachine machine(&parser);
//   machine.Connect(&link, reason);     // the stream starts at the module's position
//   machine.StartWorker();
//   machine.RunProgram();               // returns once the worker has taken it
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "motion/backend.h"
#include "motion/frontend.h"
#include "motion/pathplanner.h"
#include "motion/workerthread.h"
#include "realmachine/positionstream.h"

class GCodeParser;
class MachineIo;
class MachineState;
class ModuleControl;

class RealMachine : public FrontEnd, public BackEnd, public WorkerThread {
 public:
  // The machine's state bits, kept in the back end's flags word (the
  // operator interface reads them there).
  static constexpr uint32_t kBusy = 1;
  static constexpr uint32_t kBreak = 2;
  static constexpr uint32_t kPaused = 4;
  static constexpr uint32_t kCompleted = 8;
  static constexpr uint32_t kCompletedError = 16;
  static constexpr uint32_t kTerminate = 32;
  static constexpr uint32_t kBreakCaught = 64;
  static constexpr uint32_t kHandwheel = 128;
  static constexpr uint32_t kDeferredBreak = BackEnd::kDeferredBreak;
  static constexpr int kPriority = 90;
  static constexpr int kSpindleChannel = 5;

  // What became of the link when a run ended on it.
  enum class LinkFault { NONE, LOST, RESTARTED };

  // parser: the interpreter RunProgram runs (not owned, may be null).
  explicit RealMachine(GCodeParser* parser);
  ~RealMachine() override;

  void SetParser(GCodeParser* parser) { m_parser = parser; }
  // Tries to reach the module again after the link failed in a run; true
  // when it answered (it had restarted) and is open again. Not needed for
  // anything else.
  void SetReopen(std::function<ModuleLink*()> reopen) { m_reopen = std::move(reopen); }

  // Module control (not owned, may be null): outputs are switched and the
  // stop condition is kept through it. Without it an output number is an
  // output bit of the main module, and only the main module's own stops
  // count. Set before Connect.
  void SetModuleControl(ModuleControl* control) { m_io = control; }
  ModuleControl* Io() const { return m_io; }
  // The safety supervisor over the same module control (not owned, may be
  // null): polled with the stream, asked before motion, told its end, and
  // its buffer clears go through the stream. Set after SetModuleControl.
  void SetSafety(MachineIo* safety);
  MachineIo* Safety() const { return m_safety; }
  // The default stop condition (the emergency stop and every mapped limit
  // switch), sent to the modules; again after the mapping changed. Only
  // while the worker is idle.
  void ArmStopCondition();

  // Starts the stream on link (not owned), the main module, open: reads
  // the axis channels and compensation from the parameter files and the
  // position from the module. Only while the worker is idle. False (reason
  // set) when the module does not answer.
  bool Connect(ModuleLink* link, std::string& reason);
  // The machine no longer uses the link.
  void Disconnect();
  bool Connected() const { return m_stream.Link() != nullptr; }

  PositionStream& Stream() { return m_stream; }
  PathPlanner& Planner() { return m_planner; }

  // ---- FrontEnd
  void ClearBreak() override;
  void EndProgram() override;
  void AddLine(const Coordinates& end, double feed, bool rapid, const Condition* until, bool noKnife) override;
  void AddArc(const Coordinates& end, const double centre[3], double feed, int32_t plane, bool clockwise) override;
  void SetOffsetPosition(const double position[3], bool flag) override;
  void AddCmd(const StateChange& change) override;
  void WaitForMachine() override;
  int32_t GetBackEndKind() override;
  void SetTag(int32_t tag) override;
  void SetMaxRpm(double rpm) override;
  void SetExecMode(int32_t mode) override;
  int32_t GetExecMode() override;
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
  void Home(int32_t axes) override;
  void HandwheelJog(bool start, int32_t axis, double step, double velocity, bool flag) override;
  void SetHandWheelPos(uint32_t position, uint32_t timestamp, uint32_t endTime) override;
  void StopJog() override;
  void Synchronize() override;
  void SetChannel(int32_t channel, bool on) override;
  void SetOutputInOrder(int32_t output, bool on) override;
  void SetChannelValue(int32_t channel, double value) override;
  bool GetSignal(int32_t signal) override;
  bool GetOutput(int32_t output) override;
  void SetOutput(int32_t output, bool on, bool immediate) override;
  void PollIo() override;
  void SetFeedOverride(double percent) override;
  void SetSpindleOverride(double percent) override;
  double GetFeedOverride() override;
  double GetSpindleOverride() override;
  double GetActualVelocity() override;
  double GetSpindleSpeed() override;
  int32_t GetCursor() override;
  int32_t GetRefNum() override;
  int32_t CheckMachineReady() override;
  int32_t GetStopReason() override;
  bool HasError() override;
  void ClearError() override;
  double TakeTravelledDistance() override;
  void SetThc(bool on) override;
  double GetArcVoltage() override;

  // ---- torch height control
  // The main module has torch height control inputs.
  bool HasThcOption() const;
  // M46's values: target arc voltage (V, negative: none), the Z band (mm,
  // machine) and the automatic voltage.
  void StoreThc(double volts, double zLowMm, double zHighMm, bool automatic);
  // Switches the module's torch height control with the stored values;
  // worker thread, at a standstill. False when it could not be sent.
  bool SetThcState(bool on);
  bool ThcOn() const { return m_thcOn.load(std::memory_order_acquire); }
  // The lit torch's arc is watched (M3) or no longer (M5, a run's end): once
  // the arc is good, its loss stops the motion, by the module's stop
  // condition when the arc-good signal has a pin, else here by the voltage.
  void WatchArc(bool on);
  // Worker thread, at every stop check: arms a waiting watch once the arc
  // is good; true when the watch by the voltage sees the arc lost.
  bool PollArcWatch();
  // A stop now is the arc's loss: THC inputs, the spindle on clockwise and
  // the arc-good signal not active.
  bool ArcLost();

  // ---- the last run (tests, command line)
  int32_t LastErrorCode() const { return m_lastErrorCode.load(std::memory_order_acquire); }
  std::string LastErrorText() const;
  LinkFault LastLinkFault() const { return m_linkFault.load(std::memory_order_acquire); }
  uint32_t RunsFinished() const { return m_runsFinished.load(std::memory_order_acquire); }
  uint32_t State() const { return m_flags.load(std::memory_order_acquire); }
  // Jogs, moves and homings finished (whatever their end).
  uint32_t OperationsFinished() const { return m_opsFinished.load(std::memory_order_acquire); }
  // One bit per axis homed since the module's position was last lost.
  uint32_t HomedAxes() const { return m_homedAxes.load(std::memory_order_acquire); }
  bool AllHomed() const { return m_allHomed.load(std::memory_order_acquire); }
  // The text an operation shows ("Homing axis X", "Home switch not reached").
  std::string StatusText() const;

  // Homes the axes of mask (-1: every axis not excluded); force homes axes
  // already homed again. Worker thread only. False when homing failed (the
  // status text tells why); a stop is raised as an error.
  bool ExecuteHome(int32_t mask, bool force);
  // Moves axis by distance (mm) at velocity (mm/s) until the armed stop
  // condition fires. Worker thread.
  static constexpr int kProbeTarget = 0;  // got to the target: nothing fired
  static constexpr int kProbeFired = 1;   // the armed input stopped it
  static constexpr int kProbeOther = 2;   // another stop input (a limit switch) stopped it
  int MoveToProbe(int axis, double distance, double velocity);

 protected:
  void ExecuteCommand(const WorkCmdData& cmd) override;
  bool IsWorkerBusy() const override;
  bool ShouldTerminate() const override;

 private:
  friend class PositionStream;

  void SetBits(uint32_t bits);
  void ClearBits(uint32_t bits);
  bool HasBits(uint32_t bits) const { return (m_flags.load(std::memory_order_acquire) & bits) != 0; }
  void RunCommand(const WorkCmdData& cmd);
  void StopCommand();
  // A pending break is taken over: the module stops, the planner forgets
  // what it holds.
  void HandleBreak();
  void PauseRun(int32_t mCode);
  void ReportStop(int32_t reason);
  void AfterLinkFailure();
  void SwitchOutput(int32_t output, bool on, bool immediate);
  void SetPwmPercent(double percent, bool onTheFly);
  // The spindle override (percent), held at 100 by M51 and limited so the
  // spindle does not pass the tool's maximum speed.
  void ChangeSpindleOvr(double rate);

  // ---- machine operations outside a program
  // Runs body as the operation name: busy while it runs, a stop or an error
  // leaves the machine standing with the stream cleared and the reason kept
  // as the last error.
  // prepare runs before the motion is begun (a stop still held is cleared
  // there).
  void ManualOperation(const char* name, const std::function<void()>& body,
                       const std::function<void()>& prepare = {});
  // The stop condition of a jog: the emergency stop and the limit switch
  // ahead of each jogged axis.
  void ArmJogStopCondition(const int* axes, const bool* positive, int count);
  // A stop the module still holds (a switch the new stop condition no
  // longer has) is cleared, and the supervisor has seen it cleared.
  void ClearHeldStop();
  void JogCommand(const WorkCmdData& cmd);
  void MoveToCommand(const WorkCmdData& cmd);
  void HandwheelCommand(const WorkCmdData& cmd);
  // The handwheel jog of axis: step mm per count, velocity mm/s (0: the
  // axis's maximum), snap: the axis starts on the grid of the step. Runs
  // until the handwheel bit is cleared.
  void ExecuteHandwheelJog(int axis, double step, double velocity, bool snap);
  // Ends a running handwheel jog: the module brakes, the loop leaves.
  void StopHandwheel();
  // The planner starts from where the machine stands.
  void StartPlanner();
  void SetStatusText(const std::string& text);
  bool HomeAxis(int axis, bool withY);
  bool ClearSwitch(int axis, int signal, int direction);
  // The sides of an axis: its first channel, a gantry's slave channel and
  // the slave's own home switch (-1 none, kNoSwitch: it should have one but
  // its signal belongs to another axis).
  struct HomeSides {
    int master = -1, slave = -1, slaveSignal = -1;
  };
  static constexpr int kNoSwitch = -2;
  static constexpr int kBothSides = 0, kMasterSide = 1, kSlaveSide = 2;
  HomeSides FindSides(int axis);
  // MoveToProbe of one side of a gantry (the other standing) or of both,
  // stopped by signal reaching level when signal >= 0.
  int HomeMove(int axis, const HomeSides& sides, int side, int signal, bool level, double distance, double velocity);
  // Sets the module's position of axis (and of its slave channel, if any)
  // to machine position mm.
  void ResetPosition(int axis, double mm, int slave);
  double LimitJogSpeed(double velocity) const;
  static Coordinates ToProgram(MachineState& state, const Coordinates& machine);

  GCodeParser* m_parser;
  PositionStream m_stream;
  PathPlanner m_planner;
  std::unique_ptr<MachineState> m_planState;
  std::function<ModuleLink*()> m_reopen;
  ModuleControl* m_io = nullptr;
  MachineIo* m_safety = nullptr;
  bool m_allowOpenDoor = false;  // a jog may run behind an open door (door mode 3)
  std::string m_postedStop;      // the stop reason posted last (worker thread)
  // The handwheel as last delivered: count, module times (100 ns) of its
  // last change and of the sample.
  struct WheelSample {
    uint32_t count = 0, changed = 0, sampled = 0;
  };
  WheelSample WheelPos() const;
  mutable std::mutex m_wheelMutex;
  WheelSample m_wheel;
  double m_thcVolts = -1;  // target arc voltage, V
  double m_thcLowMm = 0, m_thcHighMm = 0;
  bool m_thcAuto = false;
  enum class ArcWatch { OFF, WAITING, MODULE, VOLTAGE };
  ArcWatch m_arcWatch = ArcWatch::OFF;  // worker thread
  std::atomic<bool> m_thcOn{false};

  int32_t m_execMode = kExecStd;
  std::atomic<double> m_feedOverride{100.0};     // percent
  std::atomic<double> m_spindleOverride{100.0};  // percent
  // Spindle as programmed: on, direction, nominal rpm; the tool's limit.
  std::atomic<bool> m_spindleOn{false};
  std::atomic<bool> m_spindleCw{true};
  std::atomic<double> m_spindleRpm{0};
  double m_toolMaxRpm = 0;
  std::atomic<int32_t> m_stopReason{0};
  std::atomic<bool> m_errorPending{false};
  std::atomic<uint32_t> m_outputs[2] = {0, 0};  // last switched state, outputs 0..63

  std::atomic<int32_t> m_lastErrorCode{0};
  std::atomic<LinkFault> m_linkFault{LinkFault::NONE};
  std::atomic<uint32_t> m_runsFinished{0};
  std::atomic<uint32_t> m_opsFinished{0};
  std::atomic<uint32_t> m_homedAxes{0};
  std::atomic<bool> m_allHomed{false};
  bool m_homingFailed = false;
  std::string m_statusText;  // guarded by m_textMutex
  mutable std::mutex m_textMutex;
  std::string m_lastErrorText;
};
