// Interpreter runs against the recording front end: line checks, execution
// order, moves and arcs, offsets, tools, M codes, preview range errors and the
// run loop's reports.
#include "gcodeparser.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "folders.h"
#include "machineconfig.h"
#include "machinestate.h"
#include "messagelist.h"
#include "parafile.h"
#include "radiuscomp.h"
#include "interpreter_fixture.h"
#include "recording_backend.h"
#include "testsupport.h"
#include "tooltable.h"
#include "transformation.h"

using testsupport::RecordingBackEnd;

namespace {

// Takes UNTIL over the way the macro layer will: it compiles the condition.
class UntilParser : public GCodeParser {
 public:
  using GCodeParser::GCodeParser;

 protected:
  void ParseStatement(int32_t code) override {
    if (code != STMT_UNTIL) GCodeParser::ParseStatement(code);
    SkipSpace();
    CompileCondition(condition);
  }
};

class InterpTest : public testsupport::InterpreterTest<GCodeParser> {
 protected:
  std::unique_ptr<GCodeParser> MakeParser(FrontEnd* front, MachineState* state) override {
    if (untilParser) return std::make_unique<UntilParser>(front, state);
    return std::make_unique<GCodeParser>(front, state);
  }
  // Runs "%" + body as a main program; returns runState.
  int32_t Run(const std::string& body, int32_t kind = BACKEND_MACHINE, bool until = false) {
    untilParser = until;
    return InterpreterTest::Run(body, kind);
  }
  bool HasCmd(char code, int num) const { return CountCmd(code, num) > 0; }
  int IndexOfCall(const std::string& call) const {
    const auto calls = backEnd->Calls();
    for (size_t i = 0; i < calls.size(); ++i)
      if (calls[i] == call) return static_cast<int>(i);
    return -1;
  }

