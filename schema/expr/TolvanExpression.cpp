#include "schema/expr/TolvanExpression.h"

#include <algorithm>
#include <cmath>

#include "classlib/ByteOrder.h"
#include "classlib/StringList.h"
#include "foundation/TolvanExcept.h"
#include "foundation/TolvanMessages.h"
#include "foundation/TolvanVariantOps.h"
#include "schema/TolvanConstraintDef.h"
#include "schema/TolvanCursor.h"
#include "schema/TolvanIndexDef.h"
#include "schema/TolvanRecordBuffer.h"
#include "schema/expr/TolvanExprFunctions.h"
#include "schema/expr/TolvanExprParser.h"
#include "schema/expr/TolvanExprValues.h"
#include "schema/expr/TolvanLexer.h"

namespace tolvan {

namespace {

using TNode = TTolvanExprNodePtr;

bool IsAnd(const TTolvanExprNode* Node) {
  return Node && Node->Kind() == enkBoolean && Node->Operator() == eoAnd;
}

TNode NewAnd() { return std::make_unique<TTolvanExprNodeBoolean>(eoAnd, true, false); }

// Every child of Node, in order; Node is left without children. Released from the back, so the
// cost is linear in the number of children.
std::vector<TNode> TakeChildren(TTolvanExprNode& Node) {
  std::vector<TNode> Taken(size_t(Node.ChildCount()));
  for (int32_t I = Node.ChildCount() - 1; I >= 0; --I)
    Taken[size_t(I)] = Node.ReleaseChild(I);
  return Taken;
}

// The children of Node for which Flags is set, in order; the others stay in Node, in order.
// Linear in the number of children.
std::vector<TNode> TakeFlagged(TTolvanExprNode& Node, const std::vector<bool>& Flags) {
  std::vector<TNode> All = TakeChildren(Node);
  std::vector<TNode> Taken;
  for (size_t I = 0; I < All.size(); ++I) {
    if (Flags[I])
      Taken.push_back(std::move(All[I]));
    else
      Node.AddChild(std::move(All[I]));
  }
  return Taken;
}

// Undoes TakeFlagged: Taken goes back among Node's children where Flags says.
void PutBackFlagged(TTolvanExprNode& Node, const std::vector<bool>& Flags,
                    std::vector<TNode> Taken) {
  std::vector<TNode> Kept = TakeChildren(Node);
  size_t K = 0, T = 0;
  for (bool Flag : Flags)
    Node.AddChild(std::move(Flag ? Taken[T++] : Kept[K++]));
}

// Which children of Node satisfy Test; nothing changes, so a raise leaves the tree whole.
template <class F> std::vector<bool> FlagChildren(TTolvanExprNode& Node, F&& Test, bool& Any) {
  std::vector<bool> Flags(size_t(Node.ChildCount()));
  Any = false;
  for (int32_t I = 0; I < Node.ChildCount(); ++I)
    Any |= Flags[size_t(I)] = Test(*Node.Child(I));
  return Flags;
}

// The raise at the end of a text: the last token's place, or line 0, column 0 without tokens.
[[noreturn]] void RaiseEnd(TTolvanLexer& Lexer, int32_t Code) {
  int32_t Line = 0, Column = 0;
  if (Lexer.TokenCount() > 0) {
    const TToken& Last = Lexer.Tokens().back();
    Line = Last.Line;
    Column = Last.Column;
  }
  throw ETolvanException::CreateFmt(Code, SUnexpectedEndOfSqlCommand, Line, Column);
}

TTolvanExprNodeComparison* AsComparison(TTolvanExprNode* Node) {
  if (!Node || Node->Kind() != enkComparison || Node->Operator() < eoEqual ||
      Node->Operator() > eoLessOrEqual)
    return nullptr;
  return static_cast<TTolvanExprNodeComparison*>(Node);
}

// The field reference and the constant among a comparison's two operands, and whether the
// constant stands on the left.
struct TOperands {
  TTolvanExprNodeField* Field = nullptr;
  TTolvanExprNodeConst* Const = nullptr;
  bool ConstFirst = false;
};

TOperands OperandsOf(TTolvanExprNode& Comparison) {
  TOperands R;
  if (Comparison.ChildCount() != 2)
    return R;
  TTolvanExprNode* A = Comparison.Child(0);
  TTolvanExprNode* B = Comparison.Child(1);
  if (A->Kind() == enkField && B->Kind() == enkConst) {
    R.Field = static_cast<TTolvanExprNodeField*>(A);
    R.Const = static_cast<TTolvanExprNodeConst*>(B);
  } else if (A->Kind() == enkConst && B->Kind() == enkField) {
    R.Field = static_cast<TTolvanExprNodeField*>(B);
    R.Const = static_cast<TTolvanExprNodeConst*>(A);
    R.ConstFirst = true;
  }
  return R;
}

// The range of an integer value type.
bool IntegerRange(TTolvanValueType T, long double& Low, long double& High) {
  switch (T) {
  case tvtSignedInt8:
    Low = -128.0L;
    High = 127.0L;
    return true;
  case tvtSignedInt16:
    Low = -32768.0L;
    High = 32767.0L;
    return true;
  case tvtInteger:
    Low = -2147483648.0L;
    High = 2147483647.0L;
    return true;
  case tvtSignedInt64:
    Low = -9223372036854775808.0L;
    High = 9223372036854775807.0L;
    return true;
  case tvtUnsignedInt8:
    Low = 0;
    High = 255.0L;
    return true;
  case tvtUnsignedInt16:
    Low = 0;
    High = 65535.0L;
    return true;
  case tvtUnsignedInt32:
    Low = 0;
    High = 4294967295.0L;
    return true;
  default:
    return false;
  }
}

// Significant bits a value type keeps exactly: an integer's width, a float's mantissa.
int32_t ExactBits(TTolvanValueType T) {
  switch (T) {
  case tvtSignedInt8:
    return 8;
  case tvtSignedInt16:
    return 16;
  case tvtInteger:
    return 32;
  case tvtSignedInt64:
    return 64;
  case tvtUnsignedInt8:
    return 8;
  case tvtUnsignedInt16:
    return 16;
  case tvtUnsignedInt32:
    return 32;
  case tvtSingle:
    return 24;
  case tvtFloat:
    return 53;
  case tvtExtended:
    return 64;
  default:
    return 0;
  }
}

bool IsFloatType(TTolvanValueType T) { return T == tvtSingle || T == tvtFloat || T == tvtExtended; }

// Comparing in Common orders the values of a Column column as the column's index does.
bool ComparesInColumnOrder(TTolvanValueType Column, TTolvanValueType Common) {
  if (Common == Column)
    return true;
  if ((Column == tvtChar && Common == tvtString) || (Column == tvtString && Common == tvtChar) ||
      (Column == tvtWideChar && Common == tvtWideString) ||
      (Column == tvtWideString && Common == tvtWideChar))
    return true;
  long double ColumnLow, ColumnHigh;
  if (IntegerRange(Column, ColumnLow, ColumnHigh)) {
    long double Low, High;
    if (IntegerRange(Common, Low, High))
      return Low <= ColumnLow && ColumnHigh <= High;
    if (IsFloatType(Common))
      return ExactBits(Column) <= ExactBits(Common);
    return false;
  }
  if (IsFloatType(Column) && IsFloatType(Common))
    return ExactBits(Column) <= ExactBits(Common);
  return false;
}

// The column of a comparison's field, when it is bound to a cursor.
const TTolvanFieldDef* ColumnOf(const TTolvanExprNodeField& Field) {
  TTolvanCursor* Cursor = Field.Cursor();
  if (!Cursor || Field.FieldNo() < 0 || Field.FieldNo() >= Cursor->FieldDefs().Count())
    return nullptr;
  return &Cursor->FieldDefs().Items(Field.FieldNo());
}

bool UsableColumnType(TTolvanValueType T) {
  return T != tvtNone && !IsBlobValueType(T) && T != tvtBytes && T != tvtVarBytes;
}

// Everything of indexability that needs no key: shape, column, index column, options, types.
bool IndexableShape(TTolvanExprNode& Node, const TTolvanIndexDef& IndexDef) {
  TTolvanExprNodeComparison* Comparison = AsComparison(&Node);
  if (!Comparison || Comparison->Operator() == eoNotEqual || Comparison->Partial() ||
      IndexDef.ColumnCount() == 0)
    return false;
  const TOperands Ops = OperandsOf(*Comparison);
  if (!Ops.Field)
    return false;
  if (!AnsiSameText(Ops.Field->FieldName(), IndexDef.Columns(0).Name()))
    return false;
  const TTolvanFieldDef* Column = ColumnOf(*Ops.Field);
  if (!Column || !UsableColumnType(Column->BaseType()))
    return false;
  const TTolvanValueType ColumnType = Column->BaseType();
  if (IsStringValueType(ColumnType) &&
      (IndexDef.Columns(0).CaseInsensitive() != 0) != Comparison->CaseInsensitive())
    return false;
  const TTolvanVariant& Constant = Ops.Const->Value();
  if (Constant.IsNull())
    return !Comparison->KeepNullCodes();
  const TTolvanValueType Common = Ops.ConstFirst ? CommonValueType(Constant.DataType(), ColumnType)
                                                 : CommonValueType(ColumnType, Constant.DataType());
  return ComparesInColumnOrder(ColumnType, Common);
}

// A number of an integer or binary floating type, read from its storage form.
struct TNumber {
  bool Integral = false;
  int64_t Integer = 0;
  long double Real = 0;
};

// A borrowed value may stand anywhere in a record buffer: read through LoadLE.
bool ReadNumber(const TTolvanVariant& V, TNumber& N) {
  const void* P = V.Data();
  const auto Int = [&](auto X) {
    N.Integral = true;
    N.Integer = int64_t(X);
    return true;
  };
  const auto Real = [&](auto X) {
    N.Real = (long double)X;
    return true;
  };
  if (!P || V.DataSize() != ValueTypeDataSize(V.DataType(), 0))
    return false;
  switch (V.DataType()) {
  case tvtSignedInt8:
    return Int(LoadLE<int8_t>(P));
  case tvtSignedInt16:
    return Int(LoadLE<int16_t>(P));
  case tvtInteger:
    return Int(LoadLE<int32_t>(P));
  case tvtSignedInt64:
    return Int(LoadLE<int64_t>(P));
  case tvtUnsignedInt8:
    return Int(LoadLE<uint8_t>(P));
  case tvtUnsignedInt16:
    return Int(LoadLE<uint16_t>(P));
  case tvtUnsignedInt32:
    return Int(LoadLE<uint32_t>(P));
  case tvtSingle:
    return Real(LoadLE<float>(P));
  case tvtFloat:
    return Real(LoadLE<double>(P));
  default:
    return false;
  }
}

// N in the storage form of T, into Out (8 bytes); false when T is not an integer or binary
// floating type, or N is not a whole number within T's range for an integer T.
bool WriteNumber(const TNumber& N, TTolvanValueType T, uint8_t* Out) {
  long double Low, High;
  if (IntegerRange(T, Low, High)) {
    int64_t I = N.Integer;
    if (!N.Integral) {
      if (!(N.Real >= Low && N.Real <= High) || N.Real != std::trunc(N.Real))
        return false;
      I = int64_t(N.Real);
    } else if ((long double)I < Low || (long double)I > High) {
      return false;
    }
    const auto Put = [&](auto X) {
      StoreLE(Out, X);
      return true;
    };
    switch (T) {
    case tvtSignedInt8:
      return Put(int8_t(I));
    case tvtSignedInt16:
      return Put(int16_t(I));
    case tvtInteger:
      return Put(int32_t(I));
    case tvtSignedInt64:
      return Put(int64_t(I));
    case tvtUnsignedInt8:
      return Put(uint8_t(I));
    case tvtUnsignedInt16:
      return Put(uint16_t(I));
    case tvtUnsignedInt32:
      return Put(uint32_t(I));
    default:
      return false;
    }
  }
  const long double R = N.Integral ? (long double)N.Integer : N.Real;
  if (T == tvtSingle) {
    StoreLE(Out, float(R));
    return true;
  }
  if (T == tvtFloat) {
    StoreLE(Out, double(R));
    return true;
  }
  return false;
}

// Value borrows the constant in the column's type without taking memory: the constant itself
// when its type is the column's or the other text type of the same width, a number converted
// into Scratch when both are integer or binary floating types. False when neither applies.
bool BorrowInColumnType(const TTolvanVariant& Constant, TTolvanValueType ColumnType,
                        TTolvanVariant& Value, uint8_t (&Scratch)[8]) {
  const TTolvanValueType T = Constant.DataType();
  const bool SameText =
      ((T == tvtChar || T == tvtString) && (ColumnType == tvtChar || ColumnType == tvtString)) ||
      ((T == tvtWideChar || T == tvtWideString) &&
       (ColumnType == tvtWideChar || ColumnType == tvtWideString));
  if (T == ColumnType || SameText) {
    if (IsBlobValueType(T))
      return false;
    // A borrowed value is cast by changing its type only.
    Value.SetBuffer(Constant.Data(), Constant.DataSize(), T, false, false);
    return true;
  }
  TNumber N;
  if (!ReadNumber(Constant, N) || !WriteNumber(N, ColumnType, Scratch))
    return false;
  Value.SetBuffer(Scratch, ValueTypeDataSize(ColumnType, 0), ColumnType, false, false);
  return true;
}

// A key for the comparison's constant at its column: a zero-filled, all-null record buffer of
// the field's cursor (a block of Blocks) with a converted copy of the constant written in. Nil
// when the constant does not convert, or does not read back equal to itself under the
// comparison's options: the index would then look up another value than the comparison
// compares with. Integers, binary floats and texts convert without taking memory.
uint8_t* ExactKey(TTolvanExprNodeComparison& Comparison, const TOperands& Ops,
                  TTolvanExtractedComparisons& Blocks) {
  TTolvanCursor& Cursor = *Ops.Field->Cursor();
  const int32_t FieldNo = Ops.Field->FieldNo();
  const int64_t Size = Cursor.RecordSize();
  struct TGuard {
    TTolvanExtractedComparisons& Blocks;
    uint8_t* Key;
    int64_t Size;
    ~TGuard() { Blocks.ReturnKeyBlock(Key, Size); }
  } Guard{Blocks, Blocks.TakeKeyBlock(Size), Size};
  uint8_t* const Key = Guard.Key;
  SetAllNull(Key, Cursor.FieldDefs().Count());
  const TTolvanVariant& Constant = Ops.Const->Value();
  TTolvanVariant Copy, Back;
  uint8_t Scratch[8];
  try {
    const TTolvanFieldDef* Column = ColumnOf(*Ops.Field);
    if (Constant.IsNull() || !Column ||
        !BorrowInColumnType(Constant, Column->BaseType(), Copy, Scratch))
      Copy.Assign(Constant, true);
    Cursor.SetCursorFieldValue(Copy, FieldNo, Key, true);
    uint8_t* Saved = Cursor.RecordBuffer();
    Cursor.SetRecordBuffer(Key);
    try {
      // Borrowed: the key outlives the comparison below.
      Cursor.GetFieldValue(Back, FieldNo, true, false);
    } catch (...) {
      Cursor.SetRecordBuffer(Saved);
      throw;
    }
    Cursor.SetRecordBuffer(Saved);
    const TTolvanCompareResult R =
        Ops.ConstFirst ? Constant.Compare(Back, false, Comparison.CaseInsensitive(), false)
                       : Back.Compare(Constant, false, Comparison.CaseInsensitive(), false);
    if (FoldNullCodes(R) != tcrEqual)
      return nullptr;
  } catch (const Exception&) {
    return nullptr;
  }
  Guard.Key = nullptr;
  return Key;
}

// The key condition type of Comparison seen from the field's side on a column of that order.
uint8_t ConditionTypeOf(TTolvanExprOperator Operator, bool ConstFirst, bool Descending) {
  if (ConstFirst) {
    switch (Operator) {
    case eoGreater:
      Operator = eoLess;
      break;
    case eoLess:
      Operator = eoGreater;
      break;
    case eoGreaterOrEqual:
      Operator = eoLessOrEqual;
      break;
    case eoLessOrEqual:
      Operator = eoGreaterOrEqual;
      break;
    default:
      break;
    }
  }
  switch (Operator) {
  case eoGreater:
    return Descending ? sctLess : sctGreater;
  case eoLess:
    return Descending ? sctGreater : sctLess;
  case eoGreaterOrEqual:
    return Descending ? sctLessOrEqual : sctGreaterOrEqual;
  case eoLessOrEqual:
    return Descending ? sctGreaterOrEqual : sctLessOrEqual;
  default:
    return sctEqual;
  }
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Construction and options
// ---------------------------------------------------------------------------------------------

TTolvanExpression::~TTolvanExpression() = default;

void TTolvanExpression::SetParams(const TParams* Value) {
  if (!Value) {
    FParams.reset();
    return;
  }
  if (Value == FParams.get())
    return;
  auto Copy = std::make_unique<TParams>();
  Copy->Assign(*Value);
  FParams = std::move(Copy);
}

void TTolvanExpression::AssignOptions(const TTolvanExpression& Other) {
  if (&Other == this)
    return;
  SetParams(Other.FParams.get());
  FLexer = Other.FLexer;
  FCaseInsensitive = Other.FCaseInsensitive;
  FPartialCompare = Other.FPartialCompare;
  FKeepNullCodes = Other.FKeepNullCodes;
}

std::unique_ptr<TTolvanExpression> TTolvanExpression::Clone() const {
  auto Copy = std::make_unique<TTolvanExpression>(FRoot ? FRoot->Clone() : nullptr);
  Copy->AssignOptions(*this);
  Copy->FCursor = FCursor;
  Copy->FInMemory = FInMemory;
  Copy->FDatabaseName = FDatabaseName;
  Copy->FSessionName = FSessionName;
  return Copy;
}

void TTolvanExpression::PrepareTree() {
  if (FRoot)
    FRoot->Prepare();
}

void TTolvanExpression::SetConjuncts(std::vector<TNode> Conjuncts) {
  if (Conjuncts.empty()) {
    FRoot.reset();
  } else if (Conjuncts.size() == 1) {
    FRoot = std::move(Conjuncts.front());
  } else {
    TNode And = NewAnd();
    for (TNode& C : Conjuncts)
      And->AddChild(std::move(C));
    FRoot = std::move(And);
  }
}

// ---------------------------------------------------------------------------------------------
// Builders
// ---------------------------------------------------------------------------------------------

void TTolvanExpression::BuildFromIndexKey(TTolvanCursor* Cursor, TTolvanCursor& SourceCursor,
                                          const TTolvanIndexDef& IndexDef,
                                          const TTolvanConstraintDefForeignKeyAction& ForeignKey) {
  Clear();
  FCursor = Cursor;
  FKeepNullCodes = false;
  FCaseInsensitive = false;
  FPartialCompare = false;
  std::vector<TNode> Conjuncts;
  const std::vector<TTolvanObjectRef>& Columns = ForeignKey.Columns();
  for (size_t I = 0; I < Columns.size(); ++I) {
    TTolvanVariant Value;
    SourceCursor.GetFieldValue(Value, SourceCursor.FieldDefs().IndexOfID(Columns[I].ObjectID()),
                               true, true);
    if (Value.IsNull())
      continue;
    auto Constant = std::make_unique<TTolvanExprNodeConst>(false, false);
    Constant->SetValue(Value);
    auto Field =
        std::make_unique<TTolvanExprNodeField>(FCursor, IndexDef.Columns(int32_t(I)).Name(), "");
    Conjuncts.push_back(std::make_unique<TTolvanExprNodeComparison>(
        eoEqual, std::move(Field), std::move(Constant), false, false, false));
  }
  SetConjuncts(std::move(Conjuncts));
  PrepareTree();
}

void TTolvanExpression::BuildFromKeyFields(TTolvanCursor* Cursor, TTolvanCursor& SourceCursor,
                                           const TTolvanIndexDef& IndexDef,
                                           const TTolvanConstraintDefForeignKeyAction& ForeignKey) {
  Clear();
  FCursor = Cursor;
  FKeepNullCodes = ForeignKey.MatchType() == 2;
  FCaseInsensitive = false;
  FPartialCompare = false;
  std::vector<TNode> Conjuncts;
  const std::vector<TTolvanObjectRef>& Columns = ForeignKey.Columns();
  for (size_t I = 0; I < Columns.size(); ++I) {
    TTolvanVariant Value;
    SourceCursor.GetFieldValue(
        Value, SourceCursor.FieldDefs().IndexOfName(IndexDef.Columns(int32_t(I)).Name()), true,
        true);
    if (Value.IsNull() && !FKeepNullCodes)
      continue;
    auto Constant = std::make_unique<TTolvanExprNodeConst>(false, false);
    Constant->SetValue(Value);
    auto Field = std::make_unique<TTolvanExprNodeField>(FCursor, Columns[I].Name(), "");
    Conjuncts.push_back(std::make_unique<TTolvanExprNodeComparison>(
        eoEqual, std::move(Field), std::move(Constant), FKeepNullCodes, false, false));
  }
  SetConjuncts(std::move(Conjuncts));
  PrepareTree();
}

void TTolvanExpression::BuildLocate(TTolvanCursor* Cursor, std::string_view FieldNames,
                                    const Variant& KeyValues, bool CaseInsensitive,
                                    bool PartialKey) {
  Clear();
  FCursor = Cursor;
  FKeepNullCodes = false;
  TStringList Names;
  SplitNameList(Names, FieldNames);
  const bool IsArray = VarIsArray(KeyValues);
  const int64_t Low = IsArray ? VarArrayLowBound(KeyValues, 1) : 0;
  const int64_t ValueCount = IsArray ? int64_t(VarArrayHighBound(KeyValues, 1)) - Low + 1 : 1;
  if (ValueCount != Names.Count())
    throw ETolvanException::CreateFmt(ErrLocateCountMismatch, SFieldNamesKeyValuesCountMismatch,
                                      Names.Count(), ValueCount);
  std::vector<TNode> Conjuncts;
  for (int32_t I = 0; I < Names.Count(); ++I) {
    TTolvanVariant Value;
    if (IsArray)
      Value.SetAsVariant(VarArrayGet(KeyValues, {int32_t(Low + I)}));
    else
      Value.SetAsVariant(KeyValues);
    auto Constant = std::make_unique<TTolvanExprNodeConst>(CaseInsensitive, PartialKey);
    Constant->SetValue(Value);
    auto Field = std::make_unique<TTolvanExprNodeField>(FCursor, Names.Strings(I), "");
    Conjuncts.push_back(std::make_unique<TTolvanExprNodeComparison>(
        eoEqual, std::move(Field), std::move(Constant), false, CaseInsensitive, PartialKey));
  }
  SetConjuncts(std::move(Conjuncts));
  if (FCursor)
    PrepareTree();
}

// ---------------------------------------------------------------------------------------------
// Parsing
// ---------------------------------------------------------------------------------------------

void TTolvanExpression::ParseFilter(TTolvanCursor* Cursor, std::string_view Text,
                                    bool CaseInsensitive, bool PartialCompare) {
  FCursor = Cursor;
  FCaseInsensitive = CaseInsensitive;
  FPartialCompare = PartialCompare;
  TTolvanLexer Lexer(Text, nullptr);
  if (!Lexer.NextStatement())
    throw ETolvanException::Create(ErrFilterBlank, SBlankSqlCommand);
  try {
    ParseCondition(Lexer);
  } catch (...) {
    FLexer = nullptr;
    throw;
  }
  // The lexer dies here; nothing may keep it.
  FLexer = nullptr;
}

namespace {

TTolvanExprParserOptions OptionsOf(const TTolvanExpression& E) {
  TTolvanExprParserOptions O;
  O.CaseInsensitive = E.CaseInsensitive();
  O.PartialCompare = E.PartialCompare();
  O.KeepNullCodes = E.KeepNullCodes();
  O.InMemory = E.InMemory();
  O.DatabaseName = E.DatabaseName();
  O.SessionName = E.SessionName();
  O.Params = E.Params();
  O.Cursor = E.Cursor();
  return O;
}

// Parses one condition or value at the lexer's token and leaves the lexer behind it; no token
// left raises EndCode.
template <class TParse>
TNode ParseAtToken(const TTolvanExpression& E, TTolvanLexer& Lexer, int32_t EndCode, TParse Parse) {
  TToken Token;
  if (!Lexer.CurrentToken(Token))
    RaiseEnd(Lexer, EndCode);
  const TTolvanExprParserOptions Options = OptionsOf(E);
  TTolvanExprParser Parser(Lexer, Options);
  TNode Root = (Parser.*Parse)();
  Lexer.SetPosition(Parser.Position(), Token);
  return Root;
}

} // namespace

void TTolvanExpression::ParseCondition(TTolvanLexer& Lexer) {
  Clear();
  FLexer = &Lexer;
  FRoot = ParseAtToken(*this, Lexer, ErrConditionEnd, &TTolvanExprParser::ParseCondition);
  FlattenAnd();
  if (FCursor)
    PrepareTree();
}

void TTolvanExpression::ParseValue(TTolvanLexer& Lexer) {
  FLexer = &Lexer;
  FRoot = ParseAtToken(*this, Lexer, ErrValueEnd, &TTolvanExprParser::ParseValue);
}

// ---------------------------------------------------------------------------------------------
// Evaluation and binding
// ---------------------------------------------------------------------------------------------

const TTolvanVariant* TTolvanExpression::Evaluate(bool KeepNull) {
  if (!FRoot)
    return nullptr;
  const TTolvanVariant& V = FRoot->GetValue();
  if (KeepNull || !V.IsNull())
    return &V;
  SetLogicalResult(FFalse, false);
  return &FFalse;
}

bool TTolvanExpression::EvaluateBoolean() {
  const TTolvanVariant* V = Evaluate(false);
  if (!V)
    throw ETolvanException::Create(ErrExpressionEmpty, SValueIsNull);
  return V->GetAsBoolean();
}

void TTolvanExpression::BindToAO(IExprRowSource* Source) {
  if (!FRoot)
    return;
  FRoot->BindToAO(Source);
  FRoot->Prepare();
}

void TTolvanExpression::BindToCursor(TTolvanCursor* Cursor) {
  if (!FRoot)
    return;
  FRoot->BindToCursor(Cursor);
  FRoot->Prepare();
}

void TTolvanExpression::SetRecordBuffer(uint8_t* Buffer) {
  if (!FRoot)
    return;
  FRoot->SetRecordBuffer(Buffer);
  FRoot->Prepare();
}

bool TTolvanExpression::HasAggregate() { return FRoot && FRoot->HasAggregate(); }

bool TTolvanExpression::HasCountStar() { return FRoot && FRoot->HasCountStar(); }

bool TTolvanExpression::IsCountStar() const noexcept {
  return FRoot && FRoot->Operator() == eoCountStar;
}

namespace {
bool OnlyCountStarBelow(const TTolvanExprNode& Node) noexcept {
  if (Node.Kind() == enkAggregated)
    return Node.Operator() == eoCountStar;
  for (int32_t I = 0; I < Node.ChildCount(); ++I)
    if (const TTolvanExprNode* C = Node.Child(I); C && !OnlyCountStarBelow(*C))
      return false;
  return true;
}
} // namespace

bool TTolvanExpression::OnlyCountStarAggregates() const noexcept {
  return !FRoot || OnlyCountStarBelow(*FRoot);
}

void TTolvanExpression::ResetAggregates() {
  if (FRoot)
    FRoot->ResetAggregates();
}

void TTolvanExpression::Accumulate(int32_t Weight) {
  if (FRoot)
    FRoot->Accumulate(Weight);
}

TTolvanFieldType TTolvanExpression::GetDataType() { return FRoot ? FRoot->GetDataType() : tftNone; }

int32_t TTolvanExpression::GetDataSize() { return FRoot ? FRoot->GetDataSize() : 0; }

int32_t TTolvanExpression::GetPrecision() { return FRoot ? FRoot->GetPrecision() : 0; }

bool TTolvanExpression::IsNullConstant() const noexcept {
  return FRoot && FRoot->Kind() == enkConst && FRoot->Value().IsNull();
}

bool TTolvanExpression::IsField() const noexcept { return FRoot && FRoot->Kind() == enkField; }

bool TTolvanExpression::IsConstant() const noexcept { return FRoot && FRoot->Kind() == enkConst; }

void TTolvanExpression::GetFieldName(AnsiString& FieldName, AnsiString& TableName) const {
  if (!IsField())
    throw ETolvanException::Create(ErrNodeIsNotField, SNodeIsNotField);
  const auto& Field = static_cast<const TTolvanExprNodeField&>(*FRoot);
  FieldName = Field.FieldName();
  TableName = Field.TableName();
}

void TTolvanExpression::ResolveSelectAliases(std::span<const TTolvanSelectListItem> Items,
                                             int32_t Highest) {
  if (FRoot)
    FRoot->ResolveSelectAliases(Items, Highest);
}

void TTolvanExpression::CollectParams(std::vector<TTolvanExprNodeConst*>& List) {
  if (FRoot)
    FRoot->CollectParams(List);
}

void TTolvanExpression::ResetSubQueries(const TParams* Params) {
  if (FRoot)
    FRoot->ResetSubQueries(Params);
}

void TTolvanExpression::RunSubQueries() {
  if (FRoot)
    FRoot->RunSubQueries();
}

void TTolvanExpression::AddComparison(TNode Comparison) {
  if (!Comparison)
    return;
  if (!FRoot) {
    FRoot = std::move(Comparison);
  } else if (IsAnd(FRoot.get())) {
    FRoot->AddChild(std::move(Comparison));
  } else {
    TNode And = NewAnd();
    And->AddChild(std::move(FRoot));
    And->AddChild(std::move(Comparison));
    FRoot = std::move(And);
  }
}

// ---------------------------------------------------------------------------------------------
// Conjuncts and push-down
// ---------------------------------------------------------------------------------------------

// The root's children are walked in order; an AND child's children are queued at the end and
// the AND itself is dropped, so (a AND b) AND c gives c, a, b and a AND (b AND c) gives a, b, c.
// Linear in the size of the conjunct tree.
void TTolvanExpression::FlattenAnd() {
  if (!IsAnd(FRoot.get()))
    return;
  bool Nested = false;
  for (int32_t I = 0; I < FRoot->ChildCount() && !Nested; ++I)
    Nested = IsAnd(FRoot->Child(I));
  if (!Nested)
    return;
  std::vector<TNode> Queue = TakeChildren(*FRoot);
  std::vector<TNode> Flat;
  Flat.reserve(Queue.size());
  for (size_t I = 0; I < Queue.size(); ++I) {
    if (IsAnd(Queue[I].get())) {
      std::vector<TNode> Inner = TakeChildren(*Queue[I]);
      Queue[I].reset();
      for (TNode& C : Inner)
        Queue.push_back(std::move(C));
    } else {
      Flat.push_back(std::move(Queue[I]));
    }
  }
  for (TNode& C : Flat)
    FRoot->AddChild(std::move(C));
}

void TTolvanExpression::PushConditionsToAO(IExprRowSource* Operator, bool StayHere) {
  if (!Operator || !FRoot)
    return;
  if (!StayHere) {
    bool Left = true, Right = true;
    if (Operator->IsJoin()) {
      switch (Operator->JoinType()) {
      case jtLeftOuter:
        Right = false;
        break;
      case jtRightOuter:
        Left = false;
        break;
      case jtFullOuter:
        Left = Right = false;
        break;
      default:
        break;
      }
    }
    for (int32_t I = 0; I < Operator->InputCount() && FRoot; ++I) {
      const bool Allowed = !Operator->IsJoin() || (I == 0 ? Left : I == 1 ? Right : true);
      if (Allowed)
        PushConditionsToAO(Operator->Input(I), false);
    }
    if (!FRoot)
      return;
  }
  // The conjuncts this operator can evaluate leave the root, in order.
  std::vector<TNode> Taken;
  if (IsAnd(FRoot.get())) {
    bool Any;
    const std::vector<bool> Flags = FlagChildren(
        *FRoot, [&](TTolvanExprNode& C) { return C.AllFieldsIn(Operator); }, Any);
    if (Any)
      Taken = TakeFlagged(*FRoot, Flags);
    if (FRoot->ChildCount() == 0)
      FRoot.reset();
  } else if (FRoot->AllFieldsIn(Operator)) {
    Taken.push_back(std::move(FRoot));
  }
  if (Taken.empty())
    return;
  std::unique_ptr<TTolvanExpression>& Slot = Operator->Filter();
  TNode Combined = Slot ? Slot->ReleaseRoot() : nullptr;
  for (TNode& C : Taken) {
    if (!Combined) {
      Combined = std::move(C);
    } else if (IsAnd(Combined.get())) {
      Combined->AddChild(std::move(C));
    } else {
      TNode And = NewAnd();
      And->AddChild(std::move(Combined));
      And->AddChild(std::move(C));
      Combined = std::move(And);
    }
  }
  auto Filter = std::make_unique<TTolvanExpression>(std::move(Combined));
  Filter->AssignOptions(Slot ? *Slot : *this);
  Slot = std::move(Filter);
}

int32_t TTolvanExpression::ExtractJoinFields(IExprRowSource* Left, IExprRowSource* Right,
                                             std::vector<TTolvanSelectListItem>& First,
                                             std::vector<TTolvanSelectListItem>& Second) {
  if (!FRoot)
    return 0;
  auto Pair = [&](TTolvanExprNode& Node) {
    auto& A = static_cast<TTolvanExprNodeField&>(*Node.Child(0));
    auto& B = static_cast<TTolvanExprNodeField&>(*Node.Child(1));
    TTolvanSelectListItem ItemA, ItemB;
    ItemA.TableName = A.TableName();
    ItemA.FieldName = A.FieldName();
    ItemB.TableName = B.TableName();
    ItemB.FieldName = B.FieldName();
    First.push_back(std::move(ItemA));
    Second.push_back(std::move(ItemB));
  };
  int32_t Count = 0;
  if (IsAnd(FRoot.get())) {
    bool Any;
    const std::vector<bool> Flags = FlagChildren(
        *FRoot, [&](TTolvanExprNode& C) { return C.IsEquiJoin(Left, Right); }, Any);
    if (!Any)
      return 0;
    for (const TNode& C : TakeFlagged(*FRoot, Flags)) {
      Pair(*C);
      ++Count;
    }
    if (FRoot->ChildCount() == 0)
      FRoot.reset();
  } else if (FRoot->IsEquiJoin(Left, Right)) {
    Pair(*FRoot);
    FRoot.reset();
    Count = 1;
  }
  return Count;
}

namespace {

// RefersOnlyToTable, with a sub-query counted as answerable by the table's scan: it has run
// before the scan, so only the value it tests (IN) must come from the table.
bool RefersToTableOrSubQueries(TTolvanExprNode& Node, IExprRowSource* Table) {
  if (Node.Kind() != enkSubQuery && Node.ChildCount() == 0)
    return Node.RefersOnlyToTable(Table);
  for (int32_t I = 0; I < Node.ChildCount(); ++I)
    if (!RefersToTableOrSubQueries(*Node.Child(I), Table))
      return false;
  return true;
}

} // namespace

std::unique_ptr<TTolvanExpression>
TTolvanExpression::ExtractTableConditions(TTolvanExpression& Expression, IExprRowSource* Table,
                                          bool WithSubQueries) {
  TTolvanExprNode* Root = Expression.FRoot.get();
  if (!Root || !Table)
    return nullptr;
  const auto Takes = [&](TTolvanExprNode& C) {
    return WithSubQueries ? RefersToTableOrSubQueries(C, Table) : C.RefersOnlyToTable(Table);
  };
  auto Result = std::make_unique<TTolvanExpression>();
  Result->AssignOptions(Expression);
  std::vector<bool> Flags;
  std::vector<TNode> Moved;
  const bool And = IsAnd(Root);
  if (And) {
    bool Any;
    Flags = FlagChildren(*Root, Takes, Any);
    if (!Any)
      return nullptr;
    Moved = TakeFlagged(*Root, Flags);
  } else {
    if (!Takes(*Root))
      return nullptr;
    Moved.push_back(std::move(Expression.FRoot));
  }
  const size_t MovedCount = Moved.size();
  try {
    Result->SetConjuncts(std::move(Moved));
    Result->BindToCursor(Table->TableCursor());
  } catch (...) {
    // Back where they were, bound to the operator again.
    std::vector<TNode> Back;
    if (Result->FRoot && MovedCount > 1)
      Back = TakeChildren(*Result->FRoot);
    else if (Result->FRoot)
      Back.push_back(std::move(Result->FRoot));
    for (TNode& N : Back) {
      try {
        N->BindToAO(Table);
      } catch (...) {
      }
    }
    if (Back.size() == MovedCount) {
      if (And)
        PutBackFlagged(*Root, Flags, std::move(Back));
      else
        Expression.FRoot = std::move(Back.front());
    }
    throw;
  }
  if (And && Root->ChildCount() == 0)
    Expression.FRoot.reset();
  return Result;
}

// ---------------------------------------------------------------------------------------------
// Index scan conditions
// ---------------------------------------------------------------------------------------------

bool TTolvanExpression::IsIndexableComparison(TTolvanExprNode& Comparison,
                                              const TTolvanIndexDef& IndexDef) {
  if (!IndexableShape(Comparison, IndexDef))
    return false;
  TTolvanExtractedComparisons Blocks;
  uint8_t* Key =
      ExactKey(static_cast<TTolvanExprNodeComparison&>(Comparison), OperandsOf(Comparison), Blocks);
  if (!Key)
    return false;
  TTolvanCursor::FreeRecordBuffer(Key);
  return true;
}

bool TTolvanExpression::AddScanCondition(TTolvanExprNode& Node, const TTolvanIndexDef& IndexDef,
                                         TTolvanScanSearchConditionArray& Conditions,
                                         TTolvanExtractedComparisons& List) {
  const TOperands Ops = OperandsOf(Node);
  TTolvanExprNodeComparison* Comparison = AsComparison(&Node);
  if (!Ops.Field || !Comparison)
    throw ETolvanException::Create(ErrScanMissingOperand, SPointerIsNil);
  if (!Ops.Field->Cursor())
    throw ETolvanException::Create(ErrScanFieldNoCursor, SPointerIsNil);
  if (IndexDef.ColumnCount() == 0)
    throw ETolvanException::Create(ErrScanIndexNoColumns, SInvalidIndexForSearch);
  if (!ColumnOf(*Ops.Field))
    return false;
  uint8_t* Key = ExactKey(*Comparison, Ops, List);
  if (!Key)
    return false;
  TTolvanExtractedComparison& Entry = List.Add();
  Entry.Expression = this;
  Entry.Node = &Node;
  Entry.KeyBuffer = Key;
  Entry.KeyBufferSize = Ops.Field->Cursor()->RecordSize();
  const bool Descending = IndexDef.Columns(0).Descending() != 0;
  TTolvanScanSearchCondition Condition;
  Condition.ConditionType = ConditionTypeOf(Comparison->Operator(), Ops.ConstFirst, Descending);
  Condition.KeyBuffer = Key;
  Condition.KeyFieldCount = 1;
  Condition.IndexID = IndexDef.ObjectID();
  // In index order the nulls come first (last on a descending column), so a range towards them
  // takes them in, while a comparison keeping null codes is false for a null.
  const uint8_t Type = Condition.ConditionType;
  const bool TowardsNulls = Descending ? (Type == sctGreater || Type == sctGreaterOrEqual)
                                       : (Type == sctLess || Type == sctLessOrEqual);
  const bool BoundNulls = Comparison->KeepNullCodes() && TowardsNulls;
  if (BoundNulls) {
    TTolvanCursor& Cursor = *Ops.Field->Cursor();
    Entry.NullBoundKey = List.TakeKeyBlock(Cursor.RecordSize());
    Entry.NullBoundKeySize = Cursor.RecordSize();
    SetAllNull(Entry.NullBoundKey, Cursor.FieldDefs().Count());
  }
  Conditions.AddCondition(Condition);
  if (BoundNulls) {
    Condition.ConditionType = Descending ? sctLess : sctGreater;
    Condition.KeyBuffer = Entry.NullBoundKey;
    Conditions.AddCondition(Condition);
  }
  return true;
}

void TTolvanExpression::BuildScanSearchConditions(const TTolvanIndexDefs& IndexDefs,
                                                  TTolvanScanSearchConditionArray& Conditions,
                                                  TTolvanExtractedComparisons& List) {
  if (!FRoot)
    return;
  // The list's scratch, taken for this call and handed back with its capacity.
  std::vector<TTolvanExprNode*> Candidates;
  Candidates.swap(List.CandidateScratch());
  Candidates.clear();
  struct THandBack {
    std::vector<TTolvanExprNode*>& Mine;
    std::vector<TTolvanExprNode*>& Scratch;
    ~THandBack() {
      if (Mine.capacity() > Scratch.capacity())
        Mine.swap(Scratch);
    }
  } HandBack{Candidates, List.CandidateScratch()};
  if (IsAnd(FRoot.get())) {
    for (int32_t I = 0; I < FRoot->ChildCount(); ++I)
      if (AsComparison(FRoot->Child(I)))
        Candidates.push_back(FRoot->Child(I));
  } else if (AsComparison(FRoot.get())) {
    Candidates.push_back(FRoot.get());
  }
  const int32_t Before = List.Count();
  for (TTolvanExprNode* Candidate : Candidates) {
    // The key depends on the column only, so the first index that fits decides.
    for (int32_t I = 0; I < IndexDefs.Count(); ++I) {
      const TTolvanIndexDef& IndexDef = IndexDefs.Items(I);
      if (IndexableShape(*Candidate, IndexDef)) {
        AddScanCondition(*Candidate, IndexDef, Conditions, List);
        break;
      }
    }
  }
  if (List.Count() > Before)
    RemoveUsedConditions(List);
}

void TTolvanExpression::RemoveUsedConditions(TTolvanExtractedComparisons& List) {
  for (int32_t I = 0; I < List.Count(); ++I) {
    TTolvanExtractedComparison& Entry = List.Items(I);
    if (Entry.Expression != this || Entry.Owned)
      continue;
    if (FRoot.get() == Entry.Node) {
      Entry.Owned = std::move(FRoot);
      Entry.Position = -1;
      continue;
    }
    const int32_t Position = FRoot ? FRoot->IndexOfChild(Entry.Node) : -1;
    if (!IsAnd(FRoot.get()) || Position < 0)
      throw ETolvanException::Create(ErrScanComparisonNotFound, SInvalidIndexNoIndexOf);
    Entry.Owned = FRoot->ReleaseChild(Position);
    Entry.Position = Position;
    if (FRoot->ChildCount() == 0)
      Entry.EmptiedRoot = std::move(FRoot);
  }
}

void TTolvanExpression::GiveBack(TTolvanExtractedComparison& Entry) noexcept {
  if (!Entry.Owned)
    return;
  if (Entry.EmptiedRoot && !FRoot)
    FRoot = std::move(Entry.EmptiedRoot);
  try {
    if (Entry.Position < 0 && !FRoot) {
      FRoot = std::move(Entry.Owned);
    } else if (Entry.Position >= 0 && IsAnd(FRoot.get())) {
      // The AND's children kept their room when the comparison left: this takes no memory.
      FRoot->InsertChild(std::min(Entry.Position, FRoot->ChildCount()), std::move(Entry.Owned));
    } else {
      AddComparison(std::move(Entry.Owned));
    }
  } catch (...) {
    // Only a tree changed behind the list's back can get here; the comparison is dropped.
  }
  Entry.Owned.reset();
  Entry.EmptiedRoot.reset();
}

bool TTolvanExpression::HasOversizedStringEquality() const {
  auto Oversized = [](TTolvanExprNode* Node) {
    TTolvanExprNodeComparison* Comparison = AsComparison(Node);
    if (!Comparison || Comparison->Operator() != eoEqual || Comparison->Partial())
      return false;
    const TOperands Ops = OperandsOf(*Comparison);
    if (!Ops.Field)
      return false;
    const TTolvanValueType ColumnType = Ops.Field->ValueType();
    const TTolvanVariant& Constant = Ops.Const->Value();
    if (ColumnType < tvtChar || ColumnType > tvtWideString || Constant.IsNull() ||
        Constant.DataType() < tvtChar || Constant.DataType() > tvtWideString)
      return false;
    const int32_t Size = Ops.Field->Size();
    const int64_t Capacity = IsWideValueType(ColumnType) ? Size / 2 - 1 : int64_t(Size) - 1;
    if (Capacity < 0)
      return false;
    int64_t Length = 0;
    const auto* Bytes = static_cast<const uint8_t*>(Constant.Data());
    if (Constant.IsWide()) {
      const int32_t Units = Constant.DataSize() / 2;
      while (Length < Units && (Bytes[2 * Length] | Bytes[2 * Length + 1]) != 0)
        ++Length;
    } else {
      const int32_t Count = Constant.DataSize();
      while (Length < Count && Bytes[Length] != 0)
        ++Length;
    }
    return Length > Capacity;
  };
  if (!FRoot)
    return false;
  if (IsAnd(FRoot.get())) {
    for (int32_t I = 0; I < FRoot->ChildCount(); ++I)
      if (Oversized(FRoot->Child(I)))
        return true;
    return false;
  }
  return Oversized(FRoot.get());
}

} // namespace tolvan
