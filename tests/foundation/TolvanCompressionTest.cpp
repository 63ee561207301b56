#include "foundation/TolvanCompression.h"

#include <gtest/gtest.h>

#include <bzlib.h>
#include <zlib.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "foundation/TolvanBZip2D.h"
#include "foundation/TolvanCompressionBuffer.h"
#include "foundation/TolvanConst.h"
#include "foundation/TolvanZlib.h"

#if defined(__SANITIZE_ADDRESS__)
// The sanitizer runtime exports this, though not every compiler ships its declaration.
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*)(const volatile void*, size_t),
                                                         void (*)(const volatile void*));
#define TOLVAN_WATCH_MALLOCS 1
#endif

using namespace tolvan;

namespace {

using TBytes = std::vector<uint8_t>;

// Output blocks of the compression layer go back to the run-time heap.
struct TFreeBlock {
  void operator()(void* P) const { std::free(P); }
};
using THeapBlock = std::unique_ptr<void, TFreeBlock>;

TBytes RandomBytes(size_t N, uint32_t Seed) {
  TBytes R(N);
  uint32_t X = Seed | 1;
  for (auto& B : R) {
    X ^= X << 13;
    X ^= X >> 17;
    X ^= X << 5;
    B = uint8_t(X >> 24);
  }
  return R;
}

TBytes TextBytes(std::string_view S) { return TBytes(S.begin(), S.end()); }

TBytes RepeatedPattern(size_t N) {
  static constexpr std::string_view Pattern = "record 0042;";
  TBytes R(N);
  for (size_t I = 0; I < N; ++I)
    R[I] = uint8_t(Pattern[I % Pattern.size()]);
  return R;
}

struct TSample {
  const char* Name;
  TBytes Data;
};

std::vector<TSample> Samples() {
  return {{"one byte", {0x41}},
          {"small text", TextBytes("The quick brown fox jumps over the lazy dog, twice: the quick "
                                   "brown fox jumps over the lazy dog.")},
          {"incompressible", RandomBytes(3000, 7)},
          {"repetitive, several bzip2 blocks", RepeatedPattern(250000)}};
}

int64_t FirstCompressSize(int64_t N) { return RoundUpTo256(N + N / 10 + 12); }

struct TCompressed {
  bool Ok;
  THeapBlock Block;
  int32_t Size;
};

TCompressed Compress(TTolvanCompressionAlgorithm Alg, uint8_t Mode, const TBytes& Data) {
  void* Out = nullptr;
  int32_t Size = -1;
  const bool Ok = CompressBuffer(Alg, Mode, Data.data(), int32_t(Data.size()), Out, Size);
  return {Ok, THeapBlock(Out), Size};
}

// Decompresses from an exact-size copy of the input, so that any read past its end shows.
TCompressed Decompress(TTolvanCompressionAlgorithm Alg, const uint8_t* In, size_t InSize,
                       int32_t Expected) {
  std::unique_ptr<uint8_t[]> Exact(new uint8_t[InSize]);
  std::memcpy(Exact.get(), In, InSize);
  void* Out = nullptr;
  int32_t Size = Expected;
  const bool Ok = DecompressBuffer(Alg, Exact.get(), int32_t(InSize), Out, Size);
  return {Ok, THeapBlock(Out), Size};
}

void ExpectDecompressesTo(TTolvanCompressionAlgorithm Alg, const TCompressed& C,
                          const TBytes& Data) {
  for (int32_t Expected : {int32_t(Data.size()), 0}) {
    SCOPED_TRACE("expected size " + std::to_string(Expected));
    if (Alg == caPPM && Expected == 0) {
      // The PPM decoder needs the size: its data may not run past it.
      auto D = Decompress(Alg, static_cast<const uint8_t*>(C.Block.get()), size_t(C.Size), 0);
      EXPECT_FALSE(D.Ok);
      EXPECT_EQ(D.Block, nullptr);
      continue;
    }
    auto D = Decompress(Alg, static_cast<const uint8_t*>(C.Block.get()), size_t(C.Size), Expected);
    ASSERT_TRUE(D.Ok);
    ASSERT_EQ(D.Size, int32_t(Data.size()));
    EXPECT_EQ(std::memcmp(D.Block.get(), Data.data(), Data.size()), 0);
  }
}

struct TAlgMode {
  TTolvanCompressionAlgorithm Alg;
  uint8_t Mode;
};

struct TAlgModes {
  TTolvanCompressionAlgorithm Alg;
  int FirstMode, LastMode;
};
constexpr TAlgModes ValidModes[] = {{caZlib, 0, 9}, {caBZip, 1, 9}, {caPPM, 1, 9}};

} // namespace

