// TolvanDDLTable.h: the table definition statements CREATE TABLE, DROP TABLE, ALTER TABLE and
// RENAME TABLE, and the parsed column records they share.
//
// Grammar (release 4.00):
//   CREATE TABLE [MEMORY] [database .] table ( element {, element} )
//   DROP TABLE [MEMORY] [database .] table [CASCADE | RESTRICT]
//   ALTER TABLE name ADD [COLUMN] ( element {, element} ) | ADD PRIMARY KEY ... |
//                    ADD FOREIGN KEY ... | ALTER [COLUMN] ( ... ) | MODIFY ( ... ) |
//                    DROP [COLUMN] names | DROP CONSTRAINT name [RESTRICT | CASCADE] |
//                    RENAME TO new | RENAME [COLUMN] old TO new
//   RENAME [TABLE] old TO new
//   element: column type [attributes] | PRIMARY [KEY] [name] ( column [modifiers], ... ) |
//            FOREIGN KEY [name] ( columns ) REFERENCES table [MATCH FULL | MATCH PARTIAL]
//            [ON UPDATE action] [ON DELETE action]
// An unknown word inside a column definition is skipped (so "a INTEGER REFERENCES u" makes no
// key); the referenced table takes no column list. CREATE and DROP refuse a second token after
// their grammar; tokens after an ALTER or RENAME statement's grammar are not examined.
//
// Execution works through a TTolvanTable owned by the query's owner, named by SetupDataSet
// like every statement's dataset, and freed on every path. CREATE's existence check is repeated
// by the engine under its write gate, so a table another thread makes in between is refused
// (30247, unwrapped) and never replaced. Other failures are wrapped: 30248 (CREATE), 30250
// (DROP), 30265 (ALTER, RENAME), each carrying the inner message with its native code.
//
// Generated names: a primary index "C_PK$col..." and a UNIQUE index "C_Unique$col" get the
// suffix of MakeUniqueName (which holds "-"), so SQL must bracket them: DROP CONSTRAINT
// [C_PK$id123-4]. The column part is cut so the whole name fits 255 characters. An unnamed
// foreign key is named "FOREIGN_KEY_" with such a suffix.
//
// There are no transactions: each statement's changes are final when it returns.
//
// Ownership: a command owns its parsed columns, key definitions and name lists; the table
// component lives only for one execution.
//
// Threads: a command serves one thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "classlib/StringList.h"
#include "classlib/Strings.h"
#include "foundation/TolvanCompression.h"
#include "foundation/TolvanTypesRoutines.h"
#include "foundation/TolvanVariant.h"
#include "schema/TolvanConstraintDef.h"
#include "sql/TolvanIndexField.h"
#include "sql/TolvanSQLCommand.h"

