#include "base/messages.h"

#include "base/assertion.h"
#include "base/logging.h"

namespace {
// Misuse of the rendezvous is a programming error: always logged.
constexpr int32_t kLogMessageError = LOG_ALWAYS | 6;

std::atomic<uint32_t> g_sendErrors{0};
std::atomic<uint32_t> g_replyErrors{0};

// Between the reply's claim and its delivery; never visible as a state of a
// message at rest.
constexpr int32_t kReplying = 5;

// Slices of a wait: a wake-up missed for any reason costs at most this long.
constexpr uint32_t kWaitSliceMs = 100;
}  // namespace

Message::~Message() {
  // A message destroyed while queued would leave a dangling node behind.
  const int32_t state = State();
  QASSERT(state != MSG_SENT && state != MSG_RECEIVED, "Message destroyed before its reply");
}

uint32_t Message::SendErrors() { return g_sendErrors.load(); }
uint32_t Message::ReplyErrors() { return g_replyErrors.load(); }

bool Message::Send(Mailbox& to, Mailbox* replyTo) {
  const int32_t state = State();
  if ((state != MSG_NEW && state != MSG_RETURNED) || IsLinked()) {
    g_sendErrors.fetch_add(1);
    LogMessage(kLogMessageError, "Message::Send() state error");
    return false;
  }
  m_replyTo = replyTo;
  return to.Put(*this, MSG_SENT, false);
}

bool Message::Reply() {
  int32_t expected = MSG_RECEIVED;
  // Only one reply may win even if two threads race for it. The message
  // shows "replied" only once it is linked into the reply box, under that
  // box's lock, so the sender never looks at a half-delivered reply.
  if (!m_state.compare_exchange_strong(expected, kReplying, std::memory_order_acq_rel)) {
    g_replyErrors.fetch_add(1);
    LogMessage(kLogMessageError, "Message::Reply() state error");
    return false;
  }
  // The sender may free the message as soon as it sees it: read the reply
  // box before handing it over and touch nothing afterwards.
  Mailbox* box = m_replyTo;
  if (box)
    box->Put(*this, MSG_REPLIED, true);
  else
    m_state.store(MSG_REPLIED, std::memory_order_release);
  return true;
}

Mailbox::~Mailbox() {
  CriticalSectionLocker lock(m_signal);
  QASSERT(m_list.IsEmpty(), "Mailbox destroyed with queued messages");
  while (m_list.RemoveHead()) {
  }
}

bool Mailbox::Put(Message& msg, int32_t state, bool evenIfClosed) {
  CriticalSectionLocker lock(m_signal);
  if (m_closed && !evenIfClosed) return false;
  msg.m_state.store(state, std::memory_order_release);
  m_list.AddTail(&msg);
  // Signal under the lock: the reader cannot leave its wait and free the
  // message before the wake-up is complete.
  m_signal.Signal();
  return true;
}

Message* Mailbox::TakeFirstLocked() {
  // Replies waiting for WaitForReturn are not for a reader.
  for (LinkedNode* n = m_list.First(); n; n = n->Next()) {
    auto* msg = static_cast<Message*>(n);
    if (msg->State() == MSG_SENT) {
      msg->Remove();
      msg->m_state.store(MSG_RECEIVED, std::memory_order_release);
      return msg;
    }
  }
  return nullptr;
}

Message* Mailbox::Receive() {
  CriticalSectionLocker lock(m_signal);
  for (;;) {
    if (Message* msg = TakeFirstLocked()) return msg;
    m_signal.WaitFor(kWaitSliceMs);
  }
}

Message* Mailbox::TryReceive() {
  CriticalSectionLocker lock(m_signal);
  return TakeFirstLocked();
}

Message* Mailbox::ReceiveFor(uint32_t ms) {
  CriticalSectionLocker lock(m_signal);
  if (Message* msg = TakeFirstLocked()) return msg;
  if (ms == 0) return nullptr;
  m_signal.WaitFor(ms);
  return TakeFirstLocked();
}

void Mailbox::WaitForReturn(Message& msg) {
  CriticalSectionLocker lock(m_signal);
  // The state turns "replied" under this box's lock, together with linking.
  while (msg.State() != MSG_REPLIED || msg.List() != &m_list) m_signal.WaitFor(kWaitSliceMs);
  msg.Remove();
  msg.m_state.store(MSG_RETURNED, std::memory_order_release);
}

bool Mailbox::HasMessages() {
  CriticalSectionLocker lock(m_signal);
  return !m_list.IsEmpty();
}

size_t Mailbox::Count() {
  CriticalSectionLocker lock(m_signal);
  return m_list.Count();
}

void Mailbox::Close() {
  CriticalSectionLocker lock(m_signal);
  m_closed = true;
}

void Mailbox::Open() {
  CriticalSectionLocker lock(m_signal);
  m_closed = false;
}

bool Mailbox::IsClosed() {
  CriticalSectionLocker lock(m_signal);
  return m_closed;
}

bool SendAndWait(Message& msg, Mailbox& to) {
  // One reply box per thread: a thread has at most one message out at a time.
  thread_local Mailbox replyBox;
  if (!msg.Send(to, &replyBox)) return false;
  replyBox.WaitForReturn(msg);
  return true;
}
