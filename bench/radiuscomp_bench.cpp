// Compensated elements per second on a long closed contour with convex and
// concave corners, lines only and lines mixed with arcs.
#include <benchmark/benchmark.h>

#include <cmath>
#include <string>
#include <vector>

#include "program/errors.h"
#include "machine/machinestate.h"
#include "motion/radiuscomp.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

class SinkFrontEnd : public FrontEnd {
 public:
  void AddLine(const Coordinates& end, double, bool, const Condition*, bool) override { last = end; ++count; }
  void AddArc(const Coordinates& end, const double[3], double, int32_t, bool) override { last = end; ++count; }
  void AddCmd(const StateChange&) override {}
  Coordinates last;
  long count = 0;
};

struct Element {
  double x, y;
  bool arc;
  double cx, cy;
  bool cw;
};

// Vertices per lap; longer contours run several laps.
constexpr int kPerLap = 1000;

// A ring of radius 120 around (300, 200) whose vertices step 0.25 mm in
// and out, so corners alternate between convex and concave (about 67 degrees
// each). Every second element of the mixed contour is an arc of radius 5
// over the same chord, bulging to alternating sides.
std::vector<Element> Contour(int n, bool withArcs) {
  std::vector<Element> out;
  double px = 0, py = 0;
  for (int i = 0; i <= n; ++i) {
    const double a = 2 * kPi * i / kPerLap;
    const double rho = 120 + (i % 2 == 0 ? 0.25 : -0.25);
    const double x = 300 + rho * std::cos(a), y = 200 + rho * std::sin(a);
    Element e{x, y, false, 0, 0, false};
    if (withArcs && i > 0 && i % 2 == 0) {
      const double mx = (px + x) / 2, my = (py + y) / 2, dx = x - px, dy = y - py;
      const double len = std::hypot(dx, dy);
      e.arc = true;
      e.cw = (i / 2) % 2 == 0;
      const double h = std::sqrt(25 - len * len / 4) * (e.cw ? -1 : 1);
      e.cx = mx - dy / len * h;
      e.cy = my + dx / len * h;
    }
    out.push_back(e);
    px = x;
    py = y;
  }
  return out;
}

void RunContour(benchmark::State& st, bool withArcs) {
  const std::vector<Element> contour = Contour(static_cast<int>(st.range(0)), withArcs);
  MachineState state("bench");
  SinkFrontEnd sink;
  sink.SetMachineState(&state);
  RadiusComp rc;
  for (auto _ : st) {
    FrontEnd* slot = &sink;
    try {
    state.progPos = Coordinates(300, 200, 0);
    rc.SwitchOn(&slot, 1, 0.5, false);
    for (const Element& e : contour) {
      if (e.arc) {
        const double c[3] = {e.cx, e.cy, 0};
        slot->AddArc(Coordinates(e.x, e.y, 0), c, 20, 2, e.cw);
      } else {
        slot->AddLine(Coordinates(e.x, e.y, 0), 20, false, nullptr, false);
      }
    }
    rc.SwitchOn(&slot, 0, 0, false);
    slot->AddLine(Coordinates(300, 200, 0), 20, false, nullptr, false);
    } catch (const Error_t& e) {
      st.SkipWithError(("compensation failed with " + std::to_string(e.code)).c_str());
      break;
    }
    benchmark::DoNotOptimize(sink.last);
  }
  st.SetItemsProcessed(st.iterations() * static_cast<long>(contour.size()));
  st.counters["emitted_per_element"] =
      static_cast<double>(sink.count) / static_cast<double>(st.iterations() * contour.size());
}

void BM_RadiusCompLines(benchmark::State& st) { RunContour(st, false); }
void BM_RadiusCompLinesAndArcs(benchmark::State& st) { RunContour(st, true); }

BENCHMARK(BM_RadiusCompLines)->Arg(10000);
BENCHMARK(BM_RadiusCompLinesAndArcs)->Arg(10000);

}  // namespace
