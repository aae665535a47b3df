// Runs the built quorvane-cli with its "run" command as a child process, on the
// simulation and (--machine) on a soft module of the veth lab.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "common/netlab.h"
#include "common/testsupport.h"

namespace {

const std::string kExamples = std::string(QUORVANE_SOURCE_DIR) + "/examples";
const std::string kParams = kExamples + "/params";
const std::string kSetup = " --params " + kParams + " --macros " + kExamples + "/macros ";

class CliRunTest : public ::testing::Test {
 protected:
  void SetUp() override { dir = testsupport::MakeTempDir("clirun"); }
  std::string Program(const std::string& text) {
    testsupport::WriteFile(dir + "/part.nc", text);
    return dir + "/part.nc";
  }
  // `quorvane-cli run args`, stdout and stderr apart; returns the exit status.
  int Run(const std::string& args, bool stopAtLine4 = false) {
    const auto r = testsupport::RunCommand(std::string(QUORVANE_CLI) + " run " + args + " 2>" + dir + "/err.txt" +
                                           (stopAtLine4 ? Stopper() : ""));
    out = r.text;
    err = testsupport::ReadFile(dir + "/err.txt");
    return r.status;
  }
  // Runs the program at speed 0 with the example set.
  int RunFast(const std::string& file, const std::string& options = "") {
    return Run(kSetup + "--speed 0 " + options + file);
  }
  // Sends SIGINT once the move of line 4 runs; the loops only bound a hang.
  std::string Stopper() const {
    return " & p=$!; i=0; while ! grep -q 'progress: line 4/' " + dir +
           "/err.txt && [ $i -lt 600 ]; do sleep 0.05; i=$((i+1)); done; kill -INT $p; i=0; "
           "while kill -0 $p 2>/dev/null && [ $i -lt 400 ]; do sleep 0.05; i=$((i+1)); done; "
           "kill -KILL $p 2>/dev/null; wait $p";
  }
  bool Out(const std::string& text) const { return out.find(text) != std::string::npos; }
  std::string dir, out, err;
};

TEST_F(CliRunTest, CleanRunEndsAtTheProgramsEndPoint) {
  // The example set's G54 zero is machine X100 Y100 Z-60.
  const std::string file = Program("%\nG90 G54\nG0 X0 Y0 Z5\nG1 Z-1 F600\nG1 X20 F1200\nM30\n");
  const std::string before = testsupport::ReadFile(kParams + "/ParameterTable.txt");
  const auto filesBefore = std::distance(std::filesystem::directory_iterator(kParams), {});
  ASSERT_EQ(RunFast(file), 0) << out << err;
  EXPECT_TRUE(Out("result: completed")) << out;
  EXPECT_TRUE(Out("machine position: X120.000 Y100.000 Z-61.000")) << out;
  EXPECT_TRUE(Out("work position: X20.000 Y0.000 Z-1.000")) << out;
  // Rapid 1.1 s (Z 55 mm at 50 mm/s), 6 mm at 10 mm/s, 20 mm at 20 mm/s.
  const size_t at = out.find("simulated time: ");
  ASSERT_NE(at, std::string::npos) << out;
  EXPECT_NEAR(std::atof(out.c_str() + at + 16), 2.7, 0.05) << out;
  // Not a terminal: plain progress lines; the last shows the M30 line of 6, all done.
  const size_t last = err.rfind("progress: line ");
  ASSERT_NE(last, std::string::npos) << err;
  EXPECT_EQ(err.compare(last, 29, "progress: line 6/6 100% elaps"), 0) << err;
  EXPECT_EQ(err.find('\r'), std::string::npos);
  // The given parameter folder is only read.
  EXPECT_EQ(testsupport::ReadFile(kParams + "/ParameterTable.txt"), before);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(kParams), {}), filesBefore);
}

TEST_F(CliRunTest, RangeErrorInThePreviewStopsUnlessIgnored) {
  const std::string file = Program("%\nG90 G54\nG0 X0 Y0 Z5\nG1 X10 F600\nG1 X600\nG1 Y5\nM30\n");
  ASSERT_EQ(RunFast(file), 1) << out << err;
  EXPECT_TRUE(Out("range errors: 2, first: number out of range line 5")) << out;
  EXPECT_TRUE(Out("outside the upper(1) limit of axis X")) << out;
  EXPECT_TRUE(Out("result: not started")) << out;
  EXPECT_FALSE(Out("machine position")) << out;
  ASSERT_EQ(RunFast(file, "--ignore-range "), 1) << out;
  EXPECT_TRUE(Out("result: error: number out of range line 5")) << out;
  EXPECT_TRUE(Out("work position: X10.000 Y0.000 Z5.000")) << out;
}

TEST_F(CliRunTest, SigintStopsTheRunAtTheReachedLine) {
  // The move of line 4 takes 40 s at speed 1.
  const std::string file = Program("%\nG90 G54\nG0 X0 Y0 Z5\nG1 X400 F600\nG1 Y200\nM30\n");
  EXPECT_EQ(Run(kSetup + "--speed 1 " + file, true), 130) << out << err;
  EXPECT_TRUE(Out("result: stopped (user break)")) << out;
  EXPECT_TRUE(Out("line 4")) << out;
}

