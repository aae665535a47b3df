#include "machinestate.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "fresh_parameters.h"
#include "machineconfig.h"
#include "parafile.h"
#include "testsupport.h"
#include "tooltable.h"
#include "transformation.h"

namespace {

void ExpectNear(const Coordinates& a, const Coordinates& b, double tol = 1e-12) {
  for (int i = 0; i < kAxisCount; ++i) EXPECT_NEAR(a.v[i], b.v[i], tol) << "axis " << i;
}

Coordinates MachinePos(const MachineState& s) { return s.GetTransformation()->ToMachine(s.progPos); }

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

using MachineStateTest = testsupport::FreshParametersTest;

}  // namespace

// ---------------------------------------------------------------- fresh state and copies

TEST_F(MachineStateTest, CopyTakesEverythingButSoftLimitsAndAddsSuffix) {
  OpenParameterFiles();
  actState.SetSoftLimitsEnabled(false);
  GetMachineConfig().offsets[1] = Coordinates(5, 6, 7);
  actState.SetCurrOffsetFromFile(2);
  actState.SetFlag(SF_SPINDLE_CW, true);
  actState.SetVar(7, 1.5);
  actState.SetVar(600, 2.5);
  actState.SetCurrLine(42);
  actState.progPos = Coordinates(1, 2, 3, 4);
  MachineState copy(actState, ".parser");
  EXPECT_STREQ(copy.ViewName(), "Real.parser");
  EXPECT_STREQ(simState.ViewName(), "Sim");
  EXPECT_TRUE(copy.GetSoftLimitsEnabled());
  EXPECT_EQ(copy.GetTransformation(), actState.GetTransformation());
  EXPECT_TRUE(copy.GetFlag(SF_SPINDLE_CW) && copy.ToolOffsetEnabled());
  EXPECT_EQ(copy.GetVar(7), 1.5);
  EXPECT_EQ(copy.GetVar(600), 2.5);
  EXPECT_EQ(copy.GetCurrLine(), 42);
  EXPECT_EQ(copy.progPos, actState.progPos);
}

TEST_F(MachineStateTest, MergeKeepsLocalsNameLineAndSourceChoice) {
  OpenParameterFiles();
  MachineState target("T"), src("Src");
  target.SetVar(1, 5.0);
  target.SetCurrLine(10);
  target.changedSystems = 1u << 3;
  src.SetVar(1, 9.0);
  src.SetVar(500, 3.0);
  src.SetCurrLine(99);
  src.SetCurrOffsetFromFile(2);
  src.SetFlag(SF_COOLANT_FLOOD, true);
  src.SetBacklashOffset(0x5);
  src.useConfigTransformations = false;
  src.changedSystems = 1u << 2;
  src.startPos[0] = 4;
  src.SetStateChanged();
  src.SetCurrTool(6, 1, 33);
  target.Merge(src);
  EXPECT_EQ(target.GetVar(1), 5.0);
  EXPECT_EQ(target.GetVar(500), 3.0);
  EXPECT_STREQ(target.ViewName(), "T");
  EXPECT_EQ(target.GetCurrLine(), 10);
  EXPECT_TRUE(target.UsesConfigTransformations());
  EXPECT_EQ(target.GetCurrTransNum(), 2);
  EXPECT_EQ(target.GetTransformation(), src.GetTransformation());
  EXPECT_TRUE(target.GetFlag(SF_COOLANT_FLOOD));
  EXPECT_EQ(target.backlashSigns, 0x5u);
  EXPECT_EQ(target.GetChangedSystems(), (1u << 2) | (1u << 3));
  EXPECT_TRUE(target.GetStateChanged());
  EXPECT_EQ(target.startPos[0], 4.0);
  EXPECT_EQ(target.GetCurrTool(), 6);
  EXPECT_EQ(target.GetToolLength(), 33.0);
  EXPECT_TRUE(target.ToolOffsetEnabled());
}

// ---------------------------------------------------------------- coordinate systems

TEST_F(MachineStateTest, SwitchingSystemsRecomputesProgramPositionAndVariables) {
  OpenParameterFiles();
  GetMachineConfig().offsets[0] = Coordinates(10, 20, 0);
  GetMachineConfig().offsets[1] = Coordinates(100, 200, 5);
  MachineState s("S");
  s.SetCurrOffsetFromFile(1);
  s.progPos = Coordinates(1, 2, 3);
  s.SetCurrOffsetFromFile(2);
  EXPECT_EQ(s.GetTransformation()->GetTag(), 2);
  ExpectNear(s.progPos, Coordinates(-89, -178, -2));
  EXPECT_EQ(s.GetVar(909), 2.0);
  EXPECT_EQ(s.GetVar(900), 100.0);
  EXPECT_EQ(s.GetVar(902), 5.0);
  s.SetCurrOffsetFromFile(0);
  ExpectNear(s.progPos, Coordinates(11, 22, 3));
  EXPECT_FALSE(s.ToolOffsetEnabled());
}

