#include "foundation/TolvanBLOBStream.h"

#include <gtest/gtest.h>

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "foundation/TolvanExcept.h"
#include "foundation/TolvanTempStreams.h"

using namespace tolvan;

namespace {

using TBytes = std::vector<uint8_t>;
using TBLOB = TTolvanCompressedBLOBStream;

// The native code of the ETolvanException that Fn raises; 0 when it raises none.
int32_t RaisedCode(const std::function<void()>& Fn) {
  try {
    Fn();
  } catch (const ETolvanException& E) {
    return E.NativeError();
  }
  return 0;
}

// Text-like bytes: they compress, but not to nothing.
TBytes Sample(size_t N, uint32_t Seed) {
  static constexpr std::string_view Words[] = {"alpha ", "beta ",   "gamma ", "delta ",
                                               "x",      "record ", "0042;",  "\n"};
  TBytes R;
  R.reserve(N + 8);
  uint32_t X = Seed | 1;
  while (R.size() < N) {
    X ^= X << 13;
    X ^= X >> 17;
    X ^= X << 5;
    const std::string_view W = Words[X % std::size(Words)];
    R.insert(R.end(), W.begin(), W.end());
    if (X & 0x100)
      R.push_back(uint8_t(X >> 24));
  }
  R.resize(N);
  return R;
}

TBytes HostBytes(TStream& Host) {
  TBytes R(size_t(Host.Size()));
  Host.SetPosition(0);
  EXPECT_EQ(Host.Read(R.data(), int64_t(R.size())), int64_t(R.size()));
  return R;
}

TBytes ReadAll(TStream& S) {
  TBytes R(size_t(S.Size()));
  S.SetPosition(0);
  EXPECT_EQ(S.Read(R.data(), int64_t(R.size())), int64_t(R.size()));
  return R;
}

TTolvanBLOBDescriptor Descriptor(TTolvanCompressionAlgorithm Algorithm, uint8_t Mode,
                                 int32_t BlockSize, int64_t StartOffset = 0) {
  TTolvanBLOBDescriptor D;
  D.Algorithm = Algorithm;
  D.Mode = Mode;
  D.BlockSize = BlockSize;
  D.StartOffset = StartOffset;
  return D;
}

// The descriptor as the caller stores it with the record and reads it back.
TTolvanBLOBDescriptor ThroughStoredForm(const TTolvanBLOBDescriptor& D) {
  uint8_t Raw[BLOBDescriptorSize];
  D.Store(Raw);
  return TTolvanBLOBDescriptor::Load(Raw);
}

// A block as found by walking the host's bytes from the start offset.
struct TStoredBlock {
  int64_t Offset;
  int32_t CompressedSize;
  int32_t UncompressedSize;
  uint32_t Crc32;
  int64_t Span;
};

template <class T> T Get(const TBytes& B, int64_t At) {
  T V;
  std::memcpy(&V, B.data() + At, sizeof V);
  return V;
}

std::vector<TStoredBlock> WalkBlocks(const TBytes& Host, int64_t Start, int64_t Count) {
  std::vector<TStoredBlock> R;
  int64_t At = Start;
  for (int64_t I = 0; I < Count; ++I) {
    TStoredBlock B{At, Get<int32_t>(Host, At), Get<int32_t>(Host, At + 4),
                   Get<uint32_t>(Host, At + 8), Get<int64_t>(Host, At + 12)};
    R.push_back(B);
    At += B.Span;
  }
  return R;
}

template <class T> void Put(TStream& Host, int64_t At, T V) {
  Host.SetPosition(At);
  Host.WriteBuffer(&V, sizeof V);
}

// A compressed value of Data written in one call into a fresh memory host.
struct TStoredValue {
  TTolvanMemoryStream Host;
  TTolvanBLOBDescriptor D;
  TStoredValue(const TTolvanBLOBDescriptor& New, const TBytes& Data) {
    TBLOB S(Host, false, true, New);
    EXPECT_EQ(S.Write(Data.data(), int64_t(Data.size())), int64_t(Data.size()));
    D = S.Descriptor();
  }
};

} // namespace

// ---------------------------------------------------------------------------------------------
// The descriptor

