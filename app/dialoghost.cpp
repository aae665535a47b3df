#include "app/dialoghost.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <utility>

#include <wx/button.h>
#include <wx/dialog.h>
#include <wx/msgdlg.h>
#include <wx/sizer.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>

#include "interpreter/operatordialog.h"

namespace {

// Unattended runs (QUORVANE_DIALOGS=auto): every dialog is written to
// stderr and takes its default answer, so that scripts and CI can start the
// real program without anybody at the screen.
int AutoAnswer(DialogRequest& r) {
  std::fprintf(stderr, "dialog: %s: %s\n", r.caption.c_str(), r.text.c_str());
  switch (r.kind) {
    case DialogRequest::CHOICE:
      return r.choices.empty() ? -1 : 0;
    case DialogRequest::ASK:
      return wxID_OK;
    default:
      return (r.style & wxYES_NO) ? ((r.style & wxNO_DEFAULT) ? wxID_NO : wxID_YES) : wxID_OK;
  }
}

DialogHost::Responder& TheResponder() {
  static DialogHost::Responder responder = [] {
    const char* mode = std::getenv("QUORVANE_DIALOGS");
    return mode && std::string(mode) == "auto" ? DialogHost::Responder(AutoAnswer) : DialogHost::Responder();
  }();
  return responder;
}

// A number in the form of an ASKMULTI format ("%f", "%.2f", "%d" or text
// around one of them); anything unusable falls back to plain decimals.
wxString FormatValue(const std::string& format, double v) {
  const size_t pct = format.find('%');
  if (pct != std::string::npos) {
    const size_t conv = format.find_first_of("fd", pct);
    if (conv != std::string::npos && format.find('%', pct + 1) > conv) {
      char buf[128];
      const std::string f = format.substr(0, conv + 1);
      if (format[conv] == 'd') std::snprintf(buf, sizeof buf, f.c_str(), static_cast<int>(std::lround(v)));
      else std::snprintf(buf, sizeof buf, f.c_str(), v);
      return wxString::FromUTF8(buf);
    }
  }
  return wxString::FromCDouble(v, 3);
}

wxString LimitHint(bool hasLower, double lower, bool hasUpper, double upper) {
  if (hasLower && hasUpper) return wxString::Format("(%g to %g)", lower, upper);
  if (hasLower) return wxString::Format("(at least %g)", lower);
  if (hasUpper) return wxString::Format("(at most %g)", upper);
  return wxString();
}

// The number and multi-field dialogs: one text field per value, OK only
// when every field holds a number within its limits.
class AskWindow : public wxDialog {
 public:
  AskWindow(wxWindow* parent, AskDialog& d)
      : wxDialog(parent, wxID_ANY, wxString::FromUTF8(d.title.empty() ? "Please confirm" : d.title)), dialog(d) {
    auto* top = new wxBoxSizer(wxVERTICAL);
    if (!d.text.empty()) top->Add(new wxStaticText(this, wxID_ANY, wxString::FromUTF8(d.text)), 0, wxALL, 10);
    auto* grid = new wxFlexGridSizer(3, 6, 8);
    if (d.type == AskDialog::MULTI) {
      for (const AskField& f : d.fields)
        AddField(grid, f.prompt, f.value, LimitHint(f.hasLower, f.lower, f.hasUpper, f.upper), d.format1);
    } else {
      AddField(grid, d.type == AskDialog::INT ? "Integer:" : "Number:", d.value,
               LimitHint(d.hasLower, d.lower, d.hasUpper, d.upper), d.type == AskDialog::INT ? "%d" : "");
    }
    top->Add(grid, 0, wxLEFT | wxRIGHT | wxBOTTOM, 10);
    error = new wxStaticText(this, wxID_ANY, wxString());
    error->SetForegroundColour(*wxRED);
    top->Add(error, 0, wxLEFT | wxRIGHT, 10);
    top->Add(CreateStdDialogButtonSizer(wxOK | wxCANCEL), 0, wxEXPAND | wxALL, 10);
    SetSizerAndFit(top);
    CentreOnParent();
    Bind(wxEVT_BUTTON, &AskWindow::OnOk, this, wxID_OK);
    if (!fields.empty()) fields.front()->SetFocus();
  }

 private:
  void AddField(wxFlexGridSizer* grid, const std::string& prompt, double value, const wxString& hint,
                const std::string& format) {
    grid->Add(new wxStaticText(this, wxID_ANY, wxString::FromUTF8(prompt)), 0, wxALIGN_CENTER_VERTICAL);
    auto* field = new wxTextCtrl(this, wxID_ANY, FormatValue(format, value), wxDefaultPosition, wxSize(140, -1));
    grid->Add(field, 0);
    grid->Add(new wxStaticText(this, wxID_ANY, hint), 0, wxALIGN_CENTER_VERTICAL);
    fields.push_back(field);
  }

