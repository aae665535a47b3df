#include "app/operatorqueue.h"

#include <chrono>

#include "motion/backend.h"

bool QueuedOperator::Ask(AskDialog& dialog) {
  std::unique_lock<std::mutex> lock(m_mutex);
  if (m_shutdown) return false;
  m_pending = &dialog;
  m_done = false;
  while (!m_done) {
    m_answered.wait_for(lock, std::chrono::milliseconds(20));
    if (m_done || m_shutdown) break;
    if (m_backEnd) {
      // The dialog is not on screen yet or the operator is still at it: a
      // stop command is taken from the mailbox here.
      BackEnd* backEnd = m_backEnd;
      AskDialog* shown = m_pending;
      lock.unlock();
      try {
        backEnd->CheckBreak(0);
      } catch (...) {
        lock.lock();
        if (m_pending == shown && !m_done) m_pending = nullptr;
        throw;
      }
      lock.lock();
    }
  }
  const bool ok = m_done && m_ok;
  m_pending = nullptr;
  return ok;
}

AskDialog* QueuedOperator::Pending() {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_done ? nullptr : m_pending;
}

void QueuedOperator::Answer(bool ok) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (!m_pending) return;
  m_ok = ok;
  m_done = true;
  m_answered.notify_all();
}

void QueuedOperator::CancelAll() {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_shutdown = true;
  m_ok = false;
  m_answered.notify_all();
}

void QueuedMessageList::Post(const std::string& text) {
  std::lock_guard<std::mutex> lock(m_mutex);
  // A program printing in a tight loop must not grow the queue without end
  // while the display is busy: the oldest lines give way.
  constexpr size_t kMaxQueued = 5000;
  if (m_lines.size() >= kMaxQueued) m_lines.erase(m_lines.begin(), m_lines.begin() + kMaxQueued / 2);
  m_lines.push_back(text);
}

void QueuedMessageList::Clear() {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_lines.clear();
  m_clear = true;
}

std::vector<std::string> QueuedMessageList::Take(bool& clear) {
  std::lock_guard<std::mutex> lock(m_mutex);
  std::vector<std::string> out;
  out.swap(m_lines);
  clear = m_clear;
  m_clear = false;
  return out;
}
