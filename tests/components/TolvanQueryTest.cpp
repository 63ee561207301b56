// The query component over a fake processor: its text and parameters, preparing, running and
// counting, the database's SQL events, master/detail, and the provider's statements.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "classlib/DBConsts.h"
#include "classlib/DataLinks.h"
#include "components/TolvanQuery.h"
#include "components/TolvanTable.h"
#include "foundation/TolvanExcept.h"
#include "tests/components/ComponentTestSupport.h"
#include "tests/components/support/FakeSQLProcessor.h"

using namespace tolvan;
using namespace tolvan::test;

namespace {

std::vector<std::string> NamesOf(const TParams& Params) {
  std::vector<std::string> Out;
  for (int32_t I = 0; I < Params.Count(); ++I)
    Out.push_back(Params.Items(I).Name());
  return Out;
}

template <class F> std::string DatabaseErrorOf(F&& Body) {
  try {
    Body();
  } catch (const EDatabaseError& E) {
    return E.Message();
  }
  return "no EDatabaseError";
}

template <class F> int32_t CodeOf(F&& Body) {
  try {
    Body();
  } catch (const ETolvanException& E) {
    return E.NativeError();
  }
  return 0;
}

class QueryTest : public ComponentTest {
protected:
  TFakeSQLLog Log;
  TScopedFakeSQLProcessor Fake{Log};

  // An in-memory table of (ID, Name) rows.
  TComponentPtr<TTolvanTable> MakeTable(const std::string& Name,
                                        const std::vector<std::pair<int32_t, std::string>>& Rows) {
    auto T = Own(NewComponent<TTolvanTable>(nullptr));
    T->SetTableName(Name);
    T->FieldDefs().Add("ID", ftInteger, 0);
    T->FieldDefs().Add("Name", ftString, 20);
    T->Open();
    for (const auto& [Id, Text] : Rows) {
      T->Append();
      T->FieldByName("ID").SetAsInteger(Id);
      T->FieldByName("Name").SetAsString(Text);
      T->Post();
    }
    return T;
  }

  static TComponentPtr<TTolvanQuery> MakeQuery(std::string_view SQL) {
    auto Q = MakeComponent<TTolvanQuery>();
    Q->SetSQLText(SQL);
    return Q;
  }

