#include "dialogs/hpgl_import.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include <wx/button.h>
#include <wx/checkbox.h>
#include <wx/filename.h>
#include <wx/grid.h>
#include <wx/msgdlg.h>
#include <wx/radiobox.h>
#include <wx/sizer.h>
#include <wx/statbox.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>

#include "base/logging.h"
#include "params/parafile.h"

namespace {
constexpr int32_t LOG_IMPORT_MESSAGE = LOGCAT_IMPORT_FILTER | 4;
constexpr int32_t LOG_IMPORT_ERROR = LOGCAT_IMPORT_FILTER | 6;
constexpr double kVsToMmPerMin = 600.0;  // VS is given in cm/s

const char* const kGlobalLabels[HPGL_Import::FLD_COUNT] = {
    "Z-depth (mm)",       "Z-Feed (mm/min)",  "Spindle speed", "Feed (mm/min)",
    "Tool no.",           "Material top (mm)", "Safe Z for rapid moves (mm)",
};

// Shown without trailing zeros ("800", "0.35").
wxString Num(double v) { return wxString::FromUTF8(HpglFormatNumber(v)); }
}  // namespace

const char* const HPGL_Import::kColumnLabels[COL_COUNT] = {
    "PW (mm)", "VS (mm/min)", "Z-depth (mm)", "Spindle speed", "Tool no.", "Feed (mm/min)", "Z-Feed (mm/min)", "Active",
};

bool ParseOperatorNumber(const wxString& text, double& value) {
  std::string s = text.Strip(wxString::both).ToStdString();
  std::replace(s.begin(), s.end(), ',', '.');
  if (s.empty()) return false;
  // strtod follows the C locale the process runs with; a GUI locale with a
  // decimal comma is covered by the replacement above.
  char* end = nullptr;
  const double v = std::strtod(s.c_str(), &end);
  if (end == s.c_str() || *end != '\0' || !std::isfinite(v)) return false;
  value = v;
  return true;
}

HPGL_Import::HPGL_Import(wxWindow* parent, const std::string& hpglFile)
    : wxDialog(parent, wxID_ANY, "HPGL-Import", wxDefaultPosition, wxDefaultSize,
               wxDEFAULT_DIALOG_STYLE | wxRESIZE_BORDER),
      sourceFile(hpglFile) {
  fileRead = parser.ReadHpglFile(hpglFile);
  LoadHpglSettings(settings, penTable);
  // Pen numbers beyond the stored table still get a row of their own.
  int maxPen = 0;
  for (const HpglPen& p : parser.Pens()) maxPen = std::max(maxPen, p.number);
  if (penTable.size() <= static_cast<size_t>(maxPen)) penTable.resize(static_cast<size_t>(maxPen) + 1);
  BuildControls();
  FillControls();
  Bind(wxEVT_BUTTON, &HPGL_Import::OnOk, this, wxID_OK);
}

