// quorvane-cli mdi: an MDI text on the simulated machine, and G74 homing on
// the soft module of the veth lab with its home switches.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <memory>
#include <sstream>
#include <string>

#include "common/netlab.h"
#include "common/testsupport.h"

namespace {

const std::string kExamples = std::string(QUORVANE_SOURCE_DIR) + "/examples";

class CliMdiTest : public ::testing::Test {
 protected:
  void SetUp() override { dir = testsupport::MakeTempDir("climdi"); }
  int Run(const std::string& args) {
    const auto r = testsupport::RunCommand(std::string(QUORVANE_CLI) + " mdi " + args + " 2>" + dir + "/err.txt");
    out = r.text;
    err = testsupport::ReadFile(dir + "/err.txt");
    return r.status;
  }
  bool Out(const std::string& text) const { return out.find(text) != std::string::npos; }
  // A copy of the example parameters with these keys changed, and the
  // mapping table given; returns its folder.
  std::string Params(const std::string& name, const std::map<std::string, std::string>& keys,
                     const std::string& mapping) {
    const std::string params = dir + "/" + name;
    std::filesystem::copy(kExamples + "/params", params, std::filesystem::copy_options::recursive);
    std::istringstream in(testsupport::ReadFile(params + "/ParameterTable.txt"));
    std::string line, text;
    std::map<std::string, std::string> left = keys;
    while (std::getline(in, line)) {
      const std::string key = line.substr(0, line.find('='));
      auto k = left.find(key);
      if (k != left.end()) {
        line = key + "=" + k->second;
        left.erase(k);
      }
      text += line + "\n";
    }
    for (const auto& [key, value] : left) text += key + "=" + value + "\n";
    testsupport::WriteFile(params + "/ParameterTable.txt", text);
    testsupport::WriteFile(params + "/MappingTable.txt", mapping);
    return params;
  }
  std::string dir, out, err;
};

TEST_F(CliMdiTest, TextRunsOnTheSimulationAndBadInputIsRefused) {
  const std::string setup = " --params " + kExamples + "/params --macros " + kExamples + "/macros --speed max ";
  ASSERT_EQ(Run(setup + "'G90 G0 X10 Y20\nG1 X12 F600'"), 0) << out << err;
  EXPECT_TRUE(Out("result: completed\nmachine position: X12.000 Y20.000 Z0.000\n")) << out;
  EXPECT_NE(err.find("progress: line 2/2 100%"), std::string::npos) << err;
  EXPECT_EQ(Run(setup + "'G0 X5 Q'"), 1);
  EXPECT_TRUE(Out("result: error: number or formula expected line 1 column 6\n")) << out;
  EXPECT_EQ(Run(setup + "--ignore-range G0"), 2) << "nothing is previewed";
  EXPECT_EQ(Run(setup), 2) << "no text";
}

// G74 homes X and Z at their switches (Y has none) and sets the home
// position; an axis whose switch never comes ends with the reason.
TEST_F(CliMdiTest, HomingOnTheModuleOfTheAdapter) {
  std::unique_ptr<netlab::Lab> lab;
  try {
    lab = std::make_unique<netlab::Lab>();
  } catch (const std::exception& e) {
    FAIL() << e.what();
  }
  const std::string params =
      Params("homes", {{"HomeSwitchMode_00", "1"}, {"HomeSwitchMode_02", "4"}, {"HomePosition_02", "-1"},
              {"RefOffset_00", "1"}, {"RefOffset_02", "0.5"}, {"RefTolerance_00", "0.2"}, {"RefTolerance_02", "0.2"},
              {"RefInching_00", "2"}, {"RefInching_02", "2"}, {"RefVelocity_00", "40"}, {"RefVelocity_02", "40"}},
             "NumInputs=2\n"
             "inSignal_00=30\ninPin_00=30\ninName_00=home X\ninHasRange_00=0\ninInvert_00=0\n"
             "inSignal_01=32\ninPin_01=32\ninName_01=home Z\ninHasRange_01=0\ninInvert_01=0\n");
  // X's switch 20 mm below the start, Z's 10 mm above.
  netlab::ModSim sim(*lab, {"--mac", netlab::ModuleMacText(1), "--model", "Korrin", "--path", "--axes", "4",
                            "--switch", "8:X<=-8000", "--switch", "10:Z>=4000"});
  const std::string setup = " --params " + params + " --macros " + kExamples + "/macros --machine --adapter " +
                            netlab::Lab::kHostIface + " ";
  ASSERT_EQ(Run(setup + "G74"), 0) << out << err;
  EXPECT_TRUE(Out("result: completed\n")) << out;
  EXPECT_TRUE(Out("machine position: X0.000 Y0.000 Z-1.000\n")) << out;
  EXPECT_TRUE(Out("homed axes: XZ\n")) << out;

  // Y homes towards minus over a short travel, without a switch.
  const std::string noSwitch = Params("noswitch", {{"HomeSwitchMode_01", "1"}, {"MaxPosition_01", "4"}},
                                      "NumInputs=1\ninSignal_00=31\ninPin_00=31\ninName_00=home Y\n"
                                      "inHasRange_00=0\ninInvert_00=0\n");
  EXPECT_EQ(Run(" --params " + noSwitch + " --macros " + kExamples + "/macros --machine --adapter " +
                netlab::Lab::kHostIface + " 'G74 Y0'"),
            1)
      << out << err;
  EXPECT_TRUE(Out("result: error: Home switch not reached\n")) << out;
  EXPECT_TRUE(Out("homed axes: none\n")) << out;
}

}  // namespace
