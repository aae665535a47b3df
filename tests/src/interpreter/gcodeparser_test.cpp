// Interpreter runs against the recording front end: line checks, execution
// order, moves and arcs, offsets, tools, M codes, preview range errors and the
// run loop's reports.
#include "interpreter/gcodeparser.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "common/interpreter_fixture.h"
#include "motion/radiuscomp.h"
#include "machine/transformation.h"

using testsupport::RecordingBackEnd;

namespace {

class InterpTest : public testsupport::InterpreterTest<GCodeParser> {};

// ---------------------------------------------------------------------------
// Programs the interpreter refuses: the code, and where it matters the line,
// the report and the operator message.

TEST_F(InterpTest, ErrorsWithTheirCodesAndReports) {
  const struct {
    const char* program;
    int32_t code;
    int32_t line = 0;
    const char* report = nullptr;
    const char* message = nullptr;
  } cases[] = {
      {"G1 X10 G0 Y5\n", -1016, 2, "line contains multiple G-commands line 2 column 7"}, {"G90 G91 X1\n", -1016},
      {"G54 G55\n", -1016}, {"G1 X10 F100\nF200\nX20\n", -1036, 4},  // a feed alone ends the modal motion
      {"L2\n", -1028}, {"L3\n", -1029}, {"G1 X1 L0\n", -1028}, {"X1 N5\n", -1020}, {"O100\n", -1021},
      {"M3 M5\n", -1017}, {"M12\n", -1001}, {"S100 S200\n", -1018}, {"T1 T2\n", -1019}, {"G7\n", -1000},
      {"G99999999999\n", -1000}, {"M99999999999\n", -1001}, {"L99999999999\n", -1029},
      {"P99999999999=1\n", -1009}, {"#[0-99999999999*99999999999]=5\n", -1014}, {"T10000\n", -1008}, {"E5\n", -1005}, {"#I3=1\n", -1046}, {"#=3\n", -1045},
      {"#O1=2\n", -1047}, {"P12=1\n", -1009}, {"RETURN\n", -1061}, {"x10\n", -1004}, {"X=SQRT(0-1)\n", -1008},
      {"G1 X1 X2 F10\n", -1007}, {"IF #1=1 THEN\n", -1005}, {"G1 X10\n", -1041}, {"G1 X10 I5 F100\n", -1037},
      {"G10 L2 P7 X1\n", -1076}, {"G68 X0 Y0\n", -1072}, {"G51 I2 J2\n", -1071}, {"M6 G1 X10 F600\n", -1017},
      {"M50\n", -1076}, {"G81 X1 Y1 Z-1 R1\n", -1000}, {"M98 P5\n", -110}, {"G0 Z-200\n", -1008},
      {"#1.5=3\n", -1012, 2, "no decimal point allowed here line 2 column 0"},
      {"#[1-2]=5\n", -1014, 2, "no negative number allowed here line 2 column 0"},
      {"G1 X1 F0.1\n", -1008, 2, nullptr, "F=0.100 is below lower limit of 0.600"},
      {"G0 X10\nG0 X700\n", -1008, 3, "number out of range line 3 column 3", "X=700.000 is above upper limit of 600.000"},
      // arcs
      {"G0 X0 Y0\nG2 X30 Y0 R10 F600\n", -1063}, {"G0 X5 Y5\nG2 X5 Y5 R10 F600\n", -1063},
      {"G0 X0 Y0\nG2 X10 Y0 I4 J0 F600\n", -1022}, {"G0 X0 Y0\nG2 X10 I5 J0 K0 F600\n", -1040},
      {"G0 X0 Y0\nG2 X10 F600\n", -1040}, {"G0 X0 Y0\nG2 X10 Y0 I5 F600\nX20\n", -1040},
      {"G0 X0 Y0\nG2 X10 Y0 A5 I5 F600\n", -1038}, {"G0 X0 Y0\nG19 G2 Y10 I5 F600\n", -1040},
      {"G1 X1 F100\nG2 X9 Y0 I4 J0 U5\n", -1039, 3, "G2/G3 must not move UVW axes line 3 column 17"},
      // A full circle of radius 0 as CAM posts write it for a hole too small to cut; a scaling to nothing.
      {"G0 X30.42 Y26.924\nG1 Z-1 F300\nG3 X30.42 Y26.924 I0\n", -1063, 4},
      {"G0 X5 Y5\nG2 X5.0000001 Y5 I0 J0 F600\n", -1063}, {"G51 P0\n", -1008}, {"G51 I1 J0 K1\n", -1008},
      // a rapid or the end of the program while compensating
      {"G1 X0 Y0 F600\nG41 D2 G1 X10\nG0 X20\n", -1100}, {"G1 X0 Y0 F600\nG42 D2 G1 X10\nY10\n", -1100},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(RUN_ERROR, Run(c.program)) << c.program;
    EXPECT_EQ(c.code, Code()) << c.program;
    if (c.line) { EXPECT_EQ(c.line, parser->errorLine) << c.program; }
    if (c.report) { EXPECT_EQ(c.report, Report()) << c.program; }
    if (c.message) { EXPECT_EQ(1, messages.Count(c.message)) << c.program; }
  }
  GetAxisAssignment().SetAxisName(6, 0);  // no axis carries the name U
  EXPECT_EQ(RUN_ERROR, Run("G1 X1 U2 F100\n"));
  EXPECT_EQ(-1002, Code());
  EXPECT_EQ("axis not supported for machine type line 2 column 6", Report());
}

// ---------------------------------------------------------------------------
// Words

// Programs and the end points of their moves.
TEST_F(InterpTest, MovesEndWhereTheProgramSays) {
  GetMachineConfig().parkPos = Coordinates(300, 200, 0);
  const struct {
    const char* program;
    std::vector<Coordinates> ends;
    int32_t state = RUN_RUNNING;
    double feed = 0;  // of the last move, when given
  } cases[] = {
      // modal settings beside the motion code; axis words alone keep the motion
      {"G17 G90 G1 X10 F600 H3600\nY5\nZ-1\nM2\n", {{10, 0, 0}, {10, 5, 0}, {10, 5, -1}}, RUN_RETURN, 10},
      {"G0 X10 Y10 Z-50\nG28\n", {{10, 10, -50}, {10, 10, 0}, {300, 200, 0}}},  // park: Z first when below
      {"G0 X10 Y10 Z-50\nG28 X0\n", {{10, 10, -50}, {300, 10, -50}}},
      {"M98 P100\nG0 X7\nM30\nO100\nG0 X5\nM99\n", {{5, 0, 0}, {7, 0, 0}}, RUN_M30},
      {"G21 G1 X1 F60\n", {{1, 0, 0}}, RUN_RUNNING, 1},
      {"G20 G1 X1 F60\n", {{25.4, 0, 0}}, RUN_RUNNING, 25.4},  // inch: lengths and feeds
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.state, Run(c.program)) << c.program << Report();
    std::vector<Coordinates> ends;
    for (const auto& l : Lines()) ends.push_back(l.end);
    EXPECT_EQ(c.ends, ends) << c.program;
    if (c.feed) { EXPECT_DOUBLE_EQ(c.feed, Lines().back().feed) << c.program; }
  }
  EXPECT_LT(0, CountCmd('G', 20));  // the machine hears of the unit change
  // On a drum Y words turn into degrees of A.
  GetMachineConfig().drumEngraving = true;
  GetMachineConfig().defaultRotDia = 100;
  Run("G0 X10 Y157.07963267949\n");
  ASSERT_EQ(1u, Lines().size());
  EXPECT_NEAR(180.0, Lines()[0].end[3], 1e-9);
  EXPECT_EQ(std::pair(10.0, 0.0), std::pair(Lines()[0].end[0], Lines()[0].end[1]));
}

