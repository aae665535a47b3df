// Building a preview: the soft-limit result of the run, and a build on its
// own thread with progress and cancel.
#include "preview/previewbuilder.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "common/interpreter_fixture.h"
#include "interpreter/macroparser.h"
#include "machine/machineconfig.h"

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
  const char* bodies[] = {"REPEAT=1000000000\nG1 X10 F6000\nG1 X0\nNEXT\n", "CALL \"spin.txt\"\n"};
  for (const char* body : bodies) {
    SCOPED_TRACE(body);
    PreviewBuild build(Program("endless.nc", std::string("%\n") + body));
    build.Start();
    ASSERT_TRUE(Eventually([&] { return build.LinesDone() >= 2; }));
    build.Cancel();
    ASSERT_TRUE(Eventually([&] { return build.Finished(); }));
    const PreviewResult& r = build.Result();
    EXPECT_TRUE(r.cancelled);
    EXPECT_FALSE(r.Failed());
    EXPECT_EQ(RUN_ERROR, r.runState);
    EXPECT_FALSE(build.Path()->Finished());
    EXPECT_GT(build.Path()->Moves().Size(), 2u);
  }
}
