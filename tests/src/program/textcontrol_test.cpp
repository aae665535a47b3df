#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/testsupport.h"
#include "program/textcontrol.h"

namespace {

// Lines of the first file of a store, read sequentially from its first line.
std::vector<std::string> Lines(TextControl& t, int32_t first) {
  std::vector<std::string> out;
  t.GotoLine(first - 1);
  char* p = nullptr;
  while (t.NextLine(&p)) out.push_back(p);
  return out;
}

TEST(TextControl, LineEndVariants) {
  const std::pair<std::string, std::vector<std::string>> cases[] = {
      {"A\r\nB", {"A", "B"}},      {"A\n\rB", {"A", "", "B"}}, {"A\rB\n", {"A", "B"}},
      {"A\n\nB\n", {"A", "", "B"}}, {"\n", {""}},               {"X", {"X"}},
  };
  for (const auto& [bytes, lines] : cases) {
    TextControl t(bytes);
    EXPECT_EQ(Lines(t, 1), lines) << bytes;
  }
}

// The index has 100-entry pages: entries 99/100 and 9999/10000 are page
// boundaries, 10000 entries need a second level above the leaves.
TEST(TextControl, LargeFileIsIndexedWithoutGapsAcrossPages) {
  std::string text;
  std::vector<std::string> expected;
  for (int i = 0; i < 25000; ++i) text += (expected.emplace_back("N" + std::to_string(i))) + "\n";
  TextControl t(text);
  EXPECT_EQ(t.LineCount(), 25002);
  EXPECT_EQ(t.Root()->level, 2);
  EXPECT_EQ(Lines(t, 1), expected);
  char* p = nullptr;
  for (int line : {-1, 0, 25001, 25002}) EXPECT_EQ(t.GetLine(line, &p), 0) << line;
}

// Every file takes a leading and a trailing null entry in one numbering.
TEST(TextControl, FilesShareOneNumberingWithNullEntriesBetween) {
  const std::string dir = testsupport::MakeTempDir("textcontrol");
  testsupport::WriteFile(dir + "/a.nc", "G1\nG2\nlonger line\n");
  testsupport::WriteFile(dir + "/b.nc", "M3");
  testsupport::WriteFile(dir + "/empty.nc", "");
  // A name with backslashes, as names from the original platform have; on
  // Linux they are part of the file name.
  const std::string backslashed = dir + "/C:\\macros\\M6.txt";
  testsupport::WriteFile(backslashed, "M6\n");
  TextControl t;
  EXPECT_EQ(t.LoadFile(dir + "/a.nc"), 1);
  EXPECT_EQ(t.LoadFile(dir + "/b.nc"), 6);  // null 0, lines 1..3, null 4, null 5
  EXPECT_EQ(t.LineCount(), 8);
  EXPECT_EQ(t.MaxLineLength(), 11);
  char* p = nullptr;
  EXPECT_EQ(t.GetLine(4, &p), 0);
  EXPECT_EQ(p, nullptr);
  EXPECT_EQ(t.GetLine(6, &p), 6);
  EXPECT_STREQ(p, "M3");
  t.GotoLine(3);
  EXPECT_EQ(t.NextLine(&p), 0);
  EXPECT_EQ(t.ErrorCode(), TextControl::TEXT_END_OF_FILE);
  t.GotoLine(t.LineCount() - 1);  // the trailing null entry is a valid position
  EXPECT_EQ(t.CurrentLine(), 7);
  EXPECT_EQ(t.CurrentLinePtr(), nullptr);
  t.GotoLine(8);
  EXPECT_EQ(t.CurrentLine(), 0);
  int32_t first = -1, last = -1;
  EXPECT_TRUE(t.GetFileRange(2, &first, &last));
  EXPECT_EQ(std::pair(first, last), std::pair(1, 3));
  EXPECT_FALSE(t.GetFileRange(5, &first, &last));  // a null entry
  EXPECT_EQ(std::pair(first, last), std::pair(1, 0));

  const int32_t empty = t.LoadFile(dir + "/empty.nc");  // adjacent null entries
  EXPECT_EQ(empty, 9);
  t.GotoLine(empty - 1);
  p = reinterpret_cast<char*>(1);
  EXPECT_EQ(t.NextLine(&p), 0);
  EXPECT_EQ(p, nullptr);
  const int32_t count = t.LineCount();
  EXPECT_EQ(t.LoadFile(dir + "/a.nc"), 1);  // loaded once only
  EXPECT_EQ(t.LineCount(), count);
  EXPECT_EQ(t.FindFile("b.nc"), 6);  // by the last path component
  EXPECT_EQ(t.FindFile(".nc"), 0);
  EXPECT_EQ(t.FindFile("other/b.nc"), 0);  // a path must match whole
  const int32_t m6 = t.LoadFile(backslashed);
  ASSERT_GT(m6, 0);
  EXPECT_EQ(t.LoadFile("M6.txt"), m6);
  EXPECT_EQ(t.ErrorCode(), 0);
  EXPECT_EQ(t.LoadFile(dir + "/does-not-exist.nc"), 0);
  EXPECT_EQ(t.ErrorCode(), TextControl::TEXT_CANNOT_OPEN);

  t.Clear();  // a new main program: numbering starts again
  EXPECT_EQ(t.EntryCount(), 0);
  EXPECT_TRUE(t.Files().empty());
  EXPECT_EQ(t.LoadFile(dir + "/b.nc"), 1);
  EXPECT_EQ(t.LineCount(), 3);
}

TEST(TextControl, ShareAndAbandon) {
  TextControl* t = new TextControl();
  TextControl* second = t->Share();
  EXPECT_EQ(t->UseCount(), 2);
  TextControl::Abandon(second);
  EXPECT_EQ(second, nullptr);
  EXPECT_EQ(t->UseCount(), 1);
  TextControl::Abandon(t);  // the last reference deletes (checked by the sanitizer build)
  testsupport::AssertionCapture capture;
  {
    TextControl shared;
    shared.Share();
  }
  EXPECT_TRUE(capture.Saw("useCount == 1"));
}

}  // namespace
