// The signal mapping: machine signals ("emergency stop", "spindle forward")
// assigned to pins of the opened modules or to registers of network (Modbus)
// devices, read from and written to "MappingTable.txt".
//
// Pin numbers: 0 no pin; 1 and above a module pin (the module's pin base plus
// its local pin); below -65535 a network register.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "io/iomodule.h"

class ParaFile;

constexpr int kSignalCount = 2048;   // input and output numbers 0..2047 each
constexpr int kFixedSignals = 100;   // 0..99 always exist
constexpr int kMaxOutputPins = 10;
constexpr int32_t kRegisterPinLimit = -65535;  // register pins lie below

inline bool IsRegisterPin(int32_t pin) { return pin < kRegisterPinLimit; }

// Fixed input signals.
enum InputSignalNumber : int {
  SIG_IN_EMERGENCY_STOP = 1,
  SIG_IN_ALARM1 = 2,
  SIG_IN_ALARM2 = 3,
  SIG_IN_TOOL_LENGTH_PROBE = 4,
  SIG_IN_STAND_STILL = 5,
  SIG_IN_SAFETY_LOOP1 = 6,
  SIG_IN_SAFETY_LOOP2 = 7,
  SIG_IN_AIR_PRESSURE_OK = 8,
  SIG_IN_PROBE_3D = 9,
  SIG_IN_SERVO_READY = 10,  // + axis 0..8
  SIG_IN_LIMIT_MINUS = 20,  // + axis
  SIG_IN_HOME_SWITCH = 30,  // + axis
  SIG_IN_LIMIT_PLUS = 40,   // + axis
  SIG_IN_VFD_SPEED_OK = 49,
  SIG_IN_TOOL_CLAMPED = 50,
  SIG_IN_TOOL_RELEASED = 51,
  SIG_IN_TOOLCHANGER_OPEN = 52,
  SIG_IN_TOOLCHANGER_CLOSED = 53,
  SIG_IN_THC_UP = 54,
  SIG_IN_THC_DOWN = 55,
  SIG_IN_PLASMA_TOUCH_PROBE = 56,
  SIG_IN_ARC_OK = 57,
  SIG_IN_DOOR_OPEN1 = 58,
  SIG_IN_DOOR_OPEN2 = 59,
  SIG_IN_HANDSET_FIRST = 60,  // .. 79
  SIG_IN_VFD_LOAD = 80,
};

// Fixed output signals.
enum OutputSignalNumber : int {
  SIG_OUT_SERVO_ENABLE = 1,
  SIG_OUT_CURRENT_REDUCTION = 2,
  SIG_OUT_SPINDLE_FORWARD = 3,
  SIG_OUT_SPINDLE_REVERSE = 4,
  SIG_OUT_PWM = 5,
  SIG_OUT_CHARGE_PUMP = 6,
  SIG_OUT_MIST_COOLANT = 7,
  SIG_OUT_FLOOD_COOLANT = 8,
  SIG_OUT_HOLDING_BRAKE = 9,
  SIG_OUT_UNLOCK_DOOR = 10,
  SIG_OUT_SAFETY_LOOP1 = 11,
  SIG_OUT_SAFETY_LOOP2 = 12,
  SIG_OUT_OPEN_TOOLCHANGER = 13,
  SIG_OUT_TOOL_UNCLAMP = 14,
  SIG_OUT_TOOL_CLEAN_AIR = 15,
  SIG_OUT_SEALING_AIR = 16,
  SIG_OUT_SERVO_ENABLE_INVERTED = 17,
  SIG_OUT_CURRENT_REDUCTION_INVERTED = 18,
  SIG_OUT_LUBRICATION = 19,
  SIG_OUT_HOMING_COMPLETED = 27,
  SIG_OUT_HANDSET_FIRST = 60,  // .. 74
};

class Signal {
 public:
  Signal(int number, std::string name) : number(number), name(std::move(name)) {}
  virtual ~Signal() = default;
  int number;
  std::string name;
  bool hasRange = false;  // the pin is a network register with a value range
  int32_t minReg = 0, maxReg = 1;
  double minVal = 0.0, maxVal = 1.0;
};

class InputSignal : public Signal {
 public:
  using Signal::Signal;
  int32_t pin = 0;
  bool invert = false;
  IoModule* module = nullptr;  // the module of a module pin
};

class OutputSignal : public Signal {
 public:
  using Signal::Signal;
  int32_t pins[kMaxOutputPins] = {};  // filled from the front, empty entries 0
  IoModule* modules[kMaxOutputPins] = {};
  int safetyLevel = 0;  // bit 0: stays on when outputs are switched off
  bool state = false;
  bool forcedOff = false;  // the last switch-off was forced (all outputs off)
  int PinCount() const;
  bool HasPin(int32_t pin) const;
};

// One assignment as read from the file, kept so that a mapping read while
// its modules were missing is written back unchanged.
class BackupSignal : public Signal {
 public:
  BackupSignal(int number, std::string name, int32_t pin, bool invert, int safetyLevel)
      : Signal(number, std::move(name)), pin(pin), invert(invert), safetyLevel(safetyLevel) {}
  int32_t pin;
  bool invert;
  int safetyLevel;
};

