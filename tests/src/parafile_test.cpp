#include "parafile.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <wx/filefn.h>
#include <wx/log.h>

#include "folders.h"
#include "testsupport.h"

namespace {

class LogCapture : public wxLog {
 public:
  LogCapture() : old(wxLog::SetActiveTarget(this)) {}
  ~LogCapture() override { wxLog::SetActiveTarget(old); }
  bool Saw(const std::string& text) const {
    for (const auto& l : lines)
      if (l.find(text) != std::string::npos) return true;
    return false;
  }

 protected:
  void DoLogRecord(wxLogLevel, const wxString& msg, const wxLogRecordInfo&) override {
    lines.push_back(msg.utf8_string());
  }

 private:
  wxLog* old;
  std::vector<std::string> lines;
};

std::string g_fatalCaption, g_fatalText;
void RecordFatal(const char* caption, const char* text) {
  g_fatalCaption = caption;
  g_fatalText = text;
}

class ParaFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = testsupport::MakeTempDir("parafile");
    Folders::SetParameters(dir);
  }
  void TearDown() override {
    SetInitialised(false);
    Folders::SetParameters(testsupport::ScratchDir() + "/params");
  }
  std::string Path(const std::string& name) const { return Folders::Join(dir, name); }
  // Opens name after writing content into it.
  void OpenWith(ParaFile& f, const std::string& name, const std::string& content) {
    testsupport::WriteFile(Path(name), content);
    ASSERT_TRUE(f.Open(name));
  }
  std::string dir;
};

}  // namespace

// ---------------------------------------------------------------------------
// Number text

TEST(ParaFileNumbers, FormatsWithTrailingZerosRemovedButOneDigitKept) {
  EXPECT_EQ(ParaFile::FormatNumber(1.0), "1.0");
  EXPECT_EQ(ParaFile::FormatNumber(12), "12.0");
  EXPECT_EQ(ParaFile::FormatNumber(0.25), "0.25");
  EXPECT_EQ(ParaFile::FormatNumber(-3.5), "-3.5");
  EXPECT_EQ(ParaFile::FormatNumber(0.0), "0.0");
  EXPECT_EQ(ParaFile::FormatNumber(0.1), "0.1");
  EXPECT_EQ(ParaFile::FormatNumber(123456.000000001), "123456.000000001");
  EXPECT_EQ(ParaFile::FormatNumber(0.0025), "0.0025");
}

TEST(ParaFileNumbers, RoundsToNineDecimals) {
  EXPECT_EQ(ParaFile::FormatNumber(0.9999999996), "1.0");
  EXPECT_EQ(ParaFile::FormatNumber(1e-10), "0.0");
  EXPECT_EQ(ParaFile::FormatNumber(-0.0000000004), "-0.0");
  EXPECT_EQ(ParaFile::FormatNumber(2.0000000006), "2.000000001");
}

TEST(ParaFileNumbers, OverflowAndNaN) {
  EXPECT_EQ(ParaFile::FormatNumber(1e10), "OVFL");
  EXPECT_EQ(ParaFile::FormatNumber(-1e10), "-OVFL");
  EXPECT_EQ(ParaFile::FormatNumber(std::numeric_limits<double>::quiet_NaN()), "OVFL");
  EXPECT_EQ(ParaFile::FormatNumber(std::numeric_limits<double>::infinity()), "OVFL");
  EXPECT_EQ(ParaFile::FormatNumber(4294967295.0), "4294967295.0");
  EXPECT_EQ(ParaFile::FormatNumber(4294967296.0), "OVFL");
}

TEST(ParaFileNumbers, ParsesLeniently) {
  EXPECT_DOUBLE_EQ(ParaFile::ParseNumber("1.5"), 1.5);
  EXPECT_DOUBLE_EQ(ParaFile::ParseNumber(" -2.25"), -2.25);
  EXPECT_DOUBLE_EQ(ParaFile::ParseNumber("+3"), 3.0);
  EXPECT_DOUBLE_EQ(ParaFile::ParseNumber("1e3"), 1000.0);
  EXPECT_DOUBLE_EQ(ParaFile::ParseNumber("7.5mm"), 7.5);
  EXPECT_EQ(ParaFile::ParseNumber("abc"), 0.0);
  EXPECT_EQ(ParaFile::ParseNumber(""), 0.0);
  EXPECT_EQ(ParaFile::ParseNumber("OVFL"), 0.0);
  EXPECT_TRUE(std::isinf(ParaFile::ParseNumber("1e999")));
  EXPECT_EQ(ParaFile::ParseInt("12abc"), 12);
  EXPECT_EQ(ParaFile::ParseInt("-7"), -7);
  EXPECT_EQ(ParaFile::ParseInt("x"), 0);
  EXPECT_EQ(ParaFile::ParseInt("99999999999"), 2147483647);
}

