// TolvanTableData.h: TTolvanTableData, the storage object of one table, shared by every cursor
// open on it.
//
// A table data holds the table's name, its managers (field, index, record and sequence), the
// list of attached cursors and three locks, and offers the virtual operations through which
// cursors create, restructure, fill, search and drop the table. The in-memory and temporary
// engines derive from it and supply the storage-specific operations (the abstract ones). The
// base sets the table up from definitions, applies defaults and keeps the auto-increment
// sequences; operations it does not provide yet raise 11394 "Error - operation is not
// supported".
//
// The record size is the offset of the last column plus its data size: the null bitmap and the
// columns, without the cursor's trailer. A table without columns has none (10131).
//
// The table reaches its database through TTolvanTableOwner, which hands out object ids: every
// definition the table takes gets a new one.
//
// Ownership: the table data owns its managers; the sequence manager is created before the field
// manager that refers to it and destroyed after it. Cursors and the owner are referred to. The
// concrete class destroys its stores.
//
// Threads: TableLock guards the table's content; the in-memory engine takes it for nearly every
// operation, the temporary engine takes none. CursorListLock and UseCountLock guard the cursor
// list and the use count. The base operations take no lock themselves. Lock order: the table
// lock, then the cursor-list or use-count lock.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "classlib/Classes.h"
#include "classlib/StringList.h"
#include "foundation/TolvanBLOBStream.h"
#include "foundation/TolvanCriticalSection.h"
#include "foundation/TolvanMemory.h"
#include "schema/TolvanCursor.h"
#include "schema/TolvanMetaObjectDefs.h"
#include "schema/TolvanSession.h"
#include "schema/expr/TolvanScanConditions.h"
#include "storage/TolvanFieldManager.h"
#include "storage/TolvanIndexManager.h"
#include "storage/TolvanPageManager.h"
#include "storage/TolvanRecordBitmap.h"
#include "storage/TolvanRecordManager.h"
#include "storage/TolvanSequenceManager.h"

namespace tolvan {

class TTolvanExpression;

// Native codes of the table data's set-up.
inline constexpr int32_t ErrNoFieldsSpecified = 10131;
inline constexpr int32_t ErrBlobBlockSizeZero = 10421;
inline constexpr int32_t ErrSaveSequencesCount = 10205;
inline constexpr int32_t ErrLoadSequencesCount = 10218;
inline constexpr int32_t ErrLoadTableWithCursors = 10152;
inline constexpr int32_t ErrSaveTableWithCursors = 10153;

// What a table needs of the database that owns it.
class TTolvanTableOwner {
public:
  // 1, 2, 3, ... for the life of the database.
  virtual int32_t NextObjectID() = 0;

protected:
  ~TTolvanTableOwner() = default;
};

class TTolvanTableData : public TTolvanPageReloadCheck {
public:
  virtual ~TTolvanTableData();
  TTolvanTableData(const TTolvanTableData&) = delete;
  TTolvanTableData& operator=(const TTolvanTableData&) = delete;

  // --- set-up ---------------------------------------------------------------------------------

  void SetName(std::string_view Name);
  // Every definition of Defs gets a new object id from the owner.
  void AssignObjectIDs(TTolvanMetaObjectDefs& Defs);
  // Replaces the field manager by one bound to the sequence manager, holding copies of Defs
  // laid out; Defs get new object ids first. A BLOB column with block size 0 raises 10421
  // before anything changes.
  void SetFieldDefs(TTolvanFieldDefs& Defs);
  // The null bitmap and columns; without columns 10131.
  int32_t RecordSize() const;

  // Replaces the sequence manager by an empty one; the field manager is bound to it.
  void CreateSequenceManager();
  // A sequence for every auto-increment column, in column order, named by MakeSequenceName and
  // set from the column's settings; the column's SequenceID names it.
  void CreateAutoIncSequences();
  // The sequence block: an Int32 count (10205), then that many sequence forms, one for each
  // auto-increment column's sequence in column order.
  void SaveSequences(TStream& Stream);
  // Replaces the sequences by those of a sequence block. A count below 0 or larger than the
  // bytes left can hold raises 10218 before a definition is made; a refused block leaves the
  // sequences as they were.
  void LoadSequences(TStream& Stream);

  // --- the slots --------------------------------------------------------------------------------

