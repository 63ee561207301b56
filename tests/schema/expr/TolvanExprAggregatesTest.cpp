#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <limits>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "schema/expr/TolvanExprFunctions.h"
#include "tests/schema/expr/ExprTestSupport.h"
#include "tests/schema/support/FakeExprServices.h"

using namespace tolvan;
using namespace tolvan::test;

namespace {

// One aggregate over a constant argument that each row sets anew.
class TFeed {
public:
  TFeed(TTolvanExprOperator Operator, bool Distinct, TTolvanValueType ArgType) : FType(ArgType) {
    auto Arg = std::make_unique<TTolvanExprNodeConst>(true, false);
    FArg = Arg.get();
    FArg->SetValue(TTolvanVariant(ArgType));
    FNode = std::make_unique<TTolvanExprNodeAggregated>(Operator, Distinct, std::move(Arg));
    FNode->ResetAggregates();
  }
  void Row(const TTolvanVariant& V, int32_t Weight = 1) {
    FArg->SetValue(V);
    FNode->Accumulate(Weight);
  }
  void NullRow(int32_t Weight = 1) { Row(TTolvanVariant(FType), Weight); }
  TTolvanExprNodeAggregated& Node() { return *FNode; }
  std::string Result() { return Eval(*FNode); }

private:
  TTolvanValueType FType;
  TTolvanExprNodeConst* FArg;
  std::unique_ptr<TTolvanExprNodeAggregated> FNode;
};

// The result or the failure's text.
template <class F> std::string Outcome(F&& Fn) {
  try {
    return Fn();
  } catch (const ETolvanException& E) {
    return E.Message();
  } catch (const Exception& E) {
    return "class library: " + E.Message();
  }
}

class ExprAggregate : public ::testing::Test {
protected:
  TFakeExprServices Services;
  TScopedExprServices Scope{&Services};
};

// --- integers against a model ---------------------------------------------------------------

struct TIntType {
  TTolvanValueType Type;
  int64_t Min, Max;
};
const TIntType IntTypes[] = {
    {tvtSignedInt8, INT8_MIN, INT8_MAX}, {tvtSignedInt16, INT16_MIN, INT16_MAX},
    {tvtInteger, INT32_MIN, INT32_MAX},  {tvtSignedInt64, INT64_MIN, INT64_MAX},
    {tvtUnsignedInt8, 0, UINT8_MAX},     {tvtUnsignedInt16, 0, UINT16_MAX},
    {tvtUnsignedInt32, 0, UINT32_MAX},
};

struct TIntModel {
  std::vector<std::optional<int64_t>> Values;
  std::vector<int32_t> Weights;

  // The running sum of the counted values, or nothing once a partial sum leaves 64 bits.
  static std::optional<int64_t> Sum(const std::vector<int64_t>& Counted) {
    __int128 S = 0;
    for (int64_t V : Counted) {
      S += V;
      if (S < std::numeric_limits<int64_t>::min() || S > std::numeric_limits<int64_t>::max())
        return std::nullopt;
    }
    return int64_t(S);
  }

