// The safety machines against soft modules on the veth lab: the emergency
// stop on the main module and on an extension stopping a running motion, the
// door's lock and unlock sequence with the order of the drive outputs, and
// the safety circuit test's pass and fail paths, all from the modules' inputs.
#include <algorithm>

#include "base/logging.h"
#include "base/messagelist.h"
#include "common/paramfolder.h"
#include "tests/src/io/io_lab.h"

namespace {

using netlab::ModuleKey;

// Korrin pins of the test machine and their bits.
constexpr int kDoorPin = 10;        // input bit 0
constexpr int kEstopPin = 11;       // input bit 1, contact opens when pressed
constexpr int kStandstillPin = 12;  // input bit 2
constexpr int kServoReadyPin = 13;  // input bit 3
constexpr int kLoop1Pin = 15;       // input bit 4
constexpr int kLoop2Pin = 30;       // input bit 8

struct SafetyLab : IoLab {
  void SetUp() override {
    IoLab::SetUp();
    SetMessageList(nullptr);
    GetDefaultMessageList().Clear();
    // The I/O and safety lines are what the tests look for.
    SetLogMask(mask | LOGCAT_IN_OUTPUT | LOGCAT_TRAJECTORY);
  }
  void TearDown() override {
    SetLogMask(mask);
    IoLab::TearDown();
  }
  const int32_t mask = GetLogMask();
  // The test machine's wiring on the Korrin; outputs in bit order.
  void WireKorrin() {
    ASSERT_TRUE(mapping.AssignInput(SIG_IN_EMERGENCY_STOP, kEstopPin, true));
    ASSERT_TRUE(mapping.AssignInput(SIG_IN_DOOR_OPEN1, kDoorPin, false));
    ASSERT_TRUE(mapping.AssignInput(SIG_IN_STAND_STILL, kStandstillPin, true));
    ASSERT_TRUE(mapping.AssignInput(SIG_IN_SERVO_READY, kServoReadyPin, true));
    ASSERT_TRUE(mapping.AssignInput(SIG_IN_SAFETY_LOOP1, kLoop1Pin, false));
    ASSERT_TRUE(mapping.AssignInput(SIG_IN_SAFETY_LOOP2, kLoop2Pin, false));
    const std::pair<int, int> outputs[] = {{SIG_OUT_UNLOCK_DOOR, 1},
                                           {SIG_OUT_SERVO_ENABLE, 14},
                                           {SIG_OUT_SERVO_ENABLE_INVERTED, 16},
                                           {SIG_OUT_HOLDING_BRAKE, 17},
                                           {SIG_OUT_CURRENT_REDUCTION, 21},
                                           {SIG_OUT_CURRENT_REDUCTION_INVERTED, 34},
                                           {SIG_OUT_CHARGE_PUMP, 36},
                                           {SIG_OUT_SAFETY_LOOP1, 22},
                                           {SIG_OUT_SAFETY_LOOP2, 23}};
    for (auto [signal, pin] : outputs) ASSERT_TRUE(mapping.AssignOutput(signal, pin)) << signal;
  }
  // `n` path points on X, 10 steps apart, into the main module's buffer.
  void Stream(int n) {
    for (int i = 1; i <= n; ++i) {
      int32_t steps[1] = {10 * i};
      uint16_t ref = 0;
      ASSERT_TRUE(driver->SetPosition(ModuleKey(1), steps, 1, &ref));
    }
    driver->Synchronize(ModuleKey(1), false);
  }
  bool InputNow(int signal, bool active) {
    return WaitUntil([&] { machine->Control().PollInputs(true); return machine->GetInput(signal) == active; }, 2000);
  }
  std::vector<std::string> Messages() { return GetDefaultMessageList().Lines(); }
  uint32_t Motion() { return machine->Safety().MotionState(); }
  uint32_t Door() { return machine->Safety().DoorState(); }

