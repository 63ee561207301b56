// Restructuring a table against a model of its rows: columns added, dropped and retyped while
// auto-increment values, foreign keys of other tables and cascades survive; a failure at every
// step leaves the database as it was (or, once the original is gone, the data in the copy).
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <functional>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "classlib/DBFields.h"
#include "classlib/DataLinks.h"
#include "classlib/Format.h"
#include "classlib/StringList.h"
#include "classlib/SysUtils.h"
#include "components/TolvanDefs.h"
#include "components/TolvanTable.h"
#include "foundation/TolvanExcept.h"
#include "foundation/TolvanMessages.h"
#include "storage/TolvanDatabaseData.h"
#include "tests/components/ComponentTestSupport.h"
#include "tests/foundation/TestSupport.h"

using namespace tolvan;
using namespace tolvan::test;

namespace {

// One row of table M as the model keeps it.
struct TRow {
  int32_t Code = 0;
  std::string Name;
  std::optional<std::string> Data;
  int32_t Parent = 0; // 0: null
};

// Installs a fault hook for one scope.
class THookScope {
public:
  explicit THookScope(TTolvanTable::TRestructureFaultHook Hook) {
    TTolvanTable::SetRestructureFaultHook(std::move(Hook));
  }
  ~THookScope() { TTolvanTable::SetRestructureFaultHook(nullptr); }
  THookScope(const THookScope&) = delete;
  THookScope& operator=(const THookScope&) = delete;
};

TTolvanTable::TRestructureFaultHook FailAt(TTolvanRestructureStep Failing,
                                           bool NotAnException = false) {
  return [Failing, NotAnException](TTolvanRestructureStep Step) {
    if (Step != Failing)
      return;
    if (NotAnException)
      throw std::runtime_error("not an Exception");
    throw Exception("injected");
  };
}

class RestructureTest : public ComponentTest {
protected:
  // Rows of M; the model test uses a few thousand, the failure tests fewer.
  int32_t RowCount = 500;

  TTolvanTable& Table(std::string_view Name) {
    Owned.push_back(Own(NewComponent<TTolvanTable>(nullptr)));
    Owned.back()->SetTableName(Name);
    return *Owned.back();
  }

  static TTolvanForeignKeyDef Key(std::string_view Name, std::string_view Fields,
                                  std::string_view Referenced, TTolvanForeignKeyAction OnDelete) {
    TTolvanForeignKeyDef Def;
    Def.SetName(Name);
    Def.SetFieldList(Fields);
    Def.SetReferenceTableName(Referenced);
    Def.SetDeleteAction(OnDelete);
    return Def;
  }

  // M: ID auto-increment primary key, Code integer NOT NULL unique, Name varchar(20) with a
  // plain index, Data BLOB, Parent referencing M itself. C1 and C2 reference M by MId, with
  // cascading and restricting deletes.
  void Build(int32_t Rows = 500) {
    RowCount = Rows;
    TTolvanTable& M = Table("M");
    M.AdvFieldDefs().Add("ID", tftAutoIncInteger, 0, true);
    M.AdvFieldDefs().Add("Code", tftInteger, 0, true);
    M.AdvFieldDefs().Add("Name", tftVarchar, 20, false);
    M.AdvFieldDefs().Add("Data", tftBLOB, 0, false);
    M.AdvFieldDefs().Add("Parent", tftInteger, 0, false);
    M.IndexDefs().Add("PK", "ID", ixPrimary);
    M.IndexDefs().Add("UCode", "Code", ixUnique);
    M.IndexDefs().Add("ByName", "Name", 0);
    M.CreateTable();
    M.AddForeignKey(Key("FK_M_SELF", "Parent", "M", tfaRestrict));
    M.Open();
    for (int32_t I = 1; I <= RowCount; ++I) {
      TRow Row;
      Row.Code = I * 3;
      Row.Name = "Name" + std::to_string(I % 50);
      if (I % 5)
        Row.Data = std::string(size_t(I % 40), char('a' + I % 26));
      Row.Parent = I > 1 ? I / 2 : 0;
      M.Append();
      M.FieldByName("Code").SetAsInteger(Row.Code);
      M.FieldByName("Name").SetAsString(Row.Name);
      if (Row.Data)
        M.FieldByName("Data").SetAsString(*Row.Data);
      if (Row.Parent)
        M.FieldByName("Parent").SetAsInteger(Row.Parent);
      M.Post();
      Model[I] = Row;
    }
    M.Close();
    // C1 refers to rows no other row refers to, C2 to rows that have children in M.
    MakeChild("C1", 300, tfaCascade, [&](int32_t I) { return RowCount - I % 100; });
    MakeChild("C2", 200, tfaRestrict, [](int32_t I) { return 1 + I % 100; });
  }

