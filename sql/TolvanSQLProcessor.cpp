#include "sql/TolvanSQLProcessor.h"

#include "classlib/SysUtils.h"
#include "components/TolvanQuery.h"
#include "foundation/TolvanExcept.h"
#include "foundation/TolvanMessages.h"
#include "schema/TolvanCursor.h"
#include "schema/expr/TolvanExprParser.h"

namespace tolvan {

namespace {

thread_local int32_t Depth = 0;

// One level of statement execution on this thread; a derived table or sub-query inside a
// statement is the next level.
class TNestedExecution {
public:
  TNestedExecution() {
    if (Depth >= MaxNestedExecutions)
      throw ETolvanException::CreateFmt(ErrExprTooDeep, SExpressionTooDeeplyNested, 1, 1);
    ++Depth;
  }
  ~TNestedExecution() { --Depth; }
  TNestedExecution(const TNestedExecution&) = delete;
  TNestedExecution& operator=(const TNestedExecution&) = delete;
};

bool IsWord(const TToken& Token, std::string_view Word) {
  return TTolvanSQLCommand::IsWord(Token, Word);
}

[[noreturn]] void RaiseAt(int32_t Code, std::string_view Message, const TToken& Token) {
  throw ETolvanException::CreateFmt(Code, Message, Token.Text, Token.Line, Token.Column);
}

[[noreturn]] void RaiseEnd(int32_t Code, const TToken& Last) {
  throw ETolvanException::CreateFmt(Code, SUnexpectedEndOfSqlCommand, Last.Line, Last.Column);
}

void CloseQuietly(TTolvanSQLCommand& Command) noexcept {
  try {
    Command.Close();
  } catch (...) {
  }
}

} // namespace

int32_t NestedExecutionDepth() noexcept { return Depth; }

TTolvanLocalSQLProcessor::TTolvanLocalSQLProcessor(TTolvanQuery& Query) : FQuery(&Query) {}

TTolvanLocalSQLProcessor::~TTolvanLocalSQLProcessor() { FreeCommands(); }

void TTolvanLocalSQLProcessor::FreeCommands() noexcept {
  FCurrent = nullptr;
  if (FOwnCurrent) {
    CloseQuietly(*FOwnCurrent);
    FOwnCurrent.reset();
  }
  for (std::unique_ptr<TTolvanSQLCommand>& Command : FKept)
    if (Command)
      CloseQuietly(*Command);
  FKept.clear();
}

void TTolvanLocalSQLProcessor::Invalidate() {
  // Values are bound into every kept command before each re-run, changed or not.
  TTolvanSQLProcessor::Invalidate();
}

TTolvanCursor* TTolvanLocalSQLProcessor::Execute() {
  TNestedExecution Level;
  TTolvanSQLProcessor::Execute();
  try {
    return NotPrepared() ? RunFromText() : RunKept();
  } catch (...) {
    FreeCommands();
    SetNotPrepared(true);
    throw;
  }
}

TTolvanCursor* TTolvanLocalSQLProcessor::RunFromText() {
  const bool HasParams = Params().Count() > 0;
  FreeCommands();
  TTolvanLexer Lexer(SQL(), &Params());
  TTolvanCursor* Result = nullptr;
  while (Lexer.NextStatement()) {
    ++FParseCount;
    if (FOwnCurrent) {
      // The previous statement's result is not the script's: it goes before the next runs.
      FCurrent = nullptr;
      std::unique_ptr<TTolvanSQLCommand> Previous = std::move(FOwnCurrent);
      Previous->Close();
    }
    std::unique_ptr<TTolvanSQLCommand> Command = Dispatch(Lexer);
    FCurrent = Command.get();
    if (HasParams)
      FKept.push_back(std::move(Command));
    else
      FOwnCurrent = std::move(Command);
    bool ReadOnly = ReadOnlyResult();
    FCurrent->Execute(*FQuery, true, RequestLive(), ReadOnly);
    SetReadOnlyResult(ReadOnly);
    Result = AfterCommand(*FCurrent);
  }
  if (HasParams)
    SetNotPrepared(false);
  return Result;
}

TTolvanCursor* TTolvanLocalSQLProcessor::RunKept() {
  SetRowsAffected(0);
  TTolvanCursor* Result = nullptr;
  for (std::unique_ptr<TTolvanSQLCommand>& Command : FKept) {
    FCurrent = Command.get();
    Command->BindParams(Params());
    bool ReadOnly = ReadOnlyResult();
    Command->ReExecute(*FQuery, RequestLive(), ReadOnly);
    SetReadOnlyResult(ReadOnly);
    Result = AfterCommand(*Command);
  }
  return Result;
}

TTolvanCursor* TTolvanLocalSQLProcessor::AfterCommand(TTolvanSQLCommand& Command) {
  int64_t Total = 0;
  if (__builtin_add_overflow(RowsAffected(), Command.RowsAffected(), &Total))
    throw EIntOverflow(std::string(SysConst::SIntOverflow));
  SetRowsAffected(Total);
  TTolvanCursor* Cursor = Command.GetCursor();
  if (Cursor)
    Cursor->SetToBegin();
  return Cursor;
}

std::unique_ptr<TTolvanSQLCommand> TTolvanLocalSQLProcessor::Dispatch(TTolvanLexer& Lexer) {
  using K = TTolvanSQLCommandKind;
  TToken First;
  Lexer.CurrentToken(First);
  auto Make = [&](K Kind) { return MakeCommand(Kind, Lexer, *FQuery); };
  if (First.Kind == tktLeftParenthesis || IsWord(First, "SELECT"))
    return Make(K::Select);
  if (IsWord(First, "INSERT"))
    return Make(K::Insert);
  if (IsWord(First, "UPDATE"))
    return Make(K::Update);
  if (IsWord(First, "DELETE"))
    return Make(K::Delete);
  if (IsWord(First, "START"))
    return Make(K::StartTransaction);
  if (IsWord(First, "COMMIT"))
    return Make(K::Commit);
  if (IsWord(First, "ROLLBACK"))
    return Make(K::Rollback);

  // The statements named by two words: the object keyword is current when the command starts.
  TToken Object;
  const bool HasObject = Lexer.NextToken(Object);
  if (IsWord(First, "CREATE")) {
    if (!HasObject)
      RaiseEnd(ErrSQLCreateEnd, First);
    if (IsWord(Object, "TABLE"))
      return Make(K::CreateTable);
    if (IsWord(Object, "UNIQUE") || IsWord(Object, "INDEX"))
      return Make(K::CreateIndex);
    if (IsWord(Object, "DATABASE"))
      return Make(K::CreateDatabase);
    RaiseAt(ErrSQLCreateUnexpected, SObjectTypeKeywordExpected, Object);
  }
  if (IsWord(First, "DROP")) {
    if (!HasObject)
      RaiseEnd(ErrSQLDropEnd, First);
    if (IsWord(Object, "TABLE"))
      return Make(K::DropTable);
    if (IsWord(Object, "INDEX"))
      return Make(K::DropIndex);
    if (IsWord(Object, "DATABASE"))
      return Make(K::DropDatabase);
    RaiseAt(ErrSQLDropUnexpected, SObjectTypeKeywordExpected, Object);
  }
  if (IsWord(First, "ALTER")) {
    if (!HasObject)
      RaiseEnd(ErrSQLAlterEnd, First);
    if (IsWord(Object, "TABLE"))
      return Make(K::AlterTable);
    RaiseAt(ErrSQLAlterUnexpected, SObjectTypeKeywordExpected, Object);
  }
  if (IsWord(First, "RENAME")) {
    if (!HasObject)
      RaiseEnd(ErrSQLRenameEnd, First);
    if (IsWord(Object, "TABLE"))
      Lexer.NextToken(Object);
    return Make(K::RenameTable);
  }
  if (IsAnyKeyword(First))
    RaiseAt(ErrSQLKeywordUnexpected, SSqlTokenExpected, First);
  RaiseAt(ErrSQLTokenUnexpected, SSqlTokenExpected, First);
}

} // namespace tolvan
