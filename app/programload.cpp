#include "app/programload.h"

#include "base/logging.h"
#include "base/threadsync.h"
#include "interpreter/gcodeparser.h"
#include "program/textcontrol.h"

ProgramLoader::~ProgramLoader() {
  Cancel();
  Join();
}

bool ProgramLoader::Start(const std::string& path, GCodeParser* parser) {
  if (Busy()) return false;
  Join();
  m_path = path;
  m_text.reset();
  m_lineCount = 0;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_error.clear();
  }
  m_cancel = false;
  m_progress = 0;
  m_state.store(State::LOADING, std::memory_order_release);
  m_thread = std::thread([this, parser] {
    SetBackgroundPriority();
    Run(parser);
  });
  return true;
}

void ProgramLoader::Cancel() { m_cancel = true; }

void ProgramLoader::Join() {
  if (m_thread.joinable()) m_thread.join();
}

void ProgramLoader::Run(GCodeParser* parser) {
  auto fail = [this](const std::string& why) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_error = why;
    m_state.store(State::FAILED, std::memory_order_release);
  };
  auto text = std::make_unique<TextControl>();
  const int32_t first = text->LoadFile(m_path);
  if (first == 0) return fail("Could not open file " + m_path);
  m_progress = 0.5;
  if (m_cancel) {
    m_state.store(State::CANCELLED, std::memory_order_release);
    return;
  }
  int32_t firstLine = 0, lastLine = 0;
  text->GetFileRange(first, &firstLine, &lastLine);
  if (parser && parser->NewMainFile(m_path) == 0) return fail("Could not open file " + m_path);
  m_lineCount = lastLine >= firstLine ? lastLine - firstLine + 1 : 0;
  m_text = std::move(text);
  m_progress = 1.0;
  m_state.store(m_cancel ? State::CANCELLED : State::DONE, std::memory_order_release);
}

std::unique_ptr<TextControl> ProgramLoader::TakeText() {
  Join();
  return std::move(m_text);
}

std::string ProgramLoader::Error() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_error;
}

void ProgramLoader::Reset() {
  Join();
  m_state.store(State::IDLE, std::memory_order_release);
}
