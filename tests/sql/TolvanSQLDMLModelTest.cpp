// Seeded random INSERT, UPDATE and DELETE statements run through one TTolvanQuery against a
// std::vector model of the engine's rules, over a MEMORY table t with a unique index, a plain
// index, a VARCHAR(8) column with a default and a column with check bounds and a default.
//
// Every row of t carries an auto-increment tag that no statement names: it lets the model follow
// each record through a statement, so a statement that fails half-way can be checked record by
// record (each changed record is a candidate and wholly changed, nothing else changed).
//
// The engine's rules the model applies: two NULL ids collide in the unique index; the empty
// string is stored as NULL and longer text is cut; the bounds are inclusive and NULL passes them;
// a comparison with NULL is false except "<>", which is true, while "= NULL" and "<> NULL" ask
// IS NULL and IS NOT NULL; IN and BETWEEN of a NULL are unknown; NULL + n and NULL - n are n and
// -n; a statement that fails keeps the records it changed before.
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
std::string Show(const TRow& R) {
  return "(" + Num(R.Id) + ", " + Num(R.K) + ", " + (R.S ? *R.S : "NULL") + ", " + Num(R.C) + ")#" +
         std::to_string(R.Tag);
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

void SetIntOf(TRow& R, TColumn C, TInt V) {
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

// The value of "V + N" (N >= 0) or "V - -N" (N < 0). A null first operand of "+" takes the
// other operand's value, and "V - M" adds the negated M: so a null V gives N either way.
TInt Plus(const TInt& V, int32_t N) { return V ? *V + N : N; }

// "Col + N" or "Col - -N".
std::string PlusSql(const std::string& Col, int32_t N) {
  return Col + (N < 0 ? " - " : " + ") + std::to_string(N < 0 ? -N : N);
}

// A value for a SET or a VALUES item: a constant, or a column plus a constant.
struct TValue {
  bool IsText = false;
  TText Text;                    // a text constant
  TInt Number;                   // an integer constant, or the addend
  std::optional<TColumn> Source; // computed: Source + Number
  std::string Sql() const {
    if (IsText)
      return Lit(Text);
    if (!Source)
      return Num(Number);
    return PlusSql(ColumnNames[*Source], *Number);
  }
  // The value as the column stores it.
  TInt IntFor(const TRow& R) const {
    if (!Source)
      return Number;
    return Plus(IntOf(R, *Source), *Number);
  }
  TText TextFor() const { return Stored(Text); }
};

// Three-valued truth.
enum TTruth { tvFalse, tvTrue, tvUnknown };

// A comparison with a null is false, except "<>", which is true.
TTruth Compare(const TInt& A, const std::string& Op, int32_t B) {
  if (!A)
    return Op == "<>" ? tvTrue : tvFalse;
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
  enum TKind {
    akCompare,
    akIn,
    akBetween,
    akIsNull,
    akIsNotNull,
    akEqualsNull,
    akNotEqualsNull,
    akText
  } Kind;
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
    case akNotEqualsNull:
      return Col + " <> NULL";
    default:
      return "s " + Op + " '" + Text + "'";
    }
  }

  TTruth Eval(const TRow& R) const {
    if (Column == colS) {
      if (Kind == akIsNull || Kind == akEqualsNull)
        return R.S ? tvFalse : tvTrue;
      if (Kind == akIsNotNull || Kind == akNotEqualsNull)
        return R.S ? tvTrue : tvFalse;
      if (!R.S)
        return Op == "<>" ? tvTrue : tvFalse;
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
    default: // IS NOT NULL, "<> NULL"
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

// --- the random statements ------------------------------------------------------------------

const char* const TextPool[] = {"",      "a",        "b",          "ab",          "abc",
                                "hello", "abcdefgh", "abcdefghij", "zzzzzzzzzzzz"};

class TGenerator {
public:
  explicit TGenerator(uint32_t Seed) : FRandom(Seed) {}

  int32_t Between(int32_t Lo, int32_t Hi) {
    return Lo + int32_t(FRandom() % uint32_t(Hi - Lo + 1));
  }
  bool Chance(int32_t Percent) { return Between(1, 100) <= Percent; }

  TInt Id() { return Chance(6) ? std::nullopt : TInt(Between(0, 39)); }
  TInt K() { return Chance(8) ? std::nullopt : TInt(Between(0, 7)); }
  TInt C() {
    if (Chance(8))
      return std::nullopt;
    if (Chance(6))
      return Chance(50) ? Between(-5, -1) : Between(101, 105);
    return Between(0, 100);
  }
  TText Text() {
    if (Chance(10))
      return std::nullopt;
    return std::string(TextPool[Between(0, int32_t(std::size(TextPool)) - 1)]);
  }
  TInt IntFor(TColumn C) { return C == colId ? Id() : C == colK ? K() : this->C(); }

  TAtom Atom() {
    TAtom A;
    A.Column = TColumn(Between(0, 3));
    if (A.Column == colS) {
      static const TAtom::TKind Kinds[] = {TAtom::akIsNull, TAtom::akEqualsNull,
                                           TAtom::akNotEqualsNull, TAtom::akText, TAtom::akText};
      A.Kind = Kinds[Between(0, 4)];
      A.Op = Chance(70) ? "=" : "<>";
      A.Text = Stored(std::string(TextPool[Between(1, int32_t(std::size(TextPool)) - 1)])).value();
      return A;
    }
    const int32_t Hi = A.Column == colId ? 40 : A.Column == colK ? 8 : 100;
    switch (Between(0, 7)) {
    case 0:
    case 1: {
      static const char* const Ops[] = {"=", "<>", "<", "<=", ">", ">="};
      A.Kind = TAtom::akCompare;
      A.Op = Ops[Between(0, 5)];
      A.Numbers = {Between(0, Hi)};
      break;
    }
    case 2:
      A.Kind = TAtom::akIn;
      for (int32_t I = Between(1, 4); I > 0; --I)
        A.Numbers.push_back(Between(0, Hi));
      break;
    case 3: {
      A.Kind = TAtom::akBetween;
      const int32_t Lo = Between(0, Hi);
      A.Numbers = {Lo, Lo + Between(-2, Hi / 3)};
      break;
    }
    case 4:
      A.Kind = TAtom::akIsNull;
      break;
    case 5:
      A.Kind = TAtom::akIsNotNull;
      break;
    case 6:
      A.Kind = TAtom::akNotEqualsNull;
      break;
    default:
      A.Kind = TAtom::akEqualsNull;
      break;
    }
    return A;
  }

  TWhere Where() {
    TWhere W;
    W.Atoms.push_back(Atom());
    if (Chance(35)) {
      W.Atoms.push_back(Atom());
      W.Or = Chance(50);
    }
    return W;
  }

  // A value for column Col: mostly a constant, sometimes computed from a column of the row.
  TValue Value(TColumn Col, bool AllowComputed) {
    TValue V;
    if (Col == colS) {
      V.IsText = true;
      V.Text = Text();
      return V;
    }
    if (AllowComputed && Chance(45)) {
      static const TColumn Sources[] = {colId, colK, colC};
      V.Source = Sources[Between(0, 2)];
      if (Col == colId && Chance(50))
        V.Source = colId;
      V.Number = Between(-12, 12);
      return V;
    }
    V.Number = IntFor(Col);
    return V;
  }

  std::mt19937& Random() { return FRandom; }

private:
  std::mt19937 FRandom;
};

class SQLDMLModel : public SQLDMLModelBase, public ::testing::WithParamInterface<uint32_t> {
protected:
  SQLDMLModel() { SetUpTables(); }

  // Runs Statements random statements of seed Seed; stops at the first disagreement.
  void RunSeed(uint32_t Seed, int32_t Statements) {
    TGenerator Gen(Seed);
    FHandlers = Seed % 2 == 1;
    MakeSide(Gen);
    if (FHandlers)
      AssignHandlers();
    std::map<std::string, int32_t> Outcomes;
    int32_t Step = 0;
    for (; Step < Statements; ++Step) {
      const TPrediction P = Next(Gen);
      const std::string Fault = Check(P, Outcomes);
      if (!Fault.empty()) {
        std::string Table;
        for (const TRow& R : FBefore)
          Table += "  " + Show(R) + "\n";
        ADD_FAILURE() << "seed " << Seed << ", statement " << Step << " ("
                      << (FHandlers ? "record events assigned" : "no record events") << "):\n  "
                      << P.Sql << "\n"
                      << Fault << "\ntable before:\n"
                      << Table;
        break;
      }
    }
    // The run reached the outcomes that matter.
    if (Step == Statements && Statements >= 500) {
      EXPECT_GT(Outcomes["ok"], 0);
      EXPECT_GT(Outcomes[std::to_string(ErrKeyViolation)], 0);
      EXPECT_GT(Outcomes[std::to_string(ErrInsertSelectFailed)], 0);
      EXPECT_GT(
          Outcomes[std::to_string(ErrBelowMinimum)] + Outcomes[std::to_string(ErrAboveMaximum)], 0);
    }
    FDatabase()->SetBeforeUpdateRecord(nullptr);
    FDatabase()->SetBeforeDeleteRecord(nullptr);
  }

private:
  TTolvanDatabase* FDatabase() { return FHolder->Database(); }

  void AssignHandlers() {
    FDatabase()->SetBeforeUpdateRecord([this](TTolvanDataSet* Sender, const AnsiString&,
                                              TTolvanArrayOfTTolvanVariant,
                                              TTolvanArrayOfTTolvanVariant, bool&) {
      ++FUpdateEvents;
      FForeignSender |= Sender != FQuery.get();
    });
    FDatabase()->SetBeforeDeleteRecord(
        [this](TTolvanDataSet* Sender, const AnsiString&, TTolvanArrayOfTTolvanVariant, bool&) {
          ++FDeleteEvents;
          FForeignSender |= Sender != FQuery.get();
        });
  }

  // The side table u: rows in the order a scan returns them, with duplicate and null ids and
  // values of c outside t's bounds.
  void MakeSide(TGenerator& Gen) {
    std::vector<std::vector<TTestCell>> Cells;
    for (int32_t I = 0; I < 24; ++I) {
      TRow R{Gen.Id(), Gen.K(), Stored(Gen.Text()), Gen.C()};
      if (R.C && Gen.Chance(15))
        R.C = *R.C + 60;
      FSide.push_back(R);
      auto Cell = [](const TInt& V) -> TTestCell {
        return V ? TTestCell(int64_t(*V)) : TTestCell(std::monostate());
      };
      Cells.push_back(
          {Cell(R.Id), Cell(R.K), R.S ? TTestCell(*R.S) : TTestCell(std::monostate()), Cell(R.C)});
    }
    AppendMemoryRows("u", {{"id"}, {"k"}, {"s", tftVarchar, int32_t(SizeS)}, {"c"}}, Cells);
  }

  // The codes a new or changed row fails with against the rows in Others.
  static std::set<int32_t> RowFaults(const TRow& R, const std::vector<const TRow*>& Others) {
    std::set<int32_t> Codes;
    if (R.C && *R.C < LowC)
      Codes.insert(ErrBelowMinimum);
    if (R.C && *R.C > HighC)
      Codes.insert(ErrAboveMaximum);
    for (const TRow* O : Others)
      if (O->Id == R.Id)
        Codes.insert(ErrKeyViolation);
    return Codes;
  }

  std::vector<const TRow*> ModelRows() const {
    std::vector<const TRow*> Out;
    for (const TRow& R : FModel)
      Out.push_back(&R);
    return Out;
  }

  TPrediction Next(TGenerator& Gen) {
    const int32_t Kind = Gen.Between(0, 99);
    if (Kind < 50)
      return Gen.Chance(25) ? InsertSelect(Gen) : InsertValues(Gen);
    if (Kind < 80)
      return Update(Gen);
    return Delete(Gen);
  }

  TPrediction InsertValues(TGenerator& Gen) {
    TPrediction P;
    TRow R{std::nullopt, std::nullopt, std::string(DefaultS), DefaultC};
    auto Assign = [&](TColumn Col, const TValue& V) {
      if (Col == colS)
        R.S = V.TextFor();
      else
        SetIntOf(R, Col, V.Number);
    };
    const int32_t Form = Gen.Between(0, 9);
    if (Form == 0) {
      P.Sql = "INSERT INTO t";
    } else if (Form <= 3) { // every column by position, or the first few
      const int32_t Count = Form == 1 ? Gen.Between(1, 4) : 4;
      std::string Values;
      for (int32_t I = 0; I < Count; ++I) {
        const TValue V = Gen.Value(TColumn(I), false);
        Assign(TColumn(I), V);
        Values += (I ? ", " : "") + V.Sql();
      }
      P.Sql = "INSERT INTO t VALUES (" + Values + ")";
    } else if (Form <= 5) { // a column list whose count differs: the values go by position
      const int32_t Count = Gen.Between(1, 4);
      int32_t Names = Gen.Between(1, 3);
      if (Names >= Count)
        ++Names;
      std::string List, Values;
      for (int32_t I = 0; I < Names; ++I)
        List += std::string(I ? ", " : "") + ColumnNames[(I + Count) % 4];
      for (int32_t I = 0; I < Count; ++I) {
        const TValue V = Gen.Value(TColumn(I), false);
        Assign(TColumn(I), V);
        Values += (I ? ", " : "") + V.Sql();
      }
      P.Sql = "INSERT INTO t (" + List + ") VALUES (" + Values + ")";
    } else { // by name, in a random order
      std::vector<TColumn> Cols{colId, colK, colS, colC};
      std::shuffle(Cols.begin(), Cols.end(), Gen.Random());
      Cols.resize(size_t(Gen.Between(1, 4)));
      std::string List, Values;
      for (size_t I = 0; I < Cols.size(); ++I) {
        const TValue V = Gen.Value(Cols[I], false);
        Assign(Cols[I], V);
        List += std::string(I ? ", " : "") + ColumnNames[Cols[I]];
        Values += (I ? ", " : "") + V.Sql();
      }
      P.Sql = "INSERT INTO t (" + List + ") VALUES (" + Values + ")";
    }
    P.Codes = RowFaults(R, ModelRows());
    P.MustFail = !P.Codes.empty();
    if (!P.MustFail)
      P.Added.push_back(R);
    P.Count = 1;
    return P;
  }

  TPrediction InsertSelect(TGenerator& Gen) {
    TPrediction P;
    const int32_t Shift = Gen.Between(0, 4) * 10;
    const int32_t AddC = Gen.Chance(30) ? Gen.Between(-10, 10) : 0;
    const bool TakeK = Gen.Chance(60), TakeS = Gen.Chance(60), TakeC = Gen.Chance(70);
    std::string Items = Shift ? "id + " + std::to_string(Shift) + " AS id" : "id";
    if (TakeK)
      Items += ", k";
    if (TakeS)
      Items += ", s";
    if (TakeC)
      Items += AddC ? ", " + PlusSql("c", AddC) + " AS c" : ", c";
    std::optional<TWhere> Where;
    if (Gen.Chance(70))
      Where = Gen.Where();
    // A column list is ignored: the columns go by name.
    P.Sql = std::string("INSERT INTO t ") + (Gen.Chance(20) ? "(k, s) " : "") + "SELECT " + Items +
            " FROM u" + (Where ? " WHERE " + Where->Sql() : "");
    std::vector<const TRow*> Others = ModelRows();
    std::vector<TRow> Copies;
    Copies.reserve(FSide.size());
    for (const TRow& U : FSide) {
      if (Where && !Where->Holds(U))
        continue;
      TRow R{Shift ? Plus(U.Id, Shift) : U.Id, std::nullopt, std::string(DefaultS), DefaultC};
      if (TakeK)
        R.K = U.K;
      if (TakeS)
        R.S = U.S;
      if (TakeC)
        R.C = AddC ? Plus(U.C, AddC) : U.C;
      if (!RowFaults(R, Others).empty()) {
        P.Codes.insert(ErrInsertSelectFailed);
        continue;
      }
      Copies.push_back(R);
      Others.push_back(&Copies.back());
    }
    P.MustFail = !P.Codes.empty();
    P.Added = Copies;
    P.Count = int64_t(Copies.size());
    return P;
  }

  TPrediction Update(TGenerator& Gen) {
    TPrediction P;
    P.Update = true;
    std::vector<TColumn> Cols{colId, colK, colS, colC};
    std::shuffle(Cols.begin(), Cols.end(), Gen.Random());
    Cols.resize(size_t(Gen.Chance(60) ? 1 : Gen.Between(2, 3)));
    std::vector<TValue> Values;
    std::string Sets;
    for (size_t I = 0; I < Cols.size(); ++I) {
      Values.push_back(Gen.Value(Cols[I], true));
      Sets += std::string(I ? ", " : "") + ColumnNames[Cols[I]] + " = " + Values.back().Sql();
    }
    std::optional<TWhere> Where;
    if (Gen.Chance(80))
      Where = Gen.Where();
    P.Sql = "UPDATE t SET " + Sets;
    if (Where) {
      P.Sql += " WHERE " + Where->Sql();
      if (Gen.Chance(20))
        P.Sql += Gen.Chance(50) ? " ORDER BY INDEX t_id" : " ORDER BY INDEX t_k";
    }
    // Every SET value comes from the record as read.
    for (const TRow& R : FModel)
      if (!Where || Where->Holds(R)) {
        TRow N = R;
        for (size_t I = 0; I < Cols.size(); ++I) {
          if (Cols[I] == colS)
            N.S = Values[I].TextFor();
          else
            SetIntOf(N, Cols[I], Values[I].IntFor(R));
        }
        P.Changed[R.Tag] = N;
      }
    P.Count = int64_t(P.Changed.size());
    P.Events = FHandlers ? P.Count : -1;
    // The final state must hold; on the way, a new key may meet the old key of a record
    // changed later, so a key change among several candidates may fail too.
    std::vector<TRow> After;
    for (const TRow& R : FModel)
      After.push_back(P.Changed.count(R.Tag) ? P.Changed[R.Tag] : R);
    for (size_t I = 0; I < After.size(); ++I) {
      std::vector<const TRow*> Others;
      for (size_t J = 0; J < After.size(); ++J)
        if (J != I)
          Others.push_back(&After[J]);
      if (P.Changed.count(After[I].Tag))
        for (int32_t Code : RowFaults(After[I], Others)) {
          P.Codes.insert(Code);
          P.MustFail = true;
        }
    }
    for (const auto& [Tag, N] : P.Changed)
      for (const auto& [OtherTag, Other] : P.Changed)
        if (Tag != OtherTag && N.Id == Old(OtherTag).Id && Other.Id != Old(OtherTag).Id)
          P.Codes.insert(ErrKeyViolation);
    return P;
  }

  TPrediction Delete(TGenerator& Gen) {
    TPrediction P;
    P.Delete = true;
    std::optional<TWhere> Where;
    if (Gen.Chance(85))
      Where = Gen.Where();
    P.Sql = "DELETE FROM t";
    if (Where) {
      P.Sql += " WHERE " + Where->Sql();
      if (Gen.Chance(20))
        P.Sql += Gen.Chance(50) ? " ORDER BY INDEX t_id" : " ORDER BY INDEX t_k";
    }
    for (const TRow& R : FModel)
      if (!Where || Where->Holds(R))
        P.Deleted.insert(R.Tag);
    P.Count = int64_t(P.Deleted.size());
    P.Events = FHandlers ? P.Count : -1;
    return P;
  }

  const TRow& Old(int64_t Tag) const {
    for (const TRow& R : FModel)
      if (R.Tag == Tag)
        return R;
    static const TRow None;
    return None;
  }

  // Runs the statement and compares the engine with the prediction; "" when they agree. The
  // model then takes the engine's rows.
  std::string Check(const TPrediction& P, std::map<std::string, int32_t>& Outcomes) {
    FBefore = FModel;
    FUpdateEvents = FDeleteEvents = 0;
    FForeignSender = false;
    std::string Message;
    const int32_t Code = Run(P.Sql, Message);
    ++Outcomes[Code == 0 ? "ok" : std::to_string(Code)];
    const std::vector<TRow> Engine = ReadT();
    if (const std::string Faults = IndexFaults(); !Faults.empty())
      return "store and indexes disagree: " + Faults;
    if (Code == 0 && P.MustFail)
      return "succeeded; expected one of the codes " + Codes(P.Codes);
    if (Code != 0 && !P.Codes.count(Code))
      return "failed with " + std::to_string(Code) + " (" + Message + "); expected " +
             (P.Codes.empty() ? std::string("success") : "one of " + Codes(P.Codes));
    if (FForeignSender)
      return "a record event named another sender than the query";
    const bool Whole = Code == 0;
    if (Whole && FQuery->RowsAffected64() != P.Count)
      return "rows affected " + std::to_string(FQuery->RowsAffected64()) + ", expected " +
             std::to_string(P.Count);
    if (Whole && P.Events >= 0 && (P.Update ? FUpdateEvents : FDeleteEvents) != P.Events)
      return std::to_string(P.Update ? FUpdateEvents : FDeleteEvents) + " record events for " +
             std::to_string(P.Events) + " records";
    std::string Fault = CompareRows(P, Engine, Whole);
    FModel = Engine;
    return Fault;
  }

  // Whole: every candidate changed. Otherwise each candidate is either unchanged or wholly
  // changed, and nothing else changed.
  std::string CompareRows(const TPrediction& P, const std::vector<TRow>& Engine, bool Whole) {
    std::map<int64_t, const TRow*> ByTag;
    for (const TRow& R : Engine)
      ByTag[R.Tag] = &R;
    for (const TRow& R : FModel) {
      auto It = ByTag.find(R.Tag);
      const bool Deleted = P.Deleted.count(R.Tag) > 0;
      if (It == ByTag.end()) {
        if (!Deleted)
          return "record " + Show(R) + " is gone";
        continue;
      }
      const TRow& E = *It->second;
      ByTag.erase(It);
      if (Deleted && Whole)
        return "record " + Show(R) + " was not deleted";
      auto Changed = P.Changed.find(R.Tag);
      if (Changed != P.Changed.end() && E.SameValues(Changed->second))
        continue;
      if (Changed != P.Changed.end() && Whole)
        return "record " + Show(R) + " became " + Show(E) + ", expected " +
               ShowValues(Changed->second);
      if (!E.SameValues(R))
        return "record " + Show(R) + " became " + Show(E) +
               (Changed == P.Changed.end() ? " but is no candidate"
                                           : ", not wholly " + ShowValues(Changed->second));
    }
    // What remains is new.
    std::multiset<std::string> Got, Want;
    for (const auto& [Tag, R] : ByTag)
      Got.insert(ShowValues(*R));
    for (const TRow& R : P.Added)
      Want.insert(ShowValues(R));
    if (Got != Want) {
      std::string S = "new records:";
      for (const std::string& R : Got)
        S += " " + R;
      S += "; expected:";
      for (const std::string& R : Want)
        S += " " + R;
      return S;
    }
    return "";
  }

  static std::string Codes(const std::set<int32_t>& C) {
    std::string S;
    for (int32_t Code : C)
      S += (S.empty() ? "" : ", ") + std::to_string(Code);
    return S;
  }

  bool FHandlers = false;
  std::vector<TRow> FSide, FModel, FBefore;
  int64_t FUpdateEvents = 0, FDeleteEvents = 0;
  bool FForeignSender = false;
};

class SQLDMLModelSlow : public SQLDMLModel {};

// Five seeds of 1 000 statements; the odd ones take the record path.
TEST_P(SQLDMLModel, StatementsAgreeWithTheModel) { RunSeed(GetParam(), 1000); }
INSTANTIATE_TEST_SUITE_P(Seeds, SQLDMLModel, ::testing::Range(1u, 6u));

// Twenty seeds of 5 000 statements.
TEST_P(SQLDMLModelSlow, StatementsAgreeWithTheModel) { RunSeed(GetParam(), 5000); }
INSTANTIATE_TEST_SUITE_P(Seeds, SQLDMLModelSlow, ::testing::Range(100u, 120u));

} // namespace
} // namespace tolvan::test