  bool untilParser = false;
};

// ---------------------------------------------------------------------------
// Words and line checks

TEST_F(InterpTest, TwoMotionCodesInOneLineAreRejectedWithPosition) {
  EXPECT_EQ(RUN_ERROR, Run("G1 X10 G0 Y5\n"));
  EXPECT_EQ(-1016, Code());
  EXPECT_EQ("line contains multiple G-commands line 2 column 7", Report());
}

TEST_F(InterpTest, ModalSettingsBesideTheMotionCodeAreAccepted) {
  EXPECT_EQ(RUN_RETURN, Run("G17 G90 G1 X1 F100\nM2\n"));
  ASSERT_EQ(1u, Lines().size());
  EXPECT_EQ(1.0, Lines()[0].end[0]);
}

TEST_F(InterpTest, OneModalGroupTwiceIsRejected) {
  EXPECT_EQ(RUN_ERROR, Run("G90 G91 X1\n"));
  EXPECT_EQ(-1016, Code());
  Run("G54 G55\n");
  EXPECT_EQ(-1016, Code());
}

TEST_F(InterpTest, FeedAloneEndsTheModalMotion) {
  EXPECT_EQ(RUN_ERROR, Run("G1 X10 F100\nF200\nX20\n"));
  EXPECT_EQ(-1036, Code());
  EXPECT_EQ(4, parser->errorLine);
  EXPECT_EQ(1u, Lines().size());
}

TEST_F(InterpTest, AxisWordsAloneUseTheModalMotion) {
  Run("G1 X10 F600\nY5\nZ-1\n");
  ASSERT_EQ(3u, Lines().size());
  EXPECT_EQ(10.0, Lines()[2].end[0]);
  EXPECT_EQ(5.0, Lines()[2].end[1]);
  EXPECT_EQ(-1.0, Lines()[2].end[2]);
  EXPECT_DOUBLE_EQ(10.0, Lines()[2].feed);
}

TEST_F(InterpTest, WordRules) {
  const struct {
    const char* line;
    int32_t code;
  } cases[] = {
      {"L2\n", -1028},       {"L3\n", -1029},          {"G1 X1 L0\n", -1028}, {"X1 N5\n", -1020},
      {"O100\n", -1021},     {"M3 M5\n", -1017},       {"M12\n", -1001},      {"S100 S200\n", -1018},
      {"T1 T2\n", -1019},    {"G1 X1 X2 F10\n", -1007}, {"G7\n", -1000},      {"T10000\n", -1008},
      {"E5\n", -1005},       {"#I3=1\n", -1046},       {"#=3\n", -1045},      {"#O1=2\n", -1047},
      {"P12=1\n", -1009},    {"RETURN\n", -1061},     {"IF #1=1 THEN\n", -1005}, {"x10\n", -1004},
      {"G99999999999\n", -1000}, {"X=SQRT(0-1)\n", -1008},
  };
  for (const auto& c : cases) {
    Run(c.line);
    EXPECT_EQ(c.code, Code()) << c.line;
  }
}

TEST_F(InterpTest, HAtItsLimitAndIndexedParameters) {
  EXPECT_EQ(RUN_RETURN, Run("H3600\nP3=7.5\nP=2*3\nM2\n"));
  EXPECT_EQ(3600.0, parser->State().GetVar(30 + 'H' - 'A'));
  EXPECT_EQ(7.5, parser->State().GetVar(59));
  EXPECT_EQ(6.0, parser->State().GetVar(30 + 'P' - 'A'));
}

TEST_F(InterpTest, AssignmentFeedsALaterExpression) {
  Run("#1=5\nG0 X=#1*2\n");
  ASSERT_EQ(1u, Lines().size());
  EXPECT_EQ(10.0, Lines()[0].end[0]);
  Run("#30=5\n#1=A\n");
  EXPECT_EQ(0.0, parser->State().GetVar(30));
}

TEST_F(InterpTest, IncrementalWordsAddToTheTargetAndReadBack) {
  Run("G0 X10\nG91 X5\n#1=X\n");
  EXPECT_EQ(15.0, parser->State().GetVar(1));
  EXPECT_EQ(15.0, Lines().back().end[0]);
}

TEST_F(InterpTest, CylinderWrappingTurnsYIntoA) {
  GetMachineConfig().drumEngraving = true;
  GetMachineConfig().defaultRotDia = 100;
  Run("G0 X10 Y157.07963267949\n");
  ASSERT_EQ(1u, Lines().size());
  EXPECT_NEAR(180.0, Lines()[0].end[3], 1e-9);
  EXPECT_EQ(0.0, Lines()[0].end[1]);
  EXPECT_EQ(10.0, Lines()[0].end[0]);
}

TEST_F(InterpTest, InchConvertsLengthsAndFeeds) {
  Run("G20 G1 X1 F60\n");
  ASSERT_EQ(1u, Lines().size());
  EXPECT_DOUBLE_EQ(25.4, Lines()[0].end[0]);
  EXPECT_DOUBLE_EQ(25.4, Lines()[0].feed);
  Run("G21 G1 X1 F60\n");
  EXPECT_DOUBLE_EQ(1.0, Lines()[0].feed);
  EXPECT_TRUE(HasCmd('G', 20));
}

TEST_F(InterpTest, FeedAboveMaximumIsClampedWithOneMessagePerRun) {
  GetMachineConfig().axis[0].maxVelocity = 50;
  GetMachineConfig().axis[1].maxVelocity = 50;
  GetMachineConfig().axis[2].maxVelocity = 20;
  EXPECT_EQ(RUN_RETURN, Run("G1 X1 F9000\nX2 F9000\nM2\n"));
  ASSERT_EQ(2u, Lines().size());
  EXPECT_DOUBLE_EQ(50.0, Lines()[1].feed);
  EXPECT_EQ(1, messages.Count("F=9000.000 is above upper limit of 3000.000"));
  Run("G1 X1 F9000\n");
  EXPECT_EQ(2, messages.Count("F=9000.000 is above upper limit of 3000.000"));
}

TEST_F(InterpTest, FeedBelowMinimumIsARangeError) {
  Run("G1 X1 F0.1\n");
  EXPECT_EQ(-1008, Code());
  EXPECT_EQ(1, messages.Count("F=0.100 is below lower limit of 0.600"));
}

TEST_F(InterpTest, SpindleSpeedClampedAndLimitedByTool) {
  GetMachineConfig().maxS = 20000;
  Run("S30000 M3\nS30000 M3\n");
  EXPECT_EQ(1, messages.Count("S=30000.000 is above upper limit of 20000.000"));
  EXPECT_EQ(20000.0, parser->spindleSpeed);
  ToolRecord t;
  t.numT = 3;
  t.maxRpm = 8000;
  GetToolTable().Insert(t);
  Run("T3 M6\nS12000 M3\n");
  EXPECT_EQ(8000.0, parser->spindleSpeed);
  EXPECT_EQ(1, messages.Count("S limited to max. RPM of tool = 8000.000000"));
}

TEST_F(InterpTest, MoveWithoutFeedIsRejected) {
  Run("G1 X10\n");
  EXPECT_EQ(-1041, Code());
  Run("G1 X10 I5 F100\n");
  EXPECT_EQ(-1037, Code());
}

// ---------------------------------------------------------------------------
// Arcs and planes

TEST_F(InterpTest, ArcWithCentreOffsets) {
  Run("G0 X20 Y20\nG2 X10 Y10 I-10 J0 F600\n");
  const auto arcs = backEnd->Arcs();
  ASSERT_EQ(1u, arcs.size());
  EXPECT_EQ(10.0, arcs[0].centre[0]);
  EXPECT_EQ(20.0, arcs[0].centre[1]);
  EXPECT_EQ(2, arcs[0].plane);
  EXPECT_TRUE(arcs[0].clockwise);
}

TEST_F(InterpTest, RadiusArcsPickTheShortOrLongCentre) {
  Run("G0 X0 Y0\nG2 X10 Y0 R10 F600\nG0 X0 Y0\nG2 X10 Y0 R-10\nG0 X0 Y0\nG3 X10 Y0 R10\n");
  const auto arcs = backEnd->Arcs();
  ASSERT_EQ(3u, arcs.size());
  const double h = std::sqrt(75.0);
  EXPECT_NEAR(5.0, arcs[0].centre[0], 1e-9);
  EXPECT_NEAR(-h, arcs[0].centre[1], 1e-9);
  EXPECT_NEAR(h, arcs[1].centre[1], 1e-9);
  EXPECT_NEAR(h, arcs[2].centre[1], 1e-9);
}

TEST_F(InterpTest, ArcErrors) {
  const struct {
    const char* prog;
    int32_t code;
  } cases[] = {
      {"G0 X0 Y0\nG2 X30 Y0 R10 F600\n", -1063},
      {"G0 X5 Y5\nG2 X5 Y5 R10 F600\n", -1063},
      {"G0 X0 Y0\nG2 X10 Y0 I4 J0 F600\n", -1022},
      {"G0 X0 Y0\nG2 X10 I5 J0 K0 F600\n", -1040},
      {"G0 X0 Y0\nG2 X10 F600\n", -1040},
      {"G0 X0 Y0\nG2 X10 Y0 I5 F600\nX20\n", -1040},
      {"G0 X0 Y0\nG2 X10 Y0 A5 I5 F600\n", -1038},
      {"G0 X0 Y0\nG19 G2 Y10 I5 F600\n", -1040},
  };
  for (const auto& c : cases) {
    Run(c.prog);
    EXPECT_EQ(c.code, Code()) << c.prog;
  }
}

TEST_F(InterpTest, PlanesAndSingleCentreWords) {
  Run("G0 X10 Y0 Z-10\nG18 G2 X0 Z-20 I-10 F600\nG2 X20 Y0 I10 J0\nG19 G3 Y10 Z-10 J5 K5\n");
  const auto arcs = backEnd->Arcs();
  ASSERT_EQ(3u, arcs.size());
  EXPECT_EQ(1, arcs[0].plane);  // I alone pairs with K under G18
  EXPECT_EQ(2, arcs[1].plane);  // I and J: the XY plane whatever the mode
  EXPECT_EQ(0, arcs[2].plane);
}

// ---------------------------------------------------------------------------
// Coordinate systems

class OffsetTest : public InterpTest {
 protected:
  void SetUp() override {
    InterpTest::SetUp();
    GetMachineConfig().offsets[0] = Coordinates(100, 50, 0);
    GetMachineConfig().offsets[1] = Coordinates(200, 0, 0);
  }
  double MachineX() {
    return parser->State().GetTransformation()->ToMachine(parser->target)[0];
  }
};

TEST_F(OffsetTest, WorkOffsetsKeepTheMachinePosition) {
  Run("G54 G0 X10 Y0\nG55\n");
  EXPECT_EQ(2, parser->offsetIndex);
  EXPECT_DOUBLE_EQ(110.0, MachineX());
  EXPECT_DOUBLE_EQ(-90.0, parser->target[0]);
}

TEST_F(OffsetTest, NonModalG53PerLine) {
  GetMachineConfig().modalG53 = 1;
  Run("G54 G0 X10\nG53 G0 X10\nG0 Y1\n");
  EXPECT_EQ(1, parser->offsetIndex);
  ASSERT_EQ(3u, Lines().size());
  EXPECT_DOUBLE_EQ(-90.0, Lines()[2].end[0]);
  Run("G54\nG53 F100\n");
  EXPECT_EQ(-1073, Code());
}

TEST_F(OffsetTest, ModalG53StaysAndRefusesAnExtraCommand) {
  GetMachineConfig().modalG53 = 0;
  Run("G54 G0 X10\nG53\nG0 Y1\n");
  EXPECT_EQ(0, parser->offsetIndex);
  EXPECT_DOUBLE_EQ(110.0, Lines().back().end[0]);
  Run("G54\nG53 G0 X10\n");
  EXPECT_EQ(-1074, Code());
}

TEST_F(OffsetTest, G92SetsTheOffsetAndKeepsTheMachinePosition) {
  Run("G54 G0 X10 Y10\nG92 X0 Y0\n");
  EXPECT_DOUBLE_EQ(110.0, GetMachineConfig().offsets[0][0]);
  EXPECT_DOUBLE_EQ(60.0, GetMachineConfig().offsets[0][1]);
  EXPECT_DOUBLE_EQ(0.0, parser->target[0]);
  EXPECT_DOUBLE_EQ(110.0, MachineX());
}

TEST_F(OffsetTest, G10L2ReplacesTheNamedOffsetWords) {
  Run("G55 G0 X0\nG10 L2 P2 X5 Z-3\n");
  EXPECT_NE(RUN_ERROR, parser->RunState()) << Report();
  EXPECT_EQ(5.0, GetMachineConfig().offsets[1][0]);
  EXPECT_EQ(-3.0, GetMachineConfig().offsets[1][2]);
  EXPECT_DOUBLE_EQ(200.0, MachineX());  // the machine stays; the program position moves
  EXPECT_DOUBLE_EQ(195.0, parser->target[0]);
  Run("G10 L2 P7 X1\n");
  EXPECT_EQ(-1076, Code());
  Run("G10 L2 P0 X99\n");
  EXPECT_NE(RUN_ERROR, parser->RunState());
  EXPECT_EQ(5.0, GetMachineConfig().offsets[1][0]);
}

TEST_F(OffsetTest, ToolLengthOffset) {
  ToolRecord t;
  t.numT = 2;
  t.len1 = 30;
  GetToolTable().Insert(t);
  Run("G54 G0 Z0\nT2 M6\nG43\n");
  EXPECT_EQ(30.0, parser->State().GetToolLength());
  EXPECT_TRUE(parser->State().GetFlag(SF_TOOL_LENGTH));
  EXPECT_DOUBLE_EQ(-30.0, parser->target[2]);
  Run("G54 G0 Z0\nT2 M6\nG43\nG49\n");
  EXPECT_DOUBLE_EQ(0.0, parser->target[2]);
}

TEST_F(InterpTest, ScalingAndRotationNeedTheirWords) {
  Run("G68 X0 Y0\n");
  EXPECT_EQ(-1072, Code());
  Run("G51 I2 J2\n");
  EXPECT_EQ(-1071, Code());
}

// ---------------------------------------------------------------------------
// Soft limits

TEST_F(InterpTest, RangeErrorIsThrownOnTheMachine) {
  EXPECT_EQ(RUN_ERROR, Run("G0 X10\nG0 X700\n"));
  EXPECT_EQ(-1008, Code());
  EXPECT_EQ("number out of range line 3 column 3", Report());
  EXPECT_EQ(1, messages.Count("X=700.000 is above upper limit of 600.000"));
}

TEST_F(InterpTest, RangeErrorsAreCountedInAPreview) {
  EXPECT_EQ(RUN_ERROR, Run("G0 X10\nG0 X700\nG0 Y-5\nG0 X1 Y1\n", BACKEND_NONE));
  EXPECT_EQ(4u, Lines().size());
  EXPECT_EQ(2, parser->RangeErrorCount());
  EXPECT_EQ(0, parser->RangeErrorAxis());
  EXPECT_TRUE(parser->RangeErrorUpper());
  EXPECT_EQ("number out of range line 3 column 3", Report());
  EXPECT_EQ(1, messages.Count("Warning: undefined macro PrgStop.txt"));
}

TEST_F(InterpTest, ZBelowLimitMayBeIgnoredInPreview) {
  GetMachineConfig().ignoreZPreview = true;
  EXPECT_EQ(RUN_RETURN, Run("G0 Z-200\nM2\n", BACKEND_NONE));
  EXPECT_EQ(0, parser->RangeErrorCount());
  Run("G0 Z-200\n");
  EXPECT_EQ(-1008, Code());
}

TEST_F(InterpTest, KeepoutCollision) {
  MachineConfig& c = GetMachineConfig();
  c.atcHasKeepout = true;
  const double lo[3] = {500, 300, -100}, hi[3] = {600, 400, 0};
  for (int i = 0; i < 3; ++i) c.atcKeepoutMin[i] = lo[i], c.atcKeepoutMax[i] = hi[i];
  Run("G0 X550 Y350 Z-5\n", BACKEND_NONE);
  EXPECT_EQ(1, parser->RangeErrorCount());
  EXPECT_TRUE(parser->RangeErrorKeepout());
  Run("G0 X550 Y350 Z-5\n");
  EXPECT_EQ(-1062, Code());
}

TEST_F(InterpTest, UntilMoveIsCutAtTheLimit) {
  Run("G0 X500 Y0\nG1 X900 Y40 F600 UNTIL #5=1\n", BACKEND_NONE, true);
  ASSERT_EQ(2u, Lines().size());
  EXPECT_TRUE(Lines()[1].hasUntil);
  EXPECT_NEAR(600.0, Lines()[1].end[0], 1e-9);
  EXPECT_NEAR(10.0, Lines()[1].end[1], 1e-9);
  Run("G0 X1 UNTIL #5=1\n", BACKEND_NONE, true);
  EXPECT_EQ(-1032, Code());
}

// ---------------------------------------------------------------------------
// M codes and tools

TEST_F(InterpTest, SpindleAndCoolantBeforeTheMove) {
  Run("S1000 M3 G1 X10 F600\nM8\nM9\nM4\nM5\n");
  EXPECT_LT(IndexOfCall("AddCmd M3"), IndexOfCall("AddLine"));
  EXPECT_FALSE(parser->State().GetFlag(SF_SPINDLE_CW));
  EXPECT_FALSE(parser->State().GetFlag(SF_COOLANT_FLOOD));
  for (const auto& c : backEnd->Cmds())
    if (c.change.code == 'M' && c.change.num == 3) {
      EXPECT_EQ(1000.0, c.change.arg);
    }
  Run("M6 G1 X10 F600\n");
  EXPECT_EQ(-1017, Code());
}

TEST_F(InterpTest, MachineFunctionsNeedP) {
  Run("M50\n");
  EXPECT_EQ(-1076, Code());
  Run("M51 P1\n");
  EXPECT_TRUE(parser->State().GetFlag(SF_SPINDLE_OVERRIDE));
  EXPECT_TRUE(parser->gState & (1u << GS_FUNC16));
}

TEST_F(InterpTest, ToolChangeModes) {
  ToolRecord t;
  t.numT = 4;
  t.len1 = 12;
  GetToolTable().Insert(t);
  for (int mode : {0, 1}) {
    GetMachineConfig().toolChangeMode = mode;
    Run("T5 M6\n");
    EXPECT_EQ(-1043, Code()) << mode;
  }
  GetMachineConfig().toolChangeMode = 2;
  EXPECT_EQ(RUN_RETURN, Run("T5 M6\nM2\n"));
  EXPECT_EQ(5.0, parser->GetVar(950));
  GetMachineConfig().toolChangeMode = 1;
  Run("T4 M6\n");
  EXPECT_EQ(4, parser->State().GetCurrTool());
  EXPECT_EQ(12.0, parser->State().GetToolLength());
  EXPECT_EQ(1, messages.Count("Warning: undefined macro M6.txt"));
}

TEST_F(InterpTest, ToolChangeMacroRunsWithItsVariables) {
  Macro("M3.txt", "%\n#100=#0\n");
  Run("S1500 M3\n");
  EXPECT_EQ(1500.0, parser->GetVar(100));
  EXPECT_EQ(0, messages.Count("Warning: undefined macro M3.txt"));
}

TEST_F(InterpTest, ToolChangeMacroDecidesTheTool) {
  for (int n : {4, 6}) {
    ToolRecord t;
    t.numT = n;
    t.len1 = n * 10;
    GetToolTable().Insert(t);
  }
  GetMachineConfig().toolChangeMode = 1;
  Macro("M6.txt", "%\n#940=1\n#950=6\n");
  Run("T4 M6\n");
  EXPECT_EQ(6, parser->State().GetCurrTool());
  EXPECT_EQ(60.0, parser->State().GetToolLength());
  EXPECT_EQ(6.0, parser->GetVar(920));
  Macro("M6.txt", "%\n#940=0\n");
  Run("T4 M6\n");
  EXPECT_EQ(0, parser->State().GetCurrTool());
}

TEST_F(InterpTest, LinesAfterAMissingToolAreSkippedOnTheMachine) {
  actState.SetVar(920, 7);
  Run("G0 X10\nM3\nT0 M6\nG0 X20\n");
  ASSERT_EQ(1u, Lines().size());
  EXPECT_EQ(20.0, Lines()[0].end[0]);
  EXPECT_FALSE(HasCmd('M', 3));
  Run("G0 X10\n", BACKEND_NONE);
  EXPECT_EQ(1u, Lines().size());
}

TEST_F(InterpTest, UnknownCyclesWithoutMacro) {
  Run("G81 X1 Y1 Z-1 R1\n");
  EXPECT_EQ(-1000, Code());
  EXPECT_EQ(RUN_RETURN, Run("G80\nM2\n"));
  Macro("G81.txt", "%\n#101=Z\n");
  Run("G0 Z-1\nG81 X1 Y1 Z-3\n");
  EXPECT_EQ(-3.0, parser->GetVar(101));  // the macro reads the depth from Z
  EXPECT_EQ(-3.0, parser->target[2]);
}

// ---------------------------------------------------------------------------
// Radius compensation

TEST_F(InterpTest, RadiusCompensationOffsetsThePath) {
  RadiusComp::SetToleranceParameter(0.001);
  Run("G1 X0 Y0 F600\nG41 D2 G1 X10 Y0\nX10 Y10\nX0 Y10\nG40 G1 X0 Y20\n");
  EXPECT_EQ(RUN_RUNNING, parser->RunState()) << Report();
  bool sawOffsetCorner = false;
  for (const auto& l : Lines())
    if (std::fabs(l.end[0] - 9.0) < 1e-6 && std::fabs(l.end[1] - 9.0) < 1e-6) sawOffsetCorner = true;
  EXPECT_TRUE(sawOffsetCorner);
  EXPECT_TRUE(HasCmd('G', 41));
  EXPECT_TRUE(HasCmd('G', 40));
  EXPECT_EQ(backEnd.get(), parser->GetFrontEnd());
  EXPECT_EQ(1.0, parser->State().GetVar(36));  // G1 stays the modal code through G41/G40
}

TEST_F(InterpTest, CompensationKeepsTheMachineBehaviour) {
  // With the stage in front, limits are still those of a machine run.
  Run("G1 X10 Y10 F600\nG41 D2 G1 X20 Y10\nX700 Y10\n");
  EXPECT_EQ(-1008, Code());
  EXPECT_EQ(0, parser->RangeErrorCount());
  EXPECT_EQ(backEnd.get(), parser->GetFrontEnd());
}

TEST_F(InterpTest, RapidOrEndWhileCompensating) {
  Run("G1 X0 Y0 F600\nG41 D2 G1 X10\nG0 X20\n");
  EXPECT_EQ(-1100, Code());
  EXPECT_EQ(backEnd.get(), parser->GetFrontEnd());
  Run("G1 X0 Y0 F600\nG42 D2 G1 X10\nY10\n");
  EXPECT_EQ(-1100, Code());
}

// ---------------------------------------------------------------------------
// The run

TEST_F(InterpTest, ProgramStartsAfterThePercentLine) {
  backEnd = std::make_unique<RecordingBackEnd>(BACKEND_MACHINE);
  const std::string path = workDir + "/nolabel.nc";
  testsupport::WriteFile(path, "G0 X1\n");
  parser = std::make_unique<GCodeParser>(backEnd.get(), &actState);
  parser->NewMainFile(path);
  EXPECT_EQ(RUN_ERROR, parser->ExecuteProgram(false, 0));
  EXPECT_EQ(-1057, Code());
  testsupport::WriteFile(path, "G0 X5\n%\nG0 X1\n");
  parser = std::make_unique<GCodeParser>(backEnd.get(), &actState);
  parser->NewMainFile(path);
  parser->ExecuteProgram(false, 0);
  ASSERT_EQ(1u, backEnd->Lines().size());
  EXPECT_EQ(1.0, backEnd->Lines()[0].end[0]);
  EXPECT_EQ(3, backEnd->Lines()[0].tag);
}

TEST_F(InterpTest, StartAndEndMacros) {
  Macro("PrgStart.txt", "%\nM8\nSimulation\nM7\n");
  Macro("PrgEnd.txt", "%\nM9\n");
  Run("G0 X1\nM30\n");
  EXPECT_EQ(RUN_M30, parser->RunState());
  const auto calls = backEnd->Calls();
  EXPECT_LT(IndexOfCall("AddCmd M8"), IndexOfCall("AddLine"));
  EXPECT_GT(IndexOfCall("AddCmd M9"), IndexOfCall("AddLine"));
  EXPECT_EQ(-1, IndexOfCall("AddCmd M7"));
  Run("G0 X1\n", BACKEND_NONE);
  EXPECT_NE(-1, IndexOfCall("AddCmd M7"));
  EXPECT_EQ(-1, IndexOfCall("AddCmd M8"));
}

TEST_F(InterpTest, StopReasonReportsTheLineTheMachineReached) {
  class Breaking : public RecordingBackEnd {
   public:
    Breaking() : RecordingBackEnd(BACKEND_MACHINE) {}
    void AddLine(const Coordinates& e, double f, bool r, const Condition* u, bool k) override {
      RecordingBackEnd::AddLine(e, f, r, u, k);
      if (++n == 3) {
        GetMachineState()->SetCurrLine(3);
        throw Error_t(ERR_USER_BREAK);
      }
    }
    int n = 0;
  };
  auto b = std::make_unique<Breaking>();
  b->FrontEnd::SetMachineState(&actState);
  const std::string path = workDir + "/stop.nc";
  testsupport::WriteFile(path, "%\nG0 X1\nG0 X2\nG0 X3\nG0 X4\n");
  parser = std::make_unique<GCodeParser>(b.get(), &actState);
  parser->NewMainFile(path);
  EXPECT_EQ(RUN_ERROR, parser->ExecuteProgram(false, 0));
  EXPECT_EQ(ERR_USER_BREAK, Code());
  EXPECT_EQ(3, parser->errorLine);
  EXPECT_EQ(1, b->GetExecMode());
  parser.reset();
}

TEST_F(InterpTest, ErrorInCalledFileIsReportedByTheCaller) {
  Macro("M3.txt", "%\n\nG1 X1 G0 Y1\n");
  Run("G0 X1\nS100 M3\n");
  EXPECT_EQ(-110, Code());
  EXPECT_EQ("main program: line 3 column 5", Report());
  EXPECT_EQ(1, messages.Count("line contains multiple G-commands line 3 column 6"))
      << ::testing::PrintToString(messages.lines);
  EXPECT_EQ(1, messages.Count("G1 X1 G0 Y1"));
}

TEST_F(InterpTest, ProgressIsReportedEveryThousandLines) {
  std::string body;
  for (int i = 0; i < 2500; ++i) body += "G0 X" + std::to_string(i % 100) + "\n";
  std::vector<int32_t> seen;
  backEnd = std::make_unique<RecordingBackEnd>(BACKEND_NONE);
  const std::string path = workDir + "/long.nc";
  testsupport::WriteFile(path, "%\n" + body);
  parser = std::make_unique<GCodeParser>(backEnd.get(), &actState);
  parser->NewMainFile(path);
  parser->SetProgressObserver([&](int32_t line) { seen.push_back(line); });
  parser->ExecuteProgram(false, 0);
  EXPECT_EQ((std::vector<int32_t>{1000, 2000}), seen);
}

TEST_F(InterpTest, MdiTextRunsWithoutLabel) {
  backEnd = std::make_unique<RecordingBackEnd>(BACKEND_MACHINE);
  parser = std::make_unique<GCodeParser>(backEnd.get(), &actState, "G0 X12 Y3");
  EXPECT_EQ(RUN_RUNNING, parser->ExecuteProgram(true, 0));
  ASSERT_EQ(1u, backEnd->Lines().size());
  EXPECT_EQ(12.0, backEnd->Lines()[0].end[0]);
  EXPECT_TRUE(messages.lines.empty());  // no start or end macro for a single command
  parser = std::make_unique<GCodeParser>(backEnd.get(), &actState, "G0 X700");
  EXPECT_EQ(RUN_ERROR, parser->ExecuteProgram(true, 0));
  EXPECT_EQ("number out of range line 1 column 3", Report());
}

TEST_F(InterpTest, ParkPositionZFirstWhenAbove) {
  GetMachineConfig().parkPos = Coordinates(300, 200, 0);
  Run("G0 X10 Y10 Z-50\nG28\n");
  const auto l = Lines();
  ASSERT_EQ(3u, l.size());
  EXPECT_EQ(0.0, l[1].end[2]);
  EXPECT_EQ(10.0, l[1].end[0]);
  EXPECT_EQ(300.0, l[2].end[0]);
  Run("G0 X10 Y10 Z-50\nG28 X0\n");
  ASSERT_EQ(2u, Lines().size());
  EXPECT_EQ(300.0, Lines()[1].end[0]);
  EXPECT_EQ(10.0, Lines()[1].end[1]);
}

}  // namespace

