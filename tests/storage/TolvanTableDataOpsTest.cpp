#include "storage/TolvanTableData.h"

#include <gtest/gtest.h>

#include <string>

#include "foundation/TolvanStrUtils.h"
#include "foundation/TolvanStreams.h"
#include "tests/foundation/TestSupport.h"
#include "tests/storage/DatabaseTestSupport.h"
#include "tests/storage/PageAccounting.h"

using namespace tolvan;
using namespace tolvan::test;

namespace {

// P(ID primary, Name) is referenced; C1, C2, C3 (ID, PID, Note) may reference it.
class TableOps : public ::testing::Test {
protected:
  void SetUp() override {
    TTolvanFieldDefs Fields;
    AddField(Fields, "ID", tftInteger);
    AddField(Fields, "Name", tftVarchar, 20);
    TTolvanIndexDefs Indexes;
    AddIndexDef(Indexes, "PK_P", {"ID"}, true).SetPrimary(1);
    AddIndexDef(Indexes, "ByName", {"Name"});
    TTolvanConstraintDefs Constraints;
    auto& Primary = Constraints.AddPrimary();
    Primary.SetName("PK_P");
    Primary.Index().SetName("PK_P");
    Primary.Columns().emplace_back("ID", 0);
    Db.Create("P", Fields, Indexes, Constraints);
    for (const char* Name : {"C1", "C2", "C3"}) {
      TTolvanFieldDefs ChildFields;
      AddField(ChildFields, "ID", tftInteger);
      AddField(ChildFields, "PID", tftInteger);
      AddField(ChildFields, "Note", tftInteger);
      TTolvanIndexDefs None;
      TTolvanConstraintDefs NoConstraints;
      Db.Create(Name, ChildFields, None, NoConstraints);
    }
  }

  // Every definition operation leaves the page bookkeeping of every table sound.
  void TearDown() override { ExpectPagesSound(); }

  TTestTableData& T(std::string_view Name) { return Db.Table(Name); }
  TTolvanConstraintDefs& Defs(std::string_view Name) {
    return T(Name).ConstraintManager()->ConstraintDefs();
  }
  // Adds FK_<child> from the child's PID to P through a cursor of the child.
  void Reference(std::string_view Child, std::string_view Parent = "P") {
    TTolvanConstraintDefForeignKey Key;
    Key.SetName("FK_" + std::string(Child));
    Key.Table().SetName(Parent);
    Key.Columns().emplace_back("PID", 0);
    auto Cursor = Db.NewCursor(Child, &Db.Session);
    T(Child).AddForeignKey(*Cursor, Key);
  }
  void ExpectPagesSound() {
    for (const char* Name : {"P", "C1", "C2", "C3"})
      EXPECT_EQ(PageAccountingFaults(T(Name).Store()), "") << Name;
  }

