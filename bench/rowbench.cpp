// rowbench: times the engine's create and open, insert, save, delete and load of a 20 000-row
// table, appending one line per phase to log.txt beside the program and writing the saved
// table stream to test.dat in the current directory. It takes no arguments. Exit status 0 when
// every phase ran; otherwise 1, with "rowbench: " and the reason on stderr.
#include "bench/RowBench.h"

int main(int Argc, char** Argv) { return tolvan::bench::RowBenchMain(Argc, Argv, "rowbench"); }