// Each run reports its clamped feed or speed once.
TEST_F(InterpTest, FeedAndSpeedAboveTheirMaximumAreClamped) {
  MachineConfig& cfg = GetMachineConfig();
  cfg.axis[0].maxVelocity = cfg.axis[1].maxVelocity = 50;
  cfg.axis[2].maxVelocity = 20;
  cfg.maxS = 20000;
  for (int run = 0; run < 2; ++run) {
    EXPECT_EQ(RUN_RETURN, Run("G1 X1 F9000\nX2 F9000\nS30000 M3\nS30000 M3\nM2\n"));
    ASSERT_EQ(2u, Lines().size());
    EXPECT_DOUBLE_EQ(50.0, Lines()[1].feed);
    EXPECT_EQ(1, messages.Count("F=9000.000 is above upper limit of 3000.000"));
    EXPECT_EQ(1, messages.Count("S=30000.000 is above upper limit of 20000.000"));
    EXPECT_EQ(20000.0, parser->spindleSpeed);
  }
  AddTool(3, 0, 8000);
  Run("T3 M6\nS12000 M3\n");
  EXPECT_EQ(8000.0, parser->spindleSpeed);
  EXPECT_EQ(1, messages.Count("S limited to max. RPM of tool = 8000.000000"));
}

// R picks the short or the long centre; centre words are relative to the
// start and pick the plane (I and J: XY whatever the mode).
TEST_F(InterpTest, ArcCentresAndPlanes) {
  Run("G0 X0 Y0\nG2 X10 Y0 R10 F600\nG0 X0 Y0\nG2 X10 Y0 R-10\nG0 X0 Y0\nG3 X10 Y0 R10\n"
      "G0 X10 Y0 Z-10\nG18 G2 X0 Z-20 I-10\nG2 X20 Y0 I10 J0\nG19 G3 Y10 Z-10 J5 K5\n");
  const double h = std::sqrt(75.0);
  const struct {
    double centre[3];
    int plane;
    bool cw;
  } expected[] = {{{5, -h, 0}, 2, true},   {{5, h, 0}, 2, true},    {{5, h, 0}, 2, false},
                  {{0, 0, -10}, 1, true}, {{10, 0, -20}, 2, true}, {{20, 5, -15}, 0, false}};
  const auto arcs = backEnd->Arcs();
  ASSERT_EQ(std::size(expected), arcs.size());
  for (size_t i = 0; i < arcs.size(); ++i) {
    for (int a = 0; a < 3; ++a) EXPECT_NEAR(expected[i].centre[a], arcs[i].centre[a], 1e-9) << "arc " << i;
    EXPECT_EQ(expected[i].plane, arcs[i].plane) << "arc " << i;
    EXPECT_EQ(expected[i].cw, arcs[i].clockwise) << "arc " << i;
  }
}