TEST(CompressBuffer, RoundTripsEveryValidMode) {
  const auto All = Samples();
  for (const auto& [Alg, First, Last] : ValidModes)
    for (int Mode = First; Mode <= Last; ++Mode)
      for (const auto& S : All) {
        SCOPED_TRACE(std::string(CompressionAlgorithmName(Alg)) + " mode " + std::to_string(Mode) +
                     ", " + S.Name);
        auto C = Compress(Alg, uint8_t(Mode), S.Data);
        ASSERT_TRUE(C.Ok);
        ASSERT_GT(C.Size, 0);
        ExpectDecompressesTo(Alg, C, S.Data);
      }
}

TEST(CompressBuffer, SixteenMiBOfOneByte) {
  const TBytes Data(16 << 20, 0x5A);
  const TAlgMode Cases[] = {{caZlib, 1}, {caZlib, 9}, {caBZip, 9}};
  for (const auto& [Alg, Mode] : Cases) {
    SCOPED_TRACE(std::string(CompressionAlgorithmName(Alg)) + " mode " + std::to_string(Mode));
    auto C = Compress(Alg, uint8_t(Mode), Data);
    ASSERT_TRUE(C.Ok);
    EXPECT_LT(C.Size, 100000);
    ExpectDecompressesTo(Alg, C, Data);
  }
}

TEST(CompressBuffer, BZip2OutputLargerThanItsFirstBuffer) {
  // Small incompressible inputs come out of bzip2 longer than the first estimate, so the
  // output block has to grow.
  int Grown = 0;
  for (size_t N = 150; N <= 5000; N += 97) {
    SCOPED_TRACE("size " + std::to_string(N));
    const TBytes Data = RandomBytes(N, uint32_t(N));
    auto C = Compress(caBZip, 1, Data);
    ASSERT_TRUE(C.Ok);
    Grown += C.Size > FirstCompressSize(int64_t(N));
    ExpectDecompressesTo(caBZip, C, Data);
  }
  EXPECT_GT(Grown, 0);
}

TEST(CompressBuffer, InvalidModesFailWithTheSizeReached) {
  const TBytes Data = RandomBytes(1000, 3);
  struct {
    TTolvanCompressionAlgorithm Alg;
    uint8_t Mode;
    int32_t OutSize; // the first output block when the algorithm refused the mode
  } const Cases[] = {
      {caZlib, 10, int32_t(FirstCompressSize(1000))},
      {caZlib, 255, int32_t(FirstCompressSize(1000))},
      {caBZip, 0, int32_t(FirstCompressSize(1000))},
      {caBZip, 10, int32_t(FirstCompressSize(1000))},
      {caBZip, 255, int32_t(FirstCompressSize(1000))},
      {caPPM, 0, 1000 + 1000 / 20 + 50},
      {caPPM, 10, 1000 + 1000 / 20 + 50},
      {caPPM, 255, 1000 + 1000 / 20 + 50},
  };
  for (const auto& Case : Cases) {
    SCOPED_TRACE(std::to_string(Case.Alg) + " mode " + std::to_string(Case.Mode));
    auto C = Compress(Case.Alg, Case.Mode, Data);
    EXPECT_FALSE(C.Ok);
    EXPECT_EQ(C.Block, nullptr);
    EXPECT_EQ(C.Size, Case.OutSize);
  }
}

