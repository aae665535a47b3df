#include "io/modbusport.h"

#include "driver/src/quorvdriver.h"

bool DriverModbusPort::SendRaw(const uint8_t* data, int n) { return driver_.SendRawData(key_, data, n); }

bool DriverModbusPort::ReadRaw(uint8_t* data, int size, int* count) {
  if (driver_.ReadRawData(key_, data, size, count)) return true;
  int status = 0;
  driver_.ReadStatus(key_, nullptr, &status);
  return false;
}

bool DriverModbusPort::Configure(int32_t baudrate, int32_t timeoutMs) {
  const uint32_t values[2] = {static_cast<uint32_t>(baudrate), static_cast<uint32_t>(timeoutMs)};
  return driver_.SetPar(key_, modbusbatch::kParBaudrate, values, 2);
}
