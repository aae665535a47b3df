// Entry of the GUI tests: the real application object with an active event
// loop (so that timers fire while a test pumps events), every folder the
// system writes to pointed into a scratch folder. Start-up itself is left to
// the tests that exercise it.
#include <gtest/gtest.h>

#include <cstdio>

#include <wx/evtloop.h>
#include <wx/init.h>
#include <wx/log.h>

#include "app/quorvane_app.h"
#include "params/parafile.h"
#include "common/testsupport.h"

namespace {
// A failed parameter file must fail the test, not end the process.
void NoFatal(const char* caption, const char* text) { ADD_FAILURE() << caption << ": " << text; }
void NoMessageBox(const char*, const char*) {}
}  // namespace

wxIMPLEMENT_APP_NO_MAIN(Quorvane2App);

int main(int argc, char** argv) {
  testsupport::UseScratchFolders();
  SetFatalErrorHandler(NoFatal);
  SetMessageHandler(NoMessageBox);

  ::testing::InitGoogleTest(&argc, argv);
  if (!wxEntryStart(argc, argv)) {
    fprintf(stderr, "app_tests: cannot start the GUI (no display?)\n");
    return 1;
  }
  // wx messages go to stderr: the GUI log target would flush them into a
  // modal box at exit, which nobody closes.
  delete wxLog::SetActiveTarget(new wxLogStderr);
  wxLog::SetLogLevel(wxLOG_Warning);
  int rc;
  {
    wxGUIEventLoop loop;
    wxEventLoopActivator active(&loop);
    rc = RUN_ALL_TESTS();
  }
  wxEntryCleanup();
  return testsupport::RemoveScratch(rc);
}
