// TolvanExprFunctions.h: the function nodes of an expression tree (arithmetic, bitwise and
// numeric functions, string functions and concatenation, CAST, date and time functions, TOBLOB,
// LASTAUTOINC, the aggregates) and the splitter of ';'-separated name lists.
//
// The nodes follow the rules of TolvanExprNodes.h: each computes into its own value, reads its
// children's values without changing them (an operand an operation converts in place is first
// copied into the node's own scratch value) and reports a data type and size for the result
// columns built from it. The value operations themselves are TTolvanVariant's
// (TolvanVariantOps.h); these nodes choose the operation, the operands and the result type.
//
// Departures from the plain value operations, so that no result is silently wrong:
//   - unary minus of an unsigned value (BYTE, WORD, CARDINAL) negates it in the next wider
//     signed type (SMALLINT, INTEGER, SIGNEDINT64) and reports that type, so WORD 5 - WORD 7
//     (which the parser makes WORD 5 + -WORD 7) is -2, not a wrapped WORD;
//   - concatenating wide text to narrow text gives wide text (the narrow operand is widened),
//     where the value's Add would narrow the wide text to '?';
//   - SUM and AVG of integers accumulate in SIGNEDINT64 from the first row and raise
//     EIntOverflow beyond 64 bits; AVG divides that sum by the row count as SIGNEDINT64.
//
// Ownership: a node owns its children, its value and scratch values; a LASTAUTOINC node its
// open table handle, a DISTINCT aggregate the value set of its current group (both reached
// through ExprServices()).
//
// Threads: as for every node, one thread at a time per tree.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "classlib/StringList.h"
#include "foundation/TolvanDateFormat.h"
#include "schema/expr/TolvanExprNodes.h"

namespace tolvan {

inline constexpr int32_t ErrArithmeticOperator = 30121;
inline constexpr int32_t ErrStringOperator = 30131;
inline constexpr int32_t ErrDateOperator = 30130;
inline constexpr int32_t ErrDateTypeOperator = 30287;
inline constexpr int32_t ErrDatePartArgument = 11606;
inline constexpr int32_t ErrBlobOperator = 11343;
inline constexpr int32_t ErrBlobConvert = 11344;
inline constexpr int32_t ErrAutoIncField = 30337;
inline constexpr int32_t ErrAutoIncOperator = 30338;
inline constexpr int32_t ErrDistinctNoArgument = 11338;
inline constexpr int32_t ErrSumNotNumeric = 30132;
inline constexpr int32_t ErrAvgNotNumeric = 30133;
inline constexpr int32_t ErrAccumulateOperator = 30134;

// "+", unary "-", "*", "/", ABS, CEIL, FLOOR, MOD, POWER, RANDOM, ROUND, SIGN, TRUNC, the bit
// operators and HEX. Any other operator raises 30121 "Unknown operator: '%s'".
class TTolvanExprNodeArithmetic : public TTolvanExprNode {
public:
  using TTolvanExprNode::TTolvanExprNode;

  TTolvanExprNodeKind Kind() const noexcept override { return enkArithmetic; }
  TNodePtr Clone() const override;
  const TTolvanVariant& GetValue() override;
  TTolvanFieldType GetDataType() override;

private:
  TTolvanExprNodeArithmetic(const TTolvanExprNodeArithmetic& Source, TCloneTag)
      : TTolvanExprNode(Source, TCloneTag{}) {}

  // The other operand of MOD and POWER, the bound of RANDOM: converted here, not in the child.
  TTolvanVariant FScratch;
};

// Concatenation, UPPER, LOWER, TRIM, LTRIM, RTRIM, LENGTH, POS and SUBSTRING. Any other operator
// raises 30131 "Unknown operator: '%s'".
class TTolvanExprNodeStringFunction : public TTolvanExprNode {
public:
  using TTolvanExprNode::TTolvanExprNode;

