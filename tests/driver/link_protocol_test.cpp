// The acknowledgement window against a module the test plays itself: the
// answers a well-behaved module never sends.
#include <future>

#include "tests/driver/link_fixture.h"

namespace {

using namespace std::chrono;

struct ScriptedLab : LinkLab {
  const uint32_t key = netlab::ModuleKey(3);
  // Frames of the connection with sequence number `sn` after the first `from`.
  int CountSn(uint16_t sn, size_t from) {
    const auto frames = peer->Frames();
    int n = 0;
    for (size_t i = from; i < frames.size(); ++i) n += netlab::Frame16(frames[i], 16) == sn;
    return n;
  }
  uint32_t Inputs() {
    uint32_t in = 0;
    EXPECT_TRUE(driver->ReadInputs(key, &in));
    return in;
  }
};

TEST_F(ScriptedLab, GapsAreRepairedAtOnceStrayAndOldAnswersChangeNothingAndIdleSendsNops) {
  peer = std::make_unique<netlab::RawPeer>(*lab, netlab::ModuleMac(3), "Scripted\nHw\nSw V1.40");
  StartDriver();
  // An identification that claims the driver's own address is its own echo.
  auto found = std::async(std::launch::async, [&] { return driver->FindFirstModule(); });
  std::this_thread::sleep_for(milliseconds(100));
  std::vector<uint8_t> echo(25, 0);
  std::copy(netlab::Lab::kHostMac, netlab::Lab::kHostMac + 6, echo.begin());
  std::copy(netlab::Lab::kHostMac, netlab::Lab::kHostMac + 6, echo.begin() + 6);
  echo[12] = 0x15, echo[13] = 0xB3, echo[14] = 5, echo[20] = 3, echo[21] = 255;
  echo[22] = 'P', echo[23] = 'C', echo[24] = '!';
  peer->Send(echo);
  ASSERT_EQ(found.get(), key);
  EXPECT_EQ(driver->FindNextModule(key), 0u) << "the echo made no module";
  ASSERT_TRUE(driver->OpenModule(key, true));

  peer->SetAutoAck(false);
  const size_t base = peer->Frames().size();
  for (int i = 1; i <= 5; ++i) ASSERT_TRUE(driver->SetAxisPosition(key, 0, i));  // frames 1 to 5
  ASSERT_TRUE(peer->WaitFrames(base + 5, 1000));
  ModuleInfo* c = Connection(key);
  const uint64_t heard = c->LastReceiveMicros();

  // an eight behind and one ahead of the newest frame fit no window position.
  peer->Answer(peer->NextSn(), static_cast<uint8_t>(5 - 8), 0xFF, 1, netlab::RawPeer::Status(0, 0, 0, 0x11));
  peer->Answer(peer->NextSn(), 6, 0xFF, 1, netlab::RawPeer::Status(0, 0, 0, 0x11));
  ASSERT_TRUE(log.WaitFor("Ignoring packet with offset=8", 1000));
  ASSERT_TRUE(log.WaitFor("Ignoring packet with offset=-1", 1000));
  EXPECT_EQ(c->FramesInFlight(), 5);
  EXPECT_EQ(c->LastReceiveMicros(), heard);
  EXPECT_EQ(Inputs(), 0u);

  // 1 to 3 and 5 arrived, 4 did not: 1 to 3 are released and 4 goes again
  // at once (the time-out would repeat the newest, 5).
  const size_t before = peer->Frames().size();
  const uint16_t gapSn = peer->NextSn();
  peer->Answer(gapSn, 5, 0xBF, 1, netlab::RawPeer::Status(0, 0, 0, 0x42));
  ASSERT_TRUE(WaitUntil([&] { return CountSn(4, before) > 0; }, 1000));
  EXPECT_EQ(c->FramesInFlight(), 2) << "4 and 5 stay in flight";
  EXPECT_EQ(Inputs(), 0x42u);

  // An answer with an old number still acknowledges; its data is not taken.
  const int snumErrors = log.Count("HandleRecvData SNUM Error !!!");
  peer->Answer(gapSn, 5, 0xFF, 1, netlab::RawPeer::Status(0, 0, 0, 0x99));
  ASSERT_TRUE(WaitUntil([&] { return c->FramesInFlight() == 0; }, 1000));
  EXPECT_EQ(Inputs(), 0x42u);
  EXPECT_EQ(log.Count("HandleRecvData SNUM Error !!!"), snumErrors + 1);

  // Nothing to send: one NOP a second keeps the connection alive.
  peer->SetAutoAck(true);
  const size_t idleFrom = peer->Frames().size();
  std::this_thread::sleep_for(milliseconds(2500));
  const auto frames = peer->Frames();
  int nops = 0;
  for (size_t i = idleFrom; i < frames.size(); ++i)
    nops += netlab::Frame16(frames[i], 14) == 2 && frames[i][20] == 0 && frames[i][21] == 0;
  EXPECT_EQ(frames.size() - idleFrom, 2u);
  EXPECT_EQ(nops, 2);
}

}  // namespace
