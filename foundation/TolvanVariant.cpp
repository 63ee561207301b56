#include "foundation/TolvanVariant.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>

#include "foundation/TolvanExcept.h"
#include "foundation/TolvanMemory.h"
#include "foundation/TolvanMessages.h"
#include "foundation/TolvanStreams.h"
#include "foundation/TolvanValueConvert.h"

namespace tolvan {

static_assert(std::numeric_limits<long double>::digits == 64, "Extended must be the x87 format");
static_assert(sizeof(TTolvanStoredDateTime) == 8);

namespace {

bool IsAnsiTextTarget(TTolvanValueType T) {
  return T == tvtChar || T == tvtString || T == tvtBLOB || T == tvtMemo;
}
bool IsWideTextTarget(TTolvanValueType T) {
  return T == tvtWideChar || T == tvtWideString || T == tvtWideMemo;
}

} // namespace

TTolvanVariant::~TTolvanVariant() { FreeOwned(); }

void TTolvanVariant::FreeOwned() {
  if (FData && !FIsBorrowed)
    MemoryManager.FreeAndNillMemNoRaise(FData);
  FData = nullptr;
}

void TTolvanVariant::Clear(TTolvanValueType DataType) {
  void* Old = FIsBorrowed ? nullptr : FData;
  FData = nullptr;
  FDataType = DataType;
  FDataSize = 0;
  FIsBorrowed = 0;
  FNullFlag = 0xFF;
  if (Old)
    MemoryManager.FreeAndNillMem(Old);
}

void TTolvanVariant::CheckNotNull() const {
  if (IsNull())
    throw ETolvanException::Create(30016, SValueIsNull);
}

void TTolvanVariant::AttachBuffer(void* Buffer, int32_t Size) {
  if (!Buffer || Size <= 0) {
    Clear(FDataType);
    return;
  }
  if (FData != Buffer)
    FreeOwned();
  FData = Buffer;
  FDataSize = Size;
  FNullFlag = 0;
}

void TTolvanVariant::SetDataSize(int32_t Size) {
  if (Size == 0) {
    SetNull();
    return;
  }
  if (Size < 0)
    throw ERangeError(std::string(SysConst::SRangeError));
  if (!FData) {
    FData = MemoryManager.GetMem(Size);
    FIsBorrowed = 0;
  } else if (FIsBorrowed) {
    // A borrowed buffer is never resized: the value takes a copy of its own.
    void* P = MemoryManager.GetMem(Size);
    std::memcpy(P, FData, std::min(FDataSize, Size));
    FData = P;
    FIsBorrowed = 0;
  } else {
    MemoryManager.ReallocMem(FData, false, Size);
  }
  FDataSize = Size;
  FNullFlag = 0;
}

void TTolvanVariant::SetBuffer(void* Buffer, int32_t Size, TTolvanValueType DataType, bool Copy,
                               bool Own) {
  if (Copy) {
    if (!Buffer || Size <= 0) {
      Clear(DataType);
      return;
    }
    if (FData && !FIsBorrowed && FDataSize == Size) {
      std::memmove(FData, Buffer, Size);
    } else {
      TTolvanBlockGuard New{MemoryManager.GetMem(Size)};
      std::memcpy(New.P, Buffer, Size);
      Clear(tvtNone);
      FData = New.Release();
    }
  } else {
    if (FData != Buffer)
      Clear(tvtNone);
    FData = Buffer;
  }
  FDataSize = Size;
  FDataType = DataType;
  FNullFlag = 0;
  FIsBorrowed = (Own || Copy) ? 0 : 0xFF;
}

bool TTolvanVariant::CopyDataTo(void* Buffer, int32_t Length) const {
  if (IsNull())
    return false;
  int32_t N = Length < 0 ? FDataSize : std::min(FDataSize, Length);
  if (N > 0)
    std::memcpy(Buffer, FData, N);
  return true;
}

void TTolvanVariant::Assign(const TTolvanVariant& Source, bool Copy) {
  if (&Source == this)
    return;
  // The copy is made before the value releases its own buffer, which the source may borrow.
  TTolvanBlockGuard New{nullptr};
  if (Copy && !Source.IsNull()) {
    int64_t Bytes = Source.FDataSize, Alloc = Bytes;
    if (IsBlobValueType(Source.FDataType)) {
      // Keep whatever follows the content in the block (values from records end with a
      // terminator). A borrowed source is no block of its own: give it a fresh terminator.
      if (Source.FIsBorrowed)
        Alloc = Bytes + 2;
      else
        Bytes = Alloc = MemoryManager.GetMemSize(Source.FData);
    }
    New.P = MemoryManager.AllocMem(Alloc);
    std::memcpy(New.P, Source.FData, Bytes);
  }
  const bool SourceNull = Source.IsNull();
  void* const SourceData = Source.FData;
  const TTolvanValueType SourceType = Source.FDataType;
  const int32_t SourceSize = Source.FDataSize;
  const uint8_t SourceNullFlag = Source.FNullFlag;
  Clear(tvtNone);
  FDataType = SourceType;
  FDataSize = SourceSize;
  FNullFlag = SourceNullFlag;
  FIsBorrowed = Copy ? 0 : 0xFF;
  if (SourceNull)
    return;
  FData = Copy ? New.Release() : SourceData;
}

void TTolvanVariant::CastTo(TTolvanValueType DataType) {
  if (DataType == FDataType)
    return;
  if (IsNull()) {
    Clear(DataType);
    return;
  }
  bool AnsiPair = (FDataType == tvtChar || FDataType == tvtString) &&
                  (DataType == tvtChar || DataType == tvtString);
  bool WidePair = (FDataType == tvtWideChar || FDataType == tvtWideString) &&
                  (DataType == tvtWideChar || DataType == tvtWideString);
  if (AnsiPair || WidePair) {
    FDataType = DataType;
    return;
  }
  int32_t Size = 0;
  TTolvanBlockGuard New{ConvertValueBuffer(FData, FDataSize, FDataType, DataType, Size)};
  Clear(DataType);
  FData = New.Release();
  FDataSize = Size;
  FNullFlag = FData ? 0 : 0xFF;
}

void TTolvanVariant::ChangeDataType(TTolvanValueType DataType) {
  if (IsNull()) {
    if (FData)
      Clear(DataType);
    else
      FDataType = DataType;
    return;
  }
  try {
    CastTo(DataType);
  } catch (const std::exception&) {
    Clear(DataType);
  }
}

void TTolvanVariant::SetTypedValue(const void* P, TTolvanValueType T) {
  // In place only when the buffer has exactly the type's size: P holds that many bytes.
  if (T == FDataType && FData && !IsStringValueType(T) && !IsBlobValueType(T) && !FIsBorrowed &&
      T != tvtBytes && T != tvtVarBytes && FDataSize == ValueTypeDataSize(T, 0)) {
    std::memmove(FData, P, FDataSize);
    FNullFlag = 0;
    return;
  }
  // The new buffer is made before the old one is released, so P may point into the value.
  TTolvanValueType NewType;
  void* Made = nullptr;
  int32_t Size = 0;
  if (IsBlobValueType(FDataType)) {
    NewType = T;
    CopyTypedValue(T, P, Made, Size);
  } else {
    NewType = FDataType == tvtNone ? T : FDataType;
    if (T == NewType) {
      CopyTypedValue(T, P, Made, Size);
    } else {
      try {
        if (IsPlainStringValueType(T) && !IsWideStringValueType(T)) {
          const AnsiString& S = *static_cast<const AnsiString*>(P);
          Made = ConvertValueBuffer(S.c_str(), static_cast<int32_t>(S.size() + 1), T, NewType, Size);
        } else if (IsWideStringValueType(T)) {
          const WideString& S = *static_cast<const WideString*>(P);
          Made = ConvertValueBuffer(S.c_str(), static_cast<int32_t>(2 * (S.size() + 1)), T, NewType, Size);
        } else {
          Made = ConvertValueBuffer(P, ValueTypeDataSize(T, 0), T, NewType, Size);
        }
      } catch (...) {
        Clear(NewType);
        throw;
      }
    }
  }
  TTolvanBlockGuard New{Made};
  Clear(NewType);
  FData = New.Release();
  FDataSize = FData ? Size : 0;
  FNullFlag = FData ? 0 : 0xFF;
  FIsBorrowed = 0;
}

void TTolvanVariant::GetTypedValue(void* Out, TTolvanValueType T) const {
  CheckNotNull();
  bool Same = T == FDataType || (IsStringValueType(T) && IsStringValueType(FDataType) &&
                                 IsWideValueType(T) == IsWideValueType(FDataType));
  if (!Same) {
    int32_t N = 0;
    TTolvanBlockGuard B{ConvertValueBuffer(FData, FDataSize, FDataType, T, N)};
    // Text sizes count the terminator; BLOB, MEMO and WIDEMEMO sizes are the content alone.
    const int32_t Terminator = IsBlobValueType(T) ? 0 : 1;
    if (IsAnsiTextTarget(T)) {
      size_t Len = size_t(std::max(N - Terminator, 0));
      static_cast<AnsiString*>(Out)->assign(static_cast<const char*>(B.P), Len);
    } else if (IsWideTextTarget(T)) {
      size_t Len = size_t(std::max(N / 2 - Terminator, 0));
      WideString& W = *static_cast<WideString*>(Out);
      W.resize(Len);
      std::memcpy(W.data(), B.P, Len * 2);
    } else {
      std::memcpy(Out, B.P, N);
    }
    return;
  }
  if (IsAnsiTextTarget(T)) {
    AnsiString& S = *static_cast<AnsiString*>(Out);
    const char* D = static_cast<const char*>(FData);
    if (IsBlobValueType(FDataType)) {
      S.assign(D, FDataSize);
    } else {
      size_t Max = size_t(std::max(FDataSize - 1, 0));
      const void* Z = std::memchr(D, 0, Max);
      S.assign(D, Z ? static_cast<const char*>(Z) - D : Max);
    }
    return;
  }
  if (IsWideTextTarget(T)) {
    WideString& W = *static_cast<WideString*>(Out);
    int32_t Bytes = IsBlobValueType(FDataType)
                        ? FDataSize
                        : std::min(ValueByteLength(FData, FDataSize, tftWideVarchar), FDataSize);
    W.resize(size_t(Bytes / 2));
    std::memcpy(W.data(), FData, size_t(Bytes / 2) * 2);
    return;
  }
  // Fixed-size types: never read or write past either side.
  int32_t Want = (T == tvtBytes || T == tvtVarBytes) ? FDataSize : ValueTypeDataSize(T, 0);
  int32_t N = std::min(FDataSize, Want);
  if (N < Want)
    std::memset(Out, 0, Want);
  std::memcpy(Out, FData, N);
}

void TTolvanVariant::SetAsExtended(long double V) {
  unsigned char B[16] = {};
  std::memcpy(B, &V, sizeof V < 16 ? sizeof V : 16);
  SetTypedValue(B, tvtExtended);
}

long double TTolvanVariant::GetAsExtended() const {
  unsigned char B[16] = {};
  GetTypedValue(B, tvtExtended);
  long double V;
  std::memcpy(&V, B, sizeof V);
  return V;
}

void TTolvanVariant::SetAsStoredDateTime(TTolvanStoredDateTime V) {
  unsigned char B[8];
  std::memcpy(B, &V.Date, 4);
  std::memcpy(B + 4, &V.Time, 4);
  SetTypedValue(B, tvtDateTime);
}

TTolvanStoredDateTime TTolvanVariant::GetAsStoredDateTime() const {
  unsigned char B[8];
  GetTypedValue(B, tvtDateTime);
  TTolvanStoredDateTime V;
  std::memcpy(&V.Date, B, 4);
  std::memcpy(&V.Time, B + 4, 4);
  return V;
}

void TTolvanVariant::SetAsBoolean(bool V) {
  int16_t L = V ? -1 : 0;
  SetTypedValue(&L, tvtLogical);
}

AnsiString TTolvanVariant::GetAsString() const {
  AnsiString S;
  if (!IsNull())
    GetTypedValue(&S, tvtString);
  return S;
}

WideString TTolvanVariant::GetAsWideString() const {
  WideString S;
  if (!IsNull())
    GetTypedValue(&S, tvtWideString);
  return S;
}

int32_t TTolvanVariant::GetLength() const {
  if (IsNull())
    return -1;
  if (IsBlobValueType(FDataType))
    return FDataSize;
  if (!IsPlainStringValueType(FDataType))
    return -1;
  int32_t Bytes = ValueByteLength(FData, FDataSize, FieldTypeOfValueType(FDataType));
  return IsWideValueType(FDataType) ? Bytes / 2 : Bytes;
}

// Stream form: type, null flag, then size and bytes for a value. A size read back must be what
// the type allows and no more than the stream still holds; text must end in its terminator.
void TTolvanVariant::SaveToStream(TStream& Stream) const {
  uint8_t Type = FDataType;
  uint8_t Null = IsNull() ? 0xFF : 0;
  WriteStreamBuffer(&Type, 1, Stream, 10179);
  WriteStreamBuffer(&Null, 1, Stream, 10180);
  if (Null)
    return;
  int32_t Size = FDataSize;
  WriteStreamBuffer(&Size, 4, Stream, 10181);
  WriteStreamBuffer(FData, Size, Stream, 10182);
}

namespace {

bool SizeFitsType(TTolvanValueType T, int32_t Size) {
  if (T < tvtChar || T > tvtVarBytes)
    return false;
  if (IsBlobValueType(T))
    return Size >= 0; // content alone: empty text cast to a memo has none
  if (T == tvtBytes || T == tvtVarBytes)
    return Size > 0;
  if (IsPlainStringValueType(T))
    return IsWideValueType(T) ? Size >= 2 && Size % 2 == 0 : Size >= 1;
  return Size == ValueTypeDataSize(T, 0);
}

} // namespace

void TTolvanVariant::LoadFromStream(TStream& Stream) {
  uint8_t Type = 0, Null = 0;
  ReadStreamBuffer(&Type, 1, Stream, 10183);
  ReadStreamBuffer(&Null, 1, Stream, 10184);
  if (Null) {
    Clear(static_cast<TTolvanValueType>(Type));
    return;
  }
  int32_t Size = 0;
  ReadStreamBuffer(&Size, 4, Stream, 10185);
  auto T = static_cast<TTolvanValueType>(Type);
  if (!SizeFitsType(T, Size) || Size > Stream.Size() - Stream.Position())
    RaiseStreamReadError(Stream, Size, 0, 10185);
  // BLOB content gets a terminator after it in the block, as values read from records have.
  int64_t Extra = IsBlobValueType(T) ? 2 : 0;
  TTolvanBlockGuard New{MemoryManager.AllocMem(int64_t(Size) + Extra)};
  ReadStreamBuffer(New.P, Size, Stream, 10186);
  if (IsPlainStringValueType(T)) {
    const uint8_t* B = static_cast<const uint8_t*>(New.P);
    bool Terminated = IsWideValueType(T) ? B[Size - 1] == 0 && B[Size - 2] == 0 : B[Size - 1] == 0;
    if (!Terminated)
      RaiseStreamReadError(Stream, Size, Size, 10186);
  }
  Clear(T);
  FData = New.Release();
  FDataSize = Size;
  FNullFlag = 0;
}

void TTolvanVariant::SetAsVariant(const Variant& V) {
  TVarType Code = V.VarType();
  switch (Code) {
  case varNull:
    SetNull();
    return;
  case varSmallint:
    SetAsSmallInt(static_cast<int16_t>(V.AsInteger()));
    return;
  case varInteger:
    SetAsInteger(V.AsInteger());
    return;
  case varSingle:
    SetAsSingle(V.AsSingle());
    return;
  case varDouble:
    SetAsDouble(V.AsDouble());
    return;
  case varCurrency:
    SetAsCurrency(V.AsCurrency().ToDouble());
    return;
  case varDate:
    SetAsDateTime(V.AsDateTime());
    return;
  case varOleStr:
    SetAsWideString(V.AsWideString());
    return;
  case varBoolean:
    SetAsBoolean(V.AsBoolean());
    return;
  case varShortInt:
    SetAsShortInt(static_cast<int8_t>(V.AsInteger()));
    return;
  case varByte:
    SetAsByte(static_cast<uint8_t>(V.AsInteger()));
    return;
  case varWord:
    SetAsWord(static_cast<uint16_t>(V.AsInteger()));
    return;
  case varLongWord:
    SetAsCardinal(static_cast<uint32_t>(V.AsInt64()));
    return;
  case varInt64:
    SetAsLargeInt(V.AsInt64());
    return;
  default:
    break;
  }
  if (Code == 72 || Code == varString || Code == 257 || (Code >= 272 && Code <= 2047)) {
    SetAsString(VarToStr(V));
    return;
  }
  if (Code == (varArray | varByte) && VarArrayDimCount(V) == 1) {
    int64_t N = int64_t(VarArrayHighBound(V, 1)) - VarArrayLowBound(V, 1) + 1;
    if (N > INT32_MAX)
      throw ERangeError(std::string(SysConst::SRangeError));
    if (N <= 0) {
      Clear(tvtBytes);
      return;
    }
    Variant Copy = V; // VarArrayLock needs a mutable array
    SetDataSize(static_cast<int32_t>(N));
    FDataType = tvtBytes;
    std::memcpy(FData, VarArrayLock(Copy), static_cast<size_t>(N));
    return;
  }
  throw ETolvanException::CreateFmt(30113, SUnsupportedVariantType, std::to_string(Code));
}

Variant TTolvanVariant::GetAsVariant() const {
  switch (FDataType) {
  case tvtChar:
  case tvtString:
    return Variant(GetAsString());
  case tvtWideChar:
  case tvtWideString:
    return Variant(GetAsWideString());
  case tvtSignedInt8:
    return Variant(GetAsShortInt());
  case tvtSignedInt16:
    return Variant(GetAsSmallInt());
  case tvtInteger:
    return Variant(GetAsInteger());
  case tvtSignedInt64:
    return Variant(GetAsLargeInt());
  case tvtUnsignedInt8:
    return Variant(GetAsByte());
  case tvtUnsignedInt16:
    return Variant(GetAsWord());
  case tvtUnsignedInt32:
    return Variant(GetAsCardinal());
  case tvtSingle:
  case tvtFloat:
  case tvtExtended:
  case tvtCurrency:
    return Variant(GetAsDouble());
  case tvtDate:
    return Variant(GetAsDate());
  case tvtTime:
    return Variant(GetAsTime());
  case tvtDateTime:
    return Variant::FromDateTime(GetAsDateTime());
  case tvtBLOB:
    return Variant(GetAsString());
  case tvtLogical:
    return Variant(GetAsBoolean());
  case tvtBytes: {
    if (IsNull())
      return Variant();
    Variant A = VarArrayCreate({0, FDataSize - 1}, varByte);
    std::memcpy(VarArrayLock(A), FData, static_cast<size_t>(FDataSize));
    return A;
  }
  default:
    if (IsNull())
      return Variant::Null();
    throw ETolvanException::CreateFmt(30114, SUnsupportedVariantType, ValueTypeToSQLName(FDataType));
  }
}

} // namespace tolvan