TEST(CompressBuffer, RefusesNothingToDoAndUnknownAlgorithms) {
  const TBytes Data = TextBytes("some bytes");
  int Dummy = 0;
  // Algorithm 0 or no input: false at once, OutSize 0, OutBuf as it was.
  for (TTolvanCompressionAlgorithm Alg : {caNone, caZlib, caBZip, caPPM})
    for (int32_t InSize : {0, -1, 10}) {
      if (Alg != caNone && InSize > 0)
        continue;
      void* Out = &Dummy;
      int32_t Size = 77;
      EXPECT_FALSE(CompressBuffer(Alg, 6, Data.data(), InSize, Out, Size));
      EXPECT_EQ(Out, &Dummy);
      EXPECT_EQ(Size, 0);
    }
  for (TTolvanCompressionAlgorithm Alg : {4, 255}) {
    void* Out = &Dummy;
    int32_t Size = 77;
    EXPECT_FALSE(CompressBuffer(Alg, 6, Data.data(), int32_t(Data.size()), Out, Size));
    EXPECT_EQ(Out, nullptr);
    EXPECT_EQ(Size, 0);
  }
}

TEST(DecompressBuffer, RefusesNothingToDoAndUnknownAlgorithms) {
  const TBytes Data = TextBytes("some bytes");
  int Dummy = 0;
  const std::pair<TTolvanCompressionAlgorithm, int32_t> Cases[] = {
      {caNone, 10}, {caZlib, 0}, {caBZip, 0}, {caPPM, 0}, {caZlib, -5}};
  for (const auto& [Alg, InSize] : Cases) {
    void* Out = &Dummy;
    int32_t Size = 77;
    EXPECT_FALSE(DecompressBuffer(Alg, Data.data(), InSize, Out, Size));
    EXPECT_EQ(Out, &Dummy);
    EXPECT_EQ(Size, 77);
  }
  void* Out = &Dummy;
  int32_t Size = 77;
  EXPECT_FALSE(DecompressBuffer(9, Data.data(), int32_t(Data.size()), Out, Size));
  EXPECT_EQ(Out, nullptr);
  EXPECT_EQ(Size, 0);
}

TEST(DecompressBuffer, TheExpectedSizeMustMatch) {
  const TBytes Data = RepeatedPattern(5000);
  for (TTolvanCompressionAlgorithm Alg : {caZlib, caBZip, caPPM}) {
    SCOPED_TRACE(std::string(CompressionAlgorithmName(Alg)));
    auto C = Compress(Alg, 6, Data);
    ASSERT_TRUE(C.Ok);
    const auto* In = static_cast<const uint8_t*>(C.Block.get());
    // Longer data than expected is refused without producing it.
    for (int32_t Expected : {1, 4999}) {
      auto D = Decompress(Alg, In, size_t(C.Size), Expected);
      EXPECT_FALSE(D.Ok);
      EXPECT_EQ(D.Block, nullptr);
    }
    // Shorter data: refused, OutSize tells how much there was.
    auto D = Decompress(Alg, In, size_t(C.Size), 5001);
    EXPECT_FALSE(D.Ok);
    EXPECT_EQ(D.Block, nullptr);
    EXPECT_EQ(D.Size, 5000);
    // A size from a damaged header is not believed up front, and still has to match.
    D = Decompress(Alg, In, size_t(C.Size), INT32_MAX);
    EXPECT_FALSE(D.Ok);
    EXPECT_EQ(D.Block, nullptr);
    EXPECT_EQ(D.Size, 5000);
    D = Decompress(Alg, In, size_t(C.Size), -1);
    EXPECT_FALSE(D.Ok);
    EXPECT_EQ(D.Block, nullptr);
  }
}

TEST(DecompressBuffer, FirstBlockIsBoundedByTheInput) {
  // An honest expected size is allocated in one go; a huge one only as far as the input could
  // plausibly expand.
  EXPECT_EQ(FirstDecompressCapacity(100, 5000), 5001);
  EXPECT_EQ(FirstDecompressCapacity(100, 0), 256);
  EXPECT_LE(FirstDecompressCapacity(100, INT32_MAX), 1 << 20);
  EXPECT_LE(FirstDecompressCapacity(1 << 20, INT32_MAX), int64_t(64) << 20);
  EXPECT_EQ(FirstDecompressCapacity(INT32_MAX, 0), DecompressCapacityLimit(0));
}

