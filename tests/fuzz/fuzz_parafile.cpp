// Writes arbitrary bytes as a parameter file, opens it in one of the three
// modes and reads it the ways the system does: section walk, key search,
// typed getters, the tool table and the machine parameter table. Bad content
// must read as defaults; crashes, hangs and leaks are not allowed.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include <unistd.h>

#include "machine/machineconfig.h"
#include "machine/tooltable.h"
#include "params/parafile.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

std::string FilePath() { return fuzzsupport::ScratchDir("parafile") + "/fuzz.txt"; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzsupport::QuietOnce(false);
  if (size == 0) return 0;
  const int mode = data[0] % 3;
  {
    FILE* f = std::fopen(FilePath().c_str(), "wb");
    if (!f) return 0;
    std::fwrite(data + 1, 1, size - 1, f);
    std::fclose(f);
  }
  ParaFile file(mode);
  file.Open(FilePath());
  // Keys taken from the input itself hit the matching paths.
  std::string keys[4] = {"numTools", "Resolution_00", "#100", "Axis#1"};
  for (size_t i = 1; i < size && i < 64; ++i) {
    if (data[i] == '=') {
      keys[3] = std::string(reinterpret_cast<const char*>(data + 1), i - 1);
      break;
    }
  }
  int sections = 0;
  for (std::string s = file.NextSection(); !s.empty() && sections < 10000; s = file.NextSection(), ++sections) {
    for (std::string l = file.NextLine(); !l.empty(); l = file.NextLine()) {
    }
    for (const std::string& k : keys) {
      double d = 0;
      int n = 0;
      bool b = false;
      std::string str;
      file.GetDouble(k, d);
      file.GetInt(k, n);
      file.GetBool(k, b);
      file.GetString(k, str);
      file.GetAxisName(k, n);
      double v4[4];
      file.GetFloat4(k, v4);
    }
  }
  file.Discard();
  file.Open(FilePath());
  ToolTable tools;
  tools.Load(file);
  ToolRecord r;
  tools.FindTool(1, -1, r);
  MachineConfig config;
  config.Load(file);
  file.SetDouble(keys[3], 1.5);
  file.RemoveKey(keys[3]);
  tools.Save(file);
  file.Discard();
  return 0;
}
