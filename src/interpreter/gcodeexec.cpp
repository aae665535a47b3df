// G and M code execution: moves, arcs and their checks, offsets, scaling and
// rotation, the tool change and the M codes' state changes.
#include <algorithm>
#include <cmath>

#include "interpreter/gcodeparser.h"
#include "base/logging.h"
#include "machine/machineconfig.h"
#include "machine/machinestate.h"
#include "interpreter/messagelist.h"
#include "motion/radiuscomp.h"
#include "machine/tooltable.h"
#include "machine/transformation.h"

namespace {

// In-plane axes (a, b) of an arc by the index of the axis normal to it.
void PlaneAxes(int32_t planeArg, int& a, int& b) {
  switch (planeArg) {
    case 0: a = 1; b = 2; break;   // YZ
    case 1: a = 2; b = 0; break;   // ZX
    default: a = 0; b = 1; break;  // XY
  }
}

// Smallest arc radius handed on, mm; below it an arc has no direction.
constexpr double kMinArcRadiusMm = 1e-6;

// The axis normal to the modal plane (G17 -> Z, G18 -> Y, G19 -> X).
int32_t NormalAxis(int32_t modalPlane) { return 2 - modalPlane; }

}  // namespace

void GCodeParser::ExecuteG(int32_t code) {
  callColumn = gColumn;
  if (code >= 0 && code <= 3) offsetsUsed |= 1u << offsetIndex;
  switch (code) {
    case 73: case 79: case 81: case 82: case 83: case 85: case 86: case 87: case 88: case 89:
      if (RunMacro('G', code)) break;
      ThrowError(-1000);
    case 84:
      if (RunMacro('G', code)) break;
      if (RadiusCompOn()) ThrowError(-1100);
      break;
    case 0:
      if (RadiusCompOn()) ThrowError(-1100);
      if (axisWords) AddLine(-1);
      executedMotion = true;
      break;
    case 1:
      if (deferredPenDown && axisWords) {
        // M14 lowers the knife at the first cut after it.
        LogMessage(LOG_INTERPRETER_TRACE, "ExecuteG defered Pen down");
        deferredPenDown = false;
        SendCmd(MakeCmd('M', 14));
      }
      if (axisWords) AddLine(feed / 60.0);
      executedMotion = true;
      break;
    case 2: case 3:
      if (axisWords || HasLetter('I') || HasLetter('J') || HasLetter('K') || HasLetter('R')) AddArc(code == 2);
      executedMotion = true;
      break;
    case 4: {
      const double time = HasLetter('P') ? letterValue['P' - 'A'] : letterValue['H' - 'A'];
      StateChange rec = MakeCmd('G', 4, time);
      const bool until = HasKeyword(STMT_UNTIL);
      rec.flag = until ? 1 : 0;
      // The condition must stay valid until the dwell is over, so the
      // interpreter holds it here and waits for the machine.
      UntilHandle handle(until ? &condition : nullptr);
      rec.extra = handle.Value();
      // The dwell is not a modal state: only the stages behind see it.
      m_frontEnd->AddCmd(rec);
      if (until) Back()->WaitForMachine();
      break;
    }
    case 10:
      ExecuteG10();
      break;
    case 28:
      MoveToParkPos();
      break;
    case 51:
      ScalingOn();
      break;
    case 52: case 74: {
      uint32_t mask = 0;
      for (int i = 0; i < kAxisCount; ++i)
        if (axisWords & (1u << i)) mask |= 1u << i;
      if (mask == 0) mask = (1u << kAxisCount) - 1;
      Back()->WaitForMachine();
      if (GetMachineConfig().machineType == 6) {
        const double arg = mask;
        RunMacro('G', 74, nullptr, &arg, 1);
      } else {
        SendCmd(MakeCmd('G', 74, mask));
      }
      FullForwardSync();
      break;
    }
    case 63: case 65: case 66:
      if (RadiusCompOn()) ThrowError(-1100);
      break;
    case 68:
      RotationOn();
      break;
    case 80:
      break;
    case 92:
      ExecuteG92();
      break;
    default:
      ThrowError(-1000);
  }
  if (code >= 0 && code <= 3 && nonModalG53 && GetMachineConfig().modalG53 == 2) {
    LogMessage(LOG_INTERPRETER_TRACE, "ExecuteGCode nonmodalG53");
    RestoreG53("ExecuteGCode Set prevOffset");
  }
}

