// TolvanDefs.h: the component layer's own table definitions and the conversions between the
// three vocabularies that describe a table.
//
// The dataset framework describes a table with TFieldDefs and TIndexDefs; the engine with
// TTolvanFieldDefs, TTolvanIndexDefs and TTolvanConstraintDefs. Between them sit the extended
// field definitions (TTolvanAdvFieldDefs: type, size, required flag, default, value limits,
// auto-increment and BLOB settings per column) and the foreign-key definitions
// (TTolvanForeignKeyDefs). A dataset keeps both kinds, and keeps copies of them as last read
// from the stored table.
//
// Names handed to the engine are short strings: they are cut at 255 bytes.
//
// Ownership: each collection owns its definitions; a reference or pointer to a definition stays
// valid until the definition is deleted, the collection cleared, reassigned or destroyed. An
// extended definition owns its three values.
//
// Threads: not synchronised; a definition belongs to its dataset's thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "classlib/Components.h"
#include "classlib/DB.h"
#include "classlib/StringList.h"
#include "foundation/TolvanCompression.h"
#include "foundation/TolvanTypesRoutines.h"
#include "foundation/TolvanVariant.h"
#include "schema/TolvanConstraintDef.h"
#include "schema/TolvanMetaObjectDefs.h"

namespace tolvan {

class TFieldDefs;
class TIndexDefs;

// Native codes of the definitions and conversions.
inline constexpr int32_t ErrDefsAdvFieldNotFound = 30349;
inline constexpr int32_t ErrDefsInvalidIndexName = 20048;
inline constexpr int32_t ErrDefsIndexNoFields = 20049;
inline constexpr int32_t ErrDefsIndexFieldNotFound = 20050;
inline constexpr int32_t ErrDefsForeignKeyNoColumns = 11418;
inline constexpr int32_t ErrDefsCheckColumnNotFound = 30031;
inline constexpr int32_t ErrDefsNotNullColumnNotFound = 30032;
inline constexpr int32_t ErrDefsUnknownConstraintType = 30039;

// One column as the components describe it.
class TTolvanAdvFieldDef {
public:
  TTolvanAdvFieldDef() = default;
  TTolvanAdvFieldDef(const TTolvanAdvFieldDef&) = delete;
  TTolvanAdvFieldDef& operator=(const TTolvanAdvFieldDef&) = delete;

  const AnsiString& Name() const noexcept { return FName; }
  void SetName(std::string_view Value) { FName.assign(Value); }
  TTolvanFieldType FieldType() const noexcept { return FFieldType; }
  void SetFieldType(TTolvanFieldType Value) noexcept { FFieldType = Value; }
  bool Required() const noexcept { return FRequired; }
  void SetRequired(bool Value) noexcept { FRequired = Value; }
  int32_t Size() const noexcept { return FSize; }
  void SetSize(int32_t Value) noexcept { FSize = Value; }

  // Null means none (no default, no lower or upper limit).
  TTolvanVariant& DefaultValue() noexcept { return FDefaultValue; }
  const TTolvanVariant& DefaultValue() const noexcept { return FDefaultValue; }
  TTolvanVariant& MinValue() noexcept { return FMinValue; }
  const TTolvanVariant& MinValue() const noexcept { return FMinValue; }
  TTolvanVariant& MaxValue() noexcept { return FMaxValue; }
  const TTolvanVariant& MaxValue() const noexcept { return FMaxValue; }

  int64_t AutoincIncrement() const noexcept { return FAutoincIncrement; }
  void SetAutoincIncrement(int64_t Value) noexcept { FAutoincIncrement = Value; }
  int64_t AutoincInitialValue() const noexcept { return FAutoincInitialValue; }
  void SetAutoincInitialValue(int64_t Value) noexcept { FAutoincInitialValue = Value; }
  int64_t AutoincMinValue() const noexcept { return FAutoincMinValue; }
  void SetAutoincMinValue(int64_t Value) noexcept { FAutoincMinValue = Value; }
  int64_t AutoincMaxValue() const noexcept { return FAutoincMaxValue; }
  void SetAutoincMaxValue(int64_t Value) noexcept { FAutoincMaxValue = Value; }
  bool AutoincCycled() const noexcept { return FAutoincCycled; }
  void SetAutoincCycled(bool Value) noexcept { FAutoincCycled = Value; }

  // The component compression code (1 ZLIB, 2 BZIP, 3 PPM, else none; MapCompressionAlgorithm).
  uint8_t BlobCompressionAlgorithm() const noexcept { return FBlobCompressionAlgorithm; }
  void SetBlobCompressionAlgorithm(uint8_t Value) noexcept { FBlobCompressionAlgorithm = Value; }
  uint8_t BlobCompressionLevel() const noexcept { return FBlobCompressionLevel; }
  void SetBlobCompressionLevel(uint8_t Value) noexcept { FBlobCompressionLevel = Value; }
  int32_t BlobBlockSize() const noexcept { return FBlobBlockSize; }
  void SetBlobBlockSize(int32_t Value) noexcept { FBlobBlockSize = Value; }

