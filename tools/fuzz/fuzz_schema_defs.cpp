// The definition collections' LoadFromStream on arbitrary bytes. The first byte picks the
// collection (fields, indexes, constraints); the rest is its block. Whatever is read must write
// back to a form that reads and writes again to the same bytes, and a copy must write the same.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "foundation/TolvanExcept.h"
#include "foundation/TolvanStreams.h"
#include "schema/TolvanMetaObjectDefs.h"

using namespace tolvan;

namespace {

std::unique_ptr<TTolvanMetaObjectDefs> MakeDefs(uint8_t Kind) {
  switch (Kind % 3) {
  case 0:
    return std::make_unique<TTolvanFieldDefs>();
  case 1:
    return std::make_unique<TTolvanIndexDefs>();
  default:
    return std::make_unique<TTolvanConstraintDefs>();
  }
}

bool SameBytes(TTolvanMemoryStream& A, TTolvanMemoryStream& B) {
  return A.Size() == B.Size() &&
         (A.Size() == 0 || std::memcmp(A.Memory(), B.Memory(), size_t(A.Size())) == 0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  if (Size == 0)
    return 0;
  TTolvanMemoryStream In;
  In.Write(Data + 1, static_cast<int64_t>(Size - 1));
  In.Seek(0, soBeginning);
  std::unique_ptr<TTolvanMetaObjectDefs> Defs = MakeDefs(Data[0]);
  try {
    Defs->LoadFromStream(In);
  } catch (const Exception&) {
    return 0;
  }
  if (auto* Fields = dynamic_cast<TTolvanFieldDefs*>(Defs.get())) {
    try {
      Fields->CalcLayout();
    } catch (const EIntOverflow&) {
    }
  }

  // Names read may repeat, and an index column name may be empty only if the reader let it in:
  // writing may refuse, but never crash.
  TTolvanMemoryStream First;
  try {
    Defs->SaveToStream(First);
  } catch (const Exception&) {
    abort();
  }
  First.Seek(0, soBeginning);
  std::unique_ptr<TTolvanMetaObjectDefs> Again = MakeDefs(Data[0]);
  Again->LoadFromStream(First);
  TTolvanMemoryStream Second;
  Again->SaveToStream(Second);
  if (!SameBytes(First, Second))
    abort();

  std::unique_ptr<TTolvanMetaObjectDefs> Copy = MakeDefs(Data[0]);
  try {
    Copy->Assign(*Defs);
  } catch (const ETolvanException&) {
    return 0; // duplicate names
  }
  TTolvanMemoryStream Third;
  Copy->SaveToStream(Third);
  if (!SameBytes(First, Third))
    abort();
  return 0;
}
