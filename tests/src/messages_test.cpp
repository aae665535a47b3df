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

// Send and Reply are allowed in one state each; in any other they log a
// state error, count it and deliver nothing.
TEST(MessageTest, StatesAndStateErrors) {
  const std::string dir = testsupport::MakeTempDir("messages_log");
  ASSERT_TRUE(OpenLogFile(dir));
  Mailbox worker, other, replies;
  Numbered m;
  const uint32_t sendErrors = Message::SendErrors(), replyErrors = Message::ReplyErrors();
  for (int trip = 0; trip < 2; ++trip) {  // a returned message may travel again
    EXPECT_FALSE(m.Reply());
    ASSERT_TRUE(m.Send(worker, &replies));
    EXPECT_EQ(m.State(), MSG_SENT);
    EXPECT_FALSE(m.Send(other, &replies));
    EXPECT_FALSE(m.Reply());
    ASSERT_EQ(worker.TryReceive(), &m);
    EXPECT_FALSE(m.Send(other, &replies));
    ASSERT_TRUE(m.Reply());
    EXPECT_FALSE(m.Send(other, &replies));
    EXPECT_FALSE(m.Reply());
    EXPECT_EQ(replies.Count(), 1u);
    replies.WaitForReturn(m);
    EXPECT_EQ(m.State(), MSG_RETURNED);
  }
  CloseLogFile();
  EXPECT_EQ(other.Count(), 0u);
  EXPECT_EQ(Message::SendErrors(), sendErrors + 6);
  EXPECT_EQ(Message::ReplyErrors(), replyErrors + 6);
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

// Queued messages stay takeable and replies still arrive (no sender is left
// waiting), but new messages are refused and left untouched.
TEST(MailboxTest, ClosedMailboxes) {
  Mailbox box, replies;
  Numbered queued, late;
  EXPECT_EQ(box.ReceiveFor(5), nullptr);
  ASSERT_TRUE(queued.Send(box, &replies));
  box.Close();
  replies.Close();
  EXPECT_FALSE(late.Send(box, &replies));
  EXPECT_FALSE(SendAndWait(late, box));
  EXPECT_EQ(late.State(), MSG_NEW);
  ASSERT_EQ(box.TryReceive(), &queued);
  ASSERT_TRUE(queued.Reply());
  replies.WaitForReturn(queued);
  EXPECT_EQ(queued.State(), MSG_RETURNED);
  box.Open();
  EXPECT_TRUE(late.Send(box, nullptr));
  ASSERT_EQ(box.TryReceive(), &late);
  late.Reply();
}

TEST(MailboxTest, WaitForReturnSkipsOtherRepliesAndReceiversSkipReplies) {
  // One box used both ways: a reply waiting there is not new mail, and
  // waiting for one message leaves the other reply queued.
  Mailbox worker, mine;
  Numbered a, b, incoming;
  ASSERT_TRUE(a.Send(worker, &mine));
  ASSERT_TRUE(b.Send(worker, &mine));
  ASSERT_EQ(worker.TryReceive(), &a);  // in sending order
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

TEST(MailboxTest, ManySendersOneReceiverNoMessageLostOrRepliedTwice) {
  constexpr int kSenders = 8, kEach = 300;
  Mailbox box;
  const uint32_t replyErrors = Message::ReplyErrors();
  std::set<std::pair<int, int>> seen;
  std::thread receiver([&] {
    for (int i = 0; i < kSenders * kEach; ++i) {
      auto* m = static_cast<Numbered*>(box.Receive());
      seen.insert({m->sender, m->seq});
      m->Reply();
    }
  });
  std::vector<std::thread> senders;
  for (int s = 0; s < kSenders; ++s)
    senders.emplace_back([&, s] {
      for (int i = 0; i < kEach; ++i) {
        Numbered m;
        m.sender = s;
        m.seq = i;
        EXPECT_TRUE(SendAndWait(m, box) && m.State() == MSG_RETURNED);
      }
    });
  for (auto& t : senders) t.join();
  receiver.join();
  EXPECT_EQ(seen.size(), static_cast<size_t>(kSenders * kEach));
  EXPECT_EQ(Message::ReplyErrors(), replyErrors);
}

}  // namespace
