#define GL_GLEXT_PROTOTYPES 1
#include "app/toolpathview.h"

#include <GL/gl.h>
#include <GL/glext.h>

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <limits>
#include <mutex>
#include <thread>

#include <wx/dcclient.h>
#include <wx/menu.h>

#include "base/threadsync.h"
#include "preview/gcodegrafic.h"

namespace {

constexpr double kDegToRad = 0.017453292519943295;
constexpr double kFovDeg = 30.0;
// Thinned copies are drawn above this many segments.
constexpr size_t kThinAbove = 250000;
constexpr int kLevels = 14;  // level 0: every segment
// Finest thinning tolerance as a part of the scene's diagonal; each level
// is twice as coarse.
constexpr double kThinBase = 1e-5;
constexpr double kPickRadiusPx = 6.0;
constexpr int kDragThresholdPx = 3;

struct Rgba {
  uint8_t r, g, b, a;
};
constexpr Rgba kBackground{28, 30, 36, 255};
constexpr Rgba kRapid{235, 105, 60, 255};
constexpr Rgba kFeed{90, 215, 120, 255};
constexpr Rgba kCompensated{80, 165, 255, 255};
constexpr Rgba kProgrammed{250, 215, 90, 255};
constexpr Rgba kExecuted{105, 105, 112, 255};
constexpr Rgba kSelected{255, 70, 240, 255};
constexpr Rgba kLimits{140, 140, 155, 255};
constexpr Rgba kTool{240, 240, 240, 255};

struct Vertex {
  float p[3];
  Rgba c;
};
static_assert(sizeof(Vertex) == 16);

Rgba StyleOf(const PathSegment& s, bool programmed) {
  if (programmed) return kProgrammed;
  if (s.kind == SegmentKind::Rapid) return kRapid;
  return (s.flags & kSegCompensated) ? kCompensated : kFeed;
}

bool Drawn(const PathSegment& s) { return s.kind != SegmentKind::Jump && !(s.flags & kSegHidden); }

bool SameColour(Rgba a, Rgba b) { return a.r == b.r && a.g == b.g && a.b == b.b; }

double Dot(const double a[3], const double b[3]) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }

// Squared distance from p to the window segment a..b.
double DistanceSq2(double px, double py, double ax, double ay, double bx, double by) {
  const double dx = bx - ax, dy = by - ay;
  const double len2 = dx * dx + dy * dy;
  double t = len2 > 0 ? ((px - ax) * dx + (py - ay) * dy) / len2 : 0;
  t = std::clamp(t, 0.0, 1.0);
  const double ex = ax + t * dx - px, ey = ay + t * dy - py;
  return ex * ex + ey * ey;
}

wxGLAttributes DisplayAttributes() {
  wxGLAttributes attrs;
  attrs.PlatformDefaults().RGBA().DoubleBuffer().Depth(24).EndList();
  if (!wxGLCanvas::IsDisplaySupported(attrs)) {
    attrs.Reset();
    attrs.PlatformDefaults().RGBA().DoubleBuffer().Depth(16).EndList();
  }
  return attrs;
}

enum MenuId {
  ID_TOP = wxID_HIGHEST + 300,
  ID_FRONT,
  ID_SIDE,
  ID_ISO,
  ID_PERSPECTIVE,
  ID_FIT,
  ID_MACHINE,
};

}  // namespace

// ---------------------------------------------------------------------------
// Camera

void ToolPathCamera::SetViewport(int widthPx, int heightPx) {
  m_width = std::max(1, widthPx);
  m_height = std::max(1, heightPx);
}

void ToolPathCamera::SetStandard(Standard view) {
  switch (view) {
    case Standard::Top: m_yaw = 0, m_pitch = 90; break;
    case Standard::Front: m_yaw = 0, m_pitch = 0; break;
    case Standard::Side: m_yaw = 90, m_pitch = 0; break;
    case Standard::Iso: m_yaw = 45, m_pitch = 35.264; break;
  }
}

void ToolPathCamera::SetSceneRadius(double mm) { m_sceneRadius = std::isfinite(mm) && mm > 1e-3 ? mm : 1e-3; }

void ToolPathCamera::Basis(double right[3], double up[3], double eye[3]) const {
  const double y = m_yaw * kDegToRad, p = m_pitch * kDegToRad;
  // eye: from the target towards the eye; right stays level.
  eye[0] = std::sin(y) * std::cos(p);
  eye[1] = -std::cos(y) * std::cos(p);
  eye[2] = std::sin(p);
  right[0] = std::cos(y);
  right[1] = std::sin(y);
  right[2] = 0;
  // up = right x forward, forward = -eye
  up[0] = -(right[1] * eye[2] - right[2] * eye[1]);
  up[1] = -(right[2] * eye[0] - right[0] * eye[2]);
  up[2] = -(right[0] * eye[1] - right[1] * eye[0]);
}

double ToolPathCamera::EyeDistance() const {
  if (m_perspective) return m_halfHeightMm / std::tan(0.5 * kFovDeg * kDegToRad);
  return 2 * m_sceneRadius + m_halfHeightMm + 1;
}

