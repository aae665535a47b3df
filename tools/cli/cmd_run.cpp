// quorvane-cli run [--params DIR] [--macros DIR] [--speed FACTOR] [--answers FILE]
//                  [--ignore-range] [--machine [--adapter NAME]] FILE
// quorvane-cli mdi [--params DIR] [--macros DIR] [--speed FACTOR] [--answers FILE]
//                  [--machine [--adapter NAME]] TEXT
//
// Runs a part program the way the operator interface does: a preview run
// against a view (range check), then BackEnd::RunProgram on the simulated
// machine or, with --machine, on the controller modules found on the
// adapters, the worker thread of either back end running the interpreter.
// Progress goes to stderr, the summary to stdout. Exit status: 0 clean end,
// 1 error (or a range error in the preview), 2 usage, 130 break. mdi runs
// an operator's MDI text (G-code, macro statements, macro calls) the way
// the MDI line does: homing (G74) and probing (UNTIL) reach the machine.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "cliformat.h"
#include "command.h"
#include "program/errors.h"
#include "base/folders.h"
#include "base/logging.h"
#include "interpreter/gcodeparser.h"
#include "interpreter/macroparser.h"
#include "machine/machineconfig.h"
#include "machine/machinestate.h"
#include "interpreter/messagelist.h"
#include "interpreter/operatordialog.h"
#include "params/parafile.h"
#include "preview/previewbuilder.h"
#include "simulation/simulation.h"
#include "machine/tooltable.h"
#include "driver/src/linkframe.h"
#include "realmachine/hardwaremachine.h"
#include "machine/transformation.h"

namespace {

volatile sig_atomic_t g_interrupted = 0;
void OnSigint(int) { g_interrupted = 1; }

// Collects the operator messages (PRINT, warnings) of both runs.
class CollectingMessages : public MessageList {
 public:
  void Post(const std::string& text) override {
    std::lock_guard<std::mutex> lock(mutex);
    lines.push_back(text);
  }
  void Clear() override {
    std::lock_guard<std::mutex> lock(mutex);
    lines.clear();
  }
  std::vector<std::string> Take() {
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<std::string> out;
    out.swap(lines);
    return out;
  }

 private:
  std::mutex mutex;
  std::vector<std::string> lines;
};

// Operator answers, one a line, consumed in order by each question (program
// pauses and the dialogs of the macro language).
class Answers {
 public:
  bool Load(const std::string& path) {
    std::ifstream in(path);
    if (!in) return false;
    std::string line;
    while (std::getline(in, line)) {
      while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
      if (line.empty() || line[0] == ';' || line[0] == '#') continue;
      lines.push_back(line);
    }
    return true;
  }
  // The next answer; false when none is left.
  bool Take(std::string& out) {
    std::lock_guard<std::mutex> lock(mutex);
    if (next >= lines.size()) return false;
    out = lines[next++];
    return true;
  }
  std::string Next(const std::string& def) {
    std::string a;
    return Take(a) ? a : def;
  }

 private:
  std::mutex mutex;
  std::vector<std::string> lines;
  size_t next = 0;
};

// Dialogs take the next answer of the file (in the script form of the
// scripted operator); without one they are accepted with their defaults.
class CliOperator : public Operator {
 public:
  explicit CliOperator(Answers& a) : answers(a) {}
  bool Ask(AskDialog& dialog) override {
    std::string line;
    if (answers.Take(line)) {
      ScriptedOperator scripted(line);
      return scripted.Ask(dialog);
    }
    DefaultOperator fallback;
    return fallback.Ask(dialog);
  }

