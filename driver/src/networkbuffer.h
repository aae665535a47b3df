// The reliable stream to one open module: commands bundled into frames,
// 16-bit sequence numbers, at most eight frames unacknowledged, repeats with
// a growing time-out, NOP keep-alive, and the answers (buffer gauge, status,
// inputs, positions) read back. The send thread and its job list live here
// as well: every connection queues its frames there.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "base/linkedlist.h"
#include "base/threadsync.h"
#include "driver/src/alarmclock.h"
#include "driver/src/linkframe.h"

// Module states, shared with the module table.
enum ModuleState : int32_t {
  STAT_DOWN = -2,       // known but closed with a problem; can be found and opened again
  STAT_BROKEN = -1,     // connection lost while open
  STAT_FREE = 0,        // registered by a scan, not open
  STAT_CONNECTED = 1,   // open; commands flow
  STAT_UPDATE = 2,      // open for a firmware update
  STAT_RESCOM = 3,      // answered the last scan request
};
const char* ModuleStateName(int32_t state);

class NetworkBuffer;
class JobList;

// One frame of a connection: nine per connection, reused through a free list.
class SendBuffer : public LinkedNode {
 public:
  static constexpr uint32_t kGuard = 0xDEADBEEF;
  SendBuffer* nextFree = nullptr;
  NetworkBuffer* owner = nullptr;
  int32_t usedCommands = 0;  // motion commands (code 2) bundled into it
  int32_t repeatCount = 0;   // times handed to the adapter
  uint8_t frame[linkframe::kMaxFrame] = {};
  uint32_t guard = kGuard;  // right behind the frame: an overrun shows here
  bool inUse = false;
  // Guarded by the job list's lock.
  bool inJobList = false;
  uint16_t jobSn = 0;  // the sequence number to send when its job comes up
};

// How a command leaves: bundled with others, or in a frame at once.
enum class SendMode { Bundled, Single };

class NetworkBuffer {
 public:
  static constexpr int kBuffers = 9;
  static constexpr int kWindow = 8;
  static constexpr int kBundleMax = 10;             // commands per bundle
  static constexpr int64_t kBundleDelayUs = 5000;   // bundle timer, µs
  static constexpr int64_t kIdleUs = 1000000;       // idle keep-alive, µs
  static constexpr int32_t kNoAckFirstUs = 25000;   // first acknowledge time-out, µs
  static constexpr int32_t kNoAckMaxUs = 500000;    // longest acknowledge time-out, µs
  static constexpr int kNoAckLimit = 25;            // repeats before the connection is lost
  static constexpr int kMaxHandouts = 30;           // a frame handed out more often is given up

  NetworkBuffer();
  virtual ~NetworkBuffer();
  NetworkBuffer(const NetworkBuffer&) = delete;
  NetworkBuffer& operator=(const NetworkBuffer&) = delete;

  // Wires the connection to the driver's send queue and clock and creates its
  // three timers. Called once, before the first frame.
  void Attach(JobList* jobs, AlarmClock* clock);
  // Cancels the timers, waits for a running handler and takes the
  // connection's frames off the send queue; after it nothing of the link
  // touches this object. Derived destructors call it first.
  void Detach();

  // --- sending (each takes the connection's lock itself) ---
  // Appends a command (code, length, arguments) to the current bundle. False
  // when the connection is not in a state that sends, also after a wait for
  // a free buffer that ended with the connection closed or lost.
  bool SendBundled(const uint8_t* command, int size);
  // SendBundled, then FlushBuffer.
  bool SendSingle(const uint8_t* command, int size);
  // A command numbered by the connection: the next reference number is
  // written into argument bytes 0 and 1. `ref` receives it, `levelBefore`
  // the buffer level of GetStatus taken before the command joined the bundle.
  bool SendReferenced(uint8_t* command, int size, SendMode mode, uint16_t* ref, int* levelBefore);
  void FlushBuffer();
  // FlushBuffer, then waits until no frame is in flight. False when the
  // connection was closed or lost meanwhile.
  bool FlushAndWait();
  // Sends ENDCOM over the connection (nothing when it is bad) and waits
  // until the frame has left the send queue.
  void SendEndcom();

  // --- state ---
  void SetModStat(int32_t state);
  int32_t State() const { return state_.load(std::memory_order_acquire); }
  void Reset();
  // nack above 6 (above 4 it is logged).
  bool ConnectionIsBad();

  // --- the last answer ---
  // level = bufGauge + motion commands not yet acknowledged or not yet sent.
  void GetStatus(int* level, int* status);
  // refNum and up to n (at most 6) positions of the last regular answer.
  void ReadPositions(uint16_t* refNum, int32_t* positions, int n);
  // The 24 input bits; one aligned word, no lock.
  uint32_t Inputs() const { return inputs_.load(std::memory_order_acquire); }
  // Up to `n` (at most 6) values of the last parameter answer.
  void ReadParameters(uint32_t* values, int n);
  // Copies at most `size` bytes of the last raw-data answer and clears it.
  int TakeRawData(uint8_t* out, int size);
  uint64_t LastReceiveMicros();
  int32_t FramesInFlight();

