// Operator dialogs of the macro language (ASKBOOL, ASKINT, ASKFLT,
// ASKMULTI/ASKVAL). The interpreter prepares an AskDialog, queues it with the
// motion as a state change, waits until the machine has reached it and then
// hands it to the installed Operator, which answers it. The GUI installs an
// operator that shows a wx dialog (marshalled to its own thread); the command
// line answers from a script (ScriptedOperator) or with the defaults.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class MachineState;

// The state-change record that carries a queued dialog: code 'M', this
// number, `extra` = the dialog's number. No M word can produce it.
constexpr int32_t kAskDialogMCode = 1000;

struct AskField {
  std::string prompt;
  bool hasLower = false, hasUpper = false;
  double lower = 0, upper = 0;
  double value = 0;   // initial value; the answer after OK
  int32_t param = 0;  // P parameter (0..9) that receives the answer
};

struct AskDialog {
  enum Type : int32_t { BOOL = 0, INT = 1, FLT = 2, MULTI = 3 };
  // ASKBOOL buttons (from I): 0 OK only, 1 OK and Cancel, 2 Yes, No and Cancel.
  enum Buttons : int32_t { OK_ONLY = 0, OK_CANCEL = 1, YES_NO_CANCEL = 2 };
  // ASKBOOL answers stored in #0.
  static constexpr double kYes = 1, kNo = 0, kCancel = -1;

  int32_t type = BOOL;
  int32_t num = 0;  // sequence number of the dialog (log lines, state change)
  std::string title;
  std::string text;
  std::string format1, format2;  // ASKMULTI display formats (%f/%d only)
  int32_t buttons = OK_CANCEL;
  // ASKINT/ASKFLT: limits and the initial value (#0); the answer after OK.
  bool hasLower = false, hasUpper = false;
  double lower = 0, upper = 0;
  double value = 0;
  std::vector<AskField> fields;  // ASKMULTI
  int32_t expectedFields = 0;    // I of ASKMULTI

  // One line describing the dialog, as the command line prints it.
  std::string Describe() const;
  // Whether v lies within the limits given (ASKINT: also an integer).
  bool Accepts(double v) const;
  static bool FieldAccepts(const AskField& f, double v);
};

// Answers dialogs. Ask returns true for OK (Yes and No of ASKBOOL count as OK:
// dialog.value receives kYes or kNo) and false for Cancel; on OK the answers
// are in dialog.value or the fields' values. Called on the interpreter's
// thread; an implementation that shows a window marshals to its own thread
// and blocks until the operator has answered.
class Operator {
 public:
  virtual ~Operator() = default;
  virtual bool Ask(AskDialog& dialog) = 0;
};

// Accepts every dialog with its initial values (ASKBOOL: OK/Yes) and posts
// "ASK <description> -> <answer>" to the operator's message list.
class DefaultOperator : public Operator {
 public:
  bool Ask(AskDialog& dialog) override;
};

// Answers from a script: one answer per line, in the order the dialogs come.
// Empty lines and lines beginning with '#' or ';' are skipped. An answer is
//   yes | ok | 1      ASKBOOL: OK or Yes     no | 0   ASKBOOL: No
//   cancel            any dialog: Cancel
//   <number>          ASKINT / ASKFLT (ASKINT rounds); out of the limits: the
//                     limit (as a dialog that refuses the value would insist)
//   <n1> <n2> ...     ASKMULTI: one value per field (blanks or commas), a
//                     missing value keeps the field's initial value
// When the script has run out the defaults of DefaultOperator apply. Every
// dialog is posted as "ASK <description> -> <answer>".
class ScriptedOperator : public Operator {
 public:
  explicit ScriptedOperator(const std::string& script);
  // Reads the script from a file; false (and error set) when it cannot be read.
  static bool FromFile(const std::string& path, std::unique_ptr<ScriptedOperator>& out, std::string& error);
  bool Ask(AskDialog& dialog) override;
  size_t Remaining() const { return answers.size() - next; }

 private:
  std::vector<std::string> answers;
  size_t next = 0;
};

// Installs the operator (nullptr = the default one) and returns the previous.
Operator* SetOperator(Operator* op);
Operator& GetOperator();

// Shows a queued dialog through the operator and stores the answers (#0, or
// P0..P9 for ASKMULTI) into every view given (the dialog's view and the
// running parser's view; null entries are skipped). Returns the operator's ok.
bool ShowAskDialog(AskDialog& dialog, MachineState* dialogView, MachineState* parserView);