 private:
  Answers& answers;
};

std::string Xyz(const Coordinates& p) {
  char buf[96];
  std::snprintf(buf, sizeof buf, "X%.3f Y%.3f Z%.3f", p.v[0], p.v[1], p.v[2]);
  std::string s = buf;
  for (int i = 3; i < kAxisCount; ++i) {
    if (p.v[i] == 0) continue;
    std::snprintf(buf, sizeof buf, " %c%.3f", kAxisLetters[i], p.v[i]);
    s += buf;
  }
  return s;
}

std::string MakeTempDir() {
  char tmpl[] = "/tmp/quorvane-run-XXXXXX";
  const char* d = mkdtemp(tmpl);
  return d ? d : "";
}

// Each distinct line once, in order of first appearance, with its count.
void PrintMessages(const std::vector<std::string>& lines) {
  std::vector<std::pair<std::string, int>> unique;
  for (const std::string& l : lines) {
    auto it = std::find_if(unique.begin(), unique.end(), [&](const auto& u) { return u.first == l; });
    if (it == unique.end()) unique.emplace_back(l, 1);
    else ++it->second;
  }
  if (unique.empty()) return;
  std::printf("messages:\n");
  for (const auto& [text, count] : unique) {
    if (count > 1) std::printf("  %s (x%d)\n", text.c_str(), count);
    else std::printf("  %s\n", text.c_str());
  }
}

int Usage(bool mdi) {
  if (mdi)
    std::fprintf(stderr,
                 "usage: quorvane-cli mdi [--params DIR] [--macros DIR] [--speed FACTOR] [--answers FILE] "
                 "[--machine [--adapter NAME]] TEXT\n");
  else
    std::fprintf(stderr,
                 "usage: quorvane-cli run [--params DIR] [--macros DIR] [--speed FACTOR] [--answers FILE] "
                 "[--ignore-range] [--machine [--adapter NAME]] FILE\n");
  return 2;
}

struct Options {
  std::string params, macros, answers, file, adapter;  // file: the MDI text for mdi
  bool mdi = false;
  double speed = 1.0;
  bool speedGiven = false;
  bool ignoreRange = false;
  bool machine = false;
};

bool ParseArgs(const std::vector<std::string>& args, Options& o) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    const bool hasValue = i + 1 < args.size();
    if (a == "--params" && hasValue) o.params = args[++i];
    else if (a == "--macros" && hasValue) o.macros = args[++i];
    else if (a == "--answers" && hasValue) o.answers = args[++i];
    else if (a == "--adapter" && hasValue) o.adapter = args[++i];
    else if (a == "--machine") o.machine = true;
    else if (a == "--speed" && hasValue) {
      o.speedGiven = true;
      const std::string& v = args[++i];
      if (v == "max") {
        o.speed = 0;
        continue;
      }
      char* end = nullptr;
      o.speed = std::strtod(v.c_str(), &end);
      if (!end || *end || !(o.speed >= 0) || !std::isfinite(o.speed)) return false;
    } else if (a == "--ignore-range" && !o.mdi) o.ignoreRange = true;
    else if (!a.empty() && a[0] == '-') return false;
    else if (o.file.empty()) o.file = a;
    else return false;
  }
  // The machine runs at its own pace; an adapter only picks its modules.
  if (o.machine && o.speedGiven) return false;
  if (!o.adapter.empty() && !o.machine) return false;
  return !o.file.empty();
}

class Progress {
 public:
  explicit Progress(int32_t total) : tty(isatty(STDERR_FILENO) == 1), totalLines(total) {}

