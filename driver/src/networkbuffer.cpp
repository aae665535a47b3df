#include "driver/src/networkbuffer.h"

#include <algorithm>
#include <cstring>

#include "base/driverlog.h"
#include "base/timebase.h"
#include "driver/src/driverassert.h"

using namespace linkframe;

namespace {

unsigned Addr(const void* p) { return static_cast<unsigned>(reinterpret_cast<uintptr_t>(p)); }

// "Send: " / "Recv: " trace line; `rep` above 0 adds the repeat count.
void TraceFrame(const char* prefix, const uint8_t* f, int rep) {
  if (!DriverLogEnabled(DLOG_INFO)) return;
  char src[18], dst[18];
  MacText(f + kSrcOffset, src);
  MacText(f + kDestOffset, dst);
  const int len = static_cast<int16_t>(Get16(f + kLenOffset));
  if (rep > 0) {
    DriverLog(DLOG_INFO, "%s %s->%s len=%d sn=%04X an=%02X ab=%02X rep=%d", prefix, src, dst, len,
              Get16(f + kSnOffset), f[kAnOffset], f[kAbOffset], rep);
  } else {
    DriverLog(DLOG_INFO, "%s %s->%s len=%d sn=%04X an=%02X ab=%02X", prefix, src, dst, len, Get16(f + kSnOffset),
              f[kAnOffset], f[kAbOffset]);
  }
}

// Wrap-around order of 16-bit sequence numbers: a after b.
bool After(uint16_t a, uint16_t b) { return static_cast<int16_t>(a - b) > 0; }

}  // namespace

const char* ModuleStateName(int32_t state) {
  switch (state) {
    case STAT_DOWN: return "STAT_DOWN";
    case STAT_BROKEN: return "STAT_BROKEN";
    case STAT_FREE: return "STAT_FREE";
    case STAT_CONNECTED: return "STAT_CONNECTED";
    case STAT_UPDATE: return "STAT_UPDATE";
    case STAT_RESCOM: return "STAT_RESCOM";
    default: return "STAT_UNKNOWN";
  }
}

// ---------------------------------------------------------------- connection

NetworkBuffer::NetworkBuffer() {
  for (int i = 0; i < kBuffers; ++i) {
    buffers_[i].owner = this;
    buffers_[i].nextFree = i + 1 < kBuffers ? &buffers_[i + 1] : nullptr;
    DriverLog(DLOG_TRACE, "NetworkBuffer constructor buf[%d]=%08X", i, Addr(&buffers_[i]));
  }
  freeList_ = &buffers_[0];
  DriverLog(DLOG_TRACE, "NetworkBuffer constructor free=%08X", Addr(freeList_));
  Reset();
}

NetworkBuffer::~NetworkBuffer() {
  Detach();
  DriverLog(DLOG_DETAIL, "Network Buffer destructor ok");
}

void NetworkBuffer::Attach(JobList* jobs, AlarmClock* clock) {
  CriticalSectionLocker lock(signal_);
  jobs_ = jobs;
  clock_ = clock;
  bundleTimer_ = new TimeoutEvent<NetworkBuffer>(clock, this, &NetworkBuffer::EventBundle);
  idleTimer_ = new TimeoutEvent<NetworkBuffer>(clock, this, &NetworkBuffer::EventIdle);
  noAckTimer_ = new TimeoutEvent<NetworkBuffer>(clock, this, &NetworkBuffer::EventNoAck);
}

void NetworkBuffer::Detach() {
  TimeoutEvent<NetworkBuffer>* timers[3];
  JobList* jobs;
  {
    CriticalSectionLocker lock(signal_);
    if (!jobs_ && !bundleTimer_) return;
    DriverLog(DLOG_DETAIL, "Network Buffer destructor, delete Timers...");
    // Handlers see no timers and no queue from here on and do nothing.
    timers[0] = bundleTimer_;
    timers[1] = idleTimer_;
    timers[2] = noAckTimer_;
    bundleTimer_ = idleTimer_ = noAckTimer_ = nullptr;
    jobs = jobs_;
    jobs_ = nullptr;
    state_.store(STAT_DOWN, std::memory_order_release);
    WakeWaiters();
  }
  // Outside the lock: a running handler may be waiting for it.
  for (auto* t : timers) delete t;
  if (jobs) jobs->Forget(this);
  CriticalSectionLocker lock(signal_);
  ResetLocked();
}

