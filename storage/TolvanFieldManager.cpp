#include "storage/TolvanFieldManager.h"

#include <memory>

#include "classlib/ByteOrder.h"
#include "foundation/TolvanExcept.h"
#include "foundation/TolvanMemory.h"
#include "foundation/TolvanMessages.h"
#include "foundation/TolvanValueConvert.h"
#include "schema/TolvanRecordBuffer.h"
#include "storage/TolvanSequenceManager.h"

namespace tolvan {

namespace {

// Narrow text of either kind, or wide text of either kind, is written as it stands.
bool SameStorage(TTolvanValueType A, TTolvanValueType B) noexcept {
  if (A == B)
    return true;
  if (IsPlainStringValueType(A) && IsPlainStringValueType(B))
    return IsWideStringValueType(A) == IsWideStringValueType(B);
  return false;
}

} // namespace

void TTolvanBaseFieldManager::LoadFromStream(TStream& Stream) { FFieldDefs.LoadFromStream(Stream); }

void TTolvanBaseFieldManager::SaveToStream(TStream& Stream) { FFieldDefs.SaveToStream(Stream); }

void TTolvanBaseFieldManager::ApplyDefaults(TTolvanBaseSession* Session, uint8_t* Buffer,
                                            bool ApplyAutoInc) {
  if (!FFieldDefs.HasDefaults() && !FFieldDefs.HasAutoincFields())
    return;
  const int32_t N = FFieldDefs.Count();
  for (int32_t I = 0; I < N; ++I) {
    const TTolvanFieldDef& Def = FFieldDefs.Items(I);
    if (!Def.DefaultValue().IsNull())
      ApplyDefaultValue(I, Def, Buffer);
    if (ApplyAutoInc && Def.IsAutoinc())
      ApplyAutoIncValue(Session, I, Def, Buffer);
  }
}

void TTolvanBaseFieldManager::ApplyDefaultValue(int32_t FieldNo, const TTolvanFieldDef& Def,
                                                uint8_t* Buffer) {
  // A BLOB column holds a reference into the table's value store, which a record being made
  // has no part of yet.
  if (Def.IsBlob())
    return;
  const TTolvanVariant& Value = Def.DefaultValue();
  if (SameStorage(Value.DataType(), Def.BaseType())) {
    WriteFieldData(FieldNo, FFieldDefs, Value.Data(), Value.DataSize(), Buffer);
    return;
  }
  int32_t Size = 0;
  std::unique_ptr<void, TTolvanMemDeleter> Converted(
      ConvertValueBuffer(Value.Data(), Value.DataSize(), Value.DataType(), Def.BaseType(), Size));
  WriteFieldData(FieldNo, FFieldDefs, Converted.get(), Size, Buffer);
}

void TTolvanBaseFieldManager::ApplyAutoIncValue(TTolvanBaseSession* Session, int32_t FieldNo,
                                                const TTolvanFieldDef& Def, uint8_t* Buffer) {
  if (!FSequenceManager)
    throw ETolvanException::CreateFmt(ErrNextValueSequenceNotFound, SSequenceNotFound,
                                      Def.SequenceID());
  const int64_t Value =
      FSequenceManager->NextValueInRange(Session, Def.SequenceID(), Def.BaseType());
  // The value fits the column's integer type, so its low bytes are the value.
  uint8_t Bytes[sizeof(int64_t)];
  StoreLE<int64_t>(Bytes, Value);
  WriteFieldData(FieldNo, FFieldDefs, Bytes, ValueTypeDataSize(Def.BaseType(), 0), Buffer);
}

} // namespace tolvan
