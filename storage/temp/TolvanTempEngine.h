// TolvanTempEngine.h: the temporary engine, which keeps the engine's scratch tables (the
// intermediate results of SQL operators and tables opened as temporary) in the "TEMP" database.
//
// TTolvanTemporaryDatabaseData names every table it makes "TEMPORARY_TABLE_" plus a unique
// suffix, chosen and registered under its exclusive lock (names are compared, not only their
// hashes). RegisterTemporaryEngine puts it into the registry's engine table under "TEMP";
// StorageStartup does so when no engine of that name is registered.
//
// TTolvanTemporaryTableData belongs to the one query or cursor that made it: it takes no table
// lock, only appends (single updates and deletes answer false, DeleteAllRecords raises 11301),
// keeps its index pages in a TTolvanTemporaryPageManager and its BLOB values in BlobStore, a
// scratch stream the values are appended to and never rewritten in place. A BLOB column's 8
// bytes hold, as an Int64, the offset in BlobStore of the value's header:
//
//   offset  width  field
//   0       4      block count of the compressed value, Int32
//   4       8      uncompressed size, Int64
//   12      8      L, length of the stored bytes, Int64
//   20      L      the stored bytes (the host stream of the compressed value)
//
// An offset is checked against BlobStore's size before it is used. When the last cursor
// detaches (unless it is the one creating or loading the table, KeepTemporaryTable) the table
// drops itself: its indexes, records, spill file and BLOB values go at once and DropPending
// tells whoever detached the cursor to have the database destroy it (DestroyTable).
//
// Temporary table stream (no header, no name):
//   the field definitions' block, the index block (definitions, then the temporary page
//   store's form), the record store's block (below), Int64 N = BlobStore's size (0 without a
//   store), then N bytes of BlobStore.
// A load reads and checks the whole stream into fresh parts (every index against the records,
// every count against the bytes left) and only then installs them, with a new unique name and
// the loaded RecordLimit; a refused stream leaves the table as it was.
//
// The record store of a temporary table:
//
// A temporary table only appends. Record n (its sequence number, from 0) keeps the id n as a
// 48-bit number: PageNo the low 32 bits, PageItemNo the next 16. The id of a stored record never
// changes and is never given out again (only a record taken back at once, because its keys
// could not be stored, leaves its number to the next one). The first RecordLimit records live in
// one memory block; when it is full it grows to max(capacity + GrowByRecords, 2 x capacity)
// records, at most RecordLimit. Every later record goes to a spill file, a temporary file made at
// the first record that needs it:
//
//   record n < RecordLimit     memory block, offset n x RecordSize
//   record n >= RecordLimit    spill file, offset (n - RecordLimit) x RecordSize (64 bits),
//                              or still in the write buffer while it is among the last
//                              WriteBufferCount records
//
// RecordLimit is a tenth of the available memory (GetAvailableMemory, itself at most
// 2 GiB - 1) in records. Spilled records gather in the write buffer and reach the file when it
// is full, before a save and on FlushWriteBuffer; a read of a buffered record is served from
// the buffer. Clear and destruction delete the spill file.
//
// Stream block (little-endian; write code / read code):
//
//   offset  width                 field
//   0       4                     RecordSize               11215 / 11217
//   4       8                     RecordCount              11216 / 11218
//   12      4                     WriteBufferRecords       11208 / 11219
//   16      4                     WriteBufferBytes         11209 / 11220
//   20      4                     InMemoryCount            11210 / 11221
//   24      4                     MemoryCapacity           11211 / 11222
//   28      4                     RecordLimit              11212 / 11223
//   32      4                     GrowByRecords            11213 / 11224
//   36      InMemoryCount x RS    the records in memory, only when MemoryCapacity > 0
//                                                          11214 / 11225
//   then    8                     S = (RecordCount - RecordLimit) x RS, 0 without spilled
//                                 records                  11226 / 11227
//   then    S                     the spilled records      11226 / 11227
//
// A load checks every field against the others, the manager's RecordSize and the bytes left
// before it allocates, builds the new store aside and takes it only when all was read; a
// refused block leaves the store as it was. The memory block is made for the records read; the
// free slots MemoryCapacity names are allocated by the next insert.
//
// InsertRecord never raises: a store that cannot take the record (no memory, no spill file,
// a failed write) answers false and keeps its count. Update and delete answer false.
//
// Ownership: the database owns its tables; a table owns its page store, BlobStore and, through
// the base, its managers; the record manager owns its blocks and the spill file.
//
// Threads: the database's table list and names are guarded by its lock; a temporary table has
// one user and takes no lock of its own.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

