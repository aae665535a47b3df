#include "io/safety.h"

#include "io/iolog.h"
#include "io/iomapping.h"
#include "machine/machineconfig.h"
#include "program/errors.h"

SafetyConfig SafetyConfig::FromMachine(const MachineConfig& cfg) {
  SafetyConfig c;
  c.doorMode = cfg.safetyDoorMode;
  c.enablePermanent = cfg.enablePermanent;
  c.brakeDelayS = cfg.brakeDelay;
  c.circuitTest = cfg.redundantCircuit != 0;
  return c;
}

SafetyPlc::SafetyPlc(SafetyIo& io, const SafetyConfig& config) : io_(io), cfg_(config) {}

const char* SafetyPlc::MotionName(uint32_t state) {
  switch (state) {
    case MOTION_IDLE: return "idle";
    case MOTION_CLEARED: return "cleared";
    case MOTION_MOVING: return "moving";
    case MOTION_BLOCKED: return "blocked";
    case MOTION_HALTING: return "halting";
    default: return "?";
  }
}

const char* SafetyPlc::DoorName(uint32_t state) {
  switch (state) {
    case DOOR_SAFE: return "safe";
    case DOOR_OPEN: return "open";
    case DOOR_LOCKED: return "locked";
    case DOOR_UNLOCKING: return "unlocking";
    case DOOR_READY: return "ready";
    case DOOR_ACTIVE: return "active";
    case DOOR_LIMITED: return "limited";
    default: return "?";
  }
}

void SafetyPlc::Init() {
  word_ &= kSafetyModeMask;  // idle, safe; the mode bits stay
  SetEnabled(true);
  emergency_ = io_.GetInput(SIG_IN_EMERGENCY_STOP);
  alarm_ = io_.GetInput(SIG_IN_ALARM1) || io_.GetInput(SIG_IN_ALARM2);
  stopLatch_ = false;
  stopReason_ = 0;
  RestartCircuitTest();
  RunCircuitTest();
}

void SafetyPlc::SetEnabled(bool on) {
  word_ = (word_ & ~kSafetyEnableMask) | (on ? 1u << kSafetyEnableShift : 0u);
}

void SafetyPlc::SetMotion(uint32_t state) { word_ = (word_ & ~kSafetyMotionMask) | state; }

bool SafetyPlc::DoorOpen() {
  return cfg_.doorMode != DOORMODE_NONE && (io_.GetInput(SIG_IN_DOOR_OPEN1) || io_.GetInput(SIG_IN_DOOR_OPEN2));
}

// ---------------------------------------------------------------- poll

void SafetyPlc::Poll(int bufLevel, int status, uint32_t inputWord) {
  if (EnableField() != 1) return;
  const uint32_t before = word_;
  emergency_ = io_.GetInput(SIG_IN_EMERGENCY_STOP);
  alarm_ = io_.GetInput(SIG_IN_ALARM1) || io_.GetInput(SIG_IN_ALARM2);
  lastStatus_ = status;
  RunSupervisor(bufLevel, status);
  RunDoor();
  if (word_ != before) LogMessage(LOG_IO_POLL, "buf=%d status=%x in=%x", bufLevel, status, inputWord);
  RunCircuitTest();
  UpdateDrives();
}

// ---------------------------------------------------------------- motion supervisor

void SafetyPlc::Halt(int reason) {
  stopReason_ = reason;
  // The main module stops an emergency input of its own by itself; alarms
  // and inputs elsewhere only reach it through this.
  io_.StopMotion();
  SetMotion(MOTION_HALTING);
  io_.Report(ErrorText(Error_t{reason, 0}));
}

