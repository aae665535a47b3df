// Building a preview: the soft-limit result of the run, and a build on its
// own thread with progress and cancel.
#include "preview/previewbuilder.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "common/interpreter_fixture.h"
#include "base/folders.h"
#include "interpreter/macroparser.h"
#include "machine/machineconfig.h"
#include "machine/machinestate.h"
#include "machine/transformation.h"
#include "preview/toolpath.h"
#include "simulation/programplan.h"

namespace {

class PreviewBuildTest : public testsupport::InterpreterTest<MacroParser> {
 protected:
  void SetUp() override {
    InterpreterTest::SetUp();
    MachineConfig& cfg = GetMachineConfig();
    for (int i = 0; i < 3; ++i) cfg.axis[i].minPosition = -100, cfg.axis[i].maxPosition = 100;
  }
  // Waits (bounded) until cond holds.
  template <class F>
  static bool Eventually(F cond) {
    for (int i = 0; i < 2000 && !cond(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return cond();
  }
};

}  // namespace

// Moves outside the limits are counted, the first is named, and the path
// still shows them; other errors end the build as a failure of its own.
TEST_F(PreviewBuildTest, TheRunIsTheSoftLimitCheck) {
  const struct {
    const char* body;
    int32_t count;
    const char* report;
    bool failed;
  } cases[] = {
      {"G0 X10\nG1 X150 F600\nG1 Y-120\nG0 X0 Y0\n", 2,
       "range errors: 2, first: number out of range line 3 column 3\n"
       "The toolpath was outside the upper(1) limit of axis X.",
       false},
      {"G0 X10\nG1 X20 Q\n", 0, "", true},
      {"G0 X10\nG1 X20 F600\n", 0, "", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.body);
    PreviewBuild build(Program("limits.nc", std::string("%\n") + c.body));
    const PreviewResult& r = build.Run();
    ASSERT_TRUE(r.loaded);
    EXPECT_EQ(c.count, r.rangeErrorCount);
    EXPECT_EQ(c.failed, r.Failed());
    if (c.count) {
      EXPECT_EQ(c.report, r.RangeReport());
      EXPECT_NE(std::string::npos, r.RangeQuestion().find("upper(1) limit of axis X"));
      // The move beyond the limit is in the picture, where it goes.
      EXPECT_EQ(150, build.Path()->Bounds().max[0]);
    }
  }
  PreviewBuild missing(workDir + "/none.nc");
  EXPECT_FALSE(missing.Run().loaded);
}

// A build on its own thread reports its lines and ends with the path.
TEST_F(PreviewBuildTest, BackgroundBuildReportsProgressToTheEnd) {
  std::string body = "%\nF6000\n";
  for (int i = 0; i < 3000; ++i) body += "G1 X" + std::to_string(i % 50) + " Y" + std::to_string(i % 7) + "\n";
  body += "M30\n";
  PreviewBuild build(Program("long.nc", body));
  build.Start();
  const PreviewResult& r = build.Result();
  EXPECT_TRUE(build.Finished());
  EXPECT_EQ(RUN_M30, r.runState) << r.errorReport;
  EXPECT_GE(r.totalLines, 3003);
  EXPECT_EQ(3003, build.LinesDone());  // the M30 line
  EXPECT_EQ(1.0, build.Fraction());
  EXPECT_TRUE(build.Path()->Finished());
  EXPECT_GE(build.Path()->Moves().Size(), 2999u);
}

// Cancel ends a build that would never end: a loop in the main file, and
// one in a called file, whose lines do not pass the line check.
TEST_F(PreviewBuildTest, CancelEndsAnEndlessBuild) {
  Macro("spin.txt", "%\nM99\nSimulation\nREPEAT=1000000000\nG1 X10 F6000\nG1 X0\nNEXT\nM99\n");
  // The main file's loop has run once when line 4 is reached; the called
  // file's loop runs some time after the CALL line.
  const struct { const char* body; int32_t line; size_t segments; } cases[] = {
      {"REPEAT=1000000000\nG1 X10 F6000\nG1 X0\nNEXT\n", 4, 2}, {"CALL \"spin.txt\"\n", 2, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.body);
    PreviewBuild build(Program("endless.nc", std::string("%\n") + c.body));
    build.Start();
    ASSERT_TRUE(Eventually([&] { return build.LinesDone() >= c.line; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    build.Cancel();
    ASSERT_TRUE(Eventually([&] { return build.Finished(); }));
    const PreviewResult& r = build.Result();
    EXPECT_TRUE(r.cancelled);
    EXPECT_FALSE(r.Failed());
    EXPECT_EQ(RUN_ERROR, r.runState);
    EXPECT_FALSE(build.Path()->Finished());
    EXPECT_GE(build.Path()->Moves().Size(), c.segments);
  }
}

// The estimate is the planner's, made in the preview's own pass: it equals
// a separate planning run of the same file, and short CAM segments with
// corners take clearly longer than length over feed says.
TEST_F(PreviewBuildTest, EstimateIsThePlannedTimeOfTheSamePass) {
  std::string zigzag = "F3000\n";
  for (int i = 1; i <= 400; ++i) zigzag += "G1 X" + std::to_string(i * 0.2) + " Y" + (i % 2 ? "0.2" : "0") + "\n";
  const struct {
    const char* name;
    std::string body;
    double minPlannedOverFeed;  // planned / feed-only at least
  } cases[] = {
      {"short segments", zigzag, 2.0},
      {"arcs and a dwell", "G0 X10 Y0\nG2 X10 Y0 I-10 F1200\nG4 P0.5\nG1 X30 Y5 F2400\n", 1.0},
      // G92 and the waits it makes: both stages must see the same offsets.
      {"offset mid-way", "G54\nG0 X5 Y5\nG92 X0 Y0\nG1 X20 F1800\nG0 Z5\nG1 Y30 F600\n", 1.0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string file = Program("plan.nc", "%\n" + c.body);
    PreviewBuild build(file);
    const PreviewResult& r = build.Run();
    ASSERT_FALSE(r.Failed()) << r.errorReport;
    const ProgramPlan separate = PlanProgram(file, actState);
    EXPECT_GT(r.plannedSeconds, 0);
    EXPECT_NEAR(separate.summary.plannedSeconds, r.plannedSeconds, 1e-9);
    EXPECT_EQ(r.plannedSeconds, build.Path()->EstimatedSeconds());
    EXPECT_GE(build.Path()->EstimatedSeconds(), c.minPlannedOverFeed * build.Path()->FeedSeconds());
  }
  PreviewSettings feedsOnly;
  feedsOnly.planTime = false;
  PreviewBuild quick(Program("plan.nc", "%\n" + zigzag), feedsOnly);
  EXPECT_EQ(-1, quick.Run().plannedSeconds);
  EXPECT_EQ(quick.Path()->FeedSeconds(), quick.Path()->EstimatedSeconds());
}

// What a program writes to offsets and variables moves the drawn path and
// stays in the preview: the operator's offsets, the working transformation
// and the files are as before, and no variable is left to be written.
TEST_F(PreviewBuildTest, OffsetWritesMoveThePathButNotTheOperatorsOffsets) {
  MachineConfig& cfg = GetMachineConfig();
  cfg.offsets[0] = Coordinates(40, 0, 0);
  SaveMachineConfig();
  actState.SetCurrOffsetFromFile(1);
  actState.WriteVars();
  const std::string params = testsupport::ReadFile(Folders::Join(Folders::Parameters(), "ParameterTable.txt"));
  const std::string vars = testsupport::ReadFile(Folders::Join(Folders::Parameters(), "VariableTable.txt"));
  PreviewBuild build(Program("offsets.nc",
                             "%\nG0 X0 Y0\nG92 X10 Y0\nG0 X10 Y10\nG10 L2 P2 X7\nG55 G0 X0 Y0\n"
                             "G54\n#900=-20\nG0 X0 Y0\n#500=3\n"));
  build.Start();
  const PreviewResult& r = build.Result();
  ASSERT_FALSE(r.Failed()) << r.errorReport;
  // Line: machine position its move ends at.
  const struct { int32_t line; double x, y; } moves[] = {{2, 40, 0}, {4, 40, 10}, {6, 7, 0}, {9, -20, 0}};
  for (const auto& m : moves) {
    SCOPED_TRACE(m.line);
    const auto ranges = ToolPath::SegmentsOfLine(build.Path()->Moves(), m.line);
    ASSERT_FALSE(ranges.empty());
    const PathSegment& s = build.Path()->Moves()[ranges.back().first + ranges.back().count - 1];
    EXPECT_NEAR(m.x, s.end[0], 1e-4);
    EXPECT_NEAR(m.y, s.end[1], 1e-4);
  }
  EXPECT_EQ(40, cfg.offsets[0][0]);
  EXPECT_EQ(0, cfg.offsets[1][0]);
  EXPECT_EQ(40, actState.GetTransformation()->GetOffset()[0]);
  EXPECT_EQ(40, GetWorkTransformation(0).GetOffset()[0]);
  EXPECT_EQ(40, actState.GetVar(900));
  EXPECT_FALSE(Parameters::IsDirty(500));
  EXPECT_FALSE(Parameters::IsDirty(900));
  EXPECT_EQ(params, testsupport::ReadFile(Folders::Join(Folders::Parameters(), "ParameterTable.txt")));
  EXPECT_EQ(vars, testsupport::ReadFile(Folders::Join(Folders::Parameters(), "VariableTable.txt")));
}
