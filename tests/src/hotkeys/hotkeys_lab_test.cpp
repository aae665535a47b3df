// Hardware inputs as operator triggers on the veth lab: a button wired to an
// input of the soft module, bound to "Feed hold", pauses a program the
// machine runs; a second one bound to "Feed resume" lets it go on.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "common/testsupport.h"
#include "hotkeys/hotkeys.h"
#include "io/iomapping.h"
#include "tests/src/realmachine/machine_lab.h"

namespace {

// The main window's part: feed hold remembers the override, resume gives it
// back; posted input events wait for the next turn of the loop.
class MachineHost : public HotkeyHost {
 public:
  explicit MachineHost(BackEnd& machine) : machine(machine) {}
  BackEnd* HotkeyBackEnd() override { return &machine; }
  void RunOperation(Op op, int) override {
    ops.push_back(op);
    if (op == FEED_HOLD && machine.GetFeedOverride() > 0) {
      held = machine.GetFeedOverride();
      machine.SetFeedOverride(0);
    } else if (op == FEED_RESUME && held > 0) {
      machine.SetFeedOverride(held);
      held = 0;
    }
  }
  void StartJog(int, bool, int, bool, double) override {}
  void StopJog() override {}
  double SelectedJogSpeed() override { return 10; }
  bool AskYesNo(const std::string&, const std::string&) override { return false; }
  void ShowMessage(const std::string&, const std::string&) override {}
  void PostInputEvent(int action, bool active) override { queue.emplace_back(action, active); }

  BackEnd& machine;
  double held = 0;
  std::vector<Op> ops;
  std::vector<std::pair<int, bool>> queue;
};

constexpr int kHoldSignal = 300, kResumeSignal = 301;

using HotkeyLab = machinelab::MachineLab;

TEST_F(HotkeyLab, InputBoundToFeedHoldPausesTheRunAndOneBoundToResumeLetsItGoOn) {
  StartMachine(1);
  // Two free inputs of the main module, as an integrator wires buttons: at
  // rest they read inactive, whichever level that is on the pin.
  IoMapping& mapping = GetIoMapping();
  const std::string names[2] = {"hold button", "resume button"};
  const int signals[2] = {kHoldSignal, kResumeSignal};
  int pins[2] = {};
  std::string restLevel[2], pressLevel[2];
  // The main module's inputs on its first port, by connector pin.
  auto level = [&](int pin, const std::string& l) { return module->Control("pin Lpt1 pin" + std::to_string(pin) + " " + l); };
  int n = 0;
  for (int pin : {12, 13, 15, 10}) {
    if (n == 2) break;
    if (!mapping.AssignInput(signals[n], pin, false, &names[n])) continue;
    if (level(pin, "0") != "ok") {
      mapping.RemoveInput(signals[n]);
      continue;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const bool activeAtZero = machine->GetSignal(signals[n]);
    restLevel[n] = activeAtZero ? "1" : "0";
    pressLevel[n] = activeAtZero ? "0" : "1";
    level(pin, restLevel[n]);
    pins[n++] = pin;
  }
  ASSERT_EQ(n, 2) << "two inputs of the module are free";
  auto set = [&](int i, bool pressed) { level(pins[i], pressed ? pressLevel[i] : restLevel[i]); };
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  ASSERT_FALSE(machine->GetSignal(kHoldSignal));
  ASSERT_FALSE(machine->GetSignal(kResumeSignal));

  MachineHost host(*machine);
  Hotkeys keys(&host);
  ASSERT_TRUE(keys.AddBinding(ACTION_FEED_HOLD, HotkeyBinding::Input(kHoldSignal)));
  ASSERT_TRUE(keys.AddBinding(ACTION_FEED_RESUME, HotkeyBinding::Input(kResumeSignal)));

  const std::string program = testsupport::MakeTempDir("hold") + "/line.nc";
  std::string text = "%\nG21 G91 F1200\n";
  for (int i = 0; i < 30; ++i) text += "G1 X2\n";
  testsupport::WriteFile(program, text + "G90\nM30\n");
  enum Phase { MOVING, PRESSED, STILL, LET_GO, RESUMED } phase = MOVING;
  auto t0 = std::chrono::steady_clock::now();
  auto since = [&] { return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(); };
  double xAtPress = 0, xStill = 0, xLetGo = 0, xHeldEnd = 0;
  auto x = [&] {
    Coordinates p;
    machine->GetPosition(p);
    return p.v[0];
  };
  const double xStart = x();
  const RunResult r = RunFile(program, [&] {
    // The main cycle's turn: poll, then run what was posted.
    keys.PollInputs();
    for (auto [action, active] : std::exchange(host.queue, {})) keys.OnInputEvent(action, active);
    switch (phase) {
      case MOVING:
        if (x() > xStart + 5) {
          set(0, true);
          xAtPress = x();
          phase = PRESSED;
          t0 = std::chrono::steady_clock::now();
        }
        break;
      case PRESSED:
        // Braking at the override ramp, then standing.
        if (since() > 1.0) {
          xStill = x();
          phase = STILL;
          t0 = std::chrono::steady_clock::now();
        }
        break;
      case STILL:
        if (since() > 0.5) {
          // Letting go of the hold button does not resume.
          set(0, false);
          xLetGo = x();
          phase = LET_GO;
          t0 = std::chrono::steady_clock::now();
        }
        break;
      case LET_GO:
        if (since() > 0.5) {
          xHeldEnd = x();
          set(1, true);
          phase = RESUMED;
        }
        break;
      case RESUMED: break;
    }
  }, 60);
  EXPECT_EQ(r.code, 0) << r.text;
  ASSERT_EQ(phase, RESUMED);
  EXPECT_LT(xStill - xAtPress, 5.0) << "the hold braked within its ramp";
  EXPECT_NEAR(xLetGo, xStill, 1e-6) << "standing while held";
  EXPECT_NEAR(xHeldEnd, xStill, 1e-6) << "the release of the hold button does not resume";
  EXPECT_NEAR(x() - xStart, 60, 1e-3) << "resumed to the end";
  // One hold on the press; the resume button's press resumes.
  EXPECT_EQ(host.ops, (std::vector<HotkeyHost::Op>{HotkeyHost::FEED_HOLD, HotkeyHost::FEED_RESUME}));
}

}  // namespace