TEST_F(CliRunTest, PausesAndDialogsAreAnsweredFromTheFile) {
  const std::string file = Program("%\nG90 G54\nG0 X0 Y0 Z5\nM0\nG1 X10 F600\nM1\nG1 X20\nM30\n");
  ASSERT_EQ(RunFast(file), 0) << out << err;
  EXPECT_NE(err.find("pause at line 4: continue"), std::string::npos) << err;
  EXPECT_NE(err.find("pause at line 6: continue"), std::string::npos) << err;
  EXPECT_TRUE(Out("work position: X20.000")) << out;
  testsupport::WriteFile(dir + "/answers.txt", "; first pause goes on, the second stops\ncontinue\nstop\n");
  ASSERT_EQ(RunFast(file, "--answers " + dir + "/answers.txt "), 1) << out << err;
  EXPECT_TRUE(Out("result: stopped (user break)")) << out;
  EXPECT_TRUE(Out("line 6")) << out;
  EXPECT_TRUE(Out("work position: X10.000")) << out;
  // A dialog of the plate example takes its answer from the file too.
  testsupport::WriteFile(dir + "/answers.txt", "# holes\n2\n");
  ASSERT_EQ(RunFast(kExamples + "/plate.nc", "--answers " + dir + "/answers.txt "), 0) << out << err;
  EXPECT_TRUE(Out("-> 2")) << out;
  EXPECT_TRUE(Out("holes bored: 2")) << out;
}

// A CAM file whose only '%' closes it (trailing blank lines too): nothing
// runs, and the summary says so.
TEST_F(CliRunTest, ProgramWithOnlyAClosingPercentIsEmpty) {
  ASSERT_EQ(RunFast(Program("G90 G54\nG0 X10 Y0 Z5\nM30\n%\n\n \n")), 0) << out << err;
  EXPECT_TRUE(Out("result: empty program\n")) << out;
  EXPECT_TRUE(Out("  Warning: program is empty: no line after the '%' in line 4\n")) << out;
  EXPECT_TRUE(Out("work position: X0.000 Y0.000 Z0.000")) << out;
}

TEST_F(CliRunTest, BadArgumentsFilesAndPrograms) {
  EXPECT_EQ(Run(""), 2);
  EXPECT_NE(err.find("usage: quorvane-cli run"), std::string::npos) << err;
  EXPECT_EQ(Run("--speed -3 x.nc"), 2);
  EXPECT_EQ(Run("--params " + kParams + " " + dir + "/missing.nc"), 1);
  EXPECT_NE(err.find("cannot open"), std::string::npos) << err;
  EXPECT_EQ(Run("--params " + kParams + " --answers " + dir + "/none.txt " + Program("%\nM30\n")), 1);
  EXPECT_NE(err.find("cannot read answers file"), std::string::npos) << err;
  EXPECT_EQ(RunFast(Program("%\nG90 G54\nG0 X0 Y0 Z5\nG1 X10 F600\nG1 X20 Q\nM30\n")), 1) << out << err;
  EXPECT_TRUE(Out("line 5")) << out;
}

// The same preview, progress and summary as in simulation, on the soft
// module found on the adapter.
using CliRunMachineTest = CliRunTest;

TEST_F(CliRunMachineTest, ProgramRunsOnTheModuleOfTheAdapter) {
  std::unique_ptr<netlab::Lab> lab;
  try {
    lab = std::make_unique<netlab::Lab>();
  } catch (const std::exception& e) {
    FAIL() << e.what();
  }
  netlab::ModSim sim(*lab, {"--mac", netlab::ModuleMacText(1), "--model", "Korrin", "--path", "--axes", "4"});
  const std::string file = Program("%\nG90 G54 G0 X0 Y0 Z5\nG1 Z-1 F600\nG1 X20 F1200\nM30\n");
  ASSERT_EQ(Run(kSetup + "--machine --adapter " + netlab::Lab::kHostIface + " " + file), 0) << out << err;
  EXPECT_TRUE(Out("result: completed\n")) << out;
  EXPECT_TRUE(Out("machine position: X120.000 Y100.000 Z-61.000\n")) << out;
  EXPECT_TRUE(Out("work position: X20.000 Y0.000 Z-1.000\n")) << out;
  const size_t planned = out.find("estimated time: "), wall = out.find("wall time: ");
  ASSERT_NE(planned, std::string::npos) << out;
  ASSERT_NE(wall, std::string::npos) << out;
  // Motion at the machine's pace, not as fast as it streams; the close
  // timing is the machine lab's test, this bound only catches a run made
  // twice or a stall (it holds on a busy machine).
  const double p = std::atof(out.c_str() + planned + 16), w = std::atof(out.c_str() + wall + 11);
  EXPECT_GT(w, p);
  EXPECT_LT(w, 2 * p + 2.0);
  EXPECT_TRUE(Out("points streamed: ")) << out;
  EXPECT_NE(err.find("module #56000001 Korrin "), std::string::npos) << err;
  EXPECT_NE(err.find("progress: line 5/5 100%"), std::string::npos) << err;

  sim.Stop();
  EXPECT_EQ(Run(kSetup + "--machine --adapter " + netlab::Lab::kHostIface + " " + file), 1);
  EXPECT_EQ(out, "result: not started (no controller module found)\n");
}

TEST_F(CliRunMachineTest, MachineOptionsAreCheckedBeforeAnythingRuns) {
  const std::string file = Program("%\nG0 X1\nM30\n");
  EXPECT_EQ(Run(kSetup + "--adapter qvhost " + file), 2) << "an adapter picks the machine's modules";
  EXPECT_EQ(Run(kSetup + "--machine --speed 2 " + file), 2) << "the machine runs at its own pace";
  EXPECT_EQ(Run(kSetup + "--machine --adapter no-such-adapter " + file), 1);
  EXPECT_EQ(out, "result: not started (no usable adapter no-such-adapter)\n");
}

}  // namespace
