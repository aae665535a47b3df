// Loads a part program away from the GUI thread: the text the window shows
// and the interpreter's copy are read in a thread of their own, so that the
// window keeps answering while a program of millions of lines comes in. The
// window polls the loader from its main cycle.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

class GCodeParser;
class TextControl;

class ProgramLoader {
 public:
  enum class State { IDLE, LOADING, DONE, FAILED, CANCELLED };

  ProgramLoader() = default;
  ~ProgramLoader();
  ProgramLoader(const ProgramLoader&) = delete;
  ProgramLoader& operator=(const ProgramLoader&) = delete;

  // Starts loading path into a new display text and into parser (which the
  // caller leaves alone until the load has ended). False while one runs.
  bool Start(const std::string& path, GCodeParser* parser);
  void Cancel();
  State Poll() const { return m_state.load(std::memory_order_acquire); }
  bool Busy() const { return Poll() == State::LOADING; }
  // 0..1 while loading.
  double Progress() const { return m_progress.load(std::memory_order_relaxed); }

  // After DONE: the display text (ownership passes to the caller), its line
  // count; after FAILED: the reason. Resets the loader to IDLE.
  std::unique_ptr<TextControl> TakeText();
  int32_t LineCount() const { return m_lineCount; }
  std::string Error() const;
  const std::string& Path() const { return m_path; }
  void Reset();

 private:
  void Run(GCodeParser* parser);
  void Join();

  std::thread m_thread;
  std::atomic<State> m_state{State::IDLE};
  std::atomic<double> m_progress{0};
  std::atomic<bool> m_cancel{false};
  std::string m_path;
  std::unique_ptr<TextControl> m_text;
  int32_t m_lineCount = 0;
  mutable std::mutex m_mutex;
  std::string m_error;
};
