#include "app/mainframe.h"

#include <algorithm>
#include <cstdio>

#include <wx/button.h>
#include <wx/checkbox.h>
#include <wx/choice.h>
#include <wx/combobox.h>
#include <wx/display.h>
#include <wx/eventfilter.h>
#include <wx/filedlg.h>
#include <wx/filename.h>
#include <wx/gauge.h>
#include <wx/listctrl.h>
#include <wx/menu.h>
#include <wx/panel.h>
#include <wx/scrolwin.h>
#include <wx/radiobut.h>
#include <wx/sizer.h>
#include <wx/slider.h>
#include <wx/spinctrl.h>
#include <wx/splitter.h>
#include <wx/statbox.h>
#include <wx/stattext.h>

#include "app/dialoghost.h"
#include "app/hotkeyactions.h"
#include "app/machineconnection.h"
#include "app/operatorqueue.h"
#include "app/programload.h"
#include "app/programview.h"
#include "app/quorvane_app.h"
#include "app/toolpathview.h"
#include "base/folders.h"
#include "base/logging.h"
#include "dialogs/hpgl_import.h"
#include "dialogs/logicarray_dialog.h"
#include "interpreter/macroparser.h"
#include "preview/previewbuilder.h"
#include "machine/machineconfig.h"
#include "machine/machinestate.h"
#include "params/parafile.h"
#include "program/textcontrol.h"
#include "simulation/simulation.h"

namespace {
constexpr int32_t LOG_USER_ACTION = LOGCAT_USER_ACTIONS | 3;
constexpr int32_t LOG_FRAME = LOGCAT_USER_ACTIONS | 4;
constexpr int kMaxMessages = 2000;

const char* const kOffsetNames[] = {"G53", "G54", "G55", "G56", "G57", "G58", "G59"};

wxString Number(double v, int decimals) { return wxString::FromCDouble(v, decimals); }

wxStaticText* Label(wxWindow* parent, const wxString& text, int pointSize = 0, bool bold = false) {
  auto* t = new wxStaticText(parent, wxID_ANY, text);
  if (pointSize > 0 || bold) {
    wxFont f = t->GetFont();
    if (pointSize > 0) f.SetPointSize(pointSize);
    if (bold) f.MakeBold();
    t->SetFont(f);
  }
  return t;
}
}  // namespace

Quorvane2Frame::Quorvane2Frame() : Quorvane2Frame(std::unique_ptr<MachineLink>()) {}

