// The macro language against the recording front end: blocks, loops, jumps,
// calls of labels and files, PRINT and its number form, the log file and the
// operator dialogs, plus whole macro programs (tool change, probing loop,
// subprogram library).
#include "interpreter/macroparser.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "common/interpreter_fixture.h"
#include "base/logging.h"
#include "interpreter/operatordialog.h"
#include "common/paramfolder.h"

using testsupport::RecordingBackEnd;
using Strings = std::vector<std::string>;

namespace {

class MacroTest : public testsupport::InterpreterTest<MacroParser> {
 protected:
  void SetUp() override {
    InterpreterTest::SetUp();
    // Present but empty, so the messages hold only what the programs print.
    for (const char* name : {"PrgStart.txt", "PrgEnd.txt", "PrgStop.txt"}) Macro(name, "%\n");
  }
  void TearDown() override {
    InterpreterTest::TearDown();
    SetOperator(nullptr);
    MacroParser::SetPrintDecimals(3);
  }
};

// ---------------------------------------------------------------------------
// Blocks, loops and jumps: the moves that remain

TEST_F(MacroTest, ControlFlow) {
  Macro("stop.txt", "%\nG0 X1\nEXIT\nG0 X2\n");
  const std::string ifElse = "IF #1=1 THEN\nG0 X1\nELSE\nG0 X2\nENDIF\nG0 Y3\n";
  const struct {
    std::string program;
    std::vector<double> xs;
    int32_t state = RUN_RUNNING;
  } cases[] = {
      {"#1=1\n" + ifElse, {1, 1}}, {"#1=2\n" + ifElse, {2, 2}},
      // The inner ELSE belongs to the inner IF and must not end the search.
      {"#1=0\nIF #1=1 THEN\nIF #1=0 THEN\nG0 X5\nELSE\nG0 X6\nENDIF\nG0 X7\n"
       "ELSE\nN20 IF #1=0 THEN\nG0 X8\nN30 ENDIF\nENDIF\nG0 X9\n",
       {8, 9}},
      {"#1=0\nREPEAT=3\n#1=#1+1\nG0 X=#1\nNEXT\nG0 Y1\n", {1, 2, 3, 3}},
      {"REPEAT=2.6\nG0 X1\nNEXT\n", {1, 1, 1}}, {"REPEAT=1\nNEXT\nREPEAT=2\nG0 X4\nNEXT\n", {4, 4}},
      {"REPEAT=0\nG0 X1\nN5 NEXT\nG0 X2\n", {2}},  {"REPEAT=-3\nG0 X1\nN5 NEXT\nG0 X2\n", {2}},
      {"REPEAT=0.4\nG0 X1\nN5 NEXT\nG0 X2\n", {2}}, {"SKIP there\nG0 X1\nthere\nG0 X2\n", {2}},
      {"#1=#1+1\nIF #1<3 THEN\nREWIND\nENDIF\nG0 X=#1\n", {3}},  // REWIND restarts after the first line
      {"QUIET G0 X5\nG0 X1\n", {1}},
      {"CALL \"stop.txt\"\nG0 X3\n", {1}, RUN_EXIT},  // EXIT in a called file ends the caller
      // Letter variables are written by words only; X reads the absolute target.
      {"#30=5\n#1=5\nG0 X=#1+#30\nG0 X10\nG91 G0 X5\nG90 G0 X=X*2\n", {5, 10, 15, 30}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.state, Run(c.program)) << c.program << Report();
    EXPECT_EQ(c.xs, Xs()) << c.program;
    EXPECT_TRUE(parser->IfStack().empty()) << c.program;
    EXPECT_EQ(0, parser->RepeatLine()) << c.program;
  }
}

TEST_F(MacroTest, ErrorsWithTheirCodes) {
  Macro("a.txt", "%\n");
  const struct {
    const char* body;
    int32_t code;
    int32_t line = 0;
  } cases[] = {
      {"IF #1=1 THEN X10\nENDIF\n", -1033, 2}, {"IF #1=0 THEN\n#2=1\nENDIF G0\n", -1033, 4}, {"IF #1=1\n", -1025, 2},
      {"ELSE\n", -1049, 2}, {"ENDIF\n", -1050, 2}, {"G0 X1\nIF #1=1 THEN\nG0 X2\n", -1051, 3},
      {"IF #1=1 THEN\nELSE\nELSE\nENDIF\n", -1049, 4}, {"IF #1=0 THEN\nELSE\nG0 X1\n", -1051, 3},
      {"REPEAT=2\nREPEAT=2\nNEXT\nNEXT\n", -1054}, {"NEXT\n", -1055}, {"REPEAT=0\nG0 X1\n", -1056},
      {"REPEAT=2 X1\nNEXT\n", -1053}, {"REPEAT=2\nNEXT G0\n", -1053}, {"REPEAT=0\nNEXT X1\n", -1053},
      {"SKIP nowhere\nG0 X1\n", -1030}, {"SKIP there X1\nthere\n", -1035}, {"SKIP\n", -1027}, {"REWIND G0\n", -1035},
      {"#O12=1 G0 X1\n", -1048}, {"G0 X1 UNTIL #1=1\n", -1032}, {"X1 UNTIL #1=1\n", -1032},
      {"CALL \"nothere.txt\"\n", -1058}, {"CALL \"a.txt\" M3\n", -1034}, {"CALL a.txt\n", -1026}, {"M99\n", -1061},
      {"CALL \"a.txt\" PRINT \"x\"\n", -1034}, {"PRINT \"a\" G0\n", -1004}, {"G0 X1 PRINT \"a\"\n", -1059},
      {"PRINT \"\\q\"\n", -1004}, {"PRINT \"\\x4G\"\n", -1006}, {"PRINT \"abc\n", -1013}, {"PRINT>2;\"a\"\n", -1067},
      {"PRINT>1 \"a\"\n", -1069}, {"PRINT>1;\"a\"\n", -1064}, {"PRINT \"a\" \"b\"\n", -1004},
      {"LOGFILE \"%appdata%/x.txt\";2\n", -1008}, {"LOGFILE \"%appdata%/x.txt\" G0\n", -1077},
      {"LOGFILE \"%appdata%/no/such/x.txt\"\n", -1064}, {"ASKBOOL \"x\" X1\n", -1060},
      {"ASKBOOL \"a\" ASKINT \"b\"\n", -1060}, {"ASKVAL \"v\"\n", -1075}, {"ASKBOOL \"a\" ASKBOOL \"b\"\n", -1060},
      {"ASKMULTI \"t\";\"x\";\"%f\";\"%d\" I11\n", -1008}, {"ASKMULTI \"t\";\"x\";\"%s\";\"%d\" I1\n", -1070},
      {"ASKMULTI \"t\";\"x\" \"%f\";\"%d\"\n", -1069},
      {"ASKMULTI \"t\";\"x\";\"%f\";\"%d\" I1\nASKVAL \"v\" P12\n", -1009},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(RUN_ERROR, Run(c.body)) << c.body;
    EXPECT_EQ(c.code, Code()) << c.body;
    if (c.line) { EXPECT_EQ(c.line, parser->errorLine) << c.body; }
  }
}

// ---------------------------------------------------------------------------
// UNTIL

TEST_F(MacroTest, UntilTravelsWithTheMoveOrTheDwell) {
  // Looks up the dwell's condition while the interpreter waits for the machine.
  struct Dwelling : RecordingBackEnd {
    void WaitForMachine() override {
      RecordingBackEnd::WaitForMachine();
      const auto cmds = Cmds();
      if (handle || cmds.empty() || cmds.back().change.code != 'G' || cmds.back().change.num != 4) return;
      handle = cmds.back().change.extra;
      if (const Condition* c = UntilHandle::Find(handle)) seen = *c;
    }
    uint32_t handle = 0;
    Condition seen;
  };
  auto machine = std::make_unique<Dwelling>();
  Dwelling* m = machine.get();
  EXPECT_EQ(RUN_RUNNING,
            RunFileOn(std::move(machine), Program("u.nc", "%\nG1 Z-10 F100 UNTIL #I3=1\nG4 P1 UNTIL #I7=0\n")));
  ASSERT_EQ(1u, m->seen.size());
  EXPECT_EQ(ConditionTerm::INPUT, m->seen[0].kind);
  EXPECT_EQ(7, m->seen[0].number);
  EXPECT_EQ(0.0, m->seen[0].value);
  EXPECT_EQ(nullptr, UntilHandle::Find(m->handle));  // released after the line
  EXPECT_EQ(0, UntilHandle::Count());
  // A plain dwell carries no condition.
  Run("G4 P1\n");
  EXPECT_EQ(0u, LastCmd('G', 4, 4).extra);
  // A preview cuts the move at the limit.
  Run("G0 X500 Y0\nG1 X900 Y40 F600 UNTIL #5=1\n", BACKEND_NONE);
  ASSERT_EQ(2u, Lines().size());
  EXPECT_TRUE(Lines()[1].hasUntil);
  EXPECT_NEAR(600.0, Lines()[1].end[0], 1e-9);
  EXPECT_NEAR(10.0, Lines()[1].end[1], 1e-9);
}

// ---------------------------------------------------------------------------
// Calls

// Ten nested calls run. An eleventh (-1031), a missing label or an error in
// a macro is reported by the caller (-110) at its line, with the file's own
// report below.
TEST_F(MacroTest, TenNestedCallsRunAndTheEleventhFails) {
  for (int i = 1; i <= 10; ++i)
    Macro("n" + std::to_string(i) + ".txt",
          i < 10 ? "%\nCALL \"n" + std::to_string(i + 1) + ".txt\"\n" : std::string("%\nG0 X10\n"));
  EXPECT_EQ(RUN_RUNNING, Run("CALL \"n1.txt\"\n"));
  EXPECT_EQ((std::vector<double>{10}), Xs());
  Macro("n10.txt", "%\nG0 X10\nCALL \"n11.txt\"\n");
  Macro("n11.txt", "%\nG0 X11\n");
  Macro("x.txt", "%\nother\nM99\n");
  Macro("M3.txt", "%\n\nG1 X1 G0 Y1\n");
  const struct {
    const char* program;
    std::vector<double> xs;
    const char *report, *file, *inner, *text;  // the failing line's text, when shown
  } cases[] = {
      {"G0 X0\nCALL \"n1.txt\"\n", {0, 10}, "main program: line 3 column 0", "/n10.txt",
       "max. subprogram nesting level exceeded line 3 column 0", "CALL \"n11.txt\""},
      {"G0 X1\n  CALL \"sub@x.txt\"\n", {1}, "main program: line 3 column 2", "/x.txt",
       "jump label not found in file line 0 column 0", nullptr},
      // from a G-code macro
      {"G0 X1\nS100 M3\n", {1}, "main program: line 3 column 5", "/M3.txt",
       "line contains multiple G-commands line 3 column 6", "G1 X1 G0 Y1"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(RUN_ERROR, Run(c.program)) << c.program;
    EXPECT_EQ(-110, Code()) << c.program;
    EXPECT_EQ(c.report, Report()) << c.program;
    EXPECT_EQ(c.xs, Xs()) << c.program;
    EXPECT_TRUE(messages.Has("Error in subprogram/macro: " + macroDir + c.file)) << c.program;
    EXPECT_EQ(1, messages.Count(c.inner)) << c.program;
    if (c.text) { EXPECT_EQ(1, messages.Count(c.text)) << c.program; }
  }
}

// A file in the macro folder comes before one of the same name in the
// program folder. The caller gets its modes back; the spindle macro gets the
// speed in #0.
TEST_F(MacroTest, CalledFilesAndTheirCaller) {
  Program("local.txt", "%\nG0 X1\n");
  EXPECT_EQ(RUN_RUNNING, Run("CALL \"local.txt\"\n"));
  EXPECT_EQ((std::vector<double>{1}), Xs());
  Macro("local.txt", "%\nG0 X2\n");
  Run("CALL \"local.txt\"\n");
  EXPECT_EQ((std::vector<double>{2}), Xs());
  Macro("lib.txt", "%\ninc\nG91 G55\nG0 X1\nM99\n");
  Macro("M3.txt", "%\n#101=#0\n");
  EXPECT_EQ(RUN_RUNNING, Run("G54 G0 X1\nCALL \"inc@lib.txt\"\nG0 X5\nM3 S1000\n"));
  EXPECT_EQ(0, LastCmd('G', 91, 91).flag);
  EXPECT_EQ(54, LastCmd('G', 53, 59).num);
  EXPECT_EQ(1.0, parser->GetVar(909));
  EXPECT_EQ(5.0, Xs().back());
  EXPECT_EQ(1000.0, parser->GetVar(101));
}

// ---------------------------------------------------------------------------
// PRINT

TEST(PrintNumber, FollowsTheRoundingRule) {
  const struct {
    double v;
    int d;
    const char* text;
  } cases[] = {
      {2, 3, "2.0"}, {2.5, 3, "2.5"}, {1.23456, 3, "1.235"}, {1.9996, 3, "2.0"}, {1.9994, 3, "1.999"},
      {-1.5, 3, "-1.5"}, {-0.0004, 3, "-0.0"}, {99.96, 1, "100.0"}, {2.25, 1, "2.3"}, {0.05, 1, "0.1"},
      {1.05, 2, "1.05"}, {0.001, 3, "0.001"}, {0.0005, 3, "0.001"}, {12.6, 0, "13.0"}, {0.1, 6, "0.1"},
      {4294967295.0, 0, "4294967295.0"}, {4294967296.0, 3, "OVFL"}, {-5e9, 3, "-OVFL"}, {1e300, 2, "OVFL"},
      {0, 3, "0.0"}, {123.000001, 9, "123.000001"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.text, MacroParser::FormatNumber(c.v, c.d)) << c.v << " " << c.d;
}

// Away from exact ties the rule agrees with printf rounding once trailing
// zeros are cut; random values of every magnitude probe the carries.
TEST(PrintNumber, AgreesWithPrintfAwayFromTies) {
  std::mt19937_64 rng(12345);
  for (int i = 0; i < 20000; ++i) {
    const double v = std::uniform_real_distribution<double>(-1, 1)(rng) * std::pow(10.0, int(rng() % 14) - 4);
    const int d = static_cast<int>(rng() % 7);
    if (std::fabs(v) > 4294967295.0) continue;
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f%s", d, std::fabs(v), d ? "" : ".0");
    std::string expect = buf;
    while (expect.back() == '0' && expect[expect.size() - 2] != '.') expect.pop_back();
    ASSERT_EQ((v < 0 ? "-" : "") + expect, MacroParser::FormatNumber(v, d)) << v << " " << d;
  }
}

TEST_F(MacroTest, PrintBuildsTheMessageAndCarriesItsDecimals) {
  EXPECT_EQ(RUN_RUNNING, Run("#1=2\nPRINT \"a=\";#1\nPRINT \"x\" ; #1*3 ;\"y\"\n"
                            "PRINT \"a\\x41\\\"\\\\\\n\\r\\f\xE9\"\n"));
  EXPECT_EQ((Strings{"a=2.0", "x6.0y", "aA\"\\\n\r\f?"}), messages.lines);
  Run("PRINT %1;3.14159\nPRINT 2.25\n");
  EXPECT_EQ((Strings{"3.1", "2.3"}), messages.lines);
  Run("PRINT 1.96\n");  // the decimals persist across runs
  EXPECT_EQ((Strings{"2.0"}), messages.lines);
  EXPECT_EQ(1, MacroParser::PrintDecimals());
  // CLS clears the operator's messages on the machine; a preview neither
  // prints nor clears.
  messages.lines = {"old"};
  EXPECT_EQ(RUN_RUNNING, RunFile(Program("v.nc", "%\nPRINT \"a\"\nCLS\n"), BACKEND_NONE));
  EXPECT_EQ((Strings{"old"}), messages.lines);
  RunFile(Program("m.nc", "%\nCLS\nPRINT \"new\"\n"));
  EXPECT_EQ((Strings{"new"}), messages.lines);
}

// ---------------------------------------------------------------------------
// LOGFILE ("%appdata%" is the test's own parameter folder)

TEST_F(MacroTest, LogFileReceivesPrintLines) {
  const std::string path = Folders::Parameters() + "/probe.txt";
  EXPECT_EQ(RUN_RUNNING, Run("LOGFILE \"%appdata%/probe.txt\"\nPRINT>1;\"v=\";1.5\nPRINT>1 ; 2\n"));
  EXPECT_FALSE(parser->LogFileOpen());
  EXPECT_EQ("v=1.5\n2.0\n", testsupport::ReadFile(path));
  Run("LOGFILE \"%appdata%/probe.txt\";1\nPRINT>1;\"more\"\n");
  EXPECT_EQ("v=1.5\n2.0\nmore\n", testsupport::ReadFile(path));
  Run("LOGFILE \"%appdata%/probe.txt\" ; 0\nPRINT>1;\"new\"\n");
  EXPECT_EQ("new\n", testsupport::ReadFile(path));
  // A preview opens nothing.
  EXPECT_EQ(RUN_RUNNING, Run("LOGFILE \"%appdata%/view.txt\"\n", BACKEND_NONE));
  EXPECT_EQ("", testsupport::ReadFile(Folders::Parameters() + "/view.txt"));
  // Called files write to the caller's log file and cannot open another.
  Macro("log.txt", "%\nPRINT>1;\"from macro\"\nLOGFILE \"%appdata%/b.txt\"\n");
  EXPECT_EQ(RUN_ERROR, Run("LOGFILE \"%appdata%/a.txt\"\nCALL \"log.txt\"\n"));
  EXPECT_EQ(-110, Code());
  EXPECT_TRUE(messages.Has("Logfile is already open line 3 column 25"));
  EXPECT_EQ("from macro\n", testsupport::ReadFile(Folders::Parameters() + "/a.txt"));
}

// ---------------------------------------------------------------------------
// Operator dialogs

TEST_F(MacroTest, AskStoresTheAnswerInZero) {
  ScriptedOperator op("# answers\n\nno\n yes \ncancel\n42\n2.6\ncancel\nabc\n");
  SetOperator(&op);
  EXPECT_EQ(RUN_RUNNING, Run("ASKBOOL \"Go on?\" I2\n#101=#0\nASKBOOL \"Again?\" I2\n#102=#0\nASKBOOL \"Last\"\n"));
  EXPECT_EQ(AskDialog::kNo, parser->GetVar(101));
  EXPECT_EQ(AskDialog::kYes, parser->GetVar(102));
  EXPECT_EQ(AskDialog::kCancel, parser->GetVar(0));
  EXPECT_EQ(3, CountCmd('M', kAskDialogMCode));
  EXPECT_TRUE(messages.Has("ASK ASKBOOL \"Please confirm\" \"Go on?\" [Yes/No/Cancel] -> no"));
  EXPECT_TRUE(messages.Has("ASK ASKBOOL \"Please confirm\" \"Last\" [OK/Cancel] -> cancel"));
  // Numbers start from #0 and keep their limits; Cancel and an answer that is
  // not a number keep the value; past the script's end the default answers.
  EXPECT_EQ(RUN_RUNNING, Run("#0=5\nASKINT \"Count\" I1 J10\n#101=#0\nASKINT \"n\"\n#102=#0\nASKFLT \"f\"\n"
                            "#103=#0\nASKFLT \"g\"\n#104=#0\nASKBOOL \"end\" I2\n"));
  EXPECT_EQ((std::vector<double>{10, 3, 3, 3, AskDialog::kYes}),
            (std::vector<double>{parser->GetVar(101), parser->GetVar(102), parser->GetVar(103), parser->GetVar(104),
                                 parser->GetVar(0)}));
  EXPECT_TRUE(messages.Has("ASK ASKINT \"Enter number\" \"Count\" [1..10] value=5 -> 10"))
      << testing::PrintToString(messages.lines);
  EXPECT_TRUE(messages.Has("ASK ASKFLT \"Enter number\" \"g\" value=3 -> 3"));
  EXPECT_EQ(0u, op.Remaining());
  // A preview asks nobody: #0 and the queue stay as they were.
  ScriptedOperator previewOp("no\n");
  SetOperator(&previewOp);
  EXPECT_EQ(RUN_RUNNING, Run("#0=4\nASKBOOL \"x\" I2\n", BACKEND_NONE));
  EXPECT_EQ(4.0, parser->GetVar(0));
  EXPECT_EQ(0, CountCmd('M', kAskDialogMCode));
  EXPECT_EQ(1u, previewOp.Remaining());
  // ASKMULTI is queued with its last field, after the move before that.
  ScriptedOperator multiOp("12.5, 3\n");
  SetOperator(&multiOp);
  EXPECT_EQ(RUN_RUNNING, Run("P1=7\nASKMULTI \"Setup\";\"Values\";\"%.2f\";\"%d\" I2\nASKVAL \"Depth\" I0 J50\n"
                            "G0 X1\nASKVAL \"Passes\"\n"));
  EXPECT_EQ(12.5, parser->GetVar(56));
  EXPECT_EQ(3.0, parser->GetVar(57));
  EXPECT_EQ(1, CountCmd('M', kAskDialogMCode));
  EXPECT_TRUE(messages.Has(
      "ASK ASKMULTI \"Setup\" \"Values\" | P0 \"Depth\" [0..50] value=0 | P1 \"Passes\" value=7 -> 12.5 3"))
      << testing::PrintToString(messages.lines);
  EXPECT_LT(IndexOfCall("AddLine"), IndexOfCall("AddCmd M1000"));
}

// ---------------------------------------------------------------------------
// Whole macro programs

TEST_F(MacroTest, ToolChangeMacroWithPreviewAndMachineSections) {
  AddTool(1, 10);
  AddTool(2, 20);
  GetMachineConfig().toolChangeMode = 1;
  Macro("M6.txt",
        "%\n(machine: park, swap, confirm)\nIF #950=0 THEN\nPRINT \"unload only\"\n#940=0\nELSE\n"
        "G0 Z-1\nPRINT \"change to T\";#950\n#940=1\nENDIF\nM99\n"
        "Simulation\nG0 Z-2\n#940=1\nM99\n");
  EXPECT_EQ(RUN_RUNNING, Run("G0 X5\nT2 M6\nG0 X6\n"));
  EXPECT_TRUE(messages.Has("change to T2.0"));
  EXPECT_EQ((std::vector<double>{0, -1, -1}), Xs(2));
  EXPECT_EQ(2.0, parser->GetVar(920));
  EXPECT_EQ(2, parser->State().GetCurrTool());

  EXPECT_EQ(RUN_RUNNING, Run("G0 X5\nT1 M6\nG0 X6\n", BACKEND_NONE));
  EXPECT_EQ((std::vector<double>{0, -2, -2}), Xs(2));
  EXPECT_TRUE(messages.lines.empty());
}

// A machine that lets the current block finish: the stop requested while
// the move to Z-1 runs shows as the deferred-break bit. The called file runs
// to its end, the caller stops; after a tool change the tool is confirmed.
TEST_F(MacroTest, DeferredBreakLetsTheCalledFileFinish) {
  class DeferringMachine : public RecordingBackEnd {
   public:
    void AddLine(const Coordinates& e, double f, bool r, const Condition* u, bool k) override {
      RecordingBackEnd::AddLine(e, f, r, u, k);
      if (e[2] == -1.0) m_flags.fetch_or(BackEnd::kDeferredBreak);
    }
  };
  const int32_t mask = GetLogMask();
  SetLogMask(LOGCAT_INTERPRETER);
  testsupport::WxLogCapture log;
  Macro("lib.txt", "%\nsub\nG91\nG0 Z-1\nG0 X2\nM99\n");
  EXPECT_EQ(RUN_ERROR, RunFileOn(std::make_unique<DeferringMachine>(),
                                 Program("d.nc", "%\nG90\nCALL \"sub@lib.txt\"\nG0 X50\n")));
  SetLogMask(mask);
  EXPECT_EQ(ERR_USER_BREAK, Code());
  EXPECT_TRUE(log.Saw("ExecuteSubPrg() deferred Break"));
  EXPECT_EQ((std::vector<double>{0.0, 2.0}), Xs());
  EXPECT_EQ(0, LastCmd('G', 91, 91).flag);  // absolute again before the stop
  for (int n : {1, 2, 3}) AddTool(n);
  GetMachineConfig().toolChangeMode = 1;
  Macro("M6.txt", "%\nG0 Z-1\n#950=3\n#940=1\nG0 Z0\nM99\n");  // the changer could only fetch tool 3
  EXPECT_EQ(RUN_ERROR, RunFileOn(std::make_unique<DeferringMachine>(), Program("t.nc", "%\nT2 M6\nG0 X9\n")));
  EXPECT_EQ(ERR_USER_BREAK, Code());
  EXPECT_EQ((std::vector<double>{-1, 0}), Xs(2));
  EXPECT_EQ(3.0, LastCmd('#', 920, 920).arg);
  EXPECT_EQ(3.0, parser->GetVar(920));
}

TEST_F(MacroTest, ProbingStyleLoop) {
  EXPECT_EQ(RUN_RUNNING, Run("#1=0\n#2=0\n#O12=1\nREPEAT=4\n#1=#1+1\nG1 X=#1*10 F600\nG1 Z-5 F100 UNTIL #I1=1\n"
                            "IF #1=2 THEN\nPRINT \"half way\"\nELSE\n#2=#2+1\nENDIF\nG0 Z0\nNEXT\n"
                            "#O12=0\nPRINT \"done \";#1;\" others \";#2\n"));
  EXPECT_EQ((Strings{"half way", "done 4.0 others 3.0"}), messages.lines);
  EXPECT_EQ(2, CountCmd('O', 12));  // the probe's output on and off again
  EXPECT_EQ(0, LastCmd('O', 12, 12).flag);
  int untils = 0;
  for (const auto& l : Lines()) untils += l.hasUntil;
  EXPECT_EQ(4, untils);
  EXPECT_EQ(12u, Lines().size());
}

// The delivered macros cut the same in G20 as in G21 (the inch programs
// give every length as mm / 25.4, feeds in inch per minute): cycles and the
// tool change run by the interpreter, labels of the libraries by CALL.
TEST_F(MacroTest, DeliveredMacrosCutTheSameInInchAndMillimetre) {
  Folders::SetMacros(std::string(QUORVANE_SOURCE_DIR) + "/examples/macros");
  AddTool(2, 20);
  GetMachineConfig().toolChangeMode = 1;
  for (AxisParams& axis : GetMachineConfig().axis) axis.minPosition = -500, axis.maxPosition = 500;
  const struct { const char *what, *mm, *inch; } cases[] = {
      // Two holes: the second starts from the retract plane, not from the depth.
      {"G81", "G0 X0 Y0 Z12.7\nG81 X25.4 Y50.8 Z-2.54 R2.54 F50.8\nX50.8\nG80\n",
       "G0 X0 Y0 Z0.5\nG81 X1 Y2 Z-0.1 R0.1 F2\nX2\nG80\n"},
      {"tool change", "G0 X25.4 Y25.4 Z12.7\nT2\nM6\nG0 X50.8\n", "G0 X1 Y1 Z0.5\nT2\nM6\nG0 X2\n"},
      {"peck and chamfer",
       "G0 X30 Y0 Z2\n#1=-6\n#2=2.5\n#3=2\nCALL \"peck@cycles.txt\"\n#1=3\n#10=30\n#11=0\n"
       "CALL \"chamfer@cycles.txt\"\n",
       "G0 X=30/25.4 Y0 Z=2/25.4\n#1=0-6/25.4\n#2=2.5/25.4\n#3=2/25.4\nCALL \"peck@cycles.txt\"\n#1=3/25.4\n"
       "#10=30/25.4\n#11=0\nCALL \"chamfer@cycles.txt\"\n"},
      {"bore and slot",
       "G0 Z5\n#1=4\n#2=3\n#5=3\n#10=15\n#11=30\nCALL \"bore@library.txt\"\n#10=20\n#11=12\n#14=90\n"
       "CALL \"slot@library.txt\"\n",
       "G0 Z=5/25.4\n#1=4/25.4\n#2=3/25.4\n#5=3/25.4\n#10=15/25.4\n#11=30/25.4\nCALL \"bore@library.txt\"\n"
       "#10=20/25.4\n#11=12/25.4\n#14=90/25.4\nCALL \"slot@library.txt\"\n"},
  };
  using Path = std::vector<std::array<double, 6>>;  // lines: x y z feed; arcs: x y z cx cy
  const auto path = [&] {
    Path p;
    for (const auto& l : Lines()) p.push_back({0, l.end[0], l.end[1], l.end[2], l.feed, 0});
    for (const auto& a : backEnd->Arcs()) p.push_back({a.end[0], a.end[1], a.end[2], a.centre[0], a.centre[1], 1});
    return p;
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_EQ(RUN_RUNNING, Run(std::string("G21 G90 G54\n") + c.mm)) << Report();
    const Path mm = path();
    ASSERT_GT(mm.size(), 3u);
    ASSERT_EQ(RUN_RUNNING, Run(std::string("G20 G90 G54\n") + c.inch)) << Report();
    const Path in = path();
    ASSERT_EQ(in.size(), mm.size());
    for (size_t k = 0; k < mm.size(); ++k)
      for (size_t j = 0; j < 6; ++j) EXPECT_NEAR(in[k][j], mm[k][j], 1e-9) << "element " << k << " value " << j;
  }
  // The drilling in millimetres: clear of the work between the holes, 50.8 mm/min down.
  Run("G21 G90 G54\nG0 X0 Y0 Z12.7\nG81 X25.4 Y50.8 Z-2.54 R2.54 F50.8\nX50.8\n");
  const std::vector<double> z = {12.7, 12.7, 2.54, -2.54, 2.54, 2.54, 2.54, -2.54, 2.54};
  ASSERT_EQ(Xs(2).size(), z.size());
  for (size_t k = 0; k < z.size(); ++k) EXPECT_NEAR(Xs(2)[k], z[k], 1e-12) << k;
  EXPECT_NEAR(Lines()[3].feed, 50.8 / 60, 1e-12);
}

TEST_F(MacroTest, LibraryCalledFromSeveralPrograms) {
  Macro("lib.txt",
        "%\n(hole: #1 x, #2 y, #3 depth)\nhole\nG0 X=#1 Y=#2\nG1 Z=#3 F300\nG0 Z0\nM99\n"
        "square\n#10=#1\nREPEAT=4\nG1 X=#10 F600\n#10=#10+5\nNEXT\nM99\n");
  const std::string a = Program("a.nc", "%\n#1=10\n#2=20\n#3=-3\nCALL \"hole@lib.txt\"\n#1=30\nCALL \"hole@lib.txt\"\n");
  const std::string b = Program("b.nc", "%\n#1=0\nCALL \"square@lib.txt\"\n#1=1\n#2=1\n#3=-1\nCALL \"hole@lib.txt\"\n");
  EXPECT_EQ(RUN_RUNNING, RunFile(a));
  EXPECT_EQ((std::vector<double>{10, 10, 10, 30, 30, 30}), Xs());
  EXPECT_EQ((std::vector<double>{20, 20, 20, 20, 20, 20}), Xs(1));
  EXPECT_EQ((std::vector<double>{0, -3, 0, 0, -3, 0}), Xs(2));
  EXPECT_EQ(RUN_RUNNING, RunFile(b));
  EXPECT_EQ((std::vector<double>{0, 5, 10, 15, 1, 1, 1}), Xs());
}

}  // namespace
