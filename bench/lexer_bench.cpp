// Loading a large part program into the text store and reading it into words.
#include <benchmark/benchmark.h>

#include "benchfiles.h"

#include <cstdio>
#include <string>

#include <unistd.h>

#include "program/fileparser.h"

namespace {

constexpr int kLines = 1000000;

// A million lines of typical generated program text, written once.
const std::string& ProgramFile() {
  static const std::string path = [] {
    std::string p;
    std::FILE* f = benchfiles::Create("lexer.nc", p);
    std::fputs("%\r\n", f);
    for (int i = 1; i < kLines; ++i) {
      std::fprintf(f, "N%d G1 X%.3f Y%.3f Z-%.2f F1200 (cut)\r\n", i * 10, (i % 5000) * 0.125, (i % 777) * 0.5,
                   (i % 7) * 0.25);
    }
    std::fclose(f);
    return p;
  }();
  return path;
}

class BenchParser : public FileParser {
 public:
  using FileParser::FileParser;
  double ReadVariable() override { return VariableValue(ParseVariableRef()); }
  double VariableValue(int32_t) override { return 0; }
};

long ReadAllWords(BenchParser& p) {
  long words = 0;
  do {
    p.SkipSpaceAndComments();
    if (p.PeekChar() == '%') p.NextChar();
    for (p.SkipSpaceAndComments(); !p.endOfLine; p.SkipSpaceAndComments()) {
      p.GetLetter();
      benchmark::DoNotOptimize(p.Expression());
      words++;
    }
  } while (p.NextLine());
  return words;
}

void BM_LoadFile(benchmark::State& state) {
  const std::string& path = ProgramFile();
  for (auto _ : state) {
    TextControl text;
    benchmark::DoNotOptimize(text.LoadFile(path));
  }
  std::FILE* f = std::fopen(path.c_str(), "rb");
  std::fseek(f, 0, SEEK_END);
  state.SetBytesProcessed(state.iterations() * std::ftell(f));
  std::fclose(f);
  state.counters["lines/s"] = benchmark::Counter(static_cast<double>(kLines), benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_LoadFile)->Unit(benchmark::kMillisecond);

void BM_ReadWords(benchmark::State& state) {
  BenchParser parser;
  parser.NewMainFile(ProgramFile());
  long words = 0;
  for (auto _ : state) {
    parser.GotoLine(1);
    words = ReadAllWords(parser);
  }
  state.counters["lines/s"] = benchmark::Counter(static_cast<double>(kLines), benchmark::Counter::kIsIterationInvariantRate);
  state.counters["words"] = static_cast<double>(words);
}
BENCHMARK(BM_ReadWords)->Unit(benchmark::kMillisecond);

void BM_Expression(benchmark::State& state) {
  BenchParser parser("2+3*4^2-ROUND(SQRT(16.25)/2)|#[3*4]&7");
  for (auto _ : state) {
    parser.GotoLine(1);
    benchmark::DoNotOptimize(parser.Expression());
  }
}
BENCHMARK(BM_Expression);

}  // namespace
