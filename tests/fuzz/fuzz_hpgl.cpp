// Arbitrary bytes as a plotter file: the reader and the writer must neither
// crash, hang nor leak.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include <unistd.h>

#include "import/hpgl_parser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string target = "/tmp/fuzz_hpgl_" + std::to_string(getpid());
  HPGL_Parser parser;
  parser.ReadHpglText(std::string(reinterpret_cast<const char*>(data), size));
  HpglSettings s;
  s.offsetSel = size % 3;
  s.centerAbs = size & 1;
  s.withLineNumbers = size & 2;
  s.feedSel = size % 3;
  s.zSel = s.toolSel = (size >> 2) & 1;
  parser.ApplySettings(s, {});
  parser.WriteGCode(target);
  std::remove((target + ".nc").c_str());
  return 0;
}
