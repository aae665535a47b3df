// GCodeParser: the interpreter. It reads a program line by line (ParseLine),
// checks every address value, and turns the line (ExecuteLine) into calls on
// its front end: AddLine, AddArc, AddCmd with StateChange records,
// WaitForMachine. It holds the modal state of the run (units, distance mode,
// plane, modal motion code, offsets) and runs the program loop
// (ExecuteProgram) for main programs, called files, MDI texts and previews.
//
// The macro language plugs in through two virtual operations: ParseStatement
// reads the arguments of a statement keyword when GetWord meets it, and
// ExecuteStatements runs the line's statements before anything else of the
// line. Here, variable assignments (#n=) are executed; every other statement
// gives -1005 until a derived class takes it over. Called files run through
// ExecuteSubPrg, which a derived class may extend.
//
// Stop requests arrive as Error_t thrown from a front-end operation (codes
// -100 to -107); the run loop reports them with the line the machine reached.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/coordinates.h"
#include "base/numbers.h"
#include "program/fileparser.h"
#include "motion/frontend.h"
#include "machine/statechange.h"

class MachineState;
class RadiusComp;
struct ToolRecord;

// Statement codes returned by GetWord (address letters are returned as
// their character, 'A'..'Z').
enum StatementCode : int32_t {
  STMT_CALL = 1,
  STMT_IF = 2,
  STMT_ELSE = 3,
  STMT_ENDIF = 4,
  STMT_UNTIL = 5,
  STMT_REPEAT = 6,
  STMT_NEXT = 7,
  STMT_QUIET = 8,
  STMT_PRINT = 9,
  STMT_SKIP = 10,
  STMT_REWIND = 11,
  STMT_ASSIGN = 12,  // #n=
  STMT_OUTPUT = 14,  // #On=
  STMT_ASKBOOL = 15,
  STMT_ASKINT = 16,
  STMT_ASKFLT = 17,
  STMT_ASKMULTI = 18,
  STMT_ASKVAL = 19,
  STMT_LOGFILE = 20,
  STMT_EXIT = 21,
  STMT_CLS = 22,
};

// runState values.
enum RunState : int32_t {
  RUN_RUNNING = 0,
  RUN_RETURN = 1,     // M99/RETURN or M2 in the main program
  RUN_M2_CALLED = 2,  // M2 in a called file
  RUN_ERROR = 3,
  RUN_M30 = 4,
  RUN_EXIT = 5,
};

// Bits of the modal G-state word (saved into #939 around calls).
enum GStateBit : int32_t {
  GS_TOOL_LENGTH = 6,
  GS_EXACT_STOP = 7,
  GS_INCH = 11,
  GS_INCREMENTAL = 12,
  GS_FUNC15 = 15,
  GS_FUNC16 = 16,
  GS_SCALING = 20,
  GS_FUNC22 = 22,
};

// Settings of the interpreter that the parameter table does not hold. The
// feed limits are per second (as configured) and checked per minute.
struct InterpreterOptions {
  double minFeed = 0.01;          // mm/s; G1 below it gives -1041, F below -1008
  double maxFeed = 0;             // mm/s; 0 = the largest MaxVelocity of X, Y, Z
  bool previewStopsOnRange = false;  // a range error stops a preview too
  bool g79AfterM6 = false;        // M6 in tool-change mode 0 moves to the change position
};

// One word as GetWord returns it.
struct Word {
  int32_t code = 0;  // address letter or StatementCode
  int32_t index = -1;  // '#' and indexed P: the index; -1 = none
  double value = 0;
};

// The question asked before a program starts when the last preview met a
// range error (title "Range Error", Yes/No): the text with the line that
// names the keep-out collision or the axis and side.
std::string RangeErrorQuestion(bool keepout, bool upper, int32_t axis);
// Its one line that names the collision or the axis and side, with its
// line end.
std::string RangeErrorDetail(bool keepout, bool upper, int32_t axis);

// The G codes that are a line's one motion or action code, and those of them
// that stay modal (any other one clears the modal motion after its line).
bool IsLineGCode(int32_t g);
bool IsModalMotion(int32_t g);

class GCodeParser : public FileParser {
 public:
  // Normal construction: an empty store (open a program with NewMainFile).
  GCodeParser(FrontEnd* frontEnd, MachineState* state);
  // MDI text.
  GCodeParser(FrontEnd* frontEnd, MachineState* state, const std::string& mdiText);
  // A called file: shares the caller's store, front end and options; its
  // own variable view is a copy of the caller's.
  explicit GCodeParser(GCodeParser* caller);
  ~GCodeParser() override;

