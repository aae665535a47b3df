#include "dialogs/hotkey_dialog.h"

#include <cstdio>
#include <map>

#include <wx/button.h>
#include <wx/choice.h>
#include <wx/listbox.h>
#include <wx/msgdlg.h>
#include <wx/sizer.h>
#include <wx/stattext.h>
#include <wx/treectrl.h>

#include "app/dialoghost.h"
#include "base/logging.h"
#include "hotkeys/hotkeys.h"
#include "io/iomapping.h"

namespace {

constexpr const char* kCaption = "Hotkey Configuration";

HotkeyDialog::Runner& TheRunner() {
  static HotkeyDialog::Runner runner;
  return runner;
}

class ActionData : public wxTreeItemData {
 public:
  explicit ActionData(int action) : action(action) {}
  int action;
};

bool ModifierOnly(int code) {
  switch (code) {
    case WXK_SHIFT: case WXK_CONTROL: case WXK_ALT: case WXK_WINDOWS_LEFT:
    case WXK_WINDOWS_RIGHT: case WXK_WINDOWS_MENU: case WXK_CAPITAL: case WXK_NUMLOCK:
      return true;
    default:
      return false;
  }
}

bool Ask(wxWindow* parent, const std::string& text) {
  return DialogHost::Message(parent, kCaption, text, wxYES_NO | wxICON_QUESTION) == wxID_YES;
}

void Tell(wxWindow* parent, const std::string& text) {
  DialogHost::Message(parent, kCaption, text, wxOK | wxICON_INFORMATION);
}

}  // namespace

