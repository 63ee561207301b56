// The dataset's side of a resolver: the rewrite of its statements, its transaction as a use of
// the database, and the update-record handler.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "components/TolvanDataSet.h"
#include "components/TolvanProviderText.h"
#include "components/TolvanSession.h"
#include "foundation/TolvanExcept.h"
#include "schema/expr/TolvanLexer.h"
#include "storage/TolvanDatabaseData.h"
#include "tests/components/ComponentTestSupport.h"
#include "tests/components/support/TestDataSet.h"

using namespace tolvan;
using namespace tolvan::test;

namespace {

// --- The rewrite of a resolver's text -----------------------------------------------------------

TEST(ProviderText, QuotedNamesBecomeBrackets) {
  EXPECT_EQ(RewriteProviderParams("SELECT @ A @ , @ B @ FROM @ T @ WHERE @ A @ = 'x'"),
            "SELECT [A] , [B] FROM [T] WHERE [A] = 'x' ;\r\n");
}

TEST(ProviderText, Cases) {
  struct TCase {
    const char* SQL;
    const char* Expected;
  };
  const TCase Cases[] = {
      {"", ""},
      {";; ;", ""},
      {"a;;b", "a ;\r\nb ;\r\n"},
      {"select/*c*/ x -- tail\nfrom t", "select x from t ;\r\n"},
      // An "@" needs its name and its closing "@"; otherwise every token stays as it was.
      {"select a from t @", "select a from t @ ;\r\n"},
      {"select a from @ t", "select a from @ t ;\r\n"},
      {"select @ a b @ from t", "select @ a b @ from t ;\r\n"},
      {"@ @ @ @", "[@] @ ;\r\n"},
      {"@ a @ @ b", "[a] @ b ;\r\n"},
      // Names: any one token, closing characters doubled inside the brackets.
      {"@ a]b @ @ [c]]d] @ @ 'e f' @ @ 12 @ @ , @", "[a]]b] [c]]d] [e f] [12] [,] ;\r\n"},
      {"@ select @", "[select] ;\r\n"},
      // Strings keep their kind: quoted ones in single quotes, closing characters doubled.
      {"'it''s' \"say \"\"hi\"\"\" [x]]y] `c``d`", "'it''s' 'say \"hi\"' [x]]y] `c``d` ;\r\n"},
      // Parameters: the name in back quotes.
      {":p :_x1 :\"my param\" :`a``b` : :'q' ::z",
       ":`p` :`_x1` :`my param` :`a``b` :`` :`q` :`:z` ;\r\n"},
      // Numbers the decimal text would change go back to hexadecimal.
      {"1 1.5 .5 1e+5 $1F 0x10 $FFFFFFFFFFFFFFFF $1E $FF. :7 :$FFFFFFFFFFFFFFFF",
       "1 1.5 .5 1e+5 31 16 $FFFFFFFFFFFFFFFF $1E $.FF0 :7 :$FFFFFFFFFFFFFFFF ;\r\n"},
      {"a<=b||c !=d", "a <= b || c != d ;\r\n"},
  };
  for (const TCase& C : Cases)
    EXPECT_EQ(RewriteProviderParams(C.SQL), C.Expected) << C.SQL;
}

TEST(ProviderText, TokenizerErrorsPropagate) {
  const struct {
    const char* SQL;
    int32_t Code;
  } Cases[] = {{"select @ 'x @", 30061}, {"select (a", 30059}, {"select a)", 30060}};
  for (const auto& C : Cases) {
    try {
      RewriteProviderParams(C.SQL);
      ADD_FAILURE() << C.SQL;
    } catch (const ETolvanException& E) {
      EXPECT_EQ(E.NativeError(), C.Code) << C.SQL;
    }
  }
}

// A token as the lexer should read it.
struct TTok {
  TTokenType Kind;
  std::string Text;
  bool Prefix = false;
};

std::string Describe(const TTok& T) {
  return std::to_string(int(T.Kind)) + "[" + T.Text + "]" + (T.Prefix ? "p" : "");
}

std::vector<std::vector<TTok>> Lex(std::string_view Text) {
  std::vector<std::vector<TTok>> Out;
  TTolvanLexer L(Text, nullptr);
  while (L.NextStatement()) {
    Out.emplace_back();
    for (const TToken& T : L.Tokens())
      Out.back().push_back({T.Kind, T.Text, T.ParamPrefix});
  }
  return Out;
}

std::string Doubled(std::string_view S, char C) {
  std::string Out;
  for (char Ch : S) {
    Out += Ch;
    if (Ch == C)
      Out += Ch;
  }
  return Out;
}

// Random statements, with for each the tokens of the source and those its rewrite must read as.
class TStatementGenerator {
public:
  explicit TStatementGenerator(uint32_t Seed) : FRandom(Seed) {}

