#include "storage/TolvanConstraintManager.h"

#include <gtest/gtest.h>

#include <cmath>
#include <set>
#include <string>

#include "classlib/DateUtils.h"
#include "foundation/TolvanStreams.h"
#include "tests/foundation/TestSupport.h"
#include "tests/storage/DatabaseTestSupport.h"
#include "tests/storage/PageAccounting.h"

using namespace tolvan;
using namespace tolvan::test;

namespace {

// T(ID Integer, Name Varchar(20), Qty Integer, Price Double, Born Date) with a primary index on
// ID and a unique one on Name, and the constraints, in this order:
//   PK_T primary key (ID), FK_P foreign key, U_Name unique (Name), NN_Qty not null (Qty),
//   CK_Qty check Qty in 1 .. 10, CK_Price check Price from 0.5, CK_Born check Born to 1/2/2000.
class ConstraintCheck : public ::testing::Test {
protected:
  enum { ID, Name, Qty, Price, Born };

  void SetUp() override {
    TTolvanFieldDefs Fields;
    AddField(Fields, "ID", tftInteger);
    AddField(Fields, "Name", tftVarchar, 20);
    AddField(Fields, "Qty", tftInteger);
    AddField(Fields, "Price", tftDouble);
    AddField(Fields, "Born", tftDate);
    TTolvanIndexDefs Indexes;
    AddIndexDef(Indexes, "PK_T", {"ID"}, true).SetPrimary(1);
    AddIndexDef(Indexes, "U_Name", {"Name"}, true);
    TTolvanConstraintDefs Constraints;
    auto& Primary = Constraints.AddPrimary();
    Primary.SetName("PK_T");
    Primary.Index().SetName("PK_T");
    Primary.Columns().emplace_back("ID", 0);
    auto& Key = Constraints.AddForeignKey();
    Key.SetName("FK_P");
    Key.Table().SetName("P");
    Key.Columns().emplace_back("Qty", 0);
    auto& Unique = Constraints.AddUnique();
    Unique.SetName("U_Name");
    Unique.Index().SetName("U_Name");
    Unique.Columns().emplace_back("Name", 0);
    auto& NotNull = Constraints.AddNotNull();
    NotNull.SetName("NN_Qty");
    NotNull.Column().SetName("Qty");
    auto& QtyRange = Constraints.AddCheck();
    QtyRange.SetName("CK_Qty");
    QtyRange.Column().SetName("Qty");
    QtyRange.CheckMinValue().SetAsInteger(1);
    QtyRange.CheckMaxValue().SetAsInteger(10);
    auto& PriceRange = Constraints.AddCheck();
    PriceRange.SetName("CK_Price");
    PriceRange.Column().SetName("Price");
    PriceRange.CheckMinValue().SetAsDouble(0.5);
    auto& BornRange = Constraints.AddCheck();
    BornRange.SetName("CK_Born");
    BornRange.Column().SetName("Born");
    BornRange.CheckMaxValue().SetAsDate(EncodeDate(2000, 1, 2));
    Table = &Db.Create("T", Fields, Indexes, Constraints);
    Cursor = Db.NewCursor("T", &Db.Session);
    Keys.ParentMissing = [this](const TTolvanConstraintDefForeignKey&, const uint8_t*) {
      return ParentMissing;
    };
  }

  const TTolvanFieldDefs& Fields() const { return *Table->FieldDefs(); }
  uint8_t* Record() { return Cursor->Record(); }

