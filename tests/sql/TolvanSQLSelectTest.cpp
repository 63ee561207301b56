// SELECT and query expressions through the processor: the clauses and the trees they build,
// the parse errors with their codes and texts, joins (outer ON conditions, WHERE pairs), set
// operations and their ORDER BY, INTO, live results, and re-runs of kept statements against
// fresh runs.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "components/TolvanQuery.h"
#include "sql/TolvanAO.h"
#include "sql/TolvanAOGroupBy.h"
#include "sql/TolvanAOJoin.h"
#include "sql/TolvanAOTable.h"
#include "sql/TolvanAOUnion.h"
#include "sql/TolvanSQLProcessor.h"
#include "sql/TolvanSQLSelect.h"
#include "sql/TolvanSQLStartup.h"
#include "sql/TolvanSQLUnion.h"
#include "tests/sql/support/TestAO.h"
#include "tests/sql/support/TestAOTables.h"

namespace tolvan::test {
namespace {

class SQLSelect : public AOTest {
protected:
  SQLSelect() {
    InitSQLLayer();
    Query = MakeComponent<TTolvanQuery>();
    MakeMemoryTable("t", {{"id"}, {"a", tftVarchar, 8}, {"x"}},
                    {{1, "p", 10}, {2, "q", 20}, {3, "r", {}}, {4, "q", 40}});
    MakeMemoryTable("u", {{"id"}, {"b", tftVarchar, 8}}, {{1, "one"}, {2, "two"}, {5, "five"}});
  }

  // Runs SQL in a new processor and answers the last statement's rows ("cols: row row").
  std::string Run(std::string_view SQL) {
    Processor = std::make_unique<TTolvanLocalSQLProcessor>(*Query);
    Processor->SetSQL(SQL);
    Processor->Execute();
    return Rows();
  }
  std::string Rows() {
    auto* C = dynamic_cast<TTolvanSQLCursorCommand*>(Processor->CurrentCommand());
    if (!C)
      return "no cursor";
    return ResultText(*C->Root());
  }
  TTolvanAO& Root() {
    return *dynamic_cast<TTolvanSQLCursorCommand&>(*Processor->CurrentCommand()).Root();
  }
  // "code: message" of what running SQL raises.
  std::string Error(std::string_view SQL) {
    try {
      Run(SQL);
    } catch (const ETolvanException& E) {
      return std::to_string(E.NativeError()) + ": " + E.Message();
    } catch (const Exception& E) {
      return "class library: " + E.Message();
    }
    return "no error";
  }