void ToolPathCamera::Fit(const Box3& box) {
  if (box.empty) return;
  double r[3], u[3], e[3];
  Basis(r, u, e);
  for (int i = 0; i < 3; ++i) m_target[i] = 0.5 * (box.min[i] + box.max[i]);
  const double aspect = double(m_width) / m_height;
  const double invFy = m_perspective ? std::tan(0.5 * kFovDeg * kDegToRad) : 0.0;
  double half = 0;
  for (int c = 0; c < 8; ++c) {
    const double d[3] = {(c & 1 ? box.max[0] : box.min[0]) - m_target[0],
                         (c & 2 ? box.max[1] : box.min[1]) - m_target[1],
                         (c & 4 ? box.max[2] : box.min[2]) - m_target[2]};
    // Nearer corners look larger in perspective.
    const double toward = Dot(d, e) * invFy;
    half = std::max(half, 1.08 * std::fabs(Dot(d, u)) + toward);
    half = std::max(half, 1.08 * std::fabs(Dot(d, r)) / aspect + toward);
  }
  m_halfHeightMm = half > 1e-3 ? half : 10.0;
  SetSceneRadius(std::max(m_sceneRadius, 0.5 * box.Diagonal()));
}

void ToolPathCamera::Rotate(double dxPx, double dyPx) {
  m_yaw = std::fmod(m_yaw - 0.4 * dxPx, 360.0);
  m_pitch = std::clamp(m_pitch + 0.4 * dyPx, -90.0, 90.0);
}

void ToolPathCamera::Pan(double dxPx, double dyPx) {
  double r[3], u[3], e[3];
  Basis(r, u, e);
  const double mm = MmPerPixel();
  for (int i = 0; i < 3; ++i) m_target[i] += (-r[i] * dxPx + u[i] * dyPx) * mm;
}

void ToolPathCamera::Zoom(double factor, double xPx, double yPx) {
  if (!(factor > 0) || !std::isfinite(factor)) return;
  const double next = std::clamp(m_halfHeightMm * factor, 1e-4, 1e7);
  factor = next / m_halfHeightMm;
  double r[3], u[3], e[3];
  Basis(r, u, e);
  const double mm = MmPerPixel();
  const double cx = (xPx - 0.5 * m_width) * mm, cy = (0.5 * m_height - yPx) * mm;
  for (int i = 0; i < 3; ++i) m_target[i] += (r[i] * cx + u[i] * cy) * (1 - factor);
  m_halfHeightMm = next;
}

double ToolPathCamera::MmPerPixel() const { return 2 * m_halfHeightMm / m_height; }

void ToolPathCamera::ModelView(double m[16]) const {
  double r[3], u[3], e[3];
  Basis(r, u, e);
  const double d = EyeDistance();
  const double eye[3] = {m_target[0] + e[0] * d, m_target[1] + e[1] * d, m_target[2] + e[2] * d};
  const double* rows[3] = {r, u, e};
  for (int row = 0; row < 3; ++row) {
    for (int col = 0; col < 3; ++col) m[col * 4 + row] = rows[row][col];
    m[12 + row] = -Dot(rows[row], eye);
  }
  m[3] = m[7] = m[11] = 0;
  m[15] = 1;
}

void ToolPathCamera::Projection(double m[16]) const {
  std::fill(m, m + 16, 0.0);
  const double aspect = double(m_width) / m_height;
  const double d = EyeDistance();
  const double depth = 3 * m_sceneRadius + 1;
  if (m_perspective) {
    const double n = std::max(d - depth, d * 1e-3), f = d + depth;
    const double fy = 1.0 / std::tan(0.5 * kFovDeg * kDegToRad);
    m[0] = fy / aspect;
    m[5] = fy;
    m[10] = (f + n) / (n - f);
    m[11] = -1;
    m[14] = 2 * f * n / (n - f);
  } else {
    const double n = std::max(1e-3, d - depth), f = d + depth;
    m[0] = 1.0 / (m_halfHeightMm * aspect);
    m[5] = 1.0 / m_halfHeightMm;
    m[10] = -2.0 / (f - n);
    m[14] = -(f + n) / (f - n);
    m[15] = 1;
  }
}

bool ToolPathCamera::Project(const double p[3], double& xPx, double& yPx) const {
  double mv[16], pr[16];
  ModelView(mv);
  Projection(pr);
  double v[4];
  for (int row = 0; row < 4; ++row) v[row] = mv[row] * p[0] + mv[4 + row] * p[1] + mv[8 + row] * p[2] + mv[12 + row];
  double c[4];
  for (int row = 0; row < 4; ++row) c[row] = pr[row] * v[0] + pr[4 + row] * v[1] + pr[8 + row] * v[2] + pr[12 + row] * v[3];
  if (!(c[3] > 1e-12)) return false;
  xPx = (c[0] / c[3] + 1) * 0.5 * m_width;
  yPx = (1 - c[1] / c[3]) * 0.5 * m_height;
  return true;
}

// ---------------------------------------------------------------------------
// Vertex buffers

namespace {

// The vertices of one level as a worker builds them, before they go to GL.
// One line strip per run of drawn segments (a jump or a hidden segment ends
// it). Each vertex but a strip's first carries the colour of the line that
// ends there (drawn flat).
struct LevelData {
  std::vector<Vertex> v;
  std::vector<GLint> stripFirst;
  std::vector<GLsizei> stripCount;
  // Per vertex: how many path segments lie before the next line, i.e. one
  // past the last segment the line ending here covers (at a strip's first
  // vertex: the strip's first segment). Never decreases.
  std::vector<uint32_t> doneAfter;
};

class Strips {
 public:
  explicit Strips(LevelData& d) : m_d(d) {}
  bool Open() const { return m_open; }
  void Begin(const float* p, Rgba c, uint32_t segment) {
    End();
    m_d.stripFirst.push_back(GLint(m_d.v.size()));
    Add(p, c, segment);
    m_open = true;
  }
  void Add(const float* p, Rgba c, uint32_t doneAfter) {
    m_d.v.push_back(Vertex{{p[0], p[1], p[2]}, c});
    m_d.doneAfter.push_back(doneAfter);
  }
  void End() {
    if (m_open) m_d.stripCount.push_back(GLsizei(m_d.v.size() - size_t(m_d.stripFirst.back())));
    m_open = false;
  }