bool NetworkBuffer::AcceptsCommands() const {
  const int32_t s = State();
  return jobs_ && (s == STAT_CONNECTED || s == STAT_UPDATE || s == STAT_RESCOM);
}

void NetworkBuffer::WakeWaiters() {
  if (signal_.Waiters() > 0) signal_.Signal();
}

// --------------------------------------------------------------- bundling

SendBuffer* NetworkBuffer::GetFreeBuffer() {
  DRIVER_ASSERT(freeList_ != nullptr, "No free Send buffer left!");
  SendBuffer* b = freeList_;
  DRIVER_ASSERT(!b->inUse, "GetFreeBuffer() already used!");
  freeList_ = b->nextFree;
  b->nextFree = nullptr;
  bundleSize_ = 0;
  bundleCount_ = 0;
  b->usedCommands = 0;
  b->repeatCount = 0;
  b->inUse = true;
  DriverLog(DLOG_TRACE, "GetFreeBuffer used=%d res=%08X", used_, Addr(b));
  return b;
}

bool NetworkBuffer::EnsureRoom(int size) {
  for (;;) {
    if (!AcceptsCommands()) return false;
    // A command that would overrun the frame starts a bundle of its own.
    if (bundle_ && bundleSize_ + size > static_cast<int>(kMaxPayload)) FlushBuffer();
    if (bundle_) return true;
    if (used_ <= kWindow - 1) {
      bundle_ = GetFreeBuffer();
      return true;
    }
    DriverLog(DLOG_TRACE, "GetFreeBuffer wait");
    DriverStatAdd(STAT_BUFFER_WAITS);
    waitingForBuffer_ = true;
    // Bounded: with several waiters one wake-up may reach the other one.
    signal_.WaitFor(20);
    waitingForBuffer_ = false;
    DriverLog(DLOG_TRACE, "GetFreeBuffer wakeup used=%d count=%d", used_, bundleCount_);
    // Pass the wake-up on: a second waiter may be able to go on as well.
    WakeWaiters();
  }
}

void NetworkBuffer::AppendLocked(const uint8_t* command, int size) {
  std::memcpy(bundle_->frame + kHeaderSize + bundleSize_, command, static_cast<size_t>(size));
  bundleSize_ += size;
  DriverLog(DLOG_TRACE, "SendBundled size=%d", bundleSize_);
  if (command[0] == CMD_POSITION) ++bundle_->usedCommands;
  ++bundleCount_;
  DRIVER_ASSERT(bundle_->guard == SendBuffer::kGuard, "SendBundled() guard overwritten!");
  if (bundleCount_ < kBundleMax) {
    if (bundleTimer_) bundleTimer_->Start(kBundleDelayUs);
  } else {
    FlushBuffer();
  }
}

bool NetworkBuffer::SendBundled(const uint8_t* command, int size) {
  if (size < 2 || size > static_cast<int>(kMaxPayload)) return false;
  CriticalSectionLocker lock(signal_);
  if (!EnsureRoom(size)) return false;
  AppendLocked(command, size);
  return true;
}

bool NetworkBuffer::SendSingle(const uint8_t* command, int size) {
  if (size < 2 || size > static_cast<int>(kMaxPayload)) return false;
  CriticalSectionLocker lock(signal_);
  if (!EnsureRoom(size)) return false;
  AppendLocked(command, size);
  FlushBuffer();
  return true;
}

bool NetworkBuffer::SendReferenced(uint8_t* command, int size, SendMode mode, uint16_t* ref, int* levelBefore) {
  if (size < 4 || size > static_cast<int>(kMaxPayload)) return false;
  CriticalSectionLocker lock(signal_);
  // Room first: numbering and bundling must not be split by a wait, so that
  // reference numbers leave in the order they were given.
  if (!EnsureRoom(size)) return false;
  const uint16_t r = ++refCounter_;
  Put16(command + 2, r);
  if (levelBefore) {
    int status;
    GetStatus(levelBefore, &status);
  }
  AppendLocked(command, size);
  if (mode == SendMode::Single) FlushBuffer();
  if (ref) *ref = r;
  return true;
}

