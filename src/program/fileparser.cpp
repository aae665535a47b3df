#include "program/fileparser.h"

#include <cmath>
#include <cstdint>
#include <cstring>

#include "base/logging.h"
#include "base/numbers.h"

// ---- condition signal provider ---------------------------------------------

bool ConditionSignals::InputState(int32_t) const { return false; }
bool ConditionSignals::OutputState(int32_t) const { return false; }
bool ConditionSignals::FlagState(int32_t) const { return false; }
double ConditionSignals::Tolerance() const { return 1e-6; }

namespace {
ConditionSignals g_defaultSignals;
ConditionSignals* g_signals = &g_defaultSignals;

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsUpper(char c) { return c >= 'A' && c <= 'Z'; }
bool IsLetter(char c) { return IsUpper(c) || (c >= 'a' && c <= 'z'); }
bool IsNameChar(char c) { return IsLetter(c) || IsDigit(c) || c == '.' || c == '+' || c == '-' || c == '_'; }
bool IsLineEnd(char c) { return c == 0 || c == '\r' || c == '\n'; }

unsigned Hex(const void* p) { return static_cast<unsigned>(reinterpret_cast<uintptr_t>(p)); }
unsigned long HexL(const void* p) { return static_cast<unsigned long>(reinterpret_cast<uintptr_t>(p)); }
}  // namespace

ConditionSignals* SetConditionSignals(ConditionSignals* signals) {
  ConditionSignals* previous = g_signals;
  g_signals = signals ? signals : &g_defaultSignals;
  return previous == &g_defaultSignals ? nullptr : previous;
}

ConditionSignals& GetConditionSignals() { return *g_signals; }

int32_t Round(double x) { return ToInt(std::floor(x + 0.5)); }

// ---- construction -----------------------------------------------------------

FileParser::FileParser() : text(new TextControl()) {
  LogMessage(LOG_INTERPRETER_DEBUG, "#Parser Constructor normal text=%X parser=%X", Hex(text), Hex(this));
}

FileParser::FileParser(const std::string& mdiText) : text(new TextControl(mdiText)) {
  LogMessage(LOG_INTERPRETER_DEBUG, "#Parser Constructor MDI: %s text=%X parser=%X", mdiText.c_str(), Hex(text),
             Hex(this));
  if (mdiText.compare(0, 4, "CALL") == 0) {
    const size_t first = mdiText.find('"');
    const size_t last = mdiText.rfind('"');
    if (first != std::string::npos && last > first) fileName = mdiText.substr(first + 1, last - first - 1);
  } else {
    fileName = mdiText;
  }
  GotoLine(1);
}

FileParser::FileParser(FileParser* from) : text(from->text->Share()) {
  LogMessage(LOG_INTERPRETER_DEBUG, "#Parser Constructor from=%X, text=%X parser=%X", Hex(from), Hex(text), Hex(this));
  fileName = from->fileName;
  GotoLine(from->lineNumber);
}

FileParser::~FileParser() {
  LogMessage(LOG_INTERPRETER_DEBUG, "#Parser Destructor text=%lX parser=%lX", HexL(text), HexL(this));
  TextControl::Abandon(text);
}

int32_t FileParser::NewMainFile(const std::string& name) {
  LogMessage(LOG_INTERPRETER_INFO, "#Parser NewMainFile: %s text=%lX parser=%lX", name.c_str(), HexL(text),
             HexL(this));
  text->Clear();
  const int32_t first = text->LoadFile(name);
  if (first == 0) {
    GotoLine(0);
    return 0;
  }
  fileName = name;
  lineNumber = first;
  Rewind();
  return first;
}

// ---- cursor ------------------------------------------------------------------

char FileParser::NextChar() {
  if (endOfLine) return 0;
  column++;
  linePtr++;
  const char c = *linePtr;
  if (IsLineEnd(c)) endOfLine = true;
  return c;
}

void FileParser::GotoLine(int32_t line) {
  text->GotoLine(line);
  lineNumber = text->CurrentLine();
  linePtr = text->CurrentLinePtr();
  column = 0;
  tokenColumn = 0;
  endOfLine = !linePtr || IsLineEnd(*linePtr);
}

bool FileParser::NextLine() {
  if (lineNumber == 0) return false;
  // The store's cursor is shared by all parsers of a run: position it first.
  text->GotoLine(lineNumber);
  char* next = nullptr;
  const int32_t n = text->NextLine(&next);
  if (n == 0) {
    lineNumber = 0;
    linePtr = nullptr;
    endOfLine = true;
    return false;
  }
  lineNumber = n;
  linePtr = next;
  column = 0;
  tokenColumn = 0;
  lineOk = true;
  endOfLine = IsLineEnd(*linePtr);
  return true;
}

