// Operator actions in the running application, driven by real key events
// on the virtual display (xdotool through the X test extension): jogging
// while a key is held, a focus loss while it is held, start, hold and resume
// from keys, a function button, and a binding taught in the settings dialog
// that is still there after a restart.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include <wx/button.h>
#include <wx/frame.h>
#include <wx/treectrl.h>

#include "app/machineconnection.h"
#include "app/mainframe.h"
#include "app/quorvane_app.h"
#include "base/logging.h"
#include "common/testsupport.h"
#include "dialogs/hotkey_dialog.h"
#include "gui_harness.h"
#include "hotkeys/hotkeys.h"
#include "machine/machinestate.h"
#include "machine/paramexport.h"
#include "motion/backend.h"
#include "params/parafile.h"
#include "simulation/simulation.h"

namespace {

using guitest::Pump;
using guitest::PumpUntil;
constexpr auto npos = std::string::npos;

std::string Run(const std::string& command) {
  std::string out;
  if (FILE* p = popen(command.c_str(), "r")) {
    char buf[256];
    while (std::fgets(buf, sizeof buf, p)) out += buf;
    pclose(p);
  }
  return out;
}

// The X window of a top-level window, found by a title made unique here.
std::string XWindow(wxTopLevelWindow* window, const std::string& title) {
  window->SetTitle(wxString::FromUTF8(title));
  std::string id;
  PumpUntil([&] {
    const std::string out = Run("xdotool search --onlyvisible --name '^" + title + "$' 2>/dev/null");
    id = out.substr(0, out.find('\n'));
    return !id.empty();
  }, 5);
  return id;
}

// Gives the window the keyboard focus and waits until the toolkit saw it.
bool Focus(wxTopLevelWindow* window, const std::string& id) {
  window->Raise();
  if (std::system(("timeout 5 xdotool windowfocus --sync " + id + " >/dev/null 2>&1").c_str()) != 0) return false;
  return PumpUntil([&] { return window->IsActive(); }, 5);
}

// Key events as the keyboard sends them (X key names).
void Xkey(const std::string& what, const std::string& key) {
  ASSERT_EQ(std::system(("xdotool " + what + " " + key).c_str()), 0) << what << " " << key;
}

class HotkeysGui : public guitest::AppSession {
 protected:
  void SetUp() override {
    AppSession::SetUp();
    ASSERT_EQ(std::system("command -v xdotool >/dev/null"), 0) << "xdotool is installed by scripts/setup.sh";
  }
  void TearDown() override {
    HotkeyDialog::SetRunner(nullptr);
    AppSession::TearDown();
  }
  // The window on the display, focused, its back end running fast.
  void Ready(const std::string& title) {
    ASSERT_TRUE(Start());
    frame->Connection().Sim().Clock().SetSpeed(4);
    windowId = XWindow(frame, title);
    ASSERT_FALSE(windowId.empty());
    ASSERT_TRUE(Focus(frame, windowId));
  }
  double MachineX() const { return std::stod(frame->PositionText(0, true).utf8_string()); }
  std::string windowId;
};

TEST_F(HotkeysGui, HeldKeyJogsUntilItIsReleasedOrTheFocusGoes) {
  Ready("hotkeys jog");
  const double x0 = MachineX();
  Xkey("keydown", "Right");
  ASSERT_TRUE(PumpUntil([&] { return frame->UiModeValue() == Quorvane2Frame::UI_JOGGING; }, 3));
  ASSERT_TRUE(PumpUntil([&] { return MachineX() > x0 + 0.5; }, 5)) << "the jog moves X while the key is held";
  Xkey("keyup", "Right");
  ASSERT_TRUE(WaitIdle(5)) << "the release stops the jog";
  const double stopped = MachineX();
  Pump(0.3);
  EXPECT_EQ(MachineX(), stopped);
  // One start for the whole hold, however often the keyboard repeated.
  EXPECT_EQ(Log().find("UserAction: Jog axis=0 dir=1"),
            Log().rfind("UserAction: Jog axis=0 dir=1"));

  // Held, and the operator clicks into another window.
  auto* other = new wxFrame(nullptr, wxID_ANY, "other");
  other->Show();
  const std::string otherId = XWindow(other, "hotkeys other window");
  Xkey("keydown", "Left");
  ASSERT_TRUE(PumpUntil([&] { return frame->UiModeValue() == Quorvane2Frame::UI_JOGGING; }, 3));
  ASSERT_TRUE(Focus(other, otherId));
  EXPECT_TRUE(WaitIdle(5)) << "the focus loss stops the jog";
  EXPECT_FALSE(frame->Keys().KeyHeld());
  const double after = MachineX();
  Pump(0.3);
  EXPECT_EQ(MachineX(), after);
  Xkey("keyup", "Left");
  other->Destroy();
  EXPECT_NE(Log().find("Focus lost: keys released"), npos);
}

TEST_F(HotkeysGui, StartHoldAndResumeFromKeysAndAFunctionButtonRunsItsAction) {
  Ready("hotkeys run");
  std::string p = "%\nG90 G54 G0 X0 Y0 Z5\nF600\n";
  for (int i = 0; i < 20; ++i) p += "G1 X40\nG1 Y40\nG1 X0\nG1 Y0\n";
  ASSERT_TRUE(Load(WriteProgram("square.nc", p + "M30\n")));
  ASSERT_TRUE(Focus(frame, windowId));
  Xkey("key", "F5");
  ASSERT_TRUE(PumpUntil([&] { return frame->Connection().Current().GetCursor() >= 5; }, 10)) << "F5 starts";
  BackEnd& be = frame->Connection().Current();
  Xkey("key", "F7");
  ASSERT_TRUE(PumpUntil([&] { return be.GetFeedOverride() == 0; }, 3)) << "F7 holds";
  EXPECT_EQ(frame->RememberedFeedOverride(), 100);
  Pump(0.1);
  const wxString x = frame->PositionText(0, true), y = frame->PositionText(1, true);
  Pump(0.3);
  EXPECT_EQ(frame->PositionText(0, true), x);
  EXPECT_EQ(frame->PositionText(1, true), y);
  Xkey("key", "F8");
  ASSERT_TRUE(PumpUntil([&] { return be.GetFeedOverride() == 100; }, 3)) << "F8 resumes";
  EXPECT_TRUE(PumpUntil([&] { return frame->PositionText(0, true) != x || frame->PositionText(1, true) != y; }, 3));
  Xkey("key", "F6");
  ASSERT_TRUE(WaitIdle(10)) << "F6 stops";

  // A function button with an action: its label names it, and it runs it.
  EXPECT_FALSE(frame->FunctionButton(3)->IsEnabled());
  ASSERT_TRUE(frame->Keys().AddBinding(ACTION_OFFSET_G53 + 2, HotkeyBinding::Button(3)));
  frame->RefreshFunctionButtons();
  wxButton* button = frame->FunctionButton(3);
  ASSERT_TRUE(button->IsEnabled());
  EXPECT_EQ(button->GetLabel(), "Offset G55");
  wxCommandEvent click(wxEVT_BUTTON, button->GetId());
  click.SetEventObject(button);
  button->ProcessWindowEvent(click);
  ASSERT_TRUE(WaitIdle(10));
  EXPECT_TRUE(PumpUntil([&] { return frame->OffsetText() == "G55"; }, 3));
  // An input bound to an action runs it on its edge, read by the main cycle.
  ASSERT_TRUE(frame->Keys().AddBinding(ACTION_OFFSET_G53 + 3, HotkeyBinding::Input(300)));
  frame->Connection().Sim().SetInput(300, true);
  EXPECT_TRUE(PumpUntil([&] { return frame->OffsetText() == "G56"; }, 5));
  const std::string log = Log();
  EXPECT_NE(log.find("UserAction: StartButton"), npos);
  EXPECT_NE(log.find("UserAction: FeedHold"), npos);
  EXPECT_NE(log.find("UserAction: FeedResume"), npos);
  EXPECT_NE(log.find("UserAction: CoordMode/Offset 2"), npos);
}

TEST_F(HotkeysGui, KeyTaughtInTheDialogSurvivesARestartAndAConflictIsRefused) {
  Ready("hotkeys dialog");
  dialogs.On("This key is already assigned to: Start program.", wxID_NO);
  bool taught = false;
  HotkeyDialog::SetRunner([&](HotkeyDialog& d) {
    d.Show();
    const std::string id = XWindow(&d, "hotkeys settings");
    EXPECT_FALSE(id.empty());
    EXPECT_TRUE(Focus(&d, id));
    // Home all, taught Ctrl+H by pressing it.
    EXPECT_TRUE(d.SelectAction(68));
    d.StartTeaching();
    Xkey("key", "ctrl+h");
    EXPECT_TRUE(PumpUntil([&] { return !d.Teaching(); }, 3));
    EXPECT_EQ(d.BindingLines(), (std::vector<std::string>{"Keyboard: Ctrl+H (72, 2)"}));
    // F5 belongs to "Start program": the operator says no, nothing moves.
    EXPECT_TRUE(d.SelectAction(ACTION_FEED_RESUME));
    d.StartTeaching();
    Xkey("key", "F5");
    EXPECT_TRUE(PumpUntil([&] { return !d.Teaching(); }, 3));
    EXPECT_EQ(d.BindingLines(), (std::vector<std::string>{"Keyboard: F8 (347, 0)"}));
    // Moving actions stay off the function buttons.
    dialogs.On("moving command", wxID_OK);
    EXPECT_TRUE(d.SelectAction(ACTION_JOG_X_PLUS));
    EXPECT_FALSE(d.AssignFunctionButton(1));
    wxCommandEvent save(wxEVT_BUTTON, d.SaveButton()->GetId());
    save.SetEventObject(d.SaveButton());
    d.SaveButton()->ProcessWindowEvent(save);
    taught = !d.Changed();
    d.Hide();
    return wxID_CLOSE;
  });
  frame->OpenHotkeyDialog();
  ASSERT_TRUE(taught);
  EXPECT_EQ(dialogs.Count("This key is already assigned to: Start program."), 1);
  EXPECT_EQ(dialogs.Count("moving command"), 1);

  // The application closes and starts again.
  ASSERT_TRUE(CloseWindow());
  static_cast<Quorvane2App*>(wxTheApp)->EndSession();
  ResetParameterFilesForTest();
  ASSERT_TRUE(Start());
  EXPECT_EQ(frame->Keys().ActionForKey('H', KEYMOD_CTRL), 68);
  EXPECT_EQ(frame->Keys().ActionForKey(WXK_F5, 0), ACTION_START_PROGRAM);
  // And the key works in the new window.
  windowId = XWindow(frame, "hotkeys restarted");
  ASSERT_TRUE(Focus(frame, windowId));
  Xkey("key", "ctrl+h");
  EXPECT_TRUE(PumpUntil([&] { return Log().find("UserAction: Home all") != npos; }, 5));
  WaitIdle(20);
}

// A parameter set carries the hotkeys: exported from one installation, the
// start-up import brings them back.
TEST_F(HotkeysGui, ParameterSetCarriesTheHotkeys) {
  ASSERT_TRUE(Start());
  ASSERT_TRUE(frame->Keys().AddBinding(ACTION_OFFSET_G53 + 1, HotkeyBinding::Key('G', KEYMOD_ALT)));
  ASSERT_TRUE(frame->Keys().AddBinding(ACTION_STOP_PROGRAM, HotkeyBinding::Button(4)));
  ASSERT_TRUE(frame->SaveHotkeys());
  const std::string set = testsupport::MakeTempDir("set") + "/machine.set";
  ASSERT_TRUE(ExportParameterSet(set, actState));
  EXPECT_NE(testsupport::ReadFile(set).find("[Hotkeys]"), npos);
  // The bindings go, and come back with the set.
  frame->Keys().ClearType(TRIGGER_BUTTON);
  frame->Keys().ClearType(TRIGGER_KEY);
  ASSERT_TRUE(frame->SaveHotkeys());
  ASSERT_TRUE(CloseWindow());
  static_cast<Quorvane2App*>(wxTheApp)->EndSession();
  ResetParameterFilesForTest();
  ASSERT_TRUE(Start({}, set));
  EXPECT_EQ(frame->Keys().ActionForKey('G', KEYMOD_ALT), ACTION_OFFSET_G53 + 1);
  EXPECT_EQ(frame->Keys().ActionForKey(WXK_F5, 0), ACTION_START_PROGRAM);
  int action = -1, index = -1;
  EXPECT_TRUE(frame->Keys().FindBinding(HotkeyBinding::Button(4), action, index));
  EXPECT_EQ(action, ACTION_STOP_PROGRAM);
  EXPECT_EQ(frame->FunctionButton(4)->GetLabel(), "Stop program");
}

}  // namespace
