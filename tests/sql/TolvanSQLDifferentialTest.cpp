// Random SELECT statements run through TTolvanQuery against the brute-force evaluator of
// SqlModel, over random MEMORY tables; and one kept query re-run with changing parameter values
// while the tables change, against a fresh query and the evaluator.
#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "classlib/DBFields.h"
#include "classlib/DBParams.h"
#include "classlib/DateUtils.h"
#include "components/TolvanComponentStartup.h"
#include "components/TolvanQuery.h"
#include "components/TolvanTable.h"
#include "foundation/TolvanExcept.h"
#include "sql/TolvanSQLStartup.h"
#include "tests/sql/support/SqlModel.h"

namespace tolvan::test {
namespace {

using namespace sqlmodel;
using TRows = std::vector<std::vector<std::string>>;

TTolvanFieldType FieldTypeOf(TColType T) {
  switch (T) {
  case ctInt:
    return tftInteger;
  case ctFloat:
    return tftDouble;
  case ctText:
    return tftVarchar;
  default:
    return tftDate;
  }
}

void StoreValue(TField& F, const TVal& V) {
  if (V.Null) {
    F.Clear();
    return;
  }
  switch (V.Type) {
  case ctInt:
    F.SetAsLargeInt(V.I);
    break;
  case ctFloat:
    F.SetAsFloat(V.F);
    break;
  case ctText:
    F.SetAsString(V.S);
    break;
  case ctDate:
    F.SetAsDateTime(TDateTime(V.I));
    break;
  }
}

TComponentPtr<TTolvanTable> OpenTable(const std::string& Name) {
  TComponentPtr<TTolvanTable> T = MakeComponent<TTolvanTable>();
  T->SetInMemory(true);
  T->SetTableName(Name);
  T->Open();
  return T;
}

void MakeTables(const TDatabase& Db) {
  for (const TTable& Tab : Db) {
    TComponentPtr<TTolvanTable> T = MakeComponent<TTolvanTable>();
    T->SetInMemory(true);
    T->SetTableName(Tab.Name);
    for (const TColumn& C : Tab.Columns)
      T->AdvFieldDefs().Add(C.Name, FieldTypeOf(C.Type), C.Type == ctText ? 8 : 0, false);
    for (const TIndex& X : Tab.Indexes) {
      TIndexDef& D = T->IndexDefs().Add(X.Name, X.Column, X.Unique ? ixUnique : TIndexOptions(0));
      if (X.Descending)
        D.SetDescFields(X.Column);
      if (X.NoCase)
        D.SetCaseInsFields(X.Column);
    }
    T->CreateTable();
    T->Open();
    for (const auto& Row : Tab.Rows) {
      T->Append();
      for (size_t C = 0; C < Row.size(); ++C)
        StoreValue(T->FieldByName(Tab.Columns[C].Name), Row[C]);
      T->Post();
    }
    T->Close();
  }
}

// A value as the model writes it: numbers with three decimals, dates as yyyy-mm-dd.
std::string Canonical(const TField& F) {
  if (F.IsNull())
    return "NULL";
  char B[64];
  switch (F.DataType()) {
  case ftSmallint:
  case ftInteger:
  case ftWord:
  case ftAutoInc:
  case ftLargeint:
    std::snprintf(B, sizeof B, "%.3f", double(F.AsLargeInt()));
    return B;
  case ftFloat:
  case ftCurrency:
  case ftBCD:
  case ftFMTBcd:
    std::snprintf(B, sizeof B, "%.3f", F.AsFloat() == 0 ? 0.0 : F.AsFloat());
    return std::string(B) == "-0.000" ? "0.000" : B;
  case ftDate:
  case ftDateTime:
  case ftTimeStamp:
    return FormatDateTime("yyyy-mm-dd", F.AsDateTime());
  default:
    return F.AsString();
  }
}

TRows ReadRows(TTolvanQuery& Q) {
  TRows Rows;
  const int32_t Count = Q.Fields().Count();
  for (Q.First(); !Q.Eof(); Q.Next()) {
    std::vector<std::string> Row;
    for (int32_t C = 0; C < Count; ++C)
      Row.push_back(Canonical(Q.Fields()[C]));
    Rows.push_back(std::move(Row));
  }
  return Rows;
}

void SetParams(TTolvanQuery& Q, const TParamValues& Values) {
  for (const auto& [Name, V] : Values)
    if (TParam* P = Q.Params().FindParam(Name)) {
      if (V.Null)
        P->Clear();
      else
        P->SetAsInteger(int32_t(V.I));
    }
}

// The rows of a fresh query, or the error it raised (as its message).
TRows FreshRows(const std::string& Sql, const TParamValues& Params, std::string& Error) {
  try {
    TComponentPtr<TTolvanQuery> Q = MakeComponent<TTolvanQuery>();
    Q->SetInMemory(true);
    Q->SetSQLText(Sql);
    SetParams(*Q, Params);
    Q->Open();
    TRows Rows = ReadRows(*Q);
    Q->Close();
    return Rows;
  } catch (const Exception& E) {
    Error = E.Message();
  }
  return {};
}

std::string Tables(const TDatabase& Db) {
  std::string S;
  for (const TTable& T : Db)
    S += T.Dump();
  return S;
}

// Empty when Actual equals the model's result; otherwise the difference shown.
std::string Difference(const TResult& Expected, const TRows& Actual) {
  const bool Same =
      Expected.Ordered ? Expected.Rows == Actual : Sorted(Expected.Rows) == Sorted(Actual);
  if (Same)
    return {};
  return std::string("expected") + (Expected.Ordered ? " (in this order)" : "") + ":\n" +
         RowsText(Expected.Ordered ? Expected.Rows : Sorted(Expected.Rows)) + "actual:\n" +
         RowsText(Expected.Ordered ? Actual : Sorted(Actual));
}

class SQLDifferentialBase : public ::testing::TestWithParam<uint32_t> {
protected:
  TComponentRegistriesScope Registries;
  SQLDifferentialBase() { InitSQLLayer(); }

