// FrontEndTee: one interpreter run feeding two stages. Every operation goes
// to both; what the interpreter reads back (back-end kind, position, exec
// mode) comes from the first, the one the run is for. The second only
// listens: the preview records the path while the planner times it, in the
// same pass.
//
// The first stage sees every call before the second, except EndProgram:
// the second ends first, so that the first can read its result when it
// closes the run (the preview's total time is the planner's).
// SetMachineState goes to the first only; a listener keeps its own state
// and follows the run through the state changes.
#pragma once

#include "motion/frontend.h"

class FrontEndTee : public FrontEnd {
 public:
  // Neither is owned; both must outlive the tee. second may be null.
  FrontEndTee(FrontEnd& first, FrontEnd* second) : m_first(first), m_second(second) {}
  // Before the run starts.
  void SetSecond(FrontEnd* second) { m_second = second; }

  void StartProgram(const std::string& name) override;
  void ClearBreak() override;
  void EndProgram() override;
  void AddLine(const Coordinates& end, double feed, bool rapid, const Condition* until, bool noKnife) override;
  void AddArc(const Coordinates& end, const double centre[3], double feed, int32_t plane, bool clockwise) override;
  void SetOffsetPosition(const double position[3], bool flag) override;
  void SetDrawFlag(bool flag) override;
  void ResyncPosition() override;
  void AddProgrammedLine(const Coordinates& end) override;
  void AddProgrammedArc(const Coordinates& end, const double centre[3], int32_t plane, bool direction) override;
  void FrontEndHook() override;
  void AddCmd(const StateChange& change) override;
  void WaitForMachine() override;
  int32_t GetBackEndKind() override { return m_first.GetBackEndKind(); }
  void SetTag(int32_t tag) override;
  void SetMachineState(MachineState* state) override;
  void SetMaxRpm(double rpm) override;
  void SetExecMode(int32_t mode) override;
  int32_t GetExecMode() override { return m_first.GetExecMode(); }
  void GetPosition(Coordinates& position) override { m_first.GetPosition(position); }

 private:
  FrontEnd& m_first;
  FrontEnd* m_second;
};
