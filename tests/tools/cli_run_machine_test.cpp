// quorvane-cli run --machine on the veth lab: the same preview, progress and
// summary as in simulation, on the soft module found on the adapter.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "common/netlab.h"
#include "common/testsupport.h"

namespace {

const std::string kExamples = std::string(QUORVANE_SOURCE_DIR) + "/examples";
const std::string kSetup = " --params " + kExamples + "/params --macros " + kExamples + "/macros ";

class CliRunMachineTest : public ::testing::Test {
 protected:
  void SetUp() override { dir = testsupport::MakeTempDir("clirunmachine"); }
  int Run(const std::string& args) {
    const auto r = testsupport::RunCommand(std::string(QUORVANE_CLI) + " run " + args + " 2>" + dir + "/err.txt");
    out = r.text;
    err = testsupport::ReadFile(dir + "/err.txt");
    return r.status;
  }
  bool Out(const std::string& text) const { return out.find(text) != std::string::npos; }
  std::string dir, out, err;
};

TEST_F(CliRunMachineTest, ProgramRunsOnTheModuleOfTheAdapter) {
  std::unique_ptr<netlab::Lab> lab;
  try {
    lab = std::make_unique<netlab::Lab>();
  } catch (const std::exception& e) {
    FAIL() << e.what();
  }
  netlab::ModSim sim(*lab, {"--mac", netlab::ModuleMacText(1), "--model", "Korrin", "--path", "--axes", "4"});
  const std::string file = dir + "/part.nc";
  // The example set's G54 zero is machine X100 Y100 Z-60.
  testsupport::WriteFile(file, "%\nG90 G54 G0 X0 Y0 Z5\nG1 Z-1 F600\nG1 X20 F1200\nM30\n");
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
  const std::string file = dir + "/part.nc";
  testsupport::WriteFile(file, "%\nG0 X1\nM30\n");
  EXPECT_EQ(Run(kSetup + "--adapter qvhost " + file), 2) << "an adapter picks the machine's modules";
  EXPECT_EQ(Run(kSetup + "--machine --speed 2 " + file), 2) << "the machine runs at its own pace";
  EXPECT_EQ(Run(kSetup + "--machine --adapter no-such-adapter " + file), 1);
  EXPECT_EQ(out, "result: not started (no usable adapter no-such-adapter)\n");
}

}  // namespace
