#include "interpreter/programrun.h"

#include "interpreter/gcodeparser.h"
#include "interpreter/macroparser.h"
#include "program/errors.h"

RunOutcome RunInterpreter(FrontEnd* frontEnd, MachineState* state, GCodeParser* parser, const std::string* text,
                          const std::function<void()>& prepare, const std::function<void()>& started) {
  RunOutcome r;
  try {
    if (prepare) prepare();
    if (text) {
      MacroParser temp(frontEnd, state, *text);
      if (started) started();
      r.failed = temp.ExecuteProgram(true, 0) == RUN_ERROR;
      r.code = temp.errorCode;
      r.report = temp.ErrorReportText();
    } else if (parser) {
      if (started) started();
      const int32_t from = parser->runFromLine;
      r.failed = parser->ExecuteProgram(false, 0, "%", from > 1 ? from : 0, 0, from > 1) == RUN_ERROR;
      r.code = parser->errorCode;
      r.report = parser->ErrorReportText();
    } else {
      r.failed = true;
      r.code = ERR_MAIN_PROGRAM;
      r.report = "no program loaded";
    }
  } catch (const Error_t& e) {
    r.failed = true;
    r.code = e.code;
    r.report = ErrorText(e);
  } catch (...) {
    r.failed = true;
    r.code = ERR_MAIN_PROGRAM;
    r.report = "internal error";
  }
  return r;
}
