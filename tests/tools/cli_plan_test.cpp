// quorvane-cli plan: the summary and element lines agree with each other,
// the run summary shows the same planned time, errors end with status 1.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>

#include "common/testsupport.h"

namespace {

const std::string kSource = QUORVANE_SOURCE_DIR;
const std::string kOptions = " --params " + kSource + "/examples/params --macros " + kSource + "/examples/macros ";

double After(const std::string& text, const std::string& key) {
  const size_t at = text.find(key);
  return at == std::string::npos ? -1 : std::atof(text.c_str() + at + key.size());
}

TEST(CliPlan, SummaryMatchesItsElementsAndTheRunShowsTheSameEstimate) {
  const std::string file = kSource + "/examples/pocket.nc";
  const auto plan = testsupport::RunCommand(std::string(QUORVANE_CLI) + " plan --elements" + kOptions + file + " 2>&1");
  ASSERT_EQ(plan.status, 0) << plan.text;
  std::istringstream in(plan.text);
  std::string line;
  int elements = 0;
  double length = 0, feedSeconds = 0;
  while (std::getline(in, line)) {
    int tag;
    char kind;
    double l, f, v, vc, cb, ca;
    if (std::sscanf(line.c_str(), "ELEMENT t=%d %c L%lf F%lf V%lf VC%lf CB%lf CA%lf", &tag, &kind, &l, &f, &v, &vc, &cb,
                    &ca) == 8) {
      ++elements;
      length += l;
      feedSeconds += l / f;
      EXPECT_LE(v, f * (1 + 1e-6)) << line;
      EXPECT_LE(cb + ca, l + 1e-6) << line;
    }
  }
  EXPECT_EQ(elements, After(plan.text, "\nelements: "));
  EXPECT_NEAR(length, After(plan.text, "\nlength: "), 0.01);
  const double planned = After(plan.text, "planned time: ");
  EXPECT_NEAR(feedSeconds, After(plan.text, "\nfeed-only time: "), 0.01);
  // Accelerating and cornering take longer than the feeds alone.
  EXPECT_GT(planned, feedSeconds);
  EXPECT_LT(planned, 1.2 * feedSeconds);

  const auto run = testsupport::RunCommand(std::string(QUORVANE_CLI) + " run --speed 0" + kOptions + file + " 2>/dev/null");
  ASSERT_EQ(run.status, 0) << run.text;
  EXPECT_NEAR(After(run.text, "estimated time: "), planned, 0.005) << run.text;
}

TEST(CliPlan, ErrorsAndUsage) {
  const std::string dir = testsupport::MakeTempDir("plan");
  testsupport::WriteFile(dir + "/bad.nc", "%\nG1 X10 F1200\nG777 X20\n");
  const auto bad = testsupport::RunCommand(std::string(QUORVANE_CLI) + " plan " + dir + "/bad.nc 2>&1");
  EXPECT_EQ(bad.status, 1) << bad.text;
  EXPECT_EQ(bad.text.rfind("error: ", 0), 0u) << bad.text;
  EXPECT_NE(bad.text.find("line 3"), std::string::npos) << bad.text;
  EXPECT_NE(bad.text.find("planned time: 0.5"), std::string::npos) << bad.text;  // 10 mm at 20 mm/s, planned
  EXPECT_EQ(testsupport::RunCommand(std::string(QUORVANE_CLI) + " plan 2>&1").status, 2);
  EXPECT_EQ(testsupport::RunCommand(std::string(QUORVANE_CLI) + " plan " + dir + "/none.nc 2>&1").status, 1);
}

}  // namespace
