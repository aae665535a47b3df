#include "hotkeys/hotkeys.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include <wx/defs.h>

#include "base/logging.h"
#include "machine/machineconfig.h"
#include "motion/backend.h"
#include "params/parafile.h"

namespace {

constexpr int32_t LOG_HOTKEYS = LOGCAT_USER_ACTIONS | 4;  // 20

enum class Kind : uint8_t { JOG, OPERATION, HANDWHEEL };
enum class Speed : uint8_t { SELECTED, SLOW, FAST };

constexpr int kOldActionCount = 119;  // the numbers of the older file formats

// The sixteen jogs of one speed: axis slot and direction, second slot
// (-1 = none) and its direction. Slots count the configured axes.
struct JogShape {
  const char* name;
  int8_t slot, slot2;
  bool positive, positive2;
};
constexpr JogShape kJogs[16] = {
    {"Jog X+", 0, -1, true, false}, {"Jog X-", 0, -1, false, false}, {"Jog Y+", 1, -1, true, false},
    {"Jog Y-", 1, -1, false, false}, {"Jog Z+", 2, -1, true, false}, {"Jog Z-", 2, -1, false, false},
    {"Jog 4+", 3, -1, true, false}, {"Jog 4-", 3, -1, false, false}, {"Jog 5+", 4, -1, true, false},
    {"Jog 5-", 4, -1, false, false}, {"Jog 6+", 5, -1, true, false}, {"Jog 6-", 5, -1, false, false},
    {"Jog X+Y+", 0, 1, true, true}, {"Jog X-Y+", 0, 1, false, true}, {"Jog X+Y-", 0, 1, true, false},
    {"Jog X-Y-", 0, 1, false, false},
};

// The machine axis of a configured slot (the n-th displayed axis); -1 when
// the machine has fewer.
int AxisOfSlot(int slot) {
  const MachineConfig& cfg = GetMachineConfig();
  for (int a = 0, n = 0; a < kAxisCount; ++a) {
    if (!cfg.axis[a].displayAxis) continue;
    if (n++ == slot) return a;
  }
  return -1;
}

bool StrictInt(const ParaFile& file, const std::string& key, int& v) {
  std::string text;
  if (!file.GetValue(key, text)) return false;
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) text.pop_back();
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || value < INT32_MIN || value > INT32_MAX) return false;
  v = static_cast<int>(value);
  return true;
}

std::string Indexed(const char* key, int n) { return ParaFile::IndexedKey(key, n); }

std::string Skipped(const char* what, int n, const std::string& why) {
  return std::string(what) + " " + std::to_string(n) + ": " + why;
}

}  // namespace

struct Hotkeys::Action {
  std::string name;
  Kind kind = Kind::OPERATION;
  HotkeyHost::Op op = HotkeyHost::FEED_HOLD;
  int arg = 0;
  Speed speed = Speed::SELECTED;
  int32_t macroNumber = -1;
  bool handwheelOnly = false;
  bool moving = false;
  std::vector<HotkeyBinding> bindings;
};

// ---------------------------------------------------------------------------
// Bindings

HotkeyBinding HotkeyBinding::Key(int32_t code, int32_t modifiers, const std::string& character) {
  HotkeyBinding b;
  b.type = TRIGGER_KEY;
  b.code = code;
  b.modifiers = modifiers;
  b.character = character.empty() ? KeyName(code, modifiers) : character;
  return b;
}

HotkeyBinding HotkeyBinding::Input(int32_t signal) {
  HotkeyBinding b;
  b.type = TRIGGER_INPUT;
  b.signal = signal;
  return b;
}

HotkeyBinding HotkeyBinding::Remote(int32_t key) {
  HotkeyBinding b;
  b.type = TRIGGER_REMOTE;
  b.key = key;
  return b;
}

HotkeyBinding HotkeyBinding::Button(int32_t number) {
  HotkeyBinding b;
  b.type = TRIGGER_BUTTON;
  b.key = number;
  return b;
}

bool HotkeyBinding::SameTrigger(const HotkeyBinding& o) const {
  if (type != o.type) return false;
  switch (type) {
    case TRIGGER_KEY: return code == o.code && modifiers == o.modifiers;
    case TRIGGER_INPUT: return signal == o.signal;
    default: return key == o.key;
  }
}

