// ALTER TABLE keeps data: random ALTER steps over a table of a few thousand rows, with unique
// and plain indexes, an auto-increment, a BLOB and a NOT NULL column, and a child table whose
// foreign key references it, checked after every step against a model of the rows. Steps that
// must fail leave definitions, rows, indexes and keys as they were.
#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "classlib/DBDefs.h"
#include "classlib/DBFields.h"
#include "classlib/StringList.h"
#include "components/TolvanDefs.h"
#include "components/TolvanQuery.h"
#include "components/TolvanTable.h"
#include "foundation/TolvanExcept.h"
#include "sql/TolvanDDLTable.h"
#include "sql/TolvanSQLStartup.h"
#include "storage/TolvanDatabaseData.h"
#include "storage/memory/TolvanMemoryEngine.h"
#include "tests/sql/support/TestAOTables.h"
#include "tests/storage/MemoryEngineTestSupport.h"

namespace tolvan::test {
namespace {

constexpr int32_t Rows = 2000;
constexpr int Steps = 40;

// The model: per id, each column's value as text (absent: NULL).
using TRow = std::map<std::string, std::optional<std::string>>;

class DDLAlterModelSlow : public AOTest {
protected:
  DDLAlterModelSlow() { InitSQLLayer(); }

  void SetUp() override {
    Exec("CREATE TABLE m (id AUTOINC, code INTEGER NOT NULL UNIQUE, name VARCHAR(20), data BLOB, "
         "PRIMARY KEY pk (id))");
    Exec("CREATE TABLE c (cid INTEGER, mid INTEGER, FOREIGN KEY fkc (mid) REFERENCES m ON DELETE "
         "CASCADE)");
    {
      TComponentPtr<TTolvanTable> T = Table("m");
      T->AddIndex("ByName", "name", 0);
    }
    TComponentPtr<TTolvanTable> M = Table("m");
    M->Open();
    for (int32_t I = 1; I <= Rows; ++I) {
      M->Append();
      M->FieldByName("code").SetAsInteger(I * 37);
      if (I % 5 != 0)
        M->FieldByName("name").SetAsString("n" + std::to_string(I % 97));
      if (I % 3 == 0)
        M->FieldByName("data").SetAsString(std::string(size_t(I % 50 + 1), char('a' + I % 26)));
      M->Post();
      TRow Row;
      Row["id"] = std::to_string(I);
      Row["code"] = std::to_string(I * 37);
      Row["name"] =
          I % 5 != 0 ? std::optional<std::string>("n" + std::to_string(I % 97)) : std::nullopt;
      Row["data"] =
          I % 3 == 0
              ? std::optional<std::string>(std::string(size_t(I % 50 + 1), char('a' + I % 26)))
              : std::nullopt;
      Model[I] = Row;
    }
    M->Close();
    // Two children per parent: cid is unique and names a parent too, mid repeats.
    for (int32_t I = 1; I <= Rows; I += 7)
      for (int32_t K = 0; K < 2; ++K)
        Exec("INSERT INTO c VALUES (" + std::to_string(I + K) + ", " + std::to_string(I) + ")");
    Columns = {"id", "code", "name", "data"};
  }

  static void Exec(const std::string& SQL) {
    TComponentPtr<TTolvanQuery> Q = MakeComponent<TTolvanQuery>();
    Q->SetDatabaseName("MEMORY");
    Q->SetSQLText(SQL);
    Q->ExecSQL();
  }

  static TComponentPtr<TTolvanTable> Table(const std::string& Name) {
    TComponentPtr<TTolvanTable> T = MakeComponent<TTolvanTable>();
    T->SetInMemory(true);
    T->SetTableName(Name);
    return T;
  }

  // The table's rows, by id, each column by name.
  std::map<int32_t, TRow> Stored() {
    TComponentPtr<TTolvanTable> T = Table(Name);
    T->Open();
    std::map<int32_t, TRow> Out;
    for (T->First(); !T->Eof(); T->Next()) {
      TRow Row;
      for (int32_t F = 0; F < T->Fields().Count(); ++F) {
        TField& Field = T->Fields()[F];
        Row[Field.FieldName()] =
            Field.IsNull() ? std::nullopt : std::optional<std::string>(Field.AsString());
      }
      Out[T->FieldByName("id").AsInteger()] = Row;
    }
    T->Close();
    return Out;
  }