  virtual TTolvanPageManager* GetPageManager() = 0;
  // A new record manager for RecordSize.
  virtual void CreateRecordManager() = 0;
  // Replaces the index manager by one holding copies of Defs, which get new object ids first.
  // A refused definition (20041, 20042, 20043) changes nothing.
  virtual void SetIndexDefs(TTolvanIndexDefs& Defs);
  // FieldsOffset: the null bitmap's size, where the first column starts. Returns RecordSize.
  virtual int32_t GetRecordLayout(int32_t& FieldsOffset, int32_t& Size);
  // Enters TableLock; readers and writers share one critical section.
  virtual void Lock(bool Exclusive);
  virtual void Unlock();
  virtual void CreateTable(TTolvanCursor& Cursor, TTolvanFieldDefs& FieldDefs,
                           TTolvanIndexDefs& IndexDefs, TTolvanConstraintDefs& ConstraintDefs) = 0;
  virtual void DeleteTable(TTolvanBaseSession* Session, bool Force, bool IgnoreOpenCursors);
  virtual void EmptyTable(TTolvanCursor* Cursor, bool Force);
  virtual void RenameTable(TTolvanCursor* Cursor, std::string_view NewName);
  virtual void AddForeignKey(TTolvanCursor& Cursor, TTolvanConstraintDefForeignKey& Def);
  virtual void DeleteConstraint(TTolvanCursor* Cursor, std::string_view Name, bool Force,
                                bool NoCascade);
  virtual void RenameReferencedTable(int32_t SessionID, std::string_view OldName,
                                     std::string_view NewName);
  // Base: refuses while cursors are attached (10152).
  virtual void LoadFromStream(TTolvanCursor* Cursor, TStream& Stream);
  // Base: refuses while cursors are attached (10153) unless AllowOpen.
  virtual void SaveToStream(TStream& Stream, TTolvanCompressionAlgorithm Algorithm, uint8_t Level,
                            int32_t Value, bool AllowOpen);
  virtual void AttachCursor(TTolvanCursor& Cursor);
  virtual void DetachCursor(TTolvanCursor& Cursor);
  virtual void RenameField(TTolvanCursor* Cursor, std::string_view OldName,
                           std::string_view NewName);
  virtual void AddIndex(TTolvanIndexDef& Def, TTolvanCursor* Cursor);
  virtual void DeleteIndex(int32_t IndexID, TTolvanCursor* Cursor);
  // The index manager's EmptyIndex; nothing without one.
  virtual void EmptyIndex(int32_t IndexID, int32_t SessionID);
  virtual void DeleteAllIndexes(TTolvanCursor* Cursor);
  // The index manager's EmptyAll; nothing without one.
  virtual void EmptyAllIndexes(int32_t SessionID);
  // Called on the referenced table after a foreign key to it was added. Base: nothing.
  virtual void ForeignKeyAdded(int32_t SessionID);
  virtual int64_t RecordIDToInt64(const TTolvanRecordID& ID) = 0;
  virtual TTolvanRecordID Int64ToRecordID(int64_t Value) = 0;
  virtual bool Search(TTolvanCursor& Cursor, TTolvanExpression* Expression,
                      const TTolvanScanSearchCondition* Condition, bool FromBeginning, bool Forward,
                      TTolvanRecordID* FoundID, TTolvanRecordBitmap* ResultSet,
                      bool FirstMatchOnly);
  virtual bool RecordExists(TTolvanCursor& Cursor);
  // -1, 0 or 1 in the order of the table's records.
  virtual int32_t CompareRecordIDs(const TTolvanRecordID& A, const TTolvanRecordID& B) = 0;
  virtual TTolvanGetRecordResult GetRecord(TTolvanCursor& Cursor, TTolvanGetRecordMode Mode);
  virtual std::unique_ptr<TTolvanStream> OpenBlob(TTolvanCursor& Cursor, bool NewRecord,
                                                  int32_t FieldNo, TTolvanBlobOpenMode Mode);
  virtual void WriteBlob(TTolvanCursor& Cursor, int32_t FieldNo,
                         TTolvanCompressedBLOBStream& BlobStream);
  virtual void FreeBlob(uint8_t* Buffer, int32_t FieldNo);
  virtual void CheckConstraints(TTolvanCursor& Cursor, int32_t SessionID, uint8_t* Buffer,
                                uint8_t* OldBuffer, bool IsInsert, const TTolvanRecordID& ID,
                                bool SkipForeignKeys);
  // The field manager's ApplyDefaults with the cursor's session; nothing without fields.
  virtual void ApplyDefaults(TTolvanCursor& Cursor, uint8_t* Buffer, bool ApplyAutoInc);
  virtual bool InsertRecord(TTolvanCursor& Cursor) = 0;
  virtual bool DeleteRecord(TTolvanCursor& Cursor) = 0;
  virtual bool UpdateRecord(TTolvanCursor& Cursor) = 0;
  // A hook before an update. Base: nothing.
  virtual void EditRecord(TTolvanCursor& Cursor);
  virtual void CancelRecord(TTolvanCursor& Cursor);
  virtual void DeleteAllRecords(TTolvanCursor& Cursor);
  virtual void UpdateAllRecords(TTolvanCursor& Cursor, const TStringList& FieldNames,
                                std::span<TTolvanVariant* const> Values, bool SkipForeignKeys);
  virtual int64_t GetRecordCount(TTolvanCursor& Cursor);
  virtual void SetRecNo(TTolvanCursor& Cursor, int64_t RecNo);
  virtual int64_t GetRecNo(TTolvanCursor& Cursor);
  // The record id at a 1-based store position, and back.
  virtual void SetRecNoPhysical(TTolvanCursor& Cursor, int64_t RecNo) = 0;
  virtual int64_t GetRecNoPhysical(TTolvanCursor& Cursor) = 0;
  // The number of stored records.
  virtual int64_t GetTotalRecordCount() = 0;
  // The session's last value of an auto-increment column. Base: 0.
  virtual int64_t GetAutoIncValue(int32_t FieldNo, TTolvanBaseSession* Session);
  // Sets an auto-increment column's sequence value. Base: nothing.
  virtual void SetAutoIncValue(int32_t FieldNo, TTolvanCursor& Cursor, int64_t Value);
  // UseCount up and down.
  virtual void BeginTableUse();
  virtual void EndTableUse();
  // Hooks; the base does nothing.
  virtual void TransactionStarted();
  virtual void TransactionCommitted();
  virtual void TransactionRolledBack();
  // Asked by the page manager whether a cached page must be re-read. Base: false.
  bool PageNeedsReload(int32_t VersionStamp) override;