Quorvane2Frame::Quorvane2Frame(std::unique_ptr<MachineLink> link)
    : wxFrame(nullptr, wxID_ANY, "Quorvane", wxDefaultPosition, wxSize(1440, 900)),
      dialogQueue(std::make_unique<QueuedOperator>()),
      messageQueue(std::make_unique<QueuedMessageList>()),
      loader(std::make_unique<ProgramLoader>()),
      adaptJob(std::make_unique<AdaptJob>()),
      timer1(this),
      maintenanceTimer(this) {
  // The interpreter and the back ends belong to the main window.
  parser = std::make_unique<MacroParser>(nullptr, GetCurrentState());
  connection = std::make_unique<MachineConnection>(parser.get(), link ? std::move(link)
                                                                       : std::make_unique<NoMachineLink>());
  parser->SetFrontEnd(&connection->Sim());
  SetMessageList(messageQueue.get());
  SetOperator(dialogQueue.get());

  BuildMenus();
  auto* root = new wxPanel(this);
  auto* rootSizer = new wxBoxSizer(wxVERTICAL);
  rootSizer->Add(BuildRunBar(root), 0, wxEXPAND | wxALL, 6);

  auto* vsplit = new wxSplitterWindow(root, wxID_ANY, wxDefaultPosition, wxDefaultSize,
                                      wxSP_LIVE_UPDATE | wxSP_3DSASH);
  auto* hsplit = new wxSplitterWindow(vsplit, wxID_ANY, wxDefaultPosition, wxDefaultSize,
                                      wxSP_LIVE_UPDATE | wxSP_3DSASH);
  auto* centre = new wxSplitterWindow(hsplit, wxID_ANY, wxDefaultPosition, wxDefaultSize,
                                      wxSP_LIVE_UPDATE | wxSP_3DSASH);
  programView = new ProgramView(centre);
  toolPathView = new ToolPathView(centre);
  // A line picked in either shows in both.
  programView->OnLineSelected([this](int32_t line) { toolPathView->SelectLine(line); });
  programView->OnLineActivated([this](int32_t line) { SetRunFromLine(line); });
  toolPathView->SetLinePickedHandler([this](int32_t line) {
    programView->SetSelectedLine(line);
    programView->ShowLine(line);
  });
  centre->SplitVertically(programView, toolPathView, 330);
  centre->SetSashGravity(0.0);
  centre->SetMinimumPaneSize(150);
  wxWindow* side = BuildSidePanel(hsplit);
  hsplit->SplitVertically(centre, side, -430);
  hsplit->SetSashGravity(1.0);
  hsplit->SetMinimumPaneSize(200);

  // Below: the MDI line and the message list.
  auto* bottom = new wxPanel(vsplit);
  auto* bottomSizer = new wxBoxSizer(wxVERTICAL);
  BuildMdiBox(bottom, bottomSizer);
  messageList = new wxListCtrl(bottom, wxID_ANY, wxDefaultPosition, wxDefaultSize,
                               wxLC_REPORT | wxLC_NO_HEADER | wxLC_SINGLE_SEL);
  messageList->AppendColumn("Message", wxLIST_FORMAT_LEFT, 1200);
  bottomSizer->Add(messageList, 1, wxEXPAND);
  bottom->SetSizer(bottomSizer);
  vsplit->SplitHorizontally(hsplit, bottom, -150);
  vsplit->SetSashGravity(1.0);
  vsplit->SetMinimumPaneSize(60);
  rootSizer->Add(vsplit, 1, wxEXPAND | wxLEFT | wxRIGHT | wxBOTTOM, 6);
  root->SetSizer(rootSizer);

  CreateStatusBar(4);
  const int widths[] = {-3, 110, 160, -2};
  SetStatusWidths(4, widths);
  SetStatusText("Starting", 0);
  SetStatusText("Idle", 1);

  // Never larger than the screen it opens on.
  const wxRect screen = wxDisplay(wxDisplay::GetFromWindow(this) == wxNOT_FOUND ? 0u : wxDisplay::GetFromWindow(this))
                            .GetClientArea();
  SetSize(std::min(GetSize().x, screen.width), std::min(GetSize().y, screen.height));
  LoadGuiSettings();
  LoadUserMacroIcons();
  InitHotkeys();
  RefreshFunctionButtons();
  maintenance::Load(GetParaFile(PF_STORAGE), maintenance::Today(), maint);

  Bind(wxEVT_TIMER, &Quorvane2Frame::OnTimer1, this, timer1.GetId());
  Bind(wxEVT_TIMER, &Quorvane2Frame::OnMaintenanceTimer, this, maintenanceTimer.GetId());
  Bind(wxEVT_CLOSE_WINDOW, &Quorvane2Frame::OnClose, this);
  Bind(wxEVT_MENU, &Quorvane2Frame::OnOpen, this, wxID_OPEN);
  Bind(wxEVT_MENU, &Quorvane2Frame::OnReload, this, wxID_REFRESH);
  Bind(wxEVT_MENU, &Quorvane2Frame::OnImportHpgl, this, ID_IMPORT_HPGL);
  Bind(wxEVT_MENU, &Quorvane2Frame::OnAdapt, this, ID_ADAPT);
  Bind(wxEVT_MENU, &Quorvane2Frame::OnExit, this, wxID_EXIT);
  Bind(wxEVT_MENU, [this](wxCommandEvent&) { OpenHotkeyDialog(); }, ID_HOTKEYS);
  UpdateControls();
}

Quorvane2Frame::~Quorvane2Frame() {
  keyFilter.reset();
  timer1.Stop();
  maintenanceTimer.Stop();
  dialogQueue->CancelAll();
  preview.reset();
  loader.reset();
  adaptJob.reset();
  // The worker must be gone before the interpreter it runs.
  connection.reset();
  SetOperator(nullptr);
  SetMessageList(nullptr);
}

void Quorvane2Frame::InitMachine() {
  LogMessage(LOG_ALWAYS | 4, "InitMachine()");
  connection->Connect();
  parser->SetFrontEnd(&CurrentBackEnd() == &connection->Sim() ? static_cast<FrontEnd*>(&connection->Sim())
                                                               : dynamic_cast<FrontEnd*>(&CurrentBackEnd()));
  dialogQueue->SetBackEnd(&CurrentBackEnd());
  SetStatusText(wxString::FromUTF8(connection->StatusText()), 0);
  softLimitsBox->SetValue(actState.GetSoftLimitsEnabled());
  timer1.Start(kTimer1Ms);
  maintenanceTimer.Start(kMaintenanceMs);
  // Keys jog from the start: the focus is not left in a text field.
  toolPathView->SetFocus();
}

