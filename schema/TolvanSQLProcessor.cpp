#include "schema/TolvanSQLProcessor.h"

#include <cstring>

namespace tolvan {

namespace {

void Append(std::vector<uint8_t>& Out, const void* Bytes, size_t Count) {
  const auto* B = static_cast<const uint8_t*>(Bytes);
  Out.insert(Out.end(), B, B + Count);
}

} // namespace

// Snapshot of one parameter; the layout only has to be the same from one execution to the next:
//   name length (size_t), name, value type (1), null (1), then for a non-null value its size
//   (int32_t) and bytes.
void TTolvanSQLProcessor::SnapshotParams(std::vector<uint8_t>& Out) const {
  Out.clear();
  for (int32_t I = 0; I < FParams.Count(); ++I) {
    const TTolvanSQLParam& P = FParams.Items(I);
    const size_t NameLength = P.Name().size();
    Append(Out, &NameLength, sizeof NameLength);
    Append(Out, P.Name().data(), NameLength);
    const uint8_t Head[2] = {static_cast<uint8_t>(P.DataType()), uint8_t(P.IsNull() ? 1 : 0)};
    Append(Out, Head, sizeof Head);
    if (P.IsNull())
      continue;
    const int32_t Size = P.DataSize();
    Append(Out, &Size, sizeof Size);
    if (Size > 0)
      Append(Out, P.Data(), static_cast<size_t>(Size));
  }
}

TTolvanCursor* TTolvanSQLProcessor::Execute() {
  FInvalidated = false;
  if (FParams.Count() > 0) {
    const uint32_t Hash = FParams.Hash();
    SnapshotParams(FScratch);
    if (!FNotPrepared && FScratch != FLastParams)
      Invalidate();
    FParamsHash = Hash;
    FLastParams.swap(FScratch);
  }
  FRowsAffected = 0;
  return nullptr;
}

void TTolvanSQLProcessor::Invalidate() { FInvalidated = true; }

} // namespace tolvan
