// GCodeGrafic: the front-end stage that records a program run for the 3D
// tool-path view. It has no machine behind it (back-end kind 0), so the
// interpreter counts soft-limit violations instead of stopping, and runs
// as fast as it can read.
//
// Moves arrive in program coordinates. With a machine state attached
// (SetMachineState: the interpreter's own copy, so offset changes of the
// program apply from the move they are made on) the stage records them in
// machine coordinates, where the soft-limit box stands still; without one
// they are taken as they come. Arcs are cut into chords that stay within
// the chord tolerance of the true arc; under a surface map, feed moves are
// cut likewise so that they follow the map.
//
// Each StartProgram begins a new ToolPath; the one recorded before stays
// valid for whoever still holds it (the view shows the old path until the
// new one is complete).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "base/coordinates.h"
#include "motion/frontend.h"
#include "preview/toolpath.h"

struct ArcGeometry;
class TimeEstimator;
class Transformation;

// Watches and steers a recording run from another thread.
struct BuildMonitor {
  std::atomic<int32_t> line{0};     // the last program line the run reached (global number)
  std::atomic<bool> cancel{false};  // set to end the run with a user break
};

class GCodeGrafic : public FrontEnd {
 public:
  static constexpr double kDefaultChordToleranceMm = 0.01;
  // Chords per arc at most, whatever the tolerance asks for.
  static constexpr int kMaxChordsPerArc = 4096;

  explicit GCodeGrafic(double chordToleranceMm = kDefaultChordToleranceMm);
  ~GCodeGrafic() override;

  // ---- FrontEnd
  // Starts a new tool path: the position, limits and work offset come from
  // the attached state.
  void StartProgram(const std::string& name) override;
  // Closes the tool path: the total time is final.
  void EndProgram() override;
  void AddLine(const Coordinates& end, double feed, bool rapid, const Condition* until, bool noKnife) override;
  void AddArc(const Coordinates& end, const double centre[3], double feed, int32_t plane, bool clockwise) override;
  // false: the following moves are recorded hidden (they count for time and
  // position but are not drawn) until the flag is set again.
  void SetDrawFlag(bool flag) override;
  // The position becomes the attached state's; the programmed path starts
  // there too.
  void ResyncPosition() override;
  void AddProgrammedLine(const Coordinates& end) override;
  void AddProgrammedArc(const Coordinates& end, const double centre[3], int32_t plane, bool direction) override;
  // Dwells add to the time; any change may have moved the work offset.
  void AddCmd(const StateChange& change) override;
  void SetTag(int32_t tag) override;
  // The end of everything recorded, machine coordinates.
  void GetPosition(Coordinates& position) override;

  // ---- recording
  std::shared_ptr<const ToolPath> Path() const { return m_path; }
  double ChordToleranceMm() const { return m_chordTolMm; }
  void SetChordToleranceMm(double mm);
  // Where the time of each move comes from; null restores the default.
  // Not owned.
  void SetTimeEstimator(TimeEstimator* estimator);
  // Progress and cancel of a run; null for none. Not owned. After a cancel
  // the stage raises the user break once and records nothing more.
  void SetMonitor(BuildMonitor* monitor) { m_monitor = monitor; }
  bool Cancelled() const { return m_cancelled; }

 private:
  const Transformation* Trans() const;
  Coordinates ToMachine(const Coordinates& p) const;
  bool Compensating() const;
  void CheckCancel();
  void UpdateOrigin();
  // Appends a segment to `list` ending at machine point m, with a jump
  // first when the chain must restart at `from`.
  void Record(SegmentList& list, bool& restart, const Coordinates& from, const Coordinates& m, SegmentKind kind,
              double seconds, uint8_t flags);
  // A straight feed move under a surface map: cut where the map bends it.
  void RecordMapped(SegmentList& list, bool& restart, const Coordinates& fromProg, const Coordinates& toProg,
                    Coordinates& pos, double seconds, uint8_t flags);
  // Chords of an arc (program coordinates) from machine point `from`;
  // returns the machine end.
  Coordinates RecordArc(SegmentList& list, bool& restart, const ArcGeometry& arc, const Coordinates& from,
                        double seconds, uint8_t flags);
  uint8_t MoveFlags(bool compensated) const;

  std::shared_ptr<ToolPath> m_path;
  TimeEstimator* m_estimator;
  BuildMonitor* m_monitor = nullptr;
  double m_chordTolMm;
  double m_minStepMm = 0;
  int32_t m_ownTag = 0;
  bool m_draw = true;
  bool m_cancelled = false;

  // The tool path's end: machine and program coordinates.
  Coordinates m_pos;
  Coordinates m_lastProgram;
  bool m_restartMoves = true;
  // The programmed path's end.
  Coordinates m_progPos;
  Coordinates m_progLastProgram;
  bool m_restartProgrammed = true;
  // The interpreter's position when radius compensation last sent a
  // programmed move: what it emits in the same call belongs to the
  // compensated contour even after G40 (the departure).
  Coordinates m_compCallAt;
  bool m_compCall = false;

  const Transformation* m_originTrans = nullptr;
  bool m_originDirty = true;
};
