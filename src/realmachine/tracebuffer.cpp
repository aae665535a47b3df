#include "realmachine/tracebuffer.h"

#include "base/assertion.h"
#include "base/logging.h"
#include "machine/machinestate.h"

namespace {
constexpr int32_t kLogTrace = LOGCAT_TRACE_BUFFER | 2;
constexpr int32_t kLogTraceError = LOGCAT_TRACE_BUFFER | 6;

int PowerOfTwo(int n) {
  int size = 2;
  while (size < n && size < (1 << 24)) size <<= 1;
  return size;
}

unsigned Hex16(int16_t v) { return static_cast<uint16_t>(v); }
}  // namespace

TraceBuffer::TraceBuffer(int size) : m_entries(static_cast<size_t>(PowerOfTwo(size))), m_mask(PowerOfTwo(size) - 1) {}

void TraceBuffer::Clear(int16_t ref, int32_t line) {
  CriticalSectionLocker lock(m_lock);
  for (Entry& e : m_entries) e.changes.DisposeAll();
  m_ri = m_wi = 0;
  m_lastRef = ref;
  m_currentLine = line;
  LogMessage(kLogTrace, "TraceBuffer::Clear ref=$%04X line=%d", Hex16(ref), line);
}

TraceBuffer::Entry* TraceBuffer::EntryFor(int16_t refNum, int32_t line, double velocity) {
  const int16_t lastRef = m_lastRef;
  if (!QASSERT(CmpRefNum (lastRef, refNum) <= 0, "TraceBuffer write refNum decreased"))
    LogMessage(kLogTraceError, "TraceBuffer::Write ### ref=$%04X last=$%04X", Hex16(refNum), Hex16(lastRef));
  Entry* e = nullptr;
  // A write at the reference of the last entry still waiting joins it.
  if (m_wi != m_ri && m_entries[static_cast<size_t>((m_wi - 1) & m_mask)].ref == refNum) {
    e = &m_entries[static_cast<size_t>((m_wi - 1) & m_mask)];
  } else {
    const int wi = (m_wi + 1) & m_mask;
    const int ri = m_ri;
    if (QASSERT(wi != ri, "TraceBuffer write overflow")) {
      e = &m_entries[static_cast<size_t>(m_wi)];
      m_wi = wi;
      e->ref = refNum;
    } else if (m_wi != m_ri) {
      // Full: the changes join the newest entry rather than being lost.
      e = &m_entries[static_cast<size_t>((m_wi - 1) & m_mask)];
      e->ref = refNum;
    } else {
      return nullptr;
    }
  }
  LogMessage(kLogTrace, "TraceBuffer::Write ref=$%04X line=%d wi=$%04X ri=$%04X", Hex16(refNum), line,
             static_cast<unsigned>(m_wi), static_cast<unsigned>(m_ri));
  e->line = line;
  e->velocity = velocity;
  m_lastRef = refNum;
  return e;
}

void TraceBuffer::Write(int16_t ref, int32_t line, double velocity, StateChange* change) {
  CriticalSectionLocker lock(m_lock);
  Entry* e = EntryFor(ref, line, velocity);
  if (!change) return;
  if (e) e->changes.Add(change);
  else change->Dispose();
}

void TraceBuffer::WriteQueue(int16_t ref, int32_t line, double velocity, StateChangeList& queue) {
  CriticalSectionLocker lock(m_lock);
  Entry* e = EntryFor(ref, line, velocity);
  if (e) e->changes.Transfer(queue);
  else queue.DisposeAll();
}

bool TraceBuffer::Read(int16_t ref, MachineState& target, double& velocity) {
  CriticalSectionLocker lock(m_lock);
  bool executed = false;
  while (m_ri != m_wi && CmpRefNum(m_entries[static_cast<size_t>(m_ri)].ref, ref) <= 0) {
    Entry& e = m_entries[static_cast<size_t>(m_ri)];
    m_ri = (m_ri + 1) & m_mask;
    LogMessage(kLogTrace, "TraceBuffer::Read ref=$%04X line=%d wi=$%04X ri=$%04X", Hex16(e.ref), e.line,
               static_cast<unsigned>(m_wi), static_cast<unsigned>(m_ri));
    m_currentLine = e.line;
    target.SetCurrLine(e.line);
    velocity = e.velocity;
    if (!e.changes.IsEmpty()) {
      e.changes.ExecuteAll(target);
      executed = true;
    }
  }
  return executed;
}

int32_t TraceBuffer::CurrentLine() const {
  CriticalSectionLocker lock(m_lock);
  return m_currentLine;
}

int TraceBuffer::Pending() const {
  CriticalSectionLocker lock(m_lock);
  return (m_wi - m_ri) & m_mask;
}

int16_t TraceBuffer::LastRef() const {
  CriticalSectionLocker lock(m_lock);
  return m_lastRef;
}
