#include "tests/sql/support/SqlModel.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <optional>
#include <set>
#include <sstream>

#include "classlib/DateUtils.h"
#include "classlib/Strings.h"
#include "foundation/TolvanVariant.h"
#include "foundation/TolvanVariantOps.h"

namespace tolvan::test::sqlmodel {

// --- values --------------------------------------------------------------------------------------

std::string TVal::Canonical() const {
  if (Null)
    return "NULL";
  char B[64];
  switch (Type) {
  case ctInt:
    std::snprintf(B, sizeof B, "%.3f", double(I));
    return B;
  case ctFloat:
    // Zero and negative zero are one value to SQL: equal, and one row under DISTINCT.
    std::snprintf(B, sizeof B, "%.3f", F == 0 ? 0.0 : F);
    return std::string(B) == "-0.000" ? "0.000" : B;
  case ctText:
    return S;
  case ctDate:
    return FormatDateTime("yyyy-mm-dd", TDateTime(I));
  }
  return "?";
}

std::string TVal::Literal() const {
  if (Null)
    return "NULL";
  switch (Type) {
  case ctInt:
    return std::to_string(I);
  case ctFloat: {
    char B[32];
    std::snprintf(B, sizeof B, "%.1f", F);
    return B;
  }
  default:
    return "'" + S + "'";
  }
}

namespace {

void SetVariant(TTolvanVariant& R, const TVal& V) {
  if (V.Null)
    return;
  switch (V.Type) {
  case ctInt:
    R.SetAsLargeInt(V.I);
    break;
  case ctFloat:
    R.SetAsDouble(V.F);
    break;
  case ctText:
    R.SetAsString(V.S);
    break;
  case ctDate:
    R.SetAsDate(TDateTime(V.I));
    break;
  }
}

} // namespace

int CompareValues(const TVal& A, const TVal& B, bool IgnoreCase) {
  if (A.Null || B.Null)
    return A.Null == B.Null ? 0 : A.Null ? -1 : 1;
  TTolvanVariant X, Y;
  SetVariant(X, A);
  SetVariant(Y, B);
  const TTolvanCompareResult R = X.Compare(Y, false, IgnoreCase, false);
  return R == tcrEqual ? 0 : R == tcrLess ? -1 : 1;
}

int TTable::Column(const std::string& N) const {
  for (size_t I = 0; I < Columns.size(); ++I)
    if (AnsiSameText(Columns[I].Name, N))
      return int(I);
  return -1;
}

std::string TTable::Dump() const {
  static const char* const TypeName[] = {"INTEGER", "FLOAT", "VARCHAR(8)", "DATE"};
  std::ostringstream O;
  O << Name << " (";
  for (size_t I = 0; I < Columns.size(); ++I)
    O << (I ? ", " : "") << Columns[I].Name << " " << TypeName[Columns[I].Type];
  O << ")";
  for (const TIndex& X : Indexes)
    O << " index " << X.Name << (X.Unique ? " unique" : "") << " (" << X.Column
      << (X.Descending ? " DESC" : "") << (X.NoCase ? " NOCASE" : "") << ")";
  O << ":\n";
  for (const auto& Row : Rows) {
    O << " ";
    for (size_t I = 0; I < Row.size(); ++I)
      O << (I ? "\t" : "") << Row[I].Canonical();
    O << "\n";
  }
  return O.str();
}

TVal RandomValue(std::mt19937& Random, TColType Type) {
  static const char* const Texts[] = {"ab", "Ab", "AB", "abc", "b", "x", "X", "a_b"};
  static const double Floats[] = {-1.5, -0.5, 0.5, 1, 1.5, 2.5, 3};
  if (Random() % 6 == 0)
    return TVal::NullOf(Type);
  switch (Type) {
  case ctInt:
    return TVal::Int(int(Random() % 7) - 2);
  case ctFloat:
    return TVal::Float(Floats[Random() % std::size(Floats)]);
  case ctText:
    return TVal::Text(Texts[Random() % std::size(Texts)]);
  case ctDate:
    return TVal::Date(int64_t(EncodeDate(2020, 1, 1)) + int(Random() % 5) * 31);
  }
  return {};
}

TDatabase RandomTables(std::mt19937& Random, int MaxRows) {
  TDatabase Db(3);
  for (int T = 0; T < 3; ++T) {
    TTable& Tab = Db[size_t(T)];
    Tab.Name = "t" + std::to_string(T);
    Tab.Columns = {{"id", ctInt}, {"a", ctInt},   {"b", ctInt}, {"v", ctText},
                   {"w", ctText}, {"f", ctFloat}, {"d", ctDate}};
    const int Count = Random() % 6 == 0 ? 0 : int(Random() % uint32_t(MaxRows + 1));
    for (int R = 0; R < Count; ++R) {
      std::vector<TVal> Row;
      const bool Copy = R > 0 && Random() % 5 == 0;
      for (size_t C = 0; C < Tab.Columns.size(); ++C)
        Row.push_back(C == 0 ? TVal::Int(R + 1)
                      : Copy ? Tab.Rows.back()[C]
                             : RandomValue(Random, Tab.Columns[C].Type));
      Tab.Rows.push_back(std::move(Row));
    }
    if (Random() % 2)
      Tab.Indexes.push_back({"ix_id", "id", true, false, false});
    if (Random() % 2)
      Tab.Indexes.push_back({"ix_a", "a", false, Random() % 2 == 0, false});
    if (Random() % 3 == 0)
      Tab.Indexes.push_back({"ix_v", "v", false, false, Random() % 2 == 0});
  }
  return Db;
}

std::vector<std::vector<std::string>> Sorted(std::vector<std::vector<std::string>> Rows) {
  std::sort(Rows.begin(), Rows.end());
  return Rows;
}

std::string RowsText(const std::vector<std::vector<std::string>>& Rows) {
  std::string S;
  for (const auto& R : Rows) {
    for (size_t I = 0; I < R.size(); ++I)
      S += (I ? "\t" : "") + R[I];
    S += "\n";
  }
  return S.empty() ? "(no rows)\n" : S;
}

// --- statements ----------------------------------------------------------------------------------

namespace {

using TRow = std::vector<TVal>;
using TRows = std::vector<TRow>;

struct TEnv {
  const TDatabase& Db;
  const TParamValues& Params;
};

enum TTri : uint8_t { tFalse, tTrue, tNull };

struct TExpr {
  std::string Sql;
  TColType Type = ctInt;
  std::function<TVal(const TRow&, const TEnv&)> Eval;
};

struct TCond {
  std::string Sql;
  std::function<TTri(const TRow&, const TEnv&)> Eval;
};

// A column visible in a FROM clause: its qualifier, name, type and position in the wide row.
struct TScopeCol {
  std::string Qual, Name;
  TColType Type;
  int Pos;
  std::string Ref() const { return Qual + "." + Name; }
};

struct TFrom {
  std::string Sql;
  std::vector<TScopeCol> Cols;
  std::function<TRows(const TEnv&)> Rows;
};

// A query expression: SQL text, output columns, and its rows in the model's order.
struct TSelect {
  std::string Sql;
  std::vector<TColType> Types;
  std::function<TRows(const TEnv&)> Rows;
  bool Ordered = false;
  bool Leaf = true; // a single SELECT, not a set operation
};

TTri Not(TTri T) { return T == tNull ? tNull : T == tTrue ? tFalse : tTrue; }

bool LikeMatch(std::string_view S, std::string_view P) {
  if (P.empty())
    return S.empty();
  if (P[0] == '%') {
    for (size_t I = 0; I <= S.size(); ++I)
      if (LikeMatch(S.substr(I), P.substr(1)))
        return true;
    return false;
  }
  if (S.empty())
    return false;
  return (P[0] == '_' || P[0] == S[0]) && LikeMatch(S.substr(1), P.substr(1));
}

// "+" as the engine adds: a null second operand gives null, a null first one the second's value.
TVal AddValues(const TVal& A, const TVal& B) {
  if (B.Null)
    return TVal::NullOf(A.Type == ctFloat || B.Type == ctFloat ? ctFloat : ctInt);
  if (A.Null)
    return B;
  if (A.Type == ctFloat || B.Type == ctFloat)
    return TVal::Float((A.Type == ctFloat ? A.F : double(A.I)) +
                       (B.Type == ctFloat ? B.F : double(B.I)));
  return TVal::Int(A.I + B.I);
}

TVal MulValues(const TVal& A, const TVal& B) {
  const bool Float = A.Type == ctFloat || B.Type == ctFloat;
  if (A.Null || B.Null)
    return TVal::NullOf(Float ? ctFloat : ctInt);
  if (Float)
    return TVal::Float((A.Type == ctFloat ? A.F : double(A.I)) *
                       (B.Type == ctFloat ? B.F : double(B.I)));
  return TVal::Int(A.I * B.I);
}

std::vector<std::string> CanonicalRow(const TRow& R) {
  std::vector<std::string> Out;
  for (const TVal& V : R)
    Out.push_back(V.Canonical());
  return Out;
}

TRows Distinct(const TRows& In) {
  std::set<std::vector<std::string>> Seen;
  TRows Out;
  for (const TRow& R : In)
    if (Seen.insert(CanonicalRow(R)).second)
      Out.push_back(R);
  return Out;
}

enum TAggKind : uint8_t { akCountStar, akCount, akSum, akAvg, akMin, akMax };

TVal Aggregate(TAggKind K, TColType Type, const std::vector<TVal>& Values, size_t RowCount) {
  switch (K) {
  case akCountStar:
    return TVal::Int(int64_t(RowCount));
  case akCount:
    return TVal::Int(
        std::count_if(Values.begin(), Values.end(), [](const TVal& V) { return !V.Null; }));
  case akSum: {
    if (RowCount == 0)
      return TVal::NullOf(Type);
    TVal S = Type == ctFloat ? TVal::Float(0) : TVal::Int(0);
    for (const TVal& V : Values)
      if (!V.Null)
        S = AddValues(S, V);
    return S;
  }
  case akAvg: {
    int64_t N = 0, IS = 0;
    double FS = 0;
    for (const TVal& V : Values)
      if (!V.Null) {
        ++N;
        IS += V.I;
        FS += V.F;
      }
    if (N == 0)
      return TVal::NullOf(Type);
    return Type == ctFloat ? TVal::Float(FS / double(N)) : TVal::Int(IS / N);
  }
  case akMin:
  case akMax: {
    const TVal* Best = nullptr;
    for (const TVal& V : Values) {
      if (V.Null)
        continue;
      if (!Best ||
          (K == akMin ? CompareValues(V, *Best, true) < 0 : CompareValues(V, *Best, true) > 0))
        Best = &V;
    }
    return Best ? *Best : TVal::NullOf(Type);
  }
  }
  return {};
}

const char* const AggName[] = {"COUNT", "COUNT", "SUM", "AVG", "MIN", "MAX"};

// The rows of In that Where accepts (all without it), each cut to the Chosen columns.
TRows WhereAndProject(const TRows& In, const std::optional<TCond>& Where,
                      const std::vector<TScopeCol>& Chosen, const TEnv& E) {
  TRows Out;
  for (const TRow& Row : In) {
    if (Where && Where->Eval(Row, E) != tTrue)
      continue;
    TRow O;
    for (const TScopeCol& C : Chosen)
      O.push_back(Row[size_t(C.Pos)]);
    Out.push_back(std::move(O));
  }
  return Out;
}

} // namespace

struct TGenerator::TImpl {
  const TDatabase& Db;
  std::mt19937 R;
  bool WithParams = false;
  int Derived = 0;

