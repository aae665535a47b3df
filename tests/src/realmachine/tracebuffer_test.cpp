// The trace buffer: state changes wait for the module's reference number and
// are executed in order once it is reached; reference numbers wrap.
#include <gtest/gtest.h>

#include "common/testsupport.h"
#include "machine/machinestate.h"
#include "machine/statechange.h"
#include "realmachine/tracebuffer.h"

namespace {

StateChange* S(double rpm) {
  StateChange* sc = StateChange::Create('S', rpm);
  EXPECT_NE(sc, nullptr);
  return sc;
}

class TraceBufferTest : public ::testing::Test {
 protected:
  void SetUp() override {
    StateChange::Init();
    freeBefore = StateChange::FreeCount();
  }
  void TearDown() override { ResetMachineStateForTest(); }
  MachineState state{"trace test"};
  int freeBefore = 0;
};

TEST(CmpRefNumTest, DifferenceIsTakenModulo16Bits) {
  struct Case {
    int16_t a, b;
    int expected;
  } cases[] = {
      {5, 3, 2},
      {3, 5, -2},
      {-32768, 32767, 1},   // the wrap: -32768 comes right after 32767
      {32767, -32768, -1},
      {-32700, 32700, 136},
      {100, 100, 0},
  };
  for (const Case& c : cases) EXPECT_EQ(CmpRefNum(c.a, c.b), c.expected) << c.a << " " << c.b;
}

// Changes wait for their reference; reading executes everything up to it in
// order, moves the current line, hands over the planned velocity, and does
// so across the wrap from 32767 to -32768.
TEST_F(TraceBufferTest, ReadExecutesInOrderUpToTheReferenceAcrossTheWrap) {
  TraceBuffer trace(16);
  trace.Clear(32760, 7);
  trace.Write(32765, 10, 20.0, S(1000));
  trace.Write(32767, 11, 25.0, S(2000));
  trace.Write(-32767, 12, 30.0, S(3000));
  double v = -1;
  EXPECT_FALSE(trace.Read(32764, state, v)) << "nothing reached yet";
  EXPECT_EQ(v, -1);
  EXPECT_EQ(trace.CurrentLine(), 7);

  EXPECT_TRUE(trace.Read(-32768, state, v));
  EXPECT_EQ(state.GetLetter('S'), 2000) << "both reached, executed in order";
  EXPECT_EQ(state.GetCurrLine(), 11);
  EXPECT_EQ(v, 25.0);
  EXPECT_EQ(trace.Pending(), 1);

  EXPECT_TRUE(trace.Read(-32000, state, v));
  EXPECT_EQ(state.GetLetter('S'), 3000);
  EXPECT_EQ(trace.CurrentLine(), 12);
  EXPECT_EQ(trace.Pending(), 0);
  EXPECT_EQ(StateChange::FreeCount(), freeBefore) << "executed changes go back to the pool";
}

// Writes at the reference of the entry still waiting join it (the later line
// wins, the changes keep their order); once that entry has been executed, a
// write at the same reference opens a new one, so no change is lost.
TEST_F(TraceBufferTest, SameReferenceJoinsTheWaitingEntryButNeverAnExecutedOne) {
  TraceBuffer trace(16);
  trace.Clear(0, 1);
  trace.Write(4, 2, 10.0, S(100));
  trace.Write(4, 3, 12.0, S(200));
  EXPECT_EQ(trace.Pending(), 1);
  double v = 0;
  trace.Read(4, state, v);
  EXPECT_EQ(state.GetLetter('S'), 200);
  EXPECT_EQ(state.GetCurrLine(), 3);
  EXPECT_EQ(v, 12.0);

  trace.Write(4, 5, 0.0, S(300));
  EXPECT_EQ(trace.Pending(), 1);
  EXPECT_TRUE(trace.Read(4, state, v));
  EXPECT_EQ(state.GetLetter('S'), 300);
}

// A full ring reports the overflow and a decreasing reference is reported,
// but neither loses a change; a clear gives every waiting change back.
TEST_F(TraceBufferTest, OverflowAndMisorderAreReportedWithoutLosingChangesAndClearEmpties) {
  testsupport::AssertionCapture asserts;
  TraceBuffer trace(4);
  trace.Clear(0, 1);
  for (int16_t r = 1; r <= 4; ++r) trace.Write(r, r, 0.0, S(r * 10));
  EXPECT_TRUE(asserts.Saw("TraceBuffer write overflow"));
  trace.Write(2, 9, 0.0, S(99));
  EXPECT_TRUE(asserts.Saw("TraceBuffer write refNum decreased"));
  double v = 0;
  trace.Read(4, state, v);
  EXPECT_EQ(state.GetLetter('S'), 99) << "every change executed, the last written last";

  for (int16_t r = 5; r <= 7; ++r) trace.Write(r, r, 0.0, S(r));
  EXPECT_LT(StateChange::FreeCount(), freeBefore);
  trace.Clear(7, 42);
  EXPECT_EQ(trace.Pending(), 0);
  EXPECT_EQ(trace.CurrentLine(), 42);
  EXPECT_EQ(StateChange::FreeCount(), freeBefore);
  EXPECT_FALSE(trace.Read(7, state, v));
}

}  // namespace
