#include "driver/src/quorvdriver.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "base/timebase.h"
#include "driver/src/quorvinternal.h"

using namespace linkframe;

namespace {

// Truncation towards zero into the wire's ranges; NaN gives 0.
uint16_t U16(double v) {
  if (!(v > 0)) return 0;
  return v >= 65535.0 ? 65535 : static_cast<uint16_t>(v);
}
int16_t I16(double v) {
  if (std::isnan(v)) return 0;
  return static_cast<int16_t>(std::clamp(std::trunc(v), -32768.0, 32767.0));
}
uint32_t U32(double v) {
  if (!(v > 0)) return 0;
  return v >= 4294967295.0 ? 0xFFFFFFFFu : static_cast<uint32_t>(v);
}

// The command under construction: code, length, arguments.
struct Command {
  explicit Command(uint8_t code) { bytes[0] = code; }
  Command& U8(uint32_t v) { bytes[size++] = static_cast<uint8_t>(v); return *this; }
  Command& W16(uint16_t v) { Put16(bytes + size, v); size += 2; return *this; }
  Command& W24(uint32_t v) { return U8(v).U8(v >> 8).U8(v >> 16); }
  Command& W32(uint32_t v) { Put32(bytes + size, v); size += 4; return *this; }
  Command& Raw(const void* p, int n) {
    std::memcpy(bytes + size, p, static_cast<size_t>(n));
    size += n;
    return *this;
  }
  uint8_t* Done() {
    bytes[1] = static_cast<uint8_t>(size - 2);
    return bytes;
  }
  uint8_t bytes[kMaxPayload + 2] = {};
  int size = 2;
};

// Unpins on the way out.
struct Pinned {
  explicit Pinned(ModuleInfo* m) : m(m) {}
  ~Pinned() { QuorvInternal::Unpin(m); }
  Pinned(const Pinned&) = delete;
  Pinned& operator=(const Pinned&) = delete;
  ModuleInfo* operator->() const { return m; }
  explicit operator bool() const { return m != nullptr; }
  ModuleInfo* m;
};

void Detail(char (&out)[64], const char* operation, uint32_t key) {
  char text[10];
  std::snprintf(out, sizeof out, ": %s %s", operation, KeyText(key, text));
}

}  // namespace

QuorvDriver::QuorvDriver(const char* sharedLogName) {
  DriverLogOpen(sharedLogName);
  internal_ = new QuorvInternal(true);
}

QuorvDriver::QuorvDriver(const char* sharedLogName, const char* onlyAdapter) {
  DriverLogOpen(sharedLogName);
  internal_ = new QuorvInternal(true, onlyAdapter);
}

QuorvDriver::~QuorvDriver() {
  delete internal_;
  DriverLogClose();
}

// -------------------------------------------------------------- lookups

ModuleInfo* QuorvDriver::Use(uint32_t key, Allow allow, const char* operation) {
  ModuleInfo* m = internal_->Pin(key);
  char detail[64];
  if (!m) {
    Detail(detail, operation, key);
    internal_->error.Set(LERR_MODULE_NOT_FOUND, detail);
    return nullptr;
  }
  if (allow == Allow::Free) return m;
  const int32_t s = m->State();
  const bool ok = s == STAT_CONNECTED || (allow == Allow::AlsoUpdateBroken && (s == STAT_UPDATE || s == STAT_BROKEN));
  if (!ok) {
    Fail(m, LERR_WRONG_STATE, operation);
    QuorvInternal::Unpin(m);
    return nullptr;
  }
  return m;
}

bool QuorvDriver::Fail(ModuleInfo* m, int32_t number, const char* operation) {
  char detail[64];
  Detail(detail, operation, m->key);
  m->error.Set(number, detail);
  return false;
}

bool QuorvDriver::Send(ModuleInfo* m, const uint8_t* command, int size, SendMode mode, const char* operation) {
  const bool ok = mode == SendMode::Single ? m->SendSingle(command, size) : m->SendBundled(command, size);
  // False when the connection was closed or lost while the command waited for room.
  return ok || Fail(m, LERR_WRONG_STATE, operation);
}

