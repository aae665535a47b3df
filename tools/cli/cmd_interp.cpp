// quorvane-cli interp [--params DIR] [--macros DIR] [--view] [--answers FILE]
// FILE: runs a program through the interpreter against a recording front end
// and prints every call the interpreter makes, one line each (numbers "%.4f",
// fields separated by one blank):
//
//   LINE t=<tag> X<x> Y<y> Z<z> A<a> B<b> C<c> U<u> V<v> W<w> F<feed> R<rapid 0|1>
//   ARC t=<tag> X.. Y.. Z.. A.. B.. C.. U.. V.. W.. CX<x> CY<y> CZ<z> F<feed> P<plane> CW<0|1>
//   CMD t=<tag> <code letter> N<num> FL<flag> ARG<arg>
//   WAIT
//   MSG <text>                      (operator message list)
//   ERROR <code> <report>           (only after an error)
//   END <runState>
//
// The front end reports back-end kind 1 (the simulation: PRINT, CLS, LOGFILE
// and the ASK dialogs act); --view makes it a view (kind 0), where range
// errors are counted instead of raised. --answers FILE: the operator's answers
// to the ASK dialogs (ScriptedOperator format); each dialog prints as
// "MSG ASK <dialog> -> <answer>". --params is read, never written: the run
// works on a copy. Without --params the machine has the default configuration.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include <unistd.h>

#include "command.h"
#include "base/folders.h"
#include "interpreter/gcodeparser.h"
#include "interpreter/macroparser.h"
#include "machine/machineconfig.h"
#include "machine/machinestate.h"
#include "interpreter/messagelist.h"
#include "interpreter/operatordialog.h"
#include "params/parafile.h"
#include "machine/tooltable.h"
#include "machine/transformation.h"

namespace {

class PrintingFrontEnd : public FrontEnd {
 public:
  void AddLine(const Coordinates& end, double feed, bool rapid, const Condition*, bool) override {
    position = end;
    std::printf("LINE t=%d%s F%.4f R%d\n", m_tag, Axes(end).c_str(), feed, rapid ? 1 : 0);
  }
  void AddArc(const Coordinates& end, const double centre[3], double feed, int32_t plane, bool cw) override {
    position = end;
    std::printf("ARC t=%d%s CX%.4f CY%.4f CZ%.4f F%.4f P%d CW%d\n", m_tag, Axes(end).c_str(), centre[0], centre[1],
                centre[2], feed, plane, cw ? 1 : 0);
  }
  void AddCmd(const StateChange& c) override {
    if (planState) ExecuteStateChange(*planState, c);
    std::printf("CMD t=%d %c N%d FL%d ARG%.4f\n", m_tag, c.code ? c.code : '?', c.num, c.flag ? 1 : 0, c.arg);
  }
  void WaitForMachine() override { std::printf("WAIT\n"); }
  int32_t GetBackEndKind() override { return view ? BACKEND_NONE : BACKEND_SIMULATION; }
  // As the simulation, the machine stands where the last move ended; the
  // state changes keep the offsets that turn it into machine coordinates.
  void GetPosition(Coordinates& p) override {
    const Transformation* t = planState ? planState->GetTransformation() : nullptr;
    p = t ? t->ToMachine(position) : position;
  }
  bool view = false;
  Coordinates position;
  std::unique_ptr<MachineState> planState;

 private:
  static std::string Axes(const Coordinates& p) {
    std::string s;
    char buf[64];
    for (int i = 0; i < kAxisCount; ++i) {
      std::snprintf(buf, sizeof buf, " %c%.4f", kAxisLetters[i], p[i]);
      s += buf;
    }
    return s;
  }
};

class PrintingMessages : public MessageList {
 public:
  void Post(const std::string& text) override { std::printf("MSG %s\n", text.c_str()); }
  void Clear() override {}
};

std::string MakeTempDir() {
  char tmpl[] = "/tmp/quorvane-interp-XXXXXX";
  const char* d = mkdtemp(tmpl);
  return d ? d : "";
}

int RunInterp(const std::vector<std::string>& args) {
  std::string params, macros, file, answers;
  bool view = false;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--view") {
      view = true;
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
    std::fprintf(stderr, "usage: quorvane-cli interp [--params DIR] [--macros DIR] [--view] [--answers FILE] FILE\n");
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
  // The run may write parameter files (variables, offsets): it works in a
  // scratch folder, with a copy of --params when one is given.
  const std::string scratch = MakeTempDir();
  if (scratch.empty()) {
    std::fprintf(stderr, "cannot create a temporary folder\n");
    return 2;
  }
  if (!params.empty()) {
    std::error_code ec;
    std::filesystem::copy(params, scratch, std::filesystem::copy_options::recursive, ec);
    if (ec) {
      std::fprintf(stderr, "cannot copy parameter folder %s: %s\n", params.c_str(), ec.message().c_str());
      std::filesystem::remove_all(scratch, ec);
      return 2;
    }
  }
  Folders::SetParameters(scratch);
  Folders::SetMacros(macros.empty() ? scratch : macros);
  Folders::SetLogs(scratch);
  OpenParameterFiles();
  if (!params.empty()) {
    LoadMachineConfig();
    LoadToolTable();
  }

  PrintingMessages messages;
  SetMessageList(&messages);
  PrintingFrontEnd front;
  front.view = view;
  if (!view) {
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
      if (state == RUN_ERROR) {
        std::printf("ERROR %d %s\n", parser.errorCode, parser.ErrorReportText().c_str());
        rc = 1;
      }
      std::printf("END %d\n", state);
    }
  }
  SetMessageList(nullptr);
  SetOperator(nullptr);
  CloseParameterFiles();
  std::error_code ec;
  std::filesystem::remove_all(scratch, ec);
  return rc;
}

const CliRegistrar kRegister({"interp", "[--params DIR] [--macros DIR] [--view] [--answers FILE] FILE",
                              "run a program through the interpreter and print every front-end call", RunInterp});

}  // namespace