void HPGL_Import::BuildControls() {
  auto* top = new wxBoxSizer(wxVERTICAL);

  info = new wxStaticText(this, wxID_ANY, wxString());
  top->Add(info, 0, wxALL | wxEXPAND, 8);

  auto* upper = new wxBoxSizer(wxHORIZONTAL);

  auto* globalBox = new wxStaticBoxSizer(wxVERTICAL, this, "Global values");
  auto* globalGrid = new wxFlexGridSizer(2, 4, 8);
  for (int i = 0; i < FLD_COUNT; ++i) {
    globalGrid->Add(new wxStaticText(globalBox->GetStaticBox(), wxID_ANY, kGlobalLabels[i]), 0,
                    wxALIGN_CENTER_VERTICAL);
    globals[i] = new wxTextCtrl(globalBox->GetStaticBox(), wxID_ANY, wxString(), wxDefaultPosition,
                                wxSize(90, -1));
    globalGrid->Add(globals[i], 0);
  }
  globalBox->Add(globalGrid, 0, wxALL, 6);
  upper->Add(globalBox, 0, wxALL | wxEXPAND, 4);

  auto* selBox = new wxBoxSizer(wxVERTICAL);
  const wxString twoChoices[] = {"Global value", "Pen table"};
  const wxString feedChoices[] = {"Global value", "Pen table", "Pen velocity (VS)"};
  const wxString offsetChoices[] = {"None", "Lower left corner to origin", "Centre to origin"};
  zSel = new wxRadioBox(this, wxID_ANY, "Z-depth and Z-Feed", wxDefaultPosition, wxDefaultSize, 2, twoChoices, 1);
  feedSel = new wxRadioBox(this, wxID_ANY, "Feed", wxDefaultPosition, wxDefaultSize, 3, feedChoices, 1);
  toolSel = new wxRadioBox(this, wxID_ANY, "Tool and spindle speed", wxDefaultPosition, wxDefaultSize, 2,
                           twoChoices, 1);
  offsetSel = new wxRadioBox(this, wxID_ANY, "Offset", wxDefaultPosition, wxDefaultSize, 3, offsetChoices, 1);
  selBox->Add(zSel, 0, wxALL | wxEXPAND, 2);
  selBox->Add(feedSel, 0, wxALL | wxEXPAND, 2);
  selBox->Add(toolSel, 0, wxALL | wxEXPAND, 2);
  upper->Add(selBox, 0, wxALL | wxEXPAND, 4);

  auto* optBox = new wxBoxSizer(wxVERTICAL);
  optBox->Add(offsetSel, 0, wxALL | wxEXPAND, 2);
  auto* unitBox = new wxStaticBoxSizer(wxVERTICAL, this, "Options");
  corel = new wxCheckBox(unitBox->GetStaticBox(), wxID_ANY, "1016 plotter units per inch");
  metric = new wxCheckBox(unitBox->GetStaticBox(), wxID_ANY, "Metric");
  lineNumbers = new wxCheckBox(unitBox->GetStaticBox(), wxID_ANY, "Line numbers");
  constVel = new wxCheckBox(unitBox->GetStaticBox(), wxID_ANY, "Constant velocity mode (G64)");
  for (wxCheckBox* c : {corel, metric, lineNumbers, constVel}) unitBox->Add(c, 0, wxALL, 3);
  optBox->Add(unitBox, 0, wxALL | wxEXPAND, 2);
  upper->Add(optBox, 0, wxALL | wxEXPAND, 4);

  top->Add(upper, 0, wxEXPAND);

  grid = new wxGrid(this, wxID_ANY, wxDefaultPosition, wxSize(-1, 160));
  grid->CreateGrid(0, COL_COUNT);
  for (int c = 0; c < COL_COUNT; ++c) grid->SetColLabelValue(c, kColumnLabels[c]);
  grid->SetRowLabelSize(60);
  auto* boolAttr = new wxGridCellAttr;
  boolAttr->SetEditor(new wxGridCellBoolEditor);
  boolAttr->SetRenderer(new wxGridCellBoolRenderer);
  boolAttr->SetAlignment(wxALIGN_CENTER, wxALIGN_CENTER);
  grid->SetColAttr(COL_ACTIVE, boolAttr);
  auto* readOnly = new wxGridCellAttr;
  readOnly->SetReadOnly(true);
  readOnly->SetBackgroundColour(wxColour(235, 235, 235));
  grid->SetColAttr(COL_WIDTH, readOnly);
  top->Add(new wxStaticText(this, wxID_ANY, "Pens"), 0, wxLEFT | wxTOP, 8);
  top->Add(grid, 1, wxALL | wxEXPAND, 4);

  top->Add(new wxStaticText(this, wxID_ANY, "Conversion report"), 0, wxLEFT, 8);
  report = new wxTextCtrl(this, wxID_ANY, wxString(), wxDefaultPosition, wxSize(-1, 90),
                          wxTE_MULTILINE | wxTE_READONLY);
  top->Add(report, 0, wxALL | wxEXPAND, 4);

  top->Add(CreateStdDialogButtonSizer(wxOK | wxCANCEL), 0, wxALL | wxEXPAND, 8);
  SetSizerAndFit(top);
}

