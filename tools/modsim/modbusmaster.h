// The main module's Modbus master: the batches of requests the PC sends as
// raw data are run, in order, as real Modbus RTU transactions on a serial
// line (a tty, a pseudo-terminal in the lab), each answer written into its
// slot. A thread of its own does the waiting, so the module keeps answering
// the link while the bus is busy.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

typedef struct _modbus modbus_t;

namespace modsim {

class ModbusMaster {
 public:
  explicit ModbusMaster(std::string device);
  ~ModbusMaster();
  ModbusMaster(const ModbusMaster&) = delete;
  ModbusMaster& operator=(const ModbusMaster&) = delete;

  // Serial settings for the batches that follow (the PC sends them as
  // module parameters). Below 1200 baud or a timeout of 0 keeps the old one.
  void Configure(uint32_t baud, uint32_t timeoutMs);
  // A batch to run after those already waiting.
  void Submit(std::vector<uint8_t> batch);
  // A finished batch's answers, oldest first.
  bool TakeAnswer(std::vector<uint8_t>& answer);

 private:
  void Run();
  bool EnsureOpen();
  std::vector<uint8_t> Execute(std::vector<uint8_t> batch);
  // One transaction; the answer without its CRC, empty when none came.
  std::vector<uint8_t> Transact(const uint8_t* request, int n);

  const std::string device_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::vector<uint8_t>> todo_, done_;
  bool stop_ = false;
  uint32_t baud_ = 9600, timeoutMs_ = 100;
  // Thread side.
  modbus_t* ctx_ = nullptr;
  uint32_t openBaud_ = 0;
  std::thread thread_;
};

}  // namespace modsim
