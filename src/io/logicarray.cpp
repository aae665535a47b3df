#include "io/logicarray.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <sstream>

#include "base/logging.h"
#include "params/parafile.h"

namespace {

constexpr int32_t kLogLogic = 134;  // in/output, priority 6

std::string Trim(const std::string& s) {
  size_t a = 0, b = s.size();
  while (a < b && std::isspace(static_cast<unsigned char>(s[a]))) ++a;
  while (b > a && std::isspace(static_cast<unsigned char>(s[b - 1]))) --b;
  return s.substr(a, b - a);
}

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

// A whole decimal integer, optionally signed, within int32.
bool ParseInteger(const std::string& text, bool allowSign, int32_t& out) {
  if (text.empty()) return false;
  size_t i = 0;
  if (allowSign && (text[0] == '-' || text[0] == '+')) i = 1;
  if (i == text.size() || text.size() - i > 9) return false;
  for (size_t k = i; k < text.size(); ++k)
    if (!std::isdigit(static_cast<unsigned char>(text[k]))) return false;
  out = static_cast<int32_t>(std::strtol(text.c_str(), nullptr, 10));
  return true;
}

bool ParseOperand(const std::string& word, LogicOperand& op, std::string& reason) {
  std::string w = word;
  op = LogicOperand{};
  if (!w.empty() && w[0] == '!') {
    op.invert = true;
    w = Trim(w.substr(1));
  }
  if (w.size() >= 2 && w[0] == '#') {
    const char k = static_cast<char>(std::toupper(static_cast<unsigned char>(w[1])));
    op.kind = k == 'I' ? LogicOperand::INPUT : k == 'O' ? LogicOperand::OUTPUT : k == 'N' ? LogicOperand::NET : -1;
    if (op.kind < 0 || !ParseInteger(w.substr(2), false, op.number)) {
      reason = "bad operand \"" + word + "\" (expected #I, #O or #N and a number)";
      return false;
    }
    const int limit = op.kind == LogicOperand::NET ? LogicArray::kMaxNet : LogicArray::kMaxSignal;
    if (op.number > limit) {
      reason = "\"" + word + "\" is out of range 0.." + std::to_string(limit);
      return false;
    }
    return true;
  }
  if (!ParseInteger(w, true, op.number)) {
    reason = "bad operand \"" + word + "\"";
    return false;
  }
  return true;
}

void WriteOperand(std::ostringstream& out, const LogicOperand& op) {
  if (op.invert) out << '!';
  switch (op.kind) {
    case LogicOperand::INPUT: out << "#I"; break;
    case LogicOperand::OUTPUT: out << "#O"; break;
    case LogicOperand::NET: out << "#N"; break;
    default: break;
  }
  out << op.number;
}

}  // namespace

std::string LogicLineError::Message() const { return "line " + std::to_string(line) + ": " + reason + ": " + text; }

bool LogicArray::ParseLine(const std::string& line, LogicGate& gate, std::string& reason) {
  reason.clear();
  gate = LogicGate{};
  const size_t semi = line.find(';');
  if (semi != std::string::npos) {
    gate.comment = line.substr(semi + 1);
    // A carriage return at its end would be read back as a line ending.
    while (!gate.comment.empty() && gate.comment.back() == '\r') gate.comment.pop_back();
  }
  // Every comma separates two words, also before an empty last one.
  std::vector<std::string> words;
  const std::string gateText = line.substr(0, semi);
  for (size_t at = 0;;) {
    const size_t comma = gateText.find(',', at);
    words.push_back(Trim(gateText.substr(at, comma == std::string::npos ? std::string::npos : comma - at)));
    if (comma == std::string::npos) break;
    at = comma + 1;
  }
  if (words[0].empty()) {
    reason = "no gate type";
    return false;
  }
  const std::string type = Upper(words[0]);
  if (type == "AND") gate.type = LogicGate::AND;
  else if (type == "OR") gate.type = LogicGate::OR;
  else if (type == "DFF") gate.type = LogicGate::DFF;
  else if (type == "DEL") gate.type = LogicGate::DEL;
  else {
    reason = "unknown gate type \"" + words[0] + "\" (AND, OR, DFF or DEL)";
    return false;
  }
  if (words.size() < 2 || (ParseOperand(words[1], gate.destination, reason) &&
                            gate.destination.kind != LogicOperand::OUTPUT && gate.destination.kind != LogicOperand::NET)) {
    reason = "the destination must be an output (#O) or a net (#N)";
    return false;
  }
  if (!reason.empty()) return false;
  const int n = static_cast<int>(words.size()) - 2;
  if (gate.type == LogicGate::AND || gate.type == LogicGate::OR) {
    if (n < 1 || n > LogicGate::kMaxInputs) {
      reason = words[0] + " takes 1 to 8 inputs, not " + std::to_string(n);
      return false;
    }
  } else if (n != 2) {
    reason = gate.type == LogicGate::DFF ? "DFF takes a data and a clock input" : "DEL takes an input and a delay in cycles";
    return false;
  }
  for (int i = 0; i < n; ++i)
    if (!ParseOperand(words[2 + i], gate.inputs[i], reason)) return false;
  if (gate.type == LogicGate::DEL && (gate.inputs[1].kind != LogicOperand::NUMBER || gate.inputs[1].invert)) {
    reason = "the delay of DEL must be a plain number of cycles";
    return false;
  }
  gate.count = n;
  return true;
}

