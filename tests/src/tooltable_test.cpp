#include "tooltable.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "folders.h"
#include "parafile.h"
#include "testsupport.h"

namespace {

ToolRecord Tool(int T, int P, const std::string& name = "") {
  ToolRecord r;
  r.numT = T;
  r.numP = P;
  r.name = name;
  return r;
}

std::vector<std::pair<int, int>> Keys(const ToolTable& t) {
  std::vector<std::pair<int, int>> k;
  for (const ToolRecord& r : t.Records()) k.emplace_back(r.numT, r.numP);
  return k;
}

using KeyList = std::vector<std::pair<int, int>>;

}  // namespace

TEST(ToolTable, KeepsRecordsSortedByToolAndVariant) {
  ToolTable t;
  t.Insert(Tool(5, 2));
  t.Insert(Tool(1, 0));
  t.Insert(Tool(5, 1));
  t.Insert(Tool(3, 7));
  EXPECT_EQ(Keys(t), (KeyList{{1, 0}, {3, 7}, {5, 1}, {5, 2}}));
}

TEST(ToolTable, EqualKeysReplace) {
  ToolTable t;
  t.Insert(Tool(2, 1, "old"));
  t.Insert(Tool(2, 1, "new"));
  ASSERT_EQ(t.Count(), 1);
  EXPECT_EQ(t.At(0).name, "new");
}

TEST(ToolTable, AnyVariantReplacesEveryVariantOfItsTool) {
  ToolTable t;
  t.Insert(Tool(4, 1));
  t.Insert(Tool(4, 2));
  t.Insert(Tool(6, 1));
  t.Insert(Tool(4, -1, "any"));
  EXPECT_EQ(Keys(t), (KeyList{{4, -1}, {6, 1}}));
  // And a specific variant replaces the wildcard record.
  t.Insert(Tool(4, 3, "three"));
  EXPECT_EQ(Keys(t), (KeyList{{4, 3}, {6, 1}}));
}

TEST(ToolTable, FindTool) {
  ToolTable t;
  t.Insert(Tool(7, 1, "seven-one"));
  t.Insert(Tool(7, 2, "seven-two"));
  t.Insert(Tool(9, -1, "nine"));
  ToolRecord r;
  ASSERT_TRUE(t.FindTool(7, 2, r));
  EXPECT_EQ(r.name, "seven-two");
  ASSERT_TRUE(t.FindTool(7, -1, r));
  EXPECT_EQ(r.name, "seven-one");  // first in order
  ASSERT_TRUE(t.FindTool(9, 5, r));
  EXPECT_EQ(r.name, "nine");
  r.name = "unchanged";
  EXPECT_FALSE(t.FindTool(7, 3, r));
  EXPECT_FALSE(t.FindTool(8, 0, r));
  EXPECT_EQ(r.name, "unchanged");
  r.dia1 = 5;
  ASSERT_TRUE(t.FindTool(0, 4, r));  // no tool
  EXPECT_EQ(r, ToolRecord());
}

TEST(ToolTable, RemoveByKey) {
  ToolTable t;
  t.Insert(Tool(1, 1));
  t.Insert(Tool(1, 2));
  t.Insert(Tool(2, 0));
  EXPECT_EQ(t.Remove(1, -1), 2);
  EXPECT_EQ(t.Remove(5, 0), 0);
  EXPECT_EQ(Keys(t), (KeyList{{2, 0}}));
}

class ToolTableFile : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = testsupport::MakeTempDir("tools");
    Folders::SetParameters(dir);
  }
  void TearDown() override { Folders::SetParameters(testsupport::ScratchDir() + "/params"); }
  std::string dir;
};

