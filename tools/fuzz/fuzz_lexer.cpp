// The SQL tokenizer on arbitrary text, without and with parameters. The only failures allowed are
// the tokenizer's own errors and an overflowing hexadecimal number. For a text that tokenizes,
// the '?' rewrite must read back as the same tokens, each '?' a numbered parameter, and the
// resolver's rewrite as the same tokens, each "@ name @" one bracketed string. The first byte
// picks the release (FuzzRelease.h); in 3.90 every token's line must be its statement's number.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "classlib/SysUtils.h"
#include "components/TolvanProviderText.h"
#include "foundation/TolvanExcept.h"
#include "schema/TolvanSQLParams.h"
#include "schema/expr/TolvanLexer.h"
#include "tools/fuzz/FuzzRelease.h"

using namespace tolvan;

namespace {

using TStatements = std::vector<std::vector<TToken>>;

bool IsTokenizerError(int32_t Code) { return (Code >= 30059 && Code <= 30062) || Code == 30358; }

// False when the text does not tokenize (with an allowed error).
bool Tokenize(std::string_view Text, const TTolvanSQLParams* Params, TStatements* Out) {
  try {
    TTolvanLexer L(Text, Params);
    const bool StatementLines = fuzz::Is390Active();
    while (L.NextStatement()) {
      for (const TToken& T : L.Tokens())
        if (T.Line < 1 || T.Column < 1 || (StatementLines && T.Line != L.StatementNumber()))
          abort();
      if (Out)
        Out->push_back(L.Tokens());
    }
    return true;
  } catch (const ETolvanException& E) {
    if (!IsTokenizerError(E.NativeError()))
      abort();
  } catch (const EIntOverflow&) {
  }
  return false;
}

void CheckRewrite(std::string_view Text, const TStatements& Tokens) {
  bool Rewrites = false;
  for (const auto& S : Tokens)
    for (const TToken& T : S)
      Rewrites = Rewrites || (T.Kind == tktString && T.Text == "?");
  const AnsiString Rewritten = ReplaceQuestionMarkParams(Text);
  if (!Rewrites) {
    if (Rewritten != Text)
      abort();
    return;
  }
  TStatements Again;
  if (!Tokenize(Rewritten, nullptr, &Again) || Again.size() != Tokens.size())
    abort();
  int Counter = 0;
  for (size_t S = 0; S < Tokens.size(); ++S) {
    if (Again[S].size() != Tokens[S].size())
      abort();
    for (size_t I = 0; I < Tokens[S].size(); ++I) {
      TToken E = Tokens[S][I];
      const TToken& A = Again[S][I];
      if (E.Kind == tktString && E.Text == "?") {
        E.Kind = tktParameter;
        E.ParamPrefix = true;
        E.Text = "Tolvan_MS_Param" + std::to_string(Counter++);
      } else if (E.Kind == tktBracketedString) {
        E.ParamPrefix = false; // [":a"] keeps the ':' in its text only
      }
      if (A.Kind != E.Kind || A.Text != E.Text || A.KeywordID != E.KeywordID ||
          A.ParamPrefix != E.ParamPrefix)
        abort();
    }
  }
}

bool IsAt(const TToken& T) { return T.Kind == tktString && T.Text == "@"; }

bool SameToken(const TToken& A, const TToken& E) {
  return A.Kind == E.Kind && A.Text == E.Text && A.KeywordID == E.KeywordID &&
         A.ParamPrefix == E.ParamPrefix;
}

// Every token keeps its kind and text; parameters and prefixed numbers keep their ':'. An "@",
// any token and an "@", taken from the left, become one bracketed string of that token's text.
void CheckProviderRewrite(std::string_view Text, const TStatements& Tokens) {
  TStatements Expected;
  // A parenthesis made a name no longer counts towards the balance, so the rewrite may be
  // refused where the source was not.
  bool NamedParenthesis = false;
  for (const std::vector<TToken>& Source : Tokens) {
    std::vector<TToken>& Out = Expected.emplace_back();
    for (size_t I = 0; I < Source.size(); ++I) {
      TToken E = Source[I];
      if (IsAt(E) && Source.size() - I > 2 && IsAt(Source[I + 2])) {
        const TToken& Name = Source[I + 1];
        NamedParenthesis =
            NamedParenthesis || Name.Kind == tktLeftParenthesis || Name.Kind == tktRightParenthesis;
        E = TToken{};
        E.Kind = tktBracketedString;
        E.Text = Name.Text;
        I += 2;
      } else if (E.Kind == tktBracketedString) {
        E.ParamPrefix = false; // [":a"] keeps the ':' in its text only
      }
      Out.push_back(std::move(E));
    }
  }
  const AnsiString Rewritten = RewriteProviderParams(Text);
  TStatements Again;
  if (!Tokenize(Rewritten, nullptr, &Again)) {
    if (NamedParenthesis)
      return;
    abort();
  }
  if (Again.size() != Expected.size())
    abort();
  for (size_t S = 0; S < Expected.size(); ++S) {
    if (Again[S].size() != Expected[S].size())
      abort();
    for (size_t I = 0; I < Expected[S].size(); ++I)
      if (!SameToken(Again[S][I], Expected[S][I]))
        abort();
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  if (Size == 0)
    return 0;
  fuzz::SelectInputRelease(Data[0]);
  const std::string_view Text(reinterpret_cast<const char*>(Data) + 1, Size - 1);
  TStatements Tokens;
  if (Tokenize(Text, nullptr, &Tokens)) {
    CheckRewrite(Text, Tokens);
    CheckProviderRewrite(Text, Tokens);
  }

  static TTolvanSQLParams* Params = [] {
    auto* P = new TTolvanSQLParams;
    P->Add().SetName("p");
    P->Items(0).SetAsInteger(5);
    P->Add().SetName("");
    P->Add().SetName("a b");
    P->Items(2).SetAsString("text");
    return P;
  }();
  Tokenize(Text, Params, nullptr);
  return 0;
}
