// rowbench-phases-390: rowbench-phases as release 3.90, for the two releases' phases side by
// side.
//
//   rowbench-phases-390 [runs]  (default 10; a Release build gives the figures that matter)
#include "bench/RowBench.h"
#include "foundation/TolvanRelease.h"
#include "release390/TolvanRelease390.h"

int main(int Argc, char** Argv) {
  tolvan::InstallRelease390();
  tolvan::SelectRelease(tolvan::TTolvanReleaseId::tr390);
  return tolvan::bench::RowBenchPhasesMain(Argc, Argv, "rowbench-phases-390");
}
