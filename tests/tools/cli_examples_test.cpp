// Every delivered example runs on the simulation to its end point and prints
// what it says it prints. (How long a move takes on the simulation is the
// simulation's own test.)
#include <gtest/gtest.h>

#include <string>

#include "common/testsupport.h"

namespace {

const std::string kSource = QUORVANE_SOURCE_DIR;
const std::string kOptions = " --params " + kSource + "/examples/params --macros " + kSource + "/examples/macros ";

TEST(CliExamples, EveryExampleRunsToItsEnd) {
  const struct {
    const char* name;
    const char* end;      // the work position the last move goes to
    const char* message;  // a line the program prints, or ""
  } examples[] = {
      {"pocket.nc", "X0.000 Y0.000 Z5.000", ""},       {"engraving.nc", "X0.000 Y0.000 Z10.000", ""},
      {"drilling.nc", "X0.000 Y0.000 Z20.000", ""},
      {"plate.nc", "X0.000 Y60.000 Z5.000", "holes bored: 5.0"},
      // The last hole is at -60 degrees on R30; its chamfer starts 3 mm right.
      {"bolt_circle_macro.nc", "X18.000 Y-25.981 Z10.000", "Done: 18.0 pecks"},
  };
  for (const auto& e : examples) {
    const std::string file = kSource + "/examples/" + e.name;
    const auto run =
        testsupport::RunCommand(std::string(QUORVANE_CLI) + " run --speed 0" + kOptions + file + " 2>/dev/null");
    ASSERT_EQ(run.status, 0) << e.name << "\n" << run.text;
    EXPECT_NE(run.text.find("result: completed"), std::string::npos) << e.name << run.text;
    EXPECT_NE(run.text.find(std::string("work position: ") + e.end + "\n"), std::string::npos) << e.name << run.text;
    EXPECT_NE(run.text.find(e.message), std::string::npos) << e.name << run.text;
  }
}

}  // namespace