  // --- state ------------------------------------------------------------------------------------

  TTolvanTableOwner& Database() const noexcept { return FDatabase; }
  const AnsiString& TableName() const noexcept { return FTableName; }
  uint32_t TableNameHash() const noexcept { return FTableNameHash; }
  bool FreedByDatabase() const noexcept { return FFreedByDatabase; }
  void SetFreedByDatabase(bool Value) noexcept { FFreedByDatabase = Value; }

  TTolvanBaseFieldManager* FieldManager() const noexcept { return FFieldManager.get(); }
  TTolvanBaseIndexManager* IndexManager() const noexcept { return FIndexManager.get(); }
  TTolvanBaseRecordManager* RecordManager() const noexcept { return FRecordManager.get(); }
  TTolvanBaseSequenceManager* SequenceManager() const noexcept { return FSequenceManager.get(); }
  // The field definitions, or nil without a field manager.
  const TTolvanFieldDefs* FieldDefs() const noexcept;

  const std::vector<TTolvanCursor*>& Cursors() const noexcept { return FCursors; }
  TTolvanReadWriteThreadSyncBySingleCriticalSection& TableLock() noexcept { return FTableLock; }
  TTolvanReadWriteThreadSyncBySingleCriticalSection& CursorListLock() noexcept {
    return FCursorListLock;
  }
  TTolvanReadWriteThreadSyncBySingleCriticalSection& UseCountLock() noexcept {
    return FUseCountLock;
  }

  bool HasBlobs() const noexcept { return FHasBlobs; }
  bool IsMemory() const noexcept { return FIsMemory; }
  bool IsTemporary() const noexcept { return FIsTemporary; }
  int32_t UseCount() const noexcept { return FUseCount; }
  // RecordSize bytes while a cursor is attached; nil otherwise.
  uint8_t* ScratchRecord() const noexcept { return FScratchRecord.get(); }

protected:
  // Database hands out the object ids; Factory makes the index objects of SetIndexDefs'
  // managers, B-tree indexes when it is empty.
  explicit TTolvanTableData(TTolvanTableOwner& Database, TTolvanIndexFactory Factory = {});

  void SetIsMemory(bool Value) noexcept { FIsMemory = Value; }
  void SetIsTemporary(bool Value) noexcept { FIsTemporary = Value; }
  void SetRecordManager(std::unique_ptr<TTolvanBaseRecordManager> Value) noexcept;
  const TTolvanIndexFactory& IndexFactory() const noexcept { return FIndexFactory; }

  // Frees the managers, the index manager first; a concrete class calls it before its stores
  // go, since index objects refer to the page manager.
  void FreeManagers() noexcept;
  [[noreturn]] static void RaiseNotSupported();

private:
  TTolvanReadWriteThreadSyncBySingleCriticalSection FTableLock;
  bool FFreedByDatabase = false;
  TTolvanTableOwner& FDatabase;
  AnsiString FTableName;
  uint32_t FTableNameHash = 0;
  TTolvanIndexFactory FIndexFactory;
  // Declared first, destroyed last: the field manager refers to it.
  std::unique_ptr<TTolvanBaseSequenceManager> FSequenceManager;
  std::unique_ptr<TTolvanBaseFieldManager> FFieldManager;
  std::unique_ptr<TTolvanBaseIndexManager> FIndexManager;
  std::unique_ptr<TTolvanBaseRecordManager> FRecordManager;
  std::vector<TTolvanCursor*> FCursors;
  TTolvanReadWriteThreadSyncBySingleCriticalSection FCursorListLock;
  TTolvanReadWriteThreadSyncBySingleCriticalSection FUseCountLock;
  bool FHasBlobs = false;
  bool FIsMemory = false;
  bool FIsTemporary = false;
  int32_t FUseCount = 0;
  std::unique_ptr<uint8_t, TTolvanMemDeleter> FScratchRecord;
};

} // namespace tolvan
