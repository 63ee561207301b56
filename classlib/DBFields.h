// DBFields.h: field objects, the columns of a dataset as seen by code that reads and writes
// them, and the list of a dataset's fields.
//
// A TField is a component of one class per TFieldType. It reads and writes its value through
// its dataset's ReadFieldData / WriteFieldData in the field's native form, and turns that into
// its value form with the dataset's ConvertFieldData where the two differ:
//
//   type                          class               native form (DataSize bytes)
//   ftString 1, ftFixedChar 23    TStringField        Size + 1: zero-terminated Windows-1252
//   ftSmallint 2                  TSmallintField      2: int16
//   ftInteger 3, ftAutoInc 14     TIntegerField,      4: int32
//                                 TAutoIncField
//   ftWord 4                      TWordField          2: uint16
//   ftLargeint 25                 TLargeintField      8: int64
//   ftBoolean 5                   TBooleanField       2: int16, non-zero true; true written -1
//   ftFloat 6, ftCurrency 7       TFloatField,        8: double (currency not scaled)
//                                 TCurrencyField
//   ftDate 9                      TDateField          4: int32 day, 0001-01-01 = 1
//   ftTime 10                     TTimeField          4: int32 milliseconds of the day
//   ftDateTime 11                 TDateTimeField      8: double milliseconds from 0001-01-01
//                                                     00:00 counted as day 1
//   ftTimeStamp 36                TSQLTimeStampField  16: TSQLTimeStamp (below)
//   ftBytes 12, ftVarBytes 13     TBytesField,        Size raw bytes, no length prefix
//                                 TVarBytesField
//   ftWideString 24               TWideStringField    a pointer to zero-terminated UTF-16
//   ftBlob 15, ftGraphic 17,      TBlobField          0: the value lives in a BLOB stream
//   ftFmtMemo 18, 19-21
//   ftMemo 16                     TMemoField          0: the same
//
// The value form equals the native form except: the date types take a TDateTime (double),
// ftWideString a WideString object. GetData(buffer, false) and SetData(buffer, false) exchange
// value forms; the conversion goes through a 16-byte stack scratch, zero-filled before the
// dataset reads into it, so a column narrower than the native form leaves no stale bytes.
// Native buffers have no alignment.
//
// Accessors: each class reads and writes its own type directly; every other As* follows
// Variant's rules (text parsed with the format settings, floats rounded half to even, True
// reads as -1). A null field reads as 0, "", False or Null. A value the field cannot hold
// raises EDatabaseError naming the field and the value: narrowing integer writes and
// non-finite dates are refused, never truncated; strings keep at most Size bytes and byte
// values longer than Size are refused (shorter ones are zero-padded).
//
// Validate(buffer) runs OnValidate with the new native value visible to the field's getters;
// the dataset calls it from WriteFieldData. OnChange fires through the dataset's field-change
// data event.
//
// Ownership: a field is a component owned by its owner (often its dataset); its dataset lists
// it in Fields without owning it. A field freed leaves its dataset's list; a dataset freed
// leaves its fields without a dataset.
//
// Threads: a field belongs to its dataset's thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "classlib/Classes.h"
#include "classlib/Components.h"
#include "classlib/DB.h"
#include "classlib/DBConsts.h"
#include "classlib/Variants.h"

namespace tolvan {

class TDataSet;
class TField;

// The value form of ftTimeStamp, stored packed:
//
//   offset  width  field
//   0       2      Year (int16)
//   2       2      Month
//   4       2      Day
//   6       2      Hour
//   8       2      Minute
//   10      2      Second
//   12      4      Fractions: milliseconds
struct TSQLTimeStamp {
  int16_t Year = 0;
  uint16_t Month = 0, Day = 0, Hour = 0, Minute = 0, Second = 0;
  uint32_t Fractions = 0;