 private:
  LevelData& m_d;
  bool m_open = false;
};

// Every segment as drawn.
LevelData BuildFull(const SegmentList& s, bool programmed) {
  LevelData d;
  Strips out(d);
  for (size_t i = 0; i < s.Size(); ++i) {
    const PathSegment& seg = s[i];
    if (!Drawn(seg)) {
      out.End();
      continue;
    }
    const Rgba c = StyleOf(seg, programmed);
    if (!out.Open()) out.Begin(s.StartOf(i), c, uint32_t(i));
    out.Add(seg.end, c, uint32_t(i + 1));
  }
  out.End();
  return d;
}

// Runs of one colour become single lines while every point they pass stays
// within tol of the line and the run keeps going forward along it (points
// within tol of the start only set no direction): the drawing stays within
// tol of the path.
LevelData BuildThinned(const SegmentList& s, bool programmed, double tol) {
  LevelData d;
  const double tol2 = tol * tol;
  Strips out(d);
  bool hasPending = false, hasDir = false;
  Rgba colour{};
  double start[3] = {0, 0, 0}, dir[3] = {0, 0, 0}, reach = 0;
  const float* pending = nullptr;
  uint32_t pendingSegment = 0;
  auto emit = [&] {
    out.Add(pending, colour, pendingSegment + 1);
    for (int k = 0; k < 3; ++k) start[k] = pending[k];
    hasPending = hasDir = false;
  };
  for (size_t i = 0; i < s.Size(); ++i) {
    const PathSegment& seg = s[i];
    if (!Drawn(seg)) {
      if (hasPending) emit();
      out.End();
      continue;
    }
    const Rgba c = StyleOf(seg, programmed);
    if (!out.Open()) {
      const float* a = s.StartOf(i);
      out.Begin(a, c, uint32_t(i));
      for (int k = 0; k < 3; ++k) start[k] = a[k];
      colour = c;
    } else if (!SameColour(c, colour)) {
      if (hasPending) emit();
      colour = c;
    }
    const float* e = seg.end;
    for (int pass = 0; pass < 2; ++pass) {
      const double dd[3] = {e[0] - start[0], e[1] - start[1], e[2] - start[2]};
      const double len2 = dd[0] * dd[0] + dd[1] * dd[1] + dd[2] * dd[2];
      bool fits = true;
      if (!hasDir) {
        if (len2 > tol2) {
          const double len = std::sqrt(len2);
          for (int k = 0; k < 3; ++k) dir[k] = dd[k] / len;
          reach = len;
          hasDir = true;
        }
      } else {
        const double t = Dot(dd, dir);
        fits = len2 - t * t <= tol2 && t >= reach - tol;
        if (fits) reach = std::max(reach, t);
      }
      if (fits) {
        pending = e;
        pendingSegment = uint32_t(i);
        hasPending = true;
        break;
      }
      // The line ends at the last point that fitted; this point starts the
      // next one from there.
      emit();
    }
  }
  if (hasPending) emit();
  out.End();
  return d;
}

double LevelTolerance(double base, int level) { return base * std::ldexp(1.0, level - 1); }

LevelData BuildLevel(const SegmentList& s, bool programmed, double thinBaseMm, int level) {
  return level == 0 ? BuildFull(s, programmed) : BuildThinned(s, programmed, LevelTolerance(thinBaseMm, level));
}

}  // namespace

// A level as drawn: its vertex buffer and the strips in it.
struct ToolPathView::Level {
  GLuint vbo = 0;
  size_t vertices = 0;
  std::vector<GLint> stripFirst;
  std::vector<GLsizei> stripCount;
  std::vector<uint32_t> doneAfter;
  bool built = false;
  bool requested = false;  // handed to the preparer

  // Uploads the vertices (the GL context is current); keeps the strips.
  void Store(LevelData&& d) {
    if (!vbo) glGenBuffers(1, &vbo);
    glBindBuffer(GL_ARRAY_BUFFER, vbo);
    glBufferData(GL_ARRAY_BUFFER, GLsizeiptr(d.v.size() * sizeof(Vertex)), d.v.empty() ? nullptr : d.v.data(),
                 GL_STATIC_DRAW);
    glBindBuffer(GL_ARRAY_BUFFER, 0);
    vertices = d.v.size();
    stripFirst = std::move(d.stripFirst);
    stripCount = std::move(d.stripCount);
    doneAfter = std::move(d.doneAfter);
    built = true;
  }
};

struct ToolPathView::Buffer {
  const SegmentList* list = nullptr;
  bool programmed = false;
  double thinBaseMm = 0;
  Level levels[kLevels];

  ~Buffer() {
    for (Level& l : levels)
      if (l.vbo) glDeleteBuffers(1, &l.vbo);
  }
};

