#include "preview/gcodegrafic.h"

#include <algorithm>
#include <cmath>

#include "machine/machinestate.h"
#include "machine/statechange.h"
#include "machine/transformation.h"
#include "motion/motionlimits.h"
#include "motion/radiuscomp.h"
#include "preview/timeestimate.h"
#include "program/errors.h"

namespace {

double DistanceXyz(const Coordinates& a, const Coordinates& b) {
  return std::sqrt((a.v[0] - b.v[0]) * (a.v[0] - b.v[0]) + (a.v[1] - b.v[1]) * (a.v[1] - b.v[1]) +
                   (a.v[2] - b.v[2]) * (a.v[2] - b.v[2]));
}

Coordinates Lerp(const Coordinates& a, const Coordinates& b, double f) {
  Coordinates p;
  for (int i = 0; i < kAxisCount; ++i) p.v[i] = a.v[i] + (b.v[i] - a.v[i]) * f;
  return p;
}

PathSegment MakeSegment(const Coordinates& m, int32_t tag, double seconds, SegmentKind kind, uint8_t flags) {
  return PathSegment{{float(m.v[0]), float(m.v[1]), float(m.v[2])}, tag, float(seconds), kind, flags};
}

// Straight pieces a feed move is cut into at first under a surface map
// before the bends are looked for: a map changes over millimetres.
constexpr double kMappedPieceMm = 10.0;
constexpr int kMappedMaxDepth = 12;

}  // namespace

GCodeGrafic::GCodeGrafic(double chordToleranceMm)
    : m_path(std::make_shared<ToolPath>()), m_estimator(&DefaultTimeEstimator()), m_chordTolMm(0) {
  SetChordToleranceMm(chordToleranceMm);
}

GCodeGrafic::~GCodeGrafic() = default;

void GCodeGrafic::SetChordToleranceMm(double mm) {
  m_chordTolMm = std::isfinite(mm) && mm > 1e-6 ? mm : kDefaultChordToleranceMm;
}

void GCodeGrafic::SetTimeEstimator(TimeEstimator* estimator) {
  m_estimator = estimator ? estimator : &DefaultTimeEstimator();
}

const Transformation* GCodeGrafic::Trans() const {
  return m_machineState ? m_machineState->GetTransformation() : nullptr;
}

Coordinates GCodeGrafic::ToMachine(const Coordinates& p) const {
  const Transformation* t = Trans();
  return t ? t->ToMachine(p) : p;
}

bool GCodeGrafic::Compensating() const {
  const MachineState* s = m_machineState;
  if (!s) return false;
  if (s->GetFlag(kFlagBitG41) || s->GetFlag(kFlagBitG42)) return true;
  return m_compCall && s->progPos == m_compCallAt;
}

uint8_t GCodeGrafic::MoveFlags(bool compensated) const {
  return uint8_t((compensated ? kSegCompensated : 0) | (m_draw ? 0 : kSegHidden));
}

void GCodeGrafic::CheckCancel() {
  if (m_monitor && !m_cancelled && m_monitor->cancel.load(std::memory_order_relaxed)) {
    m_cancelled = true;
    throw Error_t(ERR_USER_BREAK);
  }
}

void GCodeGrafic::UpdateOrigin() {
  const Transformation* t = Trans();
  if (!m_originDirty && t == m_originTrans) return;
  m_originDirty = false;
  m_originTrans = t;
  const Coordinates o = ToMachine(Coordinates());
  std::vector<Point3>& origins = m_path->m_origins;
  if (!origins.empty()) {
    const double* last = origins.back().v;
    if (std::fabs(last[0] - o.v[0]) < 1e-6 && std::fabs(last[1] - o.v[1]) < 1e-6 &&
        std::fabs(last[2] - o.v[2]) < 1e-6)
      return;
  }
  origins.push_back(Point3{{o.v[0], o.v[1], o.v[2]}});
}

// ---- FrontEnd ------------------------------------------------------------

