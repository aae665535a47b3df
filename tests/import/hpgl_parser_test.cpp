// HPGL import: plots read, converted, and the programs run in the real
// interpreter so that tests compare the cut geometry; whole plot files and the
// stored settings.
#include "import/hpgl_parser.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "base/folders.h"
#include "motion/frontend.h"
#include "interpreter/gcodeparser.h"
#include "import/hpgl_settings.h"
#include "machine/machineconfig.h"
#include "machine/machinestate.h"
#include "params/parafile.h"
#include "common/testsupport.h"
#include "machine/tooltable.h"

namespace {

struct Point {
  double x, y;
};
using Strokes = std::vector<std::vector<Point>>;

// Appends the points of an arc every few degrees.
void AppendArc(std::vector<Point>& out, double x0, double y0, double cx, double cy, double sweepDeg) {
  const double a0 = std::atan2(y0 - cy, x0 - cx), r = std::hypot(x0 - cx, y0 - cy);
  const int steps = std::max(1, static_cast<int>(std::ceil(std::fabs(sweepDeg) / 5.0)));
  for (int s = 1; s <= steps; ++s) {
    const double a = a0 + sweepDeg * M_PI / 180.0 * s / steps;
    out.push_back({cx + r * std::cos(a), cy + r * std::sin(a)});
  }
}

// Collects the cut strokes: connected XY motion with G1/G2/G3 at or below Z 0,
// arcs flattened as AppendArc does.
class CutRecorder : public FrontEnd {
 public:
  void AddLine(const Coordinates& end, double, bool rapid, const Condition*, bool) override {
    if (auto* s = Cut(!rapid, end[0] != pos[0] || end[1] != pos[1], end)) s->push_back({end[0], end[1]});
    pos = end;
  }
  void AddArc(const Coordinates& end, const double c[3], double, int32_t, bool clockwise) override {
    if (auto* s = Cut(true, true, end)) {
      double sweep = (std::atan2(end[1] - c[1], end[0] - c[0]) - std::atan2(pos[1] - c[1], pos[0] - c[0])) * 180 / M_PI;
      if (!clockwise && sweep <= 1e-9) sweep += 360;
      if (clockwise && sweep >= -1e-9) sweep -= 360;
      AppendArc(*s, pos[0], pos[1], c[0], c[1], sweep);
    }
    pos = end;
  }
  void AddCmd(const StateChange&) override {}
  void GetPosition(Coordinates& position) override { position = pos; }

  Strokes strokes;

