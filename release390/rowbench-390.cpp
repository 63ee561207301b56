// rowbench-390: rowbench as release 3.90. The same phases, log and test.dat as rowbench; the
// engine behaves as 3.90 (its table stream carries version 3.9, which both releases load), so
// its figures show what the 3.90 variants cost. Error texts start with "rowbench-390: ".
#include "bench/RowBench.h"
#include "foundation/TolvanRelease.h"
#include "release390/TolvanRelease390.h"

int main(int Argc, char** Argv) {
  tolvan::InstallRelease390();
  tolvan::SelectRelease(tolvan::TTolvanReleaseId::tr390);
  return tolvan::bench::RowBenchMain(Argc, Argv, "rowbench-390");
}
