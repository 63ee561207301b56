// TTolvanCompressedBLOBStream opened over arbitrary descriptor and host bytes: read everything,
// then append. Input: byte 0 the flags (bit 0 AllowShort, bit 1 IsNew), bytes 1-32 the stored
// descriptor, the rest the host. Every failure must be an engine or class-library exception,
// and the host may only grow by what was appended (plus the headers of the blocks written).
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "foundation/TolvanBLOBStream.h"
#include "foundation/TolvanExcept.h"
#include "foundation/TolvanStreams.h"

using namespace tolvan;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  if (Size < 1 + BLOBDescriptorSize)
    return 0;
  const bool AllowShort = Data[0] & 1, IsNew = Data[0] & 2;
  TTolvanBLOBDescriptor D = TTolvanBLOBDescriptor::Load(Data + 1);
  const uint8_t* HostBytes = Data + 1 + BLOBDescriptorSize;
  const int64_t HostSize = int64_t(Size - 1 - BLOBDescriptorSize);
  TTolvanMemoryStream Host;
  if (HostSize > 0)
    Host.WriteBuffer(HostBytes, HostSize);
  try {
    TTolvanCompressedBLOBStream S(Host, AllowShort, IsNew, D);
    // Read all, in pieces that cross block boundaries.
    std::vector<uint8_t> Buf(777);
    int64_t Total = 0;
    for (int Guard = 0; Guard < 100000; ++Guard) {
      const int64_t Got = S.Read(Buf.data(), int64_t(Buf.size()));
      if (Got <= 0)
        break;
      Total += Got;
    }
    if (Total > S.Size())
      std::abort();
    // Append a piece of the input at the end.
    const int64_t Before = Host.Size();
    S.Seek(0, soEnd);
    const int64_t N = HostSize < 300 ? HostSize : 300;
    if (N > 0) {
      const int64_t Written = S.Write(HostBytes, N);
      if (Written < 0 || Written > N)
        std::abort();
      // Compressed blocks can outgrow their input, but never by more than a few kilobytes here.
      if (Host.Size() > Before + N + (1 << 16) + 20 * (N + 1))
        std::abort();
    }
    S.Seek(0, soBeginning);
    (void)S.Read(Buf.data(), int64_t(Buf.size()));
  } catch (const Exception&) {
  }
  return 0;
}
