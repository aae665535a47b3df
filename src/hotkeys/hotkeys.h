// Operator actions and their triggers. Every command an operator gives
// without a dialog is an action with a fixed number (the numbers are stored
// in "Hotkeys.txt" and in older files, so they never move). Keyboard keys,
// input signals, remote-control keys and the on-screen function buttons are
// bound to actions; whatever the trigger, the action's handler runs with a
// "pressed" or "released" kind, so that a jog runs while its key is held.
//
// Everything here runs on the GUI thread. The handlers call the main
// window through HotkeyHost, which keeps this part free of the GUI toolkit.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class BackEnd;
class ParaFile;

enum class HotkeyEvent { PRESSED, RELEASED };

enum TriggerType : int32_t { TRIGGER_KEY = 1, TRIGGER_INPUT = 2, TRIGGER_REMOTE = 3, TRIGGER_BUTTON = 4 };

constexpr int kActionCount = 139;
constexpr int kFunctionButtons = 8;
// Action numbers the application refers to by name.
enum : int {
  ACTION_JOG_X_PLUS = 0,
  ACTION_JOG_Z_MINUS = 5,
  ACTION_JOG_SLOW_FIRST = 16,
  ACTION_JOG_FAST_FIRST = 32,
  ACTION_FEED_HOLD = 48,
  ACTION_FEED_RESUME = 49,
  ACTION_TOGGLE_START = 54,
  ACTION_HANDWHEEL_DOOR = 79,
  ACTION_START_PROGRAM = 96,
  ACTION_STOP_PROGRAM = 97,
  ACTION_USER_MACRO_1 = 98,
  ACTION_USER_MACRO_11 = 120,
  ACTION_OFFSET_G53 = 132,
};

// Modifier bits of keyboard bindings (the toolkit's own values).
enum : int32_t { KEYMOD_ALT = 0x1, KEYMOD_CTRL = 0x2, KEYMOD_SHIFT = 0x4, KEYMOD_META = 0x8 };

struct HotkeyBinding {
  int32_t type = 0;        // TriggerType
  std::string character;   // keyboard: the key's name as the operator reads it
  int32_t code = 0;        // keyboard: key code
  int32_t modifiers = 0;   // keyboard: KEYMOD_* mask
  int32_t signal = 0;      // input: signal number 0..2047
  int32_t key = 0;         // remote key code or function-button number
  bool lastState = false;  // input: the state seen at the last poll

  static HotkeyBinding Key(int32_t code, int32_t modifiers, const std::string& character = std::string());
  static HotkeyBinding Input(int32_t signal);
  static HotkeyBinding Remote(int32_t key);
  static HotkeyBinding Button(int32_t number);
  // The same trigger (the fields that identify it for its type).
  bool SameTrigger(const HotkeyBinding& other) const;
  // As the settings dialog lists it.
  std::string Text() const;
};

// The key's name for the operator: special keys by name ("left", "page up",
// "numpad_3", "F5"), printable keys as themselves, with "Ctrl+", "Shift+"...
// in front for the modifiers.
std::string KeyName(int32_t code, int32_t modifiers);

// What the main window does for the actions. Jog axes are machine axis
// numbers (0 = X); velocities in mm/s (degrees/s for rotary axes).
class HotkeyHost {
 public:
  enum Op {
    FEED_HOLD, FEED_RESUME, TOGGLE_START, REWIND, START_PROGRAM, STOP_PROGRAM,
    FEED_OVERRIDE_STEP,     // arg +1 / -1
    SPINDLE_OVERRIDE_STEP,  // arg +1 / -1
    OPEN_MDI,
    RESET_AXIS,             // arg: axis, -1 = all: the work position of the axis becomes 0
    JOG_SPEED_STEP,         // arg +1 / -1: next or previous jog speed
    HOME_ALL, JOG_RAPID,
    SET_JOG_SPEED,          // arg 0..3
    JOG_CONTINUOUS,
    SET_JOG_STEP,           // arg 0..3
    CYCLE_JOG_SPEED, CYCLE_JOG_STEP,
    MOVE_AXIS_TO_ZERO,      // arg: axis
    MOVE_TO_ZERO, MOVE_TO_PARK,
    TOGGLE_M,               // arg 3, 4, 7, 8
    USER_MACRO,             // arg 1..20
    SELECT_OFFSET,          // arg 0..6 = G53..G59
    THC_TOGGLE, THC_OFF, THC_ON,
    THC_ADJUST,             // arg +1 / -1
    CAMERA_TO_CROSSHAIR, CAMERA_BACK, OFFSET_TO_CROSSHAIR,
  };
  virtual ~HotkeyHost() = default;
  // The back end commands go to; null while there is none.
  virtual BackEnd* HotkeyBackEnd() = 0;
  virtual void RunOperation(Op op, int arg) = 0;
  // A continuous jog (or one step, in the window's step mode); axis2 -1 for one axis.
  virtual void StartJog(int axis, bool positive, int axis2, bool positive2, double velocity) = 0;
  virtual void StopJog() = 0;
  // The jog speed the operator selected, mm/s.
  virtual double SelectedJogSpeed() = 0;
  // Yes/No question; true for Yes.
  virtual bool AskYesNo(const std::string& caption, const std::string& text) = 0;
  virtual void ShowMessage(const std::string& caption, const std::string& text) = 0;
  // Queues OnInputEvent(action, active) behind the events already waiting.
  virtual void PostInputEvent(int action, bool active) = 0;
  // The user macro's own name (number 1..20); empty when it has none.
  virtual std::string UserMacroName(int) { return std::string(); }
};

