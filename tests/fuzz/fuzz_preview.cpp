// Arbitrary bytes as a program text, interpreted with the macro language
// against the preview's recording stage: arcs of any size and tolerance,
// compensation, offsets, surface-map-free transformations. The first byte
// picks the chord tolerance. Errors are expected; crashes, hangs, leaks and
// runaway memory are not: the run is cancelled, as the operator would,
// after a budget of lines or segments. Every folder points into a private
// temporary folder.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>

#include "base/folders.h"
#include "interpreter/macroparser.h"
#include "interpreter/messagelist.h"
#include "machine/machineconfig.h"
#include "machine/machinestate.h"
#include "preview/gcodegrafic.h"

namespace {

class BudgetedGrafic : public GCodeGrafic {
 public:
  using GCodeGrafic::GCodeGrafic;
  void SetTag(int32_t tag) override {
    if (++lines > 20000) monitor.cancel = true;
    GCodeGrafic::SetTag(tag);
  }
  void AddLine(const Coordinates& end, double feed, bool rapid, const Condition* until, bool noKnife) override {
    Spend();
    GCodeGrafic::AddLine(end, feed, rapid, until, noKnife);
  }
  void AddArc(const Coordinates& end, const double centre[3], double feed, int32_t plane, bool cw) override {
    Spend();
    GCodeGrafic::AddArc(end, centre, feed, plane, cw);
  }
  BuildMonitor monitor;

 private:
  void Spend() {
    if (Path()->Moves().Size() + Path()->Programmed().Size() > 200000) monitor.cancel = true;
  }
  long lines = 0;
};

class QuietList : public MessageList {
 public:
  void Post(const std::string&) override {}
  void Clear() override {}
};

QuietList quiet;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char tmpl[] = "/tmp/quorvane-fuzz-preview-XXXXXX";
  const char* dir = mkdtemp(tmpl);
  const std::string d = dir ? dir : "/tmp";
  Folders::SetParameters(d);
  Folders::SetMacros(d);
  Folders::SetLogs(d);
  std::ofstream(d + "/M6.txt") << "%\nM99\nSimulation\nG53 G0 Z0\n#940=1\nM99\n";
  SetMessageList(&quiet);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0 || size > 4096) return 0;
  ResetMachineStateForTest();
  GetMachineConfig() = MachineConfig();
  BudgetedGrafic grafic(0.0001 * (1 + data[0]));
  grafic.SetMonitor(&grafic.monitor);
  std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
  MacroParser parser(&grafic, &actState, text);
  grafic.SetMachineState(&parser.State());
  parser.ExecuteProgram(true, 0);
  return 0;
}
