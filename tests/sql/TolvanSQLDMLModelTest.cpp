// Seeded random INSERT, UPDATE and DELETE statements run through one TTolvanQuery against a
// std::vector model of the engine's rules, over a MEMORY table t with a unique index, a plain
// index, a VARCHAR(8) column with a default and a column with check bounds and a default.
//
// Every row of t carries an auto-increment tag that no statement names: it lets the model follow
// each record through a statement, so a statement that fails half-way can be checked record by
// record (each changed record is a candidate and wholly changed, nothing else changed).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "classlib/DBFields.h"
#include "components/TolvanDatabase.h"
#include "components/TolvanDefs.h"
#include "components/TolvanQuery.h"
#include "components/TolvanTable.h"
#include "foundation/TolvanExcept.h"
#include "sql/TolvanSQLStartup.h"
#include "storage/TolvanDatabaseData.h"
#include "storage/memory/TolvanMemoryEngine.h"
#include "tests/sql/support/TestAOTables.h"
#include "tests/storage/MemoryEngineTestSupport.h"

namespace tolvan::test {
namespace {

// UPDATE and DELETE statements join the random mix once the engine runs them.
constexpr bool GenerateUpdateAndDelete = false;

constexpr int32_t ErrKeyViolation = 30320;
constexpr int32_t ErrInsertSelectFailed = 11350;
constexpr int32_t ErrBelowMinimum = 30029;
constexpr int32_t ErrAboveMaximum = 30030;

constexpr int32_t LowC = 0, HighC = 100, DefaultC = 50;
constexpr const char* DefaultS = "dflt";
constexpr size_t SizeS = 8;

using TInt = std::optional<int32_t>;
using TText = std::optional<std::string>;

struct TRow {
  TInt Id, K;
  TText S;
  TInt C;
  int64_t Tag = 0; // the record's identity; 0 while the model has not seen the record
  bool SameValues(const TRow& O) const { return Id == O.Id && K == O.K && S == O.S && C == O.C; }
};

std::string Num(const TInt& V) { return V ? std::to_string(*V) : "NULL"; }
std::string Lit(const TText& V) { return V ? "'" + *V + "'" : "NULL"; }
[[maybe_unused]] std::string Show(const TRow& R) {
  return "(" + Num(R.Id) + ", " + Num(R.K) + ", " + (R.S ? *R.S : "NULL") + ", " + Num(R.C) +
         ")#" + std::to_string(R.Tag);
}
std::string ShowValues(const TRow& R) {
  return Num(R.Id) + "|" + Num(R.K) + "|" + (R.S ? *R.S : "NULL") + "|" + Num(R.C);
}

// Text as a VARCHAR(8) column stores it: the empty string is NULL, longer text is cut.
TText Stored(const TText& S) {
  if (!S || S->empty())
    return std::nullopt;
  return S->substr(0, SizeS);
}

[[maybe_unused]] bool InBounds(const TInt& C) { return !C || (*C >= LowC && *C <= HighC); }

// --- expressions the generator writes, with their value in the model ------------------------

enum TColumn { colId, colK, colS, colC };
const char* const ColumnNames[] = {"id", "k", "s", "c"};

TInt IntOf(const TRow& R, TColumn C) {
  switch (C) {
  case colId:
    return R.Id;
  case colK:
    return R.K;
  default:
    return R.C;
  }
}

[[maybe_unused]] void SetIntOf(TRow& R, TColumn C, TInt V) {
  switch (C) {
  case colId:
    R.Id = V;
    break;
  case colK:
    R.K = V;
    break;
  default:
    R.C = V;
    break;
  }
}

// A value for a SET or a VALUES item: a constant, or a column plus a constant.
struct TValue {
  bool IsText = false;
  TText Text;   // a text constant
  TInt Number;  // an integer constant, or the addend
  std::optional<TColumn> Source; // computed: Source + Number
  std::string Sql() const {
    if (IsText)
      return Lit(Text);
    if (!Source)
      return Num(Number);
    const int32_t N = *Number;
    return std::string(ColumnNames[*Source]) + (N < 0 ? " - " : " + ") + std::to_string(N < 0 ? -N : N);
  }
  // The value as the column stores it.
  TInt IntFor(const TRow& R) const {
    if (!Source)
      return Number;
    const TInt V = IntOf(R, *Source);
    return V ? TInt(*V + *Number) : std::nullopt;
  }
  TText TextFor() const { return Stored(Text); }
};

// Three-valued truth.
enum TTruth { tvFalse, tvTrue, tvUnknown };

TTruth Compare(const TInt& A, const std::string& Op, int32_t B) {
  if (!A)
    return tvUnknown;
  bool R = false;
  if (Op == "=")
    R = *A == B;
  else if (Op == "<>")
    R = *A != B;
  else if (Op == "<")
    R = *A < B;
  else if (Op == "<=")
    R = *A <= B;
  else if (Op == ">")
    R = *A > B;
  else
    R = *A >= B;
  return R ? tvTrue : tvFalse;
}

// One comparison of a WHERE clause.
struct TAtom {
  enum TKind { akCompare, akIn, akBetween, akIsNull, akIsNotNull, akEqualsNull, akText } Kind;
  TColumn Column = colId;
  std::string Op;
  std::vector<int32_t> Numbers;
  std::string Text;

