// The recording stage of the preview: what a program run leaves in the tool
// path (segments, tags, chords of arcs, bounds, time, the programmed path
// beside the compensated one) and the queries the view makes of it.
#include "preview/gcodegrafic.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "common/interpreter_fixture.h"
#include "interpreter/macroparser.h"
#include "machine/machineconfig.h"
#include "motion/motionlimits.h"
#include "motion/radiuscomp.h"
#include "preview/previewbuilder.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

double Dist(const float a[3], const double b[3]) {
  return std::sqrt((a[0] - b[0]) * (a[0] - b[0]) + (a[1] - b[1]) * (a[1] - b[1]) + (a[2] - b[2]) * (a[2] - b[2]));
}

class PreviewTest : public testsupport::InterpreterTest<MacroParser> {
 protected:
  void SetUp() override {
    InterpreterTest::SetUp();
    for (int i = 0; i < 3; ++i) {
      GetMachineConfig().axis[i].minPosition = -1000;
      GetMachineConfig().axis[i].maxPosition = 1000;
    }
  }
  // Builds the preview of "%" + body from actState.
  std::shared_ptr<const ToolPath> Build(const std::string& body, double tolerance = 0.01) {
    PreviewSettings settings;
    settings.chordToleranceMm = tolerance;
    PreviewBuild build(Program("prog" + std::to_string(++count) + ".nc", "%\n" + body), settings);
    result = build.Run();
    return build.Path();
  }
  PreviewResult result;
};

std::vector<size_t> Indexes(const SegmentList& list, int32_t tag) {
  std::vector<size_t> v;
  for (const SegmentRange& r : ToolPath::SegmentsOfLine(list, tag))
    for (size_t i = r.first; i < r.first + r.count; ++i) v.push_back(i);
  return v;
}

}  // namespace

// Axes at 100/100/50 mm/s (the defaults). Hand-computed: the rapid of line 2
// 10 mm at 100 mm/s = 0.1 s; the plunge 5 mm at F600 = 10 mm/s, 0.5 s; X 30
// mm at F6000 = 100 mm/s, 0.3 s; the dwell 1.5 s; the half circle r 10 at
// 20 mm/s, 10 pi / 20 s; Z up 10 mm as a rapid at Z's 50 mm/s, 0.2 s.
TEST_F(PreviewTest, RecordsEachMoveWithItsLineKindTimeAndBounds) {
  const auto path = Build(
      "G0 X10 Y0 Z0\nG1 Z-5 F600\nG1 X40 F6000\nG4 P1.5\nG3 X40 Y20 J10 F1200\nG0 Z5\nM30\n");
  ASSERT_EQ(RUN_M30, result.runState) << result.errorReport;
  const SegmentList& moves = path->Moves();
  ASSERT_FALSE(moves.Empty());
  EXPECT_EQ(SegmentKind::Jump, moves[0].kind);

  const struct { int32_t tag; SegmentKind kind; double end[3]; size_t count; } lines[] = {
      {2, SegmentKind::Rapid, {10, 0, 0}, 1},  {3, SegmentKind::Feed, {10, 0, -5}, 1},
      {4, SegmentKind::Feed, {40, 0, -5}, 1},  {6, SegmentKind::Arc, {40, 20, -5}, 36},
      {7, SegmentKind::Rapid, {40, 20, 5}, 1},
  };
  for (const auto& l : lines) {
    SCOPED_TRACE(l.tag);
    const auto idx = Indexes(moves, l.tag);
    ASSERT_EQ(l.count, idx.size());
    for (size_t i : idx) EXPECT_EQ(l.kind, moves[i].kind);
    EXPECT_LT(Dist(moves[idx.back()].end, l.end), 1e-4);
  }
  EXPECT_TRUE(Indexes(moves, 5).empty());  // the dwell is time, not a segment

  EXPECT_NEAR(0.1 + 0.5 + 0.3 + 1.5 + 10 * kPi / 20 + 0.2, path->FeedSeconds(), 1e-3);
  EXPECT_NEAR(1.5, path->DwellSeconds(), 1e-12);
  EXPECT_NEAR(20, path->RapidLengthMm(), 1e-4);
  EXPECT_NEAR(35 + 10 * kPi, path->FeedLengthMm(), 0.01);
  // The half circle bulges to X 50; the run starts at the origin.
  const Box3& b = path->Bounds();
  EXPECT_NEAR(0, b.min[0], 1e-4);
  EXPECT_NEAR(50, b.max[0], 1e-4);
  EXPECT_NEAR(-5, b.min[2], 1e-4);
  EXPECT_NEAR(5, b.max[2], 1e-4);
  EXPECT_NEAR(20, b.max[1], 1e-4);
  EXPECT_TRUE(path->Finished());
}