void SafetyPlc::RunSupervisor(int bufLevel, int status) {
  const bool stopFlag = (status & kModuleStatusStopFlags) != 0;
  const bool motion = (status & kModuleStatusMoving) != 0;
  const bool stop = stopFlag || emergency_ || alarm_;
  auto reason = [&] {
    if (emergency_) return -101;
    if (io_.GetInput(SIG_IN_ALARM1)) return -103;
    if (io_.GetInput(SIG_IN_ALARM2)) return -104;
    return (status & 0x02) ? -101 : -102;
  };
  switch (MotionState()) {
    case MOTION_IDLE:
    case MOTION_MOVING: {
      const bool idle = MotionState() == MOTION_IDLE;
      if (stop) {
        LogMessage(LOG_IO_STATES, idle ? "State changed: idle->halting" : "State changed: moving->halting");
        stopLatch_ = stopFlag || emergency_;
        Halt(reason());
      } else if (idle && motion) {
        LogMessage(LOG_IO_STATES, "State changed: idle->moving");
        SetMotion(MOTION_MOVING);
      } else if (!idle && !motion) {
        LogMessage(LOG_IO_STATES, "State changed: moving->idle");
        SetMotion(MOTION_IDLE);
      }
      break;
    }
    case MOTION_HALTING:
      if (!motion && !emergency_ && !alarm_) {
        LogMessage(LOG_IO_STATES, "State changed: halting->blocked");
        SetMotion(MOTION_BLOCKED);
        io_.ClearBuffer();
        LogMessage(LOG_IO_STATES, "#### ClearBuffer() SafetyPlc ####");
      }
      break;
    case MOTION_BLOCKED:
      if ((bufLevel & 0xFFF) == 0) {
        LogMessage(LOG_IO_STATES, "State changed: blocked->cleared");
        SetMotion(MOTION_CLEARED);
      }
      break;
    case MOTION_CLEARED:
      if (!stop) {
        LogMessage(LOG_IO_STATES, "State changed: cleared->idle");
        SetMotion(MOTION_IDLE);
      } else if (stopFlag && !emergency_ && !alarm_) {
        LogMessage(LOG_IO_STATES, "State changed: cleared->halting");
        Halt(reason());
      }
      break;
    default:
      SetMotion(MOTION_HALTING);  // an unknown value is treated as a stop
      break;
  }
}

// ---------------------------------------------------------------- door and drives

void SafetyPlc::RunDoor() {
  const bool open = DoorOpen();
  switch (DoorState()) {
    case DOOR_SAFE:
      if (!open) {
        Out(SIG_OUT_UNLOCK_DOOR, false);
        SetDoor(DOOR_LOCKED);
        LogMessage(LOG_IO_STATES, "State changed: safe -> door locked");
      }
      break;
    case DOOR_OPEN:
      if (MotionState() == MOTION_IDLE && io_.GetInput(SIG_IN_STAND_STILL)) {
        Out(SIG_OUT_UNLOCK_DOOR, false);
        SetDoor(DOOR_SAFE);
        LogMessage(LOG_IO_STATES, "State changed: standstill -> safe");
      }
      break;
    case DOOR_UNLOCKING:
      if (open) {
        SetDoor(DOOR_SAFE);
        LogMessage(LOG_IO_STATES, "State changed: unlocked -> door open");
      }
      break;
    case DOOR_LOCKED:
    case DOOR_READY:
    case DOOR_ACTIVE:
      if (!Maintenance() && open) {
        LogMessage(LOG_IO_STATES, "State changed: door pulled opened");
        // A locked door was forced: nothing may go on turning behind it.
        if (DoorState() == DOOR_ACTIVE) {
          LogMessage(LOG_IO_ERROR, "Door opened during motion, StopMotion");
          io_.StopMotion();
          stopReason_ = -106;
          io_.Report(ErrorText(Error_t{-106, 0}));
        }
        for (int s : {SIG_OUT_SPINDLE_FORWARD, SIG_OUT_SPINDLE_REVERSE, SIG_OUT_MIST_COOLANT, SIG_OUT_FLOOD_COOLANT})
          if (io_.GetOutput(s)) Out(s, false);
        SetDoor(DOOR_OPEN);
      }
      break;
    default:
      break;
  }
}