std::string HotkeyBinding::Text() const {
  char buf[160];
  switch (type) {
    case TRIGGER_KEY: std::snprintf(buf, sizeof buf, "Keyboard: %s (%d, %d)", character.c_str(), code, modifiers); break;
    case TRIGGER_INPUT: std::snprintf(buf, sizeof buf, "Hardware Signal: %d", signal); break;
    case TRIGGER_REMOTE: std::snprintf(buf, sizeof buf, "USB-Remote: %d", key); break;
    default: std::snprintf(buf, sizeof buf, "Function Button: %d", key); break;
  }
  return buf;
}

std::string KeyName(int32_t code, int32_t modifiers) {
  std::string name;
  switch (code) {
    case WXK_LEFT: name = "left"; break;
    case WXK_RIGHT: name = "right"; break;
    case WXK_UP: name = "up"; break;
    case WXK_DOWN: name = "down"; break;
    case WXK_HOME: name = "home"; break;
    case WXK_END: name = "end"; break;
    case WXK_PRINT: name = "print"; break;
    case WXK_PAUSE: name = "pause"; break;
    case WXK_PAGEUP: name = "page up"; break;
    case WXK_PAGEDOWN: name = "page down"; break;
    case WXK_INSERT: name = "insert"; break;
    case WXK_DELETE: name = "delete"; break;
    case WXK_ESCAPE: name = "escape"; break;
    case WXK_RETURN: name = "return"; break;
    case WXK_BACK: name = "back"; break;
    case WXK_SCROLL: name = "scroll"; break;
    case WXK_SPACE: name = "space"; break;
    case WXK_TAB: name = "tab"; break;
    case WXK_NUMPAD_ADD: name = "numpad+"; break;
    case WXK_NUMPAD_SUBTRACT: name = "numpad-"; break;
    case WXK_NUMPAD_MULTIPLY: name = "numpad*"; break;
    case WXK_NUMPAD_DIVIDE: name = "numpad/"; break;
    case WXK_NUMPAD_DECIMAL: name = "numpad."; break;
    default:
      if (code >= WXK_NUMPAD0 && code <= WXK_NUMPAD9) {
        name = "numpad_" + std::to_string(code - WXK_NUMPAD0);
      } else if (code >= WXK_F1 && code <= WXK_F24) {
        name = "F" + std::to_string(code - WXK_F1 + 1);
      } else if (code > 32 && code < 127) {
        name = std::string(1, static_cast<char>(code));
      } else {
        name = "key " + std::to_string(code);
      }
  }
  std::string prefix;
  if (modifiers & KEYMOD_CTRL) prefix += "Ctrl+";
  if (modifiers & KEYMOD_ALT) prefix += "Alt+";
  if (modifiers & KEYMOD_META) prefix += "Meta+";
  if (modifiers & KEYMOD_SHIFT) prefix += "Shift+";
  return prefix + name;
}

// ---------------------------------------------------------------------------
// The action table

