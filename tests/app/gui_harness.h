// The GUI test harness: the real start-up on a scratch parameter folder (the
// example parameter set as its defaults, the example macros plus the test's
// own), the main cycle driven by pumping the event loop, and every dialog
// answered by the test.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "app/dialoghost.h"

class Quorvane2Frame;
class wxWindow;

namespace guitest {

// Runs the event loop (timers included) until done() or the time is up.
bool PumpUntil(const std::function<bool()>& done, double seconds);
// Runs the event loop for a while.
void Pump(double seconds);

// Answers dialogs in place of the operator and records every one of them.
class DialogScript {
 public:
  using Answer = std::function<int(DialogRequest&)>;
  DialogScript();
  ~DialogScript();
  // The newest rule whose caption (or text) contains `key` answers.
  void On(const std::string& key, Answer answer);
  void On(const std::string& key, int fixed) {
    On(key, [fixed](DialogRequest&) { return fixed; });
  }
  // Captions and texts seen, "caption: text".
  const std::vector<std::string>& Seen() const { return seen; }
  int Count(const std::string& key) const;

 private:
  std::vector<std::pair<std::string, Answer>> rules;
  std::vector<std::string> seen;
  DialogHost::Responder previous;
};

bool SaveScreenshot(wxWindow* window, const std::string& path);

// The example parameter set, a macro folder with the example macros and
// extra files, the application started as the operator starts it.
class AppSession : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Starts the application; macros are name/text pairs added to the macro
  // folder first. False when start-up refused.
  bool Start(const std::vector<std::pair<std::string, std::string>>& macros = {},
             const std::string& argument = std::string());
  // Closes the window as the operator does and waits until it is gone.
  bool CloseWindow();
  // Loads a program and waits for the load to end.
  bool Load(const std::string& path);
  bool WaitIdle(double seconds);
  std::string Log() const;
  // Waits up to 2 s for a line containing `part`.
  bool HasMessage(const std::string& part) const;
  std::string WriteProgram(const std::string& name, const std::string& text);

  DialogScript dialogs;
  Quorvane2Frame* frame = nullptr;
  std::string paramDir, macroDir;
};

}  // namespace guitest
