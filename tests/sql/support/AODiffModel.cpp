#include "tests/sql/support/AODiffModel.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <set>
#include <sstream>

#include "classlib/Strings.h"
#include "foundation/TolvanVariant.h"
#include "foundation/TolvanVariantOps.h"

namespace tolvan::test::diff {

namespace {

const char* const OpText[] = {"=", "<>", "<", ">", "<=", ">=", "IS NULL", "IS NOT NULL"};

std::string NumberText(double N) {
  if (N == std::floor(N))
    return std::to_string(int64_t(N));
  char B[32];
  std::snprintf(B, sizeof B, "%g", N);
  return B;
}

std::string Lower(std::string S) {
  for (char& C : S)
    C = char(std::tolower(static_cast<unsigned char>(C)));
  return S;
}

void SetVariant(TTolvanVariant& V, const TCell& C, TColType T) {
  if (C.Null) {
    V.SetNull();
    return;
  }
  switch (T) {
  case ctInt:
    V.SetAsInteger(int32_t(C.N));
    break;
  case ctSmall:
    V.SetAsSmallInt(int16_t(C.N));
    break;
  case ctFloat:
    V.SetAsDouble(C.N);
    break;
  case ctText:
    V.SetAsString(C.S);
    break;
  }
}

std::string ShownDouble(double D) {
  TTolvanVariant V;
  V.SetAsDouble(D);
  return std::string(V.GetAsString());
}

bool Compare(double A, TOp Op, double B) {
  switch (Op) {
  case opEq:
    return A == B;
  case opNe:
    return A != B;
  case opLt:
    return A < B;
  case opGt:
    return A > B;
  case opLe:
    return A <= B;
  case opGe:
    return A >= B;
  default:
    return false;
  }
}

std::string RefSql(const std::vector<TTable>& Tables, TRef R) {
  return Tables[size_t(R.Table)].Name + "." + Tables[size_t(R.Table)].Columns[size_t(R.Column)];
}

const char* KindText(TTolvanJoinType K) {
  switch (K) {
  case jtCross:
    return "CROSS JOIN";
  case jtInner:
    return "JOIN";
  case jtLeftOuter:
    return "LEFT JOIN";
  case jtRightOuter:
    return "RIGHT JOIN";
  default:
    return "FULL JOIN";
  }
}

} // namespace

TTolvanFieldType FieldTypeOf(TColType T) {
  switch (T) {
  case ctInt:
    return tftInteger;
  case ctSmall:
    return tftSmallInt;
  case ctFloat:
    return tftDouble;
  default:
    return tftVarchar;
  }
}

std::string Shown(const TCell& C, TColType T) {
  if (C.Null)
    return "-";
  switch (T) {
  case ctFloat:
    return ShownDouble(C.N);
  case ctText:
    return C.S;
  default:
    return std::to_string(int64_t(C.N));
  }
}

std::string ShownAs(const TCell& C, TColType From, TTolvanFieldType To) {
  if (C.Null)
    return "-";
  if (To == FieldTypeOf(From))
    return Shown(C, From);
  TTolvanVariant V;
  SetVariant(V, C, From);
  V.CastTo(ValueTypeOfFieldType(To));
  return std::string(V.GetAsString());
}

int TTable::Column(const std::string& N) const {
  for (size_t I = 0; I < Columns.size(); ++I)
    if (AnsiSameText(Columns[I], N))
      return int(I);
  return -1;
}

std::string TTable::Dump() const {
  std::ostringstream O;
  O << Name << "(";
  for (size_t I = 0; I < Columns.size(); ++I)
    O << (I ? ", " : "") << Columns[I] << " "
      << (Types[I] == ctInt     ? "INTEGER"
          : Types[I] == ctSmall ? "SMALLINT"
          : Types[I] == ctFloat ? "FLOAT"
                                : "VARCHAR(6)");
  O << "):";
  for (size_t R = 0; R < Rows.size(); ++R) {
    O << " [";
    for (size_t I = 0; I < Columns.size(); ++I)
      O << (I ? "," : "") << (EmptyText[R][I] ? "''" : Shown(Rows[R][I], Types[I]));
    O << "]";
  }
  return O.str();
}

std::vector<TTable> RandomTables(std::mt19937& Random, int MaxRows) {
  static const char* const Texts[] = {"ab", "Ab", "AB", "x", "X", "abcdef"};
  static const double Floats[] = {-1.5, -0.5, 0, 0.5, 1, 1.5, 2.5};
  std::vector<TTable> Tables(3);
  for (int T = 0; T < 3; ++T) {
    TTable& Tab = Tables[size_t(T)];
    Tab.Name = "t" + std::to_string(T);
    std::vector<std::pair<std::string, TColType>> Cols = {
        {"id", ctInt}, {"i", ctInt}, {"s", ctSmall}, {"f", ctFloat}, {"v", ctText}};
    std::shuffle(Cols.begin(), Cols.end(), Random);
    for (auto& [N, Ty] : Cols) {
      Tab.Columns.push_back(N);
      Tab.Types.push_back(Ty);
    }
    const int Count = Random() % 8 == 0 ? 0 : int(Random() % uint32_t(MaxRows + 1));
    for (int R = 0; R < Count; ++R) {
      std::vector<TCell> Row(Cols.size());
      std::vector<bool> Empty(Cols.size(), false);
      const bool Copy = R > 0 && Random() % 4 == 0;
      for (size_t C = 0; C < Cols.size(); ++C) {
        TCell& Cell = Row[C];
        if (Cols[C].first == "id") {
          Cell = {false, double(R + 1), {}};
          continue;
        }
        if (Copy) {
          Cell = Tab.Rows.back()[C];
          Empty[C] = Tab.EmptyText.back()[C];
          continue;
        }
        if (Random() % 5 == 0) {
          Empty[C] = Tab.Types[C] == ctText && Random() % 2;
          continue;
        }
        Cell.Null = false;
        switch (Tab.Types[C]) {
        case ctInt:
          Cell.N = double(int(Random() % 7) - 2);
          break;
        case ctSmall:
          Cell.N = double(int(Random() % 5) - 1);
          break;
        case ctFloat:
          Cell.N = Floats[Random() % std::size(Floats)];
          break;
        case ctText:
          Cell.S = Texts[Random() % std::size(Texts)];
          break;
        }
      }
      Tab.Rows.push_back(std::move(Row));
      Tab.EmptyText.push_back(std::move(Empty));
    }
  }
  return Tables;
}

std::string TCond::Sql(const std::vector<TTable>& Tables) const {
  std::string S = RefSql(Tables, A) + " " + OpText[Op];
  if (Op == opIsNull || Op == opNotNull)
    return S;
  if (B)
    return S + " " + RefSql(Tables, *B);
  if (Param)
    return S + " :p";
  if (Tables[size_t(A.Table)].Types[size_t(A.Column)] == ctText)
    return S + " '" + Constant.S + "'";
  return S + " " + NumberText(Constant.N);
}

const TCell& CellOf(const std::vector<TTable>& Tables, const TWide& Row, TRef R) {
  static const TCell Null;
  const int Index = Row[size_t(R.Table)];
  if (Index < 0)
    return Null;
  return Tables[size_t(R.Table)].Rows[size_t(Index)][size_t(R.Column)];
}

bool Holds(const std::vector<TTable>& Tables, const TWide& Row, const TCond& C, double Param) {
  const TCell& A = CellOf(Tables, Row, C.A);
  if (C.Op == opIsNull)
    return A.Null;
  if (C.Op == opNotNull)
    return !A.Null;
  TCell P;
  if (C.Param)
    P = {false, Param, {}};
  const TCell& B = C.B ? CellOf(Tables, Row, *C.B) : C.Param ? P : C.Constant;
  // The engine's "<>" is the negation of "=", which no null satisfies.
  if (A.Null || B.Null)
    return C.Op == opNe;
  if (Tables[size_t(C.A.Table)].Types[size_t(C.A.Column)] == ctText)
    return C.Op == opEq ? A.S == B.S : C.Op == opNe ? A.S != B.S : false;
  return Compare(A.N, C.Op, B.N);
}

std::string TJoinSpec::Sql(const std::vector<TTable>& Tables) const {
  auto Level = [&](const std::string& Left, const TJoinLevel& L, const std::string& Right) {
    std::string S = Left + " " + KindText(L.Kind) + " " + Right;
    std::string On;
    for (const auto& [A, B] : L.Pairs)
      On += (On.empty() ? "" : " AND ") + RefSql(Tables, A) + " = " + RefSql(Tables, B);
    for (const TCond& C : L.Match)
      On += " AND [match] " + C.Sql(Tables);
    return On.empty() ? S : S + " ON " + On;
  };
  std::string S;
  if (RightDeep) {
    S = Level("t0", Levels[1], "(" + Level("t1", Levels[0], "t2") + ")");
  } else {
    S = "t0";
    for (const TJoinLevel& L : Levels)
      S = Level(S == "t0" ? S : "(" + S + ")", L, Tables[size_t(L.Right)].Name);
  }
  std::string W;
  for (const TCond& C : Where)
    W += (W.empty() ? "" : " AND ") + C.Sql(Tables);
  return W.empty() ? S : S + " WHERE " + W;
}

namespace {

// The rows of one table.
std::vector<TWide> TableRows(const std::vector<TTable>& Tables, int Table) {
  std::vector<TWide> Rows;
  for (size_t R = 0; R < Tables[size_t(Table)].Rows.size(); ++R) {
    TWide W(Tables.size(), -1);
    W[size_t(Table)] = int(R);
    Rows.push_back(W);
  }
  return Rows;
}

// Left joined with Right by L: the combined rows take each side's tables.
std::vector<TWide> JoinRows(const std::vector<TTable>& Tables, const std::vector<TWide>& Left,
                            const std::vector<TWide>& Right, const TJoinLevel& L, double Param) {
  auto Combined = [](const TWide& A, const TWide& B) {
    TWide C = A;
    for (size_t I = 0; I < B.size(); ++I)
      if (B[I] >= 0)
        C[I] = B[I];
    return C;
  };
  auto Matches = [&](const TWide& C) {
    if (L.Kind == jtCross)
      return true;
    for (const auto& [A, B] : L.Pairs) {
      const TCell& X = CellOf(Tables, C, A);
      const TCell& Y = CellOf(Tables, C, B);
      if (X.Null || Y.Null || X.N != Y.N || X.S != Y.S)
        return false;
    }
    for (const TCond& M : L.Match)
      if (!Holds(Tables, C, M, Param))
        return false;
    return true;
  };
  std::vector<TWide> Out;
  if (L.Kind == jtRightOuter) {
    for (const TWide& R : Right) {
      bool Any = false;
      for (const TWide& Lw : Left) {
        TWide C = Combined(Lw, R);
        if (Matches(C)) {
          Out.push_back(C);
          Any = true;
        }
      }
      if (!Any)
        Out.push_back(R);
    }
    return Out;
  }
  std::vector<bool> Matched(Right.size(), false);
  for (const TWide& Lw : Left) {
    bool Any = false;
    for (size_t R = 0; R < Right.size(); ++R) {
      TWide C = Combined(Lw, Right[R]);
      if (Matches(C)) {
        Out.push_back(C);
        Any = true;
        Matched[R] = true;
      }
    }
    if (!Any && (L.Kind == jtLeftOuter || L.Kind == jtFullOuter))
      Out.push_back(Lw);
  }
  if (L.Kind == jtFullOuter)
    for (size_t R = 0; R < Right.size(); ++R)
      if (!Matched[R])
        Out.push_back(Right[R]);
  return Out;
}

} // namespace

std::vector<TWide> EvaluateJoin(const std::vector<TTable>& Tables, const TJoinSpec& Spec,
                                double Param) {
  std::vector<TWide> Rows;
  if (Spec.RightDeep) {
    const std::vector<TWide> Inner =
        JoinRows(Tables, TableRows(Tables, 1), TableRows(Tables, 2), Spec.Levels[0], Param);
    Rows = JoinRows(Tables, TableRows(Tables, 0), Inner, Spec.Levels[1], Param);
  } else {
    Rows = TableRows(Tables, 0);
    for (const TJoinLevel& L : Spec.Levels)
      Rows = JoinRows(Tables, Rows, TableRows(Tables, L.Right), L, Param);
  }
  std::vector<TWide> Kept;
  for (const TWide& W : Rows)
    if (std::all_of(Spec.Where.begin(), Spec.Where.end(),
                    [&](const TCond& C) { return Holds(Tables, W, C, Param); }))
      Kept.push_back(W);
  return Kept;
}

// --- set operations ------------------------------------------------------------------------------

std::vector<std::string> TOperand::Names(const std::vector<TTable>& Tables) const {
  std::vector<std::string> N;
  for (TRef R : Select)
    N.push_back(Tables[size_t(R.Table)].Columns[size_t(R.Column)]);
  return N;
}

namespace {

std::string OperandSql(const std::vector<TTable>& Tables, const TOperand& O) {
  std::string S = O.Distinct ? "SELECT DISTINCT " : "SELECT ";
  for (size_t I = 0; I < O.Select.size(); ++I)
    S += (I ? ", " : "") + RefSql(Tables, O.Select[I]);
  return S + " FROM " + (O.Join ? O.Join->Sql(Tables) : Tables[size_t(O.Table)].Name);
}

// The operand's rows in its order (a join's in the model's order).
std::vector<TWide> OperandRows(const std::vector<TTable>& Tables, const TOperand& O) {
  return O.Join ? EvaluateJoin(Tables, *O.Join, 0) : TableRows(Tables, O.Table);
}

} // namespace

std::string TSetSpec::Sql(const std::vector<TTable>& Tables) const {
  std::string S = "(" + OperandSql(Tables, Left) + ") ";
  S += Op == soUnion ? "UNION" : Op == soIntersect ? "INTERSECT" : "EXCEPT";
  if (All)
    S += " ALL";
  if (Pairing >= 1)
    S += " CORRESPONDING";
  if (Pairing == 2) {
    S += " BY (";
    for (size_t I = 0; I < By.size(); ++I)
      S += (I ? ", " : "") + By[I];
    S += ")";
  }
  return S + " (" + OperandSql(Tables, Right) + ")";
}

TExpected EvaluateSet(const std::vector<TTable>& Tables, const TSetSpec& Spec) {
  TExpected E;
  const std::vector<std::string> LN = Spec.Left.Names(Tables), RN = Spec.Right.Names(Tables);
  auto Find = [](const std::vector<std::string>& Names, const std::string& N) {
    for (size_t I = 0; I < Names.size(); ++I)
      if (AnsiSameText(Names[I], N))
        return int(I);
    return -1;
  };
  auto TypeOf = [&](TRef R) { return Tables[size_t(R.Table)].Types[size_t(R.Column)]; };
  struct TPair {
    int L, R;
    TTolvanFieldType Type;
  };
  std::vector<TPair> Pairs;
  auto Add = [&](int L, int R) {
    const TTolvanFieldType T = CommonFieldType(FieldTypeOf(TypeOf(Spec.Left.Select[size_t(L)])),
                                               FieldTypeOf(TypeOf(Spec.Right.Select[size_t(R)])));
    const bool LeftText = TypeOf(Spec.Left.Select[size_t(L)]) == ctText;
    const bool RightText = TypeOf(Spec.Right.Select[size_t(R)]) == ctText;
    // A text brought to a number type is not what these cases test.
    if (T != tftNone && LeftText != RightText && T > tftWideVarchar)
      E.ErrorCode = -1;
    if (T != tftNone)
      Pairs.push_back({L, R, T});
  };
  if (Spec.Pairing == 2) {
    if (Spec.By.empty()) {
      E.ErrorCode = 10337;
      return E;
    }
    for (const std::string& N : Spec.By) {
      const int L = Find(LN, N), R = Find(RN, N);
      if (L >= 0 && R >= 0)
        Add(L, R);
    }
  } else {
    for (size_t L = 0; L < LN.size(); ++L) {
      const int R = Spec.Pairing == 1 ? Find(RN, LN[L]) : L < RN.size() ? int(L) : -1;
      if (R >= 0)
        Add(int(L), R);
    }
  }
  if (E.ErrorCode < 0)
    return E;
  if (Pairs.empty()) {
    E.ErrorCode = 10339;
    return E;
  }
  using TTuple = std::vector<std::string>;
  auto Tuples = [&](const TOperand& O, bool Left) {
    std::vector<TTuple> Out;
    std::set<TTuple> Own; // the operand's DISTINCT compares its own columns' values
    for (const TWide& W : OperandRows(Tables, O)) {
      if (O.Distinct) {
        TTuple Key;
        for (TRef R : O.Select)
          Key.push_back(Shown(CellOf(Tables, W, R), TypeOf(R)));
        if (!Own.insert(Key).second)
          continue;
      }
      TTuple T;
      for (const TPair& P : Pairs) {
        const TRef R = O.Select[size_t(Left ? P.L : P.R)];
        T.push_back(ShownAs(CellOf(Tables, W, R), TypeOf(R), P.Type));
      }
      Out.push_back(std::move(T));
    }
    return Out;
  };
  const std::vector<TTuple> L = Tuples(Spec.Left, true), R = Tuples(Spec.Right, false);
  const bool LeftLeaf = !Spec.Left.Join, RightLeaf = !Spec.Right.Join;
  std::vector<TTuple> Out;
  if (Spec.Op == soUnion) {
    Out = L;
    Out.insert(Out.end(), R.begin(), R.end());
    E.Ordered = LeftLeaf && RightLeaf;
  } else {
    // With ALL the left always drives; without, INTERSECT over a left operand that is not a
    // table leaf drives from the right.
    const bool RightDrives = Spec.Op == soIntersect && !Spec.All && !LeftLeaf;
    const std::vector<TTuple>& Driving = RightDrives ? R : L;
    const std::set<TTuple> Lookup(RightDrives ? L.begin() : R.begin(),
                                  RightDrives ? L.end() : R.end());
    for (const TTuple& T : Driving)
      if ((Lookup.count(T) > 0) == (Spec.Op == soIntersect))
        Out.push_back(T);
    E.Ordered = RightDrives ? RightLeaf : LeftLeaf;
  }
  if (!Spec.All) {
    std::set<TTuple> Seen;
    std::vector<TTuple> Unique;
    for (const TTuple& T : Out)
      if (Seen.insert(T).second)
        Unique.push_back(T);
    Out = std::move(Unique);
  }
  E.Rows = std::move(Out);
  E.FoldCase.assign(Pairs.size(), false);
  return E;
}

// --- grouping ------------------------------------------------------------------------------------

std::string TAgg::Sql(const std::vector<TTable>& Tables) const {
  const std::string C = Ref.Column >= 0 ? RefSql(Tables, Ref) : "";
  switch (Kind) {
  case akField:
    return C;
  case akCountStar:
    return "COUNT(*)";
  case akCount:
    return "COUNT(" + C + ")";
  case akCountDistinct:
    return "COUNT(DISTINCT " + C + ")";
  case akSum:
    return "SUM(" + C + ")";
  case akAvg:
    return "AVG(" + C + ")";
  case akMin:
    return "MIN(" + C + ")";
  case akMax:
    return "MAX(" + C + ")";
  case akCountStarPlusOne:
    return "COUNT(*) + 1";
  default:
    return "COUNT(*) + SUM(" + C + ")";
  }
}

std::string THaving::Sql(const std::vector<TTable>& Tables) const {
  return Agg.Sql(Tables) + " " + OpText[Op] + " " + NumberText(Value);
}

std::string TGroupSpec::Sql(const std::vector<TTable>& Tables) const {
  std::string S = std::string("SELECT ") + (Distinct ? "DISTINCT " : "");
  for (size_t I = 0; I < Items.size(); ++I)
    S += (I ? ", " : "") + Items[I].Sql(Tables);
  S += " FROM " + (Join ? Join->Sql(Tables) : Tables[size_t(Table)].Name);
  for (size_t I = 0; I < Where.size(); ++I)
    S += (I ? " AND " : " WHERE ") + Where[I].Sql(Tables);
  for (size_t I = 0; I < GroupColumns.size(); ++I)
    S += (I ? ", " : " GROUP BY ") + RefSql(Tables, GroupColumns[I]);
  if (Having)
    S += " HAVING " + Having->Sql(Tables);
  return S;
}

namespace {

// An aggregate's value over Rows: its shown text, and its number for HAVING (nullopt for null).
struct TAggValue {
  std::string Text;
  std::optional<double> Number;
};

TAggValue Aggregate(const std::vector<TTable>& Tables, const std::vector<TWide>& Rows,
                    const TAgg& A) {
  const TColType Ty =
      A.Ref.Column >= 0 ? Tables[size_t(A.Ref.Table)].Types[size_t(A.Ref.Column)] : ctInt;
  auto Cell = [&](const TWide& W) -> const TCell& { return CellOf(Tables, W, A.Ref); };
  auto Int = [](double N) { return TAggValue{std::to_string(int64_t(N)), N}; };
  // SUM: null without rows, 0 over nulls only.
  auto Sum = [&]() -> std::optional<double> {
    if (Rows.empty())
      return std::nullopt;
    double S = 0;
    for (const TWide& W : Rows)
      if (!Cell(W).Null)
        S += Cell(W).N;
    return S;
  };
  auto Number = [&](std::optional<double> N, bool Float) {
    if (!N)
      return TAggValue{"-", std::nullopt};
    return Float ? TAggValue{ShownDouble(*N), N} : Int(*N);
  };
  switch (A.Kind) {
  case akCountStar:
    return Int(double(Rows.size()));
  case akCountStarPlusOne:
    return Int(double(Rows.size()) + 1);
  case akCount:
  case akCountDistinct: {
    std::set<std::pair<double, std::string>> Seen;
    int N = 0;
    for (const TWide& W : Rows)
      if (!Cell(W).Null && (A.Kind == akCount || Seen.insert({Cell(W).N, Cell(W).S}).second))
        ++N;
    return Int(N);
  }
  case akSum:
    return Number(Sum(), Ty == ctFloat);
  case akCountStarPlusSum: {
    // The engine's "+" is null when its second operand is.
    const std::optional<double> S = Sum();
    return Number(S ? std::optional<double>(double(Rows.size()) + *S) : std::nullopt,
                  Ty == ctFloat);
  }
  case akAvg: {
    double S = 0;
    int64_t IS = 0, N = 0;
    for (const TWide& W : Rows)
      if (!Cell(W).Null) {
        S += Cell(W).N;
        IS += int64_t(Cell(W).N);
        ++N;
      }
    if (!N)
      return {"-", std::nullopt};
    const double V = Ty == ctFloat ? S / double(N) : double(IS / N);
    return {ShownDouble(V), V};
  }
  case akMin:
  case akMax: {
    const TCell* Best = nullptr;
    for (const TWide& W : Rows) {
      const TCell& C = Cell(W);
      if (C.Null)
        continue;
      if (!Best) {
        Best = &C;
        continue;
      }
      const bool Less = Ty == ctText ? Lower(C.S) < Lower(Best->S) : C.N < Best->N;
      const bool Greater = Ty == ctText ? Lower(C.S) > Lower(Best->S) : C.N > Best->N;
      if (A.Kind == akMin ? Less : Greater)
        Best = &C;
    }
    if (!Best)
      return {"-", std::nullopt};
    return {Shown(*Best, Ty), Ty == ctText ? std::nullopt : std::optional<double>(Best->N)};
  }
  default:
    return {"?", std::nullopt};
  }
}

bool SameRef(TRef A, TRef B) { return A.Table == B.Table && A.Column == B.Column; }

} // namespace

TExpected EvaluateGroup(const std::vector<TTable>& Tables, const TGroupSpec& Spec, double Param) {
  TExpected E;
  for (const TAgg& A : Spec.Items)
    if (A.Kind == akField && std::none_of(Spec.GroupColumns.begin(), Spec.GroupColumns.end(),
                                          [&](TRef G) { return SameRef(G, A.Ref); })) {
      E.ErrorCode = 10342;
      return E;
    }
  std::vector<TWide> Rows;
  if (Spec.Join) {
    Rows = EvaluateJoin(Tables, *Spec.Join, Param);
  } else {
    for (const TWide& W : TableRows(Tables, Spec.Table))
      if (std::all_of(Spec.Where.begin(), Spec.Where.end(),
                      [&](const TCond& C) { return Holds(Tables, W, C, Param); }))
        Rows.push_back(W);
  }
  // Groups in key order: ascending, case-sensitive, nulls first and equal.
  auto KeyCompare = [&](const TWide& A, const TWide& B) {
    for (TRef C : Spec.GroupColumns) {
      const TColType T = Tables[size_t(C.Table)].Types[size_t(C.Column)];
      TTolvanVariant X, Y;
      SetVariant(X, CellOf(Tables, A, C), T);
      SetVariant(Y, CellOf(Tables, B, C), T);
      const TTolvanCompareResult R = FoldNullCodes(X.Compare(Y, true, false, false));
      if (R != tcrEqual)
        return R == tcrLess ? -1 : 1;
    }
    return 0;
  };
  // An empty input gives one row when there are aggregates, of their initial values.
  const bool Aggregates =
      Spec.Having || std::any_of(Spec.Items.begin(), Spec.Items.end(),
                                 [](const TAgg& A) { return A.Kind != akField; });
  std::vector<std::vector<TWide>> Groups;
  if (Rows.empty() && !Aggregates) {
  } else if (Spec.GroupColumns.empty() || Rows.empty()) {
    Groups.push_back(Rows);
  } else {
    std::stable_sort(Rows.begin(), Rows.end(),
                     [&](const TWide& A, const TWide& B) { return KeyCompare(A, B) < 0; });
    for (const TWide& W : Rows) {
      if (Groups.empty() || KeyCompare(Groups.back().back(), W) != 0)
        Groups.emplace_back();
      Groups.back().push_back(W);
    }
  }
  std::set<std::vector<std::string>> Seen;
  for (const std::vector<TWide>& G : Groups) {
    if (Spec.Having) {
      const TAggValue V = Aggregate(Tables, G, Spec.Having->Agg);
      if (!V.Number || !Compare(*V.Number, Spec.Having->Op, Spec.Having->Value))
        continue;
    }
    std::vector<std::string> Row;
    for (const TAgg& A : Spec.Items) {
      const TColType T = Tables[size_t(A.Ref.Table)].Types[size_t(std::max(A.Ref.Column, 0))];
      Row.push_back(A.Kind != akField ? Aggregate(Tables, G, A).Text
                    : G.empty()       ? "-"
                                      : Shown(CellOf(Tables, G.back(), A.Ref), T));
    }
    if (Spec.Distinct && !Seen.insert(Row).second)
      continue;
    E.Rows.push_back(std::move(Row));
  }
  E.Ordered = true;
  for (const TAgg& A : Spec.Items)
    E.FoldCase.push_back((A.Kind == akMin || A.Kind == akMax) &&
                         Tables[size_t(A.Ref.Table)].Types[size_t(A.Ref.Column)] == ctText);
  return E;
}

} // namespace tolvan::test::diff
