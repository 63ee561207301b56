#include "schema/TolvanStoredValue.h"

#include <algorithm>
#include <cstring>

#include "foundation/TolvanConst.h"
#include "foundation/TolvanVariantOps.h"
#include "schema/TolvanRecordBuffer.h"

namespace tolvan {

// ---------------------------------------------------------------------------------------------
// TTolvanStoredValue
// ---------------------------------------------------------------------------------------------

TTolvanStoredValue::TTolvanStoredValue(TTolvanFieldType FieldType, int32_t Size) {
  TTolvanFieldDef& Def = FDefs.AddNew();
  Def.SetName("V");
  Def.SetType(FieldType, Size);
  FDefs.CalcLayout();
  FValueType = Def.BaseType();
  FBlob = Def.IsBlob();
  // CompareValueBuffers refuses the types that have no order; their bytes are the value.
  FByteEquality = FValueType == tvtBLOB || FValueType == tvtBytes || FValueType == tvtVarBytes;
  FRecord.reset(
      static_cast<uint8_t*>(MemoryManager.AllocMem(FDefs.RecordBufferSize() + RecordTrailerSize)));
}

bool TTolvanStoredValue::Store(const TTolvanVariant& Value) {
  FData = nullptr;
  FDataSize = 0;
  if (Value.IsNull())
    return false;
  // Borrowing is enough: a conversion gives the scratch a buffer of its own, and without one
  // the bytes are only read.
  FScratch.Assign(Value, false);
  FScratch.CastTo(FValueType);
  if (FBlob) {
    if (FScratch.IsNull() || FScratch.DataSize() <= 0)
      return false;
    FData = static_cast<const uint8_t*>(FScratch.Data());
    FDataSize = FScratch.DataSize();
    return true;
  }
  WriteFieldData(0, FDefs, FScratch.Data(), FScratch.DataSize(), FRecord.get());
  if (IsFieldNull(FRecord.get(), 0))
    return false;
  const TTolvanFieldDef& Def = FDefs.Items(0);
  FData = FRecord.get() + Def.BufferOffset();
  FDataSize = Def.DataSize();
  return true;
}

uint32_t TTolvanStoredValue::Hash() const {
  if (!FData)
    return NullValueHash;
  TTolvanVariant View;
  View.SetBuffer(const_cast<uint8_t*>(FData), FDataSize, FValueType, false, false);
  return View.Hash();
}

bool TTolvanStoredValue::SameValue(const uint8_t* A, int32_t SizeA, const uint8_t* B,
                                   int32_t SizeB) const {
  if (FByteEquality)
    return SizeA == SizeB && (SizeA == 0 || std::memcmp(A, B, size_t(SizeA)) == 0);
  return CompareValueBuffers(A, B, FValueType, FValueType, false, false, -1, false,
                             DefaultCompareLocale, SizeA, SizeB) == tcrEqual;
}

// ---------------------------------------------------------------------------------------------
// TTolvanByteArena
// ---------------------------------------------------------------------------------------------

TTolvanByteArena::~TTolvanByteArena() { Clear(); }

void TTolvanByteArena::Clear() noexcept {
  for (void* Block = FBlocks; Block;) {
    void* Next = nullptr;
    std::memcpy(&Next, Block, sizeof(Next));
    MemoryManager.FreeAndNillMemNoRaise(Block);
    Block = Next;
  }
  FBlocks = nullptr;
  FUsed = FBlockEnd = 0;
}

uint8_t* TTolvanByteArena::Allocate(int32_t Size) {
  Size = std::max(Size, 0);
  if (!FBlocks || FUsed + Size > FBlockEnd) {
    // A run longer than a block gets a block of its own.
    const int64_t Want = std::max<int64_t>(BlockSize, BlockHeader + Size);
    void* Block = MemoryManager.GetMem(Want);
    std::memcpy(Block, &FBlocks, sizeof(FBlocks));
    FBlocks = Block;
    FUsed = BlockHeader;
    FBlockEnd = Want;
  }
  uint8_t* Target = static_cast<uint8_t*>(FBlocks) + FUsed;
  FUsed += Size;
  return Target;
}

const uint8_t* TTolvanByteArena::Keep(const void* Source, int32_t Size) {
  uint8_t* Target = Allocate(Size);
  if (Size > 0)
    std::memcpy(Target, Source, size_t(Size));
  return Target;
}

} // namespace tolvan
