#include "hpgl_parser.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "gcode_moves.h"
#include "testsupport.h"

using gcodemoves::Point;
using Strokes = std::vector<std::vector<Point>>;

namespace {

struct Converted {
  bool ok = false;
  std::string gcode;
  HPGL_Parser parser;
};

// Reads text as a plotter file and writes its program; settings default to a
// cut depth of -1.5 so a cut is told from the safe height 5.
void Convert(Converted& c, const std::string& hpgl, HpglSettings s = {},
             const std::vector<HpglPenSettings>& table = {}) {
  static int n = 0;
  const std::string file = testsupport::MakeTempDir("hpgl") + "/in" + std::to_string(++n) + ".plt";
  testsupport::WriteFile(file, hpgl);
  ASSERT_TRUE(c.parser.ReadHpglFile(file));
  c.parser.ApplySettings(s, table);
  c.ok = c.parser.WriteGCode(file);
  c.gcode = testsupport::ReadFile(file + ".nc");
}

HpglSettings Cutting() {
  HpglSettings s;
  s.zDepth = -1.5;
  return s;
}

Strokes Cuts(const Converted& c) {
  return gcodemoves::CutStrokes(gcodemoves::Read(c.gcode, c.parser.Settings().centerAbs), 0.0);
}

}  // namespace

TEST(HpglWrite, SimpleStrokePlungesAndCutsInMillimetres) {
  Converted c;
  Convert(c, "SP1;PD0,0,4000,0;PU;", Cutting());
  ASSERT_TRUE(c.ok);
  EXPECT_NE(c.gcode.find("G1 Z-1.5 F300\n"), std::string::npos);
  EXPECT_LT(gcodemoves::Deviation(Cuts(c), {{{0, 0}, {100, 0}}}), 1e-9) << c.gcode;
  // Ends lifted, spindle off, program end.
  EXPECT_NE(c.gcode.find("G0 Z5\nM5\nM30\n%\n"), std::string::npos);
}

TEST(HpglWrite, CorelUnitsStretchBy1016) {
  HpglSettings s = Cutting();
  s.corel = true;
  Converted c;
  Convert(c, "SP1;PD0,0,4000,0;PU;", s);
  EXPECT_LT(gcodemoves::Deviation(Cuts(c), {{{0, 0}, {101.6, 0}}}), 1e-9) << c.gcode;
}

TEST(HpglWrite, HeaderOrderAndModes) {
  HpglSettings s = Cutting();
  s.constVel = false;
  s.centerAbs = true;
  s.zSafe = 12;
  Converted c;
  Convert(c, "SP1;PD0,0,40,0;", s);
  const std::string head = "(Quorvane HPGL Import Filter)\n(Filter Version: V1.0)\n(converted from: ";
  EXPECT_EQ(c.gcode.rfind(head, 0), 0u);
  EXPECT_NE(c.gcode.find(" )\n(circle mode JK absolute)\n%\n\nG61 (exact stop mode)\nG21 (Metrisch)\nG90\n"
                         "G0 Z12 (move to secure Z-hight)\n\n"),
            std::string::npos)
      << c.gcode;
}

TEST(HpglWrite, UnchangedCoordinateIsNotRepeated) {
  Converted c;
  Convert(c, "SP1;PU0,0;PD400,0,400,800,400,800;", Cutting());
  EXPECT_NE(c.gcode.find("G1 X10 F1000\nG1 Y20\nG0 Z5"), std::string::npos) << c.gcode;
}

TEST(HpglWrite, ArcDirectionFollowsSweepSignInBothCentreModes) {
  for (bool centreAbs : {false, true}) {
    HpglSettings s = Cutting();
    s.centerAbs = centreAbs;
    Converted c;
    // Start (40,0) plotter units = (1,0) mm; quarter circles about (0,0).
    Convert(c, "SP1;PU40,0;PD;AA0,0,90;AR0,-40,-90;PU;", s);
    EXPECT_NE(c.gcode.find("G3 X0.000 Y1.000"), std::string::npos) << c.gcode;
    EXPECT_NE(c.gcode.find("G2 X1.000 Y0.000"), std::string::npos) << c.gcode;
    std::vector<Point> expect = {{1, 0}};
    gcodemoves::AppendArc(expect, 1, 0, 0, 0, 90);
    gcodemoves::AppendArc(expect, 0, 1, 0, 0, -90);
    EXPECT_LT(gcodemoves::Deviation(Cuts(c), {expect}), 1e-3) << c.gcode;
  }
}

