#include "io/machineio.h"

#include <thread>

#include "base/messagelist.h"
#include "driver/src/quorvdriver.h"
#include "io/iolog.h"
#include "program/errors.h"

MachineIo::MachineIo(IoMapping& mapping, QuorvDriver* driver, const SafetyConfig& config)
    : control_(mapping, driver),
      plc_(*this, config),
      logicSignals_(control_),
      hooks_(std::make_unique<IoCycleHooks>(mapping, GetLogicArray(), GetModbus())) {}

MachineIo::~MachineIo() = default;

void MachineIo::SetCycleHooks(LogicArray& logic, Modbus& modbus) {
  hooks_ = std::make_unique<IoCycleHooks>(Mapping(), logic, modbus);
}

bool MachineIo::Start(double pwmFrequencyHz) {
  if (!control_.MainModule() || !control_.MainModule()->IsOpen()) return false;
  // Whatever a module drove before, the machines start from everything off:
  // drives off, door locked.
  control_.AllOutputsOff(true);
  control_.SendModuleFunctions(pwmFrequencyHz);
  // The emergency stop stops at once wherever it is wired; the alarms too.
  control_.AddStopInput(SIG_IN_EMERGENCY_STOP, true, true);
  control_.AddStopInput(SIG_IN_ALARM1, true, false);
  control_.AddStopInput(SIG_IN_ALARM2, true, false);
  control_.SetStopCondition();
  if (QuorvDriver* d = control_.Driver()) d->ClearBuffer(control_.MainModule()->moduleKey);
  control_.PollInputs(true);
  plc_.Init();
  return true;
}

void MachineIo::Shutdown() {
  servosOffPending_ = false;
  if (control_.MainModule() && control_.MainModule()->IsOpen()) {
    control_.AllOutputsOff(true);
    control_.ClearStopCondition();
  }
  control_.CloseModules();
  plc_.SetEnabled(false);
}

bool MachineIo::Poll() {
  IoModule* main = control_.MainModule();
  QuorvDriver* d = control_.Driver();
  if (!main || !main->IsOpen() || !d) return false;
  if (!control_.PollInputs(true) || !d->ReadStatus(main->moduleKey, &bufLevel_, &status_)) {
    // Without a module's status nothing can be judged: the machines wait.
    plc_.SetEnabled(false);
    return false;
  }
  plc_.SetEnabled(true);
  // Inputs on other modules stop the main module's motion from here.
  const int stop = control_.EvaluateStopCondition(true);
  if (stop != STOP_NONE && !pcStopSent_) {
    LogMessage(LOG_IO_STOP, "PC stop condition %d: StopMotion", stop);
    d->StopMotion(main->moduleKey);
    // An emergency or alarm is reported by the supervisor.
    if (stop == STOP_INPUT && !plc_.Alarm() && !GetInput(SIG_IN_ALARM1) && !GetInput(SIG_IN_ALARM2))
      Report(ErrorText(Error_t{-102, 0}));
  }
  pcStopSent_ = stop != STOP_NONE;
  plc_.Poll(bufLevel_, status_, main->inputWord);
  // Nothing runs while neither the logic array nor Modbus is configured.
  if (hooks_->Active()) hooks_->Run(logicSignals_);
  if (servosOffPending_ && std::chrono::steady_clock::now() >= servosOffAt_) {
    servosOffPending_ = false;
    plc_.ServosOff(false);
  }
  return true;
}

int MachineIo::BeginMotion(bool allowOpenDoor) {
  servosOffPending_ = false;
  return plc_.BeginMotion(allowOpenDoor);
}

void MachineIo::EndMotion(double delayS) {
  plc_.EndMotion();
  LogMessage(LOG_IO_OUTPUTS, servosOffPending_ ? "EndMotion Timer re-start" : "EndMotion Timer start");
  servosOffPending_ = true;
  servosOffAt_ = std::chrono::steady_clock::now() + std::chrono::microseconds(static_cast<int64_t>(delayS * 1e6));
}

void MachineIo::StopMotion() {
  if (IoModule* main = control_.MainModule(); main && main->IsOpen() && control_.Driver())
    control_.Driver()->StopMotion(main->moduleKey);
}

void MachineIo::ClearBuffer() {
  if (clearOwner_) {
    clearOwner_();
    return;
  }
  IoModule* main = control_.MainModule();
  if (!main || !main->IsOpen() || !control_.Driver()) return;
  control_.Driver()->ClearBuffer(main->moduleKey);
  // Output commands that waited in the buffer are gone with it.
  control_.ResendOutputs();
}

void MachineIo::Sleep(double seconds) {
  if (seconds > 0) std::this_thread::sleep_for(std::chrono::microseconds(static_cast<int64_t>(seconds * 1e6)));
}

void MachineIo::Report(const std::string& text) {
  if (reportSink_) reportSink_(text);
  else PostOperatorMessage(text);
}

void InstallErrorTextNames() {
  const IoMapping& mapping = GetIoMapping();
  ErrorTextNames names = SetErrorTextNames(ErrorTextNames());  // keeps the axis names

  names.alarmInputName = [&mapping](int input) -> std::string {
    const InputSignal* s = mapping.Input(input == 1 ? SIG_IN_ALARM1 : SIG_IN_ALARM2);
    return s && s->pin != 0 ? s->name : std::string();
  };
  names.activeSwitchName = [&mapping](int32_t) -> std::string {
    for (int base : {SIG_IN_LIMIT_MINUS, SIG_IN_HOME_SWITCH, SIG_IN_LIMIT_PLUS})
      for (int a = 0; a < 9; ++a)
        if (mapping.InputActive(base + a)) return mapping.Input(base + a)->name;
    return std::string();
  };
  SetErrorTextNames(names);
}
