#include "common/logcapture.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <chrono>

#include "base/driverlog.h"

namespace testsupport {

using namespace sharedlog;

namespace {
std::atomic<int> g_serial{0};
}

DriverLogCapture::DriverLogCapture()
    : name_("/qv_capture_" + std::to_string(getpid()) + "_" + std::to_string(g_serial.fetch_add(1))) {
  shm_unlink(name_.c_str());
  const int fd = shm_open(name_.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
  if (fd >= 0 && ftruncate(fd, kMappingSize) == 0) {
    void* p = mmap(nullptr, kMappingSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (p != MAP_FAILED) map_ = static_cast<uint8_t*>(p);
  }
  if (fd >= 0) close(fd);
  thread_ = std::thread([this] { Run(); });
}

DriverLogCapture::~DriverLogCapture() {
  stop_ = true;
  thread_.join();
  if (map_) munmap(map_, kMappingSize);
  shm_unlink(name_.c_str());
}

void DriverLogCapture::Drain() {
  if (!map_) return;
  std::lock_guard<std::mutex> draining(drainMutex_);
  std::atomic_ref<uint16_t> write(*reinterpret_cast<uint16_t*>(map_ + kWritePosOffset));
  std::atomic_ref<uint16_t> read(*reinterpret_cast<uint16_t*>(map_ + kReadPosOffset));
  const uint16_t w = write.load();
  uint16_t r = read.load();
  if (r == w) return;
  std::string text;
  for (; r != w; r = static_cast<uint16_t>((r + 1) % kRingSize)) text += static_cast<char>(map_[kRingOffset + r]);
  read.store(r);
  std::lock_guard<std::mutex> lock(mutex_);
  partial_ += text;
  for (size_t nl; (nl = partial_.find('\n')) != std::string::npos;) {
    std::string line = partial_.substr(0, nl);
    partial_.erase(0, nl + 1);
    // "hh:mm:ss.uuuuuu " in front of every message.
    lines_.push_back(line.size() > 16 ? line.substr(16) : std::string());
  }
}

void DriverLogCapture::Run() {
  while (!stop_) {
    Drain();
    std::this_thread::sleep_for(std::chrono::microseconds(500));
  }
  Drain();
}

std::vector<std::string> DriverLogCapture::Lines() {
  Drain();
  std::lock_guard<std::mutex> lock(mutex_);
  return lines_;
}

int DriverLogCapture::Count(const std::string& text) {
  Drain();
  std::lock_guard<std::mutex> lock(mutex_);
  int n = 0;
  for (const auto& l : lines_) n += l.find(text) != std::string::npos;
  return n;
}

bool DriverLogCapture::WaitFor(const std::string& text, int timeoutMs) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (Count(text) == 0) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

void DriverLogCapture::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  lines_.clear();
}

}  // namespace testsupport
