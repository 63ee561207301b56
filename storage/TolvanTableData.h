// TolvanTableData.h: TTolvanTableData, the storage object of one table, shared by every cursor
// open on it.
//
// A table data holds the table's name, its managers (field, constraint, index, record and
// sequence), the list of attached cursors and three locks, and offers the virtual operations
// through which cursors create, restructure, fill, search and drop the table. The in-memory and
// temporary engines derive from it and supply the storage-specific operations (the abstract
// ones). The base sets the table up from definitions, attaches cursors, checks constraints,
// applies defaults, keeps the auto-increment sequences and runs the definition operations
// (tables, foreign keys, constraints, fields, indexes), and the record operations that need no
// store of their own: navigation, searches, record numbers, BLOB values, bulk deletes and
// updates (TolvanTableDataRecords.cpp). A refused operation changes nothing; an operation that
// changes index pages commits the session's pages on every exit.
//
// The record size is the offset of the last column plus its data size: the null bitmap and the
// columns, without the cursor's trailer. A table without columns has none (10131).
//
// The table reaches its database through TTolvanTableOwner, which hands out object ids (every
// definition the table takes gets a new one) and the database's write gate.
//
// Ownership: the table data owns its managers; the sequence manager is created before the field
// manager that refers to it and destroyed after it. Cursors and the owner are referred to. The
// concrete class destroys its stores. The database owns its tables; a table never frees itself:
// DeleteTable reports that the table is to go and the caller has the database destroy it.
//
// Other tables are reached through side cursors, which the local-cursor unit makes through the
// registered TTolvanSideCursorFactory, and foreign keys are validated, checked and renamed
// through the registered TTolvanForeignKeyRoutines; without a registration both raise 11394.
//
// Threads: TableLock guards the table's content: definitions, indexes, pages and records. The
// base takes it (through the Lock and Unlock slots, so a class that overrides them to nothing
// takes none) in every definition operation, in attaching and detaching cursors and in the
// constraint check; it is re-entrant, so a cursor holds it across check and store with
// TTolvanTableLock. CursorListLock guards the cursor list and the scratch record, UseCountLock
// the use count.
//
// Lock order (checked in debug builds, TolvanLockOrder.h): the registry of databases, then the
// database's write gate, then the database lock, then a table lock, then that table's cursor-list
// lock, then its use-count lock. Nothing is taken under the use-count lock; locks added later go
// after these. Two patterns break the order: a table-lock holder that looks up another table
// (side cursors of foreign-key checks and actions, AddForeignKey, DeleteConstraint, DeleteTable,
// RenameTable) enters the database lock and then the other table's lock, the table asked first
// locked first; and a holder of the database lock in write mode waits for table locks (database
// save and load, creates that set up foreign keys). Every operation that does either, or holds
// two table locks, first takes the database's write gate (TTolvanTableOwner::WriteGate), so no
// two of them interleave.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
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
#include "storage/TolvanBlobBlocks.h"
#include "storage/TolvanConstraintManager.h"
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
inline constexpr int32_t ErrDeleteTableWithCursors = 20017;
inline constexpr int32_t ErrDeleteTableReferenced = 11481;
inline constexpr int32_t ErrEmptyTableWithCursors = 10072;
inline constexpr int32_t ErrRenameTableWithCursors = 10150;
inline constexpr int32_t ErrAddForeignKeyNameTaken = 11588;
inline constexpr int32_t ErrAddForeignKeyColumn = 11587;
inline constexpr int32_t ErrDeleteConstraintNotFound = 11482;
inline constexpr int32_t ErrDeletePrimaryKeyReferenced = 11483;
inline constexpr int32_t ErrDetachWithoutSession = 11631;
inline constexpr int32_t ErrRenameFieldOldMissing = 30343;
inline constexpr int32_t ErrRenameFieldNewExists = 30344;
inline constexpr int32_t ErrRenameFieldIndexed = 11489;
inline constexpr int32_t ErrRenameFieldForeignKey = 11488;
inline constexpr int32_t ErrFindIndexForForeignKey = 11384;
// Native codes of the record operations.
inline constexpr int32_t ErrLocateNoExpression = 11375;
inline constexpr int32_t ErrDeleteAllLoadRecord = 11466;
inline constexpr int32_t ErrUpdateAllFieldNotFound = 11447;
inline constexpr int32_t ErrUpdateAllItemCount = 11448;
inline constexpr int32_t ErrUpdateAllLoadRecord = 11449;

