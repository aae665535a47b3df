// The module's record: what it executed, where its axes were, what its
// outputs did, each line stamped with microseconds since the start.
//   <µs> EVT <text>                 connection events, faults, stops
//   <µs> CMD <code> <hex args>      every executed command, in execution order
//   <µs> POS <steps> ...            axis positions, each 5 ms tick they changed
//   <µs> OUT <hex>                  the output word after a change
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace modsim {

class Recorder {
 public:
  ~Recorder();
  bool Open(const std::string& path, const std::string& header);
  bool Active() const { return file_ != nullptr; }
  void Event(uint64_t t, const char* format, ...) __attribute__((format(printf, 3, 4)));
  void Command(uint64_t t, uint8_t code, const uint8_t* args, int length);
  void Positions(uint64_t t, const int32_t* steps, int n);
  void Outputs(uint64_t t, uint32_t word);
  void Flush();

 private:
  FILE* file_ = nullptr;
};

}  // namespace modsim
