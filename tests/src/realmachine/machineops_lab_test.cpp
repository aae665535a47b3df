// The machine operations on the soft module over the veth lab: homing finds
// the switches in order and sets the position to within a step, a probing
// move stops at the surface and hands the interpreter where it stopped,
// jogs stop on release and at the soft limit, and Stop and the emergency
// stop end every operation with the machine standing and the reason kept.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <fstream>
#include <functional>
#include <sstream>

#include "base/messagelist.h"
#include "common/applog_capture.h"
#include "driver/src/linkframe.h"
#include "io/iomapping.h"
#include "machine/machinestate.h"
#include "machine/surfacemapping.h"
#include "machine/transformation.h"
#include "motion/motionlimits.h"
#include "program/errors.h"
#include "simulation/simulation.h"
#include "tests/src/realmachine/machine_lab.h"

namespace {

// The surface map a test switched on is off again whatever way the test ends.
struct SurfaceMapOff {
  ~SurfaceMapOff() {
    GetSurfaceMapping().Enable(false);
    actState.SetSurfaceMapping(false);
  }
};

using namespace machinelab;

constexpr double kRes = 0.0025;  // mm per step of X, Y and Z in the example parameters
// Korrin pins and their input bits.
constexpr int kHomeXPin = 30, kHomeXBit = 8;
constexpr int kHomeYPin = 31, kHomeYBit = 9;
constexpr int kHomeZPin = 32, kHomeZBit = 10;
constexpr int kProbePin = 33, kProbeBit = 11;
constexpr int kEstopPin = 11, kEstopBit = 1;

// The switches as the machine stands at the start (steps from there).
constexpr long kSwitchX = -8000;  // X homes towards minus
constexpr long kSwitchY = 6000;   // Y towards plus
constexpr long kSwitchZ = 4000;   // Z towards plus
constexpr long kPlateZ = -2000;   // the probe touches 5 mm below the start

std::string Sw(int bit, char axis, const char* cmp, long steps) {
  return std::to_string(bit) + ":" + axis + cmp + std::to_string(steps);
}

class OpsLab : public MachineLab {
 protected:
  void Configure() {
    MachineConfig& cfg = GetMachineConfig();
    cfg.homingOrder = 4;
    auto axis = [&](int a, int mode, double lo, double hi, double offset) {
      AxisParams& p = cfg.axis[a];
      p.homeSwitchMode = mode;
      p.minPosition = lo;
      p.maxPosition = hi;
      p.refOffset = offset;
      p.refVelocity = 20;
      p.refInching = 0.25;
      p.refTolerance = 0.1;
    };
    axis(0, 1, 0, 100, 2.0);    // home = MinPosition 0, 2 mm off the switch
    axis(1, 2, 0, 50, 1.0);     // home = MaxPosition 50
    axis(2, 4, -50, 0, 0.5);    // home = HomePosition -1
    cfg.axis[2].homePosition = -1;
  }
  void Start(double speed, std::vector<std::string> extra = {}) {
    std::vector<std::string> sensors = {"--switch", Sw(kHomeXBit, 'X', "<=", kSwitchX),
                                        "--switch", Sw(kHomeYBit, 'Y', ">=", kSwitchY),
                                        "--switch", Sw(kHomeZBit, 'Z', ">=", kSwitchZ),
                                        "--probe",  std::to_string(kProbeBit) + ":" + std::to_string(kPlateZ)};
    sensors.insert(sensors.end(), extra.begin(), extra.end());
    StartMachine(speed, sensors);
    ASSERT_NE(machine, nullptr);
    Configure();
    IoMapping& m = GetIoMapping();
    ASSERT_TRUE(m.AssignInput(SIG_IN_HOME_SWITCH + 0, kHomeXPin, false));
    ASSERT_TRUE(m.AssignInput(SIG_IN_HOME_SWITCH + 1, kHomeYPin, false));
    ASSERT_TRUE(m.AssignInput(SIG_IN_HOME_SWITCH + 2, kHomeZPin, false));
    ASSERT_TRUE(m.AssignInput(SIG_IN_PROBE_3D, kProbePin, false));
    ASSERT_TRUE(m.AssignInput(SIG_IN_EMERGENCY_STOP, kEstopPin, true));  // the contact opens when pressed
    machine->ArmStopCondition();
  }
  // Starts an operation and waits for its end.
  bool Operate(const std::function<void()>& start, int timeoutMs = 30000) {
    const uint32_t before = machine->OperationsFinished();
    start();
    return WaitUntil([&] { return machine->OperationsFinished() != before; }, timeoutMs);
  }
  Coordinates Pos() {
    Coordinates p;
    machine->GetPosition(p);
    return p;
  }
  // The module's counter settings of the record: channel, steps, physical.
  struct Setting {
    uint64_t micros;
    int channel;
    long steps, physical;
  };
  std::vector<Setting> Settings() {
    std::vector<Setting> out;
    EXPECT_TRUE(Driver().Synchronize(key, true));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    for (const auto& l : Lines(1, "EVT")) {
      Setting s{l.micros, 0, 0, 0};
      if (std::sscanf(l.text.c_str(), "set position channel=%d steps=%ld physical=%ld", &s.channel, &s.steps,
                      &s.physical) == 3)
        out.push_back(s);
    }
    return out;
  }
  // The module's position record (steps of X, Y, Z) up to time `until`.
  std::vector<std::array<long, 4>> Positions(uint64_t from, uint64_t until) {
    std::vector<std::array<long, 4>> out;
    for (const auto& l : netlab::ReadRecord(Record(1))) {
      if (l.kind != "POS" || l.micros < from || l.micros > until) continue;
      std::istringstream in(l.text);
      std::array<long, 4> p{static_cast<long>(l.micros), 0, 0, 0};
      in >> p[1] >> p[2] >> p[3];
      out.push_back(p);
    }
    return out;
  }
  void Press(int bit, bool on) { module->Control("input " + std::to_string(bit) + (on ? " 1" : " 0")); }
  // Released, the supervisor has the module's buffer cleared (by the
  // stream, which owns it) and its stop lifted.
  bool ReleaseEmergencyStop() {
    Press(kEstopBit, true);
    int level = -1, status = -1;
    return WaitUntil(
        [&] {
          machine->PollIo();
          std::this_thread::sleep_for(std::chrono::milliseconds(20));
          return Driver().ReadStatus(key, &level, &status) && (status & 0x0A) == 0;
        },
        5000);
  }
};

// Order 4: Z first, then X and Y together; every axis ends at its home with
// the module's counter set there, standing within a step of the switch
// point plus its offset.
TEST_F(OpsLab, HomingFindsEverySwitchInOrderAndSetsTheHomeWithinAStep) {
  Start(5);
  ASSERT_TRUE(Operate([&] { machine->Home(-1); }));
  EXPECT_EQ(machine->LastErrorCode(), 0) << machine->LastErrorText();
  EXPECT_TRUE(machine->AllHomed());
  EXPECT_EQ(machine->HomedAxes() & 7u, 7u);
  const std::vector<Setting> set = Settings();
  ASSERT_EQ(set.size(), 3u);
  // Where each axis must stand: the switch point moved off by the offset,
  // against the homing direction.
  struct Want {
    int channel;
    long steps, physical;
  } want[3] = {{2, std::lround(-1.0 / kRes), kSwitchZ - std::lround(0.5 / kRes)},
               {0, 0, kSwitchX + std::lround(2.0 / kRes)},
               {1, std::lround(50.0 / kRes), kSwitchY - std::lround(1.0 / kRes)}};
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(set[i].channel, want[i].channel);
    EXPECT_EQ(set[i].steps, want[i].steps);
    EXPECT_LE(std::labs(set[i].physical - want[i].physical), 1) << set[i].physical;
    std::printf("[ homing   ] channel %d set %ld steps from where it must stand\n", set[i].channel,
                set[i].physical - want[i].physical);
  }
  // X and Y set off together: between Z's setting and X's, one 5 ms sample
  // moves both.
  bool together = false;
  const auto pos = Positions(set[0].micros, set[1].micros);
  for (size_t k = 1; k < pos.size() && !together; ++k)
    together = pos[k][1] != pos[k - 1][1] && pos[k][2] != pos[k - 1][2];
  EXPECT_TRUE(together);
  const Coordinates p = Pos();
  EXPECT_NEAR(p.v[0], 0.0, 1e-9);
  EXPECT_NEAR(p.v[1], 50.0, 1e-9);
  EXPECT_NEAR(p.v[2], -1.0, 1e-9);
}

