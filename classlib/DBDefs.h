// DBDefs.h: the framework's field and index definitions of a dataset.
//
// TFieldDefs describes the columns a dataset offers (name, type, size, required) and makes
// fields from them; TIndexDefs describes its indexes (name, ';'-separated field lists, option
// mask). Both are collections that own their items and belong to a dataset, or to nobody.
//
// Up to date: Update() refreshes a collection from its dataset (ReadFieldDefs or
// RefreshIndexDefs) unless it is marked Updated; callers mark it stale with SetUpdated(false).
// Any other change of a definition is the user's: it reaches the dataset's DefinitionsChanged,
// once per change or per update block. Changes made while a collection of the dataset is
// refreshing are not.
//
// Field lists: names separated by ';', each trimmed, empty names dropped (NextFieldName). Names
// compare without regard to case.
//
// Threads: definitions belong to their dataset's thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

#include "classlib/Components.h"
#include "classlib/DB.h"
#include "classlib/StringList.h"

namespace tolvan {

class TDataSet;
class TField;

// The next name of a ';' list from Pos on: trimmed, empties skipped. False at the end.
bool NextFieldName(std::string_view Text, size_t& Pos, std::string_view& Name) noexcept;
// Every name of a ';' list, appended to Names.
void GetFieldNames(std::string_view Text, TStringList& Names);

// A collection item with a name.
class TNamedItem : public TCollectionItem {
public:
  const AnsiString& Name() const noexcept { return FName; }
  void SetName(std::string_view Value);

private:
  AnsiString FName;
};

// The base of the definition collections: the dataset, Updated, and lookups by name.
class TDefCollection : public TCollection {
public:
  TDataSet* DataSet() const noexcept { return FDataSet; }
  bool Updated() const noexcept { return FUpdated; }
  void SetUpdated(bool Value) noexcept { FUpdated = Value; }
  // The position of the first item of that name ignoring case, or -1.
  int32_t IndexOf(std::string_view Name) const;

protected:
  explicit TDefCollection(TDataSet* DataSet) noexcept : FDataSet(DataSet) {}
  void ItemsChanged(TCollectionItem* Item) override;
  // Runs the dataset's Refresh unless up to date; Updated afterwards.
  void UpdateFrom(void (TDataSet::*Refresh)());

private:
  TDataSet* FDataSet;
  bool FUpdated = false;
};

class TFieldDef : public TNamedItem {
public:
  TFieldType DataType() const noexcept { return FDataType; }
  void SetDataType(TFieldType Value);
  int32_t Size() const noexcept { return FSize; }
  // A negative size raises EDatabaseError.
  void SetSize(int32_t Value);
  bool Required() const noexcept { return FRequired; }
  void SetRequired(bool Value);
  // The position in the collection + 1 (0 while detached).
  int32_t FieldNo() const noexcept { return Index() + 1; }

  // A field of the class for DataType, owned by Owner, bound to the collection's dataset, with
  // this definition's name, size, required flag and number. A type without a class raises
  // EDatabaseError "Field '%s' is of an unknown type".
  TField* CreateField(TComponent* Owner) const;

  void Assign(const TPersistent& Source) override;

private:
  TFieldType FDataType = ftUnknown;
  int32_t FSize = 0;
  bool FRequired = false;
};

class TFieldDefs : public TDefCollection {
public:
  explicit TFieldDefs(TDataSet* DataSet) noexcept : TDefCollection(DataSet) {}

  TFieldDef& Items(int32_t Index) const {
    return static_cast<TFieldDef&>(TCollection::Items(Index));
  }
  TFieldDef& AddFieldDef() { return static_cast<TFieldDef&>(AddItem()); }
  TFieldDef& Add(std::string_view Name, TFieldType DataType, int32_t Size = 0,
                 bool Required = false);
  // The definition of that name; a missing one raises EDatabaseError "Field '%s' not found".
  TFieldDef& Find(std::string_view Name) const;
  // The dataset's ReadFieldDefs, unless Updated.
  void Update();

protected:
  std::unique_ptr<TCollectionItem> NewItem() const override;
};

class TIndexDef : public TNamedItem {
public:
  const AnsiString& Fields() const noexcept { return FFields; }
  void SetFields(std::string_view Value);
  TIndexOptions Options() const noexcept { return FOptions; }
  void SetOptions(TIndexOptions Value);
  const AnsiString& DescFields() const noexcept { return FDescFields; }
  void SetDescFields(std::string_view Value);
  const AnsiString& CaseInsFields() const noexcept { return FCaseInsFields; }
  void SetCaseInsFields(std::string_view Value);

  // Copies name, fields, options and both field lists.
  void Assign(const TPersistent& Source) override;

private:
  AnsiString FFields;
  AnsiString FDescFields;
  AnsiString FCaseInsFields;
  TIndexOptions FOptions = 0;
};

class TIndexDefs : public TDefCollection {
public:
  explicit TIndexDefs(TDataSet* DataSet) noexcept : TDefCollection(DataSet) {}

  TIndexDef& Items(int32_t Index) const {
    return static_cast<TIndexDef&>(TCollection::Items(Index));
  }
  TIndexDef& AddIndexDef() { return static_cast<TIndexDef&>(AddItem()); }
  TIndexDef& Add(std::string_view Name, std::string_view Fields, TIndexOptions Options);
  // The definition of that name; a missing one raises EDatabaseError "Index '%s' not found".
  TIndexDef& Find(std::string_view Name) const;
  // The dataset's RefreshIndexDefs, unless Updated.
  void Update();

  // The first index whose field list equals Fields, else the first whose list begins with
  // them; with CaseInsensitive only indexes with ixCaseInsensitive count. Nil when none.
  TIndexDef* FindIndexForFields(std::string_view Fields, bool CaseInsensitive) const;
  // As FindIndexForFields; none raises EDatabaseError "No index for fields '%s'".
  TIndexDef& GetIndexForFields(std::string_view Fields, bool CaseInsensitive) const;

protected:
  std::unique_ptr<TCollectionItem> NewItem() const override;
};

} // namespace tolvan
