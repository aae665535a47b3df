#include "simulation/simulation.h"

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cmath>
#include <functional>
#include <thread>
#include <vector>

#include "program/errors.h"
#include "interpreter/gcodeparser.h"
#include "machine/machineconfig.h"
#include "machine/machinestate.h"
#include "motion/motionlimits.h"
#include "machine/statechange.h"
#include "machine/surfacemapping.h"
#include "common/testsupport.h"
#include "machine/transformation.h"

namespace {

// Runs as fast as possible and records the position at every tick.
class RecordingClock : public SimClock {
 public:
  RecordingClock() : SimClock(0) {}
  void Tick(double seconds) override {
    SimClock::Tick(seconds);
    sim->GetPosition(positions.emplace_back());
  }
  Simulation* sim = nullptr;
  std::vector<Coordinates> positions;
};

// A guard against hanging tests, not a timing check.
bool WaitFor(const std::function<bool()>& cond) {
  for (int i = 0; i < 20000 && !cond(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return cond();
}

StateChange Cmd(char code, int num, double arg = 0) {
  StateChange c(code, num);
  c.arg = arg;
  return c;
}

void ExpectNear(const Coordinates& a, const Coordinates& b, double tol = 1e-6) {
  for (int i = 0; i < kAxisCount; ++i) EXPECT_NEAR(a.v[i], b.v[i], tol) << "axis " << i;
}

using testsupport::CodeOf;

class SimulationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetMachineStateForTest();
    clock.sim = &sim;
  }
  void TearDown() override {
    sim.StopThread();
    cfg = savedConfig;
    SetTangentialKnifeActive(false);
    ResetMachineStateForTest();
  }
  // Places machine and program position together (no offset is active).
  void Place(const Coordinates& p) {
    sim.SetSimPosition(p);
    simState.progPos = p;
  }
  Coordinates Pos() {
    Coordinates p;
    sim.GetPosition(p);
    return p;
  }
  void Line(const Coordinates& to, double feed) { sim.AddLine(to, feed, feed < 0, nullptr, false); }

  MachineConfig& cfg = GetMachineConfig();
  const MachineConfig savedConfig = cfg;
  RecordingClock clock;
  Simulation sim{nullptr, &clock};
};

// ---- lines and arcs: simulated time is computed, a move takes its length
// over the velocity it runs at, in ticks of 10 ms

TEST_F(SimulationTest, LinesTakeTheirLengthOverTheVelocityTheyRunAt) {
  const struct { const char* what; Coordinates from, to; double feed, override, ticks, velocity; } cases[] = {
      {"10 mm at 10 mm/s", {10, 10, -5}, {20, 10, -5}, 10, 100, 100, 10},
      {"feed override 50 %", {10, 10, -5}, {20, 10, -5}, 10, 50, 200, 5},
      {"Z alone: its MaxVelocity 50 limits a feed of 100", {10, 10, -5}, {10, 10, -45}, 100, 100, 80, 50},
      // X 30 at 100 mm/s takes 0.3 s, Z 10 at 50 mm/s 0.2 s: X decides.
      {"rapid at the pace of the slowest axis", {0, 0, 0}, {30, 0, -10}, -1, 100, 30, std::hypot(30.0, 10.0) / 0.3},
      {"override above 150 % capped by the move's limit", {10, 10, -5}, {20, 10, -5}, 10, 300, 10 / 15.0 * 100, 15},
  };
  int32_t tag = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    clock.Reset();
    Place(c.from);
    sim.SetFeedOverride(c.override);
    sim.SetTag(++tag);
    Line(c.to, c.feed);
    EXPECT_NEAR(static_cast<double>(clock.Ticks()), c.ticks, 0.5);  // whole ticks
    EXPECT_NEAR(sim.ActualVelocity(), c.velocity, 1e-9);
    ExpectNear(Pos(), c.to);
    ExpectNear(simState.progPos, c.to);
    EXPECT_EQ(simState.GetCurrLine(), tag);
    EXPECT_EQ(sim.GetCursor(), tag);
  }
}

