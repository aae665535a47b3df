// FileParser: the lexical layer of the interpreter. It owns a cursor over the
// shared program text and reads a line character by character: white space
// and comments, address letters, numbers, names, quoted strings, arithmetic
// expressions and conditions. Reading is in place; nothing is tokenised ahead
// and nothing is allocated except returned strings.
//
// Every syntax error is raised through ThrowError, which records the position
// and throws an Error_t. GCodeParser derives from this class and supplies the
// variables (ReadVariable, VariableValue), the machine type (IsAxisSupported)
// and its own state reset (OnRewind).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "program/errors.h"
#include "base/logging.h"
#include "program/textcontrol.h"

// Log codes of the interpreter.
constexpr int32_t LOG_CAT_INTERPRETER = LOGCAT_INTERPRETER;
constexpr int32_t LOG_INTERPRETER_DEBUG = LOG_CAT_INTERPRETER | 1;
constexpr int32_t LOG_INTERPRETER_TRACE = LOG_CAT_INTERPRETER | 2;
constexpr int32_t LOG_INTERPRETER_INFO = LOG_CAT_INTERPRETER | 3;

// One term of a compiled condition, in postfix order.
struct ConditionTerm {
  enum Kind : int32_t { INPUT = 0, OUTPUT = 1, FLAG = 2, COMPARE = 3, LOGIC = 4 };
  enum Logic : int32_t { AND = 0, OR = 1, NOT = 2 };
  enum Compare : int32_t { LT = 0, LE = 1, EQ = 2, GE = 3, GT = 4, NE = 5, BITAND = 6 };

  int32_t kind = 0;
  int32_t number = 0;  // signal, flag or variable number
  double value = 0;    // expected state (0/1) or the comparison's right side
  int32_t op = 0;      // Compare or Logic code
};

// A compiled condition (IF, UNTIL). Keep one per parser and reuse it: its
// capacity stays, so compiling a condition does not allocate in steady state.
using Condition = std::vector<ConditionTerm>;

// Where conditions get signal states and the comparison tolerance. The I/O
// layer installs its own; the default reports every input, output and flag as
// 0 and uses a tolerance of 1e-6.
class ConditionSignals {
 public:
  virtual ~ConditionSignals() = default;
  virtual bool InputState(int32_t signal) const;
  virtual bool OutputState(int32_t signal) const;
  virtual bool FlagState(int32_t flag) const;
  virtual double Tolerance() const;
};

// Installs the provider (nullptr = the default) and returns the previous one.
// The provider must outlive its use; set it at start-up.
ConditionSignals* SetConditionSignals(ConditionSignals* signals);
ConditionSignals& GetConditionSignals();

// floor(x + 0.5) as a 32-bit integer; values outside the 32-bit range
// saturate and NaN gives 0, so bit operations on wild values stay defined.
int32_t Round(double x);

class FileParser {
 public:
  // Limits that keep hostile input from exhausting the stack or memory;
  // exceeding either gives -1044 "formula too complex".
  static constexpr int kMaxNesting = 64;
  static constexpr size_t kMaxConditionTerms = 256;

  // A new empty text store; open a program with NewMainFile.
  FileParser();
  // A store built from an operator-typed text (MDI). A text beginning with
  // "CALL" takes as file name the part between its first and last '"'.
  explicit FileParser(const std::string& mdiText);
  // A parser for a subprogram call: shares the caller's store and copies its
  // file name and line.
  explicit FileParser(FileParser* from);
  virtual ~FileParser();
  FileParser(const FileParser&) = delete;
  FileParser& operator=(const FileParser&) = delete;

  // Clears the store, loads the file and rewinds to its first line. Returns
  // the first line, or 0 when the file could not be loaded (see
  // Text()->ErrorCode()).
  int32_t NewMainFile(const std::string& name);

  // ---- cursor -------------------------------------------------------------
  // The current byte, or 0 at the end of the line.
  char PeekChar() const { return endOfLine ? 0 : *linePtr; }
  // Advances one byte and returns the new one; 0 and no move at the end.
  char NextChar();
  // Moves to a global line; column 0.
  void GotoLine(int32_t line);
  // The following line of the same file; false at the end of the file (then
  // lineNumber is 0).
  bool NextLine();
  // Resets the derived state (OnRewind) and the error record; global line 1.
  void Rewind();
  // Forgets the recorded error (errorPending and lineOk true, fields 0).
  void ResetErrorRecord();