  // Attaches another front end; a new state replaces the parser's copy.
  void SetFrontEnd(FrontEnd* frontEnd) { m_frontEnd = frontEnd; }
  FrontEnd* GetFrontEnd() const { return m_frontEnd; }
  void SetMachineState(MachineState* state);
  MachineState& State() { return *m_state; }
  InterpreterOptions& Options() { return m_options; }

  // ---- reading
  // The next word of the line; false at the end of the line.
  bool GetWord(Word& word);
  // Reads and checks every word of the current line into the word set.
  void ParseLine();
  // Executes the word set.
  void ExecuteLine();
  // The run loop; returns runState. startLine/endLine: global lines for a
  // run from a chosen line (0 = from the start label / to the end of the
  // file). resume: run PrgResume instead of PrgStart.
  int32_t ExecuteProgram(bool mdi, int32_t nesting, const std::string& label = "%", int32_t startLine = 0,
                         int32_t endLine = 0, bool resume = false);

  // ---- execution (also used by the macro layer)
  void ExecuteG(int32_t code);
  void ExecuteM(int32_t code);
  // A straight move to target (feed in units per second, -1 = rapid).
  void AddLine(double feed);
  // An arc to target around the line's centre words or R.
  void AddArc(bool clockwise);
  bool TrySetTool(int32_t T, int32_t P);
  void ReadbackPos();
  void FullForwardSync();
  // Runs a file from the macro folder when it exists (letter and number name
  // it, "M6.txt"); a missing file posts "Warning: undefined macro %s".
  // args are written into #0, #1, ... of the called file. True when it ran.
  // name replaces the formed name ("PrgStart.txt").
  bool RunMacro(char letter, int32_t number, const char* name = nullptr, const double* args = nullptr,
                int nargs = 0);
  // Runs label in file (a path) as a called file one level deeper. optional:
  // a missing file only posts the warning and returns false; otherwise -1058.
  virtual bool ExecuteSubPrg(const std::string& file, const std::string& label, bool optional,
                             const double* args, int nargs);

  // ---- observers and results
  using ProgressObserver = std::function<void(int32_t globalLine)>;
  void SetProgressObserver(ProgressObserver observer) { m_progress = std::move(observer); }
  int32_t RunState() const { return runState; }
  int32_t RangeErrorCount() const { return rangeErrorCount; }
  // The first range error of a preview: axis index and side, or keep-out.
  int32_t RangeErrorAxis() const { return rangeAxis; }
  bool RangeErrorUpper() const { return rangeUpper; }
  bool RangeErrorKeepout() const { return rangeKeepout; }
  // The main program had nothing after its '%' line (a file that ends with
  // its only '%'): the run did nothing and warned about it.
  bool EmptyProgram() const { return emptyProgram; }
  // The last report text ("%s line %d column %d"), empty after a clean run.
  const std::string& ErrorReportText() const { return errorText; }
  // Run from a chosen line: takes over the modal state that the preparation
  // run (up to that line, against a stage that moves nothing) ended with.
  void RestoreRunFromState(const GCodeParser& prepared);
  // Run-from-line preparation: logs the state found at the chosen line.
  void LogRunFromState(int32_t line);

  // ---- variables
  double ReadVariable() override;
  double VariableValue(int32_t number) override;
  bool IsAxisSupported(char letter) const override;
  double GetVar(int32_t n);
  void SetVar(int32_t n, double value);

  // ---- modal state (read by the macro layer and tests)
  Coordinates target;
  Coordinates previous;
  double unitFactor = 1.0;
  bool incremental = false;
  int32_t plane = 0;  // 0 = G17, 1 = G18, 2 = G19
  int32_t offsetIndex = 0;
  uint32_t offsetsUsed = 0;
  double spindleSpeed = 0;
  double feed = 0;  // mm/min
  uint32_t gState = 0;
  bool nonModalG53 = false;
  int32_t savedOffset = 0;
  int32_t runState = RUN_RUNNING;
  bool emptyProgram = false;
  int32_t rangeErrorCount = 0;
  bool warnedF = false;
  bool warnedS = false;
  int32_t nesting = 0;
  int32_t modalGCode = -1;  // the modal motion code; -1 = none
  int32_t currentTool = 0;
  bool toolFlagged = false;  // the selected tool is missing or flagged
  bool toolProgrammed = false;  // a T word was read in this run: M6 takes the T letter
  bool unitsProgrammed = false;  // this parser executed G20 or G21
  bool toolFeedApplies = false;
  bool toolSpeedApplies = false;
  double toolDefaultS = 0;
  int32_t lastG53Command = 0;
  // A back end's run of the loaded program starts here when above 1, after
  // RestoreRunFromState: PrgResume instead of PrgStart.
  int32_t runFromLine = 0;

