// Any bytes as an identification answer: the three texts always end inside
// their fields, whatever the count byte says.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "driver/src/moduleinfo.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (!IsIdentificationAnswer(data, size)) return 0;
  ModuleIdentity id;
  ParseIdentification(data, size, id);
  if (strnlen(id.name, sizeof id.name) == sizeof id.name || strnlen(id.hardware, sizeof id.hardware) == sizeof id.hardware ||
      strnlen(id.software, sizeof id.software) == sizeof id.software)
    __builtin_trap();
  return 0;
}