// Random coordinate systems (some rotated or scaled), offsets, tool lengths
// and transformation sources: the machine never moves.
TEST_F(MachineStateTest, OffsetToolAndSystemChangesNeverMoveTheMachine) {
  OpenParameterFiles();
  std::mt19937 rng(20261206);
  std::uniform_real_distribution<double> pos(-300, 300), angle(-180, 180), factor(0.5, 2.0);
  std::uniform_int_distribution<int> op(0, 5), sys(0, 6);
  for (int i = 0; i < kWorkSystems; ++i) {
    GetMachineConfig().offsets[i] = Coordinates(pos(rng), pos(rng), pos(rng), pos(rng), 0, 0, pos(rng));
    if (i % 2) GetConfiguredTransformation(i).SetRotation(2, angle(rng), Vector3(pos(rng), pos(rng), 0));
    if (i % 3 == 0) GetConfiguredTransformation(i).SetScaling(factor(rng), factor(rng), 1.0, Vector3());
    GetWorkTransformation(i).SetRotation(0, angle(rng) / 10, Vector3(0, 0, pos(rng)));
  }
  MachineState s("Random");
  s.progPos = Coordinates(pos(rng), pos(rng), pos(rng), pos(rng), pos(rng), pos(rng), pos(rng), pos(rng), pos(rng));
  Coordinates m = MachinePos(s);
  for (int n = 0; n < 2000; ++n) {
    switch (op(rng)) {
      case 0: s.SetCurrOffsetFromFile(sys(rng)); break;
      case 1:
        if (s.GetCurrTransNum() > 0)
          s.SetCurrOffsetGlobal(Coordinates(pos(rng), pos(rng), pos(rng), pos(rng), pos(rng), pos(rng)));
        break;
      case 2:
        s.SetFlag(SF_TOOL_LENGTH, rng() % 2);
        s.SetCurrOffsetFromFile(s.GetCurrTransNum());
        break;
      case 3: s.SetCurrTool(static_cast<int>(rng() % 5), -1, pos(rng) / 3); break;
      case 4: s.SetTransformationSource(rng() % 2, false); break;
      case 5: s.SetCurrTransNum(sys(rng)); break;
    }
    const Coordinates now = MachinePos(s);
    for (int i = 0; i < kAxisCount; ++i) ASSERT_NEAR(now.v[i], m.v[i], 1e-7) << "step " << n << " axis " << i;
    m = now;  // keeps rounding from adding up over the run
  }
}

TEST_F(MachineStateTest, BadIndexAndG53OffsetAssertAndChangeNothing) {
  OpenParameterFiles();
  MachineState s("S");
  EXPECT_EQ(s.GetTransformation(), &GetMachineTransformation());  // a fresh state stands in G53
  s.progPos = Coordinates(1, 2, 3);
  s.SetVar(900, 9.0);
  testsupport::AssertionCapture capture;
  s.SetCurrOffsetGlobal(Coordinates(50, 60, 70));
  EXPECT_TRUE(capture.Saw("G53 must not be altered"));
  EXPECT_EQ(s.progPos, Coordinates(1, 2, 3));
  EXPECT_EQ(s.GetChangedSystems(), 0u);
  EXPECT_EQ(s.GetVar(900), 9.0);
  EXPECT_EQ(GetMachineTransformation().GetOffset(), Coordinates());
  s.SetCurrTransNum(7);
  s.SetCurrOffsetFromFile(-1);
  EXPECT_EQ(capture.Messages().size(), 3u);
  EXPECT_TRUE(capture.Saw("index >= 0 && index <= 6"));
  EXPECT_EQ(s.GetCurrTransNum(), 0);
}

TEST_F(MachineStateTest, G43AddsToolLengthToTheTransformationButNotToTheStoredOffset) {
  OpenParameterFiles();
  GetMachineConfig().offsets[0] = Coordinates(10, 20, -50);
  MachineState s("S");
  s.SetCurrTool(3, 0, 12.5);
  s.SetFlag(SF_TOOL_LENGTH, true);
  s.SetCurrOffsetFromFile(1);
  EXPECT_DOUBLE_EQ(s.GetTransformation()->GetOffset().v[2], -37.5);
  EXPECT_EQ(s.GetVar(902), -50.0);
  s.SetCurrTool(4, 0, 20.0);  // takes effect at once
  EXPECT_DOUBLE_EQ(s.GetTransformation()->GetOffset().v[2], -30.0);
  // An operator offset in G43 is stored without the tool length.
  s.SetCurrOffsetGlobal(Coordinates(11, 21, -10));
  EXPECT_EQ(s.GetVar(902), -30.0);
  EXPECT_EQ(s.GetVar(900), 11.0);
  EXPECT_EQ(s.GetChangedSystems(), 1u << 1);
  s.PutCurrOffsetToFile();
  EXPECT_EQ(GetMachineConfig().offsets[0], Coordinates(11, 21, -30));
  const std::string table = testsupport::ReadFile(ParamPath("ParameterTable.txt"));
  EXPECT_TRUE(Contains(table, "OffsetG54_02=-30.0"));
  EXPECT_TRUE(Contains(table, "G54TransNumOps=0"));  // configured transformation saved too
  EXPECT_TRUE(Contains(table, "SafeZLevel="));
  EXPECT_TRUE(Contains(testsupport::ReadFile(ParamPath("VariableTable.txt")), "#902=-30.0"));
  s.ClearChanged();
  EXPECT_EQ(s.GetChangedSystems(), 0u);
}

