#include "components/TolvanDefs.h"
#include "tests/foundation/TestSupport.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "classlib/DBDefs.h"
#include "foundation/TolvanExcept.h"
#include "storage/local/TolvanLocalCursor.h"
#include "tests/components/ComponentTestSupport.h"

using namespace tolvan;
using namespace tolvan::test;

namespace {

// The code and the message text of the ETolvanException Fn raises.
struct TRaised {
  int32_t Code;
  std::string Message;
};

TRaised RaisedBy(const std::function<void()>& Fn) {
  try {
    Fn();
  } catch (const ETolvanException& E) {
    return {E.NativeError(), E.Message()};
  }
  return {0, "no exception"};
}

std::string Text(int32_t Code, const std::string& Message) {
  char Digits[8];
  std::snprintf(Digits, sizeof Digits, "%.5d", Code);
  return Message + " - Native error: " + Digits;
}

std::vector<std::string> Names(const TStringList& List) {
  std::vector<std::string> Out;
  for (int32_t I = 0; I < List.Count(); ++I)
    Out.push_back(List.Strings(I));
  return Out;
}

// Stands in for the engine's creation of a table: columns get object ids, and constraints are
// bound to them by name.
void GiveColumnIDs(TTolvanFieldDefs& Fields, TTolvanConstraintDefs& Constraints) {
  for (int32_t I = 0; I < Fields.Count(); ++I)
    Fields.Items(I).SetObjectID(100 + I);
  for (int32_t I = 0; I < Constraints.Count(); ++I) {
    TTolvanConstraintDef& C = Constraints.Items(I);
    TTolvanObjectRef* Column = nullptr;
    if (C.ConstraintType() == tctNotNull)
      Column = &static_cast<TTolvanConstraintDefNotNull&>(C).Column();
    else if (C.ConstraintType() == tctCheck)
      Column = &static_cast<TTolvanConstraintDefCheck&>(C).Column();
    if (Column)
      Column->SetObjectID(Fields.FindByName(Column->Name())->ObjectID());
  }
}

// A constraint kind no collection writer produces.
class TOddConstraint : public TTolvanConstraintDef {
public:
  TOddConstraint() : TTolvanConstraintDef(static_cast<TTolvanConstraintType>(6)) {}
};

} // namespace

// --- definition classes --------------------------------------------------------------------------

TEST(TolvanAdvFieldDefs, FindDeleteItemsAndAssign) {
  TTolvanAdvFieldDefs Defs;
  Defs.Add("Name", tftVarchar, 20, true);
  Defs.AddDef().SetName("\xC4rea"); // cp1252 A-umlaut
  EXPECT_EQ(Defs.Count(), 2);
  EXPECT_EQ(Defs.Find("NAME"), &Defs.Items(0));
  EXPECT_EQ(Defs.Find("\xE4REA"), &Defs.Items(1)); // case folded over cp1252
  EXPECT_EQ(Defs.Find("Other"), nullptr);
  EXPECT_THROW(Defs.Items(2), EListError);
  EXPECT_THROW(Defs.Items(-1), EListError);

  const TTolvanAdvFieldDef& Added = Defs.Items(0);
  EXPECT_EQ(Added.FieldType(), tftVarchar);
  EXPECT_EQ(Added.Size(), 20);
  EXPECT_TRUE(Added.Required());
  EXPECT_EQ(Added.AutoincIncrement(), 1);
  EXPECT_EQ(Added.AutoincMaxValue(), INT64_MAX);
  EXPECT_EQ(Added.BlobBlockSize(), 102400);
  EXPECT_TRUE(Added.DefaultValue().IsNull());

  // Values are copied, not shared: changing the source afterwards leaves the copy alone.
  Defs.Items(0).DefaultValue().SetAsInteger(7);
  Defs.Items(0).MinValue().SetAsInteger(1);
  Defs.Items(0).SetAutoincCycled(true);
  TTolvanAdvFieldDefs Copy;
  Copy.Add("Gone", tftInteger, 0, false);
  Copy.Assign(Defs);
  Defs.Items(0).DefaultValue().SetAsInteger(8);
  ASSERT_EQ(Copy.Count(), 2);
  EXPECT_EQ(Copy.Items(0).DefaultValue().GetAsInteger(), 7);
  EXPECT_EQ(Copy.Items(0).MinValue().GetAsInteger(), 1);
  EXPECT_TRUE(Copy.Items(0).MaxValue().IsNull());
  EXPECT_TRUE(Copy.Items(0).AutoincCycled());
  Copy.Assign(Copy);
  EXPECT_EQ(Copy.Count(), 2);

  Defs.Delete("name");
  EXPECT_EQ(Defs.Count(), 1);
  const TRaised R = RaisedBy([&] { Defs.Delete("Name"); });
  EXPECT_EQ(R.Code, 30349);
  EXPECT_EQ(R.Message, Text(30349, "Field 'Name' not found"));
}

TEST(TolvanAdvFieldDefs, HasVarcharFieldsOnlyForVarcharTypes) {
  const struct {
    TTolvanFieldType Type;
    bool Expected;
  } Cases[] = {{tftChar, false},       {tftVarchar, true}, {tftWideChar, false},
               {tftWideVarchar, true}, {tftMemo, false},   {tftWideMemo, false}};
  for (const auto& C : Cases) {
    TTolvanAdvFieldDefs Defs;
    Defs.Add("A", tftInteger, 0, false);
    Defs.Add("B", C.Type, 10, false);
    EXPECT_EQ(Defs.HasVarcharFields(), C.Expected) << int(C.Type);
  }
  EXPECT_FALSE(TTolvanAdvFieldDefs().HasVarcharFields());
}