  TImpl(const TDatabase& D, uint32_t Seed) : Db(D), R(Seed) {}

  int Pick(int N) { return int(R() % uint32_t(N)); }
  bool Chance(int Percent) { return Pick(100) < Percent; }
  template <class T> const T& PickOf(const std::vector<T>& V) {
    return V[size_t(Pick(int(V.size())))];
  }

  // --- sources -----------------------------------------------------------------------------------

  TFrom TableFrom(int T) {
    const TTable& Tab = Db[size_t(T)];
    TFrom F;
    F.Sql = Tab.Name;
    for (size_t C = 0; C < Tab.Columns.size(); ++C)
      F.Cols.push_back({Tab.Name, Tab.Columns[C].Name, Tab.Columns[C].Type, int(C)});
    F.Rows = [T](const TEnv& E) { return E.Db[size_t(T)].Rows; };
    return F;
  }

  // (SELECT c1 AS x1, ... FROM t [WHERE ...]) sN
  TFrom DerivedFrom(int T) {
    const std::string Alias = "s" + std::to_string(++Derived);
    TFrom Inner = TableFrom(T);
    std::vector<TScopeCol> Chosen;
    const int N = 1 + Pick(3);
    for (int I = 0; I < N; ++I)
      Chosen.push_back(PickOf(Inner.Cols));
    std::string Sql = "(SELECT ";
    TFrom F;
    for (size_t I = 0; I < Chosen.size(); ++I) {
      const std::string Name = "x" + std::to_string(I + 1);
      Sql += (I ? ", " : "") + Chosen[I].Ref() + " AS " + Name;
      F.Cols.push_back({Alias, Name, Chosen[I].Type, int(I)});
    }
    Sql += " FROM " + Inner.Sql;
    std::optional<TCond> Where;
    if (Chance(60)) {
      Where = Cond(Inner.Cols, 1, false);
      Sql += " WHERE " + Where->Sql;
    }
    F.Sql = Sql + ") " + Alias;
    auto Rows = Inner.Rows;
    F.Rows = [Rows, Chosen, Where](const TEnv& E) {
      return WhereAndProject(Rows(E), Where, Chosen, E);
    };
    return F;
  }

