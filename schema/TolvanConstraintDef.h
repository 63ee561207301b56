// TolvanConstraintDef.h: the definitions of a table's constraints.
//
// One class per kind of constraint, all derived from TTolvanConstraintDef, whose ConstraintType
// byte names the kind in the constraint collection's stream block:
//
//   class                                  type  fields after the base
//   TTolvanConstraintDefPrimary            0     as TTolvanConstraintDefUnique
//   TTolvanConstraintDefForeignKey         1     as TTolvanConstraintDefForeignKeyAction
//   TTolvanConstraintDefUnique             2     Reserved1, Reserved2, Index, Columns
//   TTolvanConstraintDefNotNull            3     Reserved1, Reserved2, Column
//   TTolvanConstraintDefCheck              4     Reserved1, Reserved2, Column, CheckMinValue,
//                                                CheckMaxValue
//   TTolvanConstraintDefForeignKeyAction   5     Table, Partner, OnDelete, OnUpdate, MatchType,
//                                                Columns
//
// A constraint refers to other objects through TTolvanObjectRef: a short-string name and an
// object id. The reserved references are always empty with id 0; they are stored and copied.
// A foreign key names the referenced table and, as Partner, the action record kept there; the
// action record names the referencing table and its foreign key.
//
// Stream forms: the base form of every definition (TolvanMetaObjectDef.h), then the class's own
// elements, little-endian, with the native codes (write / read). A name is stored in one of
// three encodings besides the base form's:
//
//   byte-prefixed short string    1 byte n+1, then n+1 bytes: the length byte n, n bytes
//   Int32-prefixed short string   Int32 n+1, then n+1 bytes: the length byte n, n bytes
//   Int32-prefixed characters     Int32 n, then n bytes
//
//   Not null                                       Check
//   width     content          codes               codes
//   4         Reserved1 id     10240 / 10249       10227 / 10230
//   4         Reserved2 id     10241 / 10250       10228 / 10231
//   4         Column id        10242 / 10251       10229 / 10232
//   1 + n+1   Reserved1 name   10243,10244 /       10221,10222 /
//                              10252,10253         10233,10234
//   1 + n+1   Reserved2 name   10245,10246 /       10223,10224 /
//                              10254,10255         10235,10236
//   1 + n+1   Column name      10247,10248 /       10225,10226 /
//                              10256,10257         10237,10238
//   var       CheckMinValue, CheckMaxValue (check only), value stream form each
//
//   Unique and primary
//   4         Reserved1 id                         30313 / 30303
//   4         Reserved2 id                         30314 / 30304
//   4         Index id                             30318 / 30317
//   4 + n+1   Reserved1 name                       30315,30316 / 30305,30306
//   4 + n+1   Reserved2 name                       30317,30318 / 30307,30308
//   4 + n+1   Index name                           30400,30401 / 30396,30398
//   4         column count c                       30394 / 30309
//   c times:  4 column id, 4 + n+1 column name     30395, 30397,30399 / 30310, 30311,30312
//
//   Foreign key and foreign-key action
//   4 + n     Table name                           11408,11409 / 11398,11399
//   4         Table id                             11410 / 11400
//   4 + n     Partner name                         11436,11437 / 11439,11440
//   4         Partner id                           11438 / 11441
//   1         OnDelete                             11412 / 11402
//   1         OnUpdate                             11413 / 11403
//   1         MatchType                            11411 / 11401
//   4         column count c                       11414 / 11404
//   c times:  4 column id, 4 + n column name       11415, 11416,11417 / 11405, 11406,11407
//
// (A pair of codes is the prefix's, then the bytes'.) A byte prefix holds at most 255, so a
// reference name of 255 bytes cannot be written in the not-null and check forms: it raises
// ERangeError, and nothing is written for that name. A reader refuses what no writer produces
// before it keeps anything of that element: a byte prefix of 0, an Int32 prefix outside 1-256,
// a character count outside 0-255 (each the prefix's read code), a length byte that disagrees
// with its prefix (the bytes' read code) and a negative column count (the count's read code).
// The forms do not repeat ConstraintType: the collection writes it before each form.
//
// Ownership: a check owns its two bound values; unique, primary and foreign-key constraints own
// their column lists.
//
// Threads: not synchronised; the owner serialises access.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "schema/TolvanMetaObjectDef.h"