TEST(TolvanForeignKeyDefs, LookupsAndAssign) {
  TTolvanForeignKeyDefs Defs;
  TTolvanForeignKeyDef& A = Defs.Add();
  A.SetName("fk_Order");
  A.SetMatchType(1);
  A.SetDeleteAction(tfaCascade);
  A.SetUpdateAction(tfaSetNull);
  A.SetReferenceTableName("Orders");
  A.SetFieldList("a;b");
  Defs.Add().SetName("second");
  EXPECT_EQ(Defs.Items(2), nullptr);
  EXPECT_EQ(Defs.Items(-1), nullptr);
  EXPECT_EQ(Defs.IndexOf("FK_ORDER"), 0);
  EXPECT_EQ(Defs.IndexOf("third"), -1);
  EXPECT_EQ(Defs.Find("Second"), Defs.Items(1));
  EXPECT_EQ(Defs.Find("third"), nullptr);

  TTolvanForeignKeyDefs Copy;
  Copy.Add();
  Copy.Assign(Defs);
  ASSERT_EQ(Copy.Count(), 2);
  const TTolvanForeignKeyDef& C = *Copy.Items(0);
  EXPECT_NE(&C, &A);
  EXPECT_EQ(C.Name(), "fk_Order");
  EXPECT_EQ(C.MatchType(), 1);
  EXPECT_EQ(C.DeleteAction(), tfaCascade);
  EXPECT_EQ(C.UpdateAction(), tfaSetNull);
  EXPECT_EQ(C.ReferenceTableName(), "Orders");
  EXPECT_EQ(C.FieldList(), "a;b");

  // Only a definition list can be assigned to a definition list, and a definition to one.
  EXPECT_THROW(Copy.Assign(A), EConvertError);
  EXPECT_THROW(Copy.Items(0)->Assign(Defs), EConvertError);
  EXPECT_EQ(Copy.Count(), 2);
}

// --- helpers ------------------------------------------------------------------------------------

TEST(TolvanDefsHelpers, SplitFieldList) {
  const struct {
    const char* Text;
    std::vector<std::string> Expected;
  } Cases[] = {
      {"a, b;c", {"a", "b", "c"}}, {"One", {"One"}}, {"", {}}, {" ; , ;", {}},
      {"x,,y ;", {"x", "y"}},
  };
  for (const auto& C : Cases) {
    TStringList List;
    SplitFieldList(C.Text, List);
    EXPECT_EQ(Names(List), C.Expected) << C.Text;
  }
}

TEST(TolvanDefsHelpers, MapCompressionAlgorithmAndFieldDefExists) {
  const struct {
    uint8_t Code;
    TTolvanCompressionAlgorithm Expected;
  } Cases[] = {{0, caNone}, {1, caZlib}, {2, caBZip}, {3, caPPM}, {4, caNone}, {255, caNone}};
  for (const auto& C : Cases)
    EXPECT_EQ(MapCompressionAlgorithm(C.Code), C.Expected) << int(C.Code);

  TFieldDefs Defs(nullptr);
  Defs.Add("Amount", ftInteger);
  EXPECT_TRUE(FieldDefExists(Defs, "AMOUNT"));
  EXPECT_FALSE(FieldDefExists(Defs, "Amounts"));
}

// --- field conversions ---------------------------------------------------------------------------

