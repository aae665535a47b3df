#include "io/iomodule.h"

#include <cstdio>
#include <cstring>

#include "driver/src/linkframe.h"
#include "driver/src/moduleinfo.h"
#include "driver/src/quorvdriver.h"

namespace {

std::string Format(const char* format, int n) {
  char buf[48];
  std::snprintf(buf, sizeof buf, format, n);
  return buf;
}

// Maps pin ranges to consecutive bits: {first pin, last pin, first bit}.
struct BitRun {
  int first, last, bit;
};
template <size_t N>
int BitOf(const BitRun (&runs)[N], int pin) {
  for (const BitRun& r : runs)
    if (pin >= r.first && pin <= r.last) return r.bit + (pin - r.first);
  return -1;
}

}  // namespace

bool IsMotionController(int modelCode) {
  return modelCode == MODEL_KORRIN || modelCode == MODEL_SELVO || modelCode == MODEL_VORTHAL ||
         modelCode == MODEL_SELVO2 || modelCode == MODEL_DWEMM;
}

IoModule::~IoModule() {
  if (moduleKey != 0 && driver) driver->CloseModule(moduleKey);
}

bool IoModule::HasThc() const { return name.find("THC") != std::string::npos; }

void IoModule::SetDisplayName(const char* moduleName) {
  char key[10];
  name = std::string(moduleName) + " " + linkframe::KeyText(linkframe::KeyFromMac(mac), key);
}

// ---------------------------------------------------------------- pin sets

IoModuleBase::IoModuleBase(int pins, const PinSet& inputs, const PinSet& outputs)
    : pinCount(pins),
      inputCapable(inputs),
      freeInput(inputs),
      outputCapable(outputs),
      freeOutput(outputs) {}

IoModuleBase::PinSet IoModuleBase::Pins(const char* highestFirst) { return PinSet(std::string(highestFirst)); }

int IoModuleBase::Next(const PinSet& set, int after) {
  for (int p = after < 0 ? 0 : after + 1; p < kMaxPins; ++p)
    if (set.test(static_cast<size_t>(p))) return p;
  return -1;
}

std::string IoModuleBase::PinName(int) const { return "?"; }

bool IoModuleBase::AssignOutput(int pin) {
  if (!InRange(pin) || !freeOutput.test(static_cast<size_t>(pin)) || inputUse[pin] != 0) return false;
  const size_t p = static_cast<size_t>(pin);
  usedOutput.set(p);
  freeOutput.reset(p);
  freeInput.reset(p);
  return true;
}

bool IoModuleBase::AssignInput(int pin) {
  if (!InRange(pin) || !freeInput.test(static_cast<size_t>(pin)) || usedOutput.test(static_cast<size_t>(pin)))
    return false;
  ++inputUse[pin];
  freeOutput.reset(static_cast<size_t>(pin));
  return true;
}

void IoModuleBase::ReleaseOutput(int pin) {
  if (!InRange(pin) || !usedOutput.test(static_cast<size_t>(pin))) return;
  const size_t p = static_cast<size_t>(pin);
  usedOutput.reset(p);
  freeOutput.set(p);
  freeInput.set(p, inputCapable.test(p));
}

void IoModuleBase::ReleaseInput(int pin) {
  if (!InRange(pin) || inputUse[pin] == 0) return;
  if (--inputUse[pin] != 0) return;
  const size_t p = static_cast<size_t>(pin);
  freeInput.set(p);
  freeOutput.set(p, outputCapable.test(p));
}

bool IoModuleBase::InputAllowed(int kind, int pin) const {
  // A model without an emergency stop pin takes none.
  return kind != kPinKindEmergencyStop && InputCapable(pin);
}

bool IoModuleBase::OutputAllowed(int kind, int pin) const {
  return kind != kPinKindPwm && kind != kPinKindChargePump && OutputCapable(pin);
}

int IoModuleBase::InputBit(int) const { return -1; }
int IoModuleBase::OutputBit(int) const { return -1; }

// ---------------------------------------------------------------- Korrin

KorrinModule::KorrinModule()
    : IoModuleBase(40, Pins("0000101111111111110000001011110000000000"),
                   Pins("0011010000111111111000110100000000000010")) {}

std::string KorrinModule::PinName(int pin) const {
  return pin < 20 ? Format("Lpt1 pin%d", pin) : Format("Lpt2 pin%d", pin - 20);
}

bool KorrinModule::InputAllowed(int kind, int pin) const {
  if (kind == kPinKindEmergencyStop) return pin == 11;
  return InputCapable(pin);
}

bool KorrinModule::OutputAllowed(int kind, int pin) const {
  if (kind == kPinKindPwm) return pin == 1 || pin == 17 || pin == 37;
  return OutputCapable(pin);
}

