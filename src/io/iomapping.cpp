#include "io/iomapping.h"

#include <algorithm>
#include <cstdio>

#include "base/assertion.h"
#include "driver/src/linkframe.h"
#include "io/iolog.h"
#include "machine/machineconfig.h"
#include "params/parafile.h"

namespace {

// Fixed input signals 1..59 and 80 (handset signals below).
struct FixedInput {
  int number;
  const char* name;
  bool invert;
};
const FixedInput kFixedInputs[] = {
    {1, "emergency stop", true},    {2, "alarm 1", false},          {3, "alarm 2", false},
    {4, "tool length probe", false}, {5, "stand still", true},       {6, "safety loop 1", false},
    {7, "safety loop 2", false},    {8, "air pressure OK", true},   {9, "3D/edge probe", false},
    {49, "VFD speed OK", false},    {50, "tool clamped", true},     {51, "tool released", true},
    {52, "toolchanger open", true}, {53, "toolchanger closed", true}, {54, "plasma THC up", false},
    {55, "plasma THC down", false}, {56, "plasma touch probe", false}, {57, "plasma arc OK", true},
    {58, "safety door open 1", false}, {59, "safety door open 2", false}, {80, "VFD load", false},
};

const char* const kFixedOutputs[28] = {nullptr,
                                       "servo enable",
                                       "current reduction",
                                       "spindle forward",
                                       "spindle reverse",
                                       "PWM output",
                                       "charge pump",
                                       "mist coolant",
                                       "flood coolant",
                                       "holding brake",
                                       "unlock door",
                                       "safety loop 1",
                                       "safety loop 2",
                                       "open toolchanger",
                                       "tool unclamp",
                                       "tool clean air",
                                       "sealing air",
                                       "servo enable inverted",
                                       "current reduction inverted",
                                       "automatic lubrication",
                                       "mist coolant X+",
                                       "mist coolant X-",
                                       "mist coolant Y+",
                                       "mist coolant Y-",
                                       "traffic light red",
                                       "traffic light yellow",
                                       "traffic light green",
                                       "homing completed"};

// The handset's signals: number, name (the 40-pin model's), local pin.
struct HandsetSignal {
  int number;
  const char* name;
  int pin;
};
const HandsetSignal kHandsetInputs[] = {
    {60, "handwheel start button", 1},    {61, "handwheel axis button", 2},     {62, "handwheel speed button", 3},
    {63, "handwheel feed button", 4},     {64, "handwheel spindle button", 5},  {65, "handwheel enable button", 6},
    {66, "handwheel enable panic", 7},    {67, "handwheel zero button", 8},     {68, "handwheel park button", 9},
    {69, "handwheel coolant button", 10}, {70, "handwheel macro 1 button", 11}, {71, "handwheel macro 2 button", 12},
    {72, "handwheel X button", 30},       {73, "handwheel Y button", 31},       {74, "handwheel Z button", 32},
    {75, "handwheel A button", 33},       {76, "handwheel B button", 34},       {77, "handwheel C button", 35},
    {78, "handwheel measure button", 36}, {79, "handwheel home button", 37},
};
const HandsetSignal kHandsetOutputs[] = {
    {60, "handwheel start LED", 13},   {61, "handwheel axis1 LED", 14},   {62, "handwheel axis2 LED", 15},
    {63, "handwheel axis3 LED", 16},   {64, "handwheel axis4 LED", 17},   {65, "handwheel axis5 LED", 18},
    {66, "handwheel axis6 LED", 19},   {67, "handwheel speed LED", 20},   {68, "handwheel feed LED", 21},
    {69, "handwheel spindle LED", 22}, {70, "handwheel park LED", 23},    {71, "handwheel coolant LED", 24},
    {72, "handwheel macro 1 LED", 25}, {73, "handwheel macro 2 LED", 26}, {74, "handwheel enable LED", 27},
};

bool InRange(int signal) { return signal >= 0 && signal < kSignalCount; }

// Entry counts beyond these cannot all take effect: every input signal has
// one pin, every output signal up to ten.
constexpr int kMaxInputEntries = kSignalCount;
constexpr int kMaxOutputEntries = kSignalCount * kMaxOutputPins;

}  // namespace

int OutputSignal::PinCount() const {
  int n = 0;
  while (n < kMaxOutputPins && pins[n] != 0) ++n;
  return n;
}