BackEnd& Quorvane2Frame::CurrentBackEnd() const { return connection->Current(); }
MachineState& Quorvane2Frame::CurrentState() const { return connection->State(); }

// ---------------------------------------------------------------------------
// Construction

void Quorvane2Frame::BuildMenus() {
  auto* file = new wxMenu;
  file->Append(wxID_OPEN, "&Open...\tCtrl-O");
  file->Append(wxID_REFRESH, "&Reload\tCtrl-R");
  auto* import = new wxMenu;
  import->Append(ID_IMPORT_HPGL, "HPGL...");
  file->AppendSubMenu(import, "Import");
  file->Append(ID_ADAPT, "&Adapt program...",
               "Write a copy of the loaded program in this control's dialect beside it and load the copy");
  file->AppendSeparator();
  file->Append(wxID_EXIT, "E&xit");
  auto* machine = new wxMenu;
  machine->Append(wxID_HIGHEST + 20, "Home all axes");
  machine->Append(wxID_HIGHEST + 21, "Run startup macro");
  machine->Append(wxID_HIGHEST + 22, "Programmable logic...");
  machine->Append(ID_HOTKEYS, "Hotkeys...");
  auto* bar = new wxMenuBar;
  bar->Append(file, "&File");
  bar->Append(machine, "&Machine");
  SetMenuBar(bar);
  Bind(wxEVT_MENU, [this](wxCommandEvent&) { HomeAll(); }, wxID_HIGHEST + 20);
  Bind(wxEVT_MENU, [this](wxCommandEvent&) {
    startupMacroDone = false;
    RunStartupMacro();
  }, wxID_HIGHEST + 21);
  Bind(wxEVT_MENU, [this](wxCommandEvent&) {
    LogMessage(LOG_USER_ACTION, "UserAction: Programmable logic");
    LogicArrayDialog::Run(this);
  }, wxID_HIGHEST + 22);
}

wxPanel* Quorvane2Frame::BuildRunBar(wxWindow* parent) {
  auto* bar = new wxPanel(parent);
  auto* row = new wxBoxSizer(wxHORIZONTAL);
  auto big = [bar](const wxString& label, const wxColour& colour) {
    auto* b = new wxButton(bar, wxID_ANY, label, wxDefaultPosition, wxSize(110, 40));
    wxFont f = b->GetFont();
    f.SetPointSize(f.GetPointSize() + 1);
    f.MakeBold();
    b->SetFont(f);
    if (colour.IsOk()) b->SetForegroundColour(colour);
    return b;
  };
  startButton = big("Start", wxColour(0, 120, 0));
  holdButton = big("Feed hold", wxColour(170, 110, 0));
  resumeButton = big("Resume", wxNullColour);
  stopButton = big("Stop", wxColour(190, 0, 0));
  abortButton = big("Abort jog", wxNullColour);
  for (wxButton* b : {startButton, holdButton, resumeButton, stopButton, abortButton}) row->Add(b, 0, wxRIGHT, 6);
  startButton->SetToolTip("Start the loaded program (from the line chosen on the right)");
  holdButton->SetToolTip("Hold the feed (override to 0 %); Resume restores it");
  abortButton->SetToolTip("End a jog or direct move");
  startButton->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { StartProgram(); });
  holdButton->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { FeedHold(); });
  resumeButton->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { FeedResume(); });
  stopButton->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { StopProgram(); });
  abortButton->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { Abort(); });

  row->AddSpacer(12);
  row->Add(new wxStaticText(bar, wxID_ANY, "Run from line"), 0, wxALIGN_CENTER_VERTICAL | wxRIGHT, 6);
  runFromField = new wxSpinCtrl(bar, wxID_ANY, "1", wxDefaultPosition, wxDefaultSize, wxSP_ARROW_KEYS, 1,
                                1000000000, 1);
  // Room for seven digits beside the two arrow buttons, which GTK draws at
  // full size whatever width the field is given.
  const int digits = runFromField->GetTextExtent("9999999").x;
  runFromField->SetInitialSize(wxSize(digits + 2 * runFromField->GetCharHeight() * 3 + 24, -1));
  runFromField->SetToolTip("Double-click a program line to choose it");
  runFromField->Bind(wxEVT_SPINCTRL, [this](wxSpinEvent& e) { SetRunFromLine(e.GetPosition()); });
  row->Add(runFromField, 0, wxALIGN_CENTER_VERTICAL | wxRIGHT, 12);
  softLimitsBox = new wxCheckBox(bar, wxID_ANY, "Soft limits");
  softLimitsBox->SetValue(true);
  softLimitsBox->Bind(wxEVT_CHECKBOX, [this](wxCommandEvent& e) { SetSoftLimits(e.IsChecked()); });
  row->Add(softLimitsBox, 0, wxALIGN_CENTER_VERTICAL | wxRIGHT, 12);
  row->AddStretchSpacer();
  lightLabel = new wxStaticText(bar, wxID_ANY, "READY", wxDefaultPosition, wxDefaultSize,
                                wxALIGN_CENTRE_HORIZONTAL | wxST_NO_AUTORESIZE);
  wxFont lf = lightLabel->GetFont();
  lf.MakeBold();
  lf.SetPointSize(lf.GetPointSize() + 2);
  lightLabel->SetFont(lf);
  // As wide as its longest text, so that no state is cut off.
  const wxSize longest = lightLabel->GetTextExtent("NOT HOMED");
  lightLabel->SetInitialSize(wxSize(longest.x + 24, -1));
  row->Add(lightLabel, 0, wxALIGN_CENTER_VERTICAL);
  bar->SetSizer(row);
  return bar;
}

