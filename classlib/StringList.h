// StringList.h: an ordered list of narrow strings.
//
// TStringList holds what the definitions and the session hand out as lists of names (table
// names, index columns, order words). It owns its strings. IndexOf ignores case over
// Windows-1252 unless CaseSensitive is set; duplicates are kept in insertion order.
//
// Threads: one list belongs to one thread at a time.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "classlib/Strings.h"

namespace tolvan {

class TStringList {
public:
  TStringList() = default;

  int32_t Count() const noexcept { return static_cast<int32_t>(FItems.size()); }
  // A bad index raises EListError "List index out of bounds (%d)".
  const AnsiString& Strings(int32_t Index) const;
  void SetStrings(int32_t Index, std::string_view S);

  int32_t Add(std::string_view S); // the new string's index
  void Insert(int32_t Index, std::string_view S); // 0 .. Count
  void Delete(int32_t Index);
  void Clear() noexcept { FItems.clear(); }
  // The index of the first equal string, or -1.
  int32_t IndexOf(std::string_view S) const;

  bool CaseSensitive() const noexcept { return FCaseSensitive; }
  void SetCaseSensitive(bool Value) noexcept { FCaseSensitive = Value; }

private:
  void CheckIndex(int32_t Index, int32_t Limit) const;

  std::vector<AnsiString> FItems;
  bool FCaseSensitive = false;
};

} // namespace tolvan
