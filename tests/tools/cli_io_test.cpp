// quorvane-cli io on the veth lab: the wiring check of an integrator.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>

#include "common/netlab.h"
#include "common/testsupport.h"

namespace {

const char* kMapping =
    "NumInputs=2\nNumOutputs=2\nKeepExisting=0\n"
    "inSignal_00=1\ninPin_00=11\ninName_00=emergency stop\ninHasRange_00=0\ninInvert_00=1\n"
    "inSignal_01=58\ninPin_01=49\ninName_01=front door\ninHasRange_01=0\ninInvert_01=0\n"
    "outSignal_00=3\noutPin_00=14\noutName_00=spindle forward\noutHasRange_00=0\noutSafetyLevel_00=0\n"
    "outSignal_01=7\noutPin_01=41\noutName_01=mist coolant\noutHasRange_01=0\noutSafetyLevel_01=0\n"
    "moduleNum=2\nmoduleAdr_00=02:51:56:00:00:01\nmoduleAdr_01=02:51:56:00:00:02\n";

struct CliIoTest : ::testing::Test {
  void SetUp() override {
    try {
      lab = std::make_unique<netlab::Lab>();
    } catch (const std::exception& e) {
      FAIL() << e.what();
    }
    testsupport::WriteFile(dir + "/MappingTable.txt", kMapping);
    sim = std::make_unique<netlab::ModSim>(
        *lab, std::vector<std::string>{"--model", "Korrin", "--mac", netlab::ModuleMacText(1), "--record",
                                       dir + "/m1.rec", "--mac", netlab::ModuleMacText(2), "--model", "Trellex1"});
  }
  std::string Cli(const std::string& args) {
    return std::string(QUORVANE_CLI) + " io --params " + dir + " " + args + " 2>" + dir + "/err.txt";
  }
  // The main module's output word, once it is `want` (the record is written
  // as the module goes), else the last one after a second.
  std::string Out(const std::string& want) {
    std::string last;
    for (int i = 0; i < 100 && last != want; ++i) {
      if (i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
      for (const auto& l : netlab::ReadRecord(dir + "/m1.rec"))
        if (l.kind == "OUT") last = l.text;
    }
    return last;
  }
  std::string dir = testsupport::MakeTempDir("cliio");
  std::unique_ptr<netlab::Lab> lab;
  std::unique_ptr<netlab::ModSim> sim;
};

TEST_F(CliIoTest, ListsWatchesAndSwitchesTheMappedSignals) {
  auto r = testsupport::RunCommand(Cli(""));
  EXPECT_EQ(r.status, 0) << testsupport::ReadFile(dir + "/err.txt");
  EXPECT_EQ(r.text,
            "in\t1\temergency stop\tKorrin Quorvane #56000001\tLpt1 pin11\t0\n"
            "in\t58\tfront door\tTrellex1 Quorvane #56000002\tInput Pin1\t0\n"
            "out\t3\tspindle forward\tKorrin Quorvane #56000001\tLpt1 pin14\t0\n"
            "out\t7\tmist coolant\tTrellex1 Quorvane #56000002\tInOut Pin1\t0\n"
            "2 inputs, 2 output pins on 2 modules\n");
  EXPECT_NE(testsupport::ReadFile(dir + "/err.txt").find("opening 2 modules"), std::string::npos);

  // Watching, with the spindle output on for as long as it runs; ended by
  // Ctrl-C once both changes were printed.
  const std::string out = dir + "/watch.txt", pid = dir + "/pid.txt";
  auto watching = std::async(std::launch::async, [&] {
    return testsupport::RunCommand(Cli("--watch --set 3=1") + " >" + out + " & echo $! >" + pid + "; wait $!");
  });
  auto waitFor = [&](const std::string& file, const std::string& text) {
    for (int i = 0; i < 1000; ++i) {
      if (testsupport::ReadFile(file).find(text) != std::string::npos) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  };
  ASSERT_TRUE(waitFor(dir + "/err.txt", "watching 2 inputs")) << testsupport::ReadFile(dir + "/err.txt");
  EXPECT_EQ(Out("0002"), "0002") << "spindle forward is Korrin output bit 1";
  sim->Control("@2 pin 9 1");
  EXPECT_TRUE(waitFor(out, "\tin\t58\t"));
  sim->Control("@1 pin 11 0");
  EXPECT_TRUE(waitFor(out, "\tin\t1\t"));
  testsupport::RunCommand("kill -INT $(cat " + pid + ")");
  const auto w = watching.get();
  EXPECT_EQ(w.status, 0) << testsupport::ReadFile(dir + "/err.txt");
  const std::string text = testsupport::ReadFile(out);
  const size_t door = text.find("\tin\t58\tfront door\tTrellex1 Quorvane #56000002\tInput Pin1\t1\n");
  const size_t estop = text.find("\tin\t1\temergency stop\tKorrin Quorvane #56000001\tLpt1 pin11\t1\n");
  ASSERT_NE(door, std::string::npos) << text;
  ASSERT_NE(estop, std::string::npos) << text;
  EXPECT_LT(door, estop) << "in the order they happened";
  EXPECT_EQ(text[door - 4], '.') << "a time stamp hh:mm:ss.mmm leads the line: " << text;
  EXPECT_NE(text.find("out\t3\tspindle forward\tKorrin Quorvane #56000001\tLpt1 pin14\t1\n"), std::string::npos);
  EXPECT_EQ(Out("0000"), "0000") << "switched off again at the end";

  // With a motion in progress nothing is switched.
  sim->Control("@1 status 1");
  r = testsupport::RunCommand(Cli("--set 3=1"));
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(testsupport::ReadFile(dir + "/err.txt").find("a program is running on the main module"),
            std::string::npos);
  EXPECT_EQ(Out("0000"), "0000");
  r = testsupport::RunCommand(Cli("--set 3=2"));
  EXPECT_EQ(r.status, 2);
}

}  // namespace
