#include "foundation/TolvanStrUtils.h"

#include "classlib/Collation.h"
#include "foundation/TolvanCompression.h"

namespace tolvan {

namespace {

// Greedy matching with a return to the last "%": when a later literal part fails, the last "%"
// takes one more character and the rest is tried again. Earlier "%"s never need to move, so the
// work is bounded by text length x pattern length.
template <class Ch, class Eq>
bool Like(std::basic_string_view<Ch> T, std::basic_string_view<Ch> P, Eq Equal) {
  size_t Ti = 0, Pi = 0;
  size_t Star = std::basic_string_view<Ch>::npos, Mark = 0;
  while (Ti < T.size()) {
    if (Pi < P.size() && P[Pi] == Ch('%')) {
      Star = Pi++;
      Mark = Ti;
    } else if (Pi < P.size() && (P[Pi] == Ch('_') || Equal(P[Pi], T[Ti]))) {
      ++Pi;
      ++Ti;
    } else if (Star != std::basic_string_view<Ch>::npos) {
      Pi = Star + 1;
      Ti = ++Mark;
    } else {
      return false;
    }
  }
  while (Pi < P.size() && P[Pi] == Ch('%'))
    ++Pi;
  return Pi == P.size();
}

} // namespace

bool MatchLike(std::string_view Text, std::string_view Pattern, bool IgnoreCase) {
  if (IgnoreCase)
    return Like(Text, Pattern, [](char A, char B) { return A == B || AnsiCharsEqualIgnoreCase(A, B); });
  return Like(Text, Pattern, [](char A, char B) { return A == B; });
}

bool MatchLikeWide(std::u16string_view Text, std::u16string_view Pattern, bool IgnoreCase) {
  if (IgnoreCase)
    return Like(Text, Pattern,
                [](char16_t A, char16_t B) { return A == B || WideCharsEqualIgnoreCase(A, B); });
  return Like(Text, Pattern, [](char16_t A, char16_t B) { return A == B; });
}

uint32_t NameHash(std::string_view Name) {
  if (Name.empty())
    return 0;
  AnsiString Upper = AnsiUpperCase(Name);
  return UpdateCrc32(0, Upper.data(), static_cast<int64_t>(Upper.size()));
}

WideString WideUpperCaseText(std::u16string_view Text) { return WideUpperCase(Text); }
WideString WideLowerCaseText(std::u16string_view Text) { return WideLowerCase(Text); }

} // namespace tolvan
