// The table stream: header bytes, stored records and BLOB values, round trips, and damaged
// streams.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>
#include <vector>

#include "classlib/ByteOrder.h"
#include "foundation/TolvanExcept.h"
#include "foundation/TolvanStreams.h"
#include "storage/memory/TolvanTableStream.h"
#include "tests/foundation/TestSupport.h"
#include "tests/storage/StreamTableTestSupport.h"
#include "tests/storage/TableTestSupport.h"

using namespace tolvan;
using namespace tolvan::test;

namespace {

TEST(TableStream, HeaderAtItsOffsets) {
  TStreamTable T;
  T.Fill();
  const TBytes B = T.Save(caNone, 0x12345678, 77, 100);
  EXPECT_EQ(std::memcmp(B.data() + 100, "ACS1", 4), 0);
  EXPECT_EQ(LoadLE<double>(B.data() + 104), 4.0);
  EXPECT_EQ(LoadLE<int64_t>(B.data() + 112), 6);
  for (int I = 120; I < 136; ++I)
    EXPECT_EQ(B[size_t(I)], 0) << I;
  EXPECT_EQ(LoadLE<int32_t>(B.data() + 136), 0x12345678);
  EXPECT_EQ(B[140], 0);
  EXPECT_EQ(B[141], 6);
  EXPECT_EQ(B[142], 1);
  EXPECT_EQ(B[143], 'T');
  EXPECT_EQ(LoadLE<int64_t>(B.data() + 144), 77);
  // The body starts at 151 + N with the sequence block (no auto-increment columns).
  EXPECT_EQ(LoadLE<int32_t>(B.data() + 152), 0);

  TVectorStream S(B);
  S.Pos = 100;
  EXPECT_EQ(ReadTableNameFromStream(S), "T");
  EXPECT_EQ(S.Pos, 100);
  TVectorStream Cut(TBytes(B.begin(), B.begin() + 143));
  Cut.Pos = 100;
  EXPECT_EQ(ReadTableNameFromStream(Cut), "");
  EXPECT_EQ(Cut.Pos, 100);

  // Level 0 is written as 1.
  TTolvanTableStreamInfo Info;
  Info.Name = "X";
  TVectorStream H;
  WriteStreamHeader(H, Info);
  ASSERT_EQ(H.Data.size(), 52u);
  EXPECT_EQ(H.Data[41], 1);
}

TEST(TableStream, ZlibSizesAndRoundTrip) {
  for (TTolvanCompressionAlgorithm Algorithm : {caNone, caZlib, caBZip, caPPM}) {
    SCOPED_TRACE(int(Algorithm));
    TStreamTable T;
    T.Fill();
    const TBytes B = T.Save(Algorithm, 5);
    auto L = Load(T.F.Table, B);
    EXPECT_EQ(L->Header.Name, "T");
    EXPECT_EQ(L->Header.ObjectIDCounter, 77);
    EXPECT_EQ(L->Header.Algorithm, Algorithm);
    if (Algorithm != caNone) {
      EXPECT_EQ(LoadLE<int32_t>(B.data() + 36), int32_t(B.size()) - 52);
      EXPECT_GT(LoadLE<int64_t>(B.data() + 20), 0);
    } else {
      EXPECT_EQ(LoadLE<int64_t>(B.data() + 20), 0);
    }
    ExpectConsistent(*L);
    ASSERT_TRUE(L->Records);
    EXPECT_EQ(L->Records->MaxID(), 6);
    EXPECT_TRUE(L->Records->IsSlotDeleted(5));
    EXPECT_EQ(L->FieldDefs.Count(), 4);
    // The record block written again from the loaded store is the same bytes.
    EXPECT_EQ(TStreamTable::RecordBlock(*L->Records, *L->Blobs, L->FieldDefs),
              TStreamTable::RecordBlock(*T.Records, T.Blobs, T.F.Fields()));
    // Saving twice gives the same bytes.
    EXPECT_EQ(T.Save(Algorithm, 5), B);
  }
}

TEST(TableStream, BlobPositionsFollowTheRecord) {
  TStreamTable T;
  T.Insert(1, "a", TBytes(5, 'x'), TBytes(9, 'y'));
  const int32_t RS = T.F.Table.RecordSize();
  TVectorStream S;
  S.Data.assign(40, 0);
  S.Pos = 40;
  TBytes Scratch(static_cast<size_t>(RS));
  WriteRecord(T.Blobs, T.F.Fields(), RS, T.Records->RecordBlock(), Scratch.data(), S);
  const TTolvanFieldDefs& D = T.F.Fields();
  EXPECT_EQ(LoadLE<int64_t>(S.Data.data() + 40 + D.Items(2).BufferOffset()), 40 + RS);
  EXPECT_EQ(LoadLE<int64_t>(S.Data.data() + 40 + D.Items(3).BufferOffset()), 40 + RS + 20 + 5);
  EXPECT_EQ(LoadLE<int64_t>(S.Data.data() + 40 + RS + 12), 5);
  EXPECT_EQ(S.Data.size(), size_t(40 + RS + 20 + 5 + 20 + 9));

  // Read back: the values land in new blocks owned by the record.
  TTolvanBlobBlockTable Blobs;
  TBytes Back(static_cast<size_t>(RS));
  S.Pos = 40;
  ReadRecord(Blobs, D, RS, Back.data(), S);
  EXPECT_EQ(S.Pos, int64_t(S.Data.size()));
  EXPECT_EQ(Blobs.LiveCount(), 2);
  // A value whose position is not where the format puts it is refused, and frees what was read.
  StoreLE<int64_t>(S.Data.data() + 40 + D.Items(3).BufferOffset(), 40 + RS + 20 + 4);
  S.Pos = 40;
  TTolvanBlobBlockTable Other;
  EXPECT_EQ(NativeCodeOf([&] { ReadRecord(Other, D, RS, Back.data(), S); }),
            ErrTableStreamBlobPosition);
  EXPECT_EQ(Other.LiveCount(), 0);

  // A nil reference cannot be saved.
  TBytes Broken(T.Records->RecordBlock(), T.Records->RecordBlock() + RS);
  StoreBlobReference(Broken.data(), D.Items(2), {999, 1, BlobStoredMarker});
  TVectorStream W;
  EXPECT_EQ(NativeCodeOf([&] { WriteRecord(T.Blobs, D, RS, Broken.data(), Scratch.data(), W); }),
            ErrTableStreamNilBlob);
}

TEST(TableStream, EmptyTableHasNoRecordBlock) {
  TStreamTable T;
  const TBytes B = T.Save();
  auto L = Load(T.F.Table, B);
  EXPECT_FALSE(L->Records);
  EXPECT_EQ(L->Header.RecordCount, 0);
  // Deleting every record also leaves no block.
  T.Insert(1, "a");
  ASSERT_TRUE(T.Records->DeleteRecord({0, 0}, -1));
  EXPECT_EQ(T.Save(), B);
}

TEST(TableStream, SignatureVersionAndFields) {
  TStreamTable T(false);
  T.Insert(1, "a");
  const TBytes Good = T.Save();
  struct TCase {
    const char* Name;
    int Offset;
    double Version; // 0: patch Byte / Int64 instead
    int64_t Int64;
    int32_t Code;
  };
  const double NaN = std::numeric_limits<double>::quiet_NaN();
  const TCase Cases[] = {
      {"4.5", 4, 4.5, 0, ErrTableVersionTooHigh},
      {"NaN", 4, NaN, 0, ErrTableVersionTooHigh},
      {"1.0", 4, 1.0, 0, ErrTableVersionBelow10001},
      {"1.01", 4, 1.01, 0, ErrTableVersionBelow101},
      {"1.02", 4, 1.02, 0, ErrTableVersionBelow102},
      {"3.9", 4, 3.9, 0, 0},
      {"4.0001", 4, 4.0001, 0, 0},
      {"count -1", 12, 0, -1, ErrTableStreamRecordCount},
      {"count 2^31", 12, 0, int64_t(1) << 31, ErrTableStreamRecordCount},
      {"counter 2^31", 44, 0, int64_t(1) << 31, ErrTableStreamObjectID},
  };
  for (const TCase& C : Cases) {
    SCOPED_TRACE(C.Name);
    TBytes B = Good;
    if (C.Version != 0)
      StoreLE<double>(B.data() + C.Offset, C.Version);
    else
      StoreLE<int64_t>(B.data() + C.Offset, C.Int64);
    EXPECT_EQ(NativeCodeOf([&] { Load(T.F.Table, B); }), C.Code);
  }
  for (int I = 0; I < 4; ++I) {
    TBytes B = Good;
    B[size_t(I)] = uint8_t(std::tolower(B[size_t(I)]) == B[size_t(I)] ? B[size_t(I)] ^ 1
                                                                      : std::tolower(B[size_t(I)]));
    EXPECT_EQ(NativeCodeOf([&] { Load(T.F.Table, B); }), ErrTableSignature) << I;
  }
  TBytes B = Good;
  B[40] = 9;
  EXPECT_EQ(NativeCodeOf([&] { Load(T.F.Table, B); }), ErrTableStreamAlgorithm);
  // The compressed size must lie within the bytes left.
  TStreamTable Z(false);
  Z.Insert(1, "a");
  B = Z.Save(caZlib);
  StoreLE<int32_t>(B.data() + 36, int32_t(B.size()));
  EXPECT_EQ(NativeCodeOf([&] { Load(Z.F.Table, B); }), ErrTableStreamCompressedSize);
  B = Z.Save(caZlib);
  StoreLE<int64_t>(B.data() + 20, int64_t(1) << 31);
  EXPECT_EQ(NativeCodeOf([&] { Load(Z.F.Table, B); }), ErrTableStreamUncompressedSize);
  B = Z.Save(caZlib);
  StoreLE<int64_t>(B.data() + 20, LoadLE<int64_t>(B.data() + 20) - 1);
  EXPECT_NE(NativeCodeOf([&] { Load(Z.F.Table, B); }), 0);
}

// A body that fails keeps its own error although the header rewrite fails too; a failing
// rewrite after a good body is reported.
TEST(TableStream, HeaderRewriteNeverHidesTheBodyError) {
  TStreamTable T;
  T.Fill();
  const TBytes Good = T.Save();
  for (int64_t Limit : {int64_t(60), int64_t(Good.size()) - 1}) {
    TVectorStream S;
    S.WriteLimit = Limit;
    const int32_t Code = NativeCodeOf(
        [&] { SaveTableToStream(T.F.Table, T.Records.get(), T.Blobs, S, caNone, 0, 0, 77); });
    EXPECT_NE(Code, 0);
    EXPECT_NE(Code, ErrWriteTableHeader);
  }
  // A stream that refuses the seek back after a good body.
  struct TNoSeekBack : TVectorStream {
    int64_t Seek(int64_t O, TSeekOrigin Or) override {
      if (Or == soBeginning && O == 0 && Pos > 0)
        return Pos;
      return TVectorStream::Seek(O, Or);
    }
  } S;
  EXPECT_EQ(NativeCodeOf([&] {
              SaveTableToStream(T.F.Table, T.Records.get(), T.Blobs, S, caNone, 0, 0, 77);
            }),
            ErrTableStreamPosition);
}

// Every damaged stream either raises the engine's error or loads into a consistent table; the
// table it was meant for is untouched either way.
void DamageLoop(TTolvanCompressionAlgorithm Algorithm) {
  TStreamTable T;
  T.Fill();
  const TBytes Good = T.Save(Algorithm);
  const int64_t Before = T.F.Table.GetTotalRecordCount();
  auto Try = [&](const TBytes& B) {
    try {
      auto L = Load(T.F.Table, B);
      ExpectConsistent(*L);
    } catch (const ETolvanException&) {
    } catch (const Exception& E) {
      ADD_FAILURE() << "not an engine error: " << E.Message();
    }
  };
  for (size_t N = 0; N < Good.size(); ++N)
    Try(TBytes(Good.begin(), Good.begin() + int64_t(N)));
  for (size_t I = 0; I < Good.size(); ++I) {
    for (int Bit = 0; Bit < 8; ++Bit) {
      TBytes B = Good;
      B[I] ^= uint8_t(1u << Bit);
      Try(B);
    }
  }
  EXPECT_EQ(T.F.Table.TableName(), "T");
  EXPECT_EQ(T.F.Table.GetTotalRecordCount(), Before);
  EXPECT_EQ(T.Save(Algorithm), Good);
}

TEST(TableStream, CutAtEveryLengthAndEveryBitFlipped) {
  DamageLoop(caNone);
  DamageLoop(caZlib);
}

} // namespace

namespace {

// The committed stream of the small table: integer, text and two BLOB columns, slot 5 deleted
// in the map's last partial byte, one NULL BLOB. TOLVAN_WRITE_FIXTURES=1 writes it afresh.
TEST(TableStream, SmallTableFixture) {
  TStreamTable T;
  T.Fill();
  const TBytes B = T.Save(caNone, 0, 77);
  const std::string Path = std::string(TOLVAN_TEST_FIXTURES) + "/small_table.acs";
  if (std::getenv("TOLVAN_WRITE_FIXTURES")) {
    std::ofstream(Path, std::ios::binary)
        .write(reinterpret_cast<const char*>(B.data()), std::streamsize(B.size()));
  }
  std::ifstream In(Path, std::ios::binary);
  ASSERT_TRUE(In) << Path;
  const TBytes Fixture((std::istreambuf_iterator<char>(In)), std::istreambuf_iterator<char>());
  EXPECT_EQ(B, Fixture);
  auto L = Load(T.F.Table, Fixture);
  ExpectConsistent(*L);
  EXPECT_EQ(L->Records->RecordCount(), 6);
}

} // namespace
