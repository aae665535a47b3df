// Runs the built quorvane-cli with its "run" command as a child process.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "testsupport.h"

namespace {

struct Child {
  pid_t pid = -1;
  std::string out, err;  // file paths
};

Child Spawn(const std::vector<std::string>& args, const std::string& dir) {
  Child c;
  c.out = dir + "/stdout.txt";
  c.err = dir + "/stderr.txt";
  c.pid = fork();
  if (c.pid == 0) {
    const int o = open(c.out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int e = open(c.err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (o < 0 || e < 0) _exit(120);
    dup2(o, 1);
    dup2(e, 2);
    std::vector<char*> argv;
    std::string cli = QUORVANE_CLI;
    argv.push_back(cli.data());
    std::vector<std::string> copy = args;
    for (std::string& a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(cli.c_str(), argv.data());
    _exit(121);
  }
  return c;
}

// The exit status, or -1 when the child had to be killed after `seconds`.
int Wait(const Child& c, double seconds = 60) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  int status = 0;
  for (;;) {
    const pid_t r = waitpid(c.pid, &status, WNOHANG);
    if (r == c.pid) break;
    if (std::chrono::steady_clock::now() > end) {
      kill(c.pid, SIGKILL);
      waitpid(c.pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 200 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

bool WaitForText(const std::string& path, const std::string& text, double seconds = 30) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (testsupport::ReadFile(path).find(text) == std::string::npos) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

const std::string kParams = std::string(QUORVANE_SOURCE_DIR) + "/examples/params";
const std::string kMacros = std::string(QUORVANE_SOURCE_DIR) + "/examples/macros";

class CliRunTest : public ::testing::Test {
 protected:
  void SetUp() override { dir = testsupport::MakeTempDir("clirun"); }
  std::string Program(const std::string& text, const std::string& name = "part.nc") {
    const std::string path = dir + "/" + name;
    testsupport::WriteFile(path, text);
    return path;
  }
  int Run(std::vector<std::string> args, double seconds = 60) {
    args.insert(args.begin(), "run");
    child = Spawn(args, dir);
    const int rc = Wait(child, seconds);
    out = testsupport::ReadFile(child.out);
    err = testsupport::ReadFile(child.err);
    return rc;
  }
  std::string dir, out, err;
  Child child;
};

TEST_F(CliRunTest, CleanRunEndsAtTheProgramsEndPoint) {
  // The example set's G54 zero is machine X100 Y100 Z-60.
  const std::string file = Program("%\nG90 G54\nG0 X0 Y0 Z5\nG1 Z-1 F600\nG1 X20 F1200\nM30\n");
  const std::string before = testsupport::ReadFile(kParams + "/ParameterTable.txt");
  const auto filesBefore = std::distance(std::filesystem::directory_iterator(kParams), {});
  ASSERT_EQ(Run({"--params", kParams, "--macros", kMacros, "--speed", "0", file}), 0) << out << err;
  EXPECT_NE(out.find("result: completed"), std::string::npos) << out;
  EXPECT_NE(out.find("machine position: X120.000 Y100.000 Z-61.000"), std::string::npos) << out;
  EXPECT_NE(out.find("work position: X20.000 Y0.000 Z-1.000"), std::string::npos) << out;
  // Rapid 1.1 s (Z 55 mm at 50 mm/s), 6 mm at 10 mm/s, 20 mm at 20 mm/s.
  const size_t at = out.find("simulated time: ");
  ASSERT_NE(at, std::string::npos) << out;
  EXPECT_NEAR(std::atof(out.c_str() + at + 16), 2.7, 0.05) << out;
  // Not a terminal: plain progress lines.
  EXPECT_NE(err.find("progress: line "), std::string::npos) << err;
  EXPECT_EQ(err.find('\r'), std::string::npos);
  // The given parameter folder is only read.
  EXPECT_EQ(testsupport::ReadFile(kParams + "/ParameterTable.txt"), before);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(kParams), {}), filesBefore);
}

TEST_F(CliRunTest, RangeErrorInThePreviewStopsUnlessIgnored) {
  const std::string file = Program("%\nG90 G54\nG0 X0 Y0 Z5\nG1 X10 F600\nG1 X600\nG1 Y5\nM30\n");
  ASSERT_EQ(Run({"--params", kParams, "--macros", kMacros, "--speed", "0", file}), 1) << out << err;
  EXPECT_NE(out.find("range errors: 2, first: number out of range line 5"), std::string::npos) << out;
  EXPECT_NE(out.find("outside the upper(1) limit of axis X"), std::string::npos) << out;
  EXPECT_NE(out.find("result: not started"), std::string::npos) << out;
  EXPECT_EQ(out.find("machine position"), std::string::npos) << out;

  ASSERT_EQ(Run({"--params", kParams, "--macros", kMacros, "--speed", "0", "--ignore-range", file}), 1) << out;
  EXPECT_NE(out.find("result: error: number out of range line 5"), std::string::npos) << out;
  EXPECT_NE(out.find("work position: X10.000 Y0.000 Z5.000"), std::string::npos) << out;
}

TEST_F(CliRunTest, SigintStopsTheRunAtTheReachedLine) {
  const std::string file = Program("%\nG90 G54\nG0 X0 Y0 Z5\nG1 X400 F600\nG1 Y200\nM30\n");
  child = Spawn({"run", "--params", kParams, "--macros", kMacros, "--speed", "1", file}, dir);
  // The move of line 4 takes 40 s; stop once it runs.
  ASSERT_TRUE(WaitForText(child.err, "progress: line 4/")) << testsupport::ReadFile(child.err);
  kill(child.pid, SIGINT);
  const int rc = Wait(child, 20);
  out = testsupport::ReadFile(child.out);
  EXPECT_EQ(rc, 130) << out << testsupport::ReadFile(child.err);
  EXPECT_NE(out.find("result: stopped (user break)"), std::string::npos) << out;
  EXPECT_NE(out.find("line 4"), std::string::npos) << out;
}

TEST_F(CliRunTest, PausesAreAnsweredFromTheFileOrContinued) {
  const std::string file = Program("%\nG90 G54\nG0 X0 Y0 Z5\nM0\nG1 X10 F600\nM1\nG1 X20\nM30\n");
  ASSERT_EQ(Run({"--params", kParams, "--macros", kMacros, "--speed", "0", file}), 0) << out << err;
  EXPECT_NE(err.find("pause at line 4: continue"), std::string::npos) << err;
  EXPECT_NE(err.find("pause at line 6: continue"), std::string::npos) << err;
  EXPECT_NE(out.find("work position: X20.000"), std::string::npos) << out;

  testsupport::WriteFile(dir + "/answers.txt", "; first pause goes on, the second stops\ncontinue\nstop\n");
  ASSERT_EQ(Run({"--params", kParams, "--macros", kMacros, "--speed", "0", "--answers", dir + "/answers.txt", file}),
            1)
      << out << err;
  EXPECT_NE(out.find("result: stopped (user break)"), std::string::npos) << out;
  EXPECT_NE(out.find("line 6"), std::string::npos) << out;
  EXPECT_NE(out.find("work position: X10.000"), std::string::npos) << out;
}

TEST_F(CliRunTest, EveryExampleRunsToWhereItsProgramEnds) {
  const struct {
    const char* name;
    const char* end;      // the work position the last move goes to
    const char* message;  // a line the program prints, or ""
  } examples[] = {
      {"pocket.nc", "X0.000 Y0.000 Z5.000", ""},
      {"engraving.nc", "X0.000 Y0.000 Z10.000", ""},
      {"drilling.nc", "X0.000 Y0.000 Z20.000", ""},
      {"plate.nc", "X0.000 Y60.000 Z5.000", "holes bored: 5.0"},
      // The last hole is at -60 degrees on R30; its chamfer starts 3 mm right.
      {"bolt_circle_macro.nc", "X18.000 Y-25.981 Z10.000", "Done: 18.0 pecks"},
  };
  for (const auto& e : examples) {
    const std::string file = std::string(QUORVANE_SOURCE_DIR) + "/examples/" + e.name;
    EXPECT_EQ(Run({"--params", kParams, "--macros", kMacros, "--speed", "0", file}), 0) << e.name << out << err;
    EXPECT_NE(out.find("result: completed"), std::string::npos) << e.name << out;
    EXPECT_NE(out.find(std::string("work position: ") + e.end + "\n"), std::string::npos) << e.name << out;
    EXPECT_NE(out.find(e.message), std::string::npos) << e.name << out;
  }
}

TEST_F(CliRunTest, DialogsTakeTheirAnswersFromTheFile) {
  const std::string file = std::string(QUORVANE_SOURCE_DIR) + "/examples/plate.nc";
  ASSERT_EQ(Run({"--params", kParams, "--macros", kMacros, "--speed", "0", file}), 0) << out << err;
  EXPECT_NE(out.find("holes bored: 5"), std::string::npos) << out;
  testsupport::WriteFile(dir + "/answers.txt", "# holes\n2\n");
  ASSERT_EQ(Run({"--params", kParams, "--macros", kMacros, "--speed", "0", "--answers", dir + "/answers.txt", file}),
            0)
      << out << err;
  EXPECT_NE(out.find("-> 2"), std::string::npos) << out;
  EXPECT_NE(out.find("holes bored: 2"), std::string::npos) << out;
}

TEST_F(CliRunTest, BadArgumentsAndFiles) {
  EXPECT_EQ(Run({}), 2);
  EXPECT_NE(err.find("usage: quorvane-cli run"), std::string::npos) << err;
  EXPECT_EQ(Run({"--speed", "-3", "x.nc"}), 2);
  EXPECT_EQ(Run({"--params", kParams, dir + "/missing.nc"}), 1);
  EXPECT_NE(err.find("cannot open"), std::string::npos) << err;
  EXPECT_EQ(Run({"--params", kParams, "--answers", dir + "/none.txt", Program("%\nM30\n")}), 1);
  EXPECT_NE(err.find("cannot read answers file"), std::string::npos) << err;
}

TEST_F(CliRunTest, ProgramErrorExitsOne) {
  const std::string file = Program("%\nG90 G54\nG0 X0 Y0 Z5\nG1 X10 F600\nG1 X20 Q\nM30\n");
  ASSERT_EQ(Run({"--params", kParams, "--macros", kMacros, "--speed", "0", file}), 1) << out << err;
  EXPECT_NE(out.find("line 5"), std::string::npos) << out;
}

}  // namespace
