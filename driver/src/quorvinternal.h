// The driver's inside: the opened adapters with their read threads, the
// module table, the network scan, the send queue and the timer service.
#pragma once

#include <pcap/pcap.h>
#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

#include "driver/src/alarmclock.h"
#include "driver/src/linkerror.h"
#include "driver/src/moduleinfo.h"
#include "driver/src/netinterface.h"
#include "driver/src/networkbuffer.h"

class QuorvInternal {
 public:
  static constexpr int kScanRounds = 3;
  static constexpr uint32_t kScanRoundUs = 333000;     // wait for answers per round, µs
  static constexpr uint64_t kForgetSilentUs = 30000000;  // a free module silent this long is dropped, µs

  // Opens every usable adapter and starts the threads. With `openAdapters`
  // false nothing is opened and no error is recorded: harnesses that feed
  // frames by hand add their adapter with AddDetachedAdapter.
  // onlyAdapter: the capture device name of the one adapter to open (null:
  // every usable one).
  explicit QuorvInternal(bool openAdapters = true, const char* onlyAdapter = nullptr);
  ~QuorvInternal();
  QuorvInternal(const QuorvInternal&) = delete;
  QuorvInternal& operator=(const QuorvInternal&) = delete;

  // An adapter without capture (frames handed to it go nowhere); starts the
  // send thread if it is not running.
  NetInterface* AddDetachedAdapter(const char* name, const uint8_t (&mac)[6]);

  // A received frame (from a read thread): offered to a running scan, then
  // handed to the connection of the module that sent it.
  void Dispatch(NetInterface* adapter, const uint8_t* frame, size_t length);
  // The scan's handling of an identification answer from an unknown module:
  // creates it (state STAT_RESCOM). Returns the module.
  ModuleInfo* RegisterModule(NetInterface* adapter, const uint8_t* frame, size_t length);

  // Sends RESCOM to `dest` (all bytes 0xFF: broadcast) on `adapter`, or on
  // every adapter without one, and collects the answers. True when a module
  // was registered or is ready to be opened.
  bool NetworkScan(const uint8_t (&dest)[6], NetInterface* adapter);

  // Looks a module up under the shared lock and pins it: a pinned module is
  // not deleted. Null when unknown.
  ModuleInfo* Pin(uint32_t key);
  static void Unpin(ModuleInfo* module);
  // Keys in key order whose state passes `accept`.
  template <class Pred>
  uint32_t FirstKeyAfter(uint32_t key, bool inclusive, Pred accept);
  size_t ModuleCount();

  std::vector<NetInterface*> interfaces;
  std::map<uint32_t, ModuleInfo*> modules;
  LinkError error;
  std::atomic<int32_t> scanCount{0};
  std::atomic<bool> quietOpen{false};
  AlarmClock* clock = nullptr;
  JobList* jobs = nullptr;

 private:
  bool OpenNextAdapter(NetInterface* adapter, const char* onlyAdapter);
  void RefreshModule(ModuleInfo* module, NetInterface* adapter, const uint8_t* frame, size_t length);
  void Answered(ModuleInfo* module);

  pthread_rwlock_t moduleLock_;
  pcap_if_t* devices_ = nullptr;
  pcap_if_t* nextDevice_ = nullptr;
  bool listFetched_ = false;
  bool sendThreadStarted_ = false;
};

template <class Pred>
uint32_t QuorvInternal::FirstKeyAfter(uint32_t key, bool inclusive, Pred accept) {
  pthread_rwlock_rdlock(&moduleLock_);
  uint32_t found = 0;
  for (auto it = inclusive ? modules.lower_bound(key) : modules.upper_bound(key); it != modules.end(); ++it) {
    if (accept(it->second->State())) {
      found = it->first;
      break;
    }
  }
  pthread_rwlock_unlock(&moduleLock_);
  return found;
}
