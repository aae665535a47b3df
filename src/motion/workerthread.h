// The worker thread of a back end and its command dispatch.
//
// The operator interface posts a WorkCmd and waits until the worker has
// taken it (not until it has finished): long actions (run, jog, move,
// homing, handwheel jog) reply before they start and, while they run, keep
// serving the mailbox through DispatchPending (what CheckBreak calls), so
// stop and override commands still take effect.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "base/messages.h"

// One row of the command code table.
struct WorkCodeInfo {
  int32_t code;
  const char* name;
  bool needsIdle;  // ignored while the back end is busy (the caller is still released)
};

// The row of `code`; codes outside 1..17 give the row of code 0.
const WorkCodeInfo& GetWorkCodeInfo(int32_t code);

// True when `cmd` is ignored while busy. A handwheel jog command that stops
// the jog (flag1 false) must get through during the jog itself.
bool NeedsIdle(const WorkCmdData& cmd);

// The records that the BackEnd operations post, one per operation, with the
// fields each command carries.
namespace workcmd {
WorkCmdData Run(const std::string* text = nullptr);
WorkCmdData Stop(bool flag);
WorkCmdData Continue();
WorkCmdData FeedOverride(double percent);
WorkCmdData SpindleOverride(double percent);          // flag1 true
WorkCmdData ChangeSpindleOverride(double percent);    // flag1 false
WorkCmdData ResetSpindleOverride();                   // 100 %, flag1 true
WorkCmdData Terminate();
WorkCmdData Jog(int32_t axis, bool positive, double step, double velocity, bool flag);
WorkCmdData JogTwoAxes(int32_t axis, bool positive, int32_t axis2, bool positive2, double step,
                       double velocity, bool flag);
WorkCmdData MoveTo(const Coordinates& target, double value2, double velocity, bool direct);
WorkCmdData StopJog();
WorkCmdData PollIo();
WorkCmdData SetChannel(int32_t channel, bool on);             // value1 0
WorkCmdData SetChannelValue(int32_t channel, double value);   // flag1 false
WorkCmdData Home(int32_t axes);
WorkCmdData Synchronize();
WorkCmdData SetOutputInOrder(int32_t output, bool on);
WorkCmdData UnlockDoor();
WorkCmdData SetThc(bool on);
WorkCmdData HandwheelJog(bool start, int32_t axis, double step, double velocity, bool flag);
}  // namespace workcmd

class WorkerThread {
 public:
  // From this priority on the thread asks for the real-time class.
  static constexpr int kRealtimeFrom = 80;

  // `name` appears in the log; `priority` is on the 0..100 scale of the
  // GUI toolkit (50 normal).
  explicit WorkerThread(std::string name = "Worker", int priority = 50);
  WorkerThread(const WorkerThread&) = delete;
  WorkerThread& operator=(const WorkerThread&) = delete;
  // Derived classes must call StopThread in their own destructor: the
  // thread calls their overrides.
  virtual ~WorkerThread();

  // Opens the mailbox and starts the thread. False when it already runs or
  // cannot be created. A thread that has ended on its own is joined first.
  bool StartThread();
  // Posts WCMD_TERMINATE and joins. Nothing when the thread is not running;
  // must not be called on the worker itself.
  void StopThread();
  bool IsRunning() const { return m_running.load(std::memory_order_acquire); }
  bool IsWorkerThread() const;
  const std::string& Name() const { return m_name; }
  int Priority() const { return m_priority; }

  // Null until the thread has been started once.
  Mailbox* GetMailbox() const { return m_mailbox.load(std::memory_order_acquire); }

  // Posts a command and returns when the worker has taken it. Returns false
  // at once, doing nothing, when there is no worker to take it. On the
  // worker itself the command is executed in place.
  bool Post(const WorkCmdData& cmd);

  // One dispatch step on the worker thread: takes the next message (waiting
  // for one when `wait`), acts on it and makes sure it is replied to. True
  // when a message was handled.
  bool DispatchStep(bool wait);
  // Handles a command that is already waiting, if any. Does nothing off the
  // worker thread, so a foreign caller never steals the worker's mail.
  bool DispatchPending();

  // Set by WCMD_TERMINATE, cleared by StartThread.
  bool TerminateRequested() const { return m_terminate.load(std::memory_order_acquire); }

  // Commands taken and commands ignored as busy since construction.
  uint64_t CommandsTaken() const { return m_taken.load(std::memory_order_relaxed); }
  uint64_t CommandsIgnored() const { return m_ignored.load(std::memory_order_relaxed); }

 protected:
  // Acts on one command; runs on the worker thread. The record is a copy, but
  // its text points into the caller's memory and is valid only until the
  // command has been replied to (ReplyNow or the end of the step).
  virtual void ExecuteCommand(const WorkCmdData& cmd);
  // While this is true, commands that need an idle machine are ignored.
  virtual bool IsWorkerBusy() const;
  // The thread body repeats DispatchStep until this is true or
  // WCMD_TERMINATE has been taken.
  virtual bool ShouldTerminate() const;
  // Releases the caller of the command being executed before a long action
  // starts. Nothing when executed in place or already replied.
  void ReplyNow();

 private:
  struct Step {
    Message* msg;  // null when executed in place
    bool replied;
  };
  // Pushes a step for the time of one command; replies on the way out.
  class StepGuard {
   public:
    StepGuard(WorkerThread& self, Message* msg);
    ~StepGuard();
    StepGuard(const StepGuard&) = delete;
    StepGuard& operator=(const StepGuard&) = delete;

   private:
    WorkerThread& m_self;
  };
  void ThreadMain();
  void Execute(const WorkCmdData& cmd);
  static void FinishStep(Step& step);

  const std::string m_name;
  const int m_priority;
  std::thread m_thread;
  std::atomic<Mailbox*> m_mailbox{nullptr};
  std::atomic<bool> m_running{false};
  std::atomic<bool> m_terminate{false};
  std::atomic<bool> m_finished{false};  // the thread body has returned
  std::atomic<std::thread::id> m_workerId{};
  std::atomic<uint64_t> m_taken{0};
  std::atomic<uint64_t> m_ignored{0};
  std::vector<Step> m_steps;  // steps on the worker, innermost last (nested through DispatchPending)
};
