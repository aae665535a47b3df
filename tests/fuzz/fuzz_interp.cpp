// Arbitrary bytes as an operator command text (MDI, several lines allowed),
// interpreted with the macro language against a front end that only counts.
// The first byte picks a view or a machine back end. A small fixed macro
// folder gives CALL, M6 and G81 something to find. Errors are expected;
// crashes, hangs and leaks are not. Programs may loop for ever by design
// (REWIND, M98 to their own label): the front end stops a run after a
// budget of lines as the operator's Stop would. Every folder points into a
// private temporary folder.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>

#include "base/folders.h"
#include "interpreter/gcodeparser.h"
#include "interpreter/macroparser.h"
#include "machine/machineconfig.h"
#include "machine/machinestate.h"
#include "interpreter/messagelist.h"

namespace {

class CountingFrontEnd : public FrontEnd {
 public:
  explicit CountingFrontEnd(int32_t kind) : kind(kind) {}
  void AddLine(const Coordinates&, double, bool, const Condition*, bool) override { ++calls; }
  void AddArc(const Coordinates&, const double*, double, int32_t, bool) override { ++calls; }
  void AddCmd(const StateChange&) override { ++calls; }
  int32_t GetBackEndKind() override { return kind; }
  void SetTag(int32_t tag) override {
    FrontEnd::SetTag(tag);
    if (++lines > kLineBudget) throw Error_t(-100);
  }
  static constexpr long kLineBudget = 20000;
  int32_t kind;
  long calls = 0;
  long lines = 0;
};

class QuietList : public MessageList {
 public:
  void Post(const std::string&) override { ++count; }
  void Clear() override {}
  long count = 0;
};

QuietList quiet;

void WriteFile(const std::string& path, const std::string& text) { std::ofstream(path) << text; }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char tmpl[] = "/tmp/quorvane-fuzz-interp-XXXXXX";
  const char* dir = mkdtemp(tmpl);
  const std::string d = dir ? dir : "/tmp";
  Folders::SetParameters(d);
  Folders::SetMacros(d);
  WriteFile(d + "/lib.txt", "(library)\nsquare\nG1 X=#0 F600\nY=#0\nX0\nY0\nM99\ndepth\n#1=#1-1\nIF #1>0 THEN\nCALL \"depth@lib.txt\"\nENDIF\nRETURN\n");
  WriteFile(d + "/M6.txt", "%\nPRINT \"tool \";#950\n#940=1\nM99\nSimulation\n#940=1\nM99\n");
  WriteFile(d + "/G81.txt", "%\nG0 X=#53 Y=#54\nG1 Z=#55 F=#35\nG0 Z=#47\nM99\nSimulation\nM99\n");
  WriteFile(d + "/PrgStart.txt", "%\n#100=#100+1\nM99\n");
  Folders::SetLogs(d);
  SetMessageList(&quiet);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0 || size > 4096) return 0;
  ResetMachineStateForTest();
  GetMachineConfig() = MachineConfig();
  GetMachineConfig().modalG53 = data[0] % 3;
  CountingFrontEnd front(data[0] & 0x80 ? BACKEND_NONE : BACKEND_MACHINE);
  std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
  MacroParser parser(&front, &actState, text);
  parser.ExecuteProgram(true, 0);
  return 0;
}