// ---------------------------------------------------------------------------
// Moves

void GCodeParser::CheckMove(Coordinates& end, bool until) {
  const MachineConfig& cfg = GetMachineConfig();
  if (!cfg.enforceSoftLimits || !m_state->GetSoftLimitsEnabled()) return;
  const Transformation* t = m_state->GetTransformation();
  const Coordinates m = t->ToMachine(end);
  const bool view = IsView();
  int32_t axis = -1;
  bool upper = false;
  for (int i = 0; i < kAxisCount && axis < 0; ++i) {
    const double lo = m_state->GetLowerLimit(i), hi = m_state->GetUpperLimit(i);
    if (!(lo < hi)) continue;  // an axis without travel limits
    if (m[i] > hi) {
      axis = i;
      upper = true;
    } else if (m[i] < lo && !(i == 2 && view && cfg.ignoreZPreview)) {
      axis = i;
    }
  }
  bool keepout = false;
  if (axis < 0 && cfg.atcHasKeepout) {
    const int mask = cfg.atcKeepoutMask ? cfg.atcKeepoutMask : 7;
    keepout = true;
    for (int i = 0; i < 3; ++i)
      if ((mask & (1 << i)) && !(m[i] >= cfg.atcKeepoutMin[i] && m[i] <= cfg.atcKeepoutMax[i])) keepout = false;
  }
  if (axis < 0 && !keepout) return;

  if (until && !keepout) {
    // The move ends when its condition comes true; cut it at the limit.
    const Coordinates s = t->ToMachine(previous);
    double f = 1.0;
    for (int i = 0; i < kAxisCount; ++i) {
      const double lo = m_state->GetLowerLimit(i), hi = m_state->GetUpperLimit(i);
      if (!(lo < hi) || m[i] == s[i]) continue;
      if (m[i] > hi) f = std::min(f, (hi - s[i]) / (m[i] - s[i]));
      if (m[i] < lo) f = std::min(f, (lo - s[i]) / (m[i] - s[i]));
    }
    f = std::max(0.0, f);
    for (int i = 0; i < kAxisCount; ++i) end[i] = previous[i] + f * (end[i] - previous[i]);
    LogMessage(LOG_INTERPRETER_TRACE, "AddLine UNTIL cut at limit f=%f", f);
    return;
  }
  const int32_t code = keepout ? -1062 : ERR_NUMBER_RANGE;
  if (view && !m_options.previewStopsOnRange) {
    if (rangeErrorCount == 0) {
      errorTokenColumn = axis >= 0 && (axisWords & (1u << axis)) ? axisColumn[axis] : 0;
      RecordRangeError(code);
      rangeAxis = axis;
      rangeUpper = upper;
      rangeKeepout = keepout;
    }
    ++rangeErrorCount;
    return;
  }
  if (axis >= 0 && (axisWords & (1u << axis))) tokenColumn = axisColumn[axis];
  ThrowError(code);
}