  std::string Sql() const {
    const std::string Col = ColumnNames[Column];
    switch (Kind) {
    case akCompare:
      return Col + " " + Op + " " + std::to_string(Numbers[0]);
    case akIn: {
      std::string S = Col + " IN (";
      for (size_t I = 0; I < Numbers.size(); ++I)
        S += (I ? ", " : "") + std::to_string(Numbers[I]);
      return S + ")";
    }
    case akBetween:
      return Col + " BETWEEN " + std::to_string(Numbers[0]) + " AND " + std::to_string(Numbers[1]);
    case akIsNull:
      return Col + " IS NULL";
    case akIsNotNull:
      return Col + " IS NOT NULL";
    case akEqualsNull:
      return Col + " = NULL";
    default:
      return "s " + Op + " '" + Text + "'";
    }
  }

  TTruth Eval(const TRow& R) const {
    if (Column == colS) {
      if (Kind == akIsNull || Kind == akEqualsNull)
        return R.S ? tvFalse : tvTrue;
      if (Kind == akIsNotNull)
        return R.S ? tvTrue : tvFalse;
      if (!R.S)
        return tvUnknown;
      return (Op == "=") == (*R.S == Text) ? tvTrue : tvFalse;
    }
    const TInt V = IntOf(R, Column);
    switch (Kind) {
    case akCompare:
      return Compare(V, Op, Numbers[0]);
    case akIn:
      if (!V)
        return tvUnknown;
      return std::find(Numbers.begin(), Numbers.end(), *V) != Numbers.end() ? tvTrue : tvFalse;
    case akBetween:
      if (!V)
        return tvUnknown;
      return *V >= Numbers[0] && *V <= Numbers[1] ? tvTrue : tvFalse;
    case akIsNull:
    case akEqualsNull: // "= NULL" asks whether the value is null
      return V ? tvFalse : tvTrue;
    default:
      return V ? tvTrue : tvFalse;
    }
  }
};

// A WHERE clause: one atom, or two joined by AND or OR.
struct TWhere {
  std::vector<TAtom> Atoms;
  bool Or = false;
  std::string Sql() const {
    if (Atoms.size() == 1)
      return Atoms[0].Sql();
    return "(" + Atoms[0].Sql() + ")" + (Or ? " OR " : " AND ") + "(" + Atoms[1].Sql() + ")";
  }
  bool Holds(const TRow& R) const {
    const TTruth A = Atoms[0].Eval(R);
    if (Atoms.size() == 1)
      return A == tvTrue;
    const TTruth B = Atoms[1].Eval(R);
    if (Or)
      return A == tvTrue || B == tvTrue;
    return A == tvTrue && B == tvTrue;
  }
};

// --- what a statement should do ---------------------------------------------------------------

struct TPrediction {
  std::string Sql;
  // Success: the rows affected. The model's rows after the statement are computed by Apply.
  int64_t Count = 0;
  // Codes the statement may fail with; empty: it must succeed.
  std::set<int32_t> Codes;
  // The statement must fail (with one of Codes); otherwise success is allowed too.
  bool MustFail = false;
  // Rows the statement adds, values only (INSERT). On a failing INSERT ... SELECT, exactly the
  // rows that could be copied.
  std::vector<TRow> Added;
  // UPDATE / DELETE: the tags of the candidates and, for UPDATE, their new values.
  std::map<int64_t, TRow> Changed;
  std::set<int64_t> Deleted;
  bool Update = false, Delete = false;
  // The number of record events the statement fires on success (record path), or -1.
  int64_t Events = -1;
};

// --- the test ---------------------------------------------------------------------------------

class SQLDMLModelBase : public AOTest {
protected:
  SQLDMLModelBase() { InitSQLLayer(); }