#ifdef TOLVAN_WATCH_MALLOCS
namespace {
std::atomic<bool> WatchingMallocs{false};
std::atomic<size_t> LargestMalloc{0};
void OnMalloc(const volatile void*, size_t Size) {
  if (!WatchingMallocs.load(std::memory_order_relaxed))
    return;
  size_t Seen = LargestMalloc.load(std::memory_order_relaxed);
  while (Size > Seen && !LargestMalloc.compare_exchange_weak(Seen, Size))
    ;
}
void OnFree(const volatile void*) {}
} // namespace

// An expected size from a damaged header must not by itself allocate that much, for any
// algorithm: a few hundred bytes of input claiming 2 GiB of output take no more than the model
// and a block the input could plausibly fill.
TEST(DecompressBuffer, AHugeExpectedSizeIsNotAllocatedUpFront) {
  static const bool Installed = __sanitizer_install_malloc_and_free_hooks(OnMalloc, OnFree) != 0;
  ASSERT_TRUE(Installed);
  const TBytes Data = RepeatedPattern(5000);
  for (TTolvanCompressionAlgorithm Alg : {caZlib, caBZip, caPPM}) {
    SCOPED_TRACE(std::string(CompressionAlgorithmName(Alg)));
    auto C = Compress(Alg, 1, Data);
    ASSERT_TRUE(C.Ok);
    LargestMalloc = 0;
    WatchingMallocs = true;
    auto D = Decompress(Alg, static_cast<const uint8_t*>(C.Block.get()), size_t(C.Size), INT32_MAX);
    WatchingMallocs = false;
    EXPECT_FALSE(D.Ok);
    EXPECT_EQ(D.Size, 5000);
    EXPECT_LT(LargestMalloc.load(), size_t(16) << 20);
  }
}
#endif

// Data that expands far beyond its input still decodes: the PPM output grows past its first
// block up to the expected size, and not one byte beyond it.
TEST(DecompressBuffer, PPMOutputGrowsToTheExpectedSize) {
  const TBytes Data(3 << 20, 0x5A);
  auto C = Compress(caPPM, 1, Data);
  ASSERT_TRUE(C.Ok);
  ASSERT_LT(int64_t(C.Size) * 64, int64_t(1) << 20); // the first block is smaller than the data
  ExpectDecompressesTo(caPPM, C, Data);
  auto D = Decompress(caPPM, static_cast<const uint8_t*>(C.Block.get()), size_t(C.Size),
                      int32_t(Data.size()) - 1);
  EXPECT_FALSE(D.Ok);
  EXPECT_EQ(D.Block, nullptr);
}

TEST(DecompressBuffer, DamagedAndTruncatedInputFailsCleanly) {
  const TBytes Data =
      TextBytes("Damage in a compressed block must be reported, never decoded into garbage, "
                "and never read past the end of the block. 0123456789 0123456789 0123456789");
  const TAlgMode Cases[] = {{caZlib, 0}, {caZlib, 6}, {caBZip, 1}, {caPPM, 1}, {caPPM, 3}};
  for (const TAlgMode& Case : Cases) {
    const TTolvanCompressionAlgorithm Alg = Case.Alg; // a lambda below captures it
    const int Mode = Case.Mode;
    SCOPED_TRACE(std::string(CompressionAlgorithmName(Alg)) + " mode " + std::to_string(Mode));
    auto C = Compress(Alg, uint8_t(Mode), Data);
    ASSERT_TRUE(C.Ok);
    const auto* In = static_cast<const uint8_t*>(C.Block.get());
    const size_t N = size_t(C.Size);
    auto ExpectRefusedOrIntact = [&](const TBytes& Bad, const std::string& What) {
      for (int32_t Expected : {int32_t(Data.size()), 0}) {
        SCOPED_TRACE(What + ", expected size " + std::to_string(Expected));
        auto D = Decompress(Alg, Bad.data(), Bad.size(), Expected);
        if (D.Ok) {
          ASSERT_EQ(D.Size, int32_t(Data.size()));
          EXPECT_EQ(std::memcmp(D.Block.get(), Data.data(), Data.size()), 0);
        } else {
          EXPECT_EQ(D.Block, nullptr);
        }
      }
    };
    for (size_t Cut = 1; Cut < N; ++Cut) {
      // Cut short: always refused.
      for (int32_t Expected : {int32_t(Data.size()), 0}) {
        auto D = Decompress(Alg, In, Cut, Expected);
        EXPECT_FALSE(D.Ok) << "cut to " << Cut;
        EXPECT_EQ(D.Block, nullptr);
        if (Alg == caZlib) {
          EXPECT_EQ(D.Size, 0);
        }
      }
    }
    for (size_t At = 0; At < N; ++At) {
      TBytes Dropped(In, In + N);
      Dropped.erase(Dropped.begin() + ptrdiff_t(At));
      ExpectRefusedOrIntact(Dropped, "byte dropped at " + std::to_string(At));
      TBytes Flipped(In, In + N);
      Flipped[At] ^= 0xFF;
      ExpectRefusedOrIntact(Flipped, "byte flipped at " + std::to_string(At));
    }
  }
}

