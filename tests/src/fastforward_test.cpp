// Run-from-line preparation: no motion, but the machine state and the
// position end up where a real run would leave them.
#include "fastforward.h"

#include <gtest/gtest.h>

#include <cmath>

#include "machineconfig.h"
#include "machinestate.h"
#include "radiuscomp.h"
#include "statechange.h"
#include "transformation.h"

namespace {

// A stage that counts what reaches it: nothing should.
class CountingFrontEnd : public FrontEnd {
 public:
  void AddLine(const Coordinates&, double, bool, const Condition*, bool) override { ++calls; }
  void AddArc(const Coordinates&, const double[3], double, int32_t, bool) override { ++calls; }
  void AddCmd(const StateChange&) override { ++calls; }
  int calls = 0;
};

class FastForwardTest : public ::testing::Test {
 protected:
  void SetUp() override { savedType = GetMachineConfig().machineType; }
  void TearDown() override { GetMachineConfig().machineType = savedType; }

  int savedType = 0;
  MachineState state{"ff"};
  CountingFrontEnd behind;
};

TEST_F(FastForwardTest, KeepsTheEndPositionAndForwardsNothing) {
  FastForward ff(&behind);
  ff.SetMachineState(&state);
  EXPECT_EQ(ff.GetBackEndKind(), 1);
  EXPECT_TRUE(ff.IsFastForward());
  EXPECT_EQ(ff.Next(), &behind);
  ff.AddLine(Coordinates(1, 2, 3, 4), 10, false, nullptr, false);
  const double c[3] = {0, 0, 0};
  ff.AddArc(Coordinates(5, 0, -1), c, 10, 2, true);
  ff.WaitForMachine();
  Coordinates pos;
  ff.GetPosition(pos);
  EXPECT_EQ(pos, Coordinates(5, 0, -1));
  EXPECT_EQ(behind.calls, 0);
}

TEST_F(FastForwardTest, PositionIsTakenThroughTheActiveTransformation) {
  Transformation shifted;
  shifted.SetOffset(Coordinates(10, 20, -5));
  state.transformation = &shifted;
  state.progPos = Coordinates(1, 1, 1);
  FastForward ff(&behind);
  ff.SetMachineState(&state);
  Coordinates pos;
  ff.GetPosition(pos);  // before any move: where the state stands
  EXPECT_EQ(pos, shifted.ToMachine(Coordinates(1, 1, 1)));
  ff.AddLine(Coordinates(1, 2, 3), 10, true, nullptr, false);
  ff.GetPosition(pos);
  EXPECT_DOUBLE_EQ(pos[0], 11);
  EXPECT_DOUBLE_EQ(pos[1], 22);
  EXPECT_DOUBLE_EQ(pos[2], -2);
}

TEST_F(FastForwardTest, StateChangesAndOffsetPositionApplyAtOnce) {
  FastForward ff(&behind);
  ff.SetMachineState(&state);
  StateChange m3('M', 3);
  ff.AddCmd(m3);
  EXPECT_TRUE(state.GetFlag(SF_SPINDLE_CW));
  StateChange var('#', 500);
  var.arg = 2.5;
  ff.AddCmd(var);
  EXPECT_DOUBLE_EQ(state.GetVar(500), 2.5);
  const double start[3] = {1.5, -2, 7};
  ff.SetOffsetPosition(start, true);
  EXPECT_DOUBLE_EQ(state.startPos[0], 1.5);
  EXPECT_DOUBLE_EQ(state.startPos[1], -2);
  EXPECT_DOUBLE_EQ(state.startPos[2], 7);
  EXPECT_EQ(behind.calls, 0);
}

TEST_F(FastForwardTest, KnifeStandsTangentialAfterAnArc) {
  GetMachineConfig().machineType = 3;
  FastForward ff(&behind);
  ff.SetMachineState(&state);
  ASSERT_TRUE(ff.KnifeMode());
  const double c[3] = {10, 10, 0};
  // Counter-clockwise quarter ending straight above the centre: 90 + 90.
  ff.AddArc(Coordinates(10, 15, 0), c, 10, 2, false);
  Coordinates pos;
  ff.GetPosition(pos);
  EXPECT_NEAR(pos[5], 180, 1e-9);
  // Clockwise ending left of the centre: 180 - 90.
  ff.AddArc(Coordinates(5, 10, 0), c, 10, 2, true);
  ff.GetPosition(pos);
  EXPECT_NEAR(pos[5], 90, 1e-9);
  // An arc in the YZ plane measures its angle from Y towards Z.
  const double cyz[3] = {0, 0, 0};
  ff.AddArc(Coordinates(0, 0, 4), cyz, 10, 0, false);
  ff.GetPosition(pos);
  EXPECT_NEAR(pos[5], 180, 1e-9);
}

TEST_F(FastForwardTest, WithoutKnifeTheArcKeepsItsC) {
  GetMachineConfig().machineType = 0;
  FastForward ff(&behind);
  ff.SetMachineState(&state);
  EXPECT_FALSE(ff.KnifeMode());
  const double c[3] = {0, 0, 0};
  ff.AddArc(Coordinates(0, 5, 0, 0, 0, 33), c, 10, 2, false);
  Coordinates pos;
  ff.GetPosition(pos);
  EXPECT_DOUBLE_EQ(pos[5], 33);
}

TEST(FrontEndKinds, CompensationStageHasNoMachineBehindIt) {
  RadiusComp rc;
  EXPECT_EQ(rc.GetBackEndKind(), 0);
}

}  // namespace