wxWindow* Quorvane2Frame::BuildSidePanel(wxWindow* parent) {
  // Scrolls on a screen too small for all of it.
  auto* panel = new wxScrolledWindow(parent, wxID_ANY, wxDefaultPosition, wxDefaultSize, wxVSCROLL);
  panel->SetScrollRate(0, 10);
  auto* col = new wxBoxSizer(wxVERTICAL);
  BuildPositionBox(panel, col);
  BuildProgressBox(panel, col);
  BuildJogBox(panel, col);
  BuildMacroBox(panel, col);
  BuildFunctionBox(panel, col);
  panel->SetSizer(col);
  return panel;
}

void Quorvane2Frame::BuildPositionBox(wxWindow* parent, wxSizer* into) {
  auto* box = new wxStaticBoxSizer(wxVERTICAL, parent, "Position");
  wxWindow* b = box->GetStaticBox();
  auto* grid = new wxFlexGridSizer(3, 2, 14);
  grid->AddGrowableCol(1);
  grid->Add(Label(b, ""));
  grid->Add(Label(b, "Work", 0, true), 0, wxALIGN_RIGHT);
  grid->Add(Label(b, "Machine", 0, true), 0, wxALIGN_RIGHT);
  const MachineConfig& cfg = GetMachineConfig();
  const AxisAssignment& axes = GetAxisAssignment();
  for (int i = 0; i < kAxisCount; ++i) {
    if (!axes.IsEnabled(i) || !cfg.axis[i].displayAxis) continue;
    const int name = axes.name[i];
    const char* axisName = name >= 1 && name <= 9 ? &"XYZABCUVW"[name - 1] : "?";
    grid->Add(Label(b, wxString(axisName, 1), 18, true), 0, wxALIGN_CENTER_VERTICAL);
    axisWork[i] = new wxStaticText(b, wxID_ANY, "0.000", wxDefaultPosition, wxSize(150, -1),
                                   wxALIGN_RIGHT | wxST_NO_AUTORESIZE);
    axisWork[i]->SetFont(wxFont(wxFontInfo(18).Family(wxFONTFAMILY_TELETYPE).Bold()));
    axisWork[i]->SetForegroundColour(wxColour(0, 70, 140));
    grid->Add(axisWork[i], 0, wxEXPAND | wxALIGN_CENTER_VERTICAL);
    axisMachine[i] = new wxStaticText(b, wxID_ANY, "0.000", wxDefaultPosition, wxSize(95, -1),
                                      wxALIGN_RIGHT | wxST_NO_AUTORESIZE);
    axisMachine[i]->SetFont(wxFont(wxFontInfo(11).Family(wxFONTFAMILY_TELETYPE)));
    grid->Add(axisMachine[i], 0, wxALIGN_CENTER_VERTICAL);
  }
  box->Add(grid, 0, wxEXPAND | wxALL, 4);

  auto* info = new wxFlexGridSizer(2, 2, 10);
  info->AddGrowableCol(1);
  info->Add(Label(b, "Coordinates"), 0, wxALIGN_CENTER_VERTICAL);
  wxArrayString offsets;
  for (const char* n : kOffsetNames) offsets.Add(n);
  offsetChoice = new wxChoice(b, wxID_ANY, wxDefaultPosition, wxDefaultSize, offsets);
  offsetChoice->SetSelection(1);
  offsetChoice->Bind(wxEVT_CHOICE, [this](wxCommandEvent& e) { SelectWorkOffset(e.GetSelection()); });
  info->Add(offsetChoice, 0);
  info->Add(Label(b, "Tool"), 0, wxALIGN_CENTER_VERTICAL);
  toolLabel = Label(b, "T0", 0, true);
  info->Add(toolLabel, 0, wxALIGN_CENTER_VERTICAL);

  // The feed and spindle texts name themselves ("Feed 1000"); the slider
  // beside each sets its override.
  auto overrideRow = [&](wxStaticText*& value, wxSlider*& slider, wxStaticText*& percent, const char* text,
                         int lo, int hi, const char* tip) {
    value = new wxStaticText(b, wxID_ANY, text, wxDefaultPosition, wxSize(120, -1), wxST_NO_AUTORESIZE);
    value->SetFont(value->GetFont().Bold());
    info->Add(value, 0, wxALIGN_CENTER_VERTICAL);
    auto* row = new wxBoxSizer(wxHORIZONTAL);
    slider = new wxSlider(b, wxID_ANY, 100, lo, hi, wxDefaultPosition, wxSize(140, -1));
    slider->SetToolTip(tip);
    row->Add(slider, 1, wxALIGN_CENTER_VERTICAL);
    percent = new wxStaticText(b, wxID_ANY, "100 %", wxDefaultPosition, wxSize(52, -1),
                               wxALIGN_RIGHT | wxST_NO_AUTORESIZE);
    row->Add(percent, 0, wxALIGN_CENTER_VERTICAL);
    info->Add(row, 1, wxEXPAND);
  };
  overrideRow(feedLabel, feedSlider, feedOvrLabel, "Feed 0", 0, 200, "Feed override, percent");
  overrideRow(spindleLabel, spindleSlider, spindleOvrLabel, "Spindle 0", 50, 150, "Spindle override, percent");
  feedSlider->Bind(wxEVT_SLIDER, [this](wxCommandEvent& e) { SetFeedOverride(e.GetInt()); });
  spindleSlider->Bind(wxEVT_SLIDER, [this](wxCommandEvent& e) { SetSpindleOverride(e.GetInt()); });
  box->Add(info, 0, wxEXPAND | wxALL, 4);
  into->Add(box, 0, wxEXPAND | wxALL, 4);
}

