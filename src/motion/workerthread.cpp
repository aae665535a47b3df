#include "motion/workerthread.h"

#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include <sched.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>

#include "base/assertion.h"
#include "base/logging.h"
#include "base/threadsync.h"

namespace {

constexpr int32_t kLogWorker = LOGCAT_TRAJECTORY | 3;
constexpr int32_t kLogWorkerTrace = LOGCAT_TRAJECTORY | 1;

const WorkCodeInfo kWorkCodes[kWorkCodeCount] = {
    {WCMD_NONE, "None", false},
    {WCMD_RUN, "RunProgram", true},
    {WCMD_STOP, "Stop", false},
    {WCMD_CONTINUE, "Continue", false},
    {WCMD_FEED_OVERRIDE, "SetFeedOverride", false},
    {WCMD_SPINDLE_OVERRIDE, "SetSpindleOverride", false},
    {WCMD_TERMINATE, "Terminate", false},
    {WCMD_JOG, "Jog", true},
    {WCMD_MOVE_TO, "MoveTo", true},
    {WCMD_STOP_JOG, "StopJog", false},
    {WCMD_POLL_IO, "PollIo", true},
    {WCMD_SET_CHANNEL, "SetChannel", false},
    {WCMD_HOME, "Home", true},
    {WCMD_SYNCHRONIZE, "Synchronize", false},
    {WCMD_OUTPUT_IN_ORDER, "SetOutputInOrder", false},
    {WCMD_UNLOCK_DOOR, "UnlockDoor", false},
    {WCMD_THC, "SetThc", false},
    {WCMD_HANDWHEEL_JOG, "HandwheelJog", true},
};

// The toolkit's 0..100 thread priority as a nice value: 50 is normal,
// 100 is the most favoured (-20).
int NiceForPriority(int priority) {
  if (priority < 0) priority = 0;
  if (priority > 100) priority = 100;
  return -(2 * priority - 100) / 5;
}

WorkCmdData Code(int32_t code) {
  WorkCmdData d;
  d.code = code;
  return d;
}

}  // namespace

const WorkCodeInfo& GetWorkCodeInfo(int32_t code) {
  if (code < 0 || code >= kWorkCodeCount) return kWorkCodes[0];
  return kWorkCodes[code];
}

bool NeedsIdle(const WorkCmdData& cmd) {
  if (cmd.code == WCMD_HANDWHEEL_JOG && !cmd.flag1) return false;
  return GetWorkCodeInfo(cmd.code).needsIdle;
}

namespace workcmd {

WorkCmdData Run(const std::string* text) {
  WorkCmdData d = Code(WCMD_RUN);
  d.text = text;
  return d;
}

WorkCmdData Stop(bool flag) {
  WorkCmdData d = Code(WCMD_STOP);
  d.flag1 = flag;
  return d;
}

WorkCmdData Continue() { return Code(WCMD_CONTINUE); }

WorkCmdData FeedOverride(double percent) {
  WorkCmdData d = Code(WCMD_FEED_OVERRIDE);
  d.value1 = percent;
  return d;
}

WorkCmdData SpindleOverride(double percent) {
  WorkCmdData d = Code(WCMD_SPINDLE_OVERRIDE);
  d.value1 = percent;
  d.flag1 = true;
  return d;
}

WorkCmdData ChangeSpindleOverride(double percent) {
  WorkCmdData d = Code(WCMD_SPINDLE_OVERRIDE);
  d.value1 = percent;
  d.flag1 = false;
  return d;
}

WorkCmdData ResetSpindleOverride() { return SpindleOverride(100.0); }

WorkCmdData Terminate() { return Code(WCMD_TERMINATE); }

WorkCmdData Jog(int32_t axis, bool positive, double step, double velocity, bool flag) {
  return JogTwoAxes(axis, positive, -1, false, step, velocity, flag);
}

WorkCmdData JogTwoAxes(int32_t axis, bool positive, int32_t axis2, bool positive2, double step,
                       double velocity, bool flag) {
  WorkCmdData d = Code(WCMD_JOG);
  d.arg1 = axis;
  d.flag1 = positive;
  d.arg2 = axis2;
  d.flag2 = positive2;
  d.value1 = step;
  d.value2 = velocity;
  d.flag3 = flag;
  return d;
}

WorkCmdData MoveTo(const Coordinates& target, double value2, double velocity, bool direct) {
  WorkCmdData d = Code(WCMD_MOVE_TO);
  d.target = target;
  d.value2 = value2;
  d.value1 = velocity;
  d.flag1 = direct;
  return d;
}

WorkCmdData StopJog() { return Code(WCMD_STOP_JOG); }
WorkCmdData PollIo() { return Code(WCMD_POLL_IO); }

WorkCmdData SetChannel(int32_t channel, bool on) {
  WorkCmdData d = Code(WCMD_SET_CHANNEL);
  d.arg1 = channel;
  d.flag1 = on;
  d.value1 = 0;
  return d;
}

WorkCmdData SetChannelValue(int32_t channel, double value) {
  WorkCmdData d = Code(WCMD_SET_CHANNEL);
  d.arg1 = channel;
  d.value1 = value;
  d.flag1 = false;
  return d;
}

WorkCmdData Home(int32_t axes) {
  WorkCmdData d = Code(WCMD_HOME);
  d.arg1 = axes;
  return d;
}

WorkCmdData Synchronize() { return Code(WCMD_SYNCHRONIZE); }

WorkCmdData SetOutputInOrder(int32_t output, bool on) {
  WorkCmdData d = Code(WCMD_OUTPUT_IN_ORDER);
  d.arg1 = output;
  d.flag1 = on;
  return d;
}

WorkCmdData UnlockDoor() { return Code(WCMD_UNLOCK_DOOR); }

WorkCmdData SetThc(bool on) {
  WorkCmdData d = Code(WCMD_THC);
  d.flag1 = on;
  return d;
}

WorkCmdData HandwheelJog(bool start, int32_t axis, double step, double velocity, bool flag) {
  WorkCmdData d = Code(WCMD_HANDWHEEL_JOG);
  d.flag1 = start;
  d.arg1 = axis;
  d.value1 = step;
  d.value2 = velocity;
  d.flag2 = flag;
  return d;
}

}  // namespace workcmd

