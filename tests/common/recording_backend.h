// The recording front end: a back end (FrontEnd, BackEnd, WorkerThread, in
// the machine's order) that moves nothing and records what reaches it. Its
// worker behaves like the machine's in the parts that tests of the
// interpreter and of the rendezvous rely on: long actions reply before they
// start and serve the mailbox through CheckBreak; a stop while busy becomes
// a user break at the next CheckBreak.
#pragma once

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "motion/backend.h"
#include "program/errors.h"
#include "motion/frontend.h"
#include "machine/statechange.h"
#include "motion/workerthread.h"

namespace testsupport {

struct RecordedLine { Coordinates end; double feed = 0; bool hasUntil = false; int32_t tag = 0; };
struct RecordedArc { Coordinates end; double centre[3] = {0, 0, 0}; int32_t plane = 0; bool clockwise = false; };
struct RecordedCmd { StateChange change; };

class RecordingBackEnd : public FrontEnd, public BackEnd, public WorkerThread {
 public:
  // Bits of the flags word, as the machine's state word.
  static constexpr uint32_t kBusy = 1, kBreak = 2, kCompleted = 8, kFailed = 16;

  // The body of a long action (run, jog, move-to, homing, handwheel jog),
  // run on the worker; the caller has been released unless it is a run with
  // text. Errors it throws end the action and mark it failed.
  using Action = std::function<void(RecordingBackEnd& self, const WorkCmdData& cmd)>;

  explicit RecordingBackEnd(int32_t kind = BACKEND_MACHINE) : WorkerThread("Recorder"), m_kind(kind) {}
  ~RecordingBackEnd() override { StopThread(); }

  // ---- FrontEnd
  void AddLine(const Coordinates& end, double feed, bool, const Condition* until, bool) override {
    Record(m_lines, {end, feed, until != nullptr, m_tag}, "AddLine", &end);
  }
  void AddArc(const Coordinates& end, const double centre[3], double, int32_t plane, bool clockwise) override {
    Record(m_arcs, {end, {centre[0], centre[1], centre[2]}, plane, clockwise}, "AddArc", &end);
  }
  void AddCmd(const StateChange& change) override {
    Record(m_cmds, {change}, std::string("AddCmd ") + (change.code ? change.code : '?') + std::to_string(change.num));
  }
  void WaitForMachine() override { CheckBreak(0); }
  int32_t GetBackEndKind() override { return m_kind; }
  void SetExecMode(int32_t mode) override { m_execMode = mode; }
  int32_t GetExecMode() override { return m_execMode; }
  void GetPosition(Coordinates& position) override { position = Copy(m_position); }

  // ---- BackEnd
  int32_t CheckBreak(int32_t) override {
    DispatchPending();
    const uint32_t flags = Flags();
    if (((flags & kBreak) || TerminateRequested()) && m_execMode < 1) throw Error_t(ERR_USER_BREAK);
    return static_cast<int32_t>(flags);
  }
  double GetFeedOverride() override { return m_feedOverride.load(); }

  // ---- test access
  void SetAction(Action action) { std::lock_guard<std::mutex> lock(m_mutex); m_action = std::move(action); }
  std::vector<RecordedLine> Lines() const { return Copy(m_lines); }
  std::vector<RecordedArc> Arcs() const { return Copy(m_arcs); }
  std::vector<RecordedCmd> Cmds() const { return Copy(m_cmds); }
  std::vector<std::string> Calls() const { return Copy(m_calls); }
  // The commands the worker took, text nulled (the pointer dies with the caller).
  std::vector<WorkCmdData> Work() const { return Copy(m_work); }
  uint32_t Flags() const { return m_flags.load(); }
  bool IsBusy() const { return (Flags() & kBusy) != 0; }

  // Polls `pred` every millisecond for up to 20 s; a guard against hanging
  // tests, not a timing check.
  template <class Pred>
  static bool WaitUntil(Pred pred) {
    for (int i = 0; i < 20000 && !pred(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return pred();
  }

 protected:
  bool IsWorkerBusy() const override { return IsBusy(); }

  void ExecuteCommand(const WorkCmdData& cmd) override {
    WorkCmdData taken = cmd;
    taken.text = nullptr;
    Record(m_work, taken, "");
    const int32_t c = cmd.code;
    if (c == WCMD_RUN || c == WCMD_JOG || c == WCMD_MOVE_TO || c == WCMD_HOME || (c == WCMD_HANDWHEEL_JOG && cmd.flag1))
      LongAction(cmd);
    else if ((c == WCMD_STOP || c == WCMD_STOP_JOG || c == WCMD_HANDWHEEL_JOG) && IsBusy())
      m_flags.fetch_or(kBreak);
    else if (c == WCMD_FEED_OVERRIDE)
      m_feedOverride = cmd.value1;
  }

 private:
  template <class T>
  T Copy(const T& value) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return value;
  }
  template <class T>
  void Record(std::vector<T>& to, const T& item, const std::string& call, const Coordinates* end = nullptr) {
    std::lock_guard<std::mutex> lock(m_mutex);
    to.push_back(item);
    if (!call.empty()) m_calls.push_back(call);
    if (end) m_position = *end;
  }

  // A run with text replies when it has ended; every other action at once.
  void LongAction(const WorkCmdData& cmd) {
    // A new action starts without the stop or the outcome of the previous one.
    m_flags.fetch_and(~(kBreak | kCompleted | kFailed));
    m_flags.fetch_or(kBusy);
    if (!cmd.text) ReplyNow();
    const Action action = Copy(m_action);
    bool failed = false;
    try {
      if (action) action(*this, cmd);
      else  // until a break arrives (bounded, so a forgotten stop cannot hang a test)
        for (int i = 0; i < 60000; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(1))) CheckBreak(0);
    } catch (const Error_t&) {
      failed = true;
    }
    // The outcome shows before the busy bit goes.
    m_flags.fetch_or((failed ? kFailed : 0) | (Flags() & kBreak ? 0 : kCompleted));
    m_flags.fetch_and(~kBusy);
  }

  const int32_t m_kind;
  mutable std::mutex m_mutex;
  std::vector<RecordedLine> m_lines;
  std::vector<RecordedArc> m_arcs;
  std::vector<RecordedCmd> m_cmds;
  std::vector<std::string> m_calls;
  std::vector<WorkCmdData> m_work;
  Coordinates m_position;
  Action m_action;
  std::atomic<double> m_feedOverride{100.0};
  int32_t m_execMode = 0;
};

}  // namespace testsupport
