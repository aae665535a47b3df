// Programs on the soft module over the veth lab: the examples run to their
// end along their path, spindle and outputs switch where the program
// switches them, a run takes the planned time, dense CAM segments stream
// without underruns, and stops, silent and restarted modules end a run the
// way the operator must see it.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "io/iocycle.h"
#include "motion/planestimate.h"
#include "simulation/programplan.h"
#include "tests/src/realmachine/machine_lab.h"

namespace {

using namespace machinelab;

// A step of the example axes (mm) and the corner tolerance of the path.
double Bound() {
  const MachineConfig& cfg = GetMachineConfig();
  return cfg.trajectTol + cfg.axis[0].resolution + 0.001;  // the reference's chords and floats
}

// Each switch of the record happened at the end of the move before the
// command in the program, standing there: to within a step, not within the
// filter's lag (the k-th switch no earlier than the place of the one before).
void ExpectSwitchesAtTheirMoves(const std::vector<Switch>& switches, const std::vector<Sample>& samples,
                                const MachinePath& path, const std::string& name) {
  size_t from = 0;
  for (const Switch& s : switches) {
    const Sample* at = SampleAt(samples, s.micros);
    ASSERT_NE(at, nullptr) << name << ": " << s.what;
    bool found = false;
    for (size_t j = from; j < path.switchPoints.size() && !found; ++j) {
      const auto& q = path.switchPoints[j];
      const double d = std::hypot(at->p[0] - q[0], at->p[1] - q[1], at->p[2] - q[2]);
      if (d <= GetMachineConfig().axis[0].resolution + 1e-4) {
        found = true;
        from = j;
      }
    }
    EXPECT_TRUE(found) << name << ": " << s.what << " at X" << at->p[0] << " Y" << at->p[1] << " Z" << at->p[2]
                       << " is not where a move before a switch ends";
  }
}

// Every example to its end, ten times as fast: the module's 5 ms positions
// stay on the programmed path within the corner tolerance and a step, and
// the spindle switches where the program switches it.
TEST_F(MachineLab, EveryExampleRunsToItsEndAlongItsPath) {
  StartMachine(10);
  for (const char* name : {"drilling.nc", "engraving.nc", "pocket.nc", "plate.nc", "bolt_circle_macro.nc"}) {
    SCOPED_TRACE(name);
    const std::string file = kExamples + "/" + name;
    const auto path = ReferencePath(file);
    const uint64_t since = RecordEnd();
    const RunResult r = RunFile(file, [] {});
    EXPECT_EQ(r.code, 0) << r.text;
    std::printf("[ example  ] %s %.2f s\n", name, r.seconds);
    std::vector<Sample> samples;
    std::vector<Switch> switches;
    std::vector<std::string> motions;
    ReadRecord(samples, switches, motions, since);
    ASSERT_GT(samples.size(), 100u);
    size_t worst = 0;
    const double deviation = LargestDeviation(*path->Path(), samples, Bound(), &worst);
    EXPECT_LE(deviation, Bound()) << "at X" << samples[worst].p[0] << " Y" << samples[worst].p[1] << " Z"
                                  << samples[worst].p[2];
    Coordinates end;
    machine->GetPosition(end);
    const float* last = path->Path()->Moves()[path->Path()->Moves().Size() - 1].end;
    EXPECT_NEAR(end.v[0], last[0], 1e-3);
    EXPECT_NEAR(end.v[1], last[1], 1e-3);
    EXPECT_NEAR(end.v[2], last[2], 1e-3);
    EXPECT_FALSE(switches.empty());
    ExpectSwitchesAtTheirMoves(switches, samples, *path, name);
  }
}

// Outputs of the program and the spindle relays switch in the stream, at
// the end of the move before them; the output words show it.
TEST_F(MachineLab, OutputsSwitchAtTheEndOfTheMoveBeforeThem) {
  StartMachine(10);
  IoMapping& mapping = GetIoMapping();
  ASSERT_TRUE(mapping.AssignOutput(30, 16));                       // Korrin bit 2
  ASSERT_TRUE(mapping.AssignOutput(SIG_OUT_SPINDLE_FORWARD, 14));  // Korrin bit 1
  const std::string file = testsupport::MakeTempDir("outputs") + "/outputs.nc";
  testsupport::WriteFile(file,
                         "%\nG90 G54 G0 X10 Y10 Z5\nG1 Z-1 F600\nG1 X40 F1500\n#O30=1\nG1 Y40\nS9000 M3\nG1 X10\n"
                         "#O30=0\nG1 Y10\nM5\nG0 Z5\nM30\n");
  const auto path = ReferencePath(file);
  // From the run on: the start switched everything off once.
  const uint64_t since = RecordEnd();
  const RunResult r = RunFile(file);
  ASSERT_EQ(r.code, 0) << r.text;
  std::vector<Sample> samples;
  std::vector<Switch> switches;
  std::vector<std::string> motions;
  ReadRecord(samples, switches, motions, since);
  std::vector<std::string> outs;
  for (const Switch& s : switches)
    if (s.what.rfind("OUT", 0) == 0) outs.push_back(s.what);
  // Output 30 on, spindle relay on, output 30 off, relay off.
  EXPECT_EQ(outs, (std::vector<std::string>{"OUT 0004", "OUT 0006", "OUT 0002", "OUT 0000"}));
  ExpectSwitchesAtTheirMoves(switches, samples, *path, "outputs");
  EXPECT_FALSE(machine->GetOutput(30));
}

// In real time a run takes its planned time (within 1 %); and a program of
// 0.1 mm segments at 6000 mm/min streams without one buffer underrun.
TEST_F(MachineLab, RunTakesThePlannedTimeAndDenseSegmentsNeverStarve) {
  StartMachine(1);
  const std::string file = kExamples + "/engraving.nc";
  const double planned = PlanProgram(file, actState).summary.plannedSeconds;
  const RunResult r = RunFile(file);
  ASSERT_EQ(r.code, 0) << r.text;
  EXPECT_NEAR(r.seconds, planned, 0.01 * planned) << "wall " << r.seconds << " s, planned " << planned << " s";
  std::printf("[ timing   ] engraving.nc wall %.3f s planned %.3f s (%+.2f %%)\n", r.seconds, planned,
              100 * (r.seconds - planned) / planned);

  // A spiral of 0.1 mm chords, four turns.
  std::ostringstream prog;
  prog << "%\nG90 G54 G0 X60 Y50 Z5\nG1 Z-1 F600\nF6000\n";
  const double pi = std::acos(-1.0);
  double angle = 0;
  for (int k = 0; k < 6000; ++k) {
    const double radius = 10 + 5 * angle / (8 * pi);
    angle += 0.1 / radius;
    char line[64];
    std::snprintf(line, sizeof line, "G1 X%.4f Y%.4f\n", 50 + radius * std::cos(angle), 50 + radius * std::sin(angle));
    prog << line;
  }
  prog << "G0 Z5\nM30\n";
  const std::string dense = testsupport::MakeTempDir("dense") + "/spiral.nc";
  testsupport::WriteFile(dense, prog.str());
  const uint64_t since = RecordEnd();
  const RunResult d = RunFile(dense);
  ASSERT_EQ(d.code, 0) << d.text;
  std::vector<Sample> samples;
  std::vector<Switch> switches;
  std::vector<std::string> motions;
  ReadRecord(samples, switches, motions, since);
  ASSERT_FALSE(motions.empty());
  for (const std::string& m : motions) {
    EXPECT_NE(m.find(" underruns=0"), std::string::npos) << m;
    std::printf("[ stream   ] %s\n", m.c_str());
  }
}

// A stop mid-run: the module brakes along the path, the machine waits for
// standstill, clears the module's buffer and reports the line reached; the
// position the machine shows is where the module stands.
TEST_F(MachineLab, StopMidRunReachesStandstillClearsTheBufferAndReportsTheLine) {
  StartMachine(10);
  const auto t0 = std::chrono::steady_clock::now();
  bool stopped = false;
  int32_t lineAtStop = 0;
  const RunResult r = RunFile(kExamples + "/plate.nc", [&] {
    if (!stopped && std::chrono::steady_clock::now() - t0 > std::chrono::milliseconds(2500)) {
      stopped = true;
      lineAtStop = machine->GetCursor();
      machine->Stop(false);
    }
  });
  ASSERT_TRUE(stopped);
  EXPECT_EQ(r.code, ERR_USER_BREAK) << r.text;
  char expected[64];
  std::snprintf(expected, sizeof expected, "user break line %d ", lineAtStop);
  EXPECT_EQ(r.text.rfind(expected, 0), 0u) << r.text << " (line " << lineAtStop << " at the stop)";
  int level = -1, status = -1;
  ASSERT_TRUE(Driver().Synchronize(key, true));
  ASSERT_TRUE(Driver().ReadStatus(key, &level, &status));
  EXPECT_EQ(level, 0) << "buffer cleared, the stream no longer stopped";
  EXPECT_EQ(status & 1, 0) << "standing";
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  bool halted = false, clearedAfter = false;
  for (const auto& l : netlab::ReadRecord(Record(1))) {
    if (l.kind == "EVT" && l.text == "halted") halted = true;
    if (halted && l.kind == "CMD" && l.code == 10) clearedAfter = true;
  }
  EXPECT_TRUE(halted);
  EXPECT_TRUE(clearedAfter);
  uint16_t ref = 0;
  int32_t steps[3] = {};
  ASSERT_TRUE(Driver().ReadPosition(key, &ref, steps, 3));
  Coordinates p;
  machine->GetPosition(p);
  EXPECT_NEAR(p.v[0], steps[0] * GetMachineConfig().axis[0].resolution, 1e-9);
  EXPECT_NEAR(p.v[1], steps[1] * GetMachineConfig().axis[1].resolution, 1e-9);
}

// A module that falls silent mid-run ends the run with the network error
// within the link's time-out, never a hang; one that restarts mid-run is
// reported as restarted, taken back, and runs the next program.
TEST_F(MachineLab, SilentModuleEndsTheRunAndARestartedOneIsReportedAndTakenBack) {
  StartMachine(5);
  std::chrono::steady_clock::time_point silentAt{};
  const RunResult silent = RunFile(kExamples + "/drilling.nc", [&] {
    if (silentAt == std::chrono::steady_clock::time_point{} && machine->GetCursor() >= 10) {
      silentAt = std::chrono::steady_clock::now();
      module->Control("silent");
    }
  });
  EXPECT_EQ(silent.code, -1201) << silent.text;
  const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - silentAt).count();
  // The link gives up a module after about 1.8 s without an answer; one
  // directed scan (about 1 s) tells a silent module from a restarted one.
  EXPECT_LT(took, 4.5);
  std::printf("[ silent   ] run ended %.2f s after the module fell silent\n", took);
  EXPECT_EQ(machine->LastLinkFault(), RealMachine::LinkFault::LOST);
  EXPECT_FALSE(machine->Connected());

