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
  Output Run(const std::string& program) {
    const std::string file = dir + "/p.nc";
    testsupport::WriteFile(file, program);
    return RunInterp("--params " + dir + " --macros " + macros + " " + file);
  }
  std::string dir, macros;
};

TEST_F(CliInterpTest, PrintsEveryCallAndOk) {
  const Output o = Run("%\nG0 X10 Y5\nS1000 M3\nG1 X20 F600\nG2 X30 Y15 I0 J10\nM30\n");
  EXPECT_EQ(0, o.status) << o.text;
  EXPECT_NE(std::string::npos, o.text.find("LINE N2 X10.000 Y5.000 Z0.000 F-1.000 rapid=1\n")) << o.text;
  EXPECT_NE(std::string::npos, o.text.find("CMD M 3 arg=1000.000 flag=1\n"));
  EXPECT_NE(std::string::npos, o.text.find("LINE N4 X20.000 Y5.000 Z0.000 F10.000 rapid=0\n"));
  EXPECT_NE(std::string::npos,
            o.text.find("ARC N5 X30.000 Y15.000 Z0.000 CX20.000 CY15.000 CZ0.000 F10.000 plane=2 cw=1\n"));
  EXPECT_NE(std::string::npos, o.text.find("MSG Warning: undefined macro PrgStart.txt\n"));
  EXPECT_EQ(0u, o.text.rfind("START ", 0));
  EXPECT_NE(std::string::npos, o.text.find("RESULT ok\n"));
}

TEST_F(CliInterpTest, ErrorsAndRangeErrors) {
  Output o = Run("%\nG1 X10 G0 Y5\n");
  EXPECT_EQ(1, o.status);
  EXPECT_NE(std::string::npos, o.text.find("RESULT error line contains multiple G-commands line 2 column 7\n"));
  o = Run("%\nG0 X700\nG0 X800\n");
  EXPECT_EQ(1, o.status);
  EXPECT_NE(std::string::npos, o.text.find("RESULT range 2 number out of range line 2 column 3\n")) << o.text;
}

TEST_F(CliInterpTest, UsageAndMissingFile) {
  EXPECT_EQ(2, RunInterp("").status);
  EXPECT_EQ(2, RunInterp("--bogus x.nc").status);
  EXPECT_EQ(2, RunInterp("--macros " + macros + " " + dir + "/missing.nc").status);
}

}  // namespace