// Per-axis limits slow a feed move down, the centripetal limit a small arc,
// a move without feed runs as a rapid.
TEST_F(PreviewTest, AxisLimitsLowerTheEstimatedFeed) {
  MachineConfig& cfg = GetMachineConfig();
  cfg.axis[2].maxVelocity = 5;
  cfg.axis[0].workAcceler = cfg.axis[1].workAcceler = 100;
  const struct { const char* body; double seconds; } cases[] = {
      {"G1 Z-10 F6000\n", 2.0},                                       // Z at its 5 mm/s
      {"G1 X30 Z-10 F6000\n", 2.0},                                  // Z's share of the path decides
      {"G1 X1 F6000\nG2 X1 Y0 I1 F6000\n", 0.01 + 2 * kPi / std::sqrt(100.0)},  // v = sqrt(a r) = 10
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.body);
    EXPECT_NEAR(c.seconds, Build(c.body)->FeedSeconds(), 1e-3);
  }
}

// Every chord stays within the tolerance of its arc, and the arc is not cut
// finer than needed (a chord of the minimal count still bows out by more
// than a quarter of the tolerance).
TEST_F(PreviewTest, ArcsAreCutIntoChordsWithinTheTolerance) {
  const struct { const char* body; double centre[3]; double radius, tolerance; int plane, tag = 3; } cases[] = {
      {"G0 X10\nG3 X-10 I-10 F600\n", {0, 0, 0}, 10, 0.01, 2},
      {"G0 X10\nG2 X10 I-10 F600\n", {0, 0, 0}, 10, 0.001, 2},               // full circle
      {"G0 X200\nG2 X-200 I-200 F600\n", {0, 0, 0}, 200, 0.05, 2},
      {"G0 X0.5\nG3 X0 Y0.5 I-0.5 F600\n", {0, 0, 0}, 0.5, 0.01, 2},
      {"G18\nG0 X10\nG2 X-10 I-10 F600\n", {0, 0, 0}, 10, 0.01, 1, 4},       // ZX plane
      {"G0 X10\nG3 X10 Z-6 I-10 F600\n", {0, 0, 0}, 10, 0.01, 2},            // helix
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.body);
    const auto path = Build(c.body, c.tolerance);
    const SegmentList& moves = path->Moves();
    const auto idx = Indexes(moves, c.tag);
    ASSERT_GE(idx.size(), 2u);
    int a, b;
    PlaneAxes(c.plane, a, b);
    const float* start = moves.StartOf(idx.front());
    double worst = 0, least = 1e9;
    for (size_t i : idx) {
      const float* s = moves.StartOf(i);
      const float* e = moves[i].end;
      EXPECT_NEAR(c.radius, std::hypot(e[a] - c.centre[a], e[b] - c.centre[b]), 1e-4);
      const double sag = c.radius - std::hypot(0.5 * (s[a] + e[a]) - c.centre[a], 0.5 * (s[b] + e[b]) - c.centre[b]);
      worst = std::max(worst, sag);
      least = std::min(least, sag);
    }
    EXPECT_LE(worst, c.tolerance * 1.0001 + 1e-5);
    EXPECT_GT(least, c.tolerance / 4);
    // The helix climbs evenly: the middle chord ends half way down.
    if (std::string(c.body).find("Z-6") != std::string::npos) {
      EXPECT_NEAR(start[2] - 3, moves[idx[idx.size() / 2 - 1]].end[2], 6.0 / idx.size() + 1e-4);
    }
  }
}

