// The table component's operations on the stored table: create, delete, rename, foreign keys,
// save and load, the index operations, and what each holds and gives back.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "classlib/ByteOrder.h"
#include "classlib/DBFields.h"
#include "components/TolvanDefs.h"
#include "components/TolvanSession.h"
#include "components/TolvanTable.h"
#include "foundation/TolvanExcept.h"
#include "foundation/TolvanStreams.h"
#include "tests/components/ComponentTestSupport.h"
#include "tests/foundation/TestSupport.h"

using namespace tolvan;
using namespace tolvan::test;

namespace {

class TableOperationsTest : public ComponentTest {
protected:
  // An ownerless table component on Name.
  TTolvanTable& Table(std::string_view Name) {
    Owned.push_back(Own(NewComponent<TTolvanTable>(nullptr)));
    Owned.back()->SetTableName(Name);
    return *Owned.back();
  }

  // Table Name: ID integer primary key, Name varchar(20), Parent integer; Rows rows with
  // ID 1..Rows, Name "N<id>" and Parent null.
  TTolvanTable& MakeTable(std::string_view Name, int32_t Rows = 0) {
    TTolvanTable& T = Table(Name);
    T.FieldDefs().Add("ID", ftInteger, 0, true);
    T.FieldDefs().Add("Name", ftString, 20);
    T.FieldDefs().Add("Parent", ftInteger);
    T.IndexDefs().Add("PK", "ID", ixPrimary);
    T.CreateTable();
    if (Rows > 0) {
      T.Open();
      for (int32_t I = 1; I <= Rows; ++I)
        AppendRow(T, I, "N" + std::to_string(I));
      T.Close();
    }
    return T;
  }

  static void AppendRow(TTolvanTable& T, int32_t Id, const std::string& Name, int32_t Parent = 0) {
    T.Append();
    T.FieldByName("ID").SetAsInteger(Id);
    T.FieldByName("Name").SetAsString(Name);
    if (Parent)
      T.FieldByName("Parent").SetAsInteger(Parent);
    T.Post();
  }

  // The rows of table Name as "id:name" in primary-key order, read through a component of its
  // own.
  std::vector<std::string> Rows(std::string_view Name) {
    TTolvanTable& T = Table(Name);
    T.Open();
    std::vector<std::string> Out;
    for (T.First(); !T.Eof(); T.Next())
      Out.push_back(T.FieldByName("ID").AsString() + ":" + T.FieldByName("Name").AsString());
    T.Close();
    return Out;
  }

  bool TableExists(std::string_view Name) { return Table(Name).Exists(); }

  // A foreign key Child(Parent) -> Referenced, with these actions.
  static TTolvanForeignKeyDef Key(std::string_view Name, std::string_view Referenced,
                                  TTolvanForeignKeyAction OnDelete = tfaRestrict) {
    TTolvanForeignKeyDef Def;
    Def.SetName(Name);
    Def.SetFieldList("Parent");
    Def.SetReferenceTableName(Referenced);
    Def.SetDeleteAction(OnDelete);
    return Def;
  }

  // Nothing of an operation stays held: no use reason, no database of the default session.
  static void ExpectReleased(const TTolvanTable& T) {
    EXPECT_EQ(T.DatabaseUse(), 0);
    EXPECT_EQ(T.Database(), nullptr);
    EXPECT_EQ(DefaultSession()->DatabaseCount(), 0);
  }

