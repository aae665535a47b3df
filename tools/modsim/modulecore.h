// What a module does with the commands that reach it in order: the 512-command
// buffer consumed at the module's own pace, immediate commands, the axes,
// inputs, outputs, parameters and raw data, all written to the record.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <vector>

#include "axes.h"
#include "handwheel.h"
#include "modbusmaster.h"
#include "modsim.h"
#include "pins.h"
#include "record.h"
#include "thc.h"

namespace modsim {

// An answer's type and its bytes from frame offset 22 on.
struct Answer {
  uint8_t type;
  std::vector<uint8_t> data;
};

class ModuleCore {
 public:
  static constexpr size_t kBufferSize = 512;     // commands
  static constexpr uint8_t kStatusMoving = 0x01;    // the axes move, or commands wait in the buffer and it runs
  static constexpr uint8_t kStatusEmergency = 0x02; // an emergency input of the stop condition matched
  static constexpr uint8_t kStatusStopped = 0x08;   // a stop condition matched; motion held
  static constexpr uint8_t kStatusRawWaiting = 0x10;
  static constexpr uint8_t kStatusOverflow = 0x80;  // a buffered command was lost: buffer full

  ModuleCore(const ModuleConfig& config, Recorder& record, std::unique_ptr<AxisModel> axes);

  // One command (code, length, arguments) delivered in order. Answers it
  // asks for (parameters, raw data) are appended to `answers`.
  void Deliver(const uint8_t* command, int size, uint64_t t, std::vector<Answer>& answers);
  // One 5 ms tick: executes buffered commands at the module's pace, moves
  // the axes and records their positions.
  void Tick(uint64_t t);
  // A new connection or a restart: the buffer is forgotten.
  void ClearBuffer();
  // The regular answer: gauge, reference number, status, inputs, positions.
  Answer StatusAnswer() const;

  void SetInputs(uint32_t inputs, uint64_t t);
  uint32_t Inputs() const { return inputs_; }
  void SetExtraStatus(uint8_t bits) { extraStatus_ = bits; }
  void QueueRawData(const std::vector<uint8_t>& bytes);
  uint8_t Status() const;
  // True once after raw data became waiting on its own (a Modbus batch
  // finished): the module then announces it with a status answer.
  bool TakeRawAnnouncement();
  // The handwheel the module counts (control lines turn it).
  Handwheel& Wheel() { return wheel_; }
  // The model's pins (--model), nullptr without one.
  ModulePins* Pins() { return pins_.get(); }
  TorchHeight& Thc() { return thc_; }
  // A frame of the open connection arrived (the charge pump's watchdog).
  void HostFrame(uint64_t t) {
    if (pins_) pins_->HostFrame(t);
  }

 private:
  static bool IsBuffered(uint8_t code);
  void Execute(const uint8_t* command, int size, uint64_t t, std::vector<Answer>& answers);
  void Drain(uint64_t t, bool paced);
  void SetOutputBit(int bit, bool on, uint64_t t);
  void SetOutputs(uint32_t word, uint64_t t);
  void EvaluateStopCondition(uint64_t t);
  void SenseAxes(uint64_t t);
  // A channel's count as reported: the axis, and what torch height control
  // has moved it by.
  int32_t Actual(int channel) const;
  void Physical(int64_t (&p)[AxisModel::kMaxAxes]) const;

  ModuleConfig config_;
  Recorder& record_;
  std::unique_ptr<AxisModel> axes_;
  Sensors sensors_;
  TorchHeight thc_;
  Handwheel wheel_;
  std::deque<std::vector<uint8_t>> buffer_;
  double budget_ = 0;  // position points the pace allows now
  bool stopped_ = false;
  bool emergency_ = false;
  std::unique_ptr<ModulePins> pins_;
  bool overflow_ = false;
  uint8_t extraStatus_ = 0;
  uint16_t refNum_ = 0;
  uint32_t inputs_ = 0;
  uint32_t outputs_ = 0;
  int32_t commanded_[AxisModel::kMaxAxes] = {};
  int32_t recorded_[AxisModel::kMaxAxes] = {};
  bool positionsRecorded_ = false;
  uint32_t stopSelection_ = 0, stopStates_ = 0, stopEmergency_ = 0;
  std::map<uint32_t, uint32_t> parameters_;
  std::deque<std::vector<uint8_t>> rawQueue_;
  std::unique_ptr<ModbusMaster> modbus_;
  bool announce_ = false;
};

}  // namespace modsim
