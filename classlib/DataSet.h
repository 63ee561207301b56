// DataSet.h: TDataSet, the record-buffer dataset that fields and definitions work through.
//
// A dataset has a state, its fields (TFields, in order) and its field definitions (TFieldDefs).
// The engine's datasets derive from it and override the hooks below; each hook has a neutral
// default, so a dataset overrides only what it stores:
//
//   hook                 called by                          default
//   ReadFieldData        TField::GetData                    no value
//   WriteFieldData       TField::SetData                    refuses outside the write states,
//                                                           then validates; stores nothing
//   ConvertFieldData     GetData/SetData of value forms     the date types, time stamps and
//                                                           wide strings (DBFields.h)
//   OpenBlobStream       TBlobField accessors               EDatabaseError
//   IsIndexField         TField::IsIndexField               false
//   ReadFieldDefs        TFieldDefs::Update                 LoadFieldDefs
//   LoadFieldDefs        ReadFieldDefs                      nothing
//   RefreshIndexDefs     TIndexDefs::Update                 nothing
//   DefinitionsChanged   a user's change of a definition    nothing
//
// The framework itself refuses no field write by state: the dataset's WriteFieldData decides,
// and the write states are dsEdit to dsNewValue and dsInternalCalc (CanWriteFields).
//
// Ownership: a dataset owns its TFields list and its TFieldDefs; the fields themselves belong to
// their owners. Freeing a dataset leaves the fields it does not own without a dataset.
//
// Threads: a dataset, its fields and definitions belong to one thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

#include "classlib/Classes.h"
#include "classlib/Components.h"
#include "classlib/DB.h"
#include "classlib/DBConsts.h"
#include "classlib/DBDefs.h"
#include "classlib/DBFields.h"

namespace tolvan {

// The states in which fields may be written.
constexpr bool CanWriteFields(TDataSetState State) noexcept {
  return (State >= dsEdit && State <= dsNewValue) || State == dsInternalCalc;
}

class TDataSet : public TComponent {
public:
  TDataSet();

  TDataSetState State() const noexcept { return FState; }
  bool Active() const noexcept { return FState != dsInactive; }
  // EDatabaseError unless inactive / active.
  void CheckInactive() const;
  void CheckActive() const;

  TFields& Fields() noexcept { return FFields; }
  const TFields& Fields() const noexcept { return FFields; }
  TFieldDefs& FieldDefs() noexcept { return *FFieldDefs; }
  const TFieldDefs& FieldDefs() const noexcept { return *FFieldDefs; }
  TField* FindField(std::string_view FieldName) const { return FFields.FindField(FieldName); }
  TField& FieldByName(std::string_view FieldName) const { return FFields.FieldByName(FieldName); }

  // Field data in native form (DBFields.h). Buffer may be nil: only whether there is a value.
  virtual bool ReadFieldData(const TField& Field, void* Buffer);
  // A nil Buffer makes the field null.
  virtual void WriteFieldData(TField& Field, const void* Buffer);
  virtual void ConvertFieldData(const TField& Field, const void* Source, void* Dest, bool ToNative);
  virtual std::unique_ptr<TStream> OpenBlobStream(TField& Field, TBlobStreamMode Mode);
  virtual bool IsIndexField(const TField& Field);

  virtual void ReadFieldDefs() { LoadFieldDefs(); }
  virtual void LoadFieldDefs() {}
  virtual void RefreshIndexDefs() {}
  virtual void DefinitionsChanged() {}

  // Tells the dataset what happened; a field change fires the field's OnChange unless the
  // state computes values (dsCalcFields, dsFilter, dsNewValue, dsInternalCalc).
  void DataEvent(TDataEvent Event, TField* Field = nullptr);

protected:
  ~TDataSet() override;

  void SetState(TDataSetState Value) noexcept { FState = Value; }

private:
  friend class TDefCollection;

  TDataSetState FState = dsInactive;
  // Definitions refreshing themselves from the dataset: their changes are not the user's.
  int32_t FDefinitionsUpdating = 0;
  TFields FFields;
  std::unique_ptr<TFieldDefs> FFieldDefs;
};

} // namespace tolvan