// Work offsets, G92, G10 L2, G53 and G43 move the program position, never
// the machine; G92 and G10 store what they set.
TEST_F(InterpTest, OffsetsMoveTheProgramPositionNotTheMachine) {
  const struct {
    const char* program;
    int index;  // the active system afterwards
    Coordinates target, machine;
    int row = 0;  // the stored offset that must read `offset`
    Coordinates offset = Coordinates(100, 50, 0);
    int modalG53 = 1;
    int32_t code = 0;
  } cases[] = {
      {"G54 G0 X10 Y0\nG55\n", 2, {-90, 50, 0}, {110, 50, 0}},
      {"G54 G0 X10 Y10\nG92 X0 Y0\n", 1, {0, 0, 0}, {110, 60, 0}, 0, {110, 60, 0}},
      {"G55 G0 X0\nG10 L2 P2 X5 Z-3\n", 2, {195, 0, 3}, {200, 0, 0}, 1, {5, 0, -3}},
      {"G55 G0 X0\nG10 L2 P0 X99\n", 2, {0, 0, 0}, {200, 0, 0}, 1, {200, 0, 0}},
      {"G54 G0 X0 Y0 Z0\nT2 M6\nG43\n", 1, {0, 0, -30}, {100, 50, 0}},
      {"G54 G0 X0 Y0 Z0\nT2 M6\nG43\nG49\n", 1, {0, 0, 0}, {100, 50, 0}},
      {"G54 G0 X0 Y0 Z0\nT2 M6\nG43\nG92 Z0\n", 1, {0, 0, 0}, {100, 50, 0}, 0, {100, 50, -30}},
      // #900..#908 are the active offset without the tool length
      {"G54 G0 X0 Y0 Z0\nT2 M6\nG43\n#900=90 #902=-30\n", 1, {10, 0, 0}, {100, 50, 0}, 0, {90, 50, -30}},
      {"G53\nG0 X1\n#900=5\n", 0, {1, 0, 0}, {1, 0, 0}, 0, {100, 50, 0}, 0},
      // G53 for one line, or modal
      {"G54 G0 X10\nG53 G0 X10\nG0 Y1\n", 1, {-90, 1, 0}, {10, 51, 0}},
      {"G54 G0 X10\nG53\nG0 Y1\n", 0, {110, 1, 0}, {110, 1, 0}, 0, {100, 50, 0}, 0},
      {"G54\nG53 F100\n", 1, {}, {}, 0, {100, 50, 0}, 1, -1073},
      {"G54\nG53 G0 X10\n", 1, {}, {}, 0, {100, 50, 0}, 0, -1074},
  };
  AddTool(2, 30);
  for (const auto& c : cases) {
    MachineConfig& cfg = GetMachineConfig();
    cfg.offsets[0] = Coordinates(100, 50, 0);
    cfg.offsets[1] = Coordinates(200, 0, 0);
    cfg.modalG53 = c.modalG53;
    Run(c.program);
    EXPECT_EQ(c.code, Code()) << c.program << Report();
    EXPECT_EQ(c.offset, cfg.offsets[c.row]) << c.program;
    if (c.code) continue;
    EXPECT_EQ(c.index, parser->offsetIndex) << c.program;
    EXPECT_EQ(c.target, parser->target) << c.program;
    EXPECT_EQ(c.machine, parser->State().GetTransformation()->ToMachine(parser->target)) << c.program;
  }
}

