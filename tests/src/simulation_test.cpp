#include "simulation.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <functional>
#include <thread>
#include <vector>

#include "errors.h"
#include "gcodeparser.h"
#include "machineconfig.h"
#include "machinestate.h"
#include "motionlimits.h"
#include "statechange.h"
#include "surfacemapping.h"
#include "testsupport.h"
#include "transformation.h"

namespace {

// Runs as fast as possible and records the position at every tick.
class RecordingClock : public SimClock {
 public:
  RecordingClock() : SimClock(0) {}
  void Tick(double seconds) override {
    SimClock::Tick(seconds);
    if (sim) {
      Coordinates p;
      sim->GetPosition(p);
      positions.push_back(p);
    }
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

class SimulationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetMachineStateForTest();
    savedConfig = GetMachineConfig();
    clock.sim = &sim;
  }
  void TearDown() override {
    sim.StopThread();
    GetMachineConfig() = savedConfig;
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

  MachineConfig savedConfig;
  RecordingClock clock;
  Simulation sim{nullptr, &clock};
};

void ExpectNear(const Coordinates& a, const Coordinates& b, double tol = 1e-6) {
  for (int i = 0; i < kAxisCount; ++i) EXPECT_NEAR(a.v[i], b.v[i], tol) << "axis " << i;
}

int32_t CodeOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const Error_t& e) {
    return e.code;
  }
  return 0;
}

// ---- lines and stepping ---------------------------------------------------

TEST_F(SimulationTest, MoveShorterThanMinimumStepChangesNothing) {
  Place({10, 10, -5});
  sim.SetTag(7);
  sim.AddLine({10.001, 10, -5}, 10, false, nullptr, false);
  ExpectNear(Pos(), {10, 10, -5}, 0);
  ExpectNear(simState.progPos, {10, 10, -5}, 0);
  EXPECT_EQ(clock.Ticks(), 0u);
  EXPECT_EQ(simState.GetCurrLine(), 0);  // the line is not marked either
}

// Simulated time is computed: a move takes its length over the velocity it
// runs at, in ticks of 10 ms.
TEST_F(SimulationTest, LinesTakeTheirLengthOverTheVelocityTheyRunAt) {
  const struct {
    const char* what;
    Coordinates from, to;
    double feed, override;
    double ticks, velocity;
  } cases[] = {
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
    sim.AddLine(c.to, c.feed, c.feed < 0, nullptr, false);
    EXPECT_NEAR(static_cast<double>(clock.Ticks()), c.ticks, 0.5);  // whole ticks
    EXPECT_NEAR(sim.ActualVelocity(), c.velocity, 1e-9);
    ExpectNear(Pos(), c.to);
    ExpectNear(simState.progPos, c.to);
    EXPECT_EQ(simState.GetCurrLine(), tag);
    EXPECT_EQ(sim.GetCursor(), tag);
  }
}

TEST_F(SimulationTest, TickRemainderCarriesIntoTheNextMove) {
  Place({10, 10, -5});
  sim.AddLine({10.25, 10, -5}, 10, false, nullptr, false);  // 2.5 ticks: 3 ticks, 0.005 s over
  EXPECT_EQ(clock.Ticks(), 3u);
  EXPECT_NEAR(sim.TimeCarry(), 0.005, 1e-9);
  sim.AddLine({10.5, 10, -5}, 10, false, nullptr, false);  // starts 0.05 mm in
  EXPECT_EQ(clock.Ticks(), 5u);
  EXPECT_NEAR(sim.TimeCarry(), 0.0, 1e-9);
  EXPECT_NEAR(clock.positions[1].v[0], 10.1, 1e-9);  // one tick of travel apart
  EXPECT_NEAR(clock.positions[3].v[0], 10.3, 1e-9);
}

// ---- arcs -------------------------------------------------------------------

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

