#include "tests/components/support/FakeSQLProcessor.h"

#include <sstream>

#include "foundation/TolvanExcept.h"
#include "schema/expr/TolvanExpression.h"
#include "storage/local/TolvanLocalCursor.h"

namespace tolvan::test {

namespace {

std::vector<std::string> Words(const std::string& Text) {
  std::istringstream In(Text);
  std::vector<std::string> Out;
  for (std::string W; In >> W;)
    if (W != ";")
      Out.push_back(W);
  return Out;
}

// ":name" or ":`name`" as the query's rewrite writes it.
std::string ParamName(std::string Word) {
  if (!Word.empty() && Word.front() == ':')
    Word.erase(0, 1);
  if (Word.size() >= 2 && Word.front() == '`' && Word.back() == '`')
    Word = Word.substr(1, Word.size() - 2);
  return Word;
}

} // namespace

TFakeSQLProcessor::TFakeSQLProcessor(TTolvanQuery& Query, TFakeSQLLog& Log)
    : FQuery(Query), FLog(Log) {
  ++FLog.Makes;
}

TFakeSQLProcessor::~TFakeSQLProcessor() {
  CloseCursor();
  ++FLog.Frees;
}

void TFakeSQLProcessor::CloseCursor() noexcept {
  if (!FCursor)
    return;
  try {
    FCursor->CloseTable();
  } catch (...) {
  }
  FCursor.reset();
}

TTolvanCursor* TFakeSQLProcessor::Execute() {
  TTolvanSQLProcessor::Execute();
  ++FLog.Runs;
  if (NotPrepared()) {
    ++FLog.Parses;
    SetNotPrepared(Params().Count() == 0);
  }
  FLog.LastRequestLive = RequestLive();
  FLog.LastInMemory = InMemory();
  FLog.Params.clear();
  for (int32_t I = 0; I < Params().Count(); ++I) {
    const TTolvanSQLParam& P = Params().Items(I);
    FLog.Params.push_back(std::string(P.Name()) + ":" +
                          std::string(ValueTypeToSQLName(P.DataType())) + ":" +
                          (P.IsNull() ? std::string("NULL") : std::string(P.GetAsString())));
  }
  CloseCursor();
  const std::vector<std::string> W = Words(SQL());
  if (W.size() == 1 && W[0] == "FAIL")
    throw ETolvanException::Create(12345, "Injected failure");
  if (W.size() >= 2 && W[0] == "UPDATE") {
    SetRowsAffected(std::stoll(W[1]));
    return nullptr;
  }
  if (W.size() < 4 || W[0] != "SELECT" || W[2] != "FROM")
    throw ETolvanException::Create(12346, "Not understood");
  auto Made = std::make_unique<TTolvanLocalCursor>();
  Made->SetSession(FQuery.Database()->EngineSession());
  Made->SetTableName(W[3]);
  Made->SetInMemory(false);
  Made->SetReadOnly(!RequestLive());
  Made->OpenTable(nullptr, nullptr, nullptr);
  FCursor = std::move(Made);
  if (W.size() == 8 && W[4] == "WHERE" && W[6] == "=") {
    const TTolvanSQLParam* P = Params().FindByName(ParamName(W[7]));
    const std::string Value = P && !P->IsNull() ? std::string(P->GetAsString()) : "NULL";
    auto Filter = std::make_unique<TTolvanExpression>();
    Filter->ParseFilter(FCursor.get(), W[5] + (Value == "NULL" ? " IS NULL" : " = " + Value), false,
                        false);
    FCursor->SetExternalFilter(std::move(Filter));
  }
  SetReadOnlyResult(!RequestLive());
  return FCursor.get();
}

TScopedFakeSQLProcessor::TScopedFakeSQLProcessor(TFakeSQLLog& Log)
    : FPrevious(RegisterSQLProcessorMaker([&Log](TTolvanQuery& Query) {
        return std::unique_ptr<TTolvanSQLProcessor>(new TFakeSQLProcessor(Query, Log));
      })) {}

TScopedFakeSQLProcessor::~TScopedFakeSQLProcessor() {
  RegisterSQLProcessorMaker(std::move(FPrevious));
}

} // namespace tolvan::test
