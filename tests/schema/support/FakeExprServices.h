// FakeExprServices.h: TFakeExprServices, the component layer's services to expressions as tests
// script them, and TScopedExprServices, which registers services for one scope.
//
// Sub-queries: each SQL text has canned rows (the values of their first column) that a handle
// prepared for that text returns once opened; a text without rows yields none. Preparing keeps
// a copy of the parameters it was given (LastParams) and counts the preparations.
// LocateFirstField finds a row whose first column compares equal to the key, case-sensitive,
// whole values, a null key finding a null.
//
// Auto-increment: each (table, column) pair has a canned type and value; the value can change
// between reads. An unknown pair raises 30337 "Field '%s' not found".
//
// DISTINCT sets: two values are the same when Compare (no null codes, case-sensitive, whole
// value) says equal; a null equals a null.
//
// Failures: Fail(point, code) makes every later call at that point raise ETolvanException with
// the code and the text "Injected failure", until Fail(point, 0). Every handle the services
// give out counts as open until it is freed (OpenHandleCount), so a test can see that a
// failure path freed what it had.
//
// Threads: one thread at a time.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "schema/expr/TolvanExprServices.h"

namespace tolvan::test {

class TFakeExprServices : public IExprServices {
public:
  enum TFailPoint : uint8_t {
    fpPrepare,        // PrepareSubQuery
    fpOpen,           // IExprSubQuery::Open
    fpRead,           // FirstFieldValue, LocateFirstField
    fpOpenAutoInc,    // OpenAutoInc
    fpReadAutoInc,    // IExprAutoInc::CurrentValue
    fpCreateDistinct, // CreateDistinctSet
    fpInsertDistinct, // IExprDistinctSet::InsertIfNew
    fpCount
  };

  TFakeExprServices() = default;
  ~TFakeExprServices() override;

  // Appends a row whose first column is a copy of Value to the rows of SQL.
  void AddSubQueryRow(std::string_view SQL, const TTolvanVariant& Value);
  void ClearSubQueryRows(std::string_view SQL) { FRows.erase(std::string(SQL)); }
  void SetAutoInc(std::string_view Table, std::string_view Field, TTolvanFieldType FieldType,
                  int64_t Value);
  // Code 0 ends the failure.
  void Fail(TFailPoint Point, int32_t Code) { FFailCodes[Point] = Code; }

  int32_t OpenHandleCount() const noexcept { return FOpenHandles; }
  int32_t PrepareCount() const noexcept { return FPrepareCount; }
  int32_t OpenCount() const noexcept { return FOpenCount; }
  const TParams& LastParams() const noexcept { return FLastParams; }

  std::unique_ptr<IExprSubQuery> PrepareSubQuery(std::string_view SQL, const TParams* Params,
                                                 bool InMemory, std::string_view DatabaseName,
                                                 std::string_view SessionName) override;
  std::unique_ptr<IExprAutoInc> OpenAutoInc(std::string_view TableName, std::string_view FieldName,
                                            bool InMemory, std::string_view SessionName,
                                            std::string_view DatabaseName) override;
  std::unique_ptr<IExprDistinctSet> CreateDistinctSet(TTolvanFieldType FieldType,
                                                      int32_t Size) override;

private:
  friend class TFakeHandle;
  friend class TFakeSubQuery;
  friend class TFakeAutoInc;
  friend class TFakeDistinctSet;
  using TRows = std::vector<std::unique_ptr<TTolvanVariant>>;

  void MaybeFail(TFailPoint Point) const;

  std::map<std::string, TRows, std::less<>> FRows;
  std::map<std::string, std::pair<TTolvanFieldType, int64_t>, std::less<>> FAutoIncs;
  int32_t FFailCodes[fpCount] = {};
  int32_t FOpenHandles = 0;
  int32_t FPrepareCount = 0;
  int32_t FOpenCount = 0;
  TParams FLastParams;
};

// Registers Services for the scope and puts back what was registered before.
class TScopedExprServices {
public:
  explicit TScopedExprServices(IExprServices* Services)
      : FPrevious(RegisterExprServices(Services)) {}
  ~TScopedExprServices() { RegisterExprServices(FPrevious); }
  TScopedExprServices(const TScopedExprServices&) = delete;
  TScopedExprServices& operator=(const TScopedExprServices&) = delete;

private:
  IExprServices* FPrevious;
};

} // namespace tolvan::test
