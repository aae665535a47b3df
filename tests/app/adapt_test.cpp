// A program written for another control's dialect, loaded in the main
// window: the error is shown with the offer to adapt it; the adapted copy is
// written beside the original and loaded, the original stays as it was.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "app/mainframe.h"
#include "common/testsupport.h"
#include "gui_harness.h"

namespace {

namespace fs = std::filesystem;
using guitest::PumpUntil;
constexpr auto npos = std::string::npos;

class AdaptInWindow : public guitest::AppSession {
 protected:
  bool WaitAdapted() { return PumpUntil([&] { return !frame->IsAdapting() && !frame->IsLoading(); }, 30); }
};

TEST_F(AdaptInWindow, FailedLoadOffersAnAdaptedCopyBesideTheOriginal) {
  ASSERT_TRUE(Start());
  // No '%' line and a ';' comment, as CAM systems write them.
  const std::string cam = "G90 G21 G17\nG0 X10 Y10 ; approach\nG1 X20 F600\nM30\n";
  const std::string path = WriteProgram("cam.nc", cam);
  const std::string dir = fs::path(path).parent_path().string();
  const std::string copy = dir + "/cam_adapted.nc";

  // Kept as it is: the program stays loaded with its error; nothing written.
  std::string offer;
  dialogs.On("Program error", [&](DialogRequest& r) {
    offer = r.text;
    EXPECT_EQ("Adapt program", r.choices.at(0));
    return 1;
  });
  ASSERT_TRUE(Load(path));
  ASSERT_TRUE(WaitAdapted());
  EXPECT_NE(offer.find("'%'-sign missing"), npos) << offer;
  EXPECT_EQ(path, frame->ProgramFile());
  EXPECT_FALSE(frame->LoadError().empty());
  EXPECT_FALSE(fs::exists(copy));

  // Adapted: the report is shown and the copy loads without an error.
  std::string report;
  dialogs.On("Program error", 0);
  dialogs.On("adapted copy is saved", [&](DialogRequest& r) {
    report = r.text;
    return static_cast<int>(wxID_OK);
  });
  ASSERT_TRUE(Load(path));
  ASSERT_TRUE(PumpUntil([&] { return frame->ProgramFile() == copy && !frame->IsLoading(); }, 30))
      << testing::PrintToString(dialogs.Seen());
  EXPECT_EQ("", frame->LoadError());
  EXPECT_EQ(cam, testsupport::ReadFile(path));
  EXPECT_NE(report.find(copy), npos) << report;
  EXPECT_NE(report.find("added '%' line"), npos) << report;
  EXPECT_NE(report.find("';' comments -> ( )"), npos) << report;
  const std::string adapted = testsupport::ReadFile(copy);
  EXPECT_EQ(npos, adapted.find(';'));
  EXPECT_NE(adapted.find("approach"), npos);
  EXPECT_TRUE(HasMessage("Adapted copy: " + copy));

  // Asked again for the copy: nothing to adapt, and no further file.
  dialogs.On("Nothing to adapt", static_cast<int>(wxID_OK));
  ASSERT_TRUE(frame->AdaptProgram());
  ASSERT_TRUE(WaitAdapted());
  EXPECT_EQ(1, dialogs.Count("Nothing to adapt"));
  EXPECT_EQ(2, dialogs.Count("Program error"));
  EXPECT_FALSE(fs::exists(dir + "/cam_adapted2.nc"));
  EXPECT_EQ(copy, frame->ProgramFile());
}

}  // namespace
