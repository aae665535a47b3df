#include "io/modbusbatch.h"

#include <algorithm>
#include <cstring>

#include "base/assertion.h"

namespace modbusbatch {

void RequestBatch::Clear() {
  used_ = 0;
  data_[0] = data_[1] = 0;
}

bool RequestBatch::Fits(int slotSize) const {
  // Room for the entry, the terminator and the module's answers of the
  // same layout within what is read back.
  return used_ + EntrySize(slotSize) + 4 < kMaxSize && used_ + EntrySize(slotSize) <= kMaxUsed;
}

bool RequestBatch::Push(const uint8_t* request, int n, int answerSize) {
  const int slot = std::max(n, answerSize);
  const int total = EntrySize(slot);
  if (!QASSERT(used_ + total + 4 < kMaxSize, "Push") || n < 1 || slot > 255 || used_ + total > kMaxUsed) return false;
  uint8_t* e = data_ + used_;
  e[0] = static_cast<uint8_t>(slot);
  e[1] = static_cast<uint8_t>(n);
  std::memcpy(e + 2, request, static_cast<size_t>(n));
  std::memset(e + 2 + n, 0, static_cast<size_t>(slot - n));
  used_ += total;
  data_[used_] = data_[used_ + 1] = 0;
  return true;
}

int ReadRequest(uint8_t device, uint16_t reg, uint8_t* out) {
  const uint8_t r[6] = {device, kReadHolding, static_cast<uint8_t>(reg >> 8), static_cast<uint8_t>(reg), 0, 1};
  std::memcpy(out, r, sizeof r);
  return 6;
}

int WriteRequest(uint8_t device, uint16_t reg, uint16_t value, uint8_t* out) {
  const uint8_t r[9] = {device, kWriteMultiple, static_cast<uint8_t>(reg >> 8), static_cast<uint8_t>(reg), 0, 1, 2,
                        static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
  std::memcpy(out, r, sizeof r);
  return 9;
}

bool EntryWalker::Next(const uint8_t*& bytes, int& length, int& slotSize) {
  const int end = std::min(size_, limit_);
  if (at_ + kEntryHeader > end) return false;
  const int slot = data_[at_];
  const int n = data_[at_ + 1];
  if (slot == 0 && n == 0) return false;
  if (at_ + kEntryHeader + slot > end || n > slot) return false;
  last_ = at_;
  bytes = data_ + at_ + kEntryHeader;
  length = n;
  slotSize = slot;
  at_ += kEntryHeader + slot;
  return true;
}

}  // namespace modbusbatch