void GCodeParser::AddLine(double feedPerSecond) {
  if (feedPerSecond != -1 && !(feedPerSecond >= m_options.minFeed)) ThrowError(-1041);
  if (HasLetter('I') || HasLetter('J') || HasLetter('K')) ThrowError(-1037);
  const bool until = HasKeyword(STMT_UNTIL);
  Coordinates end = target;
  CheckMove(end, until);
  target = end;
  LogMessage(LOG_INTERPRETER_TRACE, "AddLine to X%1.3f Y%1.3f Z%1.3f C%1.3f rapid=%d", end[0], end[1], end[2],
             end[5], feedPerSecond == -1 ? 1 : 0);
  const bool rapid = feedPerSecond == -1;
  m_frontEnd->AddLine(end, feedPerSecond, rapid, until ? &condition : nullptr, false);
  m_state->progPos = end;
  if (until && Back()->GetBackEndKind() == BACKEND_MACHINE) {
    // The move ended where the input fired: the program goes on from there,
    // and the axis letters read that position (a probing macro takes it
    // from X, Y, Z).
    Coordinates machine;
    Back()->GetPosition(machine);
    const Transformation* t = m_state->GetTransformation();
    const Coordinates here = t ? t->ToProgram(machine) : machine;
    m_state->progPos = target = here;
    for (int a = 0; a < kAxisCount; ++a) SetLetterVar(kAxisLetters[a], here.v[a]);
    LogMessage(LOG_INTERPRETER_TRACE, "UNTIL stopped at X%1.3f Y%1.3f Z%1.3f", here.v[0], here.v[1], here.v[2]);
  }
}

bool GCodeParser::ArcCentre(double centre[3], int32_t& planeArg) {
  const bool hi = HasLetter('I'), hj = HasLetter('J'), hk = HasLetter('K');
  double off[3] = {hi ? letterValue['I' - 'A'] : 0, hj ? letterValue['J' - 'A'] : 0,
                   hk ? letterValue['K' - 'A'] : 0};
  const int n = hi + hj + hk;
  if (n == 0 || n == 3) return false;
  if (n == 2) {
    planeArg = !hk ? 2 : (!hj ? 1 : 0);
  } else {
    // A single word takes its partner from the modal plane.
    int partner = -1;
    if (hi && plane == 0) { planeArg = 2; partner = 1; }
    else if (hi && plane == 1) { planeArg = 1; partner = 2; }
    else if (hj && plane == 0) { planeArg = 2; partner = 0; }
    else if (hj && plane == 2) { planeArg = 0; partner = 2; }
    else if (hk && plane == 1) { planeArg = 1; partner = 0; }
    else if (hk && plane == 2) { planeArg = 0; partner = 1; }
    else return false;
    off[partner] = GetVar(30 + ("IJK"[partner] - 'A'));
  }
  const bool absolute = GetMachineConfig().centerAbs;
  // planeArg is the axis normal to the arc plane; it keeps the start value.
  for (int i = 0; i < 3; ++i) centre[i] = absolute && i != planeArg ? off[i] : previous[i] + off[i];
  return true;
}

