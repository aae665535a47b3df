// The driver log ring, read back through a fake viewer.
#include "base/driverlog.h"

#include "driver/src/alarmclock.h"

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
struct FakeViewer {
  explicit FakeViewer(const std::string& tag, size_t size = kMappingSize) : name(TestMappingName(tag)) {
    shm_unlink(name.c_str());
    const int fd = shm_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
    EXPECT_EQ(ftruncate(fd, size), 0);
    map = static_cast<uint8_t*>(mmap(nullptr, kMappingSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
    close(fd);
  }
  ~FakeViewer() { munmap(map, kMappingSize); shm_unlink(name.c_str()); }
  template <class T>
  std::atomic_ref<T> At(size_t offset) { return std::atomic_ref<T>(*reinterpret_cast<T*>(map + offset)); }
  std::atomic_ref<uint32_t> Stat(size_t i) { return At<uint32_t>(kStatsOffset + i * sizeof(uint32_t)); }
  // Takes everything written so far, as a viewer does.
  std::string Read() {
    std::string out;
    const uint16_t w = At<uint16_t>(kWritePosOffset).load();
    uint16_t r = At<uint16_t>(kReadPosOffset).load();
    for (; r != w; r = static_cast<uint16_t>((r + 1) % kRingSize)) out += static_cast<char>(map[kRingOffset + r]);
    At<uint16_t>(kReadPosOffset).store(r);
    return out;
  }
  std::string name;
  uint8_t* map = nullptr;
};

struct DriverLogTest : ::testing::Test {
  void TearDown() override {
    DriverLogClose();
    DriverLogSetFilter(15, 0x200);
    DriverLogSetMaxWait(50000);
  }
};

TEST_F(DriverLogTest, OpeningResetsCountersAndFilterThenLinesAreFormattedAndFiltered) {
  FakeViewer viewer("format");
  for (size_t i = 0; i < kStatsCount; ++i) viewer.Stat(i).store(0xDEAD);
  DriverLogSetFilter(1, 0x100);
  ASSERT_TRUE(DriverLogOpen(viewer.name.c_str()));
  for (size_t i = 0; i < kStatsCount; ++i) EXPECT_EQ(viewer.Stat(i).load(), 0u) << i;
  DriverLog(DLOG_TRACE, "OpenModule() start %d", 42);
  const std::string text = viewer.Read();
  EXPECT_TRUE(std::regex_match(text, std::regex("\\d\\d:\\d\\d:\\d\\d\\.\\d{6} OpenModule\\(\\) start 42\n"))) << text;
  EXPECT_EQ(viewer.Stat(STAT_LOG_LINES).load(), 1u);  // the counters live in the mapping

  DriverLogSetFilter(3, 0x200);
  DriverLog(DLOG_DETAIL, "too detailed");
  EXPECT_TRUE(DriverLogEnabled(DLOG_INFO));
  DriverLogSetFilter(15, 0x100);
  DriverLog(DLOG_ERROR, "other mask");
  EXPECT_EQ(viewer.Read(), "");

  // The link's threads announce themselves.
  DriverLogSetFilter(15, 0x200);
  LogThreadStart("Creator MainThread");
  LogAffinityMasks();
  { AlarmClock clock; }  // its timer thread has logged before the join returns
  const std::string threads = viewer.Read();
  for (const char* name : {"Creator MainThread", "TimerThread"})
    EXPECT_TRUE(std::regex_search(threads, std::regex(std::string(" ") + name + " self=[0-9A-F]{4} thread=\\d+\n")))
        << name << "\n" << threads;
  EXPECT_NE(threads.find(" ProcessAffinity="), std::string::npos) << threads;
}

// 3000 lines run many times round the ring while a slower viewer reads: every
// wrap must continue at the ring's start, and the writer waits for room. Once
// the viewer stalls the wait is bounded: the line is dropped and counted, and
// further lines drop at once until the viewer reads again.
TEST_F(DriverLogTest, TheWriterWaitsForTheViewerAndDropsOnlyWhenItStalls) {
  FakeViewer viewer("stream");
  ASSERT_TRUE(DriverLogOpen(viewer.name.c_str()));
  DriverLogSetMaxWait(10000000);  // never drop, however loaded the machine
  constexpr int kLines = 3000;
  std::atomic<bool> writing{true};
  std::string received, expected;
  std::thread reader([&] {
    for (bool more = true; more; std::this_thread::sleep_for(std::chrono::microseconds(200))) {
      more = writing.load();
      received += viewer.Read();
    }
  });
  for (int i = 0; i < kLines; ++i) DriverLog(DLOG_TRACE, "line %d", i);
  writing.store(false);
  reader.join();
  for (int i = 0; i < kLines; ++i) expected += "line " + std::to_string(i) + "\n";
  EXPECT_EQ(std::regex_replace(received, std::regex("\\d\\d:\\d\\d:\\d\\d\\.\\d{6} "), ""), expected);
  EXPECT_EQ(DriverStatGet(STAT_LOG_DROPPED), 0u);

  DriverLogSetMaxWait(20000);
  const uint16_t readPos = viewer.At<uint16_t>(kReadPosOffset).load();
  const std::string filler(100, 'x');
  int written = 0;
  for (; DriverStatGet(STAT_LOG_DROPPED) == 0 && written < 200; ++written) DriverLog(DLOG_ERROR, "%s", filler.c_str());
  ASSERT_EQ(DriverStatGet(STAT_LOG_DROPPED), 1u);
  EXPECT_EQ(viewer.At<uint16_t>(kReadPosOffset).load(), readPos);  // unread text is never overwritten
  EXPECT_EQ(DriverStatGet(STAT_LOG_LINES), static_cast<uint32_t>(kLines + written - 1));
  DriverLog(DLOG_ERROR, "dropped too %s", filler.c_str());
  EXPECT_EQ(DriverStatGet(STAT_LOG_DROPPED), 2u);
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
  EXPECT_EQ(DriverStatGet(STAT_LOG_LINES) + DriverStatGet(STAT_LOG_DROPPED), 0u);
  DriverStatAdd(STAT_OPENS, 2);  // counters stay private
  EXPECT_EQ(DriverStatGet(STAT_OPENS), 2u);
  EXPECT_LT(shm_open(name.c_str(), O_RDONLY, 0), 0) << "the driver opens, never creates, the mapping";
  FakeViewer small("small", 100);  // mapped beyond its end: the driver must not touch it
  EXPECT_FALSE(DriverLogOpen(small.name.c_str()));
  DriverLog(DLOG_ERROR, "must not touch the small mapping");
}

}  // namespace
