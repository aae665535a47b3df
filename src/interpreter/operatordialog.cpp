// Operator dialogs: description, the default and the scripted operator, and
// storing the answers.
#include "interpreter/operatordialog.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "program/fileparser.h"
#include "base/logging.h"
#include "machine/machinestate.h"
#include "interpreter/messagelist.h"

namespace {

DefaultOperator g_defaultOperator;
Operator* g_operator = nullptr;

const char* TypeName(int32_t type) {
  switch (type) {
    case AskDialog::BOOL: return "ASKBOOL";
    case AskDialog::INT: return "ASKINT";
    case AskDialog::FLT: return "ASKFLT";
    default: return "ASKMULTI";
  }
}

std::string Number(double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%g", v);
  return buf;
}

std::string Limits(bool hasLower, double lower, bool hasUpper, double upper) {
  if (!hasLower && !hasUpper) return "";
  return " [" + (hasLower ? Number(lower) : std::string()) + ".." + (hasUpper ? Number(upper) : std::string()) + "]";
}

// Escapes line ends so that one dialog stays one line.
std::string OneLine(const std::string& s) {
  std::string r;
  for (char c : s) {
    if (c == '\n') r += "\\n";
    else if (c == '\r') r += "\\r";
    else r += c;
  }
  return r;
}

std::string Answer(const AskDialog& d, bool ok) {
  if (!ok) return "cancel";
  switch (d.type) {
    case AskDialog::BOOL:
      if (d.buttons == AskDialog::YES_NO_CANCEL) return d.value == AskDialog::kYes ? "yes" : "no";
      return "ok";
    case AskDialog::INT:
    case AskDialog::FLT:
      return Number(d.value);
    default: {
      std::string r;
      for (const AskField& f : d.fields) r += (r.empty() ? "" : " ") + Number(f.value);
      return r.empty() ? "ok" : r;
    }
  }
}

double Clamp(bool hasLower, double lower, bool hasUpper, double upper, double v) {
  if (hasLower && v < lower) v = lower;
  if (hasUpper && v > upper) v = upper;
  return v;
}

bool ParseNumber(const std::string& s, double& v) {
  if (s.empty()) return false;
  char* end = nullptr;
  v = std::strtod(s.c_str(), &end);
  return end && *end == 0 && std::isfinite(v);
}

std::string Lower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

}  // namespace

std::string AskDialog::Describe() const {
  std::string s = std::string(TypeName(type)) + " \"" + OneLine(title) + "\" \"" + OneLine(text) + "\"";
  switch (type) {
    case BOOL:
      s += buttons == OK_ONLY ? " [OK]" : buttons == YES_NO_CANCEL ? " [Yes/No/Cancel]" : " [OK/Cancel]";
      break;
    case INT:
    case FLT:
      s += Limits(hasLower, lower, hasUpper, upper) + " value=" + Number(value);
      break;
    default:
      for (const AskField& f : fields)
        s += " | P" + std::to_string(f.param) + " \"" + OneLine(f.prompt) + "\"" +
             Limits(f.hasLower, f.lower, f.hasUpper, f.upper) + " value=" + Number(f.value);
      break;
  }
  return s;
}

bool AskDialog::Accepts(double v) const {
  if (type == INT && std::floor(v) != v) return false;
  return !(hasLower && v < lower) && !(hasUpper && v > upper);
}

bool AskDialog::FieldAccepts(const AskField& f, double v) {
  return !(f.hasLower && v < f.lower) && !(f.hasUpper && v > f.upper);
}

bool DefaultOperator::Ask(AskDialog& dialog) {
  const std::string shown = dialog.Describe();
  if (dialog.type == AskDialog::BOOL) dialog.value = AskDialog::kYes;
  PostOperatorMessage("ASK " + shown + " -> " + Answer(dialog, true));
  return true;
}

ScriptedOperator::ScriptedOperator(const std::string& script) {
  std::istringstream in(script);
  std::string line;
  while (std::getline(in, line)) {
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) line.pop_back();
    size_t b = line.find_first_not_of(" \t");
    if (b == std::string::npos || line[b] == '#' || line[b] == ';') continue;
    answers.push_back(line.substr(b));
  }
}