  void MakeChild(std::string_view Name, int32_t Rows, TTolvanForeignKeyAction OnDelete,
                 const std::function<int32_t(int32_t)>& Referenced) {
    TTolvanTable& C = Table(Name);
    C.FieldDefs().Add("ID", ftInteger, 0, true);
    C.FieldDefs().Add("MId", ftInteger);
    C.IndexDefs().Add("PK", "ID", ixPrimary);
    C.CreateTable();
    C.AddForeignKey(Key("FK_" + std::string(Name) + "_M", "MId", "M", OnDelete));
    C.Open();
    for (int32_t I = 1; I <= Rows; ++I) {
      C.Append();
      C.FieldByName("ID").SetAsInteger(I);
      C.FieldByName("MId").SetAsInteger(Referenced(I));
      C.Post();
    }
    C.Close();
  }

  static TTolvanDatabaseData& Data() { return *FindDatabaseData(true, false, "MEMORY", u""); }

  std::vector<std::string> TableNames() {
    TStringList List;
    Data().GetTableNames(List);
    std::vector<std::string> Names;
    for (int32_t I = 0; I < List.Count(); ++I)
      Names.push_back(List.Strings(I));
    std::sort(Names.begin(), Names.end());
    return Names;
  }

  // Every table's saved stream (names, definitions, records), the object-id counter left out.
  std::map<std::string, std::vector<uint8_t>> Snapshot() {
    std::map<std::string, std::vector<uint8_t>> Out;
    for (const std::string& Name : TableNames()) {
      TVectorStream S;
      Table(Name).SaveToStream(S, 0, 0, 0);
      const size_t Counter = 43 + S.Data.at(42);
      std::fill(S.Data.begin() + Counter, S.Data.begin() + Counter + 8, 0);
      Out[Name] = std::move(S.Data);
    }
    return Out;
  }

  // Names of every constraint of table Name (keys, actions, checks).
  std::vector<std::string> ConstraintNames(std::string_view Name) {
    TTolvanTable& T = Table(Name);
    T.Open();
    std::vector<std::string> Names;
    for (int32_t I = 0; I < T.EngineConstraintDefs().Count(); ++I)
      Names.push_back(T.EngineConstraintDefs().Items(I).Name());
    T.Close();
    return Names;
  }

  // The foreign keys of table Name as "name->referenced(fields)".
  std::vector<std::string> Keys(std::string_view Name) {
    TTolvanTable& T = Table(Name);
    T.Open();
    std::vector<std::string> Out;
    for (int32_t I = 0; I < T.ForeignKeyDefs().Count(); ++I) {
      const TTolvanForeignKeyDef& K = *T.ForeignKeyDefs().Items(I);
      Out.push_back(K.Name() + "->" + K.ReferenceTableName() + "(" + K.FieldList() + ")");
    }
    T.Close();
    return Out;
  }

  // A fresh component on M with the stored definitions read, ready for a restructure.
  TTolvanTable& Restructurable(std::string_view Name = "M") {
    TTolvanTable& T = Table(Name);
    T.IndexDefs().Update();
    return T;
  }

