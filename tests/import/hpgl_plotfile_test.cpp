// Whole plotter files as drawing programs write them, and the stored settings.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <tuple>

#include "gcode_interpret.h"
#include "gcode_moves.h"
#include "hpgl_parser.h"
#include "hpgl_settings.h"
#include "parafile.h"
#include "testsupport.h"

using gcodemoves::Point;

namespace {

// The stored fields, for comparing whole records.
auto Fields(const HpglSettings& s) {
  return std::tuple(s.zSel, s.feedSel, s.offsetSel, s.corel, s.withLineNumbers, s.constVel, s.zDepth, s.zSafe,
                    s.topMat, s.tool);
}
auto PenFields(const HpglPenSettings& p) {
  return std::tuple(p.feed, p.zFeed, p.zDepth, p.spindleSpeed, p.tool, p.active, p.velocity);
}

}  // namespace

TEST(HpglPlotFile, PensLongPointListsRelativeMovesAndArcs) {
  std::string plt = "\x1b.(;IN;IP0,0,16000,16000;SC;VS10;SP1;PU0,0;PD";
  std::vector<Point> wave;
  for (int k = 0; k <= 600; ++k) {
    const int x = k * 10, y = static_cast<int>(std::lround(2000 * std::sin(k * 0.02)));
    plt += std::to_string(x) + "," + std::to_string(y) + (k % 8 == 7 ? "\r\n" : k < 600 ? "," : "");
    wave.push_back({x * 0.025, y * 0.025});
  }
  plt += ";PU;SP2;PA8000,4000;PD;PR400,0,0,400,-400,0,0,-400;PU;LBNote\x03;";
  plt += "SP3;PA12000,4000;PD;AA12000,4400,360;PU;CI100;SP1;PU6000,0;PD6400,0;PU;SP0;";

  const std::string file = testsupport::MakeTempDir("plot") + "/drawing.plt";
  testsupport::WriteFile(file, plt);
  HPGL_Parser p;
  ASSERT_TRUE(p.ReadHpglFile(file));
  EXPECT_EQ(p.Report(), "Command not supported: LB\nCommand not supported: CI\n");
  ASSERT_EQ(p.Pens().size(), 3u);
  HpglSettings s;
  s.zDepth = -0.5;
  s.centerAbs = true;
  std::vector<HpglPenSettings> table(4);
  for (int pen = 1; pen <= 3; ++pen) table[pen] = {1000.0 * pen, 200, -0.5, 12000, pen, true, 0};
  s.toolSel = s.feedSel = s.zSel = 1;
  p.ApplySettings(s, table);
  ASSERT_TRUE(p.WriteGCode(file));
  const std::string nc = testsupport::ReadFile(file + ".nc");

  std::vector<Point> circle = {{300, 100}};
  gcodemoves::AppendArc(circle, 300, 100, 300, 110, 360);
  const std::vector<std::vector<Point>> expect = {
      wave, {{200, 100}, {210, 100}, {210, 110}, {200, 110}, {200, 100}}, circle, {{150, 0}, {160, 0}}};
  const auto cuts = gcodemoves::InterpretedCuts(nc, true);
  EXPECT_LT(gcodemoves::Deviation(cuts, expect), 1e-3);
  // Pen 1 comes back: a fourth tool change, with its own tool.
  size_t changes = 0;
  for (size_t at = nc.find("(Tool Change)"); at != std::string::npos; at = nc.find("(Tool Change)", at + 1)) ++changes;
  EXPECT_EQ(changes, 4u);
  EXPECT_NE(nc.find("M6 T3\nM3 S12000\n"), std::string::npos);
}

TEST(HpglSettingsFile, SaveAndLoadRoundTrip) {
  const std::string path = testsupport::MakeTempDir("hpglset") + "/UserSettings.txt";
  HpglSettings s;
  s.zSel = 1;
  s.feedSel = 2;
  s.offsetSel = 2;
  s.corel = true;
  s.withLineNumbers = true;
  s.constVel = false;
  s.zDepth = -2.25;
  s.zSafe = 8;
  s.topMat = 3.5;
  s.tool = 7;
  std::vector<HpglPenSettings> table(kHpglPenTableSize);
  table[3] = {750, 120, -0.8, 9000, 2, false, 12.5};
  {
    ParaFile f;
    ASSERT_TRUE(f.CreateNew(path));
    f.SetValue("Other", "kept");
    EXPECT_TRUE(SaveHpglSettings(f, s, table));
  }
  const std::string text = testsupport::ReadFile(path);
  EXPECT_NE(text.find("HPGL_ZTiefe=-2.25\n"), std::string::npos);
  EXPECT_NE(text.find("HPGL_AssTool_03=2\n"), std::string::npos);
  EXPECT_EQ(text.find("HPGL_AssTool_04"), std::string::npos);  // untouched rows are not stored
  EXPECT_NE(text.find("Other=kept"), std::string::npos);

  ParaFile g;
  ASSERT_TRUE(g.OpenExisting(path));
  HpglSettings r;
  std::vector<HpglPenSettings> rt;
  LoadHpglSettings(g, r, rt);
  EXPECT_EQ(Fields(r), Fields(s));
  ASSERT_EQ(rt.size(), static_cast<size_t>(kHpglPenTableSize));
  EXPECT_EQ(PenFields(rt[3]), PenFields(table[3]));
  EXPECT_TRUE(rt[4].active);
}

TEST(HpglSettingsFile, MachineCentreModeIsRead) {
  const std::string path = testsupport::MakeTempDir("hpglmach") + "/ParameterTable.txt";
  testsupport::WriteFile(path, "CenterAbs=1\n");
  ParaFile g;
  ASSERT_TRUE(g.OpenExisting(path));
  HpglSettings s;
  LoadHpglMachineSettings(g, s);
  EXPECT_TRUE(s.centerAbs);
}
