// The foreign-key routines over a memory database reached through local cursors: validation of a
// key against its parent, the set-up of a new table's keys, the parent test under each match
// type, the check of existing rows when a key is added, renaming and deleting tables that
// reference each other, and the temporary-name prefix.
#include "storage/TolvanForeignKeys.h"

#include <gtest/gtest.h>

#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "classlib/Format.h"
#include "foundation/TolvanMessages.h"
#include "storage/TolvanConstraintManager.h"
#include "tests/storage/LocalStorageTestSupport.h"

using namespace tolvan;
using namespace tolvan::test;

namespace {

using TValues = std::initializer_list<std::optional<int32_t>>;

struct TDefs {
  TTolvanFieldDefs F;
  TTolvanIndexDefs I;
  TTolvanConstraintDefs C;
};

TTolvanConstraintDefForeignKey& AddKey(TTolvanConstraintDefs& C, std::string_view Name,
                                       std::string_view Parent,
                                       std::initializer_list<std::string_view> Columns,
                                       uint8_t Match = 0) {
  auto& Key = C.AddForeignKey();
  Key.SetName(Name);
  Key.Table().SetName(Parent);
  for (std::string_view Column : Columns)
    Key.Columns().emplace_back(Column, 0);
  Key.SetMatchType(Match);
  return Key;
}

class ForeignKeys : public ::testing::Test {
protected:
  // A closed cursor for the table operations.
  std::unique_ptr<TTolvanLocalCursor> Cursor(std::string_view Name) {
    auto C = std::make_unique<TTolvanLocalCursor>();
    C->SetSession(Session.get());
    C->SetTableName(Name);
    C->SetInMemory(true);
    return C;
  }
  void Create(std::string_view Name, TDefs& D) { Cursor(Name)->CreateTable(D.F, D.I, D.C); }
  TRaised CreateRaised(std::string_view Name, TDefs& D) {
    return RaisedBy([&] { Create(Name, D); });
  }
  // P: A, B INTEGER, NAME VARCHAR(10); primary index PK over (A, B).
  void CreateParent(std::string_view Name = "P") {
    TDefs D;
    AddField(D.F, "A", tftInteger);
    AddField(D.F, "B", tftInteger);
    AddField(D.F, "NAME", tftVarchar, 10);
    AddIndexDef(D.I, "PK", {"A", "B"}, true).SetPrimary(1);
    Create(Name, D);
  }
  // C: ID INTEGER, X, Y INTEGER, with a key over (X, Y) to P unless Keyed is false.
  void CreateChild(uint8_t Match = 0, bool Keyed = true, std::string_view Name = "C") {
    TDefs D;
    AddField(D.F, "ID", tftInteger);
    AddField(D.F, "X", tftInteger);
    AddField(D.F, "Y", tftInteger);
    if (Keyed)
      AddKey(D.C, "FK", "P", {"X", "Y"}, Match);
    Create(Name, D);
  }
  std::unique_ptr<TOpenCursor> Open(std::string_view Name, bool Exclusive = false) {
    auto C = std::make_unique<TOpenCursor>(*Session, Name);
    C->Cursor.SetExclusive(Exclusive);
    C->Open();
    return C;
  }
  // Posts a record of the values (nullopt: NULL); 0, or the native code of the refusal.
  static int32_t Post(TOpenCursor& C, TValues Values) {
    C.NewRecord();
    int32_t FieldNo = 0;
    for (const std::optional<int32_t>& V : Values) {
      if (V)
        C.SetInteger(FieldNo, *V);
      ++FieldNo;
    }
    C.Cursor.PostRecord(true);
    if (C.Cursor.LastErrorCode() == 0)
      return 0;
    const std::string Text = C.Cursor.LastErrorText();
    const size_t At = Text.rfind("Native error: ");
    return At == std::string::npos ? C.Cursor.LastErrorCode() : std::stoi(Text.substr(At + 14));
  }
  TTolvanTableData& Table(std::string_view Name) {
    return *Session->Database()->FindTableData(Name);
  }
  // "name>table" of each foreign key and action record of the table, in order.
  std::vector<std::string> References(std::string_view Name) {
    std::vector<std::string> Result;
    const TTolvanBaseConstraintManager* M = Table(Name).ConstraintManager();
    for (int32_t I = 0; M && I < M->ConstraintDefs().Count(); ++I) {
      const TTolvanConstraintDef& Def = M->ConstraintDefs().Items(I);
      if (Def.ConstraintType() != tctForeignKey && Def.ConstraintType() != tctForeignKeyAction)
        continue;
      const auto& Ref = static_cast<const TTolvanConstraintDefForeignKeyAction&>(Def);
      Result.push_back(Ref.Name() + ">" + Ref.Table().Name() + ":" + Ref.Partner().Name());
    }
    return Result;
  }

