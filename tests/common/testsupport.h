// Helpers shared by the test programs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "program/errors.h"

namespace testsupport {

// The scratch folder of this test program (parameter, macro and log folders
// point below it).
const std::string& ScratchDir();

// Points the parameter, macro and log folders, and their environment
// variables for child processes, into the scratch folder. Called first thing
// by every test program's main.
void UseScratchFolders();
// At the end of a test program: removes the scratch folder (kept when
// QUORVANE_KEEP_SCRATCH is set). Returns rc, or 1 for a passing run whose
// scratch folder could not be removed.
int RemoveScratch(int rc);

// The error code an action raises, 0 when it raises none.
template <typename F>
int32_t CodeOf(F&& f) {
  try {
    f();
  } catch (const Error_t& e) {
    return e.code;
  }
  return 0;
}

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