  // finalLine >= 0: the program completed there (100 %).
  void Show(BackEnd& sim, bool paused, double elapsed, bool force, int32_t finalLine = -1) {
    // A terminal line is rewritten five times a second, plain lines every 2 s.
    if (!force && elapsed - lastShown < (tty ? 0.2 : 2.0)) return;
    lastShown = elapsed;
    const int32_t line = finalLine >= 0 ? finalLine : sim.GetCursor();
    const double frac = finalLine >= 0 ? 1.0
                        : totalLines > 0 ? std::min(1.0, std::max(0.0, double(line) / totalLines))
                                         : 0.0;
    const double remaining = frac > 0 ? elapsed * (1.0 - frac) / frac : -1;
    Coordinates p;
    sim.GetPosition(p);
    char buf[256];
    std::snprintf(buf, sizeof buf, "line %d/%d %3.0f%% elapsed %s remaining %s %s F%.0f S%.0f%s", line, totalLines,
                  frac * 100, Clock(elapsed).c_str(), Clock(remaining).c_str(), Xyz(p).c_str(),
                  sim.GetActualVelocity(), sim.GetSpindleSpeed(),
                  paused ? " paused" : "");
    if (tty) {
      std::fprintf(stderr, "\r%s\033[K", buf);
      shown = true;
    } else {
      std::fprintf(stderr, "progress: %s\n", buf);
    }
    std::fflush(stderr);
  }
  // Ends a rewritten line before other output.
  void Break() {
    if (tty && shown) std::fprintf(stderr, "\n");
    shown = false;
  }

 private:
  bool tty;
  int32_t totalLines;
  double lastShown = -10;
  bool shown = false;
};

struct RunEnd {
  int rc = 0;
};

// Starts the program, serves pauses and Ctrl-C, shows the progress and
// prints the result lines; returns the exit status.
// be: a Simulation or RealMachine (both keep their state bits in the flags
// word and count their runs).
template <class B>
int WatchRun(B& be, Answers& answers, int32_t totalLines, const std::function<bool()>& emptyCheck, double& seconds,
             const std::string* mdiText = nullptr) {
  struct sigaction sa {};
  sa.sa_handler = OnSigint;
  sigemptyset(&sa.sa_mask);
  struct sigaction old {};
  sigaction(SIGINT, &sa, &old);
  auto paused = [&] { return (be.GetFlags() & B::kPaused) != 0; };
  Progress progress(totalLines);
  const auto t0 = std::chrono::steady_clock::now();
  auto elapsed = [&] { return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(); };
  if (mdiText) be.ExecuteText(*mdiText);
  else be.RunProgram();
  bool stopped = false;
  for (;;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (be.RunsFinished() > 0) break;
    if (g_interrupted && !stopped) {
      stopped = true;
      progress.Break();
      std::fprintf(stderr, "interrupted: stopping\n");
      be.Stop(false);
    }
    if (paused() && !stopped) {
      const std::string a = answers.Next("continue");
      progress.Break();
      std::fprintf(stderr, "pause at line %d: %s\n", be.GetCursor(), a.c_str());
      if (a == "stop") {
        stopped = true;
        be.Stop(false);
      } else {
        be.Continue();
      }
    }
    progress.Show(be, paused(), elapsed(), false);
  }
  seconds = elapsed();
  const int32_t code = be.LastErrorCode();
  progress.Show(be, false, seconds, true, code == 0 ? be.GetTag() : -1);
  progress.Break();
  sigaction(SIGINT, &old, nullptr);
  if (code == 0 && emptyCheck()) {
    std::printf("result: empty program\n");
  } else if (code == 0) {
    std::printf("result: completed\n");
  } else if (code == ERR_USER_BREAK) {
    std::printf("result: stopped (user break): %s\n", be.LastErrorText().c_str());
    return g_interrupted ? 130 : 1;
  } else {
    std::printf("result: error: %s\n", be.LastErrorText().c_str());
    return 1;
  }
  return 0;
}

RunEnd RunOnSimulation(const Options& o, Answers& answers, SimClock& clock, int32_t totalLines, double estimate) {
  Simulation sim(nullptr, &clock);
  MacroParser parser(&sim, &simState);
  if (!o.mdi) parser.NewMainFile(o.file);
  sim.SetParser(&parser);
  // The simulated machine starts where the state says it stands.
  const Transformation* st = simState.GetTransformation();
  sim.SetSimPosition(st ? st->ToMachine(simState.progPos) : simState.progPos);
  sim.StartWorker();
  double seconds = 0;
  RunEnd r;
  r.rc = WatchRun(sim, answers, totalLines, [&] { return !o.mdi && parser.EmptyProgram(); }, seconds,
                  o.mdi ? &o.file : nullptr);
  sim.StopThread();
  const Transformation* t = simState.GetTransformation();
  Coordinates m;
  sim.GetPosition(m);
  std::printf("machine position: %s\n", Xyz(m).c_str());
  std::printf("work position: %s\n", Xyz(t ? t->ToProgram(m) : m).c_str());
  std::printf("simulated time: %.2f s (%s)\n", clock.SimulatedSeconds(), Clock(clock.SimulatedSeconds()).c_str());
  if (!o.mdi) std::printf("estimated time: %.2f s (%s)\n", estimate, Clock(estimate).c_str());
  std::printf("wall time: %.2f s\n", seconds);
  return r;
}