  // The log with the copy's generated name replaced by <copy>.
  static std::string Normalised(std::string Log) {
    const std::string Prefix = "TEMP_TABLE_M_";
    for (size_t At = Log.find(Prefix); At != std::string::npos; At = Log.find(Prefix, At)) {
      size_t End = At + Prefix.size();
      while (End < Log.size() && Log[End] != '\'' && !std::isspace(uint8_t(Log[End])))
        ++End;
      Log.replace(At, End - At, "<copy>");
    }
    return Log;
  }
  static int32_t Occurrences(const std::string& Text, const std::string& Part) {
    int32_t N = 0;
    for (size_t At = Text.find(Part); At != std::string::npos; At = Text.find(Part, At + 1))
      ++N;
    return N;
  }
  static std::string Line(std::string_view Message, std::string_view Error) {
    return Format(Message, "restructure", "M", Error);
  }
  static std::string CopyLine(std::string_view Message, std::string_view Error) {
    return Format(Message, "restructure", "M", "<copy>", Error);
  }

  std::map<int32_t, TRow> Model;
  std::vector<TComponentPtr<TTolvanTable>> Owned;
};

TEST_F(RestructureTest, AddDropAndRetypeColumnsKeepRowsKeysAndCascades) {
  Build(3000);
  TTolvanTable& M = Restructurable();
  int32_t Progress = -1;
  M.SetOnProgress([&](TTolvanTable&, int32_t P, TTolvanTableOperation Op, bool&) {
    EXPECT_EQ(Op, tbopRestructure);
    Progress = P;
  });
  M.StoredAdvFieldDefs().Delete("Name");
  M.StoredIndexDefs().Delete(M.StoredIndexDefs().IndexOf("ByName"));
  M.StoredAdvFieldDefs().Find("Code")->SetFieldType(tftLargeInt);
  M.StoredAdvFieldDefs().Add("Extra", tftVarchar, 10, false);
  std::string Log;
  ASSERT_TRUE(M.RestructureTable(Log)) << Log;
  EXPECT_EQ(Log, "");
  EXPECT_EQ(Progress, 100);
  EXPECT_FALSE(M.Active());
  EXPECT_FALSE(M.Exclusive());
  EXPECT_EQ(M.DatabaseUse(), 0);

  // The rows are the model's, in the new shape.
  TTolvanTable& R = Table("M");
  R.Open();
  EXPECT_EQ(R.FindField("Name"), nullptr);
  EXPECT_EQ(R.FieldByName("Code").DataType(), ftLargeint);
  ASSERT_EQ(R.RecordCount(), RowCount);
  for (R.First(); !R.Eof(); R.Next()) {
    const int32_t Id = R.FieldByName("ID").AsInteger();
    SCOPED_TRACE(Id);
    const TRow& Row = Model.at(Id);
    EXPECT_EQ(R.FieldByName("Code").AsString(), std::to_string(Row.Code));
    EXPECT_EQ(R.FieldByName("Data").IsNull(), !Row.Data);
    if (Row.Data) {
      EXPECT_EQ(R.FieldByName("Data").AsString(), *Row.Data);
    }
    EXPECT_EQ(R.FieldByName("Parent").IsNull(), Row.Parent == 0);
    EXPECT_TRUE(R.FieldByName("Extra").IsNull());
  }
  // Auto-increment goes on after the highest value copied; NOT NULL and unique survive.
  R.Append();
  R.FieldByName("Code").SetAsInteger(-1);
  R.Post();
  EXPECT_EQ(R.FieldByName("ID").AsInteger(), RowCount + 1);
  R.Append();
  EXPECT_ANY_THROW(R.Post()) << "Code is NOT NULL";
  R.Cancel();
  R.Append();
  R.FieldByName("Code").SetAsInteger(3);
  EXPECT_ANY_THROW(R.Post()) << "Code is unique";
  R.Cancel();
  R.Close();

  // Every key kept its name and refers to M; nothing temporary is left.
  EXPECT_EQ(Keys("C1"), std::vector<std::string>{"FK_C1_M->M(MId)"});
  EXPECT_EQ(Keys("C2"), std::vector<std::string>{"FK_C2_M->M(MId)"});
  EXPECT_EQ(Keys("M"), std::vector<std::string>{"FK_M_SELF->M(Parent)"});
  EXPECT_EQ(TableNames(), (std::vector<std::string>{"C1", "C2", "M"}));
  for (const char* Name : {"C1", "C2", "M"})
    for (const std::string& C : ConstraintNames(Name))
      EXPECT_EQ(C.find("TolvanFKTNP_"), std::string::npos) << Name << ": " << C;

  // Cascades and restrictions act on the new table: row 1500 is referenced by three C1 rows
  // only, row 50 by C2.
  R.Open();
  ASSERT_TRUE(R.Locate("ID", Variant(50), {}));
  EXPECT_ANY_THROW(R.Delete()) << "restricted by C2";
  ASSERT_TRUE(R.Locate("ID", Variant(RowCount), {}));
  R.Delete();
  R.Close();
  TTolvanTable& C1 = Table("C1");
  C1.Open();
  EXPECT_EQ(C1.RecordCount(), 297);
  EXPECT_FALSE(C1.Locate("MId", Variant(RowCount), {}));
  C1.Close();
}

// The line of a failing step and what is left: before the delete, the database as it was.
TEST_F(RestructureTest, AFailureAtEachStepBeforeTheDeleteLeavesTheDatabaseAsItWas) {
  Build();
  const auto Before = Snapshot();
  using S = TTolvanRestructureStep;
  TTolvanTable* Blocker = nullptr;
  const struct {
    const char* Name;
    std::function<void(TTolvanTable&)> Arrange;
    TTolvanTable::TRestructureFaultHook Hook;
    std::string Expected; // the whole log, or its start when Exact is false
    bool Exact;
  } Cases[] = {
      {"structure", nullptr, FailAt(S::Structure),
       Line(SRestructureCannotCreateStructure, "injected"), true},
      {"duplicate field",
       [](TTolvanTable& T) { T.StoredAdvFieldDefs().Add("Code", tftInteger, 0, false); }, nullptr,
       CopyLine(SRestructureCannotCreateTempTable, ""), false},
      {"open copy", nullptr, FailAt(S::OpenCopy),
       CopyLine(SRestructureCannotOpenTempTable, "injected"), true},
      {"unknown index name", [](TTolvanTable& T) { T.SetIndexName("Nope"); }, nullptr,
       Line(SRestructureCannotOpenSourceTable, ""), false},
      {"copy raises no Exception", nullptr, FailAt(S::CopyData, true),
       Line(SRestructureCannotCopyRecords, "Unknown error"), true},
      {"unique index over duplicates",
       [](TTolvanTable& T) { T.StoredIndexDefs().Add("UName", "Name", ixUnique); }, nullptr,
       Line(SRestructureCannotCopyData, ""), false},
      {"foreign keys", nullptr, FailAt(S::ForeignKeys),
       Line(SRestructureCannotRecreateForeignKeys, "injected"), true},
      {"a child key the new primary key does not fit",
       [](TTolvanTable& T) {
         T.StoredIndexDefs().Find("PK").SetFields("ID;Code");
         T.StoredForeignKeyDefs().Clear();
       },
       nullptr, Line(SRestructureCannotRecreateForeignKeys, ""), false},
      {"close copy", nullptr, FailAt(S::CloseCopy),
       Line(SRestructureCannotCloseTempTable, "injected"), true},
      {"another open dataset",
       [&](TTolvanTable&) {
         Blocker = &Table("M");
         Blocker->Open();
       },
       nullptr, Line(SRestructureCannotDeleteTable, ""), false},
      {"delete", nullptr, FailAt(S::DeleteTable), Line(SRestructureCannotDeleteTable, "injected"),
       true},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Name);
    TTolvanTable& M = Restructurable();
    if (C.Arrange)
      C.Arrange(M);
    THookScope Hook(C.Hook);
    std::string Log = "earlier\r\n";
    EXPECT_FALSE(M.RestructureTable(Log));
    if (Blocker) {
      Blocker->Close();
      Blocker = nullptr;
    }
    const std::string Added = Normalised(Log.substr(9));
    if (C.Exact)
      EXPECT_EQ(Added, C.Expected);
    else
      EXPECT_EQ(Added.substr(0, C.Expected.size() - 2),
                C.Expected.substr(0, C.Expected.size() - 2));
    EXPECT_EQ(Occurrences(Added, "Error - restructure table"), 1) << Added;
    EXPECT_FALSE(M.Active());
    EXPECT_EQ(M.DatabaseUse(), 0);
    EXPECT_TRUE(Snapshot() == Before) << "the database changed";
  }
  EXPECT_EQ(TableNames(), (std::vector<std::string>{"C1", "C2", "M"}));
}

