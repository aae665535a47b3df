// The error raised into a running program.
#pragma once

#include <cstdint>
#include <string>

struct Error_t {
  int32_t code = 0;     // negative; 0 = no error
  uint32_t detail = 0;  // -105: bit mask of the axes whose drive is not ready

  Error_t() = default;
  constexpr Error_t(int32_t c, uint32_t d = 0) : code(c), detail(d) {}
};

// Stop reasons come from the machine, not from the program text.
inline bool IsStopReason(int32_t code) { return code >= -107 && code <= -100; }
