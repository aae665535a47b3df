// Front-end and back-end defaults, the posted command records, and the
// worker rendezvous: callers are released once their own command has been
// taken, long actions keep serving the mailbox through CheckBreak, and no
// command is lost or replied twice.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include "backend.h"
#include "fileparser.h"
#include "frontend.h"
#include "machinestate.h"
#include "messages.h"
#include "recording_backend.h"
#include "workerthread.h"

namespace {

using testsupport::RecordingBackEnd;

// A stage with nothing but the three required operations.
struct BareStage : FrontEnd {
  void AddLine(const Coordinates&, double, bool, const Condition*, bool) override {}
  void AddArc(const Coordinates&, const double[3], double, int32_t, bool) override {}
  void AddCmd(const StateChange&) override {}
};

struct FlagsBackEnd : BackEnd {
  void SetFlagsWord(uint32_t f) { m_flags = f; }
};

TEST(FrontEndDefaultsTest, TagAndMachineStateAreStoredAndTheNotifierFollows) {
  BareStage stage;
  EXPECT_EQ(stage.GetTag(), 0);
  EXPECT_EQ(stage.GetMachineState(), nullptr);
  stage.SetTag(4711);
  EXPECT_EQ(stage.GetTag(), 4711);

  MachineState state("FrontEndTest");
  stage.SetMachineState(&state);
  EXPECT_EQ(stage.GetMachineState(), &state);
  EXPECT_EQ(stage.Notifier().GetMachineState(), &state);
  stage.SetMachineState(nullptr);
  EXPECT_EQ(stage.Notifier().GetMachineState(), nullptr);
}

TEST(FrontEndDefaultsTest, AStageWithoutMachineIsKindZeroInStandardModeAtTheOrigin) {
  BareStage stage;
  EXPECT_EQ(stage.GetBackEndKind(), BACKEND_NONE);
  stage.SetExecMode(2);  // only the machine keeps the mode
  EXPECT_EQ(stage.GetExecMode(), kExecStd);
  Coordinates p(1, 2, 3, 4, 5, 6, 7, 8, 9);
  stage.GetPosition(p);
  EXPECT_EQ(p, Coordinates());
}

TEST(UntilHandleTest, HandlesResolveWhileHeldAndMissOnceReleasedOrExhausted) {
  Condition a(1), b(2);
  uint32_t stale;
  {
    UntilHandle none(nullptr);
    EXPECT_EQ(0u, none.Value());
    UntilHandle ha(&a);
    stale = ha.Value();
    EXPECT_EQ(&a, UntilHandle::Find(stale));
  }
  EXPECT_EQ(nullptr, UntilHandle::Find(stale));
  // The freed slot is reused under a new handle; the old one still misses.
  UntilHandle hb(&b);
  EXPECT_NE(stale, hb.Value());
  EXPECT_EQ(&b, UntilHandle::Find(hb.Value()));
  EXPECT_EQ(nullptr, UntilHandle::Find(stale));
  EXPECT_EQ(nullptr, UntilHandle::Find(0));
  EXPECT_EQ(nullptr, UntilHandle::Find(0xFFFFFFFFu));
  // With every slot taken a dwell gets no condition rather than a wrong one.
  std::vector<std::unique_ptr<UntilHandle>> held;
  while (UntilHandle::Count() < 8) held.push_back(std::make_unique<UntilHandle>(&a));
  UntilHandle overflow(&b);
  EXPECT_EQ(0u, overflow.Value());
  held.clear();
  EXPECT_EQ(1, UntilHandle::Count());
}

TEST(BackEndDefaultsTest, FlagQueriesReadBitsZeroAndSeven) {
  FlagsBackEnd b;
  EXPECT_EQ(b.GetFlags(), 0u);
  EXPECT_FALSE(b.TestFlagBit0());
  EXPECT_FALSE(b.TestFlagBit7());
  b.SetFlagsWord(0x80);
  EXPECT_TRUE(b.TestFlagBit7());
  EXPECT_FALSE(b.TestFlagBit0());
  b.SetFlagsWord(0x7F);
  EXPECT_TRUE(b.TestFlagBit0());
  EXPECT_FALSE(b.TestFlagBit7());
  EXPECT_EQ(b.GetFlags(), 0x7Fu);
  EXPECT_TRUE(b.IsFeatureAvailable(123));
  EXPECT_TRUE(b.IsEnabled());
  EXPECT_EQ(b.CheckMachineReady(), 0);
  EXPECT_EQ(b.GetReadyError(), 0);
}

TEST(WorkCmdRecordTest, JogCarriesStepInValue1VelocityInValue2AndNoSecondAxis) {
  const WorkCmdData j = workcmd::Jog(2, true, 0.5, 30.0, true);
  EXPECT_EQ(j.code, WCMD_JOG);
  EXPECT_EQ(j.arg1, 2);
  EXPECT_TRUE(j.flag1);
  EXPECT_EQ(j.arg2, -1);
  EXPECT_FALSE(j.flag2);
  EXPECT_EQ(j.value1, 0.5);
  EXPECT_EQ(j.value2, 30.0);
  EXPECT_TRUE(j.flag3);

  const WorkCmdData t = workcmd::JogTwoAxes(0, false, 1, true, 1.0, 20.0, false);
  EXPECT_EQ(t.arg1, 0);
  EXPECT_FALSE(t.flag1);
  EXPECT_EQ(t.arg2, 1);
  EXPECT_TRUE(t.flag2);
  EXPECT_FALSE(t.flag3);
}

TEST(WorkCmdRecordTest, MoveToCarriesVelocityInValue1AndDirectInFlag1) {
  const Coordinates target(1, 2, 3);
  const WorkCmdData m = workcmd::MoveTo(target, 7.0, 25.0, true);
  EXPECT_EQ(m.code, WCMD_MOVE_TO);
  EXPECT_EQ(m.target, target);
  EXPECT_EQ(m.value1, 25.0);
  EXPECT_EQ(m.value2, 7.0);
  EXPECT_TRUE(m.flag1);
}

TEST(WorkCmdRecordTest, ChannelAndSpindleCommandsShareCodesAndDifferInFields) {
  const WorkCmdData on = workcmd::SetChannel(5, true);
  const WorkCmdData val = workcmd::SetChannelValue(5, 40.0);
  EXPECT_EQ(on.code, WCMD_SET_CHANNEL);
  EXPECT_EQ(val.code, WCMD_SET_CHANNEL);
  EXPECT_TRUE(on.flag1);
  EXPECT_EQ(on.value1, 0.0);
  EXPECT_FALSE(val.flag1);
  EXPECT_EQ(val.value1, 40.0);

  EXPECT_EQ(workcmd::ChangeSpindleOverride(80).code, WCMD_SPINDLE_OVERRIDE);
  EXPECT_FALSE(workcmd::ChangeSpindleOverride(80).flag1);
  const WorkCmdData reset = workcmd::ResetSpindleOverride();
  EXPECT_EQ(reset.value1, 100.0);
  EXPECT_TRUE(reset.flag1);

  const WorkCmdData hw = workcmd::HandwheelJog(true, 3, 0.01, 12.0, true);
  EXPECT_EQ(hw.code, WCMD_HANDWHEEL_JOG);
  EXPECT_TRUE(hw.flag1);
  EXPECT_EQ(hw.arg1, 3);
  EXPECT_EQ(hw.value1, 0.01);
  EXPECT_EQ(hw.value2, 12.0);
  EXPECT_TRUE(hw.flag2);

  const std::string text = "G0 X1";
  EXPECT_EQ(workcmd::Run(&text).text, &text);
  EXPECT_EQ(workcmd::Run().text, nullptr);
}

TEST(WorkCodeTableTest, ExactlyTheMachineMovingCommandsNeedAnIdleMachine) {
  std::set<int> idle;
  for (int code = 0; code < kWorkCodeCount; ++code) {
    WorkCmdData c;
    c.code = code;
    c.flag1 = true;
    EXPECT_EQ(GetWorkCodeInfo(code).code, code);
    if (NeedsIdle(c)) idle.insert(code);
  }
  EXPECT_EQ(idle, (std::set<int>{1, 7, 8, 10, 12, 17}));
  // Stopping a handwheel jog has to reach the running jog.
  EXPECT_FALSE(NeedsIdle(workcmd::HandwheelJog(false, 0, 0, 0, false)));
  EXPECT_EQ(GetWorkCodeInfo(99).code, 0);
  EXPECT_EQ(GetWorkCodeInfo(-1).code, 0);
}

// ---- the rendezvous

TEST(RendezvousTest, PostingBeforeTheWorkerExistsReturnsAtOnceAndDoesNothing) {
  RecordingBackEnd b;
  EXPECT_EQ(b.GetMailbox(), nullptr);
  EXPECT_FALSE(b.Post(workcmd::FeedOverride(50)));
  b.Stop(true);
  b.RunProgram();
  b.Jog(0, true, 1, 10, false);
  EXPECT_EQ(b.WorkCount(), 0u);
  EXPECT_EQ(b.GetFeedOverride(), 100.0);
  EXPECT_FALSE(b.IsBusy());

  b.StartWorker();
  b.SetFeedOverride(50);
  // Returned means taken: the worker records before it replies.
  ASSERT_EQ(b.WorkCount(), 1u);
  EXPECT_EQ(b.GetFeedOverride(), 50.0);
}

TEST(RendezvousTest, PostingAfterTheWorkerEndedReturnsAtOnce) {
  RecordingBackEnd b;
  ASSERT_TRUE(b.StartThread());
  b.StopThread();
  EXPECT_FALSE(b.IsRunning());
  const size_t before = b.WorkCount();
  EXPECT_FALSE(b.Post(workcmd::FeedOverride(10)));
  b.SetSpindleOverride(10);
  EXPECT_EQ(b.WorkCount(), before);
  // And it can be started again.
  ASSERT_TRUE(b.StartThread());
  b.SetFeedOverride(30);
  EXPECT_EQ(b.GetFeedOverride(), 30.0);
}

// Marks every (sender, sequence) the worker takes.
class MarkingBackEnd : public RecordingBackEnd {
 public:
  static constexpr int kSenders = 6;
  static constexpr int kEach = 250;
  std::atomic<int> taken[kSenders][kEach] = {};
  // Stop before this override goes away.
  ~MarkingBackEnd() override { StopThread(); }