// A gantry: X drives channel 0 and its slave channel 3, each side with a
// home switch of its own that the sides meet at different places. Both
// sides end at home within a step of their own switch point plus their own
// offset, and then move together (a slave turning the other way counting
// down).
class GantryLab : public OpsLab {
 protected:
  // skew: steps the slave's switch point lies beyond the master's in X.
  void HomeGantry(long skew, double slaveOffsetMm, bool inverted) {
    constexpr int kSlavePin = 35, kSlaveBit = 12;
    const long slaveSwitch = inverted ? -(kSwitchX + skew) : kSwitchX + skew;
    Start(5, {"--switch", Sw(kSlaveBit, 'A', inverted ? ">=" : "<=", slaveSwitch)});
    ASSERT_NE(machine, nullptr);
    MachineConfig& cfg = GetMachineConfig();
    cfg.gantryHomeMode = true;
    cfg.axis[0].minPosition = 5;  // home at X5: the sides' counters are set apart from 0
    cfg.axis[0].slaveOffset = slaveOffsetMm;
    cfg.axis[0].slaveInverted = inverted;
    machine->Stream().Channels().axis[3] = 0;  // "X2"
    ASSERT_TRUE(GetIoMapping().AssignInput(SIG_IN_HOME_SWITCH + 3, kSlavePin, false));
    ASSERT_TRUE(Operate([&] { machine->Home(1); }));
    EXPECT_EQ(machine->LastErrorCode(), 0) << machine->LastErrorText();
    EXPECT_EQ(machine->HomedAxes() & 1u, 1u);
    const std::vector<Setting> set = Settings();
    ASSERT_EQ(set.size(), 2u);
    const long home = std::lround(5.0 / kRes);
    // Master: 2 mm off its switch towards plus; the slave 2 mm plus its own.
    const long master = kSwitchX + std::lround(2.0 / kRes);
    const long slave = kSwitchX + skew + std::lround((2.0 + slaveOffsetMm) / kRes);
    EXPECT_EQ(set[0].channel, 0);
    EXPECT_EQ(set[0].steps, home);
    EXPECT_LE(std::labs(set[0].physical - master), 1) << set[0].physical;
    EXPECT_EQ(set[1].channel, 3);
    EXPECT_EQ(set[1].steps, inverted ? -home : home);
    EXPECT_LE(std::labs(set[1].physical - (inverted ? -slave : slave)), 1) << set[1].physical;
    EXPECT_NEAR(Pos().v[0], 5.0, 1e-9);
    // Square now: both sides travel alike.
    ASSERT_TRUE(Operate([&] { machine->MoveTo(Coordinates{20, 0, 0}, 0, 0, true); }));
    EXPECT_EQ(machine->LastErrorCode(), 0) << machine->LastErrorText();
    int32_t steps[4] = {};
    uint16_t ref = 0;
    ASSERT_TRUE(Driver().ReadPosition(key, &ref, steps, 4));
    EXPECT_EQ(steps[0], std::lround(20.0 / kRes));
    EXPECT_EQ(steps[3], inverted ? -steps[0] : steps[0]);
  }
};

// The master stops at its switch, the slave goes on to its own, then each
// moves off by its own offset.
TEST_F(GantryLab, HomingSquaresASlaveThatMeetsItsSwitchLast) { HomeGantry(-120, 0.5, false); }

