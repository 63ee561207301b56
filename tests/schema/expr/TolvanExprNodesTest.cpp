#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "foundation/TolvanStrUtils.h"
#include "schema/expr/TolvanExprNodes.h"
#include "tests/schema/expr/ExprTestSupport.h"
#include "tests/schema/support/FakeExprServices.h"
#include "tests/schema/support/FakeRowSource.h"

using namespace tolvan;
using namespace tolvan::test;

namespace {

// --- operator texts -------------------------------------------------------------------------

TEST(ExprOperatorText, MessagesNameTheirOperatorsAndNothingElse) {
  const std::pair<int, const char*> Named[] = {{1, "="},
                                               {2, "<>"},
                                               {3, ">"},
                                               {4, "<"},
                                               {5, ">="},
                                               {6, "<="},
                                               {7, "NOT"},
                                               {8, "AND"},
                                               {9, "OR"},
                                               {10, "IN"},
                                               {11, "NOT IN"},
                                               {12, "BETWEEN"},
                                               {13, "NOT BETWEEN"},
                                               {14, "LIKE"},
                                               {15, "NOT LIKE"},
                                               {16, "ISNULL"},
                                               {17, "IS NULL"},
                                               {18, "IS NOT NULL"},
                                               {21, "+"},
                                               {22, "-"},
                                               {23, "*"},
                                               {24, "/"},
                                               {25, "||"},
                                               {26, "UPPER"},
                                               {27, "LOWER"},
                                               {28, "TRIM"},
                                               {29, "LTRIM"},
                                               {30, "RTRIM"},
                                               {34, "SUM"},
                                               {35, "AVG"},
                                               {36, "MIN"},
                                               {37, "MAX"},
                                               {38, "COUNT"},
                                               {39, "COUNT(*)"}};
  for (int Code = 0; Code < 256; ++Code) {
    std::string Expected = "unknown";
    for (const auto& [C, Text] : Named)
      if (C == Code)
        Expected = Text;
    EXPECT_EQ(OperatorToText(uint8_t(Code)), Expected) << Code;
  }
  // The dump's names cover every code, the ones messages call "unknown" too.
  EXPECT_EQ(OperatorName(eoNegate), "NEG");
  EXPECT_EQ(OperatorName(eoLength), "LENGTH");
  EXPECT_EQ(OperatorName(eoNow), "NOW");
  EXPECT_EQ(OperatorName(eoToBlob), "TOBLOB");
  EXPECT_EQ(OperatorName(19), "?19");
  EXPECT_EQ(OperatorName(200), "?200");
}

// --- three-valued logic ---------------------------------------------------------------------

TNode Truth(char C) { return C == 'N' ? NullOf(tvtLogical) : Logical(C == 'T'); }

char Answer(TTolvanExprNode& Node) {
  const TTolvanVariant& V = Node.GetValue();
  EXPECT_EQ(V.DataType(), tvtLogical);
  return V.IsNull() ? 'N' : V.GetAsBoolean() ? 'T' : 'F';
}

TEST(ExprBoolean, NotAndOrAreThreeValued) {
  // Rows: left operand T, F, N; columns: right operand T, F, N.
  const char* const AndTable[3] = {"TFN", "FFF", "NFN"};
  const char* const OrTable[3] = {"TTT", "TFN", "TNN"};
  const char Values[] = "TFN";
  for (int L = 0; L < 3; ++L) {
    for (int R = 0; R < 3; ++R) {
      TNode And = Op<TTolvanExprNodeBoolean>(eoAnd, Truth(Values[L]), Truth(Values[R]));
      TNode Or = Op<TTolvanExprNodeBoolean>(eoOr, Truth(Values[L]), Truth(Values[R]));
      EXPECT_EQ(Answer(*And), AndTable[L][R]) << Values[L] << " AND " << Values[R];
      EXPECT_EQ(Answer(*Or), OrTable[L][R]) << Values[L] << " OR " << Values[R];
    }
    TNode Not = Op<TTolvanExprNodeBoolean>(eoNot, Truth(Values[L]));
    EXPECT_EQ(Answer(*Not), "FTN"[L]) << "NOT " << Values[L];
  }
}

TEST(ExprBoolean, AndAndOrStopAtTheDecidingOperandAndTakeAnyNumber) {
  // The unbound reference raises when evaluated: it must not be reached.
  TNode And = Op<TTolvanExprNodeBoolean>(eoAnd, NullOf(tvtLogical), Logical(false), Unbound());
  EXPECT_EQ(Answer(*And), 'F');
  TNode Or = Op<TTolvanExprNodeBoolean>(eoOr, NullOf(tvtLogical), Logical(true), Unbound());
  EXPECT_EQ(Answer(*Or), 'T');
  TNode Long = Op<TTolvanExprNodeBoolean>(eoAnd, Logical(true), Logical(true), NullOf(tvtLogical),
                                          Logical(true));
  EXPECT_EQ(Answer(*Long), 'N');
  TNode Reached = Op<TTolvanExprNodeBoolean>(eoAnd, Logical(true), Unbound());
  EXPECT_EQ(ErrorOf([&] { Reached->GetValue(); }),
            "Dataset and AO not assigned - Native error: 30196");
  // Integers read as logical values: 0 is false.
  TNode Numbers = Op<TTolvanExprNodeBoolean>(eoOr, Int(0), Int(7));
  EXPECT_EQ(Answer(*Numbers), 'T');
}

// --- comparisons ----------------------------------------------------------------------------

TEST(ExprComparison, EveryOperatorOverValuesAndNullsWithAndWithoutNullCodes) {
  // Pairs in this order: (5,5) (5,7) (7,5) (5,N) (N,5) (N,N).
  struct TRow {
    TTolvanExprOperator Op;
    const char* Keep;
    const char* Fold;
  };
  const TRow Rows[] = {
      {eoEqual, "TFFFFF", "TFFFFT"},          {eoNotEqual, "FTTTTT", "FTTTTF"},
      {eoGreater, "FFTFFF", "FFTTFF"},        {eoLess, "FTFFFF", "FTFFTF"},
      {eoGreaterOrEqual, "TFTFFF", "TFTTFT"}, {eoLessOrEqual, "TTFFFF", "TTFFTT"},
  };
  const std::pair<int, int> Pairs[] = {{5, 5}, {5, 7}, {7, 5}, {5, -1}, {-1, 5}, {-1, -1}};
  auto Operand = [](int X) { return X < 0 ? NullOf(tvtInteger) : Int(X, tvtInteger); };
  for (const TRow& Row : Rows)
    for (bool Keep : {true, false})
      for (size_t I = 0; I < 6; ++I) {
        TNode C = Cmp(Row.Op, Operand(Pairs[I].first), Operand(Pairs[I].second), Keep);
        EXPECT_EQ(Answer(*C), (Keep ? Row.Keep : Row.Fold)[I])
            << OperatorName(Row.Op) << " pair " << I << (Keep ? " keep" : " fold");
      }
}

TEST(ExprComparison, CaseAndPrefixFollowTheNodesFlags) {
  EXPECT_EQ(Answer(*Cmp(eoEqual, Str("abc"), Str("ABC"), true, true)), 'T');
  EXPECT_EQ(Answer(*Cmp(eoEqual, Str("abc"), Str("ABC"), true, false)), 'F');
  TNode Prefix = std::make_unique<TTolvanExprNodeComparison>(eoEqual, Str("abcdef"), Str("abc"),
                                                             true, false, true);
  EXPECT_EQ(Answer(*Prefix), 'T');
  // Mixed types compare in their common type.
  EXPECT_EQ(Answer(*Cmp(eoLess, Int(2, tvtUnsignedInt16), Dbl(2.5))), 'T');
  EXPECT_EQ(Answer(*Cmp(eoEqual, Int(-1, tvtSignedInt8), Int(255, tvtUnsignedInt8))), 'F');
}

TEST(ExprComparison, NullTestsLookAtTheFirstOperandOnly) {
  for (auto [Test, OnNull, OnValue] :
       {std::tuple{eoIsNull, 'T', 'F'}, std::tuple{eoIsNotNull, 'F', 'T'}}) {
    // x = NULL is built as IS NULL over the pair; the second operand is never evaluated.
    EXPECT_EQ(Answer(*Cmp(Test, NullOf(), Unbound())), OnNull);
    EXPECT_EQ(Answer(*Cmp(Test, Int(1), Unbound())), OnValue);
    EXPECT_EQ(Answer(*Op<TTolvanExprNodeBoolean>(Test, NullOf())), OnNull);
    EXPECT_EQ(Answer(*Op<TTolvanExprNodeBoolean>(Test, Str("x"))), OnValue);
  }
}

TEST(ExprComparison, UnknownOperatorsAndTheTypeFold) {
  TNode C = Cmp(eoAnd, Int(1), Int(2));
  EXPECT_EQ(ErrorOf([&] { C->GetValue(); }), "Unknown operator: 'AND' - Native error: 30117");
  TNode B = Op<TTolvanExprNodeBoolean>(eoAdd, Int(1));
  EXPECT_EQ(ErrorOf([&] { B->GetValue(); }), "Unknown operator: '+' - Native error: 30116");
  // A comparison reports the fold of its operands' types, a boolean node Boolean.
  EXPECT_EQ(Cmp(eoEqual, Int(1, tvtInteger), Dbl(2))->GetDataType(), tftDouble);
  EXPECT_EQ(Op<TTolvanExprNodeBoolean>(eoAnd, Int(1))->GetDataType(), tftBoolean);
  EXPECT_EQ(ErrorOf([&] { Cmp(eoEqual, Int(1), Blob("x"))->GetDataType(); }),
            "Cannot determine expression type - Native error: 30283");
}

// --- IN, BETWEEN, LIKE ----------------------------------------------------------------------

TEST(ExprBoolean, InListsCompareWithoutCaseAndANullNeverMatches) {
  struct TCase {
    TTolvanExprOperator Op;
    std::vector<TNode> Args;
    char Expected;
  };
  std::vector<TCase> Cases;
  Cases.push_back({eoIn, Nodes(Int(1), Int(2), NullOf()), 'F'});
  Cases.push_back({eoNotIn, Nodes(Int(2), Int(1), NullOf()), 'T'});
  Cases.push_back({eoIn, Nodes(NullOf(), Int(1), Int(2)), 'N'});
  Cases.push_back({eoNotIn, Nodes(NullOf(), Int(1)), 'N'});
  Cases.push_back({eoIn, Nodes(Int(2), Int(1), Int(2), Unbound()), 'T'});
  Cases.push_back({eoNotIn, Nodes(Int(2), Int(2)), 'F'});
  Cases.push_back({eoIn, Nodes(Str("abc"), Str("x"), Str("ABC")), 'T'});
  Cases.push_back({eoIn, Nodes(Int(3), Dbl(3.0)), 'T'});
  Cases.push_back({eoIn, Nodes(Int(3)), 'F'});
  for (size_t I = 0; I < Cases.size(); ++I) {
    TNode Node = Op<TTolvanExprNodeBoolean>(Cases[I].Op, std::move(Cases[I].Args), false);
    EXPECT_EQ(Answer(*Node), Cases[I].Expected) << I;
  }
}

TEST(ExprBoolean, BetweenIgnoresCaseAndANullBoundGivesNull) {
  struct TCase {
    TTolvanExprOperator Op;
    TNode V, Low, High;
    char Expected;
  };
  TCase Cases[] = {
      {eoBetween, Str("abc"), Str("ABA"), Str("ABD"), 'T'},
      {eoBetween, Int(5), Int(5), Int(7), 'T'},
      {eoBetween, Int(7), Int(5), Int(7), 'T'},
      {eoBetween, Int(8), Int(5), Int(7), 'F'},
      {eoNotBetween, Int(8), Int(5), Int(7), 'T'},
      {eoBetween, Int(6), NullOf(), Int(7), 'N'},
      {eoNotBetween, Int(6), Int(5), NullOf(), 'N'},
      {eoBetween, NullOf(), Int(5), Int(7), 'N'},
      {eoBetween, Int(6), Int(7), Int(5), 'F'},
  };
  for (TCase& C : Cases) {
    TNode Node = Op<TTolvanExprNodeBoolean>(
        C.Op, Nodes(std::move(C.V), std::move(C.Low), std::move(C.High)), false);
    const std::string Dump = DumpExprTree(Node.get());
    EXPECT_EQ(Answer(*Node), C.Expected) << Dump;
  }
}

TEST(ExprBoolean, LikeMatchesTextByTheNodesCaseFlag) {
  struct TCase {
    TNode V, Pattern;
    bool CaseInsensitive;
    char Like;
  };
  TCase Cases[] = {
      {Str("abc"), Str("a%"), false, 'T'},
      {Str("ABC"), Str("a%"), false, 'F'},
      {Str("ABC"), Str("a%"), true, 'T'},
      {Str("abc"), Str("a_c"), false, 'T'},
      {WStr(u"\u0436\u0443\u043a"), WStr(u"%\u0423%"), true, 'T'},
      {WStr(u"\u0436\u0443\u043a"), Str("%"), false, 'T'},
      {Str("abc"), WStr(u"ab_"), false, 'T'},
      {Int(51), Str("5%"), false, 'T'},
      {NullOf(tvtString), Str("%"), false, 'N'},
      {Str("a"), NullOf(tvtString), false, 'N'},
      {Blob("ab", tvtMemo), Str("a%"), false, 'T'},
  };
  for (TCase& C : Cases) {
    for (bool Negated : {false, true}) {
      TNode Node = Op<TTolvanExprNodeBoolean>(
          Negated ? eoNotLike : eoLike, Nodes(C.V->Clone(), C.Pattern->Clone()), C.CaseInsensitive);
      const char Expected = !Negated ? C.Like : C.Like == 'T' ? 'F' : C.Like == 'F' ? 'T' : 'N';
      EXPECT_EQ(Answer(*Node), Expected) << DumpExprTree(Node.get());
    }
  }
  TNode Numbers = Op<TTolvanExprNodeBoolean>(eoLike, Int(5), Int(5));
  EXPECT_EQ(ErrorOf([&] { Numbers->GetValue(); }),
            "Not string argument in function 'LIKE' - Native error: 30120");
}

// --- ISNULL ---------------------------------------------------------------------------------

TEST(ExprIsNullFunction, OneArgumentTestsTwoReplaceInTheFirstsType) {
  TRecordCursor R({{"I", tftInteger}, {"V", tftVarchar, 10}, {"B", tftBLOB}});
  R.SetNull("I");
  R.SetNull("V");
  TNode Test = Op<TTolvanExprNodeIsNullFunction>(eoIsNullFunction, R.Field("I"));
  EXPECT_EQ(Eval(Test), "LOGICAL TRUE");
  EXPECT_EQ(Test->GetDataType(), tftBoolean);
  EXPECT_EQ(Test->GetDataSize(), 0);

  TNode Replace =
      std::make_unique<TTolvanExprNodeIsNullFunction>(eoIsNullFunction, R.Field("I"), Int(0));
  EXPECT_EQ(Eval(Replace), "INTEGER 0");
  R.SetInt("I", 42);
  EXPECT_EQ(Eval(Replace), "INTEGER 42");
  // The type reported is the fold of both arguments'.
  EXPECT_EQ(Replace->GetDataType(), tftLargeInt);

  TNode Text =
      std::make_unique<TTolvanExprNodeIsNullFunction>(eoIsNullFunction, R.Field("V"), Int(7));
  EXPECT_EQ(Eval(Text), "STRING '7'");
  EXPECT_EQ(Text->GetDataSize(), 11);

  TNode Blob =
      std::make_unique<TTolvanExprNodeIsNullFunction>(eoIsNullFunction, R.Field("V"), R.Field("B"));
  EXPECT_EQ(ErrorOf([&] { Blob->GetValue(); }),
            "Types mismatches in SQL function ISNULL: 2, 31 - Native error: 11600");
  // A replacement that does not convert raises the conversion's error.
  TNode Bad =
      std::make_unique<TTolvanExprNodeIsNullFunction>(eoIsNullFunction, R.Field("I"), Str("x"));
  R.SetNull("I");
  EXPECT_NE(ErrorOf([&] { Bad->GetValue(); }), "no error");

  // More arguments: the value is left as it is and the type is none.
  TNode Three = Op<TTolvanExprNodeIsNullFunction>(eoIsNullFunction, Int(1), Int(2), Int(3));
  EXPECT_TRUE(Three->GetValue().IsNull());
  EXPECT_EQ(Three->GetDataType(), tftNone);
}

// --- field references -----------------------------------------------------------------------

// A cursor whose BLOB reads fail.
class TFailingBlobCursor : public TFakeCursor {
protected:
  std::unique_ptr<TTolvanStream> OpenBlobReader(int32_t) override {
    throw ETolvanException::Create(10117, "Injected failure");
  }
};

TEST(ExprField, ReadsTheRecordItIsPointedAtThroughItsCursor) {
  TRecordCursor R({{"ID", tftInteger}, {"Name", tftVarchar, 10}, {"W", tftWord}});
  R.SetInt("ID", 7);
  R.SetStr("Name", "abc");
  R.SetNull("W");
  TNode Id = R.Field("id");
  auto& F = static_cast<TTolvanExprNodeField&>(*Id);
  EXPECT_EQ(F.FieldNo(), 0);
  EXPECT_EQ(F.FieldType(), tftInteger);
  EXPECT_EQ(F.ValueType(), tvtInteger);
  EXPECT_EQ(F.Size(), 4);
  EXPECT_EQ(F.RecordBuffer(), R.Buffer);
  EXPECT_EQ(Eval(Id), "INTEGER 7");
  // The value borrows the record's bytes.
  EXPECT_TRUE(Id->GetValue().IsBorrowed());
  EXPECT_EQ(Eval(R.Field("NAME")), "STRING 'abc'");
  EXPECT_EQ(Eval(R.Field("W")), "UNSIGNEDINT16 NULL");
  EXPECT_EQ(R.Field("Name")->GetDataSize(), 11);
  EXPECT_EQ(R.Field("W")->GetDataType(), tftWord);

  // Another buffer of the same layout, pointed at by the owner; the cursor keeps its own.
  uint8_t* Other = R.Cursor.AllocRecordBuffer();
  R.Cursor.InitRecord(Other, false);
  TTolvanVariant V;
  V.SetAsInteger(99);
  R.Cursor.SetCursorFieldValue(V, 0, Other, true);
  Id->SetRecordBuffer(Other);
  EXPECT_EQ(Eval(Id), "INTEGER 99");
  EXPECT_EQ(R.Cursor.RecordBuffer(), R.Buffer);
  TTolvanCursor::FreeRecordBuffer(Other);
}

TEST(ExprField, BindingErrors) {
  TRecordCursor R({{"ID", tftInteger}});
  EXPECT_EQ(ErrorOf([&] { TTolvanExprNodeField(&R.Cursor, "nope", "t"); }),
            "Field 'nope' not found - Native error: 30115");
  TTolvanExprNodeField F(nullptr, "ID", "");
  EXPECT_EQ(F.FieldNo(), -1);
  EXPECT_EQ(ErrorOf([&] { F.BindToCursor(nullptr); }), "Value is Null - Native error: 30202");
  EXPECT_EQ(ErrorOf([&] { F.GetValue(); }), "Dataset and AO not assigned - Native error: 30196");
  EXPECT_EQ(ErrorOf([&] { F.GetDataType(); }),
            "Cannot determine expression type - Native error: 30284");
  // A buffer given to a reference that was never bound.
  F.SetRecordBuffer(R.Buffer);
  EXPECT_EQ(ErrorOf([&] { F.GetValue(); }), "Dataset and AO not assigned - Native error: 30196");
  // Bound, then its links cleared and a buffer given: no cursor to read it with.
  F.BindToCursor(&R.Cursor);
  F.BindToAO(nullptr);
  EXPECT_EQ(F.Cursor(), nullptr);
  EXPECT_EQ(F.RecordBuffer(), nullptr);
  F.SetRecordBuffer(R.Buffer);
  R.SetInt("ID", 1);
  EXPECT_EQ(ErrorOf([&] { F.GetValue(); }), "Nil pointer occured - Native error: 11300");
  // A failed binding leaves the reference as it was.
  F.BindToCursor(&R.Cursor);
  TTolvanExprNodeField G(&R.Cursor, "ID", "");
  EXPECT_EQ(ErrorOf([&] { TTolvanExprNodeField(&R.Cursor, "", ""); }),
            "Field '' not found - Native error: 30115");
  EXPECT_EQ(Eval(G), "INTEGER 1");
}

TEST(ExprField, AVisibleNameReachesItsColumn) {
  TRecordCursor R({{"A", tftInteger}, {"B", tftInteger}});
  R.SetInt("A", 1);
  R.SetInt("B", 2);
  TStringList Names, Aliases;
  Names.Add("B");
  Aliases.Add("Alias");
  R.Cursor.SetProjection(Names, Aliases);
  TNode F = R.Field("ALIAS");
  EXPECT_EQ(static_cast<TTolvanExprNodeField&>(*F).FieldNo(), 1);
  EXPECT_EQ(Eval(F), "INTEGER 2");
}

TEST(ExprField, TheCursorGetsItsBufferBackWhenAReadFails) {
  TFailingBlobCursor Cursor;
  TTolvanFieldDefs Fields;
  Fields.AddNew().SetName("B");
  Fields.Items(0).SetType(tftBLOB, 0);
  Cursor.SetTableName("T");
  Cursor.SetInMemory(true);
  Cursor.OpenTable(&Fields, nullptr, nullptr);
  uint8_t* Own = Cursor.AllocRecordBuffer();
  uint8_t* Read = Cursor.AllocRecordBuffer();
  Cursor.SetRecordBuffer(Own);
  Cursor.InitRecord(Read, false);
  SetBit(false, 0, Read); // the BLOB column is not null
  TTolvanExprNodeField F(&Cursor, "B", "");
  F.SetRecordBuffer(Read);
  EXPECT_EQ(ErrorOf([&] { F.GetValue(); }), "Injected failure - Native error: 10117");
  EXPECT_EQ(Cursor.RecordBuffer(), Own);
  Cursor.CloseTable();
  TTolvanCursor::FreeRecordBuffer(Own);
  TTolvanCursor::FreeRecordBuffer(Read);
}

// Two operators as a join sees them: t1 (a, b, x) and t2 (a, c, x).
struct TTwoSources {
  TTwoSources() {
    for (const char* N : {"a", "b", "x"})
      T1.AddColumn(N, "t1", tftInteger);
    for (const char* N : {"a", "c", "x"})
      T2.AddColumn(N, "t2", tftVarchar, 21);
    T1.AddRow();
    T1.Cell(0, 1).SetAsInteger(5);
    T2.AddRow();
    T2.Cell(0, 1).SetAsString("seven");
  }
  TFakeRowSource T1, T2;
};

TNode FieldRef(std::string_view Table, std::string_view Name) {
  return std::make_unique<TTolvanExprNodeField>(nullptr, Name, Table);
}

TEST(ExprField, BoundToAnOperatorReadsItsCurrentRow) {
  TTwoSources S;
  TNode B = FieldRef("", "B");
  B->BindToAO(&S.T1);
  EXPECT_EQ(Eval(B), "INTEGER 5");
  EXPECT_EQ(B->GetDataType(), tftInteger);
  TNode C = FieldRef("t2", "c");
  C->BindToAO(&S.T2);
  EXPECT_EQ(Eval(C), "STRING 'seven'");
  EXPECT_EQ(C->GetDataSize(), 21);
  EXPECT_EQ(ErrorOf([&] { FieldRef("t1", "zz")->BindToAO(&S.T1); }),
            "Field 't1.zz' not found - Native error: 30197");
  EXPECT_EQ(ErrorOf([&] { FieldRef("", "zz")->BindToAO(&S.T1); }),
            "Field '.zz' not found - Native error: 30197");
  // A join operator showing both inputs' a: ambiguous without a table name.
  TFakeRowSource Join;
  Join.AddColumn("a", "t1", tftInteger);
  Join.AddColumn("a", "t2", tftInteger);
  EXPECT_EQ(ErrorOf([&] { FieldRef("", "a")->BindToAO(&Join); }),
            "Field '.a' not found - Native error: 30197");
  TNode A2 = FieldRef("T2", "A");
  A2->BindToAO(&Join);
  EXPECT_EQ(static_cast<TTolvanExprNodeField&>(*A2).FieldNo(), 1);
}

TEST(ExprField, WhereAReferenceCanBeEvaluated) {
  TTwoSources S;
  TTolvanFieldDefs T1Defs;
  for (const char* N : {"a", "b", "x"}) {
    TTolvanFieldDef& D = T1Defs.AddNew();
    D.SetName(N);
    D.SetType(tftInteger, 0);
  }
  S.T1.SetTable(&T1Defs, nullptr);
  TNode B = FieldRef("", "b");
  EXPECT_FALSE(B->AllFieldsIn(nullptr));
  EXPECT_TRUE(B->AllFieldsIn(&S.T1));
  EXPECT_FALSE(B->AllFieldsIn(&S.T2));
  EXPECT_TRUE(B->AnyFieldIn(&S.T1));
  EXPECT_FALSE(FieldRef("t2", "b")->AnyFieldIn(&S.T1));
  EXPECT_FALSE(B->RefersOnlyToTable(&S.T1)); // not bound there
  B->BindToAO(&S.T1);
  EXPECT_TRUE(B->RefersOnlyToTable(&S.T1));
  EXPECT_FALSE(B->RefersOnlyToTable(&S.T2));
  // An operator node asks its children.
  TNode Sum = Op<TTolvanExprNodeArithmetic>(eoAdd, FieldRef("", "b"), FieldRef("", "c"), Int(1));
  EXPECT_FALSE(Sum->AllFieldsIn(&S.T1));
  EXPECT_TRUE(Sum->AnyFieldIn(&S.T1));
  EXPECT_TRUE(Op<TTolvanExprNodeArithmetic>(eoAdd, Int(1), Int(2))->AllFieldsIn(&S.T1));
  EXPECT_FALSE(Op<TTolvanExprNodeArithmetic>(eoAdd, Int(1), Int(2))->AnyFieldIn(&S.T1));
  // The position of the last reference in a name list.
  TStringList Names;
  Names.Add("A");
  Names.Add("C");
  EXPECT_EQ(Sum->FieldIndexIn(Names), -1);
  EXPECT_EQ(Op<TTolvanExprNodeArithmetic>(eoAdd, FieldRef("", "a"), FieldRef("", "c"))
                ->FieldIndexIn(Names),
            1);
  EXPECT_EQ(Int(1)->FieldIndexIn(Names), -1);
}

TEST(ExprComparison, EquiJoinsPairAFieldOfEachOperator) {
  TTwoSources S;
  EXPECT_TRUE(Cmp(eoEqual, FieldRef("", "b"), FieldRef("", "c"))->IsEquiJoin(&S.T1, &S.T2));
  EXPECT_TRUE(Cmp(eoEqual, FieldRef("", "c"), FieldRef("", "b"))->IsEquiJoin(&S.T1, &S.T2));
  EXPECT_TRUE(Cmp(eoEqual, FieldRef("t1", "a"), FieldRef("t2", "a"))->IsEquiJoin(&S.T1, &S.T2));
  EXPECT_FALSE(Cmp(eoEqual, FieldRef("t1", "a"), FieldRef("t1", "b"))->IsEquiJoin(&S.T1, &S.T2));
  EXPECT_FALSE(Cmp(eoLess, FieldRef("", "b"), FieldRef("", "c"))->IsEquiJoin(&S.T1, &S.T2));
  EXPECT_FALSE(Cmp(eoEqual, FieldRef("", "b"), Int(1))->IsEquiJoin(&S.T1, &S.T2));
  EXPECT_FALSE(Cmp(eoEqual, FieldRef("", "b"), FieldRef("", "zz"))->IsEquiJoin(&S.T1, &S.T2));
  EXPECT_EQ(ErrorOf([&] {
              Cmp(eoEqual, FieldRef("", "x"), FieldRef("", "c"))->IsEquiJoin(&S.T1, &S.T2);
            }),
            "Ambiguous field reference to 'x' - Native error: 10404");
  EXPECT_EQ(ErrorOf([&] {
              Cmp(eoEqual, FieldRef("", "b"), FieldRef("", "a"))->IsEquiJoin(&S.T1, &S.T2);
            }),
            "Ambiguous field reference to 'a' - Native error: 10405");
}

TEST(ExprField, SelectAliasesRenameReferencesWrittenWithoutTable) {
  std::vector<TTolvanSelectListItem> Items(3);
  Items[0] = {"t", false, "a", false, nullptr, "b"};
  Items[1] = {"", false, "", true, nullptr, "e"};
  Items[2] = {"u", false, "z", false, nullptr, "q"};
  TNode Tree = Op<TTolvanExprNodeArithmetic>(eoAdd, FieldRef("", "B"), FieldRef("", "E"),
                                             FieldRef("x", "q"), FieldRef("", "Q"));
  Tree->ResolveSelectAliases(Items, 1);
  EXPECT_EQ(DumpExprTree(Tree.get()),
            "(+[i] (FIELD[i] t.a) (FIELD[i] E) (FIELD[i] x.q) (FIELD[i] Q))");
  Tree->ResolveSelectAliases(Items, 99);
  EXPECT_EQ(DumpExprTree(Tree.get()),
            "(+[i] (FIELD[i] t.a) (FIELD[i] E) (FIELD[i] x.q) (FIELD[i] u.z))");
}

// --- comparison preparation -----------------------------------------------------------------

TEST(ExprComparison, AWideConstantNarrowsOnlyWhenNoCharacterIsLost) {
  TRecordCursor R({{"Name", tftVarchar, 10}});
  R.SetStr("Name", "?");
  // U+0436 has no place in the narrow code page and would read as '?'.
  TNode Lost = Cmp(eoEqual, R.Field("Name"), WStr(u"\u0436"));
  Lost->Prepare();
  EXPECT_EQ(Lost->Child(1)->Value().DataType(), tvtWideString);
  EXPECT_EQ(Answer(*Lost), 'F');
  R.SetStr("Name", "\xE9t\xE9");
  TNode Kept = Cmp(eoEqual, WStr(u"\u00e9t\u00e9"), R.Field("Name"));
  Kept->Prepare();
  EXPECT_EQ(Kept->Child(0)->Value().DataType(), tvtString);
  EXPECT_EQ(Answer(*Kept), 'T');
  // The children of a comparison are not prepared by it.
  TNode Nested = Cmp(eoEqual, Cmp(eoEqual, R.Field("Name"), WStr(u"x")), Logical(true));
  Nested->Prepare();
  EXPECT_EQ(Nested->Child(0)->Child(1)->Value().DataType(), tvtWideString);
}

// --- sub-queries ----------------------------------------------------------------------------

class ExprSubQuery : public ::testing::Test {
protected:
  // The rows of SQL: INTEGER values, a negative one standing for a null.
  void Rows(std::string_view SQL, std::initializer_list<int> Values) {
    Services.ClearSubQueryRows(SQL);
    for (int X : Values) {
      TTolvanVariant V(tvtInteger);
      if (X >= 0)
        V.SetAsInteger(X);
      Services.AddSubQueryRow(SQL, V);
    }
  }
  template <class N>
  std::unique_ptr<N> Make(std::string_view SQL, bool Negated = false, TNode InValue = nullptr,
                          const TParams* Params = nullptr) {
    return std::make_unique<N>(SQL, Params, true, "db", "session", Negated, std::move(InValue));
  }

