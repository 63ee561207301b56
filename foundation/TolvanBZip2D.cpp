#include "foundation/TolvanBZip2D.h"

#include <bzlib.h>

#include <algorithm>
#include <cstdlib>
#include <string>

#include "foundation/TolvanCompressionBuffer.h"

namespace tolvan {

namespace {

// bzip2's working memory: run-time heap. Called from inside bzip2, so it must not throw; the C
// heap reports failure by nullptr. Not zero-filled: bzip2 sizes its arrays by the block size
// whatever the input, and clearing megabytes for a small input would cost more than compressing it.
void* BZipAlloc(void*, int Items, int Size) noexcept {
  if (Items < 0 || Size < 0)
    return nullptr;
  return std::malloc(static_cast<size_t>(Items) * static_cast<size_t>(Size));
}
void BZipFree(void*, void* Address) noexcept { std::free(Address); }

// A bz_stream that is ended when its scope is left, also by an exception.
class TBZipStream {
public:
  explicit TBZipStream(bool Compressing) : FCompressing(Compressing) {
    FStream.bzalloc = BZipAlloc;
    FStream.bzfree = BZipFree;
    FStream.opaque = nullptr;
  }
  ~TBZipStream() { End(); }
  TBZipStream(const TBZipStream&) = delete;
  TBZipStream& operator=(const TBZipStream&) = delete;

  bz_stream* operator->() { return &FStream; }
  bz_stream* Get() { return &FStream; }
  void SetStarted() { FStarted = true; }

  int End() {
    if (!FStarted)
      return BZ_OK;
    FStarted = false;
    return FCompressing ? BZ2_bzCompressEnd(&FStream) : BZ2_bzDecompressEnd(&FStream);
  }

private:
  bz_stream FStream{};
  bool FCompressing;
  bool FStarted = false;
};

void AimOutput(TBZipStream& B, const TCompressionOutput& Out, int64_t Used) {
  B->next_out = reinterpret_cast<char*>(Out.Data() + Used);
  B->avail_out = static_cast<unsigned>(Out.Capacity() - Used);
}

int64_t Produced(TBZipStream& B, const TCompressionOutput& Out) {
  return reinterpret_cast<uint8_t*>(B->next_out) - Out.Data();
}

void SetInput(TBZipStream& B, const void* InBuf, int32_t InBytes) {
  // bzip2 never writes through next_in; its declaration merely lacks the const.
  B->next_in = const_cast<char*>(static_cast<const char*>(InBuf));
  B->avail_in = static_cast<unsigned>(InBytes);
}

} // namespace

EBZip2Error::EBZip2Error(int Code) : Exception("Compression Error " + IntToStr(int32_t(Code))) {}

EBZCompressionError::EBZCompressionError(int Code)
    : EBZip2Error(std::string("error ") + IntToStr(int32_t(Code))), FCode(Code) {}

EBZDecompressionError::EBZDecompressionError(int Code)
    : EBZip2Error(std::string("error ") + IntToStr(int32_t(Code))), FCode(Code) {}

void BZipCompressBuf(const void* InBuf, int32_t InBytes, void*& OutBuf, int32_t& OutBytes,
                     int BlockSize100k) {
  OutBuf = nullptr;
  OutBytes = 0;
  if (InBytes < 0 || (InBuf == nullptr && InBytes > 0))
    throw EBZCompressionError(BZ_PARAM_ERROR);

  const int64_t First = RoundUpTo256(int64_t(InBytes) + InBytes / 10 + 12);
  TCompressionOutput Out(std::min(First, MaxCompressionBufferSize), false);
  OutBytes = ReportedCapacity(Out.Capacity());

  TBZipStream B(true);
  int Result = BZ2_bzCompressInit(B.Get(), BlockSize100k, 0, 0);
  if (Result < 0)
    throw EBZCompressionError(Result);
  B.SetStarted();
  SetInput(B, InBuf, InBytes);
  AimOutput(B, Out, 0);

  for (;;) {
    const unsigned InBefore = B->avail_in;
    const unsigned OutBefore = B->avail_out;
    Result = BZ2_bzCompress(B.Get(), BZ_FINISH);
    if (Result == BZ_STREAM_END)
      break;
    if (Result < 0)
      throw EBZCompressionError(Result);
    if (B->avail_out == 0) {
      const int64_t Used = Produced(B, Out);
      if (!Out.Grow(256, MaxCompressionBufferSize))
        throw EBZCompressionError(BZ_OUTBUFF_FULL);
      OutBytes = ReportedCapacity(Out.Capacity());
      AimOutput(B, Out, Used);
    } else if (B->avail_in == InBefore && B->avail_out == OutBefore) {
      throw EBZCompressionError(BZ_SEQUENCE_ERROR); // no progress with room to spare
    }
  }

  const int64_t Used = Produced(B, Out);
  Result = B.End();
  if (Result < 0)
    throw EBZCompressionError(Result);
  OutBuf = Out.Release(Used);
  OutBytes = static_cast<int32_t>(Used);
}

void BZipDecompressBuf(const void* InBuf, int32_t InBytes, int32_t OutEstimate, void*& OutBuf,
                       int32_t& OutBytes) {
  OutBuf = nullptr;
  OutBytes = 0;
  if (InBytes <= 0 || InBuf == nullptr || OutEstimate < 0)
    return;

  const int64_t Delta = DecompressDelta(InBytes);
  const int64_t Limit = DecompressCapacityLimit(OutEstimate);
  TCompressionOutput Out(FirstDecompressCapacity(InBytes, OutEstimate), false);
  OutBytes = ReportedCapacity(Out.Capacity());

  TBZipStream B(false);
  int Result = BZ2_bzDecompressInit(B.Get(), 0, 0);
  if (Result < 0)
    throw EBZDecompressionError(Result);
  B.SetStarted();
  SetInput(B, InBuf, InBytes);
  AimOutput(B, Out, 0);

  for (;;) {
    const unsigned InBefore = B->avail_in;
    const unsigned OutBefore = B->avail_out;
    Result = BZ2_bzDecompress(B.Get());
    if (Result == BZ_STREAM_END)
      break;
    if (Result < 0)
      throw EBZDecompressionError(Result);
    if (B->avail_out > 0) {
      // bzip2 stops with room to spare only when it needs input. With all input given, the
      // stream was cut short; bzip2 would report BZ_OK for ever without progress.
      if (B->avail_in == 0 || (B->avail_in == InBefore && B->avail_out == OutBefore)) {
        if (Produced(B, Out) == 0)
          break; // nothing decoded at all: an empty result, not an error
        throw EBZDecompressionError(BZ_UNEXPECTED_EOF);
      }
      continue;
    }
    const int64_t Used = Produced(B, Out);
    if (!Out.Grow(Delta, Limit))
      throw EBZDecompressionError(BZ_OUTBUFF_FULL);
    OutBytes = ReportedCapacity(Out.Capacity());
    AimOutput(B, Out, Used);
  }

  const int64_t Used = Produced(B, Out);
  Result = B.End();
  if (Result < 0)
    throw EBZDecompressionError(Result);
  if (Used >= Limit)
    throw EBZDecompressionError(BZ_OUTBUFF_FULL);
  OutBuf = Out.Release(Used);
  OutBytes = static_cast<int32_t>(Used);
}

} // namespace tolvan
