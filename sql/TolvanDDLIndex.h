// TolvanDDLIndex.h: CREATE [UNIQUE] INDEX and DROP INDEX.
//
//   CREATE [UNIQUE] INDEX [IF NOT EXISTS] name ON [MEMORY] table
//       ( column [ASC | DESC] [CASE | NOCASE] {, column ...} )
//   DROP INDEX [IF EXISTS] [MEMORY] table . index [PASSWORD 'p']
//
// Each statement works through a table component of its own, owned by the query's owner, opened
// exclusively on the query's database and session and freed on every path. The table is in
// memory when the query is, or when MEMORY is written; the name has no database part. Tokens
// after the column list of CREATE INDEX, and after DROP INDEX's index name or password, are not
// read. A missing table, a duplicate or missing index and a unique index over duplicate keys
// fail with the component's or the engine's error, and leave the table as it was.
//
// Ownership: a command owns its parsed names.
//
// Threads: a command serves one thread at a time.
#pragma once

#include <cstdint>
#include <vector>

#include "classlib/Strings.h"
#include "sql/TolvanIndexField.h"
#include "sql/TolvanSQLCommand.h"

namespace tolvan {

class TTolvanTable;

// CREATE INDEX grammar.
inline constexpr int32_t ErrCreateIndexUniqueNotIndex = 30267;
inline constexpr int32_t ErrCreateIndexKeyword = 30268;
inline constexpr int32_t ErrCreateIndexNotKind = 11236;
inline constexpr int32_t ErrCreateIndexNot = 11237;
inline constexpr int32_t ErrCreateIndexExistsKind = 11238;
inline constexpr int32_t ErrCreateIndexExists = 11239;
inline constexpr int32_t ErrCreateIndexName = 30269;
inline constexpr int32_t ErrCreateIndexOnKind = 30270;
inline constexpr int32_t ErrCreateIndexOn = 30271;
inline constexpr int32_t ErrCreateIndexTableName = 30272;
inline constexpr int32_t ErrCreateIndexMemoryTableName = 11301;
inline constexpr int32_t ErrCreateIndexOpenParenthesis = 30273;
inline constexpr int32_t ErrCreateIndexFieldName = 30274;
inline constexpr int32_t ErrCreateIndexPassword = 30275;
inline constexpr int32_t ErrCreateIndexPasswordEnd = 30276;
inline constexpr int32_t ErrCreateIndexColumnEnd = 30277;

// DROP INDEX grammar.
inline constexpr int32_t ErrDropIndexEnd = 30278;
inline constexpr int32_t ErrDropIndexExistsKind = 11241;
inline constexpr int32_t ErrDropIndexExists = 11242;
inline constexpr int32_t ErrDropIndexIfExistsEnd = 11243;
inline constexpr int32_t ErrDropIndexMemoryTableName = 11302;
inline constexpr int32_t ErrDropIndexTableEnd = 30279;
inline constexpr int32_t ErrDropIndexDot = 30280;
inline constexpr int32_t ErrDropIndexDotEnd = 30281;
inline constexpr int32_t ErrDropIndexPassword = 30282;

// The part both statements share: the table they open.
class TTolvanDDLIndexCommand : public TTolvanSQLCommand {
public:
  TTolvanDDLIndexCommand(TTolvanLexer& Lexer, TTolvanQuery& Query);

  const AnsiString& IndexName() const noexcept { return FIndexName; }
  bool MemoryWritten() const noexcept { return FMemoryWritten; }

protected:
  // The table's names follow the query: its database and session, its in-memory flag unless
  // MEMORY is written.
  void ApplyTableNames(TTolvanQuery& Query);
  // Runs Change on the table opened exclusively, then closes it; the component is freed on
  // every path.
  template <class F> void WithOpenTable(TTolvanQuery& Query, F&& Change);
  // Whether the open table has an index of that name (case ignored).
  static bool HasIndex(TTolvanTable& Table, const AnsiString& Name);

  AnsiString FIndexName;
  AnsiString FPassword; // read and not used
  bool FMemoryWritten = false;
};

class TTolvanDDLCreateIndex : public TTolvanDDLIndexCommand {
public:
  TTolvanDDLCreateIndex(TTolvanLexer& Lexer, TTolvanQuery& Query);

  void Parse() override;
  void Execute(TTolvanQuery& Query, bool IsRoot, bool RequestLive, bool& ReadOnly) override;

  bool Unique() const noexcept { return FUnique; }
  bool IfNotExists() const noexcept { return FIfNotExists; }
  const std::vector<TTolvanIndexField>& Columns() const noexcept { return FColumns; }

private:
  void ParseIfNotExists();
  void ParseColumns();
  // One column's modifiers, up to the "," or ")" after them.
  void ParseModifiers(TTolvanIndexField& Column);

  bool FUnique = false;
  bool FIfNotExists = false;
  std::vector<TTolvanIndexField> FColumns;
};

class TTolvanDDLDropIndex : public TTolvanDDLIndexCommand {
public:
  TTolvanDDLDropIndex(TTolvanLexer& Lexer, TTolvanQuery& Query);

  void Parse() override;
  void Execute(TTolvanQuery& Query, bool IsRoot, bool RequestLive, bool& ReadOnly) override;

  bool IfExists() const noexcept { return FIfExists; }

private:
  bool FIfExists = false;
};

} // namespace tolvan
