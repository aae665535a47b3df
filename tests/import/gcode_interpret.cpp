#include "gcode_interpret.h"

#include <gtest/gtest.h>

#include <cmath>

#include "folders.h"
#include "frontend.h"
#include "gcodeparser.h"
#include "machineconfig.h"
#include "machinestate.h"
#include "parafile.h"
#include "testsupport.h"
#include "tooltable.h"

namespace gcodemoves {
namespace {

class CutRecorder : public FrontEnd {
 public:
  void AddLine(const Coordinates& end, double, bool rapid, const Condition*, bool) override {
    if (auto* s = Cut(!rapid, end[0] != pos[0] || end[1] != pos[1], end)) s->push_back({end[0], end[1]});
    pos = end;
  }
  void AddArc(const Coordinates& end, const double c[3], double, int32_t, bool clockwise) override {
    if (auto* s = Cut(true, true, end)) {
      double sweep = (std::atan2(end[1] - c[1], end[0] - c[0]) - std::atan2(pos[1] - c[1], pos[0] - c[0])) * 180 / M_PI;
      if (!clockwise && sweep <= 1e-9) sweep += 360;
      if (clockwise && sweep >= -1e-9) sweep -= 360;
      AppendArc(*s, pos[0], pos[1], c[0], c[1], sweep);
    }
    pos = end;
  }
  void AddCmd(const StateChange&) override {}
  int32_t GetBackEndKind() override { return 1; }
  void GetPosition(Coordinates& position) override { position = pos; }

  Strokes strokes;

 private:
  // The stroke a move extends; null when it does not cut. A plunge while
  // cutting keeps the stroke open, any lift or rapid ends it.
  std::vector<Point>* Cut(bool feed, bool xy, const Coordinates& end) {
    if (!feed || pos[2] > 0 || end[2] > 0) {
      if (xy || end[2] > 0) open = false;
      return nullptr;
    }
    if (!xy) return nullptr;
    if (!open) strokes.push_back({{pos[0], pos[1]}});
    open = true;
    return &strokes.back();
  }
  Coordinates pos;
  bool open = false;
};

void ResetMachine() {
  ResetParameterFilesForTest();
  ResetMachineStateForTest();
  GetToolTable().Clear();
  GetMachineConfig() = MachineConfig();
}

}  // namespace

void AppendArc(std::vector<Point>& out, double x0, double y0, double cx, double cy, double sweepDeg) {
  const double a0 = std::atan2(y0 - cy, x0 - cx), r = std::hypot(x0 - cx, y0 - cy);
  const int steps = std::max(1, static_cast<int>(std::ceil(std::fabs(sweepDeg) / 5.0)));
  for (int s = 1; s <= steps; ++s) {
    const double a = a0 + sweepDeg * M_PI / 180.0 * s / steps;
    out.push_back({cx + r * std::cos(a), cy + r * std::sin(a)});
  }
}

double Deviation(const Strokes& a, const Strokes& b) {
  if (a.size() != b.size()) return 1e300;
  double worst = 0;
  for (size_t s = 0; s < a.size(); ++s) {
    if (a[s].size() != b[s].size()) return 1e300;
    for (size_t p = 0; p < a[s].size(); ++p)
      worst = std::max(worst, std::hypot(a[s][p].x - b[s][p].x, a[s][p].y - b[s][p].y));
  }
  return worst;
}

Strokes InterpretedCuts(const std::string& gcode, bool centreAbs) {
  const std::string path = testsupport::MakeTempDir("interp") + "/prog.nc";
  testsupport::WriteFile(path, gcode);
  ResetMachine();
  Folders::SetParameters(testsupport::MakeTempDir("interp-params"));
  OpenParameterFiles();
  MachineConfig& config = GetMachineConfig();
  config.centerAbs = centreAbs;
  for (AxisParams& axis : config.axis) axis.minPosition = -5000, axis.maxPosition = 5000;
  ToolRecord tool;  // every tool the programs change to
  tool.numP = -1;
  for (tool.numT = 1; tool.numT < 100; ++tool.numT) GetToolTable().Insert(tool);
  CutRecorder recorder;
  recorder.SetMachineState(&actState);
  {
    GCodeParser parser(&recorder, &actState);
    const bool loaded = parser.NewMainFile(path) != 0;
    const int32_t state = loaded ? parser.ExecuteProgram(false, 0) : -1;
    EXPECT_TRUE((state == RUN_RETURN || state == RUN_M30) && parser.RangeErrorCount() == 0)
        << parser.ErrorReportText() << "\n" << gcode.substr(0, 2000);
  }
  ResetMachine();
  Folders::SetParameters(testsupport::ScratchDir() + "/params");
  return std::move(recorder.strokes);
}

}  // namespace gcodemoves