  void Statement(std::string& Text, std::vector<TTok>& Source, std::vector<TTok>& Rewrite) {
    FText = &Text;
    FSource = &Source;
    FRewrite = &Rewrite;
    for (int N = 1 + Pick(10); N > 0; --N)
      Item();
    // Cut-off quoted names at the end: a lone "@", or "@" and a name.
    switch (Pick(4)) {
    case 0:
      Plain("@", {tktString, "@"});
      break;
    case 1:
      Plain("@", {tktString, "@"});
      NameToken(false);
      break;
    default:
      break;
    }
  }

  int Pick(int N) { return std::uniform_int_distribution<int>(0, N - 1)(FRandom); }

  std::string Text(const char* Alphabet) {
    std::string S;
    for (int N = Pick(5); N > 0; --N)
      S += Alphabet[Pick(static_cast<int>(std::char_traits<char>::length(Alphabet)))];
    return S;
  }

private:
  void Put(const std::string& S) {
    *FText += S;
    switch (Pick(6)) {
    case 0:
      *FText += " /* note; 'x */ ";
      break;
    case 1:
      *FText += " -- to the end; @\n";
      break;
    case 2:
      *FText += "\r\n\t";
      break;
    default:
      *FText += ' ';
      break;
    }
  }

  void Plain(const std::string& S, const TTok& T) {
    Put(S);
    FSource->push_back(T);
    FRewrite->push_back(T);
  }

  // One token that can stand as a quoted name; never "@" when the name is not closed, so that
  // it cannot pair with an "@" that follows.
  TTok NameToken(bool MayBeAt) {
    const char* const Words[] = {"A", "b_2", "Name", "x]y", "\xC4rger", "a`b"};
    TTok T{tktString, ""};
    std::string S;
    switch (Pick(MayBeAt ? 7 : 6)) {
    case 0:
    case 1:
      S = T.Text = Words[Pick(6)];
      break;
    case 2:
      T = {tktReservedWord, "select"};
      S = T.Text;
      break;
    case 3:
      T = {tktBracketedString, Text("a ]b[")};
      S = "[" + Doubled(T.Text, ']') + "]";
      break;
    case 4:
      T = {tktQuotedString, Text("a '\"")};
      S = "'" + Doubled(T.Text, '\'') + "'";
      break;
    case 5:
      T = {tktBackQuotedString, Text("a `@")};
      S = "`" + Doubled(T.Text, '`') + "`";
      break;
    default:
      T.Text = S = "@";
      break;
    }
    Put(S);
    FSource->push_back(T);
    FRewrite->push_back(T);
    return T;
  }

