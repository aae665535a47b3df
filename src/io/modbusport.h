// The main module of the hardware link as Modbus's port: raw data through
// commands 28 and 29, the bus settings as module parameters.
#pragma once

#include <cstdint>

#include "io/modbus.h"

class QuorvDriver;

class DriverModbusPort : public ModbusPort {
 public:
  DriverModbusPort(QuorvDriver& driver, uint32_t key) : driver_(driver), key_(key) {}
  uint32_t Key() const { return key_; }
  const QuorvDriver* Driver() const { return &driver_; }
  bool SendRaw(const uint8_t* data, int n) override;
  // Takes a raw answer that arrived; otherwise reads the status, which
  // fetches one the module announced.
  bool ReadRaw(uint8_t* data, int size, int* count) override;
  bool Configure(int32_t baudrate, int32_t timeoutMs) override;

 private:
  QuorvDriver& driver_;
  uint32_t key_;
};
