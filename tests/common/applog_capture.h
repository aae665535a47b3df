// The application log written to a file of the test's own, with the in/output
// category selected, for tests that assert the system's log lines.
#pragma once

#include <string>

#include "base/logging.h"
#include "common/testsupport.h"

namespace testsupport {

class AppLogCapture {
 public:
  explicit AppLogCapture(int32_t mask = LOGCAT_IN_OUTPUT) {
    OpenLogFile(MakeTempDir("applog"));
    SetLogMask(mask);
    SetLogLevel(7);
  }
  ~AppLogCapture() {
    CloseLogFile();
    SetLogLevel(7);
    SetLogMask(16);
  }
  std::string Text() const { return ReadFile(LogFilePath()); }
  int Count(const std::string& text) const {
    const std::string all = Text();
    int n = 0;
    for (size_t at = all.find(text); at != std::string::npos; at = all.find(text, at + 1)) ++n;
    return n;
  }
};

}  // namespace testsupport