void Quorvane2Frame::BuildProgressBox(wxWindow* parent, wxSizer* into) {
  auto* box = new wxStaticBoxSizer(wxVERTICAL, parent, "Program");
  wxWindow* b = box->GetStaticBox();
  progressGauge = new wxGauge(b, wxID_ANY, 1000, wxDefaultPosition, wxSize(-1, 14));
  box->Add(progressGauge, 0, wxEXPAND | wxALL, 4);
  progressLabel = Label(b, "No program loaded");
  box->Add(progressLabel, 0, wxLEFT | wxRIGHT, 4);
  auto* times = new wxBoxSizer(wxHORIZONTAL);
  elapsedLabel = Label(b, "Elapsed time: 00:00:00");
  estimatedLabel = Label(b, "Estimated time: --:--:--");
  times->Add(elapsedLabel, 1, wxRIGHT, 10);
  times->Add(estimatedLabel, 1);
  box->Add(times, 0, wxEXPAND | wxALL, 4);
  into->Add(box, 0, wxEXPAND | wxLEFT | wxRIGHT | wxBOTTOM, 4);
}

wxButton* Quorvane2Frame::JogButton(wxWindow* parent, const wxString& label, int axis, bool positive) {
  auto* button = new wxButton(parent, wxID_ANY, label, wxDefaultPosition, wxSize(52, 34));
  // Continuous jogging runs while the button is held.
  button->Bind(wxEVT_LEFT_DOWN, [this, axis, positive](wxMouseEvent& e) {
    if (jogContinuous->GetValue()) JogStart(axis, positive);
    else JogStep(axis, positive);
    e.Skip();
  });
  button->Bind(wxEVT_LEFT_UP, [this](wxMouseEvent& e) {
    if (jogContinuous->GetValue()) JogStop();
    e.Skip();
  });
  button->Bind(wxEVT_LEAVE_WINDOW, [this](wxMouseEvent& e) {
    if (uiMode == UI_JOGGING && jogContinuous->GetValue() && wxGetMouseState().LeftIsDown()) JogStop();
    e.Skip();
  });
  jogButtons.push_back(button);
  return button;
}

