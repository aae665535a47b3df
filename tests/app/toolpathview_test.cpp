// The 3D tool-path view on a real (virtual) display with Mesa's software
// OpenGL: the example engraving loaded through the preview build, its
// bounds, picking and selecting lines, the run display, the camera, and
// the screenshots in docs/.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <cmath>

#include <wx/app.h>
#include <wx/frame.h>
#include <wx/image.h>
#include <wx/sizer.h>

#include "app/toolpathview.h"
#include "app/gui_harness.h"
#include "base/folders.h"
#include "interpreter/gcodeparser.h"
#include "common/testsupport.h"
#include "machine/machineconfig.h"
#include "machine/machinestate.h"
#include "machine/tooltable.h"
#include "params/parafile.h"
#include "preview/gcodegrafic.h"
#include "preview/previewbuilder.h"

namespace {

const std::string kExamples = std::string(QUORVANE_SOURCE_DIR) + "/examples";

// Pixels of one colour (within a few levels).
int CountColour(const wxImage& img, int r, int g, int b) {
  int n = 0;
  const unsigned char* p = img.GetData();
  for (int i = 0; i < img.GetWidth() * img.GetHeight(); ++i, p += 3)
    n += std::abs(p[0] - r) < 8 && std::abs(p[1] - g) < 8 && std::abs(p[2] - b) < 8;
  return n;
}

// Whether a pixel is drawn (not background) within one pixel of (x, y).
bool LitNear(const wxImage& img, int x, int y) {
  for (int dy = -1; dy <= 1; ++dy)
    for (int dx = -1; dx <= 1; ++dx) {
      const int u = x + dx, v = y + dy;
      if (u < 0 || v < 0 || u >= img.GetWidth() || v >= img.GetHeight()) continue;
      if (img.GetRed(u, v) != 28 || img.GetGreen(u, v) != 30 || img.GetBlue(u, v) != 36) return true;
    }
  return false;
}

// Drawn pixels of a with nothing drawn near them in b, and how many a has.
std::pair<int, int> Unmatched(const wxImage& a, const wxImage& b) {
  int missing = 0, lit = 0;
  for (int y = 0; y < a.GetHeight(); ++y)
    for (int x = 0; x < a.GetWidth(); ++x) {
      if (a.GetRed(x, y) == 28 && a.GetGreen(x, y) == 30 && a.GetBlue(x, y) == 36) continue;
      ++lit;
      missing += !LitNear(b, x, y);
    }
  return {missing, lit};
}

class ToolPathViewTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // The example machine; a copy, the run may write its files.
    const std::string params = testsupport::MakeTempDir("viewparams");
    std::filesystem::copy(kExamples + "/params", params, std::filesystem::copy_options::recursive);
    Folders::SetParameters(params);
    Folders::SetMacros(kExamples + "/macros");
    ResetParameterFilesForTest();
    OpenParameterFiles();
    LoadMachineConfig();
    LoadToolTable();
    ResetMachineStateForTest();
    // The tool stands above the work zero (G54 is machine X100 Y100 Z-60).
    actState.progPos = Coordinates(100, 100, -50);
    build = new PreviewBuild(kExamples + "/engraving.nc");
    result = build->Run();
  }
  static void TearDownTestSuite() {
    delete build;
    build = nullptr;
    ResetParameterFilesForTest();
    ResetMachineStateForTest();
    GetMachineConfig() = MachineConfig();
  }
  void SetUp() override {
    ASSERT_EQ(RUN_M30, result.runState) << result.errorReport;
    frame = new wxFrame(nullptr, wxID_ANY, "tool path", wxDefaultPosition, wxSize(800, 600));
    view = new ToolPathView(frame);
    auto* sizer = new wxBoxSizer(wxVERTICAL);
    sizer->Add(view, 1, wxEXPAND);
    frame->SetSizer(sizer);
    frame->Show();
    frame->Layout();
    for (int i = 0; i < 20 && !view->IsShownOnScreen(); ++i) wxTheApp->Yield();
    wxTheApp->Yield();
    view->SetToolPath(build->Grafic());
  }
  void TearDown() override { frame->Destroy(); wxTheApp->Yield(); }

  // A left click at p, as the mouse sends it.
  void Click(const wxPoint& p) {
    for (wxEventType t : {wxEVT_LEFT_DOWN, wxEVT_LEFT_UP}) {
      wxMouseEvent e(t);
      e.SetPosition(p);
      e.m_leftDown = t == wxEVT_LEFT_DOWN;
      view->GetEventHandler()->ProcessEvent(e);
    }
  }

  static PreviewBuild* build;
  static PreviewResult result;
  wxFrame* frame = nullptr;
  ToolPathView* view = nullptr;
};

