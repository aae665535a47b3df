#include "params/parafile.h"

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <tuple>

#include <wx/filefn.h>

#include "common/paramfolder.h"

namespace {

using ParaFileTest = testsupport::ParamFolderTest;

// The value texts of keys, "-" for a missing one, each ended by "|".
std::string Values(const ParaFile& f, std::initializer_list<std::string> keys) {
  std::string out, v;
  for (const std::string& key : keys) out += (f.GetValue(key, v) ? v : "-") + "|";
  return out;
}

// The lines held in memory, each ended by "|".
std::string Lines(const ParaFile& f) {
  std::string out;
  for (size_t i = 0; i < f.GetLineCount(); ++i) out += f.GetLine(i).utf8_string() + "|";
  return out;
}

// "[Third] " is no header (the bracket is not last) but still ends Second.
const char* kSections = "top=0\n[First]\na=1\nshared=first\n  [Second]\nb=2\nshared=second\n[Third] \nc=3\n[Fourth]\n";

}  // namespace

TEST(ParaFileNumbers, FormatAndParse) {
  const double inf = std::numeric_limits<double>::infinity();
  const std::pair<double, const char*> formats[] = {
      {12, "12.0"}, {-3.5, "-3.5"}, {0.0, "0.0"}, {0.0025, "0.0025"}, {123456.000000001, "123456.000000001"},
      {0.9999999996, "1.0"}, {1e-10, "0.0"}, {-0.0000000004, "-0.0"}, {2.0000000006, "2.000000001"},  // 9 decimals
      {1e10, "OVFL"}, {-1e10, "-OVFL"}, {std::numeric_limits<double>::quiet_NaN(), "OVFL"},
      {inf, "OVFL"}, {4294967295.0, "4294967295.0"}, {4294967296.0, "OVFL"}};
  for (const auto& [value, text] : formats) EXPECT_EQ(ParaFile::FormatNumber(value), text) << value;
  const std::tuple<const char*, double, int> parses[] = {
      {"1.5", 1.5, 1}, {" -2.25", -2.25, -2}, {"+3", 3, 3}, {"1e3", 1000, 1}, {"7.5mm", 7.5, 7}, {"abc", 0, 0},
      {"", 0, 0}, {"OVFL", 0, 0}, {"1e999", inf, 1}, {"99999999999", 99999999999, 2147483647},
      {"-99999999999", -99999999999, -2147483647 - 1}};
  for (const auto& [text, number, integer] : parses) {
    EXPECT_DOUBLE_EQ(ParaFile::ParseNumber(text), number) << text;
    EXPECT_EQ(ParaFile::ParseInt(text), integer) << text;
  }
  EXPECT_EQ(ParaFile::Unescape("a\\nb\\"), "a\nb\\");  // a lone trailing backslash stays
}

TEST(ParaFileNumbers, IndependentOfNumericLocale) {
  const std::string saved = std::setlocale(LC_NUMERIC, nullptr);
  ASSERT_TRUE(std::setlocale(LC_NUMERIC, "de_DE.UTF-8")) << "no German locale: scripts/setup.sh generates it";
  char local[16];
  std::snprintf(local, sizeof local, "%.2f", 2.75);
  const double parsed = ParaFile::ParseNumber("-2.5e1");
  const std::string written = ParaFile::FormatNumber(2.75);
  std::setlocale(LC_NUMERIC, saved.c_str());
  ASSERT_STREQ(local, "2,75") << "locale without a decimal comma";
  EXPECT_DOUBLE_EQ(parsed, -25.0);
  EXPECT_EQ(written, "2.75");
}

// ---------------------------------------------------------------------------
// Opening, writing, closing

// A missing file is created, from the delivered default when there is one,
// but the caller still sees a fresh file; one that cannot be created is fatal.
TEST_F(ParaFileTest, MissingFilesAreCreatedOrFatal) {
  testsupport::WxLogCapture log;
  ParaFile f, again, tools, bad;
  EXPECT_FALSE(f.Open("New.txt"));
  EXPECT_TRUE(f.IsOpened());
  EXPECT_TRUE(log.Saw("#PARAMETERS Loading file " + Path("New.txt") + " failed."));
  EXPECT_TRUE(log.Saw("#PARAMETERS new File " + Path("New.txt") + " created."));
  EXPECT_TRUE(again.Open("New.txt"));
  wxMkdir(Path("defaults"));
  Write("defaults/ToolTable.txt", "numTools=1\nnumT_00=7\n");
  EXPECT_FALSE(tools.Open("ToolTable.txt"));
  EXPECT_EQ(Values(tools, {"numT_00"}), "7|");
  EXPECT_EQ(Read("ToolTable.txt"), "numTools=1\nnumT_00=7\n");

  static std::string got;
  const FatalErrorHandler old =
      SetFatalErrorHandler([](const char* caption, const char* text) { got = caption + ("|" + std::string(text)); });
  EXPECT_FALSE(bad.Open("no/such/dir/X.txt"));
  SetFatalErrorHandler(old);
  EXPECT_EQ(got, "Fatal error|Parameter files don't exist or are corrupted,\nPlease re-install the program.");
  EXPECT_TRUE(log.Saw("#PARAMETERS Creating file " + Path("no/such/dir/X.txt") + " failed."));
}

