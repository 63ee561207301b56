#include "classlib/StringList.h"

#include "classlib/Format.h"
#include "classlib/SysUtils.h"

namespace tolvan {

void TStringList::CheckIndex(int32_t Index, int32_t Limit) const {
  if (Index < 0 || Index >= Limit)
    throw EListError(Format(SysConst::SListIndexError, Index));
}

void TStringList::Changed() {
  if (FUpdateCount > 0) {
    FChangedInUpdate = true;
    return;
  }
  if (FOnChange)
    FOnChange(*this);
}

void TStringList::EndUpdate() {
  if (FUpdateCount <= 0)
    return;
  if (--FUpdateCount == 0 && FChangedInUpdate) {
    FChangedInUpdate = false;
    if (FOnChange)
      FOnChange(*this);
  }
}

const AnsiString& TStringList::Strings(int32_t Index) const {
  CheckIndex(Index, Count());
  return FItems[static_cast<size_t>(Index)];
}

void TStringList::SetStrings(int32_t Index, std::string_view S) {
  CheckIndex(Index, Count());
  FItems[static_cast<size_t>(Index)].assign(S);
  Changed();
}

int32_t TStringList::Add(std::string_view S) {
  FItems.emplace_back(S);
  Changed();
  return Count() - 1;
}

void TStringList::Insert(int32_t Index, std::string_view S) {
  CheckIndex(Index, Count() + 1);
  FItems.emplace(FItems.begin() + Index, S);
  Changed();
}

void TStringList::Delete(int32_t Index) {
  CheckIndex(Index, Count());
  FItems.erase(FItems.begin() + Index);
  Changed();
}

void TStringList::Clear() {
  if (FItems.empty())
    return;
  FItems.clear();
  Changed();
}

int32_t TStringList::IndexOf(std::string_view S) const {
  for (size_t I = 0; I < FItems.size(); ++I)
    if (FCaseSensitive ? FItems[I] == S : AnsiSameText(FItems[I], S))
      return static_cast<int32_t>(I);
  return -1;
}

void TStringList::Replace(std::vector<AnsiString>&& Items) {
  FItems = std::move(Items);
  Changed();
}

void TStringList::Assign(const TStringList& Source) {
  if (&Source != this)
    Replace(std::vector<AnsiString>(Source.FItems));
}

AnsiString TStringList::Text() const {
  size_t Length = 0;
  for (const AnsiString& S : FItems)
    Length += S.size() + 2;
  AnsiString Result;
  Result.reserve(Length);
  for (const AnsiString& S : FItems)
    Result.append(S).append("\r\n");
  return Result;
}

void TStringList::SetText(std::string_view Value) {
  std::vector<AnsiString> Lines;
  size_t Start = 0;
  while (Start < Value.size()) {
    size_t End = Value.find_first_of("\r\n", Start);
    if (End == std::string_view::npos) {
      Lines.emplace_back(Value.substr(Start));
      break;
    }
    Lines.emplace_back(Value.substr(Start, End - Start));
    Start = End + (Value[End] == '\r' && End + 1 < Value.size() && Value[End + 1] == '\n' ? 2 : 1);
  }
  Replace(std::move(Lines));
}

void TStringList::SetDelimiter(char Value) {
  if (Value != ',' && Value != ';')
    throw EListError(Format("Invalid delimiter '%s'", Value));
  FDelimiter = Value;
}

AnsiString TStringList::DelimitedText() const {
  AnsiString Result;
  for (size_t I = 0; I < FItems.size(); ++I) {
    if (I)
      Result += FDelimiter;
    Result += FItems[I];
  }
  return Result;
}

void TStringList::SetDelimitedText(std::string_view Value) {
  std::vector<AnsiString> Pieces;
  if (!Value.empty()) {
    size_t Start = 0;
    for (;;) {
      size_t End = Value.find(FDelimiter, Start);
      std::string_view Piece =
          Value.substr(Start, End == std::string_view::npos ? std::string_view::npos : End - Start);
      Pieces.push_back(Trim(Piece));
      if (End == std::string_view::npos)
        break;
      Start = End + 1;
    }
  }
  Replace(std::move(Pieces));
}

} // namespace tolvan