void Quorvane2Frame::BuildJogBox(wxWindow* parent, wxSizer* into) {
  auto* box = new wxStaticBoxSizer(wxHORIZONTAL, parent, "Jog");
  wxWindow* b = box->GetStaticBox();
  auto* pad = new wxGridSizer(3, 3, 3, 3);
  pad->AddSpacer(0);
  pad->Add(JogButton(b, "Y+", 1, true));
  pad->Add(JogButton(b, "Z+", 2, true));
  pad->Add(JogButton(b, "X-", 0, false));
  homeButton = new wxButton(b, wxID_ANY, "Home", wxDefaultPosition, wxSize(52, 34));
  homeButton->SetToolTip("Home all axes");
  homeButton->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { HomeAll(); });
  pad->Add(homeButton);
  pad->Add(JogButton(b, "X+", 0, true));
  pad->AddSpacer(0);
  pad->Add(JogButton(b, "Y-", 1, false));
  pad->Add(JogButton(b, "Z-", 2, false));
  box->Add(pad, 0, wxALL, 4);

  auto* opts = new wxFlexGridSizer(2, 4, 6);
  jogContinuous = new wxRadioButton(b, wxID_ANY, "Continuous", wxDefaultPosition, wxDefaultSize, wxRB_GROUP);
  jogStepMode = new wxRadioButton(b, wxID_ANY, "Step");
  jogContinuous->SetValue(true);
  opts->Add(jogContinuous, 0, wxALIGN_CENTER_VERTICAL);
  opts->Add(jogStepMode, 0, wxALIGN_CENTER_VERTICAL);
  const MachineConfig& cfg = GetMachineConfig();
  wxArrayString speeds, steps;
  for (int i = 0; i < kJogPresets; ++i) {
    speeds.Add(wxString::Format("%s mm/s", Number(cfg.jogSpeed[i], 0)));
    steps.Add(wxString::Format("%s mm", wxString::FromCDouble(cfg.jogStep[i])));
  }
  opts->Add(Label(b, "Speed"), 0, wxALIGN_CENTER_VERTICAL);
  jogSpeedChoice = new wxChoice(b, wxID_ANY, wxDefaultPosition, wxSize(110, -1), speeds);
  jogSpeedChoice->Bind(wxEVT_CHOICE, [this](wxCommandEvent& e) { SetJogSpeedPreset(e.GetSelection()); });
  opts->Add(jogSpeedChoice, 0);
  opts->Add(Label(b, "Step"), 0, wxALIGN_CENTER_VERTICAL);
  jogStepChoice = new wxChoice(b, wxID_ANY, wxDefaultPosition, wxSize(110, -1), steps);
  jogStepChoice->Bind(wxEVT_CHOICE, [this](wxCommandEvent& e) { SetJogStepPreset(e.GetSelection()); });
  opts->Add(jogStepChoice, 0);
  box->Add(opts, 1, wxALL | wxALIGN_CENTER_VERTICAL, 6);
  into->Add(box, 0, wxEXPAND | wxLEFT | wxRIGHT | wxBOTTOM, 4);
}

void Quorvane2Frame::BuildMdiBox(wxWindow* parent, wxSizer* into) {
  auto* box = new wxBoxSizer(wxHORIZONTAL);
  wxWindow* b = parent;
  box->Add(Label(b, "MDI", 0, true), 0, wxALIGN_CENTER_VERTICAL | wxRIGHT, 8);
  mdiField = new wxComboBox(b, wxID_ANY, wxString(), wxDefaultPosition, wxDefaultSize, 0, nullptr,
                            wxTE_PROCESS_ENTER);
  mdiField->SetFont(wxFont(wxFontInfo(10).Family(wxFONTFAMILY_TELETYPE)));
  mdiField->SetHint("G-code or macro line, Enter to run");
  mdiField->Bind(wxEVT_TEXT_ENTER, &Quorvane2Frame::OnMdiEnter, this);
  mdiSend = new wxButton(b, wxID_ANY, "Run", wxDefaultPosition, wxSize(60, -1));
  mdiSend->Bind(wxEVT_BUTTON, &Quorvane2Frame::OnMdiEnter, this);
  box->Add(mdiField, 1, wxALIGN_CENTER_VERTICAL | wxRIGHT, 6);
  box->Add(mdiSend, 0, wxALIGN_CENTER_VERTICAL);
  into->Add(box, 0, wxEXPAND | wxTOP | wxBOTTOM, 4);
}

