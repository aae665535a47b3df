#include "driver/src/linkframe.h"

#include <cctype>

namespace linkframe {

bool ParseMac(const char* text, uint8_t (&mac)[6]) {
  if (!text) return false;
  const char* p = text;
  for (int i = 0; i < 6; ++i) {
    int v = 0;
    for (int d = 0; d < 2; ++d, ++p) {
      const int c = std::tolower(static_cast<unsigned char>(*p));
      if (c >= '0' && c <= '9') v = v * 16 + (c - '0');
      else if (c >= 'a' && c <= 'f') v = v * 16 + (c - 'a' + 10);
      else return false;
    }
    mac[i] = static_cast<uint8_t>(v);
    if (i < 5) {
      if (*p != ':' && *p != '-') return false;
      ++p;
    }
  }
  return *p == '\0';
}

}  // namespace linkframe
