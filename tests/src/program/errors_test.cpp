#include <gtest/gtest.h>

#include <tuple>

#include "program/errors.h"

namespace {

TEST(ErrorText, FixedAndUnknownCodes) {
  const std::pair<int32_t, const char*> cases[] = {
      {0, "ok"}, {-100, "user break"}, {-207, "Safety circuit estop stuck on"},
      {-1013, "text in quotation marks (\") expected"}, {-1057, "'%'-sign missing at beginning of program"},
      {-1070, "format error, only %f or %d supported"}, {-1077, "LOGFILE cannot be combined with other command"},
      {-1107, "resume inside G41/G42 section not possible, please choose line before last G41/G42\n"},
      {-1202, "operation not allowed in maintenance mode"}, {-1066, "unknown system error #-1066"},  // no row
      {-109, "unknown system error #-109"}, {5, "unknown system error #5"}};
  for (const auto& [code, text] : cases) EXPECT_EQ(ErrorText(Error_t(code)), text) << code;
}

// Stop reasons name the configured switch, alarm input or axes when there are
// such names; bits of unconfigured axes are left out.
TEST(ErrorText, StopReasonsWithAndWithoutConfiguredNames) {
  ErrorTextNames names;
  names.activeSwitchName = [](int32_t code) { return code == -102 ? std::string("X+ limit") : std::string(); };
  names.alarmInputName = [](int input) { return input == 2 ? std::string("Coolant low") : std::string(); };
  names.axisName = [](int axis) { return axis < 3 ? std::string(1, "XYZ"[axis]) : std::string(); };
  const std::tuple<Error_t, const char*, const char*> cases[] = {
      {-101, "emergency stop switch triggered", "emergency stop switch triggered"},
      {-102, "limit or home switch triggered", "X+ limit: limit or home switch triggered"},
      {-103, "alarm input #1 triggered", "alarm input #1 triggered"},
      {-104, "alarm input #2 triggered", "Alarm triggered: Coolant low"},
      {{-105, 0x5}, "one or more servo drives not ready", "servo drive of axis X, Z is not ready"},
      {{-105, 0x12}, "one or more servo drives not ready", "servo drive of axis Y is not ready"},
      {{-105, 0x18}, "one or more servo drives not ready", "one or more servo drives not ready"}};
  for (const bool configured : {false, true}) {
    const ErrorTextNames previous = SetErrorTextNames(configured ? names : ErrorTextNames{});
    for (const auto& [error, plain, named] : cases)
      EXPECT_EQ(ErrorText(error), configured ? named : plain) << error.code << " " << error.detail;
    SetErrorTextNames(previous);
  }
}

TEST(ErrorText, ReportsAndRangeMessages) {
  EXPECT_EQ(ErrorReport(-1011, 3, 4), "number or formula expected line 3 column 4");
  EXPECT_EQ(ErrorReport(-110, 12, 0), "main program: line 12 column 0");
  EXPECT_EQ(OperatorMessage(-1011, 3, 4), "number or formula expected line 3 column 4");
  EXPECT_EQ(OperatorMessage(-100, 7, 4), "user break line 7");
  EXPECT_EQ(OperatorMessage(-107, 8, 1), "arc-good signal lost during cut line 8");
  EXPECT_EQ(std::tuple(IsStopReason(-99), IsStopReason(-100), IsStopReason(-107), IsStopReason(-108)),
            std::tuple(false, true, true, false));
  EXPECT_EQ(RangeMessage('X', 510.5, 500, true, false), "X=510.500 is above upper limit of 500.000");
  EXPECT_EQ(RangeMessage('Z', -101, -100, false, false), "Z=-101.000 is below lower limit of -100.000");
  EXPECT_EQ(RangeMessage('X', 25.4 * 2, 25.4, true, true), "X=2.00000 is above upper limit of 1.00000");
  // Spindle speed is never converted.
  EXPECT_EQ(RangeMessage('S', 30000, 24000, true, true), "S=30000.000 is above upper limit of 24000.000");
}

}  // namespace
