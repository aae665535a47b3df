// The link's time base: a microsecond wall clock that can be replaced (tests
// set it back without touching the system clock), the clamped difference of
// two times and a short sleep.
#pragma once

#include <cstdint>

// Where the time comes from. The default reads the system wall clock
// (CLOCK_REALTIME), which can jump backwards: the timer service corrects.
class TimeSource {
 public:
  virtual ~TimeSource() = default;
  // Microseconds since 1970-01-01 00:00 UTC.
  virtual uint64_t NowMicros() = 0;
};

// The system wall clock (a process-wide instance).
TimeSource& SystemTimeSource();

// Reads the system wall clock and stores the value as the current time.
uint64_t GetTimeMicros();
// Reads `source` and stores the value as the current time.
uint64_t GetTimeMicros(TimeSource& source);
// The value stored by the last read of the time.
uint64_t CurrentTimeMicros();

// a - b in microseconds, clamped to [-2147483647, 2147483647].
int32_t TimeDiff(uint64_t a, uint64_t b);

// Sleeps at least `micros` microseconds (the driver log waits 100 us at a time).
void SleepMicros(uint32_t micros);
