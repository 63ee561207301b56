// TolvanMemoryEngine.h: the in-memory engine: a database whose tables live in the process's
// memory and which numbers the sessions attached to it, and the table data of such a table.
//
// TTolvanMemoryDatabaseData makes TTolvanMemoryTableData for its cursors' tables and gives every
// session that attaches a SessionID of its own: 0, 1, 2, ... for the life of the database, never
// reused (release 3.90: 0 for every session). RegisterMemoryEngine puts the engine into the
// registry's engine table under "MEMORY" (StorageStartup does it when no engine of that name is
// registered), so the standing "MEMORY" database and every further in-memory database a session
// asks for are of this class.
//
// TTolvanMemoryTableData keeps its records in a TTolvanMemoryRecordManager and its B-tree pages
// in a TTolvanMemoryPageManager of its own, and runs every record operation under the table
// lock. A record write completes or leaves the store and every index as they were:
//   - insert stores the record, then its keys (a key failure deletes the record again), commits,
//     and only then has the cursor's result set take the record;
//   - update and delete first read the record as stored (a record that is not stored answers
//     false and touches nothing) and take the old keys and the unchanged BLOB references from
//     it, not from the cursor's buffers, which another cursor's write may have outdated; a store
//     that refuses after the keys changed has them changed back; the BLOB blocks of a deleted or
//     replaced value are freed only once the store's delete or update has succeeded;
//   - every operation that touched pages commits the session's pages on every exit, after the
//     undo; a commit failing after an error is dropped, so the first error passes on.
// A store that refuses makes insert, update and delete answer false, not raise. A delete or
// update of a table that other tables reference with actions runs them first (the foreign-key
// unit's cascade operation, under the database's write gate taken before the table lock); the
// record is then read again, since the actions may have written this table themselves.
//
// Ownership: the database owns its tables (TTolvanDatabaseData); a table owns its page manager,
// its record manager and, through the base, its BLOB blocks. Close() is the teardown that may
// fail (emptying, dropping the indexes, committing); the database calls it before it destroys
// a table, and the destructor only releases.
//
// Threads: record and index operations of one table are serialised by its table lock; session
// numbering runs under the database lock; GetTotalRecordCount reads the atomic count unlocked.
// A table's name changes only under its database's exclusive lock (taken after the write gate,
// before the table lock).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "storage/TolvanDatabaseData.h"
#include "storage/TolvanPageStores.h"
#include "storage/TolvanTableData.h"
#include "storage/memory/TolvanMemoryRecordManager.h"
#include "storage/memory/TolvanTableStream.h"

namespace tolvan {

// Native codes of the memory engine.
inline constexpr int32_t ErrCreateTableNoFields = 10025;
inline constexpr int32_t ErrEmptyTableReferenced = 11494;
inline constexpr int32_t ErrCreateTableNoFieldDefs = 11429;
inline constexpr int32_t ErrCreateTableUnnamedField = 11432;
inline constexpr int32_t ErrCreateTableDuplicateField = 11430;
inline constexpr int32_t ErrCreateTableUnnamedIndex = 11433;
inline constexpr int32_t ErrCreateTableIndexWithoutFields = 11434;
inline constexpr int32_t ErrCreateTableDuplicateIndex = 11428;
inline constexpr int32_t ErrCreateTableMultiplePrimary = 11427;
inline constexpr int32_t ErrCreateTableDuplicateConstraint = 11431;
inline constexpr int32_t ErrGetAutoIncFieldNo = 30335;
inline constexpr int32_t ErrSetAutoIncFieldNo = 10575;
inline constexpr int32_t ErrDatabaseStreamCountWrite = 11759;
inline constexpr int32_t ErrDatabaseStreamCountRead = 11760;

// The checks a new table's definitions pass before anything is set up; TableName names the table
// in the messages.
void ValidateFieldDefs(std::string_view TableName, const TTolvanFieldDefs& Defs);
void ValidateIndexDefs(std::string_view TableName, const TTolvanIndexDefs& Defs);
void ValidateConstraintDefs(std::string_view TableName, const TTolvanConstraintDefs& Defs);

class TTolvanMemoryTableData : public TTolvanTableData {
public:
  // AllocBy is the record store's allocation step in slots; Factory makes the index objects
  // (B-tree indexes when empty).
  TTolvanMemoryTableData(TTolvanTableOwner& Database, int32_t AllocBy,
                         TTolvanIndexFactory Factory = {});
  ~TTolvanMemoryTableData() override;

  // Empties the store, drops the indexes and commits; may raise. Afterwards the table holds
  // nothing and its destructor has nothing left to do but release.
  void Close();

  TTolvanMemoryPageManager& Pages() noexcept { return *FPageManager; }
  TTolvanMemoryRecordManager* Records() const noexcept {
    return static_cast<TTolvanMemoryRecordManager*>(RecordManager());
  }
  int32_t AllocBy() const noexcept { return FAllocBy; }
  int32_t LoadedRecordCount() const noexcept { return FLoadedRecordCount; }
  void SetLoadedRecordCount(int32_t Value) noexcept { FLoadedRecordCount = Value; }