  // Copies every setting; the three values by value.
  void Assign(const TTolvanAdvFieldDef& Source);

private:
  AnsiString FName;
  TTolvanFieldType FFieldType = tftNone;
  bool FRequired = false;
  int32_t FSize = 0;
  TTolvanVariant FDefaultValue;
  TTolvanVariant FMinValue;
  TTolvanVariant FMaxValue;
  int64_t FAutoincIncrement = 1;
  int64_t FAutoincInitialValue = 0;
  int64_t FAutoincMinValue = 0;
  int64_t FAutoincMaxValue = INT64_MAX;
  bool FAutoincCycled = false;
  uint8_t FBlobCompressionAlgorithm = 0;
  uint8_t FBlobCompressionLevel = 0;
  int32_t FBlobBlockSize = DefaultFieldBlobBlockSize;
};

class TTolvanAdvFieldDefs {
public:
  TTolvanAdvFieldDefs() = default;
  TTolvanAdvFieldDefs(const TTolvanAdvFieldDefs&) = delete;
  TTolvanAdvFieldDefs& operator=(const TTolvanAdvFieldDefs&) = delete;

  // Appends a definition with these settings and the defaults for the rest.
  TTolvanAdvFieldDef& Add(std::string_view Name, TTolvanFieldType FieldType, int32_t Size,
                          bool Required);
  // Appends a definition with every default.
  TTolvanAdvFieldDef& AddDef();
  int32_t Count() const noexcept { return static_cast<int32_t>(FItems.size()); }
  // A position outside 0 .. Count - 1 raises EListError.
  TTolvanAdvFieldDef& Items(int32_t Index) const;
  // The first definition whose name equals Name ignoring case, or nil.
  TTolvanAdvFieldDef* Find(std::string_view Name) const;
  // The position of that definition, or -1.
  int32_t IndexOf(std::string_view Name) const;
  // Frees the definition of that name; none raises 30349 "Field '%s' not found".
  void Delete(std::string_view Name);
  void Clear() noexcept { FItems.clear(); }
  // Clears, then appends copies of Source's definitions (Source may be this collection).
  void Assign(const TTolvanAdvFieldDefs& Source);
  // Some definition is a Varchar or WideVarchar column.
  bool HasVarcharFields() const noexcept;

private:
  std::vector<std::unique_ptr<TTolvanAdvFieldDef>> FItems;
};

// A foreign key as the components describe it.
class TTolvanForeignKeyDef : public TPersistent {
public:
  TTolvanForeignKeyDef() = default;
  ~TTolvanForeignKeyDef() override = default;

  const AnsiString& Name() const noexcept { return FName; }
  void SetName(std::string_view Value) { FName.assign(Value); }
  // 0 simple, 1 MATCH FULL, 2 MATCH PARTIAL.
  uint8_t MatchType() const noexcept { return FMatchType; }
  void SetMatchType(uint8_t Value) noexcept { FMatchType = Value; }
  TTolvanForeignKeyAction DeleteAction() const noexcept { return FDeleteAction; }
  void SetDeleteAction(TTolvanForeignKeyAction Value) noexcept { FDeleteAction = Value; }
  TTolvanForeignKeyAction UpdateAction() const noexcept { return FUpdateAction; }
  void SetUpdateAction(TTolvanForeignKeyAction Value) noexcept { FUpdateAction = Value; }
  const AnsiString& ReferenceTableName() const noexcept { return FReferenceTableName; }
  void SetReferenceTableName(std::string_view Value) { FReferenceTableName.assign(Value); }
  // Column names separated by ';' or ','.
  const AnsiString& FieldList() const noexcept { return FFieldList; }
  void SetFieldList(std::string_view Value) { FFieldList.assign(Value); }

  // Copies all five settings from another foreign-key definition; any other source is refused
  // as by TPersistent.
  void Assign(const TPersistent& Source) override;

private:
  AnsiString FName;
  uint8_t FMatchType = 0;
  TTolvanForeignKeyAction FDeleteAction = tfaRestrict;
  TTolvanForeignKeyAction FUpdateAction = tfaRestrict;
  AnsiString FReferenceTableName;
  AnsiString FFieldList;
};

class TTolvanForeignKeyDefs : public TPersistent {
public:
  TTolvanForeignKeyDefs() = default;
  ~TTolvanForeignKeyDefs() override = default;
  TTolvanForeignKeyDefs(const TTolvanForeignKeyDefs&) = delete;
  TTolvanForeignKeyDefs& operator=(const TTolvanForeignKeyDefs&) = delete;

