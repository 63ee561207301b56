#include "foundation/TolvanZlib.h"

#define ZLIB_CONST
#include <zlib.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <string_view>

#include "foundation/TolvanCompressionBuffer.h"

namespace tolvan {

namespace {

// zlib's working memory: run-time heap, zero-filled. These are called from inside zlib, so they
// must not throw; they only use the C heap, which reports failure by nullptr.
voidpf ZlibAlloc(voidpf, uInt Items, uInt Size) noexcept { return std::calloc(Items, Size); }
void ZlibFree(voidpf, voidpf Address) noexcept { std::free(Address); }

std::string_view ZlibErrorText(int Code) {
  switch (Code) {
  case Z_ERRNO:
    return "file error";
  case Z_STREAM_ERROR:
    return "stream error";
  case Z_DATA_ERROR:
    return "data error";
  case Z_MEM_ERROR:
    return "insufficient memory";
  case Z_BUF_ERROR:
    return "buffer error";
  case Z_VERSION_ERROR:
    return "incompatible version";
  default:
    return "";
  }
}

// A z_stream that is ended when its scope is left, also by an exception.
class TZlibStream {
public:
  explicit TZlibStream(bool Deflating) : FDeflating(Deflating) {
    FStream.zalloc = ZlibAlloc;
    FStream.zfree = ZlibFree;
    FStream.opaque = Z_NULL;
  }
  ~TZlibStream() { End(); }
  TZlibStream(const TZlibStream&) = delete;
  TZlibStream& operator=(const TZlibStream&) = delete;

  z_stream* operator->() { return &FStream; }
  z_stream* Get() { return &FStream; }
  void SetStarted() { FStarted = true; }

  int End() {
    if (!FStarted)
      return Z_OK;
    FStarted = false;
    return FDeflating ? deflateEnd(&FStream) : inflateEnd(&FStream);
  }

private:
  z_stream FStream{};
  bool FDeflating;
  bool FStarted = false;
};

// Points the stream's output at the free part of Out, behind the Used bytes already written.
void AimOutput(TZlibStream& Z, const TCompressionOutput& Out, int64_t Used) {
  Z->next_out = Out.Data() + Used;
  Z->avail_out = static_cast<uInt>(Out.Capacity() - Used);
}

int64_t Produced(TZlibStream& Z, const TCompressionOutput& Out) { return Z->next_out - Out.Data(); }

} // namespace

ECompressionError::ECompressionError(int Code)
    : EZlibError("ZLib error " + IntToStr(int32_t(Code)) + ": " + std::string(ZlibErrorText(Code))),
      FCode(Code) {}

void ZlibCompressBuf(const void* InBuf, int32_t InBytes, void*& OutBuf, int32_t& OutBytes,
                     int Level) {
  OutBuf = nullptr;
  OutBytes = 0;
  if (InBytes < 0 || (InBuf == nullptr && InBytes > 0))
    throw ECompressionError(Z_STREAM_ERROR);

  const int64_t First = RoundUpTo256(int64_t(InBytes) + InBytes / 10 + 12);
  TCompressionOutput Out(std::min(First, MaxCompressionBufferSize), true);
  OutBytes = ReportedCapacity(Out.Capacity());

  TZlibStream Z(true);
  int Result = deflateInit2(Z.Get(), Level, Z_DEFLATED, 15, 8, Z_DEFAULT_STRATEGY);
  if (Result < 0)
    throw ECompressionError(Result);
  Z.SetStarted();
  Z->next_in = static_cast<const Bytef*>(InBuf);
  Z->avail_in = static_cast<uInt>(InBytes);
  AimOutput(Z, Out, 0);

  for (;;) {
    const uInt InBefore = Z->avail_in;
    const uInt OutBefore = Z->avail_out;
    Result = deflate(Z.Get(), Z_FINISH);
    if (Result == Z_STREAM_END)
      break;
    if (Result < 0)
      throw ECompressionError(Result);
    if (Z->avail_out == 0) {
      const int64_t Used = Produced(Z, Out);
      if (!Out.Grow(256, MaxCompressionBufferSize))
        throw ECompressionError(Z_BUF_ERROR);
      OutBytes = ReportedCapacity(Out.Capacity());
      AimOutput(Z, Out, Used);
    } else if (Z->avail_in == InBefore && Z->avail_out == OutBefore) {
      throw ECompressionError(Z_BUF_ERROR); // no progress with room to spare: never ends
    }
  }

  const int64_t Used = Produced(Z, Out);
  Result = Z.End();
  if (Result < 0)
    throw ECompressionError(Result);
  OutBuf = Out.Release(Used);
  OutBytes = static_cast<int32_t>(Used);
}

void ZlibDecompressBuf(const void* InBuf, int32_t InBytes, int32_t OutEstimate, void*& OutBuf,
                       int32_t& OutBytes) {
  OutBuf = nullptr;
  OutBytes = 0;
  if (InBytes <= 0 || InBuf == nullptr || OutEstimate < 0)
    return;

  const int64_t Delta = DecompressDelta(InBytes);
  const int64_t Limit = DecompressCapacityLimit(OutEstimate);
  TCompressionOutput Out(FirstDecompressCapacity(InBytes, OutEstimate), false);
  OutBytes = ReportedCapacity(Out.Capacity());

  // Rejected data: the stream is ended and the block freed on the way out.
  auto Reject = [&OutBytes] { OutBytes = 0; };

  TZlibStream Z(false);
  Z->next_in = static_cast<const Bytef*>(InBuf);
  Z->avail_in = static_cast<uInt>(InBytes);
  if (inflateInit(Z.Get()) < 0)
    return Reject();
  Z.SetStarted();
  AimOutput(Z, Out, 0);

  for (;;) {
    const uInt InBefore = Z->avail_in;
    const uInt OutBefore = Z->avail_out;
    const int Result = inflate(Z.Get(), Z_NO_FLUSH);
    if (Result == Z_STREAM_END)
      break;
    // There is no preset dictionary to give, so a stream that wants one cannot be read.
    if (Result < 0 || Result == Z_NEED_DICT)
      return Reject();
    if (Z->avail_out > 0) {
      // inflate stops with room to spare only when it needs input: with all input given, the
      // stream was cut short.
      if (Z->avail_in == 0 || (Z->avail_in == InBefore && Z->avail_out == OutBefore))
        return Reject();
      continue;
    }
    const int64_t Used = Produced(Z, Out);
    if (!Out.Grow(Delta, Limit))
      return Reject(); // longer than expected, or than any buffer can be
    OutBytes = ReportedCapacity(Out.Capacity());
    AimOutput(Z, Out, Used);
  }

  const int64_t Used = Produced(Z, Out);
  Z.End();
  if (Used >= Limit)
    return Reject(); // the byte past the limit was written
  OutBuf = Out.Release(Used);
  OutBytes = static_cast<int32_t>(Used);
}

} // namespace tolvan
