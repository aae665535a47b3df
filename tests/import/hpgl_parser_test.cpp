#include "hpgl_parser.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "gcode_interpret.h"
#include "gcode_moves.h"
#include "testsupport.h"

using gcodemoves::Point;
using Strokes = std::vector<std::vector<Point>>;

namespace {

using SettingsEdit = std::function<void(HpglSettings&)>;

// Reads text as a plotter file and writes its program; the cut depth is -1.5
// so a cut is told from the safe height 5.
struct Converted {
  explicit Converted(const std::string& hpgl, const SettingsEdit& setup = nullptr,
                     const std::vector<HpglPenSettings>& table = {}) {
    static int n = 0;
    const std::string file = testsupport::MakeTempDir("hpgl") + "/in" + std::to_string(++n) + ".plt";
    testsupport::WriteFile(file, hpgl);
    read = parser.ReadHpglFile(file);
    HpglSettings s;
    s.zDepth = -1.5;
    if (setup) setup(s);
    parser.ApplySettings(s, table);
    ok = parser.WriteGCode(file);
    gcode = testsupport::ReadFile(file + ".nc");
  }
  // How far the cut strokes of the program are from `expect` (mm).
  double Deviation(const Strokes& expect) const {
    return gcodemoves::Deviation(gcodemoves::InterpretedCuts(gcode, parser.Settings().centerAbs),
                                 expect);
  }
  bool Has(const std::string& text) const { return gcode.find(text) != std::string::npos; }
  HPGL_Parser parser;
  bool read = false, ok = false;
  std::string gcode;
};

}  // namespace

// Each plot is converted and its cut strokes compared with the expected ones
// (mm); texts must appear in the program, texts starting with '!' must not.
TEST(HpglWrite, ConvertedPrograms) {
  const struct {
    const char* what;
    const char* hpgl;
    SettingsEdit setup;
    Strokes cuts;
    std::vector<std::string> texts;
  } cases[] = {
      {"millimetres, plunge and ending", "SP1;PD0,0,4000,0;PU;", nullptr, {{{0, 0}, {100, 0}}},
       {"G1 Z-1.5 F300\n", "G0 Z5\nM5\nM30\n%\n"}},
      {"Corel units", "SP1;PD0,0,4000,0;PU;", [](HpglSettings& s) { s.corel = true; }, {{{0, 0}, {101.6, 0}}}, {}},
      {"header order and modes", "SP1;PD0,0,40,0;",
       [](HpglSettings& s) {
         s.constVel = false;
         s.centerAbs = true;
         s.zSafe = 12;
       },
       {{{0, 0}, {1, 0}}},
       {"(Quorvane HPGL Import Filter)\n(Filter Version: V1.0)\n(converted from: ",
        " )\n(circle mode JK absolute)\n%\n\nG61 (exact stop mode)\nG21 (Metrisch)\nG90\n"
        "G0 Z12 (move to secure Z-hight)\n\n"}},
      {"line numbers in tens", "SP1;PD0,0,40,0;", [](HpglSettings& s) { s.withLineNumbers = true; },
       {{{0, 0}, {1, 0}}}, {"%\n\nN10 G64 (constant velocity mode)\nN20 G21 (Metrisch)\nN30 G90\n", " M30\n%\n"}},
      {"unchanged coordinate not repeated", "SP1;PU0,0;PD400,0,400,800,400,800;", nullptr,
       {{{0, 0}, {10, 0}, {10, 20}}}, {"G1 X10 F1000\nG1 Y20\nG0 Z5"}},
      {"open stroke at the end is closed", "SP1;PD0,0,400,0", nullptr, {{{0, 0}, {10, 0}}},
       {"G1 X10 F1000\nG0 Z5\nM5"}},
      {"material top shifts all heights", "SP1;PD0,0,40,0;",
       [](HpglSettings& s) { s.topMat = 10, s.zSafe = 5, s.zDepth = -1; }, {}, {"G0 Z15 (move", "G1 Z9 F"}},
      {"pen-up moves only: no plunge", "IN;SP1;PU0,0,4000,4000;", nullptr, {}, {"G0 X100 Y100", "!G1"}},
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
  };
  for (const auto& c : cases) {
    Converted conv(c.hpgl, c.setup);
    ASSERT_TRUE(conv.read) << c.what;
    EXPECT_TRUE(conv.ok) << c.what;
    EXPECT_LT(conv.Deviation(c.cuts), 1e-9) << c.what << "\n" << conv.gcode;
    for (const auto& t : c.texts) {
      if (t[0] == '!')
        EXPECT_FALSE(conv.Has(t.substr(1))) << c.what << ": " << t << "\n" << conv.gcode;
      else
        EXPECT_TRUE(conv.Has(t)) << c.what << ": " << t << "\n" << conv.gcode;
    }
  }
}

