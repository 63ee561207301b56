// INSERT through the query component where a .test file cannot reach: prepared statements run
// again with new values, the record events' sender, and StoreVariantInField by column type.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <random>
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

class SQLInsertBase : public AOTest {
protected:
  SQLInsertBase() { InitSQLLayer(); }

  static TComponentPtr<TTolvanQuery> NewQuery(std::string_view SQL) {
    TComponentPtr<TTolvanQuery> Q = MakeComponent<TTolvanQuery>();
    Q->SetInMemory(true);
    Q->SetSQLText(SQL);
    return Q;
  }
};

class SQLInsert : public SQLInsertBase {
protected:
  SQLInsert() {
    MakeMemoryTable("t", {{"a", tftInteger}, {"b", tftInteger}});
    MakeMemoryTable("u", {{"x", tftInteger}}, {{int64_t(1)}, {int64_t(2)}, {int64_t(3)}});
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

namespace tolvan::test {
namespace {

// Random INSERTs against a std::vector model of the engine's rules: the unique index on id
// (NULLs collide), text cut to its column, the empty string stored as NULL, a statement that
// fails changing nothing, and INSERT ... SELECT keeping the rows that could be copied.
class SQLInsertModel : public SQLInsertBase {};

struct TModelRow {
  std::optional<int32_t> Id, K;
  std::optional<std::string> S;
  bool operator==(const TModelRow&) const = default;
};

std::string Show(const TModelRow& R) {
  auto Num = [](const std::optional<int32_t>& V) { return V ? std::to_string(*V) : "NULL"; };
  return Num(R.Id) + "|" + Num(R.K) + "|" + (R.S ? *R.S : "NULL");
}

TEST_F(SQLInsertModel, RandomInsertsAgreeWithTheModel) {
  const uint32_t Seed = 20261211;
  std::mt19937 Rng(Seed);
  MakeMemoryTable("m", {{"id", tftInteger}, {"k", tftInteger}, {"s", tftVarchar, 8}});
  {
    TComponentPtr<TTolvanTable> T = MakeComponent<TTolvanTable>();
    T->SetInMemory(true);
    T->SetTableName("m");
    T->AddIndex("mid", "id", ixUnique);
  }
  std::vector<TModelRow> Side;
  std::vector<std::vector<TTestCell>> SideCells;
  for (int32_t I = 0; I < 20; ++I) {
    Side.push_back({I, I % 5, "side" + std::to_string(I)});
    SideCells.push_back({int64_t(I), int64_t(I % 5), "side" + std::to_string(I)});
  }
  MakeMemoryTable("side", {{"id", tftInteger}, {"k", tftInteger}, {"s", tftVarchar, 10}},
                  SideCells);
  std::vector<TModelRow> Model;
  int32_t Failures[4] = {};
  auto Collides = [&](const std::optional<int32_t>& Id) {
    for (const TModelRow& R : Model)
      if (R.Id == Id)
        return true;
    return false;
  };
  auto Text = [&]() -> std::optional<std::string> {
    switch (Rng() % 4) {
    case 0:
      return std::nullopt;
    case 1:
      return std::string(); // stored as NULL
    default:
      return std::string("abcdefghijkl").substr(0, Rng() % 12 + 1);
    }
  };
  auto Stored = [](const std::optional<std::string>& S) -> std::optional<std::string> {
    if (!S || S->empty())
      return std::nullopt;
    return S->substr(0, 8);
  };
  auto Literal = [](const std::optional<std::string>& S) { return S ? "'" + *S + "'" : "NULL"; };
  auto Number = [](const std::optional<int32_t>& V) {
    return V ? std::to_string(*V) : std::string("NULL");
  };

  for (int32_t Step = 0; Step < 400; ++Step) {
    std::string SQL;
    std::vector<TModelRow> Adds;
    bool CopyFailsPartly = false;
    const uint32_t Kind = Rng() % 4;
    std::optional<int32_t> Id;
    if (Rng() % 10 != 0)
      Id = int32_t(Rng() % 200);
    const std::optional<int32_t> K = int32_t(Rng() % 7);
    const std::optional<std::string> S = Text();
    if (Kind == 0) { // by position, all fields or the first two
      if (Rng() % 2) {
        SQL = "INSERT INTO m VALUES (" + Number(Id) + ", " + Number(K) + ", " + Literal(S) + ")";
        Adds.push_back({Id, K, Stored(S)});
      } else {
        SQL = "INSERT INTO m (s) VALUES (" + Number(Id) + ", " + Number(K) + ")";
        Adds.push_back({Id, K, std::nullopt});
      }
    } else if (Kind == 1) { // by name, in another order
      SQL = "INSERT INTO m (s, id) VALUES (" + Literal(S) + ", " + Number(Id) + ")";
      Adds.push_back({Id, std::nullopt, Stored(S)});
    } else if (Kind == 2) { // a copy from the side table, shifted
      const int32_t Shift = int32_t(Rng() % 200);
      const int32_t Below = int32_t(Rng() % 6);
      SQL = "INSERT INTO m (k) SELECT id + " + std::to_string(Shift) +
            " AS id, s FROM side WHERE k < " + std::to_string(Below);
      for (const TModelRow& R : Side)
        if (*R.K < Below) {
          const std::optional<int32_t> NewId = *R.Id + Shift;
          if (Collides(NewId)) {
            CopyFailsPartly = true;
            continue;
          }
          Model.push_back({NewId, std::nullopt, Stored(R.S)});
          Adds.push_back(Model.back());
        }
      Model.resize(Model.size() - Adds.size());
    } else { // a bare insert: defaults only
      SQL = "INSERT INTO m";
      Adds.push_back({});
    }
    const bool Fails = Kind == 2 ? CopyFailsPartly : Collides(Adds[0].Id);
    TComponentPtr<TTolvanQuery> Q = NewQuery(SQL);
    const std::string Error = ErrorOf([&] { Q->ExecSQL(); });
    if (Kind == 2 || !Fails)
      Model.insert(Model.end(), Adds.begin(), Adds.end());
    SCOPED_TRACE("seed " + std::to_string(Seed) + " step " + std::to_string(Step) + ": " + SQL);
    Failures[Kind] += Fails ? 1 : 0;
    if (Fails)
      EXPECT_NE(Error.find(Kind == 2 ? "Native error: 11350" : "Native error: 30320"),
                std::string::npos)
          << Error;
    else {
      ASSERT_EQ(Error, "no error");
      EXPECT_EQ(Q->RowsAffected64(), int64_t(Adds.size()));
    }
    if (Step % 20 != 19)
      continue;
    std::vector<std::string> Want, Got;
    std::vector<TModelRow> Sorted = Model;
    std::sort(Sorted.begin(), Sorted.end(),
              [](const TModelRow& A, const TModelRow& B) { return A.Id < B.Id; });
    for (const TModelRow& R : Sorted)
      Want.push_back(Show(R));
    TComponentPtr<TTolvanQuery> Read = NewQuery("SELECT id, k, s FROM m ORDER BY id");
    Read->Open();
    for (; !Read->Eof(); Read->Next()) {
      TModelRow R;
      if (!Read->Fields()[0].IsNull())
        R.Id = Read->Fields()[0].AsInteger();
      if (!Read->Fields()[1].IsNull())
        R.K = Read->Fields()[1].AsInteger();
      if (!Read->Fields()[2].IsNull())
        R.S = Read->Fields()[2].AsString();
      Got.push_back(Show(R));
    }
    Read->Close();
    ASSERT_EQ(Got, Want);
  }
  // The run reached both kinds of failure.
  EXPECT_GT(Failures[0] + Failures[1], 0);
  EXPECT_GT(Failures[2], 0);
}

} // namespace
} // namespace tolvan::test
