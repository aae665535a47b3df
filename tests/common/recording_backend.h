// The recording front end: a back end (FrontEnd, BackEnd, WorkerThread, in
// the machine's order) that moves nothing and records what reaches it. Its
// worker behaves like the machine's in the parts that tests of the
// interpreter and of the rendezvous rely on: long actions reply before they
// start and serve the mailbox through CheckBreak; a stop while busy or
// paused becomes a user break at the next CheckBreak.
#pragma once

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "backend.h"
#include "errors.h"
#include "frontend.h"
#include "statechange.h"
#include "workerthread.h"

namespace testsupport {

struct RecordedLine {
  Coordinates end;
  double feed = 0;
  bool hasUntil = false;
  int32_t tag = 0;
};

struct RecordedArc {
  Coordinates end;
  double centre[3] = {0, 0, 0};
  int32_t plane = 0;
  bool clockwise = false;
};

struct RecordedCmd {
  StateChange change;
  int32_t tag = 0;
};

// A command as the worker took it.
struct RecordedWork {
  WorkCmdData cmd;         // text nulled: the pointer dies with the caller
  bool whileBusy = false;  // taken during a long action (through CheckBreak)
};

class RecordingBackEnd : public FrontEnd, public BackEnd, public WorkerThread {
 public:
  // Bits of the flags word, as the machine's state word.
  static constexpr uint32_t kBusy = 1, kBreak = 2, kPaused = 4, kCompleted = 8, kFailed = 16, kTerminate = 32;

  // The body of a long action (run, jog, move-to, homing, handwheel jog),
  // run on the worker after the caller has been released. `text` is the
  // program text of a run with text. Errors it throws end the action; a
  // run then records kFailed.
  using Action = std::function<void(RecordingBackEnd& self, const WorkCmdData& cmd, const std::string& text)>;

  explicit RecordingBackEnd(int32_t kind = BACKEND_MACHINE, int priority = 50)
      : WorkerThread("Recorder", priority), m_kind(kind) {}
  ~RecordingBackEnd() override { StopThread(); }

