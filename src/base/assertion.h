// One assertion facility for the whole system: a failed internal consistency
// check reports its condition text and a message to a replaceable handler.
#pragma once

using AssertionHandler = void (*)(const char* condition, const char* message, const char* file, int line);

// Installs a handler and returns the previous one. nullptr restores the default,
// which logs the failure and aborts in debug builds (continues in release builds).
AssertionHandler SetAssertionHandler(AssertionHandler handler);

// Reports a failed check through the current handler.
void AssertionFailed(const char* condition, const char* message, const char* file, int line);

// Number of failures reported since start (tests read this).
unsigned long AssertionFailureCount();

// Evaluates to the condition, so callers can write `if (!QASSERT(p != 0, "...")) return;`.
#define QASSERT(cond, msg) \
  ((cond) ? true : (AssertionFailed(#cond, (msg), __FILE__, __LINE__), false))
