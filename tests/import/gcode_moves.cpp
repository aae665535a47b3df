#include "gcode_moves.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <sstream>

namespace gcodemoves {

void AppendArc(std::vector<Point>& out, double x0, double y0, double cx, double cy, double sweepDeg) {
  const double a0 = std::atan2(y0 - cy, x0 - cx), r = std::hypot(x0 - cx, y0 - cy);
  const int steps = std::max(1, static_cast<int>(std::ceil(std::fabs(sweepDeg) / 5.0)));
  for (int s = 1; s <= steps; ++s) {
    const double a = a0 + sweepDeg * M_PI / 180.0 * s / steps;
    out.push_back({cx + r * std::cos(a), cy + r * std::sin(a)});
  }
}

std::vector<std::vector<Point>> CutStrokes(const std::vector<Move>& moves, double zCut) {
  std::vector<std::vector<Point>> strokes;
  bool open = false;
  for (const Move& m : moves) {
    const bool cutting = m.g != 0 && m.z0 <= zCut && m.z <= zCut;
    const bool xy = m.x != m.x0 || m.y != m.y0 || m.g >= 2;
    if (!cutting) {
      if (xy || m.z > zCut) open = false;
      continue;
    }
    if (!xy) continue;
    if (!open) {
      strokes.push_back({{m.x0, m.y0}});
      open = true;
    }
    if (m.g == 1) {
      strokes.back().push_back({m.x, m.y});
    } else {
      const double a0 = std::atan2(m.y0 - m.cy, m.x0 - m.cx), a1 = std::atan2(m.y - m.cy, m.x - m.cx);
      double sweep = (a1 - a0) * 180.0 / M_PI;
      if (m.g == 3 && sweep <= 1e-9) sweep += 360;
      if (m.g == 2 && sweep >= -1e-9) sweep -= 360;
      AppendArc(strokes.back(), m.x0, m.y0, m.cx, m.cy, sweep);
    }
  }
  return strokes;
}

double Deviation(const std::vector<std::vector<Point>>& a, const std::vector<std::vector<Point>>& b) {
  if (a.size() != b.size()) return 1e300;
  double worst = 0;
  for (size_t s = 0; s < a.size(); ++s) {
    if (a[s].size() != b[s].size()) return 1e300;
    for (size_t p = 0; p < a[s].size(); ++p)
      worst = std::max(worst, std::hypot(a[s][p].x - b[s][p].x, a[s][p].y - b[s][p].y));
  }
  return worst;
}

}  // namespace gcodemoves
