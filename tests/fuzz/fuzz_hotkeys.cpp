// Reads arbitrary bytes as "Hotkeys.txt" (as the main file and as an import),
// writes the table and reads the written file back. Broken entries must be
// skipped without a crash, a hang or a leak, and what was taken must come
// back unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <unistd.h>

#include "hotkeys/hotkeys.h"
#include "params/parafile.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

// Refuses every re-assignment, so the first binding of a trigger stays.
class Host : public HotkeyHost {
 public:
  BackEnd* HotkeyBackEnd() override { return nullptr; }
  void RunOperation(Op, int) override {}
  void StartJog(int, bool, int, bool, double) override {}
  void StopJog() override {}
  double SelectedJogSpeed() override { return 1; }
  bool AskYesNo(const std::string&, const std::string&) override { return false; }
  void ShowMessage(const std::string&, const std::string&) override {}
  void PostInputEvent(int, bool) override {}
};

std::string Table(const Hotkeys& k) {
  std::string out;
  for (int a = 0; a < kActionCount; ++a)
    for (const HotkeyBinding& b : *k.Bindings(a)) out += std::to_string(a) + " " + b.Text() + " " + b.character + "\n";
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzsupport::QuietOnce(true);
  const std::string& dir = fuzzsupport::ScratchDir("hotkeys");
  const std::string in = dir + "/Hotkeys.txt", out = dir + "/out.txt", params = dir + "/ParameterTable.txt";
  Host host;
  // As the main file (the oldest layout reads the parameter table, here the
  // same bytes; a converted table is written back into it) and as an
  // imported one.
  for (bool asMain : {true, false}) {
    FILE* f = std::fopen(in.c_str(), "wb");
    if (!f) return 0;
    std::fwrite(data, 1, size, f);
    std::fclose(f);
    std::remove(out.c_str());
    ParaFile file, table;
    file.Open(in);
    table.Open(in);
    ParaFile written;
    written.Open(params);
    Hotkeys first(&host);
    first.SetFiles(asMain ? &file : &written, &table);
    first.Load(false, file);
    const std::string before = Table(first);
    {
      ParaFile target;
      target.Open(out);
      if (!first.Save(true, target)) std::abort();
    }
    ParaFile back;
    back.Open(out);
    Hotkeys second(&host);
    second.SetFiles(&back, &table);
    if (!second.Load(false, back).empty()) std::abort();
    const std::string after = Table(second);
    if (before != after) {
      std::fprintf(stderr, "round trip changed the table:\n%s----\n%s", before.c_str(), after.c_str());
      std::abort();
    }
    file.Discard();
    table.Discard();
    written.Discard();
    back.Discard();
  }
  return 0;
}