void SafetyPlc::UpdateDrives() {
  const uint32_t door = DoorState();
  const bool drivesOn = door == DOOR_READY || door == DOOR_ACTIVE || door == DOOR_LIMITED;
  const bool unsafe = emergency_ || (cfg_.circuitTest && !CircuitReady());
  if (unsafe && (drivesOn || io_.GetOutput(SIG_OUT_SERVO_ENABLE))) {
    const int reason = emergency_ ? -101 : CircuitErrorCode();
    LogMessage(LOG_IO_ERROR, "Drives off: %s", ErrorText(Error_t{reason, 0}).c_str());
    if (door == DOOR_ACTIVE || door == DOOR_LIMITED || MotionState() == MOTION_MOVING) io_.StopMotion();
    Out(SIG_OUT_HOLDING_BRAKE, false);
    Out(SIG_OUT_SERVO_ENABLE, false);
    Out(SIG_OUT_SERVO_ENABLE_INVERTED, true);
    Out(SIG_OUT_CURRENT_REDUCTION, true);
    Out(SIG_OUT_CURRENT_REDUCTION_INVERTED, false);
    if (drivesOn) {
      const uint32_t next = door == DOOR_LIMITED ? DOOR_OPEN : DOOR_LOCKED;
      LogMessage(LOG_IO_STATES, "State changed: %s -> %s, drives off", DoorName(door), DoorName(next));
      SetDoor(next);
    }
    // The supervisor reports an emergency stop itself.
    if (!emergency_) {
      stopReason_ = reason;
      io_.Report(ErrorText(Error_t{reason, 0}));
    }
  }
  if (door != DOOR_ACTIVE && door != DOOR_LIMITED) {
    servoFaultReported_ = false;
    return;
  }
  // In motion every drive must stay ready.
  uint32_t notReady = 0;
  for (int a = 0; a < 9; ++a)
    if (io_.InputMapped(SIG_IN_SERVO_READY + a) && !io_.GetInput(SIG_IN_SERVO_READY + a)) notReady |= 1u << a;
  if (notReady && !servoFaultReported_) {
    LogMessage(LOG_IO_ERROR, "Servo not ready mask=%x, StopMotion", notReady);
    io_.StopMotion();
    stopReason_ = -105;
    io_.Report(ErrorText(Error_t{-105, notReady}));
  }
  servoFaultReported_ = notReady != 0;
}

int SafetyPlc::Readiness() {
  enum { R_MODULE = 2, R_ALARM = 8, R_CIRCUIT = 16, R_DOOR = 32, R_MAINT = 64 };
  int reasons = 0;
  if (DoorOpen()) reasons |= R_DOOR;
  if ((lastStatus_ & 238) != 0 || io_.GetInput(SIG_IN_EMERGENCY_STOP)) reasons |= R_MODULE;
  if (io_.GetInput(SIG_IN_ALARM1) || io_.GetInput(SIG_IN_ALARM2)) reasons |= R_ALARM;
  if (!CircuitReady()) reasons |= R_CIRCUIT;
  if (Maintenance() && reasons) reasons |= R_MAINT;
  if (reasons & R_MODULE) return 1;
  if (reasons & R_MAINT) return 6;
  if ((reasons & R_DOOR) && cfg_.doorMode != DOORMODE_LIMITED) return 5;
  if (reasons & R_ALARM) return 3;
  if (reasons & R_CIRCUIT) return 4;
  if (reasons & R_DOOR) return 5;
  return 0;
}

int SafetyPlc::CircuitErrorCode() const {
  if (circuitState_ == kCircuitFailed) return -200 - circuitError_;
  if (emergency_) return -101;
  return -200;
}

