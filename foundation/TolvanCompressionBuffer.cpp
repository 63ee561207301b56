#include "foundation/TolvanCompressionBuffer.h"

#include <algorithm>
#include <cstdlib>

#include "classlib/SysUtils.h"

namespace tolvan {

namespace {

// Growths by the caller's fixed step before the buffer starts growing geometrically. Output that
// outgrows its first estimate usually needs one or two steps; many steps mean the estimate was far
// off, and repeating a fixed step would copy the block over and over.
constexpr int FixedGrowths = 4;

// The plausible expansion of compressed input: a known size up to this multiple of the input (or
// up to FirstCapacityFloor) is allocated in one go.
constexpr int64_t FirstCapacityRatio = 64;
constexpr int64_t FirstCapacityFloor = int64_t(1) << 20;

} // namespace

int64_t FirstDecompressCapacity(int32_t InBytes, int32_t Expected) {
  const int64_t Delta = DecompressDelta(InBytes);
  const int64_t Limit = DecompressCapacityLimit(Expected);
  if (Expected <= 0)
    return std::min(Delta, Limit);
  const int64_t Plausible = std::max({Delta, FirstCapacityFloor, FirstCapacityRatio * InBytes});
  return std::min(Limit, Plausible);
}

TCompressionOutput::TCompressionOutput(int64_t Capacity, bool ZeroFill) : FCapacity(Capacity) {
  const auto Bytes = static_cast<size_t>(Capacity);
  FData = static_cast<uint8_t*>(ZeroFill ? std::calloc(Bytes, 1) : std::malloc(Bytes));
  if (FData == nullptr)
    throw EOutOfMemory(std::string(SysConst::SOutOfMemory));
}

TCompressionOutput::~TCompressionOutput() { std::free(FData); }

bool TCompressionOutput::Grow(int64_t Step, int64_t Limit) {
  if (FCapacity >= Limit)
    return false;
  const int64_t By = FGrowths < FixedGrowths ? Step : std::max(Step, FCapacity / 2);
  const int64_t NewCapacity = std::min(FCapacity + By, Limit);
  auto* NewData = static_cast<uint8_t*>(std::realloc(FData, static_cast<size_t>(NewCapacity)));
  if (NewData == nullptr)
    throw EOutOfMemory(std::string(SysConst::SOutOfMemory));
  FData = NewData;
  FCapacity = NewCapacity;
  ++FGrowths;
  return true;
}

void* TCompressionOutput::Release(int64_t Used) noexcept {
  uint8_t* Result = FData;
  FData = nullptr;
  if (Used <= 0) {
    std::free(Result);
    return nullptr;
  }
  if (Used < FCapacity) {
    // A refused shrink leaves the larger block valid; keep it.
    if (void* Cut = std::realloc(Result, static_cast<size_t>(Used)))
      return Cut;
  }
  return Result;
}

} // namespace tolvan
