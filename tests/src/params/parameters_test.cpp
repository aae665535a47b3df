#include "params/parameters.h"

#include <cstdio>
#include <cstdlib>
#include <tuple>

#include <csignal>

#include <sys/wait.h>
#include <unistd.h>

#include "machine/machineconfig.h"
#include "machine/paramexport.h"
#include "common/paramfolder.h"
#include "machine/tooltable.h"

namespace {

using Values = std::vector<double>;

double g_now = 0.0;

// Values of the variables `numbers`, for comparing many at once.
Values Vars(Parameters& p, std::initializer_list<int> numbers) {
  Values out;
  for (int n : numbers) out.push_back(p.GetVar(n));
  return out;
}

class ParametersTest : public testsupport::ParamFolderTest {
 protected:
  // Starts like the application: a variable table (if given), then every file opened.
  void Start(const std::string& variables = "") {
    if (!variables.empty()) Write("VariableTable.txt", variables);
    OpenParameterFiles();
  }
};

}  // namespace

// CopyVars takes a range of locals and all globals.
TEST_F(ParametersTest, FreshStateAddressingAndCopies) {
  Start();
  Parameters p, b, c;
  EXPECT_EQ(Vars(p, {36, 0, 29, 35, 37, 99, 100, 500, 999}), (Values{-1, 0, 0, 0, 0, 0, 0, 0, 0}));
  p.SetWordVar('#', 50, 3.0);   // #50 is not variable 50
  p.SetWordVar('P', 3, 7.0);    // P3 is 59
  p.SetWordVar('#', 120, 2.0);
  p.SetLetter('T', 4.0);        // 49
  p.SetLetter('z', 1.5);        // 66
  p.SetVar(-1, 5.0);
  p.SetVar(1000, 5.0);
  EXPECT_EQ(Vars(p, {50, 59, 120, 49, 66, 1000, -1}), (Values{0, 7, 2, 4, 1.5, 0, 0}));
  EXPECT_FALSE(Parameters::IsDirty(999));

  for (int n = 0; n < 100; ++n) p.SetVar(n, n + 0.5);
  p.SetVar(777, 7.0);
  b.CopyVars(p, 10, 20);
  EXPECT_EQ(Vars(b, {9, 10, 19, 20, 777}), (Values{0, 10.5, 19.5, 0, 7}));
  testsupport::AssertionCapture capture;
  c.CopyVars(p, 20, 10);
  c.CopyVars(p, 0, 101);
  EXPECT_EQ(capture.Messages(), std::vector<std::string>(2, "start >= 0 && start <= end && end <= MinGlobal"));
  EXPECT_EQ(c.GetVar(777), 0.0);
}

// Globals are read from the table on first use and then kept, until a load
// replaces them. After start-up a set from another file must not move the
// active state (#900..#950, read from the table instead).
TEST_F(ParametersTest, GlobalsLoadLazilyOrFromASet) {
  Start("#150=2.5\n#151=junk\n#905=1.5\n#929=120\n");
  Parameters p;
  ParaFile set;
  OpenWith(set, "set.txt", "#905=9.0\n#950=9.0\n#951=9.0\n#899=9.0\n#150=4.0\n");
  EXPECT_FALSE(Parameters::IsLoaded(150));
  EXPECT_EQ(Vars(p, {150, 151}), (Values{2.5, 0}));
  EXPECT_TRUE(Parameters::IsLoaded(150) && !Parameters::IsDirty(150));
  GetParaFile(PF_VARIABLE_TABLE).SetDouble("#150", 9.0);
  EXPECT_EQ(p.GetVar(150), 2.5);
  p.SetVar(400, 3.0);
  SetInitialised(true);
  p.LoadVars(GetParaFile(PF_VARIABLE_TABLE));
  EXPECT_FALSE(Parameters::IsDirty(400) || Parameters::IsLoaded(400));
  EXPECT_EQ(Vars(p, {150, 905}), (Values{9, 1.5}));
  EXPECT_EQ(RunTimer::Base(), 120.0);
  p.LoadVars(set);
  EXPECT_EQ(Vars(p, {905, 950, 951, 899, 150}), (Values{1.5, 0, 9, 9, 4}));
  SetInitialised(false);
  p.LoadVars(set);
  EXPECT_EQ(p.GetVar(905), 9.0);
}

TEST_F(ParametersTest, FailedVariableWriteShowsSystemError) {
  Start();
  Parameters p;
  p.SetVar(123, 4.0);
  ASSERT_EQ(std::system(("rm -rf '" + dir + "'").c_str()), 0);
  static std::vector<std::string> shown;
  const MessageHandler old = SetMessageHandler(
      [](const char* caption, const char* text) { shown.push_back(caption + ("|" + std::string(text))); });
  testsupport::WxLogCapture log;
  EXPECT_FALSE(p.WriteVars());
  SetMessageHandler(old);
  EXPECT_EQ(shown, std::vector<std::string>{"System error!|Could not write Parameterfile."});
  EXPECT_TRUE(log.Saw("#PARAMETERS Parameterfile could not be written."));
  EXPECT_TRUE(Parameters::IsDirty(123));
}

