// Entry of the GUI tests: a real wx application (no event loop running), with
// every folder the system writes to pointed into a scratch folder.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include <sys/stat.h>
#include <wx/app.h>
#include <wx/init.h>
#include <wx/log.h>

#include "folders.h"
#include "parafile.h"
#include "testsupport.h"

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
  const std::string scratch = testsupport::ScratchDir();
  for (const char* sub : {"/params", "/macros", "/log"}) mkdir((scratch + sub).c_str(), 0755);
  setenv("QUORVANE_PARAM_DIR", (scratch + "/params").c_str(), 1);
  setenv("QUORVANE_MACRO_DIR", (scratch + "/macros").c_str(), 1);
  setenv("QUORVANE_LOG_DIR", (scratch + "/log").c_str(), 1);
  Folders::SetParameters(scratch + "/params");
  Folders::SetMacros(scratch + "/macros");
  Folders::SetLogs(scratch + "/log");
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
  if (!std::getenv("QUORVANE_KEEP_SCRATCH")) {
    std::string cmd = "rm -rf '" + scratch + "'";
    if (std::system(cmd.c_str()) != 0) return rc ? rc : 1;
  }
  return rc;
}
