#include "statechange.h"

#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include "fresh_parameters.h"
#include "machineconfig.h"
#include "machinestate.h"
#include "surfacemapping.h"
#include "testsupport.h"
#include "threadsync.h"
#include "tooltable.h"
#include "transformation.h"

namespace {

StateChange Rec(char code, int num, double arg = 0.0, int flag = 0) {
  StateChange r(code, num);
  r.arg = arg;
  r.flag = static_cast<uint8_t>(flag);
  return r;
}

// A fresh pool and parameter folder; every test must give back all objects.
class StateChangeTest : public testsupport::FreshParametersTest {
 protected:
  void SetUp() override {
    StateChange::Init();
    FreshParametersTest::SetUp();
    OpenParameterFiles();
  }
  void TearDown() override {
    EXPECT_EQ(StateChange::FreeCount(), StateChange::kPoolSize) << "objects leaked by the test";
    FreshParametersTest::TearDown();
  }
  // Applies one record through a pooled object, as the back end does.
  void Apply(MachineState& s, const StateChange& rec) {
    StateChange* o = StateChange::Copy(rec);
    ASSERT_NE(o, nullptr);
    o->Execute(s);
    o->Dispose();
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
  EXPECT_EQ(StateChange::FreeCount(), 0);
  {
    testsupport::AssertionCapture capture;
    EXPECT_EQ(StateChange::GetNew(), nullptr);
    EXPECT_EQ(StateChange::Create('M', 3), nullptr);
    EXPECT_TRUE(capture.Saw("StateChange heap exhausted"));
    EXPECT_EQ(capture.Messages().size(), 2u);
  }
  for (StateChange* o : all) o->Dispose();
}

TEST_F(StateChangeTest, FreedObjectIsHandedOutNextAndComesBackClean) {
  StateChange* a = StateChange::Create('S', 12000);
  a->num = 4;
  a->position = Coordinates(1, 2, 3);
  StateChange* b = StateChange::GetNew();
  EXPECT_GT(b->t, a->t);
  a->Dispose();
  StateChange* c = StateChange::GetNew();
  EXPECT_EQ(c, a);
  EXPECT_EQ(c->num, -1);
  EXPECT_EQ(c->arg, 0.0);
  EXPECT_EQ(c->position, Coordinates());
  c->Dispose();
  const int free = StateChange::FreeCount();
  c->Dispose();  // already free: nothing happens
  EXPECT_EQ(StateChange::FreeCount(), free);
  b->Dispose();
}

TEST_F(StateChangeTest, ConcurrentUseLosesAndDuplicatesNothing) {
  static std::atomic<int> owner[StateChange::kPoolSize];
  for (auto& o : owner) o.store(0);
  StateChange* base = StateChange::GetNew();  // after Init: the first pool object
  base->Dispose();
  std::atomic<int> clashes{0};
  std::atomic<long> handedOut{0};
  StateChangeList shared;
  constexpr int kShared = 99;
  // Marks an object as owned by a thread; it must have been unowned.
  auto claim = [&](StateChange* o, int id) {
    handedOut.fetch_add(1);
    int expected = 0;
    if (!owner[o - base].compare_exchange_strong(expected, id)) clashes.fetch_add(1);
  };
  // Gives up ownership of everything in a list and frees it.
  auto release = [&](StateChangeList& list) {
    CriticalSectionLocker lock(StateChange::Lock());
    for (StateChange* o = list.Head(); o; o = o->next) owner[o - base].store(0);
    list.DisposeAll();
  };
  std::vector<std::thread> threads;
  for (int id = 1; id <= 4; ++id) {
    threads.emplace_back([&, id] {
      std::mt19937 rng(static_cast<unsigned>(id));
      StateChangeList mine;
      StateChange* held[40];
      for (int round = 0; round < 20000; ++round) {
        const int n = 1 + static_cast<int>(rng() % 40);
        if (round % 2) {
          // Straight from and back to the pool, as the interpreter's records.
          int got = 0;
          for (int i = 0; i < n; ++i)
            if (StateChange* o = StateChange::GetNew()) claim(held[got++] = o, id);
          for (int i = 0; i < got; ++i) {
            owner[held[i] - base].store(0);
            held[i]->Dispose();
          }
          continue;
        }
        for (int i = 0; i < n; ++i)
          if (StateChange* o = StateChange::Create('M', id)) {
            claim(o, id);
            mine.Add(o);
          }
        if (mine.Count() != n) clashes.fetch_add(1);
        if (rng() % 3 == 0) {
          CriticalSectionLocker lock(StateChange::Lock());
          for (StateChange* o = mine.Head(); o; o = o->next) owner[o - base].store(kShared);
          shared.Transfer(mine);
        } else {
          release(mine);
        }
        if (rng() % 4 == 0) release(shared);
      }
    });
  }
  for (auto& t : threads) t.join();
  release(shared);
  EXPECT_EQ(clashes.load(), 0);
  EXPECT_GT(handedOut.load(), 10000);
  EXPECT_EQ(StateChange::FreeCount(), StateChange::kPoolSize);
  for (StateChange* o : TakeAll()) o->Dispose();
}

// ---------------------------------------------------------------- lists

TEST_F(StateChangeTest, AddRefusesFreeAndLinkedObjects) {
  StateChangeList list;
  StateChange* a = StateChange::GetNew();
  StateChange* b = StateChange::GetNew();
  StateChange* freeOne = StateChange::GetNew();
  freeOne->Dispose();
  list.Add(a);
  list.Add(b);
  testsupport::AssertionCapture capture;
  StateChange stackRecord('M', 3);  // not from the pool
  // Not allocated, still linked, the tail itself, not pooled, nothing.
  for (StateChange* bad : {freeOne, a, b, &stackRecord, static_cast<StateChange*>(nullptr)}) list.Add(bad);
  EXPECT_EQ(capture.Messages().size(), 5u);
  EXPECT_TRUE(capture.Saw("StateChangeList add error"));
  EXPECT_EQ(list.Count(), 2);
  EXPECT_EQ(list.Tail(), b);
  EXPECT_EQ(b->next, nullptr);
  list.DisposeAll();
}

TEST_F(StateChangeTest, TransferKeepsOrderAndEmptiesTheSource) {
  StateChangeList a, b, empty;
  for (int i = 0; i < 3; ++i) a.Add(StateChange::GetNew());
  std::vector<int> expected = Sequence(a);
  StateChange* aHead = a.Head();
  StateChange* aTail = a.Tail();
  b.Transfer(empty);  // nothing to move
  EXPECT_TRUE(b.IsEmpty());
  b.Transfer(a);  // into an empty list: head and tail taken over
  EXPECT_TRUE(a.IsEmpty());
  EXPECT_EQ(a.Tail(), nullptr);
  EXPECT_EQ(b.Head(), aHead);
  EXPECT_EQ(b.Tail(), aTail);
  for (int i = 0; i < 2; ++i) a.Add(StateChange::GetNew());
  for (int t : Sequence(a)) expected.push_back(t);
  b.Transfer(a);
  b.Transfer(b);  // onto itself: unchanged
  EXPECT_EQ(Sequence(b), expected);
  b.Add(StateChange::GetNew());  // the moved tail can be followed
  EXPECT_EQ(b.Count(), 6);
  b.DisposeAll();
  EXPECT_TRUE(b.IsEmpty());
  EXPECT_EQ(b.Tail(), nullptr);
}

TEST_F(StateChangeTest, ExecuteAllAppliesInOrderAndReportsG) {
  GetMachineConfig().offsets[0] = Coordinates(10, 0, 0);
  MachineState s("S");
  StateChangeList list;
  for (const StateChange& r : {Rec('M', 3), Rec('G', 54, 54), Rec('#', 500, 2.5)}) list.Add(StateChange::Copy(r));
  EXPECT_TRUE(list.ExecuteAll(s));
  EXPECT_TRUE(list.IsEmpty());
  EXPECT_TRUE(s.GetFlag(SF_SPINDLE_CW));
  EXPECT_EQ(s.GetTransformation()->GetOffset().v[0], 10.0);
  EXPECT_EQ(s.GetVar(500), 2.5);
  EXPECT_EQ(StateChange::FreeCount(), StateChange::kPoolSize);
  list.Add(StateChange::Copy(Rec('M', 5)));
  EXPECT_FALSE(list.ExecuteAll(actState));
  EXPECT_FALSE(list.ExecuteAll(actState));  // empty
  StateChangeList dropped;  // destroyed with objects still in it
  dropped.Add(StateChange::GetNew());
}

// ---------------------------------------------------------------- single records

TEST_F(StateChangeTest, GWordRowsSetTheLetterAsSpecified) {
  MachineState s("S");
  StateChange arc = Rec('G', 2, 99);
  arc.position = Coordinates(7, 8, 9, 1);
  Apply(s, arc);
  EXPECT_EQ(s.GetVar(36), 2.0);
  EXPECT_EQ(s.startPos[0], 7.0);
  EXPECT_EQ(s.startPos[2], 9.0);
  Apply(s, Rec('G', 0, 0));
  EXPECT_EQ(s.GetVar(36), -1.0);
  Apply(s, Rec('G', -1, 17));
  EXPECT_EQ(s.GetVar(36), 17.0);
  Apply(s, Rec('G', 60, 60));  // no system 7: selects nothing
  EXPECT_EQ(s.GetCurrTransNum(), 0);
  EXPECT_EQ(s.GetVar(36), -1.0);
}

TEST_F(StateChangeTest, FlagRowsFollowTheRecordFlag) {
  MachineState s("S");
  const struct {
    char code;
    int num, bit;
  } rows[] = {{'G', 20, SF_INCH},         {'G', 51, SF_SCALING},       {'G', 62, SF_G62},
              {'G', 68, SF_ROTATION},     {'G', 91, SF_INCREMENTAL},   {'G', 95, SF_FEED_PER_REV},
              {'G', 97, SF_CONSTANT_RPM}, {'M', 50, SF_FEED_OVERRIDE}, {'M', 51, SF_SPINDLE_OVERRIDE},
              {'M', 53, SF_M53}};
  for (const auto& r : rows) {
    Apply(s, Rec(r.code, r.num, r.num + 0.5, 1));
    EXPECT_TRUE(s.GetFlag(r.bit)) << r.code << r.num;
    Apply(s, Rec(r.code, r.num, r.num, 0));
    EXPECT_FALSE(s.GetFlag(r.bit)) << r.code << r.num;
  }
}

TEST_F(StateChangeTest, CoordinateSystemAndToolLengthRecords) {
  GetMachineConfig().offsets[3] = Coordinates(0, 0, -20);
  MachineState s("S");
  s.SetCurrTool(1, 0, 5);
  Apply(s, Rec('G', 57, 57));
  EXPECT_EQ(s.GetCurrTransNum(), 4);
  EXPECT_EQ(s.GetVar(36), 57.0);
  Apply(s, Rec('G', 43, 43, 1));
  EXPECT_TRUE(s.GetFlag(SF_TOOL_LENGTH));
  EXPECT_EQ(s.GetTransformation()->GetOffset().v[2], -15.0);
  Apply(s, Rec('G', 43, 49, 0));
  EXPECT_EQ(s.GetTransformation()->GetOffset().v[2], -20.0);
  EXPECT_EQ(s.GetVar(36), 49.0);
  Apply(s, Rec('G', 69, 0, 0));  // working transformations
  EXPECT_FALSE(s.UsesConfigTransformations());
  EXPECT_EQ(s.GetTransformation(), &GetWorkTransformation(3));
  EXPECT_EQ(s.GetVar(36), 49.0);  // G69 leaves the letter
  Apply(s, Rec('G', 69, 0, 1));
  EXPECT_EQ(s.GetTransformation(), &GetConfiguredTransformation(3));
  Apply(s, Rec('G', 53, 53));
  EXPECT_EQ(s.GetCurrTransNum(), 0);
}

TEST_F(StateChangeTest, SurfaceMappingRecord) {
  GetSurfaceMapping().SetBoundaries(0, 0, 100, 100, 3, 3);
  MachineState s("S");
  Apply(s, Rec('L', 49, 0, 1));  // G53: never mapped
  EXPECT_FALSE(s.GetFlag(SF_SURFACE_MAPPING));
  EXPECT_TRUE(s.GetStateChanged());
  s.ClearChanged();
  s.SetCurrOffsetFromFile(1);
  Apply(s, Rec('L', 49, 0, 1));
  EXPECT_TRUE(s.GetTransformation()->IsMappingOn());
  EXPECT_TRUE(s.GetFlag(SF_SURFACE_MAPPING) && GetSurfaceMappingFlag(0) && s.GetStateChanged());
  Apply(s, Rec('L', 49, 0, 0));
  EXPECT_FALSE(s.GetFlag(SF_SURFACE_MAPPING) || GetSurfaceMappingFlag(0));
  const double before = s.GetVar(41);
  Apply(s, Rec('L', 12, 5, 1));  // other L numbers do nothing
  EXPECT_EQ(s.GetVar(41), before);
}

TEST_F(StateChangeTest, SwitchingMCodes) {
  MachineState s("S");
  const struct {
    int m;
    uint32_t flags;  // spindle and coolant bits afterwards
  } rows[] = {{3, 0x1}, {4, 0x2}, {3, 0x1}, {7, 0x5}, {8, 0xD}, {5, 0xC}, {9, 0x0}, {30, 0x0}};
  for (const auto& r : rows) {
    Apply(s, Rec('M', r.m, 1, 1));
    EXPECT_EQ(s.stateFlags & 0xF, r.flags) << "M" << r.m;
  }
  Apply(s, Rec('M', 14));
  EXPECT_TRUE(s.GetFlag(SF_M14));
  Apply(s, Rec('M', 15));
  EXPECT_EQ(s.stateFlags, 0u);
}

TEST_F(StateChangeTest, ToolChangeSelectsTheToolFromTheVariables) {
  ToolRecord rec;
  rec.numT = 7;
  rec.numP = 2;
  rec.offsetX = 1.25;
  rec.altZaxis = 3;
  GetToolTable().Insert(rec);
  MachineState s("S");
  s.SetCurrOffsetFromFile(1);
  s.SetVar(920, 7);
  s.SetVar(921, -1);
  s.SetVar(925, 33);
  Apply(s, Rec('M', 6));
  EXPECT_EQ(s.GetCurrTool(), 7);
  EXPECT_EQ(s.GetCurrToolVariant(), -1);
  EXPECT_EQ(s.GetToolLength(), 33.0);
  EXPECT_TRUE(s.ToolOffsetEnabled());
  EXPECT_EQ(s.GetToolOffset()[0], 1.25);  // variant -1 found tool 7/2
  EXPECT_EQ(s.GetToolAxis(), 8);
}

TEST_F(StateChangeTest, WordAndVariableRows) {
  MachineState s("S");
  Apply(s, Rec('P', 12, 4));  // no P12: nothing
  for (int n = 56; n <= 65; ++n) EXPECT_EQ(s.GetVar(n), 0.0) << n;
  const struct {
    char code;
    int num, var;
  } rows[] = {{'P', -1, 45}, {'P', 3, 59}, {'S', -1, 48}, {'T', -1, 49}, {'F', -1, 35},
              {'z', -1, 66}, {'#', 7, 7},  {'#', 950, 950}};
  double v = 1.5;
  for (const auto& r : rows) {
    Apply(s, Rec(r.code, r.num, v));
    EXPECT_EQ(s.GetVar(r.var), v) << r.code << r.num;
    v += 1.0;
  }
  Apply(s, Rec('#', 50, 9));  // not addressable
  EXPECT_EQ(s.GetVar(50), 0.0);
  Apply(s, Rec('a', -1, 9));  // not a letter word: must not reach the P words
  EXPECT_EQ(s.GetVar(62), 0.0);
}

TEST_F(StateChangeTest, BacklashRecordOnlyThroughExecute) {
  MachineState s("S");
  Apply(s, Rec('b', 0x1A3));
  EXPECT_EQ(s.backlashSigns, 0x1A3u);
  StateChange* o = StateChange::Create('b', 0);
  o->num = 0x4;
  StateChangeList list;
  list.Add(o);
  EXPECT_FALSE(list.ExecuteAll(s));
  EXPECT_EQ(s.backlashSigns, 0x4u);
}
