// The PPM coder directly, with small models so that restarts come quickly. Input: byte 0 picks
// the order (2-16) and bit 7 of it the direction. Decoding: the rest is a coded stream behind an
// info word for 1 MiB. Round trip: the rest is coded at 1 MiB and must decode to itself.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "foundation/TolvanPPM.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  if (Size < 1)
    return 0;
  const int Order = 2 + (Data[0] & 0x7F) % 15;
  const bool RoundTrip = (Data[0] & 0x80) != 0;
  const uint8_t* In = Data + 1;
  const int32_t InSize = static_cast<int32_t>(Size - 1);
  if (!RoundTrip) {
    std::vector<uint8_t> Coded(4 + Size);
    const uint32_t Info = uint32_t(Order - 1) | (6u << 12);
    std::memcpy(Coded.data(), &Info, 4);
    if (InSize > 0)
      std::memcpy(Coded.data() + 4, In, InSize);
    std::vector<uint8_t> Out(1 << 16);
    int32_t N = tolvan::PPMDecodeBuffer(Coded.data(), 4 + InSize, Out.data(), int32_t(Out.size()));
    if (N < 0 || N > int32_t(Out.size()))
      std::abort();
    return 0;
  }
  std::vector<uint8_t> Coded(tolvan::PPMEncodeCapacity(InSize));
  const int32_t N =
      tolvan::PPMEncodeBuffer(In, InSize, Coded.data(), Order, 1, int32_t(Coded.size()));
  if (N == 0)
    return 0; // did not fit
  std::vector<uint8_t> Back(InSize + 1);
  const int32_t M = tolvan::PPMDecodeBuffer(Coded.data(), N, Back.data(), InSize);
  if (M != InSize || std::memcmp(Back.data(), In, InSize) != 0)
    std::abort();
  return 0;
}
