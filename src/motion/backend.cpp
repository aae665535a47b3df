#include "motion/backend.h"

CallBackHook::~CallBackHook() = default;

BackEnd::~BackEnd() = default;

int32_t BackEnd::CheckBreak(int32_t) { return 0; }
void BackEnd::StartWorker() {}
bool BackEnd::IsFeatureAvailable(int32_t) { return true; }
void BackEnd::RunProgram() {}
void BackEnd::Stop(bool) {}
void BackEnd::Continue() {}
void BackEnd::Jog(int32_t, bool, double, double, bool) {}
void BackEnd::JogTwoAxes(int32_t, bool, int32_t, bool, double, double, bool) {}
void BackEnd::MoveTo(const Coordinates&, double, double, bool) {}
void BackEnd::ExecuteText(const std::string&) {}
void BackEnd::StopJog() {}
void BackEnd::Synchronize() {}
void BackEnd::Home(int32_t) {}
void BackEnd::SetChannel(int32_t, bool) {}
void BackEnd::SetOutputInOrder(int32_t, bool) {}
void BackEnd::SetChannelValue(int32_t, double) {}
bool BackEnd::GetSignal(int32_t) { return false; }
double BackEnd::GetAnalogInput(int32_t) { return 0.0; }
bool BackEnd::GetOutput(int32_t) { return false; }
void BackEnd::SetOutput(int32_t, bool, bool) {}
void BackEnd::PollIo() {}
void BackEnd::SetFeedOverride(double) {}
void BackEnd::SetSpindleOverride(double) {}
void BackEnd::ChangeSpindleOverride(double) {}
void BackEnd::ResetSpindleOverride() {}
void BackEnd::SetThc(bool) {}
void BackEnd::BackEndHookValue(double) {}
void BackEnd::BackEndHook() {}
void BackEnd::SetHandWheelPos(uint32_t, uint32_t, uint32_t) {}
void BackEnd::HandwheelJog(bool, int32_t, double, double, bool) {}
bool BackEnd::TestFlagBit7() { return (m_flags.load(std::memory_order_relaxed) & kFlagBit7) != 0; }
void BackEnd::SetStatusText(const std::string&) {}
void BackEnd::SetStatusCode(int32_t) {}
double BackEnd::GetFeedOverride() { return 0.0; }
double BackEnd::GetSpindleOverride() { return 0.0; }
void BackEnd::GetPosition(Coordinates& position) { position.Clear(); }
double BackEnd::GetActualVelocity() { return 0.0; }
double BackEnd::GetSpindleSpeed() { return 0.0; }
double BackEnd::GetArcVoltage() { return 0.0; }
int32_t BackEnd::GetCursor() { return 0; }
int32_t BackEnd::GetRefNum() { return 0; }
bool BackEnd::TestFlagBit0() { return (m_flags.load(std::memory_order_relaxed) & kFlagBit0) != 0; }
int32_t BackEnd::CheckMachineReady() { return 0; }
int32_t BackEnd::GetStopReason() { return 0; }
int32_t BackEnd::GetReadyError() { return 0; }
uint32_t BackEnd::GetFlags() { return m_flags.load(std::memory_order_relaxed); }
bool BackEnd::HasError() { return false; }
void BackEnd::ClearError() {}
void BackEnd::UnlockDoor() {}
bool BackEnd::IsDoorLimited() { return false; }
int32_t BackEnd::GetAxisValue(int32_t) { return 0; }
void BackEnd::SetMaintenanceMode(bool) {}
void BackEnd::UpdatePwm(double) {}
void BackEnd::StartLubePulse() {}
double BackEnd::TakeTravelledDistance() { return 0.0; }