  TFrom Source(bool AllowDerived) {
    if (AllowDerived && Chance(15))
      return DerivedFrom(Pick(3));
    return TableFrom(Pick(3));
  }

  static TFrom Shifted(TFrom F, int By) {
    for (TScopeCol& C : F.Cols)
      C.Pos += By;
    return F;
  }

  // A pair of columns of one type, one from each side; false when the sides share no type.
  bool EquiPair(const std::vector<TScopeCol>& L, const std::vector<TScopeCol>& Rt, TScopeCol& A,
                TScopeCol& B) {
    for (int Try = 0; Try < 20; ++Try) {
      A = PickOf(L);
      std::vector<TScopeCol> Same;
      for (const TScopeCol& C : Rt)
        if (C.Type == A.Type && (A.Type == ctInt || Chance(30)))
          Same.push_back(C);
      if (!Same.empty()) {
        B = PickOf(Same);
        return true;
      }
    }
    return false;
  }

  // Left [kind] JOIN Right ON equalities [AND a condition], or the comma form.
  TFrom JoinFrom(bool AllowDerived, int Depth) {
    TFrom L = Depth > 1 && Chance(30) ? JoinFrom(false, Depth - 1) : Source(AllowDerived);
    TFrom Rt = Source(AllowDerived);
    // The same table twice would need aliases that the evaluator does not model.
    for (int Try = 0; Try < 10 && !Rt.Cols.empty() &&
                      std::any_of(L.Cols.begin(), L.Cols.end(),
                                  [&](const TScopeCol& C) { return C.Qual == Rt.Cols[0].Qual; });
         ++Try)
      Rt = Source(AllowDerived);
    if (std::any_of(L.Cols.begin(), L.Cols.end(),
                    [&](const TScopeCol& C) { return C.Qual == Rt.Cols[0].Qual; }))
      return L;
    const int Width = int(L.Cols.size());
    Rt = Shifted(Rt, Width);
    static const char* const KindSql[] = {
        "JOIN",      "INNER JOIN",      "LEFT JOIN", "RIGHT OUTER JOIN",
        "FULL JOIN", "LEFT OUTER JOIN", "CROSS JOIN"};
    // 0,1 inner; 2,5 left; 3 right; 4 full; 6 cross
    const int Kind = Pick(100) < 8 ? 6 : Pick(6);
    const bool Left = Kind == 2 || Kind == 5, Right = Kind == 3, Full = Kind == 4;
    std::vector<std::pair<TScopeCol, TScopeCol>> Pairs;
    std::optional<TCond> Extra;
    TFrom F;
    // A join operand is parenthesised: a table reference followed by a join keyword takes that
    // join into itself, so "a CROSS JOIN b LEFT JOIN c ON ..." nests to the right.
    const bool LeftIsJoin = L.Cols.size() > 0 && L.Cols.front().Qual != L.Cols.back().Qual;
    F.Sql = (LeftIsJoin ? "(" + L.Sql + ")" : L.Sql) + " " + KindSql[Kind] + " " + Rt.Sql;
    if (Kind != 6) {
      TScopeCol A, B;
      if (!EquiPair(L.Cols, Rt.Cols, A, B))
        return L;
      Pairs.push_back({A, B});
      if (Chance(20) && EquiPair(L.Cols, Rt.Cols, A, B))
        Pairs.push_back({A, B});
      std::string On;
      for (const auto& [X, Y] : Pairs)
        On += (On.empty() ? "" : " AND ") +
              (Chance(50) ? X.Ref() + " = " + Y.Ref() : Y.Ref() + " = " + X.Ref());
      if (Chance(25)) {
        // An ON remainder over one side: a match condition for outer joins.
        Extra = Cond(Chance(50) ? L.Cols : Rt.Cols, 1, false);
        On += " AND (" + Extra->Sql + ")";
      }
      F.Sql += " ON " + On;
    }
    F.Cols = L.Cols;
    F.Cols.insert(F.Cols.end(), Rt.Cols.begin(), Rt.Cols.end());
    const size_t RightWidth = Rt.Cols.size();
    auto LRows = L.Rows, RRows = Rt.Rows;
    F.Rows = [=](const TEnv& E) {
      const TRows Ls = LRows(E), Rs = RRows(E);
      auto Combine = [&](const TRow* A, const TRow* B) {
        TRow C;
        for (int I = 0; I < Width; ++I)
          C.push_back(A ? (*A)[size_t(I)] : TVal::NullOf(L.Cols[size_t(I)].Type));
        for (size_t I = 0; I < RightWidth; ++I)
          C.push_back(B ? (*B)[I] : TVal::NullOf(Rt.Cols[I].Type));
        return C;
      };
      auto Match = [&](const TRow& C) {
        for (const auto& [X, Y] : Pairs) {
          const TVal &P = C[size_t(X.Pos)], &Q = C[size_t(Y.Pos)];
          if (P.Null || Q.Null || CompareValues(P, Q) != 0)
            return false;
        }
        return !Extra || Extra->Eval(C, E) == tTrue;
      };
      TRows Out;
      std::vector<bool> Matched(Rs.size(), false);
      if (Right) {
        for (const TRow& B : Rs) {
          bool Any = false;
          for (const TRow& A : Ls) {
            TRow C = Combine(&A, &B);
            if (Match(C)) {
              Out.push_back(std::move(C));
              Any = true;
            }
          }
          if (!Any)
            Out.push_back(Combine(nullptr, &B));
        }
        return Out;
      }
      for (const TRow& A : Ls) {
        bool Any = false;
        for (size_t I = 0; I < Rs.size(); ++I) {
          TRow C = Combine(&A, &Rs[I]);
          if (Kind == 6 || Match(C)) {
            Out.push_back(std::move(C));
            Any = true;
            Matched[I] = true;
          }
        }
        if (!Any && (Left || Full))
          Out.push_back(Combine(&A, nullptr));
      }
      if (Full)
        for (size_t I = 0; I < Rs.size(); ++I)
          if (!Matched[I])
            Out.push_back(Combine(nullptr, &Rs[I]));
      return Out;
    };
    return F;
  }