  // The expected answer of the aggregate, as Show writes it.
  std::string Expect(TTolvanExprOperator Op, bool Distinct, TTolvanValueType Type) const {
    std::vector<int64_t> Counted;
    int64_t Weight = 0, AllWeight = 0;
    std::set<int64_t> Seen;
    bool AnyRow = false;
    for (size_t I = 0; I < Values.size(); ++I) {
      AnyRow = true;
      AllWeight += Weights[I];
      if (!Values[I])
        continue;
      if (Distinct && !Seen.insert(*Values[I]).second)
        continue;
      Counted.push_back(*Values[I]);
      Weight += Weights[I];
    }
    const std::string TypeName(ValueTypeToSQLName(Type));
    switch (Op) {
    case eoSum: {
      if (!AnyRow)
        return "NONE NULL";
      const auto S = Sum(Counted);
      return S ? "SIGNEDINT64 " + std::to_string(*S) : "class library: Integer overflow";
    }
    case eoAvg: {
      if (Counted.empty())
        return "NONE NULL";
      const auto S = Sum(Counted);
      if (!S)
        return "class library: Integer overflow";
      if (Weight == 0)
        return "Division error: Division by zero - Native error: 30128";
      return "SIGNEDINT64 " + std::to_string(*S / Weight);
    }
    case eoMin:
    case eoMax: {
      if (Counted.empty())
        return AnyRow ? TypeName + " NULL" : "NONE NULL";
      const int64_t M = Op == eoMin ? *std::min_element(Counted.begin(), Counted.end())
                                    : *std::max_element(Counted.begin(), Counted.end());
      return TypeName + " " + std::to_string(M);
    }
    case eoCount:
      return "INTEGER " + std::to_string(Weight);
    default:
      return "INTEGER " + std::to_string(AllWeight);
    }
  }
};

TEST_F(ExprAggregate, IntegerFeedsAgainstAModel) {
  std::mt19937_64 Random(20240617);
  const TTolvanExprOperator Ops[] = {eoSum, eoAvg, eoMin, eoMax, eoCount, eoCountStar};
  for (const TIntType& T : IntTypes) {
    for (int Round = 0; Round < 40; ++Round) {
      TIntModel Model;
      const int Rows = int(Random() % 30);
      // Values from a few small ones (so DISTINCT finds repeats) or from near the type's ends.
      std::uniform_int_distribution<int64_t> Any(T.Min, T.Max);
      for (int I = 0; I < Rows; ++I) {
        const unsigned Kind = unsigned(Random() % 8);
        std::optional<int64_t> V;
        if (Kind == 0)
          V = std::nullopt;
        else if (Kind <= 3)
          V = std::clamp<int64_t>(int64_t(Random() % 7) - 3, T.Min, T.Max);
        else if (Kind == 4)
          V = T.Max - int64_t(Random() % 3);
        else if (Kind == 5)
          V = T.Min + int64_t(Random() % 3);
        else
          V = Any(Random);
        Model.Values.push_back(V);
        Model.Weights.push_back(int32_t(Random() % 3) + (Round % 4 == 0 ? 0 : 1));
      }
      for (TTolvanExprOperator Op : Ops) {
        for (bool Distinct : {false, true}) {
          if (Op == eoCountStar && Distinct)
            continue;
          std::unique_ptr<TFeed> Feed;
          if (Op == eoCountStar) {
            Feed = std::make_unique<TFeed>(eoCount, false, T.Type);
            Feed->Node().SetOperator(eoCountStar);
          } else {
            Feed = std::make_unique<TFeed>(Op, Distinct, T.Type);
          }
          const std::string Got = Outcome([&] {
            for (size_t I = 0; I < Model.Values.size(); ++I) {
              TTolvanVariant V(T.Type);
              if (Model.Values[I])
                V.SetAsLargeInt(*Model.Values[I]);
              Feed->Row(V, Model.Weights[I]);
            }
            const std::string First = Feed->Result();
            // A result read twice is the same.
            EXPECT_EQ(Feed->Result(), First);
            return First;
          });
          const std::string Expected = Model.Expect(Op, Distinct, T.Type);
          ASSERT_EQ(Got, Expected) << ValueTypeToSQLName(T.Type) << " " << OperatorName(Op)
                                   << (Distinct ? " DISTINCT" : "") << " round " << Round;
        }
      }
    }
  }
  EXPECT_EQ(Services.OpenHandleCount(), 0);
}

TEST_F(ExprAggregate, IntegerSumsAndAveragesDoNotDependOnTheArgumentsWidth) {
  // Sums beyond a small type, and a count beyond it.
  TFeed Sum(eoSum, false, tvtSignedInt16);
  TFeed Avg(eoAvg, false, tvtSignedInt8);
  TTolvanVariant V(tvtSignedInt16);
  V.SetAsSmallInt(30000);
  Sum.Row(V);
  Sum.Row(V);
  EXPECT_EQ(Sum.Result(), "SIGNEDINT64 60000");
  TTolvanVariant One(tvtSignedInt8);
  One.SetAsShortInt(1);
  for (int I = 0; I < 200; ++I)
    Avg.Row(One);
  EXPECT_EQ(Avg.Result(), "SIGNEDINT64 1");
  EXPECT_EQ(Avg.Node().RowCount(), 200);
  // Whether a null comes first makes no difference.
  TFeed NullFirst(eoSum, false, tvtInteger);
  NullFirst.NullRow();
  TTolvanVariant Big(tvtInteger);
  Big.SetAsInteger(INT32_MAX);
  NullFirst.Row(Big);
  NullFirst.Row(Big);
  EXPECT_EQ(NullFirst.Result(), "SIGNEDINT64 4294967294");
  TFeed ValueFirst(eoSum, false, tvtInteger);
  ValueFirst.Row(Big);
  ValueFirst.Row(Big);
  EXPECT_EQ(ValueFirst.Result(), "SIGNEDINT64 4294967294");
  // AVG divides as integers yet reports Double.
  TFeed Avg12(eoAvg, false, tvtInteger);
  for (int X : {1, 2}) {
    TTolvanVariant I(tvtInteger);
    I.SetAsInteger(X);
    Avg12.Row(I);
  }
  EXPECT_EQ(Avg12.Result(), "SIGNEDINT64 1");
  EXPECT_EQ(Avg12.Node().GetDataType(), tftDouble);
}

// --- floats and texts -----------------------------------------------------------------------

TEST_F(ExprAggregate, FloatFeedsAgainstAModel) {
  std::mt19937_64 Random(77);
  std::uniform_real_distribution<double> Any(-1e6, 1e6);
  for (int Round = 0; Round < 200; ++Round) {
    std::vector<std::optional<double>> Values;
    const int Rows = 1 + int(Random() % 20);
    for (int I = 0; I < Rows; ++I)
      Values.push_back(Random() % 5 == 0 ? std::nullopt
                                         : std::optional<double>(std::round(Any(Random)) / 8));
    TFeed Sum(eoSum, false, tvtFloat), Avg(eoAvg, false, tvtFloat), Min(eoMin, false, tvtFloat),
        Max(eoMax, false, tvtFloat), SumDistinct(eoSum, true, tvtFloat);
    for (const auto& V : Values) {
      TTolvanVariant X(tvtFloat);
      if (V)
        X.SetAsDouble(*V);
      for (TFeed* F : {&Sum, &Avg, &Min, &Max, &SumDistinct})
        F->Row(X);
    }
    // The sum takes the first value's type; a null before it makes it an EXTENDED from 0.
    const bool NullFirst = !Values.front();
    long double WideSum = 0;
    double NarrowSum = 0, AvgSum = 0, DistinctSum = 0;
    bool Started = false;
    int Count = 0;
    std::set<double> Seen;
    std::optional<double> Lo, Hi;
    for (const auto& V : Values) {
      if (!V)
        continue;
      WideSum += *V;
      NarrowSum = Started ? NarrowSum + *V : *V;
      AvgSum = Started ? AvgSum + *V : *V;
      Started = true;
      ++Count;
      if (Seen.insert(*V).second)
        DistinctSum += *V;
      Lo = Lo ? std::min(*Lo, *V) : *V;
      Hi = Hi ? std::max(*Hi, *V) : *V;
    }
    if (NullFirst) {
      TTolvanVariant E;
      E.SetAsExtended(WideSum);
      EXPECT_EQ(Sum.Result(), "EXTENDED " + DumpExprValue(E));
    } else {
      TTolvanVariant E;
      E.SetAsDouble(NarrowSum);
      EXPECT_EQ(Sum.Result(), "FLOAT " + DumpExprValue(E));
    }
    if (!Started) {
      EXPECT_EQ(Avg.Result(), "NONE NULL");
      EXPECT_EQ(Min.Result(), "FLOAT NULL");
      continue;
    }
    TTolvanVariant A, L, H;
    A.SetAsDouble(AvgSum / Count);
    L.SetAsDouble(*Lo);
    H.SetAsDouble(*Hi);
    EXPECT_EQ(Avg.Result(), "FLOAT " + DumpExprValue(A));
    EXPECT_EQ(Min.Result(), "FLOAT " + DumpExprValue(L));
    EXPECT_EQ(Max.Result(), "FLOAT " + DumpExprValue(H));
    EXPECT_EQ(SumDistinct.Node().GetValue().GetAsExtended(), (long double)DistinctSum);
  }
}

TEST_F(ExprAggregate, TextFeedsAgainstAModel) {
  std::mt19937_64 Random(5);
  const char Letters[] = "aAbB";
  for (int Round = 0; Round < 100; ++Round) {
    std::vector<std::optional<std::string>> Values;
    const int Rows = int(Random() % 12);
    for (int I = 0; I < Rows; ++I) {
      if (Random() % 6 == 0) {
        Values.push_back(std::nullopt);
        continue;
      }
      std::string S;
      for (int L = 1 + int(Random() % 3); L > 0; --L)
        S += Letters[Random() % 4];
      Values.push_back(S);
    }
    TFeed Min(eoMin, false, tvtString), Max(eoMax, false, tvtString),
        Count(eoCount, true, tvtString), MinDistinct(eoMin, true, tvtString);
    for (const auto& V : Values) {
      TTolvanVariant X(tvtString);
      if (V)
        X.SetAsString(*V);
      for (TFeed* F : {&Min, &Max, &Count, &MinDistinct})
        F->Row(X);
    }
    // MIN and MAX ignore case (the first of equal texts stays); DISTINCT does not.
    auto Fold = [](std::string S) {
      for (char& C : S)
        C = char(std::tolower(uint8_t(C)));
      return S;
    };
    std::optional<std::string> Lo, Hi;
    std::set<std::string> Distinct;
    for (const auto& V : Values) {
      if (!V)
        continue;
      if (!Lo || Fold(*V) < Fold(*Lo))
        Lo = V;
      if (!Hi || Fold(*V) > Fold(*Hi))
        Hi = V;
      Distinct.insert(*V);
    }
    const std::string Null = Values.empty() ? "NONE NULL" : "STRING NULL";
    EXPECT_EQ(Min.Result(), Lo ? "STRING '" + *Lo + "'" : Null);
    EXPECT_EQ(MinDistinct.Result(), Min.Result());
    EXPECT_EQ(Max.Result(), Hi ? "STRING '" + *Hi + "'" : Null);
    EXPECT_EQ(Count.Result(), "INTEGER " + std::to_string(Distinct.size()));
  }
}

// --- the rules by example -------------------------------------------------------------------

TEST_F(ExprAggregate, NullsNoRowsAndCase) {
  // Over nulls only SUM is 0, in the argument's kind of number.
  for (auto [Type, Expected] :
       {std::pair{tvtInteger, "SIGNEDINT64 0"}, std::pair{tvtUnsignedInt8, "SIGNEDINT64 0"},
        std::pair{tvtFloat, "EXTENDED 0"}, std::pair{tvtCurrency, "EXTENDED 0"}}) {
    TFeed Sum(eoSum, false, Type);
    Sum.NullRow();
    Sum.NullRow();
    EXPECT_EQ(Sum.Result(), Expected);
    TFeed Avg(eoAvg, false, Type), Count(eoCount, false, Type), Max(eoMax, false, Type);
    for (TFeed* F : {&Avg, &Count, &Max})
      F->NullRow();
    EXPECT_EQ(Avg.Result(), "NONE NULL");
    EXPECT_EQ(Count.Result(), "INTEGER 0");
    EXPECT_TRUE(Max.Node().GetValue().IsNull());
  }
  // With no row SUM, AVG, MIN and MAX are null and the counts 0.
  for (TTolvanExprOperator Op : {eoSum, eoAvg, eoMin, eoMax})
    EXPECT_TRUE(TFeed(Op, false, tvtInteger).Node().GetValue().IsNull()) << OperatorName(Op);
  EXPECT_EQ(TFeed(eoCount, true, tvtInteger).Result(), "INTEGER 0");
  TTolvanExprNodeAggregated Star(eoCountStar);
  Star.ResetAggregates();
  EXPECT_EQ(Eval(Star), "INTEGER 0");
  Star.Accumulate(1);
  Star.Accumulate(4);
  EXPECT_EQ(Eval(Star), "INTEGER 5");
  // COUNT(DISTINCT x) over 'a', 'A', 'a' is 2; MIN over 'b', 'A' is 'A'.
  TFeed Count(eoCount, true, tvtString), Min(eoMin, false, tvtString);
  for (const char* S : {"a", "A", "a"}) {
    TTolvanVariant V;
    V.SetAsString(S);
    Count.Row(V);
  }
  EXPECT_EQ(Count.Result(), "INTEGER 2");
  for (const char* S : {"b", "A"}) {
    TTolvanVariant V;
    V.SetAsString(S);
    Min.Row(V);
  }
  EXPECT_EQ(Min.Result(), "STRING 'A'");
  // A reset starts a new group, DISTINCT values included.
  Count.Node().ResetAggregates();
  TTolvanVariant A;
  A.SetAsString("a");
  Count.Row(A);
  EXPECT_EQ(Count.Result(), "INTEGER 1");
}

TEST_F(ExprAggregate, OverflowAndRefusals) {
  TFeed Sum(eoSum, false, tvtSignedInt64);
  TTolvanVariant Max;
  Max.SetAsLargeInt(INT64_MAX);
  Sum.Row(Max);
  TTolvanVariant One;
  One.SetAsLargeInt(1);
  EXPECT_EQ(ErrorOf([&] { Sum.Row(One); }), "class library: Integer overflow");
  TTolvanVariant Text;
  Text.SetAsString("x");
  TFeed SumText(eoSum, false, tvtString), AvgText(eoAvg, false, tvtString);
  EXPECT_EQ(ErrorOf([&] { SumText.Row(Text); }),
            "Not numeric argument in numeric operator 'SUM' - Native error: 30132");
  EXPECT_EQ(ErrorOf([&] { AvgText.Row(Text); }),
            "Not numeric argument in numeric operator 'AVG' - Native error: 30133");
  // Nulls of any type are skipped before the type is looked at.
  SumText.NullRow();
  EXPECT_EQ(SumText.Result(), "EXTENDED 0");
  TTolvanExprNodeAggregated Wrong(eoAdd, false, Int(1));
  EXPECT_EQ(ErrorOf([&] { Wrong.Accumulate(1); }), "Unknown operator: '+' - Native error: 30134");
  TTolvanExprNodeAggregated NoArg(eoCount, true, nullptr);
  EXPECT_EQ(ErrorOf([&] { NoArg.ResetAggregates(); }),
            "Error - no children in expression node - Native error: 11338");
}

TEST_F(ExprAggregate, DistinctSetsComeFromTheServicesAndGoBack) {
  TFeed Count(eoCount, true, tvtInteger);
  EXPECT_EQ(Services.OpenHandleCount(), 1);
  Count.Node().ResetAggregates();
  EXPECT_EQ(Services.OpenHandleCount(), 1);
  Services.Fail(TFakeExprServices::fpInsertDistinct, 91);
  TTolvanVariant V;
  V.SetAsInteger(1);
  EXPECT_EQ(NativeCodeOf([&] { Count.Row(V); }), 91);
  Services.Fail(TFakeExprServices::fpInsertDistinct, 0);
  Services.Fail(TFakeExprServices::fpCreateDistinct, 92);
  EXPECT_EQ(NativeCodeOf([&] { Count.Node().ResetAggregates(); }), 92);
  EXPECT_EQ(Services.OpenHandleCount(), 0);
  Services.Fail(TFakeExprServices::fpCreateDistinct, 0);
  // Fed without a set (the reset failed): the group starts with the first row.
  Count.Row(V);
  Count.Row(V);
  EXPECT_EQ(Count.Result(), "INTEGER 1");
  EXPECT_EQ(Services.OpenHandleCount(), 1);
}

TEST_F(ExprAggregate, ReportedTypesAndSizes) {
  TRecordCursor R({{"C", tftChar, 4},
                   {"V", tftVarchar, 9},
                   {"I", tftInteger},
                   {"S", tftSingle},
                   {"M", tftCurrency},
                   {"W", tftWord}});
  auto Agg = [&](TTolvanExprOperator Op, const char* Field) {
    return TTolvanExprNodeAggregated(Op, false, R.Field(Field));
  };
  EXPECT_EQ(Agg(eoSum, "I").GetDataType(), tftLargeInt);
  EXPECT_EQ(Agg(eoSum, "W").GetDataType(), tftLargeInt);
  EXPECT_EQ(Agg(eoSum, "S").GetDataType(), tftSingle);
  EXPECT_EQ(Agg(eoSum, "M").GetDataType(), tftCurrency);
  EXPECT_EQ(Agg(eoAvg, "I").GetDataType(), tftDouble);
  EXPECT_EQ(Agg(eoMin, "W").GetDataType(), tftWord);
  EXPECT_EQ(Agg(eoMax, "C").GetDataType(), tftChar);
  EXPECT_EQ(Agg(eoCount, "C").GetDataType(), tftInteger);
  EXPECT_EQ(TTolvanExprNodeAggregated(eoCountStar).GetDataType(), tftInteger);
  EXPECT_EQ(TTolvanExprNodeAggregated(eoSum, false, nullptr).GetDataType(), tftNone);
  EXPECT_EQ(Agg(eoMin, "C").GetDataSize(), 5);
  EXPECT_EQ(Agg(eoMax, "V").GetDataSize(), 1024);
  EXPECT_EQ(Agg(eoMax, "I").GetDataSize(), 0);
  EXPECT_EQ(Agg(eoCount, "V").GetDataSize(), 0);
  // The tree asks its nodes.
  TNode Tree = Op<TTolvanExprNodeArithmetic>(
      eoAdd, std::make_unique<TTolvanExprNodeAggregated>(eoCountStar), Int(1));
  EXPECT_TRUE(Tree->HasAggregate());
  EXPECT_TRUE(Tree->HasCountStar());
  EXPECT_FALSE(Int(1)->HasAggregate());
  TTolvanExprNodeAggregated Sum(eoSum, false, Int(1));
  EXPECT_TRUE(Sum.HasAggregate());
  EXPECT_FALSE(Sum.HasCountStar());
  Tree->ResetAggregates();
  Tree->Accumulate(3);
  EXPECT_EQ(Eval(Tree), "SIGNEDINT64 4");
}

} // namespace
