// TolvanTargetBinding.h: how a statement or an expression binds the dataset it opens for a
// named table (or a derived table's query) to its database, session and table.
//
// The setters of a dataset interact: naming a database recomputes the in-memory flag from the
// registry of memory databases, and setting the flag names "MEMORY". So the order in which the
// names are applied decides where the table is:
//   - 4.00 sets the flag first and then a named database: a named database wins, and the flag
//     follows whether that database is a memory database;
//   - 3.90 names the database, the session (also an empty one) and the table, and sets the
//     flag last: a set flag always means "MEMORY", a clear one the named database with the
//     flag off.
// Each kind of dataset also takes its names from different places (the statement's parse, the
// owner query, the FROM item); TTolvanTargetNames carries all of them and the release's binding
// picks. Every binding point of sql/ and LASTAUTOINC's database go through TargetBinding, so the
// order lives here once.
//
// Threads: the bindings are stateless; a dataset is bound by the thread that owns it.
#pragma once

#include <cstdint>
#include <string_view>

#include "classlib/Strings.h"
#include "foundation/TolvanRelease.h"

namespace tolvan {

class TTolvanDataSet;

enum class TTolvanTargetKind : uint8_t {
  // The table a statement works on: INSERT's target, CREATE/DROP/ALTER/RENAME TABLE, CREATE
  // and DROP INDEX.
  StatementTable,
  // A FROM item naming a table.
  FromTable,
  // The query that runs a FROM item's sub-query.
  DerivedTable,
  // The SELECT INTO target, also the copy that takes its place after a TOP or ORDER BY.
  IntoTable,
};

struct TTolvanTargetNames {
  TTolvanTargetKind Kind = TTolvanTargetKind::FromTable;
  // What the statement (or the FROM item, or the INTO clause with its defaults) names; an empty
  // database names none.
  std::string_view DatabaseName;
  std::string_view TableName;
  bool InMemory = false;
  // The FROM item's session; for the other kinds the owner query's is used.
  std::string_view SessionName;
  // The owner query's.
  std::string_view QueryDatabaseName;
  std::string_view QuerySessionName;
  bool QueryInMemory = false;
};

class ITolvanTargetBinding {
public:
  virtual ~ITolvanTargetBinding() = default;
  // Applies Names to a closed dataset; the table name only to a TTolvanTable.
  virtual void Bind(TTolvanDataSet& DataSet, const TTolvanTargetNames& Names) const = 0;
  // The database LASTAUTOINC opens its table in, from the expression's database name and the
  // expression's in-memory flag (or the MEMORY keyword of the call).
  virtual AnsiString AutoIncDatabase(std::string_view DatabaseName, bool InMemory) const = 0;
};

// The 4.00 binding.
class TTolvanTargetBinding400 final : public ITolvanTargetBinding {
public:
  void Bind(TTolvanDataSet& DataSet, const TTolvanTargetNames& Names) const override;
  AnsiString AutoIncDatabase(std::string_view DatabaseName, bool InMemory) const override;
};

extern TTolvanReleaseVariant<ITolvanTargetBinding> TargetBinding;

// TargetBinding->Bind(DataSet, Names).
void BindTarget(TTolvanDataSet& DataSet, const TTolvanTargetNames& Names);

} // namespace tolvan