  static std::vector<int32_t> Ids(TDataSet& D) {
    std::vector<int32_t> Out;
    for (D.First(); !D.Eof(); D.Next())
      Out.push_back(D.FieldByName("ID").AsInteger());
    return Out;
  }
};

// --- the parameter parse -------------------------------------------------------------------------

TEST(QueryParams, ParseCases) {
  struct TCase {
    const char* SQL;
    std::vector<std::string> Names;
    bool Valid;
  };
  const TCase Cases[] = {
      {"SELECT * FROM t", {}, true},
      {"SELECT :a, :b, :A FROM t WHERE x = :b", {"a", "b"}, true},
      {"SELECT :`a b`, :\"c d\", :'e' FROM t", {"a b", "c d", "e"}, true},
      // A colon inside a string or a comment is text.
      {"SELECT ':x', \"y:z\", [q:r] FROM t -- :c\n/* :d */ WHERE a = :p", {"p"}, true},
      // Statements after the first count too; empty ones are passed over.
      {"DELETE FROM t WHERE a = :x;; SELECT :y FROM u", {"x", "y"}, true},
      // The tokenizer's refusal keeps what came before it.
      {"SELECT :a FROM t WHERE b = :b AND c = 'open", {"a", "b"}, false},
      {"SELECT :a FROM t; SELECT 12g", {"a"}, false},
  };
  for (const TCase& C : Cases) {
    TParams Params;
    bool Valid = !C.Valid;
    ParseSQLParams(C.SQL, Params, &Valid);
    EXPECT_EQ(NamesOf(Params), C.Names) << C.SQL;
    EXPECT_EQ(Valid, C.Valid) << C.SQL;
    for (int32_t I = 0; I < Params.Count(); ++I) {
      EXPECT_EQ(Params.Items(I).DataType(), ftUnknown);
      EXPECT_FALSE(Params.Items(I).Bound());
    }
  }
}

TEST_F(QueryTest, QuestionMarksBecomeNumberedParameters) {
  auto Q = MakeQuery("SELECT * FROM t WHERE a = ? AND b = '?' AND c = ?");
  EXPECT_EQ(NamesOf(Q->Params()),
            (std::vector<std::string>{"Tolvan_MS_Param0", "Tolvan_MS_Param1"}));
  const AnsiString Text = Q->SQL().Text();
  EXPECT_NE(Text.find("a = :Tolvan_MS_Param0 "), AnsiString::npos) << Text;
  EXPECT_NE(Text.find("c = :Tolvan_MS_Param1 "), AnsiString::npos) << Text;
  EXPECT_NE(Text.find("'?'"), AnsiString::npos) << Text;
  // Text the tokenizer refuses is kept as written; it fails when it runs.
  auto Bad = MakeQuery("SELECT ? FROM t WHERE a = 'open");
  EXPECT_EQ(Bad->SQL().Text(), "SELECT ? FROM t WHERE a = 'open\r\n");
}

TEST_F(QueryTest, ParamsFollowTheTextAndKeepValues) {
  auto Q = MakeQuery("SELECT * FROM t WHERE a = :a AND b = :b");
  Q->ParamByName("a").SetAsInteger(7);
  Q->SetSQLText("SELECT * FROM t WHERE b = :B AND c = :c");
  ASSERT_EQ(NamesOf(Q->Params()).size(), 2u);
  EXPECT_EQ(Q->Params().FindParam("a"), nullptr);
  EXPECT_FALSE(Q->ParamByName("c").Bound());
  Q->ParamByName("c").SetAsInteger(3);
  Q->SetSQLText("SELECT * FROM t WHERE c = :c");
  EXPECT_EQ(Q->ParamByName("c").AsInteger(), 3);
  // Without the check the list stays as it was.
  Q->SetParamCheck(false);
  Q->SetSQLText("SELECT * FROM t WHERE x = :x");
  EXPECT_EQ(NamesOf(Q->Params()), (std::vector<std::string>{"c"}));
}

// --- preparing, running and counting
// --------------------------------------------------------------

TEST_F(QueryTest, OpenCloseTwiceWithoutParametersParsesEachTime) {
  auto T = MakeTable("T1", {{1, "a"}, {2, "b"}});
  auto Q = MakeQuery("SELECT * FROM T1");
  for (int32_t Round = 0; Round < 2; ++Round) {
    Q->Open();
    EXPECT_EQ(Ids(*Q), (std::vector<int32_t>{1, 2}));
    Q->Close();
    // The processor went with the cursor: the query is unprepared, nothing dangles.
    EXPECT_FALSE(Q->Prepared());
    EXPECT_EQ(Q->Processor(), nullptr);
  }
  EXPECT_EQ(Log.Makes, 2);
  EXPECT_EQ(Log.Runs, 2);
  EXPECT_EQ(Log.Frees, 2);
  EXPECT_EQ(Q->DatabaseUse(), 0);
}

TEST_F(QueryTest, OpenCloseTwiceWithParametersReusesTheProcessor) {
  auto T = MakeTable("T2", {{1, "a"}, {2, "b"}, {3, "c"}});
  auto Q = MakeQuery("SELECT * FROM T2 WHERE ID = :id");
  Q->ParamByName("id").SetAsInteger(2);
  Q->Open();
  EXPECT_EQ(Ids(*Q), (std::vector<int32_t>{2}));
  Q->Close();
  EXPECT_TRUE(Q->Prepared());
  Q->ParamByName("id").SetAsInteger(3);
  Q->Open();
  EXPECT_EQ(Ids(*Q), (std::vector<int32_t>{3}));
  Q->Close();
  EXPECT_EQ(Log.Makes, 1);
  EXPECT_EQ(Log.Runs, 2);
  EXPECT_EQ(Log.Parses, 1);
  // Kept prepared, the query keeps its database; unpreparing lets both go.
  EXPECT_TRUE(Q->HoldsReason(durQueryPrepared));
  Q->Unprepare();
  EXPECT_EQ(Q->DatabaseUse(), 0);
  EXPECT_EQ(Log.Frees, 1);
}

// Prepare, Open, Close, Open: the processor freed at close must not be used again.
TEST_F(QueryTest, PrepareOpenCloseOpen) {
  auto T = MakeTable("T3", {{5, "x"}});
  auto Q = MakeQuery("SELECT * FROM T3");
  Q->Prepare();
  ASSERT_NE(Q->Processor(), nullptr);
  Q->Open();
  Q->Close();
  EXPECT_FALSE(Q->Prepared());
  EXPECT_EQ(Q->RowsAffected(), -1);
  Q->Open();
  EXPECT_EQ(Ids(*Q), (std::vector<int32_t>{5}));
  Q->Close();
  EXPECT_EQ(Log.Makes, 2);
}

TEST_F(QueryTest, RowsAffected) {
  auto Q = MakeQuery("UPDATE 5");
  EXPECT_EQ(Q->RowsAffected(), -1);
  EXPECT_EQ(Q->RowsAffected64(), -1);
  Q->ExecSQL();
  EXPECT_TRUE(Q->Prepared());
  EXPECT_EQ(Q->RowsAffected(), 5);
  EXPECT_FALSE(Q->HoldsReason(durQueryExecuting));
  Q->Unprepare();
  EXPECT_EQ(Q->RowsAffected(), 5);
  // Beyond 32 bits the count is clamped, prepared or not; the 64-bit count is whole.
  Q->SetSQLText("UPDATE 3000000000");
  Q->ExecSQL();
  EXPECT_EQ(Q->RowsAffected(), 2147483647);
  EXPECT_EQ(Q->RowsAffected64(), 3000000000);
  Q->Unprepare();
  EXPECT_EQ(Q->RowsAffected(), 2147483647);
  EXPECT_EQ(Q->RowsAffected64(), 3000000000);
  // A script with a result keeps -1 after it goes.
  auto T = MakeTable("T4", {});
  Q->SetSQLText("SELECT * FROM T4");
  Q->Open();
  Q->Close();
  EXPECT_EQ(Q->RowsAffected(), -1);
}

TEST_F(QueryTest, Errors) {
  auto Q = MakeComponent<TTolvanQuery>();
  EXPECT_EQ(CodeOf([&] { Q->ExecSQL(); }), ErrQueryNoSQLExecute);
  EXPECT_EQ(CodeOf([&] { Q->Prepare(); }), ErrQueryNoSQLPrepare);
  EXPECT_FALSE(Q->Prepared());
  EXPECT_EQ(Q->DatabaseUse(), 0);
  // A processor's error passes unchanged; the query stays prepared.
  Q->SetSQLText("FAIL");
  EXPECT_EQ(CodeOf([&] { Q->ExecSQL(); }), 12345);
  EXPECT_TRUE(Q->Prepared());
  EXPECT_FALSE(Q->HoldsReason(durQueryExecuting));
  EXPECT_EQ(CodeOf([&] { Q->Open(); }), 12345);
  EXPECT_FALSE(Q->Active());
  // Open, the query can neither prepare anew nor drop its processor.
  auto T = MakeTable("T5", {{1, "a"}});
  Q->SetSQLText("SELECT * FROM T5 WHERE ID = :id");
  Q->ParamByName("id").SetAsInteger(1);
  Q->Open();
  EXPECT_EQ(CodeOf([&] { Q->Prepare(); }), ErrQueryOpen);
  EXPECT_EQ(CodeOf([&] { Q->Unprepare(); }), ErrQueryOpen);
  EXPECT_THROW(Q->ExecSQL(), EDatabaseError);
  EXPECT_EQ(Ids(*Q), (std::vector<int32_t>{1}));
  Q->Close();
  // A statement without a result cannot be opened.
  Q->SetSQLText("UPDATE 1");
  EXPECT_EQ(CodeOf([&] { Q->Open(); }), ErrCreatingTableHandle);
}

TEST_F(QueryTest, WithoutTheSQLLayerNothingRuns) {
  RegisterSQLProcessorMaker(nullptr);
  auto Q = MakeQuery("UPDATE 1");
  EXPECT_EQ(DatabaseErrorOf([&] { Q->ExecSQL(); }),
            "Error - SQL processor is switched off by compiler directives");
  EXPECT_FALSE(Q->Prepared());
  EXPECT_EQ(Q->DatabaseUse(), 0);
}

TEST_F(QueryTest, SQLEventsOfTheDatabase) {
  auto T = MakeTable("T6", {{1, "a"}});
  auto Q = MakeQuery("UPDATE 2");
  Q->Prepare();
  TTolvanDatabase* Db = Q->Database();
  ASSERT_NE(Db, nullptr);
  bool Abort = true;
  std::vector<std::string> Events;
  Db->SetBeforeExecuteSQL([&](TTolvanQuery* Sender, bool& A) {
    EXPECT_EQ(Sender, Q.get());
    Events.push_back("before");
    A = Abort;
  });
  Db->SetAfterExecuteSQL([&](TTolvanQuery*) { Events.push_back("after"); });
  EXPECT_EQ(DatabaseErrorOf([&] { Q->ExecSQL(); }),
            "Execute SQL script is blocked by database event");
  // The open table keeps the database component, and its handlers, while the query lets go.
  Q->SetSQLText("SELECT * FROM T6");
  EXPECT_EQ(DatabaseErrorOf([&] { Q->Open(); }), "Execute SQL script is blocked by database event");
  EXPECT_FALSE(Q->Active());
  EXPECT_EQ(Log.Runs, 0);
  Abort = false;
  Q->Open();
  EXPECT_EQ(Log.Runs, 1);
  EXPECT_EQ(Events, (std::vector<std::string>{"before", "before", "before", "after"}));
  Q->Close();
}

// The framework's parameters reach the processor with their types; a null stays null.
TEST_F(QueryTest, ParametersPassedToTheProcessor) {
  auto Q = MakeQuery("UPDATE 0 :i :s :w :m :b :f :n");
  Q->ParamByName("i").SetAsInteger(42);
  Q->ParamByName("s").SetAsString("text");
  Q->ParamByName("w").SetAsWideString(u"wide");
  Q->ParamByName("m").SetAsMemo("memo");
  Q->ParamByName("b").SetAsBlob("");
  Q->ParamByName("f").SetAsFloat(1.5);
  // n stays unbound and null.
  Q->ExecSQL();
  ASSERT_EQ(Log.Params.size(), 7u);
  EXPECT_EQ(Log.Params[0], "i:INTEGER:42");
  EXPECT_EQ(Log.Params[1].substr(0, 2), "s:");
  EXPECT_EQ(Log.Params[1].substr(Log.Params[1].size() - 5), ":text");
  EXPECT_NE(Log.Params[2].find(":wide"), std::string::npos) << Log.Params[2];
  EXPECT_NE(Log.Params[3].find(":memo"), std::string::npos) << Log.Params[3];
  EXPECT_EQ(Log.Params[4].substr(Log.Params[4].size() - 5), ":NULL") << Log.Params[4];
  EXPECT_NE(Log.Params[5].find(":1.5"), std::string::npos) << Log.Params[5];
  EXPECT_EQ(Log.Params[6].substr(Log.Params[6].size() - 5), ":NULL") << Log.Params[6];
}

TEST_F(QueryTest, RequestLiveAndReadOnly) {
  auto T = MakeTable("T7", {{1, "a"}});
  auto Q = MakeQuery("SELECT * FROM T7");
  Q->Open();
  EXPECT_FALSE(Log.LastRequestLive);
  EXPECT_TRUE(Log.LastInMemory);
  EXPECT_TRUE(Q->ReadOnly());
  EXPECT_FALSE(Q->CanModify());
  Q->Close();
  Q->SetRequestLive(true);
  Q->Open();
  EXPECT_TRUE(Log.LastRequestLive);
  EXPECT_FALSE(Q->ReadOnly());
  Q->Edit();
  Q->FieldByName("Name").SetAsString("b");
  Q->Post();
  Q->Close();
  T->First();
  EXPECT_EQ(T->FieldByName("Name").AsString(), "b");
}

TEST_F(QueryTest, ReleasingTheLastReasonUnprepares) {
  auto Q = MakeQuery("UPDATE 4");
  Q->ExecSQL();
  ASSERT_TRUE(Q->Prepared());
  Q->SetDatabaseUse(durQueryPrepared, false);
  EXPECT_FALSE(Q->Prepared());
  EXPECT_EQ(Q->Processor(), nullptr);
  EXPECT_EQ(Q->RowsAffected(), 4);
  // A new text and Disconnect do the same.
  Q->ExecSQL();
  Q->SetSQLText("UPDATE 6");
  EXPECT_FALSE(Q->Prepared());
  EXPECT_EQ(Q->DatabaseUse(), 0);
  Q->ExecSQL();
  Q->Disconnect();
  EXPECT_FALSE(Q->Prepared());
  EXPECT_EQ(Q->RowsAffected(), 6);
}

TEST_F(QueryTest, FreedWhileOpen) {
  auto T = MakeTable("T8", {{1, "a"}});
  auto Q = MakeQuery("SELECT * FROM T8 WHERE ID = :id");
  Q->ParamByName("id").SetAsInteger(1);
  Q->Open();
  Q.reset();
  EXPECT_EQ(Log.Frees, 1);
}

// --- master/detail -------------------------------------------------------------------------------

TEST_F(QueryTest, DetailFollowsItsMaster) {
  auto Orders = MakeTable("Orders", {{1, "one"}, {2, "two"}, {3, "three"}});
  auto Lines = MakeTable("Lines", {{1, "x"}, {2, "y"}, {2, "z"}});
  auto Source = Own(NewComponent<TDataSource>(nullptr));
  Source->SetDataSet(Orders.get());
  auto Detail = MakeQuery("SELECT * FROM Lines WHERE ID = :ID");
  Detail->SetDataSource(Source.get());
  EXPECT_EQ(Detail->DataSource(), Source.get());
  Orders->First();
  Detail->Open();
  EXPECT_EQ(Ids(*Detail), (std::vector<int32_t>{1}));
  Orders->Next();
  EXPECT_EQ(Ids(*Detail), (std::vector<int32_t>{2, 2}));
  Orders->Next();
  EXPECT_TRUE(Detail->Active());
  EXPECT_EQ(Ids(*Detail), (std::vector<int32_t>{}));
  // The value comes from the master each time: the parameter stays unbound.
  EXPECT_FALSE(Detail->ParamByName("ID").Bound());
  // A bound parameter is the user's.
  Detail->ParamByName("ID").SetAsInteger(1);
  Orders->First();
  EXPECT_EQ(Ids(*Detail), (std::vector<int32_t>{1}));
  Orders->Next();
  EXPECT_EQ(Ids(*Detail), (std::vector<int32_t>{1}));
  Detail->Close();
  // A source linked back to the query is refused.
  auto Back = Own(NewComponent<TDataSource>(nullptr));
  Back->SetDataSet(Detail.get());
  EXPECT_EQ(DatabaseErrorOf([&] { Detail->SetDataSource(Back.get()); }),
            "Circular datalinks are not allowed");
  EXPECT_EQ(Detail->DataSource(), Source.get());
}

// --- provider statements -------------------------------------------------------------------------

TEST_F(QueryTest, ProviderExecuteStatement) {
  auto T = MakeTable("T9", {{1, "a"}});
  EXPECT_EQ(T->ProviderExecuteStatement("UPDATE 12", nullptr, nullptr), 12);
  EXPECT_TRUE(T->HoldsReason(durProviderTransaction));
  // Clamped as RowsAffected is.
  EXPECT_EQ(T->ProviderExecuteStatement("UPDATE 5000000000", nullptr, nullptr), 2147483647);
  // Given values go to the text's parameters in order, under the text's names; extra ones are
  // appended.
  TParams Given;
  Given.CreateParam(ftInteger, "first").SetAsInteger(1);
  Given.CreateParam(ftInteger, "second").SetAsInteger(2);
  Given.CreateParam(ftInteger, "third").SetAsInteger(3);
  TComponentPtr<TDataSet> Result;
  EXPECT_EQ(T->ProviderExecuteStatement("UPDATE 1 :a :b", &Given, &Result), 1);
  ASSERT_NE(Result, nullptr);
  auto* Kept = dynamic_cast<TTolvanQuery*>(Result.get());
  ASSERT_NE(Kept, nullptr);
  EXPECT_EQ(NamesOf(Kept->Params()), (std::vector<std::string>{"a", "b", "third"}));
  EXPECT_EQ(Log.Params,
            (std::vector<std::string>{"a:INTEGER:1", "b:INTEGER:2", "third:INTEGER:3"}));
  // A text without parameters takes the given list whole.
  EXPECT_EQ(T->ProviderExecuteStatement("UPDATE 3", &Given, nullptr), 3);
  EXPECT_EQ(Log.Params.size(), 3u);
  Result.reset();
  T->ProviderEndTransaction();
  T->Close();
  EXPECT_EQ(T->DatabaseUse(), 0);
}

} // namespace