// The slave stops first and waits; its motor turns the other way.
TEST_F(GantryLab, HomingSquaresAnInvertedSlaveThatMeetsItsSwitchFirst) { HomeGantry(200, 0.0, true); }

// Homing in machine coordinates leaves the operator's work offset, tool
// length, surface map and knife as they were.
TEST_F(OpsLab, HomingLeavesTheOperatorsOffsetsAsTheyWere) {
  Start(5);
  MachineConfig& cfg = GetMachineConfig();
  cfg.homingOrder = 1;
  SurfaceMapping& map = GetSurfaceMapping();
  struct Off {
    ~Off() {
      GetSurfaceMapping().Enable(false);
      SetTangentialKnifeActive(false);
    }
  } off;
  map.SetBoundaries(0, 0, 20, 20, 2, 2);
  map.SetValue(1, 1, 0.4);
  actState.SetCurrTool(1, 0, 10.0);
  actState.SetFlag(SF_TOOL_LENGTH, true);
  actState.SetCurrOffsetFromFile(2);  // G55
  actState.SetSurfaceMapping(true);
  actState.SetCurrOffsetFromFile(2);
  ASSERT_TRUE(actState.GetTransformation()->IsMappingOn());
  const Coordinates offset = actState.GetTransformation()->GetOffset();
  cfg.machineType = 3;
  SetTangentialKnifeActive(true);

  ASSERT_TRUE(Operate([&] { machine->Home(4); }));
  cfg.machineType = 0;
  EXPECT_EQ(machine->LastErrorCode(), 0) << machine->LastErrorText();
  EXPECT_EQ(machine->HomedAxes() & 4u, 4u);
  EXPECT_EQ(actState.GetCurrTransNum(), 2);
  EXPECT_TRUE(actState.GetFlag(SF_TOOL_LENGTH));
  EXPECT_TRUE(actState.GetTransformation()->IsMappingOn());
  EXPECT_TRUE(TangentialKnifeActive());
  const Coordinates now = actState.GetTransformation()->GetOffset();
  for (int a = 0; a < 3; ++a) EXPECT_NEAR(now.v[a], offset.v[a], 1e-9) << kAxisLetters[a];
  // The program position is the homed machine position seen through them.
  EXPECT_NEAR(actState.progPos.v[2], actState.GetTransformation()->ToProgram(Pos()).v[2], 1e-9);
}

// A switch already closed at the start is cleared first; a switch that is
// never met ends homing with its message and the axis not homed.
TEST_F(OpsLab, HomingClearsAClosedSwitchFirstAndReportsOneNeverReached) {
  // Z starts on its switch.
  Start(5);
  MachineConfig& cfg = GetMachineConfig();
  cfg.homingOrder = 1;
  cfg.enforceSoftLimits = false;
  ASSERT_TRUE(Operate([&] { machine->MoveTo(Coordinates{0, 0, kSwitchZ * kRes + 0.5}, 0, 30, true); }));
  ASSERT_EQ(machine->LastErrorCode(), 0) << machine->LastErrorText();
  ASSERT_TRUE(Operate([&] { machine->Home(4); }));
  EXPECT_EQ(machine->LastErrorCode(), 0) << machine->LastErrorText();
  EXPECT_EQ(machine->HomedAxes(), 4u);
  auto set = Settings();
  ASSERT_EQ(set.size(), 1u);
  EXPECT_LE(std::labs(set[0].physical - (kSwitchZ - std::lround(0.5 / kRes))), 1);

  // X's switch is wired to a pin its soft switch does not drive.
  GetIoMapping().RemoveInput(SIG_IN_HOME_SWITCH + 0);
  ASSERT_TRUE(GetIoMapping().AssignInput(SIG_IN_HOME_SWITCH + 0, 13, false));
  cfg.axis[0].maxPosition = 10;  // a short travel: the search ends soon
  ASSERT_TRUE(Operate([&] { machine->Home(1); }));
  EXPECT_NE(machine->LastErrorCode(), 0);
  EXPECT_EQ(machine->LastErrorText(), "Home switch not reached");
  EXPECT_EQ(machine->HomedAxes() & 1u, 0u);
  EXPECT_FALSE(machine->AllHomed());
}

// A probing move stops at the plate within one 5 ms period of travel; the
// program goes on from there and reads the position in Z; a probe that
// never fires runs to the end of its move.
TEST_F(OpsLab, ProbingStopsAtThePlateAndTheProgramReadsWhereItStopped) {
  Start(4);
  const std::string file = testsupport::ScratchDir() + "/probe.nc";
  const double feed = 300;  // mm/min: 0.025 mm per 5 ms
  {
    std::ofstream f(file);
    f << "%\nG90 G1 Z-20 F" << feed << " UNTIL #I9=1\n#100=#55\nG91 G1 Z1 F600\n";
  }
  RunResult r = RunFile(file);
  ASSERT_EQ(r.code, 0) << r.text;
  const double plate = kPlateZ * kRes;
  const double touched = actState.GetVar(100);
  EXPECT_LE(touched, plate);
  EXPECT_GE(touched, plate - feed / 60.0 * 0.005 - kRes);
  std::printf("[ probe    ] stopped %.4f mm past the plate at %.0f mm/min\n", plate - touched, feed);
  // Incremental after the probe: from where it stopped, not from Z-20.
  EXPECT_NEAR(Pos().v[2], touched + 1.0, 1e-9);

  // The plate lowered out of reach: the move ends at its target.
  {
    std::ofstream f(file);
    f << "%\nG90 G1 Z-2 F" << feed << " UNTIL #I9=1\n#101=#55\n";
  }
  ASSERT_TRUE(Operate([&] { machine->MoveTo(Coordinates{0, 0, 0}, 0, 0, true); }));
  r = RunFile(file);
  EXPECT_EQ(r.code, 0) << r.text;
  EXPECT_NEAR(actState.GetVar(101), -2.0, 1e-9);
  EXPECT_NEAR(Pos().v[2], -2.0, 1e-9);
}