// ---------------------------------------------------------------------------
// Soft limits in a preview

// A preview counts the range errors and goes on; the machine stops at the
// first one.
TEST_F(InterpTest, RangeErrorsAreCountedInAPreview) {
  EXPECT_EQ(RUN_ERROR, Run("G0 X10\nG0 X700\nG0 Y-5\nG0 X1 Y1\n", BACKEND_NONE));
  EXPECT_EQ(4u, Lines().size());
  EXPECT_EQ(2, parser->RangeErrorCount());
  EXPECT_EQ(0, parser->RangeErrorAxis());
  EXPECT_TRUE(parser->RangeErrorUpper());
  EXPECT_EQ("number out of range line 3 column 3", Report());
  EXPECT_EQ(1, messages.Count("Warning: undefined macro PrgStop.txt"));
  MachineConfig& c = GetMachineConfig();
  c.ignoreZPreview = c.atcHasKeepout = true;
  const double lo[3] = {500, 300, -100}, hi[3] = {600, 400, 0};
  for (int i = 0; i < 3; ++i) c.atcKeepoutMin[i] = lo[i], c.atcKeepoutMax[i] = hi[i];
  EXPECT_EQ(RUN_RETURN, Run("G0 Z-200\nM2\n", BACKEND_NONE));
  EXPECT_EQ(0, parser->RangeErrorCount());
  Run("G0 X550 Y350 Z-5\n", BACKEND_NONE);
  EXPECT_EQ(1, parser->RangeErrorCount());
  EXPECT_TRUE(parser->RangeErrorKeepout());
  Run("G0 X550 Y350 Z-5\n");
  EXPECT_EQ(-1062, Code());
  // The question put to the operator after such a preview.
  const std::string q = RangeErrorQuestion(false, true, 1);
  EXPECT_NE(std::string::npos, q.find("The toolpath was outside the upper(1) limit of axis Y.\n"));
  EXPECT_EQ(0u, q.find("During the last preview one or more errors occured.\n"));
  EXPECT_NE(std::string::npos,
            RangeErrorQuestion(true, false, 0).find("The toolpath collides with the ATC keepout area.\n"));
}

// ---------------------------------------------------------------------------
// M codes and tools

TEST_F(InterpTest, MCodesBeforeTheMoveAndTheKnifeAtTheCut) {
  Run("S1000 M3 G1 X10 F600\nM8\nM9\nM4\nM5\n");
  EXPECT_LT(IndexOfCall("AddCmd M3"), IndexOfCall("AddLine"));
  EXPECT_FALSE(parser->State().GetFlag(SF_SPINDLE_CW));
  EXPECT_FALSE(parser->State().GetFlag(SF_COOLANT_FLOOD));
  EXPECT_EQ(1000.0, LastCmd('M', 3, 3).arg);
  Run("M51 P1\n");  // machine functions take their state from P
  EXPECT_TRUE(parser->State().GetFlag(SF_SPINDLE_OVERRIDE));
  EXPECT_TRUE(parser->gState & (1u << GS_FUNC16));
  // The knife goes down at the next cut, once.
  Run("M14\nG0 X5\nG1 X10 F600\nG1 X20\nM15\n");
  EXPECT_GT(IndexOfCall("AddCmd M14"), IndexOfCall("AddLine"));
  EXPECT_EQ(1, CountCmd('M', 14));
  EXPECT_FALSE(parser->State().GetFlag(SF_M14));
}