SendBuffer* NetworkBuffer::TakeBundle(uint16_t* payloadLength) {
  SendBuffer* b = bundle_;
  if (payloadLength) *payloadLength = static_cast<uint16_t>(bundleSize_);
  bundle_ = nullptr;
  bundleSize_ = 0;
  bundleCount_ = 0;
  return b;
}

void NetworkBuffer::EventBundle() {
  DriverLog(DLOG_TRACE, "EventBundle");
  CriticalSectionLocker lock(signal_);
  if (!bundle_ || !jobs_) return;
  DriverStatAdd(STAT_BUNDLES);
  uint16_t size = 0;
  SendBuffer* b = TakeBundle(&size);
  SendNewBuffer(b, size);
}

void NetworkBuffer::FlushBuffer() {
  DriverLog(DLOG_TRACE, "FlushBuffer()");
  CriticalSectionLocker lock(signal_);
  if (bundle_ && bundleTimer_) bundleTimer_->Cancel();
  uint16_t size = 0;
  if (SendBuffer* b = TakeBundle(&size)) SendNewBuffer(b, size);
}

bool NetworkBuffer::FlushAndWait() {
  CriticalSectionLocker lock(signal_);
  FlushBuffer();
  while (used_ > 0) {
    const int32_t s = State();
    if (!jobs_ || (s != STAT_CONNECTED && s != STAT_UPDATE)) return false;
    signal_.WaitFor(20);
    WakeWaiters();
  }
  return true;
}

void NetworkBuffer::SendNewBuffer(SendBuffer* buffer, uint16_t payloadLength) {
  const int32_t s = State();
  if ((s == STAT_CONNECTED || s == STAT_UPDATE) && idleTimer_) idleTimer_->Start(kIdleUs);
  noAckTimeout_ = kNoAckFirstUs;
  if (noAckTimer_) noAckTimer_->Start(noAckTimeout_);
  ++sendSn_;
  DriverLog(DLOG_DETAIL, "SendNewBuffer %4X", sendSn_);
  const int slot = sendSn_ % kWindow;
  DRIVER_ASSERT(slots_[slot] == nullptr, "SendNewBuffer: buffer already used!");
  DRIVER_ASSERT((rackOred_ & 1) != 0, "SendNewBuffer: rack_ored overflow!");
  slots_[slot] = buffer;
  lastSentSn_ = sendSn_;
  rackOred_ = static_cast<uint8_t>(rackOred_ >> 1);
  Put16(buffer->frame + kLenOffset, payloadLength);
  Put16(buffer->frame + kSnOffset, sendSn_);
  ++used_;
  usedCmd_ += buffer->usedCommands;
  DriverLog(DLOG_TRACE, "UsedCmd + %d = %d", buffer->usedCommands, usedCmd_);
  if (jobs_) jobs_->AddNewJob(buffer, sendSn_);
}

// ------------------------------------------------------------ handing out

void NetworkBuffer::SendPacket(uint16_t sn) {
  uint8_t copy[kMaxFrame];
  size_t size = 0;
  int rep = 0;
  {
    CriticalSectionLocker lock(signal_);
    DriverLog(DLOG_TRACE, "SendPacket %d", sn);
    SendBuffer* b = slots_[sn % kWindow];
    if (!jobs_ || !b || !b->inUse || Get16(b->frame + kSnOffset) != sn) {
      DriverLog(DLOG_ERROR, "SendPacket buffer obsolete %d", sn);
      return;
    }
    uint8_t* f = b->frame;
    std::memcpy(f + kDestOffset, moduleAddress_, 6);
    std::memcpy(f + kSrcOffset, ownAddress_, 6);
    f[kTypeOffset] = kType0;
    f[kTypeOffset + 1] = kType1;
    f[kAnOffset] = anOut_;
    f[kAbOffset] = abOut_;
    const int len = static_cast<int16_t>(Get16(f + kLenOffset));
    size = static_cast<size_t>(std::clamp<int>(static_cast<int>(kHeaderSize) + len, 0, static_cast<int>(kMaxFrame)));
    std::memcpy(copy, f, size);
    rep = b->repeatCount++;
  }
  TransmitFrame(copy, size);
  TraceFrame("Send: ", copy, rep);
  DriverStatAdd(rep > 0 ? STAT_FRAMES_REPEATED : STAT_FRAMES_SENT);
  if (rep + 1 > kMaxHandouts) {
    CriticalSectionLocker lock(signal_);
    LoseConnection("SendPacket repeated same packet too often");
  }
}

