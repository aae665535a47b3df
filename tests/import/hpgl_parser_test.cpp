#include "hpgl_parser.h"

#include <gtest/gtest.h>

#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "gcode_interpret.h"
#include "testsupport.h"

using gcodemoves::Point;
using gcodemoves::Strokes;

namespace {

using SettingsEdit = std::function<void(HpglSettings&)>;

// Reads text as a plotter file and writes its program; the cut depth is -1.5
// so a cut is told from the safe height 5.
struct Converted {
  explicit Converted(const std::string& hpgl, const SettingsEdit& setup = nullptr,
                     const std::vector<HpglPenSettings>& table = {}) {
    static int n = 0;
    file = testsupport::MakeTempDir("hpgl") + "/in" + std::to_string(++n) + ".plt";
    testsupport::WriteFile(file, hpgl);
    read = parser.ReadHpglFile(file);
    HpglSettings s;
    s.zDepth = -1.5;
    if (setup) setup(s);
    parser.ApplySettings(s, table);
    ok = parser.WriteGCode(file);
    gcode = testsupport::ReadFile(file + ".nc");
  }
  // How far the cut strokes of the program, run in the interpreter, are from
  // `expect` (mm).
  double Deviation(const Strokes& expect) const {
    return gcodemoves::Deviation(gcodemoves::InterpretedCuts(gcode, parser.Settings().centerAbs), expect);
  }
  bool Has(const std::string& text) const { return gcode.find(text) != std::string::npos; }
  HPGL_Parser parser;
  bool read = false, ok = false;
  std::string file, gcode;
};

// Quarter circles about (0,0) from (1,0) mm to (0,1) and back.
std::vector<Point> QuarterArcs() {
  std::vector<Point> arcs = {{1, 0}};
  gcodemoves::AppendArc(arcs, 1, 0, 0, 0, 90);
  gcodemoves::AppendArc(arcs, 0, 1, 0, 0, -90);
  return arcs;
}

}  // namespace

// The program text is read by other tools: the whole of it is fixed. No
// repeated coordinate or feed, a lifted pen only travels, a second pen lifts
// before its tool change, and the stroke left open at the end is closed.
TEST(HpglWrite, WholeProgram) {
  Converted c("SP1;PU0,0;PD400,0,400,800,400,800;PU;PA40,0;PD;AA0,0,90;AR0,-40,-90;SP2;PA;PD0,40");
  ASSERT_TRUE(c.ok);
  EXPECT_EQ(c.gcode, "(Quorvane HPGL Import Filter)\n(Filter Version: V1.0)\n(converted from: " + c.file +
                         " )\n(circle mode JK relative)\n%\n\n"
                         "G64 (constant velocity mode)\nG21 (Metrisch)\nG90\nG0 Z5 (move to secure Z-hight)\n\n"
                         "\n(Tool Change)\nM6 T1\nM3 S10000\nG0 Z5\nG0 X0 Y0\n"
                         "G1 Z-1.5 F300\nG1 X10 F1000\nG1 Y20\nG0 Z5\nG0 X1 Y0\n"
                         "G1 Z-1.5 F300\nG3 X0.000 Y1.000 I-1.000 J0.000 F1000\nG2 X1.000 Y0.000 I0.000 J-1.000\n"
                         "\n(Tool Change)\nG0 Z5\nM6 T1\nM3 S10000\nG0 Z5\nG1 Z-1.5 F300\nG1 X0 Y1 F1000\n"
                         "G0 Z5\nM5\nM30\n%\n");
  EXPECT_LT(c.Deviation({{{0, 0}, {10, 0}, {10, 20}}, QuarterArcs(), {{1, 0}, {0, 1}}}), 1e-9) << c.gcode;
}

