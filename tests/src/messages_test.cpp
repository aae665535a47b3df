// Messages and mailboxes: the state sequence of the rendezvous, the two
// state errors, closed mailboxes and many senders against one receiver.
#include "messages.h"

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>
#include <vector>

#include "folders.h"
#include "logging.h"
#include "testsupport.h"

namespace {

struct Numbered : Message {
  int sender = 0;
  int seq = 0;
};

TEST(MessageTest, StatesRunSentReceivedRepliedReturned) {
  Mailbox worker;
  Mailbox replies;
  Numbered m;
  EXPECT_EQ(m.State(), MSG_NEW);
  ASSERT_TRUE(m.Send(worker, &replies));
  EXPECT_EQ(m.State(), MSG_SENT);
  EXPECT_EQ(m.ReplyBox(), &replies);

  Message* got = worker.TryReceive();
  ASSERT_EQ(got, &m);
  EXPECT_EQ(m.State(), MSG_RECEIVED);
  EXPECT_FALSE(worker.HasMessages());

  ASSERT_TRUE(m.Reply());
  EXPECT_EQ(m.State(), MSG_REPLIED);
  replies.WaitForReturn(m);
  EXPECT_EQ(m.State(), MSG_RETURNED);
  EXPECT_FALSE(replies.HasMessages());

  // A returned message may travel again.
  EXPECT_TRUE(m.Send(worker, &replies));
  ASSERT_EQ(worker.TryReceive(), &m);
  ASSERT_TRUE(m.Reply());
  replies.WaitForReturn(m);
}

TEST(MessageTest, SendingAMessageThatIsUnderwayIsAStateError) {
  Mailbox a, b, replies;
  Numbered m;
  const uint32_t before = Message::SendErrors();
  ASSERT_TRUE(m.Send(a, &replies));
  EXPECT_FALSE(m.Send(b, &replies));   // sent
  EXPECT_EQ(b.Count(), 0u);
  ASSERT_EQ(a.TryReceive(), &m);
  EXPECT_FALSE(m.Send(b, &replies));   // received
  ASSERT_TRUE(m.Reply());
  EXPECT_FALSE(m.Send(b, &replies));   // replied, not yet returned
  EXPECT_EQ(Message::SendErrors(), before + 3);
  replies.WaitForReturn(m);
}

TEST(MessageTest, ReplyOutsideReceivedIsAStateErrorAndDeliversNothing) {
  Mailbox worker, replies;
  Numbered m;
  const uint32_t before = Message::ReplyErrors();
  EXPECT_FALSE(m.Reply());                 // new
  ASSERT_TRUE(m.Send(worker, &replies));
  EXPECT_FALSE(m.Reply());                 // sent, still queued
  EXPECT_EQ(worker.Count(), 1u);
  ASSERT_EQ(worker.TryReceive(), &m);
  EXPECT_TRUE(m.Reply());
  EXPECT_FALSE(m.Reply());                 // twice
  EXPECT_EQ(replies.Count(), 1u);
  EXPECT_EQ(Message::ReplyErrors(), before + 3);
  replies.WaitForReturn(m);
}

TEST(MessageTest, StateErrorsAreLogged) {
  const std::string dir = testsupport::MakeTempDir("messages_log");
  ASSERT_TRUE(OpenLogFile(dir));
  Mailbox box;
  Numbered m;
  m.Reply();
  ASSERT_TRUE(m.Send(box, nullptr));
  m.Send(box, nullptr);
  ASSERT_EQ(box.TryReceive(), &m);
  ASSERT_TRUE(m.Reply());
  CloseLogFile();
  const std::string log = testsupport::ReadFile(Folders::Join(dir, "log.txt"));
  EXPECT_NE(log.find("Message::Reply() state error"), std::string::npos);
  EXPECT_NE(log.find("Message::Send() state error"), std::string::npos);
}

TEST(MessageTest, TwoThreadsReplyingAtOnceDeliverOneReply) {
  for (int round = 0; round < 200; ++round) {
    Mailbox worker, replies;
    Numbered m;
    ASSERT_TRUE(m.Send(worker, &replies));
    ASSERT_EQ(worker.TryReceive(), &m);
    std::atomic<int> wins{0};
    std::atomic<bool> go{false};
    auto racer = [&] {
      while (!go.load()) std::this_thread::yield();
      if (m.Reply()) ++wins;
    };
    std::thread t1(racer), t2(racer);
    go = true;
    t1.join();
    t2.join();
    ASSERT_EQ(wins.load(), 1);
    ASSERT_EQ(replies.Count(), 1u);
    replies.WaitForReturn(m);
  }
}

TEST(MailboxTest, MessagesAreTakenInSendingOrder) {
  Mailbox box;
  std::vector<Numbered> msgs(5);
  for (int i = 0; i < 5; ++i) {
    msgs[i].seq = i;
    ASSERT_TRUE(msgs[i].Send(box, nullptr));
  }
  for (int i = 0; i < 5; ++i) {
    auto* m = static_cast<Numbered*>(box.TryReceive());
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->seq, i);
    m->Reply();
  }
  EXPECT_EQ(box.TryReceive(), nullptr);
}

TEST(MailboxTest, EmptyMailboxGivesNothingWithoutWaitingOrAfterTimeout) {
  Mailbox box;
  EXPECT_EQ(box.TryReceive(), nullptr);
  EXPECT_EQ(box.ReceiveFor(0), nullptr);
  EXPECT_EQ(box.ReceiveFor(5), nullptr);
}

