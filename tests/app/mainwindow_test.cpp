// The main window under the real start-up, in simulation: programs run from
// the Start button to the end, stops, holds, MDI, user macros, operator
// dialogs, errors marked in the text, and closing.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include <wx/button.h>
#include <wx/combobox.h>

#include "app/machineconnection.h"
#include "app/mainframe.h"
#include "app/programview.h"
#include "app/toolpathview.h"
#include "base/folders.h"
#include "common/testsupport.h"
#include "gui_harness.h"
#include "interpreter/operatordialog.h"
#include "machine/machinestate.h"
#include "motion/backend.h"
#include "simulation/simulation.h"

namespace {

using guitest::PumpUntil;
constexpr auto npos = std::string::npos;

// Presses a button through the window's own event path.
void Press(wxButton* button) {
  ASSERT_TRUE(button->IsEnabled()) << button->GetLabel();
  wxCommandEvent event(wxEVT_BUTTON, button->GetId());
  event.SetEventObject(button);
  button->ProcessWindowEvent(event);
}

// A program long enough to be caught running: a square, many times.
std::string LongProgram(int rounds) {
  std::string p = "%\nG90 G54 G0 X0 Y0 Z5\nF600\n";
  for (int i = 0; i < rounds; ++i) p += "G1 X40\nG1 Y40\nG1 X0\nG1 Y0\n";
  return p + "M30\n";
}

// A macro file: the machine section and the section the simulation runs.
std::string Macro(const std::string& body) { return "%\n" + body + "M99\nSimulation\n" + body + "M99\n"; }

class MainWindow : public guitest::AppSession {
 protected:
  void SimSpeed(double factor) { frame->Connection().Sim().Clock().SetSpeed(factor); }
  bool WaitLine(int32_t line) {
    return PumpUntil([&] { return frame->Connection().Current().GetCursor() >= line; }, 20);
  }
};

TEST_F(MainWindow, ExampleProgramRunsToTheEndWithItsDialogMessagesAndPositions) {
  int asked = 0;
  dialogs.On("Enter number", [&](DialogRequest& r) {
    ++asked;
    EXPECT_EQ(r.ask->type, AskDialog::INT);
    r.ask->value = 2;
    return static_cast<int>(wxID_OK);
  });
  ASSERT_TRUE(Start());
  EXPECT_NE(frame->StatusField(0).Find("Simulation"), wxNOT_FOUND);
  ASSERT_TRUE(Load(QUORVANE_SOURCE_DIR "/examples/plate.nc"));
  EXPECT_EQ(frame->Program()->LineCount(), 45);
  EXPECT_EQ(frame->ProgressText(), "Line 0/45 = 0.00%");
  SimSpeed(8);
  Press(frame->StartButton());
  ASSERT_TRUE(WaitLine(34));
  EXPECT_GE(frame->Program()->CurrentLine(), 30);  // the view follows the run
  EXPECT_TRUE(guitest::SaveScreenshot(frame, QUORVANE_ARTIFACT_DIR "/mainwindow-run.png"));
  ASSERT_TRUE(WaitIdle(120));
  EXPECT_EQ(asked, 1);
  EXPECT_TRUE(HasMessage("holes bored: 2.0"));
  EXPECT_TRUE(HasMessage("Completed at: "));
  EXPECT_TRUE(HasMessage("outline follows"));  // every hole asked for was bored
  // X0 Y60 Z5 in G54, whose offset is 100/100/-60.
  EXPECT_EQ(frame->PositionText(0, false), "0.000");
  EXPECT_EQ(frame->PositionText(1, false), "60.000");
  EXPECT_EQ(frame->PositionText(2, false), "5.000");
  EXPECT_EQ(frame->PositionText(1, true), "160.000");
  EXPECT_EQ(frame->OffsetText(), "G54");
  const std::string log = Log();
  EXPECT_NE(log.find("UserAction: StartButton"), npos);
  EXPECT_NE(log.find("ResetCursor: runFrom=1"), npos);
  EXPECT_NE(log.find("stateComplete GetCursor="), npos);
  EXPECT_NE(log.find("stateComplete M30 rewind"), npos);
}

TEST_F(MainWindow, StopEndsTheRunAtItsLineAndTheNextStartOffersToResume) {
  ASSERT_TRUE(Start());
  ASSERT_TRUE(Load(WriteProgram("square.nc", LongProgram(50))));
  SimSpeed(4);
  Press(frame->StartButton());
  ASSERT_TRUE(WaitLine(8));
  Press(frame->StopButton());
  ASSERT_TRUE(WaitIdle(10));
  const int32_t stoppedAt = frame->Program()->CurrentLine();
  EXPECT_GE(stoppedAt, 8);
  const std::string expected = OperatorMessage(-100, stoppedAt, 0);
  EXPECT_TRUE(HasMessage(expected)) << expected;
  EXPECT_EQ(frame->Program()->ErrorLine(), 0);  // a stop is no error to mark
  EXPECT_NE(Log().find("StopProgram GetCursor=" + std::to_string(stoppedAt)), npos);

  dialogs.On("Resume Program", wxID_YES);
  Press(frame->StartButton());
  EXPECT_EQ(dialogs.Count("interrupted at line " + std::to_string(stoppedAt)), 1);
  EXPECT_NE(Log().find("PrepareRunFrom line=" + std::to_string(stoppedAt)), npos);
  ASSERT_TRUE(PumpUntil([&] { return Log().find("RunFromLine after DirectMove") != npos; }, 20));
  EXPECT_TRUE(PumpUntil([&] { return frame->Connection().Current().GetCursor() >= stoppedAt; }, 5))
      << testing::PrintToString(frame->MessageLines()) << Log();
  Press(frame->StopButton());
  ASSERT_TRUE(WaitIdle(10));
}

TEST_F(MainWindow, FeedHoldFreezesTheMachineAndResumeRestoresItsOverride) {
  ASSERT_TRUE(Start());
  ASSERT_TRUE(Load(WriteProgram("square.nc", LongProgram(20))));
  frame->FeedResume();  // nothing held: nothing to restore
  EXPECT_EQ(frame->RememberedFeedOverride(), 0);
  frame->SetFeedOverride(80);
  Press(frame->StartButton());
  ASSERT_TRUE(WaitLine(4));
  Press(frame->FeedHoldButton());
  EXPECT_EQ(frame->RememberedFeedOverride(), 80);
  BackEnd& be = frame->Connection().Current();
  EXPECT_EQ(be.GetFeedOverride(), 0);
  frame->FeedHold();  // already held: the remembered value stays
  EXPECT_EQ(frame->RememberedFeedOverride(), 80);
  guitest::Pump(0.1);
  const wxString x = frame->PositionText(0, true), y = frame->PositionText(1, true);
  guitest::Pump(0.3);
  EXPECT_EQ(frame->PositionText(0, true), x);
  EXPECT_EQ(frame->PositionText(1, true), y);
  Press(frame->ResumeButton());
  EXPECT_EQ(be.GetFeedOverride(), 80);
  EXPECT_EQ(frame->RememberedFeedOverride(), 0);
  EXPECT_TRUE(PumpUntil([&] { return frame->PositionText(0, true) != x || frame->PositionText(1, true) != y; }, 2));
  const std::string log = Log();
  EXPECT_NE(log.find("UserAction: FeedHold"), npos);
  EXPECT_NE(log.find("UserAction: FeedResume"), npos);
  Press(frame->StopButton());
}

TEST_F(MainWindow, MdiLinesRunInTurnAndStayInTheHistory) {
  ASSERT_TRUE(Start());
  EXPECT_FALSE(frame->SendMdi("   "));
  // Through the field and Enter, as typed.
  frame->MdiField()->SetValue("G53");
  wxCommandEvent enter(wxEVT_TEXT_ENTER, frame->MdiField()->GetId());
  enter.SetEventObject(frame->MdiField());
  frame->MdiField()->ProcessWindowEvent(enter);
  EXPECT_TRUE(frame->MdiField()->GetValue().empty());
  // The following lines while the machine moves: they wait their turn.
  EXPECT_TRUE(frame->SendMdi("G0 X10 Y20"));
  EXPECT_TRUE(frame->SendMdi("G1 X30 F3000"));
  EXPECT_TRUE(frame->SendMdi("G1 Y5 F3000"));
  ASSERT_TRUE(WaitIdle(20));
  EXPECT_EQ(frame->PositionText(0, true), "30.000");
  EXPECT_EQ(frame->PositionText(1, true), "5.000");
  EXPECT_NE(Log().find("MDI StartMacro() nextCmd queued"), npos);
  const std::vector<std::string> history{"G1 Y5 F3000", "G1 X30 F3000", "G0 X10 Y20", "G53"};
  EXPECT_EQ(frame->MdiHistory(), history);
  // A line the interpreter refuses: its report in the message list.
  EXPECT_TRUE(frame->SendMdi("G1 X10 G0 Y5"));
  ASSERT_TRUE(WaitIdle(10));
  EXPECT_TRUE(HasMessage(ErrorText(Error_t(-1016)))) << testing::PrintToString(frame->MessageLines());
}

TEST_F(MainWindow, UserMacroButtonsRunTheirFilesAndAskTheOperator) {
  dialogs.On("Please confirm", [](DialogRequest& r) {
    EXPECT_EQ(r.text, "Clamp the part?");
    r.ask->value = AskDialog::kYes;
    return static_cast<int>(wxID_OK);
  });
  ASSERT_TRUE(Start({{"User01.txt", Macro("PRINT \"user one\"\n")},
                     {"User02.txt", Macro("ASKBOOL \"Clamp the part?\"\nPRINT \"answer \";#0\n")}}));
  Press(frame->UserMacroButton(1));
  ASSERT_TRUE(WaitIdle(10));
  EXPECT_TRUE(HasMessage("user one"));
  Press(frame->UserMacroButton(2));
  ASSERT_TRUE(WaitIdle(10));
  EXPECT_EQ(dialogs.Count("Clamp the part?"), 1);
  EXPECT_TRUE(HasMessage("answer 1.0")) << testing::PrintToString(frame->MessageLines());
  const std::string log = Log();
  EXPECT_NE(log.find("UserAction: invoke UserMacro #1"), npos);
  EXPECT_NE(log.find("CALL \"User02.txt\""), npos);
}

TEST_F(MainWindow, ErrorIsMarkedAtItsLineFromTheTokenColumn) {
  ASSERT_TRUE(Start());
  ASSERT_TRUE(Load(WriteProgram("bad.nc", "%\nG0 X1\nG1 X10 G0 Y5\nM30\n")));
  Press(frame->StartButton());
  ASSERT_TRUE(WaitIdle(10));
  EXPECT_EQ(frame->Program()->ErrorLine(), 3);
  EXPECT_EQ(frame->Program()->ErrorColumn(), 7);
  EXPECT_TRUE(HasMessage("line 3 column 7")) << testing::PrintToString(frame->MessageLines());
}

TEST_F(MainWindow, M0PausesAtTheBreakpointDialogUntilTheOperatorAnswers) {
  int shown = 0;
  dialogs.On("M0/M1 Breakpoint", [&](DialogRequest& r) {
    EXPECT_EQ(r.text, "Press OK to continue or Cancel to abort.");
    return ++shown == 1 ? static_cast<int>(wxID_OK) : static_cast<int>(wxID_CANCEL);
  });
  ASSERT_TRUE(Start());
  ASSERT_TRUE(Load(WriteProgram("m0.nc", "%\nG53\nG0 X5\nM0\nG0 X6\nM1\nG0 X7\nM30\n")));
  Press(frame->StartButton());
  ASSERT_TRUE(WaitIdle(10));
  EXPECT_EQ(shown, 2);
  EXPECT_EQ(frame->PositionText(0, true), "6.000");  // cancelled at the second stop
}

TEST_F(MainWindow, CloseIsRefusedWhileRunningAndRunsTheShutdownMacroOnceWhenIdle) {
  dialogs.On("Machine running", wxID_OK);
  ASSERT_TRUE(Start({{"Shutdown.txt", Macro("LOGFILE \"%appdata%/shutdown.log\";1\nPRINT>1;\"bye\"\n")}}));
  ASSERT_TRUE(Load(WriteProgram("square.nc", LongProgram(20))));
  Press(frame->StartButton());
  ASSERT_TRUE(WaitLine(3));
  frame->Close();
  EXPECT_EQ(dialogs.Count("Please stop the machine, first."), 1);
  EXPECT_TRUE(frame->IsShown());
  EXPECT_FALSE(frame->ShutdownMacroDone());
  Press(frame->StopButton());
  ASSERT_TRUE(WaitIdle(10));
  ASSERT_TRUE(CloseWindow());
  const std::string log = Log();
  EXPECT_NE(log.find("OnClose() after Wait"), npos);
  EXPECT_EQ(testsupport::ReadFile(Folders::Join(paramDir, "shutdown.log")), "bye\n");
}

TEST_F(MainWindow, HomingRunFromLineOffsetsAndJogging) {
  dialogs.On("Homing recommended", 0);  // "Home now"
  ASSERT_TRUE(Start());
  ASSERT_TRUE(Load(WriteProgram("lines.nc", "%\nG90 G54\nG0 X1 Y1 Z-1\nG0 X2 Y2\nG0 X3 Y3\nG0 X4 Y4\nM30\n")));
  frame->SetRunFromLine(5);
  EXPECT_FALSE(frame->StartProgram());  // homes instead
  ASSERT_TRUE(WaitIdle(20));
  EXPECT_TRUE(frame->HomedSinceStart());
  EXPECT_NE(Log().find("Homing completed"), npos);

  ASSERT_TRUE(frame->StartProgram());  // homed: no question
  ASSERT_TRUE(WaitIdle(20));
  EXPECT_EQ(dialogs.Count("Homing recommended"), 1);
  EXPECT_NE(Log().find("PrepareRunFrom line=5"), npos);
  EXPECT_NE(Log().find("RunFromLine after DirectMove"), npos);
  EXPECT_EQ(frame->PositionText(0, false), "4.000");

  frame->SelectWorkOffset(2);
  ASSERT_TRUE(WaitIdle(10));
  EXPECT_EQ(frame->OffsetText(), "G55");
  EXPECT_EQ(frame->CurrentState().GetCurrTransNum(), 2);

  frame->SelectWorkOffset(0);
  ASSERT_TRUE(WaitIdle(10));
  const double x0 = std::stod(frame->PositionText(0, true).utf8_string());
  frame->SetJogStepPreset(3);  // 1 mm
  frame->JogStep(0, true);
  ASSERT_TRUE(WaitIdle(10));
  EXPECT_NEAR(std::stod(frame->PositionText(0, true).utf8_string()), x0 + 1.0, 1e-9);
  frame->JogStart(1, true);
  EXPECT_EQ(frame->UiModeValue(), Quorvane2Frame::UI_JOGGING);
  guitest::Pump(0.2);
  frame->JogStop();
  ASSERT_TRUE(WaitIdle(10));
  EXPECT_GT(std::stod(frame->PositionText(1, true).utf8_string()), 0.0);
}

}  // namespace