  std::vector<TComponentPtr<TTolvanTable>> Owned;
};

std::string MessageOf(const std::function<void()>& Fn) {
  try {
    Fn();
  } catch (const std::exception& E) {
    return E.what();
  }
  return "";
}

// --- create ------------------------------------------------------------------------------------

TEST_F(TableOperationsTest, CreateDerivesOrRebuildsDefinitionsAndReplacesATableOfTheName) {
  // Framework definitions only: the extended ones are derived from them.
  TTolvanTable& A = Table("Items");
  A.FieldDefs().Add("ID", ftInteger, 0, true);
  A.FieldDefs().Add("Title", ftString, 30);
  A.CreateTable();
  ExpectReleased(A);
  ASSERT_EQ(A.AdvFieldDefs().Count(), 2);
  EXPECT_EQ(A.AdvFieldDefs().Items(1).Name(), "Title");
  EXPECT_EQ(A.AdvFieldDefs().Items(1).Size(), 30);
  EXPECT_TRUE(A.AdvFieldDefs().Items(0).Required());
  A.Open();
  A.Append();
  A.FieldByName("ID").SetAsInteger(1);
  A.Post();
  A.Close();

  // Both kinds filled: the extended definitions win and the framework's are rebuilt; the table
  // of the name is replaced, rows and all.
  TTolvanTable& B = Table("Items");
  B.FieldDefs().Add("Stale", ftInteger);
  B.AdvFieldDefs().Add("ID", tftInteger, 0, true);
  B.AdvFieldDefs().Add("Label", tftVarchar, 10, false);
  B.CreateTable();
  ExpectReleased(B);
  ASSERT_EQ(B.FieldDefs().Count(), 2);
  EXPECT_EQ(B.FieldDefs().Items(1).Name(), "Label");

  TTolvanTable& Check = Table("Items");
  Check.Open();
  EXPECT_EQ(Check.RecordCount(), 0);
  EXPECT_NE(Check.FindField("Label"), nullptr);
  EXPECT_EQ(Check.FindField("Title"), nullptr);
  EXPECT_EQ(Check.FindField("Stale"), nullptr);
  // NOT NULL came along from the required flag.
  Check.Append();
  Check.FieldByName("Label").SetAsString("no id");
  EXPECT_ANY_THROW(Check.Post());
  Check.Cancel();
}

TEST_F(TableOperationsTest, ATemporaryTableTakesTheNameTheEngineGaveIt) {
  TTolvanTable& T = Table("Scratch");
  T.SetTemporary(true);
  T.FieldDefs().Add("ID", ftInteger, 0, true);
  T.CreateTable();
  ExpectReleased(T);
  EXPECT_NE(T.TableName(), "Scratch");
  EXPECT_TRUE(T.Exists()) << "the create's cursor leaves it in place";
  T.Open();
  T.Append();
  T.FieldByName("ID").SetAsInteger(1);
  T.Post();
  EXPECT_EQ(T.RecordCount(), 1);
  T.Close();
}

// --- delete, rename, foreign keys --------------------------------------------------------------

TEST_F(TableOperationsTest, ForeignKeysRefuseDeleteWithoutForceAndFollowARename) {
  MakeTable("P", 3);
  TTolvanTable& C = MakeTable("C");
  EXPECT_EQ(MessageOf([&] { Table("Nope").AddForeignKey(Key("FK", "P")); }),
            "Table 'Nope' does not exist");
  C.AddForeignKey(Key("FK_C_P", "P"));
  ExpectReleased(C);
  C.Open();
  AppendRow(C, 1, "ok", 2);
  C.Append();
  C.FieldByName("ID").SetAsInteger(2);
  C.FieldByName("Parent").SetAsInteger(99);
  EXPECT_ANY_THROW(C.Post()) << "the key is enforced";
  C.Cancel();
  C.Close();

  // A rename carries the reference along.
  TTolvanTable& P = Table("P");
  P.RenameTable("Q");
  ExpectReleased(P);
  EXPECT_EQ(P.TableName(), "Q");
  EXPECT_FALSE(TableExists("P"));
  C.ForeignKeyDefs().Clear();
  C.Open();
  ASSERT_EQ(C.ForeignKeyDefs().Count(), 1);
  EXPECT_EQ(C.ForeignKeyDefs().Items(0)->ReferenceTableName(), "Q");
  C.Close();

  EXPECT_EQ(NativeCodeOf([&] { P.DeleteTable(false); }), 11481);
  ExpectReleased(P);
  EXPECT_TRUE(TableExists("Q"));
  P.DeleteTable(true);
  ExpectReleased(P);
  EXPECT_FALSE(TableExists("Q"));
  C.Open();
  EXPECT_EQ(C.ForeignKeyDefs().Count(), 0) << "the forced delete undid the child's key";
  C.Close();
  EXPECT_EQ(NativeCodeOf([&] { P.DeleteTable(true); }), 10027);
  ExpectReleased(P);
}

TEST_F(TableOperationsTest, DropConstraintAndRenameField) {
  MakeTable("P", 2);
  TTolvanTable& C = MakeTable("C");
  C.AddForeignKey(Key("FK_C_P", "P"));
  EXPECT_NE(NativeCodeOf([&] { C.DropConstraint("Nope", false); }), 0);
  ExpectReleased(C);
  C.DropConstraint("FK_C_P", false);
  ExpectReleased(C);
  C.Open();
  EXPECT_EQ(C.ForeignKeyDefs().Count(), 0);
  AppendRow(C, 1, "free", 99);
  C.Close();
  EXPECT_EQ(MessageOf([&] { Table("Nope").DropConstraint("X", false); }),
            "Table 'Nope' does not exist");

  C.RenameField("Name", "Label");
  ExpectReleased(C);
  C.Open();
  EXPECT_EQ(C.FieldByName("Label").AsString(), "free");
  C.Close();
  // A column of an index cannot be renamed.
  EXPECT_EQ(NativeCodeOf([&] { C.RenameField("ID", "Key"); }), 11489);
  ExpectReleased(C);
}

// --- save and load -----------------------------------------------------------------------------

TEST_F(TableOperationsTest, SaveMapsTheCompressionCodeAndLoadRestoresTheTableUnderItsName) {
  MakeTable("P", 40);
  const std::vector<std::string> Before = Rows("P");
  TTolvanTable& P = Table("P");

  // The header (algorithm at 40, level at 41, the option or compressed size at 36, the name
  // length at 42), the name, the object-id counter, then the body.
  struct Saved {
    std::vector<uint8_t> Bytes;
    size_t Body() const { return 43 + Bytes[42] + 8; }
  };
  auto Save = [&](uint8_t Code, uint8_t Level, int32_t Option) {
    TVectorStream S;
    P.SaveToStream(S, Code, Level, Option);
    ExpectReleased(P);
    return Saved{S.Data};
  };
  const Saved Plain = Save(7, 0, 1234);
  ASSERT_GT(Plain.Bytes.size(), 60u);
  EXPECT_EQ(std::memcmp(Plain.Bytes.data(), "ACS1", 4), 0);
  EXPECT_EQ(Plain.Bytes[40], 0) << "code 7 writes no compression";
  EXPECT_EQ(LoadLE<int32_t>(&Plain.Bytes[36]), 1234);
  EXPECT_EQ(std::string(Plain.Bytes.begin() + 43, Plain.Bytes.begin() + 44), "P");
  const std::vector<uint8_t> PlainBody(Plain.Bytes.begin() + Plain.Body(), Plain.Bytes.end());

  // zlib's own inflate gives the uncompressed body back.
  const Saved Zlib = Save(1, 6, 0);
  EXPECT_EQ(Zlib.Bytes[40], 1);
  EXPECT_EQ(Zlib.Bytes[41], 6);
  EXPECT_EQ(LoadLE<int64_t>(&Zlib.Bytes[20]), int64_t(PlainBody.size()));
  std::vector<uint8_t> Inflated(PlainBody.size());
  uLongf InflatedSize = uLongf(Inflated.size());
  ASSERT_EQ(uncompress(Inflated.data(), &InflatedSize, Zlib.Bytes.data() + Zlib.Body(),
                       uLong(Zlib.Bytes.size() - Zlib.Body())),
            Z_OK);
  EXPECT_EQ(Inflated, PlainBody);

  // Every code round-trips; loading renames the component to the stored name.
  const struct {
    uint8_t Code;
    uint8_t Algorithm;
  } Codes[] = {{0, 0}, {1, 1}, {2, 2}, {3, 3}, {4, 0}, {255, 0}};
  for (const auto& C : Codes) {
    SCOPED_TRACE(int(C.Code));
    TVectorStream S(Save(C.Code, 5, 0).Bytes);
    EXPECT_EQ(S.Data[40], C.Algorithm);
    P.DeleteTable(true);
    TTolvanTable& Loader = Table("Other");
    Loader.LoadFromStream(S);
    ExpectReleased(Loader);
    EXPECT_EQ(Loader.TableName(), "P");
    EXPECT_FALSE(TableExists("Other"));
    EXPECT_EQ(Rows("P"), Before);
  }

  // A stream that is cut short changes nothing and holds nothing.
  TVectorStream Cut(std::vector<uint8_t>(Plain.Bytes.begin(), Plain.Bytes.end() - 5));
  TTolvanTable& Loader = Table("Other");
  EXPECT_ANY_THROW(Loader.LoadFromStream(Cut));
  ExpectReleased(Loader);
  EXPECT_EQ(Loader.TableName(), "Other");
  EXPECT_EQ(Rows("P"), Before);
}

// --- the frame ---------------------------------------------------------------------------------

TEST_F(TableOperationsTest, EachOperationRaisesItsCodeWhenNoCursorCanBeMade) {
  TVectorStream S;
  const struct {
    const char* Name;
    std::function<void(TTolvanTable&)> Run;
    int32_t Code;
  } Cases[] = {
      {"create", [](TTolvanTable& T) { T.CreateTable(); }, 10919},
      {"delete", [](TTolvanTable& T) { T.DeleteTable(false); }, 10920},
      {"rename", [](TTolvanTable& T) { T.RenameTable("X"); }, 10922},
      {"load", [&](TTolvanTable& T) { T.LoadFromStream(S); }, 10923},
      {"save", [&](TTolvanTable& T) { T.SaveToStream(S, 0, 0, 0); }, 10924},
      {"rename field", [](TTolvanTable& T) { T.RenameField("A", "B"); }, 10959},
      {"add foreign key", [](TTolvanTable& T) { T.AddForeignKey(Key("FK", "P")); }, 11580},
      {"drop constraint", [](TTolvanTable& T) { T.DropConstraint("FK", false); }, 11579},
  };
  // While its owner is being created, a table whose database cannot open holds none.
  auto Form = MakeComponent<TComponent>();
  Form->BeginLoading();
  auto* T = NewComponent<TTolvanTable>(Form.get());
  T->SetSessionName("NoSuchSession");
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Name);
    try {
      C.Run(*T);
      ADD_FAILURE() << "no failure";
    } catch (const ETolvanException& E) {
      EXPECT_EQ(E.NativeError(), C.Code);
      EXPECT_EQ(std::string(E.what()).rfind("Error - cannot create cursor", 0), 0u);
    }
    EXPECT_EQ(T->DatabaseUse(), 0);
  }
  Form->EndLoading();
}

