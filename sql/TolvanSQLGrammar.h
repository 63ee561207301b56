// TolvanSQLGrammar.h: the parts of the statement grammars that differ between releases.
//
// Release 3.90 has one in-memory database, so its statements name a table without a database
// part, read a reserved word after MEMORY as the table name, take a password after INSERT's
// and UPDATE's table, give a query expression an INTO target only when it is one SELECT, and
// read the primary-key modifiers without applying them. Each routine below is one such step,
// called by the statement that owns it; SQLGrammar answers the active release's
// implementation (4.00 here, 3.90 in release390/).
//
// Every routine that reads a target resolves it completely: the command's in-memory flag and
// database name are those its dataset is bound with (the query's database, the flag from
// MEMORY or the query), so the binding needs nothing but the command.
//
// Threads: implementations are stateless; the commands they work on serve one thread.
#pragma once

#include <memory>
#include <vector>

#include "classlib/Strings.h"
#include "foundation/TolvanRelease.h"
#include "sql/TolvanSQLCommand.h"

namespace tolvan {

class TTolvanQuery;
class TTolvanQueryExprNode;
class TTolvanSQLCursorCommand;
class TTolvanSQLInsert;
class TTolvanSQLSelect;
class TTolvanSQLUnion;
class TTolvanSQLUpdate;
struct TTolvanTableReference;

class TTolvanSQLGrammar {
public:
  virtual ~TTolvanSQLGrammar() = default;

  // The in-memory flag of a command when it is made.
  virtual bool InitialInMemory() const = 0;
  // CREATE, DROP, ALTER and RENAME TABLE: the command stands on the name's first token and
  // leaves the token after the name current.
  virtual void ParseDDLTableName(TTolvanSQLCommand& Command) const = 0;
  // INSERT: the command stands on INTO and leaves the token after the target current (none at
  // the end of the statement).
  virtual void ParseInsertTarget(TTolvanSQLInsert& Insert) const = 0;
  // INSERT ... SELECT: the command stands on SELECT; the query part, after which nothing may
  // be left that would be taken for part of it.
  virtual std::unique_ptr<TTolvanSQLUnion> ParseInsertQuery(TTolvanSQLInsert& Insert) const = 0;
  // UPDATE: the command stands on UPDATE and leaves the token after the target current.
  virtual void ParseUpdateTarget(TTolvanSQLUpdate& Update) const = 0;
  // The FROM target of the SELECT an UPDATE is rewritten into.
  virtual void AppendUpdateTarget(const TTolvanSQLUpdate& Update, std::vector<TToken>& Select,
                                  const TToken& At) const = 0;
  // SELECT ... INTO: the command stands on INTO and leaves the token after the target current.
  virtual void ParseSelectInto(TTolvanSQLSelect& Select) const = 0;
  // The SELECT whose INTO target a query expression takes; nil for none.
  virtual const TTolvanSQLSelect* IntoSelect(const TTolvanQueryExprNode& Root) const = 0;
  // The database, session and in-memory flag of a FROM table (MemoryGiven: MEMORY was
  // written); Item's database name is the one written, or empty.
  virtual void ApplyTableSource(TTolvanTableReference& Item, bool MemoryGiven,
                                const TTolvanQuery& Query) const = 0;
  // The in-memory flag and database the INTO target of Command is made with.
  virtual void ResultTarget(const TTolvanSQLCursorCommand& Command, const TTolvanQuery& Query,
                            bool& InMemory, AnsiString& DatabaseName) const = 0;
  // The token kinds a column of a table-level PRIMARY KEY list may be.
  virtual TTokenKinds PrimaryKeyColumnKinds() const = 0;
  // Whether ASC, DESC, CASE and NOCASE of primary-key columns shape the primary index.
  virtual bool AppliesPrimaryKeyModifiers() const = 0;
};

extern TTolvanReleaseVariant<TTolvanSQLGrammar> SQLGrammar;

// Tokens a grammar writes into a rewritten statement, placed at At.
TToken MakeSQLToken(TTokenType Kind, std::string_view Text, const TToken& At);
TToken MakeSQLKeyword(std::string_view Word, const TToken& At);

} // namespace tolvan
