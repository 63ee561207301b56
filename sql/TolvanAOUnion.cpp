#include "sql/TolvanAOUnion.h"

#include <algorithm>

#include "classlib/Strings.h"
#include "classlib/SysUtils.h"
#include "components/TolvanDataSet.h"
#include "foundation/TolvanExcept.h"
#include "foundation/TolvanMessages.h"
#include "foundation/TolvanVariantOps.h"
#include "schema/TolvanCursor.h"
#include "sql/TolvanRowSet.h"

namespace tolvan {

struct TTolvanAOUnion::TColumnInfo {
  AnsiString Name;
  AnsiString TableName;
  AnsiString TableAlias;
  TTolvanFieldType FieldType = tftNone;
  int32_t Size = 0;
  int32_t Precision = 0;
  uint8_t BlobCompressionAlgorithm = 0;
  uint8_t BlobCompressionLevel = 0;
  int32_t BlobBlockSize = 0;
};

namespace {

// The columns of Operand's result table, in its visible order, with the table name, alias and
// precision of the operand's visible field at the same position.
template <class TInfo> std::vector<TInfo> ResultColumns(TTolvanAO& Operand) {
  TTolvanDataSet* DataSet = Operand.ResultDataSet();
  TTolvanCursor* Cursor = DataSet ? DataSet->Cursor() : nullptr;
  if (!Cursor)
    throw ETolvanException::Create(ErrAODerivedTableUnsupported, SOperationNotSupported);
  const TTolvanFieldDefs& Defs = Cursor->VisibleFieldDefs();
  const TTolvanIntegerArray& Visible = Operand.VisibleFields();
  std::vector<TInfo> Columns(size_t(Defs.Count()));
  for (int32_t I = 0; I < Defs.Count(); ++I) {
    const TTolvanFieldDef& D = Defs.Items(I);
    TInfo& C = Columns[size_t(I)];
    C.Name = D.Name();
    C.FieldType = D.FieldType();
    C.Size = D.Size();
    C.BlobCompressionAlgorithm = uint8_t(D.BlobCompressionAlgorithm());
    C.BlobCompressionLevel = D.BlobCompressionMode();
    C.BlobBlockSize = D.BlobBlockSize();
    if (I < Visible.Count()) {
      const TTolvanFieldLink& L = Operand.FieldLink(Visible[I]);
      C.TableName = L.TableName;
      C.TableAlias = L.TableAlias;
      C.Precision = L.Precision;
    } else {
      C.TableName = Operand.TableName();
      C.TableAlias = Operand.Alias();
    }
  }
  return Columns;
}

// The first column named Name, ignoring case; -1 when none is.
template <class TInfo>
int32_t ColumnNamed(const std::vector<TInfo>& Columns, std::string_view Name) {
  for (size_t I = 0; I < Columns.size(); ++I)
    if (AnsiSameText(Columns[I].Name, Name))
      return int32_t(I);
  return -1;
}

// Characters a date or time format can give: no format element is more than three times as long
// written out as in the format ("d" -> "31", "dddd" -> "Wednesday", "MMM" -> "Sep").
int32_t FormattedWidth(const std::string& Format) { return int32_t(3 * Format.size() + 8); }

// The longest text a value of the type converts to, or the size of a text or byte column.
int32_t TextWidth(TTolvanFieldType FieldType, int32_t Size) {
  switch (ValueTypeOfFieldType(FieldType)) {
  case tvtSignedInt8:
    return 4; // -128
  case tvtSignedInt16:
    return 6;
  case tvtInteger:
    return 11;
  case tvtSignedInt64:
    return 20;
  case tvtUnsignedInt8:
    return 3;
  case tvtUnsignedInt16:
    return 5;
  case tvtUnsignedInt32:
    return 10;
  case tvtSingle:
  case tvtFloat:
  case tvtExtended:
    return 28; // sign, 18 digits, point, exponent of up to 5 characters with its sign
  case tvtCurrency:
    return 24;
  case tvtLogical:
    return 5;
  case tvtDate:
    return FormattedWidth(FormatSettings().ShortDateFormat);
  case tvtTime:
    return FormattedWidth(FormatSettings().LongTimeFormat);
  case tvtDateTime:
    return FormattedWidth(FormatSettings().ShortDateFormat) + 1 +
           FormattedWidth(FormatSettings().LongTimeFormat);
  default:
    return Size;
  }
}

// The type a pair's output column takes, or tftNone when the pair drops.
TTolvanFieldType PairType(TTolvanFieldType Left, TTolvanFieldType Right, bool KeepNonScalar) {
  const TTolvanValueType LV = ValueTypeOfFieldType(Left), RV = ValueTypeOfFieldType(Right);
  if (LV == tvtNone || RV == tvtNone)
    return tftNone;
  if (IsScalarFieldType(Left) && IsScalarFieldType(Right))
    return CommonFieldType(Left, Right);
  if (!KeepNonScalar)
    return tftNone;
  if (LV == RV)
    return Left;
  // A memo beside text of either kind holds both sides' texts whole.
  if (IsStringValueType(LV) && IsStringValueType(RV))
    return IsWideValueType(LV) || IsWideValueType(RV) ? tftWideMemo : tftMemo;
  return tftNone;
}

} // namespace

// --- construction ------------------------------------------------------------------------------

TTolvanAOUnion::TTolvanAOUnion(std::unique_ptr<TTolvanAO> Left, std::unique_ptr<TTolvanAO> Right,
                               TTolvanSetOperation Operation, bool Corresponding, bool Distinct,
                               const TTolvanFields* ByFields)
    : TTolvanAO(std::move(Left), std::move(Right), "", "", ""), FOperation(Operation),
      FLeftColumns(0, 16, 1024), FRightColumns(0, 16, 1024) {
  FLeftNull = false;
  FRightNull = false;
  FReadingLeft = true;
  if (!FLeft || !FRight)
    throw ETolvanException::CreateFmt(ErrAOUnionNoPair, SEmptyFieldList, 0);
  // INTERSECT without ALL may walk either side, and walks the right unless the left is a table
  // leaf; with ALL each qualifying left row counts, so the left drives.
  FLeftDrives = FOperation != tsoIntersect || !Distinct || FLeft->IsTableLeaf();
  // A leaf ends only a table use it noted, so unlocking both sides after a failure anywhere
  // here, the locking included, restores every use count.
  try {
    LockSources();
    FLeft->Prepare(false);
    FRight->Prepare(false);
    PairColumns(Corresponding, ByFields);
  } catch (...) {
    try {
      UnlockSources();
    } catch (...) {
    }
    throw;
  }
  if (Distinct)
    RequestDistinct();
  FSelectedCount = FVisibleFields.Count();
}

TTolvanAOUnion::~TTolvanAOUnion() = default;

void TTolvanAOUnion::PairColumns(bool Corresponding, const TTolvanFields* ByFields) {
  const std::vector<TColumnInfo> L = ResultColumns<TColumnInfo>(*FLeft);
  const std::vector<TColumnInfo> R = ResultColumns<TColumnInfo>(*FRight);
  if (ByFields) {
    if (ByFields->Count() == 0)
      throw ETolvanException::CreateFmt(ErrAOUnionEmptyByList, SEmptyFieldList, ByFields->Count());
    for (int32_t K = 0; K < ByFields->Count(); ++K) {
      const AnsiString& Name = ByFields->Items(K).FieldName;
      const int32_t I = ColumnNamed(L, Name), J = ColumnNamed(R, Name);
      if (I >= 0 && J >= 0)
        AddPair(L[size_t(I)], R[size_t(J)], I, J);
    }
  } else {
    for (int32_t I = 0; I < int32_t(L.size()); ++I) {
      const int32_t J =
          Corresponding ? ColumnNamed(R, L[size_t(I)].Name) : (I < int32_t(R.size()) ? I : -1);
      if (J >= 0)
        AddPair(L[size_t(I)], R[size_t(J)], I, J);
    }
  }
  if (FLeftColumns.Count() != FRightColumns.Count())
    throw ETolvanException::CreateFmt(ErrAOUnionListsLength, SDifferentListsLength,
                                      FLeftColumns.Count(), FRightColumns.Count());
  if (FLeftColumns.Count() == 0)
    throw ETolvanException::CreateFmt(ErrAOUnionNoPair, SEmptyFieldList, 0);
}

void TTolvanAOUnion::AddPair(const TColumnInfo& L, const TColumnInfo& R, int32_t LeftNo,
                             int32_t RightNo) {
  const TTolvanFieldType Type = PairType(L.FieldType, R.FieldType, FOperation == tsoUnion);
  if (Type == tftNone)
    return;
  TTolvanFieldLink Link;
  Link.Name = L.Name;
  Link.DisplayName = L.Name;
  Link.SourceFieldName = L.Name;
  Link.TableName = L.TableName;
  Link.TableAlias = L.TableAlias;
  Link.FieldType = Type;
  Link.Size = std::max(L.Size, R.Size);
  if (IsPlainStringValueType(ValueTypeOfFieldType(Type)))
    Link.Size = std::max(TextWidth(L.FieldType, L.Size), TextWidth(R.FieldType, R.Size));
  Link.Precision = std::max(L.Precision, R.Precision);
  Link.BlobCompressionAlgorithm = L.BlobCompressionAlgorithm;
  Link.BlobCompressionLevel = L.BlobCompressionLevel;
  Link.BlobBlockSize = std::max(L.BlobBlockSize, R.BlobBlockSize);
  Link.SourceDataSet = FLeft->ResultDataSet();
  Link.SourceFieldNo = LeftNo;
  FLeftColumns.Add(LeftNo);
  FRightColumns.Add(RightNo);
  FVisibleFields.Add(AddFieldLink(Link));
  FPairValues.push_back(std::make_unique<TTolvanVariant>());
}

// --- accessors ---------------------------------------------------------------------------------

TTolvanSetOperation TTolvanAOUnion::Operation() const noexcept { return FOperation; }
const TTolvanIntegerArray& TTolvanAOUnion::LeftColumns() const noexcept { return FLeftColumns; }
const TTolvanIntegerArray& TTolvanAOUnion::RightColumns() const noexcept { return FRightColumns; }

TTolvanAO* TTolvanAOUnion::DrivingOperand() const noexcept {
  if (FOperation == tsoUnion)
    return nullptr;
  return FLeftDrives ? FLeft.get() : FRight.get();
}

TTolvanAO* TTolvanAOUnion::LookupOperand() const noexcept {
  if (FOperation == tsoUnion)
    return nullptr;
  return FLeftDrives ? FRight.get() : FLeft.get();
}

// --- running -----------------------------------------------------------------------------------

void TTolvanAOUnion::Execute() {
  struct TRelease {
    TTolvanAOUnion& Self;
    ~TRelease() {
      Self.FLookupSet.reset();
      for (auto& V : Self.FPairValues)
        V->Clear();
    }
  } Release{*this};
  TTolvanAO::Execute();
  if (!Materialised())
    return;
  for (int32_t I = 0; I < FVisibleFields.Count(); ++I) {
    TTolvanFieldLink& L = MutableFieldLink(FVisibleFields[I]);
    L.SourceOperator = nullptr;
    L.SourceDataSet = FResultDataSet.get();
    L.SourceFieldNo = I;
  }
}

void TTolvanAOUnion::ResetForReexecution() {
  TTolvanAO::ResetForReexecution();
  // The saved links name the operands' tables of the last run, which their own re-runs replace;
  // LiveFirst points the fields at the new ones.
  for (int32_t I = 0; I < FieldCount(); ++I)
    MutableFieldLink(I).SourceDataSet = nullptr;
}

void TTolvanAOUnion::PointFieldsAt(bool AtLeft) {
  TTolvanDataSet* Source = (AtLeft ? FLeft : FRight)->ResultDataSet();
  const TTolvanIntegerArray& Columns = AtLeft ? FLeftColumns : FRightColumns;
  for (int32_t K = 0; K < Columns.Count(); ++K) {
    TTolvanFieldLink& L = MutableFieldLink(K);
    L.SourceOperator = nullptr;
    L.SourceDataSet = Source;
    L.SourceFieldNo = Columns[K];
  }
}

void TTolvanAOUnion::BuildLookupSet() {
  TTolvanAO& Lookup = *LookupOperand();
  const TTolvanIntegerArray& Columns = FLeftDrives ? FRightColumns : FLeftColumns;
  std::vector<TTolvanRowColumn> Types(size_t(Columns.Count()));
  for (int32_t K = 0; K < Columns.Count(); ++K)
    Types[size_t(K)] = {FieldLink(K).FieldType, FieldLink(K).Size};
  FLookupSet.reset();
  FLookupSet = std::make_unique<TTolvanRecordComparison>(Types, Lookup.RecordCount());
  TTolvanDataSet& Source = *Lookup.ResultDataSet();
  for (Lookup.First(); !Lookup.Eof(); Lookup.Next()) {
    for (int32_t K = 0; K < Columns.Count(); ++K) {
      TTolvanVariant& V = *FPairValues[size_t(K)];
      Source.GetFieldValue(V, Columns[K], false, false);
      FLookupSet->SetColumnHash(V, K);
    }
    FLookupSet->IsNewRow();
  }
}

bool TTolvanAOUnion::DrivingRowQualifies() {
  const bool Intersect = FOperation == tsoIntersect;
  if (FLookupSet->Count() == 0)
    return !Intersect;
  TTolvanDataSet& Source = *DrivingOperand()->ResultDataSet();
  const TTolvanIntegerArray& Columns = FLeftDrives ? FLeftColumns : FRightColumns;
  for (int32_t K = 0; K < Columns.Count(); ++K) {
    TTolvanVariant& V = *FPairValues[size_t(K)];
    Source.GetFieldValue(V, Columns[K], false, false);
    FLookupSet->SetColumnHash(V, K);
  }
  return FLookupSet->ContainsRow() == Intersect;
}

void TTolvanAOUnion::SkipToQualifyingRow() {
  TTolvanAO& Driving = *DrivingOperand();
  while (!Driving.Eof() && !DrivingRowQualifies())
    Driving.Next();
}

void TTolvanAOUnion::LiveFirst() {
  if (FOperation != tsoUnion) {
    BuildLookupSet();
    PointFieldsAt(FLeftDrives);
    DrivingOperand()->First();
    SkipToQualifyingRow();
    return;
  }
  // A re-run starts on the left whatever side the last run ended on.
  FReadingLeft = true;
  PointFieldsAt(true);
  FLeft->First();
  FRight->First();
  if (FLeft->Eof() && !FRight->Eof()) {
    PointFieldsAt(false);
    FReadingLeft = false;
  }
}

void TTolvanAOUnion::LiveNext() {
  if (FOperation != tsoUnion) {
    DrivingOperand()->Next();
    SkipToQualifyingRow();
    return;
  }
  if (!FReadingLeft) {
    FRight->Next();
    return;
  }
  FLeft->Next();
  if (FLeft->Eof() && !FRight->Eof()) {
    PointFieldsAt(false);
    FReadingLeft = false;
  }
}

bool TTolvanAOUnion::LiveEof() {
  if (FOperation != tsoUnion)
    return DrivingOperand()->Eof();
  return FLeft->Eof() && FRight->Eof();
}

} // namespace tolvan
