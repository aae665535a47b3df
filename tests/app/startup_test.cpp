// Start-up: the fixed order in the log, the load warning's threshold, the
// command-line argument, the folder-rights probe and the second instance.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "app/mainframe.h"
#include "app/startup.h"
#include "base/folders.h"
#include "common/testsupport.h"
#include "gui_harness.h"
#include "machine/machineconfig.h"
#include "machine/machinestate.h"
#include "params/parafile.h"

namespace {

constexpr auto npos = std::string::npos;

TEST(StartupLoad, PercentOfAllCoresAndTheWarningThreshold) {
  struct Case {
    double cpu, wall;
    int cores;
    double percent;
  };
  const Case cases[] = {{0.92, 1.0, 2, 46.0}, {0.9, 1.0, 2, 45.0}, {3.0, 2.0, 4, 37.5}, {1.0, 0.0, 2, 0.0},
                        {1.0, 1.0, 0, 0.0}};
  for (const Case& c : cases) {
    const double p = startup::CpuLoadPercent({10.0, 100.0}, {10.0 + c.cpu, 100.0 + c.wall}, c.cores);
    EXPECT_NEAR(p, c.percent, 1e-9) << c.cpu << "/" << c.wall << "/" << c.cores;
  }
  EXPECT_TRUE(startup::CpuLoadNeedsWarning(46));
  EXPECT_FALSE(startup::CpuLoadNeedsWarning(45));
  EXPECT_EQ(startup::CpuLoadWarningText(46),
            "Warning!\nact. CPU-core load is: 46 percent\nPlease be sure that you do not run programs in the "
            "background!");
}

class Startup : public guitest::AppSession {};

TEST_F(Startup, StepsRunInTheirOrderAndTheWindowRunsInSimulation) {
  ASSERT_TRUE(Start());
  const std::string log = Log();
  size_t at = 0;
  for (const char* step : {"start of log", "home directory: ", "load parameter files", "show splash screen",
                           "load hotkeys", "Quorvane2App::OnInit()", "InitMachine()", "Init() ok",
                           "Windows-SystemTimer was set to", "LastUser: "}) {
    const size_t next = log.find(step, at);
    ASSERT_NE(next, npos) << step << " missing or out of order in\n" << log;
    at = next;
  }
  EXPECT_TRUE(IsInitialised());
  EXPECT_NE(frame->StatusField(0).Find("Simulation"), wxNOT_FOUND);
  EXPECT_EQ(&frame->CurrentState(), &simState);
}

TEST_F(Startup, AnInvalidArgumentKeepsThePreviousSettingsAndSaysSo) {
  dialogs.On("invalid argument", wxID_OK);
  ASSERT_TRUE(Start({}, "/no/such/set.txt"));
  EXPECT_EQ(dialogs.Count("Program was called with invalid argument: /no/such/set.txt\nParameters will default "
                          "to previous settings."),
            1);
  EXPECT_NE(Log().find("argument: /no/such/set.txt"), npos);
  EXPECT_EQ(GetMachineConfig().axis[0].maxPosition, 600.0);  // the example set, untouched
}

TEST_F(Startup, AFolderThatCannotBeWrittenIsReportedByName) {
  dialogs.On("no access rights", wxID_OK);
  // A file where the macro folder should be: nothing can be written into it.
  const std::string notAFolder = Folders::Join(paramDir, "macros-file");
  testsupport::WriteFile(notAFolder, "x");
  Folders::SetMacros(notAFolder);
  ASSERT_TRUE(Start());
  EXPECT_EQ(dialogs.Count("Macrco File Folder has no access rights.\n"), 1);
  EXPECT_EQ(dialogs.Count("Parameter File Folder"), 0);
}

TEST_F(Startup, ASecondInstanceOnTheSameParametersEndsAtOnce) {
  ASSERT_TRUE(Start());
  const auto t0 = std::chrono::steady_clock::now();
  const testsupport::CommandOutput out = testsupport::RunCommand(
      "QUORVANE_DIALOGS=auto QUORVANE_PARAM_DIR='" + paramDir + "' QUORVANE_MACRO_DIR='" + macroDir +
      "' QUORVANE_LOG_DIR='" + paramDir + "/log2' timeout 20 " QUORVANE_APP " 2>&1");
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(10));
  EXPECT_NE(out.status, 0);
  EXPECT_NE(out.text.find("dialog: Quorvane: Quorvane is already running"), npos) << out.text;
  EXPECT_TRUE(frame->IsShown());  // the first one goes on
}

}  // namespace
