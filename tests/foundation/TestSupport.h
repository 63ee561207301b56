// TestSupport.h: small helpers the foundation tests share.
#pragma once

#include <gtest/gtest.h>

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

} // namespace tolvan::test