// The machine of a --machine run, open from before the preview (which
// starts where the machine stands) to the end. False with the result
// printed.
bool OpenMachine(HardwareMachine& hardware) {
  std::string reason;
  if (!hardware.Open(reason)) {
    std::printf("result: not started (%s)\n", reason.c_str());
    return false;
  }
  std::fprintf(stderr, "module %s\n", hardware.Description().c_str());
  if (!hardware.Warning().empty()) std::fprintf(stderr, "warning: %s\n", hardware.Warning().c_str());
  return true;
}

RunEnd RunOnMachine(const Options& o, HardwareMachine& hardware, Answers& answers, int32_t totalLines,
                    double estimate) {
  RealMachine& machine = hardware.Machine();
  MacroParser parser(&machine, &actState);
  if (!o.mdi) parser.NewMainFile(o.file);
  machine.SetParser(&parser);
  machine.StartWorker();
  double seconds = 0;
  RunEnd r;
  r.rc = WatchRun(machine, answers, totalLines, [&] { return !o.mdi && parser.EmptyProgram(); }, seconds,
                  o.mdi ? &o.file : nullptr);
  machine.StopThread();
  machine.SetParser(nullptr);
  char keyText[10];
  linkframe::KeyText(hardware.Key(), keyText);
  if (machine.LastLinkFault() == RealMachine::LinkFault::RESTARTED)
    std::printf("link: module %s restarted during the run; the connection is open again\n", keyText);
  else if (machine.LastLinkFault() == RealMachine::LinkFault::LOST)
    std::printf("link: connection to module %s lost\n", keyText);
  Coordinates m;
  machine.GetPosition(m);
  const Transformation* t = actState.GetTransformation();
  std::printf("machine position: %s\n", Xyz(m).c_str());
  std::printf("work position: %s\n", Xyz(t ? t->ToProgram(m) : m).c_str());
  if (o.mdi) {
    std::string homed;
    for (int a = 0; a < kAxisCount; ++a)
      if (machine.HomedAxes() & (1u << a)) homed += kAxisLetters[a];
    std::printf("homed axes: %s\n", homed.empty() ? "none" : homed.c_str());
  } else {
    std::printf("estimated time: %.2f s (%s)\n", estimate, Clock(estimate).c_str());
  }
  std::printf("wall time: %.2f s\n", seconds);
  std::printf("points streamed: %llu\n", static_cast<unsigned long long>(machine.Stream().PointsSent()));
  return r;
}

