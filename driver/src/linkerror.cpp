#include "driver/src/linkerror.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "base/driverlog.h"
#include "driver/src/linkframe.h"

const char* LinkErrorText(int32_t number) {
  switch (number) {
    case LERR_NONE: return "no error";
    case LERR_MODULE_NOT_FOUND: return "module not found";
    case LERR_RANGE: return "range or parameter error";
    case LERR_NO_ADAPTER: return "pcap: unable to open network device list";
    case LERR_THREAD: return "pthread_create() failed";
    default: return "unknown error number";
  }
}

void LinkError::Set(int32_t number, const char* detail) {
  const char* text = detail ? detail : "";
  {
    std::lock_guard<std::mutex> lock(mutex_);
    record_.number = number;
    record_.module = 0;
    linkframe::CopyText(record_.text, sizeof record_.text, text);
    record_.time = static_cast<uint32_t>(std::time(nullptr));
  }
  DriverStatAdd(STAT_ERRORS);
  DriverLog(DLOG_ERROR, "SetError n=%d Mod=%d %s", number, 0, text);
}

int32_t LinkError::Number() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return record_.number;
}

bool LinkError::Take(void* buffer, int size) {
  QuorvErrorRecord copy;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    copy = record_;
    record_.number = 0;
  }
  if (size == static_cast<int>(sizeof copy)) {
    // The error's own text, then the detail, 255 characters at most.
    char composed[sizeof copy.text] = {};
    const char* head = LinkErrorText(copy.number);
    const size_t h = std::strlen(head);
    std::memcpy(composed, head, h);
    linkframe::CopyText(composed + h, 256 - h, copy.text);
    std::memcpy(copy.text, composed, sizeof composed);
  }
  if (buffer && size > 0) std::memcpy(buffer, &copy, std::min<size_t>(static_cast<size_t>(size), sizeof copy));
  return copy.number != 0;
}
