#include "app/machineconnection.h"

#include "base/logging.h"
#include "machine/machinestate.h"
#include "machine/transformation.h"
#include "simulation/simulation.h"

namespace {
constexpr int32_t LOG_CONNECT = LOG_ALWAYS | 4;
}

MachineConnection::MachineConnection(GCodeParser* parser, std::unique_ptr<MachineLink> link, SimClock* clock)
    : m_parser(parser), m_link(std::move(link)), m_sim(std::make_unique<Simulation>(parser, clock)) {
  // Both start at the machine; Connect decides.
  m_current = m_sim.get();
  m_state = &actState;
}

MachineConnection::~MachineConnection() {
  if (m_current == m_sim.get()) SetCurrentState(&actState);
}

MachineConnection::Kind MachineConnection::Connect() {
  std::string reason;
  if (m_link->Connect(reason) && m_link->Machine()) {
    m_link->AttachParser(m_parser);
    m_current = m_link->Machine();
    m_state = &actState;
    SetCurrentState(&actState);
    m_kind = Kind::MACHINE;
    LogMessage(LOG_CONNECT, "machine connected");
    return m_kind;
  }
  m_reason = reason;
  LogMessage(LOG_CONNECT, "machine not reached (%s): continuing in simulation", reason.c_str());
  simState.Merge(*GetCurrentState());
  SetCurrentState(&simState);
  m_sim->SetMachineState(&simState);
  // The simulated machine stands where the state says it stands.
  const Transformation* t = simState.GetTransformation();
  m_sim->SetSimPosition(t ? t->ToMachine(simState.progPos) : simState.progPos);
  if (!m_sim->IsRunning()) m_sim->StartWorker();
  m_current = m_sim.get();
  m_state = &simState;
  m_kind = Kind::SIMULATION;
  return m_kind;
}

std::string MachineConnection::StatusText() const {
  if (m_kind == Kind::MACHINE) return "Machine connected";
  return "Simulation: no machine connected (" + m_reason + ")";
}

int32_t MachineConnection::LastErrorCode() const {
  return m_kind == Kind::SIMULATION ? m_sim->LastErrorCode() : m_link->LastErrorCode();
}

std::string MachineConnection::LastErrorText() const {
  return m_kind == Kind::SIMULATION ? m_sim->LastErrorText() : m_link->LastErrorText();
}

namespace {
MachineLinkFactory g_linkFactory = nullptr;
}

void SetMachineLinkFactory(MachineLinkFactory factory) { g_linkFactory = factory; }

std::unique_ptr<MachineLink> MakeMachineLink() { return g_linkFactory ? g_linkFactory() : nullptr; }