 private:
  // The stroke a move extends; null when it does not cut. A plunge while
  // cutting keeps the stroke open, any lift or rapid ends it.
  std::vector<Point>* Cut(bool feed, bool xy, const Coordinates& end) {
    if (!feed || pos[2] > 0 || end[2] > 0) {
      if (xy || end[2] > 0) open = false;
      return nullptr;
    }
    if (!xy) return nullptr;
    if (!open) strokes.push_back({{pos[0], pos[1]}});
    open = true;
    return &strokes.back();
  }
  Coordinates pos;
  bool open = false;
};

// A fresh machine on the parameter folder `params`.
void ResetMachine(const std::string& params) {
  ResetParameterFilesForTest();
  ResetMachineStateForTest();
  GetToolTable().Clear();
  GetMachineConfig() = MachineConfig();
  Folders::SetParameters(params);
}

// Largest distance between corresponding points; 1e300 when the counts differ.
double StrokeDistance(const Strokes& a, const Strokes& b) {
  double worst = a.size() == b.size() ? 0 : 1e300;
  for (size_t s = 0; s < a.size() && s < b.size(); ++s) {
    if (a[s].size() != b[s].size()) return 1e300;
    for (size_t p = 0; p < a[s].size(); ++p)
      worst = std::max(worst, std::hypot(a[s][p].x - b[s][p].x, a[s][p].y - b[s][p].y));
  }
  return worst;
}

// Runs the program text in the interpreter with generous soft limits and
// tools 1..99; centreAbs is the machine's setting for I and J. A failed run
// fails the calling test.
Strokes InterpretedCuts(const std::string& gcode, bool centreAbs) {
  const std::string path = testsupport::MakeTempDir("interp") + "/prog.nc";
  testsupport::WriteFile(path, gcode);
  ResetMachine(testsupport::MakeTempDir("interp-params"));
  OpenParameterFiles();
  MachineConfig& config = GetMachineConfig();
  config.centerAbs = centreAbs;
  for (AxisParams& axis : config.axis) axis.minPosition = -5000, axis.maxPosition = 5000;
  ToolRecord tool;  // every tool the programs change to
  tool.numP = -1;
  for (tool.numT = 1; tool.numT < 100; ++tool.numT) GetToolTable().Insert(tool);
  CutRecorder recorder;
  recorder.SetMachineState(&actState);
  {
    GCodeParser parser(&recorder, &actState);
    const int32_t state = parser.NewMainFile(path) != 0 ? parser.ExecuteProgram(false, 0) : -1;
    EXPECT_TRUE((state == RUN_RETURN || state == RUN_M30) && parser.RangeErrorCount() == 0)
        << parser.ErrorReportText() << "\n" << gcode.substr(0, 2000);
  }
  ResetMachine(testsupport::ScratchDir() + "/params");
  return std::move(recorder.strokes);
}

using SettingsEdit = std::function<void(HpglSettings&)>;

// Reads text as a plotter file and writes its program; the cut depth is -1.5
// so a cut is told from the safe height 5.
struct Converted {
  explicit Converted(const std::string& hpgl, const SettingsEdit& setup = nullptr,
                     const std::vector<HpglPenSettings>& table = {}) {
    file = testsupport::MakeTempDir("hpgl") + "/in.plt";
    testsupport::WriteFile(file, hpgl);
    EXPECT_TRUE(parser.ReadHpglFile(file)) << file;
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
    return StrokeDistance(InterpretedCuts(gcode, parser.Settings().centerAbs), expect);
  }
  bool Has(const std::string& text) const { return gcode.find(text) != std::string::npos; }
  HPGL_Parser parser;
  bool ok = false;
  std::string file, gcode;
};

// Arcs one after the other about `c`, from `start` (mm).
std::vector<Point> Arcs(Point start, Point c, std::initializer_list<double> sweeps) {
  std::vector<Point> arcs = {start};
  for (double sweep : sweeps) AppendArc(arcs, arcs.back().x, arcs.back().y, c.x, c.y, sweep);
  return arcs;
}
// Quarter circles about (0,0) from (1,0) mm to (0,1) and back.
std::vector<Point> QuarterArcs() { return Arcs({1, 0}, {0, 0}, {90, -90}); }

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
    std::string hpgl;
    SettingsEdit setup;
    Strokes cuts;
    std::vector<std::string> texts;
    std::string report = "";
    std::vector<HpglPenSettings> pens = {};
  } cases[] = {
      {"Corel units", "SP1;PD0,0,4000,0;PU;", [](HpglSettings& s) { s.corel = true; }, {{{0, 0}, {101.6, 0}}}, {}},
      {"header, numbering and heights from the material top", "SP1;PD0,0,40,0;",
       [](HpglSettings& s) { s.constVel = false, s.centerAbs = s.withLineNumbers = true, s.topMat = 1, s.zSafe = 2; },
       {{{0, 0}, {1, 0}}},
       {" )\n(circle mode JK absolute)\n%\n\nN10 G61 (exact stop mode)\nN20 G21 (Metrisch)\nN30 G90\n"
        "N40 G0 Z3 (move to secure Z-hight)\n\n", "G1 Z-0.5 F300\n", " M30\n%\n"}},
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
      // The box holds the extremes of a half and a (clamped) full circle, not the pen-up travel.
      {"offset lower left, arcs", "SP1;PU100,0;PD;AA0,0,180;AA0,0,-720;PU-1000,-1000;",
       [](HpglSettings& s) { s.offsetSel = 1; }, {Arcs({5, 2.5}, {2.5, 2.5}, {180, -360})}, {}},
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
      // SC without numbers: plotter units; degenerate scaling is ignored.
      {"SC off", "IP0,0,4000,4000;SC0,10,0,10;SC;SC5,5,0,10;SC0,0,0,0,2;IP0,0,0,0;SP1;PD0,0,40,0;", nullptr,
       {{{0, 0}, {1, 0}}}, {}},
      {"IP with two numbers moves P1 only", "IP0,0,4000,4000;IP400,400;SC0,100,0,100;SP1;PU0,0;PD100,100;", nullptr,
       {{{10, 10}, {110, 110}}}, {}},
      // Each point is scaled as it is drawn: what follows a stroke does not reach back over it.
      {"closing IN", "IN;IP2400,400;SC0,1800000,0,1300000;SP1;PU0,0;PD1800000,1300000;SP0;PU0,0;IN;", nullptr,
       {{{60, 10}, {310, 197.5}}}, {}},
      {"closing DF", "IP0,0,4000,4000;SC0,10,0,10;SP1;PU0,0;PD10,0;PU;DF;", nullptr, {{{0, 0}, {100, 0}}}, {}},
      // After the SC the pen stays where it is; relative moves are in the new units (100 x 75 plotter units).
      {"SC in mid-drawing", "SP1;PD100,100;SC0,100,0,100;PD200,0;PR1,1;", nullptr,
       {{{0, 0}, {2.5, 2.5}, {500, 0}, {502.5, 1.875}}}, {}},
      {"IP in mid-drawing", "IP0,0,4000,4000;SC0,10,0,10;SP1;PD10,0;IP4000,0,8000,4000;PD10,10;", nullptr,
       {{{0, 0}, {100, 0}, {200, 100}}}, {}},
      {"IP with one point, no SC", "IP400,400;SP1;PD40,0;", nullptr, {{{0, 0}, {1, 0}}}, {}},
      {"IP with two points, no SC", "IP0,0,4000,4000;SP1;PD40,0;", nullptr, {{{0, 0}, {1, 0}}}, {}},
      // A mirrored X axis turns the user's counter-clockwise arc clockwise on the paper.
      {"mirrored arc", "IN;IP0,0,4000,4000;SC10,0,0,10;SP1;PU0,0;PD;AA5,0,90;", nullptr,
       {Arcs({100, 0}, {50, 0}, {-90})}, {"G2 "}},
      // A scaling type that is no int (read as a number of 66 digits) ignores the SC.
      {"SC type out of range", "SC0,10,0,10,8" + std::string(65, '0') + ";SP1;PD40,0;", nullptr,
       {{{0, 0}, {1, 0}}}, {}},
  };
  for (const auto& c : cases) {
    Converted conv(c.hpgl, c.setup, c.pens);
    EXPECT_TRUE(conv.ok) << c.what;
    EXPECT_EQ(conv.parser.Report(), c.report) << c.what;
    EXPECT_LT(conv.Deviation(c.cuts), 1e-9) << c.what << "\n" << conv.gcode;
    for (const auto& t : c.texts)
      EXPECT_EQ(conv.Has(t[0] == '!' ? t.substr(1) : t), t[0] != '!') << c.what << ": " << t << "\n" << conv.gcode;
  }
}