TEST(MailboxTest, ClosedMailboxRefusesNewMessagesButKeepsQueuedOnes) {
  Mailbox box, replies;
  Numbered queued, late;
  ASSERT_TRUE(queued.Send(box, &replies));
  box.Close();
  EXPECT_TRUE(box.IsClosed());
  EXPECT_FALSE(late.Send(box, &replies));
  EXPECT_EQ(late.State(), MSG_NEW);  // untouched, may be sent elsewhere
  ASSERT_EQ(box.TryReceive(), &queued);
  ASSERT_TRUE(queued.Reply());
  replies.WaitForReturn(queued);
  box.Open();
  EXPECT_TRUE(late.Send(box, nullptr));
  ASSERT_EQ(box.TryReceive(), &late);
  late.Reply();
}

TEST(MailboxTest, ReplyReachesAClosedReplyBox) {
  // A sender must never be left waiting because its box was closed.
  Mailbox worker, replies;
  Numbered m;
  ASSERT_TRUE(m.Send(worker, &replies));
  replies.Close();
  ASSERT_EQ(worker.TryReceive(), &m);
  ASSERT_TRUE(m.Reply());
  replies.WaitForReturn(m);
  EXPECT_EQ(m.State(), MSG_RETURNED);
}

TEST(MailboxTest, WaitForReturnSkipsOtherRepliesAndReceiversSkipReplies) {
  // One box used both ways: a reply waiting there is not new mail, and
  // waiting for one message leaves the other reply queued.
  Mailbox worker, mine;
  Numbered a, b, incoming;
  ASSERT_TRUE(a.Send(worker, &mine));
  ASSERT_TRUE(b.Send(worker, &mine));
  ASSERT_EQ(worker.TryReceive(), &a);
  ASSERT_EQ(worker.TryReceive(), &b);
  ASSERT_TRUE(a.Reply());
  ASSERT_TRUE(b.Reply());
  EXPECT_EQ(mine.TryReceive(), nullptr);
  ASSERT_TRUE(incoming.Send(mine, nullptr));
  mine.WaitForReturn(b);
  EXPECT_EQ(b.State(), MSG_RETURNED);
  EXPECT_EQ(a.State(), MSG_REPLIED);
  ASSERT_EQ(mine.TryReceive(), &incoming);
  incoming.Reply();
  mine.WaitForReturn(a);
}

TEST(MailboxTest, SendAndWaitReturnsAfterTheReceiverReplied) {
  Mailbox box;
  Numbered m;
  std::atomic<bool> replied{false};
  std::thread worker([&] {
    Message* got = box.Receive();
    replied = true;
    got->Reply();
  });
  ASSERT_TRUE(SendAndWait(m, box));
  EXPECT_TRUE(replied.load());
  EXPECT_EQ(m.State(), MSG_RETURNED);
  worker.join();
}

TEST(MailboxTest, SendAndWaitToAClosedMailboxReturnsAtOnce) {
  Mailbox box;
  box.Close();
  Numbered m;
  EXPECT_FALSE(SendAndWait(m, box));
  EXPECT_EQ(m.State(), MSG_NEW);
}

TEST(MailboxTest, ManySendersOneReceiverNoMessageLostOrRepliedTwice) {
  constexpr int kSenders = 8;
  constexpr int kEach = 300;
  Mailbox box;
  const uint32_t replyErrors = Message::ReplyErrors();
  std::set<std::pair<int, int>> seen;
  bool duplicate = false;
  std::thread receiver([&] {
    for (int i = 0; i < kSenders * kEach; ++i) {
      auto* m = static_cast<Numbered*>(box.Receive());
      if (!seen.insert({m->sender, m->seq}).second) duplicate = true;
      m->Reply();
    }
  });
  std::vector<std::thread> senders;
  std::atomic<int> returned{0};
  for (int s = 0; s < kSenders; ++s)
    senders.emplace_back([&, s] {
      for (int i = 0; i < kEach; ++i) {
        Numbered m;
        m.sender = s;
        m.seq = i;
        if (SendAndWait(m, box) && m.State() == MSG_RETURNED) ++returned;
      }
    });
  for (auto& t : senders) t.join();
  receiver.join();
  EXPECT_EQ(returned.load(), kSenders * kEach);
  EXPECT_EQ(seen.size(), static_cast<size_t>(kSenders * kEach));
  EXPECT_FALSE(duplicate);
  EXPECT_EQ(Message::ReplyErrors(), replyErrors);
  EXPECT_FALSE(box.HasMessages());
}

TEST(WorkCmdTest, ANewCommandHasAllFieldsZero) {
  WorkCmd c;
  EXPECT_EQ(c.code, 0);
  EXPECT_EQ(c.arg1, 0);
  EXPECT_EQ(c.arg2, 0);
  EXPECT_EQ(c.text, nullptr);
  EXPECT_EQ(c.value1, 0.0);
  EXPECT_EQ(c.value2, 0.0);
  EXPECT_EQ(c.spare, 0);
  EXPECT_FALSE(c.flag1 || c.flag2 || c.flag3);
  EXPECT_EQ(c.target, Coordinates());
  EXPECT_EQ(c.State(), MSG_NEW);
}

}  // namespace
