// TolvanStrUtils.h: LIKE matching, name hashing and wide case conversion.
//
// LIKE patterns use "%" for any run of characters (also an empty one) and "_" for exactly one
// character (one byte of narrow text, one UTF-16 unit of wide text); there is no escape
// character. Ignoring case, two characters match when the engine's collation folds them to the
// same character. Matching takes time proportional to text length x pattern length at worst.
//
// Threads: pure functions.
#pragma once

#include <cstdint>
#include <string_view>

#include "classlib/Strings.h"

namespace tolvan {

bool MatchLike(std::string_view Text, std::string_view Pattern, bool IgnoreCase);
bool MatchLikeWide(std::u16string_view Text, std::u16string_view Pattern, bool IgnoreCase);

// The case-blind hash of a name: 0 for an empty name, otherwise UpdateCrc32 from 0 over the
// name's upper-case form. Names are compared by this hash first and by their text second.
uint32_t NameHash(std::string_view Name);

WideString WideUpperCaseText(std::u16string_view Text);
WideString WideLowerCaseText(std::u16string_view Text);

} // namespace tolvan
