// quorvane-cli interp [--params DIR] [--macros DIR] FILE: runs a program
// through the interpreter against a printing front end (a view: no machine
// behind it) and prints every call the interpreter makes, one line each:
//
//   START <file>
//   LINE N<tag> X<x> Y<y> Z<z> [A.. W.. when not 0] F<mm/s> rapid=<0|1> [until]
//   ARC N<tag> X<x> Y<y> Z<z> CX<cx> CY<cy> CZ<cz> F<mm/s> plane=<0|1|2> cw=<0|1>
//   CMD <letter> <num> arg=<a> flag=<f>
//   WAIT
//   MSG <text>                      (operator message list)
//   END
//   RESULT ok | RESULT error <report> | RESULT range <count> <report>
//
// Numbers have three decimals. Without --params and --macros the command
// works in a temporary folder, never in the operator's own folders.
//
// --sim: the front end reports itself as the simulation instead of a view, so
// PRINT, CLS, LOGFILE and the ASK dialogs act. --answers FILE: the operator's
// answers to the ASK dialogs (ScriptedOperator format); every dialog prints
// as "MSG ASK <dialog> -> <answer>".
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include <unistd.h>

#include "command.h"
#include "folders.h"
#include "gcodeparser.h"
#include "macroparser.h"
#include "machineconfig.h"
#include "machinestate.h"
#include "messagelist.h"
#include "operatordialog.h"
#include "parafile.h"
#include "tooltable.h"
#include "transformation.h"

namespace {

class PrintingFrontEnd : public FrontEnd {
 public:
  void StartProgram(const std::string& name) override { std::printf("START %s\n", name.c_str()); }
  void EndProgram() override { std::printf("END\n"); }
  void AddLine(const Coordinates& end, double feed, bool rapid, const Condition* until, bool) override {
    position = end;
    std::printf("LINE N%d%s F%.3f rapid=%d%s\n", m_tag, Axes(end).c_str(), feed, rapid ? 1 : 0,
                until ? " until" : "");
  }
  void AddArc(const Coordinates& end, const double centre[3], double feed, int32_t plane, bool cw) override {
    position = end;
    std::printf("ARC N%d%s CX%.3f CY%.3f CZ%.3f F%.3f plane=%d cw=%d\n", m_tag, Axes(end).c_str(), centre[0],
                centre[1], centre[2], feed, plane, cw ? 1 : 0);
  }
  void AddCmd(const StateChange& c) override {
    if (planState) ExecuteStateChange(*planState, c);
    std::printf("CMD %c %d arg=%.3f flag=%d\n", c.code ? c.code : '?', c.num, c.arg, c.flag);
  }
  void WaitForMachine() override { std::printf("WAIT\n"); }
  int32_t GetBackEndKind() override { return simulation ? BACKEND_SIMULATION : BACKEND_NONE; }
  // As the simulation, the machine stands where the last move ended; the
  // state changes keep the offsets that turn it into machine coordinates.
  void GetPosition(Coordinates& p) override {
    const Transformation* t = planState ? planState->GetTransformation() : nullptr;
    p = t ? t->ToMachine(position) : position;
  }
  bool simulation = false;
  Coordinates position;
  std::unique_ptr<MachineState> planState;

 private:
  static std::string Axes(const Coordinates& p) {
    std::string s;
    char buf[64];
    for (int i = 0; i < kAxisCount; ++i) {
      if (i >= 3 && p[i] == 0) continue;
      std::snprintf(buf, sizeof buf, " %c%.3f", kAxisLetters[i], p[i]);
      s += buf;
    }
    return s;
  }
};

class PrintingMessages : public MessageList {
 public:
  void Post(const std::string& text) override { std::printf("MSG %s\n", text.c_str()); }
  void Clear() override { std::printf("MSG-CLEAR\n"); }
};

std::string MakeTempDir() {
  char tmpl[] = "/tmp/quorvane-interp-XXXXXX";
  const char* d = mkdtemp(tmpl);
  return d ? d : "";
}

int RunInterp(const std::vector<std::string>& args) {
  std::string params, macros, file, answers;
  bool sim = false;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--sim") {
      sim = true;
    } else if (args[i] == "--answers" && i + 1 < args.size()) {
      answers = args[++i];
    } else if ((args[i] == "--params" || args[i] == "--macros") && i + 1 < args.size()) {
      (args[i] == "--params" ? params : macros) = args[i + 1];
      ++i;
    } else if (!args[i].empty() && args[i][0] == '-') {
      file.clear();
      break;
    } else if (file.empty()) {
      file = args[i];
    } else {
      file.clear();
      break;
    }
  }
  if (file.empty()) {
    std::fprintf(stderr, "usage: quorvane-cli interp [--params DIR] [--macros DIR] [--sim] [--answers FILE] FILE\n");
    return 2;
  }
  std::unique_ptr<ScriptedOperator> scripted;
  if (!answers.empty()) {
    std::string error;
    if (!ScriptedOperator::FromFile(answers, scripted, error)) {
      std::fprintf(stderr, "%s\n", error.c_str());
      return 2;
    }
    SetOperator(scripted.get());
  }
  std::string scratch;
  if (params.empty() || macros.empty()) scratch = MakeTempDir();
  Folders::SetParameters(params.empty() ? scratch : params);
  Folders::SetMacros(macros.empty() ? scratch : macros);
  Folders::SetLogs(params.empty() ? scratch : params);
  if (!params.empty()) {
    OpenParameterFiles();
    LoadMachineConfig();
    LoadToolTable();
  }

  PrintingMessages messages;
  SetMessageList(&messages);
  PrintingFrontEnd front;
  front.simulation = sim;
  if (sim) {
    front.planState = std::make_unique<MachineState>(actState, ".interp");
    front.position = front.planState->progPos;
  }
  int rc = 0;
  {
    MacroParser parser(&front, &actState);
    if (parser.NewMainFile(file) == 0) {
      std::fprintf(stderr, "cannot open %s\n", file.c_str());
      rc = 2;
    } else {
      const int32_t state = parser.ExecuteProgram(false, 0);
      if (state == RUN_ERROR && parser.RangeErrorCount() > 0 &&
          (parser.errorCode == ERR_NUMBER_RANGE || parser.errorCode == -1062)) {
        std::printf("RESULT range %d %s\n", parser.RangeErrorCount(), parser.ErrorReportText().c_str());
        rc = 1;
      } else if (state == RUN_ERROR) {
        std::printf("RESULT error %s\n", parser.ErrorReportText().c_str());
        rc = 1;
      } else {
        std::printf("RESULT ok\n");
      }
    }
  }
  SetMessageList(nullptr);
  SetOperator(nullptr);
  if (!scratch.empty()) {
    const std::string cmd = "rm -rf '" + scratch + "'";
    if (std::system(cmd.c_str()) != 0) std::fprintf(stderr, "could not remove %s\n", scratch.c_str());
  }
  return rc;
}

const CliRegistrar kRegister({"interp", "[--params DIR] [--macros DIR] [--sim] [--answers FILE] FILE",
                              "run a program through the interpreter and print every front-end call", RunInterp});

}  // namespace
