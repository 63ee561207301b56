// rowbench: times the engine's create and open, insert, save, delete and load of a 20 000-row
// table, appending one line per phase to log.txt beside the program and writing the saved
// table stream to test.dat in the current directory. It takes no arguments. Exit status 0 when
// every phase ran; otherwise 1, with "rowbench: " and the reason on stderr.
#include <cstdio>
#include <exception>
#include <string>

#include "bench/RowBench.h"
#include "classlib/SysUtils.h"
#include "components/TolvanComponentStartup.h"
#include "foundation/TolvanRelease.h"

using namespace tolvan;

namespace {

// The message of the exception being handled.
std::string CurrentMessage() {
  try {
    throw;
  } catch (const std::exception& E) {
    return E.what();
  } catch (...) {
    return "Unknown error";
  }
}

} // namespace

int main(int Argc, char** Argv) {
  // The separators follow the user's LC_NUMERIC; the rest of the settings stay fixed.
  bench::ReadLocaleSeparators(FormatSettings());

  std::string Failure;
  try {
    const std::string LogFileName =
        bench::GetLogFileName(bench::ReadExePath(), Argc > 0 ? Argv[0] : "");
    // Before the engine starts, so an unusable log ends the run before any phase.
    bench::TruncateLog(LogFileName);
    InitComponentRegistries();
    bench::TRowBenchRun Run;
    Run.LogFileName = LogFileName;
    bench::RunRowBench(Run);
  } catch (...) {
    Failure = CurrentMessage();
  }
  // Nothing when start-up did not run.
  try {
    FreeComponentRegistries();
  } catch (...) {
    if (Failure.empty())
      Failure = CurrentMessage();
  }
  if (!Failure.empty()) {
    std::fprintf(stderr, "rowbench: %s\n", Failure.c_str());
    return 1;
  }
  return 0;
}
