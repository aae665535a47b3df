// Run-from-line preparation: no motion, but the machine state and the
// position end up where a real run would leave them.
#include "motion/fastforward.h"

#include <gtest/gtest.h>

#include "machine/machineconfig.h"
#include "machine/machinestate.h"
#include "common/recording_backend.h"
#include "machine/statechange.h"
#include "machine/transformation.h"

namespace {

class FastForwardTest : public ::testing::Test {
 protected:
  void TearDown() override {
    GetMachineConfig().machineType = savedType;
    EXPECT_TRUE(behind.Calls().empty());  // nothing reaches the stage behind
  }
  Coordinates Position(FastForward& f) {
    Coordinates pos;
    f.GetPosition(pos);
    return pos;
  }

  int savedType = GetMachineConfig().machineType;
  MachineState state{"ff"};
  testsupport::RecordingBackEnd behind;
};

// Moves are kept, not forwarded; the position is taken through the active
// transformation, before any move from where the state stands. State
// changes and the offset position apply at once.
TEST_F(FastForwardTest, KeepsTheEndPositionAndAppliesTheState) {
  FastForward ff(&behind);
  ff.SetMachineState(&state);
  EXPECT_EQ(ff.GetBackEndKind(), 1);
  Transformation shifted;
  shifted.SetOffset(Coordinates(10, 20, -5));
  state.transformation = &shifted;
  state.progPos = Coordinates(1, 1, 1);
  EXPECT_EQ(Position(ff), shifted.ToMachine(Coordinates(1, 1, 1)));
  ff.AddLine(Coordinates(1, 2, 3, 4), 10, true, nullptr, false);
  EXPECT_EQ(Position(ff), Coordinates(11, 22, -2, 4));
  const double c[3] = {0, 0, 0};
  ff.AddArc(Coordinates(5, 0, -1), c, 10, 2, true);
  ff.WaitForMachine();
  EXPECT_EQ(Position(ff), Coordinates(15, 20, -6));
  ff.AddCmd(StateChange('M', 3));
  EXPECT_TRUE(state.GetFlag(SF_SPINDLE_CW));
  const double start[3] = {1.5, -2, 7};
  ff.SetOffsetPosition(start, true);
  for (int i = 0; i < 3; ++i) EXPECT_DOUBLE_EQ(state.startPos[i], start[i]);
}

// A knife stands tangential after an arc; other machines keep the arc's C.
TEST_F(FastForwardTest, KnifeAngleAfterAnArc) {
  const struct {
    int machineType, plane;
    double centre[3];
    Coordinates end;
    bool cw;
    double c;
  } rows[] = {
      {3, 2, {10, 10, 0}, Coordinates(10, 15, 0), false, 180},  // counter-clockwise ending above: 90 + 90
      {3, 2, {10, 10, 0}, Coordinates(5, 10, 0), true, 90},     // clockwise ending left: 180 - 90
      {3, 0, {0, 0, 0}, Coordinates(0, 0, 4), false, 180},      // YZ plane: measured from Y towards Z
      {0, 2, {0, 0, 0}, Coordinates(0, 5, 0, 0, 0, 33), false, 33},
  };
  for (const auto& r : rows) {
    GetMachineConfig().machineType = r.machineType;
    FastForward knife(&behind);
    knife.SetMachineState(&state);
    knife.AddArc(r.end, r.centre, 10, r.plane, r.cw);
    EXPECT_NEAR(Position(knife)[5], r.c, 1e-9) << "row " << (&r - rows);
  }
}

}  // namespace
