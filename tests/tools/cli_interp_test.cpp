// quorvane-cli interp: the printed calls, the result line and the exit
// status. PRINT and dialogs act only on the simulation, not on a view;
// answers come from --answers.
#include <gtest/gtest.h>

#include <string>

#include "common/testsupport.h"

namespace {

using Output = testsupport::CommandOutput;

Output Interp(const std::string& args) {
  return testsupport::RunCommand(std::string(QUORVANE_CLI) + " interp " + args + " 2>/dev/null");
}
bool HasLine(const Output& o, const std::string& line) { return o.text.find(line + "\n") != std::string::npos; }

class CliInterpTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = testsupport::MakeTempDir("interp");
    macros = testsupport::MakeTempDir("interp-macros");
  }
  Output Run(const std::string& program, const std::string& options = "") {
    testsupport::WriteFile(dir + "/p.nc", program);
    return Interp(options + "--params " + dir + " --macros " + macros + " " + dir + "/p.nc");
  }
  std::string dir, macros;
  const std::string askProgram = "%\n#0=2\nASKINT \"Passes\" I1 J4\nPRINT \"passes=\";#0\nREPEAT=#0\nG0 X=#0\nNEXT\n";
};

TEST_F(CliInterpTest, PrintsEveryCallAndTheEnd) {
  const Output o = Run("%\nG0 X10 Y5\nS1000 M3\nG1 X20 F600\nG2 X30 Y15 I0 J10\nM30\n");
  EXPECT_EQ(0, o.status) << o.text;
  for (const char* line : {
           "LINE t=2 X10.0000 Y5.0000 Z0.0000 A0.0000 B0.0000 C0.0000 U0.0000 V0.0000 W0.0000 F-1.0000 R1",
           "CMD t=3 M N3 FL1 ARG1000.0000",
           "LINE t=4 X20.0000 Y5.0000 Z0.0000 A0.0000 B0.0000 C0.0000 U0.0000 V0.0000 W0.0000 F10.0000 R0",
           "ARC t=5 X30.0000 Y15.0000 Z0.0000 A0.0000 B0.0000 C0.0000 U0.0000 V0.0000 W0.0000 CX20.0000 CY15.0000 "
           "CZ0.0000 F10.0000 P2 CW1",
           "MSG Warning: undefined macro PrgStart.txt",
       })
    EXPECT_TRUE(HasLine(o, line)) << line << "\n" << o.text;
  // The run state closes the output; M30 ends with state 4.
  EXPECT_EQ(o.text.size() - 6, o.text.rfind("END 4\n")) << o.text;
}

TEST_F(CliInterpTest, ErrorsAndRangeErrors) {
  Output o = Run("%\nG1 X10 G0 Y5\n");
  EXPECT_EQ(1, o.status);
  EXPECT_TRUE(HasLine(o, "ERROR -1016 line contains multiple G-commands line 2 column 7\nEND 3")) << o.text;
  // On the simulation a range error stops the run; a view counts them and
  // goes on, reporting the first.
  o = Run("%\nG0 X700\nG0 X800\n");
  EXPECT_EQ(1, o.status);
  EXPECT_EQ(std::string::npos, o.text.find("X800.0000")) << o.text;
  o = Run("%\nG0 X700\nG0 X800\n", "--view ");
  EXPECT_EQ(1, o.status);
  EXPECT_TRUE(HasLine(o, "ERROR -1008 number out of range line 2 column 3")) << o.text;
}

// Only a closing '%': the run does nothing but says why; a second '%' that
// closes a program is no reason.
TEST_F(CliInterpTest, OnlyAClosingPercentWarns) {
  const std::string warning = "MSG Warning: program is empty: no line after the '%' in line 3";
  Output o = Run("G0 X10\nM30\n%\n");
  EXPECT_EQ(0, o.status) << o.text;
  EXPECT_TRUE(HasLine(o, warning)) << o.text;
  EXPECT_EQ(std::string::npos, o.text.find("LINE")) << o.text;
  o = Run("%\nG0 X10\nM30\n%\n");
  EXPECT_EQ(std::string::npos, o.text.find("program is empty")) << o.text;
  EXPECT_TRUE(HasLine(o, "END 4")) << o.text;
}

TEST_F(CliInterpTest, UsageAndMissingFiles) {
  EXPECT_EQ(2, Interp("").status);
  EXPECT_EQ(2, Interp("--bogus x.nc").status);
  EXPECT_EQ(2, Interp("--macros " + macros + " " + dir + "/missing.nc").status);
  EXPECT_EQ(2, Run(askProgram, "--answers " + dir + "/none.txt ").status);
}

TEST_F(CliInterpTest, SimulationAnswersFromTheFile) {
  testsupport::WriteFile(dir + "/answers.txt", "; first dialog\n3\n");
  const Output o = Run(askProgram, "--answers " + dir + "/answers.txt ");
  EXPECT_EQ(0, o.status) << o.text;
  EXPECT_TRUE(HasLine(o, "MSG ASK ASKINT \"Enter number\" \"Passes\" [1..4] value=2 -> 3")) << o.text;
  EXPECT_TRUE(HasLine(o, "MSG passes=3.0")) << o.text;
  EXPECT_TRUE(HasLine(o, "CMD t=3 M N1000 FL0 ARG0.0000")) << o.text;
  size_t moves = 0;
  for (size_t p = o.text.find("LINE "); p != std::string::npos; p = o.text.find("LINE ", p + 1)) ++moves;
  EXPECT_EQ(3u, moves);
}

TEST_F(CliInterpTest, DialogDefaultsWithoutAnswersAndNothingOnAView) {
  Output o = Run(askProgram);
  EXPECT_TRUE(HasLine(o, "MSG passes=2.0")) << o.text;
  o = Run(askProgram, "--view ");
  EXPECT_EQ(0, o.status);
  EXPECT_EQ(std::string::npos, o.text.find("passes=")) << o.text;
  EXPECT_EQ(std::string::npos, o.text.find("MSG ASK")) << o.text;
}

}  // namespace
