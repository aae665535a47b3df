// The pins of a soft module that plays one of the controller models
// (--model): inputs set by pin number or connector name land in the model's
// input bits, the emergency stop contact starts closed, and the functions the
// host assigns with the mapping command (code 12) run on their output bits:
// the PWM duty of code 13 and the charge pump, which pumps while its output
// is on and the host keeps talking.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "io/iomodule.h"
#include "record.h"

namespace modsim {

class ModulePins {
 public:
  // The charge pump stops when no frame came from the host for this long;
  // an idle link sends one a second.
  static constexpr uint64_t kPumpWatchdogMicros = 1500000;

  // nullptr with `error` set when the word names no model.
  static std::unique_ptr<ModulePins> Create(const std::string& modelWord, std::string& error);
  // The model words --model takes, for messages.
  static const char* ModelWords();

  const IoModule& Model() const { return *model_; }
  // The input bit of a pin given by number or connector name; -1 with
  // `error` set when it is no input of the model.
  int InputBit(const std::string& pin, std::string& error) const;
  // Inputs at power-on: the emergency stop contact closed (not pressed).
  uint32_t InitialInputs() const;

  // Code 12: function entries, two bytes each.
  void Functions(const uint8_t* args, int n, uint64_t t, Recorder& record);
  // Code 13 executed: the duty as sent (0..65535 for 0..100 %).
  void Pwm(uint16_t duty, uint64_t t, Recorder& record);
  // The output word after it changed.
  void Outputs(uint32_t word, uint64_t t, Recorder& record);
  // A frame of the open connection arrived.
  void HostFrame(uint64_t t) { lastFrame_ = t; }
  void Tick(uint64_t t, Recorder& record);
  bool PumpRunning() const { return pumping_; }

 private:
  explicit ModulePins(std::unique_ptr<IoModule> model) : model_(std::move(model)) {}
  std::string OutputPinName(int bit) const;
  void UpdatePump(uint64_t t, Recorder& record);

  std::unique_ptr<IoModule> model_;
  int pumpBit_ = -1;
  int pwmBit_ = -1;
  int pwmPeriod_ = 0;  // 100 µs units
  uint32_t outputs_ = 0;
  uint64_t lastFrame_ = 0;
  bool pumping_ = false;
};

}  // namespace modsim