// Builds levels on a thread of its own, below the GUI thread's priority: a
// path of millions of segments takes a few hundred milliseconds to turn into
// vertices, which the window must not wait for. The view asks for a level,
// draws what it has meanwhile and takes the vertices when they are ready.
class ToolPathView::Preparer {
 public:
  // onReady(generation) is called on the preparing thread after each level.
  explicit Preparer(std::function<void(uint64_t)> onReady) : m_onReady(std::move(onReady)) {}
  ~Preparer() {
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_stop = true;
    }
    m_wake.notify_all();
    if (m_thread.joinable()) m_thread.join();
  }

  void Request(uint64_t generation, std::shared_ptr<const ToolPath> path, bool programmed, double thinBaseMm,
               int level) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_jobs.push_back(Job{generation, std::move(path), programmed, thinBaseMm, level});
    if (!m_thread.joinable()) m_thread = std::thread([this] { Run(); });
    m_wake.notify_one();
  }
  // The vertices of a level asked for, when they are ready.
  bool Take(uint64_t generation, bool programmed, int level, LevelData& out) {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (auto it = m_done.begin(); it != m_done.end(); ++it) {
      if (it->generation == generation && it->programmed == programmed && it->level == level) {
        out = std::move(it->data);
        m_done.erase(it);
        return true;
      }
    }
    return false;
  }
  // Work for paths older than generation is dropped.
  void Forget(uint64_t generation) {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::erase_if(m_jobs, [&](const Job& j) { return j.generation < generation; });
    std::erase_if(m_done, [&](const Done& d) { return d.generation < generation; });
  }

 private:
  struct Job {
    uint64_t generation;
    std::shared_ptr<const ToolPath> path;
    bool programmed;
    double thinBaseMm;
    int level;
  };
  struct Done {
    uint64_t generation;
    bool programmed;
    int level;
    LevelData data;
  };

  void Run() {
    SetBackgroundPriority();
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
      m_wake.wait(lock, [&] { return m_stop || !m_jobs.empty(); });
      if (m_stop) return;
      Job job = std::move(m_jobs.front());
      m_jobs.pop_front();
      lock.unlock();
      const SegmentList& list = job.programmed ? job.path->Programmed() : job.path->Moves();
      LevelData data = BuildLevel(list, job.programmed, job.thinBaseMm, job.level);
      job.path.reset();
      lock.lock();
      m_done.push_back(Done{job.generation, job.programmed, job.level, std::move(data)});
      if (m_onReady) m_onReady(job.generation);
    }
  }

  std::function<void(uint64_t)> m_onReady;
  std::thread m_thread;
  std::mutex m_mutex;
  std::condition_variable m_wake;
  std::deque<Job> m_jobs;
  std::vector<Done> m_done;
  bool m_stop = false;
};

// ---------------------------------------------------------------------------
// The canvas

ToolPathView::ToolPathView(wxWindow* parent, wxWindowID id, const wxPoint& pos, const wxSize& size)
    : wxGLCanvas(parent, DisplayAttributes(), id, pos, size, wxFULL_REPAINT_ON_RESIZE) {
  m_context = new wxGLContext(this);
  SetBackgroundStyle(wxBG_STYLE_PAINT);
  Bind(wxEVT_PAINT, &ToolPathView::OnPaint, this);
  Bind(wxEVT_SIZE, &ToolPathView::OnSize, this);
  Bind(wxEVT_LEFT_DOWN, &ToolPathView::OnMouse, this);
  Bind(wxEVT_LEFT_UP, &ToolPathView::OnMouse, this);
  Bind(wxEVT_LEFT_DCLICK, &ToolPathView::OnMouse, this);
  Bind(wxEVT_RIGHT_DOWN, &ToolPathView::OnMouse, this);
  Bind(wxEVT_RIGHT_UP, &ToolPathView::OnMouse, this);
  Bind(wxEVT_MIDDLE_DOWN, &ToolPathView::OnMouse, this);
  Bind(wxEVT_MIDDLE_UP, &ToolPathView::OnMouse, this);
  Bind(wxEVT_MOTION, &ToolPathView::OnMouse, this);
  Bind(wxEVT_MOUSEWHEEL, &ToolPathView::OnMouse, this);
  Bind(wxEVT_MOUSE_CAPTURE_LOST, [](wxMouseCaptureLostEvent&) {});
  Bind(wxEVT_MENU, &ToolPathView::OnMenu, this, ID_TOP, ID_MACHINE);
  m_camera.SetStandard(ToolPathCamera::Standard::Iso);
}

ToolPathView::~ToolPathView() {
  m_preparer.reset();
  // The buffers belong to the context: without it they go with it.
  if (!MakeCurrent()) {
    for (Buffer* b : {m_moves.get(), m_programmed.get()})
      if (b)
        for (Level& l : b->levels) l.vbo = 0;
  }
  m_moves.reset();
  m_programmed.reset();
  delete m_context;
}

bool ToolPathView::MakeCurrent() { return m_context && IsShownOnScreen() && SetCurrent(*m_context); }

void ToolPathView::SetToolPath(const GCodeGrafic& grafic) { SetToolPath(grafic.Path()); }

void ToolPathView::SetToolPath(std::shared_ptr<const ToolPath> path) {
  m_path = std::move(path);
  ++m_generation;
  m_uploadPending = true;
  m_selectedLine = 0;
  m_selectedCount = 0;
  m_selection.clear();
  ClearProgress();
  ZoomToFit();
}

Box3 ToolPathView::Bounds() const {
  Box3 box;
  if (!m_path) return box;
  box = m_path->Bounds();
  if (box.empty) {
    const Box3& lim = m_path->Limits();
    for (int i = 0; i < 3; ++i)
      if (!m_path->HasLimit(i)) return box;
    box = lim;
  }
  return box;
}

void ToolPathView::UpdateViewport() {
  const wxSize s = GetClientSize() * GetContentScaleFactor();
  m_camera.SetViewport(s.x, s.y);
}

void ToolPathView::ZoomToFit() { Fit(false); }

void ToolPathView::ZoomToMachine() { Fit(true); }

void ToolPathView::Fit(bool withLimits) {
  UpdateViewport();
  Box3 scene = Bounds();
  if (scene.empty) scene.Add(-50, -50, -50), scene.Add(50, 50, 50);
  Box3 all = scene;
  if (m_path)
    for (int i = 0; i < 3; ++i)
      if (m_path->HasLimit(i)) {
        all.min[i] = std::min(all.min[i], m_path->Limits().min[i]);
        all.max[i] = std::max(all.max[i], m_path->Limits().max[i]);
      }
  m_camera.SetSceneRadius(0.5 * all.Diagonal());
  m_camera.Fit(withLimits ? all : scene);
  Refresh(false);
}