// Radius compensation sends the programmed contour beside the compensated
// one: both are recorded, only the moves radius compensation made carry
// the flag (the departure after G40 too, the next move no longer).
TEST_F(PreviewTest, ProgrammedPathLiesBesideTheCompensatedOne) {
  RadiusComp::SetToleranceParameter(0.001);
  const auto path = Build("G1 X0 Y0 F600\nG41 D2 G1 X10 Y0\nX10 Y10\nX0 Y10\nG40 G1 X0 Y20\nG0 Z5\n");
  ASSERT_NE(RUN_ERROR, result.runState) << result.errorReport;
  const SegmentList& programmed = path->Programmed();
  const double corners[][3] = {{10, 0, 0}, {10, 10, 0}, {0, 10, 0}, {0, 20, 0}};
  std::vector<size_t> ends;
  for (size_t i = 0; i < programmed.Size(); ++i)
    if (programmed[i].kind != SegmentKind::Jump) ends.push_back(i);
  ASSERT_EQ(4u, ends.size());
  for (int k = 0; k < 4; ++k) EXPECT_LT(Dist(programmed[ends[k]].end, corners[k]), 1e-5) << k;
  EXPECT_LT(Dist(programmed[0].end, corners[0]) - 10, 1e-5);  // it starts where compensation came on

  const SegmentList& moves = path->Moves();
  bool innerCorner = false;
  for (size_t i = 1; i < moves.Size(); ++i) {
    const int32_t tag = moves[i].tag;
    const bool comp = moves[i].flags & kSegCompensated;
    SCOPED_TRACE(tag);
    EXPECT_EQ(tag >= 3 && tag <= 6, comp);
    const double corner[3] = {9, 9, 0};
    innerCorner |= comp && Dist(moves[i].end, corner) < 1e-5;
  }
  EXPECT_TRUE(innerCorner);
  EXPECT_FALSE(Indexes(moves, 6).empty());
  EXPECT_FALSE(Indexes(moves, 7).empty());
}

// Moves are recorded in machine coordinates under the offset they were
// programmed in; every origin the run met is kept, and the limits box is
// the machine's.
TEST_F(PreviewTest, MovesAreMachinePositionsUnderTheirOffset) {
  MachineConfig& cfg = GetMachineConfig();
  cfg.offsets[0] = Coordinates(100, 50, 0);
  cfg.offsets[1] = Coordinates(200, 0, -10);
  cfg.axis[0].maxPosition = 600;
  cfg.axis[2].minPosition = cfg.axis[2].maxPosition = 0;
  const auto path = Build("G54 G0 X10 Y0\nG55 G0 X10 Y0\nG53\nG0 X1 Y1\n");
  ASSERT_NE(RUN_ERROR, result.runState) << result.errorReport;
  const struct { int32_t tag; double end[3]; } moves[] = {{2, {110, 50, 0}}, {3, {210, 0, 0}}, {5, {1, 1, 0}}};
  for (const auto& m : moves) {
    const auto idx = Indexes(path->Moves(), m.tag);
    ASSERT_EQ(1u, idx.size());
    EXPECT_LT(Dist(path->Moves()[idx[0]].end, m.end), 1e-4) << m.tag;
  }
  const auto& origins = path->Origins();
  ASSERT_EQ(4u, origins.size());
  EXPECT_EQ(100, origins[1].v[0]);
  EXPECT_EQ(-10, origins[2].v[2]);
  EXPECT_EQ(0, origins[3].v[0]);
  EXPECT_TRUE(path->HasLimit(0));
  EXPECT_FALSE(path->HasLimit(2));  // Z has no travel range configured
  EXPECT_EQ(600, path->Limits().max[0]);
}

