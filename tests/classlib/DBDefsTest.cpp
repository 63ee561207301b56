#include "classlib/DBDefs.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "StandInDataSet.h"
#include "classlib/DataSet.h"

using namespace tolvan;
using tolvan::test::TStandInDataSet;

namespace {

TEST(FieldNames, SplitterTrimsAndDropsEmpties) {
  const struct {
    const char* Text;
    std::vector<std::string> Names;
  } Cases[] = {
      {"", {}},
      {" ; ;", {}},
      {"A", {"A"}},
      {" a ; ;b;", {"a", "b"}},
      {"x y;\tz\t", {"x y", "z"}},
      {"a,b;c", {"a,b", "c"}},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Text);
    TStringList L;
    L.Add("kept");
    GetFieldNames(C.Text, L);
    ASSERT_EQ(L.Count(), int32_t(C.Names.size()) + 1);
    for (size_t I = 0; I < C.Names.size(); ++I)
      EXPECT_EQ(L.Strings(int32_t(I) + 1), C.Names[I]);
  }
}

TEST(IndexDefs, GetIndexForFields) {
  TIndexDefs Defs(nullptr);
  Defs.Add("ByNameAge", "Last;First;Age", 0);
  Defs.Add("PK", "ID", ixPrimary | ixUnique);
  Defs.Add("ByName", "Last; First", 0);
  Defs.Add("ByLast", "LAST", ixDescending);
  Defs.Add("CI", "last;first;age", ixCaseInsensitive);
  const struct {
    const char* Fields;
    bool CaseIns;
    const char* Index; // nullptr: none
  } Cases[] = {
      {"id", false, "PK"},
      {"Last", false, "ByLast"},          // an equal list before a longer one
      {" last ;first ", false, "ByName"}, // equal, ignoring case and blanks
      {"Last;First;Age", false, "ByNameAge"},
      {"Last;;First", false, "ByName"},
      {"Last", true, "CI"}, // only case-insensitive indexes, by prefix
      {"LAST;FIRST;AGE", true, "CI"},
      {"ID", true, nullptr},
      {"First", false, nullptr}, // not a leading field
      {"Last;Age", false, nullptr},
      {"Last;First;Age;X", false, nullptr},
      {"", false, nullptr},
      {" ; ", false, nullptr},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Fields);
    TIndexDef* Found = Defs.FindIndexForFields(C.Fields, C.CaseIns);
    if (C.Index) {
      ASSERT_NE(Found, nullptr);
      EXPECT_EQ(Found->Name(), C.Index);
      EXPECT_EQ(&Defs.GetIndexForFields(C.Fields, C.CaseIns), Found);
    } else {
      EXPECT_EQ(Found, nullptr);
      try {
        (void)Defs.GetIndexForFields(C.Fields, C.CaseIns);
        ADD_FAILURE();
      } catch (const EDatabaseError& E) {
        EXPECT_EQ(E.Message(), std::string("No index for fields '") + C.Fields + "'");
      }
    }
  }
}

TEST(IndexDefs, AssignFindAndIndexOf) {
  TIndexDefs Defs(nullptr);
  TIndexDef& D = Defs.Add("Idx", "A;B", ixUnique | ixCaseInsensitive);
  D.SetDescFields("B");
  D.SetCaseInsFields("A");
  TIndexDef Copy; // detached, as handed out unowned
  Copy.Assign(D);
  EXPECT_EQ(Copy.Name(), "Idx");
  EXPECT_EQ(Copy.Fields(), "A;B");
  EXPECT_EQ(Copy.Options(), ixUnique | ixCaseInsensitive);
  EXPECT_EQ(Copy.DescFields(), "B");
  EXPECT_EQ(Copy.CaseInsFields(), "A");
  EXPECT_EQ(Copy.Collection(), nullptr);
  EXPECT_EQ(Copy.Index(), -1);

  TIndexDefs Other(nullptr);
  Other.Assign(Defs);
  ASSERT_EQ(Other.Count(), 1);
  EXPECT_EQ(Other.Items(0).DescFields(), "B");
  EXPECT_EQ(&Other.Find("IDX"), &Other.Items(0));
  EXPECT_EQ(Other.IndexOf("idx"), 0);
  EXPECT_EQ(Other.IndexOf("nope"), -1);
  try {
    (void)Other.Find("nope");
    FAIL();
  } catch (const EDatabaseError& E) {
    EXPECT_EQ(E.Message(), "Index 'nope' not found");
  }
  TFieldDef Wrong;
  EXPECT_THROW(Copy.Assign(Wrong), EConvertError);
}

