#include "machine/machinestate.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "common/fresh_parameters.h"
#include "machine/transformation.h"

namespace {

Coordinates MachinePos(const MachineState& s) { return s.GetTransformation()->ToMachine(s.progPos); }

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

using MachineStateTest = testsupport::FreshParametersTest;

}  // namespace

// ---------------------------------------------------------------- copies

TEST_F(MachineStateTest, CopyTakesAllButSoftLimitsAndMergeKeepsLocalsNameLineAndSource) {
  MachineState src("Src"), target("T");
  src.SetSoftLimitsEnabled(false), src.SetCurrOffsetFromFile(2), src.SetCurrTool(6, 1, 33);
  src.SetVar(1, 9.0), src.SetVar(500, 3.0), src.SetCurrLine(99), src.SetStateChanged();
  src.useConfigTransformations = false, src.changedSystems = 1u << 2;
  MachineState copy(src, ".parser");
  EXPECT_STREQ(copy.ViewName(), "Src.parser");
  EXPECT_TRUE(copy.GetSoftLimitsEnabled() && copy.GetVar(1) == 9.0 && copy.GetVar(500) == 3.0 &&
              copy.GetCurrLine() == 99 && copy.ToolOffsetEnabled() && !copy.UsesConfigTransformations() &&
              copy.GetToolLength() == 33.0);
  // Merge takes globals, system and tool; change marks add up.
  target.SetVar(1, 5.0), target.SetCurrLine(10), target.changedSystems = 1u << 3;
  target.Merge(src);
  EXPECT_TRUE(target.GetVar(1) == 5.0 && target.GetVar(500) == 3.0);
  EXPECT_TRUE(target.GetCurrLine() == 10 && target.UsesConfigTransformations() && target.GetStateChanged());
  EXPECT_TRUE(target.GetCurrTransNum() == 2 && target.GetToolLength() == 33.0 && target.ToolOffsetEnabled());
  EXPECT_EQ(target.GetChangedSystems(), (1u << 2) | (1u << 3));
}

// ---------------------------------------------------------------- coordinate systems

// Random coordinate systems (some rotated or scaled), offsets, tool lengths
// and transformation sources: the machine never moves.
TEST_F(MachineStateTest, OffsetToolAndSystemChangesNeverMoveTheMachine) {
  std::mt19937 rng(20261206);
  std::uniform_real_distribution<double> pos(-300, 300), angle(-180, 180), factor(0.5, 2.0);
  auto point = [&] { return Coordinates(pos(rng), pos(rng), pos(rng), pos(rng), pos(rng), pos(rng), pos(rng)); };
  for (int i = 0; i < kWorkSystems; ++i) {
    GetMachineConfig().offsets[i] = point();
    if (i % 2) GetConfiguredTransformation(i).SetRotation(2, angle(rng), Vector3(pos(rng), pos(rng), 0));
    if (i % 3 == 0) GetConfiguredTransformation(i).SetScaling(factor(rng), factor(rng), 1.0, Vector3());
    GetWorkTransformation(i).SetRotation(0, angle(rng) / 10, Vector3(0, 0, pos(rng)));
  }
  MachineState s("Random");
  s.progPos = point();
  Coordinates m = MachinePos(s);
  for (int n = 0; n < 2000; ++n) {
    switch (rng() % 6) {
      case 0: s.SetCurrOffsetFromFile(static_cast<int>(rng() % 7)); break;
      case 1: s.GetCurrTransNum() > 0 ? s.SetCurrOffsetGlobal(point()) : void(); break;
      case 2: s.SetFlag(SF_TOOL_LENGTH, rng() % 2), s.SetCurrOffsetFromFile(s.GetCurrTransNum()); break;
      case 3: s.SetCurrTool(static_cast<int>(rng() % 5), -1, pos(rng) / 3); break;
      case 4: s.SetTransformationSource(rng() % 2, false); break;
      case 5: s.SetCurrTransNum(static_cast<int>(rng() % 7)); break;
    }
    const Coordinates now = MachinePos(s);
    for (int i = 0; i < kAxisCount; ++i) ASSERT_NEAR(now.v[i], m.v[i], 1e-7) << "step " << n << " axis " << i;
    m = now;  // keeps rounding from adding up over the run
  }
}

