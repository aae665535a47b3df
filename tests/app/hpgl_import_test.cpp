// The HPGL import dialog and the main window's import, driven without modal
// loops on a real (virtual) display.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <wx/grid.h>
#include <wx/textctrl.h>

#include "base/folders.h"
#include "dialogs/hpgl_import.h"
#include "app/mainframe.h"
#include "app/programview.h"
#include "gui_harness.h"
#include "params/parafile.h"
#include "common/testsupport.h"

namespace {

using enum HPGL_Import::PenColumn;
using enum HPGL_Import::GlobalField;
constexpr auto npos = std::string::npos;

using Cell = std::tuple<int, HPGL_Import::PenColumn, const char*>;  // pen, column, text
using Global = std::pair<HPGL_Import::GlobalField, const char*>;

class HpglImportDialog : public ::testing::Test {
 protected:
  void SetUp() override { OpenFiles(); }
  void TearDown() override { ResetParameterFilesForTest(); }

  // A fresh parameter folder; stored settings must be in place before the
  // files are opened.
  void OpenFiles(const std::string& userSettings = std::string()) {
    Folders::SetParameters(paramDir = testsupport::MakeTempDir("params"));
    if (!userSettings.empty()) testsupport::WriteFile(Saved(), userSettings);
    ResetParameterFilesForTest();
    OpenParameterFiles();
  }
  std::string Saved() const { return Folders::Join(paramDir, "UserSettings.txt"); }
  static std::string Plot(const std::string& text) {
    const std::string path = Folders::Join(testsupport::MakeTempDir("hpgl"), "plot.plt");
    testsupport::WriteFile(path, text);
    return path;
  }