TEST_F(MachineStateTest, GetCurrAxisOffsetAssertsUnderRotation) {
  OpenParameterFiles();
  GetMachineConfig().offsets[0] = Coordinates(3, 4, 5);
  MachineState s("S");
  s.SetCurrOffsetFromFile(1);
  testsupport::AssertionCapture capture;
  EXPECT_EQ(s.GetCurrAxisOffset(1), 4.0);
  EXPECT_TRUE(capture.Messages().empty());
  GetConfiguredTransformation(0).SetRotation(2, 30, Vector3());
  s.UpdateTransformation();
  EXPECT_TRUE(s.TransformationIsActive() && s.GetFlag(SF_ROTATION));
  s.GetCurrAxisOffset(1);
  EXPECT_TRUE(capture.Saw("!TransformationIsActive ()"));
}

TEST_F(MachineStateTest, WorkingTransformationsLeaveTheConfiguredOnesAlone) {
  OpenParameterFiles();
  GetMachineConfig().offsets[2] = Coordinates(7, 8, 9);
  MachineState s("S");
  s.SetCurrOffsetFromFile(3);
  s.SetTransformationSource(false, true);
  EXPECT_EQ(s.GetTransformation(), &GetWorkTransformation(2));
  s.SetCurrOffsetVec(Coordinates(1, 1, 1));
  EXPECT_EQ(GetWorkTransformation(2).GetOffset(), Coordinates(1, 1, 1));
  s.SetTransformationSource(true, false);
  EXPECT_EQ(s.GetTransformation(), &GetConfiguredTransformation(2));
  EXPECT_EQ(s.GetTransformation()->GetOffset(), Coordinates(7, 8, 9));
}

TEST_F(MachineStateTest, SafeZIsClampedToTheZLimitsInMachineCoordinates) {
  OpenParameterFiles();
  GetMachineConfig().safeZLevel = 10;
  GetMachineConfig().offsets[0] = Coordinates(0, 0, -50);
  GetMachineConfig().offsets[1] = Coordinates(0, 0, 5);
  MachineState s("S");
  s.SetCurrOffsetFromFile(1);
  EXPECT_DOUBLE_EQ(s.GetSafeZ(), 10.0);
  s.SetCurrOffsetFromFile(2);
  EXPECT_DOUBLE_EQ(s.GetSafeZ(), -5.0);  // machine Z 15 is above the upper limit 0
}

// ---------------------------------------------------------------- tools

TEST_F(MachineStateTest, ToolAxisFollowsTheAxisNamesAndFallsBackToZ) {
  MachineState s("S");
  EXPECT_EQ(s.GetToolAxis(), 2);
  const auto axisFor = [&s](int mode) {
    s.SetToolOffset(1, 2, 3, mode);
    return s.GetToolAxis();
  };
  EXPECT_EQ(axisFor(3), 8);
  EXPECT_EQ(axisFor(1), 6);
  EXPECT_EQ(axisFor(17), 2);
  GetAxisAssignment().SetAxisName(8, 0);  // no axis carries W
  EXPECT_EQ(axisFor(3), 2);
  GetAxisAssignment().SetAxisName(6, ParaFile::AxisNameIndex("W"));
  EXPECT_EQ(axisFor(3), 6);
}

TEST_F(MachineStateTest, ToolOffsetMappingRoundTripsAndIsOffWhenDisabled) {
  MachineState s("S");
  s.SetToolOffset(1, 2, 3, 3);
  const Coordinates p(10, 20, 30, 0, 0, 0, 0, 0, 5);
  Coordinates v = p;
  s.ForwardToolOffset(v);
  EXPECT_EQ(v, p);  // not enabled
  s.EnableToolOffset(true);
  s.ForwardToolOffset(v);
  EXPECT_EQ(v, Coordinates(9, 18, 5, 0, 0, 0, 0, 0, 27));
  s.ReverseToolOffset(v);
  EXPECT_EQ(v, p);
  s.SwapToolAxis(v);
  EXPECT_EQ(v, Coordinates(10, 20, 5, 0, 0, 0, 0, 0, 30));
}