void ToolPathView::SetStandardView(ToolPathCamera::Standard view) {
  m_camera.SetStandard(view);
  ZoomToFit();
}

void ToolPathView::SetPerspective(bool on) {
  m_camera.SetPerspective(on);
  ZoomToFit();
}

void ToolPathView::SetDecimation(bool on) {
  m_decimate = on;
  Refresh(false);
}

void ToolPathView::SelectLine(int32_t line) {
  m_selectedLine = line;
  m_selectedCount = 0;
  m_selection.clear();
  if (m_path && line > 0) {
    for (const SegmentList* list : {&m_path->Moves(), &m_path->Programmed()}) {
      for (const SegmentRange& r : ToolPath::SegmentsOfLine(*list, line)) {
        for (size_t i = r.first; i < r.first + r.count; ++i) {
          if (!Drawn((*list)[i])) continue;
          const float* a = list->StartOf(i);
          const float* b = (*list)[i].end;
          m_selection.insert(m_selection.end(), {a[0], a[1], a[2], b[0], b[1], b[2]});
          ++m_selectedCount;
        }
      }
    }
  }
  Refresh(false);
}

void ToolPathView::SetProgress(int32_t line, const double machinePos[3]) {
  if (!m_path) return;
  m_progressSegment = m_path->FindProgress(line, machinePos, m_running ? m_progressSegment : 0);
  std::copy(machinePos, machinePos + 3, m_toolPos);
  m_running = true;
  Refresh(false);
}

void ToolPathView::ClearProgress() {
  m_running = false;
  m_progressSegment = 0;
  Refresh(false);
}

bool ToolPathView::ToWindow(const double machinePos[3], wxPoint& windowPoint) const {
  double x, y;
  if (!m_camera.Project(machinePos, x, y)) return false;
  const double scale = GetContentScaleFactor();
  windowPoint = wxPoint(int(std::lround(x / scale)), int(std::lround(y / scale)));
  return true;
}

int32_t ToolPathView::PickLine(const wxPoint& windowPoint) const {
  if (!m_path) return 0;
  const double scale = GetContentScaleFactor();
  const double px = windowPoint.x * scale, py = windowPoint.y * scale;
  const double radius = kPickRadiusPx * scale;
  double best = radius * radius;
  int32_t line = 0;
  double mv[16], pr[16], m[16];
  m_camera.ModelView(mv);
  m_camera.Projection(pr);
  for (int c = 0; c < 4; ++c)
    for (int r = 0; r < 4; ++r)
      m[c * 4 + r] = pr[r] * mv[c * 4] + pr[4 + r] * mv[c * 4 + 1] + pr[8 + r] * mv[c * 4 + 2] + pr[12 + r] * mv[c * 4 + 3];
  const double w = m_camera.Width(), h = m_camera.Height();
  auto project = [&](const float* p, double& x, double& y) {
    const double cw = m[3] * p[0] + m[7] * p[1] + m[11] * p[2] + m[15];
    if (!(cw > 1e-12)) return false;
    x = ((m[0] * p[0] + m[4] * p[1] + m[8] * p[2] + m[12]) / cw + 1) * 0.5 * w;
    y = (1 - (m[1] * p[0] + m[5] * p[1] + m[9] * p[2] + m[13]) / cw) * 0.5 * h;
    return true;
  };
  for (const SegmentList* list : {&m_path->Moves(), &m_path->Programmed()}) {
    double ax = 0, ay = 0;
    bool aOk = false;
    for (size_t i = 0; i < list->Size(); ++i) {
      const PathSegment& s = (*list)[i];
      double bx = 0, by = 0;
      const bool bOk = project(s.end, bx, by);
      if (aOk && bOk && Drawn(s)) {
        // A cheap box test first: most segments lie far away.
        if (!(std::min(ax, bx) > px + radius || std::max(ax, bx) < px - radius || std::min(ay, by) > py + radius ||
              std::max(ay, by) < py - radius)) {
          const double d = DistanceSq2(px, py, ax, ay, bx, by);
          if (d < best) {
            best = d;
            line = s.tag;
          }
        }
      }
      ax = bx, ay = by, aOk = bOk;
    }
  }
  return line;
}

// ---- events ----------------------------------------------------------------

void ToolPathView::OnPaint(wxPaintEvent&) {
  wxPaintDC dc(this);
  Render();
}

void ToolPathView::OnSize(wxSizeEvent& event) {
  UpdateViewport();
  Refresh(false);
  event.Skip();
}

