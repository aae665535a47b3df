#include "control.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "driver/src/linkframe.h"

namespace modsim {

namespace {

bool ParseNumber(const std::string& text, int base, unsigned long max, unsigned long& out) {
  if (text.empty() || text[0] == '-' || text[0] == '+') return false;
  char* end = nullptr;
  errno = 0;
  out = std::strtoul(text.c_str(), &end, base);
  return errno == 0 && *end == 0 && out <= max;
}
bool ParseHex(const std::string& text, unsigned long max, unsigned long& out) { return ParseNumber(text, 16, max, out); }

}  // namespace

bool Control::Apply(const std::string& line, uint64_t now, std::string& error) {
  std::istringstream in(line);
  std::vector<std::string> words;
  for (std::string w; in >> w;) words.push_back(w);
  if (words.empty()) return true;
  std::vector<SoftModule*> targets;
  if (words[0][0] == '@') {
    const std::string sel = words[0].substr(1);
    uint8_t mac[6];
    char* end = nullptr;
    const long index = std::strtol(sel.c_str(), &end, 10);
    for (size_t i = 0; i < modules_.size(); ++i) {
      const bool byIndex = !sel.empty() && *end == 0 && index == static_cast<long>(i) + 1;
      const bool byMac = linkframe::ParseMac(sel.c_str(), mac) && std::memcmp(mac, modules_[i]->Mac(), 6) == 0;
      if (byIndex || byMac) targets.push_back(modules_[i].get());
    }
    if (targets.empty()) {
      error = "no module " + words[0];
      return false;
    }
    words.erase(words.begin());
  } else {
    for (auto& m : modules_) targets.push_back(m.get());
  }
  if (words.empty()) {
    error = "missing command";
    return false;
  }
  const std::string& cmd = words[0];
  unsigned long v = 0, bit = 0;
  if (cmd == "quit" && words.size() == 1) {
    quit_ = true;
  } else if (cmd == "input" && words.size() == 3 && ParseNumber(words[1], 10, 23, bit) &&
             (words[2] == "0" || words[2] == "1")) {
    for (SoftModule* m : targets) {
      const uint32_t in = m->Core().Inputs();
      m->Core().SetInputs(words[2] == "1" ? in | (1u << bit) : in & ~(1u << bit), m->Since(now));
    }
  } else if (cmd == "pin" && words.size() >= 3 && (words.back() == "0" || words.back() == "1")) {
    // By number or connector name ("pin 11 0", "pin Lpt1 pin11 0"): the
    // model's bit of that pin.
    std::string pin = words[1];
    for (size_t i = 2; i + 1 < words.size(); ++i) pin += " " + words[i];
    for (SoftModule* m : targets) {
      if (!m->Core().Pins()) {
        error = "pin needs a module with --model";
        return false;
      }
      const int b = m->Core().Pins()->InputBit(pin, error);
      if (b < 0) return false;
      const uint32_t in = m->Core().Inputs();
      m->Core().SetInputs(words.back() == "1" ? in | (1u << b) : in & ~(1u << b), m->Since(now));
    }
  } else if (cmd == "inputs" && words.size() == 2 && ParseHex(words[1], 0xFFFFFF, v)) {
    for (SoftModule* m : targets) m->Core().SetInputs(static_cast<uint32_t>(v), m->Since(now));
  } else if (cmd == "status" && words.size() == 2 && ParseHex(words[1], 0xFF, v)) {
    for (SoftModule* m : targets) m->Core().SetExtraStatus(static_cast<uint8_t>(v));
  } else if (cmd == "raw" && words.size() >= 2) {
    std::string hex;
    for (size_t i = 1; i < words.size(); ++i) hex += words[i];
    if (hex.size() % 2 != 0) {
      error = "raw takes whole bytes in hex";
      return false;
    }
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i < hex.size(); i += 2) {
      if (!ParseHex(hex.substr(i, 2), 0xFF, v)) {
        error = "raw takes whole bytes in hex";
        return false;
      }
      bytes.push_back(static_cast<uint8_t>(v));
    }
    for (SoftModule* m : targets) m->Core().QueueRawData(bytes);
  } else if (cmd == "arc" && words.size() == 2 && (words[1] == "0" || words[1] == "1")) {
    for (SoftModule* m : targets) m->Core().Thc().SetArc(words[1] == "1");
  } else if (cmd == "wheel" && (words.size() == 2 || words.size() == 3)) {
    // +N / -N: turned by N counts, =N: turned to count N; over MS of module
    // time when given, else at once.
    const std::string& w = words[1];
    unsigned long ms = 0;
    if (w.size() < 2 || (w[0] != '+' && w[0] != '-' && w[0] != '=') || !ParseNumber(w.substr(1), 10, 0xFFFFFFFFul, v) ||
        (words.size() == 3 && !ParseNumber(words[2], 10, 3600000ul, ms))) {
      error = "wheel takes +N, -N or =N and optionally a time in ms";
      return false;
    }
    const int64_t n = w[0] == '-' ? -static_cast<int64_t>(v) : static_cast<int64_t>(v);
    for (SoftModule* m : targets) m->Core().Wheel().Turn(n, w[0] == '=', ms * 1000);
  } else if ((cmd == "silent" || cmd == "talk") && words.size() == 1) {
    for (SoftModule* m : targets) m->SetSilent(cmd == "silent", now);
  } else if (cmd == "restart" && words.size() == 1) {
    for (SoftModule* m : targets) m->Restart(now);
  } else {
    error = "not understood: " + line;
    return false;
  }
  return true;
}

bool LineReader::Fill(int fd) {
  char buf[4096];
  const ssize_t n = read(fd, buf, sizeof buf);
  if (n > 0) pending_.append(buf, static_cast<size_t>(n));
  return n != 0;
}

bool LineReader::NextLine(std::string& line) {
  const size_t nl = pending_.find('\n');
  if (nl == std::string::npos) return false;
  line = pending_.substr(0, nl);
  pending_.erase(0, nl + 1);
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return true;
}

}  // namespace modsim