  // --- structure --------------------------------------------------------------------------------

  TTolvanPageManager* GetPageManager() override { return FPageManager.get(); }
  void CreateRecordManager() override;
  // 10025 without fields; then the definitions' checks, the set-up and the foreign keys. The
  // caller (the database's GetTableData) holds the write gate and the database lock; a failure
  // leaves nothing in the tables the new one references.
  void CreateTable(TTolvanCursor& Cursor, TTolvanFieldDefs& FieldDefs, TTolvanIndexDefs& IndexDefs,
                   TTolvanConstraintDefs& ConstraintDefs) override;
  // The base, then the indexes are dropped. True when the caller is to have the database
  // destroy the table: always, unless open cursors were allowed and some are attached.
  bool DeleteTable(TTolvanBaseSession* Session, bool Force, bool IgnoreOpenCursors) override;

  // --- streams
  // ------------------------------------------------------------------------------------

  // The table stream of the table, under the table lock, after the base's check of attached
  // cursors; the database's object-id counter goes with it.
  void SaveToStream(TStream& Stream, TTolvanCompressionAlgorithm Algorithm, uint8_t Level,
                    int32_t Value, bool AllowOpen) override;
  // Reads a whole table stream into fresh parts, checks every index against the records (a sound
  // B-tree, one entry per live record under that record's key), and only then replaces the
  // table's name, definitions, pages, records and BLOB values at once and merges the object-id
  // counter. Any failure leaves the table as it was.
  void LoadFromStream(TTolvanCursor* Cursor, TStream& Stream) override;
  // 11494 while another table's foreign key with a delete action references this one, unless
  // IgnoreForeignKeys; then the base and ClearRecords.
  void EmptyTable(TTolvanCursor* Cursor, bool IgnoreForeignKeys) override;
  // 11491 when another table of the database has NewName; then the base, under the database's
  // exclusive lock.
  void RenameTable(TTolvanCursor* Cursor, std::string_view NewName) override;
  void DeleteConstraint(TTolvanCursor* Cursor, std::string_view Name, bool Force,
                        bool NoCascade) override;
  // The table takes the letter case of the name the latest cursor used.
  void AttachCursor(TTolvanCursor& Cursor) override;

  // --- records ----------------------------------------------------------------------------------

  // The slot, sign-extended; back, a value outside Int32 raises ERangeError.
  int64_t RecordIDToInt64(const TTolvanRecordID& ID) override { return ID.PageNo; }
  TTolvanRecordID Int64ToRecordID(int64_t Value) override;
  int32_t CompareRecordIDs(const TTolvanRecordID& A, const TTolvanRecordID& B) override {
    return A.PageNo == B.PageNo ? 0 : A.PageNo > B.PageNo ? 1 : -1;
  }
  bool Search(TTolvanCursor& Cursor, TTolvanExpression* Expression,
              const TTolvanScanSearchCondition* Condition, bool FromBeginning, bool Forward,
              TTolvanRecordID* FoundID, TTolvanRecordBitmap* ResultSet,
              bool FirstMatchOnly) override;
  bool RecordExists(TTolvanCursor& Cursor) override;
  TTolvanGetRecordResult GetRecord(TTolvanCursor& Cursor, TTolvanGetRecordMode Mode) override;
  void CheckConstraints(TTolvanCursor& Cursor, int32_t SessionID, uint8_t* Buffer,
                        uint8_t* OldBuffer, bool IsInsert, const TTolvanRecordID& ID,
                        bool SkipForeignKeys) override;
  void ApplyDefaults(TTolvanCursor& Cursor, uint8_t* Buffer, bool ApplyAutoInc) override;
  // Stores the cursor's record (its Position becomes the new id) and its keys.
  bool InsertRecord(TTolvanCursor& Cursor) override;
  // Deletes the record at the cursor's Position; the cursor moves to the next record it sees
  // (the prior one after the last), or to the beginning when it sees none.
  bool DeleteRecord(TTolvanCursor& Cursor) override;
  // Writes the cursor's record over the one at its Position.
  bool UpdateRecord(TTolvanCursor& Cursor) override;
  // A cursor that sees every record of a table without delete actions drops the store at once;
  // otherwise the base deletes the visible records one by one.
  void DeleteAllRecords(TTolvanCursor& Cursor) override;
  void UpdateAllRecords(TTolvanCursor& Cursor, const TStringList& FieldNames,
                        std::span<TTolvanVariant* const> Values, bool SkipForeignKeys) override;
  // The live record at 1-based store position RecNo becomes current; a position outside the
  // store leaves the cursor as it was.
  void SetRecNoPhysical(TTolvanCursor& Cursor, int64_t RecNo) override;
  // The 1-based store position of the cursor's record; -1 for none.
  int64_t GetRecNoPhysical(TTolvanCursor& Cursor) override;
  int64_t GetTotalRecordCount() override;
  // 30335 for a field number past the last field.
  int64_t GetAutoIncValue(int32_t FieldNo, TTolvanBaseSession* Session) override;
  // 10575 for a field number past the last field.
  void SetAutoIncValue(int32_t FieldNo, TTolvanCursor& Cursor, int64_t Value) override;