class TTolvanTableData;

// What a table needs of the database that owns it.
class TTolvanTableOwner {
public:
  // 1, 2, 3, ... for the life of the database.
  virtual int32_t NextObjectID() = 0;
  // Taken before the database lock by every operation that locks a second table or the database
  // while holding a table lock.
  virtual TTolvanWriteGate& WriteGate() = 0;
  // The last object id handed out, which a table stream saves; raising it to Value makes the ids
  // of a loaded table stay unique. By default 0 and nothing.
  virtual int64_t ObjectIDValue() { return 0; }
  virtual void MergeObjectIDValue(int64_t) noexcept {}

protected:
  ~TTolvanTableOwner() = default;
};

// A cursor the table opens on another table of its database for a definition operation: given
// the caller's session, opened, its field definitions loaded, positioned at the beginning and
// given a record buffer.
class TTolvanSideCursor {
public:
  virtual ~TTolvanSideCursor() = default;
  virtual TTolvanCursor& Cursor() = 0;
  virtual TTolvanTableData& TableData() = 0;
  // Frees the record buffer and closes the table; may raise. The destructor of a cursor not
  // closed releases it silently.
  virtual void Close() = 0;
};

// Opens a side cursor on table Name, exclusively when asked, for Session, in memory or not.
using TTolvanSideCursorFactory = std::function<std::unique_ptr<TTolvanSideCursor>(
    TTolvanBaseSession* Session, bool InMemory, std::string_view Name, bool Exclusive)>;

// Registers the factory process-wide and returns the one registered before (empty for none).
TTolvanSideCursorFactory RegisterSideCursorFactory(TTolvanSideCursorFactory Factory);
// A side cursor from the registered factory; none registered raises 11394.
std::unique_ptr<TTolvanSideCursor> OpenSideCursor(TTolvanBaseSession* Session, bool InMemory,
                                                  std::string_view Name, bool Exclusive);

// The foreign-key work the table data calls; the foreign-key unit registers the implementation.
class TTolvanForeignKeyRoutines {
public:
  virtual ~TTolvanForeignKeyRoutines() = default;
  // Refuses Key when the parent table Parent is opened on cannot serve it.
  virtual void ValidateForeignKey(TTolvanTableData& Table, TTolvanConstraintDefForeignKey& Key,
                                  TTolvanCursor& Parent) = 0;
  // Refuses Key when a stored record of the child cursor's table has no parent.
  virtual void CheckExistingRows(TTolvanTableData& Table, TTolvanCursor& Child,
                                 TTolvanCursor& Parent,
                                 const TTolvanConstraintDefForeignKey& Key) = 0;
  // True when the record in Buffer violates Key: its parent is missing.
  virtual bool CheckForeignKeyParent(TTolvanTableData& Table, TTolvanCursor& Child,
                                     int32_t SessionID, const TTolvanConstraintDefForeignKey& Key,
                                     const uint8_t* Buffer) = 0;
  // The tables Table references or is referenced by take NewName for it in their definitions.
  virtual void RenameForeignKeyReferences(TTolvanTableData& Table, TTolvanCursor* Cursor,
                                          std::string_view OldName, std::string_view NewName) = 0;
  // Name without the temporary foreign-key prefix.
  virtual AnsiString StripTemporaryFKName(std::string_view Name) = 0;
  // Runs the delete (OnDelete) or update actions of the foreign keys referencing Table for the
  // record in the cursor's record buffer, still stored and indexed. Base: 11394.
  virtual void ApplyForeignKeyActions(TTolvanTableData& Table, TTolvanCursor& Cursor,
                                      int32_t SessionID, bool OnDelete);
};