  static void MakeTable(std::string_view Name, bool Constraints) {
    TComponentPtr<TTolvanTable> T = MakeComponent<TTolvanTable>();
    T->SetInMemory(true);
    T->SetTableName(Name);
    T->AdvFieldDefs().Add("id", tftInteger, 0, false);
    T->AdvFieldDefs().Add("k", tftInteger, 0, false);
    TTolvanAdvFieldDef& S = T->AdvFieldDefs().Add("s", tftVarchar, int32_t(SizeS), false);
    TTolvanAdvFieldDef& C = T->AdvFieldDefs().Add("c", tftInteger, 0, false);
    if (Constraints) {
      S.DefaultValue().SetAsString(DefaultS);
      C.DefaultValue().SetAsInteger(DefaultC);
      C.MinValue().SetAsInteger(LowC);
      C.MaxValue().SetAsInteger(HighC);
      T->AdvFieldDefs().Add("tag", tftAutoInc, 0, false);
      T->IndexDefs().Add(std::string(Name) + "_id", "id", ixUnique);
      T->IndexDefs().Add(std::string(Name) + "_k", "k", TIndexOptions(0));
    }
    T->CreateTable();
  }

  static TComponentPtr<TTolvanTable> OpenTable(std::string_view Name) {
    TComponentPtr<TTolvanTable> T = MakeComponent<TTolvanTable>();
    T->SetInMemory(true);
    T->SetTableName(Name);
    T->Open();
    return T;
  }

  // Runs Sql; answers the native code it raised: 0 for none; an error the dataset layer passes on
  // carries the code at the end of its text; -1 for an error without one. Message holds the text.
  int32_t Run(std::string_view Sql, std::string& Message) {
    Message.clear();
    try {
      FQuery->SetSQLText(Sql);
      FQuery->ExecSQL();
      return 0;
    } catch (const ETolvanException& E) {
      Message = E.Message();
      return E.NativeError();
    } catch (const Exception& E) {
      Message = "class library: " + E.Message();
      const size_t At = Message.rfind("Native error: ");
      return At == std::string::npos ? -1 : std::atoi(Message.c_str() + At + 14);
    }
  }

  static std::vector<TRow> ReadT() {
    TComponentPtr<TTolvanQuery> Q = MakeComponent<TTolvanQuery>();
    Q->SetInMemory(true);
    Q->SetSQLText("SELECT * FROM t ORDER BY id");
    Q->Open();
    std::vector<TRow> Rows;
    for (; !Q->Eof(); Q->Next()) {
      TRow R;
      auto Int = [&](const char* Name) -> TInt {
        TField& F = Q->FieldByName(Name);
        return F.IsNull() ? std::nullopt : TInt(F.AsInteger());
      };
      R.Id = Int("id");
      R.K = Int("k");
      R.C = Int("c");
      if (!Q->FieldByName("s").IsNull())
        R.S = Q->FieldByName("s").AsString();
      R.Tag = Q->FieldByName("tag").AsLargeInt();
      Rows.push_back(R);
    }
    Q->Close();
    return Rows;
  }

  // The faults of t's store and indexes ("" when they agree).
  std::string IndexFaults() {
    TTolvanDatabaseData* Db = FindDatabaseData(true, false, "MEMORY", u"");
    auto* Table = Db ? dynamic_cast<TTolvanMemoryTableData*>(Db->FindTableData("t")) : nullptr;
    if (!Table)
      return "table t not found";
    return MemoryTableFaults(*Table, FHolder->Database()->EngineSession()->SessionID());
  }

  void SetUpTables() {
    MakeTable("t", true);
    MakeTable("u", false);
    FHolder = OpenTable("u");
    FQuery = MakeComponent<TTolvanQuery>();
    FQuery->SetInMemory(true);
  }

