// The application's picture of one controller module: which of its pins can
// be inputs and outputs, what they are called on the connector, which pins
// take the special functions (emergency stop, PWM, charge pump) and which bit
// of the module's input and output words belongs to each pin. The model is
// chosen from the module's identification, which also tells whether its
// firmware is too old.
#pragma once

#include <bitset>
#include <cstdint>
#include <memory>
#include <string>

class QuorvDriver;
struct QuorvModuleRecord;

// Model codes from the identification.
enum ModuleModelCode : int {
  MODEL_UNKNOWN = 0,
  MODEL_OBSOLETE = 1,  // known, but its firmware is too old
  MODEL_KORRIN = 2,
  MODEL_SELVO = 3,
  MODEL_VORTHAL = 4,
  MODEL_HANZET3 = 5,
  MODEL_HANZET4 = 6,
  MODEL_SELVO2 = 7,
  MODEL_DWEMM = 8,
  MODEL_TRELLEX1 = 9,
};
// Codes 2, 3, 4, 7 and 8 drive axes; 5, 6 and 9 are handsets and I/O extensions.
bool IsMotionController(int modelCode);

// Machine types whose firmware requirements differ (MachineType parameter).
constexpr int kMachineTypeLaser = 1;
constexpr int kMachineTypeVoiceCoil = 2;
constexpr int kMachineTypeKnife = 3;

// Special pin functions, numbered as the signals that use them.
constexpr int kPinKindEmergencyStop = 1;  // input
constexpr int kPinKindPwm = 5;            // output
constexpr int kPinKindChargePump = 6;     // output

class IoModule {
 public:
  static constexpr int kMaxPins = 64;

  IoModule() = default;
  IoModule(const IoModule&) = delete;
  IoModule& operator=(const IoModule&) = delete;
  // Closes the module through its driver if it is still open.
  virtual ~IoModule();

  // Smallest pin above `after` that is free for an output (input), or -1.
  virtual int NextFreeOutput(int after) const = 0;
  virtual int NextFreeInput(int after) const = 0;
  // The pin's name on the module's connector.
  virtual std::string PinName(int pin) const = 0;
  // Number of pin numbers of the model (pins 0 .. PinCount()-1).
  virtual int PinCount() const = 0;
  // An output pin belongs to one signal; an input pin may serve several.
  virtual bool AssignOutput(int pin) = 0;
  virtual bool AssignInput(int pin) = 0;
  virtual void ReleaseOutput(int pin) = 0;
  virtual void ReleaseInput(int pin) = 0;
  // Whether an input (output) of that kind may sit on the pin: the special
  // kinds only on the model's pins for them.
  virtual bool InputAllowed(int kind, int pin) const = 0;
  virtual bool OutputAllowed(int kind, int pin) const = 0;
  // Bit of the pin in the module's input (output) word, or -1.
  virtual int InputBit(int pin) const = 0;
  virtual int OutputBit(int pin) const = 0;
  // Torch-height-control inputs (the name says "THC").
  virtual bool HasThc() const;

  // The model word of the identification ("Korrin"), empty when unknown.
  virtual const char* ModelWord() const { return ""; }

  uint32_t moduleKey = 0;   // 0 while not open
  std::string name;         // "<module name> #<key>"
  std::string alias;
  std::string thirdText;    // kept with the module, written with the mapping
  uint8_t mac[6] = {};
  bool macValid = false;
  int pinBase = 0;          // global pin number of local pin 0
  uint32_t outputWord = 0;  // one bit per output bit of the module
  uint32_t inputWord = 0;   // the 24 inputs as last read
  int modelCode = MODEL_UNKNOWN;
  QuorvDriver* driver = nullptr;  // the driver that opened it

  bool IsOpen() const { return moduleKey != 0; }
  // Whether global pin `pin` lies on this module.
  bool HoldsPin(int pin) const { return pin >= pinBase && pin < pinBase + PinCount(); }
  // Sets name from the identification's module name and the key.
  void SetDisplayName(const char* moduleName);
};

// The pin-set models. A plain IoModuleBase without pins stands for a module
// whose model is not known yet.
class IoModuleBase : public IoModule {
 public:
  using PinSet = std::bitset<kMaxPins>;

  IoModuleBase() : IoModuleBase(0, PinSet(), PinSet()) {}
  IoModuleBase(int pinCount, const PinSet& inputs, const PinSet& outputs);

  int NextFreeOutput(int after) const override { return Next(freeOutput, after); }
  int NextFreeInput(int after) const override { return Next(freeInput, after); }
  std::string PinName(int pin) const override;
  int PinCount() const override { return pinCount; }
  bool AssignOutput(int pin) override;
  bool AssignInput(int pin) override;
  void ReleaseOutput(int pin) override;
  void ReleaseInput(int pin) override;
  bool InputAllowed(int kind, int pin) const override;
  bool OutputAllowed(int kind, int pin) const override;
  int InputBit(int pin) const override;
  int OutputBit(int pin) const override;