bool OutputSignal::HasPin(int32_t pin) const {
  for (int i = 0; i < kMaxOutputPins && pins[i] != 0; ++i)
    if (pins[i] == pin) return true;
  return false;
}

IoMapping::IoMapping() { CreateFixedSignals(); }

IoMapping::~IoMapping() {
  Clear();
  RemoveAllModules();
}

// ---------------------------------------------------------------- modules

int IoMapping::IndexOf(const IoModule* m) const {
  for (size_t i = 0; i < modules.size(); ++i)
    if (modules[i].get() == m) return static_cast<int>(i);
  return -1;
}

IoModule* IoMapping::AddModule(std::unique_ptr<IoModule> module) {
  module->pinBase = pinBase;
  pinBase += module->PinCount();
  modules.push_back(std::move(module));
  return modules.back().get();
}

void IoMapping::DetachModule(const IoModule* m) {
  for (int s = 0; s < kSignalCount; ++s) {
    if (inputs[s] && inputs[s]->module == m) {
      inputs[s]->module = nullptr;
      inputs[s]->pin = 0;
    }
    if (OutputSignal* o = outputs[s].get())
      for (int k = 0; k < kMaxOutputPins; ++k)
        if (o->modules[k] == m) o->modules[k] = nullptr;
  }
}

IoModule* IoMapping::ReplaceModule(size_t i, std::unique_ptr<IoModule> module) {
  if (i >= modules.size()) return nullptr;
  DetachModule(modules[i].get());
  modules[i]->moduleKey = 0;  // the new object owns the connection now
  modules[i] = std::move(module);
  NumberPins();
  return modules[i].get();
}

void IoMapping::RemoveModule(size_t i) {
  if (i >= modules.size()) return;
  DetachModule(modules[i].get());
  modules.erase(modules.begin() + static_cast<long>(i));
  NumberPins();
}

void IoMapping::RemoveAllModules() {
  for (auto& m : modules) DetachModule(m.get());
  modules.clear();
  pinBase = 0;
}

void IoMapping::NumberPins() {
  pinBase = 0;
  for (auto& m : modules) {
    m->pinBase = pinBase;
    pinBase += m->PinCount();
  }
}

IoModule* IoMapping::ModuleOfPin(int32_t pin, int* local) const {
  if (pin <= 0) return nullptr;
  for (const auto& m : modules)
    if (m->IsOpen() && m->HoldsPin(pin)) {
      if (local) *local = pin - m->pinBase;
      return m.get();
    }
  return nullptr;
}

std::string IoMapping::PinText(int32_t pin) const {
  if (pin == 0) return "none";
  if (IsRegisterPin(pin)) {
    if (registers) return registers->RegisterText(pin);
    const uint32_t v = static_cast<uint32_t>(-static_cast<int64_t>(pin));
    char buf[32];
    std::snprintf(buf, sizeof buf, "MB: %04X-%d", (v >> 16) & 0xFF, static_cast<int>(v & 0xFFFF));
    return buf;
  }
  int local = 0;
  if (const IoModule* m = ModuleOfPin(pin, &local)) return m->name + " " + m->PinName(local);
  return "pin " + std::to_string(pin) + " (no module)";
}

int IoMapping::ReadModuleList(const ParaFile& file) {
  int n = 0;
  if (!file.GetInt("moduleNum", n)) return 0;
  int read = 0;
  for (int i = 0; i < std::min(n, 32); ++i) {
    std::string text;
    uint8_t mac[6];
    if (!file.GetRawString("moduleAdr", i, text) || !linkframe::ParseMac(text.c_str(), mac)) {
      LogMessage(LOG_IO_FILES, "ReadMapping moduleAdr_%02d missing or bad", i);
      continue;
    }
    auto m = std::make_unique<IoModuleBase>();
    std::copy(mac, mac + 6, m->mac);
    m->macValid = true;
    AddModule(std::move(m));
    ++read;
  }
  return read;
}

// ---------------------------------------------------------------- signals

std::string IoMapping::DefaultInputName(int signal) {
  for (const FixedInput& f : kFixedInputs)
    if (f.number == signal) return f.name;
  if (signal >= 10 && signal <= 18) return "servo ready axis" + std::to_string(signal - 10);
  if (signal >= 20 && signal <= 28) return "limit- axis" + std::to_string(signal - 20);
  if (signal >= 30 && signal <= 38) return "home switch axis" + std::to_string(signal - 30);
  if (signal >= 40 && signal <= 48) return "limit+ axis" + std::to_string(signal - 40);
  for (const HandsetSignal& h : kHandsetInputs)
    if (h.number == signal) return h.name;
  return std::string();
}

