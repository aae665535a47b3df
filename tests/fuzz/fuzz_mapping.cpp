// Reads arbitrary bytes as "MappingTable.txt" into a mapping with two open
// modules and network registers, writes it and reads the written file back.
// Broken entries must be skipped without a crash, a hang or a leak, and the
// entries that took effect must come back unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <unistd.h>

#include "io/iomapping.h"
#include "params/parafile.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

// Registers of device 0x12 below 100 exist.
class Registers : public NetworkRegisters {
 public:
  bool AcceptsRegister(int32_t pin, bool) override {
    const uint32_t v = static_cast<uint32_t>(-static_cast<int64_t>(pin));
    return ((v >> 16) & 0xFF) == 0x12 && (v & 0xFFFF) < 100;
  }
  std::string RegisterText(int32_t pin) const override { return std::to_string(pin); }
  bool RegisterActive(int32_t) const override { return false; }
  void WriteConfig(ParaFile&) override {}
};

void Equip(IoMapping& m, Registers& r) {
  for (int code : {MODEL_KORRIN, MODEL_TRELLEX1}) {
    auto mod = CreateModule(code);
    mod->moduleKey = static_cast<uint32_t>(code);
    m.AddModule(std::move(mod));
  }
  m.SetRegisters(&r);
}

// The assignments that took effect.
std::string Dump(const IoMapping& m, bool& anyIn, bool& anyOut) {
  std::string out;
  anyIn = anyOut = false;
  for (int s = 0; s < kSignalCount; ++s) {
    if (const InputSignal* in = m.Input(s); in && in->pin != 0) {
      anyIn = true;
      out += "i" + std::to_string(s) + " " + std::to_string(in->pin) + " " + std::to_string(in->invert) + " " +
             std::to_string(in->hasRange) + " " + in->name + "\n";
    }
    if (const OutputSignal* o = m.Output(s); o && o->pins[0] != 0) {
      anyOut = true;
      out += "o" + std::to_string(s) + " " + std::to_string(o->safetyLevel) + " " + o->name;
      for (int k = 0; k < o->PinCount(); ++k) out += " " + std::to_string(o->pins[k]);
      out += "\n";
    }
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzsupport::QuietOnce(true);
  const std::string& dir = fuzzsupport::ScratchDir("mapping");
  const std::string in = dir + "/in.txt", out = dir + "/out.txt";
  {
    FILE* f = std::fopen(in.c_str(), "wb");
    if (!f) return 0;
    std::fwrite(data, 1, size, f);
    std::fclose(f);
  }
  std::remove(out.c_str());
  Registers registers;
  IoMapping first;
  Equip(first, registers);
  {
    ParaFile file;
    file.Open(in);
    first.ReadMapping(file);
    file.Discard();
  }
  bool anyIn = false, anyOut = false;
  const std::string before = Dump(first, anyIn, anyOut);
  {
    ParaFile file;
    file.Open(out);
    first.WriteMapping(file, true);
  }
  IoMapping second;
  Equip(second, registers);
  {
    ParaFile file;
    file.Open(out);
    second.ReadMapping(file);
    file.Discard();
  }
  bool in2 = false, out2 = false;
  const std::string after = Dump(second, in2, out2);
  // With entries of both kinds in effect the file holds exactly them.
  if (anyIn && anyOut && before != after) {
    std::fprintf(stderr, "round trip changed the mapping:\n%s----\n%s", before.c_str(), after.c_str());
    std::abort();
  }
  return 0;
}