  TComponentPtr<TTolvanTable> FHolder; // keeps the MEMORY database component reachable
  TComponentPtr<TTolvanQuery> FQuery;
};

// --- the engine's rules that the model assumes, each on a small case --------------------------

class SQLDMLRules : public SQLDMLModelBase {
protected:
  SQLDMLRules() { SetUpTables(); }

  std::string Rows() {
    std::string Out;
    for (const TRow& R : ReadT())
      Out += ShowValues(R) + ";";
    return Out;
  }
};

TEST_F(SQLDMLRules, InsertDefaultsTextAndBounds) {
  std::string Message;
  // Defaults fill what the statement leaves; an explicit NULL stays NULL.
  ASSERT_EQ(Run("INSERT INTO t (id) VALUES (1)", Message), 0) << Message;
  ASSERT_EQ(Run("INSERT INTO t VALUES (2, 3, NULL, NULL)", Message), 0) << Message;
  // The empty string is NULL, not the default; long text is cut.
  ASSERT_EQ(Run("INSERT INTO t (s, id) VALUES ('', 3)", Message), 0) << Message;
  ASSERT_EQ(Run("INSERT INTO t (id, s) VALUES (4, 'abcdefghijk')", Message), 0) << Message;
  // Bounds are inclusive.
  ASSERT_EQ(Run("INSERT INTO t (id, c) VALUES (5, 0)", Message), 0) << Message;
  ASSERT_EQ(Run("INSERT INTO t (id, c) VALUES (6, 100)", Message), 0) << Message;
  EXPECT_EQ(Run("INSERT INTO t (id, c) VALUES (7, -1)", Message), ErrBelowMinimum) << Message;
  EXPECT_EQ(Run("INSERT INTO t (id, c) VALUES (8, 101)", Message), ErrAboveMaximum) << Message;
  // By position when the list's count differs from the values'.
  ASSERT_EQ(Run("INSERT INTO t (c) VALUES (9, 10)", Message), 0) << Message;
  EXPECT_EQ(Rows(), "1|NULL|dflt|50;2|3|NULL|NULL;3|NULL|NULL|50;4|NULL|abcdefgh|50;5|NULL|dflt|0;"
                    "6|NULL|dflt|100;9|10|dflt|50;");
}

TEST_F(SQLDMLRules, NullKeysCollide) {
  std::string Message;
  ASSERT_EQ(Run("INSERT INTO t (k) VALUES (1)", Message), 0) << Message;
  EXPECT_EQ(Run("INSERT INTO t", Message), ErrKeyViolation) << Message;
  EXPECT_EQ(Run("INSERT INTO t VALUES (NULL, 2, 'x', 3)", Message), ErrKeyViolation) << Message;
  EXPECT_EQ(Rows(), "NULL|1|dflt|50;");
  EXPECT_EQ(IndexFaults(), "");
}

TEST_F(SQLDMLRules, InsertSelectFillsDefaultsAndKeepsWhatCouldBeCopied) {
  AppendMemoryRows("u", {{"id"}, {"k"}, {"s", tftVarchar, 8}, {"c"}},
                   {{int64_t(1), int64_t(1), std::string("a"), int64_t(5)},
                    {int64_t(2), int64_t(2), std::string("b"), int64_t(500)},
                    {int64_t(1), int64_t(3), std::string("c"), int64_t(6)},
                    {int64_t(4), int64_t(4), std::string(""), int64_t(7)}});
  std::string Message;
  EXPECT_EQ(Run("INSERT INTO t (k) SELECT id, s FROM u", Message), ErrInsertSelectFailed)
      << Message;
  EXPECT_EQ(Rows(), "1|NULL|a|50;2|NULL|b|50;4|NULL|NULL|50;");
  EXPECT_EQ(Run("INSERT INTO t SELECT id + 10 AS id, c FROM u", Message), ErrInsertSelectFailed)
      << Message;
  EXPECT_EQ(Rows(), "1|NULL|a|50;2|NULL|b|50;4|NULL|NULL|50;11|NULL|dflt|5;14|NULL|dflt|7;");
  EXPECT_EQ(IndexFaults(), "");
}

} // namespace
} // namespace tolvan::test