std::string IoMapping::DefaultOutputName(int signal) {
  if (signal >= 1 && signal <= 27) return kFixedOutputs[signal];
  for (const HandsetSignal& h : kHandsetOutputs)
    if (h.number == signal) return h.name;
  return std::string();
}

InputSignal* IoMapping::Input(int signal) const { return InRange(signal) ? inputs[signal].get() : nullptr; }
OutputSignal* IoMapping::Output(int signal) const { return InRange(signal) ? outputs[signal].get() : nullptr; }

InputSignal* IoMapping::MakeInput(int signal) {
  if (!inputs[signal]) inputs[signal] = std::make_unique<InputSignal>(signal, DefaultInputName(signal));
  return inputs[signal].get();
}

OutputSignal* IoMapping::MakeOutput(int signal) {
  if (!outputs[signal]) outputs[signal] = std::make_unique<OutputSignal>(signal, DefaultOutputName(signal));
  return outputs[signal].get();
}

void IoMapping::CreateFixedSignals() {
  for (int s = 0; s < kFixedSignals; ++s) {
    MakeInput(s);
    MakeOutput(s);
  }
  for (const FixedInput& f : kFixedInputs) inputs[f.number]->invert = f.invert;
  for (int a = 0; a < 9; ++a) inputs[SIG_IN_SERVO_READY + a]->invert = true;
}

bool IoMapping::CheckPin(int32_t pin, bool output, IoModule** module, int* local) const {
  *module = nullptr;
  if (pin == 0) return false;
  if (IsRegisterPin(pin)) return registers && registers->AcceptsRegister(pin, output);
  IoModule* m = ModuleOfPin(pin, local);
  if (!m) return false;
  if (!(output ? m->AssignOutput(*local) : m->AssignInput(*local))) return false;
  *module = m;
  return true;
}

bool IoMapping::AssignInput(int signal, int32_t pin, bool invert, const std::string* name) {
  if (!InRange(signal)) return false;
  if (inputs[signal] && inputs[signal]->pin != 0) return false;
  IoModule* module = nullptr;
  int local = 0;
  if (!CheckPin(pin, false, &module, &local)) return false;
  InputSignal* s = MakeInput(signal);
  s->pin = pin;
  s->module = module;
  s->invert = invert;
  s->hasRange = false;
  if (name) s->name = *name;
  return true;
}

bool IoMapping::AssignRangedInput(int signal, int32_t pin, double minVal, double maxVal, int32_t minReg,
                                  int32_t maxReg, const std::string* name) {
  if (!InRange(signal) || !IsRegisterPin(pin)) return false;
  if (inputs[signal] && inputs[signal]->pin != 0) return false;
  IoModule* module = nullptr;
  int local = 0;
  if (!CheckPin(pin, false, &module, &local)) return false;
  InputSignal* s = MakeInput(signal);
  s->pin = pin;
  s->module = nullptr;
  s->invert = false;
  s->hasRange = true;
  s->minVal = minVal;
  s->maxVal = maxVal;
  s->minReg = minReg;
  s->maxReg = maxReg;
  if (name) s->name = *name;
  return true;
}

bool IoMapping::AssignOutput(int signal, int32_t pin, const std::string* name) {
  if (!InRange(signal)) return false;
  OutputSignal* existing = outputs[signal].get();
  if (existing) {
    if (existing->hasRange && existing->pins[0] != 0) return false;
    if (signal == SIG_OUT_PWM && existing->pins[0] != 0) return false;
    if (existing->PinCount() >= kMaxOutputPins || existing->HasPin(pin)) return false;
  }
  IoModule* module = nullptr;
  int local = 0;
  if (!CheckPin(pin, true, &module, &local)) return false;
  OutputSignal* s = MakeOutput(signal);
  const int n = s->PinCount();
  s->pins[n] = pin;
  s->modules[n] = module;
  s->hasRange = false;
  if (name) s->name = *name;
  return true;
}

