// The reliable stream on the veth lab: bundling, the window of eight, and
// what faults, silence and restarts do to it.
#include <cstring>

#include "tests/driver/link_fixture.h"

namespace {

using namespace std::chrono;
using netlab::ModuleKey;

// "Send: <src>-><dst> len=<n> ..." lines with that length.
int FramesOfLength(testsupport::DriverLogCapture& log, int len) {
  return log.Count(" len=" + std::to_string(len) + " sn=");
}

// Ten commands leave at once in one frame; fewer leave 5 ms after the last;
// a command that would overrun the frame starts the next one.
TEST_F(LinkLab, CommandsBundleUpToTenOrFiveMillisecondsOrAFullFrame) {
  StartModSim(Module(1));
  StartDriver();
  const uint32_t key = OpenFirst();
  const int32_t p[1] = {1};
  // Eleven calls within 5 ms leave as ten and one (the timer alone would
  // send them together). A busy machine may stretch the calls: a few tries.
  bool atTheTenth = false;
  for (int attempt = 1; attempt <= 5 && !atTheTenth; ++attempt) {
    const int tens = FramesOfLength(log, 60), ones = FramesOfLength(log, 6);
    for (int i = 0; i < 11; ++i) ASSERT_TRUE(driver->SetPosition(key, p, 1, nullptr));
    atTheTenth = WaitUntil([&] { return FramesOfLength(log, 60) == tens + 1 && FramesOfLength(log, 6) == ones + 1; }, 300);
    ASSERT_TRUE(driver->Synchronize(key, true));
  }
  EXPECT_TRUE(atTheTenth) << "ten commands leave at the tenth";

  for (int i = 0; i < 9; ++i) ASSERT_TRUE(driver->SetPosition(key, p, 1, nullptr));
  const auto t0 = steady_clock::now();
  ASSERT_TRUE(WaitUntil([&] { return FramesOfLength(log, 54) == 1; }, 1000));
  EXPECT_GE(SecondsSince(t0), 0.004) << "nine wait for the bundle timer";

  const std::string text(60, 't');
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(driver->SetDisplayText(key, 0, text.c_str(), 60));
  ASSERT_TRUE(driver->Synchronize(key, true));
  EXPECT_EQ(FramesOfLength(log, 4 * 64), 1) << "four texts of 64 bytes fill a frame";
  EXPECT_EQ(FramesOfLength(log, 64 + 2), 1) << "the fifth leaves with the NOP";
}

// Eight frames may wait for their acknowledgement; the ninth waits for an
// answer to free one.
TEST_F(LinkLab, TheNinthFrameWaitsUntilAnAnswerFreesTheWindow) {
  StartModSim(Module(1, {"--delay", "300"}));
  StartDriver();
  const uint32_t key = OpenFirst();
  ASSERT_TRUE(driver->Synchronize(key, true));
  const auto t0 = steady_clock::now();
  for (int i = 0; i < 8; ++i) ASSERT_TRUE(driver->SetAxisPosition(key, 0, i));
  EXPECT_LT(SecondsSince(t0), 0.1);
  EXPECT_EQ(Connection(key)->FramesInFlight(), 8);
  ASSERT_TRUE(driver->SetAxisPosition(key, 0, 8));
  EXPECT_GE(SecondsSince(t0), 0.25) << "the first answer comes after 300 ms";
  EXPECT_GE(log.Count("GetFreeBuffer wait"), 1);
  ASSERT_TRUE(driver->Synchronize(key, true));
  sims.clear();
  std::vector<int32_t> positions;
  for (const auto& l : netlab::ReadRecord(Record(1)))
    if (l.kind == "CMD" && l.code == 1) positions.push_back(static_cast<int32_t>(l.args[1] | (l.args[2] << 8)));
  EXPECT_EQ(positions, (std::vector<int32_t>{0, 1, 2, 3, 4, 5, 6, 7, 8}));
}

// Commands through a wire that loses, doubles and reorders frames in both
// directions arrive exactly once and in order.
TEST_F(LinkLab, HundredThousandCommandsThroughFaultsArriveOnceInOrder) {
  StartModSim(Module(1, {"--drop", "0.1", "--dup", "0.05", "--reorder", "0.05", "--seed", "7"}));
  StartDriver();
  const uint32_t key = OpenFirst();
  constexpr int kCommands = 100000;
  std::vector<std::vector<uint8_t>> sent;
  sent.reserve(kCommands);
  for (int i = 0; i < kCommands; ++i) {
    const int32_t p[3] = {i, -3 * i, i / 7};
    uint16_t ref = 0;
    ASSERT_TRUE(driver->SetPosition(key, p, 3, &ref)) << "command " << i;
    std::vector<uint8_t> args(8);
    std::memcpy(args.data(), &ref, 2);
    for (int a = 0; a < 3; ++a) {
      const uint16_t low = static_cast<uint16_t>(p[a]);
      std::memcpy(args.data() + 2 + 2 * a, &low, 2);
    }
    sent.push_back(std::move(args));
  }
  ASSERT_TRUE(driver->Synchronize(key, true));
  EXPECT_FALSE(driver->ConnectionIsBad(key));
  sims.clear();
  std::vector<std::vector<uint8_t>> arrived;
  for (auto& l : netlab::ReadRecord(Record(1)))
    if (l.kind == "CMD" && l.code == 2) arrived.push_back(std::move(l.args));
  ASSERT_EQ(arrived.size(), sent.size());
  for (size_t i = 0; i < sent.size(); ++i) ASSERT_EQ(arrived[i], sent[i]) << "command " << i;
  EXPECT_GT(log.Count("RepeatSend"), 100) << "the faults were there";
}

// A module that falls silent is given up after 25 repeats, about 11.3 s
// after the frame that went unanswered; the caller waiting for room in the
// window gets the error instead of waiting for ever.
TEST_F(LinkLab, SilentModuleIsBrokenAfterElevenSecondsAndTheWaitingCallerGetsTheError) {
  StartModSim(Module(1, {"--silent-after", "3"}));
  StartDriver();
  const uint32_t key = OpenFirst();
  steady_clock::time_point firstUnanswered{};
  bool failed = false;
  for (int i = 0; i < 200 && !failed; ++i) {
    const int32_t p[1] = {i};
    if (i == 3 * 10) firstUnanswered = steady_clock::now();  // the fourth frame
    failed = !driver->SetPosition(key, p, 1, nullptr);
    if (i % 10 == 9) driver->Synchronize(key, false);
  }
  ASSERT_TRUE(failed) << "the caller never got the error";
  const double seconds = SecondsSince(firstUnanswered);
  EXPECT_GT(seconds, 11.0);
  EXPECT_LT(seconds, 12.5);
  EXPECT_EQ(State(key), STAT_BROKEN);
  EXPECT_EQ(TakeError(key).number, LERR_WRONG_STATE);
  EXPECT_EQ(log.Count("EventNoAck... repeat+retrigger"), 25);
  EXPECT_EQ(log.Count("EventNoAck... connection lost"), 1);
  EXPECT_TRUE(driver->ConnectionIsBad(key));
  EXPECT_TRUE(driver->CloseModule(key));
  EXPECT_EQ(State(key), STAT_DOWN);
}

// A module that forgot its connection (restarted) is found by a new scan
// and opened again; commands flow again.
TEST_F(LinkLab, RestartedModuleIsFoundByANewScanAndOpenedAgain) {
  StartModSim(Module(1, {"--restart-after", "5"}));
  StartDriver();
  const uint32_t key = OpenFirst();
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(driver->SetAxisPosition(key, 0, i));
  ASSERT_TRUE(driver->SetAxisPosition(key, 0, 100));  // the module restarts on this one
  ASSERT_TRUE(WaitUntil([&] { return driver->ConnectionIsBad(key); }, 5000));
  EXPECT_TRUE(driver->CloseModule(key));
  ASSERT_EQ(driver->FindFirstModule(), key);
  ASSERT_TRUE(driver->OpenModule(key, false));
  ASSERT_TRUE(driver->SetAxisPosition(key, 0, 200));
  ASSERT_TRUE(driver->Synchronize(key, true));
  sims.clear();
  std::vector<std::string> seen;
  for (const auto& l : netlab::ReadRecord(Record(1))) {
    // Every scan round is answered: one entry per run of them.
    if (l.kind == "EVT" && (l.text == "restart" || l.text.rfind("scan", 0) == 0) &&
        (seen.empty() || seen.back() != l.text.substr(0, 4)))
      seen.push_back(l.text.substr(0, 4));
    if (l.kind == "CMD" && l.code == 1) seen.push_back(std::to_string(l.args[1] | (l.args[2] << 8)));
  }
  // Scans and open; five positions; restart (100 lost); scans, open, 200.
  EXPECT_EQ(seen, (std::vector<std::string>{"scan", "0", "1", "2", "3", "4", "rest", "scan", "200"}));
}

}  // namespace