TEST(HpglWrite, OnlyPenUpMovesAreWrittenWithoutPlunge) {
  Converted c;
  Convert(c, "IN;SP1;PU0,0,4000,4000;", Cutting());
  ASSERT_TRUE(c.ok);
  EXPECT_EQ(c.gcode.find("G1"), std::string::npos);
  EXPECT_NE(c.gcode.find("G0 X100 Y100"), std::string::npos) << c.gcode;
}

TEST(HpglWrite, NoPathsFailsAfterG90) {
  Converted c;
  Convert(c, "IN;SP1;", Cutting());
  EXPECT_FALSE(c.ok);
  EXPECT_EQ(c.parser.Message(), "No NC Data in HPGL File");
  EXPECT_EQ(c.gcode.substr(c.gcode.size() - 4), "G90\n");
}

TEST(HpglWrite, UnwritableTargetFails) {
  HPGL_Parser p;
  p.ReadHpglText("SP1;PD0,0,10,10;");
  EXPECT_FALSE(p.WriteGCode(testsupport::MakeTempDir("hpgl") + "/missing/dir/x"));
  EXPECT_EQ(p.Message(), "Could not write NC File");
}

TEST(HpglWrite, LineNumbersCountInTens) {
  HpglSettings s = Cutting();
  s.withLineNumbers = true;
  Converted c;
  Convert(c, "SP1;PD0,0,40,0;", s);
  EXPECT_NE(c.gcode.find("%\n\nN10 G64 (constant velocity mode)\nN20 G21 (Metrisch)\nN30 G90\n"), std::string::npos);
  EXPECT_NE(c.gcode.find(" M30\n%\n"), std::string::npos);
  // The numbered program still cuts the same stroke.
  EXPECT_LT(gcodemoves::Deviation(Cuts(c), {{{0, 0}, {1, 0}}}), 1e-9);
}

TEST(HpglWrite, InactivePenLeavesNoCutAndNextPenStartsAtItsPoint) {
  HpglSettings s = Cutting();
  std::vector<HpglPenSettings> table(4);
  table[2].active = false;
  Converted c;
  Convert(c, "SP1;PU0,0;PD400,0;PU;SP2;PD800,400;PU;SP3;PD1200,400,1200,800;PU;", s, table);
  EXPECT_LT(gcodemoves::Deviation(Cuts(c), {{{0, 0}, {10, 0}}, {{20, 10}, {30, 10}, {30, 20}}}), 1e-9) << c.gcode;
}

TEST(HpglWrite, OffsetModesMoveTheBox) {
  const std::string plot = "SP1;PU1000,2000;PD3000,2000,3000,4000;PU;";
  HpglSettings s = Cutting();
  s.offsetSel = 1;
  Converted lowerLeft;
  Convert(lowerLeft, plot, s);
  EXPECT_LT(gcodemoves::Deviation(Cuts(lowerLeft), {{{0, 0}, {50, 0}, {50, 50}}}), 1e-9);
  s.offsetSel = 2;
  Converted centre;
  Convert(centre, plot, s);
  EXPECT_LT(gcodemoves::Deviation(Cuts(centre), {{{-25, -25}, {25, -25}, {25, 25}}}), 1e-9);
}