bool NetworkBuffer::RepeatSend(uint16_t sn) {
  SendBuffer* b = slots_[sn % kWindow];
  if (!b || !jobs_) return false;
  if (DriverLogEnabled(DLOG_INFO)) {
    char dst[18];
    DriverLog(DLOG_INFO, "RepeatSend sn=%04X dest=%s", sn, MacText(moduleAddress_, dst));
  }
  jobs_->AddNewJob(b, sn);
  return true;
}

// --------------------------------------------------------------- receiving

void NetworkBuffer::HandleRecv(const uint8_t* f, size_t length) {
  if (length < kHeaderSize + 1 || f[kTypeOffset] != kType0 || f[kTypeOffset + 1] != kType1) return;
  const int llpLen = static_cast<int16_t>(Get16(f + kLenOffset));
  {
    const int32_t s = State();
    if (llpLen < 2 || (s != STAT_CONNECTED && s != STAT_UPDATE && s != STAT_RESCOM)) return;
  }
  CriticalSectionLocker lock(signal_);
  if (!jobs_) return;
  TraceFrame("Recv: ", f, 0);
  const uint8_t an = f[kAnOffset];
  const uint8_t ab = f[kAbOffset];
  const int offset = static_cast<int8_t>(static_cast<uint8_t>(lastSentSn_) - an);
  if (offset < 0 || offset > 7) {
    DriverLog(DLOG_NOTICE, "Ignoring packet with offset=%d", offset);
    return;
  }
  DriverStatAdd(STAT_FRAMES_ACCEPTED);
  rackOred_ = static_cast<uint8_t>(rackOred_ | (ab >> offset));
  while (!After(oldestSn_, lastSentSn_)) {
    const int bit = 7 - static_cast<uint16_t>(lastSentSn_ - oldestSn_);
    if (bit < 0 || !(rackOred_ & (1u << bit))) break;
    DropUsedBuffer(oldestSn_);
    ++oldestSn_;
  }
  if (ab < 0xFF && !After(oldestSn_, lastSentSn_)) RepeatSend(oldestSn_);
  nack_ = 0;
  if (rackOred_ < 0xFF) {
    noAckTimeout_ = kNoAckFirstUs;
    if (noAckTimer_) noAckTimer_->Start(noAckTimeout_);
  } else if (noAckTimer_) {
    noAckTimer_->Cancel();
  }
  // The module's own numbering: acknowledge the newest answer seen.
  const uint16_t sn = Get16(f + kSnOffset);
  const int d = static_cast<int8_t>(static_cast<uint8_t>(sn) - anOut_);
  if (d > 0) {
    anOut_ = static_cast<uint8_t>(sn);
    if (d > 8) {
      LoseConnection("HandleSendAck: 8 packets lost!");
      return;
    }
  }
  HandleRecvData(f, length, static_cast<uint16_t>(llpLen));
  lastReceive_ = GetTimeMicros();
}