// When the copy cannot be dropped, the keys re-pointed at it are removed one by one: every child
// keeps exactly its own key, and the log names the copy left behind.
TEST_F(RestructureTest, ACopyThatCannotBeDroppedLeavesNoRepointedKey) {
  Build();
  const auto Before = Snapshot();
  TTolvanTable& M = Restructurable();
  TTolvanTable& Blocker = Table("M");
  Blocker.Open();
  THookScope Hook(FailAt(TTolvanRestructureStep::DropCopy));
  std::string Log;
  EXPECT_FALSE(M.RestructureTable(Log));
  Blocker.Close();
  const std::string Lines = Normalised(Log);
  const std::string Left = CopyLine("Error - %s table '%s' failed. Temporary table '%s' could not "
                                    "be dropped due to error: \r\n%s\r\n",
                                    "injected");
  ASSERT_GE(Lines.size(), Left.size());
  EXPECT_EQ(Lines.substr(Lines.size() - Left.size()), Left);
  EXPECT_EQ(Lines.rfind(Line(SRestructureCannotDeleteTable, "").substr(0, 60), 0), 0u);

  auto After = Snapshot();
  ASSERT_EQ(After.size(), 4u);
  std::string Copy;
  for (auto It = After.begin(); It != After.end();)
    if (It->first.rfind("TEMP_TABLE_M_", 0) == 0) {
      Copy = It->first;
      It = After.erase(It);
    } else {
      ++It;
    }
  EXPECT_TRUE(After == Before) << "children and table as before";
  EXPECT_EQ(Keys("C1"), std::vector<std::string>{"FK_C1_M->M(MId)"});
  Table(Copy).DeleteTable(true);
  EXPECT_TRUE(Snapshot() == Before);
}