TEST(BLOBDescriptor, StoredFormIsPackedLittleEndian) {
  TTolvanBLOBDescriptor D;
  D.BlockSize = 0x01020304;
  D.BlockCount = 0x1112131415161718;
  D.UncompressedSize = 0x2122232425262728;
  D.StartOffset = 0x3132333435363738;
  D.Algorithm = caBZip;
  D.Mode = 9;
  uint8_t Raw[BLOBDescriptorSize];
  std::memset(Raw, 0xEE, sizeof Raw);
  D.Store(Raw);
  const uint8_t Expected[BLOBDescriptorSize] = {0x04, 0x03, 0x02, 0x01, 0x18, 0x17, 0x16, 0x15,
                                                0x14, 0x13, 0x12, 0x11, 0x28, 0x27, 0x26, 0x25,
                                                0x24, 0x23, 0x22, 0x21, 0x38, 0x37, 0x36, 0x35,
                                                0x34, 0x33, 0x32, 0x31, 0x02, 0x09, 0x00, 0x00};
  EXPECT_EQ(0, std::memcmp(Raw, Expected, sizeof Raw));
  EXPECT_EQ(TTolvanBLOBDescriptor::Load(Raw), D);

  const TBLOB::TBlockHeader H{-2, 0x41424344, 0xCAFEBABE, 0x5152535455565758};
  uint8_t HRaw[BLOBBlockHeaderSize];
  TBLOB::StoreBlockHeader(H, HRaw);
  const uint8_t HExpected[BLOBBlockHeaderSize] = {0xFE, 0xFF, 0xFF, 0xFF, 0x44, 0x43, 0x42,
                                                  0x41, 0xBE, 0xBA, 0xFE, 0xCA, 0x58, 0x57,
                                                  0x56, 0x55, 0x54, 0x53, 0x52, 0x51};
  EXPECT_EQ(0, std::memcmp(HRaw, HExpected, sizeof HRaw));
  const TBLOB::TBlockHeader Back = TBLOB::LoadBlockHeader(HRaw);
  EXPECT_EQ(int32_t(Back.CompressedSize), int32_t(H.CompressedSize));
  EXPECT_EQ(int32_t(Back.UncompressedSize), int32_t(H.UncompressedSize));
  EXPECT_EQ(uint32_t(Back.Crc32), uint32_t(H.Crc32));
  EXPECT_EQ(int64_t(Back.Span), int64_t(H.Span));
}

TEST(BLOBDescriptor, NewCompressedValueTakesTheBlockSizeOfItsMode) {
  const struct {
    uint8_t Mode;
    int32_t BlockSize;
  } Cases[] = {{0, 102400},  {1, 524288},  {3, 524288},  {4, 1048576},
               {6, 1048576}, {7, 1572864}, {9, 1572864}, {200, 1572864}};
  for (const auto& C : Cases) {
    SCOPED_TRACE(int(C.Mode));
    EXPECT_EQ(DefaultBLOBBlockSize(C.Mode), C.BlockSize);
    TTolvanMemoryStream Host;
    TBLOB S(Host, false, true, Descriptor(caZlib, C.Mode, 0));
    EXPECT_EQ(S.Descriptor().BlockSize, C.BlockSize);
    EXPECT_EQ(S.BlockSize(), C.BlockSize);
    EXPECT_EQ(S.Descriptor().BlockCount, 0);
    EXPECT_EQ(S.Size(), 0);
  }
  // A block size the caller chose stays.
  TTolvanMemoryStream Host;
  TBLOB S(Host, false, true, Descriptor(caZlib, 6, 4096));
  EXPECT_EQ(S.Descriptor().BlockSize, 4096);
}

// ---------------------------------------------------------------------------------------------
// Compressed values