// A surface probed on a 3 x 3 grid becomes the surface map: the probed
// heights follow the surface within one 5 ms period of probe travel, and a
// following program's Z is corrected by the map where it goes.
class ProbedGridLab : public OpsLab {
 protected:
  // surfaceSteps: the surface's height at a machine position (steps);
  // (atX, atY): where the following program goes (G54, mm).
  void ProbeAndCorrect(const std::vector<std::string>& probe, const std::function<double(double, double)>& surfaceSteps,
                       double atX, double atY) {
    StartMachine(4, probe);
    ASSERT_NE(machine, nullptr);
    ASSERT_TRUE(GetIoMapping().AssignInput(SIG_IN_PROBE_3D, kProbePin, false));
    machine->ArmStopCondition();
    // The example G54 zero stands at machine X100 Y100 Z-60.
    auto surfaceZ = [&](double x, double y) {  // G54, mm
      return surfaceSteps((x + 100) / kRes, (y + 100) / kRes) * kRes + 60.0;
    };
    const double feed = 600;  // mm/min: 0.05 mm per 5 ms
    const double travel = feed / 60.0 * 0.005;
    const std::string file = testsupport::ScratchDir() + "/grid.nc";
    {
      std::ofstream f(file);
      f << "%\nG90 G54\n";
      for (int iy = 0; iy < 3; ++iy)
        for (int ix = 0; ix < 3; ++ix)
          f << "G0 Z60\nG0 X" << 10 * ix << " Y" << 10 * iy << "\nG1 Z40 F" << feed << " UNTIL #I9=1\n#"
            << 200 + 3 * iy + ix << "=#55\n";
      f << "G0 Z60\n";
    }
    RunResult r = RunFile(file);
    ASSERT_EQ(r.code, 0) << r.text;
    SurfaceMapping& map = GetSurfaceMapping();
    const SurfaceMapOff off;
    map.SetBoundaries(0, 0, 20, 20, 3, 3);
    for (int iy = 0; iy < 3; ++iy)
      for (int ix = 0; ix < 3; ++ix) {
        const double z = actState.GetVar(200 + 3 * iy + ix);
        const double want = surfaceZ(10 * ix, 10 * iy);
        EXPECT_LE(z, want + 1e-9) << ix << "," << iy;
        EXPECT_GE(z, want - travel - kRes) << ix << "," << iy;
        map.SetValue(ix, iy, z);
      }
    actState.SetSurfaceMapping(true);
    {
      std::ofstream f(file);
      f << "%\nG90 G54 G0 X" << atX << " Y" << atY << " Z50\n";
    }
    r = RunFile(file);
    ASSERT_EQ(r.code, 0) << r.text;
    ASSERT_TRUE(map.IsEnabled());
    // The map's rise from its first node is the surface's.
    const double offset = map.GetOffset(atX, atY);
    EXPECT_NEAR(offset - map.GetOffset(0, 0), surfaceZ(atX, atY) - surfaceZ(0, 0), 2 * (travel + kRes));
    int32_t steps[3] = {};
    uint16_t ref = 0;
    ASSERT_TRUE(Driver().ReadPosition(key, &ref, steps, 3));
    EXPECT_NEAR(steps[2] * kRes, 50 - 60 + offset, kRes);
  }
};

// A tilted plate: the map is its tilt between the nodes too.
TEST_F(ProbedGridLab, TiltedPlateCorrectsAFollowingProgramsZ) {
  // 5 mm below the start at X100 Y100, rising 0.05 mm per mm in X and
  // falling 0.03 in Y.
  const double a = 0.05, b = -0.03;
  const double z0 = -2000 - a * 40000 - b * 40000;
  std::ostringstream plate;
  plate << kProbeBit << ":" << z0 << ":" << a << ":" << b;
  ProbeAndCorrect({"--probe", plate.str()}, [&](double x, double y) { return z0 + a * x + b * y; }, 15, 5);
}

// A bumped surface from a height map: the probed nodes and the corrected Z
// over the bump follow it.
TEST_F(ProbedGridLab, BumpedSurfaceCorrectsAFollowingProgramsZ) {
  // Nodes 10 mm (4000 steps) apart from machine X100 Y100, heights in steps.
  const double heights[3][3] = {{-2200, -2000, -2300}, {-1900, -1400, -2100}, {-2400, -1800, -2000}};
  const std::string file = testsupport::ScratchDir() + "/bump.map";
  {
    std::ofstream f(file);
    f << "# a bump in the middle\n40000 40000 4000 4000 3 3\n";
    for (const auto& row : heights) f << row[0] << " " << row[1] << " " << row[2] << "\n";
  }
  auto surface = [&](double x, double y) {  // on the nodes only
    const int i = static_cast<int>(std::lround((x - 40000) / 4000)), j = static_cast<int>(std::lround((y - 40000) / 4000));
    return heights[j][i];
  };
  ProbeAndCorrect({"--probe-map", std::to_string(kProbeBit) + ":" + file}, surface, 10, 10);
}

// S above the tool's maximum runs at the maximum; an override that would
// pass it is taken down to it, one below it is kept.
TEST_F(OpsLab, SpindleNeverPassesTheToolsMaximumSpeed) {
  Start(1);
  machine->SetMaxRpm(8000);
  const std::string file = testsupport::ScratchDir() + "/spindle.nc";
  {
    std::ofstream f(file);
    f << "%\nS12000 M3\nG4 P3\n";
  }
  double speed = 0, limited = -1, kept = -1;
  // The worker answers an override once it has taken it into effect.
  const RunResult r = RunFile(file, [&] {
    if (speed > 0 || machine->GetSpindleSpeed() <= 0) return;
    speed = machine->GetSpindleSpeed();
    machine->SetSpindleOverride(150);
    limited = machine->GetSpindleOverride();
    machine->SetSpindleOverride(50);
    kept = machine->GetSpindleOverride();
  });
  ASSERT_EQ(r.code, 0) << r.text;
  EXPECT_EQ(speed, 8000);
  EXPECT_EQ(limited, 100);
  EXPECT_EQ(kept, 50);
}