TEST_F(ParametersTest, RunTimeCounterGrowsOnlyWhenEnabled) {
  Start("#929=10\n#928=1\n");
  RunTimer::SetClock([] { return g_now; });
  Parameters p;
  p.LoadVars(GetParaFile(PF_VARIABLE_TABLE));
  RunTimer::Start();
  // Seconds passed, #928, minutes in #929.
  const double steps[][3] = {{60, 1, 11}, {120, 1, 13}, {0, 0, 10}, {0, 1, 13}};
  for (const auto& [seconds, enabled, minutes] : steps) {
    g_now += seconds;
    p.SetVar(928, enabled);
    EXPECT_DOUBLE_EQ(p.GetVar(929), minutes) << seconds << " " << enabled;
  }
  EXPECT_TRUE(p.WriteVars());  // stores the counter in #929
  EXPECT_FALSE(Parameters::IsDirty(929) || GetParaFile(PF_VARIABLE_TABLE).IsDirty());
  EXPECT_EQ(Read("VariableTable.txt"), "#929=13.0\n#928=1.0\n");
  RunTimer::Stop();
  g_now += 600.0;
  EXPECT_DOUBLE_EQ(p.GetVar(929), 13.0);
  RunTimer::SetClock(nullptr);
}

// A set holds every section in order and the globals read or set so far.
// Imported after start-up it restores configuration, tools and globals, but
// not the active state; globals the set lacks are dropped from the table.
TEST_F(ParametersTest, ExportedSetImportsBackButNotTheActiveState) {
  Start("#101=1.0\n#102=2.0\n#905=1.0\n");
  Parameters p;
  MachineConfig& cfg = GetMachineConfig();
  const MachineConfig saved = cfg;
  cfg.maxS = 18000.0;
  cfg.offsets[1][2] = -12.5;
  cfg.offsetComments[1] = "vice";
  ToolRecord t;
  t.numT = 3;
  t.name = "Endmill 6mm";
  GetToolTable().Clear();
  GetToolTable().Insert(t);
  p.GetVar(101);
  p.SetVar(905, 7.0);
  p.SetVar(600, 6.0);
  ASSERT_TRUE(ExportParameterSet(Path("set.txt"), p));
  const std::string text = Read("set.txt");
  size_t at = 0;
  for (const char* s : kExportSections)  // every header, in this order
    EXPECT_NE(at = text.find("[" + std::string(s) + "]\n", at), std::string::npos) << s;
  EXPECT_NE(text.find("[UserVariables]\n#101=1.0\n#600=6.0\n#905=7.0\n[ioMapping]\n"), std::string::npos);

  cfg = MachineConfig();
  GetToolTable().Clear();
  p.SetVar(600, 0.0);
  SetInitialised(true);
  ASSERT_TRUE(ImportParameterSet(Path("set.txt"), p));
  EXPECT_EQ(std::tuple(cfg.maxS, cfg.offsets[1][2], cfg.offsetComments[1]), std::tuple(18000.0, -12.5, "vice"));
  EXPECT_EQ(GetToolTable().Records(), std::vector<ToolRecord>{t});
  EXPECT_EQ(Vars(p, {600, 905, 101, 102}), (Values{6, 1, 1, 0}));
  // Imported values reach the files.
  EXPECT_EQ(Read("VariableTable.txt"), "#101=1.0\n#905=1.0\n#600=6.0\n");
  EXPECT_NE(Read("ParameterTable.txt").find("\nMaxS=18000.0\n"), std::string::npos);
  cfg = saved;
  GetToolTable().Clear();
}

// Only the last Parameters object to go closes the files. The machine states
// live until the process ends, so one process sets globals and settings and
// ends; the next start (files opened, LoadVars) must see them.
TEST_F(ParametersTest, GlobalsAndSettingsSurviveARestart) {
  Start("#300=1.0\n");
  testsupport::WxLogCapture log;
  const int before = Parameters::OpenCount();
  {
    Parameters a;
    Parameters b(a);  // counts too
  }
  EXPECT_TRUE(log.Saw("#PARAMETERS OpenCount on Close is " + std::to_string(before) + "."));
  EXPECT_TRUE(GetParaFile(PF_TOOL_TABLE).IsOpened());
  fflush(nullptr);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    {
      Parameters p;
      p.SetVar(998, -0.000000001);
      p.SetVar(123, 4.5);
      p.SetVar(640, 1e10);  // written as OVFL, reads back as 0
      p.SetVar(50, 8.0);    // a local never reaches the file
      p.WriteVars();
    }
    GetParaFile(PF_USERS).SetValue("admin", "1");  // written by the last close only
    std::exit(0);
  }
  // A child stuck on a lock another thread held at the fork must not hang the suite.
  int status = 0;
  for (int i = 0; i < 3000 && waitpid(child, &status, WNOHANG) == 0; ++i) usleep(10000);
  if (waitpid(child, &status, WNOHANG) == 0) {
    kill(child, SIGKILL);
    waitpid(child, &status, 0);
    FAIL() << "the child process did not end";
  }
  EXPECT_EQ(Read("VariableTable.txt"), "#300=1.0\n#123=4.5\n#640=OVFL\n#998=-0.000000001\n");
  EXPECT_EQ(Read("Users.txt"), "admin=1\n");
  ResetParameterFilesForTest();
  Start();
  Parameters p;
  p.LoadVars(GetParaFile(PF_VARIABLE_TABLE));
  EXPECT_EQ(Vars(p, {123, 998, 640, 300, 50}), (Values{4.5, -0.000000001, 0, 1, 0}));
}
