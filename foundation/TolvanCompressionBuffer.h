// TolvanCompressionBuffer.h: the output block that the zlib and bzip2 bindings and the PPM
// decoder fill and grow.
//
// Compression output lives on the run-time heap (malloc, realloc, free), not in the engine memory
// manager: whoever receives a block frees it with std::free. A TCompressionOutput owns its block
// until Release hands it over; on every other path its destructor frees it, so a binding that
// fails leaves nothing allocated behind.
//
// Sizes are 64-bit here so that arithmetic near the 2^31 - 1 limit of the public 32-bit sizes
// cannot wrap; the bindings check the limit themselves.
//
// Threads: an object belongs to the one call that made it.
#pragma once

#include <cstdint>

namespace tolvan {

// The largest buffer a compression call accepts or produces: its size must fit a signed 32-bit
// count.
inline constexpr int64_t MaxCompressionBufferSize = INT32_MAX;

// A capacity as the 32-bit size a failed call reports ("the size the output had reached").
inline int32_t ReportedCapacity(int64_t Capacity) {
  return static_cast<int32_t>(Capacity < MaxCompressionBufferSize ? Capacity
                                                                  : MaxCompressionBufferSize);
}

// N rounded up to a multiple of 256, the grain in which the bindings size their buffers.
inline int64_t RoundUpTo256(int64_t N) { return (N + 255) & ~int64_t(255); }

// The growth step of a decompression: its input size rounded up to 256 bytes.
inline int64_t DecompressDelta(int32_t InBytes) { return RoundUpTo256(InBytes > 0 ? InBytes : 1); }

// The capacity a decompression's output may reach: the expected size when the caller knows it
// (Expected > 0), else the 32-bit maximum, plus one byte. Output that reaches into that last byte
// is longer than allowed; it shows without any allocation beyond the limit.
inline int64_t DecompressCapacityLimit(int32_t Expected) {
  return (Expected > 0 ? int64_t(Expected) : MaxCompressionBufferSize) + 1;
}

// The first output size of a decompression. Without an expected size it is the growth step. An
// expected size is taken as given (up to the capacity limit), but never beyond a generous multiple
// of the input: it may come from a damaged header and must not by itself allocate more than the
// input can plausibly expand to. The buffer grows from there when the data really is that
// compressible.
int64_t FirstDecompressCapacity(int32_t InBytes, int32_t Expected);

class TCompressionOutput {
public:
  // Allocates Capacity (> 0) bytes, zero-filled when ZeroFill; raises EOutOfMemory when the heap
  // refuses.
  TCompressionOutput(int64_t Capacity, bool ZeroFill);
  ~TCompressionOutput();
  TCompressionOutput(const TCompressionOutput&) = delete;
  TCompressionOutput& operator=(const TCompressionOutput&) = delete;

  uint8_t* Data() const { return FData; }
  int64_t Capacity() const { return FCapacity; }

  // Enlarges the block, keeping its contents, by Step for the first few growths and by half its
  // capacity after that (so that a long run of growths costs linear time), never beyond Limit.
  // Returns false when the capacity already is Limit; raises EOutOfMemory when the heap refuses.
  bool Grow(int64_t Step, int64_t Limit);

  // Hands the block over, cut to its first Used bytes. With Used 0 the block is freed and the
  // result is nullptr.
  void* Release(int64_t Used) noexcept;

private:
  uint8_t* FData;
  int64_t FCapacity;
  int FGrowths = 0;
};

} // namespace tolvan
