// Module control against soft modules playing controller models on the veth
// lab: opening and model objects, outputs, the functions of output pins, and
// the stop condition split between the main module and the PC.
#include <algorithm>

#include "tests/src/io/io_lab.h"

namespace {

using netlab::ModuleKey;

// One list with a model, an extension, a module of no known model, one with
// old firmware and one that is not there: the good ones are open with their
// objects and numbered pins, the unknown one is given back, and the result
// reports the last problem met.
TEST_F(IoLab, OpeningGivesEachModuleItsModelAndReportsProblems) {
  StartModSim(Join({Model(1, "Korrin"), Model(2, "Trellex1"), Module(3), Model(4, "Selvo", {"--sw", "Sw V1.30"})}));
  bool changed = false;
  EXPECT_EQ(Open({1, 2, 3, 4}, &changed), MODEL_OBSOLETE);
  EXPECT_TRUE(changed);
  EXPECT_EQ(control->FirmwareProblem(),
            "Quorvane soft module: unknown module") << "the unknown module's report comes first";
  IoModule* main = mapping.Module(0);
  EXPECT_EQ(main->ModelWord(), std::string("Korrin"));
  EXPECT_EQ(main->name, "Korrin Quorvane #56000001");
  EXPECT_EQ(main->moduleKey, ModuleKey(1));
  EXPECT_NE(dynamic_cast<IoExtModule*>(mapping.Module(1)), nullptr);
  EXPECT_EQ(mapping.Module(1)->pinBase, 40);
  EXPECT_FALSE(mapping.Module(2)->IsOpen()) << "no model: closed again";
  EXPECT_TRUE(WaitEvent(3, "end of connection"));
  EXPECT_NE(dynamic_cast<SelvoModule*>(mapping.Module(3)), nullptr);
  EXPECT_EQ(mapping.Module(3)->pinBase, 60);
  EXPECT_TRUE(mapping.Module(3)->IsOpen());

  // Open ones are left alone; a missing one fails.
  EXPECT_EQ(control->CheckModulesOpen(&changed), MODEL_UNKNOWN) << "module 3 fails again";
  EXPECT_FALSE(changed);
  EXPECT_EQ(mapping.Module(0), main) << "same object";

  IoMapping other;
  ModuleControl second(other, driver.get());
  auto ghost = std::make_unique<IoModuleBase>();
  const std::vector<uint8_t> mac = netlab::ModuleMac(9);
  std::copy(mac.begin(), mac.end(), ghost->mac);
  ghost->macValid = true;
  other.AddModule(std::move(ghost));
  EXPECT_EQ(second.CheckModulesOpen(), MODEL_UNKNOWN);
  EXPECT_FALSE(other.Module(0)->IsOpen());
}

TEST_F(IoLab, OutputsAndStopConditionReachTheModules) {
  StartModSim(Join({Model(1, "Korrin"), Model(2, "Trellex1")}));
  ASSERT_EQ(Open({1, 2}), MODEL_KORRIN);
  ASSERT_TRUE(mapping.AssignInput(SIG_IN_EMERGENCY_STOP, 11, true));  // Korrin bit 1
  ASSERT_TRUE(mapping.AssignInput(SIG_IN_LIMIT_PLUS, 40 + 9, false));  // extension bit 8
  ASSERT_TRUE(mapping.AssignOutput(SIG_OUT_SPINDLE_FORWARD, 14));      // Korrin bit 1
  ASSERT_TRUE(mapping.AssignOutput(SIG_OUT_SPINDLE_FORWARD, 40 + 2));  // extension bit 1
  ASSERT_TRUE(mapping.AssignOutput(SIG_OUT_MIST_COOLANT, 16));         // Korrin bit 2
  ASSERT_TRUE(mapping.AssignOutput(SIG_OUT_SERVO_ENABLE, 21));         // Korrin bit 4
  mapping.Output(SIG_OUT_MIST_COOLANT)->safetyLevel = 1;
  mapping.Output(SIG_OUT_SERVO_ENABLE)->safetyLevel = 1;

  for (int s : {SIG_OUT_SPINDLE_FORWARD, SIG_OUT_MIST_COOLANT, SIG_OUT_SERVO_ENABLE})
    EXPECT_TRUE(control->SetOutput(s, true));
  EXPECT_TRUE(WaitOut(1, "0016"));
  EXPECT_TRUE(WaitOut(2, "0002"));
  EXPECT_EQ(Commands(1, 17), (std::vector<std::string>{"0101", "0201", "0401"}));
  EXPECT_EQ(Commands(2, 17), (std::vector<std::string>{"0101"}));

  // Safe outputs stay on; servo enable only when it is meant to stay on.
  control->AllOutputsOff(false);
  EXPECT_TRUE(WaitOut(1, "0004"));
  EXPECT_TRUE(WaitOut(2, "0000"));
  EXPECT_TRUE(control->GetOutput(SIG_OUT_MIST_COOLANT));
  EXPECT_FALSE(control->GetOutput(SIG_OUT_SERVO_ENABLE));
  EXPECT_FALSE(mapping.Output(SIG_OUT_SPINDLE_FORWARD)->forcedOff);
  EXPECT_EQ(Commands(1, 13).size(), 1u) << "the first module's PWM goes to 0";
  EXPECT_EQ(Commands(2, 13).size(), 0u);
  control->AllOutputsOff(true);
  EXPECT_TRUE(WaitOut(1, "0000"));
  EXPECT_TRUE(mapping.Output(SIG_OUT_MIST_COOLANT)->forcedOff);

  // The emergency stop on the main module, a limit switch on the extension.
  ASSERT_TRUE(control->AddStopInput(SIG_IN_EMERGENCY_STOP, true, true));
  ASSERT_TRUE(control->AddStopInput(SIG_IN_LIMIT_PLUS, true, false));
  ASSERT_TRUE(control->SetStopCondition());
  EXPECT_TRUE(control->PcSideConditionActive());
  // The inverted emergency input stops at level 0 of bit 1.
  EXPECT_TRUE(WaitCommand(1, 11, "020000000000020000"));
  EXPECT_EQ(control->EvaluateStopCondition(true), STOP_NONE);
  sims[0]->Control("@2 pin 9 1");
  EXPECT_TRUE(WaitUntil([&] { control->PollInputs(true); return control->EvaluateStopCondition(true) == STOP_INPUT; },
                        2000));
  // The main module evaluates its part itself: by connector name.
  EXPECT_EQ(sims[0]->Control("@1 pin Lpt1 pin11 0"), "ok");
  int level = 0, status = 0;
  EXPECT_TRUE(WaitUntil([&] {
    driver->Synchronize(ModuleKey(1), false);
    return driver->ReadStatus(ModuleKey(1), &level, &status) && status == 0x0A;
  }, 2000)) << "stopped, as an emergency stop";
  EXPECT_TRUE(HasEvent(1, "emergency stop inputs=000000"));
  EXPECT_EQ(sims[0]->Control("@1 pin 1 1"), "error: pin 1 of Korrin is no input");

  control->RemoveStopInput(SIG_IN_LIMIT_PLUS);
  ASSERT_TRUE(control->SetStopCondition());
  EXPECT_FALSE(control->PcSideConditionActive()) << "only the main module's inputs left";
  control->ClearStopCondition();
  EXPECT_TRUE(WaitCommand(1, 11, "000000000000000000"));
}

// The charge pump runs on the pin the host named while its output is on and
// the host keeps talking; the PWM runs on its pin.
TEST_F(IoLab, ChargePumpAndPwmRunOnTheirPins) {
  StartModSim(Model(1, "Selvo"));
  ASSERT_EQ(Open({1}), MODEL_SELVO);
  ASSERT_TRUE(mapping.AssignOutput(SIG_OUT_CHARGE_PUMP, 16));
  ASSERT_TRUE(mapping.AssignOutput(SIG_OUT_PWM, 17));
  ASSERT_TRUE(control->SendModuleFunctions(1000));
  EXPECT_TRUE(WaitEvent(1, "charge pump on WDog"));
  EXPECT_TRUE(HasEvent(1, "PWM on PWM"));
  control->SetOutput(SIG_OUT_CHARGE_PUMP, true);
  EXPECT_TRUE(WaitEvent(1, "charge pump running"));
  control->SetOutput(SIG_OUT_CHARGE_PUMP, false);
  EXPECT_TRUE(WaitEvent(1, "charge pump stopped (output off)"));
  control->SetOutput(SIG_OUT_CHARGE_PUMP, true);
  driver->SetPwm(ModuleKey(1), 50, 0, false);
  EXPECT_TRUE(WaitEvent(1, "PWM 50.0 % on PWM period 1000 us"));
  // The host goes away: the pump stops by itself.
  const auto t0 = std::chrono::steady_clock::now();
  control->CloseModules();
  EXPECT_TRUE(WaitEvent(1, "charge pump stopped (host silent)", 4000));
  EXPECT_GE(SecondsSince(t0), 1.0);
}

}  // namespace