Hotkeys::Hotkeys(HotkeyHost* h) : host(h), actions(kActionCount) {
  using H = HotkeyHost;
  auto op = [&](int n, const char* name, H::Op o, int arg = 0, bool moving = false) {
    Action& a = actions[n];
    a.name = name;
    a.kind = Kind::OPERATION;
    a.op = o;
    a.arg = arg;
    a.moving = moving;
  };
  static const char* const kSuffix[3] = {"", " slow", " fast"};
  for (int s = 0; s < 3; ++s)
    for (int j = 0; j < 16; ++j) {
      Action& a = actions[s * 16 + j];
      a.name = std::string(kJogs[j].name) + kSuffix[s];
      a.kind = Kind::JOG;
      a.arg = j;
      a.speed = static_cast<Speed>(s);
      a.moving = true;
    }
  op(48, "Feed hold", H::FEED_HOLD);
  op(49, "Feed resume", H::FEED_RESUME);
  op(50, "Toggle M3", H::TOGGLE_M, 3);
  op(51, "Toggle M4", H::TOGGLE_M, 4);
  op(52, "Toggle M7", H::TOGGLE_M, 7);
  op(53, "Toggle M8", H::TOGGLE_M, 8);
  op(54, "Toggle Start", H::TOGGLE_START, 0, true);
  op(55, "Rewind", H::REWIND);
  op(56, "Increment FeedOverride", H::FEED_OVERRIDE_STEP, 1);
  op(57, "Decrement FeedOverride", H::FEED_OVERRIDE_STEP, -1);
  op(58, "Open MDI", H::OPEN_MDI);
  op(59, "Reset X", H::RESET_AXIS, 0);
  op(60, "Reset Y", H::RESET_AXIS, 1);
  op(61, "Reset Z", H::RESET_AXIS, 2);
  op(62, "Reset all", H::RESET_AXIS, -1);
  op(63, "Increment JogFeed", H::JOG_SPEED_STEP, 1);
  op(64, "Decrement JogFeed", H::JOG_SPEED_STEP, -1);
  // Resets of the configured fourth to sixth axis: the slot is mapped when run.
  op(65, "Reset 4", H::RESET_AXIS, 3);
  op(66, "Reset 5", H::RESET_AXIS, 4);
  op(67, "Reset 6", H::RESET_AXIS, 5);
  op(68, "Home all", H::HOME_ALL);
  op(69, "Jog rapid", H::JOG_RAPID);
  for (int i = 0; i < 4; ++i) {
    op(70 + i, ("Set jogspeed " + std::to_string(i + 1)).c_str(), H::SET_JOG_SPEED, i);
    op(75 + i, ("Set jogstep " + std::to_string(i + 1)).c_str(), H::SET_JOG_STEP, i);
  }
  op(74, "Jog continous", H::JOG_CONTINUOUS);
  static const char* const kWheel[] = {"Handwheel door",  "Handwheel coolant", "Handwheel axis",
                                       "Handwheel zero",  "Handwheel speed",   "Handwheel start",
                                       "Handwheel feed",  "Handwheel spindle", "Handwheel enable",
                                       "Handwheel panic"};
  auto wheel = [&](int n, const char* name, bool moving) {
    Action& a = actions[n];
    a.name = name;
    a.kind = Kind::HANDWHEEL;
    a.handwheelOnly = true;
    a.moving = moving;
  };
  for (int i = 0; i < 10; ++i) wheel(79 + i, kWheel[i], 79 + i == 84);
  op(89, "Cycle jogspeed", H::CYCLE_JOG_SPEED);
  op(90, "Cycle jogstep", H::CYCLE_JOG_STEP);
  op(91, "Move X to zero", H::MOVE_AXIS_TO_ZERO, 0, true);
  op(92, "Move Y to zero", H::MOVE_AXIS_TO_ZERO, 1, true);
  op(93, "Move Z to zero", H::MOVE_AXIS_TO_ZERO, 2, true);
  op(94, "Move to zero position", H::MOVE_TO_ZERO, 0, true);
  op(95, "Move to park position", H::MOVE_TO_PARK, 0, true);
  op(96, "Start program", H::START_PROGRAM, 0, true);
  op(97, "Stop program", H::STOP_PROGRAM);
  for (int i = 0; i < 20; ++i) {
    const int n = i < 10 ? 98 + i : 120 + i - 10;
    op(n, ("User macro " + std::to_string(i + 1)).c_str(), H::USER_MACRO, i + 1);
    actions[n].macroNumber = i;
  }
  op(108, "THC toggle", H::THC_TOGGLE);
  op(109, "THC off", H::THC_OFF);
  op(110, "THC (automatic) on", H::THC_ON);
  op(111, "THC adjust+", H::THC_ADJUST, 1);
  op(112, "THC adjust-", H::THC_ADJUST, -1);
  op(113, "Move to Camera crosshair", H::CAMERA_TO_CROSSHAIR, 0, true);
  op(114, "Move Camera back", H::CAMERA_BACK, 0, true);
  op(115, "Offset to crosshair", H::OFFSET_TO_CROSSHAIR, 0, true);
  op(116, "Increment Spindle", H::SPINDLE_OVERRIDE_STEP, 1);
  op(117, "Decrement Spindle", H::SPINDLE_OVERRIDE_STEP, -1);
  wheel(118, "Handwheel origin", true);
  wheel(119, "Handwheel park", true);
  wheel(130, "Handwheel measure", true);
  wheel(131, "Handwheel home", true);
  for (int i = 0; i < 7; ++i) op(132 + i, ("Offset G" + std::to_string(53 + i)).c_str(), H::SELECT_OFFSET, i);
}

