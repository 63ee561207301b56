// RowBenchChecks.h: what a loaded rowbench table must hold, for the end-to-end tests of both
// benchmark programs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "classlib/SysUtils.h"

namespace tolvan {
class TTolvanTable;
}

namespace tolvan::test {

// The first row's generated values, which depend on the draws made before it.
struct TRowBenchFirstRow {
  const char* Texts[5]; // str1 .. str5
  int64_t M1Scaled;     // currency in ten-thousandths
  int64_t M2Scaled;
};

// Count bytes of Bytes from From as upper-case hex pairs separated by blanks.
std::string Hex(const std::string& Bytes, size_t From, size_t Count);
// The CR LF-terminated lines of a log, each with its CR LF.
std::vector<std::string> SplitLines(const std::string& Text);

// Checks, with GoogleTest assertions, the loaded (closed) table "test": its 15 columns with their
// NOT NULL flags, its 5 indexes, 20 000 rows in id order with i in every integer column,
// "Test_" texts, date-times between RunStart and RunEnd, and the first row as given. Leaves the
// table closed.
void CheckRowBenchTable(TTolvanTable& Table, TDateTime RunStart, TDateTime RunEnd,
                        const TRowBenchFirstRow& First);

} // namespace tolvan::test