HotkeyDialog::HotkeyDialog(wxWindow* parent, Hotkeys& keys, std::function<bool()> save)
    : wxDialog(parent, wxID_ANY, kCaption, wxDefaultPosition, wxSize(760, 560),
               wxDEFAULT_DIALOG_STYLE | wxRESIZE_BORDER),
      keys(keys),
      save(std::move(save)) {
  auto* top = new wxBoxSizer(wxVERTICAL);
  auto* body = new wxBoxSizer(wxHORIZONTAL);
  tree = new wxTreeCtrl(this, wxID_ANY, wxDefaultPosition, wxSize(300, -1),
                        wxTR_HIDE_ROOT | wxTR_HAS_BUTTONS | wxTR_LINES_AT_ROOT | wxTR_SINGLE);
  body->Add(tree, 1, wxEXPAND | wxALL, 8);

  auto* right = new wxBoxSizer(wxVERTICAL);
  right->Add(new wxStaticText(this, wxID_ANY, "Assigned triggers"), 0, wxBOTTOM, 4);
  bindings = new wxListBox(this, wxID_ANY, wxDefaultPosition, wxSize(-1, 120));
  right->Add(bindings, 1, wxEXPAND | wxBOTTOM, 4);
  auto* remove = new wxButton(this, wxID_ANY, "Remove");
  right->Add(remove, 0, wxBOTTOM, 10);

  teachButton = new wxButton(this, wxID_ANY, "Teach key");
  teachButton->SetToolTip("Then press the key (with Shift, Ctrl or Alt as wanted)");
  prompt = new wxStaticText(this, wxID_ANY, wxString());
  auto* keyRow = new wxBoxSizer(wxHORIZONTAL);
  keyRow->Add(teachButton, 0, wxRIGHT, 8);
  keyRow->Add(prompt, 1, wxALIGN_CENTER_VERTICAL);
  right->Add(keyRow, 0, wxEXPAND | wxBOTTOM, 6);

  // The input signals that have a name or a pin.
  wxArrayString inputs;
  IoMapping& mapping = GetIoMapping();
  for (int s = 0; s < kSignalCount; ++s) {
    const InputSignal* in = mapping.Input(s);
    std::string name = in ? in->name : (s < 100 ? IoMapping::DefaultInputName(s) : std::string());
    if (!in && name.empty()) continue;
    char text[160];
    std::snprintf(text, sizeof text, "#I%d %s", s, name.c_str());
    inputs.Add(wxString::FromUTF8(text));
    inputSignals.push_back(s);
  }
  inputChoice = new wxChoice(this, wxID_ANY, wxDefaultPosition, wxSize(220, -1), inputs);
  auto* assignInput = new wxButton(this, wxID_ANY, "Assign input");
  auto* inputRow = new wxBoxSizer(wxHORIZONTAL);
  inputRow->Add(inputChoice, 1, wxRIGHT, 8);
  inputRow->Add(assignInput, 0);
  right->Add(inputRow, 0, wxEXPAND | wxBOTTOM, 6);

  wxArrayString numbers;
  for (int n = 1; n <= kFunctionButtons; ++n) numbers.Add(wxString::Format("F%d", n));
  buttonChoice = new wxChoice(this, wxID_ANY, wxDefaultPosition, wxSize(220, -1), numbers);
  auto* assignButton = new wxButton(this, wxID_ANY, "Assign function button");
  auto* buttonRow = new wxBoxSizer(wxHORIZONTAL);
  buttonRow->Add(buttonChoice, 1, wxRIGHT, 8);
  buttonRow->Add(assignButton, 0);
  right->Add(buttonRow, 0, wxEXPAND | wxBOTTOM, 6);
  right->Add(new wxStaticText(this, wxID_ANY, "USB-Remote: disconnected"), 0, wxBOTTOM, 10);

  auto* clearRow = new wxBoxSizer(wxHORIZONTAL);
  auto* clearKeys = new wxButton(this, wxID_ANY, "Clear all keys");
  auto* clearInputs = new wxButton(this, wxID_ANY, "Clear all inputs");
  auto* clearRemote = new wxButton(this, wxID_ANY, "Clear all remote keys");
  clearRow->Add(clearKeys, 0, wxRIGHT, 6);
  clearRow->Add(clearInputs, 0, wxRIGHT, 6);
  clearRow->Add(clearRemote, 0);
  right->Add(clearRow, 0, wxBOTTOM, 6);
  body->Add(right, 1, wxEXPAND | wxALL, 8);
  top->Add(body, 1, wxEXPAND);

  auto* buttons = new wxBoxSizer(wxHORIZONTAL);
  buttons->AddStretchSpacer();
  saveButton = new wxButton(this, wxID_SAVE, "Save");
  buttons->Add(saveButton, 0, wxRIGHT, 8);
  buttons->Add(new wxButton(this, wxID_CLOSE, "Close"));
  top->Add(buttons, 0, wxEXPAND | wxALL, 8);
  SetSizer(top);
  Fill();

  tree->Bind(wxEVT_TREE_SEL_CHANGED, [this](wxTreeEvent&) { ShowBindings(); });
  remove->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { RemoveSelectedBinding(); });
  teachButton->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { StartTeaching(); });
  assignInput->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) {
    const int sel = inputChoice->GetSelection();
    if (sel == wxNOT_FOUND || SelectedAction() < 0) {
      Tell(this, "Please select an action and a signal, first.");
      return;
    }
    AssignInput(inputSignals[sel]);
  });
  assignButton->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) {
    const int sel = buttonChoice->GetSelection();
    if (sel == wxNOT_FOUND || SelectedAction() < 0) {
      Tell(this, "Please select an action and a signal, first.");
      return;
    }
    AssignFunctionButton(sel + 1);
  });
  clearKeys->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { ClearAll(TRIGGER_KEY); });
  clearInputs->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { ClearAll(TRIGGER_INPUT); });
  clearRemote->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { ClearAll(TRIGGER_REMOTE); });
  saveButton->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { Save(); });
  Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { OnClose(); }, wxID_CLOSE);
  Bind(wxEVT_CLOSE_WINDOW, [this](wxCloseEvent&) { OnClose(); });
  Bind(wxEVT_CHAR_HOOK, &HotkeyDialog::OnCharHook, this);
}

int HotkeyDialog::Run(wxWindow* parent, Hotkeys& keys, std::function<bool()> save) {
  HotkeyDialog dialog(parent, keys, std::move(save));
  return TheRunner() ? TheRunner()(dialog) : dialog.ShowModal();
}

void HotkeyDialog::SetRunner(Runner runner) { TheRunner() = std::move(runner); }

void HotkeyDialog::Fill() {
  const wxTreeItemId root = tree->AddRoot("Actions");
  std::map<std::string, wxTreeItemId> groups;
  for (int a = 0; a < kActionCount; ++a) {
    const std::string group = Hotkeys::Group(a);
    auto it = groups.find(group);
    if (it == groups.end()) it = groups.emplace(group, tree->AppendItem(root, wxString::FromUTF8(group))).first;
    tree->AppendItem(it->second, wxString::FromUTF8(keys.Name(a)), -1, -1, new ActionData(a));
  }
}

bool HotkeyDialog::SelectAction(int action) {
  wxTreeItemIdValue groupCookie;
  for (wxTreeItemId g = tree->GetFirstChild(tree->GetRootItem(), groupCookie); g.IsOk();
       g = tree->GetNextChild(tree->GetRootItem(), groupCookie)) {
    wxTreeItemIdValue cookie;
    for (wxTreeItemId item = tree->GetFirstChild(g, cookie); item.IsOk(); item = tree->GetNextChild(g, cookie)) {
      auto* data = static_cast<ActionData*>(tree->GetItemData(item));
      if (data && data->action == action) {
        tree->EnsureVisible(item);
        tree->SelectItem(item);
        ShowBindings();
        return true;
      }
    }
  }
  return false;
}