TEST(TolvanFieldConversions, FieldDefsExtendedRoundTripOverMappedTypes) {
  // Each dataset type that the type table maps back to itself; the OLE and typed binary types
  // come back as plain BLOBs.
  const struct {
    TFieldType Type;
    TTolvanFieldType Engine;
    TFieldType Back;
  } Cases[] = {
      {ftFixedChar, tftChar, ftFixedChar},
      {ftString, tftVarchar, ftString},
      {ftWideString, tftWideChar, ftWideString},
      {ftSmallint, tftSmallInt, ftSmallint},
      {ftInteger, tftInteger, ftInteger},
      {ftWord, tftWord, ftWord},
      {ftLargeint, tftLargeInt, ftLargeint},
      {ftAutoInc, tftAutoInc, ftAutoInc},
      {ftFloat, tftDouble, ftFloat},
      {ftBoolean, tftBoolean, ftBoolean},
      {ftCurrency, tftCurrency, ftCurrency},
      {ftDate, tftDate, ftDate},
      {ftTime, tftTime, ftTime},
      {ftDateTime, tftDateTime, ftDateTime},
      {ftTimeStamp, tftTimeStamp, ftTimeStamp},
      {ftBytes, tftBytes, ftBytes},
      {ftVarBytes, tftVarBytes, ftVarBytes},
      {ftBlob, tftBLOB, ftBlob},
      {ftGraphic, tftGraphic, ftGraphic},
      {ftMemo, tftMemo, ftMemo},
      {ftFmtMemo, tftFormattedMemo, ftFmtMemo},
      {ftParadoxOle, tftBLOB, ftBlob},
      {ftDBaseOle, tftBLOB, ftBlob},
      {ftTypedBinary, tftBLOB, ftBlob},
  };
  TFieldDefs Source(nullptr);
  for (size_t I = 0; I < std::size(Cases); ++I)
    Source.Add("F" + std::to_string(I), Cases[I].Type, int32_t(I), I % 2 == 0);

  TTolvanAdvFieldDefs Adv;
  Adv.Add("Stale", tftInteger, 0, false);
  FieldDefsToAdvFieldDefs(Source, Adv);
  TFieldDefs Back(nullptr);
  Back.Add("Stale", ftInteger);
  AdvFieldDefsToFieldDefs(Adv, Back);
  TTolvanFieldDefs Engine;
  FieldDefsToEngineFieldDefs(Source, Engine);

  ASSERT_EQ(Adv.Count(), int32_t(std::size(Cases)));
  ASSERT_EQ(Back.Count(), int32_t(std::size(Cases)));
  ASSERT_EQ(Engine.Count(), int32_t(std::size(Cases)));
  for (int32_t I = 0; I < Back.Count(); ++I) {
    SCOPED_TRACE(I);
    EXPECT_EQ(Adv.Items(I).FieldType(), Cases[I].Engine);
    EXPECT_EQ(Back.Items(I).Name(), Source.Items(I).Name());
    EXPECT_EQ(Back.Items(I).DataType(), Cases[I].Back);
    EXPECT_EQ(Back.Items(I).Size(), I);
    EXPECT_EQ(Back.Items(I).Required(), I % 2 == 0);
    EXPECT_EQ(Engine.Items(I).Name(), Source.Items(I).Name());
    EXPECT_EQ(Engine.Items(I).FieldType(), Cases[I].Engine);
    EXPECT_EQ(Engine.Items(I).Size(), I);
  }

  // A dataset type the engine has no column type for.
  TFieldDefs Odd(nullptr);
  Odd.Add("B", ftBCD);
  const TRaised R = RaisedBy([&] { FieldDefsToEngineFieldDefs(Odd, Engine); });
  EXPECT_EQ(R.Code, 30289);
  EXPECT_EQ(R.Message, Text(30289, "Unknown DataType: '8'"));
}

TEST(TolvanFieldConversions, ExtendedEngineRoundTripOverEveryFieldType) {
  TTolvanAdvFieldDefs Source;
  for (int T = 1; T <= TolvanFieldTypeCount; ++T) {
    const auto Type = static_cast<TTolvanFieldType>(T);
    const bool Sized = IsPlainStringValueType(ValueTypeOfFieldType(Type)) || IsBytesFieldType(Type);
    TTolvanAdvFieldDef& Def = Source.Add("C" + std::to_string(T), Type, Sized ? 12 : 0, T % 2 == 1);
    Def.DefaultValue().SetAsInteger(T);
    if (T % 3 == 0)
      Def.MinValue().SetAsInteger(-T);
    if (T % 4 == 0)
      Def.MaxValue().SetAsInteger(10 * T);
    Def.SetAutoincIncrement(T);
    Def.SetAutoincInitialValue(T + 1);
    Def.SetAutoincMinValue(-T);
    Def.SetAutoincMaxValue(1000 + T);
    Def.SetAutoincCycled(T % 5 == 0);
    Def.SetBlobCompressionAlgorithm(uint8_t(T % 5)); // 4 means none
    Def.SetBlobCompressionLevel(uint8_t(T % 10));
    Def.SetBlobBlockSize(4096 + T);
  }

  for (const bool Temporary : {false, true}) {
    SCOPED_TRACE(Temporary);
    TTolvanFieldDefs Fields;
    TTolvanIndexDefs Indexes;
    TTolvanConstraintDefs Constraints;
    AdvFieldDefsToEngineDefs(Source, Fields, Indexes, Temporary, Constraints);
    GiveColumnIDs(Fields, Constraints);
    TTolvanAdvFieldDefs Back;
    EngineFieldDefsToAdvFieldDefs(Fields, Fields, Constraints, Back);

    ASSERT_EQ(Back.Count(), TolvanFieldTypeCount);
    for (int32_t I = 0; I < Back.Count(); ++I) {
      const TTolvanAdvFieldDef& S = Source.Items(I);
      const TTolvanAdvFieldDef& B = Back.Items(I);
      SCOPED_TRACE(S.Name());
      EXPECT_EQ(B.Name(), S.Name());
      EXPECT_EQ(B.FieldType(), S.FieldType());
      EXPECT_EQ(B.Size(), S.Size());
      EXPECT_EQ(B.DefaultValue().GetAsInteger(), S.DefaultValue().GetAsInteger());
      EXPECT_EQ(B.AutoincIncrement(), S.AutoincIncrement());
      EXPECT_EQ(B.AutoincInitialValue(), S.AutoincInitialValue());
      EXPECT_EQ(B.AutoincMinValue(), S.AutoincMinValue());
      EXPECT_EQ(B.AutoincMaxValue(), S.AutoincMaxValue());
      EXPECT_EQ(B.AutoincCycled(), S.AutoincCycled());
      EXPECT_EQ(B.BlobCompressionAlgorithm(),
                S.BlobCompressionAlgorithm() == 4 ? 0 : S.BlobCompressionAlgorithm());
      EXPECT_EQ(B.BlobCompressionLevel(), S.BlobCompressionLevel());
      EXPECT_EQ(B.BlobBlockSize(), S.BlobBlockSize());
      // A temporary table keeps no required flag and no limits.
      EXPECT_EQ(B.Required(), !Temporary && S.Required());
      EXPECT_EQ(B.MinValue().IsNull(), Temporary || S.MinValue().IsNull());
      EXPECT_EQ(B.MaxValue().IsNull(), Temporary || S.MaxValue().IsNull());
      if (!Temporary && !S.MinValue().IsNull()) {
        EXPECT_EQ(B.MinValue().GetAsInteger(), S.MinValue().GetAsInteger());
      }
      if (!Temporary && !S.MaxValue().IsNull()) {
        EXPECT_EQ(B.MaxValue().GetAsInteger(), S.MaxValue().GetAsInteger());
      }
    }
  }
}

