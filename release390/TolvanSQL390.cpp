// The release 3.90 grammar steps. There is one in-memory database, so a statement names its
// table without a database part: the target is the query's database, in memory when MEMORY
// was written or the query is. A reserved word may follow MEMORY as the table name.
#include "components/TolvanQuery.h"
#include "foundation/TolvanExcept.h"
#include "foundation/TolvanMessages.h"
#include "release390/TolvanRelease390Parts.h"
#include "sql/TolvanDDLTable.h"
#include "sql/TolvanSQLGrammar.h"
#include "sql/TolvanSQLInsert.h"
#include "sql/TolvanSQLSelect.h"
#include "sql/TolvanSQLUnion.h"
#include "sql/TolvanSQLUpdate.h"

namespace tolvan {

namespace {

inline constexpr int32_t ErrInsertTableExpected = 30207;
inline constexpr int32_t ErrInsertMemoryTableExpected = 30208;
inline constexpr int32_t ErrInsertEndAfterTable = 30209;
inline constexpr int32_t ErrInsertPasswordExpected = 30210;
inline constexpr int32_t ErrInsertEndAfterPassword = 30211;
inline constexpr int32_t ErrUpdateMemoryTableExpected = 30218;
inline constexpr int32_t ErrUpdatePasswordExpected = 30219;
inline constexpr int32_t ErrIntoDatabaseTableExpected = 30166;

// The query part of INSERT is one SELECT: a set operation after it would otherwise be left
// unread and its rows silently not inserted.
inline constexpr int32_t ErrInsertSetOperation = 30408;
inline constexpr std::string_view SInsertSetOperation =
    "Set operations are not allowed in INSERT ... SELECT, but '%s' found at line %d, column %d";

constexpr TTokenKinds PrimaryKeyColumns =
    TokenKinds({tktString, tktBracketedString, tktReservedWord, tktBackQuotedString});

// The current token is of a name kind or a reserved word. Reads [MEMORY] name, with Code after
// MEMORY, and answers whether MEMORY was written; the name is the current token.
bool ReadMemoryAndName(TTolvanSQLCommand& C, int32_t Code) {
  if (!C.AtWord("MEMORY"))
    return false;
  C.ReadNextToken(NameOrKeywordKinds, Code, STableNameExpected);
  return true;
}

// The target every statement binds: the query's database, in memory by MEMORY or the query.
void SetQueryTarget(TTolvanSQLCommand& C, bool Memory) {
  TTolvanQuery& Q = C.Query();
  C.SetTarget(Memory || Q.InMemory(), Q.DatabaseName(), C.Token().Text);
}

// PASSWORD "text" at the current token: the text, the token after it made current by Advance.
template <class TAdvance>
AnsiString ReadPassword(TTolvanSQLCommand& C, int32_t Code, TAdvance&& Advance) {
  if (!C.AtWord("PASSWORD"))
    return AnsiString();
  C.ReadNextToken(TokenKinds({tktQuotedString}), Code, SQuotedPasswordExpected);
  AnsiString Password = C.Token().Text;
  Advance();
  return Password;
}

bool IsSetOperation(const TTolvanSQLCommand& C) {
  return C.AtWord("UNION") || C.AtWord("EXCEPT") || C.AtWord("MINUS") || C.AtWord("INTERSECT");
}

class TTolvanSQLGrammar390 final : public TTolvanSQLGrammar {
public:
  bool InitialInMemory() const override { return false; }

  void ParseDDLTableName(TTolvanSQLCommand& Command) const override {
    if (!Command.AtKind(NameOrKeywordKinds))
      Command.RaiseAtToken(ErrSQLTableNameExpected, STableNameExpected);
    const bool Memory = ReadMemoryAndName(Command, ErrSQLMemoryTableNameExpected);
    SetQueryTarget(Command, Memory);
    Command.NextToken();
  }