// The view follows the machine: the segment of the line being run nearest
// to the position, never behind the hint inside the line's run.
TEST_F(PreviewTest, ProgressFindsTheSegmentTheMachineIsOn) {
  const auto path = Build("G0 X10 Y0\nG2 X10 Y0 I-10 F600\nG0 X20\nG0 X10\n");
  const SegmentList& moves = path->Moves();
  const auto circle = Indexes(moves, 3);
  ASSERT_GT(circle.size(), 10u);
  const size_t first = circle.front(), last = circle.back();
  const double start[3] = {10, 0, 0}, bottom[3] = {0, -10, 0}, far[3] = {20, 0, 0};
  const size_t none = moves.Size();
  const struct { int32_t tag; const double* pos; size_t hint, expected; } cases[] = {
      {3, start, 0, first},            // entering the circle
      {3, start, last, last},          // closing it: the start point again
      {3, bottom, first, circle[circle.size() / 4 - 1]},
      {4, far, last + 1, last + 1},
      {5, start, none, last + 2},      // the hint past the end wraps
      {9, start, 0, none},             // a line without moves
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "tag " << c.tag << " hint " << c.hint);
    const size_t found = path->FindProgress(c.tag, c.pos, c.hint);
    if (c.tag == 3 && c.pos == bottom) {
      // Either chord that meets at the bottom.
      EXPECT_LE(std::abs(long(found) - long(c.expected)), 1);
    } else {
      EXPECT_EQ(c.expected, found);
    }
  }
}

// Driven by hand, without a state (coordinates taken as they come): a
// hidden stretch counts for the time but not the bounds; a move without a
// feed runs as a rapid.
TEST(GCodeGraficStage, HiddenMovesCountForTimeButNotForTheBounds) {
  GCodeGrafic g;
  g.StartProgram("hand");
  g.SetTag(1);
  g.AddLine(Coordinates(10, 0, 0), 10, false, nullptr, false);
  g.SetDrawFlag(false);
  g.AddLine(Coordinates(10, 500, 0), 10, false, nullptr, false);
  g.SetDrawFlag(true);
  g.AddLine(Coordinates(20, 500, 0), -1, false, nullptr, false);  // no feed: as fast as the axes go
  const auto path = g.Path();
  const SegmentList& m = path->Moves();
  ASSERT_EQ(4u, m.Size());
  EXPECT_EQ(kSegHidden, m[2].flags);
  EXPECT_EQ(SegmentKind::Rapid, m[3].kind);
  EXPECT_NEAR(1 + 50 + 0.1, m[1].seconds + m[2].seconds + m[3].seconds, 1e-5);
  // The hidden stretch's far end is not in the box; its visible neighbours are.
  EXPECT_EQ(500, path->Bounds().max[1]);
  EXPECT_EQ(20, path->Bounds().max[0]);
  g.SetDrawFlag(false);
  g.AddLine(Coordinates(20, 900, 0), 10, false, nullptr, false);
  EXPECT_EQ(500, path->Bounds().max[1]);

  Coordinates pos;
  g.GetPosition(pos);
  EXPECT_EQ(Coordinates(20, 900, 0), pos);
}

// Without a state nothing re-bases the tool path; with one, a resync to a
// new position inserts a jump so the view draws no line that was not cut.
TEST_F(PreviewTest, ResyncStartsANewChainWhereTheStateStands) {
  GCodeGrafic g;
  MachineState state(actState, ".grafic");
  g.SetMachineState(&state);
  g.StartProgram("resync");
  g.AddLine(Coordinates(10, 0, 0), 10, false, nullptr, false);
  state.progPos = Coordinates(30, 30, 0);
  g.ResyncPosition();
  g.AddLine(Coordinates(40, 30, 0), 10, false, nullptr, false);
  state.progPos = Coordinates(40, 30, 0);
  g.ResyncPosition();  // standing where it is: no jump
  g.AddLine(Coordinates(50, 30, 0), 10, false, nullptr, false);
  const SegmentList& m = g.Path()->Moves();
  const SegmentKind kinds[] = {SegmentKind::Jump, SegmentKind::Feed, SegmentKind::Jump, SegmentKind::Feed,
                               SegmentKind::Feed};
  ASSERT_EQ(std::size(kinds), m.Size());
  for (size_t i = 0; i < m.Size(); ++i) EXPECT_EQ(kinds[i], m[i].kind) << i;
  EXPECT_EQ(30.f, m[2].end[0]);
  EXPECT_NEAR(3.0, g.Path()->FeedLengthMm() / 10, 1e-9);  // the jump is no feed
}
