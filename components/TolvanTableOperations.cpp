// The table component's operations on the stored table: create, delete, rename, save, load,
// indexes, foreign keys and restructure.
//
// Every operation runs inside a TOperationHold: the use reason it took, the cursor it made and,
// for index operations, the Exclusive setting to put back. On success the hold is released
// explicitly, so a failing release reaches the caller; while an operation's own failure unwinds,
// a failure of the release is dropped for it.
#include "components/TolvanTable.h"

#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "classlib/DBConsts.h"
#include "classlib/Format.h"
#include "classlib/Strings.h"
#include "classlib/SysUtils.h"
#include "components/TolvanDatabase.h"
#include "foundation/TolvanExcept.h"
#include "foundation/TolvanMessages.h"
#include "foundation/TolvanTypes.h"
#include "schema/TolvanConstraintDef.h"

namespace tolvan {

namespace {

// The failures a restructure reports beyond the catalogue's: a copy that does not hold every
// record of the table, and a copy that stays behind because it could not be dropped.
inline constexpr std::string_view SRestructureRecordCountDiffers =
    "The temporary table holds %d records, the table %d";
inline constexpr std::string_view SRestructureCopyLeftBehind =
    "Error - %s table '%s' failed. Temporary table '%s' could not be dropped due to error: "
    "\r\n%s\r\n";
inline constexpr std::string_view RestructureOperation = "restructure";
inline constexpr std::string_view TemporaryForeignKeyPrefix = "TolvanFKTNP_";

// What an operation holds; see the file comment.
class TOperationHold {
public:
  TOperationHold(TTolvanTable& Table, TTolvanDataSetUseReason Reason)
      : FTable(Table), FReason(Reason) {
    if (Table.HoldsReason(Reason))
      return;
    Table.SetDatabaseUse(Reason, true);
    // While the owner is being created nothing is recorded, and there is nothing to give back.
    FTaken = Table.HoldsReason(Reason);
  }
  ~TOperationHold() {
    try {
      Release();
    } catch (...) {
    }
  }
  TOperationHold(const TOperationHold&) = delete;
  TOperationHold& operator=(const TOperationHold&) = delete;

  void SaveExclusive() { FSavedExclusive = FTable.Exclusive(); }

  // Closes and frees the cursor, gives the reason back and restores Exclusive; each runs once,
  // and the first failure is rethrown after all of them ran.
  void Release() {
    std::exception_ptr Failure;
    if (Cursor) {
      std::unique_ptr<TTolvanCursor> Done = std::move(Cursor);
      try {
        Done->CloseTable();
      } catch (...) {
        Failure = std::current_exception();
      }
    }
    if (FTaken) {
      FTaken = false;
      try {
        FTable.SetDatabaseUse(FReason, false);
      } catch (...) {
        if (!Failure)
          Failure = std::current_exception();
      }
    }
    if (FSavedExclusive) {
      FTable.SetExclusive(*FSavedExclusive);
      FSavedExclusive.reset();
    }
    if (Failure)
      std::rethrow_exception(Failure);
  }

