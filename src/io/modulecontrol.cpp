#include "io/modulecontrol.h"

#include <cmath>
#include <cstring>
#include <typeinfo>

#include "driver/src/linkframe.h"
#include "driver/src/quorvdriver.h"
#include "io/iolog.h"
#include "machine/machineconfig.h"

ModuleControl::ModuleControl(IoMapping& mapping, QuorvDriver* driver) : mapping_(mapping), driver_(driver) {}

// ---------------------------------------------------------------- modules

int ModuleControl::CheckModulesOpen(bool* changedOut) {
  int result = MODEL_UNKNOWN;
  bool changed = false;
  std::vector<size_t> newHandsets;
  firmwareProblem_.clear();
  for (size_t i = 0; i < mapping_.ModuleCount(); ++i) {
    IoModule* m = mapping_.Module(i);
    if (m->IsOpen()) {
      LogMessage(LOG_IO_FILES, "Module %08X already open", m->moduleKey);
      if (i == 0) {
        QuorvModuleRecord info{};
        if (driver_ && driver_->GetModuleInfo(m->moduleKey, &info, sizeof info))
          result = CheckFirmware(info, machineType_).code;
      }
      continue;
    }
    const uint32_t wanted = linkframe::KeyFromMac(m->mac);
    const uint32_t key = driver_ && m->macValid ? driver_->SearchModule(m->mac) : 0;
    QuorvModuleRecord info{};
    if (key == 0 || !driver_->OpenModule(key, false) || !driver_->GetModuleInfo(key, &info, sizeof info)) {
      LogMessage(LOG_IO_FILES, "Opening module %08X failed", key ? key : wanted);
      result = MODEL_UNKNOWN;
      continue;
    }
    const FirmwareCheck check = CheckFirmware(info, machineType_);
    if (i == 0) result = check.code;
    if (check.code == MODEL_OBSOLETE) result = MODEL_OBSOLETE;
    if (check.model == MODEL_UNKNOWN) {
      // Nothing we could drive: give it back.
      driver_->CloseModule(key);
      result = MODEL_UNKNOWN;
      char name[sizeof info.name + 1] = {};
      std::memcpy(name, info.name, sizeof info.name);
      firmwareProblem_ = std::string(name) + ": " + FirmwareMessage(check);
      continue;
    }
    if (check.code == MODEL_OBSOLETE && firmwareProblem_.empty()) firmwareProblem_ = FirmwareMessage(check);
    // The object must be of the model's class; a module that reports another
    // model than configured gets a new object.
    std::unique_ptr<IoModule> fresh = CreateModule(check.model);
    if (typeid(*fresh) != typeid(*m) || fresh->PinCount() != m->PinCount()) {
      fresh->alias = m->alias;
      fresh->thirdText = m->thirdText;
      m = mapping_.ReplaceModule(i, std::move(fresh));
      changed = true;
      if (check.model == MODEL_HANZET3 || check.model == MODEL_HANZET4) newHandsets.push_back(i);
    }
    m->modelCode = check.model;
    m->moduleKey = key;
    std::memcpy(m->mac, info.mac, 6);
    m->macValid = true;
    m->driver = driver_;
    char name[sizeof info.name + 1] = {};
    std::memcpy(name, info.name, sizeof info.name);
    m->SetDisplayName(name);
    LogMessage(LOG_IO_FILES, "Opened module %s ok, alias %s", m->name.c_str(), m->alias.c_str());
  }
  mapping_.NumberPins();
  ResizeMasks();
  LogMessage(LOG_IO_FILES, "CheckModulesOpen result=%d changed=%d", result, changed ? 1 : 0);
  if (changed) {
    mapping_.Clear();
    mapping_.CreateFixedSignals();
    for (size_t i : newHandsets) mapping_.AssignHandsetDefaults(*mapping_.Module(i));
  }
  if (changedOut) *changedOut = changed;
  return result;
}

void ModuleControl::CloseModules() {
  for (size_t i = 0; i < mapping_.ModuleCount(); ++i) {
    IoModule* m = mapping_.Module(i);
    if (!m->IsOpen()) continue;
    LogMessage(LOG_IO_FILES, "Closing module %s", m->name.c_str());
    if (driver_) driver_->CloseModule(m->moduleKey);
    m->moduleKey = 0;
    m->outputWord = 0;
  }
  pcSideActive_ = false;
}

// ---------------------------------------------------------------- inputs