  module->Control("talk");
  std::string reason;
  ASSERT_TRUE(hardware->Reconnect(reason)) << reason;
  bool restarted = false;
  const RunResult r = RunFile(kExamples + "/drilling.nc", [&] {
    if (!restarted && machine->GetCursor() >= 10) {
      restarted = true;
      module->Control("restart");
    }
  });
  EXPECT_EQ(r.code, -1201) << r.text;
  EXPECT_EQ(machine->LastLinkFault(), RealMachine::LinkFault::RESTARTED);
  ASSERT_TRUE(machine->Connected());
  const std::string small = testsupport::MakeTempDir("after") + "/small.nc";
  testsupport::WriteFile(small, "%\nG90 G54 G0 Z5\nG0 X5 Y5\nM30\n");
  const RunResult after = RunFile(small);
  EXPECT_EQ(after.code, 0) << after.text;
  Coordinates p;
  machine->GetPosition(p);
  EXPECT_NEAR(p.v[0], 105, 1e-3) << "G54 zero is machine X100";
}

// A drive on Modbus behind the main module: the program's spindle speed
// reaches its set-point register during the run, M5 sets it back to 0.
TEST_F(MachineLab, ProgramSpindleSpeedReachesAModbusDrive) {
  netlab::VfdSim vfd({"--baud", "115200", "--ramp", "0"});
  EnsureLogicAndModbusLoaded();
  Modbus& modbus = GetModbus();
  modbus.Clear();
  struct Unconfigure {
    ~Unconfigure() { GetModbus().Clear(); }
  } unconfigure;
  modbus.baudrate = 115200;
  modbus.AddDevice(1, "spindle drive");
  const int32_t setPoint = modbus.AddRegister(1, 1, true, false, 0, "speed set-point")->Pin();
  StartMachine(1, {"--modbus-port", vfd.Port()});
  ASSERT_TRUE(GetIoMapping().AssignRangedOutput(SIG_OUT_PWM, setPoint, 0.0, 24000.0, 0, 24000));
  const std::string file = testsupport::MakeTempDir("modbus") + "/spindle.nc";
  testsupport::WriteFile(file, "%\nM3 S12000\nG4 P1\nM5\nG4 P0.5\nM30\n");
  long highest = -1;
  const RunResult r = RunFile(file, [&] { highest = std::max(highest, vfd.Holding(1)); });
  EXPECT_EQ(r.code, 0) << r.text;
  EXPECT_EQ(highest, 12000);
  EXPECT_TRUE(WaitUntil([&] { return vfd.Holding(1) == 0; }, 3000)) << "M5 stops the drive";
}

}  // namespace
