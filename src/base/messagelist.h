// The operator's message list: warnings and texts a run produces for the
// operator ("Warning: undefined macro %s", range warnings, PRINT output,
// errors of called files) and the reasons the safety layer stopped the
// machine. The core only posts; the GUI and the CLI install their own list.
// The default list logs every line and keeps the newest ones in memory so
// that code without a display (tests, tools) can read them.
#pragma once

#include <deque>
#include <mutex>
#include <string>
#include <vector>

class MessageList {
 public:
  virtual ~MessageList() = default;
  // Appends one line; may be called from the interpreter's thread.
  virtual void Post(const std::string& text) = 0;
  // Empties the list (CLS).
  virtual void Clear() = 0;
};

// Logs each line and keeps the newest kKeep of them.
class DefaultMessageList : public MessageList {
 public:
  static constexpr size_t kKeep = 1000;
  void Post(const std::string& text) override;
  void Clear() override;
  std::vector<std::string> Lines() const;

 private:
  mutable std::mutex mutex;
  std::deque<std::string> lines;
};

// Installs a list (nullptr = the default one) and returns the previous one.
// The list must outlive its installation.
MessageList* SetMessageList(MessageList* list);
MessageList& GetMessageList();
DefaultMessageList& GetDefaultMessageList();
inline void PostOperatorMessage(const std::string& text) { GetMessageList().Post(text); }