  // ---- the word set of the current line
  uint32_t lettersSeen = 0;
  uint32_t keywordsSeen = 0;
  uint32_t groupsSeen = 0;
  int32_t gCode = -1;      // gCode word of the line; -1 = none
  int32_t mCode = -1;
  int32_t lCode = -1;
  int32_t repeatCount = 0;
  bool outputState = false;
  double letterValue[26] = {};  // after unit conversion, before G91
  uint32_t axisWords = 0;       // bit per axis index present
  double cycleDepth = 0;
  Condition condition;          // of IF/UNTIL
  struct Assignment {
    int32_t index;
    double value;
  };
  std::vector<Assignment> assignments;

  bool HasLetter(char c) const { return (lettersSeen >> (c - 'A')) & 1u; }
  bool HasKeyword(int32_t code) const { return (keywordsSeen >> code) & 1u; }

 protected:
  // Reads the arguments of statement `code` (the keyword is consumed).
  // Default: -1005, the statement is not supported.
  virtual void ParseStatement(int32_t code);
  // Executes the line's statements; true when the line is done. Default:
  // the '#' assignments, then false.
  virtual bool ExecuteStatements();
  // The end of a main program run (the macro layer closes its log file).
  virtual void OnRunEnd() {}
  // A new parser for a called file (a derived class returns its own type).
  virtual std::unique_ptr<GCodeParser> CreateChild();
  void OnRewind() override;
  const char* ViewName() const override;

  // Sends a state change: applied to the parser's own state, then AddCmd.
  void SendCmd(const StateChange& rec);
  StateChange MakeCmd(char code, int32_t num, double arg = 0, uint8_t flag = 0);
  void SetLetterVar(char c, double v);
  double GLetter();
  // Selects work offset index (0 = machine coordinates) and reads the
  // position back.
  void SelectOffset(int32_t index);
  // After a called file: when the machine holds a stop back until that file
  // ended, log it and raise the user break (a tool change first confirms the
  // tool in #920, so the machine keeps the tool it really has).
  void CheckDeferredBreak(bool toolChange);
  // True when no machine is behind the chain (preview).
  bool IsView();
  bool RadiusCompOn() const;
  // The stage that answers waits and queries (behind radius compensation).
  FrontEnd* Back() const;

 private:
  void Init();
  void ResetWordSet();
  void CheckRange(char letter, double& value, double lower, double upper);
  void ParseG(double value);
  void ParseM(int32_t m);
  void ParseL(int32_t l);
  void StoreAxisWords();
  void ModalGroup(int32_t group);
  void ExecuteL();
  void SwitchRadiusComp(int32_t side);
  void RunEnd(bool mdi);
  void ReportError(const Error_t& e);
  // An index must be whole within 0.0001 (-1012).
  void CheckWholeIndex(double v);
  // True when lines (line, lastLine] hold nothing but white space.
  bool OnlyBlankLinesAfter(int32_t line, int32_t lastLine) const;
  bool IsAxisLetter(char c) const;
  int32_t AxisIndex(char c) const;
  void CheckMove(Coordinates& end, bool until);
  bool ArcCentre(double centre[3], int32_t& planeArg);
  void ToolChange(int32_t m);
  void WriteOffsetFromVars();
  // Sets the active work offset (tool length included), saves it and reads
  // the position back.
  void SetActiveOffset(const Coordinates& offset);
  void ApplyTool(int32_t T, int32_t P);
  void RestoreG53(const char* logText);
  void ScalingOn();
  void ScalingOff();
  void RotationOn();
  void RotationOff();
  void ExecuteG10();
  void ExecuteG92();

  // Global line of the first line of the file at `first` that begins with
  // label; 0 when none.
  int32_t FindLabelLine(int32_t first, const char* label);
  double MaxFeedPerSecond() const;
  void MoveToParkPos();

  FrontEnd* m_frontEnd = nullptr;
  std::unique_ptr<MachineState> m_state;
  std::unique_ptr<RadiusComp> m_radiusComp;
  InterpreterOptions m_options;
  ProgressObserver m_progress;
  GCodeParser* m_caller = nullptr;
  int32_t rangeAxis = -1;
  bool rangeUpper = false;
  bool rangeKeepout = false;
  int32_t mainFirstLine = 0;
  int32_t mainLastLine = 0;
  int32_t pendingRadiusSide = -1;
  int32_t mColumn = 0;
  int32_t gColumn = 0;
  int32_t callColumn = 0;  // column of the word whose macro file runs
  int32_t axisColumn[kAxisCount] = {};
  bool hasCycleDepth = false;
  bool executedMotion = false;
  bool knifeDown = false;
  bool deferredPenDown = false;
};
