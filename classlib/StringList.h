// StringList.h: an ordered list of narrow strings.
//
// TStringList holds what the definitions and the session hand out as lists of names (table
// names, index columns, order words) and the lines of a text such as a query's SQL. It owns its
// strings. IndexOf ignores case over Windows-1252 unless CaseSensitive is set; duplicates are
// kept in insertion order.
//
// Text is the lines joined by CR LF, each line ended by it; setting Text splits at CR LF, LF or
// CR. DelimitedText is the strings joined by Delimiter (',' unless set to ';'); setting it
// splits at Delimiter and trims blanks from each piece, with no quoting, and an empty text is
// no strings.
//
// OnChange fires after each change, or once at the outermost EndUpdate when anything changed
// inside the update block.
//
// Threads: one list belongs to one thread at a time.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "classlib/Strings.h"

namespace tolvan {

class TStringList;
using TStringListEvent = std::function<void(TStringList& Sender)>;

class TStringList {
public:
  TStringList() = default;

  int32_t Count() const noexcept { return static_cast<int32_t>(FItems.size()); }
  // A bad index raises EListError "List index out of bounds (%d)".
  const AnsiString& Strings(int32_t Index) const;
  void SetStrings(int32_t Index, std::string_view S);

  int32_t Add(std::string_view S);                // the new string's index
  void Insert(int32_t Index, std::string_view S); // 0 .. Count
  void Delete(int32_t Index);
  void Clear();
  // The index of the first equal string, or -1.
  int32_t IndexOf(std::string_view S) const;
  // The strings become a copy of Source's.
  void Assign(const TStringList& Source);

  AnsiString Text() const;
  void SetText(std::string_view Value);
  char Delimiter() const noexcept { return FDelimiter; }
  // ',' or ';'; anything else raises EListError.
  void SetDelimiter(char Value);
  AnsiString DelimitedText() const;
  void SetDelimitedText(std::string_view Value);

  bool CaseSensitive() const noexcept { return FCaseSensitive; }
  void SetCaseSensitive(bool Value) noexcept { FCaseSensitive = Value; }

  void BeginUpdate() noexcept { ++FUpdateCount; }
  void EndUpdate();
  const TStringListEvent& OnChange() const noexcept { return FOnChange; }
  void SetOnChange(TStringListEvent Value) { FOnChange = std::move(Value); }

private:
  void CheckIndex(int32_t Index, int32_t Limit) const;
  void Changed();
  void Replace(std::vector<AnsiString>&& Items);

  std::vector<AnsiString> FItems;
  TStringListEvent FOnChange;
  int32_t FUpdateCount = 0;
  bool FChangedInUpdate = false;
  bool FCaseSensitive = false;
  char FDelimiter = ',';
};

} // namespace tolvan
