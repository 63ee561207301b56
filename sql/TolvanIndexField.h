// TolvanIndexField.h: TTolvanIndexField, one column of an index as a statement names it.
//
// CREATE INDEX and the table statements' key clauses list columns with their modifiers
// (ASC/DESC, CASE/NOCASE); the table component takes them as three ";"-joined name lists,
// which IndexFieldLists builds.
//
// Threads: plain values.
#pragma once

#include <vector>

#include "classlib/Strings.h"

namespace tolvan {

struct TTolvanIndexField {
  AnsiString Name;
  bool Descending = false;
  bool CaseInsensitive = false;
};

// The names of all columns, of the descending ones and of the case-insensitive ones, each
// joined with ";", as TTolvanTable.AddIndex and TIndexDef take them.
struct TTolvanIndexFieldLists {
  AnsiString Fields;
  AnsiString DescFields;
  AnsiString CaseInsFields;
};

inline TTolvanIndexFieldLists IndexFieldLists(const std::vector<TTolvanIndexField>& Columns) {
  TTolvanIndexFieldLists Lists;
  auto Append = [](AnsiString& List, const AnsiString& Name) {
    if (!List.empty())
      List += ';';
    List += Name;
  };
  for (const TTolvanIndexField& Column : Columns) {
    Append(Lists.Fields, Column.Name);
    if (Column.Descending)
      Append(Lists.DescFields, Column.Name);
    if (Column.CaseInsensitive)
      Append(Lists.CaseInsFields, Column.Name);
  }
  return Lists;
}

} // namespace tolvan
