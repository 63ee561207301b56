// Strings.h: the engine's two string kinds, the conversion between them and case mapping.
//
// AnsiString holds single-byte characters of code page Windows-1252; WideString holds UTF-16
// code units. Narrow text passes through the engine byte for byte: only the conversions here
// interpret it. A UTF-16 unit that Windows-1252 cannot show becomes '?'.
//
// Case mapping is fixed and locale-free: narrow text through a 256-entry Windows-1252 table,
// wide text through simple one-unit-to-one-unit mappings, so lengths never change. The ASCII
// routines (UpperCase, LowerCase) touch 'a'..'z' / 'A'..'Z' only.
//
// Threads: all functions are pure; the tables are built before main and never change.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tolvan {

using AnsiString = std::string;
using WideString = std::u16string;

// Windows-1252 <-> UTF-16.
char16_t AnsiCharToWide(unsigned char C);
char WideCharToAnsi(char16_t C); // '?' where the code page has no such character
WideString AnsiToWide(std::string_view S);
AnsiString WideToAnsi(std::u16string_view S);

// UTF-16 <-> UTF-8 (for file names and other text leaving the process). Unpaired surrogates
// become U+FFFD; malformed UTF-8 sequences become U+FFFD.
std::string WideToUtf8(std::u16string_view S);
WideString Utf8ToWide(std::string_view S);

// Narrow case mapping over Windows-1252.
char AnsiUpperChar(char C);
char AnsiLowerChar(char C);
AnsiString AnsiUpperCase(std::string_view S);
AnsiString AnsiLowerCase(std::string_view S);
// ASCII-only case mapping.
AnsiString UpperCase(std::string_view S);
AnsiString LowerCase(std::string_view S);

// Wide case mapping, one code unit to one code unit.
char16_t WideUpperChar(char16_t C);
char16_t WideLowerChar(char16_t C);
WideString WideUpperCase(std::u16string_view S);
WideString WideLowerCase(std::u16string_view S);

// Case-insensitive equality in the narrow and wide mappings above.
bool AnsiSameText(std::string_view A, std::string_view B);
bool SameText(std::string_view A, std::string_view B); // ASCII folding only
bool WideSameText(std::u16string_view A, std::u16string_view B);

namespace detail {
struct TWideCasePair {
  uint16_t From;
  uint16_t To;
};
} // namespace detail

} // namespace tolvan
