// The main window. For now: the loaded part program as read-only text, a
// message pane, and the File menu (open, HPGL import, exit).
#pragma once

#include <functional>
#include <string>

#include <wx/frame.h>

class HPGL_Import;
class wxTextCtrl;

class Quorvane2Frame : public wxFrame {
 public:
  enum { ID_IMPORT_HPGL = wxID_HIGHEST + 1 };

  Quorvane2Frame();

  // Loads a part program into the window. False (with a message in the
  // message pane) when it cannot be read.
  bool LoadProgram(const std::string& path);
  // Shows the import dialog for an HPGL file and, when the operator converts
  // it, loads the written program.
  bool ImportHpgl(const std::string& hpglFile);

  // How a dialog is run: ShowModal unless replaced (tests drive the dialog
  // without a modal loop).
  using DialogRunner = std::function<int(HPGL_Import&)>;
  void SetDialogRunner(DialogRunner runner) { runDialog = std::move(runner); }

  const std::string& ProgramFile() const { return programFile; }
  wxTextCtrl* ProgramText() const { return programText; }
  wxTextCtrl* Messages() const { return messages; }
  void AddMessage(const wxString& text);

 private:
  void OnOpen(wxCommandEvent& event);
  void OnImportHpgl(wxCommandEvent& event);
  void OnExit(wxCommandEvent& event);

  wxTextCtrl* programText = nullptr;
  wxTextCtrl* messages = nullptr;
  std::string programFile;
  DialogRunner runDialog;
};
