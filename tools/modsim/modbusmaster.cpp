#include "modbusmaster.h"

#include <modbus/modbus.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>

#include "io/modbusbatch.h"

using namespace modbusbatch;

namespace modsim {

ModbusMaster::ModbusMaster(std::string device) : device_(std::move(device)), thread_([this] { Run(); }) {}

ModbusMaster::~ModbusMaster() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  thread_.join();
  if (ctx_) {
    modbus_close(ctx_);
    modbus_free(ctx_);
  }
}

void ModbusMaster::Configure(uint32_t baud, uint32_t timeoutMs) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (baud >= 1200) baud_ = baud;
  if (timeoutMs > 0) timeoutMs_ = timeoutMs;
}

void ModbusMaster::Submit(std::vector<uint8_t> batch) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    todo_.push_back(std::move(batch));
  }
  wake_.notify_all();
}

bool ModbusMaster::TakeAnswer(std::vector<uint8_t>& answer) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (done_.empty()) return false;
  answer = std::move(done_.front());
  done_.pop_front();
  return true;
}

void ModbusMaster::Run() {
  for (;;) {
    std::vector<uint8_t> batch;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [this] { return stop_ || !todo_.empty(); });
      if (stop_) return;
      batch = std::move(todo_.front());
      todo_.pop_front();
    }
    std::vector<uint8_t> answer = Execute(std::move(batch));
    std::lock_guard<std::mutex> lock(mutex_);
    done_.push_back(std::move(answer));
  }
}

bool ModbusMaster::EnsureOpen() {
  uint32_t baud, timeoutMs;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    baud = baud_;
    timeoutMs = timeoutMs_;
  }
  if (ctx_ && openBaud_ != baud) {
    modbus_close(ctx_);
    modbus_free(ctx_);
    ctx_ = nullptr;
  }
  if (!ctx_) {
    // 8 data bits, even parity, one stop bit: eleven bits a character.
    ctx_ = modbus_new_rtu(device_.c_str(), static_cast<int>(baud), 'E', 8, 1);
    if (!ctx_) return false;
    if (modbus_connect(ctx_) != 0) {
      std::fprintf(stderr, "quorvane-modsim: Modbus line %s: %s\n", device_.c_str(), modbus_strerror(errno));
      modbus_free(ctx_);
      ctx_ = nullptr;
      return false;
    }
    openBaud_ = baud;
  }
  modbus_set_response_timeout(ctx_, timeoutMs / 1000, (timeoutMs % 1000) * 1000);
  return true;
}

std::vector<uint8_t> ModbusMaster::Execute(std::vector<uint8_t> batch) {
  // The answers go back in the same layout; a slot without an answer keeps
  // length 0.
  const bool open = EnsureOpen();
  EntryWalker walk(batch.data(), static_cast<int>(batch.size()));
  std::vector<uint8_t> answers(batch.size(), 0);
  const uint8_t* request = nullptr;
  int n = 0, slot = 0;
  while (walk.Next(request, n, slot)) {
    const int at = walk.Offset();
    answers[static_cast<size_t>(at)] = static_cast<uint8_t>(slot);
    const std::vector<uint8_t> a = open ? Transact(request, n) : std::vector<uint8_t>();
    const int length = std::min<int>(static_cast<int>(a.size()), slot);
    answers[static_cast<size_t>(at) + 1] = static_cast<uint8_t>(length);
    std::copy(a.begin(), a.begin() + length, answers.begin() + at + 2);
  }
  return answers;
}

std::vector<uint8_t> ModbusMaster::Transact(const uint8_t* r, int n) {
  if (n < 2) return {};
  // The bus must be quiet for 3.5 characters between frames (a fixed
  // 1.75 ms above 19200 baud); leftovers of a late answer are dropped.
  const double t35Us = openBaud_ > 19200 ? 1750.0 : 3.5 * 11e6 / openBaud_;
  std::this_thread::sleep_for(std::chrono::microseconds(static_cast<long>(t35Us)));
  modbus_flush(ctx_);
  modbus_set_slave(ctx_, r[0]);
  const uint8_t function = r[1];
  int rc = -1;
  std::vector<uint8_t> a;
  if (function == kReadHolding && n == 6 && r[4] == 0 && r[5] == 1) {
    uint16_t v = 0;
    rc = modbus_read_registers(ctx_, (r[2] << 8) | r[3], 1, &v);
    // The register number comes back with the value, as in a write's answer.
    if (rc == 1) a = {r[0], function, r[2], r[3], static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
  } else if (function == kWriteMultiple && n == 9 && r[4] == 0 && r[5] == 1 && r[6] == 2) {
    const uint16_t v = static_cast<uint16_t>((r[7] << 8) | r[8]);
    rc = modbus_write_registers(ctx_, (r[2] << 8) | r[3], 1, &v);
    if (rc == 1) a = {r[0], function, r[2], r[3], 0, 1};
  } else {
    uint8_t rsp[MODBUS_RTU_MAX_ADU_LENGTH];
    rc = modbus_send_raw_request(ctx_, r, n);
    if (rc > 0) rc = modbus_receive_confirmation(ctx_, rsp);
    if (rc > 2) a.assign(rsp, rsp + rc - 2);  // without the CRC
    return a;
  }
  if (rc < 0 && errno > MODBUS_ENOBASE && errno <= EMBXGTAR)
    a = {r[0], static_cast<uint8_t>(function | kException), static_cast<uint8_t>(errno - MODBUS_ENOBASE)};
  // A time-out or a corrupt answer leaves the slot empty.
  return a;
}

}  // namespace modsim
