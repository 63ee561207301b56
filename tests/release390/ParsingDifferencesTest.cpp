// The tokenizer's and the parsers' release differences as a statement meets them: statement
// numbers as lines in messages, comparisons with NULL, DATABASE as a plain name, and
// LASTAUTOINC without a database. Every row runs under both releases in one process.
#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "classlib/DBFields.h"
#include "components/TolvanQuery.h"
#include "foundation/TolvanExcept.h"
#include "sql/TolvanSQLStartup.h"
#include "tests/release390/support/ReleaseScope.h"

namespace tolvan::test {
namespace {

TComponentPtr<TTolvanQuery> NewQuery(std::string_view SQL) {
  TComponentPtr<TTolvanQuery> Q = MakeComponent<TTolvanQuery>();
  Q->SetDatabaseName("MEMORY");
  Q->SetSQLText(SQL);
  return Q;
}

// The first column of every row, joined with blanks (NULL for null), or the engine's message.
std::string Outcome(std::string_view SQL, bool Open) {
  try {
    TComponentPtr<TTolvanQuery> Q = NewQuery(SQL);
    if (!Open) {
      Q->ExecSQL();
      return "done";
    }
    Q->Open();
    std::string Out;
    for (; !Q->Eof(); Q->Next()) {
      const TField& F = Q->Fields()[0];
      Out += (Out.empty() ? "" : " ") + (F.IsNull() ? std::string("NULL") : F.AsString());
    }
    Q->Close();
    return Out.empty() ? "(none)" : Out;
  } catch (const ETolvanException& E) {
    return E.Message();
  } catch (const Exception& E) {
    return "class library: " + E.Message();
  }
}

struct TRow {
  const char* SQL;
  bool Open;                         // a SELECT to open; else executed
  const char* Expected;              // rows or message in 4.00
  const char* Expected390 = nullptr; // nil: as in 4.00
};

class ParsingDifferences : public ::testing::Test {
protected:
  ParsingDifferences() { InitSQLLayer(); }

  // Runs Rows under each release, over t (a, database) holding (1, 10), (NULL, 20), (3, NULL)
  // and s (id AUTOINC, v) holding two rows.
  static void Run(const std::vector<TRow>& Rows) {
    for (TTolvanReleaseId R : BothReleases) {
      TReleaseScope Scope(R);
      const bool Is390 = Release().Id == TTolvanReleaseId::tr390;
      for (const char* Setup :
           {"CREATE TABLE t (a INTEGER, [database] INTEGER)", "INSERT INTO t VALUES (1, 10)",
            "INSERT INTO t VALUES (NULL, 20)", "INSERT INTO t VALUES (3, NULL)",
            "CREATE TABLE s (id AUTOINC, v INTEGER)", "INSERT INTO s (v) VALUES (5)",
            "INSERT INTO s (v) VALUES (6)"})
        ASSERT_EQ(Outcome(Setup, false), "done") << Setup << " (" << Release().Name << ")";
      for (const TRow& Row : Rows)
        EXPECT_EQ(Outcome(Row.SQL, Row.Open),
                  Is390 && Row.Expected390 ? Row.Expected390 : Row.Expected)
            << Row.SQL << " (" << Release().Name << ")";
    }
  }
};

TEST_F(ParsingDifferences, Table) {
  Run({
      // Statements.
      {"CREATE VIEW v AS SELECT a FROM t", false,
       "Object type keyword expected, but 'VIEW' found at line 1, column 8 - Native error: 30147"},
      {"CREATE DATABASE x", false, "done",
       "Object type keyword expected, but 'DATABASE' found at line 1, column 8 - Native error: "
       "30147"},
      {"DROP DATABASE x", false, "done",
       "Object type keyword expected, but 'DATABASE' found at line 1, column 6 - Native error: "
       "30149"},
      {"SELECT database FROM t", true,
       "Expression expected, but 'database' found at line 1, column 8 - Native error: 30160",
       "10 20 NULL"},
      {"SELECT a FROM t WHERE database = 20", true,
       "Boolean expression expected, but 'database' found at line 1, column 23 - Native error: "
       "30066",
       "NULL"},
      // Lines in messages.
      {"SELECT 1 FROM t;\nSELECT a,\n  a\n  FROM t WHERE", false,
       "Unexpected end of SQL command found at line 4, column 10 - Native error: 30161",
       "Unexpected end of SQL command found at line 2, column 10 - Native error: 30161"},
      {"SELECT a FROM t;; SELECT (", false,
       "Missing symbol ')' at line 1, column 9 - Native error: 30059",
       "Missing symbol ')' at line 3, column 9 - Native error: 30059"},
      // Comparisons with NULL and ''.
      {"SELECT a FROM t WHERE a IS NULL", true, "NULL"},
      {"SELECT a FROM t WHERE a = NULL", true, "NULL", "(none)"},
      {"SELECT a FROM t WHERE a == NULL", true, "NULL", "(none)"},
      {"SELECT a FROM t WHERE a IS NOT NULL", true, "1 3"},
      // A null operand fails every comparison but "<>", which it passes, null or not.
      {"SELECT a FROM t WHERE a <> NULL", true, "1 3", "1 NULL 3"},
      {"SELECT a FROM t WHERE a != NULL", true, "1 3", "1 NULL 3"},
      {"SELECT a FROM t WHERE a > NULL OR a < NULL", true, "(none)"},
      // LASTAUTOINC names no database in 3.90.
      // The call reaches s of MEMORY. Under 4.00 each statement's temporary database has an
      // engine session of its own, whose counter the inserts did not advance; under 3.90 the
      // session keeps its one temporary MEMORY database connected, and the inserts' engine
      // session answers.
      {"SELECT LASTAUTOINC(MEMORY s, id) FROM t", true,
       "No SequenceLastValue in session for sequence '$S_Autoinc$s$id'. Call GetNextVal first - "
       "Native error: 30012",
       "2 2 2"},
      {"SELECT LASTAUTOINC(db t, a) FROM t", true,
       "Table not found, table name = t - Native error: 10028",
       "Token ',' expected, but 't' found at line 1, column 23 - Native error: 30334"},
  });
}

} // namespace
} // namespace tolvan::test