namespace {

TEST_F(InterpTest, M98CallsALabelOfTheOwnFile) {
  EXPECT_EQ(RUN_M30, Run("M98 P100\nG0 X7\nM30\nO100\nG0 X5\nM99\n"));
  ASSERT_EQ(2u, Lines().size());
  EXPECT_EQ(5.0, Lines()[0].end[0]);
  EXPECT_EQ(7.0, Lines()[1].end[0]);
  Run("M98 P5\n");
  EXPECT_EQ(-110, Code());
}

TEST_F(InterpTest, RunFromAChosenLine) {
  const std::string path = workDir + "/resume.nc";
  testsupport::WriteFile(path, "%\nG1 X1 F600\nG1 X2\nG1 X3\nG1 X4\n");
  backEnd = std::make_unique<RecordingBackEnd>(BACKEND_SIMULATION);
  parser = std::make_unique<GCodeParser>(backEnd.get(), &actState);
  parser->NewMainFile(path);
  parser->ExecuteProgram(false, 0, "%", 0, 3);  // preparation up to the chosen line
  EXPECT_EQ(2u, backEnd->Lines().size());
  EXPECT_EQ(2.0, parser->target[0]);
  auto prepared = std::move(parser);
  parser = std::make_unique<GCodeParser>(backEnd.get(), &actState);
  parser->NewMainFile(path);
  parser->RestoreRunFromState(*prepared);
  parser->ExecuteProgram(false, 0, "%", 4, 0, true);
  const auto l = backEnd->Lines();
  ASSERT_EQ(4u, l.size());
  EXPECT_EQ(3.0, l[2].end[0]);
  EXPECT_EQ(4, l[2].tag);
  EXPECT_EQ(1, messages.Count("Warning: undefined macro PrgResume.txt"));
}

TEST_F(InterpTest, KnifeIsLoweredAtTheNextCut) {
  Run("M14\nG0 X5\nG1 X10 F600\nG1 X20\nM15\n");
  EXPECT_GT(IndexOfCall("AddCmd M14"), IndexOfCall("AddLine"));
  const auto calls = backEnd->Calls();
  int count = 0;
  for (const auto& c : calls) count += c == "AddCmd M14";
  EXPECT_EQ(1, count);
  EXPECT_FALSE(parser->State().GetFlag(SF_M14));
}

TEST(RangeErrorQuestion, NamesTheAxisAndSide) {
  const std::string q = RangeErrorQuestion(false, true, 1);
  EXPECT_NE(std::string::npos, q.find("The toolpath was outside the upper(1) limit of axis Y.\n"));
  EXPECT_EQ(0u, q.find("During the last preview one or more errors occured.\n"));
  EXPECT_NE(std::string::npos,
            RangeErrorQuestion(true, false, 0).find("The toolpath collides with the ATC keepout area.\n"));
}

}  // namespace

// Word-level errors the other tests do not reach, each with its position.
TEST_F(InterpTest, AxisIndexAndArcAxisErrorsCarryTheirPosition) {
  const struct {
    const char* program;
    int32_t code;
    const char* report;
  } cases[] = {
      {"G1 X1 F100\nG2 X9 Y0 I4 J0 U5\n", -1039, "G2/G3 must not move UVW axes line 3 column 17"},
      {"#1.5=3\n", -1012, "no decimal point allowed here line 2 column 0"},
      {"#[1-2]=5\n", -1014, "no negative number allowed here line 2 column 0"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(RUN_ERROR, Run(c.program)) << c.program;
    EXPECT_EQ(c.code, Code()) << c.program;
    EXPECT_EQ(c.report, Report()) << c.program;
  }
  GetAxisAssignment().SetAxisName(6, 0);  // no axis carries the name U
  EXPECT_EQ(RUN_ERROR, Run("G1 X1 U2 F100\n"));
  EXPECT_EQ(-1002, Code());
  EXPECT_EQ("axis not supported for machine type line 2 column 6", Report());
}