// An unknown tool is refused unless the mode takes any; without a macro the
// tool is taken as asked, with one #940 and #950 decide.
TEST_F(InterpTest, ToolChangeModesAndMacro) {
  AddTool(4, 12);
  AddTool(6, 60);
  GetMachineConfig().toolChangeMode = 2;  // any tool: the machine is told of it in #950
  EXPECT_EQ(RUN_RETURN, Run("T5 M6\nM2\n"));
  EXPECT_EQ(5.0, parser->GetVar(950));
  const struct {
    int mode;
    const char* macro;  // M6.txt, none when null
    const char* program;
    int32_t code;
    double tool, length;
  } cases[] = {
      {0, nullptr, "T5 M6\n", -1043, 0, 0}, {1, nullptr, "T5 M6\n", -1043, 0, 0},
      // T alone, M6 later: the last programmed T.
      {1, nullptr, "T4 (drill)\nG0 X1\nM6\n", 0, 4, 12}, {1, nullptr, "T4 M6\n", 0, 4, 12},
      {1, "%\n#940=1\n#950=6\n", "T4 M6\n", 0, 6, 60}, {1, "%\n#940=0\n", "T4 M6\n", 0, 0, 0},
  };
  for (const auto& c : cases) {
    GetMachineConfig().toolChangeMode = c.mode;
    if (c.macro) Macro("M6.txt", c.macro);
    Run(c.program);
    EXPECT_EQ(c.code, Code()) << c.mode << c.program;
    if (c.code) continue;
    EXPECT_EQ(c.tool, parser->GetVar(920)) << c.mode << c.program;
    EXPECT_EQ(c.tool, parser->State().GetCurrTool()) << c.mode << c.program;
    EXPECT_EQ(c.length, parser->State().GetToolLength()) << c.mode << c.program;
    EXPECT_EQ(c.macro ? 0 : 1, messages.Count("Warning: undefined macro M6.txt")) << c.mode << c.program;
  }
}

TEST_F(InterpTest, LinesAfterAMissingToolAreSkippedOnTheMachine) {
  actState.SetVar(920, 7);
  Run("G0 X10\nM3\nT0 M6\nG0 X20\n");
  EXPECT_EQ((std::vector<double>{20}), Xs());
  EXPECT_EQ(0, CountCmd('M', 3));
  Run("G0 X10\n", BACKEND_NONE);
  EXPECT_EQ(1u, Lines().size());
}

TEST_F(InterpTest, CyclesRunTheirMacro) {
  EXPECT_EQ(RUN_RETURN, Run("G80\nM2\n"));
  Macro("G81.txt", "%\n#101=Z\n");
  Run("G0 Z-1\nG81 X1 Y1 Z-3\n");
  EXPECT_EQ(-3.0, parser->GetVar(101));  // the macro reads the depth from Z
  EXPECT_EQ(-3.0, parser->target[2]);
}

TEST_F(InterpTest, RadiusCompensationOffsetsThePathOnTheMachine) {
  RadiusComp::SetToleranceParameter(0.001);
  Run("G1 X0 Y0 F600\nG41 D2 G1 X10 Y0\nX10 Y10\nX0 Y10\nG40 G1 X0 Y20\n");
  EXPECT_EQ(RUN_RUNNING, parser->RunState()) << Report();
  const auto lines = Lines();  // the inner corner, one radius in
  EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const auto& l) { return l.end == Coordinates(9, 9, 0); }));
  EXPECT_LT(0, CountCmd('G', 41));
  EXPECT_LT(0, CountCmd('G', 40));
  EXPECT_EQ(backEnd.get(), parser->GetFrontEnd());
  EXPECT_EQ(1.0, parser->State().GetVar(36));  // G1 stays the modal code through G41/G40
  // With the stage in front, limits are still those of a machine run.
  Run("G1 X10 Y10 F600\nG41 D2 G1 X20 Y10\nX700 Y10\n");
  EXPECT_EQ(-1008, Code());
  EXPECT_EQ(0, parser->RangeErrorCount());
  EXPECT_EQ(backEnd.get(), parser->GetFrontEnd());
}

