#include "schema/expr/TolvanExprNodes.h"

#include <algorithm>
#include <array>
#include <string>
#include <utility>

#include "classlib/Format.h"
#include "classlib/SysUtils.h"
#include "foundation/TolvanArrays.h"
#include "foundation/TolvanExcept.h"
#include "foundation/TolvanMessages.h"
#include "foundation/TolvanStrUtils.h"
#include "foundation/TolvanTypes.h"
#include "foundation/TolvanVariantOps.h"
#include "schema/TolvanCursor.h"
#include "schema/expr/TolvanExprValues.h"

namespace tolvan {

// ---------------------------------------------------------------------------------------------
// Operator texts
// ---------------------------------------------------------------------------------------------

namespace {

// clang-format off
constexpr std::array<std::string_view, ExprOperatorCount> OperatorNames = {
  "NONE",
  "=", "<>", ">", "<", ">=", "<=",
  "NOT", "AND", "OR", "IN", "NOT IN", "BETWEEN", "NOT BETWEEN", "LIKE", "NOT LIKE",
  "ISNULL", "IS NULL", "IS NOT NULL", "", "",
  "+", "NEG", "*", "/",
  "||", "UPPER", "LOWER", "TRIM", "LTRIM", "RTRIM", "LENGTH", "POS", "SUBSTRING",
  "SUM", "AVG", "MIN", "MAX", "COUNT", "COUNT(*)",
  "NOW", "CURRENT_DATE", "CURRENT_TIME", "TODATE", "TOSTRING", "YEAR", "QUARTER", "MONTH",
  "DAY", "WEEKDAY", "DAYOFWEEK", "DAYNAME", "MONTHNAME", "HOUR", "MINUTE", "SECOND", "MSECOND",
  "ABS", "CEIL", "FLOOR", "MOD", "POWER", "RANDOM", "ROUND", "SIGN", "TRUNC",
  "BITNOT", "BITAND", "BITOR", "SHL", "SHR", "XOR", "HEX",
  "CAST", "LASTAUTOINC", "TOBLOB"};
// clang-format on

} // namespace

std::string_view OperatorToText(uint8_t Operator) {
  if ((Operator >= eoEqual && Operator <= eoIsNotNull) ||
      (Operator >= eoAdd && Operator <= eoRTrim) || (Operator >= eoSum && Operator <= eoCountStar))
    return Operator == eoNegate ? std::string_view("-") : OperatorNames[Operator];
  return "unknown";
}

std::string OperatorName(uint8_t Operator) {
  if (Operator < ExprOperatorCount && !OperatorNames[Operator].empty())
    return std::string(OperatorNames[Operator]);
  return "?" + std::to_string(Operator);
}

// ---------------------------------------------------------------------------------------------
// The base
// ---------------------------------------------------------------------------------------------

TTolvanExprNode::TTolvanExprNode(bool CaseInsensitive, bool Partial)
    : FCaseInsensitive(CaseInsensitive), FPartial(Partial) {}

TTolvanExprNode::TTolvanExprNode(TTolvanExprOperator Operator, bool CaseInsensitive, bool Partial)
    : FOperator(Operator), FCaseInsensitive(CaseInsensitive), FPartial(Partial) {}

TTolvanExprNode::TTolvanExprNode(TTolvanExprOperator Operator, TNodePtr Child, bool CaseInsensitive,
                                 bool Partial)
    : TTolvanExprNode(Operator, CaseInsensitive, Partial) {
  AddChild(std::move(Child));
}

TTolvanExprNode::TTolvanExprNode(TTolvanExprOperator Operator, TNodePtr First, TNodePtr Second,
                                 bool CaseInsensitive, bool Partial)
    : TTolvanExprNode(Operator, CaseInsensitive, Partial) {
  AddChild(std::move(First));
  AddChild(std::move(Second));
}

TTolvanExprNode::TTolvanExprNode(TTolvanExprOperator Operator, TNodePtr First, TNodePtr Second,
                                 TNodePtr Third, bool CaseInsensitive, bool Partial)
    : TTolvanExprNode(Operator, CaseInsensitive, Partial) {
  AddChild(std::move(First));
  AddChild(std::move(Second));
  AddChild(std::move(Third));
}

TTolvanExprNode::TTolvanExprNode(const TTolvanExprNode& Source, TCloneTag)
    : FOperator(Source.FOperator), FCaseInsensitive(Source.FCaseInsensitive),
      FPartial(Source.FPartial), FIsParam(Source.FIsParam), FNameHash(Source.FNameHash) {
  FChildren.reserve(Source.FChildren.size());
  for (const TNodePtr& C : Source.FChildren)
    FChildren.push_back(C->Clone());
}

TTolvanExprNode::~TTolvanExprNode() = default;

TTolvanExprNode* TTolvanExprNode::Child(int32_t Index) const {
  if (Index < 0 || Index >= ChildCount())
    throw EListError(Format(SysConst::SListIndexError, Index));
  return FChildren[size_t(Index)].get();
}

void TTolvanExprNode::AddChild(TNodePtr Node) {
  if (Node)
    FChildren.push_back(std::move(Node));
}

void TTolvanExprNode::InsertChild(int32_t Index, TNodePtr Node) {
  if (Index < 0 || Index > ChildCount())
    throw EListError(Format(SysConst::SListIndexError, Index));
  if (Node)
    FChildren.insert(FChildren.begin() + Index, std::move(Node));
}

TTolvanExprNode::TNodePtr TTolvanExprNode::ReleaseChild(int32_t Index) {
  if (Index < 0 || Index >= ChildCount())
    throw EListError(Format(SysConst::SListIndexError, Index));
  TNodePtr Node = std::move(FChildren[size_t(Index)]);
  FChildren.erase(FChildren.begin() + Index);
  return Node;
}

int32_t TTolvanExprNode::IndexOfChild(const TTolvanExprNode* Node) const noexcept {
  for (size_t I = 0; I < FChildren.size(); ++I)
    if (FChildren[I].get() == Node)
      return int32_t(I);
  return -1;
}

TTolvanExprNode& TTolvanExprNode::Arg(int32_t Index) const {
  if (Index < 0 || Index >= ChildCount())
    throw ETolvanException::CreateFmt(ErrMissingArgument, SArgumentExpectedInSqlFunction,
                                      OperatorName(FOperator));
  return *FChildren[size_t(Index)];
}

void TTolvanExprNode::Prepare() {
  for (const TNodePtr& C : FChildren)
    C->Prepare();
}

bool TTolvanExprNode::RefersOnlyToTable(IExprRowSource* Table) {
  return std::all_of(FChildren.begin(), FChildren.end(),
                     [&](const TNodePtr& C) { return C->RefersOnlyToTable(Table); });
}

bool TTolvanExprNode::AnyFieldIn(IExprRowSource* Source) {
  return std::any_of(FChildren.begin(), FChildren.end(),
                     [&](const TNodePtr& C) { return C->AnyFieldIn(Source); });
}

bool TTolvanExprNode::AllFieldsIn(IExprRowSource* Source) {
  return std::all_of(FChildren.begin(), FChildren.end(),
                     [&](const TNodePtr& C) { return C->AllFieldsIn(Source); });
}

bool TTolvanExprNode::HasAggregate() {
  return std::any_of(FChildren.begin(), FChildren.end(),
                     [](const TNodePtr& C) { return C->HasAggregate(); });
}

bool TTolvanExprNode::HasCountStar() {
  return std::any_of(FChildren.begin(), FChildren.end(),
                     [](const TNodePtr& C) { return C->HasCountStar(); });
}

void TTolvanExprNode::ResetAggregates() {
  for (const TNodePtr& C : FChildren)
    C->ResetAggregates();
}

void TTolvanExprNode::Accumulate(int32_t Weight) {
  for (const TNodePtr& C : FChildren)
    C->Accumulate(Weight);
}

void TTolvanExprNode::BindToAO(IExprRowSource* Source) {
  for (const TNodePtr& C : FChildren)
    C->BindToAO(Source);
}

void TTolvanExprNode::BindToCursor(TTolvanCursor* Cursor) {
  for (const TNodePtr& C : FChildren)
    C->BindToCursor(Cursor);
}

void TTolvanExprNode::SetRecordBuffer(uint8_t* Buffer) {
  for (const TNodePtr& C : FChildren)
    C->SetRecordBuffer(Buffer);
}

TTolvanFieldType TTolvanExprNode::GetDataType() {
  TTolvanFieldType T = tftNone;
  for (size_t I = 0; I < FChildren.size(); ++I) {
    const TTolvanFieldType C = FChildren[I]->GetDataType();
    T = I == 0 ? C : CommonFieldType(T, C);
  }
  if (T == tftNone)
    throw ETolvanException::Create(ErrExprTypeUnknown, SCannotDetermineExpressionType);
  return T;
}

namespace {

int32_t ClampSize(int64_t Size) { return int32_t(std::min<int64_t>(Size, INT32_MAX)); }

// The size of HEX's text: from its argument's type, plus the prefix its second argument asks.
int32_t HexTextSize(TTolvanExprNode& Node) {
  TTolvanExprNode* Arg = Node.ChildCount() > 0 ? Node.Child(0) : nullptr;
  if (!Arg)
    return 0;
  int64_t Size;
  switch (Arg->GetDataType()) {
  case tftChar:
  case tftVarchar:
  case tftWideChar:
  case tftWideVarchar:
  case tftMemo:
  case tftFormattedMemo:
  case tftWideMemo: {
    const int32_t S = Arg->GetDataSize();
    Size = S <= 0 ? 1024 : 2 * int64_t(S) + 2;
    break;
  }
  case tftShortInt:
  case tftByte:
  case tftAutoIncShortInt:
  case tftAutoIncByte:
    Size = 3;
    break;
  case tftSmallInt:
  case tftWord:
  case tftAutoIncSmallInt:
  case tftAutoIncWord:
    Size = 5;
    break;
  case tftInteger:
  case tftCardinal:
  case tftAutoInc:
  case tftAutoIncInteger:
  case tftAutoIncCardinal:
    Size = 9;
    break;
  case tftLargeInt:
  case tftAutoIncLargeInt:
    Size = 17;
    break;
  default:
    return 0;
  }
  if (Node.ChildCount() > 1) {
    const TTolvanVariant& Prefix = Node.Child(1)->Value();
    if (!Prefix.IsNull() && Prefix.IsInteger()) {
      const int64_t Kind = IntegerOf(Prefix);
      Size += Kind == 2 ? 2 : Kind == 1 ? 1 : 0;
    }
  }
  return ClampSize(Size);
}

} // namespace

int32_t TTolvanExprNode::GetDataSize() {
  const TTolvanValueType T = ValueTypeOfFieldType(GetDataType());
  if (!IsStringValueType(T))
    return 0;
  switch (FOperator) {
  case eoAdd:
  case eoMin:
  case eoMax:
  case eoCast: {
    const bool Variable = T == tvtString || T == tvtWideString;
    int64_t Sum = 0;
    for (const TNodePtr& C : FChildren)
      Sum += Variable ? 1024 : TextSizeOf(*C);
    return ClampSize(Sum);
  }
  case eoHex:
    return HexTextSize(*this);
  default:
    return 0;
  }
}

int32_t TTolvanExprNode::TextSizeOf(TTolvanExprNode& Child) {
  const int32_t S = Child.GetDataSize();
  if (S <= 0 || !IsStringValueType(ValueTypeOfFieldType(Child.GetDataType())))
    return 1024;
  return S;
}

int32_t TTolvanExprNode::GetPrecision() { return 0; }

bool TTolvanExprNode::IsEquiJoin(IExprRowSource*, IExprRowSource*) { return false; }

void TTolvanExprNode::ResolveSelectAliases(std::span<const TTolvanSelectListItem> Items,
                                           int32_t Highest) {
  for (const TNodePtr& C : FChildren)
    C->ResolveSelectAliases(Items, Highest);
}

int32_t TTolvanExprNode::FieldIndexIn(const TStringList& List) {
  return FChildren.empty() ? -1 : FChildren.back()->FieldIndexIn(List);
}

void TTolvanExprNode::CollectParams(std::vector<TTolvanExprNodeConst*>& List) {
  for (const TNodePtr& C : FChildren)
    C->CollectParams(List);
}

void TTolvanExprNode::ResetSubQueries(const TParams* Params) {
  for (const TNodePtr& C : FChildren)
    C->ResetSubQueries(Params);
}

void TTolvanExprNode::RunSubQueries() {
  for (const TNodePtr& C : FChildren)
    C->RunSubQueries();
}

// ---------------------------------------------------------------------------------------------
// Constants
// ---------------------------------------------------------------------------------------------

TTolvanExprNode::TNodePtr TTolvanExprNodeConst::Clone() const {
  std::unique_ptr<TTolvanExprNodeConst> Copy(new TTolvanExprNodeConst(*this, TCloneTag{}));
  Copy->FValue.Assign(FValue, true);
  Copy->FParamName = FParamName;
  return Copy;
}

TTolvanFieldType TTolvanExprNodeConst::GetDataType() {
  return FieldTypeOfValueType(FValue.DataType());
}

int32_t TTolvanExprNodeConst::GetDataSize() {
  if (FValue.IsNull() || !FValue.IsString())
    return 0;
  // A MEMO's size is its content already; text sizes count their terminator.
  if (FValue.IsBlob())
    return FValue.DataSize();
  return FValue.DataSize() - (FValue.IsWide() ? 2 : 1);
}

void TTolvanExprNodeConst::CollectParams(std::vector<TTolvanExprNodeConst*>& List) {
  if (FIsParam)
    List.push_back(this);
}

void TTolvanExprNodeConst::SetValue(const TTolvanVariant& Source) { FValue.Assign(Source, true); }

void TTolvanExprNodeConst::SetParam(std::string_view Name) {
  FParamName = Name;
  FIsParam = true;
  FNameHash = int32_t(tolvan::NameHash(Name));
}

// ---------------------------------------------------------------------------------------------
// Field references
// ---------------------------------------------------------------------------------------------

namespace {

// Puts a buffer into a cursor for one read and the cursor's own back afterwards.
class TRecordBufferSwap {
public:
  TRecordBufferSwap(TTolvanCursor& Cursor, uint8_t* Buffer)
      : FCursor(Cursor), FSaved(Cursor.RecordBuffer()) {
    FCursor.SetRecordBuffer(Buffer);
  }
  ~TRecordBufferSwap() { FCursor.SetRecordBuffer(FSaved); }
  TRecordBufferSwap(const TRecordBufferSwap&) = delete;
  TRecordBufferSwap& operator=(const TRecordBufferSwap&) = delete;

private:
  TTolvanCursor& FCursor;
  uint8_t* FSaved;
};

} // namespace

TTolvanExprNodeField::TTolvanExprNodeField(TTolvanCursor* Cursor, std::string_view FieldName,
                                           std::string_view TableName)
    : TTolvanExprNode(true, false), FTableName(TableName), FFieldName(FieldName) {
  if (Cursor)
    BindToCursor(Cursor);
}

TTolvanExprNodeField::TTolvanExprNodeField(const TTolvanExprNodeField& Source, TCloneTag)
    : TTolvanExprNode(Source, TCloneTag{}), FCursor(Source.FCursor), FAO(Source.FAO),
      FRecordBuffer(Source.FRecordBuffer), FTableName(Source.FTableName),
      FFieldName(Source.FFieldName), FFieldNo(Source.FFieldNo), FFieldType(Source.FFieldType),
      FValueType(Source.FValueType), FSize(Source.FSize) {}

TTolvanExprNode::TNodePtr TTolvanExprNodeField::Clone() const {
  return TNodePtr(new TTolvanExprNodeField(*this, TCloneTag{}));
}

void TTolvanExprNodeField::BindToCursor(TTolvanCursor* Cursor) {
  if (!Cursor)
    throw ETolvanException::Create(ErrFieldNilCursor, SValueIsNull);
  // The name is resolved before anything changes, so a failure leaves the binding as it was.
  const TTolvanFieldDefs& Defs = Cursor->FieldDefs();
  int32_t No = Defs.IndexOfName(FFieldName);
  if (No < 0) {
    const TTolvanFieldDefs& Visible = Cursor->VisibleFieldDefs();
    const int32_t V = Visible.IndexOfName(FFieldName);
    // A visible definition whose column is not in the table cannot be read.
    if (V >= 0 && Visible.Items(V).TableFieldNo() >= 0 &&
        Visible.Items(V).TableFieldNo() < Defs.Count())
      No = Visible.Items(V).TableFieldNo();
  }
  if (No < 0)
    throw ETolvanException::CreateFmt(ErrFieldNotInCursor, SFieldNotFound, FFieldName);
  const TTolvanFieldDef& Def = Defs.Items(No);
  FAO = nullptr;
  FCursor = Cursor;
  FFieldNo = No;
  FFieldType = Def.FieldType();
  FValueType = ValueTypeOfFieldType(FFieldType);
  FSize = Def.DataSize();
  FRecordBuffer = Cursor->RecordBuffer();
}

bool TTolvanExprNodeField::FoundOnceIn(IExprRowSource* Source) {
  return Source && Source->FindFields(FFieldName, FTableName, false, nullptr, false) == 1;
}

void TTolvanExprNodeField::BindToAO(IExprRowSource* Source) {
  if (!Source) {
    FCursor = nullptr;
    FRecordBuffer = nullptr;
    FAO = nullptr;
    return;
  }
  TTolvanIntegerArray Found(0, 1, 100);
  const int32_t Count = Source->FindFields(FFieldName, FTableName, true, &Found, true);
  if (Count != 1 || Found.Count() != 1)
    throw ETolvanException::CreateFmt(ErrFieldNotInAO, SFieldNotFound2,
                                      FTableName + "." + FFieldName);
  const int32_t No = Found[0];
  const TTolvanFieldType Type = Source->GetFieldType(No);
  const int32_t Size = Source->GetFieldSize(No);
  FCursor = nullptr;
  FRecordBuffer = nullptr;
  FAO = Source;
  FFieldNo = No;
  FFieldType = Type;
  FValueType = ValueTypeOfFieldType(Type);
  FSize = Size;
}

const TTolvanVariant& TTolvanExprNodeField::GetValue() {
  if (!FRecordBuffer) {
    if (!FAO || FFieldNo == -1)
      throw ETolvanException::Create(ErrFieldUnbound, SDatasetAndAoNotAssigned);
    FAO->GetFieldValue(FValue, FFieldNo, true, true);
    return FValue;
  }
  // A buffer given to a reference that was never bound has no column to look at.
  if (FFieldNo < 0)
    throw ETolvanException::Create(ErrFieldUnbound, SDatasetAndAoNotAssigned);
  if (FCursor && FFieldNo >= FCursor->FieldDefs().Count())
    throw ETolvanException::CreateFmt(ErrGetFieldValueTableFieldNo, SInvalidFieldNumber, FFieldNo,
                                      FCursor->FieldDefs().Count());
  if (GetBit(FFieldNo, FRecordBuffer)) {
    SetNullResult(FValue, FValueType);
    return FValue;
  }
  if (!FCursor)
    throw ETolvanException::Create(ErrFieldNoCursor, SNilPointerOccurred);
  TRecordBufferSwap Swap(*FCursor, FRecordBuffer);
  FCursor->GetFieldValue(FValue, FFieldNo, true, false);
  return FValue;
}

TTolvanFieldType TTolvanExprNodeField::GetDataType() {
  TTolvanFieldType T = tftNone;
  if (FCursor) {
    if (FFieldNo >= 0 && FFieldNo < FCursor->FieldDefs().Count())
      T = FCursor->FieldDefs().Items(FFieldNo).FieldType();
  } else if (FAO && FFieldNo >= 0) {
    T = FAO->GetFieldType(FFieldNo);
  }
  if (T == tftNone)
    throw ETolvanException::Create(ErrFieldTypeUnknown, SCannotDetermineExpressionType);
  return T;
}

bool TTolvanExprNodeField::RefersOnlyToTable(IExprRowSource* Table) {
  if (!Table || FAO != Table)
    return false;
  const TTolvanFieldDefs* Defs = Table->TableFieldDefs();
  return Defs && Defs->IndexOfName(FFieldName) >= 0;
}

bool TTolvanExprNodeField::AnyFieldIn(IExprRowSource* Source) { return FoundOnceIn(Source); }

bool TTolvanExprNodeField::AllFieldsIn(IExprRowSource* Source) { return FoundOnceIn(Source); }

void TTolvanExprNodeField::ResolveSelectAliases(std::span<const TTolvanSelectListItem> Items,
                                                int32_t Highest) {
  const int64_t Last = std::min<int64_t>(Highest, int64_t(Items.size()) - 1);
  for (int64_t I = 0; I <= Last; ++I) {
    const TTolvanSelectListItem& Item = Items[size_t(I)];
    if (!Item.IsExpression && FTableName.empty() &&
        AnsiUpperCase(FFieldName) == AnsiUpperCase(Item.Alias)) {
      FFieldName = Item.FieldName;
      FTableName = Item.TableName;
    }
  }
}

// ---------------------------------------------------------------------------------------------
// Comparisons
// ---------------------------------------------------------------------------------------------

TTolvanExprNodeComparison::TTolvanExprNodeComparison(TTolvanExprOperator Operator, TNodePtr Left,
                                                     TNodePtr Right, bool KeepNullCodes,
                                                     bool CaseInsensitive, bool Partial)
    : TTolvanExprNode(Operator, std::move(Left), std::move(Right), CaseInsensitive, Partial),
      FKeepNullCodes(KeepNullCodes) {}

TTolvanExprNodeComparison::TTolvanExprNodeComparison(const TTolvanExprNodeComparison& Source,
                                                     TCloneTag)
    : TTolvanExprNode(Source, TCloneTag{}), FKeepNullCodes(Source.FKeepNullCodes) {}

TTolvanExprNode::TNodePtr TTolvanExprNodeComparison::Clone() const {
  return TNodePtr(new TTolvanExprNodeComparison(*this, TCloneTag{}));
}

void TTolvanExprNodeComparison::Prepare() {
  TTolvanExprNodeField* Field = nullptr;
  TTolvanExprNodeConst* Const = nullptr;
  for (const TNodePtr& C : FChildren) {
    if (!Field && C->Kind() == enkField)
      Field = static_cast<TTolvanExprNodeField*>(C.get());
    else if (!Const && C->Kind() == enkConst)
      Const = static_cast<TTolvanExprNodeConst*>(C.get());
  }
  if (!Field || !Const)
    return;
  // The type the reference was bound with: an unbound one has none and changes nothing.
  const TTolvanFieldType FieldType = Field->FieldType();
  const TTolvanFieldType ConstType = Const->GetDataType();
  if ((FieldType != tftChar && FieldType != tftVarchar) ||
      (ConstType != tftWideChar && ConstType != tftWideVarchar && ConstType != tftWideMemo))
    return;
  // Narrowing maps what the code page lacks to '?', which would then match other rows.
  TTolvanVariant& V = Const->Value();
  const WideString Wide = V.GetAsWideString();
  if (AnsiToWide(WideToAnsi(Wide)) == Wide)
    V.CastTo(tvtString);
}

const TTolvanVariant& TTolvanExprNodeComparison::GetValue() {
  if (FOperator == eoIsNull || FOperator == eoIsNotNull) {
    const bool Null = ArgValue(0).IsNull();
    SetLogicalResult(FValue, FOperator == eoIsNull ? Null : !Null);
    return FValue;
  }
  if (FOperator < eoEqual || FOperator > eoLessOrEqual)
    throw ETolvanException::CreateFmt(ErrComparisonOperator, SUnknownOperator,
                                      OperatorToText(FOperator));
  const TTolvanVariant& Left = ArgValue(0);
  const TTolvanVariant& Right = ArgValue(1);
  const TTolvanCompareResult R = Left.Compare(Right, FKeepNullCodes, FCaseInsensitive, FPartial);
  bool Result;
  switch (FOperator) {
  case eoEqual:
    Result = R == tcrEqual;
    break;
  case eoNotEqual:
    Result = R != tcrEqual;
    break;
  case eoGreater:
    Result = R == tcrGreater;
    break;
  case eoLess:
    Result = R == tcrLess;
    break;
  case eoGreaterOrEqual:
    Result = R == tcrEqual || R == tcrGreater;
    break;
  default:
    Result = R == tcrEqual || R == tcrLess;
    break;
  }
  SetLogicalResult(FValue, Result);
  return FValue;
}

bool TTolvanExprNodeComparison::IsEquiJoin(IExprRowSource* First, IExprRowSource* Second) {
  if (FOperator != eoEqual || ChildCount() != 2 || FChildren[0]->Kind() != enkField ||
      FChildren[1]->Kind() != enkField)
    return false;
  // Where each reference is found: in the first operator, in the second.
  auto Matches = [&](TTolvanExprNode& Node, int32_t Code) {
    auto& F = static_cast<TTolvanExprNodeField&>(Node);
    const int32_t A =
        First ? First->FindFields(F.FieldName(), F.TableName(), false, nullptr, true) : 0;
    const int32_t B =
        Second ? Second->FindFields(F.FieldName(), F.TableName(), false, nullptr, true) : 0;
    if (int64_t(A) + B > 1)
      throw ETolvanException::CreateFmt(Code, SAmbiguousFieldReference, F.FieldName());
    return std::pair<int32_t, int32_t>(A, B);
  };
  const auto [LeftInFirst, LeftInSecond] = Matches(*FChildren[0], ErrEquiJoinFirstAmbiguous);
  const auto [RightInFirst, RightInSecond] = Matches(*FChildren[1], ErrEquiJoinSecondAmbiguous);
  if (LeftInFirst + LeftInSecond != 1 || RightInFirst + RightInSecond != 1)
    return false;
  return (LeftInFirst == 1 && RightInSecond == 1) || (LeftInSecond == 1 && RightInFirst == 1);
}

// ---------------------------------------------------------------------------------------------
// Logic and predicates
// ---------------------------------------------------------------------------------------------

TTolvanExprNode::TNodePtr TTolvanExprNodeBoolean::Clone() const {
  return TNodePtr(new TTolvanExprNodeBoolean(*this, TCloneTag{}));
}

const TTolvanVariant& TTolvanExprNodeBoolean::GetValue() {
  switch (FOperator) {
  case eoNot: {
    const TTolvanVariant& V = ArgValue(0);
    if (V.IsNull())
      SetNullResult(FValue, tvtLogical);
    else
      SetLogicalResult(FValue, !V.GetAsBoolean());
    break;
  }
  case eoAnd:
  case eoOr: {
    // AND stops at the first false, OR at the first true; a null on the way makes the result
    // null unless such a value follows.
    const bool Stop = FOperator == eoOr;
    bool SawNull = false;
    for (const TNodePtr& C : FChildren) {
      const TTolvanVariant& V = C->GetValue();
      if (V.IsNull()) {
        SawNull = true;
      } else if (V.GetAsBoolean() == Stop) {
        SetLogicalResult(FValue, Stop);
        return FValue;
      }
    }
    if (SawNull)
      SetNullResult(FValue, tvtLogical);
    else
      SetLogicalResult(FValue, !Stop);
    break;
  }
  case eoIn:
  case eoNotIn:
    In();
    break;
  case eoBetween:
  case eoNotBetween:
    Between();
    break;
  case eoLike:
  case eoNotLike:
    Like();
    break;
  case eoIsNull:
  case eoIsNotNull: {
    const bool Null = ArgValue(0).IsNull();
    SetLogicalResult(FValue, FOperator == eoIsNull ? Null : !Null);
    return FValue;
  }
  default:
    throw ETolvanException::CreateFmt(ErrBooleanOperator, SUnknownOperator,
                                      OperatorToText(FOperator));
  }
  if ((FOperator == eoNotIn || FOperator == eoNotBetween || FOperator == eoNotLike) &&
      !FValue.IsNull())
    SetLogicalResult(FValue, !FValue.GetAsBoolean());
  return FValue;
}

void TTolvanExprNodeBoolean::In() {
  const TTolvanVariant& V = ArgValue(0);
  if (V.IsNull()) {
    SetNullResult(FValue, tvtLogical);
    return;
  }
  bool Found = false;
  for (size_t I = 1; I < FChildren.size() && !Found; ++I)
    Found = V.Compare(FChildren[I]->GetValue(), true, true, false) == tcrEqual;
  SetLogicalResult(FValue, Found);
}

void TTolvanExprNodeBoolean::Between() {
  const TTolvanVariant& V = ArgValue(0);
  const TTolvanVariant& Low = ArgValue(1);
  const TTolvanVariant& High = ArgValue(2);
  if (V.IsNull() || Low.IsNull() || High.IsNull()) {
    SetNullResult(FValue, tvtLogical);
    return;
  }
  const TTolvanCompareResult A = V.Compare(Low, true, true, false);
  if (A != tcrEqual && A != tcrGreater) {
    SetLogicalResult(FValue, false);
    return;
  }
  const TTolvanCompareResult B = V.Compare(High, true, true, false);
  SetLogicalResult(FValue, B == tcrEqual || B == tcrLess);
}

void TTolvanExprNodeBoolean::Like() {
  const TTolvanVariant& V = ArgValue(0);
  const TTolvanVariant& Pattern = ArgValue(1);
  if (V.IsNull() || Pattern.IsNull()) {
    SetNullResult(FValue, tvtLogical);
    return;
  }
  const TTolvanValueType Common = CommonValueType(V.DataType(), Pattern.DataType());
  if (!IsStringValueType(Common))
    throw ETolvanException::CreateFmt(ErrLikeNotString, SNotStringArgumentInFunction, "LIKE");
  bool Match;
  if (IsWideValueType(Common)) {
    WideTextOf(V, FWideText);
    WideTextOf(Pattern, FWidePattern);
    Match = MatchLikeWide(FWideText, FWidePattern, FCaseInsensitive);
  } else {
    AnsiString TextScratch, PatternScratch;
    Match = MatchLike(AnsiTextOf(V, TextScratch), AnsiTextOf(Pattern, PatternScratch),
                      FCaseInsensitive);
  }
  SetLogicalResult(FValue, Match);
}

// ---------------------------------------------------------------------------------------------
// ISNULL
// ---------------------------------------------------------------------------------------------

TTolvanExprNodeIsNullFunction::TTolvanExprNodeIsNullFunction(TTolvanExprOperator Operator,
                                                             TNodePtr First, TNodePtr Second)
    : TTolvanExprNode(Operator, std::move(First), std::move(Second), true, false) {}

TTolvanExprNodeIsNullFunction::TTolvanExprNodeIsNullFunction(
    const TTolvanExprNodeIsNullFunction& Source, TCloneTag)
    : TTolvanExprNode(Source, TCloneTag{}), FFirstType(Source.FFirstType),
      FSecondType(Source.FSecondType) {}

TTolvanExprNode::TNodePtr TTolvanExprNodeIsNullFunction::Clone() const {
  return TNodePtr(new TTolvanExprNodeIsNullFunction(*this, TCloneTag{}));
}

const TTolvanVariant& TTolvanExprNodeIsNullFunction::GetValue() {
  if (ChildCount() == 1) {
    SetLogicalResult(FValue, ArgValue(0).IsNull());
    return FValue;
  }
  if (ChildCount() != 2)
    return FValue;
  const TTolvanVariant& First = ArgValue(0);
  if (!First.IsNull()) {
    CopyResult(FValue, First);
    return FValue;
  }
  if (FFirstType == tftNone)
    FFirstType = FChildren[0]->GetDataType();
  if (FSecondType == tftNone)
    FSecondType = FChildren[1]->GetDataType();
  if (FFirstType != FSecondType &&
      !(IsScalarFieldType(FFirstType) && IsScalarFieldType(FSecondType)))
    throw ETolvanException::CreateFmt(ErrIsNullTypes, STypesMismatchInSqlFunction, "ISNULL",
                                      int32_t(FFirstType), int32_t(FSecondType));
  const TTolvanVariant& Second = ArgValue(1);
  const TTolvanValueType Target = ValueTypeOfFieldType(FFirstType);
  if (Second.DataType() == Target) {
    CopyResult(FValue, Second);
  } else {
    // The converted copy is the value's own; the child's bytes are only read.
    FValue.Assign(Second, false);
    FValue.CastTo(Target);
  }
  return FValue;
}

TTolvanFieldType TTolvanExprNodeIsNullFunction::GetDataType() {
  switch (ChildCount()) {
  case 1:
    return tftBoolean;
  case 2:
    return TTolvanExprNode::GetDataType();
  default:
    return tftNone;
  }
}

int32_t TTolvanExprNodeIsNullFunction::GetDataSize() {
  if (ChildCount() != 2)
    return 0;
  return std::max(FChildren[0]->GetDataSize(), FChildren[1]->GetDataSize());
}

// ---------------------------------------------------------------------------------------------
// Sub-queries
// ---------------------------------------------------------------------------------------------

TTolvanExprNodeSubQuery::TTolvanExprNodeSubQuery(std::string_view SQL, const TParams* Params,
                                                 bool InMemory, std::string_view DatabaseName,
                                                 std::string_view SessionName, bool Negated,
                                                 TNodePtr InValue)
    : TTolvanExprNode(true, false), FSQL(SQL), FInMemory(InMemory), FDatabaseName(DatabaseName),
      FSessionName(SessionName), FNegated(Negated) {
  if (Params) {
    FParams = std::make_unique<TParams>();
    FParams->Assign(*Params);
  }
  AddChild(std::move(InValue));
  FQuery =
      ExprServices().PrepareSubQuery(FSQL, FParams.get(), FInMemory, FDatabaseName, FSessionName);
}

TTolvanExprNodeSubQuery::TTolvanExprNodeSubQuery(const TTolvanExprNodeSubQuery& Source, TCloneTag)
    : TTolvanExprNode(Source, TCloneTag{}), FSQL(Source.FSQL), FInMemory(Source.FInMemory),
      FDatabaseName(Source.FDatabaseName), FSessionName(Source.FSessionName),
      FNegated(Source.FNegated), FColumnType(Source.FColumnType), FColumnSize(Source.FColumnSize) {
  if (Source.FParams) {
    FParams = std::make_unique<TParams>();
    FParams->Assign(*Source.FParams);
  }
  FQuery =
      ExprServices().PrepareSubQuery(FSQL, FParams.get(), FInMemory, FDatabaseName, FSessionName);
}

TTolvanExprNodeSubQuery::~TTolvanExprNodeSubQuery() = default;

TTolvanExprNode::TNodePtr TTolvanExprNodeSubQuery::Clone() const {
  return TNodePtr(new TTolvanExprNodeSubQuery(*this, TCloneTag{}));
}

IExprSubQuery& TTolvanExprNodeSubQuery::OpenQuery() {
  if (!FQuery)
    FQuery =
        ExprServices().PrepareSubQuery(FSQL, FParams.get(), FInMemory, FDatabaseName, FSessionName);
  FQuery->Open();
  return *FQuery;
}

void TTolvanExprNodeSubQuery::ReleaseQuery() noexcept { FQuery.reset(); }

void TTolvanExprNodeSubQuery::RunForEvaluation() {
  if (FFailure)
    std::rethrow_exception(FFailure);
  if (!NeedsRun())
    return;
  try {
    Run();
  } catch (...) {
    FFailure = std::current_exception();
    throw;
  }
}

const TTolvanVariant& TTolvanExprNodeSubQuery::GetValue() {
  RunForEvaluation();
  return FValue;
}

void TTolvanExprNodeSubQuery::RunSubQueries() {
  TTolvanExprNode::RunSubQueries();
  if (FFailure || !NeedsRun())
    return;
  try {
    Run();
  } catch (...) {
    FFailure = std::current_exception();
  }
}

TTolvanFieldType TTolvanExprNodeSubQuery::GetDataType() {
  if (Kind() != enkSubQuery)
    return TTolvanExprNode::GetDataType();
  if (FColumnType == tftNone) {
    RunSubQueries();
    if (FColumnType == tftNone && FFailure)
      std::rethrow_exception(FFailure);
  }
  return FColumnType != tftNone ? FColumnType : TTolvanExprNode::GetDataType();
}

int32_t TTolvanExprNodeSubQuery::GetDataSize() {
  if (Kind() == enkSubQuery && GetDataType() != tftNone && FColumnSize > 0)
    return FColumnSize;
  return TTolvanExprNode::GetDataSize();
}

void TTolvanExprNodeSubQuery::Run() {
  FEvaluated = true;
  try {
    IExprSubQuery& Query = OpenQuery();
    FColumnType = Query.FirstFieldType();
    FColumnSize = Query.FirstFieldSize();
    const int64_t Count = Query.RecordCount();
    if (Count <= 0)
      throw ETolvanException::Create(ErrSubQueryNoRows, SSubqueryReturnsNoRows);
    if (Count > 1)
      throw ETolvanException::Create(ErrSubQueryManyRows, SSubqueryReturnsMultipleRows);
    // The row may borrow from the query: the value takes its copy before the query goes.
    TTolvanVariant Row;
    Query.FirstFieldValue(Row);
    FValue.Assign(Row, true);
    Query.Close();
  } catch (...) {
    ReleaseQuery();
    FValue.SetNull();
    throw;
  }
  ReleaseQuery();
}

void TTolvanExprNodeSubQuery::ResetSubQueries(const TParams* Params) {
  ReleaseQuery();
  FEvaluated = false;
  FFailure = nullptr;
  FValue.SetNull();
  if (Params) {
    if (!FParams)
      FParams = std::make_unique<TParams>();
    FParams->Assign(*Params);
  }
  TTolvanExprNode::ResetSubQueries(Params);
}

TTolvanExprNode::TNodePtr TTolvanExprNodeSubQueryIN::Clone() const {
  return TNodePtr(new TTolvanExprNodeSubQueryIN(*this, TCloneTag{}));
}

void TTolvanExprNodeSubQueryIN::Run() {
  FEvaluated = true;
  try {
    OpenQuery();
  } catch (...) {
    ReleaseQuery();
    throw;
  }
}

const TTolvanVariant& TTolvanExprNodeSubQueryIN::GetValue() {
  RunForEvaluation();
  TTolvanExprNode* Tested = InValue();
  if (!Tested)
    throw ETolvanException::Create(ErrSubQueryInNoValue, SSubqueryInNoArgument);
  const TTolvanVariant& V = Tested->GetValue();
  const bool Found = FQuery->LocateFirstField(V.IsNull() ? Variant::Null() : V.GetAsVariant());
  SetLogicalResult(FValue, Found != FNegated);
  return FValue;
}

TTolvanExprNode::TNodePtr TTolvanExprNodeSubQueryExists::Clone() const {
  return TNodePtr(new TTolvanExprNodeSubQueryExists(*this, TCloneTag{}));
}

void TTolvanExprNodeSubQueryExists::Run() {
  FEvaluated = true;
  try {
    IExprSubQuery& Query = OpenQuery();
    const bool HasRow = !Query.Eof();
    Query.Close();
    SetLogicalResult(FValue, HasRow != FNegated);
  } catch (...) {
    ReleaseQuery();
    FValue.SetNull();
    throw;
  }
  ReleaseQuery();
}

} // namespace tolvan
