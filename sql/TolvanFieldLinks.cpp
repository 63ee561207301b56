#include "sql/TolvanFieldLinks.h"

#include <limits>

#include "classlib/SysUtils.h"
#include "schema/expr/TolvanExprFunctions.h"
#include "schema/expr/TolvanExpression.h"

namespace tolvan {

// ---------------------------------------------------------------------------------------------
// TTolvanFields
// ---------------------------------------------------------------------------------------------

TTolvanFields::~TTolvanFields() = default;

void TTolvanFields::CheckRoom() const {
  if (FItems.size() >= size_t(std::numeric_limits<int32_t>::max()))
    throw EIntOverflow(std::string(SysConst::SIntOverflow));
}

TTolvanSelectListItem CopySelectListItem(const TTolvanSelectListItem& Item) {
  TTolvanSelectListItem Copy;
  Copy.TableName = Item.TableName;
  Copy.AllFields = Item.AllFields;
  Copy.FieldName = Item.FieldName;
  Copy.IsExpression = Item.IsExpression;
  if (Item.Expression)
    Copy.Expression = Item.Expression->Clone();
  Copy.Alias = Item.Alias;
  return Copy;
}

void TTolvanFields::Add(const TTolvanSelectListItem& Item) {
  CheckRoom();
  FItems.push_back(CopySelectListItem(Item));
}

void TTolvanFields::Add(TTolvanSelectListItem&& Item) {
  CheckRoom();
  FItems.push_back(std::move(Item));
}

void TTolvanFields::Clear() noexcept { FItems.clear(); }

// ---------------------------------------------------------------------------------------------
// ORDER BY texts and lists
// ---------------------------------------------------------------------------------------------

void OrderByStringsToLists(std::string_view Fields, std::string_view DescendingFields,
                           std::string_view CaseInsensitiveFields, TStringList& FieldList,
                           TStringList& DirectionList, TStringList& CaseList) {
  TStringList Descending, CaseInsensitive;
  SplitNameList(FieldList, Fields);
  SplitNameList(Descending, DescendingFields);
  SplitNameList(CaseInsensitive, CaseInsensitiveFields);
  Descending.SetCaseSensitive(false);
  CaseInsensitive.SetCaseSensitive(false);
  DirectionList.Clear();
  CaseList.Clear();
  for (int32_t I = 0; I < FieldList.Count(); ++I) {
    const AnsiString& Name = FieldList.Strings(I);
    DirectionList.Add(Descending.IndexOf(Name) >= 0 ? OrderByDescending : OrderByAscending);
    CaseList.Add(CaseInsensitive.IndexOf(Name) >= 0 ? OrderByNoCase : OrderByCase);
  }
}

namespace {

void AppendName(AnsiString& Text, std::string_view Name) {
  if (!Text.empty())
    Text += ';';
  Text += Name;
}

} // namespace

void OrderByListsToStrings(const TStringList& FieldList, const TStringList& DirectionList,
                           const TStringList& CaseList, AnsiString& Fields,
                           AnsiString& DescendingFields, AnsiString& CaseInsensitiveFields) {
  Fields.clear();
  DescendingFields.clear();
  CaseInsensitiveFields.clear();
  for (int32_t I = 0; I < FieldList.Count(); ++I) {
    const AnsiString& Name = FieldList.Strings(I);
    // Joined by hand so that an empty name keeps its place in the list.
    if (I > 0)
      Fields += ';';
    Fields += Name;
    if (I < DirectionList.Count() && DirectionList.Strings(I) == OrderByDescending)
      AppendName(DescendingFields, Name);
    if (I < CaseList.Count() && CaseList.Strings(I) == OrderByNoCase)
      AppendName(CaseInsensitiveFields, Name);
  }
}

} // namespace tolvan
