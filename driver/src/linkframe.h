// The wire format of the link: the 20-byte frame header every frame carries,
// the answer layout of the modules and the command codes. Shared by the
// driver and the soft module, so both sides agree on one set of offsets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace linkframe {

// Header (little-endian unless said otherwise).
constexpr size_t kDestOffset = 0;     // 6 bytes, all 0xFF for a broadcast
constexpr size_t kSrcOffset = 6;      // 6 bytes
constexpr size_t kTypeOffset = 12;    // the bytes 0x15 0xB3 (Ethertype 5555)
constexpr size_t kLenOffset = 14;     // i16 payload length, or a marker below
constexpr size_t kSnOffset = 16;      // u16 sequence number
constexpr size_t kAnOffset = 18;      // u8 acknowledge number
constexpr size_t kAbOffset = 19;      // u8 acknowledge bits
constexpr size_t kHeaderSize = 20;
constexpr size_t kMaxPayload = 256;  // host frames
constexpr size_t kMaxFrame = kHeaderSize + kMaxPayload;

constexpr uint8_t kType0 = 0x15;
constexpr uint8_t kType1 = 0xB3;
constexpr uint16_t kEtherType = 0x15B3;

constexpr uint16_t kLenRescom = 0xFFFE;  // scan request, no payload
constexpr uint16_t kLenEndcom = 0xFFFF;  // end of a connection, no payload

// Answer payload of a module.
constexpr size_t kAnswerLenOffset = 20;  // bytes from kAnswerDataOffset on
constexpr size_t kAnswerTypeOffset = 21;
constexpr size_t kAnswerDataOffset = 22;
constexpr size_t kGaugeOffset = 22;      // u16 commands waiting in the module
constexpr size_t kRefNumOffset = 24;     // u16 last executed reference number
constexpr size_t kStatusOffset = 26;     // u8
constexpr size_t kInputsOffset = 27;     // 3 bytes, bit per input
constexpr size_t kValuesOffset = 30;     // i32 each: positions or parameters
constexpr size_t kAnswerFixedSize = 8;   // gauge, refnum, status, inputs
constexpr int kMaxValues = 6;            // positions / parameters kept per answer
constexpr size_t kMaxRawData = 253;

constexpr uint8_t kAnswerIdent = 255;
constexpr uint8_t kAnswerRaw = 29;
constexpr uint8_t kAnswerParams = 23;
constexpr uint8_t kAnswerUpdate = 15;
constexpr uint8_t kAnswerStatus = 1;  // any other type is a regular answer

constexpr uint8_t kStatusRawWaiting = 0x10;  // raw data waiting to be fetched

// Module parameters of the handwheel. The module counts the handwheel's
// encoder itself and offers three read-only values from kParHandwheel on
// (read with code 23): the count, the module time of its last change and the
// module time the sample was taken, both in 100 ns. Set-up (25) and targets
// (26) carry velocities as fractions of the jog velocity only, so the host
// writes each channel's jog velocity (steps/s, code 22) from
// kParHandwheelVelocity on before the set-up.
constexpr uint16_t kParHandwheel = 0x0600;
constexpr int kHandwheelValues = 3;
constexpr uint16_t kParHandwheelVelocity = 0x0610;

// Command codes (code, length, arguments).
enum CommandCode : uint8_t {
  CMD_NOP = 0,
  CMD_SET_AXIS_POSITION = 1,
  CMD_POSITION = 2,
  CMD_DYNAMICS = 3,
  CMD_VELOCITY = 4,
  CMD_STOP_MOTION = 5,
  CMD_FEED_OVERRIDE = 6,
  CMD_OUTPUTS = 9,
  CMD_CLEAR_BUFFER = 10,
  CMD_STOP_CONDITION = 11,
  CMD_MAPPING = 12,
  CMD_PWM = 13,
  CMD_UPDATE_PAGE = 15,
  CMD_SPINDLE_OVERRIDE = 16,
  CMD_UNBUFFERED_OUTPUT = 17,
  CMD_THC = 20,
  CMD_SET_PAR = 22,
  CMD_GET_PAR = 23,
  CMD_SYNC_OUTPUT = 24,
  CMD_HANDWHEEL_SETUP = 25,
  CMD_HANDWHEEL_TARGETS = 26,
  CMD_DISPLAY_TEXT = 27,
  CMD_RAW_DATA = 28,
  CMD_FETCH_RAW = 29,
};

// Module parameters (codes 22 and 23) of the motion side: the nominal path
// velocity for torch height control, as a 1/65535 share of the vmax.
constexpr uint16_t kParThcNomVelocity = 0x0620;

inline uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t Get32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}
inline void Put16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
inline void Put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// Module key: MAC bytes 2 to 5 as a little-endian u32.
inline uint32_t KeyFromMac(const uint8_t* mac) { return Get32(mac + 2); }

// "%02X:%02X:%02X:%02X:%02X:%02X" into a buffer of at least 18 bytes.
inline const char* MacText(const uint8_t* mac, char (&out)[18]) {
  std::snprintf(out, sizeof out, "%02X:%02X:%02X:%02X:%02X:%02X", mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
  return out;
}

// The key as users see it: "#%02X%02X%02X%02X" over the MAC bytes 2 to 5.
inline const char* KeyText(uint32_t key, char (&out)[10]) {
  std::snprintf(out, sizeof out, "#%02X%02X%02X%02X", key & 0xFFu, (key >> 8) & 0xFFu, (key >> 16) & 0xFFu,
                (key >> 24) & 0xFFu);
  return out;
}

// Copies a C text into a field of `size` bytes, cut to fit, always ended.
inline void CopyText(char* dst, size_t size, const char* src) {
  size_t n = 0;
  if (src)
    while (n + 1 < size && src[n]) ++n;
  for (size_t i = 0; i < n; ++i) dst[i] = src[i];
  if (size) dst[n] = 0;
}

// Parses "aa:bb:cc:dd:ee:ff" (hex, ':' or '-'); false on anything else.
bool ParseMac(const char* text, uint8_t (&mac)[6]);

}  // namespace linkframe