// Under X and Y factors that differ, an arc of the file is an ellipse on the
// paper: the cut follows it within 0.01 mm and ends where the arc ends (the
// program's words have 4 decimals).
TEST(HpglWrite, AnisotropicArcIsCutAlongTheEllipse) {
  // User 0..100 onto 200 mm in X and 100 mm in Y; half an arc about (50,50), radius 50.
  Converted c("IN;IP0,0,8000,4000;SC0,100,0,100;SP1;PU100,50;PD;AA50,50,180;");
  ASSERT_TRUE(c.ok);
  const Strokes cuts = InterpretedCuts(c.gcode, false);
  ASSERT_EQ(cuts.size(), 1u) << c.gcode;
  ASSERT_GT(cuts[0].size(), 20u);
  EXPECT_LT(std::hypot(cuts[0].front().x - 200, cuts[0].front().y - 50), 1e-9);
  EXPECT_LT(std::hypot(cuts[0].back().x - 0, cuts[0].back().y - 50), 1e-4);
  for (size_t k = 1; k < cuts[0].size(); ++k) {
    const Point a = cuts[0][k - 1], b = cuts[0][k];
    const auto onEllipse = [](Point p) { return std::hypot((p.x - 100) / 100, (p.y - 50) / 50); };
    EXPECT_NEAR(onEllipse(b), 1, 2e-6);
    EXPECT_GT(b.y, 50 - 1e-4);  // counter-clockwise, over the top
    const Point mid = {(a.x + b.x) / 2, (a.y + b.y) / 2};
    EXPECT_GT(onEllipse(mid), 1 - 0.01 / 100 - 2e-6);
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
}

// What each read plot leaves: its paths as "<pen><u|d> x,y ..." lines, and the report.
TEST(HpglRead, PathsAndReports) {
  const struct { const char* hpgl; const char* paths; const char* report; } cases[] = {
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

// The example drawing (long point lists over line ends, repeated and relative
// points, full and half circles, three pens, a label) cuts what its paths
// draw: points and arcs flattened as the recorder does, 0.025 mm a unit.
TEST(HpglPlotFile, ExampleDrawingCutsItsPaths) {
  Converted c(testsupport::ReadFile(std::string(QUORVANE_SOURCE_DIR) + "/examples/logo.plt"));
  ASSERT_TRUE(c.ok);
  Strokes drawn;
  for (const HpglPath& path : c.parser.Paths()) {
    if (path.penUp || path.elements.empty()) continue;
    std::vector<Point>& s = drawn.emplace_back(1, Point{path.startX * 0.025, path.startY * 0.025});
    for (const HpglElement& e : path.elements)  // a repeated point moves nowhere
      if (e.kind == HPGL_ARC)
        AppendArc(s, s.back().x, s.back().y, e.cx * 0.025, e.cy * 0.025, e.angle);
      else if (e.x * 0.025 != s.back().x || e.y * 0.025 != s.back().y)
        s.push_back({e.x * 0.025, e.y * 0.025});
  }
  EXPECT_GT(drawn.size(), 5u);
  EXPECT_LT(c.Deviation(drawn), 1e-6);
}

// Every stored key loads into the settings and is written back as it was;
// untouched pen rows are not written, other keys in the file are kept.
TEST(HpglSettingsFile, LoadAndSaveRoundTrip) {
  const std::string stored =
      "HPGL_ZSel=1\nHPGL_FeedSel=2\nHPGL_ToolSel=1\nHPGL_OffsetSel=2\nHPGL_Corel=1\nHPGL_metric=0\nHPGL_withln=1\n"
      "HPGL_constVel=0\nHPGL_ZTiefe=-2.25\nHPGL_ZFeed=150.0\nHPGL_SpindelSpeed=8000.0\nHPGL_Feedrate=650.0\n"
      "HPGL_Tool=7\nHPGL_TopMat=3.5\nHPGL_ZG0=8.0\nHPGL_Speed_03=750.0\nHPGL_ZFeed_03=120.0\nHPGL_ZValue_03=-0.8\n"
      "HPGL_SSpeed_03=9000.0\nHPGL_AssTool_03=2\nHPGL_PenActive_03=0\nHPGL_VS_03=12.5\n";
  const std::string dir = testsupport::MakeTempDir("hpglset");
  testsupport::WriteFile(dir + "/in.txt", "CenterAbs=1\n" + stored);
  ParaFile in, out;
  ASSERT_TRUE(in.OpenExisting(dir + "/in.txt"));
  HpglSettings s;
  std::vector<HpglPenSettings> table;
  LoadHpglSettings(in, s, table), LoadHpglMachineSettings(in, s);
  ASSERT_EQ(table.size(), static_cast<size_t>(kHpglPenTableSize));
  EXPECT_TRUE(s.centerAbs && table[4].active);
  ASSERT_TRUE(out.CreateNew(dir + "/out.txt"));
  out.SetValue("Other", "kept");
  EXPECT_TRUE(SaveHpglSettings(out, s, table));
  EXPECT_EQ(testsupport::ReadFile(dir + "/out.txt"), "Other=kept\n" + stored);
}
