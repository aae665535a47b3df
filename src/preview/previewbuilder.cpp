#include "preview/previewbuilder.h"

#include <algorithm>

#include "base/threadsync.h"
#include "interpreter/gcodeparser.h"
#include "interpreter/macroparser.h"
#include "machine/machinestate.h"
#include "motion/planestimate.h"
#include "preview/timeestimate.h"
#include "program/errors.h"
#include "program/textcontrol.h"

namespace {
// Each move as the move estimator says; the run's total as planned.
class PlannedTime : public TimeEstimator {
 public:
  PlannedTime(TimeEstimator& moves, PlanEstimator& plan) : m_moves(moves), m_plan(plan) {}
  double LineSeconds(const Coordinates& d, double feedMmPerS, bool rapid) override {
    return m_moves.LineSeconds(d, feedMmPerS, rapid);
  }
  double ArcSeconds(const ArcGeometry& arc, double feedMmPerS, double scale, bool distorted) override {
    return m_moves.ArcSeconds(arc, feedMmPerS, scale, distorted);
  }
  double DwellSeconds(double seconds) override { return m_moves.DwellSeconds(seconds); }
  // The tee has ended the plan before the recording asks.
  double TotalSeconds(double) override { return m_plan.Summary().plannedSeconds; }

 private:
  TimeEstimator& m_moves;
  PlanEstimator& m_plan;
};
}  // namespace

bool PreviewResult::Failed() const { return !cancelled && rangeErrorCount == 0 && runState == RUN_ERROR; }

std::string PreviewResult::RangeText() const {
  std::string text = RangeErrorDetail(rangeKeepout, rangeUpper, rangeAxis);
  if (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

std::string PreviewResult::RangeReport() const {
  return "range errors: " + std::to_string(rangeErrorCount) + ", first: " + errorReport + "\n" + RangeText();
}

std::string PreviewResult::RangeQuestion() const { return RangeErrorQuestion(rangeKeepout, rangeUpper, rangeAxis); }

PreviewBuild::PreviewBuild(const std::string& file, const PreviewSettings& settings)
    : m_file(file), m_grafic(settings.chordToleranceMm), m_tee(m_grafic, nullptr) {
  m_parser = std::make_unique<MacroParser>(&m_tee, settings.state ? settings.state : &actState);
  MachineState& own = m_parser->State();
  own.Isolate();
  // The interpreter's own state: offsets the program changes apply to the
  // moves that follow them, and the stage sees compensation switched on.
  m_grafic.SetMachineState(&own);
  m_grafic.SetMonitor(&m_monitor);
  if (settings.planTime) {
    // Starts where the interpreter starts, on the same isolated offsets.
    m_plan = std::make_unique<PlanEstimator>(own);
    m_tee.SetSecond(m_plan.get());
    m_timing = std::make_unique<PlannedTime>(settings.estimator ? *settings.estimator : DefaultTimeEstimator(),
                                             *m_plan);
    m_grafic.SetTimeEstimator(m_timing.get());
  } else {
    m_grafic.SetTimeEstimator(settings.estimator);
  }
}

PreviewBuild::~PreviewBuild() {
  if (m_thread.joinable()) {
    Cancel();
    m_thread.join();
  }
}

const PreviewResult& PreviewBuild::Run() {
  PreviewResult& r = m_result;
  r.loaded = m_parser->NewMainFile(m_file) != 0;
  if (r.loaded) {
    // The main file's own lines: the store counts more than the file holds.
    int32_t first = 0;
    m_parser->Text()->GetFileRange(1, &first, &r.totalLines);
    m_totalLines.store(r.totalLines, std::memory_order_relaxed);
    r.runState = m_parser->ExecuteProgram(false, 0);
    r.cancelled = m_grafic.Cancelled();
    r.rangeErrorCount = m_parser->RangeErrorCount();
    r.rangeAxis = m_parser->RangeErrorAxis();
    r.rangeUpper = m_parser->RangeErrorUpper();
    r.rangeKeepout = m_parser->RangeErrorKeepout();
    r.errorReport = m_parser->ErrorReportText();
    if (r.runState == RUN_ERROR) r.errorCode = m_parser->errorCode;
    if (m_plan) r.plannedSeconds = m_plan->Summary().plannedSeconds;
  }
  m_finished.store(true, std::memory_order_release);
  return r;
}

void PreviewBuild::Start() {
  if (m_thread.joinable() || Finished()) return;
  m_thread = std::thread([this] {
    SetBackgroundPriority();
    Run();
  });
}

double PreviewBuild::Fraction() const {
  const int32_t total = TotalLines();
  if (Finished()) return 1.0;
  return total > 0 ? std::clamp(double(LinesDone()) / total, 0.0, 1.0) : 0.0;
}

void PreviewBuild::Wait() {
  if (m_thread.joinable()) m_thread.join();
}

const PreviewResult& PreviewBuild::Result() {
  Wait();
  return m_result;
}

GCodeGrafic& PreviewBuild::Grafic() {
  Wait();
  return m_grafic;
}
