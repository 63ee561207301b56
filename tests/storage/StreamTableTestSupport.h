// StreamTableTestSupport.h: the small table of the table-stream tests and the checks of a
// loaded table.
//
// TStreamTable is table "T" (ID Integer, NAME Char(10), DATA BLOB, NOTE Memo) over a test table,
// its records in a memory record store of a given allocation step and its BLOB values in a block
// table of its own; Fill gives it the records of the committed stream fixture
// (fixtures/small_table.acs). ExpectConsistent checks that a loaded table agrees with itself.
//
// Threads: one test thread.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "classlib/ByteOrder.h"
#include "foundation/TolvanStreams.h"
#include "storage/TolvanBlobBlocks.h"
#include "storage/memory/TolvanMemoryRecordManager.h"
#include "storage/memory/TolvanTableStream.h"
#include "tests/foundation/TestSupport.h"
#include "tests/storage/TableTestSupport.h"

namespace tolvan::test {

using TBytes = std::vector<uint8_t>;

// Table "T": ID Integer, NAME Char(10), DATA BLOB, NOTE Memo; its records live in a memory record
// store and its BLOB values in a block table beside the test table's own.
struct TStreamTable {
  static constexpr int32_t FData = 2;
  static constexpr int32_t FNote = 3;

  TTableFixture F;
  std::unique_ptr<TTolvanMemoryRecordManager> Records;
  TTolvanBlobBlockTable Blobs;

  // The fixture was saved from a store of AllocBy 4.
  explicit TStreamTable(bool WithBlobs = true, int32_t AllocBy = 4) {
    TTolvanFieldDefs Fields;
    AddField(Fields, "ID", tftInteger);
    AddField(Fields, "NAME", tftChar, 10);
    if (WithBlobs) {
      AddField(Fields, "DATA", tftBLOB).SetBlobBlockSize(4096);
      AddField(Fields, "NOTE", tftMemo).SetBlobBlockSize(4096);
    }
    TTolvanIndexDefs Indexes;
    F.Create(Fields, Indexes);
    Records = std::make_unique<TTolvanMemoryRecordManager>(F.Table, F.Table.RecordSize(), AllocBy);
  }

  void SetBlob(uint8_t* Record, int32_t FieldNo, const TBytes& Data) {
    uint8_t* Block = TTolvanBlobBlockTable::NewBlock(int64_t(Data.size()));
    StoreLE<int32_t>(Block, 1);
    StoreLE<int64_t>(Block + 4, int64_t(Data.size()));
    if (!Data.empty())
      std::memcpy(Block + BlobBlockPrefixSize, Data.data(), Data.size());
    TTolvanBlobReference Ref = Blobs.Add(Block);
    Ref.Marker = BlobStoredMarker;
    StoreBlobReference(Record, F.Fields().Items(FieldNo), Ref);
    SetFieldNull(Record, FieldNo, false);
  }

  // A record; Data and Note empty leave the column NULL.
  int32_t Insert(int32_t ID, const char* Name, const TBytes& Data = {}, const TBytes& Note = {}) {
    F.ClearRecord(*F.Cursor);
    F.SetInt(*F.Cursor, 0, ID);
    F.SetText(*F.Cursor, 1, Name);
    uint8_t* R = F.Cursor->Record();
    if (F.Fields().Count() > 2) {
      if (!Data.empty())
        SetBlob(R, FData, Data);
      if (!Note.empty())
        SetBlob(R, FNote, Note);
    }
    TTolvanRecordID RID{};
    EXPECT_TRUE(Records->InsertRecord(R, RID, -1));
    return RID.PageNo;
  }

  // Seven records, slot 5 deleted (in the map's last partial byte), one NULL BLOB.
  void Fill() {
    for (int32_t I = 0; I < 7; ++I)
      Insert(I, "name", TBytes(size_t(3 + I), uint8_t('a' + I)),
             I == 2 ? TBytes{} : TBytes{'n', uint8_t('0' + I)});
    ASSERT_TRUE(Records->DeleteRecord({5, 0}, -1));
  }

  TBytes Save(TTolvanCompressionAlgorithm Algorithm = caNone, int32_t Value = 0,
              int64_t Counter = 77, int64_t Pad = 0) {
    TVectorStream S;
    S.Data.assign(size_t(Pad), 0);
    S.Pos = Pad;
    SaveTableToStream(F.Table, Records.get(), Blobs, S, Algorithm, 6, Value, Counter);
    return S.Data;
  }

  // The record block of Records / Blobs, written at position 0.
  static TBytes RecordBlock(TTolvanMemoryRecordManager& M, TTolvanBlobBlockTable& B,
                            const TTolvanFieldDefs& Defs) {
    TVectorStream S;
    SaveRecords(M, B, Defs, S);
    return S.Data;
  }
};

inline std::unique_ptr<TTolvanLoadedTable> Load(TTolvanTableData& Table, const TBytes& Bytes) {
  TVectorStream S(Bytes);
  return LoadTableFromStream(Table, S);
}

// A loaded table agrees with itself: the count the header promised, every stored BLOB reference
// live and owned by the record, and nothing else in the block table.
inline void ExpectConsistent(const TTolvanLoadedTable& L) {
  if (!L.Records) {
    EXPECT_EQ(L.Header.RecordCount, 0);
    EXPECT_EQ(L.Blobs->LiveCount(), 0);
    return;
  }
  EXPECT_EQ(L.Records->RecordCount(), L.Header.RecordCount);
  int64_t Refs = 0;
  const int32_t Size = L.Records->RecordSize();
  for (int32_t Slot = L.Records->MinID(); Slot <= L.Records->MaxID(); ++Slot) {
    if (L.Records->IsSlotDeleted(Slot))
      continue;
    const uint8_t* R = L.Records->RecordBlock() + int64_t(Slot) * Size;
    for (int32_t I = 0; I < L.FieldDefs.Count(); ++I) {
      const TTolvanFieldDef& Def = L.FieldDefs.Items(I);
      if (!Def.IsBlob() || IsFieldNull(R, I))
        continue;
      const TTolvanBlobReference Ref = LoadBlobReference(R, Def);
      EXPECT_EQ(Ref.Marker, BlobStoredMarker);
      EXPECT_TRUE(L.Blobs->IsLive(Ref));
      ++Refs;
    }
  }
  EXPECT_EQ(L.Blobs->LiveCount(), Refs);
}

} // namespace tolvan::test
