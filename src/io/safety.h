// The safety state machines on the PC side, sharing one status word:
//  - the motion supervisor ("SafetyPlc" in the log) reacts to the emergency
//    stop, the alarms and the module's stop flags, stops the motion and
//    clears the module's command buffer once the machine has come to rest;
//  - the door and drive machine locks the safety door, switches servo
//    enable, holding brake and current reduction around every motion and
//    watches the door switches;
//  - the safety circuit test checks the two redundant safety loops.
// They read inputs and set outputs by signal number through SafetyIo, which
// the machine back end provides; Poll runs once per I/O poll cycle.
#pragma once

#include <cstdint>
#include <string>

class MachineConfig;

// Motion state (bits 0-7 of the word).
enum MotionStateValue : uint32_t {
  MOTION_IDLE = 0,
  MOTION_CLEARED = 2,
  MOTION_MOVING = 17,
  MOTION_BLOCKED = 18,
  MOTION_HALTING = 19,
};
// Door state (bits 8-11).
enum DoorStateValue : uint32_t {
  DOOR_SAFE = 0x000,
  DOOR_OPEN = 0x100,
  DOOR_LOCKED = 0x200,
  DOOR_UNLOCKING = 0x300,
  DOOR_READY = 0x600,
  DOOR_ACTIVE = 0xE00,
  DOOR_LIMITED = 0xF00,
};
constexpr uint32_t kSafetyMotionMask = 0x000000FF;
constexpr uint32_t kSafetyDoorMask = 0x00000F00;
constexpr uint32_t kSafetyModeMask = 0x0000F000;
constexpr uint32_t kSafetyMaintenance = 0x00004000;  // mode bit 14
constexpr uint32_t kSafetyEnableShift = 16;          // enable field, bits 16-23
constexpr uint32_t kSafetyEnableMask = 0x00FF0000;

// Module status flags the supervisor reads.
constexpr int kModuleStatusMoving = 0x01;     // motion in progress
constexpr int kModuleStatusStopFlags = 0x06;  // bit 1 emergency / error, bit 2 stop request

// Door modes (SafetyDoorMode).
enum DoorMode : int { DOORMODE_NONE = 0, DOORMODE_LOCKED1 = 1, DOORMODE_LOCKED2 = 2, DOORMODE_LIMITED = 3 };

struct SafetyConfig {
  int doorMode = DOORMODE_NONE;
  bool enablePermanent = false;   // servo enable stays on between motions
  double brakeDelayS = 0.2;       // s between brake release and motion, brake and enable off
  bool circuitTest = false;       // the two redundant safety loops are tested
  double servoReadyTimeoutS = 2.0;  // s the drives get to report ready
  // SafetyDoorMode, EnablePermanent, BrakeDelay and RedundantCircuit.
  static SafetyConfig FromMachine(const MachineConfig& cfg);
};

// What the machines need of the machine: signals by number (inputs with
// their inversion applied, as of the last poll) and the main module.
class SafetyIo {
 public:
  virtual ~SafetyIo() = default;
  virtual bool GetInput(int signal) = 0;
  virtual bool InputMapped(int signal) = 0;
  virtual bool OutputMapped(int signal) = 0;
  virtual void SetOutput(int signal, bool on) = 0;
  virtual bool GetOutput(int signal) = 0;
  // Reads the inputs again (waiting for the drives).
  virtual void RefreshInputs() = 0;
  // Stops the main module's motion now.
  virtual void StopMotion() = 0;
  // Clears the main module's command buffer.
  virtual void ClearBuffer() = 0;
  // The back end's readiness code (0 ready, 5 door open, ...).
  virtual int MachineStatus() = 0;
  virtual void Sleep(double seconds) = 0;
  // A line for the operator's message list.
  virtual void Report(const std::string& text) = 0;
};

class SafetyPlc {
 public:
  static constexpr int kCircuitReady = 6;
  static constexpr int kCircuitWaitOpen = 7;
  static constexpr int kCircuitFailed = 8;

