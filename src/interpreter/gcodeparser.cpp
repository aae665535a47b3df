// The interpreter core: words, the line's checks, the line's execution order
// and the run loop. The G and M codes themselves are in gcodeexec.cpp.
#include "interpreter/gcodeparser.h"

#include <cmath>
#include <cstdio>
#include <cstdint>
#include <cstring>

#include "motion/backend.h"
#include "base/folders.h"
#include "base/logging.h"
#include "machine/machineconfig.h"
#include "machine/machinestate.h"
#include "interpreter/messagelist.h"
#include "motion/radiuscomp.h"
#include "program/textcontrol.h"
#include "machine/tooltable.h"
#include "machine/transformation.h"

namespace {

constexpr uint32_t Bit(char c) { return 1u << (c - 'A'); }

// Modal groups for the once-per-line check.
enum Group {
  GRP_OFFSET = 0,
  GRP_PLANE,
  GRP_RADIUS,
  GRP_TOOL_LENGTH,
  GRP_PATH,
  GRP_UNITS,
  GRP_DISTANCE,
  GRP_SCALING,
  GRP_ROTATION,
};

bool IsLineGCode(int g) {
  switch (g) {
    case 0: case 1: case 2: case 3: case 4: case 10: case 28: case 51: case 52: case 63: case 65: case 66:
    case 68: case 73: case 74: case 79: case 92:
      return true;
    default:
      return g >= 80 && g <= 89;
  }
}

bool IsModalMotion(int g) { return (g >= 0 && g <= 4) || g == 73 || (g >= 81 && g <= 89); }
bool IsCycle(int g) { return g == 73 || (g >= 81 && g <= 89); }

bool IsValidM(int m) {
  if (m >= 0 && m <= 11) return true;
  switch (m) {
    case 14: case 15: case 30: case 41: case 42: case 43: case 44: case 46: case 47: case 50: case 51: case 53:
    case 60: case 61: case 66: case 98: case 99:
      return true;
    default:
      return false;
  }
}

// G codes whose axis words are not a target position.
bool AxisWordsAreData(int g) { return g == 10 || g == 28 || g == 51 || g == 52 || g == 68 || g == 74 || g == 92; }

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

int32_t ToInt(double v) {
  if (!(v == v)) return 0;
  if (v >= 2147483647.0) return INT32_MAX;
  if (v <= -2147483648.0) return INT32_MIN;
  return static_cast<int32_t>(v);
}

std::string RangeErrorDetail(bool keepout, bool upper, int32_t axis) {
  if (keepout) return "The toolpath collides with the ATC keepout area.\n";
  const char name[2] = {axis >= 0 && axis < kAxisCount ? kAxisLetters[axis] : '?', 0};
  return std::string("The toolpath was outside the ") + (upper ? "upper(1)" : "lower(1)") + " limit of axis " + name +
         ".\n";
}

std::string RangeErrorQuestion(bool keepout, bool upper, int32_t axis) {
  return "During the last preview one or more errors occured.\n" + RangeErrorDetail(keepout, upper, axis) +
         "It is recommended to adjust the workpiece offset\nso that the toolpath fits within the limits.\n"
         "Do you wish to continue regardless of the error?";
}

// ---------------------------------------------------------------------------
// Construction

GCodeParser::GCodeParser(FrontEnd* frontEnd, MachineState* state) : m_frontEnd(frontEnd) {
  SetMachineState(state);
  Init();
}

GCodeParser::GCodeParser(FrontEnd* frontEnd, MachineState* state, const std::string& mdiText)
    : FileParser(mdiText), m_frontEnd(frontEnd) {
  SetMachineState(state);
  Init();
}

GCodeParser::GCodeParser(GCodeParser* caller) : FileParser(caller), m_frontEnd(caller->m_frontEnd) {
  m_caller = caller;
  m_options = caller->m_options;
  m_progress = nullptr;
  SetMachineState(caller->m_state.get());
  Init();
  // The called file continues from where the caller stands.
  target = caller->target;
  previous = caller->target;
  unitFactor = caller->unitFactor;
  incremental = caller->incremental;
  plane = caller->plane;
  offsetIndex = caller->offsetIndex;
  feed = caller->feed;
  gState = caller->gState;
  mainFirstLine = caller->mainFirstLine;
  mainLastLine = caller->mainLastLine;
  warnedF = caller->warnedF;
  warnedS = caller->warnedS;
}

GCodeParser::~GCodeParser() = default;

void GCodeParser::SetMachineState(MachineState* state) {
  m_state = std::make_unique<MachineState>(state ? *state : actState, ".parser");
}

void GCodeParser::Init() {
  condition.reserve(16);
  assignments.reserve(8);
  MachineState& s = *m_state;
  unitFactor = s.GetFlag(SF_INCH) ? 25.4 : 1.0;
  incremental = s.GetFlag(SF_INCREMENTAL);
  offsetIndex = s.GetCurrTransNum();
  target = s.progPos;
  previous = target;
  if (s.GetFlag(SF_INCH)) gState |= 1u << GS_INCH;
  if (s.GetFlag(SF_INCREMENTAL)) gState |= 1u << GS_INCREMENTAL;
  if (s.GetFlag(SF_TOOL_LENGTH)) gState |= 1u << GS_TOOL_LENGTH;
  modalGCode = -1;
  const int T = ToInt(GetVar(920));
  const int P = ToInt(GetVar(921));
  TrySetTool(T, P);
}

void GCodeParser::OnRewind() {
  ResetWordSet();
  runState = RUN_RUNNING;
}

const char* GCodeParser::ViewName() const { return m_state->ViewName(); }

void GCodeParser::ResetWordSet() {
  lettersSeen = 0;
  keywordsSeen = 0;
  groupsSeen = 0;
  gCode = -1;
  mCode = -1;
  lCode = -1;
  repeatCount = 0;
  outputState = false;
  axisWords = 0;
  nonModalG53 = false;
  assignments.clear();
  for (double& v : letterValue) v = 0;
}

// ---------------------------------------------------------------------------
// Variables

double GCodeParser::GetVar(int32_t n) { return m_state->GetVar(n); }

void GCodeParser::SetVar(int32_t n, double value) {
  if (n >= 901 && n <= 950) LogMessage(LOG_INTERPRETER_TRACE, "SetVar view=%s #=%d val=%f", ViewName(), n, value);
  m_state->SetVar(n, value);
}

void GCodeParser::SetLetterVar(char c, double v) { m_state->SetLetter(c, v); }
double GCodeParser::GLetter() { return m_state->GetLetter('G'); }

double GCodeParser::ReadVariable() {
  const double v = VariableValue(ParseVariableRef());
  LogMessage(LOG_INTERPRETER_TRACE, "ReadVariable() view=%s val=%f", ViewName(), v);
  return v;
}

double GCodeParser::VariableValue(int32_t number) {
  if (number < 0 || number >= MaxVar) return 0.0;
  return GetVar(number);
}

int32_t GCodeParser::AxisIndex(char c) const {
  for (int i = 0; i < kAxisCount; ++i)
    if (kAxisLetters[i] == c) return i;
  return -1;
}

bool GCodeParser::IsAxisLetter(char c) const {
  if (c == 'V' && GetMachineConfig().machineType == 5) return false;
  return AxisIndex(c) >= 0;
}

bool GCodeParser::IsAxisSupported(char letter) const {
  const int i = AxisIndex(letter);
  if (i < 0) return true;
  const AxisAssignment& a = GetAxisAssignment();
  const int axis = a.AxisWithName(i + 1);
  return axis >= 0 && a.IsEnabled(axis);
}

bool GCodeParser::IsView() { return Back()->GetBackEndKind() == BACKEND_NONE; }

// ---------------------------------------------------------------------------
// Words

bool GCodeParser::GetWord(Word& w) {
  SkipSpaceAndComments();
  if (endOfLine) return false;
  if (!lineOk && errorCode != ERR_NUMBER_RANGE) return false;
  w = Word();
  const char c = GetLetter();
  w.code = c;
  switch (c) {
    case 'R':
      if (Match("ETURN")) {
        w.code = 'M';
        w.value = 99;
        return true;
      }
      if (Match("EPEAT=")) {
        w.code = STMT_REPEAT;
        w.value = Expression();
        return true;
      }
      if (Match("EWIND")) w.code = STMT_REWIND;
      break;
    case 'P':
      if (Match("RINT")) w.code = STMT_PRINT;
      break;
    case 'A':
      if (Match("SKBOOL")) w.code = STMT_ASKBOOL;
      else if (Match("SKINT")) w.code = STMT_ASKINT;
      else if (Match("SKFLT")) w.code = STMT_ASKFLT;
      else if (Match("SKMULTI")) w.code = STMT_ASKMULTI;
      else if (Match("SKVAL")) w.code = STMT_ASKVAL;
      break;
    case 'C':
      if (Match("ALL")) w.code = STMT_CALL;
      else if (Match("LS")) w.code = STMT_CLS;
      break;
    case 'E':
      if (Match("NDIF")) w.code = STMT_ENDIF;
      else if (Match("LSE")) w.code = STMT_ELSE;
      else if (Match("XIT")) w.code = STMT_EXIT;
      break;
    case 'I':
      if (Match("F")) w.code = STMT_IF;
      break;
    case 'L':
      if (Match("OGFILE")) w.code = STMT_LOGFILE;
      break;
    case 'N':
      if (Match("EXT")) w.code = STMT_NEXT;
      break;
    case 'Q':
      if (Match("UIET")) w.code = STMT_QUIET;
      break;
    case 'S':
      if (Match("KIP")) w.code = STMT_SKIP;
      break;
    case 'U':
      if (Match("NTIL")) w.code = STMT_UNTIL;
      break;
    default:
      break;
  }
  if (w.code != c) return true;  // a statement: it reads its own arguments

  auto readIndex = [&]() -> int32_t {
    double v;
    const char p = PeekChar();
    if (IsDigit(p) || p == '.') {
      v = ReadNumber(true, true);
    } else if (p == '[') {
      NextChar();
      v = Expression();
      if (PeekChar() != ']') ThrowError(ERR_MISSING_BRACKET);
      NextChar();
    } else {
      ThrowError(-1045);
    }
    if (PeekChar() != '=') ThrowError(-1045);
    if (v < 0) ThrowError(ERR_NO_NEGATIVE);
    const int32_t r = Round(v);
    if (std::fabs(v - r) > 0.0001) ThrowError(ERR_NO_DECIMAL);
    NextChar();  // '='
    return r;
  };

  if (c == '#') {
    const char n = PeekChar();
    if (n == 'I') ThrowError(-1046);
    w.code = STMT_ASSIGN;
    if (n == 'O') {
      NextChar();
      w.code = STMT_OUTPUT;
    }
    w.index = readIndex();
    w.value = Expression();
    if (w.code == STMT_OUTPUT) {
      if (w.index < 1 || w.index > 999) ThrowError(ERR_INDEX_RANGE);
      if (w.value != 0.0 && w.value != 1.0) ThrowError(-1047);
    }
    return true;
  }

  if (c == 'P') {
    const char n = PeekChar();
    if (n == '[') {
      w.index = readIndex();
      if (w.index > 9) ThrowError(ERR_INDEX_RANGE);
      w.value = Expression();
      return true;
    }
    if (IsDigit(n) || n == '.') {
      const double v = ReadNumber(true, true);
      if (PeekChar() != '=') {
        w.value = v;
        return true;
      }
      const int32_t r = Round(v);
      if (std::fabs(v - r) > 0.0001) ThrowError(ERR_NO_DECIMAL);
      if (r > 9) ThrowError(ERR_INDEX_RANGE);
      NextChar();
      w.index = r;
      w.value = Expression();
      return true;
    }
  }

  if (PeekChar() == '=') {
    NextChar();
    w.value = Expression();
  } else {
    w.value = ReadReal();
  }
  return true;
}

// ---------------------------------------------------------------------------
// Reading a line

void GCodeParser::ParseStatement(int32_t) { ThrowError(-1005); }

void GCodeParser::ModalGroup(int32_t group) {
  if (groupsSeen & (1u << group)) ThrowError(-1016);
  groupsSeen |= 1u << group;
}

void GCodeParser::CheckRange(char letter, double& value, double lower, double upper) {
  if (value >= lower && value <= upper) return;
  const MachineConfig& cfg = GetMachineConfig();
  const bool above = !(value <= upper);
  const bool inch = cfg.displayInch && unitFactor > 1 && letter != 'S';
  const double limit = above ? upper : lower;
  if (above && (letter == 'F' || letter == 'S')) {
    bool& warned = letter == 'F' ? warnedF : warnedS;
    if (!warned) PostOperatorMessage(RangeMessage(letter, value, limit, true, inch));
    warned = true;
    value = upper;
    return;
  }
  if (letter == 'Z' && !above && cfg.ignoreZPreview && IsView()) return;
  PostOperatorMessage(RangeMessage(letter, value, limit, above, inch));
  ThrowError(ERR_NUMBER_RANGE);
}

double GCodeParser::MaxFeedPerSecond() const {
  if (m_options.maxFeed > 0) return m_options.maxFeed;
  const MachineConfig& cfg = GetMachineConfig();
  return std::max(cfg.axis[0].maxVelocity, std::max(cfg.axis[1].maxVelocity, cfg.axis[2].maxVelocity));
}

void GCodeParser::ParseL(int32_t l) {
  switch (l) {
    case 0: case 2: case 47: case 48: case 49: case 50: case 51: case 52: case 53:
      break;
    default:
      ThrowError(-1029);
  }
  lCode = l;
}

void GCodeParser::ParseM(int32_t m) {
  if (mCode >= 0) ThrowError(-1017);
  if (!IsValidM(m)) ThrowError(-1001);
  mCode = m;
  SetLetterVar('M', m);
}

void GCodeParser::ParseG(double value) {
  const int32_t g = ToInt(value);
  if (IsLineGCode(g)) {
    if (gCode >= 0) ThrowError(-1016);
    if (g == 51) ModalGroup(GRP_SCALING);
    if (g == 68) ModalGroup(GRP_ROTATION);
    gCode = g;
    if (IsModalMotion(g)) {
      LogMessage(LOG_INTERPRETER_TRACE, "SetVariable() G=%d", g);
      SetLetterVar('G', g);
    }
    return;
  }
  switch (g) {
    case 17: case 18: case 19:
      ModalGroup(GRP_PLANE);
      plane = g - 17;
      return;
    case 20: case 21:
      ModalGroup(GRP_UNITS);
      unitFactor = g == 20 ? 25.4 : 1.0;
      if (g == 20) gState |= 1u << GS_INCH;
      else gState &= ~(1u << GS_INCH);
      SendCmd(MakeCmd('G', 20, GLetter(), g == 20));
      return;
    case 40: case 41: case 42:
      ModalGroup(GRP_RADIUS);
      pendingRadiusSide = g - 40;
      return;
    case 43: case 49:
      ModalGroup(GRP_TOOL_LENGTH);
      Back()->WaitForMachine();
      if (g == 43) gState |= 1u << GS_TOOL_LENGTH;
      else gState &= ~(1u << GS_TOOL_LENGTH);
      SendCmd(MakeCmd('G', 43, GLetter(), g == 43));
      ReadbackPos();
      return;
    case 50:
      ModalGroup(GRP_SCALING);
      ScalingOff();
      return;
    case 53: {
      ModalGroup(GRP_OFFSET);
      LogMessage(LOG_INTERPRETER_TRACE, "ParseLine G53");
      nonModalG53 = true;
      if (offsetIndex != 0) savedOffset = 53 + offsetIndex;
      SelectOffset(0);
      return;
    }
    case 54: case 55: case 56: case 57: case 58: case 59:
      ModalGroup(GRP_OFFSET);
      LogMessage(LOG_INTERPRETER_TRACE, "SetOffset code=%d", g);
      savedOffset = 0;
      SelectOffset(g - 53);
      return;
    case 61: case 62: case 64:
      ModalGroup(GRP_PATH);
      if (g == 61) gState |= 1u << GS_EXACT_STOP;
      else gState &= ~(1u << GS_EXACT_STOP);
      SendCmd(MakeCmd('G', 62, GLetter(), g == 61));
      return;
    case 69:
      ModalGroup(GRP_ROTATION);
      RotationOff();
      return;
    case 90: case 91:
      ModalGroup(GRP_DISTANCE);
      incremental = g == 91;
      if (incremental) gState |= 1u << GS_INCREMENTAL;
      else gState &= ~(1u << GS_INCREMENTAL);
      SendCmd(MakeCmd('G', 91, GLetter(), incremental));
      return;
    case 71: case 94: case 97:
      return;
    default:
      ThrowError(-1000);
  }
}

void GCodeParser::ParseLine() {
  ResetWordSet();
  pendingRadiusSide = -1;
  const MachineConfig& cfg = GetMachineConfig();
  Word w;
  bool first = true;
  while (GetWord(w)) {
    if (w.code < 'A') {
      keywordsSeen |= 1u << w.code;
      if (w.code == STMT_ASSIGN) {
        assignments.push_back({w.index, w.value});
      } else {
        if (w.code == STMT_OUTPUT) {
          mCode = w.index;
          outputState = w.value != 0;
        }
        if (w.code == STMT_REPEAT) repeatCount = Round(w.value);
        ParseStatement(w.code);
      }
      first = false;
      continue;
    }
    const char c = static_cast<char>(w.code);
    const bool indexedP = c == 'P' && w.index >= 0;
    if (c == 'S' && HasLetter('S')) ThrowError(-1018);
    if (c == 'T' && HasLetter('T')) ThrowError(-1019);
    if (c != 'G' && c != 'M' && c != 'N' && !indexedP && HasLetter(c)) ThrowError(-1007);
    if (!indexedP) lettersSeen |= Bit(c);
    double v = w.value;
    if (!std::isfinite(v)) ThrowError(ERR_NUMBER_RANGE);

    if (IsAxisLetter(c)) {
      if (!IsAxisSupported(c)) ThrowError(ERR_AXIS_NOT_SUPPORTED);
      const int i = AxisIndex(c);
      if (i < 3 || i > 5) v *= unitFactor;
      letterValue[c - 'A'] = v;
      axisWords |= 1u << i;
      axisColumn[i] = tokenColumn;
      first = false;
      continue;
    }
    switch (c) {
      case 'F':
        if (!toolFeedApplies) {
          v *= unitFactor;
          CheckRange('F', v, m_options.minFeed * 60.0, MaxFeedPerSecond() * 60.0);
          feed = v;
          SetLetterVar('F', v);
        }
        break;
      case 'S': {
        if (toolSpeedApplies && v != 0) v = cfg.doReplaceS ? cfg.replaceSby : toolDefaultS;
        ToolRecord rec;
        if (currentTool > 0 && FindTool(currentTool, ToInt(GetVar(921)), rec) && rec.maxRpm > 0 &&
            v > rec.maxRpm) {
          v = rec.maxRpm;
          char text[120];
          std::snprintf(text, sizeof text, "S limited to max. RPM of tool = %f", v);
          PostOperatorMessage(text);
        }
        CheckRange('S', v, cfg.minS, cfg.maxS);
        SetLetterVar('S', v);
        SendCmd(MakeCmd('S', -1, v));
        break;
      }
      case 'T':
        CheckRange('T', v, 0, 9999);
        SetLetterVar('T', v);
        break;
      case 'H':
        CheckRange('H', v, 0, 3600);
        SetLetterVar('H', v);
        break;
      case 'D':
        if (cfg.ignoreD) {
          lettersSeen &= ~Bit('D');
          break;
        }
        letterValue['D' - 'A'] = v;
        SetLetterVar('D', v);
        break;
      case 'I': case 'J': case 'K':
        v *= unitFactor;
        letterValue[c - 'A'] = v;
        SetLetterVar(c, v);
        break;
      case 'P':
        if (indexedP) {
          SetVar(56 + w.index, v);
        } else {
          letterValue['P' - 'A'] = v;
          SetLetterVar('P', v);
        }
        break;
      case 'R': case 'Q': case 'V': case 'E':
        if (c == 'E') ThrowError(-1005);
        letterValue[c - 'A'] = v;
        SetLetterVar(c, v);
        break;
      case 'L':
        ParseL(ToInt(v));
        break;
      case 'N':
        if (!first) ThrowError(-1020);
        SetLetterVar('N', v);
        break;
      case 'O':
        ThrowError(-1021);
      case 'M':
        mColumn = tokenColumn;
        ParseM(ToInt(v));
        break;
      case 'G':
        if (IsLineGCode(ToInt(v))) gColumn = tokenColumn;
        ParseG(v);
        break;
      default:
        ThrowError(-1005);
    }
    first = false;
  }

  // Checks that need the whole line.
  if (lCode >= 0) {
    const uint32_t others = lettersSeen & ~(Bit('L') | Bit('N'));
    const bool g10 = lCode == 2 && gCode == 10;
    if (g10 ? false : (others != 0 || keywordsSeen != 0)) ThrowError(-1028);
    if (lCode == 2 && gCode != 10) ThrowError(-1028);
  }
  if (HasKeyword(STMT_UNTIL) && gCode != 1 && gCode != 4) ThrowError(-1032);
  if (nonModalG53 && cfg.modalG53 == 0 && gCode >= 0) ThrowError(-1074);
  if (pendingRadiusSide >= 0) SwitchRadiusComp(pendingRadiusSide);
  StoreAxisWords();
}

void GCodeParser::StoreAxisWords() {
  previous = target;
  const int32_t g = gCode >= 0 ? gCode : modalGCode;
  if (axisWords == 0) return;
  if (AxisWordsAreData(gCode)) return;
  const Transformation* t = m_state->GetTransformation();
  const MachineConfig& cfg = GetMachineConfig();
  const bool bounded = !IsView() && cfg.enforceSoftLimits && m_state->GetSoftLimitsEnabled() && t &&
                       !t->IsRotated() && !t->IsScaled() && !t->IsDistortedOrMapped();
  Coordinates offset;
  if (bounded) offset = t->ToMachine(Coordinates());
  const int32_t savedColumn = tokenColumn;
  // Cylinder wrapping: the drum turns the wrapped linear axis into degrees
  // (Y onto A about X, or X onto B about Y).
  const int wrapFrom = cfg.drumEngraving ? (cfg.drumAxis == 1 ? 0 : 1) : -1;
  const int wrapTo = cfg.drumAxis == 1 ? 4 : 3;
  for (int i = 0; i < kAxisCount; ++i) {
    if (!(axisWords & (1u << i))) continue;
    const char letter = kAxisLetters[i];
    double v = letterValue[letter - 'A'];
    if (i == wrapFrom && cfg.defaultRotDia > 0) {
      v = v * 360.0 / (cfg.defaultRotDia * M_PI);
      if (incremental) v += target[wrapTo];
      target[wrapTo] = v;
      SetLetterVar(kAxisLetters[wrapTo], v);
      continue;
    }
    if (incremental) v += target[i];
    const double lo = m_state->GetLowerLimit(i), hi = m_state->GetUpperLimit(i);
    if (bounded && lo < hi) {
      tokenColumn = axisColumn[i];
      CheckRange(letter, v, lo - offset[i], hi - offset[i]);
      tokenColumn = savedColumn;
    }
    if (i == 2 && IsCycle(g)) {
      cycleDepth = v;
      hasCycleDepth = true;
      SetLetterVar('Z', v);
      continue;
    }
    target[i] = v;
    SetLetterVar(letter, v);
  }
}

// ---------------------------------------------------------------------------
// State changes

StateChange GCodeParser::MakeCmd(char code, int32_t num, double arg, uint8_t flag) {
  StateChange rec(code, num);
  rec.arg = arg;
  rec.flag = flag;
  return rec;
}

void GCodeParser::SendCmd(const StateChange& rec) {
  // G records without a state of their own (G40..G42, G74) would only reset
  // the G letter of the parser's view; the stages behind still get them.
  bool local = true;
  if (rec.code == 'G') {
    switch (rec.num) {
      case -1: case 2: case 3: case 20: case 43: case 51: case 53: case 54: case 55: case 56: case 57: case 58:
      case 59: case 62: case 68: case 69: case 91: case 95: case 97:
        break;
      default:
        local = false;
    }
  }
  if (local) ExecuteStateChange(*m_state, rec);
  m_frontEnd->AddCmd(rec);
}

void GCodeParser::SelectOffset(int32_t index) {
  offsetIndex = index;
  SetVar(909, index);
  SendCmd(MakeCmd('G', 53 + index, GLetter()));
  ReadbackPos();
}

void GCodeParser::ReadbackPos() {
  target = m_state->progPos;
  LogMessage(LOG_INTERPRETER_TRACE, "ReadbackPos = (%f,%f,%f) G=%d", target[0], target[1], target[2],
             53 + offsetIndex);
}

void GCodeParser::FullForwardSync() {
  LogMessage(LOG_INTERPRETER_TRACE, "FullForwardSync()");
  Back()->WaitForMachine();
  if (IsView()) return;  // a view has no machine position: keep the programmed one
  Coordinates m;
  Back()->GetPosition(m);
  m_state->progPos = m_state->GetTransformation()->ToProgram(m);
  ReadbackPos();
}

void GCodeParser::SwitchRadiusComp(int32_t side) {
  if (side == 0) {
    if (m_radiusComp && m_radiusComp->IsOn()) {
      m_radiusComp->SwitchOn(&m_frontEnd, 0, 0, false);
      SendCmd(MakeCmd('G', 40, GLetter()));
    }
    return;
  }
  double diameter = HasLetter('D') ? letterValue['D' - 'A'] : GetVar(923);
  diameter *= HasLetter('D') ? unitFactor : 1.0;
  if (diameter < 0) {
    side = 3 - side;
    diameter = -diameter;
  }
  const double radius = diameter / 2;
  if (radius < RadiusComp::GetToleranceParameter()) return;
  if (!m_radiusComp) m_radiusComp = std::make_unique<RadiusComp>();
  m_radiusComp->SetMachineState(m_state.get());
  m_state->progPos = target;
  m_radiusComp->SwitchOn(&m_frontEnd, side, radius, false);
  SendCmd(MakeCmd('G', 40 + side, GLetter()));
}

FrontEnd* GCodeParser::Back() const {
  // While compensating, the stage sits in front; it does not forward waits,
  // queries or run control.
  if (m_radiusComp && m_frontEnd == m_radiusComp.get() && m_radiusComp->Next()) return m_radiusComp->Next();
  return m_frontEnd;
}

bool GCodeParser::RadiusCompOn() const { return m_radiusComp && m_radiusComp->IsOn(); }

// ---------------------------------------------------------------------------
// Executing a line

bool GCodeParser::ExecuteStatements() {
  bool offsetWritten = false;
  for (const Assignment& a : assignments) {
    const int32_t n = a.index;
    if ((n >= 30 && n <= 99) || n > 999) continue;  // letters and P parameters are not assignable
    SetVar(n, a.value);
    if (n >= 100) SendCmd(MakeCmd('#', n, a.value));
    if (n == 909) {
      const int32_t idx = Round(a.value);
      if (idx >= 0 && idx <= 6) SelectOffset(idx);
    }
    offsetWritten |= n >= 900 && n <= 908;
  }
  if (offsetWritten) WriteOffsetFromVars();
  return false;
}

// #900..#908 hold the active work offset without the tool length: writing
// them sets and saves that offset, as G92 does.
void GCodeParser::WriteOffsetFromVars() {
  if (offsetIndex < 1 || offsetIndex > 6) return;  // machine coordinates have no offset
  Back()->WaitForMachine();
  Coordinates offset;
  for (int i = 0; i < kAxisCount; ++i) offset[i] = GetVar(900 + i);
  if (gState & (1u << GS_TOOL_LENGTH)) offset[2] += m_state->GetToolLength();
  SetActiveOffset(offset);
}

void GCodeParser::ExecuteLine() {
  executedMotion = false;
  const MachineConfig& cfg = GetMachineConfig();
  // Step 1 happened when the line's axis words were stored (previous).
  if (toolFlagged && !IsView() && mCode != 2 && mCode != 6 && mCode != 30 && mCode != 66) return;

  if (keywordsSeen != 0 && ExecuteStatements()) return;

  if (gCode < 0 && axisWords == 0) {
    const uint32_t others = lettersSeen & ~(Bit('N') | Bit('G'));
    if (others != 0) {
      modalGCode = -1;
      SetLetterVar('G', -1);
    }
    if (lCode >= 0) {
      if (!IsView() || lCode == 51) ExecuteL();
    } else if (mCode == 99) {
      if (nesting == 0) ThrowError(-1061);
      runState = RUN_RETURN;
    } else if (mCode == 98) {
      if (!HasLetter('P')) ThrowError(-1076);
      char label[32];
      std::snprintf(label, sizeof label, "O%d", ToInt(letterValue['P' - 'A']));
      std::string file = fileName;
      int32_t first = 0, last = 0;
      if (Text()->GetFileRange(lineNumber, &first, &last)) {
        for (const auto& node : Text()->Files())
          if (node && first >= 1 && Text()->FindFile(node->name) == first) file = node->name;
      }
      ExecuteSubPrg(file, label, false, nullptr, 0);
    } else if (mCode == 2) {
      runState = nesting == 0 ? RUN_RETURN : RUN_M2_CALLED;
    } else if (mCode == 30) {
      runState = RUN_M30;
    } else if (mCode >= 0 && !HasKeyword(STMT_OUTPUT)) {
      ExecuteM(mCode);
      if (mCode == 6 && cfg.toolChangeMode == 0 && (m_options.g79AfterM6 || cfg.alwaysG79)) ExecuteG(79);
    }
  } else if (gCode < 0) {
    if (modalGCode < 0) ThrowError(-1036);
    ExecuteG(modalGCode);
  } else {
    if (mCode >= 0) {
      if (mCode == 3 || mCode == 4 || mCode == 5 || mCode == 7 || mCode == 8 || mCode == 9)
        ExecuteM(mCode);
      else
        ThrowError(-1017);
    }
    ExecuteG(gCode);
    if (IsModalMotion(gCode)) {
      modalGCode = gCode;
    } else {
      modalGCode = -1;
      SetLetterVar('G', -1);
    }
  }
  if (hasCycleDepth) {
    target[2] = cycleDepth;
    hasCycleDepth = false;
  }
  if (nonModalG53 && savedOffset > 0 && cfg.modalG53 != 0) {
    LogMessage(LOG_INTERPRETER_TRACE, "ExecuteLine nonmodalG53");
    if (cfg.modalG53 == 1 && !executedMotion) ThrowError(-1073);
    RestoreG53("ExecuteLine Set prevOffset");
  }
}

void GCodeParser::RestoreG53(const char* logText) {
  if (savedOffset <= 0) return;
  LogMessage(LOG_INTERPRETER_TRACE, "%s", logText);
  const int32_t idx = savedOffset - 53;
  savedOffset = 0;
  nonModalG53 = false;
  SelectOffset(idx);
}

void GCodeParser::ExecuteL() {
  switch (lCode) {
    case 49:
      SendCmd(MakeCmd('L', 49, letterValue['K' - 'A'], HasLetter('K') && letterValue['K' - 'A'] != 0));
      break;
    case 50:
      ApplyTool(ToInt(GetVar(920)), ToInt(GetVar(921)));
      break;
    case 51:
      if (!TrySetTool(ToInt(GetVar(920)), ToInt(GetVar(921)))) ThrowError(-1043);
      break;
    case 47: case 48: case 52: case 53:
      // Machine-specific functions: their words travel to the back end.
      SendCmd(MakeCmd('L', lCode, letterValue['K' - 'A']));
      break;
    default:
      break;
  }
}

// ---------------------------------------------------------------------------
// The run

int32_t GCodeParser::ExecuteProgram(bool mdi, int32_t nest, const std::string& label, int32_t startLine,
                                    int32_t endLine, bool resume) {
  LogMessage(LOG_INTERPRETER_INFO, "ExecuteProgram enter mdi=%d nest=%d", mdi ? 1 : 0, nest);
  nesting = nest;
  runState = RUN_RUNNING;
  ResetErrorRecord();
  errorText.clear();
  int32_t lastLine = 0;
  try {
    int32_t first = 0;
    if (!mdi) {
      SkipToKeyword(label.c_str());
      Text()->GetFileRange(lineNumber, &first, &lastLine);
    } else {
      Text()->GetFileRange(lineNumber, &first, &lastLine);
      if (lastLine == 0) lastLine = Text()->LineCount();
    }
    if (nesting == 0) {
      mainFirstLine = first > 0 ? first : 1;
      mainLastLine = lastLine;
      rangeErrorCount = 0;
      rangeAxis = -1;
      rangeKeepout = false;
      rangeUpper = false;
      warnedF = warnedS = false;
      Back()->StartProgram(fileName);
      Back()->SetExecMode(kExecStd);
    }
    if (endLine <= 0 || endLine > lastLine) endLine = lastLine;
    bool haveLine = mdi ? lineNumber != 0 : NextLine();
    if (startLine > 0 && haveLine) {
      GotoLine(startLine);
      haveLine = lineNumber != 0;
      lineOk = true;
    }
    // An operator's single command is not a program start: no start macro.
    if (nesting == 0 && !mdi) {
      if (resume) {
        LogMessage(LOG_INTERPRETER_INFO, "Execute runFrom G=%f", GLetter());
        LogMessage(LOG_INTERPRETER_INFO, "Execute Resume G=%f", GLetter());
        LogMessage(LOG_INTERPRETER_INFO, "runFrom lastPos = (%f,%f,%f)", target[0], target[1], target[2]);
        RunMacro('P', -1, "PrgResume.txt");
      } else {
        callColumn = 0;
        RunMacro('P', -1, "PrgStart.txt");
      }
    }
    while (haveLine && runState == RUN_RUNNING) {
      lineOk = true;
      ParseLine();
      if (lineNumber >= mainFirstLine && lineNumber <= mainLastLine) m_frontEnd->SetTag(lineNumber);
      ExecuteLine();
      if (m_progress && lineNumber % 1000 == 0) m_progress(lineNumber);
      if (runState != RUN_RUNNING) break;
      if (endLine > 0 && lineNumber >= endLine) break;
      haveLine = NextLine();
    }
  } catch (const Error_t& e) {
    ReportError(e);
  }
  if (nesting == 0) RunEnd(mdi);
  LogMessage(LOG_INTERPRETER_INFO, "ExecuteProgram exit mdi=%d nest=%d", mdi ? 1 : 0, nest);
  return runState;
}

void GCodeParser::ReportError(const Error_t& e) {
  LogMessage(LOG_INTERPRETER_INFO, "Execute catch, error=%d", e.code);
  if (RadiusCompOn()) m_radiusComp->SwitchOn(&m_frontEnd, 0, 0, true);
  if (IsStopReason(e.code)) {
    LogMessage(LOG_INTERPRETER_INFO, "Execute Wait G=%f", GLetter());
    try {
      Back()->SetExecMode(1);
      Back()->WaitForMachine();
    } catch (const Error_t&) {
    }
    MachineState* s = Back()->GetMachineState();
    if (!s) s = GetCurrentState();
    const int32_t reached = s ? s->GetCurrLine() : 0;
    if (reached > 0) errorLine = FileRelativeLine(reached);
    else if (errorPending) errorLine = FileRelativeLine(lineNumber);
    errorTokenColumn = errorPending ? tokenColumn : errorTokenColumn;
    LogMessage(LOG_INTERPRETER_INFO, "Execute catch, row=%d", errorLine);
  } else if (errorPending || errorCode != e.code) {
    // Raised by a stage behind the interpreter: the position is the line's.
    errorLine = FileRelativeLine(lineNumber);
    errorTokenColumn = tokenColumn;
    errorColumn = column;
  }
  errorPending = false;
  errorCode = e.code;
  errorText = ErrorReport(e.code, errorLine, errorTokenColumn);
  runState = RUN_ERROR;
}

void GCodeParser::RunEnd(bool mdi) {
  try {
    Back()->WaitForMachine();
    if (RadiusCompOn()) {
      m_radiusComp->SwitchOn(&m_frontEnd, 0, 0, true);
      if (runState != RUN_ERROR) ThrowError(-1100);
    }
  } catch (const Error_t& e) {
    ReportError(e);
  }
  LogMessage(LOG_INTERPRETER_INFO, "Execute completed 1 lastPos=(%f,%f,%f)", target[0], target[1], target[2]);
  if (rangeErrorCount > 0 && runState != RUN_ERROR) runState = RUN_ERROR;
  const int32_t endState = runState;
  const std::string report = errorText;
  try {
    if (!mdi) RunMacro('P', -1, endState == RUN_ERROR ? "PrgStop.txt" : "PrgEnd.txt");
  } catch (const Error_t& e) {
    if (endState != RUN_ERROR) ReportError(e);
  }
  if (endState == RUN_ERROR) {
    runState = RUN_ERROR;
    if (!report.empty()) errorText = report;
  }
  if (gState & (1u << GS_SCALING)) {
    try {
      ScalingOff();
    } catch (const Error_t&) {
    }
  }
  nonModalG53 = false;
  savedOffset = 0;
  SetLetterVar('G', modalGCode);
  OnRunEnd();
  if (Back()->GetBackEndKind() == BACKEND_MACHINE) m_state->WriteVars();
  Back()->EndProgram();
}

void GCodeParser::RestoreRunFromState(const GCodeParser& prepared) {
  target = prepared.target;
  previous = prepared.target;
  unitFactor = prepared.unitFactor;
  incremental = prepared.incremental;
  plane = prepared.plane;
  feed = prepared.feed;
  gState = prepared.gState;
  modalGCode = prepared.modalGCode;
  spindleSpeed = prepared.spindleSpeed;
  currentTool = prepared.currentTool;
  toolFlagged = prepared.toolFlagged;
  toolFeedApplies = prepared.toolFeedApplies;
  toolSpeedApplies = prepared.toolSpeedApplies;
  toolDefaultS = prepared.toolDefaultS;
  m_state->CopyVars(*prepared.m_state, 0, MinGlobal);
  m_state->stateFlags = prepared.m_state->stateFlags;
  m_state->SetCurrOffsetFromFile(prepared.offsetIndex);
  offsetIndex = prepared.offsetIndex;
  m_state->progPos = target;
}

void GCodeParser::LogRunFromState(int32_t line) {
  LogMessage(LOG_INTERPRETER_INFO, "PrepareRunFrom line=%d", line);
  LogMessage(LOG_INTERPRETER_INFO, "PrepareRunFrom G=%f", GLetter());
  LogMessage(LOG_INTERPRETER_INFO, "PrepareRunFrom pos: X%f Y%f Z%f", target[0], target[1], target[2]);
}

// ---------------------------------------------------------------------------
// Called files

std::unique_ptr<GCodeParser> GCodeParser::CreateChild() { return std::make_unique<GCodeParser>(this); }

bool GCodeParser::RunMacro(char letter, int32_t number, const char* name, const double* args, int nargs) {
  char buf[32];
  if (!name) {
    std::snprintf(buf, sizeof buf, "%c%d.txt", letter, number);
    name = buf;
  }
  return ExecuteSubPrg(Folders::Join(Folders::Macros(), name), "$mode", true, args, nargs);
}

bool GCodeParser::ExecuteSubPrg(const std::string& file, const std::string& label, bool optional,
                                const double* args, int nargs) {
  LogMessage(LOG_INTERPRETER_INFO, "ExecuteSubPrg: %s label=%s", file.c_str(), label.c_str());
  if (nesting + 1 > 10) ThrowError(-1031);
  const int32_t first = Text()->LoadFile(file);
  if (first == 0) {
    if (!optional) ThrowError(-1058);
    const size_t slash = file.find_last_of('/');
    PostOperatorMessage("Warning: undefined macro " + (slash == std::string::npos ? file : file.substr(slash + 1)));
    return false;
  }
  std::string start = label;
  int32_t simulationLine = 0;
  if (label == "$mode") {
    const int32_t kind = Back()->GetBackEndKind();
    start = kind == BACKEND_MACHINE ? "%" : "Simulation";
    simulationLine = FindLabelLine(first, "Simulation");
    if (start == "Simulation" && simulationLine == 0) return true;  // no preview section
  }
  SetVar(939, gState);
  Back()->WaitForMachine();
  const int32_t savedLine = lineNumber;
  std::unique_ptr<GCodeParser> child = CreateChild();
  child->GotoLine(first);
  child->fileName = file;
  for (int i = 0; i < nargs && i < 30; ++i) child->SetVar(i, args[i]);
  // The machine section of a macro file ends where its preview section begins.
  const int32_t endLine = start == "%" && simulationLine > 0 ? simulationLine - 1 : 0;
  const int32_t rs = child->ExecuteProgram(false, nesting + 1, start, 0, endLine);
  // The store's cursor moved with the called file; the parser's own cursor
  // still stands in the calling line.
  Text()->GotoLine(savedLine);
  m_state->CopyVars(child->State(), 0, 0);
  if (IsView()) {
    target = child->target;
  } else {
    FullForwardSync();
  }
  m_state->progPos = target;
  if (rs == RUN_ERROR) {
    const int32_t code = child->errorCode;
    if (IsStopReason(code)) ThrowError(code);
    PostOperatorMessage("Error in subprogram/macro: " + file);
    PostOperatorMessage(child->errorText);
    char* text = nullptr;
    const int32_t errGlobal = first + child->errorLine - 1;
    if (Text()->GetLine(errGlobal, &text) && text) {
      std::string s(text);
      const size_t end = s.find_first_of("\r\n");
      PostOperatorMessage(end == std::string::npos ? s : s.substr(0, end));
    }
    tokenColumn = callColumn;
    ThrowError(ERR_MAIN_PROGRAM);
  }
  if (rs == RUN_M2_CALLED || rs == RUN_M30 || rs == RUN_EXIT) runState = rs;
  return true;
}

void GCodeParser::CheckDeferredBreak(bool toolChange) {
  if (IsView()) return;
  BackEnd* machine = dynamic_cast<BackEnd*>(Back());
  if (!machine) return;
  if (!(static_cast<uint32_t>(machine->CheckBreak(0)) & BackEnd::kDeferredBreak)) return;
  if (toolChange) SendCmd(MakeCmd('#', 920, GetVar(920)));
  LogMessage(LOG_INTERPRETER_INFO, "ExecuteSubPrg() deferred Break");
  ThrowError(ERR_USER_BREAK);
}

int32_t GCodeParser::FindLabelLine(int32_t first, const char* label) {
  int32_t f = 0, last = 0;
  if (!Text()->GetFileRange(first, &f, &last)) return 0;
  const size_t n = std::strlen(label);
  for (int32_t l = f; l <= last; ++l) {
    char* text = nullptr;
    if (!Text()->GetLine(l, &text) || !text) continue;
    const char* p = text;
    while (*p == ' ' || *p == '\t') ++p;
    if (std::strncmp(p, label, n) == 0) return l;
  }
  return 0;
}

// ---------------------------------------------------------------------------
// Tools

bool GCodeParser::TrySetTool(int32_t T, int32_t P) {
  LogMessage(LOG_INTERPRETER_TRACE, "TrySetTool() T=%d", T);
  ToolRecord rec;
  const bool found = FindTool(T, P, rec);
  const bool ok = found && !(rec.maxLife > 0 && rec.useTime >= rec.maxLife);
  toolFlagged = !ok;
  if (!ok) return false;
  currentTool = T;
  toolFeedApplies = rec.overrideF && rec.defaultF > 0;
  if (toolFeedApplies) feed = rec.defaultF;
  toolSpeedApplies = rec.overrideS;
  toolDefaultS = rec.defaultS;
  return true;
}

void GCodeParser::ApplyTool(int32_t T, int32_t P) {
  ToolRecord rec;
  FindTool(T, P, rec);
  SetVar(920, T);
  SetVar(921, P);
  SetVar(925, rec.len1);
  SendCmd(MakeCmd('#', 920, T));
  SendCmd(MakeCmd('#', 921, P));
  SendCmd(MakeCmd('#', 925, rec.len1));
}