  // "t0, t1": a cross product; the caller's WHERE usually holds an equality between the two.
  TFrom CommaFrom(std::optional<TCond>& Equality) {
    TFrom L = TableFrom(Pick(3));
    TFrom Rt = TableFrom(Pick(3));
    if (Rt.Cols[0].Qual == L.Cols[0].Qual)
      return L;
    const int Width = int(L.Cols.size());
    Rt = Shifted(Rt, Width);
    TFrom F;
    F.Sql = L.Sql + ", " + Rt.Sql;
    F.Cols = L.Cols;
    F.Cols.insert(F.Cols.end(), Rt.Cols.begin(), Rt.Cols.end());
    auto LRows = L.Rows, RRows = Rt.Rows;
    F.Rows = [=](const TEnv& E) {
      TRows Out;
      for (const TRow& A : LRows(E))
        for (const TRow& B : RRows(E)) {
          TRow C = A;
          C.insert(C.end(), B.begin(), B.end());
          Out.push_back(std::move(C));
        }
      return Out;
    };
    TScopeCol A, B;
    if (Chance(85) && EquiPair(L.Cols, Rt.Cols, A, B)) {
      const int PA = A.Pos, PB = B.Pos;
      Equality = TCond{A.Ref() + " = " + B.Ref(), [=](const TRow& Row, const TEnv&) {
                         const TVal &P = Row[size_t(PA)], &Q = Row[size_t(PB)];
                         return !P.Null && !Q.Null && CompareValues(P, Q) == 0 ? tTrue : tFalse;
                       }};
    }
    return F;
  }

  TFrom AnyFrom(std::optional<TCond>& Equality) {
    const int K = Pick(100);
    if (K < 55)
      return Source(true);
    if (K < 90)
      return JoinFrom(true, 2);
    return CommaFrom(Equality);
  }

  // --- expressions and conditions ----------------------------------------------------------------

  TVal Constant(TColType T) {
    TVal V;
    do
      V = RandomValue(R, T);
    while (V.Null);
    return V;
  }

  TExpr Column(const TScopeCol& C) {
    const int P = C.Pos;
    return {C.Ref(), C.Type, [P](const TRow& Row, const TEnv&) { return Row[size_t(P)]; }};
  }

  const TScopeCol* ColumnOf(const std::vector<TScopeCol>& Cols,
                            std::initializer_list<TColType> Types) {
    std::vector<const TScopeCol*> Ok;
    for (const TScopeCol& C : Cols)
      if (std::find(Types.begin(), Types.end(), C.Type) != Types.end())
        Ok.push_back(&C);
    return Ok.empty() ? nullptr : Ok[size_t(Pick(int(Ok.size())))];
  }

  // The right side of a comparison with column C: a constant, another column of its type, or a
  // parameter.
  TExpr Operand(const std::vector<TScopeCol>& Cols, const TScopeCol& C) {
    if (WithParams && C.Type == ctInt && Chance(50)) {
      const std::string Name = Chance(50) ? "p1" : "p2";
      return {":" + Name, ctInt, [Name](const TRow&, const TEnv& E) {
                auto It = E.Params.find(Name);
                return It == E.Params.end() ? TVal::NullOf(ctInt) : It->second;
              }};
    }
    if (C.Type == ctDate || Chance(25)) {
      std::vector<TScopeCol> Same;
      for (const TScopeCol& O : Cols)
        if (O.Type == C.Type ||
            (C.Type != ctText && C.Type != ctDate && O.Type != ctText && O.Type != ctDate))
          Same.push_back(O);
      return Column(PickOf(Same));
    }
    const TVal K = Constant(C.Type);
    return {K.Literal(), C.Type, [K](const TRow&, const TEnv&) { return K; }};
  }

  TCond Comparison(const std::vector<TScopeCol>& Cols) {
    static const char* const Ops[] = {"=", "<>", "<", ">", "<=", ">="};
    const TScopeCol& C = PickOf(Cols);
    const int Op = Pick(6);
    TExpr A = Column(C), B = Operand(Cols, C);
    auto EA = A.Eval, EB = B.Eval;
    return {A.Sql + " " + Ops[Op] + " " + B.Sql, [=](const TRow& Row, const TEnv& E) {
              const TVal X = EA(Row, E), Y = EB(Row, E);
              if (X.Null || Y.Null)
                return Op == 1 ? tTrue : tFalse;
              const int Cmp = CompareValues(X, Y);
              bool V = false;
              switch (Op) {
              case 0:
                V = Cmp == 0;
                break;
              case 1:
                V = Cmp != 0;
                break;
              case 2:
                V = Cmp < 0;
                break;
              case 3:
                V = Cmp > 0;
                break;
              case 4:
                V = Cmp <= 0;
                break;
              default:
                V = Cmp >= 0;
                break;
              }
              return V ? tTrue : tFalse;
            }};
  }