Hotkeys::~Hotkeys() = default;

namespace {
const std::string kNoName;
}

const std::string& Hotkeys::ActionName(int action) const {
  return ValidAction(action) ? actions[action].name : kNoName;
}

std::string Hotkeys::Name(int action) const {
  if (!ValidAction(action)) return std::string();
  const Action& a = actions[action];
  if (a.macroNumber >= 0 && host) {
    std::string own = host->UserMacroName(a.macroNumber + 1);
    if (!own.empty()) return own;
  }
  return a.name;
}

int Hotkeys::MacroNumber(int action) const { return ValidAction(action) ? actions[action].macroNumber : -1; }
bool Hotkeys::IsMoving(int action) const { return ValidAction(action) && actions[action].moving; }
bool Hotkeys::IsHandwheelOnly(int action) const { return ValidAction(action) && actions[action].handwheelOnly; }
bool Hotkeys::HasBindings(int action) const { return ValidAction(action) && !actions[action].bindings.empty(); }

const std::vector<HotkeyBinding>* Hotkeys::Bindings(int action) const {
  return ValidAction(action) ? &actions[action].bindings : nullptr;
}

const HotkeyBinding* Hotkeys::Binding(int action, int index) const {
  if (!ValidAction(action) || index < 0 || index >= static_cast<int>(actions[action].bindings.size())) return nullptr;
  return &actions[action].bindings[index];
}

const char* Hotkeys::Group(int action) {
  if (action < 0 || action >= kActionCount) return "";
  if (action < 16) return "Jog";
  if (action < 32) return "Jog slow";
  if (action < 48) return "Jog fast";
  if (action <= 49 || action == 54 || action == 55 || action == 96 || action == 97) return "Program";
  if (action <= 53 || action == 116 || action == 117) return "Spindle and coolant";
  if (action == 56 || action == 57) return "Overrides";
  if (action == 58 || action == 68) return "Machine";
  if ((action >= 59 && action <= 62) || (action >= 65 && action <= 67) || action >= 132) return "Zero and offsets";
  if ((action >= 63 && action <= 78) || action == 89 || action == 90) return "Jog settings";
  if (action >= 91 && action <= 95) return "Moves";
  if ((action >= 98 && action <= 107) || (action >= 120 && action <= 129)) return "User macros";
  if (action >= 108 && action <= 112) return "Torch height";
  if (action >= 113 && action <= 115) return "Camera";
  return "Handwheel";
}

// ---------------------------------------------------------------------------
// Binding

bool Hotkeys::FindBinding(const HotkeyBinding& binding, int& action, int& index) const {
  for (int a = 0; a < kActionCount; ++a) {
    const std::vector<HotkeyBinding>& list = actions[a].bindings;
    for (size_t i = 0; i < list.size(); ++i)
      if (list[i].SameTrigger(binding)) {
        action = a;
        index = static_cast<int>(i);
        return true;
      }
  }
  action = index = -1;
  return false;
}

bool Hotkeys::AddBinding(int action, const HotkeyBinding& binding) {
  if (!ValidAction(action)) return false;
  int old = -1, index = -1;
  if (FindBinding(binding, old, index)) {
    if (old == action) return true;
    char text[512];
    std::snprintf(text, sizeof text,
                  "This hotkey is already being used by %s(%d).\nDo you want to clear the existing assignment and "
                  "assign to this function?\nNew function(%d): %s",
                  Name(old).c_str(), old, action, Name(action).c_str());
    if (!host || !host->AskYesNo("Re-assign hotkeys", text)) return false;
    RemoveBinding(old, index);
  }
  HotkeyBinding b = binding;
  b.lastState = false;
  actions[action].bindings.push_back(std::move(b));
  return true;
}

