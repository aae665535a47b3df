#include "pins.h"

#include <cerrno>
#include <cstdlib>

#include "io/modulecontrol.h"

namespace modsim {

const char* ModulePins::ModelWords() {
  return "Korrin, Korrin+THC, Dwemm, Selvo, Vorthal, Selvo2, Trellex1, Hanzet3, Hanzet4";
}

std::unique_ptr<ModulePins> ModulePins::Create(const std::string& modelWord, std::string& error) {
  std::unique_ptr<IoModule> model = CreateModuleByName(modelWord);
  if (!model || modelWord.find(' ') != std::string::npos) {
    error = "unknown model " + modelWord + " (" + ModelWords() + ")";
    return nullptr;
  }
  return std::unique_ptr<ModulePins>(new ModulePins(std::move(model)));
}

int ModulePins::InputBit(const std::string& pin, std::string& error) const {
  char* end = nullptr;
  errno = 0;
  const long n = std::strtol(pin.c_str(), &end, 10);
  const bool numeric = !pin.empty() && *end == 0 && errno == 0;
  for (int p = 0; p < model_->PinCount(); ++p) {
    if (numeric ? p != n : model_->PinName(p) != pin) continue;
    const int bit = model_->InputBit(p);
    if (bit >= 0) return bit;
    error = "pin " + pin + " of " + model_->ModelWord() + " is no input";
    return -1;
  }
  error = "no pin " + pin + " on " + model_->ModelWord();
  return -1;
}

uint32_t ModulePins::InitialInputs() const {
  for (int p = 0; p < model_->PinCount(); ++p)
    if (model_->InputAllowed(kPinKindEmergencyStop, p)) return 1u << model_->InputBit(p);
  return 0;
}

std::string ModulePins::OutputPinName(int bit) const {
  for (int p = 0; p < model_->PinCount(); ++p)
    if (model_->OutputBit(p) == bit) return model_->PinName(p);
  return "bit " + std::to_string(bit);
}

void ModulePins::Functions(const uint8_t* a, int n, uint64_t t, Recorder& record) {
  for (int i = 0; i + 1 < n; i += 2) {
    const int value = a[i + 1];
    switch (a[i]) {
      case MODFN_RESET:
        pumpBit_ = pwmBit_ = -1;
        break;
      case MODFN_CHARGE_PUMP:
        pumpBit_ = value;
        record.Event(t, "charge pump on %s", OutputPinName(value).c_str());
        break;
      case MODFN_PWM:
        pwmBit_ = value;
        record.Event(t, "PWM on %s", OutputPinName(value).c_str());
        break;
      case MODFN_PWM_PERIOD:
        pwmPeriod_ = value;
        break;
      default:
        record.Event(t, "unknown module function %u", a[i]);
        break;
    }
  }
  UpdatePump(t, record);
}

void ModulePins::Pwm(uint16_t duty, uint64_t t, Recorder& record) {
  if (pwmBit_ < 0) return;
  record.Event(t, "PWM %.1f %% on %s period %d us", duty * 100.0 / 65535.0, OutputPinName(pwmBit_).c_str(),
               pwmPeriod_ * 100);
}

void ModulePins::Outputs(uint32_t word, uint64_t t, Recorder& record) {
  outputs_ = word;
  UpdatePump(t, record);
}

void ModulePins::Tick(uint64_t t, Recorder& record) { UpdatePump(t, record); }

void ModulePins::UpdatePump(uint64_t t, Recorder& record) {
  const bool on = pumpBit_ >= 0 && ((outputs_ >> pumpBit_) & 1u) != 0;
  const bool hostAlive = lastFrame_ != 0 && t - lastFrame_ < kPumpWatchdogMicros;
  const bool pump = on && hostAlive;
  if (pump == pumping_) return;
  pumping_ = pump;
  if (pump)
    record.Event(t, "charge pump running");
  else
    record.Event(t, "charge pump stopped (%s)", on ? "host silent" : "output off");
}

}  // namespace modsim
