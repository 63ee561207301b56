#include "components/TolvanDataSet.h"

#include "foundation/TolvanExcept.h"

namespace tolvan {

namespace {
[[noreturn]] void NotYet() {
  throw ETolvanException::Create(11394, "Error - operation is not supported");
}
} // namespace

bool TTolvanDataSet::ReadFieldData(const TField& Field, void* Buffer) {
  return TDataSet::ReadFieldData(Field, Buffer);
}
void TTolvanDataSet::WriteFieldData(TField& Field, const void* Buffer) {
  TDataSet::WriteFieldData(Field, Buffer);
}
void TTolvanDataSet::ConvertFieldData(const TField& Field, const void* Source, void* Dest,
                                      bool ToNative) {
  TDataSet::ConvertFieldData(Field, Source, Dest, ToNative);
}
void TTolvanDataSet::ConvertDateTimeData(const TField&, const void*, bool, void*) { NotYet(); }
std::unique_ptr<TStream> TTolvanDataSet::OpenBlobStream(TField& Field, TBlobStreamMode Mode) {
  return TDataSet::OpenBlobStream(Field, Mode);
}
TTolvanStream* TTolvanDataSet::OpenCursorBlob(TField&, TBlobStreamMode) { NotYet(); }
void TTolvanDataSet::CaptureValues(const TTolvanArrayOfTTolvanVariant&) { NotYet(); }
void TTolvanDataSet::ReleaseValues(const TTolvanArrayOfTTolvanVariant& Values) noexcept {
  for (TTolvanVariant* Value : Values)
    Value->Clear();
}
void TTolvanDataSet::GetFieldValue(TTolvanVariant&, int32_t, bool, bool) { NotYet(); }
void TTolvanDataSet::SetFieldValue(TTolvanVariant&, int32_t, bool) { NotYet(); }
void TTolvanDataSet::ReleaseBlobField(TField&) {}

} // namespace tolvan
