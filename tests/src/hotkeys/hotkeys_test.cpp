#include "hotkeys/hotkeys.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <wx/defs.h>

#include "common/applog_capture.h"
#include "common/testsupport.h"
#include "machine/machineconfig.h"
#include "motion/backend.h"
#include "params/parafile.h"

namespace {

// A back end whose inputs the test sets; it records the calls hotkeys make.
class InputBackEnd : public BackEnd {
 public:
  bool GetSignal(int32_t s) override { return s >= 0 && s < 64 && inputs[s]; }
  void HandwheelJog(bool start, int32_t axis, double step, double velocity, bool flag) override {
    calls.push_back("HandwheelJog " + std::to_string(start) + " " + std::to_string(axis) + " " +
                    std::to_string(step) + " " + std::to_string(velocity) + " " + std::to_string(flag));
  }
  void UnlockDoor() override { calls.push_back("UnlockDoor"); }
  bool inputs[64] = {};
  std::vector<std::string> calls;
};

// The main window as the handlers see it: every call recorded in order.
class RecordingHost : public HotkeyHost {
 public:
  BackEnd* HotkeyBackEnd() override { return &backEnd; }
  void RunOperation(Op op, int arg) override { calls.push_back("op " + std::to_string(op) + " " + std::to_string(arg)); }
  void StartJog(int axis, bool positive, int axis2, bool positive2, double velocity) override {
    char b[96];
    std::snprintf(b, sizeof b, "jog %d%c %d%c %g", axis, positive ? '+' : '-', axis2, positive2 ? '+' : '-', velocity);
    calls.push_back(b);
  }
  void StopJog() override { calls.push_back("stop"); }
  double SelectedJogSpeed() override { return 20; }
  bool AskYesNo(const std::string& caption, const std::string& text) override {
    questions.push_back(caption + ": " + text);
    return answer;
  }
  void ShowMessage(const std::string&, const std::string& text) override { messages.push_back(text); }
  void PostInputEvent(int action, bool active) override { posted.push_back({action, active}); }
  std::string UserMacroName(int n) override { return n == 3 ? "Probe tool" : std::string(); }

