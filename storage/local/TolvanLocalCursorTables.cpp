// TolvanLocalCursorTables.cpp: the table operations of TTolvanLocalCursor.
//
// Every operation finds the table with the database's FindTableData, whatever the cursor's
// in-memory and temporary flags say (this edition has no disk tables, and no operation makes a
// table data only to run on it), and runs under the database's write gate and exclusive lock, so
// that no other thread opens, deletes or replaces the table in between. A table that leaves the
// database is destroyed once the lock is given back. The cursor keeps no reference to a table it
// is not open on.
//
// Replacing a table (create over an existing name, load) first does whatever can fail without
// touching the old table: the new definitions are checked, or the stream is read whole into a
// new, unregistered table. Only then does the old table go.
#include <algorithm>
#include <cstring>
#include <exception>
#include <memory>
#include <optional>
#include <vector>

#include "classlib/Format.h"
#include "classlib/Strings.h"
#include "foundation/TolvanConst.h"
#include "foundation/TolvanExcept.h"
#include "foundation/TolvanMessages.h"
#include "foundation/TolvanTypes.h"
#include "schema/TolvanRecordBuffer.h"
#include "storage/TolvanForeignKeys.h"
#include "storage/local/TolvanLocalCursor.h"
#include "storage/local/TolvanTableSQL.h"
#include "storage/memory/TolvanMemoryEngine.h"
#include "storage/memory/TolvanTableStream.h"
#include "storage/temp/TolvanTempEngine.h"

namespace tolvan {

namespace {

inline constexpr int32_t ErrCreateTableNil = 10523;
inline constexpr int32_t ErrDeleteTableNotFound = 10027;
inline constexpr int32_t ErrEmptyTableNotFound = 10073;
inline constexpr int32_t ErrRenameTableNotFound = 10151;
inline constexpr int32_t ErrRenameFieldTableNotFound = 11166;
inline constexpr int32_t ErrRepairNotExclusive = 11165;
inline constexpr int32_t ErrRepairForwardRecord = 11167;
inline constexpr int32_t ErrRepairBackwardRecord = 11168;
inline constexpr int32_t ErrAddForeignKeyNotOpen = 11582;
inline constexpr int32_t ErrAddForeignKeyNotExclusive = 11583;
inline constexpr int32_t ErrDeleteConstraintNotOpen = 11484;
inline constexpr int32_t ErrDeleteConstraintNotExclusive = 11486;
inline constexpr int32_t ErrStreamTableNotFound = 10154;

// A table that is not registered (made here, or removed from the database): closed and destroyed
// when the holder goes, unless handed on.
class TTableHolder {
public:
  explicit TTableHolder(TTolvanDatabaseData& Database) : FDatabase(Database) {}
  ~TTableHolder() { FDatabase.DestroyTable(std::move(FTable)); }
  TTableHolder(const TTableHolder&) = delete;
  TTableHolder& operator=(const TTableHolder&) = delete;

