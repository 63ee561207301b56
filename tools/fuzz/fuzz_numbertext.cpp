// The class library's number and date text on arbitrary pictures, formats and texts. Input: 10
// bytes of an extended value, then the text. Every routine must give text or a clean refusal.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "classlib/DateUtils.h"
#include "classlib/FloatText.h"
#include "classlib/Format.h"

using namespace tolvan;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  if (Size < 10)
    return 0;
  long double X = 0;
  std::memcpy(&X, Data, 10);
  double D;
  std::memcpy(&D, Data + 2, 8);
  std::string_view Text(reinterpret_cast<const char*>(Data + 10), Size - 10);
  (void)FormatFloat(Text, X);
  (void)FormatFloat(Text, D);
  (void)FloatToStr(X);
  (void)FloatToStrF(X, TFloatFormat::ffExponent, Data[0] % 45, Data[1] % 6, FormatSettings());
  (void)FloatToStrF(X, TFloatFormat::ffNumber, 15, Data[1] % 25, FormatSettings());
  long double L;
  if (TryStrToFloat(Text, L)) {
    long double Back;
    if (!TryStrToFloat(FloatToStrF(L, TFloatFormat::ffGeneral, 21, 0, FormatSettings()), Back) ||
        !(Back == L || (std::isnan(Back) && std::isnan(L))))
      std::abort();
  }
  Currency C;
  if (TryStrToCurr(Text, C)) {
    Currency Back;
    if (!TryStrToCurr(CurrToStr(C), Back) || Back != C)
      std::abort();
    (void)CurrToStrF(C, TFloatFormat::ffNumber, Data[1] % 20);
    (void)CurrToStrF(C, TFloatFormat::ffExponent, Data[1] % 20);
  }
  if (TryFloatToCurr(X, C))
    (void)CurrToStr(C);
  try {
    (void)FormatDateTime(Text, D);
  } catch (const EConvertError&) {
  }
  TDateTime V;
  if (TryStrToDateTime(Text, V)) {
    int Y, M, Dd, H, N, S, Ms;
    if (!TryDecodeDateTime(V, Y, M, Dd, H, N, S, Ms))
      std::abort();
  }
  return 0;
}
