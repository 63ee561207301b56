// DBParams.h: the dataset framework's parameter list.
//
// TParam is one named value of a query: its framework type, its value as a Variant, and whether
// a value was ever given (Bound). The typed setters (AsString, AsInteger, ...) fix the type by
// the setter; SetValue fixes only an unknown one. TParams is an ordered list that owns its
// parameters; the query component fills it from the SQL text, and expressions and sub-queries look
// values up in it by name. Names match without regard to case over Windows-1252.
//
// A parameter's type is fixed by the first value given to a parameter of unknown type:
//
//   Variant type                        TFieldType
//   varSmallint, varShortInt            ftSmallint
//   varByte, varWord                    ftWord
//   varInteger                          ftInteger
//   varLongWord, varInt64, varUInt64    ftLargeint
//   varSingle, varDouble                ftFloat
//   varCurrency                         ftCurrency
//   varDate                             ftDateTime
//   varBoolean                          ftBoolean
//   varString                           ftString
//   varOleStr                           ftWideString
//   anything else                       (stays ftUnknown)
//
// Threads: a list and its parameters belong to one thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "classlib/DB.h"
#include "classlib/DBConsts.h"
#include "classlib/Strings.h"
#include "classlib/Variants.h"

namespace tolvan {

class TField;

class TParam {
public:
  TParam() = default;
  TParam(TFieldType DataType, std::string_view Name) : FName(Name), FDataType(DataType) {}

  const AnsiString& Name() const noexcept { return FName; }
  void SetName(std::string_view Value) { FName = Value; }
  TFieldType DataType() const noexcept { return FDataType; }
  void SetDataType(TFieldType Value) noexcept { FDataType = Value; }
  const Variant& Value() const noexcept { return FValue; }
  // Marks the parameter bound; fixes an unknown type from the value (see the table above).
  void SetValue(const Variant& Value);
  bool Bound() const noexcept { return FBound; }
  void SetBound(bool Value) noexcept { FBound = Value; }

  // Empty or null.
  bool IsNull() const noexcept { return FValue.IsEmpty() || FValue.IsNull(); }
  // The value becomes empty; name, type and Bound stay.
  void Clear() noexcept { FValue = Variant(); }
  // Name, type, value and Bound.
  void Assign(const TParam& Source);
  // The field's name, type and value (null when the field is null); the parameter is bound.
  void AssignField(const TField& Field);

  // The value with Variant's rules; null reads as 0, "", False. A setter also sets DataType:
  //   AsString ftString, AsWideString ftWideString, AsInteger ftInteger, AsLargeInt ftLargeint,
  //   AsFloat ftFloat, AsCurrency ftCurrency, AsDateTime ftDateTime, AsBoolean ftBoolean,
  //   AsMemo ftMemo, AsBlob ftBlob (memo and BLOB values are byte strings).
  AnsiString AsString() const;
  void SetAsString(std::string_view Value) { Set(ftString, Variant(Value)); }
  WideString AsWideString() const;
  void SetAsWideString(std::u16string_view Value) { Set(ftWideString, Variant(Value)); }
  int32_t AsInteger() const;
  void SetAsInteger(int32_t Value) { Set(ftInteger, Variant(Value)); }
  int64_t AsLargeInt() const;
  void SetAsLargeInt(int64_t Value) { Set(ftLargeint, Variant(Value)); }
  double AsFloat() const;
  void SetAsFloat(double Value) { Set(ftFloat, Variant(Value)); }
  Currency AsCurrency() const;
  void SetAsCurrency(Currency Value) { Set(ftCurrency, Variant(Value)); }
  TDateTime AsDateTime() const;
  void SetAsDateTime(TDateTime Value) { Set(ftDateTime, VarFromDateTime(Value)); }
  bool AsBoolean() const;
  void SetAsBoolean(bool Value) { Set(ftBoolean, Variant(Value)); }
  AnsiString AsMemo() const { return AsString(); }
  void SetAsMemo(std::string_view Value) { Set(ftMemo, Variant(Value)); }
  AnsiString AsBlob() const { return AsString(); }
  void SetAsBlob(std::string_view Value) { Set(ftBlob, Variant(Value)); }

private:
  void Set(TFieldType DataType, Variant&& Value) {
    FValue = std::move(Value);
    FDataType = DataType;
    FBound = true;
  }

  AnsiString FName;
  TFieldType FDataType = ftUnknown;
  Variant FValue;
  bool FBound = false;
};

class TParams {
public:
  TParams() = default;
  TParams(const TParams&) = delete;
  TParams& operator=(const TParams&) = delete;

  int32_t Count() const noexcept { return static_cast<int32_t>(FItems.size()); }
  // A bad index raises EListError "List index out of bounds (%d)".
  TParam& Items(int32_t Index) const;
  // Appends a new unbound parameter and returns it; the list owns it.
  TParam& CreateParam(TFieldType DataType, std::string_view Name);
  void Clear() noexcept { FItems.clear(); }

  // The first parameter of that name ignoring case, or nil.
  TParam* FindParam(std::string_view Name) const;
  // As FindParam; a missing name raises EDatabaseError "Parameter '%s' not found".
  TParam& ParamByName(std::string_view Name) const;
  // Each parameter of Source is assigned to the own parameter of its name; names Source lacks
  // or the list lacks are left alone.
  void AssignValues(const TParams& Source);
  // The list becomes a copy of Source.
  void Assign(const TParams& Source);

private:
  std::vector<std::unique_ptr<TParam>> FItems;
};

} // namespace tolvan
