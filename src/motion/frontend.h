// FrontEnd: the sink for everything a running part program produces (moves,
// arcs, state changes). Stages are chained: a stage may transform the stream
// and pass it to the stage behind it. Operations a stage does not override
// end at that stage; they are not forwarded.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/coordinates.h"

class MachineState;
class StateChange;
struct ConditionTerm;
// A compiled IF/UNTIL condition (same alias as the lexer's).
using Condition = std::vector<ConditionTerm>;

// Values returned by GetBackEndKind.
enum BackEndKind : int32_t {
  BACKEND_NONE = 0,        // no machine behind the stage (preview, compensation)
  BACKEND_SIMULATION = 1,  // simulation or fast-forward
  BACKEND_MACHINE = 2,     // the real machine
};

// Execution mode 0 is the standard mode ("execStd" in the log).
constexpr int32_t kExecStd = 0;

// Member of every front end that follows its machine state and the torch
// height control switch, so observers (the preview, the simulation's
// display) can read both without knowing the stage.
class FrontEndNotifier {
 public:
  void SetMachineState(MachineState* state) { m_machineState = state; ++m_changes; }
  MachineState* GetMachineState() const { return m_machineState; }
  void SetThc(bool on) { m_thcOn = on; ++m_changes; }
  bool ThcOn() const { return m_thcOn; }
  // Counts notifications so a reader can tell that something changed.
  uint32_t Changes() const { return m_changes; }

 private:
  MachineState* m_machineState = nullptr;
  bool m_thcOn = false;
  uint32_t m_changes = 0;
};

class FrontEnd {
 public:
  FrontEnd() = default;
  FrontEnd(const FrontEnd&) = delete;
  FrontEnd& operator=(const FrontEnd&) = delete;

  // Virtual operations in slot order.
  virtual ~FrontEnd();                                   // 1
  virtual void StartProgram(const std::string& name);    // 2
  virtual void ClearBreak();                             // 3
  virtual void EndProgram();                             // 4
  // 5: feed in mm/s (F / 60; -1 = not given); until = null for none.
  virtual void AddLine(const Coordinates& end, double feed, bool rapid, const Condition* until,
                       bool noKnife) = 0;
  // 6: centre = X, Y, Z of the arc centre; plane 0 = YZ, 1 = ZX, 2 = XY;
  // clockwise = G2.
  virtual void AddArc(const Coordinates& end, const double centre[3], double feed, int32_t plane,
                      bool clockwise) = 0;
  virtual void SetOffsetPosition(const double position[3], bool flag);  // 7
  virtual void SetDrawFlag(bool flag);                                  // 8
  virtual void ResyncPosition();                                        // 9
  virtual void AddProgrammedLine(const Coordinates& end);               // 10
  virtual void AddProgrammedArc(const Coordinates& end, const double centre[3], int32_t plane,
                                bool direction);                        // 11
  virtual void FrontEndHook();                                          // 12: no stage gives it a body
  virtual void AddCmd(const StateChange& change) = 0;                   // 13
  virtual void WaitForMachine();                                        // 14
  virtual int32_t GetBackEndKind();                                     // 15
  virtual void SetTag(int32_t tag);                                     // 16
  virtual void SetMachineState(MachineState* state);                    // 17
  virtual void SetMaxRpm(double rpm);                                   // 18
  virtual void SetExecMode(int32_t mode);                               // 19
  virtual int32_t GetExecMode();                                        // 20
  virtual void GetPosition(Coordinates& position);                      // 21

  // Plain accessors of the fields.
  int32_t GetTag() const { return m_tag; }
  MachineState* GetMachineState() const { return m_machineState; }
  FrontEndNotifier& Notifier() { return m_notifier; }
  const FrontEndNotifier& Notifier() const { return m_notifier; }

 protected:
  FrontEndNotifier m_notifier;
  int32_t m_tag = 0;                        // reference tag of the block being emitted
  MachineState* m_machineState = nullptr;   // not owned
};

// A dwell with UNTIL travels as a 'G' 4 state change, whose only reference
// field is the 32-bit extra word; the condition rides there as a handle. The
// interpreter registers its condition before sending the dwell and releases it
// once it has waited for the machine, so a back end may resolve the handle for
// as long as the dwell runs. Handle 0 means no condition.
class UntilHandle {
 public:
  explicit UntilHandle(const Condition* condition);
  ~UntilHandle();
  UntilHandle(const UntilHandle&) = delete;
  UntilHandle& operator=(const UntilHandle&) = delete;
  uint32_t Value() const { return m_value; }

  // The registered condition, or null for 0, a released or an unknown handle.
  static const Condition* Find(uint32_t handle);
  // Conditions registered at the moment (one per waiting interpreter).
  static int Count();

 private:
  uint32_t m_value = 0;
};