// Write, the destructor and the shutdown close all write a changed file; a
// failed write is logged and the file stays changed.
TEST_F(ParaFileTest, ChangedFilesAreWrittenKeepingTheirLineEnds) {
  testsupport::WxLogCapture log;
  {
    ParaFile f;
    OpenWith(f, "W.txt", "a=1\r\nb=2\r\n");
    f.SetDouble("a", 12.5);
    EXPECT_TRUE(f.IsDirty() && f.Write() && !f.IsDirty());
    EXPECT_EQ(Read("W.txt"), "a=12.5\r\nb=2\r\n");
    f.SetInt("b", 4);
    f.SetInt("c", 5);  // a new key takes the file's line end
  }
  EXPECT_TRUE(log.Saw("Parameter file " + Path("W.txt") + " Close() without Write()!"));
  EXPECT_EQ(Read("W.txt"), "a=12.5\r\nb=4\r\nc=5\r\n");
  {
    ParaFile f;  // last line without a line end, as an editor may leave it
    OpenWith(f, "E.txt", "a=1\r\nb=2");
    f.SetInt("c", 3);
    EXPECT_TRUE(f.Write());
  }
  EXPECT_EQ(Read("E.txt"), "a=1\r\nb=2\r\nc=3\r\n");

  ParaFile f, g;
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

  const std::string sub = Path("gone");
  ASSERT_TRUE(wxMkdir(sub));
  g.Open(sub + "/F.txt");
  g.SetInt("k", 1);
  ASSERT_EQ(std::system(("rm -rf '" + sub + "'").c_str()), 0);
  EXPECT_TRUE(!g.Write() && g.IsDirty());
  EXPECT_TRUE(log.Saw("Parameter file " + sub + "/F.txt write failed!"));
}

// ---------------------------------------------------------------------------
// Keys, values and modes

// Keys match whole and case-sensitively; junk lines and bytes that are not
// UTF-8 leave the other keys readable.
TEST_F(ParaFileTest, KeyLookupInAMessyFile) {
  ParaFile f;
  OpenWith(f, "K.txt", "Speed =1\nspeed=2\nSpeedX=3\nSpeed=4\nExpr=a=b\nnoequals\n=orphan\n\xff\xfe\x01 junk\n"
                       "name=Fr\xe4se\n[open\nb=2\n");
  EXPECT_EQ(std::tuple(f.FindKey("Speed "), f.FindKey("speed"), f.FindKey("Spee")), std::tuple(0, 1, -1));
  EXPECT_EQ(Values(f, {"Speed", "Expr", "noequals", "", "name", "b"}), "4|a=b|-|orphan|Fr\xc3\xa4se|2|");
}

// Files of keys change in place; appended files never drop a line; section
// files are read-only.
TEST_F(ParaFileTest, ModesDecideHowSetAndRemoveChangeLines) {
  ParaFile keys(ParaFile::MODE_KEYS), append(ParaFile::MODE_APPEND), sections(ParaFile::MODE_SECTIONS);
  const std::pair<ParaFile*, const char*> cases[] = {
      {&keys, "a=3|c=3|"}, {&append, "a=1|b=2|c=3|a=2|a=3|"}, {&sections, "a=1|b=2|c=3|"}};
  for (const auto& [f, lines] : cases) {
    OpenWith(*f, std::to_string(f->GetMode()) + ".txt", "a=1\nb=2\nc=3\n");
    f->SetInt("a", 2);
    f->SetInt("a", 3);
    f->RemoveKey("b");
    f->RemoveKey("missing");
    EXPECT_EQ(Lines(*f), lines) << f->GetMode();
  }
  EXPECT_FALSE(sections.IsDirty());
}