#include "classlib/Strings.h"
#include "foundation/TolvanMemory.h"
#include "foundation/TolvanStreams.h"
#include "foundation/TolvanTempStreams.h"
#include "storage/TolvanDatabaseData.h"
#include "storage/TolvanPageStores.h"
#include "storage/TolvanRecordManager.h"
#include "storage/TolvanTableData.h"

namespace tolvan {

// Native codes of the temporary record manager.
inline constexpr int32_t ErrTempRecordSizeZero = 10124;
inline constexpr int32_t ErrTempSpillWrite = 10125;
inline constexpr int32_t ErrTempBufferCount = 10126;
inline constexpr int32_t ErrTempRecordRetrieve = 10127;
inline constexpr int32_t ErrTempSpillRead = 10130;
inline constexpr int32_t ErrTempWriteRecordSize = 11215;
inline constexpr int32_t ErrTempWriteRecordCount = 11216;
inline constexpr int32_t ErrTempWriteBufferRecords = 11208;
inline constexpr int32_t ErrTempWriteBufferBytes = 11209;
inline constexpr int32_t ErrTempWriteInMemoryCount = 11210;
inline constexpr int32_t ErrTempWriteMemoryCapacity = 11211;
inline constexpr int32_t ErrTempWriteRecordLimit = 11212;
inline constexpr int32_t ErrTempWriteGrowBy = 11213;
inline constexpr int32_t ErrTempWriteRecords = 11214;
inline constexpr int32_t ErrTempWriteSpill = 11226;
inline constexpr int32_t ErrTempReadRecordSize = 11217;
inline constexpr int32_t ErrTempReadRecordCount = 11218;
inline constexpr int32_t ErrTempReadBufferRecords = 11219;
inline constexpr int32_t ErrTempReadBufferBytes = 11220;
inline constexpr int32_t ErrTempReadInMemoryCount = 11221;
inline constexpr int32_t ErrTempReadMemoryCapacity = 11222;
inline constexpr int32_t ErrTempReadRecordLimit = 11223;
inline constexpr int32_t ErrTempReadGrowBy = 11224;
inline constexpr int32_t ErrTempReadRecords = 11225;
inline constexpr int32_t ErrTempReadSpill = 11227;
// Native codes of the temporary table data.
inline constexpr int32_t ErrTempCreateNoFields = 10132;
inline constexpr int32_t ErrTempForeignKey = 11426;
inline constexpr int32_t ErrTempTotalCountNoRecords = 10133;
inline constexpr int32_t ErrTempInsertNoRecords = 10134;
inline constexpr int32_t ErrTempInsertNoBuffer = 10135;
inline constexpr int32_t ErrTempSetRecNoNoRecords = 10136;
inline constexpr int32_t ErrTempGetRecNoNoRecords = 10137;
inline constexpr int32_t ErrTempOpenBlobNoStore = 10140;
inline constexpr int32_t ErrTempBlobPosition = 10141;
inline constexpr int32_t ErrTempBlobHeader = 10142;
inline constexpr int32_t ErrTempWriteBlobNoStore = 10144;
inline constexpr int32_t ErrTempWriteBlobHeader = 10145;
inline constexpr int32_t ErrTempDeleteAll = 11301;
inline constexpr int32_t ErrTempBlobBlockSizeZero = 11333;
inline constexpr int32_t ErrTempWriteBlobStoreSize = 11194;
inline constexpr int32_t ErrTempReadBlobStoreSize = 11195;
inline constexpr int32_t ErrTempBlobStorePosition = 10422;

// The highest record number a 48-bit id holds.
inline constexpr int64_t MaxTempRecordNumber = (int64_t(1) << 48) - 1;
// A loaded write buffer holds at most this many records.
inline constexpr int32_t MaxTempWriteBufferRecords = 65536;

class TTolvanTemporaryRecordManager : public TTolvanBaseRecordManager {
public:
  // RecordSize 0 raises 10124, a negative one ERangeError. WriteBufferRecords and
  // GrowByRecords below 1 are taken as 1; a write buffer beyond Int32 bytes raises ERangeError.
  TTolvanTemporaryRecordManager(int32_t RecordSize, int32_t WriteBufferRecords,
                                int32_t GrowByRecords);
  ~TTolvanTemporaryRecordManager() override;

