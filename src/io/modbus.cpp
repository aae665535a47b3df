#include "io/modbus.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "base/logging.h"
#include "params/parafile.h"

using namespace modbusbatch;

namespace {

// Log codes: category in/output (0x80), priorities 1 (faults), 3 and 6.
constexpr int32_t kLogFault = 129;
constexpr int32_t kLogSchedule = 131;
constexpr int32_t kLogDetail = 134;

// Whether tick a lies after tick b, across the wrap of the counter.
bool After(int32_t a, int32_t b) { return static_cast<int32_t>(static_cast<uint32_t>(a) - static_cast<uint32_t>(b)) > 0; }

}  // namespace

int32_t ModbusRegister::Pin() const {
  return Modbus::PinOf(tcpIp, write, device ? device->address : 0, number);
}

int32_t ModbusRegister::IntervalTicks() const { return std::max<int32_t>(1, (std::max(intervalMs, 0) + 20) / 40); }

double RegisterToValue(uint16_t reg, int32_t minReg, int32_t maxReg, double minVal, double maxVal) {
  if (maxReg == minReg) return minVal;
  const double r = std::clamp<double>(reg, std::min(minReg, maxReg), std::max(minReg, maxReg));
  return minVal + (maxVal - minVal) * (r - minReg) / (maxReg - minReg);
}

uint16_t ValueToRegister(double value, int32_t minReg, int32_t maxReg, double minVal, double maxVal) {
  double r = minReg;
  if (maxVal != minVal && std::isfinite(value)) r = minReg + (value - minVal) * (maxReg - minReg) / (maxVal - minVal);
  const double lo = std::max<double>(0, std::min(minReg, maxReg));
  const double hi = std::min<double>(65535, std::max(minReg, maxReg));
  if (lo > hi) return static_cast<uint16_t>(std::clamp<double>(minReg, 0, 65535));
  return static_cast<uint16_t>(std::lround(std::clamp(r, lo, hi)));
}

int32_t Modbus::PinOf(bool tcpIp, bool write, uint8_t device, uint16_t number) {
  return -((static_cast<int32_t>(tcpIp) << 28) + (static_cast<int32_t>(write) << 24) +
           (static_cast<int32_t>(device) << 16) + number);
}

std::string Modbus::PinText(int32_t pin) const {
  if (!IsRegisterPin(pin)) return std::string();
  const uint32_t v = static_cast<uint32_t>(-static_cast<int64_t>(pin));
  const unsigned device = (v >> 16) & 0xFF, reg = v & 0xFFFF;
  char text[48];
  if (v & (1u << 28))
    std::snprintf(text, sizeof text, "net #N%u", reg);
  else if (displayHex)
    std::snprintf(text, sizeof text, "MB: %04X-%d", reg, device);
  else
    std::snprintf(text, sizeof text, "MB: %04u-%d", reg, device);
  return text;
}

bool Modbus::AddDevice(uint8_t address, const std::string& name) {
  if (address == 0) return false;
  ModbusDevice& d = devices_[address];
  d.address = address;
  d.name = name;
  return true;
}

ModbusRegister* Modbus::AddRegister(uint8_t device, uint16_t number, bool write, bool tcpIp, int32_t intervalMs,
                                    const std::string& name) {
  auto dev = devices_.find(device);
  if (dev == devices_.end()) return nullptr;
  const int32_t pin = PinOf(tcpIp, write, device, number);
  auto [it, added] = registers_.try_emplace(pin);
  ModbusRegister& r = it->second;
  if (added) ++dev->second.useCount;
  r.name = name;
  r.device = &dev->second;
  r.number = number;
  r.write = write;
  r.tcpIp = tcpIp;
  r.intervalMs = intervalMs;
  if (!write) ScheduleRead(r);
  return &r;
}

bool Modbus::RemoveRegister(int32_t pin) {
  auto it = registers_.find(pin);
  if (it == registers_.end()) return false;
  ModbusDevice* d = it->second.device;
  registers_.erase(it);  // a schedule entry left behind finds no register and is dropped
  if (d && --d->useCount <= 0) devices_.erase(d->address);
  return true;
}

void Modbus::Clear() {
  registers_.clear();
  devices_.clear();
  schedule_ = {};
  dispatched_.clear();
}

ModbusRegister* Modbus::FindRegister(int32_t pin) {
  auto it = registers_.find(pin);
  return it == registers_.end() ? nullptr : &it->second;
}

const ModbusRegister* Modbus::FindRegister(int32_t pin) const {
  auto it = registers_.find(pin);
  return it == registers_.end() ? nullptr : &it->second;
}