TEST_F(SimulationTest, ArcLeavingTheSoftLimitsIsRejected) {
  Place({5, 20, -5});
  const double centre[3] = {10, 20, -5}, outside[3] = {3, 20, -5};
  // Half circle through X 0..20 stays inside; the full circle around (3,20) leaves X >= 0.
  sim.AddArc({15, 20, -5}, centre, 10, 2, true);
  EXPECT_EQ(CodeOf([&] { sim.AddArc({5, 20, -5}, outside, 10, 2, true); }), -1052);
  simState.SetSoftLimitsEnabled(false);
  EXPECT_EQ(CodeOf([&] { sim.AddArc({5, 20, -5}, outside, 10, 2, true); }), 0);
}

TEST_F(SimulationTest, FlatArcBecomesALineAndAKnifeArcMustLieInXY) {
  Place({20, 10, -5});
  const double centre[3] = {10, 10, -5};
  // A sweep of 0.01 degrees: 1.7 um off its chord.
  const double a = 0.01 * kDegToRad;
  const Coordinates end{10 + 10 * std::cos(a), 10 + 10 * std::sin(a), -5};
  sim.AddArc(end, centre, 10, 2, false);
  ExpectNear(Pos(), end);
  EXPECT_EQ(clock.Ticks(), 1u);

  SetTangentialKnifeActive(true);
  Place({20, 10, -5});
  const double yz[3] = {20, 10, -10};
  EXPECT_EQ(CodeOf([&] { sim.AddArc({20, 10, -15}, yz, 10, 0, false); }), -1117);
}

// ---- surface mapping ---------------------------------------------------------

class SimulationMappingTest : public SimulationTest {
 protected:
  void SetUp() override {
    SimulationTest::SetUp();
    SurfaceMapping& map = GetSurfaceMapping();
    map.Enable(false);
    // A plate rising 2 mm per 100 mm in X.
    map.SetBoundaries(0, 0, 200, 200, 5, 5);
    for (int iy = 0; iy < 5; ++iy)
      for (int ix = 0; ix < 5; ++ix) map.SetValue(ix, iy, 0.02 * 50 * ix);
    work.SetMapping(true);
    ASSERT_TRUE(work.IsMappingOn());
    simState.transformation = &work;
  }
  void TearDown() override {
    work.SetMapping(false);
    GetSurfaceMapping().Enable(false);
    SimulationTest::TearDown();
  }
  Transformation work{7};
};

TEST_F(SimulationMappingTest, FeedMoveFollowsTheHeightMap) {
  const Coordinates start{50, 100, -20};
  Place(work.ToMachine(start));
  simState.progPos = start;
  const Coordinates end{150, 100, -20};
  sim.AddLine(end, 10, false, nullptr, false);
  ExpectNear(Pos(), work.ToMachine(end), 1e-9);
  ExpectNear(simState.progPos, end, 0);
  EXPECT_GT(work.ToMachine(end).v[2] - work.ToMachine(start).v[2], 1.5);  // the map does lift the path
  // Every tick lies on the mapped path, about one tick of travel apart.
  for (const Coordinates& p : clock.positions) {
    const Coordinates onPath = work.ToMachine({p.v[0], 100, -20});
    EXPECT_NEAR(p.v[2], onPath.v[2], 1e-3) << "x " << p.v[0];
  }
  EXPECT_NEAR(static_cast<double>(clock.Ticks()), 1000, 5);
}

TEST_F(SimulationMappingTest, MappedPiecesAreCheckedAgainstTheSoftLimits) {
  // The map lifts the path above Z 0 (the top of the travel) on the way.
  const Coordinates start{10, 100, -0.9};
  Place(work.ToMachine(start));
  simState.progPos = start;
  ASSERT_LT(work.ToMachine(start).v[2], 0);
  EXPECT_EQ(CodeOf([&] { sim.AddLine({190, 100, -0.9}, 20, false, nullptr, false); }), -1008);
  EXPECT_LE(Pos().v[2], 0);
  // A rapid is not subdivided: it goes straight to the mapped end point.
  simState.SetSoftLimitsEnabled(false);
  sim.AddLine({20, 100, -5}, -1, true, nullptr, false);
  ExpectNear(Pos(), work.ToMachine({20, 100, -5}), 1e-9);
}

// ---- state changes ------------------------------------------------------------