  TComponentPtr<TTolvanQuery> Query;
  std::unique_ptr<TTolvanLocalSQLProcessor> Processor;
};

TEST_F(SQLSelect, BasicClauses) {
  struct TCase {
    const char* SQL;
    const char* Rows;
  };
  const TCase Cases[] = {
      {"SELECT * FROM t", "id,a,x: 1,p,10 2,q,20 3,r,- 4,q,40"},
      {"SELECT id, a FROM t WHERE x > 15", "id,a: 2,q 4,q"},
      {"SELECT a b FROM t WHERE id = 1", "b: p"},
      {"SELECT id FROM t ORDER BY x DESC", "id: 4 2 1 3"},
      {"SELECT DISTINCT a FROM t ORDER BY a", "a: p q r"},
      {"SELECT TOP 2 id FROM t", "id: 1 2"},
      {"SELECT TOP 2, 3 id FROM t", "id: 3 4"},
      {"SELECT id * 2 AS d FROM t WHERE id < 3 ORDER BY 1 DESC", "d: 4 2"},
      {"SELECT a, COUNT(*) AS n FROM t GROUP BY a", "a,n: p,1 q,2 r,1"},
      {"SELECT a, COUNT(*) AS n FROM t GROUP BY a HAVING COUNT(*) > 1", "a,n: q,2"},
      {"SELECT SUM(x) AS s FROM t HAVING SUM(x) > 5", "s: 70"},
      {"SELECT SUM(x) AS s FROM t HAVING SUM(x) > 500", "s:"},
      // HAVING without grouping is not applied.
      {"SELECT id FROM t HAVING id > 100", "id: 1 2 3 4"},
      // WHERE sees select aliases.
      {"SELECT x AS big FROM t WHERE big > 15", "big: 20 40"},
      // Tokens after a complete query expression are not read.
      {"SELECT id FROM t WHERE id = 2 LIMIT 10", "id: 2"},
  };
  for (const TCase& C : Cases)
    EXPECT_EQ(Run(C.SQL), C.Rows) << C.SQL;
}

TEST_F(SQLSelect, Joins) {
  MakeMemoryTable("v", {{"k"}}, {{1}, {3}});
  struct TCase {
    const char* SQL;
    const char* Rows;
  };
  const TCase Cases[] = {
      {"SELECT t.id, b FROM t, u WHERE t.id = u.id", "id,b: 1,one 2,two"},
      {"SELECT t.id, b FROM t JOIN u ON t.id = u.id", "id,b: 1,one 2,two"},
      {"SELECT t.id, b FROM t INNER JOIN u USING (id)", "id,b: 1,one 2,two"},
      {"SELECT t.id, b FROM t LEFT OUTER JOIN u USING (id) ORDER BY t.id",
       "id,b: 1,one 2,two 3,- 4,-"},
      {"SELECT u.id, a FROM t RIGHT JOIN u ON t.id = u.id ORDER BY u.id", "id,a: 1,p 2,q 5,-"},
      {"SELECT COUNT(*) AS n FROM t FULL JOIN u ON t.id = u.id", "n: 5"},
      // A comma join without an equality is a cross join.
      {"SELECT COUNT(*) AS n FROM t, u", "n: 12"},
      {"SELECT COUNT(*) AS n FROM t CROSS JOIN u", "n: 12"},
      {"SELECT t.id, b FROM (t JOIN u ON t.id = u.id) WHERE b = 'two'", "id,b: 2,two"},
      {"SELECT COUNT(*) AS n FROM t NATURAL JOIN u", "n: 2"},
      // table.* selects that table's columns only.
      {"SELECT u.*, t.a FROM t JOIN u ON t.id = u.id", "id,b,a: 1,one,p 2,two,q"},
      // A chain nests to the left: the LEFT JOIN's ON may name the first table.
      {"SELECT t.id, v.k FROM t CROSS JOIN u LEFT JOIN v ON v.k = t.id WHERE u.id = 1 "
       "ORDER BY t.id",
       "id,k: 1,1 2,- 3,3 4,-"},
  };
  for (const TCase& C : Cases)
    EXPECT_EQ(Run(C.SQL), C.Rows) << C.SQL;
}

// The rest of an outer join's ON decides which rows match; it never drops rows of the preserved
// side, and WHERE applies after the join.
TEST_F(SQLSelect, OuterJoinOnRemainderAndWhere) {
  struct TCase {
    const char* SQL;
    const char* Rows;
  };
  const TCase Cases[] = {
      {"SELECT t.id, b FROM t LEFT JOIN u ON t.id = u.id AND t.a = 'p' ORDER BY t.id",
       "id,b: 1,one 2,- 3,- 4,-"},
      {"SELECT t.id, b FROM t LEFT JOIN u ON t.id = u.id AND u.b = 'two' ORDER BY t.id",
       "id,b: 1,- 2,two 3,- 4,-"},
      {"SELECT u.id, a FROM t RIGHT JOIN u ON t.id = u.id AND t.x > 15 ORDER BY u.id",
       "id,a: 1,- 2,q 5,-"},
      // A WHERE equality is no outer-join key: the unmatched rows fail it afterwards.
      {"SELECT t.id FROM t LEFT JOIN u ON t.a = u.b WHERE t.id = u.id", "id:"},
      {"SELECT t.id, b FROM t LEFT JOIN u ON t.id = u.id WHERE u.b IS NULL ORDER BY t.id",
       "id,b: 3,- 4,-"},
  };
  for (const TCase& C : Cases)
    EXPECT_EQ(Run(C.SQL), C.Rows) << C.SQL;
}

TEST_F(SQLSelect, JoinTreesTakePairsFromTheirOwnClauses) {
  Run("SELECT t.id FROM t LEFT JOIN u ON t.id = u.id AND t.x = 10");
  auto* Join = dynamic_cast<TTolvanAOJoin*>(&Root());
  ASSERT_NE(Join, nullptr);
  EXPECT_EQ(Join->JoinType(), jtLeftOuter);
  EXPECT_EQ(Join->LeftJoinFields().Count(), 1);
  // The ON remainder stayed with the join instead of filtering its left input.
  EXPECT_EQ(Join->Left(), nullptr) << "a tree not kept lets go of its inputs";

  Run("SELECT t.id FROM t, u WHERE t.id = u.id AND t.a = u.b");
  Join = dynamic_cast<TTolvanAOJoin*>(&Root());
  ASSERT_NE(Join, nullptr);
  EXPECT_EQ(Join->JoinType(), jtInner);
  EXPECT_EQ(Join->LeftJoinFields().Count(), 2);

  Run("SELECT t.id FROM t, u WHERE t.id > u.id");
  Join = dynamic_cast<TTolvanAOJoin*>(&Root());
  ASSERT_NE(Join, nullptr);
  EXPECT_EQ(Join->JoinType(), jtCross);
}

TEST_F(SQLSelect, SetOperations) {
  MakeMemoryTable("v", {{"id"}}, {{2}, {5}, {9}});
  struct TCase {
    const char* SQL;
    const char* Rows;
  };
  const TCase Cases[] = {
      {"SELECT id FROM t UNION SELECT id FROM u ORDER BY id", "id: 1 2 3 4 5"},
      {"(SELECT id FROM t) UNION ALL (SELECT id FROM u) ORDER BY 1", "id: 1 1 2 2 3 4 5"},
      {"SELECT id FROM t EXCEPT SELECT id FROM u ORDER BY id", "id: 3 4"},
      {"SELECT id FROM t MINUS SELECT id FROM u ORDER BY id", "id: 3 4"},
      {"SELECT id FROM t INTERSECT SELECT id FROM u ORDER BY id", "id: 1 2"},
      // INTERSECT binds tighter: t UNION (u INTERSECT v).
      {"SELECT id FROM t UNION SELECT id FROM u INTERSECT SELECT id FROM v ORDER BY id",
       "id: 1 2 3 4 5"},
      {"(SELECT id FROM t UNION SELECT id FROM u) INTERSECT SELECT id FROM v ORDER BY id",
       "id: 2 5"},
      // ORDER BY after the last SELECT sorts the whole union, by the left operand's names.
      {"SELECT id AS k FROM u UNION SELECT x FROM t WHERE x > 15 ORDER BY k DESC",
       "k: 40 20 5 2 1"},
      {"SELECT a FROM t UNION CORRESPONDING BY (a) SELECT a FROM t WHERE id = 1 ORDER BY a",
       "a: p q r"},
  };
  for (const TCase& C : Cases)
    EXPECT_EQ(Run(C.SQL), C.Rows) << C.SQL;
}

TEST_F(SQLSelect, ParseErrorsCarryTheirCodesAndTexts) {
  struct TCase {
    const char* SQL;
    const char* Error;
  };
  const TCase Cases[] = {
      {"SELECT TOP x * FROM t",
       "30158: Integer expected, but 'x' found at line 1, column 12 - Native error: 30158"},
      {"SELECT TOP 4294967297 * FROM t",
       "30158: Integer expected, but '4294967297' found at line 1, column 12 - Native error: "
       "30158"},
      {"SELECT TOP 1, 2147483648 * FROM t",
       "30159: Integer expected, but '2147483648' found at line 1, column 15 - Native error: "
       "30159"},
      {"SELECT a, FROM t",
       "30160: Expression expected, but 'FROM' found at line 1, column 11 - Native error: 30160"},
      {"SELECT a AS FROM t",
       "30162: Field pseudonym expected, but 'FROM' found at line 1, column 13 - Native error: "
       "30162"},
      {"SELECT * t", "30184: Token 'FROM' expected, but 't' found at line 1, column 10 - Native "
                     "error: 30184"},
      {"SELECT * FROM ,", "30180: Table name expected, but ',' found at line 1, column 15 - "
                          "Native error: 30180"},
      {"SELECT * FROM t, 5", "30181: Table name expected, but '5' found at line 1, column 18 - "
                             "Native error: 30181"},
      {"SELECT * FROM t WHERE id = 1 INTO u",
       "11337: INTO clause should be before FROM, line 1, column 30 - Native error: 11337"},
      {"SELECT * FROM t INTO u",
       "11337: INTO clause should be before FROM, line 1, column 17 - Native error: 11337"},
      {"SELECT * FROM t GROUP id", "30185: Token 'BY' expected, but 'id' found at line 1, column "
                                   "23 - Native error: 30185"},
      {"SELECT * FROM t ORDER id", "30188: Token 'BY' expected, but 'id' found at line 1, column "
                                   "23 - Native error: 30188"},
      {"SELECT * FROM t ORDER BY ,", "30187: Field name expected, but ',' found at line 1, "
                                     "column 26 - Native error: 30187"},
      {"SELECT * FROM t ORDER BY id, ,", "30189: Unexpected token ',' found at line 1, column "
                                         "30 - Native error: 30189"},
      {"SELECT * FROM t ORDER BY t.,", "30186: Unexpected token ',' found at line 1, column 28 "
                                       "- Native error: 30186"},
      {"SELECT * FROM t ORDER BY INDEX 5", "11244: Unexpected token '5' found at line 1, column "
                                           "32 - Native error: 11244"},
      {"SELECT * FROM t AS 5", "30177: Field pseudonym expected, but '5' found at line 1, "
                               "column 20 - Native error: 30177"},
      {"SELECT * FROM t PASSWORD x", "30178: Quoted password expected (for PASSWORD "
                                     "\"passwordData\"), but 'x' found at line 1, column 26 - "
                                     "Native error: 30178"},
      {"SELECT * FROM t LEFT u", "30171: Unexpected token 'u' found at line 1, column 22 - "
                                 "Native error: 30171"},
      {"SELECT * FROM t LEFT OUTER u", "30174: Unexpected token 'u' found at line 1, column 28 - "
                                       "Native error: 30174"},
      {"SELECT * FROM t NATURAL WHERE", "30175: Token 'JOIN' expected, but 'WHERE' found at line "
                                        "1, column 25 - Native error: 30175"},
      {"SELECT * FROM t CROSS u", "30168: Unexpected token 'u' found at line 1, column 23 - "
                                  "Native error: 30168"},
      {"SELECT * FROM t JOIN ,", "30176: Table name expected, but ',' found at line 1, column "
                                 "22 - Native error: 30176"},
      {"SELECT * FROM t JOIN u USING id", "30167: Token '(' expected, but 'id' found at line 1, "
                                          "column 30 - Native error: 30167"},
      {"SELECT * FROM t UNION t", "30194: Token 'SELECT' expected, but 't' found at line 1, "
                                  "column 23 - Native error: 30194"},
      {"SELECT id FROM t UNION CORRESPONDING BY id SELECT id FROM u",
       "30193: Token '(' expected, but 'id' found at line 1, column 41 - Native error: 30193"},
      {"SELECT * FROM (SELECT id FROM t)", "11658: Missing symbol ')' at line 1, column 32 - "
                                           "Native error: 11658"},
      {"SELECT * FROM (SELECT id FROM t) WHERE id = 1",
       "11655: Every table in sub-query must have its own alias. Sub-query SQL: \r\nSELECT id "
       "FROM t - Native error: 11655"},
      {"SELECT * FROM (SELECT id FROM t) AS 5", "11659: Field pseudonym expected, but '5' found "
                                                "at line 1, column 37 - Native error: 11659"},
      {"SELECT * FROM (,)", "30179: Field name expected, but ',' found at line 1, column 16 - "
                            "Native error: 30179"},
      {"SELECT * FROM t WHERE", "30161: Unexpected end of SQL command found at line 1, column "
                                "17 - Native error: 30161"},
      {"SELECT", "30161: Unexpected end of SQL command found at line 1, column 1 - Native error: "
                 "30161"},
  };
  for (const TCase& C : Cases)
    EXPECT_EQ(Error(C.SQL), C.Error) << C.SQL;
}

TEST_F(SQLSelect, NumbersOutsideInt32AndNestingAreRefused) {
  EXPECT_EQ(Error("SELECT id FROM t ORDER BY 4294967297"),
            "11666: Invalid field number in ORDER BY clause. FieldNo = 4294967296, number of "
            "fields = 1 - Native error: 11666");
  EXPECT_EQ(Error("SELECT id FROM t ORDER BY 0"),
            "11666: Invalid field number in ORDER BY clause. FieldNo = -1, number of fields = 1 - "
            "Native error: 11666");
  EXPECT_EQ(Error("SELECT id FROM t UNION SELECT id FROM u ORDER BY 3"),
            "11666: Invalid field number in ORDER BY clause. FieldNo = 2, number of fields = 1 - "
            "Native error: 11666");
  auto Nested = [](int Depth, const std::string& Inner) {
    return std::string(size_t(Depth), '(') + Inner + std::string(size_t(Depth), ')');
  };
  EXPECT_NE(Error("SELECT id FROM " + Nested(300, "t")).find("30072: "), std::string::npos);
  EXPECT_NE(Error(Nested(300, "SELECT id FROM t")).find("30072: "), std::string::npos);
  EXPECT_EQ(Run(Nested(100, "SELECT id FROM " + Nested(100, "t") + " WHERE id = 3")), "id: 3");
}

// A statement with parameters is kept and runs again; after the values and the rows changed its
// rows must equal those of a fresh run.
class SQLSelectRerun : public SQLSelect {
protected:
  void SetValue(int32_t V) {
    if (Query->Params().Count() == 0)
      Query->Params().CreateParam(ftInteger, "v");
    Query->Params().Items(0).SetAsInteger(V);
  }
  static void Bind(TTolvanLocalSQLProcessor& P, int32_t V) {
    if (P.Params().Count() == 0)
      P.Params().Add().SetName("v");
    P.Params().Items(0).SetAsInteger(V);
  }
  std::string Fresh(std::string_view SQL, int32_t V) {
    TTolvanLocalSQLProcessor P(*Query);
    P.SetSQL(SQL);
    Bind(P, V);
    P.Execute();
    return ResultText(*dynamic_cast<TTolvanSQLCursorCommand&>(*P.CurrentCommand()).Root());
  }
};

TEST_F(SQLSelectRerun, KeptStatementsEqualFreshRuns) {
  const char* Statements[] = {
      "SELECT id, a FROM t WHERE x > :v ORDER BY id",
      // A copying leaf under a grouping with the parameter only in HAVING.
      "SELECT a, COUNT(*) AS n FROM t GROUP BY a HAVING COUNT(*) >= :v",
      "SELECT t.id, b FROM t LEFT JOIN u ON t.id = u.id AND u.id < :v ORDER BY t.id",
      "SELECT id FROM t WHERE id < :v UNION SELECT id FROM u ORDER BY id",
      "SELECT a FROM t EXCEPT SELECT b FROM u WHERE id > :v",
      "SELECT TOP 2 id FROM t WHERE id <> :v ORDER BY id DESC",
      "SELECT COUNT(*) AS n FROM t, u WHERE t.id = u.id",
      // Sub-queries with the parameter inside, also over the statement's own table.
      "SELECT id FROM t WHERE id IN (SELECT id FROM u WHERE id <= :v) ORDER BY id",
      "SELECT id FROM t WHERE id NOT IN (SELECT id FROM t WHERE x > :v) ORDER BY id",
      "SELECT id FROM t WHERE x = (SELECT MAX(x) FROM t WHERE id <= :v)",
      "SELECT a FROM t WHERE EXISTS (SELECT id FROM u WHERE id = :v) ORDER BY id",
      // Derived tables with the parameter inside.
      "SELECT * FROM (SELECT id, a FROM t WHERE x > :v) AS d ORDER BY id",
      "SELECT d.id, b FROM (SELECT id FROM t WHERE id >= :v) d JOIN u ON d.id = u.id ORDER BY "
      "d.id",
      "SELECT a, COUNT(*) AS n FROM (SELECT a FROM t WHERE id <> :v) d GROUP BY a",
      "SELECT id FROM (SELECT id FROM t WHERE id IN (SELECT id FROM u WHERE id > :v)) d",
  };
  for (const char* SQL : Statements) {
    MakeMemoryTable("t", {{"id"}, {"a", tftVarchar, 8}, {"x"}},
                    {{1, "p", 10}, {2, "q", 20}, {3, "r", {}}, {4, "q", 40}});
    SetValue(2);
    TTolvanLocalSQLProcessor Kept(*Query);
    Kept.SetSQL(SQL);
    Bind(Kept, 2);
    Kept.Execute();
    auto Rows = [&] {
      return ResultText(*dynamic_cast<TTolvanSQLCursorCommand&>(*Kept.CurrentCommand()).Root());
    };
    EXPECT_EQ(Rows(), Fresh(SQL, 2)) << SQL;
    const int64_t Parses = Kept.ParseCount();
    // The same values again, after the rows changed.
    AppendMemoryRows("t", {{"id"}, {"a", tftVarchar, 8}, {"x"}},
                     {{5, "q", 50}, {2, "two", 25}, {7, "s", 5}});
    Kept.Execute();
    EXPECT_EQ(Rows(), Fresh(SQL, 2)) << SQL << " (rows changed)";
    for (int32_t V : {1, 3, 0, 30}) {
      SetValue(V);
      Bind(Kept, V);
      Kept.Execute();
      EXPECT_EQ(Rows(), Fresh(SQL, V)) << SQL << " with " << V;
    }
    EXPECT_EQ(Kept.ParseCount(), Parses) << SQL << ": kept statements are not parsed again";
  }
}

TEST_F(SQLSelect, IntoTargets) {
  Run("SELECT id, a INTO w FROM t WHERE id < 3");
  EXPECT_EQ(Run("SELECT * FROM w"), "id,a: 1,p 2,q");
  Run("SELECT id INTO w2 FROM t WHERE id = 1 UNION SELECT id FROM u WHERE id = 5");
  EXPECT_EQ(Run("SELECT * FROM w2 ORDER BY id"), "id: 1 5");
  // Under UNION the first SELECT with an INTO names the target, wherever it stands.
  Run("SELECT id FROM t WHERE id = 1 UNION SELECT id INTO w3 FROM u WHERE id = 5");
  EXPECT_EQ(Run("SELECT * FROM w3 ORDER BY id"), "id: 1 5");
  // EXCEPT and INTERSECT write nowhere.
  Run("SELECT id INTO w4 FROM t EXCEPT SELECT id FROM u");
  EXPECT_NE(Error("SELECT * FROM w4").find("11505"), std::string::npos);
}

TEST_F(SQLSelect, LiveRequestsGetTheTableOnlyWhenNothingIsCopied) {
  Query->SetRequestLive(true);
  struct TCase {
    const char* SQL;
    bool Live;
    bool ReadOnly;
  };
  const TCase Cases[] = {
      {"SELECT * FROM t", true, false},
      {"SELECT * FROM t ORDER BY a", true, true},
      {"SELECT * FROM t", false, true},
      {"SELECT id + 1 AS k FROM t", true, true},
  };
  for (const TCase& C : Cases) {
    Query->SetRequestLive(C.Live);
    TTolvanLocalSQLProcessor P(*Query);
    P.SetRequestLive(C.Live);
    P.SetSQL(C.SQL);
    TTolvanCursor* Cursor = P.Execute();
    ASSERT_NE(Cursor, nullptr) << C.SQL;
    EXPECT_EQ(P.ReadOnlyResult(), C.ReadOnly) << C.SQL;
    EXPECT_EQ(Cursor->ReadOnly(), C.ReadOnly) << C.SQL;
    EXPECT_EQ(Cursor->IsTemporaryTable(), C.ReadOnly) << C.SQL;
  }
}

TEST_F(SQLSelect, ConditionsNoOperatorCanTakeAreRefused) {
  // A reference to a table the statement does not read.
  EXPECT_EQ(Error("SELECT id FROM t WHERE w.id = 1"),
            "30144: Search condition is not applicable - Native error: 30144");
  EXPECT_EQ(Error("SELECT t.id FROM t JOIN u ON t.id = u.id AND w.id > 1"),
            "30144: Search condition is not applicable - Native error: 30144");
}

TEST_F(SQLSelect, DerivedTableTextReadsBackAsTheSameTokens) {
  const char* SQL = "SELECT * FROM (SELECT [a]]b], `c``d`, 'it''s', :`p q`, "
                    "\"x\" FROM t WHERE (id = 1)) AS s";
  TTolvanSQLParams Params;
  Params.Add().SetName("p q");
  TTolvanLexer Lexer(SQL, &Params);
  ASSERT_TRUE(Lexer.NextStatement());
  TTolvanSQLSelect Select(Lexer, *Query);
  Select.ParseAndRelease();
  ASSERT_EQ(Select.FromItems().size(), 1u);
  const TTolvanTableReference& Item = *Select.FromItems()[0];
  EXPECT_EQ(Item.Kind, trkDerivedTable);
  EXPECT_EQ(Item.Alias, "s");
  // Token by token, the rebuilt text is the original's inside of the parentheses.
  auto Tokens = [](std::string_view Text, size_t Skip, size_t Drop) {
    TTolvanLexer L(Text, nullptr);
    std::vector<std::pair<int, std::string>> Out;
    if (L.NextStatement())
      for (const TToken& T : L.Tokens())
        Out.emplace_back(int(T.Kind), T.Text);
    return std::vector(Out.begin() + long(Skip), Out.end() - long(Drop));
  };
  EXPECT_EQ(Tokens(Item.SubQuery, 0, 0), Tokens(SQL, 4, 3));
}

TEST_F(SQLSelect, TableReferencesMakeLeftDeepJoinNodes) {
  TTolvanLexer Lexer("SELECT * FROM a x JOIN b ON x.i = b.i LEFT JOIN MEMORY c USING (i, j)",
                     nullptr);
  ASSERT_TRUE(Lexer.NextStatement());
  TTolvanSQLSelect Select(Lexer, *Query);
  Select.ParseAndRelease();
  ASSERT_EQ(Select.FromItems().size(), 1u);
  const TTolvanTableReference& Top = *Select.FromItems()[0];
  ASSERT_EQ(Top.Kind, trkJoin);
  EXPECT_EQ(Top.JoinType, jtLeftOuter);
  ASSERT_TRUE(Top.UsingColumns);
  EXPECT_EQ(Top.UsingColumns->Count(), 2);
  EXPECT_EQ(Top.RightItem->TableName, "c");
  EXPECT_TRUE(Top.RightItem->InMemory);
  EXPECT_EQ(Top.RightItem->DatabaseName, "MEMORY");
  const TTolvanTableReference& Inner = *Top.LeftItem;
  ASSERT_EQ(Inner.Kind, trkJoin);
  EXPECT_EQ(Inner.JoinType, jtInner);
  EXPECT_TRUE(Inner.OnCondition);
  EXPECT_EQ(Inner.LeftItem->TableName, "a");
  EXPECT_EQ(Inner.LeftItem->Alias, "x");
  EXPECT_EQ(Inner.RightItem->TableName, "b");

  // A right operand does not take the joins after it, also when it has no ON of its own.
  TTolvanLexer Chain("SELECT * FROM a CROSS JOIN b LEFT JOIN c ON a.i = c.i", nullptr);
  ASSERT_TRUE(Chain.NextStatement());
  TTolvanSQLSelect Cross(Chain, *Query);
  Cross.ParseAndRelease();
  const TTolvanTableReference& Outer = *Cross.FromItems()[0];
  ASSERT_EQ(Outer.Kind, trkJoin);
  EXPECT_EQ(Outer.JoinType, jtLeftOuter);
  EXPECT_EQ(Outer.RightItem->TableName, "c");
  ASSERT_EQ(Outer.LeftItem->Kind, trkJoin);
  EXPECT_EQ(Outer.LeftItem->JoinType, jtCross);
  EXPECT_EQ(Outer.LeftItem->RightItem->Kind, trkTable);
}

TEST_F(SQLSelect, OrderByIndexReadsInTheIndexOrder) {
  TComponentPtr<TTolvanTable> T = MakeComponent<TTolvanTable>();
  T->SetInMemory(true);
  T->SetTableName("t");
  T->AddIndex("byx", "x", TIndexOptions(), "x", "");
  EXPECT_EQ(Run("SELECT id FROM t ORDER BY INDEX byx"), "id: 4 2 1 3");
  EXPECT_NE(Error("SELECT id FROM t ORDER BY INDEX nope").find("11667"), std::string::npos);
}

} // namespace
} // namespace tolvan::test