void FileParser::Rewind() {
  OnRewind();
  ResetErrorRecord();
  GotoLine(1);
}

void FileParser::ResetErrorRecord() {
  errorPending = true;
  lineOk = true;
  errorLine = errorTokenColumn = errorColumn = errorCode = 0;
}

// ---- white space and tokens ---------------------------------------------------

void FileParser::SkipSpace() {
  while (!endOfLine && (*linePtr == ' ' || *linePtr == '\t')) NextChar();
  tokenColumn = column;
}

void FileParser::SkipSpaceAndComments() {
  while (!endOfLine) {
    const char c = *linePtr;
    if (static_cast<signed char>(c) <= 32) {
      NextChar();
      continue;
    }
    if (c != '(') break;
    NextChar();
    for (;;) {
      if (endOfLine) {
        const int32_t last = lineNumber;
        const int32_t lastColumn = column;
        if (!NextLine()) {
          // Report at the end of the last line rather than at no line.
          lineNumber = last;
          column = lastColumn;
          ThrowError(ERR_MISSING_BRACKET);
        }
        continue;
      }
      const char k = *linePtr;
      NextChar();
      if (k == ')') break;
    }
  }
  tokenColumn = column;
}

char FileParser::GetLetter() {
  const char c = PeekChar();
  if (IsUpper(c) || c == '#') {
    NextChar();
    return c;
  }
  if (c == '+' || c == '-' || c == '.' || IsDigit(c)) ThrowError(ERR_UNEXPECTED_NUMBER);
  ThrowError(ERR_UNEXPECTED_CHAR);
}

bool FileParser::GetName(std::string& name) {
  name.clear();
  if (IsDigit(PeekChar())) ThrowError(ERR_UNEXPECTED_NUMBER);
  while (IsNameChar(PeekChar())) {
    name += PeekChar();
    NextChar();
  }
  return !name.empty();
}

void FileParser::GetString(std::string& out) {
  out.clear();
  if (PeekChar() != '"') ThrowError(ERR_QUOTE_EXPECTED);
  NextChar();
  for (;;) {
    if (endOfLine) ThrowError(ERR_QUOTE_EXPECTED);
    const char c = PeekChar();
    NextChar();
    if (c == '"') return;
    if (c == '\\') {
      if (PeekChar() != 'n') ThrowError(ERR_UNEXPECTED_CHAR);  // column is one past the backslash
      NextChar();
      out += '\n';
      continue;
    }
    out += c;
  }
}

double FileParser::ReadNumber(bool allowDecimal, bool allowNegative) {
  bool negative = false;
  char c = PeekChar();
  if (c == '-') {
    negative = true;
    c = NextChar();
  } else if (c == '+') {
    c = NextChar();
  }
  double value = 0;
  int digits = 0;
  int pointAt = -1;  // digit count when the point was read
  for (;;) {
    if (IsDigit(c)) {
      value = value * 10 + (c - '0');
      digits++;
    } else if (c == '.') {
      if (!allowDecimal || pointAt >= 0) ThrowError(ERR_NO_DECIMAL);
      pointAt = digits;
    } else {
      break;
    }
    c = NextChar();
  }
  if (negative) {
    if (!allowNegative) ThrowError(ERR_NO_NEGATIVE);
    value = -value;
  }
  if (pointAt < 0) {
    if (digits == 0) ThrowError(ERR_NUMBER_EXPECTED);
    return value;
  }
  switch (digits - pointAt) {
    case 0: break;
    case 1: value *= 0.1; break;
    case 2: value *= 0.01; break;
    case 3: value *= 0.001; break;
    case 4: value *= 0.0001; break;
    default: value /= std::pow(10.0, digits - pointAt); break;
  }
  return value;
}

int32_t FileParser::ReadInt() {
  const double v = ReadNumber(false, false);
  if (v > 2147483647.0) ThrowError(ERR_NUMBER_RANGE);
  return Round(v);
}

int32_t FileParser::ReadSignedInt() {
  const double v = ReadNumber(false, true);
  if (v > 2147483647.0 || v < -2147483648.0) ThrowError(ERR_NUMBER_RANGE);
  return Round(v);
}

double FileParser::ReadReal() { return ReadNumber(true, true); }