  // A valid record: ID, a name, Qty 5, Price 1.5, Born 1/1/2000.
  void Fill(int32_t IDValue, const char* NameValue) {
    SetAllNull(Record(), Fields().Count());
    SetFieldData(ID, Fields(), &IDValue, Record());
    SetFieldData(Name, Fields(), NameValue, Record());
    const int32_t QtyValue = 5;
    SetFieldData(Qty, Fields(), &QtyValue, Record());
    const double PriceValue = 1.5;
    SetFieldData(Price, Fields(), &PriceValue, Record());
    const int32_t BornValue = DateTimeToStoredDate(EncodeDate(2000, 1, 1));
    SetFieldData(Born, Fields(), &BornValue, Record());
  }
  void Check(bool IsInsert = true, const uint8_t* Old = nullptr) {
    Table->CheckConstraints(*Cursor, Db.Session.SessionID(), Record(), const_cast<uint8_t*>(Old),
                            IsInsert, Cursor->Position(), false);
  }
  void Store() { ASSERT_TRUE(Table->InsertRecord(*Cursor)); }

  TFakeForeignKeys Keys;
  TTestDatabase Db;
  TTestTableData* Table = nullptr;
  std::unique_ptr<TTestCursor> Cursor;
  bool ParentMissing = false;
};

TEST_F(ConstraintCheck, EveryViolationWithItsCodeAndText) {
  Fill(1, "one");
  Store();
  const int32_t Zero = 0, One = 1, Eleven = 11, TenValue = 10;
  const double Cheap = 0.25;
  const int32_t Late = DateTimeToStoredDate(EncodeDate(2000, 1, 3));
  struct TCase {
    const char* What;
    std::function<void()> Change;
    int32_t Code;
    std::string Text;
  };
  const TCase Cases[] = {
      {"primary key null", [&] { SetFieldData(ID, Fields(), nullptr, Record()); }, 30330,
       "Constraint 'PK_T' violated. Value in field 'ID' cannot be null"},
      {"primary key duplicate", [&] { SetFieldData(Name, Fields(), "two", Record()); }, 30319,
       "Primary Key constraint 'PK_T' violated. Duplicate found."},
      {"unique duplicate",
       [&] {
         int32_t V = 2;
         SetFieldData(ID, Fields(), &V, Record());
       },
       30320, "Constraint unique 'U_Name' violated. Duplicate found."},
      {"foreign key",
       [&] {
         Fill(2, "two");
         ParentMissing = true;
       },
       11420, "Constraint foreign key 'FK_P' violated in table 'T'"},
      {"not null",
       [&] {
         Fill(2, "two");
         SetFieldData(Qty, Fields(), nullptr, Record());
       },
       30026, "Constraint 'NN_Qty' violated. Value in field 'Qty' cannot be null"},
      {"check minimum",
       [&] {
         Fill(2, "two");
         SetFieldData(Qty, Fields(), &Zero, Record());
       },
       30029, "Constraint 'CK_Qty' violated. Value in field 'Qty' cannot be lower then '1'"},
      {"check maximum",
       [&] {
         Fill(2, "two");
         SetFieldData(Qty, Fields(), &Eleven, Record());
       },
       30030, "Constraint 'CK_Qty' violated. Value in field 'Qty' cannot be greater then '10'"},
      {"float bound",
       [&] {
         Fill(2, "two");
         SetFieldData(Price, Fields(), &Cheap, Record());
       },
       30029, "Constraint 'CK_Price' violated. Value in field 'Price' cannot be lower then '0.5'"},
      {"date bound",
       [&] {
         Fill(2, "two");
         SetFieldData(Born, Fields(), &Late, Record());
       },
       30030,
       "Constraint 'CK_Born' violated. Value in field 'Born' cannot be greater then '1/2/2000'"},
      {"bounds are inclusive",
       [&] {
         Fill(2, "two");
         SetFieldData(Qty, Fields(), &TenValue, Record());
       },
       0, ""},
      {"lower bound inclusive",
       [&] {
         Fill(2, "two");
         SetFieldData(Qty, Fields(), &One, Record());
       },
       0, ""},
      {"null passes a check",
       [&] {
         Fill(2, "two");
         SetFieldData(Price, Fields(), nullptr, Record());
       },
       0, ""},
  };
  for (const TCase& C : Cases) {
    SCOPED_TRACE(C.What);
    Fill(1, "one");
    ParentMissing = false;
    C.Change();
    if (C.Code == 0) {
      EXPECT_NO_THROW(Check());
      continue;
    }
    const ETolvanException E = Raised([&] { Check(); });
    EXPECT_EQ(E.NativeError(), C.Code);
    EXPECT_EQ(std::string(E.what()), C.Text + (" - Native error: " + std::to_string(C.Code)));
  }
}

TEST_F(ConstraintCheck, TheFirstDefinedViolationWins) {
  Fill(1, "one");
  Store();
  // Duplicate ID and name, no Qty, missing parent: the primary key is defined first.
  Fill(1, "one");
  SetFieldData(Qty, Fields(), nullptr, Record());
  ParentMissing = true;
  EXPECT_EQ(NativeCodeOf([&] { Check(); }), 30319);
  // A NULL key reports the NULL before looking for duplicates.
  SetFieldData(ID, Fields(), nullptr, Record());
  EXPECT_EQ(NativeCodeOf([&] { Check(); }), 30330);
  // Without the key problem the foreign key (second) comes before the unique (third).
  Fill(2, "one");
  ParentMissing = true;
  EXPECT_EQ(NativeCodeOf([&] { Check(); }), 11420);
  // Foreign keys skipped, the duplicate name shows.
  EXPECT_EQ(NativeCodeOf([&] {
              Table->CheckConstraints(*Cursor, 1, Record(), nullptr, true, Cursor->Position(),
                                      true);
            }),
            30320);
}

TEST_F(ConstraintCheck, FirstRecordsUpdatesAndNulls) {
  // The first record never collides, even against what a stale index might hold.
  Fill(1, "one");
  EXPECT_NO_THROW(Check());
  Store();
  // An update keeping its key passes; one taking another record's key does not.
  std::vector<uint8_t> Old(Record(), Record() + Table->RecordSize());
  Fill(2, "two");
  Store();
  std::vector<uint8_t> OldTwo(Record(), Record() + Table->RecordSize());
  const double Dear = 2.5;
  SetFieldData(Price, Fields(), &Dear, Record());
  EXPECT_NO_THROW(Check(false, OldTwo.data()));
  SetFieldData(Name, Fields(), "one", Record());
  EXPECT_EQ(NativeCodeOf([&] { Check(false, OldTwo.data()); }), 30320);
  // NULLs collide in a unique key.
  Fill(3, "x");
  SetFieldData(Name, Fields(), nullptr, Record());
  Store();
  Fill(4, "x");
  SetFieldData(Name, Fields(), nullptr, Record());
  EXPECT_EQ(NativeCodeOf([&] { Check(); }), 30320);
  EXPECT_EQ(PageAccountingFaults(Table->Store()), "");
}

TEST_F(ConstraintCheck, ATableWithoutConstraintsChecksNothing) {
  TTolvanConstraintDefs None;
  Table->SetConstraintDefs(None);
  EXPECT_TRUE(Table->ConstraintManager()->NoConstraints());
  SetAllNull(Record(), Fields().Count());
  ParentMissing = true;
  EXPECT_NO_THROW(Check());
}

TEST_F(ConstraintCheck, ColumnsThatVanishedAreReportedByID) {
  // Object ids no column has: each kind names its own code.
  TTolvanConstraintDefs& Defs = Table->ConstraintManager()->ConstraintDefs();
  Fill(1, "one");
  static_cast<TTolvanConstraintDefPrimary&>(Defs.Items(0)).Columns()[0].SetObjectID(999);
  EXPECT_EQ(Raised([&] { Check(); }).what(),
            std::string("Field #999 not found - Native error: 30329"));
  EXPECT_EQ(NativeCodeOf([&] { Check(); }), 30329);
  Defs.Delete(0);
  Defs.Delete(0);
  Defs.Delete(0);
  static_cast<TTolvanConstraintDefNotNull&>(Defs.Items(0)).Column().SetObjectID(999);
  EXPECT_EQ(NativeCodeOf([&] { Check(); }), 30024);
  Defs.Delete(0);
  static_cast<TTolvanConstraintDefCheck&>(Defs.Items(0)).Column().SetObjectID(999);
  EXPECT_EQ(NativeCodeOf([&] { Check(); }), 30028);
}

// --- binding, naming and the stream form --------------------------------------------------------

class ConstraintNaming : public ::testing::Test {
protected:
  void SetUp() override {
    TTolvanFieldDefs Fields;
    AddField(Fields, "A", tftInteger);
    AddField(Fields, "B", tftInteger);
    TTolvanIndexDefs Indexes;
    AddIndexDef(Indexes, "ByA", {"A"}, true);
    AddIndexDef(Indexes, "ByB", {"B"});
    TTolvanConstraintDefs None;
    Table = &Db.Create("T", Fields, Indexes, None);
  }

