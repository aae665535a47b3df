// The application log: filter, line format and the log file.
#include "base/logging.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <regex>
#include <thread>

#include "base/folders.h"
#include "common/testsupport.h"

namespace {

struct LoggingTest : ::testing::Test {
  void TearDown() override {
    CloseLogFile();
    SetLogLevel(7);
    SetLogMask(16);
  }
};

TEST_F(LoggingTest, FilterOnPriorityAndCategory) {
  SetLogMask(0);
  SetLogLevel(0);
  EXPECT_TRUE(LogEnabled(0x8003)) << "the always bit passes mask 0 and level 0";
  EXPECT_FALSE(LogEnabled(0x0010));
  SetLogMask(0x10);
  SetLogLevel(3);
  EXPECT_FALSE(LogEnabled(0x14)) << "priority above the level";
  EXPECT_TRUE(LogEnabled(0x13));
  EXPECT_FALSE(LogEnabled(0x23)) << "category not selected";
  EXPECT_TRUE(LogEnabled(0x33)) << "one shared category bit is enough";
  int evaluated = 0;  // a filtered message is not formatted: its arguments are not evaluated
  LogMessage(0x14, "%d", ++evaluated);
  EXPECT_EQ(evaluated, 0);
  LogMessage(0x13, "%d", ++evaluated);
  EXPECT_EQ(evaluated, 1);
  // Mask and level are taken from one configured value.
  SetLogMask(0x1F5);
  SetLogLevel(0x1F5);
  EXPECT_EQ(GetLogMask(), 0x1F0);
  EXPECT_EQ(GetLogLevel(), 5);
}

TEST_F(LoggingTest, LineIsLocalTimeOfDayWithMilliseconds) {
  const char* oldTz = std::getenv("TZ");
  const std::string saved = oldTz ? oldTz : "";
  setenv("TZ", "UTC-2", 1);  // two hours east of UTC
  tzset();
  EXPECT_EQ(FormatLogLine(86400000LL * 20000 + 3723004, "hello"), "03:02:03.004 hello");  // 01:02:03.004 UTC
  if (oldTz) setenv("TZ", saved.c_str(), 1);
  else unsetenv("TZ");
  tzset();
}

// Lines of worker threads are written at once and every line carries the
// wall-clock time it was logged at; opening keeps the previous run's file.
TEST_F(LoggingTest, LogTxtGetsTheLinesOfAllThreadsAndLogPrevTxtThePreviousRun) {
  const std::string dir = testsupport::MakeTempDir("logfile");
  ASSERT_TRUE(OpenLogFile(dir));
  LogMessage(0x8000, "previous run");
  CloseLogFile();
  const time_t before = std::time(nullptr);
  ASSERT_TRUE(OpenLogFile(dir));
  EXPECT_EQ(LogFilePath(), Folders::Join(dir, "log.txt"));
  SetLogMask(0x10);
  SetLogLevel(3);
  LogMessage(0x8003, "always %d", 1);
  LogMessage(0x14, "dropped");
  LogMessage(0x13, "UserAction: %s", "StartButton");
  std::thread worker([] { LogMessage(0x8000, "from worker"); });
  worker.join();
  CloseLogFile();
  const time_t after = std::time(nullptr);
  LogMessage(0x8000, "after close");
  const std::string text = testsupport::ReadFile(Folders::Join(dir, "log.txt"));
  const std::string time = "\\d\\d:\\d\\d:\\d\\d\\.\\d{3} ";
  EXPECT_TRUE(std::regex_match(
      text, std::regex(time + "always 1\n" + time + "UserAction: StartButton\n" + time + "from worker\n")))
      << text;
  bool stamped = false;
  for (time_t t = before; t <= after; ++t) stamped |= text.starts_with(FormatLogLine(t * 1000LL, "").substr(0, 8));
  EXPECT_TRUE(stamped) << text;
  const std::string previous = testsupport::ReadFile(Folders::Join(dir, "log_prev.txt"));
  EXPECT_TRUE(std::regex_match(previous, std::regex(time + "previous run\n"))) << previous;
}

TEST_F(LoggingTest, DefaultFolderAndUnwritableFolder) {
  ASSERT_TRUE(OpenLogFile());
  EXPECT_EQ(LogFilePath(), Folders::Join(Folders::Logs(), "log.txt"));
  CloseLogFile();
  const std::string dir = testsupport::MakeTempDir("blocked");
  testsupport::WriteFile(Folders::Join(dir, "file"), "x");
  EXPECT_FALSE(OpenLogFile(Folders::Join(dir, "file/sub")));
  EXPECT_FALSE(LogFileIsOpen());
}

}  // namespace
