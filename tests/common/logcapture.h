// Plays the trace viewer for a test: makes the link's shared log under a
// name of its own and collects every line on a thread of its own, so the
// link never waits for room in the ring.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

class DriverLogCapture {
 public:
  DriverLogCapture();
  ~DriverLogCapture();
  DriverLogCapture(const DriverLogCapture&) = delete;
  DriverLogCapture& operator=(const DriverLogCapture&) = delete;

  // The mapping's name, for the driver's constructor.
  const char* Name() const { return name_.c_str(); }
  // The messages written so far (everything in the ring is taken first),
  // without their time stamps.
  std::vector<std::string> Lines();
  // Lines that contain `text`.
  int Count(const std::string& text);
  // Waits until a line containing `text` has come (true) or `timeoutMs` passed.
  bool WaitFor(const std::string& text, int timeoutMs);
  void Clear();

 private:
  void Run();
  void Drain();
  std::string name_;
  uint8_t* map_ = nullptr;
  std::atomic<bool> stop_{false};
  std::mutex drainMutex_;  // one reader of the ring at a time
  std::mutex mutex_;       // the lines
  std::vector<std::string> lines_;
  std::string partial_;
  std::thread thread_;
};

}  // namespace testsupport
