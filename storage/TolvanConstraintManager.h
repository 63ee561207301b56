// TolvanConstraintManager.h: a table's constraint definitions, their binding to the table's
// columns and indexes, their names, and the check of a record against them before it is stored.
//
// The definitions keep the order in which they were given or added, and CheckRecord walks them
// in that order, so the first violated constraint decides what is reported. While NoConstraints
// is set the table skips the check entirely; it is cleared when definitions are loaded or added
// for an index and recomputed by ResolveAll and RemoveForIndex. An empty load leaves it as it was.
//
// Which reference of a definition means what:
//
//   type                 Reserved1 / Table       Reserved2 / Partner          Index / Column
//   primary key, unique  unused                  this table's name            the backing index
//   not null, check      unused                  this table's name            the column
//   foreign key          the referenced table    the action record there      -
//   foreign-key action   the referencing table   its foreign key there        -
//
// Primary-key and unique columns and foreign-key columns are bound by name to the columns'
// object ids (ResolveIDs); CheckRecord finds columns by these ids.
//
// Foreign keys are checked through the routines the foreign-key unit registers
// (TTolvanForeignKeyRoutines, TolvanTableData.h); actions on delete and update are theirs too.
//
// Ownership: the manager owns its definitions; the table data owns the manager.
//
// Threads: no lock of its own; callers hold the table lock of an in-memory table.
#pragma once

#include <cstdint>
#include <string_view>

#include "classlib/Classes.h"
#include "schema/TolvanCursor.h"
#include "schema/TolvanMetaObjectDefs.h"

namespace tolvan {

class TTolvanTableData;

// Native codes of the constraint manager.
inline constexpr int32_t ErrCheckNotNullFieldID = 30024;
inline constexpr int32_t ErrCheckNotNullViolated = 30026;
inline constexpr int32_t ErrResolveColumnNotFound = 30027;
inline constexpr int32_t ErrCheckRangeFieldID = 30028;
inline constexpr int32_t ErrCheckMinViolated = 30029;
inline constexpr int32_t ErrCheckMaxViolated = 30030;
inline constexpr int32_t ErrCheckUnknownType = 30036;
inline constexpr int32_t ErrResolveUnknownType = 30037;
inline constexpr int32_t ErrAutoNameUnknownType = 30038;
inline constexpr int32_t ErrSetConstraintsUnknownType = 30040;
inline constexpr int32_t ErrCheckPrimaryDuplicate = 30319;
inline constexpr int32_t ErrCheckUniqueDuplicate = 30320;
inline constexpr int32_t ErrResolvePrimaryIndex = 30325;
inline constexpr int32_t ErrResolveUniqueIndex = 30326;
inline constexpr int32_t ErrCheckPrimaryFieldID = 30329;
inline constexpr int32_t ErrCheckPrimaryNull = 30330;
inline constexpr int32_t ErrResolvePrimaryField = 30331;
inline constexpr int32_t ErrResolveUniqueField = 30332;
inline constexpr int32_t ErrResolveForeignKeyField = 11419;
inline constexpr int32_t ErrCheckForeignKeyViolated = 11420;

class TTolvanBaseConstraintManager {
public:
  // Empty definitions; NoConstraints set.
  explicit TTolvanBaseConstraintManager(TTolvanTableData& TableData);
  TTolvanBaseConstraintManager(const TTolvanBaseConstraintManager&) = delete;
  TTolvanBaseConstraintManager& operator=(const TTolvanBaseConstraintManager&) = delete;

  TTolvanConstraintDefs& ConstraintDefs() noexcept { return FConstraintDefs; }
  const TTolvanConstraintDefs& ConstraintDefs() const noexcept { return FConstraintDefs; }
  TTolvanTableData& TableData() const noexcept { return FTableData; }
  bool NoConstraints() const noexcept { return FNoConstraints; }
  void SetNoConstraints(bool Value) noexcept { FNoConstraints = Value; }

  // The collection's block. A block read whole replaces the definitions (a failed read leaves
  // them as they were); reading at least one clears NoConstraints.
  void LoadFromStream(TStream& Stream);
  void SaveToStream(TStream& Stream) const;

  // Binds Def's column and index names to object ids of the table's definitions.
  void ResolveIDs(TTolvanConstraintDef& Def);
  // ResolveIDs of every definition in order; returns NoConstraints, now whether there are none.
  bool ResolveAll();
  // Names every unnamed definition; a name already taken gets a random number appended.
  void AutoName();
  // A primary or unique index gets its constraint, named after it; other indexes nothing.
  void AddForIndex(const TTolvanIndexDef& Def);
  // Deletes the primary-key or unique constraint backed by the index; returns NoConstraints.
  bool RemoveForIndex(int32_t IndexID);
  // Appends to the referenced table's definitions the action record of Key, named Key's name +
  // "_Action" (or a unique name when that is taken), and returns it.
  static TTolvanConstraintDefForeignKeyAction&
  MakeForeignKeyAction(TTolvanBaseConstraintManager& Referenced,
                       const TTolvanConstraintDefForeignKey& Key, std::string_view ReferencingTable,
                       int32_t ReferencingTableID);
  // Raises on the first constraint, in definition order, that the record in Buffer violates.
  // OldBuffer is the record before an update; ID the record's id.
  void CheckRecord(TTolvanCursor& Cursor, int32_t SessionID, const uint8_t* Buffer,
                   const uint8_t* OldBuffer, bool IsInsert, const TTolvanRecordID& ID,
                   bool SkipForeignKeys);

private:
  const TTolvanFieldDefs& Fields() const;
  void ResolveKeyColumns(TTolvanConstraintDefUnique& Def, int32_t IndexCode, int32_t FieldCode);
  // A name not yet taken: Whole (cut to a short string), or it with a number appended.
  AnsiString FreeName(const AnsiString& Whole) const;
  void CheckKey(const TTolvanConstraintDefUnique& Def, int32_t SessionID, const uint8_t* Buffer,
                const uint8_t* OldBuffer, bool IsInsert, const TTolvanRecordID& ID);
  void CheckRange(const TTolvanConstraintDefCheck& Def, const uint8_t* Buffer);

  TTolvanConstraintDefs FConstraintDefs;
  TTolvanTableData& FTableData;
  bool FNoConstraints = true;
};

} // namespace tolvan
