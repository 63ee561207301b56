// Arbitrary text (at most 4 KB; longer inputs are ignored) as a whole SQL script: the tokenizer
// cuts it into statements and each runs through one query component on the in-memory database,
// a statement that starts with SELECT opened and a bounded number of its rows read, any other
// executed. A failing statement does not stop the script. A record budget bounds every loop the
// script drives (scans, joins, copies, DML, index builds) and makes operations fail part-way.
//
// Only Exception-derived errors may come out. After each input every table of every registered
// database must pass the store-and-index check; then the databases the input made are freed and
// the tables it left in MEMORY and TEMP dropped, after which the registry, the allocator's live
// blocks and the sessions must be as they were before the input. Any difference aborts with a
// message naming it.
//
// The first byte picks the release (FuzzRelease.h): an input of the other release than the last
// one stops the registries, selects its release and starts them again; the script's text is the
// rest.
//
// Triage of one input: FUZZ_SQL_VERBOSE=1 prints each statement and its outcome.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "classlib/Components.h"
#include "classlib/DBFields.h"
#include "classlib/DBParams.h"
#include "classlib/SysUtils.h"
#include "components/TolvanComponentStartup.h"
#include "components/TolvanQuery.h"
#include "components/TolvanSession.h"
#include "foundation/TolvanExcept.h"
#include "foundation/TolvanMemory.h"
#include "release390/TolvanRelease390.h"
#include "schema/expr/TolvanLexer.h"
#include "sql/TolvanSQLStartup.h"
#include "storage/TolvanDatabaseData.h"
#include "storage/local/TolvanRecordBudget.h"
#include "storage/memory/TolvanMemoryEngine.h"
#include "tests/storage/MemoryEngineTestSupport.h"
#include "tools/fuzz/FuzzRelease.h"

using namespace tolvan;

