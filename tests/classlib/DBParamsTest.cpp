#include <gtest/gtest.h>

#include "classlib/DBParams.h"

#include <functional>
#include <string>

#include "StandInDataSet.h"

using namespace tolvan;

TEST(DBParams, ValueFixesUnknownType) {
  const struct {
    Variant Value;
    TFieldType Type;
  } Cases[] = {
      {Variant(int16_t(1)), ftSmallint},
      {Variant(int8_t(1)), ftSmallint},
      {Variant(uint8_t(1)), ftWord},
      {Variant(uint16_t(1)), ftWord},
      {Variant(int32_t(1)), ftInteger},
      {Variant(uint32_t(1)), ftLargeint},
      {Variant(int64_t(1)), ftLargeint},
      {Variant(uint64_t(1)), ftLargeint},
      {Variant(1.5f), ftFloat},
      {Variant(1.5), ftFloat},
      {Variant(Currency{15000}), ftCurrency},
      {VarFromDateTime(2.5), ftDateTime},
      {Variant(true), ftBoolean},
      {Variant("s"), ftString},
      {Variant(u"w"), ftWideString},
      {Variant(), ftUnknown},
      {Null(), ftUnknown},
      {VarArrayOf({Variant(1)}), ftUnknown},
  };
  for (const auto& Case : Cases) {
    SCOPED_TRACE(VarTypeAsText(Case.Value.VarType()));
    TParam P;
    EXPECT_FALSE(P.Bound());
    P.SetValue(Case.Value);
    EXPECT_TRUE(P.Bound());
    EXPECT_EQ(P.DataType(), Case.Type);
    EXPECT_EQ(P.Value().VarType(), Case.Value.VarType());
  }
  // A known type stays whatever the value.
  TParam P(ftString, "p");
  P.SetValue(Variant(42));
  EXPECT_EQ(P.DataType(), ftString);
  EXPECT_EQ(P.Value().AsInteger(), 42);
}

TEST(DBParams, NullClearAndAssign) {
  TParam P(ftUnknown, "a");
  EXPECT_TRUE(P.IsNull()); // empty
  P.SetValue(Null());
  EXPECT_TRUE(P.IsNull());
  P.SetValue(Variant(7));
  EXPECT_FALSE(P.IsNull());
  P.Clear();
  EXPECT_TRUE(P.IsNull());
  EXPECT_TRUE(P.Bound());
  EXPECT_EQ(P.Name(), "a");

  P.SetValue(Variant("x"));
  TParam Q(ftFloat, "b");
  Q.Assign(P);
  EXPECT_EQ(Q.Name(), "a");
  EXPECT_EQ(Q.DataType(), ftInteger); // fixed by the first value, 7
  EXPECT_EQ(Q.Value().AsString(), "x");
  EXPECT_TRUE(Q.Bound());
  TParam Unbound(ftDate, "c");
  Q.Assign(Unbound);
  EXPECT_FALSE(Q.Bound());
  EXPECT_TRUE(Q.IsNull());
  EXPECT_EQ(Q.DataType(), ftDate);
}

TEST(DBParams, ListLookup) {
  TParams L;
  EXPECT_EQ(L.Count(), 0);
  TParam& A = L.CreateParam(ftInteger, "Caf\xE9");
  L.CreateParam(ftString, "b");
  L.CreateParam(ftString, "CAF\xC9"); // the same name in other case: the first one wins
  EXPECT_EQ(L.Count(), 3);
  EXPECT_EQ(&L.Items(0), &A);
  EXPECT_EQ(L.FindParam("caf\xE9"), &A);
  EXPECT_EQ(L.FindParam("CAF\xC9"), &A);
  EXPECT_EQ(L.FindParam("B"), &L.Items(1));
  EXPECT_EQ(L.FindParam("cafe"), nullptr);
  EXPECT_EQ(&L.ParamByName("CAF\xE9"), &A);
  try {
    L.ParamByName("missing");
    ADD_FAILURE() << "no exception";
  } catch (const EDatabaseError& E) {
    EXPECT_EQ(E.Message(), "Parameter 'missing' not found");
  }
  EXPECT_THROW(L.Items(3), EListError);
  EXPECT_THROW(L.Items(-1), EListError);
  L.Clear();
  EXPECT_EQ(L.Count(), 0);
}

