#include "base/messagelist.h"

#include <atomic>

#include "base/logging.h"

namespace {
std::atomic<MessageList*> g_list{nullptr};
}  // namespace

void DefaultMessageList::Post(const std::string& text) {
  LogMessage(LOGCAT_INTERPRETER | 3, "Message: %s", text.c_str());
  std::lock_guard<std::mutex> lock(mutex);
  lines.push_back(text);
  while (lines.size() > kKeep) lines.pop_front();
}

void DefaultMessageList::Clear() {
  std::lock_guard<std::mutex> lock(mutex);
  lines.clear();
}

std::vector<std::string> DefaultMessageList::Lines() const {
  std::lock_guard<std::mutex> lock(mutex);
  return {lines.begin(), lines.end()};
}

DefaultMessageList& GetDefaultMessageList() {
  static DefaultMessageList list;
  return list;
}

MessageList* SetMessageList(MessageList* list) {
  MessageList* previous = g_list.exchange(list);
  return previous ? previous : &GetDefaultMessageList();
}

MessageList& GetMessageList() {
  MessageList* list = g_list.load();
  return list ? *list : GetDefaultMessageList();
}
