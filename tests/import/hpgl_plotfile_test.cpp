// Whole plotter files as drawing programs write them, run in the interpreter,
// and the stored settings.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <tuple>

#include "gcode_interpret.h"
#include "hpgl_parser.h"
#include "hpgl_settings.h"
#include "parafile.h"
#include "testsupport.h"

using gcodemoves::Point;

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
  s.zDepth = -0.5, s.centerAbs = true, s.toolSel = s.feedSel = s.zSel = 1;
  std::vector<HpglPenSettings> table(4);
  for (int pen = 1; pen <= 3; ++pen) table[pen] = {1000.0 * pen, 200, -0.5, 12000, pen, true, 0};
  p.ApplySettings(s, table);
  ASSERT_TRUE(p.WriteGCode(file));
  const std::string nc = testsupport::ReadFile(file + ".nc");

  std::vector<Point> circle = {{300, 100}};
  gcodemoves::AppendArc(circle, 300, 100, 300, 110, 360);
  const gcodemoves::Strokes expect = {
      wave, {{200, 100}, {210, 100}, {210, 110}, {200, 110}, {200, 100}}, circle, {{150, 0}, {160, 0}}};
  EXPECT_LT(gcodemoves::Deviation(gcodemoves::InterpretedCuts(nc, true), expect), 1e-3);
  // Pen 1 comes back: a fourth tool change, with its own tool.
  size_t changes = 0;
  for (size_t at = nc.find("(Tool Change)"); at != std::string::npos; at = nc.find("(Tool Change)", at + 1)) ++changes;
  EXPECT_EQ(changes, 4u);
  EXPECT_NE(nc.find("M6 T3\nM3 S12000\n"), std::string::npos);
  EXPECT_NE(nc.find("M6 T1\nM3 S12000\nG0 Z5\nG0 X150 Y0\nG1 Z-0.5 F200\nG1 X160 F1000\n"), std::string::npos);
}

TEST(HpglPlotFile, ExampleDrawingRunsWithOneCutPerPath) {
  const std::string file = testsupport::MakeTempDir("hpglrun") + "/logo.plt";  // the program is written beside it
  testsupport::WriteFile(file, testsupport::ReadFile(std::string(QUORVANE_SOURCE_DIR) + "/examples/logo.plt"));
  HPGL_Parser p;
  ASSERT_TRUE(p.ReadHpglFile(file));
  ASSERT_TRUE(p.WriteGCode(file));
  size_t drawn = 0;
  for (const HpglPath& path : p.Paths()) drawn += !path.penUp && !path.elements.empty();
  EXPECT_EQ(gcodemoves::InterpretedCuts(testsupport::ReadFile(file + ".nc"), false).size(), drawn);
}

TEST(HpglSettingsFile, SaveAndLoadRoundTrip) {
  const auto fields = [](const HpglSettings& s) {
    return std::tuple(s.zSel, s.feedSel, s.toolSel, s.offsetSel, s.corel, s.metric, s.withLineNumbers, s.constVel,
                      s.zDepth, s.zFeed, s.spindleSpeed, s.feedrate, s.tool, s.topMat, s.zSafe);
  };
  const auto penFields = [](const HpglPenSettings& p) {
    return std::tuple(p.feed, p.zFeed, p.zDepth, p.spindleSpeed, p.tool, p.active, p.velocity);
  };
  HpglSettings s;
  s.zSel = 1, s.feedSel = 2, s.toolSel = 1, s.offsetSel = 2, s.corel = true, s.metric = false;
  s.withLineNumbers = true, s.constVel = false, s.zDepth = -2.25, s.zFeed = 150, s.spindleSpeed = 8000;
  s.feedrate = 650, s.tool = 7, s.topMat = 3.5, s.zSafe = 8;
  std::vector<HpglPenSettings> table(kHpglPenTableSize);
  table[3] = {750, 120, -0.8, 9000, 2, false, 12.5};
  const std::string path = testsupport::MakeTempDir("hpglset") + "/UserSettings.txt";
  {
    ParaFile f;
    ASSERT_TRUE(f.CreateNew(path));
    f.SetValue("Other", "kept");
    f.SetValue("CenterAbs", "1");
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
  EXPECT_EQ(fields(r), fields(s));
  ASSERT_EQ(rt.size(), static_cast<size_t>(kHpglPenTableSize));
  EXPECT_EQ(penFields(rt[3]), penFields(table[3]));
  EXPECT_TRUE(rt[4].active);
  LoadHpglMachineSettings(g, r);
  EXPECT_TRUE(r.centerAbs);
}
