// Adapting programs of other dialects: every rule on a program the
// interpreter rejects (or runs wrongly) before and runs after, every refusal,
// and programs of our own dialect that must come through untouched.
#include "interpreter/programadapter.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/interpreter_fixture.h"
#include "interpreter/macroparser.h"

namespace {

using C = AdaptChange;
using namespace std::string_literals;

class AdapterTest : public testsupport::InterpreterTest<MacroParser> {
 protected:
  // Runs a program text on the recording machine; returns the error code.
  int32_t RunText(const std::string& text) {
    messages.lines.clear();
    RunFile(Program("p" + std::to_string(++count) + ".nc", text));
    return Code();
  }
  // End point (X, Y, Z) of the last straight move, or "none".
  std::string LastEnd() const {
    if (Lines().empty()) return "none";
    const Coordinates e = Lines().back().end;
    char buf[96];
    std::snprintf(buf, sizeof buf, "X%g Y%g Z%g", e[0], e[1], e[2]);
    return buf;
  }
};

TEST_F(AdapterTest, EveryRuleRepairsAProgramTheInterpreterRejects) {
  const struct {
    const char* rule;
    std::string program;
    int32_t before;  // the interpreter's error; 0: it runs, but not to `end`
    C kind;
    std::vector<int32_t> lines;  // input lines of the change
    std::string adapted;
    const char* end;  // where the adapted program's last move ends
    bool centerAbs = false;
  } cases[] = {
      {"no '%'", "G0 X1 Y1\nG1 X2 F100\nM30\n", -1057, C::PercentAdded, {1}, "%\nG0 X1 Y1\nG1 X2 F100\nM30\n",
       "X2 Y1 Z0"},
      // Execution would start after the closing '%': nothing at all runs.
      {"only a closing '%'", "G0 X1\nM30\n%\n", 0, C::PercentAdded, {1}, "%\nG0 X1\nM30\n%\n", "X1 Y0 Z0"},
      {"a '%' the program reads", "G0 X1\nG0 X2\n%\n", 0, C::PercentComment, {3}, "%\nG0 X1\nG0 X2\n(%)\n",
       "X2 Y0 Z0"},
      {"';' comment", "%\nG0 X1 ; rapid (fast)\nM30\n", -1004, C::SemicolonComment, {2},
       "%\nG0 X1 ( rapid fast)\nM30\n", "X1 Y0 Z0"},
      {"nested parentheses", "%\n(Drill, 4.5mm (R))\nG0 X1\nM30\n", -1004, C::NestedComment, {2},
       "%\n(Drill, 4.5mm R)\nG0 X1\nM30\n", "X1 Y0 Z0"},
      // The code after a nested comment that holds a ';' needs the '%' too.
      {"no '%' before code after a nested comment", "(Drill (R) ; 4.5)G0 X1\n", -1057, C::PercentAdded, {1},
       "%\n(Drill R ; 4.5)G0 X1\n", "X1 Y0 Z0"},
      {"blank after a letter", "%\nG0 X1\nY 155.953\nM30\n", -1011, C::BlankAfterLetter, {3},
       "%\nG0 X1\nY155.953\nM30\n", "X1 Y155.953 Z0"},
      {"lower case", "%\ng0 x1 y2 (keep me)\nM30\n", -1004, C::LowerCase, {2}, "%\nG0 X1 Y2 (keep me)\nM30\n",
       "X1 Y2 Z0"},
      {"G91.1 reads as G91", "%\nG90 G94 G91.1 G40 G49 G17\nG0 X1\nM30\n", -1016, C::CentreMode, {2},
       "%\nG90 G94 G40 G49 G17\nG0 X1\nM30\n", "X1 Y0 Z0"},
      {"G90.1 on an absolute-centre machine", "%\nG90.1 G90\nG0 X1\nM30\n", -1016, C::CentreMode, {2},
       "%\nG90\nG0 X1\nM30\n", "X1 Y0 Z0", true},
      // The words after a comment's closing line join the line it began on.
      {"G91.1 after a comment over two lines", "%\nG0 X1 (a\nb) G91.1\nG0 X2\nM30\n", 0, C::CentreMode, {3},
       "%\nG0 X1 (a\nb)\nG0 X2\nM30\n", "X2 Y0 Z0"},
      {"F0 on a rapid", "%\nG1 X1 F100\nG0 X2 F0.000000\nX3 F0\nM30\n", -1008, C::RapidF0, {3, 4},
       "%\nG1 X1 F100\nG0 X2\nX3\nM30\n", "X3 Y0 Z0"},
      // Two rules remove words of one line, found in the opposite order.
      {"F0 and G91.1 on one rapid", "%\nG0 X1 F0 G91.1\nG0 X2\nM30\n", -1008, C::RapidF0, {2},
       "%\nG0 X1\nG0 X2\nM30\n", "X2 Y0 Z0"},
      {"axis-only after G92", "%\nG0 X1\nG92 X0\nX5\nM30\n", -1036, C::MotionAfterNonModal, {4},
       "%\nG0 X1\nG92 X0\nG0 X5\nM30\n", "X5 Y0 Z0"},
      {"axis-only after M3 alone", "%\nG1 X1 F100\nM3 S1000\nN40X6\nM30\n", -1036, C::MotionAfterNonModal, {4},
       "%\nG1 X1 F100\nM3 S1000\nN40G1X6\nM30\n", "X6 Y0 Z0"},
      // G4 stays modal here: Z-3 would be a second dwell and the move lost.
      {"axis-only after a dwell", "%\nG1 Z-2 F100\nG4 P1\nZ-3\nM30\n", 0, C::MotionAfterDwell, {4},
       "%\nG1 Z-2 F100\nG4 P1\nG1 Z-3\nM30\n", "X0 Y0 Z-3"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.rule);
    GetMachineConfig().centerAbs = c.centerAbs;
    const int32_t before = RunText(c.program);
    EXPECT_EQ(c.before, before);
    if (c.before == 0) {
      EXPECT_NE(c.end, LastEnd());
    }
    const int32_t errorLine = parser->errorLine;

    ProgramAdapter adapter(AdaptSettingsOf(GetMachineConfig()));
    std::string out;
    const AdaptReport report = adapter.Adapt(c.program, out);
    EXPECT_FALSE(report.Refused()) << report.Text().front();
    EXPECT_EQ(c.adapted, out);
    EXPECT_EQ(c.lines, report.Lines(c.kind));
    if (c.before) {
      EXPECT_TRUE(report.Repairs(c.before, errorLine)) << "line " << errorLine;
    }

    EXPECT_EQ(0, RunText(out)) << Report();
    EXPECT_EQ(c.end, LastEnd());
    // A second pass finds nothing to change.
    std::string again;
    EXPECT_FALSE(adapter.Adapt(out, again).Changed());
    EXPECT_EQ(out, again);
  }
}

TEST_F(AdapterTest, WhatCannotBeMappedIsRefusedWithLineAndReason) {
  const struct {
    std::string program;
    int32_t line;
    const char* reason;
    bool centerAbs = false;
  } cases[] = {
      {"%\nO1234 (PART)\nG0 X1\nM30\n", 2, "O-word subroutines and program numbers"},
      {"o100 sub\nG0 X1\no100 endsub\nM30\n", 1, "O-word subroutines and program numbers"},
      {"%\nG0 X1\n#1 = [#1 + 2]\nG1 X[#1*2] F100\n", 3, "an expression of another control's dialect"},
      {"%\nG90.1\n", 2, "set CenterAbs=1 to run this program"},
      {"%\nG91.1\n", 2, "set CenterAbs=0 to run this program", true},
      {"%\nG0 X1\nG92.1\n", 3, "G92.1 has no equivalent here (it would read as G92)"},
      {"%\n(tool list\nG0 X1\n", 2, "never closed"},
      {"%\nG4 P1\nX1\n", 3, "would make another dwell"},
      {"%\nG0 X1\nG28\nX2 M6\n", 4, "axis words with M6"},
      {"%\nG0 X1\nWHILE [#1 LT 3] DO1\n", 3, "an expression of another control's dialect"},
      {"%\nG0 X1 \"\n", 2, "cannot be read here: "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.program);
    AdaptSettings settings;
    settings.centerAbs = c.centerAbs;
    std::string out = "stale";
    const AdaptReport report = ProgramAdapter(settings).Adapt(c.program, out);
    ASSERT_TRUE(report.Refused());
    EXPECT_EQ(c.line, report.refusals.front().line);
    EXPECT_NE(std::string::npos, report.refusals.front().reason.find(c.reason)) << report.refusals.front().reason;
    EXPECT_EQ("", out);
    EXPECT_FALSE(report.Repairs(-1057, 1));
  }
}

// Programs in our own dialect come back byte for byte (the delivered
// examples: the command-line test): statements with ';' and names, expressions in
// parentheses, comments over several lines, labels after the end.
TEST_F(AdapterTest, OurOwnDialectComesThroughUntouched) {
  std::vector<std::string> programs = {
      "header text, not read (before the start)\n%\n#1=2\nPRINT \"a;b=\";#1;\" (x\"\nSKIP done\nG0 X=(1+2)*#1\n"
      "IF #1<3 THEN\nG1 X=SIN(1) F100\nENDIF\ndone\n(a comment\nover lines)G0 X1\nM98 P100\nM30\nO100\nG0 Y1\nM99\n",
      "%\r\nG0 X1\r\nG4 P1\r\nG1 X2 F100\rM30\r\n",
  };
  ProgramAdapter adapter;
  for (const std::string& p : programs) {
    std::string out;
    const AdaptReport report = adapter.Adapt(p, out);
    EXPECT_FALSE(report.Refused()) << p << report.Text().front();
    EXPECT_FALSE(report.Changed()) << p << report.Text().front();
    EXPECT_EQ(p, out);
  }
}

// Where a line's reading starts and what belongs to it, as the interpreter
// has it: 0 = nothing to do, else the line of the refusal.
TEST_F(AdapterTest, ReadsWhereTheInterpreterReads) {
  const struct {
    const char* program;
    int32_t refusedLine;
  } cases[] = {
      {"%\nPRINT (1+2\n(c)\n", 2},                     // a formula's bracket, not a comment
      {"%\nG0 X1 (note\nmore) Y2\nM30\n", 0},           // Y2 is read as the rest of line 2
      {"%\nSKIP a (x\n) b\n", 3},                       // ... and so never a label
      {"%\ndone\nSKIP done\n", 2},                      // a SKIP only jumps forward
      {"%\nG0 X1\nM99\n%\nlabel\nG0 X2\nM99\n", 0},    // not read in order after a return
      {"text (open\n%\nG0 X1\n", 0},                     // the start is found at line starts; read afresh after it
  };
  ProgramAdapter adapter;
  for (const auto& c : cases) {
    std::string out;
    const AdaptReport report = adapter.Adapt(c.program, out);
    EXPECT_EQ(c.refusedLine, report.Refused() ? report.refusals.front().line : 0) << c.program;
    if (!c.refusedLine) {
      EXPECT_EQ(c.program, out);
    }
  }
}

TEST_F(AdapterTest, LinesKeepTheirNumbersAndEnds) {
  // CR LF, a lone CR, and a last line without an end; the added '%' takes
  // the first line's end. Bytes after a NUL are never read and stay.
  const std::string program = "g0 x1\r\nG0 X2 ;a\rG0 X3\0 y 4\r\n\r\nX4"s;
  std::string out;
  const AdaptReport report = ProgramAdapter().Adapt(program, out);
  EXPECT_EQ("%\r\nG0 X1\r\nG0 X2 (a)\rG0 X3\0 y 4\r\n\r\nX4"s, out);
  EXPECT_EQ(std::vector<int32_t>{1}, report.Lines(C::LowerCase));
  EXPECT_EQ(std::vector<int32_t>{2}, report.Lines(C::SemicolonComment));
}

TEST_F(AdapterTest, ReportNamesEveryChangeAndNote) {
  const std::string program =
      "(T1 (6mm))\nG0 X1 F0 ; start\nG1 X2 F0\nG4 P1\nX3\nX4\nG28\nX5\n(long\ncomment)\nM30\n%\n";
  std::string out;
  const AdaptReport report = ProgramAdapter().Adapt(program, out);
  EXPECT_EQ((std::vector<std::string>{
                "added '%' line: line numbers shift by one",
                "1 ';' comments -> ( ), first line 2",
                "1 comments with nested parentheses flattened, first line 1",
                "1 F0 removed from rapid moves, first line 2",
                "1 axis-only lines after a line that ends the modal motion given their motion code: line 8",
                "1 axis-only lines after a dwell given their motion code: line 5",
                "note: F0 left in place where no rapid move is (the program gives no feed there): line 3",
                "note: the closing '%' on line 12 is kept: the program ends before it, on line 11",
                "note: 1 comments run over several lines (not read), first lines 9 to 10",
            }),
            report.Text());
  // The load error of the F0 on the feed line is not one adaptation repairs.
  EXPECT_FALSE(report.Repairs(-1008, 3));
  EXPECT_TRUE(report.Repairs(-1008, 2));
  EXPECT_FALSE(ProgramAdapter::MayRepair(-1040));
}

TEST_F(AdapterTest, AdaptedCopyNamesNoExistingFile) {
  const std::string dir = testsupport::MakeTempDir("copies");
  EXPECT_EQ(dir + "/part_adapted.nc", ProgramAdapter::AdaptedCopyName(dir + "/part.nc"));
  testsupport::WriteFile(dir + "/part_adapted.nc", "");
  EXPECT_EQ(dir + "/part_adapted2.nc", ProgramAdapter::AdaptedCopyName(dir + "/part.nc"));
  EXPECT_EQ(dir + "/v1.0/part_adapted", ProgramAdapter::AdaptedCopyName(dir + "/v1.0/part"));
}

}  // namespace
