// The macro language: statement arguments, block and loop control, calls,
// text output, the log file and operator dialogs.
#include "interpreter/macroparser.h"

#include <atomic>
#include <cmath>
#include <cstring>
#include <utility>

#include <sys/stat.h>

#include "base/folders.h"
#include "base/logging.h"
#include "machine/machinestate.h"
#include "interpreter/messagelist.h"
#include "motion/radiuscomp.h"

namespace {

std::atomic<int32_t> g_printDecimals{3};
std::atomic<int32_t> g_dialogCount{0};

constexpr uint32_t Bit(char c) { return 1u << (c - 'A'); }
constexpr uint32_t Kw(int32_t code) { return 1u << code; }
constexpr uint32_t kAskKeywords =
    Kw(STMT_ASKBOOL) | Kw(STMT_ASKINT) | Kw(STMT_ASKFLT) | Kw(STMT_ASKMULTI) | Kw(STMT_ASKVAL);

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A display format may hold text and %f or %d conversions (with flags, width
// and precision) and "%%".
bool ValidAskFormat(const std::string& f) {
  for (size_t i = 0; i < f.size(); ++i) {
    if (f[i] != '%') continue;
    ++i;
    if (i < f.size() && f[i] == '%') continue;
    while (i < f.size() && std::strchr("-+ 0#", f[i])) ++i;
    while (i < f.size() && IsDigit(f[i])) ++i;
    if (i < f.size() && f[i] == '.') {
      ++i;
      while (i < f.size() && IsDigit(f[i])) ++i;
    }
    if (i >= f.size() || (f[i] != 'f' && f[i] != 'd')) return false;
  }
  return true;
}

bool FileExists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string BaseName(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

// ---------------------------------------------------------------------------
// Construction

MacroParser::MacroParser(FrontEnd* frontEnd, MachineState* state) : GCodeParser(frontEnd, state) {}

MacroParser::MacroParser(FrontEnd* frontEnd, MachineState* state, const std::string& mdiText)
    : GCodeParser(frontEnd, state, mdiText) {}

MacroParser::MacroParser(MacroParser* caller) : GCodeParser(caller), m_caller(caller) {}

MacroParser::~MacroParser() {
  // The caller restores what the called file changed.
  if (m_caller) {
    m_caller->childEnd.valid = true;
    m_caller->childEnd.gState = gState;
    m_caller->childEnd.offsetIndex = offsetIndex;
    m_caller->childEnd.unitsProgrammed = unitsProgrammed;
  }
  CloseLogFile();
}

std::unique_ptr<GCodeParser> MacroParser::CreateChild() { return std::make_unique<MacroParser>(this); }

FrontEnd* MacroParser::Machine() const {
  FrontEnd* f = GetFrontEnd();
  // The compensation stage answers no queries: ask the stage behind it.
  if (auto* rc = dynamic_cast<RadiusComp*>(f); rc && rc->Next()) return rc->Next();
  return f;
}

bool MacroParser::OnView() const { return Machine()->GetBackEndKind() == BACKEND_NONE; }

// ---------------------------------------------------------------------------
// Shared settings

int32_t MacroParser::PrintDecimals() { return g_printDecimals.load(std::memory_order_relaxed); }

void MacroParser::SetPrintDecimals(int32_t decimals) { g_printDecimals.store(decimals, std::memory_order_relaxed); }

std::string MacroParser::FormatNumber(double value, int32_t decimals) {
  std::string s;
  if (value < 0) s = "-";
  const double mag = std::fabs(value);
  if (!(mag <= 4294967295.0)) return s + "OVFL";  // also NaN
  // Nine decimals already exceed what a double carries at this magnitude.
  const int32_t d = decimals < 0 ? 0 : decimals > 9 ? 9 : decimals;
  uint64_t scale = 1;
  for (int32_t i = 0; i < d; ++i) scale *= 10;
  // Adding half a unit of the last digit and cutting is done on the scaled
  // value in extended precision, so that 2.25 with one decimal gives 2.3.
  const uint64_t total = static_cast<uint64_t>(std::floor(static_cast<long double>(mag) * scale + 0.5L));
  s += std::to_string(total / scale);
  std::string digits = d == 0 ? std::string() : std::to_string(total % scale);
  if (static_cast<int32_t>(digits.size()) < d) digits.insert(0, d - digits.size(), '0');
  while (digits.size() > 1 && digits.back() == '0') digits.pop_back();
  if (digits.empty()) digits = "0";
  return s + "." + digits;
}

std::string MacroParser::AppDataDir() { return Folders::Parameters(); }

std::string MacroParser::ResolveCallFile(const std::string& file, const std::string& current) {
  if (!file.empty() && file[0] == '/') return file;
  const std::string inMacros = Folders::Join(Folders::Macros(), file);
  if (FileExists(inMacros)) return inMacros;
  const size_t slash = current.find_last_of('/');
  const std::string dir = slash == std::string::npos ? "." : current.substr(0, slash);
  return Folders::Join(dir, file);
}

bool MacroParser::LogFileOpen() const {
  const MacroParser* p = this;
  while (p->m_caller) p = p->m_caller;
  return p->logFile != nullptr;
}

void MacroParser::CloseLogFile() {
  if (!logFile) return;
  std::fclose(logFile);
  logFile = nullptr;
  LogMessage(LOG_INTERPRETER_INFO, "LOGFILE closed");
}

void MacroParser::OnRunEnd() {
  CloseLogFile();
  ifStack.clear();
  repeatLine = 0;
  repeatLeft = 0;
  multi.reset();
}

// ---------------------------------------------------------------------------
// Reading statements

void MacroParser::ParseStatement(int32_t code) {
  switch (code) {
    case STMT_IF:
      SkipSpace();
      CompileCondition(condition);
      SkipSpace();
      if (!Match("THEN")) ThrowError(-1025);
      return;
    case STMT_UNTIL:
      SkipSpace();
      CompileCondition(condition);
      return;
    case STMT_SKIP:
      SkipSpace();
      if (!GetName(label)) ThrowError(-1027);
      return;
    case STMT_CALL:
      callWordColumn = tokenColumn;
      SkipSpace();
      if (PeekChar() != '"') ThrowError(-1026);
      GetString(callFile);
      return;
    case STMT_PRINT:
      ParsePrint();
      return;
    case STMT_LOGFILE:
      SkipSpace();
      GetString(logName);
      SkipSpace();
      logMode = 0;
      if (PeekChar() == ';') {
        NextChar();
        SkipSpace();
        logMode = ReadInt();
      }
      if (logMode != 0 && logMode != 1) ThrowError(ERR_NUMBER_RANGE);
      return;
    case STMT_ASKBOOL: case STMT_ASKINT: case STMT_ASKFLT: case STMT_ASKMULTI: case STMT_ASKVAL:
      ParseAsk(code);
      return;
    case STMT_ELSE: case STMT_ENDIF: case STMT_REPEAT: case STMT_NEXT: case STMT_QUIET: case STMT_REWIND:
    case STMT_EXIT: case STMT_CLS: case STMT_OUTPUT:
      return;
    default:
      GCodeParser::ParseStatement(code);
  }
}

void MacroParser::ParsePrint() {
  printText.clear();
  printToLog = false;
  SkipSpace();
  if (PeekChar() == '>') {
    NextChar();
    if (PeekChar() != '1') ThrowError(-1067);
    NextChar();
    SkipSpace();
    if (PeekChar() != ';') ThrowError(-1069);
    NextChar();
    printToLog = true;
  }
  for (;;) {
    SkipSpace();
    if (endOfLine) return;
    const char c = PeekChar();
    if (c == '"') {
      std::string s;
      ReadPrintString(s);
      printText += s;
    } else if (c == '%') {
      NextChar();
      SetPrintDecimals(ReadInt());
    } else {
      printText += FormatNumber(Expression(), PrintDecimals());
    }
    SkipSpace();
    if (endOfLine) return;
    if (PeekChar() != ';') ThrowError(ERR_UNEXPECTED_CHAR);
    NextChar();
  }
}

void MacroParser::ReadPrintString(std::string& out) {
  NextChar();  // the opening quote
  for (;;) {
    if (endOfLine) ThrowError(ERR_QUOTE_EXPECTED);
    const char c = PeekChar();
    NextChar();
    if (c == '"') return;
    char r = c;
    if (c == '\\') {
      const char e = PeekChar();
      switch (e) {
        case 'n': r = '\n'; break;
        case 'r': r = '\r'; break;
        case 'f': r = '\f'; break;
        case '\\': r = '\\'; break;
        case '"': r = '"'; break;
        case 'x': {
          NextChar();
          const int hi = HexValue(PeekChar());
          if (hi < 0) ThrowError(-1006);
          NextChar();
          const int lo = HexValue(PeekChar());
          if (lo < 0) ThrowError(-1006);
          r = static_cast<char>(hi * 16 + lo);
          break;
        }
        default:
          ThrowError(ERR_UNEXPECTED_CHAR);
      }
      NextChar();
    }
    out += static_cast<unsigned char>(r) > 127 ? '?' : r;
  }
}

void MacroParser::ParseAsk(int32_t code) {
  // One ASK per line: a second kind, or the same kind further right.
  const uint32_t asks = keywordsSeen & kAskKeywords;
  if ((asks & (asks - 1)) != 0 || (askLine == lineNumber && tokenColumn > askColumn)) ThrowError(-1060);
  askLine = lineNumber;
  askColumn = tokenColumn;
  SkipSpace();
  if (code != STMT_ASKMULTI) {
    GetString(askText);
    return;
  }
  std::string* parts[4] = {&askTitle, &askText, &askFormat1, &askFormat2};
  for (int i = 0; i < 4; ++i) {
    if (i > 0) {
      SkipSpace();
      if (PeekChar() != ';') ThrowError(-1069);
      NextChar();
      SkipSpace();
    }
    GetString(*parts[i]);
  }
  if (!ValidAskFormat(askFormat1) || !ValidAskFormat(askFormat2)) ThrowError(-1070);
}

// ---------------------------------------------------------------------------
// Executing statements

void MacroParser::CheckAlone(int32_t code, int32_t error) {
  const uint32_t letters = lettersSeen & ~Bit('N');
  if (letters != 0 || (keywordsSeen & ~Kw(code)) != 0) ThrowError(error);
}

bool MacroParser::ExecuteStatements() {
  if (HasKeyword(STMT_QUIET)) return true;
  const uint32_t statements = keywordsSeen & ~(Kw(STMT_ASSIGN) | Kw(STMT_UNTIL));
  if (statements == 0) return GCodeParser::ExecuteStatements();
  int32_t code = 0;
  while (!((statements >> code) & 1u)) ++code;
  switch (code) {
    case STMT_CALL:
      if (HasLetter('G') || HasLetter('M') || (keywordsSeen & ~Kw(STMT_CALL)) != 0) ThrowError(-1034);
      ExecuteCall();
      return true;
    case STMT_IF:
      CheckAlone(code, -1033);
      ExecuteIf();
      return true;
    case STMT_ELSE:
      CheckAlone(code, -1033);
      if (ifStack.empty() || ifStack.back() != 2) ThrowError(-1049);
      ifStack.back() = 3;
      SkipIfBlock(false);
      return true;
    case STMT_ENDIF:
      CheckAlone(code, -1033);
      if (ifStack.empty()) ThrowError(-1050);
      ifStack.pop_back();
      return true;
    case STMT_REPEAT:
      CheckAlone(code, -1053);
      ExecuteRepeat();
      return true;
    case STMT_NEXT:
      CheckAlone(code, -1053);
      ExecuteNext();
      return true;
    case STMT_PRINT:
      CheckAlone(code, -1059);
      ExecutePrint();
      return true;
    case STMT_SKIP:
      CheckAlone(code, -1035);
      LogMessage(LOG_INTERPRETER_TRACE, "SKIP %s", label.c_str());
      SkipToKeyword(label.c_str());
      return true;
    case STMT_REWIND:
      CheckAlone(code, -1035);
      Rewind();
      return true;
    case STMT_OUTPUT: {
      CheckAlone(code, -1048);
      StateChange rec = MakeCmd('O', mCode, outputState ? 1.0 : 0.0, outputState ? 1 : 0);
      SendCmd(rec);
      return true;
    }
    case STMT_ASKBOOL: case STMT_ASKINT: case STMT_ASKFLT: case STMT_ASKMULTI: case STMT_ASKVAL:
      ExecuteAsk(code);
      return true;
    case STMT_LOGFILE:
      CheckAlone(code, -1077);
      ExecuteLogFile();
      return true;
    case STMT_EXIT:
      LogMessage(LOG_INTERPRETER_INFO, "EXIT");
      runState = RUN_EXIT;
      return true;
    case STMT_CLS:
      if (!OnView()) ClearOperatorMessages();
      return true;
    default:
      ThrowError(-1005);
  }
}

bool MacroParser::LineBeginsWith(const char* keyword) {
  SkipSpaceAndComments();
  if (endOfLine) return false;
  if (PeekChar() == 'N' && IsDigit(linePtr[1])) {
    NextChar();
    while (IsDigit(PeekChar()) || PeekChar() == '.') NextChar();
    SkipSpaceAndComments();
  }
  return Match(keyword);
}

void MacroParser::RequireRestEmpty(int32_t error) {
  SkipSpaceAndComments();
  if (!endOfLine) ThrowError(error);
}

void MacroParser::ExecuteIf() {
  if (EvaluateCondition(condition)) {
    ifStack.push_back(2);
    return;
  }
  ifStack.push_back(3);
  SkipIfBlock(true);
}

void MacroParser::SkipIfBlock(bool toElse) {
  const int32_t start = lineNumber;
  int32_t depth = 0;
  for (;;) {
    if (!NextLine()) {
      GotoLine(start);
      ThrowError(-1051);
    }
    if (LineBeginsWith("IF")) {
      ++depth;
    } else if (Match("ENDIF")) {
      RequireRestEmpty(-1033);
      if (depth == 0) {
        ifStack.pop_back();
        return;
      }
      --depth;
    } else if (depth == 0 && toElse && Match("ELSE")) {
      RequireRestEmpty(-1033);
      return;  // the top stays 3: the ELSE part runs
    }
  }
}

void MacroParser::ExecuteRepeat() {
  if (repeatLine != 0) ThrowError(-1054);
  if (repeatCount >= 1) {
    repeatLine = lineNumber;
    repeatLeft = repeatCount;
    return;
  }
  repeatLeft = 0;
  const int32_t start = lineNumber;
  for (;;) {
    if (!NextLine()) {
      GotoLine(start);
      ThrowError(-1056);
    }
    if (LineBeginsWith("NEXT")) {
      RequireRestEmpty(-1053);
      return;
    }
  }
}

void MacroParser::ExecuteNext() {
  if (repeatLine == 0) ThrowError(-1055);
  if (--repeatLeft < 1) {
    repeatLine = 0;
    return;
  }
  GotoLine(repeatLine);  // the run loop continues on the line after REPEAT
}

void MacroParser::ExecuteCall() {
  std::string name = callFile, lab = "$mode";
  const size_t at = callFile.find('@');
  if (at != std::string::npos) {
    lab = callFile.substr(0, at);
    name = callFile.substr(at + 1);
  }
  if (lab.empty() || name.empty()) ThrowError(-1026);
  const std::string path = ResolveCallFile(name, fileName);
  // A failed call is reported at the CALL word.
  tokenColumn = callWordColumn;
  try {
    ExecuteSubPrg(path, lab, false, nullptr, 0);
  } catch (const Error_t& e) {
    if (e.code == ERR_MAIN_PROGRAM) errorTokenColumn = callWordColumn;
    throw;
  }
}

void MacroParser::ExecutePrint() {
  if (OnView()) {
    printText.clear();
    return;
  }
  if (printToLog) {
    std::FILE* f = Root()->logFile;
    if (!f) ThrowError(-1064);
    std::fputs(printText.c_str(), f);
    std::fputc('\n', f);
    std::fflush(f);
  } else {
    PostOperatorMessage(printText);
  }
  printText.clear();
}

void MacroParser::ExecuteLogFile() {
  MacroParser* root = Root();
  if (root->logFile) ThrowError(-1065);
  std::string name = logName;
  const std::string key = "%appdata%";
  for (size_t p = name.find(key); p != std::string::npos; p = name.find(key, p)) {
    name.replace(p, key.size(), AppDataDir());
    p += AppDataDir().size();
  }
  if (OnView()) return;
  root->logFile = std::fopen(name.c_str(), logMode == 1 ? "a" : "w");
  if (!root->logFile) ThrowError(-1064);
  LogMessage(LOG_INTERPRETER_INFO, "LOGFILE %s mode=%d", name.c_str(), logMode);
}

void MacroParser::ExecuteAsk(int32_t code) {
  const uint32_t letters = lettersSeen & ~(Bit('I') | Bit('J') | Bit('P') | Bit('N'));
  if (letters != 0 || (keywordsSeen & ~Kw(code)) != 0) ThrowError(-1060);
  // I and J are limits, not lengths: undo the unit conversion.
  const double I = letterValue['I' - 'A'] / unitFactor, J = letterValue['J' - 'A'] / unitFactor;
  auto dialog = std::make_unique<AskDialog>();
  switch (code) {
    case STMT_ASKBOOL:
      dialog->type = AskDialog::BOOL;
      dialog->title = "Please confirm";
      dialog->text = askText;
      dialog->buttons = !HasLetter('I') ? AskDialog::OK_CANCEL
                        : I == 0        ? AskDialog::OK_ONLY
                        : I == 2        ? AskDialog::YES_NO_CANCEL
                                        : AskDialog::OK_CANCEL;
      break;
    case STMT_ASKINT:
    case STMT_ASKFLT:
      dialog->type = code == STMT_ASKINT ? AskDialog::INT : AskDialog::FLT;
      dialog->title = "Enter number";
      dialog->text = askText;
      dialog->hasLower = HasLetter('I');
      dialog->lower = I;
      dialog->hasUpper = HasLetter('J');
      dialog->upper = J;
      dialog->value = GetVar(0);
      break;
    case STMT_ASKMULTI: {
      const double n = HasLetter('I') ? I : 0;
      if (n < 0 || n > 10 || n != std::floor(n)) ThrowError(ERR_NUMBER_RANGE);
      dialog->type = AskDialog::MULTI;
      dialog->title = askTitle.empty() ? "Please confirm" : askTitle;
      dialog->text = askText;
      dialog->format1 = askFormat1;
      dialog->format2 = askFormat2;
      dialog->expectedFields = static_cast<int32_t>(n);
      LogMessage(LOG_INTERPRETER_INFO, "ExecuteAskMulti num=%d", dialog->expectedFields);
      if (dialog->expectedFields > 0) {
        multi = std::move(dialog);
        return;
      }
      break;
    }
    default: {  // ASKVAL
      if (!multi) ThrowError(-1075);
      AskField f;
      f.prompt = askText;
      f.hasLower = HasLetter('I');
      f.lower = I;
      f.hasUpper = HasLetter('J');
      f.upper = J;
      f.param = HasLetter('P') ? Round(letterValue['P' - 'A']) : static_cast<int32_t>(multi->fields.size());
      if (f.param < 0 || f.param > 9) ThrowError(ERR_INDEX_RANGE);
      f.value = GetVar(56 + f.param);
      multi->fields.push_back(f);
      LogMessage(LOG_INTERPRETER_INFO, "ExecuteAskVal num=%d", static_cast<int>(multi->fields.size()));
      if (static_cast<int32_t>(multi->fields.size()) < multi->expectedFields) return;
      dialog = std::move(multi);
      break;
    }
  }
  dialog->num = ++g_dialogCount;
  ++dialogCount;
  if (OnView()) return;  // a preview asks nobody; the program sees the values it has
  StateChange rec = MakeCmd('M', kAskDialogMCode);
  rec.extra = static_cast<uint32_t>(dialog->num);
  SendCmd(rec);
  // The dialog belongs to the point of the program the machine has reached.
  Machine()->WaitForMachine();
  ShowAskDialog(*dialog, Machine()->GetMachineState(), &State());
}

// ---------------------------------------------------------------------------
// Calls

bool MacroParser::ExecuteSubPrg(const std::string& file, const std::string& lab, bool optional, const double* args,
                                int nargs) {
  const std::string base = BaseName(file);
  const bool toolChange = base == "M6.txt" || base == "M66.txt";
  if (toolChange) LogMessage(LOG_INTERPRETER_INFO, "ExecuteSubPrg ToolChange enter");
  const int32_t saved909 = Round(GetVar(909));
  const uint32_t savedG = gState;
  LogMessage(LOG_INTERPRETER_INFO, "ExecuteSubPrg enter #909=%d trans=%d #939=%d", saved909, offsetIndex,
             static_cast<int>(gState));
  childEnd.valid = false;
  const bool ran = GCodeParser::ExecuteSubPrg(file, lab, optional, args, nargs);
  if (ran && childEnd.valid) {
    // The called file may have switched modes the caller relies on.
    const uint32_t changed = childEnd.gState ^ savedG;
    auto on = [&](int bit) { return static_cast<uint8_t>((savedG >> bit) & 1u); };
    // A macro file starts in millimetres without telling the machine; only
    // units it programmed itself are switched back.
    if ((changed & (1u << GS_INCH)) && childEnd.unitsProgrammed) SendCmd(MakeCmd('G', 20, GLetter(), on(GS_INCH)));
    if (changed & (1u << GS_INCREMENTAL)) SendCmd(MakeCmd('G', 91, GLetter(), on(GS_INCREMENTAL)));
    if (changed & (1u << GS_TOOL_LENGTH)) {
      Machine()->WaitForMachine();
      SendCmd(MakeCmd('G', 43, GLetter(), on(GS_TOOL_LENGTH)));
      ReadbackPos();
    }
    const int funcBits[3] = {GS_FUNC15, GS_FUNC16, GS_FUNC22};
    const int funcCodes[3] = {50, 51, 53};
    for (int i = 0; i < 3; ++i)
      if (changed & (1u << funcBits[i])) SendCmd(MakeCmd('M', funcCodes[i], 0, on(funcBits[i])));
    if (childEnd.offsetIndex != offsetIndex || Round(GetVar(909)) != saved909) {
      // Selecting the offset goes the way of a '#909=' assignment.
      std::vector<Assignment> lineAssignments;
      lineAssignments.swap(assignments);
      assignments.push_back({909, static_cast<double>(saved909)});
      GCodeParser::ExecuteStatements();
      assignments.swap(lineAssignments);
    }
    SetLetterVar('G', modalGCode);
  }
  if (toolChange) LogMessage(LOG_INTERPRETER_INFO, "ExecuteSubPrg ToolChange exit");
  // A tool change checks once it has taken the macro's result.
  if (ran && !toolChange) CheckDeferredBreak(false);
  return ran;
}