// The simulation and the machine end the operator's operations at the same
// place: homing, a step onto the grid, a continuous jog to the soft limit, a
// move to a point.
TEST_F(OpsLab, SimulationAndMachineEndTheOperationsAlike) {
  Start(5);
  SimClock clock(0);
  Simulation sim(nullptr, &clock);
  sim.StartWorker();
  sim.SetSimPosition(Pos());
  const std::string home = "G74";
  struct Op {
    const char* name;
    std::function<void(BackEnd&)> start;
    double want[3];   // where both must end
    double travel = 0;  // mm the machine must travel on the way (0: not checked)
  } ops[] = {
      {"G74", [&](BackEnd& b) { b.ExecuteText(home); }, {0, 50, -1}},
      {"step onto the grid", [](BackEnd& b) { b.Jog(0, true, 3, 0, true); }, {3, 50, -1}},
      {"jog to the limit", [](BackEnd& b) { b.Jog(1, false, 0, 0, false); }, {3, 0, -1}},
      {"move to", [](BackEnd& b) { b.MoveTo(Coordinates{12.5, 7, -4}, 0, 0, true); }, {12.5, 7, -4}},
      {"two axes", [](BackEnd& b) { b.JogTwoAxes(0, false, 2, true, 1.5, 0, false); }, {11, 7, -2.5}},
      // Without a lift axis not direct goes straight too.
      {"move to, no lift axis", [](BackEnd& b) { b.MoveTo(Coordinates{2, 7, -4}, 0, 0, false); }, {2, 7, -4},
       std::hypot(9.0, 1.5)},
  };
  for (const Op& op : ops) {
    SCOPED_TRACE(op.name);
    const uint32_t runs = sim.RunsFinished();
    machine->TakeTravelledDistance();
    op.start(sim);
    ASSERT_TRUE(WaitUntil([&] { return sim.RunsFinished() != runs || !(sim.GetFlags() & Simulation::kBusy); }, 10000));
    const uint32_t machineRuns = machine->RunsFinished(), machineOps = machine->OperationsFinished();
    op.start(*machine);
    ASSERT_TRUE(WaitUntil(
        [&] { return machine->RunsFinished() != machineRuns || machine->OperationsFinished() != machineOps; }, 20000));
    EXPECT_EQ(machine->LastErrorCode(), 0) << machine->LastErrorText();
    Coordinates simulated;
    sim.GetPosition(simulated);
    const Coordinates real = Pos();
    for (int a = 0; a < 3; ++a) {
      EXPECT_NEAR(real.v[a], op.want[a], 1e-9) << kAxisLetters[a];
      EXPECT_NEAR(simulated.v[a], op.want[a], 1e-9) << kAxisLetters[a];
    }
    // Read at the machine's polls: the corners may be cut a little.
    if (op.travel > 0) {
      EXPECT_NEAR(machine->TakeTravelledDistance(), op.travel, 0.05);
    }
  }
  sim.StopThread();

  // Z named W with TreatWasZ is the lift axis: it rises alone to machine 0
  // and stays there while X crosses, 4 + 8 mm.
  GetMachineConfig().treatWasZ = true;
  GetAxisAssignment().SetAxisName(2, 9);
  struct Names {
    ~Names() {
      GetAxisAssignment().SetAxisName(2, 3);
      GetMachineConfig().treatWasZ = false;
    }
  } names;
  machine->TakeTravelledDistance();
  ASSERT_TRUE(Operate([&] { machine->MoveTo(Coordinates{10, 7, -4}, 0, 0, false); }));
  EXPECT_EQ(machine->LastErrorCode(), 0) << machine->LastErrorText();
  EXPECT_NEAR(Pos().v[0], 10, 1e-9);
  EXPECT_NEAR(Pos().v[2], 0, 1e-9);
  EXPECT_NEAR(machine->TakeTravelledDistance(), 12, 0.05);
}

// Door mode 3 with the door open: a jog runs at the reduced speed at most, a
// move to is refused with the open door as the reason.
TEST_F(OpsLab, OpenDoorLimitsTheJogAndRefusesAMove) {
  MachineConfig& cfg = GetMachineConfig();
  cfg.safetyDoorMode = 3;
  cfg.reducedSpeed = 600;  // mm/min
  Start(1);
  ASSERT_TRUE(GetIoMapping().AssignInput(SIG_IN_DOOR_OPEN1, 10, false));  // Korrin bit 0
  Press(0, true);
  ASSERT_TRUE(WaitUntil(
      [&] {
        machine->PollIo();
        return machine->GetSignal(SIG_IN_DOOR_OPEN1);
      },
      2000));
  const uint64_t since = RecordEnd();
  ASSERT_TRUE(Operate([&] { machine->Jog(0, true, 5, 50, false); }));
  EXPECT_EQ(machine->LastErrorCode(), 0) << machine->LastErrorText();
  EXPECT_NEAR(Pos().v[0], 5.0, 1e-9);
  const auto pos = Positions(since, ~0ull);
  ASSERT_GT(pos.size(), 10u);
  long fastest = 0;  // steps per 5 ms
  for (size_t k = 1; k < pos.size(); ++k) fastest = std::max(fastest, std::labs(pos[k][1] - pos[k - 1][1]));
  EXPECT_LE(fastest * kRes, 10.0 * 0.005 + kRes) << "10 mm/s at most";

  ASSERT_TRUE(Operate([&] { machine->MoveTo(Coordinates{0, 0, 0}, 0, 0, true); }));
  EXPECT_EQ(machine->LastErrorCode(), ERR_DOOR_OPEN);
  EXPECT_NEAR(Pos().v[0], 5.0, 1e-9) << "not moved";
}

