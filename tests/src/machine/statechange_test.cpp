#include "machine/statechange.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <random>
#include <set>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "common/fresh_parameters.h"
#include "base/threadsync.h"
#include "machine/transformation.h"

namespace {

StateChange Rec(char code, int num, double arg = 0.0, int flag = 0) {
  StateChange r(code, num);
  r.arg = arg, r.flag = static_cast<uint8_t>(flag);
  return r;
}

// A fresh pool and parameter folder; every test must give back all objects.
class StateChangeTest : public testsupport::FreshParametersTest {
 protected:
  void SetUp() override {
    StateChange::Init();
    FreshParametersTest::SetUp();
  }
  void TearDown() override {
    EXPECT_EQ(StateChange::FreeCount(), StateChange::kPoolSize) << "objects leaked by the test";
    FreshParametersTest::TearDown();
  }
  // Takes the whole pool; every object distinct and in use.
  std::vector<StateChange*> TakeAll() {
    std::vector<StateChange*> all;
    for (int i = 0; i < StateChange::kPoolSize; ++i) {
      StateChange* o = StateChange::GetNew();
      EXPECT_TRUE(o && o->isUsed && StateChange::IsPoolObject(o)) << i;
      if (o) all.push_back(o);
    }
    EXPECT_EQ(std::set<StateChange*>(all.begin(), all.end()).size(), size_t(StateChange::kPoolSize));
    return all;
  }
};

std::vector<int> Sequence(const StateChangeList& list) {
  std::vector<int> t;
  for (const StateChange* o = list.Head(); o; o = o->next) t.push_back(o->t);
  return t;
}

}  // namespace

// ---------------------------------------------------------------- pool

TEST_F(StateChangeTest, PoolHandsOutTenThousandDistinctObjectsThenReportsExhaustion) {
  const std::vector<StateChange*> all = TakeAll();
  testsupport::AssertionCapture capture;
  EXPECT_EQ(StateChange::GetNew(), nullptr);
  EXPECT_EQ(StateChange::Create('M', 3), nullptr);
  EXPECT_TRUE(capture.Messages().size() == 2u && capture.Saw("StateChange heap exhausted"));
  // A freed object is the next one handed out, and it comes back clean.
  StateChange* a = all[17];
  *a = Rec('S', 4, 12000), a->position = Coordinates(1, 2, 3);
  a->Dispose(), a->Dispose();  // already free: nothing happens
  EXPECT_EQ(StateChange::FreeCount(), 1);
  EXPECT_EQ(StateChange::GetNew(), a);
  EXPECT_TRUE(a->t > all.back()->t && a->num == -1 && a->arg == 0.0 && a->position == Coordinates());
  for (StateChange* o : all) o->Dispose();
}

TEST_F(StateChangeTest, ConcurrentUseLosesAndDuplicatesNothing) {
  // The thread owning each pool object: 0 none, 99 the shared list.
  static std::atomic<int> owner[StateChange::kPoolSize];
  for (auto& o : owner) o.store(0);
  StateChange* base = StateChange::GetNew();  // after Init: the first pool object
  base->Dispose();
  std::atomic<int> clashes{0};
  StateChangeList shared;
  // Moves a whole list into `to`, or frees it when there is none.
  auto release = [&](StateChangeList& list, StateChangeList* to) {
    CriticalSectionLocker lock(StateChange::Lock());
    for (StateChange* o = list.Head(); o; o = o->next) owner[o - base].store(to ? 99 : 0);
    to ? to->Transfer(list) : list.DisposeAll();
  };
  std::vector<std::thread> threads;
  for (int id = 1; id <= 4; ++id)
    threads.emplace_back([&, id] {
      std::mt19937 rng(static_cast<unsigned>(id));
      for (int round = 0; round < 10000; ++round) {
        StateChangeList mine;
        const int n = 1 + static_cast<int>(rng() % 40);
        for (int k = 0; k < n; ++k) {
          StateChange* o = StateChange::Create('M', id);
          int expected = 0;
          if (!o || !owner[o - base].compare_exchange_strong(expected, id)) return void(clashes.fetch_add(1));
          mine.Add(o);
        }
        if (mine.Count() != n) clashes.fetch_add(1);
        release(mine, rng() % 3 == 0 ? &shared : nullptr);
        if (rng() % 4 == 0) release(shared, nullptr);
      }
    });
  for (auto& t : threads) t.join();
  release(shared, nullptr);
  EXPECT_EQ(clashes.load(), 0);
  for (StateChange* o : TakeAll()) o->Dispose();
}

// ---------------------------------------------------------------- lists