TEST(HpglScale, PointFactorAnisotropicAndIsotropic) {
  // Type 2: one user unit is 40 plotter units = 1 mm; user 0 sits on P1.
  Converted c2;
  Convert(c2, "IN;IP400,400,4400,4400;SC0,40,0,40,2;SP1;PU0,0;PD10,0,10,5;PU;", Cutting());
  EXPECT_LT(gcodemoves::Deviation(Cuts(c2), {{{10, 10}, {20, 10}, {20, 15}}}), 1e-9) << c2.gcode;
  // Type 0: user -50..50 onto 0..4000 (X) and 0..100 onto 0..2000 (Y).
  Converted c0;
  Convert(c0, "IN;IP0,0,4000,2000;SC-50,50,0,100;SP1;PU-50,0;PD50,100;PU;", Cutting());
  EXPECT_EQ(c0.parser.ScaleType(), 0);
  EXPECT_LT(gcodemoves::Deviation(Cuts(c0), {{{0, 0}, {100, 50}}}), 1e-9) << c0.gcode;
  // Type 1: the smaller factor (20 units per user unit) for both, centred in X.
  Converted c1;
  Convert(c1, "IN;IP0,0,4000,2000;SC0,100,0,100,1;SP1;PU0,0;PD100,100;PU;", Cutting());
  EXPECT_LT(gcodemoves::Deviation(Cuts(c1), {{{25, 0}, {75, 50}}}), 1e-9) << c1.gcode;
  // SC without numbers returns to plotter units.
  Converted off;
  Convert(off, "IP0,0,4000,4000;SC0,10,0,10;SC;SP1;PU0,0;PD40,0;", Cutting());
  EXPECT_LT(gcodemoves::Deviation(Cuts(off), {{{0, 0}, {1, 0}}}), 1e-9);
}

TEST(HpglScale, DegenerateScalingIsIgnored) {
  HPGL_Parser p;
  p.ReadHpglText("SC5,5,0,10;SC0,0,0,0,2;IP0,0,0,0;");
  EXPECT_DOUBLE_EQ(p.ScaleX(), 0.025);
  EXPECT_DOUBLE_EQ(p.ScaleY(), 0.025);
}

TEST(HpglRead, SeparatorsSignsDecimalsAndCase) {
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
}

TEST(HpglRead, RelativePointsAccumulateAndOddNumberIsDropped) {
  HPGL_Parser p;
  p.ReadHpglText("SP1;PA100,100;PD;PR10,0,0,10,-10,0,7;PA0,0;");
  const auto& e = p.Paths().back().elements;
  ASSERT_EQ(e.size(), 4u);
  EXPECT_DOUBLE_EQ(e[2].x, 100);
  EXPECT_DOUBLE_EQ(e[2].y, 110);
  EXPECT_DOUBLE_EQ(e[3].x, 0);
  EXPECT_EQ(p.Box()[2], 110);
}

TEST(HpglRead, LabelsEscapesAndUnknownCommandsAreReportedNotDrawn) {
  HPGL_Parser p;
  p.ReadHpglText("\x1b.(;\x1b.I81;;17:IN;SP1;LBPD999,999\x03;DT*;LBPA7,7*;CI40;CI20;XX;PU0,0;");
  EXPECT_TRUE(p.Unsupported());
  EXPECT_EQ(p.Message(), "Command not supported");
  EXPECT_EQ(p.Report(), "Command not supported: LB\nCommand not supported: DT\nCommand not supported: CI\n"
                        "Command not supported: XX\n");
  ASSERT_EQ(p.Paths().size(), 1u);
  EXPECT_TRUE(p.Paths()[0].penUp);
  EXPECT_FALSE(p.HasBox());
}

TEST(HpglRead, WidthUnitOtherThanMillimetreIsReported) {
  HPGL_Parser p;
  p.ReadHpglText("WU0;PW0.5,3;WU1;");
  EXPECT_EQ(p.Report(), "Einheit kann nicht gesetzt werden.\n");
  ASSERT_NE(p.FindPen(3), nullptr);
  EXPECT_DOUBLE_EQ(p.FindPen(3)->width, 0.5);
}

