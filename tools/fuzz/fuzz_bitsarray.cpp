// TTolvanBitsArray::LoadFromStream on arbitrary bytes. A form it accepts must save back to the
// same bytes (less anything behind it) once the padding bits are clear, and its counts must
// agree with its bits; a form it refuses must leave the array as it was.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "foundation/TolvanExcept.h"
#include "foundation/TolvanStreams.h"
#include "foundation/TolvanTypes.h"

using namespace tolvan;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  TTolvanMemoryStream In;
  if (Size > 0)
    In.WriteBuffer(Data, int64_t(Size));
  In.SetPosition(0);
  TTolvanBitsArray B;
  B.SetSize(13);
  B.SetBit(5, true);
  try {
    B.LoadFromStream(In);
  } catch (const Exception&) {
    if (B.BitCount() != 13 || B.SetBitCount() != 1 || !B.GetBit(5))
      std::abort();
    return 0;
  }
  if (B.SetBitCount() != B.CountSet() || B.BitCount() < 0)
    std::abort();
  const int64_t Used = In.Position();
  TTolvanMemoryStream Out;
  B.SaveToStream(Out);
  if (Out.Size() != Used)
    std::abort();
  const uint8_t* Saved = static_cast<const uint8_t*>(Out.Memory());
  // Header identical; bits identical but for padding past the count in the last byte.
  if (std::memcmp(Saved, Data, 8) != 0)
    std::abort();
  const int32_t Bits = B.BitCount();
  for (int64_t I = 8; I < Used; ++I) {
    uint8_t Mask = 0xFF;
    if (I == Used - 1 && Bits % 8 != 0)
      Mask = uint8_t((1u << (Bits % 8)) - 1);
    if ((Saved[I] ^ Data[I]) & Mask)
      std::abort();
  }
  int32_t First;
  if (B.FindFirst(false, First) && (First >= Bits || B.GetBit(First)))
    std::abort();
  if (B.FindFirst(true, First) && (First >= Bits || !B.GetBit(First)))
    std::abort();
  B.SetSize(Bits / 2);
  if (B.SetBitCount() != B.CountSet())
    std::abort();
  return 0;
}