  void RunSeed(uint32_t Seed, int Statements) {
    std::mt19937 Random(Seed);
    const TDatabase Db = RandomTables(Random);
    MakeTables(Db);
    TGenerator Gen(Db, Seed * 7919u + 1);
    int Failures = 0;
    for (int I = 0; I < Statements && Failures < 5; ++I) {
      const TStatement S = Gen.Next();
      std::string Error;
      const TRows Actual = FreshRows(S.Sql, {}, Error);
      const std::string Diff =
          Error.empty() ? Difference(S.Evaluate(Db, {}), Actual) : "error: " + Error + "\n";
      if (!Diff.empty()) {
        ++Failures;
        ADD_FAILURE() << "seed " << Seed << ", statement " << I << ":\n"
                      << S.Sql << "\n"
                      << Diff << "tables:\n"
                      << Tables(Db);
      }
    }
  }
};

class SQLDifferential : public SQLDifferentialBase {};
class SQLDifferentialSlow : public SQLDifferentialBase {};

// Ten seeds of 200 statements each.
TEST_P(SQLDifferential, StatementsEqualTheModel) { RunSeed(GetParam(), 200); }
INSTANTIATE_TEST_SUITE_P(Seeds, SQLDifferential, ::testing::Range(1u, 11u));

// Fifty seeds of 1000 statements each.
TEST_P(SQLDifferentialSlow, StatementsEqualTheModel) { RunSeed(GetParam(), 1000); }
INSTANTIATE_TEST_SUITE_P(Seeds, SQLDifferentialSlow, ::testing::Range(1000u, 1050u));

// --- re-runs
// --------------------------------------------------------------------------------------

// Changes one row of a table in the engine and in the model: a cell, a new row or a deletion.
void EditTable(std::mt19937& Random, TDatabase& Db) {
  TTable& Tab = Db[Random() % Db.size()];
  TComponentPtr<TTolvanTable> T = OpenTable(Tab.Name);
  const int Kind = Tab.Rows.empty() ? 1 : int(Random() % 3);
  if (Kind == 1) {
    int64_t Id = 0;
    for (const auto& Row : Tab.Rows)
      Id = std::max(Id, Row[0].I);
    std::vector<TVal> Row{TVal::Int(Id + 1)};
    for (size_t C = 1; C < Tab.Columns.size(); ++C)
      Row.push_back(RandomValue(Random, Tab.Columns[C].Type));
    T->Append();
    for (size_t C = 0; C < Row.size(); ++C)
      StoreValue(T->FieldByName(Tab.Columns[C].Name), Row[C]);
    T->Post();
    Tab.Rows.push_back(std::move(Row));
    return;
  }
  const size_t R = Random() % Tab.Rows.size();
  for (T->First(); !T->Eof(); T->Next())
    if (T->FieldByName("id").AsLargeInt() == Tab.Rows[R][0].I)
      break;
  ASSERT_FALSE(T->Eof()) << "row " << Tab.Rows[R][0].I << " of " << Tab.Name;
  if (Kind == 2) {
    T->Delete();
    Tab.Rows.erase(Tab.Rows.begin() + std::ptrdiff_t(R));
    return;
  }
  const size_t C = 1 + Random() % (Tab.Columns.size() - 1);
  const TVal V = RandomValue(Random, Tab.Columns[C].Type);
  T->Edit();
  StoreValue(T->FieldByName(Tab.Columns[C].Name), V);
  T->Post();
  Tab.Rows[R][C] = V;
}

class SQLRerun : public ::testing::Test {
protected:
  TComponentRegistriesScope Registries;
  SQLRerun() { InitSQLLayer(); }
};

// One kept query per statement runs again and again while its parameter values change and the
// tables are edited between runs; every run equals a fresh query and the evaluator.
TEST_F(SQLRerun, KeptQueryEqualsFreshRunAndModel) {
  for (uint32_t Seed = 1; Seed <= 4; ++Seed) {
    std::mt19937 Random(Seed);
    TDatabase Db = RandomTables(Random, 12);
    MakeTables(Db);
    TGenerator Gen(Db, Seed);
    int Failures = 0;
    for (int I = 0; I < 12 && Failures < 3; ++I) {
      const TStatement S = Gen.NextWithParams();
      TComponentPtr<TTolvanQuery> Kept = MakeComponent<TTolvanQuery>();
      Kept->SetInMemory(true);
      Kept->SetSQLText(S.Sql);
      for (int Run = 0; Run < 5 && Failures < 3; ++Run) {
        TParamValues Params = {{"p1", TVal::Int(int(Random() % 7) - 2)},
                               {"p2", TVal::Int(int(Random() % 4))}};
        if (Run > 0 && Random() % 2)
          EditTable(Random, Db);
        std::string Error;
        TRows KeptRows;
        try {
          SetParams(*Kept, Params);
          Kept->Open();
          KeptRows = ReadRows(*Kept);
          Kept->Close();
        } catch (const Exception& E) {
          Error = "kept query: " + E.Message();
        }
        std::string FreshError;
        const TRows Fresh = FreshRows(S.Sql, Params, FreshError);
        const TResult Model = S.Evaluate(Db, Params);
        std::string Diff;
        if (!Error.empty() || !FreshError.empty())
          Diff = Error + (Error.empty() ? "" : "\n") + FreshError + "\n";
        else {
          if (std::string D = Difference(Model, KeptRows); !D.empty())
            Diff = "kept query against the model: " + D;
          if (std::string D = Difference(Model, Fresh); !D.empty())
            Diff += "fresh query against the model: " + D;
        }
        if (!Diff.empty()) {
          ++Failures;
          ADD_FAILURE() << "seed " << Seed << ", statement " << I << ", run " << Run
                        << " (p1 = " << Params["p1"].I << ", p2 = " << Params["p2"].I << "):\n"
                        << S.Sql << "\n"
                        << Diff << "tables:\n"
                        << Tables(Db);
        }
      }
    }
  }
}

} // namespace
} // namespace tolvan::test
