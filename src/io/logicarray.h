// A small user-programmable logic: gates (AND, OR, latch, delay) over input
// signals, output signals and internal net bits, evaluated once per I/O poll
// of the machine back end, in file order. Lets an integrator derive outputs
// from inputs (an interlock, a delayed output) without changing programs.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

class ParaFile;

struct LogicOperand {
  enum Kind : int32_t { NUMBER = 0, INPUT = 1, OUTPUT = 2, NET = 3 };
  int32_t number = 0;  // signal, net, or a plain number (a delay in poll cycles)
  int32_t kind = NUMBER;
  bool invert = false;  // written as a leading "!"
};

struct LogicGate {
  enum Type : int32_t { AND = 1, OR = 2, DFF = 3, DEL = 4 };
  static constexpr int kMaxInputs = 8;
  int32_t count = 0;    // inputs used
  int32_t counter = 0;  // a DEL gate's count of stable cycles (signed)
  int32_t type = AND;
  LogicOperand destination;
  LogicOperand inputs[kMaxInputs];
  std::string comment;  // text after ";"
};

// What the gates read and drive: the back end's signal states.
class LogicSignals {
 public:
  virtual ~LogicSignals() = default;
  virtual bool Input(int signal) = 0;
  virtual bool Output(int signal) = 0;
  // Switches an output at once, outside the motion stream.
  virtual void SetOutput(int signal, bool on) = 0;
};

// A line the reader could not take: 1-based line number, the line, why.
struct LogicLineError {
  int line = 0;
  std::string text;
  std::string reason;
  std::string Message() const;  // "line N: reason: text"
};

class LogicArray {
 public:
  static constexpr int kMaxSignal = 2047;
  static constexpr int kMaxNet = 4095;

  LogicArray() = default;
  virtual ~LogicArray() = default;
  LogicArray(const LogicArray&) = delete;
  LogicArray& operator=(const LogicArray&) = delete;

  // One line of the text form into a gate; false with `reason` set.
  static bool ParseLine(const std::string& line, LogicGate& gate, std::string& reason);
  static std::string FormatGate(const LogicGate& gate);

  // Replaces the gates by the lines that parse; blank lines are skipped
  // quietly, every other rejected line is reported and skipped.
  std::vector<LogicLineError> SetText(const std::string& text);
  std::vector<LogicLineError> SetLines(const std::vector<std::string>& lines);
  // The gates in the text form, one per line.
  std::string Text() const;
  // The gate list file: every line a gate.
  std::vector<LogicLineError> ReadFile(const ParaFile& file);
  // Replaces the file's lines by the gates and writes it.
  bool WriteFile(ParaFile& file) const;

  // Evaluates every gate once, in file order.
  void Execute(LogicSignals& signals);
  bool IsConfigured() const;
  size_t GateCount() const;
  std::vector<LogicGate> Gates() const;
  void SetGates(std::vector<LogicGate> gates);
  // A net bit; false outside the net vector.
  bool Net(int number) const;

 private:
  bool Value(const LogicOperand& op, LogicSignals& signals) const;

  mutable std::mutex mutex_;  // the editor replaces gates while the worker evaluates
  std::vector<LogicGate> gates_;
  std::vector<uint8_t> nets_;
};