// The engine's own host: a temporary stream, which moves to a file when truncation sizes it
// beyond a mebibyte.
TEST(CompressedBLOBStream, DefaultBlocksOfALargeValueAndTheirTruncation) {
  const TBytes Data = Sample(2500000, 7);
  TTolvanTemporaryStream Host;
  TTolvanBLOBDescriptor D;
  {
    TBLOB S(Host, false, true, Descriptor(caZlib, 6, 0));
    EXPECT_EQ(S.Write(Data.data(), int64_t(Data.size())), int64_t(Data.size()));
    D = S.Descriptor();
  }
  EXPECT_EQ(D.BlockSize, 1048576);
  EXPECT_EQ(D.BlockCount, 3);
  EXPECT_EQ(D.UncompressedSize, 2500000);

  // Every block checked against zlib itself and the CRC, and the spans chain to the host's end.
  const TBytes Raw = HostBytes(Host);
  const auto Blocks = WalkBlocks(Raw, 0, 3);
  const int32_t Sizes[] = {1048576, 1048576, 402848};
  for (int I = 0; I < 3; ++I) {
    SCOPED_TRACE(I);
    const TStoredBlock& B = Blocks[size_t(I)];
    EXPECT_EQ(B.UncompressedSize, Sizes[I]);
    EXPECT_EQ(B.Span, 20 + B.CompressedSize);
    TBytes Plain(size_t(B.UncompressedSize));
    uLongf PlainSize = uLongf(Plain.size());
    ASSERT_EQ(
        uncompress(Plain.data(), &PlainSize, Raw.data() + B.Offset + 20, uLong(B.CompressedSize)),
        Z_OK);
    ASSERT_EQ(PlainSize, Plain.size());
    EXPECT_TRUE(std::equal(Plain.begin(), Plain.end(), Data.begin() + I * 1048576));
    EXPECT_EQ(B.Crc32, UpdateCrc32(0, Plain.data(), int64_t(Plain.size())));
  }
  EXPECT_EQ(Blocks[2].Offset + Blocks[2].Span, int64_t(Raw.size()));

  // Reopened: reads in pieces that straddle the block boundaries.
  TBLOB S(Host, false, false, ThroughStoredForm(D));
  ASSERT_EQ(S.Size(), 2500000);
  TBytes Back(Data.size());
  for (int64_t At = 0; At < S.Size(); At += 300001)
    ASSERT_EQ(S.Read(Back.data() + At, 300001), std::min<int64_t>(300001, S.Size() - At));
  EXPECT_EQ(Back, Data);
  S.SetPosition(1048576 - 3);
  uint8_t Across[6];
  ASSERT_EQ(S.Read(Across, 6), 6);
  EXPECT_EQ(0, std::memcmp(Across, Data.data() + 1048576 - 3, 6));

  // Cut exactly on a block boundary: two blocks, and the host ends behind the second.
  S.SetSize(2 * 1048576);
  EXPECT_EQ(S.Descriptor().BlockCount, 2);
  EXPECT_EQ(S.Descriptor().UncompressedSize, 2 * 1048576);
  EXPECT_EQ(Host.Size(), Blocks[1].Offset + Blocks[1].Span);
  // One byte more is a third, one-byte block, and nothing behind it.
  S.SetSize(2500000);
  S.SetSize(2 * 1048576 + 1);
  EXPECT_EQ(S.Descriptor().BlockCount, 3);
  EXPECT_EQ(S.BlockHeader(2).UncompressedSize, 1);
  EXPECT_EQ(S.BlockPosition(2), Blocks[2].Offset);
  EXPECT_EQ(Host.Size(), S.BlockPosition(2) + int64_t(S.BlockHeader(2).Span));

  TBLOB Again(Host, false, false, ThroughStoredForm(S.Descriptor()));
  const TBytes Kept = ReadAll(Again);
  ASSERT_EQ(Kept.size(), size_t(2 * 1048576 + 1));
  EXPECT_TRUE(std::equal(Kept.begin(), Kept.begin() + 2 * 1048576, Data.begin()));
  EXPECT_EQ(Kept.back(), 0); // the bytes past the first truncation came back as zeros
}

TEST(CompressedBLOBStream, AppendsRewriteOnlyTheLastPartialBlock) {
  TTolvanMemoryStream Host;
  TBLOB S(Host, false, true, Descriptor(caZlib, 6, 0));
  const TBytes Data = Sample(20, 3);
  EXPECT_EQ(S.Write(Data.data(), 10), 10);
  const int64_t FirstOffset = S.BlockPosition(0);
  EXPECT_EQ(S.Write(Data.data() + 10, 10), 10);
  EXPECT_EQ(S.Descriptor().BlockCount, 1);
  EXPECT_EQ(S.BlockHeader(0).UncompressedSize, 20);
  EXPECT_EQ(S.BlockPosition(0), FirstOffset);
  EXPECT_EQ(Host.Size(), 20 + S.BlockHeader(0).CompressedSize);
  EXPECT_EQ(ReadAll(S), Data);

  // Small appends across block boundaries: whole blocks stay where they are.
  TTolvanMemoryStream Host2;
  TBLOB T(Host2, false, true, Descriptor(caZlib, 1, 100));
  const TBytes More = Sample(1000, 4);
  for (size_t At = 0; At < More.size(); At += 37)
    ASSERT_EQ(T.Write(More.data() + At, int64_t(std::min<size_t>(37, More.size() - At))),
              int64_t(std::min<size_t>(37, More.size() - At)));
  EXPECT_EQ(T.Descriptor().BlockCount, 10);
  EXPECT_EQ(T.Descriptor().UncompressedSize, 1000);
  EXPECT_EQ(ReadAll(T), More);
  EXPECT_EQ(Host2.Size(), T.BlockPosition(9) + int64_t(T.BlockHeader(9).Span));
}

