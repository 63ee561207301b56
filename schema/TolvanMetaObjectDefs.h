// TolvanMetaObjectDefs.h: the ordered collections that own a table's definitions.
//
// TTolvanMetaObjectDefs keeps definitions in insertion order, finds them by name (ignoring case
// over Windows-1252) or by object id, copies another collection and writes its definitions as
// one block of the table stream. One subclass per kind: fields (which also compute the record
// layout), indexes, constraints and sequences. Lookups walk the list: they run per statement or
// per definition, never per record.
//
// A collection holds only definitions of its kind: Add, Insert and SetItem refuse another class
// with EInvalidCast, so the typed Items of a subclass can trust what they find. A bad position
// raises EListError.
//
// Block form, little-endian:
//
//   offset  width  content
//   0       4      count c                         10158 / 10159 (write / read)
//   4       var    c definitions in their forms; for constraints each form follows one
//                  ConstraintType byte            10219 / 10220
//
// A negative count raises 10159; definitions are made one at a time as they are read, so the
// count alone allocates nothing. Reading appends each definition once it has been read whole,
// and LoadFromStream does not compute the record layout: whoever loads a field collection runs
// CalcLayout before using the layout. Sequences have no block of their own.
//
// Record layout (CalcLayout): a null bitmap of ceil(columns / 8) bytes, one bit per column in
// collection order, least significant bit first, a set bit marking null; then the columns in
// order. Buffer and stored offsets both start after the bitmap and advance by DataSize and
// StoredSize. The sums are checked and raise EIntOverflow.
//
// Ownership: a collection owns its definitions and frees them when they are deleted, replaced,
// cleared or when it is destroyed. References to definitions stay valid until then.
//
// Threads: not synchronised; the owner serialises access.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "classlib/StringList.h"
#include "schema/TolvanConstraintDef.h"
#include "schema/TolvanIndexDef.h"
#include "schema/TolvanMetaObjectDef.h"

namespace tolvan {

class TTolvanMetaObjectDefs {
public:
  TTolvanMetaObjectDefs() = default;
  virtual ~TTolvanMetaObjectDefs() = default;
  TTolvanMetaObjectDefs(const TTolvanMetaObjectDefs&) = delete;
  TTolvanMetaObjectDefs& operator=(const TTolvanMetaObjectDefs&) = delete;

  virtual int32_t Count() const noexcept { return static_cast<int32_t>(FItems.size()); }
  // Appends Def and returns its position.
  virtual int32_t Add(std::unique_ptr<TTolvanMetaObjectDef> Def);
  // Makes an empty definition of the collection's kind, appends and returns it. The base
  // raises 30339.
  virtual TTolvanMetaObjectDef& AddNew();
  // Clears and reads the count into PendingCount; the subclasses then read the definitions.
  virtual void LoadFromStream(TStream& Stream);
  // Writes the count; the subclasses then write the definitions.
  virtual void SaveToStream(TStream& Stream) const;
  // Replaces the contents by copies of Source's definitions. A name met twice raises 10424,
  // keeping the copies made so far.
  virtual void Assign(const TTolvanMetaObjectDefs& Source);
  virtual void Delete(int32_t Position);
  // Position 0 .. Count.
  virtual void Insert(int32_t Position, std::unique_ptr<TTolvanMetaObjectDef> Def);
  virtual void Move(int32_t From, int32_t To);
  virtual void Clear();

  TTolvanMetaObjectDef& Items(int32_t Position) const;
  // Frees the definition at Position and puts Def in its place.
  void SetItem(int32_t Position, std::unique_ptr<TTolvanMetaObjectDef> Def);
  int32_t IndexOfName(std::string_view Name) const; // -1 when absent
  TTolvanMetaObjectDef* FindByName(std::string_view Name) const;
  int32_t IndexOfID(int32_t ObjectID) const; // -1 when absent
  TTolvanMetaObjectDef* FindByID(int32_t ObjectID) const;

  // The count announced by the block being read.
  int32_t PendingCount() const noexcept { return FPendingCount; }

  virtual std::string_view ClassName() const { return "TTolvanMetaObjectDefs"; }

protected:
  // Raises EInvalidCast for a definition of another kind; the base takes any.
  virtual void CheckKind(const TTolvanMetaObjectDef& Def) const;
  // Def has just joined the collection (Add, Insert).
  virtual void ItemAdded(const TTolvanMetaObjectDef& Def);
  // Definitions have left the collection (Delete, Clear, or replaced by SetItem); called once the
  // collection holds its new contents.
  virtual void ItemsRemoved();
  void CheckPosition(int32_t Position, int32_t Limit) const;

  std::vector<std::unique_ptr<TTolvanMetaObjectDef>> FItems;
  int32_t FPendingCount = 0;
};

class TTolvanFieldDefs : public TTolvanMetaObjectDefs {
public:
  TTolvanFieldDef& AddNew() override;
  void LoadFromStream(TStream& Stream) override;
  void SaveToStream(TStream& Stream) const override;

