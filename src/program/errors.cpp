#include "program/errors.h"

#include <cstdio>
#include <utility>

namespace {

struct ErrorEntry {
  int32_t code;
  const char* text;
};

const ErrorEntry kErrorTexts[] = {
    {0, "ok"},
    {-100, "user break"},
    {-106, "safety door is open"},
    {-107, "arc-good signal lost during cut"},
    {-108, "software lock due to unsafe state"},
    {-110, "main program:"},
    {-200, "Safety circuit not ready"},
    {-201, "Safety circuit relay stuck on"},
    {-202, "Safety circuit start button stuck on"},
    {-203, "Safety circuit input 2 stuck off"},
    {-204, "Safety circuit input 1 stuck on"},
    {-205, "Safety circuit input 2 stuck on"},
    {-206, "Safety circuit cross connection"},
    {-207, "Safety circuit estop stuck on"},
    {-1000, "unknown G-code / not supported"},
    {-1001, "unknown M-code / not supported"},
    {-1002, "axis not supported for machine type"},
    {-1003, "unexpected number"},
    {-1004, "unexpected character"},
    {-1005, "variable or command not supported"},
    {-1006, "number format error"},
    {-1007, "variable set twice per line"},
    {-1008, "number out of range"},
    {-1009, "index out of range"},
    {-1010, "missing bracket ')'"},
    {-1011, "number or formula expected"},
    {-1012, "no decimal point allowed here"},
    {-1013, "text in quotation marks (\") expected"},
    {-1014, "no negative number allowed here"},
    {-1015, "invalid variable for formula"},
    {-1016, "line contains multiple G-commands"},
    {-1017, "line contains multiple M-commands"},
    {-1018, "line contains multiple S-commands"},
    {-1019, "line contains multiple T-commands"},
    {-1020, "line number (N) not allowed here"},
    {-1021, "O-code not allowed here"},
    {-1022, "radius differs at start/endpoint"},
    {-1023, "input condition (like #I4=1) expected"},
    {-1024, "comparison expected (variable<=>expression)"},
    {-1025, "missing THEN after IF"},
    {-1026, "missing label@filename after CALL"},
    {-1027, "missing label after SKIP"},
    {-1028, "L not allowed here, needs extra line"},
    {-1029, "unknown L-code / not supported"},
    {-1030, "jump label not found in file"},
    {-1031, "max. subprogram nesting level exceeded"},
    {-1032, "UNTIL only allowed for G1 or G4"},
    {-1033, "IF, ELSE, ENDIF needs an extra line"},
    {-1034, "CALL cannot be combined with other command"},
    {-1035, "SKIP or REWIND needs an extra line"},
    {-1036, "modal G code is ambigous"},
    {-1037, "G0/G1 must not have IJK parameters"},
    {-1038, "G2/G3 must not move ABC axes"},
    {-1039, "G2/G3 must not move UVW axes"},
    {-1040, "undefined arc, I, J, K or R must be given"},
    {-1041, "feed rate is zero or too small"},
    {-1042, "UNTIL not allowed during G41/G42"},
    {-1043, "tool not found or life exceeded"},
    {-1044, "formula too complex"},
    {-1045, "index expected (like in '#2=100')"},
    {-1046, "illegal assignment to input"},
    {-1047, "switch state =0 or =1 expected"},
    {-1048, "output assignment needs extra line"},
    {-1049, "ELSE without preceding IF THEN"},
    {-1050, "ENDIF without preceding IF THEN"},
    {-1051, "missing ENDIF"},
    {-1052, "arc (partially) out of range"},
    {-1053, "REPEAT/NEXT cannot be combined with other command"},
    {-1054, "REPEAT must not be nested"},
    {-1055, "NEXT without preceding REPEAT"},
    {-1056, "NEXT after REPEAT not found"},
    {-1057, "'%'-sign missing at beginning of program"},
    {-1058, "Subprogram file not found"},
    {-1059, "PRINT cannot be combined with other command"},
    {-1060, "ASK cannot be combined with other command"},
    {-1061, "Return not allowed in main program"},
    {-1062, "Collision with ATC keepout area"},
    {-1063, "Circle with radius R doesn't exist or is ambigous"},
    {-1064, "Could not open Logfile"},
    {-1065, "Logfile is already open"},
    {-1067, "Print redirection expected"},
    {-1068, "Division by zero in formula"},
    {-1069, "Semicolon expected"},
    {-1070, "format error, only %f or %d supported"},
    {-1071, "IJK or P required to define scale"},
    {-1072, "R required to define rotation angle"},
    {-1073, "nonmodal G53 without G0..G3 command"},
    {-1074, "modal G53 not allowed with extra G command"},
    {-1075, "ASKVAL without preceding ASKMULTI"},
    {-1076, "P argument is missing"},
    {-1077, "LOGFILE cannot be combined with other command"},
    {-1100, "radius compensation must be switched off"},
    {-1101, "radius compensation terminated early"},
    {-1102, "radius compensation contour intersection"},
    {-1103, "radius compensation internal error"},
    {-1104, "radius compensation circle not in XY plane"},
    {-1105, "radius compensation U-turn not allowed"},
    {-1106, "range error after radius compensation"},
    {-1107, "resume inside G41/G42 section not possible, please choose line before last G41/G42\n"},
    {-1117, "tangential knife circle not in XY plane"},
    {-1201, "network communication error"},
    {-1202, "operation not allowed in maintenance mode"},
};

ErrorTextNames& Names() {
  static ErrorTextNames names;
  return names;
}

std::string Call(const std::function<std::string(int32_t)>& f, int32_t arg) { return f ? f(arg) : std::string(); }

}  // namespace