  TFakeExprServices Services;
  TScopedExprServices Scope{&Services};
};

TEST_F(ExprSubQuery, AScalarRunsOnceAtItsFirstEvaluation) {
  Rows("one", {42});
  auto Q = Make<TTolvanExprNodeSubQuery>("one");
  EXPECT_EQ(Services.PrepareCount(), 1);
  EXPECT_EQ(Services.OpenCount(), 0);
  EXPECT_EQ(Eval(*Q), "INTEGER 42");
  EXPECT_EQ(Services.OpenHandleCount(), 0);
  Rows("one", {43});
  EXPECT_EQ(Eval(*Q), "INTEGER 42");
  EXPECT_EQ(Services.OpenCount(), 1);
  EXPECT_TRUE(Q->Evaluated());
  // Its type cannot be asked: it has no children to fold.
  EXPECT_EQ(ErrorOf([&] { Q->GetDataType(); }),
            "Cannot determine expression type - Native error: 30283");

  // A reset runs it again with the new rows and parameter values.
  TParams P;
  P.CreateParam(ftInteger, "p").SetValue(Variant(int32_t(5)));
  Q->ResetSubQueries(&P);
  EXPECT_FALSE(Q->Evaluated());
  EXPECT_TRUE(Q->Value().IsNull());
  EXPECT_EQ(Eval(*Q), "INTEGER 43");
  EXPECT_EQ(Services.PrepareCount(), 2);
  ASSERT_EQ(Services.LastParams().Count(), 1);
  EXPECT_EQ(Services.LastParams().Items(0).Value().AsInteger(), 5);
}

TEST_F(ExprSubQuery, RowCountsOtherThanOneFailAtTheFirstEvaluation) {
  Rows("none", {});
  Rows("two", {1, 2});
  auto None = Make<TTolvanExprNodeSubQuery>("none");
  auto Two = Make<TTolvanExprNodeSubQuery>("two");
  EXPECT_EQ(Services.OpenHandleCount(), 2);
  EXPECT_EQ(ErrorOf([&] { None->GetValue(); }), "Subquery returns no rows - Native error: 10848");
  EXPECT_EQ(ErrorOf([&] { Two->GetValue(); }),
            "Subquery returns multiple rows - Native error: 10849");
  EXPECT_EQ(Services.OpenHandleCount(), 0);
  // The failure stands until a reset, without a second run.
  const int32_t Opens = Services.OpenCount();
  Rows("two", {2});
  EXPECT_EQ(ErrorOf([&] { Two->GetValue(); }),
            "Subquery returns multiple rows - Native error: 10849");
  EXPECT_EQ(Services.OpenCount(), Opens);
  Two->ResetSubQueries(nullptr);
  EXPECT_EQ(Eval(*Two), "INTEGER 2");
}

TEST_F(ExprSubQuery, FailuresOfTheServicesReleaseEveryHandle) {
  Rows("q", {1});
  Services.Fail(TFakeExprServices::fpPrepare, 555);
  EXPECT_EQ(ErrorOf([&] { Make<TTolvanExprNodeSubQuery>("q"); }),
            "Injected failure - Native error: 00555");
  Services.Fail(TFakeExprServices::fpPrepare, 0);
  auto Scalar = Make<TTolvanExprNodeSubQuery>("q");
  auto In = Make<TTolvanExprNodeSubQueryIN>("q", false, Int(1, tvtInteger));
  auto Exists = Make<TTolvanExprNodeSubQueryExists>("q");
  Services.Fail(TFakeExprServices::fpOpen, 556);
  for (TTolvanExprNode* N :
       {static_cast<TTolvanExprNode*>(Scalar.get()), static_cast<TTolvanExprNode*>(In.get()),
        static_cast<TTolvanExprNode*>(Exists.get())})
    EXPECT_EQ(ErrorOf([&] { N->GetValue(); }), "Injected failure - Native error: 00556");
  EXPECT_EQ(Services.OpenHandleCount(), 0);
  Services.Fail(TFakeExprServices::fpOpen, 0);
  // Every form raises its failure again until a reset; none prepares or opens again, since the
  // evaluation may come from inside a scan.
  const int32_t Prepares = Services.PrepareCount(), Opens = Services.OpenCount();
  for (TTolvanExprNode* N :
       {static_cast<TTolvanExprNode*>(Scalar.get()), static_cast<TTolvanExprNode*>(In.get()),
        static_cast<TTolvanExprNode*>(Exists.get())})
    EXPECT_EQ(ErrorOf([&] { N->GetValue(); }), "Injected failure - Native error: 00556");
  EXPECT_EQ(Services.PrepareCount(), Prepares);
  EXPECT_EQ(Services.OpenCount(), Opens);
  In->ResetSubQueries(nullptr);
  Exists->ResetSubQueries(nullptr);
  EXPECT_EQ(Eval(*In), "LOGICAL TRUE");
  EXPECT_EQ(Eval(*Exists), "LOGICAL TRUE");
  Services.Fail(TFakeExprServices::fpRead, 557);
  Scalar->ResetSubQueries(nullptr);
  In->ResetSubQueries(nullptr);
  EXPECT_EQ(ErrorOf([&] { Scalar->GetValue(); }), "Injected failure - Native error: 00557");
  EXPECT_EQ(ErrorOf([&] { In->GetValue(); }), "Injected failure - Native error: 00557");
  // A failed search keeps the IN query open for the next row.
  EXPECT_EQ(Services.OpenHandleCount(), 1);
  Services.Fail(TFakeExprServices::fpRead, 0);
  EXPECT_EQ(Eval(*In), "LOGICAL TRUE");
  In.reset();
  Exists.reset();
  Scalar.reset();
  EXPECT_EQ(Services.OpenHandleCount(), 0);
}

TEST_F(ExprSubQuery, InOpensOnceAndSearchesEveryRow) {
  Rows("ids", {1, 2, -1});
  TRecordCursor R({{"ID", tftInteger}});
  auto In = Make<TTolvanExprNodeSubQueryIN>("ids", false, R.Field("ID"));
  auto NotIn = Make<TTolvanExprNodeSubQueryIN>("ids", true, R.Field("ID"));
  struct TRow {
    int Id;
    const char* In;
  };
  for (const TRow Row : {TRow{1, "TRUE"}, TRow{3, "FALSE"}, TRow{2, "TRUE"}, TRow{-1, "TRUE"}}) {
    if (Row.Id < 0)
      R.SetNull("ID");
    else
      R.SetInt("ID", Row.Id);
    EXPECT_EQ(Eval(*In), std::string("LOGICAL ") + Row.In) << Row.Id;
    EXPECT_EQ(Eval(*NotIn), std::string("LOGICAL ") + (Row.In[0] == 'T' ? "FALSE" : "TRUE"));
  }
  EXPECT_EQ(Services.OpenCount(), 2);
  EXPECT_EQ(Services.OpenHandleCount(), 2);
  // The IN form reports its value's type.
  EXPECT_EQ(In->GetDataType(), tftInteger);
  // Without a value to test.
  auto Bare = Make<TTolvanExprNodeSubQueryIN>("ids");
  EXPECT_EQ(ErrorOf([&] { Bare->GetValue(); }),
            "Error parsing subquery with IN - no argumnet passed - Native error: 10850");
  // A reset closes the query; the next row opens it again and sees the new rows.
  Rows("ids", {3});
  In->ResetSubQueries(nullptr);
  EXPECT_EQ(Services.OpenHandleCount(), 2);
  R.SetInt("ID", 3);
  EXPECT_EQ(Eval(*In), "LOGICAL TRUE");
  // In, NotIn, Bare (which opens before it looks for its value) and In again.
  EXPECT_EQ(Services.OpenCount(), 4);
}

TEST_F(ExprSubQuery, ExistsRunsOnce) {
  Rows("some", {7});
  Rows("empty", {});
  for (auto [SQL, Negated, Expected] :
       {std::tuple{"some", false, "TRUE"}, std::tuple{"some", true, "FALSE"},
        std::tuple{"empty", false, "FALSE"}, std::tuple{"empty", true, "TRUE"}}) {
    auto E = Make<TTolvanExprNodeSubQueryExists>(SQL, Negated);
    EXPECT_EQ(Eval(*E), std::string("LOGICAL ") + Expected) << SQL << Negated;
    EXPECT_EQ(Services.OpenHandleCount(), 0);
    EXPECT_EQ(ErrorOf([&] { E->GetDataType(); }),
              "Cannot determine expression type - Native error: 30283");
  }
  const int32_t Opens = Services.OpenCount();
  auto E = Make<TTolvanExprNodeSubQueryExists>("empty");
  EXPECT_EQ(Eval(*E), "LOGICAL FALSE");
  Rows("empty", {1});
  EXPECT_EQ(Eval(*E), "LOGICAL FALSE");
  EXPECT_EQ(Services.OpenCount(), Opens + 1);
}

TEST_F(ExprSubQuery, ResetReachesSubQueriesAnywhereInTheTree) {
  Rows("a", {1});
  Rows("b", {2});
  TParams P1;
  P1.CreateParam(ftInteger, "x").SetValue(Variant(int32_t(1)));
  TNode Tree = Op<TTolvanExprNodeArithmetic>(
      eoAdd, Make<TTolvanExprNodeSubQuery>("a", false, nullptr, &P1),
      Op<TTolvanExprNodeArithmetic>(eoMultiply, Make<TTolvanExprNodeSubQuery>("b"), Int(10)));
  EXPECT_EQ(Eval(Tree), "SIGNEDINT64 21");
  Rows("a", {3});
  Rows("b", {4});
  EXPECT_EQ(Eval(Tree), "SIGNEDINT64 21");
  TParams P2;
  P2.CreateParam(ftInteger, "x").SetValue(Variant(int32_t(2)));
  Tree->ResetSubQueries(&P2);
  EXPECT_EQ(Eval(Tree), "SIGNEDINT64 43");
  auto& A = static_cast<TTolvanExprNodeSubQuery&>(*Tree->Child(0));
  ASSERT_NE(A.Params(), nullptr);
  EXPECT_EQ(A.Params()->Items(0).Value().AsInteger(), 2);
}

// Run ahead of the rows (as a statement does before it takes any lock), every kind runs once:
// the scalar and EXISTS answers are computed and their queries closed, the IN query is open.
// Evaluating rows afterwards opens nothing.
TEST_F(ExprSubQuery, RunAheadLeavesNothingToRunPerRow) {
  Rows("one", {42});
  Rows("ids", {1, 3});
  Rows("some", {7});
  TRecordCursor R({{"ID", tftInteger}});
  TNode Tree =
      Op<TTolvanExprNodeBoolean>(eoAnd, Cmp(eoEqual, Make<TTolvanExprNodeSubQuery>("one"), Int(42)),
                                 Make<TTolvanExprNodeSubQueryExists>("some"),
                                 Make<TTolvanExprNodeSubQueryIN>("ids", false, R.Field("ID")));
  Tree->RunSubQueries();
  EXPECT_EQ(Services.OpenCount(), 3);
  EXPECT_EQ(Services.OpenHandleCount(), 1); // only IN keeps its query
  Tree->RunSubQueries();
  EXPECT_EQ(Services.OpenCount(), 3);
  Rows("one", {0});
  Rows("some", {});
  for (int Id : {1, 2, 3}) {
    R.SetInt("ID", Id);
    EXPECT_EQ(Answer(*Tree), Id == 2 ? 'F' : 'T') << Id;
  }
  EXPECT_EQ(Services.OpenCount(), 3);
  EXPECT_EQ(Services.PrepareCount(), 3);

  // After a reset the next run sees the new rows, exactly as fresh nodes would.
  Tree->ResetSubQueries(nullptr);
  Tree->RunSubQueries();
  EXPECT_EQ(Services.OpenCount(), 6);
  R.SetInt("ID", 1);
  EXPECT_EQ(Answer(*Tree), 'F');
  TNode Fresh =
      Op<TTolvanExprNodeBoolean>(eoAnd, Cmp(eoEqual, Make<TTolvanExprNodeSubQuery>("one"), Int(0)),
                                 Make<TTolvanExprNodeSubQueryExists>("some", true));
  EXPECT_EQ(Answer(*Fresh), 'T');
}

// A run ahead that fails raises nothing then: its failure is raised at the node's first
// evaluation, and never when no row is evaluated.
TEST_F(ExprSubQuery, ARunAheadKeepsItsFailureForTheFirstEvaluation) {
  Rows("two", {1, 2});
  Rows("q", {5});
  auto Scalar = Make<TTolvanExprNodeSubQuery>("two");
  auto Exists = Make<TTolvanExprNodeSubQueryExists>("q");
  auto In = Make<TTolvanExprNodeSubQueryIN>("q", false, Int(5, tvtInteger));
  Services.Fail(TFakeExprServices::fpOpen, 556);
  for (TTolvanExprNode* N : std::initializer_list<TTolvanExprNode*>{Exists.get(), In.get()})
    EXPECT_NO_THROW(N->RunSubQueries());
  Services.Fail(TFakeExprServices::fpOpen, 0);
  EXPECT_NO_THROW(Scalar->RunSubQueries());
  EXPECT_EQ(Services.OpenHandleCount(), 0);
  // A second run does not replace the kept failure by a success.
  In->RunSubQueries();
  Exists->RunSubQueries();
  EXPECT_EQ(Services.OpenCount(), 1);

  EXPECT_EQ(ErrorOf([&] { Scalar->GetValue(); }),
            "Subquery returns multiple rows - Native error: 10849");
  EXPECT_EQ(ErrorOf([&] { Exists->GetValue(); }), "Injected failure - Native error: 00556");
  EXPECT_EQ(ErrorOf([&] { In->GetValue(); }), "Injected failure - Native error: 00556");
  // Raised again at every evaluation until a reset; nothing runs again meanwhile.
  EXPECT_EQ(ErrorOf([&] { Scalar->GetValue(); }),
            "Subquery returns multiple rows - Native error: 10849");
  EXPECT_EQ(ErrorOf([&] { Exists->GetValue(); }), "Injected failure - Native error: 00556");
  EXPECT_EQ(ErrorOf([&] { In->GetValue(); }), "Injected failure - Native error: 00556");
  EXPECT_EQ(Services.OpenCount(), 1);
  In->ResetSubQueries(nullptr);
  EXPECT_EQ(Eval(*In), "LOGICAL TRUE");

  // A node whose failed run is reset before any evaluation never raises it.
  Services.Fail(TFakeExprServices::fpOpen, 557);
  Exists->ResetSubQueries(nullptr);
  Exists->RunSubQueries();
  Services.Fail(TFakeExprServices::fpOpen, 0);
  Exists->ResetSubQueries(nullptr);
  EXPECT_EQ(Eval(*Exists), "LOGICAL TRUE");
  // Nor does a node destroyed without an evaluation.
  Services.Fail(TFakeExprServices::fpOpen, 558);
  auto Unused = Make<TTolvanExprNodeSubQuery>("q");
  EXPECT_NO_THROW(Unused->RunSubQueries());
  Unused.reset();
  Services.Fail(TFakeExprServices::fpOpen, 0);
  In.reset();
  EXPECT_EQ(Services.OpenHandleCount(), 0);
}

// A re-run takes the parameter values current at its reset, not those of the node's creation,
// so that it prepares the query just as a fresh node made with those values does.
TEST_F(ExprSubQuery, ReRunsTakeTheValuesOfTheirReset) {
  Rows("q", {1});
  auto Values = [](int32_t X, int32_t Y) {
    auto P = std::make_unique<TParams>();
    P->CreateParam(ftInteger, "x").SetValue(Variant(X));
    P->CreateParam(ftInteger, "y").SetValue(Variant(Y));
    return P;
  };
  auto Seen = [&] {
    const TParams& P = Services.LastParams();
    std::string S;
    for (int32_t I = 0; I < P.Count(); ++I)
      S += P.Items(I).Name() + "=" + std::to_string(P.Items(I).Value().AsInteger()) + " ";
    return S;
  };
  auto Created = Values(1, 2);
  auto In = Make<TTolvanExprNodeSubQueryIN>("q", false, Int(1, tvtInteger), Created.get());
  In->RunSubQueries();
  EXPECT_EQ(Seen(), "x=1 y=2 ");
  auto Current = Values(3, 4);
  In->ResetSubQueries(Current.get());
  In->RunSubQueries();
  EXPECT_EQ(Seen(), "x=3 y=4 ");
  // A nil reset keeps the values of the last one.
  In->ResetSubQueries(nullptr);
  EXPECT_EQ(Eval(*In), "LOGICAL TRUE");
  EXPECT_EQ(Seen(), "x=3 y=4 ");
  auto Fresh = Make<TTolvanExprNodeSubQueryIN>("q", false, Int(1, tvtInteger), Current.get());
  EXPECT_EQ(Seen(), "x=3 y=4 ");
  EXPECT_EQ(Eval(*Fresh), Eval(*In));
}

// --- constants, parameters and the tree -----------------------------------------------------

TEST(ExprConst, ValueTypeAndSize) {
  struct TCase {
    TNode Node;
    TTolvanFieldType Type;
    int32_t Size;
  };
  TCase Cases[] = {
      {Int(5), tftLargeInt, 0},
      {Str("abc"), tftVarchar, 3},
      {Str("ab", tvtChar), tftChar, 2},
      {WStr(u"abcd"), tftWideVarchar, 4 * 2},
      {Blob("abcde", tvtMemo), tftMemo, 5},
      {NullOf(tvtString), tftVarchar, 0},
      {Blob("xyz"), tftBLOB, 0},
      {NullOf(tvtNone), tftNone, 0},
  };
  for (TCase& C : Cases) {
    EXPECT_EQ(C.Node->GetDataType(), C.Type) << DumpExprTree(C.Node.get());
    EXPECT_EQ(C.Node->GetDataSize(), C.Size) << DumpExprTree(C.Node.get());
    EXPECT_TRUE(C.Node->AllFieldsIn(nullptr));
  }
}

TEST(ExprConst, ParametersAreCollectedInTreeOrderAndTakeNewValues) {
  auto P1 = std::make_unique<TTolvanExprNodeConst>(true, false);
  P1->SetParam("First");
  auto P2 = std::make_unique<TTolvanExprNodeConst>(true, false);
  P2->SetParam("second");
  EXPECT_EQ(P1->NameHash(), int32_t(tolvan::NameHash("FIRST")));
  TTolvanExprNodeConst* First = P1.get();
  TNode Tree =
      Op<TTolvanExprNodeBoolean>(eoAnd, Cmp(eoEqual, Int(1), std::move(P1)),
                                 Op<TTolvanExprNodeArithmetic>(eoAdd, Int(2), std::move(P2)));
  std::vector<TTolvanExprNodeConst*> Params;
  Tree->CollectParams(Params);
  ASSERT_EQ(Params.size(), 2u);
  EXPECT_EQ(Params[0], First);
  EXPECT_EQ(Params[1]->ParamName(), "second");
  TTolvanVariant V;
  V.SetAsInteger(1);
  Params[0]->SetValue(V);
  V.SetAsInteger(2); // the constant holds its own copy
  EXPECT_EQ(Eval(*Tree->Child(0)), "LOGICAL TRUE");
  EXPECT_EQ(DumpExprTree(Tree.get()),
            "(AND[i] (=[ik] (CONST[i] SIGNEDINT64 1) (PARAM[i] :First INTEGER 1)) "
            "(+[i] (CONST[i] SIGNEDINT64 2) (PARAM[i] :second NONE NULL)))");
}

TEST(ExprNode, ChildrenMoveInAndOut) {
  TNode And = Op<TTolvanExprNodeBoolean>(eoAnd, Logical(true));
  And->AddChild(Logical(false));
  And->AddChild(nullptr);
  And->InsertChild(0, NullOf(tvtLogical));
  And->InsertChild(3, Int(4));
  EXPECT_EQ(DumpExprTree(And.get()),
            "(AND[i] (CONST[i] LOGICAL NULL) (CONST[i] LOGICAL TRUE) (CONST[i] LOGICAL FALSE) "
            "(CONST[i] SIGNEDINT64 4))");
  TNode Taken = And->ReleaseChild(2);
  EXPECT_EQ(DumpExprTree(Taken.get()), "(CONST[i] LOGICAL FALSE)");
  EXPECT_EQ(And->ChildCount(), 3);
  EXPECT_EQ(And->IndexOfChild(And->Child(2)), 2);
  EXPECT_EQ(And->IndexOfChild(Taken.get()), -1);
  EXPECT_EQ(Eval(And), "LOGICAL NULL");
  for (int32_t Bad : {-1, 3})
    EXPECT_EQ(ErrorOf([&] { And->Child(Bad); }),
              "class library: List index out of bounds (" + std::to_string(Bad) + ")");
  EXPECT_EQ(ErrorOf([&] { And->InsertChild(4, Int(1)); }),
            "class library: List index out of bounds (4)");
  EXPECT_EQ(ErrorOf([&] { And->ReleaseChild(3); }), "class library: List index out of bounds (3)");
  EXPECT_EQ(DumpExprTree(nullptr), "(EMPTY)");
  // A node missing an operand its operator needs says so.
  TNode Short = Op<TTolvanExprNodeArithmetic>(eoDivide, Int(1));
  EXPECT_EQ(ErrorOf([&] { Short->GetValue(); }),
            "Argument expected in SQL function / - Native error: 11606");
}

} // namespace
