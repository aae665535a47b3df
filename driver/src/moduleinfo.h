// A module known to the driver: its identity from the scan answer, its
// error record and its connection.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "driver/src/linkerror.h"
#include "driver/src/networkbuffer.h"

class NetInterface;

// The three lines of an identification answer.
struct ModuleIdentity {
  char name[260] = {};
  char hardware[16] = {};
  char software[16] = {};
};

// Whether a frame is an identification answer (payload length byte not 0,
// type byte 255).
bool IsIdentificationAnswer(const uint8_t* frame, size_t length);
// Splits the answer's text (frame byte 22 on, as many bytes as byte 20 says)
// at its first two line feeds into name, hardware and software. With fewer
// than two line feeds only the name is taken. Texts are cut to their fields.
void ParseIdentification(const uint8_t* frame, size_t length, ModuleIdentity& out);

// The record handed to callers of GetModuleInfo (180 bytes).
struct QuorvModuleRecord {
  uint32_t key;
  char software[16];
  char hardware[16];
  char name[64];
  uint8_t mac[6];
  int32_t state;
  int32_t bufferSize;  // commands, 512
  char adapter[64];
};
static_assert(sizeof(QuorvModuleRecord) == 180, "callers pass up to 180 bytes");

class ModuleInfo : public NetworkBuffer {
 public:
  static constexpr uint32_t kBufferSize = 512;  // commands the module buffers

  ModuleInfo();
  ~ModuleInfo() override;

  // Takes the identity of a scan answer received on `adapter` from `mac`
  // (whose bytes 2 to 5 are the key).
  // Logs "NewModule: %s hw=%s sw=%s".
  void SetIdentity(const ModuleIdentity& identity, const uint8_t* mac, NetInterface* adapter);
  void FillRecord(QuorvModuleRecord& record);
  NetInterface* Interface() const { return interface_.load(std::memory_order_acquire); }
  // The module's address (copied under the connection's lock: a scan answer
  // may refresh it).
  void GetMac(uint8_t (&out)[6]);
  bool NewerThan131();
  bool AtLeast135();

  // Axis velocity the last dynamics command named (0 until then).
  double MaxVelocity();
  void SetMaxVelocity(double v);

  bool TransmitFrame(const uint8_t* frame, size_t length) override;

  LinkError error;
  uint32_t key = 0;  // set before the module enters the table, never changed
  // When a frame from it arrived last (µs), for forgetting silent modules.
  std::atomic<uint64_t> lastHeard{0};
  // Callers working with the module; a pinned module is never deleted.
  std::atomic<int> users{0};
  // The adapter an open module holds (released when it closes).
  NetInterface* heldAdapter = nullptr;

 private:
  std::atomic<NetInterface*> interface_{nullptr};
  bool newerThan131_ = false;
  bool atLeast135_ = false;
  char software_[16] = {};
  char hardware_[16] = {};
  char name_[260] = {};
  uint8_t mac_[6] = {};
  double maxVelocity_ = 0;
};