  TTolvanExprNodeKind Kind() const noexcept override { return enkStringFunction; }
  TNodePtr Clone() const override;
  const TTolvanVariant& GetValue() override;
  TTolvanFieldType GetDataType() override;
  int32_t GetDataSize() override;

private:
  TTolvanExprNodeStringFunction(const TTolvanExprNodeStringFunction& Source, TCloneTag)
      : TTolvanExprNode(Source, TCloneTag{}) {}

  // V itself when it is text or memo, else its STRING form in Scratch.
  static const TTolvanVariant& TextOperand(const TTolvanVariant& V, TTolvanVariant& Scratch);
  void Concat();
  void Transform();
  void Pos();
  void Substring();

  // Conversions and texts kept between rows.
  TTolvanVariant FScratch, FScratch2;
  AnsiString FText, FText2;
  WideString FWide, FWide2;
};

// CAST(value AS type).
class TTolvanExprNodeCast : public TTolvanExprNode {
public:
  TTolvanExprNodeCast(TNodePtr Value, TTolvanFieldType TargetType);

  TTolvanExprNodeKind Kind() const noexcept override { return enkCast; }
  TNodePtr Clone() const override;
  // A value that does not convert raises what the conversion raises (30051, 30052, ...).
  const TTolvanVariant& GetValue() override;
  TTolvanFieldType GetDataType() override { return FTargetType; }

  TTolvanFieldType TargetType() const noexcept { return FTargetType; }

private:
  TTolvanExprNodeCast(const TTolvanExprNodeCast& Source, TCloneTag)
      : TTolvanExprNode(Source, TCloneTag{}), FTargetType(Source.FTargetType) {}

  TTolvanFieldType FTargetType;
};

// The current date and time, TODATE, TOSTRING and the date parts. Any other operator raises
// 30130 "Unknown operator: '%s'" (30287 when asked for its type).
class TTolvanExprNodeDateFunction : public TTolvanExprNode {
public:
  using TTolvanExprNode::TTolvanExprNode;
  // TODATE and TOSTRING: Value the only child, Format compiled once.
  TTolvanExprNodeDateFunction(TTolvanExprOperator Operator, TNodePtr Value,
                              std::string_view Format);

  TTolvanExprNodeKind Kind() const noexcept override { return enkDateFunction; }
  TNodePtr Clone() const override;
  // A date part without an argument raises 11606 "Argument expected in SQL function %s";
  // TODATE passes the formatter's errors on.
  const TTolvanVariant& GetValue() override;
  TTolvanFieldType GetDataType() override;
  int32_t GetDataSize() override;

  // The date format as written; empty for the functions without one.
  const AnsiString& Format() const noexcept { return FFormat; }

private:
  TTolvanExprNodeDateFunction(const TTolvanExprNodeDateFunction& Source, TCloneTag);
  TDateFormater& Formatter();
  void ToDate();
  void DatePart();

  AnsiString FFormat;
  std::unique_ptr<TDateFormater> FFormatter;
  AnsiString FText;
};

// TOBLOB('text', format): the BLOB decoded from base64 (format 0) or hexadecimal digits
// (format 1) when the node is made.
class TTolvanExprNodeBLOBFunction : public TTolvanExprNode {
public:
  // Text that does not decode raises 11344 "Error - cannot convert BLOB value \"%s\", format =
  // %d".
  TTolvanExprNodeBLOBFunction(TTolvanExprOperator Operator, std::string_view Text, int32_t Format);

  TTolvanExprNodeKind Kind() const noexcept override { return enkBLOBFunction; }
  TNodePtr Clone() const override;
  // Any operator but TOBLOB raises 11343 "Unknown operator: '%s'".
  const TTolvanVariant& GetValue() override;
  TTolvanFieldType GetDataType() override { return tftBLOB; }
  int32_t GetDataSize() override { return 0; }

private:
  TTolvanExprNodeBLOBFunction(const TTolvanExprNodeBLOBFunction& Source, TCloneTag);
};

// LASTAUTOINC(table, column): the session's last auto-increment value of the column, read at
// every evaluation from the table the node opened when it was made.
class TTolvanExprNodeSystem : public TTolvanExprNode {
public:
  // A table without the column raises 30337 "Field '%s' not found".
  TTolvanExprNodeSystem(TTolvanExprOperator Operator, std::string_view TableName,
                        std::string_view FieldName, bool InMemory, std::string_view SessionName,
                        std::string_view DatabaseName);
  ~TTolvanExprNodeSystem() override;