void Modbus::ReadConfig(const ParaFile& f) {
  int v = 0;
  bool keep = false;
  f.GetBool("KeepExisting", keep);
  if (!keep) Clear();
  if (f.GetInt("Baudrate", v)) baudrate = std::max(v, 9600);
  if (f.GetInt("Timeout", v)) timeoutMs = std::max(v, 1);
  f.GetBool("DisplayHex", displayHex);
  int n = 0;
  f.GetInt("NumDevices", n);
  for (int i = 0; i < n; ++i) {
    int address = 0;
    std::string name;
    if (!f.GetInt("DevAdr", i, address) || address <= 0 || address > 255) continue;
    f.GetString("DevName", i, name);
    AddDevice(static_cast<uint8_t>(address), name);
  }
  n = 0;
  f.GetInt("NumRegisters", n);
  for (int i = 0; i < n; ++i) {
    int device = 0, number = 0, interval = 0;
    bool write = false, tcpIp = false;
    std::string name;
    if (!f.GetInt("RegAdr", i, device) || device <= 0 || device > 255) continue;
    if (!f.GetInt("RegNum", i, number) || number < 0 || number > 0xFFFF) continue;
    f.GetString("RegName", i, name);
    f.GetInt("RegInterval", i, interval);
    f.GetBool("RegWrite", i, write);
    f.GetBool("RegTcpIp", i, tcpIp);
    AddRegister(static_cast<uint8_t>(device), static_cast<uint16_t>(number), write, tcpIp, interval, name);
  }
  // Devices no register refers to are not kept.
  for (auto it = devices_.begin(); it != devices_.end();) it = it->second.useCount > 0 ? std::next(it) : devices_.erase(it);
}

bool Modbus::RegisterActive(int32_t pin) const {
  uint16_t v = 0;
  return GetValue(pin, v) && v != 0;
}

void Modbus::WriteConfig(ParaFile& f) {
  f.SetInt("Baudrate", baudrate);
  f.SetInt("Timeout", timeoutMs);
  f.SetBool("DisplayHex", displayHex);
  f.SetInt("NumDevices", static_cast<int>(devices_.size()));
  int i = 0;
  for (const auto& [address, d] : devices_) {
    f.SetInt("DevAdr", i, address);
    f.SetString("DevName", i, d.name);
    ++i;
  }
  f.SetInt("NumRegisters", static_cast<int>(registers_.size()));
  i = 0;
  for (const auto& [pin, r] : registers_) {
    f.SetInt("RegAdr", i, r.device ? r.device->address : 0);
    f.SetInt("RegNum", i, r.number);
    f.SetString("RegName", i, r.name);
    f.SetInt("RegInterval", i, r.intervalMs);
    f.SetBool("RegWrite", i, r.write);
    f.SetBool("RegTcpIp", i, r.tcpIp);
    ++i;
  }
}

bool Modbus::GetValue(int32_t pin, uint16_t& value) const {
  const ModbusRegister* r = FindRegister(pin);
  if (!r) return false;
  value = r->value;
  return true;
}

bool Modbus::SetValue(int32_t pin, uint16_t value) {
  ModbusRegister* r = FindRegister(pin);
  if (!r || !r->write) return false;
  r->value = value;
  if (!r->queued) {
    Queue(*r, tick_ + 1);
    LogMessage(kLogSchedule, "RescheduleWrite reg=%d t=%d", r->number, r->dueTick);
  }
  return true;
}

void Modbus::ScheduleRead(ModbusRegister& r) {
  if (r.write || r.queued) return;
  Queue(r, tick_ + r.IntervalTicks());
  LogMessage(kLogSchedule, "RescheduleRead reg=%d t=%d", r.number, r.dueTick);
}

void Modbus::Queue(ModbusRegister& r, int32_t tick) {
  r.dueTick = tick;
  r.queued = true;
  schedule_.push(Due{tick, order_++, r.Pin()});
}

void Modbus::Cycle(ModbusPort* main) {
  ++tick_;
  if (!main) return;
  if (main != configured_ || baudrate != configuredBaud_ || timeoutMs != configuredTimeout_) {
    // A batch that went to a module that is gone: its answer never comes.
    if (pending_ && main != configured_) DropBatch();
    if (!main->Configure(baudrate, timeoutMs)) return;
    configured_ = main;
    configuredBaud_ = baudrate;
    configuredTimeout_ = timeoutMs;
  }
  if (pending_) HandleResults(*main);
  if (pending_ && std::chrono::steady_clock::now() - sentAt_ > answerDeadline_) DropBatch();
  if (!pending_) Dispatch(*main);
}

