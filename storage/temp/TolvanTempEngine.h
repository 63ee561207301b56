// TolvanTempEngine.h: the record store of the engine's scratch tables.
//
// A temporary table only appends. Record n (its sequence number, from 0) keeps the id n as a
// 48-bit number: PageNo the low 32 bits, PageItemNo the next 16. Ids never change and are never
// given out again. The first RecordLimit records live in one memory block that grows by
// GrowByRecords at a time; every later record goes to a spill file, a temporary file made at
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
// Ownership: the manager owns its blocks and the spill file.
//
// Threads: none; a temporary table has one user and takes no lock.
#pragma once

#include <cstdint>
#include <memory>

#include "classlib/Strings.h"
#include "foundation/TolvanMemory.h"
#include "foundation/TolvanStreams.h"
#include "storage/TolvanRecordManager.h"

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

} // namespace tolvan
