// SubQueryContract.h: what every IExprSubQuery answers, run against the fake services and against
// the component layer's (over a fake and over the real SQL processor).
//
// The caller provides the rows: Source makes a sub-query text whose first column, of the given
// column type, holds the values in order (nil for a null).
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "schema/expr/TolvanExprServices.h"

namespace tolvan::test {

using TSubQuerySource = std::function<std::string(TTolvanFieldType ColumnType,
                                                  const std::vector<const TTolvanVariant*>& Rows)>;

inline void ExpectSubQueryContract(IExprServices& Services, const TSubQuerySource& Source) {
  TTolvanVariant A, UpperA, AB, B, One, Two;
  A.SetAsString("a");
  UpperA.SetAsString("A");
  AB.SetAsString("ab");
  B.SetAsString("b");
  One.SetAsInteger(1);
  Two.SetAsInteger(2);

  // Text: case counts, whole values, a null key finds a null row.
  {
    const std::string SQL = Source(tftVarchar, {&A, &UpperA, &AB, nullptr, &B});
    std::unique_ptr<IExprSubQuery> Q = Services.PrepareSubQuery(SQL, nullptr, true, "", "");
    for (int32_t Run = 0; Run < 2; ++Run) {
      SCOPED_TRACE(Run);
      Q->Open();
      EXPECT_EQ(Q->RecordCount(), 5);
      EXPECT_FALSE(Q->Eof());
      TTolvanVariant First;
      Q->FirstFieldValue(First);
      EXPECT_EQ(First.GetAsString(), "a");
      EXPECT_TRUE(Q->LocateFirstField(Variant("a")));
      EXPECT_TRUE(Q->LocateFirstField(Variant("A")));
      EXPECT_TRUE(Q->LocateFirstField(Variant(u"ab"))) << "wide text finds narrow";
      EXPECT_FALSE(Q->LocateFirstField(Variant("B"))) << "case counts";
      EXPECT_FALSE(Q->LocateFirstField(Variant("a "))) << "whole values";
      EXPECT_FALSE(Q->LocateFirstField(Variant("ab "))) << "whole values";
      EXPECT_TRUE(Q->LocateFirstField(Variant::Null())) << "null finds null";
      Q->Close();
    }
  }
  // Numbers of different types that compare equal find each other; no null row, no null found.
  {
    const std::string SQL = Source(tftInteger, {&Two, &One});
    std::unique_ptr<IExprSubQuery> Q = Services.PrepareSubQuery(SQL, nullptr, true, "", "");
    Q->Open();
    EXPECT_EQ(Q->RecordCount(), 2);
    EXPECT_TRUE(Q->LocateFirstField(Variant(int32_t(1))));
    EXPECT_TRUE(Q->LocateFirstField(Variant(int64_t(2))));
    EXPECT_TRUE(Q->LocateFirstField(Variant(2.0)));
    EXPECT_FALSE(Q->LocateFirstField(Variant(1.5)));
    EXPECT_FALSE(Q->LocateFirstField(Variant(int32_t(3))));
    EXPECT_FALSE(Q->LocateFirstField(Variant::Null()));
    Q->Close();
  }
  // No rows.
  {
    const std::string SQL = Source(tftInteger, {});
    std::unique_ptr<IExprSubQuery> Q = Services.PrepareSubQuery(SQL, nullptr, true, "", "");
    Q->Open();
    EXPECT_EQ(Q->RecordCount(), 0);
    EXPECT_TRUE(Q->Eof());
    EXPECT_FALSE(Q->LocateFirstField(Variant(int32_t(1))));
    EXPECT_FALSE(Q->LocateFirstField(Variant::Null()));
    Q->Close();
  }
}

} // namespace tolvan::test