bool ScriptedOperator::FromFile(const std::string& path, std::unique_ptr<ScriptedOperator>& out,
                                std::string& error) {
  std::ifstream f(path, std::ios::binary);
  if (!f) {
    error = "cannot read answers file " + path;
    return false;
  }
  std::ostringstream ss;
  ss << f.rdbuf();
  out = std::make_unique<ScriptedOperator>(ss.str());
  return true;
}

bool ScriptedOperator::Ask(AskDialog& dialog) {
  if (next >= answers.size()) return g_defaultOperator.Ask(dialog);
  const std::string shown = dialog.Describe();
  const std::string raw = answers[next++];
  const std::string a = Lower(raw);
  bool ok = a != "cancel";
  if (ok) {
    switch (dialog.type) {
      case AskDialog::BOOL:
        // OK-only dialogs have nothing to refuse.
        if (a == "no" || a == "0") dialog.value = dialog.buttons == AskDialog::OK_ONLY ? AskDialog::kYes : AskDialog::kNo;
        else dialog.value = AskDialog::kYes;
        if (dialog.buttons == AskDialog::OK_CANCEL && dialog.value == AskDialog::kNo) ok = false;
        break;
      case AskDialog::INT:
      case AskDialog::FLT: {
        double v;
        if (ParseNumber(a, v)) {
          if (dialog.type == AskDialog::INT) v = std::floor(v + 0.5);
          dialog.value = Clamp(dialog.hasLower, dialog.lower, dialog.hasUpper, dialog.upper, v);
        }
        break;
      }
      default: {
        std::string t = a;
        for (char& c : t)
          if (c == ',' || c == '\t') c = ' ';
        std::istringstream in(t);
        std::string item;
        for (AskField& f : dialog.fields) {
          if (!(in >> item)) break;
          double v;
          if (ParseNumber(item, v)) f.value = Clamp(f.hasLower, f.lower, f.hasUpper, f.upper, v);
        }
        break;
      }
    }
  }
  PostOperatorMessage("ASK " + shown + " -> " + Answer(dialog, ok));
  return ok;
}

Operator* SetOperator(Operator* op) {
  Operator* previous = g_operator;
  g_operator = op;
  return previous;
}

Operator& GetOperator() { return g_operator ? *g_operator : g_defaultOperator; }

bool ShowAskDialog(AskDialog& dialog, MachineState* dialogView, MachineState* parserView) {
  LogMessage(LOG_INTERPRETER_INFO, "ShowAskDialog num=%d", dialog.num);
  const bool ok = GetOperator().Ask(dialog);
  LogMessage(LOG_INTERPRETER_INFO, "ShowAskDialog ok=%d dialog=%x view=%x num=%d type=%d", ok ? 1 : 0,
             static_cast<unsigned>(reinterpret_cast<uintptr_t>(&dialog)),
             static_cast<unsigned>(reinterpret_cast<uintptr_t>(parserView)), dialog.num, dialog.type);
  MachineState* views[2] = {dialogView, parserView == dialogView ? nullptr : parserView};
  // ASKBOOL reports Cancel too: a program must be able to tell it from OK.
  if (dialog.type == AskDialog::BOOL) {
    const double v = ok ? dialog.value : AskDialog::kCancel;
    for (MachineState* s : views)
      if (s) s->SetVar(0, v);
    return ok;
  }
  if (!ok) return false;
  if (dialog.type == AskDialog::MULTI) {
    for (size_t i = 0; i < dialog.fields.size(); ++i) {
      const AskField& f = dialog.fields[i];
      LogMessage(LOG_INTERPRETER_INFO, "ShowAskDialog i=%d val=%f", static_cast<int>(i), f.value);
      for (MachineState* s : views)
        if (s) s->SetWordVar('P', f.param, f.value);
    }
  } else {
    for (MachineState* s : views)
      if (s) s->SetVar(0, dialog.value);
  }
  return true;
}