  // Empties the store and deletes the spill file. RecordLimit stays.
  void Clear(int32_t SessionID) override;
  bool InsertRecord(const uint8_t* Buffer, TTolvanRecordID& RecordID, int32_t SessionID) override;
  // True for the ids of the records stored: 0 .. RecordCount - 1.
  bool RecordExists(const TTolvanRecordID& RecordID, int32_t SessionID) override;
  // In sequence order. On rrOK the record is read into State.Buffer (nil raises 10127) and the
  // flag the move started from is cleared; State.RecordID is the number reached or started from.
  void GetRecord(TTolvanNavState& State) override;
  // The number + 1 for a stored record, else -1.
  int64_t GetApproxRecNo(const TTolvanRecordID& RecordID, int32_t SessionID) override;
  void SaveToStream(TStream& Stream) override;
  void LoadFromStream(TStream& Stream) override;

  // Writes the buffered spilled records to the spill file. A count beyond the buffer raises
  // 10126, a short write 10125 (the records stay buffered).
  void FlushWriteBuffer();
  // Takes back the last record stored (its keys could not be stored): the count goes down by one
  // and the next insert takes its number. Nothing without records.
  void DropLastRecord() noexcept;
  // Copies record Number into Buffer: 10127 for a number not stored (or a nil buffer), 10130
  // for a spilled record the file cannot give.
  void ReadRecord(uint8_t* Buffer, int64_t Number);

  static int64_t RecordNumber(const TTolvanRecordID& ID) noexcept {
    return int64_t(uint32_t(ID.PageNo)) | (int64_t(ID.PageItemNo) << 32);
  }
  static TTolvanRecordID RecordIDOf(int64_t Number) noexcept {
    return {int32_t(uint32_t(Number)), uint16_t(Number >> 32)};
  }

  int32_t WriteBufferRecords() const noexcept { return FWriteBufferRecords; }
  int32_t WriteBufferBytes() const noexcept { return FWriteBufferBytes; }
  int32_t WriteBufferCount() const noexcept { return FWriteBufferCount; }
  int32_t InMemoryCount() const noexcept { return FInMemoryCount; }
  int32_t MemoryCapacity() const noexcept { return FMemoryCapacity; }
  int32_t RecordLimit() const noexcept { return FRecordLimit; }
  int32_t GrowByRecords() const noexcept { return FGrowByRecords; }
  // The spill file's name, empty while there is none.
  const WideString& SpillFileName() const noexcept { return FSpill.Name; }
  // The spill file's size in bytes (buffered records not included); 0 without one.
  int64_t SpillFileSize() const;

private:
  using TBlock = std::unique_ptr<uint8_t, TTolvanMemDeleter>;

  // The spill file and the name it was made under; the file is deleted when it goes.
  struct TSpill {
    WideString Name;
    std::unique_ptr<TTolvanFileStream> File;
    TSpill() = default;
    TSpill(const TSpill&) = delete;
    TSpill& operator=(TSpill&& Other) noexcept;
    ~TSpill() { Reset(); }
    void Reset() noexcept;
    // Makes a new empty temporary file; 10104 when none can be made.
    void Create();
  };

  // Spilled records already in the file.
  int64_t FlushedCount() const noexcept { return RecordCount() - FRecordLimit - FWriteBufferCount; }
  bool Store(const uint8_t* Buffer);