TEST_F(SimulationTest, TickRemainderCarriesIntoTheNextMoveOrDwell) {
  Place({10, 10, -5});
  sim.SetTag(7);
  Line({10.001, 10, -5}, 10);  // shorter than the minimum step: nothing moves, the line is not marked
  ExpectNear(Pos(), {10, 10, -5}, 0);
  EXPECT_EQ(clock.Ticks(), 0u);
  EXPECT_EQ(simState.GetCurrLine(), 0);
  Line({10.25, 10, -5}, 10);  // 2.5 ticks: 3 ticks, 0.005 s over
  EXPECT_EQ(clock.Ticks(), 3u);
  EXPECT_NEAR(sim.TimeCarry(), 0.005, 1e-9);
  Line({10.5, 10, -5}, 10);  // starts 0.05 mm in
  EXPECT_EQ(clock.Ticks(), 5u);
  EXPECT_NEAR(sim.TimeCarry(), 0.0, 1e-9);
  EXPECT_NEAR(clock.positions[1].v[0], 10.1, 1e-9);  // one tick of travel apart
  EXPECT_NEAR(clock.positions[3].v[0], 10.3, 1e-9);
  sim.AddCmd(Cmd('G', 4, 0.015));  // a dwell sleeps whole ticks too
  EXPECT_EQ(clock.Ticks(), 6u);
  EXPECT_NEAR(sim.TimeCarry(), 0.005, 1e-12);
  sim.AddCmd(Cmd('G', 4, 0.995));  // with the 0.005 carried: 100 ticks
  EXPECT_EQ(clock.Ticks(), 106u);
}

TEST_F(SimulationTest, ArcFollowsTheCircleEitherWayAndTakesLengthOverFeed) {
  const double centre[3] = {10, 10, -5};
  for (bool cw : {false, true}) {
    SCOPED_TRACE(cw ? "three quarters clockwise" : "a quarter counter-clockwise");
    clock.Reset();
    clock.positions.clear();
    Place({20, 10, -5});
    sim.AddArc({10, 20, -5}, centre, 10, 2, cw);
    EXPECT_NEAR(static_cast<double>(clock.Ticks()), 10 * M_PI * (cw ? 1.5 : 0.5) / 0.1, 1.0);
    bool belowCentre = false;
    for (const Coordinates& p : clock.positions) {
      EXPECT_NEAR(std::hypot(p.v[0] - 10, p.v[1] - 10), 10.0, 1e-9);
      belowCentre |= p.v[1] < 5;
    }
    EXPECT_EQ(belowCentre, cw);
    ExpectNear(Pos(), {10, 20, -5});
    ExpectNear(simState.progPos, {10, 20, -5});
  }
}

TEST_F(SimulationTest, FlatArcsAreLinesAndArcsLeavingTheSoftLimitsOrKnifeArcsOutsideXYAreRejected) {
  // A sweep of 0.01 degrees: 1.7 um off its chord.
  Place({20, 10, -5});
  const double c1[3] = {10, 10, -5}, a = 0.01 * kDegToRad;
  const Coordinates end{10 + 10 * std::cos(a), 10 + 10 * std::sin(a), -5};
  sim.AddArc(end, c1, 10, 2, false);
  ExpectNear(Pos(), end);
  EXPECT_EQ(clock.Ticks(), 1u);
  // Half circle through X 0..20 stays inside; the full circle around (3,20) leaves X >= 0.
  Place({5, 20, -5});
  const double centre[3] = {10, 20, -5}, outside[3] = {3, 20, -5};
  sim.AddArc({15, 20, -5}, centre, 10, 2, true);
  EXPECT_EQ(CodeOf([&] { sim.AddArc({5, 20, -5}, outside, 10, 2, true); }), -1052);
  simState.SetSoftLimitsEnabled(false);
  EXPECT_EQ(CodeOf([&] { sim.AddArc({5, 20, -5}, outside, 10, 2, true); }), 0);
  SetTangentialKnifeActive(true);
  const double yz[3] = {5, 20, -10};
  EXPECT_EQ(CodeOf([&] { sim.AddArc({5, 20, -15}, yz, 10, 0, false); }), -1117);
}

