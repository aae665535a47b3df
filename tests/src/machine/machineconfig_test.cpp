#include "machine/machineconfig.h"

#include <tuple>

#include "common/paramfolder.h"

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

std::vector<std::string> g_hookCalls;
void RecordingStore(ParaFile& file, int row, const std::string& prefix, bool write) {
  g_hookCalls.push_back(prefix + (write ? " write" : " read") + std::to_string(row));
  if (write) file.SetInt(prefix + "Marker", row);
}

class MachineConfigTest : public testsupport::ParamFolderTest {
 protected:
  // Saves c into a new file name and writes it.
  void SaveAs(const MachineConfig& c, const std::string& name) {
    ParaFile f;
    f.Open(name);
    c.Save(f);
    ASSERT_TRUE(f.Write());
  }
  // The table's own keys only: the owner of the transformations may have
  // plugged in its store.
  struct NoStore {
    TransformationStore previous = SetTransformationStore(nullptr);
    ~NoStore() { SetTransformationStore(previous); }
  } noStore;
};

}  // namespace

// Every key is written once and read back; every line of the file is a key.
TEST_F(MachineConfigTest, RoundTripsAllKeys) {
  MachineConfig c, back;
  Scrambler s;
  c.VisitKeys(s);
  c.VisitOffsets(s);
  SaveAs(c, "A.txt");
  ParaFile f;
  ASSERT_TRUE(f.Open("A.txt"));
  EXPECT_EQ(back.Load(f), static_cast<int>(f.GetLineCount()));
  SaveAs(back, "B.txt");
  EXPECT_EQ(Read("B.txt"), Read("A.txt"));
}

// The delivered default set reads back and writes out unchanged.
TEST_F(MachineConfigTest, DeliveredDefaultsRoundTrip) {
  ParaFile in;
  ASSERT_TRUE(in.OpenExisting(delivered + "ParameterTable.txt"));
  MachineConfig c;
  EXPECT_EQ(c.Load(in), static_cast<int>(in.GetLineCount()));
  SaveAs(c, "Fresh.txt");
  EXPECT_EQ(Read("Fresh.txt"), testsupport::ReadFile(delivered + "ParameterTable.txt"));
}

TEST_F(MachineConfigTest, MissingKeysKeepDefaults) {
  ParaFile f;
  OpenWith(f, "ParameterTable.txt", "MaxVelocity_01=33.5\nDisplayF=0\nLanguage=de\n");
  MachineConfig c, d;
  EXPECT_EQ(c.Load(f), 3);
  EXPECT_EQ(std::tuple(c.axis[1].maxVelocity, c.axis[0].maxVelocity, c.displayF, c.language, c.maxS),
            std::tuple(33.5, d.axis[0].maxVelocity, false, "de", d.maxS));
}

TEST_F(MachineConfigTest, OffsetsAreWrittenInOrderWithTransformationsAndParkPosition) {
  SetTransformationStore(RecordingStore);
  g_hookCalls.clear();
  MachineConfig c, back;
  c.offsets[kOffsetRowG92][0] = 1.5;
  c.parkPos[2] = -5.0;
  ParaFile f;
  f.Open("Offsets.txt");
  c.WriteOffsets(f);
  ASSERT_EQ(f.GetLineCount(), 60u + 9u + 6u + 9u + 1u);
  const std::pair<size_t, const char*> order[] = {
      {0, "CommentG54="},       {1, "OffsetG54_00=0.0"}, {10, "CommentG55="}, {59, "OffsetG59_08=0.0"},
      {60, "OffsetG92_00=1.5"}, {69, "G54Marker=0"},     {74, "G59Marker=5"}, {77, "ParkPos_02=-5.0"},
      {84, "SafeZLevel=10.0"}};
  for (const auto& [at, line] : order) EXPECT_EQ(f.GetLine(at).utf8_string(), line) << at;
  back.Load(f);
  EXPECT_EQ(std::tuple(back.offsets[kOffsetRowG92][0], back.parkPos[2]), std::tuple(1.5, -5.0));
  EXPECT_EQ(g_hookCalls.size(), 12u);
  EXPECT_EQ(g_hookCalls.back(), "G59 read5");
}