int SafetyPlc::MotionRefused(bool allowOpenDoor, bool* limited) {
  *limited = false;
  if (io_.GetInput(SIG_IN_EMERGENCY_STOP)) {
    LogMessage(LOG_IO_WARNING, "BeginMotion not OK, emergency stop");
    return -101;
  }
  // Tested loops must still be closed now, not only at the last poll.
  const bool loopsClosed = !cfg_.circuitTest || (io_.GetInput(SIG_IN_SAFETY_LOOP1) && io_.GetInput(SIG_IN_SAFETY_LOOP2));
  if (!CircuitReady() || !loopsClosed) {
    const int code = CircuitErrorCode();
    LogMessage(LOG_IO_WARNING, "BeginMotion not OK, safety circuit error=%d", code);
    return code;
  }
  if (DoorOpen()) {
    // Behind an open door only slowly, and only where the integrator allows
    // it (door mode 3) or the machine is being serviced.
    if (!Maintenance() && !(cfg_.doorMode == DOORMODE_LIMITED && allowOpenDoor)) {
      LogMessage(LOG_IO_WARNING, "BeginMotion not OK, door open");
      return -106;
    }
    *limited = true;
  }
  return 0;
}

bool SafetyPlc::WaitServoReady() {
  double waitedS = 0;
  for (;;) {
    io_.RefreshInputs();
    uint32_t notReady = 0;
    for (int a = 0; a < 9; ++a)
      if (io_.InputMapped(SIG_IN_SERVO_READY + a) && !io_.GetInput(SIG_IN_SERVO_READY + a)) notReady |= 1u << a;
    notReadyAxes_ = notReady;
    if (!notReady) return true;
    if (waitedS >= cfg_.servoReadyTimeoutS) return false;
    io_.Sleep(0.005);
    waitedS += 0.005;
  }
}

int SafetyPlc::BeginMotion(bool allowOpenDoor) {
  bool limited = false;
  const uint32_t door = DoorState();
  if (door == DOOR_ACTIVE || door == DOOR_LIMITED) {
    // The drives are on already; the permission is checked all the same.
    if (const int e = MotionRefused(allowOpenDoor, &limited)) return e;
    if (limited && door == DOOR_ACTIVE) {
      LogMessage(LOG_IO_OUTPUTS, "BeginMotion door open, servos on, speed limited");
      SetDoor(DOOR_LIMITED);
    }
    return 0;
  }
  if (EnableField() != 1) return -1201;
  if (const int e = MotionRefused(allowOpenDoor, &limited)) return e;
  const uint32_t target = limited ? DOOR_LIMITED : DOOR_ACTIVE;
  if (door != DOOR_READY) {
    if (limited) {
      LogMessage(LOG_IO_OUTPUTS, "BeginMotion door open, servos on, speed limited");
    } else {
      Out(SIG_OUT_UNLOCK_DOOR, false);
      LogMessage(LOG_IO_OUTPUTS, "BeginMotion lock door, servos on");
    }
    Out(SIG_OUT_CHARGE_PUMP, true);
    Out(SIG_OUT_SERVO_ENABLE, true);
    Out(SIG_OUT_SERVO_ENABLE_INVERTED, false);
    int error = 0;
    if (!WaitServoReady()) {
      error = -105;
    } else {
      LogMessage(LOG_IO_OUTPUTS, "BeginMotion WaitServoReady OK");
      int status = io_.MachineStatus();
      if (status == 5 && limited) status = 0;  // the open door is allowed
      if (status != 0 && status != 6) {
        switch (status) {
          case 1: error = -101; break;
          case 2: error = -1201; break;
          case 5: error = -106; break;
          default:
            error = io_.GetInput(SIG_IN_ALARM1)   ? -103
                    : io_.GetInput(SIG_IN_ALARM2) ? -104
                                                  : CircuitErrorCode();
            break;
        }
        LogMessage(LOG_IO_ERROR, "BeginMotion error=%d", error);
      }
    }
    if (error != 0) {
      LogMessage(LOG_IO_OUTPUTS, "BeginMotion not OK, Disable");
      Out(SIG_OUT_SERVO_ENABLE, false);
      Out(SIG_OUT_SERVO_ENABLE_INVERTED, true);
      SetDoor(DOOR_LOCKED);
      return error;
    }
    Out(SIG_OUT_HOLDING_BRAKE, true);
    if (io_.OutputMapped(SIG_OUT_HOLDING_BRAKE)) {
      LogMessage(LOG_IO_OUTPUTS, "BeginMotion start brake delay");
      io_.Sleep(cfg_.brakeDelayS);
    }
  } else if (limited) {
    LogMessage(LOG_IO_OUTPUTS, "BeginMotion door open, servos on, speed limited");
  }
  LogMessage(LOG_IO_OUTPUTS, "BeginMotion currHi");
  Out(SIG_OUT_CURRENT_REDUCTION, false);
  Out(SIG_OUT_CURRENT_REDUCTION_INVERTED, true);
  SetDoor(target);
  return 0;
}

