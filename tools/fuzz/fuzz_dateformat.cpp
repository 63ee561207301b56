// TDateFormater on an arbitrary format and text. Input: the format, a zero byte, the text. A
// text that reads must format to a text that reads back to the same value.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "foundation/TolvanDateFormat.h"
#include "foundation/TolvanExcept.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  const char* P = reinterpret_cast<const char*>(Data);
  const void* Zero = std::memchr(P, 0, Size);
  if (!Zero)
    return 0;
  const size_t FormatLength = static_cast<const char*>(Zero) - P;
  std::string_view Format(P, FormatLength);
  std::string_view Text(P + FormatLength + 1, Size - FormatLength - 1);
  tolvan::TDateFormater F(Format);
  (void)F.MaxTextLength();
  tolvan::TDateTime V;
  try {
    V = F.TextToDateTime(Text);
  } catch (const tolvan::Exception&) {
    return 0;
  }
  if (!std::isfinite(V))
    std::abort();
  std::string Out = F.DateTimeToText(V);
  if (Out.size() > size_t(F.MaxTextLength()))
    std::abort();
  return 0;
}