void Quorvane2Frame::BuildMacroBox(wxWindow* parent, wxSizer* into) {
  auto* box = new wxStaticBoxSizer(wxVERTICAL, parent, "User macros");
  wxWindow* b = box->GetStaticBox();
  auto* grid = new wxGridSizer(1, kUserMacros, 0, 3);
  for (int n = 1; n <= kUserMacros; ++n) {
    auto* button = new wxButton(b, wxID_ANY, wxString::Format("%d", n), wxDefaultPosition, wxSize(34, 30));
    button->SetToolTip(wxString::Format("User%02d.txt", n));
    button->Bind(wxEVT_BUTTON, [this, n](wxCommandEvent&) { RunUserMacro(n); });
    macroButtons.push_back(button);
    grid->Add(button, 0, wxEXPAND);
  }
  box->Add(grid, 0, wxEXPAND | wxALL, 4);
  into->Add(box, 0, wxEXPAND | wxLEFT | wxRIGHT | wxBOTTOM, 4);
}

wxButton* Quorvane2Frame::UserMacroButton(int number) const {
  return number >= 1 && number <= static_cast<int>(macroButtons.size()) ? macroButtons[number - 1] : nullptr;
}

void Quorvane2Frame::LoadUserMacroIcons() {
  // An image "User01.png" (icon folder, else macro folder) replaces the number.
  const std::string& iconDir = GetMachineConfig().iconDir;
  for (int n = 1; n <= static_cast<int>(macroButtons.size()); ++n) {
    char name[32];
    std::snprintf(name, sizeof name, "User%02d.png", n);
    for (const std::string& dir : {iconDir, Folders::Macros()}) {
      if (dir.empty()) continue;
      const std::string path = Folders::Join(dir, name);
      if (!wxFileName::FileExists(wxString::FromUTF8(path))) continue;
      LogMessage(LOG_FRAME, "Loading macro icon: %s", path.c_str());
      wxImage image;
      if (image.LoadFile(wxString::FromUTF8(path))) {
        image.Rescale(22, 22, wxIMAGE_QUALITY_HIGH);
        macroButtons[n - 1]->SetBitmap(wxBitmap(image));
        macroButtons[n - 1]->SetLabel(wxString());
      }
      break;
    }
  }
}

void Quorvane2Frame::LoadGuiSettings() {
  ParaFile& gui = GetParaFile(PF_GUI_SETTINGS);
  int x, y, w, h;
  if (gui.GetInt("MainWindowX", x) && gui.GetInt("MainWindowY", y) && gui.GetInt("MainWindowW", w) &&
      gui.GetInt("MainWindowH", h) && w >= 640 && h >= 480)
    SetSize(x, y, w, h);
  gui.GetInt("JogSpeedIndex", jogSpeedIndex);
  gui.GetInt("JogStepIndex", jogStepIndex);
  jogSpeedIndex = std::clamp(jogSpeedIndex, 0, kJogPresets - 1);
  jogStepIndex = std::clamp(jogStepIndex, 0, kJogPresets - 1);
  jogSpeedChoice->SetSelection(jogSpeedIndex);
  jogStepChoice->SetSelection(jogStepIndex);
  for (int i = 0; i < kMdiHistory; ++i) {
    std::string line;
    if (!gui.GetString("MdiHistory", i, line)) break;
    mdiHistory.push_back(line);
    mdiField->Append(wxString::FromUTF8(line));
  }
}

void Quorvane2Frame::SaveGuiSettings() {
  ParaFile& gui = GetParaFile(PF_GUI_SETTINGS);
  const wxRect r = GetRect();
  gui.SetInt("MainWindowX", r.x);
  gui.SetInt("MainWindowY", r.y);
  gui.SetInt("MainWindowW", r.width);
  gui.SetInt("MainWindowH", r.height);
  gui.SetInt("JogSpeedIndex", jogSpeedIndex);
  gui.SetInt("JogStepIndex", jogStepIndex);
  for (size_t i = 0; i < mdiHistory.size(); ++i) gui.SetString("MdiHistory", static_cast<int>(i), mdiHistory[i]);
  gui.Write();
}

// ---------------------------------------------------------------------------
// Displays

void Quorvane2Frame::AddMessage(const wxString& text) {
  wxString t = text;
  while (t.EndsWith("\n")) t.RemoveLast();
  // Lines of a multi-line text each get a row.
  wxArrayString lines = wxSplit(t, '\n', 0);
  if (lines.empty()) lines.Add(wxString());
  for (const wxString& line : lines) {
    const long row = messageList->InsertItem(messageList->GetItemCount(), line);
    const wxString lower = line.Lower();
    if (lower.Contains("error") || (lower.Contains(" line ") && lower.Contains(" column ")))
      messageList->SetItemTextColour(row, wxColour(190, 0, 0));
    else if (lower.StartsWith("warning") || lower.Contains("limit"))
      messageList->SetItemTextColour(row, wxColour(170, 100, 0));
  }
  while (messageList->GetItemCount() > kMaxMessages) messageList->DeleteItem(0);
  if (messageList->GetItemCount() > 0) messageList->EnsureVisible(messageList->GetItemCount() - 1);
}

