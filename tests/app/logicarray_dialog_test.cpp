// The "Programmable logic" dialog: rejected lines listed with their numbers
// and reasons while the gates in use stay, good text taken and written to
// "LogicArray.txt", and the main window's menu entry opening it.
#include <gtest/gtest.h>

#include <wx/menu.h>
#include <wx/textctrl.h>

#include <string>

#include "app/mainframe.h"
#include "base/folders.h"
#include "common/testsupport.h"
#include "dialogs/logicarray_dialog.h"
#include "gui_harness.h"
#include "io/iocycle.h"
#include "params/parafile.h"

namespace {

class LogicArrayDialogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Folders::SetParameters(paramDir = testsupport::MakeTempDir("params"));
    testsupport::WriteFile(Folders::Join(paramDir, "LogicArray.txt"), "AND,#O5,#I1 ;stored\n");
    ResetParameterFilesForTest();
    OpenParameterFiles();
  }
  void TearDown() override {
    LogicArrayDialog::SetRunner(nullptr);
    ResetParameterFilesForTest();
  }
  std::string paramDir;
};

TEST_F(LogicArrayDialogTest, RejectedLinesAreListedAndGoodTextIsSaved) {
  LogicArray logic;
  ASSERT_TRUE(logic.SetText("OR,#O7,#I3").empty());
  int saves = 0;
  LogicArrayDialog dlg(nullptr, logic, [&] { return ++saves, true; });
  EXPECT_EQ(dlg.Editor()->GetValue(), "OR,#O7,#I3\n");
  dlg.Editor()->SetValue("AND,#O5,#I1\nAND,#I5,#I1\n\nDEL,#O2,#I1,#I4\nOR,#N1,#I2 ;fine\n");
  EXPECT_FALSE(dlg.Apply());
  const std::vector<std::string> errors = dlg.Errors();
  ASSERT_EQ(errors.size(), 2u);
  EXPECT_EQ(errors[0], "line 2: the destination must be an output (#O) or a net (#N): AND,#I5,#I1");
  EXPECT_EQ(errors[1], "line 4: the delay of DEL must be a plain number of cycles: DEL,#O2,#I1,#I4");
  EXPECT_EQ(logic.Text(), "OR,#O7,#I3\n") << "the gates in use stay until every line is good";
  EXPECT_EQ(saves, 0);

  dlg.Editor()->SetValue("AND,#O5,#I1\nDEL,#O2,#I1,4\nOR,#N1,#I2 ;fine\n");
  EXPECT_TRUE(dlg.Check());
  EXPECT_TRUE(dlg.Errors().empty()) << "a check clears the old list";
  EXPECT_TRUE(dlg.Apply());
  EXPECT_EQ(logic.Text(), "AND,#O5,#I1\nDEL,#O2,#I1,4\nOR,#N1,#I2 ;fine\n");
  EXPECT_EQ(saves, 1);

  LogicArrayDialog failing(nullptr, logic, [] { return false; });
  EXPECT_FALSE(failing.Apply()) << "a file that cannot be written is reported";
  ASSERT_EQ(failing.Errors().size(), 1u);
  EXPECT_NE(failing.Errors()[0].find("could not be written"), std::string::npos);
}

TEST_F(LogicArrayDialogTest, MenuEntryEditsTheStoredGateList) {
  Quorvane2Frame* frame = new Quorvane2Frame();
  const int id = frame->GetMenuBar()->FindMenuItem("Machine", "Programmable logic...");
  ASSERT_NE(id, wxNOT_FOUND);
  std::string shown;
  LogicArrayDialog::SetRunner([&](LogicArrayDialog& dlg) {
    shown = dlg.Editor()->GetValue().utf8_string();
    dlg.Editor()->SetValue("OR,#O9,#I2,!#I3 ;from the menu\n");
    return dlg.Apply() ? wxID_OK : wxID_CANCEL;
  });
  wxCommandEvent event(wxEVT_MENU, id);
  frame->GetEventHandler()->ProcessEvent(event);
  EXPECT_EQ(shown, "AND,#O5,#I1 ;stored\n") << "the stored gates are loaded first";
  EXPECT_EQ(GetLogicArray().Text(), "OR,#O9,#I2,!#I3 ;from the menu\n");
  EXPECT_EQ(testsupport::ReadFile(Folders::Join(paramDir, "LogicArray.txt")), "OR,#O9,#I2,!#I3 ;from the menu\n");
  frame->Destroy();
  guitest::Pump(0.2);
}

}  // namespace
