// Any bytes as a frame received on an adapter, for a module that is free, for
// one with frames in flight, and during a scan. The first byte picks the case
// (and, for all but the first, makes the frame come from the module). The
// receive path must never read past the frame, crash or break its window.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "driver/src/linkframe.h"
#include "driver/src/quorvinternal.h"

namespace {

constexpr uint8_t kHostMac[6] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x01};
constexpr uint8_t kModuleMac[6] = {0x02, 0x51, 0x56, 0x00, 0x00, 0x01};

struct Harness {
  Harness() {
    nif = internal->AddDetachedAdapter("fuzz0", kHostMac);
    const char text[] = "Fuzz module\nHw V1.0\nSw V1.40";
    std::vector<uint8_t> f(22 + sizeof text - 1, 0);
    std::memcpy(f.data(), kHostMac, 6);
    std::memcpy(f.data() + 6, kModuleMac, 6);
    f[12] = 0x15;
    f[13] = 0xB3;
    linkframe::Put16(f.data() + 14, static_cast<uint16_t>(2 + sizeof text - 1));
    f[20] = sizeof text - 1;
    f[21] = 255;
    std::memcpy(f.data() + 22, text, sizeof text - 1);
    internal->quietOpen = true;
    module = internal->RegisterModule(nif, f.data(), f.size());
  }
  // Kept for the whole run: its threads stay up between inputs.
  QuorvInternal* internal = new QuorvInternal(false);
  NetInterface* nif = nullptr;
  ModuleInfo* module = nullptr;
};

Harness& H() {
  static Harness* h = new Harness();
  return *h;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  Harness& h = H();
  const int mode = data[0] % 4;
  std::vector<uint8_t> frame(data + 1, data + size);
  if (mode != 0 && frame.size() >= 12) std::memcpy(frame.data() + 6, kModuleMac, 6);
  h.module->Reset();
  if (mode == 0) {
    h.module->SetModStat(STAT_FREE);
  } else {
    h.module->SetModStat(STAT_CONNECTED);
    // Three frames in flight for the answer to acknowledge.
    const uint8_t nop[2] = {linkframe::CMD_NOP, 0};
    for (int i = 0; i < 3; ++i) h.module->SendSingle(nop, 2);
  }
  h.internal->scanCount = mode == 3 ? 1 : 0;
  h.nif->HandleFrame(frame.data(), frame.size());
  h.internal->scanCount = 0;
  return 0;
}
