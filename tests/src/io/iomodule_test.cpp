#include "io/iomodule.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace {

struct ModelCase {
  int code;
  const char* word;
  int pins;
};
const ModelCase kModels[] = {{MODEL_KORRIN, "Korrin", 40},   {MODEL_DWEMM, "Dwemm", 40},
                             {MODEL_SELVO, "Selvo", 40},     {MODEL_SELVO2, "Selvo2", 50},
                             {MODEL_TRELLEX1, "Trellex1", 20}, {MODEL_HANZET3, "Hanzet3", 30},
                             {MODEL_HANZET4, "Hanzet4", 40}};

// Every pin that can be an input has its own bit in the 24-bit input word,
// every output pin its own output bit, and nothing else has one: a wrong bit
// reads another switch or drives another relay.
TEST(IoModuleModels, EveryCapablePinHasItsOwnBitAndOthersNone) {
  for (const ModelCase& c : kModels) {
    SCOPED_TRACE(c.word);
    auto m = CreateModule(c.code);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->PinCount(), c.pins);
    auto* base = static_cast<IoModuleBase*>(m.get());
    std::set<int> inBits, outBits;
    for (int p = 0; p < m->PinCount(); ++p) {
      const bool in = m->NextFreeInput(p - 1) == p, out = m->NextFreeOutput(p - 1) == p;
      const int ib = m->InputBit(p), ob = m->OutputBit(p);
      EXPECT_EQ(ib >= 0, in) << "pin " << p;
      EXPECT_EQ(ob >= 0, out) << "pin " << p;
      if (in) {
        EXPECT_LT(ib, 24) << "pin " << p;
        EXPECT_TRUE(inBits.insert(ib).second) << "input bit " << ib << " twice, pin " << p;
      }
      if (out) {
        EXPECT_TRUE(outBits.insert(ob).second) << "output bit " << ob << " twice, pin " << p;
      }
      EXPECT_NE(m->PinName(p), "") << p;
      EXPECT_EQ(base->InputUse(p), 0);
    }
    EXPECT_FALSE(inBits.empty());
    EXPECT_FALSE(outBits.empty());
    EXPECT_EQ(m->InputBit(m->PinCount()), -1);
    EXPECT_EQ(m->OutputBit(-1), -1);
  }
}

// The special functions sit only on the pins the module's hardware has for
// them; an I/O extension and a handset take none of them.
TEST(IoModuleModels, SpecialFunctionsOnlyOnTheirPins) {
  struct Case {
    int code;
    int kind;
    bool input;
    std::set<int> allowed;  // empty with `any`: every capable pin
    bool any;
    std::set<int> except;
  };
  const Case cases[] = {
      {MODEL_KORRIN, kPinKindEmergencyStop, true, {11}, false, {}},
      {MODEL_KORRIN, kPinKindPwm, false, {1, 17, 37}, false, {}},
      {MODEL_KORRIN, kPinKindChargePump, false, {}, true, {}},
      {MODEL_DWEMM, kPinKindPwm, false, {1, 17}, false, {}},
      {MODEL_SELVO, kPinKindPwm, false, {17}, false, {}},
      {MODEL_SELVO, kPinKindChargePump, false, {16}, false, {}},
      {MODEL_SELVO2, kPinKindEmergencyStop, true, {20}, false, {}},
      {MODEL_SELVO2, kPinKindPwm, false, {9, 17}, false, {}},
      {MODEL_SELVO2, kPinKindChargePump, false, {}, true, {17}},
      {MODEL_TRELLEX1, kPinKindEmergencyStop, true, {}, false, {}},
      {MODEL_TRELLEX1, kPinKindPwm, false, {}, false, {}},
      {MODEL_HANZET4, kPinKindChargePump, false, {}, false, {}},
  };
  for (const Case& c : cases) {
    auto m = CreateModule(c.code);
    SCOPED_TRACE(std::string(m->ModelWord()) + " kind " + std::to_string(c.kind));
    for (int p = 0; p < m->PinCount(); ++p) {
      const bool capable = c.input ? m->InputBit(p) >= 0 : m->OutputBit(p) >= 0;
      const bool expect = c.any ? capable && !c.except.count(p) : c.allowed.count(p) > 0;
      EXPECT_EQ(c.input ? m->InputAllowed(c.kind, p) : m->OutputAllowed(c.kind, p), expect) << "pin " << p;
      // Plain kinds go on any capable pin.
      EXPECT_EQ(c.input ? m->InputAllowed(2, p) : m->OutputAllowed(3, p), capable) << "pin " << p;
    }
  }
}

