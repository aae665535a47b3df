// One opened network adapter: its capture handle with the link's filter, its
// read thread, and the count of users (running scans, open modules) that
// keeps the read thread awake.
#pragma once

#include <pcap/pcap.h>
#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "base/threadsync.h"

class QuorvInternal;

class InterfaceInfo {
 public:
  virtual ~InterfaceInfo() = default;
  char name[64] = {};          // capture device name
  char description[256] = {};  // empty if none
  uint8_t mac[6] = {};         // the adapter's own address
};

// Reads an adapter's own Ethernet address (Linux: SIOCGIFHWADDR). False for
// adapters that have none, such as loopback, tunnels and capture-only devices.
bool ReadAdapterMac(const char* name, uint8_t (&mac)[6]);

class NetInterface : public InterfaceInfo {
 public:
  static constexpr const char* kFilter = "ether proto 5555";
  static constexpr int kSnapLength = 65535;
  static constexpr int kReadTimeoutMs = 10;

  explicit NetInterface(QuorvInternal* owner);
  // Closes the capture, ends and joins the read thread.
  ~NetInterface() override;

  // Opens `device` (already named in `name`): the capture with the link's
  // filter. Logs and returns false when the device cannot be used.
  bool Open();
  bool StartReadThread();

  // Hands a frame to the adapter. False (and `why` filled) when it refused.
  bool Send(const uint8_t* frame, size_t length, char (&why)[PCAP_ERRBUF_SIZE]);
  bool Send(const uint8_t* frame, size_t length);

  // A user of the adapter: the first one wakes the read thread, the last one
  // lets it sleep.
  void Acquire();
  void Release();
  bool Suspended() const { return suspended_.load(std::memory_order_acquire); }
  int32_t UseCount();

  // One captured frame: own echoes and short frames are dropped, the rest
  // goes to the driver's dispatch.
  void HandleFrame(const uint8_t* data, size_t length);

  bool opened = false;

 private:
  static void* ThreadEntry(void* self);
  void ReadThread();

  pcap_t* handle_ = nullptr;
  bpf_program filter_{};
  bool filterCompiled_ = false;
  std::atomic<bool> suspended_{true};
  std::atomic<bool> stop_{false};
  QuorvInternal* owner_;
  pthread_t readThread_{};
  bool threadStarted_ = false;
  InterthreadSignal signal_;  // guards useCount_, wakes the sleeping read thread
  int32_t useCount_ = 0;
  std::mutex sendMutex_;  // callers' scans and the send thread share the handle
};