TEST(TolvanFieldConversions, AdvFieldDefsToEngineDefsConstraints) {
  TTolvanAdvFieldDefs Adv;
  Adv.Add("Id", tftInteger, 0, true);
  Adv.Add("Code", tftVarchar, 10, false).MaxValue().SetAsString("zz");
  Adv.Add("Qty", tftInteger, 0, true).MinValue().SetAsInteger(0);
  TTolvanIndexDefs Indexes;
  const struct {
    const char* Name;
    uint8_t Primary, Unique;
    const char* Column;
  } IndexCases[] = {{"pk", 1, 1, "Id"}, {"ux", 0, 1, "Code"}, {"plain", 0, 0, "Qty"}};
  for (const auto& C : IndexCases) {
    TTolvanIndexDef& Def = Indexes.AddNew();
    Def.SetName(C.Name);
    Def.SetObjectID(7);
    Def.SetPrimary(C.Primary);
    Def.SetUnique(C.Unique);
    Def.SetColumnCount(1);
    Def.Columns(0).SetName(C.Column);
  }

  TTolvanFieldDefs Fields;
  TTolvanConstraintDefs Constraints;
  Constraints.AddNotNull();
  AdvFieldDefsToEngineDefs(Adv, Fields, Indexes, false, Constraints);
  ASSERT_EQ(Fields.Count(), 3);
  EXPECT_EQ(Fields.Items(1).BaseType(), tvtString);
  // In order: per column its NOT NULL, then its check; then one per primary or unique index.
  const struct {
    TTolvanConstraintType Type;
    const char* Name;
  } Expected[] = {{tctNotNull, ""}, {tctCheck, ""},        {tctNotNull, ""},
                  {tctCheck, ""},   {tctPrimaryKey, "pk"}, {tctUnique, "ux"}};
  ASSERT_EQ(Constraints.Count(), int32_t(std::size(Expected)));
  for (int32_t I = 0; I < Constraints.Count(); ++I) {
    EXPECT_EQ(Constraints.Items(I).ConstraintType(), Expected[I].Type) << I;
    EXPECT_EQ(Constraints.Items(I).Name(), Expected[I].Name) << I;
  }
  const auto& Check = static_cast<const TTolvanConstraintDefCheck&>(Constraints.Items(1));
  EXPECT_EQ(Check.Column().Name(), "Code");
  EXPECT_TRUE(Check.CheckMinValue().IsNull());
  EXPECT_EQ(Check.CheckMaxValue().GetAsString(), "zz");
  const auto& Primary = static_cast<const TTolvanConstraintDefPrimary&>(Constraints.Items(4));
  EXPECT_EQ(Primary.Index(), TTolvanObjectRef("pk", 7));
  ASSERT_EQ(Primary.Columns().size(), 1u);
  EXPECT_EQ(Primary.Columns()[0].Name(), "Id");

  AdvFieldDefsToEngineDefs(Adv, Fields, Indexes, true, Constraints);
  EXPECT_EQ(Fields.Count(), 3);
  EXPECT_EQ(Constraints.Count(), 0);

  // A column type without a storage type.
  Adv.Add("Bad", tftNone, 0, false);
  EXPECT_EQ(
      NativeCodeOf([&] { AdvFieldDefsToEngineDefs(Adv, Fields, Indexes, false, Constraints); }),
      30007);
}

TEST(TolvanFieldConversions, EngineDefsToFrameworkAndExtendedWithProjection) {
  // The table has A, B, C; the cursor shows C (as "Cee") and A.
  TTolvanFieldDefs Full;
  const char* Columns[] = {"A", "B", "C"};
  for (int32_t I = 0; I < 3; ++I) {
    TTolvanFieldDef& F = Full.AddNew();
    F.SetName(Columns[I]);
    F.SetType(tftInteger, 0);
    F.SetObjectID(10 + I);
  }
  TTolvanFieldDefs Visible;
  Visible.AddNew().Assign(Full.Items(2));
  Visible.Items(0).SetName("Cee");
  Visible.AddNew().Assign(Full.Items(0));

  TTolvanConstraintDefs Constraints;
  Constraints.AddNotNull().Column() = TTolvanObjectRef("C", 12);
  Constraints.AddNotNull().Column() = TTolvanObjectRef("B", 11); // column not shown
  TTolvanConstraintDefCheck& OnA = Constraints.AddCheck();
  OnA.Column() = TTolvanObjectRef("A", 10);
  OnA.CheckMinValue().SetAsInteger(1);
  OnA.CheckMaxValue().SetAsInteger(9);
  Constraints.AddCheck().Column() = TTolvanObjectRef("B", 11); // column not shown
  Constraints.AddPrimary();
  Constraints.AddUnique();
  Constraints.AddForeignKey();
  Constraints.AddForeignKeyAction();

  TTolvanAdvFieldDefs Adv;
  EngineFieldDefsToAdvFieldDefs(Visible, Full, Constraints, Adv);
  ASSERT_EQ(Adv.Count(), 2);
  EXPECT_EQ(Adv.Items(0).Name(), "Cee");
  EXPECT_TRUE(Adv.Items(0).Required());
  EXPECT_TRUE(Adv.Items(0).MinValue().IsNull());
  EXPECT_FALSE(Adv.Items(1).Required());
  EXPECT_EQ(Adv.Items(1).MinValue().GetAsInteger(), 1);
  EXPECT_EQ(Adv.Items(1).MaxValue().GetAsInteger(), 9);

  TFieldDefs Defs(nullptr);
  EngineFieldDefsToFieldDefs(Visible, Constraints, Defs);
  ASSERT_EQ(Defs.Count(), 2);
  EXPECT_EQ(Defs.Items(0).Name(), "Cee");
  EXPECT_EQ(Defs.Items(0).DataType(), ftInteger);
  EXPECT_TRUE(Defs.Items(0).Required());
  EXPECT_FALSE(Defs.Items(1).Required());
}