  SafetyPlc(SafetyIo& io, const SafetyConfig& config);
  void SetConfig(const SafetyConfig& config) { cfg_ = config; }
  const SafetyConfig& Config() const { return cfg_; }

  // The modules are open: enable field 1, the circuit test from its start.
  void Init();
  // The enable field: polls run only while it is 1 (the link is up).
  void SetEnabled(bool on);

  // One I/O poll: the main module's buffer level and status flags and its
  // input word (for the log).
  void Poll(int bufLevel, int status, uint32_t inputWord);
  // Drives on and door locked for a motion; 0 or the error that refuses it.
  // `allowOpenDoor`: door mode 3 may move with the door open, slowly.
  int BeginMotion(bool allowOpenDoor = false);
  void EndMotion();
  // Servos off (forced: also with enablePermanent).
  void ServosOff(bool force);
  // Unlocks a locked door (switching the drives off first from ready);
  // true when it was locked and is unlocking now.
  bool UnlockDoor();
  void SetMaintenanceMode(bool on);
  // Starts the safety circuit test again from state 0.
  void RestartCircuitTest();

  // The single steps Poll runs, in this order.
  void RunSupervisor(int bufLevel, int status);
  void RunDoor();
  void RunCircuitTest();
  void UpdateDrives();

  uint32_t Word() const { return word_; }
  uint32_t MotionState() const { return word_ & kSafetyMotionMask; }
  uint32_t DoorState() const { return word_ & kSafetyDoorMask; }
  bool Maintenance() const { return (word_ & kSafetyMaintenance) != 0; }
  int EnableField() const { return static_cast<int>((word_ & kSafetyEnableMask) >> kSafetyEnableShift); }
  bool IsDoorLimited() const { return DoorState() == DOOR_LIMITED; }
  bool Emergency() const { return emergency_; }
  bool Alarm() const { return alarm_; }
  bool StopLatch() const { return stopLatch_; }
  void ClearStopLatch() { stopLatch_ = false; }
  int CircuitState() const { return circuitState_; }
  int CircuitError() const { return circuitError_; }
  int CircuitCounter() const { return circuitCounter_; }
  // The reason of the last stop the supervisor or the drive update made.
  int StopReason() const { return stopReason_; }
  // Detail of a -105 from BeginMotion: the axes whose drive was not ready.
  uint32_t ServoNotReadyAxes() const { return notReadyAxes_; }

  // The door counts as open: a door mode and input 58 or 59 active.
  bool DoorOpen();
  // The circuit is ready: tested and closed, or untested and no emergency.
  bool CircuitReady() const { return circuitState_ == kCircuitReady; }
  // Readiness code: 0 ready, 1 module error or emergency, 3 alarm, 4
  // circuit not ready, 5 door open, 6 maintenance mode with another reason.
  int Readiness();
  // The error a refused motion reports for the circuit: -200 - error after
  // a failed test, -101 with the emergency stop pressed, else -200.
  int CircuitErrorCode() const;

  static const char* MotionName(uint32_t state);
  static const char* DoorName(uint32_t state);

 private:
  void SetMotion(uint32_t state);
  void SetDoor(uint32_t state) { word_ = (word_ & ~kSafetyDoorMask) | state; }
  void Out(int signal, bool on) { io_.SetOutput(signal, on); }
  // Refused with the reason logged, or 0 when motion may start now.
  int MotionRefused(bool allowOpenDoor, bool* limited);
  bool WaitServoReady();
  void Halt(int reason);
  void SetCircuit(int state);
  void CircuitFail(int error);
  bool CircuitCount(int limit);

  SafetyIo& io_;
  SafetyConfig cfg_;
  uint32_t word_ = 0;
  bool emergency_ = false;
  bool alarm_ = false;
  bool stopLatch_ = false;
  int lastStatus_ = 0;
  int stopReason_ = 0;
  uint32_t notReadyAxes_ = 0;
  bool servoFaultReported_ = false;
  int circuitState_ = 0;
  int circuitError_ = 0;
  int circuitCounter_ = 0;
};