  // Appends an empty definition.
  TTolvanForeignKeyDef& Add();
  int32_t Count() const noexcept { return static_cast<int32_t>(FItems.size()); }
  // Nil outside 0 .. Count - 1.
  TTolvanForeignKeyDef* Items(int32_t Index) const noexcept;
  // The position of the first definition of that name ignoring case, or -1.
  int32_t IndexOf(std::string_view Name) const;
  TTolvanForeignKeyDef* Find(std::string_view Name) const;
  void Clear() noexcept { FItems.clear(); }
  // Clears, then appends copies of the source's definitions; any other source is refused as
  // by TPersistent.
  void Assign(const TPersistent& Source) override;

private:
  std::vector<std::unique_ptr<TTolvanForeignKeyDef>> FItems;
};

// --- conversions --------------------------------------------------------------------------------

// Engine fields named and typed like the framework's (cleared first). A dataset type the engine
// does not know raises 30289.
void FieldDefsToEngineFieldDefs(const TFieldDefs& FieldDefs, TTolvanFieldDefs& EngineDefs);
// Extended definitions with the framework's name, type, size and required flag (cleared first).
void FieldDefsToAdvFieldDefs(const TFieldDefs& FieldDefs, TTolvanAdvFieldDefs& AdvDefs);
// Framework definitions from the extended ones (cleared first).
void AdvFieldDefsToFieldDefs(const TTolvanAdvFieldDefs& AdvDefs, TFieldDefs& FieldDefs);
// Engine fields and constraints from the extended definitions and the engine indexes (fields
// and constraints cleared first). A temporary table gets no constraint at all.
void AdvFieldDefsToEngineDefs(const TTolvanAdvFieldDefs& AdvDefs, TTolvanFieldDefs& EngineFieldDefs,
                              const TTolvanIndexDefs& EngineIndexDefs, bool Temporary,
                              TTolvanConstraintDefs& Constraints);
// Framework definitions from the fields a cursor shows (cleared first); a NOT NULL constraint on
// a shown column makes its definition required.
void EngineFieldDefsToFieldDefs(const TTolvanFieldDefs& VisibleDefs,
                                const TTolvanConstraintDefs& Constraints, TFieldDefs& FieldDefs);
// Extended definitions from the fields a cursor shows (cleared first), with required flags and
// limits from the table's constraints. A constraint whose column the full field list lacks
// raises 30032 (NOT NULL) or 30031 (check); an unknown constraint type 30039.
void EngineFieldDefsToAdvFieldDefs(const TTolvanFieldDefs& VisibleDefs,
                                   const TTolvanFieldDefs& FullDefs,
                                   const TTolvanConstraintDefs& Constraints,
                                   TTolvanAdvFieldDefs& AdvDefs);

// Fills EngineDef (its columns replaced) from a framework index description. Every field must
// be named by FieldDefs or AdvDefs (either may be nil). An empty name raises 20048, an empty
// field list 20049, an unknown field 20050.
void IndexDefToEngineIndexDef(TTolvanIndexDef& EngineDef, std::string_view Name,
                              std::string_view Fields, TIndexOptions Options,
                              std::string_view DescFields, std::string_view CaseInsFields,
                              const TFieldDefs* FieldDefs, const TTolvanAdvFieldDefs* AdvDefs);
// One engine index per framework index (cleared first).
void IndexDefsToEngineIndexDefs(const TIndexDefs& IndexDefs, TTolvanIndexDefs& EngineDefs,
                                const TFieldDefs* FieldDefs, const TTolvanAdvFieldDefs* AdvDefs);
// One framework index per engine index (cleared first); lists joined with ';'.
void EngineIndexDefsToIndexDefs(const TTolvanIndexDefs& EngineDefs, TIndexDefs& IndexDefs);
// Appends the primary-key or unique constraint a primary or unique index stands for; other
// indexes add nothing.
void IndexDefToConstraint(const TTolvanIndexDef& IndexDef, TTolvanConstraintDefs& Constraints);

// Fills Constraint from Def. A field list without a name raises 11418.
void ForeignKeyDefToConstraint(const TTolvanForeignKeyDef& Def,
                               TTolvanConstraintDefForeignKey& Constraint);
// Appends one foreign-key constraint per definition; when one raises, none is appended.
void ForeignKeyDefsToConstraints(const TTolvanForeignKeyDefs& Defs,
                                 TTolvanConstraintDefs& Constraints);
// One definition per foreign-key constraint (cleared first); columns joined with ';'.
void ConstraintsToForeignKeyDefs(const TTolvanConstraintDefs& Constraints,
                                 TTolvanForeignKeyDefs& Defs);
// Points every definition that references OldName (ignoring case) at NewName.
void RenameForeignKeyReferences(std::string_view OldName, std::string_view NewName,
                                TTolvanForeignKeyDefs& Defs);

// The names of a list separated by ';' or ',', each trimmed, empty names dropped, appended to
// Names.
void SplitFieldList(std::string_view Text, TStringList& Names);
// A framework definition of that name exists (ignoring case).
bool FieldDefExists(const TFieldDefs& FieldDefs, std::string_view Name);
// 1 ZLIB, 2 BZIP, 3 PPM; any other code none. The codes are the same both ways.
TTolvanCompressionAlgorithm MapCompressionAlgorithm(uint8_t Code) noexcept;

} // namespace tolvan
