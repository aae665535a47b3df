// Until handles, the work code table, and the worker rendezvous: callers are
// released once their own command has been taken, long actions keep serving
// the mailbox through CheckBreak, and no command is lost or replied twice.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "program/fileparser.h"  // ConditionTerm
#include "common/recording_backend.h"

namespace {

using testsupport::RecordingBackEnd;
constexpr uint32_t kBusy = RecordingBackEnd::kBusy, kCompleted = RecordingBackEnd::kCompleted,
                   kFailed = RecordingBackEnd::kFailed;

// Interpreters come and go while the machine may still look up an old
// handle: a released handle misses even once its slot serves a new one.
TEST(UntilHandleTest, StaleUnknownAndExhaustedHandlesMiss) {
  Condition a(1), b(2);
  const uint32_t stale = UntilHandle(&a).Value();  // released at once
  UntilHandle hb(&b);
  EXPECT_NE(stale, hb.Value());
  EXPECT_EQ(&b, UntilHandle::Find(hb.Value()));
  for (uint32_t miss : {stale, 0u, 0xFFFFFFFFu}) EXPECT_EQ(nullptr, UntilHandle::Find(miss)) << miss;
  EXPECT_EQ(0u, UntilHandle(nullptr).Value());
  // With every slot taken a dwell gets no condition rather than a wrong one.
  std::vector<std::unique_ptr<UntilHandle>> held;
  while (UntilHandle::Count() < 8) held.push_back(std::make_unique<UntilHandle>(&a));
  EXPECT_EQ(0u, UntilHandle(&b).Value());
  held.clear();
  EXPECT_EQ(1, UntilHandle::Count());
}

// Codes from outside read the row of code 0, not past the table's ends.
TEST(WorkCodeTableTest, CodesOutsideTheTableReadRowZero) {
  EXPECT_EQ(GetWorkCodeInfo(kWorkCodeCount).code, 0);
  EXPECT_EQ(GetWorkCodeInfo(-1).code, 0);
}

// ---- the rendezvous

TEST(RendezvousTest, PostingWithoutARunningWorkerReturnsAtOnceAndDoesNothing) {
  RecordingBackEnd b;
  EXPECT_FALSE(b.Post(workcmd::Run()));
  for (int round = 0; round < 2; ++round) {  // a first start, and a start after the worker ended
    ASSERT_TRUE(b.StartThread());
    EXPECT_TRUE(b.Post(workcmd::FeedOverride(50 + round)));
    // Returned means taken: the worker records before it replies.
    EXPECT_EQ(b.Work().size(), 1u + 2 * round);  // each round ends with a terminate
    b.StopThread();
    EXPECT_FALSE(b.Post(workcmd::FeedOverride(10)));
    EXPECT_EQ(b.GetFeedOverride(), 50.0 + round);
  }
}

// A run replies before it starts; while it runs, the worker takes commands
// through CheckBreak and ignores those that need an idle machine (their
// callers still return).
TEST(RendezvousTest, ALongActionRepliesFirstAndServesTheMailboxThroughCheckBreak) {
  RecordingBackEnd b;
  b.StartThread();
  b.Post(workcmd::Run());
  EXPECT_TRUE(b.IsBusy());
  b.Post(workcmd::FeedOverride(42));
  EXPECT_EQ(b.GetFeedOverride(), 42.0);
  for (const WorkCmdData& c : {workcmd::Jog(0, true, 1, 10, false), workcmd::MoveTo(Coordinates(), 0, 1, false),
                               workcmd::Home(7), workcmd::Run(), workcmd::PollIo(),
                               workcmd::HandwheelJog(true, 1, 0.01, 5, false)})
    b.Post(c);
  EXPECT_EQ(b.CommandsIgnored(), 6u);
  EXPECT_EQ(b.Work().size(), 2u);

  b.Post(workcmd::Stop(false));
  ASSERT_TRUE(RecordingBackEnd::WaitUntil([&] { return !b.IsBusy(); }));
  EXPECT_EQ(b.Flags() & (kFailed | kCompleted), kFailed) << "the stop reaches the run as a user break";

  // Idle again: a handwheel jog starts, and its stop gets through (it is not
  // ignored) while the jog runs.
  b.Post(workcmd::HandwheelJog(true, 1, 0.01, 5.0, false));
  EXPECT_TRUE(b.IsBusy());
  b.Post(workcmd::HandwheelJog(false, 1, 0, 0, false));
  const auto work = b.Work();
  ASSERT_EQ(work.size(), 5u);
  EXPECT_TRUE(work[3].code == WCMD_HANDWHEEL_JOG && work[3].flag1);
  EXPECT_TRUE(work[4].code == WCMD_HANDWHEEL_JOG && !work[4].flag1);
}

TEST(RendezvousTest, ARunWithTextRepliesAfterTheRunAndPostsFromTheWorkerRunInPlace) {
  RecordingBackEnd b;
  b.StartThread();
  std::string seen;
  b.SetAction([&](RecordingBackEnd& self, const WorkCmdData& cmd) {
    seen = cmd.text ? *cmd.text : "no text";
    self.Post(workcmd::FeedOverride(77));           // in place: through the mailbox it would wait for itself
    self.Post(workcmd::Jog(0, true, 1, 1, false));  // busy: ignored, still no wait
  });
  {
    const std::string text = "G1 X10 F100";
    b.Post(workcmd::Run(&text));
    EXPECT_EQ(b.Flags() & (kBusy | kCompleted), kCompleted) << "returned before the run ended";
  }
  EXPECT_EQ(seen, "G1 X10 F100");
  EXPECT_EQ(b.GetFeedOverride(), 77.0);
  EXPECT_EQ(b.Work().size(), 2u);
  EXPECT_EQ(b.CommandsIgnored(), 1u);
}

TEST(RendezvousTest, TerminateReleasesCallersStillQueuedWithoutExecutingThem) {
  RecordingBackEnd b;
  b.StartThread();
  std::atomic<bool> release{false};
  // A long action that does not look at its mailbox until released.
  b.SetAction([&](RecordingBackEnd&, const WorkCmdData&) {
    while (!release.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  });
  b.Post(workcmd::Run());
  std::atomic<int> returned{0};
  std::vector<std::thread> callers;
  callers.emplace_back([&] { b.Post(workcmd::Terminate()); });
  ASSERT_TRUE(RecordingBackEnd::WaitUntil([&] { return b.GetMailbox()->Count() == 1; }));
  for (int i = 1; i <= 3; ++i) callers.emplace_back([&, i] { returned += b.Post(workcmd::FeedOverride(i)); });
  ASSERT_TRUE(RecordingBackEnd::WaitUntil([&] { return b.GetMailbox()->Count() == 4; }));
  EXPECT_EQ(returned.load(), 0);
  release = true;
  for (auto& t : callers) t.join();
  EXPECT_EQ(returned.load(), 3);
  ASSERT_EQ(b.Work().size(), 2u);  // the run and the terminate
  EXPECT_EQ(b.Work()[1].code, WCMD_TERMINATE);
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
  ~MarkingBackEnd() override { StopThread(); }  // before this override goes away

 protected:
  void ExecuteCommand(const WorkCmdData& cmd) override {
    if (cmd.code == WCMD_FEED_OVERRIDE) taken[cmd.arg1][cmd.arg2].fetch_add(1);
    RecordingBackEnd::ExecuteCommand(cmd);
  }
};

// Runs, stops and jogs move the worker in and out of long actions while
// feed overrides (never ignored) are marked: each caller finds its own
// command taken when it returns, and every one is taken exactly once.
TEST(RendezvousTest, MixedTrafficFromManyThreadsLosesNothingAndReleasesCallersOnlyOnceTaken) {
  MarkingBackEnd b;
  b.StartThread();
  const uint32_t replyErrors = Message::ReplyErrors(), sendErrors = Message::SendErrors();
  std::atomic<int> overrides{0}, notYetTaken{0};
  std::vector<std::thread> threads;
  for (int s = 0; s < MarkingBackEnd::kSenders; ++s)
    threads.emplace_back([&, s] {
      std::mt19937 rng(1234 + s);
      const WorkCmdData others[] = {workcmd::Run(), workcmd::Stop(false), workcmd::SpindleOverride(s),
                                    workcmd::Jog(1, true, 1, 1, false), workcmd::Continue()};
      for (int i = 0; i < MarkingBackEnd::kEach; ++i) {
        WorkCmdData c = rng() % 8 < 5 ? others[rng() % 5] : workcmd::FeedOverride(i);
        c.arg1 = s;  // marks the overrides; the recorder does not read them in the others
        c.arg2 = i;
        const bool isOverride = c.code == WCMD_FEED_OVERRIDE;
        if (!b.Post(c) || (isOverride && b.taken[s][i].load() != 1)) ++notYetTaken;
        overrides += isOverride;
      }
    });
  for (auto& th : threads) th.join();
  b.Post(workcmd::Stop(false));
  const uint64_t posted = MarkingBackEnd::kSenders * MarkingBackEnd::kEach + 1;
  ASSERT_TRUE(RecordingBackEnd::WaitUntil([&] { return !b.IsBusy(); }));
  EXPECT_EQ(notYetTaken.load(), 0);
  // Each was taken once when its caller returned; none was taken again later.
  int marked = 0;
  for (const auto& sender : b.taken)
    for (const auto& t : sender) marked += t.load();
  EXPECT_EQ(marked, overrides.load());
  EXPECT_EQ(b.CommandsTaken(), posted);
  EXPECT_EQ(b.Work().size() + b.CommandsIgnored(), posted);
  EXPECT_EQ(Message::ReplyErrors(), replyErrors);
  EXPECT_EQ(Message::SendErrors(), sendErrors);
}

}  // namespace