  TCond Predicate(const std::vector<TScopeCol>& Cols, bool AllowSubQuery) {
    const int K = Pick(100);
    if (K < 45)
      return Comparison(Cols);
    if (K < 55) {
      const TScopeCol& C = PickOf(Cols);
      const bool Not = Chance(50);
      const int P = C.Pos;
      return {C.Ref() + (Not ? " IS NOT NULL" : " IS NULL"), [=](const TRow& Row, const TEnv&) {
                return Row[size_t(P)].Null != Not ? tTrue : tFalse;
              }};
    }
    if (K < 65) {
      const TScopeCol* C = ColumnOf(Cols, {ctInt, ctFloat, ctText});
      if (!C)
        return Comparison(Cols);
      std::vector<TVal> Members;
      const int N = 1 + Pick(3);
      for (int I = 0; I < N; ++I)
        Members.push_back(Chance(15) ? TVal::NullOf(C->Type) : Constant(C->Type));
      const bool Not = Chance(30);
      std::string Sql = C->Ref() + (Not ? " NOT IN (" : " IN (");
      for (size_t I = 0; I < Members.size(); ++I)
        Sql += (I ? ", " : "") + Members[I].Literal();
      const int P = C->Pos;
      return {Sql + ")", [=](const TRow& Row, const TEnv&) {
                const TVal& V = Row[size_t(P)];
                if (V.Null)
                  return tNull;
                bool Found = false;
                for (const TVal& M : Members)
                  Found = Found || (!M.Null && CompareValues(V, M, true) == 0);
                return Found != Not ? tTrue : tFalse;
              }};
    }
    if (K < 73) {
      const TScopeCol* C = ColumnOf(Cols, {ctInt, ctFloat, ctText});
      if (!C)
        return Comparison(Cols);
      TVal Lo = Constant(C->Type), Hi = Constant(C->Type);
      if (CompareValues(Lo, Hi, true) > 0 && Chance(80))
        std::swap(Lo, Hi);
      const bool Not = Chance(25);
      const int P = C->Pos;
      return {C->Ref() + (Not ? " NOT BETWEEN " : " BETWEEN ") + Lo.Literal() + " AND " +
                  Hi.Literal(),
              [=](const TRow& Row, const TEnv&) {
                const TVal& V = Row[size_t(P)];
                if (V.Null)
                  return tNull;
                const bool In = CompareValues(V, Lo, true) >= 0 && CompareValues(V, Hi, true) <= 0;
                return In != Not ? tTrue : tFalse;
              }};
    }
    if (K < 80) {
      const TScopeCol* C = ColumnOf(Cols, {ctText});
      if (!C)
        return Comparison(Cols);
      static const char* const Patterns[] = {"a%", "A%", "%b", "_b%", "a\\_b", "%", "x", "a_"};
      const std::string Pat = Patterns[Pick(int(std::size(Patterns)))];
      if (Pat.find('\\') != std::string::npos)
        return Comparison(Cols);
      const bool Not = Chance(25);
      const int P = C->Pos;
      return {C->Ref() + (Not ? " NOT LIKE '" : " LIKE '") + Pat + "'",
              [=](const TRow& Row, const TEnv&) {
                const TVal& V = Row[size_t(P)];
                if (V.Null)
                  return tNull;
                return LikeMatch(V.S, Pat) != Not ? tTrue : tFalse;
              }};
    }
    if (AllowSubQuery)
      return SubQueryPredicate(Cols);
    return Comparison(Cols);
  }

  // Uncorrelated: x [NOT] IN (SELECT ...), [NOT] EXISTS (SELECT ...), x op (SELECT MAX(...)).
  TCond SubQueryPredicate(const std::vector<TScopeCol>& Cols) {
    const int T = Pick(3);
    TFrom Inner = TableFrom(T);
    std::optional<TCond> Where;
    std::string WhereSql;
    if (Chance(60)) {
      Where = Cond(Inner.Cols, 1, false);
      WhereSql = " WHERE " + Where->Sql;
    }
    auto InnerRows = [Rows = Inner.Rows, Where](const TEnv& E) {
      TRows Out;
      for (const TRow& Row : Rows(E))
        if (!Where || Where->Eval(Row, E) == tTrue)
          Out.push_back(Row);
      return Out;
    };
    const int K = Pick(3);
    if (K == 0) {
      const TScopeCol* C = ColumnOf(Cols, {ctInt, ctText});
      if (!C)
        return Comparison(Cols);
      const TScopeCol* IC = ColumnOf(Inner.Cols, {C->Type});
      const bool Not = Chance(30);
      const int P = C->Pos, IP = IC->Pos;
      return {C->Ref() + (Not ? " NOT IN (SELECT " : " IN (SELECT ") + IC->Ref() + " FROM " +
                  Inner.Sql + WhereSql + ")",
              [=](const TRow& Row, const TEnv& E) {
                // A case-sensitive search over whole values in which a null finds a null.
                const TVal& V = Row[size_t(P)];
                bool Found = false;
                for (const TRow& I : InnerRows(E))
                  Found = Found ||
                          (V.Null ? I[size_t(IP)].Null
                                  : !I[size_t(IP)].Null && CompareValues(V, I[size_t(IP)]) == 0);
                return Found != Not ? tTrue : tFalse;
              }};
    }
    if (K == 1) {
      const bool Not = Chance(30);
      return {
          std::string(Not ? "NOT " : "") + "EXISTS (SELECT * FROM " + Inner.Sql + WhereSql + ")",
          [=](const TRow&, const TEnv& E) { return InnerRows(E).empty() == Not ? tTrue : tFalse; }};
    }
    const TScopeCol* C = ColumnOf(Cols, {ctInt, ctFloat});
    if (!C)
      return Comparison(Cols);
    const TScopeCol* IC = ColumnOf(Inner.Cols, {ctInt, ctFloat});
    const bool Max = Chance(50);
    const int P = C->Pos, IP = IC->Pos;
    const TColType IT = IC->Type;
    return {C->Ref() + (Max ? " < (SELECT MAX(" : " > (SELECT MIN(") + IC->Ref() + ") FROM " +
                Inner.Sql + WhereSql + ")",
            [=](const TRow& Row, const TEnv& E) {
              std::vector<TVal> Vs;
              const TRows Rs = InnerRows(E);
              for (const TRow& I : Rs)
                Vs.push_back(I[size_t(IP)]);
              const TVal A = Aggregate(Max ? akMax : akMin, IT, Vs, Rs.size());
              const TVal& V = Row[size_t(P)];
              if (V.Null || A.Null)
                return tFalse;
              const int Cmp = CompareValues(V, A);
              return (Max ? Cmp < 0 : Cmp > 0) ? tTrue : tFalse;
            }};
  }