bool Hotkeys::RemoveBinding(int action, int index) {
  if (!Binding(action, index)) return false;
  std::vector<HotkeyBinding>& list = actions[action].bindings;
  list.erase(list.begin() + index);
  return true;
}

void Hotkeys::ClearBindings(int action) {
  if (ValidAction(action)) actions[action].bindings.clear();
}

void Hotkeys::ClearType(int32_t type) {
  for (Action& a : actions)
    a.bindings.erase(std::remove_if(a.bindings.begin(), a.bindings.end(),
                                    [type](const HotkeyBinding& b) { return b.type == type; }),
                     a.bindings.end());
}

int Hotkeys::ActionForKey(int32_t code, int32_t modifiers) const {
  int action = -1, index = -1;
  FindBinding(HotkeyBinding::Key(code, modifiers, " "), action, index);
  return action;
}

void Hotkeys::SetDefaultBindings() {
  struct Default {
    int action;
    int32_t code;
  };
  // X on left/right, Y on up/down, Z on page up/down, as the keys lie.
  static const Default kJogKeys[] = {{0, WXK_RIGHT}, {1, WXK_LEFT}, {2, WXK_UP},
                                     {3, WXK_DOWN},  {4, WXK_PAGEUP}, {5, WXK_PAGEDOWN}};
  for (const Default& d : kJogKeys) {
    AddBinding(d.action, HotkeyBinding::Key(d.code, 0));
    AddBinding(ACTION_JOG_SLOW_FIRST + d.action, HotkeyBinding::Key(d.code, KEYMOD_CTRL));
    AddBinding(ACTION_JOG_FAST_FIRST + d.action, HotkeyBinding::Key(d.code, KEYMOD_SHIFT));
  }
  AddBinding(ACTION_START_PROGRAM, HotkeyBinding::Key(WXK_F5, 0));
  AddBinding(ACTION_STOP_PROGRAM, HotkeyBinding::Key(WXK_F6, 0));
  AddBinding(ACTION_FEED_HOLD, HotkeyBinding::Key(WXK_F7, 0));
  AddBinding(ACTION_FEED_RESUME, HotkeyBinding::Key(WXK_F8, 0));
}

// ---------------------------------------------------------------------------
// Running actions

void Hotkeys::LeaveHandwheelMode() {
  if (!handwheelMode) return;
  handwheelMode = false;
  if (BackEnd* be = host ? host->HotkeyBackEnd() : nullptr) be->HandwheelJog(false, 0, 0, 0, true);
}

void Hotkeys::Run(int number, HotkeyEvent kind) {
  if (!ValidAction(number) || !host) return;
  const Action& a = actions[number];
  if (a.moving) LeaveHandwheelMode();
  const bool pressed = kind == HotkeyEvent::PRESSED;
  switch (a.kind) {
    case Kind::JOG: {
      if (!pressed) {
        host->StopJog();
        return;
      }
      const JogShape& shape = kJogs[a.arg];
      const int axis = AxisOfSlot(shape.slot);
      const int axis2 = shape.slot2 >= 0 ? AxisOfSlot(shape.slot2) : -1;
      if (axis < 0 || (shape.slot2 >= 0 && axis2 < 0)) return;
      double velocity = host->SelectedJogSpeed();
      if (a.speed != Speed::SELECTED) {
        const MachineConfig& cfg = GetMachineConfig();
        // Rotary axes (A, B, C) have speed entries of their own.
        const bool rotary = axis >= 3 && axis <= 5;
        const int entry = a.speed == Speed::SLOW ? (rotary ? cfg.jogSlowRot : cfg.jogSlowLin)
                                                 : (rotary ? cfg.jogFastRot : cfg.jogFastLin);
        velocity = cfg.jogSpeed[std::clamp(entry, 0, kJogPresets - 1)];
      }
      host->StartJog(axis, shape.positive, axis2, shape.positive2, velocity);
      return;
    }
    case Kind::OPERATION: {
      if (!pressed) return;
      int arg = a.arg;
      if (a.op == HotkeyHost::RESET_AXIS && arg >= 3) {
        arg = AxisOfSlot(arg);
        if (arg < 0) return;
      }
      host->RunOperation(a.op, arg);
      return;
    }
    case Kind::HANDWHEEL:
      if (!pressed) return;
      // The buttons go to the handset; without one only the door button acts.
      if (number == ACTION_HANDWHEEL_DOOR)
        if (BackEnd* be = host->HotkeyBackEnd()) be->UnlockDoor();
      return;
  }
}

