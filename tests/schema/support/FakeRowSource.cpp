#include "tests/schema/support/FakeRowSource.h"

#include "classlib/Strings.h"
#include "foundation/TolvanExcept.h"
#include "foundation/TolvanMessages.h"

namespace tolvan::test {

namespace {

void CheckFieldNo(int32_t FieldNo, int32_t Count, int32_t Code) {
  if (FieldNo < 0 || FieldNo >= Count)
    throw ETolvanException::CreateFmt(Code, SInvalidFieldNumber, FieldNo, Count);
}

} // namespace

TFakeRowSource::~TFakeRowSource() = default;

int32_t TFakeRowSource::AddColumn(std::string_view Name, std::string_view Table,
                                  TTolvanFieldType FieldType, int32_t Size, bool Hidden) {
  FColumns.push_back({AnsiString(Name), AnsiString(Table), FieldType, Size, Hidden});
  for (auto& Row : FRows)
    Row.push_back(std::make_unique<TTolvanVariant>(ValueTypeOfFieldType(FieldType)));
  return int32_t(FColumns.size()) - 1;
}

int32_t TFakeRowSource::AddRow() {
  auto& Row = FRows.emplace_back();
  for (const TColumn& C : FColumns)
    Row.push_back(std::make_unique<TTolvanVariant>(ValueTypeOfFieldType(C.FieldType)));
  FCurrentRow = int32_t(FRows.size()) - 1;
  return FCurrentRow;
}

TTolvanVariant& TFakeRowSource::Cell(int32_t Row, int32_t FieldNo) {
  return *FRows.at(size_t(Row)).at(size_t(FieldNo));
}

int32_t TFakeRowSource::FindFields(std::string_view Name, std::string_view Table, bool Unhide,
                                   TTolvanIntegerArray* Result, bool KeepHidden) {
  int32_t Found = 0;
  const bool All = Name == "*";
  for (int32_t I = 0; I < ColumnCount(); ++I) {
    TColumn& C = FColumns[size_t(I)];
    if (!All && !AnsiSameText(C.Name, Name))
      continue;
    if (!Table.empty() && !AnsiSameText(C.Table, Table))
      continue;
    ++Found;
    if (Result && !Result->Contains(I))
      Result->Add(I);
    if (Unhide && !KeepHidden)
      C.Hidden = false;
  }
  return Found;
}

void TFakeRowSource::GetFieldValue(TTolvanVariant& Value, int32_t FieldNo, bool, bool AllowHidden) {
  ++FReadCount;
  CheckFieldNo(FieldNo, ColumnCount(), 10307);
  const TColumn& C = FColumns[size_t(FieldNo)];
  if (C.Hidden && !AllowHidden)
    throw ETolvanException::CreateFmt(10310, SCannotAccessHiddenField, C.Table, C.Name, "",
                                      FieldNo);
  if (FCurrentRow < 0 || FCurrentRow >= RowCount()) {
    Value.Clear(ValueTypeOfFieldType(C.FieldType));
    return;
  }
  Value.Assign(*FRows[size_t(FCurrentRow)][size_t(FieldNo)], true);
}

TTolvanFieldType TFakeRowSource::GetFieldType(int32_t FieldNo) {
  CheckFieldNo(FieldNo, ColumnCount(), 10376);
  return FColumns[size_t(FieldNo)].FieldType;
}

int32_t TFakeRowSource::GetFieldSize(int32_t FieldNo) {
  CheckFieldNo(FieldNo, ColumnCount(), 10377);
  return FColumns[size_t(FieldNo)].Size;
}

} // namespace tolvan::test
