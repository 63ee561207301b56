// StorageTestSupport.h: helpers the storage tests share.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "foundation/TolvanStreams.h"
#include "storage/TolvanPageStores.h"
#include "tests/foundation/TestSupport.h"
#include "tests/storage/PageAccounting.h"

namespace tolvan::test {

inline constexpr int32_t PS = 4096;

// A page's worth of bytes that differ from page to page and are never all zero.
inline std::vector<uint8_t> PagePattern(uint32_t Seed) {
  std::vector<uint8_t> V(PS);
  uint32_t X = Seed * 2654435761u + 1;
  for (auto& B : V) {
    X = X * 1103515245u + 12345u;
    B = uint8_t((X >> 16) | 1);
  }
  return V;
}

// Writes PagePattern(Seed) into the page and marks it dirty.
inline void FillPage(TTolvanPage* Page, uint32_t Seed) {
  const auto V = PagePattern(Seed);
  std::memcpy(Page->Buffer(), V.data(), PS);
  Page->SetDirty(true);
}

inline std::vector<uint8_t> PageBytes(const uint8_t* P) { return std::vector<uint8_t>(P, P + PS); }

// "41 43 ..." without separators: the bytes as lower-case hexadecimal.
inline std::string Hex(const uint8_t* P, size_t N) {
  static const char Digits[] = "0123456789abcdef";
  std::string S;
  for (size_t I = 0; I < N; ++I) {
    S += Digits[P[I] >> 4];
    S += Digits[P[I] & 15];
  }
  return S;
}

inline std::vector<uint8_t> SavedForm(TTolvanPageManager& Store) {
  TTolvanMemoryStream S;
  Store.SaveToStream(S);
  return Contents(S);
}

inline void LoadForm(TTolvanPageManager& Store, const std::vector<uint8_t>& Form) {
  TTolvanMemoryStream S;
  if (!Form.empty())
    S.Write(Form.data(), int64_t(Form.size()));
  S.SetPosition(0);
  Store.LoadFromStream(S);
}

// The allocated numbers of the store, ascending.
inline std::vector<int32_t> AllocatedNumbers(const TTolvanPageManager& Store, int32_t Limit) {
  std::vector<int32_t> V;
  for (int32_t N = 0; N < Limit; ++N)
    if (Store.PageAllocated(N))
      V.push_back(N);
  return V;
}

// Releases every allocated number for Session and commits, so that the store can close.
inline void ReleaseAll(TTolvanPageManager& Store, int32_t Session, int32_t Limit) {
  for (int32_t N : AllocatedNumbers(Store, Limit))
    Store.RemovePage(Session, N);
  Store.Commit(Session);
}

// A new page for Session filled with PagePattern(Seed), released; returns its number.
inline int32_t NewFilledPage(TTolvanPageManager& Store, int32_t Session, uint32_t Seed) {
  TTolvanPage* P = Store.NewPage(Session);
  FillPage(P, Seed);
  const int32_t N = P->PageNo();
  Store.ReleasePage(P);
  return N;
}

} // namespace tolvan::test