// Transfer keeps order and empties its source; a refused Add leaves the list
// as it was; ExecuteAll applies in order and says whether a G record came.
TEST_F(StateChangeTest, ListsTransferRefuseAndExecute) {
  StateChangeList a, b, empty, dropped;  // `dropped` is destroyed with an object still in it
  dropped.Add(StateChange::GetNew());
  std::vector<int> expected;
  for (int round = 0; round < 2; ++round) {  // into an empty list, then behind its tail
    for (int i = 0; i < 3; ++i) a.Add(StateChange::GetNew());
    for (int t : Sequence(a)) expected.push_back(t);
    b.Transfer(a);
    EXPECT_TRUE(a.IsEmpty());
  }
  b.Transfer(empty), b.Transfer(b);  // nothing to move; onto itself: unchanged
  EXPECT_EQ(Sequence(b), expected);
  StateChange *tail = StateChange::GetNew(), *freeOne = StateChange::GetNew();
  freeOne->Dispose(), b.Add(tail);  // the moved tail can be followed
  testsupport::AssertionCapture capture;
  StateChange stackRecord('M', 3);  // not from the pool
  // Not allocated, still linked, the tail itself, not pooled, nothing.
  for (StateChange* bad : {freeOne, b.Head(), tail, &stackRecord, static_cast<StateChange*>(nullptr)}) b.Add(bad);
  ASSERT_EQ(capture.Messages().size(), 5u);  // else the list may hold a loop
  EXPECT_TRUE(capture.Saw("StateChangeList add error"));
  EXPECT_TRUE(b.Count() == 7 && b.Tail() == tail && tail->next == nullptr);
  b.DisposeAll();
  EXPECT_TRUE(b.IsEmpty() && b.Tail() == nullptr);
  MachineState s("S");
  // 'b' works only through StateChange::Execute, not through the record function.
  for (const StateChange& r : {Rec('M', 3), Rec('G', 54, 54), Rec('#', 500, 2.5), Rec('#', 500, 3.5), Rec('b', 0x4)})
    a.Add(StateChange::Copy(r));
  EXPECT_TRUE(a.ExecuteAll(s));
  EXPECT_TRUE(a.IsEmpty() && s.GetFlag(SF_SPINDLE_CW) && s.GetVar(500) == 3.5 && s.backlashSigns == 0x4u);
  a.Add(StateChange::Copy(Rec('M', 5)));
  EXPECT_FALSE(a.ExecuteAll(actState));
  EXPECT_FALSE(a.ExecuteAll(actState));  // empty
}

// ---------------------------------------------------------------- single records