  void ParseInsertTarget(TTolvanSQLInsert& Insert) const override {
    Insert.ReadNextToken(NameOrKeywordKinds, ErrInsertTableExpected, STableNameExpected);
    const bool Memory = ReadMemoryAndName(Insert, ErrInsertMemoryTableExpected);
    SetQueryTarget(Insert, Memory);
    // INSERT INTO t alone has nothing to insert.
    Insert.RequireNextToken(ErrInsertEndAfterTable);
    Insert.SetPassword(ReadPassword(Insert, ErrInsertPasswordExpected,
                                    [&] { Insert.RequireNextToken(ErrInsertEndAfterPassword); }));
  }

  std::unique_ptr<TTolvanSQLUnion> ParseInsertQuery(TTolvanSQLInsert& Insert) const override {
    auto Query = std::make_unique<TTolvanSQLUnion>(Insert.Lexer(), Insert.Query());
    Query->SetSingleSelect(true);
    Query->ParseAndRelease();
    // Whatever else follows the SELECT is not read.
    Insert.CurrentToken();
    if (IsSetOperation(Insert))
      Insert.RaiseAtToken(ErrInsertSetOperation, SInsertSetOperation);
    return Query;
  }

  void ParseUpdateTarget(TTolvanSQLUpdate& Update) const override {
    Update.ReadNextToken(NameOrKeywordKinds, ErrUpdateTableNameExpected, STableNameExpected);
    const bool Memory = ReadMemoryAndName(Update, ErrUpdateMemoryTableExpected);
    SetQueryTarget(Update, Memory);
    Update.NextToken();
    Update.SetPassword(
        ReadPassword(Update, ErrUpdatePasswordExpected, [&] { Update.NextToken(); }));
  }

  // Never a database and dot: the FROM item takes the query's database.
  void AppendUpdateTarget(const TTolvanSQLUpdate& Update, std::vector<TToken>& Select,
                          const TToken& At) const override {
    if (Update.InMemory())
      Select.push_back(MakeSQLKeyword("MEMORY", At));
    Select.push_back(MakeSQLToken(tktString, Update.TableName(), At));
  }

  void ParseSelectInto(TTolvanSQLSelect& Select) const override {
    Select.SetInMemory(false);
    Select.SetIntoNames(AnsiString(), AnsiString());
    Select.ReadNextToken(NameOrKeywordKinds, ErrSQLIntoTableExpected, STableNameExpected);
    if (Select.AtWord("MEMORY")) {
      Select.SetInMemory(true);
      Select.NextToken();
    }
    AnsiString Database;
    AnsiString Table = Select.Token().Text;
    Select.NextToken();
    if (Select.Token().Kind == tktDot) {
      Database = Table;
      Select.ReadNextToken(NameKinds, ErrIntoDatabaseTableExpected, STableNameExpected);
      Table = Select.Token().Text;
      Select.NextToken();
    }
    Select.SetIntoNames(Database, Table);
  }

  // Only a statement that is one SELECT writes its INTO target.
  const TTolvanSQLSelect* IntoSelect(const TTolvanQueryExprNode& Root) const override {
    if (Root.Kind() != TTolvanQueryExprNode::qekSelect || !Root.Select()->HasInto())
      return nullptr;
    return Root.Select();
  }

  void ApplyTableSource(TTolvanTableReference& Item, bool MemoryGiven,
                        const TTolvanQuery& Query) const override {
    Item.InMemory = MemoryGiven || Query.InMemory();
    if (Item.DatabaseName.empty())
      Item.DatabaseName = Query.DatabaseName();
    Item.SessionName = Query.SessionName();
  }

  // With MEMORY the INTO database stays empty; the binding makes it "MEMORY".
  void ResultTarget(const TTolvanSQLCursorCommand& Command, const TTolvanQuery& Query,
                    bool& InMemory, AnsiString& DatabaseName) const override {
    DatabaseName = Command.IntoDatabaseName();
    if (!Command.InMemory() && DatabaseName.empty())
      DatabaseName = Query.DatabaseName();
    InMemory = Command.InMemory() || Query.InMemory();
  }

  TTokenKinds PrimaryKeyColumnKinds() const override { return PrimaryKeyColumns; }
  bool AppliesPrimaryKeyModifiers() const override { return false; }
};

const TTolvanSQLGrammar390 Grammar390;

} // namespace

void InstallSQL390(bool Fill) { SQLGrammar.Install390(Fill ? &Grammar390 : nullptr); }

} // namespace tolvan