TEST(HpglWrite, ArcDirectionFollowsSweepSignInBothCentreModes) {
  for (bool centreAbs : {false, true}) {
    // Start (40,0) plotter units = (1,0) mm; quarter circles about (0,0).
    Converted c("SP1;PU40,0;PD;AA0,0,90;AR0,-40,-90;PU;", [&](HpglSettings& s) { s.centerAbs = centreAbs; });
    EXPECT_TRUE(c.Has("G3 X0.000 Y1.000")) << c.gcode;
    EXPECT_TRUE(c.Has("G2 X1.000 Y0.000")) << c.gcode;
    std::vector<Point> expect = {{1, 0}};
    gcodemoves::AppendArc(expect, 1, 0, 0, 0, 90);
    gcodemoves::AppendArc(expect, 0, 1, 0, 0, -90);
    EXPECT_LT(c.Deviation({expect}), 1e-3) << c.gcode;
  }
}

TEST(HpglWrite, InactivePenLeavesNoCutAndNextPenStartsAtItsPoint) {
  std::vector<HpglPenSettings> table(4);
  table[2].active = false;
  Converted c("SP1;PU0,0;PD400,0;PU;SP2;PD800,400;PU;SP3;PD1200,400,1200,800;PU;", nullptr, table);
  EXPECT_LT(c.Deviation({{{0, 0}, {10, 0}}, {{20, 10}, {30, 10}, {30, 20}}}), 1e-9) << c.gcode;
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
}

TEST(HpglWrite, PenValuesEditedByTheCallerAreKept) {
  HPGL_Parser p;
  p.ReadHpglText("SP1;PD0,0,40,0;");
  HpglSettings s;
  p.ApplySettings(s, {});
  p.FindPen(1)->feed = 1234;
  p.FindPen(1)->tool = 9;
  p.SetSettings(s);
  const std::string file = testsupport::MakeTempDir("hpgl") + "/edit.plt";
  ASSERT_TRUE(p.WriteGCode(file));
  const std::string nc = testsupport::ReadFile(file + ".nc");
  EXPECT_NE(nc.find("M6 T9\n"), std::string::npos);
  EXPECT_NE(nc.find("G1 X1 F1234\n"), std::string::npos) << nc;
}

TEST(HpglRead, NumbersRelativePointsAndDegenerateScaling) {
  HPGL_Parser p;
  p.ReadHpglText("in sp1 pu 0 0\r\npd +100,-200\n.5 -.25\t300.75,400PU");
  ASSERT_EQ(p.Paths().size(), 2u);
  const auto& e = p.Paths()[1].elements;
  ASSERT_EQ(e.size(), 3u);
  EXPECT_DOUBLE_EQ(e[0].y, -200);
  EXPECT_DOUBLE_EQ(e[1].x, 0.5);
  EXPECT_DOUBLE_EQ(e[1].y, -0.25);
  EXPECT_DOUBLE_EQ(e[2].x, 300.75);
  EXPECT_FALSE(p.Unsupported());

  HPGL_Parser r;  // relative points accumulate, an odd last number is dropped
  r.ReadHpglText("SP1;PA100,100;PD;PR10,0,0,10,-10,0,7;PA0,0;");
  const auto& re = r.Paths().back().elements;
  ASSERT_EQ(re.size(), 4u);
  EXPECT_DOUBLE_EQ(re[2].x, 100);
  EXPECT_DOUBLE_EQ(re[2].y, 110);
  EXPECT_EQ(r.Box()[2], 110);

  HPGL_Parser d;
  d.ReadHpglText("SC5,5,0,10;SC0,0,0,0,2;IP0,0,0,0;");
  EXPECT_DOUBLE_EQ(d.ScaleX(), 0.025);
  EXPECT_DOUBLE_EQ(d.ScaleY(), 0.025);
}