bool Hotkeys::Dispatch(const HotkeyBinding& trigger, HotkeyEvent kind) {
  int action = -1, index = -1;
  if (!FindBinding(trigger, action, index)) return false;
  Run(action, kind);
  return true;
}

bool Hotkeys::KeyboardEmulationInstalled() {
  // Their settings folders stand for an installation.
  std::string base;
  if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg) {
    base = xdg;
  } else if (const char* home = std::getenv("HOME"); home && *home) {
    base = std::string(home) + "/.config";
  } else {
    return false;
  }
  struct stat st;
  for (const char* dir : {"/antimicro", "/antimicrox", "/Keysticks.net"})
    if (stat((base + dir).c_str(), &st) == 0) return true;
  return false;
}

bool Hotkeys::DispatchKey(int32_t code, int32_t modifiers, HotkeyEvent kind) {
  const bool emulation = emulationProbe ? emulationProbe() : KeyboardEmulationInstalled();
  if (emulation) {
    LogMessage(LOG_HOTKEYS, "Antimicro-Software or Keysticks-Software found.");
    return false;
  }
  auto held = std::find_if(heldKeys.begin(), heldKeys.end(), [code](const HeldKey& k) { return k.code == code; });
  bool handled;
  if (kind == HotkeyEvent::PRESSED) {
    // The keyboard repeats a held key: its action has been started already.
    if (held != heldKeys.end()) return held->bound;
    const int action = ActionForKey(code, modifiers);
    if (action < 0) return false;
    heldKeys.push_back({code, modifiers, true});
    Run(action, kind);
    handled = true;
  } else {
    int32_t mods = modifiers;
    if (held != heldKeys.end()) {
      mods = held->modifiers;
      heldKeys.erase(held);
    }
    const int action = ActionForKey(code, mods);
    if (action < 0) return false;
    Run(action, kind);
    handled = true;
  }
  if (kind == HotkeyEvent::RELEASED)
    LogMessage(LOG_HOTKEYS, "DispatchEvent ### KEY_UP");
  else
    LogMessage(LOG_HOTKEYS, "DispatchEvent ### CHAR_HOOK");
  return handled;
}

bool Hotkeys::KeyHeld(int32_t code) const {
  return std::any_of(heldKeys.begin(), heldKeys.end(), [code](const HeldKey& k) { return k.code == code; });
}

void Hotkeys::ReleaseHeldKeys() {
  std::vector<HeldKey> keys;
  keys.swap(heldKeys);
  for (const HeldKey& k : keys) {
    const int action = ActionForKey(k.code, k.modifiers);
    if (action >= 0) Run(action, HotkeyEvent::RELEASED);
  }
}

bool Hotkeys::DispatchFunctionButton(int32_t button, bool pressed) {
  return Dispatch(HotkeyBinding::Button(button), pressed ? HotkeyEvent::PRESSED : HotkeyEvent::RELEASED);
}

bool Hotkeys::DispatchRemoteKey(int32_t key, bool pressed) {
  return Dispatch(HotkeyBinding::Remote(key), pressed ? HotkeyEvent::PRESSED : HotkeyEvent::RELEASED);
}

void Hotkeys::PollInputs() {
  if (!enabled || !host) return;
  BackEnd* be = host->HotkeyBackEnd();
  if (!be) return;
  for (int a = 0; a < kActionCount; ++a)
    for (HotkeyBinding& b : actions[a].bindings) {
      if (b.type != TRIGGER_INPUT) continue;
      const bool state = be->GetSignal(b.signal);
      if (state == b.lastState) continue;
      b.lastState = state;
      host->PostInputEvent(a, state);
    }
}

