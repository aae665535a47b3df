// The safety machines against a fake machine, checked the way a safety
// review would: each machine's reachable states explored exhaustively over
// every input combination, every transition compared with its table, and
// the properties that protect the operator asserted on every step.
#include "io/safety.h"

#include <gtest/gtest.h>

#include <array>
#include <deque>
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "base/logging.h"
#include "io/iomapping.h"

namespace {

// Hundreds of thousands of transitions: their log lines would cost more
// than the exploration.
struct QuietLog {
  const int32_t mask = GetLogMask();
  QuietLog() { SetLogMask(0); }
  ~QuietLog() { SetLogMask(mask); }
};

struct FakeIo : SafetyIo {
  using Signals = std::array<bool, kFixedSignals>;
  Signals in{}, out{};
  std::set<int> mappedIn, mappedOut;
  bool recordWrites = true;
  std::vector<std::pair<int, bool>> writes;
  int stops = 0, clears = 0;
  double sleptS = 0;
  std::vector<std::string> reports;
  SafetyPlc* plc = nullptr;

  bool GetInput(int s) override { return s >= 0 && s < kFixedSignals && in[static_cast<size_t>(s)]; }
  bool InputMapped(int s) override { return mappedIn.count(s) > 0; }
  bool OutputMapped(int s) override { return mappedOut.count(s) > 0; }
  void SetOutput(int s, bool on) override {
    out[static_cast<size_t>(s)] = on;
    if (recordWrites) writes.emplace_back(s, on);
  }
  bool GetOutput(int s) override { return s >= 0 && s < kFixedSignals && out[static_cast<size_t>(s)]; }
  void RefreshInputs() override {}
  void StopMotion() override { ++stops; }
  void ClearBuffer() override { ++clears; }
  int MachineStatus() override { return plc ? plc->Readiness() : 0; }
  void Sleep(double s) override { sleptS += s; }
  void Report(const std::string& t) override { reports.push_back(t); }
};

// ------------------------------------------------------------ motion supervisor

struct SupervisorInput {
  bool motion, bit1, bit2, emergency, alarm, empty;
  int Status() const { return (motion ? 1 : 0) | (bit1 ? 2 : 0) | (bit2 ? 4 : 0); }
};

// The supervisor's table as the machine must follow it.
uint32_t ExpectedMotion(uint32_t s, const SupervisorInput& i) {
  const bool flag = i.bit1 || i.bit2, stop = flag || i.emergency || i.alarm;
  switch (s) {
    case MOTION_IDLE: return stop ? MOTION_HALTING : i.motion ? MOTION_MOVING : MOTION_IDLE;
    case MOTION_MOVING: return stop ? MOTION_HALTING : !i.motion ? MOTION_IDLE : MOTION_MOVING;
    case MOTION_HALTING: return !i.motion && !i.emergency && !i.alarm ? MOTION_BLOCKED : MOTION_HALTING;
    case MOTION_BLOCKED: return i.empty ? MOTION_CLEARED : MOTION_BLOCKED;
    case MOTION_CLEARED: return !stop ? MOTION_IDLE : flag && !i.emergency && !i.alarm ? MOTION_HALTING : MOTION_CLEARED;
  }
  return 0xFF;
}

TEST(SafetySupervisor, EveryReachableStateFollowsTheTableForEveryInput) {
  QuietLog quiet;
  FakeIo io;
  SafetyPlc start(io, SafetyConfig());
  io.plc = &start;
  start.Init();
  std::vector<SupervisorInput> inputs;
  for (int b = 0; b < 64; ++b)
    inputs.push_back({(b & 1) != 0, (b & 2) != 0, (b & 4) != 0, (b & 8) != 0, (b & 16) != 0, (b & 32) != 0});
  std::map<uint32_t, SafetyPlc> reached{{start.MotionState(), start}};
  std::deque<uint32_t> todo{start.MotionState()};
  std::set<std::pair<uint32_t, uint32_t>> transitions;
  while (!todo.empty()) {
    const uint32_t from = todo.front();
    todo.pop_front();
    for (const SupervisorInput& i : inputs) {
      SafetyPlc plc = reached.at(from);
      io.in[SIG_IN_EMERGENCY_STOP] = i.emergency;
      io.in[SIG_IN_ALARM1] = i.alarm;
      io.stops = io.clears = 0;
      io.reports.clear();
      plc.Poll(i.empty ? 0 : 3, i.Status(), 0);
      const uint32_t to = plc.MotionState();
      const std::string where = std::string(SafetyPlc::MotionName(from)) + " status " + std::to_string(i.Status()) +
                                " emergency " + std::to_string(i.emergency) + " alarm " + std::to_string(i.alarm) +
                                " empty " + std::to_string(i.empty);
      ASSERT_EQ(to, ExpectedMotion(from, i)) << where;
      // Every stop stops the module's motion at once and tells the operator
      // why; the buffer is cleared exactly once, after the machine rests.
      const bool halted = to == MOTION_HALTING && from != MOTION_HALTING;
      EXPECT_EQ(io.stops, halted ? 1 : 0) << where;
      EXPECT_EQ(io.reports.size(), halted ? 1u : 0u) << where;
      if (halted) {
        EXPECT_EQ(io.reports[0], i.emergency ? "emergency stop switch triggered"
                                 : i.alarm   ? "alarm input #1 triggered"
                                 : i.bit1    ? "emergency stop switch triggered"
                                             : "limit or home switch triggered")
            << where;
      }
      EXPECT_EQ(io.clears, from == MOTION_HALTING && to == MOTION_BLOCKED ? 1 : 0) << where;
      if (from != to) transitions.insert({from, to});
      if (reached.emplace(to, plc).second) todo.push_back(to);
    }
  }
  EXPECT_EQ(reached.size(), 5u);
  const std::set<std::pair<uint32_t, uint32_t>> table = {
      {MOTION_IDLE, MOTION_MOVING},      {MOTION_IDLE, MOTION_HALTING},    {MOTION_MOVING, MOTION_IDLE},
      {MOTION_MOVING, MOTION_HALTING},   {MOTION_HALTING, MOTION_BLOCKED}, {MOTION_BLOCKED, MOTION_CLEARED},
      {MOTION_CLEARED, MOTION_IDLE},     {MOTION_CLEARED, MOTION_HALTING}};
  EXPECT_EQ(transitions, table);
}

// ------------------------------------------------------------ safety circuit test

// Inputs: loop 1, loop 2, emergency stop. The table's conditions as a
// function; errors carry their number.
struct CircuitStep {
  int state, error;  // error -1: none
};
CircuitStep ExpectedCircuit(int s, int counter, bool l1, bool l2, bool e) {
  auto counted = [&](int limit) { return counter + 1 > limit; };
  switch (s) {
    case 0: return l1 ? CircuitStep{7, 1} : l2 ? CircuitStep{7, 5} : counted(5) ? CircuitStep{1, -1} : CircuitStep{0, -1};
    case 1: return l1 ? CircuitStep{7, 2} : counted(5) ? CircuitStep{2, -1} : CircuitStep{1, -1};
    case 2: return l2 ? CircuitStep{7, 6} : l1 ? CircuitStep{3, -1} : CircuitStep{2, -1};
    case 3: return l2 ? CircuitStep{7, 6} : counted(5) ? CircuitStep{4, -1} : CircuitStep{3, -1};
    case 4: return !l1 ? CircuitStep{7, 0} : l2 ? CircuitStep{5, -1} : counted(5) ? CircuitStep{7, 3} : CircuitStep{4, -1};
    case 5:
      return l1 && l2 && e ? (counted(24) ? CircuitStep{7, 7} : CircuitStep{5, -1})
             : l1 && l2    ? CircuitStep{6, -1}
                           : CircuitStep{7, 0};
    case 6: return l1 && l2 && !e ? CircuitStep{6, -1} : CircuitStep{7, 0};
    case 7: return l1 || l2 ? (counted(5) ? CircuitStep{7, l1 ? 4 : 5} : CircuitStep{7, -1}) : CircuitStep{0, -1};
  }
  return {8, -1};
}

TEST(SafetyCircuit, EveryReachableStateFollowsTheTableAndOnlyTheFullSequenceMakesItReady) {
  QuietLog quiet;
  FakeIo io;
  SafetyConfig cfg;
  cfg.circuitTest = true;
  SafetyPlc start(io, cfg);
  io.plc = &start;
  start.Init();
  using Key = std::tuple<int, int, int>;  // state, counter, error
  auto key = [](const SafetyPlc& p) { return Key{p.CircuitState(), p.CircuitCounter(), p.CircuitError()}; };
  std::map<Key, SafetyPlc> reached{{key(start), start}};
  std::deque<Key> todo{key(start)};
  std::set<std::string> rows;  // "from->to" and "from error n"
  while (!todo.empty()) {
    const Key k = todo.front();
    todo.pop_front();
    for (int b = 0; b < 8; ++b) {
      const bool l1 = b & 1, l2 = b & 2, e = b & 4;
      SafetyPlc plc = reached.at(k);
      io.in[SIG_IN_SAFETY_LOOP1] = l1;
      io.in[SIG_IN_SAFETY_LOOP2] = l2;
      io.in[SIG_IN_EMERGENCY_STOP] = e;
      io.writes.clear();
      const int from = std::get<0>(k);
      plc.RunCircuitTest();
      const std::string where = "state " + std::to_string(from) + " counter " + std::to_string(std::get<1>(k)) +
                                " L1 " + std::to_string(l1) + " L2 " + std::to_string(l2) + " E " + std::to_string(e);
      if (from == 8) {
        EXPECT_EQ(plc.CircuitState(), 8) << "final until restarted; " << where;
        continue;
      }
      const CircuitStep want = ExpectedCircuit(from, std::get<1>(k), l1, l2, e);
      const int wantState = want.error > 0 ? 8 : want.state;
      ASSERT_EQ(plc.CircuitState(), wantState) << where;
      if (want.error >= 0) {
        EXPECT_EQ(plc.CircuitError(), want.error) << where;
        // An error opens both loop outputs.
        EXPECT_EQ(io.writes, (std::vector<std::pair<int, bool>>{{SIG_OUT_SAFETY_LOOP1, false},
                                                               {SIG_OUT_SAFETY_LOOP2, false}}))
            << where;
        rows.insert(std::to_string(from) + " error " + std::to_string(want.error));
      } else if (wantState != from) {
        rows.insert(std::to_string(from) + "->" + std::to_string(wantState));
      }
      if (from == 0 && wantState == 1) {
        EXPECT_TRUE(io.out[SIG_OUT_SAFETY_LOOP1]);
      }
      if (from == 3 && wantState == 4) {
        EXPECT_TRUE(io.out[SIG_OUT_SAFETY_LOOP2]);
      }
      if (wantState == 6) {
        EXPECT_TRUE(l1 && l2 && !e) << "ready only with both loops closed and no emergency";
      }
      if (reached.emplace(key(plc), plc).second) todo.push_back(key(plc));
    }
  }
  const std::set<std::string> table = {"0->1",      "0 error 1", "0 error 5", "1->2",      "1 error 2", "2->3",
                                       "2 error 6", "3->4",      "3 error 6", "4 error 3", "4->5",      "4 error 0",
                                       "5 error 7", "5->6",      "5 error 0", "6 error 0", "7 error 5", "7 error 4",
                                       "7->0"};
  EXPECT_EQ(rows, table);
  std::set<int> states;
  for (const auto& [k, p] : reached) states.insert(std::get<0>(k));
  EXPECT_EQ(states, (std::set<int>{0, 1, 2, 3, 4, 5, 6, 7, 8}));
}

// ------------------------------------------------------------ door and drives

// The door and drive machine with the circuit test, under every door mode
// and servo setting: every reachable state, every operation with every
// combination of emergency stop, door switch and the two loops. Motion may
// only start with the emergency stop released, the loops closed and the door
// shut (or slowly behind an open door where that is allowed); a poll that
// sees any of them unsafe takes the drives off.
TEST(SafetyDoor, NoReachableStateLetsMotionStartUnsafelyAndEveryUnsafeInputStopsIt) {
  enum Op { POLL, BEGIN, BEGIN_OPEN_ALLOWED, END, SERVOS_OFF, SERVOS_OFF_FORCED, UNLOCK, MAINT_ON, MAINT_OFF, OPS };
  static const char* const kOps[OPS] = {"Poll",      "BeginMotion", "BeginMotion(open door allowed)",
                                        "EndMotion", "ServosOff",   "ServosOff(force)",
                                        "UnlockDoor", "maintenance on", "maintenance off"};
  QuietLog quiet;
  std::set<std::string> doorTransitions;
  size_t totalStates = 0;
  for (int mode : {DOORMODE_NONE, DOORMODE_LOCKED1, DOORMODE_LIMITED})
    for (bool permanent : {false, true})
      for (bool circuit : {false, true}) {
        FakeIo io;
        SafetyConfig cfg;
        cfg.doorMode = mode;
        cfg.enablePermanent = permanent;
        cfg.circuitTest = circuit;
        io.mappedOut = {SIG_OUT_HOLDING_BRAKE, SIG_OUT_SERVO_ENABLE, SIG_OUT_UNLOCK_DOOR};
        io.mappedIn = {SIG_IN_STAND_STILL, SIG_IN_SERVO_READY};
        io.in[SIG_IN_STAND_STILL] = true;
        io.in[SIG_IN_SERVO_READY] = true;
        io.recordWrites = false;
        SafetyPlc start(io, cfg);
        io.plc = &start;
        start.Init();
        struct Node {
          SafetyPlc plc;
          FakeIo::Signals out;
        };
        using Key = std::tuple<uint32_t, int, int, int, bool, bool, bool>;
        auto key = [&](const SafetyPlc& p) {
          return Key{p.Word(), p.CircuitState(), p.CircuitCounter(), p.CircuitError(), p.Emergency(),
                     io.GetOutput(SIG_OUT_SERVO_ENABLE), io.GetOutput(SIG_OUT_SPINDLE_FORWARD)};
        };
        std::map<Key, Node> reached{{key(start), Node{start, io.out}}};
        std::deque<Key> todo{key(start)};
        while (!todo.empty()) {
          const Key k = todo.front();
          todo.pop_front();
          const Node node = reached.at(k);
          for (int b = 0; b < 16; ++b)
            for (int op = 0; op < OPS; ++op) {
              SafetyPlc plc = node.plc;
              io.out = node.out;
              io.plc = &plc;
              const bool estop = b & 1, door = b & 2, l1 = b & 4, l2 = b & 8;
              io.in[SIG_IN_EMERGENCY_STOP] = estop;
              io.in[SIG_IN_DOOR_OPEN1] = door;
              io.in[SIG_IN_SAFETY_LOOP1] = l1;
              io.in[SIG_IN_SAFETY_LOOP2] = l2;
              io.stops = 0;
              const uint32_t doorBefore = plc.DoorState();
              const int circuitBefore = plc.CircuitState();
              const bool doorOpen = mode != DOORMODE_NONE && door;
              const bool maintBefore = plc.Maintenance();
              // Built only when an assertion fails.
              auto where = [&] {
                return std::string(kOps[op]) + " from door " + SafetyPlc::DoorName(doorBefore) + " circuit " +
                       std::to_string(circuitBefore) + " maint " + std::to_string(maintBefore) + " | mode " +
                       std::to_string(mode) + " permanent " + std::to_string(permanent) + " test " +
                       std::to_string(circuit) + " | E " + std::to_string(estop) + " door " + std::to_string(door) +
                       " L1 " + std::to_string(l1) + " L2 " + std::to_string(l2);
              };
              int result = 0;
              switch (op) {
                case POLL: plc.Poll(0, 0, 0); break;
                case BEGIN: result = plc.BeginMotion(false); break;
                case BEGIN_OPEN_ALLOWED: result = plc.BeginMotion(true); break;
                case END: plc.EndMotion(); break;
                case SERVOS_OFF: plc.ServosOff(false); break;
                case SERVOS_OFF_FORCED: plc.ServosOff(true); break;
                case UNLOCK: plc.UnlockDoor(); break;
                case MAINT_ON: plc.SetMaintenanceMode(true); break;
                case MAINT_OFF: plc.SetMaintenanceMode(false); break;
              }
              const uint32_t doorAfter = plc.DoorState();
              const bool drivesOn = doorAfter == DOOR_READY || doorAfter == DOOR_ACTIVE || doorAfter == DOOR_LIMITED;
              if ((op == BEGIN || op == BEGIN_OPEN_ALLOWED) && result == 0) {
                ASSERT_FALSE(estop) << where();
                if (circuit) {
                  ASSERT_TRUE(l1 && l2 && plc.CircuitState() == SafetyPlc::kCircuitReady) << where();
                }
                ASSERT_TRUE(doorAfter == DOOR_ACTIVE || doorAfter == DOOR_LIMITED) << where();
                if (doorOpen) {
                  ASSERT_TRUE(plc.Maintenance() || (mode == DOORMODE_LIMITED && op == BEGIN_OPEN_ALLOWED)) << where();
                  ASSERT_EQ(doorAfter, DOOR_LIMITED) << "open door: slow only; " << where();
                }
                ASSERT_TRUE(io.GetOutput(SIG_OUT_SERVO_ENABLE)) << where();
              }
              if ((op == BEGIN || op == BEGIN_OPEN_ALLOWED) && result != 0) {
                // Refused: nothing was switched towards motion.
                ASSERT_TRUE(doorAfter == doorBefore || !(doorAfter == DOOR_ACTIVE || doorAfter == DOOR_LIMITED))
                    << where();
              }
              if (op == POLL) {
                const bool moving = doorBefore == DOOR_ACTIVE || doorBefore == DOOR_LIMITED;
                if (estop) {
                  ASSERT_FALSE(drivesOn) << where();
                  ASSERT_FALSE(io.GetOutput(SIG_OUT_SERVO_ENABLE)) << where();
                  if (moving) {
                    ASSERT_GE(io.stops, 1) << where();
                  }
                }
                if (circuit && circuitBefore == SafetyPlc::kCircuitReady && !(l1 && l2)) {
                  ASSERT_FALSE(drivesOn) << "a loop opened: drives off; " << where();
                  if (moving) {
                    ASSERT_GE(io.stops, 1) << where();
                  }
                }
                if (doorOpen && !plc.Maintenance() && doorBefore == DOOR_ACTIVE) {
                  ASSERT_NE(doorAfter, DOOR_ACTIVE) << where();
                  ASSERT_GE(io.stops, 1) << "door forced open in motion; " << where();
                }
              }
              if (op == SERVOS_OFF && permanent && (doorBefore == DOOR_READY || doorBefore == DOOR_ACTIVE)) {
                ASSERT_EQ(doorAfter, DOOR_READY) << "servo enable stays on; " << where();
              }
              if (op == SERVOS_OFF_FORCED && doorAfter != doorBefore) {
                ASSERT_FALSE(io.GetOutput(SIG_OUT_SERVO_ENABLE)) << where();
              }
              if (doorBefore != doorAfter)
                doorTransitions.insert(std::string(SafetyPlc::DoorName(doorBefore)) + " -> " +
                                       SafetyPlc::DoorName(doorAfter) + " (" + kOps[op] + ")");
              const Key next = key(plc);
              if (reached.try_emplace(next, Node{plc, io.out}).second) todo.push_back(next);
            }
        }
        totalStates += reached.size();
      }
  // The transitions of the door table and of the motion bracket all occur.
  for (const char* t : {"safe -> locked (Poll)", "open -> safe (Poll)", "unlocking -> safe (Poll)",
                        "locked -> open (Poll)", "ready -> open (Poll)", "active -> open (Poll)",
                        "locked -> active (BeginMotion)", "safe -> active (BeginMotion)",
                        "open -> limited (BeginMotion(open door allowed))", "ready -> active (BeginMotion)",
                        "ready -> limited (BeginMotion(open door allowed))", "active -> ready (EndMotion)",
                        "limited -> open (EndMotion)", "ready -> locked (ServosOff)", "active -> locked (ServosOff)",
                        "limited -> open (ServosOff)", "limited -> ready (ServosOff)",
                        "locked -> unlocking (UnlockDoor)", "ready -> unlocking (UnlockDoor)",
                        "active -> locked (Poll)", "limited -> open (Poll)", "ready -> locked (Poll)"})
    EXPECT_TRUE(doorTransitions.count(t)) << t;
  EXPECT_GT(totalStates, 100u);
}

TEST(SafetyDoor, BeginMotionRefusalsLeaveTheOutputsAlone) {
  struct Case {
    const char* what;
    int mode;
    std::map<int, bool> inputs;
    int error;
  };
  const Case cases[] = {
      {"door open, locked door", DOORMODE_LOCKED1, {{SIG_IN_DOOR_OPEN1, true}}, -106},
      {"second door switch", DOORMODE_LOCKED2, {{SIG_IN_DOOR_OPEN2, true}}, -106},
      {"door open, limited mode without permission", DOORMODE_LIMITED, {{SIG_IN_DOOR_OPEN1, true}}, -106},
      {"emergency stop", DOORMODE_NONE, {{SIG_IN_EMERGENCY_STOP, true}}, -101},
  };
  for (const Case& c : cases) {
    FakeIo io;
    SafetyConfig cfg;
    cfg.doorMode = c.mode;
    SafetyPlc plc(io, cfg);
    io.plc = &plc;
    plc.Init();
    plc.Poll(0, 0, 0);
    io.in = {};
    for (auto [signal, on] : c.inputs) io.in[static_cast<size_t>(signal)] = on;
    io.writes.clear();
    EXPECT_EQ(plc.BeginMotion(), c.error) << c.what;
    EXPECT_TRUE(io.writes.empty()) << c.what;
  }
  // A drive that never reports ready: -105 naming the axis, drives off again.
  FakeIo io;
  io.mappedIn = {SIG_IN_SERVO_READY + 2};
  SafetyPlc plc(io, SafetyConfig());
  io.plc = &plc;
  plc.Init();
  plc.Poll(0, 0, 0);
  EXPECT_EQ(plc.BeginMotion(), -105);
  EXPECT_EQ(plc.ServoNotReadyAxes(), 4u);
  EXPECT_FALSE(io.GetOutput(SIG_OUT_SERVO_ENABLE));
  EXPECT_TRUE(io.GetOutput(SIG_OUT_SERVO_ENABLE_INVERTED));
  EXPECT_EQ(plc.DoorState(), DOOR_LOCKED);
  EXPECT_NEAR(io.sleptS, 2.0, 0.01) << "the drives had their time";
}

}  // namespace