void GCodeGrafic::StartProgram(const std::string& name) {
  m_path = std::make_shared<ToolPath>();
  m_path->m_name = name;
  m_minStepMm = MinimumStep();
  m_draw = true;
  m_cancelled = false;
  m_compCall = false;
  m_originDirty = true;
  m_originTrans = nullptr;
  if (const MachineState* s = m_machineState) {
    m_lastProgram = s->progPos;
    Box3& box = m_path->m_limits;
    for (int i = 0; i < 3; ++i) {
      const double lo = s->GetLowerLimit(i), hi = s->GetUpperLimit(i);
      m_path->m_hasLimit[i] = lo < hi;
      box.min[i] = lo < hi ? lo : 0;
      box.max[i] = lo < hi ? hi : 0;
    }
    box.empty = false;
    m_path->m_limitsActive = SoftLimitsActive(*s);
    m_pos = ToMachine(m_lastProgram);
  } else {
    m_lastProgram = m_pos;
  }
  m_progPos = m_pos;
  m_progLastProgram = m_lastProgram;
  m_restartMoves = m_restartProgrammed = true;
  UpdateOrigin();
}

void GCodeGrafic::EndProgram() {
  ToolPath& p = *m_path;
  p.m_totalSeconds = m_estimator->TotalSeconds(p.m_movesSeconds + p.m_dwellSeconds);
  p.m_finished = !m_cancelled;
}

void GCodeGrafic::SetTag(int32_t tag) {
  m_tag = tag;
  m_ownTag = tag;
  if (m_monitor) m_monitor->line.store(tag, std::memory_order_relaxed);
  CheckCancel();
}

void GCodeGrafic::SetDrawFlag(bool flag) { m_draw = flag; }

void GCodeGrafic::GetPosition(Coordinates& position) { position = m_pos; }

void GCodeGrafic::ResyncPosition() {
  if (const MachineState* s = m_machineState) {
    const Coordinates m = ToMachine(s->progPos);
    if (DistanceXyz(m, m_pos) > m_minStepMm) m_restartMoves = true;
    m_pos = m;
    m_lastProgram = s->progPos;
  }
  m_progPos = m_pos;
  m_progLastProgram = m_lastProgram;
  m_restartProgrammed = true;
  m_compCall = false;
}

void GCodeGrafic::AddCmd(const StateChange& change) {
  if (m_cancelled) return;
  if (change.code == 'G' && change.num == 4) m_path->m_dwellSeconds += m_estimator->DwellSeconds(change.arg);
  m_originDirty = true;
}

void GCodeGrafic::Record(SegmentList& list, bool& restart, const Coordinates& from, const Coordinates& m,
                         SegmentKind kind, double seconds, uint8_t flags) {
  ToolPath& p = *m_path;
  const int32_t tag = m_ownTag;
  if (restart || list.Empty()) {
    restart = false;
    const bool moved = list.Empty() || list[list.Size() - 1].end[0] != float(from.v[0]) ||
                       list[list.Size() - 1].end[1] != float(from.v[1]) ||
                       list[list.Size() - 1].end[2] != float(from.v[2]);
    if (moved) list.Append(MakeSegment(from, tag, 0, SegmentKind::Jump, flags & kSegHidden));
  }
  list.Append(MakeSegment(m, tag, seconds, kind, flags));
  if (!(flags & kSegHidden)) {
    p.m_bounds.Add(from.v[0], from.v[1], from.v[2]);
    p.m_bounds.Add(m.v[0], m.v[1], m.v[2]);
  }
  if (&list == &p.m_moves) {
    (kind == SegmentKind::Rapid ? p.m_rapidMm : p.m_feedMm) += DistanceXyz(from, m);
    p.m_movesSeconds += seconds;
  }
}

void GCodeGrafic::RecordMapped(SegmentList& list, bool& restart, const Coordinates& fromProg,
                               const Coordinates& toProg, Coordinates& pos, double seconds, uint8_t flags) {
  const int pieces =
      std::clamp(int(std::ceil(DistanceXyz(fromProg, toProg) / kMappedPieceMm)), 1, kMaxChordsPerArc);
  // Halves a piece while its middle leaves the chord by more than the
  // tolerance.
  auto cut = [&](auto& self, double fa, double fb, const Coordinates& ma, const Coordinates& mb, int depth) -> void {
    const double fm = 0.5 * (fa + fb);
    const Coordinates mm = ToMachine(Lerp(fromProg, toProg, fm));
    if (depth < kMappedMaxDepth && DistanceXyz(mm, Lerp(ma, mb, 0.5)) > m_chordTolMm) {
      self(self, fa, fm, ma, mm, depth + 1);
      self(self, fm, fb, mm, mb, depth + 1);
      return;
    }
    Record(list, restart, ma, mb, SegmentKind::Feed, seconds * (fb - fa), flags);
  };
  Coordinates a = pos;
  for (int k = 1; k <= pieces; ++k) {
    const double fa = double(k - 1) / pieces, fb = double(k) / pieces;
    const Coordinates b = ToMachine(k == pieces ? toProg : Lerp(fromProg, toProg, fb));
    cut(cut, fa, fb, a, b, 0);
    a = b;
  }
  pos = a;
}

