#include "app/programload.h"

#include <cstdio>

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

// ---------------------------------------------------------------------------

AdaptJob::~AdaptJob() { Join(); }

void AdaptJob::Join() {
  if (m_thread.joinable()) m_thread.join();
}

bool AdaptJob::Start(const std::string& path, const AdaptSettings& settings) {
  if (Busy()) return false;
  Join();
  m_path = path;
  m_outcome = Outcome();
  m_text.clear();
  m_adapter = std::make_unique<ProgramAdapter>(settings);
  m_state.store(State::ADAPTING, std::memory_order_release);
  m_thread = std::thread([this] {
    SetBackgroundPriority();
    m_outcome.read = m_adapter->AdaptFile(m_path, m_text, m_outcome.report, m_outcome.error);
    m_state.store(State::ADAPTED, std::memory_order_release);
  });
  return true;
}

bool AdaptJob::WriteCopy() {
  if (Poll() != State::ADAPTED) return false;
  Join();
  const Outcome& o = m_outcome;
  if (!o.read || o.report.Refused() || !o.report.Changed()) return false;
  m_state.store(State::WRITING, std::memory_order_release);
  m_thread = std::thread([this] {
    SetBackgroundPriority();
    const std::string copy = ProgramAdapter::AdaptedCopyName(m_path);
    // "x": never over a file that appeared meanwhile.
    std::FILE* f = std::fopen(copy.c_str(), "wbx");
    bool ok = f != nullptr;
    if (f) {
      ok = std::fwrite(m_text.data(), 1, m_text.size(), f) == m_text.size();
      ok = std::fclose(f) == 0 && ok;
      if (!ok) std::remove(copy.c_str());
    }
    if (ok) {
      m_outcome.copy = copy;
      LogMessage(LOGCAT_USER_ACTIONS | 4, "Adapted copy written: %s", copy.c_str());
    } else {
      m_outcome.error = "Could not write " + copy;
    }
    std::string().swap(m_text);
    m_state.store(State::WRITTEN, std::memory_order_release);
  });
  return true;
}

const AdaptJob::Outcome& AdaptJob::Result() {
  if (!Busy()) Join();
  return m_outcome;
}

void AdaptJob::Reset() {
  Join();
  m_adapter.reset();
  std::string().swap(m_text);
  m_state.store(State::IDLE, std::memory_order_release);
}
