// quorvane-cli adapt: the adapted program on stdout or in OUT, the report on
// stderr, the machine's CenterAbs from --params, the exit status; the
// delivered examples need nothing.
#include <gtest/gtest.h>

#include <dirent.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "common/testsupport.h"

namespace {

using Output = testsupport::CommandOutput;

class CliAdaptTest : public ::testing::Test {
 protected:
  void SetUp() override { dir = testsupport::MakeTempDir("adapt"); }
  // Runs the command; stderr goes to `report`.
  Output Adapt(const std::string& args) {
    const Output o = testsupport::RunCommand(std::string(QUORVANE_CLI) + " adapt " + args + " 2>" + dir + "/err.txt");
    report = testsupport::ReadFile(dir + "/err.txt");
    return o;
  }
  std::string Write(const std::string& name, const std::string& text) {
    testsupport::WriteFile(dir + "/" + name, text);
    return dir + "/" + name;
  }
  std::string dir, report;
  const std::string cam = "(T1 (6mm))\nG90 G90.1 G17\nG0 X1 Y 2 F0 ; rapid\ng1 z-1 f300\nG4 P1\nZ-2\nM30\n%\n";
};

TEST_F(CliAdaptTest, WritesTheProgramAndReportsEveryChange) {
  const std::string params = testsupport::MakeTempDir("adapt-params");
  testsupport::WriteFile(params + "/ParameterTable.txt", "CenterAbs=1\n");
  const std::string file = Write("cam.nc", cam);
  Output o = Adapt("--params " + params + " " + file);
  EXPECT_EQ(0, o.status) << report;
  EXPECT_EQ("%\n(T1 6mm)\nG90 G17\nG0 X1 Y2 ( rapid)\nG1 Z-1 F300\nG4 P1\nG1 Z-2\nM30\n%\n", o.text);
  EXPECT_EQ(file + ": adapted, 8 changes\n"
                "added '%' line: line numbers shift by one\n"
                "1 ';' comments -> ( ), first line 3\n"
                "1 comments with nested parentheses flattened, first line 1\n"
                "1 lines with blanks after address letters removed, first line 3\n"
                "1 lines with lower-case letters upper-cased, first line 4\n"
                "1 G90.1 removed (agrees with CenterAbs=1), first line 2\n"
                "1 F0 removed from rapid moves, first line 3\n"
                "1 axis-only lines after a dwell given their motion code: line 6\n"
                "note: the closing '%' on line 8 is kept: the program ends before it, on line 7\n",
            report);

  // Into a file; the original stays as it was, and may not be the output.
  o = Adapt("--params " + params + " " + file + " -o " + dir + "/out.nc");
  EXPECT_EQ(0, o.status) << report;
  EXPECT_EQ("", o.text);
  EXPECT_EQ(0u, testsupport::ReadFile(dir + "/out.nc").find("%\n(T1 6mm)\n"));
  EXPECT_EQ(2, Adapt("--params " + params + " " + file + " -o " + file).status);
  EXPECT_EQ(cam, testsupport::ReadFile(file));
  // The adapted copy needs nothing more.
  o = Adapt(dir + "/out.nc");
  EXPECT_EQ(0, o.status);
  EXPECT_EQ(testsupport::ReadFile(dir + "/out.nc"), o.text);
  EXPECT_EQ(0u, report.find(dir + "/out.nc: nothing to do\n")) << report;
}

TEST_F(CliAdaptTest, RefusalsAndUsage) {
  // Without --params the machine has relative centres: G90.1 is refused.
  const std::string file = Write("cam.nc", cam);
  Output o = Adapt(file);
  EXPECT_EQ(1, o.status);
  EXPECT_EQ("", o.text);
  EXPECT_EQ(file + ": refused, 1 lines cannot be adapted\n"
                   "refused: line 2 column 4: G90.1 (arc centres absolute) does not agree with the machine setting "
                   "CenterAbs=0: set CenterAbs=1 to run this program\n",
            report);
  EXPECT_EQ(1, Adapt(file + " -o " + dir + "/none.nc").status);
  EXPECT_NE(0, access((dir + "/none.nc").c_str(), F_OK));

  EXPECT_EQ(2, Adapt("").status);
  EXPECT_EQ(2, Adapt("--bogus " + file).status);
  EXPECT_EQ(2, Adapt(file + " " + file).status);
  EXPECT_EQ(2, Adapt(file + " -o").status);
  EXPECT_EQ(2, Adapt(dir + "/missing.nc").status);
  EXPECT_NE(std::string::npos, report.find("cannot read")) << report;
}

TEST_F(CliAdaptTest, TheExamplesNeedNothing) {
  std::vector<std::string> files;
  for (const char* sub : {"/examples", "/examples/macros"}) {
    const std::string path = std::string(QUORVANE_SOURCE_DIR) + sub;
    DIR* d = opendir(path.c_str());
    ASSERT_NE(nullptr, d) << path;
    while (const dirent* e = readdir(d)) {
      const std::string name = e->d_name;
      if (name.ends_with(".nc") || name.ends_with(".txt")) files.push_back(path + "/" + name);
    }
    closedir(d);
  }
  ASSERT_GE(files.size(), 8u);
  for (const std::string& f : files) {
    const Output o = Adapt("--params " + std::string(QUORVANE_SOURCE_DIR) + "/examples/params " + f);
    EXPECT_EQ(0, o.status) << f << "\n" << report;
    EXPECT_EQ(testsupport::ReadFile(f), o.text) << f;
    EXPECT_EQ(0u, report.find(f + ": nothing to do\n")) << report;
  }
}

}  // namespace
