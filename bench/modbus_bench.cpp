// Modbus registers per second through the main module: the PC's batches on
// the veth lab to a soft module whose libmodbus master runs them on a paced
// RTU line to the simulated drive. Arguments: baud rate, poll period (ms);
// a period of 1 shows what the line allows, 40 what an idle back end's poll
// gets.
#include <benchmark/benchmark.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/netlab.h"
#include "driver/src/quorvdriver.h"
#include "io/modbus.h"
#include "io/modbusport.h"

namespace {

void BM_ModbusRegistersPerSecond(benchmark::State& state) {
  const int baud = static_cast<int>(state.range(0));
  const auto period = std::chrono::milliseconds(state.range(1));
  try {
    netlab::Lab lab;
    netlab::VfdSim vfd({"--baud", std::to_string(baud)});
    netlab::ModSim sim(lab, {"--mac", netlab::ModuleMacText(1), "--rate", "0", "--modbus-port", vfd.Port()});
    QuorvDriver driver;
    const uint32_t key = driver.FindFirstModule();
    if (key == 0 || !driver.OpenModule(key, true)) throw std::runtime_error("the soft module could not be opened");
    DriverModbusPort port(driver, key);
    Modbus modbus;
    modbus.baudrate = baud;
    modbus.AddDevice(1, "drive");
    // Read every cycle: each batch is as full as the buffer allows.
    for (int r = 10; r < 41; ++r) modbus.AddRegister(1, static_cast<uint16_t>(r), false, false, 0, "parameter");
    // Until the first answers are in: the bus settings reached the module.
    for (int i = 0; i < 500 && modbus.AnswerCount() == 0; ++i) {
      modbus.Cycle(&port);
      std::this_thread::sleep_for(period);
    }
    uint64_t answers = 0, cycles = 0;
    double seconds = 0;
    for (auto _ : state) {
      const uint64_t a0 = modbus.AnswerCount();
      const auto t0 = std::chrono::steady_clock::now();
      while (std::chrono::steady_clock::now() - t0 < std::chrono::seconds(3)) {
        modbus.Cycle(&port);
        ++cycles;
        std::this_thread::sleep_for(period);
      }
      seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
      answers = modbus.AnswerCount() - a0;
    }
    state.counters["registers_per_s"] = static_cast<double>(answers) / seconds;
    state.counters["no_answer"] = static_cast<double>(modbus.NoAnswerCount());
    state.counters["cycles_per_s"] = static_cast<double>(cycles) / seconds;
  } catch (const std::exception& e) {
    state.SkipWithError(e.what());
  }
}
BENCHMARK(BM_ModbusRegistersPerSecond)
    ->Args({9600, 1})
    ->Args({9600, 40})
    ->Args({115200, 1})
    ->Args({115200, 40})
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kSecond);

}  // namespace
