// TolvanSQLCommand.h: TTolvanSQLCommand, the base of every SQL statement, and the registry of
// the statement kinds the processor dispatches to.
//
// A command is made and parsed in one step (MakeCommand), executed once, or again through
// ReExecute while the processor keeps it (a text with parameters), and freed by the processor.
// The base owns the token-reading discipline all statement grammars share: the current token,
// ReadNextToken with a set of accepted token kinds and the error to raise, the table name of
// the form [MEMORY] [database .] table, comma lists of names, and the names a statement's
// dataset component takes (SetupDataSet).
//
// Ownership: the lexer is borrowed for the parse only (the reference is cleared once the
// command has parsed); the owner query is borrowed for the command's life. The parameter-node
// list points at constants owned by the command's expressions (or its operator tree).
//
// Threads: a command serves one thread at a time.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string_view>
#include <vector>

#include "classlib/StringList.h"
#include "classlib/Strings.h"
#include "foundation/TolvanMessages.h"
#include "schema/TolvanSQLParams.h"
#include "schema/expr/TolvanLexer.h"

namespace tolvan {

class TDataSet;
class TTolvanCursor;
class TTolvanDataSet;
class TTolvanExpression;
class TTolvanExprNodeConst;
class TTolvanFields;
class TTolvanQuery;

// Native codes of the command base. Texts are the catalogue's (foundation/TolvanMessages.h).
inline constexpr int32_t ErrSQLUnexpectedEnd = 30161;
inline constexpr int32_t ErrSQLTableNameExpected = 30230;
inline constexpr int32_t ErrSQLMemoryTableNameExpected = 30231;
inline constexpr int32_t ErrSQLFieldListToken = 10406;
inline constexpr int32_t ErrSQLFieldNameExpected = 10408;
inline constexpr int32_t ErrSQLFieldRefExpected = 10409;
inline constexpr int32_t ErrSQLFieldRefToken = 10410;

// A set of token kinds, one bit per TTokenType.
using TTokenKinds = uint32_t;
constexpr TTokenKinds TokenKinds(std::initializer_list<TTokenType> Kinds) {
  TTokenKinds Set = 0;
  for (TTokenType K : Kinds)
    Set |= TTokenKinds(1) << K;
  return Set;
}
inline constexpr TTokenKinds NameKinds =
    TokenKinds({tktString, tktQuotedString, tktBracketedString, tktBackQuotedString});
inline constexpr TTokenKinds NameOrKeywordKinds = NameKinds | TokenKinds({tktReservedWord});
inline constexpr TTokenKinds DotKind = TokenKinds({tktDot});
constexpr bool HasKind(TTokenKinds Set, TTokenType Kind) { return (Set >> Kind) & 1u; }

class TTolvanSQLCommand {
public:
  // The command starts with the lexer's current token; nothing is parsed yet (MakeCommand
  // parses).
  TTolvanSQLCommand(TTolvanLexer& Lexer, TTolvanQuery& Query);
  virtual ~TTolvanSQLCommand();
  TTolvanSQLCommand(const TTolvanSQLCommand&) = delete;
  TTolvanSQLCommand& operator=(const TTolvanSQLCommand&) = delete;

  // --- the statement's life -------------------------------------------------------------------

  // Binds the parameters, then Execute with the re-executing flag set (cleared on every exit).
  virtual void ReExecute(TTolvanQuery& Query, bool RequestLive, bool& ReadOnly);
  // Each node of the parameter-node list takes the value of the parameter of its name (case
  // ignored); nodes without one keep their value.
  virtual void BindParams(const TTolvanSQLParams& Params);
  // The statement's grammar; the base reads nothing.
  virtual void Parse() {}
  virtual void Execute(TTolvanQuery& Query, bool IsRoot, bool RequestLive, bool& ReadOnly) = 0;
  // The result's cursor and dataset; nil for statements without a result.
  virtual TTolvanCursor* GetCursor() { return nullptr; }
  virtual TTolvanDataSet* GetResultDataSet() { return nullptr; }
  // Releases what the command holds open (tables, internal statements) and may raise; the
  // processor calls it before freeing the command. The destructor only releases.
  virtual void Close() {}

  // Parse, then the lexer reference is cleared.
  void ParseAndRelease();

  // --- token discipline -----------------------------------------------------------------------

