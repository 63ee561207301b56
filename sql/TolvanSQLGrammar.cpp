// The release 4.00 grammar steps: a table is [MEMORY] [database .] table everywhere, the query
// part of INSERT is a query expression, and a UNION writes the first INTO it holds.
#include "sql/TolvanSQLGrammar.h"

#include "components/TolvanQuery.h"
#include "foundation/TolvanExcept.h"
#include "foundation/TolvanMessages.h"
#include "sql/TolvanSQLInsert.h"
#include "sql/TolvanSQLSelect.h"
#include "sql/TolvanSQLUnion.h"
#include "sql/TolvanSQLUpdate.h"

namespace tolvan {

TToken MakeSQLToken(TTokenType Kind, std::string_view Text, const TToken& At) {
  TToken T;
  T.Kind = Kind;
  T.Text = AnsiString(Text);
  T.Line = At.Line;
  T.Column = At.Column;
  return T;
}

TToken MakeSQLKeyword(std::string_view Word, const TToken& At) {
  TToken T = MakeSQLToken(tktReservedWord, Word, At);
  T.KeywordID = KeywordIdOf(Word);
  return T;
}

namespace {

class TTolvanSQLGrammar400 final : public TTolvanSQLGrammar {
public:
  bool InitialInMemory() const override { return true; }

  void ParseDDLTableName(TTolvanSQLCommand& Command) const override { Command.ParseTableName(); }

  void ParseInsertTarget(TTolvanSQLInsert& Insert) const override {
    const int32_t Line = Insert.Token().Line;
    const int32_t Column = Insert.Token().Column;
    if (!Insert.NextToken())
      throw ETolvanException::CreateFmt(ErrInsertUnexpectedEndAfterInsert,
                                        SUnexpectedEndOfSqlCommand, Line, Column);
    Insert.ParseTableName();
    // ParseTableName leaves the token after the name current, or nothing at the end.
    Insert.CurrentToken();
  }

  std::unique_ptr<TTolvanSQLUnion> ParseInsertQuery(TTolvanSQLInsert& Insert) const override {
    auto Query = std::make_unique<TTolvanSQLUnion>(Insert.Lexer(), Insert.Query());
    Query->ParseAndRelease();
    // The query expression stops at the first token outside its grammar.
    Insert.CurrentToken();
    if (Insert.Token().Kind != tktNone)
      Insert.RaiseAtToken(ErrInsertUnexpectedToken, SUnexpectedTokenAtLine2);
    return Query;
  }

  void ParseUpdateTarget(TTolvanSQLUpdate& Update) const override {
    Update.ReadNextToken(NameOrKeywordKinds, ErrUpdateTableNameExpected, STableNameExpected);
    Update.ParseTableName();
    Update.CurrentToken();
  }

  void AppendUpdateTarget(const TTolvanSQLUpdate& Update, std::vector<TToken>& Select,
                          const TToken& At) const override {
    if (Update.InMemory()) {
      Select.push_back(MakeSQLKeyword("MEMORY", At));
      const AnsiString& Database = Update.DatabaseName();
      if (!Database.empty() && Database != "MEMORY") {
        Select.push_back(MakeSQLToken(tktString, Database, At));
        Select.push_back(MakeSQLToken(tktDot, ".", At));
      }
    }
    Select.push_back(MakeSQLToken(tktString, Update.TableName(), At));
  }

  // The target is read as any table name, but starts from a command that is not in memory, so
  // the query's own database is the default.
  void ParseSelectInto(TTolvanSQLSelect& Select) const override {
    Select.SetTarget(false, AnsiString(), AnsiString());
    Select.ReadNextToken(NameOrKeywordKinds, ErrSQLIntoTableExpected, STableNameExpected);
    Select.ParseTableName();
    Select.SetIntoNames(Select.DatabaseName(), Select.TableName());
  }

  // A single SELECT's own INTO, or under UNION the first SELECT's that has one. EXCEPT and
  // INTERSECT do not write their result anywhere.
  const TTolvanSQLSelect* IntoSelect(const TTolvanQueryExprNode& Root) const override {
    switch (Root.Kind()) {
    case TTolvanQueryExprNode::qekSelect:
      return Root.Select()->HasInto() ? Root.Select() : nullptr;
    case TTolvanQueryExprNode::qekUnion:
      return Root.FindSelectWithInto();
    default:
      return nullptr;
    }
  }

  // MEMORY names the in-memory database; otherwise the owner query's database, unless the name
  // carries one. The query's session goes with its own database only.
  void ApplyTableSource(TTolvanTableReference& Item, bool MemoryGiven,
                        const TTolvanQuery& Query) const override {
    if (MemoryGiven) {
      Item.InMemory = true;
      if (Item.DatabaseName.empty())
        Item.DatabaseName = "MEMORY";
    } else {
      Item.InMemory = Query.InMemory();
      if (Item.DatabaseName.empty())
        Item.DatabaseName = Query.DatabaseName();
    }
    if (!Query.SessionName().empty() && Query.DatabaseName() == Item.DatabaseName)
      Item.SessionName = Query.SessionName();
  }

  void ResultTarget(const TTolvanSQLCursorCommand& Command, const TTolvanQuery& Query,
                    bool& InMemory, AnsiString& DatabaseName) const override {
    InMemory = Command.InMemory();
    DatabaseName = Command.IntoDatabaseName();
    if (DatabaseName.empty())
      DatabaseName = InMemory ? AnsiString("MEMORY") : Query.DatabaseName();
  }

  TTokenKinds PrimaryKeyColumnKinds() const override { return NameOrKeywordKinds; }
  bool AppliesPrimaryKeyModifiers() const override { return true; }
};

const TTolvanSQLGrammar400 Grammar400;

} // namespace

TTolvanReleaseVariant<TTolvanSQLGrammar> SQLGrammar("SQL grammar", Grammar400);

} // namespace tolvan
