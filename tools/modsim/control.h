// Control lines from stdin or a FIFO, so tests and integrators can press a
// limit switch or an emergency stop while the module runs:
//   [@INDEX|@MAC] input BIT 0|1 | pin PIN 0|1 | inputs HEX | status HEX | raw HEX...
//   [@INDEX|@MAC] wheel +N|-N|=N [MS]
//   [@INDEX|@MAC] silent | talk | restart | arc 0|1
//   quit
// Each line is answered on stdout with "ok" or "error: <why>".
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "softmodule.h"

namespace modsim {

class Control {
 public:
  explicit Control(std::vector<std::unique_ptr<SoftModule>>& modules) : modules_(modules) {}
  // Applies one line. False with `error` set when it is not understood.
  bool Apply(const std::string& line, uint64_t now, std::string& error);
  bool QuitRequested() const { return quit_; }

 private:
  std::vector<std::unique_ptr<SoftModule>>& modules_;
  bool quit_ = false;
};

// Collects bytes from a descriptor into lines.
class LineReader {
 public:
  // Reads what is there; false at end of input.
  bool Fill(int fd);
  bool NextLine(std::string& line);

 private:
  std::string pending_;
};

}  // namespace modsim