TEST(DecompressBuffer, ForeignDataFails) {
  const TBytes Data = RepeatedPattern(2000);
  auto Z = Compress(caZlib, 6, Data);
  auto B = Compress(caBZip, 1, Data);
  ASSERT_TRUE(Z.Ok && B.Ok);
  const TBytes Noise = RandomBytes(500, 11);
  struct {
    TTolvanCompressionAlgorithm Alg;
    const uint8_t* In;
    size_t Size;
  } const Cases[] = {{caZlib, static_cast<const uint8_t*>(B.Block.get()), size_t(B.Size)},
                     {caBZip, static_cast<const uint8_t*>(Z.Block.get()), size_t(Z.Size)},
                     {caZlib, Noise.data(), Noise.size()},
                     {caBZip, Noise.data(), Noise.size()},
                     {caPPM, Noise.data(), Noise.size()}};
  for (const auto& Case : Cases)
    for (int32_t Expected : {2000, 0}) {
      auto D = Decompress(Case.Alg, Case.In, Case.Size, Expected);
      EXPECT_FALSE(D.Ok);
      EXPECT_EQ(D.Block, nullptr);
    }
}

TEST(DecompressBuffer, ZlibStreamWithPresetDictionaryFails) {
  // There is no dictionary to give; the stream must be refused, not retried for ever.
  const TBytes Dictionary = TextBytes("record 0042;");
  const TBytes Data = RepeatedPattern(1000);
  z_stream S{};
  ASSERT_EQ(deflateInit(&S, 6), Z_OK);
  ASSERT_EQ(deflateSetDictionary(&S, Dictionary.data(), uInt(Dictionary.size())), Z_OK);
  TBytes Out(2000);
  S.next_in = const_cast<Bytef*>(Data.data());
  S.avail_in = uInt(Data.size());
  S.next_out = Out.data();
  S.avail_out = uInt(Out.size());
  ASSERT_EQ(deflate(&S, Z_FINISH), Z_STREAM_END);
  Out.resize(S.total_out);
  deflateEnd(&S);
  for (int32_t Expected : {1000, 0}) {
    auto D = Decompress(caZlib, Out.data(), Out.size(), Expected);
    EXPECT_FALSE(D.Ok);
    EXPECT_EQ(D.Block, nullptr);
    EXPECT_EQ(D.Size, 0);
  }
}

