// TolvanCompression.h: buffer compression and the engine's CRC-32.
//
// CompressBuffer and DecompressBuffer turn one memory buffer into another with one of four
// algorithms (TTolvanCompressionAlgorithm) and a mode from 0 to 9:
//   0 NONE  nothing; both operations refuse
//   1 ZLIB  mode = zlib level 0-9 (TolvanZlib.h)
//   2 BZIP  mode = bzip2 block size in units of 100 000 bytes, 1-9 (TolvanBZip2D.h)
//   3 PPM   mode = 1-9, an index into the PPM coder's model order and memory
// Modes outside these ranges are not checked up front: the algorithm refuses them and the
// operation returns false.
//
// Both operations report by their result and never raise. Their output block comes from the
// run-time heap, not the engine memory manager: the caller owns it and frees it with std::free.
// A failed call leaves no block behind (OutBuf is nullptr), so there is nothing to free.
//
// UpdateCrc32 is the one CRC-32 of the engine: reflected, polynomial 0xEDB88320, with no initial
// or final inversion, so that it chains and serves as a seeded hash. The common CRC-32 of a
// buffer is ~UpdateCrc32(0xFFFFFFFF, ...).
//
// Threads: every function here may run in several threads at once; the PPM coder keeps its model
// per call.
#pragma once

#include <cstdint>
#include <string_view>

namespace tolvan {

using TTolvanCompressionAlgorithm = uint8_t;

inline constexpr TTolvanCompressionAlgorithm caNone = 0;
inline constexpr TTolvanCompressionAlgorithm caZlib = 1;
inline constexpr TTolvanCompressionAlgorithm caBZip = 2;
inline constexpr TTolvanCompressionAlgorithm caPPM = 3;

// Compresses InSize bytes. True when OutBuf holds OutSize > 0 bytes of compressed data.
//  - Algorithm 0, InSize <= 0 or no InBuf: false at once, OutSize 0, OutBuf untouched.
//  - Any failure: false with OutBuf nullptr; OutSize is the size the output block had reached
//    when the failure was raised inside, or 0 when the algorithm (or the PPM coder's result)
//    simply reported failure. Callers print this size in their error messages.
bool CompressBuffer(TTolvanCompressionAlgorithm Algorithm, uint8_t Mode, const void* InBuf,
                    int32_t InSize, void*& OutBuf, int32_t& OutSize) noexcept;

// Decompresses InSize bytes. On entry OutSize is the expected uncompressed size, or 0 when not
// known (the PPM coder needs it). True when OutBuf holds OutSize > 0 bytes and, where a size was
// expected, exactly that many; data that decodes to more than expected is refused without
// producing it.
//  - Algorithm 0, InSize <= 0 or no InBuf: false at once, OutBuf and OutSize untouched.
//  - Any failure: false with OutBuf nullptr; OutSize is 0, the size the output block had reached
//    when the failure was raised inside (bzip2 errors, memory), or the number of bytes decoded
//    when that differs from the expected size.
bool DecompressBuffer(TTolvanCompressionAlgorithm Algorithm, const void* InBuf, int32_t InSize,
                      void*& OutBuf, int32_t& OutSize) noexcept;

// The CRC-32 register after feeding Length bytes of Buffer into Crc; Crc itself when Buffer is
// nullptr or Length <= 0. UpdateCrc32(0, "abc", 3) = 0xCA6598D0.
uint32_t UpdateCrc32(uint32_t Crc, const void* Buffer, int64_t Length) noexcept;

// The algorithm whose name ("NONE", "ZLIB", "BZIP", "PPM") equals Name upper-cased; 0 (NONE) for
// any other text.
TTolvanCompressionAlgorithm CompressionAlgorithmFromName(std::string_view Name);

// The name of an algorithm; a value above 3 raises ERangeError.
std::string_view CompressionAlgorithmName(TTolvanCompressionAlgorithm Algorithm);

} // namespace tolvan
