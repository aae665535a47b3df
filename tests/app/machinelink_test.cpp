// The main window on a machine instead of the simulation: the connection
// takes the link's back end and actState, and the emergency stop of the
// main cycle stops a run, switches the outputs off once the machine rests,
// and runs the startup macro again when released.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>

#include "app/machineconnection.h"
#include "app/mainframe.h"
#include "base/folders.h"
#include "base/logging.h"
#include "common/testsupport.h"
#include "gui_harness.h"
#include "machine/machineconfig.h"
#include "machine/machinestate.h"
#include "params/parafile.h"
#include "simulation/simulation.h"

namespace {

constexpr auto npos = std::string::npos;

// A machine whose emergency-stop input the test holds.
class FakeMachine : public Simulation {
 public:
  FakeMachine() : Simulation(nullptr) { SetMachineState(&actState); }
  // The worker calls GetSignal: it must end before this class does.
  ~FakeMachine() override { StopThread(); }
  bool GetSignal(int32_t signal) override { return signal == 1 ? estop.load() : Simulation::GetSignal(signal); }
  std::atomic<bool> estop{false};
};

// Owns the machine, so that it lives exactly as long as the window's connection.
class FakeLink : public MachineLink {
 public:
  explicit FakeLink(FakeMachine* m) : machine(m), owned(m) {}
  bool Connect(std::string&) override {
    machine->StartWorker();
    return true;
  }
  BackEnd* Machine() override { return machine; }
  void AttachParser(GCodeParser* parser) override { machine->SetParser(parser); }
  FakeMachine* machine;
  std::unique_ptr<FakeMachine> owned;
};

class OnAMachine : public ::testing::Test {
 protected:
  void SetUp() override {
    paramDir = testsupport::MakeTempDir("params");
    macroDir = testsupport::MakeTempDir("macros");
    Folders::SetParameters(paramDir);
    Folders::SetMacros(macroDir);
    testsupport::WriteFile(Folders::Join(macroDir, "Startup.txt"),
                           "%\nPRINT \"startup\"\nM99\nSimulation\nPRINT \"startup\"\nM99\n");
    OpenParameterFiles();
    LoadMachineConfig();
    OpenLogFile(paramDir);
    SetLogMask(LOGCAT_USER_ACTIONS | LOGCAT_IN_OUTPUT);
    SetLogLevel(6);
  }
  void TearDown() override {
    CloseLogFile();
    ResetParameterFilesForTest();
    GetMachineConfig() = MachineConfig();
    ResetMachineStateForTest();
  }
  std::string paramDir, macroDir;
};

TEST_F(OnAMachine, EmergencyStopEndsTheRunSwitchesOffAndRestartsAfterRelease) {
  guitest::DialogScript dialogs;
  dialogs.On("Homing recommended", 1);
  dialogs.On("Emergency Stop", wxID_OK);
  auto* machinePtr = new FakeMachine;
  FakeMachine& machine = *machinePtr;
  auto* frame = new Quorvane2Frame(std::make_unique<FakeLink>(machinePtr));
  frame->Show();
  frame->InitMachine();
  EXPECT_EQ(frame->Connection().CurrentKind(), MachineConnection::Kind::MACHINE);
  EXPECT_EQ(&frame->CurrentState(), &actState);
  EXPECT_EQ(frame->StatusField(0), "Machine connected");
  ASSERT_TRUE(guitest::PumpUntil([&] { return frame->StartupMacroDone() && !frame->IsRunning(); }, 10));

  std::string program = "%\nG53\nM3 S1000\nM8\n";
  for (int i = 0; i < 50; ++i) program += "G1 X50 F600\nG1 X0\n";
  const std::string path = Folders::Join(testsupport::MakeTempDir("prog"), "long.nc");
  testsupport::WriteFile(path, program + "M30\n");
  ASSERT_TRUE(frame->LoadProgram(path));
  ASSERT_TRUE(guitest::PumpUntil([&] { return frame->ProgramFile() == path; }, 20));
  ASSERT_TRUE(frame->StartProgram());
  ASSERT_TRUE(guitest::PumpUntil([&] { return machine.GetCursor() >= 6; }, 10));
  EXPECT_TRUE(actState.GetFlag(SF_SPINDLE_CW));

  machine.estop = true;
  ASSERT_TRUE(guitest::PumpUntil([&] { return !frame->IsRunning() && dialogs.Count("Emergency Stop active") == 1; },
                                 10));
  EXPECT_EQ(actState.stateFlags & 0xFu, 0u);  // spindle and coolant off
  EXPECT_EQ(dialogs.Count("Emergency Stop active\nplease release button at the machine"), 1);
  guitest::Pump(0.2);
  EXPECT_EQ(dialogs.Count("Emergency Stop active"), 1);  // shown once while it stays pressed
  EXPECT_FALSE(frame->StartProgram());  // no start while it is pressed

  machine.estop = false;
  // Released: the startup macro is posted again once the machine is idle.
  auto startups = [&] {
    const std::string log = testsupport::ReadFile(LogFilePath());
    int n = 0;
    for (size_t at = log.find("Startup ExecuteText"); at != npos; at = log.find("Startup ExecuteText", at + 1)) ++n;
    return n;
  };
  EXPECT_TRUE(guitest::PumpUntil([&] { return startups() == 2; }, 10));
  const std::string log = testsupport::ReadFile(LogFilePath());
  for (const char* line : {"UpdateEstop deferred estop=1", "UpdateEstop AllOutputsOff deferredEstop=1",
                           "TrafficLight red", "Defered estop action="}) {
    EXPECT_NE(log.find(line), npos) << line;
  }
  frame->Close(true);
  guitest::Pump(0.2);
}

}  // namespace
