// quorvane-cli hpgl: converts a plotter file into a G-code program with the
// stored import settings.
#include <sys/stat.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "command.h"
#include "base/folders.h"
#include "import/hpgl_parser.h"
#include "import/hpgl_settings.h"
#include "params/parafile.h"

namespace {

const char* const kUsage =
    "[--params DIR] [--zsel N] [--feedsel N] [--toolsel N] [--offset N] [--corel|--no-corel]\n"
    "         [--line-numbers|--no-line-numbers] [--const-vel|--exact-stop] [--z-depth MM]\n"
    "         [--z-feed MM/MIN] [--feed MM/MIN] [--spindle RPM] [--tool N] [--top MM] [--safe-z MM]\n"
    "         [--center-abs|--center-rel] FILE";

int UsageError(const std::string& why) {
  std::fprintf(stderr, "quorvane-cli hpgl: %s\nusage: quorvane-cli hpgl %s\n", why.c_str(), kUsage);
  return 2;
}

bool ParseDouble(const std::string& text, double& v) {
  char* end = nullptr;
  v = std::strtod(text.c_str(), &end);
  return !text.empty() && end && *end == 0 && std::isfinite(v);
}

bool ParseInt(const std::string& text, int& v) {
  char* end = nullptr;
  const long l = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || !end || *end != 0 || l < -1000000 || l > 1000000) return false;
  v = static_cast<int>(l);
  return true;
}

bool FileExists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

void PrintPens(const HPGL_Parser& parser) {
  std::printf("%-4s %8s %12s %13s %13s %8s %13s %15s %6s\n", "Pen", "PW (mm)", "VS (mm/min)", "Z-depth (mm)",
              "Spindle speed", "Tool no.", "Feed (mm/min)", "Z-Feed (mm/min)", "Active");
  for (const HpglPen& p : parser.Pens()) {
    std::printf("%-4d %8.3f %12.1f %13.3f %13.0f %8d %13.1f %15.1f %6s\n", p.number, p.width, p.velocity * 600.0,
                p.zDepth, p.spindleSpeed, p.tool, p.feed, p.zFeed, p.active ? "yes" : "no");
  }
}

