// DatabaseTestSupport.h: several test tables of one database, reachable from each other through
// side cursors, and fake foreign-key routines.
//
// TTestDatabase owns its tables (TTestTableData over the fake index), one owner (object ids and
// the write gate) and registers, for its life, a side-cursor factory that opens a TTestCursor on
// a table of the database by name, attaching it, and detaches it when closed. TFakeForeignKeys
// stands for the foreign-key unit: it records its calls, and the tests decide what the parent
// check answers and which routine fails.
//
// Threads: the tables may be used from several threads; the registrations are the test's.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tests/storage/TableTestSupport.h"

namespace tolvan::test {

class TFakeForeignKeys : public TTolvanForeignKeyRoutines {
public:
  TFakeForeignKeys();
  ~TFakeForeignKeys() override;

  void ValidateForeignKey(TTolvanTableData& Table, TTolvanConstraintDefForeignKey& Key,
                          TTolvanCursor& Parent) override;
  void CheckExistingRows(TTolvanTableData& Table, TTolvanCursor& Child, TTolvanCursor& Parent,
                         const TTolvanConstraintDefForeignKey& Key) override;
  bool CheckForeignKeyParent(TTolvanTableData& Table, TTolvanCursor& Child, int32_t SessionID,
                             const TTolvanConstraintDefForeignKey& Key,
                             const uint8_t* Buffer) override;
  void RenameForeignKeyReferences(TTolvanTableData& Table, TTolvanCursor* Cursor,
                                  std::string_view OldName, std::string_view NewName) override;
  AnsiString StripTemporaryFKName(std::string_view Name) override;

  // What CheckForeignKeyParent answers (true: the parent is missing).
  std::function<bool(const TTolvanConstraintDefForeignKey&, const uint8_t*)> ParentMissing;
  // Native code ValidateForeignKey / CheckExistingRows raise; 0 for none.
  int32_t ValidateFails = 0;
  int32_t ExistingRowsFail = 0;
  // Every call, by routine name and table name.
  std::vector<std::string> Calls;

private:
  TTolvanForeignKeyRoutines* FPrevious;
};

class TTestDatabase {
public:
  TTestDatabase();
  ~TTestDatabase();

  // A table of the database, created from the definitions.
  TTestTableData& Create(std::string_view Name, TTolvanFieldDefs& Fields, TTolvanIndexDefs& Indexes,
                         TTolvanConstraintDefs& Constraints);
  TTestTableData& Table(std::string_view Name);
  // A cursor of Session on the table (not attached), with a record buffer of its layout.
  std::unique_ptr<TTestCursor> NewCursor(std::string_view Name, TTolvanBaseSession* Session);
  // Drops every table's indexes and closes the stores.
  void CloseAll();

  TTestOwner Owner;
  TTestSession Session{1};
  // Shared by the indexes of every table.
  std::shared_ptr<TFakeIndexHooks> Hooks = std::make_shared<TFakeIndexHooks>();
  // Side cursors opened and closed so far.
  int32_t SideOpened = 0;
  int32_t SideClosed = 0;
  // Native code the next side-cursor Close raises; 0 for none.
  int32_t CloseFails = 0;

private:
  std::map<std::string, std::unique_ptr<TTestTableData>> FTables;
  TTolvanSideCursorFactory FPrevious;
};

// "A, B, C": the names of the table's constraints in order.
std::string ConstraintNames(const TTolvanTableData& Table);

} // namespace tolvan::test