TEST_F(SimulationTest, DwellSleepsWholeTicksAndCarriesTheRest) {
  sim.AddCmd(Cmd('G', 4, 0.015));
  EXPECT_EQ(clock.Ticks(), 1u);
  EXPECT_NEAR(sim.TimeCarry(), 0.005, 1e-12);
  sim.AddCmd(Cmd('G', 4, 1.0));
  EXPECT_EQ(clock.Ticks(), 101u);
}

TEST_F(SimulationTest, SpindleFollowsSAndDirection) {
  EXPECT_DOUBLE_EQ(sim.ProgrammedS(), GetMachineConfig().defaultRPM);
  sim.AddCmd(Cmd('S', -1, 6000));
  EXPECT_DOUBLE_EQ(sim.GetSpindleSpeed(), 0);
  sim.AddCmd(Cmd('M', 3));
  EXPECT_DOUBLE_EQ(sim.GetSpindleSpeed(), 6000);
  EXPECT_TRUE(simState.GetFlag(SF_SPINDLE_CW));
  sim.AddCmd(Cmd('S', -1, 7000));
  EXPECT_DOUBLE_EQ(sim.GetSpindleSpeed(), 7000);  // (M4 shows in the file run)
  sim.AddCmd(Cmd('M', 5));
  EXPECT_DOUBLE_EQ(sim.GetSpindleSpeed(), 0);
  EXPECT_FALSE(simState.GetFlag(SF_SPINDLE_CW));
}

TEST_F(SimulationTest, SpindleOverrideIsLoweredToTheToolsMaximum) {
  sim.AddCmd(Cmd('S', -1, 6000));
  sim.SetMaxRpm(9000);
  sim.SetSpindleOverride(200);
  EXPECT_DOUBLE_EQ(sim.GetSpindleOverride(), 150);
  sim.SetSpindleOverride(120);
  EXPECT_DOUBLE_EQ(sim.GetSpindleOverride(), 120);
  // An S above the maximum is cut, and the override then falls back to 100 %.
  sim.AddCmd(Cmd('S', -1, 12000));
  EXPECT_DOUBLE_EQ(sim.ProgrammedS(), 9000);
  EXPECT_DOUBLE_EQ(sim.GetSpindleOverride(), 100);
  sim.SetMaxRpm(0);
  sim.SetSpindleOverride(200);
  EXPECT_DOUBLE_EQ(sim.GetSpindleOverride(), 200);
}

