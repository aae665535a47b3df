// Runs an emitted G-code program through the real interpreter and returns the
// strokes it cuts, so tests compare geometry rather than text.
#pragma once

#include <string>
#include <vector>

namespace gcodemoves {

struct Point {
  double x, y;
};
using Strokes = std::vector<std::vector<Point>>;

// Interprets the program text against a recording front end with generous
// soft limits and tools 1..99; centreAbs is the machine's setting for I and J.
// Returns the cut strokes: connected XY motion with G1/G2/G3 at or below Z 0,
// arcs flattened as AppendArc does. A failed run fails the calling test.
Strokes InterpretedCuts(const std::string& gcode, bool centreAbs);

// Largest distance between corresponding points; 1e300 when the counts differ.
double Deviation(const Strokes& a, const Strokes& b);

// Appends the points of an arc every few degrees (for expected strokes).
void AppendArc(std::vector<Point>& out, double x0, double y0, double cx, double cy, double sweepDeg);

}  // namespace gcodemoves