namespace tolvan {

class TTolvanAdvFieldDef;
class TTolvanForeignKeyDefs;
class TTolvanForeignKeyDef;
class TTolvanTable;

// Native codes of the table statements. Texts are the catalogue's.
inline constexpr int32_t ErrDDLOpenParenExpected = 30226;
inline constexpr int32_t ErrDDLFieldNameExpected = 30227;
inline constexpr int32_t ErrDDLFieldTypeExpected = 30228;
inline constexpr int32_t ErrDDLAttributeToken = 30229;
inline constexpr int32_t ErrDDLUnknownFieldType = 30232;
inline constexpr int32_t ErrDDLSizeOpenParen = 30233;
inline constexpr int32_t ErrDDLSizeExpected = 30235;
inline constexpr int32_t ErrDDLSizeCloseParen = 30236;
inline constexpr int32_t ErrDDLNotNullEnd = 30237;
inline constexpr int32_t ErrDDLNullExpected = 2011;
inline constexpr int32_t ErrDDLPrimaryKeyFieldExpected = 30244;
inline constexpr int32_t ErrDDLPrimaryKeyListToken = 30245;
inline constexpr int32_t ErrDDLUnexpectedToken = 30246;
inline constexpr int32_t ErrDDLTableExists = 30247;
inline constexpr int32_t ErrDDLCreateFailed = 30248;
inline constexpr int32_t ErrDDLCreateBlank = 30249;
inline constexpr int32_t ErrDDLDropFailed = 30250;
inline constexpr int32_t ErrDDLDropBlank = 30251;
inline constexpr int32_t ErrDDLAlterUnknownAction = 30252;
inline constexpr int32_t ErrDDLAlterActionExpected = 30253;
inline constexpr int32_t ErrDDLAlterFieldNotFound = 30259;
inline constexpr int32_t ErrDDLAlterBlank = 30261;
inline constexpr int32_t ErrDDLAlterFailed = 30265;
inline constexpr int32_t ErrDDLAutoIncOptionsEnd = 30290;
inline constexpr int32_t ErrDDLBadInteger = 30291;
inline constexpr int32_t ErrDDLIntegerExpected = 30292;
inline constexpr int32_t ErrDDLAutoIncOptionToken = 30294;
inline constexpr int32_t ErrDDLAutoIncType = 30295;
inline constexpr int32_t ErrDDLDefaultEnd = 30297;
inline constexpr int32_t ErrDDLDefaultTwice = 30299;
inline constexpr int32_t ErrDDLLimitEnd = 30300;
inline constexpr int32_t ErrDDLPrimaryKeyOpenParen = 30327;
inline constexpr int32_t ErrDDLKeyModifierEnd = 30333;
inline constexpr int32_t ErrDDLRestructureFailed = 30347;
inline constexpr int32_t ErrDDLFieldExists = 30351;
inline constexpr int32_t ErrDDLRenameColumnTo = 30352;
inline constexpr int32_t ErrDDLRenameBlank = 30354;
inline constexpr int32_t ErrDDLRenameTableTo = 30355;
inline constexpr int32_t ErrFKKeyExpected = 11467;
inline constexpr int32_t ErrFKOpenParen = 11468;
inline constexpr int32_t ErrFKFieldName = 11469;
inline constexpr int32_t ErrFKListToken = 11470;
inline constexpr int32_t ErrFKMatchKind = 11471;
inline constexpr int32_t ErrFKOnKind = 11472;
inline constexpr int32_t ErrFKSecondOnKind = 11473;
inline constexpr int32_t ErrFKSetAction = 11474;
inline constexpr int32_t ErrFKNoAction = 11475;
inline constexpr int32_t ErrFKAction = 11476;
inline constexpr int32_t ErrFKReferencesExpected = 11477;
inline constexpr int32_t ErrFKTableName = 11478;
inline constexpr int32_t ErrDDLConstraintName = 11495;
inline constexpr int32_t ErrDDLConstraintOption = 11496;

// Which index list of the table component a generated index goes to: the one CreateTable
// reads, or the one a restructure reads.
enum class TDDLIndexTarget : uint8_t { Create, Restructure };

// One parsed column. Each attribute is present only when the statement gave it, and only
// present attributes reach a definition (ApplyColumnDef).
struct TSQLFieldDef {
  TSQLFieldDef() = default;
  TSQLFieldDef(const TSQLFieldDef&) = delete;
  TSQLFieldDef& operator=(const TSQLFieldDef&) = delete;

  AnsiString Name;
  std::optional<TTolvanFieldType> FieldType;
  std::optional<int32_t> Size;
  std::optional<bool> Required;
  std::optional<int64_t> Increment;
  std::optional<int64_t> InitialValue;
  std::optional<int64_t> SequenceMin;
  std::optional<int64_t> SequenceMax;
  std::optional<bool> Cycled;
  std::optional<int32_t> BlobBlockSize;
  std::optional<TTolvanCompressionAlgorithm> CompressionAlgorithm;
  std::optional<uint8_t> CompressionLevel;
  // A present value may be null (DEFAULT NULL, NOMINVALUE, NOMAXVALUE).
  std::optional<TTolvanVariant> DefaultValue;
  std::optional<TTolvanVariant> MinValue;
  std::optional<TTolvanVariant> MaxValue;
  std::optional<bool> PrimaryKey;
  std::optional<bool> Unique;
};

class TSQLFieldDefs {
public:
  // Appends a new empty definition.
  TSQLFieldDef& Add();
  int32_t Count() const noexcept { return static_cast<int32_t>(FItems.size()); }
  TSQLFieldDef& Items(int32_t Index) const { return *FItems.at(size_t(Index)); }

private:
  std::vector<std::unique_ptr<TSQLFieldDef>> FItems;
};

// The base of the four table statements: the element list and the definitions it yields.
class TTolvanDDLTableManipulation : public TTolvanSQLCommand {
public:
  TTolvanDDLTableManipulation(TTolvanLexer& Lexer, TTolvanQuery& Query);
  ~TTolvanDDLTableManipulation() override;

  // The end check: a token after the current one raises 30246.
  void Parse() override;

  // Copies the column's name and each attribute it was given into Def.
  static void ApplyColumnDef(TTolvanAdvFieldDef& Def, const TSQLFieldDef& Column);
  // A new table component owned by the query's owner, named by SetupDataSet, with one extended
  // definition per parsed column. The caller frees it.
  TTolvanTable* BuildTable(TTolvanQuery& Query);

  const TSQLFieldDefs& Columns() const noexcept { return FColumns; }
  const TTolvanForeignKeyDefs* ForeignKeyDefs() const noexcept { return FForeignKeyDefs.get(); }
  const AnsiString& PrimaryKeyName() const noexcept { return FPrimaryKeyName; }
  const std::vector<TTolvanIndexField>& PrimaryKeyFields() const noexcept {
    return FPrimaryKeyFields;
  }
  const TStringList& UniqueFields() const noexcept { return FUniqueFields; }

