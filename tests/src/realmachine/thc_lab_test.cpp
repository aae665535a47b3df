// Torch height control on the soft module over the veth lab: a plasma
// module measures the arc voltage over a sloped plate; switched on by M46
// it holds the voltage by moving Z on its own, within the M46 band; after
// M47 the program goes on from where the torch was left.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "common/applog_capture.h"
#include "io/iomapping.h"
#include "program/errors.h"
#include "tests/src/realmachine/machine_lab.h"

namespace {

using namespace machinelab;

constexpr double kRes = 0.0025;  // mm per step of X, Y and Z in the example parameters
constexpr double kSpeed = 4;     // the module ticks this much faster
// The plate: 20 mm below the start at X0, rising 0.05 mm per mm in X.
constexpr double kPlateZ0 = -20.0;
constexpr double kPlateSlope = 0.05;
// The arc: 80 V on the plate and 20 V per mm above it; the machine's
// divider brings it to the module's 0..10 V input.
constexpr double kArcAtPlate = 80;
constexpr double kArcPerMm = 20;
constexpr double kDivider = 50;
constexpr double kTarget = 120;  // V: 2 mm above the plate
constexpr double kDeadband = 1;  // V: 0.05 mm
constexpr int kArcGoodBit = 8;   // Korrin input pin 30
constexpr int kArcGoodPin = 30;
constexpr int kLimitBit = 9;     // pin 31
constexpr int kLimitPin = 31;

double Plate(double x) { return kPlateZ0 + kPlateSlope * x; }
double Arc(double x, double z) { return kArcAtPlate + kArcPerMm * (z - Plate(x)); }

class ThcLab : public MachineLab {
 protected:
  void Start() {
    std::ostringstream plate;
    plate << kPlateZ0 / kRes << ":" << kPlateSlope << ":0:" << kArcAtPlate / kDivider << ":"
          << kArcPerMm / kDivider * kRes;
    StartMachine(kSpeed, {"--thc-plate", plate.str(), "--arc-good", std::to_string(kArcGoodBit)}, "Korrin+THC");
    ASSERT_NE(machine, nullptr);
    MachineConfig& cfg = GetMachineConfig();
    cfg.thcDivider = kDivider;
    cfg.thcDeadband = kDeadband;
    cfg.thcGain = 4;
    cfg.machineType = 5;  // plasma: V is the voltage of M46, not an axis
  }
  std::string Program(const std::string& text) {
    const std::string file = testsupport::ScratchDir() + "/thc.nc";
    std::ofstream(file) << "%\n" << text;
    return file;
  }
  // The module's record times (µs) of its torch height control switching.
  std::vector<uint64_t> ThcEvents(const char* word) {
    std::vector<uint64_t> out;
    for (const auto& l : Lines(1, "EVT"))
      if (l.text.rfind(word, 0) == 0) out.push_back(l.micros);
    return out;
  }
};

// The torch follows the plate at the target voltage, and where the plate
// rises above the band's top it stays at the top.
TEST_F(ThcLab, TorchFollowsThePlateWithinTheBandAndStaysInsideTheM46Bounds) {
  Start();
  testsupport::AppLogCapture log(LOGCAT_TRAJECTORY);
  struct Case {
    double top;  // mm, J of M46
    bool followsToTheEnd;
  };
  for (const Case& c : {Case{-5, true}, Case{-17, false}}) {
    SCOPED_TRACE(c.top);
    const std::string file = testsupport::ScratchDir() + "/thc.nc";
    {
      std::ofstream f(file);
      f << "%\nG90 G0 X0 Y0 Z-17.5\nM3 S1000\nM46 V" << kTarget << " I-25 J" << c.top
        << "\nG1 X100 F1200\nM47\nM5\nG0 Z-2\n";
    }
    const uint64_t since = RecordEnd();
    std::vector<double> hostArc;
    const RunResult r = RunFile(file, [&] {
      if (machine->ThcOn()) hostArc.push_back(machine->GetArcVoltage());
    });
    ASSERT_EQ(r.code, 0) << r.text;
    EXPECT_FALSE(machine->ThcOn());

    std::vector<Sample> samples;
    std::vector<Switch> switches;
    std::vector<std::string> motions;
    ReadRecord(samples, switches, motions, since);
    uint64_t on = 0, off = 0;
    for (uint64_t t : ThcEvents("thc on"))
      if (t > since) on = t;
    for (uint64_t t : ThcEvents("thc off"))
      if (t > since) off = t;
    ASSERT_GT(on, 0u);
    ASSERT_GT(off, on);

    // Settled: the first sample from which on the voltage stays within the
    // deadband (with a small allowance for the lag on the slope) while the
    // band lets it.
    const double allowance = 0.25;  // V
    double settleS = -1, worstV = 0, worstZ = 0, lowest = 1e9, highest = -1e9;
    size_t settled = 0;
    for (size_t k = 0; k < samples.size(); ++k) {
      const Sample& s = samples[k];
      if (s.micros <= on || s.micros >= off) continue;
      lowest = std::min(lowest, s.p[2]);
      highest = std::max(highest, s.p[2]);
      if (!c.followsToTheEnd && Plate(s.p[0]) + 2 >= c.top - 0.1) continue;  // held at the top
      const double v = Arc(s.p[0], s.p[2]);
      if (std::fabs(v - kTarget) > kDeadband + allowance) settled = 0;
      else if (settled == 0) settled = k;
    }
    ASSERT_GT(settled, 0u);
    settleS = static_cast<double>(samples[settled].micros - on) * 1e-6 * kSpeed;
    // Z stays inside the band of M46 all the while.
    EXPECT_GE(lowest, -25 - kRes);
    EXPECT_LE(highest, c.top + kRes);
    double reachedX = 0;
    for (size_t k = settled; k < samples.size(); ++k) {
      const Sample& s = samples[k];
      if (s.micros >= off) break;
      const double ideal = Plate(s.p[0]) + (kTarget - kArcAtPlate) / kArcPerMm;
      const double dz = s.p[2] - ideal;
      if (c.followsToTheEnd || ideal < c.top - 0.1) {
        worstZ = std::max(worstZ, std::fabs(dz));
        worstV = std::max(worstV, std::fabs(Arc(s.p[0], s.p[2]) - kTarget));
        reachedX = s.p[0];
      } else if (ideal > c.top + 0.1) {
        // Past the band's top the torch stands at it.
        EXPECT_NEAR(s.p[2], c.top, kRes) << "at X" << s.p[0];
      }
    }
    EXPECT_LE(worstV, kDeadband + allowance);
    EXPECT_LT(settleS, 0.2);
    if (c.followsToTheEnd) {
      EXPECT_GT(reachedX, 99.9);
    } else {
      EXPECT_NEAR(reachedX, (c.top - 0.1 - 2 - kPlateZ0) / kPlateSlope, 0.5);
    }
    std::printf("[ thc      ] top %.1f: settled in %.3f s, largest Z deviation %.4f mm (%.3f V), followed to X%.1f\n",
                c.top, settleS, worstZ, worstV, reachedX);

    // The host reads the module's voltage: after settling it is the target.
    ASSERT_GT(hostArc.size(), 20u);
    if (c.followsToTheEnd) {
      EXPECT_NEAR(hostArc[hostArc.size() / 2], kTarget, kDeadband + allowance);
    }

    // After M47 the program goes on from where the torch was: the rapid
    // ends at its Z without a jump on the way.
    EXPECT_NEAR(samples.back().p[2], -2, kRes);
    Coordinates p;
    machine->GetPosition(p);
    EXPECT_NEAR(p.v[2], -2, 1e-9);
    for (size_t k = 1; k < samples.size(); ++k)
      ASSERT_LT(std::fabs(samples[k].p[2] - samples[k - 1].p[2]), 0.5) << "Z jumped at sample " << k;
  }
  EXPECT_EQ(log.Count("THC ON volt=120.000000 vel=20000.000000 acc=400000.000000 auto=0"), 2);
  EXPECT_EQ(log.Count("THC OFF"), 2);
}

// The arc goes out in the middle of a cut: the run ends with the arc's loss,
// found by the arc-good input or, without one, by the voltage leaving its
// limits, and the outputs stay as they are. A limit switch while the arc
// burns stays an ordinary stop that switches the outputs off.
TEST_F(ThcLab, ArcLostMidCutEndsTheRunAndLeavesTheOutputs) {
  Start();
  MachineConfig& cfg = GetMachineConfig();
  cfg.thcUseLimits = true;
  cfg.thcMinVolt = 100;
  cfg.thcMaxVolt = 140;
  IoMapping& m = GetIoMapping();
  ASSERT_TRUE(m.AssignInput(SIG_IN_LIMIT_PLUS + 0, kLimitPin, false));
  machine->ArmStopCondition();
  testsupport::AppLogCapture log(LOGCAT_TRAJECTORY | LOGCAT_IN_OUTPUT);
  const std::string file = Program("G90 G0 X0 Y0 Z-18\nM3 S1000\nM46 V120 I-25 J-5\nG1 X100 F600\nM47\nM5\n");
  struct Case {
    bool arcInput;      // arc good has a pin, else the voltage tells
    std::string fault;  // control line sent mid-cut, turned round afterwards
    int32_t code;
    bool outputsOff;
  };
  const Case cases[] = {{false, "arc 0", ERR_ARC_GOOD_LOST, false},
                        {true, "arc 0", ERR_ARC_GOOD_LOST, false},
                        {true, "input " + std::to_string(kLimitBit) + " 1", ERR_LIMIT_SWITCH, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fault + (c.arcInput ? " with the input" : " by the voltage"));
    m.RemoveInput(SIG_IN_ARC_OK);
    if (c.arcInput) {
      ASSERT_TRUE(m.AssignInput(SIG_IN_ARC_OK, kArcGoodPin, false));
    }
    const int offBefore = log.Count("AllOutputsOff()");
    Coordinates p;
    double xAtFault = 0;
    const RunResult r = RunFile(file, [&] {
      machine->GetPosition(p);
      // Past X30 of the cut, not at the start where the last run stopped.
      if (xAtFault == 0 && machine->ThcOn() && p.v[0] > 30) {
        xAtFault = p.v[0];
        module->Control(c.fault);
      }
    });
    std::string clear = c.fault;
    clear.back() = '0' + '1' - clear.back();
    module->Control(clear);
    ASSERT_GT(xAtFault, 0);
    EXPECT_EQ(r.code, c.code) << r.text;
    EXPECT_EQ(log.Count("AllOutputsOff()") > offBefore, c.outputsOff);
    machine->GetPosition(p);
    EXPECT_LT(p.v[0], xAtFault + 5) << "the cut stopped where the arc went out";
  }
}

// The nominal velocity reaches the module's THC at every feed of the cut
// while THC is on, as a share of the vmax: the second feed doubles it.
TEST_F(ThcLab, NominalVelocityReachesTheModulesThcWhenTheFeedChanges) {
  Start();
  const uint64_t since = RecordEnd();
  const RunResult r = RunFile(Program(
      "G90 G0 X0 Y0 Z-17.5\nM3 S1000\nG1 X10 F300\nM46 V120 I-25 J-5\nG1 X40 F600\nG1 X80 F1200\nM47\nG1 X90 F300\n"));
  ASSERT_EQ(r.code, 0) << r.text;
  ASSERT_TRUE(Driver().Synchronize(key, true));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  std::vector<double> shares;
  for (const auto& l : Lines(1, "EVT"))
    if (l.micros > since && l.text.rfind("thc nominal velocity=", 0) == 0)
      shares.push_back(std::stod(l.text.substr(21)));
  ASSERT_EQ(shares.size(), 2u);
  EXPECT_NEAR(shares[1] / shares[0], 2.0, 0.001);
}

// On a plasma machine without an arc-good input the arc counts as good while
// its voltage lies within the configured limits.
TEST_F(ThcLab, ArcGoodFromTheVoltageLimits) {
  Start();
  MachineConfig& cfg = GetMachineConfig();
  cfg.thcMinVolt = 100;
  cfg.thcMaxVolt = 140;
  const struct {
    double z;  // mm, over the plate at -20 mm at X0: 80 V + 20 V/mm
    bool useLimits;
    int machineType;
    bool good;
  } cases[] = {{-18, true, 5, true}, {-19.5, true, 5, false}, {-16, true, 5, false}, {-18, false, 5, false},
               {-18, true, 0, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "Z" << c.z << " limits " << c.useLimits << " type " << c.machineType);
    ASSERT_EQ(RunFile(Program("G90 G0 X0 Y0 Z" + std::to_string(c.z) + "\n")).code, 0);
    const double volts = kArcAtPlate + kArcPerMm * (c.z - kPlateZ0);
    ASSERT_TRUE(WaitUntil([&] { return machine->PollIo(), std::fabs(machine->GetArcVoltage() - volts) < 0.5; }, 2000));
    cfg.thcUseLimits = c.useLimits;
    cfg.machineType = c.machineType;
    EXPECT_EQ(machine->GetSignal(SIG_IN_ARC_OK), c.good) << machine->GetArcVoltage() << " V";
    cfg.machineType = 5;
  }
}

}  // namespace
