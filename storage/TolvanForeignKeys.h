// TolvanForeignKeys.h: the foreign-key work of the storage engine: validating a key against its
// parent's primary index, setting up the keys of a new table, checking a child record's parent,
// checking the rows of a table a key is added to, renaming references, and the cascade
// operations (TolvanForeignKeyActions.cpp) run before a parent record is deleted or its key
// updated.
//
// A foreign key lives in the child table; its parent holds the mirrored action record. Other
// tables are reached through side cursors opened with the caller's session. RegisterForeignKeys
// installs these routines as the process-wide TTolvanForeignKeyRoutines (StorageStartup does so
// when none are registered).
//
// Threads: every routine runs under the caller's table lock; those that open side cursors on
// other tables run under the database's write gate, taken by the caller (TolvanTableData.h).
#pragma once

#include <cstdint>
#include <string_view>

#include "classlib/Classes.h"
#include "foundation/TolvanArrays.h"
#include "schema/TolvanConstraintDef.h"
#include "schema/TolvanCursor.h"
#include "storage/TolvanTableData.h"

namespace tolvan {

// Native codes of the key's validation and set-up.
inline constexpr int32_t ErrForeignKeyNoPrimaryKey = 11442;
inline constexpr int32_t ErrForeignKeyFieldCount = 11443;
inline constexpr int32_t ErrForeignKeyFieldMissing = 11444;
inline constexpr int32_t ErrForeignKeyPrimaryFieldMissing = 11445;
inline constexpr int32_t ErrForeignKeyTypesMismatch = 11446;
inline constexpr int32_t ErrForeignKeyExistingRows = 11586;
inline constexpr int32_t ErrForeignKeyTemporaryName = 11585;
// Native codes of the parent test.
inline constexpr int32_t ErrCheckForeignKeyMatchType = 11421;
inline constexpr int32_t ErrCheckForeignKeyColumn = 11422;
inline constexpr int32_t ErrCheckForeignKeyOpenParent = 11423;
inline constexpr int32_t ErrCheckForeignKeyNoPrimaryKey = 11424;
inline constexpr int32_t ErrCheckForeignKeyColumnCount = 11425;
// Native codes of the actions.
inline constexpr int32_t ErrUpdateRestricted = 11454;
inline constexpr int32_t ErrDeleteRestricted = 11455;
inline constexpr int32_t ErrApplyInvalidAction = 11456;
inline constexpr int32_t ErrFindChildNoPrimaryKey = 11457;
inline constexpr int32_t ErrFindChildColumnCount = 11458;
inline constexpr int32_t ErrSetChildFieldMissing = 11458;
inline constexpr int32_t ErrSetChildNoPrimaryKey = 11460;
inline constexpr int32_t ErrSetChildPrimaryFieldMissing = 11461;
inline constexpr int32_t ErrSetChildInvalidAction = 11462;

// The prefix the table component gives foreign keys while it rebuilds a referenced table.
inline constexpr std::string_view TemporaryFKPrefix = "TolvanFKTNP_";

// --- validation and set-up
// ------------------------------------------------------------------------

// Refuses Key (11442-11446) when the parent table Parent is opened on cannot serve it: its
// primary index must have Key's column count and each pair of columns a common scalar type.
// Table is the child; its field definitions name the referencing columns.
void ValidateForeignKey(TTolvanTableData& Table, const TTolvanConstraintDefForeignKey& Key,
                        TTolvanCursor& Parent);

// Refuses, as SetupForeignKeys would, a foreign key among Keys that a table TableName with the
// definitions Fields and Indexes could not have: run before an existing table of that name is
// replaced, so that a refused create leaves it in place. Parents open through Session.
void ValidateNewTableForeignKeys(TTolvanBaseSession* Session, bool InMemory,
                                 std::string_view TableName, const TTolvanFieldDefs& Fields,
                                 const TTolvanIndexDefs& Indexes,
                                 const TTolvanConstraintDefs& Keys);

// Gives each parent of the foreign keys among Keys (Table's, in definition order) its action
// record and each key its second reference, after Table was created; the referencing column ids
// are resolved from Table's field definitions. Cursor is open on Table. Existing rows are not
// examined (the table is new). A refused key leaves the parents as they were.
void SetupForeignKeys(TTolvanTableData& Table, TTolvanCursor& Cursor, TTolvanConstraintDefs& Keys);

// Refuses Key with 11586 when a stored record of Table has no parent in the table Parent is
// opened on. Every stored record counts, whatever the child cursor's filter or range shows; the
// child cursor's buffer and position are as they were afterwards.
void CheckExistingRows(TTolvanTableData& Table, TTolvanCursor& Child, TTolvanCursor& Parent,
                       const TTolvanConstraintDefForeignKey& Key);

// --- the parent test
// ------------------------------------------------------------------------------

// True when the key Key reads from the record Buffer of Table needs no parent; Invalid is set
// when the key is refused whatever the parent (match type 1 with a mix of NULL and non-NULL
// columns). 11422 for a column id not among Table's fields, 11421 for a match type above 2.
bool ForeignKeyNullState(const TTolvanTableData& Table, const TTolvanConstraintDefForeignKey& Key,
                         const uint8_t* Buffer, bool& Invalid);

// True when the record Buffer of Table (written through the cursor Child, whose session opens
// the parent) violates Key: its key is invalid, or needs a parent and none is stored, or the one
// stored is planned for deletion by the running cascade operation.
bool CheckForeignKeyParent(TTolvanTableData& Table, TTolvanCursor& Child, int32_t SessionID,
                           const TTolvanConstraintDefForeignKey& Key, const uint8_t* Buffer);

// True while a cascade operation of Table's database, run by this thread under the database's
// write gate, plans to delete the record RecordID of Table.
bool RecordPlannedForDeletion(const TTolvanTableData& Table, const TTolvanRecordID& RecordID);

// --- actions (TolvanForeignKeyActions.cpp) ------------------------------------------------------

// True when Table has a primary index and its key differs between Buffer and OldBuffer.
bool KeyChanged(TTolvanTableData& Table, const uint8_t* Buffer, const uint8_t* OldBuffer);

// True when the parent record ParentBuffer of Parent has no children under the action record
// Action; otherwise the child side cursor Child keeps a filter showing exactly the children and
// its result set is built. 11457 / 11458 when Parent's primary index is missing or too short.
bool FindChildRecords(TTolvanCursor& Child, TTolvanTableData& Parent,
                      const TTolvanConstraintDefForeignKeyAction& Action,
                      const uint8_t* ParentBuffer);

// Writes into the child record ChildBuffer of Child the key values Kind gives it: NULL (set
// null), the fields' defaults (set default), or the parent's primary-key values in ParentBuffer
// (cascade). 11458 / 11461 for a missing field, 11460 without a parent primary index, 11462 for
// another action.
void SetChildKeys(TTolvanTableData& Child, TTolvanTableData& Parent,
                  const TTolvanConstraintDefForeignKeyAction& Action, TTolvanForeignKeyAction Kind,
                  const uint8_t* ParentBuffer, uint8_t* ChildBuffer);

// Runs the delete (OnDelete) or update actions of the keys referencing Table for the record in
// the cursor's record buffer, still stored and indexed, as one planned operation.
void ApplyForeignKeyActions(TTolvanTableData& Table, TTolvanCursor& Cursor, int32_t SessionID,
                            bool OnDelete);

// --- renaming
// -------------------------------------------------------------------------------------

// The tables Table references or is referenced by, and Table itself, name NewName for OldName in
// their foreign-key and action records.
void RenameForeignKeyReferences(TTolvanTableData& Table, TTolvanCursor* Cursor,
                                std::string_view OldName, std::string_view NewName);

// Name without the temporary prefix (compared ignoring case); a name that is no more than the
// prefix raises 11585.
AnsiString StripTemporaryFKName(std::string_view Name);

// --- registration
// ---------------------------------------------------------------------------------

// The routines above as TTolvanForeignKeyRoutines.
class TTolvanForeignKeys final : public TTolvanForeignKeyRoutines {
public:
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
  void ApplyForeignKeyActions(TTolvanTableData& Table, TTolvanCursor& Cursor, int32_t SessionID,
                              bool OnDelete) override;
};

// Registers the process's TTolvanForeignKeys unless routines are registered already.
void RegisterForeignKeys();

} // namespace tolvan