  std::unique_ptr<TTolvanCursor> Cursor;

private:
  TTolvanTable& FTable;
  TTolvanDataSetUseReason FReason;
  bool FTaken = false;
  std::optional<bool> FSavedExclusive;
};

void RefuseReadOnlyDatabase(const TTolvanTable& Table) {
  if (Table.Database() && Table.Database()->ReadOnly())
    DatabaseError(SDatabaseReadOnly);
}

void RequireExistingTable(TTolvanTable& Table) {
  if (!Table.Exists())
    DatabaseError(Format(STableDoesNotExist, Table.TableName()));
}

enum class TNameCheck : uint8_t { None, TableName };
enum class TReadOnlyCheck : uint8_t { None, After, BeforeAndAfter };

// The frame of the operations on a closed table: Operation runs on a cursor of the operation's
// own, set up for TableName, exclusive and writable.
template <class TOperation>
void RunClosedTableOperation(TTolvanTable& Table, int32_t CursorCode, TNameCheck NameCheck,
                             TReadOnlyCheck ReadOnlyCheck, TOperation&& Operation) {
  Table.CheckInactive();
  if (NameCheck == TNameCheck::TableName)
    Table.CheckTableName();
  if (ReadOnlyCheck == TReadOnlyCheck::BeforeAndAfter)
    RefuseReadOnlyDatabase(Table);
  TOperationHold Hold(Table, durTableOperation);
  if (ReadOnlyCheck != TReadOnlyCheck::None)
    RefuseReadOnlyDatabase(Table);
  Hold.Cursor.reset(Table.CreateTableCursor());
  if (!Hold.Cursor)
    throw ETolvanException::Create(CursorCode, SCannotCreateCursor);
  TTolvanCursor& Cursor = *Hold.Cursor;
  Cursor.SetSession(Table.Database()->EngineSession());
  Cursor.SetTableName(Table.TableName());
  Cursor.SetTemporary(Table.Temporary());
  Cursor.SetInMemory(Table.InMemory());
  Cursor.SetReadOnly(false);
  Cursor.SetExclusive(true);
  Operation(Cursor);
  Hold.Release();
}

// An open table works on its own cursor, which must be exclusive unless the table is in memory
// or temporary; a closed one is opened exclusively for the operation.
TTolvanCursor& IndexOperationCursor(TTolvanTable& Table, TOperationHold& Hold,
                                    int32_t NotExclusiveCode) {
  if (Table.Active()) {
    Table.CheckBrowseMode();
    Table.UpdateCursorPos();
    if (!Table.InMemory() && !Table.Temporary() && !Table.Cursor()->Exclusive())
      throw ETolvanException::CreateFmt(NotExclusiveCode, STableNotExclusive, Table.TableName());
    return *Table.Cursor();
  }
  Table.SetExclusive(true);
  Hold.Cursor.reset(Table.OpenTableCursor());
  if (!Hold.Cursor)
    throw ETolvanException::Create(ErrTableCannotCreateCursor, SCannotCreateCursor);
  return *Hold.Cursor;
}

// The message of a failure caught while a restructure step ran.
AnsiString FailureText(std::exception_ptr Failure) {
  try {
    std::rethrow_exception(Failure);
  } catch (const Exception& E) {
    return AnsiString(E.Message());
  } catch (...) {
    return AnsiString(SUnknownError);
  }
}

std::mutex& FaultHookLock() {
  static std::mutex Lock;
  return Lock;
}

TTolvanTable::TRestructureFaultHook& FaultHookSlot() {
  static TTolvanTable::TRestructureFaultHook Hook;
  return Hook;
}

void RunFaultHook(TTolvanRestructureStep Step) {
  TTolvanTable::TRestructureFaultHook Hook;
  {
    std::lock_guard<std::mutex> Guard(FaultHookLock());
    Hook = FaultHookSlot();
  }
  if (Hook)
    Hook(Step);
}

bool SameName(std::string_view A, std::string_view B) { return SameText(A, B); }

// Another component on the same session and database as Table: the copy of a restructure and
// the tables whose keys it re-points.
TComponentPtr<TTolvanTable> SiblingTable(const TTolvanTable& Table, std::string_view Name) {
  TComponentPtr<TTolvanTable> Made = MakeComponent<TTolvanTable>();
  Made->SetSessionName(Table.SessionName());
  Made->SetInMemory(Table.InMemory());
  Made->SetTemporary(Table.Temporary());
  Made->SetDatabaseName(Table.DatabaseName());
  Made->SetMemoryTableAllocBy(Table.MemoryTableAllocBy());
  Made->SetTableName(Name);
  return Made;
}

// A restructure in progress (TTolvanTable::RebuildTable). Each step that fails appends its line
// to the log, cleans up and ends the run; Run never raises.
class TRestructure {
public:
  TRestructure(TTolvanTable& Table, std::string& Log) : FTable(Table), FLog(Log) {}

  void Run() {
    if (!MakeCopyStructure() || !CreateCopy() || !OpenCopy() || !OpenSource() || !CopyRecords())
      return;
    if (FLog != FStartLog) {
      Abandon();
      return;
    }
    if (!RepointForeignKeys() || !CheckRecordCounts() || !CloseBoth() || !DeleteSource())
      return;
    RenameCopy();
  }

  // Frees the copy component (not its table).
  void FreeCopy() noexcept { FCopy.reset(); }

