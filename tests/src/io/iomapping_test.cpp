#include "io/iomapping.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "common/testsupport.h"
#include "io/machineio.h"
#include "program/errors.h"
#include "machine/machineconfig.h"
#include "params/parafile.h"

namespace {

// Registers of one device 0x12: every register number below 100 exists.
class FakeRegisters : public NetworkRegisters {
 public:
  bool AcceptsRegister(int32_t pin, bool) override {
    const uint32_t v = static_cast<uint32_t>(-static_cast<int64_t>(pin));
    return ((v >> 16) & 0xFF) == 0x12 && (v & 0xFFFF) < 100;
  }
  std::string RegisterText(int32_t pin) const override { return "reg" + std::to_string(pin); }
  bool RegisterActive(int32_t) const override { return false; }
  void WriteConfig(ParaFile& file) override { file.SetInt("NumDevices", 1); }
};
int32_t Register(int reg) { return -((1 << 28) + (0x12 << 16) + reg); }

// A mapping with a Korrin (pins 0-39) and an I/O extension (pins 40-59),
// both open.
struct MappingTest : ::testing::Test {
  void SetUp() override {
    dir = testsupport::MakeTempDir("mapping");
    Equip(mapping);
  }
  void Equip(IoMapping& m) {
    AddOpen(m, MODEL_KORRIN, 1);
    AddOpen(m, MODEL_TRELLEX1, 2);
    m.SetRegisters(&registers);
  }
  static IoModule* AddOpen(IoMapping& m, int code, int n) {
    auto mod = CreateModule(code);
    mod->moduleKey = 0x56000000u + static_cast<uint32_t>(n);
    const uint8_t mac[6] = {2, 0x51, 0x56, 0, 0, static_cast<uint8_t>(n)};
    std::copy(mac, mac + 6, mod->mac);
    mod->macValid = true;
    mod->SetDisplayName(ModuleNameOf(mod->ModelWord()).c_str());
    return m.AddModule(std::move(mod));
  }
  // Opens (creating) a file in the test's folder with `content`.
  void Open(ParaFile& f, const std::string& name, const std::string& content) {
    if (!content.empty()) testsupport::WriteFile(dir + "/" + name, content);
    f.Open(dir + "/" + name);
  }
  // Every assignment in a stable text form.
  static std::string Dump(const IoMapping& m) {
    std::string out;
    for (int s = 0; s < kSignalCount; ++s) {
      if (const InputSignal* in = m.Input(s); in && (in->pin != 0 || s >= kFixedSignals))
        out += "in " + std::to_string(s) + " " + std::to_string(in->pin) + (in->invert ? " inv " : " ") + in->name +
               (in->hasRange ? " range " + std::to_string(in->minReg) + ".." + std::to_string(in->maxReg) : "") +
               "\n";
      if (const OutputSignal* o = m.Output(s); o && o->pins[0] != 0) {
        out += "out " + std::to_string(s);
        for (int k = 0; k < o->PinCount(); ++k) out += " " + std::to_string(o->pins[k]);
        out += " level " + std::to_string(o->safetyLevel) + " " + o->name + "\n";
      }
    }
    return out;
  }