// Once the original is deleted, a failing rename keeps the copy: it holds the data, the log
// names it and the children's keys refer to it.
TEST_F(RestructureTest, AFailedRenameKeepsTheDataInTheCopy) {
  Build();
  TTolvanTable& M = Restructurable();
  THookScope Hook(FailAt(TTolvanRestructureStep::RenameCopy));
  std::string Log;
  EXPECT_FALSE(M.RestructureTable(Log));
  EXPECT_EQ(Normalised(Log), CopyLine(SRestructureCannotRenameTempTable, "injected"));
  const std::vector<std::string> Names = TableNames();
  ASSERT_EQ(Names.size(), 3u);
  EXPECT_EQ(Names[0], "C1");
  EXPECT_EQ(Names[1], "C2");
  const std::string Copy = Names[2];
  EXPECT_EQ(Normalised(Copy), "<copy>");
  EXPECT_NE(Log.find(Copy), std::string::npos);
  TTolvanTable& T = Table(Copy);
  T.Open();
  EXPECT_EQ(T.RecordCount(), RowCount);
  T.Last();
  EXPECT_EQ(T.FieldByName("Code").AsInteger(), Model.at(RowCount).Code);
  T.Close();
  for (const char* Child : {"C1", "C2"}) {
    const std::vector<std::string> K = Keys(Child);
    ASSERT_EQ(K.size(), 1u) << Child;
    EXPECT_NE(K[0].find("->" + Copy + "("), std::string::npos) << K[0];
  }
}