TEST(CompressedBLOBStream, WritesBeforeTheEndAndPastIt) {
  TTolvanMemoryStream Host;
  TBLOB S(Host, false, true, Descriptor(caZlib, 6, 64));
  const uint8_t One = 0x5A;
  EXPECT_EQ(S.Seek(100, soBeginning), 100);
  EXPECT_EQ(S.Write(&One, 1), 1);
  EXPECT_EQ(S.Size(), 101);
  EXPECT_EQ(S.Position(), 101);
  EXPECT_EQ(S.Descriptor().UncompressedSize, 101);
  EXPECT_EQ(S.Descriptor().BlockCount, 2);
  TBytes Expected(101, 0);
  Expected[100] = One;
  EXPECT_EQ(ReadAll(S), Expected);

  // Before the end nothing is written; the host is not touched.
  const TBytes Before = HostBytes(Host);
  S.SetPosition(5);
  EXPECT_EQ(S.Write(&One, 1), 0);
  EXPECT_EQ(S.Write(&One, 0), 0);
  EXPECT_EQ(S.Size(), 101);
  EXPECT_EQ(S.Position(), 5);
  EXPECT_EQ(HostBytes(Host), Before);

  // Seeks: below 0 gives 0, an offset that overflows is refused.
  EXPECT_EQ(S.Seek(-10, soCurrent), 0);
  EXPECT_EQ(S.Seek(7, soEnd), 108);
  EXPECT_EQ(S.Seek(INT64_MAX, soCurrent), -1);
  EXPECT_EQ(S.Position(), 108);
  EXPECT_EQ(S.Write(&One, INT64_MAX), 0);
}

TEST(CompressedBLOBStream, SetSizeToZeroStartsAgainAtTheStartOffset) {
  TTolvanMemoryStream Host;
  const TBytes Prefix = Sample(13, 9);
  Host.WriteBuffer(Prefix.data(), int64_t(Prefix.size()));
  TBLOB S(Host, false, true, Descriptor(caBZip, 1, 50, 13));
  const TBytes Data = Sample(120, 5);
  S.WriteBuffer(Data.data(), int64_t(Data.size()));
  EXPECT_EQ(S.BlockPosition(0), 13);
  S.SetSize(0);
  EXPECT_EQ(S.Descriptor().BlockCount, 0);
  EXPECT_EQ(S.Size(), 0);
  EXPECT_EQ(S.Position(), 0);
  EXPECT_EQ(Host.Size(), 13);
  S.WriteBuffer(Data.data(), 30);
  EXPECT_EQ(S.BlockPosition(0), 13);
  EXPECT_EQ(S.Descriptor().BlockCount, 1);
  TBytes Raw = HostBytes(Host);
  EXPECT_TRUE(std::equal(Prefix.begin(), Prefix.end(), Raw.begin()));

  // Growing keeps the position and reads back as zeros.
  S.SetPosition(10);
  S.SetSize(75);
  EXPECT_EQ(S.Position(), 10);
  EXPECT_EQ(S.Descriptor().BlockCount, 2);
  TBytes Expected(Data.begin(), Data.begin() + 30);
  Expected.resize(75, 0);
  EXPECT_EQ(ReadAll(S), Expected);
}

TEST(CompressedBLOBStream, CompressionFailureRaisesOnTheFirstWrite) {
  for (const TTolvanCompressionAlgorithm A : {caBZip, caPPM}) {
    SCOPED_TRACE(int(A));
    TTolvanMemoryStream Host;
    TBLOB S(Host, false, true, Descriptor(A, 0, 0));
    const TBytes Data = Sample(10, 1);
    EXPECT_EQ(RaisedCode([&] { S.Write(Data.data(), 10); }), ErrBLOBCompress);
    EXPECT_EQ(S.Size(), 0);
    EXPECT_EQ(S.Descriptor().BlockCount, 0);
    EXPECT_EQ(Host.Size(), 0);
  }
}

// A block whose stored bytes were altered fails on the read that needs it; the others still
// read, and the position has passed only the blocks delivered.
class DamagedBLOBBlock : public testing::TestWithParam<TTolvanCompressionAlgorithm> {};

