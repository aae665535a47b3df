// The planned time of a part program file: the program runs through the
// interpreter as in the preview (no machine behind it) into a PlanEstimator.
// Used by `quorvane-cli plan`, which reports the corners and elements; the
// preview times its own pass the same way.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "motion/planestimate.h"

class MachineState;

struct ProgramPlan {
  bool loaded = false;        // the file could be read
  int32_t runState = 0;       // the interpreter's end state
  int32_t errorCode = 0;      // 0 = none
  std::string errorText;      // the interpreter's report of the error
  int32_t lineCount = 0;      // lines of the program text
  int32_t rangeErrors = 0;    // moves outside the soft limits (counted, not raised)
  PlanSummary summary;
};

// Runs file from state (a copy is used; state is not changed). observer
// receives every planned element and corner; progress is called every 1000
// lines with the global line reached.
ProgramPlan PlanProgram(const std::string& file, const MachineState& state, PlanObserver* observer = nullptr,
                        const std::function<void(int32_t line)>& progress = nullptr);
