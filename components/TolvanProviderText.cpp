#include "components/TolvanProviderText.h"

#include <vector>

#include "schema/expr/TolvanLexer.h"

namespace tolvan {

namespace {

bool IsAt(const TToken& T) { return T.Kind == tktString && T.Text == "@"; }

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
      AppendTokenText(Out, T);
      Out += ' ';
    }
    Out += ";\r\n";
  }
  return Out;
}

} // namespace tolvan