TEST_P(DamagedBLOBBlock, FailsOnReadAndLeavesTheStreamUsable) {
  const int32_t BS = 4096;
  const TBytes Data = Sample(3 * BS - 100, 11);
  TStoredValue V(Descriptor(GetParam(), 1, BS), Data);
  const auto Blocks = WalkBlocks(HostBytes(V.Host), 0, 3);

  const struct {
    const char* What;
    int64_t At;
    bool CrcOnly;
  } Damages[] = {{"stored CRC", Blocks[1].Offset + 8, true},
                 {"first data byte", Blocks[1].Offset + 20, false},
                 {"middle data byte", Blocks[1].Offset + 20 + Blocks[1].CompressedSize / 2, false},
                 {"last data byte", Blocks[1].Offset + 20 + Blocks[1].CompressedSize - 1, false}};
  const TBytes Clean = HostBytes(V.Host);
  for (const auto& Dm : Damages) {
    SCOPED_TRACE(Dm.What);
    TTolvanMemoryStream Host;
    TBytes Raw = Clean;
    Raw[size_t(Dm.At)] ^= 0x24;
    Host.WriteBuffer(Raw.data(), int64_t(Raw.size()));
    TBLOB S(Host, false, false, V.D);

    TBytes Buf(Data.size());
    S.SetPosition(BS - 10);
    int64_t Got = 0;
    const int32_t Code = RaisedCode([&] { Got = S.Read(Buf.data(), 20); });
    if (Dm.CrcOnly) {
      EXPECT_EQ(Code, ErrBLOBChecksum);
    } else if (Code == 0) {
      // A coder may never look at a trailing byte; then the block must still read true.
      EXPECT_EQ(Got, 20);
      EXPECT_TRUE(std::equal(Buf.begin(), Buf.begin() + 20, Data.begin() + BS - 10));
      continue;
    } else {
      EXPECT_TRUE(Code == ErrBLOBChecksum || Code == ErrBLOBDecompress) << Code;
    }
    EXPECT_EQ(S.Position(), BS);

    S.SetPosition(0);
    ASSERT_EQ(S.Read(Buf.data(), BS), BS);
    EXPECT_TRUE(std::equal(Buf.begin(), Buf.begin() + BS, Data.begin()));
    S.SetPosition(2 * BS);
    ASSERT_EQ(S.Read(Buf.data(), BS), BS - 100);
    EXPECT_TRUE(std::equal(Buf.begin(), Buf.begin() + BS - 100, Data.begin() + 2 * BS));
    S.SetPosition(BS + 1);
    EXPECT_NE(RaisedCode([&] { S.Read(Buf.data(), 1); }), 0);
  }
}

INSTANTIATE_TEST_SUITE_P(EveryAlgorithm, DamagedBLOBBlock, testing::Values(caZlib, caBZip, caPPM),
                         [](const auto& I) { return "Alg" + std::to_string(I.param); });

// Headers read from the host are checked before anything is read by them.
TEST(CompressedBLOBStream, DamagedHeadersAreRefusedWhenOpened) {
  const int32_t BS = 1000;
  TStoredValue V(Descriptor(caZlib, 6, BS), Sample(2500, 2));
  const TBytes Clean = HostBytes(V.Host);
  const auto Blocks = WalkBlocks(Clean, 0, 3);
  const int64_t B0 = Blocks[0].Offset, B2 = Blocks[2].Offset;

  const struct {
    const char* What;
    std::function<void(TStream&, TTolvanBLOBDescriptor&)> Damage;
  } Cases[] = {
      {"compressed size past the host",
       [&](TStream& H, TTolvanBLOBDescriptor&) { Put<int32_t>(H, B2, INT32_MAX); }},
      {"compressed size past the host, span agreeing",
       [&](TStream& H, TTolvanBLOBDescriptor&) {
         Put<int32_t>(H, B2, Blocks[2].CompressedSize + 1);
         Put<int64_t>(H, B2 + 12, Blocks[2].Span + 1);
       }},
      {"negative compressed size",
       [&](TStream& H, TTolvanBLOBDescriptor&) {
         Put<int32_t>(H, B0, -20);
         Put<int64_t>(H, B0 + 12, 0);
       }},
      {"zero compressed size",
       [&](TStream& H, TTolvanBLOBDescriptor&) {
         Put<int32_t>(H, B0, 0);
         Put<int64_t>(H, B0 + 12, 20);
       }},
      {"span not 20 + compressed size",
       [&](TStream& H, TTolvanBLOBDescriptor&) { Put<int64_t>(H, B0 + 12, Blocks[0].Span - 1); }},
      {"span far out", [&](TStream& H, TTolvanBLOBDescriptor&) { Put<int64_t>(H, B0 + 12, -40); }},
      {"inner block short",
       [&](TStream& H, TTolvanBLOBDescriptor&) { Put<int32_t>(H, B0 + 4, BS - 1); }},
      {"last block empty", [&](TStream& H, TTolvanBLOBDescriptor&) { Put<int32_t>(H, B2 + 4, 0); }},
      {"last block negative",
       [&](TStream& H, TTolvanBLOBDescriptor&) { Put<int32_t>(H, B2 + 4, -1); }},
      {"last block over the block size",
       [&](TStream& H, TTolvanBLOBDescriptor&) { Put<int32_t>(H, B2 + 4, BS + 1); }},
      {"more blocks than the host holds",
       [&](TStream&, TTolvanBLOBDescriptor& D) { D.BlockCount = 4; }},
      {"block count far beyond the host",
       [&](TStream&, TTolvanBLOBDescriptor& D) { D.BlockCount = INT64_MAX; }},
      {"host cut inside a header", [&](TStream& H, TTolvanBLOBDescriptor&) { H.SetSize(B2 + 19); }},
      {"host cut inside the data", [&](TStream& H, TTolvanBLOBDescriptor&) { H.SetSize(B2 + 21); }},
      {"negative block count", [&](TStream&, TTolvanBLOBDescriptor& D) { D.BlockCount = -1; }},
      {"block size 0", [&](TStream&, TTolvanBLOBDescriptor& D) { D.BlockSize = 0; }},
      {"negative block size", [&](TStream&, TTolvanBLOBDescriptor& D) { D.BlockSize = -1000; }},
      {"other block size", [&](TStream&, TTolvanBLOBDescriptor& D) { D.BlockSize = 999; }},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.What);
    TTolvanMemoryStream Host;
    Host.WriteBuffer(Clean.data(), int64_t(Clean.size()));
    TTolvanBLOBDescriptor D = V.D;
    C.Damage(Host, D);
    EXPECT_EQ(RaisedCode([&] { TBLOB S(Host, false, false, D); }), ErrBLOBDamaged);
  }

  // With AllowShort a short host keeps the whole blocks before the gap.
  TTolvanMemoryStream Host;
  Host.WriteBuffer(Clean.data(), B2 + 21);
  TBLOB S(Host, true, false, V.D);
  EXPECT_EQ(S.Descriptor().BlockCount, 2);
  EXPECT_EQ(S.Size(), 2 * BS);
  const TBytes Kept = ReadAll(S);
  const TBytes Original = Sample(2500, 2);
  EXPECT_TRUE(std::equal(Kept.begin(), Kept.end(), Original.begin()));
}

