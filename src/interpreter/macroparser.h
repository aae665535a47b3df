// MacroParser: the interpreter with its macro language. It takes over the
// statement words of GCodeParser (IF/ELSE/ENDIF, REPEAT/NEXT, UNTIL, SKIP,
// REWIND, EXIT, CALL, PRINT, CLS, LOGFILE, the ASK dialogs, QUIET, #On=) and
// wraps calls of files and labels so that the caller gets its modal state
// back afterwards. Create a MacroParser wherever a program may contain macro
// statements; called files run in MacroParsers too.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "interpreter/gcodeparser.h"
#include "interpreter/operatordialog.h"

class MacroParser : public GCodeParser {
 public:
  MacroParser(FrontEnd* frontEnd, MachineState* state);
  MacroParser(FrontEnd* frontEnd, MachineState* state, const std::string& mdiText);
  explicit MacroParser(MacroParser* caller);
  ~MacroParser() override;

  bool ExecuteSubPrg(const std::string& file, const std::string& label, bool optional, const double* args,
                     int nargs) override;

  // Decimals of PRINT numbers: shared by all parsers, kept between runs.
  static int32_t PrintDecimals();
  static void SetPrintDecimals(int32_t decimals);
  // The PRINT form of a number (see FormatPrintNumber below).
  static std::string FormatNumber(double value, int32_t decimals);
  // The folder that "%appdata%" names in LOGFILE: the parameter folder.
  static std::string AppDataDir();
  // Where CALL finds file: the macro folder first, then the folder of the
  // program `current`. An absolute name is taken as it is.
  static std::string ResolveCallFile(const std::string& file, const std::string& current);

  // ---- statement state (read by tests)
  const std::vector<int32_t>& IfStack() const { return ifStack; }
  int32_t RepeatLine() const { return repeatLine; }
  bool LogFileOpen() const;

 protected:
  void ParseStatement(int32_t code) override;
  bool ExecuteStatements() override;
  void OnRunEnd() override;
  std::unique_ptr<GCodeParser> CreateChild() override;

 private:
  // The parser of the main program: owner of the log file.
  MacroParser* Root() { return m_caller ? m_caller->Root() : this; }
  FrontEnd* Machine() const;
  bool OnView() const;
  void ParsePrint();
  void ReadPrintString(std::string& out);
  void ParseAsk(int32_t code);
  void CheckAlone(int32_t code, int32_t error);
  // Reads the first word of the current line (after an N word): true when
  // the line begins with keyword.
  bool LineBeginsWith(const char* keyword);
  void RequireRestEmpty(int32_t error);
  void SkipIfBlock(bool toElse);
  void ExecuteIf();
  void ExecuteRepeat();
  void ExecuteNext();
  void ExecuteCall();
  void ExecutePrint();
  void ExecuteLogFile();
  void ExecuteAsk(int32_t code);
  void QueueDialog();
  void CloseLogFile();

  MacroParser* m_caller = nullptr;
  std::vector<int32_t> ifStack;
  int32_t repeatLine = 0;
  int32_t repeatLeft = 0;
  std::string label;
  std::string callFile;
  int32_t callWordColumn = 0;  // of the CALL word
  std::string printText;
  bool printToLog = false;
  std::string logName;
  int32_t logMode = 0;
  std::FILE* logFile = nullptr;  // root parser only
  std::string askTitle, askText, askFormat1, askFormat2;
  int32_t askLine = 0, askColumn = -1;  // the line's first ASK (one per line)
  std::unique_ptr<AskDialog> multi;     // ASKMULTI waiting for its fields
  int32_t dialogCount = 0;
  // What the last called file ended with (restoring the caller's state).
  struct ChildEnd {
    bool valid = false;
    uint32_t gState = 0;
    int32_t offsetIndex = 0;
    bool unitsProgrammed = false;  // it executed G20/G21
  } childEnd;
};