  // Indexes and keys as text, to compare before and after a failing step.
  std::string Definitions() {
    TComponentPtr<TTolvanTable> T = Table(Name);
    T->Open();
    T->Close();
    std::string Out;
    for (int32_t I = 0; I < T->StoredAdvFieldDefs().Count(); ++I) {
      const TTolvanAdvFieldDef& D = T->StoredAdvFieldDefs().Items(I);
      Out += D.Name() + ":" + std::to_string(D.FieldType()) + ":" + std::to_string(D.Size()) + ":" +
             std::to_string(D.Required()) + ";";
    }
    for (int32_t I = 0; I < T->IndexDefs().Count(); ++I)
      Out += "ix " + T->IndexDefs().Items(I).Name() + "(" + T->IndexDefs().Items(I).Fields() + ");";
    TComponentPtr<TTolvanTable> C = Table("c");
    C->Open();
    Out += "children " + std::to_string(C->RecordCount()) + ";";
    C->Close();
    return Out + ChildKeys();
  }

  std::string ChildKeys() {
    TComponentPtr<TTolvanTable> C = Table("c");
    C->Open();
    C->Close();
    std::string Out;
    for (int32_t I = 0; I < C->ForeignKeyDefs().Count(); ++I) {
      const TTolvanForeignKeyDef& K = *C->ForeignKeyDefs().Items(I);
      Out += "fk " + K.Name() + "(" + K.FieldList() + ")->" + K.ReferenceTableName() + ";";
    }
    return Out;
  }

  void CheckAgainstModel(const std::string& Step) {
    SCOPED_TRACE(Step);
    const std::map<int32_t, TRow> Now = Stored();
    ASSERT_EQ(Now.size(), Model.size());
    for (const auto& [Id, Row] : Model) {
      const auto It = Now.find(Id);
      ASSERT_NE(It, Now.end()) << Id;
      ASSERT_EQ(It->second.size(), Row.size()) << Id;
      for (const auto& [Column, Value] : Row) {
        const auto Found = It->second.find(Column);
        ASSERT_NE(Found, It->second.end()) << Column;
        ASSERT_EQ(Found->second, Value) << Id << " " << Column;
      }
    }
    // The child's key keeps its name and follows the table's name.
    EXPECT_NE(ChildKeys().find("fk fkc(mid)->" + Name + ";"), std::string::npos) << ChildKeys();
    EXPECT_EQ(ChildKeys().find("TolvanFKTNP_"), std::string::npos) << ChildKeys();
    TTolvanDatabaseData* Memory = FindDatabaseData(true, false, "MEMORY", u"");
    ASSERT_NE(Memory, nullptr);
    TStringList Names;
    Memory->GetTableNames(Names);
    for (int32_t I = 0; I < Names.Count(); ++I) {
      EXPECT_FALSE(Names.Strings(I).starts_with("TEMP_TABLE_")) << Names.Strings(I);
      auto* Data = dynamic_cast<TTolvanMemoryTableData*>(Memory->FindTableData(Names.Strings(I)));
      ASSERT_NE(Data, nullptr) << Names.Strings(I);
      EXPECT_EQ(MemoryTableFaults(*Data, 0), "") << Names.Strings(I);
    }
  }

  // A step that must fail: 30265 carrying the inner text, and nothing changed.
  void ExpectFailingStep(const std::string& SQL, const std::string& Inner) {
    SCOPED_TRACE(SQL);
    const std::string Before = Definitions();
    try {
      Exec(SQL);
      ADD_FAILURE() << "the step succeeded";
    } catch (const ETolvanException& E) {
      EXPECT_EQ(E.NativeError(), ErrDDLAlterFailed);
      EXPECT_TRUE(E.Message().starts_with("Error altering teble: '")) << E.Message();
      EXPECT_NE(E.Message().find(Inner), std::string::npos) << E.Message();
    }
    EXPECT_EQ(Definitions(), Before);
    CheckAgainstModel(SQL);
  }

