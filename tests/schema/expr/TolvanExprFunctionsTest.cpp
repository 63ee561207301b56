#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "classlib/DateUtils.h"
#include "foundation/TolvanTypes.h"
#include "schema/expr/TolvanExprFunctions.h"
#include "tests/schema/expr/ExprTestSupport.h"
#include "tests/schema/support/FakeExprServices.h"

using namespace tolvan;
using namespace tolvan::test;

namespace {

TNode Arith(TTolvanExprOperator Operator, std::vector<TNode> Args) {
  return Op<TTolvanExprNodeArithmetic>(Operator, std::move(Args));
}
TNode Text(TTolvanExprOperator Operator, std::vector<TNode> Args) {
  return Op<TTolvanExprNodeStringFunction>(Operator, std::move(Args));
}
TNode DateFn(TTolvanExprOperator Operator, std::vector<TNode> Args) {
  return Op<TTolvanExprNodeDateFunction>(Operator, std::move(Args));
}

// A case of a function table: the node, then its value as Show writes it (or the error text)
// and the field type it reports.
struct TFunctionCase {
  TNode Node;
  std::string Expected;
  TTolvanFieldType Type = tftNone; // tftNone: not checked
};

void RunCases(std::vector<TFunctionCase>& Cases) {
  for (TFunctionCase& C : Cases) {
    const std::string Dump = DumpExprTree(C.Node.get());
    std::string Got;
    try {
      Got = Eval(C.Node);
    } catch (const ETolvanException& E) {
      Got = E.Message();
    } catch (const Exception& E) {
      Got = "class library: " + E.Message();
    }
    EXPECT_EQ(Got, C.Expected) << Dump;
    if (C.Type != tftNone) {
      EXPECT_EQ(C.Node->GetDataType(), C.Type) << Dump;
    }
  }
}

TNode DateTimeConst(int Y, int M, int D, int H = 0, int N = 0, int S = 0, int Ms = 0,
                    TTolvanValueType T = tvtDateTime) {
  TTolvanVariant V(T);
  V.SetAsDateTime(EncodeDateTime(Y, M, D, H, N, S, Ms));
  return ConstOf(V);
}

// --- arithmetic -----------------------------------------------------------------------------

TEST(ExprArithmetic, OperatorsValuesAndReportedTypes) {
  const char* DivZero = "Division error: Division by zero - Native error: 30128";
  const char* NullArg = "Value is Null - Native error: 30016";
  std::vector<TFunctionCase> Cases;
  auto Add = [&](TNode N, std::string E, TTolvanFieldType T = tftNone) {
    Cases.push_back({std::move(N), std::move(E), T});
  };
  Add(Arith(eoAdd, Nodes(Int(2), Int(3), Int(4))), "SIGNEDINT64 9", tftLargeInt);
  Add(Arith(eoAdd, Nodes(Int(2, tvtInteger), Dbl(0.5))), "FLOAT 2.5", tftDouble);
  Add(Arith(eoAdd, Nodes(NullOf(), Int(1))), "SIGNEDINT64 1");
  Add(Arith(eoAdd, Nodes(Int(1), NullOf())), "SIGNEDINT64 NULL");
  Add(Arith(eoAdd, Nodes(Int(2147483647, tvtInteger), Int(1, tvtInteger))), "INTEGER -2147483648");
  Add(Arith(eoMultiply, Nodes(Int(7), Int(6), Int(-1))), "SIGNEDINT64 -42", tftLargeInt);
  Add(Arith(eoDivide, Nodes(Int(7), Int(2))), "SIGNEDINT64 3");
  Add(Arith(eoDivide, Nodes(Dbl(7), Int(2))), "FLOAT 3.5");
  Add(Arith(eoDivide, Nodes(Int(7), Int(0))), DivZero);
  Add(Arith(eoAbs, Nodes(Int(-5, tvtInteger))), "INTEGER 5", tftInteger);
  Add(Arith(eoCeil, Nodes(Dbl(2.1))), "INTEGER 3", tftInteger);
  Add(Arith(eoFloor, Nodes(Dbl(-2.1))), "INTEGER -3", tftInteger);
  Add(Arith(eoMod, Nodes(Int(7, tvtInteger), Int(3, tvtUnsignedInt16))), "SIGNEDINT64 1",
      tftLargeInt);
  Add(Arith(eoMod, Nodes(Int(-7), Int(3))), "SIGNEDINT64 -1");
  Add(Arith(eoMod, Nodes(Int(7), Int(0))), DivZero);
  Add(Arith(eoMod, Nodes(Int(7), NullOf())), NullArg);
  Add(Arith(eoPower, Nodes(Int(2, tvtInteger), Int(10))), "SIGNEDINT64 1024", tftLargeInt);
  Add(Arith(eoPower, Nodes(Dbl(2.25), Dbl(0.5))), "EXTENDED 1.5", tftExtended);
  Add(Arith(eoPower, Nodes(Int(2), NullOf())), NullArg);
  Add(Arith(eoRandom, Nodes(NullOf())), NullArg);
  Add(Arith(eoRound, Nodes(Dbl(2.5))), "SIGNEDINT64 2", tftLargeInt);
  Add(Arith(eoRound, Nodes(Dbl(3.5))), "SIGNEDINT64 4");
  Add(Arith(eoRound, Nodes(Dbl(-2.5))), "SIGNEDINT64 -2");
  Add(Arith(eoRound, Nodes(Dbl(2.567), Int(2))), "EXTENDED 2.57", tftExtended);
  Add(Arith(eoRound, Nodes(Dbl(-2.567), Int(2))), "EXTENDED -2.57");
  Add(Arith(eoRound, Nodes(Dbl(2.125, tvtExtended), Int(2))), "EXTENDED 2.13");
  Add(Arith(eoRound, Nodes(Int(1250), Int(-2))), "EXTENDED 1300");
  Add(Arith(eoRound, Nodes(NullOf(tvtFloat))), NullArg);
  Add(Arith(eoRound, Nodes(Dbl(2.5), NullOf())), NullArg);
  Add(Arith(eoTrunc, Nodes(Dbl(-2.9))), "SIGNEDINT64 -2", tftLargeInt);
  Add(Arith(eoTrunc, Nodes(Dbl(-2.567), Int(2))), "EXTENDED -2.56", tftExtended);
  Add(Arith(eoSign, Nodes(Dbl(-3.5))), "FLOAT -1", tftDouble);
  Add(Arith(eoSign, Nodes(Int(0, tvtInteger))), "INTEGER 0");
  Add(Arith(eoBitNot, Nodes(Int(0, tvtUnsignedInt8))), "UNSIGNEDINT8 255", tftByte);
  Add(Arith(eoBitAnd, Nodes(Int(12), Int(10))), "SIGNEDINT64 8", tftLargeInt);
  Add(Arith(eoBitOr, Nodes(Int(12), Int(10))), "SIGNEDINT64 14");
  Add(Arith(eoXor, Nodes(Int(12), Int(10))), "SIGNEDINT64 6");
  Add(Arith(eoShl, Nodes(Int(1), Int(4))), "SIGNEDINT64 16");
  Add(Arith(eoShr, Nodes(Int(256), Int(4))), "SIGNEDINT64 16");
  Add(Arith(eoBitAnd, Nodes(Int(12), NullOf())), "SIGNEDINT64 NULL");
  Add(Arith(eoEqual, Nodes(Int(1), Int(2))), "Unknown operator: '=' - Native error: 30121");
  RunCases(Cases);
}

TEST(ExprArithmetic, NegatingAnUnsignedValueWidensInsteadOfWrapping) {
  // The parser turns a - b into a + NEG b.
  auto Minus = [](TNode A, TNode B) {
    return Arith(eoAdd, Nodes(std::move(A), Arith(eoNegate, Nodes(std::move(B)))));
  };
  std::vector<TFunctionCase> Cases;
  auto Add = [&](TNode N, std::string E, TTolvanFieldType T = tftNone) {
    Cases.push_back({std::move(N), std::move(E), T});
  };
  Add(Arith(eoNegate, Nodes(Int(5, tvtUnsignedInt16))), "INTEGER -5", tftInteger);
  Add(Arith(eoNegate, Nodes(Int(200, tvtUnsignedInt8))), "SIGNEDINT16 -200", tftSmallInt);
  Add(Arith(eoNegate, Nodes(Int(4294967295, tvtUnsignedInt32))), "SIGNEDINT64 -4294967295",
      tftLargeInt);
  Add(Arith(eoNegate, Nodes(NullOf(tvtUnsignedInt16))), "INTEGER NULL");
  Add(Minus(Int(-1), Int(5, tvtUnsignedInt16)), "SIGNEDINT64 -6", tftLargeInt);
  Add(Minus(Int(10, tvtUnsignedInt16), Int(3, tvtUnsignedInt16)), "INTEGER 7", tftInteger);
  Add(Minus(Int(3, tvtUnsignedInt16), Int(10, tvtUnsignedInt16)), "INTEGER -7", tftInteger);
  Add(Minus(Int(3, tvtUnsignedInt8), Int(10, tvtUnsignedInt8)), "SIGNEDINT16 -7", tftSmallInt);
  Add(Minus(Int(3, tvtUnsignedInt32), Int(10, tvtUnsignedInt32)), "SIGNEDINT64 -7", tftLargeInt);
  Add(Minus(Int(3, tvtSignedInt8), Int(10, tvtUnsignedInt8)), "SIGNEDINT16 -7");
  Add(Minus(Int(3, tvtUnsignedInt16), Int(10, tvtSignedInt8)), "INTEGER -7");
  // Signed values keep their type; the one value without a negation is refused.
  Add(Arith(eoNegate, Nodes(Int(5, tvtSignedInt16))), "SIGNEDINT16 -5", tftSmallInt);
  Add(Arith(eoNegate, Nodes(Int(-32768, tvtSignedInt16))), "class library: Range check error");
  Add(Arith(eoNegate, Nodes(Int(INT64_MIN))), "class library: Integer overflow");
  Add(Arith(eoNegate, Nodes(Dbl(2.5))), "FLOAT -2.5", tftDouble);
  RunCases(Cases);
}

TEST(ExprArithmetic, RandomDrawsInItsRange) {
  TNode Bounded = Arith(eoRandom, Nodes(Int(10)));
  TNode Fraction = Arith(eoRandom, {});
  EXPECT_EQ(Bounded->GetDataType(), tftInteger);
  EXPECT_EQ(Fraction->GetDataType(), tftExtended);
  for (int I = 0; I < 200; ++I) {
    const TTolvanVariant& B = Bounded->GetValue();
    ASSERT_EQ(B.DataType(), tvtInteger);
    EXPECT_GE(B.GetAsInteger(), 0);
    EXPECT_LT(B.GetAsInteger(), 10);
    const TTolvanVariant& F = Fraction->GetValue();
    ASSERT_EQ(F.DataType(), tvtExtended);
    EXPECT_GE(F.GetAsExtended(), 0);
    EXPECT_LT(F.GetAsExtended(), 1);
  }
  // The bound is read, not changed.
  EXPECT_EQ(Bounded->Child(0)->Value().DataType(), tvtSignedInt64);
}

TEST(ExprArithmetic, HexTextAndItsSize) {
  TRecordCursor R({{"B", tftByte},
                   {"W", tftWord},
                   {"A", tftAutoIncInteger},
                   {"L", tftLargeInt},
                   {"V", tftVarchar, 10},
                   {"D", tftDouble}});
  R.SetInt("B", 255);
  R.SetInt("W", 255);
  R.SetInt("A", 255);
  R.SetInt("L", 255);
  R.SetStr("V", "ab");
  TTolvanVariant D;
  D.SetAsDouble(2.5);
  R.Set("D", D);
  auto Hex = [&](std::string_view Field, int Prefix) {
    std::vector<TNode> Args = Nodes(R.Field(Field));
    if (Prefix >= 0)
      Args.push_back(Int(Prefix));
    return Arith(eoHex, std::move(Args));
  };
  struct TCase {
    const char* Field;
    int Prefix;
    const char* Text;
    int32_t Size;
  };
  const TCase Cases[] = {
      {"B", -1, "CHAR 'FF'", 3},         {"B", 2, "CHAR '0xff'", 5},
      {"B", 1, "CHAR '$FF'", 4},         {"W", -1, "CHAR '00FF'", 5},
      {"W", 2, "CHAR '0x00ff'", 7},      {"A", -1, "CHAR '000000FF'", 9},
      {"A", 2, "CHAR '0x000000ff'", 11}, {"L", 0, "CHAR '00000000000000FF'", 17},
      {"V", -1, "CHAR '6162'", 24},      {"D", -1, "CHAR NULL", 0},
  };
  for (const TCase& C : Cases) {
    TNode N = Hex(C.Field, C.Prefix);
    EXPECT_EQ(Eval(N), C.Text) << C.Field << C.Prefix;
    EXPECT_EQ(N->GetDataType(), tftChar);
    EXPECT_EQ(N->GetDataSize(), C.Size) << C.Field << C.Prefix;
  }
  // An integer literal is a SIGNEDINT64: fourteen zeros before FF.
  EXPECT_EQ(Eval(Arith(eoHex, Nodes(Int(255)))), "CHAR '00000000000000FF'");
  EXPECT_EQ(ErrorOf([&] { Arith(eoHex, Nodes(Int(1), NullOf()))->GetValue(); }),
            "Value is Null - Native error: 30016");
}

// --- strings --------------------------------------------------------------------------------

TEST(ExprStringFunction, ValuesAndNulls) {
  const char* NullArg = "Value is Null - Native error: 30016";
  std::vector<TFunctionCase> Cases;
  auto Add = [&](TNode N, std::string E, TTolvanFieldType T = tftNone) {
    Cases.push_back({std::move(N), std::move(E), T});
  };
  // Concatenation: a null reads as the empty text, and an empty result is null.
  Add(Text(eoConcat, Nodes(Str("ab"), Str("cd"), Str("e"))), "STRING 'abcde'", tftVarchar);
  Add(Text(eoConcat, Nodes(NullOf(tvtString), Str("b"))), "STRING 'b'");
  Add(Text(eoConcat, Nodes(Str("a"), NullOf(tvtString))), "STRING 'a'");
  Add(Text(eoConcat, Nodes(NullOf(tvtString), NullOf(tvtString))), "STRING NULL");
  Add(Text(eoConcat, Nodes(Str("a"), Int(5))), "STRING 'a5'");
  Add(Text(eoConcat, Nodes(Int(5), Str("a"))), "STRING '5a'");
  Add(Text(eoConcat, Nodes(Str("a", tvtChar), Str("b"))), "CHAR 'ab'", tftVarchar);
  Add(Text(eoConcat, Nodes(Str("a"), WStr(u"\u0436"))), "WIDESTRING 'a\\u0436'", tftWideVarchar);
  Add(Text(eoConcat, Nodes(WStr(u"\u0436"), Str("\xE9"))), "WIDESTRING '\\u0436\\xE9'");
  Add(Text(eoConcat, Nodes(Blob("m", tvtMemo), Str("x"))), "STRING 'mx'");
  Add(Text(eoConcat, Nodes(Str("x"))), "STRING 'x'");
  // Case and trimming.
  Add(Text(eoUpper, Nodes(Str("ab\xE9"))), "STRING 'AB\\xC9'", tftVarchar);
  Add(Text(eoLower, Nodes(Str("AB\xC9", tvtChar))), "CHAR 'ab\\xE9'", tftChar);
  Add(Text(eoUpper, Nodes(WStr(u"\u0436a"))), "WIDESTRING '\\u0416A'");
  Add(Text(eoLower, Nodes(Blob("AB", tvtMemo))), "STRING 'ab'", tftMemo);
  Add(Text(eoUpper, Nodes(NullOf(tvtString))), "STRING NULL");
  Add(Text(eoUpper, Nodes(NullOf(tvtInteger))), "STRING NULL");
  Add(Text(eoUpper, Nodes(Int(5))), "STRING '5'");
  Add(Text(eoTrim, Nodes(Str(" \t a b \r\n"))), "STRING 'a b'");
  Add(Text(eoLTrim, Nodes(Str("  a  "))), "STRING 'a  '");
  Add(Text(eoRTrim, Nodes(Str("  a  "))), "STRING '  a'");
  Add(Text(eoTrim, Nodes(WStr(u" \u0436 "))), "WIDESTRING '\\u0436'");
  Add(Text(eoTrim, Nodes(Str("   "))), "STRING NULL");
  // LENGTH and POS of a null are 0.
  Add(Text(eoLength, Nodes(Str("abc"))), "INTEGER 3", tftInteger);
  Add(Text(eoLength, Nodes(NullOf(tvtString))), "INTEGER 0");
  Add(Text(eoLength, Nodes(Int(12345))), "INTEGER 5");
  Add(Text(eoLength, Nodes(WStr(u"\u0436\u0436"))), "INTEGER 2");
  Add(Text(eoLength, Nodes(Blob("abcde", tvtMemo))), "INTEGER 5");
  Add(Text(eoPos, Nodes(Str("b"), Str("abc"))), "INTEGER 2", tftInteger);
  Add(Text(eoPos, Nodes(Str("x"), Str("abc"))), "INTEGER 0");
  Add(Text(eoPos, Nodes(Str("bc"), Str("abcbc"))), "INTEGER 2");
  Add(Text(eoPos, Nodes(NullOf(tvtString), Str("abc"))), "INTEGER 0");
  Add(Text(eoPos, Nodes(Str("b"), NullOf(tvtString))), "INTEGER 0");
  Add(Text(eoPos, Nodes(Str(""), Str("abc"))), "INTEGER 0");
  Add(Text(eoPos, Nodes(Str("B"), Str("abc"))), "INTEGER 0");
  Add(Text(eoPos, Nodes(Int(1), Str("x1"))), "INTEGER 2");
  Add(Text(eoPos, Nodes(WStr(u"\u0436"), WStr(u"a\u0436"))), "INTEGER 2");
  Add(Text(eoPos, Nodes(WStr(u"\u0436"), Str("a?"))), "INTEGER 2");
  Add(Text(eoPos, Nodes(Str("c"), Blob("abc", tvtMemo))), "INTEGER 3");
  Add(Text(eoPos, Nodes(WStr(u"\u0436"), Blob(std::string_view("a\0\x36\x04", 4), tvtWideMemo))),
      "INTEGER 2");
  // SUBSTRING by the class library's copy rule.
  Add(Text(eoSubstring, Nodes(Str("abcdef"), Int(0), Int(3))), "STRING 'abc'", tftVarchar);
  Add(Text(eoSubstring, Nodes(Str("abc"), Int(5))), "STRING NULL");
  Add(Text(eoSubstring, Nodes(Str("abcdef"), Int(3))), "STRING 'cdef'");
  Add(Text(eoSubstring, Nodes(Str("abcdef"), Int(2), Int(3))), "STRING 'bcd'");
  Add(Text(eoSubstring, Nodes(Str("abcdef"), Int(2), Int(-1))), "STRING NULL");
  Add(Text(eoSubstring, Nodes(Str("abcdef"), Int(5), Int(100))), "STRING 'ef'");
  Add(Text(eoSubstring, Nodes(Str("abcdef"), Int(-5), Int(2))), "STRING 'ab'");
  Add(Text(eoSubstring, Nodes(Str("abcdef"), Int(2147483647), Int(2147483647))), "STRING NULL");
  Add(Text(eoSubstring, Nodes(WStr(u"\u0436\u0443\u043a"), Int(2), Int(1))),
      "WIDESTRING '\\u0443'");
  Add(Text(eoSubstring, Nodes(NullOf(tvtString), Int(1), Int(2))), "STRING NULL");
  Add(Text(eoSubstring, Nodes(Int(12345), Int(2), Int(2))), "STRING '23'");
  Add(Text(eoSubstring, Nodes(Str("abc"), NullOf())), NullArg);
  Add(Text(eoSubstring, Nodes(Str("abc"), Int(1), NullOf())), NullArg);
  Add(Text(eoAdd, Nodes(Str("a"))), "Unknown operator: '+' - Native error: 30131");
  RunCases(Cases);
}

TEST(ExprStringFunction, ReportedSizes) {
  TRecordCursor R({{"V", tftVarchar, 10}, {"C", tftChar, 4}, {"I", tftInteger}});
  EXPECT_EQ(Text(eoUpper, Nodes(R.Field("V")))->GetDataSize(), 11);
  EXPECT_EQ(Text(eoSubstring, Nodes(R.Field("C"), Int(1)))->GetDataSize(), 5);
  EXPECT_EQ(Text(eoConcat, Nodes(R.Field("V"), Str("abc")))->GetDataSize(), 14);
  // An operand that is not text counts 1024: its binary size says nothing of its text.
  EXPECT_EQ(Text(eoConcat, Nodes(R.Field("C"), R.Field("I")))->GetDataSize(), 5 + 1024);
  EXPECT_EQ(Text(eoConcat, Nodes(R.Field("C"), Int(1)))->GetDataSize(), 5 + 1024);
  EXPECT_EQ(Text(eoLength, Nodes(R.Field("V")))->GetDataSize(), 0);
  EXPECT_EQ(Text(eoPos, Nodes(Str("a"), R.Field("V")))->GetDataSize(), 0);
  EXPECT_EQ(Text(eoUpper, Nodes(R.Field("C")))->GetDataType(), tftChar);
}

// --- borrowed bytes -------------------------------------------------------------------------

TEST(ExprFunctions, NoNodeWritesIntoARecordOrAConstant) {
  TRecordCursor R({{"I", tftInteger}, {"W", tftWord}, {"S", tftVarchar, 10}, {"C", tftChar, 5}});
  R.SetInt("I", -7);
  R.SetInt("W", 5);
  R.SetStr("S", "abc");
  R.SetStr("C", "xa");
  std::vector<TNode> Trees;
  for (const char* F : {"I", "W", "S", "C"}) {
    Trees.push_back(Arith(eoNegate, Nodes(R.Field(F))));
    Trees.push_back(Arith(eoAdd, Nodes(R.Field(F), Int(1))));
    Trees.push_back(Arith(eoAdd, Nodes(Int(1), R.Field(F))));
    Trees.push_back(Arith(eoMod, Nodes(R.Field(F), Int(3))));
    Trees.push_back(Arith(eoMod, Nodes(Int(3, tvtInteger), R.Field(F))));
    Trees.push_back(Arith(eoPower, Nodes(Int(3, tvtInteger), R.Field(F))));
    Trees.push_back(Arith(eoRandom, Nodes(R.Field(F))));
    Trees.push_back(Arith(eoAbs, Nodes(R.Field(F))));
    Trees.push_back(Arith(eoHex, Nodes(R.Field(F))));
    Trees.push_back(Arith(eoBitNot, Nodes(R.Field(F))));
    for (TTolvanFieldType T : {tftLargeInt, tftVarchar, tftChar, tftDouble, tftWideVarchar})
      Trees.push_back(std::make_unique<TTolvanExprNodeCast>(R.Field(F), T));
    Trees.push_back(Text(eoUpper, Nodes(R.Field(F))));
    Trees.push_back(Text(eoLower, Nodes(R.Field(F))));
    Trees.push_back(Text(eoTrim, Nodes(R.Field(F))));
    Trees.push_back(Text(eoLength, Nodes(R.Field(F))));
    Trees.push_back(Text(eoPos, Nodes(Str("a"), R.Field(F))));
    Trees.push_back(Text(eoPos, Nodes(R.Field(F), Str("a"))));
    Trees.push_back(Text(eoSubstring, Nodes(R.Field(F), Int(2), Int(1))));
    Trees.push_back(Text(eoConcat, Nodes(R.Field(F), WStr(u"\u0436"))));
    Trees.push_back(
        std::make_unique<TTolvanExprNodeIsNullFunction>(eoIsNullFunction, R.Field(F), Int(0)));
    Trees.push_back(
        std::make_unique<TTolvanExprNodeIsNullFunction>(eoIsNullFunction, NullOf(), R.Field(F)));
  }
  const std::vector<uint8_t> Before = R.Record();
  std::vector<std::string> Dumps;
  for (const TNode& T : Trees)
    Dumps.push_back(DumpExprTree(T.get()));
  for (int Round = 0; Round < 2; ++Round)
    for (const TNode& T : Trees) {
      try {
        T->GetValue();
      } catch (const Exception&) {
        // Some operations refuse some types; what counts is what they leave behind.
      }
    }
  EXPECT_EQ(R.Record(), Before);
  for (size_t I = 0; I < Trees.size(); ++I)
    EXPECT_EQ(DumpExprTree(Trees[I].get()), Dumps[I]);
}

// --- CAST -----------------------------------------------------------------------------------

TEST(ExprCast, ReportsItsTargetAndTheSizeRule) {
  TRecordCursor R({{"C", tftChar, 4}, {"I", tftInteger}});
  R.SetStr("C", "12");
  R.SetInt("I", 65);
  TTolvanExprNodeCast ToInt(R.Field("C"), tftSmallInt);
  EXPECT_EQ(Eval(ToInt), "SIGNEDINT16 12");
  EXPECT_EQ(ToInt.GetDataType(), tftSmallInt);
  EXPECT_EQ(ToInt.GetDataSize(), 0);
  TTolvanExprNodeCast ToChar(R.Field("C"), tftChar);
  EXPECT_EQ(Eval(ToChar), "CHAR '12'");
  EXPECT_EQ(ToChar.GetDataSize(), 5);
  EXPECT_EQ(TTolvanExprNodeCast(R.Field("I"), tftChar).GetDataSize(), 1024);
  EXPECT_EQ(TTolvanExprNodeCast(R.Field("C"), tftVarchar).GetDataSize(), 1024);
  EXPECT_EQ(TTolvanExprNodeCast(R.Field("C"), tftWideChar).GetDataSize(), 5);
  TTolvanExprNodeCast Bad(Str("x"), tftInteger);
  EXPECT_EQ(NativeCodeOf([&] { Bad.GetValue(); }), 30051);
}

// --- dates ----------------------------------------------------------------------------------

TEST(ExprDateFunction, ToDateDecidesTheKindForEveryValue) {
  TRecordCursor R({{"T", tftVarchar, 30}});
  auto ToDate = std::make_unique<TTolvanExprNodeDateFunction>(eoToDate, R.Field("T"), "HH24:NN");
  auto Both =
      std::make_unique<TTolvanExprNodeDateFunction>(eoToDate, R.Field("T"), "YYYY-MM-DD HH24:NN");
  const std::pair<const char*, const char*> TimeOnly[] = {
      {"10:30", "TIME 10:30:00.000"}, {"00:00", "DATE 1899-12-30"}, {"23:59", "TIME 23:59:00.000"}};
  for (const auto& [In, Out] : TimeOnly) {
    R.SetStr("T", In);
    EXPECT_EQ(Eval(*ToDate), Out) << In;
  }
  const std::pair<const char*, const char*> Full[] = {
      {"2020-01-02 10:30", "DATETIME 2020-01-02 10:30:00.000"},
      {"2020-01-02 00:00", "DATE 2020-01-02"},
      {"1850-06-01 12:00", "DATETIME 1850-06-01 12:00:00.000"}};
  for (const auto& [In, Out] : Full) {
    R.SetStr("T", In);
    EXPECT_EQ(Eval(*Both), Out) << In;
  }
  EXPECT_EQ(ToDate->GetDataType(), tftDateTime);
  R.SetNull("T");
  EXPECT_EQ(Eval(*ToDate), "DATETIME NULL");
  // The formatter's errors pass unchanged.
  R.SetStr("T", "10:3x");
  EXPECT_EQ(ErrorOf([&] { ToDate->GetValue(); }).substr(0, 15), "class library: ");
  auto AmPm =
      std::make_unique<TTolvanExprNodeDateFunction>(eoToDate, Str("10:30 XX"), "HH:NN AMPM");
  EXPECT_EQ(NativeCodeOf([&] { AmPm->GetValue(); }), 30129);
}

TEST(ExprDateFunction, ToStringAndTheClock) {
  auto S = std::make_unique<TTolvanExprNodeDateFunction>(
      eoToString, DateTimeConst(2020, 1, 2, 0, 0, 0, 0, tvtDate), "DD.MM.YYYY");
  EXPECT_EQ(Eval(*S), "STRING '02.01.2020'");
  EXPECT_EQ(S->GetDataType(), tftVarchar);
  EXPECT_EQ(S->GetDataSize(), 10);
  EXPECT_EQ(static_cast<TTolvanExprNodeDateFunction&>(*S).Format(), "DD.MM.YYYY");
  auto Null = std::make_unique<TTolvanExprNodeDateFunction>(eoToString, NullOf(tvtDate), "YYYY");
  EXPECT_EQ(Eval(*Null), "STRING NULL");

  const TDateTime Before = Now();
  TNode Clock = DateFn(eoNow, {});
  const TTolvanVariant& V = Clock->GetValue();
  ASSERT_EQ(V.DataType(), tvtDateTime);
  EXPECT_GE(V.GetAsDateTime(), Before - 1.0 / MSecsPerDay);
  EXPECT_LE(V.GetAsDateTime(), Now() + 1.0 / MSecsPerDay);
  EXPECT_EQ(DateFn(eoCurrentDate, {})->GetValue().DataType(), tvtDate);
  EXPECT_EQ(DateFn(eoCurrentTime, {})->GetValue().DataType(), tvtTime);
  for (TTolvanExprOperator Op : {eoNow, eoCurrentDate, eoCurrentTime}) {
    EXPECT_EQ(DateFn(Op, {})->GetDataType(), tftDateTime);
    EXPECT_EQ(DateFn(Op, {})->GetDataSize(), 0);
  }
}

TEST(ExprDateFunction, PartsOfADate) {
  // 2020-10-04 was a Sunday.
  struct TCase {
    TTolvanExprOperator Op;
    const char* Expected;
  };
  const TCase Cases[] = {
      {eoYear, "UNSIGNEDINT16 2020"}, {eoQuarter, "UNSIGNEDINT16 4"},
      {eoMonth, "UNSIGNEDINT16 10"},  {eoDay, "UNSIGNEDINT16 4"},
      {eoWeekDay, "UNSIGNEDINT16 1"}, {eoDayOfWeek, "UNSIGNEDINT16 7"},
      {eoDayName, "STRING 'Sunday'"}, {eoMonthName, "STRING 'October'"},
      {eoHour, "UNSIGNEDINT16 13"},   {eoMinute, "UNSIGNEDINT16 5"},
      {eoSecond, "UNSIGNEDINT16 9"},  {eoMSecond, "UNSIGNEDINT16 123"},
  };
  for (const TCase& C : Cases) {
    TNode N = DateFn(C.Op, Nodes(DateTimeConst(2020, 10, 4, 13, 5, 9, 123)));
    EXPECT_EQ(Eval(N), C.Expected) << OperatorName(C.Op);
    const bool Name = C.Op == eoDayName || C.Op == eoMonthName;
    EXPECT_EQ(N->GetDataType(), Name ? tftVarchar : tftWord);
    EXPECT_EQ(N->GetDataSize(), Name ? 9 : 0);
    TNode Null = DateFn(C.Op, Nodes(NullOf(tvtDate)));
    EXPECT_EQ(Eval(Null), Name ? "STRING NULL" : "UNSIGNEDINT16 NULL");
    EXPECT_EQ(ErrorOf([&] { DateFn(C.Op, {})->GetValue(); }),
              "Argument expected in SQL function unknown - Native error: 11606");
  }
  for (int Month = 1; Month <= 12; ++Month) {
    TNode Q = DateFn(eoQuarter, Nodes(DateTimeConst(2021, Month, 15, 0, 0, 0, 0, tvtDate)));
    EXPECT_EQ(Eval(Q), "UNSIGNEDINT16 " + std::to_string((Month + 2) / 3)) << Month;
  }
  // A text operand is read as a date.
  EXPECT_EQ(Eval(DateFn(eoMonth, Nodes(Str("3/7/2004")))), "UNSIGNEDINT16 3");
  EXPECT_EQ(Eval(DateFn(eoHour, Nodes(DateTimeConst(1899, 12, 30, 7, 0, 0, 0, tvtTime)))),
            "UNSIGNEDINT16 7");
  TNode Unknown = DateFn(eoAdd, Nodes(Int(1)));
  EXPECT_EQ(ErrorOf([&] { Unknown->GetValue(); }), "Unknown operator: '+' - Native error: 30130");
  EXPECT_EQ(ErrorOf([&] { Unknown->GetDataType(); }),
            "Unknown operator: '+' - Native error: 30287");
}

// --- TOBLOB and LASTAUTOINC -----------------------------------------------------------------

TEST(ExprBLOBFunction, DecodesOnceWhenMade) {
  TTolvanExprNodeBLOBFunction B64(eoToBlob, "AQID", 0);
  EXPECT_EQ(Eval(B64), "BLOB x'010203'");
  EXPECT_EQ(B64.GetDataType(), tftBLOB);
  EXPECT_EQ(B64.GetDataSize(), 0);
  EXPECT_FALSE(B64.CaseInsensitive());
  TTolvanExprNodeBLOBFunction Hex(eoToBlob, "0a0B", 1), Empty(eoToBlob, "", 1);
  EXPECT_EQ(Eval(Hex), "BLOB x'0A0B'");
  EXPECT_EQ(Eval(Empty), "BLOB NULL");
  EXPECT_EQ(ErrorOf([] { TTolvanExprNodeBLOBFunction(eoToBlob, "zz", 1); }),
            "Error - cannot convert BLOB value \"zz\", format = 1 - Native error: 11344");
  EXPECT_EQ(ErrorOf([] { TTolvanExprNodeBLOBFunction(eoToBlob, "A=QI", 0); }),
            "Error - cannot convert BLOB value \"A=QI\", format = 0 - Native error: 11344");
  EXPECT_EQ(ErrorOf([] { TTolvanExprNodeBLOBFunction(eoToBlob, "00", 7); }),
            "Error - cannot convert BLOB value \"00\", format = 7 - Native error: 11344");
  TTolvanExprNodeBLOBFunction Other(eoCast, "00", 1);
  EXPECT_EQ(ErrorOf([&] { Other.GetValue(); }),
            "Unknown operator: 'unknown' - Native error: 11343");
}

TEST(ExprSystem, LastAutoIncReadsTheCurrentValueEveryTime) {
  TFakeExprServices Services;
  TScopedExprServices Scope(&Services);
  Services.SetAutoInc("Orders", "ID", tftAutoInc, 5);
  TTolvanExprNodeSystem Last(eoLastAutoInc, "orders", "id", true, "s", "db");
  EXPECT_EQ(Last.GetDataType(), tftAutoInc);
  EXPECT_EQ(Last.GetDataSize(), 0);
  EXPECT_EQ(Eval(Last), "SIGNEDINT64 5");
  Services.SetAutoInc("Orders", "ID", tftAutoInc, 6);
  EXPECT_EQ(Eval(Last), "SIGNEDINT64 6");
  EXPECT_EQ(Services.OpenHandleCount(), 1);
  Services.Fail(TFakeExprServices::fpReadAutoInc, 77);
  EXPECT_EQ(NativeCodeOf([&] { Last.GetValue(); }), 77);
  Services.Fail(TFakeExprServices::fpReadAutoInc, 0);
  EXPECT_EQ(ErrorOf([] { TTolvanExprNodeSystem(eoLastAutoInc, "orders", "nope", true, "", ""); }),
            "Field 'nope' not found - Native error: 30337");
  EXPECT_EQ(Services.OpenHandleCount(), 1);
  TTolvanExprNodeSystem Wrong(eoAdd, "orders", "id", true, "", "");
  EXPECT_EQ(ErrorOf([&] { Wrong.GetValue(); }), "Unknown operator: '+' - Native error: 30338");
}

// --- name lists -----------------------------------------------------------------------------

TEST(ExprNameList, SplitsTrimsAndUpperCases) {
  const std::pair<const char*, std::vector<std::string>> Cases[] = {
      {" a ; b;", {"A", "B"}},
      {";a", {"", "A"}},
      {"", {}},
      {"a;;b", {"A", "", "B"}},
      {" ab c\t", {"AB C"}},
      {"\xE9t\xE9;x", {"\xC9T\xC9", "X"}},
      {";", {""}},
  };
  for (const auto& [In, Out] : Cases) {
    TStringList L;
    L.Add("stale");
    SplitNameList(L, In);
    std::vector<std::string> Got;
    for (int32_t I = 0; I < L.Count(); ++I)
      Got.push_back(L.Strings(I));
    EXPECT_EQ(Got, Out) << '"' << In << '"';
  }
  int32_t P = 1;
  EXPECT_EQ(ExtractName(" a ;b", P), "a");
  EXPECT_EQ(P, 5);
  EXPECT_EQ(ExtractName(" a ;b", P), "b");
  EXPECT_EQ(P, 6);
  EXPECT_EQ(ExtractName(" a ;b", P), "");
  EXPECT_EQ(P, 6);
}

// --- deep copies ----------------------------------------------------------------------------

TEST(ExprClone, ATreeOfEveryNodeClassCopiesDumpsAndEvaluatesAlike) {
  TFakeExprServices Services;
  TScopedExprServices Scope(&Services);
  TTolvanVariant Row;
  Row.SetAsInteger(42);
  Services.AddSubQueryRow("one", Row);
  Services.SetAutoInc("T", "ID", tftAutoInc, 9);
  TRecordCursor R({{"I", tftInteger}, {"S", tftVarchar, 10}});
  R.SetInt("I", 42);
  R.SetStr("S", "abc");
  TParams Params;
  Params.CreateParam(ftInteger, "p").SetValue(Variant(int32_t(1)));

  auto Param = std::make_unique<TTolvanExprNodeConst>(true, false);
  Param->SetParam("p");
  TTolvanVariant P;
  P.SetAsInteger(42);
  Param->SetValue(P);
  auto Count = std::make_unique<TTolvanExprNodeAggregated>(eoCount, true, R.Field("S"));
  std::vector<TNode> Conjuncts = Nodes(
      Cmp(eoEqual, R.Field("I"), std::move(Param)),
      Op<TTolvanExprNodeBoolean>(eoIn, Str("ABC"), Str("x"), R.Field("S")),
      Cmp(eoEqual,
          std::make_unique<TTolvanExprNodeIsNullFunction>(eoIsNullFunction, R.Field("I"), Int(0)),
          std::make_unique<TTolvanExprNodeSubQuery>("one", &Params, true, "db", "s", false,
                                                    nullptr)),
      std::make_unique<TTolvanExprNodeSubQueryIN>("one", nullptr, true, "db", "s", false,
                                                  R.Field("I")),
      std::make_unique<TTolvanExprNodeSubQueryExists>("one", nullptr, true, "db", "s", true,
                                                      nullptr),
      Cmp(eoNotEqual, Arith(eoAdd, Nodes(R.Field("I"), Int(1))),
          std::make_unique<TTolvanExprNodeCast>(Str("42"), tftSmallInt)),
      Cmp(eoEqual, Text(eoUpper, Nodes(R.Field("S"))),
          std::make_unique<TTolvanExprNodeDateFunction>(
              eoToString, DateTimeConst(2020, 1, 2, 0, 0, 0, 0, tvtDate), "YYYY")),
      Cmp(eoIsNotNull, std::make_unique<TTolvanExprNodeBLOBFunction>(eoToBlob, "0102", 1),
          NullOf()),
      Cmp(eoGreater,
          std::make_unique<TTolvanExprNodeSystem>(eoLastAutoInc, "T", "ID", true, "s", "db"),
          Int(0)),
      Cmp(eoGreaterOrEqual, std::move(Count), Int(0)));
  auto Tree = Op<TTolvanExprNodeBoolean>(eoOr, std::move(Conjuncts));
  const int32_t Handles = Services.OpenHandleCount();
  TNode Copy = Tree->Clone();
  EXPECT_EQ(DumpExprTree(Copy.get()), DumpExprTree(Tree.get()));
  EXPECT_EQ(Services.OpenHandleCount(), 2 * Handles);
  EXPECT_EQ(static_cast<TTolvanExprNodeSubQuery&>(*Copy->Child(2)->Child(1)).Params()->Count(), 1);

  for (TTolvanExprNode* T : {static_cast<TTolvanExprNode*>(Tree.get()), Copy.get()}) {
    T->Prepare();
    T->ResetAggregates();
    T->Accumulate(1);
  }
  for (int32_t I = 0; I < Tree->ChildCount(); ++I)
    EXPECT_EQ(Eval(*Copy->Child(I)), Eval(*Tree->Child(I))) << DumpExprTree(Tree->Child(I));
  EXPECT_EQ(Eval(*Copy->Child(0)), "LOGICAL TRUE");
  EXPECT_EQ(Eval(*Copy->Child(3)), "LOGICAL TRUE");

  // The copy's constants are its own.
  std::vector<TTolvanExprNodeConst*> Mine, Theirs;
  Tree->CollectParams(Mine);
  Copy->CollectParams(Theirs);
  ASSERT_EQ(Mine.size(), 1u);
  ASSERT_EQ(Theirs.size(), 1u);
  EXPECT_NE(Mine[0], Theirs[0]);
  P.SetAsInteger(7);
  Mine[0]->SetValue(P);
  EXPECT_EQ(Eval(*Tree->Child(0)), "LOGICAL FALSE");
  EXPECT_EQ(Eval(*Copy->Child(0)), "LOGICAL TRUE");
  // The original keeps its IN query, its table and its DISTINCT set; the scalar and EXISTS
  // queries are gone after their run.
  Copy.reset();
  EXPECT_EQ(Services.OpenHandleCount(), 3);
}

// --- result blocks --------------------------------------------------------------------------

TEST(ExprFunctions, ResultsReuseTheirBlockFromRowToRow) {
  TRecordCursor R({{"I", tftInteger}, {"S", tftVarchar, 20}});
  std::vector<TNode> Trees;
  Trees.push_back(Cmp(eoGreater, R.Field("I"), Int(5)));
  Trees.push_back(Op<TTolvanExprNodeBoolean>(eoLike, R.Field("S"), Str("a%")));
  Trees.push_back(Op<TTolvanExprNodeBoolean>(eoAnd, Cmp(eoLess, R.Field("I"), Int(100)),
                                             Cmp(eoNotEqual, R.Field("S"), Str("x"))));
  Trees.push_back(Text(eoUpper, Nodes(R.Field("S"))));
  Trees.push_back(Text(eoTrim, Nodes(R.Field("S"))));
  Trees.push_back(Text(eoSubstring, Nodes(R.Field("S"), Int(2), Int(3))));
  Trees.push_back(Text(eoConcat, Nodes(R.Field("S"), Str("!"))));
  Trees.push_back(Text(eoLength, Nodes(R.Field("S"))));
  Trees.push_back(Arith(eoAdd, Nodes(R.Field("I"), Int(1, tvtInteger))));
  Trees.push_back(Arith(eoNegate, Nodes(R.Field("I"))));
  Trees.push_back(DateFn(eoYear, Nodes(DateTimeConst(2020, 1, 2))));
  auto Sum = std::make_unique<TTolvanExprNodeAggregated>(eoSum, false, R.Field("I"));
  auto Max = std::make_unique<TTolvanExprNodeAggregated>(eoMax, false, R.Field("S"));
  Sum->ResetAggregates();
  Max->ResetAggregates();
  const char* Texts[] = {"  abcdefgh ", "abc", "xyz  ", "ab", "zzzzzzzzzzzzzzzz"};
  std::vector<const void*> Blocks(Trees.size() + 2, nullptr);
  for (int Row = 0; Row < 20; ++Row) {
    R.SetInt("I", Row * 7);
    R.SetStr("S", Texts[Row % 5]);
    Sum->Accumulate(1);
    Max->Accumulate(1);
    for (size_t I = 0; I < Trees.size() + 2; ++I) {
      TTolvanExprNode& N = I < Trees.size() ? *Trees[I] : I == Trees.size() ? *Sum : *Max;
      const TTolvanVariant& V = N.GetValue();
      ASSERT_FALSE(V.IsNull()) << DumpExprTree(&N);
      // After the first rows have grown it, the block stays the same.
      if (Row >= 5) {
        EXPECT_EQ(V.Data(), Blocks[I]) << DumpExprTree(&N) << " row " << Row;
      }
      Blocks[I] = V.Data();
    }
  }
}

} // namespace
