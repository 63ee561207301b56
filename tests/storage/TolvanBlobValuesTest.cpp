#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "classlib/SysUtils.h"
#include "storage/TolvanBlobBlocks.h"
#include "tests/foundation/TestSupport.h"
#include "tests/storage/TableTestSupport.h"

using namespace tolvan;
using namespace tolvan::test;

namespace {

// Columns ID Integer, Data BLOB (plain, 4 KiB blocks), Note MEMO (zlib), Pic BLOB (bzip2) and a
// record buffer of that layout, all NULL.
struct TBlobRecord {
  TBlobRecord() {
    AddField(Fields, "ID", tftInteger);
    AddField(Fields, "Data", tftBLOB).SetBlobBlockSize(4096);
    TTolvanFieldDef& Note = AddField(Fields, "Note", tftMemo);
    Note.SetBlobCompressionAlgorithm(caZlib);
    Note.SetBlobBlockSize(8192);
    TTolvanFieldDef& Pic = AddField(Fields, "Pic", tftBLOB);
    Pic.SetBlobCompressionAlgorithm(caBZip);
    Pic.SetBlobCompressionMode(1);
    Fields.CalcLayout();
    Buffer.assign(size_t(Fields.RecordBufferSize() + RecordTrailerSize), 0);
    SetAllNull(Buffer.data(), Fields.Count());
  }

  uint8_t* Record() { return Buffer.data(); }
  void Write(int32_t FieldNo, const std::string& Bytes) {
    auto S = OpenBlobValue(Blocks, nullptr, Record(), Fields, FieldNo, tbmWrite);
    S->WriteBuffer(Bytes.data(), int64_t(Bytes.size()));
    if (Bytes.empty())
      S->SetSize(0); // a write of nothing writes nothing
    WriteBlobValue(Blocks, Record(), Fields, FieldNo, *S);
  }
  std::string Read(int32_t FieldNo, const uint8_t* From = nullptr) {
    auto S = OpenBlobValue(Blocks, nullptr, From ? From : Record(), Fields, FieldNo, tbmRead);
    std::string Bytes(size_t(S->GetSize()), '\0');
    S->ReadBuffer(Bytes.data(), int64_t(Bytes.size()));
    return Bytes;
  }
  TTolvanBlobReference Ref(int32_t FieldNo) {
    return LoadBlobReference(Record(), Fields.Items(FieldNo));
  }