TEST(HpglRead, UnsupportedCommandsAreReportedNotDrawn) {
  HPGL_Parser p;
  p.ReadHpglText("\x1b.(;\x1b.I81;;17:IN;SP1;LBPD999,999\x03;DT*;LBPA7,7*;CI40;CI20;XX;PU0,0;");
  EXPECT_TRUE(p.Unsupported());
  EXPECT_EQ(p.Message(), "Command not supported");
  EXPECT_EQ(p.Report(), "Command not supported: LB\nCommand not supported: DT\nCommand not supported: CI\n"
                        "Command not supported: XX\n");
  ASSERT_EQ(p.Paths().size(), 1u);
  EXPECT_TRUE(p.Paths()[0].penUp);
  EXPECT_FALSE(p.HasBox());
  HPGL_Parser w;
  w.ReadHpglText("WU0;PW0.5,3;WU1;");
  EXPECT_EQ(w.Report(), "Einheit kann nicht gesetzt werden.\n");
  ASSERT_NE(w.FindPen(3), nullptr);
  EXPECT_DOUBLE_EQ(w.FindPen(3)->width, 0.5);
}

TEST(HpglRead, PensFromVelocityWidthAndSelection) {
  HPGL_Parser p;
  p.ReadHpglText("VS20,4;PW0.3,7;SP2;PD0,0,1,1;");
  ASSERT_EQ(p.Pens().size(), 3u);
  EXPECT_EQ(p.Pens()[0].number, 2);
  EXPECT_TRUE(p.Pens()[0].used);
  EXPECT_FALSE(p.FindPen(4)->used);
  EXPECT_DOUBLE_EQ(p.FindPen(4)->velocity, 20);
  EXPECT_DOUBLE_EQ(p.FindPen(7)->width, 0.3);
  HPGL_Parser q;  // strokes before any pen go to pen 1, after SP0 to no pen
  q.ReadHpglText("PD0,0,10,0;SP0;PD20,0;");
  ASSERT_EQ(q.Paths().size(), 2u);
  EXPECT_EQ(q.Paths()[0].pen, 1);
  EXPECT_EQ(q.Paths()[1].pen, 0);
}

TEST(HpglRead, ArcBoxCoversTheBulgeAndOverlongSweepIsOneCircle) {
  HPGL_Parser p;
  p.ReadHpglText("SP1;PU100,0;PD;AA0,0,180;AA0,0,720;");
  ASSERT_TRUE(p.HasBox());
  EXPECT_NEAR(p.Box()[3], 100, 1e-9);   // top of the half circle
  EXPECT_NEAR(p.Box()[1], -100, 1e-9);  // the full circle passes the bottom
  EXPECT_DOUBLE_EQ(p.Paths().back().elements.back().angle, 360);
}

TEST(HpglSettingsUse, TableZerosFallBackToGlobalsWithReport) {
  std::vector<HpglPenSettings> table(3);
  table[2] = {500, 100, -3, 18000, 4, true, 0};
  Converted c("SP1;PD0,0,40,0;SP2;PD80,0;", [](HpglSettings& s) { s.zSel = s.feedSel = s.toolSel = 1; }, table);
  const std::string r = c.parser.Report();
  for (const char* what : {"ZFeedrate is 0", "Feedrate is 0", "Spindle Speed is 0", "Tool is not assigned"})
    EXPECT_NE(r.find(std::string(what) + ", changed to global value. Pen= 1\n"), std::string::npos) << what;
  EXPECT_EQ(r.find("Pen= 2"), std::string::npos);
  for (const char* t : {"M6 T4\nM3 S18000\n", "G1 Z-3 F100\n", "G1 X2 F500\n"}) EXPECT_TRUE(c.Has(t)) << t << c.gcode;

  HPGL_Parser p;  // velocity feed mode: VS in cm/s
  p.ReadHpglText("VS5,1;SP1;PD0,0;SP2;PD1,1;");
  HpglSettings s;
  s.feedSel = 2;
  p.ApplySettings(s, {});
  EXPECT_DOUBLE_EQ(p.FindPen(1)->feed, 3000);
  EXPECT_DOUBLE_EQ(p.FindPen(2)->feed, s.feedrate);
  EXPECT_NE(p.Report().find("Pen velocity is 0, changed to global value. Pen= 2\n"), std::string::npos);
}
