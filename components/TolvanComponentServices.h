// TolvanComponentServices.h: the component layer's services to expressions (IExprServices):
// sub-queries, LASTAUTOINC and the value sets of DISTINCT aggregates.
//
// A sub-query runs through a TTolvanQuery (its processor comes from the SQL layer).
//
// Start-up registers one instance (RegisterComponentServices) and shutdown withdraws it first,
// before any session or database goes.
//
// LASTAUTOINC opens the named database through its session (OpenDatabase, as a dataset would)
// and a read-only cursor on the table in that database's engine session, and resolves the
// column's sequence there. Each read then touches only the engine session's named object, so a
// LASTAUTOINC evaluated inside another table's scan takes no table lock. Freeing the handle
// closes the cursor, then releases the database (CloseDatabase).
//
// A DISTINCT set keeps each value as a column of the set's type and size would store it: text
// cut to the column, numbers converted to its type. Two values are the same when their stored
// bytes are equal (case counts, whole values); null equals null, and an empty text, stored as
// null, is null. Its memory comes from the engine's allocator.
//
// Threads: the services object is stateless and may be used from any thread; a handle serves
// one thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

#include "components/TolvanDataSet.h" // ErrCannotOpenDatabase
#include "schema/expr/TolvanExprServices.h"

namespace tolvan {

class TTolvanComponentServices : public IExprServices {
public:
  // A prepared query component without owner in the named session and database ("MEMORY"
  // for an unnamed in-memory one), its parameters taking the values of same-named Params. The
  // handle's Open runs it and keeps its first column in memory, hashed where the column's type
  // allows; every other call answers from there, LocateFirstField exactly as the dataset's
  // Locate on the first column would. Open reports (debug builds) a table lock held by the
  // calling thread.
  std::unique_ptr<IExprSubQuery> PrepareSubQuery(std::string_view SQL, const TParams* Params,
                                                 bool InMemory, std::string_view DatabaseName,
                                                 std::string_view SessionName) override;
  // Session by name (20002); the database by name, "MEMORY" for an unnamed in-memory one (none
  // opened: 11245); the column ignoring case (30337). Reads answer as the cursor's
  // GetAutoIncValue would: 30012 before this engine session drew a value, 30011 for a column
  // without a sequence.
  std::unique_ptr<IExprAutoInc> OpenAutoInc(std::string_view TableName, std::string_view FieldName,
                                            bool InMemory, std::string_view SessionName,
                                            std::string_view DatabaseName) override;
  // A bad column type raises as the field definition does (30007).
  std::unique_ptr<IExprDistinctSet> CreateDistinctSet(TTolvanFieldType FieldType,
                                                      int32_t Size) override;
};

// The process's instance.
TTolvanComponentServices& ComponentServices() noexcept;

} // namespace tolvan
