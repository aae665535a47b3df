#include "parafile.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string>
#include <tuple>

#include <sys/stat.h>
#include <wx/filefn.h>

#include "folders.h"
#include "paramfolder.h"
#include "testsupport.h"

namespace {

using testsupport::WxLogCapture;

std::string g_fatalCaption, g_fatalText;
void RecordFatal(const char* caption, const char* text) {
  g_fatalCaption = caption;
  g_fatalText = text;
}

class ParaFileTest : public testsupport::ParamFolderTest {
 protected:
  // Opens name after writing content into it.
  void OpenWith(ParaFile& f, const std::string& name, const std::string& content) {
    Write(name, content);
    ASSERT_TRUE(f.Open(name));
  }
};

// A key's value text, "-" when the key is missing.
std::string Value(const ParaFile& f, const std::string& key) {
  std::string v;
  return f.GetValue(key, v) ? v : "-";
}

// The lines held in memory, each ended by "|".
std::string Lines(const ParaFile& f) {
  std::string out;
  for (size_t i = 0; i < f.GetLineCount(); ++i) out += f.GetLine(i).utf8_string() + "|";
  return out;
}

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

}  // namespace

// ---------------------------------------------------------------------------
// Number text

TEST(ParaFileNumbers, Format) {
  const double inf = std::numeric_limits<double>::infinity();
  const struct {
    double value;
    const char* text;
  } cases[] = {
      {1.0, "1.0"}, {12, "12.0"}, {0.25, "0.25"}, {-3.5, "-3.5"}, {0.0, "0.0"}, {0.0025, "0.0025"},
      {123456.000000001, "123456.000000001"}, {0.9999999996, "1.0"}, {1e-10, "0.0"},  // nine decimals, rounded
      {-0.0000000004, "-0.0"}, {2.0000000006, "2.000000001"}, {1e10, "OVFL"}, {-1e10, "-OVFL"},
      {std::numeric_limits<double>::quiet_NaN(), "OVFL"}, {inf, "OVFL"}, {4294967295.0, "4294967295.0"},
      {4294967296.0, "OVFL"},
  };
  for (const auto& c : cases) EXPECT_EQ(ParaFile::FormatNumber(c.value), c.text) << c.value;
}

TEST(ParaFileNumbers, ParsesLeniently) {
  const struct {
    const char* text;
    double value;
  } cases[] = {{"1.5", 1.5}, {" -2.25", -2.25}, {"+3", 3}, {"1e3", 1000}, {"7.5mm", 7.5},
               {"abc", 0},   {"", 0},           {"OVFL", 0}};
  for (const auto& c : cases) EXPECT_DOUBLE_EQ(ParaFile::ParseNumber(c.text), c.value) << c.text;
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
  const double parsed = ParaFile::ParseNumber("-2.5e1");
  const std::string written = ParaFile::FormatNumber(2.75);
  std::setlocale(LC_NUMERIC, saved.c_str());
  ASSERT_STREQ(local, "2,75") << "locale without a decimal comma";
  EXPECT_DOUBLE_EQ(parsed, -25.0);
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
  WxLogCapture log;
  ParaFile f;
  EXPECT_FALSE(f.Open("New.txt"));
  EXPECT_TRUE(f.IsOpened());
  EXPECT_TRUE(wxFileExists(Path("New.txt")));
  EXPECT_TRUE(log.Saw("#PARAMETERS Loading file " + Path("New.txt") + " failed."));
  EXPECT_TRUE(log.Saw("#PARAMETERS new File " + Path("New.txt") + " created."));
  ParaFile again;
  EXPECT_TRUE(again.Open("New.txt"));
  ParaFile three;
  OpenWith(three, "A.txt", "a=1\nb=2\nc=3\n");
  EXPECT_EQ(three.SectionStart(), 0u);
  EXPECT_EQ(three.SectionEnd(), 3u);
}

TEST_F(ParaFileTest, MissingFileStartsFromTheDeliveredDefaults) {
  wxMkdir(Path("defaults"));
  testsupport::WriteFile(Path("defaults/ToolTable.txt"), "numTools=1\nnumT_00=7\n");
  ParaFile f;
  EXPECT_FALSE(f.Open("ToolTable.txt"));  // still a fresh file for the caller
  int tool = 0;
  EXPECT_TRUE(f.GetInt("numT_00", tool));
  EXPECT_EQ(tool, 7);
  EXPECT_EQ(testsupport::ReadFile(Path("ToolTable.txt")), "numTools=1\nnumT_00=7\n");
}

TEST_F(ParaFileTest, UncreatableFileIsFatal) {
  WxLogCapture log;
  FatalErrorHandler old = SetFatalErrorHandler(RecordFatal);
  g_fatalCaption.clear();
  ParaFile f;
  EXPECT_FALSE(f.Open("no/such/dir/X.txt"));
  SetFatalErrorHandler(old);
  EXPECT_EQ(g_fatalCaption, "Fatal error");
  EXPECT_EQ(g_fatalText, "Parameter files don't exist or are corrupted,\nPlease re-install the program.");
  EXPECT_TRUE(log.Saw("#PARAMETERS Creating file"));
}

