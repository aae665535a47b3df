// Test entry: wxBase initialised, and every folder the system writes to
// pointed into a scratch folder so no test touches the user's files.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include <sys/stat.h>
#include <wx/init.h>
#include <wx/log.h>

#include "folders.h"
#include "testsupport.h"

int main(int argc, char** argv) {
  const std::string scratch = testsupport::ScratchDir();
  for (const char* sub : {"/params", "/macros", "/log"}) mkdir((scratch + sub).c_str(), 0755);
  setenv("QUORVANE_PARAM_DIR", (scratch + "/params").c_str(), 1);
  setenv("QUORVANE_MACRO_DIR", (scratch + "/macros").c_str(), 1);
  setenv("QUORVANE_LOG_DIR", (scratch + "/log").c_str(), 1);
  Folders::SetParameters(scratch + "/params");
  Folders::SetMacros(scratch + "/macros");
  Folders::SetLogs(scratch + "/log");

  wxInitializer wx;
  ::testing::InitGoogleTest(&argc, argv);
  const int rc = RUN_ALL_TESTS();
  // Process-wide objects log while they are destroyed after main; keep that
  // out of the test output.
  delete wxLog::SetActiveTarget(nullptr);
  wxLog::DontCreateOnDemand();
  if (!std::getenv("QUORVANE_KEEP_SCRATCH")) {
    std::string cmd = "rm -rf '" + scratch + "'";
    if (std::system(cmd.c_str()) != 0) return rc ? rc : 1;
  }
  return rc;
}
