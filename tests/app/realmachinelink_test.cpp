// The application's connection on the real machine: the link finds the soft
// module on the veth lab, the connection takes the machine as its back end,
// reports how its runs end, and notices a disturbed link.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "app/machineconnection.h"
#include "app/realmachinelink.h"
#include "base/folders.h"
#include "common/netlab.h"
#include "common/testsupport.h"
#include "interpreter/macroparser.h"
#include "machine/machineconfig.h"
#include "machine/machinestate.h"
#include "params/parafile.h"
#include "realmachine/realmachine.h"

namespace {

template <class Pred>
bool WaitFor(Pred done, int ms) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

TEST(RealMachineLinkTest, ConnectionRunsOnTheMachineAndReportsItsRunsAndItsLink) {
  std::unique_ptr<netlab::Lab> lab;
  try {
    lab = std::make_unique<netlab::Lab>();
  } catch (const std::exception& e) {
    FAIL() << e.what();
  }
  netlab::ModSim sim(*lab, {"--mac", netlab::ModuleMacText(1), "--model", "Korrin", "--path", "--speed", "10"});
  Folders::SetParameters(testsupport::MakeTempDir("linkparams"));
  OpenParameterFiles();
  LoadMachineConfig();
  {
    MacroParser parser(nullptr, &actState);
    MachineConnection connection(&parser, std::make_unique<RealMachineLink>());
    ASSERT_EQ(connection.Connect(), MachineConnection::Kind::MACHINE) << connection.StatusText();
    auto* machine = dynamic_cast<RealMachine*>(&connection.Current());
    ASSERT_NE(machine, nullptr);
    EXPECT_EQ(&connection.State(), &actState);
    machine->Stream().Timing().speed = 10;
    parser.SetFrontEnd(machine);  // as the main window does
    const std::string file = testsupport::MakeTempDir("linkprog") + "/part.nc";
    testsupport::WriteFile(file, "%\nG90 G1 X20 F3000\nG1 Y10\nG1 X\n");
    parser.NewMainFile(file);
    machine->RunProgram();
    ASSERT_TRUE(WaitFor([&] { return machine->RunsFinished() == 1; }, 20000));
    EXPECT_NE(connection.LastErrorCode(), 0);
    EXPECT_NE(connection.LastErrorText().find(" line 4 "), std::string::npos) << connection.LastErrorText();
    Coordinates p;
    connection.Current().GetPosition(p);
    EXPECT_NEAR(p.v[0], 20, 1e-3);
    EXPECT_NEAR(p.v[1], 10, 1e-3);
    EXPECT_FALSE(connection.Link().Bad());
    EXPECT_FALSE(connection.Link().Failed());
    sim.Control("silent");
    machine->PollIo();  // frames that go unanswered
    EXPECT_TRUE(WaitFor([&] {
      machine->PollIo();
      return connection.Link().Bad();
    }, 5000));
    machine->StopThread();
  }
  ResetParameterFilesForTest();
  GetMachineConfig() = MachineConfig();
  ResetMachineStateForTest();
  Folders::SetParameters(testsupport::ScratchDir() + "/params");
}

}  // namespace