void Modbus::Dispatch(ModbusPort& main) {
  batch_.Clear();
  dispatched_.clear();
  while (!schedule_.empty() && batch_.Free() > kMinFree) {
    const Due top = schedule_.top();
    ModbusRegister* r = FindRegister(top.pin);
    if (!r || !r->queued || r->dueTick != top.tick) {
      schedule_.pop();  // removed, or queued again since
      continue;
    }
    if (After(top.tick, tick_)) break;
    const int slot = r->write ? kWriteSlot : kReadSlot;
    // Taken off the schedule only when its entry fits; otherwise it leads
    // the next batch.
    if (!batch_.Fits(slot)) break;
    schedule_.pop();
    LogMessage(kLogSchedule, "Dispatch Action reg=%d w=%d t=%d", r->number, r->write, r->dueTick);
    uint8_t request[16];
    const uint8_t device = r->device ? r->device->address : 0;
    int n = 0;
    if (r->write) {
      n = WriteRequest(device, r->number, r->value, request);
      r->queued = false;
    } else {
      n = ReadRequest(device, r->number, request);
      r->queued = false;
      Queue(*r, tick_ + r->IntervalTicks());
      LogMessage(kLogSchedule, "Reschedule reg=%d t=%d", r->number, r->dueTick);
    }
    batch_.Push(request, n, slot);
    dispatched_.push_back(top.pin);
  }
  if (dispatched_.empty()) return;
  if (main.SendRaw(batch_.Data(), batch_.Size())) {
    pending_ = true;
    sentAt_ = std::chrono::steady_clock::now();
    answerDeadline_ = std::chrono::milliseconds(static_cast<int64_t>(dispatched_.size()) * (timeoutMs + 50) + kLinkMarginMs);
    return;
  }
  // Not sent: the writes go again next cycle, the reads are scheduled anyway.
  for (int32_t pin : dispatched_)
    if (ModbusRegister* r = FindRegister(pin); r && r->write && !r->queued) Queue(*r, tick_ + 1);
  dispatched_.clear();
}

void Modbus::DropBatch() {
  LogMessage(kLogFault, "Handle Results no answer from the module, %zu requests dropped", dispatched_.size());
  pending_ = false;
  ++noAnswer_;
  for (int32_t pin : dispatched_)
    if (ModbusRegister* r = FindRegister(pin); r && r->write && !r->queued) Queue(*r, tick_);
  dispatched_.clear();
}

void Modbus::HandleResults(ModbusPort& main) {
  uint8_t answer[kMaxSize];
  int count = 0;
  if (!main.ReadRaw(answer, kMaxSize, &count) || count <= 0) return;
  pending_ = false;
  EntryWalker walk(answer, count, kWalkLimit);
  size_t i = 0;
  for (; i < dispatched_.size(); ++i) {
    const uint8_t* a = nullptr;
    int length = 0, slot = 0;
    if (!walk.Next(a, length, slot) || length == 0 || length > kMaxAnswer) break;
    ModbusRegister* r = FindRegister(dispatched_[i]);
    if (!r) continue;  // removed while its transaction ran
    const uint8_t function = length >= 2 ? a[1] : 0;
    ++answers_;
    if (function == kReadHolding && length == 6) {
      r->value = static_cast<uint16_t>((a[4] << 8) | a[5]);
      LogMessage(kLogSchedule, "Handle Results reg=%d v=%d", r->number, r->value);
    } else if (function == kWriteMultiple && length == 6) {
      LogMessage(kLogDetail, "Handle Results WriteOk reg=%d", r->number);
    } else if (function == (kReadHolding | kException)) {
      LogMessage(kLogFault, "Handle Results ReadFault reg=%d", r->number);
    } else if (function == (kWriteMultiple | kException)) {
      LogMessage(kLogFault, "Handle Results WriteFault reg=%d", r->number);
    }
  }
  if (i < dispatched_.size()) {
    // The walk ended at a transaction without an answer: the drive was
    // silent or its answer was corrupt. Reads come again at their interval;
    // a write whose fate is unknown is sent again, so a set-point is not lost.
    if (ModbusRegister* r = FindRegister(dispatched_[i])) {
      ++noAnswer_;
      LogMessage(kLogFault, "Handle Results NoAnswer reg=%d", r->number);
    }
    for (; i < dispatched_.size(); ++i)
      if (ModbusRegister* r = FindRegister(dispatched_[i]); r && r->write && !r->queued) {
        Queue(*r, tick_);
        LogMessage(kLogSchedule, "RescheduleWrite reg=%d t=%d", r->number, r->dueTick);
      }
  }
  dispatched_.clear();
}
