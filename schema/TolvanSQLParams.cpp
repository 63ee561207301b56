#include "schema/TolvanSQLParams.h"

#include "classlib/ByteOrder.h"
#include "classlib/Format.h"
#include "foundation/TolvanCompression.h"
#include "foundation/TolvanConst.h"
#include "foundation/TolvanStrUtils.h"
#include "foundation/TolvanStreams.h"

namespace tolvan {

// --- TTolvanSQLParam -------------------------------------------------------------------------

void TTolvanSQLParam::SetName(std::string_view Value) {
  FName = Value;
  FNameHash = tolvan::NameHash(FName);
}

void TTolvanSQLParam::SaveToStream(TStream& Stream) const {
  const int32_t Length = static_cast<int32_t>(FName.size());
  WriteStreamValue<int32_t>(Stream, Length, 11192);
  if (Length > 0)
    WriteStreamBuffer(FName.data(), Length, Stream, 11193);
  TTolvanVariant::SaveToStream(Stream);
}

void TTolvanSQLParam::LoadFromStream(TStream& Stream) {
  const int32_t Length = ReadStreamValue<int32_t>(Stream, 11190);
  if (Length < 0 || Length > Stream.Size() - Stream.Position())
    RaiseStreamReadError(Stream, Length, 0, 11190);
  AnsiString Name(static_cast<size_t>(Length), '\0');
  if (Length > 0)
    ReadStreamBuffer(Name.data(), Length, Stream, 11191);
  // The value reads all or nothing; the name follows only once the value is in.
  TTolvanVariant::LoadFromStream(Stream);
  SetName(Name);
}

void TTolvanSQLParam::Assign(const TTolvanVariant& Source, bool Copy) {
  TTolvanVariant::Assign(Source, Copy);
  if (const auto* P = dynamic_cast<const TTolvanSQLParam*>(&Source); P && P != this) {
    FName = P->FName;
    FNameHash = P->FNameHash;
  }
}

// --- TTolvanSQLParams ------------------------------------------------------------------------

TTolvanSQLParam& TTolvanSQLParams::Items(int32_t Index) const {
  if (Index < 0 || Index >= Count())
    throw EListError(Format(SysConst::SListIndexError, Index));
  return *FItems[static_cast<size_t>(Index)];
}

TTolvanSQLParam& TTolvanSQLParams::Add() {
  return *FItems.emplace_back(std::make_unique<TTolvanSQLParam>());
}

int32_t TTolvanSQLParams::IndexOfName(std::string_view Name) const {
  const uint32_t Hash = tolvan::NameHash(Name);
  for (size_t I = 0; I < FItems.size(); ++I)
    if (FItems[I]->NameHash() == Hash && AnsiSameText(FItems[I]->Name(), Name))
      return static_cast<int32_t>(I);
  return -1;
}

TTolvanSQLParam* TTolvanSQLParams::FindByName(std::string_view Name) const {
  const int32_t I = IndexOfName(Name);
  return I < 0 ? nullptr : FItems[static_cast<size_t>(I)].get();
}

int32_t TTolvanSQLParams::IndexOfNameHash(uint32_t Hash) const {
  for (size_t I = 0; I < FItems.size(); ++I)
    if (FItems[I]->NameHash() == Hash)
      return static_cast<int32_t>(I);
  return -1;
}

uint32_t TTolvanSQLParams::Hash() const {
  if (FItems.empty())
    return 0;
  uint32_t Crc = RowHashSeed;
  for (const auto& P : FItems) {
    unsigned char Bytes[4];
    StoreLE<uint32_t>(Bytes, P->Hash());
    Crc = UpdateCrc32(Crc, Bytes, sizeof Bytes);
  }
  return Crc;
}

} // namespace tolvan