std::vector<std::string> Quorvane2Frame::MessageLines() const {
  std::vector<std::string> out;
  for (long i = 0; i < messageList->GetItemCount(); ++i) out.push_back(messageList->GetItemText(i).utf8_string());
  return out;
}

wxString Quorvane2Frame::PositionText(int axis, bool machine) const {
  if (axis < 0 || axis >= kAxisCount) return wxString();
  wxStaticText* t = machine ? axisMachine[axis] : axisWork[axis];
  return t ? t->GetLabel() : wxString();
}

wxString Quorvane2Frame::ProgressText() const { return progressLabel->GetLabel(); }
wxString Quorvane2Frame::FeedText() const { return feedLabel->GetLabel(); }
wxString Quorvane2Frame::SpindleText() const { return spindleLabel->GetLabel(); }
wxString Quorvane2Frame::ToolText() const { return toolLabel->GetLabel(); }
wxString Quorvane2Frame::OffsetText() const { return offsetChoice->GetStringSelection(); }
wxString Quorvane2Frame::StatusField(int field) const { return GetStatusBar()->GetStatusText(field); }

void Quorvane2Frame::ShowStatus(const wxString& text) {
  if (StatusField(1) != text) SetStatusText(text, 1);
}

bool Quorvane2Frame::MachineBusy() const {
  const uint32_t flags = CurrentBackEnd().GetFlags();
  return (flags & (Simulation::kBusy | Simulation::kPaused)) != 0 || job != Job::NONE;
}

bool Quorvane2Frame::IsRunning() const { return MachineBusy() || !mdiQueue.empty(); }

// ---------------------------------------------------------------------------
// Menu events

void Quorvane2Frame::OnOpen(wxCommandEvent&) {
  LogMessage(LOG_USER_ACTION, "UserAction: Open");
  // Next to the program loaded last, else where the operator started us.
  const wxString dir =
      programFile.empty() ? wxString::FromUTF8(LaunchFolder()) : wxPathOnly(wxString::FromUTF8(programFile));
  wxFileDialog dlg(this, "Open part program", dir, wxString(),
                   "Part programs (*.nc;*.txt;*.tap;*.ngc)|*.nc;*.txt;*.tap;*.ngc|All files|*",
                   wxFD_OPEN | wxFD_FILE_MUST_EXIST);
  if (dlg.ShowModal() != wxID_OK) return;
  LoadProgram(dlg.GetPath().utf8_string());
}

void Quorvane2Frame::OnReload(wxCommandEvent&) {
  LogMessage(LOG_USER_ACTION, "UserAction: Reload");
  if (!programFile.empty()) LoadProgram(programFile);
}

void Quorvane2Frame::OnAdapt(wxCommandEvent&) {
  if (!AdaptProgram()) AddMessage("Nothing to adapt: load a program first and let it finish.");
}

void Quorvane2Frame::OnImportHpgl(wxCommandEvent&) {
  LogMessage(LOG_USER_ACTION, "UserAction: Import HPGL");
  wxFileDialog dlg(this, "Import HPGL file", wxString::FromUTF8(LaunchFolder()), wxString(),
                   "HPGL files (*.plt;*.hpgl;*.hpg;*.hgl)|*.plt;*.hpgl;*.hpg;*.hgl|All files|*",
                   wxFD_OPEN | wxFD_FILE_MUST_EXIST);
  if (dlg.ShowModal() != wxID_OK) return;
  ImportHpgl(dlg.GetPath().utf8_string());
}

bool Quorvane2Frame::ImportHpgl(const std::string& hpglFile) {
  HPGL_Import dialog(this, hpglFile);
  if (!dialog.FileRead()) {
    AddMessage(wxString::FromUTF8("Import Error: " + dialog.ReportText()));
    return false;
  }
  const int result = runDialog ? runDialog(dialog) : dialog.ShowModal();
  if (result != wxID_OK || dialog.OutputFile().empty()) return false;
  const std::string report = dialog.ReportText();
  if (!report.empty()) AddMessage(wxString::FromUTF8(report));
  return LoadProgram(dialog.OutputFile());
}

void Quorvane2Frame::OnExit(wxCommandEvent&) {
  LogMessage(LOG_USER_ACTION, "UserAction: Exit");
  Close();
}

void Quorvane2Frame::OnMdiEnter(wxCommandEvent&) {
  if (SendMdi(mdiField->GetValue().utf8_string())) mdiField->SetValue(wxString());
}