PreviewBuild* ToolPathViewTest::build = nullptr;
PreviewResult ToolPathViewTest::result;

}  // namespace

// The engraving's plate is 60 x 30 mm at G54 (machine X100 Y100 Z-60),
// 0.3 mm deep, retracting to Z10; the tool starts at its corner, Z-50.
TEST_F(ToolPathViewTest, ShowsTheExampleInMachineCoordinates) {
  const Box3 b = view->Bounds();
  const double lo[3] = {100, 100, -60.3}, hi[3] = {160, 130, -50};
  for (int i = 0; i < 3; ++i) {
    EXPECT_NEAR(lo[i], b.min[i], 1e-4) << i;
    EXPECT_NEAR(hi[i], b.max[i], 1e-4) << i;
  }
  // Every corner of the box is in the window, in every standard view and
  // both projections.
  using S = ToolPathCamera::Standard;
  for (bool perspective : {false, true}) {
    for (S s : {S::Top, S::Front, S::Side, S::Iso}) {
      view->SetPerspective(perspective);
      view->SetStandardView(s);
      for (int c = 0; c < 8; ++c) {
        const double p[3] = {c & 1 ? hi[0] : lo[0], c & 2 ? hi[1] : lo[1], c & 4 ? hi[2] : lo[2]};
        wxPoint w;
        ASSERT_TRUE(view->ToWindow(p, w));
        const wxSize size = view->GetClientSize();
        EXPECT_TRUE(w.x >= 0 && w.y >= 0 && w.x < size.x && w.y < size.y)
            << "view " << int(s) << " perspective " << perspective << " corner " << c;
      }
    }
  }
}

// A click on a segment selects its line and reports it; selecting a line
// highlights exactly its segments; a click on nothing clears.
TEST_F(ToolPathViewTest, ClickedSegmentsSelectTheirLineAndBack) {
  view->SetStandardView(ToolPathCamera::Standard::Top);
  const auto path = view->Path();
  const SegmentList& moves = path->Moves();
  int32_t reported = 0;
  view->SetLinePickedHandler([&](int32_t line) { reported = line; });
  // Lines 10 (X55 along the bottom edge), 22 (the Q circle), 31 (a V stroke).
  for (int32_t line : {10, 22, 31}) {
    SCOPED_TRACE(line);
    const auto ranges = ToolPath::SegmentsOfLine(moves, line);
    ASSERT_FALSE(ranges.empty());
    size_t count = 0;
    for (const auto& r : ranges) count += r.count;
    view->SelectLine(line);
    EXPECT_EQ(count, view->SelectedSegmentCount());
    view->SelectLine(0);
    // The middle of the line's middle segment.
    const size_t i = ranges[0].first + ranges[0].count / 2;
    const float* a = moves.StartOf(i);
    const double mid[3] = {0.5 * (a[0] + moves[i].end[0]), 0.5 * (a[1] + moves[i].end[1]),
                           0.5 * (a[2] + moves[i].end[2])};
    wxPoint w;
    ASSERT_TRUE(view->ToWindow(mid, w));
    reported = 0;
    Click(w);
    EXPECT_EQ(line, reported);
    EXPECT_EQ(line, view->SelectedLine());
    EXPECT_EQ(count, view->SelectedSegmentCount());
  }
  reported = 0;
  Click(wxPoint(3, 3));
  EXPECT_EQ(0, reported);
  EXPECT_EQ(0, view->SelectedLine());
}

