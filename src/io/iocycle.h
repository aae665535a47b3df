// What the machine back end's I/O poll runs once all modules are fine: the
// logic array over the mapped signals, then the Modbus cycle on the main
// module. Also the values of signals whose pins are Modbus registers.
#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "io/iomapping.h"
#include "io/logicarray.h"
#include "io/modbus.h"
#include "io/modbusport.h"
#include "io/modulecontrol.h"

// The logic array's view of the mapping: inputs and output states as the
// mapping has them; outputs are switched through the back end's immediate
// set-output, handed in as `setOutput`.
class MappingLogicSignals : public LogicSignals {
 public:
  MappingLogicSignals(const IoMapping& mapping, std::function<void(int, bool)> setOutput)
      : mapping_(mapping), setOutput_(std::move(setOutput)) {}
  // Outputs switched at once through module control.
  explicit MappingLogicSignals(ModuleControl& control)
      : MappingLogicSignals(control.Mapping(), [&control](int s, bool on) { control.SetOutput(s, on, true); }) {}
  bool Input(int signal) override { return mapping_.InputActive(signal); }
  bool Output(int signal) override { return mapping_.OutputState(signal); }
  void SetOutput(int signal, bool on) override {
    if (setOutput_) setOutput_(signal, on);
  }

 private:
  const IoMapping& mapping_;
  std::function<void(int, bool)> setOutput_;
};

// The Modbus port of the mapping's main module, made again when the main
// module is another one or was reopened (so the bus settings go again).
class MainModulePort {
 public:
  // nullptr while no main module is open.
  ModbusPort* For(const IoMapping& mapping);

 private:
  std::unique_ptr<DriverModbusPort> port_;
};

class IoCycleHooks {
 public:
  IoCycleHooks(IoMapping& mapping, LogicArray& logic, Modbus& modbus)
      : mapping_(mapping), logic_(logic), modbus_(modbus) {}
  // Nothing runs while neither the logic array nor Modbus is configured.
  bool Active() const { return logic_.IsConfigured() || modbus_.IsConfigured(); }
  // One poll cycle: the gates in file order, then the Modbus cycle on the
  // main module (none open: Modbus only counts the cycle).
  void Run(LogicSignals& signals);

 private:
  IoMapping& mapping_;
  LogicArray& logic_;
  Modbus& modbus_;
  MainModulePort port_;
};

// The poll hooks for a back end that drives module control itself: the
// process-wide logic array and Modbus over `control`'s mapping, outputs
// switched at once through `control`. Call from the I/O poll's thread once
// all modules are fine.
void RunIoCycleHooks(ModuleControl& control);

// A ranged register input's value in its value range, an unranged one's raw
// register value. False when the signal has no register pin or the register
// is not configured.
bool ReadRegisterInput(const IoMapping& mapping, const Modbus& modbus, int signal, double& value);
// Writes `value` to every register pin of an output signal (ranged: into
// its register range; unranged: 1 for a value other than 0, else 0). False
// when the signal has no write register pin.
bool WriteRegisterOutput(const IoMapping& mapping, Modbus& modbus, int signal, double value);

// The process-wide logic array and Modbus configuration; the first use of
// GetModbus makes it the mapping's network registers.
LogicArray& GetLogicArray();
Modbus& GetModbus();
// Start-up: the gates from "LogicArray.txt" (rejected lines are returned)
// and the Modbus configuration from "ModbusTable.txt", or from the mapping
// table when the Modbus table has none. Call before the mapping is read.
std::vector<LogicLineError> LoadLogicAndModbus();
// Loads them once, for the first user when start-up has not.
void EnsureLogicAndModbusLoaded();
// Writes the gates to "LogicArray.txt"; false when the write failed.
bool SaveLogicArray();
// Writes the Modbus configuration to "ModbusTable.txt".
bool SaveModbusTable();
