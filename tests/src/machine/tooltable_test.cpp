#include "machine/tooltable.h"

#include <tuple>

#include "common/paramfolder.h"

namespace {

using ToolTableFile = testsupport::ParamFolderTest;

ToolRecord Tool(int T, int P, const std::string& name = "") {
  ToolRecord r;
  r.numT = T;
  r.numP = P;
  r.name = name;
  return r;
}

// The records as "T.P" or "T.P=name" in table order, each ended by "|".
std::string Keys(const ToolTable& t) {
  std::string out;
  for (const ToolRecord& r : t.Records())
    out += std::to_string(r.numT) + "." + std::to_string(r.numP) + (r.name.empty() ? "" : "=" + r.name) + "|";
  return out;
}

ToolTable Table(const std::vector<ToolRecord>& records) {
  ToolTable t;
  for (const auto& r : records) t.Insert(r);
  return t;
}

}  // namespace

// Records are addressed by tool and variant, -1 matching any variant: an
// insert replaces every record it addresses, a lookup finds the first.
TEST(ToolTable, InsertFindAndRemoveMatchVariants) {
  const std::pair<std::vector<ToolRecord>, const char*> inserts[] = {
      {{Tool(5, 2), Tool(1, 0), Tool(5, 1), Tool(3, 7)}, "1.0|3.7|5.1|5.2|"},
      {{Tool(2, 1, "old"), Tool(2, 1, "new")}, "2.1=new|"},
      {{Tool(4, 1), Tool(4, 2), Tool(6, 1), Tool(4, -1, "any")}, "4.-1=any|6.1|"},
      {{Tool(4, -1, "any"), Tool(6, 1), Tool(4, 3, "three")}, "4.3=three|6.1|"}};
  for (const auto& [records, keys] : inserts) EXPECT_EQ(Keys(Table(records)), keys);

  ToolTable t = Table({Tool(7, 1, "seven-one"), Tool(7, 2, "seven-two"), Tool(9, -1, "nine")});
  // nullptr: not found; tool 0 is always found, as an all-zero record.
  const std::tuple<int, int, const char*> finds[] = {
      {7, 2, "seven-two"}, {7, -1, "seven-one"}, {9, 5, "nine"}, {7, 3, nullptr}, {8, 0, nullptr}, {0, 4, ""}};
  for (const auto& [T, P, name] : finds) {
    ToolRecord r = Tool(0, 0, "unchanged");
    r.dia1 = 5;
    EXPECT_EQ(t.FindTool(T, P, r), name != nullptr) << T << "." << P;
    EXPECT_EQ(r.name, name ? name : "unchanged") << T << "." << P;
    EXPECT_EQ(r.dia1, name ? 0.0 : 5.0) << T << "." << P;
  }
  EXPECT_EQ(t.Remove(7, -1), 2);
  EXPECT_EQ(t.Remove(5, 0), 0);
  EXPECT_EQ(Keys(t), "9.-1=nine|");
}

TEST_F(ToolTableFile, RoundTripsEveryFieldAndDropsStaleRecords) {
  const ToolRecord r{12,    -1,   2,     3.175, 1.5,   42.25, 10,   18000, 1200, 0.5, 24000, 600,
                     12.75, "Ball nose\\n 3mm", "Carbide", true, true, 0xFF8000, -1.25, 2.5, -0.125, 3, 1, 4};
  ToolTable t = Table({r, Tool(1, 0, "Drill")}), back;
  ParaFile f, g;
  f.Open("ToolTable.txt");
  t.Save(f);
  ASSERT_TRUE(f.Write());
  ASSERT_TRUE(g.Open("ToolTable.txt"));
  ASSERT_TRUE(back.Load(g));
  EXPECT_EQ(back.Records(), (std::vector<ToolRecord>{Tool(1, 0, "Drill"), r}));

  // Saving fewer records removes the stale ones.
  t.Remove(1, 0);
  t.Save(g);
  std::string count;
  EXPECT_TRUE(g.GetValue("numTools", count) && count == "1");
  EXPECT_EQ(g.FindKey("numT_01") + g.FindKey("name_01"), -2);
}

// Each load replaces the table; a missing count empties it and fails.
TEST_F(ToolTableFile, LoadsWhatAnOddFileHolds) {
  const std::tuple<const char*, bool, const char*> cases[] = {
      {"", false, ""},
      {"numTools=junk\nnumT_00=4\n", true, ""},
      {"numTools=2000000000\nnumT_00=4\nnumP_00=1\nname_00=x\n", true, "4.1=x|"},  // a count beyond the records
      {"numTools=3\nnumT_00=3\nnumT_02=2\n", true, "3.0|"},                        // a gap ends the records
      {"numTools=3\nnumT_00=5\nnumP_00=1\nname_00=a\nnumT_01=5\nnumP_01=-1\nname_01=b\nnumT_02=2\nname_02=c\n",
       true, "2.0=c|5.-1=b|"}};
  ToolTable t = Table({Tool(1, 1)});
  for (const auto& [content, loaded, keys] : cases) {
    ParaFile f;
    OpenWith(f, "T.txt", content);
    EXPECT_EQ(t.Load(f), loaded) << content;
    EXPECT_EQ(Keys(t), keys) << content;
  }
}

TEST_F(ToolTableFile, DeliveredDefaultsRoundTrip) {
  ParaFile in, out;
  ASSERT_TRUE(in.OpenExisting(delivered + "ToolTable.txt"));
  ToolTable t;
  ASSERT_TRUE(t.Load(in));
  EXPECT_GE(t.Count(), 3);
  out.Open("Fresh.txt");
  t.Save(out);
  ASSERT_TRUE(out.Write());
  EXPECT_EQ(Read("Fresh.txt"), testsupport::ReadFile(delivered + "ToolTable.txt"));
}