TEST(CompressedBLOBStream, StartOffsetTheHostCannotReach) {
  TTolvanMemoryStream Host;
  EXPECT_EQ(RaisedCode([&] { TBLOB S(Host, false, true, Descriptor(caZlib, 1, 0, -1)); }),
            ErrBLOBStartPosition);
  EXPECT_EQ(RaisedCode([&] { TBLOB S(Host, false, true, Descriptor(caNone, 0, 0, -5)); }),
            ErrBLOBStartPosition);
  // A start past the host's end is refused before anything grows the host, new value or not,
  // whatever the flags; the end itself is where a new value starts.
  Host.WriteBuffer("0123456789", 10);
  for (const int64_t Start : {int64_t(11), int64_t(1) << 40, INT64_MAX - 10, INT64_MAX})
    for (const TTolvanCompressionAlgorithm Algorithm : {caNone, caZlib})
      for (const bool IsNew : {false, true})
        for (const bool AllowShort : {false, true}) {
          TTolvanBLOBDescriptor D = Descriptor(Algorithm, 1, 1000, Start);
          D.BlockCount = 3;
          D.UncompressedSize = 5;
          EXPECT_EQ(RaisedCode([&] { TBLOB S(Host, AllowShort, IsNew, D); }), ErrBLOBStartPosition)
              << Start << " " << int(Algorithm) << IsNew << AllowShort;
        }
  EXPECT_EQ(Host.Size(), 10);
  TBLOB S(Host, false, true, Descriptor(caZlib, 1, 0, 10));
  EXPECT_EQ(S.Write("ab", 2), 2);
  EXPECT_EQ(ReadAll(S), (TBytes{'a', 'b'}));
}

// A plain value allowed to be short is what the host holds, whatever length it claims: an
// append lands at the host's end, and positions near the top of the range read nothing and sum
// with the start without overflow.
TEST(PlainBLOBStream, HugeLengthAllowedShortIsWhatTheHostHolds) {
  TTolvanMemoryStream Host;
  Host.WriteBuffer("0123456789", 10);
  TTolvanBLOBDescriptor D = Descriptor(caNone, 0, 0, 4);
  D.UncompressedSize = INT64_MAX;
  TBLOB S(Host, true, false, D);
  EXPECT_EQ(S.Size(), 6);
  EXPECT_EQ(S.Descriptor().UncompressedSize, 6);
  char Buf[8] = {};
  EXPECT_EQ(S.Read(Buf, 8), 6);
  EXPECT_EQ(std::string(Buf, 6), "456789");
  S.Seek(0, soEnd);
  EXPECT_EQ(S.Write("ab", 2), 2);
  EXPECT_EQ(Host.Size(), 12);
  EXPECT_EQ(S.Seek(INT64_MAX - 2, soBeginning), INT64_MAX - 2);
  EXPECT_EQ(S.Read(Buf, 1), 0);
}

// ---------------------------------------------------------------------------------------------
// Plain values