  // The name MakeUniqueName gives Prefix + Columns, the columns' part cut so that the name with
  // its suffix fits 255 characters.
  static AnsiString GeneratedName(std::string_view Prefix, std::string_view Columns);

protected:
  // --- grammar: each release-dependent step is one function ------------------------------------

  // [MEMORY] [database .] table.
  void ParseDDLTableName();
  // "(" element {"," element} ")"; the closing ")" stays current.
  void ParseElementList();
  void ParseColumn();
  void ParseType(TSQLFieldDef& Column);
  void ParseAutoIncOptions(TSQLFieldDef& Column);
  void ParseColumnAttributes(TSQLFieldDef& Column);
  void ParseDefault(TSQLFieldDef& Column);
  // MINVALUE v / MAXVALUE v / NOMINVALUE / NOMAXVALUE; the token after it is current.
  void ParseLimit(std::optional<TTolvanVariant>& Limit, bool Given);
  void ParseColumnPrimaryKey(TSQLFieldDef& Column);
  // PRIMARY [KEY] [name] ( ... ); the token after ")" is current.
  void ParseTablePrimaryKey();
  // Reads a primary-key column name: the kinds it may be.
  void ReadPrimaryKeyColumn();
  // ASC, DESC, CASE, NOCASE after a key column; the first other token is current.
  void ParseKeyModifiers(TTolvanIndexField& Field);
  // FOREIGN KEY ...; the first token not part of it is current.
  void ParseForeignKey();
  TTolvanForeignKeyAction ParseForeignKeyAction();
  // A signed 64-bit integer: an integer token, or "-" and one.
  int64_t ReadInt64();
  // Advances; the end raises Code with the unexpected-end message at the last token.
  void Advance(int32_t Code);

  // --- execution helpers ----------------------------------------------------------------------

  // The primary index, when a key column was parsed.
  void AddPrimaryKeyIndex(TTolvanTable& Table, TDDLIndexTarget Target) const;
  // One unique index per UNIQUE column.
  void AddUniqueIndexes(TTolvanTable& Table, TDDLIndexTarget Target) const;
  // Names each unnamed parsed foreign key, avoiding every constraint, index and key name of
  // Table and of the other parsed keys.
  void NameUnnamedForeignKeys(TTolvanTable& Table);

  std::unique_ptr<TTolvanForeignKeyDefs> FForeignKeyDefs;
  TSQLFieldDefs FColumns;
  AnsiString FPrimaryKeyName;
  std::vector<TTolvanIndexField> FPrimaryKeyFields;
  TStringList FUniqueFields;
};

class TTolvanDDLCreateTable : public TTolvanDDLTableManipulation {
public:
  using TTolvanDDLTableManipulation::TTolvanDDLTableManipulation;
  void Parse() override;
  void Execute(TTolvanQuery& Query, bool IsRoot, bool RequestLive, bool& ReadOnly) override;
};

class TTolvanDDLDropTable : public TTolvanDDLTableManipulation {
public:
  using TTolvanDDLTableManipulation::TTolvanDDLTableManipulation;
  void Parse() override;
  void Execute(TTolvanQuery& Query, bool IsRoot, bool RequestLive, bool& ReadOnly) override;
  bool Cascade() const noexcept { return FCascade; }

private:
  bool FCascade = false;
};

enum TTolvanAlterAction : uint8_t {
  taaAddColumn = 0,
  taaDropColumn = 1,
  taaAlterColumn = 2,
  taaRenameColumn = 3,
  taaRenameTable = 4,
  taaDropConstraint = 5,
  taaAddPrimaryKey = 6,
  taaAddForeignKey = 7
};

class TTolvanDDLAlterTable : public TTolvanDDLTableManipulation {
public:
  using TTolvanDDLTableManipulation::TTolvanDDLTableManipulation;
  void Parse() override;
  void Execute(TTolvanQuery& Query, bool IsRoot, bool RequestLive, bool& ReadOnly) override;

  TTolvanAlterAction Action() const noexcept { return FAction; }
  const AnsiString& NewTableName() const noexcept { return FNewTableName; }

protected:
  void ParseAction();
  void ParseAddAction();
  void ParseDropAction();
  void ParseRenameAction();
  // The action's change on the loaded Table; true when a restructure must follow.
  bool ApplyAction(TTolvanTable& Table);

  std::unique_ptr<TStringList> FDropList;
  TStringList FRenameFrom;
  TStringList FRenameTo;
  AnsiString FNewTableName;
  TTolvanAlterAction FAction = taaAddColumn;
  AnsiString FConstraintName;
  bool FCascade = false;
};

// RENAME [TABLE] old TO new: runs as ALTER TABLE old RENAME TO new.
class TTolvanDDLRenameTable : public TTolvanDDLAlterTable {
public:
  using TTolvanDDLAlterTable::TTolvanDDLAlterTable;
  void Parse() override;
};

} // namespace tolvan
