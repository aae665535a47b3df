#include "driver/src/quorvinternal.h"

#include <cstring>

#include "base/driverlog.h"
#include "base/timebase.h"

using namespace linkframe;

namespace {

bool IsBroadcast(const uint8_t (&mac)[6]) {
  for (uint8_t b : mac)
    if (b != 0xFF) return false;
  return true;
}

// A scan frame (RESCOM or ENDCOM): a full 20-byte header, sn, an, ab zero.
void BuildScanFrame(uint8_t (&f)[kHeaderSize], const uint8_t* dest, const uint8_t* src, uint16_t len) {
  std::memset(f, 0, sizeof f);
  std::memcpy(f + kDestOffset, dest, 6);
  std::memcpy(f + kSrcOffset, src, 6);
  f[kTypeOffset] = kType0;
  f[kTypeOffset + 1] = kType1;
  Put16(f + kLenOffset, len);
}

bool HasPrefix(const char* s, const char* prefix) { return std::strncmp(s, prefix, std::strlen(prefix)) == 0; }

}  // namespace

QuorvInternal::QuorvInternal(bool openAdapters, const char* onlyAdapter) {
  clock = new AlarmClock();
  jobs = new JobList();
  LogThreadStart("Creator MainThread");
  LogAffinityMasks();
  pthread_rwlock_init(&moduleLock_, nullptr);
  if (!openAdapters) return;
  for (;;) {
    auto* nif = new NetInterface(this);
    if (!OpenNextAdapter(nif, onlyAdapter)) {
      delete nif;
      break;
    }
    nif->opened = true;
    interfaces.push_back(nif);
    nif->StartReadThread();
  }
  if (interfaces.empty()) {
    error.Set(LERR_NO_ADAPTER, "");
    return;
  }
  sendThreadStarted_ = jobs->Start();
  if (!sendThreadStarted_) error.Set(LERR_THREAD, "");
}

QuorvInternal::~QuorvInternal() {
  DriverLog(DLOG_DETAIL, "QuorvInternal destructor, list.clear()");
  // The connections let go of their timers and of the send queue first, so
  // no frame is handed to an adapter that is gone; a frame still arriving
  // finds them detached.
  for (auto& entry : modules) entry.second->Detach();
  for (NetInterface* nif : interfaces) delete nif;  // read threads end here
  interfaces.clear();
  pthread_rwlock_destroy(&moduleLock_);
  DriverLog(DLOG_DETAIL, "QuorvInternal destructor ok");
  delete jobs;
  jobs = nullptr;
  delete clock;
  clock = nullptr;
  for (auto& entry : modules) delete entry.second;
  modules.clear();
  if (devices_) pcap_freealldevs(devices_);
}

NetInterface* QuorvInternal::AddDetachedAdapter(const char* name, const uint8_t (&mac)[6]) {
  auto* nif = new NetInterface(this);
  CopyText(nif->name, sizeof nif->name, name);
  std::memcpy(nif->mac, mac, 6);
  interfaces.push_back(nif);
  if (!sendThreadStarted_) sendThreadStarted_ = jobs->Start();
  return nif;
}

bool QuorvInternal::OpenNextAdapter(NetInterface* nif, const char* onlyAdapter) {
  char err[PCAP_ERRBUF_SIZE] = {};
  if (!listFetched_) {
    listFetched_ = true;
    if (pcap_findalldevs(&devices_, err) != 0) {
      devices_ = nullptr;
      return false;
    }
    nextDevice_ = devices_;
  }
  while (nextDevice_) {
    pcap_if_t* d = nextDevice_;
    nextDevice_ = d->next;
    DriverLog(DLOG_INFO, "Adapter found: %s", d->name);
    CopyText(nif->name, sizeof nif->name, d->name);
    if (d->description) {
      DriverLog(DLOG_INFO, " description: %s", d->description);
      CopyText(nif->description, sizeof nif->description, d->description);
    } else {
      DriverLog(DLOG_INFO, " Adapter no has description");
      nif->description[0] = 0;
    }
    if (onlyAdapter && std::strcmp(nif->name, onlyAdapter) != 0) continue;
    if (HasPrefix(nif->name, "lo") || HasPrefix(nif->name, "wlan") || HasPrefix(nif->name, "any")) continue;
    if (!ReadAdapterMac(nif->name, nif->mac)) continue;
    char text[18];
    DriverLog(DLOG_INFO, " MAC: %s", MacText(nif->mac, text));
    if (!nif->Open()) continue;
    return true;
  }
  if (devices_) pcap_freealldevs(devices_);
  devices_ = nullptr;
  return false;
}

// ----------------------------------------------------------------- lookups

ModuleInfo* QuorvInternal::Pin(uint32_t key) {
  pthread_rwlock_rdlock(&moduleLock_);
  auto it = modules.find(key);
  ModuleInfo* m = it == modules.end() ? nullptr : it->second;
  if (m) m->users.fetch_add(1);
  pthread_rwlock_unlock(&moduleLock_);
  return m;
}

void QuorvInternal::Unpin(ModuleInfo* module) {
  if (module) module->users.fetch_sub(1);
}

size_t QuorvInternal::ModuleCount() {
  pthread_rwlock_rdlock(&moduleLock_);
  const size_t n = modules.size();
  pthread_rwlock_unlock(&moduleLock_);
  return n;
}

// ---------------------------------------------------------------- dispatch