TEST(PlainBLOBStream, LiesUnchangedInTheHostBehindItsStartOffset) {
  TTolvanMemoryStream Host;
  Host.WriteBuffer("HEAD", 4);
  TBLOB S(Host, false, true, Descriptor(caNone, 0, 0, 4));
  EXPECT_EQ(S.BlockSize(), DefaultStreamBlockSize);
  S.WriteBuffer("abcdef", 6);
  S.SetPosition(2);
  S.WriteBuffer("XY", 2);
  EXPECT_EQ(S.Size(), 6);
  EXPECT_EQ(S.Descriptor().UncompressedSize, 6);
  const TBytes Raw = HostBytes(Host);
  EXPECT_EQ(std::string(Raw.begin(), Raw.end()), "HEADabXYef");

  S.SetSize(3);
  EXPECT_EQ(Host.Size(), 7);
  EXPECT_EQ(S.Position(), 3);
  EXPECT_EQ(S.Descriptor().UncompressedSize, 3);

  TBLOB Again(Host, false, false, ThroughStoredForm(S.Descriptor()));
  const TBytes Back = ReadAll(Again);
  EXPECT_EQ(std::string(Back.begin(), Back.end()), "abX");
}

TEST(PlainBLOBStream, HostShorterThanTheValue) {
  TTolvanMemoryStream Host;
  Host.WriteBuffer("0123456789", 10);
  TTolvanBLOBDescriptor D = Descriptor(caNone, 0, 0, 4);
  D.UncompressedSize = 7;
  EXPECT_EQ(RaisedCode([&] { TBLOB S(Host, false, false, D); }), ErrBLOBPlainHostTooSmall);
  D.UncompressedSize = INT64_MAX;
  EXPECT_EQ(RaisedCode([&] { TBLOB S(Host, false, false, D); }), ErrBLOBPlainHostTooSmall);
  D.UncompressedSize = -1;
  EXPECT_EQ(RaisedCode([&] { TBLOB S(Host, false, false, D); }), ErrBLOBDamaged);

  D.UncompressedSize = 7;
  TBLOB Short(Host, true, false, D);
  char Buf[8] = {};
  EXPECT_EQ(Short.Read(Buf, 8), 6);
  EXPECT_EQ(std::string(Buf, 6), "456789");
}

// ---------------------------------------------------------------------------------------------
// Against a byte-vector model, under random seeks, reads, writes and size changes

namespace {

struct TModelCase {
  TTolvanCompressionAlgorithm Algorithm;
  uint8_t Mode;
  int32_t BlockSize;
  int64_t StartOffset;
  int Steps;
};

void PrintTo(const TModelCase& C, std::ostream* Out) {
  *Out << "algorithm " << int(C.Algorithm) << ", mode " << int(C.Mode) << ", block size "
       << C.BlockSize << ", start " << C.StartOffset;
}

std::string CaseName(const testing::TestParamInfo<TModelCase>& I) {
  return "Alg" + std::to_string(I.param.Algorithm) + "Mode" + std::to_string(I.param.Mode) +
         "Block" + std::to_string(I.param.BlockSize);
}

// The value's rules: a compressed value is written only at its end; a plain one anywhere.
struct TModel {
  TBytes Bytes;
  int64_t Position = 0;
  bool Compressed;

  int64_t Seek(int64_t Offset, TSeekOrigin Origin) {
    const int64_t Base = Origin == soBeginning ? 0
                         : Origin == soCurrent ? Position
                                               : int64_t(Bytes.size());
    Position = std::max<int64_t>(0, Base + Offset);
    return Position;
  }
  int64_t Read(uint8_t* Out, int64_t Count) {
    const int64_t N = std::clamp<int64_t>(int64_t(Bytes.size()) - Position, 0, Count);
    std::copy_n(Bytes.begin() + Position, N, Out);
    Position += N;
    return N;
  }
  int64_t Write(const uint8_t* In, int64_t Count) {
    if (Count < 1 || (Compressed && Position < int64_t(Bytes.size())))
      return 0;
    if (int64_t(Bytes.size()) < Position + Count)
      Bytes.resize(size_t(Position + Count), 0);
    std::copy_n(In, Count, Bytes.begin() + Position);
    Position += Count;
    return Count;
  }
  void SetSize(int64_t N) {
    Bytes.resize(size_t(N), 0);
    Position = std::min(Position, N);
  }
};

} // namespace

class BLOBStreamModel : public testing::TestWithParam<TModelCase> {};