TEST(TolvanFieldConversions, EngineFieldDefsToAdvFieldDefsErrors) {
  TTolvanFieldDefs Fields;
  Fields.AddNew().SetName("A");
  Fields.Items(0).SetType(tftInteger, 0);
  Fields.Items(0).SetObjectID(5);

  const std::function<void(TTolvanConstraintDefs&)> Cases[] = {
      [](TTolvanConstraintDefs& C) { C.AddNotNull().Column() = TTolvanObjectRef("X", 77); },
      [](TTolvanConstraintDefs& C) { C.AddCheck().Column() = TTolvanObjectRef("X", 78); },
      [](TTolvanConstraintDefs& C) { C.Add(std::make_unique<TOddConstraint>()); },
  };
  const TRaised Expected[] = {{30032, Text(30032, "Field #77 not found")},
                              {30031, Text(30031, "Field #78 not found")},
                              {30039, Text(30039, "Not implemented yet")}};
  for (size_t I = 0; I < std::size(Cases); ++I) {
    TTolvanConstraintDefs Constraints;
    Cases[I](Constraints);
    TTolvanAdvFieldDefs Adv;
    const TRaised R =
        RaisedBy([&] { EngineFieldDefsToAdvFieldDefs(Fields, Fields, Constraints, Adv); });
    EXPECT_EQ(R.Code, Expected[I].Code) << I;
    EXPECT_EQ(R.Message, Expected[I].Message) << I;
  }
}

// --- index conversions ---------------------------------------------------------------------------

TEST(TolvanIndexConversions, IndexDefToEngineIndexDefCases) {
  TFieldDefs Defs(nullptr);
  Defs.Add("A", ftInteger);
  Defs.Add("B", ftString, 10);
  TTolvanAdvFieldDefs Adv;
  Adv.Add("C", tftInteger, 0, false); // known only to the extended definitions

  const struct {
    const char* Fields;
    TIndexOptions Options;
    const char* Desc;
    const char* CaseIns;
    const char* Columns; // name, then D/- and I/- per column
  } Cases[] = {
      {"A;B", 0, "", "", "A-- B--"},
      {"a, b;C", ixDescending, "", "", "aD- bD- CD-"},
      {"A;B", ixDescending, "b", "", "A-- BD-"},
      {"A;B", ixCaseInsensitive, "", "", "A-I B-I"},
      {"A;B", ixCaseInsensitive | ixDescending, "A", "B", "AD- B-I"},
      {"B", 0, "B", "B", "BDI"},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Fields);
    TTolvanIndexDef Def;
    IndexDefToEngineIndexDef(Def, "ix", C.Fields, C.Options, C.Desc, C.CaseIns, &Defs, &Adv);
    std::string Got;
    for (int32_t I = 0; I < Def.ColumnCount(); ++I) {
      if (I)
        Got += ' ';
      Got += Def.Columns(I).Name();
      Got += Def.Columns(I).Descending() ? 'D' : '-';
      Got += Def.Columns(I).CaseInsensitive() ? 'I' : '-';
    }
    EXPECT_EQ(Got, C.Columns);
    EXPECT_EQ(Def.Name(), "ix");
    EXPECT_EQ(Def.IndexKind(), 0);
  }

  const struct {
    TIndexOptions Options;
    uint8_t Primary, Unique;
  } Flags[] = {{0, 0, 0}, {ixUnique, 0, 1}, {ixPrimary, 1, 0}, {ixPrimary | ixUnique, 1, 1}};
  for (const auto& F : Flags) {
    TTolvanIndexDef Def;
    IndexDefToEngineIndexDef(Def, "ix", "A", F.Options, "", "", &Defs, nullptr);
    EXPECT_EQ(Def.Primary(), F.Primary);
    EXPECT_EQ(Def.Unique(), F.Unique);
  }

  // A name longer than a short string is cut.
  TTolvanIndexDef Long;
  IndexDefToEngineIndexDef(Long, std::string(300, 'n'), "A", 0, "", "", &Defs, nullptr);
  EXPECT_EQ(Long.Name(), std::string(255, 'n'));
}