  // ---- white space and tokens --------------------------------------------
  // Blanks and tabs; sets the token column.
  void SkipSpace();
  // Every byte up to 32 and from 128 up, and comments "( ... )" which may run
  // over several lines (-1010 when the file ends inside one). Sets the token
  // column.
  void SkipSpaceAndComments();
  // An upper-case letter or '#' (-1003 for a number, -1004 otherwise).
  char GetLetter();
  // Letters, digits (not first: -1003), '.', '+', '-', '_'. True when any.
  bool GetName(std::string& name);
  // "..." with the escape \n (-1013, -1004).
  void GetString(std::string& out);
  // The number reader: optional sign, digits, at most one '.', no exponent.
  double ReadNumber(bool allowDecimal, bool allowNegative);
  int32_t ReadInt();        // unsigned integer (-1008 beyond 32 bits)
  int32_t ReadSignedInt();  // signed integer (-1008 beyond 32 bits)
  double ReadReal();        // decimal and sign allowed
  // Case-sensitive keyword at the cursor; on failure the cursor is unchanged.
  bool Match(const char* keyword);
  // Moves to the first line from here whose first word is `keyword` (not
  // followed by a letter, '.', '+', '-' or '_'); the cursor stands after it.
  // -1030, or -1057 for "%", when the file ends first.
  void SkipToKeyword(const char* keyword);

  // ---- expressions and variables -----------------------------------------
  // '+', '-', '|' over terms; '^', '&', '*', '/' over primaries; each group
  // left to right on one level. No white space inside.
  double Expression();
  // The variable number of a reference (#n, #[expr], Pn, P[expr], letters).
  int32_t ParseVariableRef();
  // Reads a variable reference and returns its value. The plain parser knows
  // no variables: -1011.
  virtual double ReadVariable();
  // Current value of a variable by number (for comparisons). Plain: -1011.
  virtual double VariableValue(int32_t number);
  // Whether an axis letter (A B C U V W Z) exists on the machine type; a
  // letter variable of a missing axis gives -1002. Plain: all exist.
  virtual bool IsAxisSupported(char letter) const;

  // ---- conditions ---------------------------------------------------------
  // Compiles an or-condition at the cursor into postfix terms (out is
  // cleared first).
  void CompileCondition(Condition& out);
  // Runs the terms over a stack of truth values (an empty or malformed list
  // is false).
  bool EvaluateCondition(const Condition& terms);

  // ---- errors -------------------------------------------------------------
  // Records the position (the first error of a line always; a later one
  // replaces it unless it is -1008) and throws the error.
  [[noreturn]] void ThrowError(Error_t error);
  [[noreturn]] void ThrowError(int32_t code) { ThrowError(Error_t(code)); }
  // Records a range error (-1008, -1062) of a preview without stopping: the
  // code, the line and the report text.
  void RecordRangeError(int32_t code);
  // Line number within its own file of a global line.
  int32_t FileRelativeLine(int32_t globalLine) const;
  // "%s line %d column %d" for the recorded error.
  std::string FormatErrorReport() const;

  TextControl* Text() const { return text; }

  // ---- state (read and written by the interpreter) ------------------------
  int32_t errorLine = 0;         // within its own file
  int32_t errorTokenColumn = 0;  // where the token being read began
  int32_t errorColumn = 0;       // where the error was found
  int32_t errorCode = 0;         // recorded code; 0 = none
  bool errorPending = true;      // no error recorded since the last reset
  bool lineOk = true;            // no error raised in this line
  bool endOfLine = true;
  int32_t column = 0;
  const char* linePtr = nullptr;  // the current character
  int32_t lineNumber = 0;         // global; 0 = no line
  int32_t tokenColumn = 0;
  std::string fileName;
  std::string errorText;          // formatted report

 protected:
  // Lets the derived interpreter reset its own state when rewound.
  virtual void OnRewind() {}
  // Name of the variable view for the comparison log line.
  virtual const char* ViewName() const { return ""; }

 private:
  double Term();
  double Primary();
  int32_t BracketIndex();
  void OrCondition(Condition& out);
  void AndCondition(Condition& out);
  void NotCondition(Condition& out);
  void Test(Condition& out);
  void AddTerm(Condition& out, int32_t kind, int32_t number, double value, int32_t op);
  bool EvaluateCompare(const ConditionTerm& t);

  // Counts nested brackets and sub-expressions.
  struct NestGuard {
    explicit NestGuard(FileParser& p);
    ~NestGuard() { parser.nesting--; }
    FileParser& parser;
  };

  TextControl* text = nullptr;
  int nesting = 0;
};