  // Copies the lexer's current token; false when there is none.
  bool CurrentToken();
  // Advances and copies the new token; false at the end of the statement.
  bool NextToken();
  // Advances. At the end: false with Code -1, else 30161 at the last token's place. A token of
  // a kind outside Kinds (when Kinds is not empty): false with Code -1, else Code with Message
  // formatted with the token's text, line and column.
  bool ReadNextToken(TTokenKinds Kinds, int32_t Code, std::string_view Message = {});
  // Advances; at the end raises Code "Unexpected end of SQL command ..." at the last token's
  // place (grammars whose end has a code of its own).
  void RequireNextToken(int32_t Code);
  // Raises Code with Message formatted with the current token's text, line and column.
  [[noreturn]] void RaiseAtToken(int32_t Code, std::string_view Message) const;
  // Raises Code, Message formatted with Expected, the current token's text, line and column.
  [[noreturn]] void RaiseExpected(int32_t Code, std::string_view Expected) const;
  const TToken& Token() const noexcept { return FToken; }
  TTolvanLexer& Lexer() const;
  bool HasLexer() const noexcept { return FLexer != nullptr; }
  // The current token is the reserved word Id.
  bool AtKeyword(int16_t Id) const { return IsKeyword(FToken, Id); }
  // The current token is a reserved word spelled Word (case ignored).
  bool AtWord(std::string_view Word) const { return IsWord(FToken, Word); }
  static bool IsWord(const TToken& Token, std::string_view Word);
  // The current token's kind is in Kinds.
  bool AtKind(TTokenKinds Kinds) const { return HasKind(Kinds, FToken.Kind); }

  // [MEMORY] [database .] table; leaves the token after the name current. The grammar of
  // release 4.00 (TolvanSQLGrammar.h holds what differs).
  void ParseTableName();
  // name {, name} into List (made when nil).
  void ParseFieldNames(std::unique_ptr<TStringList>& List);
  // [table .] field {, [table .] field} appended to Fields.
  void ParseFieldList(TTolvanFields& Fields);
  // Binds a dataset to the statement's table: the parsed in-memory flag, database and table
  // names with the owner query's, in the release's order (TargetBinding).
  void SetupDataSet(TDataSet* DataSet);
  // An empty expression in the owner query's context: its parameters (when it has any),
  // in-memory flag, database and session names.
  std::unique_ptr<TTolvanExpression> NewQueryExpression() const;

  // --- state ----------------------------------------------------------------------------------

  TTolvanQuery& Query() const noexcept { return *FQuery; }
  int64_t RowsAffected() const noexcept { return FRowsAffected; }
  bool ReExecuting() const noexcept { return FReExecuting; }
  bool InMemory() const noexcept { return FInMemory; }
  const AnsiString& DatabaseName() const noexcept { return FDatabaseName; }
  const AnsiString& TableName() const noexcept { return FTableName; }
  const AnsiString& IntoDatabaseName() const noexcept { return FIntoDatabaseName; }
  const AnsiString& IntoTableName() const noexcept { return FIntoTableName; }
  std::vector<TTolvanExprNodeConst*>& ParamNodes() noexcept { return FParamNodes; }
  // The target as a grammar resolved it.
  void SetTarget(bool InMemory, const AnsiString& DatabaseName, const AnsiString& TableName);
  void SetInMemory(bool Value) noexcept { FInMemory = Value; }
  void SetIntoNames(const AnsiString& DatabaseName, const AnsiString& TableName);

protected:
  TTolvanLexer* FLexer;
  TToken FToken;
  TTolvanQuery* FQuery;
  int64_t FRowsAffected = 0;
  bool FReExecuting = false;
  // The parameter constants of the statement's expressions, owned by those expressions.
  std::vector<TTolvanExprNodeConst*> FParamNodes;
  // Set at creation by the release's grammar.
  bool FInMemory;
  AnsiString FIntoDatabaseName;
  AnsiString FIntoTableName;
  AnsiString FDatabaseName;
  AnsiString FTableName;
};

// The statements the processor dispatches to, one per row of its dispatch table.
enum class TTolvanSQLCommandKind : uint8_t {
  Select, // SELECT or "(": the query expression
  Insert,
  Update,
  Delete,
  CreateTable,
  CreateIndex,
  CreateDatabase,
  DropTable,
  DropIndex,
  DropDatabase,
  AlterTable,
  RenameTable,
  StartTransaction,
  Commit,
  Rollback,
  Count
};

// Makes a statement of one kind from the lexer's current token; MakeCommand then parses it.
using TTolvanSQLCommandFactory =
    std::function<std::unique_ptr<TTolvanSQLCommand>(TTolvanLexer& Lexer, TTolvanQuery& Query)>;

// Registers Factory for Kind (empty withdraws it) and returns what was registered before. A
// kind without a factory raises 11394 "Error - operation is not supported".
TTolvanSQLCommandFactory RegisterSQLCommand(TTolvanSQLCommandKind Kind,
                                            TTolvanSQLCommandFactory Factory);
// Makes a statement of Kind and parses it (ParseAndRelease).
std::unique_ptr<TTolvanSQLCommand> MakeCommand(TTolvanSQLCommandKind Kind, TTolvanLexer& Lexer,
                                               TTolvanQuery& Query);

// The factory of a command class whose constructor takes (lexer, query).
template <class T> TTolvanSQLCommandFactory CommandFactory() {
  return [](TTolvanLexer& Lexer, TTolvanQuery& Query) -> std::unique_ptr<TTolvanSQLCommand> {
    return std::make_unique<T>(Lexer, Query);
  };
}

} // namespace tolvan
