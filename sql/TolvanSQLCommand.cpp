#include "sql/TolvanSQLCommand.h"

#include <array>
#include <mutex>

#include "classlib/Format.h"
#include "components/TolvanQuery.h"
#include "components/TolvanTargetBinding.h"
#include "foundation/TolvanExcept.h"
#include "foundation/TolvanMessages.h"
#include "schema/expr/TolvanExpression.h"
#include "sql/TolvanFieldLinks.h"
#include "sql/TolvanSQLGrammar.h"

namespace tolvan {

// --- the registry of statement kinds -----------------------------------------------------------

namespace {

std::mutex& RegistryLock() {
  static std::mutex Lock;
  return Lock;
}

std::array<TTolvanSQLCommandFactory, size_t(TTolvanSQLCommandKind::Count)>& Registry() {
  static std::array<TTolvanSQLCommandFactory, size_t(TTolvanSQLCommandKind::Count)> Factories;
  return Factories;
}

} // namespace

TTolvanSQLCommandFactory RegisterSQLCommand(TTolvanSQLCommandKind Kind,
                                            TTolvanSQLCommandFactory Factory) {
  std::lock_guard<std::mutex> Guard(RegistryLock());
  TTolvanSQLCommandFactory Old = std::move(Registry().at(size_t(Kind)));
  Registry().at(size_t(Kind)) = std::move(Factory);
  return Old;
}

std::unique_ptr<TTolvanSQLCommand> MakeCommand(TTolvanSQLCommandKind Kind, TTolvanLexer& Lexer,
                                               TTolvanQuery& Query) {
  TTolvanSQLCommandFactory Factory;
  {
    std::lock_guard<std::mutex> Guard(RegistryLock());
    Factory = Registry().at(size_t(Kind));
  }
  if (!Factory)
    throw ETolvanException::Create(11394, SOperationNotSupported);
  std::unique_ptr<TTolvanSQLCommand> Command = Factory(Lexer, Query);
  Command->ParseAndRelease();
  return Command;
}

// --- life cycle --------------------------------------------------------------------------------

TTolvanSQLCommand::TTolvanSQLCommand(TTolvanLexer& Lexer, TTolvanQuery& Query)
    : FLexer(&Lexer), FQuery(&Query), FInMemory(SQLGrammar->InitialInMemory()) {
  Lexer.CurrentToken(FToken);
}

TTolvanSQLCommand::~TTolvanSQLCommand() = default;

void TTolvanSQLCommand::ParseAndRelease() {
  Parse();
  FLexer = nullptr;
  // A kept command holds no parameter value the lexer handed out.
  FToken.Value.reset();
}

void TTolvanSQLCommand::ReExecute(TTolvanQuery& Query, bool RequestLive, bool& ReadOnly) {
  struct TFlag {
    bool& Value;
    explicit TFlag(bool& V) : Value(V) { Value = true; }
    ~TFlag() { Value = false; }
  } Flag(FReExecuting);
  Execute(Query, true, RequestLive, ReadOnly);
}

void TTolvanSQLCommand::BindParams(const TTolvanSQLParams& Params) {
  for (TTolvanExprNodeConst* Node : FParamNodes) {
    const int32_t Index = Params.IndexOfName(Node->ParamName());
    if (Index >= 0)
      Node->SetValue(Params.Items(Index));
  }
}

// --- token discipline --------------------------------------------------------------------------

TTolvanLexer& TTolvanSQLCommand::Lexer() const {
  if (!FLexer)
    throw ETolvanException::Create(10681, SNilPointerOccurred);
  return *FLexer;
}

bool TTolvanSQLCommand::IsWord(const TToken& Token, std::string_view Word) {
  return Token.Kind == tktReservedWord && SameText(Token.Text, Word);
}

// Past the end the token has no kind and no text; its place stays the last token's.
bool TTolvanSQLCommand::CurrentToken() {
  if (Lexer().CurrentToken(FToken))
    return true;
  FToken.Text.clear();
  FToken.Value.reset();
  return false;
}

bool TTolvanSQLCommand::NextToken() {
  if (Lexer().NextToken(FToken))
    return true;
  FToken.Text.clear();
  FToken.Value.reset();
  return false;
}

bool TTolvanSQLCommand::ReadNextToken(TTokenKinds Kinds, int32_t Code, std::string_view Message) {
  const int32_t LastLine = FToken.Line;
  const int32_t LastColumn = FToken.Column;
  if (!NextToken()) {
    if (Code == -1)
      return false;
    throw ETolvanException::CreateFmt(ErrSQLUnexpectedEnd, SUnexpectedEndOfSqlCommand, LastLine,
                                      LastColumn);
  }
  if (Kinds != 0 && !HasKind(Kinds, FToken.Kind)) {
    if (Code == -1)
      return false;
    RaiseAtToken(Code, Message);
  }
  return true;
}

void TTolvanSQLCommand::RequireNextToken(int32_t Code) {
  const int32_t LastLine = FToken.Line;
  const int32_t LastColumn = FToken.Column;
  if (!NextToken())
    throw ETolvanException::CreateFmt(Code, SUnexpectedEndOfSqlCommand, LastLine, LastColumn);
}

void TTolvanSQLCommand::RaiseAtToken(int32_t Code, std::string_view Message) const {
  throw ETolvanException::CreateFmt(Code, Message, FToken.Text, FToken.Line, FToken.Column);
}

void TTolvanSQLCommand::RaiseExpected(int32_t Code, std::string_view Expected) const {
  throw ETolvanException::CreateFmt(Code, STokenExpected, Expected, FToken.Text, FToken.Line,
                                    FToken.Column);
}

// --- shared grammar ----------------------------------------------------------------------------

void TTolvanSQLCommand::ParseTableName() {
  if (!AtKind(NameOrKeywordKinds))
    RaiseAtToken(ErrSQLTableNameExpected, STableNameExpected);
  if (AtWord("MEMORY")) {
    FInMemory = true;
    ReadNextToken(NameKinds, ErrSQLMemoryTableNameExpected, STableNameExpected);
  }
  FTableName = FToken.Text;
  if (ReadNextToken(DotKind, -1) && ReadNextToken(NameKinds, -1)) {
    FDatabaseName = FTableName;
    FTableName = FToken.Text;
    NextToken();
  }
  if (!FInMemory && FQuery->InMemory())
    FInMemory = true;
  if (FQuery->InMemory() == FInMemory && FDatabaseName.empty())
    FDatabaseName = FQuery->DatabaseName();
}

void TTolvanSQLCommand::SetTarget(bool InMemory, const AnsiString& DatabaseName,
                                  const AnsiString& TableName) {
  FInMemory = InMemory;
  FDatabaseName = DatabaseName;
  FTableName = TableName;
}

void TTolvanSQLCommand::SetIntoNames(const AnsiString& DatabaseName, const AnsiString& TableName) {
  FIntoDatabaseName = DatabaseName;
  FIntoTableName = TableName;
}

void TTolvanSQLCommand::ParseFieldNames(std::unique_ptr<TStringList>& List) {
  if (!AtKind(NameKinds))
    RaiseAtToken(ErrSQLFieldNameExpected, SFieldNameExpected);
  if (!List)
    List = std::make_unique<TStringList>();
  for (;;) {
    List->Add(FToken.Text);
    NextToken();
    if (FToken.Kind != tktComma)
      return;
    ReadNextToken(NameKinds, ErrSQLFieldListToken, SUnexpectedTokenAtLine);
  }
}

void TTolvanSQLCommand::ParseFieldList(TTolvanFields& Fields) {
  for (;;) {
    TTolvanExpression Expression;
    Expression.SetInMemory(FQuery->InMemory());
    Expression.SetDatabaseName(FQuery->DatabaseName());
    Expression.SetSessionName(FQuery->SessionName());
    Expression.ParseValue(Lexer());
    CurrentToken();
    if (!Expression.IsField())
      RaiseAtToken(ErrSQLFieldRefExpected, SFieldNameExpected);
    TTolvanSelectListItem Item;
    Expression.GetFieldName(Item.FieldName, Item.TableName);
    Fields.Add(std::move(Item));
    if (FToken.Kind != tktComma)
      return;
    ReadNextToken(NameOrKeywordKinds, ErrSQLFieldRefToken, SUnexpectedTokenAtLine);
  }
}

void TTolvanSQLCommand::SetupDataSet(TDataSet* DataSet) {
  auto* Target = dynamic_cast<TTolvanDataSet*>(DataSet);
  if (!Target)
    return;
  TTolvanTargetNames Names;
  Names.Kind = TTolvanTargetKind::StatementTable;
  Names.DatabaseName = FDatabaseName;
  Names.TableName = FTableName;
  Names.InMemory = FInMemory;
  Names.QueryDatabaseName = FQuery->DatabaseName();
  Names.QuerySessionName = FQuery->SessionName();
  Names.QueryInMemory = FQuery->InMemory();
  BindTarget(*Target, Names);
}

std::unique_ptr<TTolvanExpression> TTolvanSQLCommand::NewQueryExpression() const {
  auto E = TTolvanExpression::Create();
  TTolvanQuery& Q = *FQuery;
  E->SetParams(Q.Params().Count() > 0 ? &Q.Params() : nullptr);
  E->SetInMemory(Q.InMemory());
  E->SetDatabaseName(Q.DatabaseName());
  E->SetSessionName(Q.SessionName());
  return E;
}

} // namespace tolvan