bool QuorvDriver::SendRef(ModuleInfo* m, uint8_t* command, int size, bool onTheFly, uint16_t* refNum,
                          const char* operation) {
  if (!m->SendReferenced(command, size, onTheFly ? SendMode::Bundled : SendMode::Single, refNum, nullptr)) {
    return Fail(m, LERR_WRONG_STATE, operation);
  }
  if (onTheFly) return true;
  // Switched at once: the motion is held until the caller sends it a velocity.
  const uint8_t stop[4] = {CMD_VELOCITY, 2, 0, 0};
  return Send(m, stop, 4, SendMode::Bundled, operation);
}

// ------------------------------------------------------- errors, discovery

bool QuorvDriver::GetError(uint32_t key, void* record, int size) {
  Pinned m(internal_->Pin(key));
  if (m && m->error.Number() != 0) return m->error.Take(record, size);
  return internal_->error.Take(record, size);
}

uint32_t QuorvDriver::FindFirstModule() {
  const uint8_t broadcast[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  internal_->NetworkScan(broadcast, nullptr);
  return internal_->FirstKeyAfter(0, true, [](int32_t s) { return s == STAT_FREE || s == STAT_DOWN; });
}

uint32_t QuorvDriver::FindNextModule(uint32_t key) {
  return internal_->FirstKeyAfter(key, false, [](int32_t s) { return s == STAT_FREE || s == STAT_DOWN; });
}

bool QuorvDriver::GetModuleInfo(uint32_t key, void* record, int size) {
  Pinned m(Use(key, Allow::Free, "GetModuleInfo"));
  if (!m) {
    if (record && size >= 4) std::memset(record, 0, 4);
    return false;
  }
  QuorvModuleRecord r;
  m->FillRecord(r);
  if (record && size > 0) std::memcpy(record, &r, std::min<size_t>(static_cast<size_t>(size), sizeof r));
  return true;
}

bool QuorvDriver::OpenModule(uint32_t key, bool quiet) {
  DriverLog(DLOG_INFO, "OpenModule() start");
  DriverStatAdd(STAT_OPENS);
  bool ok = false;
  Pinned m(Use(key, Allow::Free, "OpenModule"));
  if (m && m->State() != STAT_FREE) {
    Fail(m.m, LERR_WRONG_STATE, "OpenModule");
  } else if (m) {
    m->Reset();
    internal_->quietOpen.store(quiet);
    uint8_t mac[6];
    m->GetMac(mac);
    internal_->NetworkScan(mac, m->Interface());
    if (m->State() == STAT_RESCOM) {
      NetInterface* nif = m->Interface();
      if (m->heldAdapter) m->heldAdapter->Release();
      m->heldAdapter = nif;
      if (nif) nif->Acquire();
      m->SetModStat(STAT_CONNECTED);
      DriverLog(DLOG_INFO, "OpenModule() ok");
      DriverStatAdd(STAT_OPENS_OK);
      ok = true;
    }
    internal_->quietOpen.store(false);
  }
  DriverLog(DLOG_INFO, "OpenModule() end");
  return ok;
}

uint32_t QuorvDriver::SearchModule(const uint8_t* mac) {
  DriverLog(DLOG_INFO, "SearchModule() start");
  uint8_t dest[6];
  std::memcpy(dest, mac, 6);
  const uint32_t key = KeyFromMac(dest);
  for (int attempt = 0; attempt < 2; ++attempt) {
    {
      Pinned m(internal_->Pin(key));
      const int32_t s = m ? m->State() : STAT_DOWN;
      if (m && (s == STAT_FREE || s == STAT_CONNECTED || s == STAT_UPDATE)) {
        DriverLog(DLOG_INFO, "SearchModule() ok");
        return key;
      }
    }
    if (attempt == 0) internal_->NetworkScan(dest, nullptr);
  }
  DriverLog(DLOG_INFO, "SearchModule() fail");
  return 0;
}

bool QuorvDriver::CloseModule(uint32_t key) {
  DriverLog(DLOG_INFO, "CloseModule() start");
  DriverStatAdd(STAT_CLOSES);
  Pinned m(Use(key, Allow::AlsoUpdateBroken, "CloseModule"));
  if (m) {
    const int32_t was = m->State();
    m->SendEndcom();
    m->SetModStat(was == STAT_CONNECTED ? STAT_FREE : STAT_DOWN);
    m->Reset();
    if (m->heldAdapter) m->heldAdapter->Release();
    m->heldAdapter = nullptr;
  }
  DriverLog(DLOG_INFO, "CloseModule() end");
  return static_cast<bool>(m);
}

// ----------------------------------------------------------------- commands

bool QuorvDriver::SetAxisPosition(uint32_t key, int axis, int32_t positionSteps) {
  DriverStatAdd(STAT_CMD_OTHER);
  Pinned m(Use(key, Allow::Connected, "SetAxisPosition"));
  if (!m) return false;
  if (axis < 0 || axis > 5) return Fail(m.m, LERR_RANGE, "SetAxisPosition");
  Command c(CMD_SET_AXIS_POSITION);
  c.U8(static_cast<uint32_t>(axis)).W32(static_cast<uint32_t>(positionSteps));
  return Send(m.m, c.Done(), c.size, SendMode::Single, "SetAxisPosition");
}

bool QuorvDriver::SetPosition(uint32_t key, const int32_t* steps, int n, uint16_t* refNum, int* bufLevel) {
  DriverStatAdd(STAT_CMD_POSITION);
  Pinned m(Use(key, Allow::Connected, "SetPosition"));
  if (!m) return false;
  if (!steps || n < 1 || n > 6) return Fail(m.m, LERR_RANGE, "SetPosition");
  Command c(CMD_POSITION);
  c.W16(0);  // the reference number, given by the connection
  for (int i = 0; i < n; ++i) c.W16(static_cast<uint16_t>(steps[i]));
  if (!m->SendReferenced(c.Done(), c.size, SendMode::Bundled, refNum, bufLevel)) {
    return Fail(m.m, LERR_WRONG_STATE, "SetPosition");
  }
  return true;
}

bool QuorvDriver::SetDynamics(uint32_t key, double acc, double vmax, double filterTime, double estopAcc,
                              double fifth) {
  DriverStatAdd(STAT_CMD_PARAMETER);
  Pinned m(Use(key, Allow::Connected, "SetDynamics"));
  if (!m) return false;
  if (!(acc > 0) || !(vmax > 0) || !(filterTime >= 0) || !(fifth >= 0) || std::isinf(vmax))
    return Fail(m.m, LERR_RANGE, "SetDynamics");
  Command c(CMD_DYNAMICS);
  c.W16(U16(65535.0 / ((vmax / acc) / 0.005)));
  c.W16(std::max<uint16_t>(U16(filterTime / 0.00125), 8));
  if (m->AtLeast135()) {
    c.W16(U16(fifth / 0.00125));
    c.W16(U16(65535.0 / ((vmax / estopAcc) / 0.005)));
  }
  m->SetMaxVelocity(vmax);
  return Send(m.m, c.Done(), c.size, SendMode::Bundled, "SetDynamics");
}

bool QuorvDriver::SetVelocity(uint32_t key, double v) {
  DriverStatAdd(STAT_CMD_OTHER);
  Pinned m(Use(key, Allow::Connected, "SetVelocity"));
  if (!m) return false;
  DriverLog(DLOG_TRACE, "SetVelocity 1");
  const double vmax = m->MaxVelocity();
  // The top of the range rounds to 65535: one step of the u16 scale above vmax.
  if (!(v >= 0) || !(v <= vmax * 1.0000076295109483)) return Fail(m.m, LERR_RANGE, "SetVelocity");
  Command c(CMD_VELOCITY);
  c.W16(vmax > 0 ? U16(v / vmax * 65535.0) : 0);
  DriverLog(DLOG_TRACE, "SetVelocity 2");
  return Send(m.m, c.Done(), c.size, SendMode::Bundled, "SetVelocity");
}

bool QuorvDriver::StopMotion(uint32_t key) {
  DriverStatAdd(STAT_CMD_OTHER);
  Pinned m(Use(key, Allow::Connected, "StopMotion"));
  if (!m) return false;
  Command c(CMD_STOP_MOTION);
  return Send(m.m, c.Done(), c.size, SendMode::Single, "StopMotion");
}

bool QuorvDriver::SetFeedOverride(uint32_t key, double percent) {
  DriverStatAdd(STAT_CMD_OTHER);
  Pinned m(Use(key, Allow::Connected, "SetFeedOverride"));
  if (!m) return false;
  const double p = std::isnan(percent) ? 0 : std::clamp(percent, 0.0, 100.0);
  Command c(CMD_FEED_OVERRIDE);
  c.W16(static_cast<uint16_t>(I16(p * 1024 / 100)));
  return Send(m.m, c.Done(), c.size, SendMode::Single, "SetFeedOverride");
}

bool QuorvDriver::SetOutputs(uint32_t key, uint16_t outputWord, bool onTheFly, uint16_t* refNum) {
  DriverStatAdd(STAT_CMD_OUTPUTS);
  Pinned m(Use(key, Allow::Connected, "SetOutputs"));
  if (!m) return false;
  Command c(CMD_OUTPUTS);
  c.W16(0).W16(outputWord);
  return SendRef(m.m, c.Done(), c.size, onTheFly, refNum, "SetOutputs");
}

bool QuorvDriver::ClearBuffer(uint32_t key) {
  DriverStatAdd(STAT_CMD_OTHER);
  Pinned m(Use(key, Allow::Connected, "ClearBuffer"));
  if (!m) return false;
  Command c(CMD_CLEAR_BUFFER);
  return Send(m.m, c.Done(), c.size, SendMode::Single, "ClearBuffer");
}

bool QuorvDriver::SetStopCondition(uint32_t key, uint32_t selection, uint32_t states, uint32_t emergency) {
  DriverStatAdd(STAT_CMD_STOPCOND);
  Pinned m(Use(key, Allow::Connected, "SetStopCondition"));
  if (!m) return false;
  if ((selection | states | emergency) > 0xFFFFFFu) return Fail(m.m, LERR_RANGE, "SetStopCondition");
  Command c(CMD_STOP_CONDITION);
  if (m->AtLeast135()) c.W24(selection).W24(states).W24(emergency);
  else c.W24(selection | emergency).W24(states);
  return Send(m.m, c.Done(), c.size, SendMode::Single, "SetStopCondition");
}

bool QuorvDriver::SetMapping(uint32_t key, const uint8_t* bytes, int pairs) {
  DriverStatAdd(STAT_CMD_MAPPING);
  Pinned m(Use(key, Allow::Connected, "SetMapping"));
  if (!m) return false;
  if (pairs < 0 || (pairs > 0 && !bytes)) return Fail(m.m, LERR_RANGE, "SetMapping");
  for (int i = 0; i < pairs; ++i) {
    Command c(CMD_MAPPING);
    c.Raw(bytes + 2 * i, 2);
    if (!Send(m.m, c.Done(), c.size, SendMode::Bundled, "SetMapping")) return false;
  }
  return true;
}

bool QuorvDriver::SetPwm(uint32_t key, double dutyPercent, double q, bool onTheFly, uint16_t* refNum) {
  DriverStatAdd(STAT_CMD_PWM);
  Pinned m(Use(key, Allow::Connected, "SetPwm"));
  if (!m) return false;
  const double p = std::isnan(dutyPercent) ? 0 : std::clamp(dutyPercent, 0.0, 100.0);
  Command c(CMD_PWM);
  c.W16(0).W16(U16(p * 65535 / 100));
  if (m->NewerThan131()) c.W16(static_cast<uint16_t>(I16(q * 1023.9) & 0x3FF));
  return SendRef(m.m, c.Done(), c.size, onTheFly, refNum, "SetPwm");
}

bool QuorvDriver::SetSpindleOverride(uint32_t key, double percent) {
  DriverStatAdd(STAT_CMD_OTHER);
  Pinned m(Use(key, Allow::Connected, "SetSpindleOverride"));
  if (!m) return false;
  const double p = std::isnan(percent) ? 0 : std::clamp(percent, 0.0, 150.0);
  Command c(CMD_SPINDLE_OVERRIDE);
  c.W16(static_cast<uint16_t>(I16(p * 1024 / 100)));
  return Send(m.m, c.Done(), c.size, SendMode::Single, "SetSpindleOverride");
}

bool QuorvDriver::UBufOutput(uint32_t key, int output, int state) {
  DriverStatAdd(STAT_CMD_OUTPUTS);
  Pinned m(Use(key, Allow::Connected, "UBufOutput"));
  if (!m) return false;
  if (output < 0 || output > 255 || state < 0 || state > 255) return Fail(m.m, LERR_RANGE, "UBufOutput");
  Command c(CMD_UNBUFFERED_OUTPUT);
  c.U8(static_cast<uint32_t>(output)).U8(static_cast<uint32_t>(state));
  DriverLog(DLOG_DETAIL, "UBufOutput c=%d l=%d, b=%d s=%d", CMD_UNBUFFERED_OUTPUT, 2, output, state);
  return Send(m.m, c.Done(), c.size, SendMode::Single, "UBufOutput");
}

bool QuorvDriver::SetThc(uint32_t key, const ThcSettings& t) {
  DriverStatAdd(STAT_CMD_OTHER);
  Pinned m(Use(key, Allow::Connected, "SetThc"));
  if (!m) return false;
  if (t.axis < 0 || t.axis > 5 || !(t.d >= 1) || t.b <= t.a || t.c <= 49) return Fail(m.m, LERR_RANGE, "SetThc");
  double g = std::isnan(t.gain) ? 1.0 / 256 : std::clamp(t.gain, 1.0 / 256, 127.0);
  if (t.inverted) g = -g;
  const double u = std::isnan(t.voltage) ? 0 : std::clamp(t.voltage, 0.0, 10.0);
  Command c(CMD_THC);
  c.U8(16).U8(static_cast<uint32_t>(t.axis)).U8(255).U8(t.automatic ? 3 : 0);
  c.W16(static_cast<uint16_t>(I16(g * 256))).W16(static_cast<uint16_t>(I16(u * 409.5)));
  c.W32(t.a).W32(t.b).W32(t.c);
  c.W16(static_cast<uint16_t>(I16(t.d / 200))).W16(t.e).W16(static_cast<uint16_t>(I16(t.w * 409.5)));
  return Send(m.m, c.Done(), c.size, SendMode::Single, "SetThc");
}

bool QuorvDriver::SetPar(uint32_t key, uint16_t number, const uint32_t* values, int n) {
  DriverStatAdd(STAT_CMD_PARAMETER);
  Pinned m(Use(key, Allow::Connected, "SetPar"));
  if (!m) return false;
  if (n < 0 || n > 6 || (n > 0 && !values)) return Fail(m.m, LERR_RANGE, "SetPar");
  Command c(CMD_SET_PAR);
  c.W16(number);
  for (int i = 0; i < n; ++i) c.W32(values[i]);
  return Send(m.m, c.Done(), c.size, SendMode::Single, "SetPar");
}

bool QuorvDriver::GetPar(uint32_t key, uint16_t number, int count, uint32_t* values) {
  DriverStatAdd(STAT_CMD_PARAMETER);
  Pinned m(Use(key, Allow::Connected, "GetPar"));
  if (!m) return false;
  if (count < 0 || count > 6 || (count > 0 && !values)) return Fail(m.m, LERR_RANGE, "GetPar");
  Command c(CMD_GET_PAR);
  c.W16(number).U8(static_cast<uint32_t>(count));
  if (!Send(m.m, c.Done(), c.size, SendMode::Single, "GetPar")) return false;
  if (!m->FlushAndWait()) {
    return Fail(m.m, LERR_WRONG_STATE, "GetPar");
  }
  m->ReadParameters(values, count);
  return true;
}

bool QuorvDriver::SetSyncOutput(uint32_t key, int output, int state, bool onTheFly, uint16_t* refNum) {
  DriverStatAdd(STAT_CMD_OUTPUTS);
  Pinned m(Use(key, Allow::Connected, "SetSyncOutput"));
  if (!m) return false;
  if (output < 0 || output > 255 || state < 0 || state > 255) return Fail(m.m, LERR_RANGE, "SetSyncOutput");
  Command c(CMD_SYNC_OUTPUT);
  c.W16(0).U8(static_cast<uint32_t>(output)).U8(static_cast<uint32_t>(state));
  return SendRef(m.m, c.Done(), c.size, onTheFly, refNum, "SetSyncOutput");
}

bool QuorvDriver::SetHandwheelJog(uint32_t key, double h1, double h2, double h3, double h4) {
  DriverStatAdd(STAT_CMD_OTHER);
  Pinned m(Use(key, Allow::Connected, "SetHandwheelJog"));
  if (!m) return false;
  Command c(CMD_HANDWHEEL_SETUP);
  if (h1 > 0) {
    c.W32(U32(std::min((h1 / h2) / 200, 1.0) * 1073741824.0));
    c.U8(static_cast<uint16_t>(I16(h3 / 0.005)) & 0xFF).U8(static_cast<uint16_t>(I16(h4 / 0.00125)) & 0xFF);
  } else {
    c.W32(0).U8(0).U8(0);
  }
  return Send(m.m, c.Done(), c.size, SendMode::Single, "SetHandwheelJog");
}

bool QuorvDriver::SetHandwheelTargets(uint32_t key, uint32_t value, const uint32_t* targets, int n) {
  DriverStatAdd(STAT_CMD_OTHER);
  Pinned m(Use(key, Allow::Connected, "SetHandwheelTargets"));
  if (!m) return false;
  if (n < 1 || n > 6 || !targets) return Fail(m.m, LERR_RANGE, "SetHandwheelTargets");
  Command c(CMD_HANDWHEEL_TARGETS);
  c.W32(value);
  for (int i = 0; i < n; ++i) c.W32(targets[i]);
  return Send(m.m, c.Done(), c.size, SendMode::Single, "SetHandwheelTargets");
}

bool QuorvDriver::SetDisplayText(uint32_t key, uint16_t value, const char* text, int n) {
  DriverStatAdd(STAT_CMD_OTHER);
  Pinned m(Use(key, Allow::Connected, "SetDisplayText"));
  if (!m) return false;
  if (n < 1 || n > 60 || !text) return Fail(m.m, LERR_RANGE, "SetDisplayText");
  Command c(CMD_DISPLAY_TEXT);
  c.W16(value).Raw(text, n);
  return Send(m.m, c.Done(), c.size, SendMode::Bundled, "SetDisplayText");
}

bool QuorvDriver::SendRawData(uint32_t key, const uint8_t* data, int n) {
  DriverStatAdd(STAT_CMD_RAW);
  Pinned m(Use(key, Allow::Connected, "SendRawData"));
  if (!m) return false;
  if (n < 1 || n > 254 || !data) return Fail(m.m, LERR_RANGE, "SendRawData");
  Command c(CMD_RAW_DATA);
  c.Raw(data, n);
  return Send(m.m, c.Done(), c.size, SendMode::Single, "SendRawData");
}

// ------------------------------------------------------------------ reading

bool QuorvDriver::ReadPosition(uint32_t key, uint16_t* refNum, int32_t* positions, int n) {
  DriverStatAdd(STAT_READ_POSITION);
  Pinned m(Use(key, Allow::AlsoUpdateBroken, "ReadPosition"));
  if (!m) return false;
  if (positions ? (n < 1 || n > 6) : n > 6) return Fail(m.m, LERR_RANGE, "ReadPosition");
  m->ReadPositions(refNum, positions, positions ? n : 0);
  return true;
}

bool QuorvDriver::ReadInputs(uint32_t key, uint32_t* inputs) {
  DriverStatAdd(STAT_READ_INPUTS);
  Pinned m(Use(key, Allow::Connected, "ReadInputs"));
  if (!m) return false;
  if (!inputs) return Fail(m.m, LERR_RANGE, "ReadInputs");
  *inputs = m->Inputs();
  return true;
}

bool QuorvDriver::ReadStatus(uint32_t key, int* level, int* status) {
  DriverStatAdd(STAT_READ_STATUS);
  Pinned m(Use(key, Allow::AlsoUpdateBroken, "ReadStatus"));
  if (!m) return false;
  if (!level && !status) return Fail(m.m, LERR_RANGE, "ReadStatus");
  int l = 0, s = 0;
  m->GetStatus(&l, &s);
  if (level) *level = l;
  if (status) *status = s;
  if ((s & kStatusRawWaiting) && m->State() == STAT_CONNECTED) {
    const uint8_t fetch[2] = {CMD_FETCH_RAW, 0};
    m->SendBundled(fetch, 2);
  }
  return true;
}

bool QuorvDriver::ReadRawData(uint32_t key, uint8_t* data, int size, int* count) {
  DriverStatAdd(STAT_CMD_RAW);
  Pinned m(Use(key, Allow::Connected, "ReadRawData"));
  if (!m) return false;
  if (!data || size < 0) return Fail(m.m, LERR_RANGE, "ReadRawData");
  const int n = m->TakeRawData(data, size);
  if (count) *count = n;
  return n > 0;
}

bool QuorvDriver::Synchronize(uint32_t key, bool wait) {
  DriverStatAdd(STAT_SYNC);
  Pinned m(Use(key, Allow::AlsoUpdateBroken, "Synchronize"));
  if (!m) return false;
  const int32_t s = m->State();
  if (s == STAT_UPDATE) return m->FlushAndWait();
  if (s != STAT_CONNECTED) {
    return Fail(m.m, LERR_WRONG_STATE, "Synchronize");
  }
  const uint8_t nop[2] = {CMD_NOP, 0};
  if (wait) {
    DriverStatAdd(STAT_CMD_NOP);
    if (!Send(m.m, nop, 2, SendMode::Single, "Synchronize")) return false;
    if (m->FlushAndWait()) return true;
    return Fail(m.m, LERR_WRONG_STATE, "Synchronize");
  }
  if (TimeDiff(GetTimeMicros(), m->LastReceiveMicros()) > 20000) {
    DriverStatAdd(STAT_CMD_NOP);
    return Send(m.m, nop, 2, SendMode::Single, "Synchronize");
  }
  return true;
}

bool QuorvDriver::RequestStatus(uint32_t key) {
  Pinned m(Use(key, Allow::Connected, "RequestStatus"));
  if (!m) return false;
  // The window full: sending would wait for an answer that may not come.
  if (m->FramesInFlight() >= NetworkBuffer::kWindow) return false;
  DriverStatAdd(STAT_CMD_NOP);
  const uint8_t nop[2] = {CMD_NOP, 0};
  return Send(m.m, nop, 2, SendMode::Single, "RequestStatus");
}

int QuorvDriver::FramesInFlight(uint32_t key) {
  Pinned m(internal_->Pin(key));
  return m ? m->FramesInFlight() : -1;
}

bool QuorvDriver::ConnectionIsBad(uint32_t key) {
  Pinned m(internal_->Pin(key));
  if (!m) return true;
  const int32_t s = m->State();
  if (s != STAT_CONNECTED && s != STAT_UPDATE) return true;
  return m->ConnectionIsBad();
}
