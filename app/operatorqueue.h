// The hand-over between the interpreter's thread and the main window: the
// operator dialogs a running program asks for, and the lines it posts to the
// message list. The interpreter's side blocks (dialogs) or queues (lines);
// the main cycle serves both on the GUI thread.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "interpreter/messagelist.h"
#include "interpreter/operatordialog.h"

class BackEnd;

// Dialogs of the macro language. Ask waits for the main cycle to answer;
// while it waits it keeps the back end's mailbox served, so that a stop
// reaches the program (as a user break raised out of Ask) and the GUI thread
// is never left waiting on a worker that waits on it.
class QueuedOperator : public Operator {
 public:
  // backEnd: whose CheckBreak is polled while waiting (may change later).
  void SetBackEnd(BackEnd* backEnd) { m_backEnd = backEnd; }

  bool Ask(AskDialog& dialog) override;

  // GUI thread: the dialog waiting for an answer, nullptr when none.
  AskDialog* Pending();
  // GUI thread: hands the answer back to the waiting interpreter.
  void Answer(bool ok);
  // Withdraws every waiting dialog as cancelled (closing).
  void CancelAll();

 private:
  std::mutex m_mutex;
  std::condition_variable m_answered;
  AskDialog* m_pending = nullptr;
  bool m_ok = false;
  bool m_done = false;
  bool m_shutdown = false;
  BackEnd* m_backEnd = nullptr;
};

// Lines from any thread, taken out by the main cycle in batches. CLS empties
// what is queued and tells the display to clear.
class QueuedMessageList : public MessageList {
 public:
  void Post(const std::string& text) override;
  void Clear() override;
  // Lines queued since the last call; clear is true when CLS came first.
  std::vector<std::string> Take(bool& clear);

 private:
  std::mutex m_mutex;
  std::vector<std::string> m_lines;
  bool m_clear = false;
};