  TTolvanFieldDefs Fields;
  TTolvanBlobBlockTable Blocks;
  std::vector<uint8_t> Buffer;
};

std::string RandomBytes(size_t N, uint32_t Seed) {
  std::mt19937 Random(Seed);
  std::string S(N, '\0');
  for (char& C : S)
    C = char(Random() % 7 ? 'a' + Random() % 4 : Random());
  return S;
}

TEST(BlobValues, WrittenValuesReadBackUnderEveryCompression) {
  TBlobRecord R;
  for (const size_t N : {size_t(1), size_t(4096), size_t(30000)}) {
    for (int32_t Field = 1; Field <= 3; ++Field) {
      const std::string Value = RandomBytes(N, uint32_t(N + size_t(Field)));
      R.Write(Field, Value);
      EXPECT_FALSE(IsFieldNull(R.Record(), Field));
      EXPECT_EQ(R.Ref(Field).Marker, BlobWrittenMarker);
      EXPECT_EQ(R.Read(Field), Value) << Field << " " << N;
    }
    // Rewriting in the same edit frees the block written before.
    EXPECT_EQ(R.Blocks.LiveCount(), 3);
  }
}

TEST(BlobValues, EmptyAndUnwrittenStreams) {
  TBlobRecord R;
  R.Write(1, "abc");
  // A stream opened and closed without a write stores nothing.
  auto S = OpenBlobValue(R.Blocks, nullptr, R.Record(), R.Fields, 1, tbmReadWrite);
  WriteBlobValue(R.Blocks, R.Record(), R.Fields, 1, *S);
  EXPECT_EQ(R.Read(1), "abc");
  // An empty value frees this edit's block and leaves the column NULL with zero bytes.
  R.Write(1, "");
  EXPECT_TRUE(IsFieldNull(R.Record(), 1));
  const TTolvanBlobReference Zero = R.Ref(1);
  EXPECT_EQ(Zero.Handle, 0u);
  EXPECT_EQ(Zero.Generation, 0);
  EXPECT_EQ(Zero.Marker, 0);
  EXPECT_EQ(R.Blocks.LiveCount(), 0);
  EXPECT_EQ(R.Read(1), "");
  // Truncating through SetSize counts as a write.
  R.Write(1, "abc");
  auto T = OpenBlobValue(R.Blocks, nullptr, R.Record(), R.Fields, 1, tbmReadWrite);
  T->SetSize(0);
  WriteBlobValue(R.Blocks, R.Record(), R.Fields, 1, *T);
  EXPECT_TRUE(IsFieldNull(R.Record(), 1));
  EXPECT_EQ(R.Blocks.LiveCount(), 0);
}

TEST(BlobValues, CancelFreesExactlyTheBlocksOfTheEdit) {
  TBlobRecord R;
  R.Write(3, "stored picture");
  SetBlobMarks(false, R.Record(), R.Fields); // the record was stored and owns its block
  EXPECT_EQ(R.Ref(3).Marker, BlobStoredMarker);
  const TTolvanBlobReference Stored = R.Ref(3);
  R.Write(1, "new data");
  R.Write(2, "new note");
  EXPECT_EQ(R.Blocks.LiveCount(), 3);
  FreeWrittenBlobValues(R.Blocks, R.Record(), R.Fields);
  EXPECT_EQ(R.Blocks.LiveCount(), 1);
  EXPECT_TRUE(IsFieldNull(R.Record(), 1));
  EXPECT_TRUE(IsFieldNull(R.Record(), 2));
  EXPECT_TRUE(R.Blocks.IsLive(Stored));
  EXPECT_EQ(R.Read(3), "stored picture");

  // Overwriting the stored value in an edit leaves the stored block to the record.
  R.Write(3, "edited");
  EXPECT_EQ(R.Blocks.LiveCount(), 2);
  EXPECT_TRUE(R.Blocks.IsLive(Stored));
  FreeAllBlobValues(R.Blocks, R.Record(), R.Fields);
  EXPECT_EQ(R.Blocks.LiveCount(), 1);
  EXPECT_TRUE(IsFieldNull(R.Record(), 3));
}

TEST(BlobValues, StaleReferencesRaiseAndAreNeverRead) {
  TBlobRecord R;
  R.Write(1, "first value");
  const std::vector<uint8_t> Copy = R.Buffer;
  FreeBlobValue(R.Blocks, R.Record(), R.Fields, 1);
  EXPECT_TRUE(IsFieldNull(R.Record(), 1));
  EXPECT_EQ(NativeCodeOf([&] { R.Read(1, Copy.data()); }), ErrOpenBlobNoBlock);
  // The slot is taken again by another value; the old reference still names nothing.
  R.Write(1, "second value");
  EXPECT_EQ(R.Ref(1).Handle, LoadBlobReference(Copy.data(), R.Fields.Items(1)).Handle);
  EXPECT_EQ(NativeCodeOf([&] { R.Read(1, Copy.data()); }), ErrOpenBlobNoBlock);
  std::vector<uint8_t> Stale = Copy;
  EXPECT_EQ(NativeCodeOf([&] { FreeBlobValue(R.Blocks, Stale.data(), R.Fields, 1); }),
            ErrFreeBlobNoBlock);
  EXPECT_EQ(Stale, Copy);
  EXPECT_EQ(R.Read(1), "second value");
  // A non-NULL column without a handle.
  std::vector<uint8_t> Nil = R.Buffer;
  StoreBlobReference(Nil.data(), R.Fields.Items(2), TTolvanBlobReference{});
  SetFieldNull(Nil.data(), 2, false);
  EXPECT_EQ(NativeCodeOf([&] { R.Read(2, Nil.data()); }), ErrOpenBlobNoBlock);
  EXPECT_EQ(NativeCodeOf([&] { FreeBlobValue(R.Blocks, Nil.data(), R.Fields, 2); }),
            ErrFreeBlobNoBlock);
  // Freeing every column frees what it can and reports the stale one.
  R.Write(3, "picture");
  Nil = R.Buffer;
  StoreBlobReference(Nil.data(), R.Fields.Items(2), TTolvanBlobReference{7, 7, BlobWrittenMarker});
  SetFieldNull(Nil.data(), 2, false);
  EXPECT_EQ(NativeCodeOf([&] { FreeAllBlobValues(R.Blocks, Nil.data(), R.Fields); }),
            ErrFreeBlobNoBlock);
  EXPECT_EQ(R.Blocks.LiveCount(), 0);
}

TEST(BlobValues, StreamRulesAndRefusedColumns) {
  TBlobRecord R;
  R.Write(1, "abc");
  auto S = OpenBlobValue(R.Blocks, nullptr, R.Record(), R.Fields, 1, tbmRead);
  EXPECT_EQ(NativeCodeOf([&] { S->Write("x", 1); }), ErrBlobStreamWriteReadOnly);
  EXPECT_EQ(NativeCodeOf([&] { S->SetSize(1); }), ErrBlobStreamSetSizeReadOnly);
  EXPECT_EQ(Raised([&] { S->SetSize(1); }).Message(),
            "Cannot write to read only stream - Native error: 10116");
  EXPECT_FALSE(S->Written());
  // Write mode starts empty whatever the column holds; without a buffer too.
  EXPECT_EQ(OpenBlobValue(R.Blocks, nullptr, R.Record(), R.Fields, 1, tbmWrite)->GetSize(), 0);
  EXPECT_EQ(OpenBlobValue(R.Blocks, nullptr, nullptr, R.Fields, 1, tbmRead)->GetSize(), 0);

  R.Fields.Items(1).SetBlobBlockSize(0);
  EXPECT_EQ(NativeCodeOf([&] { R.Read(1); }), ErrOpenBlobBlockSizeZero);
  EXPECT_THROW(OpenBlobValue(R.Blocks, nullptr, R.Record(), R.Fields, 0, tbmRead), EInvalidCast);
  EXPECT_THROW(FreeBlobValue(R.Blocks, R.Record(), R.Fields, 0), EInvalidCast);
}

} // namespace
