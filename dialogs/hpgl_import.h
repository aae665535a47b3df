// The "HPGL-Import" dialog: reads a plotter file, lets the operator choose the
// machining values globally or per pen, and writes the G-code program (the
// source name with ".nc" appended). The values are kept in the parameter
// files: read when the dialog opens, written when the operator converts.
#pragma once

#include <string>
#include <vector>

#include <wx/dialog.h>

#include "import/hpgl_parser.h"
#include "import/hpgl_settings.h"

class wxCheckBox;
class wxGrid;
class wxRadioBox;
class wxStaticText;
class wxTextCtrl;

class HPGL_Import : public wxDialog {
 public:
  // Pen table columns, in display order.
  enum PenColumn {
    COL_WIDTH = 0,  // from the file, read only
    COL_VELOCITY,   // VS, mm/min
    COL_ZDEPTH,
    COL_SPINDLE,
    COL_TOOL,
    COL_FEED,
    COL_ZFEED,
    COL_ACTIVE,
    COL_COUNT
  };
  static const char* const kColumnLabels[COL_COUNT];

  // Global value fields, in display order.
  enum GlobalField {
    FLD_ZDEPTH = 0,
    FLD_ZFEED,
    FLD_SPINDLE,
    FLD_FEED,
    FLD_TOOL,
    FLD_TOPMAT,
    FLD_ZSAFE,
    FLD_COUNT
  };

  // Reads the file and the stored settings. Check FileRead() before showing.
  HPGL_Import(wxWindow* parent, const std::string& hpglFile);

  bool FileRead() const { return fileRead; }
  const std::string& SourceFile() const { return sourceFile; }
  // The written program; empty until a conversion succeeded.
  const std::string& OutputFile() const { return outputFile; }
  // The text shown in the report box.
  std::string ReportText() const;

  // Takes the values from the controls, stores them, and writes the program.
  // False (with the reason in the report box) when a value is not a number,
  // or the program could not be written ("Import Error").
  bool Convert();

  // Access for the pen table by pen number (tests and the main window).
  int PenRow(int pen) const;
  int PenRowCount() const;
  wxGrid* PenGrid() const { return grid; }
  void SetPenCell(int pen, PenColumn col, const wxString& text);
  wxString PenCell(int pen, PenColumn col) const;
  void SetGlobalValue(GlobalField field, const wxString& text);
  wxString GlobalValue(GlobalField field) const;
  // Selections: 0 = global value, 1 = pen table (feed: 2 = the file's VS).
  void SetSelections(int zSel, int feedSel, int toolSel, int offsetSel);
  void SetOptions(bool corel, bool metric, bool lineNumbers, bool constVel);

  const HPGL_Parser& Parser() const { return parser; }

 private:
  void BuildControls();
  void FillControls();
  bool ReadControls(HpglSettings& s, std::vector<HpglPenSettings>& table, std::string& error) const;
  void ShowReport(const std::string& text);
  void OnOk(wxCommandEvent& event);

  std::string sourceFile;
  std::string outputFile;
  bool fileRead = false;
  HPGL_Parser parser;
  HpglSettings settings;
  std::vector<HpglPenSettings> penTable;
  std::vector<int> rowPens;  // pen number of each grid row

  wxTextCtrl* globals[FLD_COUNT] = {};
  wxRadioBox* zSel = nullptr;
  wxRadioBox* feedSel = nullptr;
  wxRadioBox* toolSel = nullptr;
  wxRadioBox* offsetSel = nullptr;
  wxCheckBox* corel = nullptr;
  wxCheckBox* metric = nullptr;
  wxCheckBox* lineNumbers = nullptr;
  wxCheckBox* constVel = nullptr;
  wxGrid* grid = nullptr;
  wxTextCtrl* report = nullptr;
  wxStaticText* info = nullptr;
};

// Parses a number typed by the operator: blanks around it allowed, a decimal
// comma accepted. False for empty or malformed text.
bool ParseOperatorNumber(const wxString& text, double& value);
