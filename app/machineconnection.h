// Which machine the operator works with. Every operator command goes through
// the current back end and every display reads the current state. The real
// machine is used when its link answers; otherwise the simulation takes its
// place, after simState has taken over the state of the machine.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

class BackEnd;
class GCodeParser;
class MachineState;
class SimClock;
class Simulation;

// The hardware side as the application sees it. The link and the position
// stream plug in here; until they exist no machine can be reached.
class MachineLink {
 public:
  virtual ~MachineLink() = default;
  // Tries to reach the machine; false when it cannot be reached (reason set).
  virtual bool Connect(std::string& reason) = 0;
  // The machine's back end once connected.
  virtual BackEnd* Machine() = 0;
  // The interpreter that runs loaded programs on the machine.
  virtual void AttachParser(GCodeParser* parser) = 0;
  // Connection supervision of the main cycle.
  virtual bool Failed() const { return false; }
  virtual bool Bad() const { return false; }
  // How the last run on the machine ended: 0 clean or stopped without
  // error, else the error code, with the operator's report text.
  virtual int32_t LastErrorCode() const { return 0; }
  virtual std::string LastErrorText() const { return std::string(); }
};

// The application's link to the machine, when the program (not a test)
// provides one; null: none (the simulation runs).
using MachineLinkFactory = std::unique_ptr<MachineLink> (*)();
void SetMachineLinkFactory(MachineLinkFactory factory);
std::unique_ptr<MachineLink> MakeMachineLink();

// The link of a build without hardware support.
class NoMachineLink : public MachineLink {
 public:
  bool Connect(std::string& reason) override {
    reason = "no hardware link in this build";
    return false;
  }
  BackEnd* Machine() override { return nullptr; }
  void AttachParser(GCodeParser*) override {}
};

class MachineConnection {
 public:
  enum class Kind { MACHINE, SIMULATION };

  // parser: the interpreter that runs loaded programs on either back end.
  MachineConnection(GCodeParser* parser, std::unique_ptr<MachineLink> link, SimClock* clock = nullptr);
  ~MachineConnection();

  // Reaches the machine, or falls back to the simulation. Returns the kind
  // chosen.
  Kind Connect();

  Kind CurrentKind() const { return m_kind; }
  BackEnd& Current() const { return *m_current; }
  MachineState& State() const { return *m_state; }
  Simulation& Sim() const { return *m_sim; }
  MachineLink& Link() const { return *m_link; }
  // For the status bar: which back end runs, and why.
  std::string StatusText() const;

  // How the last run on the current back end ended: 0 clean or stopped
  // without error, else the error code, with the operator's report text.
  int32_t LastErrorCode() const;
  std::string LastErrorText() const;

 private:
  GCodeParser* m_parser;
  std::unique_ptr<MachineLink> m_link;
  std::unique_ptr<Simulation> m_sim;
  BackEnd* m_current = nullptr;
  MachineState* m_state = nullptr;
  Kind m_kind = Kind::MACHINE;
  std::string m_reason;
};
