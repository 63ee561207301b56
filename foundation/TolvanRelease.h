// TolvanRelease.h: which engine release the process behaves as.
//
// The same libraries serve release 4.00 (the default) and release 3.90. A program picks its
// release once in main, before the components start; afterwards it is fixed. Every behaviour
// that differs between the releases is read from the active profile here (the data) or reached
// through it (the 3.90 variants of operations). No other code compares release numbers.
//
// Threads: SelectRelease must run before any other thread uses the engine; Release() may be
// read from any thread afterwards. Tests may switch the release between cases.
#pragma once

#include <cstdint>

namespace tolvan {

enum class TTolvanReleaseId : uint8_t { tr400, tr390 };

struct TTolvanReleaseProfile {
  TTolvanReleaseId Id;
  const char* Name;
  // Number of reserved words of the SQL tokenizer; also the no-keyword id of a token that is
  // not a reserved word and, as an argument of the keyword test, "any keyword".
  int16_t KeywordCount;
  // A token's line is the number of its statement in the script (counted from 1, empty
  // statements included) instead of its line within the statement.
  bool TokenLineIsStatementNumber;
  // A comparison with NULL or '' stays a comparison instead of becoming IS [NOT] NULL.
  bool ComparisonKeepsNullOperand;
  // LASTAUTOINC names only a table and a column, never a database.
  bool LastAutoIncWithoutDatabase;
  // The version a table stream is written with, and the highest version a load accepts.
  double TableStreamVersion;
  double TableStreamMaxVersion;
  // The engine's version number as the components report it (GetEngineVersion).
  double EngineVersion;
};

const TTolvanReleaseProfile& Release();
void SelectRelease(TTolvanReleaseId Id);

// The no-keyword id of the active release (292 in 4.00, 288 in 3.90).
inline int16_t NoKeywordId() { return Release().KeywordCount; }

} // namespace tolvan