  friend bool operator==(const TSQLTimeStamp&, const TSQLTimeStamp&) = default;
};
inline constexpr int32_t SQLTimeStampSize = 16;

TSQLTimeStamp LoadSQLTimeStamp(const void* P) noexcept;
void StoreSQLTimeStamp(void* P, const TSQLTimeStamp& Value) noexcept;
// A stamp that is no calendar moment, or a TDateTime outside 0001-01-01 .. 9999-12-31, raises
// EConvertError.
TDateTime SQLTimeStampToDateTime(const TSQLTimeStamp& Value);
TSQLTimeStamp DateTimeToSQLTimeStamp(TDateTime Value);

// The native forms of ftDate, ftTime and ftDateTime (see the table above). The time of day is
// the magnitude of the fraction rounded half to even to a millisecond; a day that rounds up to
// 24:00 is 0 in ftTime and the next midnight in ftDateTime. NaN, infinities and day numbers
// beyond int32 raise EConvertError (the Try form answers false and writes nothing); so does
// another type.
bool TryDateTimeToNative(TFieldType DataType, TDateTime Value, void* Native) noexcept;
void DateTimeToNative(TFieldType DataType, TDateTime Value, void* Native);
TDateTime NativeToDateTime(TFieldType DataType, const void* Native);

// The types whose value form differs from the native form.
bool FieldTypeNeedsConversion(TFieldType DataType) noexcept;

using TFieldNotifyEvent = std::function<void(TField& Sender)>;

class TField : public TComponent {
public:
  TFieldType DataType() const noexcept { return FDataType; }
  const AnsiString& FieldName() const noexcept { return FFieldName; }
  void SetFieldName(std::string_view Value);
  const AnsiString& DisplayLabel() const noexcept { return FDisplayLabel; }
  void SetDisplayLabel(std::string_view Value) { FDisplayLabel = Value; }
  // The label, or the field name without one.
  const AnsiString& DisplayName() const noexcept {
    return FDisplayLabel.empty() ? FFieldName : FDisplayLabel;
  }
  TFieldKind FieldKind() const noexcept { return FFieldKind; }
  void SetFieldKind(TFieldKind Value);
  // Columns count from 1; calculated and lookup fields -1, -2, ... The dataset sets it.
  int32_t FieldNo() const noexcept { return FFieldNo; }
  void SetFieldNo(int32_t Value) noexcept { FFieldNo = Value; }
  // Characters or bytes for strings and bytes; fixed-size types keep 0 whatever is asked.
  int32_t Size() const noexcept { return FSize; }
  void SetSize(int32_t Value);
  // Bytes of the native form.
  virtual int32_t DataSize() const noexcept = 0;
  // The position in the dataset's calculated-field area; the dataset sets it.
  int32_t Offset() const noexcept { return FOffset; }
  void SetOffset(int32_t Value) noexcept { FOffset = Value; }
  bool Required() const noexcept { return FRequired; }
  void SetRequired(bool Value) noexcept { FRequired = Value; }
  bool Calculated() const noexcept { return FFieldKind == fkCalculated; }
  bool Lookup() const noexcept { return FFieldKind == fkLookup; }

  TDataSet* DataSet() const noexcept { return FDataSet; }
  // Leaves the old dataset's Fields and joins the new one's; both must be inactive.
  void SetDataSet(TDataSet* Value);
  bool IsIndexField() const;

  // Native form unless NativeFormat is false. A nil Buffer only asks whether there is a value.
  // Without a dataset: EDatabaseError.
  bool GetData(void* Buffer, bool NativeFormat = true) const;
  // A nil Buffer makes the field null.
  void SetData(const void* Buffer, bool NativeFormat = true);
  bool IsNull() const { return !GetData(nullptr); }
  void Clear() { SetData(nullptr); }
  // Runs OnValidate with Buffer (native form, nil for null) as the value its getters see.
  void Validate(const void* Buffer);

