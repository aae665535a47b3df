// Every example runs to its end point, and its simulated run time agrees
// with the time its moves imply: path length over feed, rapids and fast
// feeds limited per axis by MaxVelocity, plus dwells. The moves come from `quorvane-cli interp`, the
// time from `quorvane-cli run`.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <map>
#include <sstream>
#include <string>

#include "common/testsupport.h"

namespace {

const std::string kSource = QUORVANE_SOURCE_DIR;
const std::string kOptions = " --params " + kSource + "/examples/params --macros " + kSource + "/examples/macros ";

// Indexed doubles "<key>_<ix>=<value>" of the example parameter table.
std::map<int, double> IndexedValues(const char* format) {
  std::map<int, double> m;
  std::istringstream in(testsupport::ReadFile(kSource + "/examples/params/ParameterTable.txt"));
  std::string line;
  while (std::getline(in, line)) {
    int ix = 0;
    double v = 0;
    if (std::sscanf(line.c_str(), format, &ix, &v) == 2) m[ix] = v;
  }
  return m;
}

double AxisLimit(int axis) {
  static const std::map<int, double> limits = IndexedValues("MaxVelocity_%d=%lf");
  const auto it = limits.find(axis);
  return it == limits.end() || it->second <= 0 ? 1e300 : it->second;
}

// Time of one move of `length` along the per-axis travel `d`: the feed
// (mm/s; below 0 = rapid) lowered so that no axis exceeds its limit.
double MoveTime(double length, const double d[9], double feed) {
  double t = feed > 0 ? length / feed : 0.0;
  for (int i = 0; i < 9; ++i) t = std::max(t, std::fabs(d[i]) / AxisLimit(i));
  return t;
}

double ExpectedTime(const std::string& calls) {
  std::istringstream in(calls);
  std::string line;
  // The machine starts at machine zero; the examples run in G54, so in
  // program coordinates it starts at minus the G54 offset.
  double pos[9] = {0}, total = 0;
  for (const auto& [ix, v] : IndexedValues("OffsetG54_%d=%lf"))
    if (ix >= 0 && ix < 9) pos[ix] = -v;
  while (std::getline(in, line)) {
    double e[9], c[3], f = 0;
    int tag = 0, plane = 2, cw = 0, rapid = 0;
    const char* s = line.c_str();
    if (std::sscanf(s, "LINE t=%d X%lf Y%lf Z%lf A%lf B%lf C%lf U%lf V%lf W%lf F%lf R%d", &tag, &e[0], &e[1], &e[2],
                    &e[3], &e[4], &e[5], &e[6], &e[7], &e[8], &f, &rapid) == 12) {
      double d[9], len2 = 0;
      for (int i = 0; i < 9; ++i) d[i] = e[i] - pos[i], len2 += d[i] * d[i];
      total += MoveTime(std::sqrt(len2), d, rapid ? -1 : f);
      std::copy(e, e + 9, pos);
    } else if (std::sscanf(s, "ARC t=%d X%lf Y%lf Z%lf A%lf B%lf C%lf U%lf V%lf W%lf CX%lf CY%lf CZ%lf F%lf P%d CW%d",
                           &tag, &e[0], &e[1], &e[2], &e[3], &e[4], &e[5], &e[6], &e[7], &e[8], &c[0], &c[1], &c[2],
                           &f, &plane, &cw) == 16) {
      const int a = plane == 0 ? 1 : plane == 1 ? 2 : 0, b = plane == 0 ? 2 : plane == 1 ? 0 : 1;
      const double r = std::hypot(pos[a] - c[a], pos[b] - c[b]);
      double sweep = std::atan2(e[b] - c[b], e[a] - c[a]) - std::atan2(pos[b] - c[b], pos[a] - c[a]);
      if (cw) sweep = -sweep;
      while (sweep <= 1e-9) sweep += 2 * M_PI;
      const double h = e[plane] - pos[plane];
      const double d[9] = {0};  // an arc's axes never all run at once at full speed
      total += MoveTime(std::hypot(r * sweep, h), d, f);
      std::copy(e, e + 9, pos);
    } else if (line.rfind("CMD ", 0) == 0 && line.find(" G N4 ") != std::string::npos) {
      total += std::atof(line.c_str() + line.find(" ARG") + 4);
    }
  }
  return total;
}

TEST(CliRunTime, EveryExampleRunsToItsEndInTheTimeItsMovesImply) {
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
    const auto calls = testsupport::RunCommand(std::string(QUORVANE_CLI) + " interp" + kOptions + file + " 2>&1");
    ASSERT_EQ(calls.status, 0) << e.name << "\n" << calls.text;
    const auto run =
        testsupport::RunCommand(std::string(QUORVANE_CLI) + " run --speed 0" + kOptions + file + " 2>/dev/null");
    ASSERT_EQ(run.status, 0) << e.name << "\n" << run.text;
    EXPECT_NE(run.text.find("result: completed"), std::string::npos) << e.name << run.text;
    EXPECT_NE(run.text.find(std::string("work position: ") + e.end + "\n"), std::string::npos) << e.name << run.text;
    EXPECT_NE(run.text.find(e.message), std::string::npos) << e.name << run.text;
    const size_t at = run.text.find("simulated time: ");
    ASSERT_NE(at, std::string::npos) << e.name << "\n" << run.text;
    const double expected = ExpectedTime(calls.text);
    EXPECT_GT(expected, 1.0) << e.name;
    EXPECT_NEAR(std::atof(run.text.c_str() + at + 16), expected, 0.02 * expected) << e.name << "\n" << run.text;
  }
}

}  // namespace
