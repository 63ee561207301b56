// DistinctSetContract.h: what every IExprDistinctSet answers, run against the fake services and
// against the component layer's.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "schema/expr/TolvanExprServices.h"

namespace tolvan::test {

inline void ExpectDistinctSetContract(IExprServices& Services) {
  TTolvanVariant V;
  auto Text = [&](const char* S) -> const TTolvanVariant& {
    V.Clear();
    V.SetAsString(S);
    return V;
  };
  std::unique_ptr<IExprDistinctSet> Set = Services.CreateDistinctSet(tftVarchar, 10);
  EXPECT_TRUE(Set->InsertIfNew(Text("a")));
  EXPECT_TRUE(Set->InsertIfNew(Text("A"))) << "case counts";
  EXPECT_FALSE(Set->InsertIfNew(Text("a")));
  EXPECT_TRUE(Set->InsertIfNew(Text("ab"))) << "whole values";
  EXPECT_TRUE(Set->InsertIfNew(Text("a "))) << "trailing blanks count";
  V.Clear(tvtString);
  EXPECT_TRUE(Set->InsertIfNew(V));
  EXPECT_FALSE(Set->InsertIfNew(V)) << "null equals null";
  V.Clear(tvtInteger);
  EXPECT_FALSE(Set->InsertIfNew(V)) << "a null of another type is the same null";

  std::unique_ptr<IExprDistinctSet> Numbers = Services.CreateDistinctSet(tftDouble, 0);
  V.Clear();
  V.SetAsInteger(1);
  EXPECT_TRUE(Numbers->InsertIfNew(V));
  V.Clear();
  V.SetAsDouble(1.0);
  EXPECT_FALSE(Numbers->InsertIfNew(V)) << "1 and 1.0 are one number";
  V.Clear();
  V.SetAsDouble(1.5);
  EXPECT_TRUE(Numbers->InsertIfNew(V));
  EXPECT_TRUE(Set->InsertIfNew(Text("b"))) << "sets are independent";
}

} // namespace tolvan::test
