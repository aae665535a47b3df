// quorvane-cli plan [--params DIR] [--macros DIR] [--elements] FILE
//
// Runs a part program through the interpreter into the path planner with no
// machine behind it (as the preview does) and prints what the planned motion
// takes: the time with acceleration, corner velocities and the module's
// filter, beside the feed-only time (length / feed). The format is in
// README.md. Progress goes to stderr. Exit status: 0 planned, 1 the program
// could not be read or ended with an error, 2 usage.
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "cliformat.h"
#include "command.h"
#include "base/folders.h"
#include "machine/machineconfig.h"
#include "machine/machinestate.h"
#include "machine/tooltable.h"
#include "params/parafile.h"
#include "simulation/programplan.h"

namespace {

class ElementPrinter : public PlanObserver {
 public:
  void OnElement(const PlannedElement& e) override {
    std::printf("ELEMENT t=%d %c L%.3f F%.3f V%.3f VC%.3f CB%.3f CA%.3f\n", e.tag, e.kind, e.length, e.feed,
                e.velocity, e.cornerVelocity, e.cutBefore, e.cutAfter);
  }
};

class Progress {
 public:
  Progress() : m_tty(isatty(STDERR_FILENO) == 1), m_start(std::chrono::steady_clock::now()) {}
  ~Progress() {
    if (m_shown && m_tty) std::fprintf(stderr, "\n");
  }
  void Show(int32_t line, int32_t lines) {
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - m_start).count();
    if (elapsed - m_last < (m_tty ? 0.2 : 2.0)) return;
    m_last = elapsed;
    const double pct = lines > 0 ? 100.0 * std::min(line, lines) / lines : 0.0;
    if (m_tty) std::fprintf(stderr, "\rline %d/%d %3.0f%% elapsed %s\033[K", line, lines, pct, Clock(elapsed).c_str());
    else std::fprintf(stderr, "progress: line %d/%d %3.0f%% elapsed %s\n", line, lines, pct, Clock(elapsed).c_str());
    std::fflush(stderr);
    m_shown = true;
  }

 private:
  bool m_tty;
  std::chrono::steady_clock::time_point m_start;
  double m_last = 0;
  bool m_shown = false;
};

std::string MakeTempDir() {
  char tmpl[] = "/tmp/quorvane-plan-XXXXXX";
  const char* d = mkdtemp(tmpl);
  return d ? d : "";
}

int Usage() {
  std::fprintf(stderr, "usage: quorvane-cli plan [--params DIR] [--macros DIR] [--elements] FILE\n");
  return 2;
}

int RunPlan(const std::vector<std::string>& args) {
  std::string params, macros, file;
  bool elements = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--elements") elements = true;
    else if ((a == "--params" || a == "--macros") && i + 1 < args.size()) (a == "--params" ? params : macros) = args[++i];
    else if (!a.empty() && a[0] == '-') return Usage();
    else if (file.empty()) file = a;
    else return Usage();
  }
  if (file.empty()) return Usage();

  // Planning changes nothing: the parameters (given, or the operator's) are
  // read from a copy that is removed at the end.
  const std::string source = params.empty() ? Folders::Parameters() : params;
  if (macros.empty()) macros = params.empty() ? Folders::Macros() : std::string();
  const std::string scratch = MakeTempDir();
  if (scratch.empty()) {
    std::fprintf(stderr, "cannot create a temporary folder\n");
    return 1;
  }
  std::error_code ec;
  if (std::filesystem::is_directory(source, ec)) {
    std::filesystem::copy(source, scratch, std::filesystem::copy_options::recursive, ec);
    if (ec) {
      std::fprintf(stderr, "cannot copy parameter folder %s: %s\n", source.c_str(), ec.message().c_str());
      std::filesystem::remove_all(scratch, ec);
      return 1;
    }
  } else if (!params.empty()) {
    std::fprintf(stderr, "cannot read parameter folder %s\n", params.c_str());
    std::filesystem::remove_all(scratch, ec);
    return 1;
  }
  Folders::SetParameters(scratch);
  Folders::SetMacros(macros.empty() ? scratch : macros);
  Folders::SetLogs(scratch);
  OpenParameterFiles();
  LoadMachineConfig();
  LoadToolTable();

  int rc = 0;
  {
    ElementPrinter printer;
    Progress progress;
    int32_t lines = 0;
    {
      std::FILE* f = std::fopen(file.c_str(), "rb");
      if (f) {
        for (int c; (c = std::fgetc(f)) != EOF;) lines += c == '\n';
        std::fclose(f);
      }
    }
    const ProgramPlan plan = PlanProgram(file, actState, elements ? &printer : nullptr,
                                         [&](int32_t line) { progress.Show(line, lines); });
    if (!plan.loaded) {
      std::fprintf(stderr, "cannot open %s\n", file.c_str());
      rc = 1;
    } else {
      const PlanSummary& s = plan.summary;
      if (plan.errorCode != 0) {
        std::printf("error: %s\n", plan.errorText.c_str());
        rc = 1;
      }
      if (plan.rangeErrors > 0) std::printf("range errors: %d\n", plan.rangeErrors);
      std::printf("planned time: %.2f s (%s)\n", s.plannedSeconds, Clock(s.plannedSeconds).c_str());
      std::printf("feed-only time: %.2f s (%s)\n", s.feedSeconds, Clock(s.feedSeconds).c_str());
      std::printf("dwell: %.2f s\n", s.dwellSeconds);
      std::printf("length: %.3f mm (rapid %.3f mm)\n", s.length, s.rapidLength);
      std::printf("elements: %lld\n", static_cast<long long>(s.elements));
      std::printf("corners: %lld (slowed %lld, stopped %lld)\n", static_cast<long long>(s.corners),
                  static_cast<long long>(s.slowedCorners), static_cast<long long>(s.stops));
      if (s.slowestCount > 0) std::printf("slowest corners:\n");
      for (int i = 0; i < s.slowestCount; ++i)
        std::printf("  line %d: %.3f mm/s angle %.1f%s\n", s.slowest[i].tag, s.slowest[i].velocity,
                    s.slowest[i].angle, s.slowest[i].velocity <= 0 ? " (stop)" : "");
    }
  }
  std::fflush(stdout);
  CloseParameterFiles();
  std::filesystem::remove_all(scratch, ec);
  return rc;
}

const CliRegistrar kRegister({"plan", "[--params DIR] [--macros DIR] [--elements] FILE",
                              "plan a program's motion and print its time with acceleration and corners", RunPlan});

}  // namespace