void GCodeParser::AddArc(bool clockwise) {
  const double feedPerSecond = feed / 60.0;
  if (!(feedPerSecond >= m_options.minFeed)) ThrowError(-1041);
  for (int i = 3; i < 6; ++i)
    if (target[i] != previous[i]) ThrowError(-1038);
  for (int i = 6; i < 9; ++i)
    if (target[i] != previous[i]) ThrowError(-1039);
  const double tol = GetMachineConfig().centerTolerance;
  double centre[3] = {previous[0], previous[1], previous[2]};
  int32_t planeArg = 2;
  const bool hasIJK = HasLetter('I') || HasLetter('J') || HasLetter('K');
  if (hasIJK) {
    if (!ArcCentre(centre, planeArg)) ThrowError(-1040);
  } else if (HasLetter('R')) {
    planeArg = NormalAxis(plane);
    int a, b;
    PlaneAxes(planeArg, a, b);
    const double r = letterValue['R' - 'A'] * unitFactor;
    const double dx = target[a] - previous[a], dy = target[b] - previous[b];
    const double d = std::hypot(dx, dy);
    if (d < 1e-9 || r == 0 || d > 2 * std::fabs(r) + tol) ThrowError(-1063);
    const double h = std::sqrt(std::max(0.0, r * r - d * d / 4));
    // Clockwise with a positive R: the short arc, centre right of the chord.
    double nx = dy / d, ny = -dx / d;
    if (!clockwise) nx = -nx, ny = -ny;
    if (r < 0) nx = -nx, ny = -ny;
    centre[a] = (previous[a] + target[a]) / 2 + h * nx;
    centre[b] = (previous[b] + target[b]) / 2 + h * ny;
  } else {
    ThrowError(-1040);
  }
  int a, b;
  PlaneAxes(planeArg, a, b);
  const double r1 = std::hypot(previous[a] - centre[a], previous[b] - centre[b]);
  const double r2 = std::hypot(target[a] - centre[a], target[b] - centre[b]);
  // A centre on the start point (CAM posts write "G3 X.. Y.. I0" for a hole
  // too small to cut) is no circle; no stage behind may get one.
  if (!(r1 >= kMinArcRadiusMm) || !(r2 >= kMinArcRadiusMm)) ThrowError(-1063);
  if (std::fabs(r1 - r2) > tol) ThrowError(-1022);
  Coordinates end = target;
  CheckMove(end, false);
  LogMessage(LOG_INTERPRETER_TRACE, "AddArc to X%1.3f Y%1.3f Z%1.3f", end[0], end[1], end[2]);
  m_frontEnd->AddArc(end, centre, feedPerSecond, planeArg, clockwise);
  m_state->progPos = end;
}

void GCodeParser::MoveToParkPos() {
  LogMessage(LOG_INTERPRETER_TRACE, "MoveToParkPos");
  if (RadiusCompOn()) ThrowError(-1100);
  // The park position is a machine position.
  const Coordinates park = m_state->GetTransformation()->ToProgram(GetMachineConfig().parkPos);
  previous = target;
  if (axisWords == 0) {
    Coordinates xy = target;
    xy[0] = park[0];
    xy[1] = park[1];
    if (park[2] > target[2]) {
      target[2] = park[2];
      AddLine(-1);
      previous = target;
      target[0] = park[0];
      target[1] = park[1];
      AddLine(-1);
    } else {
      target[0] = park[0];
      target[1] = park[1];
      AddLine(-1);
      previous = target;
      target[2] = park[2];
      AddLine(-1);
    }
    return;
  }
  for (int i = 0; i < 3; ++i)
    if (axisWords & (1u << i)) target[i] = park[i];
  AddLine(-1);
}

// ---------------------------------------------------------------------------
// Offsets and transformations

void GCodeParser::ExecuteG10() {
  if (lCode != 2) ThrowError(-1029);
  if (!HasLetter('P')) ThrowError(-1076);
  const double p = letterValue['P' - 'A'];
  if (p < 0 || p >= 7) ThrowError(-1076);
  const int32_t row = ToInt(p);
  if (row == 0) return;
  Coordinates& stored = m_state->StoredOffset(row - 1);
  for (int i = 0; i < kAxisCount; ++i)
    if (axisWords & (1u << i)) stored[i] = letterValue[kAxisLetters[i] - 'A'];
  m_state->SaveStoredOffsets();
  if (row == offsetIndex) {
    Back()->WaitForMachine();
    SelectOffset(row);
  }
}

void GCodeParser::ExecuteG92() {
  if (offsetIndex < 1 || offsetIndex > 6 || axisWords == 0) return;
  Back()->WaitForMachine();
  Transformation* t = m_state->GetTransformation();
  Coordinates offset = t->GetOffset();
  for (int i = 0; i < kAxisCount; ++i)
    if (axisWords & (1u << i)) offset[i] += target[i] - letterValue[kAxisLetters[i] - 'A'];
  SetActiveOffset(offset);
}

// The active offset includes the tool length G43 adds to Z; storing it takes
// that off again, so the saved work offset is the tool's own.
void GCodeParser::SetActiveOffset(const Coordinates& offset) {
  m_state->SetCurrOffsetGlobal(offset);
  m_state->PutCurrOffsetToFile();
  SendCmd(MakeCmd('G', 53 + offsetIndex, GLetter()));
  ReadbackPos();
}

