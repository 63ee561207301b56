// TestAO.h: stand-in operators for the tests of the operator base, until the table and join
// operators exist.
//
//   TTestAOLeaf  a table leaf over a MEMORY table opened through a TTolvanTable: one hidden
//                link per column, reading the table's current record; counts the rows it reads.
//   TTestAOPair  the nested-loop cross product of two operators, with links to both children's
//                fields (names made unique), a settable join type and null-extension flags.
//
// Threads: one thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "components/TolvanTable.h"
#include "sql/TolvanAO.h"

namespace tolvan::test {

class TTestAOLeaf : public TTolvanAO {
public:
  // Opens the MEMORY table TableName.
  TTestAOLeaf(std::string_view TableName, std::string_view Alias = {});
  ~TTestAOLeaf() override;

  TTolvanTable& Source() const noexcept { return *FSource; }
  int64_t RowsRead() const noexcept { return FRowsRead; }
  // As a leaf that frees its source: the links naming the table are cleared.
  void ReleaseSource() noexcept { ForgetSource(FSource.get()); }

  void LiveFirst() override;
  void LiveNext() override;
  bool LiveEof() override;
  int64_t LiveRecordCount() override;
  const TTolvanFieldDefs* TableFieldDefs() override;
  TTolvanCursor* TableCursor() override;
  // The copy of the last run goes; the next run reads the table again.
  void ResetForReexecution() override;

private:
  TComponentPtr<TTolvanTable> FSource;
  int64_t FRowsRead = 0;
};

class TTestAOPair : public TTolvanAO {
public:
  TTestAOPair(std::unique_ptr<TTolvanAO> Left, std::unique_ptr<TTolvanAO> Right,
              TTolvanJoinType Type = jtCross);

  bool IsJoin() const override { return true; }
  TTolvanJoinType JoinType() const override { return FJoinType; }
  void SetJoinType(TTolvanJoinType Type) noexcept { FJoinType = Type; }
  void SetNullFlags(bool LeftNull, bool RightNull) noexcept {
    FLeftNull = LeftNull;
    FRightNull = RightNull;
  }

  void LiveFirst() override;
  void LiveNext() override;
  bool LiveEof() override;
  int64_t LiveRecordCount() override;

protected:
  // A column renamed for uniqueness shows its own name again when no other selected column
  // comes from a column of that name.
  void AfterSelectList() override;

private:
  TTolvanJoinType FJoinType;
};

// The result's column names, then its rows read through Op, each value by its text ("-" for
// null): "a,b: 1,x 2,-".
std::string ResultText(TTolvanAO& Op);

} // namespace tolvan::test
