#include "dialogs/logicarray_dialog.h"

#include <wx/button.h>
#include <wx/listbox.h>
#include <wx/sizer.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>

#include "base/logging.h"
#include "io/iocycle.h"

namespace {
LogicArrayDialog::Runner& TheRunner() {
  static LogicArrayDialog::Runner runner;
  return runner;
}
}  // namespace

LogicArrayDialog::LogicArrayDialog(wxWindow* parent, LogicArray& logic, std::function<bool()> save)
    : wxDialog(parent, wxID_ANY, "Programmable logic", wxDefaultPosition, wxSize(640, 520),
               wxDEFAULT_DIALOG_STYLE | wxRESIZE_BORDER),
      logic(logic),
      save(std::move(save)) {
  auto* top = new wxBoxSizer(wxVERTICAL);
  top->Add(new wxStaticText(this, wxID_ANY, "Internal logic array"), 0, wxALL, 8);
  top->Add(new wxStaticText(this, wxID_ANY,
                            "One gate per line: AND, OR, DFF (latch) or DEL (delay), the destination (#O output or #N net),\n"
                            "then the inputs (#I input, #O output, #N net, ! inverts; DFF: data, clock; DEL: input, cycles),\n"
                            "separated by commas, optionally \" ;\" and a comment. Example: AND,#O5,#I1,!#I2 ;interlock"),
           0, wxLEFT | wxRIGHT, 8);
  editor = new wxTextCtrl(this, wxID_ANY, wxString::FromUTF8(logic.Text()), wxDefaultPosition, wxDefaultSize,
                          wxTE_MULTILINE | wxTE_DONTWRAP | wxHSCROLL);
  editor->SetFont(wxFont(wxFontInfo(10).Family(wxFONTFAMILY_TELETYPE)));
  top->Add(editor, 3, wxEXPAND | wxALL, 8);
  top->Add(new wxStaticText(this, wxID_ANY, "Rejected lines"), 0, wxLEFT | wxRIGHT, 8);
  errors = new wxListBox(this, wxID_ANY);
  top->Add(errors, 1, wxEXPAND | wxALL, 8);
  auto* buttons = new wxBoxSizer(wxHORIZONTAL);
  auto* check = new wxButton(this, wxID_ANY, "Check");
  buttons->Add(check, 0, wxRIGHT, 8);
  buttons->AddStretchSpacer();
  buttons->Add(new wxButton(this, wxID_OK, "OK"), 0, wxRIGHT, 8);
  buttons->Add(new wxButton(this, wxID_CANCEL, "Cancel"));
  top->Add(buttons, 0, wxEXPAND | wxALL, 8);
  SetSizer(top);
  check->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { Check(); });
  Bind(wxEVT_BUTTON, &LogicArrayDialog::OnOk, this, wxID_OK);
}

int LogicArrayDialog::Run(wxWindow* parent) {
  EnsureLogicAndModbusLoaded();
  LogicArrayDialog dialog(parent, GetLogicArray());
  return TheRunner() ? TheRunner()(dialog) : dialog.ShowModal();
}

void LogicArrayDialog::SetRunner(Runner runner) { TheRunner() = std::move(runner); }

bool LogicArrayDialog::SaveLogicArrayFile() { return SaveLogicArray(); }

bool LogicArrayDialog::Check() {
  LogicArray parsed;
  const std::vector<LogicLineError> rejected = parsed.SetText(editor->GetValue().utf8_string());
  errors->Clear();
  for (const LogicLineError& e : rejected) errors->Append(wxString::FromUTF8(e.Message()));
  return rejected.empty();
}

bool LogicArrayDialog::Apply() {
  if (!Check()) return false;
  LogicArray parsed;
  parsed.SetText(editor->GetValue().utf8_string());
  logic.SetGates(parsed.Gates());
  LogMessage(LOGCAT_USER_ACTIONS | 3, "Logic array changed, %zu gates", logic.GateCount());
  if (save && !save()) {
    errors->Append("The gates are in use, but \"LogicArray.txt\" could not be written.");
    return false;
  }
  return true;
}

std::vector<std::string> LogicArrayDialog::Errors() const {
  std::vector<std::string> out;
  for (unsigned i = 0; i < errors->GetCount(); ++i) out.push_back(errors->GetString(i).utf8_string());
  return out;
}

void LogicArrayDialog::OnOk(wxCommandEvent&) {
  if (Apply()) EndModal(wxID_OK);
}