int RunHpgl(const std::vector<std::string>& args) {
  std::string paramDir;
  std::string file;
  // Command-line values go on top of the stored ones, so they are kept as
  // member pointers and applied after loading.
  struct IntOpt {
    const char* name;
    int HpglSettings::*member;
    int lo, hi;
  };
  struct DoubleOpt {
    const char* name;
    double HpglSettings::*member;
  };
  struct FlagOpt {
    const char* on;
    const char* off;
    bool HpglSettings::*member;
  };
  const IntOpt ints[] = {{"--zsel", &HpglSettings::zSel, 0, 1},     {"--feedsel", &HpglSettings::feedSel, 0, 2},
                         {"--toolsel", &HpglSettings::toolSel, 0, 1}, {"--offset", &HpglSettings::offsetSel, 0, 2},
                         {"--tool", &HpglSettings::tool, 1, 9999}};
  const DoubleOpt doubles[] = {{"--z-depth", &HpglSettings::zDepth}, {"--z-feed", &HpglSettings::zFeed},
                               {"--feed", &HpglSettings::feedrate},  {"--spindle", &HpglSettings::spindleSpeed},
                               {"--top", &HpglSettings::topMat},     {"--safe-z", &HpglSettings::zSafe}};
  const FlagOpt flags[] = {{"--corel", "--no-corel", &HpglSettings::corel},
                           {"--line-numbers", "--no-line-numbers", &HpglSettings::withLineNumbers},
                           {"--const-vel", "--exact-stop", &HpglSettings::constVel},
                           {"--center-abs", "--center-rel", &HpglSettings::centerAbs}};
  std::vector<std::function<void(HpglSettings&)>> overrides;

  for (size_t k = 0; k < args.size(); ++k) {
    const std::string& a = args[k];
    if (a == "-h" || a == "--help") {
      std::printf("usage: quorvane-cli hpgl %s\n", kUsage);
      return 0;
    }
    if (a == "--params") {
      if (k + 1 >= args.size()) return UsageError("--params needs a folder");
      paramDir = args[++k];
      continue;
    }
    bool done = false;
    for (const IntOpt& o : ints) {
      if (a != o.name) continue;
      if (k + 1 >= args.size()) return UsageError(a + " needs a value");
      int v = 0;
      if (!ParseInt(args[++k], v) || v < o.lo || v > o.hi)
        return UsageError("bad value for " + a + ": " + args[k] + " (" + std::to_string(o.lo) + ".." +
                          std::to_string(o.hi) + ")");
      overrides.push_back([m = o.member, v](HpglSettings& s) { s.*m = v; });
      done = true;
    }
    for (const DoubleOpt& o : doubles) {
      if (a != o.name) continue;
      if (k + 1 >= args.size()) return UsageError(a + " needs a value");
      double v = 0;
      if (!ParseDouble(args[++k], v)) return UsageError("bad value for " + a + ": " + args[k]);
      overrides.push_back([m = o.member, v](HpglSettings& s) { s.*m = v; });
      done = true;
    }
    for (const FlagOpt& f : flags) {
      if (a != f.on && a != f.off) continue;
      overrides.push_back([m = f.member, v = a == f.on](HpglSettings& s) { s.*m = v; });
      done = true;
    }
    if (done) continue;
    if (a.size() > 1 && a[0] == '-') return UsageError("unknown option " + a);
    if (!file.empty()) return UsageError("only one FILE");
    file = a;
  }
  if (file.empty()) return UsageError("FILE missing");

  if (!paramDir.empty()) Folders::SetParameters(paramDir);
  const std::string dir = Folders::Parameters();
  HpglSettings settings;
  std::vector<HpglPenSettings> table;
  {
    // Opened read-only in effect: nothing is changed, so nothing is written.
    ParaFile user;
    if (user.OpenExisting(Folders::Join(dir, "UserSettings.txt"))) LoadHpglSettings(user, settings, table);
    ParaFile machine;
    if (machine.OpenExisting(Folders::Join(dir, "ParameterTable.txt"))) LoadHpglMachineSettings(machine, settings);
  }
  for (const auto& apply : overrides) apply(settings);

  if (!FileExists(file)) {
    std::fprintf(stderr, "quorvane-cli hpgl: cannot read %s\n", file.c_str());
    return 1;
  }
  HPGL_Parser parser;
  bool showed = false;
  parser.SetProgress([&](size_t done, size_t total) {
    if (total < (8u << 20)) return;  // small files finish before anyone looks
    std::fprintf(stderr, "\rreading %s: %3zu%%", file.c_str(), total ? done * 100 / total : 100);
    showed = true;
  });
  if (!parser.ReadHpglFile(file)) {
    if (showed) std::fputc('\n', stderr);
    std::fprintf(stderr, "quorvane-cli hpgl: %s\n", parser.Message().c_str());
    return 1;
  }
  if (showed) std::fputc('\n', stderr);
  parser.ApplySettings(settings, table);
  const bool ok = parser.WriteGCode(file);

  std::printf("HPGL import of %s\n", file.c_str());
  std::printf("paths: %zu, points: %zu, pens: %zu\n", parser.Paths().size(), parser.PointCount(),
              parser.Pens().size());
  if (parser.HasBox()) {
    const double* b = parser.Box();
    std::printf("drawing box (plotter units): X %g .. %g, Y %g .. %g\n", b[0], b[2], b[1], b[3]);
  }
  PrintPens(parser);
  if (!parser.Report().empty()) std::printf("\n%s", parser.Report().c_str());
  if (!ok) {
    std::fprintf(stderr, "quorvane-cli hpgl: Import Error: %s\n", parser.Message().c_str());
    return 1;
  }
  std::printf("written: %s.nc\n", file.c_str());
  return 0;
}

CliRegistrar reg({"hpgl", "[--params DIR] [options] FILE", "convert an HPGL plotter file into FILE.nc", RunHpgl});

}  // namespace
