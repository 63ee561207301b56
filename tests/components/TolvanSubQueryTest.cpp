// Sub-queries through the component services over a fake processor: the handle contract, IN
// answered exactly as the dataset's Locate across column and key types, re-runs, parameters, and
// the refusal to run under a table lock.
#include <gtest/gtest.h>

#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "components/TolvanComponentServices.h"
#include "components/TolvanQuery.h"
#include "components/TolvanTable.h"
#include "foundation/TolvanExcept.h"
#include "foundation/TolvanLockOrder.h"
#include "storage/TolvanTableData.h"
#include "storage/local/TolvanLocalCursor.h"
#include "tests/components/ComponentTestSupport.h"
#include "tests/components/support/FakeSQLProcessor.h"
#include "tests/schema/support/SubQueryContract.h"

using namespace tolvan;
using namespace tolvan::test;

namespace {

TFieldType DataSetTypeOf(TTolvanFieldType Type) {
  switch (Type) {
  case tftInteger:
    return ftInteger;
  case tftVarchar:
    return ftString;
  default:
    throw std::logic_error("no column type for the contract");
  }
}

class SubQueryTest : public ComponentTest {
protected:
  TFakeSQLLog Log;
  TScopedFakeSQLProcessor Fake{Log};
  std::vector<TComponentPtr<TTolvanTable>> Tables;

  // A table whose only column V has the type and the rows given; answers its name.
  TTolvanTable& MakeTable(TFieldType Type, int32_t Size) {
    auto T = Own(NewComponent<TTolvanTable>(nullptr));
    T->SetTableName("S" + std::to_string(Tables.size()));
    T->FieldDefs().Add("V", Type, Size);
    T->Open();
    Tables.push_back(std::move(T));
    return *Tables.back();
  }

