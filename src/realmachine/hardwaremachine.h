// The machine on the hardware link, as the application and the command line
// open it: the driver on the adapters, the mapping table's modules (else the
// module of "ControllerAdr", else the first one a scan finds) opened through
// module control, the main module's connection and the machine back end
// streaming to it. A module that answers again after its connection broke
// in a run is taken back (it had restarted).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "realmachine/realmachine.h"

class MachineIo;
class ModuleControl;
class QuorvDriver;

class HardwareMachine {
 public:
  // onlyAdapter: the one adapter to use (its capture device name); null or
  // empty: every usable one.
  explicit HardwareMachine(const std::string& onlyAdapter = std::string());
  ~HardwareMachine();
  HardwareMachine(const HardwareMachine&) = delete;
  HardwareMachine& operator=(const HardwareMachine&) = delete;

  // Opens the modules and starts the machine's stream at the position read
  // back (the worker is not started). False with the reason.
  bool Open(std::string& reason);
  // After the connection was lost: opens the main module again and starts
  // the stream at its position. Only while the machine is idle.
  bool Reconnect(std::string& reason);
  // The main module's firmware is old (it runs; the message tells).
  const std::string& Warning() const { return m_warning; }

  RealMachine& Machine() { return *m_machine; }
  QuorvDriver& Driver() { return *m_driver; }
  ModuleControl& Control();
  // The module control with the safety supervisor over it; the machine
  // polls it with its stream.
  MachineIo& Io() { return *m_io; }
  uint32_t Key() const { return m_key; }
  // "#56000001 Korrin Quorvane #56000001 Sw V1.40 on qvhost"
  const std::string& Description() const { return m_description; }
  // The main module's connection is disturbed or lost.
  bool ConnectionBad() const;

 private:
  bool DefaultModule(std::string& reason);
  // Closes the main module and opens it again; false when it does not answer.
  bool Reopen();

  std::string m_adapter;
  std::unique_ptr<QuorvDriver> m_driver;
  std::unique_ptr<MachineIo> m_io;
  std::unique_ptr<QuorvLink> m_link;
  std::unique_ptr<RealMachine> m_machine;
  uint32_t m_key = 0;
  uint8_t m_mac[6] = {};
  std::string m_description;
  std::string m_warning;
};
