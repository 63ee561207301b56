#include "components/TolvanProviderText.h"

#include <string>
#include <vector>

#include "classlib/SysUtils.h"
#include "schema/expr/TolvanLexer.h"

namespace tolvan {

namespace {

bool IsNameStart(unsigned char C) {
  return (C >= 'A' && C <= 'Z') || (C >= 'a' && C <= 'z') || C == '_' || C >= 0x80;
}

// A name that reads back as the same parameter after a bare ':'. Anything else (blanks,
// operators, quotes, a leading digit, the empty name) needs back quotes.
bool IsBareParamName(std::string_view Name) {
  if (Name.empty() || !IsNameStart(static_cast<unsigned char>(Name[0])))
    return false;
  for (unsigned char C : Name.substr(1))
    if (!IsNameStart(C) && !(C >= '0' && C <= '9'))
      return false;
  return true;
}

bool IsAt(const TToken& T) { return T.Kind == tktString && T.Text == "@"; }

// Numbers are written as their text, except where the text of a hexadecimal number would read
// back differently: a negative value ("-1" is two tokens) or a float without '.', 'e' or 'E'
// (its decimal digits read as an integer). Those go back to hexadecimal.
void AppendNumber(AnsiString& Out, const TToken& T) {
  std::string_view Body(T.Text);
  if (T.ParamPrefix && !Body.empty())
    Body.remove_prefix(1);
  const bool Negative = Body.starts_with('-');
  const bool HexFloat = T.Kind == tktFloat && Body.find_first_of(".eE") == std::string_view::npos;
  int64_t Value = 0;
  if ((Negative || HexFloat) && TryStrToInt64(Body, Value)) {
    const std::string Digits = IntToHex(Value, 1);
    if (T.ParamPrefix)
      Out += ':';
    Out += '$';
    // A float's digits need a '.' or an 'E'; a leading '.' counts as a zero digit.
    if (T.Kind == tktFloat && Digits.find('E') == std::string::npos)
      Out += '.';
    Out += Digits;
    return;
  }
  Out += T.Text;
}

void AppendToken(AnsiString& Out, const TToken& T) {
  if (AppendQuotedToken(Out, T)) {
    Out += ' ';
    return;
  }
  switch (T.Kind) {
  case tktParameter:
    Out += ':';
    if (IsBareParamName(T.Text))
      Out += T.Text;
    else
      AppendQuoted(Out, T.Text, '`', '`');
    break;
  case tktInt:
  case tktFloat:
    AppendNumber(Out, T);
    break;
  default:
    Out += T.Text;
    break;
  }
  Out += ' ';
}

} // namespace

AnsiString RewriteProviderParams(std::string_view SQL) {
  TTolvanLexer Lexer(SQL, nullptr);
  AnsiString Out;
  Out.reserve(SQL.size() + SQL.size() / 4 + 16);
  while (Lexer.NextStatement()) {
    const std::vector<TToken>& Tokens = Lexer.Tokens();
    const size_t Count = Tokens.size();
    for (size_t I = 0; I < Count; ++I) {
      const TToken& T = Tokens[I];
      // A quoted name needs its name and its closing "@"; a lone "@" stays a word, so that a
      // cut-off statement is passed on as written instead of being completed by guesswork.
      if (IsAt(T) && Count - I > 2 && IsAt(Tokens[I + 2])) {
        AppendQuoted(Out, Tokens[I + 1].Text, '[', ']');
        Out += ' ';
        I += 2;
        continue;
      }
      AppendToken(Out, T);
    }
    Out += ";\r\n";
  }
  return Out;
}

} // namespace tolvan