  static void AddRow(TTolvanTable& T, const Variant& Value) {
    T.Append();
    if (!Value.IsNull())
      T.FieldByName("V").SetValue(Value);
    T.Post();
  }
};

TEST_F(SubQueryTest, Contract) {
  ExpectSubQueryContract(ComponentServices(), [&](TTolvanFieldType Type,
                                                  const std::vector<const TTolvanVariant*>& Rows) {
    TTolvanTable& T = MakeTable(DataSetTypeOf(Type), Type == tftVarchar ? 10 : 0);
    for (const TTolvanVariant* Row : Rows)
      AddRow(T, Row ? Row->GetAsVariant() : Variant::Null());
    return "SELECT * FROM " + std::string(T.TableName());
  });
}

// The reference is the dataset's own Locate on the first column of the same result: for every
// column type and key, the handle finds what Locate finds, and fails where Locate fails.
TEST_F(SubQueryTest, InAnswersAsLocateAcrossTypes) {
  struct TColumn {
    TFieldType Type;
    int32_t Size;
    std::vector<Variant> Pool;
  };
  const TDateTime Day = 43831.0; // a date
  const std::vector<TColumn> Columns = {
      {ftInteger, 0, {Variant(int32_t(1)), Variant(int32_t(2)), Variant(int32_t(-7))}},
      {ftLargeint, 0, {Variant(int64_t(1)), Variant(int64_t(1) << 40), Variant(int64_t(2))}},
      {ftSmallint, 0, {Variant(int32_t(2)), Variant(int32_t(300))}},
      {ftFloat, 0, {Variant(1.5), Variant(2.0), Variant(-0.0), Variant(1e300)}},
      {ftString, 6, {Variant("a"), Variant("A"), Variant("ab"), Variant("2"), Variant("a b")}},
      {ftWideString, 6, {Variant(u"a"), Variant(u"\u00e9"), Variant(u"AB")}},
      {ftBoolean, 0, {Variant(true), Variant(false)}},
      {ftDate, 0, {VarFromDateTime(Day), VarFromDateTime(Day + 1)}},
      {ftCurrency, 0, {Variant(2.0), Variant(1.25)}},
  };
  const std::vector<Variant> Keys = {
      Variant::Null(),       Variant(int32_t(1)), Variant(int32_t(2)),  Variant(int64_t(1) << 40),
      Variant(int32_t(300)), Variant(2.0),        Variant(1.5),         Variant(0.0),
      Variant(1.25),         Variant(1e300),      Variant("a"),         Variant("A"),
      Variant("ab"),         Variant("AB"),       Variant("2"),         Variant("a b"),
      Variant(u"a"),         Variant(u"\u00e9"),  Variant("\xe9"),      Variant(u"AB"),
      Variant(true),         Variant(false),      VarFromDateTime(Day), Variant("x"),
      Variant(int32_t(-7)),  Variant(""),
  };
  std::mt19937 Random(7);
  for (const TColumn& C : Columns)
    for (int32_t Shape = 0; Shape < 3; ++Shape) {
      // Every value of the pool (with a null, or without), or none at all; then duplicates.
      TTolvanTable& T = MakeTable(C.Type, C.Size);
      int32_t RowCount = 0;
      if (Shape < 2) {
        for (const Variant& V : C.Pool) {
          AddRow(T, V);
          ++RowCount;
        }
        if (Shape == 0) {
          AddRow(T, Variant::Null());
          ++RowCount;
        }
        for (int32_t R = 0; R < 4; ++R) {
          AddRow(T, C.Pool[std::uniform_int_distribution<size_t>(0, C.Pool.size() - 1)(Random)]);
          ++RowCount;
        }
      }
      const std::string SQL = "SELECT * FROM " + std::string(T.TableName());
      auto Reference = MakeComponent<TTolvanQuery>();
      Reference->SetSQLText(SQL);
      Reference->Open();
      std::unique_ptr<IExprSubQuery> Handle =
          ComponentServices().PrepareSubQuery(SQL, nullptr, true, "", "");
      Handle->Open();
      EXPECT_EQ(Handle->RecordCount(), RowCount);
      for (size_t K = 0; K < Keys.size(); ++K) {
        std::string Expected, Actual;
        try {
          Expected = Reference->Locate("V", Keys[K], {}) ? "found" : "not found";
        } catch (const Exception& E) {
          Expected = "raised " + std::string(E.Message());
        }
        try {
          Actual = Handle->LocateFirstField(Keys[K]) ? "found" : "not found";
        } catch (const Exception& E) {
          Actual = "raised " + std::string(E.Message());
        }
        EXPECT_EQ(Actual, Expected)
            << "column type " << int(C.Type) << ", shape " << Shape << ", key " << K;
      }
      Handle->Close();
      Reference->Close();
    }
}

// A handle opened again runs its statement again and sees the data as it is then.
TEST_F(SubQueryTest, ReopenSeesNewRows) {
  TTolvanTable& T = MakeTable(ftInteger, 0);
  AddRow(T, Variant(int32_t(1)));
  std::unique_ptr<IExprSubQuery> Q = ComponentServices().PrepareSubQuery(
      "SELECT * FROM " + std::string(T.TableName()), nullptr, true, "", "");
  Q->Open();
  EXPECT_FALSE(Q->LocateFirstField(Variant(int32_t(2))));
  Q->Close();
  AddRow(T, Variant(int32_t(2)));
  Q->Open();
  EXPECT_TRUE(Q->LocateFirstField(Variant(int32_t(2))));
  EXPECT_EQ(Q->RecordCount(), 2);
  Q->Close();
  EXPECT_EQ(Log.Makes, 2) << "without parameters each run parses anew";
}

// Parameters of the text take the values of same-named given ones; others stay null.
TEST_F(SubQueryTest, ParametersAreCopiedByName) {
  auto T = Own(NewComponent<TTolvanTable>(nullptr));
  T->SetTableName("P");
  T->FieldDefs().Add("ID", ftInteger, 0);
  T->Open();
  for (int32_t I = 1; I <= 3; ++I) {
    T->Append();
    T->FieldByName("ID").SetAsInteger(I);
    T->Post();
  }
  TParams Given;
  Given.CreateParam(ftInteger, "OTHER").SetAsInteger(9);
  Given.CreateParam(ftInteger, "WANTED").SetAsInteger(2);
  std::unique_ptr<IExprSubQuery> Q = ComponentServices().PrepareSubQuery(
      "SELECT * FROM P WHERE ID = :wanted", &Given, true, "", "");
  Q->Open();
  EXPECT_EQ(Q->RecordCount(), 1);
  EXPECT_EQ(Log.Params, (std::vector<std::string>{"wanted:INTEGER:2"}));
  Q->Close();
}

TEST_F(SubQueryTest, ErrorsOfTheTextAndOfTheRun) {
  // Nothing to prepare: raised by PrepareSubQuery.
  EXPECT_THROW(ComponentServices().PrepareSubQuery("", nullptr, true, "", ""), ETolvanException);
  // A statement that fails when run raises at Open, and the handle stays usable.
  std::unique_ptr<IExprSubQuery> Q =
      ComponentServices().PrepareSubQuery("FAIL", nullptr, true, "", "");
  for (int32_t Run = 0; Run < 2; ++Run) {
    try {
      Q->Open();
      ADD_FAILURE() << "no error";
    } catch (const ETolvanException& E) {
      EXPECT_EQ(E.NativeError(), 12345);
    }
    EXPECT_EQ(Q->RecordCount(), 0);
  }
}

// Running a statement takes table locks and the sessions' critical section, so a sub-query must
// have run before a scan takes its table's lock.
TEST_F(SubQueryTest, OpenUnderATableLockIsReported) {
  if (!LockOrderChecked)
    GTEST_SKIP() << "the checker is compiled into debug builds only";
  TTolvanTable& T = MakeTable(ftInteger, 0);
  AddRow(T, Variant(int32_t(1)));
  std::unique_ptr<IExprSubQuery> Q = ComponentServices().PrepareSubQuery(
      "SELECT * FROM " + std::string(T.TableName()), nullptr, true, "", "");
  auto* Cursor = dynamic_cast<TTolvanLocalCursor*>(T.Cursor());
  ASSERT_NE(Cursor, nullptr);
  ASSERT_NE(Cursor->TableData(), nullptr);
  const TLockOrderViolationHandler Previous = SetLockOrderViolationHandler(
      [](const std::string& Message) { throw std::logic_error(Message); });
  std::string Reported;
  {
    TTolvanTableLock Lock(*Cursor->TableData(), false);
    try {
      Q->Open();
    } catch (const std::logic_error& E) {
      Reported = E.what();
    }
  }
  SetLockOrderViolationHandler(Previous);
  EXPECT_EQ(Reported, "entering the sub-query while holding a table lock");
  Q->Open();
  EXPECT_EQ(Q->RecordCount(), 1);
  Q->Close();
}

} // namespace
