// INSERT through the query component where a .test file cannot reach: prepared statements run
// again with new values, the record events' sender, and StoreVariantInField by column type.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "classlib/DBFields.h"
#include "components/TolvanDataSetBlobStream.h"
#include "components/TolvanDatabase.h"
#include "components/TolvanQuery.h"
#include "foundation/TolvanVariant.h"
#include "sql/TolvanSQLInsert.h"
#include "sql/TolvanSQLStartup.h"
#include "tests/sql/support/TestAOTables.h"

namespace tolvan::test {
namespace {

class SQLInsert : public AOTest {
protected:
  SQLInsert() {
    InitSQLLayer();
    MakeMemoryTable("t", {{"a", tftInteger}, {"b", tftInteger}});
    MakeMemoryTable("u", {{"x", tftInteger}}, {{int64_t(1)}, {int64_t(2)}, {int64_t(3)}});
  }

  static TComponentPtr<TTolvanQuery> NewQuery(std::string_view SQL) {
    TComponentPtr<TTolvanQuery> Q = MakeComponent<TTolvanQuery>();
    Q->SetInMemory(true);
    Q->SetSQLText(SQL);
    return Q;
  }

  // "a:b" of every row of t, in the order of a and b.
  static std::vector<std::string> Rows() {
    TComponentPtr<TTolvanQuery> Q = NewQuery("SELECT a, b FROM t ORDER BY a, b");
    Q->Open();
    std::vector<std::string> Out;
    for (; !Q->Eof(); Q->Next())
      Out.push_back(Q->Fields()[0].AsString() + ":" + Q->Fields()[1].AsString());
    Q->Close();
    return Out;
  }