  TLocalStorage Storage;
  std::unique_ptr<TTolvanLocalSession> Session = TLocalStorage::Connected("MEMORY");
};

// --- validation and set-up ----------------------------------------------------------------------

TEST_F(ForeignKeys, CreateRefusesBadDefinitionsWithUpperCaseNames) {
  CreateParent();
  {
    TDefs D;
    AddField(D.F, "N", tftInteger);
    Create("NOPK", D);
  }
  struct TCase {
    const char* What;
    std::function<void(TDefs&)> Fill;
    int32_t Code;
    std::string Text;
  };
  const TCase Cases[] = {
      {"duplicate field",
       [](TDefs& D) {
         AddField(D.F, "Id", tftInteger);
         AddField(D.F, "iD", tftInteger);
       },
       11430, "Cannot create table 'K'. Duplicate field name 'ID'"},
      {"duplicate index",
       [](TDefs& D) {
         AddField(D.F, "X", tftInteger);
         AddIndexDef(D.I, "ix", {"X"});
         AddIndexDef(D.I, "Ix", {"X"});
       },
       11428, "Cannot create table 'K'. Duplicate index name 'IX'"},
      {"duplicate constraint",
       [](TDefs& D) {
         AddField(D.F, "X", tftInteger);
         AddField(D.F, "Y", tftInteger);
         AddKey(D.C, "fk", "P", {"X", "Y"});
         AddKey(D.C, "Fk", "P", {"X", "Y"});
       },
       11431, "Cannot create table 'K'. Duplicate constraint name 'FK'"},
      {"no primary key",
       [](TDefs& D) {
         AddField(D.F, "X", tftInteger);
         AddKey(D.C, "FK", "NOPK", {"X"});
       },
       11442,
       "Invalid foreign key 'FK' definition in table 'K' - referenced table 'NOPK' has no primary "
       "key"},
      {"column count",
       [](TDefs& D) {
         AddField(D.F, "X", tftInteger);
         AddKey(D.C, "FK", "P", {"X"});
       },
       11443,
       "Invalid foreign key 'FK' definition in table 'K' - referenced table 'P' has primary key "
       "that does not correspond foreign key by number of fields"},
      {"type",
       [](TDefs& D) {
         AddField(D.F, "X", tftInteger);
         AddField(D.F, "Y", tftBLOB);
         AddKey(D.C, "FK", "P", {"X", "Y"});
       },
       11446,
       "Invalid foreign key 'FK' definition in table 'K' - types of foreign key field 'Y' and "
       "primary key field 'B' of the referenced table 'P' mismatches"},
  };
  for (const TCase& Case : Cases) {
    SCOPED_TRACE(Case.What);
    TDefs D;
    Case.Fill(D);
    const TRaised R = CreateRaised("K", D);
    EXPECT_EQ(R.Code, Case.Code);
    EXPECT_EQ(R.Message, EngineMessage(Case.Text, Case.Code));
    EXPECT_FALSE(Session->TableExists("K"));
    // A refused table leaves its parent without an action record.
    EXPECT_TRUE(References("P").empty());
  }
}

// The two codes the create path cannot reach (its column binding and the parent's own index
// come first), through a parent cursor whose definitions disagree with the key.
TEST_F(ForeignKeys, ValidateNamesMissingFieldsOnEitherSide) {
  CreateParent();
  CreateChild(0, false);
  auto P = Open("P");
  TTolvanConstraintDefForeignKey Key;
  Key.SetName("FK");
  Key.Table().SetName("P");
  Key.Columns().emplace_back("X", 0);
  Key.Columns().emplace_back("Z", 0);
  TRaised R = RaisedBy([&] { ValidateForeignKey(Table("C"), Key, P->Cursor); });
  EXPECT_EQ(R.Code, 11444);
  EXPECT_EQ(R.Message, EngineMessage("Invalid foreign key 'FK' definition in table 'C' - field "
                                     "'Z' does not exist",
                                     11444));
  Key.Columns()[1].SetName("Y");
  P->Cursor.FieldDefs().Items(1).SetName("GONE");
  R = RaisedBy([&] { ValidateForeignKey(Table("C"), Key, P->Cursor); });
  EXPECT_EQ(R.Code, 11445);
  EXPECT_EQ(R.Message,
            EngineMessage("Invalid foreign key 'FK' definition in table 'C' - primary key field "
                          "'B' does not exist in referenced table 'P'",
                          11445));
}

// Keys to one parent, to another and to the table itself: each parent gets one action record
// per key, each key names its action record.
TEST_F(ForeignKeys, SetupGivesEveryParentItsActionRecords) {
  CreateParent("P");
  CreateParent("Q");
  TDefs D;
  AddField(D.F, "ID", tftInteger);
  AddField(D.F, "X", tftInteger);
  AddField(D.F, "Y", tftInteger);
  AddIndexDef(D.I, "PK", {"ID"}, true).SetPrimary(1);
  AddKey(D.C, "F1", "P", {"X", "Y"});
  AddKey(D.C, "F2", "q", {"Y", "X"});
  AddKey(D.C, "F3", "P", {"Y", "X"});
  AddKey(D.C, "SELF", "C", {"X"});
  Create("C", D);
  EXPECT_EQ(References("P"), (std::vector<std::string>{"F1_Action>C:F1", "F3_Action>C:F3"}));
  EXPECT_EQ(References("Q"), (std::vector<std::string>{"F2_Action>C:F2"}));
  EXPECT_EQ(References("C"),
            (std::vector<std::string>{"F1>P:F1_Action", "F2>q:F2_Action", "F3>P:F3_Action",
                                      "SELF>C:SELF_Action", "SELF_Action>C:SELF"}));
  // The keys are enforced from the first write.
  auto C = Open("C");
  EXPECT_EQ(Post(*C, {1, std::nullopt, std::nullopt}), 0);
  EXPECT_EQ(Post(*C, {2, 1, std::nullopt}), 0);
  EXPECT_EQ(Post(*C, {3, 9, 9}), ErrCheckForeignKeyViolated);
}

// --- the parent test ----------------------------------------------------------------------------

TEST_F(ForeignKeys, MatchTypesDecideWhenAKeyNeedsAParent) {
  CreateParent();
  {
    auto P = Open("P");
    ASSERT_EQ(Post(*P, {1, 1}), 0);
    ASSERT_EQ(Post(*P, {1, 2}), 0);
  }
  const std::optional<int32_t> N;
  struct TCase {
    uint8_t Match;
    std::optional<int32_t> X, Y;
    bool Refused;
  };
  const TCase Cases[] = {
      // All NULL needs no parent under every match type.
      {0, N, N, false},
      {1, N, N, false},
      {2, N, N, false},
      // Simple: one NULL column is enough.
      {0, 7, N, false},
      {0, N, 7, false},
      {0, 1, 2, false},
      {0, 2, 1, true},
      // Full: a mix is refused even though (1, ...) exists.
      {1, 1, N, true},
      {1, N, 1, true},
      {1, 1, 1, false},
      {1, 1, 3, true},
      // Partial: the non-NULL columns need a parent.
      {2, 1, N, false},
      {2, N, 2, false},
      {2, 7, N, true},
      {2, N, 3, true},
      {2, 1, 2, false},
  };
  for (uint8_t Match = 0; Match < 3; ++Match) {
    CreateChild(Match);
    auto C = Open("C");
    int32_t ID = 0;
    for (const TCase& Case : Cases) {
      if (Case.Match != Match)
        continue;
      SCOPED_TRACE(testing::Message() << "match " << int(Match) << " X " << Case.X.value_or(-1)
                                      << " Y " << Case.Y.value_or(-1));
      EXPECT_EQ(Post(*C, {++ID, Case.X, Case.Y}), Case.Refused ? ErrCheckForeignKeyViolated : 0);
    }
    C.reset();
    Cursor("C")->DeleteTable(true);
  }
}

TEST_F(ForeignKeys, NullStateRefusesBadDefinitions) {
  CreateParent();
  CreateChild(0);
  auto C = Open("C");
  C->NewRecord();
  C->SetInteger(1, 1);
  TTolvanConstraintDefForeignKey Key;
  Key.Assign(Table("C").ConstraintManager()->ConstraintDefs().Items(0));
  Key.SetMatchType(3);
  bool Invalid = false;
  TRaised R = RaisedBy([&] { ForeignKeyNullState(Table("C"), Key, C->Buffer, Invalid); });
  EXPECT_EQ(R.Code, 11421);
  EXPECT_EQ(R.Message, EngineMessage("Error checking constraint foreign key 'FK' in table 'C' - "
                                     "invalid match type = 3",
                                     11421));
  Key.SetMatchType(0);
  Key.Columns()[1].SetObjectID(9999);
  R = RaisedBy([&] { ForeignKeyNullState(Table("C"), Key, C->Buffer, Invalid); });
  EXPECT_EQ(R.Code, 11422);
  EXPECT_EQ(R.Message,
            EngineMessage(Format(SCheckForeignKeyInvalidColumn, "FK", "C", 1, 9999), 11422));
}

// The parent is looked up through a cursor of its own: neither the writer's filter (on a
// self-referencing table) nor a missing parent table passes unnoticed.
TEST_F(ForeignKeys, ParentTestSeesEveryParentAndReportsAnUnopenableOne) {
  TDefs D;
  AddField(D.F, "ID", tftInteger);
  AddField(D.F, "UP", tftInteger);
  AddIndexDef(D.I, "PK", {"ID"}, true).SetPrimary(1);
  AddKey(D.C, "TREE", "T", {"UP"});
  Create("T", D);
  auto T = Open("T");
  ASSERT_EQ(Post(*T, {1, std::nullopt}), 0);
  T->Cursor.SetFilter("ID > 1", false, false);
  EXPECT_EQ(Post(*T, {2, 1}), 0);
  EXPECT_EQ(Post(*T, {3, 4}), ErrCheckForeignKeyViolated);

  CreateParent();
  CreateChild(0);
  auto C = Open("C");
  C->NewRecord();
  C->SetInteger(1, 1);
  C->SetInteger(2, 1);
  TTolvanConstraintDefForeignKey Key;
  Key.Assign(Table("C").ConstraintManager()->ConstraintDefs().Items(0));
  Key.Table().SetName("MISSING");
  const TRaised R = RaisedBy(
      [&] { CheckForeignKeyParent(Table("C"), C->Cursor, 0, Key, C->Cursor.RecordBuffer()); });
  EXPECT_EQ(R.Code, 11423);
  EXPECT_EQ(R.Message.rfind("Error checking constraint foreign key 'FK' in table 'C' - cannot "
                            "open referenced table due to error: Table not found",
                            0),
            0u)
      << R.Message;
}

// --- adding a key to a table with rows ----------------------------------------------------------

TEST_F(ForeignKeys, AddingAKeyChecksEveryStoredRowAndAddsNothingOnAnOrphan) {
  CreateParent();
  {
    auto P = Open("P");
    ASSERT_EQ(Post(*P, {1, 1}), 0);
  }
  CreateChild(0, false);
  auto C = Open("C", true);
  ASSERT_EQ(Post(*C, {1, 1, 1}), 0);
  ASSERT_EQ(Post(*C, {2, 5, 5}), 0);
  ASSERT_EQ(Post(*C, {3, std::nullopt, 5}), 0);
  // The orphan is hidden from the cursor the key is added through.
  C->Cursor.SetFilter("ID <> 2", false, false);
  C->Cursor.SetToBegin();
  ASSERT_EQ(C->Cursor.GetRecord(rmNext), rrOK);
  const int32_t Before = C->Integer(0);
  const std::vector<uint8_t> Buffer(C->Buffer, C->Buffer + C->Cursor.RecordSize());
  TTolvanConstraintDefForeignKey Key;
  Key.SetName("FK");
  Key.Table().SetName("P");
  Key.Columns().emplace_back("X", 0);
  Key.Columns().emplace_back("Y", 0);
  const TRaised R = RaisedBy([&] { C->Cursor.AddForeignKey(Key); });
  EXPECT_EQ(R.Code, 11586);
  EXPECT_EQ(R.Message, EngineMessage("Constraint foreign key 'FK' violated in table 'C'", 11586));
  EXPECT_TRUE(References("C").empty());
  EXPECT_TRUE(References("P").empty());
  // The cursor's buffer and position are as they were.
  EXPECT_EQ(std::vector<uint8_t>(C->Buffer, C->Buffer + C->Cursor.RecordSize()), Buffer);
  EXPECT_EQ(C->Cursor.GetRecord(rmCurrent), rrOK);
  EXPECT_EQ(C->Integer(0), Before);

  // Without the orphan the key goes in.
  C->Cursor.ClearFilter();
  C->Cursor.SetFilter("ID = 2", false, false);
  C->Cursor.SetToBegin();
  ASSERT_EQ(C->Cursor.GetRecord(rmNext), rrOK);
  C->Cursor.DeleteRecord();
  C->Cursor.ClearFilter();
  C->Cursor.AddForeignKey(Key);
  EXPECT_EQ(References("C"), (std::vector<std::string>{"FK>P:FK_Action"}));
  EXPECT_EQ(References("P"), (std::vector<std::string>{"FK_Action>C:FK"}));
  // A cursor opened now writes under the key.
  C = Open("C");
  EXPECT_EQ(Post(*C, {4, 5, 5}), ErrCheckForeignKeyViolated);
  EXPECT_EQ(Post(*C, {5, 1, 1}), 0);
}

// A self-referencing key added through a filtered cursor finds parents the filter hides.
TEST_F(ForeignKeys, AddingASelfReferenceFindsParentsTheFilterHides) {
  TDefs D;
  AddField(D.F, "ID", tftInteger);
  AddField(D.F, "UP", tftInteger);
  AddIndexDef(D.I, "PK", {"ID"}, true).SetPrimary(1);
  Create("T", D);
  auto T = Open("T", true);
  ASSERT_EQ(Post(*T, {1, std::nullopt}), 0);
  ASSERT_EQ(Post(*T, {2, 1}), 0);
  ASSERT_EQ(Post(*T, {3, 2}), 0);
  T->Cursor.SetFilter("ID > 1", false, false);
  TTolvanConstraintDefForeignKey Key;
  Key.SetName("TREE");
  Key.Table().SetName("T");
  Key.Columns().emplace_back("UP", 0);
  T->Cursor.AddForeignKey(Key);
  EXPECT_EQ(References("T"),
            (std::vector<std::string>{"TREE_Action>T:TREE", "TREE>T:TREE_Action"}));
}

// --- renaming and deleting ----------------------------------------------------------------------

TEST_F(ForeignKeys, RenamingATableRenamesEveryReferenceToIt) {
  CreateParent();
  CreateChild(0);
  {
    auto P = Open("P");
    ASSERT_EQ(Post(*P, {1, 1}), 0);
  }
  Cursor("P")->RenameTable("PARENT");
  EXPECT_EQ(References("C"), (std::vector<std::string>{"FK>PARENT:FK_Action"}));
  Cursor("C")->RenameTable("CHILD");
  EXPECT_EQ(References("PARENT"), (std::vector<std::string>{"FK_Action>CHILD:FK"}));
  auto C = Open("CHILD");
  EXPECT_EQ(Post(*C, {1, 1, 1}), 0);
  EXPECT_EQ(Post(*C, {2, 2, 2}), ErrCheckForeignKeyViolated);

  // A self-reference follows its own table.
  TDefs D;
  AddField(D.F, "ID", tftInteger);
  AddField(D.F, "UP", tftInteger);
  AddIndexDef(D.I, "PK", {"ID"}, true).SetPrimary(1);
  AddKey(D.C, "TREE", "T", {"UP"});
  Create("T", D);
  Cursor("T")->RenameTable("U");
  EXPECT_EQ(References("U"),
            (std::vector<std::string>{"TREE>U:TREE_Action", "TREE_Action>U:TREE"}));
}

TEST_F(ForeignKeys, TemporaryPrefixIsStrippedFromNames) {
  struct TCase {
    const char* Name;
    const char* Stripped;
  };
  const TCase Cases[] = {{"TolvanFKTNP_FK", "FK"},
                         {"tolvanfktnp_Fk_Action", "Fk_Action"},
                         {"FK", "FK"},
                         {"TolvanFKTNP", "TolvanFKTNP"},
                         {"", ""}};
  for (const TCase& Case : Cases)
    EXPECT_EQ(StripTemporaryFKName(Case.Name), Case.Stripped) << Case.Name;
  const TRaised R = RaisedBy([] { StripTemporaryFKName("TOLVANFKTNP_"); });
  EXPECT_EQ(R.Code, 11585);
  EXPECT_EQ(R.Message, EngineMessage("Invalid foreign key tempoaray name = TOLVANFKTNP_", 11585));

  // A rebuilt parent's final name drops the prefix from the keys that follow it.
  CreateParent("P");
  TDefs D;
  AddField(D.F, "X", tftInteger);
  AddField(D.F, "Y", tftInteger);
  AddKey(D.C, "TolvanFKTNP_FK", "P", {"X", "Y"});
  Create("C", D);
  Cursor("P")->RenameTable("Q");
  EXPECT_EQ(References("C"), (std::vector<std::string>{"FK>Q:FK_Action"}));
  EXPECT_EQ(References("Q"), (std::vector<std::string>{"FK_Action>C:FK"}));
}

TEST_F(ForeignKeys, DeletingATableDropsTheOtherHalvesOfItsKeys) {
  CreateParent();
  CreateChild(0);
  CreateChild(0, true, "D");
  EXPECT_EQ(RaisedBy([&] { Cursor("P")->DeleteTable(false); }).Code, ErrDeleteTableReferenced);
  EXPECT_EQ(RaisedBy([&] { Cursor("C")->DeleteTable(false); }).Code, ErrDeleteTableReferenced);
  Cursor("C")->DeleteTable(true);
  // D's action record took a name of its own beside C's.
  const std::vector<std::string> Left = References("P");
  ASSERT_EQ(Left.size(), 1u);
  EXPECT_EQ(Left[0].rfind("FK_Action", 0), 0u) << Left[0];
  EXPECT_EQ(Left[0].substr(Left[0].size() - 5), ">D:FK") << Left[0];
  Cursor("P")->DeleteTable(true);
  EXPECT_FALSE(Session->TableExists("P"));
  EXPECT_TRUE(References("D").empty());
  // D no longer needs a parent, and stands alone.
  auto Child = Open("D");
  EXPECT_EQ(Post(*Child, {1, 5, 5}), 0);
  Child.reset();
  Cursor("D")->DeleteTable(false);
  EXPECT_FALSE(Session->TableExists("D"));
}

} // namespace
