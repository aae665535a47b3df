// Modbus end to end on the veth lab: the PC's batches through the link to a
// soft module, whose libmodbus master runs them on a paced pseudo-terminal
// line to a simulated frequency converter (libmodbus server) and back.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>

#include "common/applog_capture.h"
#include "io/modbus.h"
#include "io/modbusport.h"
#include "link_fixture.h"

namespace {

constexpr uint8_t kDrive = 1;
constexpr uint16_t kSetPointReg = 1, kActualReg = 3;

class ModbusLab : public LinkLab {
 protected:
  void StartLine(int baud, std::vector<std::string> driveArgs = {}) {
    driveArgs.insert(driveArgs.end(), {"--baud", std::to_string(baud), "--ramp", "0"});
    vfd = std::make_unique<netlab::VfdSim>(driveArgs);
    StartModSim(Module(1, {"--modbus-port", vfd->Port()}));
    StartDriver();
    key = OpenFirst();
    port = std::make_unique<DriverModbusPort>(*driver, key);
    modbus.baudrate = baud;
    modbus.AddDevice(kDrive, "spindle drive");
  }
  void TearDown() override {
    port.reset();
    LinkLab::TearDown();
    vfd.reset();
  }
  // Poll cycles every `periodMs`, as the back end's I/O poll runs them,
  // until `done` or the time is up.
  template <typename Pred>
  bool CycleUntil(Pred done, int timeoutMs, int periodMs = 10) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
      if (std::chrono::steady_clock::now() > end) return false;
      modbus.Cycle(port.get());
      std::this_thread::sleep_for(std::chrono::milliseconds(periodMs));
    }
    return true;
  }
  uint16_t Value(int32_t pin) {
    uint16_t v = 0;
    EXPECT_TRUE(modbus.GetValue(pin, v));
    return v;
  }

  std::unique_ptr<netlab::VfdSim> vfd;
  uint32_t key = 0;
  std::unique_ptr<DriverModbusPort> port;
  Modbus modbus;
};

// The spindle output writes its speed through a ranged register (0..24000
// rpm as 0..24000); the drive's actual speed comes back the same way.
TEST_F(ModbusLab, SpindleSpeedReachesTheDriveAndItsActualSpeedComesBack) {
  StartLine(115200);
  const int32_t setPoint = modbus.AddRegister(kDrive, kSetPointReg, true, false, 0, "speed set-point")->Pin();
  const int32_t actual = modbus.AddRegister(kDrive, kActualReg, false, false, 0, "actual speed")->Pin();
  ASSERT_TRUE(modbus.SetValue(setPoint, ValueToRegister(12000.0, 0, 24000, 0.0, 24000.0)));
  EXPECT_TRUE(CycleUntil([&] { return vfd->Holding(kSetPointReg) == 12000; }, 5000));
  EXPECT_TRUE(CycleUntil([&] { return Value(actual) == 12000; }, 5000));
  EXPECT_DOUBLE_EQ(RegisterToValue(Value(actual), 0, 24000, 0.0, 24000.0), 12000.0);
  // A new speed replaces the old one on the drive.
  modbus.SetValue(setPoint, 3000);
  EXPECT_TRUE(CycleUntil([&] { return Value(actual) == 3000; }, 5000));
  EXPECT_EQ(vfd->Holding(kSetPointReg), 3000);
  EXPECT_EQ(modbus.NoAnswerCount(), 0u);
}

// A drive that does not answer: its transactions time out on the bus, the
// walk ends there, the values stay, and the set-point is sent again until
// the drive takes it.
TEST_F(ModbusLab, ASilentDriveTimesOutAndGetsItsSetPointOnceItAnswersAgain) {
  testsupport::AppLogCapture log;
  StartLine(115200);
  const int32_t actual = modbus.AddRegister(kDrive, kActualReg, false, false, 0, "actual speed")->Pin();
  const int32_t setPoint = modbus.AddRegister(kDrive, kSetPointReg, true, false, 0, "speed set-point")->Pin();
  vfd->Control("set 1 500");
  ASSERT_TRUE(CycleUntil([&] { return Value(actual) == 500; }, 5000));
  EXPECT_EQ(vfd->Control("silent"), "ok");
  modbus.SetValue(setPoint, 8000);
  const auto t0 = std::chrono::steady_clock::now();
  ASSERT_TRUE(CycleUntil([&] { return modbus.NoAnswerCount() >= 3; }, 5000));
  // Every answerless batch waited out the module's timeout.
  EXPECT_GE(SecondsSince(t0), 3 * modbus.timeoutMs / 1000.0);
  EXPECT_EQ(Value(actual), 500);
  EXPECT_GE(log.Count("Handle Results NoAnswer reg=3"), 1);
  EXPECT_EQ(vfd->Control("talk"), "ok");
  EXPECT_TRUE(CycleUntil([&] { return vfd->Holding(kSetPointReg) == 8000 && Value(actual) == 8000; }, 5000));
  // A device address nobody answers to behaves the same.
  modbus.AddDevice(9, "absent");
  const int32_t absent = modbus.AddRegister(9, 3, false, false, 0, "absent")->Pin();
  const uint64_t before = modbus.NoAnswerCount();
  EXPECT_TRUE(CycleUntil([&] { return modbus.NoAnswerCount() > before; }, 5000));
  EXPECT_EQ(Value(absent), 0);
}