void ToolPathView::OnMouse(wxMouseEvent& event) {
  const wxPoint p = event.GetPosition();
  const wxEventType type = event.GetEventType();
  if (type == wxEVT_MOUSEWHEEL) {
    const double steps = double(event.GetWheelRotation()) / std::max(1, event.GetWheelDelta());
    const double scale = GetContentScaleFactor();
    m_camera.Zoom(std::pow(0.85, steps), p.x * scale, p.y * scale);
    Refresh(false);
    return;
  }
  if (type == wxEVT_LEFT_DOWN || type == wxEVT_RIGHT_DOWN || type == wxEVT_MIDDLE_DOWN) {
    m_dragStart = m_lastMouse = p;
    m_dragged = false;
    if (!HasCapture()) CaptureMouse();
    SetFocus();
    return;
  }
  if (type == wxEVT_LEFT_DCLICK) {
    ZoomToFit();
    return;
  }
  if (type == wxEVT_MOTION && event.Dragging()) {
    const wxPoint d = p - m_lastMouse;
    m_lastMouse = p;
    if (std::abs(p.x - m_dragStart.x) + std::abs(p.y - m_dragStart.y) > kDragThresholdPx) m_dragged = true;
    if (!m_dragged) return;
    const double scale = GetContentScaleFactor();
    if (event.LeftIsDown() && !event.ShiftDown()) m_camera.Rotate(d.x, d.y);
    else m_camera.Pan(d.x * scale, d.y * scale);
    Refresh(false);
    return;
  }
  if (type == wxEVT_LEFT_UP || type == wxEVT_RIGHT_UP || type == wxEVT_MIDDLE_UP) {
    if (HasCapture()) ReleaseMouse();
    if (m_dragged) return;
    if (type == wxEVT_LEFT_UP) {
      const int32_t line = PickLine(p);
      SelectLine(line);
      if (line > 0 && m_onPicked) m_onPicked(line);
    } else if (type == wxEVT_RIGHT_UP) {
      wxMenu menu;
      menu.Append(ID_TOP, "Top");
      menu.Append(ID_FRONT, "Front");
      menu.Append(ID_SIDE, "Side");
      menu.Append(ID_ISO, "Isometric");
      menu.AppendSeparator();
      menu.AppendCheckItem(ID_PERSPECTIVE, "Perspective")->Check(m_camera.Perspective());
      menu.Append(ID_FIT, "Zoom to fit");
      menu.Append(ID_MACHINE, "Whole machine");
      PopupMenu(&menu, p);
    }
    return;
  }
  event.Skip();
}

void ToolPathView::OnMenu(wxCommandEvent& event) {
  switch (event.GetId()) {
    case ID_TOP: SetStandardView(ToolPathCamera::Standard::Top); break;
    case ID_FRONT: SetStandardView(ToolPathCamera::Standard::Front); break;
    case ID_SIDE: SetStandardView(ToolPathCamera::Standard::Side); break;
    case ID_ISO: SetStandardView(ToolPathCamera::Standard::Iso); break;
    case ID_PERSPECTIVE: SetPerspective(!m_camera.Perspective()); break;
    case ID_FIT: ZoomToFit(); break;
    case ID_MACHINE: ZoomToMachine(); break;
    default: break;
  }
}

// ---- drawing ----------------------------------------------------------------

void ToolPathView::Upload() {
  m_uploadPending = false;
  m_moves.reset();
  m_programmed.reset();
  if (m_preparer) m_preparer->Forget(m_generation);
  if (!m_path) return;
  const double base = std::max(1e-6, kThinBase * m_path->Bounds().Diagonal());
  for (bool programmed : {false, true}) {
    auto b = std::make_unique<Buffer>();
    b->list = programmed ? &m_path->Programmed() : &m_path->Moves();
    b->programmed = programmed;
    b->thinBaseMm = base;
    (programmed ? m_programmed : m_moves) = std::move(b);
  }
}

int ToolPathView::WantedLevel(const Buffer& buffer) const {
  if (!m_decimate || buffer.list->Size() <= kThinAbove) return 0;
  // Half a pixel is below what the screen shows.
  const double wanted = 0.5 * m_camera.MmPerPixel();
  for (int l = kLevels - 1; l >= 1; --l)
    if (LevelTolerance(buffer.thinBaseMm, l) <= wanted) return l;
  return 0;
}

const ToolPathView::Level* ToolPathView::ChooseLevel(Buffer& buffer) {
  if (buffer.list->Empty()) return nullptr;
  const int want = WantedLevel(buffer);
  Level& level = buffer.levels[want];
  if (level.built) return &level;
  LevelData data;
  if (m_synchronous) {
    level.Store(BuildLevel(*buffer.list, buffer.programmed, buffer.thinBaseMm, want));
    return &level;
  }
  if (!m_preparer)
    m_preparer = std::make_unique<Preparer>([this](uint64_t generation) {
      CallAfter([this, generation] {
        if (generation == m_generation) Refresh(false);
      });
    });
  if (m_preparer->Take(m_generation, buffer.programmed, want, data)) {
    level.Store(std::move(data));
    return &level;
  }
  if (!level.requested) {
    level.requested = true;
    m_preparer->Request(m_generation, m_path, buffer.programmed, buffer.thinBaseMm, want);
  }
  m_complete = false;
  // Meanwhile the nearest level there is, a coarser one first.
  for (int d = 1; d < kLevels; ++d) {
    for (const int l : {want + d, want - d})
      if (l >= 0 && l < kLevels && buffer.levels[l].built) return &buffer.levels[l];
  }
  return nullptr;
}

