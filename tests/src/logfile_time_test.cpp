#include <gtest/gtest.h>

#include <ctime>
#include <string>

#include "folders.h"
#include "logging.h"
#include "testsupport.h"

namespace {

std::string LocalSecondOfDay(time_t t) {
  tm local{};
  localtime_r(&t, &local);
  char buf[16];
  std::snprintf(buf, sizeof buf, "%02d:%02d:%02d", local.tm_hour, local.tm_min, local.tm_sec);
  return buf;
}

// Records handed to the log target must carry the time they were written.
TEST(LogFileTime, LinesCarryTheWallClockTime) {
  const std::string dir = testsupport::MakeTempDir("logtime");
  const time_t before = std::time(nullptr);
  ASSERT_TRUE(OpenLogFile(dir));
  LogMessage(LOG_ALWAYS | 3, "stamped line");
  CloseLogFile();
  const time_t after = std::time(nullptr);
  const std::string text = testsupport::ReadFile(Folders::Join(dir, "log.txt"));
  const size_t at = text.find("stamped line");
  ASSERT_NE(at, std::string::npos) << text;
  const size_t lineStart = text.rfind('\n', at) == std::string::npos ? 0 : text.rfind('\n', at) + 1;
  const std::string stamp = text.substr(lineStart, 8);
  bool matched = false;
  for (time_t t = before; t <= after; ++t) matched = matched || stamp == LocalSecondOfDay(t);
  EXPECT_TRUE(matched) << text;
}

}  // namespace