TEST_F(ParaFileTest, WriteClearsDirtyAndFailedWriteKeepsIt) {
  ParaFile f;
  f.Open("W.txt");
  f.SetDouble("Speed", 12.5);
  EXPECT_TRUE(f.IsDirty());
  EXPECT_TRUE(f.Write());
  EXPECT_FALSE(f.IsDirty());
  EXPECT_EQ(Read("W.txt"), "Speed=12.5\n");

  const std::string sub = Folders::Join(dir, "gone");
  ASSERT_EQ(mkdir(sub.c_str(), 0755), 0);
  ParaFile g;
  g.Open(Folders::Join(sub, "F.txt"));
  g.SetInt("k", 1);
  ASSERT_EQ(std::system(("rm -rf '" + sub + "'").c_str()), 0);
  WxLogCapture log;
  EXPECT_FALSE(g.Write());
  EXPECT_TRUE(g.IsDirty());
  EXPECT_TRUE(log.Saw("write failed!"));
  g.Discard();
}

TEST_F(ParaFileTest, DestructorAndShutdownCloseWriteADirtyFile) {
  WxLogCapture log;
  {
    ParaFile f;
    f.Open("D.txt");
    f.SetInt("n", 4);
  }
  EXPECT_TRUE(log.Saw("Close() without Write()!"));
  EXPECT_EQ(Read("D.txt"), "n=4\n");

  ParaFile f;
  f.Open("S.txt");
  f.SetBool("on", true);
  f.ShutdownClose();
  EXPECT_FALSE(f.IsOpened());
  EXPECT_TRUE(log.Saw("#PARAMETERS warning: file " + Path("S.txt") + " not written!"));
  EXPECT_EQ(Read("S.txt"), "on=1\n");
  f.ShutdownClose();
  EXPECT_FALSE(log.Saw("already closed"));  // only after start-up
  SetInitialised(true);
  f.ShutdownClose();
  EXPECT_TRUE(log.Saw("#PARAMETERS warning: file " + Path("S.txt") + " already closed"));
}

TEST_F(ParaFileTest, KeepsCrLfLineEnds) {
  ParaFile f;
  OpenWith(f, "Crlf.txt", "a=1\r\nb=2\r\n");
  f.SetInt("a", 5);
  ASSERT_TRUE(f.Write());
  EXPECT_EQ(Read("Crlf.txt"), "a=5\r\nb=2\r\n");
}

// ---------------------------------------------------------------------------
// Keys and modes

TEST_F(ParaFileTest, KeysMatchWholeAndCaseSensitively) {
  ParaFile f;
  OpenWith(f, "K.txt", "Speed =1\nspeed=2\nSpeedX=3\nSpeed=4\nExpr=a=b\n");
  EXPECT_EQ(Value(f, "Speed"), "4");
  EXPECT_EQ(Value(f, "Expr"), "a=b");
  EXPECT_EQ(f.FindKey("Speed "), 0);
  EXPECT_EQ(f.FindKey("speed"), 1);
  EXPECT_EQ(f.FindKey("Spee"), -1);
}

TEST_F(ParaFileTest, ModesDecideHowSetAndRemoveChangeLines) {
  ParaFile keys(ParaFile::MODE_KEYS), append(ParaFile::MODE_APPEND), sections(ParaFile::MODE_SECTIONS);
  OpenWith(keys, "M0.txt", "a=1\nb=2\nc=3\n");
  OpenWith(append, "M2.txt", "a=1\n");
  OpenWith(sections, "M1.txt", "a=1\n");
  for (ParaFile* f : {&keys, &append, &sections}) {
    f->SetInt("a", 2);
    f->SetInt("a", 3);
    f->RemoveKey("b");
    f->RemoveKey("missing");
  }
  EXPECT_EQ(Lines(keys), "a=3|c=3|");
  EXPECT_EQ(Lines(append), "a=1|a=2|a=3|");  // appends, never removes
  EXPECT_EQ(Lines(sections), "a=1|");        // read-only
  EXPECT_FALSE(sections.IsDirty());
  keys.Discard();
  append.Discard();
}

