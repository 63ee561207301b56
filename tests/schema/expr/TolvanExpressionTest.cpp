#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "foundation/TolvanExcept.h"
#include "schema/TolvanConstraintDef.h"
#include "schema/TolvanSQLParams.h"
#include "schema/expr/TolvanExprDump.h"
#include "schema/expr/TolvanExpression.h"
#include "schema/expr/TolvanLexer.h"
#include "tests/schema/expr/ExprTestSupport.h"
#include "tests/schema/support/FakeRowSource.h"

namespace tolvan::test {
namespace {

std::string Dump(const TTolvanExpression& E) { return DumpExprTree(E.Root()); }
std::string Dump(const std::unique_ptr<TTolvanExpression>& E) {
  return E ? Dump(*E) : "(no filter)";
}

TTolvanIndexDef& AddIndex(TTolvanIndexDefs& Defs, const char* Column, bool Descending,
                          bool CaseInsensitive) {
  auto& Def = static_cast<TTolvanIndexDef&>(Defs.AddNew());
  Def.SetName(std::string("IX_") + Column + std::to_string(Defs.Count()));
  Def.SetObjectID(Defs.Count());
  Def.SetColumnCount(1);
  Def.Columns(0).SetName(Column);
  Def.Columns(0).SetDescending(Descending);
  Def.Columns(0).SetCaseInsensitive(CaseInsensitive);
  return Def;
}

// The key conditions made of Filter over a one-index table, as "kind kind ..." ("none" when the
// comparison stays in the filter), with the filter left after extraction.
struct TKinds {
  std::string Kinds;
  std::string Left;
};

TKinds KindsOf(TTolvanExpression& E, const TTolvanIndexDefs& Defs) {
  TTolvanScanSearchConditionArray Conditions;
  Conditions.AddExpression(&E);
  TTolvanExtractedComparisons List;
  const std::string Before = Dump(E);
  Conditions.ExtractIndexConditions(Defs, List);
  TKinds R;
  for (int32_t I = 1; I < Conditions.Count(); ++I) {
    R.Kinds += (I > 1 ? " " : "") + std::to_string(Conditions.Items(I).ConditionType);
    EXPECT_EQ(Conditions.Items(I).KeyFieldCount, 1);
    EXPECT_EQ(Conditions.Items(I).IndexID, Defs.Items(0).ObjectID());
    EXPECT_EQ(Conditions.Items(I).Expression, nullptr);
  }
  if (R.Kinds.empty())
    R.Kinds = "none";
  R.Left = Dump(E);
  Conditions.ReleaseExtracted(List);
  EXPECT_EQ(Dump(E), Before);
  return R;
}

// --- scan kinds -----------------------------------------------------------------------------

TEST(Expression, ScanConditionKinds) {
  TRecordCursor C({{"X", tftInteger},
                   {"S", tftSmallInt},
                   {"V", tftVarchar, 8},
                   {"DT", tftDateTime},
                   {"M", tftMemo}});
  struct TCase {
    const char* Filter;
    const char* Column;
    bool Descending;
    bool IndexCaseInsensitive;
    bool FilterCaseInsensitive;
    bool Partial;
    const char* Kinds; // 1 equal, 2 less, 3 greater, 4 less or equal, 5 greater or equal
  };
  const TCase Cases[] = {
      {"X = 5", "X", false, false, false, false, "1"},
      {"X > 5", "X", false, false, false, false, "3"},
      {"X >= 5", "X", false, false, false, false, "5"},
      // Towards the nulls a range is closed by a second condition beyond the null keys.
      {"X < 5", "X", false, false, false, false, "2 3"},
      {"X <= 5", "X", false, false, false, false, "4 3"},
      {"5 > X", "X", false, false, false, false, "2 3"},
      {"5 < X", "X", false, false, false, false, "3"},
      {"5 >= X", "X", false, false, false, false, "4 3"},
      {"X > 5", "X", true, false, false, false, "2"},
      {"X < 5", "X", true, false, false, false, "3 2"},
      {"X >= 5", "X", true, false, false, false, "4"},
      {"X <= 5", "X", true, false, false, false, "5 2"},
      {"5 > X", "X", true, false, false, false, "3 2"},
      {"5 < X", "X", true, false, false, false, "2"},
      {"X <> 5", "X", false, false, false, false, "none"},
      {"S = 5", "X", false, false, false, false, "none"},
      {"x = 5", "X", false, false, false, false, "1"},
      {"X + 0 = 5", "X", false, false, false, false, "none"},
      // Case modes must agree for text; prefix comparisons never use the index.
      {"V = 'abc'", "V", false, true, true, false, "1"},
      {"V = 'abc'", "V", false, false, true, false, "none"},
      {"V = 'abc'", "V", false, true, false, false, "none"},
      {"V = 'abc'", "V", false, false, false, false, "1"},
      {"V = 'ab*'", "V", false, false, false, true, "none"},
      {"V = 'ab*'", "V", false, false, false, false, "1"},
      // The constant must reach the key unchanged and compare in the column's order.
      {"S > 40000", "S", false, false, false, false, "none"},
      {"S > 100000", "S", false, false, false, false, "none"},
      {"S > 30000", "S", false, false, false, false, "3"},
      {"X = 2.5", "X", false, false, false, false, "none"},
      {"X = 2.0", "X", false, false, false, false, "1"},
      {"X > '5'", "X", false, false, false, false, "none"},
      {"X > NULL", "X", false, false, false, false, "none"},
      {"V = 'abcdefghij'", "V", false, false, false, false, "none"},
      {"V > 5", "V", false, false, false, false, "3"}, // compared as text
      {"M = 'abc'", "M", false, false, false, false, "none"},
  };
  for (const TCase& T : Cases) {
    TTolvanIndexDefs Defs;
    AddIndex(Defs, T.Column, T.Descending, T.IndexCaseInsensitive);
    TTolvanExpression E;
    E.ParseFilter(&C.Cursor, T.Filter, T.FilterCaseInsensitive, T.Partial);
    const std::string Before = Dump(E);
    const TKinds K = KindsOf(E, Defs);
    EXPECT_EQ(K.Kinds, T.Kinds) << T.Filter << " on " << T.Column
                                << (T.Descending ? " desc" : " asc");
    EXPECT_EQ(K.Left, K.Kinds == "none" ? Before : "(EMPTY)") << T.Filter;
  }
}

TEST(Expression, ScanConditionsOfTypedConstants) {
  TRecordCursor C({{"X", tftInteger}, {"DT", tftDateTime}, {"D", tftDate}});
  struct TCase {
    const char* Column;
    TTolvanValueType Type;
    bool Keep;
    const char* Kinds;
  } Cases[] = {
      {"DT", tvtDate, true, "none"}, // compared as dates
      {"DT", tvtDateTime, true, "1"},
      {"D", tvtDate, true, "1"},
      {"X", tvtSingle, true, "none"}, // compared as SINGLE, which cannot hold every INTEGER
      {"X", tvtSignedInt16, true, "1"},
      {"X", tvtNone, false, "1"}, // a null key under null-as-lowest
      {"X", tvtNone, true, "none"},
  };
  for (const TCase& T : Cases) {
    TTolvanIndexDefs Defs;
    AddIndex(Defs, T.Column, false, false);
    TTolvanVariant V(T.Type == tvtNone ? tvtInteger : T.Type);
    if (T.Type == tvtDate)
      V.SetAsStoredDate(738000);
    else if (T.Type == tvtDateTime)
      V.SetAsStoredDateTime({738000, 0});
    else if (T.Type == tvtSingle)
      V.SetAsSingle(3.0f);
    else if (T.Type == tvtSignedInt16)
      V.SetAsSmallInt(3);
    TTolvanExpression E;
    E.SetRoot(std::make_unique<TTolvanExprNodeComparison>(eoEqual, C.Field(T.Column), ConstOf(V),
                                                          T.Keep, false, false));
    E.BindToCursor(&C.Cursor);
    const std::string Before = Dump(E);
    EXPECT_EQ(KindsOf(E, Defs).Kinds, T.Kinds) << Before;
  }
}

// --- giving comparisons back ------------------------------------------------------------------

TEST(Expression, ExtractedComparisonsComeBackWhereTheyStood) {
  TRecordCursor C({{"A", tftInteger}, {"B", tftInteger}, {"Z", tftInteger}});
  TTolvanIndexDefs Defs;
  AddIndex(Defs, "A", false, false);
  AddIndex(Defs, "B", false, false);
  const char* Filters[] = {"A = 1 AND B = 2", "Z = 1 AND A = 1 AND Z = 2 AND B = 2 AND Z = 3",
                           "A = 1", "B = 2 AND A > 1 AND A < 9", "Z = 3"};
  for (const char* Filter : Filters) {
    TTolvanExpression E;
    E.ParseFilter(&C.Cursor, Filter, false, false);
    const std::string Before = Dump(E);
    // Several searches in a row, each ending another way.
    for (int Round = 0; Round < 3; ++Round) {
      TTolvanScanSearchConditionArray Conditions;
      Conditions.AddExpression(&E);
      TTolvanExtractedComparisons List;
      Conditions.ExtractIndexConditions(Defs, List);
      if (Round == 0)
        Conditions.ReleaseExtracted(List);
    }
    EXPECT_EQ(Dump(E), Before) << Filter;
    try {
      TTolvanScanSearchConditionArray Conditions;
      Conditions.AddExpression(&E);
      TTolvanExtractedComparisons List;
      Conditions.ExtractIndexConditions(Defs, List);
      throw EAbort("search failed");
    } catch (const EAbort&) {
    }
    EXPECT_EQ(Dump(E), Before) << Filter;
  }
}

TEST(Expression, AddComparison) {
  TTolvanExpression E;
  E.AddComparison(Cmp(eoEqual, Unbound("a"), Int(1)));
  EXPECT_EQ(Dump(E), "(=[ik] (FIELD[i] a) (CONST[i] SIGNEDINT64 1))");
  E.AddComparison(Cmp(eoEqual, Unbound("b"), Int(2)));
  EXPECT_EQ(Dump(E), "(AND[i] (=[ik] (FIELD[i] a) (CONST[i] SIGNEDINT64 1)) (=[ik] (FIELD[i] b) "
                     "(CONST[i] SIGNEDINT64 2)))");
  E.AddComparison(Cmp(eoEqual, Unbound("c"), Int(3)));
  EXPECT_EQ(E.Root()->ChildCount(), 3);
  EXPECT_EQ(DumpExprTree(E.Root()->Child(2)), "(=[ik] (FIELD[i] c) (CONST[i] SIGNEDINT64 3))");
}

// --- oversized equality -----------------------------------------------------------------------

TEST(Expression, HasOversizedStringEquality) {
  TRecordCursor C(
      {{"V", tftVarchar, 8}, {"W", tftWideVarchar, 3}, {"M", tftMemo}, {"X", tftInteger}});
  struct TCase {
    const char* Filter;
    bool Partial;
    bool Expected;
  } Cases[] = {
      {"V = 'zzzzzzzz'", false, false},   {"V = 'zzzzzzzzz'", false, true},
      {"'zzzzzzzzz' = V", false, true},   {"X = 1 AND V = 'zzzzzzzzz'", false, true},
      {"V > 'zzzzzzzzz'", false, false},  {"V = 'zzzzzzzzz*'", true, false},
      {"'zzzzzzzzz*' = V", true, false},  {"W = 'abc'", false, false},
      {"W = 'abcd'", false, true},        {"M = 'longer than eight'", false, false},
      {"X = 123456789012", false, false}, {"V = 'zzzzzzzzz' OR X = 1", false, false},
  };
  for (const TCase& T : Cases) {
    TTolvanExpression E;
    E.ParseFilter(&C.Cursor, T.Filter, false, T.Partial);
    EXPECT_EQ(E.HasOversizedStringEquality(), T.Expected) << T.Filter;
  }
  EXPECT_FALSE(TTolvanExpression().HasOversizedStringEquality());
}

// --- the condition array ----------------------------------------------------------------------

TEST(ScanConditionArray, ItemsAndErrors) {
  TTolvanScanSearchConditionArray A;
  TTolvanScanSearchCondition Key;
  Key.ConditionType = sctEqual;
  Key.IndexID = 7;
  A.AddCondition(Key); // an index without a key buffer is accepted
  TTolvanExpression E;
  A.AddExpression(&E);
  A.AddExpression(&E);
  EXPECT_EQ(A.Count(), 3);
  EXPECT_EQ(A.Items(1).Expression, &E);
  EXPECT_EQ(A.Items(1).IndexID, -1);
  EXPECT_EQ(A.Items(1).ConditionType, sctExpression);
  EXPECT_EQ(ErrorOf([&] { A.Delete(3); }),
            "Invalid item number - ItemNo = 3, ItemCount = 3 - Native error: 10413");
  EXPECT_EQ(ErrorOf([&] { A.Delete(-1); }),
            "Invalid item number - ItemNo = -1, ItemCount = 3 - Native error: 10413");
  TTolvanScanSearchCondition Neither;
  EXPECT_EQ(ErrorOf([&] { A.AddCondition(Neither); }),
            "Invalid scan condition - indexID = -1, count = 3 - Native error: 10388");
  EXPECT_EQ(ErrorOf([&] { A.AddExpression(nullptr); }),
            "Invalid scan condition - indexID = -1, count = 3 - Native error: 10388");
  TTolvanScanSearchCondition ExpressionOnly;
  ExpressionOnly.Expression = &E;
  A.AddCondition(ExpressionOnly);
  EXPECT_EQ(A.Count(), 4);
  A.Delete(0);
  EXPECT_EQ(A.Count(), 3);
  EXPECT_EQ(A.Items(0).Expression, &E);
  // Key conditions alone give nothing to extract.
  TTolvanScanSearchConditionArray Keys;
  Keys.AddCondition(Key);
  TTolvanIndexDefs Defs;
  AddIndex(Defs, "A", false, false);
  TTolvanExtractedComparisons List;
  Keys.ExtractIndexConditions(Defs, List);
  EXPECT_EQ(Keys.Count(), 1);
  EXPECT_EQ(List.Count(), 0);
  EXPECT_EQ(Keys.Items(0).ConditionType, sctEqual);
}

TEST(ScanConditionArray, AnExpressionAddedTwiceIsExtractedOnce) {
  TRecordCursor C({{"A", tftInteger}, {"B", tftInteger}});
  TTolvanIndexDefs Defs;
  AddIndex(Defs, "A", false, false);
  auto E = std::make_unique<TTolvanExpression>();
  E->ParseFilter(&C.Cursor, "A = 1 AND B = 2", false, false);
  {
    TTolvanScanSearchConditionArray Conditions;
    Conditions.AddExpression(E.get());
    Conditions.AddExpression(E.get());
    TTolvanExtractedComparisons List;
    Conditions.ExtractIndexConditions(Defs, List);
    EXPECT_EQ(List.Count(), 1);
    EXPECT_EQ(Conditions.Count(), 3);
    EXPECT_EQ(Dump(*E), "(AND[i] (=[k] (FIELD[i] B) (CONST[i] SIGNEDINT64 2)))");
  }
  // The array freed neither copy; the list gave the comparison back.
  EXPECT_EQ(Dump(*E), "(AND[i] (=[k] (FIELD[i] A) (CONST[i] SIGNEDINT64 1)) (=[k] (FIELD[i] B) "
                      "(CONST[i] SIGNEDINT64 2)))");
  C.SetInt("A", 1);
  C.SetInt("B", 2);
  E->SetRecordBuffer(C.Buffer);
  EXPECT_TRUE(E->EvaluateBoolean());
}

TEST(ScanConditionArray, ScanErrorsOfPublicCalls) {
  TRecordCursor C({{"A", tftInteger}});
  TTolvanIndexDefs Defs;
  TTolvanIndexDef& Index = AddIndex(Defs, "A", false, false);
  TTolvanIndexDefs NoColumns;
  TTolvanIndexDef& Empty = AddIndex(NoColumns, "A", false, false);
  Empty.SetColumnCount(0);
  // The expression outlives the list, which gives back to it.
  TTolvanExpression E;
  TTolvanScanSearchConditionArray Conditions;
  TTolvanExtractedComparisons List;
  TNode Unbound = Cmp(eoEqual, std::make_unique<TTolvanExprNodeField>(nullptr, "A", ""), Int(1));
  EXPECT_EQ(ErrorOf([&] { E.AddScanCondition(*Unbound, Index, Conditions, List); }),
            "Pointer is nil - Native error: 20054");
  TNode NoConstant = Cmp(eoEqual, C.Field("A"), C.Field("A"));
  EXPECT_EQ(ErrorOf([&] { E.AddScanCondition(*NoConstant, Index, Conditions, List); }),
            "Pointer is nil - Native error: 20055");
  TNode Good = Cmp(eoEqual, C.Field("A"), Int(1));
  EXPECT_EQ(ErrorOf([&] { E.AddScanCondition(*Good, Empty, Conditions, List); }),
            "Invalid index for search - Native error: 20057");
  EXPECT_FALSE(TTolvanExpression::IsIndexableComparison(*Good, Empty));
  EXPECT_TRUE(TTolvanExpression::IsIndexableComparison(*Good, Index));
  // A comparison the expression does not hold.
  E.SetRoot(Cmp(eoEqual, C.Field("A"), Int(2)));
  ASSERT_TRUE(E.AddScanCondition(*Good, Index, Conditions, List));
  EXPECT_EQ(ErrorOf([&] { E.RemoveUsedConditions(List); }),
            "Invalid index No (IndexOf) - Native error: 20059");
  EXPECT_EQ(Conditions.Count(), 1);
}

// --- builders -------------------------------------------------------------------------------

TEST(Expression, BuildersFromForeignKeys) {
  TRecordCursor Parent({{"P1", tftInteger}, {"P2", tftVarchar, 5}});
  TRecordCursor Child({{"C1", tftInteger}, {"C2", tftVarchar, 5}});
  Child.Cursor.FieldDefs().Items(0).SetObjectID(11);
  Child.Cursor.FieldDefs().Items(1).SetObjectID(12);
  TTolvanIndexDef Index;
  Index.SetColumnCount(2);
  Index.Columns(0).SetName("P1");
  Index.Columns(1).SetName("P2");
  TTolvanConstraintDefForeignKey Key;
  Key.Columns().push_back(TTolvanObjectRef("C1", 11));
  Key.Columns().push_back(TTolvanObjectRef("C2", 12));

  TTolvanExpression E;
  Child.SetInt("C1", 5);
  Child.SetNull("C2");
  E.BuildFromIndexKey(&Parent.Cursor, Child.Cursor, Index, Key);
  EXPECT_EQ(Dump(E), "(= (FIELD[i] P1) (CONST INTEGER 5))");
  EXPECT_FALSE(E.KeepNullCodes());
  Child.SetStr("C2", "ab");
  E.BuildFromIndexKey(&Parent.Cursor, Child.Cursor, Index, Key);
  EXPECT_EQ(Dump(E), "(AND[i] (= (FIELD[i] P1) (CONST INTEGER 5)) (= (FIELD[i] P2) (CONST STRING "
                     "'ab')))");
  Child.SetNull("C1");
  Child.SetNull("C2");
  E.BuildFromIndexKey(&Parent.Cursor, Child.Cursor, Index, Key);
  EXPECT_TRUE(E.IsEmpty());

  Parent.SetInt("P1", 7);
  Parent.SetNull("P2");
  E.BuildFromKeyFields(&Child.Cursor, Parent.Cursor, Index, Key);
  EXPECT_EQ(Dump(E), "(= (FIELD[i] C1) (CONST INTEGER 7))");
  Key.SetMatchType(2);
  E.BuildFromKeyFields(&Child.Cursor, Parent.Cursor, Index, Key);
  EXPECT_TRUE(E.KeepNullCodes());
  EXPECT_EQ(Dump(E), "(AND[i] (=[k] (FIELD[i] C1) (CONST INTEGER 7)) (=[k] (FIELD[i] C2) (CONST "
                     "STRING NULL)))");
}

TEST(Expression, BuildLocate) {
  TRecordCursor C({{"A", tftInteger}, {"B", tftVarchar, 5}});
  TTolvanExpression E;
  E.BuildLocate(&C.Cursor, " a ", Variant(int32_t(3)), true, false);
  EXPECT_EQ(Dump(E), "(=[i] (FIELD[i] A) (CONST[i] INTEGER 3))");
  EXPECT_FALSE(E.KeepNullCodes());
  E.BuildLocate(&C.Cursor, "A;b", VarArrayOf({Variant::Null(), Variant("x")}), false, true);
  EXPECT_EQ(Dump(E), "(AND[i] (=[p] (FIELD[i] A) (CONST[p] NONE NULL)) (=[p] (FIELD[i] B) "
                     "(CONST[p] STRING 'x')))");
  EXPECT_EQ(ErrorOf([&] { E.BuildLocate(&C.Cursor, "A;B", Variant(int32_t(3)), false, false); }),
            "Count of FieldNames (2) not equal counts of KeyValues (1) - Native error: 30112");
  EXPECT_TRUE(E.IsEmpty());
  EXPECT_EQ(ErrorOf([&] { E.BuildLocate(&C.Cursor, "Q", Variant(int32_t(3)), false, false); }),
            "Field 'Q' not found - Native error: 30115");
  // Null orders below every value and equals a null.
  E.BuildLocate(&C.Cursor, "A", Variant::Null(), false, false);
  C.SetNull("A");
  E.SetRecordBuffer(C.Buffer);
  EXPECT_TRUE(E.EvaluateBoolean());
}

// --- parsing and evaluation -------------------------------------------------------------------

TEST(Expression, ParseAndEvaluate) {
  TRecordCursor C({{"A", tftInteger}, {"L", tftBoolean}});
  TTolvanExpression E;
  E.ParseFilter(&C.Cursor, "A = 1 xyz", false, false);
  EXPECT_EQ(Dump(E), "(=[k] (FIELD[i] A) (CONST[i] SIGNEDINT64 1))");
  E.ParseFilter(&C.Cursor, "(A = 1 AND A = 2) AND A = 3", false, false);
  EXPECT_EQ(Dump(E), "(AND[i] (=[k] (FIELD[i] A) (CONST[i] SIGNEDINT64 3)) (=[k] (FIELD[i] A) "
                     "(CONST[i] SIGNEDINT64 1)) (=[k] (FIELD[i] A) (CONST[i] SIGNEDINT64 2)))");
  E.ParseFilter(&C.Cursor, "A = 1 AND (A = 2 AND A = 3)", false, false);
  EXPECT_EQ(Dump(E), "(AND[i] (=[k] (FIELD[i] A) (CONST[i] SIGNEDINT64 1)) (=[k] (FIELD[i] A) "
                     "(CONST[i] SIGNEDINT64 2)) (=[k] (FIELD[i] A) (CONST[i] SIGNEDINT64 3)))");
  E.ParseFilter(&C.Cursor, "((A = 1 AND A = 2) AND (A = 3 AND A = 4)) AND A = 5", false, false);
  EXPECT_EQ(E.Root()->ChildCount(), 5);
  for (int32_t I = 0; I < 5; ++I)
    EXPECT_NE(E.Root()->Child(I)->Operator(), eoAnd);

  // Evaluation reads the record and never writes it.
  C.SetInt("A", 3);
  const std::vector<uint8_t> Before = C.Record();
  E.ParseFilter(&C.Cursor, "A > 2 AND A < 4", false, false);
  E.SetRecordBuffer(C.Buffer);
  EXPECT_TRUE(E.EvaluateBoolean());
  EXPECT_EQ(C.Record(), Before);

  // A null condition is false; with keep-null it is the null.
  E.SetRoot(C.Field("L"));
  E.BindToCursor(&C.Cursor);
  C.SetNull("L");
  EXPECT_FALSE(E.EvaluateBoolean());
  EXPECT_EQ(Show(*E.Evaluate(false)), "LOGICAL FALSE");
  EXPECT_EQ(Show(*E.Evaluate(true)), "LOGICAL NULL");
  // A null constant stays null in the tree.
  E.SetRoot(NullOf(tvtLogical));
  EXPECT_EQ(Show(*E.Evaluate(false)), "LOGICAL FALSE");
  EXPECT_TRUE(E.IsNullConstant());
  EXPECT_TRUE(E.Root()->Value().IsNull());
  E.Clear();
  EXPECT_EQ(E.Evaluate(false), nullptr);
}

TEST(Expression, ErrorsWithTheirTexts) {
  TRecordCursor C({{"A", tftInteger}});
  TTolvanExpression E;
  EXPECT_EQ(ErrorOf([&] { E.EvaluateBoolean(); }), "Value is Null - Native error: 30110");
  EXPECT_EQ(ErrorOf([&] { E.ParseFilter(&C.Cursor, "  -- nothing\n", false, false); }),
            "Blank SQL command - Native error: 30119");
  EXPECT_NE(ErrorOf([&] {
              E.ParseFilter(&C.Cursor, "A = :p", false, false);
            }).find("Native error: 30358"),
            std::string::npos);
  TTolvanLexer Lexer("A = 1", nullptr);
  Lexer.NextStatement();
  E.ParseCondition(Lexer);
  EXPECT_EQ(ErrorOf([&] { E.ParseCondition(Lexer); }),
            "Unexpected end of SQL command found at line 1, column 5 - Native error: 30118");
  EXPECT_EQ(ErrorOf([&] { E.ParseValue(Lexer); }),
            "Unexpected end of SQL command found at line 1, column 5 - Native error: 30136");
  EXPECT_EQ(ErrorOf([&] {
              AnsiString F, T;
              E.GetFieldName(F, T);
            }),
            "Node is not field - Native error: 30198");
}

TEST(Expression, ShapeAndValueQuestions) {
  TRecordCursor C({{"A", tftVarchar, 12}});
  TTolvanExpression E;
  EXPECT_TRUE(E.IsEmpty());
  EXPECT_EQ(E.GetDataType(), tftNone);
  EXPECT_EQ(E.GetDataSize(), 0);
  EXPECT_FALSE(E.HasAggregate());
  EXPECT_FALSE(E.HasCountStar());
  TTolvanLexer Lexer("t.A , 1", nullptr);
  Lexer.NextStatement();
  E.SetCursor(nullptr);
  E.ParseValue(Lexer);
  EXPECT_TRUE(E.IsField());
  AnsiString Field, Table;
  E.GetFieldName(Field, Table);
  EXPECT_EQ(Field + "|" + Table, "A|t");
  TToken Token;
  Lexer.CurrentToken(Token);
  EXPECT_EQ(Token.Kind, tktComma);
  Lexer.NextToken(Token);
  E.ParseValue(Lexer);
  EXPECT_TRUE(E.IsConstant());
  EXPECT_FALSE(E.IsNullConstant());
  TTolvanLexer Counting("COUNT(*)", nullptr);
  Counting.NextStatement();
  E.ParseValue(Counting);
  EXPECT_TRUE(E.IsCountStar());
  EXPECT_TRUE(E.HasCountStar());
  EXPECT_TRUE(E.HasAggregate());
  E.BindToCursor(&C.Cursor);
  E.SetRoot(C.Field("A"));
  EXPECT_EQ(E.GetDataType(), tftVarchar);
  EXPECT_EQ(E.GetDataSize(), 13);
}

TEST(Expression, ParametersAndAliasesReachTheNodes) {
  TTolvanSQLParams Params;
  TTolvanSQLParam& P = Params.Add();
  P.SetName("p");
  P.Clear(tvtInteger);
  P.SetAsLargeInt(4);
  TTolvanLexer Lexer("Total > :p AND Total < :p + 5", &Params);
  Lexer.NextStatement();
  TTolvanExpression E;
  E.ParseCondition(Lexer);
  std::vector<TTolvanExprNodeConst*> Found;
  E.CollectParams(Found);
  ASSERT_EQ(Found.size(), 2u);
  EXPECT_EQ(Found[0]->ParamName(), "p");
  TTolvanSelectListItem Item;
  Item.TableName = "t";
  Item.FieldName = "amount";
  Item.Alias = "TOTAL";
  const TTolvanSelectListItem Items[] = {std::move(Item)};
  E.ResolveSelectAliases(Items, 0);
  EXPECT_EQ(Dump(E), "(AND[i] (>[k] (FIELD[i] t.amount) (PARAM[i] :p INTEGER 4)) (<[k] (FIELD[i] "
                     "t.amount) (+[i] (PARAM[i] :p INTEGER 4) (CONST[i] SIGNEDINT64 5))))");
  E.ResetSubQueries(nullptr);
}

TEST(Expression, AssignOptionsCopiesOptionsAndParametersNotTheTree) {
  TParams Params;
  Params.CreateParam(ftInteger, "p");
  TTolvanExpression A, B;
  A.SetParams(&Params);
  A.SetCaseInsensitive(true);
  A.SetPartialCompare(true);
  A.SetKeepNullCodes(false);
  A.SetRoot(Int(1));
  B.SetRoot(Int(2));
  B.AssignOptions(A);
  EXPECT_TRUE(B.CaseInsensitive());
  EXPECT_TRUE(B.PartialCompare());
  EXPECT_FALSE(B.KeepNullCodes());
  ASSERT_NE(B.Params(), nullptr);
  EXPECT_NE(B.Params(), A.Params());
  EXPECT_EQ(B.Params()->Items(0).Name(), "p");
  EXPECT_EQ(Dump(B), "(CONST[i] SIGNEDINT64 2)");
  TTolvanExpression None;
  B.AssignOptions(None);
  EXPECT_EQ(B.Params(), nullptr);
  EXPECT_TRUE(None.KeepNullCodes());
}

// --- push-down ------------------------------------------------------------------------------

// Leaves L (a) and R (b) under a join J that shows both.
struct TJoinTree {
  TJoinTree() {
    L.AddColumn("a", "L", tftInteger);
    R.AddColumn("b", "R", tftInteger);
    J.AddColumn("a", "L", tftInteger);
    J.AddColumn("b", "R", tftInteger);
    J.AddInput(&L);
    J.AddInput(&R);
  }
  TFakeRowSource L, R, J;
};

std::unique_ptr<TTolvanExpression> Parsed(std::string_view Text) {
  auto E = std::make_unique<TTolvanExpression>();
  E->ParseFilter(nullptr, Text, false, false);
  return E;
}

TEST(Expression, PushConditionsToJoins) {
  struct TCase {
    TTolvanJoinType Type;
    const char* Left;
    const char* Right;
    const char* Join;
  } Cases[] = {
      {jtInner, "a = 1", "b = 2", "a = b"},
      {jtCross, "a = 1", "b = 2", "a = b"},
      {jtLeftOuter, "a = 1", "-", "b = 2 AND a = b"},
      {jtRightOuter, "-", "b = 2", "a = 1 AND a = b"},
      {jtFullOuter, "-", "-", "a = 1 AND b = 2 AND a = b"},
  };
  auto Expect = [](const char* Text) {
    return std::string(Text) == "-" ? std::string("(no filter)") : Dump(Parsed(Text));
  };
  for (const TCase& T : Cases) {
    TJoinTree Tree;
    Tree.J.SetJoinType(T.Type);
    auto E = Parsed("a = 1 AND b = 2 AND a = b");
    E->PushConditionsToAO(&Tree.J, false);
    EXPECT_TRUE(E->IsEmpty());
    EXPECT_EQ(Dump(Tree.L.Filter()), Expect(T.Left)) << int(T.Type);
    EXPECT_EQ(Dump(Tree.R.Filter()), Expect(T.Right)) << int(T.Type);
    EXPECT_EQ(Dump(Tree.J.Filter()), Expect(T.Join)) << int(T.Type);
  }
}

TEST(Expression, PushConditionsDepthFirstKeepingExistingFilters) {
  TJoinTree Tree;
  Tree.J.SetJoinType(jtInner);
  TFakeRowSource M, Top;
  M.AddColumn("c", "M", tftInteger);
  for (const char* Name : {"a", "b", "c"})
    Top.AddColumn(Name, "", tftInteger);
  Top.SetJoinType(jtInner);
  Top.AddInput(&Tree.J);
  Top.AddInput(&M);
  Tree.L.Filter() = Parsed("a > 0");
  Tree.R.Filter() = Parsed("b > 0 AND b < 9");
  auto E = Parsed("c = 3 AND a = 1 AND b = c AND b = 2 AND x = 1");
  E->PushConditionsToAO(&Top, false);
  EXPECT_EQ(Dump(Tree.L.Filter()), Dump(Parsed("a > 0 AND a = 1")));
  EXPECT_EQ(Dump(Tree.R.Filter()), Dump(Parsed("b > 0 AND b < 9 AND b = 2")));
  EXPECT_EQ(Dump(M.Filter()), Dump(Parsed("c = 3")));
  EXPECT_EQ(Dump(Tree.J.Filter()), "(no filter)");
  EXPECT_EQ(Dump(Top.Filter()), Dump(Parsed("b = c")));
  EXPECT_EQ(Dump(*E), "(AND[i] " + Dump(Parsed("x = 1")) + ")");
  // Staying here takes only what the operator can evaluate, nothing goes deeper.
  TJoinTree Here;
  Here.J.SetJoinType(jtInner);
  auto F = Parsed("a = 1 AND b = 2 AND x = 1");
  F->PushConditionsToAO(&Here.J, true);
  EXPECT_EQ(Dump(Here.J.Filter()), Dump(Parsed("a = 1 AND b = 2")));
  EXPECT_EQ(Dump(Here.L.Filter()), "(no filter)");
  EXPECT_EQ(Dump(*F), "(AND[i] " + Dump(Parsed("x = 1")) + ")");
}

TEST(Expression, ExtractJoinFields) {
  TJoinTree Tree;
  auto E = Parsed("a = b AND a = 1 AND R.b = L.a");
  std::vector<TTolvanSelectListItem> First, Second;
  EXPECT_EQ(E->ExtractJoinFields(&Tree.L, &Tree.R, First, Second), 2);
  ASSERT_EQ(First.size(), 2u);
  EXPECT_EQ(First[0].FieldName + "/" + Second[0].FieldName, "a/b");
  EXPECT_EQ(First[1].TableName + "." + First[1].FieldName, "R.b");
  EXPECT_EQ(Second[1].TableName + "." + Second[1].FieldName, "L.a");
  EXPECT_EQ(Dump(*E), "(AND[i] " + Dump(Parsed("a = 1")) + ")");
  auto Only = Parsed("b = a");
  EXPECT_EQ(Only->ExtractJoinFields(&Tree.L, &Tree.R, First, Second), 1);
  EXPECT_TRUE(Only->IsEmpty());
  // A reference found on both sides.
  Tree.R.AddColumn("a", "R", tftInteger);
  EXPECT_EQ(ErrorOf([&] { Parsed("a = b")->ExtractJoinFields(&Tree.L, &Tree.R, First, Second); }),
            "Ambiguous field reference to 'a' - Native error: 10404");
  EXPECT_EQ(ErrorOf([&] { Parsed("b = a")->ExtractJoinFields(&Tree.L, &Tree.R, First, Second); }),
            "Ambiguous field reference to 'a' - Native error: 10405");
}

TEST(Expression, ExtractTableConditions) {
  TRecordCursor C({{"I", tftInteger}, {"V", tftVarchar, 5}});
  TFakeRowSource Leaf;
  Leaf.AddColumn("I", "T", tftInteger);
  Leaf.AddColumn("V", "T", tftVarchar, 6);
  Leaf.AddColumn("X", "T", tftInteger); // computed, not a column of the table
  Leaf.SetTable(&C.Cursor.FieldDefs(), &C.Cursor);
  C.SetInt("I", 1);
  C.SetStr("V", "a");
  struct TCase {
    const char* Filter;
    const char* Taken; // nil: nothing taken
    const char* Left;  // nil: the old expression is empty; a lone conjunct stays under its AND
  } Cases[] = {
      {"I = 1 AND X = 2 AND V = 'a'", "I = 1 AND V = 'a'", "X = 2 AND"},
      {"I = 1 AND V = 'a'", "I = 1 AND V = 'a'", nullptr},
      {"X = 2 AND I = 1", "I = 1", "X = 2 AND"},
      {"X = 2", nullptr, "X = 2"},
      {"I = 1", "I = 1", nullptr},
      {"X = 1 AND X = 2", nullptr, "X = 1 AND X = 2"},
  };
  for (const TCase& T : Cases) {
    auto E = Parsed(T.Filter);
    E->SetCaseInsensitive(true);
    E->BindToAO(&Leaf);
    auto Taken = TTolvanExpression::ExtractTableConditions(*E, &Leaf);
    if (!T.Taken) {
      EXPECT_EQ(Taken, nullptr) << T.Filter;
    } else {
      ASSERT_NE(Taken, nullptr) << T.Filter;
      EXPECT_EQ(Dump(Taken), Dump(Parsed(T.Taken))) << T.Filter;
      EXPECT_TRUE(Taken->CaseInsensitive());
      Taken->SetRecordBuffer(C.Buffer);
      EXPECT_TRUE(Taken->EvaluateBoolean()) << T.Filter;
    }
    std::string Left = T.Left ? T.Left : "";
    if (Left.ends_with(" AND"))
      Left = "(AND[i] " + Dump(Parsed(Left.substr(0, Left.size() - 4))) + ")";
    else if (!Left.empty())
      Left = Dump(Parsed(Left));
    EXPECT_EQ(Dump(*E), T.Left ? Left : "(EMPTY)") << T.Filter;
  }
}

TEST(Expression, ExtractTableConditionsThatCannotBindLeavesTheFilter) {
  TRecordCursor C({{"I", tftInteger}});
  // The leaf believes its table has Q; the cursor does not.
  TTolvanFieldDefs Claimed;
  for (const char* Name : {"I", "Q"}) {
    TTolvanFieldDef& F = Claimed.AddNew();
    F.SetName(Name);
    F.SetType(tftInteger, 0);
  }
  TFakeRowSource Leaf;
  Leaf.AddColumn("I", "T", tftInteger);
  Leaf.AddColumn("Q", "T", tftInteger);
  Leaf.AddColumn("X", "T", tftInteger);
  for (TTolvanCursor* Cursor :
       {static_cast<TTolvanCursor*>(&C.Cursor), static_cast<TTolvanCursor*>(nullptr)}) {
    Leaf.SetTable(&Claimed, Cursor);
    for (const char* Filter : {"I = 1 AND X = 3 AND Q = 2", "Q = 2"}) {
      auto E = Parsed(Filter);
      E->BindToAO(&Leaf);
      const std::string Before = Dump(*E);
      EXPECT_NE(ErrorOf([&] { TTolvanExpression::ExtractTableConditions(*E, &Leaf); }), "no error");
      EXPECT_EQ(Dump(*E), Before);
      // Still bound to the operator.
      Leaf.SetCurrentRow(Leaf.AddRow());
      E->Evaluate(false);
    }
  }
}

} // namespace
} // namespace tolvan::test
