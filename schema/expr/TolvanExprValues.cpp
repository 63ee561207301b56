#include "schema/expr/TolvanExprValues.h"

#include <algorithm>
#include <cstring>

#include "classlib/SysUtils.h"
#include "foundation/TolvanMemory.h"
#include "foundation/TolvanTypesRoutines.h"

namespace tolvan {

namespace {

template <class T> void SetFixed(TTolvanVariant& V, TTolvanValueType Type, T X) {
  std::memcpy(ReserveResult(V, Type, int32_t(sizeof X)), &X, sizeof X);
}

} // namespace

uint8_t* ReserveResult(TTolvanVariant& V, TTolvanValueType T, int32_t Size, int32_t Extra) {
  const int64_t Need = int64_t(Size) + Extra;
  void* P = V.Data();
  if (P && !V.IsBorrowed() && MemoryManager.GetMemSize(P) >= Need) {
    V.SetBuffer(P, Size, T, false, true);
    return static_cast<uint8_t*>(P);
  }
  // Some slack, so that a text growing row by row does not allocate on every row.
  const int64_t Capacity = std::min<int64_t>(std::max<int64_t>(Need + Need / 4, 32), INT32_MAX);
  TTolvanBlockGuard New{MemoryManager.AllocMem(std::max(Capacity, Need))};
  V.Clear(T);
  V.SetBuffer(New.P, Size, T, false, true);
  return static_cast<uint8_t*>(New.Release());
}

void SetNullResult(TTolvanVariant& V, TTolvanValueType T) {
  if (V.Data() && !V.IsBorrowed()) {
    // Keep the block for the next row; the size stays that of a real value of the type.
    V.SetBuffer(V.Data(), std::max(V.DataSize(), 1), T, false, true);
    V.SetNull();
  } else {
    V.Clear(T);
  }
}

void PrepareResultType(TTolvanVariant& V, TTolvanValueType T) {
  if (V.DataType() != T || V.IsBorrowed())
    V.Clear(T);
}

void SetLogicalResult(TTolvanVariant& V, bool Value) {
  SetFixed<int16_t>(V, tvtLogical, Value ? -1 : 0);
}
void SetIntegerResult(TTolvanVariant& V, int32_t Value) { SetFixed(V, tvtInteger, Value); }
void SetLargeIntResult(TTolvanVariant& V, int64_t Value) { SetFixed(V, tvtSignedInt64, Value); }
void SetWordResult(TTolvanVariant& V, uint16_t Value) { SetFixed(V, tvtUnsignedInt16, Value); }

void CopyResult(TTolvanVariant& V, const TTolvanVariant& Source) {
  if (&V == &Source)
    return;
  if (Source.IsNull()) {
    SetNullResult(V, Source.DataType());
    return;
  }
  const int32_t N = Source.DataSize();
  if (Source.Data() == V.Data()) {
    // Both name one buffer; Assign copies before it lets go.
    V.Assign(Source, true);
    return;
  }
  // BLOB-type contents keep a terminator behind them, as values read from records do.
  const bool Blob = IsBlobValueType(Source.DataType());
  uint8_t* D = ReserveResult(V, Source.DataType(), N, Blob ? 2 : 0);
  std::memcpy(D, Source.Data(), size_t(N));
  if (Blob)
    D[N] = D[N + 1] = 0;
}

void SetTextResult(TTolvanVariant& V, TTolvanValueType T, std::string_view Text) {
  if (Text.empty()) {
    SetNullResult(V, T);
    return;
  }
  if (Text.size() >= size_t(INT32_MAX))
    throw ERangeError(std::string(SysConst::SRangeError));
  const int32_t N = int32_t(Text.size());
  uint8_t* D = ReserveResult(V, T, N + 1);
  if (N)
    std::memcpy(D, Text.data(), size_t(N));
  D[N] = 0;
}

void SetWideTextResult(TTolvanVariant& V, TTolvanValueType T, std::u16string_view Text) {
  if (Text.empty()) {
    SetNullResult(V, T);
    return;
  }
  if (Text.size() >= size_t(INT32_MAX / 2))
    throw ERangeError(std::string(SysConst::SRangeError));
  const int32_t N = int32_t(Text.size());
  uint8_t* D = ReserveResult(V, T, 2 * (N + 1));
  if (N)
    std::memcpy(D, Text.data(), 2 * size_t(N));
  D[2 * N] = D[2 * N + 1] = 0;
}

std::string_view NarrowTextOf(const TTolvanVariant& V) {
  const char* D = static_cast<const char*>(V.Data());
  if (V.IsNull() || V.DataSize() <= 0)
    return {};
  if (IsBlobValueType(V.DataType()))
    return {D, size_t(V.DataSize())};
  const size_t Max = size_t(V.DataSize() - 1);
  const void* Z = std::memchr(D, 0, Max);
  return {D, Z ? size_t(static_cast<const char*>(Z) - D) : Max};
}

void ReadWideText(const TTolvanVariant& V, WideString& Out) {
  int32_t Bytes = 0;
  if (!V.IsNull() && V.DataSize() > 0)
    Bytes = IsBlobValueType(V.DataType())
                ? V.DataSize()
                : std::min(ValueByteLength(V.Data(), V.DataSize(), tftWideVarchar), V.DataSize());
  Out.resize(size_t(Bytes / 2));
  if (Bytes >= 2)
    std::memcpy(Out.data(), V.Data(), size_t(Bytes / 2) * 2);
}

std::string_view AnsiTextOf(const TTolvanVariant& V, AnsiString& Scratch) {
  if (V.IsNull())
    return {};
  const TTolvanValueType T = V.DataType();
  if (T == tvtChar || T == tvtString || T == tvtMemo)
    return NarrowTextOf(V);
  Scratch = V.GetAsString();
  return Scratch;
}

void WideTextOf(const TTolvanVariant& V, WideString& Out) {
  if (V.IsNull())
    Out.clear();
  else if (IsWideValueType(V.DataType()))
    ReadWideText(V, Out);
  else
    Out = V.GetAsWideString();
}

int64_t IntegerOf(const TTolvanVariant& V) {
  const void* D = V.Data();
  const int32_t Size = V.DataSize();
  auto Read = [&](auto X) -> int64_t {
    if (!D || Size < int32_t(sizeof X))
      return V.GetAsLargeInt(); // raises for what cannot be read
    std::memcpy(&X, D, sizeof X);
    return int64_t(X);
  };
  switch (V.DataType()) {
  case tvtSignedInt8:
    return Read(int8_t());
  case tvtSignedInt16:
    return Read(int16_t());
  case tvtInteger:
    return Read(int32_t());
  case tvtSignedInt64:
    return Read(int64_t());
  case tvtUnsignedInt8:
    return Read(uint8_t());
  case tvtUnsignedInt16:
    return Read(uint16_t());
  case tvtUnsignedInt32:
    return Read(uint32_t());
  default:
    return V.GetAsLargeInt();
  }
}

} // namespace tolvan

namespace tolvan {

int32_t Int32Of(const TTolvanVariant& V) {
  if (!V.IsNull() && V.IsInteger()) {
    const int64_t X = IntegerOf(V);
    if (X >= INT32_MIN && X <= INT32_MAX)
      return int32_t(X);
  }
  return V.GetAsInteger();
}

TDateTime DateTimeOf(const TTolvanVariant& V) {
  switch (V.DataType()) {
  case tvtDate:
    return V.GetAsDate();
  case tvtTime:
    return V.GetAsTime();
  default:
    return V.GetAsDateTime();
  }
}

} // namespace tolvan