bool FileParser::Match(const char* keyword) {
  const char* savedPtr = linePtr;
  const int32_t savedColumn = column;
  const bool savedEnd = endOfLine;
  for (const char* k = keyword; *k; ++k) {
    if (endOfLine || *linePtr != *k) {
      linePtr = savedPtr;
      column = savedColumn;
      endOfLine = savedEnd;
      return false;
    }
    NextChar();
  }
  return true;
}

void FileParser::SkipToKeyword(const char* keyword) {
  const bool percent = std::strcmp(keyword, "%") == 0;
  for (;;) {
    SkipSpaceAndComments();
    if (Match(keyword)) {
      const char after = PeekChar();
      // Only a name character other than a digit makes it a different word.
      if (percent || !(IsLetter(after) || after == '.' || after == '+' || after == '-' || after == '_')) return;
    }
    if (!NextLine()) ThrowError(percent ? ERR_PERCENT_MISSING : ERR_LABEL_NOT_FOUND);
  }
}

// ---- expressions ---------------------------------------------------------------

FileParser::NestGuard::NestGuard(FileParser& p) : parser(p) {
  if (++parser.nesting > kMaxNesting) {
    parser.nesting--;
    parser.ThrowError(ERR_FORMULA_TOO_COMPLEX);
  }
}

double FileParser::Expression() {
  NestGuard guard(*this);
  double value = 0;
  bool first = true;
  while (!endOfLine) {
    const char c = *linePtr;
    if (c == '+') {
      NextChar();
      value += Term();
    } else if (c == '-') {
      NextChar();
      value -= Term();
    } else if (c == '|') {
      if (first) ThrowError(ERR_NUMBER_EXPECTED);
      NextChar();
      const int32_t left = Round(value);
      value = static_cast<double>(left | Round(Term()));
    } else {
      if (!first) break;
      value = Term();
    }
    first = false;
  }
  if (first) ThrowError(ERR_NUMBER_EXPECTED);
  return value;
}

double FileParser::Term() {
  double value = Primary();
  while (!endOfLine) {
    const char c = *linePtr;
    if (c == '^') {
      NextChar();
      value = std::pow(value, Primary());
    } else if (c == '&') {
      NextChar();
      const int32_t left = Round(value);
      value = static_cast<double>(left & Round(Primary()));
    } else if (c == '*') {
      NextChar();
      value *= Primary();
    } else if (c == '/') {
      NextChar();
      const double divisor = Primary();
      if (divisor == 0) ThrowError(ERR_DIVISION_BY_ZERO);
      value /= divisor;
    } else {
      break;
    }
  }
  return value;
}

namespace {
enum Function { F_ABS, F_SIN, F_COS, F_TAN, F_SQRT, F_ASIN, F_ACOS, F_ATAN, F_EXP, F_LOG, F_ROUND };
struct FunctionName {
  const char* name;
  Function f;
};
// Tried in this order; the name includes the opening bracket.
const FunctionName kFunctions[] = {
    {"ABS(", F_ABS},   {"SIN(", F_SIN},   {"COS(", F_COS},   {"TAN(", F_TAN}, {"SQRT(", F_SQRT},   {"ASIN(", F_ASIN},
    {"ACOS(", F_ACOS}, {"ATAN(", F_ATAN}, {"EXP(", F_EXP},   {"LOG(", F_LOG}, {"ROUND(", F_ROUND},
};

double Apply(Function f, double x) {
  switch (f) {
    case F_ABS: return std::fabs(x);
    case F_SIN: return std::sin(x);
    case F_COS: return std::cos(x);
    case F_TAN: return std::tan(x);
    case F_SQRT: return std::sqrt(x);
    case F_ASIN: return std::asin(x);
    case F_ACOS: return std::acos(x);
    case F_ATAN: return std::atan(x);
    case F_EXP: return std::exp(x);
    case F_LOG: return std::log(x);
    case F_ROUND: return static_cast<double>(Round(x));
  }
  return x;
}
}  // namespace

double FileParser::Primary() {
  const char c = PeekChar();
  if (IsDigit(c) || c == '.') return ReadNumber(true, false);
  if (c == '(') {
    NextChar();
    const double v = Expression();
    if (PeekChar() != ')') ThrowError(ERR_MISSING_BRACKET);
    NextChar();
    return v;
  }
  if (!IsUpper(c) && c != '#') ThrowError(ERR_NUMBER_EXPECTED);
  if (IsUpper(c)) {
    for (const FunctionName& fn : kFunctions) {
      if (!Match(fn.name)) continue;
      const double v = Expression();
      if (PeekChar() != ')') ThrowError(ERR_MISSING_BRACKET);
      NextChar();
      return Apply(fn.f, v);
    }
  }
  return ReadVariable();
}