TEST_F(SimulationTest, HomingPlacesAxesByTheirSwitchMode) {
  MachineConfig& cfg = GetMachineConfig();
  cfg.axis[0].homeSwitchMode = 2;
  cfg.axis[1].homeSwitchMode = 1;
  cfg.axis[2].homeSwitchMode = 3;
  cfg.axis[2].homePosition = -7;
  cfg.axis[3].homeSwitchMode = 0;
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

// ---- the worker: programs, pause, stop, jog, move ----------------------------

class SimulationRunTest : public SimulationTest {
 protected:
  void SetUp() override {
    SimulationTest::SetUp();
    sim.StartWorker();
    Place({0, 0, 0});
  }
  bool WaitRun(uint32_t runs) {
    return WaitFor([&] { return sim.RunsFinished() >= runs; });
  }
  bool WaitIdle() {
    return WaitFor([&] { return (sim.GetFlags() & (Simulation::kBusy | Simulation::kPaused)) == 0; });
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
  EXPECT_EQ(sim.LastErrorCode(), 0) << sim.LastErrorText();
  const uint32_t flags = sim.GetFlags();
  EXPECT_TRUE(flags & Simulation::kCompleted);
  EXPECT_FALSE(flags & (Simulation::kError | Simulation::kBusy));
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
    if (stop) sim.Stop(false);
    else sim.Continue();
    ASSERT_TRUE(WaitRun(stop ? 2 : 1));
    const uint32_t flags = sim.GetFlags();
    EXPECT_FALSE(flags & Simulation::kPaused);
    EXPECT_EQ(bool(flags & Simulation::kCompleted), !stop);
    EXPECT_EQ(bool(flags & Simulation::kError), stop);
    EXPECT_EQ(sim.LastErrorCode(), stop ? ERR_USER_BREAK : 0) << sim.LastErrorText();
    ExpectNear(Pos(), {stop ? 5.0 : 10.0, 0, 0});
  }
  EXPECT_NE(sim.LastErrorText().find("line 2"), std::string::npos) << sim.LastErrorText();
}

TEST_F(SimulationRunTest, StopDuringAMoveEndsAtTheReachedPoint) {
  clock.SetSpeed(50);  // 50 s of motion would take a second
  sim.ExecuteText("G1 X1 F600\nG1 X500\nG1 Y100\n");
  ASSERT_TRUE(WaitFor([&] { return Pos().v[0] > 2; }));
  sim.Stop(false);
  ASSERT_TRUE(WaitRun(1));
  EXPECT_EQ(sim.LastErrorCode(), ERR_USER_BREAK);
  EXPECT_NE(sim.LastErrorText().find("line 2"), std::string::npos) << sim.LastErrorText();
  const Coordinates p = Pos();
  EXPECT_GT(p.v[0], 2);
  EXPECT_LT(p.v[0], 500);
  EXPECT_DOUBLE_EQ(p.v[1], 0);
  // The machine's state follows the stop: the next run starts from there.
  sim.ExecuteText("G1 X1 F6000\n");
  ASSERT_TRUE(WaitRun(2));
  EXPECT_EQ(sim.LastErrorCode(), 0) << sim.LastErrorText();
  EXPECT_NEAR(Pos().v[0], 1, 1e-9);
}

TEST_F(SimulationRunTest, InterpreterErrorsSetTheErrorBitAndAStopWhileIdleNone) {
  sim.Stop(false);
  sim.StopJog();
  EXPECT_EQ(sim.GetFlags(), 0u);
  sim.ExecuteText("G1 X10 F600\nG1 X700\n");  // beyond the X travel
  ASSERT_TRUE(WaitRun(1));
  EXPECT_TRUE(sim.GetFlags() & Simulation::kError);
  EXPECT_TRUE(sim.GetFlags() & Simulation::kCompleted);
  EXPECT_EQ(sim.LastErrorCode(), ERR_NUMBER_RANGE);
  ExpectNear(Pos(), {10, 0, 0});
}

TEST_F(SimulationRunTest, JogByStepsAndOntoTheGrid) {
  Place({10.3, 10, -5});
  sim.Jog(0, true, 5, 20, false);
  ASSERT_TRUE(WaitIdle());
  ExpectNear(Pos(), {15.3, 10, -5});
  EXPECT_NEAR(clock.SimulatedSeconds(), 5 / 20.0, 0.011);
  sim.Jog(0, true, 1, 20, true);  // the next whole millimetre
  ASSERT_TRUE(WaitIdle());
  ExpectNear(Pos(), {16, 10, -5});
  sim.JogTwoAxes(0, false, 1, false, 2, 20, true);
  ASSERT_TRUE(WaitIdle());
  ExpectNear(Pos(), {14, 8, -5});
  ExpectNear(simState.progPos, {14, 8, -5});
}

TEST_F(SimulationRunTest, ContinuousJogStopsAtTheSoftLimitOrOnStopJog) {
  Place({10, 10, -5});
  sim.Jog(1, false, 0, 0, false);
  ASSERT_TRUE(WaitIdle());
  EXPECT_DOUBLE_EQ(Pos().v[1], GetMachineConfig().axis[1].minPosition);
  clock.SetSpeed(20);
  sim.Jog(0, true, 0, 10, false);  // 59 s to the end of the travel
  ASSERT_TRUE(WaitFor([&] { return Pos().v[0] > 11; }));
  sim.StopJog();
  ASSERT_TRUE(WaitIdle());
  EXPECT_LT(Pos().v[0], 500);
  EXPECT_FALSE(sim.GetFlags() & Simulation::kError);
}

TEST_F(SimulationRunTest, MoveToGoesThereAndRefusesTheKeepout) {
  Place({10, 10, -5});
  sim.MoveTo({50, 40, -10}, 0, 25, false);
  ASSERT_TRUE(WaitIdle());
  ExpectNear(Pos(), {50, 40, -10});
  EXPECT_NEAR(clock.SimulatedSeconds(), std::sqrt(40 * 40 + 30 * 30 + 25) / 25, 0.011);

  MachineConfig& cfg = GetMachineConfig();
  cfg.atcHasKeepout = true;
  cfg.atcKeepoutMin[0] = 80, cfg.atcKeepoutMax[0] = 90;
  cfg.atcKeepoutMin[1] = 0, cfg.atcKeepoutMax[1] = 100;
  cfg.atcKeepoutMin[2] = -100, cfg.atcKeepoutMax[2] = 0;
  sim.MoveTo({120, 40, -10}, 0, 25, false);
  ASSERT_TRUE(WaitIdle());
  EXPECT_TRUE(sim.GetFlags() & Simulation::kError);
  EXPECT_EQ(sim.LastErrorCode(), -1062);
  ExpectNear(Pos(), {50, 40, -10});
  // Rapid (velocity 0) to a point the keep-out does not lie on the way to.
  sim.MoveTo({60, 40, -10}, 0, 0, false);
  ASSERT_TRUE(WaitIdle());
  ExpectNear(Pos(), {60, 40, -10});
}

// ---- shared helpers ------------------------------------------------------------

class MotionLimits : public ::testing::Test {
 protected:
  void TearDown() override { GetMachineConfig() = saved; }
  MachineConfig saved = GetMachineConfig();
  MachineConfig& cfg = GetMachineConfig();
};

TEST_F(MotionLimits, KeepoutSegmentTest) {
  cfg.atcHasKeepout = true;
  cfg.atcKeepoutMask = 3;  // X and Y only
  cfg.atcKeepoutMin[0] = 10, cfg.atcKeepoutMax[0] = 20;
  cfg.atcKeepoutMin[1] = 10, cfg.atcKeepoutMax[1] = 20;
  EXPECT_TRUE(SegmentEntersKeepout({0, 15, 50}, {30, 15, 50}));  // crosses, Z ignored
  EXPECT_FALSE(SegmentEntersKeepout({0, 0, 0}, {30, 5, 0}));     // passes below
  EXPECT_TRUE(SegmentEntersKeepout({15, 15, 0}, {15, 15, 0}));   // a point inside
  EXPECT_FALSE(SegmentEntersKeepout({0, 25, 0}, {25, 21, 0}));
  EXPECT_TRUE(SegmentEntersKeepout({0, 30, 0}, {30, 0, 0}));  // the diagonal cuts the corner region
  cfg.atcHasKeepout = false;
  EXPECT_FALSE(SegmentEntersKeepout({0, 15, 0}, {30, 15, 0}));
}

TEST_F(MotionLimits, CircularVelocityLimits) {
  cfg.cvAccLimited = true;
  cfg.cvAcceler = 100;
  // Centripetal: sqrt(a r) = sqrt(100 x 1) = 10.
  EXPECT_NEAR(CircularVelocityLimit(2, 6.28, 0, 1, 80, false), 10, 1e-9);
  // A large radius: the axes' MaxVelocity (100) decides.
  EXPECT_NEAR(CircularVelocityLimit(2, 628, 0, 1000, 500, false), 100, 1e-9);
  // A steep helix: Z (50) limits the path speed by length / height.
  EXPECT_NEAR(CircularVelocityLimit(2, 10, 100, 1000, 500, false), 50 * std::hypot(10.0, 100.0) / 100, 1e-9);
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

TEST_F(MotionLimits, MinimumStepIsHalfTheFinestStep) {
  cfg.axis[4].resolution = 0.0005;
  EXPECT_DOUBLE_EQ(MinimumStep(), 0.00025);
  GetAxisAssignment().enabled[4] = false;
  EXPECT_DOUBLE_EQ(MinimumStep(), 0.00125);
  GetAxisAssignment().enabled[4] = true;
}

}  // namespace