namespace {

constexpr size_t MaxInput = 4096;
constexpr int64_t Budget = 200000;
constexpr int32_t MaxRowsRead = 500;

const bool Verbose = std::getenv("FUZZ_SQL_VERBOSE") != nullptr;

[[noreturn]] void Fail(const std::string& What) {
  std::fprintf(stderr, "fuzz_sql_script: %s\n", What.c_str());
  std::fflush(stderr);
  std::abort();
}

void Report(std::string_view Step, std::string_view Sql, const Exception* E) {
  if (!Verbose)
    return;
  std::fprintf(stderr, "%.*s: %.*s\n  -> %s\n", int(Step.size()), Step.data(), int(Sql.size()),
               Sql.data(), E ? E->Message().c_str() : "ok");
}

// The statements of the script as text slices. A tokenizer error ends the cut: the rest of the
// text goes to the query as one last statement, so that the query meets the error itself.
std::vector<std::string_view> CutStatements(std::string_view Text) {
  std::vector<std::string_view> Out;
  TTolvanLexer Lexer(Text, nullptr);
  for (;;) {
    const size_t Begin = size_t(Lexer.StatementStart());
    try {
      if (!Lexer.NextStatement())
        break;
    } catch (const Exception&) {
      if (Begin < Text.size())
        Out.push_back(Text.substr(Begin));
      break;
    }
    const size_t End = std::min(Text.size(), size_t(Lexer.StatementStart()));
    if (End > Begin)
      Out.push_back(Text.substr(Begin, End - Begin));
    if (End <= Begin)
      break;
  }
  return Out;
}

bool StartsWithSelect(std::string_view Sql) {
  try {
    TTolvanLexer Lexer(Sql, nullptr);
    TToken Token;
    if (!Lexer.NextStatement() || !Lexer.CurrentToken(Token))
      return false;
    return SameText(Token.Text, "SELECT");
  } catch (const Exception&) {
    return false;
  }
}

// Integers, texts and nulls in turn.
void SetParams(TParams& Params) {
  for (int32_t I = 0; I < Params.Count(); ++I) {
    TParam& P = Params.Items(I);
    switch (I % 3) {
    case 0:
      P.SetAsInteger(1);
      break;
    case 1:
      P.SetAsString("abc");
      break;
    default:
      P.Clear();
      break;
    }
  }
}

void RunStatement(TTolvanQuery& Q, std::string_view Sql) {
  try {
    Q.SetSQLText(Sql);
    SetParams(Q.Params());
    if (StartsWithSelect(Sql)) {
      Q.Open();
      int32_t Rows = 0;
      for (Q.First(); !Q.Eof() && Rows < MaxRowsRead; Q.Next(), ++Rows)
        for (int32_t F = 0; F < Q.Fields().Count(); ++F)
          (void)Q.Fields()[F].AsString();
      Q.Close();
      Report("open", Sql, nullptr);
    } else {
      Q.ExecSQL();
      Report("exec", Sql, nullptr);
    }
  } catch (const Exception& E) {
    Report("fail", Sql, &E);
    try {
      Q.Close();
    } catch (const Exception&) {
    }
  }
  try {
    Q.Unprepare();
  } catch (const Exception&) {
  }
}

void RunScript(std::string_view Text) {
  TTolvanRecordBudgetScope Scope(Budget);
  TComponentPtr<TTolvanQuery> Q = MakeComponent<TTolvanQuery>();
  Q->SetInMemory(true);
  for (std::string_view Sql : CutStatements(Text))
    RunStatement(*Q, Sql);
}

// --- the state an input must leave as it found ----------------------------------------------

struct TState {
  std::vector<TTolvanDatabaseData*> Databases;
  int32_t Sessions = 0;       // session components listed
  int32_t EngineSessions = 0; // engine sessions attached to databases
  int64_t LiveBlocks = 0;
};

TState Snapshot() {
  TState S;
  TTolvanDatabaseRegistry& Registry = DatabaseRegistry();
  for (int32_t I = 0; I < Registry.Count(); ++I) {
    TTolvanDatabaseData* Db = Registry.Items(I);
    S.Databases.push_back(Db);
    S.EngineSessions += Db->SessionCount();
  }
  S.Sessions = SessionListExists() ? SessionList().Count() : 0;
  S.LiveBlocks = TTolvanMemoryManager::LiveBlockCount();
  return S;
}

void CheckTables() {
  TTolvanDatabaseRegistry& Registry = DatabaseRegistry();
  for (int32_t I = 0; I < Registry.Count(); ++I) {
    TTolvanDatabaseData* Db = Registry.Items(I);
    std::vector<TTolvanTableData*> Tables;
    for (const auto& T : Db->Tables())
      Tables.push_back(T.get());
    for (TTolvanTableData* T : Tables) {
      auto* Table = dynamic_cast<TTolvanMemoryTableData*>(T);
      if (!Table)
        continue;
      std::string Faults;
      try {
        Faults = test::MemoryTableFaults(*Table, 0);
      } catch (const Exception& E) {
        Faults = "check raised: " + std::string(E.Message());
      }
      if (!Faults.empty())
        Fail("table " + std::string(Table->TableName()) + " of database " +
             std::string(Db->DatabaseName()) + ": " + Faults);
    }
  }
}

// Frees the databases the input made and empties MEMORY and TEMP.
void DropWhatTheInputMade(const TState& Before) {
  TTolvanDatabaseRegistry& Registry = DatabaseRegistry();
  for (int32_t I = Registry.Count() - 1; I >= 0; --I) {
    TTolvanDatabaseData* Db = Registry.Items(I);
    bool Standing = false;
    for (TTolvanDatabaseData* B : Before.Databases)
      Standing = Standing || B == Db;
    if (Standing) {
      Db->FreeAllTables();
      continue;
    }
    const std::string Name(Db->DatabaseName());
    try {
      Registry.Free(*Db);
    } catch (const Exception& E) {
      Fail("database " + Name + " the input made cannot be freed: " + std::string(E.Message()));
    }
  }
}

void CheckRestored(const TState& Before) {
  const TState After = Snapshot();
  if (After.Databases != Before.Databases)
    Fail("the registry holds " + std::to_string(After.Databases.size()) +
         " database(s), before the input " + std::to_string(Before.Databases.size()));
  if (After.Sessions != Before.Sessions)
    Fail("session components: " + std::to_string(After.Sessions) + ", before the input " +
         std::to_string(Before.Sessions));
  if (After.EngineSessions != Before.EngineSessions)
    Fail("engine sessions attached: " + std::to_string(After.EngineSessions) +
         ", before the input " + std::to_string(Before.EngineSessions));
  if (After.LiveBlocks != Before.LiveBlocks)
    Fail("live engine blocks: " + std::to_string(After.LiveBlocks) + ", before the input " +
         std::to_string(Before.LiveBlocks));
}

void RunInput(std::string_view Text) {
  const TState Before = Snapshot();
  RunScript(Text);
  CheckTables();
  DropWhatTheInputMade(Before);
  CheckRestored(Before);
}

// Starts the registries. What the first script sets up once for them (the default session, the
// standing databases' first use) is not the input's to give back.
void StartEngine() {
  InitComponentRegistries();
  RunScript("CREATE TABLE warm (a INTEGER, b VARCHAR(5)); INSERT INTO warm VALUES (1, 'x');"
            "CREATE INDEX warm_a ON warm (a); SELECT * FROM warm; DROP TABLE warm");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  static const bool Started = [] {
    InstallRelease390();
    InitSQLLayer();
    StartEngine();
    return true;
  }();
  (void)Started;
  if (Size == 0 || Size - 1 > MaxInput)
    return 0;
  if (fuzz::SwitchNeeded(Data[0])) {
    FreeComponentRegistries();
    fuzz::SelectInputRelease(Data[0]);
    StartEngine();
  }
  RunInput(std::string_view(reinterpret_cast<const char*>(Data) + 1, Size - 1));
  return 0;
}