  std::unique_ptr<TTolvanTableData>& Table() noexcept { return FTable; }

private:
  TTolvanDatabaseData& FDatabase;
  std::unique_ptr<TTolvanTableData> FTable;
};

// Deletes the registered Table: its own checks and clean-up (DeleteTable), then out of the
// database into Removed. The caller holds the table-operation hold.
void DeleteRegisteredTable(TTolvanDatabaseData& Database, TTolvanTableData& Table,
                           TTolvanBaseSession* Session, bool IgnoreForeignKeys,
                           TTableHolder& Removed) {
  if (Table.DeleteTable(Session, IgnoreForeignKeys, false))
    Removed.Table() = Database.RemoveTable(Table);
}

// Clears the flag it set on every way out.
class TKeepTemporaryTable {
public:
  explicit TKeepTemporaryTable(TTolvanCursor& Cursor) : FCursor(Cursor) {
    FCursor.SetKeepTemporaryTable(true);
  }
  ~TKeepTemporaryTable() { FCursor.SetKeepTemporaryTable(false); }
  TKeepTemporaryTable(const TKeepTemporaryTable&) = delete;
  TKeepTemporaryTable& operator=(const TKeepTemporaryTable&) = delete;

private:
  TTolvanCursor& FCursor;
};

// A record buffer of the cursor's layout installed as its RecordBuffer; the previous buffer is
// put back and the new one freed when the holder goes.
class TFreshRecordBuffer {
public:
  explicit TFreshRecordBuffer(TTolvanCursor& Cursor)
      : FCursor(Cursor), FPrevious(Cursor.RecordBuffer()), FBuffer(Cursor.AllocRecordBuffer()) {
    FCursor.SetRecordBuffer(FBuffer);
  }
  ~TFreshRecordBuffer() {
    FCursor.SetRecordBuffer(FPrevious);
    TTolvanCursor::FreeRecordBuffer(FBuffer);
  }
  TFreshRecordBuffer(const TFreshRecordBuffer&) = delete;
  TFreshRecordBuffer& operator=(const TFreshRecordBuffer&) = delete;

private:
  TTolvanCursor& FCursor;
  uint8_t* FPrevious;
  uint8_t* FBuffer;
};

AnsiString MessageOf(const std::exception& E) { return AnsiString(E.what()); }

} // namespace

// --- create, delete, empty, rename --------------------------------------------------------------

void TTolvanLocalCursor::CreateTable(TTolvanFieldDefs& FieldDefs, TTolvanIndexDefs& IndexDefs,
                                     TTolvanConstraintDefs& ConstraintDefs) {
  CloseTable();
  TTolvanDatabaseData& Database = SessionDatabase();
  for (int32_t I = 0; I < IndexDefs.Count(); ++I)
    IndexDefs.Items(I).SetRootPageNo(-1);
  TTableHolder Removed(Database);
  TTolvanDatabaseWriteHold Hold(Database);
  if (CreateOnlyIfAbsent() && Database.FindTableData(*this))
    throw ETolvanException::CreateFmt(ErrTableAlreadyExists, SCannotCreateTableAlreadyExists,
                                      TableName());
  if (InMemory() || Temporary()) {
    if (TTolvanTableData* Old = Database.FindTableData(*this)) {
      // The old table goes only for definitions the new one can be made from.
      if (FieldDefs.Count() == 0)
        throw ETolvanException::Create(ErrCreateTableNoFields, SNoFieldsSpecifiedForTable);
      ValidateFieldDefs(TableName(), FieldDefs);
      ValidateIndexDefs(TableName(), IndexDefs);
      ValidateConstraintDefs(TableName(), ConstraintDefs);
      if (Temporary()) {
        if (ConstraintDefs.HasForeignKeys())
          throw ETolvanException::Create(ErrTempForeignKey, STemporaryForeignKeysNotSupported);
      } else {
        ValidateNewTableForeignKeys(Session(), true, TableName(), FieldDefs, IndexDefs,
                                    ConstraintDefs);
      }
      DeleteRegisteredTable(Database, *Old, Session(), false, Removed);
    }
  }
  bool Created = false;
  TTolvanTableData* Table = Database.GetTableData(
      *this,
      [&](TTolvanTableData& New) { New.CreateTable(*this, FieldDefs, IndexDefs, ConstraintDefs); },
      &Created);
  if (!Table)
    throw ETolvanException::Create(ErrCreateTableNil, SNilPointerOccurred);
  // A table of the name that stayed (one that could not be deleted) is not the one asked for.
  if (!Created)
    throw ETolvanException::CreateFmt(ErrTableAlreadyExists, SCannotCreateTableAlreadyExists,
                                      TableName());
}

void TTolvanLocalCursor::DeleteTable(bool IgnoreForeignKeys) {
  CloseTable();
  TTolvanDatabaseData& Database = SessionDatabase();
  TTableHolder Removed(Database);
  TTolvanDatabaseWriteHold Hold(Database);
  TTolvanTableData* Table = Database.FindTableData(*this);
  if (!Table)
    throw ETolvanException::CreateFmt(ErrDeleteTableNotFound, STableNotFound, TableName());
  DeleteRegisteredTable(Database, *Table, Session(), IgnoreForeignKeys, Removed);
}

void TTolvanLocalCursor::EmptyTable() {
  CloseTable();
  TTolvanDatabaseData& Database = SessionDatabase();
  TTolvanDatabaseWriteHold Hold(Database);
  TTolvanTableData* Table = Database.FindTableData(*this);
  if (!Table)
    throw ETolvanException::CreateFmt(ErrEmptyTableNotFound, STableNotFound, TableName());
  Table->EmptyTable(this, false);
}

// The table's own rename skips the table itself when it looks for the new name, so a new letter
// case of the same name is taken.
void TTolvanLocalCursor::RenameTable(std::string_view NewName) {
  CloseTable();
  TTolvanDatabaseData& Database = SessionDatabase();
  const AnsiString Name(NewName);
  TTolvanDatabaseWriteHold Hold(Database);
  TTolvanTableData* Table = Database.FindTableData(*this);
  if (!Table)
    throw ETolvanException::CreateFmt(ErrRenameTableNotFound, STableNotFound, TableName());
  Table->RenameTable(this, Name);
  SetTableName(Name);
}

void TTolvanLocalCursor::RenameField(std::string_view OldName, std::string_view NewName) {
  CloseTable();
  TTolvanDatabaseData& Database = SessionDatabase();
  TTolvanDatabaseWriteHold Hold(Database);
  TTolvanTableData* Table = Database.FindTableData(*this);
  if (!Table)
    throw ETolvanException::CreateFmt(ErrRenameFieldTableNotFound, STableNotFound, TableName());
  FTableData = Table;
  FDirectTableData = false;
  try {
    Table->AttachCursor(*this);
  } catch (...) {
    FTableData = nullptr;
    ReleaseOpenState();
    throw;
  }
  std::exception_ptr Failure;
  try {
    Table->RenameField(this, OldName, NewName);
  } catch (...) {
    Failure = std::current_exception();
  }
  // Detached also when the rename raised; then the rename's error is the one that counts.
  try {
    CloseTable();
  } catch (...) {
    if (!Failure)
      throw;
  }
  if (Failure)
    std::rethrow_exception(Failure);
}

// --- foreign keys and constraints ---------------------------------------------------------------

void TTolvanLocalCursor::AddForeignKey(const TTolvanConstraintDefForeignKey& Def) {
  if (!Opened() || !FTableData)
    throw ETolvanException::CreateFmt(ErrAddForeignKeyNotOpen, STableNotFound, TableName());
  if (!Exclusive())
    throw ETolvanException::CreateFmt(ErrAddForeignKeyNotExclusive, STableNotExclusive,
                                      TableName());
  TTolvanConstraintDefForeignKey Copy;
  Copy.Assign(Def);
  TTolvanTableWriteGate Gate(*FTableData);
  FTableData->AddForeignKey(*this, Copy);
}

void TTolvanLocalCursor::DeleteConstraint(std::string_view Name, bool Force, bool NoCascade) {
  if (!Opened() || !FTableData)
    throw ETolvanException::CreateFmt(ErrDeleteConstraintNotOpen, STableNotFound, TableName());
  if (!Exclusive())
    throw ETolvanException::CreateFmt(ErrDeleteConstraintNotExclusive, STableNotExclusive,
                                      TableName());
  TTolvanTableWriteGate Gate(*FTableData);
  FTableData->DeleteConstraint(this, Name, Force, NoCascade);
}

// --- streams ------------------------------------------------------------------------------------

// The stream is read whole into a new table that is not registered; only a table that loaded
// takes the place of the table of its stored name, which is deleted then (cursors attached to it
// refuse with 20017 and leave it as it was). A failed load frees the new table once and changes
// nothing.
void TTolvanLocalCursor::LoadTableFromStream(TStream& Stream) {
  TKeepTemporaryTable Keep(*this);
  TTolvanDatabaseData& Database = SessionDatabase();
  TTableHolder Loaded(Database);
  {
    TTolvanDatabaseWriteHold Hold(Database);
    Loaded.Table() = Database.CreateTableData(*this);
  }
  if (!Loaded.Table())
    throw ETolvanException::CreateFmt(ErrStreamTableNotFound, STableNotFound, TableName());
  Loaded.Table()->LoadFromStream(this, Stream);
  const AnsiString StoredName = Loaded.Table()->TableName();
  TTableHolder Removed(Database);
  {
    TTolvanDatabaseWriteHold Hold(Database);
    if (TTolvanTableData* Old = Database.FindTableData(StoredName))
      DeleteRegisteredTable(Database, *Old, Session(), true, Removed);
    Database.AddTable(std::move(Loaded.Table()));
  }
  SetTableName(StoredName);
}

void TTolvanLocalCursor::WriteTableToStream(TStream& Stream, TTolvanCompressionAlgorithm Algorithm,
                                            uint8_t Level, int32_t Value, bool AllowOpen,
                                            bool KeepOpen) {
  TTolvanDatabaseData& Database = SessionDatabase();
  {
    TTolvanDatabaseWriteHold Hold(Database);
    TTolvanTableData* Table = Database.FindTableData(*this);
    if (!Table)
      throw ETolvanException::CreateFmt(ErrStreamTableNotFound, STableNotFound, TableName());
    Table->SaveToStream(Stream, Algorithm, Level, Value, AllowOpen);
    if (KeepOpen || FTableData != Table)
      return;
  }
  // Leaving the table means closing: a cursor detached from its table holds nothing usable.
  CloseTable();
}

// --- SQL export ---------------------------------------------------------------------------------

void TTolvanLocalCursor::GenerateTableSQL(bool AddCreateTable, bool AddDropTable,
                                          bool AddCreateIndexes, bool AddDropIndexes,
                                          bool AddInsertData, bool IncludeBlobs, bool QuoteNames,
                                          AnsiString& SQL) {
  if (Opened()) {
    tolvan::GenerateTableSQL(*this, AddCreateTable, AddDropTable, AddCreateIndexes, AddDropIndexes,
                             AddInsertData, IncludeBlobs, QuoteNames, SQL);
    return;
  }
  // A closed cursor is opened for the export and closed again.
  OpenTable(nullptr, nullptr, nullptr);
  std::exception_ptr Failure;
  try {
    tolvan::GenerateTableSQL(*this, AddCreateTable, AddDropTable, AddCreateIndexes, AddDropIndexes,
                             AddInsertData, IncludeBlobs, QuoteNames, SQL);
  } catch (...) {
    Failure = std::current_exception();
  }
  try {
    CloseTable();
  } catch (...) {
    if (!Failure)
      throw;
  }
  if (Failure)
    std::rethrow_exception(Failure);
}

// --- repair -------------------------------------------------------------------------------------

bool TTolvanLocalCursor::RepairTable(AnsiString& Log, TTolvanBaseSession* RepairSession) {
  if (InMemory() || Temporary())
    return true;
  if (!Exclusive())
    throw ETolvanException::CreateFmt(ErrRepairNotExclusive, STableNotExclusive, TableName());
  try {
    OpenTable(nullptr, nullptr, nullptr);
    InitFieldDefs();
  } catch (...) {
    return false;
  }
  TTolvanBaseSession* TargetSession = RepairSession ? RepairSession : Session();
  const AnsiString OldName = TableName();
  AnsiString NewName;
  do
    NewName = MakeUniqueName(OldName + "_REPAIRED_");
  while (TargetSession->TableExists(NewName));

  TTolvanLocalCursor Target;
  Target.SetSession(TargetSession);
  Target.SetInMemory(false);
  Target.SetTemporary(false);
  Target.SetExclusive(true);
  Target.SetTableName(NewName);
  try {
    TTolvanFieldDefs Fields;
    Fields.Assign(FieldDefs());
    TTolvanIndexDefs Indexes;
    Indexes.Assign(GetIndexDefs());
    TTolvanConstraintDefs Constraints;
    Constraints.Assign(ConstraintDefs());
    Target.CreateTable(Fields, Indexes, Constraints);
    Target.OpenTable(nullptr, nullptr, nullptr);
    Target.InitFieldDefs();
  } catch (...) {
    Log += SRepairCannotCreateNewTable;
    Log += NewName;
    Log += CRLF;
    return false;
  }

  // Close both, delete the old table, give the new one its name.
  auto Finish = [&] {
    CloseTable();
    Target.CloseTable();
    DeleteTable(false);
    Target.RenameTable(OldName);
  };
  try {
    CopyRecordsForRepair(Target, Log);
    Finish();
  } catch (...) {
    // Once more, each step on its own, before the first error passes on.
    for (auto Step :
         {+[](TTolvanLocalCursor&C, TTolvanLocalCursor&, const AnsiString&) { C.CloseTable(); },
          +[](TTolvanLocalCursor&, TTolvanLocalCursor&T, const AnsiString&) { T.CloseTable(); },
          +[](TTolvanLocalCursor&C, TTolvanLocalCursor&, const AnsiString&) {
            C.DeleteTable(false);
          },
          +[](TTolvanLocalCursor&, TTolvanLocalCursor&T, const AnsiString&Name) {
            T.RenameTable(Name);
          }}) {
      try {
        Step(*this, Target, OldName);
      } catch (...) {
      }
    }
    throw;
  }
  return true;
}

// Copies the records this cursor reads into Target: forward from the beginning and, when that
// pass fails, backward from the end up to the record where it failed. Each record is posted on
// its own; a record that cannot be copied is logged and skipped. The auto-increment columns that
// do not cycle then continue from the highest value copied (the lowest for a falling sequence).
void TTolvanLocalCursor::CopyRecordsForRepair(TTolvanLocalCursor& Target, AnsiString& Log) {
  TFreshRecordBuffer SourceBuffer(*this);
  TFreshRecordBuffer TargetBuffer(Target);
  const TTolvanFieldDefs& Fields = FieldDefs();
  const int32_t Size = std::min(RecordSize(), Target.RecordSize());

  struct TTracked {
    int32_t FieldNo;
    bool Falling;
    std::optional<int64_t> Extreme;
  };
  std::vector<TTracked> Tracked;
  for (int32_t I = 0; I < Fields.Count(); ++I) {
    const TTolvanFieldDef& F = Fields.Items(I);
    if (F.IsAutoinc() && F.AutoincCycled() == 0)
      Tracked.push_back({I, F.AutoincIncrement() < 0, std::nullopt});
  }
  bool Posted = false;
  TTolvanVariant Value;

  auto CopyRecord = [&] {
    try {
      uint8_t* To = Target.RecordBuffer();
      std::memcpy(To, RecordBuffer(), size_t(Size));
      // The references are the old table's: the target's BLOB columns start empty.
      for (int32_t I = 0; I < Fields.Count(); ++I)
        if (Fields.Items(I).IsBlob()) {
          SetFieldNull(To, I, true);
          std::memset(To + Fields.Items(I).BufferOffset(), 0, size_t(Fields.Items(I).DataSize()));
        }
      Target.InsertRecordHook();
      for (int32_t I = 0; I < Fields.Count(); ++I) {
        if (!Fields.Items(I).IsBlob() || IsFieldNull(RecordBuffer(), I))
          continue;
        TTolvanStream* Out = Target.OpenBlob(true, I, tbmWrite);
        try {
          std::unique_ptr<TTolvanStream> In = OpenBlobReader(I);
          if (In)
            Out->CopyFrom(*In, 0);
        } catch (...) {
          // An unreadable value stays empty.
          Out->SetSize(0);
        }
        Target.CloseBlob(I);
      }
      Target.PostRecord(true);
      if (Target.LastErrorCode() != 0) {
        Log += SRepairCannotInsertRecord;
        Log += TableName();
        Log += CRLF;
        Log += Target.LastErrorText();
        Log += CRLF;
        Target.CancelRecord(true);
        return;
      }
      Posted = true;
      for (TTracked& T : Tracked) {
        if (IsFieldNull(RecordBuffer(), T.FieldNo))
          continue;
        GetFieldValue(Value, T.FieldNo, true, false);
        const int64_t V = Value.GetAsLargeInt();
        if (!T.Extreme || (T.Falling ? V < *T.Extreme : V > *T.Extreme))
          T.Extreme = V;
      }
    } catch (const std::exception& E) {
      Log += SRepairCannotInsertRecord;
      Log += TableName();
      Log += CRLF;
      Log += MessageOf(E);
      Log += CRLF;
      try {
        Target.CloseAllBlobs(false);
        Target.CancelRecord(true);
      } catch (...) {
      }
    }
  };
  auto RaiseMissing = [&](int32_t Code) {
    throw ETolvanException::Create(
        Code, Format(SRepairCannotGetRecord, Position().PageNo, int32_t(Position().PageItemNo)) +
                  TableName());
  };

  std::optional<TTolvanRecordID> FailedAt;
  bool FailedAtBegin = false;
  try {
    SetToBegin();
    for (;;) {
      const TTolvanGetRecordResult R = GetRecord(rmNext);
      if (R == rrMissing)
        RaiseMissing(ErrRepairForwardRecord);
      if (R != rrOK)
        break;
      CopyRecord();
    }
  } catch (const std::exception& E) {
    FailedAtBegin = Bof();
    FailedAt = Position();
    Log += SRepairCannotGetRecordsFromFirst;
    Log += TableName();
    Log += CRLF;
    Log += MessageOf(E);
    Log += CRLF;
  }
  if (FailedAt) {
    try {
      SetCursorToEnd();
      for (;;) {
        const TTolvanGetRecordResult R = GetRecord(rmPrior);
        if (R == rrMissing)
          RaiseMissing(ErrRepairBackwardRecord);
        if (R != rrOK)
          break;
        if (!FailedAtBegin && Position() == *FailedAt)
          break;
        CopyRecord();
      }
    } catch (const std::exception& E) {
      Log += SRepairCannotGetRecordsFromLast;
      Log += TableName();
      Log += CRLF;
      Log += MessageOf(E);
      Log += CRLF;
    }
  }
  if (!Posted)
    return;
  for (const TTracked& T : Tracked)
    if (T.Extreme)
      Target.SetAutoIncValue(T.FieldNo, *T.Extreme);
}

} // namespace tolvan