double FileParser::ReadVariable() { ThrowError(ERR_NUMBER_EXPECTED); }

double FileParser::VariableValue(int32_t) { ThrowError(ERR_NUMBER_EXPECTED); }

bool FileParser::IsAxisSupported(char) const { return true; }

int32_t FileParser::BracketIndex() {
  NextChar();  // '['
  const double v = Expression();
  if (PeekChar() != ']') ThrowError(ERR_MISSING_BRACKET);
  NextChar();
  return Round(v);
}

int32_t FileParser::ParseVariableRef() {
  const char c = PeekChar();
  if (c == '#') {
    NextChar();
    const char k = PeekChar();
    if (IsDigit(k)) return ReadInt();
    if (k == '[') {
      const int32_t n = BracketIndex();
      if (n < 0 || n > 999) ThrowError(ERR_INDEX_RANGE);
      return n;
    }
    ThrowError(ERR_INVALID_VARIABLE);
  }
  if (!IsUpper(c)) ThrowError(ERR_INVALID_VARIABLE);
  NextChar();
  switch (c) {
    case 'P': {
      const char k = PeekChar();
      if (!IsDigit(k) && k != '[') break;  // the letter variable P
      const int32_t n = k == '[' ? BracketIndex() : ReadInt();
      if (n < 0 || n > 9) ThrowError(ERR_INDEX_RANGE);
      return 56 + n;
    }
    case 'A': case 'B': case 'C': case 'U': case 'V': case 'W': case 'Z':
      if (!IsAxisSupported(c)) ThrowError(ERR_AXIS_NOT_SUPPORTED);
      break;
    case 'E': case 'N': case 'O':
      ThrowError(ERR_INVALID_VARIABLE);
    default:
      break;
  }
  return 30 + (c - 'A');
}

// ---- conditions -----------------------------------------------------------------

void FileParser::AddTerm(Condition& out, int32_t kind, int32_t number, double value, int32_t op) {
  if (out.size() >= kMaxConditionTerms) ThrowError(ERR_FORMULA_TOO_COMPLEX);
  ConditionTerm t;
  t.kind = kind;
  t.number = number;
  t.value = value;
  t.op = op;
  out.push_back(t);
}

void FileParser::CompileCondition(Condition& out) {
  out.clear();
  OrCondition(out);
}

void FileParser::OrCondition(Condition& out) {
  NestGuard guard(*this);
  AndCondition(out);
  for (;;) {
    SkipSpace();
    if (PeekChar() != '|') return;
    NextChar();
    AndCondition(out);
    AddTerm(out, ConditionTerm::LOGIC, 0, 0, ConditionTerm::OR);
  }
}

void FileParser::AndCondition(Condition& out) {
  NotCondition(out);
  for (;;) {
    SkipSpace();
    if (PeekChar() != '&') return;
    NextChar();
    NotCondition(out);
    AddTerm(out, ConditionTerm::LOGIC, 0, 0, ConditionTerm::AND);
  }
}

void FileParser::NotCondition(Condition& out) {
  SkipSpace();
  const bool negate = PeekChar() == '!';
  if (negate) {
    NextChar();
    SkipSpace();
  }
  if (PeekChar() == '(') {
    NextChar();
    OrCondition(out);
    SkipSpace();
    if (PeekChar() != ')') ThrowError(ERR_MISSING_BRACKET);
    NextChar();
  } else {
    Test(out);
  }
  if (negate) AddTerm(out, ConditionTerm::LOGIC, 0, 0, ConditionTerm::NOT);
}

