#include "schema/TolvanConstraintDef.h"

#include <string>

#include "foundation/TolvanStreams.h"

namespace tolvan {

namespace {

[[noreturn]] void RaiseInvalidCast() { throw EInvalidCast(std::string(SysConst::SInvalidCast)); }

// --- name encodings -----------------------------------------------------------------------------

// 1 byte n+1, then the short string: its length byte n and n bytes.
void WriteBytePrefixed(TStream& Stream, const AnsiString& Name, int32_t PrefixCode,
                       int32_t BytesCode) {
  if (Name.size() >= size_t(MaxShortStringLength))
    throw ERangeError(std::string(SysConst::SRangeError));
  char Bytes[MaxShortStringLength];
  Bytes[0] = char(Name.size());
  Name.copy(Bytes + 1, Name.size());
  WriteStreamValue<uint8_t>(Stream, uint8_t(Name.size() + 1), PrefixCode);
  WriteStreamBuffer(Bytes, int64_t(Name.size() + 1), Stream, BytesCode);
}

AnsiString ReadBytePrefixed(TStream& Stream, int32_t PrefixCode, int32_t BytesCode) {
  const uint8_t Prefix = ReadStreamValue<uint8_t>(Stream, PrefixCode);
  if (Prefix == 0)
    RaiseStoredValueError(Stream, Prefix, PrefixCode);
  char Bytes[MaxShortStringLength];
  ReadStreamBuffer(Bytes, Prefix, Stream, BytesCode);
  if (uint8_t(Bytes[0]) != Prefix - 1)
    RaiseStoredValueError(Stream, uint8_t(Bytes[0]), BytesCode);
  return AnsiString(Bytes + 1, Prefix - 1);
}

// Int32 n+1, then the short string: its length byte n and n bytes.
void WriteInt32PrefixedShort(TStream& Stream, const AnsiString& Name, int32_t PrefixCode,
                             int32_t BytesCode) {
  if (Name.size() > size_t(MaxShortStringLength))
    throw ERangeError(std::string(SysConst::SRangeError));
  char Bytes[MaxShortStringLength + 1];
  Bytes[0] = char(Name.size());
  Name.copy(Bytes + 1, Name.size());
  WriteStreamValue<int32_t>(Stream, int32_t(Name.size() + 1), PrefixCode);
  WriteStreamBuffer(Bytes, int64_t(Name.size() + 1), Stream, BytesCode);
}

AnsiString ReadInt32PrefixedShort(TStream& Stream, int32_t PrefixCode, int32_t BytesCode) {
  const int32_t Prefix = ReadStreamValue<int32_t>(Stream, PrefixCode);
  if (Prefix < 1 || Prefix > MaxShortStringLength + 1)
    RaiseStoredValueError(Stream, Prefix, PrefixCode);
  char Bytes[MaxShortStringLength + 1];
  ReadStreamBuffer(Bytes, Prefix, Stream, BytesCode);
  if (uint8_t(Bytes[0]) != Prefix - 1)
    RaiseStoredValueError(Stream, uint8_t(Bytes[0]), BytesCode);
  return AnsiString(Bytes + 1, size_t(Prefix - 1));
}

// Int32 n, then n bytes.
void WriteInt32PrefixedChars(TStream& Stream, const AnsiString& Name, int32_t PrefixCode,
                             int32_t BytesCode) {
  if (Name.size() > size_t(MaxShortStringLength))
    throw ERangeError(std::string(SysConst::SRangeError));
  WriteStreamValue<int32_t>(Stream, int32_t(Name.size()), PrefixCode);
  if (!Name.empty())
    WriteStreamBuffer(Name.data(), int64_t(Name.size()), Stream, BytesCode);
}

AnsiString ReadInt32PrefixedChars(TStream& Stream, int32_t PrefixCode, int32_t BytesCode) {
  const int32_t Length = ReadStreamValue<int32_t>(Stream, PrefixCode);
  if (Length < 0 || Length > MaxShortStringLength)
    RaiseStoredValueError(Stream, Length, PrefixCode);
  char Bytes[MaxShortStringLength];
  if (Length > 0)
    ReadStreamBuffer(Bytes, Length, Stream, BytesCode);
  return AnsiString(Bytes, size_t(Length));
}

// --- the three references of the not-null and check forms ---------------------------------------

// Codes of the three ids, then of the three names (prefix and bytes each), in stored order.
struct TReferenceCodes {
  int32_t Ids[3];
  int32_t Names[6];
};

constexpr TReferenceCodes NotNullWriteCodes{{10240, 10241, 10242},
                                            {10243, 10244, 10245, 10246, 10247, 10248}};
constexpr TReferenceCodes NotNullReadCodes{{10249, 10250, 10251},
                                           {10252, 10253, 10254, 10255, 10256, 10257}};
constexpr TReferenceCodes CheckWriteCodes{{10227, 10228, 10229},
                                          {10221, 10222, 10223, 10224, 10225, 10226}};
constexpr TReferenceCodes CheckReadCodes{{10230, 10231, 10232},
                                         {10233, 10234, 10235, 10236, 10237, 10238}};

void WriteReferences(TStream& Stream, const TTolvanObjectRef& R1, const TTolvanObjectRef& R2,
                     const TTolvanObjectRef& Column, const TReferenceCodes& Codes) {
  const TTolvanObjectRef* Refs[3] = {&R1, &R2, &Column};
  for (int I = 0; I < 3; ++I)
    WriteStreamValue<int32_t>(Stream, Refs[I]->ObjectID(), Codes.Ids[I]);
  for (int I = 0; I < 3; ++I)
    WriteBytePrefixed(Stream, Refs[I]->Name(), Codes.Names[2 * I], Codes.Names[2 * I + 1]);
}

void ReadReferences(TStream& Stream, TTolvanObjectRef& R1, TTolvanObjectRef& R2,
                    TTolvanObjectRef& Column, const TReferenceCodes& Codes) {
  TTolvanObjectRef* Refs[3] = {&R1, &R2, &Column};
  for (int I = 0; I < 3; ++I)
    Refs[I]->SetObjectID(ReadStreamValue<int32_t>(Stream, Codes.Ids[I]));
  for (int I = 0; I < 3; ++I)
    Refs[I]->SetName(ReadBytePrefixed(Stream, Codes.Names[2 * I], Codes.Names[2 * I + 1]));
}

} // namespace

// --- TTolvanConstraintDef -----------------------------------------------------------------------

void TTolvanConstraintDef::Assign(const TTolvanMetaObjectDef& Source) {
  const auto* S = dynamic_cast<const TTolvanConstraintDef*>(&Source);
  if (!S)
    RaiseInvalidCast();
  // The type stays the class's own: a primary copied from a unique constraint is still written
  // and read back as a primary, and a reader that goes by the type finds the class it expects.
  TTolvanMetaObjectDef::Assign(Source);
}

// --- not null -----------------------------------------------------------------------------------

TTolvanConstraintDefNotNull::TTolvanConstraintDefNotNull() : TTolvanConstraintDef(tctNotNull) {
  SetObjectID(0);
}

void TTolvanConstraintDefNotNull::Assign(const TTolvanMetaObjectDef& Source) {
  const auto* S = dynamic_cast<const TTolvanConstraintDefNotNull*>(&Source);
  if (!S)
    RaiseInvalidCast();
  TTolvanConstraintDef::Assign(Source);
  FReserved1 = S->FReserved1;
  FReserved2 = S->FReserved2;
  FColumn = S->FColumn;
}

void TTolvanConstraintDefNotNull::LoadFromStream(TStream& Stream) {
  TTolvanMetaObjectDef::LoadFromStream(Stream);
  ReadReferences(Stream, FReserved1, FReserved2, FColumn, NotNullReadCodes);
}

void TTolvanConstraintDefNotNull::SaveToStream(TStream& Stream) const {
  TTolvanMetaObjectDef::SaveToStream(Stream);
  WriteReferences(Stream, FReserved1, FReserved2, FColumn, NotNullWriteCodes);
}

// --- check --------------------------------------------------------------------------------------

TTolvanConstraintDefCheck::TTolvanConstraintDefCheck() : TTolvanConstraintDef(tctCheck) {
  SetObjectID(0);
}

void TTolvanConstraintDefCheck::Assign(const TTolvanMetaObjectDef& Source) {
  const auto* S = dynamic_cast<const TTolvanConstraintDefCheck*>(&Source);
  if (!S)
    RaiseInvalidCast();
  if (S == this)
    return;
  FCheckMinValue.Assign(S->FCheckMinValue, true);
  FCheckMaxValue.Assign(S->FCheckMaxValue, true);
  TTolvanConstraintDef::Assign(Source);
  FReserved1 = S->FReserved1;
  FReserved2 = S->FReserved2;
  FColumn = S->FColumn;
}

void TTolvanConstraintDefCheck::LoadFromStream(TStream& Stream) {
  TTolvanMetaObjectDef::LoadFromStream(Stream);
  ReadReferences(Stream, FReserved1, FReserved2, FColumn, CheckReadCodes);
  FCheckMinValue.LoadFromStream(Stream);
  FCheckMaxValue.LoadFromStream(Stream);
}

void TTolvanConstraintDefCheck::SaveToStream(TStream& Stream) const {
  TTolvanMetaObjectDef::SaveToStream(Stream);
  WriteReferences(Stream, FReserved1, FReserved2, FColumn, CheckWriteCodes);
  FCheckMinValue.SaveToStream(Stream);
  FCheckMaxValue.SaveToStream(Stream);
}

// --- unique and primary -------------------------------------------------------------------------

void TTolvanConstraintDefUnique::Assign(const TTolvanMetaObjectDef& Source) {
  const auto* S = dynamic_cast<const TTolvanConstraintDefUnique*>(&Source);
  if (!S)
    RaiseInvalidCast();
  if (S == this)
    return;
  FColumns = S->FColumns;
  TTolvanConstraintDef::Assign(Source);
  FReserved1 = S->FReserved1;
  FReserved2 = S->FReserved2;
  FIndex = S->FIndex;
}

void TTolvanConstraintDefUnique::LoadFromStream(TStream& Stream) {
  TTolvanMetaObjectDef::LoadFromStream(Stream);
  FReserved1.SetObjectID(ReadStreamValue<int32_t>(Stream, 30303));
  FReserved2.SetObjectID(ReadStreamValue<int32_t>(Stream, 30304));
  FIndex.SetObjectID(ReadStreamValue<int32_t>(Stream, 30317));
  FReserved1.SetName(ReadInt32PrefixedShort(Stream, 30305, 30306));
  FReserved2.SetName(ReadInt32PrefixedShort(Stream, 30307, 30308));
  FIndex.SetName(ReadInt32PrefixedShort(Stream, 30396, 30398));
  const int32_t Count = ReadStreamValue<int32_t>(Stream, 30309);
  if (Count < 0)
    RaiseStoredValueError(Stream, Count, 30309);
  // Each column is made once it has been read: the stored count alone allocates nothing.
  FColumns.clear();
  for (int32_t I = 0; I < Count; ++I) {
    const int32_t Id = ReadStreamValue<int32_t>(Stream, 30310);
    FColumns.emplace_back(ReadInt32PrefixedShort(Stream, 30311, 30312), Id);
  }
}

void TTolvanConstraintDefUnique::SaveToStream(TStream& Stream) const {
  TTolvanMetaObjectDef::SaveToStream(Stream);
  WriteStreamValue<int32_t>(Stream, FReserved1.ObjectID(), 30313);
  WriteStreamValue<int32_t>(Stream, FReserved2.ObjectID(), 30314);
  WriteStreamValue<int32_t>(Stream, FIndex.ObjectID(), 30318);
  WriteInt32PrefixedShort(Stream, FReserved1.Name(), 30315, 30316);
  WriteInt32PrefixedShort(Stream, FReserved2.Name(), 30317, 30318);
  WriteInt32PrefixedShort(Stream, FIndex.Name(), 30400, 30401);
  WriteStreamValue<int32_t>(Stream, int32_t(FColumns.size()), 30394);
  for (const TTolvanObjectRef& Column : FColumns) {
    WriteStreamValue<int32_t>(Stream, Column.ObjectID(), 30395);
    WriteInt32PrefixedShort(Stream, Column.Name(), 30397, 30399);
  }
}

// --- foreign key and action record --------------------------------------------------------------

void TTolvanConstraintDefForeignKeyAction::Assign(const TTolvanMetaObjectDef& Source) {
  const auto* S = dynamic_cast<const TTolvanConstraintDefForeignKeyAction*>(&Source);
  if (!S)
    RaiseInvalidCast();
  if (S == this)
    return;
  FColumns = S->FColumns;
  TTolvanConstraintDef::Assign(Source);
  FTable = S->FTable;
  FPartner = S->FPartner;
  FOnDelete = S->FOnDelete;
  FOnUpdate = S->FOnUpdate;
  FMatchType = S->FMatchType;
}

void TTolvanConstraintDefForeignKeyAction::LoadFromStream(TStream& Stream) {
  TTolvanMetaObjectDef::LoadFromStream(Stream);
  FTable.SetName(ReadInt32PrefixedChars(Stream, 11398, 11399));
  FTable.SetObjectID(ReadStreamValue<int32_t>(Stream, 11400));
  FPartner.SetName(ReadInt32PrefixedChars(Stream, 11439, 11440));
  FPartner.SetObjectID(ReadStreamValue<int32_t>(Stream, 11441));
  FOnDelete = TTolvanForeignKeyAction(ReadStreamValue<uint8_t>(Stream, 11402));
  FOnUpdate = TTolvanForeignKeyAction(ReadStreamValue<uint8_t>(Stream, 11403));
  FMatchType = ReadStreamValue<uint8_t>(Stream, 11401);
  const int32_t Count = ReadStreamValue<int32_t>(Stream, 11404);
  if (Count < 0)
    RaiseStoredValueError(Stream, Count, 11404);
  FColumns.clear();
  for (int32_t I = 0; I < Count; ++I) {
    const int32_t Id = ReadStreamValue<int32_t>(Stream, 11405);
    FColumns.emplace_back(ReadInt32PrefixedChars(Stream, 11406, 11407), Id);
  }
}

void TTolvanConstraintDefForeignKeyAction::SaveToStream(TStream& Stream) const {
  TTolvanMetaObjectDef::SaveToStream(Stream);
  WriteInt32PrefixedChars(Stream, FTable.Name(), 11408, 11409);
  WriteStreamValue<int32_t>(Stream, FTable.ObjectID(), 11410);
  WriteInt32PrefixedChars(Stream, FPartner.Name(), 11436, 11437);
  WriteStreamValue<int32_t>(Stream, FPartner.ObjectID(), 11438);
  WriteStreamValue<uint8_t>(Stream, FOnDelete, 11412);
  WriteStreamValue<uint8_t>(Stream, FOnUpdate, 11413);
  WriteStreamValue<uint8_t>(Stream, FMatchType, 11411);
  WriteStreamValue<int32_t>(Stream, int32_t(FColumns.size()), 11414);
  for (const TTolvanObjectRef& Column : FColumns) {
    WriteStreamValue<int32_t>(Stream, Column.ObjectID(), 11415);
    WriteInt32PrefixedChars(Stream, Column.Name(), 11416, 11417);
  }
}

} // namespace tolvan