// A plate rising 2 mm per 100 mm in X: feed moves follow it in pieces that
// are checked against the soft limits; a rapid goes straight to the mapped end.
TEST_F(SimulationTest, SurfaceMappingLiftsFeedMovesPieceByPiece) {
  SurfaceMapping& map = GetSurfaceMapping();
  map.Enable(false);
  map.SetBoundaries(0, 0, 200, 200, 5, 5);
  for (int i = 0; i < 25; ++i) map.SetValue(i % 5, i / 5, 0.02 * 50 * (i % 5));
  Transformation work{7};
  work.SetMapping(true);
  ASSERT_TRUE(work.IsMappingOn());
  simState.transformation = &work;
  const auto placeAt = [&](const Coordinates& p) {
    Place(work.ToMachine(p));
    simState.progPos = p;
  };
  placeAt({50, 100, -20});
  Line({150, 100, -20}, 10);
  ExpectNear(Pos(), work.ToMachine({150, 100, -20}), 1e-9);
  ExpectNear(simState.progPos, {150, 100, -20}, 0);
  EXPECT_GT(Pos().v[2] - work.ToMachine({50, 100, -20}).v[2], 1.5);  // the map does lift the path
  // Every tick lies on the mapped path, about one tick of travel apart.
  for (const Coordinates& p : clock.positions)
    EXPECT_NEAR(p.v[2], work.ToMachine({p.v[0], 100, -20}).v[2], 1e-3) << "x " << p.v[0];
  EXPECT_NEAR(static_cast<double>(clock.Ticks()), 1000, 5);
  // The map lifts this path above Z 0 (the top of the travel) on the way.
  placeAt({10, 100, -0.9});
  ASSERT_LT(Pos().v[2], 0);
  EXPECT_EQ(CodeOf([&] { Line({190, 100, -0.9}, 20); }), -1008);
  EXPECT_LE(Pos().v[2], 0);
  simState.SetSoftLimitsEnabled(false);
  Line({20, 100, -5}, -1);
  ExpectNear(Pos(), work.ToMachine({20, 100, -5}), 1e-9);
  work.SetMapping(false);
}

// ---- state changes and signals

TEST_F(SimulationTest, SpindleFollowsSDirectionAndTheToolsMaximum) {
  EXPECT_DOUBLE_EQ(sim.ProgrammedS(), cfg.defaultRPM);
  // (M4 shows in the file run)
  const struct { char code; int num; double s, speed; } steps[] = {
      {'S', -1, 6000, 0}, {'M', 3, 0, 6000}, {'S', -1, 7000, 7000}, {'M', 5, 0, 0}};
  for (const auto& c : steps) {
    sim.AddCmd(Cmd(c.code, c.num, c.s));
    EXPECT_DOUBLE_EQ(sim.GetSpindleSpeed(), c.speed) << c.code << c.num;
    EXPECT_EQ(simState.GetFlag(SF_SPINDLE_CW), c.speed > 0) << c.code << c.num;
  }
  // The override is lowered to the tool's maximum; an S above it is cut, and
  // the override then falls back to 100 %.
  sim.AddCmd(Cmd('S', -1, 6000));
  sim.SetMaxRpm(9000);
  for (double want : {200.0, 120.0}) {
    sim.SetSpindleOverride(want);
    EXPECT_DOUBLE_EQ(sim.GetSpindleOverride(), std::min(want, 150.0));
  }
  sim.AddCmd(Cmd('S', -1, 12000));
  EXPECT_DOUBLE_EQ(sim.ProgrammedS(), 9000);
  EXPECT_DOUBLE_EQ(sim.GetSpindleOverride(), 100);
  sim.SetMaxRpm(0);
  sim.SetSpindleOverride(200);
  EXPECT_DOUBLE_EQ(sim.GetSpindleOverride(), 200);
}

TEST_F(SimulationTest, HomingPlacesAxesByTheirSwitchMode) {
  // X to its maximum, Y to its minimum, Z to its home position, A stays.
  for (int i : {0, 1, 2, 3}) cfg.axis[i].homeSwitchMode = std::array{2, 1, 3, 0}[i];
  cfg.axis[2].homePosition = -7;
  Place({10, 10, -5, 33});
  sim.AddCmd(Cmd('G', 74, 1 + 2 + 4 + 8));
  ExpectNear(Pos(), {cfg.axis[0].maxPosition, cfg.axis[1].minPosition, -7, 33});
  Place({10, 10, -5});
  sim.AddCmd(Cmd('G', 74, 2.9));  // the integer part selects Y only
  ExpectNear(Pos(), {10, cfg.axis[1].minPosition, -5});
}

TEST_F(SimulationTest, WaitForMachineResyncsTheProgramPositionAndSignalOneReadsFalse) {
  Place({10, 10, -5});
  simState.progPos = {0, 0, 0};
  sim.WaitForMachine();
  ExpectNear(simState.progPos, {10, 10, -5});
  EXPECT_FALSE(sim.GetOutput(5000));
  sim.SetInput(1, true);
  sim.SetInput(3, true);
  EXPECT_FALSE(sim.GetSignal(1));  // signal 1 always reads false
  EXPECT_TRUE(sim.GetSignal(3));
  EXPECT_FALSE(sim.GetSignal(-2));
}

