#include "port.h"

namespace modsim {

Port::~Port() {
  if (handle_) pcap_close(handle_);
}

bool Port::Open(const std::string& iface, std::string& error) {
  char err[PCAP_ERRBUF_SIZE] = {};
  handle_ = pcap_create(iface.c_str(), err);
  if (!handle_) {
    error = err;
    return false;
  }
  // Promiscuous: the modules of one process answer to several addresses.
  pcap_set_snaplen(handle_, 65535);
  pcap_set_promisc(handle_, 1);
  pcap_set_timeout(handle_, 1);
  pcap_set_immediate_mode(handle_, 1);
  if (pcap_activate(handle_) < 0) {
    error = pcap_geterr(handle_);
    return false;
  }
  pcap_setdirection(handle_, PCAP_D_IN);
  bpf_program filter{};
  if (pcap_compile(handle_, &filter, "ether proto 5555", 1, PCAP_NETMASK_UNKNOWN) != 0 ||
      pcap_setfilter(handle_, &filter) != 0) {
    error = pcap_geterr(handle_);
    return false;
  }
  pcap_freecode(&filter);
  if (pcap_setnonblock(handle_, 1, err) != 0) {
    error = err;
    return false;
  }
  fd_ = pcap_get_selectable_fd(handle_);
  if (fd_ < 0) {
    error = "no selectable descriptor";
    return false;
  }
  return true;
}

bool Port::Next(const uint8_t*& data, size_t& length) {
  pcap_pkthdr* header = nullptr;
  const u_char* bytes = nullptr;
  if (pcap_next_ex(handle_, &header, &bytes) != 1) return false;
  data = bytes;
  length = header->caplen;
  return true;
}

bool Port::Send(const uint8_t* frame, size_t length) {
  return pcap_sendpacket(handle_, frame, static_cast<int>(length)) == 0;
}

}  // namespace modsim