TEST(CompressBuffer, FormatsAreTheLibrariesOwn) {
  TBytes Data = RandomBytes(20000, 5);
  const TBytes Text = RepeatedPattern(30000);
  Data.insert(Data.end(), Text.begin(), Text.end());

  // Ours -> the libraries.
  auto Z = Compress(caZlib, 6, Data);
  ASSERT_TRUE(Z.Ok);
  TBytes Plain(Data.size() + 1);
  uLongf ZLen = uLongf(Plain.size());
  ASSERT_EQ(
      uncompress(Plain.data(), &ZLen, static_cast<const Bytef*>(Z.Block.get()), uLong(Z.Size)),
      Z_OK);
  ASSERT_EQ(ZLen, Data.size());
  EXPECT_EQ(std::memcmp(Plain.data(), Data.data(), Data.size()), 0);

  auto B = Compress(caBZip, 9, Data);
  ASSERT_TRUE(B.Ok);
  unsigned BLen = unsigned(Plain.size());
  ASSERT_EQ(BZ2_bzBuffToBuffDecompress(reinterpret_cast<char*>(Plain.data()), &BLen,
                                       static_cast<char*>(B.Block.get()), unsigned(B.Size), 0, 0),
            BZ_OK);
  ASSERT_EQ(BLen, Data.size());
  EXPECT_EQ(std::memcmp(Plain.data(), Data.data(), Data.size()), 0);

  // The libraries -> ours.
  TBytes Packed(compressBound(uLong(Data.size())));
  uLongf PLen = uLongf(Packed.size());
  ASSERT_EQ(compress2(Packed.data(), &PLen, Data.data(), uLong(Data.size()), 9), Z_OK);
  void* Copy = std::malloc(PLen);
  std::memcpy(Copy, Packed.data(), PLen);
  ExpectDecompressesTo(caZlib, TCompressed{true, THeapBlock(Copy), int32_t(PLen)}, Data);

  unsigned QLen = unsigned(Data.size() + Data.size() / 100 + 600);
  TBytes BPacked(QLen);
  ASSERT_EQ(BZ2_bzBuffToBuffCompress(reinterpret_cast<char*>(BPacked.data()), &QLen,
                                     reinterpret_cast<char*>(Data.data()), unsigned(Data.size()), 3,
                                     0, 0),
            BZ_OK);
  Copy = std::malloc(QLen);
  std::memcpy(Copy, BPacked.data(), QLen);
  ExpectDecompressesTo(caBZip, TCompressed{true, THeapBlock(Copy), int32_t(QLen)}, Data);
}

// Each PPM mode codes with its own model order and memory, named in the stream's info word;
// mode 1 (order 2, 2 MiB) gives the coder's published bytes for "abracadabra".
TEST(CompressBuffer, PPMModesNameTheirModelInTheInfoWord) {
  const TBytes Data = TextBytes("abracadabra");
  // Mode 5 (order 7, 30 MiB) is D6 61 00 00.
  const uint16_t Info[10] = {0,      0x6011, 0x6022, 0x6063, 0x60F4,
                             0x61D6, 0x61D7, 0x62C9, 0x663C, 0x663F};
  for (int Mode = 1; Mode <= 9; ++Mode) {
    SCOPED_TRACE("mode " + std::to_string(Mode));
    auto C = Compress(caPPM, uint8_t(Mode), Data);
    ASSERT_TRUE(C.Ok);
    ASSERT_GT(C.Size, 4);
    const auto* Out = static_cast<const uint8_t*>(C.Block.get());
    EXPECT_EQ(TBytes(Out, Out + 4),
              (TBytes{uint8_t(Info[Mode]), uint8_t(Info[Mode] >> 8), 0, 0}));
    if (Mode == 1) {
      EXPECT_EQ(TBytes(Out + 4, Out + C.Size), (TBytes{0x79, 0x98, 0x02, 0xB5, 0x18, 0x3F, 0xA9,
                                                       0xE0, 0x66, 0xC4, 0x70, 0x00}));
    }
  }
}

