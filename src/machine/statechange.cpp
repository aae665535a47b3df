#include "machine/statechange.h"

#include <cstdint>

#include "base/threadsync.h"
#include "base/assertion.h"
#include "base/logging.h"
#include "base/numbers.h"
#include "machine/machinestate.h"
#include "machine/transformation.h"

namespace {

StateChange g_pool[StateChange::kPoolSize];

struct PoolState {
  CriticalSection lock;
  StateChange* firstNew = nullptr;
  int freeCounter = 0;  // decremented on every GetNew; only logged
  int freeLength = 0;   // objects in the free list
  int counter = 0;      // next sequence number
};

void MakeFree(StateChange& o) {
  o.code = 0;
  o.flag = 0;
  o.num = -1;
  o.arg = o.arg2 = o.arg3 = 0.0;
  o.extra = 0;
  o.position.Clear();
  o.isUsed = false;
}

void LinkAll(PoolState& p) {
  for (int i = 0; i < StateChange::kPoolSize; ++i) {
    MakeFree(g_pool[i]);
    g_pool[i].next = i + 1 < StateChange::kPoolSize ? &g_pool[i + 1] : nullptr;
  }
  p.firstNew = &g_pool[0];
  p.freeCounter = StateChange::kPoolSize;
  p.freeLength = StateChange::kPoolSize;
}

// Never destroyed: lists in static objects may dispose while the process ends.
PoolState& Pool() {
  static PoolState* p = [] {
    auto* s = new PoolState;
    LinkAll(*s);
    return s;
  }();
  return *p;
}

unsigned Id(const void* p) { return static_cast<unsigned>(reinterpret_cast<uintptr_t>(p)); }

}  // namespace

// ---------------------------------------------------------------------------
// Record

StateChange::StateChange(const StateChange& other)
    : code(other.code),
      flag(other.flag),
      num(other.num),
      arg(other.arg),
      arg2(other.arg2),
      arg3(other.arg3),
      extra(other.extra),
      position(other.position) {}

StateChange& StateChange::operator=(const StateChange& other) {
  code = other.code;
  flag = other.flag;
  num = other.num;
  arg = other.arg;
  arg2 = other.arg2;
  arg3 = other.arg3;
  extra = other.extra;
  position = other.position;
  return *this;
}

// ---------------------------------------------------------------------------
// Pool

CriticalSection& StateChange::Lock() { return Pool().lock; }

void StateChange::Init() {
  PoolState& p = Pool();
  CriticalSectionLocker locker(p.lock);
  LinkAll(p);
  LogMessage(37, "StateChange::Init() %d", p.freeCounter);
}

StateChange* StateChange::GetNew() {
  PoolState& p = Pool();
  {
    CriticalSectionLocker locker(p.lock);
    --p.freeCounter;
    StateChange* o = p.firstNew;
    if (o) {
      p.firstNew = o->next;
      --p.freeLength;
      o->isUsed = true;
      o->code = 0;
      o->next = nullptr;
      o->t = p.counter++;
      LogMessage(37, "StateChange::GetNew() %d free: %d count=%d", p.freeCounter, p.freeLength, p.counter);
      return o;
    }
    LogMessage(37, "StateChange firstNew==0 %d free: %d count=%d", p.freeCounter, p.freeLength, p.counter);
  }
  AssertionFailed("firstNew != 0", "StateChange heap exhausted", __FILE__, __LINE__);
  return nullptr;
}

StateChange* StateChange::Copy(const StateChange& rec) {
  StateChange* o = GetNew();
  if (o) *o = rec;
  return o;
}

StateChange* StateChange::Create(char code, double arg) {
  StateChange* o = GetNew();
  if (o) {
    o->code = code;
    o->arg = arg;
  }
  return o;
}

void StateChange::Dispose() {
  PoolState& p = Pool();
  CriticalSectionLocker locker(p.lock);
  if (!isUsed) return;
  LogMessage(2053, "StateChange::Dispose() t=%d", t);
  MakeFree(*this);
  next = p.firstNew;
  p.firstNew = this;
  ++p.freeLength;
}

int StateChange::FreeCount() {
  PoolState& p = Pool();
  CriticalSectionLocker locker(p.lock);
  return p.freeLength;
}