int RunCli(const std::vector<std::string>& args, bool mdi) {
  Options o;
  o.mdi = mdi;
  if (!ParseArgs(args, o)) return Usage(mdi);
  std::ifstream probe(mdi ? std::string() : o.file);
  if (!mdi && !probe) {
    std::fprintf(stderr, "cannot open %s\n", o.file.c_str());
    return 1;
  }
  Answers answers;
  if (!o.answers.empty() && !answers.Load(o.answers)) {
    std::fprintf(stderr, "cannot read answers file %s\n", o.answers.c_str());
    return 1;
  }

  // A given parameter folder (e.g. the repository's examples) is never
  // written: the run works on a copy, and its log goes there too.
  std::string work;
  if (!o.params.empty()) {
    work = MakeTempDir();
    std::error_code ec;
    std::filesystem::copy(o.params, work, std::filesystem::copy_options::recursive, ec);
    if (work.empty() || ec) {
      std::fprintf(stderr, "cannot copy parameter folder %s: %s\n", o.params.c_str(), ec.message().c_str());
      return 1;
    }
    Folders::SetParameters(work);
    Folders::SetLogs(work);
  }
  if (!o.macros.empty()) Folders::SetMacros(o.macros);
  // The log goes to the log folder (with --params: the copy, removed at the end).
  // Left open to the end of the process: the state objects log as they go.
  OpenLogFile("");
  OpenParameterFiles();
  LoadMachineConfig();
  LoadToolTable();

  CollectingMessages messages;
  SetMessageList(&messages);
  CliOperator dialogs(answers);
  SetOperator(&dialogs);
  SimClock clock(o.speed);
  int rc = 0;
  {
    // 0. The machine, found and connected: the run starts where it stands.
    HardwareMachine hardware(o.adapter);
    bool proceed = !o.machine || OpenMachine(hardware);
    if (!proceed) rc = 1;
    MachineState& runState = o.machine ? actState : simState;
    // 1. The preview: range errors are counted, the first one kept.
    int32_t totalLines = 0;
    double estimate = -1;
    if (proceed && o.mdi) {
      totalLines = static_cast<int32_t>(std::count(o.file.begin(), o.file.end(), '\n')) + 1;
    } else if (proceed) {
      // One pass: the path with its range check and the planned time, from
      // the state the run starts in.
      PreviewSettings settings;
      settings.state = &runState;
      PreviewBuild preview(o.file, settings);
      const PreviewResult& r = preview.Run();
      if (!r.loaded) {
        std::fprintf(stderr, "cannot load %s\n", o.file.c_str());
        proceed = false;
        rc = 1;
      } else {
        totalLines = r.totalLines;
        estimate = r.plannedSeconds;
        if (r.HasRangeErrors()) {
          std::printf("%s\n", r.RangeReport().c_str());
          if (!o.ignoreRange) {
            std::printf("result: not started (range error; --ignore-range runs it regardless)\n");
            proceed = false;
            rc = 1;
          }
        } else if (r.runState == RUN_ERROR) {
          std::printf("preview error: %s\nresult: not started\n", r.errorReport.c_str());
          proceed = false;
          rc = 1;
        }
      }
    }
    std::vector<std::string> previewMessages = messages.Take();

    // 2. The run on the simulated machine or on the modules, the
    // interpreter in the back end's worker.
    if (proceed) {
      rc = o.machine ? RunOnMachine(o, hardware, answers, totalLines, estimate).rc
                     : RunOnSimulation(o, answers, clock, totalLines, estimate).rc;
    }
    // The run repeats the preview's messages; without a run the preview's
    // are the ones to show.
    const std::vector<std::string> shown = proceed ? messages.Take() : previewMessages;
    PrintMessages(shown);
  }
  SetOperator(nullptr);
  SetMessageList(nullptr);
  std::fflush(stdout);
  CloseParameterFiles();
  if (!work.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(work, ec);
  }
  return rc;
}

int RunRun(const std::vector<std::string>& args) { return RunCli(args, false); }
int RunMdi(const std::vector<std::string>& args) { return RunCli(args, true); }

const CliRegistrar kRegisterMdi({"mdi",
                                 "[--params DIR] [--macros DIR] [--speed FACTOR] [--answers FILE] "
                                 "[--machine [--adapter NAME]] TEXT",
                                 "run an MDI command or macro (G74 homing, probing) on the simulated machine or the "
                                 "real one",
                                 RunMdi});

const CliRegistrar kRegister({"run",
                              "[--params DIR] [--macros DIR] [--speed FACTOR] [--answers FILE] [--ignore-range] "
                              "[--machine [--adapter NAME]] FILE",
                              "run a program on the simulated machine (or the real one) with progress and a summary",
                              RunRun});

}  // namespace
