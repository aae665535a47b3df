// The machine's I/O poll with the logic array and Modbus on the veth lab: a
// soft Korrin module whose Modbus master drives the simulated frequency
// converter on a paced RTU line.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "io/iocycle.h"
#include "io/modbus.h"
#include "io_lab.h"

namespace {

constexpr uint8_t kDrive = 1;

class IoCycleLab : public IoLab {
 protected:
  void TearDown() override {
    IoLab::TearDown();
    vfd.reset();
  }
  std::unique_ptr<netlab::VfdSim> vfd;
  Modbus modbus;
  LogicArray logic;
};

// Registers as signal pins in the poll cycle: the spindle speed goes out
// through the PWM output signal's ranged register, the actual speed and the
// drive's status come back as input signals, and a gate of the logic array
// follows the status in the same polls, switching through module control an
// output signal whose pin is another register of the drive (a lamp, say).
TEST_F(IoCycleLab, RegistersServeAsSignalPinsInThePollCycle) {
  vfd = std::make_unique<netlab::VfdSim>(std::vector<std::string>{"--baud", "115200", "--ramp", "0"});
  StartModSim(Model(1, "Korrin", {"--modbus-port", vfd->Port()}));
  modbus.baudrate = 115200;
  modbus.AddDevice(kDrive, "spindle drive");
  const int32_t setPoint = modbus.AddRegister(kDrive, 1, true, false, 0, "speed set-point")->Pin();
  const int32_t status = modbus.AddRegister(kDrive, 2, false, false, 0, "status")->Pin();
  const int32_t actual = modbus.AddRegister(kDrive, 3, false, false, 40, "actual speed")->Pin();
  const int32_t lampReg = modbus.AddRegister(kDrive, 10, true, false, 0, "running lamp")->Pin();
  mapping.SetRegisters(&modbus);
  const std::string speedName = "spindle actual speed";
  StartMachine({1}, SafetyConfig(), [&] {
    ASSERT_TRUE(mapping.AssignRangedOutput(SIG_OUT_PWM, setPoint, 0.0, 24000.0, 0, 24000));
    ASSERT_TRUE(mapping.AssignRangedInput(100, actual, 0.0, 24000.0, 0, 24000, &speedName));
    ASSERT_TRUE(mapping.AssignInput(SIG_IN_VFD_SPEED_OK, status, false));
    ASSERT_TRUE(mapping.AssignOutput(30, lampReg));
    EXPECT_FALSE(mapping.AssignInput(101, Modbus::PinOf(false, false, kDrive, 77), false))
        << "a register that is not configured";
  });
  ASSERT_TRUE(logic.SetText("AND,#O30,#I49 ;spindle running lamp").empty());
  machine->SetCycleHooks(logic, modbus);

  ASSERT_TRUE(WriteRegisterOutput(mapping, modbus, SIG_OUT_PWM, 12000.0));
  double rpm = 0;
  EXPECT_TRUE(PollUntil([&] { return ReadRegisterInput(mapping, modbus, 100, rpm) && rpm == 12000.0; }, 5000));
  EXPECT_EQ(vfd->Holding(1), 12000);
  EXPECT_TRUE(PollUntil([&] { return vfd->Holding(10) == 1; }, 3000));
  EXPECT_TRUE(mapping.InputActive(SIG_IN_VFD_SPEED_OK));
  EXPECT_TRUE(mapping.OutputState(30));
  WriteRegisterOutput(mapping, modbus, SIG_OUT_PWM, 0.0);
  EXPECT_TRUE(PollUntil([&] { return vfd->Holding(10) == 0; }, 5000)) << "the drive stopped: the lamp goes out";
  EXPECT_TRUE(ReadRegisterInput(mapping, modbus, 100, rpm));
  EXPECT_EQ(rpm, 0.0);
  EXPECT_FALSE(WriteRegisterOutput(mapping, modbus, SIG_OUT_SPINDLE_FORWARD, 1.0)) << "no register pin";
}

}  // namespace
