// HPGL import of a 100,000-point plot: read, then write the program.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <string>

#include <unistd.h>

#include "import/hpgl_parser.h"

namespace {

std::string MakePlot(int points) {
  std::string s = "IN;SP1;PU0,0;";
  s.reserve(static_cast<size_t>(points) * 14);
  for (int k = 0; k < points;) {
    // Strokes of 500 points, as a drawing program splits a long outline.
    s += "PD";
    for (int j = 0; j < 500 && k < points; ++j, ++k) {
      if (j) s += ',';
      s += std::to_string(k % 20000) + "," + std::to_string(static_cast<int>(4000 * std::sin(k * 0.01)));
    }
    s += ";PU;";
    if (k % 10000 == 0) s += "SP" + std::to_string(1 + (k / 10000) % 4) + ";";
  }
  return s;
}

void BM_HpglImport100k(benchmark::State& state) {
  const std::string dir = "/tmp/qv_hpgl_bench_" + std::to_string(getpid());
  const std::string file = dir + ".plt";
  std::ofstream(file, std::ios::binary) << MakePlot(100000);
  HpglSettings s;
  for (auto _ : state) {
    HPGL_Parser parser;
    if (!parser.ReadHpglFile(file)) state.SkipWithError("read failed");
    parser.ApplySettings(s, {});
    if (!parser.WriteGCode(file)) state.SkipWithError("write failed");
    benchmark::DoNotOptimize(parser.PointCount());
  }
  std::remove(file.c_str());
  std::remove((file + ".nc").c_str());
}
BENCHMARK(BM_HpglImport100k)->Unit(benchmark::kMillisecond);

}  // namespace
