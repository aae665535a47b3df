// The hardware link as the application sees it: modules addressed by their
// 32-bit key (MAC bytes 2 to 5), found by a network scan, opened, sent
// commands and read back. Nothing here throws: operations return success
// flags (or 0), and a failure leaves an error record that GetError reads.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/driverlog.h"
#include "driver/src/linkerror.h"
#include "driver/src/moduleinfo.h"
#include "driver/src/networkbuffer.h"

class QuorvInternal;

class QuorvDriver {
 public:
  // Opens the shared trace log `sharedLogName` (when a viewer made it; level
  // 15, mask 0x200), then every usable network adapter. Without an adapter
  // the driver still works as an empty table with error -11 pending.
  explicit QuorvDriver(const char* sharedLogName = sharedlog::kDefaultName);
  // The same on the one adapter named (its capture device name); without
  // it error -11 is pending.
  QuorvDriver(const char* sharedLogName, const char* onlyAdapter);
  ~QuorvDriver();
  QuorvDriver(const QuorvDriver&) = delete;
  QuorvDriver& operator=(const QuorvDriver&) = delete;

  // --- errors and discovery ---
  // True if an error was pending: copies the module's record if it has one,
  // else the driver-wide one (at most 276 bytes; with exactly 276 the text
  // is composed); reading clears it.
  bool GetError(uint32_t key, void* record, int size);
  // Broadcast scan, then the first module (key order) that is free or down.
  uint32_t FindFirstModule();
  uint32_t FindNextModule(uint32_t key);
  // Up to min(size, 180) bytes of the information record.
  bool GetModuleInfo(uint32_t key, void* record, int size);
  // Opens a free module: a directed scan to it, then the connection.
  bool OpenModule(uint32_t key, bool quiet);
  // The key of the module with that address, scanning for it once if needed.
  uint32_t SearchModule(const uint8_t* mac);
  bool CloseModule(uint32_t key);

  // --- commands (module in STAT_CONNECTED unless noted) ---
  // Code 1: an axis's position in steps; axis 0..5.
  bool SetAxisPosition(uint32_t key, int axis, int32_t positionSteps);
  // Code 2: one point of the path, n (1..6) axis positions in steps, bundled.
  // `refNum` gets its reference number, `bufLevel` (if given) the buffer
  // level taken before it was bundled.
  bool SetPosition(uint32_t key, const int32_t* steps, int n, uint16_t* refNum, int* bufLevel = nullptr);
  // Code 3: axis dynamics. acc (mm/s²) > 0, vmax (mm/s) > 0, filterTime (s)
  // >= 0, estopAcc (mm/s²), fifth (s) >= 0. Remembers vmax for SetVelocity.
  bool SetDynamics(uint32_t key, double accMmPerS2, double vmaxMmPerS, double filterTimeS, double estopAccMmPerS2,
                   double fifthS);
  // Code 4: path velocity (mm/s) as a fraction of the last vmax; 0..vmax.
  bool SetVelocity(uint32_t key, double velocityMmPerS);
  // Code 5: the motion side's stop of the module's motion.
  bool StopMotion(uint32_t key);
  // Code 6: feed override in percent (clamped to 0..100).
  bool SetFeedOverride(uint32_t key, double percent);
  // Code 9: the states of output bits 0 to 15 at once; on the fly it joins
  // the motion stream, else it leaves at once and a SetVelocity 0 follows.
  bool SetOutputs(uint32_t key, uint16_t outputWord, bool onTheFly, uint16_t* refNum = nullptr);
  // Code 10: clears the module's command buffer.
  bool ClearBuffer(uint32_t key);
  // Code 11: stop condition over the 24 inputs (selection, stop levels,
  // emergency selection; older firmware gets the emergency bits ORed in).
  bool SetStopCondition(uint32_t key, uint32_t selection, uint32_t states, uint32_t emergency);
  // Code 12: mapping entries and PWM period, `pairs` pairs of bytes.
  bool SetMapping(uint32_t key, const uint8_t* bytes, int pairs);
  // Code 13: PWM duty in percent (0..100) and second value q (0..1).
  bool SetPwm(uint32_t key, double dutyPercent, double q, bool onTheFly, uint16_t* refNum = nullptr);
  // Code 16: spindle override in percent (clamped to 0..150).
  bool SetSpindleOverride(uint32_t key, double percent);
  // Code 17: one output switched at once, outside the motion stream.
  bool UBufOutput(uint32_t key, int output, int state);
  // Code 20: torch height control (axis 0..5, d >= 1, b > a, c > 49).
  struct ThcSettings {
    int axis = 2;
    bool automatic = false;
    double gain = 1;          // clamped to 1/256..127
    bool inverted = false;
    double voltage = 0;       // V, clamped to 0..10
    uint32_t a = 0, b = 1, c = 50;
    double d = 200;           // >= 1
    uint16_t e = 0;
    double w = 0;             // V
  };
  bool SetThc(uint32_t key, const ThcSettings& thc);
  // Code 22: n (0..6) parameter values from parameter `number` on.
  bool SetPar(uint32_t key, uint16_t number, const uint32_t* values, int n);
  // Code 23: asks for count (0..6) values, waits for the answer, copies them.
  bool GetPar(uint32_t key, uint16_t number, int count, uint32_t* values);
  // Code 24: one output switched in step with the motion.
  bool SetSyncOutput(uint32_t key, int output, int state, bool onTheFly, uint16_t* refNum = nullptr);
  // Code 25: handwheel jog set-up (all zero when h1 <= 0).
  bool SetHandwheelJog(uint32_t key, double h1, double h2, double h3, double h4);
  // Code 26: handwheel jog targets, n 1..6.
  bool SetHandwheelTargets(uint32_t key, uint32_t value, const uint32_t* targets, int n);
  // Code 27: handset display text, n 1..60 bytes.
  bool SetDisplayText(uint32_t key, uint16_t value, const char* text, int n);
  // Code 28: raw data to the module, n 1..254 bytes.
  bool SendRawData(uint32_t key, const uint8_t* data, int n);