  void RememberStartLog() { FStartLog = FLog; }
  bool LogUnchanged() const { return FLog == FStartLog; }

private:
  // Step 2 and 3: the copy component, its unused name and the new structure.
  bool MakeCopyStructure() {
    try {
      RunFaultHook(TTolvanRestructureStep::Structure);
      const AnsiString Prefix = "TEMP_TABLE_" + FTable.TableName() + "_";
      FCopy = SiblingTable(FTable, MakeUniqueName(Prefix));
      while (FCopy->Exists())
        FCopy->SetTableName(MakeUniqueName(Prefix));
      FCopy->FieldDefs().Clear();
      FCopy->EngineIndexDefs().Clear();
      FCopy->AdvFieldDefs().Assign(FTable.StoredAdvFieldDefs());
      TTolvanDataSet::CopyIndexDefs(FTable.StoredIndexDefs(), FCopy->IndexDefs());
      FCopy->ForeignKeyDefs().Assign(FTable.StoredForeignKeyDefs());
      RenameForeignKeyReferences(FTable.TableName(), FCopy->TableName(), FCopy->ForeignKeyDefs());
      return true;
    } catch (...) {
      Report(SRestructureCannotCreateStructure, std::current_exception());
      return false;
    }
  }

  bool CreateCopy() {
    try {
      RunFaultHook(TTolvanRestructureStep::CreateCopy);
      FCopy->CreateTable();
      return true;
    } catch (...) {
      ReportWithCopy(SRestructureCannotCreateTempTable, std::current_exception());
      return false;
    }
  }

  bool OpenCopy() {
    try {
      RunFaultHook(TTolvanRestructureStep::OpenCopy);
      FCopy->Open();
      return true;
    } catch (...) {
      ReportWithCopy(SRestructureCannotOpenTempTable, std::current_exception());
      DropCopy();
      return false;
    }
  }

  // The source is read whole: a filter or a master range would leave rows out of the copy,
  // and deleting the table would lose them. The caller puts both back at the end.
  bool OpenSource() {
    try {
      RunFaultHook(TTolvanRestructureStep::OpenSource);
      if (FTable.Filtered())
        FTable.SetFiltered(false);
      if (FTable.MasterSource())
        FTable.SetMasterSource(nullptr);
      FTable.Open();
      return true;
    } catch (...) {
      Report(SRestructureCannotOpenSourceTable, std::current_exception());
      Abandon();
      return false;
    }
  }

  bool CopyRecords() {
    try {
      RunFaultHook(TTolvanRestructureStep::CopyData);
      std::string ErrorText;
      CopyTableData(FTable, *FCopy, true, tbopRestructure, ErrorText);
      if (!ErrorText.empty())
        FLog +=
            Format(SRestructureCannotCopyData, RestructureOperation, FTable.TableName(), ErrorText);
      return true;
    } catch (...) {
      Report(SRestructureCannotCopyRecords, std::current_exception());
      Abandon();
      return false;
    }
  }

  // Step 9: every key of another table that references this one gets a twin, under the
  // temporary prefix, that references the copy; the engine strips the prefix when the copy
  // takes the table's name, and deleting the table removes the original keys.
  bool RepointForeignKeys() {
    try {
      RunFaultHook(TTolvanRestructureStep::ForeignKeys);
      struct TReference {
        AnsiString Child;
        AnsiString Key;
        TTolvanForeignKeyAction OnDelete;
        TTolvanForeignKeyAction OnUpdate;
        uint8_t MatchType;
      };
      std::vector<TReference> References;
      const TTolvanConstraintDefs& Defs = FTable.Cursor()->ConstraintDefs();
      for (int32_t I = 0; I < Defs.Count(); ++I) {
        const TTolvanConstraintDef& Def = Defs.Items(I);
        if (Def.ConstraintType() != tctForeignKeyAction)
          continue;
        const auto& Action = static_cast<const TTolvanConstraintDefForeignKeyAction&>(Def);
        // The table's own keys moved into the copy's definitions already.
        if (SameName(Action.Table().Name(), FTable.TableName()))
          continue;
        References.push_back({Action.Table().Name(), Action.Partner().Name(), Action.OnDelete(),
                              Action.OnUpdate(), Action.MatchType()});
      }
      for (const TReference& Ref : References) {
        TComponentPtr<TTolvanTable> Child = SiblingTable(FTable, Ref.Child);
        Child->SetExclusive(true);
        Child->Open();
        const TTolvanForeignKeyDef* Original = Child->ForeignKeyDefs().Find(Ref.Key);
        if (!Original)
          throw ETolvanException::CreateFmt(ErrForeignKeyNotFound, SCannotFindForeignKey, Ref.Key);
        const AnsiString FieldList = Original->FieldList();
        Child->Close();
        TTolvanForeignKeyDef Twin;
        Twin.SetName(AnsiString(TemporaryForeignKeyPrefix) + Ref.Key);
        Twin.SetFieldList(FieldList);
        Twin.SetDeleteAction(Ref.OnDelete);
        Twin.SetUpdateAction(Ref.OnUpdate);
        Twin.SetMatchType(Ref.MatchType);
        Twin.SetReferenceTableName(FCopy->TableName());
        Child->AddForeignKey(Twin);
        FRepointed.push_back({Ref.Child, Twin.Name()});
      }
      return true;
    } catch (...) {
      Report(SRestructureCannotRecreateForeignKeys, std::current_exception());
      Abandon();
      return false;
    }
  }

