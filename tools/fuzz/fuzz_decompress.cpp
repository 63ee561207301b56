// DecompressBuffer on arbitrary bytes. Input: byte 0 the algorithm (mod 4), bytes 1-4 the expected
// size (bounded so a run stays quick), then the compressed data.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "foundation/TolvanCompression.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  if (Size < 5)
    return 0;
  const auto Algorithm = static_cast<tolvan::TTolvanCompressionAlgorithm>(Data[0] % 4);
  uint32_t Expected;
  std::memcpy(&Expected, Data + 1, 4);
  Expected %= 1u << 20;
  void* Out = nullptr;
  int32_t OutSize = static_cast<int32_t>(Expected);
  const bool Ok = tolvan::DecompressBuffer(Algorithm, Data + 5, static_cast<int32_t>(Size - 5), Out,
                                           OutSize);
  if (Ok) {
    if (Out == nullptr || OutSize <= 0 || (Expected > 0 && uint32_t(OutSize) != Expected))
      std::abort();
    volatile uint8_t Sink = static_cast<uint8_t*>(Out)[OutSize - 1];
    (void)Sink;
    std::free(Out);
  } else if (Out != nullptr) {
    std::abort();
  }
  return 0;
}