namespace {

TEST_F(MainWindow, PreviewMarksFailedLoadsAsksBeforeRangeErrorsAndCanBeCancelled) {
  ASSERT_TRUE(Start());
  // An error the preview finds: marked at its line when the load ends.
  ASSERT_TRUE(Load(WriteProgram("bad.nc", "%\nG0 X1\nG1 X10 G0 Y5\nM30\n")));
  EXPECT_EQ(frame->Program()->ErrorLine(), 3);
  EXPECT_EQ(frame->Program()->ErrorColumn(), 7);
  EXPECT_EQ(frame->Program()->ErrorLength(), 2);  // the word "G0"
  EXPECT_EQ(frame->LoadError(), ErrorReport(-1016, 3, 7));

  // X beyond the 600 mm travel: asked before the start; No keeps it idle.
  ASSERT_TRUE(Load(WriteProgram("far.nc", "%\nG90 G54\nG0 X900\nM30\n")));
  EXPECT_EQ(frame->PreviewRangeErrors(), 1);
  int asked = 0;
  dialogs.On("Range Error", [&](DialogRequest& r) {
    ++asked;
    EXPECT_NE(r.text.find("The toolpath was outside the upper(1) limit of axis X."), npos) << r.text;
    return asked == 1 ? static_cast<int>(wxID_NO) : static_cast<int>(wxID_YES);
  });
  EXPECT_FALSE(frame->StartProgram());
  EXPECT_FALSE(frame->IsRunning());
  EXPECT_TRUE(frame->StartProgram());
  ASSERT_TRUE(WaitIdle(20));
  EXPECT_EQ(asked, 2);

  // A load cancelled half-way leaves no program behind. The loop keeps the
  // preview busy far longer than the test takes to cancel it.
  const std::string path =
      WriteProgram("big.nc", "%\nREPEAT=2000000000\nG1 X10 F1000\nG1 X20\nNEXT\nM30\n");
  ASSERT_TRUE(frame->LoadProgram(path));
  EXPECT_FALSE(frame->LoadProgram(path));  // one load at a time
  frame->CancelLoad();
  // The main cycle takes the ended load over at its next tick.
  ASSERT_TRUE(PumpUntil([&] { return !frame->IsLoading() && !frame->LoadError().empty(); }, 30));
  EXPECT_EQ(frame->LoadError(), "Loading cancelled");
  EXPECT_TRUE(frame->ProgramFile().empty());
  EXPECT_FALSE(frame->StartButton()->IsEnabled());
}

}  // namespace

