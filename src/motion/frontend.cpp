#include "motion/frontend.h"

#include <mutex>

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

// ---- until conditions of dwells

namespace {

// One slot per interpreter that waits on a dwell: the main program and the
// preview at most, so a few slots suffice. The generation in the upper bits
// makes a stale handle miss instead of finding a later condition.
constexpr uint32_t kUntilSlots = 8;
constexpr uint32_t kSlotBits = 4;

struct UntilSlot {
  const Condition* condition = nullptr;
  uint32_t handle = 0;
};

std::mutex g_untilMutex;
UntilSlot g_untilSlots[kUntilSlots];
uint32_t g_untilGeneration = 0;

}  // namespace

UntilHandle::UntilHandle(const Condition* condition) {
  if (!condition) return;
  std::lock_guard<std::mutex> lock(g_untilMutex);
  for (uint32_t i = 0; i < kUntilSlots; ++i) {
    UntilSlot& slot = g_untilSlots[i];
    if (slot.condition) continue;
    g_untilGeneration = (g_untilGeneration + 1) & ((1u << (32 - kSlotBits)) - 1);
    if (g_untilGeneration == 0) g_untilGeneration = 1;
    slot.condition = condition;
    slot.handle = (g_untilGeneration << kSlotBits) | (i + 1);
    m_value = slot.handle;
    return;
  }
  // All slots taken: the dwell runs its full time, as without UNTIL.
}

UntilHandle::~UntilHandle() {
  if (m_value == 0) return;
  std::lock_guard<std::mutex> lock(g_untilMutex);
  UntilSlot& slot = g_untilSlots[(m_value & ((1u << kSlotBits) - 1)) - 1];
  if (slot.handle == m_value) slot = UntilSlot();
}

const Condition* UntilHandle::Find(uint32_t handle) {
  const uint32_t index = handle & ((1u << kSlotBits) - 1);
  if (index == 0 || index > kUntilSlots) return nullptr;
  std::lock_guard<std::mutex> lock(g_untilMutex);
  const UntilSlot& slot = g_untilSlots[index - 1];
  return slot.handle == handle ? slot.condition : nullptr;
}

int UntilHandle::Count() {
  std::lock_guard<std::mutex> lock(g_untilMutex);
  int n = 0;
  for (const UntilSlot& slot : g_untilSlots) n += slot.condition != nullptr;
  return n;
}