// ---- the worker: programs, pause, stop, jog, move

class SimulationRunTest : public SimulationTest {
 protected:
  void SetUp() override {
    SimulationTest::SetUp();
    sim.StartWorker();
    Place({0, 0, 0});
  }
  bool WaitRun(uint32_t runs) { return WaitFor([&] { return sim.RunsFinished() >= runs; }); }
  // Where the machine stands once the worker is idle again.
  Coordinates IdlePos() {
    EXPECT_TRUE(WaitFor([&] { return (sim.GetFlags() & (Simulation::kBusy | Simulation::kPaused)) == 0; }));
    return Pos();
  }
  // The flags of the last run that matter to the operator.
  void ExpectRunEnd(bool completed, bool error, int32_t code) {
    const uint32_t flags = sim.GetFlags();
    EXPECT_FALSE(flags & (Simulation::kBusy | Simulation::kPaused));
    EXPECT_EQ(bool(flags & Simulation::kCompleted), completed);
    EXPECT_EQ(bool(flags & Simulation::kError), error);
    EXPECT_EQ(sim.LastErrorCode(), code) << sim.LastErrorText();
  }
};

// A whole program from a file: it ends at its end point after the time its
// path takes, with its state changes applied in program order.
TEST_F(SimulationRunTest, MainProgramRunsThroughTheParserInPathTime) {
  const std::string dir = testsupport::MakeTempDir("simrun");
  testsupport::WriteFile(dir + "/part.nc",
                         "%\nG90 G17\nS1000 M3\nG1 X10 Y10 F1200\nM5\nS2000\nM4\nG2 X20 Y10 I5 J0\nG4 P0.5\nM8\n");
  GCodeParser parser(&sim, &simState);
  ASSERT_GT(parser.NewMainFile(dir + "/part.nc"), 0);
  sim.SetParser(&parser);
  sim.RunProgram();
  ASSERT_TRUE(WaitRun(1));
  ExpectRunEnd(true, false, 0);
  ExpectNear(Pos(), {20, 10, 0}, 1e-6);
  EXPECT_NEAR(clock.SimulatedSeconds(), (std::hypot(10.0, 10.0) + 5 * M_PI) / 20.0 + 0.5, 0.05);
  EXPECT_DOUBLE_EQ(sim.GetActualVelocity(), 0);
  EXPECT_DOUBLE_EQ(sim.GetSpindleSpeed(), -2000);
  EXPECT_TRUE(simState.GetFlag(SF_SPINDLE_CCW));
  EXPECT_FALSE(simState.GetFlag(SF_SPINDLE_CW));
  EXPECT_TRUE(simState.GetFlag(SF_COOLANT_FLOOD));
  EXPECT_EQ(sim.GetCursor(), 10);
}

// M0 pauses; Continue runs on, Stop ends the run with a user break there.
TEST_F(SimulationRunTest, M0PausesUntilContinueOrStop) {
  for (bool stop : {false, true}) {
    SCOPED_TRACE(stop ? "stop" : "continue");
    Place({0, 0, 0});
    sim.ExecuteText("G1 X5 F600\nM0\nG1 X10\n");
    ASSERT_TRUE(WaitFor([&] { return (sim.GetFlags() & Simulation::kPaused) != 0; }));
    EXPECT_FALSE(sim.GetFlags() & Simulation::kBusy);
    ExpectNear(Pos(), {5, 0, 0});
    EXPECT_EQ(sim.GetCursor(), 2);
    // Commands that need an idle machine stay refused during the pause.
    sim.Jog(0, true, 1, 10, false);
    ExpectNear(Pos(), {5, 0, 0});
    stop ? sim.Stop(false) : sim.Continue();
    ASSERT_TRUE(WaitRun(stop ? 2 : 1));
    ExpectRunEnd(!stop, stop, stop ? ERR_USER_BREAK : 0);
    ExpectNear(Pos(), {stop ? 5.0 : 10.0, 0, 0});
  }
  EXPECT_NE(sim.LastErrorText().find("line 2"), std::string::npos) << sim.LastErrorText();
}