void GCodeParser::ScalingOn() {
  double f[3];
  if (HasLetter('P')) {
    f[0] = f[1] = f[2] = letterValue['P' - 'A'];
  } else if (HasLetter('I') && HasLetter('J') && HasLetter('K')) {
    // I, J, K were converted as lengths; factors are plain numbers.
    for (int i = 0; i < 3; ++i) f[i] = letterValue["IJK"[i] - 'A'] / unitFactor;
  } else {
    ThrowError(-1071);
  }
  // A factor of 0 would shrink every arc to a point.
  for (const double factor : f)
    if (!std::isfinite(factor) || factor == 0) ThrowError(ERR_NUMBER_RANGE);
  Back()->WaitForMachine();
  const Vector3 fix(letterValue['X' - 'A'], letterValue['Y' - 'A'], letterValue['Z' - 'A']);
  Transformation* t = m_state->GetTransformation();
  if (offsetIndex > 0) {
    const Coordinates m = t->ToMachine(m_state->progPos);
    t->SetScaling(f[0], f[1], f[2], fix);
    m_state->progPos = t->ToProgram(m);
  }
  gState |= 1u << GS_SCALING;
  SendCmd(MakeCmd('G', 51, GLetter(), 1));
  ReadbackPos();
}

void GCodeParser::ScalingOff() {
  Back()->WaitForMachine();
  Transformation* t = m_state->GetTransformation();
  if (offsetIndex > 0 && t->IsScaled()) {
    const Coordinates m = t->ToMachine(m_state->progPos);
    t->ClearScaling();
    m_state->progPos = t->ToProgram(m);
  }
  gState &= ~(1u << GS_SCALING);
  SendCmd(MakeCmd('G', 51, GLetter(), 0));
  ReadbackPos();
}

void GCodeParser::RotationOn() {
  if (!HasLetter('R')) ThrowError(-1072);
  Back()->WaitForMachine();
  const Vector3 fix(letterValue['X' - 'A'], letterValue['Y' - 'A'], letterValue['Z' - 'A']);
  Transformation* t = m_state->GetTransformation();
  if (offsetIndex > 0) {
    const Coordinates m = t->ToMachine(m_state->progPos);
    t->SetRotation(NormalAxis(plane), letterValue['R' - 'A'], fix);
    m_state->progPos = t->ToProgram(m);
  }
  SendCmd(MakeCmd('G', 68, GLetter(), 1));
  ReadbackPos();
}

void GCodeParser::RotationOff() {
  Back()->WaitForMachine();
  Transformation* t = m_state->GetTransformation();
  if (offsetIndex > 0 && t->IsRotated()) {
    const Coordinates m = t->ToMachine(m_state->progPos);
    t->ClearRotations();
    m_state->progPos = t->ToProgram(m);
  }
  SendCmd(MakeCmd('G', 68, GLetter(), 0));
  ReadbackPos();
}

// ---------------------------------------------------------------------------
// M codes