TEST_F(MachineStateTest, BadIndexAndG53OffsetAssertAndChangeNothing) {
  MachineState s("S");  // in G53
  s.progPos = Coordinates(1, 2, 3), s.SetVar(900, 9.0);
  testsupport::AssertionCapture capture;
  s.SetCurrOffsetGlobal(Coordinates(50, 60, 70));
  EXPECT_TRUE(s.progPos == Coordinates(1, 2, 3) && s.GetChangedSystems() == 0u && s.GetVar(900) == 9.0);
  EXPECT_EQ(GetMachineTransformation().GetOffset(), Coordinates());
  s.SetCurrTransNum(7), s.SetCurrOffsetFromFile(-1);
  EXPECT_EQ(s.GetCurrTransNum(), 0);
  ASSERT_EQ(capture.Messages().size(), 3u);
  EXPECT_TRUE(capture.Saw("G53 must not be altered") && capture.Saw("index >= 0 && index <= 6"));
}

// The offsets go to the parameter table with the configured transformations.
TEST_F(MachineStateTest, G43AddsToolLengthToTheTransformationButNotToTheStoredOffset) {
  GetMachineConfig().offsets[0] = Coordinates(10, 20, -50);
  GetConfiguredTransformation(3).SetRotation(2, 30, Vector3(1, 2, 0));
  MachineState s("S");
  s.progPos = Coordinates(1, 2, 3), s.SetCurrTool(3, 0, 12.5), s.SetFlag(SF_TOOL_LENGTH, true);
  s.SetCurrOffsetFromFile(1);
  EXPECT_EQ(s.progPos, Coordinates(-9, -18, 40.5));  // Z offset -37.5; the machine stays at (1, 2, 3)
  EXPECT_TRUE(s.GetVar(909) == 1.0 && s.GetVar(900) == 10.0 && s.GetVar(902) == -50.0 && s.ToolOffsetEnabled());
  EXPECT_DOUBLE_EQ((s.SetCurrTool(4, 0, 20.0), s.GetTransformation()->GetOffset().v[2]), -30.0);  // at once
  // An operator offset in G43 is stored without the tool length.
  s.SetCurrOffsetGlobal(Coordinates(11, 21, -10));
  EXPECT_TRUE(s.GetVar(900) == 11.0 && s.GetVar(902) == -30.0 && s.GetChangedSystems() == 1u << 1);
  s.PutCurrOffsetToFile();
  EXPECT_EQ(GetMachineConfig().offsets[0], Coordinates(11, 21, -30));
  const std::string table = testsupport::ReadFile(ParamPath("ParameterTable.txt"));
  for (const char* line : {"OffsetG54_02=-30.0", "G54TransNumOps=0", "G57TransNumOps=1", "SafeZLevel="})
    EXPECT_TRUE(Contains(table, line)) << line;
  EXPECT_TRUE(Contains(testsupport::ReadFile(ParamPath("VariableTable.txt")), "#902=-30.0"));
  s.SetCurrOffsetFromFile(0);
  EXPECT_TRUE(!s.ToolOffsetEnabled() && s.GetVar(900) == 0.0);
  ResetMachineStateForTest();
  EXPECT_FALSE(GetConfiguredTransformation(3).IsRotated());
  LoadMachineConfig();
  EXPECT_NEAR(GetConfiguredTransformation(3).GetAngle(), 30.0, 1e-6);  // stored with 9 decimals
  // Each working copy sits on its configured system and sees its steps.
  for (int i = 0; i < kWorkSystems; ++i) EXPECT_EQ(GetWorkTransformation(i).IsRotated(), i == 3) << i;
}

// A single axis offset means nothing under a rotation; the safe Z is clamped
// to the Z limits in machine coordinates.
TEST_F(MachineStateTest, WorkingTransformationsLeaveTheConfiguredOnesAlone) {
  MachineConfig& cfg = GetMachineConfig();
  cfg.safeZLevel = 10, cfg.offsets[0] = Coordinates(0, 0, -50), cfg.offsets[1] = Coordinates(0, 0, 5);
  cfg.offsets[2] = Coordinates(7, 8, 9);
  MachineState s("S");
  // In G55 machine Z 15 is above the upper limit 0.
  for (auto [sys, safeZ] : {std::pair(1, 10.0), {2, -5.0}})
    EXPECT_DOUBLE_EQ((s.SetCurrOffsetFromFile(sys), s.GetSafeZ()), safeZ) << sys;
  s.SetCurrOffsetFromFile(3), s.SetTransformationSource(false, true), s.SetCurrOffsetVec(Coordinates(1, 1, 1));
  EXPECT_EQ(GetWorkTransformation(2).GetOffset(), Coordinates(1, 1, 1));
  s.SetTransformationSource(true, false);
  EXPECT_EQ(s.GetTransformation()->GetOffset(), Coordinates(7, 8, 9));
  testsupport::AssertionCapture capture;
  EXPECT_TRUE(s.GetCurrAxisOffset(1) == 8.0 && capture.Messages().empty());
  GetConfiguredTransformation(2).SetRotation(2, 30, Vector3());
  s.UpdateTransformation();
  EXPECT_TRUE(s.TransformationIsActive() && s.GetFlag(SF_ROTATION));
  s.GetCurrAxisOffset(1);
  EXPECT_TRUE(capture.Saw("!TransformationIsActive ()"));
}

