// TTolvanVariant::LoadFromStream on arbitrary bytes, then every cast of what it read.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "foundation/TolvanExcept.h"
#include "foundation/TolvanMemory.h"
#include "foundation/TolvanStreams.h"
#include "foundation/TolvanVariant.h"

using namespace tolvan;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  TTolvanMemoryStream S;
  S.Write(Data, static_cast<int64_t>(Size));
  S.Seek(0, soBeginning);
  TTolvanVariant V;
  try {
    V.LoadFromStream(S);
  } catch (const Exception&) {
    return 0;
  }
  (void)V.GetLength();
  for (int T = 0; T <= 24; ++T) {
    TTolvanVariant C;
    C.Assign(V, true);
    try {
      C.CastTo(static_cast<TTolvanValueType>(T));
      (void)C.GetAsString();
      (void)C.GetLength();
    } catch (const Exception&) {
    }
  }
  try {
    (void)V.GetAsString();
    (void)V.GetAsWideString();
    (void)V.GetAsVariant();
  } catch (const Exception&) {
  }
  TTolvanMemoryStream Out;
  V.SaveToStream(Out);
  return 0;
}