  std::map<int32_t, TRow> Model;
  std::vector<std::string> Columns;
  std::string Name = "m";
  int Added = 0;
};

TEST_F(DDLAlterModelSlow, RandomStepsKeepRowsIndexesAndKeys) {
  std::mt19937 Random(20261211);
  CheckAgainstModel("start");
  // Columns the steps added, and whether each is an integer (else a text) column.
  std::vector<std::pair<std::string, bool>> Extra;
  bool ExtraKey = false;
  int Failures = 0;
  for (int Step = 0; Step < Steps; ++Step) {
    const int Kind = int(Random() % 8);
    std::string SQL;
    if (Kind == 0 || Extra.empty()) {
      const std::string Column = "x" + std::to_string(++Added);
      const bool WithDefault = Random() % 2 == 0;
      SQL = "ALTER TABLE " + Name + " ADD (" + Column + " INTEGER" +
            (WithDefault ? " DEFAULT " + std::to_string(Added * 11) : std::string()) + ")";
      Exec(SQL);
      for (auto& [Id, Row] : Model)
        Row[Column] =
            WithDefault ? std::optional<std::string>(std::to_string(Added * 11)) : std::nullopt;
      Extra.push_back({Column, true});
    } else if (Kind == 1) {
      const size_t Pick = Random() % Extra.size();
      SQL = "ALTER TABLE " + Name + " DROP COLUMN " + Extra[Pick].first;
      Exec(SQL);
      for (auto& [Id, Row] : Model)
        Row.erase(Extra[Pick].first);
      Extra.erase(Extra.begin() + std::ptrdiff_t(Pick));
    } else if (Kind == 2) {
      // Widen (an integer to a large integer) or retype (to text): the values stay.
      auto& [Column, Integer] = Extra[Random() % Extra.size()];
      SQL = "ALTER TABLE " + Name + " MODIFY (" + Column +
            (Integer ? " LARGEINT" : " VARCHAR(30)") + ")";
      Exec(SQL);
      if (Integer && Random() % 2 == 0) {
        SQL = "ALTER TABLE " + Name + " ALTER (" + Column + " VARCHAR(30))";
        Exec(SQL);
        Integer = false;
      }
    } else if (Kind == 3) {
      auto& [Column, Integer] = Extra[Random() % Extra.size()];
      const std::string NewName = "r" + std::to_string(++Added);
      SQL = "ALTER TABLE " + Name + " RENAME COLUMN " + Column + " TO " + NewName;
      Exec(SQL);
      for (auto& [Id, Row] : Model) {
        Row[NewName] = Row[Column];
        Row.erase(Column);
      }
      Column = NewName;
    } else if (Kind == 4) {
      const std::string NewName = Name == "m" ? "m2" : "m";
      SQL = Random() % 2 ? "ALTER TABLE " + Name + " RENAME TO " + NewName
                         : "RENAME TABLE " + Name + " TO " + NewName;
      Exec(SQL);
      Name = NewName;
    } else if (Kind == 5 && !ExtraKey) {
      SQL = "ALTER TABLE c ADD FOREIGN KEY fkx (cid) REFERENCES " + Name;
      Exec(SQL);
      ExtraKey = true;
    } else if (Kind == 5) {
      SQL =
          "ALTER TABLE c DROP CONSTRAINT fkx " + std::string(Random() % 2 ? "CASCADE" : "RESTRICT");
      Exec(SQL);
      ExtraKey = false;
    } else if (Kind == 6) {
      // A primary key on a copy of the key column, then dropped again by its name.
      SQL = "ALTER TABLE c ADD PRIMARY KEY cpk (cid)";
      Exec(SQL);
      Exec("ALTER TABLE c DROP CONSTRAINT cpk");
    } else {
      // The four failing steps in turn.
      const int Failing = Failures++ % 4;
      if (Failing == 0)
        ExpectFailingStep("ALTER TABLE " + Name + " ADD (nn INTEGER NOT NULL)",
                          "Native error: 30347");
      else if (Failing == 1)
        ExpectFailingStep("ALTER TABLE " + Name + " MODIFY (code SMALLINT)", "Native error: 30347");
      else if (Failing == 2)
        ExpectFailingStep("ALTER TABLE c ADD PRIMARY KEY (mid)", "Native error: 30347");
      else
        ExpectFailingStep("ALTER TABLE " + Name + " DROP name", "Native error: 30347");
      continue;
    }
    CheckAgainstModel(SQL);
    if (HasFatalFailure())
      return;
  }
}

} // namespace
} // namespace tolvan::test
