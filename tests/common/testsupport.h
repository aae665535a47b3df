// Helpers shared by the test programs.
#pragma once

#include <string>
#include <vector>

namespace testsupport {

// The scratch folder of this test program (parameter, macro and log folders
// point below it).
const std::string& ScratchDir();

// A fresh empty folder below the scratch folder.
std::string MakeTempDir(const std::string& tag);

// Writes bytes to a file, replacing it.
void WriteFile(const std::string& path, const std::string& bytes);
std::string ReadFile(const std::string& path);

// Runs a shell command and returns its standard output and exit status
// (-1 when it did not exit normally).
struct CommandOutput {
  std::string text;
  int status = -1;
};
CommandOutput RunCommand(const std::string& command);

// Records the assertion messages reported while it lives (instead of aborting).
class AssertionCapture {
 public:
  AssertionCapture();
  ~AssertionCapture();
  const std::vector<std::string>& Messages() const;
  bool Saw(const std::string& message) const;
};

}  // namespace testsupport