  // ---- FrontEnd
  void ClearBreak() override { m_flags.fetch_and(~(kBreak | kPaused | kFailed), std::memory_order_relaxed); }
  void AddLine(const Coordinates& end, double feed, bool, const Condition* until, bool) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_lines.push_back({end, feed, until != nullptr, m_tag});
    m_calls.push_back("AddLine");
    m_position = end;
  }
  void AddArc(const Coordinates& end, const double centre[3], double, int32_t plane, bool clockwise) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_arcs.push_back({end, {centre[0], centre[1], centre[2]}, plane, clockwise});
    m_calls.push_back("AddArc");
    m_position = end;
  }
  void AddCmd(const StateChange& change) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_cmds.push_back({change, m_tag});
    m_calls.push_back(std::string("AddCmd ") + (change.code ? change.code : '?') + std::to_string(change.num));
  }
  void WaitForMachine() override { CheckBreak(0); }
  int32_t GetBackEndKind() override { return m_kind; }
  void SetExecMode(int32_t mode) override { m_execMode = mode; }
  int32_t GetExecMode() override { return m_execMode; }
  void GetPosition(Coordinates& position) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    position = m_position;
  }

  // ---- BackEnd: only what the rendezvous tests post
  int32_t CheckBreak(int32_t) override {
    DispatchPending();
    const uint32_t flags = m_flags.load(std::memory_order_relaxed);
    if ((flags & (kBreak | kTerminate)) && m_execMode < 1) throw Error_t(ERR_USER_BREAK);
    return static_cast<int32_t>(flags);
  }
  void StartWorker() override { StartThread(); }
  void RunProgram() override { Post(workcmd::Run()); }
  void Stop(bool flag) override { Post(workcmd::Stop(flag)); }
  void Continue() override { Post(workcmd::Continue()); }
  void ExecuteText(const std::string& text) override { Post(workcmd::Run(&text)); }
  void SetFeedOverride(double percent) override { Post(workcmd::FeedOverride(percent)); }
  double GetFeedOverride() override { return m_feedOverride.load(); }

  // ---- test access
  void SetAction(Action action) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_action = std::move(action);
  }
  std::vector<RecordedLine> Lines() const { return Copy(m_lines); }
  std::vector<RecordedArc> Arcs() const { return Copy(m_arcs); }
  std::vector<RecordedCmd> Cmds() const { return Copy(m_cmds); }
  std::vector<std::string> Calls() const { return Copy(m_calls); }
  std::vector<RecordedWork> Work() const { return Copy(m_work); }
  size_t WorkCount() const { return Work().size(); }
  uint32_t Flags() const { return m_flags.load(std::memory_order_relaxed); }
  bool IsBusy() const { return (Flags() & kBusy) != 0; }
  int32_t LongActionsEnded() const { return m_longEnded.load(); }

  // Polls `pred` every millisecond for up to `limitMs`; a guard against
  // hanging tests, not a timing check.
  template <class Pred>
  static bool WaitUntil(Pred pred, int limitMs = 20000) {
    for (int i = 0; i < limitMs && !pred(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return pred();
  }

 protected:
  bool IsWorkerBusy() const override { return IsBusy(); }

  void ExecuteCommand(const WorkCmdData& cmd) override {
    const std::string text = cmd.text ? *cmd.text : std::string();
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_work.push_back({cmd, IsBusy()});
      m_work.back().cmd.text = nullptr;
    }
    switch (cmd.code) {
      case WCMD_RUN: LongAction(cmd, text, cmd.text == nullptr, true); break;
      case WCMD_JOG:
      case WCMD_MOVE_TO:
      case WCMD_HOME: LongAction(cmd, text, true, false); break;
      case WCMD_HANDWHEEL_JOG: if (cmd.flag1) LongAction(cmd, text, true, false); break;
      case WCMD_STOP:
      case WCMD_STOP_JOG: if (Flags() & (kBusy | kPaused)) Change(kBreak, kPaused); break;
      case WCMD_CONTINUE: if (Flags() & kPaused) Change(kBusy, kPaused | kBreak); break;
      case WCMD_FEED_OVERRIDE: m_feedOverride = cmd.value1; break;
      case WCMD_TERMINATE: Change(kTerminate, 0); break;
      default: break;
    }
  }

 private:
  template <class T>
  std::vector<T> Copy(const std::vector<T>& v) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return v;
  }
  void Change(uint32_t set, uint32_t clear) {
    m_flags.fetch_and(~clear, std::memory_order_relaxed);
    m_flags.fetch_or(set, std::memory_order_relaxed);
  }

  void LongAction(const WorkCmdData& cmd, const std::string& text, bool replyFirst, bool isRun) {
    // A new action starts without the stop that ended the previous one.
    Change(kBusy, isRun ? (kBreak | kPaused | kCompleted | kFailed) : kBreak);
    if (replyFirst) ReplyNow();
    Action action;
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      action = m_action;
    }
    bool failed = false;
    try {
      if (action) {
        action(*this, cmd, text);
      } else {  // until a break arrives (bounded, so a forgotten stop cannot hang a test)
        for (int i = 0; i < 60000; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(1))) CheckBreak(0);
      }
    } catch (const Error_t&) {
      failed = true;
    }
    const uint32_t ended = isRun ? (failed ? kFailed : 0) | (Flags() & kBreak ? 0 : kCompleted) : 0;
    Change(ended, kBusy);
    ++m_longEnded;
  }

  const int32_t m_kind;
  mutable std::mutex m_mutex;
  std::vector<RecordedLine> m_lines;
  std::vector<RecordedArc> m_arcs;
  std::vector<RecordedCmd> m_cmds;
  std::vector<std::string> m_calls;
  std::vector<RecordedWork> m_work;
  Coordinates m_position;
  Action m_action;
  std::atomic<double> m_feedOverride{100.0};
  std::atomic<int32_t> m_longEnded{0};
  int32_t m_execMode = 0;
};

}  // namespace testsupport
