// Inter-thread command records and the mailboxes they travel through.
//
// A caller sends a message to a worker's mailbox and waits in its own
// mailbox until the worker replies with that very message. The message lives
// on the caller's stack, so the worker must not touch it after replying.
// States: sent (1) -> received (2) -> replied (3) -> returned (4); a
// returned (or new) message may be sent again.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "base/coordinates.h"
#include "base/linkedlist.h"
#include "base/threadsync.h"

class Mailbox;

enum MessageState : int32_t {
  MSG_NEW = 0,
  MSG_SENT = 1,
  MSG_RECEIVED = 2,
  MSG_REPLIED = 3,
  MSG_RETURNED = 4,
};

class Message : public LinkedNode {
 public:
  Message() = default;
  ~Message() override;

  int32_t State() const { return m_state.load(std::memory_order_acquire); }
  Mailbox* ReplyBox() const { return m_replyTo; }

  // Queues the message in `to`; the reply goes to `replyTo` (null = the
  // receiver keeps it). Only a new or returned message may be sent; any
  // other state logs "Message::Send() state error". False also when `to`
  // is closed, and then nothing changes.
  bool Send(Mailbox& to, Mailbox* replyTo);
  // Hands a received message back to its sender. Any other state logs
  // "Message::Reply() state error" and changes nothing.
  bool Reply();

  // Errors logged by Send and Reply since start (tests and diagnostics).
  static uint32_t SendErrors();
  static uint32_t ReplyErrors();

 private:
  friend class Mailbox;
  std::atomic<int32_t> m_state{MSG_NEW};
  Mailbox* m_replyTo = nullptr;
};

// A locked list of messages with a wake-up for its one reader.
class Mailbox {
 public:
  Mailbox() = default;
  Mailbox(const Mailbox&) = delete;
  Mailbox& operator=(const Mailbox&) = delete;
  ~Mailbox();

  // Takes the oldest message (state received). Receive waits for one;
  // TryReceive returns null at once and ReceiveFor after `ms` milliseconds.
  Message* Receive();
  Message* TryReceive();
  Message* ReceiveFor(uint32_t ms);

  // Waits until `msg` has come back into this mailbox as a reply, takes it
  // out and marks it returned. Other messages stay queued.
  void WaitForReturn(Message& msg);

  bool HasMessages();
  size_t Count();

  // A closed mailbox refuses new messages; queued ones can still be taken.
  void Close();
  void Open();
  bool IsClosed();

 private:
  friend class Message;
  // Links `msg` at the tail in state `state`; false when closed (a reply is
  // delivered even to a closed mailbox so no sender is left waiting).
  bool Put(Message& msg, int32_t state, bool evenIfClosed);
  Message* TakeFirstLocked();

  InterthreadSignal m_signal;  // guards m_list and m_closed
  LinkedList m_list;
  bool m_closed = false;
};

// Sends `msg` to `to` and waits until it has been replied to, using the
// calling thread's own reply mailbox. False (at once) when it could not be
// sent: `to` is closed or `msg` is in a wrong state.
bool SendAndWait(Message& msg, Mailbox& to);

// Command codes of the back ends' workers.
enum WorkCode : int32_t {
  WCMD_NONE = 0,
  WCMD_RUN = 1,               // run the loaded program or a text
  WCMD_STOP = 2,
  WCMD_CONTINUE = 3,
  WCMD_FEED_OVERRIDE = 4,
  WCMD_SPINDLE_OVERRIDE = 5,
  WCMD_TERMINATE = 6,
  WCMD_JOG = 7,
  WCMD_MOVE_TO = 8,
  WCMD_STOP_JOG = 9,
  WCMD_POLL_IO = 10,
  WCMD_SET_CHANNEL = 11,
  WCMD_HOME = 12,
  WCMD_SYNCHRONIZE = 13,
  WCMD_OUTPUT_IN_ORDER = 14,
  WCMD_UNLOCK_DOOR = 15,
  WCMD_THC = 16,
  WCMD_HANDWHEEL_JOG = 17,
};
constexpr int32_t kWorkCodeCount = 18;  // 0..17

// The arguments of a worker command (all zero when constructed).
struct WorkCmdData {
  int32_t code = WCMD_NONE;
  int32_t arg1 = 0;                   // axis, channel, output number or axis selection
  int32_t arg2 = 0;                   // second jog axis; -1 = none
  const std::string* text = nullptr;  // program text of WCMD_RUN; null = the loaded program
  double value1 = 0;                  // override, jog distance or speed, PWM value, THC value
  double value2 = 0;
  int32_t spare = 0;
  bool flag1 = false;
  bool flag2 = false;
  bool flag3 = false;
  Coordinates target;                 // target of WCMD_MOVE_TO
};

class WorkCmd : public Message, public WorkCmdData {
 public:
  WorkCmd() = default;
  explicit WorkCmd(const WorkCmdData& data) : WorkCmdData(data) {}
};