  int32_t FWriteBufferRecords;
  int32_t FWriteBufferBytes;
  int32_t FInMemoryCount = 0;
  TBlock FMemoryBlock;
  int32_t FMemoryCapacity = 0;
  // Records MemoryBlock has room for: MemoryCapacity, except after a load, which allocates only
  // the records it read; the next insert makes room for MemoryCapacity.
  int32_t FAllocated = 0;
  TBlock FWriteBuffer;
  int32_t FWriteBufferCount = 0;
  TSpill FSpill;
  int32_t FRecordLimit;
  int32_t FGrowByRecords;
};

// The size of a temporary table's BLOB value header.
inline constexpr int32_t TempBlobHeaderSize = 20;
// The prefix of the names of temporary tables.
inline constexpr std::string_view TemporaryTableNamePrefix = "TEMPORARY_TABLE_";

class TTolvanTemporaryTableData : public TTolvanTableData {
public:
  // WriteBufferRecords and GrowByRecords go to every record store the table makes (the
  // database passes 10 and 1000); Factory makes the index objects (B-tree indexes when empty).
  TTolvanTemporaryTableData(TTolvanTableOwner& Database, int32_t WriteBufferRecords,
                            int32_t GrowByRecords, TTolvanIndexFactory Factory = {});
  ~TTolvanTemporaryTableData() override;

  // Empties the store (the spill file goes), drops the BLOB store and the indexes and commits;
  // may raise. The database calls it before it destroys the table.
  void Close();

  TTolvanTemporaryPageManager& PageStore() noexcept { return *FPageStore; }
  TTolvanTemporaryRecordManager* Records() const noexcept {
    return static_cast<TTolvanTemporaryRecordManager*>(RecordManager());
  }
  TTolvanTemporaryStream* BlobStore() const noexcept { return FBlobStore.get(); }
  int32_t WriteBufferRecords() const noexcept { return FWriteBufferRecords; }
  int32_t GrowByRecords() const noexcept { return FGrowByRecords; }
  // When the table has BLOB columns, a new empty BlobStore replaces any previous one.
  void CreateBlobStore();
  void FreeBlobStore() noexcept;

  // --- structure --------------------------------------------------------------------------------

  TTolvanPageManager* GetPageManager() override { return FPageStore.get(); }
  void CreateRecordManager() override;
  // No table lock: a temporary table has one user.
  void Lock(bool) override {}
  void Unlock() override {}
  // 10132 without fields; the definitions' checks; 11426 for a foreign key; then the set-up (no
  // sequences: auto-increment columns keep what the inserted records carry).
  void CreateTable(TTolvanCursor& Cursor, TTolvanFieldDefs& FieldDefs, TTolvanIndexDefs& IndexDefs,
                   TTolvanConstraintDefs& ConstraintDefs) override;
  // The base, then the indexes are dropped and the pages committed. True unless open cursors
  // were allowed and some are attached.
  bool DeleteTable(TTolvanBaseSession* Session, bool Force, bool IgnoreOpenCursors) override;
  // The base first (refused while cursors are attached, 10072), then the records and BLOB
  // values go; a table with BLOB columns gets a new empty BlobStore.
  void EmptyTable(TTolvanCursor* Cursor, bool Force) override;
  // The temporary table stream; attached cursors are not checked, and Algorithm, Level and
  // Value do not apply.
  void LoadFromStream(TTolvanCursor* Cursor, TStream& Stream) override;
  void SaveToStream(TStream& Stream, TTolvanCompressionAlgorithm Algorithm, uint8_t Level,
                    int32_t Value, bool AllowOpen) override;
  // The table takes the cursor's table name (another table's name raises 11491), then the base.
  void AttachCursor(TTolvanCursor& Cursor) override;
  // The base; the last cursor (unless it keeps the table) drops the table (DropPending).
  void DetachCursor(TTolvanCursor& Cursor) override;

  // --- records ----------------------------------------------------------------------------------

