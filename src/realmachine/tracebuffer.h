// TraceBuffer: which program line and which state changes belong to which
// point of the position stream. The worker writes an entry at the reference
// number of the point after which the changes take effect; when the module
// reports that reference number reached, Read executes the changes on the
// machine state that follows the executed motion (actState) and gives the
// line and planned velocity now being executed. Written by the worker, read
// by the operator interface as well: every operation takes the buffer's own
// lock.
#pragma once

#include <cstdint>
#include <vector>

#include "base/threadsync.h"
#include "machine/statechange.h"

class MachineState;

// Reference numbers wrap at 16 bits: a - b as a signed 16-bit value
// (positive: a lies after b).
inline int CmpRefNum(int16_t a, int16_t b) {
  return static_cast<int16_t>(static_cast<uint16_t>(static_cast<uint16_t>(a) - static_cast<uint16_t>(b)));
}

class TraceBuffer {
 public:
  // size: entries, rounded up to a power of two (at least 2).
  explicit TraceBuffer(int size = 4096);
  TraceBuffer(const TraceBuffer&) = delete;
  TraceBuffer& operator=(const TraceBuffer&) = delete;

  // Empties the buffer; the stream goes on from reference ref in line.
  void Clear(int16_t ref, int32_t line);
  // One change (may be null: only line and velocity) at reference ref;
  // velocity in mm/s. A write at the reference of the last one adds to
  // that entry (its line and velocity are replaced).
  void Write(int16_t ref, int32_t line, double velocity, StateChange* change);
  // The same with every change of queue (which is left empty).
  void WriteQueue(int16_t ref, int32_t line, double velocity, StateChangeList& queue);
  // Executes on target every entry up to and including reference ref, in
  // order, and sets target's current line to the last one's. velocity gets
  // the planned velocity of that entry (unchanged when nothing was due).
  // True when any change was executed.
  bool Read(int16_t ref, MachineState& target, double& velocity);

  // The line of the last entry executed (or given to Clear).
  int32_t CurrentLine() const;
  // Entries written and not yet executed.
  int Pending() const;
  int Size() const { return m_mask + 1; }
  int16_t LastRef() const;

 private:
  struct Entry {
    int16_t ref = 0;
    int32_t line = 0;
    double velocity = 0;  // mm/s
    StateChangeList changes;
  };
  // Opens the entry of ref (or returns the current one); null when the
  // write is refused.
  Entry* EntryFor(int16_t ref, int32_t line, double velocity);

  mutable CriticalSection m_lock;
  std::vector<Entry> m_entries;
  int m_mask;
  int m_wi = 0;
  int m_ri = 0;
  int16_t m_lastRef = 0;
  int32_t m_currentLine = 0;
};