bool ModuleControl::PollInputs(bool requestStatus) {
  if (!driver_) return false;
  bool ok = true;
  for (size_t i = 0; i < mapping_.ModuleCount(); ++i) {
    IoModule* m = mapping_.Module(i);
    if (!m->IsOpen()) continue;
    if (driver_->ConnectionIsBad(m->moduleKey)) {
      ok = false;
      continue;
    }
    if (requestStatus) driver_->Synchronize(m->moduleKey, false);
    uint32_t in = 0;
    if (driver_->ReadInputs(m->moduleKey, &in))
      m->inputWord = in;
    else
      ok = false;
  }
  return ok;
}

// ---------------------------------------------------------------- outputs

bool ModuleControl::SetOutput(int signal, bool on, bool immediate) {
  OutputSignal* s = mapping_.Output(signal);
  if (!s) return false;
  LogMessage(LOG_IO_DETAIL, "SetOutput s=%d on=%d immediate=%d", signal, on ? 1 : 0, immediate ? 1 : 0);
  s->state = on;
  s->forcedOff = false;
  bool ok = true;
  for (int k = 0; k < kMaxOutputPins && s->pins[k] != 0; ++k) {
    IoModule* m = s->modules[k];
    if (!m || !m->IsOpen()) continue;
    const int bit = m->OutputBit(s->pins[k] - m->pinBase);
    if (bit < 0) continue;
    m->outputWord = on ? m->outputWord | (1u << bit) : m->outputWord & ~(1u << bit);
    if (!driver_) continue;
    ok &= immediate ? driver_->UBufOutput(m->moduleKey, bit, on ? 1 : 0)
                    : driver_->SetSyncOutput(m->moduleKey, bit, on ? 1 : 0, true);
  }
  return ok;
}

bool ModuleControl::SendOutputWord(IoModule& m) {
  return driver_ && driver_->SetOutputs(m.moduleKey, static_cast<uint16_t>(m.outputWord), false);
}

void ModuleControl::AllOutputsOff(bool all) {
  LogMessage(LOG_IO_OUTPUTS, "AllOutputsOff()");
  const MachineConfig& cfg = GetMachineConfig();
  const bool circuitTest = cfg.redundantCircuit != 0;
  const bool loopsClosed = GetInput(SIG_IN_SAFETY_LOOP1) && GetInput(SIG_IN_SAFETY_LOOP2);
  for (int n = 0; n < kSignalCount; ++n) {
    OutputSignal* s = mapping_.Output(n);
    if (!s || s->pins[0] == 0) continue;
    // Outputs the integrator marked as safe stay on, unless they are the
    // safety loop outputs of an open loop or a servo enable that is not
    // meant to stay on.
    bool keep = !all && (s->safetyLevel & 1) != 0;
    if ((n == SIG_OUT_SAFETY_LOOP1 || n == SIG_OUT_SAFETY_LOOP2) && circuitTest && !loopsClosed) keep = false;
    if (n == SIG_OUT_SERVO_ENABLE && !cfg.enablePermanent) keep = false;
    if (keep) continue;
    for (int k = 0; k < kMaxOutputPins && s->pins[k] != 0; ++k) {
      IoModule* m = s->modules[k];
      if (!m) continue;
      const int bit = m->OutputBit(s->pins[k] - m->pinBase);
      if (bit >= 0) m->outputWord &= ~(1u << bit);
    }
    s->state = false;
    s->forcedOff = all;
  }
  bool first = true;
  for (size_t i = 0; i < mapping_.ModuleCount(); ++i) {
    IoModule* m = mapping_.Module(i);
    if (!m->IsOpen()) continue;
    LogMessage(LOG_IO_OUTPUTS, "AllOutputsOff() i=%d mod=%X state=%X", static_cast<int>(i), m->moduleKey,
               m->outputWord);
    SendOutputWord(*m);
    if (first && driver_) driver_->SetPwm(m->moduleKey, 0, 0, false);
    first = false;
  }
}

void ModuleControl::ResendOutputs() {
  for (size_t i = 0; i < mapping_.ModuleCount(); ++i)
    if (mapping_.Module(i)->IsOpen()) SendOutputWord(*mapping_.Module(i));
}