// Registers the routines process-wide (not owned; nil unregisters) and returns the previous ones.
TTolvanForeignKeyRoutines* RegisterForeignKeyRoutines(TTolvanForeignKeyRoutines* Routines) noexcept;
// The registered routines; none raises 11394.
TTolvanForeignKeyRoutines& ForeignKeyRoutines();

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
  // Replaces the constraint manager by one holding copies of Defs, bound and named; Defs get new
  // object ids, and the table-bound kinds this table's name, first. A kind above 5 raises 30040
  // and a failed binding its code, leaving the manager as it was.
  void SetConstraintDefs(TTolvanConstraintDefs& Defs);
  // Whether the index of IndexID already holds Buffer's key: never while the table holds no
  // record; on insert when the key is not unique; on update when it changed and is not unique.
  bool DuplicateKeyExists(int32_t SessionID, int32_t IndexID, const uint8_t* Buffer,
                          const uint8_t* OldBuffer, bool IsInsert, const TTolvanRecordID& ID);

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
  // Refuses while cursors are attached (20017, unless IgnoreOpenCursors) and while the table
  // references or is referenced (11481, unless Force); with a session, the other tables drop
  // their halves of the table's foreign keys. True when the caller is to have the database
  // destroy the table; the base frees nothing and answers false.
  virtual bool DeleteTable(TTolvanBaseSession* Session, bool Force, bool IgnoreOpenCursors);
  // Refuses while cursors are attached (10072); empties every index.
  virtual void EmptyTable(TTolvanCursor* Cursor, bool Force);
  // Refuses while cursors are attached (10150); the tables on the other ends of foreign keys
  // take the new name first.
  virtual void RenameTable(TTolvanCursor* Cursor, std::string_view NewName);
  // Adds Def (which gets an object id, its column ids and, as Partner, the action record made in
  // the referenced table). 11588 for a name taken here, 11587 for an unknown column.
  virtual void AddForeignKey(TTolvanCursor& Cursor, TTolvanConstraintDefForeignKey& Def);
  // 11482 for an unknown name. A foreign key or action record takes its other half with it
  // unless NoCascade; a referenced primary key refuses (11483) unless Force, which first drops
  // every action record (and so the foreign keys to the table), then the key's index.
  virtual void DeleteConstraint(TTolvanCursor* Cursor, std::string_view Name, bool Force,
                                bool NoCascade);
  // Foreign keys and action records naming OldName name NewName, their temporary prefixes gone.
  virtual void RenameReferencedTable(int32_t SessionID, std::string_view OldName,
                                     std::string_view NewName);
  // Base: refuses while cursors are attached (10152).
  virtual void LoadFromStream(TTolvanCursor* Cursor, TStream& Stream);
  // Base: refuses while cursors are attached (10153) unless AllowOpen.
  virtual void SaveToStream(TStream& Stream, TTolvanCompressionAlgorithm Algorithm, uint8_t Level,
                            int32_t Value, bool AllowOpen);
  // Adds the cursor, makes the scratch record for the first one, marks the cursor opened and has
  // it refresh its definitions (under the table and cursor-list locks, so the refresh may take
  // only these again or later ones); a failed refresh leaves the cursor detached.
  virtual void AttachCursor(TTolvanCursor& Cursor);
  // Removes the cursor (one without a session raises 11631). The indexes forget the session's
  // key paths when no attached cursor of that session id is left; the last cursor takes the
  // scratch record with it.
  virtual void DetachCursor(TTolvanCursor& Cursor);
  // 30343 for an unknown old name, 30344 for a new name taken, 11489 for a column of an index,
  // 11488 for a column of a foreign key. Not-null and check constraints on the column follow it.
  virtual void RenameField(TTolvanCursor* Cursor, std::string_view OldName,
                           std::string_view NewName);
  // Builds the index (its constraint too when it is primary or unique, unless the table is
  // temporary); the attached cursors reload their index definitions, and the cursor's position
  // is kept. A failure leaves neither index nor constraint.
  virtual void AddIndex(TTolvanIndexDef& Def, TTolvanCursor* Cursor);
  // Drops the index and the constraint it backs; attached cursors reload their definitions.
  virtual void DeleteIndex(int32_t IndexID, TTolvanCursor* Cursor);
  // The index manager's EmptyIndex; nothing without one.
  virtual void EmptyIndex(int32_t IndexID, int32_t SessionID);
  virtual void DeleteAllIndexes(TTolvanCursor* Cursor);
  // The index manager's EmptyAll; nothing without one.
  virtual void EmptyAllIndexes(int32_t SessionID);
  // The name of the first index whose leading columns are FieldNames with the orders and case
  // modes asked (TTolvanIndexDefs::FindIndexForFields); empty when none fits. An id the
  // definitions do not hold raises 11384.
  AnsiString FindIndexForForeignKey(TTolvanCursor& Cursor, const TStringList* FieldNames,
                                    const TStringList* Orders, const TStringList* CaseModes);
  // Called on the referenced table after a foreign key to it was added. Base: nothing.
  virtual void ForeignKeyAdded(int32_t SessionID);
  virtual int64_t RecordIDToInt64(const TTolvanRecordID& ID) = 0;
  virtual TTolvanRecordID Int64ToRecordID(int64_t Value) = 0;
  // The records the cursor sees that also satisfy Expression and Condition (SearchTable,
  // TolvanSearch.h).
  virtual bool Search(TTolvanCursor& Cursor, TTolvanExpression* Expression,
                      const TTolvanScanSearchCondition* Condition, bool FromBeginning, bool Forward,
                      TTolvanRecordID* FoundID, TTolvanRecordBitmap* ResultSet,
                      bool FirstMatchOnly);
  // The first record in the cursor's order that the cursor sees and Expression accepts becomes
  // current and is read; otherwise the position stays. A nil Expression raises 11375.
  virtual bool Locate(TTolvanCursor& Cursor, TTolvanExpression* Expression);
  // The first record in the cursor's order whose key compares with the cursor's search key as
  // ConditionType says becomes current, unread; otherwise the position stays.
  virtual bool GotoKey(TTolvanCursor& Cursor, uint8_t ConditionType);
  virtual bool RecordExists(TTolvanCursor& Cursor);
  // -1, 0 or 1 in the order of the table's records.
  virtual int32_t CompareRecordIDs(const TTolvanRecordID& A, const TTolvanRecordID& B) = 0;
  virtual TTolvanGetRecordResult GetRecord(TTolvanCursor& Cursor, TTolvanGetRecordMode Mode);
  virtual std::unique_ptr<TTolvanStream> OpenBlob(TTolvanCursor& Cursor, bool NewRecord,
                                                  int32_t FieldNo, TTolvanBlobOpenMode Mode);
  // Stores what the stream wrote into the column of the cursor's record buffer: an empty value
  // makes it NULL; otherwise a new block, marked written in this edit, replaces its value.
  virtual void WriteBlob(TTolvanCursor& Cursor, int32_t FieldNo, TTolvanLocalBLOBStream& Stream);
  // Frees the column's value and makes it NULL; nothing for a NULL column or a table without
  // BLOB columns. A reference naming no block raises 10118.
  virtual void FreeBlob(uint8_t* Buffer, int32_t FieldNo);
  // FreeBlob of every BLOB column.
  void FreeAllBlobs(uint8_t* Buffer);
  // The column's marker: written in this edit, or owned by the stored record.
  bool IsBlobWritten(const uint8_t* Buffer, int32_t FieldNo) const;
  void SetBlobWritten(bool Written, uint8_t* Buffer, int32_t FieldNo);
  // Marks every non-NULL BLOB column of the cursor's record buffer. Not written, the stored
  // record owns the blocks: a later CancelRecord frees none of them.
  virtual void SetBlobMarks(bool Written, TTolvanCursor& Cursor);
  // The blocks of the table's BLOB values.
  TTolvanBlobBlockTable& BlobBlocks() noexcept { return FBlobBlocks; }
  // The constraint manager's CheckRecord, unless the table has no constraints.
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
  // Frees the BLOB values written in this edit; those of the stored record stay.
  virtual void CancelRecord(TTolvanCursor& Cursor);
  // Deletes every record the cursor sees. A failure stops it: the records handled stay deleted.
  // A record that has gone meanwhile (a cascade in the same table) counts as done.
  virtual void DeleteAllRecords(TTolvanCursor& Cursor);
  // Sets the named fields to Values in every record the cursor sees; 11448 before any record
  // when the counts differ or are 0. A record failing its constraints is not written and stops
  // the update; the records handled before stay updated.
  virtual void UpdateAllRecords(TTolvanCursor& Cursor, const TStringList& FieldNames,
                                std::span<TTolvanVariant* const> Values, bool SkipForeignKeys);
  virtual int64_t GetRecordCount(TTolvanCursor& Cursor);
  // A number below 1 is taken as 1, one above the count as the count.
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
  // UseCount up and down, under UseCountLock.
  virtual void BeginTableUse();
  virtual void EndTableUse();
  // A transaction of session SessionID with cursors on the table started, committed or rolled
  // back; the base does nothing.
  virtual void TransactionStarted(int32_t SessionID);
  virtual void TransactionCommitted(int32_t SessionID);
  virtual void TransactionRolledBack(int32_t SessionID);
  // Asked by the page manager whether a cached page must be re-read. Base: false.
  bool PageNeedsReload(int32_t VersionStamp) override;

  // --- result-set upkeep after a post (the cursor's result set is filled) -----------------------

  // Whether the cursor has a filter, an external filter, a filter callback or a range, and so
  // sees its records through its result set.
  static bool IsRestricted(const TTolvanCursor& Cursor);
  // Whether the record in Buffer passes the cursor's range, filter, external filter and filter
  // callback, in that order.
  bool RecordMatches(TTolvanCursor& Cursor, uint8_t* Buffer);
  // After an insert: a new record the cursor sees joins its result set in the cursor's order;
  // otherwise the cursor returns to Saved (and rereads its record there).
  void AfterPostInsert(TTolvanCursor& Cursor, const TTolvanCursorPosition& Saved);
  // Inserts the current record's id into the result set after the nearest preceding record (in
  // the cursor's index) that the cursor sees; the record buffer is as it was afterwards.
  void InsertIntoResultSet(TTolvanCursor& Cursor);
  // After an update: a record whose index key changed moves to its new place in the result set;
  // one the cursor no longer sees leaves it, and the cursor moves to the next record of the set
  // (the prior one when it was the last).
  void AfterPostUpdate(TTolvanCursor& Cursor);

  // --- state ------------------------------------------------------------------------------------

  TTolvanTableOwner& Database() const noexcept { return FDatabase; }
  const AnsiString& TableName() const noexcept { return FTableName; }
  uint32_t TableNameHash() const noexcept { return FTableNameHash; }

  TTolvanBaseFieldManager* FieldManager() const noexcept { return FFieldManager.get(); }
  TTolvanBaseIndexManager* IndexManager() const noexcept { return FIndexManager.get(); }
  TTolvanBaseRecordManager* RecordManager() const noexcept { return FRecordManager.get(); }
  TTolvanBaseSequenceManager* SequenceManager() const noexcept { return FSequenceManager.get(); }
  TTolvanBaseConstraintManager* ConstraintManager() const noexcept {
    return FConstraintManager.get();
  }
  // The field definitions, or nil without a field manager.
  const TTolvanFieldDefs* FieldDefs() const noexcept;
  // The constraint manager, made empty when there is none (a table that gains a foreign key or
  // an action record).
  TTolvanBaseConstraintManager& EnsureConstraintManager();

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
  int32_t UseCount() const noexcept { return FUseCount.load(std::memory_order_relaxed); }
  // RecordSize bytes while a cursor is attached; nil otherwise.
  uint8_t* ScratchRecord() const noexcept { return FScratchRecord.get(); }
  // Set once the table has dropped itself (a temporary table's last detach): it holds nothing
  // any more, and whoever detached the cursor has the database destroy it (DestroyTable).
  bool DropPending() const noexcept { return FDropPending; }
  // Attached cursors, read under the cursor-list lock.
  bool HasCursors();