  void Item() {
    switch (Pick(12)) {
    case 0:
    case 1: { // a quoted name
      Put("@");
      FSource->push_back({tktString, "@"});
      const TTok Name = NameToken(true);
      Put("@");
      FSource->push_back({tktString, "@"});
      FRewrite->back() = {tktBracketedString, Name.Text};
      break;
    }
    case 2: { // an "@", a name and something else than "@"
      Plain("@", {tktString, "@"});
      NameToken(false);
      Plain(",", {tktComma, ","});
      break;
    }
    case 3:
      NameToken(false);
      break;
    case 4: {
      const char* const Keywords[] = {"SELECT", "from", "Where", "AND"};
      const std::string K = Keywords[Pick(4)];
      Plain(K, {tktReservedWord, K});
      break;
    }
    case 5: {
      const char* const Operators[] = {"=", "<>", ">=", "+", "-", "*", "/", "||", "!="};
      const std::string O = Operators[Pick(9)];
      Plain(O, {tktString, O});
      break;
    }
    case 6: { // parameters, bare and needing quotes
      switch (Pick(5)) {
      case 0:
        Plain(":p1", {tktParameter, "p1", true});
        break;
      case 1: {
        const std::string Name = Text("a b\"");
        Plain(":\"" + Doubled(Name, '"') + "\"", {tktParameter, Name, true});
        break;
      }
      case 2: {
        const std::string Name = Text("a `;");
        Plain(":`" + Doubled(Name, '`') + "`", {tktParameter, Name, true});
        break;
      }
      case 3:
        Plain(":", {tktParameter, "", true});
        break;
      default:
        Plain("::x", {tktParameter, ":x", true});
        break;
      }
      break;
    }
    case 7: {
      const TTok Numbers[] = {{tktInt, "12"},          {tktFloat, "1.5"}, {tktInt, "-1"},
                              {tktFloat, "30"},        {tktInt, "31"},    {tktInt, ":7", true},
                              {tktFloat, ":-2", true}, {tktFloat, "4080"}};
      const char* const Source[] = {"12",   "1.5", "$FFFFFFFFFFFFFFFF",  "$1E",
                                    "0x1f", ":7",  ":$FFFFFFFFFFFFFFFE", "$FF."};
      const int I = Pick(8);
      Plain(Source[I], Numbers[I]);
      break;
    }
    case 8:
      Plain("(", {tktLeftParenthesis, "("});
      Item();
      Plain(")", {tktRightParenthesis, ")"});
      break;
    case 9:
      Plain(".", {tktDot, "."});
      break;
    default: {
      const std::string S = Text("ab';");
      Plain("'" + Doubled(S, '\'') + "'", {tktQuotedString, S});
      break;
    }
    }
  }

  std::mt19937 FRandom;
  std::string* FText = nullptr;
  std::vector<TTok>* FSource = nullptr;
  std::vector<TTok>* FRewrite = nullptr;
};

void ExpectTokens(const std::vector<std::vector<TTok>>& Got,
                  const std::vector<std::vector<TTok>>& Expected) {
  ASSERT_EQ(Got.size(), Expected.size());
  for (size_t S = 0; S < Got.size(); ++S) {
    ASSERT_EQ(Got[S].size(), Expected[S].size()) << "statement " << S;
    for (size_t T = 0; T < Got[S].size(); ++T)
      ASSERT_EQ(Describe(Got[S][T]), Describe(Expected[S][T])) << "statement " << S;
  }
}

TEST(ProviderText, GeneratedStatementsReadBackAsTheirTokens) {
  for (uint32_t Seed = 1; Seed <= 500; ++Seed) {
    TStatementGenerator G(Seed);
    std::string Text;
    std::vector<std::vector<TTok>> Source, Rewrite;
    for (int N = 1 + G.Pick(3); N > 0; --N) {
      Source.emplace_back();
      Rewrite.emplace_back();
      G.Statement(Text, Source.back(), Rewrite.back());
      Text += G.Pick(3) ? ";" : "; ;";
    }
    SCOPED_TRACE(Text);
    // The generator's own account of the source must hold, or the check below proves nothing.
    ASSERT_NO_FATAL_FAILURE(ExpectTokens(Lex(Text), Source));

    const AnsiString Rewritten = RewriteProviderParams(Text);
    SCOPED_TRACE(Rewritten);
    ASSERT_NO_FATAL_FAILURE(ExpectTokens(Lex(Rewritten), Rewrite));
    // One statement per line, each closed by ";" and CR LF.
    size_t Lines = 0;
    for (size_t P = Rewritten.find(";\r\n"); P != std::string::npos;
         P = Rewritten.find(";\r\n", P + 1))
      ++Lines;
    EXPECT_EQ(Lines, Rewrite.size());
    EXPECT_TRUE(Rewritten.ends_with(" ;\r\n"));
  }
}

// --- The dataset's provider operations ---------------------------------------------------------

int32_t MemorySessions() { return FindDatabaseData(true, false, "MEMORY", u"")->SessionCount(); }

class DataSetProviderTest : public ComponentTest {
protected:
  void SetUp() override { MakeSimpleTable("MEMORY", "T"); }