  static TComponentPtr<TTolvanTable> OpenTable(std::string_view Name, bool Exclusive = false) {
    TComponentPtr<TTolvanTable> T = MakeComponent<TTolvanTable>();
    T->SetInMemory(true);
    T->SetDatabaseName("MEMORY");
    T->SetTableName(Name);
    T->SetExclusive(Exclusive);
    T->Open();
    return T;
  }
};

TEST_F(SQLInsert, PreparedValuesRunAgainWithNewValuesAndReleaseTheTable) {
  TComponentPtr<TTolvanQuery> Q = NewQuery("INSERT INTO t (b, a) VALUES (:b, :a)");
  for (int32_t K = 1; K <= 3; ++K) {
    Q->ParamByName("a").SetAsInteger(K);
    Q->ParamByName("b").SetAsInteger(10 * K);
    Q->ExecSQL();
    EXPECT_EQ(Q->RowsAffected64(), 1);
    // Between runs the target is closed: an exclusive open succeeds.
    EXPECT_EQ(ErrorOf([] { OpenTable("t", true)->Close(); }), "no error") << K;
  }
  EXPECT_EQ(Rows(), (std::vector<std::string>{"1:10", "2:20", "3:30"}));
}

TEST_F(SQLInsert, SubQueryInValuesSeesCurrentDataOnEveryRun) {
  TComponentPtr<TTolvanQuery> Q = NewQuery("INSERT INTO t VALUES (:a, (SELECT COUNT(*) FROM t))");
  for (int32_t K = 1; K <= 3; ++K) {
    Q->ParamByName("a").SetAsInteger(K);
    Q->ExecSQL();
  }
  EXPECT_EQ(Rows(), (std::vector<std::string>{"1:0", "2:1", "3:2"}));
}

TEST_F(SQLInsert, PreparedInsertSelectCopiesCurrentRows) {
  TComponentPtr<TTolvanQuery> Q =
      NewQuery("INSERT INTO t SELECT x AS a, x * :m AS b FROM u WHERE x > :lo");
  Q->ParamByName("m").SetAsInteger(10);
  Q->ParamByName("lo").SetAsInteger(1);
  Q->ExecSQL();
  EXPECT_EQ(Q->RowsAffected64(), 2);
  Q->ParamByName("m").SetAsInteger(100);
  Q->ParamByName("lo").SetAsInteger(2);
  Q->ExecSQL();
  EXPECT_EQ(Q->RowsAffected64(), 1);
  EXPECT_EQ(Rows(), (std::vector<std::string>{"2:20", "3:30", "3:300"}));
}

TEST_F(SQLInsert, RecordEventsNameTheQueryAndAnAbortPostsNothing) {
  TComponentPtr<TTolvanTable> Holder = OpenTable("t");
  TTolvanDatabase* Db = Holder->Database();
  ASSERT_NE(Db, nullptr);
  TComponentPtr<TTolvanQuery> Q = NewQuery("INSERT INTO t VALUES (1, 2)");
  std::vector<TTolvanDataSet*> Senders;
  Db->SetBeforeInsertRecord([&](TTolvanDataSet* Sender, const AnsiString&,
                                TTolvanArrayOfTTolvanVariant Values, bool& Abort) {
    Senders.push_back(Sender);
    Abort = Values[0]->GetAsInteger() == 9;
  });
  Q->ExecSQL();
  ASSERT_EQ(Senders.size(), 1u);
  EXPECT_EQ(Senders[0], Q.get());
  TComponentPtr<TTolvanQuery> Bad = NewQuery("INSERT INTO t VALUES (9, 9)");
  EXPECT_NE(ErrorOf([&] { Bad->ExecSQL(); }), "no error");
  Db->SetBeforeInsertRecord(nullptr);
  Holder->Close();
  EXPECT_EQ(Rows(), (std::vector<std::string>{"1:2"}));
}

TEST_F(SQLInsert, StoreVariantInFieldByColumnType) {
  MakeMemoryTable("v", {{"big", tftLargeInt},
                        {"memo", tftMemo},
                        {"blob", tftBLOB},
                        {"d", tftDate},
                        {"s", tftVarchar, 4}});
  TComponentPtr<TTolvanTable> T = OpenTable("v");
  T->Insert();
  TTolvanVariant Big, Text, Bytes, Day, Null;
  Big.SetAsLargeInt(int64_t(1) << 40);
  Text.SetAsString("memo text");
  const uint8_t Raw[] = {0, 1, 2, 0, 255};
  Bytes.SetBuffer(const_cast<uint8_t*>(Raw), sizeof Raw, tvtBLOB, true, true);
  Day.SetAsStoredDate(738000);
  StoreVariantInField(&Big, T->FieldByName("big"));
  StoreVariantInField(&Text, T->FieldByName("memo"));
  StoreVariantInField(&Bytes, T->FieldByName("blob"));
  StoreVariantInField(&Day, T->FieldByName("d"));
  StoreVariantInField(&Text, T->FieldByName("s"));
  EXPECT_EQ(ErrorOf([&] { StoreVariantInField(nullptr, T->FieldByName("s")); }),
            "Value is Null - Native error: 30359");
  T->Post();
  EXPECT_EQ(T->FieldByName("big").AsLargeInt(), int64_t(1) << 40);
  EXPECT_EQ(T->FieldByName("memo").AsString(), "memo text");
  EXPECT_EQ(T->FieldByName("blob").AsString(), std::string(reinterpret_cast<const char*>(Raw), 5));
  EXPECT_EQ(T->FieldByName("s").AsString(), "memo");
  TTolvanVariant Back;
  Back.SetAsDate(T->FieldByName("d").AsDateTime());
  EXPECT_EQ(Back.GetAsStoredDate(), 738000);
  // A null clears whatever the field held.
  T->Edit();
  StoreVariantInField(&Null, T->FieldByName("memo"));
  StoreVariantInField(&Null, T->FieldByName("big"));
  T->Post();
  EXPECT_TRUE(T->FieldByName("memo").IsNull());
  EXPECT_TRUE(T->FieldByName("big").IsNull());
  T->Close();
}

} // namespace
} // namespace tolvan::test