TEST(ParaFileNumbers, IndependentOfNumericLocale) {
  const char* prev = std::setlocale(LC_NUMERIC, nullptr);
  const std::string saved = prev ? prev : "C";
  if (!std::setlocale(LC_NUMERIC, "de_DE.UTF-8") && !std::setlocale(LC_NUMERIC, "de_DE"))
    GTEST_SKIP() << "no German locale installed";
  char local[16];
  std::snprintf(local, sizeof local, "%.2f", 2.75);
  const double parsed = ParaFile::ParseNumber("1.5");
  const double parsedExp = ParaFile::ParseNumber("-2.5e1");
  const std::string written = ParaFile::FormatNumber(2.75);
  std::setlocale(LC_NUMERIC, saved.c_str());
  ASSERT_STREQ(local, "2,75") << "locale without a decimal comma";
  EXPECT_DOUBLE_EQ(parsed, 1.5);
  EXPECT_DOUBLE_EQ(parsedExp, -25.0);
  EXPECT_EQ(written, "2.75");
}

TEST(ParaFileNumbers, KeysAndEscapes) {
  EXPECT_EQ(ParaFile::IndexedKey("MinPosition", 0), "MinPosition_00");
  EXPECT_EQ(ParaFile::IndexedKey("numT", 100), "numT_100");
  EXPECT_EQ(ParaFile::IndexedKey("in", "Signal", 7), "inSignal_07");
  EXPECT_EQ(ParaFile::Escape("a\nb\n"), "a\\nb\\n");
  EXPECT_EQ(ParaFile::Unescape("a\\nb\\"), "a\nb\\");
  EXPECT_EQ(ParaFile::AxisNameIndex("0"), 0);
  EXPECT_EQ(ParaFile::AxisNameIndex("W"), 9);
  EXPECT_EQ(ParaFile::AxisNameIndex("Z3"), 27);
  EXPECT_EQ(ParaFile::AxisNameIndex("x"), -1);
  EXPECT_EQ(ParaFile::AxisName(28), nullptr);
}

// ---------------------------------------------------------------------------
// Opening, writing, closing

TEST_F(ParaFileTest, MissingFileIsCreatedAndCountsAsFailure) {
  LogCapture log;
  ParaFile f;
  EXPECT_FALSE(f.Open("New.txt"));
  EXPECT_TRUE(f.IsOpened());
  EXPECT_TRUE(wxFileExists(Path("New.txt")));
  EXPECT_TRUE(log.Saw("#PARAMETERS Loading file " + Path("New.txt") + " failed."));
  EXPECT_TRUE(log.Saw("#PARAMETERS new File " + Path("New.txt") + " created."));
  ParaFile again;
  EXPECT_TRUE(again.Open("New.txt"));
}

TEST_F(ParaFileTest, ExistingFileSetsSectionEndToLineCount) {
  ParaFile f;
  OpenWith(f, "A.txt", "a=1\nb=2\nc=3\n");
  EXPECT_EQ(f.SectionEnd(), 3u);
  EXPECT_EQ(f.SectionStart(), 0u);
}

TEST_F(ParaFileTest, UncreatableFileIsFatal) {
  LogCapture log;
  FatalErrorHandler old = SetFatalErrorHandler(RecordFatal);
  g_fatalCaption.clear();
  ParaFile f;
  EXPECT_FALSE(f.Open("no/such/dir/X.txt"));
  SetFatalErrorHandler(old);
  EXPECT_EQ(g_fatalCaption, "Fatal error");
  EXPECT_EQ(g_fatalText, "Parameter files don't exist or are corrupted,\nPlease re-install the program.");
  EXPECT_TRUE(log.Saw("#PARAMETERS Creating file"));
}

TEST_F(ParaFileTest, WriteClearsDirtyAndPersists) {
  {
    ParaFile f;
    f.Open("W.txt");
    f.SetDouble("Speed", 12.5);
    EXPECT_TRUE(f.IsDirty());
    EXPECT_TRUE(f.Write());
    EXPECT_FALSE(f.IsDirty());
  }
  EXPECT_EQ(testsupport::ReadFile(Path("W.txt")), "Speed=12.5\n");
}

