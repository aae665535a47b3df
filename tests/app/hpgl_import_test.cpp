// The HPGL import dialog and the main window's import, driven without modal
// loops on a real (virtual) display.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include <sys/stat.h>
#include <wx/grid.h>
#include <wx/textctrl.h>

#include "folders.h"
#include "hpgl_import.h"
#include "mainframe.h"
#include "parafile.h"
#include "testsupport.h"

namespace {

bool Exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

class HpglImportDialog : public ::testing::Test {
 protected:
  void SetUp() override {
    paramDir = testsupport::MakeTempDir("params");
    work = testsupport::MakeTempDir("hpgl");
    Folders::SetParameters(paramDir);
  }
  void TearDown() override { ResetParameterFilesForTest(); }

  // Stored settings must be in place before the files are opened.
  void OpenFiles(const std::string& userSettings = std::string()) {
    if (!userSettings.empty()) testsupport::WriteFile(Folders::Join(paramDir, "UserSettings.txt"), userSettings);
    ResetParameterFilesForTest();
    OpenParameterFiles();
  }

  std::string Plot(const std::string& name, const std::string& text) {
    const std::string path = Folders::Join(work, name);
    testsupport::WriteFile(path, text);
    return path;
  }

  // The user settings as written to disk (not the copy in memory).
  std::unique_ptr<ParaFile> SavedSettings() {
    auto f = std::make_unique<ParaFile>();
    EXPECT_TRUE(f->OpenExisting(Folders::Join(paramDir, "UserSettings.txt")));
    return f;
  }

