// ToolPath: the recorded path of one preview run, ready for display and for
// queries. Two polylines: the moves as the machine would make them (rapids,
// feeds, arcs cut into chords, compensated where radius compensation was
// on) and the programmed path that radius compensation sent beside them.
// Points are machine coordinates X, Y, Z in mm, kept as float: a micrometre
// is far below a pixel, and a segment stays at 24 bytes. Lengths, times and
// positions are summed in double while recording.
//
// Each polyline is a chain: segment i runs from the end of segment i - 1 to
// its own end. A jump segment starts a chain (segment 0 always is one, and
// one follows wherever the position was re-based); it is not a move.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

enum class SegmentKind : uint8_t { Jump = 0, Rapid = 1, Feed = 2, Arc = 3 };

// Flag bits of a segment.
constexpr uint8_t kSegCompensated = 1;  // emitted by radius compensation
constexpr uint8_t kSegHidden = 2;       // recorded while the draw flag was off

struct PathSegment {
  float end[3];       // machine coordinates X, Y, Z, mm
  int32_t tag;        // program line (global line number) that emitted it
  float seconds;      // estimated duration, s (0 for a jump)
  SegmentKind kind;
  uint8_t flags;
};
static_assert(sizeof(PathSegment) == 24, "a segment stays compact");

struct Point3 {
  double v[3] = {0, 0, 0};
};

// Axis-aligned box, mm. Empty until the first point.
struct Box3 {
  double min[3] = {0, 0, 0};
  double max[3] = {0, 0, 0};
  bool empty = true;

  void Add(double x, double y, double z);
  void Add(const Box3& other);
  double Diagonal() const;
};

// Segments in fixed blocks: no reallocation copies while a long program
// records, and at most one block of slack.
class SegmentList {
 public:
  static constexpr size_t kBlockBits = 14;
  static constexpr size_t kBlockSize = size_t{1} << kBlockBits;

  size_t Size() const { return m_count; }
  bool Empty() const { return m_count == 0; }
  const PathSegment& operator[](size_t i) const { return m_blocks[i >> kBlockBits][i & (kBlockSize - 1)]; }
  void Append(const PathSegment& s);
  void Clear();
  // Bytes held, slack included.
  size_t MemoryBytes() const { return m_blocks.size() * kBlockSize * sizeof(PathSegment); }

  // Start of segment i: the end of its predecessor (a jump at i = 0 starts
  // and ends at its own point).
  const float* StartOf(size_t i) const { return (*this)[i > 0 ? i - 1 : 0].end; }

 private:
  std::vector<std::unique_ptr<PathSegment[]>> m_blocks;
  size_t m_count = 0;
};

// A run of consecutive segments [first, first + count).
struct SegmentRange {
  size_t first = 0;
  size_t count = 0;
};

class ToolPath {
 public:
  // The name the run was started with (the program file).
  const std::string& Name() const { return m_name; }
  const SegmentList& Moves() const { return m_moves; }
  const SegmentList& Programmed() const { return m_programmed; }

  // Every point of both polylines, jumps included (where the tool starts).
  const Box3& Bounds() const { return m_bounds; }
  // The segments that line `tag` emitted, in path order. A line may have
  // emitted several runs (loops, subprograms called from it). Scans the
  // list: a few milliseconds for a million segments, once per selection.
  static std::vector<SegmentRange> SegmentsOfLine(const SegmentList& list, int32_t tag);

  // Path lengths in X, Y, Z (mm): rapids, and feeds with arcs.
  double RapidLengthMm() const { return m_rapidMm; }
  double FeedLengthMm() const { return m_feedMm; }
  // Estimated run time (s), dwells included; the sum of the segments' times
  // unless the estimator knew better at the end of the run.
  double EstimatedSeconds() const { return m_totalSeconds; }
  // The run at the programmed feeds (axis limits respected) with the dwells,
  // without acceleration: the sum of the segments' times.
  double FeedSeconds() const { return m_movesSeconds + m_dwellSeconds; }
  double DwellSeconds() const { return m_dwellSeconds; }
  // Whether the run reached its end (EndProgram).
  bool Finished() const { return m_finished; }

  // The move the machine is on while it runs line `tag` at machine position
  // pos (X, Y, Z): among the segments of that line from `hint` on (wrapping
  // to the start when there are none ahead), the first run of them, and in
  // it the segment nearest to pos. Returns Moves().Size() when the line
  // emitted no move. Moving forward with the hint costs what lies between.
  size_t FindProgress(int32_t tag, const double pos[3], size_t hint) const;

  // Soft limits of X, Y and Z (machine coordinates) when the state had them
  // for that axis; whether the run checks them.
  const Box3& Limits() const { return m_limits; }
  bool HasLimit(int axis) const { return axis >= 0 && axis < 3 && m_hasLimit[axis]; }
  bool LimitsActive() const { return m_limitsActive; }
  // Work-offset origins (program zero in machine coordinates), in the order
  // the run met them; the first is the one the program started in.
  const std::vector<Point3>& Origins() const { return m_origins; }

  size_t MemoryBytes() const;

 private:
  friend class GCodeGrafic;

  std::string m_name;
  SegmentList m_moves;
  SegmentList m_programmed;
  Box3 m_bounds;
  Box3 m_limits;
  bool m_hasLimit[3] = {false, false, false};
  bool m_limitsActive = false;
  std::vector<Point3> m_origins;
  double m_rapidMm = 0;
  double m_feedMm = 0;
  double m_movesSeconds = 0;
  double m_dwellSeconds = 0;
  double m_totalSeconds = 0;
  bool m_finished = false;
};
