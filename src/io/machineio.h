// The I/O side of a machine in one piece: module control over the link, the
// safety machines on its signals, and the poll cycle that ties them
// together. The command-line tool and the tests drive a machine with it; a
// machine back end may use it whole or take its parts.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

#include "io/iocycle.h"
#include "io/modulecontrol.h"
#include "io/safety.h"

class MachineIo : public SafetyIo {
 public:
  // Servos go off this long after the end of a motion unless another
  // begins (60 main cycles of 40 ms).
  static constexpr double kServosOffDelayS = 2.4;

  MachineIo(IoMapping& mapping, QuorvDriver* driver, const SafetyConfig& config);
  ~MachineIo() override;

  ModuleControl& Control() { return control_; }
  SafetyPlc& Safety() { return plc_; }
  IoMapping& Mapping() { return control_.Mapping(); }

  // Opens the modules: CheckModulesOpen's result. When it replaced objects
  // the mapping was cleared: read it (again) before Start.
  int OpenModules(bool* changed = nullptr) { return control_.CheckModulesOpen(changed); }
  // With the mapping read: switches every output off, sends the output
  // functions, arms the emergency stop and the alarms as stop inputs
  // wherever they are wired, clears the main module's buffer and starts the
  // safety machines. False without an open main module.
  bool Start(double pwmFrequencyHz = 1000);
  // Outputs off, stop condition cleared, modules closed.
  void Shutdown();

  // The logic array and Modbus configuration the poll cycle runs (the
  // process-wide ones unless a test gives its own).
  void SetCycleHooks(LogicArray& logic, Modbus& modbus);
  IoCycleHooks& CycleHooks() { return *hooks_; }

  // One I/O poll: inputs and status of every module, the PC side of the stop
  // condition (an input on another module stops the main module's motion
  // within this cycle), the safety machines, the logic array and the Modbus
  // cycle, the servos-off timer. False when
  // a module's connection is bad (the safety machines then stand still with
  // the enable field 0).
  bool Poll();
  int BufferLevel() const { return bufLevel_; }
  int ModuleStatus() const { return status_; }

  // Motion bracket as the back end uses it.
  int BeginMotion(bool allowOpenDoor = false);
  // Current low now, servos off after kServosOffDelayS (or `delayS`).
  void EndMotion(double delayS = kServosOffDelayS);

  // SafetyIo, over module control.
  bool GetInput(int signal) override { return control_.GetInput(signal); }
  bool InputMapped(int signal) override { return Mapping().InputMapped(signal); }
  bool OutputMapped(int signal) override { return Mapping().OutputMapped(signal); }
  void SetOutput(int signal, bool on) override { control_.SetOutput(signal, on, true); }
  bool GetOutput(int signal) override { return control_.GetOutput(signal); }
  void RefreshInputs() override { control_.PollInputs(true); }
  void StopMotion() override;
  // Clears the main module's buffer, or has the owner of the buffer do it:
  // a machine back end streaming to the module keeps its stream, trace and
  // reference numbers in step with the buffer only if it clears it itself.
  void ClearBuffer() override;
  void SetClearOwner(std::function<void()> owner) { clearOwner_ = std::move(owner); }
  // The supervisor's lines for the operator go here instead of straight to
  // the message list (the back end has often told the same stop already).
  void SetReportSink(std::function<void(const std::string&)> sink) { reportSink_ = std::move(sink); }
  int MachineStatus() override { return plc_.Readiness(); }
  void Sleep(double seconds) override;
  void Report(const std::string& text) override;

 private:
  ModuleControl control_;
  SafetyPlc plc_;
  MappingLogicSignals logicSignals_;
  std::unique_ptr<IoCycleHooks> hooks_;
  int bufLevel_ = 0;
  int status_ = 0;
  bool pcStopSent_ = false;
  bool servosOffPending_ = false;
  std::function<void()> clearOwner_;
  std::function<void(const std::string&)> reportSink_;
  std::chrono::steady_clock::time_point servosOffAt_;
};

// Gives the operator's error texts the configured names of the process-wide
// mapping's alarm inputs and of an active limit or home switch.
void InstallErrorTextNames();