TEST(DBParams, AssignValuesAndAssign) {
  TParams Own, Source;
  Own.CreateParam(ftInteger, "a").SetValue(Variant(1));
  Own.CreateParam(ftInteger, "b").SetValue(Variant(2));
  Source.CreateParam(ftString, "B").SetValue(Variant("twenty"));
  Source.CreateParam(ftInteger, "c").SetValue(Variant(3));

  Own.AssignValues(Source);
  ASSERT_EQ(Own.Count(), 2); // "c" is not added
  EXPECT_EQ(Own.Items(0).Value().AsInteger(), 1);
  EXPECT_EQ(Own.Items(1).Value().AsString(), "twenty");
  EXPECT_EQ(Own.Items(1).DataType(), ftString);

  Own.Assign(Source);
  ASSERT_EQ(Own.Count(), 2);
  EXPECT_EQ(Own.Items(0).Name(), "B");
  EXPECT_EQ(Own.Items(1).Name(), "c");
  EXPECT_NE(&Own.Items(1), &Source.Items(1)); // copies
  Source.Items(1).SetValue(Variant(9));
  EXPECT_EQ(Own.Items(1).Value().AsInteger(), 3);
  Own.Assign(Own);
  EXPECT_EQ(Own.Count(), 2);
}

TEST(DBParams, TypedSettersFixTheType) {
  const struct {
    const char* What;
    std::function<void(TParam&)> Set;
    TFieldType Type;
    TVarType VarType;
    const char* Text;
  } Cases[] = {
      {"AsString", [](TParam& P) { P.SetAsString("12"); }, ftString, varString, "12"},
      {"AsWideString", [](TParam& P) { P.SetAsWideString(u"12"); }, ftWideString, varOleStr, "12"},
      {"AsInteger", [](TParam& P) { P.SetAsInteger(12); }, ftInteger, varInteger, "12"},
      {"AsLargeInt", [](TParam& P) { P.SetAsLargeInt(12); }, ftLargeint, varInt64, "12"},
      {"AsFloat", [](TParam& P) { P.SetAsFloat(12); }, ftFloat, varDouble, "12"},
      {"AsCurrency", [](TParam& P) { P.SetAsCurrency(Currency::FromScaled(120000)); }, ftCurrency,
       varCurrency, "12"},
      {"AsDateTime", [](TParam& P) { P.SetAsDateTime(12); }, ftDateTime, varDate, nullptr},
      {"AsBoolean", [](TParam& P) { P.SetAsBoolean(true); }, ftBoolean, varBoolean, "True"},
      {"AsMemo", [](TParam& P) { P.SetAsMemo("12"); }, ftMemo, varString, "12"},
      {"AsBlob", [](TParam& P) { P.SetAsBlob(std::string("1\0002", 3)); }, ftBlob, varString,
       nullptr},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.What);
    TParam P(ftSmallint, "p"); // a type already known is replaced all the same
    C.Set(P);
    EXPECT_EQ(P.DataType(), C.Type);
    EXPECT_EQ(P.Value().VarType(), C.VarType);
    EXPECT_TRUE(P.Bound());
    if (C.Text) {
      EXPECT_EQ(P.AsString(), C.Text);
    }
  }
  TParam P;
  P.SetAsString("12");
  EXPECT_EQ(P.AsInteger(), 12);
  EXPECT_EQ(P.AsLargeInt(), 12);
  EXPECT_EQ(P.AsFloat(), 12.0);
  EXPECT_EQ(P.AsCurrency().Scaled, 120000);
  EXPECT_TRUE(P.AsBoolean());
  EXPECT_EQ(P.AsWideString(), u"12");
  EXPECT_EQ(P.AsMemo(), "12");
  EXPECT_EQ(P.AsBlob(), "12");
  P.SetAsBlob(std::string("1\0002", 3));
  EXPECT_EQ(P.AsBlob(), std::string("1\0002", 3));
  P.SetAsString("x");
  EXPECT_THROW((void)P.AsInteger(), EVariantError);
  // Null reads as zero values.
  P.SetValue(Null());
  EXPECT_EQ(P.AsString(), "");
  EXPECT_EQ(P.AsInteger(), 0);
  EXPECT_EQ(P.AsFloat(), 0.0);
  EXPECT_FALSE(P.AsBoolean());
  EXPECT_EQ(P.AsDateTime(), 0.0);
}

TEST(DBParams, AssignFieldTakesNameTypeAndValue) {
  auto DS = MakeComponent<test::TStandInDataSet>();
  TField* F = NewFieldOfType(ftDate, DS.get());
  F->SetFieldName("Born");
  F->SetDataSet(DS.get());
  DS->Enter(dsEdit);
  F->SetAsDateTime(EncodeDate(2004, 3, 7));
  TParam P(ftString, "x");
  P.AssignField(*F);
  EXPECT_EQ(P.Name(), "Born");
  EXPECT_EQ(P.DataType(), ftDate);
  EXPECT_EQ(P.Value().VarType(), varDate);
  EXPECT_EQ(P.AsDateTime(), EncodeDate(2004, 3, 7));
  EXPECT_TRUE(P.Bound());
  F->Clear();
  P.AssignField(*F);
  EXPECT_TRUE(P.IsNull());
  EXPECT_TRUE(P.Bound());
}