void SafetyPlc::EndMotion() {
  const uint32_t door = DoorState();
  if (door == DOOR_ACTIVE) {
    LogMessage(LOG_IO_OUTPUTS, "State changed: active -> ready, EndMotion, currLow");
    SetDoor(DOOR_READY);
  } else if (door == DOOR_LIMITED) {
    LogMessage(LOG_IO_OUTPUTS, "State changed: limited -> open, EndMotion, currLow");
    SetDoor(DOOR_OPEN);
  } else {
    LogMessage(LOG_IO_OUTPUTS, "EndMotion, currLow");
  }
  Out(SIG_OUT_CURRENT_REDUCTION, true);
  Out(SIG_OUT_CURRENT_REDUCTION_INVERTED, false);
}

void SafetyPlc::ServosOff(bool force) {
  const uint32_t door = DoorState();
  uint32_t target;
  if (door == DOOR_LIMITED) {
    LogMessage(LOG_IO_OUTPUTS, "State changed: limited -> open, ServosOff");
    target = DOOR_OPEN;
  } else if (door == DOOR_READY || door == DOOR_ACTIVE) {
    LogMessage(LOG_IO_OUTPUTS, "State changed: ready -> locked, ServosOff");
    target = DOOR_LOCKED;
  } else {
    return;
  }
  if (!cfg_.enablePermanent || force) {
    // The brake holds the axes before their drives let go.
    if (io_.OutputMapped(SIG_OUT_HOLDING_BRAKE) && io_.OutputMapped(SIG_OUT_SERVO_ENABLE)) {
      Out(SIG_OUT_HOLDING_BRAKE, false);
      io_.Sleep(cfg_.brakeDelayS);
      LogMessage(LOG_IO_OUTPUTS, "enable off after brake delay");
    }
    Out(SIG_OUT_SERVO_ENABLE, false);
    Out(SIG_OUT_SERVO_ENABLE_INVERTED, true);
  } else {
    target = DOOR_READY;
    LogMessage(LOG_IO_OUTPUTS, "enablePermanent -> stay on");
  }
  Out(SIG_OUT_CURRENT_REDUCTION, true);
  SetDoor(target);
}

bool SafetyPlc::UnlockDoor() {
  if (DoorState() == DOOR_READY) {
    for (int s : {SIG_OUT_SPINDLE_FORWARD, SIG_OUT_SPINDLE_REVERSE, SIG_OUT_MIST_COOLANT, SIG_OUT_FLOOD_COOLANT})
      Out(s, false);
    ServosOff(true);
  }
  if (DoorState() != DOOR_LOCKED) return false;
  // Only when nothing moves behind it any more.
  if (MotionState() != MOTION_IDLE || (io_.InputMapped(SIG_IN_STAND_STILL) && !io_.GetInput(SIG_IN_STAND_STILL))) {
    LogMessage(LOG_IO_WARNING, "UnlockDoor not OK, machine not at standstill");
    return false;
  }
  LogMessage(LOG_IO_STATES, "State changed: Door locked -> unlock door");
  Out(SIG_OUT_UNLOCK_DOOR, true);
  SetDoor(DOOR_UNLOCKING);
  return true;
}

