#include "machineconfig.h"

#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "parafile.h"
#include "paramfolder.h"
#include "testsupport.h"

namespace {

// Gives every key a value different from its default and from every other key.
struct Scrambler {
  int n = 0;
  void Double(const char*, double& v) { v = ++n * 1.125 + 0.000000001; }
  void Int(const char*, int& v) { v = -(++n); }
  void Bool(const char*, bool& v) { v = !v; }
  void String(const char*, std::string& v) { v = "text " + std::to_string(++n) + "\nsecond line"; }
  void Double(const char* k, int, double& v) { Double(k, v); }
  void Int(const char* k, int, int& v) { Int(k, v); }
  void Bool(const char* k, int, bool& v) { Bool(k, v); }
};

// Flattens a configuration into key=value texts.
struct Collector {
  std::vector<std::string> out;
  void Add(const char* k, int i, const std::string& v) {
    out.push_back(std::string(k) + "#" + std::to_string(i) + "=" + v);
  }
  void Double(const char* k, double& v) { Add(k, -1, ParaFile::FormatNumber(v)); }
  void Int(const char* k, int& v) { Add(k, -1, std::to_string(v)); }
  void Bool(const char* k, bool& v) { Add(k, -1, v ? "1" : "0"); }
  void String(const char* k, std::string& v) { Add(k, -1, v); }
  void Double(const char* k, int i, double& v) { Add(k, i, ParaFile::FormatNumber(v)); }
  void Int(const char* k, int i, int& v) { Add(k, i, std::to_string(v)); }
  void Bool(const char* k, int i, bool& v) { Add(k, i, v ? "1" : "0"); }
};

std::vector<std::string> Flatten(MachineConfig& c) {
  Collector col;
  c.VisitKeys(col);
  c.VisitOffsets(col);
  return col.out;
}

std::vector<std::string> g_hookCalls;
void RecordingStore(ParaFile& file, int row, const std::string& prefix, bool write) {
  g_hookCalls.push_back(prefix + (write ? " write" : " read") + std::to_string(row));
  if (write) file.SetInt(prefix + "Marker", row);
}

// The keys of a file's lines, in order.
std::vector<std::string> KeysOf(ParaFile& f) {
  std::vector<std::string> keys;
  for (size_t i = 0; i < f.GetLineCount(); ++i) {
    const std::string line = f.GetLine(i).utf8_string();
    keys.push_back(line.substr(0, line.find('=')));
  }
  return keys;
}

class MachineConfigTest : public testsupport::ParamFolderTest {
 protected:
  // The table's own keys only: the owner of the transformations may have
  // plugged in its store.
  void SetUp() override {
    ParamFolderTest::SetUp();
    store = SetTransformationStore(nullptr);
  }
  void TearDown() override {
    SetTransformationStore(store);
    ParamFolderTest::TearDown();
  }
  TransformationStore store = nullptr;
};

constexpr int kLines = 15 * 9 + 5 + 5 + 3 + 3 + 5 * 9 + 2 * 9 + 50 + 33 + 43 + 9 + 7 * 9 + 6;

}  // namespace

TEST_F(MachineConfigTest, WritesEveryKeyOnce) {
  MachineConfig c;
  ParaFile f;
  f.Open("ParameterTable.txt");
  c.Save(f);
  ASSERT_EQ(static_cast<int>(f.GetLineCount()), kLines);
  std::set<std::string> keys, names;
  for (const std::string& key : KeysOf(f)) {
    EXPECT_TRUE(keys.insert(key).second) << "duplicate " << key;
    const size_t us = key.rfind('_');
    names.insert(us != std::string::npos && us + 3 == key.size() ? key.substr(0, us) : key);
  }
  EXPECT_EQ(names.size(), 174u);
  for (const char* k : {"Resolution_08", "ParkPos_08", "JogSpeed_04", "JogStep_00", "AtcKeepoutMin_02",
                        "AtcKeepoutMax_00", "HomeSwitchMode_05", "SignalType_08", "MaintDsiplayPdf",
                        "ignoreZPreview", "WheelLinSpeed1v", "WheelLinSpeed1", "OffsetG92_08", "OffsetG59_00",
                        "CommentG54", "CommentG59", "AppName", "LubePulsSecs", "MistNozzles"})
    EXPECT_EQ(keys.count(k), 1u) << k;
  for (const char* k : {"CommentG92", "JogSpeed_05", "AtcKeepoutMin_03"}) EXPECT_EQ(keys.count(k), 0u) << k;
  f.Discard();
}