TEST(FieldDefs, AddFindAndAssign) {
  auto DS = MakeComponent<TStandInDataSet>();
  DS->SetName("T");
  TFieldDefs& Defs = DS->FieldDefs();
  EXPECT_EQ(Defs.DataSet(), DS.get());
  Defs.Add("Id", ftAutoInc, 0, true);
  TFieldDef& Name = Defs.Add("Name", ftString, 30);
  EXPECT_EQ(Name.FieldNo(), 2);
  EXPECT_EQ(&Defs.Find("NAME"), &Name);
  EXPECT_EQ(Defs.IndexOf("id"), 0);
  try {
    (void)Defs.Find("Missing");
    FAIL();
  } catch (const EDatabaseError& E) {
    EXPECT_EQ(E.Message(), "T: Field 'Missing' not found");
  }
  EXPECT_THROW(Defs.Add("Bad", ftString, -1), EDatabaseError);
  EXPECT_THROW(Name.SetSize(-5), EDatabaseError);
  EXPECT_EQ(Defs.Count(), 2);
  Defs.Delete(0);
  EXPECT_EQ(Name.FieldNo(), 1);

  TFieldDefs Copy(nullptr);
  Copy.Assign(Defs);
  ASSERT_EQ(Copy.Count(), 1);
  EXPECT_EQ(Copy.Items(0).Name(), "Name");
  EXPECT_EQ(Copy.Items(0).DataType(), ftString);
  EXPECT_EQ(Copy.Items(0).Size(), 30);
  EXPECT_FALSE(Copy.Items(0).Required());
}

TEST(FieldDefs, DefinitionsChangedOnUserChangesOnly) {
  auto DS = MakeComponent<TStandInDataSet>();
  TFieldDefs& Defs = DS->FieldDefs();
  int& Changed = DS->DefinitionChanges;

  Defs.Add("A", ftInteger); // one change, however many settings
  EXPECT_EQ(Changed, 1);
  Defs.Items(0).SetSize(4);
  EXPECT_EQ(Changed, 2);
  TFieldDefs Other(nullptr);
  Other.Add("X", ftString, 5);
  Other.Add("Y", ftFloat);
  Defs.Assign(Other);
  EXPECT_EQ(Changed, 3);
  Defs.BeginUpdate();
  Defs.Delete(0);
  Defs.Add("Z", ftDate);
  Defs.EndUpdate();
  EXPECT_EQ(Changed, 4);
  DS->IndexDefs.Add("I", "X", 0);
  EXPECT_EQ(Changed, 5);

  // Refreshing from the dataset is not the user's change, on either collection.
  DS->OnReadFieldDefs = [](TStandInDataSet& D) {
    D.FieldDefs().Clear();
    D.FieldDefs().Add("Col1", ftInteger);
    D.FieldDefs().Add("Col2", ftString, 10);
    D.IndexDefs.Clear();
    D.IndexDefs.Add("PK", "Col1", ixPrimary);
  };
  EXPECT_FALSE(Defs.Updated());
  Defs.Update();
  EXPECT_EQ(Changed, 5);
  EXPECT_EQ(DS->FieldDefReads, 1);
  EXPECT_TRUE(Defs.Updated());
  EXPECT_EQ(Defs.Count(), 2);
  Defs.Update(); // up to date: nothing asked
  EXPECT_EQ(DS->FieldDefReads, 1);
  Defs.SetUpdated(false);
  Defs.Update();
  EXPECT_EQ(DS->FieldDefReads, 2);
  EXPECT_EQ(Changed, 5);

  DS->OnRefreshIndexDefs = [](TStandInDataSet& D) { D.IndexDefs.Add("More", "Col2", 0); };
  DS->IndexDefs.Update();
  EXPECT_EQ(DS->IndexDefReads, 1);
  EXPECT_EQ(DS->IndexDefs.Count(), 2);
  EXPECT_EQ(Changed, 5);

  // A failing refresh leaves the collection stale and user changes still heard.
  DS->OnReadFieldDefs = [](TStandInDataSet& D) {
    D.FieldDefs().Add("Half", ftInteger);
    throw EDatabaseError("cannot read");
  };
  Defs.SetUpdated(false);
  EXPECT_THROW(Defs.Update(), EDatabaseError);
  EXPECT_FALSE(Defs.Updated());
  EXPECT_EQ(Changed, 5);
  Defs.Items(0).SetRequired(true);
  EXPECT_EQ(Changed, 6);

  // Without a dataset there is nobody to tell and nothing to refresh from.
  Other.Add("Q", ftWord);
  Other.Update();
  EXPECT_FALSE(Other.Updated());
}

