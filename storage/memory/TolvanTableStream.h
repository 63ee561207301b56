// TolvanTableStream.h: the table stream, the one external form of an in-memory table: its name,
// definitions, index pages, records and BLOB values, optionally compressed as a whole.
//
// Header, then the name and the object-id counter (little-endian):
//
//   offset  width  field
//   0       4      signature "ACS1"
//   4       8      version, IEEE double (the release profile's; a load accepts 1.020001 up to
//                  the profile's highest)
//   12      8      record count, Int64 (0 .. Int32 max on reading)
//   20      8      uncompressed body size, Int64, when compressed; 0 otherwise
//   28      8      zero
//   36      4      compressed body size when compressed; otherwise the value given to the save
//   40      1      compression algorithm (0 none, 1 zlib, 2 bzip2, 3 PPM)
//   41      1      compression level, 0 written as 1
//   42      1      N, the name's length
//   43      N      the table name's bytes, no terminator
//   43 + N  8      object-id counter, Int64 (within Int32 on reading)
//
// The body follows at 51 + N, or its compressed form: the sequence block, the field
// definitions, the constraint definitions, the index definitions with the index page store,
// and, only when the record count is above 0, the memory record store's block followed by the
// live records in slot order. A stored record is the record's bytes, except that each non-NULL
// BLOB column holds the Int64 position (in the body's stream) of its stored value; the values
// follow the record in column order, each a 20-byte header (the value block's 12-byte prefix,
// then the data length as Int64) and the data.
//
// Loading trusts nothing it reads: every count, length, position and size is checked against
// what a writer can produce and against the bytes left before anything is allocated, and a
// load builds everything fresh (TTolvanLoadedTable) so that the caller installs it only once
// the whole stream has been read and checked.
//
// Ownership: the functions borrow the table, its stores and the stream; a TTolvanLoadedTable
// owns what a load built until the caller takes it over.
//
// Threads: none of their own; the caller holds the table lock.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "classlib/Classes.h"
#include "foundation/TolvanCompression.h"
#include "schema/TolvanMetaObjectDefs.h"
#include "storage/TolvanBlobBlocks.h"
#include "storage/TolvanIndexManager.h"
#include "storage/TolvanPageStores.h"
#include "storage/memory/TolvanMemoryRecordManager.h"

