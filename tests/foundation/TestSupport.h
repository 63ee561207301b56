// TestSupport.h: small helpers the foundation tests share.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
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
