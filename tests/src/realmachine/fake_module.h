// A controller module inside the test process, behind the machine's
// ModuleLink: it buffers what the stream sends and executes it at its own
// pace on a thread of its own (points per millisecond), reporting buffer
// level, the last reference number executed and the position like the real
// one. Only the figures tests look at are modelled: no ramps, no filter.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "realmachine/modulelink.h"

namespace testsupport {

class FakeModule : public ModuleLink {
 public:
  struct Entry {
    char kind = 'P';  // P point, O output, W PWM
    uint16_t ref = 0;
    int32_t steps[kChannels] = {};
    int number = 0;   // output
    bool on = false;
    double duty = 0;
  };
  // What the module did, in order: a switch with the position it happened at.
  struct Event {
    char kind;
    int number;
    bool on;
    double duty;
    int32_t steps[kChannels];
  };

  explicit FakeModule(int pointsPerMs, const int32_t (&start)[kChannels] = {})
      : m_rate(pointsPerMs) {
    std::copy(start, start + kChannels, m_position);
    m_thread = std::thread([this] { Run(); });
  }
  ~FakeModule() override {
    m_stop = true;
    m_thread.join();
  }

  std::atomic<bool> up{true};

  bool Up() override { return up; }
  bool WindowFull() override { return false; }
  bool SendPoint(const int32_t* steps, int n, uint16_t& ref, int& level) override {
    Entry e;
    std::copy(steps, steps + n, e.steps);
    return Push(e, ref, level);
  }
  bool SetDynamics(double, double, double, double) override { return up; }
  bool SetVelocity(double) override { return up; }
  bool SetFeedOverride(double) override { return up; }
  bool SetSpindleOverride(double) override { return up; }
  bool SetSyncOutput(int output, bool on, bool, uint16_t& ref) override {
    Entry e;
    e.kind = 'O';
    e.number = output;
    e.on = on;
    int level = 0;
    return Push(e, ref, level);
  }
  bool SetPwm(double duty, bool, uint16_t& ref) override {
    Entry e;
    e.kind = 'W';
    e.duty = duty;
    int level = 0;
    return Push(e, ref, level);
  }
  bool ClearBuffer() override {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_queue.clear();
    m_halted = false;
    ++m_clears;
    return up;
  }
  bool StopMotion() override {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_halted = true;
    ++m_stops;
    return up;
  }
  bool RequestStatus() override { return up; }
  bool ReadStatus(int& level, int& status) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    level = Level();
    status = !m_queue.empty() && !m_halted ? 1 : 0;
    return true;
  }
  bool ReadPosition(uint16_t& ref, int32_t* steps, int n) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    ref = m_lastRef;
    std::copy(m_position, m_position + n, steps);
    return true;
  }
  bool ReadInputs(uint32_t& inputs) override {
    inputs = 0;
    return true;
  }

  // ---- for the test
  void Position(int32_t (&out)[kChannels]) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::copy(m_position, m_position + kChannels, out);
  }
  int MaxLevel() const { return m_maxLevel.load(); }
  int Clears() const { return m_clears.load(); }
  int Stops() const { return m_stops.load(); }
  int Queued() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return static_cast<int>(m_queue.size());
  }
  std::vector<Event> Events() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_events;
  }
  // Points received since the last clear.
  std::vector<Entry> Received() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_received;
  }

 private:
  int Level() const { return static_cast<int>(m_queue.size()) | (m_halted ? 0x8000 : 0); }
  bool Push(Entry e, uint16_t& ref, int& level) {
    if (!up) return false;
    std::lock_guard<std::mutex> lock(m_mutex);
    level = Level();
    e.ref = ref = ++m_counter;
    m_queue.push_back(e);
    if (m_clears > m_receivedClears) {
      m_received.clear();
      m_receivedClears = m_clears;
    }
    if (e.kind == 'P') m_received.push_back(e);
    m_maxLevel = std::max(m_maxLevel.load(), static_cast<int>(m_queue.size()));
    return true;
  }
  void Run() {
    while (!m_stop) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      std::lock_guard<std::mutex> lock(m_mutex);
      for (int k = 0; k < m_rate && !m_halted && !m_queue.empty(); ++k) {
        const Entry e = m_queue.front();
        m_queue.pop_front();
        m_lastRef = e.ref;
        if (e.kind == 'P') {
          std::copy(e.steps, e.steps + kChannels, m_position);
        } else {
          Event ev{e.kind, e.number, e.on, e.duty, {}};
          std::copy(m_position, m_position + kChannels, ev.steps);
          m_events.push_back(ev);
        }
      }
    }
  }

  const int m_rate;
  mutable std::mutex m_mutex;
  std::deque<Entry> m_queue;
  std::vector<Event> m_events;
  std::vector<Entry> m_received;
  int m_receivedClears = 0;
  int32_t m_position[kChannels] = {};
  uint16_t m_counter = 0;
  uint16_t m_lastRef = 0;
  bool m_halted = false;
  std::atomic<int> m_maxLevel{0};
  std::atomic<int> m_clears{0};
  std::atomic<int> m_stops{0};
  std::atomic<bool> m_stop{false};
  std::thread m_thread;
};

}  // namespace testsupport