TEST_F(ParaFileTest, FailedWriteIsLoggedAndKeepsDirty) {
  const std::string sub = Folders::Join(dir, "gone");
  ASSERT_EQ(mkdir(sub.c_str(), 0755), 0);
  ParaFile f;
  f.Open(Folders::Join(sub, "F.txt"));
  f.SetInt("k", 1);
  ASSERT_EQ(std::system(("rm -rf '" + sub + "'").c_str()), 0);
  LogCapture log;
  EXPECT_FALSE(f.Write());
  EXPECT_TRUE(f.IsDirty());
  EXPECT_TRUE(log.Saw("write failed!"));
  f.Discard();
}

TEST_F(ParaFileTest, DestructorWritesADirtyFile) {
  LogCapture log;
  {
    ParaFile f;
    f.Open("D.txt");
    f.SetInt("n", 4);
  }
  EXPECT_TRUE(log.Saw("Close() without Write()!"));
  EXPECT_EQ(testsupport::ReadFile(Path("D.txt")), "n=4\n");
}

TEST_F(ParaFileTest, ShutdownCloseWritesAndWarnsOnSecondClose) {
  LogCapture log;
  ParaFile f;
  f.Open("S.txt");
  f.SetBool("on", true);
  f.ShutdownClose();
  EXPECT_FALSE(f.IsOpened());
  EXPECT_TRUE(log.Saw("#PARAMETERS warning: file " + Path("S.txt") + " not written!"));
  EXPECT_EQ(testsupport::ReadFile(Path("S.txt")), "on=1\n");
  f.ShutdownClose();
  EXPECT_FALSE(log.Saw("already closed"));  // only after start-up
  SetInitialised(true);
  f.ShutdownClose();
  EXPECT_TRUE(log.Saw("#PARAMETERS warning: file " + Path("S.txt") + " already closed"));
}

// ---------------------------------------------------------------------------
// Keys and modes

TEST_F(ParaFileTest, KeysMatchWholeAndCaseSensitively) {
  ParaFile f;
  OpenWith(f, "K.txt", "Speed =1\nspeed=2\nSpeedX=3\nSpeed=4\nExpr=a=b\n");
  std::string v;
  EXPECT_TRUE(f.GetValue("Speed", v));
  EXPECT_EQ(v, "4");
  EXPECT_EQ(f.FindKey("Speed"), 3);
  EXPECT_EQ(f.FindKey("Speed "), 0);
  EXPECT_EQ(f.FindKey("speed"), 1);
  EXPECT_EQ(f.FindKey("Spee"), -1);
  EXPECT_TRUE(f.GetValue("Expr", v));
  EXPECT_EQ(v, "a=b");
}

TEST_F(ParaFileTest, SetTwiceInKeyModeLeavesOneLine) {
  ParaFile f(ParaFile::MODE_KEYS);
  f.Open("M0.txt");
  f.SetInt("a", 1);
  f.SetInt("a", 2);
  EXPECT_EQ(f.GetLineCount(), 1u);
  int v = 0;
  EXPECT_TRUE(f.GetInt("a", v));
  EXPECT_EQ(v, 2);
}

TEST_F(ParaFileTest, SetTwiceInAppendModeLeavesTwoLines) {
  ParaFile f(ParaFile::MODE_APPEND);
  f.Open("M2.txt");
  f.SetInt("a", 1);
  f.SetInt("a", 2);
  EXPECT_EQ(f.GetLineCount(), 2u);
  f.RemoveKey("a");
  EXPECT_EQ(f.GetLineCount(), 2u);
  f.Discard();
}

TEST_F(ParaFileTest, SectionModeIsReadOnly) {
  ParaFile f(ParaFile::MODE_SECTIONS);
  OpenWith(f, "M1.txt", "a=1\n");
  f.SetInt("a", 5);
  f.SetInt("b", 5);
  f.RemoveKey("a");
  EXPECT_FALSE(f.IsDirty());
  EXPECT_EQ(f.GetLineCount(), 1u);
}

