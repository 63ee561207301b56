// FakeSQLProcessor.h: a stand-in for the SQL layer's processor, so the query component can be
// tested without it, and the scope that registers it.
//
// The fake reads a one-statement text of whitespace-separated words:
//   SELECT * FROM <table> [WHERE <field> = :<param>]   a local cursor over the existing table
//                                                       (read-only unless RequestLive), with
//                                                       the condition as its external filter
//   UPDATE <n> ...                                      no cursor, n rows affected (64-bit);
//                                                       later words are ignored
//   FAIL                                                raises 12345 "Injected failure"
// Anything else raises 12346 when run. Without parameters every run counts as a parse; with
// them the first run keeps its "commands" and later runs do not parse again.
//
// Every processor made, run, parsed and freed is counted in the log, with the parameter values
// of the last run as "name:type:value" ("NULL" for a null).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "components/TolvanQuery.h"
#include "schema/TolvanSQLProcessor.h"

namespace tolvan::test {

struct TFakeSQLLog {
  int32_t Makes = 0;
  int32_t Runs = 0;
  int32_t Parses = 0;
  int32_t Frees = 0;
  bool LastRequestLive = false;
  bool LastInMemory = false;
  std::vector<std::string> Params;
};

class TFakeSQLProcessor : public TTolvanSQLProcessor {
public:
  TFakeSQLProcessor(TTolvanQuery& Query, TFakeSQLLog& Log);
  ~TFakeSQLProcessor() override;

  TTolvanCursor* Execute() override;

private:
  void CloseCursor() noexcept;

  TTolvanQuery& FQuery;
  TFakeSQLLog& FLog;
  std::unique_ptr<TTolvanCursor> FCursor;
};

// Registers the fake (logging into Log) for the scope; puts back what was registered before.
class TScopedFakeSQLProcessor {
public:
  explicit TScopedFakeSQLProcessor(TFakeSQLLog& Log);
  ~TScopedFakeSQLProcessor();
  TScopedFakeSQLProcessor(const TScopedFakeSQLProcessor&) = delete;
  TScopedFakeSQLProcessor& operator=(const TScopedFakeSQLProcessor&) = delete;

private:
  TTolvanSQLProcessorMaker FPrevious;
};

} // namespace tolvan::test