TEST(HpglRead, VelocityAndWidthCreatePensNeverSelected) {
  HPGL_Parser p;
  p.ReadHpglText("VS20,4;PW0.3,7;SP2;PD0,0,1,1;");
  ASSERT_EQ(p.Pens().size(), 3u);
  EXPECT_EQ(p.Pens()[0].number, 2);
  EXPECT_TRUE(p.Pens()[0].used);
  EXPECT_FALSE(p.FindPen(4)->used);
  EXPECT_DOUBLE_EQ(p.FindPen(4)->velocity, 20);
  EXPECT_DOUBLE_EQ(p.FindPen(7)->width, 0.3);
}

TEST(HpglRead, StrokesBeforeAnyPenGoToPenOneAfterSP0ToNoPen) {
  HPGL_Parser p;
  p.ReadHpglText("PD0,0,10,0;SP0;PD20,0;");
  ASSERT_EQ(p.Paths().size(), 2u);
  EXPECT_EQ(p.Paths()[0].pen, 1);
  EXPECT_EQ(p.Paths()[1].pen, 0);
}

TEST(HpglRead, OpenStrokeAtEndIsClosed) {
  Converted c;
  Convert(c, "SP1;PD0,0,400,0", Cutting());
  ASSERT_TRUE(c.ok);
  EXPECT_NE(c.gcode.find("G1 X10 F1000\nG0 Z5\nM5"), std::string::npos) << c.gcode;
}

TEST(HpglRead, ArcBoxCoversTheBulgeAndOverlongSweepIsOneCircle) {
  HPGL_Parser p;
  p.ReadHpglText("SP1;PU100,0;PD;AA0,0,180;AA0,0,720;");
  ASSERT_TRUE(p.HasBox());
  EXPECT_NEAR(p.Box()[3], 100, 1e-9);  // top of the half circle
  EXPECT_NEAR(p.Box()[1], -100, 1e-9);  // the full circle passes the bottom
  EXPECT_DOUBLE_EQ(p.Paths().back().elements.back().angle, 360);
}

TEST(HpglSettingsUse, TableZerosFallBackToGlobalsWithReport) {
  HpglSettings s = Cutting();
  s.zSel = s.feedSel = s.toolSel = 1;
  std::vector<HpglPenSettings> table(3);
  table[2] = {500, 100, -3, 18000, 4, true, 0};
  Converted c;
  Convert(c, "SP1;PD0,0,40,0;SP2;PD80,0;", s, table);
  const std::string r = c.parser.Report();
  for (const char* line : {"ZFeedrate is 0, changed to global value. Pen= 1\n",
                           "Feedrate is 0, changed to global value. Pen= 1\n",
                           "Spindle Speed is 0, changed to global value. Pen= 1\n",
                           "Tool is not assigned, changed to global value. Pen= 1\n"})
    EXPECT_NE(r.find(line), std::string::npos) << line;
  EXPECT_EQ(r.find("Pen= 2"), std::string::npos);
  EXPECT_NE(c.gcode.find("M6 T4\nM3 S18000\n"), std::string::npos);
  EXPECT_NE(c.gcode.find("G1 Z-3 F100\n"), std::string::npos) << c.gcode;
  EXPECT_NE(c.gcode.find("G1 X2 F500\n"), std::string::npos);
}

TEST(HpglSettingsUse, VelocityFeedModeUsesVsInCentimetresPerSecond) {
  HpglSettings s = Cutting();
  s.feedSel = 2;
  HPGL_Parser p;
  p.ReadHpglText("VS5,1;SP1;PD0,0;SP2;PD1,1;");
  p.ApplySettings(s, {});
  EXPECT_DOUBLE_EQ(p.FindPen(1)->feed, 3000);
  EXPECT_DOUBLE_EQ(p.FindPen(2)->feed, s.feedrate);
  EXPECT_NE(p.Report().find("Pen velocity is 0, changed to global value. Pen= 2\n"), std::string::npos);
}

TEST(HpglWrite, PenValuesEditedByTheCallerAreKept) {
  HPGL_Parser p;
  p.ReadHpglText("SP1;PD0,0,40,0;");
  HpglSettings s = Cutting();
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
