// Collation.h: the engine's text order.
//
// Index pages store keys in this order, so it must be the same on every run, version and
// machine: it depends on fixed tables only, never on the process locale. Texts compare on four
// levels, each consulted only where all earlier levels tie over the whole texts:
//   1. the base letters: blanks and controls < punctuation and symbols < digits < letters,
//      letters by their base letter without diacritic or case (e, E, é and É tie here);
//      a text that is a prefix of the other at this level sorts first;
//   2. the case-folded characters (so E < É);
//   3. case: lower case before upper case (abc < ABC < abd);
//   4. the code units themselves.
// Ignoring case stops after level 2: two texts are then equal exactly when their case-folded
// forms are equal. The order is a strict weak order in both modes. Narrow text is read as
// Windows-1252 and ordered like the same text in UTF-16.
//
// Threads: pure functions over tables built before main.
#pragma once

#include <cstdint>
#include <string_view>

#include "classlib/Strings.h"

namespace tolvan {

// Negative, zero or positive as A sorts before, with or after B.
int CompareAnsi(std::string_view A, std::string_view B, bool IgnoreCase);
int CompareWide(std::u16string_view A, std::u16string_view B, bool IgnoreCase);

inline int AnsiCompareStr(std::string_view A, std::string_view B) { return CompareAnsi(A, B, false); }
inline int AnsiCompareText(std::string_view A, std::string_view B) { return CompareAnsi(A, B, true); }
inline int WideCompareStr(std::u16string_view A, std::u16string_view B) { return CompareWide(A, B, false); }
inline int WideCompareText(std::u16string_view A, std::u16string_view B) { return CompareWide(A, B, true); }

// Single characters equal under the collation ignoring case (their folded forms are equal).
bool AnsiCharsEqualIgnoreCase(char A, char B);
bool WideCharsEqualIgnoreCase(char16_t A, char16_t B);

namespace detail {
struct TCollationRun {
  uint16_t Start;
  uint8_t Group;
};
} // namespace detail

} // namespace tolvan
