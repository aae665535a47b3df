#include "tooltable.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "parafile.h"
#include "paramfolder.h"
#include "testsupport.h"

namespace {

using KeyList = std::vector<std::pair<int, int>>;

ToolRecord Tool(int T, int P, const std::string& name = "") {
  ToolRecord r;
  r.numT = T;
  r.numP = P;
  r.name = name;
  return r;
}

KeyList Keys(const ToolTable& t) {
  KeyList k;
  for (const ToolRecord& r : t.Records()) k.emplace_back(r.numT, r.numP);
  return k;
}

ToolTable Table(const std::vector<ToolRecord>& records) {
  ToolTable t;
  for (const auto& r : records) t.Insert(r);
  return t;
}

using ToolTableFile = testsupport::ParamFolderTest;

}  // namespace

TEST(ToolTable, InsertSortsAndReplacesMatchingVariants) {
  EXPECT_EQ(Keys(Table({Tool(5, 2), Tool(1, 0), Tool(5, 1), Tool(3, 7)})), (KeyList{{1, 0}, {3, 7}, {5, 1}, {5, 2}}));
  ToolTable same = Table({Tool(2, 1, "old"), Tool(2, 1, "new")});
  ASSERT_EQ(same.Count(), 1);
  EXPECT_EQ(same.At(0).name, "new");
  // The wildcard variant replaces every variant of its tool, and a specific one replaces the wildcard.
  ToolTable t = Table({Tool(4, 1), Tool(4, 2), Tool(6, 1), Tool(4, -1, "any")});
  EXPECT_EQ(Keys(t), (KeyList{{4, -1}, {6, 1}}));
  t.Insert(Tool(4, 3, "three"));
  EXPECT_EQ(Keys(t), (KeyList{{4, 3}, {6, 1}}));

  ToolTable r = Table({Tool(1, 1), Tool(1, 2), Tool(2, 0)});
  EXPECT_EQ(r.Remove(1, -1), 2);
  EXPECT_EQ(r.Remove(5, 0), 0);
  EXPECT_EQ(Keys(r), (KeyList{{2, 0}}));
}

TEST(ToolTable, FindTool) {
  const ToolTable t = Table({Tool(7, 1, "seven-one"), Tool(7, 2, "seven-two"), Tool(9, -1, "nine")});
  const struct {
    int T, P;
    const char* name;  // nullptr: not found
  } cases[] = {{7, 2, "seven-two"}, {7, -1, "seven-one"}, {9, 5, "nine"}, {7, 3, nullptr}, {8, 0, nullptr}};
  for (const auto& c : cases) {
    ToolRecord r = Tool(0, 0, "unchanged");
    EXPECT_EQ(t.FindTool(c.T, c.P, r), c.name != nullptr) << c.T << "." << c.P;
    EXPECT_EQ(r.name, c.name ? c.name : "unchanged") << c.T << "." << c.P;
  }
  ToolRecord r;
  r.dia1 = 5;
  ASSERT_TRUE(t.FindTool(0, 4, r));  // no tool
  EXPECT_EQ(r, ToolRecord());
}

TEST_F(ToolTableFile, RoundTripsEveryField) {
  const ToolRecord r{12,    -1,   2,     3.175, 1.5,   42.25, 10,   18000, 1200, 0.5, 24000, 600,
                     12.75, "Ball nose\\n 3mm", "Carbide", true, true, 0xFF8000, -1.25, 2.5, -0.125, 3, 1, 4};
  ToolTable t = Table({r, Tool(1, 0, "Drill")});
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

  // Saving fewer records removes the stale ones.
  t.Remove(1, 0);
  t.Save(g);
  EXPECT_EQ(g.FindKey("numT_01"), -1);
  EXPECT_EQ(g.FindKey("name_01"), -1);
  back.Load(g);
  EXPECT_EQ(Keys(back), (KeyList{{12, -1}}));
  g.Discard();
}

TEST_F(ToolTableFile, CountsAndDuplicatesInTheFile) {
  Write("Big.txt", "numTools=2000000000\nnumT_00=4\nnumP_00=1\ndia1_00=6\n");
  Write("Dup.txt", "numTools=3\nnumT_00=5\nnumP_00=1\nname_00=a\nnumT_01=5\nnumP_01=-1\nname_01=b\n"
                   "numT_02=2\nnumP_02=0\nname_02=c\n");
  ParaFile big, dup, empty;
  ASSERT_TRUE(big.Open("Big.txt"));
  ASSERT_TRUE(dup.Open("Dup.txt"));
  empty.Open("Empty.txt");
  ToolTable t;
  EXPECT_TRUE(t.Load(big));  // a count beyond the records
  ASSERT_EQ(t.Count(), 1);
  EXPECT_EQ(t.At(0).dia1, 6.0);
  EXPECT_FALSE(t.Load(empty));
  EXPECT_EQ(t.Count(), 0);
  t.Load(dup);
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
  EXPECT_EQ(Read("Fresh.txt"), original);
}
