// TolvanFieldManager.h: a table's column definitions and the preparation of new records.
//
// ApplyDefaults fills a new record, whose every null bit the caller has set, with the columns'
// default values and, when asked, with fresh auto-increment values; an auto-increment value
// replaces a default of the same column. Values are written by the bounded column writer: a
// default never writes past its column (text is cut to whole characters and terminated), a
// default of another value type than the column's is converted first (30051 when it does not
// convert), and an auto-increment value outside the column's integer range raises 30009
// "Sequence '%s' overflow" before the column is written. Columns handled before a failure keep
// their values. BLOB columns take no default here: their values live outside the record.
//
// Ownership: the manager owns its field definitions; the table data and the sequence manager
// are referred to. The sequence manager is created before the field manager and outlives it.
//
// Threads: no lock of its own; callers hold the table lock (in-memory tables) or are a temporary
// table's one user.
#pragma once

#include <cstdint>

#include "classlib/Classes.h"
#include "schema/TolvanMetaObjectDefs.h"
#include "schema/TolvanSession.h"

namespace tolvan {

class TTolvanTableData;
class TTolvanBaseSequenceManager;

class TTolvanBaseFieldManager {
public:
  TTolvanBaseFieldManager(TTolvanTableData* TableData,
                          TTolvanBaseSequenceManager* SequenceManager) noexcept
      : FTableData(TableData), FSequenceManager(SequenceManager) {}
  virtual ~TTolvanBaseFieldManager() = default;
  TTolvanBaseFieldManager(const TTolvanBaseFieldManager&) = delete;
  TTolvanBaseFieldManager& operator=(const TTolvanBaseFieldManager&) = delete;

  TTolvanFieldDefs& FieldDefs() noexcept { return FFieldDefs; }
  const TTolvanFieldDefs& FieldDefs() const noexcept { return FFieldDefs; }
  TTolvanTableData* TableData() const noexcept { return FTableData; }
  TTolvanBaseSequenceManager* SequenceManager() const noexcept { return FSequenceManager; }
  // The table data rebinds the manager when it replaces its sequence manager.
  void SetSequenceManager(TTolvanBaseSequenceManager* Value) noexcept { FSequenceManager = Value; }
  // The version of the field forms this manager writes; the forms do not vary with it.
  double StreamVersion() const noexcept { return FStreamVersion; }

  // The definitions' collection block. Loading does not lay the record out: the loader runs
  // CalcLayout before the layout is used.
  virtual void LoadFromStream(TStream& Stream);
  virtual void SaveToStream(TStream& Stream);

  // Buffer is a record of the table's layout (CalcLayout). Without defaults and auto-increment
  // columns (as of the last CalcLayout) it is left untouched. Session keeps the drawn values;
  // with ApplyAutoInc cleared nothing is drawn.
  void ApplyDefaults(TTolvanBaseSession* Session, uint8_t* Buffer, bool ApplyAutoInc);

private:
  void ApplyDefaultValue(int32_t FieldNo, const TTolvanFieldDef& Def, uint8_t* Buffer);
  void ApplyAutoIncValue(TTolvanBaseSession* Session, int32_t FieldNo, const TTolvanFieldDef& Def,
                         uint8_t* Buffer);

  TTolvanFieldDefs FFieldDefs;
  TTolvanTableData* FTableData;
  TTolvanBaseSequenceManager* FSequenceManager;
  double FStreamVersion = 4.0;
};

} // namespace tolvan
