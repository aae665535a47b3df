// The "Hotkey Configuration" dialog: the operator actions listed by group;
// for the selected one its bindings, and the ways to bind a keyboard key
// (taught by pressing it), an input signal, a function button. A trigger
// another action holds moves only when the operator agrees. "Save" writes
// the table; closing with changes not saved asks first.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include <wx/dialog.h>
#include <wx/treebase.h>

class Hotkeys;
class wxButton;
class wxChoice;
class wxKeyEvent;
class wxListBox;
class wxStaticText;
class wxTreeCtrl;
struct HotkeyBinding;

class HotkeyDialog : public wxDialog {
 public:
  // `save` writes the table (the main window's "Hotkeys.txt").
  HotkeyDialog(wxWindow* parent, Hotkeys& keys, std::function<bool()> save);

  // Shows the dialog modal, or through the runner a test installed.
  static int Run(wxWindow* parent, Hotkeys& keys, std::function<bool()> save);
  using Runner = std::function<int(HotkeyDialog&)>;
  static void SetRunner(Runner runner);

  bool SelectAction(int action);
  int SelectedAction() const;
  // The next key pressed in the dialog is bound to the selected action.
  void StartTeaching();
  bool Teaching() const { return teaching; }
  // Binding one trigger to the selected action; false when there is none
  // selected, the operator refused to move the trigger or it cannot go there.
  bool AssignKey(int32_t code, int32_t modifiers);
  bool AssignInput(int32_t signal);
  bool AssignFunctionButton(int32_t number);
  bool RemoveSelectedBinding();
  // Removes every binding of one trigger type, when the operator agrees.
  bool ClearAll(int32_t type);
  bool Save();
  bool Changed() const { return changed; }
  // The selected action's bindings as listed.
  std::vector<std::string> BindingLines() const;
  wxButton* TeachButton() const { return teachButton; }
  wxButton* SaveButton() const { return saveButton; }
  wxTreeCtrl* Tree() const { return tree; }

 private:
  void Fill();
  void ShowBindings();
  bool Assign(const HotkeyBinding& binding, const char* question);
  void OnCharHook(wxKeyEvent& event);
  void OnClose();

  Hotkeys& keys;
  std::function<bool()> save;
  wxTreeCtrl* tree = nullptr;
  wxListBox* bindings = nullptr;
  wxStaticText* prompt = nullptr;
  wxButton* teachButton = nullptr;
  wxButton* saveButton = nullptr;
  wxChoice* inputChoice = nullptr;
  wxChoice* buttonChoice = nullptr;
  std::vector<int> inputSignals;  // per entry of inputChoice
  bool teaching = false;
  bool changed = false;
};
