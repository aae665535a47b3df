// Numbers from files and programs into integers.
#pragma once

#include <cstdint>

// Truncates toward zero; values beyond 32 bits saturate and NaN gives 0, so
// codes, indexes and tool numbers read from wild values stay defined (a
// plain cast of an out-of-range double is undefined).
inline int32_t ToInt(double v) {
  if (!(v == v)) return 0;
  if (v >= 2147483647.0) return INT32_MAX;
  if (v <= -2147483648.0) return INT32_MIN;
  return static_cast<int32_t>(v);
}
