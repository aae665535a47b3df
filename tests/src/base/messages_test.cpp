// Messages and mailboxes: the state sequence of the rendezvous, the two
// state errors, racing replies and closed mailboxes. Many senders against
// one receiver are the worker rendezvous tests' mixed traffic.
#include "base/messages.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "base/folders.h"
#include "base/logging.h"
#include "common/testsupport.h"

namespace {

// Send and Reply are allowed in one state each; in any other they log a
// state error, count it and deliver nothing.
TEST(MessageTest, StatesAndStateErrors) {
  const std::string dir = testsupport::MakeTempDir("messages_log");
  ASSERT_TRUE(OpenLogFile(dir));
  Mailbox worker, other, replies;
  Message m;
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
    Message m;
    ASSERT_TRUE(m.Send(worker, &replies) && worker.TryReceive() == &m);
    std::atomic<int> wins{0};
    std::atomic<bool> go{false};
    auto racer = [&] {
      while (!go.load()) std::this_thread::yield();
      wins += m.Reply();
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
  Message queued, late;
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
  Message a, b, incoming;
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

}  // namespace