int KorrinModule::InputBit(int pin) const {
  static const BitRun runs[] = {{10, 13, 0}, {15, 15, 4}, {30, 33, 8}, {35, 35, 12}, {22, 29, 16}};
  return BitOf(runs, pin);
}

int KorrinModule::OutputBit(int pin) const {
  static const BitRun runs[] = {{1, 1, 0},   {14, 14, 1}, {16, 16, 2}, {17, 17, 3}, {21, 21, 4},
                                {34, 34, 5}, {36, 36, 6}, {37, 37, 7}, {22, 29, 8}};
  return BitOf(runs, pin);
}

const char* KorrinModule::ModelWord() const { return HasThc() ? "Korrin+THC" : "Korrin"; }

// ---------------------------------------------------------------- Dwemm

DwemmModule::DwemmModule()
    : IoModuleBase(40, Pins("0000100000000000000000001011110000000000"),
                   Pins("0000000000000000000000110100000000000010")) {}

std::string DwemmModule::PinName(int pin) const { return Format("Lpt1 pin%d", pin < 20 ? pin : 24); }

bool DwemmModule::InputAllowed(int kind, int pin) const {
  if (kind == kPinKindEmergencyStop) return pin == 11;
  return InputCapable(pin);
}

bool DwemmModule::OutputAllowed(int kind, int pin) const {
  if (kind == kPinKindPwm) return pin == 1 || pin == 17;
  return OutputCapable(pin);
}

int DwemmModule::InputBit(int pin) const {
  static const BitRun runs[] = {{10, 13, 0}, {15, 15, 4}, {35, 35, 12}};
  return BitOf(runs, pin);
}

int DwemmModule::OutputBit(int pin) const {
  static const BitRun runs[] = {{1, 1, 0}, {14, 14, 1}, {16, 16, 2}, {17, 17, 3}};
  return BitOf(runs, pin);
}

// ---------------------------------------------------------------- Selvo

SelvoModule::SelvoModule()
    : IoModuleBase(40, Pins("0000100010000000000000001011110000000000"),
                   Pins("0000010000000000001000110100000000000010")) {}

std::string SelvoModule::PinName(int pin) const {
  switch (pin) {
    case 1: return "Relais1";
    case 10: return "Input3";
    case 11: return "EStop";
    case 12: return "Input2";
    case 13: return "Input1";
    case 14: return "Relais2";
    case 15: return "Input4";
    case 16: return "WDog";
    case 17: return "PWM";
    case 21: return "Enable";
    case 31: return "DFault";
    case 34: return "Brake";
    case 35: return "Probe";
    default: return "?";
  }
}

bool SelvoModule::InputAllowed(int kind, int pin) const {
  if (kind == kPinKindEmergencyStop) return pin == 11;
  return InputCapable(pin);
}

bool SelvoModule::OutputAllowed(int kind, int pin) const {
  if (kind == kPinKindPwm) return pin == 17;
  if (kind == kPinKindChargePump) return pin == 16;
  return OutputCapable(pin);
}

int SelvoModule::InputBit(int pin) const {
  static const BitRun runs[] = {{10, 13, 0}, {15, 15, 4}, {31, 31, 9}, {35, 35, 12}};
  return BitOf(runs, pin);
}

int SelvoModule::OutputBit(int pin) const {
  static const BitRun runs[] = {{1, 1, 0}, {14, 14, 1}, {16, 16, 2}, {17, 17, 3}, {21, 21, 4}, {34, 34, 5}};
  return BitOf(runs, pin);
}

const char* SelvoModule::ModelWord() const { return modelCode == MODEL_VORTHAL ? "Vorthal" : "Selvo"; }

// ---------------------------------------------------------------- Selvo2

Selvo2Module::Selvo2Module()
    : IoModuleBase(50, Pins("00000001111111111111111111111100000000000000000000"),
                   Pins("00000000000000000000000000000000111111111111111110")) {}

std::string Selvo2Module::PinName(int pin) const {
  if (pin >= 1 && pin <= 9) return Format("Output%d", pin);
  if (pin >= 10 && pin <= 15) return Format("Enable%d", pin - 9);
  if (pin == 16) return "WDog";
  if (pin == 17) return "PWM";
  if (pin == 20) return "EStop";
  if (pin >= 21 && pin <= 26) return Format("RefSw%d", pin - 20);
  if (pin >= 27 && pin <= 36) return Format("Input%d", pin - 26);
  if (pin >= 37 && pin <= 42) return Format("Status%d", pin - 36);
  return "?";
}

bool Selvo2Module::InputAllowed(int kind, int pin) const {
  if (kind == kPinKindEmergencyStop) return pin == 20;
  return InputCapable(pin);
}

bool Selvo2Module::OutputAllowed(int kind, int pin) const {
  if (kind == kPinKindPwm) return pin == 9 || pin == 17;
  if (kind == kPinKindChargePump) return pin != 17 && OutputCapable(pin);
  return OutputCapable(pin);
}