  TCond Cond(const std::vector<TScopeCol>& Cols, int Depth, bool AllowSubQuery) {
    const int K = Pick(100);
    if (Depth <= 0 || K < 55)
      return Predicate(Cols, AllowSubQuery && Chance(40));
    if (K < 85) {
      const bool And = Chance(55);
      TCond A = Cond(Cols, Depth - 1, AllowSubQuery), B = Cond(Cols, Depth - 1, AllowSubQuery);
      auto EA = A.Eval, EB = B.Eval;
      return {"(" + A.Sql + (And ? " AND " : " OR ") + B.Sql + ")",
              [=](const TRow& Row, const TEnv& E) {
                const TTri X = EA(Row, E), Y = EB(Row, E);
                if (And) {
                  if (X == tFalse || Y == tFalse)
                    return tFalse;
                  return X == tNull || Y == tNull ? tNull : tTrue;
                }
                if (X == tTrue || Y == tTrue)
                  return tTrue;
                return X == tNull || Y == tNull ? tNull : tFalse;
              }};
    }
    TCond A = Cond(Cols, Depth - 1, AllowSubQuery);
    auto EA = A.Eval;
    return {"NOT (" + A.Sql + ")", [=](const TRow& Row, const TEnv& E) { return Not(EA(Row, E)); }};
  }

  // --- select items ------------------------------------------------------------------------------

  TExpr Item(const std::vector<TScopeCol>& Cols) {
    if (Chance(75))
      return Column(PickOf(Cols));
    const TScopeCol* A = ColumnOf(Cols, {ctInt, ctFloat});
    if (!A)
      return Column(PickOf(Cols));
    TExpr X = Column(*A);
    TExpr Y;
    if (Chance(50)) {
      const TScopeCol* B = ColumnOf(Cols, {ctInt, ctFloat});
      Y = Column(*B);
    } else {
      const TVal K = TVal::Int(1 + Pick(3));
      Y = {K.Literal(), ctInt, [K](const TRow&, const TEnv&) { return K; }};
    }
    const bool Mul = Chance(40);
    const TColType T = X.Type == ctFloat || Y.Type == ctFloat ? ctFloat : ctInt;
    auto EX = X.Eval, EY = Y.Eval;
    return {X.Sql + (Mul ? " * " : " + ") + Y.Sql, T, [=](const TRow& Row, const TEnv& E) {
              return Mul ? MulValues(EX(Row, E), EY(Row, E)) : AddValues(EX(Row, E), EY(Row, E));
            }};
  }

  // --- statements --------------------------------------------------------------------------------

  // SELECT [DISTINCT] [TOP n[, s]] items FROM ... [WHERE ...] [ORDER BY ...]
  TSelect PlainSelect(bool Top) {
    std::optional<TCond> Equality;
    TFrom F = AnyFrom(Equality);
    std::vector<TExpr> Items;
    std::string ItemSql;
    bool Star = Chance(10);
    if (Star) {
      for (const TScopeCol& C : F.Cols)
        Items.push_back(Column(C));
      ItemSql = "*";
    } else {
      const int N = 1 + Pick(4);
      for (int I = 0; I < N; ++I) {
        Items.push_back(Item(F.Cols));
        ItemSql += (I ? ", " : "") + Items.back().Sql;
      }
    }
    const bool Dist = Chance(20);
    std::optional<TCond> Where;
    if (Equality && Chance(40))
      Where = Equality;
    else if (Chance(70)) {
      Where = Cond(F.Cols, 2, true);
      if (Equality) {
        auto EA = Equality->Eval, EB = Where->Eval;
        Where = TCond{Equality->Sql + " AND " + Where->Sql, [=](const TRow& Row, const TEnv& E) {
                        const TTri X = EA(Row, E), Y = EB(Row, E);
                        if (X == tFalse || Y == tFalse)
                          return tFalse;
                        return X == tNull || Y == tNull ? tNull : tTrue;
                      }};
      }
    } else if (Equality) {
      Where = Equality;
    }
    // ORDER BY: every column in some order (a total order), or a few of them.
    std::vector<int> Order;
    std::vector<bool> Desc;
    const bool Total = Top || Chance(40);
    if (Total || Chance(30)) {
      for (size_t I = 0; I < Items.size(); ++I)
        Order.push_back(int(I));
      std::shuffle(Order.begin(), Order.end(), R);
      if (!Total)
        Order.resize(size_t(1 + Pick(int(Order.size()))));
      for (size_t I = 0; I < Order.size(); ++I)
        Desc.push_back(Chance(35));
    }
    const bool Ordered = Total && !Order.empty() && Order.size() == Items.size();
    int TopCount = -1, TopStart = -1;
    if (Top && Ordered) {
      TopCount = Pick(8);
      if (Chance(50))
        TopStart = 1 + Pick(6);
    }
    std::string Sql = "SELECT ";
    if (Dist)
      Sql += "DISTINCT ";
    if (TopCount >= 0)
      Sql += "TOP " + std::to_string(TopCount) +
             (TopStart >= 0 ? ", " + std::to_string(TopStart) : "") + " ";
    Sql += ItemSql + " FROM " + F.Sql;
    if (Where)
      Sql += " WHERE " + Where->Sql;
    if (!Order.empty()) {
      Sql += " ORDER BY ";
      for (size_t I = 0; I < Order.size(); ++I)
        Sql += (I ? ", " : "") + std::to_string(Order[I] + 1) + (Desc[I] ? " DESC" : "");
    }
    TSelect S;
    S.Sql = Sql;
    for (const TExpr& E : Items)
      S.Types.push_back(E.Type);
    S.Ordered = Ordered;
    auto Rows = F.Rows;
    S.Rows = [=](const TEnv& E) {
      TRows Out;
      for (const TRow& Row : Rows(E)) {
        if (Where && Where->Eval(Row, E) != tTrue)
          continue;
        TRow O;
        for (const TExpr& X : Items)
          O.push_back(X.Eval(Row, E));
        Out.push_back(std::move(O));
      }
      if (Dist)
        Out = Distinct(Out);
      if (!Order.empty())
        std::stable_sort(Out.begin(), Out.end(), [&](const TRow& A, const TRow& B) {
          for (size_t I = 0; I < Order.size(); ++I) {
            const int C = CompareValues(A[size_t(Order[I])], B[size_t(Order[I])]);
            if (C != 0)
              return Desc[I] ? C > 0 : C < 0;
          }
          return false;
        });
      if (TopCount >= 0) {
        const size_t Start = size_t(std::max(TopStart, 1) - 1);
        TRows W;
        for (size_t I = Start; I < Out.size() && W.size() < size_t(TopCount); ++I)
          W.push_back(Out[I]);
        Out = std::move(W);
      }
      return Out;
    };
    return S;
  }