TEST_F(SimulationRunTest, InterpreterErrorsAndStopDuringAMoveEndTheRunThere) {
  sim.Stop(false);  // while idle: nothing
  sim.StopJog();
  EXPECT_EQ(sim.GetFlags(), 0u);
  sim.ExecuteText("G1 X10 F600\nG1 X700\n");  // beyond the X travel
  ASSERT_TRUE(WaitRun(1));
  ExpectRunEnd(true, true, ERR_NUMBER_RANGE);
  ExpectNear(Pos(), {10, 0, 0});
  clock.SetSpeed(50);  // 50 s of motion would take a second
  sim.ExecuteText("G1 X11 F600\nG1 X500\nG1 Y100\n");
  ASSERT_TRUE(WaitFor([&] { return Pos().v[0] > 12; }));
  sim.Stop(false);
  ASSERT_TRUE(WaitRun(2));
  EXPECT_EQ(sim.LastErrorCode(), ERR_USER_BREAK);
  EXPECT_NE(sim.LastErrorText().find("line 2"), std::string::npos) << sim.LastErrorText();
  EXPECT_GT(Pos().v[0], 12);
  EXPECT_LT(Pos().v[0], 500);
  EXPECT_DOUBLE_EQ(Pos().v[1], 0);
  // The machine's state follows the stop: the next run starts from there.
  sim.ExecuteText("G1 X1 F6000\n");
  ASSERT_TRUE(WaitRun(3));
  EXPECT_EQ(sim.LastErrorCode(), 0) << sim.LastErrorText();
  EXPECT_NEAR(Pos().v[0], 1, 1e-9);
}

TEST_F(SimulationRunTest, JogByStepsOntoTheGridAndToTheSoftLimitOrStopJog) {
  Place({10.3, 10, -5});
  sim.Jog(0, true, 5, 20, false);
  ExpectNear(IdlePos(), {15.3, 10, -5});
  EXPECT_NEAR(clock.SimulatedSeconds(), 5 / 20.0, 0.011);
  sim.Jog(0, true, 1, 20, true);  // the next whole millimetre
  ExpectNear(IdlePos(), {16, 10, -5});
  sim.JogTwoAxes(0, false, 1, false, 2, 20, true);
  ExpectNear(IdlePos(), {14, 8, -5});
  ExpectNear(simState.progPos, {14, 8, -5});
  sim.Jog(1, false, 0, 0, false);  // continuous
  EXPECT_DOUBLE_EQ(IdlePos().v[1], cfg.axis[1].minPosition);
  clock.SetSpeed(20);
  sim.Jog(0, true, 0, 10, false);  // 59 s to the end of the travel
  ASSERT_TRUE(WaitFor([&] { return Pos().v[0] > 15; }));
  sim.StopJog();
  EXPECT_LT(IdlePos().v[0], 500);
  EXPECT_FALSE(sim.GetFlags() & Simulation::kError);
}

// The wheel's counts move the axis by the step from where it stood, across
// the counter's wrap and never past the soft limit; switching the wheel off
// or Stop ends the jog where the axis stands, without an error.
TEST_F(SimulationRunTest, HandwheelCountsMoveTheAxisByTheStepWithinTheSoftLimits) {
  clock.SetSpeed(20);
  for (bool stop : {false, true}) {
    SCOPED_TRACE(stop ? "stop" : "wheel off");
    Place({10, 10, -5});
    sim.SetHandWheelPos(0xFFFFFFF0u, 0, 0);
    sim.HandwheelJog(true, 1, 0.5, 20, false);
    ASSERT_TRUE(WaitFor([&] { return (sim.GetFlags() & Simulation::kHandwheel) != 0; }));
    sim.SetHandWheelPos(0x00000014u, 0, 0);  // 36 counts on, over the wrap
    ASSERT_TRUE(WaitFor([&] { return std::fabs(Pos().v[1] - 28) < 1e-9; }));
    sim.SetHandWheelPos(0xFFFFFFF0u - 100000, 0, 0);  // far below the travel
    ASSERT_TRUE(WaitFor([&] { return Pos().v[1] <= cfg.axis[1].minPosition + 1e-9; }));
    EXPECT_NEAR(Pos().v[1], cfg.axis[1].minPosition, 1e-9);
    stop ? sim.Stop(false) : sim.HandwheelJog(false, 0, 0, 0, true);
    ASSERT_TRUE(WaitFor([&] { return (sim.GetFlags() & (Simulation::kBusy | Simulation::kHandwheel)) == 0; }));
    EXPECT_FALSE(sim.GetFlags() & Simulation::kError);
    EXPECT_NEAR(Pos().v[0], 10, 1e-9);
  }
}