TEST(FieldDefs, CreateFieldMakesTheClassOfItsType) {
  auto DS = MakeComponent<TStandInDataSet>();
  TComponentPtr<TComponent> Form = MakeComponent<TComponent>();
  const char* Classes[] = {nullptr,
                           "TStringField",
                           "TSmallintField",
                           "TIntegerField",
                           "TWordField",
                           "TBooleanField",
                           "TFloatField",
                           "TCurrencyField",
                           nullptr,
                           "TDateField",
                           "TTimeField",
                           "TDateTimeField",
                           "TBytesField",
                           "TVarBytesField",
                           "TAutoIncField",
                           "TBlobField",
                           "TMemoField",
                           "TBlobField",
                           "TBlobField",
                           "TBlobField",
                           "TBlobField",
                           "TBlobField",
                           nullptr,
                           "TStringField",
                           "TWideStringField",
                           "TLargeintField",
                           nullptr,
                           nullptr,
                           nullptr,
                           nullptr,
                           nullptr,
                           nullptr,
                           nullptr,
                           nullptr,
                           nullptr,
                           nullptr,
                           "TSQLTimeStampField",
                           nullptr};
  static_assert(sizeof Classes / sizeof *Classes == ftFMTBcd + 1);
  TFieldDefs& Defs = DS->FieldDefs();
  for (int T = 0; T <= ftFMTBcd; ++T) {
    SCOPED_TRACE(T);
    const auto Type = static_cast<TFieldType>(T);
    const bool Sized = Type == ftString || Type == ftFixedChar || Type == ftBytes ||
                       Type == ftVarBytes || Type == ftWideString;
    TFieldDef& Def = Defs.Add("C" + std::to_string(T), Type, Sized ? 7 : 0, T % 2 == 1);
    if (!Classes[T]) {
      try {
        Def.CreateField(Form.get());
        ADD_FAILURE();
      } catch (const EDatabaseError& E) {
        EXPECT_EQ(E.Message(), "Field '" + Def.Name() + "' is of an unknown type");
      }
      continue;
    }
    TField* F = Def.CreateField(Form.get());
    EXPECT_EQ(F->ClassName(), Classes[T]);
    EXPECT_EQ(F->DataType(), Type);
    EXPECT_EQ(F->FieldName(), Def.Name());
    EXPECT_EQ(F->FieldNo(), T + 1);
    EXPECT_EQ(F->Required(), T % 2 == 1);
    EXPECT_EQ(F->Size(), Sized ? 7 : 0);
    EXPECT_EQ(F->DataSet(), DS.get());
    EXPECT_EQ(F->Owner(), Form.get());
    EXPECT_EQ(F->FieldKind(), fkData);
  }
  // A size the class refuses frees the half-made field.
  TFieldDef& Huge = Defs.Add("Huge", ftString, 70000);
  const int32_t Fields = DS->Fields().Count();
  const int32_t Owned = Form->ComponentCount();
  EXPECT_THROW(Huge.CreateField(Form.get()), EDatabaseError);
  EXPECT_EQ(DS->Fields().Count(), Fields);
  EXPECT_EQ(Form->ComponentCount(), Owned);
  // A detached definition makes a field without a dataset.
  TFieldDef Loose;
  Loose.SetName("L");
  Loose.SetDataType(ftInteger);
  TField* F = Loose.CreateField(Form.get());
  EXPECT_EQ(F->DataSet(), nullptr);
  EXPECT_EQ(F->FieldNo(), 0);
}

} // namespace
