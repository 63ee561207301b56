#include "classlib/DataSet.h"

#include <cstring>

#include "classlib/ByteOrder.h"
#include "classlib/Format.h"

namespace tolvan {

TDataSet::TDataSet() : FFields(this), FFieldDefs(std::make_unique<TFieldDefs>(this)) {}

TDataSet::~TDataSet() { FFields.DetachAll(); }

void TDataSet::CheckInactive() const {
  if (Active())
    DatabaseError(DBConsts::SDataSetOpen, this);
}

void TDataSet::CheckActive() const {
  if (!Active())
    DatabaseError(DBConsts::SDataSetClosed, this);
}

bool TDataSet::ReadFieldData(const TField& Field, void* Buffer) {
  (void)Field;
  (void)Buffer;
  return false;
}

void TDataSet::WriteFieldData(TField& Field, const void* Buffer) {
  if (!CanWriteFields(FState))
    DatabaseError(DBConsts::SNotEditing, this);
  Field.Validate(Buffer);
}

void TDataSet::ConvertFieldData(const TField& Field, const void* Source, void* Dest,
                                bool ToNative) {
  const TFieldType Type = Field.DataType();
  switch (Type) {
  case ftDate:
  case ftTime:
  case ftDateTime:
    if (ToNative)
      DateTimeToNative(Type, LoadLE<double>(Source), Dest);
    else
      StoreLE(Dest, NativeToDateTime(Type, Source));
    return;
  case ftWideString:
    // The native form points into the value, which outlives the write it is made for.
    if (ToNative) {
      StoreLE(Dest, static_cast<const WideString*>(Source)->c_str());
    } else {
      const char16_t* Text = LoadLE<const char16_t*>(Source);
      static_cast<WideString*>(Dest)->assign(Text ? Text : u"");
    }
    return;
  default:
    std::memcpy(Dest, Source, static_cast<size_t>(Field.DataSize()));
    return;
  }
}

std::unique_ptr<TStream> TDataSet::OpenBlobStream(TField& Field, TBlobStreamMode Mode) {
  (void)Mode;
  DatabaseError(Format(DBConsts::SNoBlobStream, Field.DisplayName()), this);
}

bool TDataSet::IsIndexField(const TField& Field) {
  (void)Field;
  return false;
}

void TDataSet::DataEvent(TDataEvent Event, TField* Field) {
  if (Event != deFieldChange || !Field)
    return;
  switch (FState) {
  case dsCalcFields:
  case dsFilter:
  case dsNewValue:
  case dsInternalCalc:
    return;
  default:
    Field->Change();
  }
}

} // namespace tolvan
