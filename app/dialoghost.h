// Every question and message the application puts to the operator goes
// through here, so that the texts stay in one place and a test can answer
// them without a modal loop (SetResponder).
#pragma once

#include <functional>
#include <string>
#include <vector>

class wxWindow;
struct AskDialog;

struct DialogRequest {
  enum Kind { MESSAGE, CHOICE, ASK };
  Kind kind = MESSAGE;
  std::string caption;
  std::string text;
  long style = 0;                    // MESSAGE: wxOK, wxYES_NO, wxOK | wxCANCEL, icon bits
  std::vector<std::string> choices;  // CHOICE: button labels
  AskDialog* ask = nullptr;          // ASK: fill in the answers on OK
};

namespace DialogHost {
// A responder answers instead of the operator: MESSAGE returns wxID_OK,
// wxID_YES, wxID_NO or wxID_CANCEL; CHOICE the index of the label (-1 =
// closed); ASK wxID_OK (answers stored in request.ask) or wxID_CANCEL.
using Responder = std::function<int(DialogRequest&)>;
// Installs a responder (empty = real dialogs) and returns the previous one.
Responder SetResponder(Responder responder);

// A message box; returns the button pressed (wxID_...).
int Message(wxWindow* parent, const std::string& caption, const std::string& text, long style);
// A question with its own button labels; the index of the one pressed, -1
// when the dialog was closed otherwise.
int Choose(wxWindow* parent, const std::string& caption, const std::string& text,
           const std::vector<std::string>& labels);
// An operator dialog of the macro language; true for OK (the answers are in
// the dialog), false for Cancel.
bool Ask(wxWindow* parent, AskDialog& dialog);
}  // namespace DialogHost
