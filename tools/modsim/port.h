// The module side of the wire: one interface captured through libpcap, all
// frames of the link's Ethertype in, frames out.
#pragma once

#include <pcap/pcap.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace modsim {

class Port {
 public:
  ~Port();
  // False with `error` set when the interface cannot be captured.
  bool Open(const std::string& iface, std::string& error);
  // A descriptor that becomes readable when frames wait.
  int Fd() const { return fd_; }
  // The next waiting frame, or false when none waits (non-blocking).
  bool Next(const uint8_t*& data, size_t& length);
  bool Send(const uint8_t* frame, size_t length);

 private:
  pcap_t* handle_ = nullptr;
  int fd_ = -1;
};

}  // namespace modsim