void QuorvInternal::Dispatch(NetInterface* nif, const uint8_t* f, size_t length) {
  const uint32_t key = KeyFromMac(f + kSrcOffset);
  const bool scanAnswer = scanCount.load() > 0 && f[kTypeOffset] == kType0 && f[kTypeOffset + 1] == kType1 &&
                          IsIdentificationAnswer(f, length);
  pthread_rwlock_rdlock(&moduleLock_);
  auto it = modules.find(key);
  ModuleInfo* m = it == modules.end() ? nullptr : it->second;
  if (m) {
    m->lastHeard.store(GetTimeMicros());
    if (scanAnswer) RefreshModule(m, nif, f, length);
    m->HandleRecv(f, length);
  }
  pthread_rwlock_unlock(&moduleLock_);
  if (scanAnswer && !m) RegisterModule(nif, f, length);
}

void QuorvInternal::RefreshModule(ModuleInfo* m, NetInterface* nif, const uint8_t* f, size_t length) {
  ModuleIdentity id;
  ParseIdentification(f, length, id);
  m->SetIdentity(id, f + kSrcOffset, nif);
  Answered(m);
}

ModuleInfo* QuorvInternal::RegisterModule(NetInterface* nif, const uint8_t* f, size_t length) {
  if (length < kHeaderSize) return nullptr;
  const uint32_t key = KeyFromMac(f + kSrcOffset);
  DriverStatAdd(STAT_SCAN_ANSWERS);
  pthread_rwlock_wrlock(&moduleLock_);
  auto it = modules.find(key);
  ModuleInfo* m = nullptr;
  if (it != modules.end()) {
    // Another read thread was quicker.
    m = it->second;
    RefreshModule(m, nif, f, length);
  } else {
    m = new ModuleInfo();
    m->key = key;
    ModuleIdentity id;
    ParseIdentification(f, length, id);
    m->SetIdentity(id, f + kSrcOffset, nif);
    m->lastHeard.store(GetTimeMicros());
    m->Attach(jobs, clock);
    modules.emplace(key, m);
    Answered(m);
  }
  pthread_rwlock_unlock(&moduleLock_);
  return m;
}

void QuorvInternal::Answered(ModuleInfo* m) {
  m->SetModStat(STAT_RESCOM);
  if (!quietOpen.load()) {
    // Right after the reset nothing is in flight: this cannot wait.
    const uint8_t nop[2] = {CMD_NOP, 0};
    m->SendSingle(nop, 2);
  }
}

// -------------------------------------------------------------------- scan

bool QuorvInternal::NetworkScan(const uint8_t (&dest)[6], NetInterface* adapter) {
  if (error.Number() < 0) return false;
  scanCount.fetch_add(1);
  DriverStatAdd(STAT_SCANS);
  const bool broadcast = IsBroadcast(dest);
  const bool everyAdapter = broadcast || !adapter;
  uint8_t frame[kHeaderSize];
  DriverLog(DLOG_INFO, "Network scan started");
  std::vector<NetInterface*> targets;
  if (everyAdapter) targets = interfaces;
  else targets.push_back(adapter);
  size_t count = ModuleCount();
  bool grew = false;
  for (int round = 0; round < kScanRounds || grew; ++round) {
    for (NetInterface* nif : targets) {
      if (round == 0) nif->Acquire();
      BuildScanFrame(frame, dest, nif->mac, kLenRescom);
      if (!nif->Send(frame, sizeof frame)) {
        char src[18];
        MacText(nif->mac, src);
        if (everyAdapter) DriverLog(DLOG_ERROR, "SendBroadcast failed: src=%s ", src);
        else DriverLog(DLOG_ERROR, "Send RESCOM failed: src=%s ", src);
      }
    }
    SleepMicros(kScanRoundUs);
    const size_t now = ModuleCount();
    grew = now > count;
    count = now;
    if (!broadcast && grew) break;
  }
  scanCount.fetch_sub(1);

  bool result = false;
  const uint64_t now = GetTimeMicros();
  pthread_rwlock_wrlock(&moduleLock_);
  for (auto it = modules.begin(); it != modules.end();) {
    ModuleInfo* m = it->second;
    const int32_t state = m->State();
    uint8_t mac[6];
    m->GetMac(mac);
    char text[18];
    MacText(mac, text);
    if (state == STAT_RESCOM) {
      if (!everyAdapter) {
        DriverLog(DLOG_DETAIL, "New Module to open: %s ", text);
        result = true;
      } else {
        NetInterface* nif = m->Interface();
        uint8_t endcom[kHeaderSize];
        if (nif) BuildScanFrame(endcom, mac, nif->mac, kLenEndcom);
        if (nif && nif->Send(endcom, sizeof endcom)) {
          m->SetModStat(STAT_FREE);
          DriverLog(DLOG_NOTICE, "New Module registered: %s ", text);
          DriverStatAdd(STAT_MODULES_FOUND);
          result = true;
        } else {
          DriverLog(DLOG_ERROR, "Scan ENDCOM failed: dst=%s ", text);
          m->SetModStat(STAT_DOWN);
        }
      }
    } else if ((state == STAT_FREE || state == STAT_DOWN) && m->users.load() == 0 &&
               TimeDiff(now, m->lastHeard.load()) > static_cast<int32_t>(kForgetSilentUs)) {
      it = modules.erase(it);
      delete m;
      continue;
    }
    ++it;
  }
  for (NetInterface* nif : targets) nif->Release();
  pthread_rwlock_unlock(&moduleLock_);
  return result;
}
