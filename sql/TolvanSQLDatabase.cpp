// CREATE and DROP DATABASE: the grammar and the database component each drop goes through.
#include "sql/TolvanSQLDatabase.h"

#include "classlib/SysUtils.h"
#include "components/TolvanDatabase.h"
#include "components/TolvanQuery.h"
#include "foundation/TolvanExcept.h"
#include "foundation/TolvanMessages.h"
#include "foundation/TolvanTypes.h"

namespace tolvan {

// --- shared grammar --------------------------------------------------------------------------

TTolvanDatabaseManagement::TTolvanDatabaseManagement(TTolvanLexer& Lexer, TTolvanQuery& Query)
    : TTolvanSQLCommand(Lexer, Query) {}

TTolvanDatabaseManagement::~TTolvanDatabaseManagement() {
  if (!FPassword.empty())
    WipeString(FPassword);
}

void TTolvanDatabaseManagement::ParseDatabaseName(const TNameCodes& Codes) {
  if (!NextToken())
    throw ETolvanException::Create(Codes.End, SBlankSqlCommand);
  if (!AtKind(NameOrKeywordKinds))
    RaiseAtToken(Codes.Kind, SDatabaseNameOrMemoryExpected);
  FInMemory = true;
  if (AtWord("FILE")) {
    FInMemory = false;
    ReadNextToken(NameOrKeywordKinds, Codes.File, SDatabaseNameOrMemoryExpected);
    FFileName = FToken.Text;
  } else if (AtWord("MEMORY")) {
    ReadNextToken(NameOrKeywordKinds, Codes.Memory, SDatabaseNameOrMemoryExpected);
  }
  FDatabaseName = FToken.Text;
}

void TTolvanDatabaseManagement::ParseFileOptions() {
  NextToken();
  while (IsAnyKeyword(FToken)) {
    const bool PageSize = AtWord("PAGESIZE");
    if (PageSize || AtWord("MAXSESSIONSCOUNT")) {
      if (!NextToken())
        return;
      (PageSize ? FPageSize : FMaxSessionCount) = StrToIntDef(FToken.Text, 0);
    }
    NextToken();
  }
}

// --- CREATE DATABASE -------------------------------------------------------------------------

void TTolvanCreateDatabase::Parse() {
  ParseDatabaseName({ErrCreateDatabaseEnd, ErrCreateDatabaseName, ErrCreateDatabaseFileName,
                     ErrCreateDatabaseMemoryName});
  if (!FInMemory)
    ParseFileOptions();
}

// --- execution -------------------------------------------------------------------------------

namespace {

// The drop-by-statement mode: the component's name checks are skipped while it is held.
class TDropMode {
public:
  explicit TDropMode(TTolvanDatabase& Database) : FDatabase(Database) {
    FDatabase.SetDroppedBySQL(true);
  }
  ~TDropMode() { FDatabase.SetDroppedBySQL(false); }
  TDropMode(const TDropMode&) = delete;
  TDropMode& operator=(const TDropMode&) = delete;

private:
  TTolvanDatabase& FDatabase;
};

} // namespace

void TTolvanCreateDatabase::Execute(TTolvanQuery&, bool, bool, bool&) {
  TComponentPtr<TTolvanDatabase> Database(TTolvanDatabase::Create(nullptr));
  {
    // The component only carries the name to the engine and never connects: a component of the
    // caller's with the same name is no conflict, and is neither refused nor freed.
    TDropMode Mode(*Database);
    Database->SetDatabaseName(FDatabaseName);
    Database->SetInMemory(FInMemory);
  }
  Database->CreateDatabase();
  Database.release()->Free();
}

void TTolvanDropDatabase::Parse() {
  ParseDatabaseName({ErrDropDatabaseEnd, ErrDropDatabaseName, ErrDropDatabaseFileName,
                     ErrDropDatabaseMemoryName});
}

bool TTolvanDropDatabase::Names(const TTolvanDatabase& Database) const {
  return Database.InMemory() == FInMemory && AnsiSameText(Database.DatabaseName(), FDatabaseName);
}

void TTolvanDropDatabase::Execute(TTolvanQuery& Query, bool, bool, bool&) {
  if (TTolvanDatabase* Own = Query.Database(); Own && Names(*Own))
    DropThroughOwn(Query, *Own);
  else
    DropThroughTemporary();
}

void TTolvanDropDatabase::DropThroughOwn(TTolvanQuery& Query, TTolvanDatabase& Own) {
  // The query is still running in the component: it stays listed and counted, so that the
  // component outlives the statement whatever the rest of the script opens and closes.
  Own.CloseKeeping(&Query);
  TDropMode Mode(Own);
  Own.DropDatabase();
}

void TTolvanDropDatabase::DropThroughTemporary() {
  TComponentPtr<TTolvanDatabase> Database(TTolvanDatabase::Create(nullptr));
  {
    TDropMode Mode(*Database);
    Database->SetDatabaseName(FDatabaseName);
    Database->SetInMemory(FInMemory);
    Database->DropDatabase();
  }
  Database.release()->Free();
}

void RegisterDatabaseCommands() {
  RegisterSQLCommand(TTolvanSQLCommandKind::CreateDatabase,
                     CommandFactory<TTolvanCreateDatabase>());
  RegisterSQLCommand(TTolvanSQLCommandKind::DropDatabase, CommandFactory<TTolvanDropDatabase>());
}

} // namespace tolvan