bool IoMapping::AssignRangedOutput(int signal, int32_t pin, double minVal, double maxVal, int32_t minReg,
                                   int32_t maxReg, const std::string* name) {
  if (!InRange(signal) || !IsRegisterPin(pin)) return false;
  // A ranged output drives one register.
  if (outputs[signal] && outputs[signal]->pins[0] != 0) return false;
  IoModule* module = nullptr;
  int local = 0;
  if (!CheckPin(pin, true, &module, &local)) return false;
  OutputSignal* s = MakeOutput(signal);
  s->pins[0] = pin;
  s->modules[0] = nullptr;
  s->hasRange = true;
  s->minVal = minVal;
  s->maxVal = maxVal;
  s->minReg = minReg;
  s->maxReg = maxReg;
  if (name) s->name = *name;
  return true;
}

void IoMapping::RemoveInput(int signal) {
  InputSignal* s = Input(signal);
  if (!s) return;
  if (s->module && s->pin != 0) s->module->ReleaseInput(s->pin - s->module->pinBase);
  s->pin = 0;
  s->module = nullptr;
  s->hasRange = false;
  if (signal >= kFixedSignals) inputs[signal].reset();
}

void IoMapping::RemoveOutputPin(int signal, int32_t pin) {
  OutputSignal* s = Output(signal);
  if (!s || pin == 0) return;
  for (int i = 0; i < kMaxOutputPins && s->pins[i] != 0; ++i) {
    if (s->pins[i] != pin) continue;
    if (s->modules[i]) s->modules[i]->ReleaseOutput(pin - s->modules[i]->pinBase);
    for (int k = i; k + 1 < kMaxOutputPins; ++k) {
      s->pins[k] = s->pins[k + 1];
      s->modules[k] = s->modules[k + 1];
    }
    s->pins[kMaxOutputPins - 1] = 0;
    s->modules[kMaxOutputPins - 1] = nullptr;
    break;
  }
  if (s->pins[0] == 0) {
    s->hasRange = false;
    if (signal >= kFixedSignals) outputs[signal].reset();
  }
}

void IoMapping::RemoveAllOutputPins(int signal) {
  OutputSignal* s = Output(signal);
  if (!s) return;
  for (int i = 0; i < kMaxOutputPins; ++i) {
    if (s->modules[i] && s->pins[i] != 0) s->modules[i]->ReleaseOutput(s->pins[i] - s->modules[i]->pinBase);
    s->pins[i] = 0;
    s->modules[i] = nullptr;
  }
  s->hasRange = false;
}

void IoMapping::Clear() {
  for (int s = 0; s < kSignalCount; ++s) {
    if (inputs[s]) RemoveInput(s);
    if (outputs[s]) RemoveAllOutputPins(s);
    inputs[s].reset();
    outputs[s].reset();
  }
  inputBackups.clear();
  outputBackups.clear();
}

void IoMapping::AssignHandsetDefaults(IoModule& module) {
  const bool small = module.modelCode == MODEL_HANZET3;
  for (const HandsetSignal& h : kHandsetInputs) {
    if (h.pin >= module.PinCount()) continue;
    RemoveInput(h.number);
    std::string name = h.name;
    if (small && h.number == 69) name = "handwheel exhaust button";
    AssignInput(h.number, module.pinBase + h.pin, false, &name);
  }
  for (const HandsetSignal& h : kHandsetOutputs) {
    if (h.pin >= module.PinCount()) continue;
    RemoveAllOutputPins(h.number);
    std::string name = h.name;
    if (small && h.number == 71) name = "handwheel exhaust LED";
    AssignOutput(h.number, module.pinBase + h.pin, &name);
  }
}

// ---------------------------------------------------------------- states

bool IoMapping::InputMapped(int signal) const {
  const InputSignal* s = Input(signal);
  return s && s->pin != 0;
}

bool IoMapping::OutputMapped(int signal) const {
  const OutputSignal* s = Output(signal);
  return s && s->pins[0] != 0;
}

bool IoMapping::InputActive(int signal) const {
  const InputSignal* s = Input(signal);
  if (!s || s->pin == 0) return false;
  if (IsRegisterPin(s->pin)) return registers && registers->RegisterActive(s->pin);
  if (!s->module) return false;
  const int bit = s->module->InputBit(s->pin - s->module->pinBase);
  if (bit < 0) return false;
  return (((s->module->inputWord >> bit) & 1u) != 0) != s->invert;
}

bool IoMapping::OutputState(int signal) const {
  const OutputSignal* s = Output(signal);
  return s && s->state;
}

// ---------------------------------------------------------------- the file

