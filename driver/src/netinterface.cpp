#include "driver/src/netinterface.h"

#include <net/if.h>
#include <net/if_arp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "base/driverlog.h"
#include "driver/src/linkframe.h"
#include "driver/src/quorvinternal.h"

bool ReadAdapterMac(const char* name, uint8_t (&mac)[6]) {
  if (!name || std::strlen(name) >= IFNAMSIZ) return false;
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  ifreq req{};
  std::strncpy(req.ifr_name, name, IFNAMSIZ - 1);
  const bool ok = ioctl(fd, SIOCGIFHWADDR, &req) == 0 && req.ifr_hwaddr.sa_family == ARPHRD_ETHER;
  close(fd);
  if (ok) std::memcpy(mac, req.ifr_hwaddr.sa_data, 6);
  return ok;
}

NetInterface::NetInterface(QuorvInternal* owner) : owner_(owner) {}

NetInterface::~NetInterface() {
  DriverLog(DLOG_DETAIL, "NetInterface destructor, close Interface");
  stop_.store(true);
  if (handle_) pcap_breakloop(handle_);
  {
    CriticalSectionLocker lock(signal_);
    signal_.Signal();
  }
  DriverLog(DLOG_DETAIL, "NetInterface destructor, join thread");
  if (threadStarted_) pthread_join(readThread_, nullptr);
  // Closed only after the read thread has left it.
  if (filterCompiled_) pcap_freecode(&filter_);
  if (handle_) pcap_close(handle_);
  handle_ = nullptr;
  DriverLog(DLOG_DETAIL, "NetInterface destructor ok");
}

bool NetInterface::Open() {
  char err[PCAP_ERRBUF_SIZE] = {};
  // The live capture as pcap_open_live would set it up (snapshot 65535, not
  // promiscuous, 10 ms read time-out), plus immediate delivery: without it
  // the kernel hands frames over in blocks, up to the time-out late, and
  // every acknowledgement would wait for it.
  pcap_t* h = pcap_create(name, err);
  int rc = h ? 0 : -1;
  if (h) {
    pcap_set_snaplen(h, kSnapLength);
    pcap_set_promisc(h, 0);
    pcap_set_timeout(h, kReadTimeoutMs);
    pcap_set_immediate_mode(h, 1);
    rc = pcap_activate(h);
    if (rc < 0) std::snprintf(err, sizeof err, "%s", pcap_geterr(h));
  }
  if (rc < 0) {
    DriverLog(DLOG_INFO, " open failed: %s", err);
    if (h) pcap_close(h);
    return false;
  }
  DriverLog(DLOG_INFO, " open successful");
  // Our own sends would come back as captures; leave them in the kernel.
  pcap_setdirection(h, PCAP_D_IN);
  if (pcap_compile(h, &filter_, kFilter, 1, 0xFFFFFF) != 0) {
    DriverLog(DLOG_INFO, " pcap_setfilter() failed");
    pcap_close(h);
    return false;
  }
  filterCompiled_ = true;
  if (pcap_setfilter(h, &filter_) != 0) {
    DriverLog(DLOG_INFO, " pcap_setfilter() failed");
    pcap_freecode(&filter_);
    filterCompiled_ = false;
    pcap_close(h);
    return false;
  }
  handle_ = h;
  opened = true;
  return true;
}

bool NetInterface::StartReadThread() {
  threadStarted_ = pthread_create(&readThread_, nullptr, &NetInterface::ThreadEntry, this) == 0;
  if (threadStarted_) DriverLog(DLOG_INFO, " ReadThread started");
  return threadStarted_;
}

void* NetInterface::ThreadEntry(void* self) {
  static_cast<NetInterface*>(self)->ReadThread();
  return nullptr;
}

void NetInterface::ReadThread() {
  LogThreadStart("ReadThread");
  while (!stop_.load()) {
    pcap_pkthdr* header = nullptr;
    const u_char* data = nullptr;
    const int r = pcap_next_ex(handle_, &header, &data);
    if (r < 0) {
      if (!stop_.load()) DriverLog(DLOG_ERROR, "ReadThread aborted due to error!!!");
      return;
    }
    if (suspended_.load(std::memory_order_acquire)) {
      DriverLog(DLOG_INFO, "ReadThread suspended");
      {
        CriticalSectionLocker lock(signal_);
        while (useCount_ < 1 && !stop_.load()) signal_.Wait();
      }
      DriverLog(DLOG_INFO, "ReadThread resumed");
      continue;
    }
    if (r == 0) continue;
    DriverStatAdd(STAT_READ_PROGRESS);
    HandleFrame(data, header->caplen);
  }
}

void NetInterface::HandleFrame(const uint8_t* data, size_t length) {
  DriverStatAdd(STAT_FRAMES_RECEIVED);
  if (length >= 16 && std::memcmp(data + linkframe::kSrcOffset, mac, 6) == 0) return;
  if (length < linkframe::kHeaderSize + 1) return;
  owner_->Dispatch(this, data, length);
}

bool NetInterface::Send(const uint8_t* frame, size_t length, char (&why)[PCAP_ERRBUF_SIZE]) {
  std::lock_guard<std::mutex> lock(sendMutex_);
  if (!handle_) {
    std::snprintf(why, sizeof why, "adapter not open");
    return false;
  }
  if (pcap_sendpacket(handle_, frame, static_cast<int>(length)) == 0) return true;
  std::snprintf(why, sizeof why, "%s", pcap_geterr(handle_));
  return false;
}

bool NetInterface::Send(const uint8_t* frame, size_t length) {
  char why[PCAP_ERRBUF_SIZE];
  if (Send(frame, length, why)) return true;
  DriverStatAdd(STAT_SEND_FAILED);
  return false;
}

void NetInterface::Acquire() {
  CriticalSectionLocker lock(signal_);
  if (useCount_++ == 0) {
    suspended_.store(false, std::memory_order_release);
    signal_.Signal();
  }
}

void NetInterface::Release() {
  CriticalSectionLocker lock(signal_);
  if (useCount_ > 0 && --useCount_ == 0) suspended_.store(true, std::memory_order_release);
}

int32_t NetInterface::UseCount() {
  CriticalSectionLocker lock(signal_);
  return useCount_;
}
