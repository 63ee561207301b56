// TolvanZlib.h: the engine's binding to zlib, compression algorithm 1.
//
// Data is in the zlib format (deflate with a 15-bit window, memory level 8, the default
// strategy), so any zlib reads what the engine writes and the reverse. zlib's working memory and
// the output blocks come from the run-time heap; a block handed out belongs to the caller, who
// frees it with std::free.
//
// Failures: ZlibCompressBuf raises ECompressionError for a negative zlib code and EOutOfMemory
// when the heap refuses; ZlibDecompressBuf reports bad, truncated or over-long data by an empty
// result instead. Either way nothing stays allocated, OutBuf is nullptr, and OutBytes holds the
// size the output block had reached (0 for rejected data). CompressBuffer and DecompressBuffer
// (TolvanCompression.h) are the engine's way in; they turn every failure into a false result.
//
// Threads: the calls share no state; any number may run at once.
#pragma once

#include <cstdint>

#include "classlib/SysUtils.h"

namespace tolvan {

class EZlibError : public Exception {
public:
  using Exception::Exception;
};

// A zlib call returned a negative code. Message: "ZLib error <code>: <zlib's text for it>".
class ECompressionError : public EZlibError {
public:
  explicit ECompressionError(int Code);
  int Code() const noexcept { return FCode; }

private:
  int FCode;
};

// Compresses InBytes (> 0) bytes at Level (0-9; zlib refuses anything else). On success OutBuf
// holds OutBytes bytes of zlib data.
void ZlibCompressBuf(const void* InBuf, int32_t InBytes, void*& OutBuf, int32_t& OutBytes,
                     int Level);

// Decompresses one zlib stream of InBytes bytes. OutEstimate is the expected output size, 0 when
// not known; a known size also bounds the output, and data that decodes longer is rejected. On
// success OutBuf holds the OutBytes bytes produced; data that is damaged, truncated, asks for a
// preset dictionary or decodes to nothing gives OutBuf nullptr and OutBytes 0.
void ZlibDecompressBuf(const void* InBuf, int32_t InBytes, int32_t OutEstimate, void*& OutBuf,
                       int32_t& OutBytes);

} // namespace tolvan
