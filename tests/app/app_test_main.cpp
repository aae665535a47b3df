// Entry of the GUI tests: a real wx application (no event loop running), with
// every folder the system writes to pointed into a scratch folder.
#include <gtest/gtest.h>

#include <cstdio>

#include <wx/app.h>
#include <wx/init.h>
#include <wx/log.h>

#include "params/parafile.h"
#include "common/testsupport.h"

namespace {
class TestApp : public wxApp {
 public:
  bool OnInit() override { return true; }
};

// A failed parameter file must fail the test, not end the process.
void NoFatal(const char* caption, const char* text) { ADD_FAILURE() << caption << ": " << text; }
void NoMessageBox(const char*, const char*) {}
}  // namespace

wxIMPLEMENT_APP_NO_MAIN(TestApp);

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
  int rc = 1;
  if (wxTheApp->CallOnInit()) {
    rc = RUN_ALL_TESTS();
    wxTheApp->OnExit();
  }
  wxEntryCleanup();
  return testsupport::RemoveScratch(rc);
}
