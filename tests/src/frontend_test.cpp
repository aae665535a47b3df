// Until handles, back-end flag defaults, the posted command records, and the
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
#include "messages.h"
#include "recording_backend.h"
#include "workerthread.h"

namespace {

using testsupport::RecordingBackEnd;

struct FlagsBackEnd : BackEnd {
  void SetFlagsWord(uint32_t f) { m_flags = f; }
};

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
  b.SetFlagsWord(0x80);
  EXPECT_TRUE(b.TestFlagBit7() && !b.TestFlagBit0());
  b.SetFlagsWord(0x7F);
  EXPECT_TRUE(b.TestFlagBit0() && !b.TestFlagBit7());
}

// Two builders share each of these codes; a field tells the worker which
// was meant. (The jog and move-to records are read by the simulation and
// checked through its jog and move tests.)
TEST(WorkCmdRecordTest, BuildersSharingACodeDifferInTheirFields) {
  const WorkCmdData on = workcmd::SetChannel(5, true), value = workcmd::SetChannelValue(5, 40.0);
  EXPECT_EQ(on.code, value.code);
  EXPECT_TRUE(on.flag1 && !value.flag1);
  EXPECT_EQ(value.value1, 40.0);
  const WorkCmdData change = workcmd::ChangeSpindleOverride(80), reset = workcmd::ResetSpindleOverride();
  EXPECT_EQ(change.code, reset.code);
  EXPECT_TRUE(reset.flag1 && !change.flag1);
  EXPECT_EQ(reset.value1, 100.0);
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

bool WaitIdle(const RecordingBackEnd& b) {
  return RecordingBackEnd::WaitUntil([&] { return !b.IsBusy(); });
}

TEST(RendezvousTest, PostingWithoutARunningWorkerReturnsAtOnceAndDoesNothing) {
  RecordingBackEnd b;
  EXPECT_EQ(b.GetMailbox(), nullptr);
  EXPECT_FALSE(b.Post(workcmd::FeedOverride(50)));
  b.Stop(true);
  b.RunProgram();
  b.Post(workcmd::Jog(0, true, 1, 10, false));
  EXPECT_EQ(b.WorkCount(), 0u);
  EXPECT_FALSE(b.IsBusy());

  b.StartWorker();
  b.SetFeedOverride(50);
  // Returned means taken: the worker records before it replies.
  ASSERT_EQ(b.WorkCount(), 1u);
  EXPECT_EQ(b.GetFeedOverride(), 50.0);

  // After the worker ended, and after it was started again.
  b.StopThread();
  EXPECT_FALSE(b.IsRunning());
  const size_t before = b.WorkCount();
  EXPECT_FALSE(b.Post(workcmd::FeedOverride(10)));
  EXPECT_EQ(b.WorkCount(), before);
  ASSERT_TRUE(b.StartThread());
  b.SetFeedOverride(30);
  EXPECT_EQ(b.GetFeedOverride(), 30.0);
}

// A run replies before it starts; while it runs, the worker takes commands
// through CheckBreak and ignores those that need an idle machine (their
// callers still return).
TEST(RendezvousTest, ALongActionRepliesFirstAndServesTheMailboxThroughCheckBreak) {
  RecordingBackEnd b;
  b.StartWorker();
  b.RunProgram();
  EXPECT_TRUE(b.IsBusy());
  b.SetFeedOverride(42);
  EXPECT_EQ(b.GetFeedOverride(), 42.0);
  const uint64_t ignored = b.CommandsIgnored();
  b.Post(workcmd::Jog(0, true, 1.0, 10.0, false));
  b.Post(workcmd::Home(7));
  b.RunProgram();
  b.Post(workcmd::PollIo());
  EXPECT_EQ(b.CommandsIgnored(), ignored + 4);
  auto work = b.Work();
  ASSERT_EQ(work.size(), 2u);
  EXPECT_EQ(work[1].cmd.code, WCMD_FEED_OVERRIDE);
  EXPECT_TRUE(work[1].whileBusy);

  b.Stop(false);
  ASSERT_TRUE(WaitIdle(b));
  // The stop reached the run as a user break.
  EXPECT_TRUE(b.Flags() & RecordingBackEnd::kFailed);
  EXPECT_FALSE(b.Flags() & RecordingBackEnd::kCompleted);
  EXPECT_EQ(b.LongActionsEnded(), 1);

  // Idle again: a handwheel jog starts, and its stop is taken (not ignored)
  // while the jog runs.
  b.Post(workcmd::HandwheelJog(true, 1, 0.01, 5.0, false));
  EXPECT_TRUE(b.IsBusy());
  b.Post(workcmd::HandwheelJog(false, 1, 0, 0, false));
  work = b.Work();
  ASSERT_EQ(work.size(), 5u);
  EXPECT_TRUE(work[3].cmd.code == WCMD_HANDWHEEL_JOG && work[3].cmd.flag1);
  EXPECT_TRUE(work[4].cmd.code == WCMD_HANDWHEEL_JOG && !work[4].cmd.flag1);
  EXPECT_TRUE(work[4].whileBusy);
  b.Post(workcmd::StopJog());
  ASSERT_TRUE(WaitIdle(b));
}

TEST(RendezvousTest, ARunWithTextRepliesAfterTheRunAndPostsFromTheWorkerRunInPlace) {
  RecordingBackEnd b;
  b.StartWorker();
  std::string seen;
  b.SetAction([&](RecordingBackEnd& self, const WorkCmdData& cmd, const std::string& text) {
    ASSERT_NE(cmd.text, nullptr);
    seen = *cmd.text + "|" + text;
    self.SetFeedOverride(77);                         // would wait for itself if it were posted
    self.Post(workcmd::Jog(0, true, 1, 1, false));  // busy: ignored, still no wait
  });
  {
    const std::string text = "G1 X10 F100";
    b.ExecuteText(text);
    // Returned only after the run: the action has finished.
    EXPECT_EQ(b.LongActionsEnded(), 1);
  }
  EXPECT_EQ(seen, "G1 X10 F100|G1 X10 F100");
  EXPECT_TRUE(b.Flags() & RecordingBackEnd::kCompleted);
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
  EXPECT_EQ(w.executed.load(), 3);  // the terminate reaches the override too, for the back ends' own bit
}

// Marks every (sender, sequence) of the feed overrides the worker takes.
class MarkingBackEnd : public RecordingBackEnd {
 public:
  static constexpr int kSenders = 6, kEach = 300;
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

// Runs, stops and jogs move the worker in and out of long actions while
// feed overrides (never ignored) are marked: each caller finds its own
// command taken when it returns, and every one is taken exactly once.
TEST(RendezvousTest, MixedTrafficFromManyThreadsLosesNothingAndReleasesCallersOnlyOnceTaken) {
  MarkingBackEnd b;
  b.StartWorker();
  const uint32_t replyErrors = Message::ReplyErrors(), sendErrors = Message::SendErrors();
  std::atomic<int> posted{0}, overrides{0}, notYetTaken{0};
  std::vector<std::thread> threads;
  for (int s = 0; s < MarkingBackEnd::kSenders; ++s)
    threads.emplace_back([&, s] {
      std::mt19937 rng(1234 + s);
      for (int i = 0; i < MarkingBackEnd::kEach; ++i, ++posted) {
        switch (rng() % 8) {
          case 0: b.RunProgram(); break;
          case 1: b.Stop(false); break;
          case 2: b.Post(workcmd::SpindleOverride(i)); break;
          case 3: b.Post(workcmd::Jog(1, true, 1, 1, false)); break;
          case 4: b.Continue(); break;
          default: {
            WorkCmdData c = workcmd::FeedOverride(i);
            c.arg1 = s;
            c.arg2 = i;
            if (!b.Post(c) || b.taken[s][i].load() != 1) ++notYetTaken;
            ++overrides;
          }
        }
      }
    });
  for (auto& th : threads) th.join();
  b.Stop(false);
  ++posted;
  ASSERT_TRUE(WaitIdle(b));
  EXPECT_EQ(notYetTaken.load(), 0);
  int marked = 0;
  for (const auto& sender : b.taken)
    for (const auto& t : sender) {
      ASSERT_LE(t.load(), 1);
      marked += t.load();
    }
  EXPECT_EQ(marked, overrides.load());
  EXPECT_EQ(b.CommandsTaken(), static_cast<uint64_t>(posted.load()));
  EXPECT_EQ(b.WorkCount() + b.CommandsIgnored(), static_cast<uint64_t>(posted.load()));
  EXPECT_EQ(Message::ReplyErrors(), replyErrors);
  EXPECT_EQ(Message::SendErrors(), sendErrors);
}

}  // namespace
