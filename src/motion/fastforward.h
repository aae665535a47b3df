// Run-from-line preparation: the interpreter runs the program up to the
// chosen line against this stage, which moves nothing but leaves the machine
// state (position, offsets, modal values, spindle, feed) as a real run would.
#pragma once

#include "base/coordinates.h"
#include "motion/frontend.h"

class FastForward : public FrontEnd {
 public:
  // next: the stage behind, kept for the caller; nothing is forwarded to it.
  // SetMachineState must be called before the first element.
  explicit FastForward(FrontEnd* next);
  ~FastForward() override = default;

  void AddLine(const Coordinates& end, double feed, bool rapid, const Condition* until, bool noKnife) override;
  void AddArc(const Coordinates& end, const double centre[3], double feed, int32_t plane, bool clockwise) override;
  void AddCmd(const StateChange& change) override;
  void SetOffsetPosition(const double position[3], bool flag) override;
  void WaitForMachine() override {}
  int32_t GetBackEndKind() override { return BACKEND_SIMULATION; }
  // The machine position the run would have reached; before the first move
  // the machine state's position.
  void GetPosition(Coordinates& position) override;

  bool IsFastForward() const { return true; }
  bool KnifeMode() const { return m_knifeMode; }
  FrontEnd* Next() const { return m_next; }

 private:
  // The end through the active transformation of the machine state.
  Coordinates ToMachine(const Coordinates& end) const;

  FrontEnd* m_next;
  Coordinates m_position;
  bool m_havePosition = false;
  bool m_knifeMode;
};