void HPGL_Import::FillControls() {
  const double values[FLD_COUNT] = {settings.zDepth,   settings.zFeed, settings.spindleSpeed,
                                    settings.feedrate, double(settings.tool), settings.topMat,
                                    settings.zSafe};
  for (int i = 0; i < FLD_COUNT; ++i) globals[i]->ChangeValue(Num(values[i]));
  zSel->SetSelection(std::clamp(settings.zSel, 0, 1));
  feedSel->SetSelection(std::clamp(settings.feedSel, 0, 2));
  toolSel->SetSelection(std::clamp(settings.toolSel, 0, 1));
  offsetSel->SetSelection(std::clamp(settings.offsetSel, 0, 2));
  corel->SetValue(settings.corel);
  metric->SetValue(settings.metric);
  lineNumbers->SetValue(settings.withLineNumbers);
  constVel->SetValue(settings.constVel);

  const auto& pens = parser.Pens();
  rowPens.clear();
  if (grid->GetNumberRows() > 0) grid->DeleteRows(0, grid->GetNumberRows());
  grid->AppendRows(static_cast<int>(pens.size()));
  for (size_t r = 0; r < pens.size(); ++r) {
    const HpglPen& pen = pens[r];
    const HpglPenSettings& row = penTable[static_cast<size_t>(pen.number)];
    const int ir = static_cast<int>(r);
    rowPens.push_back(pen.number);
    grid->SetRowLabelValue(ir, wxString::Format("Pen %d", pen.number));
    // The file's VS wins over the stored one, as it does in the conversion.
    const double vs = pen.velocity > 0 ? pen.velocity
                      : parser.GlobalVelocity() > 0 ? parser.GlobalVelocity()
                                                    : row.velocity;
    grid->SetCellValue(ir, COL_WIDTH, Num(pen.width));
    grid->SetCellValue(ir, COL_VELOCITY, Num(vs * kVsToMmPerMin));
    grid->SetCellValue(ir, COL_ZDEPTH, Num(row.zDepth));
    grid->SetCellValue(ir, COL_SPINDLE, Num(row.spindleSpeed));
    grid->SetCellValue(ir, COL_TOOL, wxString::Format("%d", row.tool));
    grid->SetCellValue(ir, COL_FEED, Num(row.feed));
    grid->SetCellValue(ir, COL_ZFEED, Num(row.zFeed));
    grid->SetCellValue(ir, COL_ACTIVE, row.active ? "1" : "");
  }
  grid->AutoSizeColumns(false);

  wxString text = wxString::Format("File: %s", wxFileName(sourceFile).GetFullName());
  if (!fileRead) {
    text += "  (could not be read)";
  } else {
    text += wxString::Format("   Pens: %zu   Paths: %zu", pens.size(), parser.Paths().size());
    if (parser.HasBox()) {
      const double* b = parser.Box();
      text += wxString::Format("   Size: %.1f x %.1f mm", (b[2] - b[0]) * HPGL_Parser::kMmPerUnit,
                               (b[3] - b[1]) * HPGL_Parser::kMmPerUnit);
    }
  }
  info->SetLabel(text);
  ShowReport(fileRead ? parser.Report() : parser.Message());
}

bool HPGL_Import::ReadControls(HpglSettings& s, std::vector<HpglPenSettings>& table, std::string& error) const {
  double v[FLD_COUNT];
  for (int i = 0; i < FLD_COUNT; ++i) {
    if (!ParseOperatorNumber(globals[i]->GetValue(), v[i])) {
      error = std::string("Not a number: ") + kGlobalLabels[i];
      return false;
    }
  }
  s.zDepth = v[FLD_ZDEPTH];
  s.zFeed = v[FLD_ZFEED];
  s.spindleSpeed = v[FLD_SPINDLE];
  s.feedrate = v[FLD_FEED];
  s.tool = static_cast<int>(std::lround(v[FLD_TOOL]));
  s.topMat = v[FLD_TOPMAT];
  s.zSafe = v[FLD_ZSAFE];
  s.zSel = zSel->GetSelection();
  s.feedSel = feedSel->GetSelection();
  s.toolSel = toolSel->GetSelection();
  s.offsetSel = offsetSel->GetSelection();
  s.corel = corel->GetValue();
  s.metric = metric->GetValue();
  s.withLineNumbers = lineNumbers->GetValue();
  s.constVel = constVel->GetValue();

  for (size_t r = 0; r < rowPens.size(); ++r) {
    const int ir = static_cast<int>(r);
    HpglPenSettings& row = table[static_cast<size_t>(rowPens[r])];
    double cell[COL_COUNT] = {};
    for (int c = COL_VELOCITY; c < COL_ACTIVE; ++c) {
      if (!ParseOperatorNumber(grid->GetCellValue(ir, c), cell[c])) {
        error = wxString::Format("Not a number: Pen %d, %s", rowPens[r], kColumnLabels[c]).ToStdString();
        return false;
      }
    }
    row.velocity = cell[COL_VELOCITY] / kVsToMmPerMin;
    row.zDepth = cell[COL_ZDEPTH];
    row.spindleSpeed = cell[COL_SPINDLE];
    row.tool = static_cast<int>(std::lround(cell[COL_TOOL]));
    row.feed = cell[COL_FEED];
    row.zFeed = cell[COL_ZFEED];
    const wxString active = grid->GetCellValue(ir, COL_ACTIVE);
    row.active = !active.empty() && active != "0";
  }
  return true;
}