  struct TAggItem {
    TAggKind Kind;
    int Pos = -1;
    TColType Type = ctInt;
    std::string Sql;
  };

  TAggItem RandomAgg(const std::vector<TScopeCol>& Cols) {
    const int K = Pick(6);
    TAggItem A;
    A.Kind = TAggKind(K);
    if (A.Kind == akCountStar) {
      A.Sql = "COUNT(*)";
      return A;
    }
    const TScopeCol* C = A.Kind == akCount ? &PickOf(Cols)
                         : A.Kind == akMin || A.Kind == akMax
                             ? ColumnOf(Cols, {ctInt, ctFloat, ctDate})
                             : ColumnOf(Cols, {ctInt, ctFloat});
    if (!C) {
      A.Kind = akCountStar;
      A.Sql = "COUNT(*)";
      return A;
    }
    A.Pos = C->Pos;
    A.Type = C->Type;
    A.Sql = std::string(AggName[K]) + "(" + C->Ref() + ")";
    return A;
  }

  static TVal AggOf(const TAggItem& A, const TRows& Group) {
    std::vector<TVal> Vs;
    if (A.Pos >= 0)
      for (const TRow& Row : Group)
        Vs.push_back(Row[size_t(A.Pos)]);
    return Aggregate(A.Kind, A.Type, Vs, Group.size());
  }

  // SELECT g..., aggregates FROM ... [WHERE] [GROUP BY g...] [HAVING aggregate op k]
  TSelect GroupSelect() {
    std::optional<TCond> Equality;
    TFrom F = Chance(70) ? Source(true) : JoinFrom(false, 1);
    std::vector<TScopeCol> Keys;
    if (Chance(80)) {
      const int N = 1 + Pick(2);
      for (int I = 0; I < N; ++I) {
        const TScopeCol& C = PickOf(F.Cols);
        if (std::none_of(Keys.begin(), Keys.end(),
                         [&](const TScopeCol& K) { return K.Pos == C.Pos; }))
          Keys.push_back(C);
      }
    }
    // Items: some group columns, then aggregates.
    struct TOut {
      int Key = -1; // position in the row for a group column
      TAggItem Agg;
    };
    std::vector<TOut> Items;
    std::string ItemSql;
    for (const TScopeCol& K : Keys)
      if (Chance(80)) {
        Items.push_back({K.Pos, {}});
        ItemSql += (ItemSql.empty() ? "" : ", ") + K.Ref();
      }
    const int NA = (Items.empty() ? 1 : 0) + Pick(3);
    for (int I = 0; I < NA; ++I) {
      TOut O;
      O.Agg = RandomAgg(F.Cols);
      ItemSql += (ItemSql.empty() ? "" : ", ") + O.Agg.Sql;
      Items.push_back(O);
    }
    if (std::all_of(Items.begin(), Items.end(), [](const TOut& O) { return O.Key >= 0; })) {
      TOut O;
      O.Agg = RandomAgg(F.Cols);
      ItemSql += ", " + O.Agg.Sql;
      Items.push_back(O);
    }
    std::optional<TCond> Where;
    if (Chance(50))
      Where = Cond(F.Cols, 1, true);
    // HAVING only with GROUP BY: over the whole input its meaning depends on the item list.
    std::optional<TAggItem> HavingAgg;
    int HavingOp = 0;
    TVal HavingValue;
    std::string HavingSql;
    if (!Keys.empty() && Chance(40)) {
      HavingAgg = RandomAgg(F.Cols);
      if (HavingAgg->Type == ctDate) {
        HavingAgg->Kind = akCountStar;
        HavingAgg->Pos = -1;
        HavingAgg->Type = ctInt;
        HavingAgg->Sql = "COUNT(*)";
      }
      HavingOp = Pick(3);
      HavingValue = WithParams && Chance(60) ? TVal::NullOf(ctInt) : TVal::Int(Pick(4));
      static const char* const Ops[] = {">", "<", ">="};
      HavingSql = " HAVING " + HavingAgg->Sql + " " + Ops[HavingOp] + " " +
                  (HavingValue.Null ? std::string(":p2") : HavingValue.Literal());
    }
    std::string Sql = "SELECT " + ItemSql + " FROM " + F.Sql;
    if (Where)
      Sql += " WHERE " + Where->Sql;
    for (size_t I = 0; I < Keys.size(); ++I)
      Sql += (I ? ", " : " GROUP BY ") + Keys[I].Ref();
    Sql += HavingSql;
    TSelect S;
    S.Sql = Sql;
    for (const TOut& O : Items)
      S.Types.push_back(O.Key >= 0 ? F.Cols[size_t(O.Key)].Type
                        : O.Agg.Kind == akCountStar || O.Agg.Kind == akCount ? ctInt
                                                                             : O.Agg.Type);
    auto Rows = F.Rows;
    const std::vector<TScopeCol> Cols = F.Cols;
    S.Rows = [=](const TEnv& E) {
      TRows In;
      for (const TRow& Row : Rows(E))
        if (!Where || Where->Eval(Row, E) == tTrue)
          In.push_back(Row);
      std::vector<TRows> Groups;
      if (In.empty() || Keys.empty()) {
        Groups.push_back(In);
      } else {
        for (const TRow& Row : In) {
          auto Same = [&](const TRows& G) {
            for (const TScopeCol& K : Keys)
              if (CompareValues(G[0][size_t(K.Pos)], Row[size_t(K.Pos)]) != 0)
                return false;
            return true;
          };
          auto It = std::find_if(Groups.begin(), Groups.end(), Same);
          if (It == Groups.end())
            Groups.push_back({Row});
          else
            It->push_back(Row);
        }
      }
      TRows Out;
      for (const TRows& G : Groups) {
        if (HavingAgg) {
          const TVal A = AggOf(*HavingAgg, G);
          TVal K = HavingValue;
          if (K.Null) {
            auto It = E.Params.find("p2");
            if (It != E.Params.end())
              K = It->second;
          }
          if (A.Null || K.Null)
            continue;
          const int C = CompareValues(A, K);
          if (!(HavingOp == 0 ? C > 0 : HavingOp == 1 ? C < 0 : C >= 0))
            continue;
        }
        TRow O;
        for (const TOut& I : Items)
          O.push_back(I.Key >= 0 ? (G.empty() ? TVal::NullOf(Cols[size_t(I.Key)].Type)
                                              : G.back()[size_t(I.Key)])
                                 : AggOf(I.Agg, G));
        Out.push_back(std::move(O));
      }
      return Out;
    };
    return S;
  }