namespace tolvan {

enum TTolvanConstraintType : uint8_t {
  tctPrimaryKey = 0,
  tctForeignKey = 1,
  tctUnique = 2,
  tctNotNull = 3,
  tctCheck = 4,
  tctForeignKeyAction = 5
};

enum TTolvanForeignKeyAction : uint8_t {
  tfaRestrict = 0,
  tfaCascade = 1,
  tfaSetNull = 2,
  tfaSetDefault = 3,
  tfaNoAction = 4
};

// A reference to another object by name and object id.
class TTolvanObjectRef {
public:
  TTolvanObjectRef() = default;
  TTolvanObjectRef(std::string_view Name, int32_t ObjectID)
      : FName(CutShortString(Name)), FObjectID(ObjectID) {}

  const AnsiString& Name() const noexcept { return FName; }
  void SetName(std::string_view Value) { FName.assign(CutShortString(Value)); }
  int32_t ObjectID() const noexcept { return FObjectID; }
  void SetObjectID(int32_t Value) noexcept { FObjectID = Value; }

  friend bool operator==(const TTolvanObjectRef&, const TTolvanObjectRef&) = default;

private:
  AnsiString FName;
  int32_t FObjectID = 0;
};

class TTolvanConstraintDef : public TTolvanMetaObjectDef {
public:
  // The kind byte; fixed by the class.
  TTolvanConstraintType ConstraintType() const noexcept { return FConstraintType; }

  void Assign(const TTolvanMetaObjectDef& Source) override;
  std::string_view ClassName() const override { return "TTolvanConstraintDef"; }

protected:
  explicit TTolvanConstraintDef(TTolvanConstraintType Type) : FConstraintType(Type) {}

private:
  const TTolvanConstraintType FConstraintType;
};

class TTolvanConstraintDefNotNull : public TTolvanConstraintDef {
public:
  // Starts with object id 0, not -1.
  TTolvanConstraintDefNotNull();

  TTolvanObjectRef& Reserved1() noexcept { return FReserved1; }
  const TTolvanObjectRef& Reserved1() const noexcept { return FReserved1; }
  TTolvanObjectRef& Reserved2() noexcept { return FReserved2; }
  const TTolvanObjectRef& Reserved2() const noexcept { return FReserved2; }
  // The constrained column.
  TTolvanObjectRef& Column() noexcept { return FColumn; }
  const TTolvanObjectRef& Column() const noexcept { return FColumn; }

  void Assign(const TTolvanMetaObjectDef& Source) override;
  void LoadFromStream(TStream& Stream) override;
  void SaveToStream(TStream& Stream) const override;
  std::string_view ClassName() const override { return "TTolvanConstraintDefNotNull"; }

private:
  TTolvanObjectRef FReserved1;
  TTolvanObjectRef FReserved2;
  TTolvanObjectRef FColumn;
};

class TTolvanConstraintDefCheck : public TTolvanConstraintDef {
public:
  // Starts with object id 0, not -1, and both bounds null values of type 0.
  TTolvanConstraintDefCheck();

  TTolvanObjectRef& Reserved1() noexcept { return FReserved1; }
  const TTolvanObjectRef& Reserved1() const noexcept { return FReserved1; }
  TTolvanObjectRef& Reserved2() noexcept { return FReserved2; }
  const TTolvanObjectRef& Reserved2() const noexcept { return FReserved2; }
  TTolvanObjectRef& Column() noexcept { return FColumn; }
  const TTolvanObjectRef& Column() const noexcept { return FColumn; }
  // The lowest and highest allowed value; a null bound leaves that side open.
  TTolvanVariant& CheckMinValue() noexcept { return FCheckMinValue; }
  const TTolvanVariant& CheckMinValue() const noexcept { return FCheckMinValue; }
  TTolvanVariant& CheckMaxValue() noexcept { return FCheckMaxValue; }
  const TTolvanVariant& CheckMaxValue() const noexcept { return FCheckMaxValue; }

  // Copies the bounds by value.
  void Assign(const TTolvanMetaObjectDef& Source) override;
  void LoadFromStream(TStream& Stream) override;
  void SaveToStream(TStream& Stream) const override;
  std::string_view ClassName() const override { return "TTolvanConstraintDefCheck"; }

private:
  TTolvanObjectRef FReserved1;
  TTolvanObjectRef FReserved2;
  TTolvanObjectRef FColumn;
  TTolvanVariant FCheckMinValue;
  TTolvanVariant FCheckMaxValue;
};

class TTolvanConstraintDefUnique : public TTolvanConstraintDef {
public:
  TTolvanConstraintDefUnique() : TTolvanConstraintDef(tctUnique) {}

