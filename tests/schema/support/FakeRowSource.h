// FakeRowSource.h: TFakeRowSource, a relational operator as expressions see it, for the tests
// of field references bound to operators and of condition push-down.
//
// A fake has output columns (name, table, type, size, hidden), rows of values with one of them
// current, and a filter slot. It can stand for a table leaf (SetTable gives the table's field
// definitions and cursor) or for an operator over inputs (AddInput; SetJoinType makes it a
// join). Inputs are borrowed: the test owns every fake of a tree.
//
// FindFields looks at the fake's own columns only (a real join maps its inputs' fields to its
// own; a fake join simply lists the columns it wants to show). Errors are the operators':
// GetFieldValue out of range 10307, a hidden field without AllowHidden 10310, GetFieldType and
// GetFieldSize out of range 10376 and 10377.
//
// Threads: one thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "schema/expr/TolvanExprServices.h"
#include "schema/expr/TolvanExpression.h"

namespace tolvan::test {

class TFakeRowSource : public IExprRowSource {
public:
  struct TColumn {
    AnsiString Name;
    AnsiString Table;
    TTolvanFieldType FieldType;
    int32_t Size;
    bool Hidden;
  };

  TFakeRowSource() = default;
  ~TFakeRowSource() override;

  // Appends a column and returns its number; rows already there get a null in it.
  int32_t AddColumn(std::string_view Name, std::string_view Table, TTolvanFieldType FieldType,
                    int32_t Size = 0, bool Hidden = false);
  const TColumn& Column(int32_t FieldNo) const { return FColumns.at(size_t(FieldNo)); }
  int32_t ColumnCount() const noexcept { return int32_t(FColumns.size()); }

  // Appends a row of nulls (typed by the columns) and makes it current; returns its number.
  int32_t AddRow();
  int32_t RowCount() const noexcept { return int32_t(FRows.size()); }
  // The value of a cell, to fill in.
  TTolvanVariant& Cell(int32_t Row, int32_t FieldNo);
  // -1: no current row, every field reads null.
  void SetCurrentRow(int32_t Row) noexcept { FCurrentRow = Row; }
  int32_t CurrentRow() const noexcept { return FCurrentRow; }

  void AddInput(IExprRowSource* Input) { FInputs.push_back(Input); }
  void SetJoinType(TTolvanJoinType Type) noexcept {
    FIsJoin = true;
    FJoinType = Type;
  }
  void SetTable(const TTolvanFieldDefs* FieldDefs, TTolvanCursor* Cursor) noexcept {
    FTableFieldDefs = FieldDefs;
    FTableCursor = Cursor;
  }

  // Calls of GetFieldValue so far.
  int64_t ReadCount() const noexcept { return FReadCount; }

  int32_t FindFields(std::string_view Name, std::string_view Table, bool Unhide,
                     TTolvanIntegerArray* Result, bool KeepHidden) override;
  void GetFieldValue(TTolvanVariant& Value, int32_t FieldNo, bool ReadOption,
                     bool AllowHidden) override;
  TTolvanFieldType GetFieldType(int32_t FieldNo) override;
  int32_t GetFieldSize(int32_t FieldNo) override;
  bool IsJoin() const override { return FIsJoin; }
  TTolvanJoinType JoinType() const override { return FJoinType; }
  int32_t InputCount() const override { return int32_t(FInputs.size()); }
  IExprRowSource* Input(int32_t Index) override { return FInputs.at(size_t(Index)); }
  std::unique_ptr<TTolvanExpression>& Filter() override { return FFilter; }
  const TTolvanFieldDefs* TableFieldDefs() override { return FTableFieldDefs; }
  TTolvanCursor* TableCursor() override { return FTableCursor; }

private:
  std::vector<TColumn> FColumns;
  std::vector<std::vector<std::unique_ptr<TTolvanVariant>>> FRows;
  int32_t FCurrentRow = -1;
  std::vector<IExprRowSource*> FInputs;
  bool FIsJoin = false;
  TTolvanJoinType FJoinType = jtCross;
  std::unique_ptr<TTolvanExpression> FFilter;
  const TTolvanFieldDefs* FTableFieldDefs = nullptr;
  TTolvanCursor* FTableCursor = nullptr;
  int64_t FReadCount = 0;
};

} // namespace tolvan::test