  // --- reading (what the last answers brought) ---
  // refNum and up to n positions (steps); states connected, update, broken.
  // n 1..6 with a buffer; without one only refNum (n below 7).
  bool ReadPosition(uint32_t key, uint16_t* refNum, int32_t* positionsSteps, int n);
  // The 24 inputs, bit per input.
  bool ReadInputs(uint32_t key, uint32_t* inputs);
  // Buffer level (commands) and status byte; states connected, update,
  // broken. Asks for raw data (code 29) when the status says it waits.
  bool ReadStatus(uint32_t key, int* level, int* status);
  // Copies at most `size` bytes of the last raw data; true when there were any.
  bool ReadRawData(uint32_t key, uint8_t* data, int size, int* count);
  // With wait: a NOP, then until every frame is acknowledged. Without: a NOP
  // only if nothing was received for more than 20 ms.
  bool Synchronize(uint32_t key, bool wait);
  // Unknown, not open, lost, or more than six acknowledge time-outs in a row.
  bool ConnectionIsBad(uint32_t key);
  // A NOP of its own, so the module answers with fresh status, inputs and
  // positions. Never waits: false when all eight frames are in flight or
  // the module is not connected.
  bool RequestStatus(uint32_t key);
  // Frames of the module's connection in flight (0..8); -1 when unknown.
  int FramesInFlight(uint32_t key);

  QuorvInternal* Internal() { return internal_; }

 private:
  enum class Allow { Connected, AlsoUpdateBroken, Free };
  // Looks the module up and pins it; error 1 (driver-wide) when unknown,
  // error 2 (module) when its state does not allow the operation.
  ModuleInfo* Use(uint32_t key, Allow allow, const char* operation);
  // Records error `number` (3: argument out of range, 2: wrong state) on
  // the module; false.
  bool Fail(ModuleInfo* module, int32_t number, const char* operation);
  bool Send(ModuleInfo* module, const uint8_t* command, int size, SendMode mode, const char* operation);
  bool SendRef(ModuleInfo* module, uint8_t* command, int size, bool onTheFly, uint16_t* refNum,
               const char* operation);

  QuorvInternal* internal_;
};