// During a run the part done is grey and the tool is drawn; the view is
// saved as the pictures in docs/.
TEST_F(ToolPathViewTest, RunProgressAndScreenshots) {
  const std::string docs = std::string(QUORVANE_SOURCE_DIR) + "/docs";
  std::filesystem::create_directories(docs);
  wxImage::AddHandler(new wxPNGHandler);
  view->SetStandardView(ToolPathCamera::Standard::Iso);
  const wxImage idle = view->Snapshot();
  ASSERT_TRUE(idle.IsOk());
  EXPECT_GT(CountColour(idle, 90, 215, 120), 500);  // feeds
  EXPECT_GT(CountColour(idle, 235, 105, 60), 100);  // rapids
  EXPECT_EQ(0, CountColour(idle, 105, 105, 112));   // nothing done yet
  EXPECT_TRUE(idle.SaveFile(docs + "/toolpath_iso.png", wxBITMAP_TYPE_PNG));
  // The plate's 60 mm sit in a 600 mm machine: the box shows when the view
  // takes in the whole machine.
  EXPECT_EQ(0, CountColour(idle, 140, 140, 155));
  view->ZoomToMachine();
  const wxImage machine = view->Snapshot();
  EXPECT_GT(CountColour(machine, 140, 140, 155), 1000);
  EXPECT_TRUE(machine.SaveFile(docs + "/toolpath_machine.png", wxBITMAP_TYPE_PNG));
  view->ZoomToFit();

  // The machine is half way round the Q's circle (line 22).
  const double onCircle[3] = {109, 115, -60.3};
  view->SetProgress(22, onCircle);
  const size_t seg = view->ProgressSegment();
  ASSERT_LT(seg, view->Path()->Moves().Size());
  EXPECT_EQ(22, view->Path()->Moves()[seg].tag);
  const wxImage running = view->Snapshot();
  EXPECT_GT(CountColour(running, 105, 105, 112), 500);
  EXPECT_LT(CountColour(running, 90, 215, 120), CountColour(idle, 90, 215, 120));
  view->SelectLine(22);
  view->SetStandardView(ToolPathCamera::Standard::Top);
  const wxImage top = view->Snapshot();
  EXPECT_GT(CountColour(top, 255, 70, 240), 100);  // the selected circle
  EXPECT_TRUE(top.SaveFile(docs + "/toolpath_top.png", wxBITMAP_TYPE_PNG));
  view->ClearProgress();
  EXPECT_EQ(0, CountColour(view->Snapshot(), 105, 105, 112));
}

// The pocket example cuts with radius compensation: the compensated moves
// and the programmed contour both show, each in its own colour.
TEST_F(ToolPathViewTest, CompensatedMovesBesideTheProgrammedContour) {
  PreviewBuild pocket(kExamples + "/pocket.nc");
  ASSERT_EQ(RUN_M30, pocket.Run().runState) << pocket.Result().errorReport;
  ASSERT_FALSE(pocket.Path()->Programmed().Empty());
  view->SetToolPath(pocket.Grafic());
  view->SetStandardView(ToolPathCamera::Standard::Iso);
  const wxImage img = view->Snapshot();
  EXPECT_GT(CountColour(img, 80, 165, 255), 300);  // compensated
  EXPECT_GT(CountColour(img, 250, 215, 90), 100);  // programmed
  wxImage::AddHandler(new wxPNGHandler);
  EXPECT_TRUE(img.SaveFile(std::string(QUORVANE_SOURCE_DIR) + "/docs/toolpath_pocket_iso.png", wxBITMAP_TYPE_PNG));
}