  TComponentPtr<TTestDataSet> NewDataSet() {
    auto D = MakeComponent<TTestDataSet>();
    D->TableName = "T";
    return D;
  }
};

constexpr TTolvanDataSetUseReasons Bit(TTolvanDataSetUseReason Reason) {
  return static_cast<TTolvanDataSetUseReasons>(1u << Reason);
}

// The transaction is one use of the temporary database: closing and reopening the dataset
// inside it keeps that database and its engine session, and only ending it lets them go.
TEST_F(DataSetProviderTest, TransactionHoldsTheDatabaseAcrossCloseAndOpen) {
  const int32_t Before = MemorySessions();
  auto D = NewDataSet();
  D->ProviderStartTransaction();
  ASSERT_NE(D->Database(), nullptr);
  TTolvanDatabase* const Held = D->Database();
  const auto SessionId = Held->EngineSession()->SessionID();
  EXPECT_EQ(D->DatabaseUse(), Bit(durProviderTransaction));
  EXPECT_EQ(DefaultSession()->DatabaseCount(), 1);
  EXPECT_EQ(MemorySessions(), Before + 1);

  for (int Round = 0; Round < 2; ++Round) {
    D->Open();
    EXPECT_EQ(D->DatabaseUse(), Bit(durCursorOpen) | Bit(durProviderTransaction));
    EXPECT_EQ(D->Database(), Held);
    EXPECT_EQ(D->Database()->EngineSession()->SessionID(), SessionId);
    D->Close();
    EXPECT_EQ(D->DatabaseUse(), Bit(durProviderTransaction));
    EXPECT_EQ(D->Database(), Held);
    EXPECT_EQ(DefaultSession()->DatabaseCount(), 1);
    EXPECT_EQ(MemorySessions(), Before + 1);
  }

  // Starting twice is one use; ending once releases it, and ending again changes nothing.
  D->ProviderStartTransaction();
  D->ProviderEndTransaction();
  EXPECT_EQ(D->DatabaseUse(), 0);
  EXPECT_EQ(D->Database(), nullptr);
  EXPECT_EQ(DefaultSession()->DatabaseCount(), 0);
  EXPECT_EQ(MemorySessions(), Before);
  D->ProviderEndTransaction();
  EXPECT_EQ(D->DatabaseUse(), 0);

  // Ended while the dataset is open, the database stays for the cursor until the close.
  D->ProviderStartTransaction();
  D->Open();
  D->ProviderEndTransaction();
  EXPECT_EQ(D->DatabaseUse(), Bit(durCursorOpen));
  ASSERT_NE(D->Database(), nullptr);
  EXPECT_EQ(DefaultSession()->DatabaseCount(), 1);
  D->Close();
  EXPECT_EQ(D->Database(), nullptr);
  EXPECT_EQ(DefaultSession()->DatabaseCount(), 0);
  EXPECT_EQ(MemorySessions(), Before);
}

// A transaction that cannot take its database raises and holds nothing.
TEST_F(DataSetProviderTest, FailuresHoldNothing) {
  const int32_t Before = MemorySessions();
  auto D = NewDataSet();
  D->SetSessionName("NoSuchSession");
  try {
    D->ProviderStartTransaction();
    ADD_FAILURE() << "no error";
  } catch (const ETolvanException& E) {
    EXPECT_EQ(E.NativeError(), ErrInvalidSessionName);
  }
  EXPECT_EQ(D->DatabaseUse(), 0);
  EXPECT_EQ(D->Database(), nullptr);

  // Without an SQL layer the statement is refused by its query; the transaction it began
  // stays until the resolver ends it.
  D->SetSessionName("");
  try {
    D->ProviderExecuteStatement("DELETE FROM @ T @", nullptr, nullptr);
    ADD_FAILURE() << "no error";
  } catch (const EDatabaseError& E) {
    EXPECT_EQ(E.Message(), "Error - SQL processor is switched off by compiler directives");
  }
  EXPECT_EQ(D->DatabaseUse(), 1 << durProviderTransaction);
  D->ProviderEndTransaction();
  EXPECT_EQ(D->DatabaseUse(), 0);
  EXPECT_EQ(DefaultSession()->DatabaseCount(), 0);
  EXPECT_EQ(MemorySessions(), Before);
}

// A resolver writes names between the dataset's quote text; the rewrite turns them into
// brackets, whatever characters the names hold.
TEST_F(DataSetProviderTest, QuoteTextRoundTripsThroughTheRewrite) {
  auto D = NewDataSet();
  const AnsiString Q = D->ProviderGetQuoteChar();
  EXPECT_TRUE(D->ProviderIsSQLBased());
  EXPECT_TRUE(D->ProviderIsSQLSupported());
  EXPECT_FALSE(D->ProviderInTransaction());
  const AnsiString SQL = "UPDATE" + Q + "Order]s" + Q + "SET" + Q + "Sum" + Q + "= :\"new sum\"";
  EXPECT_EQ(TTolvanDataSet::RewriteProviderParams(SQL),
            "UPDATE [Order]]s] SET [Sum] = :`new sum` ;\r\n");
}

TEST_F(DataSetProviderTest, UpdateRecordAsksTheHandler) {
  auto D = NewDataSet();
  auto Delta = NewDataSet();
  EXPECT_FALSE(D->ProviderUpdateRecord(ukModify, *Delta));

  const struct {
    TUpdateKind Kind;
    TUpdateAction Answer;
    bool Handled;
  } Cases[] = {{ukModify, uaFail, false},   {ukInsert, uaAbort, false},
               {ukDelete, uaSkip, false},   {ukModify, uaRetry, false},
               {ukInsert, uaApplied, true}, {ukDelete, uaApplied, true}};
  for (const auto& C : Cases) {
    int Calls = 0;
    D->SetOnUpdateRecord([&](TDataSet& DataSet, TUpdateKind Kind, TUpdateAction& Action) {
      ++Calls;
      EXPECT_EQ(&DataSet, Delta.get());
      EXPECT_EQ(Kind, C.Kind);
      EXPECT_EQ(Action, uaFail);
      Action = C.Answer;
    });
    EXPECT_EQ(D->ProviderUpdateRecord(C.Kind, *Delta), C.Handled) << int(C.Answer);
    EXPECT_EQ(Calls, 1);
  }

  // A handler that leaves the action has not handled the record; one that raises propagates.
  D->SetOnUpdateRecord([](TDataSet&, TUpdateKind, TUpdateAction&) {});
  EXPECT_FALSE(D->ProviderUpdateRecord(ukInsert, *Delta));
  D->SetOnUpdateRecord([](TDataSet&, TUpdateKind, TUpdateAction&) { throw EDatabaseError("no"); });
  EXPECT_THROW(D->ProviderUpdateRecord(ukDelete, *Delta), EDatabaseError);
}

} // namespace
