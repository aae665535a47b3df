#include "app/mainframe.h"

#include <fstream>
#include <sstream>

#include <wx/filedlg.h>
#include <wx/filename.h>
#include <wx/menu.h>
#include <wx/sizer.h>
#include <wx/splitter.h>
#include <wx/textctrl.h>

#include "dialogs/hpgl_import.h"
#include "base/logging.h"

namespace {
constexpr int32_t LOG_USER_ACTION = LOGCAT_USER_ACTIONS | 3;
constexpr int32_t LOG_FILE = LOGCAT_USER_ACTIONS | 4;

// Program files may end lines with CR, LF or CR LF; the text control wants LF.
std::string NormaliseLineEnds(const std::string& in) {
  std::string out;
  out.reserve(in.size());
  for (size_t i = 0; i < in.size(); ++i) {
    if (in[i] == '\r') {
      out += '\n';
      if (i + 1 < in.size() && in[i + 1] == '\n') ++i;
    } else {
      out += in[i];
    }
  }
  return out;
}
}  // namespace

Quorvane2Frame::Quorvane2Frame() : wxFrame(nullptr, wxID_ANY, "Quorvane", wxDefaultPosition, wxSize(900, 650)) {
  auto* file = new wxMenu;
  file->Append(wxID_OPEN, "Open...\tCtrl-O");
  auto* import = new wxMenu;
  import->Append(ID_IMPORT_HPGL, "HPGL...");
  file->AppendSubMenu(import, "Import");
  file->AppendSeparator();
  file->Append(wxID_EXIT, "Exit");
  auto* bar = new wxMenuBar;
  bar->Append(file, "File");
  SetMenuBar(bar);

  auto* split = new wxSplitterWindow(this, wxID_ANY, wxDefaultPosition, wxDefaultSize, wxSP_LIVE_UPDATE);
  const wxFont mono(wxFontInfo(10).Family(wxFONTFAMILY_TELETYPE));
  programText = new wxTextCtrl(split, wxID_ANY, wxString(), wxDefaultPosition, wxDefaultSize,
                               wxTE_MULTILINE | wxTE_READONLY | wxTE_DONTWRAP | wxTE_RICH2);
  programText->SetFont(mono);
  messages = new wxTextCtrl(split, wxID_ANY, wxString(), wxDefaultPosition, wxDefaultSize,
                            wxTE_MULTILINE | wxTE_READONLY);
  split->SplitHorizontally(programText, messages, -120);
  split->SetSashGravity(1.0);
  split->SetMinimumPaneSize(40);

  CreateStatusBar();
  Bind(wxEVT_MENU, &Quorvane2Frame::OnOpen, this, wxID_OPEN);
  Bind(wxEVT_MENU, &Quorvane2Frame::OnImportHpgl, this, ID_IMPORT_HPGL);
  Bind(wxEVT_MENU, &Quorvane2Frame::OnExit, this, wxID_EXIT);
}

void Quorvane2Frame::AddMessage(const wxString& text) {
  messages->AppendText(text);
  if (!text.EndsWith("\n")) messages->AppendText("\n");
}

bool Quorvane2Frame::LoadProgram(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    AddMessage(wxString::Format("Could not open file %s", wxString::FromUTF8(path)));
    return false;
  }
  std::ostringstream text;
  text << in.rdbuf();
  programText->ChangeValue(wxString::FromUTF8(NormaliseLineEnds(text.str())));
  programFile = path;
  SetTitle(wxString::Format("Quorvane - %s", wxFileName(wxString::FromUTF8(path)).GetFullName()));
  SetStatusText(wxString::FromUTF8(path));
  LogMessage(LOG_FILE, "File loaded: %s", path.c_str());
  return true;
}

bool Quorvane2Frame::ImportHpgl(const std::string& hpglFile) {
  HPGL_Import dialog(this, hpglFile);
  if (!dialog.FileRead()) {
    AddMessage(wxString::FromUTF8("Import Error: " + dialog.ReportText()));
    return false;
  }
  const int result = runDialog ? runDialog(dialog) : dialog.ShowModal();
  if (result != wxID_OK || dialog.OutputFile().empty()) return false;
  const std::string report = dialog.ReportText();
  if (!report.empty()) AddMessage(wxString::FromUTF8(report));
  return LoadProgram(dialog.OutputFile());
}

void Quorvane2Frame::OnOpen(wxCommandEvent&) {
  LogMessage(LOG_USER_ACTION, "UserAction: Open");
  wxFileDialog dlg(this, "Open part program", wxString(), wxString(),
                   "Part programs (*.nc;*.txt;*.tap;*.ngc)|*.nc;*.txt;*.tap;*.ngc|All files|*",
                   wxFD_OPEN | wxFD_FILE_MUST_EXIST);
  if (dlg.ShowModal() != wxID_OK) return;
  LoadProgram(dlg.GetPath().utf8_string());
}

void Quorvane2Frame::OnImportHpgl(wxCommandEvent&) {
  LogMessage(LOG_USER_ACTION, "UserAction: Import HPGL");
  wxFileDialog dlg(this, "Import HPGL file", wxString(), wxString(),
                   "HPGL files (*.plt;*.hpgl;*.hpg;*.hgl)|*.plt;*.hpgl;*.hpg;*.hgl|All files|*",
                   wxFD_OPEN | wxFD_FILE_MUST_EXIST);
  if (dlg.ShowModal() != wxID_OK) return;
  ImportHpgl(dlg.GetPath().utf8_string());
}

void Quorvane2Frame::OnExit(wxCommandEvent&) {
  LogMessage(LOG_USER_ACTION, "UserAction: Exit");
  Close();
}