int Selvo2Module::InputBit(int pin) const {
  static const BitRun runs[] = {{23, 23, 0}, {20, 20, 1}, {22, 22, 2}, {21, 21, 3}, {24, 26, 4}, {27, 42, 8}};
  return BitOf(runs, pin);
}

int Selvo2Module::OutputBit(int pin) const {
  static const BitRun runs[] = {{1, 8, 0}, {10, 15, 8}, {9, 9, 14}, {16, 16, 15}, {17, 17, 17}};
  return BitOf(runs, pin);
}

// ---------------------------------------------------------------- I/O extension

namespace {
IoModuleBase::PinSet PinRange(int first, int last) {
  IoModuleBase::PinSet s;
  for (int p = first; p <= last; ++p) s.set(static_cast<size_t>(p));
  return s;
}
}  // namespace

IoExtModule::IoExtModule() : IoModuleBase(20, PinRange(1, 16), PinRange(1, 8)) {}

std::string IoExtModule::PinName(int pin) const {
  if (pin >= 1 && pin <= 8) return Format("InOut Pin%d", pin);
  if (pin >= 9 && pin <= 16) return Format("Input Pin%d", pin - 8);
  return "?";
}

bool IoExtModule::InputAllowed(int kind, int pin) const { return IoModuleBase::InputAllowed(kind, pin); }
bool IoExtModule::OutputAllowed(int kind, int pin) const { return IoModuleBase::OutputAllowed(kind, pin); }
int IoExtModule::InputBit(int pin) const { return pin >= 1 && pin <= 16 ? pin - 1 : -1; }
int IoExtModule::OutputBit(int pin) const { return pin >= 1 && pin <= 8 ? pin - 1 : -1; }

// ---------------------------------------------------------------- handset

HsetModule::HsetModule(int pins)
    : IoModuleBase(pins, PinRange(1, 12) | (pins >= 40 ? PinRange(30, 37) : IoModuleBase::PinSet()),
                   PinRange(13, 27)) {}

std::string HsetModule::PinName(int pin) const {
  static const char* const buttons[12] = {"start button",  "axis button",   "speed button",    "feed button",
                                          "spindle button", "enable button", "enable panic",    "zero button",
                                          "park button",   nullptr,         "macro 1 button",  "macro 2 button"};
  const bool small = pinCount == 30;
  if (pin == 10) return small ? "exhaust button" : "coolant button";
  if (pin >= 1 && pin <= 12) return buttons[pin - 1];
  if (pin == 13) return "start LED";
  if (pin >= 14 && pin <= 19) return Format("axis%d LED", pin - 13);
  switch (pin) {
    case 20: return "speed LED";
    case 21: return "feed LED";
    case 22: return "spindle LED";
    case 23: return "park LED";
    case 24: return small ? "exhaust LED" : "coolant LED";
    case 25: return "macro 1 LED";
    case 26: return "macro 2 LED";
    case 27: return "enable LED";
    default: break;
  }
  if (!small && pin >= 30 && pin <= 35) {
    static const char* const axes[6] = {"X", "Y", "Z", "A", "B", "C"};
    return std::string(axes[pin - 30]) + " button";
  }
  if (!small && pin == 36) return "measure button";
  if (!small && pin == 37) return "home button";
  return "?";
}

bool HsetModule::InputAllowed(int kind, int pin) const { return IoModuleBase::InputAllowed(kind, pin); }
bool HsetModule::OutputAllowed(int kind, int pin) const { return IoModuleBase::OutputAllowed(kind, pin); }

int HsetModule::InputBit(int pin) const {
  if (pin >= 1 && pin <= 12) return pin - 1;
  if (pinCount >= 40 && pin >= 30 && pin <= 37) return pin - 18;
  return -1;
}

int HsetModule::OutputBit(int pin) const { return pin >= 13 && pin <= 27 ? pin - 13 : -1; }

// ---------------------------------------------------------------- identification

namespace {

// The names a model's modules carry: model word, blank, brand.
struct ModelRow {
  const char* word;
  int code;
  const char* brands[3];
};
const ModelRow kModels[] = {
    {"Korrin", MODEL_KORRIN, {"Quorvane", "QV-Motion", "QV-OEM"}},
    {"Korrin+THC", MODEL_KORRIN, {"Quorvane", "QV-Plasma", nullptr}},
    {"Selvo", MODEL_SELVO, {"Quorvane", "QV-Servo", nullptr}},
    {"Vorthal", MODEL_VORTHAL, {"Quorvane", nullptr, nullptr}},
    {"Hanzet3", MODEL_HANZET3, {"Quorvane", "QV-Pendant", nullptr}},
    {"Hanzet4", MODEL_HANZET4, {"Quorvane", "QV-Pendant", nullptr}},
    {"Selvo2", MODEL_SELVO2, {"Quorvane", "QV-Knife", nullptr}},
    {"Dwemm", MODEL_DWEMM, {"Quorvane", nullptr, nullptr}},
    {"Trellex1", MODEL_TRELLEX1, {"Quorvane", "QV-IO", nullptr}},
};

const ModelRow* FindRow(const std::string& name, int& row) {
  for (const ModelRow& m : kModels)
    for (int i = 0; i < 3 && m.brands[i]; ++i)
      if (name == std::string(m.word) + " " + m.brands[i]) {
        row = i;
        return &m;
      }
  row = -1;
  return nullptr;
}

}  // namespace