  // The base's GetRecordCount, SetRecNo and GetRecNo under the table lock.
  int64_t LockedGetRecordCount(TTolvanCursor& Cursor);
  void LockedSetRecNo(TTolvanCursor& Cursor, int64_t RecNo);
  int64_t LockedGetRecNo(TTolvanCursor& Cursor);

  // Frees the BLOB blocks of every stored record, empties the store and commits.
  void ClearRecords();

private:
  class TPageCommit;

  bool HasIndexes() const noexcept;
  // The managers of a loaded table, bound to this table and to the loaded page store.
  TTolvanTableParts MakeParts(TTolvanLoadedTable& Loaded);
  TTolvanMemoryRecordManager& RequireRecords(int32_t Code) const;
  // A buffer of at least Size bytes kept for reuse; Which tells the buffers apart.
  uint8_t* Scratch(std::vector<uint8_t>& Which, size_t Size);
  // Reads the stored record of ID into Buffer; false when it is not stored.
  bool ReadStored(const TTolvanRecordID& ID, uint8_t* Buffer);
  // The frees of a record's BLOB values that are no longer referenced; failures are dropped.
  void ReleaseBlobs(uint8_t* Buffer) noexcept;
  // Where the cursor goes after its record at the current position is deleted.
  bool FindNeighbour(TTolvanCursor& Cursor, TTolvanRecordID& Neighbour);
  // Moves every index entry of the cursor's record back from New (the cursor's buffer, whose keys
  // the indexes hold) to Stored, after a store refused the update.
  void UndoKeyUpdate(TTolvanCursor& Cursor, uint8_t* Stored);
  // The database's write gate, held when foreign keys of other tables (or this one) reference
  // the table with actions: their writes reach other tables, so the gate comes before the table
  // lock. Empty otherwise.
  std::optional<TWriteGateHold> GateForActions();
  // Runs the delete or update actions of the foreign keys referencing the table for the cursor's
  // record, when the table has such actions; Stored then holds the stored record read again.
  // False when the record is no longer stored.
  bool RunActions(TTolvanCursor& Cursor, bool OnDelete, uint8_t*& Stored);

  int32_t FLoadedRecordCount = 0;
  int32_t FAllocBy;
  // Held by pointer so that a load can exchange it with the store its indexes were read into.
  std::unique_ptr<TTolvanMemoryPageManager> FPageManager;
  // Reused under the table lock: the record as stored, the neighbour search's record, the
  // cursor's record before an insert.
  std::vector<uint8_t> FStoredImage;
  std::vector<uint8_t> FNeighbourImage;
  std::vector<uint8_t> FInsertImage;
};

class TTolvanMemoryDatabaseData : public TTolvanDatabaseData {
public:
  TTolvanMemoryDatabaseData();
  ~TTolvanMemoryDatabaseData() override;

  // Gives the session the next SessionID and attaches it, under the exclusive lock. A session
  // attached already keeps its number.
  void AttachSession(TTolvanBaseSession& Session) override;
  // Reads the whole database stream into new tables first: a table count that the bytes left
  // cannot hold (51 bytes per table stream at least) or any damaged table stream raises before
  // a registered table changes. Then a table to be replaced that has cursors attached refuses
  // the load (10152), again before anything changes; otherwise every table of a stored name
  // is replaced and the others are added. Tables the stream does not name stay.
  void LoadDatabaseFromStream(TTolvanBaseSession& Session, TStream& Stream) override;
  // The table count, then every table's stream (cursors may be open on them), under the
  // exclusive lock.
  void SaveDatabaseToStream(TTolvanBaseSession& Session, TStream& Stream,
                            TTolvanCompressionAlgorithm Algorithm = caNone, uint8_t Level = 0,
                            int32_t Value = 0) override;
  // A memory table of the cursor's allocation step, named after the cursor's table.
  std::unique_ptr<TTolvanTableData> CreateTableData(TTolvanCursor& Cursor) override;

  // -1 before the first session.
  int32_t LastSessionID() const noexcept { return FLastSessionID; }
  // The index objects' maker of the tables made from now on (B-tree indexes when empty).
  void SetIndexFactory(TTolvanIndexFactory Factory) { FIndexFactory = std::move(Factory); }

protected:
  void CloseTableData(TTolvanTableData& Table) override;

private:
  int32_t FLastSessionID = -1;
  TTolvanIndexFactory FIndexFactory;
};

// Registers the memory engine under "MEMORY" and returns the factory it replaces.
TTolvanDatabaseFactory RegisterMemoryEngine();

} // namespace tolvan
