// TestSupport.h: small helpers the foundation tests share.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "classlib/Classes.h"
#include "foundation/TolvanExcept.h"

namespace tolvan::test {

// Runs Fn, expecting an ETolvanException; returns it (a failure is recorded when none comes).
template <class F>
ETolvanException Raised(F&& Fn) {
  try {
    Fn();
  } catch (const ETolvanException& E) {
    return E;
  }
  ADD_FAILURE() << "no ETolvanException raised";
  return ETolvanException(0, "");
}

// The native code of the ETolvanException Fn raises, or 0 when it raises none.
template <class F>
int32_t NativeCodeOf(F&& Fn) {
  try {
    Fn();
  } catch (const ETolvanException& E) {
    return E.NativeError();
  }
  return 0;
}

// A stream over a vector that accepts at most WriteLimit bytes in all, so tests can cut a write
// at any length.
class TVectorStream : public TStream {
public:
  std::vector<uint8_t> Data;
  int64_t Pos = 0;
  int64_t WriteLimit = INT64_MAX;

  TVectorStream() = default;
  explicit TVectorStream(std::vector<uint8_t> Bytes) : Data(std::move(Bytes)) {}

  void SetSize(int64_t N) override { Data.resize(size_t(N)); }
  int64_t GetSize() override { return int64_t(Data.size()); }
  int64_t Read(void* B, int64_t C) override {
    const int64_t N = std::max<int64_t>(0, std::min<int64_t>(C, int64_t(Data.size()) - Pos));
    if (N)
      std::memcpy(B, Data.data() + Pos, size_t(N));
    Pos += N;
    return N;
  }
  int64_t Write(const void* B, int64_t C) override {
    const int64_t N = std::max<int64_t>(0, std::min(C, WriteLimit));
    WriteLimit -= N;
    if (Pos + N > int64_t(Data.size()))
      Data.resize(size_t(Pos + N));
    if (N)
      std::memcpy(Data.data() + Pos, B, size_t(N));
    Pos += N;
    return N;
  }
  int64_t Seek(int64_t O, TSeekOrigin Or) override {
    Pos = Or == soBeginning ? O : Or == soCurrent ? Pos + O : int64_t(Data.size()) + O;
    return Pos;
  }
};

// All bytes of S, read from its start; S keeps its position.
inline std::vector<uint8_t> Contents(TStream& S) {
  std::vector<uint8_t> V(static_cast<size_t>(S.Size()));
  const int64_t Pos = S.Position();
  S.SetPosition(0);
  EXPECT_EQ(S.Read(V.data(), int64_t(V.size())), int64_t(V.size()));
  S.SetPosition(Pos);
  return V;
}

} // namespace tolvan::test