// A pin that can be both (Korrin 22-29) serves either inputs or one output;
// shared inputs need as many releases as assignments.
TEST(IoModuleModels, PinsServeEitherInputsOrOneOutput) {
  KorrinModule k;
  EXPECT_TRUE(k.AssignInput(22));
  EXPECT_TRUE(k.AssignInput(22)) << "two input signals may share a pin";
  EXPECT_FALSE(k.AssignOutput(22));
  EXPECT_EQ(k.NextFreeOutput(21), 23);
  k.ReleaseInput(22);
  EXPECT_FALSE(k.AssignOutput(22)) << "one input still uses it";
  k.ReleaseInput(22);
  EXPECT_TRUE(k.AssignOutput(22));
  EXPECT_FALSE(k.AssignOutput(22)) << "an output pin belongs to one signal";
  EXPECT_FALSE(k.AssignInput(22));
  EXPECT_EQ(k.NextFreeInput(21), 23);
  k.ReleaseOutput(22);
  EXPECT_TRUE(k.AssignInput(22));
  k.ReleaseInput(22);
  k.ReleaseInput(22);  // one release too many changes nothing
  EXPECT_EQ(k.InputUse(22), 0);

  // Output-only and input-only pins come back only where they belong.
  EXPECT_TRUE(k.AssignOutput(1));
  k.ReleaseOutput(1);
  EXPECT_EQ(k.NextFreeInput(0), 10) << "pin 1 is no input";
  EXPECT_TRUE(k.AssignInput(11));
  k.ReleaseInput(11);
  EXPECT_FALSE(k.AssignOutput(11)) << "pin 11 is no output";
  EXPECT_FALSE(k.AssignInput(40));
  EXPECT_FALSE(k.AssignOutput(-1));
}

TEST(IoModuleModels, ModelFromIdentification) {
  struct Case {
    const char* name;
    const char* hw;
    const char* sw;
    int machineType;
    int code;
    const char* required;
  };
  const Case cases[] = {
      {"Korrin Quorvane", "Hw V1.0", "Sw V1.35", 0, MODEL_KORRIN, "1.35"},
      {"Korrin Quorvane", "Hw V1.0", "Sw V1.34", 0, MODEL_OBSOLETE, "1.35"},
      {"Korrin Quorvane", "Hw V1.0", "Sw V1.32", 0, MODEL_KORRIN, "1.35"},  // exactly 1.32 passes a mill
      {"Korrin Quorvane", "Hw V1.0", "Sw V1.32", kMachineTypeLaser, MODEL_OBSOLETE, "1.34"},
      {"Korrin QV-OEM", "Hw V1.0", "Sw V1.34", kMachineTypeVoiceCoil, MODEL_KORRIN, "1.34"},
      {"Korrin+THC QV-Plasma", "Hw V1.0", "Sw V1.40", 0, MODEL_KORRIN, "1.35"},
      {"Selvo Quorvane", "Hw V1.10", "Sw V1.35", 0, MODEL_OBSOLETE, "1.40"},
      {"Trellex1 Quorvane", "Hw V1.10", "Sw V1.35", 0, MODEL_OBSOLETE, "1.40"},  // new hardware: every model
      {"Selvo Quorvane", "Hw V1.10", "Sw V1.40", 0, MODEL_SELVO, "1.40"},
      {"Vorthal Quorvane", "Hw V1.0", "Sw V1.36", 0, MODEL_VORTHAL, "1.35"},
      {"Selvo2 QV-Knife", "Hw V1.0", "Sw V1.34", kMachineTypeKnife, MODEL_SELVO2, "1.34"},
      {"Selvo2 Quorvane", "Hw V1.0", "Sw V1.34", kMachineTypeKnife, MODEL_OBSOLETE, "1.35"},  // first row only
      {"Hanzet3 Quorvane", "Hw V1.0", "Sw V1.34", 0, MODEL_HANZET3, "1.34"},
      {"Hanzet4 QV-Pendant", "Hw V1.0", "Sw V1.33", 0, MODEL_OBSOLETE, "1.34"},
      {"Dwemm Quorvane", "Hw V1.0", "Sw V1.35", 0, MODEL_DWEMM, "1.35"},
      {"Trellex1 QV-IO", "Hw V1.0", "Sw V1.34", 0, MODEL_TRELLEX1, "1.34"},
      {"Korrin Other", "Hw V1.0", "Sw V1.40", 0, MODEL_UNKNOWN, ""},
      {"Quorvane soft module", "Hw V1.0", "Sw V1.40", 0, MODEL_UNKNOWN, ""},
  };
  for (const Case& c : cases) {
    const FirmwareCheck f = CheckFirmware(c.name, c.hw, c.sw, c.machineType);
    EXPECT_EQ(f.code, c.code) << c.name << " " << c.hw << " " << c.sw << " type " << c.machineType;
    EXPECT_EQ(f.required, c.required) << c.name << " " << c.sw;
  }
  const FirmwareCheck old = CheckFirmware("Selvo Quorvane", "Hw V1.10", "Sw V1.35", 0);
  EXPECT_EQ(FirmwareMessage(old),
            "This module has an obsolete Firmware version\nPlease perform an update, first.\n"
            "Required version: 1.40\nCurrent version: 1.35");
  EXPECT_EQ(FirmwareMessage(CheckFirmware("Nobody", "", "", 0)), "unknown module");

  auto thc = CreateModuleByName("Korrin+THC QV-Plasma");
  auto plain = CreateModuleByName("Korrin");
  ASSERT_TRUE(thc && plain);
  EXPECT_TRUE(thc->HasThc());
  EXPECT_FALSE(plain->HasThc());
  EXPECT_EQ(plain->name, "Korrin Quorvane");
  EXPECT_EQ(CreateModuleByName("Vorthal")->ModelWord(), std::string("Vorthal"));
  EXPECT_FALSE(CreateModuleByName("Quorvane soft module"));
}

}  // namespace