// Each plot is converted and its cut strokes compared with the expected ones
// (mm); texts must appear in the program, texts starting with '!' must not;
// the report is the whole of it.
TEST(HpglWrite, ConvertedPrograms) {
  const struct {
    const char* what;
    const char* hpgl;
    SettingsEdit setup;
    Strokes cuts;
    std::vector<std::string> texts;
    std::string report = "";
    std::vector<HpglPenSettings> pens = {};
  } cases[] = {
      {"Corel units", "SP1;PD0,0,4000,0;PU;", [](HpglSettings& s) { s.corel = true; }, {{{0, 0}, {101.6, 0}}}, {}},
      {"header, numbering and heights from the material top", "SP1;PD0,0,40,0;",
       [](HpglSettings& s) {
         s.constVel = false, s.centerAbs = true, s.withLineNumbers = true;
         s.topMat = 10, s.zSafe = 2, s.zDepth = -11;
       },
       {{{0, 0}, {1, 0}}},
       {" )\n(circle mode JK absolute)\n%\n\nN10 G61 (exact stop mode)\nN20 G21 (Metrisch)\nN30 G90\n"
        "N40 G0 Z12 (move to secure Z-hight)\n\n",
        "G1 Z-1 F300\n", " M30\n%\n"}},
      {"centres absolute", "SP1;PU40,0;PD;AA0,0,90;AR0,-40,-90;PU;", [](HpglSettings& s) { s.centerAbs = true; },
       {QuarterArcs()}, {"G3 X0.000 Y1.000 I0.000 J0.000 F1000\nG2 X1.000 Y0.000 I0.000 J0.000\n"}},
      {"pen-up moves only: no plunge", "IN;SP1;PU0,0,4000,4000;", nullptr, {}, {"G0 X100 Y100", "!G1"}},
      {"inactive pen: no cut, the next pen starts at its point",
       "SP1;PU0,0;PD400,0;PU;SP2;PD800,400;PU;SP3;PD1200,400,1200,800;PU;", nullptr,
       {{{0, 0}, {10, 0}}, {{20, 10}, {30, 10}, {30, 20}}}, {}, "", {{}, {}, {0, 0, 0, 0, 0, false, 0}}},
      {"pen table; its zeros fall back to the globals", "SP1;PD0,0,40,0;SP2;PD80,0;",
       [](HpglSettings& s) { s.zSel = s.feedSel = s.toolSel = 1; }, {{{0, 0}, {1, 0}}, {{1, 0}, {2, 0}}},
       {"M6 T1\nM3 S10000\n", "G1 X1 F1000\n", "M6 T4\nM3 S18000\nG0 Z5\nG1 Z-3 F100\nG1 X2 F500\n"},
       "ZFeedrate is 0, changed to global value. Pen= 1\nFeedrate is 0, changed to global value. Pen= 1\n"
       "Tool is not assigned, changed to global value. Pen= 1\nSpindle Speed is 0, changed to global value. Pen= 1\n",
       {{}, {}, {500, 100, -3, 18000, 4, true, 0}}},
      {"VS feed, cm/s", "VS5,1;SP1;PD0,0,40,0;SP2;PD40,40;", [](HpglSettings& s) { s.feedSel = 2; },
       {{{0, 0}, {1, 0}}, {{1, 0}, {1, 1}}}, {"G1 X1 F3000\n", "G1 Y1 F1000\n"},
       "Pen velocity is 0, changed to global value. Pen= 2\n"},
      {"offset lower left", "SP1;PU1000,2000;PD3000,2000,3000,4000;PU;", [](HpglSettings& s) { s.offsetSel = 1; },
       {{{0, 0}, {50, 0}, {50, 50}}}, {}},
      {"offset centre", "SP1;PU1000,2000;PD3000,2000,3000,4000;PU;", [](HpglSettings& s) { s.offsetSel = 2; },
       {{{-25, -25}, {25, -25}, {25, 25}}}, {}},
      // Type 2: one user unit is 40 plotter units = 1 mm; user 0 sits on P1.
      {"scale point factor", "IN;IP400,400,4400,4400;SC0,40,0,40,2;SP1;PU0,0;PD10,0,10,5;PU;", nullptr,
       {{{10, 10}, {20, 10}, {20, 15}}}, {}},
      // Type 0: user -50..50 onto 0..4000 (X) and 0..100 onto 0..2000 (Y).
      {"scale anisotropic", "IN;IP0,0,4000,2000;SC-50,50,0,100;SP1;PU-50,0;PD50,100;PU;", nullptr,
       {{{0, 0}, {100, 50}}}, {}},
      // Type 1: the smaller factor (20 units per user unit) for both, centred in X.
      {"scale isotropic", "IN;IP0,0,4000,2000;SC0,100,0,100,1;SP1;PU0,0;PD100,100;PU;", nullptr,
       {{{25, 0}, {75, 50}}}, {}},
      {"SC without numbers: plotter units", "IP0,0,4000,4000;SC0,10,0,10;SC;SP1;PU0,0;PD40,0;", nullptr,
       {{{0, 0}, {1, 0}}}, {}},
      {"IP with two numbers moves P1 only", "IP0,0,4000,4000;IP400,400;SC0,100,0,100;SP1;PU0,0;PD100,100;", nullptr,
       {{{10, 10}, {110, 110}}}, {}},
  };
  for (const auto& c : cases) {
    Converted conv(c.hpgl, c.setup, c.pens);
    ASSERT_TRUE(conv.read) << c.what;
    EXPECT_TRUE(conv.ok) << c.what;
    EXPECT_EQ(conv.parser.Report(), c.report) << c.what;
    EXPECT_LT(conv.Deviation(c.cuts), 1e-9) << c.what << "\n" << conv.gcode;
    for (const auto& t : c.texts)
      EXPECT_EQ(conv.Has(t[0] == '!' ? t.substr(1) : t), t[0] != '!') << c.what << ": " << t << "\n" << conv.gcode;
  }
}