// ---------------------------------------------------------------------------
// The run

// A program starts after its '%' line, framed by the start and end macros;
// an MDI command needs neither.
TEST_F(InterpTest, ProgramStartAndEnd) {
  EXPECT_EQ(RUN_ERROR, RunFile(Program("nolabel.nc", "G0 X1\n")));
  EXPECT_EQ(-1057, Code());
  RunFile(Program("late.nc", "G0 X5\n%\nG0 X1\n"));
  EXPECT_EQ((std::vector<double>{1}), Xs());
  EXPECT_EQ(3, Lines()[0].tag);
  Macro("PrgStart.txt", "%\nM8\n");
  Macro("PrgEnd.txt", "%\nM9\n");
  EXPECT_EQ(RUN_M30, Run("G0 X1\nM30\n"));
  EXPECT_LT(IndexOfCall("AddCmd M8"), IndexOfCall("AddLine"));
  EXPECT_GT(IndexOfCall("AddCmd M9"), IndexOfCall("AddLine"));
  messages.lines.clear();
  backEnd = std::make_unique<RecordingBackEnd>(BACKEND_MACHINE);
  parser = std::make_unique<GCodeParser>(backEnd.get(), &actState, "G0 X12 Y3");
  EXPECT_EQ(RUN_RUNNING, parser->ExecuteProgram(true, 0));
  EXPECT_EQ((std::vector<double>{12}), Xs());
  EXPECT_TRUE(messages.lines.empty());
  parser = std::make_unique<GCodeParser>(backEnd.get(), &actState, "G0 X700");
  EXPECT_EQ(RUN_ERROR, parser->ExecuteProgram(true, 0));
  EXPECT_EQ("number out of range line 1 column 3", Report());
}

TEST_F(InterpTest, StopReasonReportsTheLineTheMachineReached) {
  // Stopped in the third move, which the machine reports as line 3.
  struct Breaking : RecordingBackEnd {
    void AddLine(const Coordinates& e, double f, bool r, const Condition* u, bool k) override {
      RecordingBackEnd::AddLine(e, f, r, u, k);
      if (Lines().size() < 3) return;
      GetMachineState()->SetCurrLine(3);
      throw Error_t(ERR_USER_BREAK);
    }
  };
  EXPECT_EQ(RUN_ERROR,
            RunFileOn(std::make_unique<Breaking>(), Program("stop.nc", "%\nG0 X1\nG0 X2\nG0 X3\nG0 X4\n")));
  EXPECT_EQ(ERR_USER_BREAK, Code());
  EXPECT_EQ(3, parser->errorLine);
  EXPECT_EQ(1, backEnd->GetExecMode());
}

TEST_F(InterpTest, ProgressIsReportedEveryThousandLines) {
  std::string body = "%\n";
  for (int i = 0; i < 2500; ++i) body += "G0 X" + std::to_string(i % 100) + "\n";
  std::vector<int32_t> seen;
  Load(Program("long.nc", body), std::make_unique<RecordingBackEnd>(BACKEND_NONE))
      .SetProgressObserver([&](int32_t line) { seen.push_back(line); });
  parser->ExecuteProgram(false, 0);
  EXPECT_EQ((std::vector<int32_t>{1000, 2000}), seen);
}

TEST_F(InterpTest, RunFromAChosenLine) {
  const std::string path = Program("resume.nc", "%\nG1 X1 F600\nG1 X2\nG1 X3\nG1 X4\n");
  Load(path, std::make_unique<RecordingBackEnd>(BACKEND_SIMULATION)).ExecuteProgram(false, 0, "%", 0, 3);
  EXPECT_EQ((std::vector<double>{1, 2}), Xs());  // preparation up to the chosen line
  EXPECT_EQ(2.0, parser->target[0]);
  auto prepared = std::move(parser);
  parser = std::make_unique<GCodeParser>(backEnd.get(), &actState);
  parser->NewMainFile(path);
  parser->RestoreRunFromState(*prepared);
  parser->ExecuteProgram(false, 0, "%", 4, 0, true);
  EXPECT_EQ((std::vector<double>{1, 2, 3, 4}), Xs());
  EXPECT_EQ(4, Lines()[2].tag);
  EXPECT_EQ(1, messages.Count("Warning: undefined macro PrgResume.txt"));
}

}  // namespace