void NetworkBuffer::HandleRecvData(const uint8_t* f, size_t length, uint16_t llpLen) {
  const int hlpLen = f[kAnswerLenOffset];
  // What the frame really holds: a short capture never reads past its end.
  const size_t have = std::min<size_t>(length, kHeaderSize + llpLen);
  const int type = have > kAnswerTypeOffset ? f[kAnswerTypeOffset] : -1;
  if (llpLen <= 9 || hlpLen <= 7 || have < kValuesOffset) {
    if (State() == STAT_UPDATE && type == kAnswerUpdate && have >= kValuesOffset) {
      DriverLog(DLOG_ERROR, "UPDATE bufGauge=%d refNum=%d", Get16(f + kGaugeOffset), Get16(f + kRefNumOffset));
    } else {
      DriverLog(DLOG_ERROR, "HandleRecvData Size Error ! llpLen=%d hlpLen=%d", llpLen, hlpLen);
      return;
    }
  }
  const uint16_t sn = Get16(f + kSnOffset);
  if (static_cast<int16_t>(sn - lastRecvSn_) <= 0) {
    DriverLog(DLOG_ERROR, "HandleRecvData SNUM Error !!!");
    DriverStatAdd(STAT_FRAMES_DUPLICATE);
    return;
  }
  if (type == kAnswerRaw) {
    const size_t avail = have > kAnswerDataOffset ? have - kAnswerDataOffset : 0;
    if (hlpLen >= 1 && static_cast<size_t>(hlpLen) <= kMaxRawData) {
      rawLength_ = static_cast<uint16_t>(std::min<size_t>(static_cast<size_t>(hlpLen), avail));
      std::memcpy(rawData_, f + kAnswerDataOffset, rawLength_);
    }
  } else {
    bufGauge_ = Get16(f + kGaugeOffset);
    DriverLog(DLOG_TRACE, "bufGauge=%d usedCmd=%d bundleCnt=%d", bufGauge_, usedCmd_, bundleCount_);
    status_ = f[kStatusOffset];
    inputs_.store(static_cast<uint32_t>(f[kInputsOffset]) | (static_cast<uint32_t>(f[kInputsOffset + 1]) << 8) |
                      (static_cast<uint32_t>(f[kInputsOffset + 2]) << 16),
                  std::memory_order_release);
    int n = (hlpLen - static_cast<int>(kAnswerFixedSize)) / 4;
    n = std::min<int>({n, kMaxValues, static_cast<int>((have - kValuesOffset) / 4)});
    if (n < 1) {
      refNum_ = Get16(f + kRefNumOffset);
    } else if (type == kAnswerParams) {
      for (int i = 0; i < n; ++i) parameters_[i] = Get32(f + kValuesOffset + 4 * i);
      DriverLog(DLOG_INFO, "HandleRecvData GetPar=%d", n);
    } else {
      refNum_ = Get16(f + kRefNumOffset);
      for (int i = 0; i < n; ++i) positions_[i] = static_cast<int32_t>(Get32(f + kValuesOffset + 4 * i));
      DriverLog(DLOG_DETAIL, "HandleRecvData X=%d Y=%d Z=%d A=%d", positions_[0], positions_[1], positions_[2],
                positions_[3]);
    }
  }
  lastRecvSn_ = sn;
}

void NetworkBuffer::DropUsedBuffer(uint16_t sn) {
  SendBuffer* b = slots_[sn % kWindow];
  DriverLog(DLOG_TRACE, "DropUsedBuffer used=%d buf=%08X i=%d", used_, Addr(b), sn % kWindow);
  DRIVER_ASSERT(b != nullptr, "DropUsedBuffer() null pointer!");
  DRIVER_ASSERT(b->inUse, "DropUsedBuffer() unused buffer!");
  slots_[sn % kWindow] = nullptr;
  --used_;
  usedCmd_ -= b->usedCommands;
  DriverLog(DLOG_TRACE, "UsedCmd - %d = %d", b->usedCommands, usedCmd_);
  b->inUse = false;
  b->nextFree = freeList_;
  freeList_ = b;
  WakeWaiters();
}

// ------------------------------------------------------------------ timers

void NetworkBuffer::EventNoAck() {
  DriverLog(DLOG_TRACE, "EventNoAck...");
  CriticalSectionLocker lock(signal_);
  const int32_t s = State();
  if (!jobs_ || (s != STAT_CONNECTED && s != STAT_UPDATE)) return;
  ++nack_;
  DriverStatAdd(STAT_NOACK_TIMEOUTS);
  if (nack_ <= kNoAckLimit) {
    noAckTimeout_ = std::min(noAckTimeout_ * 2, kNoAckMaxUs);
    DriverLog(DLOG_INFO, "EventNoAck... repeat+retrigger nack=%d adr=%X", nack_, KeyFromMac(moduleAddress_));
    if (RepeatSend(lastSentSn_) && noAckTimer_) noAckTimer_->Start(noAckTimeout_);
  } else {
    DriverLog(DLOG_ERROR, "EventNoAck... connection lost");
    SetModStat(STAT_BROKEN);
  }
}