TEST_F(ParaFileTest, RemoveKeyInKeyMode) {
  ParaFile f;
  OpenWith(f, "R.txt", "a=1\nb=2\n");
  f.RemoveKey("a");
  EXPECT_EQ(f.FindKey("a"), -1);
  EXPECT_EQ(f.FindKey("b"), 0);
  f.RemoveKey("missing");
  EXPECT_EQ(f.GetLineCount(), 1u);
  f.Discard();
}

TEST_F(ParaFileTest, TypedGettersLeaveTargetOnMissingKey) {
  ParaFile f;
  OpenWith(f, "T.txt", "i=12\nb=5\nd=2.5\nbad=xyz\n");
  int i = -1;
  bool b = false;
  double d = -1;
  std::string s = "keep";
  EXPECT_TRUE(f.GetInt("i", i));
  EXPECT_EQ(i, 12);
  EXPECT_TRUE(f.GetBool("b", b));
  EXPECT_TRUE(b);
  EXPECT_TRUE(f.GetDouble("d", d));
  EXPECT_EQ(d, 2.5);
  EXPECT_TRUE(f.GetDouble("bad", d));
  EXPECT_EQ(d, 0.0);
  i = 77;
  EXPECT_FALSE(f.GetInt("nope", i));
  EXPECT_EQ(i, 77);
  EXPECT_FALSE(f.GetString("nope", s));
  EXPECT_EQ(s, "keep");
}

TEST_F(ParaFileTest, StringsEscapeNewlinesRawStringsDoNot) {
  ParaFile f;
  f.Open("Str.txt");
  f.SetString("descr", "line1\nline2");
  f.SetRawString("raw", "a\\nb");
  EXPECT_EQ(f.GetLine(0).utf8_string(), "descr=line1\\nline2");
  std::string s;
  EXPECT_TRUE(f.GetString("descr", s));
  EXPECT_EQ(s, "line1\nline2");
  EXPECT_TRUE(f.GetRawString("raw", s));
  EXPECT_EQ(s, "a\\nb");
  f.Discard();
}

TEST_F(ParaFileTest, IndexedPrefixedAndConsecutiveKeys) {
  ParaFile f;
  f.Open("Idx.txt");
  f.SetDouble("MinPosition", 3, -10.5);
  f.SetInt("numT", 120, 7);
  f.SetBool("out", "Coolant", 2, true);
  const double xyz[3] = {1, 2, 3};
  f.SetFloat3("Pos", xyz);
  EXPECT_GE(f.FindKey("MinPosition_03"), 0);
  EXPECT_GE(f.FindKey("numT_120"), 0);
  EXPECT_GE(f.FindKey("outCoolant_02"), 0);
  double v[4] = {9, 9, 9, 9};
  EXPECT_FALSE(f.GetFloat4("Pos", v));  // Pos_03 missing
  EXPECT_EQ(v[2], 3.0);
  EXPECT_EQ(v[3], 9.0);
  bool on = false;
  EXPECT_TRUE(f.GetBool("out", "Coolant", 2, on));
  EXPECT_TRUE(on);
  EXPECT_FALSE(f.GetBool("in", "Coolant", 2, on));
  f.Discard();
}

TEST_F(ParaFileTest, AxisNames) {
  ParaFile f;
  OpenWith(f, "Ax.txt", "Axis#0=Y\nAxis#1=Q\nAxis#2=C3\n");
  int ix = -1;
  EXPECT_TRUE(f.GetAxisName("Axis#0", ix));
  EXPECT_EQ(ix, 2);
  EXPECT_FALSE(f.GetAxisName("Axis#1", ix));
  EXPECT_EQ(ix, 0);
  EXPECT_TRUE(f.GetAxisName("Axis#2", ix));
  EXPECT_EQ(ix, 18);
  f.SetAxisName("Axis#3", 27);
  std::string s;
  f.GetValue("Axis#3", s);
  EXPECT_EQ(s, "Z3");
  f.Discard();
}

// ---------------------------------------------------------------------------
// Sections

namespace {
const char* kSections =
    "top=0\n"
    "[First]\n"
    "a=1\n"
    "shared=first\n"
    "  [Second]\n"
    "b=2\n"
    "shared=second\n"
    "[Third] \n"  // not a header (no closing bracket last) but ends Second
    "c=3\n"
    "[Fourth]\n";
}

