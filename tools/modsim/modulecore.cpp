#include "modulecore.h"

#include <algorithm>

#include "driver/src/linkframe.h"
#include "io/modbusbatch.h"

using namespace linkframe;

namespace modsim {

ModuleCore::ModuleCore(const ModuleConfig& config, Recorder& record, std::unique_ptr<AxisModel> axes)
    : config_(config), record_(record), axes_(std::move(axes)), sensors_(config.switches, config.probe),
      thc_(config.thcPlate) {
  if (!config_.modbusPort.empty()) modbus_ = std::make_unique<ModbusMaster>(config_.modbusPort);
  if (!config_.model.empty()) {
    std::string error;
    pins_ = ModulePins::Create(config_.model, error);
    if (pins_) inputs_ = pins_->InitialInputs();
  }
}

bool ModuleCore::TakeRawAnnouncement() {
  const bool a = announce_;
  announce_ = false;
  return a;
}

bool ModuleCore::IsBuffered(uint8_t code) {
  // Everything that carries a reference number, and the path velocity, goes
  // with the motion.
  return code == CMD_POSITION || code == CMD_VELOCITY || code == CMD_OUTPUTS || code == CMD_PWM ||
         code == CMD_SYNC_OUTPUT;
}

uint8_t ModuleCore::Status() const {
  uint8_t s = extraStatus_;
  if (!buffer_.empty() && !stopped_) s |= kStatusMoving;
  if (emergency_) s |= kStatusEmergency;
  if (stopped_) s |= kStatusStopped;
  if (axes_->Moving() || wheel_.Moving()) s |= kStatusMoving;
  if (!rawQueue_.empty()) s |= kStatusRawWaiting;
  if (overflow_) s |= kStatusOverflow;
  return s;
}

int32_t ModuleCore::Actual(int channel) const {
  return axes_->Actual(channel) + (thc_.On() && channel == thc_.Channel() ? thc_.Shift() : 0);
}

void ModuleCore::Physical(int64_t (&p)[AxisModel::kMaxAxes]) const {
  for (int i = 0; i < AxisModel::kMaxAxes; ++i) p[i] = sensors_.Physical(i, Actual(i));
}

Answer ModuleCore::StatusAnswer() const {
  // A module that measures the arc voltage reports it as the sixth value.
  const int values = thc_.Measures() ? AxisModel::kMaxAxes : config_.axes;
  Answer a{kAnswerStatus, std::vector<uint8_t>(kAnswerFixedSize + 4 * static_cast<size_t>(values))};
  uint8_t* d = a.data.data();
  // Bit 15 of the gauge: the module has stopped the stream.
  const size_t waiting = buffer_.size() + axes_->Queued();
  Put16(d, static_cast<uint16_t>(std::min<size_t>(waiting, 0x7FFF) | (stopped_ || axes_->Halted() ? 0x8000u : 0u)));
  Put16(d + 2, refNum_);
  d[4] = Status();
  d[5] = static_cast<uint8_t>(inputs_);
  d[6] = static_cast<uint8_t>(inputs_ >> 8);
  d[7] = static_cast<uint8_t>(inputs_ >> 16);
  for (int i = 0; i < config_.axes; ++i) Put32(d + 8 + 4 * i, static_cast<uint32_t>(Actual(i)));
  if (thc_.Measures()) {
    int64_t p[AxisModel::kMaxAxes];
    Physical(p);
    Put32(d + 8 + 4 * (values - 1), static_cast<uint32_t>(thc_.Raw(p)));
  }
  return a;
}

void ModuleCore::Deliver(const uint8_t* command, int size, uint64_t t, std::vector<Answer>& answers) {
  if (!IsBuffered(command[0])) {
    Execute(command, size, t, answers);
    return;
  }
  if (axes_->TakesStream()) {
    if (axes_->Queued() >= kBufferSize) {
      if (!overflow_) record_.Event(t, "buffer overflow, command %u lost", command[0]);
      overflow_ = true;
      return;
    }
    if (!stopped_) axes_->Queue(command, size, t);
    return;
  }
  if (buffer_.size() >= kBufferSize) {
    if (!overflow_) record_.Event(t, "buffer overflow, command %u lost", command[0]);
    overflow_ = true;
    return;
  }
  buffer_.emplace_back(command, command + size);
  if (config_.pointsPerSecond <= 0) Drain(t, false);
}

void ModuleCore::Drain(uint64_t t, bool paced) {
  std::vector<Answer> none;
  while (!buffer_.empty() && !stopped_) {
    const std::vector<uint8_t>& c = buffer_.front();
    if (paced && c[0] == CMD_POSITION) {
      if (budget_ < 1) break;
      budget_ -= 1;
    }
    const std::vector<uint8_t> cmd = std::move(buffer_.front());
    buffer_.pop_front();
    Execute(cmd.data(), static_cast<int>(cmd.size()), t, none);
  }
}

void ModuleCore::Tick(uint64_t t) {
  std::vector<uint8_t> answer;
  while (modbus_ && modbus_->TakeAnswer(answer)) {
    record_.Event(t, "modbus batch done, %zu bytes", answer.size());
    QueueRawData(answer);
    announce_ = true;
  }
  if (axes_->TakesStream()) {
    axes_->Tick(t);
    std::vector<uint8_t> due;
    std::vector<Answer> none;
    while (axes_->NextDue(due)) Execute(due.data(), static_cast<int>(due.size()), t, none);
  } else if (config_.pointsPerSecond > 0) {
    const double perTick = config_.pointsPerSecond * 0.005;
    // Idle time does not save up points.
    budget_ = std::min(budget_ + perTick, std::max(perTick, 1.0));
    Drain(t, true);
  }
  if (!axes_->TakesStream()) axes_->Tick(t);
  wheel_.Tick(*axes_, t, record_);
  if (thc_.On()) {
    int64_t p[AxisModel::kMaxAxes];
    Physical(p);
    thc_.Tick(p, Actual(thc_.Channel()), stopped_ || emergency_);
  }
  if (config_.arcGoodBit >= 0) {
    const uint32_t bit = 1u << config_.arcGoodBit;
    const uint32_t now = thc_.Arc() ? inputs_ | bit : inputs_ & ~bit;
    if (now != inputs_) {
      record_.Event(t, "arc good=%d", thc_.Arc() ? 1 : 0);
      SetInputs(now, t);
    }
  }
  SenseAxes(t);
  if (pins_) pins_->Tick(t, record_);
  int32_t now[AxisModel::kMaxAxes];
  bool changed = !positionsRecorded_;
  for (int i = 0; i < config_.axes; ++i) {
    now[i] = Actual(i);
    changed |= now[i] != recorded_[i];
  }
  if (changed) {
    record_.Positions(t, now, config_.axes);
    std::copy(now, now + config_.axes, recorded_);
    positionsRecorded_ = true;
  }
  record_.Flush();
}

void ModuleCore::ClearBuffer() {
  buffer_.clear();
  axes_->ClearQueue();
  overflow_ = false;
  budget_ = 0;
}

void ModuleCore::SetOutputs(uint32_t word, uint64_t t) {
  if (word == outputs_) return;
  outputs_ = word;
  record_.Outputs(t, outputs_);
  if (pins_) pins_->Outputs(outputs_, t, record_);
}

void ModuleCore::SetOutputBit(int bit, bool on, uint64_t t) {
  if (bit < 0 || bit > 31) return;
  SetOutputs(on ? outputs_ | (1u << bit) : outputs_ & ~(1u << bit), t);
}

void ModuleCore::SetInputs(uint32_t inputs, uint64_t t) {
  inputs_ = inputs & 0xFFFFFFu;
  EvaluateStopCondition(t);
}

void ModuleCore::QueueRawData(const std::vector<uint8_t>& bytes) {
  for (size_t at = 0; at < bytes.size(); at += kMaxRawData)
    rawQueue_.emplace_back(bytes.begin() + static_cast<long>(at),
                           bytes.begin() + static_cast<long>(std::min(bytes.size(), at + kMaxRawData)));
}

void ModuleCore::SenseAxes(uint64_t t) {
  if (sensors_.Empty()) return;
  int32_t counter[AxisModel::kMaxAxes] = {};
  for (int i = 0; i < AxisModel::kMaxAxes; ++i) counter[i] = Actual(i);
  const uint32_t mask = sensors_.Mask();
  const uint32_t now = (inputs_ & ~mask) | sensors_.Inputs(counter);
  if (now == inputs_) return;
  record_.Event(t, "sensors inputs=%06x", now);
  SetInputs(now, t);
}

void ModuleCore::EvaluateStopCondition(uint64_t t) {
  // A selected input stops when it stands at its stop level.
  const uint32_t atLevel = ~(inputs_ ^ stopStates_) & 0xFFFFFFu;
  const uint32_t emergency = atLevel & stopEmergency_;
  const uint32_t stop = atLevel & stopSelection_;
  if (emergency) emergency_ = true;
  if ((stop || emergency) && !stopped_) {
    stopped_ = true;
    axes_->StopDead();
    wheel_.End();
    record_.Event(t, "%s inputs=%06x", emergency ? "emergency stop" : "stop", inputs_);
  }
}

void ModuleCore::Execute(const uint8_t* c, int size, uint64_t t, std::vector<Answer>& answers) {
  const uint8_t code = c[0];
  const uint8_t* a = c + 2;
  const int n = size - 2;
  record_.Command(t, code, a, n);
  switch (code) {
    case CMD_SET_AXIS_POSITION:
      if (n >= 5 && a[0] < AxisModel::kMaxAxes) {
        sensors_.CounterSet(a[0], axes_->Actual(a[0]), static_cast<int32_t>(Get32(a + 1)));
        record_.Event(t, "set position channel=%u steps=%d physical=%lld", a[0], static_cast<int32_t>(Get32(a + 1)),
                      static_cast<long long>(sensors_.Physical(a[0], static_cast<int32_t>(Get32(a + 1)))));
        commanded_[a[0]] = static_cast<int32_t>(Get32(a + 1));
        axes_->SetPosition(a[0], commanded_[a[0]]);
      }
      break;
    case CMD_POSITION:
      if (n >= 2) {
        refNum_ = Get16(a);
        // Only the low 16 bits travel: the step to the new point is short.
        for (int i = 0; i < std::min((n - 2) / 2, AxisModel::kMaxAxes); ++i) {
          const uint16_t low = Get16(a + 2 + 2 * i);
          commanded_[i] += static_cast<int16_t>(static_cast<uint16_t>(low - static_cast<uint16_t>(commanded_[i])));
        }
        axes_->Point(commanded_);
      }
      break;
    case CMD_STOP_MOTION:
      buffer_.clear();
      axes_->Stop();
      wheel_.Stop(t, record_);
      break;
    case CMD_OUTPUTS:
      if (n >= 4) {
        refNum_ = Get16(a);
        SetOutputs((outputs_ & ~0xFFFFu) | Get16(a + 2), t);
      }
      break;
    case CMD_CLEAR_BUFFER:
      ClearBuffer();
      wheel_.End();
      stopped_ = false;
      emergency_ = false;
      EvaluateStopCondition(t);
      break;
    case CMD_STOP_CONDITION:
      if (n >= 6) {
        auto w24 = [](const uint8_t* p) { return static_cast<uint32_t>(p[0] | (p[1] << 8) | (p[2] << 16)); };
        stopSelection_ = w24(a);
        stopStates_ = w24(a + 3);
        stopEmergency_ = n >= 9 ? w24(a + 6) : 0;
        EvaluateStopCondition(t);
      }
      break;
    case CMD_PWM:
      if (n >= 4) refNum_ = Get16(a);
      if (n >= 4 && pins_) pins_->Pwm(Get16(a + 2), t, record_);
      break;
    case CMD_MAPPING:
      if (pins_) pins_->Functions(a, n, t, record_);
      break;
    case CMD_UNBUFFERED_OUTPUT:
      if (n >= 2) SetOutputBit(a[0], a[1] != 0, t);
      break;
    case CMD_SET_PAR:
      if (n >= 2)
        for (int i = 0; 2 + 4 * (i + 1) <= n; ++i) {
          const uint32_t number = Get16(a) + static_cast<uint32_t>(i);
          // The handwheel's values are the module's to say.
          if (number >= kParHandwheel && number < kParHandwheel + kHandwheelValues) continue;
          parameters_[number] = Get32(a + 2 + 4 * i);
        }
      if (modbus_) modbus_->Configure(parameters_[modbusbatch::kParBaudrate], parameters_[modbusbatch::kParTimeout]);
      if (n >= 6 && Get16(a) == kParThcNomVelocity) thc_.NominalVelocity(Get32(a + 2), t, record_);
      break;
    case CMD_GET_PAR:
      if (n >= 3) {
        Answer r = StatusAnswer();
        r.type = kAnswerParams;
        r.data.resize(kAnswerFixedSize);
        uint32_t wheel[kHandwheelValues];
        wheel_.Read(wheel);
        for (int i = 0; i < std::min<int>(a[2], kMaxValues); ++i) {
          const uint32_t number = Get16(a) + static_cast<uint32_t>(i);
          uint8_t v[4];
          const bool isWheel = number >= kParHandwheel && number < kParHandwheel + kHandwheelValues;
          Put32(v, isWheel ? wheel[number - kParHandwheel] : parameters_[number]);
          r.data.insert(r.data.end(), v, v + 4);
        }
        answers.push_back(std::move(r));
      }
      break;
    case CMD_SYNC_OUTPUT:
      if (n >= 4) {
        refNum_ = Get16(a);
        SetOutputBit(a[2], a[3] != 0, t);
      }
      break;
    case CMD_RAW_DATA:
      if (modbus_ && n > 0)
        modbus_->Submit(std::vector<uint8_t>(a, a + n));
      else if (config_.rawEcho && n > 0)
        QueueRawData(std::vector<uint8_t>(a, a + n));
      break;
    case CMD_FETCH_RAW:
      if (!rawQueue_.empty()) {
        answers.push_back(Answer{kAnswerRaw, std::move(rawQueue_.front())});
        rawQueue_.pop_front();
      }
      break;
    case CMD_DYNAMICS:
    case CMD_FEED_OVERRIDE:
      axes_->Immediate(c, size);
      break;
    case CMD_THC: {
      int64_t p[AxisModel::kMaxAxes];
      Physical(p);
      const int channel = thc_.Channel();
      const int32_t now = Actual(channel);
      int32_t fold = 0;
      thc_.Command(a, n, p, t, record_, &fold);
      // Off: the axis stands where the control left it.
      if (fold != 0) axes_->SetPosition(channel, now);
      break;
    }
    case CMD_HANDWHEEL_SETUP: {
      uint32_t velocity[AxisModel::kMaxAxes];
      for (int c = 0; c < AxisModel::kMaxAxes; ++c) velocity[c] = parameters_[kParHandwheelVelocity + c];
      wheel_.Setup(a, n, velocity, *axes_, t, record_);
      break;
    }
    case CMD_HANDWHEEL_TARGETS:
      wheel_.Targets(a, n, *axes_);
      break;
    default:
      // Velocity, overrides and display commands are recorded; their effect belongs to axis and I/O
      // models that are not simulated yet.
      break;
  }
}

}  // namespace modsim
