// CREATE INDEX and DROP INDEX: the grammars and the table component they work through.
#include "sql/TolvanDDLIndex.h"

#include <utility>

#include "classlib/DB.h"
#include "classlib/DBDefs.h"
#include "components/TolvanQuery.h"
#include "components/TolvanTable.h"
#include "foundation/TolvanExcept.h"
#include "foundation/TolvanMessages.h"

namespace tolvan {

namespace {

constexpr TTokenKinds ReservedWordKind = TokenKinds({tktReservedWord});

} // namespace

// --- shared ----------------------------------------------------------------------------------

TTolvanDDLIndexCommand::TTolvanDDLIndexCommand(TTolvanLexer& Lexer, TTolvanQuery& Query)
    : TTolvanSQLCommand(Lexer, Query) {}

void TTolvanDDLIndexCommand::ApplyTableNames(TTolvanQuery& Query) {
  // Without MEMORY the table lives where the query's other tables do.
  FInMemory = FMemoryWritten || Query.InMemory();
  FDatabaseName = FInMemory == Query.InMemory() ? Query.DatabaseName() : AnsiString();
}

template <class F> void TTolvanDDLIndexCommand::WithOpenTable(TTolvanQuery& Query, F&& Change) {
  ApplyTableNames(Query);
  TComponentPtr<TTolvanTable> Table(NewComponent<TTolvanTable>(Query.Owner()));
  SetupDataSet(Table.get());
  Table->SetExclusive(true);
  Table->Open();
  std::forward<F>(Change)(*Table);
  Table->Close();
  // A failing teardown still frees the component, and its error is the statement's.
  Table.release()->Free();
}

bool TTolvanDDLIndexCommand::HasIndex(TTolvanTable& Table, const AnsiString& Name) {
  TIndexDefs& Defs = Table.IndexDefs();
  Defs.Update();
  for (int32_t I = 0; I < Defs.Count(); ++I)
    if (AnsiSameText(Defs.Items(I).Name(), Name))
      return true;
  return false;
}

// --- CREATE INDEX ----------------------------------------------------------------------------

TTolvanDDLCreateIndex::TTolvanDDLCreateIndex(TTolvanLexer& Lexer, TTolvanQuery& Query)
    : TTolvanDDLIndexCommand(Lexer, Query) {}

void TTolvanDDLCreateIndex::Parse() {
  if (AtWord("UNIQUE")) {
    FUnique = true;
    ReadNextToken(ReservedWordKind, ErrCreateIndexUniqueNotIndex, SIndexKeywordExpected);
  }
  if (!AtWord("INDEX"))
    RaiseAtToken(ErrCreateIndexKeyword, SIndexKeywordExpected);
  ReadNextToken(NameOrKeywordKinds, ErrCreateIndexName, SIndexNameExpected);
  if (AtWord("IF")) {
    ParseIfNotExists();
    ReadNextToken(NameOrKeywordKinds, ErrCreateIndexName, SIndexNameExpected);
  }
  FIndexName = FToken.Text;

  ReadNextToken(ReservedWordKind, ErrCreateIndexOnKind, SOnKeywordExpected);
  if (!AtWord("ON"))
    RaiseAtToken(ErrCreateIndexOn, SOnKeywordExpected);
  ReadNextToken(NameOrKeywordKinds, ErrCreateIndexTableName, STableNameExpected);
  if (AtWord("MEMORY")) {
    FMemoryWritten = true;
    ReadNextToken(NameOrKeywordKinds, ErrCreateIndexMemoryTableName, STableNameExpected);
  }
  FTableName = FToken.Text;

  ReadNextToken(TokenKinds({tktLeftParenthesis}), ErrCreateIndexOpenParenthesis,
                SOpeningParenthesisExpected);
  ParseColumns();
}

void TTolvanDDLCreateIndex::ParseIfNotExists() {
  ReadNextToken(ReservedWordKind, ErrCreateIndexNotKind, SNotKeywordExpected);
  if (!AtWord("NOT"))
    RaiseAtToken(ErrCreateIndexNot, SNotKeywordExpected);
  ReadNextToken(ReservedWordKind, ErrCreateIndexExistsKind, SExistsKeywordExpected);
  if (!AtWord("EXISTS"))
    RaiseAtToken(ErrCreateIndexExists, SExistsKeywordExpected);
  FIfNotExists = true;
}

void TTolvanDDLCreateIndex::ParseColumns() {
  for (;;) {
    ReadNextToken(NameOrKeywordKinds, ErrCreateIndexFieldName, SFieldNameExpected);
    if (AtWord("PASSWORD")) {
      ReadNextToken(TokenKinds({tktQuotedString}), ErrCreateIndexPassword, SQuotedPasswordExpected);
      FPassword = FToken.Text;
      ReadNextToken(TokenKinds({tktRightParenthesis, tktComma}), ErrCreateIndexPasswordEnd,
                    SClosingParenthesisOrCommaExpected);
    } else {
      TTolvanIndexField Column;
      Column.Name = FToken.Text;
      ParseModifiers(Column);
      FColumns.push_back(std::move(Column));
    }
    // What follows the list is not read.
    if (FToken.Kind == tktRightParenthesis)
      return;
  }
}

void TTolvanDDLCreateIndex::ParseModifiers(TTolvanIndexField& Column) {
  for (;;) {
    RequireNextToken(ErrCreateIndexColumnEnd);
    if (FToken.Kind == tktRightParenthesis || FToken.Kind == tktComma)
      return;
    if (AtWord("ASC"))
      Column.Descending = false;
    else if (AtWord("DESC"))
      Column.Descending = true;
    else if (AtWord("CASE"))
      Column.CaseInsensitive = false;
    else if (AtWord("NOCASE"))
      Column.CaseInsensitive = true;
  }
}

void TTolvanDDLCreateIndex::Execute(TTolvanQuery& Query, bool, bool, bool&) {
  const TTolvanIndexFieldLists Lists = IndexFieldLists(FColumns);
  const TIndexOptions Options = FUnique ? ixUnique : TIndexOptions(0);
  WithOpenTable(Query, [&](TTolvanTable& Table) {
    if (FIfNotExists && HasIndex(Table, FIndexName))
      return;
    Table.AddIndex(FIndexName, Lists.Fields, Options, Lists.DescFields, Lists.CaseInsFields);
  });
}

// --- DROP INDEX ------------------------------------------------------------------------------

TTolvanDDLDropIndex::TTolvanDDLDropIndex(TTolvanLexer& Lexer, TTolvanQuery& Query)
    : TTolvanDDLIndexCommand(Lexer, Query) {}

void TTolvanDDLDropIndex::Parse() {
  RequireNextToken(ErrDropIndexEnd);
  if (AtWord("IF")) {
    ReadNextToken(ReservedWordKind, ErrDropIndexExistsKind, SExistsKeywordExpected);
    if (!AtWord("EXISTS"))
      RaiseAtToken(ErrDropIndexExists, SExistsKeywordExpected);
    FIfExists = true;
    RequireNextToken(ErrDropIndexIfExistsEnd);
  }
  if (AtWord("MEMORY")) {
    FMemoryWritten = true;
    ReadNextToken(NameOrKeywordKinds, ErrDropIndexMemoryTableName, STableNameExpected);
  }
  FTableName = FToken.Text;
  RequireNextToken(ErrDropIndexTableEnd);
  if (FToken.Kind != tktDot)
    RaiseExpected(ErrDropIndexDot, ".");
  RequireNextToken(ErrDropIndexDotEnd);
  FIndexName = FToken.Text;
  // Only a password may follow; anything else is not read.
  if (NextToken() && AtWord("PASSWORD")) {
    ReadNextToken(TokenKinds({tktQuotedString}), ErrDropIndexPassword, SQuotedPasswordExpected);
    FPassword = FToken.Text;
  }
}

void TTolvanDDLDropIndex::Execute(TTolvanQuery& Query, bool, bool, bool&) {
  WithOpenTable(Query, [&](TTolvanTable& Table) {
    if (FIfExists && !HasIndex(Table, FIndexName))
      return;
    Table.DeleteIndex(FIndexName);
  });
}

} // namespace tolvan