namespace tolvan {

class TTolvanTableData;

// Native codes of the table stream: write, then read.
inline constexpr int32_t ErrWriteTableHeader = 10156;
inline constexpr int32_t ErrWriteTableName = 10157;
inline constexpr int32_t ErrWriteTableObjectID = 10416;
inline constexpr int32_t ErrWriteTableRecord = 10197;
inline constexpr int32_t ErrWriteTableRecordNoBlobs = 10200;
inline constexpr int32_t ErrWriteTableBlobHeader = 10198;
inline constexpr int32_t ErrWriteTableBlobData = 10199;
inline constexpr int32_t ErrTableStreamNilBlob = 10196;
inline constexpr int32_t ErrTableStreamPosition = 10155;
inline constexpr int32_t ErrReadTableHeader = 10160;
inline constexpr int32_t ErrReadTableName = 10163;
inline constexpr int32_t ErrReadTableObjectID = 10417;
inline constexpr int32_t ErrReadTableRecord = 10201;
inline constexpr int32_t ErrReadTableBlobSeek = 10202;
inline constexpr int32_t ErrReadTableBlobHeader = 10203;
inline constexpr int32_t ErrReadTableBlobData = 10204;
inline constexpr int32_t ErrTableSignature = 10161;
inline constexpr int32_t ErrTableVersionTooHigh = 10162;
inline constexpr int32_t ErrTableVersionBelow10001 = 10443;
inline constexpr int32_t ErrTableVersionBelow101 = 10454;
inline constexpr int32_t ErrTableVersionBelow102 = 10455;
inline constexpr int32_t ErrReadTableNameHeader = 11723;
inline constexpr int32_t ErrReadTableNameName = 11724;
// Checks of the stored fields, raised with "Invalid table stream field %s = %d".
inline constexpr int32_t ErrTableStreamRecordCount = 10460;
inline constexpr int32_t ErrTableStreamObjectID = 10461;
inline constexpr int32_t ErrTableStreamAlgorithm = 10462;
inline constexpr int32_t ErrTableStreamCompressedSize = 10463;
inline constexpr int32_t ErrTableStreamUncompressedSize = 10464;
inline constexpr int32_t ErrTableStreamCompress = 10465;
inline constexpr int32_t ErrTableStreamDecompress = 10466;
inline constexpr int32_t ErrTableStreamBlobPosition = 10467;
inline constexpr int32_t ErrTableStreamBlobLength = 10468;
inline constexpr int32_t ErrTableStreamLayout = 10469;
inline constexpr int32_t ErrTableStreamBodySize = 10470;
// A definition form refused by a class-library check, with that check's message.
inline constexpr int32_t ErrTableStreamDamaged = 10471;
// A loaded index entry that names no live record, names one twice, or lies under another key;
// or an index holding fewer entries than there are records.
inline constexpr int32_t ErrTableStreamIndexEntry = 10472;

inline constexpr int32_t TableStreamHeaderSize = 43;
inline constexpr int32_t TableStreamBlobHeaderSize = 20;

// The header's fields. On writing, Name and ObjectIDCounter are the caller's; on reading,
// BodyPosition is where the body starts.
struct TTolvanTableStreamInfo {
  double Version = 0;
  int64_t RecordCount = 0;
  int64_t UncompressedSize = 0;
  int32_t Value = 0;
  TTolvanCompressionAlgorithm Algorithm = caNone;
  uint8_t Level = 0;
  AnsiString Name;
  int64_t ObjectIDCounter = 0;
  int64_t BodyPosition = 0;
};

// Writes the header (Info.Version; 0 takes the release profile's), the name and the counter.
// A name over 255 bytes raises ERangeError before anything is written.
void WriteStreamHeader(TStream& Stream, const TTolvanTableStreamInfo& Info);
// Reads and checks the header, the name and the counter: signature 10161, version 10162 (also
// NaN), 10443, 10454, 10455, the algorithm, the record count and the counter with their codes.
void ReadStreamHeader(TStream& Stream, TTolvanTableStreamInfo& Info);
// The table name of the stream at its current position, which is restored; empty on any
// failure.
AnsiString ReadTableNameFromStream(TStream& Stream);

// Replaces each non-NULL BLOB field of Record (a copy) by the position its stored value will
// have, the first at Position + the record size; Lengths receives each value's data length.
// A reference that names no block raises 10196.
void CollectRecordBlobs(TTolvanBlobBlockTable& Blobs, const TTolvanFieldDefs& Defs,
                        int32_t RecordSize, uint8_t* Record, int64_t Position,
                        std::vector<int64_t>& Lengths);
// Writes a stored record (Record as it is in the store) and its BLOB values; Scratch holds
// RecordSize bytes for the copy.
void WriteRecord(TTolvanBlobBlockTable& Blobs, const TTolvanFieldDefs& Defs, int32_t RecordSize,
                 const uint8_t* Record, uint8_t* Scratch, TStream& Stream);
// Reads a stored record into Record and resolves its BLOB values into blocks of Blobs (marked
// owned by the stored record). A value not exactly where the format puts it, or longer than
// the bytes left, is refused.
void ReadRecord(TTolvanBlobBlockTable& Blobs, const TTolvanFieldDefs& Defs, int32_t RecordSize,
                uint8_t* Record, TStream& Stream);
// Reads the stored value of FieldNo, which must begin at Expected, and stores its reference.
void ReadBlobValue(TTolvanBlobBlockTable& Blobs, const TTolvanFieldDef& Def, uint8_t* Record,
                   int64_t Expected, TStream& Stream);

// The record block: nothing without records; else the store's block and every live record.
void SaveRecords(TTolvanMemoryRecordManager& Records, TTolvanBlobBlockTable& Blobs,
                 const TTolvanFieldDefs& Defs, TStream& Stream);
// Reads RecordCount records (nothing for 0) into the fresh store Records and block table Blobs.
void LoadRecords(TTolvanMemoryRecordManager& Records, TTolvanBlobBlockTable& Blobs,
                 const TTolvanFieldDefs& Defs, int64_t RecordCount, TStream& Stream);

// Saves Table, whose records are Records and BLOB values Blobs. The header is rewritten with
// the final sizes at the start position also when the body failed; a failure of that rewrite
// then gives way to the body's error. The caller holds the table lock and makes the base
// checks (attached cursors).
void SaveTableToStream(TTolvanTableData& Table, TTolvanMemoryRecordManager* Records,
                       TTolvanBlobBlockTable& Blobs, TStream& Stream,
                       TTolvanCompressionAlgorithm Algorithm, uint8_t Level, int32_t Value,
                       int64_t ObjectIDCounter);

// What a load read, checked and built; nothing of the table it is meant for has changed.
struct TTolvanLoadedTable {
  TTolvanTableStreamInfo Header;
  std::vector<std::unique_ptr<TTolvanSequenceDef>> Sequences;
  TTolvanFieldDefs FieldDefs; // laid out
  TTolvanConstraintDefs ConstraintDefs;
  TTolvanIndexDefs IndexDefs;
  std::unique_ptr<TTolvanMemoryPageManager> PageStore;
  std::unique_ptr<TTolvanMemoryRecordManager> Records; // nil without records
  std::unique_ptr<TTolvanBlobBlockTable> Blobs;
  bool HasBlobs = false;
};

// The stored record a loaded index entry names, or nil when ID names no stored record; Number
// receives the record's number, by which entries naming one record twice are told apart.
using TTolvanLoadedRecordReader =
    std::function<const uint8_t*(const TTolvanRecordID& ID, int64_t& Number)>;

// Checks every B-tree index of freshly loaded parts against their records: a structurally sound
// tree (CheckTree), and one pass in key order over the leaves in which every entry names a
// stored record (its number below NumberLimit) not named before, under that record's key, and
// RecordCount entries in all. A disagreement raises 10472 naming the index. Other index kinds
// (test doubles) are taken as read.
void CheckLoadedIndexes(TTolvanBaseIndexManager& Indexes, int64_t RecordCount, int64_t NumberLimit,
                        const TTolvanLoadedRecordReader& Reader);

// Reads a whole table stream for Table (which only lends itself to the new record store).
std::unique_ptr<TTolvanLoadedTable> LoadTableFromStream(TTolvanTableData& Table, TStream& Stream);

} // namespace tolvan