  // Null when null.
  virtual Variant Value() const = 0;
  // Null or Empty clears the field.
  virtual void SetValue(const Variant& Value) = 0;
  virtual AnsiString AsString() const;
  virtual void SetAsString(std::string_view Value);
  virtual WideString AsWideString() const;
  virtual void SetAsWideString(std::u16string_view Value);
  virtual int32_t AsInteger() const;
  virtual void SetAsInteger(int32_t Value);
  virtual int64_t AsLargeInt() const;
  virtual void SetAsLargeInt(int64_t Value);
  virtual double AsFloat() const;
  virtual void SetAsFloat(double Value);
  virtual Currency AsCurrency() const;
  virtual void SetAsCurrency(Currency Value);
  virtual TDateTime AsDateTime() const;
  virtual void SetAsDateTime(TDateTime Value);
  virtual bool AsBoolean() const;
  virtual void SetAsBoolean(bool Value);

  // From another field: null clears; BLOB and byte fields give their bytes as a string; any
  // other value goes through Value.
  void Assign(const TPersistent& Source) override;

  const TFieldNotifyEvent& OnValidate() const noexcept { return FOnValidate; }
  void SetOnValidate(TFieldNotifyEvent Value) { FOnValidate = std::move(Value); }
  const TFieldNotifyEvent& OnChange() const noexcept { return FOnChange; }
  void SetOnChange(TFieldNotifyEvent Value) { FOnChange = std::move(Value); }

protected:
  explicit TField(TFieldType DataType, int32_t DefaultSize = 0);
  ~TField() override;

  // Sizes the class accepts: the base keeps fixed-size types at 0.
  virtual bool HasSize() const noexcept { return false; }
  virtual int32_t MaxSize() const noexcept { return 0; }
  virtual void SizeChanged() {}
  // Fires OnChange; the dataset's field-change event calls it.
  virtual void Change();

  TDataSet& CheckDataSet() const;

private:
  friend class TDataSet;
  friend class TFields;

  TFieldType FDataType;
  TFieldKind FFieldKind = fkData;
  bool FRequired = false;
  bool FValidating = false;
  AnsiString FFieldName;
  AnsiString FDisplayLabel;
  int32_t FFieldNo = 0;
  int32_t FSize = 0;
  int32_t FOffset = 0;
  TDataSet* FDataSet = nullptr;
  const void* FValidateBuffer = nullptr;
  TFieldNotifyEvent FOnValidate;
  TFieldNotifyEvent FOnChange;
};

class TStringField : public TField {
public:
  // DataType is ftFixedChar, or else ftString.
  explicit TStringField(TFieldType DataType = ftString);
  int32_t DataSize() const noexcept override { return Size() + 1; }

  Variant Value() const override;
  void SetValue(const Variant& Value) override;
  AnsiString AsString() const override;
  // Keeps at most Size bytes.
  void SetAsString(std::string_view Value) override;
  WideString AsWideString() const override;
  void SetAsWideString(std::u16string_view Value) override;

protected:
  bool HasSize() const noexcept override { return true; }
  int32_t MaxSize() const noexcept override { return 65535; }

private:
  bool ReadText(AnsiString& Text) const;

  std::vector<char> FWriteBuffer;
};

class TWideStringField : public TField {
public:
  TWideStringField();
  int32_t DataSize() const noexcept override { return sizeof(const char16_t*); }

  Variant Value() const override;
  void SetValue(const Variant& Value) override;
  AnsiString AsString() const override;
  void SetAsString(std::string_view Value) override;
  WideString AsWideString() const override;
  // Keeps at most Size characters.
  void SetAsWideString(std::u16string_view Value) override;

protected:
  bool HasSize() const noexcept override { return true; }
  int32_t MaxSize() const noexcept override { return 32767; }

private:
  bool ReadText(WideString& Text) const;

  WideString FWriteValue;
};

// The integer fields up to 32 bits: Smallint, Integer, Word and AutoInc.
class TIntegerField : public TField {
public:
  TIntegerField();
  int32_t DataSize() const noexcept override { return FWidth; }
  int32_t MinValue() const noexcept { return FMin; }
  int32_t MaxValue() const noexcept { return FMax; }