TEST(HpglWrite, Failures) {
  Converted empty("IN;SP1;");
  EXPECT_FALSE(empty.ok);
  EXPECT_EQ(empty.parser.Message(), "No NC Data in HPGL File");
  EXPECT_EQ(empty.gcode.substr(empty.gcode.size() - 4), "G90\n");
  HPGL_Parser p;
  p.ReadHpglText("SP1;PD0,0,10,10;");
  EXPECT_FALSE(p.WriteGCode(testsupport::MakeTempDir("hpgl") + "/missing/dir/x"));
  EXPECT_EQ(p.Message(), "Could not write NC File");
  EXPECT_FALSE(p.ReadHpglFile(testsupport::MakeTempDir("hpgl") + "/none.plt"));
  EXPECT_EQ(p.Message().rfind("Could not open file ", 0), 0u) << p.Message();
}

// A caller that fills the pens itself (SetSettings) keeps its values.
TEST(HpglWrite, PenValuesEditedByTheCallerAreKept) {
  Converted c("SP1;PD0,0,40,0;");
  c.parser.FindPen(1)->feed = 1234;
  c.parser.FindPen(1)->tool = 9;
  c.parser.SetSettings(c.parser.Settings());
  ASSERT_TRUE(c.parser.WriteGCode(c.file));
  const std::string nc = testsupport::ReadFile(c.file + ".nc");
  EXPECT_NE(nc.find("M6 T9\nM3 S10000\nG0 Z5\nG0 X0 Y0\nG1 Z-1.5 F300\nG1 X1 F1234\n"), std::string::npos) << nc;
}

// What each read plot leaves: its paths as "<pen><u|d> x,y ..." lines, and the report.
TEST(HpglRead, PathsAndReports) {
  const struct {
    const char* hpgl;
    const char* paths;
    const char* report;
  } cases[] = {
      {"in sp1 pu 0 0\r\npd +100,-200\n.5 -.25\t300.75,400PU", "1u 0,0\n1d 100,-200 0.5,-0.25 300.75,400\n", ""},
      // Relative points accumulate; an odd last number is dropped.
      {"SP1;PA100,100;PD;PR10,0,0,10,-10,0,7;PA0,0;", "1u 100,100\n1d 110,100 110,110 100,110 0,0\n", ""},
      // Before any SP the pen is 1, after SP0 none.
      {"PD0,0,10,0;SP0;PD20,0;", "1d 0,0 10,0\n0d 20,0\n", ""},
      // Escapes and label text are skipped; unknown commands are reported once.
      {"\x1b.(;\x1b.I81;;17:IN;SP1;LBPD999,999\x03;DT*;LBPA7,7*;CI40;CI20;XX;PU0,0;", "1u 0,0\n",
       "Command not supported: LB\nCommand not supported: DT\nCommand not supported: CI\nCommand not supported: XX\n"},
      {"WU0;PW0.5,3;WU1;", "", "Einheit kann nicht gesetzt werden.\n"},
  };
  for (const auto& c : cases) {
    HPGL_Parser p;
    p.ReadHpglText(c.hpgl);
    std::ostringstream paths;
    for (const HpglPath& path : p.Paths()) {
      paths << path.pen << (path.penUp ? "u" : "d");
      for (const HpglElement& e : path.elements) paths << ' ' << e.x << ',' << e.y;
      paths << '\n';
    }
    EXPECT_EQ(paths.str(), c.paths) << c.hpgl;
    EXPECT_EQ(p.Report(), c.report) << c.hpgl;
    EXPECT_EQ(p.Unsupported(), c.report[0] == 'C') << c.hpgl;
    EXPECT_EQ(p.Message(), c.report[0] == 'C' ? "Command not supported" : "") << c.hpgl;
  }
}

TEST(HpglRead, BoxPensAndScaling) {
  HPGL_Parser p;
  p.ReadHpglText("SP1;PU100,0;PD;AA0,0,180;AA0,0,720;");
  ASSERT_TRUE(p.HasBox());
  EXPECT_NEAR(p.Box()[3], 100, 1e-9);   // top of the half circle
  EXPECT_NEAR(p.Box()[1], -100, 1e-9);  // the full circle passes the bottom
  EXPECT_DOUBLE_EQ(p.Paths().back().elements.back().angle, 360);  // one circle, not two
  p.ReadHpglText("SP1;PU0,0,10,10;");
  EXPECT_FALSE(p.HasBox());  // pen-up travel draws nothing

  p.ReadHpglText("VS20,4;PW0.3,7;SP2;PD0,0,1,1;WU0;PW0.5,3;");
  ASSERT_EQ(p.Pens().size(), 4u);
  EXPECT_EQ(p.Pens()[0].number, 2);
  EXPECT_TRUE(p.Pens()[0].used);
  EXPECT_FALSE(p.FindPen(4)->used);
  EXPECT_DOUBLE_EQ(p.FindPen(4)->velocity, 20);
  EXPECT_DOUBLE_EQ(p.FindPen(7)->width, 0.3);
  EXPECT_DOUBLE_EQ(p.FindPen(3)->width, 0.5);

  p.ReadHpglText("SC5,5,0,10;SC0,0,0,0,2;IP0,0,0,0;");  // degenerate scaling is ignored
  EXPECT_DOUBLE_EQ(p.ScaleX(), 0.025);
  EXPECT_DOUBLE_EQ(p.ScaleY(), 0.025);
}
