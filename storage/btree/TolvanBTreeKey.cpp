#include "storage/btree/TolvanBTreeKey.h"

#include <cmath>
#include <limits>
#include <string_view>

#include "classlib/ByteOrder.h"
#include "classlib/Collation.h"
#include "foundation/TolvanExcept.h"
#include "foundation/TolvanMemory.h"
#include "foundation/TolvanMessages.h"
#include "foundation/TolvanTypes.h"
#include "schema/TolvanMetaObjectDefs.h"

namespace tolvan {

static_assert(sizeof(long double) >= 10 && std::numeric_limits<long double>::digits == 64,
              "EXTENDED keys are x87 80-bit values");

namespace {

constexpr int32_t ErrKeyTooLarge = 20041;
constexpr int32_t ErrUnorderedKeyColumn = 20042;
constexpr int32_t ErrIndexFieldNotFound = 20043;
constexpr int32_t ErrNoFieldDefs = 20045;

// --- In-place comparators -------------------------------------------------------------------

template <class T> int OrderOf(T A, T B) { return A < B ? -1 : B < A ? 1 : 0; }

// Equal first (so -0 equals 0), then NaN below every number and equal to NaN.
template <class F> int OrderFloat(F A, F B) {
  if (A == B)
    return 0;
  if (std::isnan(A) || std::isnan(B))
    return std::isnan(A) ? (std::isnan(B) ? 0 : -1) : 1;
  return A > B ? 1 : -1;
}

template <class T> int CompareInt(const uint8_t* A, const uint8_t* B, int32_t) {
  return OrderOf(LoadLE<T>(A), LoadLE<T>(B));
}

template <class F> int CompareFloat(const uint8_t* A, const uint8_t* B, int32_t) {
  return OrderFloat(LoadLE<F>(A), LoadLE<F>(B));
}

long double LoadExtended(const uint8_t* P) {
  unsigned char Bytes[sizeof(long double)] = {};
  std::memcpy(Bytes, P, 10);
  long double X;
  std::memcpy(&X, Bytes, sizeof X);
  return X;
}

int CompareExtended(const uint8_t* A, const uint8_t* B, int32_t) {
  return OrderFloat(LoadExtended(A), LoadExtended(B));
}

int CompareDateTime(const uint8_t* A, const uint8_t* B, int32_t) {
  const int R = OrderOf(LoadLE<int32_t>(A), LoadLE<int32_t>(B));
  return R != 0 ? R : OrderOf(LoadLE<int32_t>(A + 4), LoadLE<int32_t>(B + 4));
}

int CompareLogical(const uint8_t* A, const uint8_t* B, int32_t) {
  return OrderOf(LoadLE<int16_t>(A) != 0, LoadLE<int16_t>(B) != 0);
}

std::string_view AnsiPart(const uint8_t* P, int32_t Size) {
  const char* C = reinterpret_cast<const char*>(P);
  const void* Z = std::memchr(C, 0, size_t(Size));
  return std::string_view(C, Z ? size_t(static_cast<const char*>(Z) - C) : size_t(Size));
}

template <bool IgnoreCase> int CompareAnsiPart(const uint8_t* A, const uint8_t* B, int32_t Size) {
  const std::string_view TA = AnsiPart(A, Size), TB = AnsiPart(B, Size);
  if (TA == TB)
    return 0;
  const int R = CompareAnsi(TA, TB, IgnoreCase);
  return R < 0 ? -1 : R > 0 ? 1 : 0;
}

// Wide text in a key may sit at an odd address; it is copied into aligned scratch (a key is at
// most MaxIndexKeySize bytes, so the scratch always holds it).
constexpr size_t WideScratchUnits = MaxIndexKeySize / 2 + 1;

std::u16string_view WidePart(const uint8_t* P, int32_t Size, char16_t* Scratch) {
  const size_t Max = std::min(size_t(Size) / 2, WideScratchUnits);
  size_t N = 0;
  while (N < Max && (P[2 * N] | P[2 * N + 1]) != 0)
    ++N;
  std::memcpy(Scratch, P, N * 2);
  return std::u16string_view(Scratch, N);
}

template <bool IgnoreCase> int CompareWidePart(const uint8_t* A, const uint8_t* B, int32_t Size) {
  char16_t SA[WideScratchUnits], SB[WideScratchUnits];
  const std::u16string_view TA = WidePart(A, Size, SA), TB = WidePart(B, Size, SB);
  if (TA == TB)
    return 0;
  const int R = CompareWide(TA, TB, IgnoreCase);
  return R < 0 ? -1 : R > 0 ? 1 : 0;
}

} // namespace

TTolvanKeyValueCompare KeyValueComparator(TTolvanValueType DataType,
                                          bool CaseInsensitive) noexcept {
  switch (DataType) {
  case tvtChar:
  case tvtString:
    return CaseInsensitive ? CompareAnsiPart<true> : CompareAnsiPart<false>;
  case tvtWideChar:
  case tvtWideString:
    return CaseInsensitive ? CompareWidePart<true> : CompareWidePart<false>;
  case tvtSignedInt8:
    return CompareInt<int8_t>;
  case tvtSignedInt16:
    return CompareInt<int16_t>;
  case tvtInteger:
  case tvtDate:
  case tvtTime:
    return CompareInt<int32_t>;
  case tvtSignedInt64:
    return CompareInt<int64_t>;
  case tvtUnsignedInt8:
    return CompareInt<uint8_t>;
  case tvtUnsignedInt16:
    return CompareInt<uint16_t>;
  case tvtUnsignedInt32:
    return CompareInt<uint32_t>;
  case tvtSingle:
    return CompareFloat<float>;
  case tvtFloat:
  case tvtCurrency:
    return CompareFloat<double>;
  case tvtExtended:
    return CompareExtended;
  case tvtDateTime:
    return CompareDateTime;
  case tvtLogical:
    return CompareLogical;
  default: // BLOB, MEMO, WIDEMEMO, BYTES, VARBYTES and unknown types have no order
    return nullptr;
  }
}

// --- TTolvanBTreeKeyRef -----------------------------------------------------------------------

void TTolvanBTreeKeyRef::SetColumnCount(int32_t Value) noexcept {
  FColumnCount = Value < 0 ? 0 : Value > ColumnTotal() ? ColumnTotal() : Value;
}

void TTolvanBTreeKeyRef::Build(const TTolvanIndexDef& Def, const TTolvanFieldDefs* FieldDefs) {
  if (!FieldDefs)
    throw ETolvanException::Create(ErrNoFieldDefs, SPointerIsNil);
  std::vector<TTolvanBTreeKeyColumn> Columns(size_t(Def.ColumnCount()));
  int64_t Offset = 0;
  for (int32_t I = 0; I < Def.ColumnCount(); ++I) {
    const TTolvanIndexColumn& IC = Def.Columns(I);
    const int32_t FieldNo = FieldDefs->IndexOfName(IC.Name());
    if (FieldNo < 0)
      throw ETolvanException::CreateFmt(ErrIndexFieldNotFound, SCannotFindIndexField, IC.Name());
    const TTolvanFieldDef& F = FieldDefs->Items(FieldNo);
    TTolvanBTreeKeyColumn& C = Columns[size_t(I)];
    C.Compare = KeyValueComparator(F.BaseType(), IC.CaseInsensitive() != 0);
    if (!C.Compare)
      throw ETolvanException::CreateFmt(ErrUnorderedKeyColumn, SIndexFieldWithoutOrder, Def.Name(),
                                        F.Name(), ValueTypeToSQLName(F.BaseType()));
    C.KeyOffset = int32_t(std::min<int64_t>(Offset, INT32_MAX));
    C.BufferOffset = F.BufferOffset();
    C.FieldNo = FieldNo;
    C.Size = int32_t(std::min<int64_t>(int64_t(F.DataSize()) + 1, INT32_MAX));
    C.DataType = F.BaseType();
    C.Descending = IC.Descending() != 0;
    C.CaseInsensitive = IC.CaseInsensitive() != 0;
    Offset += int64_t(F.DataSize()) + 1;
  }
  if (Offset > MaxIndexKeySize)
    throw ETolvanException::CreateFmt(ErrKeyTooLarge, SIndexKeyTooLarge, Def.Name(), Offset,
                                      MaxIndexKeySize);
  FColumns.swap(Columns);
  FKeySize = int32_t(Offset);
  FColumnCount = ColumnTotal();
}

uint8_t* TTolvanBTreeKeyRef::AllocKey() const {
  return static_cast<uint8_t*>(TTolvanMemoryManager::AllocMem(FKeySize > 0 ? FKeySize : 1));
}

void TTolvanBTreeKeyRef::FreeKey(uint8_t*& Key) noexcept {
  TTolvanMemoryManager::FreeAndNillMemNoRaise(Key);
}

void TTolvanBTreeKeyRef::MakeKey(const uint8_t* RecordBuffer, uint8_t* Key) const noexcept {
  for (const TTolvanBTreeKeyColumn& C : FColumns) {
    uint8_t* P = Key + C.KeyOffset;
    if (GetBit(C.FieldNo, RecordBuffer)) {
      P[0] = 1;
      std::memset(P + 1, 0, size_t(C.Size - 1));
    } else {
      P[0] = 0;
      std::memcpy(P + 1, RecordBuffer + C.BufferOffset, size_t(C.Size - 1));
    }
  }
}

} // namespace tolvan
