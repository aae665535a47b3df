#include "base/assertion.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "base/logging.h"

namespace {

std::atomic<unsigned long> g_failures{0};

void DefaultHandler(const char* condition, const char* message, const char* file, int line) {
  LogMessage(LOG_ALWAYS | 6, "Assertion failed: %s: %s (%s:%d)", condition, message ? message : "", file, line);
  std::fprintf(stderr, "Assertion failed: %s: %s (%s:%d)\n", condition, message ? message : "", file, line);
#ifndef NDEBUG
  std::abort();
#endif
}

std::atomic<AssertionHandler> g_handler{&DefaultHandler};

}  // namespace

AssertionHandler SetAssertionHandler(AssertionHandler handler) {
  return g_handler.exchange(handler ? handler : &DefaultHandler);
}

void AssertionFailed(const char* condition, const char* message, const char* file, int line) {
  g_failures.fetch_add(1, std::memory_order_relaxed);
  g_handler.load()(condition, message, file, line);
}

unsigned long AssertionFailureCount() { return g_failures.load(std::memory_order_relaxed); }