WorkerThread::WorkerThread(std::string name, int priority) : m_name(std::move(name)), m_priority(priority) {}

WorkerThread::~WorkerThread() {
  // Too late for the derived overrides, but the thread must not outlive us.
  if (m_thread.joinable()) {
    QASSERT(!m_thread.joinable(), "WorkerThread destroyed while its thread runs");
    StopThread();
  }
  delete m_mailbox.exchange(nullptr);
}

bool WorkerThread::IsWorkerThread() const {
  return IsRunning() && m_workerId.load(std::memory_order_acquire) == std::this_thread::get_id();
}

bool WorkerThread::StartThread() {
  // A thread that ended on its own (terminate bit of the derived class) is
  // collected here, so the worker can be started again.
  if (m_thread.joinable() && m_finished.load(std::memory_order_acquire)) {
    m_thread.join();
    m_running.store(false, std::memory_order_release);
  }
  if (m_thread.joinable()) return false;
  m_finished.store(false, std::memory_order_release);
  Mailbox* box = GetMailbox();
  if (!box) {
    box = new Mailbox;
    m_mailbox.store(box, std::memory_order_release);
  }
  m_terminate.store(false, std::memory_order_release);
  box->Open();
  // The concurrency hint has no effect on Linux but keeps the request visible.
  const long cpus = sysconf(_SC_NPROCESSORS_ONLN);
  pthread_setconcurrency(cpus > 0 ? static_cast<int>(cpus) : 1);
  m_running.store(true, std::memory_order_release);
  try {
    m_thread = std::thread(&WorkerThread::ThreadMain, this);
  } catch (const std::system_error& e) {
    m_running.store(false, std::memory_order_release);
    box->Close();
    LogMessage(LOG_ALWAYS | 6, "WorkerThread %s create failed: %s", m_name.c_str(), e.what());
    return false;
  }
  LogMessage(kLogWorker, "WorkerThread %s started priority=%d concurrency=%ld", m_name.c_str(), m_priority, cpus);
  return true;
}

void WorkerThread::StopThread() {
  if (!m_thread.joinable()) return;
  if (!QASSERT(m_thread.get_id() != std::this_thread::get_id(), "StopThread called on the worker itself")) return;
  Post(workcmd::Terminate());
  m_thread.join();
  m_running.store(false, std::memory_order_release);
  LogMessage(kLogWorker, "WorkerThread %s ended", m_name.c_str());
}