  // The copy must hold every record the engine counts in the stored table, which also catches
  // rows another session added or removed while the copy ran.
  bool CheckRecordCounts() {
    int64_t Stored = 0;
    int64_t Copied = 0;
    try {
      Stored = StoredRecordCount();
      Copied = FCopy->Cursor()->GetRecordCount();
    } catch (...) {
      Report(SRestructureCannotCopyRecords, std::current_exception());
      Abandon();
      return false;
    }
    if (Stored == Copied)
      return true;
    FLog += Format(SRestructureCannotCopyData, RestructureOperation, FTable.TableName(),
                   Format(SRestructureRecordCountDiffers, Copied, Stored));
    Abandon();
    return false;
  }

  // Counted through a cursor of its own: the table's cursor may be filtered or limited to a range
  // by whoever opened it.
  int64_t StoredRecordCount() {
    std::unique_ptr<TTolvanCursor> Counter(FTable.CreateTableCursor());
    if (!Counter)
      throw ETolvanException::Create(ErrTableCannotCreateCursor, SCannotCreateCursor);
    Counter->SetSession(FTable.Database()->EngineSession());
    Counter->SetTableName(FTable.TableName());
    Counter->SetTemporary(FTable.Temporary());
    Counter->SetInMemory(FTable.InMemory());
    Counter->SetReadOnly(true);
    Counter->SetExclusive(true);
    Counter->OpenTable(nullptr, nullptr, nullptr);
    const int64_t Count = Counter->GetRecordCount();
    Counter->CloseTable();
    return Count;
  }

  bool CloseBoth() {
    try {
      RunFaultHook(TTolvanRestructureStep::CloseCopy);
      FCopy->Close();
      FTable.Close();
      return true;
    } catch (...) {
      Report(SRestructureCannotCloseTempTable, std::current_exception());
      Abandon();
      return false;
    }
  }

  bool DeleteSource() {
    try {
      RunFaultHook(TTolvanRestructureStep::DeleteTable);
      FTable.DeleteTable(true);
      return true;
    } catch (...) {
      Report(SRestructureCannotDeleteTable, std::current_exception());
      Abandon();
      return false;
    }
  }

  // The original is gone: a failure keeps the copy, which holds the data and is named in the
  // log line; the children's keys refer to it.
  void RenameCopy() {
    try {
      RunFaultHook(TTolvanRestructureStep::RenameCopy);
      const AnsiString Name = FTable.TableName();
      FCopy->RenameTable(Name);
    } catch (...) {
      ReportWithCopy(SRestructureCannotRenameTempTable, std::current_exception());
    }
  }

  // The table closed and the copy dropped, errors ignored.
  void Abandon() {
    try {
      FTable.Close();
    } catch (...) {
    }
    DropCopy();
  }

  // Dropping the copy also removes the keys re-pointed at it. When the drop fails, those keys
  // are removed one by one, so every child keeps exactly its original key, and the log names
  // the copy left behind.
  void DropCopy() {
    if (!FCopy)
      return;
    try {
      if (FCopy->Active())
        FCopy->Close();
    } catch (...) {
    }
    try {
      RunFaultHook(TTolvanRestructureStep::DropCopy);
      FCopy->DeleteTable(true);
      return;
    } catch (...) {
      ReportWithCopy(SRestructureCopyLeftBehind, std::current_exception());
    }
    for (const auto& [ChildName, Key] : FRepointed) {
      try {
        SiblingTable(FTable, ChildName)->DropConstraint(Key, false);
      } catch (...) {
      }
    }
  }