// The soft module's handwheel turned by N counts moves X by N steps of
// 0.1 mm, the count wrapping on the way, and X comes to rest there; turned
// far beyond the soft limit it stands at the limit, never beyond it.
TEST_F(OpsLab, HandwheelCountsMoveTheAxisByTheStepAndStopAtTheSoftLimit) {
  testsupport::AppLogCapture log(LOGCAT_TRAJECTORY);
  Start(2);
  MachineConfig& cfg = GetMachineConfig();
  cfg.enforceSoftLimits = true;
  actState.SetSoftLimitsEnabled(true);
  cfg.axis[0].minPosition = -1.0;
  cfg.wheelAccFactor = 50;   // percent of 1000 mm/s²
  cfg.wheelFilterTime = 40;  // ms: the count smoothed over 5 samples
  module->Control("wheel =4294967286");  // ten counts before the counter wraps
  const uint32_t ops = machine->OperationsFinished();
  machine->HandwheelJog(true, 0, 0.1, 20, false);
  ASSERT_TRUE(WaitUntil([&] { return (machine->State() & RealMachine::kHandwheel) != 0; }, 2000));
  const uint64_t since = RecordEnd();
  struct Turn {
    const char* line;
    double x;  // mm, where X must come to rest
  } turns[] = {
      {"wheel +40 200", 4.0},    // turned by hand over 0.2 s, across the counter's wrap
      {"wheel +25", 6.5},        // at once
      {"wheel -30 150", 3.5},
      {"wheel -200 400", -1.0},  // far beyond the limit at -1
      {"wheel +160 400", -0.5},  // the wheel keeps its counts: X follows once it is back within
  };
  for (const Turn& turn : turns) {
    SCOPED_TRACE(turn.line);
    const auto t0 = std::chrono::steady_clock::now();
    module->Control(turn.line);
    ASSERT_TRUE(WaitUntil([&] { return std::fabs(Pos().v[0] - turn.x) <= kRes + 1e-9; }, 10000)) << Pos().v[0];
    const double settled = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    const double rest = Pos().v[0];
    EXPECT_NEAR(rest, turn.x, kRes + 1e-9);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(Pos().v[0], rest) << "at rest";
    std::printf("[ wheel    ] %-15s within a step after %.3f s (module twice as fast), rests %.4f mm off\n", turn.line,
                settled, rest - turn.x);
  }
  machine->HandwheelJog(false, 0, 0, 0, false);
  ASSERT_TRUE(WaitUntil([&] { return machine->OperationsFinished() != ops; }, 5000));
  EXPECT_EQ(machine->LastErrorCode(), 0) << machine->LastErrorText();
  long lowest = 0;
  long fastest = 0;  // steps per 5 ms tick
  const auto pos = Positions(since, ~0ull);
  for (size_t k = 0; k < pos.size(); ++k) {
    lowest = std::min(lowest, pos[k][1]);
    if (k > 0) fastest = std::max(fastest, std::labs(pos[k][1] - pos[k - 1][1]));
  }
  EXPECT_EQ(lowest, std::lround(-1.0 / kRes)) << "X never passes its soft limit";
  EXPECT_LE(fastest * kRes, 20.0 * 0.005 + kRes) << "the jog velocity, 20 mm/s";
  EXPECT_GT(log.Count("static V Limit Braking"), 0) << "braked for the limit";
  EXPECT_EQ(log.Count("static V Limit Overshot"), 0);
  std::printf("[ wheel    ] fastest %.2f mm/s of 20\n", fastest * kRes / 0.005);
}

// With a surface map active the wheel's X moves the tool along the mapped
// surface: X by the counts, Z by the map's rise there, both channels
// driven by the module.
TEST_F(OpsLab, HandwheelUnderASurfaceMapFollowsTheSurface) {
  Start(2);
  GetMachineConfig().wheelAccFactor = 50;
  GetMachineConfig().wheelFilterTime = 40;
  SurfaceMapping& map = GetSurfaceMapping();
  const SurfaceMapOff off;
  // A plane falling 0.05 mm per mm of X (Z starts at its upper limit).
  map.SetBoundaries(-400, -400, 400, 400, 3, 3);
  for (int iy = 0; iy < 3; ++iy)
    for (int ix = 0; ix < 3; ++ix) map.SetValue(ix, iy, -0.05 * (-400 + 400 * ix));
  map.Enable(true);
  actState.SetCurrOffsetFromFile(1);  // G54: the map belongs to a work offset
  actState.SetSurfaceMapping(true);
  actState.SetCurrOffsetFromFile(1);
  ASSERT_TRUE(actState.GetTransformation()->IsMappingOn());
  // Where the tool must end: 10 mm further in program X, on the surface.
  const Coordinates before = Pos();
  Coordinates want = actState.GetTransformation()->ToProgram(before);
  want.v[0] += 10.0;
  want = actState.GetTransformation()->ToMachine(want);
  ASSERT_LT(want.v[2] - before.v[2], -0.3) << "the surface falls there";
  const uint32_t ops = machine->OperationsFinished();
  machine->HandwheelJog(true, 0, 0.1, 20, false);
  ASSERT_TRUE(WaitUntil([&] { return (machine->State() & RealMachine::kHandwheel) != 0; }, 2000));
  module->Control("wheel +100 300");
  const auto there = [&] {
    const Coordinates p = Pos();
    return std::fabs(p.v[0] - want.v[0]) <= kRes + 1e-9 && std::fabs(p.v[2] - want.v[2]) <= kRes + 1e-9;
  };
  EXPECT_TRUE(WaitUntil(there, 10000)) << Pos().v[0] << " " << Pos().v[2] << " want " << want.v[0] << " " << want.v[2];
  EXPECT_NEAR(Pos().v[1], before.v[1], 1e-9);
  machine->HandwheelJog(false, 0, 0, 0, false);
  ASSERT_TRUE(WaitUntil([&] { return machine->OperationsFinished() != ops; }, 5000));
  EXPECT_EQ(machine->LastErrorCode(), 0) << machine->LastErrorText();
}

