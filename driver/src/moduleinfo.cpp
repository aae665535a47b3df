#include "driver/src/moduleinfo.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "base/driverlog.h"
#include "driver/src/netinterface.h"

using namespace linkframe;

bool IsIdentificationAnswer(const uint8_t* frame, size_t length) {
  return length > kAnswerTypeOffset && frame[kAnswerLenOffset] != 0 && frame[kAnswerTypeOffset] == kAnswerIdent;
}

void ParseIdentification(const uint8_t* frame, size_t length, ModuleIdentity& out) {
  out = ModuleIdentity{};
  if (length <= kAnswerDataOffset) return;
  const size_t n = std::min<size_t>(frame[kAnswerLenOffset], length - kAnswerDataOffset);
  const char* text = reinterpret_cast<const char*>(frame + kAnswerDataOffset);
  const char* end = text + n;
  const char* lf1 = std::find(text, end, '\n');
  const char* lf2 = lf1 == end ? end : std::find(lf1 + 1, end, '\n');
  auto copy = [](char* dst, size_t size, const char* from, const char* to) {
    const size_t len = std::min<size_t>(static_cast<size_t>(to - from), size - 1);
    std::memcpy(dst, from, len);
    dst[len] = 0;  // an embedded zero byte ends the text early, as in C
  };
  if (lf2 == end) {
    copy(out.name, sizeof out.name, text, lf1);
    return;
  }
  copy(out.name, sizeof out.name, text, lf1);
  copy(out.hardware, sizeof out.hardware, lf1 + 1, lf2);
  copy(out.software, sizeof out.software, lf2 + 1, end);
}

ModuleInfo::ModuleInfo() = default;

ModuleInfo::~ModuleInfo() {
  // Timers and the send thread must be done with us before the members go.
  Detach();
}

void ModuleInfo::SetIdentity(const ModuleIdentity& identity, const uint8_t* from, NetInterface* adapter) {
  CriticalSectionLocker lock(signal_);
  std::memcpy(name_, identity.name, sizeof name_);
  std::memcpy(hardware_, identity.hardware, sizeof hardware_);
  std::memcpy(software_, identity.software, sizeof software_);
  std::memcpy(mac_, from, 6);
  std::memcpy(moduleAddress_, from, 6);
  if (adapter) std::memcpy(ownAddress_, adapter->mac, 6);
  interface_.store(adapter, std::memory_order_release);
  newerThan131_ = std::strcmp(software_, "Sw V1.31") > 0;
  atLeast135_ = std::strcmp(software_, "Sw V1.35") >= 0;
  DriverLog(DLOG_INFO, "NewModule: %s hw=%s sw=%s", name_, hardware_, software_);
}

void ModuleInfo::FillRecord(QuorvModuleRecord& r) {
  CriticalSectionLocker lock(signal_);
  r = QuorvModuleRecord{};
  r.key = key;
  std::memcpy(r.software, software_, sizeof r.software);
  std::memcpy(r.hardware, hardware_, sizeof r.hardware);
  CopyText(r.name, sizeof r.name, name_);
  std::memcpy(r.mac, mac_, 6);
  r.state = State();
  r.bufferSize = static_cast<int32_t>(kBufferSize);
  if (NetInterface* nif = Interface()) CopyText(r.adapter, sizeof r.adapter, nif->name);
}

void ModuleInfo::GetMac(uint8_t (&out)[6]) {
  CriticalSectionLocker lock(signal_);
  std::memcpy(out, mac_, 6);
}

bool ModuleInfo::NewerThan131() {
  CriticalSectionLocker lock(signal_);
  return newerThan131_;
}

bool ModuleInfo::AtLeast135() {
  CriticalSectionLocker lock(signal_);
  return atLeast135_;
}

double ModuleInfo::MaxVelocity() {
  CriticalSectionLocker lock(signal_);
  return maxVelocity_;
}

void ModuleInfo::SetMaxVelocity(double v) {
  CriticalSectionLocker lock(signal_);
  maxVelocity_ = v;
}

bool ModuleInfo::TransmitFrame(const uint8_t* frame, size_t length) {
  NetInterface* nif = Interface();
  return nif && nif->Send(frame, length);
}