protected:
  // Database hands out the object ids; Factory makes the index objects of SetIndexDefs'
  // managers, B-tree indexes when it is empty.
  explicit TTolvanTableData(TTolvanTableOwner& Database, TTolvanIndexFactory Factory = {});

  void SetIsMemory(bool Value) noexcept { FIsMemory = Value; }
  void SetIsTemporary(bool Value) noexcept { FIsTemporary = Value; }
  void SetDropPending() noexcept { FDropPending = true; }
  void SetRecordManager(std::unique_ptr<TTolvanBaseRecordManager> Value) noexcept;
  const TTolvanIndexFactory& IndexFactory() const noexcept { return FIndexFactory; }

  // Frees the managers, the index manager first; a concrete class calls it before its stores
  // go, since index objects refer to the page manager.
  void FreeManagers() noexcept;
  [[noreturn]] static void RaiseNotSupported();

  // What a table replaced whole (a load) consists of, built beside the table's own parts; the
  // managers refer to this table, the index manager to the page store that comes with them.
  struct TTolvanTableParts {
    AnsiString TableName;
    std::unique_ptr<TTolvanBaseSequenceManager> SequenceManager;
    std::unique_ptr<TTolvanBaseFieldManager> FieldManager;
    std::unique_ptr<TTolvanBaseIndexManager> IndexManager;
    std::unique_ptr<TTolvanBaseRecordManager> RecordManager;
    std::unique_ptr<TTolvanBaseConstraintManager> ConstraintManager;
    std::unique_ptr<TTolvanBlobBlockTable> BlobBlocks;
    bool HasBlobs = false;
  };
  // Exchanges the name, managers and BLOB blocks with Parts, which then holds the old ones. The
  // caller exchanges its page store in the same step and frees the old index manager before the
  // old store.
  void SwapParts(TTolvanTableParts& Parts) noexcept;