TEST_F(ToolTableFile, RoundTripsEveryField) {
  ToolTable t;
  ToolRecord r = Tool(12, -1, "Ball nose\\n 3mm");
  r.type = 2;
  r.dia1 = 3.175;
  r.dia2 = 1.5;
  r.len1 = 42.25;
  r.len2 = 10;
  r.defaultS = 18000;
  r.defaultF = 1200;
  r.pressure = 0.5;
  r.maxRpm = 24000;
  r.maxLife = 600;
  r.useTime = 12.75;
  r.material = "Carbide";
  r.overrideS = true;
  r.overrideF = true;
  r.colour = 0xFF8000;
  r.offsetX = -1.25;
  r.offsetY = 2.5;
  r.offsetZ = -0.125;
  r.altZaxis = 3;
  r.altSpindle = 1;
  r.toolOrient = 4;
  t.Insert(r);
  t.Insert(Tool(1, 0, "Drill"));
  {
    ParaFile f;
    f.Open("ToolTable.txt");
    t.Save(f);
    ASSERT_TRUE(f.Write());
  }
  ParaFile g;
  ASSERT_TRUE(g.Open("ToolTable.txt"));
  int n = 0;
  EXPECT_TRUE(g.GetInt("numTools", n));
  EXPECT_EQ(n, 2);
  EXPECT_GE(g.FindKey("toolOrient_01"), 0);
  ToolTable back;
  ASSERT_TRUE(back.Load(g));
  ASSERT_EQ(back.Count(), 2);
  EXPECT_EQ(back.At(0), Tool(1, 0, "Drill"));
  EXPECT_EQ(back.At(1), r);
}

TEST_F(ToolTableFile, ShrinkingRemovesStaleRecords) {
  ToolTable t;
  for (int i = 1; i <= 3; ++i) t.Insert(Tool(i, 0));
  ParaFile f;
  f.Open("ToolTable.txt");
  t.Save(f);
  t.Remove(2, 0);
  t.Save(f);
  EXPECT_EQ(f.FindKey("numT_02"), -1);
  EXPECT_EQ(f.FindKey("name_02"), -1);
  ToolTable back;
  back.Load(f);
  EXPECT_EQ(Keys(back), (KeyList{{1, 0}, {3, 0}}));
  f.Discard();
}

TEST_F(ToolTableFile, CountBeyondRecordsAndMissingCount) {
  testsupport::WriteFile(dir + "/ToolTable.txt", "numTools=2000000000\nnumT_00=4\nnumP_00=1\ndia1_00=6\n");
  ParaFile f;
  ASSERT_TRUE(f.Open("ToolTable.txt"));
  ToolTable t;
  EXPECT_TRUE(t.Load(f));
  ASSERT_EQ(t.Count(), 1);
  EXPECT_EQ(t.At(0).dia1, 6.0);
  ParaFile empty;
  empty.Open("Empty.txt");
  t.Insert(Tool(9, 9));
  EXPECT_FALSE(t.Load(empty));
  EXPECT_EQ(t.Count(), 0);
}

TEST_F(ToolTableFile, DuplicateRecordsInTheFileCollapse) {
  testsupport::WriteFile(dir + "/ToolTable.txt",
                         "numTools=3\nnumT_00=5\nnumP_00=1\nname_00=a\nnumT_01=5\nnumP_01=-1\nname_01=b\n"
                         "numT_02=2\nnumP_02=0\nname_02=c\n");
  ParaFile f;
  ASSERT_TRUE(f.Open("ToolTable.txt"));
  ToolTable t;
  t.Load(f);
  EXPECT_EQ(Keys(t), (KeyList{{2, 0}, {5, -1}}));
  EXPECT_EQ(t.At(1).name, "b");
}

TEST_F(ToolTableFile, DeliveredDefaultsRoundTrip) {
  std::string src = __FILE__;
  src = src.substr(0, src.rfind("/tests/")) + "/examples/params/ToolTable.txt";
  const std::string original = testsupport::ReadFile(src);
  ASSERT_FALSE(original.empty()) << src;
  ParaFile in;
  ASSERT_TRUE(in.OpenExisting(src));
  ToolTable t;
  ASSERT_TRUE(t.Load(in));
  EXPECT_GE(t.Count(), 3);
  ParaFile out;
  out.Open("Fresh.txt");
  t.Save(out);
  ASSERT_TRUE(out.Write());
  EXPECT_EQ(testsupport::ReadFile(dir + "/Fresh.txt"), original);
}