TEST(TolvanIndexConversions, IndexDefToEngineIndexDefErrors) {
  TFieldDefs Defs(nullptr);
  Defs.Add("A", ftInteger);
  TTolvanAdvFieldDefs Adv;
  Adv.Add("C", tftInteger, 0, false);
  const struct {
    const char* Name;
    const char* Fields;
    bool WithAdv;
    int32_t Code;
    const char* Message;
  } Cases[] = {
      {"", "A", true, 20048, "Invalid index name ''"},
      {"ix", "", true, 20049, "Cannot find index field ''"},
      {"ix", " ; ", true, 20049, "Cannot find index field ' ; '"},
      {"ix", "A;Z", true, 20050, "Cannot find index field 'Z'"},
      {"ix", "A;C", false, 20050, "Cannot find index field 'C'"},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Fields);
    TTolvanIndexDef Def;
    Def.SetName("kept");
    Def.SetColumnCount(1);
    const TRaised R = RaisedBy([&] {
      IndexDefToEngineIndexDef(Def, C.Name, C.Fields, ixUnique, "", "", &Defs,
                               C.WithAdv ? &Adv : nullptr);
    });
    EXPECT_EQ(R.Code, C.Code);
    EXPECT_EQ(R.Message, Text(C.Code, C.Message));
    // A refused definition is left as it was.
    EXPECT_EQ(Def.Name(), "kept");
    EXPECT_EQ(Def.ColumnCount(), 1);
    EXPECT_EQ(Def.Unique(), 0);
  }
  TTolvanIndexDef Def;
  EXPECT_EQ(
      NativeCodeOf([&] { IndexDefToEngineIndexDef(Def, "ix", "A", 0, "", "", nullptr, nullptr); }),
      20050);
}

TEST(TolvanIndexConversions, EngineIndexDefsRoundTripThroughIndexDefs) {
  TTolvanIndexDefs Engine;
  const struct {
    const char* Name;
    uint8_t Primary, Unique;
    std::vector<std::tuple<const char*, uint8_t, uint8_t>> Columns;
    const char *Fields, *Desc, *CaseIns;
    TIndexOptions Options;
  } Cases[] = {
      {"pk", 1, 1, {{"Id", 0, 0}}, "Id", "", "", ixPrimary | ixUnique},
      {"ux", 0, 1, {{"Code", 1, 1}, {"Id", 0, 0}}, "Code;Id", "Code", "Code", ixUnique},
      {"byName",
       0,
       0,
       {{"Name", 1, 1}, {"Code", 0, 1}, {"Id", 1, 0}},
       "Name;Code;Id",
       "Name;Id",
       "Name;Code",
       0},
  };
  for (const auto& C : Cases) {
    TTolvanIndexDef& Def = Engine.AddNew();
    Def.SetName(C.Name);
    Def.SetPrimary(C.Primary);
    Def.SetUnique(C.Unique);
    Def.SetColumnCount(int32_t(C.Columns.size()));
    for (size_t I = 0; I < C.Columns.size(); ++I) {
      Def.Columns(int32_t(I)).SetName(std::get<0>(C.Columns[I]));
      Def.Columns(int32_t(I)).SetDescending(std::get<1>(C.Columns[I]));
      Def.Columns(int32_t(I)).SetCaseInsensitive(std::get<2>(C.Columns[I]));
    }
  }

  TIndexDefs Framework(nullptr);
  Framework.Add("stale", "Id", 0);
  EngineIndexDefsToIndexDefs(Engine, Framework);
  ASSERT_EQ(Framework.Count(), int32_t(std::size(Cases)));
  for (int32_t I = 0; I < Framework.Count(); ++I) {
    const TIndexDef& D = Framework.Items(I);
    SCOPED_TRACE(D.Name());
    EXPECT_EQ(D.Name(), Cases[I].Name);
    EXPECT_EQ(D.Fields(), Cases[I].Fields);
    EXPECT_EQ(D.DescFields(), Cases[I].Desc);
    EXPECT_EQ(D.CaseInsFields(), Cases[I].CaseIns);
    EXPECT_EQ(D.Options(), Cases[I].Options);
  }

  TFieldDefs Fields(nullptr);
  for (const char* Name : {"Id", "Code", "Name"})
    Fields.Add(Name, ftInteger);
  TTolvanIndexDefs Back;
  Back.AddNew().SetName("stale");
  IndexDefsToEngineIndexDefs(Framework, Back, &Fields, nullptr);
  ASSERT_EQ(Back.Count(), Engine.Count());
  for (int32_t I = 0; I < Back.Count(); ++I) {
    const TTolvanIndexDef& A = Engine.Items(I);
    const TTolvanIndexDef& B = Back.Items(I);
    SCOPED_TRACE(A.Name());
    EXPECT_EQ(B.Name(), A.Name());
    EXPECT_EQ(B.Primary(), A.Primary());
    EXPECT_EQ(B.Unique(), A.Unique());
    ASSERT_EQ(B.ColumnCount(), A.ColumnCount());
    for (int32_t C = 0; C < A.ColumnCount(); ++C)
      EXPECT_EQ(B.Columns(C), A.Columns(C)) << C;
  }
}

// --- foreign keys --------------------------------------------------------------------------------