private:
  // Runs Body, then commits the session's pages, also when Body fails (a failed commit after a
  // failure is dropped: the first error passes on).
  template <class TBody> void CommittingPages(int32_t SessionID, TBody&& Body);
  // The index definitions the attached cursors see are reloaded from the table.
  void ReloadCursorIndexDefs();
  // Deletes the other half of a foreign key or action record Def, in its table (through a side
  // cursor) or, for a self-reference, here.
  void DeletePartner(TTolvanCursor* Cursor, const TTolvanConstraintDefForeignKeyAction& Def);
  void DeleteConstraintAt(int32_t Position);
  // Visits every record the cursor sees, read into its record buffer and current (see the
  // source); LoadErrorCode names a failed read.
  template <class TVisit>
  void ForEachVisibleRecord(TTolvanCursor& Cursor, int32_t LoadErrorCode, TVisit&& Visit);

private:
  TTolvanReadWriteThreadSyncBySingleCriticalSection FTableLock;
  TTolvanTableOwner& FDatabase;
  AnsiString FTableName;
  uint32_t FTableNameHash = 0;
  TTolvanIndexFactory FIndexFactory;
  // Declared first, destroyed last: the field manager refers to it.
  std::unique_ptr<TTolvanBaseSequenceManager> FSequenceManager;
  std::unique_ptr<TTolvanBaseFieldManager> FFieldManager;
  std::unique_ptr<TTolvanBaseIndexManager> FIndexManager;
  std::unique_ptr<TTolvanBaseRecordManager> FRecordManager;
  std::unique_ptr<TTolvanBaseConstraintManager> FConstraintManager;
  std::vector<TTolvanCursor*> FCursors;
  TTolvanReadWriteThreadSyncBySingleCriticalSection FCursorListLock;
  TTolvanReadWriteThreadSyncBySingleCriticalSection FUseCountLock;
  bool FHasBlobs = false;
  bool FIsMemory = false;
  bool FIsTemporary = false;
  bool FDropPending = false;
  std::atomic<int32_t> FUseCount{0};
  std::unique_ptr<uint8_t, TTolvanMemDeleter> FScratchRecord;
  // Engine blocks of the values, independent of the managers.
  TTolvanBlobBlockTable FBlobBlocks;
};