std::string LogicArray::FormatGate(const LogicGate& g) {
  static const char* const names[] = {"", "AND", "OR", "DFF", "DEL"};
  std::ostringstream out;
  out << (g.type >= LogicGate::AND && g.type <= LogicGate::DEL ? names[g.type] : "AND") << ',';
  WriteOperand(out, g.destination);
  for (int i = 0; i < std::clamp(g.count, 0, LogicGate::kMaxInputs); ++i) {
    out << ',';
    WriteOperand(out, g.inputs[i]);
  }
  if (!g.comment.empty()) out << " ;" << g.comment;
  return out.str();
}

std::vector<LogicLineError> LogicArray::SetLines(const std::vector<std::string>& lines) {
  std::vector<LogicLineError> errors;
  std::vector<LogicGate> gates;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (Trim(lines[i]).empty()) continue;
    LogicGate g;
    std::string reason;
    if (ParseLine(lines[i], g, reason))
      gates.push_back(std::move(g));
    else
      errors.push_back(LogicLineError{static_cast<int>(i) + 1, lines[i], reason});
  }
  SetGates(std::move(gates));
  return errors;
}

std::vector<LogicLineError> LogicArray::SetText(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);) {
    if (!l.empty() && l.back() == '\r') l.pop_back();
    lines.push_back(l);
  }
  return SetLines(lines);
}

std::string LogicArray::Text() const {
  std::string text;
  for (const LogicGate& g : Gates()) text += FormatGate(g) + "\n";
  return text;
}

std::vector<LogicLineError> LogicArray::ReadFile(const ParaFile& file) {
  std::vector<std::string> lines;
  for (size_t i = 0; i < file.GetLineCount(); ++i) lines.push_back(file.GetLine(i).utf8_string());
  return SetLines(lines);
}

bool LogicArray::WriteFile(ParaFile& file) const {
  file.Clear();
  for (const LogicGate& g : Gates()) file.AddLine(wxString::FromUTF8(FormatGate(g)));
  return file.Write();
}

void LogicArray::SetGates(std::vector<LogicGate> gates) {
  // Every net a gate names gets its bit now, so evaluating never allocates.
  int maxNet = -1;
  auto note = [&](const LogicOperand& op) {
    if (op.kind == LogicOperand::NET && op.number >= 0 && op.number <= kMaxNet) maxNet = std::max(maxNet, op.number);
  };
  for (const LogicGate& g : gates) {
    note(g.destination);
    for (int i = 0; i < std::clamp(g.count, 0, LogicGate::kMaxInputs); ++i) note(g.inputs[i]);
  }
  std::lock_guard<std::mutex> lock(mutex_);
  gates_ = std::move(gates);
  if (static_cast<int>(nets_.size()) < maxNet + 1) nets_.resize(static_cast<size_t>(maxNet + 1), 0);
}

std::vector<LogicGate> LogicArray::Gates() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return gates_;
}

size_t LogicArray::GateCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return gates_.size();
}

bool LogicArray::IsConfigured() const { return GateCount() > 0; }

bool LogicArray::Net(int number) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return number >= 0 && static_cast<size_t>(number) < nets_.size() && nets_[static_cast<size_t>(number)];
}

bool LogicArray::Value(const LogicOperand& op, LogicSignals& signals) const {
  bool v = false;
  switch (op.kind) {
    case LogicOperand::INPUT: v = signals.Input(op.number); break;
    case LogicOperand::OUTPUT: v = signals.Output(op.number); break;
    case LogicOperand::NET:
      v = op.number >= 0 && static_cast<size_t>(op.number) < nets_.size() && nets_[static_cast<size_t>(op.number)];
      break;
    default: v = op.number != 0; break;
  }
  return v != op.invert;
}

void LogicArray::Execute(LogicSignals& signals) {
  std::lock_guard<std::mutex> lock(mutex_);
  LogMessage(kLogLogic, "LogicArray Execute start");
  for (LogicGate& g : gates_) {
    const int n = std::clamp(g.count, 0, LogicGate::kMaxInputs);
    bool result = false;
    bool write = true;
    switch (g.type) {
      case LogicGate::AND:
        result = n > 0;
        for (int i = 0; i < n && result; ++i) result = Value(g.inputs[i], signals);
        break;
      case LogicGate::OR:
        for (int i = 0; i < n && !result; ++i) result = Value(g.inputs[i], signals);
        break;
      case LogicGate::DFF:
        // A latch: takes the data while the clock is true, holds otherwise.
        if (n < 2 || !Value(g.inputs[1], signals)) write = false;
        else result = Value(g.inputs[0], signals);
        break;
      case LogicGate::DEL: {
        if (n < 2) {
          write = false;
          break;
        }
        const int32_t d = g.inputs[1].number;
        const int32_t falling = d == INT32_MIN ? INT32_MIN : -std::abs(d);
        if (!Value(g.inputs[0], signals)) {
          if (g.counter > 0) g.counter = 0;
          if (g.counter > falling) {
            --g.counter;
            write = false;
          }
        } else {
          if (g.counter < 0) g.counter = 0;
          if (d > g.counter) {
            ++g.counter;
            write = false;
          } else {
            result = true;
          }
        }
        break;
      }
      default:
        write = false;
        break;
    }
    if (!write) continue;
    const bool out = result != g.destination.invert;
    const int num = g.destination.number;
    if (g.destination.kind == LogicOperand::OUTPUT) {
      LogMessage(kLogLogic, "LogicArray Output #%d=%d", num, out);
      signals.SetOutput(num, out);
    } else if (g.destination.kind == LogicOperand::NET && num >= 0 && num <= kMaxNet) {
      if (static_cast<size_t>(num) >= nets_.size()) nets_.resize(static_cast<size_t>(num) + 1, 0);
      nets_[static_cast<size_t>(num)] = out;
      LogMessage(kLogLogic, "LogicArray Net #%d=%d", num, out);
    }
  }
  LogMessage(kLogLogic, "LogicArray Execute end");
}
