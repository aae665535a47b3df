// quorvane-cli interp: the printed calls, the result line and the exit status.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <string>

#include "testsupport.h"

namespace {

using Output = testsupport::CommandOutput;

Output RunInterp(const std::string& args) {
  return testsupport::RunCommand(std::string(QUORVANE_CLI) + " interp " + args + " 2>/dev/null");
}

class CliInterpTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = testsupport::MakeTempDir("interp");
    macros = testsupport::MakeTempDir("interp-macros");
  }
  Output Run(const std::string& program, const std::string& options = "") {
    const std::string file = dir + "/p.nc";
    testsupport::WriteFile(file, program);
    return RunInterp(options + "--params " + dir + " --macros " + macros + " " + file);
  }
  std::string dir, macros;
};

TEST_F(CliInterpTest, PrintsEveryCallAndTheEnd) {
  const Output o = Run("%\nG0 X10 Y5\nS1000 M3\nG1 X20 F600\nG2 X30 Y15 I0 J10\nM30\n");
  EXPECT_EQ(0, o.status) << o.text;
  const char* const expected[] = {
      "LINE t=2 X10.0000 Y5.0000 Z0.0000 A0.0000 B0.0000 C0.0000 U0.0000 V0.0000 W0.0000 F-1.0000 R1",
      "CMD t=3 M N3 FL1 ARG1000.0000",
      "LINE t=4 X20.0000 Y5.0000 Z0.0000 A0.0000 B0.0000 C0.0000 U0.0000 V0.0000 W0.0000 F10.0000 R0",
      "ARC t=5 X30.0000 Y15.0000 Z0.0000 A0.0000 B0.0000 C0.0000 U0.0000 V0.0000 W0.0000 CX20.0000 CY15.0000 "
      "CZ0.0000 F10.0000 P2 CW1",
      "MSG Warning: undefined macro PrgStart.txt",
  };
  for (const char* line : expected) EXPECT_NE(std::string::npos, o.text.find(std::string(line) + "\n")) << o.text;
  // The run state closes the output; M30 ends with state 4.
  EXPECT_EQ(o.text.size() - 6, o.text.rfind("END 4\n")) << o.text;
}

TEST_F(CliInterpTest, ErrorsAndRangeErrors) {
  Output o = Run("%\nG1 X10 G0 Y5\n");
  EXPECT_EQ(1, o.status);
  EXPECT_NE(std::string::npos,
            o.text.find("ERROR -1016 line contains multiple G-commands line 2 column 7\nEND 3\n")) << o.text;
  // On the simulation a range error stops the run; a view counts them and
  // goes on, reporting the first.
  const std::string program = "%\nG0 X700\nG0 X800\n";
  o = Run(program);
  EXPECT_EQ(1, o.status);
  EXPECT_EQ(std::string::npos, o.text.find("X800.0000")) << o.text;
  o = Run(program, "--view ");
  EXPECT_EQ(1, o.status);
  EXPECT_NE(std::string::npos, o.text.find("ERROR -1008 number out of range line 2 column 3\n")) << o.text;
}

TEST_F(CliInterpTest, UsageAndMissingFile) {
  EXPECT_EQ(2, RunInterp("").status);
  EXPECT_EQ(2, RunInterp("--bogus x.nc").status);
  EXPECT_EQ(2, RunInterp("--macros " + macros + " " + dir + "/missing.nc").status);
}

}  // namespace
