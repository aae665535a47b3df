// BackEnd: the operator interface's handle on a machine (real or simulated):
// start, stop, continue, jog, home, move, overrides, outputs and status
// queries. Operations that move the machine are posted to the back end's
// worker thread (see workerthread.h); queries read fields the worker writes.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "base/coordinates.h"

// Base of objects the link and the operator interface call back into. It
// holds no data of its own.
class CallBackHook {
 public:
  CallBackHook() = default;
  CallBackHook(const CallBackHook&) = delete;
  CallBackHook& operator=(const CallBackHook&) = delete;
  virtual ~CallBackHook();
};

class BackEnd : public CallBackHook {
 public:
  // Bits of the flags word reported by the two flag queries.
  static constexpr uint32_t kFlagBit0 = 1u << 0;
  static constexpr uint32_t kFlagBit7 = 1u << 7;
  // State bit reported by CheckBreak on a machine that lets the current block
  // finish: a stop arrived while a called file ran, and the interpreter ends
  // the run with a user break once that file is done.
  static constexpr uint32_t kDeferredBreak = 1u << 8;

  // Virtual operations in slot order. Defaults do nothing and return 0 or
  // false unless noted.
  ~BackEnd() override;                                           // 1
  virtual int32_t CheckBreak(int32_t arg);                       // 2
  virtual void StartWorker();                                    // 3
  virtual bool IsFeatureAvailable(int32_t feature);              // 4: default true
  virtual void RunProgram();                                     // 5
  virtual void Stop(bool flag);                                  // 6
  virtual void Continue();                                       // 7
  virtual void Jog(int32_t axis, bool positive, double step, double velocity, bool flag);  // 8
  virtual void JogTwoAxes(int32_t axis, bool positive, int32_t axis2, bool positive2, double step,
                          double velocity, bool flag);           // 9
  // 10: velocity 0 = rapid.
  virtual void MoveTo(const Coordinates& target, double value2, double velocity, bool direct);
  virtual void ExecuteText(const std::string& text);             // 11
  virtual void StopJog();                                        // 12
  virtual void Synchronize();                                    // 13
  virtual void Home(int32_t axes);                               // 14
  virtual void SetChannel(int32_t channel, bool on);             // 15
  virtual void SetOutputInOrder(int32_t output, bool on);        // 16
  virtual void SetChannelValue(int32_t channel, double value);   // 17
  virtual bool GetSignal(int32_t signal);                        // 18
  virtual double GetAnalogInput(int32_t signal);                 // 19
  virtual bool GetOutput(int32_t output);                        // 20
  virtual void SetOutput(int32_t output, bool on, bool immediate);  // 21
  virtual void PollIo();                                         // 22
  virtual void SetFeedOverride(double percent);                  // 23
  virtual void SetSpindleOverride(double percent);               // 24
  virtual void ChangeSpindleOverride(double percent);            // 25
  virtual void ResetSpindleOverride();                           // 26
  virtual void SetThc(bool on);                                  // 27
  virtual void BackEndHookValue(double value);                   // 28: no body anywhere
  virtual void BackEndHook();                                    // 29: no body anywhere
  virtual void SetHandWheelPos(uint32_t position, uint32_t timestamp, uint32_t endTime);  // 30
  virtual void HandwheelJog(bool start, int32_t axis, double step, double velocity, bool flag);  // 31
  virtual bool TestFlagBit7();                                   // 32: default flags bit 7
  virtual void SetStatusText(const std::string& text);           // 33
  virtual void SetStatusCode(int32_t code);                      // 34
  virtual double GetFeedOverride();                              // 35
  virtual double GetSpindleOverride();                           // 36
  virtual void GetPosition(Coordinates& position);               // 37
  virtual double GetActualVelocity();                            // 38: mm/min
  virtual double GetSpindleSpeed();                              // 39
  virtual double GetArcVoltage();                                // 40
  virtual int32_t GetCursor();                                   // 41
  virtual int32_t GetRefNum();                                   // 42
  virtual bool TestFlagBit0();                                   // 43: default flags bit 0
  virtual int32_t CheckMachineReady();                           // 44: 0 = ready
  virtual int32_t GetStopReason();                               // 45
  virtual int32_t GetReadyError();                               // 46
  virtual uint32_t GetFlags();                                   // 47: default flags
  virtual bool HasError();                                       // 48
  virtual void ClearError();                                     // 49
  virtual void UnlockDoor();                                     // 50
  virtual bool IsDoorLimited();                                  // 51
  virtual int32_t GetAxisValue(int32_t axis);                    // 52
  virtual void SetMaintenanceMode(bool on);                      // 53
  virtual void UpdatePwm(double duty);                           // 54
  virtual void StartLubePulse();                                 // 55
  virtual double TakeTravelledDistance();                        // 56

  bool IsEnabled() const { return m_enabled.load(std::memory_order_relaxed); }
  void SetEnabled(bool on) { m_enabled.store(on, std::memory_order_relaxed); }

 protected:
  // Written by the worker, read by the operator interface without a lock.
  std::atomic<uint32_t> m_flags{0};
  std::atomic<bool> m_enabled{true};
};
