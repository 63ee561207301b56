#include "classlib/FloatText.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

namespace tolvan {

namespace {

// ---------------------------------------------------------------------------------------------
// Reading number text

// The parts of a text in the StrToFloat syntax. The digit runs point into the caller's text.
struct TNumberText {
  bool Negative = false;
  std::string_view IntDigits;
  std::string_view FracDigits;
  int64_t Exponent = 0; // saturated far beyond any meaningful value
};

bool IsDigit(char C) { return C >= '0' && C <= '9'; }

std::string_view DigitRun(std::string_view S, size_t& I) {
  size_t Start = I;
  while (I < S.size() && IsDigit(S[I]))
    ++I;
  return S.substr(Start, I - Start);
}

bool ScanNumber(std::string_view S, char DecimalSeparator, TNumberText& N) {
  size_t First = 0, Last = S.size();
  while (First < Last && S[First] == ' ')
    ++First;
  while (Last > First && S[Last - 1] == ' ')
    --Last;
  S = S.substr(First, Last - First);
  size_t I = 0;
  if (I < S.size() && (S[I] == '+' || S[I] == '-')) {
    N.Negative = S[I] == '-';
    ++I;
  }
  N.IntDigits = DigitRun(S, I);
  if (I < S.size() && S[I] == DecimalSeparator && DecimalSeparator != '\0') {
    ++I;
    N.FracDigits = DigitRun(S, I);
  }
  if (N.IntDigits.empty() && N.FracDigits.empty())
    return false;
  if (I < S.size() && (S[I] == 'E' || S[I] == 'e')) {
    ++I;
    bool NegExp = false;
    if (I < S.size() && (S[I] == '+' || S[I] == '-')) {
      NegExp = S[I] == '-';
      ++I;
    }
    std::string_view Exp = DigitRun(S, I);
    if (Exp.empty())
      return false;
    int64_t E = 0;
    for (char C : Exp)
      E = E < 1000000000 ? E * 10 + (C - '0') : E;
    N.Exponent = NegExp ? -E : E;
  }
  return I == S.size();
}

// The power of ten just above the magnitude of a non-zero N (value < 10^result), or INT64_MIN
// when every digit is zero.
int64_t MagnitudeOf(const TNumberText& N) {
  size_t I = N.IntDigits.find_first_not_of('0');
  if (I != std::string_view::npos)
    return static_cast<int64_t>(N.IntDigits.size() - I) + N.Exponent;
  size_t F = N.FracDigits.find_first_not_of('0');
  if (F != std::string_view::npos)
    return -static_cast<int64_t>(F) + N.Exponent;
  return INT64_MIN;
}

template <class T> bool ParseFloat(std::string_view S, T& Value, const TFormatSettings& FS) {
  TNumberText N;
  if (!ScanNumber(S, FS.DecimalSeparator, N))
    return false;
  // from_chars wants "ddd.ddde[-]x"; the exponent is clamped to where the outcome no longer
  // changes, so it always fits.
  const int64_t Limit = static_cast<int64_t>(S.size()) + 100000;
  int64_t Exp = N.Exponent > Limit ? Limit : N.Exponent < -Limit ? -Limit : N.Exponent;
  char Small[128];
  std::string Large;
  size_t Need = N.IntDigits.size() + N.FracDigits.size() + 32;
  char* Buf = Small;
  if (Need > sizeof Small) {
    Large.resize(Need);
    Buf = Large.data();
  }
  char* P = Buf;
  if (N.Negative)
    *P++ = '-';
  if (N.IntDigits.empty())
    *P++ = '0';
  P = std::copy(N.IntDigits.begin(), N.IntDigits.end(), P);
  if (!N.FracDigits.empty()) {
    *P++ = '.';
    P = std::copy(N.FracDigits.begin(), N.FracDigits.end(), P);
  }
  *P++ = 'e';
  P = std::to_chars(P, Buf + Need, Exp).ptr;
  T V{};
  auto R = std::from_chars(Buf, P, V);
  if (R.ec == std::errc::result_out_of_range) {
    if (MagnitudeOf(N) > 0)
      return false; // overflow
    V = N.Negative ? -T(0) : T(0);
  } else if (R.ec != std::errc() || R.ptr != P) {
    return false;
  }
  Value = V;
  return true;
}

[[noreturn]] void InvalidFloat(std::string_view S) {
  throw EConvertError(Format(SysConst::SInvalidFloat, S));
}

// ---------------------------------------------------------------------------------------------
// Currency arithmetic

constexpr uint64_t MaxCurrencyMagnitude = uint64_t(1) << 63; // the magnitude of the minimum

// Mag with its sign as a Currency, when it fits.
bool SignedCurrency(bool Negative, uint64_t Mag, Currency& Result) {
  if (Mag > MaxCurrencyMagnitude - (Negative ? 0 : 1))
    return false;
  Result.Scaled = Negative ? static_cast<int64_t>(uint64_t(0) - Mag) : static_cast<int64_t>(Mag);
  return true;
}

uint64_t Magnitude(int64_t V) {
  return V < 0 ? uint64_t(0) - static_cast<uint64_t>(V) : static_cast<uint64_t>(V);
}

// The integer and the four decimal digits of a currency magnitude, decimals trimmed of
// trailing zeros; exact.
std::string CurrencyText(Currency Value, char Separator) {
  uint64_t Mag = Magnitude(Value.Scaled);
  char Buf[48];
  char* P = Buf;
  if (Value.Scaled < 0)
    *P++ = '-';
  P = std::to_chars(P, Buf + sizeof Buf, Mag / Currency::Factor).ptr;
  unsigned Frac = static_cast<unsigned>(Mag % Currency::Factor);
  if (Frac != 0) {
    *P++ = Separator;
    char D[4];
    for (int I = 3; I >= 0; --I, Frac /= 10)
      D[I] = static_cast<char>('0' + Frac % 10);
    int N = 4;
    while (D[N - 1] == '0')
      --N;
    P = std::copy(D, D + N, P);
  }
  return std::string(Buf, P);
}

// ---------------------------------------------------------------------------------------------
// Picture formats

// What one section of a picture format asks for.
struct TPicture {
  int IntPlaces = 0; // digit placeholders before the decimal point
  int MinInt = 0;    // integer digits always written (from the first '0' on)
  int DecPlaces = 0; // digit placeholders after the decimal point
  int MinDec = 0;    // decimals always written (up to the last '0')
  bool Thousands = false;
  bool Scientific = false;
  int ExpDigits = 0;
};

// The digits to write: integer part, decimals and, in scientific form, the exponent.
struct TDigits {
  std::string Int;
  std::string Frac;
  int Exp = 0;
  bool Zero = true;
};

constexpr int MaxSignificant = 18;

size_t SkipQuoted(std::string_view S, size_t I) {
  char Q = S[I];
  size_t End = S.find(Q, I + 1);
  return End == std::string_view::npos ? S.size() : End + 1;
}

bool IsExponentAt(std::string_view S, size_t I) {
  return (S[I] == 'E' || S[I] == 'e') && I + 1 < S.size() && (S[I + 1] == '+' || S[I + 1] == '-');
}

int SplitSections(std::string_view F, std::string_view (&Out)[3]) {
  int N = 0;
  size_t Start = 0, I = 0;
  while (I < F.size()) {
    if (F[I] == '"' || F[I] == '\'') {
      I = SkipQuoted(F, I);
    } else if (F[I] == ';') {
      Out[N++] = F.substr(Start, I - Start);
      Start = ++I;
      if (N == 2)
        break; // the third section runs to the end
    } else {
      ++I;
    }
  }
  Out[N++] = F.substr(Start);
  return N;
}

TPicture Analyze(std::string_view S) {
  TPicture P;
  bool Point = false;
  int FirstZero = -1;
  for (size_t I = 0; I < S.size();) {
    char C = S[I];
    if (C == '"' || C == '\'') {
      I = SkipQuoted(S, I);
      continue;
    }
    if (P.Scientific) {
      ++I;
      continue;
    }
    if (C == '0' || C == '#') {
      if (!Point) {
        if (C == '0' && FirstZero < 0)
          FirstZero = P.IntPlaces;
        ++P.IntPlaces;
      } else {
        ++P.DecPlaces;
        if (C == '0')
          P.MinDec = P.DecPlaces;
      }
    } else if (C == '.') {
      Point = true;
    } else if (C == ',') {
      P.Thousands = true;
    } else if (IsExponentAt(S, I)) {
      P.Scientific = true;
      I += 2;
      while (I < S.size() && S[I] == '0') {
        ++P.ExpDigits;
        ++I;
      }
      continue;
    }
    ++I;
  }
  P.MinInt = FirstZero < 0 ? 0 : P.IntPlaces - FirstZero;
  return P;
}

// The decimal exponent of A rounded to N significant digits, with those digits.
int ScientificDigits(long double A, int N, char* Digits) {
  char Buf[64];
  auto R = std::to_chars(Buf, Buf + sizeof Buf, A, std::chars_format::scientific, N - 1);
  int Count = 0;
  const char* P = Buf;
  for (; P < R.ptr && *P != 'e'; ++P)
    if (*P != '.')
      Digits[Count++] = *P;
  int Exp = 0;
  std::from_chars(P + 1 + (P[1] == '+' ? 1 : 0), R.ptr, Exp);
  return Exp;
}

void FinishDigits(const TPicture& P, TDigits& D) {
  if (static_cast<int>(D.Frac.size()) < P.DecPlaces)
    D.Frac.append(P.DecPlaces - D.Frac.size(), '0');
  while (static_cast<int>(D.Frac.size()) > P.MinDec && D.Frac.back() == '0')
    D.Frac.pop_back();
  D.Zero = D.Int.find_first_not_of('0') == std::string::npos &&
           D.Frac.find_first_not_of('0') == std::string::npos;
  if (P.MinInt == 0 && D.Int.find_first_not_of('0') == std::string::npos)
    D.Int.clear();
  if (static_cast<int>(D.Int.size()) < P.MinInt)
    D.Int.insert(0, P.MinInt - D.Int.size(), '0');
}

// Fixed form; false when the value needs more than 18 integer digits.
bool FixedDigits(long double A, const TPicture& P, TDigits& D) {
  int Decimals = P.DecPlaces;
  if (A != 0) {
    char Sig[MaxSignificant + 2];
    int E = ScientificDigits(A, MaxSignificant, Sig);
    if (E >= MaxSignificant)
      return false;
    if (Decimals > MaxSignificant - 1 - E)
      Decimals = MaxSignificant - 1 - E;
  }
  std::string Buf(static_cast<size_t>(Decimals) + 32, '\0');
  auto R =
      std::to_chars(Buf.data(), Buf.data() + Buf.size(), A, std::chars_format::fixed, Decimals);
  std::string_view Text(Buf.data(), R.ptr - Buf.data());
  size_t Dot = Text.find('.');
  D.Int.assign(Text.substr(0, Dot));
  D.Frac.assign(Dot == std::string_view::npos ? std::string_view() : Text.substr(Dot + 1));
  FinishDigits(P, D);
  return true;
}

void ScientificForm(long double A, const TPicture& P, TDigits& D) {
  int N = P.IntPlaces + P.DecPlaces;
  N = N < 1 ? 1 : N > MaxSignificant ? MaxSignificant : N;
  char Sig[MaxSignificant + 2];
  int E = ScientificDigits(A, N, Sig);
  int IntCount = P.IntPlaces;
  int Taken = IntCount < N ? IntCount : N;
  D.Int.assign(Sig, Taken);
  if (IntCount > Taken)
    D.Int.append(IntCount - Taken, '0');
  D.Frac.assign(Sig + Taken, N - Taken);
  D.Exp = A == 0 ? 0 : E - (IntCount - 1);
  FinishDigits(P, D);
}

// Writes the section S with the digits D.
void WriteSection(std::string_view S, const TPicture& P, const TDigits& D, bool Minus,
                  const TFormatSettings& FS, std::string& Out) {
  if (Minus)
    Out += '-';
  const int IntLen = static_cast<int>(D.Int.size());
  auto EmitInt = [&](int From, int To) {
    for (int K = From; K < To; ++K) {
      Out += D.Int[K];
      int FromRight = IntLen - 1 - K;
      if (P.Thousands && FromRight > 0 && FromRight % 3 == 0 && FS.ThousandSeparator != '\0')
        Out += FS.ThousandSeparator;
    }
  };
  int IntSeen = 0;
  size_t FracSeen = 0;
  bool Point = false, ExpDone = false;
  for (size_t I = 0; I < S.size();) {
    char C = S[I];
    if (C == '"' || C == '\'') {
      size_t Close = S.find(C, I + 1);
      if (Close == std::string_view::npos) {
        Out.append(S.substr(I + 1)); // an open quote runs to the end of the section
        break;
      }
      Out.append(S.substr(I + 1, Close - I - 1));
      I = Close + 1;
      continue;
    }
    if ((C == '0' || C == '#') && !ExpDone) {
      if (!Point) {
        ++IntSeen;
        if (IntSeen == 1 && IntLen > P.IntPlaces)
          EmitInt(0, IntLen - P.IntPlaces);
        int K = IntLen - (P.IntPlaces - IntSeen) - 1;
        if (K >= 0)
          EmitInt(K, K + 1);
      } else if (FracSeen < D.Frac.size()) {
        Out += D.Frac[FracSeen++];
      }
    } else if (C == '.' && !ExpDone) {
      if (!Point) {
        Point = true;
        if (P.IntPlaces == 0)
          EmitInt(0, IntLen);
        if (!D.Frac.empty())
          Out += FS.DecimalSeparator;
      }
    } else if (C == ',' && !ExpDone) {
      // only switches thousands separators on
    } else if (!ExpDone && P.Scientific && IsExponentAt(S, I)) {
      ExpDone = true;
      Out += C;
      bool Always = S[I + 1] == '+';
      I += 2;
      while (I < S.size() && S[I] == '0')
        ++I;
      if (D.Exp < 0)
        Out += '-';
      else if (Always)
        Out += '+';
      char Buf[16];
      auto R = std::to_chars(Buf, Buf + sizeof Buf, D.Exp < 0 ? -D.Exp : D.Exp);
      int Len = static_cast<int>(R.ptr - Buf);
      int MinDigits = P.ExpDigits > 4 ? 4 : P.ExpDigits;
      if (Len < MinDigits)
        Out.append(MinDigits - Len, '0');
      Out.append(Buf, R.ptr);
      continue;
    } else if (ExpDone && (C == '0' || C == '#' || C == '.' || C == ',')) {
      // placeholders after the exponent write nothing
    } else {
      Out += C;
    }
    ++I;
  }
}

bool MakeDigits(long double A, const TPicture& P, TDigits& D) {
  if (P.Scientific) {
    ScientificForm(A, P, D);
    return true;
  }
  return FixedDigits(A, P, D);
}

} // namespace

// ---------------------------------------------------------------------------------------------

std::string FloatToStr(long double Value, const TFormatSettings& Settings) {
  return FloatToStrF(Value, TFloatFormat::ffGeneral, 15, 0, Settings);
}

std::string FloatToStr(long double Value) { return FloatToStr(Value, FormatSettings()); }

bool TryStrToFloat(std::string_view S, long double& Value, const TFormatSettings& Settings) {
  return ParseFloat(S, Value, Settings);
}
bool TryStrToFloat(std::string_view S, double& Value, const TFormatSettings& Settings) {
  return ParseFloat(S, Value, Settings);
}
bool TryStrToFloat(std::string_view S, float& Value, const TFormatSettings& Settings) {
  return ParseFloat(S, Value, Settings);
}
bool TryStrToFloat(std::string_view S, long double& Value) {
  return ParseFloat(S, Value, FormatSettings());
}
bool TryStrToFloat(std::string_view S, double& Value) {
  return ParseFloat(S, Value, FormatSettings());
}
bool TryStrToFloat(std::string_view S, float& Value) {
  return ParseFloat(S, Value, FormatSettings());
}

long double StrToFloat(std::string_view S, const TFormatSettings& Settings) {
  long double V;
  if (!ParseFloat(S, V, Settings))
    InvalidFloat(S);
  return V;
}

long double StrToFloat(std::string_view S) { return StrToFloat(S, FormatSettings()); }

long double StrToFloatDef(std::string_view S, long double Default,
                          const TFormatSettings& Settings) {
  long double V;
  return ParseFloat(S, V, Settings) ? V : Default;
}

long double StrToFloatDef(std::string_view S, long double Default) {
  return StrToFloatDef(S, Default, FormatSettings());
}

std::string FormatFloat(std::string_view Fmt, long double Value, const TFormatSettings& Settings) {
  if (Fmt.empty() || !std::isfinite(Value))
    return FloatToStr(Value, Settings);
  std::string_view Sections[3];
  int Count = SplitSections(Fmt, Sections);
  bool Negative = Value < 0;
  long double A = std::fabs(Value);
  int Chosen = Negative && Count >= 2 && !Sections[1].empty() ? 1 : 0;
  TPicture P = Analyze(Sections[Chosen]);
  TDigits D;
  if (!MakeDigits(A, P, D))
    return FloatToStr(Value, Settings);
  if (D.Zero && Count >= 3 && !Sections[2].empty()) {
    Chosen = 2;
    P = Analyze(Sections[2]);
    D = TDigits();
    MakeDigits(0, P, D);
  }
  std::string Out;
  Out.reserve(Sections[Chosen].size() + D.Int.size() + D.Frac.size() + 8);
  WriteSection(Sections[Chosen], P, D, Negative && Chosen == 0 && !D.Zero, Settings, Out);
  return Out;
}

std::string FormatFloat(std::string_view Fmt, long double Value) {
  return FormatFloat(Fmt, Value, FormatSettings());
}

// ---------------------------------------------------------------------------------------------

double Currency::ToDouble() const {
  constexpr int64_t Exact = int64_t(1) << 53;
  if (Scaled > -Exact && Scaled < Exact)
    return static_cast<double>(Scaled) / Factor; // both operands exact: one rounding
  std::string Text = CurrencyText(*this, '.');
  double V = 0;
  std::from_chars(Text.data(), Text.data() + Text.size(), V);
  return V;
}

bool TryFloatToCurr(long double Value, Currency& Result) {
  if (!std::isfinite(Value))
    return false;
  long double X = Value * Currency::Factor;
  long double T = std::trunc(X);
  long double Diff = std::fabs(X - T);
  if (Diff > 0.5L || (Diff == 0.5L && std::fmod(T, 2.0L) != 0))
    T += X < 0 ? -1 : 1;
  if (T < -9223372036854775808.0L || T >= 9223372036854775808.0L)
    return false;
  Result.Scaled = static_cast<int64_t>(T);
  return true;
}

Currency FloatToCurr(long double Value) {
  Currency C;
  if (!TryFloatToCurr(Value, C))
    throw EConvertError(Format(SysConst::SCurrencyRange, FloatToStr(Value)));
  return C;
}

std::string CurrToStr(Currency Value, const TFormatSettings& Settings) {
  return CurrencyText(Value, Settings.DecimalSeparator);
}

std::string CurrToStr(Currency Value) { return CurrToStr(Value, FormatSettings()); }

std::string CurrToStrF(Currency Value, TFloatFormat Fmt, int Digits,
                       const TFormatSettings& Settings) {
  if (Fmt == TFloatFormat::ffGeneral)
    return CurrToStr(Value, Settings);
  if (Fmt == TFloatFormat::ffExponent)
    return FloatToStrF(Value.ToExtended(), Fmt,
                       Digits < 1    ? 1
                       : Digits > 19 ? 19
                                     : Digits,
                       0, Settings);
  Digits = Digits < 0 ? 0 : Digits > 18 ? 18 : Digits;
  uint64_t Mag = Magnitude(Value.Scaled);
  uint64_t Frac;
  if (Digits < 4) {
    uint64_t Div = 1;
    for (int I = Digits; I < 4; ++I)
      Div *= 10;
    uint64_t Q = Mag / Div, R = Mag % Div;
    if (R > Div / 2 || (R == Div / 2 && (Q & 1)))
      ++Q;
    uint64_t Unit = 1;
    for (int I = 0; I < Digits; ++I)
      Unit *= 10;
    Mag = Q / Unit; // now the integer part
    Frac = Q % Unit;
  } else {
    Frac = Mag % Currency::Factor;
    Mag /= Currency::Factor;
  }
  char IntBuf[24];
  auto R = std::to_chars(IntBuf, IntBuf + sizeof IntBuf, Mag);
  std::string_view Int(IntBuf, R.ptr - IntBuf);
  std::string Out;
  if (Value.Scaled < 0 && (Mag != 0 || Frac != 0))
    Out += '-';
  if (Fmt == TFloatFormat::ffNumber && Settings.ThousandSeparator != '\0') {
    for (size_t I = 0; I < Int.size(); ++I) {
      if (I > 0 && (Int.size() - I) % 3 == 0)
        Out += Settings.ThousandSeparator;
      Out += Int[I];
    }
  } else {
    Out.append(Int);
  }
  if (Digits > 0) {
    Out += Settings.DecimalSeparator;
    int FracDigits = Digits < 4 ? Digits : 4;
    char F[4];
    for (int I = FracDigits - 1; I >= 0; --I, Frac /= 10)
      F[I] = static_cast<char>('0' + Frac % 10);
    Out.append(F, FracDigits);
    if (Digits > 4)
      Out.append(Digits - 4, '0');
  }
  return Out;
}

std::string CurrToStrF(Currency Value, TFloatFormat Fmt, int Digits) {
  return CurrToStrF(Value, Fmt, Digits, FormatSettings());
}

bool TryStrToCurr(std::string_view S, Currency& Value, const TFormatSettings& Settings) {
  TNumberText N;
  if (!ScanNumber(S, Settings.DecimalSeparator, N))
    return false;
  // The digits D = IntDigits FracDigits stand for D x 10^(Exponent - |FracDigits|); the scaled
  // value keeps the first Kept digits of D, shifted by four decimals.
  const int64_t Total = static_cast<int64_t>(N.IntDigits.size() + N.FracDigits.size());
  auto Digit = [&](int64_t K) {
    return K < static_cast<int64_t>(N.IntDigits.size()) ? N.IntDigits[K]
                                                        : N.FracDigits[K - N.IntDigits.size()];
  };
  const int64_t Kept = Total + N.Exponent + 4 - static_cast<int64_t>(N.FracDigits.size());
  uint64_t Mag = 0;
  const uint64_t Max = UINT64_MAX / 10;
  for (int64_t K = 0; K < Kept && K < Total; ++K) {
    unsigned D = Digit(K) - '0';
    if (Mag > Max || Mag * 10 > UINT64_MAX - D)
      return false;
    Mag = Mag * 10 + D;
  }
  for (int64_t K = Total; K < Kept && Mag != 0; ++K) {
    if (Mag > Max)
      return false;
    Mag *= 10;
  }
  if (Kept >= 0 && Kept < Total) {
    char First = Digit(Kept);
    bool Up = First > '5';
    if (First == '5') {
      bool Rest = false;
      for (int64_t K = Kept + 1; K < Total && !Rest; ++K)
        Rest = Digit(K) != '0';
      Up = Rest || (Mag & 1);
    }
    if (Up && ++Mag == 0)
      return false;
  }
  return SignedCurrency(N.Negative, Mag, Value);
}

bool TryStrToCurr(std::string_view S, Currency& Value) {
  return TryStrToCurr(S, Value, FormatSettings());
}

Currency StrToCurr(std::string_view S, const TFormatSettings& Settings) {
  Currency C;
  if (!TryStrToCurr(S, C, Settings))
    throw EConvertError(Format(SysConst::SInvalidCurrency, S));
  return C;
}

Currency StrToCurr(std::string_view S) { return StrToCurr(S, FormatSettings()); }

} // namespace tolvan
