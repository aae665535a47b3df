// The application's responsiveness targets, on a real (virtual) display:
//  - StartupToIdleWindow: the program started with an empty parameter
//    folder until its main window is idle (target below 2 s);
//  - LoadMillionLines: the longest time the GUI thread is kept from its
//    event loop while a 1,000,000-line program loads, until the window shows
//    its text and its drawn path (target below 100 ms); the time is until
//    the path is drawn.
// Run: xvfb-run -a build/bench/quorvane_app_bench
#include <benchmark/benchmark.h>

#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include <wx/app.h>
#include <wx/evtloop.h>
#include <wx/init.h>
#include <wx/log.h>

#include "app/mainframe.h"
#include "app/toolpathview.h"
#include "base/folders.h"
#include "machine/machineconfig.h"
#include "params/parafile.h"

namespace {
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

std::string TempDir(const char* tag) {
  std::string t = std::string("/tmp/quorvane-bench-") + tag + "-XXXXXX";
  return mkdtemp(t.data()) ? t : std::string();
}

bool LogHas(const std::string& path, const char* text) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str().find(text) != std::string::npos;
}

void StartupToIdleWindow(benchmark::State& state) {
  for (auto _ : state) {
    const std::string dir = TempDir("start");
    const std::string log = dir + "/log/log.txt";
    const auto t0 = Clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
      setenv("QUORVANE_PARAM_DIR", (dir + "/params").c_str(), 1);
      setenv("QUORVANE_MACRO_DIR", (dir + "/macros").c_str(), 1);
      setenv("QUORVANE_LOG_DIR", (dir + "/log").c_str(), 1);
      setenv("QUORVANE_DIALOGS", "auto", 1);
      freopen("/dev/null", "w", stderr);
      execl(QUORVANE_APP, QUORVANE_APP, static_cast<char*>(nullptr));
      _exit(127);
    }
    bool idle = false;
    while (Clock::now() - t0 < std::chrono::seconds(20)) {
      if (LogHas(log, "main window idle")) {
        idle = true;
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    fs::remove_all(dir);
    if (!idle) {
      state.SkipWithError("the window never became idle");
      return;
    }
    state.SetIterationTime(seconds);
  }
}
BENCHMARK(StartupToIdleWindow)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);

void LoadMillionLines(benchmark::State& state) {
  const std::string dir = TempDir("load");
  Folders::SetParameters(dir + "/params");
  Folders::SetMacros(dir + "/macros");
  fs::create_directories(dir + "/macros");
  fs::create_directories(dir + "/params");
  OpenParameterFiles();
  const std::string file = dir + "/million.nc";
  {
    std::ofstream out(file);
    out << "%\nG90 G21 G17 G54\nF1200\n";
    for (int i = 0; i < 1000000 - 4; ++i) out << "G1 X" << (i % 500) * 0.5 << " Y" << (i % 397) * 0.5 << "\n";
    out << "M30\n";
  }
  auto* frame = new Quorvane2Frame();
  frame->Show();
  frame->InitMachine();
  wxEventLoopBase* loop = wxEventLoopBase::GetActive();
  // The window's first layout and paint are start-up, not loading.
  for (const auto until = Clock::now() + std::chrono::milliseconds(500); Clock::now() < until;) {
    loop->Yield(true);
    wxTheApp->ProcessIdle();
  }
  double worstMs = 0, loadSeconds = 0, idleWorstMs = 0;
  // The same passes with nothing loading: what the machine and the display
  // server cost anyway, to tell from what loading costs.
  for (const auto until = Clock::now() + std::chrono::seconds(2); Clock::now() < until;) {
    const auto a = Clock::now();
    loop->Yield(true);
    wxTheApp->ProcessIdle();
    idleWorstMs = std::max(idleWorstMs, std::chrono::duration<double, std::milli>(Clock::now() - a).count());
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  for (auto _ : state) {
    const auto t0 = Clock::now();
    const ToolPath* before = frame->PathView()->Path().get();
    if (!frame->LoadProgram(file)) {
      state.SkipWithError("load refused");
      break;
    }
    // Each pass runs whatever the GUI thread has to do (timers, the main
    // cycle, painting); the longest pass is the longest the operator waits.
    // The load is done when the window has taken it over and the view has
    // drawn the new path as the zoom wants it.
    auto pass = [&] {
      const auto a = Clock::now();
      loop->Yield(true);
      wxTheApp->ProcessIdle();
      const double ms = std::chrono::duration<double, std::milli>(Clock::now() - a).count();
      if (ms > worstMs) worstMs = ms;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    };
    do {
      pass();
    } while (frame->IsLoading() || frame->ProgramFile() != file || frame->PathView()->Path().get() == before ||
             !frame->PathView()->FrameComplete());
    loadSeconds = std::chrono::duration<double>(Clock::now() - t0).count();
    state.SetIterationTime(loadSeconds);
    // What the loaded program still costs the window afterwards counts too.
    for (const auto until = Clock::now() + std::chrono::milliseconds(300); Clock::now() < until;) pass();
  }
  state.counters["worst_gui_block_ms"] = worstMs;
  state.counters["idle_worst_block_ms"] = idleWorstMs;
  state.counters["lines"] = 1e6;
  frame->Destroy();
  wxTheApp->ProcessIdle();
  ResetParameterFilesForTest();
  fs::remove_all(dir);
}
BENCHMARK(LoadMillionLines)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

class BenchApp : public wxApp {
 public:
  bool OnInit() override { return true; }
};
}  // namespace

wxIMPLEMENT_APP_NO_MAIN(BenchApp);

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (!wxEntryStart(argc, argv)) {
    std::fprintf(stderr, "quorvane_app_bench: no display (run it under xvfb-run)\n");
    return 1;
  }
  delete wxLog::SetActiveTarget(new wxLogStderr);
  wxLog::SetLogLevel(wxLOG_Error);
  {
    wxGUIEventLoop loop;
    wxEventLoopActivator active(&loop);
    benchmark::RunSpecifiedBenchmarks();
  }
  benchmark::Shutdown();
  wxEntryCleanup();
  return 0;
}