void SafetyPlc::SetMaintenanceMode(bool on) {
  if (on == Maintenance()) return;
  word_ = on ? word_ | kSafetyMaintenance : word_ & ~kSafetyMaintenance;
  LogMessage(LOG_IO_WARNING,
             on ? "State changed: entering maintenance mode" : "State changed: leaving maintenance mode");
}

// ---------------------------------------------------------------- safety circuit test

void SafetyPlc::RestartCircuitTest() {
  circuitError_ = 0;
  circuitCounter_ = 0;
  SetCircuit(0);
}

void SafetyPlc::SetCircuit(int state) {
  if (state != circuitState_) LogMessage(LOG_IO_FILES, "Safety circuit state change %d->%d", circuitState_, state);
  circuitState_ = state;
  circuitCounter_ = 0;
}

void SafetyPlc::CircuitFail(int error) {
  circuitError_ = error;
  if (error == 0) {
    SetCircuit(kCircuitWaitOpen);
  } else {
    SetCircuit(kCircuitFailed);
    LogMessage(LOG_IO_FILES, "Safety circuit error %d", error);
  }
  Out(SIG_OUT_SAFETY_LOOP1, false);
  Out(SIG_OUT_SAFETY_LOOP2, false);
}

bool SafetyPlc::CircuitCount(int limit) { return ++circuitCounter_ > limit; }

void SafetyPlc::RunCircuitTest() {
  const bool estop = io_.GetInput(SIG_IN_EMERGENCY_STOP);
  if (!cfg_.circuitTest) {
    const int state = estop ? 0 : kCircuitReady;
    if (state != circuitState_) SetCircuit(state);
    return;
  }
  const bool l1 = io_.GetInput(SIG_IN_SAFETY_LOOP1), l2 = io_.GetInput(SIG_IN_SAFETY_LOOP2);
  switch (circuitState_) {
    case 0:
      if (l1) {
        CircuitFail(1);
      } else if (l2) {
        CircuitFail(5);
      } else if (CircuitCount(5)) {
        SetCircuit(1);
        Out(SIG_OUT_SAFETY_LOOP1, true);
      }
      break;
    case 1:
      if (l1)
        CircuitFail(2);
      else if (CircuitCount(5))
        SetCircuit(2);
      break;
    case 2:
      if (l2) {
        CircuitFail(6);
      } else if (l1) {
        SetCircuit(3);
        Out(SIG_OUT_UNLOCK_DOOR, false);
      }
      break;
    case 3:
      if (l2) {
        CircuitFail(6);
      } else if (CircuitCount(5)) {
        SetCircuit(4);
        Out(SIG_OUT_SAFETY_LOOP2, true);
      }
      break;
    case 4:
      if (!l1)
        CircuitFail(0);
      else if (l2)
        SetCircuit(5);
      else if (CircuitCount(5))
        CircuitFail(3);
      break;
    case 5:
      if (l1 && l2 && estop) {
        if (CircuitCount(24)) CircuitFail(7);
      } else if (l1 && l2) {
        SetCircuit(kCircuitReady);
      } else {
        CircuitFail(0);
      }
      break;
    case kCircuitReady:
      if (!(l1 && l2 && !estop)) CircuitFail(0);
      break;
    case kCircuitWaitOpen:
      if (l1 || l2) {
        if (CircuitCount(5)) CircuitFail(l1 ? 4 : 5);
      } else {
        SetCircuit(0);
      }
      break;
    default:  // failed: until the test is started again
      break;
  }
}
