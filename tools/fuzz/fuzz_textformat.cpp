// DecodeStringFormat of every format on arbitrary text. Input: byte 0 picks the format, the rest
// is the text. A text that decodes must come back from encoding and decoding again.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "foundation/TolvanDecUtil.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  if (Size < 1)
    return 0;
  static const int32_t IDs[] = {1, 16, 1016, 4196, 21845, 22616};
  const int32_t ID = IDs[Data[0] % 6];
  std::string_view Text(reinterpret_cast<const char*>(Data + 1), Size - 1);
  std::string Bytes;
  try {
    tolvan::DecodeStringFormat(Text, ID, Bytes);
  } catch (const tolvan::EStringFormat&) {
    return 0;
  }
  std::string Again, Back;
  tolvan::EncodeStringFormat(Bytes, ID, Again);
  tolvan::DecodeStringFormat(Again, ID, Back);
  if (Back != Bytes)
    std::abort();
  return 0;
}
