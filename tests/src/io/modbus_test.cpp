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
TEST(ModbusSchedule, ReadRegistersComeAtTheirInterval) {
  const struct { int intervalMs; std::vector<int> cycles; } cases[] = {
      {100, {3, 6, 9}}, {0, {1, 2, 3, 4, 5, 6, 7, 8, 9}}, {40, {1, 2, 3, 4, 5, 6, 7, 8, 9}}, {200, {5}}};
  for (const auto& c : cases) {
    Modbus mb;
    FakeModule m;
    mb.AddDevice(1, "d");
    const int32_t pin = mb.AddRegister(1, 4, false, false, c.intervalMs, "r")->Pin();
    std::vector<int> seen;
    for (int cycle = 1; cycle <= 9; ++cycle) {
      const size_t before = m.sent.size();
      mb.Cycle(&m);
      if (m.sent.size() > before) seen.push_back(cycle);
    }
    EXPECT_EQ(seen, c.cycles) << "interval " << c.intervalMs;
    uint16_t v = 0;
    EXPECT_TRUE(mb.GetValue(pin, v));
    EXPECT_EQ(v, 1004);
  }
}

TEST(ModbusSchedule, AWriteGoesOnceWithItsLastValue) {
  Modbus mb;
  FakeModule m;
  mb.AddDevice(2, "drive");
  const int32_t pin = mb.AddRegister(2, 1, true, false, 0, "set-point")->Pin();
  EXPECT_TRUE(mb.SetValue(pin, 100));
  EXPECT_TRUE(mb.SetValue(pin, 1500));
  EXPECT_FALSE(mb.SetValue(Modbus::PinOf(false, false, 2, 1), 5)) << "not a write register";
  mb.Cycle(&m);
  mb.Cycle(&m);
  mb.Cycle(&m);
  ASSERT_EQ(m.sent.size(), 1u);
  const std::vector<uint8_t> expect = {10, 9, 2, 16, 0, 1, 0, 1, 2, 0x05, 0xDC, 0, 0, 0};
  EXPECT_EQ(m.sent[0], expect) << "slot 10, request length 9, then the terminator";
  EXPECT_EQ(m.configures, 1) << "the bus settings go once to a module";
}

TEST(ModbusSchedule, AFullBatchLeavesTheRestForTheNextCycleInDueOrder) {
  testsupport::AssertionCapture asserts;
  Modbus mb;
  FakeModule m;
  mb.AddDevice(1, "d");
  for (int r = 0; r < 40; ++r) mb.AddRegister(1, static_cast<uint16_t>(100 + r), false, false, 0, "r");
  for (int r = 0; r < 5; ++r) mb.SetValue(mb.AddRegister(1, static_cast<uint16_t>(r), true, false, 0, "w")->Pin(), 9);
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

TEST(ModbusResults, AnswersSetValuesAndFaultsAreLogged) {
  testsupport::AppLogCapture log;
  Modbus mb;
  FakeModule m;
  mb.AddDevice(1, "d");
  const int32_t read = mb.AddRegister(1, 5, false, false, 0, "r")->Pin();
  const int32_t bad = mb.AddRegister(1, 6, false, false, 0, "r")->Pin();
  const int32_t write = mb.AddRegister(1, 7, true, false, 0, "w")->Pin();
  const int32_t badWrite = mb.AddRegister(1, 8, true, false, 0, "w")->Pin();
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
  uint16_t v = 0;
  mb.GetValue(read, v);
  EXPECT_EQ(v, 0x1234);
  mb.GetValue(bad, v);
  EXPECT_EQ(v, 0) << "an exception leaves the value";
  EXPECT_EQ(log.Count("Handle Results reg=5 v=4660"), 1);
  EXPECT_EQ(log.Count("Handle Results ReadFault reg=6"), 1);
  EXPECT_EQ(log.Count("Handle Results WriteOk reg=7"), 1);
  EXPECT_EQ(log.Count("Handle Results WriteFault reg=8"), 1);
  EXPECT_EQ(log.Count("Dispatch Action reg=7 w=1 t=1"), 1);
  EXPECT_EQ(m.sent.size(), 2u) << "a rejected write is not repeated";
}

TEST(ModbusResults, AMissingAnswerEndsTheWalkAndUnconfirmedWritesGoAgain) {
  Modbus mb;
  FakeModule m;
  mb.AddDevice(1, "d");
  const int32_t first = mb.AddRegister(1, 1, false, false, 0, "r")->Pin();
  const int32_t silent = mb.AddRegister(1, 2, false, false, 0, "r")->Pin();
  const int32_t later = mb.AddRegister(1, 3, false, false, 0, "r")->Pin();
  const int32_t write = mb.AddRegister(1, 4, true, false, 0, "w")->Pin();
  mb.SetValue(write, 77);
  m.device = [](const uint8_t* r, int) -> std::vector<uint8_t> {
    if (r[3] == 2) return {};  // timed out on the bus
    if (r[1] == 3) return {r[0], 3, 0, r[3], 0, 9};
    return {r[0], 16, 0, r[3], 0, 1};
  };
  mb.Cycle(&m);
  mb.Cycle(&m);
  uint16_t v = 0;
  mb.GetValue(first, v);
  EXPECT_EQ(v, 9);
  mb.GetValue(silent, v);
  EXPECT_EQ(v, 0);
  mb.GetValue(later, v);
  EXPECT_EQ(v, 0) << "the walk ended before it";
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
    mb2.GetValue(pin, v);
    EXPECT_EQ(v, 0) << "answer of " << a.size() << " bytes";
    EXPECT_EQ(m2.sent.size(), 2u) << "handled, and the next batch went";
  }
}

TEST(ModbusResults, WithoutAnAnswerTheBatchStaysPendingAndAModuleChangeResendsWrites) {
  Modbus mb;
  FakeModule m;
  m.autoAnswer = false;
  mb.AddDevice(1, "d");
  const int32_t write = mb.AddRegister(1, 4, true, false, 0, "w")->Pin();
  mb.AddRegister(1, 5, false, false, 0, "r");
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

TEST(ModbusResults, ABatchTheModuleNeverAnswersIsGivenUp) {
  Modbus mb;
  mb.timeoutMs = 10;
  FakeModule m;
  m.autoAnswer = false;
  mb.AddDevice(1, "d");
  const int32_t write = mb.AddRegister(1, 4, true, false, 0, "w")->Pin();
  mb.SetValue(write, 3);
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
