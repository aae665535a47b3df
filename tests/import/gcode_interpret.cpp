#include "gcode_interpret.h"

#include <gtest/gtest.h>

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

// Keeps the moves in the order the interpreter emits them.
class MoveRecorder : public FrontEnd {
 public:
  void AddLine(const Coordinates& end, double feed, bool rapid, const Condition*, bool) override {
    Move m = Start(rapid ? 0 : 1, end, feed);
    moves.push_back(m);
  }
  void AddArc(const Coordinates& end, const double centre[3], double feed, int32_t, bool clockwise) override {
    Move m = Start(clockwise ? 2 : 3, end, feed);
    m.cx = centre[0];
    m.cy = centre[1];
    moves.push_back(m);
  }
  void AddCmd(const StateChange&) override {}
  int32_t GetBackEndKind() override { return 1; }
  void GetPosition(Coordinates& position) override { position = pos; }

  std::vector<Move> moves;

 private:
  Move Start(int g, const Coordinates& end, double feed) {
    Move m;
    m.g = g;
    m.x0 = pos[0], m.y0 = pos[1], m.z0 = pos[2];
    m.x = end[0], m.y = end[1], m.z = end[2];
    m.f = feed * 60.0;  // back to mm/min, as written
    pos = end;
    return m;
  }
  Coordinates pos;
};

}  // namespace

RunResult Interpret(const std::string& path, bool centreAbs) {
  ResetParameterFilesForTest();
  Folders::SetParameters(testsupport::MakeTempDir("interp-params"));
  OpenParameterFiles();
  ResetMachineStateForTest();
  MachineConfig& config = GetMachineConfig();
  config = MachineConfig();
  config.centerAbs = centreAbs;
  for (int i = 0; i < 3; ++i) {
    config.axis[i].minPosition = -5000;
    config.axis[i].maxPosition = 5000;
    config.axis[i].maxVelocity = 1000;
  }
  GetToolTable().Clear();
  for (int t = 1; t < 100; ++t) {
    ToolRecord tool;
    tool.numT = t;
    tool.numP = -1;
    tool.dia1 = 3;
    GetToolTable().Insert(tool);
  }

  RunResult result;
  MoveRecorder recorder;
  recorder.SetMachineState(&actState);
  {
    GCodeParser parser(&recorder, &actState);
    if (parser.NewMainFile(path) == 0) {
      result.report = "cannot load " + path;
      return result;
    }
    const int32_t state = parser.ExecuteProgram(false, 0);
    result.ok = (state == RUN_RETURN || state == RUN_M30) && parser.RangeErrorCount() == 0;
    result.report = parser.ErrorReportText();
  }
  result.moves = std::move(recorder.moves);
  ResetParameterFilesForTest();
  Folders::SetParameters(testsupport::ScratchDir() + "/params");
  ResetMachineStateForTest();
  GetToolTable().Clear();
  GetMachineConfig() = MachineConfig();
  return result;
}

std::vector<std::vector<Point>> InterpretedCuts(const std::string& gcode, bool centreAbs) {
  static int n = 0;
  const std::string path = testsupport::MakeTempDir("interp") + "/prog" + std::to_string(++n) + ".nc";
  testsupport::WriteFile(path, gcode);
  const RunResult run = Interpret(path, centreAbs);
  EXPECT_TRUE(run.ok) << run.report << "\n" << gcode.substr(0, 2000);
  return CutStrokes(run.moves, 0.0);
}

}  // namespace gcodemoves
