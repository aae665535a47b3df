#include "frontend.h"

FrontEnd::~FrontEnd() = default;

void FrontEnd::StartProgram(const std::string&) {}
void FrontEnd::ClearBreak() {}
void FrontEnd::EndProgram() {}
void FrontEnd::SetOffsetPosition(const double[3], bool) {}
void FrontEnd::SetDrawFlag(bool) {}
void FrontEnd::ResyncPosition() {}
void FrontEnd::AddProgrammedLine(const Coordinates&) {}
void FrontEnd::AddProgrammedArc(const Coordinates&, const double[3], int32_t, bool) {}
void FrontEnd::FrontEndHook() {}
void FrontEnd::WaitForMachine() {}
int32_t FrontEnd::GetBackEndKind() { return BACKEND_NONE; }
void FrontEnd::SetTag(int32_t tag) { m_tag = tag; }

void FrontEnd::SetMachineState(MachineState* state) {
  m_machineState = state;
  m_notifier.SetMachineState(state);
}

void FrontEnd::SetMaxRpm(double) {}
void FrontEnd::SetExecMode(int32_t) {}
int32_t FrontEnd::GetExecMode() { return 0; }

// A stage without a position of its own reports the origin.
void FrontEnd::GetPosition(Coordinates& position) { position.Clear(); }
