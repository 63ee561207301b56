// UPDATE and DELETE through the query component where a .test file cannot reach: the record
// path with record-event handlers, the choice between the batch and the record path, cascades
// within one table, prepared statements run again with new values, and a query whose database
// is not in memory.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "classlib/DBFields.h"
#include "classlib/Strings.h"
#include "components/TolvanDatabase.h"
#include "components/TolvanDefs.h"
#include "components/TolvanQuery.h"
#include "foundation/TolvanVariant.h"
#include "sql/TolvanSQLProcessor.h"
#include "sql/TolvanSQLStartup.h"
#include "sql/TolvanSQLUpdate.h"
#include "tests/sql/support/TestAOTables.h"

namespace tolvan::test {
namespace {

class SQLUpdate : public AOTest {
protected:
  SQLUpdate() {
    InitSQLLayer();
    MakeMemoryTable("hold", {{"x", tftInteger}});
  }

  ~SQLUpdate() override {
    if (FHolder) {
      ClearHandlers();
      FHolder->Close();
    }
  }

  static TComponentPtr<TTolvanQuery> NewQuery(std::string_view SQL) {
    TComponentPtr<TTolvanQuery> Q = MakeComponent<TTolvanQuery>();
    Q->SetInMemory(true);
    Q->SetSQLText(SQL);
    return Q;
  }

  static int64_t Exec(std::string_view SQL) {
    TComponentPtr<TTolvanQuery> Q = NewQuery(SQL);
    Q->ExecSQL();
    return Q->RowsAffected64();
  }

  // The rows of a query, each as its columns' texts joined by ":" ("NULL" for null).
  static std::vector<std::string> Rows(std::string_view SQL) {
    TComponentPtr<TTolvanQuery> Q = NewQuery(SQL);
    Q->Open();
    std::vector<std::string> Out;
    for (; !Q->Eof(); Q->Next()) {
      std::string Row;
      for (int32_t C = 0; C < Q->Fields().Count(); ++C) {
        const TField& F = Q->Fields()[C];
        Row += (C ? ":" : "") + (F.IsNull() ? std::string("NULL") : F.AsString());
      }
      Out.push_back(Row);
    }
    Q->Close();
    return Out;
  }

  static void OpenExclusive(std::string_view Name) {
    TComponentPtr<TTolvanTable> T = MakeComponent<TTolvanTable>();
    T->SetInMemory(true);
    T->SetDatabaseName("MEMORY");
    T->SetTableName(Name);
    T->SetExclusive(true);
    T->Open();
    T->Close();
  }

  // Whether the query's last UPDATE or DELETE went record by record; -1 when the query holds no
  // such command.
  static int32_t RecordPathTaken(TTolvanQuery& Q) {
    auto* P = dynamic_cast<TTolvanLocalSQLProcessor*>(Q.Processor());
    auto* C = P ? dynamic_cast<TTolvanSQLChangeCommand*>(P->CurrentCommand()) : nullptr;
    return C ? int32_t(C->LastRunByRecord()) : -1;
  }

  // The MEMORY database component, kept open by a table of its own, so that handlers can be
  // assigned to the database the statements run on.
  TTolvanDatabase& Db() {
    if (!FHolder) {
      FHolder = MakeComponent<TTolvanTable>();
      FHolder->SetInMemory(true);
      FHolder->SetDatabaseName("MEMORY");
      FHolder->SetTableName("hold");
      FHolder->Open();
    }
    return *FHolder->Database();
  }

  void ClearHandlers() {
    TTolvanDatabase& D = *FHolder->Database();
    D.SetBeforeUpdateRecord(nullptr);
    D.SetAfterUpdateRecord(nullptr);
    D.SetBeforeDeleteRecord(nullptr);
    D.SetAfterDeleteRecord(nullptr);
  }