TEST_F(MachineConfigTest, RoundTripsAllKeys) {
  MachineConfig c;
  Scrambler s;
  c.VisitKeys(s);
  c.VisitOffsets(s);
  {
    ParaFile f;
    f.Open("ParameterTable.txt");
    c.Save(f);
    ASSERT_TRUE(f.Write());
  }
  ParaFile g;
  ASSERT_TRUE(g.Open("ParameterTable.txt"));
  MachineConfig back;
  EXPECT_EQ(back.Load(g), kLines);
  EXPECT_EQ(Flatten(back), Flatten(c));
  EXPECT_NE(Flatten(back), Flatten(*std::make_unique<MachineConfig>()));
}

TEST_F(MachineConfigTest, MissingKeysKeepDefaults) {
  Write("ParameterTable.txt", "MaxVelocity_01=33.5\nDisplayF=0\nLanguage=de\n");
  ParaFile f;
  ASSERT_TRUE(f.Open("ParameterTable.txt"));
  MachineConfig c;
  EXPECT_EQ(c.Load(f), 3);
  EXPECT_EQ(c.axis[1].maxVelocity, 33.5);
  EXPECT_EQ(c.axis[0].maxVelocity, MachineConfig().axis[0].maxVelocity);
  EXPECT_FALSE(c.displayF);
  EXPECT_EQ(c.language, "de");
  EXPECT_EQ(c.maxS, MachineConfig().maxS);
}

TEST_F(MachineConfigTest, OffsetsAreWrittenInOrderWithTransformationsAndParkPosition) {
  SetTransformationStore(RecordingStore);
  g_hookCalls.clear();
  MachineConfig c;
  c.offsets[kOffsetRowG92][0] = 1.5;
  c.parkPos[2] = -5.0;
  ParaFile f;
  f.Open("Offsets.txt");
  c.WriteOffsets(f);
  const std::vector<std::string> keys = KeysOf(f);
  ASSERT_EQ(keys.size(), 60u + 9u + 6u + 9u + 1u);
  const std::pair<size_t, const char*> order[] = {{0, "CommentG54"},    {1, "OffsetG54_00"}, {10, "CommentG55"},
                                                  {59, "OffsetG59_08"}, {60, "OffsetG92_00"}, {69, "G54Marker"},
                                                  {74, "G59Marker"},    {75, "ParkPos_00"},  {84, "SafeZLevel"}};
  for (const auto& [at, key] : order) EXPECT_EQ(keys[at], key) << at;
  EXPECT_EQ(f.GetLine(60).utf8_string(), "OffsetG92_00=1.5");
  MachineConfig back;
  back.Load(f);
  EXPECT_EQ(back.offsets[kOffsetRowG92][0], 1.5);
  EXPECT_EQ(back.parkPos[2], -5.0);
  EXPECT_EQ(g_hookCalls.size(), 12u);
  EXPECT_EQ(g_hookCalls.back(), "G59 read5");
  f.Discard();
}

// The delivered default set reads back and writes out unchanged.
TEST_F(MachineConfigTest, DeliveredDefaultsRoundTrip) {
  std::string src = __FILE__;
  src = src.substr(0, src.rfind("/tests/")) + "/examples/params/ParameterTable.txt";
  const std::string original = testsupport::ReadFile(src);
  ASSERT_FALSE(original.empty()) << src;
  ParaFile in;
  ASSERT_TRUE(in.OpenExisting(src));
  MachineConfig c;
  EXPECT_EQ(c.Load(in), kLines);
  ParaFile out;
  out.Open("Fresh.txt");
  c.Save(out);
  ASSERT_TRUE(out.Write());
  EXPECT_EQ(Read("Fresh.txt"), original);
}