TEST_F(ParaFileTest, TypedValuesThroughTheirTexts) {
  ParaFile f;
  OpenWith(f, "T.txt", "b=5\nbad=xyz\nAxis#1=Q\n");
  const double xyz[3] = {1, 2, 3};
  f.SetString("descr", "line1\nline2");
  f.SetRawString("raw", "a\\nb");
  f.SetDouble("MinPosition", 3, -10.5);
  f.SetInt("numT", 120, 7);
  f.SetBool("out", "Coolant", 2, true);
  f.SetFloat3("Pos", xyz);
  f.SetAxisName("Axis#3", 27);
  f.SetAxisName("Axis#4", 28);  // no such axis
  EXPECT_EQ(Lines(f), "b=5|bad=xyz|Axis#1=Q|descr=line1\\nline2|raw=a\\nb|MinPosition_03=-10.5|numT_120=7|"
                      "outCoolant_02=1|Pos_00=1.0|Pos_01=2.0|Pos_02=3.0|Axis#3=Z3|Axis#4=0|");
  std::string s, raw;
  double bad = -1, v[4] = {9, 9, 9, 9};
  int axis = -1, unknown = -1;
  bool b = false;
  EXPECT_TRUE(f.GetString("descr", s) && f.GetRawString("raw", raw) && f.GetAxisName("Axis#3", axis) &&
              f.GetBool("b", b) && f.GetDouble("bad", bad));
  EXPECT_EQ(std::tuple(s, raw, axis, b, bad), std::tuple("line1\nline2", "a\\nb", 27, true, 0.0));
  // An unknown axis name reads as 0; a missing key fails and leaves its target.
  EXPECT_FALSE(f.GetAxisName("Axis#1", unknown) || f.GetFloat4("Pos", v) || f.GetInt("numT", 12, axis));
  EXPECT_EQ(std::tuple(unknown, v[2], v[3], axis), std::tuple(0, 3.0, 9.0, 27));
}

// ---------------------------------------------------------------------------
// Sections

TEST_F(ParaFileTest, SectionsWalkHeadersAndLookBackNotAhead) {
  ParaFile f(ParaFile::MODE_SECTIONS), g(ParaFile::MODE_SECTIONS);
  OpenWith(f, "Sec.txt", kSections);
  EXPECT_EQ(f.NextSection(), "First");
  EXPECT_EQ(f.NextLine(), "a=1");
  EXPECT_EQ(f.NextLine(), "shared=first");
  EXPECT_EQ(f.NextLine(), "");
  EXPECT_EQ(f.NextSection(), "Second");
  EXPECT_EQ(std::tuple(f.SectionStart(), f.SectionEnd()), std::tuple(5u, 7u));
  // Earlier sections are found, the first match wins; later ones are not.
  EXPECT_EQ(Values(f, {"a", "shared", "top", "c"}), "1|first|0|-|");
  EXPECT_EQ(f.NextSection(), "Fourth");
  EXPECT_EQ(f.NextLine(), "");
  EXPECT_EQ(f.NextSection(), "");
  EXPECT_EQ(f.NextSection(), "");

  EXPECT_TRUE(g.OpenSection(Path("Sec.txt"), "Second"));
  EXPECT_EQ(g.NextLine(), "b=2");
  EXPECT_FALSE(g.OpenSection(Path("Sec.txt"), "Third"));
  EXPECT_FALSE(g.IsOpened());
  EXPECT_FALSE(g.OpenSection(Path("missing.txt"), "First"));
}

TEST_F(ParaFileTest, ThirteenFilesOpenedAndClosed) {
  EXPECT_EQ(FindParaFile("Hotkeys.txt"), &GetParaFile(PF_HOTKEYS));
  EXPECT_FALSE(OpenParameterFiles());
  for (int i = 0; i < PF_COUNT; ++i) EXPECT_TRUE(wxFileExists(Path(ParaFileName(static_cast<ParaFileId>(i)))));
  ResetParameterFilesForTest();
  // Only the first seven decide.
  for (int i = PF_STORAGE; i < PF_COUNT; ++i) std::remove(Path(ParaFileName(static_cast<ParaFileId>(i))).c_str());
  EXPECT_TRUE(OpenParameterFiles());
  CloseParameterFiles();
  for (int i = 0; i < PF_COUNT; ++i) EXPECT_FALSE(GetParaFile(static_cast<ParaFileId>(i)).IsOpened()) << i;
  ResetParameterFilesForTest();
  std::remove(Path("Users.txt").c_str());
  EXPECT_FALSE(OpenParameterFiles());
}
