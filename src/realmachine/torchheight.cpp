// Torch height control: the main module moves Z by the arc voltage it
// measures; the machine switches it with the band and dynamics of Z.
#include <algorithm>
#include <cmath>
#include <cstdio>

#include "base/logging.h"
#include "base/messagelist.h"
#include "io/iomapping.h"
#include "io/iomodule.h"
#include "io/modulecontrol.h"
#include "machine/machineconfig.h"
#include "machine/machinestate.h"
#include "realmachine/realmachine.h"

namespace {
constexpr int32_t kLogThc = LOGCAT_TRAJECTORY | 3;
constexpr int kZ = 2;
// Raw counts of the module's analog input per volt at the input.
constexpr double kRawPerVolt = 409.5;
// The analog input read at the end of an automatic cut has its own scale.
constexpr double kAnalogRawPerVolt = 409.6;
}  // namespace

bool RealMachine::HasThcOption() const {
  const IoModule* main = m_io ? m_io->MainModule() : nullptr;
  return main && main->HasThc();
}

void RealMachine::StoreThc(double volts, double zLowMm, double zHighMm, bool automatic) {
  m_thcVolts = volts;
  m_thcLowMm = zLowMm;
  m_thcHighMm = zHighMm;
  m_thcAuto = automatic;
}

bool RealMachine::SetThcState(bool on) {
  ModuleLink* link = m_stream.Link();
  if (!link) return false;
  const MachineConfig& cfg = GetMachineConfig();
  const AxisParams& z = cfg.axis[kZ];
  ModuleLink::Thc t;
  t.on = on;
  t.automatic = m_thcAuto;
  for (int c = 0; c < m_stream.Channels().count; ++c)
    if (m_stream.Channels().axis[c] == kZ) {
      t.channel = c;
      break;
    }
  const double divider = cfg.thcDivider > 0 ? cfg.thcDivider : 1.0;
  t.gain = cfg.thcGain;
  t.inverted = z.dirInverted;
  t.targetVolts = std::max(m_thcVolts, 0.0) / divider;
  t.deadbandVolts = cfg.thcDeadband / divider;
  const int32_t a = m_stream.Comp().ForwardSteps(kZ, m_thcLowMm);
  const int32_t b = m_stream.Comp().ForwardSteps(kZ, m_thcHighMm);
  t.lowSteps = std::min(a, b);
  t.highSteps = std::max(a, b);
  const double stepsPerMm = 1.0 / std::fabs(z.resolution);
  const double vel = z.maxVelocity * stepsPerMm;   // steps/s
  const double acc = z.workAcceler * stepsPerMm;   // steps/s²
  t.velStepsPerS = static_cast<uint32_t>(std::clamp(vel, 50.0, 4.0e9));
  t.accStepsPerS2 = std::max(acc, 200.0);
  if (on) LogMessage(kLogThc, "THC ON volt=%f vel=%f acc=%f auto=%d", m_thcVolts, vel, acc, m_thcAuto ? 1 : 0);
  else LogMessage(kLogThc, "THC OFF");
  const bool sent = link->SetThc(t);
  if (!sent) LogMessage(kLogThc, "THC not switched: the module refused Z %f..%f", m_thcLowMm, m_thcHighMm);
  if (!sent && on) {
    // The cut would run without height control: the operator must know.
    // (The module takes the band's ends as unsigned step counts, so a band
    // from below Z zero up to or past it is refused.)
    char text[160];
    std::snprintf(text, sizeof text, "Torch height control not switched on (Z band %.3f..%.3f mm)", m_thcLowMm,
                  m_thcHighMm);
    PostOperatorMessage(text);
  }
  m_thcOn.store(on && sent, std::memory_order_release);
  if (!on && m_thcAuto) {
    // The voltage the torch stood at becomes the next target.
    m_thcVolts = m_stream.ArcRaw() * GetMachineConfig().thcDivider / kAnalogRawPerVolt;
    GetMachineState()->SetVar(981, m_thcVolts);
    m_thcAuto = false;
  }
  return sent;
}

void RealMachine::SetThc(bool on) { Post(workcmd::SetThc(on)); }

double RealMachine::GetArcVoltage() {
  return m_stream.ArcRaw() * GetMachineConfig().thcDivider / kRawPerVolt;
}

void RealMachine::WatchArc(bool on) {
  if (m_arcWatch == ArcWatch::MODULE && m_io) {
    m_io->RemoveStopInput(SIG_IN_ARC_OK);
    m_io->SetStopCondition();
  }
  if (m_arcWatch != ArcWatch::OFF || on) LogMessage(kLogThc, "Arc good watch %s", on ? "waits for the arc" : "off");
  // The torch only becomes good some time after M3 (ignition, pierce): the
  // watch starts once the arc reports good.
  m_arcWatch = on ? ArcWatch::WAITING : ArcWatch::OFF;
}

bool RealMachine::PollArcWatch() {
  if (m_arcWatch == ArcWatch::VOLTAGE) return !GetSignal(SIG_IN_ARC_OK);
  if (m_arcWatch != ArcWatch::WAITING || !GetSignal(SIG_IN_ARC_OK)) return false;
  if (m_io && m_io->Mapping().InputMapped(SIG_IN_ARC_OK)) {
    if (!m_io->AddStopInput(SIG_IN_ARC_OK, false, false)) return false;
    m_io->SetStopCondition();
    m_arcWatch = ArcWatch::MODULE;
  } else {
    m_arcWatch = ArcWatch::VOLTAGE;
  }
  LogMessage(kLogThc, "Arc good watch armed (%s)", m_arcWatch == ArcWatch::MODULE ? "input" : "voltage");
  return false;
}

bool RealMachine::ArcLost() {
  return HasThcOption() && m_spindleOn && m_spindleCw && !GetSignal(SIG_IN_ARC_OK);
}