  // --- called by the link's threads ---
  // A frame the read thread dispatched to this module.
  void HandleRecv(const uint8_t* frame, size_t length);
  // The send thread hands out frame `sn` (if it is still in flight).
  void SendPacket(uint16_t sn);

  // Timer handlers.
  void EventBundle();
  void EventIdle();
  void EventNoAck();

  // The wire: where frames go. Returns false when the adapter refused it.
  virtual bool TransmitFrame(const uint8_t* frame, size_t length) = 0;
  const uint8_t* OwnAddress() const { return ownAddress_; }
  const uint8_t* ModuleAddress() const { return moduleAddress_; }

 protected:
  // The connection's lock; also wakes callers waiting for a free buffer.
  InterthreadSignal signal_;
  uint8_t ownAddress_[6] = {};
  uint8_t moduleAddress_[6] = {};

 private:
  bool AcceptsCommands() const;
  // Makes room for a command of `size` bytes in the current bundle: flushes
  // a bundle it would not fit and takes a free buffer, waiting for one while
  // eight frames are in flight. Called with the lock held exactly once (the
  // wait leaves it, so an answer can release a frame meanwhile).
  bool EnsureRoom(int size);
  void AppendLocked(const uint8_t* command, int size);
  // Ends filling the current bundle and hands it over (null without one).
  SendBuffer* TakeBundle(uint16_t* payloadLength);
  // Pops the free list (a slot is known to be free).
  SendBuffer* GetFreeBuffer();
  void SendNewBuffer(SendBuffer* buffer, uint16_t payloadLength);
  void DropUsedBuffer(uint16_t sn);
  bool RepeatSend(uint16_t sn);
  void HandleRecvData(const uint8_t* frame, size_t length, uint16_t llpLen);
  void ResetLocked();
  void LoseConnection(const char* why);
  // Wakes waiters one after the other (the signal wakes one per call).
  void WakeWaiters();

  JobList* jobs_ = nullptr;
  AlarmClock* clock_ = nullptr;
  SendBuffer buffers_[kBuffers];
  SendBuffer* freeList_ = nullptr;
  SendBuffer* slots_[kWindow] = {};
  int32_t usedCmd_ = 0;
  int32_t used_ = 0;
  SendBuffer* bundle_ = nullptr;
  int32_t bundleSize_ = 0;
  int32_t bundleCount_ = 0;
  std::atomic<int32_t> state_{STAT_DOWN};
  bool waitingForBuffer_ = false;
  TimeoutEvent<NetworkBuffer>* bundleTimer_ = nullptr;
  TimeoutEvent<NetworkBuffer>* idleTimer_ = nullptr;
  TimeoutEvent<NetworkBuffer>* noAckTimer_ = nullptr;
  int32_t noAckTimeout_ = kNoAckFirstUs;
  uint64_t lastReceive_ = 0;  // µs
  int32_t nack_ = 0;
  uint16_t lastRecvSn_ = 0;
  uint16_t lastSentSn_ = 0;
  uint16_t oldestSn_ = 1;
  uint8_t rackOred_ = 0xFF;
  uint16_t sendSn_ = 0;
  uint8_t anOut_ = 0;
  uint8_t abOut_ = 0xFF;
  uint16_t bufGauge_ = 0;
  uint16_t refNum_ = 0;
  uint16_t refCounter_ = 0;
  uint8_t status_ = 0;
  std::atomic<uint32_t> inputs_{0};  // three bytes and the zero byte after them
  int32_t positions_[linkframe::kMaxValues] = {};
  uint32_t parameters_[linkframe::kMaxValues] = {};
  uint8_t rawData_[linkframe::kMaxRawData] = {};
  uint16_t rawLength_ = 0;
};

// Frames waiting for the send thread, oldest first, shared by all connections.
class JobList : public LinkedList {
 public:
  JobList();
  ~JobList();
  // Starts the send thread; false when it could not be created.
  bool Start();
  // Queues a buffer (once) for sending frame `sn` and wakes the send thread.
  void AddNewJob(SendBuffer* buffer, uint16_t sn);
  // Whether the buffer still waits for the send thread.
  bool IsQueued(const SendBuffer* buffer);
  // Takes every queued frame of the connection off the list.
  void RemoveJobs(const NetworkBuffer* owner);
  // RemoveJobs, then waits until the send thread is not working for the
  // connection: afterwards the send thread cannot touch it.
  void Forget(const NetworkBuffer* owner);

 private:
  static void* ThreadEntry(void* self);
  void Run();

  InterthreadSignal signal_;
  pthread_t thread_{};
  bool started_ = false;
  bool cancel_ = false;
  const NetworkBuffer* current_ = nullptr;  // whose frame is being handed out
  const SendBuffer* currentJob_ = nullptr;  // and which frame
};
