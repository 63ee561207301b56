// TestDataSet.h: a dataset over a table of the held database, logging the framework's calls, and
// tables made through the engine for it.
//
// TTestDataSet's CreateCursor opens a local cursor on TableName through the engine session of
// the database the dataset holds, as the table component will. Every hook the framework calls
// is appended to Log by name, so a test reads the order of an open or close. FailAt names a hook
// that raises instead (once per Arm), so a test can break an open at any step.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "components/TolvanDataSet.h"
#include "components/TolvanDatabase.h"
#include "schema/TolvanMetaObjectDefs.h"

namespace tolvan::test {

// What a failing hook raises.
struct TInjectedFault : std::runtime_error {
  explicit TInjectedFault(const std::string& Where) : std::runtime_error("injected: " + Where) {}
};

class TTestDataSet : public TTolvanDataSet {
public:
  AnsiString TableName;
  std::vector<std::string> Log;
  // The hook that raises ("CreateCursor", "LoadFieldDefs", "InitKeyBuffer", "PrepareCursor",
  // "OpenData", ...); empty for none. InitKeyBuffer fails on call FailCount (1-based).
  std::string FailAt;
  int32_t FailCount = 1;
  // CreateCursor answers nil.
  bool NilCursor = false;

  std::string Joined() const;
  void ClearLog() { Log.clear(); }

  // Protected steps, reachable for tests.
  using TTolvanDataSet::AllocKeyBuffers;
  using TTolvanDataSet::BuildIndexFieldMap;
  using TTolvanDataSet::CancelRangeKeys;
  using TTolvanDataSet::DestroyCursor;
  using TTolvanDataSet::ExchangeDefs;
  using TTolvanDataSet::FreeKeyBuffers;
  void InitKeyBuffer(uint8_t* Buffer) override;
  using TTolvanDataSet::OpenDatabase;
  using TTolvanDataSet::SetEditedKeyBuffer;
  using TTolvanDataSet::SetFilterBuffer;

protected:
  TTolvanCursor* CreateCursor() override;
  void DestroyCursor() override;
  void PrepareCursor() override;
  void OpenEngineCursor(bool InfoQuery) override;
  void OpenData() override;
  void CloseEngineCursor() override;
  void CloseData() override;
  void LoadFieldDefs() override;
  int32_t RecordBufferSize() override;
  uint8_t* NewRecordBuffer() override;
  void DisposeRecordBuffer(uint8_t* Buffer) override;
  void MoveToBegin() override;
  TGetResult FetchRecord(uint8_t* Buffer, TGetMode Mode, bool DoCheck) override;
  void BeginInsertRecord() override;
  void CancelRecord() override;

private:
  void Step(const char* Name);
  int32_t FKeyInits = 0;
};

// Creates table Name from the definitions through a local cursor of the database's engine
// session (which must be connected).
void MakeEngineTable(TTolvanDatabase& Database, std::string_view Name, TTolvanFieldDefs& Fields,
                     TTolvanIndexDefs& Indexes, TTolvanConstraintDefs& Constraints);
// The same in the registered database DatabaseName ("MEMORY" by default), through a scratch
// session of its own that is gone afterwards.
void MakeEngineTable(std::string_view DatabaseName, std::string_view Name, TTolvanFieldDefs& Fields,
                     TTolvanIndexDefs& Indexes, TTolvanConstraintDefs& Constraints);
// A plain table in DatabaseName: ID integer (primary index "PK"), Name varchar(20), NOT NULL
// when NameRequired.
void MakeSimpleTable(std::string_view DatabaseName, std::string_view Name,
                     bool NameRequired = false);

} // namespace tolvan::test