bool ModuleControl::SendModuleFunctions(double pwmFrequencyHz) {
  if (!driver_) return false;
  const double period = pwmFrequencyHz > 0 ? std::round(10000.0 / pwmFrequencyHz) : 0;
  const uint8_t periodUnits = static_cast<uint8_t>(period < 1 ? 1 : period > 255 ? 255 : period);
  bool ok = true;
  for (size_t i = 0; i < mapping_.ModuleCount(); ++i) {
    IoModule* m = mapping_.Module(i);
    if (!m->IsOpen()) continue;
    uint8_t bytes[2 * (2 + 2 * kMaxOutputPins)];
    int pairs = 0;
    auto add = [&](uint8_t fn, int value) {
      bytes[2 * pairs] = fn;
      bytes[2 * pairs + 1] = static_cast<uint8_t>(value);
      ++pairs;
    };
    add(MODFN_RESET, 0);
    for (int signal : {SIG_OUT_CHARGE_PUMP, SIG_OUT_PWM}) {
      const OutputSignal* s = mapping_.Output(signal);
      if (!s) continue;
      for (int k = 0; k < kMaxOutputPins && s->pins[k] != 0; ++k) {
        if (s->modules[k] != m) continue;
        const int local = s->pins[k] - m->pinBase;
        // Only the pins the module's hardware has for the function.
        if (!m->OutputAllowed(signal, local)) continue;
        add(signal == SIG_OUT_PWM ? MODFN_PWM : MODFN_CHARGE_PUMP, m->OutputBit(local));
      }
    }
    add(MODFN_PWM_PERIOD, periodUnits);
    ok &= driver_->SetMapping(m->moduleKey, bytes, pairs);
  }
  return ok;
}

// ---------------------------------------------------------------- stop condition

void ModuleControl::ResizeMasks() { masks_.resize(mapping_.ModuleCount()); }

bool ModuleControl::AddStopInput(int signal, bool whenActive, bool emergency) {
  const InputSignal* s = mapping_.Input(signal);
  if (!s || !s->module) return false;
  const int bit = s->module->InputBit(s->pin - s->module->pinBase);
  const int index = mapping_.IndexOf(s->module);
  if (bit < 0 || index < 0) return false;
  ResizeMasks();
  StopMasks& mk = masks_[static_cast<size_t>(index)];
  const uint32_t b = 1u << bit;
  // The raw level that stops: active is the raw level unless inverted.
  const bool level = whenActive != s->invert;
  mk.selection |= b;
  mk.state = level ? mk.state | b : mk.state & ~b;
  if (emergency) mk.emergency |= b;
  return true;
}

void ModuleControl::RemoveStopInput(int signal) {
  const InputSignal* s = mapping_.Input(signal);
  if (!s || !s->module) return;
  const int bit = s->module->InputBit(s->pin - s->module->pinBase);
  const int index = mapping_.IndexOf(s->module);
  if (bit < 0 || index < 0 || static_cast<size_t>(index) >= masks_.size()) return;
  StopMasks& mk = masks_[static_cast<size_t>(index)];
  const uint32_t b = ~(1u << bit);
  mk.selection &= b;
  mk.state &= b;
  mk.emergency &= b;
}

bool ModuleControl::SetStopCondition() {
  ResizeMasks();
  int first = -1, count = 0;
  for (size_t i = 0; i < masks_.size(); ++i) {
    if (masks_[i].Empty() || !mapping_.Module(i)->IsOpen()) continue;
    if (first < 0) first = static_cast<int>(i);
    ++count;
  }
  bool ok = true;
  if (first == 0) {
    const StopMasks& mk = masks_[0];
    LogMessage(LOG_IO_STOP, "SetStopCondition sel=%6x st=%6x esel=%6x", mk.selection, mk.state, mk.emergency);
    ok = driver_ && driver_->SetStopCondition(MainModule()->moduleKey, mk.selection, mk.state, mk.emergency);
  }
  pcSideActive_ = count > 1 || first > 0;
  return ok;
}

void ModuleControl::ClearStopCondition() {
  LogMessage(LOG_IO_STOP, "ClearStopCondition");
  if (IoModule* main = MainModule(); main && main->IsOpen() && driver_)
    driver_->SetStopCondition(main->moduleKey, 0, 0, 0);
  pcSideActive_ = false;
}

int ModuleControl::EvaluateStopCondition(bool skipMain) {
  if (!pcSideActive_) return STOP_NONE;
  for (size_t i = skipMain ? 1 : 0; i < masks_.size() && i < mapping_.ModuleCount(); ++i) {
    const StopMasks& mk = masks_[i];
    IoModule* m = mapping_.Module(i);
    if (mk.Empty() || !m->IsOpen()) continue;
    uint32_t in = m->inputWord;
    if (driver_ && driver_->ReadInputs(m->moduleKey, &in)) m->inputWord = in;
    const uint32_t atLevel = ~(in ^ mk.state) & 0xFFFFFFu;
    const bool stop = (atLevel & mk.selection) != 0;
    const bool emergency = (atLevel & mk.emergency) != 0;
    if (stop || emergency) {
      LogMessage(LOG_IO_DETAIL, "Inputs=%04x mask=%4x state=%4x estop=%d", in, mk.selection, mk.state,
                 emergency ? 1 : 0);
      return emergency ? STOP_EMERGENCY : STOP_INPUT;
    }
  }
  return STOP_NONE;
}
