// TolvanSQLInsert.h: TTolvanSQLInsert, the INSERT statement, and StoreVariantInField, which
// writes an engine value into a field of a dataset's current record.
//
// Grammar (release 4.00; the target and the query part are the release's, TolvanSQLGrammar.h):
//   INSERT INTO [MEMORY] [database .] table [(name {, name})]
//          [VALUES (value {, value}) | query expression]
// Nothing may follow the value list, the query, the column list, or (when neither VALUES nor a
// query comes) the table name; a bare INSERT INTO t posts one record of defaults. Values are
// written by name when the column list has as many names as there are values, by position
// otherwise (INSERT INTO t (a) VALUES (1, 2) writes the first two fields). A query's result is
// copied into the table by column name; the column list is not used. There are no
// transactions: a query whose rows partly fail keeps the rows that were copied and raises 11350.
//
// A kept command (the text has parameters) makes its target table component and maps each
// value to its field once; the table is opened for every execution and closed after it, so a
// prepared INSERT never blocks DDL on its table between runs. Sub-queries in the values are
// reset and run before every execution, so a re-run reads current data.
//
// Ownership: the command owns its column names, value expressions, query part and target
// table component. The target is closed (a pending insert cancelled first) on every path.
//
// Threads: a command serves one thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "classlib/Components.h"
#include "classlib/StringList.h"
#include "sql/TolvanSQLCommand.h"

namespace tolvan {

class TField;
class TTolvanExpression;
class TTolvanSQLUnion;
class TTolvanTable;
class TTolvanVariant;

inline constexpr int32_t ErrInsertUnexpectedEndAfterInsert = 30205;
inline constexpr int32_t ErrInsertIntoExpected = 30206;
inline constexpr int32_t ErrInsertFieldNameExpected = 2156;
inline constexpr int32_t ErrInsertParenOrCommaExpected = 30212;
inline constexpr int32_t ErrInsertUnexpectedEndAfterColumns = 30213;
inline constexpr int32_t ErrInsertOpenParenExpected = 30214;
inline constexpr int32_t ErrInsertUnexpectedEndInValues = 30203;
inline constexpr int32_t ErrInsertUnexpectedToken = 30246;
inline constexpr int32_t ErrInsertBadValue = 30357;
inline constexpr int32_t ErrInsertValueUndefined = 30356;
inline constexpr int32_t ErrInsertFromSelectFailed = 11350;
inline constexpr int32_t ErrInsertFieldNotFound = 11590;
inline constexpr int32_t ErrStoreValueIsNull = 30359;
// More values than the table has fields.
inline constexpr int32_t ErrInsertTooManyValues = 30402;
inline constexpr std::string_view SInsertTooManyValues =
    "Error - INSERT has %d values, but table '%s' has only %d fields";

// Writes Value into Field of the current record of Field's dataset. Nil raises 30359 "Value is
// Null"; a null value clears the field. BLOB fields are written through a BLOB stream closed
// before this returns.
void StoreVariantInField(const TTolvanVariant* Value, TField& Field);

class TTolvanSQLInsert : public TTolvanSQLCommand {
public:
  TTolvanSQLInsert(TTolvanLexer& Lexer, TTolvanQuery& Query);
  ~TTolvanSQLInsert() override;

  void Parse() override;
  void Execute(TTolvanQuery& Query, bool IsRoot, bool RequestLive, bool& ReadOnly) override;
  void BindParams(const TTolvanSQLParams& Params) override;
  void Close() override;

  const TStringList* ColumnNames() const noexcept { return FColumnNames.get(); }
  size_t ValueCount() const noexcept { return FValues.size(); }
  TTolvanSQLUnion* QueryPart() const noexcept { return FQueryPart.get(); }
  // Read with the target where the grammar has one; the execution does not use it.
  const AnsiString& Password() const noexcept { return FPassword; }
  void SetPassword(const AnsiString& Value) { FPassword = Value; }

private:
  // --- grammar: each step one function, so a release's variant can replace it -------------------
  void ParseColumnList();
  // After the column list a further token is required.
  void RequireTokenAfterColumns();
  void ParseValueList();
  void ParseQueryPart();
  // The statement must end at the current token.
  void RequireEnd();

  // --- execution
  // ----------------------------------------------------------------------------------
  void OpenTarget(TTolvanQuery& Query);
  void CopyFromQuery(TTolvanQuery& Query, bool IsRoot, bool& ReadOnly);
  void InsertValues(TTolvanQuery& Query);
  // Field number of each value, resolved against the open target.
  void MapValuesToFields();

  AnsiString FPassword;
  std::unique_ptr<TStringList> FColumnNames;
  std::vector<std::unique_ptr<TTolvanExpression>> FValues;
  std::unique_ptr<TTolvanSQLUnion> FQueryPart;
  TComponentPtr<TTolvanTable> FTable;
  std::vector<int32_t> FFieldNos;
  bool FMapped = false;
};

} // namespace tolvan