MappingReadReport IoMapping::ReadMapping(ParaFile& file) {
  LogMessage(LOG_IO_FILES, "ReadMapping");
  MappingReadReport report;
  int numInputs = 0, numOutputs = 0;
  bool keepExisting = false;
  file.GetInt("NumInputs", numInputs);
  file.GetInt("NumOutputs", numOutputs);
  file.GetBool("KeepExisting", keepExisting);
  auto skip = [&](const char* dir, int i, const std::string& why) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%s entry %d: ", dir, i);
    report.skipped.push_back(buf + why);
    LogMessage(LOG_IO_FILES, "ReadMapping skipped %s", report.skipped.back().c_str());
  };
  if (numInputs < 0 || numInputs > kMaxInputEntries) {
    skip("input", numInputs, "NumInputs out of range, read as " + std::to_string(numInputs < 0 ? 0 : kMaxInputEntries));
    numInputs = numInputs < 0 ? 0 : kMaxInputEntries;
  }
  if (numOutputs < 0 || numOutputs > kMaxOutputEntries) {
    skip("output", numOutputs,
         "NumOutputs out of range, read as " + std::to_string(numOutputs < 0 ? 0 : kMaxOutputEntries));
    numOutputs = numOutputs < 0 ? 0 : kMaxOutputEntries;
  }

  if (!keepExisting) {
    Clear();
    CreateFixedSignals();
  } else {
    for (int i = 0; i < numOutputs; ++i) {
      int signal = 0;
      if (file.GetInt("out", "Signal", i, signal)) RemoveAllOutputPins(signal);
    }
  }

  for (const bool output : {false, true}) {
    const char* dir = output ? "out" : "in";
    const char* what = output ? "output" : "input";
    for (int i = 0; i < (output ? numOutputs : numInputs); ++i) {
      bool hasRange = false;
      file.GetBool(dir, "HasRange", i, hasRange);
      int signal = 0, pin = 0;
      std::string name;
      if (!file.GetInt(dir, "Signal", i, signal)) { skip(what, i, "no Signal"); continue; }
      if (!file.GetInt(dir, "Pin", i, pin)) { skip(what, i, "no Pin"); continue; }
      if (!file.GetString(dir, "Name", i, name)) { skip(what, i, "no Name"); continue; }
      if (!InRange(signal)) { skip(what, i, "signal " + std::to_string(signal) + " out of range"); continue; }
      if (!output) RemoveInput(signal);
      LogMessage(LOG_IO_DETAIL, output ? "AssignOutput s=%d p=%d n=%s" : "AssignInput s=%d p=%d n=%s", signal, pin,
                 name.c_str());
      const std::string refused = " refused for signal " + std::to_string(signal);
      if (hasRange) {
        int minReg = 0, maxReg = 0;
        double minVal = 0, maxVal = 0;
        if (!file.GetInt(dir, "MinReg", i, minReg) || !file.GetInt(dir, "MaxReg", i, maxReg) ||
            !file.GetDouble(dir, "MinVal", i, minVal) || !file.GetDouble(dir, "MaxVal", i, maxVal)) {
          skip(what, i, "ranged without MinReg, MaxReg, MinVal and MaxVal");
          continue;
        }
        if (!(output ? AssignRangedOutput(signal, pin, minVal, maxVal, minReg, maxReg, &name)
                     : AssignRangedInput(signal, pin, minVal, maxVal, minReg, maxReg, &name))) {
          skip(what, i, "register " + PinText(pin) + refused);
          continue;
        }
      } else {
        bool invert = false;
        int safetyLevel = 0;
        if (!output && !file.GetBool(dir, "Invert", i, invert)) { skip(what, i, "no Invert"); continue; }
        const bool hasLevel = output && file.GetInt(dir, "SafetyLevel", i, safetyLevel);
        // Kept even when the pin cannot be taken now (its module is
        // missing), so the entry is written back as read.
        (output ? outputBackups : inputBackups)
            .push_back(std::make_unique<BackupSignal>(signal, name, pin, invert, safetyLevel));
        if (!(output ? AssignOutput(signal, pin, &name) : AssignInput(signal, pin, invert, &name))) {
          skip(what, i, PinText(pin) + refused);
          continue;
        }
        if (hasLevel) outputs[signal]->safetyLevel = safetyLevel;
      }
      ++(output ? report.outputs : report.inputs);
    }
  }
  return report;
}

