// quorvane-cli interp with the macro language: PRINT and dialogs act only
// on the simulation, not on a view; answers come from --answers.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <string>

#include "testsupport.h"

namespace {

using Output = testsupport::CommandOutput;

Output Interp(const std::string& args) {
  return testsupport::RunCommand(std::string(QUORVANE_CLI) + " interp " + args + " 2>/dev/null");
}

class CliInterpMacroTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = testsupport::MakeTempDir("interp-macro");
    program = dir + "/p.nc";
    testsupport::WriteFile(program,
                           "%\n#0=2\nASKINT \"Passes\" I1 J4\nPRINT \"passes=\";#0\nREPEAT=#0\nG0 X=#0\nNEXT\n");
  }
  bool Has(const Output& o, const std::string& line) const { return o.text.find(line + "\n") != std::string::npos; }
  std::string dir, program;
};

TEST_F(CliInterpMacroTest, SimulationAnswersFromTheFile) {
  testsupport::WriteFile(dir + "/answers.txt", "; first dialog\n3\n");
  const Output o = Interp("--answers " + dir + "/answers.txt " + program);
  EXPECT_EQ(0, o.status) << o.text;
  EXPECT_TRUE(Has(o, "MSG ASK ASKINT \"Enter number\" \"Passes\" [1..4] value=2 -> 3")) << o.text;
  EXPECT_TRUE(Has(o, "MSG passes=3.0")) << o.text;
  EXPECT_TRUE(Has(o, "CMD t=3 M N1000 FL0 ARG0.0000")) << o.text;
  size_t moves = 0;
  for (size_t p = o.text.find("LINE "); p != std::string::npos; p = o.text.find("LINE ", p + 1)) ++moves;
  EXPECT_EQ(3u, moves);
}

TEST_F(CliInterpMacroTest, DefaultsWithoutAnswersAndNothingOnAView) {
  Output o = Interp(program);
  EXPECT_TRUE(Has(o, "MSG passes=2.0")) << o.text;
  o = Interp("--view " + program);
  EXPECT_EQ(0, o.status);
  EXPECT_EQ(std::string::npos, o.text.find("passes=")) << o.text;
  EXPECT_EQ(std::string::npos, o.text.find("MSG ASK")) << o.text;
  EXPECT_EQ(2, Interp("--answers " + dir + "/none.txt " + program).status);
}

}  // namespace