  InputBackEnd backEnd;
  std::vector<std::string> calls, questions, messages;
  std::vector<std::pair<int, bool>> posted;
  bool answer = false;
};

const HotkeyEvent PRESS = HotkeyEvent::PRESSED, RELEASE = HotkeyEvent::RELEASED;

class HotkeysTest : public ::testing::Test {
 protected:
  void SetUp() override {
    GetMachineConfig() = MachineConfig();
    keys.SetEmulationProbe([this] { return emulation; });
  }
  void TearDown() override { GetMachineConfig() = MachineConfig(); }
  RecordingHost host;
  Hotkeys keys{&host};
  bool emulation = false;
};

TEST_F(HotkeysTest, HeldKeyRunsOnceAndItsReleaseStopsEvenWithTheModifierLetGoFirst) {
  ASSERT_TRUE(keys.AddBinding(0, HotkeyBinding::Key(WXK_RIGHT, 0)));
  ASSERT_TRUE(keys.AddBinding(ACTION_JOG_FAST_FIRST, HotkeyBinding::Key(WXK_RIGHT, KEYMOD_SHIFT)));
  GetMachineConfig().jogFastLin = 4;
  // The keyboard repeats: one start only.
  EXPECT_TRUE(keys.DispatchKey(WXK_RIGHT, 0, PRESS));
  EXPECT_TRUE(keys.DispatchKey(WXK_RIGHT, 0, PRESS));
  EXPECT_TRUE(keys.DispatchKey(WXK_RIGHT, 0, RELEASE));
  // Shift+Right held, Shift let go before Right: the release still stops.
  EXPECT_TRUE(keys.DispatchKey(WXK_RIGHT, KEYMOD_SHIFT, PRESS));
  EXPECT_TRUE(keys.DispatchKey(WXK_RIGHT, 0, RELEASE));
  EXPECT_EQ(host.calls, (std::vector<std::string>{"jog 0+ -1- 20", "stop", "jog 0+ -1- 100", "stop"}));
  EXPECT_FALSE(keys.KeyHeld());
  // An unbound key goes on to the focused control.
  EXPECT_FALSE(keys.DispatchKey('Q', 0, PRESS));
  EXPECT_FALSE(keys.DispatchKey('Q', 0, RELEASE));
}

TEST_F(HotkeysTest, FocusLossReleasesEveryHeldKeyOnce) {
  keys.AddBinding(2, HotkeyBinding::Key(WXK_UP, 0));
  keys.AddBinding(ACTION_FEED_HOLD, HotkeyBinding::Key(WXK_F7, 0));
  keys.DispatchKey(WXK_UP, 0, PRESS);
  keys.DispatchKey(WXK_F7, 0, PRESS);
  keys.ReleaseHeldKeys();
  keys.ReleaseHeldKeys();
  EXPECT_EQ(host.calls, (std::vector<std::string>{"jog 1+ -1- 20", "op 0 0", "stop"}));
  // Pressed again after the focus came back: a fresh start.
  keys.DispatchKey(WXK_UP, 0, PRESS);
  EXPECT_EQ(host.calls.back(), "jog 1+ -1- 20");
}

TEST_F(HotkeysTest, KeyboardEmulationLetsEveryKeyThroughAndSaysSo) {
  testsupport::AppLogCapture log(LOGCAT_USER_ACTIONS);
  keys.AddBinding(0, HotkeyBinding::Key(WXK_RIGHT, 0));
  emulation = true;
  EXPECT_FALSE(keys.DispatchKey(WXK_RIGHT, 0, PRESS));
  EXPECT_TRUE(host.calls.empty());
  EXPECT_EQ(log.Count("Antimicro-Software or Keysticks-Software found."), 1);
  emulation = false;
  EXPECT_TRUE(keys.DispatchKey(WXK_RIGHT, 0, PRESS));
  EXPECT_TRUE(keys.DispatchKey(WXK_RIGHT, 0, RELEASE));
  EXPECT_EQ(log.Count("DispatchEvent ### CHAR_HOOK"), 1);
  EXPECT_EQ(log.Count("DispatchEvent ### KEY_UP"), 1);
}

TEST_F(HotkeysTest, ATriggerBelongsToOneActionAndMovesOnlyWhenTheOperatorAgrees) {
  const HotkeyBinding f2 = HotkeyBinding::Key(WXK_F2, KEYMOD_CTRL);
  EXPECT_FALSE(keys.AddBinding(kActionCount, f2));
  EXPECT_FALSE(keys.AddBinding(-1, f2));
  ASSERT_TRUE(keys.AddBinding(48, f2));
  EXPECT_TRUE(keys.AddBinding(48, f2));  // again, same action: nothing changes
  EXPECT_EQ(keys.Bindings(48)->size(), 1u);
  EXPECT_TRUE(host.questions.empty());

  host.answer = false;
  EXPECT_FALSE(keys.AddBinding(100, f2));
  ASSERT_EQ(host.questions.size(), 1u);
  EXPECT_EQ(host.questions[0],
            "Re-assign hotkeys: This hotkey is already being used by Feed hold(48).\nDo you want to clear the "
            "existing assignment and assign to this function?\nNew function(100): Probe tool");
  EXPECT_EQ(keys.ActionForKey(WXK_F2, KEYMOD_CTRL), 48);
  host.answer = true;
  EXPECT_TRUE(keys.AddBinding(100, f2));
  EXPECT_EQ(keys.ActionForKey(WXK_F2, KEYMOD_CTRL), 100);
  EXPECT_FALSE(keys.HasBindings(48));
  // A different modifier is a different trigger.
  EXPECT_EQ(keys.ActionForKey(WXK_F2, 0), -1);
}

TEST_F(HotkeysTest, InputThatStaysActiveGivesOnePressAndOneReleaseAndIsIgnoredWhileDisabled) {
  keys.AddBinding(ACTION_FEED_HOLD, HotkeyBinding::Input(7));
  keys.AddBinding(ACTION_FEED_RESUME, HotkeyBinding::Input(9));
  host.backEnd.inputs[7] = true;
  keys.PollInputs();
  keys.PollInputs();
  host.backEnd.inputs[7] = false;
  host.backEnd.inputs[9] = true;
  keys.PollInputs();
  keys.PollInputs();
  EXPECT_EQ(host.posted, (std::vector<std::pair<int, bool>>{{48, true}, {48, false}, {49, true}}));
  keys.enabled = false;
  host.backEnd.inputs[9] = false;
  keys.PollInputs();
  EXPECT_EQ(host.posted.size(), 3u);
  // The posted events run the actions: an operation only on the press.
  for (auto [action, active] : host.posted) keys.OnInputEvent(action, active);
  EXPECT_EQ(host.calls, (std::vector<std::string>{"op 0 0", "op 1 0"}));
}

TEST_F(HotkeysTest, JogsFollowTheConfiguredAxesAndTheirSpeedEntries) {
  MachineConfig& cfg = GetMachineConfig();
  for (int a = 0; a < kAxisCount; ++a) cfg.axis[a].displayAxis = false;
  for (int a : {0, 1, 2, 4}) cfg.axis[a].displayAxis = true;  // X Y Z B
  cfg.jogSlowLin = 0;
  cfg.jogSlowRot = 1;
  cfg.jogFastLin = 3;
  cfg.jogFastRot = 99;  // out of range: the last entry
  struct Case {
    int action;
    std::string call;
  } cases[] = {
      {0, "jog 0+ -1- 20"},         {5, "jog 2- -1- 20"},       {6, "jog 4+ -1- 20"},   // Jog 4 = B
      {8, ""},                      {13, "jog 0- 1+ 20"},       {16 + 3, "jog 1- -1- 1"},
      {16 + 7, "jog 4- -1- 5"},     {32 + 15, "jog 0- 1- 50"}, {32 + 6, "jog 4+ -1- 100"},
  };
  for (const Case& c : cases) {
    host.calls.clear();
    keys.OnInputEvent(c.action, true);
    keys.OnInputEvent(c.action, false);
    std::vector<std::string> want;
    if (!c.call.empty()) want.push_back(c.call);
    want.push_back("stop");
    EXPECT_EQ(host.calls, want) << keys.ActionName(c.action);
  }
}

TEST_F(HotkeysTest, MovingActionsLeaveHandwheelModeAndOnlyTheDoorButtonActsWithoutAHandset) {
  struct Case {
    int action;
    bool leaves;
    std::vector<std::string> backEnd;
    std::vector<std::string> host;
  } cases[] = {
      {ACTION_FEED_HOLD, false, {}, {"op 0 0"}},
      {ACTION_TOGGLE_START, true, {"HandwheelJog 0 0 0.000000 0.000000 1"}, {"op 2 0"}},
      {ACTION_HANDWHEEL_DOOR, false, {"UnlockDoor"}, {}},
      {84, true, {"HandwheelJog 0 0 0.000000 0.000000 1"}, {}},  // Handwheel start, moving
      {85, false, {}, {}},
      {65, false, {}, {}},  // Reset 4 on a three-axis machine
      {59, false, {}, {"op 9 0"}},  // Reset X
      {ACTION_OFFSET_G53 + 6, false, {}, {"op 23 6"}},
      {ACTION_USER_MACRO_11 + 9, false, {}, {"op 22 20"}},
  };
  for (const Case& c : cases) {
    host.calls.clear();
    host.backEnd.calls.clear();
    keys.SetHandwheelMode(true);
    keys.OnInputEvent(c.action, true);
    keys.OnInputEvent(c.action, false);
    EXPECT_EQ(host.backEnd.calls, c.backEnd) << keys.ActionName(c.action);
    EXPECT_EQ(host.calls, c.host) << keys.ActionName(c.action);
    EXPECT_EQ(keys.HandwheelMode(), !c.leaves) << keys.ActionName(c.action);
  }
}

TEST_F(HotkeysTest, FunctionButtonsAndRemoteKeysFindTheirOwnKindOnly) {
  keys.AddBinding(ACTION_STOP_PROGRAM, HotkeyBinding::Button(2));
  keys.AddBinding(ACTION_FEED_HOLD, HotkeyBinding::Remote(2));
  EXPECT_TRUE(keys.DispatchFunctionButton(2, true));
  EXPECT_TRUE(keys.DispatchFunctionButton(2, false));
  EXPECT_TRUE(keys.DispatchRemoteKey(2, true));
  EXPECT_FALSE(keys.DispatchFunctionButton(3, true));
  EXPECT_EQ(host.calls, (std::vector<std::string>{"op 5 0", "op 0 0"}));
  keys.ClearType(TRIGGER_BUTTON);
  EXPECT_FALSE(keys.DispatchFunctionButton(2, true));
  EXPECT_TRUE(keys.DispatchRemoteKey(2, true));
}

// ---- the file

class HotkeyFileTest : public HotkeysTest {
 protected:
  void SetUp() override {
    HotkeysTest::SetUp();
    dir = testsupport::MakeTempDir("hotkeys");
    main.Open(dir + "/Hotkeys.txt");
    params.Open(dir + "/ParameterTable.txt");
    keys.SetFiles(&main, &params);
  }
  void TearDown() override {
    main.Discard();
    params.Discard();
    HotkeysTest::TearDown();
  }
  std::string Write(const std::string& name, const std::string& text) {
    testsupport::WriteFile(dir + "/" + name, text);
    return dir + "/" + name;
  }
  // Every binding as text, in action order.
  static std::string Table(const Hotkeys& k) {
    std::string out;
    for (int a = 0; a < kActionCount; ++a)
      for (const HotkeyBinding& b : *k.Bindings(a)) out += std::to_string(a) + " " + b.Text() + "\n";
    return out;
  }
  std::string dir;
  ParaFile main, params;
};

TEST_F(HotkeyFileTest, EveryKindSurvivesSavingAndAShorterTableLeavesNoGhosts) {
  keys.AddBinding(0, HotkeyBinding::Key(WXK_RIGHT, KEYMOD_SHIFT | KEYMOD_CTRL));
  keys.AddBinding(0, HotkeyBinding::Input(2047));
  keys.AddBinding(120, HotkeyBinding::Remote(77));
  keys.AddBinding(138, HotkeyBinding::Button(7));
  keys.AddBinding(48, HotkeyBinding::Key('=', 0, "="));
  ASSERT_TRUE(keys.Save(true, main));
  main.Discard();
  main.Open(dir + "/Hotkeys.txt");
  RecordingHost host2;
  Hotkeys back(&host2);
  back.SetFiles(&main, &params);
  EXPECT_TRUE(back.Load(false, main).empty());
  EXPECT_EQ(Table(back), Table(keys));
  EXPECT_EQ(back.Binding(48, 0)->character, "=");

  keys.ClearBindings(0);
  ASSERT_TRUE(keys.Save(false, main));
  Hotkeys third(&host2);
  third.SetFiles(&main, &params);
  EXPECT_TRUE(third.Load(false, main).empty());
  EXPECT_EQ(Table(third), Table(keys));
}

TEST_F(HotkeyFileTest, BrokenAndUnknownEntriesAreReportedAndTheRestKept) {
  ParaFile file;
  file.Open(Write("import.txt",
                  "HK_File_Version=3\n"
                  "HK_Actnum_00=48\nHK_Type_00=1\nHK_Char_00=F7\nHK_Code_00=346\nHK_Mod_00=0\n"
                  "HK_Actnum_01=139\nHK_Type_01=2\nHK_SigNum_01=5\n"          // no such action
                  "HK_Actnum_02=5\nHK_Type_02=9\nHK_Key_02=1\n"               // no such type
                  "HK_Actnum_03=5\nHK_Type_03=1\nHK_Code_03=65\nHK_Mod_03=0\n"  // no HK_Char
                  "HK_Actnum_04=5\nHK_Type_04=2\nHK_SigNum_04=x12\n"          // not a number
                  "Colour=blue\n"
                  "garbage line\n"
                  "HK_Actnum_05=97\nHK_Type_05=4\nHK_Key_05=3\n"));
  const std::vector<std::string> skipped = keys.Load(false, file);
  EXPECT_EQ(Table(keys), "48 Keyboard: F7 (346, 0)\n97 Function Button: 3\n");
  ASSERT_EQ(skipped.size(), 6u);
  EXPECT_EQ(skipped[0], "binding 1: no valid action number");
  EXPECT_EQ(skipped[1], "binding 2: no valid trigger type");
  EXPECT_EQ(skipped[2], "binding 3: entries missing or broken");
  EXPECT_EQ(skipped[3], "binding 4: entries missing or broken");
  EXPECT_NE(skipped[4].find("\"Colour=blue\""), std::string::npos);
  EXPECT_NE(skipped[5].find("\"garbage line\""), std::string::npos);
  file.Discard();
}

TEST_F(HotkeyFileTest, OlderFormatsKeepTheirNumbersAndAreRewrittenInTheCurrentOne) {
  // Version 2: trigger kinds as a bit mask, or the older hard/soft flag.
  ParaFile old;
  old.Open(Write("old.txt",
                 "HK_SignalType_00=2\nHotkey_Code_00=314\nHotkey_Mask_00=0\nHotkey_Char_00=left\n"
                 "HK_SignalType_48=20\nHotHkey_Code_48=12\nHotFunctionKey_48=1\n"
                 "HK_SignalType_97=8\nHotRkey_Code_97=5\n"
                 "Hotkey_IsHard_118=1\nHotHkey_Code_118=13\n"
                 "Hotkey_IsHard_117=0\nHotkey_Code_117=0\n"  // code 0: no key
                 "HK_SignalType_119=2\nHotkey_Code_119=315\n"));  // beyond the old table
  keys.AddBinding(5, HotkeyBinding::Key(WXK_F9, 0));
  EXPECT_TRUE(keys.Load(false, old).empty());
  old.Discard();
  const std::string want =
      "0 Keyboard: left (314, 0)\n48 Hardware Signal: 12\n48 Function Button: 1\n97 USB-Remote: 5\n"
      "118 Hardware Signal: 13\n";
  EXPECT_EQ(Table(keys), want);
  // The main file now holds the table in the current format.
  main.Discard();
  main.Open(dir + "/Hotkeys.txt");
  int version = 0;
  EXPECT_TRUE(main.GetInt("HK_File_Version", version));
  EXPECT_EQ(version, 3);
  Hotkeys again(&host);
  again.SetFiles(&main, &params);
  again.Load(false, main);
  EXPECT_EQ(Table(again), want);

  // Version 1: a main file without "ExtraFile" reads the parameter table.
  params.SetInt("HK_SignalType", 49, 2);
  params.SetInt("Hotkey_Code", 49, 'R');
  params.SetString("Hotkey_Char", 49, "R");
  main.Clear();
  Hotkeys oldest(&host);
  oldest.SetFiles(&main, &params);
  oldest.Load(false, main);
  EXPECT_EQ(Table(oldest), "49 Keyboard: R (82, 0)\n");
}

TEST_F(HotkeyFileTest, KeepExistingMergesAndAnUnusableVersionSaysSo) {
  keys.AddBinding(0, HotkeyBinding::Key(WXK_RIGHT, 0));
  ParaFile merge;
  merge.Open(Write("merge.txt", "HK_File_Version=3\nKeepExisting=1\nHK_Actnum_00=1\nHK_Type_00=4\nHK_Key_00=2\n"));
  keys.Load(false, merge);
  merge.Discard();
  EXPECT_EQ(Table(keys), "0 Keyboard: right (316, 0)\n1 Function Button: 2\n");
  main.Discard();
  main.Open(dir + "/Hotkeys.txt");
  EXPECT_GE(main.FindKey("HK_Actnum_01"), 0) << "the merged table is written at once";

  // Function buttons alone: other kinds in the file and in the table stay.
  ParaFile buttons;
  buttons.Open(Write("buttons.txt", "HK_File_Version=3\nHK_Actnum_00=97\nHK_Type_00=4\nHK_Key_00=5\n"
                                    "HK_Actnum_01=2\nHK_Type_01=2\nHK_SigNum_01=4\n"));
  keys.Load(true, buttons);
  buttons.Discard();
  EXPECT_EQ(Table(keys), "0 Keyboard: right (316, 0)\n97 Function Button: 5\n");

  ParaFile bad;
  bad.Open(Write("bad.txt", "HK_File_Version=7\nKeepExisting=1\nHK_Actnum_00=1\nHK_Type_00=4\nHK_Key_00=9\n"));
  keys.Load(false, bad);
  bad.Discard();
  ASSERT_EQ(host.messages.size(), 1u);
  EXPECT_EQ(host.messages[0], "The given import file for Hotkeys has a wrong or too old format.\n"
                              "No conversiation is possible.");
  EXPECT_EQ(Table(keys), "0 Keyboard: right (316, 0)\n97 Function Button: 5\n");
}

TEST_F(HotkeyFileTest, ConflictingEntriesInAFileAskAndTheRefusedOneIsReported) {
  host.answer = false;
  ParaFile file;
  file.Open(Write("conflict.txt", "HK_File_Version=3\nHK_Actnum_00=48\nHK_Type_00=2\nHK_SigNum_00=3\n"
                                  "HK_Actnum_01=49\nHK_Type_01=2\nHK_SigNum_01=3\n"));
  const std::vector<std::string> skipped = keys.Load(false, file);
  file.Discard();
  EXPECT_EQ(host.questions.size(), 1u);
  EXPECT_EQ(Table(keys), "48 Hardware Signal: 3\n");
  ASSERT_EQ(skipped.size(), 1u);
  EXPECT_EQ(skipped[0], "binding 1: trigger kept by Feed hold");
}

}  // namespace
