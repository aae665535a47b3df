// The driver log ring, read back through a fake viewer.
#include "driverlog.h"

#include "alarmclock.h"
#include "threadsync.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <regex>
#include <string>
#include <thread>

namespace {

using namespace sharedlog;

std::string TestMappingName(const std::string& tag) { return "/qv_test_" + std::to_string(getpid()) + "_" + tag; }

// Plays the viewer: creates the mapping under a test name and reads the ring.
class FakeViewer {
 public:
  explicit FakeViewer(const std::string& tag) : name_(TestMappingName(tag)) {
    shm_unlink(name_.c_str());
    const int fd = shm_open(name_.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(ftruncate(fd, kMappingSize), 0);
    map_ = static_cast<uint8_t*>(mmap(nullptr, kMappingSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
    close(fd);
  }
  ~FakeViewer() {
    munmap(map_, kMappingSize);
    shm_unlink(name_.c_str());
  }
  const char* Name() const { return name_.c_str(); }

  uint16_t WritePos() { return Pos(0).load(std::memory_order_acquire); }
  uint16_t ReadPos() { return Pos(2).load(); }
  void SetPositions(uint16_t pos) {
    Pos(0).store(pos);
    Pos(2).store(pos);
  }
  uint32_t Stat(size_t i) { return std::atomic_ref<uint32_t>(Stats()[i]).load(); }
  void SetStat(size_t i, uint32_t v) { Stats()[i] = v; }
  uint8_t RingByte(size_t i) const { return map_[kRingOffset + i]; }

  // Takes everything written so far, as a viewer does.
  std::string Read() {
    std::string out;
    const uint16_t w = WritePos();
    uint16_t r = ReadPos();
    for (; r != w; r = static_cast<uint16_t>((r + 1) % kRingSize)) out += static_cast<char>(map_[kRingOffset + r]);
    Pos(2).store(r, std::memory_order_release);
    return out;
  }

 private:
  std::atomic_ref<uint16_t> Pos(size_t offset) {
    return std::atomic_ref<uint16_t>(*reinterpret_cast<uint16_t*>(map_ + offset));
  }
  uint32_t* Stats() { return reinterpret_cast<uint32_t*>(map_ + kStatsOffset); }
  std::string name_;
  uint8_t* map_ = nullptr;
};

bool Contains(const std::string& text, const std::string& pattern) {
  return std::regex_search(text, std::regex(pattern));
}

class DriverLogTest : public ::testing::Test {
 protected:
  void TearDown() override {
    DriverLogClose();
    DriverLogSetFilter(15, 0x200);
    DriverLogSetMaxWait(50000);
  }
};

TEST_F(DriverLogTest, LineFormatAndFilter) {
  FakeViewer viewer("format");
  ASSERT_TRUE(DriverLogOpen(viewer.Name()));
  DriverLog(DLOG_INFO, "OpenModule() start %d", 42);
  const std::string text = viewer.Read();
  EXPECT_TRUE(Contains(text, "^\\d\\d:\\d\\d:\\d\\d\\.\\d{6} OpenModule\\(\\) start 42\n$")) << text;
  EXPECT_EQ(viewer.WritePos(), text.size());

  DriverLogSetFilter(3, 0x200);
  DriverLog(DLOG_DETAIL, "too detailed");
  DriverLog(DLOG_INFO, "info");
  DriverLogSetFilter(15, 0x100);
  DriverLog(DLOG_ERROR, "other mask");
  const std::string filtered = viewer.Read();
  EXPECT_EQ(filtered.find("too detailed"), std::string::npos);
  EXPECT_EQ(filtered.find("other mask"), std::string::npos);
  EXPECT_NE(filtered.find("info\n"), std::string::npos);
}

TEST_F(DriverLogTest, OpeningZeroesTheCountersAndSetsTheFilter) {
  FakeViewer viewer("stats");
  for (size_t i = 0; i < kStatsCount; ++i) viewer.SetStat(i, 0xDEAD);
  DriverLogSetFilter(1, 0x200);
  ASSERT_TRUE(DriverLogOpen(viewer.Name()));
  for (size_t i = 0; i < kStatsCount; ++i) EXPECT_EQ(viewer.Stat(i), 0u) << i;
  EXPECT_TRUE(DriverLogEnabled(DLOG_TRACE));
  DriverStatAdd(STAT_SCANS);
  DriverStatAdd(STAT_FRAMES_REPEATED, 3);
  EXPECT_EQ(viewer.Stat(STAT_SCANS), 1u);
  EXPECT_EQ(viewer.Stat(STAT_FRAMES_REPEATED), 3u);
  EXPECT_EQ(DriverStatGet(STAT_FRAMES_REPEATED), 3u);
}

TEST_F(DriverLogTest, LineReachingTheEndOfTheRingContinuesAtOffsetFive) {
  FakeViewer viewer("wrap");
  ASSERT_TRUE(DriverLogOpen(viewer.Name()));
  viewer.SetPositions(static_cast<uint16_t>(kRingSize - 11));
  DriverLog(DLOG_ERROR, "a line that does not fit before the end");
  const uint16_t w = viewer.WritePos();
  const std::string text = viewer.Read();
  ASSERT_GT(text.size(), 11u);
  EXPECT_EQ(w, text.size() - 11);
  EXPECT_EQ(viewer.RingByte(0), static_cast<uint8_t>(text[11]));
  EXPECT_NE(text.find(" a line that does not fit before the end\n"), std::string::npos);
}

TEST_F(DriverLogTest, ConcurrentViewerReceivesEveryLineInOrder) {
  FakeViewer viewer("stream");
  ASSERT_TRUE(DriverLogOpen(viewer.Name()));
  DriverLogSetMaxWait(10000000);  // the reader is slow on a loaded machine, never drop
  constexpr int kLines = 3000;
  std::atomic<bool> writing{true};
  std::string received;
  std::thread reader([&] {
    while (writing.load()) {
      received += viewer.Read();
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    received += viewer.Read();
  });
  for (int i = 0; i < kLines; ++i) DriverLog(DLOG_TRACE, "line %d", i);
  writing.store(false);
  reader.join();
  EXPECT_EQ(DriverStatGet(STAT_LOG_DROPPED), 0u);
  EXPECT_EQ(DriverStatGet(STAT_LOG_LINES), static_cast<uint32_t>(kLines));
  size_t pos = 0;
  for (int i = 0; i < kLines; ++i) {
    const std::string want = " line " + std::to_string(i) + "\n";
    const size_t at = received.find(want, pos);
    ASSERT_NE(at, std::string::npos) << "line " << i;
    pos = at + want.size();
  }
}

TEST_F(DriverLogTest, StalledViewerMakesTheWriterDropInsteadOfWaitingForever) {
  FakeViewer viewer("stall");
  ASSERT_TRUE(DriverLogOpen(viewer.Name()));
  DriverLogSetMaxWait(20000);
  const std::string filler(100, 'x');
  int written = 0;
  for (; DriverStatGet(STAT_LOG_DROPPED) == 0 && written < 200; ++written) DriverLog(DLOG_ERROR, "%s", filler.c_str());
  ASSERT_EQ(DriverStatGet(STAT_LOG_DROPPED), 1u);
  // Unread text is never overwritten.
  EXPECT_EQ(viewer.ReadPos(), 0u);
  EXPECT_EQ(DriverStatGet(STAT_LOG_LINES), static_cast<uint32_t>(written - 1));
  // Further lines drop at once while the viewer stays stalled.
  DriverLog(DLOG_ERROR, "dropped too %s", filler.c_str());
  EXPECT_EQ(DriverStatGet(STAT_LOG_DROPPED), 2u);
  // Once the viewer reads again, lines flow.
  EXPECT_EQ(viewer.Read().find("dropped too"), std::string::npos);
  DriverLog(DLOG_ERROR, "after the viewer read");
  EXPECT_NE(viewer.Read().find("after the viewer read\n"), std::string::npos);
}

TEST_F(DriverLogTest, MissingOrTooSmallMappingIsNotUsed) {
  const std::string name = TestMappingName("missing");
  shm_unlink(name.c_str());
  EXPECT_FALSE(DriverLogOpen(name.c_str()));
  EXPECT_FALSE(DriverLogIsMapped());
  for (int i = 0; i < 10000; ++i) DriverLog(DLOG_ERROR, "nobody listens %d", i);
  EXPECT_EQ(DriverStatGet(STAT_LOG_LINES), 0u);
  EXPECT_EQ(DriverStatGet(STAT_LOG_DROPPED), 0u);
  DriverStatAdd(STAT_OPENS, 2);  // counters stay private
  EXPECT_EQ(DriverStatGet(STAT_OPENS), 2u);
  // The driver opens, never creates, the mapping.
  int fd = shm_open(name.c_str(), O_RDONLY, 0);
  EXPECT_LT(fd, 0);
  if (fd >= 0) close(fd);

  fd = shm_open(name.c_str(), O_RDWR | O_CREAT, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, 100), 0);
  close(fd);
  EXPECT_FALSE(DriverLogOpen(name.c_str()));
  DriverLog(DLOG_ERROR, "must not touch the small mapping");
  shm_unlink(name.c_str());
}

TEST_F(DriverLogTest, LinkThreadsAnnounceThemselves) {
  FakeViewer viewer("threads");
  ASSERT_TRUE(DriverLogOpen(viewer.Name()));
  LogThreadStart("Creator MainThread");
  LogAffinityMasks();
  { AlarmClock clock; }  // its timer thread has logged before the join returns
  const std::string text = viewer.Read();
  for (const char* name : {"Creator MainThread", "TimerThread"})
    EXPECT_TRUE(Contains(text, std::string(" ") + name + " self=[0-9A-F]{4} thread=\\d+\n")) << name << "\n" << text;
  EXPECT_NE(text.find(" ProcessAffinity="), std::string::npos) << text;
}

}  // namespace
