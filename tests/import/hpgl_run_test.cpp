// Converted plotter files run in the interpreter, and the moves it makes
// trace the plotter strokes.
#include <gtest/gtest.h>

#include <string>

#include "gcode_interpret.h"
#include "hpgl_parser.h"
#include "testsupport.h"

#ifndef QUORVANE_SOURCE_DIR
#define QUORVANE_SOURCE_DIR "."
#endif

namespace {

TEST(HpglRun, ExampleDrawingRunsWithOneCutPerPath) {
  const std::string dir = testsupport::MakeTempDir("hpglrun");
  const std::string file = dir + "/logo.plt";
  testsupport::WriteFile(file, testsupport::ReadFile(std::string(QUORVANE_SOURCE_DIR) + "/examples/logo.plt"));
  HPGL_Parser p;
  ASSERT_TRUE(p.ReadHpglFile(file));
  ASSERT_TRUE(p.WriteGCode(file));
  const gcodemoves::RunResult run = gcodemoves::Interpret(file + ".nc", false);
  ASSERT_TRUE(run.ok) << run.report;
  // Every pen-down path of the plot becomes one cut stroke.
  size_t drawn = 0;
  for (const HpglPath& path : p.Paths()) drawn += !path.penUp && !path.elements.empty();
  EXPECT_EQ(gcodemoves::CutStrokes(run.moves, 0.0).size(), drawn);
}

}  // namespace
