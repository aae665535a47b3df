#include "simulation/programplan.h"

#include "interpreter/gcodeparser.h"
#include "interpreter/macroparser.h"
#include "machine/machinestate.h"
#include "program/textcontrol.h"

ProgramPlan PlanProgram(const std::string& file, const MachineState& state, PlanObserver* observer,
                        const std::function<void(int32_t line)>& progress) {
  ProgramPlan result;
  MachineState start(state, ".planrun");
  PlanEstimator plan(start);
  plan.SetElementObserver(observer);
  MacroParser parser(&plan, &start);
  if (parser.NewMainFile(file) == 0) return result;
  result.loaded = true;
  result.lineCount = parser.Text()->LineCount();
  if (progress) parser.SetProgressObserver(progress);
  result.runState = parser.ExecuteProgram(false, 0);
  result.rangeErrors = parser.RangeErrorCount();
  if (result.runState == RUN_ERROR && result.rangeErrors == 0) {
    result.errorCode = parser.errorCode;
    result.errorText = parser.ErrorReportText();
  }
  result.summary = plan.Summary();
  return result;
}
