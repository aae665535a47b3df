// quorvane-cli modules: scans every adapter for controller modules and lists
// them, the first thing to run when wiring a machine.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "command.h"
#include "driver/src/linkframe.h"
#include "driver/src/quorvdriver.h"
#include "driver/src/quorvinternal.h"

namespace {

const char* const kUsage = "[--scan-ms N]";

int UsageError(const std::string& why) {
  std::fprintf(stderr, "quorvane-cli modules: %s\nusage: quorvane-cli modules %s\n", why.c_str(), kUsage);
  return 2;
}

const char* StateText(int32_t state) {
  switch (state) {
    case STAT_DOWN: return "down";
    case STAT_BROKEN: return "broken";
    case STAT_FREE: return "free";
    case STAT_CONNECTED: return "connected";
    case STAT_UPDATE: return "update";
    case STAT_RESCOM: return "answered";
    default: return "unknown";
  }
}

int RunModules(const std::vector<std::string>& args) {
  long scanMs = 0;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--scan-ms" && i + 1 < args.size()) {
      char* end = nullptr;
      scanMs = std::strtol(args[++i].c_str(), &end, 10);
      if (args[i].empty() || *end || scanMs < 0 || scanMs > 600000) return UsageError("--scan-ms takes 0 to 600000");
    } else {
      return UsageError("unknown argument " + args[i]);
    }
  }
  QuorvDriver driver;
  QuorvErrorRecord error{};
  if (driver.Internal()->error.Number() < 0 && driver.GetError(0, &error, sizeof error)) {
    std::fprintf(stderr, "quorvane-cli modules: %s\n", error.text);
    return 1;
  }
  // Scans until the time asked for has passed; a module that boots late is
  // found by a later one.
  const auto start = std::chrono::steady_clock::now();
  int scan = 0;
  for (;;) {
    ++scan;
    driver.FindFirstModule();
    size_t found = 0;
    for (uint32_t k = driver.FindNextModule(0); k; k = driver.FindNextModule(k)) ++found;
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    std::fprintf(stderr, "scan %d: %zu module%s after %lld ms\n", scan, found, found == 1 ? "" : "s",
                 static_cast<long long>(ms.count()));
    if (ms.count() >= scanMs) break;
  }
  int count = 0;
  for (uint32_t key = driver.FindNextModule(0); key; key = driver.FindNextModule(key)) {
    QuorvModuleRecord r{};
    if (!driver.GetModuleInfo(key, &r, sizeof r)) continue;
    char keyText[10], mac[18];
    std::printf("%s\t%s\t%s\t%s\t%s\t%s\t%s\n", linkframe::KeyText(r.key, keyText), r.name, r.hardware, r.software,
                linkframe::MacText(r.mac, mac), StateText(r.state), r.adapter);
    ++count;
  }
  std::printf("%d module%s on %zu adapter%s\n", count, count == 1 ? "" : "s", driver.Internal()->interfaces.size(),
              driver.Internal()->interfaces.size() == 1 ? "" : "s");
  return count > 0 ? 0 : 1;
}

const CliRegistrar kRegister({"modules", kUsage, "scan every network adapter and list the controller modules found",
                              RunModules});

}  // namespace