namespace {

// A click as the mouse sends it, at a point of a window.
void ClickAt(wxWindow* w, const wxPoint& p) {
  for (wxEventType t : {wxEVT_LEFT_DOWN, wxEVT_LEFT_UP}) {
    wxMouseEvent e(t);
    e.SetPosition(p);
    e.SetEventObject(w);
    e.m_leftDown = t == wxEVT_LEFT_DOWN;
    w->GetEventHandler()->ProcessEvent(e);
  }
}

}  // namespace

// The program text and the tool-path view share one selection: a line
// clicked in the text lights its moves in the view, a move clicked in the
// view selects its line in the text; during a run the view follows the
// machine and the light says so.
TEST_F(MainWindow, TextAndViewShareTheSelectionAndTheViewFollowsTheRun) {
  ASSERT_TRUE(Start());
  ASSERT_TRUE(Load(QUORVANE_SOURCE_DIR "/examples/pocket.nc"));
  ProgramView* text = frame->Program();
  ToolPathView* view = frame->PathView();
  ASSERT_TRUE(view->Path());
  const SegmentList& moves = view->Path()->Moves();

  // Line 10, "N70 G1 X35": clicked in the text.
  text->ShowLine(10);
  const wxRect row = text->LineRect(10);
  ASSERT_FALSE(row.IsEmpty());
  ClickAt(text, wxPoint(row.width / 2, row.y + row.height / 2));
  EXPECT_EQ(10, text->SelectedLine());
  EXPECT_EQ(10, view->SelectedLine());
  EXPECT_GT(view->SelectedSegmentCount(), 0u);

  // The longest feed move, clicked in the view at its middle.
  size_t longest = 0;
  double best = 0;
  for (size_t i = 1; i < moves.Size(); ++i) {
    const float *a = moves.StartOf(i), *b = moves[i].end;
    const double len = std::hypot(b[0] - a[0], b[1] - a[1], b[2] - a[2]);
    if (moves[i].kind != SegmentKind::Rapid && moves[i].kind != SegmentKind::Jump && len > best)
      best = len, longest = i;
  }
  const float *a = moves.StartOf(longest), *b = moves[longest].end;
  const double mid[3] = {(a[0] + b[0]) / 2.0, (a[1] + b[1]) / 2.0, (a[2] + b[2]) / 2.0};
  wxPoint at;
  ASSERT_TRUE(view->ToWindow(mid, at));
  ClickAt(view, at);
  EXPECT_EQ(moves[longest].tag, text->SelectedLine());
  EXPECT_EQ(moves[longest].tag, view->SelectedLine());
  EXPECT_TRUE(text->IsRowVisible(size_t(moves[longest].tag - 1)));

  // The run: the view's progress moves on with the machine.
  SimSpeed(0.5);
  EXPECT_EQ("NOT HOMED", frame->LightText());
  Press(frame->StartButton());
  ASSERT_TRUE(WaitLine(10));
  ASSERT_TRUE(PumpUntil([&] { return view->ProgressSegment() < moves.Size(); }, 10));
  const size_t early = view->ProgressSegment();
  EXPECT_EQ("RUNNING", frame->LightText());
  ASSERT_TRUE(PumpUntil([&] { return view->ProgressSegment() > early; }, 20));
  SimSpeed(20);
  ASSERT_TRUE(WaitIdle(60));
  // M30 rewinds: nothing is drawn as done any more.
  EXPECT_EQ(0u, view->ProgressSegment());
}