// Stop, or the wheel's own off, while the axis still runs: the jog ends
// cleanly (no error, not busy), the module stands and the machine jogs again.
TEST_F(OpsLab, StopEndsARunningHandwheelJogCleanly) {
  testsupport::AppLogCapture log(LOGCAT_TRAJECTORY);
  Start(2);
  GetMachineConfig().wheelAccFactor = 50;
  GetMachineConfig().wheelFilterTime = 40;
  const std::function<void()> stops[] = {[&] { machine->Stop(false); },
                                         [&] { machine->HandwheelJog(false, 0, 0, 0, false); }};
  int stopped = 0;
  for (const auto& stop : stops) {
    SCOPED_TRACE(stopped);
    const uint32_t ops = machine->OperationsFinished();
    machine->HandwheelJog(true, 1, 0.1, 10, false);
    ASSERT_TRUE(WaitUntil([&] { return (machine->State() & RealMachine::kHandwheel) != 0; }, 2000));
    const double y0 = Pos().v[1];
    uint32_t wheel[3] = {}, c0 = 0;
    ASSERT_TRUE(Driver().GetPar(key, linkframe::kParHandwheel, 3, wheel));
    c0 = wheel[0];
    module->Control("wheel +300 3000");  // 30 mm at 10 mm/s
    ASSERT_TRUE(WaitUntil([&] { return Pos().v[1] > y0 + 2.0; }, 5000));
    // Turning steadily, Y follows close behind the wheel: with the
    // feed-forward of the wheel's speed it lags under 1 mm, where the
    // position gain alone (and the smoothing) leaves 2 mm at 10 mm/s.
    double lag = 0;
    for (int i = 0; i < 5; ++i) {
      ASSERT_TRUE(Driver().GetPar(key, linkframe::kParHandwheel, 3, wheel));
      lag += (static_cast<int32_t>(wheel[0] - c0) * 0.1 - (Pos().v[1] - y0)) / 5;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::printf("[ wheel    ] Y follows %.3f mm behind the wheel turning at 10 mm/s\n", lag);
    EXPECT_LT(lag, 1.4);
    EXPECT_GT(lag, -0.1);
    stop();
    ASSERT_TRUE(WaitUntil([&] { return machine->OperationsFinished() != ops; }, 5000));
    ++stopped;
    EXPECT_EQ(machine->LastErrorCode(), 0) << machine->LastErrorText();
    EXPECT_EQ(machine->State() & (RealMachine::kBusy | RealMachine::kHandwheel | RealMachine::kBreak), 0u);
    EXPECT_EQ(log.Count("Stop handwheel jog"), stopped);
    const double y = Pos().v[1];
    EXPECT_LT(y, y0 + 20.0) << "stopped before the wheel's end";
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(Pos().v[1], y) << "standing";
    int level = -1, status = -1;
    ASSERT_TRUE(Driver().Synchronize(key, true));
    ASSERT_TRUE(Driver().ReadStatus(key, &level, &status));
    EXPECT_EQ(status & 1, 0);
    module->Control("wheel +0");  // the hand lets go
  }
  // The emergency stop ends it with its reason; released, the machine jogs.
  const uint32_t ops = machine->OperationsFinished();
  machine->HandwheelJog(true, 1, 0.1, 10, false);
  ASSERT_TRUE(WaitUntil([&] { return (machine->State() & RealMachine::kHandwheel) != 0; }, 2000));
  const double y0 = Pos().v[1];
  module->Control("wheel +300 3000");
  ASSERT_TRUE(WaitUntil([&] { return Pos().v[1] > y0 + 2.0; }, 5000));
  Press(kEstopBit, false);
  ASSERT_TRUE(WaitUntil([&] { return machine->OperationsFinished() != ops; }, 5000));
  EXPECT_EQ(machine->LastErrorCode(), ERR_EMERGENCY_STOP);
  EXPECT_EQ(machine->State() & (RealMachine::kBusy | RealMachine::kHandwheel), 0u);
  const double y = Pos().v[1];
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(Pos().v[1], y) << "standing";
  ASSERT_TRUE(ReleaseEmergencyStop());
  ASSERT_TRUE(Operate([&] { machine->Jog(1, true, 1, 10, false); }));
  EXPECT_EQ(machine->LastErrorCode(), 0) << machine->LastErrorText();
}

// A continuous jog runs until the key is released and stands there; one
// held on goes no further than the soft limit; a step moves by the step.
TEST_F(OpsLab, JogStopsOnReleaseAndNeverPassesTheSoftLimit) {
  Start(2);
  MachineConfig& cfg = GetMachineConfig();
  cfg.enforceSoftLimits = true;
  actState.SetSoftLimitsEnabled(true);
  cfg.axis[0].minPosition = -30;
  cfg.axis[0].maxPosition = 30;

  machine->Jog(0, true, 0, 20, false);
  ASSERT_TRUE(WaitUntil([&] { return Pos().v[0] > 2.0; }, 5000));
  const uint32_t before = machine->OperationsFinished();
  const double atRelease = Pos().v[0];
  machine->StopJog();
  ASSERT_TRUE(WaitUntil([&] { return machine->OperationsFinished() != before; }, 5000));
  const double released = Pos().v[0];
  std::printf("[ jog      ] stood %.3f mm after the release was seen at 20 mm/s\n", released - atRelease);
  EXPECT_LT(released, 10.0);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(Pos().v[0], released) << "standing after the release";
  EXPECT_EQ(machine->LastErrorCode(), ERR_USER_BREAK);

  ASSERT_TRUE(Operate([&] { machine->Jog(0, true, 0, 0, false); }));
  EXPECT_NEAR(Pos().v[0], 30.0, 1e-9);
  // Further on at the limit: nothing moves.
  ASSERT_TRUE(Operate([&] { machine->Jog(0, true, 5, 0, false); }));
  EXPECT_NEAR(Pos().v[0], 30.0, 1e-9);
  ASSERT_TRUE(Operate([&] { machine->Jog(0, false, 0.5, 0, false); }));
  EXPECT_NEAR(Pos().v[0], 29.5, 1e-9);
  // Onto the grid of the step.
  ASSERT_TRUE(Operate([&] { machine->Jog(0, false, 2, 0, true); }));
  EXPECT_NEAR(Pos().v[0], 28.0, 1e-9);
  int32_t steps[3] = {};
  uint16_t ref = 0;
  ASSERT_TRUE(Driver().ReadPosition(key, &ref, steps, 3));
  EXPECT_EQ(steps[0], std::lround(28.0 / kRes));
}

// A jog towards a limit switch stops there with the switch as the reason;
// standing on it, a jog away leaves it (only the switch ahead is armed), and
// one further towards it goes nowhere.
TEST_F(OpsLab, JogStopsAtTheLimitSwitchAheadAndLeavesOneBehind) {
  constexpr int kLimitPin = 12, kLimitBit = 2;
  constexpr long kLimitX = 4000;  // 10 mm
  Start(2, {"--switch", Sw(kLimitBit, 'X', ">=", kLimitX)});
  ASSERT_TRUE(GetIoMapping().AssignInput(SIG_IN_LIMIT_PLUS + 0, kLimitPin, false));
  machine->ArmStopCondition();
  const double v = 20;  // mm/s: 0.1 mm per 5 ms
  struct Step {
    const char* name;
    bool positive;
    double step;  // mm, 0: continuous
    double lo, hi;  // where X must stand after it, mm
    int32_t error;
  } steps[] = {
      {"towards the switch", true, 0, kLimitX * kRes, kLimitX * kRes + v * 0.005 + kRes, ERR_LIMIT_SWITCH},
      {"away from it", false, 2, kLimitX * kRes - 2, kLimitX * kRes - 2 + v * 0.005 + kRes, 0},
      {"onto it again", true, 5, kLimitX * kRes, kLimitX * kRes + v * 0.005 + kRes, ERR_LIMIT_SWITCH},
      {"further on", true, 1, kLimitX * kRes, kLimitX * kRes + v * 0.005 + kRes, ERR_LIMIT_SWITCH},
      {"off it in steps", false, 1, kLimitX * kRes - 1, kLimitX * kRes - 1 + v * 0.005 + kRes, 0},
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(s.name);
    ASSERT_TRUE(Operate([&] { machine->Jog(0, s.positive, s.step, v, false); }));
    EXPECT_EQ(machine->LastErrorCode(), s.error) << machine->LastErrorText();
    EXPECT_GE(Pos().v[0], s.lo - 1e-9);
    EXPECT_LE(Pos().v[0], s.hi + 1e-9);
  }
}

// Stop during homing and during a probing move, and the emergency stop
// during a jog: the machine stands, the module's buffer is empty, and the
// reason is what the operator reads.
TEST_F(OpsLab, StopAndEmergencyStopEndEveryOperationWithTheReason) {
  DefaultMessageList messages;
  SetMessageList(&messages);
  struct Restore {
    ~Restore() { SetMessageList(nullptr); }
  } restore;
  Start(2);
  GetMachineConfig().axis[0].refVelocity = 5;
  const uint32_t homeStart = machine->OperationsFinished();
  machine->Home(1);
  ASSERT_TRUE(WaitUntil([&] { return Pos().v[0] < -1.0; }, 5000));
  machine->Stop(false);
  ASSERT_TRUE(WaitUntil([&] { return machine->OperationsFinished() != homeStart; }, 5000));
  EXPECT_EQ(machine->LastErrorCode(), ERR_USER_BREAK);
  EXPECT_EQ(machine->HomedAxes() & 1u, 0u);
  const double x = Pos().v[0];
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(Pos().v[0], x);

  const uint32_t jogStart = machine->OperationsFinished();
  machine->Jog(1, true, 0, 10, false);
  ASSERT_TRUE(WaitUntil([&] { return Pos().v[1] > 1.0; }, 5000));
  Press(kEstopBit, false);  // pressed: the contact opens
  ASSERT_TRUE(WaitUntil([&] { return machine->OperationsFinished() != jogStart; }, 5000));
  EXPECT_EQ(machine->LastErrorCode(), ERR_EMERGENCY_STOP);
  EXPECT_EQ(machine->LastErrorText(), ErrorText(Error_t(ERR_EMERGENCY_STOP)));
  EXPECT_EQ(machine->GetStopReason(), ERR_EMERGENCY_STOP);
  auto posted = [&](const std::string& text) {
    const std::vector<std::string> lines = messages.Lines();
    return std::count(lines.begin(), lines.end(), text);
  };
  EXPECT_EQ(posted(ErrorText(Error_t(ERR_EMERGENCY_STOP))), 1) << "the reason in the operator's message list";
  int level = -1, status = -1;
  ASSERT_TRUE(Driver().Synchronize(key, true));
  ASSERT_TRUE(Driver().ReadStatus(key, &level, &status));
  EXPECT_EQ(status & 1, 0) << "standing";

  // Released, the machine jogs again.
  ASSERT_TRUE(ReleaseEmergencyStop());
  const double y = Pos().v[1];
  ASSERT_TRUE(Operate([&] { machine->Jog(1, true, 1, 10, false); }));
  EXPECT_EQ(machine->LastErrorCode(), 0) << machine->LastErrorText();
  EXPECT_NEAR(Pos().v[1], y + 1, 1e-9);
  EXPECT_EQ(posted(ErrorText(Error_t(ERR_EMERGENCY_STOP))), 1) << "the supervisor's report of the same stop";
}

}  // namespace