  TTolvanFieldDef& Items(int32_t Position) const;
  TTolvanFieldDef* FindByName(std::string_view Name) const;

  // Assigns every column its buffer and stored offset and sets the three flags.
  void CalcLayout();
  // The size of the fields part of a record buffer and of a stored record, as of CalcLayout.
  int32_t RecordBufferSize() const noexcept { return FRecordBufferSize; }
  int32_t StoredRecordSize() const noexcept { return FStoredRecordSize; }
  // Bytes of the null bitmap.
  int32_t NullBitmapSize() const noexcept { return (Count() + 7) / 8; }

  // As of the last CalcLayout: a column keeps values outside the stored record (value types
  // STRING, WIDESTRING, BLOB, MEMO, WIDEMEMO); an auto-increment column; a column with a
  // default.
  bool HasExternalValues() const noexcept { return FHasExternalValues; }
  bool HasAutoincFields() const noexcept { return FHasAutoincFields; }
  bool HasDefaults() const noexcept { return FHasDefaults; }

  std::string_view ClassName() const override { return "TTolvanFieldDefs"; }

protected:
  void CheckKind(const TTolvanMetaObjectDef& Def) const override;

private:
  int32_t FRecordBufferSize = 0;
  int32_t FStoredRecordSize = 0;
  bool FHasExternalValues = false;
  bool FHasAutoincFields = false;
  bool FHasDefaults = false;
};

class TTolvanIndexDefs : public TTolvanMetaObjectDefs {
public:
  TTolvanIndexDef& AddNew() override;
  void LoadFromStream(TStream& Stream) override;
  void SaveToStream(TStream& Stream) const override;

  TTolvanIndexDef& Items(int32_t Position) const;
  void SetItem(int32_t Position, std::unique_ptr<TTolvanIndexDef> Def);
  TTolvanIndexDef* FindByName(std::string_view Name) const;
  // The first primary index, or nil.
  TTolvanIndexDef* FindPrimary() const;
  // The ObjectID of the first index whose leading columns are FieldNames (names ignoring case)
  // with the orders ("ASC", "DESC") and case modes ("CASE", "NO_CASE") asked; other words, the
  // empty one included, ask nothing. -1 when none fits. A nil list raises 10389 (names), 10390
  // (orders) or 10391 (case modes); lists of different lengths 10276 (names and orders) or
  // 10277 (names and case modes).
  int32_t FindIndexForFields(const TStringList* FieldNames, const TStringList* Orders,
                             const TStringList* CaseModes) const;

  std::string_view ClassName() const override { return "TTolvanIndexDefs"; }

protected:
  void CheckKind(const TTolvanMetaObjectDef& Def) const override;
};

class TTolvanConstraintDefs : public TTolvanMetaObjectDefs {
public:
  // Each makes a constraint of its class, appends and returns it.
  TTolvanConstraintDefNotNull& AddNotNull();
  TTolvanConstraintDefCheck& AddCheck();
  TTolvanConstraintDefPrimary& AddPrimary();
  TTolvanConstraintDefUnique& AddUnique();
  TTolvanConstraintDefForeignKey& AddForeignKey();
  TTolvanConstraintDefForeignKeyAction& AddForeignKeyAction();

  // Copies by ConstraintType without a duplicate check; an unknown type raises 30035.
  void Assign(const TTolvanMetaObjectDefs& Source) override;
  // An unknown type byte raises 30316.
  void LoadFromStream(TStream& Stream) override;
  void SaveToStream(TStream& Stream) const override;

  TTolvanConstraintDef& Items(int32_t Position) const;

  // A foreign key (type 1) is among the constraints; an action record (type 5) is. Adding sets
  // them, removing recomputes them.
  bool HasForeignKeys() const noexcept { return FHasForeignKeys; }
  bool HasActions() const noexcept { return FHasActions; }
  // Forgets both flags until the next addition or removal; a table being dropped no longer
  // counts as referencing or referenced.
  void ClearReferenceFlags() noexcept {
    FHasForeignKeys = false;
    FHasActions = false;
  }
  // An action record whose OnUpdate (OnDelete) is something other than no action.
  bool HasUpdateActions() const;
  bool HasDeleteActions() const;

  std::string_view ClassName() const override { return "TTolvanConstraintDefs"; }

protected:
  void CheckKind(const TTolvanMetaObjectDef& Def) const override;
  void ItemAdded(const TTolvanMetaObjectDef& Def) override;
  void ItemsRemoved() override;

private:
  template <class T> T& AddConstraint();

  bool FHasForeignKeys = false;
  bool FHasActions = false;
};

class TTolvanSequenceDefs : public TTolvanMetaObjectDefs {
public:
  TTolvanSequenceDef& AddNew() override;
  TTolvanSequenceDef& Items(int32_t Position) const;

  std::string_view ClassName() const override { return "TTolvanSequenceDefs"; }

protected:
  void CheckKind(const TTolvanMetaObjectDef& Def) const override;
};

} // namespace tolvan
