#include "storage/TolvanSequenceManager.h"

#include <string>

#include "classlib/SysUtils.h"
#include "foundation/TolvanExcept.h"
#include "foundation/TolvanMessages.h"
#include "foundation/TolvanTypes.h"

namespace tolvan {

namespace {

constexpr int32_t ErrSequenceOverflow = 30009;
// Suffixes 0 .. 65534 tell colliding names apart.
constexpr int32_t SequenceSuffixRange = 65535;
// Random suffixes tried before the free ones are searched in order.
constexpr int32_t RandomSuffixAttempts = 256;

bool FitsValueType(int64_t Value, TTolvanValueType ValueType) noexcept {
  switch (ValueType) {
  case tvtSignedInt8:
    return Value >= INT8_MIN && Value <= INT8_MAX;
  case tvtSignedInt16:
    return Value >= INT16_MIN && Value <= INT16_MAX;
  case tvtInteger:
    return Value >= INT32_MIN && Value <= INT32_MAX;
  case tvtSignedInt64:
    return true;
  case tvtUnsignedInt8:
    return Value >= 0 && Value <= UINT8_MAX;
  case tvtUnsignedInt16:
    return Value >= 0 && Value <= UINT16_MAX;
  case tvtUnsignedInt32:
    return Value >= 0 && Value <= int64_t(UINT32_MAX);
  default:
    return false;
  }
}

// Base plus the suffix, cut so that the whole fits a stored name and the suffix survives.
AnsiString WithSuffix(const AnsiString& Base, int32_t Suffix) {
  const std::string Digits = std::to_string(Suffix);
  return Base.substr(0, size_t(MaxShortStringLength) - Digits.size()) + Digits;
}

} // namespace

TTolvanSequenceDef& TTolvanBaseSequenceManager::GetSequence(int32_t SequenceID) {
  TTolvanMetaObjectDef* Def = FSequenceDefs.FindByID(SequenceID);
  if (!Def)
    throw ETolvanException::CreateFmt(ErrGetSequenceNotFound, SSequenceNotFound, SequenceID);
  return static_cast<TTolvanSequenceDef&>(*Def);
}

int64_t TTolvanBaseSequenceManager::NextValue(TTolvanBaseSession* Session, int32_t SequenceID) {
  return Draw(Session, SequenceID, tvtSignedInt64);
}

int64_t TTolvanBaseSequenceManager::NextValueInRange(TTolvanBaseSession* Session,
                                                     int32_t SequenceID,
                                                     TTolvanValueType ValueType) {
  return Draw(Session, SequenceID, ValueType);
}

int64_t TTolvanBaseSequenceManager::Draw(TTolvanBaseSession* Session, int32_t SequenceID,
                                         TTolvanValueType ValueType) {
  auto* Def = static_cast<TTolvanSequenceDef*>(FSequenceDefs.FindByID(SequenceID));
  if (!Def)
    throw ETolvanException::CreateFmt(ErrNextValueSequenceNotFound, SSequenceNotFound, SequenceID);
  const int64_t Value = Def->NextValue();
  if (!FitsValueType(Value, ValueType))
    throw ETolvanException::CreateFmt(ErrSequenceOverflow, SSequenceOverflow, Def->Name());
  if (Session)
    SetSessionSequenceValue(*Session, Def->Name(), Value);
  return Value;
}

int64_t TTolvanBaseSequenceManager::CurrentValue(TTolvanBaseSession* Session, int32_t SequenceID) {
  auto* Def = static_cast<TTolvanSequenceDef*>(FSequenceDefs.FindByID(SequenceID));
  if (!Def)
    throw ETolvanException::CreateFmt(ErrCurrentValueSequenceNotFound, SSequenceNotFound,
                                      SequenceID);
  const TTolvanSessionNamedObjectSequenceValue* Value =
      Session ? FindSessionNamedObject(*Session, Def->Name()) : nullptr;
  if (!Value)
    throw ETolvanException::CreateFmt(ErrNoSequenceLastValue, SNoSequenceLastValue, Def->Name());
  return Value->Value();
}

AnsiString TTolvanBaseSequenceManager::MakeSequenceName(std::string_view FieldName,
                                                        std::string_view TableName) const {
  AnsiString Base = "$S_Autoinc$";
  Base.append(TableName).append("$").append(FieldName);
  // A definition keeps at most 255 bytes of its name, so that is what collides.
  if (FSequenceDefs.IndexOfName(CutShortString(Base)) < 0)
    return Base;
  for (int32_t I = 0; I < RandomSuffixAttempts; ++I) {
    AnsiString Name = WithSuffix(Base, Random(SequenceSuffixRange));
    if (FSequenceDefs.IndexOfName(Name) < 0)
      return Name;
  }
  // Hardly ever reached: the collection holds most suffixes of this base already.
  for (int32_t Suffix = 0; Suffix < SequenceSuffixRange; ++Suffix) {
    AnsiString Name = WithSuffix(Base, Suffix);
    if (FSequenceDefs.IndexOfName(Name) < 0)
      return Name;
  }
  throw ERangeError(std::string(SysConst::SRangeError));
}

} // namespace tolvan
