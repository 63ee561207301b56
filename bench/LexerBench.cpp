// Tokenizing a generated script of 100 000 INSERT statements (about 10 MB).
#include <benchmark/benchmark.h>

#include <string>

#include "schema/expr/TolvanLexer.h"

namespace {

std::string MakeScript() {
  std::string S;
  S.reserve(12'000'000);
  for (int I = 0; I < 100000; ++I) {
    const std::string N = std::to_string(I);
    S += "INSERT INTO customers (id, name, city, balance)\nVALUES (";
    S += N + ", 'Customer ''" + N + "''', 'Springfield', " + N + ".25);\n";
  }
  return S;
}

const std::string& Script() {
  static const std::string S = MakeScript();
  return S;
}

void BM_TokenizeInsertScript(benchmark::State& State) {
  const std::string& S = Script();
  int64_t Tokens = 0;
  for (auto _ : State) {
    tolvan::TTolvanLexer Lexer(S, nullptr);
    while (Lexer.NextStatement())
      Tokens += Lexer.TokenCount();
    benchmark::DoNotOptimize(Tokens);
  }
  State.SetBytesProcessed(int64_t(State.iterations()) * int64_t(S.size()));
  State.counters["bytes"] = double(S.size());
  State.counters["tokens"] = benchmark::Counter(double(Tokens), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_TokenizeInsertScript)->Unit(benchmark::kMillisecond);

} // namespace