  TFakeForeignKeys Keys;
  TTestDatabase Db;
};

TEST_F(TableOps, OpenCursorsRefuseAndNothingChanges) {
  auto Open = Db.NewCursor("P", &Db.Session);
  T("P").AttachCursor(*Open);
  TTestTableData& P = T("P");
  TTolvanMemoryStream S;
  struct TCase {
    const char* What;
    std::function<void()> Run;
    int32_t Code;
    const char* Text;
  };
  const TCase Cases[] = {
      {"delete", [&] { P.DeleteTable(&Db.Session, true, false); }, 20017,
       "Cannot delete table 'P'. Table is open by another dataset"},
      {"empty", [&] { P.EmptyTable(nullptr, true); }, 10072,
       "Cannot delete table 'P'. Table is open by another dataset"},
      {"rename", [&] { P.RenameTable(nullptr, "Q"); }, 10150,
       "Cannot rename table 'P'. Table is open by another dataset"},
      {"load", [&] { P.LoadFromStream(nullptr, S); }, 10152,
       "Cannot load table 'P'. Table is open by another dataset"},
      {"save", [&] { P.SaveToStream(S, caNone, 0, 0, false); }, 10153,
       "Cannot save table 'P'. Table is open by another dataset"},
  };
  for (const TCase& C : Cases) {
    SCOPED_TRACE(C.What);
    const ETolvanException E = Raised(C.Run);
    EXPECT_EQ(E.NativeError(), C.Code);
    EXPECT_EQ(std::string(E.what()), C.Text + (" - Native error: " + std::to_string(C.Code)));
    EXPECT_EQ(P.TableName(), "P");
    EXPECT_EQ(ConstraintNames(P), "PK_P");
    EXPECT_EQ(P.IndexManager()->IndexDefs().Count(), 2);
  }
  // Saving passes when the caller allows open cursors; deleting when it ignores them.
  EXPECT_NO_THROW(P.SaveToStream(S, caNone, 0, 0, true));
  EXPECT_FALSE(P.DeleteTable(&Db.Session, false, true));
  P.DetachCursor(*Open);
  EXPECT_NO_THROW(P.RenameTable(nullptr, "Q"));
  EXPECT_EQ(P.TableName(), "Q");
  EXPECT_EQ(P.TableNameHash(), NameHash("Q"));
}

TEST_F(TableOps, AddForeignKeyBindsBothEnds) {
  Reference("C1");
  const auto& Key = static_cast<const TTolvanConstraintDefForeignKey&>(Defs("C1").Items(0));
  EXPECT_EQ(Key.Name(), "FK_C1");
  EXPECT_EQ(Key.Columns()[0].ObjectID(), T("C1").FieldDefs()->Items(1).ObjectID());
  const auto& Action = static_cast<const TTolvanConstraintDefForeignKeyAction&>(
      *Defs("P").FindByName("FK_C1_Action"));
  EXPECT_EQ(Key.Partner(), TTolvanObjectRef("FK_C1_Action", Action.ObjectID()));
  EXPECT_EQ(Action.Table(), TTolvanObjectRef("C1", -1));
  EXPECT_EQ(Action.Partner(), TTolvanObjectRef("FK_C1", Key.ObjectID()));
  EXPECT_TRUE(Defs("C1").HasForeignKeys());
  EXPECT_TRUE(Defs("P").HasActions());
  EXPECT_FALSE(T("C1").ConstraintManager()->NoConstraints());
  EXPECT_EQ(Keys.Calls, (std::vector<std::string>{"Validate C1 -> P", "ExistingRows C1 -> P"}));
  EXPECT_EQ(Db.SideOpened, 1);
  EXPECT_EQ(Db.SideClosed, 1);
  EXPECT_TRUE(T("P").Cursors().empty());

  // The key takes part in later writes.
  auto Child = Db.NewCursor("C1", &Db.Session);
  Keys.ParentMissing = [](const TTolvanConstraintDefForeignKey&, const uint8_t*) { return true; };
  EXPECT_EQ(NativeCodeOf([&] {
              T("C1").CheckConstraints(*Child, 1, Child->Record(), nullptr, true, NewRecordID,
                                       false);
            }),
            11420);
}

TEST_F(TableOps, AddForeignKeyRefusalsChangeNothing) {
  Reference("C1");
  const std::string Before = ConstraintNames(T("P"));
  auto Cursor = Db.NewCursor("C1", &Db.Session);
  TTolvanConstraintDefForeignKey Key;
  Key.SetName("fk_c1");
  Key.Table().SetName("P");
  Key.Columns().emplace_back("PID", 0);
  ETolvanException E = Raised([&] { T("C1").AddForeignKey(*Cursor, Key); });
  EXPECT_EQ(E.NativeError(), 11588);
  EXPECT_EQ(std::string(E.what()), "Cannot create foreign key 'fk_c1' in table 'C1' - constraint "
                                   "with such name already exists - Native error: 11588");
  Key.SetName("FK2");
  Key.Columns().emplace_back("Nope", 0);
  E = Raised([&] { T("C1").AddForeignKey(*Cursor, Key); });
  EXPECT_EQ(E.NativeError(), 11587);
  EXPECT_EQ(std::string(E.what()), "Cannot create foreign key 'FK2' - column 'Nope' does not "
                                   "exist in table 'C1' - Native error: 11587");
  Key.Columns().pop_back();
  Keys.ExistingRowsFail = 11586;
  EXPECT_EQ(NativeCodeOf([&] { T("C1").AddForeignKey(*Cursor, Key); }), 11586);
  Keys.ExistingRowsFail = 0;
  Keys.ValidateFails = 11442;
  EXPECT_EQ(NativeCodeOf([&] { T("C1").AddForeignKey(*Cursor, Key); }), 11442);
  EXPECT_EQ(ConstraintNames(T("P")), Before);
  EXPECT_EQ(ConstraintNames(T("C1")), "FK_C1");
  // Every side cursor was closed, also on the failures.
  EXPECT_EQ(Db.SideOpened, Db.SideClosed);
  EXPECT_TRUE(T("P").Cursors().empty());
}

TEST_F(TableOps, AForcedPrimaryKeyDropTakesEveryReferenceWithIt) {
  Reference("C1");
  Reference("C2");
  Reference("C3");
  EXPECT_EQ(ConstraintNames(T("P")), "PK_P, FK_C1_Action, FK_C2_Action, FK_C3_Action");
  auto Cursor = Db.NewCursor("P", &Db.Session);
  const ETolvanException E =
      Raised([&] { T("P").DeleteConstraint(Cursor.get(), "pk_p", false, false); });
  EXPECT_EQ(E.NativeError(), 11483);
  EXPECT_EQ(std::string(E.what()),
            "Cannot delete constraint primary key 'PK_P' in table 'P' - "
            "foreign key(s) referencing this table exists - Native error: 11483");
  EXPECT_EQ(ConstraintNames(T("P")), "PK_P, FK_C1_Action, FK_C2_Action, FK_C3_Action");

  T("P").DeleteConstraint(Cursor.get(), "PK_P", true, false);
  EXPECT_EQ(ConstraintNames(T("P")), "");
  EXPECT_TRUE(T("P").ConstraintManager()->NoConstraints());
  EXPECT_FALSE(Defs("P").HasActions());
  EXPECT_EQ(T("P").IndexManager()->IndexDefs().FindByName("PK_P"), nullptr);
  EXPECT_NE(T("P").IndexManager()->IndexDefs().FindByName("ByName"), nullptr);
  for (const char* Child : {"C1", "C2", "C3"}) {
    EXPECT_EQ(ConstraintNames(T(Child)), "") << Child;
    EXPECT_FALSE(Defs(Child).HasForeignKeys());
  }
  EXPECT_EQ(Db.SideOpened, Db.SideClosed);
  ExpectPagesSound();
}

TEST_F(TableOps, AFailedCascadeKeepsWhatItRemovedElsewhere) {
  Reference("C1");
  Reference("C2");
  Reference("C3");
  T("C2").DeleteConstraint(nullptr, "FK_C2", false, true);
  auto Cursor = Db.NewCursor("P", &Db.Session);
  EXPECT_EQ(NativeCodeOf([&] { T("P").DeleteConstraint(Cursor.get(), "PK_P", true, false); }),
            11482);
  EXPECT_EQ(ConstraintNames(T("C1")), "");
  EXPECT_EQ(ConstraintNames(T("C3")), "FK_C3");
  EXPECT_EQ(ConstraintNames(T("P")), "PK_P, FK_C2_Action, FK_C3_Action");
  EXPECT_NE(T("P").IndexManager()->IndexDefs().FindByName("PK_P"), nullptr);
}

TEST_F(TableOps, DeletingOneHalfOfAForeignKeyTakesTheOther) {
  Reference("C1");
  Reference("C2");
  auto Cursor = Db.NewCursor("C1", &Db.Session);
  const ETolvanException E =
      Raised([&] { T("C1").DeleteConstraint(Cursor.get(), "Nope", false, false); });
  EXPECT_EQ(E.NativeError(), 11482);
  EXPECT_EQ(std::string(E.what()),
            "Error - constraint 'Nope' does not exist in table 'C1' - Native error: 11482");
  T("C1").DeleteConstraint(Cursor.get(), "FK_C1", false, false);
  EXPECT_EQ(ConstraintNames(T("C1")), "");
  EXPECT_EQ(ConstraintNames(T("P")), "PK_P, FK_C2_Action");
  // From the referenced side: the action takes the foreign key.
  T("P").DeleteConstraint(Cursor.get(), "FK_C2_Action", false, false);
  EXPECT_EQ(ConstraintNames(T("C2")), "");
  EXPECT_EQ(ConstraintNames(T("P")), "PK_P");
  // Without cascading only the named half goes.
  Reference("C3");
  T("C3").DeleteConstraint(nullptr, "FK_C3", false, true);
  EXPECT_EQ(ConstraintNames(T("P")), "PK_P, FK_C3_Action");
}

TEST_F(TableOps, DeleteTableUndoesItsForeignKeysElsewhere) {
  Reference("C1");
  const ETolvanException E = Raised([&] { T("C1").DeleteTable(&Db.Session, false, false); });
  EXPECT_EQ(E.NativeError(), 11481);
  EXPECT_EQ(std::string(E.what()),
            "Cannot delete table 'C1' - foreign key constraint(s) violated - Native error: 11481");
  EXPECT_EQ(NativeCodeOf([&] { T("P").DeleteTable(&Db.Session, false, false); }), 11481);
  EXPECT_EQ(ConstraintNames(T("P")), "PK_P, FK_C1_Action");
  EXPECT_FALSE(T("C1").DeleteTable(&Db.Session, true, false));
  EXPECT_EQ(ConstraintNames(T("P")), "PK_P");
  EXPECT_FALSE(Defs("C1").HasForeignKeys());
  EXPECT_EQ(Db.SideOpened, Db.SideClosed);
  // A side cursor that fails to close does not stop the drop.
  Reference("C2");
  Db.CloseFails = 10001;
  EXPECT_NO_THROW(T("C2").DeleteTable(&Db.Session, true, false));
  EXPECT_EQ(ConstraintNames(T("P")), "PK_P");
}

TEST_F(TableOps, AFailedDeleteTableKeepsWhatItRemovedElsewhere) {
  // C1 references P and C3.
  Reference("C1");
  TTolvanConstraintDefForeignKey Key;
  Key.SetName("FK_C1b");
  Key.Table().SetName("C3");
  Key.Columns().emplace_back("PID", 0);
  auto Cursor = Db.NewCursor("C1", &Db.Session);
  T("C1").AddForeignKey(*Cursor, Key);
  EXPECT_EQ(ConstraintNames(T("C3")), "FK_C1b_Action");
  // C3 loses its half behind C1's back: the drop fails there, after P's half went.
  Defs("C3").Delete(0);
  EXPECT_EQ(NativeCodeOf([&] { T("C1").DeleteTable(&Db.Session, true, false); }), 11482);
  EXPECT_EQ(ConstraintNames(T("P")), "PK_P");
  EXPECT_EQ(ConstraintNames(T("C1")), "FK_C1, FK_C1b");
}

TEST_F(TableOps, RenamingTablesAndTheirReferences) {
  T("C1").RenameTable(nullptr, "D1");
  EXPECT_TRUE(Keys.Calls.empty());
  Reference("C2");
  T("C2").RenameTable(nullptr, "D2");
  EXPECT_EQ(Keys.Calls.back(), "Rename C2 C2 -> D2");
  EXPECT_EQ(T("C2").TableName(), "D2");

  // The referenced side learns the new name; temporary prefixes go.
  auto& Action = static_cast<TTolvanConstraintDefForeignKeyAction&>(Defs("P").Items(1));
  Action.SetName("TolvanFKTNP_FK_C2_Action");
  Action.Partner().SetName("tolvanfktnp_FK_C2");
  T("P").RenameReferencedTable(1, "c2", "D2");
  EXPECT_EQ(Action.Table().Name(), "D2");
  EXPECT_EQ(Action.Name(), "FK_C2_Action");
  EXPECT_EQ(Action.Partner().Name(), "FK_C2");
  // A name that is only the prefix is refused, and nothing is renamed.
  Action.SetName("TolvanFKTNP_");
  EXPECT_EQ(NativeCodeOf([&] { T("P").RenameReferencedTable(1, "D2", "E2"); }), 11585);
  EXPECT_EQ(Action.Table().Name(), "D2");
}

TEST_F(TableOps, RenameFieldRefusals) {
  Reference("C1");
  struct TCase {
    const char* Table;
    const char* Old;
    const char* New;
    int32_t Code;
    std::string Text;
  };
  const TCase Cases[] = {
      {"P", "Nope", "X", 30343, "Field 'Nope' not found"},
      {"P", "ID", "name", 30344, "Cannot rename field 'ID'. Field 'name' already exists"},
      {"P", "ID", "X", 11489,
       "Cannot rename field 'ID' in table 'P' - index 'PK_P' includes this field"},
      {"P", "NAME", "X", 11489,
       "Cannot rename field 'NAME' in table 'P' - index 'ByName' includes this field"},
      {"C1", "pid", "X", 11488,
       "Cannot rename field 'pid' in table 'C1' - foreign key 'FK_C1' includes this field"},
  };
  for (const TCase& C : Cases) {
    SCOPED_TRACE(C.Old);
    const ETolvanException E = Raised([&] { T(C.Table).RenameField(nullptr, C.Old, C.New); });
    EXPECT_EQ(E.NativeError(), C.Code);
    EXPECT_EQ(std::string(E.what()), C.Text + " - Native error: " + std::to_string(C.Code));
  }
  EXPECT_EQ(T("P").FieldDefs()->Items(0).Name(), "ID");
  // Renamed, a not-null constraint follows its column, so binding it again still works.
  TTolvanConstraintDefs NotNull;
  NotNull.AddNotNull().Column().SetName("Note");
  T("C2").SetConstraintDefs(NotNull);
  T("C2").RenameField(nullptr, "Note", "Remark");
  EXPECT_EQ(T("C2").FieldDefs()->Items(2).Name(), "Remark");
  auto& Def = static_cast<TTolvanConstraintDefNotNull&>(Defs("C2").Items(0));
  EXPECT_EQ(Def.Column().Name(), "Remark");
  EXPECT_NO_THROW(T("C2").ConstraintManager()->ResolveAll());
}

TEST_F(TableOps, IndexesAndTheirConstraints) {
  TTestTableData& C = T("C1");
  auto Cursor = Db.NewCursor("C1", &Db.Session);
  Cursor->SetPosition({7, 0});
  Cursor->SetBof(false);
  TTolvanIndexDefs Given;
  AddIndexDef(Given, "PK_C", {"ID"}, true).SetPrimary(1);
  AddIndexDef(Given, "ByNote", {"Note"});
  AddIndexDef(Given, "U_PID", {"PID"}, true);
  for (int32_t I = 0; I < Given.Count(); ++I)
    C.AddIndex(Given.Items(I), Cursor.get());
  EXPECT_EQ(Cursor->Position().PageNo, 7);
  EXPECT_EQ(ConstraintNames(C), "PK_C, U_PID");
  EXPECT_EQ(Defs("C1").Items(0).ConstraintType(), tctPrimaryKey);
  EXPECT_EQ(Defs("C1").Items(1).ConstraintType(), tctUnique);
  const TTolvanIndexDefs& Indexes = C.IndexManager()->IndexDefs();
  C.DeleteIndex(Indexes.FindByName("ByNote")->ObjectID(), Cursor.get());
  EXPECT_EQ(ConstraintNames(C), "PK_C, U_PID");
  C.DeleteIndex(Indexes.FindByName("PK_C")->ObjectID(), Cursor.get());
  EXPECT_EQ(ConstraintNames(C), "U_PID");
  // Without a cursor too: a constraint whose index is gone would refuse every later write.
  C.DeleteIndex(Indexes.FindByName("U_PID")->ObjectID(), nullptr);
  EXPECT_EQ(ConstraintNames(C), "");
  EXPECT_TRUE(C.ConstraintManager()->NoConstraints());
  ExpectPagesSound();

  // A failing build leaves neither index nor constraint, and the pages sound.
  for (int32_t I = 0; I < 5; ++I) {
    Cursor->RecordBytes().assign(Cursor->RecordBytes().size(), 0);
    SetAllNull(Cursor->Record(), 3);
    SetFieldData(0, *C.FieldDefs(), &I, Cursor->Record());
    ASSERT_TRUE(C.InsertRecord(*Cursor));
  }
  int32_t Built = 0;
  Db.Hooks->BeforeOperation = [&](std::string_view Operation, int32_t) {
    if (Operation == "BuildKey" && ++Built == 3)
      throw ETolvanException(10001, "build failed");
  };
  EXPECT_EQ(NativeCodeOf([&] { C.AddIndex(Given.Items(0), Cursor.get()); }), 10001);
  Db.Hooks->BeforeOperation = nullptr;
  EXPECT_EQ(Indexes.Count(), 0);
  EXPECT_EQ(ConstraintNames(C), "");
  ExpectPagesSound();

  C.AddIndex(Given.Items(0), Cursor.get());
  C.AddIndex(Given.Items(1), Cursor.get());
  C.EmptyIndex(Indexes.Items(1).ObjectID(), 1);
  ExpectPagesSound();
  C.EmptyAllIndexes(1);
  ExpectPagesSound();
  C.DeleteAllIndexes(Cursor.get());
  EXPECT_EQ(Indexes.Count(), 0);
  EXPECT_EQ(ConstraintNames(C), "");
  ExpectPagesSound();
}

TEST_F(TableOps, CursorsSessionsAndTheScratchRecord) {
  TTestTableData& P = T("P");
  TTestSession Other(2);
  auto A = Db.NewCursor("P", &Db.Session);
  auto B = Db.NewCursor("P", &Db.Session);
  auto C = Db.NewCursor("P", &Other);
  EXPECT_EQ(P.ScratchRecord(), nullptr);
  P.AttachCursor(*A);
  EXPECT_TRUE(A->Opened());
  ASSERT_NE(P.ScratchRecord(), nullptr);
  P.AttachCursor(*B);
  P.AttachCursor(*C);
  EXPECT_EQ(P.Cursors().size(), 3u);
  P.IndexManager()->GetIndex(P.IndexManager()->IndexDefs().Items(0).ObjectID());

  const int32_t Clears = Db.Hooks->CacheClears;
  P.DetachCursor(*A); // B still holds session 1
  EXPECT_EQ(Db.Hooks->CacheClears, Clears);
  P.DetachCursor(*C); // session 2's last
  EXPECT_EQ(Db.Hooks->CacheClears, Clears + 1);
  EXPECT_NE(P.ScratchRecord(), nullptr);
  TTestCursor NoSession(nullptr, 8);
  const ETolvanException E = Raised([&] { P.DetachCursor(NoSession); });
  EXPECT_EQ(E.NativeError(), 11631);
  EXPECT_EQ(std::string(E.what()), "Nil pointer occured - Native error: 11631");
  P.DetachCursor(*B);
  EXPECT_EQ(Db.Hooks->CacheClears, Clears + 2);
  EXPECT_EQ(P.ScratchRecord(), nullptr);
  EXPECT_TRUE(P.Cursors().empty());

  P.BeginTableUse();
  P.BeginTableUse();
  P.EndTableUse();
  EXPECT_EQ(P.UseCount(), 1);
}

TEST_F(TableOps, ASelfReferenceIsDroppedCleanly) {
  // C1.PID references C1.ID through C1's own primary index.
  TTestTableData& C = T("C1");
  auto Cursor = Db.NewCursor("C1", &Db.Session);
  TTolvanIndexDefs Given;
  AddIndexDef(Given, "PK_C1", {"ID"}, true).SetPrimary(1);
  C.AddIndex(Given.Items(0), Cursor.get());
  Reference("C1", "C1");
  EXPECT_EQ(Db.SideOpened, 0);
  EXPECT_EQ(ConstraintNames(C), "PK_C1, FK_C1_Action, FK_C1");
  C.DeleteConstraint(Cursor.get(), "FK_C1", false, false);
  EXPECT_EQ(ConstraintNames(C), "PK_C1");
  EXPECT_FALSE(Defs("C1").HasActions());
  EXPECT_FALSE(Defs("C1").HasForeignKeys());

  // Forced primary-key drop and table drop with a self-reference open no side cursor either.
  Reference("C1", "C1");
  C.DeleteConstraint(Cursor.get(), "PK_C1", true, false);
  EXPECT_EQ(ConstraintNames(C), "");
  Reference("C1", "C1");
  EXPECT_FALSE(C.DeleteTable(&Db.Session, true, false));
  EXPECT_EQ(Db.SideOpened, 0);
  ExpectPagesSound();
}

TEST_F(TableOps, EmptyTableEmptiesTheIndexes) {
  TTestTableData& P = T("P");
  auto Cursor = Db.NewCursor("P", &Db.Session);
  for (int32_t I = 0; I < 4; ++I) {
    SetFieldData(0, *P.FieldDefs(), &I, Cursor->Record());
    ASSERT_TRUE(P.InsertRecord(*Cursor));
  }
  const int32_t Before = P.Store().AllocatedCount();
  P.EmptyTable(Cursor.get(), false);
  EXPECT_LT(P.Store().AllocatedCount(), Before);
  for (int32_t I = 0; I < 2; ++I)
    EXPECT_EQ(P.IndexManager()->IndexDefs().Items(I).RootPageNo(), -1);
  ExpectPagesSound();
}

} // namespace