// Holds a table's lock (its Lock and Unlock slots) for the life of the scope; re-entrant, so a
// cursor can hold it across the constraint check and the store.
class TTolvanTableLock {
public:
  explicit TTolvanTableLock(TTolvanTableData& Table, bool Exclusive = true) : FTable(Table) {
    FTable.Lock(Exclusive);
  }
  ~TTolvanTableLock() { FTable.Unlock(); }
  TTolvanTableLock(const TTolvanTableLock&) = delete;
  TTolvanTableLock& operator=(const TTolvanTableLock&) = delete;

private:
  TTolvanTableData& FTable;
};

// Holds the write gate of Table's database for one write through Table, taken before any lock of
// the database or its tables. A temporary table has one user and takes none of its database's
// locks: no gate for it.
class TTolvanTableWriteGate {
public:
  explicit TTolvanTableWriteGate(TTolvanTableData& Table)
      : FGate(Table.IsTemporary() ? nullptr : &Table.Database().WriteGate()) {
    if (FGate)
      FGate->Enter();
  }
  ~TTolvanTableWriteGate() {
    if (FGate)
      FGate->Leave();
  }
  TTolvanTableWriteGate(const TTolvanTableWriteGate&) = delete;
  TTolvanTableWriteGate& operator=(const TTolvanTableWriteGate&) = delete;

private:
  TTolvanWriteGate* FGate;
};

} // namespace tolvan
