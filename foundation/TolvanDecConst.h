// TolvanDecConst.h: the message texts of the text formats (TolvanDecUtil.h).
//
// The text formats raise EStringFormat with these texts, not ETolvanException; callers that
// need an engine error wrap them. Texts are byte-exact, grammar included: users and tests match
// on them.
//
// Threads: constant data.
#pragma once

#include <string_view>

namespace tolvan {

// %d: the format id asked for.
inline constexpr std::string_view SStringFormatNotExists = "String Format \"%d\" not exists.";
// %s: the display name of the format.
inline constexpr std::string_view SStringFormatCannotEncode =
    "Input can not be convert to %s Format.";
// %s: the display name of the format.
inline constexpr std::string_view SStringFormatInvalidInput = "Input is not an valid %s Format.";

} // namespace tolvan