void Hotkeys::OnInputEvent(int action, bool active) {
  Run(action, active ? HotkeyEvent::PRESSED : HotkeyEvent::RELEASED);
}

// ---------------------------------------------------------------------------
// The file

void Hotkeys::SetFiles(ParaFile* hotkeyFile, ParaFile* parameterTable) {
  mainFile = hotkeyFile;
  paramFile = parameterTable;
}

ParaFile& Hotkeys::MainFile() const { return mainFile ? *mainFile : GetParaFile(PF_HOTKEYS); }
ParaFile& Hotkeys::ParameterTable() const { return paramFile ? *paramFile : GetParaFile(PF_PARAMETER_TABLE); }

std::vector<std::string> Hotkeys::Load(bool functionButtonsOnly, ParaFile& file) {
  std::vector<std::string> skipped;
  int version = 0;
  if (!file.GetInt("HK_File_Version", version)) {
    // The oldest layout kept the bindings in the parameter table; the file
    // of that time said so by having no "ExtraFile" entry.
    version = (&file == &MainFile() && file.FindKey("ExtraFile") < 0) ? 1 : 2;
  }
  int keep = 0;
  file.GetInt("KeepExisting", keep);
  if (keep != 1) {
    // An import of the function buttons alone leaves the other triggers.
    if (functionButtonsOnly)
      ClearType(TRIGGER_BUTTON);
    else
      for (Action& a : actions) a.bindings.clear();
  }
  if (version == kFileVersion) {
    LoadCurrent(functionButtonsOnly, file, skipped);
  } else if (version == 1 || version == 2) {
    LoadOld(functionButtonsOnly, version == 1 ? ParameterTable() : file, skipped);
  } else {
    if (host)
      host->ShowMessage("Hotkeys", "The given import file for Hotkeys has a wrong or too old format.\n"
                                   "No conversiation is possible.");
    return skipped;
  }
  for (const std::string& s : skipped) LogMessage(LOG_HOTKEYS, "Hotkeys: %s skipped", s.c_str());
  if (!functionButtonsOnly && (version < kFileVersion || keep == 1)) Save(true, MainFile());
  return skipped;
}

void Hotkeys::LoadCurrent(bool functionButtonsOnly, ParaFile& file, std::vector<std::string>& skipped) {
  int n = 0;
  for (; file.FindKey(Indexed("HK_Actnum", n)) >= 0; ++n) {
    int action = 0, type = 0;
    if (!StrictInt(file, Indexed("HK_Actnum", n), action) || !ValidAction(action)) {
      skipped.push_back(Skipped("binding", n, "no valid action number"));
      continue;
    }
    if (!StrictInt(file, Indexed("HK_Type", n), type) || type < TRIGGER_KEY || type > TRIGGER_BUTTON) {
      skipped.push_back(Skipped("binding", n, "no valid trigger type"));
      continue;
    }
    if (functionButtonsOnly && type != TRIGGER_BUTTON) continue;
    HotkeyBinding b;
    b.type = type;
    bool complete = true;
    switch (type) {
      case TRIGGER_KEY:
        complete = file.GetRawString(Indexed("HK_Char", n), b.character) &&
                   StrictInt(file, Indexed("HK_Code", n), b.code) && StrictInt(file, Indexed("HK_Mod", n), b.modifiers);
        break;
      case TRIGGER_INPUT:
        complete = StrictInt(file, Indexed("HK_SigNum", n), b.signal) && b.signal >= 0 && b.signal < 2048;
        break;
      default: complete = StrictInt(file, Indexed("HK_Key", n), b.key); break;
    }
    if (!complete) {
      skipped.push_back(Skipped("binding", n, "entries missing or broken"));
      continue;
    }
    if (!AddBinding(action, b)) {
      int holder = -1, index = -1;
      FindBinding(b, holder, index);
      skipped.push_back(Skipped("binding", n, "trigger kept by " + Name(holder)));
    }
  }
  // Lines that belong to no binding read are reported, not silently lost
  // (of a parameter set, those of the hotkey section).
  const bool section = file.GetMode() == ParaFile::MODE_SECTIONS;
  const size_t first = section ? file.SectionStart() : 0;
  const size_t end = section ? std::min<size_t>(file.SectionEnd(), file.GetLineCount()) : file.GetLineCount();
  for (size_t i = first; i < end; ++i) {
    const std::string line = file.GetLine(i).utf8_string();
    const size_t eq = line.find('=');
    if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
    const std::string key = line.substr(0, eq);
    if (key == "HK_File_Version" || key == "KeepExisting" || key == "ExtraFile") continue;
    bool known = false;
    for (const char* k : {"HK_Actnum_", "HK_Type_", "HK_Char_", "HK_Code_", "HK_Mod_", "HK_SigNum_", "HK_Key_"}) {
      const size_t len = std::char_traits<char>::length(k);
      if (eq != std::string::npos && key.compare(0, len, k) == 0) {
        char* end = nullptr;
        const long index = std::strtol(key.c_str() + len, &end, 10);
        known = end != key.c_str() + len && *end == '\0' && index >= 0 && index < n;
        break;
      }
    }
    if (!known) skipped.push_back("line " + std::to_string(i + 1) + ": unknown entry \"" + line.substr(0, 60) + "\"");
  }
}

