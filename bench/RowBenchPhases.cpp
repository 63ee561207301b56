// rowbench-phases: the rowbench phases timed repeatedly beside their floors (see
// RowBenchPhaseTable.cpp).
//
//   rowbench-phases [runs]      (default 10; a Release build gives the figures that matter)
#include "bench/RowBench.h"

int main(int Argc, char** Argv) {
  return tolvan::bench::RowBenchPhasesMain(Argc, Argv, "rowbench-phases");
}
