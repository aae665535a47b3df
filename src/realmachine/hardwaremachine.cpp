#include "realmachine/hardwaremachine.h"

#include <algorithm>

#include "driver/src/linkframe.h"
#include "driver/src/quorvdriver.h"
#include "driver/src/quorvinternal.h"
#include "io/iocycle.h"
#include "io/iomapping.h"
#include "io/machineio.h"
#include "io/modulecontrol.h"
#include "machine/machineconfig.h"
#include "params/parafile.h"

HardwareMachine::HardwareMachine(const std::string& onlyAdapter) : m_adapter(onlyAdapter) {}

HardwareMachine::~HardwareMachine() {
  if (m_machine) {
    m_machine->StopThread();
    m_machine->Disconnect();
  }
  // The modules close with their objects, while the driver is still there.
  if (m_io) GetIoMapping().RemoveAllModules();
  m_io.reset();
  m_machine.reset();
  m_link.reset();
  m_driver.reset();
}

bool HardwareMachine::DefaultModule(std::string& reason) {
  auto m = std::make_unique<IoModuleBase>();
  const std::string address = GetMachineConfig().controllerAdr;
  if (!address.empty()) {
    if (!linkframe::ParseMac(address.c_str(), m->mac)) {
      reason = "bad module address " + address;
      return false;
    }
  } else {
    m_driver->FindFirstModule();
    QuorvModuleRecord info{};
    const uint32_t first = m_driver->FindNextModule(0);
    if (!first || !m_driver->GetModuleInfo(first, &info, sizeof info)) {
      reason = "no controller module found";
      return false;
    }
    std::copy(info.mac, info.mac + 6, m->mac);
  }
  m->macValid = true;
  GetIoMapping().AddModule(std::move(m));
  return true;
}

bool HardwareMachine::Open(std::string& reason) {
  m_driver = m_adapter.empty() ? std::make_unique<QuorvDriver>()
                               : std::make_unique<QuorvDriver>(sharedlog::kDefaultName, m_adapter.c_str());
  QuorvErrorRecord error{};
  if (m_driver->Internal()->error.Number() < 0 && m_driver->GetError(0, &error, sizeof error)) {
    reason = m_adapter.empty() ? std::string(error.text) : "no usable adapter " + m_adapter;
    return false;
  }
  IoMapping& mapping = GetIoMapping();
  ParaFile& table = GetParaFile(PF_MAPPING_TABLE);
  mapping.RemoveAllModules();
  // Register pins in the mapping need the Modbus configuration first.
  EnsureLogicAndModbusLoaded();
  if (mapping.ReadModuleList(table) == 0 && !DefaultModule(reason)) return false;
  m_io = std::make_unique<MachineIo>(mapping, m_driver.get(), SafetyConfig::FromMachine(GetMachineConfig()));
  ModuleControl& control = m_io->Control();
  control.SetMachineType(GetMachineConfig().machineType);
  const int code = control.CheckModulesOpen();
  mapping.ReadMapping(table);
  InstallErrorTextNames();
  IoModule* main = mapping.MainModule();
  if (!main || !main->IsOpen() || !IsMotionController(main->modelCode)) {
    const std::string& problem = control.FirmwareProblem();
    reason = !problem.empty()                ? problem
             : main && main->IsOpen()         ? "the first module is no motion controller"
                                              : "the controller module could not be opened";
    return false;
  }
  if (code == MODEL_OBSOLETE) m_warning = control.FirmwareProblem();
  m_key = main->moduleKey;
  std::copy(main->mac, main->mac + 6, m_mac);
  QuorvModuleRecord info{};
  m_driver->GetModuleInfo(m_key, &info, sizeof info);
  char keyText[10];
  m_description = std::string(linkframe::KeyText(m_key, keyText)) + " " + main->name + " " + info.software + " on " +
                  info.adapter;
  m_link = std::make_unique<QuorvLink>(*m_driver, m_key);
  // Outputs off, emergency stop and alarms armed, the safety machines started.
  m_io->Start(GetMachineConfig().pwmFreq);
  m_machine = std::make_unique<RealMachine>(nullptr);
  m_machine->SetModuleControl(&control);
  m_machine->SetSafety(m_io.get());
  // After a lost connection: a module that answers again had restarted.
  m_machine->SetReopen([this]() -> ModuleLink* { return Reopen() ? m_link.get() : nullptr; });
  return m_machine->Connect(m_link.get(), reason);
}

ModuleControl& HardwareMachine::Control() { return m_io->Control(); }

bool HardwareMachine::Reopen() {
  m_driver->CloseModule(m_key);
  return m_driver->SearchModule(m_mac) == m_key && m_driver->OpenModule(m_key, false);
}

bool HardwareMachine::Reconnect(std::string& reason) {
  if (!m_machine) {
    reason = "the machine was never opened";
    return false;
  }
  if (!Reopen()) {
    reason = "the controller module does not answer";
    return false;
  }
  return m_machine->Connect(m_link.get(), reason);
}

bool HardwareMachine::ConnectionBad() const { return !m_driver || !m_key || m_driver->ConnectionIsBad(m_key); }
