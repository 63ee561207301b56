#include "foundation/TolvanCompression.h"

#include <algorithm>
#include <cstdlib>
#include <iterator>
#include <string>

#include "classlib/Strings.h"
#include "classlib/SysUtils.h"
#include "foundation/TolvanBZip2D.h"
#include "foundation/TolvanCompressionBuffer.h"
#include "foundation/TolvanPPM.h"
#include "foundation/TolvanZlib.h"

namespace tolvan {

namespace {

constexpr std::string_view AlgorithmNames[] = {"NONE", "ZLIB", "BZIP", "PPM"};

// The PPM coder's model order and memory in MiB by mode; mode 0 has no entry.
constexpr int PPMMinMode = 1;
constexpr int PPMMaxMode = 9;
constexpr int PPMModelOrder[PPMMaxMode + 1] = {0, 2, 3, 4, 5, 7, 8, 10, 13, 16};
constexpr int PPMModelMemoryMiB[PPMMaxMode + 1] = {0, 2, 3, 7, 16, 30, 30, 45, 100, 100};

// ---- The PPM coder's entry points ------------------------------------------------------------
// Algorithm 3 reaches the coder through these two functions and nowhere else. Each returns the
// number of bytes it wrote (never more than its capacity or limit), or 0 when the coder fails.
int32_t PPMEncode(const void* InBuf, int32_t InSize, void* OutBuf, int32_t OutCapacity,
                  int MaxOrder, int MemoryMiB) {
  return PPMEncodeBuffer(InBuf, InSize, OutBuf, MaxOrder, MemoryMiB, OutCapacity);
}

int32_t PPMDecode(const void* InBuf, int32_t InSize, TCompressionOutput& Out, int64_t Step,
                  int64_t Limit) {
  return PPMDecodeBuffer(InBuf, InSize, Out, Step, Limit);
}
// ----------------------------------------------------------------------------------------------

[[noreturn]] void RaiseRangeError() { throw ERangeError(std::string(SysConst::SRangeError)); }

// The coder writes into a block sized for input that does not compress; coding that would run
// longer fails. OutSize follows the block's size until the coder has answered.
void PPMCompress(uint8_t Mode, const void* InBuf, int32_t InSize, void*& OutBuf, int32_t& OutSize) {
  const int64_t Capacity = int64_t(InSize) + InSize / 20 + 50;
  OutSize = ReportedCapacity(Capacity);
  if (Capacity > MaxCompressionBufferSize)
    RaiseRangeError();
  TCompressionOutput Out(Capacity, true);
  if (Mode < PPMMinMode || Mode > PPMMaxMode)
    RaiseRangeError();
  const int32_t Written =
      PPMEncode(InBuf, InSize, Out.Data(), OutSize, PPMModelOrder[Mode], PPMModelMemoryMiB[Mode]);
  if (Written <= 0 || Written > Capacity) {
    OutSize = 0;
    return;
  }
  OutBuf = Out.Release(Written);
  OutSize = Written;
}

// The decoder needs the exact expected size (in OutSize): its data may not run past it. That
// size may come from a damaged header, so the block starts at what the input can plausibly fill
// and grows up to the expected size as the data decodes. OutSize follows the block's size until
// the coder has answered.
void PPMDecompress(const void* InBuf, int32_t InSize, void*& OutBuf, int32_t& OutSize) {
  const int32_t Expected = OutSize;
  if (Expected <= 0) {
    OutSize = 0;
    return;
  }
  TCompressionOutput Out(std::min<int64_t>(FirstDecompressCapacity(InSize, Expected), Expected),
                         true);
  int32_t Decoded;
  try {
    Decoded = PPMDecode(InBuf, InSize, Out, DecompressDelta(InSize), Expected);
  } catch (...) {
    OutSize = ReportedCapacity(Out.Capacity());
    throw;
  }
  if (Decoded <= 0 || Decoded > Expected) {
    OutSize = 0;
    return;
  }
  OutBuf = Out.Release(Decoded);
  OutSize = Decoded;
}

// The 256-entry table of the reflected polynomial, and seven more derived from it so that eight
// bytes are folded in per step. Row k maps a byte to its effect on the register k bytes later.
struct TCrcTables {
  uint32_t T[8][256];
};

constexpr TCrcTables MakeCrcTables() {
  TCrcTables R{};
  for (uint32_t I = 0; I < 256; ++I) {
    uint32_t C = I;
    for (int K = 0; K < 8; ++K)
      C = (C & 1) ? (C >> 1) ^ 0xEDB88320u : C >> 1;
    R.T[0][I] = C;
  }
  for (int I = 0; I < 256; ++I)
    for (int K = 1; K < 8; ++K)
      R.T[K][I] = (R.T[K - 1][I] >> 8) ^ R.T[0][R.T[K - 1][I] & 0xFF];
  return R;
}

constexpr TCrcTables CrcTables = MakeCrcTables();

inline uint32_t LoadLE32(const uint8_t* P) {
  return uint32_t(P[0]) | uint32_t(P[1]) << 8 | uint32_t(P[2]) << 16 | uint32_t(P[3]) << 24;
}

} // namespace

bool CompressBuffer(TTolvanCompressionAlgorithm Algorithm, uint8_t Mode, const void* InBuf,
                    int32_t InSize, void*& OutBuf, int32_t& OutSize) noexcept {
  if (Algorithm == caNone || InSize <= 0 || InBuf == nullptr) {
    OutSize = 0;
    return false;
  }
  OutBuf = nullptr;
  OutSize = 0;
  try {
    switch (Algorithm) {
    case caZlib:
      ZlibCompressBuf(InBuf, InSize, OutBuf, OutSize, Mode);
      break;
    case caBZip:
      BZipCompressBuf(InBuf, InSize, OutBuf, OutSize, Mode);
      break;
    case caPPM:
      PPMCompress(Mode, InBuf, InSize, OutBuf, OutSize);
      break;
    default:
      return false;
    }
  } catch (...) {
    // The bindings free their block before a failure leaves them; OutSize keeps the size the
    // block had reached.
    OutBuf = nullptr;
    return false;
  }
  return OutBuf != nullptr && OutSize > 0;
}

bool DecompressBuffer(TTolvanCompressionAlgorithm Algorithm, const void* InBuf, int32_t InSize,
                      void*& OutBuf, int32_t& OutSize) noexcept {
  if (Algorithm == caNone || InSize <= 0 || InBuf == nullptr)
    return false;
  const int32_t Expected = OutSize;
  OutBuf = nullptr;
  if (Expected < 0) {
    OutSize = 0;
    return false;
  }
  try {
    switch (Algorithm) {
    case caZlib:
      ZlibDecompressBuf(InBuf, InSize, Expected, OutBuf, OutSize);
      break;
    case caBZip:
      BZipDecompressBuf(InBuf, InSize, Expected, OutBuf, OutSize);
      break;
    case caPPM:
      PPMDecompress(InBuf, InSize, OutBuf, OutSize);
      break;
    default:
      OutSize = 0;
      return false;
    }
  } catch (...) {
    OutBuf = nullptr;
    return false;
  }
  // A known size that the data does not fill means the data is not what was stored; OutSize
  // keeps the number of bytes it did decode to.
  if (OutBuf != nullptr && Expected > 0 && OutSize != Expected) {
    std::free(OutBuf);
    OutBuf = nullptr;
  }
  return OutBuf != nullptr && OutSize > 0;
}

uint32_t UpdateCrc32(uint32_t Crc, const void* Buffer, int64_t Length) noexcept {
  if (Buffer == nullptr || Length <= 0)
    return Crc;
  const auto& T = CrcTables.T;
  auto* P = static_cast<const uint8_t*>(Buffer);
  for (; Length >= 8; P += 8, Length -= 8) {
    const uint32_t One = LoadLE32(P) ^ Crc;
    const uint32_t Two = LoadLE32(P + 4);
    Crc = T[7][One & 0xFF] ^ T[6][(One >> 8) & 0xFF] ^ T[5][(One >> 16) & 0xFF] ^ T[4][One >> 24] ^
          T[3][Two & 0xFF] ^ T[2][(Two >> 8) & 0xFF] ^ T[1][(Two >> 16) & 0xFF] ^ T[0][Two >> 24];
  }
  for (; Length > 0; ++P, --Length)
    Crc = (Crc >> 8) ^ T[0][(Crc ^ *P) & 0xFF];
  return Crc;
}

TTolvanCompressionAlgorithm CompressionAlgorithmFromName(std::string_view Name) {
  const AnsiString Upper = AnsiUpperCase(Name);
  for (size_t I = 0; I < std::size(AlgorithmNames); ++I)
    if (Upper == AlgorithmNames[I])
      return static_cast<TTolvanCompressionAlgorithm>(I);
  return caNone;
}

std::string_view CompressionAlgorithmName(TTolvanCompressionAlgorithm Algorithm) {
  if (Algorithm >= std::size(AlgorithmNames))
    RaiseRangeError();
  return AlgorithmNames[Algorithm];
}

} // namespace tolvan