 protected:
  void ExecuteCommand(const WorkCmdData& cmd) override {
    if (cmd.code == WCMD_FEED_OVERRIDE && cmd.arg1 >= 0 && cmd.arg1 < kSenders && cmd.arg2 >= 0 && cmd.arg2 < kEach)
      taken[cmd.arg1][cmd.arg2].fetch_add(1);
    RecordingBackEnd::ExecuteCommand(cmd);
  }
};

TEST(RendezvousTest, ManyThreadsPostingReturnOnlyAfterTheirOwnCommandWasTaken) {
  auto b = std::make_unique<MarkingBackEnd>();
  b->StartWorker();
  const uint32_t replyErrors = Message::ReplyErrors();
  std::atomic<int> notYetTaken{0};
  std::vector<std::thread> threads;
  for (int s = 0; s < MarkingBackEnd::kSenders; ++s)
    threads.emplace_back([&, s] {
      for (int i = 0; i < MarkingBackEnd::kEach; ++i) {
        WorkCmdData c = workcmd::FeedOverride(i);
        c.arg1 = s;
        c.arg2 = i;
        if (!b->Post(c) || b->taken[s][i].load() != 1) ++notYetTaken;
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(notYetTaken.load(), 0);
  for (int s = 0; s < MarkingBackEnd::kSenders; ++s)
    for (int i = 0; i < MarkingBackEnd::kEach; ++i) ASSERT_EQ(b->taken[s][i].load(), 1) << s << "/" << i;
  EXPECT_EQ(b->CommandsTaken(), static_cast<uint64_t>(MarkingBackEnd::kSenders * MarkingBackEnd::kEach));
  EXPECT_EQ(Message::ReplyErrors(), replyErrors);
}

TEST(RendezvousTest, ALongActionRepliesFirstAndServesTheMailboxThroughCheckBreak) {
  RecordingBackEnd b;
  b.StartWorker();
  b.RunProgram();
  // Released while the run is going on.
  EXPECT_TRUE(b.IsBusy());

  b.SetFeedOverride(42);
  EXPECT_EQ(b.GetFeedOverride(), 42.0);
  const auto work = b.Work();
  ASSERT_EQ(work.size(), 2u);
  EXPECT_EQ(work[1].cmd.code, WCMD_FEED_OVERRIDE);
  EXPECT_TRUE(work[1].whileBusy);

  b.Stop(false);
  ASSERT_TRUE(RecordingBackEnd::WaitUntil([&] { return !b.IsBusy(); }));
  // The stop reached the run as a user break.
  EXPECT_TRUE(b.Flags() & RecordingBackEnd::kFailed);
  EXPECT_FALSE(b.Flags() & RecordingBackEnd::kCompleted);
  EXPECT_EQ(b.LongActionsEnded(), 1);
}

TEST(RendezvousTest, CommandsThatNeedAnIdleMachineAreIgnoredWhileBusyAndTheCallerReturns) {
  RecordingBackEnd b;
  b.StartWorker();
  b.RunProgram();
  ASSERT_TRUE(b.IsBusy());
  const uint64_t ignored = b.CommandsIgnored();
  b.Jog(0, true, 1.0, 10.0, false);
  b.Home(7);
  b.RunProgram();
  b.PollIo();
  EXPECT_EQ(b.CommandsIgnored(), ignored + 4);
  EXPECT_EQ(b.WorkCount(), 1u);  // only the run reached the machine

  b.Stop(false);
  ASSERT_TRUE(RecordingBackEnd::WaitUntil([&] { return !b.IsBusy(); }));
  b.Jog(0, true, 1.0, 10.0, false);
  EXPECT_TRUE(b.IsBusy());
  EXPECT_EQ(b.Work().back().cmd.code, WCMD_JOG);
  b.StopJog();
  ASSERT_TRUE(RecordingBackEnd::WaitUntil([&] { return !b.IsBusy(); }));
}

TEST(RendezvousTest, StoppingAHandwheelJogGetsThroughWhileItRuns) {
  RecordingBackEnd b;
  b.StartWorker();
  std::atomic<bool> stopSeen{false};
  b.SetAction([&](RecordingBackEnd& self, const WorkCmdData&, const std::string&) {
    while (!stopSeen.load()) {
      self.CheckBreak(0);
      for (const auto& w : self.Work())
        if (w.cmd.code == WCMD_HANDWHEEL_JOG && !w.cmd.flag1) stopSeen = true;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  b.HandwheelJog(true, 1, 0.01, 5.0, false);
  EXPECT_TRUE(b.IsBusy());
  b.HandwheelJog(false, 1, 0, 0, false);
  // Taken (not ignored) while the jog was running.
  const auto work = b.Work();
  ASSERT_EQ(work.size(), 2u);
  EXPECT_FALSE(work[1].cmd.flag1);
  EXPECT_TRUE(work[1].whileBusy);
  ASSERT_TRUE(RecordingBackEnd::WaitUntil([&] { return !b.IsBusy(); }));
  EXPECT_TRUE(stopSeen.load());
}

TEST(RendezvousTest, ARunWithTextRepliesAfterTheRunSoTheTextStaysValid) {
  RecordingBackEnd b;
  b.StartWorker();
  std::string seen;
  b.SetAction([&](RecordingBackEnd&, const WorkCmdData& cmd, const std::string& text) {
    ASSERT_NE(cmd.text, nullptr);
    seen = *cmd.text + "|" + text;
  });
  {
    const std::string text = "G1 X10 F100";
    b.ExecuteText(text);
    // Returned only after the run: the action has finished.
    EXPECT_EQ(b.LongActionsEnded(), 1);
  }
  EXPECT_EQ(seen, "G1 X10 F100|G1 X10 F100");
  EXPECT_TRUE(b.Flags() & RecordingBackEnd::kCompleted);
}

TEST(RendezvousTest, PostingFromTheWorkerItselfRunsInPlace) {
  RecordingBackEnd b;
  b.StartWorker();
  b.SetAction([](RecordingBackEnd& self, const WorkCmdData&, const std::string&) {
    self.SetFeedOverride(77);     // would wait for itself if it were posted
    self.Jog(0, true, 1, 1, false);  // busy: ignored, still no wait
  });
  const std::string text = "M3";
  b.ExecuteText(text);
  EXPECT_EQ(b.GetFeedOverride(), 77.0);
  ASSERT_EQ(b.WorkCount(), 2u);
  EXPECT_EQ(b.Work()[1].cmd.code, WCMD_FEED_OVERRIDE);
  EXPECT_EQ(b.CommandsIgnored(), 1u);
}

TEST(RendezvousTest, TerminateReleasesCallersStillQueuedWithoutExecutingThem) {
  RecordingBackEnd b;
  b.StartWorker();
  std::atomic<bool> release{false};
  // A long action that does not look at its mailbox until released.
  b.SetAction([&](RecordingBackEnd&, const WorkCmdData&, const std::string&) {
    while (!release.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  });
  b.RunProgram();
  std::thread terminator([&] { b.Post(workcmd::Terminate()); });
  ASSERT_TRUE(RecordingBackEnd::WaitUntil([&] { return b.GetMailbox()->Count() == 1; }));
  std::vector<std::thread> late;
  std::atomic<int> returned{0};
  for (int i = 0; i < 3; ++i)
    late.emplace_back([&, i] {
      b.SetFeedOverride(10 + i);
      ++returned;
    });
  ASSERT_TRUE(RecordingBackEnd::WaitUntil([&] { return b.GetMailbox()->Count() == 4; }));
  EXPECT_EQ(returned.load(), 0);
  release = true;
  terminator.join();
  for (auto& t : late) t.join();
  EXPECT_EQ(returned.load(), 3);
  EXPECT_EQ(b.GetFeedOverride(), 100.0);
  ASSERT_EQ(b.WorkCount(), 2u);  // the run and the terminate
  EXPECT_EQ(b.Work()[1].cmd.code, WCMD_TERMINATE);
  EXPECT_FALSE(b.Post(workcmd::FeedOverride(5)));
  b.StopThread();
}

// Ends its thread on its own terminate condition, not through WCMD_TERMINATE.
class SelfEndingWorker : public WorkerThread {
 public:
  ~SelfEndingWorker() override { StopThread(); }
  std::atomic<int> executed{0};
  std::atomic<bool> endRequested{false};

 protected:
  void ExecuteCommand(const WorkCmdData& cmd) override {
    ++executed;
    if (cmd.code == WCMD_UNLOCK_DOOR) endRequested = true;
  }
  bool ShouldTerminate() const override { return endRequested.load(); }
};

TEST(RendezvousTest, AWorkerThatEndedOnItsOwnRefusesPostsAndCanBeStartedAgain) {
  SelfEndingWorker w;
  ASSERT_TRUE(w.StartThread());
  EXPECT_FALSE(w.StartThread());  // already running
  ASSERT_TRUE(w.Post(workcmd::UnlockDoor()));
  ASSERT_TRUE(RecordingBackEnd::WaitUntil([&] { return w.GetMailbox()->IsClosed(); }));
  EXPECT_FALSE(w.Post(workcmd::PollIo()));
  EXPECT_EQ(w.executed.load(), 1);

  w.endRequested = false;
  ASSERT_TRUE(w.StartThread());
  EXPECT_TRUE(w.Post(workcmd::PollIo()));
  EXPECT_EQ(w.executed.load(), 2);
  w.StopThread();
  EXPECT_FALSE(w.IsRunning());
  EXPECT_EQ(w.executed.load(), 3);  // the terminate reaches the override too, for the back ends' own bit
}

TEST(RendezvousTest, MixedTrafficDuringRunsLosesNothingAndRepliesOnce) {
  RecordingBackEnd b;
  b.StartWorker();
  const uint32_t replyErrors = Message::ReplyErrors();
  const uint32_t sendErrors = Message::SendErrors();
  constexpr int kThreads = 4;
  constexpr int kEach = 150;
  std::atomic<int> posted{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      std::mt19937 rng(1234 + t);
      for (int i = 0; i < kEach; ++i) {
        switch (rng() % 6) {
          case 0: b.RunProgram(); break;
          case 1: b.Stop(false); break;
          case 2: b.SetFeedOverride(i); break;
          case 3: b.SetSpindleOverride(i); break;
          // Posted directly: Jog also sets the tag, which only one thread may do.
          case 4: b.Post(workcmd::Jog(1, true, 1, 1, false)); break;
          default: b.Continue(); break;
        }
        ++posted;
      }
    });
  for (auto& th : threads) th.join();
  b.Stop(false);
  ++posted;
  ASSERT_TRUE(RecordingBackEnd::WaitUntil([&] { return !b.IsBusy(); }));
  EXPECT_EQ(b.CommandsTaken(), static_cast<uint64_t>(posted.load()));
  EXPECT_EQ(b.WorkCount() + b.CommandsIgnored(), static_cast<uint64_t>(posted.load()));
  EXPECT_EQ(Message::ReplyErrors(), replyErrors);
  EXPECT_EQ(Message::SendErrors(), sendErrors);
  b.StopThread();
  EXPECT_FALSE(b.IsRunning());
}

}  // namespace