  std::string dir;
  IoMapping mapping;
  FakeRegisters registers;
};

const std::string kTable =
    std::string() +
    "NumInputs=5\nNumOutputs=5\n"
    "inSignal_00=1\ninPin_00=11\ninName_00=emergency stop\ninHasRange_00=0\ninInvert_00=1\n"
    "inSignal_01=58\ninPin_01=49\ninName_01=front door\ninHasRange_01=0\ninInvert_01=0\n"
    "inSignal_02=130\ninPin_02=22\ninName_02=clamp pressure\ninHasRange_02=0\ninInvert_02=1\n"
    "inSignal_03=131\ninPin_03=22\ninName_03=same pin again\ninInvert_03=0\n"
    "inSignal_04=80\ninPin_04=" + std::to_string(Register(7)) + "\ninName_04=VFD load\ninHasRange_04=1\n"
    "inMinReg_04=0\ninMaxReg_04=4000\ninMinVal_04=0.0\ninMaxVal_04=100.5\n"
    "outSignal_00=1\noutPin_00=21\noutName_00=servo enable\noutHasRange_00=0\noutSafetyLevel_00=0\n"
    "outSignal_01=1\noutPin_01=41\noutName_01=servo enable\noutHasRange_01=0\noutSafetyLevel_01=0\n"
    "outSignal_02=7\noutPin_02=23\noutName_02=mist\noutHasRange_02=0\noutSafetyLevel_02=1\n"
    "outSignal_03=5\noutPin_03=17\noutName_03=PWM output\noutHasRange_03=0\n"
    "outSignal_04=300\noutPin_04=42\noutName_04=beacon\noutHasRange_04=0\noutSafetyLevel_04=0\n"
    "moduleNum=2\nmoduleAdr_00=02:51:56:00:00:01\nmoduleAdr_01=02:51:56:00:00:02\n";

// Read, change, write, read back: the second mapping equals the changed
// first one, the file keeps every field of every entry.
TEST_F(MappingTest, RoundTripKeepsEveryEntry) {
  ParaFile in;
  Open(in, "MappingTable.txt", kTable);
  const MappingReadReport r = mapping.ReadMapping(in);
  EXPECT_TRUE(r.skipped.empty()) << r.skipped.front();
  EXPECT_EQ(r.inputs, 5);
  EXPECT_EQ(r.outputs, 5);
  EXPECT_EQ(mapping.Output(1)->modules[1], mapping.Module(1));
  EXPECT_EQ(mapping.PinText(49), "Trellex1 Quorvane #56000002 Input Pin1") << "pin 49 is the extension's pin 9";

  // The operator's changes: one more pin on servo enable, a renamed input,
  // the door switch moved, a new output signal, the PWM's pin removed.
  std::string name = "rear door";
  mapping.RemoveInput(58);
  ASSERT_TRUE(mapping.AssignInput(58, 50, false, &name));
  ASSERT_TRUE(mapping.AssignOutput(1, 24));
  ASSERT_TRUE(mapping.AssignOutput(200, 25));
  mapping.RemoveOutputPin(5, 17);
  const std::string changed = Dump(mapping);

  ParaFile out;
  Open(out, "Written.txt", "");
  ASSERT_TRUE(mapping.WriteMapping(out, true));
  IoMapping again;
  Equip(again);
  ParaFile back;
  Open(back, "Written.txt", "");
  const MappingReadReport r2 = again.ReadMapping(back);
  EXPECT_TRUE(r2.skipped.empty()) << r2.skipped.front();
  EXPECT_EQ(Dump(again), changed);
  EXPECT_EQ(again.Input(80)->maxVal, 100.5);
  EXPECT_EQ(again.Input(131)->name, "same pin again");
  // Written again from the copy: the same file, byte for byte.
  ParaFile second;
  Open(second, "Second.txt", "");
  ASSERT_TRUE(again.WriteMapping(second, true));
  EXPECT_EQ(testsupport::ReadFile(dir + "/Second.txt"), testsupport::ReadFile(dir + "/Written.txt"));
  std::string v;
  EXPECT_TRUE(back.GetValue("moduleAdr_01", v));
  EXPECT_EQ(v, "02:51:56:00:00:02");
  EXPECT_TRUE(back.GetValue("NumDevices", v)) << "the register configuration is written with it";
}

// Broken entries are reported and skipped; the others all take effect.
TEST_F(MappingTest, BrokenEntriesAreSkippedAndTheRestKept) {
  const std::string table =
      "NumInputs=7\nNumOutputs=4\n"
      "inSignal_00=1\ninPin_00=11\ninName_00=emergency stop\ninInvert_00=1\n"
      "inSignal_01=2\ninName_01=alarm 1\ninInvert_01=0\n"                              // no Pin
      "inSignal_02=3\ninPin_02=12\ninName_02=alarm 2\n"                                // no Invert
      "inSignal_03=5000\ninPin_03=13\ninName_03=too high\ninInvert_03=0\n"             // signal out of range
      "inSignal_04=4\ninPin_04=1\ninName_04=probe\ninInvert_04=0\n"                    // pin 1 is no input
      "inSignal_05=6\ninPin_05=" + std::to_string(Register(7)) + "\ninName_05=r\ninHasRange_05=1\ninMinReg_05=0\n"
      "inSignal_06=9\ninPin_06=13\ninName_06=3D probe\ninInvert_06=0\n"
      "outSignal_00=3\noutPin_00=14\noutName_00=spindle\n"
      "outSignal_01=3\noutPin_01=14\noutName_01=spindle\n"                              // same pin twice
      "outSignal_02=5\noutPin_02=999\noutName_02=PWM output\n"                          // no module there
      "outSignal_03=8\noutPin_03=16\noutName_03=flood\n";
  ParaFile f;
  Open(f, "MappingTable.txt", table);
  const MappingReadReport r = mapping.ReadMapping(f);
  EXPECT_EQ(r.inputs, 2);
  EXPECT_EQ(r.outputs, 2);
  const std::set<std::string> skipped(r.skipped.begin(), r.skipped.end());
  const std::set<std::string> expected = {
      "input entry 1: no Pin",
      "input entry 2: no Invert",
      "input entry 3: signal 5000 out of range",
      "input entry 4: Korrin Quorvane #56000001 Lpt1 pin1 refused for signal 4",
      "input entry 5: ranged without MinReg, MaxReg, MinVal and MaxVal",
      "output entry 1: Korrin Quorvane #56000001 Lpt1 pin14 refused for signal 3",
      "output entry 2: pin 999 (no module) refused for signal 5",
  };
  EXPECT_EQ(skipped, expected);
  EXPECT_EQ(Dump(mapping),
            "in 1 11 inv emergency stop\nout 3 14 level 0 spindle\nout 8 16 level 0 flood\nin 9 13 3D probe\n");
}

// Read while the modules are missing (a machine switched off), the mapping
// is written back as it was read: nothing of the operator's wiring is lost.
TEST_F(MappingTest, WithoutModulesTheEntriesAreWrittenBackAsRead) {
  IoMapping offline;
  ParaFile f;
  Open(f, "MappingTable.txt", kTable);
  const MappingReadReport r = offline.ReadMapping(f);
  EXPECT_EQ(r.inputs, 0);
  EXPECT_EQ(r.skipped.size(), 10u);
  ParaFile out;
  Open(out, "Offline.txt", "");
  ASSERT_TRUE(offline.WriteMapping(out, true));
  // Read into the mapping that has its modules: the same as the original.
  ParaFile orig;
  Open(orig, "Orig.txt", kTable);
  mapping.ReadMapping(orig);
  const std::string expected = Dump(mapping);
  IoMapping online;
  Equip(online);
  ParaFile back;
  Open(back, "Offline.txt", "");
  online.ReadMapping(back);
  // The ranged register entry is not kept offline (registers come with the
  // network devices); everything else is.
  std::string withoutRange = expected;
  withoutRange.erase(withoutRange.find("in 80 "), withoutRange.find('\n', withoutRange.find("in 80 ")) -
                                                      withoutRange.find("in 80 ") + 1);
  EXPECT_EQ(Dump(online), withoutRange);
}

TEST_F(MappingTest, KeepExistingAddsOnTopAndWithoutItDefaultsReturn) {
  ParaFile f;
  Open(f, "MappingTable.txt", kTable);
  mapping.ReadMapping(f);
  ParaFile top;
  Open(top, "Top.txt",
       "KeepExisting=1\nNumInputs=0\nNumOutputs=1\n"
       "outSignal_00=1\noutPin_00=36\noutName_00=servo enable\noutSafetyLevel_00=1\n");
  mapping.ReadMapping(top);
  EXPECT_EQ(mapping.Output(1)->PinCount(), 1) << "the output's earlier pins were removed first";
  EXPECT_EQ(mapping.Output(1)->pins[0], 36);
  EXPECT_EQ(mapping.Output(1)->safetyLevel, 1);
  EXPECT_EQ(mapping.Input(58)->pin, 49) << "inputs not in the file stay";
  EXPECT_EQ(mapping.Output(300)->pins[0], 42);

  ParaFile fresh;
  Open(fresh, "Fresh.txt", "NumInputs=0\nNumOutputs=0\n");
  mapping.ReadMapping(fresh);
  EXPECT_EQ(Dump(mapping), "");
  EXPECT_EQ(mapping.Input(58)->name, "safety door open 1");
  EXPECT_TRUE(mapping.Input(1)->invert);
  EXPECT_FALSE(mapping.Input(300));
  // Every pin was given back to its module.
  EXPECT_TRUE(mapping.AssignOutput(9, 22));
  EXPECT_TRUE(mapping.AssignOutput(10, 21));
}

TEST_F(MappingTest, AssignmentRules) {
  EXPECT_TRUE(mapping.AssignInput(20, 12, false));
  EXPECT_FALSE(mapping.AssignInput(20, 13, false)) << "one pin per input signal";
  EXPECT_TRUE(mapping.AssignInput(21, 12, false)) << "one pin for two input signals";
  EXPECT_FALSE(mapping.AssignInput(2048, 13, false));
  EXPECT_FALSE(mapping.AssignInput(-1, 13, false));
  EXPECT_FALSE(mapping.AssignInput(22, Register(200), false)) << "register unknown to the network part";

  for (int pin : {1, 14, 16, 21, 22, 23, 24, 25, 26, 27}) EXPECT_TRUE(mapping.AssignOutput(3, pin)) << pin;
  EXPECT_FALSE(mapping.AssignOutput(3, 28)) << "ten pins at most";
  EXPECT_TRUE(mapping.AssignOutput(5, 17));
  EXPECT_FALSE(mapping.AssignOutput(5, 37)) << "the PWM output has one pin";
  EXPECT_TRUE(mapping.AssignRangedOutput(150, Register(3), 0, 10, 0, 1000));
  EXPECT_FALSE(mapping.AssignOutput(150, 41)) << "a ranged output keeps its one register";

  mapping.RemoveOutputPin(3, 16);
  EXPECT_EQ(mapping.Output(3)->pins[2], 21) << "the gap is closed";
  EXPECT_EQ(mapping.Output(3)->PinCount(), 9);
  ASSERT_TRUE(mapping.AssignOutput(100, 41));
  mapping.RemoveOutputPin(100, 41);
  EXPECT_FALSE(mapping.Output(100)) << "a signal above 99 goes with its last pin";
  ASSERT_TRUE(mapping.AssignOutput(27, 41));
  mapping.RemoveOutputPin(27, 41);
  ASSERT_TRUE(mapping.Output(27));
  EXPECT_EQ(mapping.Output(27)->name, "homing completed");
  EXPECT_TRUE(mapping.AssignInput(101, 41, false)) << "pin 41 is free again";

  // A pin of a module that is not open is no pin.
  mapping.Module(1)->moduleKey = 0;
  EXPECT_FALSE(mapping.AssignInput(102, 42, false));
  mapping.Module(1)->moduleKey = 0x56000002;
}

TEST_F(MappingTest, InputStatesFollowTheModuleWordAndInversion) {
  std::string none;
  ASSERT_TRUE(mapping.AssignInput(SIG_IN_EMERGENCY_STOP, 11, true));  // Korrin bit 1
  ASSERT_TRUE(mapping.AssignInput(SIG_IN_DOOR_OPEN1, 49, false));     // extension input 9: bit 8
  IoModule* k = mapping.Module(0);
  IoModule* x = mapping.Module(1);
  k->inputWord = 0x000002;
  x->inputWord = 0;
  EXPECT_FALSE(mapping.InputActive(SIG_IN_EMERGENCY_STOP)) << "closed contact: released";
  EXPECT_FALSE(mapping.InputActive(SIG_IN_DOOR_OPEN1));
  k->inputWord = 0;
  x->inputWord = 0x100;
  EXPECT_TRUE(mapping.InputActive(SIG_IN_EMERGENCY_STOP)) << "open contact (broken wire too): pressed";
  EXPECT_TRUE(mapping.InputActive(SIG_IN_DOOR_OPEN1));
  EXPECT_FALSE(mapping.InputActive(SIG_IN_ALARM1)) << "unmapped";
}

TEST_F(MappingTest, EmptyMappingIsReportedWhenSaved) {
  testsupport::AssertionCapture capture;
  IoMapping empty;
  ParaFile f;
  Open(f, "Empty.txt", "");
  empty.WriteMapping(f, false);
  EXPECT_TRUE(capture.Saw("Trying to save empty IO-mapping"));
}

TEST_F(MappingTest, HandsetGetsItsDefaultSignals) {
  IoMapping m;
  IoModule* k = AddOpen(m, MODEL_KORRIN, 1);
  IoModule* h = AddOpen(m, MODEL_HANZET3, 3);
  (void)k;
  m.AssignHandsetDefaults(*h);
  EXPECT_EQ(m.Input(69)->pin, 40 + 10);
  EXPECT_EQ(m.Input(69)->name, "handwheel exhaust button");
  EXPECT_EQ(m.Output(74)->pins[0], 40 + 27);
  EXPECT_EQ(m.Input(72)->pin, 0) << "the 30-pin handset has no axis buttons";
}

// The operator reads the integrator's names in the stop reasons.
TEST_F(MappingTest, StopReasonsNameTheConfiguredInputs) {
  IoMapping& global = GetIoMapping();
  Equip(global);
  const std::string coolant = "coolant pressure", limit = "X right end";
  ASSERT_TRUE(global.AssignInput(SIG_IN_ALARM2, 12, false, &coolant));
  ASSERT_TRUE(global.AssignInput(SIG_IN_LIMIT_PLUS, 13, false, &limit));  // Korrin bit 3
  const ErrorTextNames before = SetErrorTextNames(ErrorTextNames());
  SetErrorTextNames(before);
  InstallErrorTextNames();
  EXPECT_EQ(ErrorText(Error_t{-104, 0}), "Alarm triggered: coolant pressure");
  EXPECT_EQ(ErrorText(Error_t{-103, 0}), "alarm input #1 triggered") << "not wired";
  EXPECT_EQ(ErrorText(Error_t{-102, 0}), "limit or home switch triggered");
  global.Module(0)->inputWord = 1u << 3;
  EXPECT_EQ(ErrorText(Error_t{-102, 0}), "X right end: limit or home switch triggered");
  SetErrorTextNames(before);
  global.Clear();
  global.CreateFixedSignals();
  global.RemoveAllModules();
}

}  // namespace