Coordinates GCodeGrafic::RecordArc(SegmentList& list, bool& restart, const ArcGeometry& arc, const Coordinates& from,
                                   double seconds, uint8_t flags) {
  const Transformation* t = Trans();
  const double scale = t && t->GetScale() > 0 ? t->GetScale() : 1.0;
  const double r = arc.radius * scale;
  const double sweep = std::fabs(arc.sweep) * kDegToRad;
  int chords = 1;
  if (r > m_chordTolMm) {
    // A chord of angle a leaves the arc by r (1 - cos(a / 2)).
    const double step = 2.0 * std::acos(1.0 - m_chordTolMm / r);
    const double n = std::ceil(sweep / step);
    chords = std::isfinite(n) ? int(std::clamp(n, 1.0, double(kMaxChordsPerArc))) : 1;
  }
  Coordinates prev = from;
  for (int k = 1; k <= chords; ++k) {
    const Coordinates m = ToMachine(ArcPoint(arc, double(k) / chords));
    Record(list, restart, prev, m, SegmentKind::Arc, seconds / chords, flags);
    prev = m;
  }
  return prev;
}

void GCodeGrafic::AddLine(const Coordinates& end, double feed, bool rapid, const Condition*, bool) {
  CheckCancel();
  if (m_cancelled) return;
  UpdateOrigin();
  const Coordinates m = ToMachine(end);
  const Coordinates d = m - m_pos;
  // As the machine: a move below half a step is not made; the next one
  // starts where the tool stands.
  if (Length9(d) < m_minStepMm) return;
  if (!rapid && !(feed > 0)) rapid = true;
  const double seconds = m_estimator->LineSeconds(d, feed, rapid);
  const uint8_t flags = MoveFlags(Compensating());
  const Transformation* t = Trans();
  if (!rapid && t && t->IsMappingOn()) {
    Coordinates pos = m_pos;
    RecordMapped(m_path->m_moves, m_restartMoves, m_lastProgram, end, pos, seconds, flags);
  } else {
    Record(m_path->m_moves, m_restartMoves, m_pos, m, rapid ? SegmentKind::Rapid : SegmentKind::Feed, seconds,
           flags);
  }
  m_pos = m;
  m_lastProgram = end;
}

void GCodeGrafic::AddArc(const Coordinates& end, const double centre[3], double feed, int32_t plane,
                         bool clockwise) {
  CheckCancel();
  if (m_cancelled) return;
  UpdateOrigin();
  const ArcGeometry arc = MakeArc(m_lastProgram, end, centre, plane, clockwise);
  const Transformation* t = Trans();
  const double scale = t && t->GetScale() > 0 ? t->GetScale() : 1.0;
  const double height = end.v[arc.normal] - m_lastProgram.v[arc.normal];
  if (std::hypot(ArcPlanarLength(arc), height) * scale < m_minStepMm) return;
  const double seconds = m_estimator->ArcSeconds(arc, feed, scale, t && t->IsDistorted());
  m_pos = RecordArc(m_path->m_moves, m_restartMoves, arc, m_pos, seconds, MoveFlags(Compensating()));
  m_lastProgram = end;
}

void GCodeGrafic::AddProgrammedLine(const Coordinates& end) {
  if (m_cancelled) return;
  const Coordinates m = ToMachine(end);
  if (DistanceXyz(m, m_progPos) >= m_minStepMm) {
    Record(m_path->m_programmed, m_restartProgrammed, m_progPos, m, SegmentKind::Feed, 0, MoveFlags(false));
    m_progPos = m;
  }
  m_progLastProgram = end;
  m_compCall = true;
  if (m_machineState) m_compCallAt = m_machineState->progPos;
}

void GCodeGrafic::AddProgrammedArc(const Coordinates& end, const double centre[3], int32_t plane, bool direction) {
  if (m_cancelled) return;
  const ArcGeometry arc = MakeArc(m_progLastProgram, end, centre, plane, direction);
  m_progPos = RecordArc(m_path->m_programmed, m_restartProgrammed, arc, m_progPos, 0, MoveFlags(false));
  m_progLastProgram = end;
  m_compCall = true;
  if (m_machineState) m_compCallAt = m_machineState->progPos;
}
