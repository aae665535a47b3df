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
  bool rapid = false;
  bool hasUntil = false;
  bool noKnife = false;
  int32_t tag = 0;
};

struct RecordedArc {
  Coordinates end;
  double centre[3] = {0, 0, 0};
  double feed = 0;
  int32_t plane = 0;
  bool clockwise = false;
  int32_t tag = 0;
};

struct RecordedCmd {
  StateChange change;
  int32_t tag = 0;
};

// A command as the worker took it.
struct RecordedWork {
  WorkCmdData cmd;
  std::string text;        // copy of *cmd.text (the pointer itself dies with the caller)
  bool hadText = false;
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
  void StartProgram(const std::string& name) override { Note("StartProgram " + name); }
  void ClearBreak() override {
    m_flags.fetch_and(~(kBreak | kPaused | kFailed), std::memory_order_relaxed);
    Note("ClearBreak");
  }
  void EndProgram() override { Note("EndProgram"); }
  void AddLine(const Coordinates& end, double feed, bool rapid, const Condition* until, bool noKnife) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_lines.push_back({end, feed, rapid, until != nullptr, noKnife, m_tag});
    m_calls.push_back("AddLine");
    m_position = end;
  }
  void AddArc(const Coordinates& end, const double centre[3], double feed, int32_t plane, bool clockwise) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    RecordedArc arc;
    arc.end = end;
    for (int i = 0; i < 3; ++i) arc.centre[i] = centre[i];
    arc.feed = feed;
    arc.plane = plane;
    arc.clockwise = clockwise;
    arc.tag = m_tag;
    m_arcs.push_back(arc);
    m_calls.push_back("AddArc");
    m_position = end;
  }
  void AddCmd(const StateChange& change) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_cmds.push_back({change, m_tag});
    m_calls.push_back(std::string("AddCmd ") + (change.code ? change.code : '?') + std::to_string(change.num));
  }
  void SetOffsetPosition(const double position[3], bool flag) override {
    Note("SetOffsetPosition " + std::to_string(flag));
    std::lock_guard<std::mutex> lock(m_mutex);
    m_offsetPosition = Coordinates(position[0], position[1], position[2]);
  }
  void WaitForMachine() override {
    Note("WaitForMachine");
    CheckBreak(0);
  }
  int32_t GetBackEndKind() override { return m_kind; }
  void SetMaxRpm(double rpm) override {
    Note("SetMaxRpm");
    m_maxRpm = rpm;
  }
  void SetExecMode(int32_t mode) override {
    Note("SetExecMode " + std::to_string(mode));
    m_execMode = mode;
  }
  int32_t GetExecMode() override { return m_execMode; }
  void GetPosition(Coordinates& position) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    position = m_position;
  }

  // ---- BackEnd
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
  void Jog(int32_t axis, bool positive, double step, double velocity, bool flag) override {
    SetTag(0);
    Post(workcmd::Jog(axis, positive, step, velocity, flag));
  }
  void JogTwoAxes(int32_t axis, bool positive, int32_t axis2, bool positive2, double step, double velocity,
                  bool flag) override {
    SetTag(0);
    Post(workcmd::JogTwoAxes(axis, positive, axis2, positive2, step, velocity, flag));
  }
  void MoveTo(const Coordinates& target, double value2, double velocity, bool direct) override {
    SetTag(0);
    Post(workcmd::MoveTo(target, value2, velocity, direct));
  }
  void ExecuteText(const std::string& text) override { Post(workcmd::Run(&text)); }
  void StopJog() override { Post(workcmd::StopJog()); }
  void Synchronize() override { Post(workcmd::Synchronize()); }
  void Home(int32_t axes) override {
    SetTag(0);
    Post(workcmd::Home(axes));
  }
  void SetChannel(int32_t channel, bool on) override { Post(workcmd::SetChannel(channel, on)); }
  void SetOutputInOrder(int32_t output, bool on) override { Post(workcmd::SetOutputInOrder(output, on)); }
  void SetChannelValue(int32_t channel, double value) override { Post(workcmd::SetChannelValue(channel, value)); }
  void PollIo() override { Post(workcmd::PollIo()); }
  void SetFeedOverride(double percent) override { Post(workcmd::FeedOverride(percent)); }
  void SetSpindleOverride(double percent) override { Post(workcmd::SpindleOverride(percent)); }
  void ChangeSpindleOverride(double percent) override { Post(workcmd::ChangeSpindleOverride(percent)); }
  void ResetSpindleOverride() override { Post(workcmd::ResetSpindleOverride()); }
  void SetThc(bool on) override { Post(workcmd::SetThc(on)); }
  void HandwheelJog(bool start, int32_t axis, double step, double velocity, bool flag) override {
    Post(workcmd::HandwheelJog(start, axis, step, velocity, flag));
  }
  void UnlockDoor() override { Post(workcmd::UnlockDoor()); }
  double GetFeedOverride() override { return m_feedOverride.load(); }
  double GetSpindleOverride() override { return m_spindleOverride.load(); }

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
  size_t WorkCount() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_work.size();
  }
  uint32_t Flags() const { return m_flags.load(std::memory_order_relaxed); }
  bool IsBusy() const { return (Flags() & kBusy) != 0; }
  double MaxRpm() const { return m_maxRpm; }
  Coordinates OffsetPosition() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_offsetPosition;
  }
  int32_t LongActionsEnded() const { return m_longEnded.load(); }

  // Polls `pred` every millisecond for up to `limitMs`; a guard against
  // hanging tests, not a timing check.
  template <class Pred>
  static bool WaitUntil(Pred pred, int limitMs = 20000) {
    for (int i = 0; i < limitMs; ++i) {
      if (pred()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return pred();
  }

 protected:
  bool IsWorkerBusy() const override { return IsBusy(); }

  void ExecuteCommand(const WorkCmdData& cmd) override {
    RecordedWork work;
    work.cmd = cmd;
    work.hadText = cmd.text != nullptr;
    if (cmd.text) work.text = *cmd.text;
    work.whileBusy = IsBusy();
    work.cmd.text = nullptr;  // dies with the caller
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_work.push_back(work);
    }
    switch (cmd.code) {
      case WCMD_RUN:
        LongAction(cmd, work.text, !work.hadText, true);
        break;
      case WCMD_STOP:
      case WCMD_STOP_JOG:
        if (Flags() & (kBusy | kPaused)) {
          m_flags.fetch_or(kBreak, std::memory_order_relaxed);
          m_flags.fetch_and(~kPaused, std::memory_order_relaxed);
        }
        break;
      case WCMD_CONTINUE:
        if (Flags() & kPaused) {
          m_flags.fetch_or(kBusy, std::memory_order_relaxed);
          m_flags.fetch_and(~(kPaused | kBreak), std::memory_order_relaxed);
        }
        break;
      case WCMD_FEED_OVERRIDE:
        m_feedOverride = cmd.value1;
        break;
      case WCMD_SPINDLE_OVERRIDE:
        m_spindleOverride = cmd.value1;
        break;
      case WCMD_TERMINATE:
        m_flags.fetch_or(kTerminate, std::memory_order_relaxed);
        break;
      case WCMD_JOG:
      case WCMD_MOVE_TO:
      case WCMD_HOME:
        LongAction(cmd, work.text, true, false);
        break;
      case WCMD_HANDWHEEL_JOG:
        if (cmd.flag1) LongAction(cmd, work.text, true, false);
        break;
      default:
        break;
    }
  }

 private:
  void Note(const std::string& call) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_calls.push_back(call);
  }

  template <class T>
  std::vector<T> Copy(const std::vector<T>& v) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return v;
  }

  // Until a break arrives (bounded, so a forgotten stop cannot hang a test).
  static void WaitForBreak(RecordingBackEnd& self, const WorkCmdData&, const std::string&) {
    for (int i = 0; i < 60000; ++i) {
      self.CheckBreak(0);
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }

  void LongAction(const WorkCmdData& cmd, const std::string& text, bool replyFirst, bool isRun) {
    // A new action starts without the stop that ended the previous one.
    const uint32_t clearAtStart = isRun ? (kBreak | kPaused | kCompleted | kFailed) : kBreak;
    m_flags.fetch_and(~clearAtStart, std::memory_order_relaxed);
    m_flags.fetch_or(kBusy, std::memory_order_relaxed);
    if (replyFirst) ReplyNow();
    Action action;
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      action = m_action;
    }
    bool failed = false;
    try {
      if (action)
        action(*this, cmd, text);
      else
        WaitForBreak(*this, cmd, text);
    } catch (const Error_t&) {
      failed = true;
    }
    uint32_t clear = kBusy;
    uint32_t set = 0;
    if (isRun) {
      if (failed) set |= kFailed;
      if (!(Flags() & kBreak)) set |= kCompleted;
    }
    m_flags.fetch_and(~clear, std::memory_order_relaxed);
    m_flags.fetch_or(set, std::memory_order_relaxed);
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
  Coordinates m_offsetPosition;
  Action m_action;
  std::atomic<double> m_feedOverride{100.0};
  std::atomic<double> m_spindleOverride{100.0};
  std::atomic<int32_t> m_longEnded{0};
  double m_maxRpm = 0;
  int32_t m_execMode = 0;
};

}  // namespace testsupport