  Variant Value() const override;
  void SetValue(const Variant& Value) override;
  AnsiString AsString() const override;
  int32_t AsInteger() const override;
  void SetAsInteger(int32_t Value) override;
  int64_t AsLargeInt() const override;
  void SetAsLargeInt(int64_t Value) override;
  double AsFloat() const override;
  void SetAsFloat(double Value) override;

protected:
  TIntegerField(TFieldType DataType, int32_t Width, int32_t Min, int32_t Max);

private:
  bool ReadInt(int32_t& Value) const;
  void WriteChecked(int64_t Value);

  int32_t FWidth;
  int32_t FMin;
  int32_t FMax;
};

class TSmallintField : public TIntegerField {
public:
  TSmallintField();
};

class TWordField : public TIntegerField {
public:
  TWordField();
};

class TAutoIncField : public TIntegerField {
public:
  TAutoIncField();
};

class TLargeintField : public TField {
public:
  TLargeintField();
  int32_t DataSize() const noexcept override { return 8; }

  Variant Value() const override;
  void SetValue(const Variant& Value) override;
  AnsiString AsString() const override;
  int32_t AsInteger() const override;
  int64_t AsLargeInt() const override;
  void SetAsLargeInt(int64_t Value) override;
  void SetAsInteger(int32_t Value) override { SetAsLargeInt(Value); }
  double AsFloat() const override;
  void SetAsFloat(double Value) override;

private:
  bool ReadInt(int64_t& Value) const;
  void Write(int64_t Value);
};

class TBooleanField : public TField {
public:
  TBooleanField();
  int32_t DataSize() const noexcept override { return 2; }

  Variant Value() const override;
  void SetValue(const Variant& Value) override;
  AnsiString AsString() const override;
  bool AsBoolean() const override;
  void SetAsBoolean(bool Value) override;
};

class TFloatField : public TField {
public:
  TFloatField();
  int32_t DataSize() const noexcept override { return 8; }

  Variant Value() const override;
  void SetValue(const Variant& Value) override;
  AnsiString AsString() const override;
  double AsFloat() const override;
  void SetAsFloat(double Value) override;

protected:
  explicit TFloatField(TFieldType DataType);

private:
  bool ReadFloat(double& Value) const;
};

class TCurrencyField : public TFloatField {
public:
  TCurrencyField();
};

// ftDateTime; the base of the date and time fields, whose value form is a TDateTime. AsString
// writes a date, a time or both by the type.
class TDateTimeField : public TField {
public:
  TDateTimeField();
  int32_t DataSize() const noexcept override { return 8; }

  Variant Value() const override;
  void SetValue(const Variant& Value) override;
  AnsiString AsString() const override;
  TDateTime AsDateTime() const override;
  void SetAsDateTime(TDateTime Value) override;
  double AsFloat() const override { return AsDateTime(); }
  void SetAsFloat(double Value) override { SetAsDateTime(Value); }

protected:
  explicit TDateTimeField(TFieldType DataType);
  bool ReadDateTime(TDateTime& Value) const;
};

class TDateField : public TDateTimeField {
public:
  TDateField();
  int32_t DataSize() const noexcept override { return 4; }
};

class TTimeField : public TDateTimeField {
public:
  TTimeField();
  int32_t DataSize() const noexcept override { return 4; }
};

class TSQLTimeStampField : public TField {
public:
  TSQLTimeStampField();
  int32_t DataSize() const noexcept override { return SQLTimeStampSize; }

  // A zero stamp when null.
  TSQLTimeStamp AsSQLTimeStamp() const;
  void SetAsSQLTimeStamp(const TSQLTimeStamp& Value);

  Variant Value() const override;
  void SetValue(const Variant& Value) override;
  AnsiString AsString() const override;
  TDateTime AsDateTime() const override;
  void SetAsDateTime(TDateTime Value) override;
  double AsFloat() const override { return AsDateTime(); }
  void SetAsFloat(double Value) override { SetAsDateTime(Value); }
};

// Size raw bytes; the value as a Variant is a byte array (varArray | varByte).
class TBinaryField : public TField {
public:
  int32_t DataSize() const noexcept override { return Size(); }