TEST_F(SimulationRunTest, MoveToGoesThereAndRefusesTheKeepout) {
  Place({10, 10, -5});
  sim.MoveTo({50, 40, -10}, 0, 25, false);
  ExpectNear(IdlePos(), {50, 40, -10});
  EXPECT_NEAR(clock.SimulatedSeconds(), std::sqrt(40 * 40 + 30 * 30 + 25) / 25, 0.011);
  cfg.atcHasKeepout = true;
  cfg.atcKeepoutMin[0] = 80, cfg.atcKeepoutMax[0] = 90;
  cfg.atcKeepoutMin[1] = 0, cfg.atcKeepoutMax[1] = 100;
  cfg.atcKeepoutMin[2] = -100, cfg.atcKeepoutMax[2] = 0;
  sim.MoveTo({120, 40, -10}, 0, 25, false);
  ExpectNear(IdlePos(), {50, 40, -10});
  EXPECT_TRUE(sim.GetFlags() & Simulation::kError);
  EXPECT_EQ(sim.LastErrorCode(), -1062);
  // Rapid (velocity 0) to a point the keep-out does not lie on the way to.
  sim.MoveTo({60, 40, -10}, 0, 0, false);
  ExpectNear(IdlePos(), {60, 40, -10});
}

// ---- shared helpers

class MotionLimits : public SimulationTest {};

TEST_F(MotionLimits, KeepoutSegmentTest) {
  cfg.atcKeepoutMask = 3;  // X and Y only
  cfg.atcKeepoutMin[0] = 10, cfg.atcKeepoutMax[0] = 20;
  cfg.atcKeepoutMin[1] = 10, cfg.atcKeepoutMax[1] = 20;
  cfg.atcHasKeepout = true;
  EXPECT_TRUE(SegmentEntersKeepout({0, 15, 50}, {30, 15, 50}));  // crosses, Z ignored
  EXPECT_FALSE(SegmentEntersKeepout({0, 0, 0}, {30, 5, 0}));     // passes below
  EXPECT_TRUE(SegmentEntersKeepout({15, 15, 0}, {15, 15, 0}));   // a point inside
  EXPECT_FALSE(SegmentEntersKeepout({0, 25, 0}, {25, 21, 0}));
  EXPECT_TRUE(SegmentEntersKeepout({0, 30, 0}, {30, 0, 0}));  // the diagonal cuts the corner region
  cfg.atcHasKeepout = false;
  EXPECT_FALSE(SegmentEntersKeepout({0, 15, 0}, {30, 15, 0}));
}

TEST_F(MotionLimits, CircularVelocityLimitsAndMinimumStep) {
  cfg.cvAccLimited = true;
  cfg.cvAcceler = 100;
  // Centripetal: sqrt(a r) = sqrt(100 x 1) = 10.
  EXPECT_NEAR(CircularVelocityLimit(2, 6.28, 0, 1, 80, false), 10, 1e-9);
  // A large radius: the axes' MaxVelocity (100) decides.
  EXPECT_NEAR(CircularVelocityLimit(2, 628, 0, 1000, 500, false), 100, 1e-9);
  // A steep helix: Z (50) limits the path speed by length / height.
  EXPECT_NEAR(CircularVelocityLimit(2, 10, 100, 1000, 500, false), 50 * std::hypot(10.0, 100.0) / 100, 1e-9);
  // The minimum step is half the finest resolution of an enabled axis.
  cfg.axis[4].resolution = 0.0005;
  EXPECT_DOUBLE_EQ(MinimumStep(), 0.00025);
  GetAxisAssignment().enabled[4] = false;
  EXPECT_DOUBLE_EQ(MinimumStep(), 0.00125);
  GetAxisAssignment().enabled[4] = true;
}

// Sweeps in the XY plane show in the simulation's arc tests; helices and
// the other planes do not.
TEST_F(MotionLimits, ArcGeometryOfHelicesAndTheYZPlane) {
  const double centre[3] = {0, 0, 0};
  const Coordinates mid = ArcPoint(MakeArc({10, 0, 0}, {0, 10, 4}, centre, 2, false), 0.5);
  EXPECT_NEAR(mid.v[0], 10 * std::cos(M_PI / 4), 1e-9);
  EXPECT_NEAR(mid.v[2], 2, 1e-12);  // the helix height is linear
  // YZ plane: the angle is measured from Y towards Z.
  const ArcGeometry yz = MakeArc({0, 0, 5}, {0, -5, 0}, centre, 0, false);
  EXPECT_NEAR(yz.startAngle, 90, 1e-9);
  EXPECT_NEAR(yz.sweep, 90, 1e-9);
}

}  // namespace