// A filter and a master range decide what the table shows, not what it holds: the copy takes
// every row, and both are in force again afterwards.
TEST_F(RestructureTest, FilteredAndDetailTablesKeepEveryRow) {
  TTolvanTable& Orders = Table("Orders");
  Orders.FieldDefs().Add("ID", ftInteger, 0, true);
  Orders.IndexDefs().Add("PK", "ID", ixPrimary);
  Orders.CreateTable();
  Orders.Open();
  for (int32_t I = 1; I <= 5; ++I) {
    Orders.Append();
    Orders.FieldByName("ID").SetAsInteger(I);
    Orders.Post();
  }
  Orders.First();
  TTolvanTable& Lines = Table("Lines");
  Lines.FieldDefs().Add("ID", ftInteger, 0, true);
  Lines.FieldDefs().Add("OrderId", ftInteger);
  Lines.FieldDefs().Add("Qty", ftInteger);
  Lines.IndexDefs().Add("PK", "ID", ixPrimary);
  Lines.IndexDefs().Add("ByOrder", "OrderId", 0);
  Lines.CreateTable();
  Lines.Open();
  for (int32_t I = 1; I <= 100; ++I) {
    Lines.Append();
    Lines.FieldByName("ID").SetAsInteger(I);
    Lines.FieldByName("OrderId").SetAsInteger(1 + I % 5);
    Lines.FieldByName("Qty").SetAsInteger(I % 10);
    Lines.Post();
  }
  Lines.Close();
  auto Count = [&](TTolvanTable& T) {
    T.Open();
    const int32_t N = T.RecordCount();
    T.Close();
    return N;
  };

  // Filtered by text and by the event.
  Lines.IndexDefs().SetUpdated(false);
  Lines.IndexDefs().Update();
  Lines.SetFilter("Qty > 5");
  Lines.SetOnFilterRecord(
      [](TDataSet& D, bool& Accept) { Accept = D.FieldByName("ID").AsInteger() % 2 == 0; });
  Lines.SetFiltered(true);
  const int32_t Shown = Count(Lines);
  EXPECT_LT(Shown, 100);
  Lines.StoredAdvFieldDefs().Add("Note", tftVarchar, 10, false);
  std::string Log;
  ASSERT_TRUE(Lines.RestructureTable(Log)) << Log;
  EXPECT_TRUE(Lines.Filtered());
  EXPECT_EQ(Count(Lines), Shown);
  Lines.SetFiltered(false);
  EXPECT_EQ(Count(Lines), 100);

  // A detail of Orders.
  auto Source = Own(NewComponent<TDataSource>(nullptr));
  Source->SetDataSet(&Orders);
  Lines.SetIndexName("ByOrder");
  Lines.SetMasterSource(Source.get());
  Lines.SetMasterFields("ID");
  Lines.IndexDefs().SetUpdated(false);
  Lines.IndexDefs().Update();
  Lines.StoredAdvFieldDefs().Delete("Note");
  ASSERT_TRUE(Lines.RestructureTable(Log)) << Log;
  EXPECT_EQ(Lines.MasterSource(), Source.get());
  Lines.SetMasterSource(nullptr);
  EXPECT_EQ(Count(Lines), 100);
  Lines.SetMasterSource(Source.get());
  Lines.Open();
  EXPECT_EQ(Lines.RecordCount(), 20) << "the master range is in force again";
  Lines.Close();
  Orders.Close();

  // A row another component adds behind the copy's position: the copy misses it, and the table
  // stays as it is.
  Lines.SetMasterSource(nullptr);
  Lines.SetIndexName("PK");
  Lines.IndexDefs().SetUpdated(false);
  Lines.IndexDefs().Update();
  bool Added = false;
  Lines.SetOnProgress([&](TTolvanTable&, int32_t Percent, TTolvanTableOperation, bool&) {
    if (Added || Percent < 50)
      return;
    Added = true;
    TTolvanTable& Other = Table("Lines");
    Other.Open();
    Other.Append();
    Other.FieldByName("ID").SetAsInteger(-1);
    Other.Post();
    Other.Close();
  });
  Log.clear();
  EXPECT_FALSE(Lines.RestructureTable(Log));
  EXPECT_TRUE(Added);
  EXPECT_EQ(Log, Format(SRestructureCannotCopyData, "restructure", "Lines",
                        "The temporary table holds 100 records, the table 101"));
  EXPECT_EQ(Count(Lines), 101);
  EXPECT_EQ(TableNames(), (std::vector<std::string>{"Lines", "Orders"}));
}

} // namespace