bool StateChange::IsPoolObject(const StateChange* o) {
  return o >= &g_pool[0] && o < &g_pool[0] + kPoolSize;
}

// ---------------------------------------------------------------------------
// Applying a change

void StateChange::Execute(MachineState& target) {
  if (&target == &actState) {
    LogMessage(37, "StateChange::Execute (actState) t=%d code=%c num=%d arg=%f", t, code, num, arg);
    if (code == '#' && num == 920) LogMessage(34, "StateChange #920 !!!");
  } else {
    LogMessage(37, "StateChange::Execute (%x) t=%d code=%c num=%d arg=%f", Id(&target), t, code, num, arg);
  }
  if (code == 'G' && (num == 2 || num == 3)) {
    LogMessage(65, "StateChange::Execute G2/G3!!! target=%s start=(%f,%f,%f)", target.ViewName(), position.v[0],
               position.v[1], position.v[2]);
    for (int i = 0; i < 3; ++i) target.startPos[i] = position.v[i];
  }
  if (code == 'b') {
    LogMessage(68, "SetBacklashOffset signs=%x", static_cast<unsigned>(num));
    target.SetBacklashOffset(static_cast<unsigned>(num));
    return;
  }
  ExecuteStateChange(target, *this);
}

namespace {

void ExecuteG(MachineState& target, const StateChange& rec) {
  const double arg = rec.arg;
  const bool on = rec.flag != 0;
  switch (rec.num) {
    case -1:
    case 2:
    case 3:
      LogMessage(2050, "ExecuteStateChange target=%s %lX G=%d a=%f", target.ViewName(),
                 static_cast<unsigned long>(target.stateFlags), rec.num, arg);
      target.SetLetter('G', rec.num == -1 ? arg : static_cast<double>(rec.num));
      return;
    case 20:
      target.SetFlag(SF_INCH, on);
      break;
    case 43:
      target.SetFlag(SF_TOOL_LENGTH, on);
      target.SetCurrOffsetFromFile(target.GetCurrTransNum());
      break;
    case 51:
      target.SetFlag(SF_SCALING, on);
      break;
    case 53:
    case 54:
    case 55:
    case 56:
    case 57:
    case 58:
    case 59:
      target.SetCurrOffsetFromFile(rec.num - 53);
      break;
    case 62:
      target.SetFlag(SF_EXACT_STOP, on);
      break;
    case 68:
      target.SetFlag(SF_ROTATION, on);
      break;
    case 91:
      target.SetFlag(SF_INCREMENTAL, on);
      break;
    case 95:
      target.SetFlag(SF_FEED_PER_REV, on);
      break;
    case 97:
      target.SetFlag(SF_CONSTANT_RPM, on);
      break;
    case 69:
      target.SetTransformationSource(on, false);
      return;
    default:
      target.SetLetter('G', -1.0);
      return;
  }
  target.SetLetter('G', arg);
}

void ExecuteM(MachineState& target, const StateChange& rec) {
  LogMessage(131, "Execute MCode %d", rec.num);
  const bool on = rec.flag != 0;
  switch (rec.num) {
    case 3:
      target.SetFlag(SF_SPINDLE_CW, true);
      target.SetFlag(SF_SPINDLE_CCW, false);
      break;
    case 4:
      target.SetFlag(SF_SPINDLE_CCW, true);
      target.SetFlag(SF_SPINDLE_CW, false);
      break;
    case 5:
      target.SetFlag(SF_SPINDLE_CW, false);
      target.SetFlag(SF_SPINDLE_CCW, false);
      break;
    case 6:
    case 66:
      target.SetCurrTool(ToInt(target.GetVar(920)), ToInt(target.GetVar(921)),
                         target.GetVar(925));
      target.UpdateToolOffset();
      break;
    case 7:
      target.SetFlag(SF_COOLANT_MIST, true);
      break;
    case 8:
      target.SetFlag(SF_COOLANT_FLOOD, true);
      break;
    case 9:
      target.SetFlag(SF_COOLANT_MIST, false);
      target.SetFlag(SF_COOLANT_FLOOD, false);
      break;
    case 14:
      target.SetFlag(SF_M14, true);
      break;
    case 15:
      target.SetFlag(SF_M14, false);
      break;
    case 50:
      target.SetFlag(SF_FEED_OVERRIDE, on);
      break;
    case 51:
      target.SetFlag(SF_SPINDLE_OVERRIDE, on);
      break;
    case 53:
      target.SetFlag(SF_M53, on);
      break;
    default:
      break;
  }
}

}  // namespace