// Above a few hundred thousand segments the view draws a thinned copy:
// far fewer lines, the same picture to within a pixel, the run display
// still splitting where the machine is.
TEST_F(ToolPathViewTest, ThinnedDrawingLooksLikeTheFullOne) {
  GCodeGrafic g;
  g.StartProgram("spiral");
  constexpr int kPoints = 300000;
  for (int i = 0; i <= kPoints; ++i) {
    const double a = i * 2 * 3.141592653589793 / 60000, r = 10 + 90.0 * i / kPoints;
    g.SetTag(i / 100 + 1);
    g.AddLine(Coordinates(r * std::cos(a), r * std::sin(a), -0.00002 * i), 20, false, nullptr, false);
  }
  g.EndProgram();
  view->SetToolPath(g);
  view->SetStandardView(ToolPathCamera::Standard::Top);
  view->SetDecimation(false);
  const wxImage full = view->Snapshot();
  EXPECT_EQ(g.Path()->Moves().Size() - 1, view->DrawnSegments());  // all but the jump
  view->SetDecimation(true);
  const wxImage thin = view->Snapshot();
  EXPECT_LT(view->DrawnSegments(), size_t(kPoints / 100));
  for (const auto& [what, u] : {std::pair("full in thinned", Unmatched(full, thin)),
                                std::pair("thinned in full", Unmatched(thin, full))}) {
    EXPECT_GT(u.second, 2000) << what;
    EXPECT_LT(u.first, u.second / 200) << what;
  }
  // Half way out the spiral: the inner half is done.
  const size_t half = g.Path()->Moves().Size() / 2;
  const float* e = g.Path()->Moves()[half].end;
  const double pos[3] = {e[0], e[1], e[2]};
  view->SetProgress(g.Path()->Moves()[half].tag, pos);
  const int done = CountColour(view->Snapshot(), 105, 105, 112);
  EXPECT_GT(done, CountColour(thin, 90, 215, 120) / 5);
  EXPECT_LT(done, CountColour(thin, 90, 215, 120));
}

// The camera: zooming keeps the point under the cursor, panning moves the
// picture with the mouse, rotating turns the view about the target.
TEST_F(ToolPathViewTest, MouseZoomPanAndRotate) {
  view->SetStandardView(ToolPathCamera::Standard::Top);
  ToolPathCamera& cam = view->Camera();
  const double p[3] = {110, 105, -60};
  double x0, y0, x1, y1;
  ASSERT_TRUE(cam.Project(p, x0, y0));
  cam.Zoom(0.5, x0, y0);
  ASSERT_TRUE(cam.Project(p, x1, y1));
  EXPECT_NEAR(x0, x1, 1e-6);
  EXPECT_NEAR(y0, y1, 1e-6);
  cam.Pan(40, -25);
  ASSERT_TRUE(cam.Project(p, x1, y1));
  EXPECT_NEAR(x0 + 40, x1, 1e-6);
  EXPECT_NEAR(y0 - 25, y1, 1e-6);
  // Dragging the mouse to the right turns the view to the left.
  const double yaw = cam.Yaw();
  wxMouseEvent down(wxEVT_LEFT_DOWN), move(wxEVT_MOTION), up(wxEVT_LEFT_UP);
  down.SetPosition(wxPoint(100, 100));
  down.m_leftDown = move.m_leftDown = true;
  move.SetPosition(wxPoint(150, 100));
  up.SetPosition(wxPoint(150, 100));
  int32_t reported = 0;
  view->SetLinePickedHandler([&](int32_t line) { reported = line; });
  for (wxMouseEvent* e : {&down, &move, &up}) view->GetEventHandler()->ProcessEvent(*e);
  EXPECT_NEAR(yaw - 20, cam.Yaw(), 1e-9);
  EXPECT_EQ(0, reported);  // a drag is not a click
}

// A new path costs the window no wait: the first frame after it draws
// without its vertices, which a thread of their own makes, and a later one
// draws them. A path replaced while its vertices are made never shows.
TEST_F(ToolPathViewTest, NewPathsAreDrawnOnceTheirVerticesAreMade) {
  auto spiral = [](int points, double turns) {
    GCodeGrafic g;
    g.StartProgram("spiral");
    for (int i = 0; i <= points; ++i) {
      const double a = i * 2 * 3.141592653589793 * turns / points, r = 10 + 40.0 * i / points;
      g.SetTag(i + 1);
      g.AddLine(Coordinates(r * std::cos(a), r * std::sin(a), 0), 20, false, nullptr, false);
    }
    g.EndProgram();
    return g.Path();
  };
  const auto first = spiral(200000, 50), second = spiral(5000, 3);
  view->SetDecimation(false);
  view->SetToolPath(first);
  view->Refresh(false);
  view->Update();
  EXPECT_FALSE(view->FrameComplete());
  EXPECT_EQ(0u, view->DrawnSegments());
  view->SetToolPath(second);
  ASSERT_TRUE(guitest::PumpUntil(
      [&] {
        view->Refresh(false);
        view->Update();
        return view->FrameComplete();
      },
      20));
  EXPECT_EQ(second->Moves().Size() - 1, view->DrawnSegments());  // all but the jump
}
