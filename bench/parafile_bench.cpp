// Parameter file speed: start-up reads the whole machine parameter table by
// key, and every save formats numbers.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>

#include <unistd.h>
#include <wx/init.h>

#include "base/folders.h"
#include "base/logging.h"
#include "machine/machineconfig.h"
#include "params/parafile.h"

namespace {

struct Env {
  wxInitializer wx;
  std::string dir;
  Env() {
    SetLogMask(0);
    char tmpl[] = "/tmp/parafile-bench-XXXXXX";
    const char* d = mkdtemp(tmpl);
    dir = d ? d : "/tmp";
    Folders::SetParameters(dir);
    ParaFile f;
    f.Open("ParameterTable.txt");
    MachineConfig().Save(f);
    f.Write();
  }
  ~Env() {
    const std::string cmd = "rm -rf '" + dir + "'";
    if (std::system(cmd.c_str()) != 0) return;
  }
};

Env& TheEnv() {
  static Env env;
  return env;
}

// All keys of the table from an open file (the table's full read at start-up).
void BM_ReadMachineTable(benchmark::State& state) {
  TheEnv();
  ParaFile f;
  f.Open("ParameterTable.txt");
  for (auto _ : state) {
    MachineConfig c;
    benchmark::DoNotOptimize(c.Load(f));
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(f.GetLineCount()));
}
BENCHMARK(BM_ReadMachineTable);

// Opening the file from disk and reading it.
void BM_OpenAndReadMachineTable(benchmark::State& state) {
  TheEnv();
  for (auto _ : state) {
    ParaFile f;
    f.Open("ParameterTable.txt");
    MachineConfig c;
    benchmark::DoNotOptimize(c.Load(f));
  }
}
BENCHMARK(BM_OpenAndReadMachineTable);

void BM_FormatNumber(benchmark::State& state) {
  double v = -1234.567890123;
  for (auto _ : state) {
    benchmark::DoNotOptimize(ParaFile::FormatNumber(v));
    v += 0.001;
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FormatNumber);

void BM_ParseNumber(benchmark::State& state) {
  const std::string text = "-1234.56789";
  for (auto _ : state) benchmark::DoNotOptimize(ParaFile::ParseNumber(text));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ParseNumber);

// Saving the whole table in place (every value replaced) and writing it.
void BM_SaveMachineTable(benchmark::State& state) {
  TheEnv();
  ParaFile f;
  f.Open("ParameterTable.txt");
  MachineConfig c;
  for (auto _ : state) {
    c.safeZLevel += 0.5;
    c.Save(f);
    benchmark::DoNotOptimize(f.Write());
  }
}
BENCHMARK(BM_SaveMachineTable);

}  // namespace
