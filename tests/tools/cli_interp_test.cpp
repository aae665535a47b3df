// quorvane-cli interp: the printed calls, the result line and the exit
// status. PRINT and dialogs act only on the simulation, not on a view;
// answers come from --answers.
#include <gtest/gtest.h>

#include <string>
#include <vector>

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

// What a program prints under the options: errors, range errors (on the
// simulation a range error stops the run; a view counts them and goes on,
// reporting the first), a lone closing '%' (a second '%' that closes a
// program is no reason to warn), and dialogs answered from --answers, with
// their defaults without it and not at all on a view. Status -1: any.
TEST_F(CliInterpTest, OutputByProgramAndOptions) {
  testsupport::WriteFile(dir + "/answers.txt", "; first dialog\n3\n");
  const std::string answers = "--answers " + dir + "/answers.txt ";
  const struct {
    std::string program, options;
    int status;
    std::vector<std::string> lines, absent;
  } rows[] = {
      {"%\nG1 X10 G0 Y5\n", "", 1, {"ERROR -1016 line contains multiple G-commands line 2 column 7\nEND 3"}, {}},
      {"%\nG0 X700\nG0 X800\n", "", 1, {}, {"X800.0000"}},
      {"%\nG0 X700\nG0 X800\n", "--view ", 1, {"ERROR -1008 number out of range line 2 column 3"}, {}},
      {"G0 X10\nM30\n%\n", "", 0, {"MSG Warning: program is empty: no line after the '%' in line 3"}, {"LINE"}},
      {"%\nG0 X10\nM30\n%\n", "", -1, {"END 4"}, {"program is empty"}},
      {askProgram, answers, 0,
       {"MSG ASK ASKINT \"Enter number\" \"Passes\" [1..4] value=2 -> 3", "MSG passes=3.0",
        "CMD t=3 M N1000 FL0 ARG0.0000"},
       {}},
      {askProgram, "", -1, {"MSG passes=2.0"}, {}},
      {askProgram, "--view ", 0, {}, {"passes=", "MSG ASK"}},
  };
  for (const auto& r : rows) {
    const Output o = Run(r.program, r.options);
    SCOPED_TRACE(r.options + r.program + "\n" + o.text);
    if (r.status >= 0) {
      EXPECT_EQ(r.status, o.status);
    }
    for (const std::string& line : r.lines) EXPECT_TRUE(HasLine(o, line)) << line;
    for (const std::string& text : r.absent) EXPECT_EQ(std::string::npos, o.text.find(text)) << text;
  }
}

TEST_F(CliInterpTest, UsageAndMissingFiles) {
  EXPECT_EQ(2, Interp("").status);
  EXPECT_EQ(2, Interp("--bogus x.nc").status);
  EXPECT_EQ(2, Interp("--macros " + macros + " " + dir + "/missing.nc").status);
  EXPECT_EQ(2, Run(askProgram, "--answers " + dir + "/none.txt ").status);
}

}  // namespace