  // SELECT cols FROM t [WHERE] over column types given by the first operand.
  TSelect SetOperand(const std::vector<TColType>& Types) {
    TFrom F = TableFrom(Pick(3));
    std::vector<TScopeCol> Chosen;
    for (TColType T : Types)
      Chosen.push_back(*ColumnOf(F.Cols, {T}));
    std::optional<TCond> Where;
    std::string Sql = "SELECT ";
    for (size_t I = 0; I < Chosen.size(); ++I)
      Sql += (I ? ", " : "") + Chosen[I].Ref();
    Sql += " FROM " + F.Sql;
    if (Chance(60)) {
      Where = Cond(F.Cols, 1, false);
      Sql += " WHERE " + Where->Sql;
    }
    TSelect S;
    S.Sql = Sql;
    S.Types = Types;
    auto Rows = F.Rows;
    S.Rows = [=](const TEnv& E) { return WhereAndProject(Rows(E), Where, Chosen, E); };
    return S;
  }

  enum TSetOpKind { sUnion, sExcept, sIntersect };

  static TSelect Combine(const TSelect& L, const TSelect& Rt, TSetOpKind Op, bool All,
                         const std::string& OpSql) {
    TSelect S;
    S.Sql = L.Sql + " " + OpSql + " " + Rt.Sql;
    S.Types = L.Types;
    S.Leaf = false;
    auto LR = L.Rows, RR = Rt.Rows;
    S.Rows = [=](const TEnv& E) {
      const TRows A = LR(E), B = RR(E);
      TRows Out;
      if (Op == sUnion) {
        Out = A;
        Out.insert(Out.end(), B.begin(), B.end());
      } else {
        std::set<std::vector<std::string>> Lookup;
        for (const TRow& Row : B)
          Lookup.insert(CanonicalRow(Row));
        for (const TRow& Row : A)
          if ((Lookup.count(CanonicalRow(Row)) > 0) == (Op == sIntersect))
            Out.push_back(Row);
      }
      return All ? Out : Distinct(Out);
    };
    return S;
  }

  TSelect SetSelect() {
    std::vector<TColType> Types;
    static const TColType Pool[] = {ctInt, ctInt, ctText, ctFloat, ctDate};
    const int N = 1 + Pick(2);
    for (int I = 0; I < N; ++I)
      Types.push_back(Pool[Pick(int(std::size(Pool)))]);
    auto OpOf = [&](TSetOpKind& Op, bool& All, bool LeftLeaf) {
      const int K = Pick(100);
      Op = K < 45 ? sUnion : K < 75 ? sExcept : sIntersect;
      All = Op == sUnion ? Chance(50) : Op == sExcept ? Chance(20) : LeftLeaf && Chance(20);
      std::string S = Op == sUnion    ? "UNION"
                      : Op == sExcept ? (Chance(30) ? "MINUS" : "EXCEPT")
                                      : "INTERSECT";
      return All ? S + " ALL" : S;
    };
    TSelect A = SetOperand(Types);
    TSetOpKind Op1;
    bool All1;
    const std::string S1 = OpOf(Op1, All1, true);
    TSelect B = SetOperand(Types);
    if (Chance(30)) {
      // A third operand: INTERSECT binds tighter than UNION and EXCEPT.
      TSelect C = SetOperand(Types);
      const bool Parens = Chance(40);
      if (Parens || Op1 == sIntersect) {
        TSelect AB = Combine(A, B, Op1, All1, S1);
        if (Parens)
          AB.Sql = "(" + AB.Sql + ")";
        TSetOpKind Op2;
        bool All2;
        const std::string S2 = OpOf(Op2, All2, false);
        return Combine(AB, C, Op2, All2, S2);
      }
      const bool All2 = Chance(20);
      TSelect BC = Combine(B, C, sIntersect, false, "INTERSECT");
      (void)All2;
      TSelect Out = Combine(A, BC, Op1, All1, S1);
      return Out;
    }
    return Combine(A, B, Op1, All1, S1);
  }
};

TGenerator::TGenerator(const TDatabase& Db, uint32_t Seed)
    : FImpl(std::make_unique<TImpl>(Db, Seed)) {}

TGenerator::~TGenerator() = default;

namespace {

TStatement Statement(const TSelect& S) {
  TStatement St;
  St.Sql = S.Sql;
  auto Rows = S.Rows;
  const bool Ordered = S.Ordered;
  St.Evaluate = [Rows, Ordered](const TDatabase& Db, const TParamValues& P) {
    TResult R;
    R.Ordered = Ordered;
    for (const TRow& Row : Rows(TEnv{Db, P}))
      R.Rows.push_back(CanonicalRow(Row));
    return R;
  };
  return St;
}

} // namespace

TStatement TGenerator::Next() {
  TImpl& G = *FImpl;
  G.WithParams = false;
  const int K = G.Pick(100);
  if (K < 50)
    return Statement(G.PlainSelect(G.Chance(20)));
  if (K < 75)
    return Statement(G.GroupSelect());
  return Statement(G.SetSelect());
}

TStatement TGenerator::NextWithParams() {
  TImpl& G = *FImpl;
  G.WithParams = true;
  TStatement S;
  for (int Try = 0; Try < 50; ++Try) {
    S = G.Chance(35) ? Statement(G.GroupSelect()) : Statement(G.PlainSelect(false));
    if (S.Sql.find(":p") != std::string::npos)
      break;
  }
  G.WithParams = false;
  return S;
}

} // namespace tolvan::test::sqlmodel