TEST_P(BLOBStreamModel, AgreesWithAByteVector) {
  const TModelCase& C = GetParam();
  std::mt19937 Rng(1234 + C.Algorithm * 31 + C.BlockSize);
  auto Pick = [&](int64_t Lo, int64_t Hi) {
    return std::uniform_int_distribution<int64_t>(Lo, Hi)(Rng);
  };
  const int64_t BS = C.BlockSize;
  const TBytes Prefix = Sample(size_t(C.StartOffset), 99);
  const TBytes Source = Sample(size_t(8 * BS + 5000), 17);

  TTolvanMemoryStream Host;
  Host.WriteBuffer(Prefix.data(), int64_t(Prefix.size()));
  auto S = std::make_unique<TBLOB>(Host, false, true,
                                   Descriptor(C.Algorithm, C.Mode, C.BlockSize, C.StartOffset));
  TModel M{{}, 0, C.Algorithm != caNone};
  TBytes Buf;

  auto CheckState = [&](int Step) {
    SCOPED_TRACE(Step);
    ASSERT_EQ(S->Size(), int64_t(M.Bytes.size()));
    ASSERT_EQ(S->Position(), M.Position);
    const TTolvanBLOBDescriptor& D = S->Descriptor();
    ASSERT_EQ(D.UncompressedSize, int64_t(M.Bytes.size()));
    // Nothing of earlier contents stays behind the value in the host.
    if (C.Algorithm == caNone) {
      ASSERT_EQ(Host.Size(), C.StartOffset + int64_t(M.Bytes.size()));
    } else {
      ASSERT_EQ(D.BlockCount, (int64_t(M.Bytes.size()) + BS - 1) / BS);
      const auto Blocks = WalkBlocks(HostBytes(Host), C.StartOffset, D.BlockCount);
      const int64_t End =
          Blocks.empty() ? C.StartOffset : Blocks.back().Offset + Blocks.back().Span;
      ASSERT_EQ(Host.Size(), End);
    }
  };

  for (int Step = 0; Step < C.Steps; ++Step) {
    const int64_t Size = int64_t(M.Bytes.size());
    switch (Pick(0, 9)) {
    case 0:
    case 1: { // seek
      const auto Origin = TSeekOrigin(Pick(0, 2));
      const int64_t Offset = Pick(-BS, Size + 2 * BS) - (Origin == soBeginning ? 0 : Size / 2);
      ASSERT_EQ(S->Seek(Offset, Origin), M.Seek(Offset, Origin));
      break;
    }
    case 2:
    case 3:
    case 4: { // read
      const int64_t Count = Pick(0, 3 * BS);
      Buf.assign(size_t(Count), 0xCC);
      TBytes Expected(size_t(Count), 0xCC);
      ASSERT_EQ(S->Read(Buf.data(), Count), M.Read(Expected.data(), Count));
      ASSERT_EQ(Buf, Expected);
      break;
    }
    case 5:
    case 6:
    case 7: { // write, mostly at the end so that it appends
      if (Pick(0, 3) > 0)
        M.Seek(S->Seek(Pick(0, 3) == 0 ? Pick(1, BS) : 0, soEnd), soBeginning);
      const int64_t Count = Pick(0, 2 * BS);
      const int64_t From = Pick(0, int64_t(Source.size()) - Count);
      ASSERT_EQ(S->Write(Source.data() + From, Count), M.Write(Source.data() + From, Count));
      break;
    }
    case 8: { // size
      const int64_t N = Pick(0, 3) == 0 ? Pick(0, Size + 2 * BS) : Pick(0, Size);
      S->SetSize(N);
      M.SetSize(N);
      break;
    }
    case 9: { // reopen from the stored descriptor
      const TTolvanBLOBDescriptor D = ThroughStoredForm(S->Descriptor());
      const int64_t Position = S->Position();
      S.reset();
      S = std::make_unique<TBLOB>(Host, false, false, D);
      S->SetPosition(Position);
      break;
    }
    }
    CheckState(Step);
    if (testing::Test::HasFatalFailure())
      return;
  }
  EXPECT_EQ(ReadAll(*S), M.Bytes);
  const TBytes Raw = HostBytes(Host);
  EXPECT_TRUE(std::equal(Prefix.begin(), Prefix.end(), Raw.begin()));
}

INSTANTIATE_TEST_SUITE_P(
    EveryAlgorithm, BLOBStreamModel,
    testing::Values(TModelCase{caNone, 0, 0, 0, 1000}, TModelCase{caNone, 0, 100, 9, 1000},
                    TModelCase{caZlib, 1, 1, 0, 1000}, TModelCase{caZlib, 6, 7, 3, 1000},
                    TModelCase{caZlib, 9, 300, 0, 1000}, TModelCase{caBZip, 1, 64, 5, 1000},
                    TModelCase{caBZip, 9, 1000, 0, 1000}, TModelCase{caPPM, 1, 50, 0, 1000},
                    TModelCase{caPPM, 2, 777, 11, 1000}),
    CaseName);
