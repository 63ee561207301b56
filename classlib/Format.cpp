#include "classlib/Format.h"

#include <charconv>
#include <cmath>
#include <cstring>

#include "classlib/Strings.h"

namespace tolvan {

namespace {

// The digits of |Value| rounded to Precision significant digits, and the decimal exponent of
// the first one (Value = 0.d1d2d3... x 10^(Exp+1)). Precision is 1..40.
struct TDecimal {
  char Digits[48];
  int Count;
  int Exp;
  bool Negative;
};

TDecimal ToDecimal(long double Value, int Precision) {
  TDecimal D{};
  D.Negative = std::signbit(Value);
  long double A = std::fabs(Value);
  if (A == 0) {
    D.Digits[0] = '0';
    D.Count = 1;
    D.Exp = 0;
    return D;
  }
  char Buf[96];
  auto R = std::to_chars(Buf, Buf + sizeof Buf, A, std::chars_format::scientific, Precision - 1);
  // Buf holds "d[.ddd]e[+-]xx"
  const char* P = Buf;
  D.Count = 0;
  while (P < R.ptr && *P != 'e') {
    if (*P != '.')
      D.Digits[D.Count++] = *P;
    ++P;
  }
  int Exp = 0;
  std::from_chars(P + 1 + (P[1] == '+' ? 1 : 0), R.ptr, Exp);
  D.Exp = Exp;
  while (D.Count > 1 && D.Digits[D.Count - 1] == '0')
    --D.Count;
  return D;
}

std::string ExponentText(int Exp, int MinDigits, bool AlwaysSign) {
  std::string S = "E";
  if (Exp < 0)
    S += '-';
  else if (AlwaysSign)
    S += '+';
  std::string N = std::to_string(Exp < 0 ? -Exp : Exp);
  if (static_cast<int>(N.size()) < MinDigits)
    S.append(MinDigits - N.size(), '0');
  return S + N;
}

std::string FixedText(long double Value, int Decimals, bool Thousands, const TFormatSettings& FS) {
  if (Decimals < 0)
    Decimals = 0;
  if (Decimals > 18)
    Decimals = 18;
  char Buf[5000];
  auto R = std::to_chars(Buf, Buf + sizeof Buf, std::fabs(Value), std::chars_format::fixed, Decimals);
  std::string_view Text(Buf, R.ptr - Buf);
  size_t Dot = Text.find('.');
  std::string_view Int = Text.substr(0, Dot);
  std::string_view Frac = Dot == std::string_view::npos ? std::string_view() : Text.substr(Dot + 1);
  bool AllZero = Text.find_first_not_of("0.") == std::string_view::npos;
  std::string S;
  if (std::signbit(Value) && !AllZero)
    S += '-';
  if (Thousands && FS.ThousandSeparator != '\0') {
    for (size_t I = 0; I < Int.size(); ++I) {
      if (I > 0 && (Int.size() - I) % 3 == 0)
        S += FS.ThousandSeparator;
      S += Int[I];
    }
  } else {
    S.append(Int);
  }
  if (!Frac.empty()) {
    S += FS.DecimalSeparator;
    S.append(Frac);
  }
  return S;
}

} // namespace

std::string FloatToStrF(long double Value, TFloatFormat Format, int Precision, int Digits,
                        const TFormatSettings& Settings) {
  if (std::isnan(Value))
    return "NAN";
  if (std::isinf(Value))
    return Value < 0 ? "-INF" : "INF";
  if (Precision < 1)
    Precision = 1;
  if (Precision > 40)
    Precision = 40;
  switch (Format) {
  case TFloatFormat::ffFixed:
    return FixedText(Value, Digits, false, Settings);
  case TFloatFormat::ffNumber:
    return FixedText(Value, Digits, true, Settings);
  case TFloatFormat::ffExponent: {
    TDecimal D = ToDecimal(Value, Precision);
    std::string S = D.Negative && !(D.Count == 1 && D.Digits[0] == '0') ? "-" : "";
    S += D.Digits[0];
    S += Settings.DecimalSeparator;
    for (int I = 1; I < Precision; ++I)
      S += I < D.Count ? D.Digits[I] : '0';
    return S + ExponentText(D.Exp, Digits, true);
  }
  case TFloatFormat::ffGeneral:
  default: {
    TDecimal D = ToDecimal(Value, Precision);
    bool Zero = D.Count == 1 && D.Digits[0] == '0';
    std::string S = D.Negative && !Zero ? "-" : "";
    if (Zero)
      return "0";
    if (D.Exp >= Precision || D.Exp < -5) {
      S += D.Digits[0];
      if (D.Count > 1) {
        S += Settings.DecimalSeparator;
        S.append(D.Digits + 1, D.Count - 1);
      }
      return S + ExponentText(D.Exp, Digits, false);
    }
    if (D.Exp < 0) {
      S += '0';
      S += Settings.DecimalSeparator;
      S.append(-D.Exp - 1, '0');
      S.append(D.Digits, D.Count);
      return S;
    }
    for (int I = 0; I <= D.Exp; ++I)
      S += I < D.Count ? D.Digits[I] : '0';
    if (D.Count > D.Exp + 1) {
      S += Settings.DecimalSeparator;
      S.append(D.Digits + D.Exp + 1, D.Count - D.Exp - 1);
    }
    return S;
  }
  }
}

namespace {

[[noreturn]] void InvalidFormat(std::string_view Fmt) {
  const TVarRec A[] = {Fmt};
  throw EConvertError(FormatArgs(SysConst::SInvalidFormat, A));
}

std::string UnsignedText(uint64_t V, int Base) {
  char Buf[32];
  auto R = std::to_chars(Buf, Buf + sizeof Buf, V, Base);
  std::string S(Buf, R.ptr);
  if (Base == 16)
    for (char& C : S)
      if (C >= 'a' && C <= 'f')
        C = static_cast<char>(C - 32);
  return S;
}

std::string PadDigits(std::string Digits, int Precision) {
  if (Precision > 0 && static_cast<int>(Digits.size()) < Precision)
    Digits.insert(0, Precision - Digits.size(), '0');
  return Digits;
}

// Reads one specifier after the '%' at Fmt[Pos] and returns its text; advances Pos and ArgNo.
std::string OneSpec(std::string_view Fmt, size_t& Pos, std::span<const TVarRec> Args, size_t& ArgNo,
                    const TFormatSettings& FS) {
  size_t Start = Pos - 1;
  auto Next = [&]() -> const TVarRec& {
    if (ArgNo >= Args.size())
    {
      const TVarRec A[] = {Fmt.substr(Start, Pos - Start)};
      throw EConvertError(FormatArgs(SysConst::SArgumentMissing, A));
    }
    return Args[ArgNo++];
  };
  auto ReadNumber = [&](int& Out) -> bool {
    if (Pos < Fmt.size() && Fmt[Pos] == '*') {
      ++Pos;
      const TVarRec& A = Next();
      if (A.Kind != TVarRec::vtInteger || A.VInteger < 0 || A.VInteger > 100000)
        InvalidFormat(Fmt);
      Out = A.VInteger;
      return true;
    }
    bool Any = false;
    int64_t V = 0;
    while (Pos < Fmt.size() && Fmt[Pos] >= '0' && Fmt[Pos] <= '9') {
      V = V * 10 + (Fmt[Pos] - '0');
      if (V > 100000)
        InvalidFormat(Fmt);
      Any = true;
      ++Pos;
    }
    if (Any)
      Out = static_cast<int>(V);
    return Any;
  };

  int Width = -1, Precision = -1;
  bool Left = false;
  // [index ":"]
  {
    size_t Save = Pos;
    int Index;
    bool Digits = Pos < Fmt.size() && Fmt[Pos] >= '0' && Fmt[Pos] <= '9';
    if (Digits && ReadNumber(Index) && Pos < Fmt.size() && Fmt[Pos] == ':') {
      ++Pos;
      if (Index < 0)
        InvalidFormat(Fmt);
      ArgNo = static_cast<size_t>(Index);
    } else {
      Pos = Save;
    }
  }
  if (Pos < Fmt.size() && Fmt[Pos] == '-') {
    Left = true;
    ++Pos;
  }
  ReadNumber(Width);
  if (Pos < Fmt.size() && Fmt[Pos] == '.') {
    ++Pos;
    if (!ReadNumber(Precision))
      Precision = 0;
  }
  if (Pos >= Fmt.size())
    InvalidFormat(Fmt);
  char Type = Fmt[Pos++];
  if (Type >= 'A' && Type <= 'Z')
    Type = static_cast<char>(Type + 32);

  std::string S;
  switch (Type) {
  case 'd':
  case 'u':
  case 'x': {
    const TVarRec& A = Next();
    bool Neg = false;
    uint64_t Mag;
    if (A.Kind == TVarRec::vtInteger) {
      if (Type == 'd') {
        Neg = A.VInteger < 0;
        Mag = Neg ? uint64_t(0) - static_cast<uint64_t>(static_cast<int64_t>(A.VInteger))
                  : static_cast<uint64_t>(A.VInteger);
      } else {
        Mag = static_cast<uint32_t>(A.VInteger);
      }
    } else if (A.Kind == TVarRec::vtInt64) {
      if (Type == 'd') {
        Neg = A.VInt64 < 0;
        Mag = Neg ? uint64_t(0) - static_cast<uint64_t>(A.VInt64) : static_cast<uint64_t>(A.VInt64);
      } else {
        Mag = static_cast<uint64_t>(A.VInt64);
      }
    } else if (A.Kind == TVarRec::vtUInt64) {
      Mag = A.VUInt64;
    } else {
      InvalidFormat(Fmt);
    }
    S = PadDigits(UnsignedText(Mag, Type == 'x' ? 16 : 10), Precision);
    if (Neg)
      S.insert(0, 1, '-');
    break;
  }
  case 'f':
  case 'e':
  case 'g':
  case 'n': {
    const TVarRec& A = Next();
    if (A.Kind != TVarRec::vtExtended)
      InvalidFormat(Fmt);
    if (Type == 'f')
      S = FloatToStrF(A.VExtended, TFloatFormat::ffFixed, 18, Precision < 0 ? 6 : Precision, FS);
    else if (Type == 'n')
      S = FloatToStrF(A.VExtended, TFloatFormat::ffNumber, 18, Precision < 0 ? 2 : Precision, FS);
    else if (Type == 'e')
      S = FloatToStrF(A.VExtended, TFloatFormat::ffExponent, Precision < 0 ? 15 : Precision, 3, FS);
    else
      S = FloatToStrF(A.VExtended, TFloatFormat::ffGeneral, Precision <= 0 ? 15 : Precision, 0, FS);
    break;
  }
  case 's': {
    const TVarRec& A = Next();
    switch (A.Kind) {
    case TVarRec::vtString:
      S.assign(A.VString);
      break;
    case TVarRec::vtWideString:
      S = WideToAnsi(A.VWideString);
      break;
    case TVarRec::vtChar:
      S.assign(1, A.VChar);
      break;
    case TVarRec::vtWideChar:
      S.assign(1, WideCharToAnsi(A.VWideChar));
      break;
    default:
      InvalidFormat(Fmt);
    }
    if (Precision >= 0 && static_cast<size_t>(Precision) < S.size())
      S.resize(Precision);
    break;
  }
  case 'p': {
    const TVarRec& A = Next();
    if (A.Kind != TVarRec::vtPointer)
      InvalidFormat(Fmt);
    S = PadDigits(UnsignedText(reinterpret_cast<uintptr_t>(A.VPointer), 16), sizeof(void*) * 2);
    break;
  }
  default:
    InvalidFormat(Fmt);
  }
  if (Width > 0 && static_cast<size_t>(Width) > S.size()) {
    if (Left)
      S.append(Width - S.size(), ' ');
    else
      S.insert(0, Width - S.size(), ' ');
  }
  return S;
}

} // namespace

std::string FormatArgs(std::string_view Fmt, std::span<const TVarRec> Args,
                       const TFormatSettings& Settings) {
  std::string Out;
  Out.reserve(Fmt.size() + 16);
  size_t ArgNo = 0;
  size_t Pos = 0;
  while (Pos < Fmt.size()) {
    size_t Pct = Fmt.find('%', Pos);
    if (Pct == std::string_view::npos) {
      Out.append(Fmt.substr(Pos));
      break;
    }
    Out.append(Fmt.substr(Pos, Pct - Pos));
    Pos = Pct + 1;
    if (Pos < Fmt.size() && Fmt[Pos] == '%') {
      Out += '%';
      ++Pos;
      continue;
    }
    Out += OneSpec(Fmt, Pos, Args, ArgNo, Settings);
  }
  return Out;
}

std::string FormatArgs(std::string_view Fmt, std::span<const TVarRec> Args) {
  return FormatArgs(Fmt, Args, FormatSettings());
}

} // namespace tolvan
