// TolvanSQLProcessor.h: TTolvanLocalSQLProcessor, the SQL processor of a query component.
//
// Execute cuts the text into statements, makes one command per statement from its first
// keyword or keywords (through the command registry, TolvanSQLCommand.h), lets it execute, adds
// up the rows each affected and returns the cursor of the last statement (nil when the last
// statement has none). A text without parameters is parsed again at every Execute. A text with
// parameters keeps its commands after the first complete run; later runs bind the current
// values into them and run them again without tokenizing.
//
// A failure anywhere frees the commands and leaves the processor to start afresh from the
// text; statements that ran before the failing one keep their effects.
//
// Derived tables and sub-queries run statements of their own. A thread-local count of nested
// executions refuses a 33rd level with 30072.
//
// Ownership: the processor owns its commands; the cursor it returns belongs to the last command.
// The lexer lives for one preparing run. The query is borrowed.
//
// Threads: a processor serves one thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "schema/TolvanSQLProcessor.h"
#include "sql/TolvanSQLCommand.h"

namespace tolvan {

inline constexpr int32_t ErrSQLCreateUnexpected = 30147;
inline constexpr int32_t ErrSQLCreateEnd = 30148;
inline constexpr int32_t ErrSQLDropUnexpected = 30149;
inline constexpr int32_t ErrSQLDropEnd = 30150;
inline constexpr int32_t ErrSQLAlterUnexpected = 30151;
inline constexpr int32_t ErrSQLAlterEnd = 30152;
inline constexpr int32_t ErrSQLKeywordUnexpected = 30153;
inline constexpr int32_t ErrSQLTokenUnexpected = 30154;
inline constexpr int32_t ErrSQLRenameEnd = 30353;
// Statements nested inside statements (derived tables, sub-queries) deeper than this raise
// 30072.
inline constexpr int32_t MaxNestedExecutions = 32;

class TTolvanLocalSQLProcessor : public TTolvanSQLProcessor {
public:
  explicit TTolvanLocalSQLProcessor(TTolvanQuery& Query);
  ~TTolvanLocalSQLProcessor() override;

  TTolvanCursor* Execute() override;
  void Invalidate() override;
  // Closes every command (dropping close failures), then frees them.
  void FreeCommands() noexcept;

  TTolvanQuery& Query() const noexcept { return *FQuery; }
  // The command made or re-run last; nil when none is held.
  TTolvanSQLCommand* CurrentCommand() const noexcept { return FCurrent; }
  int32_t KeptCommandCount() const noexcept { return int32_t(FKept.size()); }
  // Statements tokenized since the processor was made (tests see whether a run parsed).
  int64_t ParseCount() const noexcept { return FParseCount; }

private:
  TTolvanCursor* RunFromText();
  TTolvanCursor* RunKept();
  // Makes the command of the lexer's current statement.
  std::unique_ptr<TTolvanSQLCommand> Dispatch(TTolvanLexer& Lexer);
  // Adds the command's rows to the total and answers its cursor, positioned before the first
  // record.
  TTolvanCursor* AfterCommand(TTolvanSQLCommand& Command);

  TTolvanQuery* FQuery;
  // The last command of a text without parameters, until the next run or FreeCommands.
  std::unique_ptr<TTolvanSQLCommand> FOwnCurrent;
  // The commands of a text with parameters, after its first complete run.
  std::vector<std::unique_ptr<TTolvanSQLCommand>> FKept;
  TTolvanSQLCommand* FCurrent = nullptr;
  int64_t FParseCount = 0;
};

// The depth of statement executions on this thread, counted while a processor runs.
int32_t NestedExecutionDepth() noexcept;

} // namespace tolvan