TEST_F(ParaFileTest, NextSectionWalksHeaders) {
  ParaFile f(ParaFile::MODE_SECTIONS);
  OpenWith(f, "Sec.txt", kSections);
  EXPECT_EQ(f.NextSection(), "First");
  EXPECT_EQ(f.NextLine(), "a=1");
  EXPECT_EQ(f.NextLine(), "shared=first");
  EXPECT_EQ(f.NextLine(), "");
  EXPECT_EQ(f.NextSection(), "Second");
  EXPECT_EQ(f.SectionStart(), 5u);
  EXPECT_EQ(f.SectionEnd(), 7u);
  EXPECT_EQ(f.NextSection(), "Fourth");
  EXPECT_EQ(f.NextLine(), "");
  EXPECT_EQ(f.NextSection(), "");
  EXPECT_EQ(f.NextSection(), "");
}

TEST_F(ParaFileTest, SectionModeFindsEarlierSectionsFirstButNotLaterOnes) {
  ParaFile f(ParaFile::MODE_SECTIONS);
  OpenWith(f, "Sec.txt", kSections);
  f.NextSection();
  f.NextSection();  // Second
  std::string v;
  EXPECT_TRUE(f.GetValue("a", v));  // from First
  EXPECT_TRUE(f.GetValue("shared", v));
  EXPECT_EQ(v, "first");
  EXPECT_TRUE(f.GetValue("top", v));
  EXPECT_FALSE(f.GetValue("c", v));  // after the section
}

TEST_F(ParaFileTest, OpenSectionFindsOrCloses) {
  testsupport::WriteFile(Path("Sec.txt"), kSections);
  ParaFile f(ParaFile::MODE_SECTIONS);
  EXPECT_TRUE(f.OpenSection(Path("Sec.txt"), "Second"));
  EXPECT_EQ(f.NextLine(), "b=2");
  ParaFile g(ParaFile::MODE_SECTIONS);
  EXPECT_FALSE(g.OpenSection(Path("Sec.txt"), "Third"));
  EXPECT_FALSE(g.IsOpened());
  EXPECT_FALSE(g.OpenSection(Path("missing.txt"), "First"));
}

TEST_F(ParaFileTest, WriteSectionOnlyInAppendMode) {
  ParaFile f(ParaFile::MODE_APPEND);
  ASSERT_TRUE(f.CreateNew(Path("Exp.txt")));
  f.WriteSection("One");
  f.SetInt("x", 1);
  f.WriteSection("Two");
  f.SetInt("x", 2);
  ASSERT_TRUE(f.Write());
  EXPECT_EQ(testsupport::ReadFile(Path("Exp.txt")), "[One]\nx=1\n[Two]\nx=2\n");
  ParaFile k;
  k.Open("K.txt");
  k.WriteSection("One");
  EXPECT_EQ(k.GetLineCount(), 0u);
}

TEST_F(ParaFileTest, KeepsCrLfLineEnds) {
  ParaFile f;
  OpenWith(f, "Crlf.txt", "a=1\r\nb=2\r\n");
  f.SetInt("a", 5);
  ASSERT_TRUE(f.Write());
  EXPECT_EQ(testsupport::ReadFile(Path("Crlf.txt")), "a=5\r\nb=2\r\n");
}

TEST_F(ParaFileTest, ThirteenFilesOpenedAndClosed) {
  EXPECT_EQ(FindParaFile("Hotkeys.txt"), &GetParaFile(PF_HOTKEYS));
  EXPECT_EQ(FindParaFile("nothing.txt"), nullptr);
  EXPECT_STREQ(ParaFileName(PF_STORAGE), "storage.txt");
  ResetParameterFilesForTest();
  EXPECT_FALSE(OpenParameterFiles());
  for (int i = 0; i < PF_COUNT; ++i) EXPECT_TRUE(wxFileExists(Path(ParaFileName(static_cast<ParaFileId>(i)))));
  ResetParameterFilesForTest();
  for (int i = 0; i < PF_COUNT; ++i) {
    // Only the first seven decide.
    if (i >= PF_STORAGE) std::remove(Path(ParaFileName(static_cast<ParaFileId>(i))).c_str());
  }
  EXPECT_TRUE(OpenParameterFiles());
  GetParaFile(PF_TOOL_TABLE).SetInt("numTools", 0);
  CloseParameterFiles();
  EXPECT_FALSE(GetParaFile(PF_TOOL_TABLE).IsOpened());
  EXPECT_EQ(testsupport::ReadFile(Path("ToolTable.txt")), "numTools=0\n");
  ResetParameterFilesForTest();
}
