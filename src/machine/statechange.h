// Modal changes that travel with the motion. The interpreter hands every
// change (spindle, coolant, coordinate system, tool, variables, units...) to
// its front end as a StateChange record (AddCmd); the motion back end copies
// it into a pooled object, applies it to its planning state at once, and keeps
// it in a StateChangeList attached to the motion until the machine has passed
// that point; only then is it applied to actState.
//
// Records come from a fixed pool of 10000 objects (no allocation at run time,
// O(1) free-list operations, LIFO: a freed object is the next one handed out).
// One process-wide lock serialises every pool and list operation.
//
// Typical back-end use:
//   StateChange* sc = StateChange::Copy(record);
//   if (!sc) return;                    // pool exhausted (already reported)
//   ExecuteStateChange(planState, *sc); // planning sees the new state
//   pending.Add(sc);                    // later: Transfer into the trace
//   ...  entry.list.ExecuteAll(actState);  // when the machine passed it
#pragma once

#include <cstdint>

#include "base/coordinates.h"

class CriticalSection;
class MachineState;

class StateChange {
 public:
  static constexpr int kPoolSize = 10000;

  // A fresh record: code 0, flag 0, num 0, all values 0.
  constexpr StateChange() = default;
  StateChange(char c, int n) : code(c), num(n) {}
  // Copies the record and the position; the copy is not pooled or linked.
  StateChange(const StateChange& other);
  // Copies the record and the position; this object's pool state stays.
  StateChange& operator=(const StateChange& other);

  // --- the record (what AddCmd passes)
  char code = 0;      // '#', 'G', 'L', 'M', 'P', 'S', 'T', 'b' or another letter
  uint8_t flag = 0;   // on/off value of switching commands
  int32_t num = 0;    // variable, G or M number...; -1 when none
  double arg = 0.0;
  double arg2 = 0.0;  // used by some back-end commands
  double arg3 = 0.0;
  uint32_t extra = 0; // a reference carried by some back-end commands

  // --- pooled objects only
  Coordinates position;          // reference start position of 'G' 2/3
  int t = 0;                     // allocation sequence number (tracing)
  StateChange* next = nullptr;   // free list or StateChangeList link
  bool isUsed = false;           // allocated

  // --- pool
  // Re-links the whole pool as free. Only while no object is in use (the
  // back end's worker start); the pool is also linked before first use.
  static void Init();
  // A free object, or null (reported as "StateChange heap exhausted") when
  // all are in use. The caller must not link or execute a null result.
  static StateChange* GetNew();
  // GetNew with the record (and position) of rec.
  static StateChange* Copy(const StateChange& rec);
  // GetNew with code and arg; the caller sets num.
  static StateChange* Create(char code, double arg);
  // Back to the pool; an object that is not allocated is left alone.
  void Dispose();

  // Applies this change to target ('G' 2/3 also set startPos, 'b' the
  // backlash direction bits), logging with the sequence number.
  void Execute(MachineState& target);

  // The lock behind the pool and every list (recursive).
  static CriticalSection& Lock();

  // Diagnostics: objects in the free list now; whether p is a pool object.
  static int FreeCount();
  static bool IsPoolObject(const StateChange* p);
};

// Applies one record to a state. Used by Execute, and directly by the
// preview, the simulation and the fast-forward stage, which keep no lists.
// Unknown G numbers set the G word to -1 (so 'G' 60 selects nothing); codes
// that are not letters A..Z (or 'z') change nothing.
void ExecuteStateChange(MachineState& target, const StateChange& rec);

// A FIFO of pooled objects linked through their next field. An object is in
// at most one list. Destroying a list disposes what is left in it.
class StateChangeList {
 public:
  StateChangeList() = default;
  virtual ~StateChangeList();
  StateChangeList(const StateChangeList&) = delete;
  StateChangeList& operator=(const StateChangeList&) = delete;

  // Appends an allocated, unlinked object ("StateChangeList add error"
  // otherwise, and it is not linked).
  void Add(StateChange* node);
  // Moves all objects of from to the tail of this list, in order.
  void Transfer(StateChangeList& from);
  // Executes and disposes every object from the head; true if one had code 'G'.
  bool ExecuteAll(MachineState& target);
  // Disposes every object unexecuted.
  void DisposeAll();

  bool IsEmpty() const { return head == nullptr; }
  StateChange* Head() const { return head; }
  StateChange* Tail() const { return tail; }
  int Count() const;

 private:
  StateChange* head = nullptr;
  StateChange* tail = nullptr;
};
