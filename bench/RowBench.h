// RowBench.h: the rowbench measurement as routines (library tolvan_bench), shared by the
// rowbench program, rowbench-390 and the benchmark and tests that run its phases.
//
// The measurement: a table "test" (15 columns, 5 indexes) is created and opened, filled with
// generated rows, closed, saved into a memory stream (uncompressed), written to a file, deleted
// and loaded back from the stream. Each timed phase appends one line to the log: its label,
// two tabs, the seconds as "#,##0.000" in the process's format settings, CR LF.
//
// Row values: every value comes from the process-wide generator (RandomFraction), so a run's
// values depend only on how many draws came before the first row. A currency column takes
// x / ((y + 0.01) * i) with x = 100000 * draw and y = draw, drawn in that order, in Extended
// (long double) arithmetic, rounded to ten-thousandths ties to even; a text column takes
// "Test_" and the same quotient as FloatToStr writes it (cut to the column's size by the
// field); integers take i and date-times the current local time.
//
// The log is written by whole lines: each append opens the file for appending, writes the line
// with one write (looping on short writes) and closes it, so lines of several writers never
// interleave. An open that keeps failing is retried for about a second and then raises.
//
// Threads: the routines keep no state; a table and its stream serve one thread at a time. The
// separator routines only compute; ReadLocaleSeparators reads the process's environment and
// belongs in a program's main before anything else runs.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "classlib/FloatText.h"
#include "classlib/Strings.h"
#include "classlib/SysUtils.h"

namespace tolvan {
class TTolvanTable;
class TTolvanMemoryStream;
} // namespace tolvan

namespace tolvan::bench {

// Rows the program inserts.
inline constexpr int32_t RowBenchRowCount = 20000;
// The 32-bit value the save stores in the header of the uncompressed table stream.
inline constexpr int32_t RowBenchSaveOption = 1048576;

// The phases in the order they run and log.
enum TRowBenchPhase : uint8_t {
  rbCreateAndOpen,
  rbInsert,
  rbSave,
  rbDelete,
  rbLoad,
  RowBenchPhaseCount
};
// "Create and open time = \t\t", ... (each label ends in two tabs).
std::string_view RowBenchPhaseLabel(TRowBenchPhase Phase) noexcept;

// --- the table and its rows -------------------------------------------------------------------

// Clears the table's field, extended field, index, engine index and foreign-key definitions,
// defines the 15 columns and 5 indexes of the test table and creates it.
void DefineTestTable(TTolvanTable& Table);

// Called after a row's values are set and before it is posted, with the row's number.
using TRowObserver = std::function<void(TTolvanTable& Table, int32_t Row)>;

// Appends RowCount rows (i = 1 .. RowCount) to the open table through Insert, the field
// writes and Post; the first field (the auto-increment id) is left to the table.
void FillTestTable(TTolvanTable& Table, int32_t RowCount, const TRowObserver& Observer = {});

// The value generators FillTestTable uses; each takes its two draws from the process-wide
// generator. Text is written into Buffer (reused from row to row) and returned as a view of it.
Currency NextCurrencyValue(int32_t Row);
std::string_view NextTextValue(int32_t Row, std::string& Buffer);

// --- the log -----------------------------------------------------------------------------------

// The log beside the program: the directory of ExePath (the resolved /proc/self/exe), else of
// Argv0, each up to and including its last '/', else the current directory; then "log.txt".
AnsiString GetLogFileName(std::string_view ExePath, std::string_view Argv0);
// The path of the running program, empty when the system does not tell.
std::string ReadExePath();

// Empties the log (creating it when missing). Retries and raises as AppendToLog.
void TruncateLog(const std::string& FileName);
// Appends Line + CR LF. An open still failing after about a second raises EOSError naming the
// file and the system's reason; a failed write raises likewise. The file is closed on every path.
void AppendToLog(const std::string& FileName, std::string_view Line);

// The seconds of a tick difference as the log writes them ("#,##0.000").
std::string FormatElapsed(uint32_t Milliseconds);

// --- the locale's separators --------------------------------------------------------------------

// The Windows-1252 character of a locale's separator text (in the locale's code set, Utf8 when
// that is UTF-8). False for an empty text (the C locale's thousands separator) and for a text
// that is not exactly one character the code page has; the caller then keeps its default.
bool MapLocaleSeparator(std::string_view Text, bool Utf8, char& Result) noexcept;

// The decimal and thousands separators of the locale the environment names for LC_NUMERIC,
// each mapped as above, into Settings; a separator that does not map, or a locale that cannot
// be made, leaves Settings' value. Never changes the process's C locale.
void ReadLocaleSeparators(TFormatSettings& Settings);

// --- the whole run
// --------------------------------------------------------------------------------

struct TRowBenchRun {
  // Where the phase lines go; empty writes no log.
  std::string LogFileName;
  // Where the saved stream is written; empty writes no file.
  std::string DataFileName = "test.dat";
  int32_t RowCount = RowBenchRowCount;
  // Out: the milliseconds of each phase that ran, by the tick counter as the log has them, and
  // the same phases by the steady clock in seconds, for timings finer than a tick.
  std::array<uint32_t, RowBenchPhaseCount> Milliseconds{};
  std::array<double, RowBenchPhaseCount> Seconds{};
  // Out, when set: the bytes of the saved table stream.
  std::vector<uint8_t>* StreamImage = nullptr;
};

// The program's phases, from making the table to loading it back. The table and the stream are
// freed on every path; a failure propagates after that, with the lines of the phases that ended
// already in the log.
void RunRowBench(TRowBenchRun& Run);

// The program's main once its release is chosen: the log beside the program, component
// start-up, RunRowBench, shutdown. Returns the exit status: 0 when every phase ran, otherwise 1
// after writing ProgramName, ": " and the reason to stderr.
int RowBenchMain(int Argc, char** Argv, std::string_view ProgramName);

// The main of rowbench-phases ([runs], default 10): the phases timed repeatedly beside their
// floors, printed as a table headed with the active release.
int RowBenchPhasesMain(int Argc, char** Argv, std::string_view ProgramName);

} // namespace tolvan::bench
