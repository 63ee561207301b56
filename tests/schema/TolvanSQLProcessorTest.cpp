#include <gtest/gtest.h>

#include "schema/TolvanSQLProcessor.h"

using namespace tolvan;

namespace {

class TTestProcessor : public TTolvanSQLProcessor {
public:
  TTolvanCursor* Execute() override {
    TTolvanSQLProcessor::Execute();
    ++Executions;
    SetRowsAffected(RowsAffected() + 3);
    return nullptr;
  }
  void Invalidate() override {
    ++Invalidations;
    TTolvanSQLProcessor::Invalidate();
  }

  int Executions = 0;
  int Invalidations = 0;
};

} // namespace

TEST(SQLProcessor, Defaults) {
  TTestProcessor P;
  EXPECT_EQ(P.SQL(), "");
  EXPECT_EQ(P.Params().Count(), 0);
  EXPECT_TRUE(P.NotPrepared());
  EXPECT_FALSE(P.Invalidated());
  EXPECT_FALSE(P.ReadOnlyResult());
  EXPECT_FALSE(P.RequestLive());
  EXPECT_FALSE(P.InMemory());
  EXPECT_EQ(P.RowsAffected(), 0);
  EXPECT_EQ(P.ParamsHash(), 0u);
  P.SetSQLText("select 1");
  EXPECT_EQ(P.SQL(), "select 1");
  P.SetSQLText(nullptr);
  EXPECT_EQ(P.SQL(), "");
  P.ExecSQL();
  EXPECT_EQ(P.Executions, 1);
  EXPECT_EQ(P.RowsAffected(), 3);
  P.ExecSQL();
  EXPECT_EQ(P.RowsAffected(), 3); // the base starts every execution from 0
}

TEST(SQLProcessor, WithoutParametersNeverInvalidates) {
  TTestProcessor P;
  P.SetNotPrepared(false);
  for (int I = 0; I < 3; ++I)
    EXPECT_EQ(P.Execute(), nullptr);
  EXPECT_EQ(P.Invalidations, 0);
  EXPECT_EQ(P.ParamsHash(), 0u);
}

TEST(SQLProcessor, InvalidatesWhenPreparedAndValuesChange) {
  TTestProcessor P;
  TTolvanSQLParam& A = P.Params().Add();
  A.SetName("a");
  A.SetAsInteger(1);

  P.Execute(); // not prepared yet: the values are only remembered
  EXPECT_EQ(P.Invalidations, 0);
  EXPECT_EQ(P.ParamsHash(), P.Params().Hash());
  A.SetAsInteger(2);
  P.Execute();
  EXPECT_EQ(P.Invalidations, 0);

  P.SetNotPrepared(false);
  P.Execute(); // unchanged since the last execution
  EXPECT_EQ(P.Invalidations, 0);
  EXPECT_FALSE(P.Invalidated());

  A.SetAsInteger(3);
  P.Execute();
  EXPECT_EQ(P.Invalidations, 1);
  EXPECT_TRUE(P.Invalidated());
  EXPECT_EQ(P.ParamsHash(), P.Params().Hash());
  P.Execute();
  EXPECT_EQ(P.Invalidations, 1);
  EXPECT_FALSE(P.Invalidated());

  // Null, type and count changes all count.
  A.SetNull();
  P.Execute();
  EXPECT_EQ(P.Invalidations, 2);
  A.Clear(tvtSignedInt16);
  A.SetAsSmallInt(3);
  P.Execute();
  EXPECT_EQ(P.Invalidations, 3);
  A.Clear(tvtInteger);
  A.SetAsInteger(3);
  P.Execute();
  EXPECT_EQ(P.Invalidations, 4);
  P.Params().Add().SetName("b");
  P.Execute();
  EXPECT_EQ(P.Invalidations, 5);
}

// Byte 49 and the string '1' share a value hash; the change must still reach the commands.
TEST(SQLProcessor, ChangeWithEqualHashInvalidates) {
  TTestProcessor P;
  TTolvanSQLParam& A = P.Params().Add();
  A.SetName("a");
  A.SetAsByte(49);
  P.Execute();
  P.SetNotPrepared(false);
  const uint32_t Before = P.ParamsHash();

  A.Clear(tvtString);
  A.SetAsString("1");
  ASSERT_EQ(P.Params().Hash(), Before);
  P.Execute();
  EXPECT_EQ(P.Invalidations, 1);
}