class Hotkeys {
 public:
  explicit Hotkeys(HotkeyHost* host);
  virtual ~Hotkeys();
  Hotkeys(const Hotkeys&) = delete;
  Hotkeys& operator=(const Hotkeys&) = delete;

  // ---- the action table (invalid numbers: empty, -1, false, null)
  static bool ValidAction(int action) { return action >= 0 && action < kActionCount; }
  // The action's name, or for a user macro with a name of its own that name.
  std::string Name(int action) const;
  const std::string& ActionName(int action) const;
  int MacroNumber(int action) const;
  bool IsMoving(int action) const;
  bool IsHandwheelOnly(int action) const;
  bool HasBindings(int action) const;
  const std::vector<HotkeyBinding>* Bindings(int action) const;
  const HotkeyBinding* Binding(int action, int index) const;
  // The group the settings dialog lists the action under.
  static const char* Group(int action);

  // ---- bindings
  // Binds a trigger; one bound elsewhere is moved only when the operator
  // agrees. False for an invalid action or a refused move.
  bool AddBinding(int action, const HotkeyBinding& binding);
  bool FindBinding(const HotkeyBinding& binding, int& action, int& index) const;
  bool RemoveBinding(int action, int index);
  void ClearBindings(int action);
  void ClearType(int32_t type);
  int ActionForKey(int32_t code, int32_t modifiers) const;
  // A usable set for a machine without a hotkey file: arrows and page keys
  // jog (Shift fast, Ctrl slow), F5/F6 start and stop, F7/F8 hold and resume.
  void SetDefaultBindings();

  // ---- triggers
  // A key event of the main window; true when consumed. A key held down
  // repeats presses: only the first runs the action. Its release is matched
  // by the key alone, so letting go of a modifier first still stops a jog.
  bool DispatchKey(int32_t code, int32_t modifiers, HotkeyEvent kind);
  // Releases every key held (the window lost the focus).
  void ReleaseHeldKeys();
  bool KeyHeld() const { return !heldKeys.empty(); }
  bool KeyHeld(int32_t code) const;
  bool DispatchFunctionButton(int32_t button, bool pressed);
  bool DispatchRemoteKey(int32_t key, bool pressed);
  // From the main cycle: posts an event for every bound input that changed.
  void PollInputs();
  void OnInputEvent(int action, bool active);
  bool enabled = true;

  // Handwheel mode: moving actions leave it first.
  void SetHandwheelMode(bool on) { handwheelMode = on; }
  bool HandwheelMode() const { return handwheelMode; }

  // Keyboard-emulation programs turn joystick or pad input into keys; while
  // one is installed, keys never run actions. The check runs on every key
  // event (the program may be installed while this one runs).
  using EmulationProbe = std::function<bool()>;
  void SetEmulationProbe(EmulationProbe probe) { emulationProbe = std::move(probe); }
  static bool KeyboardEmulationInstalled();

  // ---- the file
  // The file the table is kept in and the parameter table of the oldest
  // layout (defaults: "Hotkeys.txt" and "ParameterTable.txt").
  void SetFiles(ParaFile* hotkeyFile, ParaFile* parameterTable);
  // Reads bindings; returns the entries skipped (number and reason).
  std::vector<std::string> Load(bool functionButtonsOnly, ParaFile& file);
  // Writes every binding in the current format; false when writing failed.
  bool Save(bool clearFirst, ParaFile& file) const;
  static constexpr int kFileVersion = 3;

 private:
  struct Action;
  void Run(int action, HotkeyEvent kind);
  void LeaveHandwheelMode();
  bool Dispatch(const HotkeyBinding& trigger, HotkeyEvent kind);
  void LoadCurrent(bool functionButtonsOnly, ParaFile& file, std::vector<std::string>& skipped);
  void LoadOld(bool functionButtonsOnly, ParaFile& file, std::vector<std::string>& skipped);
  ParaFile& MainFile() const;
  ParaFile& ParameterTable() const;

  HotkeyHost* host;
  std::vector<Action> actions;
  struct HeldKey {
    int32_t code, modifiers;
    bool bound;
  };
  std::vector<HeldKey> heldKeys;
  bool handwheelMode = false;
  EmulationProbe emulationProbe;
  ParaFile* mainFile = nullptr;
  ParaFile* paramFile = nullptr;
};
