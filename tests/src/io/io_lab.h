// The I/O layer on the veth lab: soft modules playing controller models on
// the far end, the mapping's module list opened through module control on
// the near one.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "io/iomapping.h"
#include "io/machineio.h"
#include "io/modulecontrol.h"
#include "tests/driver/link_fixture.h"

class IoLab : public LinkLab {
 protected:
  void TearDown() override {
    machine.reset();
    control.reset();
    mapping.RemoveAllModules();  // closes them while the driver lives
    LinkLab::TearDown();
  }
  // Soft module n playing `model`, with extra options.
  std::vector<std::string> Model(int n, const std::string& model, std::vector<std::string> extra = {}) {
    extra.insert(extra.begin(), {"--model", model});
    return Module(n, extra);
  }
  static std::vector<std::string> Join(std::vector<std::vector<std::string>> parts) {
    std::vector<std::string> all;
    for (auto& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
  }
  // The module list of lab modules `numbers`, opened; the check's result.
  int Open(const std::vector<int>& numbers, bool* changed = nullptr) {
    List(numbers);
    control = std::make_unique<ModuleControl>(mapping, driver.get());
    return control->CheckModulesOpen(changed);
  }
  // The module list of lab modules `numbers`, not opened yet.
  void List(const std::vector<int>& numbers) {
    if (!driver) StartDriver();
    for (int n : numbers) {
      auto m = std::make_unique<IoModuleBase>();
      const std::vector<uint8_t> mac = netlab::ModuleMac(n);
      std::copy(mac.begin(), mac.end(), m->mac);
      m->macValid = true;
      mapping.AddModule(std::move(m));
    }
  }
  // The whole machine over the list: opened, `wire` maps the signals, started.
  template <typename Wire>
  void StartMachine(const std::vector<int>& numbers, const SafetyConfig& cfg, Wire wire) {
    List(numbers);
    machine = std::make_unique<MachineIo>(mapping, driver.get(), cfg);
    ASSERT_GE(machine->OpenModules(), MODEL_KORRIN);
    wire();
    ASSERT_TRUE(machine->Start());
  }
  // Polls the machine every 10 ms until `done` (true) or the time is up.
  template <typename Pred>
  bool PollUntil(Pred done, int timeoutMs = 3000) {
    return WaitUntil(
        [&] {
          machine->Poll();
          if (done()) return true;
          std::this_thread::sleep_for(std::chrono::milliseconds(10));
          return false;
        },
        timeoutMs);
  }
  // Polls until the input signal reads `active` (true) or the time is up.
  bool WaitInput(int signal, bool active, int timeoutMs = 2000) {
    return WaitUntil(
        [&] {
          control->PollInputs(true);
          return control->GetInput(signal) == active;
        },
        timeoutMs);
  }
  // Record lines of module n of a kind ("EVT", "CMD", "OUT"), in order.
  std::vector<netlab::RecordLine> Lines(int n, const std::string& kind) {
    std::vector<netlab::RecordLine> out;
    for (auto& l : netlab::ReadRecord(Record(n)))
      if (l.kind == kind) out.push_back(l);
    return out;
  }
  bool HasEvent(int n, const std::string& text) {
    for (auto& l : Lines(n, "EVT"))
      if (l.text == text) return true;
    return false;
  }
  // The commands of one code module n executed, as hex arguments.
  std::vector<std::string> Commands(int n, int code) {
    std::vector<std::string> out;
    for (const auto& l : Lines(n, "CMD")) {
      if (l.code != code) continue;
      std::string hex;
      char b[3];
      for (uint8_t v : l.args) {
        std::snprintf(b, sizeof b, "%02x", v);
        hex += b;
      }
      out.push_back(hex);
    }
    return out;
  }
  // The record is written as the module goes: these wait for what should come.
  bool WaitOut(int n, const std::string& word) {
    return WaitUntil([&] { auto o = Lines(n, "OUT"); return !o.empty() && o.back().text == word; }, 2000);
  }
  bool WaitCommand(int n, int code, const std::string& args) {
    return WaitUntil([&] { auto c = Commands(n, code); return !c.empty() && c.back() == args; }, 2000);
  }
  // Waits for an event line of module n.
  bool WaitEvent(int n, const std::string& text, int timeoutMs = 2000) {
    return WaitUntil([&] { return HasEvent(n, text); }, timeoutMs);
  }

  IoMapping mapping;
  std::unique_ptr<ModuleControl> control;
  std::unique_ptr<MachineIo> machine;
};
