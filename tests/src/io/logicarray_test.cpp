// The logic array: gates against their truth tables and over poll cycles,
// the text form, rejected lines and the gate list file.
#include "io/logicarray.h"

#include <gtest/gtest.h>

#include <bitset>
#include <string>
#include <vector>

#include "common/applog_capture.h"
#include "common/testsupport.h"
#include "params/parafile.h"

namespace {

struct FakeSignals : LogicSignals {
  std::bitset<2048> in, out;
  std::vector<std::pair<int, bool>> writes;
  bool Input(int s) override { return in[static_cast<size_t>(s)]; }
  bool Output(int s) override { return out[static_cast<size_t>(s)]; }
  void SetOutput(int s, bool on) override {
    out[static_cast<size_t>(s)] = on;
    writes.emplace_back(s, on);
  }
};

void Load(LogicArray& logic, const std::string& text) {
  const auto errors = logic.SetText(text);
  ASSERT_TRUE(errors.empty()) << errors[0].Message();
}

TEST(LogicArray, GatesFollowTheirTruthTables) {
  struct Case {
    const char* gate;
    bool expect[4];  // inputs 1 and 2: 00, 01 (input 2 on), 10, 11
  };
  const Case cases[] = {
      {"AND,#O5,#I1,#I2", {false, false, false, true}},
      {"AND,#O5,#I1,!#I2", {false, false, true, false}},
      {"OR,#O5,#I1,#I2", {false, true, true, true}},
      {"OR,!#O5,#I1,#I2", {true, false, false, false}},
      {"OR,#O5,!#I1,!#I2", {true, true, true, false}},
      {"AND,#O5,#I1", {false, false, true, true}},
      {"OR,#O5,#I1,1", {true, true, true, true}},  // a plain number is a constant
      {"DFF,#O5,#I1,#I2", {false, false, false, true}},  // clock 1 takes the data
  };
  for (const Case& c : cases) {
    for (int k = 0; k < 4; ++k) {
      LogicArray logic;
      Load(logic, c.gate);
      FakeSignals s;
      s.in[1] = k & 2;
      s.in[2] = k & 1;
      logic.Execute(s);
      EXPECT_EQ(s.out[5], c.expect[k]) << c.gate << " inputs " << (k >> 1) << (k & 1);
    }
  }
}

TEST(LogicArray, LatchHoldsWhileItsClockIsFalse) {
  LogicArray logic;
  Load(logic, "DFF,#O7,#I1,#I2");
  FakeSignals s;
  s.out[7] = true;  // set by another part of the system
  // Cycles of (data, clock) and the output afterwards.
  const struct { bool data, clock, out; } cycles[] = {
      {false, false, true}, {true, false, true}, {false, true, false}, {true, false, false},
      {true, true, true},   {false, false, true}};
  for (size_t i = 0; i < std::size(cycles); ++i) {
    s.in[1] = cycles[i].data;
    s.in[2] = cycles[i].clock;
    logic.Execute(s);
    EXPECT_EQ(s.out[7], cycles[i].out) << "cycle " << i;
  }
  EXPECT_EQ(s.writes.size(), 2u) << "a false clock never writes";
}

TEST(LogicArray, DelayFollowsAStableInputAfterItsCycles) {
  LogicArray logic;
  Load(logic, "DEL,#O3,#I1,3\nDEL,#N4,#I1,-2");
  FakeSignals s;
  s.out[3] = true;
  // Input per cycle, and the two destinations after the cycle. The first
  // gate needs three stable cycles each way; the second switches on at once
  // (a negative delay counts only for the falling edge) and off after two.
  const struct { bool in, out3, net4; } cycles[] = {
      {false, true, false},  {false, true, false}, {false, true, false},
      {false, false, false},  // the fourth cycle of a false input
      {true, false, true},   {true, false, true},
      {false, false, true},   // a one-cycle drop restarts the count
      {true, false, true},   {true, false, true},  {true, false, true},
      {true, true, true},     // the fourth cycle after the input became true again
  };
  for (size_t i = 0; i < std::size(cycles); ++i) {
    s.in[1] = cycles[i].in;
    logic.Execute(s);
    EXPECT_EQ(s.out[3], cycles[i].out3) << "cycle " << i;
    EXPECT_EQ(logic.Net(4), cycles[i].net4) << "cycle " << i;
  }
}

TEST(LogicArray, GatesRunInFileOrderAndNetsOutsideTheVectorReadFalse) {
  LogicArray logic;
  // The second gate reads output 10, written by the first one in this cycle;
  // the third reads a net no gate writes.
  Load(logic, "OR,#O10,#I1\nAND,#N2,#O10\nOR,#O11,#N2\nOR,#O12,#N4000");
  FakeSignals s;
  s.in[1] = true;
  logic.Execute(s);
  EXPECT_TRUE(s.out[10]);
  EXPECT_TRUE(logic.Net(2));
  EXPECT_TRUE(s.out[11]) << "the net written earlier in the cycle";
  EXPECT_FALSE(s.out[12]);
  EXPECT_FALSE(logic.Net(100000));
  // An AND gate without inputs (made in code; the reader refuses it) writes false.
  LogicGate g;
  g.type = LogicGate::AND;
  g.destination = {10, LogicOperand::OUTPUT, false};
  logic.SetGates({g});
  logic.Execute(s);
  EXPECT_FALSE(s.out[10]);
}

TEST(LogicArray, ExecutionIsLogged) {
  testsupport::AppLogCapture log;
  LogicArray logic;
  Load(logic, "OR,#O5,#I1\nOR,!#N3,#I1");
  FakeSignals s;
  s.in[1] = true;
  logic.Execute(s);
  const std::string text = log.Text();
  EXPECT_NE(text.find("LogicArray Execute start"), std::string::npos);
  EXPECT_NE(text.find("LogicArray Output #5=1"), std::string::npos);
  EXPECT_NE(text.find("LogicArray Net #3=0"), std::string::npos);
  EXPECT_LT(text.find("LogicArray Net #3=0"), text.find("LogicArray Execute end"));
}

TEST(LogicArray, BrokenLinesAreReportedAndSkipped) {
  const struct { const char* line; const char* reason; } broken[] = {
      {"XOR,#O1,#I1", "unknown gate type"},
      {"AND,#I1,#I2", "destination must be an output (#O) or a net (#N)"},
      {"AND", "destination"},
      {"AND,#O1", "takes 1 to 8 inputs, not 0"},
      {"OR,#O1,#I1,#I2,#I3,#I4,#I5,#I6,#I7,#I8,#I9", "not 9"},
      {"DFF,#O1,#I1", "DFF takes a data and a clock input"},
      {"DEL,#O1,#I1,#I2", "delay of DEL must be a plain number"},
      {"DEL,#O1,#I1,2,3", "DEL takes an input and a delay"},
      {"AND,#O1,#Q1", "bad operand \"#Q1\""},
      {"AND,#O1,#I2048", "out of range 0..2047"},
      {"AND,#O1,#I", "bad operand"},
      {"AND,#O1,#I1x", "bad operand"},
      {"AND,#O1,", "bad operand \"\""},
      {"; only a comment", "no gate type"},
  };
  std::string text = "AND,#O1,#I1 ;kept\n\n";
  for (const auto& b : broken) text += std::string(b.line) + "\n";
  text += "OR,#O2,#I2\n";
  LogicArray logic;
  const auto errors = logic.SetText(text);
  ASSERT_EQ(errors.size(), std::size(broken));
  for (size_t i = 0; i < errors.size(); ++i) {
    EXPECT_EQ(errors[i].line, static_cast<int>(i) + 3) << broken[i].line;
    EXPECT_NE(errors[i].reason.find(broken[i].reason), std::string::npos) << broken[i].line << ": " << errors[i].reason;
    EXPECT_NE(errors[i].Message().find(broken[i].line), std::string::npos);
  }
  EXPECT_EQ(logic.Text(), "AND,#O1,#I1 ;kept\nOR,#O2,#I2\n");
}

TEST(LogicArray, GateListFileRoundTrip) {
  const std::string text =
      "AND,#O5,#I1,!#I2 ;door interlock\n"
      "OR,!#N7,#O3,#N1,0\n"
      "DFF,#O20,#I4,!#N7 ;latch; with a second semicolon\n"
      "DEL,#N1,!#I9,-25\n";
  const std::string path = testsupport::MakeTempDir("logic") + "/LogicArray.txt";
  {
    LogicArray logic;
    Load(logic, text);
    ParaFile f;
    f.Open(path);
    ASSERT_TRUE(logic.WriteFile(f));
  }
  EXPECT_EQ(testsupport::ReadFile(path), text);
  ParaFile f;
  ASSERT_TRUE(f.Open(path));
  LogicArray back;
  EXPECT_TRUE(back.ReadFile(f).empty());
  EXPECT_EQ(back.Text(), text);
  // Lower-case words and blanks around them are taken as well.
  LogicArray loose;
  Load(loose, " and , #o5 ,#i1, ! #i2 ;door interlock");
  EXPECT_EQ(loose.Text(), "AND,#O5,#I1,!#I2 ;door interlock\n");
}

}  // namespace