TEST_F(MachineStateTest, SoftLimitsSeenThroughTheToolOffset) {
  MachineConfig& cfg = GetMachineConfig();
  cfg.axis[8].minPosition = -50;
  cfg.axis[8].maxPosition = 50;
  MachineState s("S");
  EXPECT_EQ(s.GetLowerLimit(2), -100.0);
  EXPECT_EQ(s.GetUpperLimit(0), 600.0);
  s.SetToolOffset(1, 2, 3, 3);
  s.EnableToolOffset(true);
  EXPECT_EQ(s.GetLowerLimit(2), -47.0);  // W's limits plus the Z offset
  EXPECT_EQ(s.GetUpperLimit(8), 0.0);    // Z's limits
  EXPECT_EQ(s.GetUpperLimit(1), 402.0);
  double v = -1000;
  s.FitToAxisLimits(0, v);
  EXPECT_EQ(v, 1.0);
  cfg.axis[3].minPosition = 10;
  cfg.axis[3].maxPosition = 5;
  testsupport::AssertionCapture capture;
  s.FitToAxisLimits(3, v = 7);
  EXPECT_TRUE(capture.Saw("FitToLimits min>max"));
}

// ---------------------------------------------------------------- persistence

TEST_F(MachineStateTest, LoadStateRestoresSystemToolAndG92AndRepairsABadSystem) {
  testsupport::WriteFile(ParamPath("VariableTable.txt"), "#909=2.0\n#920=3.0\n#921=-1.0\n#925=10.0\n#910=1.5\n#913=2.5\n");
  OpenParameterFiles();
  ToolRecord rec;
  rec.numT = 3;
  rec.numP = 4;
  rec.offsetZ = 1;
  GetToolTable().Insert(rec);
  GetMachineConfig().offsets[1] = Coordinates(20, 30, 40);
  GetAxisAssignment().SetAxisName(3, 0);  // A is not in use
  MachineState s("S");
  s.LoadStateFromVarFile();
  EXPECT_EQ(s.GetCurrTransNum(), 2);
  EXPECT_EQ(s.GetTransformation()->GetOffset(), Coordinates(20, 30, 40));
  EXPECT_EQ(s.GetCurrTool(), 3);
  EXPECT_EQ(s.GetCurrToolVariant(), -1);
  EXPECT_EQ(s.GetToolLength(), 10.0);
  EXPECT_EQ(s.GetLetter('T'), 3.0);
  EXPECT_EQ(GetMachineConfig().offsets[kOffsetRowG92].v[0], 1.5);
  EXPECT_EQ(GetMachineConfig().offsets[kOffsetRowG92].v[3], 0.0);
  EXPECT_TRUE(s.ToolOffsetEnabled());
  EXPECT_EQ(s.GetToolOffset()[2], 1.0);
  s.SetVar(909, 9.0);  // damaged: repaired to G53
  s.LoadStateFromVarFile();
  EXPECT_EQ(s.GetCurrTransNum(), 0);
  EXPECT_EQ(s.GetVar(909), 0.0);
}

TEST_F(MachineStateTest, SaveCurrentStateWritesSystemToolAndG92) {
  OpenParameterFiles();
  GetMachineConfig().offsets[kOffsetRowG92] = Coordinates(0.25, 0, 0);
  MachineState s("S");
  s.SetCurrOffsetFromFile(4);
  s.SetCurrTool(12, 2, 0);
  s.SaveCurrentState();
  const std::string vars = testsupport::ReadFile(ParamPath("VariableTable.txt"));
  for (const char* line : {"#909=4.0", "#920=12.0", "#921=2.0", "#910=0.25"}) EXPECT_TRUE(Contains(vars, line)) << line;
}

TEST_F(MachineStateTest, ConfiguredTransformationsTravelWithTheParameterTable) {
  OpenParameterFiles();
  GetConfiguredTransformation(3).SetRotation(2, 30, Vector3(1, 2, 0));
  ASSERT_TRUE(SaveMachineConfig());
  ResetMachineStateForTest();
  EXPECT_FALSE(GetConfiguredTransformation(3).IsRotated());
  LoadMachineConfig();
  EXPECT_NEAR(GetConfiguredTransformation(3).GetAngle(), 30.0, 1e-6);  // stored with 9 decimals
  // Each working copy sits on its configured system and sees its steps.
  for (int i = 0; i < kWorkSystems; ++i) {
    EXPECT_EQ(GetWorkTransformation(i).GetTag(), 7 + i);
    EXPECT_EQ(GetWorkTransformation(i).GetBase(), &GetConfiguredTransformation(i));
    EXPECT_EQ(GetWorkTransformation(i).IsRotated(), i == 3);
  }
}