TEST(CompressionBindings, FailuresRaiseTheirOwnClassesAndFreeTheBlock) {
  const TBytes Data = RandomBytes(1000, 9);
  void* Out = nullptr;
  int32_t Size = 0;
  try {
    ZlibCompressBuf(Data.data(), 1000, Out, Size, 10);
    FAIL() << "level 10 accepted";
  } catch (const ECompressionError& E) {
    EXPECT_EQ(E.Code(), Z_STREAM_ERROR);
    EXPECT_EQ(E.Message(), "ZLib error -2: stream error");
  }
  EXPECT_EQ(Out, nullptr);
  EXPECT_EQ(Size, FirstCompressSize(1000));

  try {
    BZipCompressBuf(Data.data(), 1000, Out, Size, 0);
    FAIL() << "block size 0 accepted";
  } catch (const EBZCompressionError& E) {
    EXPECT_EQ(E.Code(), BZ_PARAM_ERROR);
    EXPECT_EQ(E.Message(), "error -2");
  }
  EXPECT_EQ(Out, nullptr);

  // A bzip2 stream cut inside its end marker, after its block has been decoded: bzip2 would
  // report BZ_OK without progress for ever.
  BZipCompressBuf(Data.data(), 1000, Out, Size, 1);
  THeapBlock Whole(Out);
  try {
    void* Part = nullptr;
    int32_t PartSize = 0;
    BZipDecompressBuf(Whole.get(), Size - 4, 0, Part, PartSize);
    FAIL() << "truncated stream accepted";
  } catch (const EBZDecompressionError& E) {
    EXPECT_EQ(E.Code(), BZ_UNEXPECTED_EOF);
    EXPECT_EQ(E.Message(), "error -7");
  }

  EXPECT_EQ(ECompressionError(Z_DATA_ERROR).Message(), "ZLib error -3: data error");
  EXPECT_EQ(ECompressionError(Z_VERSION_ERROR).Message(), "ZLib error -6: incompatible version");
  EXPECT_EQ(EBZip2Error(1007).Message(), "Compression Error 1007");
  EXPECT_EQ(EBZDecompressionError(BZ_DATA_ERROR).Message(), "error -4");
}

TEST(UpdateCrc32, KnownValues) {
  EXPECT_EQ(UpdateCrc32(0, "abc", 3), 0xCA6598D0u);
  EXPECT_EQ(~UpdateCrc32(0xFFFFFFFFu, "123456789", 9), 0xCBF43926u);
  EXPECT_EQ(UpdateCrc32(0x12345678, nullptr, 10), 0x12345678u);
  EXPECT_EQ(UpdateCrc32(0x12345678, "abc", 0), 0x12345678u);
  EXPECT_EQ(UpdateCrc32(0x12345678, "abc", -3), 0x12345678u);
}

TEST(UpdateCrc32, AgreesWithZlibForAnySeedLengthAndAlignment) {
  // zlib's crc32 inverts before and after: crc32(c, x) = ~UpdateCrc32(~c, x).
  const TBytes Data = RandomBytes(70000, 1);
  for (uint32_t Seed : {0u, 0xFFFFFFFFu, RowHashSeed, ValueHashSeed})
    for (size_t Offset = 0; Offset < 8; ++Offset)
      for (size_t Len : {size_t(0), size_t(1), size_t(7), size_t(8), size_t(9), size_t(15),
                         size_t(16), size_t(17), size_t(63), size_t(1000), size_t(69990)}) {
        const uint8_t* P = Data.data() + Offset;
        EXPECT_EQ(UpdateCrc32(Seed, P, int64_t(Len)), ~uint32_t(crc32(~Seed, P, uInt(Len))))
            << "seed " << Seed << " offset " << Offset << " length " << Len;
      }
  // Fed in pieces, the register continues where it stopped.
  const uint32_t Whole = UpdateCrc32(RowHashSeed, Data.data(), 1000);
  EXPECT_EQ(UpdateCrc32(UpdateCrc32(RowHashSeed, Data.data(), 333), Data.data() + 333, 667), Whole);
}

TEST(CompressionAlgorithmNames, ByNameAndBack) {
  const std::pair<std::string_view, TTolvanCompressionAlgorithm> Cases[] = {
      {"NONE", 0}, {"zlib", 1},  {"ZLib", 1},  {"bzip", 2}, {"BZIP", 2}, {"ppm", 3},
      {"", 0},     {"bzip2", 0}, {" zlib", 0}, {"PPMD", 0}, {"gzip", 0}};
  for (const auto& [Name, Alg] : Cases)
    EXPECT_EQ(CompressionAlgorithmFromName(Name), Alg) << Name;
  EXPECT_EQ(CompressionAlgorithmName(0), "NONE");
  EXPECT_EQ(CompressionAlgorithmName(1), "ZLIB");
  EXPECT_EQ(CompressionAlgorithmName(2), "BZIP");
  EXPECT_EQ(CompressionAlgorithmName(3), "PPM");
  EXPECT_THROW(CompressionAlgorithmName(4), ERangeError);
}