// ---------------------------------------------------------------- tools

TEST_F(MachineStateTest, ToolOffsetMapsPositionsAndLimitsThroughTheToolAxis) {
  MachineConfig& cfg = GetMachineConfig();
  cfg.axis[8].minPosition = -50, cfg.axis[8].maxPosition = 50;
  MachineState s("S");
  const auto axisFor = [&s](int mode) { return s.SetToolOffset(1, 2, 3, mode), s.GetToolAxis(); };
  EXPECT_TRUE(axisFor(1) == 6 && axisFor(17) == 2 && axisFor(3) == 8);
  const Coordinates p(10, 20, 30, 0, 0, 0, 0, 0, 5);
  Coordinates v = p;
  s.ForwardToolOffset(v);
  EXPECT_EQ(v, p);  // not enabled
  s.EnableToolOffset(true), s.ForwardToolOffset(v);
  EXPECT_EQ(v, Coordinates(9, 18, 5, 0, 0, 0, 0, 0, 27));
  s.ReverseToolOffset(v);
  EXPECT_EQ(v, p);
  s.SwapToolAxis(v);
  EXPECT_EQ(v, Coordinates(10, 20, 5, 0, 0, 0, 0, 0, 30));
  // W's limits plus the Z offset on Z, Z's on W.
  EXPECT_TRUE(s.GetLowerLimit(2) == -47.0 && s.GetUpperLimit(8) == 0.0 && s.GetUpperLimit(1) == 402.0);
  s.FitToAxisLimits(0, v.v[0] = -1000);
  EXPECT_EQ(v.v[0], 1.0);
  GetAxisAssignment().SetAxisName(8, 0);  // no axis carries W: back to Z, then to the one that does
  EXPECT_EQ(axisFor(3), 2);
  EXPECT_EQ((GetAxisAssignment().SetAxisName(6, ParaFile::AxisNameIndex("W")), axisFor(3)), 6);
}

// ---------------------------------------------------------------- persistence

TEST_F(MachineStateTest, StateLoadsFromAndSavesToTheVariableTable) {
  ResetParameterFilesForTest();
  testsupport::WriteFile(ParamPath("VariableTable.txt"),
                         "#909=2.0\n#920=3.0\n#921=-1.0\n#925=10.0\n#910=1.5\n#913=2.5\n");
  OpenParameterFiles();
  ToolRecord rec;
  rec.numT = 3, rec.numP = 4, rec.offsetZ = 1;
  GetToolTable().Insert(rec);
  GetAxisAssignment().SetAxisName(3, 0);  // A is not in use
  MachineState s("S");
  s.LoadStateFromVarFile();
  EXPECT_TRUE(s.GetCurrTransNum() == 2 && s.GetCurrTool() == 3 && s.GetCurrToolVariant() == -1 &&
              s.GetLetter('T') == 3 && s.GetToolLength() == 10);
  EXPECT_EQ(GetMachineConfig().offsets[kOffsetRowG92], Coordinates(1.5, 0, 0));  // not into the unused A
  EXPECT_TRUE(s.ToolOffsetEnabled() && s.GetToolOffset()[2] == 1.0);  // variant -1 found 3/4
  s.SetCurrOffsetFromFile(4), s.SetCurrTool(12, 2, 0), s.SaveCurrentState();
  const std::string vars = testsupport::ReadFile(ParamPath("VariableTable.txt"));
  for (const char* line : {"#909=4.0", "#920=12.0", "#921=2.0", "#910=1.5"}) EXPECT_TRUE(Contains(vars, line)) << line;
  s.SetVar(909, 9.0), s.LoadStateFromVarFile();  // damaged: repaired to G53
  EXPECT_TRUE(s.GetCurrTransNum() == 0 && s.GetVar(909) == 0.0);
  // Tool numbers beyond 32 bits saturate instead of converting undefined.
  s.SetVar(920, 1e11), s.SetVar(921, -1e300), s.LoadStateFromVarFile();
  EXPECT_TRUE(s.GetCurrTool() == INT32_MAX && s.GetCurrToolVariant() == INT32_MIN);
}
