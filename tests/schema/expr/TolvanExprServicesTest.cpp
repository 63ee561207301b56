#include "schema/expr/TolvanExprServices.h"
#include "tests/foundation/TestSupport.h"
#include "tests/schema/support/DistinctSetContract.h"
#include "tests/schema/support/FakeCursor.h"
#include "tests/schema/support/FakeExprServices.h"
#include "tests/schema/support/FakeRowSource.h"
#include "tests/schema/support/SubQueryContract.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "foundation/TolvanExcept.h"
#include "schema/expr/TolvanExpression.h"

using namespace tolvan;
using namespace tolvan::test;

namespace {

TEST(ExprServices, RegistrationAndScopes) {
  IExprServices* Before = RegisterExprServices(nullptr);
  const ETolvanException E = Raised([] { ExprServices(); });
  EXPECT_EQ(E.NativeError(), 11394);
  EXPECT_EQ(E.Message(), "Error - operation is not supported - Native error: 11394");
  {
    TFakeExprServices Outer, Inner;
    TScopedExprServices A(&Outer);
    EXPECT_EQ(&ExprServices(), &Outer);
    {
      TScopedExprServices B(&Inner);
      EXPECT_EQ(&ExprServices(), &Inner);
    }
    EXPECT_EQ(&ExprServices(), &Outer);
  }
  EXPECT_EQ(NativeCodeOf([] { ExprServices(); }), 11394);
  RegisterExprServices(Before);
}

TTolvanVariant& Text(TTolvanVariant& V, const char* S) {
  V.Clear();
  V.SetAsString(S);
  return V;
}

TEST(FakeExprServices, SubQueriesReturnTheirCannedRows) {
  TFakeExprServices Services;
  TTolvanVariant V;
  Services.AddSubQueryRow("SELECT a FROM t", Text(V, "abc"));
  V.Clear(tvtString);
  Services.AddSubQueryRow("SELECT a FROM t", V);
  TParams Params;
  Params.CreateParam(ftInteger, "p").SetValue(Variant(int32_t(4)));

  std::unique_ptr<IExprSubQuery> Q =
      Services.PrepareSubQuery("SELECT a FROM t", &Params, true, "MEMORY", "Default");
  EXPECT_EQ(Services.PrepareCount(), 1);
  EXPECT_EQ(Services.OpenHandleCount(), 1);
  ASSERT_EQ(Services.LastParams().Count(), 1);
  EXPECT_EQ(Services.LastParams().Items(0).Value().AsInteger(), 4);
  EXPECT_TRUE(Q->Eof()) << "nothing before Open";
  Q->Open();
  EXPECT_EQ(Services.OpenCount(), 1);
  EXPECT_EQ(Q->RecordCount(), 2);
  EXPECT_FALSE(Q->Eof());
  Q->FirstFieldValue(V);
  EXPECT_EQ(V.GetAsString(), "abc");
  // Case-sensitive, whole values; a null key finds the null row.
  EXPECT_TRUE(Q->LocateFirstField(Variant("abc")));
  EXPECT_FALSE(Q->LocateFirstField(Variant("ABC")));
  EXPECT_FALSE(Q->LocateFirstField(Variant("ab")));
  EXPECT_TRUE(Q->LocateFirstField(Variant::Null()));
  Q->Close();
  Q.reset();
  EXPECT_EQ(Services.OpenHandleCount(), 0);

  // A text without rows; injected failures keep nothing open.
  Q = Services.PrepareSubQuery("SELECT b FROM u", nullptr, false, "", "");
  EXPECT_EQ(Services.LastParams().Count(), 0);
  Q->Open();
  EXPECT_EQ(Q->RecordCount(), 0);
  EXPECT_TRUE(Q->Eof());
  Services.Fail(TFakeExprServices::fpOpen, 10850);
  EXPECT_EQ(NativeCodeOf([&] { Q->Open(); }), 10850);
  Q.reset();
  Services.Fail(TFakeExprServices::fpPrepare, 30001);
  const ETolvanException E =
      Raised([&] { Services.PrepareSubQuery("SELECT 1", nullptr, false, "", ""); });
  EXPECT_EQ(E.Message(), "Injected failure - Native error: 30001");
  EXPECT_EQ(Services.OpenHandleCount(), 0);
  Services.Fail(TFakeExprServices::fpPrepare, 0);
  EXPECT_NE(Services.PrepareSubQuery("SELECT 1", nullptr, false, "", ""), nullptr);
}

TEST(FakeExprServices, SubQueryContract) {
  TFakeExprServices Services;
  int32_t Made = 0;
  ExpectSubQueryContract(Services,
                         [&](TTolvanFieldType, const std::vector<const TTolvanVariant*>& Rows) {
                           const std::string SQL = "SELECT * FROM t" + std::to_string(++Made);
                           TTolvanVariant Null;
                           for (const TTolvanVariant* Row : Rows)
                             Services.AddSubQueryRow(SQL, Row ? *Row : Null);
                           return SQL;
                         });
}

TEST(FakeExprServices, AutoIncValuesAreReadAtEveryCall) {
  TFakeExprServices Services;
  Services.SetAutoInc("Orders", "ID", tftAutoInc, 7);
  std::unique_ptr<IExprAutoInc> A = Services.OpenAutoInc("ORDERS", "id", true, "", "");
  EXPECT_EQ(A->FieldType(), tftAutoInc);
  EXPECT_EQ(A->CurrentValue(), 7);
  Services.SetAutoInc("orders", "Id", tftAutoInc, 8);
  EXPECT_EQ(A->CurrentValue(), 8);
  EXPECT_EQ(Services.OpenHandleCount(), 1);
  A.reset();
  const ETolvanException E = Raised([&] { Services.OpenAutoInc("Orders", "Nope", true, "", ""); });
  EXPECT_EQ(E.NativeError(), 30337);
  EXPECT_EQ(E.Message(), "Field 'Nope' not found - Native error: 30337");
  EXPECT_EQ(Services.OpenHandleCount(), 0);
}

TEST(FakeExprServices, DistinctSetComparesWithCaseOnWholeValues) {
  TFakeExprServices Services;
  std::unique_ptr<IExprDistinctSet> Set = Services.CreateDistinctSet(tftVarchar, 10);
  TTolvanVariant V;
  EXPECT_TRUE(Set->InsertIfNew(Text(V, "a")));
  EXPECT_TRUE(Set->InsertIfNew(Text(V, "A")));
  EXPECT_FALSE(Set->InsertIfNew(Text(V, "a")));
  EXPECT_TRUE(Set->InsertIfNew(Text(V, "ab")));
  V.Clear(tvtString);
  EXPECT_TRUE(Set->InsertIfNew(V));
  EXPECT_FALSE(Set->InsertIfNew(V)) << "null equals null";

  std::unique_ptr<IExprDistinctSet> Numbers = Services.CreateDistinctSet(tftDouble, 0);
  V.Clear();
  V.SetAsInteger(1);
  EXPECT_TRUE(Numbers->InsertIfNew(V));
  V.Clear();
  V.SetAsDouble(1.0);
  EXPECT_FALSE(Numbers->InsertIfNew(V));
  EXPECT_EQ(Services.OpenHandleCount(), 2);
  Services.Fail(TFakeExprServices::fpInsertDistinct, 11338);
  EXPECT_EQ(NativeCodeOf([&] { Numbers->InsertIfNew(V); }), 11338);
}

TEST(FakeExprServices, DistinctSetContract) {
  TFakeExprServices Services;
  ExpectDistinctSetContract(Services);
}

// --- the fake operator --------------------------------------------------------------------------

class TCountedExpression : public TTolvanExpression {
public:
  explicit TCountedExpression(int& Freed) : FFreed(Freed) {}
  ~TCountedExpression() override { ++FFreed; }

private:
  int& FFreed;
};

TEST(FakeRowSource, FieldsRowsAndErrors) {
  TFakeRowSource Leaf;
  const int32_t ID = Leaf.AddColumn("ID", "Orders", tftInteger);
  const int32_t Name = Leaf.AddColumn("Name", "Orders", tftVarchar, 20, true);
  Leaf.AddColumn("ID", "Lines", tftInteger);
  const int32_t Row = Leaf.AddRow();
  Leaf.Cell(Row, ID).SetAsInteger(5);
  Text(Leaf.Cell(Row, Name), "five");

  TTolvanIntegerArray Found(0, 10, 100);
  EXPECT_EQ(Leaf.FindFields("id", "", false, &Found, false), 2);
  ASSERT_EQ(Found.Count(), 2);
  EXPECT_EQ(Found[0], 0);
  EXPECT_EQ(Found[1], 2);
  EXPECT_EQ(Leaf.FindFields("ID", "LINES", false, nullptr, false), 1);
  EXPECT_EQ(Leaf.FindFields("*", "", false, nullptr, false), 3);

  TTolvanVariant V;
  Leaf.GetFieldValue(V, ID, true, false);
  EXPECT_EQ(V.GetAsInteger(), 5);
  const ETolvanException Hidden = Raised([&] { Leaf.GetFieldValue(V, Name, true, false); });
  EXPECT_EQ(Hidden.NativeError(), 10310);
  EXPECT_EQ(Hidden.Message(), "Cannot access hidden field: table name = Orders, field name = "
                              "Name, display name = , FieldNo = 1 - Native error: 10310");
  Leaf.GetFieldValue(V, Name, true, true);
  EXPECT_EQ(V.GetAsString(), "five");
  // Unhiding with keep-hidden changes nothing; without it the field shows.
  Leaf.FindFields("Name", "", true, nullptr, true);
  EXPECT_TRUE(Leaf.Column(Name).Hidden);
  Leaf.FindFields("Name", "", true, nullptr, false);
  EXPECT_FALSE(Leaf.Column(Name).Hidden);

  EXPECT_EQ(NativeCodeOf([&] { Leaf.GetFieldValue(V, 3, true, true); }), 10307);
  EXPECT_EQ(NativeCodeOf([&] { Leaf.GetFieldType(-1); }), 10376);
  EXPECT_EQ(NativeCodeOf([&] { Leaf.GetFieldSize(3); }), 10377);
  EXPECT_EQ(Leaf.GetFieldSize(Name), 20);
  Leaf.SetCurrentRow(-1);
  Leaf.GetFieldValue(V, ID, true, true);
  EXPECT_TRUE(V.IsNull());
  EXPECT_EQ(V.DataType(), tvtInteger);
  EXPECT_EQ(Leaf.TableCursor(), nullptr);
  EXPECT_EQ(Leaf.TableFieldDefs(), nullptr);
}

TEST(FakeRowSource, JoinsAndFilterSlots) {
  TFakeRowSource Left, Right, Join;
  Join.AddInput(&Left);
  Join.AddInput(&Right);
  Join.SetJoinType(jtLeftOuter);
  EXPECT_FALSE(Left.IsJoin());
  EXPECT_TRUE(Join.IsJoin());
  EXPECT_EQ(Join.JoinType(), jtLeftOuter);
  ASSERT_EQ(Join.InputCount(), 2);
  EXPECT_EQ(Join.Input(1), &Right);

  int Freed = 0;
  {
    TFakeRowSource Owner;
    Owner.Filter() = std::make_unique<TCountedExpression>(Freed);
    std::unique_ptr<TTolvanExpression> Taken = std::move(Owner.Filter());
    EXPECT_EQ(Owner.Filter(), nullptr);
    Owner.Filter() = std::move(Taken);
  }
  EXPECT_EQ(Freed, 1) << "the slot owns its filter";

  // A table leaf hands out its table's definitions and cursor.
  TFakeCursor Cursor;
  TFakeRowSource Table;
  Table.SetTable(&Cursor.FieldDefs(), &Cursor);
  EXPECT_EQ(Table.TableCursor(), &Cursor);
  EXPECT_EQ(Table.TableFieldDefs(), &Cursor.FieldDefs());
}

} // namespace
