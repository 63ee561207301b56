#include "classlib/Collation.h"

#include <array>

namespace tolvan {

namespace detail {
extern const TCollationRun CollationRuns[];
extern const int CollationRunsCount;
extern const TWideCasePair CollationBases[];
extern const int CollationBasesCount;
} // namespace detail

namespace {

// Level 1 weight: class in the high half, base letter in the low half.
// Level 2 weight: the case-folded unit. Level 3: 0 for a lower-case unit, 1 otherwise.
struct TWeights {
  std::array<uint32_t, 65536> Primary;
  std::array<uint32_t, 256> AnsiPrimary;
  std::array<char16_t, 256> AnsiFolded;
  std::array<uint8_t, 256> AnsiCase;

  TWeights() {
    std::array<uint8_t, 65536> Group{};
    for (int R = 0; R < detail::CollationRunsCount; ++R) {
      int End = R + 1 < detail::CollationRunsCount ? detail::CollationRuns[R + 1].Start : 65536;
      for (int C = detail::CollationRuns[R].Start; C < End; ++C)
        Group[C] = detail::CollationRuns[R].Group;
    }
    std::array<char16_t, 65536> Base;
    for (int C = 0; C < 65536; ++C)
      Base[C] = static_cast<char16_t>(C);
    for (int I = 0; I < detail::CollationBasesCount; ++I)
      Base[detail::CollationBases[I].From] = detail::CollationBases[I].To;
    for (int C = 0; C < 65536; ++C) {
      char16_t B = Base[WideUpperChar(static_cast<char16_t>(C))];
      B = WideUpperChar(B);
      Primary[C] = (static_cast<uint32_t>(Group[B]) << 16) | B;
    }
    for (int C = 0; C < 256; ++C) {
      char16_t W = AnsiCharToWide(static_cast<unsigned char>(C));
      AnsiPrimary[C] = Primary[W];
      AnsiFolded[C] = WideUpperChar(W);
      AnsiCase[C] = WideUpperChar(W) != W ? 0 : 1;
    }
  }
};

const TWeights& Weights() {
  static const TWeights W;
  return W;
}

[[maybe_unused]] const TWeights& WeightsAtStart = Weights();

inline int Sign(int64_t D) { return (D > 0) - (D < 0); }

// One pass: level 1 decides at its first difference; the first differences of the lower levels
// are remembered on the way in case level 1 ties over the whole texts.
template <class Ch, class P1, class P2, class P3, class P4>
int CompareLevels(const Ch* A, size_t NA, const Ch* B, size_t NB, bool IgnoreCase, P1 L1, P2 L2,
                  P3 L3, P4 L4) {
  size_t N = NA < NB ? NA : NB;
  int D2 = 0, D3 = 0, D4 = 0;
  for (size_t I = 0; I < N; ++I) {
    Ch X = A[I], Y = B[I];
    if (X == Y)
      continue;
    uint32_t WX = L1(X), WY = L1(Y);
    if (WX != WY)
      return WX < WY ? -1 : 1;
    if (!D2)
      D2 = Sign(int64_t(L2(X)) - int64_t(L2(Y)));
    if (!D3)
      D3 = Sign(int64_t(L3(X)) - int64_t(L3(Y)));
    if (!D4)
      D4 = Sign(int64_t(L4(X)) - int64_t(L4(Y)));
  }
  if (NA != NB)
    return NA < NB ? -1 : 1;
  if (D2 || IgnoreCase)
    return D2;
  return D3 ? D3 : D4;
}

} // namespace

int CompareAnsi(std::string_view A, std::string_view B, bool IgnoreCase) {
  const TWeights& W = Weights();
  auto U = [](char C) { return static_cast<unsigned char>(C); };
  return CompareLevels(
      A.data(), A.size(), B.data(), B.size(), IgnoreCase, [&](char C) { return W.AnsiPrimary[U(C)]; },
      [&](char C) { return W.AnsiFolded[U(C)]; }, [&](char C) { return W.AnsiCase[U(C)]; },
      [&](char C) { return AnsiCharToWide(U(C)); });
}

int CompareWide(std::u16string_view A, std::u16string_view B, bool IgnoreCase) {
  const TWeights& W = Weights();
  return CompareLevels(
      A.data(), A.size(), B.data(), B.size(), IgnoreCase, [&](char16_t C) { return W.Primary[C]; },
      [](char16_t C) { return WideUpperChar(C); },
      [](char16_t C) { return WideUpperChar(C) != C ? 0 : 1; }, [](char16_t C) { return C; });
}

bool AnsiCharsEqualIgnoreCase(char A, char B) {
  const TWeights& W = Weights();
  return W.AnsiFolded[static_cast<unsigned char>(A)] == W.AnsiFolded[static_cast<unsigned char>(B)];
}

bool WideCharsEqualIgnoreCase(char16_t A, char16_t B) { return WideUpperChar(A) == WideUpperChar(B); }

} // namespace tolvan
