// One program run of a back end's worker: the loaded program of the
// interpreter (from its run-from line), or a text on an interpreter of its
// own, with whatever ends it turned into what the operator is told.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

class FrontEnd;
class GCodeParser;
class MachineState;

struct RunOutcome {
  bool failed = false;
  int32_t code = 0;    // the error, 0 = none
  std::string report;  // "text line L column C"
};

// text: run this (on an interpreter made for it, with frontEnd and state)
// instead of parser's loaded program; parser may then be null. prepare runs
// first, inside the run (an error it raises ends the run); started runs once
// the program's interpreter exists.
RunOutcome RunInterpreter(FrontEnd* frontEnd, MachineState* state, GCodeParser* parser, const std::string* text,
                          const std::function<void()>& prepare = nullptr,
                          const std::function<void()>& started = nullptr);
