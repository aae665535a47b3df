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

#include "interpreter/programadapter.h"

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

// Adapts a program written for another control's dialect away from the GUI
// thread: first in memory (Start), so the window can tell whether the
// adaptation repairs the error the program failed with; then, when the
// operator agrees, the copy is written beside the original (WriteCopy)
// under a name no file has: the original is never overwritten. A refused
// program, or one with nothing to adapt, leaves no copy.
class AdaptJob {
 public:
  enum class State { IDLE, ADAPTING, ADAPTED, WRITING, WRITTEN };
  struct Outcome {
    bool read = false;   // the program could be read
    std::string error;   // why not, or why the copy could not be written
    AdaptReport report;
    std::string copy;    // the adapted copy's path once written
  };

  AdaptJob() = default;
  ~AdaptJob();
  AdaptJob(const AdaptJob&) = delete;
  AdaptJob& operator=(const AdaptJob&) = delete;

  // The adapter is made on the calling thread (it reads the machine's state
  // and settings). False while a job runs.
  bool Start(const std::string& path, const AdaptSettings& settings);
  // After ADAPTED: writes the copy. False when there is nothing to write.
  bool WriteCopy();
  State Poll() const { return m_state.load(std::memory_order_acquire); }
  bool Busy() const { return Poll() == State::ADAPTING || Poll() == State::WRITING; }
  // In ADAPTED and WRITTEN.
  const Outcome& Result();
  const std::string& Path() const { return m_path; }
  // Back to IDLE (waits for a job still running).
  void Reset();

 private:
  void Join();

  std::thread m_thread;
  std::atomic<State> m_state{State::IDLE};
  std::string m_path;
  std::unique_ptr<ProgramAdapter> m_adapter;
  std::string m_text;  // the adapted program until it is written
  Outcome m_outcome;
};