ErrorTextNames SetErrorTextNames(ErrorTextNames names) {
  std::swap(Names(), names);
  return names;
}

std::string ErrorText(const Error_t& error) {
  const ErrorTextNames& names = Names();
  switch (error.code) {
    case ERR_EMERGENCY_STOP:
    case ERR_LIMIT_SWITCH: {
      const char* fixed =
          error.code == ERR_EMERGENCY_STOP ? "emergency stop switch triggered" : "limit or home switch triggered";
      const std::string name = Call(names.activeSwitchName, error.code);
      return name.empty() ? std::string(fixed) : name + ": " + fixed;
    }
    case ERR_ALARM_INPUT1:
    case ERR_ALARM_INPUT2: {
      const int input = error.code == ERR_ALARM_INPUT1 ? 1 : 2;
      const std::string name = Call(names.alarmInputName, input);
      if (!name.empty()) return "Alarm triggered: " + name;
      return input == 1 ? "alarm input #1 triggered" : "alarm input #2 triggered";
    }
    case ERR_SERVO_NOT_READY: {
      std::string list;
      for (int axis = 0; axis < 9; ++axis) {
        if (!(error.detail & (1u << axis))) continue;
        const std::string name = Call(names.axisName, axis);
        if (name.empty()) continue;
        if (!list.empty()) list += ", ";
        list += name;
      }
      if (list.empty()) return "one or more servo drives not ready";
      return "servo drive of axis " + list + " is not ready";
    }
    default:
      break;
  }
  for (const ErrorEntry& e : kErrorTexts)
    if (e.code == error.code) return e.text;
  return "unknown system error #" + std::to_string(error.code);
}

std::string ErrorReport(int32_t code, int32_t line, int32_t column) {
  char buf[64];
  std::snprintf(buf, sizeof buf, " line %d column %d", line, column);
  return ErrorText(Error_t(code)) + buf;
}

std::string OperatorMessage(int32_t code, int32_t line, int32_t column) {
  if (code != ERR_USER_BREAK && code != ERR_ARC_GOOD_LOST) return ErrorReport(code, line, column);
  return ErrorText(Error_t(code)) + " line " + std::to_string(line);
}

std::string RangeMessage(char letter, double value, double limit, bool above, bool inch) {
  const bool useInch = inch && letter != 'S';
  if (useInch) {
    value /= 25.4;
    limit /= 25.4;
  }
  const char* fmt;
  if (above)
    fmt = useInch ? "%c=%1.5f is above upper limit of %1.5f" : "%c=%1.3f is above upper limit of %1.3f";
  else
    fmt = useInch ? "%c=%1.5f is below lower limit of %1.5f" : "%c=%1.3f is below lower limit of %1.3f";
  char buf[1024];  // room for two values near the double range
  std::snprintf(buf, sizeof buf, fmt, letter, value, limit);
  return buf;
}