namespace {

const char* const kEntryKeys[] = {"Signal", "Pin", "Name", "HasRange", "MinReg", "MaxReg",
                                  "MinVal", "MaxVal", "Invert", "SafetyLevel"};

// Removes an entry's keys, so an entry written over an older one of another
// kind keeps none of its fields.
void RemoveEntry(ParaFile& file, const char* dir, int i) {
  for (const char* k : kEntryKeys) file.RemoveKey(ParaFile::IndexedKey(dir, k, i));
}

void WriteEntry(ParaFile& file, const char* dir, int i, const Signal& s, int32_t pin) {
  RemoveEntry(file, dir, i);
  file.SetInt(dir, "Signal", i, s.number);
  file.SetInt(dir, "Pin", i, pin);
  file.SetString(dir, "Name", i, s.name);
  file.SetBool(dir, "HasRange", i, s.hasRange);
  if (s.hasRange) {
    file.SetInt(dir, "MinReg", i, s.minReg);
    file.SetInt(dir, "MaxReg", i, s.maxReg);
    file.SetDouble(dir, "MinVal", i, s.minVal);
    file.SetDouble(dir, "MaxVal", i, s.maxVal);
  }
}

// Entries an earlier, longer mapping left behind.
void RemoveStaleEntries(ParaFile& file, const char* dir, const char* countKey, int count, int limit) {
  int old = 0;
  file.GetInt(countKey, old);
  for (int i = count; i < std::min(old, limit); ++i)
    RemoveEntry(file, dir, i);
}

}  // namespace

void IoMapping::WriteToFile(ParaFile& file, bool withModules, bool mainFile) {
  bool anyOpen = false;
  for (const auto& m : modules) anyOpen |= m->IsOpen();

  int i = 0;
  if (anyOpen) {
    for (int n = 0; n < kSignalCount; ++n) {
      const InputSignal* s = inputs[n].get();
      if (!s || (s->pin == 0 && n < kFixedSignals)) continue;
      WriteEntry(file, "in", i, *s, s->pin);
      if (!s->hasRange) file.SetBool("in", "Invert", i, s->invert);
      ++i;
    }
  }
  if (i == 0) {
    for (const auto& b : inputBackups) {
      WriteEntry(file, "in", i, *b, b->pin);
      file.SetBool("in", "Invert", i, b->invert);
      ++i;
    }
  }
  RemoveStaleEntries(file, "in", "NumInputs", i, kMaxInputEntries);
  file.SetInt("NumInputs", i);

  int o = 0;
  if (anyOpen) {
    for (int n = 0; n < kSignalCount; ++n) {
      const OutputSignal* s = outputs[n].get();
      if (!s) continue;
      for (int k = 0; k < kMaxOutputPins && s->pins[k] != 0; ++k) {
        WriteEntry(file, "out", o, *s, s->pins[k]);
        file.SetInt("out", "SafetyLevel", o, s->safetyLevel);
        ++o;
      }
    }
  }
  if (o == 0) {
    for (const auto& b : outputBackups) {
      WriteEntry(file, "out", o, *b, b->pin);
      file.SetInt("out", "SafetyLevel", o, b->safetyLevel);
      ++o;
    }
  }
  RemoveStaleEntries(file, "out", "NumOutputs", o, kMaxOutputEntries);
  file.SetInt("NumOutputs", o);
  QASSERT(i>0 && o>0, "Trying to save empty IO-mapping");

  if (withModules && anyOpen) {
    int n = 0;
    char text[18];
    for (const auto& m : modules) {
      if (!m->IsOpen() || !m->macValid) continue;
      file.SetRawString("moduleAdr", n++, linkframe::MacText(m->mac, text));
    }
    file.SetInt("moduleNum", n);
    if (mainFile && n > 0) {
      for (const auto& m : modules)
        if (m->IsOpen() && m->macValid) {
          GetMachineConfig().controllerAdr = linkframe::MacText(m->mac, text);
          break;
        }
    }
  }
  if (registers) registers->WriteConfig(file);
}

bool IoMapping::WriteMapping(ParaFile& file, bool withModules, bool mainFile) {
  LogMessage(LOG_IO_FILES, "WriteMapping");
  WriteToFile(file, withModules, mainFile);
  return file.Write();
}

IoMapping& GetIoMapping() {
  static IoMapping mapping;
  return mapping;
}
