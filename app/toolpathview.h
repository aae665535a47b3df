// ToolPathView: the 3D view of a recorded tool path (OpenGL canvas).
//
// Shows the moves (rapids, feeds, compensated moves in their own colours),
// the programmed path beside compensated contours, the soft-limit box and
// the work-offset origins. During a run the part already executed is drawn
// grey and the tool stands where the machine is (SetProgress). Clicking a
// segment selects its program line and reports it; selecting a line
// highlights its segments.
//
// Mouse: left drag rotates, right or middle drag (or shift + left) pans, the
// wheel zooms about the cursor, a double click fits the path, a right click
// without dragging opens the view menu (standard views, projection, zoom to
// fit, the whole machine).
//
// The path lives in vertex buffers; above a few hundred thousand segments
// the view draws a copy thinned to what the screen resolves (consecutive
// points closer than half a pixel merge), kept per zoom level. The vertices
// are made on a thread of their own: a new path (or a zoom level not seen
// before) shows a frame or two later, and the window never waits for it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include <wx/glcanvas.h>
#include <wx/image.h>

#include "preview/toolpath.h"

class GCodeGrafic;

// What the view looks at and how; no GL in here. Window pixels: x to the
// right, y down, origin top left. Lengths in mm, angles in degrees.
class ToolPathCamera {
 public:
  enum class Standard { Top, Front, Side, Iso };

  void SetViewport(int widthPx, int heightPx);
  int Width() const { return m_width; }
  int Height() const { return m_height; }
  void SetStandard(Standard view);
  void SetPerspective(bool on) { m_perspective = on; }
  bool Perspective() const { return m_perspective; }
  // The depth the scene spans (near and far planes follow it).
  void SetSceneRadius(double mm);
  // Centres box and zooms until it fills the window with a small margin.
  void Fit(const Box3& box);
  // Drag by pixels.
  void Rotate(double dxPx, double dyPx);
  void Pan(double dxPx, double dyPx);
  // factor < 1 zooms in; the point under the cursor stays put.
  void Zoom(double factor, double xPx, double yPx);

  // Column-major matrices for OpenGL.
  void Projection(double m[16]) const;
  void ModelView(double m[16]) const;
  // A world point in window pixels; false when it lies behind the eye.
  bool Project(const double p[3], double& xPx, double& yPx) const;
  // Millimetres one pixel spans at the centre of the view.
  double MmPerPixel() const;
  const double* Target() const { return m_target; }
  double Yaw() const { return m_yaw; }
  double Pitch() const { return m_pitch; }

 private:
  void Basis(double right[3], double up[3], double eye[3]) const;
  double EyeDistance() const;

  int m_width = 1, m_height = 1;
  double m_target[3] = {0, 0, 0};
  double m_halfHeightMm = 100;  // half the window height at the target
  double m_yaw = 45, m_pitch = 35.264;
  double m_sceneRadius = 100;
  bool m_perspective = false;
};

class ToolPathView : public wxGLCanvas {
 public:
  explicit ToolPathView(wxWindow* parent, wxWindowID id = wxID_ANY, const wxPoint& pos = wxDefaultPosition,
                        const wxSize& size = wxDefaultSize);
  ~ToolPathView() override;

  // The path to show (the view keeps it alive); null clears the view. A new
  // path is zoomed to fit; the selection and progress are cleared.
  void SetToolPath(std::shared_ptr<const ToolPath> path);
  void SetToolPath(const GCodeGrafic& grafic);
  const std::shared_ptr<const ToolPath>& Path() const { return m_path; }
  // What zoom to fit shows: the path, or the limits box without one.
  Box3 Bounds() const;

  void SetStandardView(ToolPathCamera::Standard view);
  void SetPerspective(bool on);
  void ZoomToFit();
  // Fits the soft-limit box with the path in it.
  void ZoomToMachine();
  ToolPathCamera& Camera() { return m_camera; }

  // Highlights the segments of program line `line` (global line number);
  // 0 clears the selection.
  void SelectLine(int32_t line);
  int32_t SelectedLine() const { return m_selectedLine; }
  size_t SelectedSegmentCount() const { return m_selectedCount; }
  // Called with the line of a clicked segment (after it is selected).
  void SetLinePickedHandler(std::function<void(int32_t line)> handler) { m_onPicked = std::move(handler); }
  // The line of the segment nearest to a window point within a few pixels;
  // 0 when none is that close.
  int32_t PickLine(const wxPoint& windowPoint) const;
  // Where a machine point appears in the window.
  bool ToWindow(const double machinePos[3], wxPoint& windowPoint) const;

  // During a run: the machine runs line `line` and stands at machinePos
  // (X, Y, Z). What lies before is drawn as done.
  void SetProgress(int32_t line, const double machinePos[3]);
  void ClearProgress();
  // The segment the machine is on (Moves().Size() when none).
  size_t ProgressSegment() const { return m_progressSegment; }

  // Draws a frame now, with every vertex it needs made first, and waits
  // until it is complete.
  void RenderNow();
  // The same, and returns its pixels.
  wxImage Snapshot();
  // The last frame drew the path at the detail it asked for (not a coarser
  // stand-in while the vertices were being made).
  bool FrameComplete() const { return m_complete && !m_uploadPending; }
  // Segments the last frame drew (fewer than the path has when thinned).
  size_t DrawnSegments() const { return m_drawnSegments; }
  // Thinning on or off (on by default).
  void SetDecimation(bool on);

 private:
  struct Level;
  struct Buffer;
  class Preparer;

  void OnPaint(wxPaintEvent& event);
  void OnSize(wxSizeEvent& event);
  void OnMouse(wxMouseEvent& event);
  void OnMenu(wxCommandEvent& event);

  bool MakeCurrent();
  void Render();
  void DrawFrame();
  void WarmUp();
  void UpdateViewport();
  void Upload();
  void DrawList(Buffer& buffer, size_t executed, bool stipple);
  void DrawScene();
  void DrawSelection();
  void DrawTool();
  int WantedLevel(const Buffer& buffer) const;
  // The level to draw: the one the zoom asks for, or meanwhile the nearest
  // one made; null when none is.
  const Level* ChooseLevel(Buffer& buffer);
  void Fit(bool withLimits);

  wxGLContext* m_context = nullptr;
  ToolPathCamera m_camera;
  std::shared_ptr<const ToolPath> m_path;
  std::unique_ptr<Buffer> m_moves;
  std::unique_ptr<Buffer> m_programmed;
  bool m_uploadPending = false;
  bool m_decimate = true;
  uint64_t m_generation = 0;  // counts the paths shown
  std::unique_ptr<Preparer> m_preparer;
  bool m_synchronous = false;  // make what the frame needs before drawing it
  bool m_complete = true;
  bool m_warmedUp = false;
  size_t m_drawnSegments = 0;

  int32_t m_selectedLine = 0;
  size_t m_selectedCount = 0;
  std::vector<float> m_selection;  // line pairs, X Y Z each
  std::function<void(int32_t)> m_onPicked;

  bool m_running = false;
  size_t m_progressSegment = 0;
  double m_toolPos[3] = {0, 0, 0};

  wxPoint m_dragStart, m_lastMouse;
  bool m_dragged = false;
};
