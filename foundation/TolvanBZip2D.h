// TolvanBZip2D.h: the engine's binding to bzip2 (libbz2), compression algorithm 2.
//
// Data is in the bzip2 stream format, so any bzip2 reads what the engine writes and the
// reverse. bzip2's working memory and the output blocks come from the run-time heap; a block
// handed out belongs to the caller, who frees it with std::free.
//
// Failures raise EBZCompressionError or EBZDecompressionError with bzip2's negative code (also
// for the conditions bzip2 itself has codes for: input that ends before the stream does,
// BZ_UNEXPECTED_EOF, and output longer than allowed, BZ_OUTBUFF_FULL), or EOutOfMemory when the
// heap refuses. Nothing stays allocated, OutBuf is nullptr, and OutBytes holds the size the
// output block had reached. CompressBuffer and DecompressBuffer (TolvanCompression.h) are the
// engine's way in; they turn every failure into a false result.
//
// bzip2's internal-error hook: the shared libbz2 handles its own consistency failures and never
// calls back into the engine, so EBZip2Error itself is not raised here; nothing may be thrown
// through the library in any case.
//
// Threads: the calls share no state; any number may run at once.
#pragma once

#include <cstdint>

#include "classlib/SysUtils.h"

namespace tolvan {

// bzip2 reported an internal error. Message: "Compression Error <number>".
class EBZip2Error : public Exception {
public:
  using Exception::Exception;
  explicit EBZip2Error(int Code);
};

// A bzip2 compression call returned a negative code. Message: "error <code>".
class EBZCompressionError : public EBZip2Error {
public:
  explicit EBZCompressionError(int Code);
  int Code() const noexcept { return FCode; }

private:
  int FCode;
};

// A bzip2 decompression call returned a negative code. Message: "error <code>".
class EBZDecompressionError : public EBZip2Error {
public:
  explicit EBZDecompressionError(int Code);
  int Code() const noexcept { return FCode; }

private:
  int FCode;
};

// Compresses InBytes (> 0) bytes with blocks of BlockSize100k x 100 000 bytes (1-9; bzip2
// refuses anything else). On success OutBuf holds OutBytes bytes of bzip2 data.
void BZipCompressBuf(const void* InBuf, int32_t InBytes, void*& OutBuf, int32_t& OutBytes,
                     int BlockSize100k);

// Decompresses one bzip2 stream of InBytes bytes. OutEstimate is the expected output size, 0 when
// not known; a known size also bounds the output, and data that decodes longer is rejected. On
// success OutBuf holds the OutBytes bytes produced. Input that ends before producing any output
// gives OutBuf nullptr and OutBytes 0 without raising.
void BZipDecompressBuf(const void* InBuf, int32_t InBytes, int32_t OutEstimate, void*& OutBuf,
                       int32_t& OutBytes);

} // namespace tolvan
