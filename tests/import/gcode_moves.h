// Moves of a G-code program and the strokes they cut, so tests compare
// geometry rather than text.
#pragma once

#include <string>
#include <vector>

namespace gcodemoves {

struct Move {
  int g = 0;  // 0..3
  double x0 = 0, y0 = 0, z0 = 0;
  double x = 0, y = 0, z = 0;
  double cx = 0, cy = 0;  // arc centre (absolute)
  double f = 0;
};


struct Point {
  double x, y;
};
// The cut strokes: connected XY motion with G1/G2/G3 while Z is at or below
// zCut. Arcs are flattened to points every few degrees.
std::vector<std::vector<Point>> CutStrokes(const std::vector<Move>& moves, double zCut);

// Largest distance between corresponding points; 1e300 when the counts differ.
double Deviation(const std::vector<std::vector<Point>>& a, const std::vector<std::vector<Point>>& b);

// Flattens an arc the same way CutStrokes does (for expected strokes).
void AppendArc(std::vector<Point>& out, double x0, double y0, double cx, double cy, double sweepDeg);

}  // namespace gcodemoves