void ExecuteStateChange(MachineState& target, const StateChange& rec) {
  switch (rec.code) {
    case '#':
      target.SetWordVar('#', rec.num, rec.arg);
      if (rec.num >= 901 && rec.num <= 950)
        LogMessage(36, "ExecuteStateChange target=%s #=%d val=%f", target.ViewName(), rec.num, rec.arg);
      return;
    case 'G':
      ExecuteG(target, rec);
      return;
    case 'L':
      if (rec.num == 49) {
        Transformation* t = target.GetTransformation();
        t->SetMapping(target.GetCurrTransNum() > 0 && rec.flag != 0);
        target.SetFlag(SF_SURFACE_MAPPING, t->IsMappingOn());
        target.SetSurfaceMapping(t->IsMappingOn());
        target.SetStateChanged();
      }
      return;
    case 'M':
      ExecuteM(target, rec);
      return;
    case 'P':
      if (rec.num >= 0)
        target.SetWordVar('P', rec.num, rec.arg);
      else
        target.SetLetter('P', rec.arg);
      return;
    case 'S':
      target.SetLetter('S', rec.arg);
      return;
    case 'T':
      target.SetLetter('T', rec.arg);
      LogMessage(34, "ExecuteStateChange target=%s T=%f", target.ViewName(), rec.arg);
      return;
    default:
      // Only letter words have a variable; anything else would land on the
      // P words or the locals.
      if ((rec.code >= 'A' && rec.code <= 'Z') || rec.code == 'z') target.SetLetter(rec.code, rec.arg);
      return;
  }
}

// ---------------------------------------------------------------------------
// Lists

StateChangeList::~StateChangeList() { DisposeAll(); }

void StateChangeList::Add(StateChange* node) {
  if (node)
    LogMessage(37, "StateChange::Add list=%x t=%d code=%c num=%d arg=%f", Id(this), node->t, node->code, node->num,
               node->arg);
  bool ok;
  {
    CriticalSectionLocker locker(StateChange::Lock());
    // The own tail also has no successor: adding it again would make a loop.
    ok = node && node->next == nullptr && node->isUsed && node != tail;
    if (ok) {
      if (tail)
        tail->next = node;
      else
        head = node;
      tail = node;
    }
  }
  if (!ok) AssertionFailed("node->next == 0 && node->isUsed", "StateChangeList add error", __FILE__, __LINE__);
}

void StateChangeList::Transfer(StateChangeList& from) {
  CriticalSectionLocker locker(StateChange::Lock());
  if (!from.head || &from == this) return;
  LogMessage(35, "StateChange::Transfer %d..%d from=%x to=%x", from.head->t, from.tail->t, Id(&from), Id(this));
  if (tail)
    tail->next = from.head;
  else
    head = from.head;
  tail = from.tail;
  from.head = from.tail = nullptr;
}

bool StateChangeList::ExecuteAll(MachineState& target) {
  CriticalSectionLocker locker(StateChange::Lock());
  bool hadG = false;
  while (head) {
    StateChange* o = head;
    head = o->next;
    if (!head) tail = nullptr;
    o->next = nullptr;
    if (o->code == 'G') hadG = true;
    o->Execute(target);
    o->Dispose();
  }
  return hadG;
}

void StateChangeList::DisposeAll() {
  CriticalSectionLocker locker(StateChange::Lock());
  while (head) {
    StateChange* o = head;
    head = o->next;
    o->next = nullptr;
    o->Dispose();
  }
  tail = nullptr;
}

int StateChangeList::Count() const {
  CriticalSectionLocker locker(StateChange::Lock());
  int n = 0;
  for (const StateChange* o = head; o; o = o->next) ++n;
  return n;
}
