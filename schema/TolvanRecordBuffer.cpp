#include "schema/TolvanRecordBuffer.h"

#include <algorithm>
#include <cstring>

#include "foundation/TolvanExcept.h"
#include "foundation/TolvanMessages.h"

namespace tolvan {

namespace {

enum class TColumnKind { Narrow, Wide, Blob, Fixed };

TColumnKind KindOf(const TTolvanFieldDef& Def) noexcept {
  const TTolvanValueType T = Def.BaseType();
  if (T == tvtChar || T == tvtString)
    return TColumnKind::Narrow;
  if (IsWideStringValueType(T))
    return TColumnKind::Wide;
  if (IsBlobValueType(T))
    return TColumnKind::Blob;
  return TColumnKind::Fixed;
}

const TTolvanFieldDef& CheckedField(int32_t FieldNo, const TTolvanFieldDefs& Defs, int32_t Code) {
  if (FieldNo < 0 || FieldNo >= Defs.Count())
    throw ETolvanException::CreateFmt(Code, SInvalidFieldNumber, FieldNo, Defs.Count());
  return Defs.Items(FieldNo);
}

[[noreturn]] void RaiseCopy(int32_t Code, int32_t FieldNo, const TTolvanFieldDef& Def) {
  throw ETolvanException::CreateFmt(Code, SErrorGettingFieldData, FieldNo, Def.BufferOffset(),
                                    Def.DataSize());
}

// The column lies inside the fields part of a layout.
bool LaidOut(const TTolvanFieldDef& Def, int32_t FieldsBegin, int32_t FieldsEnd) noexcept {
  const int64_t Offset = Def.BufferOffset();
  const int64_t Size = Def.DataSize();
  return Size > 0 && Offset >= FieldsBegin && Offset + Size <= FieldsEnd;
}

bool LaidOut(const TTolvanFieldDef& Def, const TTolvanFieldDefs& Defs) noexcept {
  return LaidOut(Def, Defs.NullBitmapSize(), Defs.RecordBufferSize());
}

// Reading: the column must be laid out and, when Wide is asked, be wide text (and otherwise
// not be).
const TTolvanFieldDef& ReadableField(int32_t FieldNo, const TTolvanFieldDefs& Defs, bool Wide,
                                     TColumnKind& Kind) {
  const TTolvanFieldDef& Def = CheckedField(FieldNo, Defs, ErrGetFieldDataFieldNo);
  Kind = KindOf(Def);
  if ((Kind == TColumnKind::Wide) != Wide || !LaidOut(Def, Defs))
    RaiseCopy(Kind == TColumnKind::Narrow ? ErrGetFieldDataTextCopy : ErrGetFieldDataCopy, FieldNo,
              Def);
  return Def;
}

// Writing: as reading, and a BLOB column takes no bytes here.
void CheckWritable(int32_t FieldNo, const TTolvanFieldDef& Def, int32_t FieldsBegin,
                   int32_t FieldsEnd, TColumnKind Kind, bool WideForm) {
  const bool Text = Kind == TColumnKind::Narrow || Kind == TColumnKind::Wide;
  const bool FormFits = WideForm ? Kind == TColumnKind::Wide : Kind != TColumnKind::Wide;
  if (Kind == TColumnKind::Blob || !FormFits || !LaidOut(Def, FieldsBegin, FieldsEnd))
    RaiseCopy(Text ? ErrSetFieldDataTextCopy : ErrSetFieldDataCopy, FieldNo, Def);
}

void CheckWritable(int32_t FieldNo, const TTolvanFieldDef& Def, const TTolvanFieldDefs& Defs,
                   TColumnKind Kind, bool WideForm) {
  CheckWritable(FieldNo, Def, Defs.NullBitmapSize(), Defs.RecordBufferSize(), Kind, WideForm);
}

constexpr bool IsHighSurrogate(uint16_t Unit) noexcept { return Unit >= 0xD800 && Unit <= 0xDBFF; }

// Units of wide text at P before the first zero unit, looking at no more than MaxUnits. P may
// be unaligned.
int32_t WideLength(const uint8_t* P, int32_t MaxUnits) noexcept {
  for (int32_t I = 0; I < MaxUnits; ++I)
    if (P[2 * I] == 0 && P[2 * I + 1] == 0)
      return I;
  return MaxUnits;
}

// Text of Length units cut to Room units, not splitting a surrogate pair.
int32_t CutWide(const uint8_t* P, int32_t Length, int32_t Room) noexcept {
  if (Length <= Room)
    return Length;
  int32_t Keep = Room;
  if (Keep > 0 && IsHighSurrogate(LoadLE<uint16_t>(P + 2 * (Keep - 1))))
    --Keep;
  return Keep;
}

// Kind checked, the column laid out and not BLOB; Source holds SourceSize bytes (may be nil
// when SourceSize is 0).
void WriteColumn(int32_t FieldNo, const TTolvanFieldDef& Def, TColumnKind Kind, const void* Source,
                 int32_t SourceSize, uint8_t* Buffer) {
  uint8_t* Column = Buffer + Def.BufferOffset();
  const int32_t Size = Def.DataSize();
  const auto* S = static_cast<const uint8_t*>(Source);
  const int32_t Available = std::max(SourceSize, 0);
  int32_t Keep; // bytes taken from the source
  if (Kind == TColumnKind::Narrow) {
    const void* Zero = Available ? std::memchr(S, 0, size_t(Available)) : nullptr;
    const int32_t Length = Zero ? int32_t(static_cast<const uint8_t*>(Zero) - S) : Available;
    if (Length == 0) {
      SetFieldNull(Buffer, FieldNo, true);
      return;
    }
    Keep = std::min(Length, Size - 1);
  } else if (Kind == TColumnKind::Wide) {
    const int32_t Length = Available ? WideLength(S, Available / 2) : 0;
    if (Length == 0) {
      SetFieldNull(Buffer, FieldNo, true);
      return;
    }
    Keep = 2 * CutWide(S, Length, Size / 2 - 1);
  } else {
    Keep = std::min(Available, Size);
  }
  // The source may lie in the same buffer.
  if (Keep > 0)
    std::memmove(Column, S, size_t(Keep));
  std::memset(Column + Keep, 0, size_t(Size - Keep));
  SetFieldNull(Buffer, FieldNo, false);
}

} // namespace

void SetAllNull(uint8_t* Buffer, int32_t FieldCount) noexcept {
  if (FieldCount > 0)
    std::memset(Buffer, 0xFF, (size_t(FieldCount) + 7) / 8);
}

bool GetFieldData(int32_t FieldNo, const TTolvanFieldDefs& Defs, void* Destination,
                  const uint8_t* Buffer) {
  TColumnKind Kind;
  const TTolvanFieldDef& Def = ReadableField(FieldNo, Defs, false, Kind);
  if (IsFieldNull(Buffer, FieldNo))
    return false;
  if (!Destination || Kind == TColumnKind::Blob)
    return true;
  const uint8_t* Column = Buffer + Def.BufferOffset();
  const int32_t Size = Def.DataSize();
  auto* D = static_cast<uint8_t*>(Destination);
  if (Kind == TColumnKind::Narrow) {
    const size_t Room = size_t(Size - 1);
    const void* Zero = std::memchr(Column, 0, Room);
    const size_t Length = Zero ? size_t(static_cast<const uint8_t*>(Zero) - Column) : Room;
    std::memcpy(D, Column, Length);
    D[Length] = 0;
  } else {
    std::memcpy(D, Column, size_t(Size));
  }
  return true;
}

bool GetFieldData(int32_t FieldNo, const TTolvanFieldDefs& Defs, WideString& Destination,
                  const uint8_t* Buffer) {
  TColumnKind Kind;
  const TTolvanFieldDef& Def = ReadableField(FieldNo, Defs, true, Kind);
  if (IsFieldNull(Buffer, FieldNo))
    return false;
  const uint8_t* Column = Buffer + Def.BufferOffset();
  const int32_t Room = Def.DataSize() / 2 - 1;
  const int32_t Length = WideLength(Column, Room);
  const int32_t Keep = Length < Room ? Length : CutWide(Column, Room + 1, Room);
  Destination.resize(size_t(Keep));
  std::memcpy(Destination.data(), Column, size_t(Keep) * 2);
  return true;
}

void SetFieldData(int32_t FieldNo, const TTolvanFieldDefs& Defs, const void* Source,
                  uint8_t* Buffer) {
  const TTolvanFieldDef& Def = CheckedField(FieldNo, Defs, ErrSetFieldDataFieldNo);
  if (!Source) {
    SetFieldNull(Buffer, FieldNo, true);
    return;
  }
  const TColumnKind Kind = KindOf(Def);
  CheckWritable(FieldNo, Def, Defs, Kind, false);
  int32_t SourceSize = Def.DataSize();
  // Only what the column can keep is looked at, and nothing past the terminator; one byte at
  // least, to tell an empty text from a cut one.
  if (Kind == TColumnKind::Narrow)
    SourceSize =
        int32_t(strnlen(static_cast<const char*>(Source), size_t(std::max(SourceSize - 1, 1))));
  WriteColumn(FieldNo, Def, Kind, Source, SourceSize, Buffer);
}

void SetFieldData(int32_t FieldNo, const TTolvanFieldDefs& Defs, std::u16string_view Source,
                  uint8_t* Buffer) {
  const TTolvanFieldDef& Def = CheckedField(FieldNo, Defs, ErrSetFieldDataFieldNo);
  const TColumnKind Kind = KindOf(Def);
  CheckWritable(FieldNo, Def, Defs, Kind, true);
  const size_t Units = std::min(Source.size(), size_t(INT32_MAX / 2));
  WriteColumn(FieldNo, Def, Kind, Source.data(), int32_t(Units * 2), Buffer);
}

void WriteFieldData(int32_t FieldNo, const TTolvanFieldDefs& Defs, const void* Source,
                    int32_t SourceSize, uint8_t* Buffer) {
  const TTolvanFieldDef& Def = CheckedField(FieldNo, Defs, ErrSetFieldDataFieldNo);
  if (!Source) {
    SetFieldNull(Buffer, FieldNo, true);
    return;
  }
  const TColumnKind Kind = KindOf(Def);
  CheckWritable(FieldNo, Def, Defs, Kind, Kind == TColumnKind::Wide);
  WriteColumn(FieldNo, Def, Kind, Source, SourceSize, Buffer);
}

void WriteFieldData(const TTolvanFieldDef& Def, int32_t FieldNo, int32_t FieldsBegin,
                    int32_t FieldsEnd, const void* Source, int32_t SourceSize, uint8_t* Buffer) {
  if (!Source) {
    SetFieldNull(Buffer, FieldNo, true);
    return;
  }
  const TColumnKind Kind = KindOf(Def);
  CheckWritable(FieldNo, Def, FieldsBegin, FieldsEnd, Kind, Kind == TColumnKind::Wide);
  WriteColumn(FieldNo, Def, Kind, Source, SourceSize, Buffer);
}

} // namespace tolvan
