#include "preview/toolpath.h"

#include <algorithm>
#include <cmath>
#include <limits>

void Box3::Add(double x, double y, double z) {
  const double p[3] = {x, y, z};
  for (int i = 0; i < 3; ++i) {
    if (empty || p[i] < min[i]) min[i] = p[i];
    if (empty || p[i] > max[i]) max[i] = p[i];
  }
  empty = false;
}

void Box3::Add(const Box3& other) {
  if (other.empty) return;
  Add(other.min[0], other.min[1], other.min[2]);
  Add(other.max[0], other.max[1], other.max[2]);
}

double Box3::Diagonal() const {
  if (empty) return 0;
  return std::sqrt((max[0] - min[0]) * (max[0] - min[0]) + (max[1] - min[1]) * (max[1] - min[1]) +
                   (max[2] - min[2]) * (max[2] - min[2]));
}

void SegmentList::Append(const PathSegment& s) {
  if ((m_count >> kBlockBits) >= m_blocks.size()) m_blocks.push_back(std::make_unique<PathSegment[]>(kBlockSize));
  m_blocks[m_count >> kBlockBits][m_count & (kBlockSize - 1)] = s;
  ++m_count;
}

void SegmentList::Clear() {
  m_blocks.clear();
  m_count = 0;
}

std::vector<SegmentRange> ToolPath::SegmentsOfLine(const SegmentList& list, int32_t tag) {
  std::vector<SegmentRange> ranges;
  const size_t n = list.Size();
  for (size_t i = 0; i < n; ++i) {
    const PathSegment& s = list[i];
    if (s.tag != tag || s.kind == SegmentKind::Jump) continue;
    if (!ranges.empty() && ranges.back().first + ranges.back().count == i) ++ranges.back().count;
    else ranges.push_back({i, 1});
  }
  return ranges;
}

namespace {

// Squared distance from p to the segment a..b.
double DistanceSq(const double p[3], const float a[3], const float b[3]) {
  double ab[3], ap[3], len2 = 0, dot = 0;
  for (int k = 0; k < 3; ++k) {
    ab[k] = double(b[k]) - a[k];
    ap[k] = p[k] - a[k];
    len2 += ab[k] * ab[k];
    dot += ab[k] * ap[k];
  }
  const double t = len2 > 0 ? std::clamp(dot / len2, 0.0, 1.0) : 0.0;
  double d = 0;
  for (int k = 0; k < 3; ++k) {
    const double e = ap[k] - t * ab[k];
    d += e * e;
  }
  return d;
}

}  // namespace

size_t ToolPath::FindProgress(int32_t tag, const double pos[3], size_t hint) const {
  const size_t n = m_moves.Size();
  if (hint > n) hint = 0;
  auto firstOfLine = [&](size_t from, size_t to) {
    for (size_t i = from; i < to; ++i)
      if (m_moves[i].tag == tag && m_moves[i].kind != SegmentKind::Jump) return i;
    return n;
  };
  // Already inside the line's run: the machine only moves on from there (a
  // closed contour passes its start again at the end).
  size_t start = hint < n && m_moves[hint].tag == tag ? hint : firstOfLine(hint, n);
  if (start == n) start = firstOfLine(0, hint);
  if (start == n) return n;
  size_t best = start;
  double bestD = std::numeric_limits<double>::infinity();
  for (size_t i = start; i < n && m_moves[i].tag == tag; ++i) {
    if (m_moves[i].kind == SegmentKind::Jump) continue;
    const double d = DistanceSq(pos, m_moves.StartOf(i), m_moves[i].end);
    if (d < bestD) {
      bestD = d;
      best = i;
    }
  }
  return best;
}

size_t ToolPath::MemoryBytes() const {
  return sizeof(*this) + m_moves.MemoryBytes() + m_programmed.MemoryBytes() + m_origins.capacity() * sizeof(Point3) +
         m_name.capacity();
}
