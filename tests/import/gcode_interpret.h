// Runs an emitted G-code program through the real interpreter and returns
// the moves it makes, in the form the stroke comparison uses.
#pragma once

#include <string>
#include <vector>

#include "gcode_moves.h"

namespace gcodemoves {

struct RunResult {
  bool ok = false;         // the run ended without an error or range error
  std::string report;      // the interpreter's error report, if any
  std::vector<Move> moves;
};

// Interprets the program file against a recording front end with generous
// soft limits and tools 1..99 in the tool table; centreAbs is the machine's
// setting for I and J.
RunResult Interpret(const std::string& path, bool centreAbs);

// Interprets the program text (written to a scratch file) and returns its
// cut strokes; a failed run fails the calling test.
std::vector<std::vector<Point>> InterpretedCuts(const std::string& gcode, bool centreAbs);

}  // namespace gcodemoves
