#include "realmachine/modulelink.h"

#include <algorithm>
#include <cmath>

#include "driver/src/linkframe.h"
#include "driver/src/networkbuffer.h"
#include "driver/src/quorvdriver.h"

ModuleLink::~ModuleLink() = default;

bool ModuleLink::SetAxisPosition(int, int32_t) { return false; }
bool ModuleLink::SetThc(const Thc&) { return false; }
bool ModuleLink::SetThcVelocity(uint32_t) { return false; }
bool ModuleLink::ReadHandwheel(uint32_t&, uint32_t&, uint32_t&) { return false; }
bool ModuleLink::SetHandwheelJog(const Wheel&) { return false; }
bool ModuleLink::SetHandwheelTargets(uint32_t, const int32_t*, int) { return false; }

bool QuorvLink::Up() { return !m_driver.ConnectionIsBad(m_key); }

bool QuorvLink::WindowFull() { return m_driver.FramesInFlight(m_key) >= NetworkBuffer::kWindow; }

bool QuorvLink::SendPoint(const int32_t* steps, int n, uint16_t& ref, int& level) {
  return m_driver.SetPosition(m_key, steps, n, &ref, &level);
}

bool QuorvLink::SetDynamics(double acc, double vmax, double filter, double estop) {
  return m_driver.SetDynamics(m_key, acc, vmax, filter, estop, 0.0);
}

bool QuorvLink::SetVelocity(double v) { return m_driver.SetVelocity(m_key, v); }

bool QuorvLink::SetFeedOverride(double percent) { return m_driver.SetFeedOverride(m_key, percent); }

bool QuorvLink::SetSpindleOverride(double percent) { return m_driver.SetSpindleOverride(m_key, percent); }

bool QuorvLink::SetSyncOutput(int output, bool on, bool onTheFly, uint16_t& ref) {
  return m_driver.SetSyncOutput(m_key, output, on ? 1 : 0, onTheFly, &ref);
}

bool QuorvLink::SetPwm(double duty, bool onTheFly, uint16_t& ref) {
  return m_driver.SetPwm(m_key, duty, 0.0, onTheFly, &ref);
}

bool QuorvLink::ClearBuffer() { return m_driver.ClearBuffer(m_key); }

bool QuorvLink::StopMotion() { return m_driver.StopMotion(m_key); }

bool QuorvLink::SetAxisPosition(int channel, int32_t steps) { return m_driver.SetAxisPosition(m_key, channel, steps); }

bool QuorvLink::SetThc(const Thc& t) {
  QuorvDriver::ThcSettings s;
  s.axis = t.channel;
  s.automatic = t.automatic;
  s.gain = t.gain;
  s.inverted = t.inverted;
  s.voltage = t.targetVolts;
  s.a = static_cast<uint32_t>(t.lowSteps);
  s.b = static_cast<uint32_t>(t.highSteps);
  s.c = t.velStepsPerS;
  s.d = t.accStepsPerS2;
  s.e = t.on ? 1 : 0;
  s.w = t.deadbandVolts;
  return m_driver.SetThc(m_key, s);
}

bool QuorvLink::SetThcVelocity(uint32_t share) {
  return m_driver.SetPar(m_key, linkframe::kParThcNomVelocity, &share, 1);
}

bool QuorvLink::RequestStatus() { return m_driver.RequestStatus(m_key); }

bool QuorvLink::ReadStatus(int& level, int& status) { return m_driver.ReadStatus(m_key, &level, &status); }

bool QuorvLink::ReadPosition(uint16_t& ref, int32_t* steps, int n) {
  return m_driver.ReadPosition(m_key, &ref, steps, n);
}

bool QuorvLink::ReadInputs(uint32_t& inputs) { return m_driver.ReadInputs(m_key, &inputs); }

bool QuorvLink::ReadHandwheel(uint32_t& count, uint32_t& changed, uint32_t& sampled) {
  uint32_t v[linkframe::kHandwheelValues] = {};
  if (!m_driver.GetPar(m_key, linkframe::kParHandwheel, linkframe::kHandwheelValues, v)) return false;
  count = v[0];
  changed = v[1];
  sampled = v[2];
  return true;
}

bool QuorvLink::SetHandwheelJog(const Wheel& w) {
  if (w.accMmPerS2 > 0) {
    uint32_t v[kChannels];
    for (int c = 0; c < kChannels; ++c)
      v[c] = static_cast<uint32_t>(std::lround(std::clamp(w.velStepsPerS[c], 0.0, 4.0e9)));
    if (!m_driver.SetPar(m_key, linkframe::kParHandwheelVelocity, v, kChannels)) return false;
  }
  return m_driver.SetHandwheelJog(m_key, w.accMmPerS2, w.velMmPerS, w.roundS, w.filterS);
}

bool QuorvLink::SetHandwheelTargets(uint32_t speedFraction, const int32_t* steps, int n) {
  uint32_t v[kChannels];
  if (n < 1 || n > kChannels) return false;
  for (int c = 0; c < n; ++c) v[c] = static_cast<uint32_t>(steps[c]);
  return m_driver.SetHandwheelTargets(m_key, speedFraction, v, n);
}