int HotkeyDialog::SelectedAction() const {
  const wxTreeItemId item = tree->GetSelection();
  if (!item.IsOk()) return -1;
  auto* data = static_cast<ActionData*>(tree->GetItemData(item));
  return data ? data->action : -1;
}

void HotkeyDialog::ShowBindings() {
  bindings->Clear();
  for (const std::string& line : BindingLines()) bindings->Append(wxString::FromUTF8(line));
}

std::vector<std::string> HotkeyDialog::BindingLines() const {
  std::vector<std::string> lines;
  if (const std::vector<HotkeyBinding>* list = keys.Bindings(SelectedAction()))
    for (const HotkeyBinding& b : *list) lines.push_back(b.Text());
  return lines;
}

void HotkeyDialog::StartTeaching() {
  if (SelectedAction() < 0) {
    Tell(this, "Please select an action, first.");
    return;
  }
  teaching = true;
  prompt->SetLabel(wxString::FromUTF8("Press the key for \"" + keys.Name(SelectedAction()) + "\""));
  // The key must reach this dialog, not the button.
  SetFocus();
}

void HotkeyDialog::OnCharHook(wxKeyEvent& event) {
  if (!teaching) {
    event.Skip();
    return;
  }
  const int code = event.GetKeyCode();
  if (ModifierOnly(code)) return;  // wait for the key itself
  teaching = false;
  prompt->SetLabel(wxString());
  AssignKey(code, event.GetModifiers() & (KEYMOD_ALT | KEYMOD_CTRL | KEYMOD_SHIFT | KEYMOD_META));
}

bool HotkeyDialog::Assign(const HotkeyBinding& binding, const char* question) {
  const int action = SelectedAction();
  if (action < 0) {
    Tell(this, "Please select an action, first.");
    return false;
  }
  int holder = -1, index = -1;
  if (keys.FindBinding(binding, holder, index)) {
    if (holder == action) return true;
    char text[300];
    std::snprintf(text, sizeof text, question, keys.Name(holder).c_str());
    if (!Ask(this, text)) return false;
    keys.RemoveBinding(holder, index);
  }
  if (!keys.AddBinding(action, binding)) return false;
  LogMessage(LOGCAT_USER_ACTIONS | 3, "Hotkey assigned: %s to %s", binding.Text().c_str(), keys.Name(action).c_str());
  changed = true;
  ShowBindings();
  return true;
}

bool HotkeyDialog::AssignKey(int32_t code, int32_t modifiers) {
  return Assign(HotkeyBinding::Key(code, modifiers),
                "This key is already assigned to: %s.\nDo you want to assign anyway?");
}

bool HotkeyDialog::AssignInput(int32_t signal) {
  return Assign(HotkeyBinding::Input(signal), "This input is already assigned to: %s.\nDo you want to assign anyway?");
}

bool HotkeyDialog::AssignFunctionButton(int32_t number) {
  if (keys.IsMoving(SelectedAction())) {
    Tell(this, "The selected action is a moving command.\n"
               "This type of actions can not be assigned to a function button.");
    return false;
  }
  return Assign(HotkeyBinding::Button(number), "This button is already assigned to: %s.\nDo you want to assign anyway?");
}

bool HotkeyDialog::RemoveSelectedBinding() {
  const int sel = bindings->GetSelection();
  if (sel == wxNOT_FOUND || !keys.RemoveBinding(SelectedAction(), sel)) return false;
  changed = true;
  ShowBindings();
  return true;
}

bool HotkeyDialog::ClearAll(int32_t type) {
  const char* text = type == TRIGGER_KEY     ? "You will clear all assignments for the whole keyboard.\nProceed anyway?"
                     : type == TRIGGER_INPUT ? "You will clear all assignments for all hardware inputs.\nProceed anyway?"
                                             : "You will clear all assignments for all remote devices.\nProceed anyway?";
  if (!Ask(this, text)) return false;
  keys.ClearType(type);
  changed = true;
  ShowBindings();
  return true;
}

bool HotkeyDialog::Save() {
  if (save && !save()) {
    Tell(this, "\"Hotkeys.txt\" could not be written.");
    return false;
  }
  LogMessage(LOGCAT_USER_ACTIONS | 3, "UserAction: Hotkeys saved");
  changed = false;
  return true;
}

void HotkeyDialog::OnClose() {
  if (changed && Ask(this, "The hotkeys were changed. Save them?")) Save();
  if (IsModal())
    EndModal(wxID_CLOSE);
  else
    Hide();
}