TEST(TolvanForeignKeyConversions, ToConstraintsAndBack) {
  TTolvanForeignKeyDefs Defs;
  const struct {
    const char* Name;
    const char* Fields;
    std::vector<std::string> Columns;
  } Cases[] = {
      {"byComma", "A, B", {"A", "B"}}, {"bySemicolon", "A;B", {"A", "B"}}, {"one", " C ", {"C"}}};
  for (const auto& C : Cases) {
    TTolvanForeignKeyDef& Def = Defs.Add();
    Def.SetName(C.Name);
    Def.SetReferenceTableName("Parent");
    Def.SetFieldList(C.Fields);
    Def.SetMatchType(2);
    Def.SetDeleteAction(tfaSetDefault);
    Def.SetUpdateAction(tfaNoAction);
  }

  TTolvanConstraintDefs Constraints;
  Constraints.AddNotNull();
  ForeignKeyDefsToConstraints(Defs, Constraints);
  ASSERT_EQ(Constraints.Count(), 4);
  EXPECT_TRUE(Constraints.HasForeignKeys());
  for (int32_t I = 0; I < 3; ++I) {
    const auto& Key = static_cast<const TTolvanConstraintDefForeignKey&>(Constraints.Items(I + 1));
    SCOPED_TRACE(Key.Name());
    EXPECT_EQ(Key.ConstraintType(), tctForeignKey);
    EXPECT_EQ(Key.Name(), Cases[I].Name);
    EXPECT_EQ(Key.ObjectID(), -1);
    EXPECT_EQ(Key.Table(), TTolvanObjectRef("Parent", -1));
    EXPECT_EQ(Key.MatchType(), 2);
    EXPECT_EQ(Key.OnDelete(), tfaSetDefault);
    EXPECT_EQ(Key.OnUpdate(), tfaNoAction);
    std::vector<std::string> Got;
    for (const TTolvanObjectRef& Column : Key.Columns()) {
      Got.push_back(Column.Name());
      EXPECT_EQ(Column.ObjectID(), -1);
    }
    EXPECT_EQ(Got, Cases[I].Columns);
  }

  TTolvanForeignKeyDefs Back;
  Back.Add();
  ConstraintsToForeignKeyDefs(Constraints, Back);
  ASSERT_EQ(Back.Count(), 3);
  EXPECT_EQ(Back.Items(0)->FieldList(), "A;B");
  EXPECT_EQ(Back.Items(1)->FieldList(), "A;B");
  EXPECT_EQ(Back.Items(2)->FieldList(), "C");
  for (int32_t I = 0; I < 3; ++I) {
    EXPECT_EQ(Back.Items(I)->Name(), Cases[I].Name);
    EXPECT_EQ(Back.Items(I)->ReferenceTableName(), "Parent");
    EXPECT_EQ(Back.Items(I)->MatchType(), 2);
    EXPECT_EQ(Back.Items(I)->DeleteAction(), tfaSetDefault);
    EXPECT_EQ(Back.Items(I)->UpdateAction(), tfaNoAction);
  }

  Back.Items(1)->SetReferenceTableName("Other");
  RenameForeignKeyReferences("PARENT", "Renamed", Back);
  EXPECT_EQ(Back.Items(0)->ReferenceTableName(), "Renamed");
  EXPECT_EQ(Back.Items(1)->ReferenceTableName(), "Other");
  EXPECT_EQ(Back.Items(2)->ReferenceTableName(), "Renamed");
}

TEST(TolvanForeignKeyConversions, NoColumnsAndLongNames) {
  TTolvanForeignKeyDefs Defs;
  TTolvanForeignKeyDef& Good = Defs.Add();
  Good.SetName(std::string(300, 'k'));
  Good.SetReferenceTableName(std::string(260, 't'));
  Good.SetFieldList("A");
  TTolvanConstraintDefForeignKey Key;
  ForeignKeyDefToConstraint(Good, Key);
  EXPECT_EQ(Key.Name(), std::string(255, 'k'));
  EXPECT_EQ(Key.Table().Name(), std::string(255, 't'));

  TTolvanForeignKeyDef& Empty = Defs.Add();
  Empty.SetName("fk");
  Empty.SetReferenceTableName("Parent");
  Empty.SetFieldList(" ,; ");
  const TRaised R = RaisedBy([&] { ForeignKeyDefToConstraint(Empty, Key); });
  EXPECT_EQ(R.Code, 11418);
  EXPECT_EQ(R.Message, Text(11418, "Error - no columns specified in foreign key definition, key "
                                   "name = fk, reference table name = Parent"));
  EXPECT_EQ(Key.Columns().size(), 1u); // the refused definition changed nothing

  // One refused definition appends none of the list.
  TTolvanConstraintDefs Constraints;
  EXPECT_EQ(NativeCodeOf([&] { ForeignKeyDefsToConstraints(Defs, Constraints); }), 11418);
  EXPECT_EQ(Constraints.Count(), 0);
}

// --- through the engine --------------------------------------------------------------------------

namespace {

std::unique_ptr<TTolvanLocalCursor> CursorOn(TTolvanDatabase& Database, std::string_view Table) {
  auto Cursor = std::make_unique<TTolvanLocalCursor>();
  Cursor->SetSession(Database.EngineSession());
  Cursor->SetTableName(Table);
  Cursor->SetInMemory(true);
  return Cursor;
}

class TolvanDefsEngine : public ComponentTest {};

} // namespace