  // The record number: the id's 48 bits.
  int64_t RecordIDToInt64(const TTolvanRecordID& ID) override {
    return TTolvanTemporaryRecordManager::RecordNumber(ID);
  }
  TTolvanRecordID Int64ToRecordID(int64_t Value) override {
    return TTolvanTemporaryRecordManager::RecordIDOf(Value);
  }
  int32_t CompareRecordIDs(const TTolvanRecordID& A, const TTolvanRecordID& B) override;
  // 10140 without BlobStore; an existing value is read from BlobStore (10141 for an offset
  // outside it, 10142 for a header or stored bytes it does not hold).
  std::unique_ptr<TTolvanStream> OpenBlob(TTolvanCursor& Cursor, bool NewRecord, int32_t FieldNo,
                                          TTolvanBlobOpenMode Mode) override;
  // 10144 without BlobStore. An empty value makes the column NULL; otherwise the value is
  // appended to BlobStore and the column takes its offset. Earlier values stay, unreferenced.
  void WriteBlob(TTolvanCursor& Cursor, int32_t FieldNo, TTolvanLocalBLOBStream& Stream) override;
  // Values stay in BlobStore: nothing to free.
  void FreeBlob(uint8_t*, int32_t) override {}
  void CancelRecord(TTolvanCursor&) override {}
  // A column holds a store offset, not a block reference: there is nothing to mark.
  void SetBlobMarks(bool, TTolvanCursor&) override {}
  // Appends the cursor's record (its Position becomes the new id) and its keys; a store that
  // refuses answers false. When the keys fail the record is taken back and the error passes on.
  bool InsertRecord(TTolvanCursor& Cursor) override;
  bool DeleteRecord(TTolvanCursor&) override { return false; }
  bool UpdateRecord(TTolvanCursor&) override { return false; }
  // 11301.
  void DeleteAllRecords(TTolvanCursor& Cursor) override;
  // The cursor's Position becomes record RecNo - 1 (0 below 2).
  void SetRecNoPhysical(TTolvanCursor& Cursor, int64_t RecNo) override;
  // The cursor's record number + 1.
  int64_t GetRecNoPhysical(TTolvanCursor& Cursor) override;
  int64_t GetTotalRecordCount() override;

private:
  bool HasIndexes() const noexcept;
  // Reads and checks a whole temporary table stream into fresh parts and installs them.
  void LoadParts(TStream& Stream);

  int32_t FWriteBufferRecords;
  int32_t FGrowByRecords;
  std::unique_ptr<TTolvanTemporaryStream> FBlobStore;
  // Held by pointer so that a load can exchange it with the store its indexes were read into.
  std::unique_ptr<TTolvanTemporaryPageManager> FPageStore;
};

class TTolvanTemporaryDatabaseData : public TTolvanDatabaseData {
public:
  TTolvanTemporaryDatabaseData();
  ~TTolvanTemporaryDatabaseData() override;

  // The temporary database has no database stream: 11394.
  void LoadDatabaseFromStream(TTolvanBaseSession& Session, TStream& Stream) override;
  void SaveDatabaseToStream(TTolvanBaseSession& Session, TStream& Stream,
                            TTolvanCompressionAlgorithm Algorithm = caNone, uint8_t Level = 0,
                            int32_t Value = 0) override;
  // A temporary table under a new unique name, which the cursor's TableName takes too; chosen
  // under the exclusive lock, so the caller's registration (GetTableData) cannot collide.
  std::unique_ptr<TTolvanTableData> CreateTableData(TTolvanCursor& Cursor) override;
  // A name no table of the database has; the caller holds the lock.
  AnsiString UniqueTableName();

  // The index objects' maker of the tables made from now on (B-tree indexes when empty).
  void SetIndexFactory(TTolvanIndexFactory Factory) { FIndexFactory = std::move(Factory); }

protected:
  void CloseTableData(TTolvanTableData& Table) override;

private:
  TTolvanIndexFactory FIndexFactory;
};

// Registers the temporary engine under "TEMP" and returns the factory it replaces.
TTolvanDatabaseFactory RegisterTemporaryEngine();

} // namespace tolvan
