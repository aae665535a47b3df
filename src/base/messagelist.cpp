#include "base/messagelist.h"

#include <shared_mutex>

#include "base/logging.h"

namespace {
// Posting holds the lock shared, installing exclusively: the list a thread
// posts to stays alive until the post is done.
std::shared_mutex g_listMutex;
MessageList* g_list = nullptr;
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
  std::unique_lock<std::shared_mutex> lock(g_listMutex);
  MessageList* previous = g_list;
  g_list = list;
  return previous ? previous : &GetDefaultMessageList();
}

void PostOperatorMessage(const std::string& text) {
  std::shared_lock<std::shared_mutex> lock(g_listMutex);
  (g_list ? *g_list : GetDefaultMessageList()).Post(text);
}

void ClearOperatorMessages() {
  std::shared_lock<std::shared_mutex> lock(g_listMutex);
  (g_list ? *g_list : GetDefaultMessageList()).Clear();
}