  void OnOk(wxCommandEvent&) {
    std::vector<double> values;
    for (size_t i = 0; i < fields.size(); ++i) {
      double v = 0;
      const bool number = fields[i]->GetValue().Trim().Trim(false).ToCDouble(&v) && std::isfinite(v);
      const bool fits = number && (dialog.type == AskDialog::MULTI ? AskDialog::FieldAccepts(dialog.fields[i], v)
                                                                   : dialog.Accepts(v));
      if (!fits) {
        error->SetLabel("Please enter a number within the limits.");
        fields[i]->SetFocus();
        fields[i]->SelectAll();
        Layout();
        Fit();
        return;
      }
      values.push_back(v);
    }
    if (dialog.type == AskDialog::MULTI) {
      for (size_t i = 0; i < values.size(); ++i) dialog.fields[i].value = values[i];
    } else if (!values.empty()) {
      dialog.value = values[0];
    }
    EndModal(wxID_OK);
  }

  AskDialog& dialog;
  std::vector<wxTextCtrl*> fields;
  wxStaticText* error = nullptr;
};

int ShowMessage(wxWindow* parent, const std::string& caption, const std::string& text, long style) {
  wxMessageDialog dlg(parent, wxString::FromUTF8(text), wxString::FromUTF8(caption), style);
  const int rc = dlg.ShowModal();
  return rc == wxID_CLOSE ? wxID_CANCEL : rc;
}

bool ShowAsk(wxWindow* parent, AskDialog& d) {
  if (d.type == AskDialog::BOOL) {
    const wxString title = wxString::FromUTF8(d.title.empty() ? "Please confirm" : d.title);
    long style = wxICON_QUESTION | wxCENTRE;
    if (d.buttons == AskDialog::OK_ONLY) style |= wxOK;
    else if (d.buttons == AskDialog::YES_NO_CANCEL) style |= wxYES_NO | wxCANCEL;
    else style |= wxOK | wxCANCEL;
    wxMessageDialog dlg(parent, wxString::FromUTF8(d.text), title, style);
    const int rc = dlg.ShowModal();
    if (rc == wxID_OK || rc == wxID_YES) d.value = AskDialog::kYes;
    else if (rc == wxID_NO) d.value = AskDialog::kNo;
    return rc == wxID_OK || rc == wxID_YES || rc == wxID_NO;
  }
  AskWindow dlg(parent, d);
  return dlg.ShowModal() == wxID_OK;
}
}  // namespace

namespace DialogHost {

Responder SetResponder(Responder responder) {
  Responder old = std::move(TheResponder());
  TheResponder() = std::move(responder);
  return old;
}

int Message(wxWindow* parent, const std::string& caption, const std::string& text, long style) {
  if (TheResponder()) {
    DialogRequest r;
    r.kind = DialogRequest::MESSAGE;
    r.caption = caption;
    r.text = text;
    r.style = style;
    return TheResponder()(r);
  }
  return ShowMessage(parent, caption, text, style);
}

int Choose(wxWindow* parent, const std::string& caption, const std::string& text,
           const std::vector<std::string>& labels) {
  if (TheResponder()) {
    DialogRequest r;
    r.kind = DialogRequest::CHOICE;
    r.caption = caption;
    r.text = text;
    r.choices = labels;
    return TheResponder()(r);
  }
  wxDialog dlg(parent, wxID_ANY, wxString::FromUTF8(caption));
  auto* top = new wxBoxSizer(wxVERTICAL);
  top->Add(new wxStaticText(&dlg, wxID_ANY, wxString::FromUTF8(text)), 0, wxALL, 14);
  auto* row = new wxBoxSizer(wxHORIZONTAL);
  row->AddStretchSpacer();
  for (size_t i = 0; i < labels.size(); ++i) {
    auto* b = new wxButton(&dlg, wxID_HIGHEST + 100 + static_cast<int>(i), wxString::FromUTF8(labels[i]));
    if (i == 0) b->SetDefault();
    row->Add(b, 0, wxLEFT, 8);
    b->Bind(wxEVT_BUTTON, [&dlg, i](wxCommandEvent&) { dlg.EndModal(wxID_HIGHEST + 100 + static_cast<int>(i)); });
  }
  top->Add(row, 0, wxEXPAND | wxLEFT | wxRIGHT | wxBOTTOM, 14);
  dlg.SetSizerAndFit(top);
  dlg.CentreOnParent();
  const int rc = dlg.ShowModal() - (wxID_HIGHEST + 100);
  return rc >= 0 && rc < static_cast<int>(labels.size()) ? rc : -1;
}

bool Ask(wxWindow* parent, AskDialog& dialog) {
  if (TheResponder()) {
    DialogRequest r;
    r.kind = DialogRequest::ASK;
    r.caption = dialog.title;
    r.text = dialog.text;
    r.ask = &dialog;
    return TheResponder()(r) == wxID_OK;
  }
  return ShowAsk(parent, dialog);
}

}  // namespace DialogHost
