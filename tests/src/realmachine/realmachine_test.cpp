// The machine back end against a module inside the test process: flow
// control on the module's buffer, state changes released at their reference
// number, outputs switched where the program switches them, a stop, and a
// link that fails.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <memory>
#include <string>
#include <thread>

#include "common/fresh_parameters.h"
#include "machine/machineconfig.h"
#include "machine/machinestate.h"
#include "program/errors.h"
#include "realmachine/realmachine.h"
#include "tests/src/realmachine/fake_module.h"

namespace {

using testsupport::FakeModule;
constexpr double kRes = 0.0025;  // mm per step of the default axes

int32_t Steps(double mm) { return static_cast<int32_t>(std::lround(mm / kRes)); }

class RealMachineTest : public testsupport::FreshParametersTest {
 protected:
  void SetUp() override {
    FreshParametersTest::SetUp();
    LoadMachineConfig();
  }
  void TearDown() override {
    machine.reset();
    module.reset();
    spare.reset();
    FreshParametersTest::TearDown();
  }
  // A module executing `rate` points a millisecond (the machine's pace is
  // shortened to match).
  void Start(int rate) {
    module = std::make_unique<FakeModule>(rate);
    machine = std::make_unique<RealMachine>(nullptr);
    machine->Stream().Timing().speed = 5.0 * rate;
    std::string reason;
    ASSERT_TRUE(machine->Connect(module.get(), reason)) << reason;
    machine->StartWorker();
  }
  // Starts text; `during` is called every millisecond until the run ends
  // (at most 20 s). Returns the run's error code.
  template <class F>
  int32_t Run(const std::string& text, F during) {
    const uint32_t before = machine->RunsFinished();
    machine->ExecuteText(text);
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (machine->RunsFinished() == before) {
      if (std::chrono::steady_clock::now() > end) {
        ADD_FAILURE() << "the run did not end";
        machine->Stop(false);
        break;
      }
      during();
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return machine->LastErrorCode();
  }
  int32_t Run(const std::string& text) {
    return Run(text, [] {});
  }
  int32_t ModuleX() {
    int32_t p[ModuleLink::kChannels];
    module->Position(p);
    return p[0];
  }

  std::unique_ptr<FakeModule> module, spare;
  std::unique_ptr<RealMachine> machine;
};

// The stream never fills the module beyond its level; a state change waits
// in the trace until the module has passed the move before it, and an
// output switches exactly at that move's end.
TEST_F(RealMachineTest, BufferStaysWithinItsLevelAndChangesWaitForTheirPoint) {
  Start(4);
  bool floodEarly = false, floodSeenOff = false;
  const int32_t end1 = Steps(200);
  const int32_t code = Run("G90 G1 X200 F1200\n#O3=1\nM8\nG1 X300\nM30\n", [&] {
    const bool flood = actState.GetFlag(SF_COOLANT_FLOOD);
    const int32_t x = ModuleX();
    if (flood && x < end1) floodEarly = true;
    if (!flood && x > Steps(20)) floodSeenOff = true;
  });
  ASSERT_EQ(code, 0) << machine->LastErrorText();
  EXPECT_FALSE(floodEarly) << "M8 took effect before the machine got there";
  EXPECT_TRUE(floodSeenOff);
  EXPECT_TRUE(actState.GetFlag(SF_COOLANT_FLOOD));
  EXPECT_GT(module->MaxLevel(), machine->Stream().Timing().maxBufLevel / 2) << "the stream ran ahead";
  EXPECT_LE(module->MaxLevel(), machine->Stream().Timing().maxBufLevel);
  const auto events = module->Events();
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events[0].kind, 'O');
  EXPECT_EQ(events[0].number, 3);
  EXPECT_EQ(events[0].steps[0], end1) << "the output switches where the first move ends";
  EXPECT_TRUE(machine->GetOutput(3));
  Coordinates p;
  machine->GetPosition(p);
  EXPECT_NEAR(p.v[0], 300, kRes);
}

// A stop mid-run: the module stops the stream, the machine waits for
// standstill, clears the module's buffer and the trace, reports the line
// reached, and the next run starts from the position read back.
TEST_F(RealMachineTest, StopClearsTheBufferReportsTheLineAndTheNextRunStartsWhereItStands) {
  Start(2);
  bool stopped = false;
  const int32_t code = Run("G90\nG1 X400 F1200\nM30\n", [&] {
    if (!stopped && ModuleX() > Steps(30)) {
      stopped = true;
      machine->Stop(false);
    }
  });
  EXPECT_EQ(code, ERR_USER_BREAK);
  EXPECT_EQ(machine->LastErrorText().rfind("user break line 2 ", 0), 0u) << machine->LastErrorText();
  EXPECT_EQ(module->Stops(), 1);
  EXPECT_GE(module->Clears(), 2) << "the start and the stop clear the buffer";
  EXPECT_EQ(module->Queued(), 0);
  EXPECT_EQ(machine->Stream().Trace().Pending(), 0);
  const int32_t stoppedAt = ModuleX();
  EXPECT_LT(stoppedAt, Steps(400));
  Coordinates p;
  machine->GetPosition(p);
  EXPECT_NEAR(p.v[0], stoppedAt * kRes, 1e-9);

  ASSERT_EQ(Run("G91 G1 X10 F1200\n"), 0) << machine->LastErrorText();
  const auto received = module->Received();
  ASSERT_FALSE(received.empty());
  // Points are 5 ms of path apart: 0.15 mm at 1.5 x 20 mm/s.
  EXPECT_NEAR(received.front().steps[0], stoppedAt, Steps(0.15) + 1) << "the first point starts from the stop";
  EXPECT_NEAR(ModuleX(), stoppedAt + Steps(10), 1);
}

// A link that fails mid-run ends the run with the network error at once; a
// module that can be reached again afterwards counts as restarted and the
// machine runs on it.
TEST_F(RealMachineTest, FailedLinkEndsTheRunAndAModuleThatAnswersAgainIsTakenBack) {
  Start(2);
  auto lose = [&] {
    if (module->up && ModuleX() > Steps(20)) module->up = false;
  };
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(Run("G90\nG1 X300 F1200\n", lose), -1201);
  EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(), 3.0);
  EXPECT_EQ(machine->LastLinkFault(), RealMachine::LinkFault::LOST);
  EXPECT_FALSE(machine->Connected());
  EXPECT_EQ(machine->CheckMachineReady(), 2);

  std::string reason;
  module->up = true;
  ASSERT_TRUE(machine->Connect(module.get(), reason)) << reason;
  const int32_t restartAt[ModuleLink::kChannels] = {Steps(7), 0, 0, 0, 0, 0};
  spare = std::make_unique<FakeModule>(2, restartAt);
  machine->SetReopen([this]() -> ModuleLink* { return spare.get(); });
  EXPECT_EQ(Run("G90\nG1 X300 F1200\n", lose), -1201);
  EXPECT_EQ(machine->LastLinkFault(), RealMachine::LinkFault::RESTARTED);
  ASSERT_TRUE(machine->Connected());
  Coordinates p;
  machine->GetPosition(p);
  EXPECT_NEAR(p.v[0], 7, 1e-9) << "the position of the restarted module";
  EXPECT_EQ(Run("G90\nG1 X10 F1200\n"), 0) << machine->LastErrorText();
  int32_t q[ModuleLink::kChannels];
  spare->Position(q);
  EXPECT_EQ(q[0], Steps(10));
}

}  // namespace
