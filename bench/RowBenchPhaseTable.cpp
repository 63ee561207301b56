// RowBenchPhaseTable: the body of rowbench-phases (and of rowbench-phases-390): the rowbench
// phases, ten times after a warm-up, each run in freshly started registries, with the minimum and
// median of each phase beside two floors: the time the row values alone take to generate (the
// same draws, text conversions and clock reads, posting nothing) and a memcpy of the saved table
// stream. The insert's share of the engine is its time less the generation; the save's and
// load's floor is the memcpy.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "bench/RowBench.h"
#include "classlib/DateUtils.h"
#include "components/TolvanComponentStartup.h"
#include "foundation/TolvanRelease.h"

namespace tolvan::bench {

namespace {

using Clock = std::chrono::steady_clock;

double Since(Clock::time_point Start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - Start).count();
}

struct TFigures {
  std::vector<double> Ms;
  double Min() const { return *std::min_element(Ms.begin(), Ms.end()); }
  double Median() {
    std::sort(Ms.begin(), Ms.end());
    const size_t N = Ms.size();
    return N % 2 ? Ms[N / 2] : (Ms[N / 2 - 1] + Ms[N / 2]) / 2;
  }
};

// What FillTestTable computes for the rowbench table's 14 written fields, in field order.
double GenerateValues(int32_t RowCount) {
  std::string Text;
  volatile int64_t Sink = 0;
  const Clock::time_point Start = Clock::now();
  for (int32_t I = 1; I <= RowCount; ++I) {
    for (int F = 0; F < 5; ++F)
      Sink = Sink + static_cast<int64_t>(NextTextValue(I, Text).size());
    for (int F = 0; F < 3; ++F)
      Sink = Sink + static_cast<int64_t>(Now());
    for (int F = 0; F < 2; ++F)
      Sink = Sink + NextCurrencyValue(I).Scaled;
  }
  return Since(Start);
}

double CopyImage(const std::vector<uint8_t>& Image, std::vector<uint8_t>& Target) {
  const Clock::time_point Start = Clock::now();
  std::memcpy(Target.data(), Image.data(), Image.size());
  volatile uint8_t Touch = Target[Image.size() / 2];
  (void)Touch;
  return Since(Start);
}

void Print(const char* Label, TFigures& F) {
  std::printf("%-34s %10.3f %10.3f\n", Label, F.Min(), F.Median());
}

} // namespace

int RowBenchPhasesMain(int Argc, char** Argv, std::string_view ProgramName) {
  const int Runs = Argc > 1 ? std::max(1, std::atoi(Argv[1])) : 10;
  try {
    TFigures Phases[RowBenchPhaseCount], Values, Copy;
    std::vector<uint8_t> Image;
    for (int R = 0; R <= Runs; ++R) {
      TComponentRegistriesScope Registries;
      TRowBenchRun Run;
      Run.DataFileName.clear();
      Run.StreamImage = &Image;
      RunRowBench(Run);
      const double Generated = GenerateValues(Run.RowCount);
      if (R == 0)
        continue; // the warm-up
      for (int P = 0; P < RowBenchPhaseCount; ++P)
        Phases[P].Ms.push_back(Run.Seconds[P] * 1000);
      Values.Ms.push_back(Generated);
    }
    std::vector<uint8_t> Target(Image.size());
    for (int R = 0; R <= Runs * 10; ++R)
      Copy.Ms.push_back(CopyImage(Image, Target));

    std::printf("rowbench phases, release %s, %d rows, %d runs after a warm-up (ms)\n",
                Release().Name, RowBenchRowCount, Runs);
    std::printf("%-34s %10s %10s\n", "", "min", "median");
    const char* Labels[RowBenchPhaseCount] = {"create and open", "insert", "save", "delete",
                                              "load"};
    for (int P = 0; P < RowBenchPhaseCount; ++P)
      Print(Labels[P], Phases[P]);
    Print("row values alone (no posting)", Values);
    std::string CopyLabel = "memcpy of the image (" + std::to_string(Image.size()) + " B)";
    Print(CopyLabel.c_str(), Copy);
    return 0;
  } catch (const std::exception& E) {
    std::fprintf(stderr, "%.*s: %s\n", static_cast<int>(ProgramName.size()), ProgramName.data(),
                 E.what());
  } catch (...) {
    std::fprintf(stderr, "%.*s: Unknown error\n", static_cast<int>(ProgramName.size()),
                 ProgramName.data());
  }
  return 1;
}

} // namespace tolvan::bench