  // A motion streamed, the emergency stop pressed by `press` while it runs:
  // the poll that first sees the stop input leaves the supervisor halting
  // and the module's motion stopped; after release the buffer is cleared
  // once and the supervisor comes back to idle.
  void EmergencyStopDuringMotion(const std::string& press, const std::string& release) {
    testsupport::WxLogCapture log;
    ASSERT_EQ(machine->BeginMotion(), 0);
    Stream(400);  // 2 s at the module's 200 points a second
    ASSERT_TRUE(PollUntil([&] { return Motion() == MOTION_MOVING; })) << "the module reports motion";
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const size_t clears = Commands(1, 10).size();
    ASSERT_EQ(sims[0]->Control(press), "ok");
    int polls = 0;
    while (!machine->GetInput(SIG_IN_EMERGENCY_STOP) && polls < 300) {
      ASSERT_TRUE(machine->Poll());
      ++polls;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_TRUE(machine->GetInput(SIG_IN_EMERGENCY_STOP));
    // The very poll that read it:
    EXPECT_EQ(Motion(), MOTION_HALTING);
    EXPECT_NE(Door(), DOOR_ACTIVE) << "drives off";
    EXPECT_FALSE(machine->GetOutput(SIG_OUT_SERVO_ENABLE));
    // The motion has stopped: no position changes a tick after the stop.
    ASSERT_TRUE(WaitUntil([&] { return !Commands(1, 5).empty() || HasEvent(1, "emergency stop inputs=000000"); },
                          1000));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const auto pos = Lines(1, "POS");
    ASSERT_FALSE(pos.empty());
    const int32_t stoppedAt = std::stoi(pos.back().text);
    EXPECT_LT(stoppedAt, 4000) << "stopped before the end of the path";
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(Lines(1, "POS").size(), pos.size()) << "nothing moves any more";
    // Held while the button is pressed.
    for (int i = 0; i < 5; ++i) machine->Poll();
    EXPECT_EQ(Motion(), MOTION_HALTING);
    EXPECT_EQ(Commands(1, 10).size(), clears) << "no clear while the emergency stop is pressed";
    EXPECT_EQ(machine->BeginMotion(), -101);

    ASSERT_EQ(sims[0]->Control(release), "ok");
    ASSERT_TRUE(PollUntil([&] { return Motion() == MOTION_IDLE; }));
    EXPECT_EQ(Commands(1, 10).size(), clears + 1) << "the buffer is cleared once";
    EXPECT_EQ(machine->BufferLevel(), 0);
    const std::vector<std::string> messages = Messages();
    EXPECT_NE(std::find(messages.begin(), messages.end(), "emergency stop switch triggered"), messages.end());
    for (const char* line : {"State changed: moving->halting", "State changed: halting->blocked",
                             "#### ClearBuffer() SafetyPlc ####", "State changed: blocked->cleared",
                             "State changed: cleared->idle"})
      EXPECT_TRUE(log.Saw(line)) << line;
    // And it runs again.
    EXPECT_EQ(machine->BeginMotion(), 0);
  }
};

TEST_F(SafetyLab, EmergencyStopOnTheMainModuleStopsMotionAndTheBufferIsCleared) {
  StartModSim(Model(1, "Korrin", {"--rate", "200"}));
  StartMachine({1}, SafetyConfig(), [&] { WireKorrin(); });
  EmergencyStopDuringMotion("@1 pin 11 0", "@1 pin 11 1");
  EXPECT_TRUE(HasEvent(1, "emergency stop inputs=000000")) << "the main module stopped by itself";
}

TEST_F(SafetyLab, EmergencyStopOnAnExtensionStopsTheMainModuleWithinOnePoll) {
  StartModSim(Join({Model(1, "Korrin", {"--rate", "200"}), Model(2, "Trellex1")}));
  StartMachine({1, 2}, SafetyConfig(), [&] {
    WireKorrin();
    mapping.RemoveInput(SIG_IN_EMERGENCY_STOP);
    ASSERT_TRUE(mapping.AssignInput(SIG_IN_EMERGENCY_STOP, 40 + 9, true));  // extension input pin 1
    sims[0]->Control("@2 pin 9 1");                                           // contact closed
    ASSERT_TRUE(WaitUntil([&] { machine->Control().PollInputs(true); return !machine->GetInput(1); }, 2000));
  });
  EXPECT_TRUE(machine->Control().PcSideConditionActive());
  EmergencyStopDuringMotion("@2 pin 9 0", "@2 pin 9 1");
  EXPECT_FALSE(Commands(1, 5).empty()) << "the PC stopped the main module";
}

// Lock, drives on in order, motion, drives off in order, unlock, open, shut.
TEST_F(SafetyLab, DoorLockAndUnlockSequenceWithTheDriveOutputsInOrder) {
  StartModSim(Model(1, "Korrin", {"--rate", "200"}));
  SafetyConfig cfg;
  cfg.doorMode = DOORMODE_LOCKED1;
  cfg.brakeDelayS = 0.05;
  StartMachine({1}, cfg, [&] { WireKorrin(); });
  testsupport::WxLogCapture log;
  ASSERT_TRUE(PollUntil([&] { return Door() == DOOR_LOCKED; }));
  ASSERT_EQ(machine->BeginMotion(), 0);
  EXPECT_EQ(Door(), DOOR_ACTIVE);
  Stream(40);
  ASSERT_TRUE(PollUntil([&] { return Motion() == MOTION_MOVING; }));
  ASSERT_TRUE(PollUntil([&] { return Motion() == MOTION_IDLE; }));
  machine->EndMotion(0.1);
  EXPECT_EQ(Door(), DOOR_READY);
  ASSERT_TRUE(PollUntil([&] { return Door() == DOOR_LOCKED; })) << "servos off after the timer";
  ASSERT_TRUE(machine->Safety().UnlockDoor());
  EXPECT_EQ(Door(), DOOR_UNLOCKING);
  sims[0]->Control("@1 pin 10 1");
  ASSERT_TRUE(PollUntil([&] { return Door() == DOOR_SAFE; }));
  EXPECT_EQ(machine->BeginMotion(), -106) << "the door is open";
  sims[0]->Control("@1 pin 10 0");
  ASSERT_TRUE(PollUntil([&] { return Door() == DOOR_LOCKED; }));

  // Output bits: 0 unlock door, 1 servo enable, 2 its inverse, 3 brake, 4
  // current reduction, 5 its inverse, 6 charge pump.
  ASSERT_TRUE(WaitOut(1, "0054"));
  std::vector<std::string> words;
  std::vector<uint64_t> at;
  for (const auto& l : Lines(1, "OUT")) {
    words.push_back(l.text);
    at.push_back(l.micros);
  }
  EXPECT_EQ(words, (std::vector<std::string>{"0040", "0042", "004a", "006a",    // pump, enable, brake off, full current
                                              "007a", "005a",                    // current low
                                              "0052", "0050", "0054",            // brake on, enable off
                                              "0055", "0054"}));                 // unlocked, locked again
  ASSERT_EQ(at.size(), 11u);
  EXPECT_GE(at[3] - at[2], 45000u) << "the brake delay before full current";
  EXPECT_GE(at[7] - at[6], 45000u) << "the brake delay before the drives let go";
  // The motion ran between full current and current low.
  const auto pos = Lines(1, "POS");
  ASSERT_GE(pos.size(), 2u);
  EXPECT_GT(pos[1].micros, at[3]);
  EXPECT_LT(pos.back().micros, at[4]);
  for (const char* line : {"State changed: safe -> door locked", "BeginMotion lock door, servos on",
                           "BeginMotion WaitServoReady OK", "BeginMotion start brake delay", "BeginMotion currHi",
                           "State changed: active -> ready, EndMotion, currLow", "EndMotion Timer start",
                           "State changed: ready -> locked, ServosOff", "enable off after brake delay",
                           "State changed: Door locked -> unlock door", "State changed: unlocked -> door open",
                           "BeginMotion not OK, door open"})
    EXPECT_TRUE(log.Saw(line)) << line;
}

// The circuit test from the inputs of the soft module: the full sequence
// makes it ready; a loop that opens takes the drives off; a loop stuck on is
// found.
TEST_F(SafetyLab, SafetyCircuitTestPassesAndFailsOnTheModulesInputs) {
  StartModSim(Model(1, "Korrin"));
  SafetyConfig cfg;
  cfg.circuitTest = true;
  StartMachine({1}, cfg, [&] { WireKorrin(); });
  testsupport::WxLogCapture log;
  SafetyPlc& plc = machine->Safety();
  auto circuitIs = [&](int s) { return PollUntil([&] { return plc.CircuitState() == s; }); };
  EXPECT_EQ(machine->BeginMotion(), -200) << "not tested yet";
  ASSERT_TRUE(circuitIs(1));
  EXPECT_TRUE(WaitOut(1, "0100")) << "loop 1 output on";
  ASSERT_TRUE(circuitIs(2));
  sims[0]->Control("@1 pin 15 1");  // the start button closes loop 1
  ASSERT_TRUE(circuitIs(3));
  ASSERT_TRUE(circuitIs(4));
  EXPECT_TRUE(WaitOut(1, "0300")) << "loop 2 output on";
  sims[0]->Control("@1 pin 30 1");
  ASSERT_TRUE(circuitIs(SafetyPlc::kCircuitReady));
  EXPECT_TRUE(log.Saw("Safety circuit state change 5->6"));
  ASSERT_EQ(machine->BeginMotion(), 0);

  // Loop 1 opens during motion: drives off, outputs off, the test waits for
  // both loops to open.
  sims[0]->Control("@1 pin 15 0");
  ASSERT_TRUE(circuitIs(SafetyPlc::kCircuitWaitOpen));
  EXPECT_EQ(Door(), DOOR_LOCKED);
  EXPECT_FALSE(machine->GetOutput(SIG_OUT_SERVO_ENABLE));
  EXPECT_FALSE(machine->GetOutput(SIG_OUT_SAFETY_LOOP1));
  EXPECT_EQ(machine->BeginMotion(), -200);
  // Loop 2 stays closed: stuck on.
  ASSERT_TRUE(circuitIs(SafetyPlc::kCircuitFailed));
  EXPECT_EQ(plc.CircuitError(), 5);
  EXPECT_TRUE(log.Saw("Safety circuit error 5"));
  EXPECT_EQ(machine->BeginMotion(), -205);
  const std::vector<std::string> messages = Messages();
  EXPECT_NE(std::find(messages.begin(), messages.end(), "Safety circuit not ready"), messages.end())
      << "the drives went off with the reason";

  // Restarted with loop 1 stuck on: relay stuck.
  sims[0]->Control("@1 pin 30 0");
  sims[0]->Control("@1 pin 15 1");
  ASSERT_TRUE(InputNow(SIG_IN_SAFETY_LOOP1, true));
  plc.RestartCircuitTest();
  ASSERT_TRUE(circuitIs(SafetyPlc::kCircuitFailed));
  EXPECT_EQ(plc.CircuitError(), 1);
  EXPECT_EQ(machine->BeginMotion(), -201);
}

}  // namespace
