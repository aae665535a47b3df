#include "app/realmachinelink.h"

#include "base/logging.h"
#include "realmachine/hardwaremachine.h"

RealMachineLink::RealMachineLink() = default;
RealMachineLink::~RealMachineLink() = default;

bool RealMachineLink::Connect(std::string& reason) {
  m_hardware = std::make_unique<HardwareMachine>();
  if (!m_hardware->Open(reason)) {
    m_hardware.reset();
    return false;
  }
  LogMessage(LOG_ALWAYS | 4, "machine module %s", m_hardware->Description().c_str());
  m_hardware->Machine().StartWorker();
  return true;
}

BackEnd* RealMachineLink::Machine() { return m_hardware ? &m_hardware->Machine() : nullptr; }

void RealMachineLink::AttachParser(GCodeParser* parser) {
  if (m_hardware) m_hardware->Machine().SetParser(parser);
}

bool RealMachineLink::Failed() const {
  return m_hardware && m_hardware->Machine().LastLinkFault() == RealMachine::LinkFault::LOST &&
         !m_hardware->Machine().Connected();
}

bool RealMachineLink::Bad() const { return m_hardware && m_hardware->Machine().Connected() && m_hardware->ConnectionBad(); }

int32_t RealMachineLink::LastErrorCode() const { return m_hardware ? m_hardware->Machine().LastErrorCode() : 0; }

std::string RealMachineLink::LastErrorText() const {
  return m_hardware ? m_hardware->Machine().LastErrorText() : std::string();
}

std::unique_ptr<MachineLink> MakeRealMachineLink() { return std::make_unique<RealMachineLink>(); }
