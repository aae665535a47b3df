// The "Programmable logic" settings dialog: the internal logic array edited
// as text, one gate per line. A line the reader rejects is listed with its
// number and the reason; the gates are taken and "LogicArray.txt" written
// only when every line is good.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include <wx/dialog.h>

#include "io/logicarray.h"

class wxListBox;
class wxTextCtrl;

class LogicArrayDialog : public wxDialog {
 public:
  // `save` writes the taken gates (default: "LogicArray.txt").
  LogicArrayDialog(wxWindow* parent, LogicArray& logic, std::function<bool()> save = SaveLogicArrayFile);

  // Shows the dialog for the process-wide logic array, modal, or through the
  // runner a test installed. Returns the dialog's result.
  static int Run(wxWindow* parent);
  using Runner = std::function<int(LogicArrayDialog&)>;
  static void SetRunner(Runner runner);

  // Reads the text and lists the rejected lines; true when there are none.
  bool Check();
  // Check, then take the gates and save them; false (the dialog stays open)
  // when a line is rejected or the file could not be written.
  bool Apply();

  wxTextCtrl* Editor() const { return editor; }
  // The messages listed, "line N: reason: text".
  std::vector<std::string> Errors() const;

 private:
  static bool SaveLogicArrayFile();
  void OnOk(wxCommandEvent& event);

  LogicArray& logic;
  std::function<bool()> save;
  wxTextCtrl* editor = nullptr;
  wxListBox* errors = nullptr;
};
