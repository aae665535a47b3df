#include "io/iocycle.h"

#include "params/parafile.h"

void IoCycleHooks::Run(LogicSignals& signals) {
  if (logic_.IsConfigured()) logic_.Execute(signals);
  if (modbus_.IsConfigured()) modbus_.Cycle(port_.For(mapping_));
}

ModbusPort* MainModulePort::For(const IoMapping& mapping) {
  IoModule* main = mapping.MainModule();
  if (!main || !main->IsOpen() || !main->driver) {
    port_.reset();
    return nullptr;
  }
  // A reopened module has a new key: a new port, so the bus settings go again.
  if (!port_ || port_->Key() != main->moduleKey || port_->Driver() != main->driver)
    port_ = std::make_unique<DriverModbusPort>(*main->driver, main->moduleKey);
  return port_.get();
}

void RunIoCycleHooks(ModuleControl& control) {
  if (GetLogicArray().IsConfigured()) {
    MappingLogicSignals signals(control);
    GetLogicArray().Execute(signals);
  }
  static MainModulePort port;  // the poll's thread only
  if (GetModbus().IsConfigured()) GetModbus().Cycle(port.For(control.Mapping()));
}

bool ReadRegisterInput(const IoMapping& mapping, const Modbus& modbus, int signal, double& value) {
  const InputSignal* s = mapping.Input(signal);
  uint16_t v = 0;
  if (!s || !Modbus::IsRegisterPin(s->pin) || !modbus.GetValue(s->pin, v)) return false;
  value = s->hasRange ? RegisterToValue(v, s->minReg, s->maxReg, s->minVal, s->maxVal) : v;
  return true;
}

bool WriteRegisterOutput(const IoMapping& mapping, Modbus& modbus, int signal, double value) {
  const OutputSignal* s = mapping.Output(signal);
  if (!s) return false;
  bool any = false;
  for (int i = 0; i < kMaxOutputPins && s->pins[i] != 0; ++i) {
    if (!Modbus::IsRegisterPin(s->pins[i])) continue;
    const uint16_t reg = s->hasRange ? ValueToRegister(value, s->minReg, s->maxReg, s->minVal, s->maxVal)
                                     : static_cast<uint16_t>(value != 0 ? 1 : 0);
    any |= modbus.SetValue(s->pins[i], reg);
  }
  return any;
}

LogicArray& GetLogicArray() {
  static LogicArray logic;
  return logic;
}

Modbus& GetModbus() {
  static Modbus modbus;
  static const bool installed = (GetIoMapping().SetRegisters(&modbus), true);
  (void)installed;
  return modbus;
}

namespace {
bool g_loaded = false;
}

void EnsureLogicAndModbusLoaded() {
  if (!g_loaded) LoadLogicAndModbus();
}

std::vector<LogicLineError> LoadLogicAndModbus() {
  g_loaded = true;
  const std::vector<LogicLineError> errors = GetLogicArray().ReadFile(GetParaFile(PF_LOGIC_ARRAY));
  const ParaFile& table = GetParaFile(PF_MODBUS_TABLE);
  int n = 0;
  GetModbus().ReadConfig(table.GetInt("NumRegisters", n) ? table : GetParaFile(PF_MAPPING_TABLE));
  return errors;
}

bool SaveLogicArray() { return GetLogicArray().WriteFile(GetParaFile(PF_LOGIC_ARRAY)); }

bool SaveModbusTable() {
  ParaFile& f = GetParaFile(PF_MODBUS_TABLE);
  GetModbus().WriteConfig(f);
  return f.Write();
}