  // Size bytes; empty when null.
  std::vector<uint8_t> AsBytes() const;
  // More than Size bytes are refused; fewer are zero-padded.
  void SetAsBytes(std::span<const uint8_t> Value);

  Variant Value() const override;
  void SetValue(const Variant& Value) override;
  AnsiString AsString() const override;
  void SetAsString(std::string_view Value) override;

protected:
  explicit TBinaryField(TFieldType DataType);
  bool HasSize() const noexcept override { return true; }
  int32_t MaxSize() const noexcept override { return 65535; }

private:
  std::vector<uint8_t> FWriteBuffer;
};

class TBytesField : public TBinaryField {
public:
  TBytesField();
};

class TVarBytesField : public TBinaryField {
public:
  TVarBytesField();
};

// A value kept in a BLOB stream that the dataset opens (OpenBlobStream). Each accessor opens
// one stream and closes it (Close) before it returns.
class TBlobField : public TField {
public:
  // DataType is ftGraphic, ftFmtMemo, ftParadoxOle, ftDBaseOle or ftTypedBinary, or else
  // ftBlob.
  explicit TBlobField(TFieldType DataType = ftBlob);
  int32_t DataSize() const noexcept override { return 0; }

  std::vector<uint8_t> AsBytes() const;
  void SetAsBytes(std::span<const uint8_t> Value);
  void LoadFromStream(TStream& Source);
  // Set by the dataset's BLOB stream when it wrote to the field.
  bool Modified() const noexcept { return FModified; }
  void SetModified(bool Value) noexcept { FModified = Value; }
  void SaveToStream(TStream& Dest) const;

  // A byte array (TMemoField: a string).
  Variant Value() const override;
  void SetValue(const Variant& Value) override;
  // The stored bytes as they are.
  AnsiString AsString() const override;
  void SetAsString(std::string_view Value) override;
  WideString AsWideString() const override;
  void SetAsWideString(std::u16string_view Value) override;

  // From another BLOB field: its whole content.
  void Assign(const TPersistent& Source) override;

protected:
  bool HasSize() const noexcept override { return true; }
  int32_t MaxSize() const noexcept override { return INT32_MAX; }

  std::unique_ptr<TStream> OpenStream(TBlobStreamMode Mode) const;
  template <class Bytes> Bytes ReadAll() const;
  void WriteAll(const void* Data, size_t Count);

private:
  bool FModified = false;
};

class TMemoField : public TBlobField {
public:
  TMemoField();
  Variant Value() const override;
};

// The field class of each type with one; nil for the others.
TField* NewFieldOfType(TFieldType DataType, TComponent* Owner);

// The fields of a dataset, in order. The list does not own its fields.
class TFields {
public:
  explicit TFields(TDataSet* DataSet) noexcept : FDataSet(DataSet) {}
  TFields(const TFields&) = delete;
  TFields& operator=(const TFields&) = delete;

  TDataSet* DataSet() const noexcept { return FDataSet; }
  int32_t Count() const noexcept { return static_cast<int32_t>(FList.size()); }
  // A bad index raises EListError.
  TField& Fields(int32_t Index) const;
  TField& operator[](int32_t Index) const { return Fields(Index); }
  // Names match ignoring case.
  TField* FindField(std::string_view FieldName) const;
  // As FindField; a missing name raises EDatabaseError "Field '%s' not found".
  TField& FieldByName(std::string_view FieldName) const;
  TField* FieldByNumber(int32_t FieldNo) const;
  int32_t IndexOf(const TField* Field) const;

private:
  friend class TField;
  friend class TDataSet;
  void Add(TField* Field);
  void Remove(TField* Field) noexcept;
  // The dataset is going: every field loses it.
  void DetachAll() noexcept;

  TDataSet* FDataSet;
  std::vector<TField*> FList;
};

} // namespace tolvan
