#include "driver/src/driverassert.h"

#include <pthread.h>

#include "base/assertion.h"
#include "base/driverlog.h"

void DriverAssertFailed(const char* message, const char* file, int line) {
  DriverLog(DLOG_ERROR, "%s", message ? message : "");
  DriverStatAdd(STAT_ASSERTS);
  AssertionFailed("Assert failure", message, file, line);
  pthread_exit(nullptr);
}