void GCodeParser::ToolChange(int32_t m) {
  const MachineConfig& cfg = GetMachineConfig();
  if (cfg.toolChangeMode == 0) m = 66;
  if (RadiusCompOn()) ThrowError(-1100);
  // The T letter keeps its value after its line: CAM systems write T alone
  // and M6 lines later. Before any T in the run, M6 keeps the current tool.
  const int32_t T = ToInt(HasLetter('T') || toolProgrammed ? GetVar(49) : GetVar(920));
  if (T != currentTool) {
    ToolRecord rec;
    FindTool(currentTool, ToInt(GetVar(921)), rec);
    LogMessage(LOG_INTERPRETER_INFO, "ToolLife=%0.2fmin used=%0.2fmin", rec.maxLife, rec.useTime);
  }
  const bool ok = TrySetTool(T, -1);
  if (cfg.toolChangeMode == 2) {
    SetVar(950, T);
    SendCmd(MakeCmd('#', 950, T));
    SendCmd(MakeCmd('M', m == 66 ? 66 : 6, T));
    return;
  }
  if (!ok) ThrowError(-1043);
  SetVar(950, T);
  SendCmd(MakeCmd('#', 950, T));
  ApplyTool(T, -1);
  SendCmd(MakeCmd('M', m, T));
  if (RunMacro('M', m == 66 ? 66 : 6)) {
    // The macro decides: #940 = 0 means no tool, otherwise #950 is the tool.
    const int32_t now = GetVar(940) == 0 ? 0 : ToInt(GetVar(950));
    SetVar(950, now);
    SendCmd(MakeCmd('#', 950, now));
    if (now != T) {
      TrySetTool(now, ToInt(GetVar(921)));
      ApplyTool(now, ToInt(GetVar(921)));
      SendCmd(MakeCmd('M', m, now));
    }
    CheckDeferredBreak(true);
  }
  ReadbackPos();
}

void GCodeParser::ExecuteM(int32_t code) {
  callColumn = mColumn;
  const MachineConfig& cfg = GetMachineConfig();
  StateChange rec = MakeCmd('M', code);
  switch (code) {
    case 0: case 1:
      // The operator interface shows "M0/M1 Breakpoint" when the machine gets here.
      SendCmd(rec);
      break;
    case 3: case 4: case 5: {
      spindleSpeed = GetVar(48);
      rec.arg = spindleSpeed;
      rec.arg2 = cfg.spindleDelay;
      rec.arg3 = cfg.spindleRamp;
      rec.flag = code != 5;
      SendCmd(rec);
      const double args[3] = {spindleSpeed, cfg.spindleDelay, cfg.spindleRamp};
      RunMacro('M', code, nullptr, args, 3);
      break;
    }
    case 6: case 66:
      ToolChange(code);
      break;
    case 7: case 8: case 9: {
      spindleSpeed = GetVar(48);
      rec.arg = cfg.coolantDelay;
      rec.flag = code != 9;
      SendCmd(rec);
      const double args[1] = {cfg.coolantDelay};
      RunMacro('M', code, nullptr, args, 1);
      break;
    }
    case 10: case 11: case 41: case 42: case 43: case 44: case 60: case 61:
      if (!RunMacro('M', code)) SendCmd(rec);
      break;
    case 14:
      deferredPenDown = true;
      break;
    case 15:
      LogMessage(LOG_INTERPRETER_TRACE, "ExecuteM Pen up");
      deferredPenDown = false;
      SendCmd(rec);
      RunMacro('M', 15);
      break;
    case 46: case 47: {
      rec.flag = code == 46;
      if (code == 46) {
        rec.arg = HasLetter('V') ? letterValue['V' - 'A'] : GetVar(981);
        double lo = HasLetter('I') ? letterValue['I' - 'A'] : m_state->GetLowerLimit(2);
        double hi = HasLetter('J') ? letterValue['J' - 'A'] : m_state->GetUpperLimit(2);
        m_state->FitToAxisLimits(2, lo);
        m_state->FitToAxisLimits(2, hi);
        rec.arg2 = lo;
        rec.arg3 = hi;
      }
      SendCmd(rec);
      break;
    }
    case 50: case 51: case 53: {
      if (!HasLetter('P')) ThrowError(-1076);
      rec.flag = letterValue['P' - 'A'] != 0;
      rec.arg = letterValue['P' - 'A'];
      const int bit = code == 50 ? GS_FUNC15 : code == 51 ? GS_FUNC16 : GS_FUNC22;
      if (rec.flag) gState |= 1u << bit;
      else gState &= ~(1u << bit);
      SendCmd(rec);
      break;
    }
    default:
      ThrowError(-1001);
  }
}
