#include "schema/expr/TolvanExprFunctions.h"

#include <algorithm>
#include <cmath>

#include "classlib/DateUtils.h"
#include "classlib/Strings.h"
#include "classlib/SysUtils.h"
#include "foundation/TolvanDecUtil.h"
#include "foundation/TolvanExcept.h"
#include "foundation/TolvanMemory.h"
#include "foundation/TolvanMessages.h"
#include "foundation/TolvanVariantOps.h"
#include "schema/expr/TolvanExprValues.h"

namespace tolvan {

namespace {

[[noreturn]] void RaiseUnknownOperator(int32_t Code, TTolvanExprOperator Operator) {
  throw ETolvanException::CreateFmt(Code, SUnknownOperator, OperatorToText(Operator));
}

// The signed type one step wider than an unsigned one, where its negation fits.
TTolvanValueType SignedWidening(TTolvanValueType T) {
  switch (T) {
  case tvtUnsignedInt8:
    return tvtSignedInt16;
  case tvtUnsignedInt16:
    return tvtInteger;
  case tvtUnsignedInt32:
    return tvtSignedInt64;
  default:
    return T;
  }
}

TTolvanFieldType SignedWidening(TTolvanFieldType T) {
  switch (T) {
  case tftByte:
  case tftAutoIncByte:
    return tftSmallInt;
  case tftWord:
  case tftAutoIncWord:
    return tftInteger;
  case tftCardinal:
  case tftAutoIncCardinal:
    return tftLargeInt;
  default:
    return T;
  }
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Arithmetic
// ---------------------------------------------------------------------------------------------

TTolvanExprNode::TNodePtr TTolvanExprNodeArithmetic::Clone() const {
  return TNodePtr(new TTolvanExprNodeArithmetic(*this, TCloneTag{}));
}

const TTolvanVariant& TTolvanExprNodeArithmetic::GetValue() {
  switch (FOperator) {
  case eoAdd:
  case eoMultiply:
    CopyResult(FValue, ArgValue(0));
    for (size_t I = 1; I < FChildren.size(); ++I) {
      const TTolvanVariant& Other = FChildren[I]->GetValue();
      if (FOperator == eoAdd)
        FValue.Add(Other);
      else
        FValue.Multiply(Other);
    }
    break;
  case eoNegate:
    CopyResult(FValue, ArgValue(0));
    FValue.CastTo(SignedWidening(FValue.DataType()));
    FValue.Negate();
    break;
  case eoDivide:
    CopyResult(FValue, ArgValue(0));
    FValue.Divide(ArgValue(1));
    break;
  case eoAbs:
  case eoCeil:
  case eoFloor:
  case eoSign:
  case eoBitNot:
    CopyResult(FValue, ArgValue(0));
    switch (FOperator) {
    case eoAbs:
      FValue.Abs();
      break;
    case eoCeil:
      FValue.Ceil();
      break;
    case eoFloor:
      FValue.Floor();
      break;
    case eoSign:
      FValue.Sign();
      break;
    default:
      FValue.BitNot();
      break;
    }
    break;
  case eoMod:
  case eoPower:
    CopyResult(FValue, ArgValue(0));
    CopyResult(FScratch, ArgValue(1));
    if (FOperator == eoMod)
      FValue.Modulo(FScratch);
    else
      FValue.Power(FScratch);
    break;
  case eoRandom:
    if (FChildren.empty()) {
      FValue.Random(nullptr);
    } else {
      CopyResult(FScratch, ArgValue(0));
      FValue.Random(&FScratch);
    }
    break;
  case eoRound:
  case eoTrunc: {
    CopyResult(FValue, ArgValue(0));
    const TTolvanVariant* Digits = FChildren.size() > 1 ? &ArgValue(1) : nullptr;
    if (FOperator == eoRound)
      FValue.Round(Digits);
    else
      FValue.Trunc(Digits);
    break;
  }
  case eoBitAnd:
  case eoBitOr:
  case eoXor:
  case eoShl:
  case eoShr: {
    CopyResult(FValue, ArgValue(0));
    const TTolvanVariant& Other = ArgValue(1);
    switch (FOperator) {
    case eoBitAnd:
      FValue.BitAnd(Other);
      break;
    case eoBitOr:
      FValue.BitOr(Other);
      break;
    case eoXor:
      FValue.BitXor(Other);
      break;
    case eoShl:
      FValue.ShiftLeft(Other);
      break;
    default:
      FValue.ShiftRight(Other);
      break;
    }
    break;
  }
  case eoHex: {
    CopyResult(FValue, ArgValue(0));
    const int32_t Prefix = FChildren.size() > 1 ? Int32Of(ArgValue(1)) : 0;
    FValue.ConvertToHexString(Prefix);
    break;
  }
  default:
    RaiseUnknownOperator(ErrArithmeticOperator, FOperator);
  }
  return FValue;
}

TTolvanFieldType TTolvanExprNodeArithmetic::GetDataType() {
  switch (FOperator) {
  case eoNegate:
    return SignedWidening(TTolvanExprNode::GetDataType());
  case eoCeil:
  case eoFloor:
    return tftInteger;
  case eoMod:
    return tftLargeInt;
  case eoPower:
    return IsIntegerValueType(ValueTypeOfFieldType(Arg(0).GetDataType())) ? tftLargeInt
                                                                          : tftExtended;
  case eoRandom:
    return FChildren.empty() ? tftExtended : tftInteger;
  case eoRound:
  case eoTrunc:
    return FChildren.size() > 1 ? tftExtended : tftLargeInt;
  case eoHex:
    return tftChar;
  default:
    return TTolvanExprNode::GetDataType();
  }
}

// ---------------------------------------------------------------------------------------------
// String functions
// ---------------------------------------------------------------------------------------------

namespace {

// Where an ANSI result is stored: the value keeps its text type, a MEMO becomes a STRING.
TTolvanValueType NarrowResultType(TTolvanValueType T) { return T == tvtChar ? tvtChar : tvtString; }
TTolvanValueType WideResultType(TTolvanValueType T) {
  return T == tvtWideChar || T == tvtChar ? tvtWideChar : tvtWideString;
}

// The trimming of blanks and control characters.
template <class C>
std::basic_string_view<C> TrimText(std::basic_string_view<C> S, bool Left, bool Right) {
  size_t B = 0, E = S.size();
  if (Left)
    while (B < E && static_cast<std::make_unsigned_t<C>>(S[B]) <= ' ')
      ++B;
  if (Right)
    while (E > B && static_cast<std::make_unsigned_t<C>>(S[E - 1]) <= ' ')
      --E;
  return S.substr(B, E - B);
}

// 1-based position of Needle in Haystack; 0 when absent or when Needle is empty.
template <class C>
int32_t PositionOf(std::basic_string_view<C> Needle, std::basic_string_view<C> Haystack) {
  if (Needle.empty())
    return 0;
  const size_t P = Haystack.find(Needle);
  return P == std::basic_string_view<C>::npos ? 0 : int32_t(std::min<size_t>(P + 1, INT32_MAX));
}

// The class library's copy rule over a text of Length characters: a start below 1 counts as 1;
// a start beyond the end or a negative count give nothing; the count stops at the end.
std::pair<size_t, size_t> CopyRange(int64_t Length, int64_t Start, int64_t Count) {
  if (Start < 1)
    Start = 1;
  if (Start > Length || Count <= 0)
    return {0, 0};
  return {size_t(Start - 1), size_t(std::min(Count, Length - Start + 1))};
}

} // namespace

TTolvanExprNode::TNodePtr TTolvanExprNodeStringFunction::Clone() const {
  return TNodePtr(new TTolvanExprNodeStringFunction(*this, TCloneTag{}));
}

const TTolvanVariant& TTolvanExprNodeStringFunction::TextOperand(const TTolvanVariant& V,
                                                                 TTolvanVariant& Scratch) {
  if (V.IsString())
    return V;
  Scratch.Assign(V, false);
  Scratch.CastTo(tvtString);
  return Scratch;
}

const TTolvanVariant& TTolvanExprNodeStringFunction::GetValue() {
  switch (FOperator) {
  case eoConcat:
    Concat();
    break;
  case eoUpper:
  case eoLower:
  case eoTrim:
  case eoLTrim:
  case eoRTrim:
    Transform();
    break;
  case eoLength: {
    const TTolvanVariant& A = TextOperand(ArgValue(0), FScratch);
    SetIntegerResult(FValue, A.IsNull() ? 0 : A.GetLength());
    break;
  }
  case eoPos:
    Pos();
    break;
  case eoSubstring:
    Substring();
    break;
  default:
    RaiseUnknownOperator(ErrStringOperator, FOperator);
  }
  return FValue;
}

void TTolvanExprNodeStringFunction::Concat() {
  // Every operand is read as text, a null as the empty text; wide when any operand is.
  const TTolvanVariant& First = TextOperand(ArgValue(0), FScratch);
  const TTolvanValueType FirstType = First.DataType();
  bool Wide = First.IsWide();
  if (FChildren.size() == 1) {
    CopyResult(FValue, First);
    return;
  }
  if (Wide)
    WideTextOf(First, FWide);
  else
    FText.assign(AnsiTextOf(First, FText2));
  for (size_t I = 1; I < FChildren.size(); ++I) {
    const TTolvanVariant& Other = FChildren[I]->GetValue();
    if (!Wide && Other.IsWide()) {
      Wide = true;
      FWide = AnsiToWide(FText);
    }
    if (Wide) {
      WideTextOf(Other, FWide2);
      FWide += FWide2;
    } else {
      FText += AnsiTextOf(Other, FText2);
    }
  }
  if (Wide)
    SetWideTextResult(FValue, WideResultType(FirstType), FWide);
  else
    SetTextResult(FValue, NarrowResultType(FirstType), FText);
}

void TTolvanExprNodeStringFunction::Transform() {
  const TTolvanVariant& A = TextOperand(ArgValue(0), FScratch);
  if (A.IsNull()) {
    SetNullResult(FValue, A.DataType());
    return;
  }
  const bool Left = FOperator == eoTrim || FOperator == eoLTrim;
  const bool Right = FOperator == eoTrim || FOperator == eoRTrim;
  if (A.IsWide()) {
    ReadWideText(A, FWide);
    if (FOperator == eoUpper)
      std::transform(FWide.begin(), FWide.end(), FWide.begin(), WideUpperChar);
    else if (FOperator == eoLower)
      std::transform(FWide.begin(), FWide.end(), FWide.begin(), WideLowerChar);
    std::u16string_view S = FWide;
    if (Left || Right)
      S = TrimText(S, Left, Right);
    SetWideTextResult(FValue, WideResultType(A.DataType()), S);
    return;
  }
  std::string_view S = NarrowTextOf(A);
  if (FOperator == eoUpper || FOperator == eoLower) {
    FText.resize(S.size());
    const bool Up = FOperator == eoUpper;
    for (size_t I = 0; I < S.size(); ++I)
      FText[I] = Up ? AnsiUpperChar(S[I]) : AnsiLowerChar(S[I]);
    S = FText;
  } else {
    S = TrimText(S, Left, Right);
  }
  SetTextResult(FValue, NarrowResultType(A.DataType()), S);
}

void TTolvanExprNodeStringFunction::Pos() {
  const TTolvanVariant& A0 = ArgValue(0);
  const TTolvanVariant& B0 = ArgValue(1);
  if (A0.IsNull() || B0.IsNull()) {
    SetIntegerResult(FValue, 0);
    return;
  }
  const TTolvanVariant& A = TextOperand(A0, FScratch);
  const TTolvanVariant& B = TextOperand(B0, FScratch2);
  // The search is made in the searched text's kind: a MEMO is narrow, a WIDEMEMO wide.
  int32_t P;
  if (B.IsWide()) {
    WideTextOf(A, FWide);
    WideTextOf(B, FWide2);
    P = PositionOf<char16_t>(FWide, FWide2);
  } else {
    const std::string_view Needle = AnsiTextOf(A, FText);
    P = PositionOf<char>(Needle, AnsiTextOf(B, FText2));
  }
  SetIntegerResult(FValue, P);
}

void TTolvanExprNodeStringFunction::Substring() {
  const TTolvanVariant& A = TextOperand(ArgValue(0), FScratch);
  const int64_t Start = Int32Of(ArgValue(1));
  const int64_t Count =
      FChildren.size() > 2 ? Int32Of(ArgValue(2)) : (A.IsNull() ? 0 : A.GetLength());
  if (A.IsNull()) {
    SetNullResult(FValue, A.DataType());
    return;
  }
  if (A.IsWide()) {
    ReadWideText(A, FWide);
    const auto [From, N] = CopyRange(int64_t(FWide.size()), Start, Count);
    SetWideTextResult(FValue, WideResultType(A.DataType()),
                      std::u16string_view(FWide).substr(From, N));
  } else {
    const std::string_view S = NarrowTextOf(A);
    const auto [From, N] = CopyRange(int64_t(S.size()), Start, Count);
    SetTextResult(FValue, NarrowResultType(A.DataType()), S.substr(From, N));
  }
}

TTolvanFieldType TTolvanExprNodeStringFunction::GetDataType() {
  switch (FOperator) {
  case eoLength:
  case eoPos:
    return tftInteger;
  case eoConcat:
    return TTolvanExprNode::GetDataType();
  default:
    return Arg(0).GetDataType();
  }
}

int32_t TTolvanExprNodeStringFunction::GetDataSize() {
  switch (FOperator) {
  case eoConcat: {
    int64_t Sum = 0;
    for (const TNodePtr& C : FChildren)
      Sum += TextSizeOf(*C);
    return int32_t(std::min<int64_t>(Sum, INT32_MAX));
  }
  case eoUpper:
  case eoLower:
  case eoTrim:
  case eoLTrim:
  case eoRTrim:
  case eoSubstring:
    return Arg(0).GetDataSize();
  default:
    return 0;
  }
}

// ---------------------------------------------------------------------------------------------
// CAST
// ---------------------------------------------------------------------------------------------

TTolvanExprNodeCast::TTolvanExprNodeCast(TNodePtr Value, TTolvanFieldType TargetType)
    : TTolvanExprNode(eoCast, std::move(Value), true, false), FTargetType(TargetType) {}

TTolvanExprNode::TNodePtr TTolvanExprNodeCast::Clone() const {
  return TNodePtr(new TTolvanExprNodeCast(*this, TCloneTag{}));
}

const TTolvanVariant& TTolvanExprNodeCast::GetValue() {
  const TTolvanVariant& V = ArgValue(0);
  const TTolvanValueType Target = ValueTypeOfFieldType(FTargetType);
  if (V.DataType() == Target) {
    FValue.Assign(V, false);
  } else {
    // The conversion makes the value's own buffer; the child's bytes are only read.
    FValue.Assign(V, false);
    FValue.CastTo(Target);
  }
  return FValue;
}

// ---------------------------------------------------------------------------------------------
// Date functions
// ---------------------------------------------------------------------------------------------

TTolvanExprNodeDateFunction::TTolvanExprNodeDateFunction(TTolvanExprOperator Operator,
                                                         TNodePtr Value, std::string_view Format)
    : TTolvanExprNode(Operator, std::move(Value), true, false), FFormat(Format),
      FFormatter(std::make_unique<TDateFormater>(Format)) {}

TTolvanExprNodeDateFunction::TTolvanExprNodeDateFunction(const TTolvanExprNodeDateFunction& Source,
                                                         TCloneTag)
    : TTolvanExprNode(Source, TCloneTag{}), FFormat(Source.FFormat) {
  if (Source.FFormatter)
    FFormatter = std::make_unique<TDateFormater>(FFormat);
}

TTolvanExprNode::TNodePtr TTolvanExprNodeDateFunction::Clone() const {
  return TNodePtr(new TTolvanExprNodeDateFunction(*this, TCloneTag{}));
}

TDateFormater& TTolvanExprNodeDateFunction::Formatter() {
  // TODATE and TOSTRING made without a format read and write by the empty one.
  if (!FFormatter)
    FFormatter = std::make_unique<TDateFormater>(FFormat);
  return *FFormatter;
}

const TTolvanVariant& TTolvanExprNodeDateFunction::GetValue() {
  switch (FOperator) {
  case eoNow:
    PrepareResultType(FValue, tvtDateTime);
    FValue.SetAsDateTime(Now());
    break;
  case eoCurrentDate:
    PrepareResultType(FValue, tvtDate);
    FValue.SetAsDate(Date());
    break;
  case eoCurrentTime:
    PrepareResultType(FValue, tvtTime);
    FValue.SetAsTime(Time());
    break;
  case eoToDate:
    ToDate();
    break;
  case eoToString: {
    const TTolvanVariant& V = ArgValue(0);
    if (V.IsNull()) {
      SetNullResult(FValue, tvtString);
      break;
    }
    FText.clear();
    Formatter().AppendDateTimeText(FText, DateTimeOf(V), FormatSettings());
    SetTextResult(FValue, tvtString, FText);
    break;
  }
  default:
    if (FOperator < eoYear || FOperator > eoMSecond)
      RaiseUnknownOperator(ErrDateOperator, FOperator);
    DatePart();
    break;
  }
  return FValue;
}

void TTolvanExprNodeDateFunction::ToDate() {
  const TTolvanVariant& V = ArgValue(0);
  if (V.IsNull()) {
    SetNullResult(FValue, tvtDateTime);
    return;
  }
  const TDateTime D = Formatter().TextToDateTime(AnsiTextOf(V, FText));
  // The kind follows what the text held: a time alone, a date alone (or at midnight), or both.
  const double Whole = std::trunc(D);
  if (D != 0 && Whole == 0) {
    PrepareResultType(FValue, tvtTime);
    FValue.SetAsTime(D);
  } else if (D - Whole == 0) {
    PrepareResultType(FValue, tvtDate);
    FValue.SetAsDate(D);
  } else {
    PrepareResultType(FValue, tvtDateTime);
    FValue.SetAsDateTime(D);
  }
}

void TTolvanExprNodeDateFunction::DatePart() {
  if (FChildren.empty())
    throw ETolvanException::CreateFmt(ErrDatePartArgument, SArgumentExpectedInSqlFunction,
                                      OperatorToText(FOperator));
  const bool Name = FOperator == eoDayName || FOperator == eoMonthName;
  const TTolvanVariant& V = FChildren[0]->GetValue();
  if (V.IsNull() || V.DataSize() <= 0) {
    SetNullResult(FValue, Name ? tvtString : tvtUnsignedInt16);
    return;
  }
  const TDateTime D = DateTimeOf(V);
  int Year, Month, Day, Hour, Minute, Second, MSecond;
  int Part;
  switch (FOperator) {
  case eoYear:
  case eoQuarter:
  case eoMonth:
  case eoDay:
    DecodeDate(D, Year, Month, Day);
    Part = FOperator == eoYear      ? Year
           : FOperator == eoQuarter ? (Month - 1) / 3 + 1
           : FOperator == eoMonth   ? Month
                                    : Day;
    break;
  case eoWeekDay:
    Part = DayOfWeekSundayFirst(D);
    break;
  case eoDayOfWeek:
    Part = IsoDayOfWeek(D);
    break;
  case eoDayName:
    SetTextResult(FValue, tvtString, DayNames[size_t(DayOfWeekSundayFirst(D) - 1)]);
    return;
  case eoMonthName:
    DecodeDate(D, Year, Month, Day);
    SetTextResult(FValue, tvtString, MonthNames[size_t(Month - 1)]);
    return;
  default:
    DecodeTime(D, Hour, Minute, Second, MSecond);
    Part = FOperator == eoHour     ? Hour
           : FOperator == eoMinute ? Minute
           : FOperator == eoSecond ? Second
                                   : MSecond;
    break;
  }
  SetWordResult(FValue, uint16_t(Part));
}

TTolvanFieldType TTolvanExprNodeDateFunction::GetDataType() {
  switch (FOperator) {
  case eoNow:
  case eoCurrentDate:
  case eoCurrentTime:
  case eoToDate:
    return tftDateTime;
  case eoToString:
  case eoDayName:
  case eoMonthName:
    return tftVarchar;
  default:
    if (FOperator < eoYear || FOperator > eoMSecond)
      RaiseUnknownOperator(ErrDateTypeOperator, FOperator);
    return tftWord;
  }
}

int32_t TTolvanExprNodeDateFunction::GetDataSize() {
  switch (FOperator) {
  case eoToString:
    return Formatter().MaxTextLength();
  case eoDayName:
  case eoMonthName:
    return 9;
  default:
    return 0;
  }
}

// ---------------------------------------------------------------------------------------------
// TOBLOB
// ---------------------------------------------------------------------------------------------

TTolvanExprNodeBLOBFunction::TTolvanExprNodeBLOBFunction(TTolvanExprOperator Operator,
                                                         std::string_view Text, int32_t Format)
    : TTolvanExprNode(Operator, false, false) {
  void* Block = nullptr;
  try {
    if (Format == 0)
      Block = Mime64TextToBlob(Text);
    else if (Format == 1)
      Block = HexTextToBlob(Text);
    else
      throw EStringFormat(std::string(SOperationNotSupported));
  } catch (const EStringFormat&) {
    throw ETolvanException::CreateFmt(ErrBlobConvert, SCannotConvertBlobValue, Text, Format);
  }
  FValue.Clear(tvtBLOB);
  if (Block)
    FValue.SetBuffer(Block, int32_t(MemoryManager.GetMemSize(Block)), tvtBLOB, false, true);
}

TTolvanExprNodeBLOBFunction::TTolvanExprNodeBLOBFunction(const TTolvanExprNodeBLOBFunction& Source,
                                                         TCloneTag)
    : TTolvanExprNode(Source, TCloneTag{}) {
  FValue.Assign(Source.FValue, true);
}

TTolvanExprNode::TNodePtr TTolvanExprNodeBLOBFunction::Clone() const {
  return TNodePtr(new TTolvanExprNodeBLOBFunction(*this, TCloneTag{}));
}

const TTolvanVariant& TTolvanExprNodeBLOBFunction::GetValue() {
  if (FOperator != eoToBlob)
    RaiseUnknownOperator(ErrBlobOperator, FOperator);
  return FValue;
}

// ---------------------------------------------------------------------------------------------
// LASTAUTOINC
// ---------------------------------------------------------------------------------------------

TTolvanExprNodeSystem::TTolvanExprNodeSystem(TTolvanExprOperator Operator,
                                             std::string_view TableName, std::string_view FieldName,
                                             bool InMemory, std::string_view SessionName,
                                             std::string_view DatabaseName)
    : TTolvanExprNode(Operator, true, false), FSessionName(SessionName),
      FDatabaseName(DatabaseName), FTableName(TableName), FFieldName(FieldName),
      FInMemory(InMemory) {
  Open();
}

TTolvanExprNodeSystem::TTolvanExprNodeSystem(const TTolvanExprNodeSystem& Source, TCloneTag)
    : TTolvanExprNode(Source, TCloneTag{}), FSessionName(Source.FSessionName),
      FDatabaseName(Source.FDatabaseName), FTableName(Source.FTableName),
      FFieldName(Source.FFieldName), FInMemory(Source.FInMemory) {
  Open();
}

TTolvanExprNodeSystem::~TTolvanExprNodeSystem() = default;

void TTolvanExprNodeSystem::Open() {
  FTable =
      ExprServices().OpenAutoInc(FTableName, FFieldName, FInMemory, FSessionName, FDatabaseName);
  FFieldType = FTable->FieldType();
}

TTolvanExprNode::TNodePtr TTolvanExprNodeSystem::Clone() const {
  return TNodePtr(new TTolvanExprNodeSystem(*this, TCloneTag{}));
}

const TTolvanVariant& TTolvanExprNodeSystem::GetValue() {
  if (FOperator != eoLastAutoInc)
    RaiseUnknownOperator(ErrAutoIncOperator, FOperator);
  SetNullResult(FValue, tvtSignedInt64);
  SetLargeIntResult(FValue, FTable->CurrentValue());
  return FValue;
}

// ---------------------------------------------------------------------------------------------
// Aggregates
// ---------------------------------------------------------------------------------------------

namespace {

// Sum += V. Integers add as SIGNEDINT64, checked; everything else through the value's Add,
// the first value becoming the sum.
void AddToSum(TTolvanVariant& Sum, const TTolvanVariant& V) {
  if (V.IsInteger()) {
    if (Sum.IsNull()) {
      SetLargeIntResult(Sum, IntegerOf(V));
      return;
    }
    if (Sum.DataType() == tvtSignedInt64) {
      int64_t R;
      if (__builtin_add_overflow(IntegerOf(Sum), IntegerOf(V), &R))
        throw EIntOverflow(std::string(SysConst::SIntOverflow));
      SetLargeIntResult(Sum, R);
      return;
    }
  }
  if (Sum.IsNull())
    CopyResult(Sum, V);
  else
    Sum.Add(V);
}

} // namespace

TTolvanExprNodeAggregated::TTolvanExprNodeAggregated(TTolvanExprOperator Operator)
    : TTolvanExprNode(Operator, true, false) {}

TTolvanExprNodeAggregated::TTolvanExprNodeAggregated(TTolvanExprOperator Operator, bool Distinct,
                                                     TNodePtr Argument)
    : TTolvanExprNode(Operator, std::move(Argument), true, false), FDistinct(Distinct) {}

TTolvanExprNodeAggregated::TTolvanExprNodeAggregated(const TTolvanExprNodeAggregated& Source,
                                                     TCloneTag)
    : TTolvanExprNode(Source, TCloneTag{}), FDistinct(Source.FDistinct) {}

TTolvanExprNodeAggregated::~TTolvanExprNodeAggregated() = default;

TTolvanExprNode::TNodePtr TTolvanExprNodeAggregated::Clone() const {
  return TNodePtr(new TTolvanExprNodeAggregated(*this, TCloneTag{}));
}

void TTolvanExprNodeAggregated::NewDistinctSet() {
  FDistinctSet.reset();
  if (FChildren.empty())
    throw ETolvanException::Create(ErrDistinctNoArgument, SNoChildrenInExpressionNode);
  TTolvanExprNode& A = *FChildren[0];
  FDistinctSet = ExprServices().CreateDistinctSet(A.GetDataType(), A.GetDataSize());
}

void TTolvanExprNodeAggregated::ResetAggregates() {
  FRowCount = 0;
  FValue.SetNull();
  FSum.SetNull();
  if (FDistinct)
    NewDistinctSet();
}

bool TTolvanExprNodeAggregated::IsNew(const TTolvanVariant& V) {
  if (!FDistinct)
    return true;
  // Fed without a reset: the group starts here.
  if (!FDistinctSet)
    NewDistinctSet();
  return FDistinctSet->InsertIfNew(V);
}

void TTolvanExprNodeAggregated::Accumulate(int32_t Weight) {
  if (FOperator == eoCountStar) {
    FRowCount += Weight;
    return;
  }
  if (FOperator < eoSum || FOperator > eoCount)
    RaiseUnknownOperator(ErrAccumulateOperator, FOperator);
  const TTolvanVariant& V = ArgValue(0);
  switch (FOperator) {
  case eoSum:
    if (V.IsNull()) {
      // Nulls only still sum to 0, in the argument's kind of number.
      if (FValue.IsNull()) {
        const TTolvanValueType T = ValueTypeOfFieldType(FChildren[0]->GetDataType());
        if (IsIntegerValueType(T)) {
          SetLargeIntResult(FValue, 0);
        } else {
          PrepareResultType(FValue, tvtExtended);
          FValue.SetAsExtended(0);
        }
      }
      return;
    }
    if (!V.IsNumeric())
      throw ETolvanException::CreateFmt(ErrSumNotNumeric, SNotNumericArgumentInOperator, "SUM");
    if (IsNew(V))
      AddToSum(FValue, V);
    return;
  case eoAvg:
    if (V.IsNull())
      return;
    if (!V.IsNumeric())
      throw ETolvanException::CreateFmt(ErrAvgNotNumeric, SNotNumericArgumentInOperator, "AVG");
    if (IsNew(V)) {
      AddToSum(FSum, V);
      FRowCount += Weight;
    }
    return;
  case eoMin:
  case eoMax:
    if (FValue.IsNull()) {
      CopyResult(FValue, V);
    } else if (!V.IsNull()) {
      const TTolvanCompareResult R = V.Compare(FValue, true, true, false);
      if (R == (FOperator == eoMin ? tcrLess : tcrGreater))
        CopyResult(FValue, V);
    }
    return;
  default: // COUNT
    if (!V.IsNull() && IsNew(V))
      FRowCount += Weight;
    return;
  }
}

const TTolvanVariant& TTolvanExprNodeAggregated::GetValue() {
  switch (FOperator) {
  case eoCount:
  case eoCountStar:
    if (FRowCount < INT32_MIN || FRowCount > INT32_MAX)
      throw EIntOverflow(std::string(SysConst::SIntOverflow));
    SetIntegerResult(FValue, int32_t(FRowCount));
    break;
  case eoAvg: {
    if (FSum.IsNull()) {
      FValue.SetNull();
      break;
    }
    // The count in the sum's own type: an integer sum divides as integers.
    TTolvanVariant Count(FSum.DataType());
    Count.SetAsLargeInt(FRowCount);
    CopyResult(FValue, FSum);
    FValue.Divide(Count);
    break;
  }
  default:
    break;
  }
  return FValue;
}

TTolvanFieldType TTolvanExprNodeAggregated::GetDataType() {
  if (FOperator == eoCount || FOperator == eoCountStar)
    return tftInteger;
  if (FChildren.empty())
    return tftNone;
  switch (FOperator) {
  case eoSum: {
    const TTolvanFieldType T = FChildren[0]->GetDataType();
    return T == tftSingle || T == tftDouble || T == tftExtended || T == tftCurrency ? T
                                                                                    : tftLargeInt;
  }
  case eoAvg:
    return tftDouble;
  case eoMin:
  case eoMax:
    return FChildren[0]->GetDataType();
  default:
    return tftNone;
  }
}

// ---------------------------------------------------------------------------------------------
// Name lists
// ---------------------------------------------------------------------------------------------

AnsiString ExtractName(std::string_view Text, int32_t& Position) {
  const size_t Start = Position < 1 ? 0 : size_t(Position) - 1;
  if (Start >= Text.size()) {
    Position = int32_t(std::min<size_t>(Text.size(), INT32_MAX - 1)) + 1;
    return {};
  }
  const size_t Semi = Text.find(';', Start);
  const std::string_view Name =
      Text.substr(Start, Semi == std::string_view::npos ? std::string_view::npos : Semi - Start);
  Position = int32_t(
      std::min<size_t>(Semi == std::string_view::npos ? Text.size() + 1 : Semi + 2, INT32_MAX));
  return Trim(Name);
}

void SplitNameList(TStringList& List, std::string_view Text) {
  if (Text.size() >= size_t(INT32_MAX) - 1)
    throw ERangeError(std::string(SysConst::SRangeError));
  List.Clear();
  int32_t Position = 1;
  while (size_t(Position) <= Text.size())
    List.Add(AnsiUpperCase(ExtractName(Text, Position)));
}

} // namespace tolvan