// One state through a sequence of records, each applied through a pooled
// object as the back end does, checking what it changed.
TEST_F(StateChangeTest, EachCodeChangesItsPartOfTheState) {
  GetMachineConfig().offsets[3] = Coordinates(0, 0, -20);
  GetSurfaceMapping().SetBoundaries(0, 0, 100, 100, 3, 3);
  ToolRecord tool;
  tool.numT = 7, tool.numP = 2, tool.offsetX = 1.25, tool.altZaxis = 3;
  GetToolTable().Insert(tool);
  MachineState s("S");
  s.SetCurrTool(1, 0, 5);
  // What the steps read back.
  using M = MachineState&;
  using Probe = std::function<double(M)>;
  const auto V = [](int n) -> Probe { return [n](M m) { return m.GetVar(n); }; };
  const auto F = [](int bit) -> Probe { return [bit](M m) { return m.GetFlag(bit); }; };
  const Probe sys = [](M m) { return m.GetCurrTransNum(); };
  const Probe offZ = [](M m) { return m.GetTransformation()->GetOffset().v[2]; };
  const Probe work = [](M m) { return m.transformation == &GetWorkTransformation(m.currTrans - 1); };
  const Probe conf = [](M m) { return m.transformation == &GetConfiguredTransformation(m.currTrans - 1); };
  const Probe startXZ = [](M m) { return m.startPos[0] * 100 + m.startPos[2]; };
  const Probe spindleCoolant = [](M m) { return m.stateFlags & 0xF; }, backlash = [](M m) { return m.backlashSigns; };
  const Probe toolAndVariant = [](M m) { return m.GetCurrTool() * 100 + m.GetCurrToolVariant(); };
  const Probe toolLength = [](M m) { return m.GetToolLength(); }, changed = [](M m) { return m.GetStateChanged(); };
  const Probe toolOffsetX = [](M m) { return m.ToolOffsetEnabled() ? m.GetToolOffset()[0] : -1; };
  const Probe g54Mapped = [](M) { return GetSurfaceMappingFlag(0); };
  StateChange arc = Rec('G', 2, 99);
  arc.position = Coordinates(7, 8, 9, 1);
  testsupport::AssertionCapture capture;  // no record may raise one (G53 is not even asked to map)
  const struct { StateChange rec; std::vector<std::pair<Probe, double>> expect; } steps[] = {
      {arc, {{V(36), 2}, {startXZ, 709}}}, {Rec('G', 0, 0), {{V(36), -1}}}, {Rec('G', -1, 17), {{V(36), 17}}},
      {Rec('L', 49, 0, 1), {{F(SF_SURFACE_MAPPING), 0}, {changed, 1}}},  // G53 is never mapped
      // Words and variables; there is no P12.
      {Rec('P', 12, 4), {{V(68), 0}}}, {Rec('P', -1, 1.5), {{V(45), 1.5}}}, {Rec('P', 3, 2.5), {{V(59), 2.5}}},
      {Rec('S', -1, 3.5), {{V(48), 3.5}}}, {Rec('T', -1, 4.5), {{V(49), 4.5}}}, {Rec('F', -1, 5.5), {{V(35), 5.5}}},
      {Rec('z', -1, 6.5), {{V(66), 6.5}}}, {Rec('#', 7, 7.5), {{V(7), 7.5}}}, {Rec('#', 950, 8.5), {{V(950), 8.5}}},
      // #50 is not addressable; 'a' is no letter word and must not reach the P words.
      {Rec('#', 50, 9), {{V(50), 0}}}, {Rec('a', -1, 9), {{V(62), 0}}},
      // There is no system 7; other L numbers than 49 do nothing.
      {Rec('G', 60, 60), {{sys, 0}, {V(36), -1}}}, {Rec('G', 54, 54), {{sys, 1}, {V(36), 54}}},
      {Rec('L', 49, 0, 1), {{F(SF_SURFACE_MAPPING), 1}, {g54Mapped, 1}}},
      {Rec('L', 49, 0, 0), {{F(SF_SURFACE_MAPPING), 0}, {g54Mapped, 0}}},
      {Rec('L', 12, 5, 1), {{V(41), 0}, {g54Mapped, 0}}}, {Rec('G', 57, 57), {{sys, 4}, {V(36), 57}, {offZ, -20}}},
      {Rec('G', 43, 43, 1), {{F(SF_TOOL_LENGTH), 1}, {offZ, -15}}},
      {Rec('G', 43, 49, 0), {{F(SF_TOOL_LENGTH), 0}, {offZ, -20}, {V(36), 49}}},
      // G69 switches between working and configured transformations and leaves the letter.
      {Rec('G', 69, 0, 0), {{work, 1}, {V(36), 49}}}, {Rec('G', 69, 0, 1), {{conf, 1}}},
      // The tool change takes tool, variant and length from the variables;
      // variant -1 finds tool 7/2.
      {Rec('#', 920, 7), {}}, {Rec('#', 921, -1), {}}, {Rec('#', 925, 33), {}},
      {Rec('M', 6), {{toolAndVariant, 699}, {toolLength, 33}, {toolOffsetX, 1.25}}},
      // A program may write any number into #920: beyond 32 bits it saturates.
      {Rec('#', 920, 1e11), {}}, {Rec('M', 6), {{[](M m) { return m.GetCurrTool(); }, INT32_MAX}}},
      {Rec('#', 920, 7), {}}, {Rec('M', 6), {{toolAndVariant, 699}}},
      // Each direction clears the other; M5 clears both, M9 both coolants.
      {Rec('M', 4, 1, 1), {{spindleCoolant, 0x2}}}, {Rec('M', 3, 1, 1), {{spindleCoolant, 0x1}}},
      {Rec('M', 4, 1, 1), {{spindleCoolant, 0x2}}}, {Rec('M', 7, 1, 1), {{spindleCoolant, 0x6}}},
      {Rec('M', 8, 1, 1), {{spindleCoolant, 0xE}}}, {Rec('M', 5, 1, 1), {{spindleCoolant, 0xC}}},
      {Rec('M', 3, 1, 1), {{spindleCoolant, 0xD}}}, {Rec('M', 5, 1, 1), {{spindleCoolant, 0xC}}},
      {Rec('M', 9, 1, 1), {{spindleCoolant, 0x0}}}, {Rec('M', 14), {{F(SF_M14), 1}}},
      {Rec('M', 30, 1, 1), {{spindleCoolant, 0x0}, {F(SF_M14), 1}}}, {Rec('M', 15), {{F(SF_M14), 0}}},
      {Rec('G', 53, 53), {{sys, 0}}}, {Rec('b', 0x1A3), {{backlash, 0x1A3}}}};
  for (const auto& step : steps) {
    StateChange* o = StateChange::Copy(step.rec);
    ASSERT_NE(o, nullptr);
    o->Execute(s), o->Dispose();
    for (size_t i = 0; i < step.expect.size(); ++i)
      EXPECT_EQ(step.expect[i].first(s), step.expect[i].second)
          << step.rec.code << step.rec.num << " flag " << int(step.rec.flag) << ", check " << i;
  }
  EXPECT_TRUE(capture.Messages().empty()) << capture.Messages().front();
  // Mode switches follow the record flag, whatever the argument.
  const int modes[][3] = {{'G', 20, SF_INCH},         {'G', 51, SF_SCALING},         {'G', 62, SF_EXACT_STOP},
                          {'G', 68, SF_ROTATION},     {'G', 91, SF_INCREMENTAL},     {'G', 95, SF_FEED_PER_REV},
                          {'G', 97, SF_CONSTANT_RPM}, {'M', 50, SF_FEED_OVERRIDE},   {'M', 51, SF_SPINDLE_OVERRIDE},
                          {'M', 53, SF_M53}};
  for (const auto& [code, num, bit] : modes)
    for (int on : {1, 0}) {
      ExecuteStateChange(s, Rec(static_cast<char>(code), num, num + 0.5, on));
      EXPECT_EQ(s.GetFlag(bit), on == 1) << char(code) << num << " flag " << on;
    }
}
