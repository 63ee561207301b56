// TolvanBlobBlocks.h: the blocks that hold a table's BLOB, MEMO and WIDEMEMO values in memory,
// reached from a record through a handle instead of a pointer.
//
// A BLOB column's 8 bytes (TolvanRecordBuffer.h) hold a handle into the table's block table and
// the handle's generation. Freeing a block bumps its slot's generation and puts the slot on the
// free list, so a reference kept in a stale record buffer, or copied before the value changed,
// no longer matches: Find and Free refuse it instead of reading or freeing whatever value took
// the slot over. A slot whose generation would wrap is retired, never reused. Handle 0 is none.
//
// A block is an engine memory block laid out as:
//
//   offset  width  content
//   0       4      Int32 number of compressed blocks of the value's BLOB stream
//   4       8      Int64 uncompressed size of the value
//   12      n      the bytes of the compressed BLOB stream's host
//
// Ownership: the table owns every block registered with it from Add to Free, and frees those
// still registered when it is destroyed (an edit abandoned without cancel leaks nothing). A
// block given to Add stays the caller's until Add returns.
//
// The value routines below do a table's BLOB work on a record buffer: open a value as a stream,
// store what a stream wrote, free values. A BLOB column's NULL bit says whether it has a value;
// a NULL column's 8 bytes are zero. A reference that names no live block (a nil handle, a freed
// or reused slot) is refused with the caller's native code and never read.
//
// Threads: every operation takes the table's own lock, since values are opened and written
// outside the table lock. It comes after the database, table and cursor-list locks; while it is
// held only leaf locks may be taken (a stream's, the memory manager's). A reader (Read) sees the
// block under that lock, so a block cannot be freed while it is being copied; the reader must
// not call back into the engine.
#pragma once

#include <cstdint>
#include <mutex>
#include <span>
#include <vector>

#include "platform/TolvanPlatform.h"
#include "schema/TolvanCursor.h"
#include "schema/TolvanRecordBuffer.h"
#include "storage/local/TolvanLocalBLOBStream.h"

namespace tolvan {

inline constexpr int32_t BlobBlockPrefixSize = 12;

// Native codes of the value routines.
inline constexpr int32_t ErrOpenBlobNoBlock = 10112;
inline constexpr int32_t ErrWriteBlobShortRead = 10117;
inline constexpr int32_t ErrFreeBlobNoBlock = 10118;
inline constexpr int32_t ErrOpenBlobBlockSizeZero = 10420;

class TTolvanBlobBlockTable {
public:
  TTolvanBlobBlockTable() = default;
  ~TTolvanBlobBlockTable();
  TTolvanBlobBlockTable(const TTolvanBlobBlockTable&) = delete;
  TTolvanBlobBlockTable& operator=(const TTolvanBlobBlockTable&) = delete;
  // Exchanges the blocks with Other, which no other thread may be using.
  void Swap(TTolvanBlobBlockTable& Other) noexcept;

  // A new zero-filled engine block of BlobBlockPrefixSize + DataSize bytes, not yet registered.
  // A negative DataSize raises ERangeError; a size the memory manager cannot give raises there.
  static uint8_t* NewBlock(int64_t DataSize);

  // Registers Block (an engine memory block) and returns its reference, marked written in this
  // edit. On success the table owns the block; when Add raises, the caller still does.
  TTolvanBlobReference Add(uint8_t* Block);

  // Frees the block the reference names; false (and nothing freed) when the handle is 0 or does
  // not name a live block of that generation.
  bool Free(const TTolvanBlobReference& Ref) noexcept;

  // Runs Visit with the bytes of the block the reference names (prefix included) while holding
  // the table's lock; false, without calling Visit, for a reference that names no live block.
  template <class TVisit> bool Read(const TTolvanBlobReference& Ref, TVisit&& Visit);

  // Whether the reference names a live block now.
  bool IsLive(const TTolvanBlobReference& Ref);

  // The number of live blocks.
  int64_t LiveCount();

  // Frees every block; every reference handed out so far becomes stale.
  void Clear() noexcept;

private:
  struct TSlot {
    uint8_t* Block = nullptr;
    int64_t Size = 0;
    uint32_t NextFree = 0; // 1-based handle of the next free slot, 0 for none
    uint16_t Generation = 1;
  };

  // The live slot of the reference, or nil. Call with the lock held.
  TSlot* Live(const TTolvanBlobReference& Ref) noexcept;
  // Frees the live slot's block and recycles or retires the slot. Call with the lock held.
  void Release(uint32_t Handle) noexcept;

  TPlatformLock FLock;
  std::vector<TSlot> FSlots; // handle h is FSlots[h - 1]
  uint32_t FFreeHead = 0;    // 1-based, 0 for none
  int64_t FLiveCount = 0;
};

template <class TVisit>
bool TTolvanBlobBlockTable::Read(const TTolvanBlobReference& Ref, TVisit&& Visit) {
  std::lock_guard<TPlatformLock> Guard(FLock);
  TSlot* Slot = Live(Ref);
  if (!Slot)
    return false;
  Visit(std::span<const uint8_t>(Slot->Block, size_t(Slot->Size)));
  return true;
}

// --- values in record buffers ------------------------------------------------------------------
//
// Defs describe Buffer's layout; FieldNo is a BLOB, MEMO or WIDEMEMO column of it (another type
// raises EInvalidCast).

// A stream over the column's value. A column whose block size is 0 raises 10420 "Stream block
// size = 0 is not allowed". In write mode, without Buffer or for a NULL column the value starts
// empty with the column's block size and compression; otherwise the block's bytes are copied
// into the stream's host (a reference naming no block raises 10112 "Nil pointer occured").
std::unique_ptr<TTolvanLocalBLOBStream> OpenBlobValue(TTolvanBlobBlockTable& Blocks,
                                                      TTolvanCursor* Cursor, const uint8_t* Buffer,
                                                      const TTolvanFieldDefs& Defs, int32_t FieldNo,
                                                      TTolvanBlobOpenMode Mode);

// Stores what Stream wrote into the column: nothing when it was neither written nor marked
// Modified; an empty value
// makes the column NULL; otherwise a new block, marked written in this edit, replaces the
// column's reference. A block written earlier in this edit is freed once the new state is in
// place; a block of the stored record is left to the record. A host shorter than it claims
// raises 10117 and leaves the column as it was.
void WriteBlobValue(TTolvanBlobBlockTable& Blocks, uint8_t* Buffer, const TTolvanFieldDefs& Defs,
                    int32_t FieldNo, TTolvanLocalBLOBStream& Stream);

// Frees the column's block and makes it NULL; nothing for a NULL column. A reference naming no
// block raises 10118 "Nil pointer occured" and changes nothing.
void FreeBlobValue(TTolvanBlobBlockTable& Blocks, uint8_t* Buffer, const TTolvanFieldDefs& Defs,
                   int32_t FieldNo);
// FreeBlobValue of every BLOB column.
void FreeAllBlobValues(TTolvanBlobBlockTable& Blocks, uint8_t* Buffer,
                       const TTolvanFieldDefs& Defs);
// FreeBlobValue of every BLOB column written in this edit: what cancelling an edit frees.
void FreeWrittenBlobValues(TTolvanBlobBlockTable& Blocks, uint8_t* Buffer,
                           const TTolvanFieldDefs& Defs);
// Marks every non-NULL BLOB column written in this edit or owned by the stored record.
void SetBlobMarks(bool Written, uint8_t* Buffer, const TTolvanFieldDefs& Defs) noexcept;

} // namespace tolvan
