#include "classlib/DBParams.h"

#include "classlib/DBFields.h"
#include "classlib/Format.h"

namespace tolvan {

namespace {

TFieldType FieldTypeOfVarType(TVarType Type) {
  switch (Type) {
  case varSmallint:
  case varShortInt:
    return ftSmallint;
  case varByte:
  case varWord:
    return ftWord;
  case varInteger:
    return ftInteger;
  case varLongWord:
  case varInt64:
  case varUInt64:
    return ftLargeint;
  case varSingle:
  case varDouble:
    return ftFloat;
  case varCurrency:
    return ftCurrency;
  case varDate:
    return ftDateTime;
  case varBoolean:
    return ftBoolean;
  case varString:
    return ftString;
  case varOleStr:
    return ftWideString;
  default:
    return ftUnknown;
  }
}

} // namespace

void TParam::SetValue(const Variant& Value) {
  FValue = Value;
  if (FDataType == ftUnknown)
    FDataType = FieldTypeOfVarType(Value.VarType());
  FBound = true;
}

void TParam::Assign(const TParam& Source) {
  if (&Source == this)
    return;
  FName = Source.FName;
  FDataType = Source.FDataType;
  FValue = Source.FValue;
  FBound = Source.FBound;
}

void TParam::AssignField(const TField& Field) {
  Variant Value = Field.Value();
  FName = Field.FieldName();
  FDataType = Field.DataType();
  FValue = std::move(Value);
  FBound = true;
}

namespace {

template <class Fn> auto ParamAs(const Variant& V, Fn&& Convert) {
  using R = decltype(Convert(V));
  return V.IsNull() || V.IsEmpty() ? R{} : Convert(V);
}

} // namespace

AnsiString TParam::AsString() const {
  return ParamAs(FValue, [](const Variant& V) { return V.AsString(); });
}
WideString TParam::AsWideString() const {
  return ParamAs(FValue, [](const Variant& V) { return V.AsWideString(); });
}
int32_t TParam::AsInteger() const {
  return ParamAs(FValue, [](const Variant& V) { return V.AsInteger(); });
}
int64_t TParam::AsLargeInt() const {
  return ParamAs(FValue, [](const Variant& V) { return V.AsInt64(); });
}
double TParam::AsFloat() const {
  return ParamAs(FValue, [](const Variant& V) { return V.AsDouble(); });
}
Currency TParam::AsCurrency() const {
  return ParamAs(FValue, [](const Variant& V) { return V.AsCurrency(); });
}
TDateTime TParam::AsDateTime() const {
  return ParamAs(FValue, [](const Variant& V) { return V.AsDateTime(); });
}
bool TParam::AsBoolean() const {
  return ParamAs(FValue, [](const Variant& V) { return V.AsBoolean(); });
}

TParam& TParams::Items(int32_t Index) const {
  if (Index < 0 || Index >= Count())
    throw EListError(Format(SysConst::SListIndexError, Index));
  return *FItems[static_cast<size_t>(Index)];
}

TParam& TParams::CreateParam(TFieldType DataType, std::string_view Name) {
  return *FItems.emplace_back(std::make_unique<TParam>(DataType, Name));
}

TParam* TParams::FindParam(std::string_view Name) const {
  for (const auto& P : FItems)
    if (AnsiSameText(P->Name(), Name))
      return P.get();
  return nullptr;
}

TParam& TParams::ParamByName(std::string_view Name) const {
  TParam* P = FindParam(Name);
  if (!P)
    throw EDatabaseError(Format(DBConsts::SParameterNotFound, Name));
  return *P;
}

void TParams::AssignValues(const TParams& Source) {
  for (const auto& S : Source.FItems)
    if (TParam* Own = FindParam(S->Name()))
      Own->Assign(*S);
}

void TParams::Assign(const TParams& Source) {
  if (&Source == this)
    return;
  std::vector<std::unique_ptr<TParam>> Copy;
  Copy.reserve(Source.FItems.size());
  for (const auto& S : Source.FItems) {
    auto P = std::make_unique<TParam>();
    P->Assign(*S);
    Copy.push_back(std::move(P));
  }
  FItems = std::move(Copy);
}

} // namespace tolvan
