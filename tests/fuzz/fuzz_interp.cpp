// Arbitrary bytes as an operator command text (MDI, several lines allowed),
// interpreted against a front end that only counts. The first byte picks a
// view or a machine back end. Errors are expected; crashes, hangs and leaks
// are not. Every folder points into a private temporary folder.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "folders.h"
#include "gcodeparser.h"
#include "machineconfig.h"
#include "machinestate.h"
#include "messagelist.h"

namespace {

class CountingFrontEnd : public FrontEnd {
 public:
  explicit CountingFrontEnd(int32_t kind) : kind(kind) {}
  void AddLine(const Coordinates&, double, bool, const Condition*, bool) override { ++calls; }
  void AddArc(const Coordinates&, const double*, double, int32_t, bool) override { ++calls; }
  void AddCmd(const StateChange&) override { ++calls; }
  int32_t GetBackEndKind() override { return kind; }
  int32_t kind;
  long calls = 0;
};

class QuietList : public MessageList {
 public:
  void Post(const std::string&) override { ++count; }
  void Clear() override {}
  long count = 0;
};

QuietList quiet;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char tmpl[] = "/tmp/quorvane-fuzz-interp-XXXXXX";
  const char* dir = mkdtemp(tmpl);
  const std::string d = dir ? dir : "/tmp";
  Folders::SetParameters(d);
  Folders::SetMacros(d);
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
  GCodeParser parser(&front, &actState, text);
  parser.ExecuteProgram(true, 0);
  return 0;
}
