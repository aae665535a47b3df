// Registers of Modbus devices on the main module's serial bus, usable as
// signal pins. The PC does not talk Modbus itself: once per I/O poll it packs
// the due requests into one raw-data command for the main module, which runs
// the transactions and sends the answers back the same way.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <queue>
#include <string>
#include <vector>

#include "io/iomapping.h"
#include "io/modbusbatch.h"

class ParaFile;

// The main module as Modbus sees it: raw data out and back, and the serial
// settings. The machine back end hands one in every cycle (none while no
// module is open).
class ModbusPort {
 public:
  virtual ~ModbusPort() = default;
  // Raw-data command (1..254 bytes).
  virtual bool SendRaw(const uint8_t* data, int n) = 0;
  // The module's raw answer when one arrived: at most `size` bytes into
  // `data`, their number into `count`. False while none is there.
  virtual bool ReadRaw(uint8_t* data, int size, int* count) = 0;
  // Baud rate and transaction timeout (ms) of the module's serial bus.
  virtual bool Configure(int32_t baudrate, int32_t timeoutMs) = 0;
};

struct ModbusDevice {
  uint8_t address = 0;
  std::string name;
  int useCount = 0;  // registers referring to it
};

struct ModbusRegister {
  std::string name;
  ModbusDevice* device = nullptr;
  uint16_t number = 0;
  uint16_t value = 0;
  bool write = false;
  bool tcpIp = false;       // reached over TCP/IP; stored and encoded only
  int32_t intervalMs = 0;   // ms between reads
  int32_t dueTick = 0;
  bool queued = false;
  int32_t Pin() const;
  // Ticks between reads: one tick is one poll cycle of about 40 ms.
  int32_t IntervalTicks() const;
};

// Linear conversion between a register range and a value range (a speed in
// rpm, a pressure...); the register side is clamped to its range and to
// 0..65535, a degenerate range gives its lower end.
double RegisterToValue(uint16_t reg, int32_t minReg, int32_t maxReg, double minVal, double maxVal);
uint16_t ValueToRegister(double value, int32_t minReg, int32_t maxReg, double minVal, double maxVal);

class Modbus : public NetworkRegisters {
 public:
  Modbus() = default;
  ~Modbus() override = default;
  Modbus(const Modbus&) = delete;
  Modbus& operator=(const Modbus&) = delete;

  // Pin number of a register: negative, below -65535.
  static int32_t PinOf(bool tcpIp, bool write, uint8_t device, uint16_t number);
  static bool IsRegisterPin(int32_t pin) { return pin < -65535; }
  // "MB: %04X-%d" (device, register; the register in hex when displayHex)
  // for serial registers, "net #N%d" for TCP/IP ones.
  std::string PinText(int32_t pin) const;

  // --- configuration ---
  int32_t baudrate = 9600;  // baud, at least 9600
  int32_t timeoutMs = 100;  // per transaction
  bool displayHex = true;

  // Adds or renames a device; address 0 is refused.
  bool AddDevice(uint8_t address, const std::string& name);
  // Adds a register of a known device (or updates the one with the same
  // pin); nullptr when the device is unknown. Read registers are scheduled.
  ModbusRegister* AddRegister(uint8_t device, uint16_t number, bool write, bool tcpIp, int32_t intervalMs,
                              const std::string& name);
  // Removes it; a device left without registers is deleted.
  bool RemoveRegister(int32_t pin);
  void Clear();
  ModbusRegister* FindRegister(int32_t pin);
  const ModbusRegister* FindRegister(int32_t pin) const;
  // Whether a signal may be assigned to this pin.
  bool AcceptsPin(int32_t pin) const { return FindRegister(pin) != nullptr; }
  const std::map<uint8_t, ModbusDevice>& Devices() const { return devices_; }
  const std::map<int32_t, ModbusRegister>& Registers() const { return registers_; }
  bool IsConfigured() const { return !registers_.empty(); }

  // The configuration keys, read from and written into a parameter file
  // (the mapping table, the Modbus table, a parameter export).
  void ReadConfig(const ParaFile& file);
  void WriteConfig(ParaFile& file) override;

  // --- as the signal mapping's network registers ---
  bool AcceptsRegister(int32_t pin, bool) override { return AcceptsPin(pin); }
  std::string RegisterText(int32_t pin) const override { return PinText(pin); }
  // A register used as a plain input is on while its value is not 0.
  bool RegisterActive(int32_t pin) const override;
  bool WriteRegister(int32_t pin, uint16_t value) override { return SetValue(pin, value); }

  // --- values ---
  // The last value read, or the value to write; false for an unknown pin.
  bool GetValue(int32_t pin, uint16_t& value) const;
  // Stores the value of a write register and queues it for the next cycle
  // (once, however often it is written before then). False for an unknown
  // or read register.
  bool SetValue(int32_t pin, uint16_t value);
  // Queues a read register that is not queued.
  void ScheduleRead(ModbusRegister& reg);

  // --- the cycle, once per I/O poll of the back end ---
  // `main` is the main module, nullptr when none is open.
  void Cycle(ModbusPort* main);
  bool Pending() const { return pending_; }
  int32_t Tick() const { return tick_; }
  // Batches the module never answered are given up after every transaction
  // could have timed out, plus half a second for the link.
  static constexpr int kLinkMarginMs = 500;
  // Registers whose transaction got no answer (time-out or a corrupt answer
  // on the bus, or a batch given up) since start.
  uint64_t NoAnswerCount() const { return noAnswer_; }
  // Answers handled since start (values, confirmations, exceptions).
  uint64_t AnswerCount() const { return answers_; }

 private:
  struct Due {
    int32_t tick;
    uint64_t order;  // first queued first among equal ticks
    int32_t pin;
    bool operator>(const Due& o) const {
      const int32_t d = tick - o.tick;
      return d != 0 ? d > 0 : order > o.order;
    }
  };
  void Queue(ModbusRegister& reg, int32_t tick);
  void Dispatch(ModbusPort& main);
  void HandleResults(ModbusPort& main);
  // Gives up a batch the module never answered; its writes go again.
  void DropBatch();

  std::map<uint8_t, ModbusDevice> devices_;
  std::map<int32_t, ModbusRegister> registers_;
  std::priority_queue<Due, std::vector<Due>, std::greater<Due>> schedule_;
  uint64_t order_ = 0;
  int32_t tick_ = 0;
  bool pending_ = false;
  std::vector<int32_t> dispatched_;  // pins of the batch in flight, in order
  modbusbatch::RequestBatch batch_;
  ModbusPort* configured_ = nullptr;  // the port the serial settings went to
  int32_t configuredBaud_ = 0, configuredTimeout_ = 0;
  uint64_t noAnswer_ = 0;
  uint64_t answers_ = 0;
  std::chrono::steady_clock::time_point sentAt_{};
  std::chrono::milliseconds answerDeadline_{0};
};