TEST_F(TableOperationsTest, ReadOnlyDatabaseRefusesCreateDeleteAndRename) {
  MakeTable("P", 2);
  auto Db = Own(TTolvanDatabase::Create(nullptr));
  Db->SetReadOnly(true);
  TTolvanTable& P = Table("P");
  const std::function<void()> Refused[] = {[&] { P.CreateTable(); }, [&] { P.DeleteTable(true); },
                                           [&] { P.RenameTable("Q"); }};
  for (const auto& Run : Refused) {
    EXPECT_EQ(MessageOf(Run), "Error - database is in read only mode");
    EXPECT_EQ(P.DatabaseUse(), 0);
  }
  EXPECT_EQ(Db->UseCount(), 0);
  EXPECT_EQ(P.TableName(), "P");
  // Reading the table is not refused.
  TVectorStream S;
  P.SaveToStream(S, 0, 0, 0);
  EXPECT_GT(S.Data.size(), 0u);
  Db.reset();
  EXPECT_EQ(Rows("P"), (std::vector<std::string>{"1:N1", "2:N2"}));
}

// --- indexes -----------------------------------------------------------------------------------

TEST_F(TableOperationsTest, IndexesOnAClosedAndAnOpenTable) {
  TTolvanTable& P = MakeTable("P");
  P.Open();
  for (int32_t I = 1; I <= 5; ++I)
    AppendRow(P, I, "N" + std::to_string(10 - I), 6 - I);
  P.Close();

  // Closed: opened exclusively for the operation, Exclusive restored afterwards.
  P.AddIndex("ByName", "Name", 0);
  EXPECT_FALSE(P.Exclusive());
  ExpectReleased(P);
  P.IndexDefs().Update();
  EXPECT_GE(P.IndexDefs().IndexOf("ByName"), 0);
  TTolvanTable& ByName = Table("P");
  ByName.SetIndexName("ByName");
  ByName.Open();
  std::vector<std::string> Names;
  for (ByName.First(); !ByName.Eof(); ByName.Next())
    Names.push_back(ByName.FieldByName("Name").AsString());
  ByName.Close();
  EXPECT_EQ(Names, (std::vector<std::string>{"N5", "N6", "N7", "N8", "N9"}));

  // Open and in memory: the open cursor is used and the definitions follow.
  P.Open();
  P.Next();
  P.AddIndex("ByParent", "Parent", ixDescending);
  EXPECT_TRUE(P.Active());
  EXPECT_GE(P.IndexDefs().IndexOf("ByParent"), 0);
  EXPECT_EQ(P.DatabaseUse(), 1) << "only the open cursor's reason stays";
  P.DeleteIndex("ByParent");
  EXPECT_LT(P.IndexDefs().IndexOf("ByParent"), 0);
  P.Close();
  P.DeleteIndex("ByName");
  ExpectReleased(P);
  P.IndexDefs().Update();
  EXPECT_LT(P.IndexDefs().IndexOf("ByName"), 0);

  // The table checks name and fields itself before the conversion does.
  const struct {
    const char* Name;
    const char* Fields;
    int32_t Code;
  } Refused[] = {
      {"", "Name", 20046},  {"", "", 20046},       {"X", "", 20047},
      {"X", "Nope", 20050}, {"PK", "Name", 20022},
  };
  for (const auto& R : Refused) {
    SCOPED_TRACE(R.Name + std::string("/") + R.Fields);
    EXPECT_EQ(NativeCodeOf([&] { P.AddIndex(R.Name, R.Fields, 0); }), R.Code);
    EXPECT_FALSE(P.Exclusive());
    ExpectReleased(P);
  }
  EXPECT_NE(NativeCodeOf([&] { P.DeleteIndex("Nope"); }), 0);
  ExpectReleased(P);
}

} // namespace
