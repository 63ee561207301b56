#include "schema/TolvanMetaObjectDefs.h"
#include "tests/schema/SchemaTestSupport.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "foundation/TolvanExcept.h"

using namespace tolvan;
using namespace tolvan::test;

namespace {

TTolvanFieldDef& AddField(TTolvanFieldDefs& Defs, std::string_view Name, TTolvanFieldType Type,
                          int32_t Size = 0) {
  TTolvanFieldDef& F = Defs.AddNew();
  F.SetName(Name);
  F.SetType(Type, Size);
  return F;
}

TTolvanIndexDef& AddIndex(TTolvanIndexDefs& Defs, int32_t Id,
                          std::initializer_list<TTolvanIndexColumn> Columns) {
  TTolvanIndexDef& I = Defs.AddNew();
  I.SetName("I" + std::to_string(Id));
  I.SetObjectID(Id);
  I.SetColumnCount(int32_t(Columns.size()));
  int32_t K = 0;
  for (const TTolvanIndexColumn& C : Columns)
    I.Columns(K++) = C;
  return I;
}

TTolvanIndexColumn Column(std::string_view Name, uint8_t Descending = 0,
                          uint8_t CaseInsensitive = 0) {
  TTolvanIndexColumn C;
  C.SetName(Name);
  C.SetDescending(Descending);
  C.SetCaseInsensitive(CaseInsensitive);
  return C;
}

TStringList List(std::initializer_list<std::string_view> Items) {
  TStringList L;
  for (std::string_view S : Items)
    L.Add(S);
  return L;
}

// --- the collection base ------------------------------------------------------------------------

TEST(MetaObjectDefs, PositionsOrderAndOwnership) {
  TTolvanSequenceDefs Defs;
  for (const char* Name : {"A", "B", "C", "D"}) {
    TTolvanSequenceDef& S = Defs.AddNew();
    S.SetName(Name);
    S.SetObjectID(Name[0]);
  }
  const auto Names = [&] {
    std::string S;
    for (int32_t I = 0; I < Defs.Count(); ++I)
      S += Defs.Items(I).Name();
    return S;
  };
  Defs.Move(0, 2);
  EXPECT_EQ(Names(), "BCAD");
  Defs.Move(3, 0);
  EXPECT_EQ(Names(), "DBCA");
  Defs.Delete(1);
  EXPECT_EQ(Names(), "DCA");
  auto E = std::make_unique<TTolvanSequenceDef>();
  E->SetName("E");
  Defs.Insert(3, std::move(E));
  auto F = std::make_unique<TTolvanSequenceDef>();
  F->SetName("F");
  Defs.SetItem(0, std::move(F));
  EXPECT_EQ(Names(), "FCAE");
  EXPECT_EQ(Defs.IndexOfID('A'), 2);
  EXPECT_EQ(Defs.FindByID('Z'), nullptr);

  for (const auto& Bad : std::vector<std::function<void()>>{
           [&] { Defs.Items(4); }, [&] { Defs.Items(-1); }, [&] { Defs.Delete(4); },
           [&] { Defs.Move(0, 4); },
           [&] { Defs.Insert(5, std::make_unique<TTolvanSequenceDef>()); },
           [&] { Defs.SetItem(4, std::make_unique<TTolvanSequenceDef>()); }}) {
    try {
      Bad();
      ADD_FAILURE() << "no EListError";
    } catch (const EListError& Err) {
      EXPECT_EQ(std::string(Err.what()).rfind("List index out of bounds (", 0), 0u);
    }
  }
  EXPECT_EQ(Names(), "FCAE");
  Defs.Clear();
  EXPECT_EQ(Defs.Count(), 0);
}

TEST(MetaObjectDefs, CollectionsHoldOnlyTheirKind) {
  TTolvanFieldDefs Fields;
  TTolvanIndexDefs Indexes;
  TTolvanConstraintDefs Constraints;
  EXPECT_THROW(Fields.Add(std::make_unique<TTolvanIndexDef>()), EInvalidCast);
  EXPECT_THROW(Indexes.Insert(0, std::make_unique<TTolvanFieldDef>()), EInvalidCast);
  EXPECT_THROW(Constraints.Add(std::make_unique<TTolvanSequenceDef>()), EInvalidCast);
  EXPECT_THROW(Fields.Add(nullptr), EInvalidCast);
  EXPECT_EQ(Fields.Count() + Indexes.Count() + Constraints.Count(), 0);
  Fields.AddNew();
  EXPECT_THROW(Fields.SetItem(0, std::make_unique<TTolvanMetaObjectDef>()), EInvalidCast);

  TTolvanMetaObjectDefs Any;
  Any.Add(std::make_unique<TTolvanIndexDef>());
  Any.Add(std::make_unique<TTolvanFieldDef>());
  EXPECT_EQ(Any.Count(), 2);
  const ETolvanException E = Raised([&] { Any.AddNew(); });
  EXPECT_EQ(E.NativeError(), 30339);
  EXPECT_EQ(E.Message(), "The method 'InternalAddCreated' not overrided in class "
                         "'TTolvanMetaObjectDefs' - Native error: 30339");
  EXPECT_EQ(NativeCodeOf([&] { TTolvanConstraintDefs().AddNew(); }), 30339);
}

TEST(MetaObjectDefs, LookupsIgnoreCaseOverWindows1252) {
  TTolvanFieldDefs Defs;
  AddField(Defs, "ID", tftInteger).SetObjectID(10);
  AddField(Defs, "NAME", tftVarchar, 20).SetObjectID(11);
  AddField(Defs, "\xE9t\xE9", tftInteger).SetObjectID(12); // "été"
  AddField(Defs, "name", tftInteger).SetObjectID(13);
  EXPECT_EQ(Defs.IndexOfName("name"), 1);
  EXPECT_EQ(Defs.IndexOfName("\xC9T\xC9"), 2); // "ÉTÉ"
  EXPECT_EQ(Defs.IndexOfName("NAM"), -1);
  EXPECT_EQ(Defs.IndexOfName(""), -1);
  ASSERT_NE(Defs.FindByName("Id"), nullptr);
  EXPECT_EQ(Defs.FindByName("Id")->ObjectID(), 10);
  EXPECT_EQ(Defs.FindByName("x"), nullptr);
  EXPECT_EQ(Defs.IndexOfID(13), 3);
  EXPECT_EQ(Defs.FindByID(11), &Defs.Items(1));
}

TEST(MetaObjectDefs, AssignStopsAtTheFirstDuplicateName) {
  TTolvanFieldDefs Source;
  AddField(Source, "A", tftInteger);
  AddField(Source, "B", tftChar, 4);
  AddField(Source, "a", tftInteger);
  AddField(Source, "C", tftInteger);
  TTolvanFieldDefs Target;
  AddField(Target, "OLD", tftInteger);
  const ETolvanException E = Raised([&] { Target.Assign(Source); });
  EXPECT_EQ(E.NativeError(), 10424);
  EXPECT_EQ(E.Message(), "Duplicate field name a - Native error: 10424");
  ASSERT_EQ(Target.Count(), 2);
  ExpectSameDef(Source.Items(0), Target.Items(0));
  ExpectSameDef(Source.Items(1), Target.Items(1));

  // The same holds for indexes; a clean source is copied whole, and a collection assigned
  // itself stays as it is.
  TTolvanIndexDefs Indexes, Copy;
  AddIndex(Indexes, 1, {Column("A")});
  AddIndex(Indexes, 2, {Column("B"), Column("C", 1)});
  Copy.Assign(Indexes);
  ExpectSameDefs(Indexes, Copy);
  Copy.Assign(Copy);
  ExpectSameDefs(Indexes, Copy);
  Indexes.Items(1).SetName("i1");
  EXPECT_EQ(NativeCodeOf([&] { Copy.Assign(Indexes); }), 10424);
  EXPECT_EQ(Copy.Count(), 1);

  // A source of another kind is refused, and no empty definition is left behind.
  EXPECT_THROW(Target.Assign(Indexes), EInvalidCast);
  EXPECT_EQ(Target.Count(), 0);
}

// --- record layout ------------------------------------------------------------------------------

TEST(FieldDefs, NullBitmapTakesOneBitPerColumn) {
  for (int32_t Columns : {0, 1, 8, 9, 16, 17}) {
    TTolvanFieldDefs Defs;
    for (int32_t I = 0; I < Columns; ++I)
      AddField(Defs, "F" + std::to_string(I), tftByte);
    Defs.CalcLayout();
    const int32_t Bitmap = (Columns + 7) / 8;
    EXPECT_EQ(Defs.NullBitmapSize(), Bitmap) << Columns;
    EXPECT_EQ(Defs.RecordBufferSize(), Bitmap + Columns) << Columns;
    EXPECT_EQ(Defs.StoredRecordSize(), Bitmap + Columns) << Columns;
    if (Columns > 0) {
      EXPECT_EQ(Defs.Items(0).BufferOffset(), Bitmap) << Columns;
    }
  }
}

TEST(FieldDefs, BufferAndStoredOffsets) {
  TTolvanFieldDefs Defs;
  AddField(Defs, "C", tftChar, 10);
  AddField(Defs, "V", tftVarchar, 10);
  AddField(Defs, "I", tftInteger);
  AddField(Defs, "W", tftWideVarchar, 20);
  AddField(Defs, "M", tftMemo);
  Defs.CalcLayout();
  const int32_t Buffer[] = {1, 12, 23, 27, 69};
  const int32_t Stored[] = {1, 12, 18, 22, 28};
  for (int32_t I = 0; I < Defs.Count(); ++I) {
    EXPECT_EQ(Defs.Items(I).BufferOffset(), Buffer[I]) << I;
    EXPECT_EQ(Defs.Items(I).StoredOffset(), Stored[I]) << I;
  }
  EXPECT_EQ(Defs.RecordBufferSize(), 77);
  EXPECT_EQ(Defs.StoredRecordSize(), 34);
}

TEST(FieldDefs, LayoutSumsBeyond32BitsOverflow) {
  TTolvanFieldDefs Defs;
  AddField(Defs, "A", tftBytes, INT32_MAX - 10);
  AddField(Defs, "B", tftBytes, 100);
  EXPECT_THROW(Defs.CalcLayout(), EIntOverflow);
}

TEST(FieldDefs, EachFlagIsSetByItsOwnKindOfColumn) {
  struct TCase {
    TTolvanFieldType Type;
    bool Default, External, Autoinc, HasDefault;
  };
  const TCase Cases[] = {
      {tftInteger, false, false, false, false},    {tftChar, false, false, false, false},
      {tftVarchar, false, true, false, false},     {tftWideVarchar, false, true, false, false},
      {tftBLOB, false, true, false, false},        {tftWideMemo, false, true, false, false},
      {tftAutoIncWord, false, false, true, false}, {tftAutoInc, false, false, true, false},
      {tftInteger, true, false, false, true},
  };
  for (const TCase& C : Cases) {
    TTolvanFieldDefs Defs;
    AddField(Defs, "K", tftBytes, 4);
    TTolvanFieldDef& F = AddField(Defs, "F", C.Type, 5);
    if (C.Default)
      F.DefaultValue().SetAsInteger(3);
    Defs.CalcLayout();
    EXPECT_EQ(Defs.HasExternalValues(), C.External) << int(C.Type);
    EXPECT_EQ(Defs.HasAutoincFields(), C.Autoinc) << int(C.Type);
    EXPECT_EQ(Defs.HasDefaults(), C.HasDefault) << int(C.Type);
    Defs.Delete(1);
    Defs.CalcLayout();
    EXPECT_FALSE(Defs.HasExternalValues() || Defs.HasAutoincFields() || Defs.HasDefaults());
  }
}

TEST(FieldDefs, LoadingDoesNotLayOutTheRecord) {
  TTolvanFieldDefs Defs;
  AddField(Defs, "A", tftInteger);
  AddField(Defs, "B", tftVarchar, 3);
  Defs.CalcLayout();
  TTolvanFieldDefs Back;
  LoadAll(Back, Saved(Defs));
  ExpectSameDefs(Defs, Back);
  EXPECT_EQ(Back.Items(1).BufferOffset(), 0);
  EXPECT_EQ(Back.Items(1).DataSize(), 4);
  EXPECT_FALSE(Back.HasExternalValues());
}

// --- indexes ------------------------------------------------------------------------------------

TEST(IndexDefs, FindPrimaryAndTypedLookups) {
  TTolvanIndexDefs Defs;
  EXPECT_EQ(Defs.FindPrimary(), nullptr);
  AddIndex(Defs, 1, {Column("A")});
  AddIndex(Defs, 2, {Column("B")}).SetPrimary(1);
  AddIndex(Defs, 3, {Column("C")}).SetPrimary(0xFF);
  ASSERT_NE(Defs.FindPrimary(), nullptr);
  EXPECT_EQ(Defs.FindPrimary()->ObjectID(), 2);
  EXPECT_EQ(Defs.FindByName("i3")->Columns(0).Name(), "C");
  auto Replacement = std::make_unique<TTolvanIndexDef>();
  Replacement->SetObjectID(9);
  Defs.SetItem(1, std::move(Replacement));
  EXPECT_EQ(Defs.FindPrimary()->ObjectID(), 3);
}

TEST(IndexDefs, FindIndexForFields) {
  TTolvanIndexDefs Defs;
  AddIndex(Defs, 1, {Column("X")});
  AddIndex(Defs, 2, {Column("A"), Column("B", 1, 1), Column("C")});
  AddIndex(Defs, 3, {Column("A"), Column("B", 0, 1)});
  AddIndex(Defs, 4, {Column("A"), Column("B", 0, 0)});

  struct TCase {
    TStringList Names, Orders, Modes;
    int32_t Want;
  };
  const TCase Cases[] = {
      {List({"a", "b"}), List({"ASC", ""}), List({"", ""}), 2}, // a prefix suffices
      {List({"A", "B"}), List({"", "ASC"}), List({"", ""}), 3},
      {List({"A", "B"}), List({"", "asc"}), List({"", ""}), 2}, // words are compared with case
      {List({"A", "B"}), List({"", "DESC"}), List({"", ""}), 2},
      {List({"A", "B"}), List({"", "ASC"}), List({"", "CASE"}), 4},
      {List({"A", "B"}), List({"", "ASC"}), List({"", "NO_CASE"}), 3},
      {List({"A", "B"}), List({"", "DESC"}), List({"", "CASE"}), -1},
      {List({"A", "B", "C", "D"}), List({"", "", "", ""}), List({"", "", "", ""}), -1},
      {List({"B"}), List({""}), List({""}), -1},
      {List({}), List({}), List({}), 1}, // no names: the first index
      {List({"A", "C"}), List({"", ""}), List({"", ""}), -1},
  };
  for (const TCase& C : Cases)
    EXPECT_EQ(Defs.FindIndexForFields(&C.Names, &C.Orders, &C.Modes), C.Want)
        << C.Names.Count() << " " << (C.Names.Count() > 1 ? C.Orders.Strings(1) : "") << " "
        << (C.Names.Count() > 1 ? C.Modes.Strings(1) : "");
  EXPECT_EQ(
      TTolvanIndexDefs().FindIndexForFields(&Cases[0].Names, &Cases[0].Orders, &Cases[0].Modes),
      -1);
}

TEST(IndexDefs, FindIndexForFieldsRefusesNilAndUnevenLists) {
  TTolvanIndexDefs Defs;
  const TStringList Two = List({"A", "B"}), One = List({"ASC"});
  struct TCase {
    const TStringList *Names, *Orders, *Modes;
    int32_t Code;
    const char* Message;
  };
  const TCase Cases[] = {
      {nullptr, &Two, &Two, 10389, "Nil pointer occured - Native error: 10389"},
      {&Two, nullptr, &Two, 10390, "Nil pointer occured - Native error: 10390"},
      {&Two, &Two, nullptr, 10391, "Nil pointer occured - Native error: 10391"},
      {&Two, &One, &Two, 10276,
       "Error - different lists length. L1 = 2, L2 = 1 - Native error: 10276"},
      {&Two, &Two, &One, 10277,
       "Error - different lists length. L1 = 2, L2 = 1 - Native error: 10277"},
  };
  for (const TCase& C : Cases) {
    const ETolvanException E = Raised([&] { Defs.FindIndexForFields(C.Names, C.Orders, C.Modes); });
    EXPECT_EQ(E.NativeError(), C.Code);
    EXPECT_EQ(E.Message(), C.Message);
  }
}

// --- constraints --------------------------------------------------------------------------------

TEST(ConstraintDefs, FlagsFollowAddDeleteAssignAndClear) {
  TTolvanConstraintDefs Defs;
  EXPECT_FALSE(Defs.HasForeignKeys() || Defs.HasActions());
  Defs.AddNotNull();
  Defs.AddForeignKey();
  EXPECT_TRUE(Defs.HasForeignKeys());
  EXPECT_FALSE(Defs.HasActions());
  Defs.AddForeignKey();
  Defs.AddForeignKeyAction();
  EXPECT_TRUE(Defs.HasActions());
  Defs.Delete(1);
  EXPECT_TRUE(Defs.HasForeignKeys());
  Defs.Delete(1);
  EXPECT_FALSE(Defs.HasForeignKeys()); // the last foreign key is gone
  EXPECT_TRUE(Defs.HasActions());

  TTolvanConstraintDefs Copy;
  Copy.AddForeignKey();
  Copy.Assign(Defs);
  EXPECT_FALSE(Copy.HasForeignKeys());
  EXPECT_TRUE(Copy.HasActions());
  ExpectSameDefs(Defs, Copy);

  // Adding through the base or replacing keeps the flags right too.
  Copy.Add(std::make_unique<TTolvanConstraintDefForeignKey>());
  EXPECT_TRUE(Copy.HasForeignKeys());
  Copy.SetItem(2, std::make_unique<TTolvanConstraintDefCheck>());
  EXPECT_FALSE(Copy.HasForeignKeys());
  Copy.Clear();
  EXPECT_FALSE(Copy.HasForeignKeys() || Copy.HasActions());
}

TEST(ConstraintDefs, UpdateAndDeleteActions) {
  TTolvanConstraintDefs Defs;
  TTolvanConstraintDefForeignKey& Key = Defs.AddForeignKey();
  Key.SetOnDelete(tfaCascade); // a foreign key's own actions do not count
  Key.SetOnUpdate(tfaCascade);
  EXPECT_FALSE(Defs.HasUpdateActions() || Defs.HasDeleteActions());
  TTolvanConstraintDefForeignKeyAction& Action = Defs.AddForeignKeyAction();
  EXPECT_TRUE(Defs.HasUpdateActions() && Defs.HasDeleteActions()); // restrict is an action
  Action.SetOnUpdate(tfaNoAction);
  Action.SetOnDelete(tfaNoAction);
  EXPECT_FALSE(Defs.HasUpdateActions() || Defs.HasDeleteActions());
  Defs.AddForeignKeyAction().SetOnDelete(tfaSetNull);
  EXPECT_TRUE(Defs.HasDeleteActions());
  Defs.Items(2).SetName("x");
  static_cast<TTolvanConstraintDefForeignKeyAction&>(Defs.Items(2)).SetOnUpdate(tfaNoAction);
  EXPECT_FALSE(Defs.HasUpdateActions());
}

// A constraint class the collection does not know.
class TOddConstraint : public TTolvanConstraintDef {
public:
  TOddConstraint() : TTolvanConstraintDef(TTolvanConstraintType(9)) {}
};

TEST(ConstraintDefs, UnknownTypes) {
  TTolvanConstraintDefs Defs;
  Defs.Add(std::make_unique<TOddConstraint>());
  TTolvanConstraintDefs Copy;
  const ETolvanException E = Raised([&] { Copy.Assign(Defs); });
  EXPECT_EQ(E.NativeError(), 30035);
  EXPECT_EQ(E.Message(), "Not implemented yet - Native error: 30035");

  for (uint8_t Type : {6, 255}) {
    TVectorStream S(TBytes{1, 0, 0, 0, Type, 0, 0, 0, 0, 0});
    const ETolvanException F = Raised([&] { Copy.LoadFromStream(S); });
    EXPECT_EQ(F.NativeError(), 30316);
    EXPECT_EQ(F.Message(),
              "Unknown Constraint Type: '" + std::to_string(Type) + "' - Native error: 30316");
  }
}

TEST(ConstraintDefs, BlockOfEveryClassRoundTrips) {
  TTolvanConstraintDefs Defs;
  Defs.AddPrimary().Index().SetName("PK");
  Defs.AddForeignKey().Table().SetName("T");
  Defs.AddUnique().Columns().emplace_back("ID", 3);
  Defs.AddNotNull().Column().SetName("ID");
  Defs.AddCheck().CheckMaxValue().SetAsInteger(9);
  Defs.AddForeignKeyAction().SetOnUpdate(tfaNoAction);
  const TBytes Form = Saved(Defs);
  TTolvanConstraintDefs Back;
  Back.AddNotNull();
  LoadAll(Back, Form);
  ExpectSameDefs(Defs, Back);
  EXPECT_TRUE(Back.HasForeignKeys() && Back.HasActions());
  EXPECT_EQ(ToHex(Saved(Back)), ToHex(Form));
  const uint8_t Types[] = {0, 1, 2, 3, 4, 5};
  for (int32_t I = 0; I < Back.Count(); ++I)
    EXPECT_EQ(Back.Items(I).ConstraintType(), Types[I]);
}

TEST(MetaObjectDefs, NegativeBlockCountsAreRefused) {
  TTolvanFieldDefs Fields;
  TTolvanIndexDefs Indexes;
  TTolvanConstraintDefs Constraints;
  for (TTolvanMetaObjectDefs* Defs :
       std::initializer_list<TTolvanMetaObjectDefs*>{&Fields, &Indexes, &Constraints}) {
    TVectorStream S(Hex("FF FF FF FF 00 00 00 00"));
    EXPECT_EQ(NativeCodeOf([&] { Defs->LoadFromStream(S); }), 10159) << Defs->ClassName();
    EXPECT_EQ(Defs->PendingCount(), 0);
  }
  // A count larger than the block fails at the first missing definition.
  TVectorStream S(Hex("FF FF FF 7F"));
  EXPECT_EQ(NativeCodeOf([&] { Fields.LoadFromStream(S); }), 10166);
  EXPECT_EQ(Fields.Count(), 0);
}

} // namespace
