#include "record.h"

#include <cstdarg>

namespace modsim {

Recorder::~Recorder() {
  if (file_) std::fclose(file_);
}

bool Recorder::Open(const std::string& path, const std::string& header) {
  file_ = std::fopen(path.c_str(), "w");
  if (!file_) return false;
  std::fprintf(file_, "# %s\n", header.c_str());
  return true;
}

void Recorder::Event(uint64_t t, const char* format, ...) {
  if (!file_) return;
  std::fprintf(file_, "%llu EVT ", static_cast<unsigned long long>(t));
  va_list ap;
  va_start(ap, format);
  std::vfprintf(file_, format, ap);
  va_end(ap);
  std::fputc('\n', file_);
}

void Recorder::Command(uint64_t t, uint8_t code, const uint8_t* args, int length) {
  if (!file_) return;
  std::fprintf(file_, "%llu CMD %u ", static_cast<unsigned long long>(t), code);
  for (int i = 0; i < length; ++i) std::fprintf(file_, "%02x", args[i]);
  std::fputc('\n', file_);
}

void Recorder::Positions(uint64_t t, const int32_t* steps, int n) {
  if (!file_) return;
  std::fprintf(file_, "%llu POS", static_cast<unsigned long long>(t));
  for (int i = 0; i < n; ++i) std::fprintf(file_, " %d", steps[i]);
  std::fputc('\n', file_);
}

void Recorder::Outputs(uint64_t t, uint32_t word) {
  if (file_) std::fprintf(file_, "%llu OUT %04x\n", static_cast<unsigned long long>(t), word);
}

void Recorder::Flush() {
  if (file_) std::fflush(file_);
}

}  // namespace modsim