bool HPGL_Import::Convert() {
  HpglSettings s = settings;
  std::vector<HpglPenSettings> table = penTable;
  std::string error;
  if (!ReadControls(s, table, error)) {
    ShowReport(error + "\n");
    return false;
  }
  settings = s;
  penTable = table;
  SaveHpglSettings(settings, penTable);
  if (!fileRead) {
    ShowReport("Import Error\n" + parser.Message() + "\n");
    return false;
  }
  // The VS column is what the operator sees and may have changed: it is the
  // velocity the conversion uses.
  for (size_t r = 0; r < rowPens.size(); ++r) {
    if (HpglPen* pen = parser.FindPen(rowPens[r])) pen->velocity = penTable[static_cast<size_t>(rowPens[r])].velocity;
  }
  parser.ApplySettings(settings, penTable);
  if (!parser.WriteGCode(sourceFile)) {
    LogMessage(LOG_IMPORT_ERROR, "HPGL_Import:: Import Error %s", parser.Message().c_str());
    ShowReport("Import Error\n" + parser.Message() + "\n" + parser.Report());
    outputFile.clear();
    return false;
  }
  outputFile = sourceFile + ".nc";
  LogMessage(LOG_IMPORT_MESSAGE, "HPGL_Import:: converted %s", outputFile.c_str());
  ShowReport(parser.Report());
  return true;
}

void HPGL_Import::ShowReport(const std::string& text) { report->ChangeValue(wxString::FromUTF8(text)); }

std::string HPGL_Import::ReportText() const { return report->GetValue().utf8_string(); }

void HPGL_Import::OnOk(wxCommandEvent&) {
  // A cell still being edited has not reached the table yet.
  if (grid->IsCellEditControlEnabled()) grid->SaveEditControlValue();
  if (Convert()) {
    EndModal(wxID_OK);
    return;
  }
  wxMessageBox(report->GetValue(), "Import Error", wxOK | wxICON_ERROR, this);
}

int HPGL_Import::PenRow(int pen) const {
  for (size_t r = 0; r < rowPens.size(); ++r)
    if (rowPens[r] == pen) return static_cast<int>(r);
  return -1;
}

int HPGL_Import::PenRowCount() const { return grid->GetNumberRows(); }

void HPGL_Import::SetPenCell(int pen, PenColumn col, const wxString& text) {
  const int r = PenRow(pen);
  if (r >= 0) grid->SetCellValue(r, col, text);
}

wxString HPGL_Import::PenCell(int pen, PenColumn col) const {
  const int r = PenRow(pen);
  return r >= 0 ? grid->GetCellValue(r, col) : wxString();
}

void HPGL_Import::SetGlobalValue(GlobalField field, const wxString& text) { globals[field]->ChangeValue(text); }

wxString HPGL_Import::GlobalValue(GlobalField field) const { return globals[field]->GetValue(); }

void HPGL_Import::SetSelections(int z, int feed, int tool, int offset) {
  zSel->SetSelection(z);
  feedSel->SetSelection(feed);
  toolSel->SetSelection(tool);
  offsetSel->SetSelection(offset);
}

void HPGL_Import::SetOptions(bool corelUnits, bool metricUnits, bool withLineNumbers, bool constVelocity) {
  corel->SetValue(corelUnits);
  metric->SetValue(metricUnits);
  lineNumbers->SetValue(withLineNumbers);
  constVel->SetValue(constVelocity);
}
