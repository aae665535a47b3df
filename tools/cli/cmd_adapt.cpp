// quorvane-cli adapt: rewrites a program from another control's dialect into
// ours and reports every change; the original is never written.
#include <sys/stat.h>

#include <cstdio>
#include <string>
#include <vector>

#include "command.h"
#include "base/folders.h"
#include "interpreter/programadapter.h"
#include "machine/machineconfig.h"
#include "params/parafile.h"

namespace {

const char* const kUsage = "[--params DIR] FILE [-o OUT]";

int UsageError(const std::string& why) {
  std::fprintf(stderr, "quorvane-cli adapt: %s\nusage: quorvane-cli adapt %s\n", why.c_str(), kUsage);
  return 2;
}

bool SameFile(const std::string& a, const std::string& b) {
  struct stat sa, sb;
  return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

// The machine settings the adaptation depends on, read from the parameter
// folder without changing it (defaults when the file or a key is missing).
AdaptSettings MachineSettings(const std::string& dir) {
  MachineConfig config;
  ParaFile table;
  if (table.OpenExisting(Folders::Join(dir, "ParameterTable.txt"))) {
    table.GetBool("CenterAbs", config.centerAbs);
    table.GetInt("MachineType", config.machineType);
  }
  return AdaptSettingsOf(config);
}

int RunAdapt(const std::vector<std::string>& args) {
  std::string paramDir, file, outPath;
  for (size_t k = 0; k < args.size(); ++k) {
    const std::string& a = args[k];
    if (a == "-h" || a == "--help") {
      std::printf("usage: quorvane-cli adapt %s\n", kUsage);
      return 0;
    }
    if (a == "--params" || a == "-o") {
      if (k + 1 >= args.size()) return UsageError(a + " needs a value");
      (a == "-o" ? outPath : paramDir) = args[++k];
      continue;
    }
    if (a.size() > 1 && a[0] == '-') return UsageError("unknown option " + a);
    if (!file.empty()) return UsageError("only one FILE");
    file = a;
  }
  if (file.empty()) return UsageError("FILE missing");
  if (!outPath.empty() && SameFile(file, outPath)) return UsageError("-o names FILE itself: the original is kept");
  if (!paramDir.empty()) Folders::SetParameters(paramDir);

  ProgramAdapter adapter(MachineSettings(Folders::Parameters()));
  bool showed = false;
  adapter.SetProgress([&](size_t done, size_t total) {
    if (total < (8u << 20)) return;  // small files finish before anyone looks
    std::fprintf(stderr, "\radapting %s: %3zu%%", file.c_str(), total ? done * 100 / total : 100);
    showed = true;
  });
  std::string adapted, error;
  AdaptReport report;
  if (!adapter.AdaptFile(file, adapted, report, error)) {
    std::fprintf(stderr, "quorvane-cli adapt: %s\n", error.c_str());
    return 2;
  }
  if (showed) std::fputc('\n', stderr);

  size_t changes = 0;
  for (const auto& lines : report.changes) changes += lines.size();
  if (report.Refused())
    std::fprintf(stderr, "%s: refused, %d lines cannot be adapted\n", file.c_str(), report.refusedLines);
  else if (changes)
    std::fprintf(stderr, "%s: adapted, %zu changes\n", file.c_str(), changes);
  else
    std::fprintf(stderr, "%s: nothing to do\n", file.c_str());
  for (const std::string& line : report.Text()) std::fprintf(stderr, "%s\n", line.c_str());
  if (report.Refused()) return 1;

  std::FILE* out = outPath.empty() ? stdout : std::fopen(outPath.c_str(), "wb");
  if (!out) {
    std::fprintf(stderr, "quorvane-cli adapt: cannot write %s\n", outPath.c_str());
    return 1;
  }
  bool ok = std::fwrite(adapted.data(), 1, adapted.size(), out) == adapted.size();
  ok = (out == stdout ? std::fflush(out) : std::fclose(out)) == 0 && ok;
  if (!ok) {
    std::fprintf(stderr, "quorvane-cli adapt: cannot write %s\n", outPath.empty() ? "to stdout" : outPath.c_str());
    return 1;
  }
  return 0;
}

const CliRegistrar kRegister({"adapt", kUsage, "rewrite a program of another control's dialect into ours, with a report",
                              RunAdapt});

}  // namespace
