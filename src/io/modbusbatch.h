// The layout in which Modbus transactions travel between the PC and the main
// module inside one raw-data command: entries of (slot size, length, bytes),
// ended by two zero bytes. The module runs the requests on its serial bus in
// order and sends the buffer back with each slot holding that transaction's
// answer and its length. Both sides of the link use this one definition.
#pragma once

#include <cstdint>

namespace modbusbatch {

constexpr int kMaxUsed = 250;   // request bytes sent at most, terminator excluded
constexpr int kMaxSize = 254;   // bytes of an answer read back
constexpr int kWalkLimit = 252; // an answer slot must end at or before this byte
constexpr int kMaxAnswer = 6;   // longest answer the PC takes from a slot
constexpr int kEntryHeader = 2; // slot size, length
// An entry is added only while more than this many bytes are free.
constexpr int kMinFree = 8;

// Modbus functions and their exception answers (function | 0x80).
constexpr uint8_t kReadHolding = 3;
constexpr uint8_t kWriteMultiple = 16;
constexpr uint8_t kException = 0x80;

// Module parameters (code 22) that carry the serial settings of the bus.
constexpr uint16_t kParBaudrate = 0x0500;   // baud
constexpr uint16_t kParTimeout = 0x0501;    // transaction timeout, ms

// Bytes an entry with this slot size takes in the buffer.
constexpr int EntrySize(int slotSize) { return kEntryHeader + slotSize; }

// A request batch being built: entries appended in order, two zero bytes
// always ending what is there.
class RequestBatch {
 public:
  RequestBatch() { Clear(); }
  void Clear();
  // Whether an entry with this slot size still fits.
  bool Fits(int slotSize) const;
  // Appends `request` (n bytes) in a slot of max(n, answerSize) bytes.
  // A call that does not fit is a programming error (assertion); false.
  bool Push(const uint8_t* request, int n, int answerSize);
  int Used() const { return used_; }
  int Free() const { return kMaxUsed - used_; }
  bool Empty() const { return used_ == 0; }
  // The bytes to send: the entries and the two zero bytes.
  const uint8_t* Data() const { return data_; }
  int Size() const { return used_ + 2; }

 private:
  uint8_t data_[kMaxSize] = {};
  int used_ = 0;
};

// The requests (6 bytes) for one register: read one holding register, or
// write one register with `value`. Register numbers and values big-endian.
int ReadRequest(uint8_t device, uint16_t reg, uint8_t* out);
int WriteRequest(uint8_t device, uint16_t reg, uint16_t value, uint8_t* out);
constexpr int kReadSlot = 6;
constexpr int kWriteSlot = 10;

// Walks the entries of a buffer (requests on the module, answers on the PC)
// without reading past `size` bytes.
class EntryWalker {
 public:
  EntryWalker(const uint8_t* data, int size, int limit = kMaxSize) : data_(data), size_(size), limit_(limit) {}
  // The next entry; false at the terminator, or when the entry's header or
  // slot would run past the data or the limit.
  bool Next(const uint8_t*& bytes, int& length, int& slotSize);
  // Offset of the entry Next returned last (its header).
  int Offset() const { return last_; }

 private:
  const uint8_t* data_;
  int size_;
  int limit_;
  int at_ = 0;
  int last_ = 0;
};

}  // namespace modbusbatch