void NetworkBuffer::EventIdle() {
  CriticalSectionLocker lock(signal_);
  const int32_t s = State();
  if (jobs_ && used_ == 0 && !bundle_ && (s == STAT_CONNECTED || s == STAT_UPDATE)) {
    DriverLog(DLOG_DETAIL, "EventIdle... send NOP");
    DriverStatAdd(STAT_IDLE_PINGS);
    const uint8_t nop[2] = {CMD_NOP, 0};
    // Nothing in flight: taking a buffer cannot wait here.
    if (EnsureRoom(2)) {
      AppendLocked(nop, 2);
      FlushBuffer();
    }
  } else {
    DriverLog(DLOG_DETAIL, "EventIdle... no action");
  }
}

// ------------------------------------------------------------------- state

void NetworkBuffer::LoseConnection(const char* why) {
  // The peer or the wire broke the stream, not our own bookkeeping: give the
  // connection up instead of ending a link thread.
  DriverLog(DLOG_ERROR, "%s", why);
  DriverStatAdd(STAT_ASSERTS);
  SetModStat(STAT_BROKEN);
}

void NetworkBuffer::SetModStat(int32_t state) {
  CriticalSectionLocker lock(signal_);
  DriverLog(DLOG_DETAIL, "SetModStat %s", ModuleStateName(state));
  state_.store(state, std::memory_order_release);
  switch (state) {
    case STAT_DOWN:
    case STAT_BROKEN:
    case STAT_FREE:
      for (auto* t : {bundleTimer_, idleTimer_, noAckTimer_})
        if (t) t->Cancel();
      if (state == STAT_BROKEN) {
        DriverStatAdd(STAT_CONNECTIONS_LOST);
        ResetLocked();
      }
      break;
    case STAT_CONNECTED:
      if (idleTimer_) idleTimer_->Start(kIdleUs);
      break;
    case STAT_RESCOM:
      ResetLocked();
      break;
    default:
      break;
  }
  WakeWaiters();
}

void NetworkBuffer::Reset() {
  CriticalSectionLocker lock(signal_);
  ResetLocked();
}

void NetworkBuffer::ResetLocked() {
  lastRecvSn_ = 0;
  lastSentSn_ = 0;
  oldestSn_ = 1;
  rackOred_ = 0xFF;
  sendSn_ = 0;
  anOut_ = 0;
  abOut_ = 0xFF;
  if (jobs_) jobs_->RemoveJobs(this);
  auto release = [this](SendBuffer* b) {
    b->inUse = false;
    b->nextFree = freeList_;
    freeList_ = b;
  };
  for (auto& slot : slots_) {
    if (slot) release(slot);
    slot = nullptr;
  }
  if (bundle_) release(bundle_);
  if (bundleTimer_) bundleTimer_->Cancel();
  bundle_ = nullptr;
  nack_ = usedCmd_ = used_ = bundleSize_ = bundleCount_ = 0;
  bufGauge_ = 0;
  status_ = 0;
  inputs_.store(0, std::memory_order_release);
  noAckTimeout_ = kNoAckFirstUs;
  WakeWaiters();
}

bool NetworkBuffer::ConnectionIsBad() {
  CriticalSectionLocker lock(signal_);
  if (nack_ > 4) DriverLog(DLOG_ERROR, "ConnectionIsBad nack=%d", nack_);
  return nack_ > 6;
}

// ------------------------------------------------------------------- reads

void NetworkBuffer::GetStatus(int* level, int* status) {
  CriticalSectionLocker lock(signal_);
  const int inBundle = bundle_ ? bundle_->usedCommands : 0;
  if (level) *level = bufGauge_ + usedCmd_ + inBundle;
  if (status) *status = status_;
  DriverLog(DLOG_TRACE, "GetStatus() bufGauge=%d usedCmd=%d bufCmdCnt=%d", bufGauge_, usedCmd_, inBundle);
}

void NetworkBuffer::ReadPositions(uint16_t* refNum, int32_t* positions, int n) {
  CriticalSectionLocker lock(signal_);
  if (refNum) *refNum = refNum_;
  if (positions)
    for (int i = 0; i < std::min(n, kMaxValues); ++i) positions[i] = positions_[i];
}

void NetworkBuffer::ReadParameters(uint32_t* values, int n) {
  CriticalSectionLocker lock(signal_);
  for (int i = 0; i < std::min(n, kMaxValues); ++i) values[i] = parameters_[i];
}

int NetworkBuffer::TakeRawData(uint8_t* out, int size) {
  CriticalSectionLocker lock(signal_);
  const int n = std::min<int>(size, rawLength_);
  if (n > 0) std::memcpy(out, rawData_, static_cast<size_t>(n));
  rawLength_ = 0;
  return n;
}

