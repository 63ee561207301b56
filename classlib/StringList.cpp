#include "classlib/StringList.h"

#include "classlib/Format.h"
#include "classlib/SysUtils.h"

namespace tolvan {

void TStringList::CheckIndex(int32_t Index, int32_t Limit) const {
  if (Index < 0 || Index >= Limit)
    throw EListError(Format(SysConst::SListIndexError, Index));
}

const AnsiString& TStringList::Strings(int32_t Index) const {
  CheckIndex(Index, Count());
  return FItems[static_cast<size_t>(Index)];
}

void TStringList::SetStrings(int32_t Index, std::string_view S) {
  CheckIndex(Index, Count());
  FItems[static_cast<size_t>(Index)].assign(S);
}

int32_t TStringList::Add(std::string_view S) {
  FItems.emplace_back(S);
  return Count() - 1;
}

void TStringList::Insert(int32_t Index, std::string_view S) {
  CheckIndex(Index, Count() + 1);
  FItems.emplace(FItems.begin() + Index, S);
}

void TStringList::Delete(int32_t Index) {
  CheckIndex(Index, Count());
  FItems.erase(FItems.begin() + Index);
}

int32_t TStringList::IndexOf(std::string_view S) const {
  for (size_t I = 0; I < FItems.size(); ++I)
    if (FCaseSensitive ? FItems[I] == S : AnsiSameText(FItems[I], S))
      return static_cast<int32_t>(I);
  return -1;
}

} // namespace tolvan
