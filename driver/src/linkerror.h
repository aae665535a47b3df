// Error records of the link. The link throws nothing: an operation that
// fails returns false (or 0) and records the error on the module or on the
// driver, where it waits until GetError reads and clears it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>

// Error numbers.
enum LinkErrorNumber : int32_t {
  LERR_NONE = 0,
  LERR_MODULE_NOT_FOUND = 1,
  LERR_WRONG_STATE = 2,     // the module is not in a state that allows the operation
  LERR_RANGE = 3,           // a command's argument is out of its range
  LERR_NO_ADAPTER = -11,
  LERR_THREAD = -12,
};

// The record handed to callers of GetError (276 bytes).
struct QuorvErrorRecord {
  int32_t number;
  int32_t module;          // 0 as set by the driver
  uint8_t reserved[6];     // left as they are
  char text[258];          // detail text; on reading, the error text before it
  uint32_t time;           // seconds since 1970
};
static_assert(sizeof(QuorvErrorRecord) == 276, "callers pass 276 bytes");
static_assert(offsetof(QuorvErrorRecord, text) == 14 && offsetof(QuorvErrorRecord, time) == 272, "field order");

// "no error", "module not found", ...; "unknown error number" for the rest.
const char* LinkErrorText(int32_t number);

// One error record with its lock (set by any thread, read by the caller).
class LinkError {
 public:
  // Records the error (number and detail text, time now) and writes the
  // level-1 log line "SetError n=%d Mod=%d %s".
  void Set(int32_t number, const char* detail);
  int32_t Number() const;
  // Copies min(size, 276) bytes of the record into `buffer` and clears the
  // number. With size exactly 276 the text is the error's own text followed
  // directly by the detail, cut to 255 characters. True when an error was
  // pending.
  bool Take(void* buffer, int size);

 private:
  mutable std::mutex mutex_;
  QuorvErrorRecord record_{};
};