  std::string paramDir;
};

TEST_F(HpglImportDialog, PenTableShowsEveryPenWithStoredAndFileValues) {
  OpenFiles("HPGL_ZTiefe=-2.5\nHPGL_Feedrate=1500\nHPGL_Speed_02=1234\nHPGL_PenActive_02=0\nHPGL_AssTool_02=7\n");
  // Pens 3 and 4 are never selected: a VS (5 cm/s) or PW alone still gives
  // them a row.
  HPGL_Import dlg(nullptr, Plot("IN;SP1;PD0,0,4000,0;PU;SP2;PD0,0,0,400;PU;VS5,3;PW0.35,4;XX1;"));
  ASSERT_TRUE(dlg.FileRead());
  EXPECT_EQ(dlg.ReportText(), "Command not supported: XX\n");
  ASSERT_EQ(dlg.PenRowCount(), 4);
  EXPECT_EQ(dlg.PenGrid()->GetRowLabelValue(dlg.PenRow(3)), "Pen 3");
  for (const auto& [pen, col, text] : {Cell{2, COL_FEED, "1234"}, {2, COL_TOOL, "7"}, {2, COL_ACTIVE, ""},
                                       {1, COL_ACTIVE, "1"}, {3, COL_VELOCITY, "3000"}, {4, COL_WIDTH, "0.35"}})
    EXPECT_EQ(dlg.PenCell(pen, col), text) << "pen " << pen << " column " << col;
  EXPECT_TRUE(dlg.PenGrid()->IsReadOnly(0, COL_WIDTH));
  // Z-Feed is not stored: the default.
  for (const auto& [field, text] : {Global{FLD_ZDEPTH, "-2.5"}, {FLD_FEED, "1500"}, {FLD_ZFEED, "300"}})
    EXPECT_EQ(dlg.GlobalValue(field), text) << field;
}

// Each plot is converted after the edits, with fresh stored settings; texts
// must appear in the program, texts starting with '!' must not; the values
// used are stored.
TEST_F(HpglImportDialog, ConversionsFollowSelectionsAndPenTable) {
  const struct {
    const char* what;
    const char* plot;
    int sel[4];  // Z, feed, tool, offset
    std::vector<Cell> cells;
    std::vector<Global> globals;
    bool corel, constVel;
    std::vector<std::string> texts;
    const char* report;
    std::vector<std::string> stored = {};
  } cases[] = {
      // Typed as the operator may: decimal comma, blanks.
      {"pen table values, exact stop", "SP1;PD0,0,4000,0;PU;", {1, 1, 1, 0},
       {{1, COL_ZDEPTH, "-0,5"}, {1, COL_ZFEED, "120"}, {1, COL_FEED, " 800 "}, {1, COL_TOOL, "3"},
        {1, COL_SPINDLE, "12000"}},
       {{FLD_ZSAFE, "7"}}, false, false,
       {"G61 (exact stop mode)\nG21 (Metrisch)\nG90\nG0 Z7 (move to secure Z-hight)\n\n\n(Tool Change)\n"
        "M6 T3\nM3 S12000\nG0 Z7\nG0 X0 Y0\nG1 Z-0.5 F120\nG1 X100 F800\n"},
       "", {"HPGL_ZSel=1\n", "HPGL_constVel=0\n", "HPGL_ZG0=7.0\n", "HPGL_Speed_01=800.0\n", "HPGL_ZValue_01=-0.5\n"}},
      {"global values, 1016 units per inch, the report", "SP1;PD0,0,4000,0;PU;XX;", {0, 0, 0, 0},
       {{1, COL_FEED, "800"}, {1, COL_TOOL, "3"}}, {{FLD_FEED, "2000"}, {FLD_TOOL, "5"}, {FLD_ZDEPTH, "-1.5"}},
       true, true, {"M6 T5\n", "G1 Z-1.5 F300\nG1 X101.6 F2000\n", "!F800"}, "Command not supported: XX\n"},
      {"the VS column, as edited, is the feed", "VS2,1;SP1;PD0,0,4000,0;PU;SP2;PD0,0,0,400;", {0, 2, 0, 0},
       {{1, COL_VELOCITY, "900"}}, {}, false, true, {"G1 X100 F900\n", "G1 X0 F1000\nG1 Y10\n"},
       "Pen velocity is 0, changed to global value. Pen= 2\n"},
      {"an inactive pen is left out", "SP1;PD0,0,400,0;PU;SP2;PD0,0,0,400;PU;", {0, 0, 0, 0},
       {{2, COL_ACTIVE, ""}}, {}, false, true, {"G1 X10 F1000\n", "!Y10"}, ""},
  };
  for (const auto& c : cases) {
    OpenFiles();
    const std::string file = Plot(c.plot);
    HPGL_Import dlg(nullptr, file);
    dlg.SetSelections(c.sel[0], c.sel[1], c.sel[2], c.sel[3]);
    for (const auto& [pen, col, text] : c.cells) dlg.SetPenCell(pen, col, text);
    for (const auto& [field, text] : c.globals) dlg.SetGlobalValue(field, text);
    dlg.SetOptions(c.corel, true, false, c.constVel);
    ASSERT_TRUE(dlg.Convert()) << c.what << ": " << dlg.ReportText();
    EXPECT_EQ(dlg.ReportText(), c.report) << c.what;
    EXPECT_EQ(dlg.OutputFile(), file + ".nc") << c.what;
    const std::string nc = testsupport::ReadFile(file + ".nc");
    for (const auto& t : c.texts)
      EXPECT_EQ(nc.find(t[0] == '!' ? t.substr(1) : t) != npos, t[0] != '!') << c.what << ": " << t << "\n" << nc;
    const std::string saved = testsupport::ReadFile(Saved());
    for (const auto& kv : c.stored) EXPECT_NE(saved.find(kv), npos) << c.what << ": " << kv << saved;
  }
}

TEST_F(HpglImportDialog, ErrorsWriteNothing) {
  const std::string file = Plot("SP1;PD0,0,400,0;PU;");
  HPGL_Import dlg(nullptr, file);
  dlg.SetGlobalValue(FLD_FEED, "fast");
  EXPECT_FALSE(dlg.Convert());
  EXPECT_EQ(dlg.ReportText(), "Not a number: Feed (mm/min)\n");
  dlg.SetGlobalValue(FLD_FEED, "1000");
  dlg.SetPenCell(1, COL_ZDEPTH, "1.2.3");
  EXPECT_FALSE(dlg.Convert());
  EXPECT_EQ(dlg.ReportText(), "Not a number: Pen 1, Z-depth (mm)\n");
  EXPECT_TRUE(dlg.OutputFile().empty());
  EXPECT_FALSE(std::filesystem::exists(file + ".nc"));
  EXPECT_EQ(testsupport::ReadFile(Saved()).find("HPGL_Feedrate"), npos);

  HPGL_Import empty(nullptr, Plot("IN;SP1;"));
  ASSERT_TRUE(empty.FileRead());
  EXPECT_FALSE(empty.Convert());
  EXPECT_EQ(empty.ReportText(), "Import Error\nNo NC Data in HPGL File\n");
  EXPECT_TRUE(empty.OutputFile().empty());
}

TEST(OperatorNumber, AcceptsPointOrCommaOnly) {
  double v = 0;
  EXPECT_TRUE(ParseOperatorNumber(" -1,25 ", v));
  EXPECT_DOUBLE_EQ(v, -1.25);
  EXPECT_TRUE(ParseOperatorNumber("1e3", v));
  EXPECT_DOUBLE_EQ(v, 1000);
  for (const char* bad : {"", "  ", "12mm", "1.2.3", "nan", "inf", "--1"})
    EXPECT_FALSE(ParseOperatorNumber(bad, v)) << bad;
  EXPECT_DOUBLE_EQ(v, 1000);  // untouched when rejected
}

// The main window: no dialog for a file that cannot be read, nothing loaded
// on cancel, the converted program loaded, an opened one with its line ends
// normalised.
TEST_F(HpglImportDialog, MainWindowLoadsConvertedAndOpenedPrograms) {
  // The program opened last has no '%' line: adapting it may be offered,
  // and is declined here.
  guitest::DialogScript dialogs;
  dialogs.On("Program error", 1);
  Quorvane2Frame* frame = new Quorvane2Frame();
  auto loaded = [&](const std::string& path) {
    return guitest::PumpUntil([&] { return !frame->IsLoading() && frame->ProgramFile() == path; }, 20);
  };
  const std::string file = Plot("SP1;PD0,0,4000,0;PU;");
  int shown = 0;
  frame->SetDialogRunner([&](HPGL_Import&) { return ++shown, wxID_CANCEL; });
  EXPECT_FALSE(frame->ImportHpgl(file + ".missing"));
  EXPECT_FALSE(frame->ImportHpgl(file));
  EXPECT_EQ(shown, 1);
  EXPECT_TRUE(frame->ProgramFile().empty());
  EXPECT_EQ(frame->Program()->LineCount(), 0);
  EXPECT_FALSE(std::filesystem::exists(file + ".nc"));

  frame->SetDialogRunner([&](HPGL_Import& dlg) {
    EXPECT_EQ(dlg.SourceFile(), file);
    dlg.SetGlobalValue(FLD_FEED, "750");
    return dlg.Convert() ? wxID_OK : wxID_CANCEL;
  });
  EXPECT_TRUE(frame->ImportHpgl(file));
  ASSERT_TRUE(loaded(file + ".nc"));
  std::string text;
  for (int32_t line = 1; line <= frame->Program()->LineCount(); ++line)
    text += frame->Program()->LineText(line).utf8_string() + "\n";
  EXPECT_EQ(text, testsupport::ReadFile(file + ".nc"));
  EXPECT_NE(text.find("G1 X100 F750"), npos) << text;

  const std::string path = Folders::Join(testsupport::MakeTempDir("prog"), "prog.nc");
  testsupport::WriteFile(path, "G0 X1\rG1 Y2\r\nM30\n");
  EXPECT_TRUE(frame->LoadProgram(path));
  ASSERT_TRUE(loaded(path));
  ASSERT_EQ(frame->Program()->LineCount(), 3);
  EXPECT_EQ(frame->Program()->LineText(2), "G1 Y2");
  EXPECT_TRUE(frame->GetTitle().EndsWith("prog.nc"));
  EXPECT_FALSE(frame->LoadProgram(path + ".missing"));
  EXPECT_EQ(frame->ProgramFile(), path);  // the loaded program stays
  // Between them, what the previews of the two programs reported.
  const std::vector<std::string> messages = frame->MessageLines();
  ASSERT_GE(messages.size(), 2u);
  EXPECT_EQ(messages.front(), "Import Error: Could not open file " + file + ".missing");
  EXPECT_EQ(messages.back(), "Could not open file " + path + ".missing");
  // Whatever was offered has been answered before the window goes.
  ASSERT_TRUE(guitest::PumpUntil([&] { return !frame->IsAdapting(); }, 20));
  frame->Destroy();
}

}  // namespace