// A corrupt CRC on the line is no answer; an exception answer is a fault
// that leaves the value alone.
TEST_F(ModbusLab, CorruptAnswersAndExceptionsAreHandled) {
  testsupport::AppLogCapture log;
  StartLine(115200);
  const int32_t actual = modbus.AddRegister(kDrive, kActualReg, false, false, 0, "actual speed")->Pin();
  const int32_t missing = modbus.AddRegister(kDrive, 200, false, false, 0, "not in the drive")->Pin();
  const int32_t missingW = modbus.AddRegister(kDrive, 201, true, false, 0, "not in the drive")->Pin();
  vfd->Control("set 1 1234");
  ASSERT_TRUE(CycleUntil([&] { return Value(actual) == 1234; }, 5000));
  modbus.SetValue(missingW, 5);
  ASSERT_TRUE(CycleUntil([&] { return log.Count("Handle Results WriteFault reg=201") == 1; }, 5000));
  EXPECT_GE(log.Count("Handle Results ReadFault reg=200"), 1);
  EXPECT_EQ(Value(missing), 0);
  EXPECT_EQ(modbus.NoAnswerCount(), 0u) << "an exception is an answer";

  EXPECT_EQ(vfd->Control("corrupt 1"), "ok");
  vfd->Control("set 1 4321");
  ASSERT_TRUE(CycleUntil([&] { return modbus.NoAnswerCount() == 1; }, 5000));
  EXPECT_TRUE(CycleUntil([&] { return Value(actual) == 4321; }, 5000)) << "the next answers are good again";
  EXPECT_EQ(modbus.NoAnswerCount(), 1u);
  EXPECT_EQ(log.Count("Handle Results WriteFault reg=201"), 1) << "a rejected write is not repeated";
}

// A full batch at 9600 baud: every register is answered, none waits out
// the timeout, though the batch as a whole takes longer than one timeout.
TEST_F(ModbusLab, AFullBatchOfRegistersIsAnsweredWithinTheTimeout) {
  StartLine(9600);
  modbus.timeoutMs = 250;  // a tenth of it is the wire: room for a busy machine
  std::vector<int32_t> pins;
  for (int r = 10; r < 41; ++r)
    pins.push_back(modbus.AddRegister(kDrive, static_cast<uint16_t>(r), false, false, 1000, "parameter")->Pin());
  // All are due in the first cycle and fit one batch (31 reads).
  auto answered = [&] {
    for (size_t i = 0; i < pins.size(); ++i)
      if (Value(pins[i]) != 1010 + i) return false;
    return true;
  };
  const auto t0 = std::chrono::steady_clock::now();
  ASSERT_TRUE(CycleUntil(answered, 10000, 5));
  const double seconds = SecondsSince(t0);
  EXPECT_EQ(modbus.NoAnswerCount(), 0u);
  // One read is 8 + 7 characters of 11 bits and a 3.5-character gap:
  // about 21 ms at 9600 baud.
  const double wire = 31 * (15 + 3.5) * 11 / 9600.0;
  EXPECT_GT(seconds, wire) << "the line is paced at its baud rate";
  EXPECT_LT(seconds, 31 * modbus.timeoutMs / 1000.0 / 2) << "no transaction waited out its timeout";
  // A slow machine may already have asked the first registers again (their
  // period is a second): every request the drive saw was answered.
  const std::string stats = vfd->Control("stats");
  int requests = 0, answers = 0;
  ASSERT_EQ(std::sscanf(stats.c_str(), "requests=%d answers=%d", &requests, &answers), 2) << stats;
  EXPECT_GE(requests, 31) << stats;
  EXPECT_EQ(answers, requests) << stats;
}

}  // namespace