void ToolPathView::DrawList(Buffer& buffer, size_t executed, bool stipple) {
  const Level* chosen = ChooseLevel(buffer);
  if (!chosen) return;
  const Level& level = *chosen;
  const size_t strips = level.stripFirst.size();
  if (strips == 0) return;
  if (stipple) {
    glEnable(GL_LINE_STIPPLE);
    glLineStipple(2, 0x3F3F);
  }
  glShadeModel(GL_FLAT);
  glBindBuffer(GL_ARRAY_BUFFER, level.vbo);
  glEnableClientState(GL_VERTEX_ARRAY);
  glVertexPointer(3, GL_FLOAT, sizeof(Vertex), nullptr);
  // Lines that end at a vertex before `split` are done. The strip that
  // holds the split is drawn in two pieces that share the vertex before it.
  size_t split = 0, strip = 0;
  if (executed > 0) {
    split = size_t(std::upper_bound(level.doneAfter.begin(), level.doneAfter.end(), uint32_t(executed)) -
                   level.doneAfter.begin());
    strip = size_t(std::upper_bound(level.stripFirst.begin(), level.stripFirst.end(), GLint(split)) -
                   level.stripFirst.begin());
    strip = strip > 0 ? strip - 1 : 0;
    glColor4ub(kExecuted.r, kExecuted.g, kExecuted.b, kExecuted.a);
    if (strip > 0) glMultiDrawArrays(GL_LINE_STRIP, level.stripFirst.data(), level.stripCount.data(), GLsizei(strip));
    const GLint first = level.stripFirst[strip];
    const GLsizei done = GLsizei(std::min(split, size_t(first + level.stripCount[strip])) - size_t(first));
    if (done >= 2) glDrawArrays(GL_LINE_STRIP, first, done);
  }
  glEnableClientState(GL_COLOR_ARRAY);
  glColorPointer(4, GL_UNSIGNED_BYTE, sizeof(Vertex), reinterpret_cast<const void*>(offsetof(Vertex, c)));
  size_t from = strip;
  if (executed > 0) {
    const GLint first = level.stripFirst[strip];
    const GLint end = first + level.stripCount[strip];
    const GLint rest = std::max(first, GLint(split) - 1);
    if (end - rest >= 2) glDrawArrays(GL_LINE_STRIP, rest, end - rest);
    from = strip + 1;
  }
  if (from < strips)
    glMultiDrawArrays(GL_LINE_STRIP, level.stripFirst.data() + from, level.stripCount.data() + from,
                      GLsizei(strips - from));
  glDisableClientState(GL_COLOR_ARRAY);
  glDisableClientState(GL_VERTEX_ARRAY);
  glBindBuffer(GL_ARRAY_BUFFER, 0);
  glShadeModel(GL_SMOOTH);
  if (stipple) glDisable(GL_LINE_STIPPLE);
  m_drawnSegments += level.vertices - strips;
}

void ToolPathView::DrawScene() {
  if (!m_path) return;
  const Box3 bounds = Bounds();
  const double size = std::max(bounds.Diagonal(), 10.0);

  // The soft-limit box; an axis without limits spans the path.
  bool anyLimit = false;
  for (int i = 0; i < 3; ++i) anyLimit |= m_path->HasLimit(i);
  if (anyLimit && !bounds.empty) {
    double lo[3], hi[3];
    for (int i = 0; i < 3; ++i) {
      lo[i] = m_path->HasLimit(i) ? m_path->Limits().min[i] : bounds.min[i];
      hi[i] = m_path->HasLimit(i) ? m_path->Limits().max[i] : bounds.max[i];
    }
    if (!m_path->LimitsActive()) {
      glEnable(GL_LINE_STIPPLE);
      glLineStipple(3, 0x5555);
    }
    glColor4ub(kLimits.r, kLimits.g, kLimits.b, kLimits.a);
    glBegin(GL_LINES);
    for (int e = 0; e < 12; ++e) {
      // Edge e runs along axis e / 4; the other two axes pick a corner.
      const int axis = e / 4, a1 = (axis + 1) % 3, a2 = (axis + 2) % 3;
      double p[3];
      p[a1] = (e & 1) ? hi[a1] : lo[a1];
      p[a2] = (e & 2) ? hi[a2] : lo[a2];
      p[axis] = lo[axis];
      glVertex3d(p[0], p[1], p[2]);
      p[axis] = hi[axis];
      glVertex3d(p[0], p[1], p[2]);
    }
    glEnd();
    glDisable(GL_LINE_STIPPLE);
  }

  // Work-offset origins: X red, Y green, Z blue; the first one bolder.
  const double axisLen = std::max(size * 0.06, 2.0);
  bool firstOrigin = true;
  for (const Point3& o : m_path->Origins()) {
    glLineWidth(firstOrigin ? 3.0f : 1.5f);
    glBegin(GL_LINES);
    const Rgba colours[3] = {{230, 60, 60, 255}, {60, 220, 60, 255}, {70, 110, 255, 255}};
    for (int a = 0; a < 3; ++a) {
      glColor4ub(colours[a].r, colours[a].g, colours[a].b, 255);
      glVertex3d(o.v[0], o.v[1], o.v[2]);
      glVertex3d(o.v[0] + (a == 0) * axisLen, o.v[1] + (a == 1) * axisLen, o.v[2] + (a == 2) * axisLen);
    }
    glEnd();
    firstOrigin = false;
  }
  glLineWidth(1.0f);

  m_drawnSegments = 0;
  if (m_programmed) DrawList(*m_programmed, 0, true);
  if (m_moves) DrawList(*m_moves, m_running ? m_progressSegment : 0, false);

  // The piece of the current move already done.
  const SegmentList& moves = m_path->Moves();
  if (m_running && m_progressSegment < moves.Size()) {
    const float* a = moves.StartOf(m_progressSegment);
    glColor4ub(kExecuted.r, kExecuted.g, kExecuted.b, 255);
    glLineWidth(2.0f);
    glBegin(GL_LINES);
    glVertex3f(a[0], a[1], a[2]);
    glVertex3d(m_toolPos[0], m_toolPos[1], m_toolPos[2]);
    glEnd();
    glLineWidth(1.0f);
  }
  DrawSelection();
  DrawTool();
}

void ToolPathView::DrawSelection() {
  if (m_selection.empty()) return;
  glDisable(GL_DEPTH_TEST);
  glLineWidth(3.0f);
  glColor4ub(kSelected.r, kSelected.g, kSelected.b, kSelected.a);
  glEnableClientState(GL_VERTEX_ARRAY);
  glVertexPointer(3, GL_FLOAT, 0, m_selection.data());
  glDrawArrays(GL_LINES, 0, GLsizei(m_selection.size() / 3));
  glDisableClientState(GL_VERTEX_ARRAY);
  glLineWidth(1.0f);
  glEnable(GL_DEPTH_TEST);
}