  TTolvanObjectRef& Reserved1() noexcept { return FReserved1; }
  const TTolvanObjectRef& Reserved1() const noexcept { return FReserved1; }
  TTolvanObjectRef& Reserved2() noexcept { return FReserved2; }
  const TTolvanObjectRef& Reserved2() const noexcept { return FReserved2; }
  // The index that enforces the constraint.
  TTolvanObjectRef& Index() noexcept { return FIndex; }
  const TTolvanObjectRef& Index() const noexcept { return FIndex; }
  // The index's columns.
  std::vector<TTolvanObjectRef>& Columns() noexcept { return FColumns; }
  const std::vector<TTolvanObjectRef>& Columns() const noexcept { return FColumns; }

  // Accepts a unique or a primary constraint.
  void Assign(const TTolvanMetaObjectDef& Source) override;
  void LoadFromStream(TStream& Stream) override;
  void SaveToStream(TStream& Stream) const override;
  std::string_view ClassName() const override { return "TTolvanConstraintDefUnique"; }

protected:
  explicit TTolvanConstraintDefUnique(TTolvanConstraintType Type) : TTolvanConstraintDef(Type) {}

private:
  TTolvanObjectRef FReserved1;
  TTolvanObjectRef FReserved2;
  TTolvanObjectRef FIndex;
  std::vector<TTolvanObjectRef> FColumns;
};

class TTolvanConstraintDefPrimary : public TTolvanConstraintDefUnique {
public:
  TTolvanConstraintDefPrimary() : TTolvanConstraintDefUnique(tctPrimaryKey) {}
  std::string_view ClassName() const override { return "TTolvanConstraintDefPrimary"; }
};

class TTolvanConstraintDefForeignKeyAction : public TTolvanConstraintDef {
public:
  TTolvanConstraintDefForeignKeyAction() : TTolvanConstraintDef(tctForeignKeyAction) {}

  // The other table: referenced by a foreign key, referencing for an action record.
  TTolvanObjectRef& Table() noexcept { return FTable; }
  const TTolvanObjectRef& Table() const noexcept { return FTable; }
  // The matching constraint in that table.
  TTolvanObjectRef& Partner() noexcept { return FPartner; }
  const TTolvanObjectRef& Partner() const noexcept { return FPartner; }
  TTolvanForeignKeyAction OnDelete() const noexcept { return FOnDelete; }
  void SetOnDelete(TTolvanForeignKeyAction Value) noexcept { FOnDelete = Value; }
  TTolvanForeignKeyAction OnUpdate() const noexcept { return FOnUpdate; }
  void SetOnUpdate(TTolvanForeignKeyAction Value) noexcept { FOnUpdate = Value; }
  // 0 simple, 1 MATCH FULL, 2 MATCH PARTIAL.
  uint8_t MatchType() const noexcept { return FMatchType; }
  void SetMatchType(uint8_t Value) noexcept { FMatchType = Value; }
  // The referencing columns.
  std::vector<TTolvanObjectRef>& Columns() noexcept { return FColumns; }
  const std::vector<TTolvanObjectRef>& Columns() const noexcept { return FColumns; }

  // Accepts a foreign key or an action record.
  void Assign(const TTolvanMetaObjectDef& Source) override;
  void LoadFromStream(TStream& Stream) override;
  void SaveToStream(TStream& Stream) const override;
  std::string_view ClassName() const override { return "TTolvanConstraintDefForeignKeyAction"; }

protected:
  explicit TTolvanConstraintDefForeignKeyAction(TTolvanConstraintType Type)
      : TTolvanConstraintDef(Type) {}

private:
  TTolvanObjectRef FTable;
  TTolvanObjectRef FPartner;
  TTolvanForeignKeyAction FOnDelete = tfaRestrict;
  TTolvanForeignKeyAction FOnUpdate = tfaRestrict;
  uint8_t FMatchType = 0;
  std::vector<TTolvanObjectRef> FColumns;
};

class TTolvanConstraintDefForeignKey : public TTolvanConstraintDefForeignKeyAction {
public:
  TTolvanConstraintDefForeignKey() : TTolvanConstraintDefForeignKeyAction(tctForeignKey) {}
  std::string_view ClassName() const override { return "TTolvanConstraintDefForeignKey"; }
};

} // namespace tolvan
