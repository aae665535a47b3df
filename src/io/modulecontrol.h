// Module control: opens the modules of the mapping's module list through the
// driver and gives each the object of its model, numbers their pins, reads
// their inputs, switches outputs, and manages the stop condition: the inputs
// whose state stops motion, evaluated by the main module itself and, for
// inputs on other modules, by the PC on every poll.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "io/iomapping.h"

class QuorvDriver;

// Bit masks over one module's 24 input bits.
struct StopMasks {
  uint32_t selection = 0;  // inputs that stop motion
  uint32_t state = 0;      // per selected bit: the input level that stops
  uint32_t emergency = 0;  // inputs that count as emergency stop
  bool Empty() const { return selection == 0 && emergency == 0; }
};

// Results of EvaluateStopCondition.
enum StopResult : int { STOP_NONE = 0, STOP_INPUT = 1, STOP_EMERGENCY = 2 };

// Functions a module takes from a mapping command (code 12): two bytes per
// entry, the function and its value.
enum ModuleFunction : uint8_t {
  MODFN_RESET = 0,        // forget every function (value 0)
  MODFN_CHARGE_PUMP = 1,  // value: output bit that carries the charge pump
  MODFN_PWM = 2,          // value: output bit that carries the PWM
  MODFN_PWM_PERIOD = 3,   // value: PWM period in units of 100 µs (1..255)
};

class ModuleControl {
 public:
  ModuleControl(IoMapping& mapping, QuorvDriver* driver);
  ModuleControl(const ModuleControl&) = delete;
  ModuleControl& operator=(const ModuleControl&) = delete;

  IoMapping& Mapping() { return mapping_; }
  QuorvDriver* Driver() const { return driver_; }
  // Machine type for the firmware requirements (MachineType).
  void SetMachineType(int machineType) { machineType_ = machineType; }

  // --- modules ---
  // Opens every module of the list that is not open. Result: the first
  // module's model code; 1 when a module has obsolete firmware, 0 when one
  // could not be found or opened or is of no known model (the last of these
  // decides). `changed` tells whether an object was replaced by one of
  // another model: the signal mapping was cleared then and must be read again.
  int CheckModulesOpen(bool* changed = nullptr);
  // The operator's message about the modules the last check had trouble
  // with (obsolete firmware, unknown module), empty when none.
  const std::string& FirmwareProblem() const { return firmwareProblem_; }
  void CloseModules();
  IoModule* MainModule() const { return mapping_.MainModule(); }

  // --- inputs ---
  // Asks every open module for a fresh answer (a NOP unless one came within
  // 20 ms) and takes the inputs of the last answers into the module objects.
  // False when a module's connection is bad.
  bool PollInputs(bool requestStatus);
  bool GetInput(int signal) const { return mapping_.InputActive(signal); }

  // --- outputs ---
  // Switches an output signal on every pin it has: immediate at once (code
  // 17), else in step with the motion (code 24). False when a send failed.
  bool SetOutput(int signal, bool on, bool immediate = true);
  bool GetOutput(int signal) const { return mapping_.OutputState(signal); }
  // Switches outputs off and sends every module its output word (code 9);
  // without `all`, outputs with safety level bit 0 stay on (see the .cpp).
  void AllOutputsOff(bool all);
  // Sends every open module its output word again (after its command
  // buffer was cleared, outputs that waited there are lost).
  void ResendOutputs();
  // Tells each module which of its output bits carry the charge pump and the
  // PWM, and the PWM period (Hz, from PwmFreq).
  bool SendModuleFunctions(double pwmFrequencyHz);

  // --- stop condition ---
  // The input pin of `signal` stops motion when the signal becomes active
  // (`whenActive`) or inactive; `emergency` makes it an emergency stop.
  // False when the signal has no module pin.
  bool AddStopInput(int signal, bool whenActive, bool emergency);
  void RemoveStopInput(int signal);
  // Sends the condition to the main module (code 11) and activates the
  // PC-side part when other modules take part.
  bool SetStopCondition();
  void ClearStopCondition();
  // 0 no stop, 1 stop, 2 emergency stop, from the inputs of every module of
  // the condition (the main module skipped when asked: it stops by itself).
  int EvaluateStopCondition(bool skipMain);
  bool PcSideConditionActive() const { return pcSideActive_; }
  StopMasks Masks(size_t module) const { return module < masks_.size() ? masks_[module] : StopMasks(); }

 private:
  bool SendOutputWord(IoModule& m);
  void ResizeMasks();

  IoMapping& mapping_;
  QuorvDriver* driver_;
  int machineType_ = 0;
  std::string firmwareProblem_;
  std::vector<StopMasks> masks_;  // per module, in module order
  bool pcSideActive_ = false;
};
