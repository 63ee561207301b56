// TolvanSQLDatabase.h: CREATE DATABASE and DROP DATABASE.
//
//   CREATE DATABASE { FILE name [PAGESIZE n] [MAXSESSIONSCOUNT n] ... | [MEMORY] name }
//   DROP DATABASE { FILE name | [MEMORY] name }
//
// Both act through a database component. CREATE makes an ownerless one for the call. DROP uses
// the executing query's own database component only when that component is the database being
// dropped (same name ignoring case, same in-memory flag): it is closed first, so that its engine
// session is not counted among the sessions that refuse the drop, and keeps its name. Any other
// drop goes through an ownerless component for the call, and the caller's component, its name,
// its connection and its open datasets stay as they were. A database other engine sessions use
// is refused with 11747 and stays intact.
//
// FILE names a database that is not in memory; this release has none, so CREATE DATABASE FILE
// fails with the engine's error for a missing database and DROP DATABASE FILE with "Database
// file name missing". The FILE options are read and not passed on.
//
// Ownership: a command owns its parsed names; the components it makes live for the call.
//
// Threads: a command serves one thread at a time.
#pragma once

#include <cstdint>

#include "classlib/Strings.h"
#include "sql/TolvanSQLCommand.h"

namespace tolvan {

class TTolvanDatabase;

inline constexpr int32_t ErrCreateDatabaseEnd = 11748;
inline constexpr int32_t ErrCreateDatabaseName = 11749;
inline constexpr int32_t ErrCreateDatabaseMemoryName = 11750;
inline constexpr int32_t ErrCreateDatabaseFileName = 11755;
inline constexpr int32_t ErrDropDatabaseEnd = 11752;
inline constexpr int32_t ErrDropDatabaseName = 11753;
inline constexpr int32_t ErrDropDatabaseMemoryName = 11754;
inline constexpr int32_t ErrDropDatabaseFileName = 11758;

// The base of both statements: the database's name, kind and the FILE options.
class TTolvanDatabaseManagement : public TTolvanSQLCommand {
public:
  TTolvanDatabaseManagement(TTolvanLexer& Lexer, TTolvanQuery& Query);
  // Wipes the password's characters.
  ~TTolvanDatabaseManagement() override;

  const AnsiString& FileName() const noexcept { return FFileName; }
  int32_t MaxSessionCount() const noexcept { return FMaxSessionCount; }
  int32_t PageSize() const noexcept { return FPageSize; }

protected:
  // The error codes of one statement's name grammar.
  struct TNameCodes {
    int32_t End;    // no token after DATABASE
    int32_t Kind;   // neither a name nor a reserved word
    int32_t File;   // after FILE
    int32_t Memory; // after MEMORY
  };
  // DATABASE { FILE name | MEMORY name | name }; the name is current on return. With FILE the
  // database is not in memory and the name is also the file name.
  void ParseDatabaseName(const TNameCodes& Codes);
  // The reserved words after a FILE name: PAGESIZE n, MAXSESSIONSCOUNT n, others passed over.
  void ParseFileOptions();

  AnsiString FFileName;
  int32_t FMaxSessionCount = 0;
  int32_t FPageSize = 0;
  // A database password: no statement sets it yet, and it never outlives the command.
  AnsiString FPassword;
};

class TTolvanCreateDatabase : public TTolvanDatabaseManagement {
public:
  using TTolvanDatabaseManagement::TTolvanDatabaseManagement;
  void Parse() override;
  void Execute(TTolvanQuery& Query, bool IsRoot, bool RequestLive, bool& ReadOnly) override;
};

class TTolvanDropDatabase : public TTolvanDatabaseManagement {
public:
  using TTolvanDatabaseManagement::TTolvanDatabaseManagement;
  void Parse() override;
  void Execute(TTolvanQuery& Query, bool IsRoot, bool RequestLive, bool& ReadOnly) override;

  // Whether Database is the one the statement names: same name ignoring case, same in-memory
  // flag.
  bool Names(const TTolvanDatabase& Database) const;

private:
  void DropThroughOwn(TTolvanQuery& Query, TTolvanDatabase& Own);
  void DropThroughTemporary();
};

// Registers CREATE and DROP DATABASE with the processor. A release without the DATABASE
// statements leaves this out.
void RegisterDatabaseCommands();

} // namespace tolvan
