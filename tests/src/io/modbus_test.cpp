// Modbus on the PC side: register pins, the configuration keys, scheduling
// and batching of the requests, and the handling of the module's answers.
#include "io/modbus.h"

#include <gtest/gtest.h>

#include <cmath>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "common/applog_capture.h"
#include "common/testsupport.h"
#include "params/parafile.h"

namespace {

using namespace modbusbatch;

// The main module in a test: keeps the batches sent and answers them the
// way the test says, in the layout the firmware uses.
struct FakeModule : ModbusPort {
  std::vector<std::vector<uint8_t>> sent;
  std::deque<std::vector<uint8_t>> answers;
  int configures = 0;
  bool autoAnswer = true;  // every batch is answered by the next read
  // The answer of one request; the default reads 1000 + register number
  // and confirms writes.
  std::function<std::vector<uint8_t>(const uint8_t*, int)> device = [](const uint8_t* r, int) {
    if (r[1] == kReadHolding) {
      const int v = 1000 + ((r[2] << 8) | r[3]);
      return std::vector<uint8_t>{r[0], r[1], r[2], r[3], static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
    }
    return std::vector<uint8_t>{r[0], r[1], r[2], r[3], 0, 1};
  };

  bool SendRaw(const uint8_t* data, int n) override {
    sent.emplace_back(data, data + n);
    if (autoAnswer) answers.push_back(Answer(sent.back()));
    return true;
  }
  bool ReadRaw(uint8_t* data, int size, int* count) override {
    if (answers.empty()) return false;
    *count = std::min<int>(size, static_cast<int>(answers.front().size()));
    std::copy(answers.front().begin(), answers.front().begin() + *count, data);
    answers.pop_front();
    return true;
  }
  bool Configure(int32_t, int32_t) override {
    ++configures;
    return true;
  }
  std::vector<uint8_t> Answer(const std::vector<uint8_t>& batch) const {
    std::vector<uint8_t> out(batch.size(), 0);
    EntryWalker walk(batch.data(), static_cast<int>(batch.size()));
    const uint8_t* r;
    int n, slot;
    while (walk.Next(r, n, slot)) {
      const std::vector<uint8_t> a = device(r, n);
      out[walk.Offset()] = static_cast<uint8_t>(slot);
      out[walk.Offset() + 1] = static_cast<uint8_t>(a.size());
      std::copy(a.begin(), a.end(), out.begin() + walk.Offset() + 2);
    }
    return out;
  }
  // Register numbers of batch i, writes marked negative... as pairs.
  std::vector<std::pair<int, int>> Requests(size_t i) const {
    std::vector<std::pair<int, int>> regs;  // (function, register)
    EntryWalker walk(sent.at(i).data(), static_cast<int>(sent[i].size()));
    const uint8_t* r;
    int n, slot;
    while (walk.Next(r, n, slot)) regs.emplace_back(r[1], (r[2] << 8) | r[3]);
    return regs;
  }
};

// One device (address 1) on a module that answers as FakeModule says.
struct Bus : ::testing::Test {
  Bus() { mb.AddDevice(1, "d"); }
  int32_t Read(int reg, int intervalMs = 0) {
    return mb.AddRegister(1, static_cast<uint16_t>(reg), false, false, intervalMs, "r")->Pin();
  }
  int32_t Write(int reg) { return mb.AddRegister(1, static_cast<uint16_t>(reg), true, false, 0, "w")->Pin(); }
  uint16_t Value(int32_t pin) {
    uint16_t v = 0;
    mb.GetValue(pin, v);
    return v;
  }
  Modbus mb;
  FakeModule m;
};
using ModbusSchedule = Bus;
using ModbusResults = Bus;

TEST(ModbusPins, EncodeDeviceRegisterAndFlags) {
  Modbus mb;
  const struct { bool tcp, write; int device, reg; int32_t pin; const char* hex; const char* dec; } cases[] = {
      {false, false, 1, 0x2000, -(0x10000 + 0x2000), "MB: 2000-1", "MB: 8192-1"},
      {false, true, 0x12, 7, -((1 << 24) + (0x12 << 16) + 7), "MB: 0007-18", "MB: 0007-18"},
      {true, false, 3, 44, -((1 << 28) + (3 << 16) + 44), "net #N44", "net #N44"},
  };
  for (const auto& c : cases) {
    const int32_t pin = Modbus::PinOf(c.tcp, c.write, static_cast<uint8_t>(c.device), static_cast<uint16_t>(c.reg));
    EXPECT_EQ(pin, c.pin);
    EXPECT_TRUE(Modbus::IsRegisterPin(pin));
    mb.displayHex = true;
    EXPECT_EQ(mb.PinText(pin), c.hex);
    mb.displayHex = false;
    EXPECT_EQ(mb.PinText(pin), c.dec);
  }
  EXPECT_FALSE(Modbus::IsRegisterPin(-65535));
  EXPECT_FALSE(Modbus::IsRegisterPin(12));
}

TEST(ModbusRanges, RegisterAndValueRangesMapLinearly) {
  const struct { uint16_t reg; int32_t minReg, maxReg; double minVal, maxVal, value; } cases[] = {
      {12000, 0, 24000, 0, 24000, 12000},  {500, 0, 1000, 0, 24000, 12000}, {0, 0, 1000, 6000, 24000, 6000},
      {800, 200, 1000, 0, 100, 75},         {1000, 1000, 0, 0, 10, 0},        {5000, 0, 1000, 0, 24000, 24000},
  };
  for (const auto& c : cases) {
    EXPECT_DOUBLE_EQ(RegisterToValue(c.reg, c.minReg, c.maxReg, c.minVal, c.maxVal), c.value) << c.reg;
    if (c.reg <= std::max(c.minReg, c.maxReg)) {
      EXPECT_EQ(ValueToRegister(c.value, c.minReg, c.maxReg, c.minVal, c.maxVal), c.reg) << c.value;
    }
  }
  EXPECT_EQ(ValueToRegister(99999, 0, 1000, 0, 24000), 1000) << "clamped to the register range";
  EXPECT_EQ(ValueToRegister(-5, 0, 70000, 0, 70000), 0) << "and to 16 bits";
  EXPECT_EQ(ValueToRegister(std::nan(""), 10, 1000, 0, 1), 10);
}

TEST(ModbusConfig, KeysRoundTripAndUnknownDevicesAreDropped) {
  const std::string dir = testsupport::MakeTempDir("modbus");
  {
    Modbus mb;
    mb.baudrate = 115200;
    mb.timeoutMs = 250;
    mb.displayHex = false;
    mb.AddDevice(1, "spindle drive");
    mb.AddDevice(7, "valve block");
    mb.AddRegister(1, 0x2000, true, false, 0, "speed set-point");
    mb.AddRegister(1, 3, false, false, 100, "actual speed");
    mb.AddRegister(7, 12, false, true, 500, "valves");
    ParaFile f;
    f.Open(dir + "/ModbusTable.txt");
    mb.WriteConfig(f);
    f.SetInt("RegAdr", 3, 9);  // a register of a device that is not configured
    f.SetInt("RegNum", 3, 5);
    f.SetInt("DevAdr", 2, 0);  // address 0 is skipped
    f.SetInt("NumRegisters", 4);
    f.SetInt("NumDevices", 3);
    f.Write();
  }
  ParaFile f;
  ASSERT_TRUE(f.Open(dir + "/ModbusTable.txt"));
  Modbus back;
  back.AddDevice(9, "old");
  back.AddRegister(9, 1, false, false, 0, "old register");
  back.ReadConfig(f);
  EXPECT_EQ(back.baudrate, 115200);
  EXPECT_EQ(back.timeoutMs, 250);
  EXPECT_FALSE(back.displayHex);
  ASSERT_EQ(back.Devices().size(), 2u) << "without KeepExisting the old configuration goes";
  EXPECT_EQ(back.Devices().at(7).name, "valve block");
  ASSERT_EQ(back.Registers().size(), 3u);
  const ModbusRegister* r = back.FindRegister(Modbus::PinOf(true, false, 7, 12));
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->name, "valves");
  EXPECT_EQ(r->intervalMs, 500);
  EXPECT_TRUE(back.AcceptsPin(Modbus::PinOf(false, true, 1, 0x2000)));
  EXPECT_FALSE(back.AcceptsPin(Modbus::PinOf(false, false, 9, 5)));
  // A device loses its last register: it is deleted.
  EXPECT_TRUE(back.RemoveRegister(Modbus::PinOf(true, false, 7, 12)));
  EXPECT_EQ(back.Devices().count(7), 0u);
}

// Which cycles send a read register, by its interval.
TEST_F(ModbusSchedule, ReadRegistersComeAtTheirInterval) {
  const struct { int intervalMs; std::vector<int> cycles; } cases[] = {
      {100, {3, 6, 9}}, {0, {1, 2, 3, 4, 5, 6, 7, 8, 9}}, {40, {1, 2, 3, 4, 5, 6, 7, 8, 9}}, {200, {5}}};
  for (const auto& c : cases) {
    Modbus bus;  // a fresh schedule and module for each interval
    FakeModule mod;
    bus.AddDevice(1, "d");
    const int32_t pin = bus.AddRegister(1, 4, false, false, c.intervalMs, "r")->Pin();
    std::vector<int> seen;
    for (int cycle = 1; cycle <= 9; ++cycle) {
      const size_t before = mod.sent.size();
      bus.Cycle(&mod);
      if (mod.sent.size() > before) seen.push_back(cycle);
    }
    EXPECT_EQ(seen, c.cycles) << "interval " << c.intervalMs;
    uint16_t v = 0;
    EXPECT_TRUE(bus.GetValue(pin, v));
    EXPECT_EQ(v, 1004);
  }
}

TEST_F(ModbusSchedule, AWriteGoesOnceWithItsLastValue) {
  const int32_t pin = Write(1);
  EXPECT_TRUE(mb.SetValue(pin, 100));
  EXPECT_TRUE(mb.SetValue(pin, 1500));
  EXPECT_FALSE(mb.SetValue(Modbus::PinOf(false, false, 1, 1), 5)) << "not a write register";
  mb.Cycle(&m);
  mb.Cycle(&m);
  mb.Cycle(&m);
  ASSERT_EQ(m.sent.size(), 1u);
  const std::vector<uint8_t> expect = {10, 9, 1, 16, 0, 1, 0, 1, 2, 0x05, 0xDC, 0, 0, 0};
  EXPECT_EQ(m.sent[0], expect) << "slot 10, request length 9, then the terminator";
  EXPECT_EQ(m.configures, 1) << "the bus settings go once to a module";
}

TEST_F(ModbusSchedule, AFullBatchLeavesTheRestForTheNextCycleInDueOrder) {
  testsupport::AssertionCapture asserts;
  for (int r = 0; r < 40; ++r) Read(100 + r);
  for (int r = 0; r < 5; ++r) mb.SetValue(Write(r), 9);
  mb.Cycle(&m);
  mb.Cycle(&m);
  ASSERT_EQ(m.sent.size(), 2u);
  const auto first = m.Requests(0), second = m.Requests(1);
  EXPECT_LE(m.sent[0].size(), static_cast<size_t>(kMaxUsed + 2));
  EXPECT_GE(m.sent[0].size(), static_cast<size_t>(kMaxUsed - kMinFree - EntrySize(kWriteSlot)));
  // Every read was due in cycle 1 and queued first; the writes were due
  // in cycle 1 too. The second batch continues where the first stopped.
  std::vector<std::pair<int, int>> all = first;
  all.insert(all.end(), second.begin(), second.end());
  ASSERT_GE(all.size(), 45u);
  for (int r = 0; r < 40; ++r) EXPECT_EQ(all[r], std::make_pair(3, 100 + r));
  for (int r = 0; r < 5; ++r) EXPECT_EQ(all[40 + r], std::make_pair(16, r));
  EXPECT_TRUE(asserts.Messages().empty()) << asserts.Messages()[0];
}

TEST_F(ModbusResults, AnswersSetValuesAndFaultsAreLogged) {
  testsupport::AppLogCapture log;
  const int32_t read = Read(5), bad = Read(6), write = Write(7), badWrite = Write(8);
  mb.SetValue(write, 1);
  mb.SetValue(badWrite, 2);
  m.device = [&](const uint8_t* r, int) -> std::vector<uint8_t> {
    const int reg = r[3];
    if (reg == 6 || reg == 8) return {r[0], static_cast<uint8_t>(r[1] | 0x80), 2};
    if (reg == 5) return {r[0], 3, 0, 5, 0x12, 0x34};
    return {r[0], 16, 0, 7, 0, 1};
  };
  mb.Cycle(&m);
  mb.Cycle(&m);
  EXPECT_EQ(Value(read), 0x1234);
  EXPECT_EQ(Value(bad), 0) << "an exception leaves the value";
  EXPECT_EQ(log.Count("Handle Results reg=5 v=4660"), 1);
  EXPECT_EQ(log.Count("Handle Results ReadFault reg=6"), 1);
  EXPECT_EQ(log.Count("Handle Results WriteOk reg=7"), 1);
  EXPECT_EQ(log.Count("Handle Results WriteFault reg=8"), 1);
  EXPECT_EQ(log.Count("Dispatch Action reg=7 w=1 t=1"), 1);
  EXPECT_EQ(m.sent.size(), 2u) << "a rejected write is not repeated";
}

TEST_F(ModbusResults, AMissingAnswerEndsTheWalkAndUnconfirmedWritesGoAgain) {
  const int32_t first = Read(1), silent = Read(2), later = Read(3), write = Write(4);
  mb.SetValue(write, 77);
  m.device = [](const uint8_t* r, int) -> std::vector<uint8_t> {
    if (r[3] == 2) return {};  // timed out on the bus
    if (r[1] == 3) return {r[0], 3, 0, r[3], 0, 9};
    return {r[0], 16, 0, r[3], 0, 1};
  };
  mb.Cycle(&m);
  mb.Cycle(&m);
  EXPECT_EQ(Value(first), 9);
  EXPECT_EQ(Value(silent), 0);
  EXPECT_EQ(Value(later), 0) << "the walk ended before it";
  EXPECT_EQ(mb.NoAnswerCount(), 1u);
  ASSERT_EQ(m.sent.size(), 2u);
  EXPECT_EQ(m.Requests(1).back(), std::make_pair(16, 4)) << "the write's fate was unknown";
  // Malformed answers end the walk as well: a length above 6, a slot past 252.
  for (const auto& answer : {std::vector<uint8_t>{8, 7, 1, 3, 0, 1, 0, 5, 0, 0, 0, 0}, std::vector<uint8_t>(254, 0)}) {
    Modbus mb2;
    FakeModule m2;
    m2.autoAnswer = false;
    mb2.AddDevice(1, "d");
    const int32_t pin = mb2.AddRegister(1, 1, false, false, 0, "r")->Pin();
    mb2.Cycle(&m2);
    std::vector<uint8_t> a = answer;
    if (a.size() == 254) a[0] = 252, a[1] = 6, a[2] = 1, a[3] = 3, a[7] = 5;
    m2.answers.push_back(a);
    mb2.Cycle(&m2);
    uint16_t v = 0;
    mb2.GetValue(pin, v);
    EXPECT_EQ(v, 0) << "answer of " << a.size() << " bytes";
    EXPECT_EQ(m2.sent.size(), 2u) << "handled, and the next batch went";
  }
}

TEST_F(ModbusResults, WithoutAnAnswerTheBatchStaysPendingAndAModuleChangeResendsWrites) {
  m.autoAnswer = false;
  const int32_t write = Write(4);
  Read(5);
  mb.SetValue(write, 3);
  mb.Cycle(&m);
  mb.Cycle(&m);
  mb.Cycle(&m);
  EXPECT_TRUE(mb.Pending());
  EXPECT_EQ(m.sent.size(), 1u) << "one batch in flight at a time";
  m.answers.push_back(m.Answer(m.sent[0]));
  mb.Cycle(&m);
  EXPECT_EQ(m.sent.size(), 2u) << "handled and the next batch sent in the same cycle";
  EXPECT_EQ(m.Requests(1).size(), 1u) << "the write was confirmed";
  // The module goes away with a batch in flight; a new one takes over.
  m.answers.push_back(m.Answer(m.sent[1]));
  mb.SetValue(write, 4);
  mb.Cycle(&m);
  ASSERT_EQ(m.Requests(2).size(), 2u) << "the write is in flight now";
  FakeModule other;
  mb.Cycle(&other);
  ASSERT_EQ(other.sent.size(), 1u);
  EXPECT_EQ(other.configures, 1);
  bool hasWrite = false;
  for (const auto& [function, reg] : other.Requests(0)) hasWrite |= function == 16 && reg == 4;
  EXPECT_TRUE(hasWrite);
  mb.Cycle(nullptr);  // no module: nothing happens, the tick still counts
  EXPECT_EQ(other.sent.size(), 1u);
}

TEST_F(ModbusResults, ABatchTheModuleNeverAnswersIsGivenUp) {
  mb.timeoutMs = 10;
  m.autoAnswer = false;
  mb.SetValue(Write(4), 3);
  mb.Cycle(&m);
  mb.Cycle(&m);
  EXPECT_TRUE(mb.Pending()) << "within the deadline it waits";
  std::this_thread::sleep_for(std::chrono::milliseconds(10 + 50 + Modbus::kLinkMarginMs + 20));
  mb.Cycle(&m);
  EXPECT_EQ(mb.NoAnswerCount(), 1u);
  ASSERT_EQ(m.sent.size(), 2u);
  EXPECT_EQ(m.sent[1], m.sent[0]) << "the unconfirmed write goes again";
}

}  // namespace
