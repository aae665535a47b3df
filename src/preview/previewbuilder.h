// Building the preview of a program file: the interpreter (with its macro
// language, as a run on the machine would have it) runs the file against a
// GCodeGrafic. The same run is the soft-limit check: with no machine behind
// the stage, moves outside the limits (or into the tool changer's keep-out
// area) are counted and the first is kept, and the run goes on.
//
// In the same pass the path planner times the run (acceleration, corner
// velocities, the module's filter), so the path's estimated time is the
// one the machine will take, not length over feed.
//
// A build runs on the calling thread (Run) or on a thread of its own
// (Start), which the operator interface polls for progress and may cancel.
// The interpreter takes its copy of the start state when the build is
// created, on the creating thread, isolated from the process-wide offsets
// and variables: what the program writes to them (G10, G92, #900.., other
// globals) moves the drawn path but changes neither the operator's offsets
// nor the parameter and variable files, and a build on its own thread never
// touches what the GUI thread and the back ends use. It shares the message
// list, the macro folder and the configuration with the rest of the process.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "motion/frontendtee.h"
#include "preview/gcodegrafic.h"

class MacroParser;
class MachineState;
class PlanEstimator;

struct PreviewSettings {
  // The state the run starts from (position, offsets, tool, variables);
  // null = actState.
  MachineState* state = nullptr;
  double chordToleranceMm = GCodeGrafic::kDefaultChordToleranceMm;
  // The time of each move; null = feeds and axis limits. Not owned; must
  // outlive the build.
  TimeEstimator* estimator = nullptr;
  // The run's total from the path planner (true) or the sum of the moves.
  bool planTime = true;
};

struct PreviewResult {
  bool loaded = false;     // the file could be read
  bool cancelled = false;  // ended by Cancel
  int32_t runState = 0;    // the interpreter's (RUN_ERROR also after range errors)
  int32_t totalLines = 0;  // lines of the program file
  int32_t rangeErrorCount = 0;
  // s: the planner's time of the run (the path's estimated time); -1 when
  // the build was not planned.
  double plannedSeconds = -1;
  int32_t rangeAxis = -1;  // of the first range error; -1 for a keep-out collision
  bool rangeUpper = false;
  bool rangeKeepout = false;
  // "text line L column C": the first range error, or what ended the run.
  std::string errorReport;
  int32_t errorCode = 0;  // of what ended the run (0 = nothing)

  bool HasRangeErrors() const { return rangeErrorCount > 0; }
  // The run ended with an error of its own (syntax, a missing file...).
  bool Failed() const;
  // The line that names the first range error ("The toolpath was outside
  // the upper(1) limit of axis X.").
  std::string RangeText() const;
  // Count, first error and RangeText, as the command line prints them.
  std::string RangeReport() const;
  // The question asked before such a program is started ("Range Error").
  std::string RangeQuestion() const;
};

class PreviewBuild {
 public:
  explicit PreviewBuild(const std::string& file, const PreviewSettings& settings = PreviewSettings());
  // Cancels a build still running on its thread and waits for it.
  ~PreviewBuild();
  PreviewBuild(const PreviewBuild&) = delete;
  PreviewBuild& operator=(const PreviewBuild&) = delete;

  // Builds on the calling thread.
  const PreviewResult& Run();
  // Builds on a thread of its own.
  void Start();
  // Ends the run at its next line or move with a user break; the path keeps
  // what was recorded.
  void Cancel() { m_monitor.cancel.store(true, std::memory_order_relaxed); }

  // Polling a started build (any thread).
  bool Finished() const { return m_finished.load(std::memory_order_acquire); }
  int32_t LinesDone() const { return m_monitor.line.load(std::memory_order_relaxed); }
  int32_t TotalLines() const { return m_totalLines.load(std::memory_order_relaxed); }
  // 0..1 by lines.
  double Fraction() const;

  // Wait for a started build; then the result and the recording.
  const PreviewResult& Result();
  GCodeGrafic& Grafic();
  std::shared_ptr<const ToolPath> Path() { return Grafic().Path(); }

 private:
  void Wait();

  std::string m_file;
  GCodeGrafic m_grafic;
  std::unique_ptr<PlanEstimator> m_plan;
  std::unique_ptr<TimeEstimator> m_timing;
  FrontEndTee m_tee;
  std::unique_ptr<MacroParser> m_parser;
  BuildMonitor m_monitor;
  PreviewResult m_result;
  std::atomic<int32_t> m_totalLines{0};
  std::atomic<bool> m_finished{false};
  std::thread m_thread;
};