void ToolPathView::DrawTool() {
  if (!m_running) return;
  // A cone standing on its tip at the tool position, a few percent of the
  // view high, so it reads at any zoom.
  const double h = 28 * m_camera.MmPerPixel(), r = 0.35 * h;
  const double* p = m_toolPos;
  constexpr int kFacets = 16;
  glDisable(GL_DEPTH_TEST);
  glBegin(GL_TRIANGLES);
  for (int i = 0; i < kFacets; ++i) {
    const double a0 = 2 * M_PI * i / kFacets, a1 = 2 * M_PI * (i + 1) / kFacets;
    const uint8_t shade = uint8_t(150 + 90 * (0.5 + 0.5 * std::cos(0.5 * (a0 + a1) - 0.8)));
    glColor4ub(shade, shade, uint8_t(std::min(255, shade + 10)), 255);
    glVertex3d(p[0], p[1], p[2]);
    glVertex3d(p[0] + r * std::cos(a0), p[1] + r * std::sin(a0), p[2] + h);
    glVertex3d(p[0] + r * std::cos(a1), p[1] + r * std::sin(a1), p[2] + h);
  }
  glEnd();
  glColor4ub(kTool.r, kTool.g, kTool.b, kTool.a);
  glBegin(GL_LINES);
  glVertex3d(p[0], p[1], p[2] + h);
  glVertex3d(p[0], p[1], p[2] + 2 * h);
  glEnd();
  glEnable(GL_DEPTH_TEST);
}

// A software renderer compiles its pipeline for each new kind of drawing
// when it is first used: tens of milliseconds. The first frame (start-up)
// draws the path's kinds once, invisibly, so the first program loaded is
// not the one to wait for it.
void ToolPathView::WarmUp() {
  m_warmedUp = true;
  const Vertex v[2] = {{{0, 0, 0}, kFeed}, {{0, 0, 0}, kRapid}};
  GLuint vbo = 0;
  glGenBuffers(1, &vbo);
  glBindBuffer(GL_ARRAY_BUFFER, vbo);
  glBufferData(GL_ARRAY_BUFFER, sizeof v, v, GL_STATIC_DRAW);
  // Both points in one place: a line of no length leaves no pixel.
  glShadeModel(GL_FLAT);
  glEnableClientState(GL_VERTEX_ARRAY);
  glVertexPointer(3, GL_FLOAT, sizeof(Vertex), nullptr);
  const GLint first = 0;
  const GLsizei count = 2;
  for (const bool stipple : {false, true}) {
    if (stipple) {
      glEnable(GL_LINE_STIPPLE);
      glLineStipple(2, 0x3F3F);
    }
    glColor4ub(kExecuted.r, kExecuted.g, kExecuted.b, kExecuted.a);
    glDrawArrays(GL_LINE_STRIP, 0, 2);
    glEnableClientState(GL_COLOR_ARRAY);
    glColorPointer(4, GL_UNSIGNED_BYTE, sizeof(Vertex), reinterpret_cast<const void*>(offsetof(Vertex, c)));
    glMultiDrawArrays(GL_LINE_STRIP, &first, &count, 1);
    glDisableClientState(GL_COLOR_ARRAY);
    glDisable(GL_LINE_STIPPLE);
  }
  glDisableClientState(GL_VERTEX_ARRAY);
  glShadeModel(GL_SMOOTH);
  glBindBuffer(GL_ARRAY_BUFFER, 0);
  glDeleteBuffers(1, &vbo);
}

void ToolPathView::DrawFrame() {
  UpdateViewport();
  if (m_uploadPending) Upload();
  m_complete = true;
  glViewport(0, 0, m_camera.Width(), m_camera.Height());
  glClearColor(kBackground.r / 255.f, kBackground.g / 255.f, kBackground.b / 255.f, 1.f);
  glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
  glEnable(GL_DEPTH_TEST);
  glDepthFunc(GL_LEQUAL);
  double m[16];
  glMatrixMode(GL_PROJECTION);
  m_camera.Projection(m);
  glLoadMatrixd(m);
  glMatrixMode(GL_MODELVIEW);
  m_camera.ModelView(m);
  glLoadMatrixd(m);
  if (!m_warmedUp) WarmUp();
  DrawScene();
}

void ToolPathView::Render() {
  if (!MakeCurrent()) return;
  DrawFrame();
  glFlush();
  SwapBuffers();
}

void ToolPathView::RenderNow() {
  if (!MakeCurrent()) return;
  m_synchronous = true;
  DrawFrame();
  m_synchronous = false;
  glFinish();
  SwapBuffers();
}

wxImage ToolPathView::Snapshot() {
  if (!MakeCurrent()) return wxImage();
  // Draw into the back buffer and read it before it is shown.
  m_synchronous = true;
  DrawFrame();
  m_synchronous = false;
  glFinish();
  const int w = m_camera.Width(), h = m_camera.Height();
  std::vector<unsigned char> rgb(size_t(w) * h * 3);
  glPixelStorei(GL_PACK_ALIGNMENT, 1);
  glReadBuffer(GL_BACK);
  glReadPixels(0, 0, w, h, GL_RGB, GL_UNSIGNED_BYTE, rgb.data());
  SwapBuffers();
  // GL rows run bottom up; wxImage takes a malloc'd buffer.
  auto* data = static_cast<unsigned char*>(std::malloc(rgb.size()));
  if (!data) return wxImage();
  for (int y = 0; y < h; ++y)
    std::memcpy(data + size_t(y) * w * 3, rgb.data() + size_t(h - 1 - y) * w * 3, size_t(w) * 3);
  return wxImage(w, h, data);
}