  TComponentPtr<TTolvanTable> FHolder;
};

std::vector<int32_t> Ints(TTolvanArrayOfTTolvanVariant Values) {
  std::vector<int32_t> Out;
  for (TTolvanVariant* V : Values)
    Out.push_back(V && !V->IsNull() ? V->GetAsInteger() : -1);
  return Out;
}

// --- the record path -----------------------------------------------------------------------------

// A post that takes the last record out of the filtered set must not bring the cursor back onto
// the record before it; a record moved further on in an index-ordered set must not be met again.
TEST_F(SQLUpdate, RecordPathChangesEachRecordOnce) {
  struct TCase {
    const char* Name;
    bool Index;
    std::vector<std::vector<TTestCell>> Rows;
    const char* SQL;
    int64_t Affected;
    std::vector<std::string> After;
  };
  const TCase Cases[] = {
      {"last record leaves the set",
       false,
       {{int64_t(1)}, {int64_t(4)}},
       "UPDATE t SET a = a + 1 WHERE a < 5",
       2,
       {"2:0", "5:0"}},
      {"last record leaves the indexed set",
       true,
       {{int64_t(1)}, {int64_t(4)}},
       "UPDATE t SET a = a + 1 WHERE a < 5",
       2,
       {"2:0", "5:0"}},
      {"index order, records move on",
       true,
       {{int64_t(3)}, {int64_t(1)}, {int64_t(4)}, {int64_t(2)}},
       "UPDATE t SET a = a + 2, n = n + 1 WHERE a > 0 ORDER BY a",
       4,
       {"3:1", "4:1", "5:1", "6:1"}},
      {"index order, records move back",
       true,
       {{int64_t(3)}, {int64_t(1)}, {int64_t(4)}, {int64_t(2)}},
       "UPDATE t SET a = a - 10, n = n + 1 WHERE a > 0 ORDER BY a",
       4,
       {"-9:1", "-8:1", "-7:1", "-6:1"}},
      {"every record leaves the set",
       true,
       {{int64_t(5)}, {int64_t(5)}, {int64_t(5)}},
       "UPDATE t SET a = a - 5, n = n + 1 WHERE a = 5",
       3,
       {"0:1", "0:1", "0:1"}},
  };
  for (const TCase& C : Cases) {
    SCOPED_TRACE(C.Name);
    std::vector<std::vector<TTestCell>> Cells = C.Rows;
    for (auto& R : Cells)
      R.push_back(int64_t(0));
    MakeMemoryTable("t", {{"a", tftInteger}, {"n", tftInteger}}, Cells);
    if (C.Index) {
      TComponentPtr<TTolvanTable> T = MakeComponent<TTolvanTable>();
      T->SetInMemory(true);
      T->SetTableName("t");
      T->AddIndex("ta", "a", 0);
    }
    EXPECT_EQ(Exec(C.SQL), C.Affected);
    EXPECT_EQ(Rows("SELECT a, n FROM t ORDER BY a"), C.After);
  }
}

// SET a = 0 WHERE a = 5 with a handler assigned goes record by record: every matching record
// leaves the filtered set as it is posted, and each is changed once.
TEST_F(SQLUpdate, HandlerForcesTheRecordPathThroughAFilterOnTheChangedColumn) {
  MakeMemoryTable("t", {{"a", tftInteger}, {"b", tftInteger}},
                  {{int64_t(5), int64_t(1)},
                   {int64_t(1), int64_t(2)},
                   {int64_t(5), int64_t(3)},
                   {int64_t(5), int64_t(4)},
                   {int64_t(7), int64_t(5)}});
  for (const bool Indexed : {false, true}) {
    SCOPED_TRACE(Indexed ? "indexed" : "not indexed");
    if (Indexed) {
      Exec("UPDATE t SET a = 5 WHERE b <> 2 AND b <> 5");
      TComponentPtr<TTolvanTable> T = MakeComponent<TTolvanTable>();
      T->SetInMemory(true);
      T->SetTableName("t");
      T->AddIndex("ta", "a", 0);
    }
    std::vector<int32_t> Seen;
    Db().SetBeforeUpdateRecord([&](TTolvanDataSet*, const AnsiString&,
                                   TTolvanArrayOfTTolvanVariant Old, TTolvanArrayOfTTolvanVariant,
                                   bool&) { Seen.push_back(Ints(Old)[1]); });
    EXPECT_EQ(Exec("UPDATE t SET a = 0 WHERE a = 5"), 3);
    std::sort(Seen.begin(), Seen.end());
    EXPECT_EQ(Seen, (std::vector<int32_t>{1, 3, 4}));
    EXPECT_EQ(Rows("SELECT a, b FROM t ORDER BY b"),
              (std::vector<std::string>{"0:1", "1:2", "0:3", "0:4", "7:5"}));
    ClearHandlers();
  }
}

TEST_F(SQLUpdate, SetValuesAreComputedFromTheRecordAsRead) {
  MakeMemoryTable("t", {{"a", tftInteger}, {"b", tftInteger}},
                  {{int64_t(1), int64_t(2)}, {int64_t(3), int64_t(4)}});
  EXPECT_EQ(Exec("UPDATE t SET a = b, b = a"), 2);
  EXPECT_EQ(Rows("SELECT a, b FROM t ORDER BY a"), (std::vector<std::string>{"2:1", "4:3"}));
  // The same with a handler, and with the key of an index among the columns.
  TComponentPtr<TTolvanTable> T = MakeComponent<TTolvanTable>();
  T->SetInMemory(true);
  T->SetTableName("t");
  T->AddIndex("ta", "a", ixUnique);
  int32_t Calls = 0;
  Db().SetAfterUpdateRecord([&](TTolvanDataSet*, const AnsiString&, TTolvanArrayOfTTolvanVariant,
                                TTolvanArrayOfTTolvanVariant) { ++Calls; });
  EXPECT_EQ(Exec("UPDATE t SET b = a + b, a = b WHERE a > 0 ORDER BY a"), 2);
  EXPECT_EQ(Calls, 2);
  EXPECT_EQ(Rows("SELECT a, b FROM t ORDER BY a"), (std::vector<std::string>{"1:3", "3:7"}));
}

// Before and After fire once per record, with the query as sender, the table's name and the
// record's old and new values.
TEST_F(SQLUpdate, EventsFireOncePerRecordWithTheQueryAsSender) {
  MakeMemoryTable(
      "t", {{"a", tftInteger}, {"b", tftInteger}},
      {{int64_t(1), int64_t(10)}, {int64_t(2), int64_t(20)}, {int64_t(3), int64_t(30)}});
  struct TCall {
    bool Before;
    TTolvanDataSet* Sender;
    std::string Table;
    std::vector<int32_t> Old, New;
  };
  std::vector<TCall> Calls;
  TTolvanDatabase& D = Db();
  D.SetBeforeUpdateRecord([&](TTolvanDataSet* Sender, const AnsiString& Table,
                              TTolvanArrayOfTTolvanVariant Old, TTolvanArrayOfTTolvanVariant New,
                              bool&) {
    Calls.push_back({true, Sender, Table, Ints(Old), Ints(New)});
  });
  D.SetAfterUpdateRecord([&](TTolvanDataSet* Sender, const AnsiString& Table,
                             TTolvanArrayOfTTolvanVariant Old, TTolvanArrayOfTTolvanVariant New) {
    Calls.push_back({false, Sender, Table, Ints(Old), Ints(New)});
  });
  TComponentPtr<TTolvanQuery> Q = NewQuery("UPDATE t SET b = b + a WHERE a >= 2");
  Q->ExecSQL();
  EXPECT_EQ(Q->RowsAffected64(), 2);
  ASSERT_EQ(Calls.size(), 4u);
  std::sort(Calls.begin(), Calls.end(), [](const TCall& X, const TCall& Y) {
    return std::pair(X.Old, !X.Before) < std::pair(Y.Old, !Y.Before);
  });
  const std::vector<std::vector<int32_t>> Old = {{2, 20}, {2, 20}, {3, 30}, {3, 30}};
  const std::vector<std::vector<int32_t>> New = {{2, 22}, {2, 22}, {3, 33}, {3, 33}};
  for (size_t I = 0; I < Calls.size(); ++I) {
    SCOPED_TRACE(I);
    EXPECT_EQ(Calls[I].Before, I % 2 == 0);
    EXPECT_EQ(Calls[I].Sender, Q.get());
    EXPECT_TRUE(AnsiSameText(Calls[I].Table, "t")) << Calls[I].Table;
    EXPECT_EQ(Calls[I].Old, Old[I]);
    EXPECT_EQ(Calls[I].New, New[I]);
  }

  // DELETE's events, with the query as sender and the deleted record's values.
  std::vector<std::pair<TTolvanDataSet*, std::vector<int32_t>>> Deleted;
  int32_t After = 0;
  D.SetBeforeDeleteRecord(
      [&](TTolvanDataSet* Sender, const AnsiString&, TTolvanArrayOfTTolvanVariant Values, bool&) {
        Deleted.push_back({Sender, Ints(Values)});
      });
  D.SetAfterDeleteRecord(
      [&](TTolvanDataSet*, const AnsiString&, TTolvanArrayOfTTolvanVariant) { ++After; });
  TComponentPtr<TTolvanQuery> Del = NewQuery("DELETE FROM t WHERE b > 20");
  Del->ExecSQL();
  EXPECT_EQ(Del->RowsAffected64(), 2);
  EXPECT_EQ(After, 2);
  std::sort(Deleted.begin(), Deleted.end(),
            [](const auto& X, const auto& Y) { return X.second < Y.second; });
  ASSERT_EQ(Deleted.size(), 2u);
  EXPECT_EQ(Deleted[0].first, Del.get());
  EXPECT_EQ(Deleted[1].first, Del.get());
  EXPECT_EQ(Deleted[0].second, (std::vector<int32_t>{2, 22}));
  EXPECT_EQ(Deleted[1].second, (std::vector<int32_t>{3, 33}));
  EXPECT_EQ(Rows("SELECT a, b FROM t"), (std::vector<std::string>{"1:10"}));
}

// There are no transactions: an abort stops the statement, and the records changed before it
// stay changed.
TEST_F(SQLUpdate, AbortStopsTheStatementAndKeepsEarlierChanges) {
  MakeMemoryTable("t", {{"a", tftInteger}, {"b", tftInteger}},
                  {{int64_t(1), int64_t(0)},
                   {int64_t(2), int64_t(0)},
                   {int64_t(3), int64_t(0)},
                   {int64_t(4), int64_t(0)},
                   {int64_t(5), int64_t(0)}});
  TComponentPtr<TTolvanTable> T = MakeComponent<TTolvanTable>();
  T->SetInMemory(true);
  T->SetTableName("t");
  T->AddIndex("ta", "a", ixUnique);
  int32_t Calls = 0;
  Db().SetBeforeUpdateRecord([&](TTolvanDataSet*, const AnsiString&,
                                 TTolvanArrayOfTTolvanVariant Old, TTolvanArrayOfTTolvanVariant,
                                 bool& Abort) {
    ++Calls;
    Abort = Ints(Old)[0] == 3;
  });
  // Constant SETs: the handler alone sends the statement record by record.
  TComponentPtr<TTolvanQuery> Q = NewQuery("UPDATE t SET b = 1 WHERE a > 0 ORDER BY a");
  EXPECT_NE(ErrorOf([&] { Q->ExecSQL(); }), "no error");
  EXPECT_EQ(Calls, 3);
  EXPECT_EQ(Rows("SELECT a, b FROM t ORDER BY a"),
            (std::vector<std::string>{"1:1", "2:1", "3:0", "4:0", "5:0"}));
  // The same through DELETE.
  Calls = 0;
  ClearHandlers();
  Db().SetBeforeDeleteRecord(
      [&](TTolvanDataSet*, const AnsiString&, TTolvanArrayOfTTolvanVariant Values, bool& Abort) {
        ++Calls;
        Abort = Ints(Values)[0] == 4;
      });
  TComponentPtr<TTolvanQuery> Del = NewQuery("DELETE FROM t WHERE a > 1 ORDER BY a");
  EXPECT_NE(ErrorOf([&] { Del->ExecSQL(); }), "no error");
  EXPECT_EQ(Calls, 3);
  EXPECT_EQ(Rows("SELECT a, b FROM t ORDER BY a"), (std::vector<std::string>{"1:1", "4:0", "5:0"}));
}

// A record that a cascade within the same table removed is skipped and not counted: no error,
// and no record is deleted twice.
TEST_F(SQLUpdate, CascadeWithinTheTableRemovesRecordsLaterInTheSet) {
  {
    TComponentPtr<TTolvanTable> T = MakeComponent<TTolvanTable>();
    T->SetInMemory(true);
    T->SetTableName("c");
    T->AdvFieldDefs().Add("id", tftInteger, 0, true);
    T->AdvFieldDefs().Add("parent", tftInteger, 0, false);
    T->IndexDefs().Add("pk", "id", ixPrimary);
    T->CreateTable();
    TTolvanForeignKeyDef Key;
    Key.SetName("fk_c_c");
    Key.SetFieldList("parent");
    Key.SetReferenceTableName("c");
    Key.SetDeleteAction(tfaCascade);
    T->AddForeignKey(Key);
  }
  // 1 <- 2 <- 3, 4 <- 5, 6 alone.
  AppendMemoryRows("c", {{"id", tftInteger}, {"parent", tftInteger}},
                   {{int64_t(1), {}},
                    {int64_t(2), int64_t(1)},
                    {int64_t(3), int64_t(2)},
                    {int64_t(4), {}},
                    {int64_t(5), int64_t(4)},
                    {int64_t(6), {}}});
  std::vector<int32_t> Seen;
  Db().SetBeforeDeleteRecord([&](TTolvanDataSet*, const AnsiString&,
                                 TTolvanArrayOfTTolvanVariant Values,
                                 bool&) { Seen.push_back(Ints(Values)[0]); });
  TComponentPtr<TTolvanQuery> Q = NewQuery("DELETE FROM c WHERE id < 6 ORDER BY id");
  EXPECT_EQ(ErrorOf([&] { Q->ExecSQL(); }), "no error");
  EXPECT_EQ(Rows("SELECT id FROM c"), (std::vector<std::string>{"6"}));
  // Each record reached the handler at most once, and the count is of the records the
  // statement deleted itself.
  const std::set<int32_t> Distinct(Seen.begin(), Seen.end());
  EXPECT_EQ(Distinct.size(), Seen.size());
  EXPECT_TRUE(Distinct.count(1) && Distinct.count(4));
  EXPECT_EQ(Q->RowsAffected64(), 2);

  // Without a handler (the batch path) the same shape empties the set in one go.
  ClearHandlers();
  AppendMemoryRows("c", {{"id", tftInteger}, {"parent", tftInteger}},
                   {{int64_t(1), {}}, {int64_t(2), int64_t(1)}, {int64_t(3), int64_t(2)}});
  EXPECT_EQ(ErrorOf([&] { Exec("DELETE FROM c WHERE id < 6"); }), "no error");
  EXPECT_EQ(Rows("SELECT id FROM c"), (std::vector<std::string>{"6"}));
}

// A delete the table refuses part way (a restricting foreign key) keeps the records deleted
// before it, on both paths.
TEST_F(SQLUpdate, RefusedDeleteKeepsTheRecordsDeletedBeforeIt) {
  for (const bool ByRecord : {false, true}) {
    SCOPED_TRACE(ByRecord ? "record path" : "batch path");
    const std::string M = ByRecord ? "m2" : "m1", C = ByRecord ? "c2" : "c1";
    {
      TComponentPtr<TTolvanTable> T = MakeComponent<TTolvanTable>();
      T->SetInMemory(true);
      T->SetTableName(M);
      T->AdvFieldDefs().Add("id", tftInteger, 0, true);
      T->IndexDefs().Add("pk", "id", ixPrimary);
      T->CreateTable();
      TComponentPtr<TTolvanTable> Child = MakeComponent<TTolvanTable>();
      Child->SetInMemory(true);
      Child->SetTableName(C);
      Child->AdvFieldDefs().Add("mid", tftInteger, 0, false);
      Child->CreateTable();
      TTolvanForeignKeyDef Key;
      Key.SetName("fk_" + C);
      Key.SetFieldList("mid");
      Key.SetReferenceTableName(M);
      Key.SetDeleteAction(tfaRestrict);
      Child->AddForeignKey(Key);
    }
    AppendMemoryRows(M, {{"id", tftInteger}}, {{int64_t(1)}, {int64_t(2)}, {int64_t(3)}});
    AppendMemoryRows(C, {{"mid", tftInteger}}, {{int64_t(2)}});
    int32_t Calls = 0;
    if (ByRecord)
      Db().SetBeforeDeleteRecord([&](TTolvanDataSet*, const AnsiString&,
                                     TTolvanArrayOfTTolvanVariant, bool&) { ++Calls; });
    TComponentPtr<TTolvanQuery> Q = NewQuery("DELETE FROM " + M + " ORDER BY id");
    const std::string Error = ErrorOf([&] { Q->ExecSQL(); });
    EXPECT_NE(Error.find("Native error: 11455"), std::string::npos) << Error;
    if (ByRecord) {
      EXPECT_EQ(Calls, 2);
      ClearHandlers();
    }
    EXPECT_EQ(Rows("SELECT id FROM " + M + " ORDER BY id"), (std::vector<std::string>{"2", "3"}));
  }
}

// --- the choice of path --------------------------------------------------------------------------

// The batch path is taken only with no record-event handler, constant SETs, and no BLOB column
// given anything but the null constant. Handlers see the record path one call per record.
TEST_F(SQLUpdate, PathSelection) {
  enum THandler { None, Before, After };
  struct TCase {
    THandler Handler;
    bool Computed;
    bool BlobValue;
    bool RecordPath;
  };
  const TCase Cases[] = {
      {None, false, false, false}, {None, false, true, true},    {None, true, false, true},
      {None, true, true, true},    {Before, false, false, true}, {Before, false, true, true},
      {Before, true, false, true}, {Before, true, true, true},   {After, false, false, true},
      {After, false, true, true},  {After, true, false, true},   {After, true, true, true},
  };
  for (const TCase& C : Cases) {
    const std::string SQL = std::string("UPDATE t SET b = ") + (C.Computed ? "b + 1" : "7") +
                            ", m = " + (C.BlobValue ? "'text'" : "NULL") + " WHERE a > 1";
    SCOPED_TRACE(std::to_string(int(C.Handler)) + ": " + SQL);
    MakeMemoryTable("t", {{"a", tftInteger}, {"b", tftInteger}, {"m", tftBLOB}},
                    {{int64_t(1), int64_t(1), "one"},
                     {int64_t(2), int64_t(2), "two"},
                     {int64_t(3), int64_t(3), "three"}});
    int32_t Calls = 0;
    TTolvanDatabase& D = Db();
    if (C.Handler == Before)
      D.SetBeforeUpdateRecord([&](TTolvanDataSet*, const AnsiString&, TTolvanArrayOfTTolvanVariant,
                                  TTolvanArrayOfTTolvanVariant, bool&) { ++Calls; });
    if (C.Handler == After)
      D.SetAfterUpdateRecord([&](TTolvanDataSet*, const AnsiString&, TTolvanArrayOfTTolvanVariant,
                                 TTolvanArrayOfTTolvanVariant) { ++Calls; });
    TComponentPtr<TTolvanQuery> Q = NewQuery(SQL);
    Q->ExecSQL();
    ClearHandlers();
    EXPECT_EQ(Q->RowsAffected64(), 2);
    EXPECT_EQ(RecordPathTaken(*Q), int32_t(C.RecordPath));
    if (C.Handler != None) {
      EXPECT_EQ(Calls, 2);
    }
    const std::string B2 = C.Computed ? "3" : "7", B3 = C.Computed ? "4" : "7";
    const std::string M = C.BlobValue ? "text" : "NULL";
    EXPECT_EQ(Rows("SELECT a, b, m FROM t ORDER BY a"),
              (std::vector<std::string>{"1:1:one", "2:" + B2 + ":" + M, "3:" + B3 + ":" + M}));
  }
}

// --- the database of the statement ---------------------------------------------------------------

// From a query whose database is not in memory, UPDATE t reads FROM MEMORY t, while DELETE FROM
// t names the table of the query's own database.
TEST_F(SQLUpdate, QueryNotInMemoryUpdatesMemoryAndDeletesFromItsOwnDatabase) {
  MakeMemoryTable("t", {{"a", tftInteger}}, {{int64_t(1)}, {int64_t(2)}});
  auto OnDisk = [](std::string_view SQL) {
    TComponentPtr<TTolvanQuery> Q = MakeComponent<TTolvanQuery>();
    Q->SetInMemory(false);
    Q->SetDatabaseName("elsewhere");
    Q->SetSQLText(SQL);
    return Q;
  };
  TComponentPtr<TTolvanQuery> Upd = OnDisk("UPDATE t SET a = a * 10");
  Upd->ExecSQL();
  EXPECT_EQ(Upd->RowsAffected64(), 2);
  EXPECT_EQ(Rows("SELECT a FROM t ORDER BY a"), (std::vector<std::string>{"10", "20"}));
  // There are no disk databases, so the query's own t is not found.
  TComponentPtr<TTolvanQuery> Del = OnDisk("DELETE FROM t");
  EXPECT_EQ(ErrorOf([&] { Del->ExecSQL(); }), "Table 't' does not exist - Native error: 11505");
  EXPECT_EQ(Rows("SELECT a FROM t ORDER BY a"), (std::vector<std::string>{"10", "20"}));
}

// --- parameters ----------------------------------------------------------------------------------

TEST_F(SQLUpdate, PreparedStatementsRunAgainWithNewValues) {
  MakeMemoryTable("t", {{"a", tftInteger}, {"b", tftInteger}});
  TComponentPtr<TTolvanQuery> Ins = NewQuery("INSERT INTO t (a, b) VALUES (:a, :b)");
  for (int32_t K = 1; K <= 6; ++K) {
    Ins->ParamByName("a").SetAsInteger(K);
    Ins->ParamByName("b").SetAsInteger(K % 3);
    Ins->ExecSQL();
    EXPECT_EQ(Ins->RowsAffected64(), 1);
  }
  // A constant SET and a computed one, each run with new values.
  TComponentPtr<TTolvanQuery> Set = NewQuery("UPDATE t SET b = :v WHERE a = :a");
  TComponentPtr<TTolvanQuery> Add = NewQuery("UPDATE t SET b = b + :d WHERE b = :b");
  struct TStep {
    TTolvanQuery* Q;
    const char* P1;
    int32_t V1;
    const char* P2;
    int32_t V2;
    int64_t Affected;
    std::vector<std::string> After;
  };
  const TStep Steps[] = {
      {Set.get(), "v", 7, "a", 1, 1, {"1:7", "2:2", "3:0", "4:1", "5:2", "6:0"}},
      {Set.get(), "v", 8, "a", 3, 1, {"1:7", "2:2", "3:8", "4:1", "5:2", "6:0"}},
      {Set.get(), "v", 9, "a", 99, 0, {"1:7", "2:2", "3:8", "4:1", "5:2", "6:0"}},
      {Add.get(), "d", 100, "b", 2, 2, {"1:7", "2:102", "3:8", "4:1", "5:102", "6:0"}},
      {Add.get(), "d", 10, "b", 0, 1, {"1:7", "2:102", "3:8", "4:1", "5:102", "6:10"}},
      {Add.get(), "d", 1, "b", 102, 2, {"1:7", "2:103", "3:8", "4:1", "5:103", "6:10"}},
  };
  for (size_t I = 0; I < std::size(Steps); ++I) {
    SCOPED_TRACE(I);
    const TStep& S = Steps[I];
    S.Q->ParamByName(S.P1).SetAsInteger(S.V1);
    S.Q->ParamByName(S.P2).SetAsInteger(S.V2);
    S.Q->ExecSQL();
    EXPECT_EQ(S.Q->RowsAffected64(), S.Affected);
    EXPECT_EQ(Rows("SELECT a, b FROM t ORDER BY a"), S.After);
    // Between runs the kept statement holds no table open: an exclusive open succeeds.
    EXPECT_EQ(ErrorOf([] { OpenExclusive("t"); }), "no error");
  }
  TComponentPtr<TTolvanQuery> Del = NewQuery("DELETE FROM t WHERE a >= :lo AND a <= :hi");
  const struct {
    int32_t Lo, Hi;
    int64_t Affected;
    std::vector<std::string> After;
  } Deletes[] = {
      {2, 3, 2, {"1:7", "4:1", "5:103", "6:10"}},
      {2, 3, 0, {"1:7", "4:1", "5:103", "6:10"}},
      {5, 9, 2, {"1:7", "4:1"}},
  };
  for (const auto& S : Deletes) {
    Del->ParamByName("lo").SetAsInteger(S.Lo);
    Del->ParamByName("hi").SetAsInteger(S.Hi);
    Del->ExecSQL();
    EXPECT_EQ(Del->RowsAffected64(), S.Affected) << S.Lo;
    EXPECT_EQ(Rows("SELECT a, b FROM t ORDER BY a"), S.After) << S.Lo;
    EXPECT_EQ(ErrorOf([] { OpenExclusive("t"); }), "no error");
  }
}

// A sub-query in SET runs again for every execution and reads the data as it is then.
TEST_F(SQLUpdate, SubQueryInSetSeesRowsEditedBetweenRuns) {
  MakeMemoryTable("t", {{"a", tftInteger}, {"b", tftInteger}},
                  {{int64_t(1), int64_t(0)}, {int64_t(2), int64_t(0)}, {int64_t(3), int64_t(0)}});
  MakeMemoryTable("u", {{"x", tftInteger}}, {{int64_t(10)}});
  TComponentPtr<TTolvanQuery> Q = NewQuery("UPDATE t SET b = (SELECT MAX(x) FROM u) WHERE a = :a");
  for (int32_t K = 1; K <= 3; ++K) {
    Q->ParamByName("a").SetAsInteger(K);
    Q->ExecSQL();
    EXPECT_EQ(Q->RowsAffected64(), 1);
    // Between runs u changes, through another statement and through a table component.
    Exec("UPDATE u SET x = x + 5");
    AppendMemoryRows("u", {{"x", tftInteger}}, {{int64_t(K)}});
  }
  EXPECT_EQ(Rows("SELECT a, b FROM t ORDER BY a"),
            (std::vector<std::string>{"1:10", "2:15", "3:20"}));
}

} // namespace
} // namespace tolvan::test