  void Report(std::string_view Message, std::exception_ptr Failure) {
    FLog += Format(Message, RestructureOperation, FTable.TableName(), FailureText(Failure));
  }
  void ReportWithCopy(std::string_view Message, std::exception_ptr Failure) {
    FLog += Format(Message, RestructureOperation, FTable.TableName(), FCopy->TableName(),
                   FailureText(Failure));
  }

  TTolvanTable& FTable;
  std::string& FLog;
  std::string FStartLog;
  TComponentPtr<TTolvanTable> FCopy;
  // (child table, key name) of each key re-pointed at the copy.
  std::vector<std::pair<AnsiString, AnsiString>> FRepointed;
};

} // namespace

// --- the operations on a closed table ----------------------------------------------------------

void TTolvanTable::CreateTable(bool OnlyIfAbsent) {
  RunClosedTableOperation(
      *this, ErrCreateTableCursor, TNameCheck::TableName, TReadOnlyCheck::After,
      [this, OnlyIfAbsent](TTolvanCursor& Cursor) {
        Cursor.SetMemoryTableAllocBy(FMemoryTableAllocBy);
        Cursor.SetCreateOnlyIfAbsent(OnlyIfAbsent);
        Cursor.SetKeepTemporaryTable(true);
        for (int32_t I = 0; I < Fields().Count(); ++I) {
          TField& Field = Fields().Fields(I);
          if (Field.FieldKind() == fkData && !FieldDefExists(FieldDefs(), Field.FieldName()))
            FieldDefs().Add(Field.FieldName(), Field.DataType(), Field.Size(), Field.Required());
        }
        if (AdvFieldDefs().Count() == 0)
          FieldDefsToAdvFieldDefs(FieldDefs(), AdvFieldDefs());
        else
          AdvFieldDefsToFieldDefs(AdvFieldDefs(), FieldDefs());
        if (IndexDefs().Count() > 0)
          IndexDefsToEngineIndexDefs(IndexDefs(), EngineIndexDefs(), &FieldDefs(), &AdvFieldDefs());
        AdvFieldDefsToEngineDefs(AdvFieldDefs(), EngineFieldDefs(), EngineIndexDefs(), Temporary(),
                                 EngineConstraintDefs());
        ForeignKeyDefsToConstraints(ForeignKeyDefs(), EngineConstraintDefs());
        Cursor.CreateTable(EngineFieldDefs(), EngineIndexDefs(), EngineConstraintDefs());
        if (Temporary())
          SetTableName(Cursor.TableName());
      });
}

void TTolvanTable::DeleteTable(bool Force) {
  RunClosedTableOperation(*this, ErrDeleteTableCursor, TNameCheck::TableName, TReadOnlyCheck::After,
                          [Force](TTolvanCursor& Cursor) { Cursor.DeleteTable(Force); });
}

void TTolvanTable::RenameTable(std::string_view NewName) {
  const AnsiString Name(NewName);
  RunClosedTableOperation(*this, ErrRenameTableCursor, TNameCheck::None,
                          TReadOnlyCheck::BeforeAndAfter, [this, &Name](TTolvanCursor& Cursor) {
                            Cursor.RenameTable(Name);
                            SetTableName(Name);
                          });
}

void TTolvanTable::RenameField(std::string_view OldName, std::string_view NewName) {
  RunClosedTableOperation(
      *this, ErrRenameFieldCursor, TNameCheck::None, TReadOnlyCheck::None,
      [OldName, NewName](TTolvanCursor& Cursor) { Cursor.RenameField(OldName, NewName); });
}

void TTolvanTable::AddForeignKey(const TTolvanForeignKeyDef& Def) {
  RunClosedTableOperation(*this, ErrAddForeignKeyCursor, TNameCheck::None, TReadOnlyCheck::None,
                          [this, &Def](TTolvanCursor& Cursor) {
                            RequireExistingTable(*this);
                            TTolvanConstraintDefForeignKey Constraint;
                            ForeignKeyDefToConstraint(Def, Constraint);
                            Cursor.OpenTable(nullptr, nullptr, nullptr);
                            Cursor.InitFieldDefs();
                            Cursor.AddForeignKey(Constraint);
                          });
}

void TTolvanTable::DropConstraint(std::string_view Name, bool Force) {
  RunClosedTableOperation(*this, ErrDropConstraintCursor, TNameCheck::None, TReadOnlyCheck::None,
                          [this, Name, Force](TTolvanCursor& Cursor) {
                            RequireExistingTable(*this);
                            Cursor.OpenTable(nullptr, nullptr, nullptr);
                            Cursor.DeleteConstraint(Name, Force, false);
                          });
}

void TTolvanTable::LoadFromStream(TStream& Stream) {
  RunClosedTableOperation(*this, ErrLoadTableCursor, TNameCheck::None, TReadOnlyCheck::None,
                          [this, &Stream](TTolvanCursor& Cursor) {
                            Cursor.LoadTableFromStream(Stream);
                            SetTableName(Cursor.TableName());
                          });
}

void TTolvanTable::SaveToStream(TStream& Stream, uint8_t CompressionCode, uint8_t CompressionLevel,
                                int32_t Option) {
  RunClosedTableOperation(*this, ErrSaveTableCursor, TNameCheck::None, TReadOnlyCheck::None,
                          [&](TTolvanCursor& Cursor) {
                            Cursor.WriteTableToStream(Stream,
                                                      MapCompressionAlgorithm(CompressionCode),
                                                      CompressionLevel, Option, false, false);
                          });
}

// --- indexes -----------------------------------------------------------------------------------

// The open cursor reloaded its definitions with the change; a closed table reads them when next
// asked.
void TTolvanTable::ReloadIndexDefsAfterChange() {
  if (Active() && Cursor())
    LoadIndexDefsFromCursor(*Cursor());
  else
    IndexDefs().SetUpdated(false);
}

void TTolvanTable::AddIndex(std::string_view Name, std::string_view Fields, TIndexOptions Options,
                            std::string_view DescFields, std::string_view CaseInsFields) {
  FieldDefs().Update();
  TOperationHold Hold(*this, durIndexOperation);
  Hold.SaveExclusive();
  TTolvanCursor& Target = IndexOperationCursor(*this, Hold, ErrAddIndexNotExclusive);
  if (Name.empty())
    throw ETolvanException::CreateFmt(ErrAddIndexInvalidName, SInvalidIndexName, Name);
  if (Fields.empty())
    throw ETolvanException::CreateFmt(ErrAddIndexNoFields, SCannotFindIndexField, Fields);
  TTolvanIndexDef Def;
  IndexDefToEngineIndexDef(Def, Name, Fields, Options, DescFields, CaseInsFields, &FieldDefs(),
                           &AdvFieldDefs());
  Target.AddIndex(Def);
  ReloadIndexDefsAfterChange();
  Hold.Release();
}

void TTolvanTable::DeleteIndex(std::string_view Name) {
  FieldDefs().Update();
  TOperationHold Hold(*this, durIndexOperation);
  Hold.SaveExclusive();
  TTolvanCursor& Target = IndexOperationCursor(*this, Hold, ErrDeleteIndexNotExclusive);
  Target.DeleteIndex(Name);
  ReloadIndexDefsAfterChange();
  Hold.Release();
}

// --- restructure -------------------------------------------------------------------------------

void TTolvanTable::SetRestructureFaultHook(TRestructureFaultHook Hook) {
  std::lock_guard<std::mutex> Guard(FaultHookLock());
  FaultHookSlot() = std::move(Hook);
}

bool TTolvanTable::RestructureTable(std::string& Log) { return RebuildTable(Log); }

bool TTolvanTable::RebuildTable(std::string& Log) {
  CheckInactive();
  // Whatever the run did, the table ends closed with its settings back.
  struct TRestore {
    TTolvanTable& Table;
    TRestructure& Run;
    bool Exclusive;
    bool Filtered;
    TDataSource* Master;
    ~TRestore() {
      Table.SetRepairMark(false);
      Run.FreeCopy();
      Table.SetExclusive(Exclusive);
      try {
        if (Table.Active())
          Table.Close();
        if (Table.Filtered() != Filtered)
          Table.SetFiltered(Filtered);
        if (Table.MasterSource() != Master)
          Table.SetMasterSource(Master);
      } catch (...) {
      }
    }
  };
  TRestructure Restructure(*this, Log);
  TRestore Restore{*this, Restructure, FExclusive, Filtered(), MasterSource()};
  FExclusive = true;
  FRepairMark = false;
  Restructure.RememberStartLog();
  Restructure.Run();
  return Restructure.LogUnchanged();
}

} // namespace tolvan
