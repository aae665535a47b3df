// Text forms shared by the quorvane-cli commands.
#pragma once

#include <cmath>
#include <cstdio>
#include <string>

// Seconds as "m:ss" or "h:mm:ss", rounded; "--:--" when not a time.
inline std::string Clock(double seconds) {
  if (!(seconds >= 0) || !std::isfinite(seconds)) return "--:--";
  const long s = static_cast<long>(seconds + 0.5);
  char buf[32];
  if (s >= 3600) std::snprintf(buf, sizeof buf, "%ld:%02ld:%02ld", s / 3600, (s / 60) % 60, s % 60);
  else std::snprintf(buf, sizeof buf, "%ld:%02ld", s / 60, s % 60);
  return buf;
}
