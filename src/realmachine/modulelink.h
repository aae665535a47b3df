// ModuleLink: what the position stream asks of the main controller module,
// one call per command of the link. QuorvLink is the module on the hardware
// link; tests put a module of their own behind the same calls.
//
// Nothing here throws and nothing waits for an answer: a call that cannot
// go out returns false.
#pragma once

#include <cstdint>

class QuorvDriver;

class ModuleLink {
 public:
  static constexpr int kChannels = 6;

  virtual ~ModuleLink();

  // The connection stands (not bad, not lost).
  virtual bool Up() = 0;
  // The window of unacknowledged frames is full: the next command would
  // wait for an answer.
  virtual bool WindowFull() = 0;

  // One point, n (1..6) channels in steps, bundled. ref: its reference
  // number; level: the module's buffer level before it (commands waiting,
  // in flight and bundled).
  virtual bool SendPoint(const int32_t* steps, int n, uint16_t& ref, int& level) = 0;
  // acc mm/s², vmax mm/s, filter s, estop mm/s²; only while the axes stand.
  virtual bool SetDynamics(double accMmPerS2, double vmaxMmPerS, double filterS, double estopMmPerS2) = 0;
  virtual bool SetVelocity(double velocityMmPerS) = 0;
  virtual bool SetFeedOverride(double percent) = 0;
  virtual bool SetSpindleOverride(double percent) = 0;
  // An output switched in the stream (on the fly) or at once.
  virtual bool SetSyncOutput(int output, bool on, bool onTheFly, uint16_t& ref) = 0;
  // PWM duty in percent, in the stream (on the fly) or at once.
  virtual bool SetPwm(double dutyPercent, bool onTheFly, uint16_t& ref) = 0;
  virtual bool ClearBuffer() = 0;
  virtual bool StopMotion() = 0;
  // Gives channel (0..5) a new position (steps) without moving it; only
  // while the axes stand and the buffer is empty (homing).
  virtual bool SetAxisPosition(int channel, int32_t steps);
  // Torch height control of the module: it moves one channel so the arc
  // voltage it measures stays at the target.
  struct Thc {
    bool on = false;
    bool automatic = false;   // the module takes the voltage it finds as target
    int channel = 2;
    double gain = 1;
    bool inverted = false;    // the channel counts down where the torch rises
    double targetVolts = 0;   // at the module's input (after the divider), V
    double deadbandVolts = 0; // at the module's input, V
    int32_t lowSteps = 0, highSteps = 1;  // the band the channel stays in
    uint32_t velStepsPerS = 50;
    double accStepsPerS2 = 200;
  };
  virtual bool SetThc(const Thc& thc);
  // The nominal path velocity for the module's torch height control, as a
  // 1/65535 share of the vmax of its dynamics.
  virtual bool SetThcVelocity(uint32_t share);
  // The handwheel the module counts: its count and the module times (100 ns)
  // of the count's last change and of the sample. Waits for the answer.
  virtual bool ReadHandwheel(uint32_t& count, uint32_t& changed, uint32_t& sampled);
  // Handwheel jog: the module moves the channels to their targets by itself,
  // at a fraction of the jog velocity, ramped by the jog acceleration.
  struct Wheel {
    double accMmPerS2 = 0;    // 0: the jog ends
    double velMmPerS = 0;     // the jog velocity
    double roundS = 0.01;     // the host's round
    double filterS = 0;       // the host's smoothing of the count
    double velStepsPerS[kChannels] = {};  // jog velocity per channel; 0: the channel stands
  };
  virtual bool SetHandwheelJog(const Wheel& wheel);
  // speedFraction: of the jog velocity, 2^30 = all of it; one target (steps)
  // per channel from 0 on, n 1..6.
  virtual bool SetHandwheelTargets(uint32_t speedFraction, const int32_t* steps, int n);
  // Asks for a fresh answer; false when it would have to wait.
  virtual bool RequestStatus() = 0;
  // From the last answer: level as for SendPoint, status byte.
  virtual bool ReadStatus(int& level, int& status) = 0;
  // From the last answer: the last reference number executed and n channel
  // positions (steps).
  virtual bool ReadPosition(uint16_t& ref, int32_t* steps, int n) = 0;
  virtual bool ReadInputs(uint32_t& inputs) = 0;
};

// The main module on the hardware link.
class QuorvLink : public ModuleLink {
 public:
  QuorvLink(QuorvDriver& driver, uint32_t key) : m_driver(driver), m_key(key) {}
  uint32_t Key() const { return m_key; }
  QuorvDriver& Driver() { return m_driver; }

  bool Up() override;
  bool WindowFull() override;
  bool SendPoint(const int32_t* steps, int n, uint16_t& ref, int& level) override;
  bool SetDynamics(double accMmPerS2, double vmaxMmPerS, double filterS, double estopMmPerS2) override;
  bool SetVelocity(double velocityMmPerS) override;
  bool SetFeedOverride(double percent) override;
  bool SetSpindleOverride(double percent) override;
  bool SetSyncOutput(int output, bool on, bool onTheFly, uint16_t& ref) override;
  bool SetPwm(double dutyPercent, bool onTheFly, uint16_t& ref) override;
  bool ClearBuffer() override;
  bool StopMotion() override;
  bool SetAxisPosition(int channel, int32_t steps) override;
  bool SetThc(const Thc& thc) override;
  bool SetThcVelocity(uint32_t share) override;
  bool ReadHandwheel(uint32_t& count, uint32_t& changed, uint32_t& sampled) override;
  bool SetHandwheelJog(const Wheel& wheel) override;
  bool SetHandwheelTargets(uint32_t speedFraction, const int32_t* steps, int n) override;
  bool RequestStatus() override;
  bool ReadStatus(int& level, int& status) override;
  bool ReadPosition(uint16_t& ref, int32_t* steps, int n) override;
  bool ReadInputs(uint32_t& inputs) override;

 private:
  QuorvDriver& m_driver;
  uint32_t m_key;
};
