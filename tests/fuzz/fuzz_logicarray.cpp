// Arbitrary bytes as the gate list: the reader takes the lines it can and
// reports the others; what it took must survive writing and reading back
// unchanged and evaluate over a few poll cycles. Crashes, hangs and leaks
// are not allowed.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "base/logging.h"
#include "io/logicarray.h"

namespace {

struct NoisySignals : LogicSignals {
  uint32_t state = 0x9E3779B9u;
  bool Next() {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return state & 1;
  }
  bool Input(int) override { return Next(); }
  bool Output(int) override { return Next(); }
  void SetOutput(int, bool) override {}
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool quiet = (SetLogLevel(0), SetLogMask(0), true);
  (void)quiet;
  const std::string text(reinterpret_cast<const char*>(data), size);
  LogicArray logic;
  const auto errors = logic.SetText(text);
  for (const LogicLineError& e : errors)
    if (e.reason.empty() || e.line < 1) std::abort();
  const std::string written = logic.Text();
  LogicArray back;
  const auto backErrors = back.SetText(written);
  if (!backErrors.empty() || back.Text() != written) {
    std::fprintf(stderr, "written:\n%s\nread back:\n%s\n", written.c_str(), back.Text().c_str());
    for (const LogicLineError& e : backErrors) std::fprintf(stderr, "line %d: %s\n", e.line, e.reason.c_str());
    std::abort();
  }
  NoisySignals signals;
  for (int i = 0; i < 4; ++i) logic.Execute(signals);
  return 0;
}
