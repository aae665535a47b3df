// The application log: filter, line format and the log file.
#include "logging.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <regex>
#include <set>
#include <thread>

#include "folders.h"
#include "testsupport.h"

namespace {

class LoggingTest : public ::testing::Test {
 protected:
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
  EXPECT_TRUE(LogEnabled(0x11));
  EXPECT_FALSE(LogEnabled(0x23)) << "category not selected";
  EXPECT_TRUE(LogEnabled(0x33)) << "one shared category bit is enough";
  int evaluated = 0;  // a filtered message does not evaluate its arguments
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
  const int64_t ms = 86400000LL * 20000 + 3723004;  // 01:02:03.004 UTC
  setenv("TZ", "UTC", 1);
  tzset();
  EXPECT_EQ(FormatLogLine(ms, "hello"), "01:02:03.004 hello");
  setenv("TZ", "UTC-2", 1);  // two hours east of UTC
  tzset();
  EXPECT_EQ(FormatLogLine(ms, "hello"), "03:02:03.004 hello");
  if (oldTz) setenv("TZ", saved.c_str(), 1);
  else unsetenv("TZ");
  tzset();
}

TEST_F(LoggingTest, MessagesOfAllThreadsReachLogTxt) {
  const std::string dir = testsupport::MakeTempDir("logfile");
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
  LogMessage(0x8000, "after close");
  const std::string time = "\\d\\d:\\d\\d:\\d\\d\\.\\d{3} ";
  EXPECT_TRUE(std::regex_match(testsupport::ReadFile(Folders::Join(dir, "log.txt")),
                               std::regex(time + "always 1\n" + time + "UserAction: StartButton\n" + time +
                                          "from worker\n")))
      << testsupport::ReadFile(Folders::Join(dir, "log.txt"));
}

TEST_F(LoggingTest, ReopeningKeepsThePreviousFile) {
  const std::string dir = testsupport::MakeTempDir("logrotate");
  for (const char* run : {"first run", "second run"}) {
    ASSERT_TRUE(OpenLogFile(dir));
    LogMessage(0x8000, "%s", run);
    CloseLogFile();
  }
  EXPECT_NE(testsupport::ReadFile(Folders::Join(dir, "log_prev.txt")).find("first run"), std::string::npos);
  const std::string current = testsupport::ReadFile(Folders::Join(dir, "log.txt"));
  EXPECT_NE(current.find("second run"), std::string::npos);
  EXPECT_EQ(current.find("first run"), std::string::npos);
}

TEST_F(LoggingTest, DefaultFolderAndUnwritableFolder) {
  ASSERT_TRUE(OpenLogFile());
  EXPECT_EQ(LogFilePath(), Folders::Join(Folders::Logs(), "log.txt"));
  CloseLogFile();
  const std::string dir = testsupport::MakeTempDir("blocked");
  testsupport::WriteFile(Folders::Join(dir, "file"), "x");
  EXPECT_FALSE(OpenLogFile(Folders::Join(dir, "file/sub")));
  EXPECT_FALSE(LogFileIsOpen());
  LogMessage(0x8000, "no file open");
}

TEST_F(LoggingTest, DialogCategoriesAreDistinctBitsInTheCategoryField) {
  std::set<int32_t> bits;
  for (const auto& c : kLogCategories) {
    EXPECT_EQ(c.bit & (c.bit - 1), 0) << c.name << " is one bit";
    EXPECT_EQ(c.bit & ~LOG_CATEGORY_MASK, 0) << c.name;
    bits.insert(c.bit);
  }
  EXPECT_EQ(bits.size(), static_cast<size_t>(kLogCategoryCount));
  EXPECT_STREQ(kLogCategories[0].name, "User actions");
  EXPECT_EQ(kLogCategories[0].bit, 0x10);  // "UserAction:" lines use code 19
  EXPECT_STREQ(kLogCategories[8].name, "Offsets and Transformations");
  EXPECT_STREQ(kLogPriorityChoices[0], "none");
  EXPECT_STREQ(kLogPriorityChoices[7], "(0) All");
}

}  // namespace
