// Test entry: wxBase initialised, and every folder the system writes to
// pointed into a scratch folder so no test touches the user's files.
#include <gtest/gtest.h>

#include <wx/init.h>
#include <wx/log.h>

#include "common/testsupport.h"

int main(int argc, char** argv) {
  testsupport::UseScratchFolders();
  wxInitializer wx;
  ::testing::InitGoogleTest(&argc, argv);
  const int rc = RUN_ALL_TESTS();
  // Process-wide objects log while they are destroyed after main; keep that
  // out of the test output.
  delete wxLog::SetActiveTarget(nullptr);
  wxLog::DontCreateOnDemand();
  return testsupport::RemoveScratch(rc);
}
