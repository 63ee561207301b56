// AOLanded.h: which of the table, join, union and group-by operators are built, so that tests
// over them skip (with a reason) while an operator is still the placeholder that raises 11394.
#pragma once

#include <functional>

#include "foundation/TolvanExcept.h"
#include "sql/TolvanAOGroupBy.h"
#include "sql/TolvanAOJoin.h"
#include "sql/TolvanAOTable.h"
#include "sql/TolvanAOUnion.h"
#include "tests/sql/support/TestAOTables.h"

namespace tolvan::test {

struct TLandedOperators {
  bool Leaf = false, Join = false, Union = false, Group = false;
};

inline bool RaisesPlaceholder(const std::function<void()>& Fn) {
  try {
    Fn();
  } catch (const ETolvanException& E) {
    return E.NativeError() == ErrAODerivedTableUnsupported;
  }
  return false;
}

// Tries each operator over a MEMORY table "landed_probe" (made here).
inline TLandedOperators LandedOperators() {
  MakeMemoryTable("landed_probe", {{"a"}});
  auto Leaf = [] {
    return std::make_unique<TTolvanAOTable>("", "", "landed_probe", "", "", nullptr, true, false,
                                            "");
  };
  TLandedOperators L;
  L.Leaf = !RaisesPlaceholder([&] { Leaf(); });
  if (!L.Leaf)
    return L;
  L.Join = !RaisesPlaceholder(
      [&] { TTolvanAOJoin J(Leaf(), Leaf(), jtCross, false, nullptr, nullptr); });
  L.Union = !RaisesPlaceholder(
      [&] { TTolvanAOUnion U(Leaf(), Leaf(), tsoUnion, false, false, nullptr); });
  L.Group = !RaisesPlaceholder([&] { TTolvanAOGroupBy G(Leaf(), nullptr); });
  return L;
}

} // namespace tolvan::test