// The engine is the reference: a table made from the converted definitions reads back as the
// definitions it was made from.
TEST_F(TolvanDefsEngine, DefinitionsSurviveATableMadeThroughTheEngine) {
  TTolvanAdvFieldDefs Adv;
  TTolvanAdvFieldDef& Id = Adv.Add("Id", tftAutoInc, 0, true);
  Id.SetAutoincIncrement(5);
  Id.SetAutoincInitialValue(100);
  Id.SetAutoincMaxValue(100000);
  Id.SetAutoincCycled(true);
  TTolvanAdvFieldDef& Code = Adv.Add("Code", tftVarchar, 12, true);
  Code.DefaultValue().SetAsString("none");
  TTolvanAdvFieldDef& Qty = Adv.Add("Qty", tftInteger, 0, false);
  Qty.MinValue().SetAsInteger(0);
  Qty.MaxValue().SetAsInteger(99);
  TTolvanAdvFieldDef& Data = Adv.Add("Data", tftBLOB, 0, false);
  Data.SetBlobCompressionAlgorithm(1);
  Data.SetBlobCompressionLevel(6);
  Data.SetBlobBlockSize(8192);

  TIndexDefs Indexes(nullptr);
  Indexes.Add("pk", "Id", ixPrimary | ixUnique);
  Indexes.Add("byCode", "Code", ixUnique | ixDescending | ixCaseInsensitive);
  Indexes.Add("byQtyCode", "Qty;Code", 0).SetDescFields("Qty");

  TTolvanFieldDefs EngineFields;
  TTolvanIndexDefs EngineIndexes;
  TTolvanConstraintDefs Constraints;
  IndexDefsToEngineIndexDefs(Indexes, EngineIndexes, nullptr, &Adv);
  AdvFieldDefsToEngineDefs(Adv, EngineFields, EngineIndexes, false, Constraints);

  auto Database = Own(TTolvanDatabase::Create(nullptr));
  Database->Open();
  CursorOn(*Database, "Defs")->CreateTable(EngineFields, EngineIndexes, Constraints);
  auto Cursor = CursorOn(*Database, "Defs");
  Cursor->OpenTable(nullptr, nullptr, nullptr);

  TTolvanAdvFieldDefs Back;
  EngineFieldDefsToAdvFieldDefs(Cursor->VisibleFieldDefs(), Cursor->FieldDefs(),
                                Cursor->ConstraintDefs(), Back);
  ASSERT_EQ(Back.Count(), 4);
  for (int32_t I = 0; I < 4; ++I) {
    SCOPED_TRACE(I);
    EXPECT_EQ(Back.Items(I).Name(), Adv.Items(I).Name());
    EXPECT_EQ(Back.Items(I).FieldType(), Adv.Items(I).FieldType());
    EXPECT_EQ(Back.Items(I).Size(), Adv.Items(I).Size());
    EXPECT_EQ(Back.Items(I).Required(), Adv.Items(I).Required());
  }
  EXPECT_EQ(Back.Items(0).AutoincIncrement(), 5);
  EXPECT_EQ(Back.Items(0).AutoincInitialValue(), 100);
  EXPECT_EQ(Back.Items(0).AutoincMaxValue(), 100000);
  EXPECT_TRUE(Back.Items(0).AutoincCycled());
  EXPECT_EQ(Back.Items(1).DefaultValue().GetAsString(), "none");
  EXPECT_EQ(Back.Items(2).MinValue().GetAsInteger(), 0);
  EXPECT_EQ(Back.Items(2).MaxValue().GetAsInteger(), 99);
  EXPECT_TRUE(Back.Items(1).MinValue().IsNull());
  EXPECT_EQ(Back.Items(3).BlobCompressionAlgorithm(), 1);
  EXPECT_EQ(Back.Items(3).BlobCompressionLevel(), 6);
  EXPECT_EQ(Back.Items(3).BlobBlockSize(), 8192);

  TFieldDefs Fields(nullptr);
  EngineFieldDefsToFieldDefs(Cursor->VisibleFieldDefs(), Cursor->ConstraintDefs(), Fields);
  ASSERT_EQ(Fields.Count(), 4);
  EXPECT_TRUE(Fields.Items(0).Required());
  EXPECT_EQ(Fields.Items(1).DataType(), ftString);
  EXPECT_EQ(Fields.Items(1).Size(), 12);
  EXPECT_FALSE(Fields.Items(2).Required());

  TIndexDefs IndexesBack(nullptr);
  EngineIndexDefsToIndexDefs(Cursor->GetIndexDefs(), IndexesBack);
  ASSERT_EQ(IndexesBack.Count(), 3);
  const struct {
    const char *Name, *Fields, *Desc, *CaseIns;
    TIndexOptions Options;
  } Expected[] = {{"pk", "Id", "", "", ixPrimary | ixUnique},
                  {"byCode", "Code", "Code", "Code", ixUnique},
                  {"byQtyCode", "Qty;Code", "Qty", "", 0}};
  for (const auto& E : Expected) {
    SCOPED_TRACE(E.Name);
    const TIndexDef& D = IndexesBack.Find(E.Name);
    EXPECT_EQ(D.Fields(), E.Fields);
    EXPECT_EQ(D.DescFields(), E.Desc);
    EXPECT_EQ(D.CaseInsFields(), E.CaseIns);
    EXPECT_EQ(D.Options(), E.Options);
  }

  TTolvanForeignKeyDefs Keys;
  ConstraintsToForeignKeyDefs(Cursor->ConstraintDefs(), Keys);
  EXPECT_EQ(Keys.Count(), 0);
  Cursor->CloseTable();
}