// The network (Modbus) registers a pin below -65535 can name. The mapping
// has none until the network part installs itself; registers are refused then.
class NetworkRegisters {
 public:
  virtual ~NetworkRegisters() = default;
  // Whether the register exists in the configuration.
  virtual bool AcceptsRegister(int32_t pin, bool output) = 0;
  // Display text of a register pin ("MB: 0001-12").
  virtual std::string RegisterText(int32_t pin) const = 0;
  // Current state of a register used as an input (ranged signals compare
  // against their value range).
  virtual bool RegisterActive(int32_t pin) const = 0;
  // Written into the mapping file after the signals.
  virtual void WriteConfig(ParaFile& file) = 0;
};

// What ReadMapping did: entries taken and entries skipped with the reason.
struct MappingReadReport {
  int inputs = 0;
  int outputs = 0;
  std::vector<std::string> skipped;  // "input entry 3: no Pin"
};

class IoMapping {
 public:
  IoMapping();
  ~IoMapping();
  IoMapping(const IoMapping&) = delete;
  IoMapping& operator=(const IoMapping&) = delete;

  // --- modules, in opening order; the first is the main module ---
  size_t ModuleCount() const { return modules.size(); }
  IoModule* Module(size_t i) const { return i < modules.size() ? modules[i].get() : nullptr; }
  IoModule* MainModule() const { return Module(0); }
  int IndexOf(const IoModule* m) const;
  // Appends a module (its pin base follows the previous module's pins).
  IoModule* AddModule(std::unique_ptr<IoModule> module);
  // Puts a new object in place of module i; the old object is destroyed
  // without closing its module (the new one has taken the key).
  IoModule* ReplaceModule(size_t i, std::unique_ptr<IoModule> module);
  // Drops module i (closing it), renumbering the pins of those behind.
  void RemoveModule(size_t i);
  void RemoveAllModules();
  // Pin bases in order: 0, then each previous base plus its PinCount.
  void NumberPins();
  // The module holding a global pin (only an open one) and the local pin.
  IoModule* ModuleOfPin(int32_t pin, int* local) const;
  // "Korrin Quorvane #56000001 Lpt1 pin11", a register's text, or "none".
  std::string PinText(int32_t pin) const;
  // The module list of a file ("moduleNum", "moduleAdr_NN"): objects of no
  // model yet, to be opened. Returns the number read.
  int ReadModuleList(const ParaFile& file);

  // --- signals ---
  InputSignal* Input(int signal) const;   // nullptr outside 0..2047 or not there
  OutputSignal* Output(int signal) const;
  bool AssignInput(int signal, int32_t pin, bool invert, const std::string* name = nullptr);
  bool AssignRangedInput(int signal, int32_t pin, double minVal, double maxVal, int32_t minReg, int32_t maxReg,
                         const std::string* name = nullptr);
  bool AssignOutput(int signal, int32_t pin, const std::string* name = nullptr);
  bool AssignRangedOutput(int signal, int32_t pin, double minVal, double maxVal, int32_t minReg, int32_t maxReg,
                          const std::string* name = nullptr);
  void RemoveInput(int signal);
  void RemoveOutputPin(int signal, int32_t pin);
  void RemoveAllOutputPins(int signal);
  // Releases every pin, deletes every signal and both backup lists.
  void Clear();
  // The fixed signals 0..99 with their default names and inversions, no pins.
  void CreateFixedSignals();
  // The handset's default assignment on a handset module.
  void AssignHandsetDefaults(IoModule& module);
  const std::vector<std::unique_ptr<BackupSignal>>& InputBackups() const { return inputBackups; }
  const std::vector<std::unique_ptr<BackupSignal>>& OutputBackups() const { return outputBackups; }

  // --- the file ---
  MappingReadReport ReadMapping(ParaFile& file);
  // With modules: the open modules' addresses too; `mainFile` also makes the
  // first one the application's default module address. False when the
  // file could not be written.
  bool WriteMapping(ParaFile& file, bool withModules, bool mainFile = false);

  // --- states ---
  // An input signal's state from its module's last input word, inversion
  // applied; false when it has no pin.
  bool InputActive(int signal) const;
  bool InputMapped(int signal) const;
  bool OutputMapped(int signal) const;
  bool OutputState(int signal) const;

  void SetRegisters(NetworkRegisters* r) { registers = r; }
  NetworkRegisters* Registers() const { return registers; }

  // The default name of a fixed signal, empty for a number above 99 or one
  // without a name.
  static std::string DefaultInputName(int signal);
  static std::string DefaultOutputName(int signal);

 private:
  // Signals on a module about to go lose their pins (the pin sets go with it).
  void DetachModule(const IoModule* m);
  bool CheckPin(int32_t pin, bool output, IoModule** module, int* local) const;
  InputSignal* MakeInput(int signal);
  OutputSignal* MakeOutput(int signal);
  void WriteToFile(ParaFile& file, bool withModules, bool mainFile);

  std::vector<std::unique_ptr<IoModule>> modules;
  std::unique_ptr<InputSignal> inputs[kSignalCount];
  std::unique_ptr<OutputSignal> outputs[kSignalCount];
  std::vector<std::unique_ptr<BackupSignal>> inputBackups, outputBackups;
  int pinBase = 0;  // base of the next module added
  NetworkRegisters* registers = nullptr;
};

// The process-wide mapping. Its open modules close through their driver:
// remove them (RemoveAllModules) before the driver goes.
IoMapping& GetIoMapping();
