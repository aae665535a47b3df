// The application's link to the real machine: the modules of the mapping
// table opened on the network adapters, and the machine back end streaming
// to the first of them. Made only by the program itself (main.cpp), never
// by the tests, which must not touch the machine's own adapters.
#pragma once

#include <memory>
#include <string>

#include "app/machineconnection.h"

class HardwareMachine;

class RealMachineLink : public MachineLink {
 public:
  RealMachineLink();
  ~RealMachineLink() override;

  bool Connect(std::string& reason) override;
  BackEnd* Machine() override;
  void AttachParser(GCodeParser* parser) override;
  // The connection broke in a run and the module did not come back.
  bool Failed() const override;
  // The connection is disturbed (acknowledge time-outs).
  bool Bad() const override;
  int32_t LastErrorCode() const override;
  std::string LastErrorText() const override;

 private:
  std::unique_ptr<HardwareMachine> m_hardware;
};

std::unique_ptr<MachineLink> MakeRealMachineLink();