void FileParser::Test(Condition& out) {
  SkipSpace();
  int32_t kind = -1;
  if (Match("#I"))
    kind = ConditionTerm::INPUT;
  else if (Match("#O"))
    kind = ConditionTerm::OUTPUT;
  else if (Match("#N"))
    kind = ConditionTerm::FLAG;
  if (kind >= 0) {
    int32_t signal;
    const char k = PeekChar();
    if (IsDigit(k)) {
      signal = ReadInt();
    } else if (k == '[') {
      signal = BracketIndex();
      if (signal < 0 || signal > 999) ThrowError(ERR_INDEX_RANGE);
    } else {
      ThrowError(ERR_INPUT_CONDITION);
    }
    SkipSpace();
    if (PeekChar() != '=') ThrowError(ERR_INPUT_CONDITION);
    NextChar();
    SkipSpace();
    if (!IsDigit(PeekChar())) ThrowError(ERR_INPUT_CONDITION);
    const int32_t state = ReadInt();
    if (state != 0 && state != 1) ThrowError(ERR_INPUT_CONDITION);
    AddTerm(out, kind, signal, state, 0);
    return;
  }
  const int32_t variable = ParseVariableRef();
  SkipSpace();
  static const struct {
    const char* text;
    int32_t op;
  } kOperators[] = {{"<=", ConditionTerm::LE}, {"<>", ConditionTerm::NE}, {"<", ConditionTerm::LT},
                    {"=", ConditionTerm::EQ},  {">=", ConditionTerm::GE}, {">", ConditionTerm::GT},
                    {"&", ConditionTerm::BITAND}};
  int32_t op = -1;
  for (const auto& o : kOperators) {
    if (Match(o.text)) {
      op = o.op;
      break;
    }
  }
  if (op < 0) ThrowError(ERR_COMPARISON_EXPECTED);
  SkipSpace();
  const double value = Expression();
  AddTerm(out, ConditionTerm::COMPARE, variable, value, op);
}

bool FileParser::EvaluateCompare(const ConditionTerm& t) {
  const double v = VariableValue(t.number);
  const double w = t.value;
  const double e = GetConditionSignals().Tolerance();
  LogMessage(LOG_INTERPRETER_TRACE, "EvaluateComp() actState=%s num=%d var=%f val=%f", ViewName(), t.number, v, w);
  switch (t.op) {
    case ConditionTerm::LT: return v - w < 0;
    case ConditionTerm::LE: return v - w < e;
    case ConditionTerm::EQ: return std::fabs(v - w) < e;
    case ConditionTerm::GE: return v - w > -e;
    case ConditionTerm::GT: return v - w > 0;
    case ConditionTerm::NE: return std::fabs(v - w) > e;
    case ConditionTerm::BITAND: return (Round(v) & Round(w)) != 0;
    default: return false;
  }
}

bool FileParser::EvaluateCondition(const Condition& terms) {
  bool stack[kMaxConditionTerms];
  size_t depth = 0;
  const ConditionSignals& signals = GetConditionSignals();
  for (const ConditionTerm& t : terms) {
    bool result;
    switch (t.kind) {
      case ConditionTerm::INPUT: result = signals.InputState(t.number) == (t.value != 0); break;
      case ConditionTerm::OUTPUT: result = signals.OutputState(t.number) == (t.value != 0); break;
      case ConditionTerm::FLAG: result = signals.FlagState(t.number) == (t.value != 0); break;
      case ConditionTerm::COMPARE: result = EvaluateCompare(t); break;
      case ConditionTerm::LOGIC:
        if (t.op == ConditionTerm::NOT) {
          if (depth < 1) return false;
          result = !stack[--depth];
        } else {
          if (depth < 2) return false;
          const bool b = stack[--depth];
          const bool a = stack[--depth];
          result = t.op == ConditionTerm::AND ? (a && b) : (a || b);
        }
        break;
      default: return false;
    }
    if (depth >= kMaxConditionTerms) return false;
    stack[depth++] = result;
  }
  return depth > 0 && stack[depth - 1];
}

// ---- errors -------------------------------------------------------------------------

int32_t FileParser::FileRelativeLine(int32_t globalLine) const {
  int32_t first = 1, last = 0;
  text->GetFileRange(globalLine, &first, &last);
  return globalLine - first + 1;
}

void FileParser::ThrowError(Error_t error) {
  lineOk = false;
  if (errorPending || error.code != ERR_NUMBER_RANGE) {
    errorPending = false;
    errorColumn = column;
    errorTokenColumn = tokenColumn;
    errorLine = FileRelativeLine(lineNumber);
    errorCode = error.code;
    LogMessage(LOG_INTERPRETER_INFO, "ThrowError: %d", error.code);
  }
  throw error;
}

void FileParser::RecordRangeError(int32_t code) {
  errorCode = code;
  errorLine = FileRelativeLine(lineNumber);
  errorText = ErrorReport(code, errorLine, errorTokenColumn);
}

std::string FileParser::FormatErrorReport() const { return ErrorReport(errorCode, errorLine, errorTokenColumn); }