void WorkerThread::ThreadMain() {
  m_workerId.store(std::this_thread::get_id(), std::memory_order_release);
  const int nice = NiceForPriority(m_priority);
  // The most favoured threads (the machine's stream) ask for the real-time
  // class first. Raising the priority needs privileges; without them the
  // thread runs at normal priority, which is logged, not an error.
  bool realtime = false;
  if (m_priority >= kRealtimeFrom) {
    sched_param sp{};
    sp.sched_priority = std::max(sched_get_priority_min(SCHED_FIFO), (m_priority - kRealtimeFrom) / 2);
    const int rc = pthread_setschedparam(pthread_self(), SCHED_FIFO, &sp);
    realtime = rc == 0;
    if (realtime) LogMessage(kLogWorker, "WorkerThread %s real-time priority %d", m_name.c_str(), sp.sched_priority);
    else LogMessage(kLogWorker, "WorkerThread %s real-time priority not set: %s", m_name.c_str(), strerror(rc));
  }
  if (!realtime && setpriority(PRIO_PROCESS, static_cast<id_t>(ThreadKernelId()), nice) != 0)
    LogMessage(kLogWorker, "WorkerThread %s priority %d not set: %s", m_name.c_str(), m_priority, strerror(errno));
  LogMessage(kLogWorker, "%s self=%04X thread=%d", m_name.c_str(), ThreadSelfValue() & 0xFFFFu, ThreadKernelId());

  // WCMD_TERMINATE always ends the loop, whatever the override says.
  while (!TerminateRequested() && !ShouldTerminate()) {
    try {
      DispatchStep(true);
    } catch (...) {
      // A command must not take the worker down: its caller has been released.
      LogMessage(LOG_ALWAYS | 6, "WorkerThread %s: command ended with an exception", m_name.c_str());
    }
  }

  // Release whoever is still waiting: close first so nothing new arrives.
  Mailbox* box = GetMailbox();
  box->Close();
  int dropped = 0;
  while (Message* msg = box->TryReceive()) {
    msg->Reply();
    ++dropped;
  }
  if (dropped) LogMessage(kLogWorker, "WorkerThread %s: %d commands dropped at exit", m_name.c_str(), dropped);
  m_workerId.store(std::thread::id(), std::memory_order_release);
  m_finished.store(true, std::memory_order_release);
}

bool WorkerThread::Post(const WorkCmdData& cmd) {
  Mailbox* box = GetMailbox();
  if (!box || !IsRunning()) return false;
  if (IsWorkerThread()) {
    // Waiting for ourselves would never end. No message: ReplyNow inside
    // must not release the caller of an outer command.
    StepGuard guard(*this, nullptr);
    Execute(cmd);
    return true;
  }
  WorkCmd msg(cmd);
  return SendAndWait(msg, *box);
}

WorkerThread::StepGuard::StepGuard(WorkerThread& self, Message* msg) : m_self(self) {
  m_self.m_steps.push_back({msg, msg == nullptr});
}

WorkerThread::StepGuard::~StepGuard() {
  Step step = m_self.m_steps.back();
  m_self.m_steps.pop_back();
  FinishStep(step);
}

bool WorkerThread::DispatchStep(bool wait) {
  Mailbox* box = GetMailbox();
  if (!box) return false;
  Message* msg = wait ? box->Receive() : box->TryReceive();
  if (!msg) return false;
  // Replies even when the command throws: the caller must not be left waiting.
  StepGuard guard(*this, msg);
  if (auto* work = dynamic_cast<WorkCmd*>(msg)) {
    // Copy: the record lives on the caller's stack and goes once replied.
    const WorkCmdData cmd = *work;
    Execute(cmd);
  }
  return true;
}

bool WorkerThread::DispatchPending() {
  if (!IsWorkerThread()) return false;
  return DispatchStep(false);
}

void WorkerThread::Execute(const WorkCmdData& cmd) {
  m_taken.fetch_add(1, std::memory_order_relaxed);
  LogMessage(kLogWorkerTrace, "WorkCmd %d %s", cmd.code, GetWorkCodeInfo(cmd.code).name);
  if (cmd.code == WCMD_TERMINATE) m_terminate.store(true, std::memory_order_release);
  if (NeedsIdle(cmd) && IsWorkerBusy()) {
    m_ignored.fetch_add(1, std::memory_order_relaxed);
    LogMessage(kLogWorker, "WorkCmd %s ignored: busy", GetWorkCodeInfo(cmd.code).name);
    return;
  }
  ExecuteCommand(cmd);
}

void WorkerThread::FinishStep(Step& step) {
  if (!step.replied) {
    step.replied = true;
    if (step.msg) step.msg->Reply();
  }
}

void WorkerThread::ReplyNow() {
  if (!m_steps.empty() && IsWorkerThread()) FinishStep(m_steps.back());
}

void WorkerThread::ExecuteCommand(const WorkCmdData&) {}
bool WorkerThread::IsWorkerBusy() const { return false; }
bool WorkerThread::ShouldTerminate() const { return TerminateRequested(); }
