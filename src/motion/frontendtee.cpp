#include "motion/frontendtee.h"

void FrontEndTee::StartProgram(const std::string& name) {
  m_first.StartProgram(name);
  if (m_second) m_second->StartProgram(name);
}

void FrontEndTee::ClearBreak() {
  m_first.ClearBreak();
  if (m_second) m_second->ClearBreak();
}

void FrontEndTee::EndProgram() {
  if (m_second) m_second->EndProgram();
  m_first.EndProgram();
}

void FrontEndTee::AddLine(const Coordinates& end, double feed, bool rapid, const Condition* until, bool noKnife) {
  m_first.AddLine(end, feed, rapid, until, noKnife);
  if (m_second) m_second->AddLine(end, feed, rapid, until, noKnife);
}

void FrontEndTee::AddArc(const Coordinates& end, const double centre[3], double feed, int32_t plane,
                         bool clockwise) {
  m_first.AddArc(end, centre, feed, plane, clockwise);
  if (m_second) m_second->AddArc(end, centre, feed, plane, clockwise);
}

void FrontEndTee::SetOffsetPosition(const double position[3], bool flag) {
  m_first.SetOffsetPosition(position, flag);
  if (m_second) m_second->SetOffsetPosition(position, flag);
}

void FrontEndTee::SetDrawFlag(bool flag) {
  m_first.SetDrawFlag(flag);
  if (m_second) m_second->SetDrawFlag(flag);
}

void FrontEndTee::ResyncPosition() {
  m_first.ResyncPosition();
  if (m_second) m_second->ResyncPosition();
}

void FrontEndTee::AddProgrammedLine(const Coordinates& end) {
  m_first.AddProgrammedLine(end);
  if (m_second) m_second->AddProgrammedLine(end);
}

void FrontEndTee::AddProgrammedArc(const Coordinates& end, const double centre[3], int32_t plane, bool direction) {
  m_first.AddProgrammedArc(end, centre, plane, direction);
  if (m_second) m_second->AddProgrammedArc(end, centre, plane, direction);
}

void FrontEndTee::FrontEndHook() {
  m_first.FrontEndHook();
  if (m_second) m_second->FrontEndHook();
}

void FrontEndTee::AddCmd(const StateChange& change) {
  m_first.AddCmd(change);
  if (m_second) m_second->AddCmd(change);
}

void FrontEndTee::WaitForMachine() {
  m_first.WaitForMachine();
  if (m_second) m_second->WaitForMachine();
}

void FrontEndTee::SetTag(int32_t tag) {
  m_tag = tag;
  m_first.SetTag(tag);
  if (m_second) m_second->SetTag(tag);
}

void FrontEndTee::SetMachineState(MachineState* state) {
  FrontEnd::SetMachineState(state);
  m_first.SetMachineState(state);
}

void FrontEndTee::SetMaxRpm(double rpm) {
  m_first.SetMaxRpm(rpm);
  if (m_second) m_second->SetMaxRpm(rpm);
}

void FrontEndTee::SetExecMode(int32_t mode) {
  m_first.SetExecMode(mode);
  if (m_second) m_second->SetExecMode(mode);
}