void Hotkeys::LoadOld(bool functionButtonsOnly, ParaFile& file, std::vector<std::string>& skipped) {
  for (int n = 0; n < kOldActionCount; ++n) {
    int mask = 0;
    if (!file.GetInt("HK_SignalType", n, mask)) {
      bool hard = false;
      if (!file.GetBool("Hotkey_IsHard", n, hard)) continue;
      mask = hard ? 4 : 2;
    }
    auto add = [&](const HotkeyBinding& b) {
      int holder = -1, index = -1;
      if (!AddBinding(n, b) && FindBinding(b, holder, index))
        skipped.push_back(Skipped("action", n, "trigger kept by " + Name(holder)));
    };
    if ((mask & 2) && !functionButtonsOnly) {
      int code = 0, mods = 0;
      std::string character;
      if (file.GetInt("Hotkey_Code", n, code) && code != 0) {
        file.GetInt("Hotkey_Mask", n, mods);
        file.GetRawString("Hotkey_Char", n, character);
        add(HotkeyBinding::Key(code, mods, character));
      }
    }
    int value = 0;
    if ((mask & 4) && !functionButtonsOnly && file.GetInt("HotHkey_Code", n, value)) {
      if (value >= 0 && value < 2048)
        add(HotkeyBinding::Input(value));
      else
        skipped.push_back(Skipped("action", n, "input signal out of range"));
    }
    if ((mask & 8) && !functionButtonsOnly && file.GetInt("HotRkey_Code", n, value)) add(HotkeyBinding::Remote(value));
    if ((mask & 16) && file.GetInt("HotFunctionKey", n, value)) add(HotkeyBinding::Button(value));
  }
}

bool Hotkeys::Save(bool clearFirst, ParaFile& file) const {
  if (clearFirst) file.Clear();
  file.SetInt("HK_File_Version", kFileVersion);
  file.RemoveKey("KeepExisting");
  int n = 0;
  for (int a = 0; a < kActionCount; ++a)
    for (const HotkeyBinding& b : actions[a].bindings) {
      file.SetInt("HK_Actnum", n, a);
      file.SetInt("HK_Type", n, b.type);
      switch (b.type) {
        case TRIGGER_KEY:
          file.SetRawString("HK_Char", n, b.character);
          file.SetInt("HK_Code", n, b.code);
          file.SetInt("HK_Mod", n, b.modifiers);
          break;
        case TRIGGER_INPUT: file.SetInt("HK_SigNum", n, b.signal); break;
        default: file.SetInt("HK_Key", n, b.key); break;
      }
      ++n;
    }
  // Entries of a longer table written before would come back as bindings.
  for (; file.FindKey(Indexed("HK_Actnum", n)) >= 0; ++n)
    for (const char* k : {"HK_Actnum", "HK_Type", "HK_Char", "HK_Code", "HK_Mod", "HK_SigNum", "HK_Key"})
      file.RemoveKey(Indexed(k, n));
  return file.Write();
}
