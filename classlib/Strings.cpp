#include "classlib/Strings.h"

#include <array>

namespace tolvan {

namespace detail {
extern const TWideCasePair WideUpperPairs[];
extern const int WideUpperPairsCount;
extern const TWideCasePair WideLowerPairs[];
extern const int WideLowerPairsCount;
} // namespace detail

namespace {

// Windows-1252 bytes 0x80..0x9F. The five bytes the code page leaves undefined map to the C1
// control with the same number, so every byte survives a trip through UTF-16.
constexpr char16_t Cp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

struct TTables {
  std::array<char16_t, 65536> WideUpper;
  std::array<char16_t, 65536> WideLower;
  std::array<unsigned char, 65536> WideToAnsi; // 0 with AnsiValid false means unmappable
  std::array<bool, 65536> AnsiValid;
  std::array<unsigned char, 256> AnsiUpper;
  std::array<unsigned char, 256> AnsiLower;

  TTables() {
    for (int C = 0; C < 65536; ++C) {
      WideUpper[C] = static_cast<char16_t>(C);
      WideLower[C] = static_cast<char16_t>(C);
      WideToAnsi[C] = 0;
      AnsiValid[C] = false;
    }
    for (int I = 0; I < detail::WideUpperPairsCount; ++I)
      WideUpper[detail::WideUpperPairs[I].From] = detail::WideUpperPairs[I].To;
    for (int I = 0; I < detail::WideLowerPairsCount; ++I)
      WideLower[detail::WideLowerPairs[I].From] = detail::WideLowerPairs[I].To;
    for (int B = 0; B < 256; ++B) {
      char16_t W = AnsiCharToWide(static_cast<unsigned char>(B));
      WideToAnsi[W] = static_cast<unsigned char>(B);
      AnsiValid[W] = true;
    }
    // A byte changes case only where the mapped character exists in the code page too
    // (so 0xDF and 0xB5 stay as they are).
    for (int B = 0; B < 256; ++B) {
      char16_t W = AnsiCharToWide(static_cast<unsigned char>(B));
      char16_t U = WideUpper[W], L = WideLower[W];
      AnsiUpper[B] = AnsiValid[U] ? WideToAnsi[U] : static_cast<unsigned char>(B);
      AnsiLower[B] = AnsiValid[L] ? WideToAnsi[L] : static_cast<unsigned char>(B);
    }
  }
};

const TTables& Tables() {
  static const TTables T;
  return T;
}

// Force construction before main so that later calls never race on the first use.
[[maybe_unused]] const TTables& TablesAtStart = Tables();

} // namespace

char16_t AnsiCharToWide(unsigned char C) {
  if (C >= 0x80 && C < 0xA0)
    return Cp1252High[C - 0x80];
  return C;
}

char WideCharToAnsi(char16_t C) {
  const TTables& T = Tables();
  return T.AnsiValid[C] ? static_cast<char>(T.WideToAnsi[C]) : '?';
}

WideString AnsiToWide(std::string_view S) {
  WideString R(S.size(), u'\0');
  for (size_t I = 0; I < S.size(); ++I)
    R[I] = AnsiCharToWide(static_cast<unsigned char>(S[I]));
  return R;
}

AnsiString WideToAnsi(std::u16string_view S) {
  AnsiString R(S.size(), '\0');
  for (size_t I = 0; I < S.size(); ++I)
    R[I] = WideCharToAnsi(S[I]);
  return R;
}

std::string WideToUtf8(std::u16string_view S) {
  std::string R;
  R.reserve(S.size());
  for (size_t I = 0; I < S.size(); ++I) {
    uint32_t C = S[I];
    if (C >= 0xD800 && C <= 0xDBFF && I + 1 < S.size() && S[I + 1] >= 0xDC00 && S[I + 1] <= 0xDFFF) {
      C = 0x10000 + ((C - 0xD800) << 10) + (S[I + 1] - 0xDC00);
      ++I;
    } else if (C >= 0xD800 && C <= 0xDFFF) {
      C = 0xFFFD;
    }
    if (C < 0x80) {
      R += static_cast<char>(C);
    } else if (C < 0x800) {
      R += static_cast<char>(0xC0 | (C >> 6));
      R += static_cast<char>(0x80 | (C & 0x3F));
    } else if (C < 0x10000) {
      R += static_cast<char>(0xE0 | (C >> 12));
      R += static_cast<char>(0x80 | ((C >> 6) & 0x3F));
      R += static_cast<char>(0x80 | (C & 0x3F));
    } else {
      R += static_cast<char>(0xF0 | (C >> 18));
      R += static_cast<char>(0x80 | ((C >> 12) & 0x3F));
      R += static_cast<char>(0x80 | ((C >> 6) & 0x3F));
      R += static_cast<char>(0x80 | (C & 0x3F));
    }
  }
  return R;
}

WideString Utf8ToWide(std::string_view S) {
  WideString R;
  R.reserve(S.size());
  size_t I = 0;
  while (I < S.size()) {
    unsigned char B = static_cast<unsigned char>(S[I]);
    uint32_t C;
    size_t N;
    if (B < 0x80) {
      C = B;
      N = 0;
    } else if (B >= 0xC2 && B <= 0xDF) {
      C = B & 0x1F;
      N = 1;
    } else if (B >= 0xE0 && B <= 0xEF) {
      C = B & 0x0F;
      N = 2;
    } else if (B >= 0xF0 && B <= 0xF4) {
      C = B & 0x07;
      N = 3;
    } else {
      R += u'\uFFFD';
      ++I;
      continue;
    }
    size_t J = 1;
    for (; J <= N; ++J) {
      if (I + J >= S.size() || (static_cast<unsigned char>(S[I + J]) & 0xC0) != 0x80)
        break;
      C = (C << 6) | (static_cast<unsigned char>(S[I + J]) & 0x3F);
    }
    bool Bad = J <= N || (N == 2 && (C < 0x800 || (C >= 0xD800 && C <= 0xDFFF))) ||
               (N == 3 && (C < 0x10000 || C > 0x10FFFF));
    if (Bad) {
      R += u'\uFFFD';
      I += J; // skip the lead byte and the continuation bytes it did take
      continue;
    }
    if (C >= 0x10000) {
      C -= 0x10000;
      R += static_cast<char16_t>(0xD800 + (C >> 10));
      R += static_cast<char16_t>(0xDC00 + (C & 0x3FF));
    } else {
      R += static_cast<char16_t>(C);
    }
    I += N + 1;
  }
  return R;
}

char AnsiUpperChar(char C) { return static_cast<char>(Tables().AnsiUpper[static_cast<unsigned char>(C)]); }
char AnsiLowerChar(char C) { return static_cast<char>(Tables().AnsiLower[static_cast<unsigned char>(C)]); }

AnsiString AnsiUpperCase(std::string_view S) {
  const auto& T = Tables().AnsiUpper;
  AnsiString R(S);
  for (char& C : R)
    C = static_cast<char>(T[static_cast<unsigned char>(C)]);
  return R;
}

AnsiString AnsiLowerCase(std::string_view S) {
  const auto& T = Tables().AnsiLower;
  AnsiString R(S);
  for (char& C : R)
    C = static_cast<char>(T[static_cast<unsigned char>(C)]);
  return R;
}

AnsiString UpperCase(std::string_view S) {
  AnsiString R(S);
  for (char& C : R)
    if (C >= 'a' && C <= 'z')
      C = static_cast<char>(C - 32);
  return R;
}

AnsiString LowerCase(std::string_view S) {
  AnsiString R(S);
  for (char& C : R)
    if (C >= 'A' && C <= 'Z')
      C = static_cast<char>(C + 32);
  return R;
}

char16_t WideUpperChar(char16_t C) { return Tables().WideUpper[C]; }
char16_t WideLowerChar(char16_t C) { return Tables().WideLower[C]; }

WideString WideUpperCase(std::u16string_view S) {
  const auto& T = Tables().WideUpper;
  WideString R(S);
  for (char16_t& C : R)
    C = T[C];
  return R;
}

WideString WideLowerCase(std::u16string_view S) {
  const auto& T = Tables().WideLower;
  WideString R(S);
  for (char16_t& C : R)
    C = T[C];
  return R;
}

bool AnsiSameText(std::string_view A, std::string_view B) {
  if (A.size() != B.size())
    return false;
  const auto& T = Tables().AnsiUpper;
  for (size_t I = 0; I < A.size(); ++I)
    if (T[static_cast<unsigned char>(A[I])] != T[static_cast<unsigned char>(B[I])])
      return false;
  return true;
}

bool SameText(std::string_view A, std::string_view B) {
  if (A.size() != B.size())
    return false;
  for (size_t I = 0; I < A.size(); ++I) {
    char X = A[I], Y = B[I];
    if (X >= 'a' && X <= 'z')
      X = static_cast<char>(X - 32);
    if (Y >= 'a' && Y <= 'z')
      Y = static_cast<char>(Y - 32);
    if (X != Y)
      return false;
  }
  return true;
}

bool WideSameText(std::u16string_view A, std::u16string_view B) {
  if (A.size() != B.size())
    return false;
  const auto& T = Tables().WideUpper;
  for (size_t I = 0; I < A.size(); ++I)
    if (T[A[I]] != T[B[I]])
      return false;
  return true;
}

} // namespace tolvan
