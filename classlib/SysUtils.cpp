#include "classlib/SysUtils.h"

#include <charconv>

#include "classlib/Format.h"

namespace tolvan {

TFormatSettings& FormatSettings() {
  static TFormatSettings Settings;
  return Settings;
}

std::string IntToStr(int32_t Value) { return std::to_string(Value); }
std::string IntToStr(int64_t Value) { return std::to_string(Value); }
std::string UIntToStr(uint64_t Value) { return std::to_string(Value); }

std::string IntToHex(int64_t Value, int Digits) {
  char Buf[24];
  auto R = std::to_chars(Buf, Buf + sizeof Buf, static_cast<uint64_t>(Value), 16);
  std::string S(Buf, R.ptr);
  for (char& C : S)
    if (C >= 'a' && C <= 'f')
      C = static_cast<char>(C - 32);
  if (Digits > 16)
    Digits = 16;
  if (static_cast<int>(S.size()) < Digits)
    S.insert(0, Digits - S.size(), '0');
  return S;
}

namespace {

// Reads [blanks][sign]("$" | "0x" | "x")?digits. Returns false on any other text. The value is
// the magnitude in Mag (up to 2^64 - 1) and the sign in Neg.
bool ParseInteger(std::string_view S, bool& Neg, uint64_t& Mag) {
  size_t I = 0;
  while (I < S.size() && (S[I] == ' ' || S[I] == '\t'))
    ++I;
  Neg = false;
  if (I < S.size() && (S[I] == '-' || S[I] == '+')) {
    Neg = S[I] == '-';
    ++I;
  }
  int Base = 10;
  if (I < S.size() && S[I] == '$') {
    Base = 16;
    ++I;
  } else if (I + 1 < S.size() && S[I] == '0' && (S[I + 1] == 'x' || S[I + 1] == 'X')) {
    Base = 16;
    I += 2;
  } else if (I < S.size() && (S[I] == 'x' || S[I] == 'X')) {
    Base = 16;
    ++I;
  }
  if (I >= S.size())
    return false;
  Mag = 0;
  for (; I < S.size(); ++I) {
    char C = S[I];
    unsigned D;
    if (C >= '0' && C <= '9')
      D = C - '0';
    else if (Base == 16 && C >= 'a' && C <= 'f')
      D = C - 'a' + 10;
    else if (Base == 16 && C >= 'A' && C <= 'F')
      D = C - 'A' + 10;
    else
      return false;
    if (Mag > (UINT64_MAX - D) / Base)
      return false;
    Mag = Mag * Base + D;
  }
  return true;
}

[[noreturn]] void InvalidInteger(std::string_view S) {
  throw EConvertError(Format(SysConst::SInvalidInteger, S));
}

} // namespace

bool TryStrToInt64(std::string_view S, int64_t& Value) {
  bool Neg;
  uint64_t Mag;
  if (!ParseInteger(S, Neg, Mag))
    return false;
  if (Neg) {
    if (Mag > uint64_t(1) << 63)
      return false;
    Value = static_cast<int64_t>(uint64_t(0) - Mag);
  } else {
    if (Mag > uint64_t(INT64_MAX))
      return false;
    Value = static_cast<int64_t>(Mag);
  }
  return true;
}

bool TryStrToInt(std::string_view S, int32_t& Value) {
  int64_t V;
  if (!TryStrToInt64(S, V) || V < INT32_MIN || V > INT32_MAX)
    return false;
  Value = static_cast<int32_t>(V);
  return true;
}

bool TryStrToUInt64(std::string_view S, uint64_t& Value) {
  bool Neg;
  uint64_t Mag;
  if (!ParseInteger(S, Neg, Mag) || (Neg && Mag != 0))
    return false;
  Value = Mag;
  return true;
}

int32_t StrToInt(std::string_view S) {
  int32_t V;
  if (!TryStrToInt(S, V))
    InvalidInteger(S);
  return V;
}

int64_t StrToInt64(std::string_view S) {
  int64_t V;
  if (!TryStrToInt64(S, V))
    InvalidInteger(S);
  return V;
}

int32_t StrToIntDef(std::string_view S, int32_t Default) {
  int32_t V;
  return TryStrToInt(S, V) ? V : Default;
}

int64_t StrToInt64Def(std::string_view S, int64_t Default) {
  int64_t V;
  return TryStrToInt64(S, V) ? V : Default;
}

std::string TrimLeft(std::string_view S) {
  size_t I = 0;
  while (I < S.size() && static_cast<unsigned char>(S[I]) <= ' ')
    ++I;
  return std::string(S.substr(I));
}

std::string TrimRight(std::string_view S) {
  size_t N = S.size();
  while (N > 0 && static_cast<unsigned char>(S[N - 1]) <= ' ')
    --N;
  return std::string(S.substr(0, N));
}

std::string Trim(std::string_view S) { return TrimRight(TrimLeft(S)); }

} // namespace tolvan