  // A capability set written highest pin first ("0010...1").
  static PinSet Pins(const char* highestFirst);
  int InputUse(int pin) const { return InRange(pin) ? inputUse[pin] : 0; }
  bool OutputUsed(int pin) const { return InRange(pin) && usedOutput.test(static_cast<size_t>(pin)); }

 protected:
  bool InRange(int pin) const { return pin >= 0 && pin < pinCount; }
  bool InputCapable(int pin) const { return InRange(pin) && inputCapable.test(static_cast<size_t>(pin)); }
  bool OutputCapable(int pin) const { return InRange(pin) && outputCapable.test(static_cast<size_t>(pin)); }
  static int Next(const PinSet& set, int after);

  int pinCount;
  PinSet inputCapable, freeInput, outputCapable, freeOutput, usedOutput;
  uint16_t inputUse[kMaxPins] = {};
};

// Two parallel-port style connectors, 40 pins.
class KorrinModule : public IoModuleBase {
 public:
  KorrinModule();
  std::string PinName(int pin) const override;
  bool InputAllowed(int kind, int pin) const override;
  bool OutputAllowed(int kind, int pin) const override;
  int InputBit(int pin) const override;
  int OutputBit(int pin) const override;
  const char* ModelWord() const override;
};

class DwemmModule : public IoModuleBase {
 public:
  DwemmModule();
  std::string PinName(int pin) const override;
  bool InputAllowed(int kind, int pin) const override;
  bool OutputAllowed(int kind, int pin) const override;
  int InputBit(int pin) const override;
  int OutputBit(int pin) const override;
  const char* ModelWord() const override { return "Dwemm"; }
};

class SelvoModule : public IoModuleBase {
 public:
  SelvoModule();
  std::string PinName(int pin) const override;
  bool InputAllowed(int kind, int pin) const override;
  bool OutputAllowed(int kind, int pin) const override;
  int InputBit(int pin) const override;
  int OutputBit(int pin) const override;
  const char* ModelWord() const override;
};

class Selvo2Module : public IoModuleBase {
 public:
  Selvo2Module();
  std::string PinName(int pin) const override;
  bool InputAllowed(int kind, int pin) const override;
  bool OutputAllowed(int kind, int pin) const override;
  int InputBit(int pin) const override;
  int OutputBit(int pin) const override;
  const char* ModelWord() const override { return "Selvo2"; }
};

// I/O extension: eight pins that are inputs or outputs, eight inputs.
class IoExtModule : public IoModuleBase {
 public:
  IoExtModule();
  std::string PinName(int pin) const override;
  bool InputAllowed(int kind, int pin) const override;
  bool OutputAllowed(int kind, int pin) const override;
  int InputBit(int pin) const override;
  int OutputBit(int pin) const override;
  const char* ModelWord() const override { return "Trellex1"; }
};

// Handset: buttons on pins 1-12 (and 30-37 on the 40-pin model), LEDs on
// pins 13-27. Input bits: pins 1-12 → 0-11, 30-37 → 12-19; output bits:
// pins 13-27 → 0-14.
class HsetModule : public IoModuleBase {
 public:
  explicit HsetModule(int pins);  // 30 (Hanzet3) or 40 (Hanzet4)
  std::string PinName(int pin) const override;
  bool InputAllowed(int kind, int pin) const override;
  bool OutputAllowed(int kind, int pin) const override;
  int InputBit(int pin) const override;
  int OutputBit(int pin) const override;
  const char* ModelWord() const override { return pinCount == 30 ? "Hanzet3" : "Hanzet4"; }
};

// Firmware check of an identification.
struct FirmwareCheck {
  int code = MODEL_UNKNOWN;
  int model = MODEL_UNKNOWN;  // the name's model, whatever its firmware
  std::string required;  // software version the model needs ("1.35")
  std::string current;   // the module's software version
  int row = -1;          // row of the name in the model's table, -1 unknown
};
// Machine type (MachineType) decides some requirements.
FirmwareCheck CheckFirmware(const char* name, const char* hardware, const char* software, int machineType);
FirmwareCheck CheckFirmware(const QuorvModuleRecord& info, int machineType);
// The text after the last "V" ("Sw V1.40" → "1.40").
std::string VersionOf(const char* text);
// The operator's message for code 1 or 0; empty otherwise.
std::string FirmwareMessage(const FirmwareCheck& check);

// A new object of the model's class for codes 2 to 9; nullptr otherwise.
std::unique_ptr<IoModule> CreateModule(int modelCode);
// The identification name a module of a model word carries ("Korrin" →
// "Korrin Quorvane"); empty for a word that is no model.
std::string ModuleNameOf(const std::string& modelWord);
// By model word or identification name ("Selvo2", "Korrin+THC Quorvane"):
// the model object; nullptr for an unknown word.
std::unique_ptr<IoModule> CreateModuleByName(const std::string& nameOrWord);