  std::string paramDir, work;
};

TEST_F(HpglImportDialog, PenTableShowsEveryPenWithStoredAndFileValues) {
  OpenFiles(
      "HPGL_ZTiefe=-2.5\nHPGL_Feedrate=1500\nHPGL_ZSel=1\nHPGL_OffsetSel=2\nHPGL_withln=1\n"
      "HPGL_Speed_02=1234\nHPGL_PenActive_02=0\nHPGL_AssTool_02=7\n");
  // Pens 3 and 4 are never selected: a VS or PW alone still gives them a row.
  const std::string file = Plot("pens.plt", "IN;SP1;PD0,0,4000,0;PU;SP2;PD0,0,0,400;PU;VS5,3;PW0.35,4;");
  HPGL_Import dlg(nullptr, file);
  ASSERT_TRUE(dlg.FileRead());
  EXPECT_EQ(dlg.GetTitle(), "HPGL-Import");

  const char* expected[] = {"PW (mm)",  "VS (mm/min)",   "Z-depth (mm)",    "Spindle speed",
                            "Tool no.", "Feed (mm/min)", "Z-Feed (mm/min)", "Active"};
  ASSERT_EQ(dlg.PenGrid()->GetNumberCols(), 8);
  for (int c = 0; c < 8; ++c) EXPECT_EQ(dlg.PenGrid()->GetColLabelValue(c), expected[c]) << c;

  ASSERT_EQ(dlg.PenRowCount(), 4);
  for (int pen = 1; pen <= 4; ++pen) EXPECT_GE(dlg.PenRow(pen), 0) << pen;
  EXPECT_EQ(dlg.PenGrid()->GetRowLabelValue(dlg.PenRow(3)), "Pen 3");
  EXPECT_EQ(dlg.PenCell(2, HPGL_Import::COL_FEED), "1234");
  EXPECT_EQ(dlg.PenCell(2, HPGL_Import::COL_TOOL), "7");
  EXPECT_EQ(dlg.PenCell(2, HPGL_Import::COL_ACTIVE), "");
  EXPECT_EQ(dlg.PenCell(1, HPGL_Import::COL_ACTIVE), "1");
  EXPECT_EQ(dlg.PenCell(3, HPGL_Import::COL_VELOCITY), "3000");  // 5 cm/s
  EXPECT_EQ(dlg.PenCell(4, HPGL_Import::COL_WIDTH), "0.35");
  EXPECT_TRUE(dlg.PenGrid()->IsReadOnly(0, HPGL_Import::COL_WIDTH));

  EXPECT_EQ(dlg.GlobalValue(HPGL_Import::FLD_ZDEPTH), "-2.5");
  EXPECT_EQ(dlg.GlobalValue(HPGL_Import::FLD_FEED), "1500");
  EXPECT_EQ(dlg.GlobalValue(HPGL_Import::FLD_ZFEED), "300");  // default, not stored
}

TEST_F(HpglImportDialog, ConvertsWithPenTableValuesAndStoresThem) {
  OpenFiles();
  const std::string file = Plot("line.plt", "SP1;PD0,0,4000,0;PU;");
  HPGL_Import dlg(nullptr, file);
  ASSERT_EQ(dlg.PenRowCount(), 1);
  dlg.SetSelections(1, 1, 1, 0);
  dlg.SetPenCell(1, HPGL_Import::COL_ZDEPTH, "-0,5");  // decimal comma as typed
  dlg.SetPenCell(1, HPGL_Import::COL_ZFEED, "120");
  dlg.SetPenCell(1, HPGL_Import::COL_FEED, " 800 ");
  dlg.SetPenCell(1, HPGL_Import::COL_TOOL, "3");
  dlg.SetPenCell(1, HPGL_Import::COL_SPINDLE, "12000");
  dlg.SetGlobalValue(HPGL_Import::FLD_ZSAFE, "7");
  dlg.SetOptions(false, true, false, false);

  ASSERT_TRUE(dlg.Convert()) << dlg.ReportText();
  EXPECT_EQ(dlg.OutputFile(), file + ".nc");
  const std::string nc = testsupport::ReadFile(file + ".nc");
  EXPECT_NE(nc.find("G61 (exact stop mode)"), std::string::npos) << nc;
  EXPECT_NE(nc.find("G0 Z7 (move to secure Z-hight)"), std::string::npos) << nc;
  EXPECT_NE(nc.find("M6 T3"), std::string::npos) << nc;
  EXPECT_NE(nc.find("M3 S12000"), std::string::npos) << nc;
  EXPECT_NE(nc.find("G1 Z-0.5 F120"), std::string::npos) << nc;
  EXPECT_NE(nc.find("G1 X100 F800"), std::string::npos) << nc;
  EXPECT_EQ(dlg.ReportText(), "");

  auto saved = SavedSettings();
  const auto num = [&](const char* key, int index = -1) {
    double v = -999;
    EXPECT_TRUE(index < 0 ? saved->GetDouble(key, v) : saved->GetDouble(key, index, v)) << key;
    return v;
  };
  EXPECT_EQ(num("HPGL_ZSel"), 1);
  EXPECT_EQ(num("HPGL_FeedSel"), 1);
  EXPECT_EQ(num("HPGL_constVel"), 0);
  EXPECT_EQ(num("HPGL_ZG0"), 7);
  EXPECT_EQ(num("HPGL_Speed", 1), 800);
  EXPECT_EQ(num("HPGL_ZValue", 1), -0.5);
  EXPECT_EQ(num("HPGL_AssTool", 1), 3);

  // The next dialog opens with what was stored.
  HPGL_Import again(nullptr, file);
  EXPECT_EQ(again.PenCell(1, HPGL_Import::COL_FEED), "800");
  EXPECT_EQ(again.PenCell(1, HPGL_Import::COL_ZDEPTH), "-0.5");
  EXPECT_EQ(again.GlobalValue(HPGL_Import::FLD_ZSAFE), "7");
}

TEST_F(HpglImportDialog, GlobalSelectionIgnoresPenTable) {
  OpenFiles();
  const std::string file = Plot("global.plt", "SP1;PD0,0,4000,0;PU;");
  HPGL_Import dlg(nullptr, file);
  dlg.SetSelections(0, 0, 0, 0);
  dlg.SetPenCell(1, HPGL_Import::COL_FEED, "800");
  dlg.SetPenCell(1, HPGL_Import::COL_TOOL, "3");
  dlg.SetGlobalValue(HPGL_Import::FLD_FEED, "2000");
  dlg.SetGlobalValue(HPGL_Import::FLD_TOOL, "5");
  dlg.SetGlobalValue(HPGL_Import::FLD_ZDEPTH, "-1.5");
  dlg.SetOptions(true, true, false, true);  // 1016 units per inch
  ASSERT_TRUE(dlg.Convert()) << dlg.ReportText();
  const std::string nc = testsupport::ReadFile(file + ".nc");
  EXPECT_NE(nc.find("M6 T5"), std::string::npos) << nc;
  EXPECT_NE(nc.find("G1 Z-1.5"), std::string::npos) << nc;
  EXPECT_NE(nc.find("G1 X101.6 F2000"), std::string::npos) << nc;
  EXPECT_EQ(nc.find("F800"), std::string::npos) << nc;
}

TEST_F(HpglImportDialog, ZeroPenValuesFallBackToGlobalAndAreReported) {
  OpenFiles();
  const std::string file = Plot("zero.plt", "SP2;PD0,0,400,0;PU;");
  HPGL_Import dlg(nullptr, file);
  dlg.SetSelections(1, 1, 1, 0);
  for (auto col : {HPGL_Import::COL_FEED, HPGL_Import::COL_ZFEED, HPGL_Import::COL_TOOL, HPGL_Import::COL_SPINDLE})
    dlg.SetPenCell(2, col, "0");
  dlg.SetGlobalValue(HPGL_Import::FLD_TOOL, "4");
  ASSERT_TRUE(dlg.Convert());
  const std::string report = dlg.ReportText();
  EXPECT_NE(report.find("Feedrate is 0, changed to global value. Pen= 2\n"), std::string::npos) << report;
  EXPECT_NE(report.find("ZFeedrate is 0, changed to global value. Pen= 2\n"), std::string::npos) << report;
  EXPECT_NE(report.find("Tool is not assigned, changed to global value. Pen= 2\n"), std::string::npos) << report;
  EXPECT_NE(report.find("Spindle Speed is 0, changed to global value. Pen= 2\n"), std::string::npos) << report;
  EXPECT_NE(testsupport::ReadFile(file + ".nc").find("M6 T4"), std::string::npos);
}

TEST_F(HpglImportDialog, VelocityColumnDrivesFeedInVsMode) {
  OpenFiles();
  const std::string file = Plot("vs.plt", "VS2,1;SP1;PD0,0,4000,0;PU;");
  HPGL_Import dlg(nullptr, file);
  EXPECT_EQ(dlg.PenCell(1, HPGL_Import::COL_VELOCITY), "1200");
  dlg.SetSelections(0, 2, 0, 0);
  dlg.SetPenCell(1, HPGL_Import::COL_VELOCITY, "900");  // operator overrides the file
  ASSERT_TRUE(dlg.Convert()) << dlg.ReportText();
  EXPECT_NE(testsupport::ReadFile(file + ".nc").find("G1 X100 F900"), std::string::npos);
}

TEST_F(HpglImportDialog, InactivePenIsLeftOut) {
  OpenFiles();
  const std::string file = Plot("two.plt", "SP1;PD0,0,400,0;PU;SP2;PD0,0,0,400;PU;");
  HPGL_Import dlg(nullptr, file);
  dlg.SetSelections(0, 0, 1, 0);
  dlg.SetPenCell(1, HPGL_Import::COL_TOOL, "1");
  dlg.SetPenCell(2, HPGL_Import::COL_TOOL, "2");
  dlg.SetPenCell(2, HPGL_Import::COL_ACTIVE, "");
  ASSERT_TRUE(dlg.Convert());
  const std::string nc = testsupport::ReadFile(file + ".nc");
  EXPECT_NE(nc.find("M6 T1"), std::string::npos) << nc;
  EXPECT_EQ(nc.find("M6 T2"), std::string::npos) << nc;
  bool active = true;
  EXPECT_TRUE(SavedSettings()->GetBool("HPGL_PenActive", 2, active));
  EXPECT_FALSE(active);
}

TEST_F(HpglImportDialog, BadNumberStopsBeforeAnythingIsWritten) {
  OpenFiles();
  const std::string file = Plot("bad.plt", "SP1;PD0,0,400,0;PU;");
  HPGL_Import dlg(nullptr, file);
  dlg.SetGlobalValue(HPGL_Import::FLD_FEED, "fast");
  EXPECT_FALSE(dlg.Convert());
  EXPECT_NE(dlg.ReportText().find("Not a number: Feed (mm/min)"), std::string::npos) << dlg.ReportText();
  dlg.SetGlobalValue(HPGL_Import::FLD_FEED, "1000");
  dlg.SetPenCell(1, HPGL_Import::COL_ZDEPTH, "1.2.3");
  EXPECT_FALSE(dlg.Convert());
  EXPECT_NE(dlg.ReportText().find("Not a number: Pen 1, Z-depth (mm)"), std::string::npos) << dlg.ReportText();
  EXPECT_TRUE(dlg.OutputFile().empty());
  EXPECT_FALSE(Exists(file + ".nc"));
  std::string value;
  EXPECT_FALSE(SavedSettings()->GetValue("HPGL_Feedrate", value));
}

TEST_F(HpglImportDialog, FileWithoutStrokesIsAnImportError) {
  OpenFiles();
  const std::string file = Plot("empty.plt", "IN;SP1;");
  HPGL_Import dlg(nullptr, file);
  ASSERT_TRUE(dlg.FileRead());
  EXPECT_FALSE(dlg.Convert());
  EXPECT_EQ(dlg.ReportText().rfind("Import Error\n", 0), 0u) << dlg.ReportText();
  EXPECT_TRUE(dlg.OutputFile().empty());
}

TEST_F(HpglImportDialog, UnsupportedCommandsShowInTheReportOnOpen) {
  OpenFiles();
  const std::string file = Plot("odd.plt", "SP1;PD0,0,400,0;PU;XX1;");
  HPGL_Import dlg(nullptr, file);
  EXPECT_NE(dlg.ReportText().find("Command not supported: XX"), std::string::npos) << dlg.ReportText();
}

TEST(OperatorNumber, AcceptsPointOrCommaOnly) {
  double v = 0;
  EXPECT_TRUE(ParseOperatorNumber(" -1,25 ", v));
  EXPECT_DOUBLE_EQ(v, -1.25);
  EXPECT_TRUE(ParseOperatorNumber("1e3", v));
  EXPECT_DOUBLE_EQ(v, 1000);
  for (const char* bad : {"", "  ", "12mm", "1.2.3", "nan", "inf", "--1"}) EXPECT_FALSE(ParseOperatorNumber(bad, v)) << bad;
}

class MainFrameImport : public HpglImportDialog {
 protected:
  void SetUp() override {
    HpglImportDialog::SetUp();
    OpenFiles();
    frame = new Quorvane2Frame();
  }
  void TearDown() override {
    frame->Destroy();
    HpglImportDialog::TearDown();
  }
  Quorvane2Frame* frame = nullptr;
};

TEST_F(MainFrameImport, ConvertedProgramIsLoaded) {
  const std::string file = Plot("frame.plt", "SP1;PD0,0,4000,0;PU;");
  bool shown = false;
  frame->SetDialogRunner([&](HPGL_Import& dlg) {
    shown = true;
    EXPECT_EQ(dlg.SourceFile(), file);
    dlg.SetSelections(0, 0, 0, 0);
    dlg.SetGlobalValue(HPGL_Import::FLD_FEED, "750");
    return dlg.Convert() ? wxID_OK : wxID_CANCEL;
  });
  ASSERT_TRUE(frame->ImportHpgl(file));
  EXPECT_TRUE(shown);
  EXPECT_EQ(frame->ProgramFile(), file + ".nc");
  const std::string text = frame->ProgramText()->GetValue().utf8_string();
  EXPECT_EQ(text, testsupport::ReadFile(file + ".nc"));
  EXPECT_NE(text.find("G1 X100 F750"), std::string::npos) << text;
}

TEST_F(MainFrameImport, CancelLoadsNothing) {
  const std::string file = Plot("cancel.plt", "SP1;PD0,0,4000,0;PU;");
  frame->SetDialogRunner([](HPGL_Import&) { return wxID_CANCEL; });
  EXPECT_FALSE(frame->ImportHpgl(file));
  EXPECT_TRUE(frame->ProgramFile().empty());
  EXPECT_TRUE(frame->ProgramText()->IsEmpty());
  EXPECT_FALSE(Exists(file + ".nc"));
}

TEST_F(MainFrameImport, MissingFileIsReportedWithoutDialog) {
  bool shown = false;
  frame->SetDialogRunner([&](HPGL_Import&) {
    shown = true;
    return wxID_OK;
  });
  EXPECT_FALSE(frame->ImportHpgl(Folders::Join(work, "nothere.plt")));
  EXPECT_FALSE(shown);
  EXPECT_TRUE(frame->Messages()->GetValue().StartsWith("Import Error")) << frame->Messages()->GetValue();
}

TEST_F(MainFrameImport, LoadProgramNormalisesLineEnds) {
  const std::string path = Folders::Join(work, "prog.nc");
  testsupport::WriteFile(path, "G0 X1\rG1 Y2\r\nM30\n");
  ASSERT_TRUE(frame->LoadProgram(path));
  EXPECT_EQ(frame->ProgramText()->GetValue(), "G0 X1\nG1 Y2\nM30\n");
  EXPECT_TRUE(frame->GetTitle().EndsWith("prog.nc"));

  EXPECT_FALSE(frame->LoadProgram(Folders::Join(work, "missing.nc")));
  EXPECT_EQ(frame->ProgramFile(), path);  // the loaded program stays
  EXPECT_TRUE(frame->Messages()->GetValue().Contains("Could not open file"));
}

}  // namespace