  TTolvanExprNodeKind Kind() const noexcept override { return enkSystem; }
  TNodePtr Clone() const override;
  // A SIGNEDINT64; any operator but LASTAUTOINC raises 30338 "Unknown operator: '%s'".
  const TTolvanVariant& GetValue() override;
  TTolvanFieldType GetDataType() override { return FFieldType; }
  int32_t GetDataSize() override { return 0; }

  const AnsiString& TableName() const noexcept { return FTableName; }
  const AnsiString& FieldName() const noexcept { return FFieldName; }
  const AnsiString& SessionName() const noexcept { return FSessionName; }
  const AnsiString& DatabaseName() const noexcept { return FDatabaseName; }
  bool InMemory() const noexcept { return FInMemory; }
  TTolvanFieldType FieldType() const noexcept { return FFieldType; }

private:
  TTolvanExprNodeSystem(const TTolvanExprNodeSystem& Source, TCloneTag);
  void Open();

  AnsiString FSessionName, FDatabaseName, FTableName, FFieldName;
  bool FInMemory = false;
  std::unique_ptr<IExprAutoInc> FTable;
  TTolvanFieldType FFieldType = tftNone;
};

// SUM, AVG, MIN, MAX, COUNT and COUNT(*), plain or DISTINCT. The owner resets them at the start
// of a group, feeds every row with Accumulate and then reads GetValue (as often as it likes).
// Nulls are skipped, except that SUM over nulls only is 0; with no row SUM, AVG, MIN and MAX
// are null and COUNT 0. MIN and MAX compare text without case; DISTINCT compares values
// case-sensitively.
class TTolvanExprNodeAggregated : public TTolvanExprNode {
public:
  // COUNT(*).
  explicit TTolvanExprNodeAggregated(TTolvanExprOperator Operator);
  TTolvanExprNodeAggregated(TTolvanExprOperator Operator, bool Distinct, TNodePtr Argument);
  ~TTolvanExprNodeAggregated() override;

  TTolvanExprNodeKind Kind() const noexcept override { return enkAggregated; }
  TNodePtr Clone() const override;

  const TTolvanVariant& GetValue() override;
  bool HasAggregate() override { return true; }
  bool HasCountStar() override { return FOperator == eoCountStar; }
  // A DISTINCT aggregate without argument raises 11338 "Error - no children in expression
  // node".
  void ResetAggregates() override;
  // A non-numeric value raises 30132 (SUM) or 30133 (AVG) "Not numeric argument in numeric
  // operator '%s'"; any other operator 30134 "Unknown operator: '%s'".
  void Accumulate(int32_t Weight) override;
  TTolvanFieldType GetDataType() override;

  bool Distinct() const noexcept { return FDistinct; }
  // The sum of the row weights counted (COUNT, COUNT(*), AVG).
  int64_t RowCount() const noexcept { return FRowCount; }

private:
  TTolvanExprNodeAggregated(const TTolvanExprNodeAggregated& Source, TCloneTag);
  // V is counted: not DISTINCT, or not met before in the group.
  bool IsNew(const TTolvanVariant& V);
  void NewDistinctSet();

  int64_t FRowCount = 0;
  bool FDistinct = false;
  // The running sum of AVG.
  TTolvanVariant FSum;
  std::unique_ptr<IExprDistinctSet> FDistinctSet;
};

// Fills List with the names of the ';'-separated Text, trimmed and upper-cased, in order. A
// trailing ';' adds no name; a leading one, or two in a row, add an empty name.
void SplitNameList(TStringList& List, std::string_view Text);
// The name from the 1-based Position up to the next ';' or the end, trimmed; Position moves past
// the ';' (or to the length plus one).
AnsiString ExtractName(std::string_view Text, int32_t& Position);

} // namespace tolvan
