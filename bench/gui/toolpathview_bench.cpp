// Frame time of the 3D tool-path view with 1,000,000 segments: a full
// redraw (every segment drawn), the same with the thinned copy the view
// uses when zoomed out, a close-up, picking a segment under the mouse, and
// the first frame that fills the vertex buffers. Needs a display: run it
// under Xvfb, where Mesa renders in software:
//
//   xvfb-run -a build/bench/quorvane_gui_bench
#define GL_GLEXT_PROTOTYPES 1
#include <benchmark/benchmark.h>

#include <GL/gl.h>

#include <cmath>
#include <cstdio>
#include <memory>
#include <string>

#include <wx/app.h>
#include <wx/frame.h>
#include <wx/init.h>
#include <wx/log.h>
#include <wx/sizer.h>

#include "app/toolpathview.h"
#include "preview/gcodegrafic.h"

namespace {

constexpr int kRows = 1000, kPerRow = 1000;

ToolPathView* g_view = nullptr;
std::shared_ptr<const ToolPath> g_path;

// A 3D finishing raster, 250 x 200 mm: 1000 rows of 1000 feed moves with a
// retract and a rapid between rows.
std::shared_ptr<const ToolPath> MakePath() {
  GCodeGrafic g;
  g.StartProgram("raster");
  int32_t line = 1;
  for (int row = 0; row < kRows; ++row) {
    const double y = row * 0.2;
    g.SetTag(line++);
    g.AddLine(Coordinates(0, y, 5), -1, true, nullptr, false);
    g.SetTag(line++);
    g.AddLine(Coordinates(0, y, -1), 5, false, nullptr, false);
    for (int i = 1; i <= kPerRow; ++i) {
      const double x = i * 0.25;
      g.SetTag(line++);
      g.AddLine(Coordinates(x, y, -1 - 2 * std::sin(x * 0.05) * std::cos(y * 0.07)), 30, false, nullptr, false);
    }
    g.SetTag(line++);
    g.AddLine(Coordinates(250, y, 5), -1, true, nullptr, false);
  }
  g.EndProgram();
  return g.Path();
}

void Show(ToolPathCamera::Standard view, bool thin, double zoom) {
  g_view->SetDecimation(thin);
  g_view->SetStandardView(view);
  if (zoom != 1) g_view->Camera().Zoom(zoom, 512, 384);
  g_view->RenderNow();  // builds what this view needs
}

void BM_Redraw(benchmark::State& state, ToolPathCamera::Standard view, bool thin, double zoom) {
  Show(view, thin, zoom);
  for (auto _ : state) g_view->RenderNow();
  state.counters["segments_drawn"] = double(g_view->DrawnSegments());
  state.counters["segments"] = double(g_path->Moves().Size());
}
BENCHMARK_CAPTURE(BM_Redraw, iso_full, ToolPathCamera::Standard::Iso, false, 1.0)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();
BENCHMARK_CAPTURE(BM_Redraw, top_full, ToolPathCamera::Standard::Top, false, 1.0)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();
BENCHMARK_CAPTURE(BM_Redraw, iso_thinned, ToolPathCamera::Standard::Iso, true, 1.0)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();
BENCHMARK_CAPTURE(BM_Redraw, iso_closeup_x20, ToolPathCamera::Standard::Iso, true, 0.05)
    ->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();

// What any frame costs: clearing and showing 1024 x 768 pixels.
void BM_EmptyFrame(benchmark::State& state) {
  g_view->SetToolPath(nullptr);
  g_view->RenderNow();
  for (auto _ : state) g_view->RenderNow();
  g_view->SetToolPath(g_path);
}
BENCHMARK(BM_EmptyFrame)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();

void BM_PickLine(benchmark::State& state) {
  Show(ToolPathCamera::Standard::Top, true, 1.0);
  int32_t line = 0;
  for (auto _ : state) benchmark::DoNotOptimize(line = g_view->PickLine(wxPoint(512, 384)));
  state.counters["line"] = line;
}
BENCHMARK(BM_PickLine)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();

// A new path drawn at once, its vertex buffers filled first: the work the
// window hands to its preparing thread (a screenshot waits for it).
void BM_FirstFrame(benchmark::State& state) {
  g_view->SetDecimation(false);
  for (auto _ : state) {
    g_view->SetToolPath(g_path);
    g_view->RenderNow();
  }
}
BENCHMARK(BM_FirstFrame)->Unit(benchmark::kMillisecond)->Iterations(5);

class BenchApp : public wxApp {
 public:
  bool OnInit() override { return true; }
};

}  // namespace

wxIMPLEMENT_APP_NO_MAIN(BenchApp);

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (!wxEntryStart(argc, argv)) {
    std::fprintf(stderr, "quorvane_gui_bench: no display (run it under xvfb-run -a)\n");
    return 1;
  }
  delete wxLog::SetActiveTarget(new wxLogStderr);
  int rc = 1;
  if (wxTheApp->CallOnInit()) {
    auto* frame = new wxFrame(nullptr, wxID_ANY, "bench", wxDefaultPosition, wxDefaultSize);
    g_view = new ToolPathView(frame);
    auto* sizer = new wxBoxSizer(wxVERTICAL);
    sizer->Add(g_view, 1, wxEXPAND);
    frame->SetSizer(sizer);
    frame->SetClientSize(1024, 768);
    frame->Show();
    for (int i = 0; i < 50 && !g_view->IsShownOnScreen(); ++i) wxTheApp->Yield();
    wxTheApp->Yield();
    g_path = MakePath();
    g_view->SetToolPath(g_path);
    g_view->RenderNow();
    const char* renderer = reinterpret_cast<const char*>(glGetString(GL_RENDERER));
    benchmark::AddCustomContext("gl_renderer", renderer ? renderer : "none");
    benchmark::AddCustomContext("window", std::to_string(g_view->GetClientSize().x) + "x" +
                                              std::to_string(g_view->GetClientSize().y));
    benchmark::AddCustomContext("path_bytes_per_segment",
                                std::to_string(double(g_path->MemoryBytes()) / g_path->Moves().Size()));
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    g_view = nullptr;
    frame->Destroy();
    wxTheApp->Yield();
    wxTheApp->OnExit();
    rc = 0;
  }
  wxEntryCleanup();
  return rc;
}
