// BenchData.h: the value generators the SQL and operator benchmarks share, so that their tables
// hold the same kinds of text.
//
// Pure functions; any thread.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace tolvan::bench {

// A 64-bit mixer (splitmix64's finaliser): every bit of X reaches every bit of the result.
inline uint64_t Mix(uint64_t X) {
  X += 0x9E3779B97F4A7C15ull;
  X = (X ^ (X >> 30)) * 0xBF58476D1CE4E5B9ull;
  X = (X ^ (X >> 27)) * 0x94D049BB133111EBull;
  return X ^ (X >> 31);
}

// 6 to 18 lower-case letters, a function of Seed.
inline std::string TextOf(uint64_t Seed) {
  uint64_t H = Mix(Seed);
  std::string S(size_t(6 + H % 13), ' ');
  for (char& C : S) {
    H = Mix(H);
    C = char('a' + H % 26);
  }
  return S;
}

// The engine's time over the reference's, 7 characters, starred above 5x; "-" when either did
// not run or the reference took no time.
inline std::string RatioText(bool Ran, double Engine, double Reference) {
  if (!Ran || Reference <= 0)
    return "      -";
  char Text[32];
  const double X = Engine / Reference;
  std::snprintf(Text, sizeof Text, "%6.1f%s", X, X > 5 ? "*" : " ");
  return Text;
}

} // namespace tolvan::bench