TEST_F(ParaFileTest, TypedValues) {
  ParaFile f;
  OpenWith(f, "T.txt", "i=12\nb=5\nd=2.5\nbad=xyz\nAxis#0=Y\nAxis#1=Q\nAxis#2=C3\n");
  int i = -1, ix = -1;
  bool b = false;
  double d = -1;
  std::string s = "keep";
  EXPECT_TRUE(f.GetInt("i", i) && f.GetBool("b", b) && f.GetDouble("d", d));
  EXPECT_EQ(std::tuple(i, b, d), std::tuple(12, true, 2.5));
  EXPECT_TRUE(f.GetDouble("bad", d));
  EXPECT_EQ(d, 0.0);
  EXPECT_FALSE(f.GetInt("nope", i) || f.GetString("nope", s));  // targets stay
  EXPECT_EQ(std::tuple(i, s), std::tuple(12, std::string("keep")));
  EXPECT_TRUE(f.GetAxisName("Axis#0", ix));
  EXPECT_EQ(ix, 2);
  EXPECT_FALSE(f.GetAxisName("Axis#1", ix));
  EXPECT_EQ(ix, 0);
  EXPECT_TRUE(f.GetAxisName("Axis#2", ix));
  EXPECT_EQ(ix, 18);

  ParaFile w;
  w.Open("W2.txt");
  w.SetString("descr", "line1\nline2");
  w.SetRawString("raw", "a\\nb");
  w.SetDouble("MinPosition", 3, -10.5);
  w.SetInt("numT", 120, 7);
  w.SetBool("out", "Coolant", 2, true);
  const double xyz[3] = {1, 2, 3};
  w.SetFloat3("Pos", xyz);
  w.SetAxisName("Axis#3", 27);
  EXPECT_EQ(Lines(w), "descr=line1\\nline2|raw=a\\nb|MinPosition_03=-10.5|numT_120=7|outCoolant_02=1|"
                      "Pos_00=1.0|Pos_01=2.0|Pos_02=3.0|Axis#3=Z3|");
  EXPECT_TRUE(w.GetString("descr", s));
  EXPECT_EQ(s, "line1\nline2");
  EXPECT_TRUE(w.GetRawString("raw", s));
  EXPECT_EQ(s, "a\\nb");
  double v[4] = {9, 9, 9, 9};
  EXPECT_FALSE(w.GetFloat4("Pos", v));  // Pos_03 missing
  EXPECT_EQ(v[2], 3.0);
  EXPECT_EQ(v[3], 9.0);
  bool on = false;
  EXPECT_TRUE(w.GetBool("out", "Coolant", 2, on));
  EXPECT_TRUE(on);
  EXPECT_FALSE(w.GetBool("in", "Coolant", 2, on));
  w.Discard();
}

// ---------------------------------------------------------------------------
// Sections

TEST_F(ParaFileTest, NextSectionWalksHeadersAndLooksBackNotAhead) {
  ParaFile f(ParaFile::MODE_SECTIONS);
  OpenWith(f, "Sec.txt", kSections);
  EXPECT_EQ(f.NextSection(), "First");
  EXPECT_EQ(f.NextLine(), "a=1");
  EXPECT_EQ(f.NextLine(), "shared=first");
  EXPECT_EQ(f.NextLine(), "");
  EXPECT_EQ(f.NextSection(), "Second");
  EXPECT_EQ(f.SectionStart(), 5u);
  EXPECT_EQ(f.SectionEnd(), 7u);
  // Earlier sections are found, the first match wins; later ones are not.
  EXPECT_EQ(Value(f, "a") + Value(f, "shared") + Value(f, "top") + Value(f, "c"), "1first0-");
  EXPECT_EQ(f.NextSection(), "Fourth");
  EXPECT_EQ(f.NextLine(), "");
  EXPECT_EQ(f.NextSection(), "");
  EXPECT_EQ(f.NextSection(), "");
}

TEST_F(ParaFileTest, OpenSectionFindsOrCloses) {
  Write("Sec.txt", kSections);
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
  EXPECT_EQ(Read("Exp.txt"), "[One]\nx=1\n[Two]\nx=2\n");
  ParaFile k;
  k.Open("K.txt");
  k.WriteSection("One");
  EXPECT_EQ(k.GetLineCount(), 0u);
}

TEST_F(ParaFileTest, ThirteenFilesOpenedAndClosed) {
  EXPECT_EQ(FindParaFile("Hotkeys.txt"), &GetParaFile(PF_HOTKEYS));
  EXPECT_EQ(FindParaFile("nothing.txt"), nullptr);
  EXPECT_FALSE(OpenParameterFiles());
  for (int i = 0; i < PF_COUNT; ++i) EXPECT_TRUE(wxFileExists(Path(ParaFileName(static_cast<ParaFileId>(i)))));
  ResetParameterFilesForTest();
  // Only the first seven decide.
  for (int i = PF_STORAGE; i < PF_COUNT; ++i) std::remove(Path(ParaFileName(static_cast<ParaFileId>(i))).c_str());
  EXPECT_TRUE(OpenParameterFiles());
  GetParaFile(PF_TOOL_TABLE).SetInt("numTools", 0);
  CloseParameterFiles();
  EXPECT_FALSE(GetParaFile(PF_TOOL_TABLE).IsOpened());
  EXPECT_EQ(Read("ToolTable.txt"), "numTools=0\n");
  ResetParameterFilesForTest();
  std::remove(Path("Users.txt").c_str());
  EXPECT_FALSE(OpenParameterFiles());
}