std::string VersionOf(const char* text) {
  const char* v = text ? std::strrchr(text, 'V') : nullptr;
  return v ? std::string(v + 1) : std::string();
}

FirmwareCheck CheckFirmware(const char* name, const char* hardware, const char* software, int machineType) {
  FirmwareCheck r;
  r.current = VersionOf(software);
  const ModelRow* m = FindRow(name ? name : "", r.row);
  if (!m) return r;
  r.model = m->code;
  const std::string& sw = r.current;
  if (VersionOf(hardware) >= "1.10") {
    // Newer hardware needs the newer firmware whatever the model.
    r.required = "1.40";
    r.code = sw >= r.required ? m->code : MODEL_OBSOLETE;
    return r;
  }
  std::string required = "1.35";
  bool ok = false;
  switch (m->code) {
    case MODEL_KORRIN:
      if (machineType == kMachineTypeLaser || machineType == kMachineTypeVoiceCoil) {
        required = "1.34";
        ok = sw >= required;
      } else {
        ok = sw >= required || sw == "1.32";
      }
      break;
    case MODEL_SELVO2:
      if (r.row == 1 && machineType == kMachineTypeKnife) required = "1.34";
      ok = sw >= required;
      break;
    case MODEL_HANZET3:
    case MODEL_HANZET4:
    case MODEL_TRELLEX1:
      required = "1.34";
      ok = sw >= required;
      break;
    default:  // Dwemm, Selvo, Vorthal
      ok = sw >= required;
      break;
  }
  r.required = required;
  r.code = ok ? m->code : MODEL_OBSOLETE;
  return r;
}

FirmwareCheck CheckFirmware(const QuorvModuleRecord& info, int machineType) {
  char name[sizeof info.name + 1] = {}, hw[sizeof info.hardware + 1] = {}, sw[sizeof info.software + 1] = {};
  std::memcpy(name, info.name, sizeof info.name);
  std::memcpy(hw, info.hardware, sizeof info.hardware);
  std::memcpy(sw, info.software, sizeof info.software);
  return CheckFirmware(name, hw, sw, machineType);
}

std::string FirmwareMessage(const FirmwareCheck& check) {
  if (check.code == MODEL_OBSOLETE) {
    char buf[256];
    std::snprintf(buf, sizeof buf,
                  "This module has an obsolete Firmware version\nPlease perform an update, first.\n"
                  "Required version: %s\nCurrent version: %s",
                  check.required.c_str(), check.current.c_str());
    return buf;
  }
  if (check.code == MODEL_UNKNOWN) return "unknown module";
  return std::string();
}

std::unique_ptr<IoModule> CreateModule(int modelCode) {
  std::unique_ptr<IoModule> m;
  switch (modelCode) {
    case MODEL_KORRIN: m = std::make_unique<KorrinModule>(); break;
    case MODEL_SELVO:
    case MODEL_VORTHAL: m = std::make_unique<SelvoModule>(); break;
    case MODEL_HANZET3: m = std::make_unique<HsetModule>(30); break;
    case MODEL_HANZET4: m = std::make_unique<HsetModule>(40); break;
    case MODEL_SELVO2: m = std::make_unique<Selvo2Module>(); break;
    case MODEL_DWEMM: m = std::make_unique<DwemmModule>(); break;
    case MODEL_TRELLEX1: m = std::make_unique<IoExtModule>(); break;
    default: return nullptr;
  }
  m->modelCode = modelCode;
  return m;
}

std::string ModuleNameOf(const std::string& modelWord) {
  for (const ModelRow& m : kModels)
    if (modelWord == m.word) return modelWord + " " + m.brands[0];
  return std::string();
}

std::unique_ptr<IoModule> CreateModuleByName(const std::string& nameOrWord) {
  const std::string name = nameOrWord.find(' ') == std::string::npos ? ModuleNameOf(nameOrWord) : nameOrWord;
  int row = -1;
  const ModelRow* m = FindRow(name, row);
  if (!m) return nullptr;
  std::unique_ptr<IoModule> module = CreateModule(m->code);
  module->name = name;
  return module;
}
