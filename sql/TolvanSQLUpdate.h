// TolvanSQLUpdate.h: the UPDATE and DELETE statements.
//
// Neither has an executor of its own. Each rewrites its token stream into a SELECT over its
// target and runs that SELECT live, so that the result is the table itself restricted by the
// WHERE clause; then it changes the records the result shows:
//
//   UPDATE [MEMORY] [database .] table SET column = value {, column = value} [WHERE ...]
//     becomes SELECT * FROM MEMORY [database .] table [WHERE ...]
//   DELETE FROM ...   becomes SELECT * FROM ...   (every SELECT clause after FROM is read)
//
// Nothing may follow the SELECT's grammar: a token left over raises 30246, so a misspelt
// keyword never widens the statement. A result that is not the table itself (GROUP BY, a
// derived table, ORDER BY without a matching index) raises 30403 before anything changes.
//
// Batch path: with no record-event handler on the database, and (UPDATE) every SET value a
// constant, no BLOB column given anything but the null constant, the table changes all visible
// records in one operation. Record path otherwise: the ids of the result are collected in
// order first, then each record is visited once by id (one that has gone or left the result
// meanwhile, as a cascade within the same table may cause, is skipped and not counted), its
// SET values are all computed from the record as read, and it is edited and posted (or
// deleted). Record events fire with the query as sender. Every SET column is resolved before
// anything changes (11590).
//
// There are no transactions: a statement that fails keeps the records it changed before.
//
// Kept commands (the text has parameters) keep the parse and build the SELECT's tree afresh
// for every execution: no table is held open between runs, so a prepared statement never blocks
// DDL on its table. Sub-queries in SET values are reset and run before every execution.
//
// Ownership: a command owns its internal SELECT, SET names and SET expressions.
//
// Threads: a command serves one thread at a time. A statement holds no lock across records, so
// other sessions' writes may land between the records of one UPDATE or DELETE.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "classlib/StringList.h"
#include "foundation/TolvanArrays.h"
#include "sql/TolvanSQLCommand.h"

namespace tolvan {

class TField;
class TTolvanDataSet;
class TTolvanExpression;
class TTolvanSQLSelect;

inline constexpr int32_t ErrUpdateTableNameExpected = 30217;
inline constexpr int32_t ErrUpdateSetExpected = 30220;
inline constexpr int32_t ErrUpdateEqualsExpected = 30221;
inline constexpr int32_t ErrUpdateCommaExpected = 30222;
inline constexpr int32_t ErrUpdateUnexpectedEnd = 30223;
inline constexpr int32_t ErrChangeUnexpectedToken = 30246;
inline constexpr int32_t ErrChangeFieldNotFound = 11590;
// The records to change are a copy of the table's, not the table itself.
inline constexpr int32_t ErrChangeThroughCopy = 30403;
inline constexpr std::string_view SChangeThroughCopy =
    "Error - cannot change records of table '%s' through a copy";

// The numbers the result cursor's reserved hooks are called with around the changes.
inline constexpr int32_t HookUpdateBegin = 10677;
inline constexpr int32_t HookUpdateEnd = 10678;
inline constexpr int32_t HookDeleteBegin = 10679;
inline constexpr int32_t HookDeleteEnd = 10680;

// The frame UPDATE and DELETE share: the internal SELECT, run live, and the walk of its result.
class TTolvanSQLChangeCommand : public TTolvanSQLCommand {
public:
  TTolvanSQLChangeCommand(TTolvanLexer& Lexer, TTolvanQuery& Query);
  ~TTolvanSQLChangeCommand() override;

  // Runs the internal SELECT live and changes the records of its result (ChangeRecords); the
  // SELECT's tree is freed on every path, the SELECT too when the statement runs once.
  void Execute(TTolvanQuery& Query, bool IsRoot, bool RequestLive, bool& ReadOnly) final;
  void BindParams(const TTolvanSQLParams& Params) override;
  void Close() override;

  TTolvanSQLSelect* InternalSelect() const noexcept { return FSelect.get(); }
  // Whether the last execution changed the records one by one.
  bool LastRunByRecord() const noexcept { return FByRecord; }

protected:
  // Before the internal SELECT runs (and locks its table).
  virtual void BeforeRun(TTolvanQuery& /*Query*/, bool /*Kept*/) {}
  // Changes the records Result shows and sets the rows affected.
  virtual void ChangeRecords(TTolvanDataSet& Result) = 0;
  // Parses the rewritten statement (the lexer stands on its first token) into the internal
  // SELECT; a token left over raises 30246.
  void ParseInternalSelect();
  // Runs the internal SELECT live and returns its result, the table itself; 30403 when the
  // result is a copy.
  TTolvanDataSet& RunInternalSelect(TTolvanQuery& Query, bool IsRoot);
  // Frees the SELECT's tree (closing its table) and, for a statement that runs once, the
  // SELECT; failures are dropped when Quiet.
  void ReleaseAfterRun(bool Kept, bool Quiet);
  // The ids of the result's records, in its order.
  static std::vector<TTolvanRecordID> CollectRecordIDs(TTolvanDataSet& Result);
  // The name errors give for the target table.
  virtual AnsiString TargetName() const;

  std::unique_ptr<TTolvanSQLSelect> FSelect;
  bool FByRecord = false;
};

class TTolvanSQLUpdate : public TTolvanSQLChangeCommand {
public:
  TTolvanSQLUpdate(TTolvanLexer& Lexer, TTolvanQuery& Query);
  ~TTolvanSQLUpdate() override;

  void Parse() override;
  void Close() override;

  const TStringList& SetColumns() const noexcept { return FSetColumns; }
  size_t SetCount() const noexcept { return FSetValues.size(); }
  // Read with the target where the grammar has one; the execution does not use it.
  const AnsiString& Password() const noexcept { return FPassword; }
  void SetPassword(const AnsiString& Value) { FPassword = Value; }

protected:
  AnsiString TargetName() const override { return FTableName; }
  void BeforeRun(TTolvanQuery& Query, bool Kept) override;
  void ChangeRecords(TTolvanDataSet& Result) override;

private:
  // --- grammar (the target and its rewrite are the release's, TolvanSQLGrammar.h) -----------
  void ParseAssignments();
  // The tokens before WHERE become SELECT * FROM <the grammar's target>.
  void RewriteAsSelect(int32_t WhereIndex, const TToken& At);

  // --- execution ----------------------------------------------------------------------------
  // The field of each SET column in the result (11590 for a missing one).
  std::vector<TField*> ResolveColumns(TTolvanDataSet& Result) const;
  bool CanRunAsBatch(TTolvanDataSet& Result, const std::vector<TField*>& Fields) const;
  void UpdateAsBatch(TTolvanDataSet& Result);
  void UpdateByRecord(TTolvanDataSet& Result, const std::vector<TField*>& Fields);

  AnsiString FPassword;
  TStringList FSetColumns;
  std::vector<std::unique_ptr<TTolvanExpression>> FSetValues;
};

class TTolvanSQLDelete : public TTolvanSQLChangeCommand {
public:
  TTolvanSQLDelete(TTolvanLexer& Lexer, TTolvanQuery& Query);
  ~TTolvanSQLDelete() override;

  void Parse() override;

protected:
  AnsiString TargetName() const override;
  void ChangeRecords(TTolvanDataSet& Result) override;

private:
  void DeleteByRecord(TTolvanDataSet& Result);
};

} // namespace tolvan