  TTolvanBaseConstraintManager& Manager() { return *Table->ConstraintManager(); }
  int32_t IndexID(std::string_view Name) {
    return Table->IndexManager()->IndexDefs().FindByName(Name)->ObjectID();
  }

  TTestDatabase Db;
  TTestTableData* Table = nullptr;
};

TEST_F(ConstraintNaming, ResolveIDsRefusesWhatTheTableLacks) {
  TTolvanConstraintDefs Defs;
  struct TCase {
    std::function<void(TTolvanConstraintDefs&)> Add;
    int32_t Code;
  };
  const TCase Cases[] = {
      {[](TTolvanConstraintDefs& D) { D.AddPrimary().Index().SetName("Nope"); }, 30325},
      {[](TTolvanConstraintDefs& D) {
         auto& P = D.AddPrimary();
         P.Index().SetName("ByA");
         P.Columns().emplace_back("Nope", 0);
       },
       30331},
      {[](TTolvanConstraintDefs& D) { D.AddUnique().Index().SetName("Nope"); }, 30326},
      {[](TTolvanConstraintDefs& D) {
         auto& U = D.AddUnique();
         U.Index().SetName("ByA");
         U.Columns().emplace_back("Nope", 0);
       },
       30332},
      {[](TTolvanConstraintDefs& D) { D.AddForeignKey().Columns().emplace_back("Nope", 0); },
       11419},
      {[](TTolvanConstraintDefs& D) { D.AddNotNull().Column().SetName("Nope"); }, 30027},
      {[](TTolvanConstraintDefs& D) { D.AddCheck().Column().SetName("Nope"); }, 30027},
  };
  for (const TCase& C : Cases) {
    TTolvanConstraintDefs Given;
    C.Add(Given);
    Given.Items(0).SetName("X");
    EXPECT_EQ(NativeCodeOf([&] { Table->SetConstraintDefs(Given); }), C.Code);
    // A refused set leaves the manager as it was.
    EXPECT_EQ(Manager().ConstraintDefs().Count(), 0);
  }
  // A bound definition takes the ids, and the table's name as its second reference.
  TTolvanConstraintDefs Given;
  auto& U = Given.AddUnique();
  U.SetName("U");
  U.Index().SetName("bya");
  U.Columns().emplace_back("a", 0);
  Given.AddForeignKeyAction().SetName("Act");
  Table->SetConstraintDefs(Given);
  const auto& Bound =
      static_cast<const TTolvanConstraintDefUnique&>(Manager().ConstraintDefs().Items(0));
  EXPECT_EQ(Bound.Index().ObjectID(), IndexID("ByA"));
  EXPECT_EQ(Bound.Columns()[0].ObjectID(), Table->FieldDefs()->Items(0).ObjectID());
  EXPECT_EQ(Bound.Reserved2().Name(), "T");
  EXPECT_GT(Bound.ObjectID(), 0);
  EXPECT_FALSE(Manager().NoConstraints());
}

TEST_F(ConstraintNaming, AutoNameMakesNamesAndNumbersTakenOnes) {
  TTolvanConstraintDefs Given;
  Given.AddNotNull().Column().SetName("A");
  Given.AddNotNull().Column().SetName("A");
  Given.AddCheck().Column().SetName("B");
  Given.AddForeignKey();
  Given.AddForeignKey();
  Table->SetConstraintDefs(Given);
  const TTolvanConstraintDefs& Defs = Manager().ConstraintDefs();
  EXPECT_EQ(Defs.Items(0).Name(), "$C_NotNull$T$A");
  const std::string Second = Defs.Items(1).Name();
  ASSERT_GT(Second.size(), 14u);
  EXPECT_EQ(Second.substr(0, 14), "$C_NotNull$T$A");
  const int Suffix = std::stoi(Second.substr(14));
  EXPECT_GE(Suffix, 0);
  EXPECT_LE(Suffix, 65534);
  EXPECT_EQ(Defs.Items(2).Name(), "$C_Check$T$B");
  EXPECT_EQ(Defs.Items(3).Name().rfind("FOREIGN_KEY_", 0), 0u);
  EXPECT_NE(Defs.Items(3).Name(), Defs.Items(4).Name());

  // A new random number each time: many unnamed copies all get distinct names.
  TTolvanConstraintDefs Many;
  for (int I = 0; I < 40; ++I)
    Many.AddNotNull().Column().SetName("A");
  Table->SetConstraintDefs(Many);
  std::set<std::string> Names;
  for (int32_t I = 0; I < Manager().ConstraintDefs().Count(); ++I)
    Names.insert(Manager().ConstraintDefs().Items(I).Name());
  EXPECT_EQ(Names.size(), 40u);

  // Long table and column names still leave room for the number.
  TTolvanConstraintDefs Long;
  for (int I = 0; I < 3; ++I)
    Long.AddNotNull().Column().SetName(std::string(200, 'C'));
  Long.Items(0).SetName("");
  Table->SetName(std::string(200, 'T'));
  for (int I = 0; I < 3; ++I)
    static_cast<TTolvanConstraintDefNotNull&>(Long.Items(I))
        .Reserved2()
        .SetName(Table->TableName());
  Manager().ConstraintDefs().Assign(Long);
  Manager().AutoName();
  std::set<std::string> LongNames;
  for (int32_t I = 0; I < 3; ++I)
    LongNames.insert(Manager().ConstraintDefs().Items(I).Name());
  EXPECT_EQ(LongNames.size(), 3u);
}

TEST_F(ConstraintNaming, AnUnnamedKeyConstraintIsNotImplemented) {
  TTolvanConstraintDefs Given;
  auto& P = Given.AddPrimary();
  P.Index().SetName("ByA");
  P.Columns().emplace_back("A", 0);
  const ETolvanException E = Raised([&] { Table->SetConstraintDefs(Given); });
  EXPECT_EQ(E.NativeError(), 30038);
  EXPECT_EQ(std::string(E.what()), "Not implemented yet - Native error: 30038");
}

TEST_F(ConstraintNaming, IndexConstraintsKeepNoConstraintsRight) {
  TTolvanBaseConstraintManager& M = Manager();
  EXPECT_TRUE(M.NoConstraints());
  TTolvanIndexDefs& Indexes = Table->IndexManager()->IndexDefs();
  M.AddForIndex(*Indexes.FindByName("ByB")); // not unique: nothing
  EXPECT_TRUE(M.NoConstraints());
  EXPECT_EQ(M.ConstraintDefs().Count(), 0);
  M.AddForIndex(*Indexes.FindByName("ByA"));
  EXPECT_FALSE(M.NoConstraints());
  const auto& U = static_cast<const TTolvanConstraintDefUnique&>(M.ConstraintDefs().Items(0));
  EXPECT_EQ(U.ConstraintType(), tctUnique);
  EXPECT_EQ(U.Name(), "ByA");
  EXPECT_EQ(U.Index().ObjectID(), IndexID("ByA"));
  EXPECT_EQ(U.Columns()[0].ObjectID(), Table->FieldDefs()->Items(0).ObjectID());
  Indexes.FindByName("ByB")->SetPrimary(1);
  M.AddForIndex(*Indexes.FindByName("ByB"));
  EXPECT_EQ(M.ConstraintDefs().Items(1).ConstraintType(), tctPrimaryKey);
  EXPECT_FALSE(M.RemoveForIndex(IndexID("ByA")));
  EXPECT_FALSE(M.RemoveForIndex(12345));
  EXPECT_EQ(M.ConstraintDefs().Count(), 1);
  EXPECT_TRUE(M.RemoveForIndex(IndexID("ByB")));
  EXPECT_TRUE(M.NoConstraints());
}

TEST_F(ConstraintNaming, ForeignKeyActionsTakeAFreeName) {
  TTolvanConstraintDefForeignKey Key;
  Key.SetName("FK");
  Key.SetObjectID(77);
  Key.Columns().emplace_back("A", 5);
  Key.SetOnDelete(tfaCascade);
  Key.SetOnUpdate(tfaSetNull);
  Key.SetMatchType(1);
  auto& First = TTolvanBaseConstraintManager::MakeForeignKeyAction(Manager(), Key, "Child", -1);
  EXPECT_EQ(First.Name(), "FK_Action");
  EXPECT_EQ(First.Table(), TTolvanObjectRef("Child", -1));
  EXPECT_EQ(First.Partner(), TTolvanObjectRef("FK", 77));
  EXPECT_EQ(First.Columns(), Key.Columns());
  EXPECT_EQ(First.OnDelete(), tfaCascade);
  EXPECT_EQ(First.OnUpdate(), tfaSetNull);
  EXPECT_EQ(First.MatchType(), 1);
  EXPECT_TRUE(Manager().ConstraintDefs().HasActions());
  auto& Second = TTolvanBaseConstraintManager::MakeForeignKeyAction(Manager(), Key, "Child", -1);
  EXPECT_EQ(Second.Name().rfind("FK_Action_", 0), 0u);
  EXPECT_NE(Second.Name(), "FK_Action");
  EXPECT_NE(Second.ObjectID(), First.ObjectID());
}

TEST_F(ConstraintNaming, StreamFormAndNoConstraints) {
  TTolvanConstraintDefs Given;
  Given.AddNotNull().Column().SetName("A");
  Table->SetConstraintDefs(Given);
  TTolvanMemoryStream S;
  Manager().SaveToStream(S);
  TTestDatabase Other;
  TTolvanBaseConstraintManager Loaded(*Table);
  S.SetPosition(0);
  Loaded.LoadFromStream(S);
  EXPECT_FALSE(Loaded.NoConstraints());
  EXPECT_EQ(Loaded.ConstraintDefs().Items(0).Name(), "$C_NotNull$T$A");
  // An empty block leaves the flag as it was: cleared stays cleared, set stays set.
  TTolvanConstraintDefs None;
  TTolvanMemoryStream Empty;
  None.SaveToStream(Empty);
  Empty.SetPosition(0);
  Loaded.LoadFromStream(Empty);
  EXPECT_FALSE(Loaded.NoConstraints());
  EXPECT_EQ(Loaded.ConstraintDefs().Count(), 0);
  TTolvanBaseConstraintManager Fresh(*Table);
  Empty.SetPosition(0);
  Fresh.LoadFromStream(Empty);
  EXPECT_TRUE(Fresh.NoConstraints());
  // A cut block changes nothing.
  Loaded.ConstraintDefs().Assign(Manager().ConstraintDefs());
  const std::vector<uint8_t> Bytes = Contents(S);
  TVectorStream Cut(std::vector<uint8_t>(Bytes.begin(), Bytes.end() - 3));
  EXPECT_ANY_THROW(Loaded.LoadFromStream(Cut));
  EXPECT_EQ(Loaded.ConstraintDefs().Count(), 1);
}

} // namespace