uint64_t NetworkBuffer::LastReceiveMicros() {
  CriticalSectionLocker lock(signal_);
  return lastReceive_;
}

int32_t NetworkBuffer::FramesInFlight() {
  CriticalSectionLocker lock(signal_);
  return used_;
}

// --------------------------------------------------------------- ENDCOM

void NetworkBuffer::SendEndcom() {
  DriverLog(DLOG_DETAIL, "Send ENDCOM");
  if (ConnectionIsBad()) return;
  SendBuffer* b = nullptr;
  JobList* jobs = nullptr;
  {
    CriticalSectionLocker lock(signal_);
    jobs = jobs_;
    FlushBuffer();
    if (!EnsureRoom(0)) return;
    b = TakeBundle(nullptr);
    SendNewBuffer(b, kLenEndcom);
  }
  for (int i = 0; jobs && jobs->IsQueued(b) && i < 100; ++i) SleepMicros(50000);
}

// ---------------------------------------------------------------- job list

JobList::JobList() = default;

JobList::~JobList() {
  DriverLog(DLOG_DETAIL, "cancel SendThread...");
  {
    CriticalSectionLocker lock(signal_);
    cancel_ = true;
    signal_.Signal();
  }
  DriverLog(DLOG_DETAIL, "join SendThread...");
  if (started_) pthread_join(thread_, nullptr);
  CriticalSectionLocker lock(signal_);
  while (LinkedNode* n = RemoveHead()) static_cast<SendBuffer*>(n)->inJobList = false;
  DriverLog(DLOG_DETAIL, "JobList destructor ok");
}

bool JobList::Start() {
  started_ = pthread_create(&thread_, nullptr, &JobList::ThreadEntry, this) == 0;
  if (started_) DriverLog(DLOG_DETAIL, "SendThread started");
  return started_;
}

void* JobList::ThreadEntry(void* self) {
  static_cast<JobList*>(self)->Run();
  return nullptr;
}

void JobList::Run() {
  LogThreadStart("SendThread");
  for (;;) {
    SendBuffer* job = nullptr;
    uint16_t sn = 0;
    {
      CriticalSectionLocker lock(signal_);
      current_ = nullptr;
      currentJob_ = nullptr;
      while (IsEmpty() && !cancel_) signal_.Wait();
      if (IsEmpty()) return;  // cancelled and nothing left
      job = static_cast<SendBuffer*>(RemoveHead());
      job->inJobList = false;
      sn = job->jobSn;
      current_ = job->owner;
      currentJob_ = job;
    }
    DriverStatAdd(STAT_SEND_PROGRESS);
    // Outside the job lock: the connection takes its own.
    job->owner->SendPacket(sn);
  }
}

void JobList::AddNewJob(SendBuffer* buffer, uint16_t sn) {
  CriticalSectionLocker lock(signal_);
  buffer->jobSn = sn;
  if (!buffer->inJobList) {
    DriverLog(DLOG_TRACE, "AddNewJob AddTail buf=%08X", Addr(buffer));
    buffer->inJobList = true;
    AddTail(buffer);
  } else {
    DriverLog(DLOG_TRACE, "AddNewJob already added buf=%08X", Addr(buffer));
  }
  signal_.Signal();
}

bool JobList::IsQueued(const SendBuffer* buffer) {
  CriticalSectionLocker lock(signal_);
  // A frame taken from the list but not yet on the wire still counts: a
  // reset in that moment would drop it (a close's ENDCOM, for one).
  return buffer->inJobList || currentJob_ == buffer;
}

void JobList::RemoveJobs(const NetworkBuffer* owner) {
  CriticalSectionLocker lock(signal_);
  for (LinkedNode* n = First(); n;) {
    LinkedNode* next = n->Next();
    auto* b = static_cast<SendBuffer*>(n);
    if (b->owner == owner) {
      b->Remove();
      b->inJobList = false;
    }
    n = next;
  }
}

void JobList::Forget(const NetworkBuffer* owner) {
  RemoveJobs(owner);
  for (;;) {
    {
      CriticalSectionLocker lock(signal_);
      if (current_ != owner) return;
    }
    SleepMicros(200);
  }
}
